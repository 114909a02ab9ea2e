// brindlequartz-cli: every chip and file operation of Brindlequartz from a terminal.

#include <CLI/CLI.hpp>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/chip_commands.h"
#include "app/cli/cli_output.h"
#include "app/cli/firmware_install.h"
#include "app/cli/help_format.h"
#include "app/cli/image_io.h"
#include "app/cli/rescue.h"
#include "app/cli/rescue_listing.h"
#include "app/cli/suggest.h"
#include "core/command_line.h"
#include "drivers/programmer_driver.h"
#include "image/image_file.h"
#include "image/memory_buffer.h"
#include "parts/part_database.h"
#include "parts/part_json.h"
#include "parts/part_names.h"

namespace {

using namespace bq::cli;

constexpr const char* kVersion = "brindlequartz-cli " BQ_VERSION;

constexpr const char* kExitTable =
    "Exit status:\n"
    "  0    done and checked\n"
    "  1    the chip or the programmer said no (failed operation, signature\n"
    "       mismatch, not empty, verification failed, refused by a safety rule)\n"
    "  2    the command line or a file was wrong (usage, missing or unreadable\n"
    "       file, a file or standard output that cannot be written, unknown part,\n"
    "       the same port given twice)\n"
    "  3    the port could not be opened\n"
    "  130  interrupted (Ctrl+C): the exchange in progress ends, the programmer\n"
    "       stays ready\n";

constexpr const char* kFuseHelp =
    "write reads the chip's bytes first, changes only what is given (--low/--high/--extended "
    "bytes, FIELD=VALUE words) and writes the result; --defaults starts from the part's "
    "default bytes instead. verify compares only what is given (every byte with --defaults). "
    "A one-bit field is programmed when 0 ([x] in fuses read): CKDIV8=0 divides the clock by "
    "8. Over ISP a write that programs RSTDISBL or DWEN, or unprograms SPIEN, is refused "
    "unless --force is given; a new clock source (CKSEL, SUT_CKSEL) is written with a warning. "
    "A UPDI part's fuse bytes go by name: SYSCFG0=0xF6 sets a byte, BODCFG.ACTIVE=ENABLED a field "
    "(a number or a named value; names in any letter case; a one-bit field is on at 1); a write "
    "that gives a shared UPDI pin to GPIO or RESET is refused unless --force is given.";

bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
  return ::_isatty(::_fileno(stream)) != 0;
#else
  return ::isatty(::fileno(stream)) == 1;
#endif
}

// "FIRST:LAST" with numbers in any base.
std::pair<std::uint32_t, std::uint32_t> ParseRange(const std::string& text) {
  const auto colon = text.find(':');
  auto number = [&text](const std::string& part) {
    char* end = nullptr;
    if (part.empty() || part[0] == '-') throw CLI::ValidationError("--range", "bad range " + text);
    const unsigned long long v = std::strtoull(part.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFull) throw CLI::ValidationError("--range", "bad range " + text);
    return static_cast<std::uint32_t>(v);
  };
  if (colon == std::string::npos) throw CLI::ValidationError("--range", "expected FIRST:LAST");
  const std::uint32_t first = number(text.substr(0, colon));
  const std::uint32_t last = number(text.substr(colon + 1));
  if (first > last) {
    throw CLI::ValidationError("--range",
                               text + ": FIRST is above LAST; give the lower address first");
  }
  return {first, last};
}

int CmdProgrammers() {
  for (const bq::ProgrammerInfo& p : bq::ProgrammerTable()) {
    std::string can = p.can.updi ? "UPDI parts (tinyAVR 0/1/2, megaAVR 0, AVR DA/DB), user row, "
                                   "erase of a locked chip"
                                 : "ISP";
    if (p.can.highVoltageSerial) can += ", HVSP";
    if (p.can.highVoltageParallel) can += ", HVPP";
    if (p.can.identify) can += p.can.updi ? ", identify" : ", identify in socket or on ISP";
    if (p.can.ispClock) can += ", ISP clock";
    can += p.can.blankCheck ? ", blank check" : ", blank check by reading";
    can += p.can.verifyMemory ? ", verify" : ", verify by reading";
    if (p.can.calibration) can += ", calibration bytes";
    if (p.can.targetVoltage) can += ", target voltage";
    std::string name = p.name;
    if (p.alias[0] != '\0') name += std::string(" (") + p.alias + ")";
    std::printf("%s\t%s\t%u baud%s\t%s\n", name.c_str(), p.title,
                static_cast<unsigned>(p.defaultBaud), p.baudChoosable ? "" : " (fixed)",
                can.c_str());
  }
  return kExitOk;
}

int CmdParts(const std::optional<std::string>& partlist, bool ids) {
  bq::PartDatabase db;
  std::string source;
  if (!LoadCliPartList(partlist, db, source)) return kExitUsage;
  std::string name;
  while (db.NextPartName(name)) {
    const std::string id = ids ? bq::PartShortId(name) : "";
    std::printf("%s%s%s\n", name.c_str(), ids ? "\t" : "", id.c_str());
  }
  return kExitOk;
}

int CmdPart(const std::optional<std::string>& partlist, const std::string& name) {
  bq::PartDatabase db;
  std::string source, canonical;
  if (!LoadCliPartList(partlist, db, source)) return kExitUsage;
  const bq::PartRecord* record = FindCliPart(db, name, source, canonical);
  if (record == nullptr) return kExitUsage;
  std::printf("%s\n", bq::PartRecordJson(canonical, *record).c_str());
  return kExitOk;
}

int CmdConvert(Printer& out, const std::string& in, const std::string& outPath, bool eeprom,
               const std::optional<std::pair<std::uint32_t, std::uint32_t>>& range,
               bq::ImageFormat inFormat, bq::ImageFormat outFormat) {
  bq::MemoryBuffer buffer(eeprom ? bq::kEepromBufferBytes : bq::kFlashBufferBytes);
  const bq::ImageLoadResult loaded = LoadCliImage(buffer, in, inFormat);
  if (loaded.count == 0) {  // the input file is missing or cannot be loaded
    out.Log(bq::LogKind::LogError, loaded.error.empty() ? in + " not found." : loaded.error);
    return kExitUsage;
  }
  out.Log(bq::LogKind::LogInfo,
          in + " loaded into " + (eeprom ? "EEPROM" : "FLASH") + " buffer");
  if (!loaded.warning.empty()) out.Log(bq::LogKind::LogWarning, loaded.warning);
  // Without a range, save as Save does with no chip selected: up to the last byte that is
  // not 0xFF.
  const std::uint32_t first = range ? range->first : 0;
  const std::uint32_t last = range ? range->second : 0xFFFFFFFFu;
  std::string why;
  switch (SaveCliImage(buffer, outPath, first, last, outFormat, &why)) {
    case bq::SaveOutcome::Written:
      return kExitOk;
    case bq::SaveOutcome::NothingToSave:
      Complain("nothing to save in " + outPath + " (the image is empty)");
      return kExitFailed;
    case bq::SaveOutcome::Failed:
      break;
  }
  out.Log(bq::LogKind::LogError,
          outPath + (why.empty() ? std::string(" not saved.") : " not saved: " + why));
  return kExitUsage;
}

int Run(int argc, char** argv);

}  // namespace

// Whatever the command, output that could not be written is a failure.
int main(int argc, char** argv) {
  return FinishOutput(Run(argc, argv));
}

namespace {

int Run(int argc, char** argv) {
  // The arguments as UTF-8 on Windows too, so that any file name reaches the commands intact.
  std::vector<std::string> utf8 = bq::CommandLineUtf8(argc, argv);
  std::vector<char*> utf8Argv;
  for (std::string& a : utf8) utf8Argv.push_back(a.data());
  argc = static_cast<int>(utf8Argv.size());
  argv = utf8Argv.data();

  CLI::App app{"Reads, writes, verifies and erases AVR chips through a serial programmer, and "
               "converts image files.",
               "brindlequartz-cli"};
  app.set_version_flag("--version", kVersion);
  app.formatter(std::make_shared<HelpFormatter>());
  app.require_subcommand(1, 1);
  app.fallthrough();
  app.footer(std::string("\n") + kExitTable +
             "\nPort names: a serial device (ttyUSB0, /dev/ttyACM0, COM3) or the simulated "
             "programmer sim, sim:PART, sim:PART:isp, sim:PART:socket.\n"
             "Files: .hex .eep .ihx .ihex are read and written as Intel HEX, .bin as raw "
             "binary. A file with another name is read as Intel HEX when its first line that is "
             "not blank is a HEX record, as an ELF file when it begins like one (its flash or "
             "EEPROM data), as raw binary otherwise; it is written as raw binary, and - (stdout) "
             "as Intel HEX. --format (or convert's --from/--to) names the format instead.");

  ChipOptions chip;
  bool quiet = false, verbose = false, progress = false, noProgress = false;
  std::string isp;
  app.add_option("--partlist", chip.partlist,
                 "the part list file (default: PartList.cfg in the current folder, next to the "
                 "program, or in ../share/brindlequartz/)");
  app.add_option("-P,--port", chip.ports,
                 "the programmer's port (default: the saved one); several -P run the command on "
                 "every programmer at once");
  app.add_option("-p,--part", chip.part,
                 "the chip's part: its name in any case or short id (t85), or auto to identify it")
      ->default_str("auto");
  app.add_option("-m,--mode", chip.mode, "hv or isp (default: the part's high-voltage mode)")
      ->check(CLI::IsMember({"hv", "isp"}));
  std::vector<std::string> programmers;
  app.add_option("-c,--programmer", programmers,
                 "the kind of programmer: brindlequartz (default), stk500v1 (arduino-isp), "
                 "stk500v2, serialupdi (a USB-serial adapter on a UPDI pin); `programmers` lists "
                 "what each can do. Given once it applies to "
                 "every -P; given once for each -P the kinds pair with the ports in order");
  app.add_option("--isp-clock", isp, "auto or 1..7 (3.686 MHz .. 57.60 kHz)")
      ->check(CLI::IsMember({"auto", "1", "2", "3", "4", "5", "6", "7"}));
  std::vector<std::uint32_t> bauds;
  app.add_option("--baud", bauds,
                 "the line rate for programmers whose rate may be chosen (stk500v1: 19200, "
                 "stk500v2: 115200 by default; brindlequartz: 1000000 or 500000 once our "
                 "firmware agrees, 115200 to stay there; serialupdi: 230400 by default, 57600 "
                 "to 900000); once for every -P, or once for each "
                 "-P in order")
      ->check(CLI::Range(1200u, 4000000u));
  app.add_flag("--eeprom-word-address", chip.eepromWordAddress,
               "with -c stk500v1: the programmer counts EEPROM addresses in words, as some "
               "boards do (default: bytes); try it when EEPROM data lands at twice its address");
  app.add_flag("--target-clock", chip.targetClock,
               "put the programmer's 1 MHz clock on the target's XTAL1 (the ISP cable "
               "adapter's clock lead) while the command runs, for a chip set to a crystal or "
               "clock that is not fitted; our firmware only");
  app.add_flag("--sim-fresh", chip.simFresh,
               "with -P sim...: start from a new, erased simulated chip instead of the one kept "
               "from the last run");
  app.add_flag("-y,--yes", chip.yes,
               "go on when the chip's signature differs from the part; rescue: answer Yes");
  app.add_flag("--progress", progress, "show the progress bar (default: when stderr is a terminal)");
  app.add_flag("--no-progress", noProgress, "never show the progress bar");
  app.add_flag("-q,--quiet", quiet, "print only errors and warnings");
  app.add_flag("-v,--verbose", verbose, "also print every packet to and from the programmer");

  // Offline commands.
  auto* parts = app.add_subcommand("parts", "list every part name of the part list");
  bool ids = false;
  parts->add_flag("--ids", ids, "add each part's short id (m328p, t85, usb1287, can128)");
  bool rescueTable = false;
  parts->add_flag("--rescue", rescueTable,
                  "print what the rescue brings back on each part, by build, as a Markdown table");
  auto* part = app.add_subcommand("part", "show one part as a line of JSON");
  std::string partName;
  part->add_option("NAME", partName, "the part's name in any case, or its short id")->required();
  auto* convert = app.add_subcommand("convert", "load an image file and save it in the format of OUT");
  std::string convertIn, convertOut, rangeText;
  bool convertEeprom = false;
  convert->add_option("IN", convertIn, "the image file to read")->required();
  convert->add_option("OUT", convertOut, "the image file to write")->required();
  convert->add_flag("--eeprom", convertEeprom, "treat the image as EEPROM (8 KiB at most)");
  convert->add_option("--range", rangeText, "FIRST:LAST, the addresses to save");
  std::string inFormat, outFormat;
  convert->add_option("--from", inFormat, "hex or bin: the format of IN (default: by name and content)")
      ->check(CLI::IsMember({"hex", "bin"}));
  convert->add_option("--to", outFormat, "hex or bin: the format of OUT (default: by name; - is hex)")
      ->check(CLI::IsMember({"hex", "bin"}));

  // Chip commands.
  app.add_subcommand("ports", "list the serial ports present and sim");
  app.add_subcommand("programmers", "list the kinds of programmer and what each can do");
  app.add_subcommand("version", "the programmer's hardware and firmware versions");
  app.add_subcommand("identify", "find the chip in the socket or on the ISP cable");
  auto memoryArg = [](CLI::App* c, std::string& memory) {
    c->add_option("MEMORY", memory, "flash, eeprom or userrow (the user row of a UPDI part)")
        ->required()
        ->check(CLI::IsMember({"flash", "eeprom", "userrow"}));
  };
  std::string format;
  auto formatOption = [&format](CLI::App* c) {
    c->add_option("--format", format, "hex or bin: the file's format whatever its name (- is hex)")
        ->check(CLI::IsMember({"hex", "bin"}));
  };
  auto* read = app.add_subcommand("read", "read the chip's memory and save it to FILE (- for stdout)");
  formatOption(read);
  memoryArg(read, chip.memory);
  read->add_option("FILE", chip.file, "the image file to write")->required();
  read->add_option("--range", rangeText, "FIRST:LAST, read up to the page holding LAST, save that range");
  read->add_flag("--force", chip.force, "replace FILE even when it is write-protected");
  auto* write = app.add_subcommand(
      "write",
      "write FILE into the chip. flash: erase first (the erase also clears the EEPROM unless "
      "the chip's EESAVE fuse is programmed), write the pages up to the last that holds data, "
      "verify them. eeprom: write and verify the whole EEPROM, no erase.");
  memoryArg(write, chip.memory);
  write->add_option("FILE", chip.file, "the image file to write (- for stdin)")->required();
  formatOption(write);
  write->add_flag("--no-erase", chip.noErase, "do not erase the chip first");
  write->add_flag("--full", chip.full, "write every page of the flash");
  write->add_flag("--no-verify", chip.noVerify, "do not verify what was written");
  bool verifyFlag = false;
  write->add_flag("--verify", verifyFlag, "verify what was written (the default)");
  write->add_flag(
      "--force", chip.force,
      "write an Intel HEX file that lacks its end-of-file record (it may be cut short)");
  auto* verify = app.add_subcommand("verify", "compare the chip with FILE (flash: the pages a write would write)");
  memoryArg(verify, chip.memory);
  verify->add_option("FILE", chip.file, "the image file to compare with (- for stdin)")->required();
  formatOption(verify);
  verify->add_flag("--full", chip.full, "compare every page of the flash");
  auto* erase = app.add_subcommand(
      "erase", "erase the chip (flash, lock bits, and the EEPROM unless EESAVE)");
  erase->add_flag("--unlock", chip.unlock,
                  "UPDI parts: erase a locked chip with the chip-erase key (it answers nothing "
                  "else); the user row is kept");
  auto* blank = app.add_subcommand("blank-check", "check that the memory is empty");
  blank->add_option("MEMORY", chip.memory, "flash (default), eeprom or userrow")
      ->check(CLI::IsMember({"flash", "eeprom", "userrow"}));
  for (const char* name : {"fuses", "lock"}) {
    const bool fuses = std::string(name) == "fuses";
    auto* c = app.add_subcommand(name, fuses ? std::string("read, write or verify the fuse bytes. ") + kFuseHelp
                                             : std::string("read, write or verify the lock byte (VALUE or FIELD=VALUE). ") +
                                                   "write reads the chip first and changes only what is given; "
                                                   "verify compares only what is given.");
    c->add_option("ACTION", chip.action, "read, write or verify")->required()->check(CLI::IsMember({"read", "write", "verify"}));
    c->add_option("VALUES", chip.words,
                  fuses ? "FIELD=VALUE words (UPDI parts: NAME=VALUE, BYTE.FIELD=VALUE)"
                        : "the lock byte VALUE and FIELD=VALUE words");
    c->add_flag("--defaults", chip.defaults, "start from (write) or compare with (verify) the part's default bytes");
    if (fuses) {
      c->add_option("--low", chip.low, "the LOW fuse byte");
      c->add_option("--high", chip.high, "the HIGH fuse byte");
      c->add_option("--extended", chip.extended, "the EXTENDED fuse byte");
      c->add_flag("--force", chip.force, "write even what locks ISP or UPDI out");
    }
  }
  app.add_subcommand("calibration", "read the calibration bytes with their labels");
  auto* rescue = app.add_subcommand(
      "rescue",
      "find out what keeps a chip from ISP or from being read (no answer, a slow clock, lock "
      "bits, RSTDISBL, DWEN, SPIEN, a missing clock), say it, ask, fix it in the high-voltage "
      "socket or over ISP, and check that ISP reaches the chip again");
  rescue->add_flag("--defaults", chip.defaults,
                   "write the part's default fuses instead of putting back only the culprit");
  rescue->footer(RescueHelpFooter());
  auto* program = app.add_subcommand(
      "program",
      "program a whole chip in the safe order: signature check, erase (only when flash is "
      "written), flash write and verify, EEPROM write and verify, fuses write and verify, lock "
      "byte write and verify last. Steps without input are skipped; the fuse and lock bytes are "
      "read from the chip first and only what is given changes. Ends with one line on stdout: "
      "PASS PORT PART SECONDSs or FAIL PORT PART STEP: REASON.");
  program->add_option("ELF", chip.elfFile,
                      "an ELF file as avr-gcc links it, or an Intel HEX file of all its sections: "
                      "its flash, EEPROM, fuses, lock and (UPDI parts) user row (the options "
                      "below win byte by byte)");
  program->add_option("--flash", chip.flashFile, "the flash image");
  program->add_option("--eeprom", chip.eepromFile, "the EEPROM image");
  program->add_option("--low", chip.low, "the LOW fuse byte");
  program->add_option("--high", chip.high, "the HIGH fuse byte");
  program->add_option("--extended", chip.extended, "the EXTENDED fuse byte");
  program->add_option("--fuse", chip.fuseWords, "FIELD=VALUE of a fuse (repeatable)");
  program->add_option("--lock", chip.lockByte, "the lock byte");
  program->add_option("--lock-field", chip.lockWords, "FIELD=VALUE of the lock byte (repeatable)");
  program->add_flag("--force", chip.force,
                    "write over ISP even fuses that lock ISP out; write an Intel HEX file that "
                    "lacks its end-of-file record; put the --serial number over data of the "
                    "image; program an ELF file built for another device");
  program->add_flag("--watch", chip.watch,
                    "program the chip, then again each time an image file (ELF, --flash, "
                    "--eeprom) changes on disk, once it has stayed the same for a moment; a "
                    "failed run does not end the watch; Ctrl+C ends it");
  auto* repeat = program->add_flag(
      "--repeat", chip.repeat,
      "a production run: wait for a chip (the signature is read every half second), program "
      "it, print PASS #N or FAIL #N, wait until it is taken out, and go on until --count chips "
      "passed, Ctrl+C, or the programmer stops answering; then a summary line. With several -P "
      "every programmer runs its own loop. Exit status 0 when every chip passed, 1 when one "
      "failed or a programmer was lost, 130 after Ctrl+C");
  program
      ->add_option("--count", chip.count,
                   "with --repeat: stop when N chips passed (on all programmers together)")
      ->check(CLI::PositiveNumber)
      ->needs(repeat);
  auto* serial = program->add_option(
      "--serial", chip.serial,
      "MEMORY:ADDRESS[:BYTES[:le|be]]: write a serial number into each chip's image (MEMORY "
      "eeprom, flash or userrow, BYTES 1 to 8, default 4, little-endian); a number goes to one chip only, "
      "a failed chip's number is not used again; refused over addresses the image file holds "
      "unless --force");
  program
      ->add_option("--serial-start", chip.serialStart,
                   "the first serial number (default 1, or the one the --serial-file keeps)")
      ->needs(serial);
  program
      ->add_option("--serial-file", chip.serialFile,
                   "keeps the next serial number across runs; saved before each chip is "
                   "written and locked (FILE.lock) while a run uses it")
      ->needs(serial);
  program->add_option("--log", chip.logFile,
                      "append one JSON line a chip: time, port, part, signature, serial number, "
                      "result, failing step, seconds, SHA-256 of each memory written, versions");

  auto* firmware = app.add_subcommand(
      "firmware",
      "install: put the programmer's firmware onto a stock Arduino board through the "
      "bootloader it ships with, so the board becomes the programmer (Uno and Nano: STK500 "
      "version 1; Mega 2560: STK500 version 2; both at 115200 baud). Give the board's port with "
      "-P; the board resets when the port opens. Writes the pages that hold the image, reads "
      "them back and compares. Default image: brindlequartz-BOARD.hex in firmware/ next to the "
      "program, in ../share/brindlequartz/firmware/, or in the build folder's firmware/.");
  std::string firmwareAction;
  FirmwareInstallOptions install;
  firmware->add_option("ACTION", firmwareAction, "install")
      ->required()
      ->check(CLI::IsMember({"install"}));
  firmware
      ->add_option("--board", install.board,
                   "uno (Arduino Uno or Nano, ATmega328P) or mega (Arduino Mega 2560)")
      ->required()
      ->check(CLI::IsMember({"uno", "mega"}, CLI::ignore_case));
  firmware->add_option("--image", install.image,
                       "the firmware image (Intel HEX) to install instead of the shipped one");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      // --help, --version: written through stdio, so that a failed write is caught with
      // its reason.
      std::ostringstream text, errors;
      const int status = app.exit(e, text, errors);
      std::fputs(errors.str().c_str(), stderr);
      const std::string out = text.str();
      std::fwrite(out.data(), 1, out.size(), stdout);
      FlushOutput();
      return status;
    }
    return ReportUsageError(app, e, argc, argv);
  }

  CLI::App* command = app.get_subcommands().front();
  const std::string name = command->get_name();
  chip.command = name;
  // -c once set the ISP clock: a clock given there still does, with a word about the change.
  if (programmers.size() == 1) {
    const std::string& clock = programmers.front();
    if (clock == "auto" || (clock.size() == 1 && clock[0] >= '1' && clock[0] <= '7')) {
      Complain("warning: -c now chooses the programmer; taken as --isp-clock " + clock +
               " this time (write --isp-clock)");
      isp = clock;
      programmers.clear();
    }
  }
  for (const std::string& programmer : programmers) {
    const bq::ProgrammerInfo* info = bq::FindProgrammer(programmer);
    if (info == nullptr) {
      Complain("no programmer " + programmer + "; the programmers are " + bq::ProgrammerNames());
      return kExitUsage;
    }
    chip.programmers.push_back(info->kind);
  }
  if (name == "programmers") return CmdProgrammers();
  chip.bauds = bauds;
  if (chip.eepromWordAddress &&
      std::find(chip.programmers.begin(), chip.programmers.end(), bq::ProgrammerKind::Stk500v1) ==
          chip.programmers.end()) {
    Complain("warning: --eeprom-word-address applies to -c stk500v1 only; ignored");
  }
  if (!isp.empty()) chip.ispClock = isp == "auto" ? 0u : static_cast<std::uint32_t>(std::stoul(isp));
  const bool showProgress = progress || (!noProgress && IsTerminal(stderr));
  Printer out(quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal,
              showProgress && !noProgress);

  std::optional<std::pair<std::uint32_t, std::uint32_t>> range;
  try {
    if (!rangeText.empty()) range = ParseRange(rangeText);
  } catch (const CLI::ValidationError& e) {
    Complain(e.what());
    return kExitUsage;
  }
  if (name == "parts") {
    return rescueTable ? CmdPartsRescue(chip.partlist) : CmdParts(chip.partlist, ids);
  }
  if (name == "part") return CmdPart(chip.partlist, partName);
  auto formatOf = [](const std::string& text) {
    return text == "hex" ? bq::ImageFormat::IntelHex
                         : text == "bin" ? bq::ImageFormat::Binary : bq::ImageFormat::Auto;
  };
  if (name == "convert") {
    return CmdConvert(out, convertIn, convertOut, convertEeprom, range, formatOf(inFormat),
                      formatOf(outFormat));
  }
  if (name == "firmware") {
    if (chip.ports.size() != 1) {
      Complain("firmware install needs the board's serial port, once: -P PORT (e.g. -P ttyACM0)");
      return kExitUsage;
    }
    install.port = chip.ports.front();
    return RunFirmwareInstall(install, out);
  }
  if (!format.empty()) chip.format = formatOf(format);

  chip.range = range;
  const bool changing = (name == "fuses" || name == "lock") && chip.action != "read";
  if (chip.action == "read" && (!chip.words.empty() || chip.defaults || chip.low || chip.high ||
                                chip.extended || chip.force)) {
    Complain(name + " read takes no values");
    return kExitUsage;
  }
  if (name == "rescue" && !chip.yes && !IsTerminal(stdin)) {
    Complain(
        "rescue asks before it changes the chip, and there is no terminal to answer on: "
        "pass --yes to go on without asking");
    return kExitUsage;
  }
  if (name == "program") {
    if (!chip.elfFile && !chip.flashFile && !chip.eepromFile && !chip.low && !chip.high &&
        !chip.extended &&
        chip.fuseWords.empty() && !chip.lockByte && chip.lockWords.empty()) {
      Complain("program needs something to program: --flash, --eeprom, fuse or lock values");
      return kExitUsage;
    }
    return RunChipCommand(chip, out);
  }
  if (chip.force && (name == "fuses" || name == "lock") && chip.action != "write") {
    Complain("--force belongs to fuses write");
    return kExitUsage;
  }
  if (changing && !chip.defaults && !chip.low && !chip.high && !chip.extended && chip.words.empty()) {
    Complain(name + " " + chip.action + " needs something to " + chip.action + ": " +
             (name == "fuses" ? "--low/--high/--extended V, " : "VALUE, ") +
             "FIELD=VALUE or --defaults (see --help)");
    return kExitUsage;
  }
  return RunChipCommand(chip, out);
}

}  // namespace

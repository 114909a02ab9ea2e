// brindlequartz-cli: the engine of Brindlequartz from a terminal.
//
// Offline commands (part list and image files) are handled here; every command
// that talks to the programmer goes to RunChipCommand.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/cli/chip_commands.h"
#include "app/cli/cli_output.h"
#include "core/command_line.h"
#include "image/buffer_commands.h"
#include "image/image_file.h"
#include "image/memory_buffer.h"
#include "parts/part_database.h"
#include "parts/part_json.h"

namespace {

constexpr const char* kUsage =
    "usage: brindlequartz-cli [--partlist FILE] COMMAND [ARGS]\n"
    "\n"
    "Part list and image files:\n"
    "  parts                              list every part name\n"
    "  part NAME                          show one part as JSON\n"
    "  convert IN OUT [--eeprom] [--range FIRST:LAST]\n"
    "                                     load an image file and save it in the format of OUT\n"
    "\n"
    "Programmer (options: -P/--port NAME, -p/--part NAME|auto, -m/--mode hv|isp,\n"
    "            -c/--isp-clock auto|1..7, -y/--yes, --progress, --no-progress):\n"
    "  ports | version | identify | erase | calibration\n"
    "  read flash|eeprom FILE | write flash|eeprom FILE [--verify] | verify flash|eeprom FILE\n"
    "  blank-check [flash|eeprom]\n"
    "  fuses read\n"
    "  fuses write|verify [--defaults] [--low V] [--high V] [--extended V] [FIELD=VALUE]...\n"
    "                     [--force]\n"
    "  lock read | lock write|verify [--defaults] [VALUE] [FIELD=VALUE]...\n"
    "\n"
    "-y/--yes answers Yes when the chip's signature differs from the part's; a programmer\n"
    "that does not answer ends the command all the same.\n"
    "\n"
    "Fuse and lock bytes: write reads the chip's bytes first and changes only the bytes and\n"
    "fields given; --defaults starts from the part's default bytes instead (as \"Set Default\"\n"
    "in the desktop program). verify compares only what is given: those bytes, the bits of\n"
    "those fields, or every byte with --defaults. With nothing given both are usage errors.\n"
    "A field's VALUE is a number (or a choice text for a field with named values); a one-bit\n"
    "field is programmed when 0 (shown [x] by fuses read): CKDIV8=0 divides the clock by 8.\n"
    "In ISP mode, fuses write refuses to program RSTDISBL or DWEN (the reset pin is lost to\n"
    "ISP) or to unprogram SPIEN (a chip ignores that over ISP) unless --force is given;\n"
    "a new CKSEL or SUT_CKSEL is written with a warning: ISP then needs that clock present.\n"
    "High-voltage modes write every fuse as given.\n"
    "\n"
    "Port names: a serial device (ttyUSB0, /dev/ttyACM0) or the simulated programmer\n"
    "sim, sim:PART, sim:PART:isp, sim:PART:socket.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool ParseAddress(const std::string& text, std::uint32_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || v > 0xFFFFFFFFull || text[0] == '-') return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

bool LoadParts(bq::PartDatabase& db, const std::string& path) {
  if (bq::LoadPartList(db, path) > 0) return true;
  std::fputs("PartList Load ERROR !!!\n", stderr);
  return false;
}

int CmdParts(const std::vector<std::string>& args, const std::string& partlist) {
  if (args.size() != 1) return Usage();
  bq::PartDatabase db;
  if (!LoadParts(db, partlist)) return 1;
  std::string name;
  while (db.NextPartName(name)) std::printf("%s\n", name.c_str());
  return 0;
}

int CmdPart(const std::vector<std::string>& args, const std::string& partlist) {
  if (args.size() != 2) return Usage();
  bq::PartDatabase db;
  if (!LoadParts(db, partlist)) return 1;
  const bq::PartRecord* record = db.Find(args[1]);
  if (record == nullptr) {
    std::fprintf(stderr, "brindlequartz-cli: no part named '%s' in %s\n", args[1].c_str(),
                 partlist.c_str());
    return 2;
  }
  std::printf("%s\n", bq::PartRecordJson(args[1], *record).c_str());
  return 0;
}

int CmdConvert(const std::vector<std::string>& args) {
  std::vector<std::string> files;
  bool eeprom = false;
  bool hasRange = false;
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--eeprom") {
      eeprom = true;
    } else if (a == "--range" && i + 1 < args.size()) {
      const std::string& r = args[++i];
      const auto colon = r.find(':');
      if (colon == std::string::npos || !ParseAddress(r.substr(0, colon), first) ||
          !ParseAddress(r.substr(colon + 1), last)) {
        return Usage();
      }
      hasRange = true;
    } else if (!a.empty() && a[0] == '-') {
      return Usage();
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 2) return Usage();

  bq::MemoryBuffer flash(eeprom ? 0 : bq::kFlashBufferBytes);
  bq::MemoryBuffer eepromBuffer(eeprom ? bq::kEepromBufferBytes : 0);
  const bq::BufferTab tab = eeprom ? bq::BufferTab::Eeprom : bq::BufferTab::Flash;

  const bq::BufferCommandResult loaded = bq::LoadCommand(tab, flash, eepromBuffer, files[0], false);
  bq::cli::PrintLog(loaded.log);
  if (!loaded.refillView) return 2;  // the input file is missing or cannot be loaded

  // Without a range, save as Save does with no chip selected: up to the last byte that is not 0xFF.
  bq::MemoryBuffer& buffer = eeprom ? eepromBuffer : flash;
  if (!hasRange) last = 0xFFFFFFFFu;
  switch (bq::SaveImage(buffer, files[1], first, last)) {
    case bq::SaveOutcome::Written:
      return 0;
    case bq::SaveOutcome::NothingToSave:
      std::fprintf(stderr, "brindlequartz-cli: nothing to save in %s (the image is empty)\n",
                   files[1].c_str());
      return 1;
    case bq::SaveOutcome::Failed:
      break;
  }
  bq::cli::PrintLogEntry({bq::LogKind::LogError, files[1] + " not saved."});
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The arguments as UTF-8 on Windows too, so that any file name reaches the commands intact.
  std::vector<std::string> utf8 = bq::CommandLineUtf8(argc, argv);
  std::vector<char*> utf8Argv;
  for (std::string& a : utf8) utf8Argv.push_back(a.data());
  argc = static_cast<int>(utf8Argv.size());
  argv = utf8Argv.data();
  std::vector<std::string> args;
  std::string partlist = "PartList.cfg";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--partlist") {
      if (i + 1 >= argc) return Usage();
      partlist = argv[++i];
    } else if (a.rfind("--partlist=", 0) == 0) {
      partlist = a.substr(11);
    } else if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      args.push_back(a);
    }
  }
  if (args.empty()) return Usage();

  const std::string& command = args[0];
  if (command == "parts") return CmdParts(args, partlist);
  if (command == "part") return CmdPart(args, partlist);
  if (command == "convert") return CmdConvert(args);
  return bq::cli::RunChipCommand(args, partlist);
}

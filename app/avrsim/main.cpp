// brindlequartz-avrsim: the programmer's firmware running in simavr on a simulated Arduino
// Uno or Mega 2560, its serial line on a pseudo-terminal, a simulated chip on its pins.
// Prints the device path on the first line and serves until SIGINT or SIGTERM.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/avrsim/avr_bench.h"
#include "app/avrsim/updi_header.h"
#include "avrsim/target.h"
#include "parts/part_database.h"
#include "parts/part_list_location.h"
#include "parts/part_names.h"
#include "platform/executable_folder.h"
#include "platform/posix/raw_pseudo_terminal.h"

namespace {

using bq::avrsim::Board;
using bq::avrsim::Place;

constexpr const char* kName = "brindlequartz-avrsim";
constexpr const char* kUsageLine =
    "Usage: brindlequartz-avrsim --board uno|mega --target PART|none [OPTIONS]\n";

// The whole help; it says everything a user needs.
constexpr const char* kHelp =
    "Runs the programmer's firmware in simavr on a simulated Arduino Uno/Nano (ATmega328P) or\n"
    "Mega 2560 (ATmega2560) at 16 MHz, with a simulated chip on the pins of its ISP header or\n"
    "socket. The board's serial line is a pseudo-terminal: its path is the first line of\n"
    "standard output; use it as the serial port in any of the programs. Each break of the\n"
    "chip's programming rules is printed as 'violation: ...' on standard error. Serves until\n"
    "SIGINT or SIGTERM, then prints a summary on standard error.\n"
    "\n"
    "Options:\n"
    "  --board uno|mega        the board (required)\n"
    "  --target PART|none      the chip: any name of a part (ATtiny85, attiny85, t85), or none\n"
    "                          for an empty ISP header and empty sockets (required); a UPDI\n"
    "                          part (tinyAVR 0/1/2, megaAVR 0, AVR Dx) sits on the board's\n"
    "                          UPDI header\n"
    "  --place isp|socket      where the chip sits (default: the socket made for the part's\n"
    "                          package when the board has one: the 8-pin HVSP socket on both\n"
    "                          boards, the 20-, 28- and 40-pin HVPP sockets on the Mega; else\n"
    "                          the ISP header; the first line on standard error says which)\n"
    "  --fuses L[,H[,E]]       the chip's fuse bytes, hexadecimal (default: the part's defaults)\n"
    "  --lock V                the chip's lock byte, hexadecimal (default: FF)\n"
    "  --chip FILE             keep the chip in FILE: its memories, fuses and lock byte are\n"
    "                          read from FILE when it exists (--fuses and --lock still win)\n"
    "                          and written back at exit, so one chip can move between the\n"
    "                          socket and the ISP header from one run to the next\n"
    "  --clock HZ              the crystal or clock fitted to the chip's XTAL1, used when its\n"
    "                          fuses select one; 0 for none (default: 16000000). On the ISP\n"
    "                          header the board's clock pin (Uno D6, Mega D10) is wired to\n"
    "                          XTAL1 as well: while the firmware runs that clock (rescue,\n"
    "                          --target-clock), it is the chip's clock\n"
    "  --no-12v                the 12 V supply is missing: the socket's RESET stays at 0 V\n"
    "  --line-limit BAUD       the USB serial chip carries no rate above BAUD: faster bytes\n"
    "                          are lost both ways (default: every rate)\n"
    "  --real-time             never run ahead of the wall clock (default: run as fast as\n"
    "                          possible while the host talks, real time when the line is quiet)\n"
    "  --trace                 print every change of a line to the chip and every SPI byte\n"
    "                          on standard error, as 'trace: TIME ns LINE LEVEL'\n"
    "  --firmware FILE.elf     the firmware (default: the image built with the program,\n"
    "                          firmware/brindlequartz-BOARD.elf in the build folder; with\n"
    "                          --bootloader: none, the flash below the bootloader is erased)\n"
    "  --bootloader FILE.hex   a stock bootloader (Intel HEX), e.g. optiboot_atmega328.hex for\n"
    "                          the Uno or stk500boot_v2_mega2560.hex for the Mega: the board\n"
    "                          starts in it as after a press of its reset button, with the\n"
    "                          fuses it is shipped with (boot section of 512 bytes at 0x7E00\n"
    "                          on the Uno, high fuse DE; 8 KiB at 0x3E000 on the Mega, D8), and\n"
    "                          every open of the serial line resets it into the bootloader\n"
    "                          again, as DTR does; what the bootloader writes into the flash\n"
    "                          runs when it starts the application\n"
    "  --partlist FILE         the part list (default: PartList.cfg in the current folder, next\n"
    "                          to the program, or in ../share/brindlequartz/)\n"
    "  --link PATH             also make a symbolic link PATH to the device (removed at exit)\n"
    "  --stats FILE            write counters to FILE at exit and on SIGUSR1: simulated\n"
    "                          nanoseconds of the first byte in, of the last byte out and now,\n"
    "                          bytes in and out, wall seconds, resets, bytes shifted by the\n"
    "                          board's SPI and the SCK of the last one\n"
    "  -h, --help              show this help and exit\n"
    "  --version               show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0    stopped by SIGINT or SIGTERM, the chip saw no violation\n"
    "  1    the part list, the part, the firmware or the pseudo-terminal could not be had, or\n"
    "       the firmware stopped by itself\n"
    "  2    the command line was wrong\n"
    "  3    stopped by SIGINT or SIGTERM after the chip saw violations\n"
    "\n"
    "Example: brindlequartz-avrsim --board mega --target ATmega328P --link /tmp/avr &\n"
    "then: brindlequartz-cli -P /tmp/avr -p m328p read flash out.hex\n";

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_dump = 0;

int Usage(const std::string& problem) {
  std::cerr << kName << ": " << problem << "\n"
            << kUsageLine << "Try 'brindlequartz-avrsim --help' for more.\n";
  return 2;
}

std::optional<unsigned long> ParseHexByte(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty() || text.size() > 2) return std::nullopt;
  char* end = nullptr;
  const std::string s(text);
  const unsigned long v = std::strtoul(s.c_str(), &end, 16);
  if (*end != '\0') return std::nullopt;
  return v;
}

void WriteStats(const std::string& path, const bq::avrsim::BenchStats& s, unsigned violations) {
  if (path.empty()) return;
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << "first_byte_in_ns " << s.firstByteIn << "\n"
        << "last_byte_out_ns " << s.lastByteOut << "\n"
        << "bytes_in " << s.bytesIn << "\n"
        << "bytes_out " << s.bytesOut << "\n"
        << "now_ns " << s.now << "\n"
        << "wall_seconds " << s.wallSeconds << "\n"
        << "slept_seconds " << s.sleptSeconds << "\n"
        << "resets " << s.resets << "\n"
        << "spi_bytes " << s.spiBytes << "\n"
        << "spi_sck_hz " << s.spiSckHz << "\n"
        << "violations " << violations << "\n";
  }
  std::rename(temp.c_str(), path.c_str());
}

// A chip kept in a file between runs, as a real chip keeps its memories when it moves from
// the socket to the ISP header: the part's name, the fuse and lock bytes, then flash and
// EEPROM.
constexpr const char* kChipMagic = "brindlequartz-avrsim chip";

bool LoadChip(const std::string& path, bq::avrsim::TargetConfig& config, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return true;  // a new chip: the file is made at the end
  std::string magic, name;
  std::getline(in, magic);
  std::getline(in, name);
  unsigned low = 0, high = 0, extended = 0, lock = 0;
  std::string bytes;
  std::getline(in, bytes);
  if (magic != kChipMagic ||
      std::sscanf(bytes.c_str(), "%x %x %x %x", &low, &high, &extended, &lock) != 4) {
    error = path + " is not a chip saved by " + std::string(kName);
    return false;
  }
  if (name != config.partName) {
    error = path + " holds a " + name + ", not a " + config.partName;
    return false;
  }
  config.flash.assign(config.part.FlashBytes(), 0xFF);
  config.eeprom.assign(config.part.EepromBytes(), 0xFF);
  in.read(reinterpret_cast<char*>(config.flash.data()), static_cast<std::streamsize>(config.flash.size()));
  in.read(reinterpret_cast<char*>(config.eeprom.data()), static_cast<std::streamsize>(config.eeprom.size()));
  if (!in) {
    error = path + " is shorter than a " + name + "'s memories";
    return false;
  }
  if (!config.low) config.low = static_cast<std::uint8_t>(low);
  if (!config.high) config.high = static_cast<std::uint8_t>(high);
  if (!config.extended) config.extended = static_cast<std::uint8_t>(extended);
  if (!config.lock) config.lock = static_cast<std::uint8_t>(lock);
  return true;
}

void SaveChip(const std::string& path, const std::string& name, const bq::avrsim::ChipState& chip) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    char bytes[64];
    std::snprintf(bytes, sizeof bytes, "%02X %02X %02X %02X", chip.low, chip.high, chip.extended, chip.lock);
    out << kChipMagic << "\n" << name << "\n" << bytes << "\n";
    out.write(reinterpret_cast<const char*>(chip.flash.data()), static_cast<std::streamsize>(chip.flash.size()));
    out.write(reinterpret_cast<const char*>(chip.eeprom.data()), static_cast<std::streamsize>(chip.eeprom.size()));
  }
  std::rename(temp.c_str(), path.c_str());
}

void OnStop(int) { g_stop = 1; }
void OnDump(int) { g_dump = 1; }

}  // namespace

int main(int argc, char** argv) {
  std::string boardName, targetName, placeName, fuses, lock, clock, firmware, bootloader, partList,
      link, stats, chipFile, lineLimit;
  bool no12v = false;
  bool realTime = false;
  bool trace = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsageLine << kHelp;
      return 0;
    } else if (arg == "--version") {
      std::cout << kName << " " << BQ_VERSION << "\n";
      return 0;
    } else if (arg == "--no-12v") {
      no12v = true;
    } else if (arg == "--real-time") {
      realTime = true;
    } else if (arg == "--line-limit") {
      if (!value(lineLimit) || lineLimit.empty() ||
          lineLimit.find_first_not_of("0123456789") != std::string::npos || lineLimit.size() > 9)
        return Usage("--line-limit needs a rate in baud, e.g. 500000");
    } else if (arg == "--trace") {
      trace = true;
    } else if (arg == "--board") {
      if (!value(boardName) || (boardName != "uno" && boardName != "mega"))
        return Usage("--board takes uno or mega");
    } else if (arg == "--target") {
      if (!value(targetName)) return Usage("--target needs a part name or none");
    } else if (arg == "--place") {
      if (!value(placeName) || (placeName != "isp" && placeName != "socket"))
        return Usage("--place takes isp or socket");
    } else if (arg == "--fuses") {
      if (!value(fuses)) return Usage("--fuses needs the fuse bytes, e.g. 62,DF,FF");
    } else if (arg == "--lock") {
      if (!value(lock)) return Usage("--lock needs the lock byte, e.g. FC");
    } else if (arg == "--clock") {
      if (!value(clock)) return Usage("--clock needs a frequency in Hz");
    } else if (arg == "--firmware") {
      if (!value(firmware)) return Usage("--firmware needs a file");
    } else if (arg == "--bootloader") {
      if (!value(bootloader)) return Usage("--bootloader needs an Intel HEX file");
    } else if (arg == "--partlist") {
      if (!value(partList)) return Usage("--partlist needs a file");
    } else if (arg == "--link") {
      if (!value(link)) return Usage("--link needs a path");
    } else if (arg == "--chip") {
      if (!value(chipFile)) return Usage("--chip needs a file");
    } else if (arg == "--stats") {
      if (!value(stats)) return Usage("--stats needs a file");
    } else {
      return Usage("unknown argument '" + arg + "'");
    }
  }
  if (boardName.empty()) return Usage("name the board with --board uno or --board mega");
  if (targetName.empty()) return Usage("name the chip with --target PART, or --target none");
  const Board board = boardName == "uno" ? Board::Uno : Board::Mega;

  bq::avrsim::TargetConfig config;
  if (!fuses.empty()) {
    std::vector<std::optional<std::uint8_t>*> bytes = {&config.low, &config.high, &config.extended};
    std::stringstream list(fuses);
    std::string item;
    std::size_t n = 0;
    while (std::getline(list, item, ',')) {
      const auto v = ParseHexByte(item);
      if (!v || n >= bytes.size()) return Usage("--fuses takes up to three hexadecimal bytes, e.g. 62,DF,FF");
      *bytes[n++] = static_cast<std::uint8_t>(*v);
    }
  }
  if (!lock.empty()) {
    const auto v = ParseHexByte(lock);
    if (!v) return Usage("--lock takes one hexadecimal byte, e.g. FC");
    config.lock = static_cast<std::uint8_t>(*v);
  }
  if (!clock.empty()) {
    char* end = nullptr;
    const unsigned long hz = std::strtoul(clock.c_str(), &end, 10);
    if (*end != '\0' || hz > 100000000) return Usage("--clock takes a frequency in Hz, e.g. 16000000");
    config.externalClockHz = static_cast<std::uint32_t>(hz);
  }

  Place place = Place::None;
  std::unique_ptr<bq::avrsim::Target> target;
  std::unique_ptr<bq::avrsim::UpdiHeader> updi;
  unsigned violations = 0;
  if (targetName != "none") {
    std::error_code noCurrentFolder;
    const bq::PartListSearch search =
        partList.empty() ? bq::FindPartList(std::filesystem::current_path(noCurrentFolder),
                                            bq::ExecutableFolder())
                         : bq::PartListSearch{partList, {}};
    bq::PartDatabase parts;
    std::string partListError;
    if (!bq::LoadFoundPartList(parts, search, partListError)) {
      std::cerr << kName << ": " << partListError
                << (search.found.empty() ? " (name one with --partlist FILE)\n" : "\n");
      return 1;
    }
    const bq::PartRecord* record = bq::FindPartByAnyName(parts, targetName, &config.partName);
    if (!record) {
      std::cerr << kName << ": " << bq::NoSuchPartText(parts, targetName, search.found.string()) << "\n";
      return 1;
    }
    config.part = *record;
    if (record->IsUpdi()) {
      if (!placeName.empty() || !chipFile.empty() || !fuses.empty() || !lock.empty())
        return Usage(
            "a UPDI part takes none of --place, --chip, --fuses and --lock: it sits on "
            "the UPDI header with its defaults");
    }
    std::string chipError;
    if (!chipFile.empty() && !LoadChip(chipFile, config, chipError)) {
      std::cerr << kName << ": " << chipError << "\n";
      return 1;
    }
    // A chip sits only in a socket made for its package; without one it is on the ISP header.
    const Place socket = record->HasHighVoltageMode()
                             ? bq::avrsim::SocketFor(board, bq::avrsim::PackageOf(config.partName))
                             : Place::Isp;
    if (placeName == "socket" && socket == Place::Isp) {
      return Usage("the " + std::string(board == Board::Uno ? "Uno" : "Mega") +
                   " has no socket for the " + config.partName + "'s package" +
                   ": put it on the ISP header with --place isp");
    }
    place = placeName == "isp" ? Place::Isp : socket;
    if (record->IsUpdi()) {
      place = Place::None;
      updi = std::make_unique<bq::avrsim::UpdiHeader>(
          board, *record, config.partName, !no12v,
          [](const std::string& text) { std::cerr << "violation: " << text << std::endl; },
          [](const std::string& text) { std::cerr << "note: " << text << std::endl; });
    } else {
      target = bq::avrsim::MakeTarget(
          config,
          [&violations](const std::string& text) {
            ++violations;
            std::cerr << "violation: " << text << std::endl;
          },
          [](const std::string& text) { std::cerr << "note: " << text << std::endl; });
    }
  } else if (!placeName.empty()) {
    return Usage("--place needs a chip: with --target none every place is empty");
  } else if (!chipFile.empty()) {
    return Usage("--chip needs a chip: name it with --target PART");
  }

  if (firmware.empty() && bootloader.empty())
    firmware = std::string(BQ_AVRSIM_FIRMWARE_DIR) + "/brindlequartz-" + boardName + ".elf";

  bq::avrsim::BenchSetup setup;
  setup.board = board;
  setup.place = place;
  setup.twelveVolts = !no12v;
  setup.realTime = realTime;
  if (!lineLimit.empty()) setup.lineLimit = static_cast<std::uint32_t>(std::stoul(lineLimit));
  setup.trace = trace;
  setup.target = target.get();
  setup.updi = updi.get();
  bq::avrsim::AvrBench bench(setup);
  std::string error;
  if (!bench.Load(firmware, bootloader, error) || !bench.OpenPty(error)) {
    std::cerr << kName << ": " << error << "\n";
    return 1;
  }
  if (!link.empty() && !bq::LinkToDevice(link, bench.SlavePath(), error)) {
    std::cerr << kName << ": " << error << "\n";
    return 1;
  }

  struct sigaction stop {};
  stop.sa_handler = OnStop;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  struct sigaction dump {};
  dump.sa_handler = OnDump;
  sigemptyset(&dump.sa_mask);
  sigaction(SIGUSR1, &dump, nullptr);

  const std::string where = updi     ? config.partName + " on the UPDI header"
                            : target ? config.partName + " in the " + bq::avrsim::PlaceName(place)
                                     : std::string("no chip");
  const std::string boardText = board == Board::Uno ? "Uno" : "Mega 2560";
  std::cout << bench.SlavePath() << std::endl;
  std::cerr << kName << ": " << boardText << " with " << where << " on " << bench.SlavePath()
            << (link.empty() ? "" : " (" + link + ")") << std::endl;

  const auto violationCount = [&] {
    return (target ? target->Violations() : 0u) + (updi ? updi->Violations() : 0u);
  };
  std::string why;
  const bool stopped = bench.Run(g_stop, g_dump,
                                 [&] { WriteStats(stats, bench.Stats(), violationCount()); }, why);
  if (updi) updi->Finish();
  const bq::avrsim::BenchStats s = bench.Stats();
  WriteStats(stats, s, violationCount());
  if (target && !chipFile.empty()) SaveChip(chipFile, config.partName, target->State());
  if (!stopped) std::cerr << kName << ": " << why << " at " << s.now / 1000 << " us\n";
  std::cerr << kName << ": " << s.bytesIn << " bytes in, " << s.bytesOut << " bytes out, "
            << s.now / 1000000 << " ms simulated in " << static_cast<long>(s.wallSeconds * 1000)
            << " ms; violations: " << violationCount() << std::endl;
  if (!link.empty()) ::unlink(link.c_str());
  std::cout.flush();
  // No teardown: simavr's own clean-up is not needed at exit.
  ::_exit(!stopped ? 1 : violationCount() > 0 ? 3 : 0);
}

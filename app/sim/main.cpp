// brindlequartz-sim: a simulated programmer (our protocol, STK500 version 1 or 2) with a
// simulated chip, or a simulated UPDI chip on a SerialUPDI adapter, behind a pseudo-terminal.
// Prints the device path on the first line and serves until SIGINT or SIGTERM.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "parts/part_database.h"
#include "parts/part_list_location.h"
#include "parts/part_names.h"
#include "platform/executable_folder.h"
#include "platform/posix/pty_server.h"
#include "platform/posix/raw_pseudo_terminal.h"
#include "sim/sim_chip.h"
#include "sim/sim_connection.h"
#include "sim/sim_fault.h"
#include "sim/sim_programmer.h"
#include "sim/sim_serial_peer.h"
#include "sim/updi/updi_chip_cycle.h"
#include "sim/updi/updi_peer.h"

namespace {

constexpr const char* kUsageLine = "Usage: brindlequartz-sim [OPTIONS]\n";

// The whole help; the manual page is made from it, so it says everything a user needs.
constexpr const char* kHelp =
    "Serves a simulated programmer with a simulated chip on a pseudo-terminal, for any program\n"
    "that opens serial ports. Prints the device path on the first line of standard output, a\n"
    "summary on standard error, and serves until SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --protocol NAME         the programmer: brindlequartz (ours, the default), stk500v1\n"
    "                          (Arduino as ISP), stk500v2, or serialupdi (a UPDI part on a\n"
    "                          USB-serial adapter with TX and RX joined; also: updi); use\n"
    "                          the same name with -c in brindlequartz-cli. The options\n"
    "                          marked (ours) apply to our protocol only\n"
    "  --partlist FILE         the part list (default: PartList.cfg in the current folder, next\n"
    "                          to the program, or in ../share/brindlequartz/)\n"
    "  --part NAME             the chip: any name of a part (ATtiny85, attiny85, t85);\n"
    "                          default: the first part by name\n"
    "  --connect isp|socket    where the chip sits (default for our protocol: the socket for\n"
    "                          parts with a high-voltage mode, else the ISP cable; for the\n"
    "                          STK500 protocols: the ISP cable)\n"
    "  --pace                  send and receive no faster than the line: 115200 baud 8N1 for\n"
    "                          our protocol, the rate the host set for the STK500 protocols;\n"
    "                          serialupdi always runs at the line's pace (12 bits a byte)\n"
    "  --fault SPEC            (ours) answer a command wrongly, as CODE:KIND[=ARG][@N|*N];\n"
    "                          may be repeated. CODE is the command code (0x30 or 48). KIND\n"
    "                          is silence, badheader, short, oversize, error=E, hangup,\n"
    "                          lastnext (write) or longdata (read). @N: only the Nth such\n"
    "                          packet; *N: the first N; neither: every one. Example:\n"
    "                          0x30:silence@2\n"
    "  --link PATH             also make a symbolic link PATH to the device (removed at exit)\n"
    "  --blank-check-ms MS     (ours) how long a blank check takes (default: 0)\n"
    "  --isp-max-clock N       (ours) fastest ISP clock index the chip on the cable copes\n"
    "                          with: 1 (3.686 MHz) to 7 (57.60 kHz); 0: nothing on the cable\n"
    "                          answers (default: 1)\n"
    "  --chip-cycle P:A        (ours, serialupdi) the chip comes and goes: present for P ms,\n"
    "                          then away for A ms (a new erased chip each time), as on a\n"
    "                          production line\n"
    "  -h, --help              show this help and exit\n"
    "  --version               show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0    stopped by SIGINT or SIGTERM\n"
    "  1    the part list, the part, the pseudo-terminal or the link could not be had\n"
    "  2    the command line was wrong\n"
    "\n"
    "Example: start brindlequartz-sim --part ATmega328P --link /tmp/avr in the background,\n"
    "then use /tmp/avr as the serial port in any of the programs. With --protocol stk500v2:\n"
    "brindlequartz-cli -c stk500v2 -P /tmp/avr -p ATmega328P identify\n";

int Usage(const std::string& problem) {
  std::cerr << "brindlequartz-sim: " << problem << "\n"
            << kUsageLine << "Try 'brindlequartz-sim --help' for more.\n";
  return 2;
}

bool ParseNumber(std::string_view text, unsigned long max, unsigned long& value) {
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size() && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
  std::string partList;  // empty: searched for
  std::string partName;
  std::string link;
  std::optional<bq::SimConnect> connect;
  bq::SimOptions options;
  std::string protocol = "brindlequartz";
  std::string oursOnly;    // an option given that only our protocol's programmer knows
  bool chipCycle = false;  // --chip-cycle: ours and serialupdi

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    unsigned long n = 0;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsageLine << kHelp;
      return 0;
    } else if (arg == "--version") {
      std::cout << "brindlequartz-sim " << BQ_VERSION << "\n";
      return 0;
    } else if (arg == "--protocol") {
      const bool given = value(protocol);
      if (protocol == "updi") protocol = "serialupdi";
      if (!given || (protocol != "brindlequartz" && protocol != "stk500v1" &&
                     protocol != "stk500v2" && protocol != "serialupdi")) {
        return Usage("--protocol takes brindlequartz, stk500v1, stk500v2 or serialupdi");
      }
    } else if (arg == "--pace") {
      options.pace = true;
    } else if (arg == "--partlist") {
      if (!value(partList)) return Usage("--partlist needs a file");
    } else if (arg == "--part") {
      if (!value(partName)) return Usage("--part needs a name");
    } else if (arg == "--link") {
      if (!value(link)) return Usage("--link needs a path");
    } else if (arg == "--connect") {
      if (!value(v) || (v != "isp" && v != "socket")) return Usage("--connect takes isp or socket");
      connect = v == "isp" ? bq::SimConnect::kIsp : bq::SimConnect::kSocket;
    } else if (arg == "--fault") {
      oursOnly = arg;
      std::string why;
      if (!value(v)) return Usage("--fault needs a fault such as 0x30:silence");
      const auto fault = bq::ParseSimFault(v, &why);
      if (!fault) return Usage("bad fault '" + v + "': " + why);
      options.faults.push_back(*fault);
    } else if (arg == "--blank-check-ms") {
      oursOnly = arg;
      if (!value(v) || !ParseNumber(v, 3600000, n))
        return Usage("--blank-check-ms needs milliseconds");
      options.blankCheckTime = std::chrono::milliseconds(n);
    } else if (arg == "--isp-max-clock") {
      oursOnly = arg;
      if (!value(v) || !ParseNumber(v, 7, n)) return Usage("--isp-max-clock takes 0 to 7");
      options.ispMaxClock = static_cast<std::uint8_t>(n);
    } else if (arg == "--chip-cycle") {
      chipCycle = true;
      const std::string_view text = value(v) ? std::string_view(v) : std::string_view();
      const auto colon = text.find(':');
      unsigned long absent = 0;
      if (colon == std::string_view::npos || !ParseNumber(text.substr(0, colon), 3600000, n) ||
          n == 0 || !ParseNumber(text.substr(colon + 1), 3600000, absent)) {
        return Usage("--chip-cycle takes PRESENT_MS:ABSENT_MS, e.g. 3000:1500");
      }
      options.chipPresent = std::chrono::milliseconds(n);
      options.chipAbsent = std::chrono::milliseconds(absent);
    } else {
      return Usage("unknown argument '" + arg + "'");
    }
  }

  if (protocol != "brindlequartz" && !oursOnly.empty()) {
    return Usage(oursOnly + " applies to --protocol brindlequartz only");
  }
  if (chipCycle && protocol != "brindlequartz" && protocol != "serialupdi") {
    return Usage("--chip-cycle applies to --protocol brindlequartz and serialupdi only");
  }

  std::error_code noCurrentFolder;
  const bq::PartListSearch search =
      partList.empty()
          ? bq::FindPartList(std::filesystem::current_path(noCurrentFolder), bq::ExecutableFolder())
          : bq::PartListSearch{partList, {}};
  partList = search.found.string();
  bq::PartDatabase parts;
  std::string partListError;
  if (!bq::LoadFoundPartList(parts, search, partListError)) {
    std::cerr << "brindlequartz-sim: " << partListError
              << (search.found.empty() ? " (name one with --partlist FILE)\n" : "\n");
    return 1;
  }
  const bq::PartRecord* record = nullptr;
  if (partName.empty()) {
    partName = parts.parts().begin()->first;  // first by name
    record = &parts.parts().begin()->second;
  } else {
    record = bq::FindPartByAnyName(parts, partName, &partName);
  }
  if (!record) {
    std::cerr << "brindlequartz-sim: " << bq::NoSuchPartText(parts, partName, partList) << "\n";
    return 1;
  }
  auto chip = std::make_shared<bq::SimChip>(bq::SimChip::FromPart(partName, *record));
  std::shared_ptr<bq::SerialPeer> peer;
  std::string where;
  if (protocol == "serialupdi") {
    if (!record->IsUpdi()) {
      std::cerr << "brindlequartz-sim: " << partName
                << " is not programmed over UPDI; name a UPDI part with --part\n";
      return 1;
    }
    if (chipCycle) {
      peer = std::make_shared<bq::UpdiChipCyclePeer>(*record, partName, options.chipPresent,
                                                     options.chipAbsent);
    } else {
      peer =
          std::make_shared<bq::UpdiSerialPeer>(std::make_shared<bq::UpdiChip>(*record, partName));
    }
    where = "on the UPDI line";
  } else if (protocol == "brindlequartz") {
    options.connect = connect.value_or(bq::DefaultSimConnect(*chip));
    peer = std::make_shared<bq::SimLinePeer>(std::make_shared<bq::SimLine>(chip, options));
  } else {
    // These programmers are mostly used over their ISP cable.
    options.connect = connect.value_or(bq::SimConnect::kIsp);
    peer = std::make_shared<bq::SimPacedPeer>(
        bq::MakeStk500Answerer(protocol, chip, *record, options.connect), options.pace);
  }

  // SIGINT and SIGTERM are taken by sigwait below; the serving thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  bq::PtyServer sim(peer);
  if (!sim.Start()) {
    std::cerr << "brindlequartz-sim: cannot create a pseudo-terminal\n";
    return 1;
  }
  std::string linkError;
  if (!link.empty() && !bq::LinkToDevice(link, sim.SlavePath(), linkError)) {
    std::cerr << "brindlequartz-sim: " << linkError << "\n";
    return 1;
  }
  std::cout << sim.SlavePath() << std::endl;
  if (where.empty()) {
    where = options.connect == bq::SimConnect::kIsp ? "in the ISP cable" : "in the socket";
  }
  std::cerr << "brindlequartz-sim: " << protocol << " programmer, " << partName << " " << where
            << " on " << sim.SlavePath() << (link.empty() ? "" : " (" + link + ")") << "\n";

  int signal = 0;
  sigwait(&stopSignals, &signal);
  sim.Stop();
  if (!link.empty()) ::unlink(link.c_str());
  return 0;
}

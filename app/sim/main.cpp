// brindlequartz-sim: a simulated programmer with a simulated chip behind a
// pseudo-terminal. Prints the device path on the first line and serves until
// SIGINT or SIGTERM.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parts/part_database.h"
#include "parts/part_names.h"
#include "platform/posix/pty_simulator.h"
#include "sim/sim_chip.h"
#include "sim/sim_fault.h"
#include "sim/sim_programmer.h"

namespace {

constexpr const char* kUsage =
    "usage: brindlequartz-sim [--partlist FILE] [--part NAME] [--connect isp|socket]\n"
    "                         [--pace] [--fault CODE:KIND[=ARG][@N|*N]]... [--link PATH]\n"
    "                         [--blank-check-ms MS] [--isp-max-clock N]\n"
    "                         [--chip-cycle PRESENT_MS:ABSENT_MS]\n"
    "Serves a simulated programmer on a pseudo-terminal; prints its device path first.\n"
    "See docs/simulator.md.\n";

int Usage(const std::string& problem) {
  std::cerr << "brindlequartz-sim: " << problem << "\n" << kUsage;
  return 2;
}

bool ParseNumber(std::string_view text, unsigned long max, unsigned long& value) {
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size() && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
  std::string partList = "PartList.cfg";
  std::string partName;
  std::string link;
  std::optional<bq::SimConnect> connect;
  bq::SimOptions options;

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
      std::cout << kUsage;
      return 0;
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
      std::string why;
      if (!value(v)) return Usage("--fault needs a fault such as 0x30:silence");
      const auto fault = bq::ParseSimFault(v, &why);
      if (!fault) return Usage("bad fault '" + v + "': " + why);
      options.faults.push_back(*fault);
    } else if (arg == "--blank-check-ms") {
      if (!value(v) || !ParseNumber(v, 3600000, n))
        return Usage("--blank-check-ms needs milliseconds");
      options.blankCheckTime = std::chrono::milliseconds(n);
    } else if (arg == "--isp-max-clock") {
      if (!value(v) || !ParseNumber(v, 7, n)) return Usage("--isp-max-clock takes 0 to 7");
      options.ispMaxClock = static_cast<std::uint8_t>(n);
    } else if (arg == "--chip-cycle") {
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

  bq::PartDatabase parts;
  if (bq::LoadPartList(parts, partList) <= 0) {
    std::cerr << "brindlequartz-sim: no parts in " << partList << "\n";
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
    std::cerr << "brindlequartz-sim: no part named '" << partName << "' in " << partList;
    const std::vector<std::string> near = bq::NearestPartNames(parts, partName, 3);
    for (std::size_t i = 0; i < near.size(); ++i) {
      std::cerr << (i == 0 ? "; did you mean " : i + 1 == near.size() ? " or " : ", ") << near[i];
    }
    std::cerr << (near.empty() ? "\n" : "?\n");
    return 1;
  }
  auto chip = std::make_shared<bq::SimChip>(bq::SimChip::FromPart(partName, *record));
  options.connect = connect.value_or(bq::DefaultSimConnect(*chip));

  // SIGINT and SIGTERM are taken by sigwait below; the serving thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  bq::PtySimulator sim(chip, options);
  if (!sim.Start()) {
    std::cerr << "brindlequartz-sim: cannot create a pseudo-terminal\n";
    return 1;
  }
  if (!link.empty()) {
    char existing[4096];
    if (::readlink(link.c_str(), existing, sizeof existing) >= 0) ::unlink(link.c_str());
    if (::symlink(sim.SlavePath().c_str(), link.c_str()) != 0) {
      std::cerr << "brindlequartz-sim: cannot create the link " << link << ": "
                << std::strerror(errno) << "\n";
      return 1;
    }
  }
  std::cout << sim.SlavePath() << std::endl;
  std::cerr << "brindlequartz-sim: " << partName << " in the "
            << (options.connect == bq::SimConnect::kIsp ? "ISP cable" : "socket") << " on "
            << sim.SlavePath() << (link.empty() ? "" : " (" + link + ")") << "\n";

  int signal = 0;
  sigwait(&stopSignals, &signal);
  sim.Stop();
  if (!link.empty()) ::unlink(link.c_str());
  return 0;
}

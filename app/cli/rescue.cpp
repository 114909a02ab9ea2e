#include "app/cli/rescue.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <iostream>

#include "session/rescue.h"
#include "session/rescue_texts.h"

namespace bq::cli {

namespace {

bool StdinIsTerminal() {
#ifdef _WIN32
  return ::_isatty(::_fileno(stdin)) != 0;
#else
  return ::isatty(::fileno(stdin)) == 1;
#endif
}

// An answer typed on the terminal: true for y or yes (any case); the default is No.
bool ReadYes() {
  std::string line;
  if (!std::getline(std::cin, line)) return false;
  return line == "y" || line == "Y" || line == "yes" || line == "Yes" || line == "YES";
}

class TerminalHost : public RescueHost {
 public:
  TerminalHost(const RescueCommand& c, Printer& out) : c_(c), out_(out) {}

  bool Confirm(const std::string& diagnosis, const std::string& plan) override {
    out_.Log(LogKind::LogWarning, diagnosis);
    out_.Log(LogKind::LogInfo, plan);
    if (c_.yes) {
      std::fprintf(stderr, "Rescue the chip? Yes (--yes)\n");
      return true;
    }
    std::fprintf(stderr, "Rescue the chip? [y/N] ");
    std::fflush(stderr);
    return ReadYes();
  }

  bool PlaceChip(ChipPlace place, const std::string& instruction) override {
    out_.Log(LogKind::LogInfo, instruction);
    if (c_.sim != nullptr) {
      // Nobody can move a simulated chip by hand: the simulated programmer does it.
      c_.sim->MoveChip(c_.port,
                       place == ChipPlace::Socket ? SimConnect::kSocket : SimConnect::kIsp);
      out_.Log(LogKind::LogInfo, place == ChipPlace::Socket
                                     ? "The simulated chip is now in the socket."
                                     : "The simulated chip is now on the ISP cable.");
      return true;
    }
    if (!StdinIsTerminal()) return true;  // --yes in a script: the chip is there already
    std::fprintf(stderr, "Press Enter when it is there (n and Enter to stop): ");
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line)) return false;
    return line != "n" && line != "N" && line != "no";
  }

 private:
  const RescueCommand& c_;
  Printer& out_;
};

}  // namespace

std::string RescueHelpFooter() {
  return "\nThe rescue reads the chip over ISP first (at the fastest clock it takes), then, "
         "when ISP does not reach it, in the programmer's high-voltage socket of the chip's "
         "package (listed below). It "
         "says what holds the chip and what it will do, asks (No unless you type y; --yes "
         "answers Yes; without a terminal --yes is needed), does it, and checks that the chip "
         "answers over ISP again. The fuses stay as they were except the culprit, unless "
         "--defaults is given.\n\nWhat it rescues:\n" +
         RescueTableText() + "\nThe sockets:\n" + RescueSocketsText();
}

int RunRescueCommand(const RescueCommand& c, Printer& out) {
  TerminalHost host(c, out);
  RescueOptions options;
  options.defaults = c.defaults;
  const RescueReport report = RunRescue(c.session, c.partName, c.part, host, options);
  if (report.plan.empty() && !report.diagnosis.empty()) {
    out.Log(LogKind::LogInfo, report.diagnosis);
  }
  switch (report.verdict) {
    case RescueVerdict::NothingWrong:
      out.Log(LogKind::LogInfo, report.outcome);
      return kExitOk;
    case RescueVerdict::Rescued:
      out.Log(LogKind::LogSuccess, report.outcome);
      return kExitOk;
    case RescueVerdict::Declined:
      out.Log(LogKind::LogWarning, report.outcome);
      return kExitFailed;
    case RescueVerdict::Failed:
      break;
  }
  out.Log(LogKind::LogError, report.outcome);
  return report.result.status == SessionStatus::PortNotOpen ? kExitPort : kExitFailed;
}

}  // namespace bq::cli

#include "ui/rescue_flow.h"

#include <utility>

#include "session/chip_prepare.h"
#include "ui/operation_sequencing.h"

namespace bq {

namespace {

class JobHost : public RescueHost {
 public:
  JobHost(JobRunner::Context& job, const SimulatedChipMover& mover, const std::string& port)
      : job_(job), mover_(mover), port_(port) {}

  bool Confirm(const std::string& diagnosis, const std::string& plan) override {
    return job_.Ask(diagnosis + "\r\n\r\n" + plan + "\r\n\r\nRescue the chip ?", kRescueCaption,
                    true);
  }

  bool PlaceChip(ChipPlace place, const std::string& instruction) override {
    job_.Log(LogKind::LogInfo, instruction);
    if (mover_) {
      mover_(port_, place);
      return true;
    }
    return job_.Ask(instruction + "\r\n\r\nIs the chip there now ?", kRescueCaption, false);
  }

 private:
  JobRunner::Context& job_;
  const SimulatedChipMover& mover_;
  const std::string& port_;
};

LogKind OutcomeKind(RescueVerdict verdict) {
  switch (verdict) {
    case RescueVerdict::Rescued:
      return LogKind::LogSuccess;
    case RescueVerdict::NothingWrong:
      return LogKind::LogInfo;
    case RescueVerdict::Declined:
      return LogKind::LogWarning;
    case RescueVerdict::Failed:
      break;
  }
  return LogKind::LogError;
}

}  // namespace

std::string RescueOutcomeText(const RescueReport& report) {
  return report.diagnosis.empty() ? report.outcome : report.diagnosis + "\r\n\r\n" + report.outcome;
}

bool RescueCommand(AppState& app, SimulatedChipMover mover,
                   std::function<void(const RescueReport&)> done) {
  if (!app.jobs.IsStarted() || app.jobs.IsBusy()) {
    app.log.AppendLogEntry(LogKind::LogError, kBusyText);
    return false;
  }
  return app.jobs.Post([target = app.Target(), mover = std::move(mover),
                        done = std::move(done)](JobRunner::Context& job) {
    RescueReport report;
    if (target.part == nullptr) {
      report.outcome = "Select the chip's part first: the rescue needs it.";
    } else if (!OpenTargetPort(job.session(), target)) {
      report.outcome = PortOpenErrorText(target.port);
    } else {
      job.session().SetPart(target.partName, target.part);
      JobHost host(job, mover, target.port);
      RescueOptions options;
      options.ispClock = static_cast<std::uint8_t>(target.ispSpeed <= 7 ? target.ispSpeed : 0);
      report = RunRescue(job.session(), target.partName, *target.part, host, options);
    }
    job.Log(OutcomeKind(report.verdict), report.outcome);
    job.then = [done, report] {
      if (done) done(report);
    };
  });
}

}  // namespace bq

#include "session/chip_prepare.h"

#include "link/protocol.h"
#include "session/session_texts.h"

namespace bq {

bool OpenTargetPort(ChipSession& session, const ChipTarget& target) {
  if (session.Programmer().kind != target.programmer) session.SetProgrammer(target.programmer);
  return session.IsOpen() || session.Open(target.port);
}

PrepareOutcome ConnectTarget(ChipSession& session, const ChipTarget& target) {
  if (!OpenTargetPort(session, target)) return PrepareOutcome::PortNotOpened;
  session.SetPart(target.partName, target.part);
  session.SetMode(target.mode);
  if (target.mode != PROG_MODE_ISP) return PrepareOutcome::Ready;
  std::uint8_t clock = 0;
  const SessionResult r = session.SelectIspClock(static_cast<std::uint8_t>(target.ispSpeed), clock);
  return r.ok() ? PrepareOutcome::Ready : PrepareOutcome::IspClockFailed;
}

bool LockedChipFound(ChipSession& session, const ChipTarget& target) {
  if (target.programmer != ProgrammerKind::SerialUpdi || target.part == nullptr ||
      !target.part->IsUpdi()) {
    return false;
  }
  return ConnectTarget(session, target) == PrepareOutcome::Ready && session.ChipLocked();
}

PrepareOutcome PrepareChip(JobRunner::Context& job, const ChipTarget& target, bool memoryPresent) {
  const PrepareOutcome connected = ConnectTarget(job.session(), target);
  if (connected != PrepareOutcome::Ready) return connected;
  std::uint32_t signature = 0;
  // A read that failed asks as well: the chip may still be one the user wants to program.
  const SessionResult r = job.session().CheckSignature(target.signature, signature, true);
  if (r.status == SessionStatus::Mismatch) {
    // Yes here erases and writes a chip that is not the one selected: No is the default.
    if (!job.Ask(std::string(kSignatureMismatchText) + kContinueQuestion, kWarningCaption, true)) {
      return PrepareOutcome::SignatureDeclined;
    }
  } else if (!r.ok()) {
    return PrepareOutcome::SignatureFailed;
  }
  return memoryPresent ? PrepareOutcome::Ready : PrepareOutcome::NoSuchMemory;
}

}  // namespace bq

#include "session/program_job.h"

#include "session/fuse_write_risks.h"
#include "session/session_texts.h"

namespace bq {

namespace {

class JobRun {
 public:
  JobRun(ChipSession& s, const PartRecord& part, const ProgramJob& job)
      : s_(s), part_(part), job_(job) {}

  // failedReadAsks: a signature read the chip did not answer is asked about like a mismatch.
  ProgramOutcome Run(const std::function<bool(std::uint32_t)>& acceptMismatch, bool failedReadAsks);

 private:
  bool Check(const SessionResult& r, const char* step) {
    if (r.ok()) {
      outcome_.done.push_back(step);
      return true;
    }
    outcome_.step = step;
    outcome_.reason = r.message.empty() ? SessionStatusName(r.status) : r.message;
    outcome_.status = r.status;
    return false;
  }
  bool Memory(const std::vector<std::uint8_t>& image, const MemoryGeometry& memory,
              const char* step);
  bool Bytes(bool fuses);

  ChipSession& s_;
  const PartRecord& part_;
  const ProgramJob& job_;
  ProgramOutcome outcome_;
};

bool JobRun::Memory(const std::vector<std::uint8_t>& image, const MemoryGeometry& memory,
                    const char* step) {
  const std::uint32_t pages = memory.kind == MEMORY_FLASH && !job_.wholeMemories
                                  ? PagesWithData(image.data(), image.size(), memory)
                                  : memory.pageCount;
  if (pages == 0) return true;  // nothing but 0xFF: the erased chip already holds it
  if (!Check(s_.WriteMemory(memory, pages, image), step)) return false;
  std::optional<std::uint32_t> difference;
  SessionResult verified = s_.VerifyMemory(memory, pages, image, difference);
  if (difference) {
    char where[16];
    std::snprintf(where, sizeof where, "0x%05X", *difference);
    verified.message += std::string(" (first difference at ") + where + ")";
  }
  return Check(verified, memory.kind == MEMORY_FLASH ? "flash verify" : "eeprom verify");
}

bool JobRun::Bytes(bool fuses) {
  const std::vector<FuseChange>& changes = fuses ? job_.fuses : job_.lock;
  if (changes.empty()) return true;
  FuseByteSlots chip = DefaultFuseBytes(part_);
  if (fuses) {
    chip.lock.present = false;
  } else {
    chip.low.present = chip.high.present = chip.extended.present = false;
  }
  const char* step = fuses ? "fuses" : "lock";
  if (!Check(fuses ? s_.ReadFuses(chip) : s_.ReadLock(chip.lock), step)) return false;
  FuseByteSlots wanted = chip;
  ApplyFuseChanges(wanted, changes);
  if (fuses && s_.Mode() == PROG_MODE_ISP) {
    for (const FuseWriteRisk& risk : IspFuseWriteRisks(part_.fuseBits, chip, wanted)) {
      if (LocksIspOut(risk.risk) && !job_.force) {
        return Check({SessionStatus::Refused, 0, FuseRiskText(risk) + " (--force writes it)"},
                     step);
      }
    }
  }
  const SessionResult written = fuses ? s_.WriteFuses(wanted, &part_.fuseBits)
                                      : s_.WriteLock(wanted.lock, &part_.lockBits);
  if (!Check(written, step)) return false;
  int differing = 0;
  bool differs = false;
  return Check(fuses ? s_.VerifyFuses(wanted, differing) : s_.VerifyLock(wanted.lock, differs),
               fuses ? "fuses verify" : "lock verify");
}

ProgramOutcome JobRun::Run(const std::function<bool(std::uint32_t)>& acceptMismatch,
                           bool failedReadAsks) {
  std::uint32_t signature = 0;
  const SessionResult sig = s_.CheckSignature(part_.signature, signature, failedReadAsks);
  if (sig.ok() || sig.status == SessionStatus::Mismatch) outcome_.signature = signature;
  const bool accepted = sig.status == SessionStatus::Mismatch && acceptMismatch(signature);
  if (!accepted && !Check(sig, "signature")) {
    return outcome_;
  }
  if (job_.flash) {
    if (!Check(s_.Erase(), "erase")) return outcome_;
    if (!Memory(*job_.flash, FlashGeometry(part_), "flash")) return outcome_;
  }
  if (job_.eeprom && !Memory(*job_.eeprom, EepromGeometry(part_), "eeprom")) return outcome_;
  if (!Bytes(true) || !Bytes(false)) return outcome_;
  outcome_.passed = true;
  return outcome_;
}

}  // namespace

ProgramOutcome RunProgramJob(ChipSession& session, const PartRecord& part, const ProgramJob& job,
                             bool acceptMismatch) {
  return JobRun(session, part, job)
      .Run([acceptMismatch](std::uint32_t) { return acceptMismatch; }, false);
}

ProgramOutcome RunProgramJob(ChipSession& session, const PartRecord& part, const ProgramJob& job,
                             const std::function<bool(std::uint32_t signature)>& acceptMismatch) {
  return JobRun(session, part, job).Run(acceptMismatch, true);
}

std::string ProgramJobProblem(const PartRecord& part, const std::string& partName,
                              const ProgramJob& job) {
  struct Memory {
    const std::optional<std::vector<std::uint8_t>>& image;
    MemoryGeometry geometry;
    const char* name;
  } memories[] = {{job.flash, FlashGeometry(part), "FLASH"},
                  {job.eeprom, EepromGeometry(part), "EEPROM"}};
  for (const Memory& m : memories) {
    if (!m.image) continue;
    if (const auto beyond =
            FirstProgrammedByteFrom(m.image->data(), m.image->size(), m.geometry.Bytes())) {
      return ImageBeyondChipText(m.name, *beyond, m.geometry.Bytes(), partName, "programmed",
                                 "choose the right part with -p");
    }
  }
  return "";
}

}  // namespace bq

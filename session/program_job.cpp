#include "session/program_job.h"

#include <cstdio>

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
  bool NamedFuses();
  bool LockWord();

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
  return Check(verified, memory.kind == MEMORY_FLASH    ? "flash verify"
                         : memory.kind == MEMORY_EEPROM ? "eeprom verify"
                                                        : "userrow verify");
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
  const SessionResult written =
      fuses ? s_.WriteFuses(wanted, &part_.fuseBits) : s_.WriteLock(wanted.lock, &part_.lockBits);
  if (!Check(written, step)) return false;
  int differing = 0;
  bool differs = false;
  return Check(fuses ? s_.VerifyFuses(wanted, differing) : s_.VerifyLock(wanted.lock, differs),
               fuses ? "fuses verify" : "lock verify");
}

// Reads the named bytes, applies the changes, refuses a write that takes the UPDI pin unless
// forced, writes only the bytes that change, and verifies them all.
bool JobRun::NamedFuses() {
  if (job_.namedFuses.empty()) return true;
  const UpdiLayout& layout = part_.updi;
  std::vector<std::uint8_t> chip;
  if (!Check(s_.ReadNamedFuses(chip), "fuses")) return false;
  if (chip.size() < NamedFuseSpan(layout)) chip.resize(NamedFuseSpan(layout), 0xFF);
  std::vector<std::uint8_t> wanted = chip;
  ApplyNamedFuseAssignments(wanted, job_.namedFuses);
  std::vector<NamedFuseValue> changed, all;
  for (const NamedFuseByte& b : layout.fuses) {
    if (b.offset >= wanted.size()) continue;
    bool named = false;
    for (const NamedFuseAssignment& a : job_.namedFuses) named = named || a.offset == b.offset;
    if (!named) continue;
    all.push_back({b.offset, wanted[b.offset]});
    if (wanted[b.offset] != chip[b.offset]) changed.push_back(all.back());
  }
  if (!job_.force) {
    for (const FuseWriteRisk& risk : UpdiFuseWriteRisks(layout, changed)) {
      return Check({SessionStatus::Refused, 0, FuseRiskText(risk) + " (--force writes it)"},
                   "fuses");
    }
  }
  if (!changed.empty() && !Check(s_.WriteNamedFuses(changed), "fuses")) return false;
  int differing = 0;
  return Check(s_.VerifyNamedFuses(all, differing), "fuses verify");
}

bool JobRun::LockWord() {
  if (!job_.lockWord) return true;
  if (!Check(s_.WriteLockWord(*job_.lockWord), "lock")) return false;
  std::uint32_t read = 0;
  SessionResult r = s_.ReadLockWord(read);
  if (r.ok() && read != *job_.lockWord) {
    char text[96];
    std::snprintf(text, sizeof text, "Lock verification FAILED: the chip holds 0x%X, 0x%X written",
                  read, *job_.lockWord);
    r = {SessionStatus::Mismatch, 0, text};
  }
  return Check(r, "lock verify");
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
  if (job_.userRow && part_.IsUpdi() && !Memory(*job_.userRow, UserRowGeometry(part_), "userrow")) {
    return outcome_;
  }
  if (!NamedFuses() || !Bytes(true) || !Bytes(false) || !LockWord()) return outcome_;
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
                  {job.eeprom, EepromGeometry(part), "EEPROM"},
                  {job.userRow, UserRowGeometry(part), "USERROW"}};
  if (job.userRow && !part.IsUpdi()) {
    return partName + " has no user row; the image's user row data cannot be programmed";
  }
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

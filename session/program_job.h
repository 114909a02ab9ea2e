#pragma once
// A whole chip in one job, in the order that is safe: signature check, erase (only when
// flash is written), flash write and verify, EEPROM write and verify, user row write and
// verify (UPDI parts), fuses write and verify, lock write and verify last. Steps without input are
// skipped. The job stops at the first step that fails and says which one and why.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "session/chip_session.h"
#include "session/fuse_fields.h"
#include "session/named_fuses.h"

namespace bq {

struct ProgramJob {
  std::optional<std::vector<std::uint8_t>> flash;   // from address 0
  std::optional<std::vector<std::uint8_t>> eeprom;  // from address 0
  std::vector<FuseChange> fuses;  // applied to the chip's bytes (whole bytes, then fields)
  std::vector<FuseChange> lock;
  // UPDI parts: the user row from its first byte, the named fuse bytes to change (applied to
  // the chip's bytes in order), and the lock as the part keeps it (a byte, or an AVR Dx's
  // 4-byte key, little-endian).
  std::optional<std::vector<std::uint8_t>> userRow;
  std::vector<NamedFuseAssignment> namedFuses;
  std::optional<std::uint32_t> lockWord;
  // Write fuses that lock ISP out over ISP, or that turn a UPDI part's pin into GPIO or
  // RESET, all the same.
  bool force = false;
  // Write and verify every page of a memory, not only those up to the last holding data.
  bool wholeMemories = false;
};

struct ProgramOutcome {
  bool passed = false;
  std::string step;    // the step that failed: "signature", "erase", "flash", "eeprom", ...
  std::string reason;  // why, in a line
  SessionStatus status = SessionStatus::Ok;
  std::vector<std::string> done;           // the steps that completed, in order
  std::optional<std::uint32_t> signature;  // what the chip answered, when it did
};

// Runs the job on an open session whose mode is set. The signature check compares with
// part.signature; a mismatch fails the job unless acceptMismatch.
ProgramOutcome RunProgramJob(ChipSession& session, const PartRecord& part, const ProgramJob& job,
                             bool acceptMismatch);
// The same, asking acceptMismatch (with what the chip answered, 0 for a read the chip did not
// answer) when the signature differs.
ProgramOutcome RunProgramJob(ChipSession& session, const PartRecord& part, const ProgramJob& job,
                             const std::function<bool(std::uint32_t signature)>& acceptMismatch);

// Why the images do not fit the part (data beyond its memories), or "".
std::string ProgramJobProblem(const PartRecord& part, const std::string& partName,
                              const ProgramJob& job);

}  // namespace bq

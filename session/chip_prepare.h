#pragma once
// What every chip command of the desktop programs does first, on the engine thread: the
// port opened with the chosen kind of programmer, the programming mode and part set, the
// ISP clock chosen (ISP only), and the signature compared with the selected part's, with
// the "Continue ?" question when it differs.

#include <cstdint>
#include <string>

#include "drivers/programmer_driver.h"
#include "parts/part_record.h"
#include "session/job_runner.h"

namespace bq {

inline constexpr const char* kContinueQuestion = "\r\n\r\nContinue ?";
inline constexpr const char* kWarningCaption = "Warning";

// The chip the commands are for, as the user chose it.
struct ChipTarget {
  std::string port;
  ProgrammerKind programmer = ProgrammerKind::Brindlequartz;
  std::uint8_t mode = 0;       // PROG_MODE_*; 0 when none is selected
  std::uint32_t ispSpeed = 0;  // 0: the fastest clock the target takes; 1..7 that clock
  std::uint32_t signature = 0;
  std::string partName;
  const PartRecord* part = nullptr;  // outlives the job
};

// Why a preparation stopped.
enum class PrepareOutcome {
  Ready,
  Busy,               // another job runs: "Programmer is BUSY !!!" logged by the caller
  PortNotOpened,      // the port did not open: nothing logged
  IspClockFailed,     // "ERROR: Autodetect ISP Frequency." logged
  SignatureFailed,    // the signature could not be read: the reason logged
  SignatureDeclined,  // the Continue question was answered No
  NoSuchMemory,       // the selected part has no memory of the tab's kind: nothing logged
  EraseDeclined,      // the question before erasing a locked chip was answered No
};

// Opens the session's port when it is closed, with the target's kind of programmer (a
// session of another kind is closed first). False when it did not open.
bool OpenTargetPort(ChipSession& session, const ChipTarget& target);

// Port, mode, part and ISP clock.
PrepareOutcome ConnectTarget(ChipSession& session, const ChipTarget& target);

// With the SerialUPDI adapter and a UPDI part: ConnectTarget, then whether the chip is
// locked (it answers nothing but the erase with the chip-erase key then). False otherwise,
// and when the port did not open or the chip does not answer (the preparation that follows
// reports that).
bool LockedChipFound(ChipSession& session, const ChipTarget& target);

// ConnectTarget, then the signature check; the question is asked through the job, No the
// default. memoryPresent false ends it after the signature (the tab's memory is missing).
PrepareOutcome PrepareChip(JobRunner::Context& job, const ChipTarget& target,
                           bool memoryPresent = true);

}  // namespace bq

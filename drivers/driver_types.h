#pragma once
// What the engine and every programmer driver say to each other: results as values, the
// geometry of a memory, progress, versions and the chip found.

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/protocol.h"
#include "parts/part_record.h"

namespace bq {

// What an operation came to.
enum class SessionStatus : std::uint8_t {
  Ok,
  PortNotOpen,  // Open() failed or was not called
  LinkError,    // the programmer did not answer properly: linkStatus says how
  DeviceError,  // the programmer answered with a device error: linkStatus holds its code
  Mismatch,     // a verification or the signature check found a difference
  NotEmpty,     // a blank check found data
  Refused,      // a rule refused the operation before anything was sent
  Cancelled,    // Cancel() ended it; the programmer is ready for the next request
  Busy,         // the programmer is still running another request: nothing was sent
};

struct SessionResult {
  SessionStatus status = SessionStatus::Ok;
  std::uint8_t linkStatus = 0;  // the LinkStatus of the exchange that failed
  std::string message;          // what failed, in a line the user can act on
  bool ok() const { return status == SessionStatus::Ok; }
};

// A memory of the chip as the transfer parameters describe it.
struct MemoryGeometry {
  MemoryKind kind = MEMORY_FLASH;
  std::uint32_t pageSize = 0;   // flash: words per page; EEPROM: bytes per page
  std::uint32_t pageCount = 0;  // pages of the whole memory
  std::uint32_t PageBytes() const { return kind == MEMORY_FLASH ? pageSize * 2u : pageSize; }
  std::uint32_t Bytes() const { return PageBytes() * pageCount; }
};
MemoryGeometry FlashGeometry(const PartRecord& part);
// Pages from 0 up to the last one holding a byte other than 0xFF, of an image of size bytes.
std::uint32_t PagesWithData(const std::uint8_t* image, std::size_t size,
                            const MemoryGeometry& memory);
MemoryGeometry EepromGeometry(const PartRecord& part);
// The user row of a UPDI part as one page; no pages on a classic part.
MemoryGeometry UserRowGeometry(const PartRecord& part);
// "flash", "EEPROM" or "user row", for messages.
const char* MemoryName(MemoryKind kind);

// Progress of a transfer in pages, or a busy display without a measure (the blank check).
// Reported from the worker thread.
struct SessionProgress {
  std::uint32_t done = 0;
  std::uint32_t total = 0;
  bool busy = false;      // no measure: show that something is going on
  bool finished = false;  // the display ends
};

struct ProgrammerVersions {
  std::uint32_t hardware = 0;  // major * 256 + minor
  std::uint32_t firmware = 0;
};

// One fuse byte of a UPDI part to write: its offset from the part's fuse base and its value.
struct NamedFuseValue {
  std::uint8_t offset = 0;
  std::uint8_t value = 0;
  bool operator==(const NamedFuseValue&) const = default;
};

struct IdentifiedChip {
  std::uint32_t signature = 0;
  bool socket = false;  // found in a high-voltage socket, not on the ISP cable
};

// What a LinkStatus of the worker or of a driver comes to: Ok, Cancelled, LinkError (the
// programmer itself did not answer properly) or DeviceError (it answered that the chip or
// the command failed), as KindOfStatus (link/protocol.h) sorts the codes.
SessionStatus StatusClass(std::uint8_t linkStatus);
// True when the programmer stopped answering or cannot be reached, not merely the chip: a
// production run or a gang stops using it. A busy or cancelled programmer is not lost.
inline bool ProgrammerLost(const SessionResult& r) {
  return r.status == SessionStatus::LinkError || r.status == SessionStatus::PortNotOpen ||
         IsLinkFailure(r.linkStatus);
}
// The texts of a refusal before anything was sent.
inline constexpr const char* kPortNotOpenText = "the programmer is not ready (port not open)";
inline constexpr const char* kProgrammerBusyText =
    "the programmer is busy with another request; try again when it has finished";

// One line for the user: "ok", the link status text, or the message of a refusal.
std::string SessionStatusName(SessionStatus status);

}  // namespace bq

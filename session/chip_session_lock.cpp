// The lock check before a chip's flash or EEPROM is read back (read, verify, blank check).
// With LB1 and LB2 programmed (lock mode 3) a chip disables verification: what it answers is
// not its contents, so a read would hand out filler as if it were the program. The lock
// byte is read first, one exchange, and such a read is refused. After an erase (or a lock
// read that found the bits clear) the check costs nothing until the chip may have changed.

#include "session/chip_session.h"
#include "session/rescue_texts.h"

namespace bq {

namespace {

// The part's LB field (LB1 its lowest bit, LB2 the next); bits 0 and 1 when the part list
// names none, where every classic AVR keeps them.
std::uint8_t LockModeMask(const PartRecord& part) {
  for (const auto& [row, field] : part.lockBits) {
    if (field.name == "LB" && field.mask != 0) return field.mask;
  }
  return 0x03;
}

}  // namespace

bool ReadForbiddenByLock(const PartRecord& part, std::uint8_t lock) {
  const std::uint8_t mask = LockModeMask(part);
  // LB2 is the field's upper bit. Only mode 3 (both programmed) is documented as disabling
  // verification; LB2 programmed with LB1 not is no documented mode and counts as mode 3.
  const std::uint8_t lb2 = static_cast<std::uint8_t>(mask & (mask - 1u)) != 0
                               ? static_cast<std::uint8_t>(mask & (mask - 1u))
                               : mask;
  return (lock & lb2) == 0;
}

bool ChipSession::ReadAllowed(const MemoryGeometry& memory, SessionResult& refused) {
  // Nothing to check without a classic part; UPDI parts keep their lock elsewhere. Lock
  // bits known to be clear (erased or read since the chip was found) need no exchange.
  if (part_ == nullptr || part_->IsUpdi() || lockClear_) return true;
  ByteSlot lock{0xFF, true};
  quiet_.store(true);  // the check's own lines would read like a command the user gave
  const SessionResult r = driver_->ReadLock(lock);
  quiet_.store(false);
  // A programmer that cannot read the lock (a bootloader) reads as it always did.
  if (r.status == SessionStatus::Refused) return true;
  if (!r.ok()) {
    refused = r;
    return false;
  }
  if (!lock.present || !ReadForbiddenByLock(*part_, lock.value)) {
    lockClear_ = lock.present && (lock.value & 0x03u) == 0x03u;
    return true;
  }
  const std::string text =
      ReadLockedText(memory.kind == MEMORY_FLASH ? "flash" : "EEPROM", lock.value);
  Log(LogKind::LogError, text);
  refused = {SessionStatus::Refused, 0, text};
  return false;
}

}  // namespace bq

#pragma once
// The configuration bytes an editor holds and the worker reads, fills and verifies.

#include <cstdint>

#include "parts/part_record.h"

namespace bq {

// One byte with the flag that tells whether the selected part has it.
struct ByteSlot {
  std::uint8_t value = 0;
  bool present = false;

  bool operator==(const ByteSlot&) const = default;
};

// The four byte slots of a fuse or lock-bit editor. The worker uses low, high and
// extended of the fuse editor's slots and lock of the lock-bit editor's slots.
// The user-interface thread changes them only while the worker is idle; the worker
// reads and fills them only while it runs a fuse or lock-bit request.
struct FuseByteSlots {
  ByteSlot high;
  ByteSlot low;
  ByteSlot extended;
  ByteSlot lock;

  // The slot of a TargetByte code (1 LOW, 2 HIGH, 3 EXTENDED, 4 LOCKBIT); null otherwise.
  ByteSlot* Slot(std::uint8_t target) {
    switch (target) {
      case kTargetLow:
        return &low;
      case kTargetHigh:
        return &high;
      case kTargetExtended:
        return &extended;
      case kTargetLockBit:
        return &lock;
      default:
        return nullptr;
    }
  }
  const ByteSlot* Slot(std::uint8_t target) const {
    return const_cast<FuseByteSlots*>(this)->Slot(target);
  }

  bool operator==(const FuseByteSlots&) const = default;
};

// Which editor a redraw concerns.
enum class FuseEditorKind : std::uint8_t {
  Fuses = 0,     // LOW, HIGH, EXTENDED
  LockBits = 1,  // LOCKBIT
};

}  // namespace bq

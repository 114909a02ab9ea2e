#pragma once
// The texts of a locked chip's refused read and of the rescue: the table of what holds a
// chip and what `rescue` does about it is kept here once; the rescue command's help prints
// it and docs/hardware.md carries the same table (a test compares them).

#include <cstdint>
#include <string>

#include "drivers/driver_types.h"
#include "parts/part_record.h"

namespace bq {

// The lock bits of the part forbid reading its memories back (LB2 programmed: lock mode 3).
bool ReadForbiddenByLock(const PartRecord& part, std::uint8_t lock);

// "The chip's lock bits forbid reading its flash (lock byte 0xFC) ...": why nothing was read
// and how to undo it.
std::string ReadLockedText(const std::string& memory, std::uint8_t lock);
// True for the result of a read that ReadLockedText refused.
bool IsReadLockedRefusal(const SessionResult& result);

// The rescue table as Markdown (docs/hardware.md) and as the plain text of `rescue --help`.
std::string RescueTableMarkdown();
std::string RescueTableText();

}  // namespace bq

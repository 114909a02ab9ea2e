#pragma once
// One-line JSON description of a part record, as `brindlequartz-cli part NAME` prints it.

#include <string>

#include "parts/part_record.h"

namespace bq {

// Keys in a fixed order; defaults that are not given are null; lists in sequence-number order.
// Strings escape '"' and '\', and write bytes below 0x20 or above 0x7E as \u00XX (byte value).
std::string PartRecordJson(const std::string& name, const PartRecord& r);

}  // namespace bq

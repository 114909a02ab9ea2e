#pragma once
// What the rescue can bring back on one part, for each build of our programmer's firmware:
// over the ISP cable (both builds), in the high-voltage socket of the part's package (the
// 8-pin socket on both builds, the parallel sockets on the Mega build), or on the UPDI header.
// It follows what RunRescue looks at: the fuse fields it puts back (RSTDISBL, DWEN, SPIEN,
// the clock source, CKDIV8), the lock bits it erases, the socket RescueSocketFor names and the
// UPDI pin the part list marks as shared. docs/hardware.md carries the table of every part.

#include <string>

#include "parts/part_database.h"
#include "parts/part_record.h"

namespace bq {

struct RescueCoverage {
  std::string isp;   // over the ISP cable, on both builds; "–" for a UPDI part
  std::string uno;   // the Uno/Nano build: its socket or its UPDI header
  std::string mega;  // the Mega build
};

RescueCoverage RescueCoverageOf(const std::string& partName, const PartRecord& part);

// One row a part of the list, by name, as a Markdown table.
std::string RescueCoverageMarkdown(const PartDatabase& parts);

}  // namespace bq

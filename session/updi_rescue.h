#pragma once
// The rescue of a UPDI part that answers nothing on its UPDI pin because a fuse gave the pin
// to GPIO or RESET (tinyAVR 0/1/2: SYSCFG0.RSTPINCFG): the programmer's 12 V activation on
// the UPDI pin reaches the chip once more, the pin field goes back to UPDI (the other fuse bits
// stay as they are), and after a power-on the chip is checked over plain UPDI.

#include <string>

#include "parts/part_record.h"
#include "session/chip_session.h"
#include "session/rescue.h"

namespace bq {

// The session is open with a programmer for UPDI parts, its part set to partName/part (a UPDI
// part). With options.defaults every fuse byte is written from the part's defaults instead.
RescueReport RunUpdiRescue(ChipSession& session, const std::string& partName,
                           const PartRecord& part, RescueHost& host, const RescueOptions& options);

}  // namespace bq

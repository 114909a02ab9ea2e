#pragma once
// The rescue of a chip that ISP no longer reaches, or whose lock bits forbid reading: finds
// out in steps what holds it (over ISP first, at the fastest clock it takes, then in the
// programmer's high-voltage socket), says it in one sentence with what will be done, asks,
// does it and checks that the chip answers over ISP again. The fuses end as they were
// except the culprit, unless the part's defaults are asked for.
//
// Every place a chip can be rescued in is one row of a table (rescue.cpp): the 8-pin HVSP
// socket (and the 14-pin adapter on it), the 28-pin and 40-pin HVPP sockets and the two
// 20-pin ones; the part's package decides which.

#include <cstdint>
#include <string>

#include "link/fuse_bytes.h"
#include "parts/part_record.h"
#include "session/chip_session.h"

namespace bq {

enum class ChipPlace { IspCable, Socket };

// What the front-end does for the rescue: the question, and the chip moved by the user.
class RescueHost {
 public:
  virtual ~RescueHost() = default;
  // The diagnosis and the plan; true to carry the plan out (No is the default answer).
  virtual bool Confirm(const std::string& diagnosis, const std::string& plan) = 0;
  // Asks the user to put the chip at place (instruction says where); false: the user stops.
  virtual bool PlaceChip(ChipPlace place, const std::string& instruction) = 0;
};

struct RescueOptions {
  bool defaults = false;      // write every fuse byte from the part's defaults
  std::uint8_t ispClock = 0;  // 0: the fastest the chip takes; 1..7 that clock
};

enum class RescueVerdict {
  NothingWrong,  // the chip answers over ISP and nothing holds it; nothing was changed
  Rescued,       // done, and the chip answers over ISP again
  Declined,      // the user said No or did not move the chip; nothing more was changed
  Failed,        // a step failed (result says which); outcome says what was done before
};

struct RescueReport {
  RescueVerdict verdict = RescueVerdict::Failed;
  std::string diagnosis;                  // one sentence: what holds the chip
  std::string plan;                       // what will be done
  std::string outcome;                    // what was done and what the check found
  SessionResult result;                   // the failed step's result
  FuseByteSlots fusesBefore, fusesAfter;  // as read from the chip (present where read)
};

// Where the programmer reaches a part at high voltage: "the 8-pin socket"; empty when no
// socket of our programmer takes the part.
std::string RescueSocketFor(const std::string& partName, const PartRecord& part);

// The clock-source field the rescue writes back when the chip's clock is missing or too slow
// (SUT_CKSEL, CKSEL_SUT, PLLCK_SUT_CKSEL or CKSEL, by part); null when the part has none.
const BitFieldDesc* RescueClockField(const PartRecord& part);

// The sockets and the parts each takes, as Markdown (docs/hardware.md) and as the plain text
// of `rescue --help`.
std::string RescueSocketsMarkdown();
std::string RescueSocketsText();

// The session is open, its part set to partName/part.
RescueReport RunRescue(ChipSession& session, const std::string& partName, const PartRecord& part,
                       RescueHost& host, const RescueOptions& options = {});

}  // namespace bq

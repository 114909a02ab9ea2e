#include "session/rescue_texts.h"

#include <cstdio>
#include <vector>

namespace bq {

namespace {

constexpr const char* kReadLockedStart = "The chip's lock bits forbid reading its ";

struct RescueRow {
  const char* seen;    // what the user sees
  const char* cause;   // what holds the chip
  const char* remedy;  // what the rescue does
};

// One row a path the rescue knows; the order is the order it looks in.
const std::vector<RescueRow>& RescueRows() {
  static const std::vector<RescueRow> rows = {
      {"no answer over ISP, or the signature 0x000000 or 0xFFFFFF",
       "RSTDISBL programmed: the reset pin is an I/O pin",
       "reads the fuses in the high-voltage socket, writes RSTDISBL back to 1"},
      {"no answer over ISP", "DWEN programmed: the reset pin is the debugWIRE line",
       "the same in the socket, writes DWEN back to 1"},
      {"no answer over ISP", "SPIEN unprogrammed: serial programming is off",
       "the same in the socket, writes SPIEN back to 0"},
      {"no answer over ISP", "an external crystal or clock selected and none fitted",
       "puts the programmer's clock on XTAL1 and writes the clock source back to the part's "
       "default over ISP; without that clock (another programmer) in the socket"},
      {"an answer over ISP only at 115.20 kHz or 57.60 kHz",
       "a slow clock (CKDIV8, a 128 kHz oscillator)",
       "over ISP at that clock: writes the clock fields back to the part's default, or says "
       "to keep --isp-clock when they are the default already"},
      {"reads refused: the lock bits forbid reading",
       "lock bits LB1 and LB2 programmed (they also keep the fuses)",
       "erases the chip, which clears the lock bits, the flash and (unless EESAVE is "
       "programmed) the EEPROM; before a fuse is written in the socket too"},
  };
  return rows;
}

}  // namespace

std::string ReadLockedText(const std::string& memory, std::uint8_t lock) {
  char byte[8];
  std::snprintf(byte, sizeof byte, "0x%02X", lock);
  return std::string(kReadLockedStart) + memory + " (lock byte " + byte +
         "): the chip answers filler, not its contents, so nothing was read. Only erasing the "
         "chip clears its lock bits, and the erase clears its flash and EEPROM too.";
}

bool IsReadLockedRefusal(const SessionResult& result) {
  return result.status == SessionStatus::Refused && result.message.rfind(kReadLockedStart, 0) == 0;
}

std::string RescueTableMarkdown() {
  std::string text = "| what you see | what holds the chip | what `rescue` does |\n|---|---|---|\n";
  for (const RescueRow& row : RescueRows()) {
    text += std::string("| ") + row.seen + " | " + row.cause + " | " + row.remedy + " |\n";
  }
  return text;
}

std::string RescueTableText() {
  std::string text;
  for (const RescueRow& row : RescueRows()) {
    text += std::string("  ") + row.seen + "\n    cause: " + row.cause +
            "\n    rescue: " + row.remedy + "\n";
  }
  return text;
}

}  // namespace bq

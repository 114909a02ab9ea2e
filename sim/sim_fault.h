#pragma once
// Faults the simulated programmer injects into its answers, for tests of the host's
// failure handling. Written as "CODE:KIND[=ARG][@N|*N]", e.g. "0x30:silence@2",
// "0xCF:error=1", "0x32:lastnext".

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bq {

enum class SimFaultKind {
  kSilence,    // no answer at all
  kBadHeader,  // the answer starts with two wrong bytes instead of 'H' 'V'
  kShort,      // the length field promises one byte more than is sent
  kOversize,   // the length field says 257 and 257 payload bytes follow
  kError,      // ANS_ERROR with code ARG instead of the answer; the command is not carried out
  kHangup,     // the programmer closes the line instead of answering
  kLastNext,   // the last data packet of a write is answered ANS_WRITE_NEXT, not ANS_WRITE_DONE
  kLongData,   // a read stream sends one extra 256-byte ANS_DATA chunk past the requested area
};

struct SimFault {
  std::uint8_t code = 0;  // command code the fault applies to
  SimFaultKind kind = SimFaultKind::kSilence;
  std::uint8_t arg = 0;  // device error code for kError
  // Which occurrences: packets with this code (for lastnext and longdata: transfers, i.e.
  // the packets that carry transfer parameters), counted from 1. first..last inclusive;
  // last 0 = no end. "@N" = N..N, "*N" = 1..N, nothing = 1..no end.
  std::uint32_t first = 1;
  std::uint32_t last = 0;

  bool Matches(std::uint32_t occurrence) const {
    return occurrence >= first && (last == 0 || occurrence <= last);
  }
};

// Parses one fault description; nullopt (and a reason in *error when given) when malformed.
std::optional<SimFault> ParseSimFault(const std::string& faultText, std::string* error = nullptr);
// The description of a fault, the inverse of ParseSimFault.
std::string FormatSimFault(const SimFault& fault);

}  // namespace bq

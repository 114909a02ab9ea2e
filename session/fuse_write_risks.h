#pragma once
// What a fuse write over ISP puts at risk. ISP reaches a chip through its reset pin and its
// SPI pins, clocked by the chip's own clock; some fuses take that away, and then only
// high-voltage programming brings the chip back. The fields are found by name, for every
// part that has them. The CLI refuses such a write unless forced; the desktop programs ask.
//
// A UPDI part whose UPDI pin doubles as RESET or GPIO has the counterpart: a fuse write that
// gives the pin to RESET or GPIO leaves UPDI only high-voltage activation to reach the chip.

#include <cstdint>
#include <string>
#include <vector>

#include "drivers/driver_types.h"
#include "link/fuse_bytes.h"
#include "parts/part_record.h"

namespace bq {

enum class FuseRisk : std::uint8_t {
  ResetDisabled,       // RSTDISBL programmed: the reset pin becomes an I/O pin
  DebugWireEnabled,    // DWEN programmed: the reset pin becomes the debugWIRE line
  SpiDisabled,         // SPIEN unprogrammed: a chip ignores that over ISP
  ClockSourceChanged,  // CKSEL or SUT_CKSEL changed: ISP needs that clock from now on
  UpdiPinTaken,        // a UPDI part's pin field set to anything but UPDI (GPIO, RESET)
};

struct FuseWriteRisk {
  FuseRisk risk = FuseRisk::ClockSourceChanged;
  std::string field;  // the field's name as the part list gives it
  // A changed clock source: its value on the chip and the value written, as the choice's
  // text (or "0x%02X" when no choice has it). Empty for the other risks.
  std::string from, to;

  bool operator==(const FuseWriteRisk&) const = default;
};

// True for the risks after which ISP can no longer reach the chip (or cannot do what was
// asked); false for a changed clock source, which only needs that clock present.
bool LocksIspOut(FuseRisk risk);

// The risks of writing the present fuse bytes of `written` over ISP to a chip that holds
// `chip`, in field order. A lock-out field counts whenever the written value sets it (a
// programmed RSTDISBL or DWEN, an unprogrammed SPIEN); a clock source only when it changes.
std::vector<FuseWriteRisk> IspFuseWriteRisks(const BitFieldMap& fields, const FuseByteSlots& chip,
                                             const FuseByteSlots& written);

// The risk of writing these bytes of a UPDI part: the part's pin field (UpdiLayout::pinFuse,
// pinField) written with a value other than pinUpdiValue, on a part whose pin is shared.
// field is "SYSCFG0.RSTPINCFG", to the value written as its named value (or "0x%X").
std::vector<FuseWriteRisk> UpdiFuseWriteRisks(const UpdiLayout& layout,
                                              const std::vector<NamedFuseValue>& written);

// The desktop's question before such a write: the risk, then the question.
std::string UpdiFuseWriteQuestion(const std::vector<FuseWriteRisk>& risks);

// One sentence naming the field and what follows from the write.
std::string FuseRiskText(const FuseWriteRisk& risk);

// The text of the desktop's warning box: every risk, then the question.
std::string IspFuseWriteQuestion(const std::vector<FuseWriteRisk>& risks);

}  // namespace bq

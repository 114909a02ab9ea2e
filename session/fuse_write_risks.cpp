#include "session/fuse_write_risks.h"

#include <cstdio>

#include "core/text.h"

namespace bq {

namespace {

int LowestSetBit(std::uint8_t mask) {
  if (mask == 0) return 0;
  int s = 0;
  while ((mask & (1u << s)) == 0) ++s;
  return s;
}

std::uint8_t FieldBits(const BitFieldDesc& field, const FuseByteSlots& slots) {
  const ByteSlot* slot = slots.Slot(field.targetByte);
  return slot == nullptr ? 0 : static_cast<std::uint8_t>(slot->value & field.mask);
}

// The field's value as the editor names it: the first choice with that value, else hex.
std::string ValueText(const BitFieldDesc& field, std::uint8_t bits) {
  const std::uint8_t value = static_cast<std::uint8_t>(bits >> LowestSetBit(field.mask));
  for (const auto& [number, choice] : field.choices) {
    if (choice.value == value) return choice.text;
  }
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", value);
  return buf;
}

}  // namespace

bool LocksIspOut(FuseRisk risk) {
  return risk != FuseRisk::ClockSourceChanged;
}

std::vector<FuseWriteRisk> IspFuseWriteRisks(const BitFieldMap& fields, const FuseByteSlots& chip,
                                             const FuseByteSlots& written) {
  std::vector<FuseWriteRisk> risks;
  for (const auto& [row, field] : fields) {
    const ByteSlot* slot = written.Slot(field.targetByte);
    if (slot == nullptr || !slot->present || field.mask == 0) continue;  // not written
    const std::string name = ToUpperAscii(field.name);
    const std::uint8_t bits = FieldBits(field, written);
    const bool programmed = bits == 0;  // a fuse bit is programmed when it is 0
    if ((name == "RSTDISBL" || name == "DWEN") && programmed) {
      risks.push_back({name == "DWEN" ? FuseRisk::DebugWireEnabled : FuseRisk::ResetDisabled,
                       field.name, "", ""});
    } else if (name == "SPIEN" && bits == field.mask) {
      risks.push_back({FuseRisk::SpiDisabled, field.name, "", ""});
    } else if ((name == "CKSEL" || name == "SUT_CKSEL") && bits != FieldBits(field, chip)) {
      risks.push_back({FuseRisk::ClockSourceChanged, field.name,
                       ValueText(field, FieldBits(field, chip)), ValueText(field, bits)});
    }
  }
  return risks;
}

std::string FuseRiskText(const FuseWriteRisk& risk) {
  static const std::string kOnlyHighVoltage = " (only high-voltage programming can undo this).";
  switch (risk.risk) {
    case FuseRisk::ResetDisabled:
      return risk.field +
             " programmed: the reset pin becomes an I/O pin and ISP can no longer reach the chip" +
             kOnlyHighVoltage;
    case FuseRisk::DebugWireEnabled:
      return risk.field +
             " programmed: the reset pin becomes the debugWIRE line, which this program does not "
             "speak, and ISP can no longer reach the chip" +
             kOnlyHighVoltage;
    case FuseRisk::SpiDisabled:
      return risk.field +
             " unprogrammed: a chip ignores that over ISP, so this write cannot do what was asked "
             "(use a high-voltage mode).";
    case FuseRisk::UpdiPinTaken:
      return risk.field + " set to \"" + risk.to +
             "\": the pin stops being the UPDI pin and UPDI can no longer reach the chip (only "
             "high-voltage UPDI activation can undo this).";
    case FuseRisk::ClockSourceChanged:
      break;
  }
  return risk.field + " changes from \"" + risk.from + "\" to \"" + risk.to +
         "\": ISP will reach the chip only while that clock is present.";
}

std::vector<FuseWriteRisk> UpdiFuseWriteRisks(const UpdiLayout& layout,
                                              const std::vector<NamedFuseValue>& written) {
  std::vector<FuseWriteRisk> risks;
  if (!layout.present || !layout.pinShared) return risks;
  const std::string byteName = ToUpperAscii(layout.pinFuse);
  const std::string fieldName = ToUpperAscii(layout.pinField);
  for (const NamedFuseByte& byte : layout.fuses) {
    if (ToUpperAscii(byte.name) != byteName) continue;
    for (const BitFieldDesc& field : byte.fields) {
      if (ToUpperAscii(field.name) != fieldName || field.mask == 0) continue;
      for (const NamedFuseValue& v : written) {
        if (v.offset != byte.offset) continue;
        const std::uint8_t bits = static_cast<std::uint8_t>(v.value & field.mask);
        const std::uint8_t value = static_cast<std::uint8_t>(bits >> LowestSetBit(field.mask));
        if (value == layout.pinUpdiValue) continue;
        std::string to = ValueText(field, bits);
        if (to.rfind("0x", 0) == 0) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "0x%X", value);
          to = buf;
        }
        risks.push_back({FuseRisk::UpdiPinTaken, byte.name + "." + field.name, "", to});
      }
    }
  }
  return risks;
}

std::string UpdiFuseWriteQuestion(const std::vector<FuseWriteRisk>& risks) {
  std::string text = "This fuse write:\r\n";
  for (const FuseWriteRisk& risk : risks) text += "\r\n" + FuseRiskText(risk);
  return text + "\r\n\r\nWrite the fuses anyway?";
}

std::string IspFuseWriteQuestion(const std::vector<FuseWriteRisk>& risks) {
  std::string text = "This fuse write over ISP:\r\n";
  for (const FuseWriteRisk& risk : risks) text += "\r\n" + FuseRiskText(risk);
  return text + "\r\n\r\nWrite the fuses anyway?";
}

}  // namespace bq

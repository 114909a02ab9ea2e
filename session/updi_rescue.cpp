#include "session/updi_rescue.h"
#include "core/text.h"

#include <cstdio>
#include <vector>

namespace bq {

namespace {


const NamedFuseByte* PinFuse(const UpdiLayout& layout, const BitFieldDesc** field) {
  for (const NamedFuseByte& fuse : layout.fuses) {
    if (fuse.name != layout.pinFuse) continue;
    for (const BitFieldDesc& f : fuse.fields) {
      if (f.name == layout.pinField && f.mask != 0) {
        *field = &f;
        return &fuse;
      }
    }
  }
  return nullptr;
}

std::uint8_t WithPinUpdi(std::uint8_t byte, const BitFieldDesc& field, std::uint8_t value) {
  int shift = 0;
  while (((field.mask >> shift) & 1u) == 0) ++shift;
  return static_cast<std::uint8_t>((byte & ~field.mask) | ((value << shift) & field.mask));
}

RescueReport Failed(RescueReport report, const SessionResult& result, const std::string& what) {
  report.verdict = RescueVerdict::Failed;
  report.result = result;
  report.outcome = what + (result.message.empty() ? "" : ": " + result.message);
  return report;
}

}  // namespace

RescueReport RunUpdiRescue(ChipSession& session, const std::string& partName,
                           const PartRecord& part, RescueHost& host, const RescueOptions& options) {
  RescueReport report;
  const UpdiLayout& layout = part.updi;
  std::uint32_t signature = 0;
  const SessionResult plain = session.ReadSignature(signature);
  if (plain.ok()) {
    report.verdict = RescueVerdict::NothingWrong;
    report.diagnosis = "The " + partName + " answers on its UPDI pin (signature " +
                       Hex2(static_cast<std::uint8_t>(signature >> 16)) +
                       " ...): nothing holds it.";
    report.outcome = "Nothing was changed.";
    return report;
  }
  if (plain.status == SessionStatus::Refused || plain.status == SessionStatus::LinkError ||
      plain.status == SessionStatus::PortNotOpen || plain.status == SessionStatus::Cancelled) {
    return Failed(report, plain, "The chip could not be asked");
  }
  const BitFieldDesc* field = nullptr;
  const NamedFuseByte* pinFuse = layout.pinShared ? PinFuse(layout, &field) : nullptr;
  if (pinFuse == nullptr) {
    return Failed(report, plain,
                  "The " + partName +
                      " does not answer on its UPDI pin, which no fuse can take from UPDI: check "
                      "its supply, its ground and the UPDI wire");
  }
  if (!session.Driver().Info().can.updiHighVoltage) {
    return Failed(report, {SessionStatus::Refused, 0, ""},
                  "The " + partName + " does not answer on its UPDI pin, and the " +
                      session.Driver().Info().title +
                      " programmer cannot pulse 12 V on it: use our firmware (Uno, Nano or Mega "
                      "2560) with the UPDI header and its 12 V switch");
  }
  const std::string name = layout.pinFuse + "." + layout.pinField;
  report.diagnosis = "The " + partName + " does not answer on its UPDI pin: " + name +
                     " has most likely made the pin GPIO or RESET.";
  report.plan =
      std::string(
          "Using the UPDI header, will switch the chip off and on, pulse 12 V "
          "on its UPDI pin, ") +
      (options.defaults ? "write the part's default fuses"
                        : "set " + name + " back to UPDI (the other fuses stay as they are)") +
      ", then switch it off and on again and check that it answers on plain UPDI.";
  if (!host.Confirm(report.diagnosis, report.plan)) {
    report.verdict = RescueVerdict::Declined;
    report.outcome = "Nothing was changed.";
    return report;
  }
  if (SessionResult r = session.Driver().PowerCycleUpdi(true); !r.ok()) {
    return Failed(report, r, "The chip did not answer after the 12 V pulse either");
  }
  std::vector<std::uint8_t> fuses;
  if (SessionResult r = session.ReadNamedFuses(fuses); !r.ok() || fuses.size() <= pinFuse->offset) {
    // An adapter without a chip opens; the chip's silence shows at the first read.
    return Failed(report, r,
                  r.ok() ? "The fuses could not be read after the 12 V pulse"
                         : "The chip did not answer after the 12 V pulse either");
  }
  std::vector<NamedFuseValue> values;
  if (options.defaults) {
    for (const NamedFuseByte& fuse : layout.fuses) {
      if (fuse.hasDefault) values.push_back({fuse.offset, fuse.defaultValue});
    }
  } else {
    values.push_back(
        {pinFuse->offset, WithPinUpdi(fuses[pinFuse->offset], *field, layout.pinUpdiValue)});
  }
  if (SessionResult r = session.WriteNamedFuses(values); !r.ok()) {
    return Failed(report, r, "Writing " + layout.pinFuse + " failed");
  }
  // The fuses load at the next reset; a power-on also ends the 12 V override, so the check
  // shows what the chip does by itself.
  if (SessionResult r = session.Driver().PowerCycleUpdi(false); !r.ok()) {
    return Failed(report, r,
                  layout.pinFuse +
                      " was written, but after a power-on the chip does not answer "
                      "on plain UPDI");
  }
  if (SessionResult r = session.ReadSignature(signature); !r.ok()) {
    return Failed(report, r, "After a power-on the chip's signature could not be read");
  }
  if (signature != part.signature) {
    return Failed(report, {SessionStatus::Mismatch, 0, ""},
                  "The chip answers on plain UPDI again, but its signature " +
                      Hex2(static_cast<std::uint8_t>(signature >> 8)) + " is not the " + partName +
                      "'s");
  }
  std::uint8_t written = fuses[pinFuse->offset];
  for (const NamedFuseValue& v : values) {
    if (v.offset == pinFuse->offset) written = v.value;
  }
  report.verdict = RescueVerdict::Rescued;
  report.outcome = "The 12 V pulse reached the chip; " + layout.pinFuse + " is " + Hex2(written) +
                   " (" + layout.pinField +
                   " = UPDI) and the chip answers on plain UPDI after a power-on.";
  return report;
}

}  // namespace bq

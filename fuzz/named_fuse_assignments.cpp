// Fuzzes the parser of `fuses write NAME=VALUE` assignments for a UPDI part: a word is either
// refused with a reason or gives an assignment to a byte the part names, inside that byte's
// field, the same whatever the letter case; applying it changes only its bits.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/text.h"
#include "session/named_fuses.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bq::BitFieldDesc Field(const char* name, std::uint8_t mask,
                       std::vector<std::pair<std::uint8_t, const char*>> choices = {}) {
  bq::BitFieldDesc f;
  f.name = name;
  f.mask = mask;
  f.isEnumerator = !choices.empty();
  std::uint32_t n = 0;
  for (const auto& [value, text] : choices) f.choices[n++] = bq::EnumChoice{value, text, {}};
  return f;
}

bq::UpdiLayout Layout() {
  bq::UpdiLayout u;
  u.present = true;
  auto byte = [&u](const char* name, std::uint8_t offset, std::vector<bq::BitFieldDesc> fields) {
    bq::NamedFuseByte b;
    b.name = name;
    b.offset = offset;
    b.hasDefault = true;
    b.fields = std::move(fields);
    u.fuses.push_back(std::move(b));
  };
  byte("WDTCFG", 0, {Field("PERIOD", 0x0F, {{0, "Off"}}), Field("WINDOW", 0xF0)});
  byte("BODCFG", 1,
       {Field("SLEEP", 0x03, {{0, "Disabled"}, {1, "Enabled"}}),
        Field("ACTIVE", 0x0C, {{0, "Disabled"}, {1, "Enabled"}}), Field("SAMPFREQ", 0x10),
        Field("LVL", 0xE0, {{0, "1.8 V"}, {2, "2.6 V"}})});
  byte("SYSCFG0", 5,
       {Field("EESAVE", 0x01), Field("RSTPINCFG", 0x0C, {{0, "GPIO mode"}, {1, "UPDI mode"}})});
  byte("BOOTEND", 8, {});
  return u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bq::UpdiLayout layout = Layout();
  const std::string word(reinterpret_cast<const char*>(data), size);
  bq::NamedFuseAssignment a;
  const std::string problem = bq::ParseNamedFuseAssignment(layout, word, a);
  bq::NamedFuseAssignment upper;
  const std::string upperProblem =
      bq::ParseNamedFuseAssignment(layout, bq::ToUpperAscii(word), upper);
  if (!problem.empty()) {
    Check(!upperProblem.empty());  // letter case never makes a word right
    return 0;
  }
  Check(upperProblem.empty() && upper == a);
  const bq::NamedFuseByte* byte = nullptr;
  for (const bq::NamedFuseByte& b : layout.fuses) {
    if (b.offset == a.offset) byte = &b;
  }
  Check(byte != nullptr);
  Check((a.bits & ~a.mask) == 0);
  bool knownMask = a.mask == 0xFF;
  for (const bq::BitFieldDesc& f : byte->fields) knownMask = knownMask || f.mask == a.mask;
  Check(knownMask);
  std::vector<std::uint8_t> bytes(bq::NamedFuseSpan(layout), 0x5A);
  const std::vector<std::uint8_t> before = bytes;
  bq::ApplyNamedFuseAssignments(bytes, {a});
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t changed = static_cast<std::uint8_t>(bytes[i] ^ before[i]);
    Check(i == a.offset ? (changed & ~a.mask) == 0 : changed == 0);
  }
  Check(bq::NamedFuseDifferences(layout, {a}, bytes).empty());
  return 0;
}

#include "session/fuse_fields.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/text.h"

namespace bq {

namespace {
int LowestSetBit(std::uint8_t mask) {
  int s = 0;
  while (mask != 0 && (mask & (1u << s)) == 0) ++s;
  return s;
}
}  // namespace

const char* FuseByteName(std::uint8_t target) {
  switch (target) {
    case kTargetLow:
      return "LOW";
    case kTargetHigh:
      return "HIGH";
    case kTargetExtended:
      return "EXTENDED";
    default:
      return "LOCKBIT";
  }
}

const BitFieldDesc* FindFuseField(const BitFieldMap& fields, const std::string& name) {
  const std::string wanted = ToUpperAscii(name);
  for (const auto& [row, field] : fields) {
    if (ToUpperAscii(field.name) == wanted) return &field;
  }
  return nullptr;
}

bool ParseFuseNumber(const std::string& text, std::uint32_t max, std::uint32_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != '\0' || v > max) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

std::string ParseFieldWord(const BitFieldMap& fields, const std::string& word, FuseChange& change) {
  const auto eq = word.find('=');
  if (eq == std::string::npos || eq == 0) return "expected FIELD=VALUE, got '" + word + "'";
  const std::string name = word.substr(0, eq);
  const std::string valueText = word.substr(eq + 1);
  const BitFieldDesc* field = FindFuseField(fields, name);
  if (field == nullptr) return "the part has no field " + name;
  const int lowest = LowestSetBit(field->mask);
  const std::uint32_t max = static_cast<std::uint32_t>(field->mask) >> lowest;
  std::uint32_t value = 0;
  bool found = false;
  if (field->isEnumerator) {
    const std::string wanted = ToUpperAscii(valueText);
    for (const auto& [number, choice] : field->choices) {
      if (ToUpperAscii(choice.text) == wanted) {
        value = choice.value;
        found = true;
        break;
      }
    }
  }
  if (!found && !ParseFuseNumber(valueText, max, value)) {
    return "value '" + valueText + "' does not fit field " + field->name + " (0.." +
           std::to_string(max) + (field->isEnumerator ? " or a choice text" : "") + ")";
  }
  change = {field->name, field->targetByte, field->mask,
            static_cast<std::uint8_t>((value << lowest) & field->mask), true};
  return "";
}

std::string ParseByteWord(std::uint8_t target, const std::string& text, FuseChange& change) {
  std::uint32_t value = 0;
  if (!ParseFuseNumber(text, 0xFF, value)) {
    return target == kTargetLockBit
               ? "bad lock byte value '" + text + "'"
               : std::string("bad byte value for ") + FuseByteName(target) + ": '" + text + "'";
  }
  change = {FuseByteName(target), target, 0xFF, static_cast<std::uint8_t>(value), false};
  return "";
}

std::string ParseFuseChanges(const BitFieldMap& fields, const FuseByteSlots& bytes,
                             const std::vector<std::pair<std::uint8_t, std::string>>& wholeBytes,
                             const std::vector<std::string>& fieldWords,
                             std::vector<FuseChange>& changes) {
  auto present = [&bytes](std::uint8_t target) {
    const ByteSlot* slot = bytes.Slot(target);
    return slot != nullptr && slot->present;
  };
  for (const auto& [target, text] : wholeBytes) {
    FuseChange c;
    if (std::string problem = ParseByteWord(target, text, c); !problem.empty()) return problem;
    if (!present(target)) return std::string("the part has no ") + FuseByteName(target) + " fuse byte";
    changes.push_back(c);
  }
  for (const std::string& word : fieldWords) {
    FuseChange c;
    if (std::string problem = ParseFieldWord(fields, word, c); !problem.empty()) return problem;
    if (!present(c.target)) {
      return std::string("the part has no ") + FuseByteName(c.target) + " fuse byte (field " +
             c.name + ")";
    }
    changes.push_back(c);
  }
  return "";
}

std::vector<std::string> FuseDifferences(const std::vector<FuseChange>& changes,
                                         const FuseByteSlots& chip, const FuseByteSlots& wanted) {
  std::vector<std::string> lines;
  for (const FuseChange& c : changes) {
    const std::uint8_t has = chip.Slot(c.target)->value;
    const std::uint8_t want = wanted.Slot(c.target)->value;
    if (((has ^ want) & c.mask) == 0) continue;
    auto show = [&c](std::uint8_t byte) {
      const std::uint8_t bits = static_cast<std::uint8_t>(byte & c.mask);
      if (c.field) return std::to_string(bits >> LowestSetBit(c.mask));
      char text[8];
      std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(bits));
      return std::string(text);
    };
    lines.push_back(c.name + ": the chip has " + show(has) + ", " + show(want) + " expected");
  }
  return lines;
}

void ApplyFuseChanges(FuseByteSlots& bytes, const std::vector<FuseChange>& changes) {
  for (const FuseChange& c : changes) {
    ByteSlot* slot = bytes.Slot(c.target);
    if (slot == nullptr) continue;
    slot->value = static_cast<std::uint8_t>((slot->value & ~c.mask) | c.bits);
  }
}

std::uint8_t FuseFieldValue(const FuseByteSlots& bytes, const BitFieldDesc& field) {
  const ByteSlot* slot = bytes.Slot(field.targetByte);
  if (slot == nullptr) return 0;
  return static_cast<std::uint8_t>((slot->value & field.mask) >> LowestSetBit(field.mask));
}

std::string FuseFieldDisplay(const FuseByteSlots& bytes, const BitFieldDesc& field) {
  const std::uint8_t v = FuseFieldValue(bytes, field);
  if (field.isEnumerator) {
    for (const auto& [number, choice] : field.choices) {
      if (choice.value == v) return choice.text;
    }
    return "";
  }
  return v != 1 ? "[x]" : "[ ]";
}

FuseByteSlots DefaultFuseBytes(const PartRecord& part) {
  FuseByteSlots slots;
  slots.low = {part.hasDefaultLow ? part.defaultLow : std::uint8_t{0}, part.hasDefaultLow};
  slots.high = {part.hasDefaultHigh ? part.defaultHigh : std::uint8_t{0}, part.hasDefaultHigh};
  slots.extended = {part.hasDefaultExtended ? part.defaultExtended : std::uint8_t{0},
                    part.hasDefaultExtended};
  slots.lock = {0xFF, true};
  return slots;
}

}  // namespace bq

#include "session/named_fuses.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "core/nearest.h"
#include "core/text.h"
#include "session/fuse_fields.h"

namespace bq {

namespace {

int LowestSetBit(std::uint8_t mask) {
  if (mask == 0) return 0;
  int s = 0;
  while ((mask & (1u << s)) == 0) ++s;
  return s;
}

std::string Hex(std::uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, static_cast<unsigned>(v));
  return buf;
}


// Letters and digits only, upper case: "2.6 V" and "2.6V" and "2_6v" are one name.
std::string Folded(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
  }
  return out;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

// " Did you mean X?" when something is close, else " It has: A, B, C." (all candidates).
std::string Suggestion(const std::string& given, const std::vector<std::string>& candidates,
                       const char* what) {
  const std::vector<std::string> near = NearestNames(given, candidates, 3);
  if (!near.empty()) return "; did you mean " + Joined(near) + "?";
  if (candidates.empty()) return std::string("; it has no ") + what + ".";
  return std::string("; its ") + what + ": " + Joined(candidates) + ".";
}

std::uint8_t ByteAt(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  return offset < bytes.size() ? bytes[offset] : std::uint8_t{0xFF};
}

// The bits of a byte the part defines; all of them when no field covers the byte.
std::uint8_t DefinedBits(const NamedFuseByte& byte) {
  std::uint8_t mask = 0;
  for (const BitFieldDesc& f : byte.fields) mask |= f.mask;
  return mask == 0 ? std::uint8_t{0xFF} : mask;
}

const NamedFuseByte* ByteAtOffset(const UpdiLayout& layout, std::uint8_t offset) {
  for (const NamedFuseByte& b : layout.fuses) {
    if (b.offset == offset) return &b;
  }
  return nullptr;
}

std::string ByteName(const UpdiLayout& layout, std::uint8_t offset) {
  const NamedFuseByte* b = ByteAtOffset(layout, offset);
  return b != nullptr ? b->name : "fuse byte " + Hex2(offset);
}

}  // namespace

std::size_t NamedFuseSpan(const UpdiLayout& layout) {
  std::size_t span = 0;
  for (const NamedFuseByte& b : layout.fuses) span = std::max<std::size_t>(span, b.offset + 1u);
  return span;
}

const NamedFuseByte* FindNamedFuseByte(const UpdiLayout& layout, const std::string& name) {
  const std::string wanted = ToUpperAscii(name);
  for (const NamedFuseByte& b : layout.fuses) {
    if (ToUpperAscii(b.name) == wanted) return &b;
  }
  return nullptr;
}

const BitFieldDesc* FindNamedFuseField(const NamedFuseByte& byte, const std::string& name) {
  const std::string wanted = ToUpperAscii(name);
  for (const BitFieldDesc& f : byte.fields) {
    if (ToUpperAscii(f.name) == wanted) return &f;
  }
  return nullptr;
}

std::uint8_t NamedFieldValue(std::uint8_t byte, const BitFieldDesc& field) {
  return static_cast<std::uint8_t>((byte & field.mask) >> LowestSetBit(field.mask));
}

std::uint8_t WithNamedFieldValue(std::uint8_t byte, const BitFieldDesc& field,
                                 std::uint32_t value) {
  const std::uint32_t shifted = (value << LowestSetBit(field.mask)) & field.mask;
  return static_cast<std::uint8_t>(shifted | (byte & ~field.mask));
}

std::uint32_t NamedFieldMax(const BitFieldDesc& field) {
  return static_cast<std::uint32_t>(field.mask) >> LowestSetBit(field.mask);
}

std::string NamedChoiceText(const BitFieldDesc& field, std::uint32_t value) {
  for (const auto& [number, choice] : field.choices) {
    if (choice.value == value) return choice.text;
  }
  return "";
}

std::string NamedFieldValueText(const BitFieldDesc& field, std::uint32_t value) {
  std::string text;
  for (const auto& [number, choice] : field.choices) {
    if (choice.value != value) continue;
    text = choice.name.empty() ? choice.text : choice.name;  // the name is what one types
    break;
  }
  return Hex(value, 1) + (text.empty() ? "" : " (" + text + ")");
}

std::vector<std::uint8_t> DefaultNamedFuses(const UpdiLayout& layout,
                                            const std::vector<std::uint8_t>& from) {
  std::vector<std::uint8_t> bytes(NamedFuseSpan(layout), 0xFF);
  std::copy_n(from.begin(), std::min(from.size(), bytes.size()), bytes.begin());
  for (const NamedFuseByte& b : layout.fuses) {
    if (b.hasDefault) bytes[b.offset] = b.defaultValue;
  }
  return bytes;
}

std::vector<NamedFuseValue> NamedFuseValues(const UpdiLayout& layout,
                                            const std::vector<std::uint8_t>& bytes) {
  std::vector<NamedFuseValue> values;
  for (const NamedFuseByte& b : layout.fuses) values.push_back({b.offset, ByteAt(bytes, b.offset)});
  return values;
}

std::string NamedFuseLine(const NamedFuseByte& byte, std::uint8_t value) {
  std::string line = byte.name + "\t" + Hex2(value);
  for (const BitFieldDesc& f : byte.fields) {
    line += "\t" + f.name + "=" + NamedFieldValueText(f, NamedFieldValue(value, f));
  }
  return line;
}

std::string ParseNamedFuseAssignment(const UpdiLayout& layout, const std::string& word,
                                     NamedFuseAssignment& assignment) {
  std::vector<std::string> byteNames;
  for (const NamedFuseByte& b : layout.fuses) byteNames.push_back(b.name);
  const auto eq = word.find('=');
  if (eq == std::string::npos || eq == 0) {
    return "expected NAME=VALUE or BYTE.FIELD=VALUE (SYSCFG0=0xF6, BODCFG.ACTIVE=ENABLED), got '" +
           word + "'";
  }
  const std::string left = word.substr(0, eq);
  const std::string valueText = word.substr(eq + 1);
  const auto dot = left.find('.');
  const std::string byteName = left.substr(0, dot);
  const NamedFuseByte* byte = FindNamedFuseByte(layout, byteName);
  if (byte == nullptr) {
    if (dot == std::string::npos) {
      // A field given without its byte: say which byte it belongs to.
      for (const NamedFuseByte& b : layout.fuses) {
        if (const BitFieldDesc* f = FindNamedFuseField(b, byteName)) {
          return f->name + " is a field of " + b.name + ": write " + b.name + "." + f->name + "=" +
                 valueText;
        }
      }
    }
    return "the part has no fuse byte " + byteName + Suggestion(byteName, byteNames, "fuse bytes");
  }
  if (valueText.empty()) return "no value given for " + left;

  if (dot == std::string::npos) {
    std::uint32_t value = 0;
    if (!ParseFuseNumber(valueText, 0xFF, value)) {
      return "value '" + valueText + "' of " + byte->name +
             " is not a byte (0x00..0xFF); name a field for a named value (" + byte->name +
             ".FIELD=VALUE)";
    }
    assignment = {byte->name, byte->offset, 0xFF, static_cast<std::uint8_t>(value)};
    return "";
  }

  const std::string fieldName = left.substr(dot + 1);
  const BitFieldDesc* field = FindNamedFuseField(*byte, fieldName);
  if (field == nullptr) {
    std::vector<std::string> fieldNames;
    for (const BitFieldDesc& f : byte->fields) fieldNames.push_back(f.name);
    return byte->name + " has no field " + fieldName + Suggestion(fieldName, fieldNames, "fields");
  }
  const std::string name = byte->name + "." + field->name;
  const std::uint32_t max = NamedFieldMax(*field);
  std::uint32_t value = 0;
  bool found = false;
  // A value's own name first (ENABLED, UPDI), then its caption ("Enabled", "2.6 V").
  const std::string wanted = Folded(valueText);
  for (const bool byName : {true, false}) {
    for (const auto& [number, choice] : field->choices) {
      const std::string& candidate = byName ? choice.name : choice.text;
      if (!found && !wanted.empty() && Folded(candidate) == wanted) {
        value = choice.value;
        found = true;
      }
    }
  }
  if (!found && !ParseFuseNumber(valueText, max, value)) {
    std::uint32_t tooLarge = 0;
    if (ParseFuseNumber(valueText, 0xFFFFFFFFu, tooLarge)) {
      return "value " + valueText + " does not fit " + name + " (0x0.." + Hex(max, 1) + ")";
    }
    std::vector<std::string> choiceTexts;
    for (const auto& [number, choice] : field->choices) {
      choiceTexts.push_back(choice.name.empty() ? choice.text : choice.name);
    }
    if (choiceTexts.empty()) {
      return "value '" + valueText + "' of " + name + " is not a number (0x0.." + Hex(max, 1) + ")";
    }
    return name + " has no named value '" + valueText + "'" +
           Suggestion(valueText, choiceTexts, "named values") + " (or a number 0x0.." +
           Hex(max, 1) + ")";
  }
  assignment = {name, byte->offset, field->mask, WithNamedFieldValue(0, *field, value)};
  return "";
}

std::string ParseNamedFuseAssignments(const UpdiLayout& layout,
                                      const std::vector<std::string>& words,
                                      std::vector<NamedFuseAssignment>& assignments) {
  assignments.clear();
  for (const std::string& word : words) {
    NamedFuseAssignment a;
    if (std::string problem = ParseNamedFuseAssignment(layout, word, a); !problem.empty()) {
      assignments.clear();
      return problem;
    }
    assignments.push_back(a);
  }
  return "";
}

void ApplyNamedFuseAssignments(std::vector<std::uint8_t>& bytes,
                               const std::vector<NamedFuseAssignment>& assignments) {
  for (const NamedFuseAssignment& a : assignments) {
    if (bytes.size() <= a.offset) bytes.resize(a.offset + 1u, 0xFF);
    bytes[a.offset] = static_cast<std::uint8_t>((bytes[a.offset] & ~a.mask) | (a.bits & a.mask));
  }
}

std::vector<std::string> NamedFuseDifferences(const UpdiLayout& layout,
                                              const std::vector<NamedFuseAssignment>& assignments,
                                              const std::vector<std::uint8_t>& chip) {
  std::vector<std::string> lines;
  for (const NamedFuseAssignment& a : assignments) {
    const std::uint8_t has = ByteAt(chip, a.offset);
    if (((has ^ a.bits) & a.mask) == 0) continue;
    const BitFieldDesc* field = nullptr;
    if (const NamedFuseByte* byte = ByteAtOffset(layout, a.offset); byte != nullptr) {
      for (const BitFieldDesc& f : byte->fields) {
        if (f.mask == a.mask && a.mask != 0xFF) field = &f;
      }
    }
    if (field == nullptr) {
      lines.push_back(a.name + ": the chip has " + Hex2(has) + ", " + Hex2(a.bits) + " expected");
    } else {
      lines.push_back(a.name + ": the chip has " +
                      NamedFieldValueText(*field, NamedFieldValue(has, *field)) + ", " +
                      NamedFieldValueText(*field, NamedFieldValue(a.bits, *field)) + " expected");
    }
  }
  return lines;
}

SessionResult ReadNamedFuseBytes(ChipSession& session, const UpdiLayout& layout,
                                 std::vector<std::uint8_t>& bytes, const NamedFuseLog& log) {
  SessionResult r = session.ReadNamedFuses(bytes);
  if (!r.ok()) return r;
  bytes.resize(std::max(bytes.size(), NamedFuseSpan(layout)), 0xFF);
  if (log) {
    log(LogKind::LogSuccess, "Read fuses");
    for (const NamedFuseByte& b : layout.fuses) {
      log(LogKind::LogInfo, "Read " + b.name + ": " + Hex2(bytes[b.offset]));
    }
  }
  return r;
}

SessionResult WriteNamedFuseBytes(ChipSession& session, const UpdiLayout& layout,
                                  const std::vector<NamedFuseValue>& values,
                                  const NamedFuseLog& log) {
  if (log) {
    log(LogKind::LogSuccess, "Write fuses");
    for (const NamedFuseValue& v : values) {
      log(LogKind::LogInfo, "Write " + ByteName(layout, v.offset) + ": " + Hex2(v.value));
    }
  }
  if (SessionResult r = session.WriteNamedFuses(values); !r.ok()) return r;
  std::vector<std::uint8_t> chip;
  if (SessionResult r = session.ReadNamedFuses(chip); !r.ok()) {
    r.message = "Fuses written, but reading them back failed: " + r.message;
    if (log) log(LogKind::LogError, r.message);
    return r;
  }
  std::string differences;
  for (const NamedFuseValue& v : values) {
    const NamedFuseByte* byte = ByteAtOffset(layout, v.offset);
    const std::uint8_t mask = byte != nullptr ? DefinedBits(*byte) : std::uint8_t{0xFF};
    const std::uint8_t got = ByteAt(chip, v.offset);
    if (((got ^ v.value) & mask) == 0) continue;
    differences += (differences.empty() ? "" : ", ") + ByteName(layout, v.offset) + " " +
                   Hex2(got) + " (" + Hex2(v.value) + " written)";
  }
  if (differences.empty()) {
    if (log) log(LogKind::LogInfo, "Fuses read back as written");
    return {};
  }
  const std::string message = "Fuses not changed as written: the chip holds " + differences +
                              ". Check that the chip is not locked (a locked chip takes "
                              "nothing but a chip erase), then write the fuses again.";
  if (log) log(LogKind::LogError, message);
  return {SessionStatus::Mismatch, 0, message};
}

SessionResult VerifyNamedFuseBytes(ChipSession& session, const UpdiLayout& layout,
                                   const std::vector<NamedFuseValue>& values,
                                   const NamedFuseLog& log) {
  std::vector<std::uint8_t> chip;
  SessionResult r = session.ReadNamedFuses(chip);
  if (!r.ok()) return r;
  std::string differences;
  for (const NamedFuseValue& v : values) {
    const NamedFuseByte* byte = ByteAtOffset(layout, v.offset);
    const std::uint8_t mask = byte != nullptr ? DefinedBits(*byte) : std::uint8_t{0xFF};
    const std::uint8_t got = ByteAt(chip, v.offset);
    if (((got ^ v.value) & mask) == 0) continue;
    differences += (differences.empty() ? "" : ", ") + ByteName(layout, v.offset) + " " +
                   Hex2(got) + " (" + Hex2(v.value) + " expected)";
  }
  if (differences.empty()) {
    if (log) log(LogKind::LogSuccess, "Fuse bits verification OK");
    return {};
  }
  if (log) {
    log(LogKind::LogInfo, "The chip holds " + differences);
    log(LogKind::LogWarning, "Fuse bits verification FAILED");
  }
  return {SessionStatus::Mismatch, 0, "Fuse bits verification FAILED"};
}

}  // namespace bq

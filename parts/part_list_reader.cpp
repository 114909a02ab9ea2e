#include "parts/part_list_reader.h"

#include <fstream>
#include <limits>
#include <string>

#include "core/text.h"

namespace bq {

namespace {

// Value of an ASCII digit or letter as a digit, or 99 for anything else.
unsigned DigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A' + 10);
  return 99;
}

bool IsNumberBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::uint8_t Low8(std::uint32_t value) { return static_cast<std::uint8_t>(value & 0xFFu); }

std::uint8_t NumberAttribute(std::string_view attributes, std::string_view name) {
  return Low8(ParseNumber(GetAttribute(attributes, name)));
}

// Fills one BIT or ENUMERATOR field description; an existing entry is overwritten field by field.
void ReadField(std::string_view& content, const PartListTag& tag, std::uint8_t targetByte,
               BitFieldDesc& field) {
  field.targetByte = targetByte;
  field.name = GetAttribute(tag.attributes, "name");
  field.text = GetAttribute(tag.attributes, "text");
  field.mask = NumberAttribute(tag.attributes, "mask");
  field.isEnumerator = tag.name == "ENUMERATOR";
  if (field.isEnumerator) ParseEnumerator(content, field.choices);
}

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// First position of needle in text with a..z and A..Z taken as equal, or npos.
std::size_t FindIgnoringCase(std::string_view text, std::string_view needle) {
  if (needle.size() > text.size()) return std::string_view::npos;
  for (std::size_t at = 0; at + needle.size() <= text.size(); ++at) {
    std::size_t i = 0;
    while (i < needle.size() && UpperAscii(text[at + i]) == UpperAscii(needle[i])) ++i;
    if (i == needle.size()) return at;
  }
  return std::string_view::npos;
}

bool IsFieldTag(const std::string& name) { return name == "BIT" || name == "ENUMERATOR"; }

// Drops every LF and every CR directly before an LF, moving the rest of the text down.
void JoinLinesInPlace(std::string& text) {
  std::size_t out = 0;
  std::size_t in = 0;
  while (in < text.size()) {
    const auto lf = text.find('\n', in);
    const std::size_t end = lf == std::string::npos ? text.size() : lf;
    std::size_t length = end - in;
    if (lf != std::string::npos && length > 0 && text[end - 1] == '\r') --length;
    if (out != in) std::char_traits<char>::move(text.data() + out, text.data() + in, length);
    out += length;
    in = lf == std::string::npos ? text.size() : lf + 1;
  }
  text.resize(out);
}

}  // namespace

std::string JoinPartListLines(std::string_view raw) {
  std::string text(raw);
  JoinLinesInPlace(text);
  return text;
}

bool ReadPartListText(const std::string& fileName, std::string& content) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in.is_open()) return false;
  content.clear();
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.clear();
  in.seekg(0, std::ios::beg);
  if (size > 0) content.reserve(static_cast<std::size_t>(size));
  char chunk[64 * 1024];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    content.append(chunk, static_cast<std::size_t>(in.gcount()));
  }
  JoinLinesInPlace(content);
  return true;
}

PartListTag NextTag(std::string_view& content) {
  PartListTag tag;
  const auto open = content.find('<');
  if (open == std::string_view::npos) {
    content = {};
    return tag;
  }
  content.remove_prefix(open + 1);
  const auto close = content.find('>');
  if (close == std::string_view::npos) {
    content = {};
    return tag;
  }
  const std::string_view text = TrimBlanksView(content.substr(0, close));
  content.remove_prefix(close + 1);
  const auto space = text.find(' ');
  tag.name = ToUpperAscii(text.substr(0, space));
  if (space != std::string_view::npos) tag.attributes = TrimBlanksView(text.substr(space));
  return tag;
}

std::string GetAttribute(std::string_view attributes, std::string_view name) {
  const auto at = FindIgnoringCase(attributes, name);
  if (at == std::string_view::npos) return {};
  std::string_view rest = attributes.substr(at + name.size());
  const auto open = rest.find('"');
  if (open == std::string_view::npos) return {};
  rest = TrimBlanksView(rest.substr(open + 1));
  const auto close = rest.find('"');
  if (close == std::string_view::npos) return {};
  return TrimBlanks(rest.substr(0, close));
}

std::uint32_t ParseNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsNumberBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  unsigned base = 10;
  if (i < text.size() && text[i] == '0') {
    base = 8;
    // "0x" counts as a prefix only when a hex digit follows; otherwise the number is the 0.
    if (i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        DigitValue(text[i + 2]) < 16) {
      base = 16;
      i += 2;
    }
  }
  std::uint64_t value = 0;
  bool anyDigit = false;
  for (; i < text.size() && DigitValue(text[i]) < base; ++i) {
    value = value * base + DigitValue(text[i]);
    if (value > std::numeric_limits<std::uint32_t>::max()) return 0;
    anyDigit = true;
  }
  if (!anyDigit) return 0;
  const auto magnitude = static_cast<std::uint32_t>(value);
  return negative ? 0u - magnitude : magnitude;
}

void ParsePartList(std::string_view content, PartDatabase& db) {
  while (!content.empty()) {
    const PartListTag tag = NextTag(content);
    if (tag.name != "AVRPART" || tag.attributes.empty()) continue;
    const std::string name = GetAttribute(tag.attributes, "name");
    const std::string signature = GetAttribute(tag.attributes, "signature");
    if (name.empty() || signature.size() != 8) continue;
    PartRecord& record = db.RecordFor(name);
    record.signature = ParseNumber(signature);
    ParsePartBody(content, record);
  }
}

void ParsePartBody(std::string_view& content, PartRecord& record) {
  std::uint32_t osccalCount = 0;
  while (!content.empty()) {
    const PartListTag tag = NextTag(content);
    if (tag.name == "/AVRPART") return;
    if (tag.name == "FUSE") {
      ParseFuseBlock(content, record);
    } else if (tag.name == "LOCKBIT") {
      ParseLockBitBlock(content, record);
    } else if (tag.attributes.empty()) {
      continue;
    } else if (tag.name == "MEMORY") {
      record.flashPageSizeW = ParseNumber(GetAttribute(tag.attributes, "FlashPageSizeW"));
      record.flashNoOfPages = ParseNumber(GetAttribute(tag.attributes, "FlashNoOfPages"));
      record.eepromPageSize = ParseNumber(GetAttribute(tag.attributes, "EEpromPageSize"));
      record.eepromNoOfPages = ParseNumber(GetAttribute(tag.attributes, "EEpromNoOfPages"));
    } else if (tag.name == "HVMODE") {
      record.hvMode = NumberAttribute(tag.attributes, "val");
    } else if (tag.name == "OSCCAL") {
      OsccalEntry& entry = record.osccal[osccalCount++];
      entry.label = GetAttribute(tag.attributes, "text");
      entry.address = NumberAttribute(tag.attributes, "val");
    }
  }
}

void ParseFuseBlock(std::string_view& content, PartRecord& record) {
  record.hasDefaultLow = false;
  record.hasDefaultHigh = false;
  record.hasDefaultExtended = false;
  std::uint8_t current = 0;  // none
  std::uint32_t fieldCount = 0;
  while (!content.empty()) {
    const PartListTag tag = NextTag(content);
    const std::string& n = tag.name;
    if (n == "/FUSE") return;
    if (n == "LOW") {
      current = kTargetLow;
    } else if (n == "HIGH") {
      current = kTargetHigh;
    } else if (n == "EXTENDED") {
      current = kTargetExtended;
    } else if (n == "/LOW" || n == "/HIGH" || n == "/EXTENDED") {
      current = 0;
    } else if (tag.attributes.empty()) {
      continue;
    } else if (n == "DEFAULTLOW") {
      record.defaultLow = NumberAttribute(tag.attributes, "val");
      record.hasDefaultLow = true;
    } else if (n == "DEFAULTHIGH") {
      record.defaultHigh = NumberAttribute(tag.attributes, "val");
      record.hasDefaultHigh = true;
    } else if (n == "DEFAULTEXTENDED") {
      record.defaultExtended = NumberAttribute(tag.attributes, "val");
      record.hasDefaultExtended = true;
    } else if (IsFieldTag(n) && current != 0) {
      ReadField(content, tag, current, record.fuseBits[fieldCount++]);
    }
  }
}

void ParseLockBitBlock(std::string_view& content, PartRecord& record) {
  std::uint32_t fieldCount = 0;
  while (!content.empty()) {
    const PartListTag tag = NextTag(content);
    if (tag.name == "/LOCKBIT") return;
    if (IsFieldTag(tag.name) && !tag.attributes.empty()) {
      ReadField(content, tag, kTargetLockBit, record.lockBits[fieldCount++]);
    }
  }
}

void ParseEnumerator(std::string_view& content, std::map<std::uint32_t, EnumChoice>& choices) {
  std::uint32_t valueCount = 0;
  while (!content.empty()) {
    const PartListTag tag = NextTag(content);
    if (tag.name == "/ENUMERATOR") return;
    if (tag.name == "ENUM" && !tag.attributes.empty()) {
      EnumChoice& choice = choices[valueCount++];
      choice.value = NumberAttribute(tag.attributes, "val");
      choice.text = GetAttribute(tag.attributes, "text");
    }
  }
}

std::int32_t LoadPartList(PartDatabase& db, const std::string& fileName) {
  db.ClearParts();
  std::string content;
  if (ReadPartListText(fileName, content)) ParsePartList(content, db);
  db.FinishLoad();
  constexpr auto kMaxCount = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(db.size() < kMaxCount ? db.size() : kMaxCount);
}

}  // namespace bq

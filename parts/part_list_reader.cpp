#include "parts/part_list_reader.h"

#include <fstream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

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

std::uint8_t Low8(std::uint32_t value) {
  return static_cast<std::uint8_t>(value & 0xFFu);
}

std::uint8_t NumberAttribute(std::string_view attributes, std::string_view name) {
  return Low8(ParseNumber(GetAttribute(attributes, name)));
}

// Fills one BIT or ENUMERATOR field description; an existing entry is overwritten field by field.
void ReadField(std::string_view& content, const PartListTag& tag, std::uint8_t targetByte,
               BitFieldDesc& field, bool readValueNames = false) {
  field.targetByte = targetByte;
  field.name = GetAttribute(tag.attributes, "name");
  field.text = GetAttribute(tag.attributes, "text");
  field.mask = NumberAttribute(tag.attributes, "mask");
  field.isEnumerator = tag.name == "ENUMERATOR";
  if (field.isEnumerator) ParseEnumerator(content, field.choices, readValueNames);
}

char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

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

bool IsFieldTag(const std::string& name) {
  return name == "BIT" || name == "ENUMERATOR";
}

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

bool ParseWholeNumber(std::string_view text, std::uint32_t& value) {
  unsigned base = 10;
  if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (!text.empty() && text[0] == '0') {
    base = 8;
  }
  if (text.empty()) return false;
  std::uint64_t result = 0;
  for (const char c : text) {
    if (DigitValue(c) >= base) return false;
    result = result * base + DigitValue(c);
    if (result > std::numeric_limits<std::uint32_t>::max()) return false;
  }
  value = static_cast<std::uint32_t>(result);
  return true;
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
    } else if (tag.name == "FUSEBYTES") {
      ParseFuseBytesBlock(content, record.updi.fuses);
    } else if (tag.attributes.empty()) {
      continue;
    } else if (tag.name == "MEMORY") {
      record.flashPageSizeW = ParseNumber(GetAttribute(tag.attributes, "FlashPageSizeW"));
      record.flashNoOfPages = ParseNumber(GetAttribute(tag.attributes, "FlashNoOfPages"));
      record.eepromPageSize = ParseNumber(GetAttribute(tag.attributes, "EEpromPageSize"));
      record.eepromNoOfPages = ParseNumber(GetAttribute(tag.attributes, "EEpromNoOfPages"));
    } else if (tag.name == "HVMODE") {
      record.hvMode = NumberAttribute(tag.attributes, "val");
    } else if (tag.name == "UPDI") {
      ReadUpdiTag(tag.attributes, record.updi);
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

void ParseEnumerator(std::string_view& content, std::map<std::uint32_t, EnumChoice>& choices,
                     bool readValueNames) {
  std::uint32_t valueCount = 0;
  while (!content.empty()) {
    const PartListTag tag = NextTag(content);
    if (tag.name == "/ENUMERATOR") return;
    if (tag.name == "ENUM" && !tag.attributes.empty()) {
      EnumChoice& choice = choices[valueCount++];
      choice.value = NumberAttribute(tag.attributes, "val");
      choice.text = GetAttribute(tag.attributes, "text");
      if (readValueNames) choice.name = GetAttribute(tag.attributes, "name");
    }
  }
}

namespace {

// A whole-number attribute no larger than limit; false when missing, unreadable or larger.
bool WholeAttribute(std::string_view attributes, std::string_view name, std::uint32_t limit,
                    std::uint32_t& value) {
  return ParseWholeNumber(GetAttribute(attributes, name), value) && value <= limit;
}

constexpr std::uint32_t kAny = std::numeric_limits<std::uint32_t>::max();

// Places a complete fuse byte: it replaces a byte of the same offset or name, and the list
// stays in offset order.
void PlaceFuseByte(std::vector<NamedFuseByte>& fuses, NamedFuseByte&& byte) {
  std::erase_if(fuses, [&byte](const NamedFuseByte& f) {
    return f.offset == byte.offset || f.name == byte.name;
  });
  auto at = fuses.begin();
  while (at != fuses.end() && at->offset < byte.offset) ++at;
  fuses.insert(at, std::move(byte));
}

// Starts a fuse byte from its FUSEBYTE tag; false when the byte cannot be placed (no name,
// an offset or default that is missing, unreadable or beyond a byte).
bool StartFuseByte(std::string_view attributes, NamedFuseByte& byte) {
  byte = NamedFuseByte{};
  byte.name = GetAttribute(attributes, "name");
  byte.text = GetAttribute(attributes, "text");
  std::uint32_t offset = 0;
  if (byte.name.empty() || !WholeAttribute(attributes, "offset", 0xFF, offset)) return false;
  byte.offset = static_cast<std::uint8_t>(offset);
  const std::string defaultText = GetAttribute(attributes, "default");
  if (defaultText.empty()) return true;
  std::uint32_t value = 0;
  if (!ParseWholeNumber(defaultText, value) || value > 0xFF) return false;
  byte.hasDefault = true;
  byte.defaultValue = static_cast<std::uint8_t>(value);
  return true;
}

}  // namespace

bool ReadUpdiTag(std::string_view attributes, UpdiLayout& layout) {
  UpdiLayout read;
  std::uint32_t nvm = 0, lockSize = 0, shared = 0, pinValue = 0;
  const bool complete = WholeAttribute(attributes, "nvm", 0xFF, nvm) &&
                        WholeAttribute(attributes, "flash", kAny, read.flashBase) &&
                        WholeAttribute(attributes, "eeprom", kAny, read.eepromBase) &&
                        WholeAttribute(attributes, "userrow", kAny, read.userRowBase) &&
                        WholeAttribute(attributes, "userbytes", kAny, read.userRowSize) &&
                        WholeAttribute(attributes, "sigrow", kAny, read.sigRowBase) &&
                        WholeAttribute(attributes, "fusebase", kAny, read.fuseBase) &&
                        WholeAttribute(attributes, "lockbase", kAny, read.lockBase) &&
                        WholeAttribute(attributes, "lockbytes", 4, lockSize) && lockSize > 0 &&
                        WholeAttribute(attributes, "unlocked", kAny, read.lockOpenValue) &&
                        WholeAttribute(attributes, "pinshared", 1, shared);
  if (!complete) return false;
  if (lockSize < 4 && (read.lockOpenValue >> (8 * lockSize)) != 0) return false;
  const std::string pinText = GetAttribute(attributes, "pinupdi");
  if (!pinText.empty() && (!ParseWholeNumber(pinText, pinValue) || pinValue > 0xFF)) return false;
  read.present = true;
  read.nvmVersion = static_cast<std::uint8_t>(nvm);
  read.lockSize = static_cast<std::uint8_t>(lockSize);
  read.pinShared = shared == 1;
  read.pinFuse = GetAttribute(attributes, "pinfuse");
  read.pinField = GetAttribute(attributes, "pinfield");
  read.pinUpdiValue = static_cast<std::uint8_t>(pinValue);
  read.fuses = std::move(layout.fuses);
  layout = std::move(read);
  return true;
}

void ParseFuseBytesBlock(std::string_view& content, std::vector<NamedFuseByte>& fuses) {
  fuses.clear();
  NamedFuseByte byte;
  bool open = false;    // a FUSEBYTE tag was read and its fields are being collected
  bool usable = false;  // ... and its tag could be placed
  const auto finish = [&] {
    if (open && usable) PlaceFuseByte(fuses, std::move(byte));
    open = usable = false;
  };
  while (!content.empty()) {
    const std::string_view before = content;
    const PartListTag tag = NextTag(content);
    const std::string& n = tag.name;
    if (n == "/FUSEBYTES" || n == "/AVRPART") {
      finish();
      if (n == "/AVRPART") content = before;  // the part's own reader ends the part
      return;
    }
    if (n == "/FUSEBYTE") {
      finish();
    } else if (tag.attributes.empty()) {
      continue;
    } else if (n == "FUSEBYTE") {
      finish();
      open = true;
      usable = StartFuseByte(tag.attributes, byte);
    } else if (IsFieldTag(n) && open) {
      ReadField(content, tag, 0, byte.fields.emplace_back(), true);
    }
  }
  finish();
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

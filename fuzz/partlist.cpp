// Feeds arbitrary bytes to the part list reader as file content and checks that whatever it
// builds is sane: no crash, keys of every list numbered 0..n-1, target bytes in range, names
// trimmed and free of quotes, '>' and line feeds, and every tag scan making progress. Named
// fuse bytes of UPDI parts are named, in strictly rising offset order, each name once.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/text.h"
#include "parts/part_database.h"
#include "parts/part_json.h"
#include "parts/part_list_reader.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

template <typename Map>
void RequireNumberedFromZero(const Map& map) {
  std::uint32_t expected = 0;
  for (const auto& entry : map) Require(entry.first == expected++);
}

void RequireSaneFields(const bq::BitFieldMap& fields, bool lockBits) {
  RequireNumberedFromZero(fields);
  for (const auto& [number, field] : fields) {
    if (lockBits) {
      Require(field.targetByte == bq::kTargetLockBit);
    } else {
      Require(field.targetByte >= bq::kTargetLow && field.targetByte <= bq::kTargetExtended);
    }
    RequireNumberedFromZero(field.choices);
  }
}

// Well-formed UTF-8 without control characters, as JSON text must be.
bool IsCleanUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x20 || b == 0x7F) return false;
    std::size_t n = b < 0x80                 ? 1
                    : b >= 0xC2 && b <= 0xDF ? 2
                    : b >= 0xE0 && b <= 0xEF ? 3
                    : b >= 0xF0 && b <= 0xF4 ? 4
                                             : 0;
    if (n == 0 || i + n > text.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

void RequireSaneUpdi(const bq::UpdiLayout& updi) {
  if (updi.present) Require(updi.lockSize >= 1 && updi.lockSize <= 4);
  for (std::size_t i = 0; i < updi.fuses.size(); ++i) {
    const bq::NamedFuseByte& fuse = updi.fuses[i];
    Require(!fuse.name.empty());
    if (i > 0) Require(updi.fuses[i - 1].offset < fuse.offset);
    for (std::size_t k = 0; k < i; ++k) Require(updi.fuses[k].name != fuse.name);
    for (const bq::BitFieldDesc& field : fuse.fields) {
      Require(field.targetByte == 0);
      RequireNumberedFromZero(field.choices);
    }
  }
}

void CheckDatabase(bq::PartDatabase& db) {
  db.FinishLoad();
  Require(db.loaded() == (db.size() > 0));
  for (const auto& [name, record] : db.parts()) {
    Require(!name.empty());
    Require(name == bq::TrimBlanks(name));
    Require(name.find_first_of("\">\n") == std::string::npos);
    RequireNumberedFromZero(record.osccal);
    RequireSaneFields(record.fuseBits, false);
    RequireSaneFields(record.lockBits, true);
    RequireSaneUpdi(record.updi);
    const std::string json = bq::PartRecordJson(name, record);
    Require(json.front() == '{' && json.back() == '}');
    Require(IsCleanUtf8(json));
  }
  // A full enumeration yields every name once, in order, then false.
  std::string name;
  for (const auto& entry : db.parts()) {
    Require(db.NextPartName(name));
    Require(name == entry.first);
  }
  Require(!db.NextPartName(name));
  if (!db.parts().empty()) {
    const std::string& first = db.parts().begin()->first;
    Require(db.SelectPartByName(first));
    Require(db.SelectPartBySignature(db.SelectedPart().signature));
    Require(db.PartNameForSignature(db.SelectedPart().signature) == db.selectedName());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string content = bq::JoinPartListLines(raw);
  Require(content.size() <= raw.size());

  // Every tag taken must shorten the content, or loading could hang.
  std::string_view rest = content;
  while (!rest.empty()) {
    const std::size_t before = rest.size();
    const bq::PartListTag tag = bq::NextTag(rest);
    Require(rest.size() < before);
    Require(tag.attributes == bq::TrimBlanksView(tag.attributes));
    Require(tag.name == bq::ToUpperAscii(tag.name));
  }

  bq::PartDatabase db;
  bq::ParsePartList(content, db);
  CheckDatabase(db);

  // Numbers written in decimal read back as themselves.
  std::uint32_t number = 0;
  std::memcpy(&number, data, size < sizeof number ? size : sizeof number);
  Require(bq::ParseNumber(std::to_string(number)) == number);
  Require(bq::ParseNumber(raw) == bq::ParseNumber(raw));
  std::uint32_t whole = 0;
  Require(bq::ParseWholeNumber(std::to_string(number), whole) && whole == number);
  if (bq::ParseWholeNumber(raw, whole)) Require(whole == bq::ParseNumber(raw));
  return 0;
}

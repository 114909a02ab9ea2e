#pragma once
// Reader of the part list file: a flat run of <TAG attr="value"> tags, scanned front to back.
// Nothing in the file is a syntax error; unknown or incomplete tags are skipped.
// The content is consumed through a std::string_view cursor, so reading is linear in its size.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "parts/part_database.h"
#include "parts/part_record.h"

namespace bq {

// Reads the file and joins its lines with nothing between them (LF and CR LF dropped, a last
// line without terminator kept). False when the file cannot be opened.
bool ReadPartListText(const std::string& fileName, std::string& content);
// The line joining of ReadPartListText on text already in memory.
std::string JoinPartListLines(std::string_view raw);

struct PartListTag {
  std::string name;             // upper-cased; empty when the content held no complete tag
  std::string_view attributes;  // trimmed text after the first space; points into the content
};

// Takes the next tag from the front of content and advances content past it. Without a
// complete tag left, content becomes empty and the name is empty.
PartListTag NextTag(std::string_view& content);

// Value of attribute `name` (case-insensitive, first occurrence anywhere in the text), trimmed;
// "" when the name or a quote is missing.
std::string GetAttribute(std::string_view attributes, std::string_view name);

// Unsigned 32-bit number with base detection (0x hex, leading 0 octal, else decimal), optional
// sign, stops at the first non-digit. A text that cannot be read (no digit, or a value beyond
// 32 bits) gives 0.
std::uint32_t ParseNumber(std::string_view text);

// A number of the UPDI tags, where a misread address would reach the wrong memory: the whole
// text must be one unsigned number (0x hex, leading 0 octal, else decimal) that fits 32 bits.
// False for an empty text, a sign, trailing characters or an overflow.
bool ParseWholeNumber(std::string_view text, std::uint32_t& value);

// Readers of each level. Each consumes content up to its closing tag or to the end.
void ParsePartList(std::string_view content, PartDatabase& db);
void ParsePartBody(std::string_view& content, PartRecord& record);
void ParseFuseBlock(std::string_view& content, PartRecord& record);
void ParseLockBitBlock(std::string_view& content, PartRecord& record);
void ParseEnumerator(std::string_view& content, std::map<std::uint32_t, EnumChoice>& choices,
                     bool readValueNames = false);
// The attributes of a UPDI tag; false (layout untouched) when one is missing or out of range.
bool ReadUpdiTag(std::string_view attributes, UpdiLayout& layout);
// A FUSEBYTES block: the part's named fuse bytes, afresh, up to /FUSEBYTES.
void ParseFuseBytesBlock(std::string_view& content, std::vector<NamedFuseByte>& fuses);

}  // namespace bq

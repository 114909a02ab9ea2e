#pragma once
// Fuse and lock fields as values on bytes, without an editor: find a field by name, read a
// value given as a number or a named value's text, put it into the bytes, show it.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "link/fuse_bytes.h"
#include "parts/part_record.h"

namespace bq {

// A change asked for: a whole byte (mask 0xFF) or one field's bits.
struct FuseChange {
  std::string name;         // "LOW", "HIGH", "EXTENDED", "LOCKBIT" or the field's name
  std::uint8_t target = 0;  // TargetByte
  std::uint8_t mask = 0;
  std::uint8_t bits = 0;    // the new bits, already in place under mask
  bool field = false;
};

// "LOW", "HIGH", "EXTENDED", "LOCKBIT".
const char* FuseByteName(std::uint8_t target);

// The field of that name (any letter case), or null.
const BitFieldDesc* FindFuseField(const BitFieldMap& fields, const std::string& name);

// A strict unsigned number (0x hex, leading 0 octal, decimal) no larger than max.
bool ParseFuseNumber(const std::string& text, std::uint32_t max, std::uint32_t& value);

// "FIELD=VALUE" as a change; the value is a number that fits the field or, for a field with
// named values, a value's text. An error text (empty when fine) names what is wrong.
std::string ParseFieldWord(const BitFieldMap& fields, const std::string& word, FuseChange& change);

// A whole byte given as a number.
std::string ParseByteWord(std::uint8_t target, const std::string& text, FuseChange& change);

// Whole bytes given by target (LOW, HIGH, EXTENDED or LOCKBIT), then FIELD=VALUE words, as
// changes in that order; only bytes present in `bytes` may be changed. An error text
// (empty when fine) names the first word that is wrong.
std::string ParseFuseChanges(const BitFieldMap& fields, const FuseByteSlots& bytes,
                             const std::vector<std::pair<std::uint8_t, std::string>>& wholeBytes,
                             const std::vector<std::string>& fieldWords,
                             std::vector<FuseChange>& changes);

// For a verify of what was given: a line for each change whose bits differ on the chip
// ("CKDIV8: the chip has 1, 0 expected"); none when the chip matches.
std::vector<std::string> FuseDifferences(const std::vector<FuseChange>& changes,
                                         const FuseByteSlots& chip, const FuseByteSlots& wanted);

// Applies the changes in order (a later one wins where they overlap).
void ApplyFuseChanges(FuseByteSlots& bytes, const std::vector<FuseChange>& changes);

// The field's value (shifted down) in the bytes.
std::uint8_t FuseFieldValue(const FuseByteSlots& bytes, const BitFieldDesc& field);

// What the fuse editor shows for the field: the named value's text, or "[x]" for a
// programmed one-bit field (0) and "[ ]" otherwise.
std::string FuseFieldDisplay(const FuseByteSlots& bytes, const BitFieldDesc& field);

// The bytes a part has, with its default values: a fuse byte is present when the part
// gives its default (as the fuse editor decides it); the lock byte always, 0xFF.
FuseByteSlots DefaultFuseBytes(const PartRecord& part);

}  // namespace bq

#pragma once
// The fuse bytes of a UPDI part by name (WDTCFG, BODCFG, SYSCFG0, ...) as values: find a byte
// or a field, read and set a field, the factory bytes, the NAME=VALUE assignments of the
// command line, and the read, write and verify of them on a chip session with their log lines.
//
// Bytes are kept as a vector indexed by offset from the part's fuse base, as the session reads
// them; an offset the part names no byte at is carried but never written.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/log_entry.h"
#include "parts/part_record.h"
#include "session/chip_session.h"

namespace bq {

// As many bytes as the part's last named fuse byte reaches (offset + 1).
std::size_t NamedFuseSpan(const UpdiLayout& layout);

// The byte of that name (any letter case), or null.
const NamedFuseByte* FindNamedFuseByte(const UpdiLayout& layout, const std::string& name);
// The field of that name (any letter case) in the byte, or null.
const BitFieldDesc* FindNamedFuseField(const NamedFuseByte& byte, const std::string& name);

// (byte AND mask) shifted down to the mask's lowest set bit.
std::uint8_t NamedFieldValue(std::uint8_t byte, const BitFieldDesc& field);
// The byte with the field set to value (counted from the mask's lowest bit; bits of a value
// too wide for the field are dropped, never put into the neighbouring fields).
std::uint8_t WithNamedFieldValue(std::uint8_t byte, const BitFieldDesc& field, std::uint32_t value);
// The largest value the field holds.
std::uint32_t NamedFieldMax(const BitFieldDesc& field);
// Text of the first named value equal to value; "" when none is.
std::string NamedChoiceText(const BitFieldDesc& field, std::uint32_t value);
// "0x2 (2.6 V)", or "0x1" for a value without a name.
std::string NamedFieldValueText(const BitFieldDesc& field, std::uint32_t value);

// What "Set Default" gives: each byte with a factory value set to it; the others as in `from`
// (0xFF where `from` is too short).
std::vector<std::uint8_t> DefaultNamedFuses(const UpdiLayout& layout,
                                            const std::vector<std::uint8_t>& from = {});
// Every byte the part names, with its value in `bytes` (0xFF where `bytes` is too short).
std::vector<NamedFuseValue> NamedFuseValues(const UpdiLayout& layout,
                                            const std::vector<std::uint8_t>& bytes);

// One line of `fuses read`: "NAME\t0xVV" then "\tFIELD=0xV (named value)" for each field.
std::string NamedFuseLine(const NamedFuseByte& byte, std::uint8_t value);

// One NAME=VALUE (a whole byte) or BYTE.FIELD=VALUE assignment. The value is a number (0x hex,
// leading 0 octal, decimal) that fits, or for a field one of its named values.
struct NamedFuseAssignment {
  std::string name;  // "SYSCFG0" or "BODCFG.ACTIVE", as the part names them
  std::uint8_t offset = 0;
  std::uint8_t mask = 0xFF;
  std::uint8_t bits = 0;  // the new bits, in place under mask
  bool operator==(const NamedFuseAssignment&) const = default;
};

// Parses one word; an error text (empty when fine) says what is wrong and names the closest
// byte, field or value the part has.
std::string ParseNamedFuseAssignment(const UpdiLayout& layout, const std::string& word,
                                     NamedFuseAssignment& assignment);
// Every word in order; the error of the first wrong one.
std::string ParseNamedFuseAssignments(const UpdiLayout& layout,
                                      const std::vector<std::string>& words,
                                      std::vector<NamedFuseAssignment>& assignments);
// Applies them in order (a later one wins where they overlap); bytes grow to reach them.
void ApplyNamedFuseAssignments(std::vector<std::uint8_t>& bytes,
                               const std::vector<NamedFuseAssignment>& assignments);
// A line for each assignment the chip's bytes do not hold ("SYSCFG0.RSTPINCFG: the chip has
// 0x1 (UPDI mode), 0x0 (GPIO mode) expected"); none when they all match.
std::vector<std::string> NamedFuseDifferences(const UpdiLayout& layout,
                                              const std::vector<NamedFuseAssignment>& assignments,
                                              const std::vector<std::uint8_t>& chip);

// The operations with their log lines ("Read fuses", "Read SYSCFG0: 0xC4", ...).
using NamedFuseLog = std::function<void(LogKind, const std::string&)>;
// Reads every byte; bytes.size() is NamedFuseSpan afterwards.
SessionResult ReadNamedFuseBytes(ChipSession& session, const UpdiLayout& layout,
                                 std::vector<std::uint8_t>& bytes, const NamedFuseLog& log);
// Writes these bytes, reads them back and compares the bits the part defines: a write the chip
// did not take is a Mismatch naming the bytes, never a success.
SessionResult WriteNamedFuseBytes(ChipSession& session, const UpdiLayout& layout,
                                  const std::vector<NamedFuseValue>& values,
                                  const NamedFuseLog& log);
// Compares these bytes with the chip's; "Fuse bits verification OK" or "... FAILED".
SessionResult VerifyNamedFuseBytes(ChipSession& session, const UpdiLayout& layout,
                                   const std::vector<NamedFuseValue>& values,
                                   const NamedFuseLog& log);

}  // namespace bq

#pragma once
// The names a part answers to: its exact name from the part list, the same name in any letter
// case ("attiny85"), or its short id ("t85"). The same names work wherever a part is named:
// the command line, the simulator's port names and brindlequartz-sim --part.

#include <cstddef>
#include <string>
#include <vector>

#include "parts/part_database.h"

namespace bq {

// The short id of a part name, built by one rule, all lower case: "m" + what follows
// "ATmega", "t" + what follows "ATtiny", "usb" / "can" + what follows "AT90USB" / "AT90CAN"
// (the prefix in any case): ATmega328P -> m328p, ATtiny85 -> t85, AT90USB1287 -> usb1287,
// AT90CAN128 -> can128. Empty for every other name, and for a bare prefix.
std::string PartShortId(const std::string& name);

// The part a user named, or null. Tried in order: the exact name; the name in any letter case;
// the short id in any letter case. A name or id that fits two parts in the second or third
// step (a list holding both "ATmega8" and "ATMEGA8") is ambiguous and gives null, so that a
// guess never picks the chip; NearestPartNames then offers both. canonicalName, when not null,
// receives the part's name as in the list (left alone on null).
const PartRecord* FindPartByAnyName(const PartDatabase& parts, const std::string& given,
                                    std::string* canonicalName);

// For "did you mean ...": up to max part names or short ids closest to given (see
// NearestNames), a short id where the given text was closer to it than to the name.
std::vector<std::string> NearestPartNames(const PartDatabase& parts, const std::string& given,
                                          std::size_t max);

// "no part named 'given' in WHERE; did you mean A, B or C?", the question only when some
// part comes close.
std::string NoSuchPartText(const PartDatabase& parts, const std::string& given,
                           const std::string& where);

}  // namespace bq

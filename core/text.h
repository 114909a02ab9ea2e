#pragma once
// Small text helpers shared by the part list reader and the file layer.

#include <cstdint>
#include <string>
#include <string_view>

namespace bq {

// Removes " \t\r\n" at both ends; an all-blank text gives "".
std::string TrimBlanks(std::string_view text);
std::string_view TrimBlanksView(std::string_view text);

// a..z become A..Z, every other byte stays.
std::string ToUpperAscii(std::string_view text);
// A..Z become a..z, every other byte stays.
std::string ToLowerAscii(std::string_view text);

// A byte as the programs print it: "0x0A".
std::string Hex2(std::uint8_t value);

}  // namespace bq

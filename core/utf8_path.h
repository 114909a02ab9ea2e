#pragma once
// File names inside the program are UTF-8 text. On Windows the system's narrow file
// functions read a name in the ANSI code page, so a name such as "Jürgen_日本.hex" would
// not open; every place that opens, inspects, renames or removes a file goes through these
// helpers, which hand Windows the name in UTF-16. Elsewhere the bytes pass unchanged.

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace bq {

// The path for a UTF-8 file name (on Windows decoded to UTF-16; bytes that are not UTF-8
// become U+FFFD, so such a name opens nothing rather than another file).
std::filesystem::path PathFromUtf8(std::string_view utf8);

// The UTF-8 text of a path; PathFromUtf8 gives the same path back.
std::string Utf8FromPath(const std::filesystem::path& path);

// std::fopen for a UTF-8 file name; null when the file cannot be opened.
std::FILE* OpenFileUtf8(const std::string& utf8, const char* mode);

// UTF-16 text (Windows file names, wide command lines) as UTF-8, and back. A lone
// surrogate, which Windows allows in a file name, is kept as its three-byte form so that
// the name still round-trips.
std::string Utf8FromUtf16(std::u16string_view text);
std::u16string Utf16FromUtf8(std::string_view text);
#ifdef _WIN32
// The same for the system's wide strings.
std::string Utf8FromWide(std::wstring_view text);
std::wstring WideFromUtf8(std::string_view text);
#endif

}  // namespace bq

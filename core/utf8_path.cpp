#include "core/utf8_path.h"

#ifdef _WIN32
#include <wchar.h>
#endif

namespace bq {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Appends the UTF-8 form of one code point (a lone surrogate gets its three-byte form).
void PutUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

template <typename Unit>
std::string EncodeUtf8(std::basic_string_view<Unit> text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      const char32_t low = static_cast<char16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    PutUtf8(out, c);
  }
  return out;
}

// The code point that starts at text[i], advancing i past it; kReplacement (advancing one
// byte) for a byte that does not start a well-formed sequence.
char32_t NextCodePoint(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  // Sequence length, bits of the lead byte, lowest code point (shorter forms are refused).
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  static constexpr char32_t kLeadBits[] = {0, 0, 0x1F, 0x0F, 0x07};
  static constexpr char32_t kLowest[] = {0, 0, 0x80, 0x800, 0x10000};
  char32_t c = lead & kLeadBits[length];
  const char32_t lowest = kLowest[length];
  if (length == 0 || i + length > text.size()) {
    ++i;
    return kReplacement;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    c = (c << 6) | (next & 0x3F);
  }
  if (c < lowest || c > 0x10FFFF) {
    ++i;
    return kReplacement;
  }
  i += length;
  return c;
}

template <typename Unit>
std::basic_string<Unit> DecodeUtf8(std::string_view text) {
  std::basic_string<Unit> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char32_t c = NextCodePoint(text, i);
    if (c >= 0x10000) {
      out.push_back(static_cast<Unit>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<Unit>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<Unit>(c));
    }
  }
  return out;
}

}  // namespace

std::string Utf8FromUtf16(std::u16string_view text) {
  return EncodeUtf8(text);
}

std::u16string Utf16FromUtf8(std::string_view text) {
  return DecodeUtf8<char16_t>(text);
}

#ifdef _WIN32

std::string Utf8FromWide(std::wstring_view text) {
  return EncodeUtf8(text);
}

std::wstring WideFromUtf8(std::string_view text) {
  return DecodeUtf8<wchar_t>(text);
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(WideFromUtf8(utf8));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  return Utf8FromWide(path.native());
}

std::FILE* OpenFileUtf8(const std::string& utf8, const char* mode) {
  return _wfopen(WideFromUtf8(utf8).c_str(), WideFromUtf8(mode).c_str());
}

#else

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::string(utf8));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  return path.native();
}

std::FILE* OpenFileUtf8(const std::string& utf8, const char* mode) {
  return std::fopen(utf8.c_str(), mode);
}

#endif

}  // namespace bq

// UTF-8 file names and their UTF-16 form, as Windows sees them.

#include "core/utf8_path.h"

#include <gtest/gtest.h>

namespace bq::test {
namespace {

// Windows paths are UTF-16, so broken bytes cannot come back; elsewhere names are bytes.
#ifdef _WIN32
constexpr bool kWindowsPaths = true;
#else
constexpr bool kWindowsPaths = false;
#endif

TEST(Utf8Path, TextConvertsBothWaysAndBrokenBytesOpenNothing) {
  struct Case {
    const char* what;
    std::string utf8;
    std::u16string utf16;
    bool roundTrip;  // the UTF-16 form gives the same bytes back
  };
  const Case cases[] = {
      {"ASCII", "fw.hex", u"fw.hex", true},
      {"Latin and CJK", "J\xC3\xBCrgen_\xE6\x97\xA5\xE6\x9C\xAC.hex",
       u"J\u00FCrgen_\u65E5\u672C.hex", true},
      {"outside the basic plane", "\xF0\x9F\x94\xA7.bin", u"\U0001F527.bin", true},
      {"lone surrogate, allowed in Windows names", "a\xED\xA0\x80", std::u16string{u'a', 0xD800},
       true},
      {"stray continuation byte", "a\x80z", u"a\uFFFDz", false},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD", false},
      {"cut-off sequence", "x\xE6\x97", u"x\uFFFD\uFFFD", false},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Utf16FromUtf8(c.utf8), c.utf16);
    EXPECT_EQ(Utf8FromUtf16(c.utf16) == c.utf8, c.roundTrip);
    EXPECT_EQ(Utf8FromPath(PathFromUtf8(c.utf8)) == c.utf8, c.roundTrip || !kWindowsPaths);
  }
}

}  // namespace
}  // namespace bq::test

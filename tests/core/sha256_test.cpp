#include "core/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace bq {
namespace {

const std::uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// The test vectors of FIPS 180-4's examples, whole and fed in pieces that cross the
// 64-byte blocks.
TEST(Sha256, GivesTheFipsDigests) {
  const struct {
    std::string message;
    const char* digest;
  } vectors[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(Sha256Hex(Bytes(v.message), v.message.size()), v.digest) << v.message.size();
    for (const std::size_t piece : {1u, 7u, 63u, 65u}) {
      Sha256 hash;
      for (std::size_t at = 0; at < v.message.size(); at += piece) {
        hash.Update(Bytes(v.message) + at, std::min(piece, v.message.size() - at));
      }
      std::string hex;
      for (const std::uint8_t byte : hash.Final()) {
        static constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
      }
      EXPECT_EQ(hex, v.digest) << v.message.size() << " bytes in pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace bq

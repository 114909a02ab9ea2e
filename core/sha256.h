#pragma once
// SHA-256 (FIPS 180-4), small and dependency-free: the production log records the hash of
// every image written to a chip, and no hashing library builds into every program we ship.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace bq {

class Sha256 {
 public:
  Sha256();
  void Update(const std::uint8_t* data, std::size_t size);
  // The digest; the object is spent afterwards (start a new one for another message).
  std::array<std::uint8_t, 32> Final();

 private:
  void Block(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes hashed so far
};

// The digest of size bytes as 64 lowercase hexadecimal digits, as sha256sum prints it.
std::string Sha256Hex(const std::uint8_t* data, std::size_t size);

}  // namespace bq

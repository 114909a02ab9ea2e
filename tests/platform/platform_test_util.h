#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "link/serial_connection.h"

namespace bq::test {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline Bytes Packet(std::uint8_t code, const Bytes& payload = {}) {
  Bytes b{0x48, 0x56, code, static_cast<std::uint8_t>(payload.size() >> 8),
          static_cast<std::uint8_t>(payload.size())};
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

// Reads up to n bytes in one Read; the result keeps what arrived, or is empty on -1.
struct ReadResult {
  long count = 0;
  Bytes bytes;
  double seconds = 0;
};
inline ReadResult TimedRead(SerialConnection& c, std::size_t n) {
  ReadResult r;
  r.bytes.resize(n);
  const auto t0 = Clock::now();
  r.count = c.Read(r.bytes.data(), n);
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.bytes.resize(r.count > 0 ? static_cast<std::size_t>(r.count) : 0);
  return r;
}

// One packet out, one answer of answerBytes back.
inline Bytes Exchange(SerialConnection& c, const Bytes& packet, std::size_t answerBytes) {
  if (!c.Write(packet.data(), packet.size())) return {};
  return TimedRead(c, answerBytes).bytes;
}

// A fresh folder under the system temp folder, removed at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "bq-test-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace bq::test

#pragma once
// Real files in a fresh temporary folder, and the external tools the tests compare with.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "image/memory_buffer.h"

namespace bq::test {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Suite, test, a random number and the clock: parallel runs never share a folder, also
    // where std::random_device is deterministic (some Windows runtimes).
    std::random_device seed;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    folder_ = fs::temp_directory_path() /
              ("bq_image_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
               std::to_string(seed()) + "_" + std::to_string(now));
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(folder_, ec);
  }
  std::string pathOf(const std::string& name) const { return (folder_ / name).string(); }

  fs::path folder_;
};

inline Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline Bytes RandomBytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(count);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

inline bool AllErased(const MemoryBuffer& buffer) {
  for (std::uint32_t i = 0; i < buffer.capacity(); ++i) {
    if (buffer.data()[i] != 0xFF) return false;
  }
  return true;
}

inline Bytes BufferBytes(const MemoryBuffer& buffer, std::size_t count) {
  return Bytes(buffer.data(), buffer.data() + count);
}

inline void FillBuffer(MemoryBuffer& buffer, const Bytes& bytes, std::uint32_t at = 0) {
  std::copy(bytes.begin(), bytes.end(), buffer.data() + at);
}

// True when the program can be found on PATH.
// The commands are POSIX shell lines: on Windows no tool counts as present.
inline bool ToolPresent(const std::string& tool) {
#ifdef _WIN32
  (void)tool;
  return false;
#else
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
#endif
}

// Runs a shell command; true when it exits with 0.
inline bool RunCommand(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

inline std::string Quote(const std::string& text) {
  return "'" + text + "'";
}

}  // namespace bq::test

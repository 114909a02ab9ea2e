#pragma once
// Real part list files in a scratch folder for the loader tests.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "parts/part_database.h"

namespace bq::test {

// A folder under the system temp directory, removed with everything in it at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("bq_parts_" + std::to_string(stamp) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // Writes the bytes exactly as given (no newline translation) and returns the file's path.
  std::string Write(const std::string& name, std::string_view bytes) const {
    const auto file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file.string();
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes text to a fresh file and loads it.
inline std::int32_t LoadText(PartDatabase& db, std::string_view text) {
  const ScratchFolder folder;
  return LoadPartList(db, folder.Write("PartList.cfg", text));
}

// The made-up chip used throughout the documentation of the part list format.
inline constexpr std::string_view kDemo8 = R"(  <AVRPART name="DEMO-8" signature="0x1E9999">
    <MEMORY FlashPageSizeW="32" FlashNoOfPages="128" EEpromPageSize="4" EEpromNoOfPages="128">
    <HVMODE val="1">
    <OSCCAL val="0x00" text="8.0 MHz">
    <FUSE>
      <LOW>
        <ENUMERATOR name="CKSEL" text="Clock source" mask="0x0F">
          <ENUM val="0x0" text="External clock">
          <ENUM val="0x2" text="Internal RC oscillator">
        </ENUMERATOR>
        <BIT name="CKOUT" text="Clock output" mask="0x40">
      </LOW>
      <HIGH>
        <BIT name="EESAVE" text="Preserve EEPROM through chip erase" mask="0x08">
      </HIGH>
      <DEFAULTLOW val="0x62">
      <DEFAULTHIGH val="0xD9">
    </FUSE>
    <LOCKBIT>
      <ENUMERATOR name="LB" text="Lock mode" mask="0x03">
        <ENUM val="3" text="No lock">
        <ENUM val="0" text="Programming and verification disabled">
      </ENUMERATOR>
    </LOCKBIT>
  </AVRPART>
)";

}  // namespace bq::test

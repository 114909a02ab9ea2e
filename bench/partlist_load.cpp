// Load time of the part list per MiB for a 1 MiB and an 8 MiB file of realistic entries.
// The reader must stay linear: the 8 MiB file may cost at most 1.3 times as much per MiB.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "parts/part_database.h"

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// One chip entry shaped like the ones people write: geometry, calibration bytes, three fuse
// bytes with enumerators and plain bits, defaults and a lock byte.
std::string Entry(unsigned index) {
  const std::string n = std::to_string(index);
  std::string e;
  e += "  <AVRPART name=\"SYN-" + n + "\" signature=\"" + Hex(0x1E0000u + (index & 0xFFFFu), 6) +
       "\">\r\n";
  e += "    <MEMORY FlashPageSizeW=\"32\" FlashNoOfPages=\"" + std::to_string(64 + index % 448) +
       "\" EEpromPageSize=\"4\" EEpromNoOfPages=\"128\">\r\n";
  e += "    <HVMODE val=\"" + std::to_string(1 + index % 4) + "\">\r\n";
  for (unsigned i = 0; i < 4; ++i) {
    e += "    <OSCCAL val=\"" + Hex(i, 2) + "\" text=\"" + std::to_string(i + 1) + ".0 MHz\">\r\n";
  }
  e += "    <FUSE>\r\n      <LOW>\r\n";
  e += "        <ENUMERATOR name=\"CKSEL\" text=\"Clock source\" mask=\"0x0F\">\r\n";
  static const char* const kClocks[] = {"External clock", "Internal RC oscillator 8 MHz",
                                        "Internal RC oscillator 128 kHz", "Crystal oscillator"};
  for (unsigned i = 0; i < 4; ++i) {
    e += "          <ENUM val=\"" + Hex(i * 2, 1) + "\" text=\"" + kClocks[i] + "\">\r\n";
  }
  e += "        </ENUMERATOR>\r\n";
  e += "        <BIT name=\"CKDIV8\" text=\"Divide clock by 8\" mask=\"0x80\">\r\n";
  e += "        <BIT name=\"CKOUT\" text=\"Clock output\" mask=\"0x40\">\r\n      </LOW>\r\n";
  e += "      <HIGH>\r\n";
  e += "        <BIT name=\"RSTDISBL\" text=\"External reset disable\" mask=\"0x80\">\r\n";
  e += "        <BIT name=\"SPIEN\" text=\"Serial programming enable\" mask=\"0x20\">\r\n";
  e += "        <BIT name=\"EESAVE\" text=\"Preserve EEPROM through chip erase\" mask=\"0x08\">\r\n";
  e += "        <ENUMERATOR name=\"BOOTSZ\" text=\"Boot flash size\" mask=\"0x06\">\r\n";
  for (unsigned i = 0; i < 4; ++i) {
    e += "          <ENUM val=\"" + std::to_string(i) + "\" text=\"Boot size " +
         std::to_string(128u << i) + " words\">\r\n";
  }
  e += "        </ENUMERATOR>\r\n      </HIGH>\r\n";
  e += "      <EXTENDED>\r\n        <ENUMERATOR name=\"BODLEVEL\" text=\"Brown-out detection\" "
       "mask=\"0x07\">\r\n";
  e += "          <ENUM val=\"7\" text=\"Disabled\">\r\n          <ENUM val=\"6\" text=\"1.8 V\">\r\n";
  e += "          <ENUM val=\"5\" text=\"2.7 V\">\r\n          <ENUM val=\"4\" text=\"4.3 V\">\r\n";
  e += "        </ENUMERATOR>\r\n      </EXTENDED>\r\n";
  e += "      <DEFAULTLOW val=\"0x62\">\r\n      <DEFAULTHIGH val=\"0xD9\">\r\n";
  e += "      <DEFAULTEXTENDED val=\"0xFF\">\r\n    </FUSE>\r\n";
  e += "    <LOCKBIT>\r\n      <ENUMERATOR name=\"LB\" text=\"Lock mode\" mask=\"0x03\">\r\n";
  e += "        <ENUM val=\"3\" text=\"No lock\">\r\n";
  e += "        <ENUM val=\"2\" text=\"Programming disabled\">\r\n";
  e += "        <ENUM val=\"0\" text=\"Programming and verification disabled\">\r\n";
  e += "      </ENUMERATOR>\r\n    </LOCKBIT>\r\n  </AVRPART>\r\n";
  return e;
}

// Writes entries until the file reaches the size; returns the number of parts written.
std::int32_t WritePartList(const std::filesystem::path& file, std::size_t bytes) {
  std::string text = "<?xml version=\"1.0\"?>\r\n<!-- synthetic part list -->\r\n";
  std::int32_t parts = 0;
  while (text.size() < bytes) text += Entry(static_cast<unsigned>(parts++));
  std::ofstream(file, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
  return parts;
}

struct Sample {
  std::filesystem::path file;
  std::int32_t parts = 0;
  double bestMsPerMiB = 1e300;
};

// Loads the file once and keeps the best time per MiB; false when the part count is off.
bool Measure(Sample& sample) {
  const double mib = static_cast<double>(std::filesystem::file_size(sample.file)) / kMiB;
  bq::PartDatabase db;
  const auto start = std::chrono::steady_clock::now();
  const std::int32_t parts = bq::LoadPartList(db, sample.file.string());
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  if (parts != sample.parts) {
    std::printf("partlist_load: loaded %d parts, expected %d\n", parts, sample.parts);
    return false;
  }
  sample.bestMsPerMiB = std::min(sample.bestMsPerMiB, took.count() / mib);
  return true;
}

}  // namespace

int main() {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("bq_partlist_bench_" + std::to_string(std::chrono::steady_clock::now()
                                                                 .time_since_epoch()
                                                                 .count()));
  std::filesystem::create_directories(folder);
  Sample small{folder / "small.cfg"};
  Sample large{folder / "large.cfg"};
  small.parts = WritePartList(small.file, 1 * kMiB);
  large.parts = WritePartList(large.file, 8 * kMiB);

  // Interleaved, so that both sizes see the same load on a shared machine; best of each.
  bool ok = true;
  for (int run = 0; run < 7 && ok; ++run) {
    for (int i = 0; i < 4 && ok; ++i) ok = Measure(small);
    ok = ok && Measure(large);
  }
  std::filesystem::remove_all(folder);
  if (!ok) return 1;
  const double smallMs = small.bestMsPerMiB;
  const double largeMs = large.bestMsPerMiB;
  const std::int32_t smallParts = small.parts;
  const std::int32_t largeParts = large.parts;

  const double ratio = largeMs / smallMs;
  std::printf("partlist_load_1MiB: measured %.2f ms/MiB (%d parts)\n", smallMs, smallParts);
  std::printf("partlist_load_8MiB: measured %.2f ms/MiB (%d parts)\n", largeMs, largeParts);
  std::printf("partlist_load_scaling: measured %.2f, reference 1.0, ratio %.2f (target < 1.3)\n",
              ratio, ratio);
  return ratio < 1.3 ? 0 : 1;
}

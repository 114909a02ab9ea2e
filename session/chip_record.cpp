#include "session/chip_record.h"

#include <cstdio>

namespace bq {

namespace {

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
      out += escaped;
    } else {
      out += c;  // UTF-8 passes as it is
    }
  }
  return out + "\"";
}

std::string Version(std::uint32_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X.%02X", (v >> 8) & 0xFFu, v & 0xFFu);
  return text;
}

}  // namespace

std::string IsoUtcTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{floor<seconds>(time - day)};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::string ChipRecordJson(const ChipRecord& r) {
  auto optionalText = [](const std::optional<std::string>& text) {
    return text ? Quoted(*text) : std::string("null");
  };
  char signature[16] = "null";
  if (r.signature) std::snprintf(signature, sizeof signature, "\"0x%06X\"", *r.signature);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", r.seconds);
  return "{\"time\":" + Quoted(IsoUtcTime(r.time)) + ",\"port\":" + Quoted(r.port) +
         ",\"chip\":" + std::to_string(r.chip) + ",\"part\":" + Quoted(r.part) +
         ",\"signature\":" + signature +
         ",\"serial\":" + (r.serial ? std::to_string(*r.serial) : "null") +
         ",\"result\":" + (r.passed ? "\"PASS\"" : "\"FAIL\"") +
         ",\"step\":" + (r.passed ? "null" : Quoted(r.step)) +
         ",\"reason\":" + (r.passed ? "null" : Quoted(r.reason)) + ",\"seconds\":" + seconds +
         ",\"sha256\":{\"flash\":" + optionalText(r.flashSha256) +
         ",\"eeprom\":" + optionalText(r.eepromSha256) +
         (r.userRowSha256 ? ",\"userrow\":" + Quoted(*r.userRowSha256) : std::string()) +
         "},\"tool\":" + Quoted(r.tool) + ",\"hardware\":" + Quoted(Version(r.hardware)) +
         ",\"firmware\":" + Quoted(Version(r.firmware)) + "}";
}

}  // namespace bq

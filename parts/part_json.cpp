#include "parts/part_json.h"

#include <string_view>

namespace bq {

namespace {

void AppendString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte > 0x7E) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendKey(std::string& out, std::string_view key) {
  AppendString(out, key);
  out += ':';
}

void AppendDefault(std::string& out, std::string_view key, bool given, std::uint8_t value) {
  AppendKey(out, key);
  out += given ? std::to_string(value) : "null";
  out += ',';
}

void AppendFields(std::string& out, const BitFieldMap& fields) {
  out += '[';
  bool firstField = true;
  for (const auto& [number, field] : fields) {
    if (!firstField) out += ',';
    firstField = false;
    out += '{';
    AppendKey(out, "name");
    AppendString(out, field.name);
    out += ',';
    AppendKey(out, "text");
    AppendString(out, field.text);
    out += ',';
    AppendKey(out, "mask");
    out += std::to_string(field.mask);
    out += ',';
    AppendKey(out, "isEnumerator");
    out += field.isEnumerator ? "true" : "false";
    out += ',';
    AppendKey(out, "targetByte");
    out += std::to_string(field.targetByte);
    out += ',';
    AppendKey(out, "choices");
    out += '[';
    bool firstChoice = true;
    for (const auto& [n, choice] : field.choices) {
      if (!firstChoice) out += ',';
      firstChoice = false;
      out += '{';
      AppendKey(out, "value");
      out += std::to_string(choice.value);
      out += ',';
      AppendKey(out, "text");
      AppendString(out, choice.text);
      out += '}';
    }
    out += "]}";
  }
  out += ']';
}

}  // namespace

std::string PartRecordJson(const std::string& name, const PartRecord& r) {
  std::string out = "{";
  AppendKey(out, "name");
  AppendString(out, name);
  out += ",\"signature\":" + std::to_string(r.signature);
  out += ",\"flashPageSizeW\":" + std::to_string(r.flashPageSizeW);
  out += ",\"flashNoOfPages\":" + std::to_string(r.flashNoOfPages);
  out += ",\"eepromPageSize\":" + std::to_string(r.eepromPageSize);
  out += ",\"eepromNoOfPages\":" + std::to_string(r.eepromNoOfPages);
  out += ",\"hvMode\":" + std::to_string(r.hvMode) + ",";
  AppendDefault(out, "defaultLow", r.hasDefaultLow, r.defaultLow);
  AppendDefault(out, "defaultHigh", r.hasDefaultHigh, r.defaultHigh);
  AppendDefault(out, "defaultExtended", r.hasDefaultExtended, r.defaultExtended);
  AppendKey(out, "osccal");
  out += '[';
  bool first = true;
  for (const auto& [number, entry] : r.osccal) {
    if (!first) out += ',';
    first = false;
    out += '{';
    AppendKey(out, "label");
    AppendString(out, entry.label);
    out += ",\"address\":" + std::to_string(entry.address) + '}';
  }
  out += "],";
  AppendKey(out, "fuseBits");
  AppendFields(out, r.fuseBits);
  out += ',';
  AppendKey(out, "lockBits");
  AppendFields(out, r.lockBits);
  out += '}';
  return out;
}

}  // namespace bq

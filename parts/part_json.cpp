#include "parts/part_json.h"

#include <string_view>

namespace bq {

namespace {

// Length of the well-formed UTF-8 sequence at the start of text, 0 when there is none.
std::size_t Utf8Length(std::string_view text) {
  const auto b = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = b(0);
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < n || b(1) < low || b(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if (b(i) < 0x80 || b(i) > 0xBF) return 0;
  }
  return n;
}

// A JSON string: the part list's UTF-8 stays UTF-8; control characters are escaped, and a
// byte that is not part of well-formed UTF-8 becomes U+FFFD, so the output is always valid.
void AppendString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      const std::size_t n = Utf8Length(text.substr(i));
      if (n == 0) {
        out += "\\uFFFD";
        ++i;
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
    ++i;
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

// One field; a UPDI fuse field's named values carry their names too.
void AppendField(std::string& out, const BitFieldDesc& field, bool withValueNames) {
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
    if (withValueNames) {
      AppendKey(out, "name");
      AppendString(out, choice.name);
      out += ',';
    }
    AppendKey(out, "text");
    AppendString(out, choice.text);
    out += '}';
  }
  out += "]}";
}

void AppendFields(std::string& out, const BitFieldMap& fields) {
  out += '[';
  bool first = true;
  for (const auto& [number, field] : fields) {
    if (!first) out += ',';
    first = false;
    AppendField(out, field, false);
  }
  out += ']';
}

void AppendNumber(std::string& out, std::string_view key, std::uint32_t value) {
  AppendKey(out, key);
  out += std::to_string(value);
  out += ',';
}

void AppendText(std::string& out, std::string_view key, std::string_view text) {
  AppendKey(out, key);
  AppendString(out, text);
  out += ',';
}

void AppendNamedFuse(std::string& out, const NamedFuseByte& fuse) {
  out += '{';
  AppendText(out, "name", fuse.name);
  AppendText(out, "text", fuse.text);
  AppendNumber(out, "offset", fuse.offset);
  AppendDefault(out, "default", fuse.hasDefault, fuse.defaultValue);
  AppendKey(out, "fields");
  out += '[';
  for (std::size_t i = 0; i < fuse.fields.size(); ++i) {
    if (i > 0) out += ',';
    AppendField(out, fuse.fields[i], true);
  }
  out += "]}";
}

void AppendUpdi(std::string& out, const UpdiLayout& u) {
  out += '{';
  AppendKey(out, "present");
  out += u.present ? "true," : "false,";
  AppendNumber(out, "nvmVersion", u.nvmVersion);
  AppendNumber(out, "flashBase", u.flashBase);
  AppendNumber(out, "eepromBase", u.eepromBase);
  AppendNumber(out, "userRowBase", u.userRowBase);
  AppendNumber(out, "userRowSize", u.userRowSize);
  AppendNumber(out, "sigRowBase", u.sigRowBase);
  AppendNumber(out, "fuseBase", u.fuseBase);
  AppendNumber(out, "lockBase", u.lockBase);
  AppendNumber(out, "lockSize", u.lockSize);
  AppendNumber(out, "lockOpenValue", u.lockOpenValue);
  AppendKey(out, "pinShared");
  out += u.pinShared ? "true," : "false,";
  AppendText(out, "pinFuse", u.pinFuse);
  AppendText(out, "pinField", u.pinField);
  AppendNumber(out, "pinUpdiValue", u.pinUpdiValue);
  AppendKey(out, "fuses");
  out += '[';
  for (std::size_t i = 0; i < u.fuses.size(); ++i) {
    if (i > 0) out += ',';
    AppendNamedFuse(out, u.fuses[i]);
  }
  out += "]}";
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
  // Only parts that have a UPDI layout or named fuses carry the key, so a classic part's
  // line is the same as before these parts were known.
  if (r.updi.present || !r.updi.fuses.empty()) {
    out += ',';
    AppendKey(out, "updi");
    AppendUpdi(out, r.updi);
  }
  out += '}';
  return out;
}

}  // namespace bq

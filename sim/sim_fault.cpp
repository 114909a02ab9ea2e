#include "sim/sim_fault.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <string_view>
#include <utility>

namespace bq {
namespace {

constexpr std::array<std::pair<std::string_view, SimFaultKind>, 8> kKinds{{
    {"silence", SimFaultKind::kSilence},
    {"badheader", SimFaultKind::kBadHeader},
    {"short", SimFaultKind::kShort},
    {"oversize", SimFaultKind::kOversize},
    {"error", SimFaultKind::kError},
    {"hangup", SimFaultKind::kHangup},
    {"lastnext", SimFaultKind::kLastNext},
    {"longdata", SimFaultKind::kLongData},
}};

// Whole text as an unsigned number: decimal, or hexadecimal with 0x.
bool ParseUnsigned(std::string_view text, std::uint32_t& value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && ptr == text.data() + text.size();
}

std::optional<SimFault> Fail(std::string* error, const std::string& reason) {
  if (error) *error = reason;
  return std::nullopt;
}

}  // namespace

std::optional<SimFault> ParseSimFault(const std::string& faultText, std::string* error) {
  std::string_view rest(faultText);
  const auto colon = rest.find(':');
  if (colon == std::string_view::npos) return Fail(error, "missing ':' after the command code");
  std::uint32_t code = 0;
  if (!ParseUnsigned(rest.substr(0, colon), code) || code > 0xFF)
    return Fail(error, "command code must be a byte, e.g. 0x30");
  rest.remove_prefix(colon + 1);

  SimFault fault;
  fault.code = static_cast<std::uint8_t>(code);

  const auto countPos = rest.find_first_of("@*");
  std::string_view count;
  char countForm = 0;
  if (countPos != std::string_view::npos) {
    countForm = rest[countPos];
    count = rest.substr(countPos + 1);
    rest = rest.substr(0, countPos);
  }
  std::string_view arg;
  bool hasArg = false;
  if (const auto eq = rest.find('='); eq != std::string_view::npos) {
    arg = rest.substr(eq + 1);
    rest = rest.substr(0, eq);
    hasArg = true;
  }
  bool known = false;
  for (const auto& [name, kind] : kKinds) {
    if (rest == name) {
      fault.kind = kind;
      known = true;
    }
  }
  if (!known) return Fail(error, "unknown fault kind '" + std::string(rest) + "'");
  if (fault.kind == SimFaultKind::kError) {
    std::uint32_t e = 0;
    if (!hasArg || !ParseUnsigned(arg, e) || e > 0xFF)
      return Fail(error, "error needs a code byte: error=E");
    fault.arg = static_cast<std::uint8_t>(e);
  } else if (hasArg) {
    return Fail(error, "only error takes an argument");
  }
  if (countForm) {
    std::uint32_t n = 0;
    if (!ParseUnsigned(count, n) || n == 0) return Fail(error, "count must be a number from 1");
    fault.first = countForm == '@' ? n : 1;
    fault.last = n;
  }
  return fault;
}

std::string FormatSimFault(const SimFault& fault) {
  char head[8];
  std::snprintf(head, sizeof head, "0x%02X:", fault.code);
  std::string text = head;
  for (const auto& [name, kind] : kKinds) {
    if (kind == fault.kind) text += name;
  }
  if (fault.kind == SimFaultKind::kError) text += "=" + std::to_string(fault.arg);
  if (fault.last != 0) {
    text += fault.first == fault.last ? "@" + std::to_string(fault.last)
                                      : "*" + std::to_string(fault.last);
  }
  return text;
}

}  // namespace bq

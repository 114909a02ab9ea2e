#include "session/session_texts.h"

#include <cstdio>

#include "link/protocol.h"

namespace bq {

std::string SignatureText(std::uint32_t signature) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%02X%02X%02X", (signature >> 16) & 0xFFu,
                (signature >> 8) & 0xFFu, signature & 0xFFu);
  return buf;
}

std::string ReadSignatureText(std::uint32_t signature, const std::string& partName) {
  return "Read Signature: " + SignatureText(signature) + " (Chip: " + partName + ")";
}

std::string IspFrequencyText(std::uint8_t clock) {
  return std::string("Set ISP Frequency: ") + IspClockText(clock);
}

std::string ImageBeyondChipText(const std::string& memory, std::uint32_t address,
                                std::uint32_t chipBytes, const std::string& part,
                                const std::string& action, const std::string& hint) {
  char where[16];
  std::snprintf(where, sizeof where, "0x%05X", address);
  return memory + " buffer holds data at " + where + ", beyond the " + std::to_string(chipBytes) +
         " bytes of the " + part + "; nothing was " + action + " (" + hint + ")";
}

}  // namespace bq

#pragma once
// Log texts of the chip flows, shared by the session and the desktop programs' flows.

#include <cstdint>
#include <string>

namespace bq {

inline constexpr const char* kSignatureMismatchText = "Signature does not match selected device !";
inline constexpr const char* kNoChipText = "No chip in socket or chip does not responding !!!";
inline constexpr const char* kIspClockErrorText = "ERROR: Autodetect ISP Frequency.";
inline constexpr const char* kIspAutodetectText = "Autodetect ISP frequency";

// "0x1E950F"
std::string SignatureText(std::uint32_t signature);
// "Read Signature: 0x1E950F (Chip: ATmega328P)"
std::string ReadSignatureText(std::uint32_t signature, const std::string& partName);
// "Set ISP Frequency: 921.60 kHz"
std::string IspFrequencyText(std::uint8_t clock);

// An image with data beyond the chip: "FLASH buffer holds data at 0x04E1F, beyond the 8192
// bytes of the ATtiny85; nothing was written (HINT)".
std::string ImageBeyondChipText(const std::string& memory, std::uint32_t address,
                                std::uint32_t chipBytes, const std::string& part,
                                const std::string& action, const std::string& hint);

}  // namespace bq

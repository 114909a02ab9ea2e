#pragma once
// Log texts of the chip flows, shared by the session and the desktop programs' flows.

#include <cstdint>
#include <string>

namespace bq {

inline constexpr const char* kSignatureMismatchText = "Signature does not match selected device !";
inline constexpr const char* kNoChipText = "No chip in socket or chip does not responding !!!";
inline constexpr const char* kIspClockErrorText = "ERROR: Autodetect ISP Frequency.";
inline constexpr const char* kIspAutodetectText = "Autodetect ISP frequency";

// A locked UPDI chip in the desktop programs, whose Erase command erases it with the
// chip-erase key (the command-line tool's words are the SerialUPDI driver's defaults).
inline constexpr const char* kDesktopUpdiLockedText =
    "The chip is locked: it answers nothing until it is erased. Erase it with Chip > Erase.";
inline constexpr const char* kDesktopUpdiLocksLaterText =
    "The chip locks at its next reset (when the port closes): only Chip > Erase opens it "
    "again, which clears its flash and EEPROM too";
// Asked (default No) before Erase erases a locked UPDI chip with the chip-erase key.
inline constexpr const char* kLockedEraseQuestion =
    "The chip is locked. Erasing it clears its flash, its EEPROM (unless the EESAVE fuse keeps "
    "it) and the lock.\r\n\r\nErase the chip ?";
inline constexpr const char* kNothingErasedText = "Nothing erased: the chip stays locked.";

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

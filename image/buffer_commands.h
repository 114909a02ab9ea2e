#pragma once
// The four commands of the Buffer menu (Clear, Load from file, Save to file, Reload) without
// any toolkit: a front-end shows the file dialogs, calls these, refills the hex view of the
// tab in front when asked to and appends the returned lines to the message log.

#include <cstdint>
#include <string>

#include "core/log_entry.h"
#include "image/image_file.h"
#include "image/memory_buffer.h"

namespace bq {

// The tab in front of the main window: Flash selects the flash image, Eeprom the EEPROM
// image; on the other tabs the commands do nothing.
enum class BufferTab { Flash, Eeprom, Other };

struct BufferCommandResult {
  LogEntries log;
  bool refillView = false;  // refill the hex view of the tab's buffer
};

// Line logged when Clear, Load or Reload is asked for while the programmer works; the
// worker may be reading the chip into the very buffer the command would change.
inline constexpr const char* kBufferBusyText = "Programmer is BUSY !!!";

// File dialog filters: pairs of description and pattern, in the order shown.
inline constexpr const char* kOpenFilterImages =
    "Binary (*.bin), Intel HEX (*.hex), Eeprom (*.eep)";
inline constexpr const char* kOpenPatternImages = "*.bin;*.hex;*.eep";
inline constexpr const char* kOpenFilterAll = "All files";
inline constexpr const char* kOpenPatternAll = "*.*";
inline constexpr const char* kSaveFilterBinary = "Binary (*.bin)";
inline constexpr const char* kSavePatternBinary = "*.bin";
inline constexpr const char* kSaveFilterHex = "Intel HEX (*.hex)";
inline constexpr const char* kSavePatternHex = "*.hex";
inline constexpr const char* kSaveFilterEeprom = "Eeprom (*.eep)";
inline constexpr const char* kSavePatternEeprom = "*.eep";
inline constexpr const char* kSaveDefaultExtension = "bin";
inline constexpr unsigned kFileNameChars = 260;

// Fills the tab's buffer with 0xFF: "FLASH buffer cleared" / "EEPROM buffer cleared".
BufferCommandResult ClearCommand(BufferTab tab, MemoryBuffer& flash, MemoryBuffer& eeprom,
                                 bool workerBusy);

// Loads path (chosen in the open dialog) into the tab's buffer, in the format its name or
// content gives (LoadImage) unless one is named: "<path> loaded into FLASH buffer" /
// "... EEPROM buffer"; the reason naming the file when it was refused, or "<path> not
// found." when it could not be opened or held no data.
BufferCommandResult LoadCommand(BufferTab tab, MemoryBuffer& flash, MemoryBuffer& eeprom,
                                const std::string& path, bool workerBusy,
                                ImageFormat format = ImageFormat::Auto);

// Saves the tab's buffer to path (chosen in the save dialog), bounded by the selected
// chip's memory size (0 when unknown: up to the highest byte that is not 0xFF). Silent on
// success and when there is nothing to save; "<path> not saved." when the file could not
// be written. Allowed while the programmer works. The format is the one the name gives
// (SaveImage) unless one is named.
BufferCommandResult SaveCommand(BufferTab tab, MemoryBuffer& flash, MemoryBuffer& eeprom,
                                const std::string& path, std::uint32_t chipFlashBytes,
                                std::uint32_t chipEepromBytes,
                                ImageFormat format = ImageFormat::Auto);

// Loads the tab's buffer again from the file last loaded into it: "<name> reloaded" or
// "Reload ERROR. File '<name>' not found". Nothing at all when no file was loaded.
BufferCommandResult ReloadCommand(BufferTab tab, MemoryBuffer& flash, MemoryBuffer& eeprom,
                                  bool workerBusy);

}  // namespace bq

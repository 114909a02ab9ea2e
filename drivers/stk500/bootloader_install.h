#pragma once
// Putting a firmware image into the flash of a stock Arduino board through the bootloader it
// ships with, so that the board becomes our programmer without another programmer:
// STK500 protocol version 1 on the Uno and Nano (ATmega328P) and version 2 on the Mega 2560
// (ATmega2560), both at 115200 baud. The board resets when its port is opened (DTR) and its
// bootloader listens for about a second; the conversation starts within that time. The
// messages go through the STK500 drivers' own wire code (stk500v1::Link, stk500v2::Link).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/log_entry.h"
#include "link/serial_connection.h"

namespace bq {

enum class BootloaderProtocol : std::uint8_t { kStk500v1, kStk500v2 };

// A board whose bootloader we can talk to.
struct BoardBootloader {
  const char* name;   // on the command line: "uno", "mega"
  const char* title;  // "Arduino Uno / Nano"
  const char* chip;   // "ATmega328P"
  BootloaderProtocol protocol;
  std::uint32_t signature;
  std::uint32_t pageBytes;
  std::uint32_t flashBytes;
  // Flash below the bootloader's own section: an image must end below it.
  std::uint32_t applicationBytes;
};

// The board of a name ("uno", "mega"; any letter case); null when there is none.
const BoardBootloader* FindBoardBootloader(const std::string& name);

struct BootloaderProgress {
  bool verifying = false;  // false: writing
  std::uint32_t done = 0;  // pages
  std::uint32_t total = 0;
};

struct BootloaderResult {
  bool ok = true;
  bool refused = false;     // the image was refused before anything was written
  bool unanswered = false;  // the bootloader never answered
  std::string message;      // what went wrong, in a line the user can act on
};

using BootloaderLog = std::function<void(LogKind, const std::string&)>;
using BootloaderProgressCallback = std::function<void(const BootloaderProgress&)>;

// Writes image (its bytes from address 0; 0xFF is "nothing") into the board's flash page by
// page, from page 0 up to the last page that holds a byte other than 0xFF, and verifies it by
// reading every written page back. Gets in step with the bootloader first (several tries while
// the board starts) and checks the chip's signature. Log lines and progress go to the
// callbacks.
BootloaderResult InstallThroughBootloader(SerialConnection& link, const BoardBootloader& board,
                                          const std::uint8_t* image, std::size_t size,
                                          const BootloaderLog& log,
                                          const BootloaderProgressCallback& progress);

}  // namespace bq

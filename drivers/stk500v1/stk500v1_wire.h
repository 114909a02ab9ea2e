#pragma once
// STK500 version 1 on the wire (application note AVR061): a command is its code, its
// arguments and the end marker; the answer is INSYNC, any data, then OK (or FAILED,
// NODEVICE). A command whose end marker did not arrive is answered with NOSYNC alone.
// The codes are the ones docs/stk500-facts.md lists with their sources.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/serial_connection.h"

namespace bq::stk500v1 {

inline constexpr std::uint8_t kEop = 0x20;  // Sync_CRC_EOP
inline constexpr std::uint8_t kOk = 0x10;
inline constexpr std::uint8_t kFailed = 0x11;
inline constexpr std::uint8_t kUnknown = 0x12;
inline constexpr std::uint8_t kNoDevice = 0x13;
inline constexpr std::uint8_t kInSync = 0x14;
inline constexpr std::uint8_t kNoSync = 0x15;

inline constexpr std::uint8_t kGetSync = 0x30;
inline constexpr std::uint8_t kGetSignOn = 0x31;
inline constexpr std::uint8_t kSetParameter = 0x40;
inline constexpr std::uint8_t kGetParameter = 0x41;
inline constexpr std::uint8_t kSetDevice = 0x42;
inline constexpr std::uint8_t kSetDeviceExt = 0x45;
inline constexpr std::uint8_t kEnterProgMode = 0x50;
inline constexpr std::uint8_t kLeaveProgMode = 0x51;
inline constexpr std::uint8_t kChipErase = 0x52;
inline constexpr std::uint8_t kLoadAddress = 0x55;
inline constexpr std::uint8_t kUniversal = 0x56;
inline constexpr std::uint8_t kProgPage = 0x64;
inline constexpr std::uint8_t kReadPage = 0x74;
inline constexpr std::uint8_t kReadSign = 0x75;

inline constexpr std::uint8_t kParamHardwareVersion = 0x80;
inline constexpr std::uint8_t kParamSoftwareMajor = 0x81;
inline constexpr std::uint8_t kParamSoftwareMinor = 0x82;

// How one exchange ended.
enum class ExchangeStatus : std::uint8_t {
  Ok,           // INSYNC, the data, OK
  WriteFailed,  // the command could not be sent
  NoAnswer,     // nothing came
  NoSync,       // NOSYNC: the programmer lost the command's end (out of step)
  NotInSync,    // the first byte was neither INSYNC nor NOSYNC
  Short,        // the answer stopped before its end
  Failed,       // INSYNC ... FAILED: the programmer could not do it
  NoDevice,     // INSYNC NODEVICE: programming mode asked for before the device parameters
  Unknown,      // the programmer does not know the command
  BadEnd,       // the byte after the data was not OK
};

std::string ExchangeStatusText(ExchangeStatus status);

// One programmer on an open connection.
class Link {
 public:
  explicit Link(SerialConnection& connection) : connection_(connection) {}

  // Sends command (code and arguments; the end marker is added) and reads INSYNC,
  // answerBytes of data into data, and the final status byte.
  ExchangeStatus Exchange(const std::vector<std::uint8_t>& command, std::size_t answerBytes,
                          std::vector<std::uint8_t>& data, int timeoutMs = 2000);

  // Asks for sync until the programmer answers INSYNC OK or timeoutMs pass (a board that
  // resets when its port opens answers only after its start-up).
  bool Sync(int timeoutMs);

 private:
  SerialConnection& connection_;
};

}  // namespace bq::stk500v1

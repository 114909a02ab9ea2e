#pragma once
// STK500 version 2 on the wire (application note AVR068): every message is MESSAGE_START,
// a sequence number, the body's size (two bytes, high first), TOKEN, the body and a checksum
// (the XOR of every byte before it). Each command gets exactly one answer with the same
// sequence number, whose body starts with the command's id and a status byte.
// The codes here are the ones docs/stk500-facts.md lists with their sources.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/serial_connection.h"

namespace bq::stk500v2 {

inline constexpr std::uint8_t kMessageStart = 0x1B;
inline constexpr std::uint8_t kToken = 0x0E;
// The largest body a programmer of this kind takes (the STK500's limit).
inline constexpr std::size_t kMaxBody = 275;

// General commands.
inline constexpr std::uint8_t kSignOn = 0x01;
inline constexpr std::uint8_t kSetParameter = 0x02;
inline constexpr std::uint8_t kGetParameter = 0x03;
inline constexpr std::uint8_t kLoadAddress = 0x06;
// ISP.
inline constexpr std::uint8_t kEnterProgModeIsp = 0x10;
inline constexpr std::uint8_t kLeaveProgModeIsp = 0x11;
inline constexpr std::uint8_t kChipEraseIsp = 0x12;
inline constexpr std::uint8_t kProgramFlashIsp = 0x13;
inline constexpr std::uint8_t kReadFlashIsp = 0x14;
inline constexpr std::uint8_t kProgramEepromIsp = 0x15;
inline constexpr std::uint8_t kReadEepromIsp = 0x16;
inline constexpr std::uint8_t kProgramFuseIsp = 0x17;
inline constexpr std::uint8_t kReadFuseIsp = 0x18;
inline constexpr std::uint8_t kProgramLockIsp = 0x19;
inline constexpr std::uint8_t kReadLockIsp = 0x1A;
inline constexpr std::uint8_t kReadSignatureIsp = 0x1B;
inline constexpr std::uint8_t kReadOsccalIsp = 0x1C;
inline constexpr std::uint8_t kSpiMulti = 0x1D;
// High-voltage parallel.
inline constexpr std::uint8_t kEnterProgModePp = 0x20;
inline constexpr std::uint8_t kLeaveProgModePp = 0x21;
inline constexpr std::uint8_t kChipErasePp = 0x22;
inline constexpr std::uint8_t kProgramFlashPp = 0x23;
inline constexpr std::uint8_t kReadFlashPp = 0x24;
inline constexpr std::uint8_t kProgramEepromPp = 0x25;
inline constexpr std::uint8_t kReadEepromPp = 0x26;
inline constexpr std::uint8_t kProgramFusePp = 0x27;
inline constexpr std::uint8_t kReadFusePp = 0x28;
inline constexpr std::uint8_t kProgramLockPp = 0x29;
inline constexpr std::uint8_t kReadLockPp = 0x2A;
inline constexpr std::uint8_t kReadSignaturePp = 0x2B;
inline constexpr std::uint8_t kReadOsccalPp = 0x2C;
// High-voltage serial.
inline constexpr std::uint8_t kEnterProgModeHvsp = 0x30;
inline constexpr std::uint8_t kLeaveProgModeHvsp = 0x31;
inline constexpr std::uint8_t kChipEraseHvsp = 0x32;
inline constexpr std::uint8_t kProgramFlashHvsp = 0x33;
inline constexpr std::uint8_t kReadFlashHvsp = 0x34;
inline constexpr std::uint8_t kProgramEepromHvsp = 0x35;
inline constexpr std::uint8_t kReadEepromHvsp = 0x36;
inline constexpr std::uint8_t kProgramFuseHvsp = 0x37;
inline constexpr std::uint8_t kReadFuseHvsp = 0x38;
inline constexpr std::uint8_t kProgramLockHvsp = 0x39;
inline constexpr std::uint8_t kReadLockHvsp = 0x3A;
inline constexpr std::uint8_t kReadSignatureHvsp = 0x3B;
inline constexpr std::uint8_t kReadOsccalHvsp = 0x3C;

// Status bytes: 0 done, 0x80..0xBF warnings, 0xC0..0xFF errors.
inline constexpr std::uint8_t kStatusOk = 0x00;
inline constexpr std::uint8_t kStatusTimeout = 0x80;
inline constexpr std::uint8_t kStatusRdyBsyTimeout = 0x81;
inline constexpr std::uint8_t kStatusSetParamMissing = 0x82;
inline constexpr std::uint8_t kStatusFailed = 0xC0;
inline constexpr std::uint8_t kStatusChecksumError = 0xC1;
inline constexpr std::uint8_t kStatusUnknown = 0xC9;
// The transport's own answer to a message whose checksum was wrong.
inline constexpr std::uint8_t kAnswerChecksumError = 0xB0;

// Parameters.
inline constexpr std::uint8_t kParamBuildNumberLow = 0x80;
inline constexpr std::uint8_t kParamBuildNumberHigh = 0x81;
inline constexpr std::uint8_t kParamHardwareVersion = 0x90;
inline constexpr std::uint8_t kParamSoftwareMajor = 0x91;
inline constexpr std::uint8_t kParamSoftwareMinor = 0x92;
inline constexpr std::uint8_t kParamVTarget = 0x94;  // tenths of a volt
inline constexpr std::uint8_t kParamVAdjust = 0x95;
inline constexpr std::uint8_t kParamOscPrescale = 0x96;
inline constexpr std::uint8_t kParamOscCompare = 0x97;
inline constexpr std::uint8_t kParamSckDuration = 0x98;

// The whole message for a body.
std::vector<std::uint8_t> Frame(std::uint8_t sequence, const std::vector<std::uint8_t>& body);

// How one exchange ended.
enum class ExchangeStatus : std::uint8_t {
  Ok,           // an answer with the right sequence number and checksum
  WriteFailed,  // the message could not be sent
  NoAnswer,     // nothing (or no message start) within the time
  Garbage,      // bytes that do not make a message: a wrong token or an oversize length
  BadChecksum,  // the answer's checksum is wrong
  BadSequence,  // an answer to another message
  Short,        // the answer stopped before its end
  ChecksumRefused,  // the programmer said our message arrived with a wrong checksum
};

// "the programmer's answer has a wrong checksum (the line is disturbed)": what to tell
// the user.
std::string ExchangeStatusText(ExchangeStatus status);

// One programmer on an open connection: numbers the messages and checks the answers.
class Link {
 public:
  explicit Link(SerialConnection& connection) : connection_(connection) {}

  // Sends body and reads the answer's body into answer, waiting up to timeoutMs for it to
  // start. Bytes before a message start are skipped (at most one message's worth).
  ExchangeStatus Exchange(const std::vector<std::uint8_t>& body, std::vector<std::uint8_t>& answer,
                          int timeoutMs = 2000);

  std::uint8_t Sequence() const { return sequence_; }

 private:
  SerialConnection& connection_;
  std::uint8_t sequence_ = 0;
};

}  // namespace bq::stk500v2

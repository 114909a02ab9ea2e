#pragma once
// The packet protocol spoken with the programmer hardware: packet layout, command and
// answer codes, status values and their log texts. Shared by the host worker and the
// simulated programmer.
//
// Packet (both directions): 0x48 0x56, code, payload length (big-endian, 2 bytes),
// payload (at most 256 bytes). The host sends one packet and reads exactly one answer.

#include <cstddef>
#include <cstdint>
#include <string>

namespace bq {

inline constexpr std::uint8_t kPacketMagic0 = 0x48;  // 'H'
inline constexpr std::uint8_t kPacketMagic1 = 0x56;  // 'V'
inline constexpr std::size_t kPacketHeaderBytes = 5;
inline constexpr std::size_t kMaxPayloadBytes = 256;
inline constexpr std::size_t kPacketBufferBytes = kPacketHeaderBytes + kMaxPayloadBytes;  // 261
// Bytes of the transfer parameters (mode, memory kind, page size, page count hi, lo).
inline constexpr std::size_t kTransferParamBytes = 5;
// The line's rate at every start of the programmer, and the faster ones our firmware takes
// after CMD_SET_LINE_RATE, fastest first. After kLineIdleReturnMs without a byte from the
// host the firmware is back at kBaseLineRate.
inline constexpr std::uint32_t kBaseLineRate = 115200;
inline constexpr std::uint32_t kFastLineRates[] = {1000000, 500000};
inline constexpr int kLineIdleReturnMs = 1000;
// How long after the rate's answer the host waits before it talks at the new rate.
inline constexpr int kLineSwitchMs = 5;
// Header read attempts for CMD_BLANK_CHECK (every other command: 1).
inline constexpr int kBlankCheckHeaderAttempts = 60;

// Code of a worker request; the same byte is the code of the packet sent.
enum CommandCode : std::uint8_t {
  CMD_NONE = 0x00,
  CMD_READ_SIGNATURE = 0x10,    // payload: ProgMode
  CMD_READ_CALIBRATION = 0x11,  // payload: ProgMode, calibration byte address
  CMD_READ_FUSES = 0x20,        // payload: ProgMode, TargetByte 1,2,3 (each if present) or 4
  CMD_WRITE_FUSES = 0x21,       // payload: ProgMode, pairs (TargetByte, value)
  CMD_READ_MEMORY = 0x30,       // first packet: transfer parameters; then empty packets
  CMD_STOP_READ = 0x31,         // empty; ends a read stream early
  CMD_WRITE_MEMORY = 0x32,      // first packet: transfer parameters; then page data
  CMD_IDENTIFY = 0xAF,          // worker request only, never sent
  CMD_CHIP_ERASE = 0xB0,        // payload: ProgMode
  CMD_BLANK_CHECK = 0xB1,       // payload: transfer parameters
  CMD_FIRMWARE_VERSION = 0xC0,  // empty
  CMD_HARDWARE_VERSION = 0xC1,  // empty
  CMD_DETECT_ISP_CLOCK = 0xC2,  // empty
  CMD_SET_ISP_CLOCK = 0xC3,     // payload: IspClockIndex
  // payload: rate in baud, 4 bytes big-endian (115200, 500000 or 1000000). Our firmware
  // answers ANS_OK at the old rate and then runs at the new one; the original programmer
  // answers "Unknown Command" and stays at 115200.
  CMD_SET_LINE_RATE = 0xC4,
  // payload: 1 to start the clock for the target on the ISP cable's XTAL1 lead (1 MHz), 0 to
  // stop it. Our firmware answers ANS_OK; the original programmer answers "Unknown Command".
  CMD_SET_TARGET_CLOCK = 0xC5,
  // The UPDI header of our firmware (the Mega's). The original programmer and the Uno/Nano
  // answer "Unknown Command".
  // payload: rate in baud, 4 bytes big-endian; optionally the width of the 12 V activation
  // pulse in us (2 bytes, 100-1000): the header's supply is switched off and on and the pulse
  // follows. Opens the UPDI line (8E2), the header's supply on. Answer ANS_OK.
  CMD_UPDI_OPEN = 0xC6,
  // payload: flags (bit 0: drop the bytes received before), the count of answer bytes wanted
  // (0-255), the time they may take in ms (1-255), then at most 252 bytes to send. The
  // firmware sends them, checks their echo and collects the answer: ANS_UPDI.
  CMD_UPDI_EXCHANGE = 0xC7,
  CMD_UPDI_BREAK = 0xC8,  // empty: a BREAK on the UPDI line (41 ms low). Answer ANS_OK
  CMD_UPDI_CLOSE = 0xC9,  // empty: line, supply and 12 V off. Answer ANS_OK
  CMD_RECOVER = 0xCF,     // empty; sent after every ANS_ERROR
};

// Code of an answer from the programmer. Every code not listed is accepted without effect.
enum AnswerCode : std::uint8_t {
  ANS_SIGNATURE = 0xD1,    // 3 bytes: signature, high byte first
  ANS_VALUE8 = 0xD2,       // 1 byte
  ANS_FUSES = 0xD3,        // one byte per TargetByte requested, in request order
  ANS_DATA = 0xD4,         // next chunk of memory contents (at most 256 bytes)
  ANS_WRITE_READY = 0xD5,  // page data for CMD_WRITE_MEMORY accepted from now on
  ANS_WRITE_NEXT = 0xD6,   // data packet written; send the next one
  ANS_WRITE_DONE = 0xD7,   // write complete (answer to the last data packet)
  ANS_READ_DONE = 0xD8,    // read stream ended
  ANS_VALUE8_ALT = 0xD9,   // same as ANS_VALUE8
  ANS_VALUE16 = 0xDA,      // 2 bytes: high, low (versions: major, minor)
  ANS_VALUE16_ALT = 0xDB,  // same as ANS_VALUE16
  ANS_BLANK = 0xDC,        // 1 byte: 0 = chip empty, other = not empty
  ANS_OK = 0xDD,           // empty acknowledgement (CMD_RECOVER, CMD_SET_LINE_RATE, ...)
  // CMD_UPDI_EXCHANGE: byte 0 how the echo came back (kUpdiEcho...), then on kUpdiEchoOk the
  // answer bytes received (fewer than asked on a time-out), else the echo bytes that came.
  ANS_UPDI = 0xDE,
  ANS_ERROR = 0xEF,  // 1 byte: device error code
};

inline constexpr std::uint8_t kUpdiEchoOk = 0;
inline constexpr std::uint8_t kUpdiEchoMissing = 1;
inline constexpr std::uint8_t kUpdiEchoDiffers = 2;
inline constexpr std::size_t kUpdiExchangeMaxSend = 252;
inline constexpr std::size_t kUpdiExchangeMaxReceive = 255;

inline constexpr bool IsValue8Answer(std::uint8_t code) {
  return code == ANS_VALUE8 || code == ANS_VALUE8_ALT;
}
inline constexpr bool IsValue16Answer(std::uint8_t code) {
  return code == ANS_VALUE16 || code == ANS_VALUE16_ALT;
}

// Summary of the last exchange of a request. Any byte value may occur (an ANS_ERROR
// carries its code unchanged); KindOfStatus below sorts them.
enum LinkStatus : std::uint8_t {
  STATUS_OK = 0,
  STATUS_DEVICE_UNKNOWN_COMMAND = 1,
  STATUS_DEVICE_ENTER_PROG_MODE = 2,
  STATUS_DEVICE_WRITE_LOCK_BITS = 3,
  STATUS_DEVICE_WRITE_FUSES = 4,
  STATUS_DEVICE_WRITE_MEMORY = 5,
  STATUS_DEVICE_CHIP_ERASE = 6,
  STATUS_DEVICE_ISP_SPEED = 7,
  STATUS_WRITE_FAILED = 250,  // port not open, write failed or short
  STATUS_NO_ANSWER = 251,     // the 5 header bytes did not arrive
  STATUS_BAD_HEADER = 252,    // header does not start with 0x48 0x56
  STATUS_SHORT_ANSWER = 253,  // payload incomplete, or longer than 256 bytes
  // The conversation went out of step: an answer too short for its code, a data chunk
  // past the end of its image or beyond the requested size, a read or write stream that
  // ended early or late. Reported as "Unknown Error !!!".
  STATUS_OUT_OF_STEP = 254,
  // Not from the programmer: the request was cancelled by the user (a read is ended with
  // CMD_STOP_READ, a write with CMD_RECOVER, so the programmer is ready again).
  STATUS_CANCELLED = 249,
  STATUS_IDENTIFY_FAILED = 255,  // no probe of the identify request found a chip
};

inline constexpr std::uint8_t kLinkFailureAbove = 240;

// What a status comes to. The one sorting of the codes: the worker, every programmer driver,
// the engine and the front-ends ask it (the engine's StatusClass and ProgrammerLost build
// on it). Values above 240 mean the link failed, except the two the host makes itself:
// STATUS_CANCELLED (the user ended the request; the programmer is ready) and
// STATUS_IDENTIFY_FAILED (the programmer answered every probe, no chip did).
enum class StatusKind : std::uint8_t {
  Ok,
  DeviceError,  // the programmer answered that the chip or the command failed
  Cancelled,
  LinkFailure,  // the programmer itself did not answer properly
};
inline constexpr StatusKind KindOfStatus(std::uint8_t status) {
  if (status == STATUS_OK) return StatusKind::Ok;
  if (status == STATUS_CANCELLED) return StatusKind::Cancelled;
  if (status == STATUS_IDENTIFY_FAILED || status <= kLinkFailureAbove) {
    return StatusKind::DeviceError;
  }
  return StatusKind::LinkFailure;
}
// The programmer stopped answering properly (not merely the chip).
inline constexpr bool IsLinkFailure(std::uint8_t status) {
  return KindOfStatus(status) == StatusKind::LinkFailure;
}
// Nothing more can be asked in this request: the link failed or the user cancelled it.
// The identify request stops probing here.
inline constexpr bool EndsRequest(std::uint8_t status) {
  return IsLinkFailure(status) || KindOfStatus(status) == StatusKind::Cancelled;
}

// The log line of a status: "ERROR: " + device text for 1..7 ("ERROR: Chip Erase"),
// "Comunication Error Code 0x01!!!" .. "0x04!!!" for 250..253, "Unknown Error !!!" else.
std::string LinkStatusText(std::uint8_t status);
// "Unknown Command" .. "ISP Speed not set" for 1..7; "" for other values.
const char* DeviceErrorText(std::uint8_t code);

// Programming mode byte sent as the first payload byte of most commands.
enum ProgMode : std::uint8_t {
  PROG_MODE_NONE = 0,
  PROG_MODE_HVPP = 1,
  PROG_MODE_HVPP2 = 2,
  PROG_MODE_HVSP = 3,
  PROG_MODE_ISP = 4,
};

enum MemoryKind : std::uint8_t {
  MEMORY_NONE = 0,
  MEMORY_FLASH = 1,    // page size counted in 16-bit words
  MEMORY_EEPROM = 2,   // page size counted in bytes
  MEMORY_USERROW = 3,  // UPDI parts: the user row, page size counted in bytes
};

// ISP clock steps, each half the one before; 0 = none found / automatic.
enum IspClockIndex : std::uint8_t {
  ISP_CLOCK_NONE = 0,
  ISP_CLOCK_3686_KHZ = 1,
  ISP_CLOCK_1843_KHZ = 2,
  ISP_CLOCK_921_KHZ = 3,
  ISP_CLOCK_460_KHZ = 4,
  ISP_CLOCK_230_KHZ = 5,
  ISP_CLOCK_115_KHZ = 6,
  ISP_CLOCK_57_KHZ = 7,
};

// "3.686 MHz", "1.843 MHz", "921.60 kHz", "460.80 kHz", "230.40 kHz", "115.20 kHz",
// "57.60 kHz" for 1..7; "" for any other value.
const char* IspClockText(std::uint8_t index);

// Bytes of one page on the wire: page size * 2 for flash, page size otherwise.
inline constexpr std::uint32_t PageBytes(std::uint8_t kind, std::uint8_t pageSize) {
  return kind == MEMORY_FLASH ? std::uint32_t{pageSize} * 2u : std::uint32_t{pageSize};
}

// A memory write sends as many whole pages per CMD_WRITE_MEMORY packet as fit into 256
// payload bytes. A page of more than 256 bytes is sent in pieces of 256 bytes (the last
// piece holds the rest of the page), one piece per packet, in address order.

}  // namespace bq

#pragma once
// UPDI on a USB-serial adapter whose TX and RX are joined onto the chip's UPDI pin: 8 data
// bits, even parity, 2 stop bits, one wire for both directions. Every byte the host sends
// comes back on its RX (the echo) and is checked here before the chip's answer is read. A
// BREAK is sent as a 0x00 character at 300 baud (10 bit times low, 33 ms, longer than the
// 24.6 ms the slowest UPDI clock needs), which every adapter and a pseudo-terminal carry.
// The instruction codes are the ones docs/updi-facts.md lists with their sources.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "link/serial_connection.h"

namespace bq::updi {

inline constexpr std::uint8_t kSynch = 0x55;
inline constexpr std::uint8_t kAck = 0x40;

// Opcodes (bits 7:5) and their fields.
inline constexpr std::uint8_t kLds = 0x00;
inline constexpr std::uint8_t kLd = 0x20;
inline constexpr std::uint8_t kSts = 0x40;
inline constexpr std::uint8_t kSt = 0x60;
inline constexpr std::uint8_t kLdcs = 0x80;
inline constexpr std::uint8_t kRepeat = 0xA0;
inline constexpr std::uint8_t kStcs = 0xC0;
inline constexpr std::uint8_t kKey = 0xE0;
inline constexpr std::uint8_t kPtrAt = 0x00;   // *(ptr)
inline constexpr std::uint8_t kPtrInc = 0x04;  // *(ptr++)
inline constexpr std::uint8_t kPtrSet = 0x08;  // ptr itself
inline constexpr std::uint8_t kData1 = 0x00;   // size B: one byte
inline constexpr std::uint8_t kData2 = 0x01;   // size B: two bytes
inline constexpr std::uint8_t kKeySib = 0x04;  // KEY: send the SIB instead of taking a key
inline constexpr std::uint8_t kKey64 = 0x00;   // size C: 8 bytes
inline constexpr std::uint8_t kKey128 = 0x01;  // size C: 16 bytes

// Control and status registers (LDCS/STCS).
inline constexpr std::uint8_t kStatusA = 0x0;
inline constexpr std::uint8_t kStatusB = 0x1;
inline constexpr std::uint8_t kCtrlA = 0x2;
inline constexpr std::uint8_t kCtrlB = 0x3;
inline constexpr std::uint8_t kAsiKeyStatus = 0x7;
inline constexpr std::uint8_t kAsiResetReq = 0x8;
inline constexpr std::uint8_t kAsiCtrlA = 0x9;
inline constexpr std::uint8_t kAsiSysCtrlA = 0xA;
inline constexpr std::uint8_t kAsiSysStatus = 0xB;

inline constexpr std::uint8_t kCtrlARsd = 0x08;  // no response signatures (ACKs)
inline constexpr std::uint8_t kCtrlBUpdiDis = 0x04;
inline constexpr std::uint8_t kResetRequest = 0x59;
inline constexpr std::uint8_t kKeyStatusNvmProg = 0x10;
inline constexpr std::uint8_t kKeyStatusChipErase = 0x08;
inline constexpr std::uint8_t kSysStatusNvmProg = 0x08;
inline constexpr std::uint8_t kSysStatusLocked = 0x01;
inline constexpr std::uint8_t kSysStatusEraseFail = 0x40;  // AVR DB and later

// The 64-bit keys, in the order they go on the wire (least significant byte first).
inline constexpr std::uint8_t kKeyNvmProg[8] = {0x20, 0x67, 0x6F, 0x72, 0x50, 0x4D, 0x56, 0x4E};
inline constexpr std::uint8_t kKeyChipErase[8] = {0x65, 0x73, 0x61, 0x72, 0x45, 0x4D, 0x56, 0x4E};

inline constexpr std::uint32_t kBreakBaud = 300;

// How the last operation on the wire ended.
enum class Fault : std::uint8_t {
  None,
  WriteFailed,  // the adapter did not take the bytes
  NoEcho,       // nothing came back of what was sent: TX and RX are not joined
  BadEcho,      // something else came back than was sent
  NoAnswer,     // the echo came, the chip did not answer
  NoAck,        // the chip answered with something else than the ACK (a NACK, noise)
};

// A sentence for the log about a fault, without the adapter advice.
std::string FaultText(Fault fault);

// Counts of the bytes that crossed the wire, echo included (for the wire-time benchmark).
struct WireCounts {
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
};

class Link {
 public:
  explicit Link(SerialConnection& connection) : connection_(connection) {}

  Fault LastFault() const { return fault_; }
  const WireCounts& Counts() const { return counts_; }
  std::uint32_t Rate() const { return rate_; }
  // The rate the host talks at; the chip measures it from each SYNCH.
  bool SetRate(std::uint32_t baud);
  // Time a reply may take beyond its bytes' time on the wire.
  void SetReplyTimeoutMs(int ms) { replyMs_ = ms; }

  // Two BREAKs, then back to the working rate: the UPDI drops whatever it was doing.
  void DoubleBreak();

  bool Ldcs(std::uint8_t address, std::uint8_t& value);
  bool Stcs(std::uint8_t address, std::uint8_t value);
  bool Key(const std::uint8_t (&key)[8]);
  // The system information block: 16 ASCII characters.
  bool ReadSib(std::string& sib);

  // One byte of the data space.
  bool Lds(std::uint32_t address, std::uint8_t& value);
  bool Sts(std::uint32_t address, std::uint8_t value);
  // n bytes (1..65536 in blocks of 256) from address on, through the pointer.
  bool Read(std::uint32_t address, std::uint8_t* data, std::size_t n);
  // n bytes (n even for words) to address on, each acknowledged unless the response
  // signatures are off (SetResponseSignatures).
  bool Write(std::uint32_t address, const std::uint8_t* data, std::size_t n, bool words = false);
  // Turns the ACKs after stores off (false) or on. The caller keeps CTRLA's other bits in
  // ctrlA (guard time).
  bool SetResponseSignatures(bool on, std::uint8_t ctrlA);
  bool ResponseSignatures() const { return acks_; }
  // Sends instructions put together by the caller (updi_burst.h) in one write, checks their
  // echo and reads n answer bytes (none when n is 0).
  bool Exchange(const std::vector<std::uint8_t>& out, std::uint8_t* answer, std::size_t n);

  // Gets in touch with the UPDI: a double BREAK, a SYNCH and a read of STATUSA at baud,
  // then the guard time in ctrlA and, above what the UPDI's 4 MHz start-up clock carries, a
  // faster UPDI clock (reached at a rate that clock carries, then checked at baud). When
  // baud does not work, 115200 and 57600 are tried. Returns the rate reached, or 0 with the
  // adapter's likely fault in *why.
  std::uint32_t Attach(std::uint32_t baud, std::uint8_t ctrlA, std::string* why);

 private:
  // Sends bytes and checks their echo.
  bool Send(const std::uint8_t* data, std::size_t n);
  bool Send(std::initializer_list<std::uint8_t> bytes) {
    const std::vector<std::uint8_t> v(bytes);
    return Send(v.data(), v.size());
  }
  // Reads n reply bytes.
  bool Receive(std::uint8_t* data, std::size_t n);
  bool ReceiveAck();
  bool SetPointer(std::uint32_t address);
  void AppendAddress(std::vector<std::uint8_t>& out, std::uint32_t address) const;
  static std::uint8_t AddressSize(std::uint32_t address) { return address > 0xFFFF ? 2 : 1; }
  int WaitMs(std::size_t bytes) const;
  Fault AttachAt(std::uint32_t baud, std::uint8_t ctrlA);
  bool Fail(Fault fault) {
    fault_ = fault;
    return false;
  }

  SerialConnection& connection_;
  std::uint32_t rate_ = 0;
  int replyMs_ = 100;
  bool acks_ = true;
  Fault fault_ = Fault::None;
  WireCounts counts_;
};

}  // namespace bq::updi

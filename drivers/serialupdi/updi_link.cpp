#include "drivers/serialupdi/updi_link.h"

#include <algorithm>

namespace bq::updi {

namespace {

constexpr std::size_t kBlock = 256;  // what one REPEAT carries
// The fastest rate the UPDI's 4 MHz start-up clock carries, and what the faster clocks do:
// ASI_CTRLA.UPDICLKSEL 0x2 (8 MHz) and 0x1 (16 MHz). 32 MHz is reserved on tinyAVR 1.
constexpr std::uint32_t kStartClockBaud = 225000;
constexpr std::uint32_t kContactBaud = 115200;
constexpr std::uint32_t kFallbacks[] = {115200, 57600};

std::uint8_t ClockSelectFor(std::uint32_t baud) {
  if (baud <= kStartClockBaud) return 0x3;
  if (baud <= 450000) return 0x2;
  return 0x1;
}

}  // namespace

std::string FaultText(Fault fault) {
  switch (fault) {
    case Fault::None:
      return "ok";
    case Fault::WriteFailed:
      return "the adapter did not take the bytes to send";
    case Fault::NoEcho:
      return "nothing of what the adapter sent came back on its RX (no echo)";
    case Fault::BadEcho:
      return "what came back on the adapter's RX differs from what it sent (bad echo)";
    case Fault::NoAnswer:
      return "the chip did not answer on the UPDI pin";
    case Fault::NoAck:
      return "the chip's answer was not the acknowledgement expected";
  }
  return "unknown";
}

bool Link::SetRate(std::uint32_t baud) {
  rate_ = baud;
  return connection_.SetRate(baud);
}

int Link::WaitMs(std::size_t bytes) const {
  const std::uint32_t rate = std::max<std::uint32_t>(rate_, 300);
  return static_cast<int>((bytes * 12u * 1000u + rate - 1) / rate) + replyMs_;
}

bool Link::Send(const std::uint8_t* data, std::size_t n) {
  fault_ = Fault::None;
  if (!connection_.Write(data, n)) return Fail(Fault::WriteFailed);
  counts_.sent += n;
  std::vector<std::uint8_t> echo(n);
  const long got = connection_.ReadWithin(echo.data(), n, WaitMs(n));
  if (got > 0) counts_.received += static_cast<std::uint64_t>(got);
  if (got <= 0) return Fail(Fault::NoEcho);
  if (static_cast<std::size_t>(got) < n || !std::equal(echo.begin(), echo.end(), data)) {
    connection_.DiscardInput();
    return Fail(Fault::BadEcho);
  }
  return true;
}

bool Link::Receive(std::uint8_t* data, std::size_t n) {
  const long got = connection_.ReadWithin(data, n, WaitMs(n));
  if (got > 0) counts_.received += static_cast<std::uint64_t>(got);
  if (got < 0 || static_cast<std::size_t>(got) < n) return Fail(Fault::NoAnswer);
  return true;
}

bool Link::ReceiveAck() {
  std::uint8_t ack = 0;
  if (!Receive(&ack, 1)) return false;
  if (ack != kAck) {
    connection_.DiscardInput();
    return Fail(Fault::NoAck);
  }
  return true;
}

void Link::DoubleBreak() {
  const std::uint32_t working = rate_;
  connection_.SendBreak(30);
  // A 0x00 at 300 baud holds the line low for the start bit, 8 data bits and the (even)
  // parity bit; its two stop bits separate the two BREAKs.
  if (connection_.SetRate(kBreakBaud)) {
    const std::uint8_t zeros[2] = {0x00, 0x00};
    if (connection_.Write(zeros, 2)) {
      counts_.sent += 2;
      std::uint8_t echo[2];
      const long got = connection_.ReadWithin(echo, 2, 2 * 37 + 200);
      if (got > 0) counts_.received += static_cast<std::uint64_t>(got);
    }
  }
  connection_.DiscardInput();
  connection_.SetRate(working);
  rate_ = working;
  acks_ = true;  // a BREAK returns the UPDI's control registers to their defaults
}

void Link::AppendAddress(std::vector<std::uint8_t>& out, std::uint32_t address) const {
  out.push_back(static_cast<std::uint8_t>(address & 0xFF));
  out.push_back(static_cast<std::uint8_t>((address >> 8) & 0xFF));
  if (AddressSize(address) == 2) out.push_back(static_cast<std::uint8_t>((address >> 16) & 0xFF));
}

bool Link::Ldcs(std::uint8_t address, std::uint8_t& value) {
  value = 0;
  return Send({kSynch, static_cast<std::uint8_t>(kLdcs | (address & 0x0F))}) && Receive(&value, 1);
}

bool Link::Stcs(std::uint8_t address, std::uint8_t value) {
  return Send({kSynch, static_cast<std::uint8_t>(kStcs | (address & 0x0F)), value});
}

bool Link::Key(const std::uint8_t (&key)[8]) {
  std::vector<std::uint8_t> out{kSynch, static_cast<std::uint8_t>(kKey | kKey64)};
  out.insert(out.end(), key, key + 8);
  return Send(out.data(), out.size());
}

bool Link::ReadSib(std::string& sib) {
  sib.clear();
  std::uint8_t data[16] = {};
  if (!Send({kSynch, static_cast<std::uint8_t>(kKey | kKeySib | kKey128)}) || !Receive(data, 16)) {
    return false;
  }
  sib.assign(reinterpret_cast<const char*>(data), 16);
  return true;
}

bool Link::Lds(std::uint32_t address, std::uint8_t& value) {
  value = 0;
  std::vector<std::uint8_t> out{
      kSynch, static_cast<std::uint8_t>(kLds | (AddressSize(address) << 2) | kData1)};
  AppendAddress(out, address);
  return Send(out.data(), out.size()) && Receive(&value, 1);
}

bool Link::Sts(std::uint32_t address, std::uint8_t value) {
  std::vector<std::uint8_t> out{
      kSynch, static_cast<std::uint8_t>(kSts | (AddressSize(address) << 2) | kData1)};
  AppendAddress(out, address);
  if (!Send(out.data(), out.size())) return false;
  if (acks_ && !ReceiveAck()) return false;
  if (!Send(&value, 1)) return false;
  return !acks_ || ReceiveAck();
}

bool Link::SetPointer(std::uint32_t address) {
  std::vector<std::uint8_t> out{kSynch,
                                static_cast<std::uint8_t>(kSt | kPtrSet | AddressSize(address))};
  AppendAddress(out, address);
  if (!Send(out.data(), out.size())) return false;
  return !acks_ || ReceiveAck();
}

bool Link::Read(std::uint32_t address, std::uint8_t* data, std::size_t n) {
  if (n == 0) return true;
  if (!SetPointer(address)) return false;
  for (std::size_t at = 0; at < n; at += kBlock) {
    const std::size_t count = std::min(kBlock, n - at);
    std::vector<std::uint8_t> out;
    if (count > 1)
      out = {kSynch, static_cast<std::uint8_t>(kRepeat | kData1),
             static_cast<std::uint8_t>(count - 1)};
    out.push_back(kSynch);
    out.push_back(static_cast<std::uint8_t>(kLd | kPtrInc | kData1));
    if (!Send(out.data(), out.size()) || !Receive(data + at, count)) return false;
  }
  return true;
}

bool Link::Write(std::uint32_t address, const std::uint8_t* data, std::size_t n, bool words) {
  if (n == 0) return true;
  if (!SetPointer(address)) return false;
  const std::size_t unit = words ? 2 : 1;
  for (std::size_t at = 0; at < n; at += kBlock * unit) {
    const std::size_t count = std::min(kBlock, (n - at) / unit);
    std::vector<std::uint8_t> out;
    if (count > 1)
      out = {kSynch, static_cast<std::uint8_t>(kRepeat | kData1),
             static_cast<std::uint8_t>(count - 1)};
    out.push_back(kSynch);
    out.push_back(static_cast<std::uint8_t>(kSt | kPtrInc | (words ? kData2 : kData1)));
    if (!acks_) {
      // Nothing comes back but the echo: the whole block goes in one write.
      out.insert(out.end(), data + at, data + at + count * unit);
      if (!Send(out.data(), out.size())) return false;
      continue;
    }
    if (!Send(out.data(), out.size())) return false;
    for (std::size_t i = 0; i < count; ++i) {
      if (!Send(data + at + i * unit, unit) || !ReceiveAck()) return false;
    }
  }
  return true;
}

bool Link::Exchange(const std::vector<std::uint8_t>& out, std::uint8_t* answer, std::size_t n) {
  return Send(out.data(), out.size()) && (n == 0 || Receive(answer, n));
}

bool Link::SetResponseSignatures(bool on, std::uint8_t ctrlA) {
  if (!Stcs(kCtrlA, on ? ctrlA : static_cast<std::uint8_t>(ctrlA | kCtrlARsd))) return false;
  acks_ = on;
  return true;
}

Fault Link::AttachAt(std::uint32_t baud, std::uint8_t ctrlA) {
  const bool faster = baud > kStartClockBaud;
  SetRate(faster ? kContactBaud : baud);
  DoubleBreak();
  std::uint8_t status = 0;
  if (!Ldcs(kStatusA, status)) return fault_;
  if ((status >> 4) == 0) return Fault::NoAck;  // no UPDI revision: not a UPDI answer
  if (!Stcs(kCtrlA, ctrlA)) return fault_;
  if (!faster) return Fault::None;
  if (!Stcs(kAsiCtrlA, ClockSelectFor(baud))) return fault_;
  SetRate(baud);
  if (!Ldcs(kStatusA, status)) return fault_;
  if ((status >> 4) == 0) return Fault::NoAck;
  return Fault::None;
}

std::uint32_t Link::Attach(std::uint32_t baud, std::uint8_t ctrlA, std::string* why) {
  std::vector<std::uint32_t> rates{baud};
  for (std::uint32_t r : kFallbacks) {
    if (r < baud) rates.push_back(r);
  }
  bool sawNoEcho = false, sawBadEcho = false, sawNoAnswer = false, sawBadAnswer = false;
  for (std::uint32_t rate : rates) {
    // Twice each: the first BREAK after power-up may only wake the UPDI.
    for (int attempt = 0; attempt < 2; ++attempt) {
      const Fault f = AttachAt(rate, ctrlA);
      if (f == Fault::None) {
        fault_ = Fault::None;
        return rate;
      }
      sawNoEcho |= f == Fault::NoEcho || f == Fault::WriteFailed;
      sawBadEcho |= f == Fault::BadEcho;
      sawNoAnswer |= f == Fault::NoAnswer;
      sawBadAnswer |= f == Fault::NoAck;
      // Without any echo the wiring is at fault, at every rate.
      if (f == Fault::NoEcho && !sawBadEcho && !sawNoAnswer && !sawBadAnswer) break;
    }
    if (sawNoEcho && !sawBadEcho && !sawNoAnswer && !sawBadAnswer) break;
  }
  if (why != nullptr) {
    const std::string tried = " (tried " + [&rates] {
      std::string list;
      for (std::uint32_t r : rates) list += (list.empty() ? "" : ", ") + std::to_string(r);
      return list;
    }() + " baud)";
    if (sawBadEcho || sawBadAnswer) {
      *why = "The UPDI link does not come up" + tried +
             ": what comes back on the wire is garbled. Likely an RX LED on the adapter loading "
             "the line, a resistor between TX and RX that is too large (use 4.7 kOhm or a "
             "Schottky diode), or a 3.3 V adapter on a chip powered at 5 V.";
    } else if (sawNoAnswer) {
      *why = "No answer from the UPDI pin" + tried +
             ", although the adapter's echo works: the chip may be unpowered or its ground not "
             "joined to the adapter's, or its fuse may have made the pin GPIO or RESET "
             "(high-voltage activation is needed then).";
    } else {
      *why = "No echo from the adapter" + tried +
             ": nothing it sends comes back on its RX. Join TX and RX through a 4.7 kOhm "
             "resistor (or a Schottky diode, cathode to TX) and connect RX to the UPDI pin.";
    }
  }
  return 0;
}

}  // namespace bq::updi

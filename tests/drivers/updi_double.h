#pragma once
// A small stand-in for a USB-serial adapter wired for UPDI with a chip behind it, for the
// wire-layer tests: it echoes what is sent (or drops or garbles the echo), answers the UPDI
// instructions from a flat memory, and records every write with the rate it went at. It is
// only what the tests here need, not a chip model.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "drivers/serialupdi/updi_link.h"
#include "link/serial_connection.h"

namespace bq::test {

struct UpdiDouble {
  enum class Echo { Normal, None, Garbled };
  Echo echo = Echo::Normal;
  std::uint32_t garbleAbove = 0;  // Garbled: only at rates above this (0: at every rate)
  bool silent = false;            // the chip never answers (its UPDI pin is GPIO)
  bool nack = false;              // stores are answered with something else than the ACK
  std::uint8_t statusA = 0x30;    // UPDI revision 3
  bool locked = false;

  std::uint32_t rate = 0;
  struct Sent {
    std::uint32_t rate;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Sent> writes;
  std::deque<std::uint8_t> input;
  std::map<std::uint32_t, std::uint8_t> memory;  // absent bytes read 0xFF
  std::uint8_t cs[16] = {};
  int chipErases = 0;

  void Feed(const std::uint8_t* data, std::size_t n) {
    writes.push_back({rate, {data, data + n}});
    const bool garble = echo == Echo::Garbled && (garbleAbove == 0 || rate > garbleAbove);
    for (std::size_t i = 0; i < n; ++i) {
      if (echo == Echo::Normal || (echo == Echo::Garbled && !garble)) input.push_back(data[i]);
      if (garble) input.push_back(static_cast<std::uint8_t>(data[i] ^ 0x10));
    }
    // Without the echo TX is not on the wire, so the chip hears nothing either.
    if (echo == Echo::None) return;
    for (std::size_t i = 0; i < n; ++i) Chip(data[i]);
  }

  // Everything the host sent, as one stream.
  std::vector<std::uint8_t> Stream() const {
    std::vector<std::uint8_t> all;
    for (const Sent& s : writes) all.insert(all.end(), s.bytes.begin(), s.bytes.end());
    return all;
  }

 private:
  enum class State { Idle, Synched, Args } state_ = State::Idle;
  std::uint8_t op_ = 0;
  std::vector<std::uint8_t> args_;
  std::size_t need_ = 0;
  std::uint32_t ptr_ = 0;
  int repeat_ = 0;
  bool inRepeatedSt_ = false;
  int repeatLeft_ = 0;
  bool keyErase_ = false, keyProg_ = false, resetHeld_ = false;

  void Reply(std::uint8_t b) {
    if (!silent) input.push_back(b);
  }
  void Ack() { Reply(nack ? 0x3B : updi::kAck); }
  static std::size_t AddrBytes(std::uint8_t sizeA) { return sizeA + 1u; }
  std::uint32_t Addr(std::size_t from, std::size_t n) const {
    std::uint32_t a = 0;
    for (std::size_t i = 0; i < n; ++i) a |= std::uint32_t{args_[from + i]} << (8 * i);
    return a;
  }
  std::uint8_t Mem(std::uint32_t a) const {
    auto it = memory.find(a);
    return it == memory.end() ? std::uint8_t{0xFF} : it->second;
  }
  bool Rsd() const { return (cs[updi::kCtrlA] & updi::kCtrlARsd) != 0; }

  void Chip(std::uint8_t b) {
    if (rate == updi::kBreakBaud) {  // a BREAK
      state_ = State::Idle;
      std::fill(std::begin(cs), std::end(cs), std::uint8_t{0});
      inRepeatedSt_ = false;
      repeat_ = 0;
      return;
    }
    if (inRepeatedSt_) {  // data of the later passes of a repeated ST
      args_.push_back(b);
      if (args_.size() == need_) {
        Store();
        if (--repeatLeft_ <= 0) inRepeatedSt_ = false;
      }
      return;
    }
    switch (state_) {
      case State::Idle:
        if (b == updi::kSynch) state_ = State::Synched;
        return;
      case State::Synched:
        op_ = b;
        args_.clear();
        state_ = State::Args;
        need_ = ArgsFor(b);
        if (need_ == 0) Run();
        return;
      case State::Args:
        args_.push_back(b);
        if (args_.size() == need_) Run();
        return;
    }
  }

  std::size_t ArgsFor(std::uint8_t op) const {
    switch (op & 0xE0) {
      case updi::kLdcs:
      case updi::kLd:
        return 0;
      case updi::kStcs:
      case updi::kRepeat:
        return 1;
      case updi::kKey:
        return (op & updi::kKeySib) != 0 ? 0 : 8;
      case updi::kLds:
      case updi::kSts:
        return AddrBytes((op >> 2) & 3);
      case updi::kSt:
        return ((op >> 2) & 3) == 2 ? AddrBytes(op & 3) : (op & 3) + 1u;
      default:
        return 0;
    }
  }

  void Store() {
    for (std::uint8_t v : args_) memory[ptr_++] = v;
    args_.clear();
    if (!Rsd()) Ack();
  }

  void Run() {
    state_ = State::Idle;
    const std::uint8_t kind = op_ & 0xE0;
    if (kind == updi::kLdcs) {
      const std::uint8_t a = op_ & 0x0F;
      std::uint8_t v = cs[a];
      if (a == updi::kStatusA) v = statusA;
      if (a == updi::kAsiSysStatus)
        v = static_cast<std::uint8_t>((locked ? 1 : 0) | (keyProg_ && !locked ? 0x08 : 0));
      if (a == updi::kAsiKeyStatus)
        v = static_cast<std::uint8_t>((keyErase_ ? 0x08 : 0) | (keyProg_ ? 0x10 : 0));
      Reply(v);
    } else if (kind == updi::kStcs) {
      const std::uint8_t a = op_ & 0x0F;
      cs[a] = args_[0];
      if (a == updi::kAsiResetReq) {
        if (args_[0] == updi::kResetRequest) resetHeld_ = true;
        if (args_[0] == 0 && resetHeld_) {
          resetHeld_ = false;
          if (keyErase_) {
            ++chipErases;
            memory.clear();
            locked = false;
            keyErase_ = false;
          }
        }
      }
    } else if (kind == updi::kKey) {
      if ((op_ & updi::kKeySib) != 0) {
        const std::string sib = "tinyAVR P:0D:0-3";
        for (char c : sib) Reply(static_cast<std::uint8_t>(c));
      } else if (std::equal(args_.begin(), args_.end(), updi::kKeyChipErase)) {
        keyErase_ = true;
      } else if (std::equal(args_.begin(), args_.end(), updi::kKeyNvmProg)) {
        keyProg_ = true;
      }
    } else if (kind == updi::kRepeat) {
      repeat_ = args_[0];
      return;
    } else if (kind == updi::kLds) {
      Reply(Mem(Addr(0, args_.size())));
    } else if (kind == updi::kSts) {
      // address, ACK, then one data byte, ACK
      if (!Rsd()) Ack();
      ptr_ = Addr(0, args_.size());
      inRepeatedSt_ = true;
      repeatLeft_ = 1;
      need_ = 1;
      args_.clear();
    } else if (kind == updi::kSt) {
      if (((op_ >> 2) & 3) == 2) {
        ptr_ = Addr(0, args_.size());
        if (!Rsd()) Ack();
      } else {
        const int passes = repeat_ + 1;
        repeat_ = 0;
        Store();
        if (passes > 1) {
          inRepeatedSt_ = true;
          repeatLeft_ = passes - 1;
        }
      }
    } else if (kind == updi::kLd) {
      const int passes = repeat_ + 1;
      repeat_ = 0;
      for (int i = 0; i < passes; ++i) Reply(Mem(ptr_++));
    }
  }
};

// A connection onto a shared double: no waiting, a pseudo-terminal's lack of a line break.
class UpdiDoubleConnection : public SerialConnection {
 public:
  explicit UpdiDoubleConnection(std::shared_ptr<UpdiDouble> d) : d_(std::move(d)) {}
  bool Write(const std::uint8_t* data, std::size_t n) override {
    d_->Feed(data, n);
    return true;
  }
  long Read(std::uint8_t* data, std::size_t n) override {
    std::size_t got = 0;
    while (got < n && !d_->input.empty()) {
      data[got++] = d_->input.front();
      d_->input.pop_front();
    }
    return static_cast<long>(got);
  }
  long ReadWithin(std::uint8_t* data, std::size_t n, int) override { return Read(data, n); }
  void DiscardInput() override { d_->input.clear(); }
  bool SetRate(std::uint32_t baud) override {
    d_->rate = baud;
    return true;
  }

 private:
  std::shared_ptr<UpdiDouble> d_;
};

class UpdiDoublePorts : public PortDriver {
 public:
  explicit UpdiDoublePorts(std::shared_ptr<UpdiDouble> d) : d_(std::move(d)) {}
  bool Handles(const std::string& name) const override { return name == "updi-double"; }
  std::unique_ptr<SerialConnection> Open(const std::string&) override {
    return std::make_unique<UpdiDoubleConnection>(d_);
  }
  std::unique_ptr<SerialConnection> OpenAt(const std::string& name,
                                           const LineSettings& line) override {
    lastLine = line;
    d_->rate = line.baud;
    return Open(name);
  }
  std::vector<std::string> Enumerate() override { return {"updi-double"}; }
  LineSettings lastLine;

 private:
  std::shared_ptr<UpdiDouble> d_;
};

}  // namespace bq::test

#pragma once
// Test doubles for the link unit tests: a scripted in-memory connection that answers each
// written packet with prepared bytes, time-outs and gates (instantly, except gates), and
// events that record what the worker did to the user interface.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/log_entry.h"
#include "image/memory_buffer.h"
#include "link/fuse_bytes.h"
#include "link/programmer.h"
#include "link/serial_connection.h"
#include "link/serial_port.h"
#include "link/worker_events.h"

namespace bq::test {

using Bytes = std::vector<std::uint8_t>;

// An answer packet: 48 56 code len-hi len-lo payload.
inline Bytes Packet(std::uint8_t code, const Bytes& payload = {}) {
  Bytes out{0x48, 0x56, code, static_cast<std::uint8_t>(payload.size() >> 8),
            static_cast<std::uint8_t>(payload.size() & 0xFF)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// One piece of what the programmer "sends" after a packet.
struct Piece {
  enum Kind { kBytes, kTimeout, kGate } kind = kBytes;
  Bytes bytes;
};
inline Piece Data(Bytes b) {
  return {Piece::kBytes, std::move(b)};
}
inline Piece Timeout() {
  return {Piece::kTimeout, {}};
}
// The reader blocks here until the test calls OpenGate().
inline Piece Gate() {
  return {Piece::kGate, {}};
}
using Reply = std::vector<Piece>;
inline Reply Answer(std::uint8_t code, const Bytes& payload = {}) {
  return {Data(Packet(code, payload))};
}

// Shared state of the scripted line: replies queued per written packet, everything written.
class Script {
 public:
  void Then(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.push_back(std::move(reply));
  }
  void Then(std::initializer_list<Reply> replies) {
    for (const Reply& r : replies) Then(r);
  }
  std::vector<Bytes> Written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }
  // Command codes (byte 2) of the packets written, in order.
  Bytes WrittenCodes() const {
    Bytes codes;
    for (const Bytes& p : Written()) codes.push_back(p.size() > 2 ? p[2] : 0);
    return codes;
  }
  void HangUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    hungUp_ = true;
  }
  void FailWrites() {
    std::lock_guard<std::mutex> lock(mutex_);
    failWrites_ = true;
  }
  // True while a reader waits at a gate.
  bool AtGate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return atGate_;
  }
  void WaitAtGate() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return atGate_; });
  }
  void OpenGate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gateOpen_ = true;
    cv_.notify_all();
  }
  int OpenConnections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openConnections_;
  }
  std::size_t Unread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const Piece& p : input_) n += p.bytes.size();
    return n;
  }

  bool Write(const std::uint8_t* data, std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (hungUp_ || failWrites_) return false;
    written_.emplace_back(data, data + n);
    if (!replies_.empty()) {
      for (Piece& p : replies_.front()) input_.push_back(std::move(p));
      replies_.pop_front();
    }
    return true;
  }

  long Read(std::uint8_t* data, std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t got = 0;
    while (got < n) {
      if (input_.empty()) {
        if (hungUp_ && got == 0) return -1;
        break;  // silence: the read times out
      }
      Piece& front = input_.front();
      if (front.kind == Piece::kTimeout) {
        input_.pop_front();
        break;
      }
      if (front.kind == Piece::kGate) {
        atGate_ = true;
        cv_.notify_all();
        cv_.wait(lock, [this] { return gateOpen_; });
        atGate_ = false;
        gateOpen_ = false;
        input_.pop_front();
        continue;
      }
      const std::size_t take = std::min(n - got, front.bytes.size());
      std::copy(front.bytes.begin(), front.bytes.begin() + static_cast<long>(take), data + got);
      front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<long>(take));
      got += take;
      if (front.bytes.empty()) input_.pop_front();
    }
    return static_cast<long>(got);
  }

  void Opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++openConnections_;
  }
  void Closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    --openConnections_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Reply> replies_;
  std::deque<Piece> input_;
  std::vector<Bytes> written_;
  bool hungUp_ = false;
  bool failWrites_ = false;
  bool atGate_ = false;
  bool gateOpen_ = false;
  int openConnections_ = 0;
};

class ScriptedConnection : public SerialConnection {
 public:
  explicit ScriptedConnection(std::shared_ptr<Script> script) : script_(std::move(script)) {
    script_->Opened();
  }
  ~ScriptedConnection() override { script_->Closed(); }
  bool Write(const std::uint8_t* data, std::size_t n) override { return script_->Write(data, n); }
  long Read(std::uint8_t* data, std::size_t n) override { return script_->Read(data, n); }

 private:
  std::shared_ptr<Script> script_;
};

class ScriptedDriver : public PortDriver {
 public:
  ScriptedDriver(std::string name, std::shared_ptr<Script> script)
      : name_(std::move(name)), script_(std::move(script)) {}
  bool Handles(const std::string& name) const override { return name == name_; }
  std::unique_ptr<SerialConnection> Open(const std::string&) override {
    return std::make_unique<ScriptedConnection>(script_);
  }
  std::vector<std::string> Enumerate() override { return {name_}; }

 private:
  std::string name_;
  std::shared_ptr<Script> script_;
};

// Records every event as a line: "log <kind> <text>", "smooth", "marquee", "range N",
// "pos N", "marquee-on", "marquee-off", "show", "hide", "refill N", "redraw N".
class RecordingEvents : public WorkerEvents {
 public:
  void Deliver(WorkerEvent event) override {
    static const char* const kSteps[] = {"smooth",     "marquee",     "range ", "pos ",
                                         "marquee-on", "marquee-off", "show",   "hide"};
    if (const auto* line = std::get_if<LogLine>(&event)) {
      Add("log " + std::to_string(static_cast<int>(line->kind)) + " " + line->text);
      std::lock_guard<std::mutex> lock(mutex_);
      log_.push_back({line->kind, line->text});
    } else if (const auto* p = std::get_if<ProgressEvent>(&event)) {
      const bool valued = p->step == ProgressStep::Range || p->step == ProgressStep::Position;
      Add(kSteps[static_cast<int>(p->step)] + (valued ? std::to_string(p->value) : ""));
    } else if (const auto* m = std::get_if<MemoryRead>(&event)) {
      Add("refill " + std::to_string(static_cast<int>(m->kind)));
    } else if (const auto* f = std::get_if<FusesRead>(&event)) {
      Add("redraw " + std::to_string(static_cast<int>(f->editor)));
    }
  }

  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  LogEntries Log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  std::vector<std::string> LogTexts() const {
    std::vector<std::string> texts;
    for (const LogEntry& e : Log()) texts.push_back(e.text);
    return texts;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    log_.clear();
  }

 private:
  void Add(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(line));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  LogEntries log_;
};

// A worker on a scripted line, with real images and slots.
struct ScriptedBench {
  std::shared_ptr<Script> script = std::make_shared<Script>();
  SerialPort port{{std::make_shared<ScriptedDriver>("script", script)}};
  MemoryBuffer flash{kFlashBufferBytes};
  MemoryBuffer eeprom{kEepromBufferBytes};
  FuseByteSlots fuses;
  FuseByteSlots lockBits;
  RecordingEvents events;
  CProgrammer programmer;  // last: stopped first

  ScriptedBench() {
    port.OpenPort("script");
    programmer.StartWorker({port, flash, eeprom, fuses, lockBits, events});
  }
  // Posts through f and waits until the worker is idle again.
  template <class F>
  bool Run(F&& f) {
    const bool accepted = f(programmer);
    programmer.WaitIdle();
    return accepted;
  }
};

}  // namespace bq::test

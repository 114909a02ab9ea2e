// Arbitrary bytes from "the port" into the programmer worker. The worker runs a fixed
// sequence of requests (version, signature, identify, read, verify and write memory, blank
// check, fuses and lock bits read, verify and write, erase, calibration); the answers come
// from the fuzz input, and once it is used up every read times out at once. The images are
// small heap blocks of their exact size, so AddressSanitizer sees any write past them.
//
// Checked after every request: the worker is idle again, the fuse slots' presence flags are
// as they were, and a request that failed did not log its success line.
//
// Input: byte 0 memory kind (bit 0: EEPROM) and which fuse bytes the part has (bits 1-4:
// low, high, extended, lock); byte 1 page size; byte 2 page count; byte 3: when not 0, the
// write after that many packets fails (a vanished port); the rest is the byte stream.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "image/memory_buffer.h"
#include "link/programmer.h"
#include "link/serial_connection.h"
#include "link/serial_port.h"
#include "link/worker_events.h"

namespace {

using namespace std::chrono_literals;

struct Stream {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t at = 0;
  std::uint32_t writes = 0;
  std::uint32_t failWriteAt = 0;  // 0: never
};

class FuzzConnection : public bq::SerialConnection {
 public:
  explicit FuzzConnection(Stream& s) : s_(s) {}
  bool Write(const std::uint8_t* data, std::size_t n) override {
    if (data == nullptr || n < 5 || n > bq::kPacketBufferBytes) std::abort();  // malformed packet
    ++s_.writes;
    return s_.failWriteAt == 0 || s_.writes < s_.failWriteAt;
  }
  long Read(std::uint8_t* data, std::size_t n) override {
    const std::size_t take = std::min(n, s_.size - s_.at);
    if (take > 0) std::memcpy(data, s_.data + s_.at, take);
    s_.at += take;
    return static_cast<long>(take);
  }

 private:
  Stream& s_;
};

class FuzzDriver : public bq::PortDriver {
 public:
  explicit FuzzDriver(Stream& s) : s_(s) {}
  bool Handles(const std::string& name) const override { return name == "fuzz"; }
  std::unique_ptr<bq::SerialConnection> Open(const std::string&) override {
    return std::make_unique<FuzzConnection>(s_);
  }
  std::vector<std::string> Enumerate() override { return {"fuzz"}; }

 private:
  Stream& s_;
};

class Events : public bq::LogOnlyWorkerEvents {
 public:
  void AppendLogEntry(bq::LogKind, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(text);
  }

  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.swap(lines_);
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& l : lines)
    if (l == text || (text.front() == ' ' && l.find(text) != std::string::npos)) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  Stream stream{data + 4, size - 4, 0, 0, data[3]};
  bq::SerialPort port{{std::make_shared<FuzzDriver>(stream)}};
  if (!port.OpenPort("fuzz")) std::abort();
  // Small images of their exact size: flash 4 KiB, EEPROM 512 bytes.
  bq::MemoryBuffer flash{4096};
  bq::MemoryBuffer eeprom{512};
  bq::FuseByteSlots fuses;
  bq::FuseByteSlots lockBits;
  fuses.low = {0x11, (data[0] & 0x02) != 0};
  fuses.high = {0x22, (data[0] & 0x04) != 0};
  fuses.extended = {0x33, (data[0] & 0x08) != 0};
  lockBits.lock = {0x3C, (data[0] & 0x10) != 0};
  const bq::FuseByteSlots fusePresence = fuses, lockPresence = lockBits;
  Events events;
  bq::CProgrammer programmer;
  if (!programmer.StartWorker({port, flash, eeprom, fuses, lockBits, events})) std::abort();
  programmer.SetProgrammingMode(bq::PROG_MODE_HVPP);
  const std::uint8_t kind = (data[0] & 1) ? bq::MEMORY_EEPROM : bq::MEMORY_FLASH;
  programmer.SetTransferParams(kind, data[1], data[2]);

  auto idle = [&] {
    if (!programmer.WaitIdleFor(30s) || programmer.IsBusy()) std::abort();
    if (fuses.low.present != fusePresence.low.present ||
        fuses.high.present != fusePresence.high.present ||
        fuses.extended.present != fusePresence.extended.present ||
        lockBits.lock.present != lockPresence.lock.present) {
      std::abort();
    }
  };
  // A failed request must not show its success line.
  auto noSuccessOnFailure = [&](std::initializer_list<const char*> successLines) {
    idle();
    const std::vector<std::string> lines = events.Take();
    if (programmer.Status() == bq::STATUS_OK) return;
    for (const char* s : successLines)
      if (Has(lines, s)) std::abort();
  };

  std::uint32_t value = 0;
  std::uint8_t clock = 0;
  bool socket = false;
  programmer.QueryFirmwareVersion(value);
  idle();
  programmer.ReadSignatureRequest(value);
  idle();
  programmer.IdentifyRequest(value, socket);
  idle();
  programmer.StartReadMemory();
  noSuccessOnFailure({"FLASH Code read into buffer", "EEPROM read into buffer"});
  programmer.StartVerifyMemory();
  noSuccessOnFailure({"Verified OK", "Chip differ !!!"});
  programmer.StartWriteMemory();
  noSuccessOnFailure({" bytes written to "});
  programmer.StartBlankCheck();
  noSuccessOnFailure({"Chip is empty", "Chip not empty !!!"});
  programmer.StartReadFuses();
  noSuccessOnFailure({});
  programmer.StartVerifyFuses();
  noSuccessOnFailure({"Fuse bits verification OK", "Fuse bits verification FAILED"});
  programmer.StartWriteFuses();
  noSuccessOnFailure({});
  programmer.StartReadLockBits();
  noSuccessOnFailure({});
  programmer.StartVerifyLockBits();
  noSuccessOnFailure({"Lock bits verification OK", "Lock bits verification FAILED"});
  programmer.StartWriteLockBits();
  noSuccessOnFailure({});
  programmer.EraseRequest();
  noSuccessOnFailure({"Chip erased"});
  programmer.ReadCalibrationRequest(1, value);
  idle();
  programmer.DetectIspClockRequest(clock);
  idle();
  programmer.SetIspClockRequest(3, clock);
  idle();
  programmer.StopWorker();
  return 0;
}

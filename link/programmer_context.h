#pragma once
// The request block shared by the user-interface thread and the programmer worker.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "image/memory_buffer.h"
#include "link/fuse_bytes.h"
#include "link/manual_reset_event.h"
#include "link/protocol.h"
#include "link/serial_port.h"
#include "link/worker_events.h"

namespace bq {

// Packet being sent, then the answer received: 5 header bytes and at most 256 payload bytes.
using PacketBuffer = std::array<std::uint8_t, kPacketBufferBytes>;

// The application objects the worker uses; they must outlive the worker (StopWorker).
struct ProgrammerLinks {
  SerialPort& port;
  MemoryBuffer& flash;
  MemoryBuffer& eeprom;
  FuseByteSlots& fuses;     // the fuse editor's slots (LOW, HIGH, EXTENDED are used)
  FuseByteSlots& lockBits;  // the lock-bit editor's slots (LOCKBIT is used)
  WorkerEvents& events;
};

// Fields other than the atomics are written by the user-interface thread only while the
// worker is idle, and by the worker only while it runs a request.
struct ProgrammerContext {
  explicit ProgrammerContext(const ProgrammerLinks& links)
      : events(links.events),
        port(links.port),
        flashBuffer(links.flash),
        eepromBuffer(links.eeprom),
        flashData(links.flash.data()),
        eepromData(links.eeprom.data()),
        flashLastIndex(links.flash.lastIndex()),
        eepromLastIndex(links.eeprom.lastIndex()),
        fuses(links.fuses),
        lockBits(links.lockBits) {}
  ProgrammerContext(const ProgrammerContext&) = delete;
  ProgrammerContext& operator=(const ProgrammerContext&) = delete;

  WorkerEvents& events;  // log, progress bar, hex views, editors
  SerialPort& port;
  MemoryBuffer& flashBuffer;
  MemoryBuffer& eepromBuffer;
  std::uint8_t* flashData;  // null when the image has no storage
  std::uint8_t* eepromData;
  std::uint32_t flashLastIndex;
  std::uint32_t eepromLastIndex;
  FuseByteSlots& fuses;
  FuseByteSlots& lockBits;

  PacketBuffer packet{};        // the PacketBuffer
  ManualResetEvent startEvent;  // set by the requester to start a request
  ManualResetEvent
      doneEvent;  // set by the worker when a request completed (or early, on an error report)
  ManualResetEvent idleEvent;      // set by the worker when it has fully finished a request
  std::uint32_t packetLength = 0;  // 5 + payload length of the packet in `packet`
  bool quiet = false;              // silences write failures and device errors
  bool silent = false;             // silences every failure (a probe that may well fail)
  // Results a waiting requester reads; atomic because an early-released waiter may read
  // them while the worker still exchanges CMD_RECOVER.
  std::atomic<bool> socket{false};            // identify: found in a socket (high-voltage) mode
  std::atomic<std::uint8_t> status{0};        // a LinkStatus value
  std::atomic<std::uint32_t> resultValue{0};  // from ANS_SIGNATURE, ANS_VALUE8, ANS_VALUE16
  std::uint8_t argument = 0;                  // calibration address or IspClockIndex
  std::uint32_t lineRate = 0;                 // CMD_SET_LINE_RATE: the rate asked for
  bool lineProbe = false;                     // ... only: is the programmer at lineRate now?
  // A request whose payload the requester builds (the CMD_UPDI_* commands): its payload, then
  // the answer's code and payload.
  std::vector<std::uint8_t> rawPayload;
  std::uint8_t rawAnswerCode = 0;
  std::vector<std::uint8_t> rawAnswer;
  // When the last request ended: the programmer has heard nothing since (worker thread; read
  // while idle).
  std::chrono::steady_clock::time_point lastTraffic{};
  std::uint8_t commandCode = 0;  // the request, and the code of the next packet built
  std::uint8_t progMode = 0;     // ProgMode
  std::uint8_t memoryKind = 0;   // MemoryKind
  std::uint8_t pageSize = 0;     // flash: words per page; EEPROM: bytes per page
  std::uint32_t pageCount = 0;   // low 16 bits go on the wire
  std::uint32_t transferOffset = 0;
  bool readDone = false;
  bool writeReady = false;
  bool writeNext = false;
  bool writeDone = false;
  bool verify = false;  // compare instead of store
  // A memory read lands here and replaces the image only once the whole memory arrived, so
  // a failed read keeps what the user had and the views never see half a read.
  std::vector<std::uint8_t> readScratch;
  std::int32_t mismatch =
      0;  // fuse verify: differing bytes; memory verify: nonzero once a chunk differed
  bool lockSelector = false;      // false: fuse bytes, true: lock byte
  std::atomic<bool> busy{false};  // a request is pending or running
  std::atomic<bool> stopRequested{false};
  // Set from any thread to end the running request after the exchange in progress.
  std::atomic<bool> cancelRequested{false};
  // Results beyond the status, for callers that want values rather than log lines.
  std::uint32_t firstDifference = 0;  // memory verify: offset of the first differing byte
  bool blankEmpty = false;            // blank check: the programmer reported empty
  // Makes "claim an idle worker" and "finish a request" (busy, idle and done events
  // together) one step each; never held while the worker transfers or reports.
  std::mutex requestMutex;

  // The answer of the last successful exchange: its code and payload length. The payload
  // sits at the start of `packet`.
  std::uint8_t answerCode = 0;
  std::uint32_t answerLength = 0;
};

}  // namespace bq

// The worker's operations: packet building, the exchange with the programmer and the
// chip operations that drive it.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "link/programmer.h"
#include "core/text.h"

namespace bq {
namespace {

// Further CMD_RECOVER exchanges after the first, when a recover is itself answered by
// ANS_ERROR: at most this many recover exchanges per exchange in all.
constexpr int kMaxRecoverExchanges = 3;
// Answers in a row that neither bring data nor end a read stream before it is given up.
constexpr int kMaxIdleReadAnswers = 8;
// Piece size used to drain an answer that announced more than 256 payload bytes.
constexpr std::size_t kDrainPieceBytes = 32;

// One read of exactly n bytes.
bool ReadExact(SerialConnection& link, std::uint8_t* buffer, std::size_t n) {
  const long got = link.Read(buffer, n);
  return got >= 0 && static_cast<std::size_t>(got) == n;
}

// Reads and discards up to n bytes in small pieces, never into the payload area, so that
// the next exchange starts on a fresh answer. Stops at the first piece that does not arrive.
void Drain(SerialConnection& link, std::uint32_t n) {
  std::array<std::uint8_t, kDrainPieceBytes> sink{};
  std::uint32_t left = n;
  while (left > 0) {
    const std::size_t piece = std::min<std::size_t>(left, sink.size());
    if (!ReadExact(link, sink.data(), piece)) break;
    left -= static_cast<std::uint32_t>(piece);
  }
}


std::uint8_t* ImageOf(ProgrammerContext& ctx, std::uint32_t& capacity) {
  if (ctx.memoryKind == MEMORY_FLASH && ctx.flashData) {
    capacity = ctx.flashLastIndex + 1;
    return ctx.flashData;
  }
  if (ctx.memoryKind == MEMORY_EEPROM && ctx.eepromData) {
    capacity = ctx.eepromLastIndex + 1;
    return ctx.eepromData;
  }
  capacity = 0;
  return nullptr;
}

MemoryKind ViewOf(const ProgrammerContext& ctx) {
  return ctx.memoryKind == MEMORY_FLASH ? MEMORY_FLASH : MEMORY_EEPROM;
}

// Bytes a memory request moves: page count * page bytes.
std::uint64_t TransferBytes(const ProgrammerContext& ctx) {
  return std::uint64_t{ctx.pageCount} * PageBytes(ctx.memoryKind, ctx.pageSize);
}

}  // namespace

// ---- packets ----

void CProgrammer::BuildHeader(ProgrammerContext& ctx) {
  ctx.packet[0] = kPacketMagic0;
  ctx.packet[1] = kPacketMagic1;
  ctx.packet[2] = ctx.commandCode;
  ctx.packet[3] = 0;
  ctx.packet[4] = 0;
  ctx.packetLength = kPacketHeaderBytes;
}

void CProgrammer::BuildTransferHeader(ProgrammerContext& ctx) {
  BuildHeader(ctx);
  ctx.packet[4] = static_cast<std::uint8_t>(kTransferParamBytes);
  ctx.packet[5] = ctx.progMode;
  ctx.packet[6] = ctx.memoryKind;
  ctx.packet[7] = ctx.pageSize;
  ctx.packet[8] = static_cast<std::uint8_t>((ctx.pageCount >> 8) & 0xFFu);
  ctx.packet[9] = static_cast<std::uint8_t>(ctx.pageCount & 0xFFu);
  ctx.packetLength = kPacketHeaderBytes + kTransferParamBytes;
}

void CProgrammer::SetPayloadLength(ProgrammerContext& ctx) {
  const std::uint32_t payload = ctx.packetLength - kPacketHeaderBytes;
  ctx.packet[3] = static_cast<std::uint8_t>((payload >> 8) & 0xFFu);
  ctx.packet[4] = static_cast<std::uint8_t>(payload & 0xFFu);
}

// ---- the exchange ----

void CProgrammer::ReportError(ProgrammerContext& ctx) {
  // Release a waiting requester before touching the user interface.
  ctx.doneEvent.Set();
  ctx.events.Log(LogKind::LogError, LinkStatusText(ctx.status.load()));
}

void CProgrammer::Fail(ProgrammerContext& ctx, std::uint8_t status, bool reportEvenIfQuiet) {
  ctx.status.store(status);
  if (!ctx.silent && (reportEvenIfQuiet || !ctx.quiet)) ReportError(ctx);
}

void CProgrammer::Cancelled(ProgrammerContext& ctx) {
  ctx.status.store(STATUS_CANCELLED);
  ctx.doneEvent.Set();
  ctx.events.Log(LogKind::LogWarning, LinkStatusText(STATUS_CANCELLED));
}

bool CProgrammer::ExchangeOnce(ProgrammerContext& ctx) {
  ctx.answerCode = 0;
  ctx.answerLength = 0;
  const std::size_t length = std::min<std::size_t>(ctx.packetLength, kPacketBufferBytes);
  // The whole exchange uses one connection, even if the port is closed meanwhile.
  const std::shared_ptr<SerialConnection> link = ctx.port.Hold();
  const auto openedAt = ctx.port.TakeStartup(link.get());
  PacketBuffer sent{};
  if (openedAt) sent = ctx.packet;  // the answer overwrites the packet; keep it for a resend
  if (openedAt && link) {
    // A program that was killed mid-transfer may have left the programmer still sending:
    // drop what arrives until the line has been quiet a moment, so none of it is taken for
    // the answer to this run's first request.
    std::array<std::uint8_t, 256> stale{};
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (link->ReadWithin(stale.data(), stale.size(), 10) > 0 &&
           std::chrono::steady_clock::now() < giveUp) {
    }
  }
  if (!link || !link->Write(ctx.packet.data(), length)) {
    Fail(ctx, STATUS_WRITE_FAILED, false);
    return false;
  }
  bool header = ReadHeader(ctx, *link);
  const bool garbled = header && (ctx.packet[0] != kPacketMagic0 || ctx.packet[1] != kPacketMagic1);
  if (openedAt && (!header || garbled) && !ctx.stopRequested.load() &&
      !ctx.cancelRequested.load()) {
    // The first packet after the port opened met silence or junk: a board that resets on the
    // open (DTR) runs its bootloader first, which swallows that packet. Send it once more
    // when the board has had time to start, on a quiet line. Nothing else is ever resent.
    std::this_thread::sleep_until(*openedAt + std::chrono::milliseconds(kDeviceStartupMs));
    link->DiscardInput();
    ctx.packet = sent;
    if (!link->Write(ctx.packet.data(), length)) {
      Fail(ctx, STATUS_WRITE_FAILED, false);
      return false;
    }
    header = ReadHeader(ctx, *link);
  }
  if (!header) {
    if (ctx.commandCode == CMD_BLANK_CHECK && ctx.cancelRequested.load()) {
      Cancelled(ctx);  // a blank check given up by the user, not a silent programmer
    } else {
      Fail(ctx, STATUS_NO_ANSWER, true);
    }
    return false;
  }
  const std::uint32_t n = std::uint32_t{ctx.packet[3]} * 256u + ctx.packet[4];
  if (ctx.packet[0] != kPacketMagic0 || ctx.packet[1] != kPacketMagic1) {
    // An answer whose start was garbled: its payload would otherwise be taken as the start
    // of every later answer, and no request would succeed again until the port is reopened.
    Drain(*link, n);
    Fail(ctx, STATUS_BAD_HEADER, true);
    return false;
  }
  const std::uint8_t code = ctx.packet[2];
  if (n > kMaxPayloadBytes) {
    // Outside the protocol: swallow it, never into the payload area; then fail.
    Drain(*link, n);
    Fail(ctx, STATUS_SHORT_ANSWER, true);
    return false;
  }
  if (n > 0) {
    ctx.packet.fill(0);
    if (!ReadExact(*link, ctx.packet.data(), n)) {
      Fail(ctx, STATUS_SHORT_ANSWER, true);
      return false;
    }
  }
  ctx.answerCode = code;
  ctx.answerLength = n;
  return true;
}

bool CProgrammer::ReadHeader(ProgrammerContext& ctx, SerialConnection& link) {
  ctx.packet.fill(0);
  const int attempts = ctx.commandCode == CMD_BLANK_CHECK ? kBlankCheckHeaderAttempts : 1;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0 && (ctx.stopRequested.load() || ctx.cancelRequested.load())) return false;
    if (ReadExact(link, ctx.packet.data(), kPacketHeaderBytes)) return true;
  }
  return false;
}

void CProgrammer::Transact(ProgrammerContext& ctx) {
  for (int recovers = 0;; ++recovers) {
    if (!ExchangeOnce(ctx)) return;
    if (ctx.answerCode != ANS_ERROR) {
      ApplyAnswer(ctx);
      return;
    }
    // A device error. An error answer without a code (or with code 0) must still count
    // as a failure, never as success.
    const std::uint8_t code = ctx.answerLength >= 1 ? ctx.packet[0] : 0;
    ctx.status.store(code != 0 ? code : std::uint8_t{STATUS_OUT_OF_STEP});
    if (!ctx.quiet && !ctx.silent) ReportError(ctx);
    if (recovers >= kMaxRecoverExchanges) return;
    ctx.commandCode = CMD_RECOVER;
    BuildHeader(ctx);
  }
}

void CProgrammer::ApplyAnswer(ProgrammerContext& ctx) {
  const std::uint8_t* p = ctx.packet.data();
  const std::uint32_t n = ctx.answerLength;
  const std::uint8_t code = ctx.answerCode;
  auto needs = [&](std::uint32_t bytes) {
    if (n >= bytes) return true;
    Fail(ctx, STATUS_OUT_OF_STEP, true);  // zeros must not pass for values
    return false;
  };
  if (code == ANS_SIGNATURE) {
    if (needs(3))
      ctx.resultValue.store(std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2]);
  } else if (IsValue8Answer(code)) {
    if (needs(1)) ctx.resultValue.store(p[0]);
  } else if (IsValue16Answer(code)) {
    if (needs(2)) ctx.resultValue.store(std::uint32_t{p[0]} << 8 | p[1]);
  } else if (code == ANS_WRITE_READY) {
    ctx.writeReady = true;
  } else if (code == ANS_WRITE_NEXT) {
    ctx.writeNext = true;
  } else if (code == ANS_WRITE_DONE) {
    ctx.writeDone = true;
  } else if (code == ANS_READ_DONE) {
    ctx.readDone = true;
  } else if (code == ANS_DATA) {
    // Only a read stream may change an image.
    if (ctx.commandCode == CMD_READ_MEMORY || ctx.commandCode == CMD_STOP_READ) ApplyData(ctx);
  } else if (code == ANS_FUSES) {
    if (ctx.commandCode == CMD_READ_FUSES) ApplyFuses(ctx);
  } else if (code == ANS_BLANK) {
    if (ctx.commandCode == CMD_BLANK_CHECK && needs(1)) ApplyBlank(ctx);
  }
  // Every other code is accepted without effect.
}

void CProgrammer::ApplyData(ProgrammerContext& ctx) {
  const std::uint32_t n = ctx.answerLength;
  std::uint32_t capacity = 0;
  std::uint8_t* image = ImageOf(ctx, capacity);
  if (image) {
    if (std::uint64_t{ctx.transferOffset} + n > capacity) {
      Fail(ctx, STATUS_OUT_OF_STEP, true);  // would run past the image
      return;
    }
    std::uint8_t* at = image + ctx.transferOffset;
    if (!ctx.verify) {
      if (ctx.readScratch.size() < capacity) {
        Fail(ctx, STATUS_OUT_OF_STEP, true);  // data outside a read request
        return;
      }
      std::memcpy(ctx.readScratch.data() + ctx.transferOffset, ctx.packet.data(), n);
    } else if (ctx.mismatch == 0) {
      // Once a chunk differed the verdict stands; later chunks are not compared.
      const int order = std::memcmp(at, ctx.packet.data(), n);
      ctx.mismatch = order == 0 ? 0 : (order < 0 ? -1 : 1);
      if (order != 0) {
        std::uint32_t i = 0;
        while (at[i] == ctx.packet[i]) ++i;
        ctx.firstDifference = ctx.transferOffset + i;
      }
    }
  }
  ctx.transferOffset += n;
}

void CProgrammer::ApplyFuses(ProgrammerContext& ctx) {
  const std::uint8_t* p = ctx.packet.data();
  WorkerEvents& events = ctx.events;
  if (!ctx.lockSelector) {
    FuseByteSlots& slots = ctx.fuses;
    const std::uint32_t wanted =
        std::uint32_t{slots.low.present} + slots.high.present + slots.extended.present;
    if (ctx.answerLength < wanted) {
      Fail(ctx, STATUS_OUT_OF_STEP, true);
      return;
    }
    std::size_t i = 0;
    struct Entry {
      ByteSlot& slot;
      const char* label;
    } entries[] = {{slots.low, "Read LOW: "},
                   {slots.high, "Read HIGH: "},
                   {slots.extended, "Read EXTENDEND: "}};
    for (Entry& entry : entries) {
      if (!entry.slot.present) continue;
      const std::uint8_t byte = p[i++];
      if (ctx.verify) {
        if (byte != entry.slot.value) ++ctx.mismatch;
        continue;
      }
      if (&entry.slot == &slots.low) events.Log(LogKind::LogSuccess, "Read fuses");
      entry.slot.value = byte;
      events.Log(LogKind::LogInfo, entry.label + Hex2(byte));
    }
    return;
  }
  ByteSlot& lock = ctx.lockBits.lock;
  if (lock.present && ctx.answerLength < 1) {
    Fail(ctx, STATUS_OUT_OF_STEP, true);
    return;
  }
  if (!ctx.verify) events.Log(LogKind::LogSuccess, "Read lock bits");
  if (!lock.present) return;
  if (ctx.verify) {
    if (p[0] != lock.value) ++ctx.mismatch;
    return;
  }
  lock.value = p[0];
  events.Log(LogKind::LogInfo, "Read LOCKBIT: " + Hex2(p[0]));
}

void CProgrammer::ApplyBlank(ProgrammerContext& ctx) {
  ctx.events.Progress(ProgressStep::MarqueeStop);
  ctx.events.Progress(ProgressStep::Hide);
  ctx.blankEmpty = ctx.packet[0] == 0;
  if (ctx.packet[0] != 0) {
    ctx.events.Log(LogKind::LogWarning, "Chip not empty !!!");
  } else {
    ctx.events.Log(LogKind::LogSuccess, "Chip is empty");
  }
}

// ---- simple commands ----

void CProgrammer::DoPlainCommand(ProgrammerContext& ctx) {
  BuildHeader(ctx);
  Transact(ctx);
}

void CProgrammer::DoModeCommand(ProgrammerContext& ctx) {
  BuildHeader(ctx);
  ctx.packet[ctx.packetLength++] = ctx.progMode;
  SetPayloadLength(ctx);
  Transact(ctx);
}

void CProgrammer::DoModeArgCommand(ProgrammerContext& ctx) {
  BuildHeader(ctx);
  ctx.packet[ctx.packetLength++] = ctx.progMode;
  ctx.packet[ctx.packetLength++] = ctx.argument;
  SetPayloadLength(ctx);
  Transact(ctx);
}

void CProgrammer::DoArgCommand(ProgrammerContext& ctx) {
  BuildHeader(ctx);
  ctx.packet[ctx.packetLength++] = ctx.argument;
  SetPayloadLength(ctx);
  Transact(ctx);
}

// ---- identify ----

bool CProgrammer::ProbeMode(ProgrammerContext& ctx, std::uint8_t mode) {
  ctx.status.store(STATUS_OK);
  ctx.resultValue.store(0);
  ctx.commandCode = CMD_READ_SIGNATURE;
  BuildHeader(ctx);
  ctx.packet[ctx.packetLength++] = mode;
  SetPayloadLength(ctx);
  Transact(ctx);
  if (ctx.status.load() != STATUS_OK || ctx.answerCode != ANS_SIGNATURE) return false;
  const std::uint32_t signature = ctx.resultValue.load();
  return (signature >> 16) == 0x1Eu && ((signature >> 8) & 0xFFu) != 0x1Eu &&
         (signature & 0xFFu) != 0x1Eu;
}

void CProgrammer::DoIdentify(ProgrammerContext& ctx) {
  ctx.quiet = true;
  ctx.socket.store(false);
  ctx.status.store(STATUS_OK);
  ctx.resultValue.store(0);
  bool found = false;
  ctx.commandCode = CMD_DETECT_ISP_CLOCK;
  DoPlainCommand(ctx);
  bool linkFailed = EndsRequest(ctx.status.load());
  if (!linkFailed) {
    const bool ispClock = ctx.status.load() == STATUS_OK && ctx.answerCode != 0 &&
                          (ctx.resultValue.load() & 0xFFu) != 0;
    ctx.status.store(STATUS_OK);
    if (ispClock) found = ProbeMode(ctx, PROG_MODE_ISP);
    linkFailed = !found && EndsRequest(ctx.status.load());
  }
  if (!found && !linkFailed) {
    ctx.socket.store(true);
    for (std::uint8_t mode : {PROG_MODE_HVSP, PROG_MODE_HVPP2, PROG_MODE_HVPP}) {
      found = ProbeMode(ctx, mode);
      if (found || EndsRequest(ctx.status.load())) break;
    }
  }
  if (found) {
    ctx.status.store(STATUS_OK);
  } else {
    ctx.status.store(STATUS_IDENTIFY_FAILED);
  }
  ctx.quiet = false;
}

// ---- line rate ----

void CProgrammer::DoSetLineRate(ProgrammerContext& ctx) {
  const std::uint32_t baud = ctx.lineRate;
  if (ctx.lineProbe) {
    ctx.port.SetRate(baud);
    ctx.port.DiscardInput();
    ctx.status.store(CheckLine(ctx) ? STATUS_OK : STATUS_NO_ANSWER);
    return;
  }
  ctx.quiet = true;  // the original programmer refuses: that is an answer, not an error
  BuildHeader(ctx);
  for (int shift = 24; shift >= 0; shift -= 8) {
    ctx.packet[ctx.packetLength++] = static_cast<std::uint8_t>((baud >> shift) & 0xFFu);
  }
  SetPayloadLength(ctx);
  Transact(ctx);
  ctx.quiet = false;
  const std::uint8_t status = ctx.status.load();
  if (KindOfStatus(status) == StatusKind::DeviceError) return;  // refused: nothing changed
  if (status == STATUS_OK && ctx.answerCode == ANS_OK) {
    // The firmware switches a fraction of a millisecond after its answer's last stop bit; a
    // host that reads the answer early (a simulated board hands bytes over as they are
    // written) must not be quicker than that.
    std::this_thread::sleep_for(std::chrono::milliseconds(kLineSwitchMs));
    if (ctx.port.SetRate(baud) && CheckLine(ctx)) return;
  }
  // The programmer may be at the new rate, or may have missed the request: the host goes back
  // to the base rate and stays silent until the programmer has returned there by itself.
  ctx.port.SetRate(kBaseLineRate);
  std::this_thread::sleep_for(std::chrono::milliseconds(kLineIdleReturnMs + 200));
  ctx.port.DiscardInput();
  if (ctx.status.load() == STATUS_OK) ctx.status.store(STATUS_NO_ANSWER);
}

bool CProgrammer::CheckLine(ProgrammerContext& ctx) {
  const std::shared_ptr<SerialConnection> link = ctx.port.Hold();
  if (!link) return false;
  const std::uint8_t ask[kPacketHeaderBytes] = {kPacketMagic0, kPacketMagic1, CMD_FIRMWARE_VERSION,
                                                0, 0};
  if (!link->Write(ask, sizeof ask)) return false;
  std::array<std::uint8_t, kPacketHeaderBytes + 2> answer{};
  const long got = link->ReadWithin(answer.data(), answer.size(), 250);
  return got == static_cast<long>(answer.size()) && answer[0] == kPacketMagic0 &&
         answer[1] == kPacketMagic1 && IsValue16Answer(answer[2]) && answer[3] == 0 &&
         answer[4] == 2;
}

// ---- memory ----

namespace {
bool GeometryFits(ProgrammerContext& ctx) {
  std::uint32_t capacity = 0;
  const std::uint8_t* image = ImageOf(ctx, capacity);
  // The page count must also fit its 16 bits on the wire, or the two sides disagree.
  return image != nullptr && ctx.pageSize != 0 && ctx.pageCount != 0 && ctx.pageCount <= 0xFFFFu &&
         TransferBytes(ctx) <= capacity;
}
}  // namespace

void CProgrammer::DoReadMemory(ProgrammerContext& ctx) {
  WorkerEvents& events = ctx.events;
  ctx.readDone = false;
  ctx.transferOffset = 0;
  if (!GeometryFits(ctx)) {
    Fail(ctx, STATUS_OUT_OF_STEP, true);  // nothing sent: the request does not fit its image
    return;
  }
  std::uint32_t capacity = 0;
  ImageOf(ctx, capacity);
  if (!ctx.verify) ctx.readScratch.assign(capacity, 0xFF);
  events.Progress(ProgressStep::Smooth);
  events.Progress(ProgressStep::Range, static_cast<std::uint16_t>(ctx.pageCount));
  events.Progress(ProgressStep::Position, 0);
  events.Progress(ProgressStep::Show);
  BuildTransferHeader(ctx);
  Transact(ctx);
  if (ctx.status.load() != STATUS_OK) return;

  bool failed = false;
  int idleAnswers = 0;
  do {
    const std::uint32_t units =
        ctx.memoryKind == MEMORY_FLASH ? ctx.transferOffset / 2 : ctx.transferOffset;
    events.Progress(ProgressStep::Position, units / ctx.pageSize);
    const std::uint32_t before = ctx.transferOffset;
    BuildHeader(ctx);
    Transact(ctx);
    if (ctx.status.load() != STATUS_OK) {
      failed = true;
      break;
    }
    const bool cancel = ctx.cancelRequested.load();
    if ((cancel || (ctx.verify && ctx.mismatch != 0)) && !ctx.readDone) {
      ctx.commandCode = CMD_STOP_READ;
      BuildHeader(ctx);
      Transact(ctx);
      if (ctx.status.load() != STATUS_OK) {
        failed = true;
        break;
      }
    }
    if (cancel) {
      Cancelled(ctx);
      failed = true;
      break;
    }
    idleAnswers = ctx.transferOffset != before ? 0 : idleAnswers + 1;
    if (!ctx.readDone && idleAnswers >= kMaxIdleReadAnswers) {
      Fail(ctx, STATUS_OUT_OF_STEP, true);
      failed = true;
      break;
    }
  } while (!ctx.readDone);
  events.Progress(ProgressStep::Hide);

  // A stream that ended before (or after) the requested size did not read the memory.
  const bool complete = ctx.transferOffset == TransferBytes(ctx);
  if (ctx.verify) {
    if (failed) return;
    if (ctx.mismatch != 0) {
      events.Log(LogKind::LogWarning, "Chip differ !!!");
    } else if (!complete) {
      Fail(ctx, STATUS_OUT_OF_STEP, true);
    } else {
      events.Log(LogKind::LogSuccess, "Verified OK");
    }
    return;
  }
  if (!failed && complete) {
    MemoryBuffer& target = ctx.memoryKind == MEMORY_FLASH ? ctx.flashBuffer : ctx.eepromBuffer;
    const auto lock = target.Lock();
    std::memcpy(target.data(), ctx.readScratch.data(), capacity);
    // The image is the chip's now, not the file's.
    target.setIncomplete(false);
    target.setDevice({});
  }
  events.Deliver(MemoryRead{ViewOf(ctx), {}});
  if (failed) return;
  if (!complete) {
    Fail(ctx, STATUS_OUT_OF_STEP, true);
    return;
  }
  events.Log(LogKind::LogSuccess, ctx.memoryKind == MEMORY_FLASH ? "FLASH Code read into buffer"
                                                                 : "EEPROM read into buffer");
}

void CProgrammer::DoWriteMemory(ProgrammerContext& ctx) {
  WorkerEvents& events = ctx.events;
  ctx.writeReady = false;
  ctx.writeDone = false;
  ctx.transferOffset = 0;
  if (!GeometryFits(ctx)) {
    Fail(ctx, STATUS_OUT_OF_STEP, true);  // nothing sent: never read past the image
    return;
  }
  std::uint32_t capacity = 0;
  const std::uint8_t* image = ImageOf(ctx, capacity);
  const std::uint32_t pageBytes = PageBytes(ctx.memoryKind, ctx.pageSize);
  const std::uint32_t total = static_cast<std::uint32_t>(TransferBytes(ctx));

  events.Progress(ProgressStep::Smooth);
  events.Progress(ProgressStep::Range, static_cast<std::uint16_t>(ctx.pageCount));
  events.Progress(ProgressStep::Position, 0);
  events.Progress(ProgressStep::Show);
  BuildTransferHeader(ctx);
  Transact(ctx);
  if (ctx.status.load() != STATUS_OK) return;
  if (!ctx.writeReady) {
    Fail(ctx, STATUS_OUT_OF_STEP, true);  // the programmer did not accept the write
    return;
  }

  std::uint32_t sent = 0;
  for (;;) {
    if (ctx.cancelRequested.load()) {
      // The programmer waits for the next page: CMD_RECOVER makes it ready again.
      ctx.commandCode = CMD_RECOVER;
      BuildHeader(ctx);
      Transact(ctx);
      Cancelled(ctx);
      break;
    }
    ctx.writeNext = false;
    ctx.commandCode = CMD_WRITE_MEMORY;
    BuildHeader(ctx);
    std::uint32_t length = 0;
    if (pageBytes <= kMaxPayloadBytes) {
      const std::uint32_t pagesLeft = (total - sent) / pageBytes;
      length = std::min<std::uint32_t>(kMaxPayloadBytes / pageBytes, pagesLeft) * pageBytes;
    } else {
      // A page larger than one packet goes in pieces of at most 256 bytes.
      const std::uint32_t pageEnd = (sent / pageBytes + 1) * pageBytes;
      length = std::min<std::uint32_t>(kMaxPayloadBytes, pageEnd - sent);
    }
    std::memcpy(ctx.packet.data() + kPacketHeaderBytes, image + sent, length);
    ctx.packetLength = kPacketHeaderBytes + length;
    sent += length;
    events.Progress(ProgressStep::Position, sent / pageBytes);
    SetPayloadLength(ctx);
    Transact(ctx);
    if (ctx.status.load() != STATUS_OK) break;
    const bool last = sent == total;
    if (ctx.writeDone) {
      if (!last) Fail(ctx, STATUS_OUT_OF_STEP, true);  // done before every page was sent
      break;
    }
    if (!ctx.writeNext || last) {
      Fail(ctx, STATUS_OUT_OF_STEP, true);  // neither next nor done, or next after the last page
      break;
    }
  }
  ctx.transferOffset = sent;
  events.Progress(ProgressStep::Hide);
  if (ctx.status.load() != STATUS_OK) return;
  events.Log(LogKind::LogSuccess, std::to_string(total) + " bytes written to " +
                                      (ctx.memoryKind == MEMORY_FLASH ? "FLASH" : "EEPROM"));
}

void CProgrammer::DoBlankCheck(ProgrammerContext& ctx) {
  ctx.events.Progress(ProgressStep::Marquee);
  ctx.events.Progress(ProgressStep::MarqueeStart);
  ctx.events.Progress(ProgressStep::Show);
  ctx.commandCode = CMD_BLANK_CHECK;
  BuildTransferHeader(ctx);
  Transact(ctx);
  if (ctx.status.load() == STATUS_OK && ctx.answerCode != ANS_BLANK) {
    Fail(ctx, STATUS_OUT_OF_STEP, true);  // no verdict arrived
  }
}

// ---- fuses and lock bits ----

void CProgrammer::DoReadFuses(ProgrammerContext& ctx) {
  ctx.commandCode = CMD_READ_FUSES;
  BuildHeader(ctx);
  ctx.packet[ctx.packetLength++] = ctx.progMode;
  if (!ctx.lockSelector) {
    if (ctx.fuses.low.present) ctx.packet[ctx.packetLength++] = kTargetLow;
    if (ctx.fuses.high.present) ctx.packet[ctx.packetLength++] = kTargetHigh;
    if (ctx.fuses.extended.present) ctx.packet[ctx.packetLength++] = kTargetExtended;
  } else if (ctx.lockBits.lock.present) {
    ctx.packet[ctx.packetLength++] = kTargetLockBit;
  }
  if (ctx.packetLength <= kPacketHeaderBytes + 1) return;
  SetPayloadLength(ctx);
  Transact(ctx);
  if (ctx.status.load() == STATUS_OK && ctx.answerCode != ANS_FUSES) {
    Fail(ctx, STATUS_OUT_OF_STEP, true);  // no values arrived
  }
  if (ctx.verify) {
    if (ctx.status.load() != STATUS_OK) return;
    const bool differ = ctx.mismatch != 0;
    if (!ctx.lockSelector) {
      ctx.events.Log(differ ? LogKind::LogWarning : LogKind::LogSuccess,
                     differ ? "Fuse bits verification FAILED" : "Fuse bits verification OK");
    } else {
      ctx.events.Log(differ ? LogKind::LogWarning : LogKind::LogSuccess,
                     differ ? "Lock bits verification FAILED" : "Lock bits verification OK");
    }
    return;
  }
  ctx.events.Deliver(
      FusesRead{ctx.lockSelector ? FuseEditorKind::LockBits : FuseEditorKind::Fuses, false, {}});
}

void CProgrammer::DoWriteFuses(ProgrammerContext& ctx) {
  WorkerEvents& events = ctx.events;
  ctx.commandCode = CMD_WRITE_FUSES;
  BuildHeader(ctx);
  ctx.packet[ctx.packetLength++] = ctx.progMode;
  auto append = [&](std::uint8_t target, const ByteSlot& slot, const char* label) {
    if (!slot.present) return;
    ctx.packet[ctx.packetLength++] = target;
    ctx.packet[ctx.packetLength++] = slot.value;
    events.Log(LogKind::LogInfo, label + Hex2(slot.value));
  };
  if (!ctx.lockSelector) {
    events.Log(LogKind::LogSuccess, "Write fuses");
    append(kTargetLow, ctx.fuses.low, "Write LOW: ");
    append(kTargetHigh, ctx.fuses.high, "Write HIGH: ");
    append(kTargetExtended, ctx.fuses.extended, "Write EXTENDEND: ");
  } else {
    events.Log(LogKind::LogSuccess, "Write lock bits");
    append(kTargetLockBit, ctx.lockBits.lock, "Write LOCKBIT: ");
  }
  if (ctx.packetLength <= kPacketHeaderBytes + 1) return;
  SetPayloadLength(ctx);
  Transact(ctx);
}

}  // namespace bq

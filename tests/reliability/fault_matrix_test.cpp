// The fault matrix: every row injects one fault into a simulated programmer behind a real
// pseudo-terminal and checks what the user would see: the exact log lines, the status, the
// images and fuse slots the request did not mean to change, the chip, the time taken, and
// that the next request (after reopening the port where the fault closed it) is served.
// Each row leaves one line of the RELIABILITY.md table in the build folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "image/memory_buffer.h"
#include "link/programmer.h"
#include "link/protocol.h"
#include "link/serial_port.h"
#include "platform/posix/posix_port_driver.h"
#include "sim/sim_chip.h"
#include "sim/sim_fault.h"
#include "tests/reliability/matrix_rows.h"
#include "tests/reliability/reliability_support.h"
#include "tests/sim/pty_simulator.h"

namespace bq::test {
namespace {

using namespace std::chrono_literals;
using reliability::MatrixRow;
using reliability::Op;
using reliability::Prelude;
using reliability::Transport;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kPtyVersion = 0x0107;

struct Geometry {
  std::uint32_t signature;
  std::uint8_t flashPageWords;
  std::uint32_t flashPages;
  std::uint8_t eepromPageBytes;
  std::uint32_t eepromPages;
  bool hasExtended;
  std::uint32_t FlashBytes() const { return std::uint32_t{flashPageWords} * 2 * flashPages; }
  std::uint32_t EepromBytes() const { return std::uint32_t{eepromPageBytes} * eepromPages; }
};

// The in-process chip: 32 KiB flash, 1 KiB EEPROM (8 KiB for the rows that fill the image),
// high-voltage mode 1, three fuse bytes. The program serves ATmega8 from the part list.
Geometry GeometryOf(const MatrixRow& row) {
  if (row.transport == Transport::Program) return {0x1E9307, 32, 128, 4, 128, false};
  return {0x1E950F, 64, 256, 4, row.bigEeprom ? 2048u : 256u, true};
}

PartRecord PartOf(const Geometry& g) {
  PartRecord part;
  part.signature = g.signature;
  part.flashPageSizeW = g.flashPageWords;
  part.flashNoOfPages = g.flashPages;
  part.eepromPageSize = g.eepromPageBytes;
  part.eepromNoOfPages = g.eepromPages;
  part.hvMode = 1;
  part.hasDefaultLow = part.hasDefaultHigh = part.hasDefaultExtended = true;
  part.defaultLow = 0x62;
  part.defaultHigh = 0xD9;
  part.defaultExtended = 0xFF;
  return part;
}

std::string StatusName(std::uint8_t s) {
  if (s == 0) return "0 (ok)";
  if (s >= 1 && s <= 7) return std::to_string(s) + " (" + DeviceErrorText(s) + ")";
  switch (s) {
    case STATUS_WRITE_FAILED: return "250 (write failed)";
    case STATUS_NO_ANSWER: return "251 (no answer)";
    case STATUS_BAD_HEADER: return "252 (bad header)";
    case STATUS_SHORT_ANSWER: return "253 (short answer)";
    case STATUS_OUT_OF_STEP: return "254 (out of step)";
    case STATUS_IDENTIFY_FAILED: return "255 (identify failed)";
    default: return std::to_string(s) + " (unknown device error)";
  }
}

std::vector<std::string> Lines(const MatrixRow& row) {
  std::vector<std::string> out;
  for (const char* l : row.lines)
    if (l) out.push_back(l);
  return out;
}

std::vector<std::string> Faults(const MatrixRow& row) {
  std::vector<std::string> out;
  for (const char* f : row.faults)
    if (f) out.push_back(f);
  return out;
}

int ExpectedRecovers(const MatrixRow& row) {
  int recovers = 0;
  for (const std::string& f : Faults(row)) {
    if (f.find(":error=") == std::string::npos) continue;
    recovers = f.rfind("0xCF", 0) == 0 ? 3 : std::max(recovers, 1);
  }
  return recovers;
}

// Which image a request may change: a read changes the image it reads into.
bool MayChangeFlash(Op op) { return op == Op::ReadFlash; }
bool MayChangeEeprom(Op op) { return op == Op::ReadEeprom; }

// The line with which a posted request claims to have done its work.
bool IsDoneLine(Op op, const std::string& t) {
  switch (op) {
    case Op::ReadFlash: return t == "FLASH Code read into buffer";
    case Op::ReadEeprom: return t == "EEPROM read into buffer";
    case Op::VerifyFlash: return t == "Verified OK" || t == "Chip differ !!!";
    case Op::WriteFlash: return t.ends_with(" bytes written to FLASH");
    case Op::WriteEeprom: return t.ends_with(" bytes written to EEPROM");
    case Op::BlankCheck: return t == "Chip is empty" || t == "Chip not empty !!!";
    case Op::ReadFuses: return t.rfind("Read LOW: ", 0) == 0;
    case Op::VerifyFuses:
      return t == "Fuse bits verification OK" || t == "Fuse bits verification FAILED";
    case Op::Erase: return t == "Chip erased";
    default: return false;
  }
}

struct ChipState {
  Bytes flash, eeprom;
  std::array<std::uint8_t, 4> bytes{};
  bool operator==(const ChipState&) const = default;
};

class Rig {
 public:
  explicit Rig(const MatrixRow& row)
      : row_(row),
        geometry_(GeometryOf(row)),
        chip_(std::make_shared<SimChip>(SimChip::FromPart("Rig", PartOf(geometry_)))) {
    for (std::size_t i = 0; i < chip_->flash.size(); ++i)
      chip_->flash[i] = static_cast<std::uint8_t>(i * 13 + 7 + (i >> 9));
    for (std::size_t i = 0; i < chip_->eeprom.size(); ++i)
      chip_->eeprom[i] = static_cast<std::uint8_t>(i * 5 + 1);
    // The flash image holds what the in-process chip holds (a verify passes); the bytes past
    // the chip's memory, and the whole EEPROM image, hold markers a stray write would change.
    std::fill(flash.data(), flash.data() + flash.capacity(), std::uint8_t{0x5A});
    std::copy(chip_->flash.begin(), chip_->flash.end(), flash.data());
    std::fill(eeprom.data(), eeprom.data() + eeprom.capacity(), std::uint8_t{0xA5});
    fuses.low = {0x11, true};
    fuses.high = {0x22, true};
    fuses.extended = {0x33, geometry_.hasExtended};
    lockBits.lock = {0x3C, true};
  }
  ~Rig() {
    programmer.StopWorker();
    port.ClosePort();
  }

  bool Start() {
    if (!StartLine(true)) return false;
    if (!programmer.StartWorker({port, flash, eeprom, fuses, lockBits, events})) return false;
    programmer.SetProgrammingMode(PROG_MODE_HVPP);
    return true;
  }

  // A new simulated programmer (same chip for the in-process one) and the port opened on it.
  bool StartLine(bool withFaults) {
    port.ClosePort();
    sim_.reset();
    program_.reset();
    if (row_.transport == Transport::Program) {
      std::vector<std::string> args = {"--partlist", std::string(BQ_SOURCE_DIR) + "/PartList.cfg",
                                       "--part", "ATmega8", "--connect", "socket"};
      if (withFaults)
        for (const std::string& f : Faults(row_)) args.insert(args.end(), {"--fault", f});
      program_ = std::make_unique<SimProgram>(args);
      portName_ = program_->Device();
    } else {
      SimOptions options;
      options.connect = SimConnect::kSocket;
      options.blankCheckTime = std::chrono::milliseconds(row_.blankAfterReads * kFastReadMs);
      if (withFaults)
        for (const std::string& f : Faults(row_)) options.faults.push_back(*ParseSimFault(f));
      sim_ = std::make_unique<PtySimulator>(chip_, options);
      if (!sim_->Start()) return false;
      portName_ = (row_.transport == Transport::FastPty ? "fast:" : "") + sim_->SlavePath();
    }
    return !portName_.empty() && port.OpenPort(portName_);
  }

  void ClearFaults() {
    if (sim_) sim_->line().With([](SimProgrammer& p) { p.options().faults.clear(); });
  }
  void AddFault(const std::string& faultText) {
    sim_->line().With([&](SimProgrammer& p) { p.options().faults.push_back(*ParseSimFault(faultText)); });
  }
  std::optional<ChipState> Chip() {
    if (!sim_) return std::nullopt;
    return sim_->line().With([](SimProgrammer& p) {
      const SimChip& c = p.chip();
      return ChipState{c.flash, c.eeprom, {c.low, c.high, c.extended, c.lock}};
    });
  }
  void ReopenPort() { port.OpenPort(portName_); }

  // Runs the request and waits until the worker is idle; true when the request claims
  // success (a waited request's result, or the posted request's own success line).
  bool Run(Op op) {
    const bool flashKind = op == Op::ReadFlash || op == Op::VerifyFlash ||
                           op == Op::WriteFlash || op == Op::BlankCheck;
    if (flashKind) {
      programmer.SetTransferParams(MEMORY_FLASH, geometry_.flashPageWords, geometry_.flashPages);
    } else {
      programmer.SetTransferParams(MEMORY_EEPROM, geometry_.eepromPageBytes,
                                   geometry_.eepromPages);
    }
    bool waited = true;
    bool ok = false;
    std::uint32_t value = 0;
    std::uint8_t clock = 0;
    bool socket = false;
    switch (op) {
      case Op::FirmwareVersion:
        ok = programmer.QueryFirmwareVersion(value) && value == kPtyVersion;
        break;
      case Op::ReadSignature:
        ok = programmer.ReadSignatureRequest(value) && value == geometry_.signature;
        break;
      case Op::SetIspClock:
        ok = programmer.SetIspClockRequest(3, clock) && clock == 3;
        break;
      case Op::Identify:
        ok = programmer.IdentifyRequest(value, socket) && value == geometry_.signature && socket;
        break;
      case Op::Erase:
        ok = programmer.EraseRequest();
        break;
      default:
        waited = false;
        break;
    }
    if (waited) {
      programmer.WaitIdleFor(60s);
      return ok;
    }
    bool posted = false;
    switch (op) {
      case Op::BlankCheck: posted = programmer.StartBlankCheck(); break;
      case Op::ReadFlash:
      case Op::ReadEeprom: posted = programmer.StartReadMemory(); break;
      case Op::VerifyFlash: posted = programmer.StartVerifyMemory(); break;
      case Op::WriteFlash:
      case Op::WriteEeprom: posted = programmer.StartWriteMemory(); break;
      case Op::ReadFuses: posted = programmer.StartReadFuses(); break;
      case Op::VerifyFuses: posted = programmer.StartVerifyFuses(); break;
      case Op::WriteFuses: posted = programmer.StartWriteFuses(); break;
      case Op::WriteLockBits: posted = programmer.StartWriteLockBits(); break;
      default: break;
    }
    if (!posted || !programmer.WaitIdleFor(60s)) return false;
    if (op == Op::WriteFuses || op == Op::WriteLockBits) {
      // No line confirms these writes: success is a clean status.
      return programmer.Status() == STATUS_OK && events.Texts(LogKind::LogError).empty();
    }
    const auto texts = events.AllTexts();
    return std::any_of(texts.begin(), texts.end(),
                       [op](const std::string& t) { return IsDoneLine(op, t); });
  }

  const Geometry& geometry() const { return geometry_; }

  std::shared_ptr<WriteLog> writes = std::make_shared<WriteLog>();
  std::shared_ptr<std::atomic<int>> headerReads = std::make_shared<std::atomic<int>>(0);

 private:
  const MatrixRow& row_;
  Geometry geometry_;
  std::shared_ptr<SimChip> chip_;
  std::unique_ptr<PtySimulator> sim_;
  std::unique_ptr<SimProgram> program_;
  std::string portName_;

 public:
  SerialPort port{{std::make_shared<RecordingDriver>(std::make_shared<FastPtyDriver>(headerReads),
                                                     writes),
                   std::make_shared<RecordingDriver>(std::make_shared<PosixPortDriver>(), writes)}};
  MemoryBuffer flash{kFlashBufferBytes};
  MemoryBuffer eeprom{kEepromBufferBytes};
  FuseByteSlots fuses;
  FuseByteSlots lockBits;
  ObservedEvents events;
  CProgrammer programmer;  // declared last: stopped before everything it uses
};

std::string Joined(const std::vector<std::string>& lines) {
  if (lines.empty()) return "(none)";
  std::string out;
  for (const std::string& l : lines) out += (out.empty() ? "" : "<br>") + ("\"" + l + "\"");
  return out;
}

// One line of the table, written when the row's test ends (also when it fails).
struct RowReport {
  const MatrixRow& row;
  std::uint8_t status = 0;
  bool statusSeen = false;
  std::string buffers = "not reached";
  std::string next = "not reached";

  ~RowReport() {
    const bool pass = !::testing::Test::HasFailure();
    std::string fault = std::string(row.fault);
    std::string faultTexts;
    for (const std::string& f : Faults(row)) faultTexts += (faultTexts.empty() ? "" : " ") + ("`" + f + "`");
    if (row.blankAfterReads > 0) {
      faultTexts = "blank check takes " + std::to_string(row.blankAfterReads * kFastReadMs) + " ms";
    }
    if (row.prelude == Prelude::PortClosed) faultTexts = "`SerialPort::ClosePort`";
    if (row.prelude == Prelude::HungUpEarlier) faultTexts = "`0xC1:hangup` on an earlier request";
    std::ostringstream line;
    line << "| " << row.id << " | " << fault << ": " << faultTexts << " ("
         << reliability::TransportName(row.transport) << ") | " << reliability::OpName(row.op)
         << " | " << Joined(Lines(row)) << " | "
         << (statusSeen ? StatusName(status) : std::string("not reached")) << " | " << buffers
         << " | " << next << " | " << "≤ " << row.boundSeconds << " s | "
         << (pass ? "PASS" : "FAIL") << " |";
    const std::filesystem::path dir = std::filesystem::path(BQ_BINARY_DIR) / "reliability" / "rows";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::ofstream(dir / (std::string(row.id) + ".md")) << line.str() << "\n";
  }
};

class FaultMatrix : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FaultMatrix, FaultIsReportedNothingElseChangesAndTheNextRequestIsServed) {
  const MatrixRow& row = reliability::MatrixRows()[GetParam()];
  RowReport report{row};
  Rig rig(row);
  ASSERT_TRUE(rig.Start()) << "simulator or port did not start";

  // What happened to the line before this request.
  if (row.prelude == Prelude::PortClosed) {
    rig.port.ClosePort();
  } else if (row.prelude == Prelude::HungUpEarlier) {
    rig.AddFault("0xC1:hangup");
    std::uint32_t value = 0;
    EXPECT_FALSE(rig.programmer.QueryHardwareVersion(value));
    ASSERT_TRUE(rig.programmer.WaitIdleFor(10s));
    rig.events.Clear();
  }
  rig.writes->Clear();
  rig.headerReads->store(0);

  const Bytes flashBefore(rig.flash.data(), rig.flash.data() + rig.flash.capacity());
  const Bytes eepromBefore(rig.eeprom.data(), rig.eeprom.data() + rig.eeprom.capacity());
  const FuseByteSlots fusesBefore = rig.fuses;
  const FuseByteSlots lockBefore = rig.lockBits;
  const std::optional<ChipState> chipBefore = rig.Chip();

  // The faulty request.
  const auto t0 = Clock::now();
  const bool claimed = rig.Run(row.op);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  report.status = rig.programmer.Status();
  report.statusSeen = true;

  EXPECT_EQ(report.status, row.status) << StatusName(report.status);
  const std::vector<std::string> shown =
      row.status == 0 ? rig.events.AllTexts() : rig.events.Texts(LogKind::LogError);
  EXPECT_EQ(shown, Lines(row));
  EXPECT_EQ(claimed, row.status == 0) << "a failed request claimed success (or the reverse)";
  EXPECT_LE(seconds, row.boundSeconds) << "the request took too long";
  EXPECT_EQ(static_cast<int>(rig.writes->PacketsWithCode(CMD_RECOVER).size()),
            ExpectedRecovers(row));
  if (row.transport == Transport::FastPty) {
    // The blank check waits up to 60 header reads; every other command one.
    const int reads = rig.headerReads->load();
    if (row.status == STATUS_NO_ANSWER) {
      EXPECT_EQ(reads, kBlankCheckHeaderAttempts);
    } else {
      EXPECT_LE(reads, kBlankCheckHeaderAttempts);
    }
  }

  // Images and slots the request did not mean to change.
  std::vector<std::string> kept, changed;
  const Bytes flashAfter(rig.flash.data(), rig.flash.data() + rig.flash.capacity());
  const Bytes eepromAfter(rig.eeprom.data(), rig.eeprom.data() + rig.eeprom.capacity());
  bool buffersOk = true;
  auto checkRead = [&](const Bytes& after, std::uint32_t area, const Bytes& chip) {
    // A read that succeeded replaced the image: every byte is 0xFF or what the chip holds.
    for (std::size_t i = 0; i < after.size(); ++i) {
      const bool fine = after[i] == 0xFF || (i < area && (chip.empty() || after[i] == chip[i]));
      if (!fine) {
        ADD_FAILURE() << "image byte " << i << " is 0x" << std::hex << int{after[i]};
        buffersOk = false;
        return;
      }
    }
  };
  // A failed read keeps the image the user had.
  const bool readReplaces = row.status == 0;
  if (MayChangeFlash(row.op) && readReplaces) {
    checkRead(flashAfter, rig.geometry().FlashBytes(), chipBefore ? chipBefore->flash : Bytes{});
    changed.push_back("flash image only 0xFF or chip bytes");
  } else {
    buffersOk &= flashAfter == flashBefore;
    EXPECT_TRUE(flashAfter == flashBefore) << "flash image changed";
    kept.push_back("flash image");
  }
  if (MayChangeEeprom(row.op) && readReplaces) {
    checkRead(eepromAfter, rig.geometry().EepromBytes(),
              chipBefore ? chipBefore->eeprom : Bytes{});
    changed.push_back("EEPROM image only 0xFF or chip bytes");
  } else {
    buffersOk &= eepromAfter == eepromBefore;
    EXPECT_TRUE(eepromAfter == eepromBefore) << "EEPROM image changed";
    kept.push_back("EEPROM image");
  }
  buffersOk &= rig.fuses == fusesBefore && rig.lockBits == lockBefore;
  EXPECT_EQ(rig.fuses, fusesBefore);
  EXPECT_EQ(rig.lockBits, lockBefore);
  kept.push_back("fuse and lock slots");
  if (row.chipUnchanged && chipBefore) {
    const bool same = rig.Chip() == chipBefore;
    EXPECT_TRUE(same) << "the chip changed although the command was refused";
    buffersOk &= same;
    kept.push_back("chip");
  }
  std::string keptText;
  for (const std::string& k : kept) keptText += (keptText.empty() ? "" : ", ") + k;
  report.buffers = std::string(buffersOk ? "yes" : "NO") + " (" + keptText + ")";
  if (!changed.empty()) report.buffers += "; " + changed.front();

  // The next request is served.
  if (row.reopen && row.prelude == Prelude::PortClosed) {
    rig.ReopenPort();
  } else if (row.reopen) {
    ASSERT_TRUE(rig.StartLine(false)) << "could not reopen";
  } else {
    rig.ClearFaults();
  }
  rig.events.Clear();
  rig.headerReads->store(0);
  std::uint32_t version = 0;
  const bool versionOk = rig.programmer.QueryFirmwareVersion(version);
  EXPECT_TRUE(versionOk);
  EXPECT_EQ(version, kPtyVersion);
  if (row.transport == Transport::FastPty) {
    EXPECT_EQ(rig.headerReads->load(), 1);
  }
  rig.programmer.WaitIdleFor(10s);
  rig.events.Clear();
  const bool again = rig.Run(row.op);
  EXPECT_TRUE(again) << "the same request without the fault failed";
  EXPECT_EQ(rig.programmer.Status(), STATUS_OK);
  EXPECT_TRUE(rig.events.Texts(LogKind::LogError).empty());
  report.next = std::string(versionOk && again ? "yes" : "NO") +
                ": version query, then the same request" +
                (row.reopen ? ", after reopening the port" : "");
}

std::string RowName(const ::testing::TestParamInfo<std::size_t>& info) {
  return reliability::MatrixRows()[info.param].id;
}

std::vector<std::size_t> RowIndices() {
  std::vector<std::size_t> v(reliability::MatrixRows().size());
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = i;
  return v;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(RowIndices()), RowName);

}  // namespace
}  // namespace bq::test

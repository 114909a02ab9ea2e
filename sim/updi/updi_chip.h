#pragma once
// A simulated UPDI chip (tinyAVR 0/1/2, megaAVR 0, AVR Dx) on its one-wire line, at the byte
// level, written from the vendor's datasheets (docs/updi-facts.md). The host's adapter has TX
// and RX joined, so every host byte comes back as its echo when it has finished on the wire;
// the chip's answers follow after the guard time. Every character takes 12 bit times (8E2).
//
// Time comes from the caller: host bytes are handed in with the time they finished on the
// wire, and the bytes on the wire come out when they are due. The NVM controller's busy times
// run on the same clock.
//
// Not thread-safe: the peers that serve it lock around it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "parts/part_record.h"

namespace bq {

// A fault the chip injects, for tests of a host's failure handling.
struct UpdiFault {
  enum class Kind : std::uint8_t {
    kNoEcho,   // the echo of the host byte is missing (the adapter's RX lost it)
    kParity,   // the UPDI sees a parity error in the host byte: error state until a BREAK
    kNack,     // the store is not done and a NACK goes out instead of the ACK
    kSilence,  // from here on the chip answers nothing (echoes still come back)
  };
  Kind kind = Kind::kSilence;
  bool perInstruction = false;  // count instructions (SYNCH + instruction byte), not host bytes
  std::uint32_t n = 1;          // the Nth byte or instruction after the fault was added, from 1
};

class UpdiChip {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::uint8_t kSynch = 0x55;
  static constexpr std::uint8_t kAck = 0x40;
  // No vendor page gives the NACK's value; this model sends this byte for it.
  static constexpr std::uint8_t kNack = 0x70;

  // The SIB's family text follows from the part's name (ATtiny: "tinyAVR", ATmega: "megaAVR",
  // else "AVR").
  UpdiChip(const PartRecord& part, const std::string& partName);

  // --- the line ---
  // The rate and framing the host's adapter sends at. A parity other than even makes every
  // host byte a parity error for the UPDI.
  void SetHostLine(std::uint32_t baud, bool evenParity = true);
  std::uint32_t HostBaud() const { return hostBaud_; }
  // One character time (12 bits) at the host's rate.
  std::chrono::nanoseconds HostByteTime() const;
  // A host byte that finished on the wire at `end`.
  void Receive(std::uint8_t byte, Clock::time_point end);
  // The host held the line low (a real BREAK) until `end`.
  void Break(Clock::time_point end);
  // Appends the bytes on the wire due by `now` (echoes and answers, in wire order).
  void TakeDue(Clock::time_point now, std::vector<std::uint8_t>& out);
  // Every pending byte regardless of time; returns the due time of the last one (or `now`).
  Clock::time_point TakeAll(Clock::time_point now, std::vector<std::uint8_t>& out);
  // When the next byte is due; nullopt when none is pending.
  std::optional<Clock::time_point> NextDue() const;
  // When a line server should look again: in batches of about a millisecond, as a USB serial
  // adapter delivers them, but the last pending byte exactly when it is due.
  std::optional<Clock::time_point> NextBatch() const;
  void DiscardPending() { wire_.clear(); }

  // --- the chip ---
  // A 12 V pulse on the UPDI pin (or the RESET pin of parts with a dedicated UPDI pin): the
  // pin is UPDI whatever the fuse says, until the next power-on.
  void HighVoltagePulse();
  // Power off and on: the UPDI is off until the host wakes it, fuses are loaded again and a
  // high-voltage override ends. The memories keep their contents.
  void PowerCycle();
  // True when the chip takes no notice of the UPDI line (the pin fuse chose RESET or GPIO).
  bool LineIgnored() const;

  void AddFault(const UpdiFault& fault) {
    faults_.push_back({fault, fault.perInstruction ? instructionsSeen_ : bytesSeen_});
  }
  void ClearFaults();

  // The memories, for tests and for keeping the chip between runs.
  std::vector<std::uint8_t>& Flash() { return flash_; }
  std::vector<std::uint8_t>& Eeprom() { return eeprom_; }
  std::vector<std::uint8_t>& UserRow() { return userRow_; }
  std::vector<std::uint8_t>& Fuses() { return fuses_; }  // by offset from fuseBase
  std::vector<std::uint8_t>& Lock() { return lock_; }    // lockSize bytes, LSB first
  const UpdiLayout& Layout() const { return layout_; }
  // What the UPDI's control/status space answers at this address now (for tests).
  std::uint8_t ControlStatus(std::uint8_t address, Clock::time_point now);
  bool Locked() const { return locked_; }
  bool InProgramming() const { return nvmProg_; }
  // The latest time the chip has seen (a host byte's end or an answer's due time): a caller
  // without a wire of its own continues its clock from here.
  Clock::time_point Latest() const { return latest_; }

 private:
  enum class Phase : std::uint8_t {
    kOff,          // the UPDI sleeps until the line goes low
    kAwaitSynch,   // after a BREAK, or between instructions
    kInstruction,  // SYNCH seen
    kOperands,     // collecting the bytes an instruction takes
    kError,        // ignores everything but a BREAK
  };
  enum class Op : std::uint8_t { kNone, kLds, kSts, kLd, kSt, kLdcs, kStcs, kRepeat, kKey };
  enum class Region : std::uint8_t {
    kNone,
    kFlash,
    kEeprom,
    kUserRow,
    kFuse,
    kLock,
    kSigRow,
    kNvmCtrl,
    kOther,  // SRAM and registers the model does not know: plain storage
  };

  struct Located {
    Region region = Region::kNone;
    std::uint32_t offset = 0;
  };

  // Wire output.
  void Echo(std::uint8_t byte, Clock::time_point end);
  // Chip bytes after the guard time, starting no earlier than `after`.
  void Answer(const std::vector<std::uint8_t>& bytes, Clock::time_point after);
  void AckOrNack(Clock::time_point after, bool& storeAllowed);
  std::chrono::nanoseconds UpdiBitTime() const;
  std::chrono::nanoseconds UpdiByteTime() const { return UpdiBitTime() * 12; }

  // Line decoding.
  bool IsBreak(std::uint8_t byte) const;
  bool RateFollows(std::uint32_t baud) const;
  std::uint32_t MaxBaud() const;
  std::uint32_t MinBaud() const;
  void DoBreak();
  void EnterError(std::uint8_t pesig);
  void ResetUpdi();  // UPDIDIS or power-on: PHY settings and keys gone

  // Instructions.
  void StartInstruction(std::uint8_t byte, Clock::time_point end);
  void Operand(std::uint8_t byte, Clock::time_point end);
  void FinishPass(Clock::time_point end);
  void InstructionDone();
  std::size_t AddressBytes(std::uint8_t sizeCode) const { return sizeCode + 1u; }
  void WriteControlStatus(std::uint8_t address, std::uint8_t value, Clock::time_point now);
  void HandleKey(const std::vector<std::uint8_t>& key);
  std::vector<std::uint8_t> Sib(std::size_t bytes) const;

  // The system side.
  Located Locate(std::uint32_t address) const;
  bool AccessAllowed(const Located& at, Clock::time_point now) const;
  // Time a bus access to this place completes: NVM accesses wait while the NVM is busy.
  Clock::time_point AccessDone(const Located& at, Clock::time_point when) const;
  std::uint8_t ReadByte(std::uint32_t address, Clock::time_point now);
  // lastOfStore: the last byte of one store instruction (a word store is one flash write).
  void WriteByte(std::uint32_t address, std::uint8_t value, Clock::time_point now,
                 bool lastOfStore = true);
  void NvmCtrlWrite(std::uint32_t offset, std::uint8_t value, Clock::time_point now);
  std::uint8_t NvmStatus(Clock::time_point now) const;
  void NvmCommandV0(std::uint8_t cmd, Clock::time_point now);
  void NvmCommandV2(std::uint8_t cmd, Clock::time_point now);
  void StoreV0(const Located& at, std::uint8_t value);
  void StoreV2(const Located& at, std::uint8_t value, Clock::time_point now, bool lastOfStore);
  void ChipErase(Clock::time_point now, bool byKey);
  void Busy(Clock::time_point until, bool flash);
  void SystemResetAsserted(Clock::time_point now);
  void SystemResetReleased(Clock::time_point now);
  void LoadFuses();
  bool EepromSaved() const;
  std::chrono::microseconds ChipEraseTime() const;
  void CompleteUserRowWrite();

  // Faults.
  bool FaultNow(UpdiFault::Kind kind, bool instruction);

  // The part.
  UpdiLayout layout_;
  std::string family_;
  std::uint32_t signature_ = 0;
  std::uint32_t flashPage_ = 0;
  std::uint32_t eepromPage_ = 0;
  std::uint8_t pinMask_ = 0, pinFuseOffset_ = 0;  // the UPDI pin field, mask 0: none
  std::uint8_t eesaveMask_ = 0, eesaveOffset_ = 0;

  // Memories.
  std::vector<std::uint8_t> flash_, eeprom_, userRow_, fuses_, lock_, sigRow_;
  std::map<std::uint32_t, std::uint8_t> other_;  // SRAM and unknown registers

  // Fuse state loaded at reset.
  bool pinIsUpdi_ = true;
  bool highVoltage_ = false;
  bool locked_ = false;
  bool eesave_ = false;

  // Line and UPDI PHY.
  std::uint32_t hostBaud_ = 115200;
  bool hostEvenParity_ = true;
  std::uint32_t updiBaud_ = 0;  // measured at the last SYNCH; 0: none yet
  Phase phase_ = Phase::kOff;
  std::uint8_t ctrla_ = 0, ctrlb_ = 0, asiCtrla_ = 0x03, asiSysCtrla_ = 0x01;
  std::uint8_t pesig_ = 0;
  bool keyNvmProg_ = false, keyChipErase_ = false, keyUserRow_ = false;
  bool resetHeld_ = false, resetSeen_ = false;
  bool nvmProg_ = false, userRowProg_ = false, eraseFailed_ = false;
  Clock::time_point eraseDone_{};  // LOCKSTATUS stays 1 until then after a keyed erase
  bool erasePendingProg_ = false;  // enter programming once the keyed erase is done

  // The instruction being carried out.
  Op op_ = Op::kNone;
  std::uint8_t opByte_ = 0;
  std::vector<std::uint8_t> operands_;
  std::size_t stage_ = 0;  // STS: 0 address, 1 data
  std::uint32_t address_ = 0;
  std::uint32_t pointer_ = 0;
  std::uint32_t repeatLeft_ = 0;  // further passes of the instruction after this one
  std::uint32_t repeatPending_ = 0;
  bool repeatArmed_ = false;
  Clock::time_point lastStoreDone_{};
  std::optional<std::uint32_t> stagingLow_;  // lowest SRAM address written for the user row
  Clock::time_point latest_{};

  // NVM controller.
  std::uint8_t nvmCmd_ = 0;
  std::uint8_t nvmError_ = 0;  // v2 ERROR field; v0 WRERROR as 1
  std::uint32_t nvmAddr_ = 0;
  std::uint16_t nvmData_ = 0;
  Clock::time_point flashBusyUntil_{}, eepromBusyUntil_{};
  std::vector<std::uint8_t> pageBuffer_;
  std::vector<bool> pageLoaded_;
  Region pageRegion_ = Region::kNone;

  // The wire: bytes with their due times, in wire order.
  struct WireByte {
    std::uint8_t byte;
    Clock::time_point due;
  };
  std::deque<WireByte> wire_;
  Clock::time_point chipWireFree_{};

  struct ArmedFault {
    UpdiFault fault;
    std::uint32_t base;  // the count when it was added
  };
  std::vector<ArmedFault> faults_;
  std::uint32_t bytesSeen_ = 0, instructionsSeen_ = 0;
  bool silent_ = false;
  bool nackNext_ = false;
};

}  // namespace bq

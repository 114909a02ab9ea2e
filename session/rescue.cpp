#include "session/rescue.h"

#include <cstdio>
#include <vector>

#include "core/text.h"
#include "link/protocol.h"
#include "parts/part_package.h"
#include "session/fuse_fields.h"
#include "session/rescue_texts.h"
#include "session/session_texts.h"
#include "session/updi_rescue.h"

namespace bq {

namespace {

// The places our programmer reaches a chip at high voltage, one row each. A part goes to
// the row of its high-voltage mode and its package (each socket's pin map fits one package)
// when its programmer can drive that mode.
struct RescueRoute {
  std::uint8_t mode;              // the part's high-voltage mode
  Package package;                // the package the socket takes
  bool DriverCapabilities::*can;  // what the programmer needs for it
  const char* socket;             // "the 8-pin socket"
  const char* parts;              // the parts of the package, for the table
  const char* builds;             // the builds that have the socket
};

const std::vector<RescueRoute>& Routes() {
  static const std::vector<RescueRoute> routes = {
      {PROG_MODE_HVSP, Package::Dip8, &DriverCapabilities::highVoltageSerial, "the 8-pin socket",
       "ATtiny13(A), ATtiny25/45/85", "Uno/Nano and Mega"},
      {PROG_MODE_HVSP, Package::Dip14, &DriverCapabilities::highVoltageSerial,
       "the 14-pin adapter on the 8-pin socket (not confirmed)", "ATtiny24/44/84(A), ATtiny841",
       "Uno/Nano and Mega"},
      {PROG_MODE_HVPP, Package::Dip28, &DriverCapabilities::highVoltageParallel,
       "the 28-pin socket", "ATmega8(A), ATmega48/88/168(A/P/PA), ATmega328(P)", "Mega"},
      {PROG_MODE_HVPP, Package::Dip40, &DriverCapabilities::highVoltageParallel,
       "the 40-pin socket",
       "ATmega16(A), ATmega32(A), ATmega164/324(P/PA), ATmega644(A/P/PA), "
       "ATmega1284(P)",
       "Mega"},
      {PROG_MODE_HVPP2, Package::Dip20, &DriverCapabilities::highVoltageParallel,
       "the 20-pin socket for the ATtiny2313/4313", "ATtiny2313(A), ATtiny4313", "Mega"},
      {PROG_MODE_HVPP2, Package::Dip20X61, &DriverCapabilities::highVoltageParallel,
       "the 20-pin socket for the ATtiny26/261/461/861", "ATtiny26, ATtiny261/461/861(A)", "Mega"},
  };
  return routes;
}

const RescueRoute* RouteFor(const std::string& partName, const PartRecord& part) {
  const Package package = PackageOf(partName);
  for (const RescueRoute& route : Routes()) {
    if (route.mode == part.hvMode && route.package == package) return &route;
  }
  return nullptr;
}


// A fuse field that keeps ISP out, and the sentence that says so.
struct LockoutField {
  const char* name;
  bool locksWhenProgrammed;
  const char* why;
};
constexpr LockoutField kLockoutFields[] = {
    {"RSTDISBL", true, "RSTDISBL is programmed, so the reset pin is an I/O pin"},
    {"DWEN", true, "DWEN is programmed, so the reset pin is the debugWIRE line"},
    {"SPIEN", false, "SPIEN is unprogrammed, so serial programming is switched off"},
};

int LowestBit(std::uint8_t mask) {
  int s = 0;
  while (s < 8 && (mask & (1u << s)) == 0) ++s;
  return s;
}

std::string ChoiceText(const BitFieldDesc& field, std::uint8_t value) {
  for (const auto& [row, choice] : field.choices) {
    if (choice.value == value) return choice.text;
  }
  return Hex2(value);
}

const BitFieldDesc* ClockField(const PartRecord& part) { return RescueClockField(part); }

// A field put back to the part's default (its unlocked state where the part gives no
// default byte).
void ToDefault(FuseByteSlots& bytes, const PartRecord& part, const BitFieldDesc& field,
               bool unlockedIsOne) {
  ByteSlot* slot = bytes.Slot(field.targetByte);
  if (slot == nullptr) return;
  const FuseByteSlots defaults = DefaultFuseBytes(part);
  const ByteSlot* def = defaults.Slot(field.targetByte);
  const std::uint8_t bits = def != nullptr && def->present ? def->value & field.mask
                            : unlockedIsOne                ? field.mask
                                                           : 0;
  slot->value = static_cast<std::uint8_t>((slot->value & ~field.mask) | bits);
  slot->present = true;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
  }
  return text;
}

std::string FieldPlan(const std::vector<const BitFieldDesc*>& fields) {
  std::vector<std::string> names;
  for (const BitFieldDesc* f : fields) names.push_back(f->name);
  return Joined(names);
}

class Rescue {
 public:
  Rescue(ChipSession& s, const std::string& name, const PartRecord& part, RescueHost& host,
         const RescueOptions& options, RescueReport& report)
      : s_(s), name_(name), part_(part), host_(host), options_(options), report_(report) {}

  void Run();

 private:
  enum class Isp { Reached, NoAnswer, BadSignature, OtherChip };
  Isp ProbeIsp(std::uint8_t& clock, std::uint32_t& signature);
  bool ReadBytes(FuseByteSlots& bytes);  // the fuses and the lock byte
  void Fail(const SessionResult& r, const std::string& outcome) {
    report_.verdict = RescueVerdict::Failed;
    report_.result = r;
    report_.outcome = outcome + (r.message.empty() ? "" : ": " + r.message);
  }
  // The culprits, the fields to put back and whether to erase.
  void PlanFuses(bool socket, bool clock = false);  // clock: the clock source may be it
  bool Carry(bool socket);
  void CheckOverIsp();

  ChipSession& s_;
  const std::string& name_;
  const PartRecord& part_;
  RescueHost& host_;
  const RescueOptions& options_;
  RescueReport& report_;

  // The plan.
  bool erase_ = false;
  std::vector<std::string> culprits_;  // sentences
  std::vector<const BitFieldDesc*> fields_;
  std::vector<bool> unlockedIsOne_;

 public:
  bool clockOn_ = false;  // the programmer's clock on XTAL1 runs
};

Rescue::Isp Rescue::ProbeIsp(std::uint8_t& clock, std::uint32_t& signature) {
  s_.SetMode(PROG_MODE_ISP);
  clock = 0;
  signature = 0;
  const SessionResult c = s_.SelectIspClock(options_.ispClock, clock);
  if (!c.ok()) return Isp::NoAnswer;
  if (!s_.ReadSignature(signature).ok()) return Isp::NoAnswer;
  if (signature == 0 || signature == 0xFFFFFF) return Isp::BadSignature;
  return signature == part_.signature ? Isp::Reached : Isp::OtherChip;
}

bool Rescue::ReadBytes(FuseByteSlots& bytes) {
  bytes = DefaultFuseBytes(part_);
  SessionResult r = s_.ReadFuses(bytes);
  if (r.ok()) r = s_.ReadLock(bytes.lock);
  if (!r.ok()) {
    Fail(r, "The fuses and lock bits could not be read");
    return false;
  }
  return true;
}

void Rescue::PlanFuses(bool socket, bool clockSource) {
  const FuseByteSlots& bytes = report_.fusesBefore;
  if (socket) {
    for (const LockoutField& lockout : kLockoutFields) {
      const BitFieldDesc* f = FindFuseField(part_.fuseBits, lockout.name);
      const ByteSlot* slot = f ? bytes.Slot(f->targetByte) : nullptr;
      if (slot == nullptr || !slot->present || f->mask == 0) continue;
      const bool programmed = (slot->value & f->mask) == 0;
      if (programmed != lockout.locksWhenProgrammed) continue;
      culprits_.push_back(lockout.why);
      fields_.push_back(f);
      unlockedIsOne_.push_back(lockout.locksWhenProgrammed);
    }
  }
  if (socket || clockSource) {
    const BitFieldDesc* clock = ClockField(part_);
    const ByteSlot* slot = clock != nullptr ? bytes.Slot(clock->targetByte) : nullptr;
    if (slot != nullptr && slot->present) {
      const auto value =
          static_cast<std::uint8_t>((slot->value & clock->mask) >> LowestBit(clock->mask));
      const std::string text = ChoiceText(*clock, value);
      const bool external = text.rfind("Ext.", 0) == 0;
      // ISP needs a chip clock of at least four times the SCK: 128 kHz is too slow for
      // the programmer's slowest clock, 57.60 kHz.
      const bool tooSlow =
          text.find("128 kHz") != std::string::npos || text.find("128kHz") != std::string::npos;
      if (external || tooSlow) {
        culprits_.push_back(
            "its clock source is \"" + text + "\", " +
            (external ? "which ISP reaches only with that clock fitted (a clock on XTAL1 or "
                        "the high-voltage socket reaches it too)"
                      : "too slow for the slowest ISP clock (57.60 kHz)"));
        fields_.push_back(clock);
        unlockedIsOne_.push_back(true);
      }
    }
  }
  const std::uint8_t lock = bytes.lock.value;
  const bool lockSet = bytes.lock.present && (lock & 0x03u) != 0x03u;
  if (lockSet) {
    culprits_.push_back(
        std::string("its lock bits (lock byte ") + Hex2(lock) + ") forbid " +
        (ReadForbiddenByLock(part_, lock) ? "reading and programming" : "programming") +
        " its memories and keep its fuses");
  }
  erase_ = lockSet;
}

bool Rescue::Carry(bool socket) {
  std::string done;
  if (erase_) {
    const SessionResult r = s_.Erase();
    if (!r.ok()) {
      Fail(r, "The erase failed");
      return false;
    }
    done = "erased the chip";
  }
  FuseByteSlots target = report_.fusesBefore;
  target.lock.present = false;
  if (options_.defaults) {
    target = DefaultFuseBytes(part_);
    target.lock.present = false;
  } else {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      ToDefault(target, part_, *fields_[i], unlockedIsOne_[i]);
    }
  }
  const bool write = options_.defaults || !fields_.empty();
  if (write) {
    const SessionResult r = s_.WriteFuses(target, &part_.fuseBits);
    if (!r.ok()) {
      Fail(r, (done.empty() ? std::string() : "Erased the chip; then ") + "the fuse write failed");
      return false;
    }
    done += std::string(done.empty() ? "" : ", ") + "wrote the fuses";
  }
  (void)socket;
  return ReadBytes(report_.fusesAfter);
}

void Rescue::CheckOverIsp() {
  std::uint8_t clock = 0;
  std::uint32_t signature = 0;
  if (ProbeIsp(clock, signature) != Isp::Reached) {
    report_.verdict = RescueVerdict::Failed;
    report_.outcome =
        "The chip was changed as planned, but it still does not answer over ISP "
        "with the signature of the " +
        name_ + " (" + SignatureText(signature) + "): check the ISP wiring and the chip's supply.";
    report_.result = {SessionStatus::DeviceError, STATUS_DEVICE_ENTER_PROG_MODE, report_.outcome};
    return;
  }
  ByteSlot lock{0xFF, true};
  if (erase_ && s_.ReadLock(lock).ok() && (lock.value & 0x03u) != 0x03u) {
    report_.verdict = RescueVerdict::Failed;
    report_.outcome =
        "The chip answers over ISP, but its lock bits are still set (" + Hex2(lock.value) + ").";
    report_.result = {SessionStatus::Mismatch, 0, report_.outcome};
    return;
  }
  report_.verdict = RescueVerdict::Rescued;
  report_.outcome =
      "The chip answers over ISP again (signature " + SignatureText(signature) +
      (clock != 0 ? ", " + std::string(IspClockText(clock)) : std::string()) + ")" +
      (options_.defaults ? "; its fuses are the part's defaults."
       : fields_.empty() ? "; its fuses are as they were."
                         : "; its fuses are as they were except " + FieldPlan(fields_) + ".");
}

void Rescue::Run() {
  std::uint8_t clock = 0;
  std::uint32_t signature = 0;
  Isp isp = ProbeIsp(clock, signature);
  if (isp == Isp::NoAnswer || isp == Isp::BadSignature) {
    // A chip whose fuses chose a crystal or clock that is not fitted answers with a clock on
    // XTAL1: the programmer's own, where it has one, before any high voltage.
    std::uint8_t clockWith = 0;
    std::uint32_t signatureWith = 0;
    if (s_.SetTargetClock(true).ok()) {
      clockOn_ = true;
      if (ProbeIsp(clockWith, signatureWith) == Isp::Reached) {
        isp = Isp::Reached;
        clock = clockWith;
        signature = signatureWith;
      } else {
        s_.SetTargetClock(false);
        clockOn_ = false;
      }
    }
  }
  if (isp == Isp::OtherChip) {
    report_.diagnosis = "The chip answers over ISP with the signature " + SignatureText(signature) +
                        ", not the " + name_ + "'s " + SignatureText(part_.signature) + ".";
    Fail({SessionStatus::Mismatch, 0, kSignatureMismatchText},
         "Nothing was changed: give the chip's part with -p");
    return;
  }
  if (isp == Isp::Reached) {
    if (!ReadBytes(report_.fusesBefore)) return;
    PlanFuses(false, clockOn_);
    if (clockOn_) {
      culprits_.insert(culprits_.begin(), "only with the programmer's clock on XTAL1 (1 MHz)");
    }
    const bool slow = clock >= ISP_CLOCK_115_KHZ;
    std::string clockNote;
    if (slow) {
      const std::string at = std::string(IspClockText(clock));
      culprits_.insert(culprits_.begin(), "only at " + at + ", so its clock runs slowly");
      const BitFieldDesc* field = ClockField(part_);
      const BitFieldDesc* div = FindFuseField(part_.fuseBits, "CKDIV8");
      for (const BitFieldDesc* f : {field, div}) {
        if (f == nullptr) continue;
        FuseByteSlots def = report_.fusesBefore;
        ToDefault(def, part_, *f, true);
        if (!(def == report_.fusesBefore)) {
          fields_.push_back(f);
          unlockedIsOne_.push_back(true);
        }
      }
      if (fields_.empty()) {
        clockNote = " Its clock fuses are the part's defaults already: give --isp-clock " +
                    std::to_string(clock) + " (" + at + ") for this chip.";
      }
    }
    if (!erase_ && fields_.empty() && !options_.defaults) {
      report_.diagnosis =
          culprits_.empty()
              ? "The chip answers over ISP and nothing holds it: its lock bits "
                "allow reading and its fuses allow ISP."
              : "The chip answers over ISP, but " + Joined(culprits_) + "." + clockNote;
      report_.verdict = RescueVerdict::NothingWrong;
      report_.outcome = "Nothing was changed.";
      return;
    }
    report_.diagnosis = "The chip answers over ISP, but " + Joined(culprits_) + "." + clockNote;
    std::vector<std::string> steps;
    if (erase_) {
      steps.push_back(
          "erase the chip over ISP, which clears the lock bits, the flash and, "
          "unless EESAVE is programmed, the EEPROM");
    }
    if (options_.defaults) {
      steps.push_back("write the part's default fuses");
    } else if (!fields_.empty()) {
      steps.push_back("write " + FieldPlan(fields_) + " back to the part's default");
    }
    report_.plan =
        (clockOn_ ? "With the programmer's clock on XTAL1, will " : "Will ") + Joined(steps) +
        (options_.defaults || fields_.empty() ? "" : "; the other fuses stay as they are") +
        (clockOn_ ? "; then stop the clock and check that the chip answers over ISP without it."
                  : "; then check that the chip answers over ISP.");
    if (!host_.Confirm(report_.diagnosis, report_.plan)) {
      report_.verdict = RescueVerdict::Declined;
      report_.outcome = "Nothing was changed.";
      return;
    }
    if (!Carry(false)) return;
    if (clockOn_) {
      s_.SetTargetClock(false);
      clockOn_ = false;
    }
    CheckOverIsp();
    return;
  }

  // No answer over ISP: the high-voltage socket reaches what ISP no longer does.
  const std::string symptom = isp == Isp::BadSignature
                                  ? "The chip answers over ISP with the signature " +
                                        SignatureText(signature) + ", which no chip has"
                                  : "The chip does not answer over ISP";
  const RescueRoute* route = RouteFor(name_, part_);
  if (route == nullptr || !(s_.Programmer().can.*route->can)) {
    report_.diagnosis = symptom + ".";
    Fail({SessionStatus::Refused, 0, ""},
         route == nullptr
             ? "No socket of this programmer takes the " + name_ +
                   ", so it cannot be reached at high voltage here"
             : std::string("The ") + s_.Programmer().title + " programmer cannot reach the " +
                   name_ +
                   " at high voltage (the Mega build has the high-voltage parallel sockets)");
    return;
  }
  const std::string socket = route->socket;
  if (!host_.PlaceChip(ChipPlace::Socket,
                       "Put the chip in " + socket + " (pin 1 where the socket's pin 1 is).")) {
    report_.diagnosis = symptom + ".";
    report_.verdict = RescueVerdict::Declined;
    report_.outcome = "Nothing was changed.";
    return;
  }
  s_.SetMode(part_.hvMode);
  std::uint32_t inSocket = 0;
  const SessionResult sig = s_.ReadSignature(inSocket);
  if (!sig.ok() || inSocket != part_.signature) {
    report_.diagnosis = symptom + ", nor in " + socket + ".";
    Fail(sig.ok() ? SessionResult{SessionStatus::Mismatch, 0, kSignatureMismatchText} : sig,
         "Nothing was changed: check that the chip sits in " + socket + " and is a " + name_);
    return;
  }
  if (!ReadBytes(report_.fusesBefore)) return;
  PlanFuses(true);
  if (culprits_.empty() && !options_.defaults) {
    report_.diagnosis = symptom + ", but in " + socket +
                        " its fuses allow ISP and its lock bits are clear: check the ISP "
                        "wiring, the chip's supply and its circuit.";
    report_.verdict = RescueVerdict::NothingWrong;
    report_.outcome = "Nothing was changed.";
    return;
  }
  report_.diagnosis = symptom + ": in " + socket + " " +
                      (culprits_.empty() ? std::string("nothing holds it") : Joined(culprits_)) +
                      ".";
  std::vector<std::string> steps;
  if (erase_) {
    steps.push_back(
        "erase the chip, which clears the lock bits, the flash and, unless EESAVE "
        "is programmed, the EEPROM");
  }
  if (options_.defaults) {
    steps.push_back("write the part's default fuses");
  } else if (!fields_.empty()) {
    steps.push_back("write " + FieldPlan(fields_) +
                    " back to the part's default (the other fuses stay as they are)");
  }
  report_.plan = "Using " + socket + ", will " + Joined(steps) +
                 "; then you put the chip back on the ISP cable and it is checked there.";
  if (!host_.Confirm(report_.diagnosis, report_.plan)) {
    report_.verdict = RescueVerdict::Declined;
    report_.outcome = "Nothing was changed.";
    return;
  }
  if (!Carry(true)) return;
  if (!host_.PlaceChip(ChipPlace::IspCable,
                       "Put the chip back on the ISP cable (in its circuit) for the check.")) {
    report_.verdict = RescueVerdict::Declined;
    report_.outcome = "The chip was changed in the socket; it was not checked over ISP.";
    return;
  }
  CheckOverIsp();
}

}  // namespace

std::string RescueSocketFor(const std::string& partName, const PartRecord& part) {
  const RescueRoute* route = RouteFor(partName, part);
  return route == nullptr ? std::string() : route->socket;
}

std::string RescueSocketsMarkdown() {
  std::string text = "| socket | parts | builds |\n|---|---|---|\n";
  for (const RescueRoute& route : Routes()) {
    text += std::string("| ") + route.socket + " | " + route.parts + " | " + route.builds + " |\n";
  }
  return text;
}

std::string RescueSocketsText() {
  std::string text;
  for (const RescueRoute& route : Routes()) {
    text += std::string("  ") + route.socket + " (" + route.builds + "): " + route.parts + "\n";
  }
  return text;
}

RescueReport RunRescue(ChipSession& session, const std::string& partName, const PartRecord& part,
                       RescueHost& host, const RescueOptions& options) {
  if (part.IsUpdi()) return RunUpdiRescue(session, partName, part, host, options);
  RescueReport report;
  Rescue rescue(session, partName, part, host, options, report);
  rescue.Run();
  // The clock on XTAL1 runs only for the rescue's steps over ISP.
  if (rescue.clockOn_) session.SetTargetClock(false);
  return report;
}

const BitFieldDesc* RescueClockField(const PartRecord& part) {
  for (const char* name : {"SUT_CKSEL", "CKSEL_SUT", "PLLCK_SUT_CKSEL", "CKSEL"}) {
    if (const BitFieldDesc* f = FindFuseField(part.fuseBits, name); f && f->isEnumerator) return f;
  }
  return nullptr;
}

}  // namespace bq

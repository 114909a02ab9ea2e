#include "avrsim/chip_memory.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace bq::avrsim {

void Reporter::Violation(const std::string& text) {
  ++violations;
  if (violation) violation(text);
}

void Reporter::Note(const std::string& text) {
  if (note) note(text);
}

std::string Format(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

namespace {

unsigned LowestBit(std::uint8_t mask) {
  unsigned shift = 0;
  while (mask != 0 && (mask & 1u) == 0) {
    mask = static_cast<std::uint8_t>(mask >> 1);
    ++shift;
  }
  return shift;
}

// The frequency a clock choice's text names ("Int. RC Osc. 8 MHz", "WD. Osc. 128 kHz"), or 0.
std::uint32_t FrequencyIn(const std::string& text) {
  for (const char* unit : {"MHz", "kHz"}) {
    auto at = text.find(unit);
    if (at == std::string::npos) continue;
    auto end = at;
    while (end > 0 && text[end - 1] == ' ') --end;
    auto begin = end;
    while (begin > 0 &&
           (std::isdigit(static_cast<unsigned char>(text[begin - 1])) || text[begin - 1] == '.'))
      --begin;
    if (begin == end) continue;
    const double value = std::strtod(text.substr(begin, end - begin).c_str(), nullptr);
    return static_cast<std::uint32_t>(value * (unit[0] == 'M' ? 1e6 : 1e3));
  }
  return 0;
}

}  // namespace

ChipMemory::ChipMemory(const TargetConfig& config)
    : name_(config.partName), part_(config.part), externalClockHz_(config.externalClockHz) {
  state_.flash.assign(part_.FlashBytes(), 0xFF);
  state_.eeprom.assign(part_.EepromBytes(), 0xFF);
  if (state_.flash.empty()) state_.flash.assign(2, 0xFF);
  if (state_.eeprom.empty()) state_.eeprom.assign(1, 0xFF);
  if (config.flash.size() == state_.flash.size()) state_.flash = config.flash;
  if (config.eeprom.size() == state_.eeprom.size()) state_.eeprom = config.eeprom;
  pageWords_ = std::max<std::uint32_t>(1, part_.flashPageSizeW);
  eepromPage_ = std::max<std::uint32_t>(1, part_.eepromPageSize);
  for (const auto& [sequence, field] : part_.fuseBits) {
    if (field.targetByte == kTargetExtended) hasExtended_ = true;
  }
  hasExtended_ = hasExtended_ || part_.hasDefaultExtended;
  state_.low = config.low.value_or(part_.hasDefaultLow ? part_.defaultLow : 0xFF);
  state_.high = config.high.value_or(part_.hasDefaultHigh ? part_.defaultHigh : 0xFF);
  state_.extended =
      config.extended.value_or(part_.hasDefaultExtended ? part_.defaultExtended : 0xFF);
  state_.lock = config.lock.value_or(0xFF);
  state_.signature = part_.signature & 0xFFFFFFu;
  std::uint32_t calibrationBytes = 1;
  for (const auto& [sequence, entry] : part_.osccal) {
    calibrationBytes = std::max<std::uint32_t>(calibrationBytes, entry.address + 1u);
  }
  for (std::uint32_t address = 0; address < calibrationBytes; ++address) {
    state_.calibration.push_back(static_cast<std::uint8_t>(0xA0 + address));
  }
  Latch();
}

FuseField ChipMemory::Find(const char* name) const {
  for (const auto& [sequence, field] : part_.fuseBits) {
    if (field.name == name) return {field.targetByte, field.mask};
  }
  return {};
}

bool ChipMemory::Programmed(const FuseField& field, const Fuses& fuses) const {
  std::uint8_t byte = 0xFF;
  switch (field.targetByte) {
    case kTargetLow:
      byte = fuses.low;
      break;
    case kTargetHigh:
      byte = fuses.high;
      break;
    case kTargetExtended:
      byte = fuses.extended;
      break;
    default:
      return false;
  }
  return field.mask != 0 && (byte & field.mask) == 0;
}

std::uint32_t ChipMemory::ClockHz() const {
  const BitFieldDesc* select = nullptr;
  for (const auto& [sequence, field] : part_.fuseBits) {
    // CKSEL, SUT_CKSEL or CKSEL_SUT, by part.
    if (field.isEnumerator && field.name.find("CKSEL") != std::string::npos) select = &field;
  }
  // Without a clock selection in the record, take the slowest usual clock (internal RC
  // oscillator divided by 8), which is the one that asks the most of the board.
  std::uint32_t hz = 1000000;
  if (select != nullptr) {
    std::uint8_t byte = select->targetByte == kTargetHigh       ? latched_.high
                        : select->targetByte == kTargetExtended ? latched_.extended
                                                                : latched_.low;
    const auto value = static_cast<std::uint8_t>((byte & select->mask) >> LowestBit(select->mask));
    std::string text;
    for (const auto& [sequence, choice] : select->choices) {
      if (choice.value == value) text = choice.text;
    }
    const auto semicolon = text.find(';');
    if (semicolon != std::string::npos) text.resize(semicolon);
    if (text.find("PLL") != std::string::npos) {
      hz = 16000000;  // the PLL runs from the internal oscillator; the CPU gets 64 MHz / 4
    } else if (text.find("Int.") != std::string::npos ||
               text.find("WD. Osc") != std::string::npos) {
      hz = FrequencyIn(text);
      if (hz == 0) hz = 8000000;  // "Int. RC Osc." without a figure: the usual 8 MHz
    } else {
      // Crystals, resonators, external RC and external clocks.
      hz = xtal1ClockHz_ != 0 ? xtal1ClockHz_ : externalClockHz_;
    }
  }
  if (Programmed(Find("CKDIV8"), latched_)) hz /= 8;
  return hz;
}

std::string ChipMemory::IspBlocker() const {
  if (Programmed(Find("RSTDISBL"), latched_))
    return "RSTDISBL is programmed, so RESET is an I/O pin";
  if (Programmed(Find("DWEN"), latched_)) return "DWEN is programmed, so RESET carries debugWIRE";
  const FuseField spien = Find("SPIEN");
  if (spien.mask != 0 && !Programmed(spien, latched_)) return "SPIEN is unprogrammed";
  if (ClockHz() == 0) return "its fuses select an external clock and none is attached";
  return {};
}

std::uint8_t ChipMemory::LockMode() const {
  std::uint8_t mask = 0x03;
  for (const auto& [sequence, field] : part_.lockBits) {
    if (field.name == "LB") mask = field.mask;
  }
  return static_cast<std::uint8_t>((state_.lock & mask) >> LowestBit(mask));
}

bool ChipMemory::WritesLocked() const {
  return LockMode() != 3;
}
bool ChipMemory::ReadsLocked() const {
  return LockMode() == 0;
}

void ChipMemory::ChipErase() {
  std::fill(state_.flash.begin(), state_.flash.end(), 0xFF);
  if (!Programmed(Find("EESAVE"), {state_.low, state_.high, state_.extended})) {
    std::fill(state_.eeprom.begin(), state_.eeprom.end(), 0xFF);
  }
  state_.lock = 0xFF;
}

void ChipMemory::ProgramFlashPage(std::uint32_t page, const std::vector<std::uint8_t>& buffer) {
  if (WritesLocked()) return;
  const std::size_t pageBytes = std::size_t{pageWords_} * 2;
  const std::size_t start = (page * pageBytes) % state_.flash.size();
  // Bits only go from 1 to 0 until the next chip erase (how the cells behave is not
  // documented; this is the reading that catches a board that skips the erase).
  for (std::size_t i = 0; i < pageBytes && start + i < state_.flash.size(); ++i) {
    state_.flash[start + i] &= buffer[i];
  }
}

std::uint8_t ChipMemory::ReadFlash(std::uint32_t wordAddress, bool highByte) const {
  if (ReadsLocked()) return 0xFF;  // what a read gives in lock mode 3 is not documented
  const std::size_t at = (std::size_t{wordAddress} * 2 + (highByte ? 1 : 0)) % state_.flash.size();
  return state_.flash[at];
}

void ChipMemory::WriteEeprom(std::uint32_t address, std::uint8_t value, bool autoErase) {
  if (WritesLocked()) return;
  auto& cell = state_.eeprom[address % state_.eeprom.size()];
  cell = autoErase ? value : static_cast<std::uint8_t>(cell & value);
}

std::uint8_t ChipMemory::ReadEeprom(std::uint32_t address) const {
  if (ReadsLocked()) return 0xFF;
  return state_.eeprom[address % state_.eeprom.size()];
}

std::uint8_t ChipMemory::UsedBits(std::uint8_t targetByte) const {
  std::uint8_t used = 0;
  for (const auto& [sequence, field] : part_.fuseBits) {
    if (field.targetByte == targetByte) used |= field.mask;
  }
  return used == 0 ? 0xFF : used;
}

bool ChipMemory::WriteFuse(std::uint8_t targetByte, std::uint8_t value, bool serialMode) {
  if (WritesLocked()) return false;
  std::uint8_t* byte = targetByte == kTargetLow    ? &state_.low
                       : targetByte == kTargetHigh ? &state_.high
                       : hasExtended_              ? &state_.extended
                                                   : nullptr;
  if (byte == nullptr) return false;
  value = static_cast<std::uint8_t>(value | ~UsedBits(targetByte));  // unused bits read 1
  if (serialMode) {  // SPIEN cannot be changed over the serial interface
    const FuseField spien = Find("SPIEN");
    if (spien.targetByte == targetByte) {
      value = static_cast<std::uint8_t>((value & ~spien.mask) | (*byte & spien.mask));
    }
  }
  *byte = value;
  return true;
}

std::uint8_t ChipMemory::ReadFuse(std::uint8_t targetByte) const {
  switch (targetByte) {
    case kTargetLow:
      return state_.low;
    case kTargetHigh:
      return state_.high;
    case kTargetExtended:
      return hasExtended_ ? state_.extended : 0xFF;
    default:
      return state_.lock;
  }
}

void ChipMemory::WriteLock(std::uint8_t value) {
  std::uint8_t used = 0;
  for (const auto& [sequence, field] : part_.lockBits) used |= field.mask;
  if (used == 0) used = 0x03;
  state_.lock &= static_cast<std::uint8_t>(value | ~used);  // lock bits only program
}

std::uint8_t ChipMemory::Signature(std::uint32_t index) const {
  if (index > 2) return 0xFF;
  return static_cast<std::uint8_t>(state_.signature >> (8 * (2 - index)));
}

std::uint8_t ChipMemory::Calibration(std::uint32_t address) const {
  return address < state_.calibration.size() ? state_.calibration[address] : 0xFF;
}

}  // namespace bq::avrsim

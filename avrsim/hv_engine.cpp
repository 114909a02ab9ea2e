#include "avrsim/hv_engine.h"

namespace bq::avrsim {

ParallelCore::ParallelCore(ChipMemory& memory, const BusyTimes& busy) : memory_(memory), busy_(busy) {}
void ParallelCore::Reset() {}
void ParallelCore::XtalPulse(bool, bool, bool, bool, std::uint8_t) {}
void ParallelCore::PagelPulse(bool) {}
void ParallelCore::Write(bool, bool, Nanos) {}
std::uint8_t ParallelCore::Output(bool, bool) const { return 0xFF; }

HvEngine::HvEngine(ChipMemory& memory, Reporter& report, const BusyTimes& busy, std::uint8_t, const Lines& lines)
    : memory_(memory), report_(report), lines_(lines), core_(memory, busy) {}
void HvEngine::PowerOn(Nanos) {}
void HvEngine::PowerOff(Nanos) {}
void HvEngine::HighVoltageOn(Nanos, bool) {}
void HvEngine::HighVoltageOff(Nanos) {}
void HvEngine::PinChanged(Pin, Level, Level, Nanos) {}
Level HvEngine::Read(Pin, Nanos) { return Level::Float; }
Nanos HvEngine::NextChange(Nanos) const { return kNever; }
void HvEngine::CatchUp(Nanos) {}

}  // namespace bq::avrsim

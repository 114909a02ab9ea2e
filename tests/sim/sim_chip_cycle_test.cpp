// The chip that comes and goes (SimOptions::chipPresent / chipAbsent), driven with made-up
// times so that every step is exact.

#include <gtest/gtest.h>

#include "sim/sim_programmer.h"
#include "tests/sim/sim_test_util.h"

namespace bq::test {
namespace {

TEST(SimChipCycle, TheChipAnswersFromItsFirstCommandThenIsAwayThenANewChipSitsThere) {
  SimOptions options;
  options.chipPresent = std::chrono::milliseconds(1000);
  options.chipAbsent = std::chrono::milliseconds(500);
  Bench b(options);
  const Bytes signature = {0x48, 0x56, 0xD1, 0, 3, 0x1E, 0x93, 0x07};
  const Bytes noChip = {0x48, 0x56, 0xEF, 0, 1, 2};
  const Bytes version = {0x48, 0x56, 0xDA, 0, 2, 1, 7};
  const Bytes ok = {0x48, 0x56, 0xDD, 0, 0};
  struct Step {
    int ms;  // after the start
    std::uint8_t code;
    Bytes payload;
    Bytes answer;
    const char* what;
  } steps[] = {
      {5000, 0xC0, {}, version, "the programmer's own command starts nothing"},
      {9000, 0x10, {1}, signature, "the first chip command: the chip's time starts"},
      {9001, 0x21, {1, 1, 0x00}, ok, "low fuse written on this chip"},
      {9999, 0x20, {1, 1}, {0x48, 0x56, 0xD3, 0, 1, 0x00}, "still there"},
      {10000, 0x10, {1}, noChip, "taken out"},
      {10200, 0xC0, {}, version, "the programmer answers without a chip"},
      {10499, 0xB0, {1}, noChip, "nothing to erase"},
      {12000, 0x20, {1, 1}, {0x48, 0x56, 0xD3, 0, 1, 0xE1}, "a new chip: default fuses"},
      {12999, 0x10, {1}, signature, "its own time started with its first command"},
      {13000, 0x10, {1}, noChip, "and ended after it"},
  };
  const SimClock::time_point start{};
  for (const Step& s : steps) {
    const SimClock::time_point at = start + std::chrono::milliseconds(s.ms);
    const Bytes packet = Packet(s.code, s.payload);
    b.sim.Receive(packet.data(), packet.size(), at);
    Bytes answer;
    b.sim.TakeDue(at, answer);
    EXPECT_EQ(answer, s.answer) << s.what << " at " << s.ms << " ms";
  }
}

}  // namespace
}  // namespace bq::test

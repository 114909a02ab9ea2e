// Host byte streams into the simulated programmer. Every answer must be a well-formed
// packet with at most 256 payload bytes, and the chip's memories keep their sizes.
// Byte 0 chooses the place of the chip, pacing and the ISP clock the target copes with;
// byte 1 the size of the slices the rest arrives in.

#include "sim/sim_programmer.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "parts/part_record.h"
#include "sim/sim_chip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  bq::PartRecord part;
  part.signature = 0x1E9307;
  part.flashPageSizeW = 32;
  part.flashNoOfPages = 8;
  part.eepromPageSize = 4;
  part.eepromNoOfPages = 16;
  part.hvMode = 1;
  auto chip = std::make_shared<bq::SimChip>(bq::SimChip::FromPart("fuzz", part));
  bq::SimOptions options;
  options.connect = data[0] & 1 ? bq::SimConnect::kIsp : bq::SimConnect::kSocket;
  options.pace = (data[0] & 2) != 0;
  options.ispMaxClock = static_cast<std::uint8_t>((data[0] >> 2) & 7);
  options.blankCheckTime = std::chrono::milliseconds(data[0] >> 5);
  bq::SimProgrammer sim(chip, options);
  const std::size_t slice = std::size_t{data[1]} % 64 + 1;

  auto t = bq::SimClock::time_point{} + std::chrono::hours(1);
  std::vector<std::uint8_t> out;
  for (std::size_t at = 2; at < size; at += slice) {
    const std::size_t n = at + slice <= size ? slice : size - at;
    sim.Receive(data + at, n, t);
    t += std::chrono::milliseconds(1);
    sim.TakeDue(t, out);
  }
  sim.TakeDue(t + std::chrono::hours(1), out);
  if (sim.Pending() != 0) std::abort();

  for (std::size_t at = 0; at < out.size();) {
    if (out.size() - at < 5 || out[at] != 0x48 || out[at + 1] != 0x56) std::abort();
    const std::size_t len = std::size_t{out[at + 3]} << 8 | out[at + 4];
    if (len > 256 || out.size() - at < 5 + len) std::abort();
    at += 5 + len;
  }
  if (chip->flash.size() != 512 || chip->eeprom.size() != 64) std::abort();
  return 0;
}

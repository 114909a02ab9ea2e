#pragma once
// A run of UPDI instructions that goes out in one write while the chip's response signatures
// are off (CTRLA.RSD): register stores and runs of word stores, ended by turning the
// signatures on again and reading one byte, the only thing the chip sends back. The host then
// waits for the line to turn round once a run instead of once a store. The vendor allows
// this only where the delays on the chip's bus are known: a run of stores into a memory that
// takes a known time to write each word is paced on the wire so that no store reaches the chip
// before the one ahead of it is done (docs/updi-facts.md, RSD and the write times).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bq::updi {

class Burst {
 public:
  // rate: the baud the link runs at; ctrlA: the CTRLA it runs with (guard time). The run
  // starts by turning the response signatures off.
  Burst(std::uint32_t rate, std::uint8_t ctrlA);

  void Sts(std::uint32_t address, std::uint8_t value);
  // The words of data (n even) from address on, through the pointer, each store reaching the
  // chip at least writeNs (and a tenth more, for the adapter's rate error) after the one
  // before: back to back under REPEAT where a word's two bytes take that long on the wire,
  // else one ST instruction a word, with idle control writes after each where even that is
  // too quick.
  void StoreWords(std::uint32_t address, const std::uint8_t* data, std::size_t n,
                  std::uint32_t writeNs) {
    Store(address, data, n, 2, writeNs);
  }
  // The same a byte at a time, for a memory written by the byte.
  void StoreBytes(std::uint32_t address, const std::uint8_t* data, std::size_t n,
                  std::uint32_t writeNs) {
    Store(address, data, n, 1, writeNs);
  }
  // Ends the run: the response signatures on again, then an LDS of address, whose one byte
  // is the answer. Returns the bytes to send.
  const std::vector<std::uint8_t>& EndWithLds(std::uint32_t address);

  // The bytes one store of `unit` bytes (1 or 2) takes on the wire with the pacing chosen.
  static std::size_t Stride(std::uint32_t rate, std::size_t unit, std::uint32_t writeNs);

 private:
  void Store(std::uint32_t address, const std::uint8_t* data, std::size_t n, std::size_t unit,
             std::uint32_t writeNs);
  void Address(std::uint32_t address);
  static std::uint8_t AddressSize(std::uint32_t address) { return address > 0xFFFF ? 2 : 1; }

  std::uint32_t rate_;
  std::uint8_t ctrlA_;
  std::vector<std::uint8_t> out_;
};

}  // namespace bq::updi

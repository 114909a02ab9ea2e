#pragma once
// A simulated stock Arduino bootloader: the board's side of STK500 version 1 (Uno, Nano) or
// version 2 (Mega 2560) over a flash array, for tests of firmware installation. Bytes in,
// answer bytes out; no threads, no time. For the faults a real bootloader cannot be made to
// show (another chip's signature); brindlequartz-avrsim runs the real ones.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bq {

// The board as its bootloader shows it.
struct SimBootloaderBoard {
  bool version2 = false;  // STK500 version 2 (Mega 2560); else version 1 (Uno, Nano)
  std::uint32_t signature = 0;
  std::uint32_t flashBytes = 0;
};

class SimBootloader {
 public:
  explicit SimBootloader(const SimBootloaderBoard& board);

  // Takes bytes from the host and returns what the bootloader answers to the commands
  // they complete. Bytes that start no known command are answered as out of step (version
  // 1) or skipped (version 2).
  std::vector<std::uint8_t> Receive(const std::uint8_t* data, std::size_t n);

  // The flash as the bootloader wrote it (erased: 0xFF).
  const std::vector<std::uint8_t>& flash() const { return flash_; }
  // The signature it reports (the board's chip unless a test changes it).
  void SetSignature(std::uint32_t signature) { signature_ = signature; }
  // Pages written so far.
  std::uint32_t PagesWritten() const { return pagesWritten_; }

 private:
  std::size_t TakeV1(std::vector<std::uint8_t>& out);  // bytes used; 0: need more
  std::size_t TakeV2(std::vector<std::uint8_t>& out);
  void AnswerV2(std::uint8_t sequence, const std::vector<std::uint8_t>& body,
                std::vector<std::uint8_t>& out);

  bool version2_;
  std::vector<std::uint8_t> flash_;
  std::vector<std::uint8_t> in_;
  std::uint32_t signature_;
  std::uint32_t wordAddress_ = 0;
  std::uint32_t pagesWritten_ = 0;
};

}  // namespace bq

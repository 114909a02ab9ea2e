// NVM controller version 2 (AVR DA, AVR DB): a command in CTRLA enables a kind of write, and
// the stores that follow go straight into flash (no page buffer) or EEPROM. Between two
// commands CTRLA goes back to NOCMD, or the controller flags a command collision.

#include "drivers/serialupdi/updi_burst.h"
#include "drivers/serialupdi/updi_nvm.h"

namespace bq::updi {

namespace {

constexpr std::uint8_t kNoCommand = 0x00;
constexpr std::uint8_t kFlashWrite = 0x02;
constexpr std::uint8_t kFlashPageErase = 0x08;
constexpr std::uint8_t kEepromEraseWrite = 0x13;
constexpr std::uint8_t kChipErase = 0x20;
constexpr std::uint8_t kError = 0x70;  // STATUS.ERROR
constexpr int kPageMs = 200;
constexpr int kChipEraseMs = 4000;
// The longest a flash word takes to write (tP_WRD, 70 us typical, 75 us at most).
constexpr std::uint32_t kWordWriteNs = 75'000;

class NvmV2 : public Nvm {
 public:
  using Nvm::Nvm;

  bool ChipErase() override {
    return Run(kChipErase, kChipEraseMs, [] { return true; });
  }

  bool WriteFlashPage(std::uint32_t offset, const std::uint8_t* data, std::size_t n,
                      bool erased) override {
    const std::uint32_t address = layout_.flashBase + offset;
    if (!erased) {
      // A flash byte only loses bits until erased: erase the page (a store into it starts
      // the erase) before writing it.
      if (!Run(kFlashPageErase, kPageMs, [&] { return link_.Sts(address, 0xFF); })) return false;
    }
    if (n % 2 != 0) {
      return Run(kFlashWrite, kPageMs, [&] { return link_.Write(address, data, n); });
    }
    // Each word store waits for the flash, at most tP_WRD: the page goes out in one run
    // without acknowledgements, paced for that time, and the status read at its end shows
    // whether the controller took it all. The write command stays on after the page; every
    // other command goes through NOCMD first.
    Burst burst(link_.Rate(), ctrlA_);
    burst.Sts(kNvmCtrlA, kNoCommand);
    burst.Sts(kNvmCtrlA, kFlashWrite);
    burst.StoreWords(address, data, n, kWordWriteNs);
    std::uint8_t status = 0;
    problem_.clear();
    if (!link_.Exchange(burst.EndWithLds(kNvmStatus), &status, 1)) return false;
    if ((status & kError) != 0) {
      problem_ = "the chip's NVM controller reported a write error";
      link_.Sts(kNvmStatus, 0x00);  // programming is ignored until the error is cleared
      return false;
    }
    return true;
  }

  bool WriteEepromLike(std::uint32_t address, const std::uint8_t* data, std::size_t n) override {
    if (!WaitReady(kPageMs, 0) || !Command(kNoCommand) || !Command(kEepromEraseWrite)) return false;
    // One byte at a time: each store starts an erase-write that must end before the next.
    for (std::size_t i = 0; i < n; ++i) {
      if (!link_.Sts(address + static_cast<std::uint32_t>(i), data[i]) ||
          !WaitReady(kPageMs, kError)) {
        Command(kNoCommand);
        return false;
      }
    }
    return Command(kNoCommand);
  }

  bool WriteFuse(std::uint32_t address, std::uint8_t value) override {
    return WriteEepromLike(address, &value, 1);
  }

 private:
  template <typename Stores>
  bool Run(std::uint8_t command, int timeoutMs, Stores stores) {
    if (!WaitReady(kPageMs, 0) || !Command(kNoCommand) || !Command(command)) return false;
    const bool stored = stores();
    const bool ready = stored && WaitReady(timeoutMs, kError);
    return Command(kNoCommand) && ready;
  }
};

}  // namespace

std::unique_ptr<Nvm> MakeNvmV2(Link& link, const UpdiLayout& layout, std::uint8_t ctrlA) {
  return std::make_unique<NvmV2>(link, layout, ctrlA);
}

}  // namespace bq::updi

#include "drivers/serialupdi/updi_nvm.h"

#include <chrono>

namespace bq::updi {

bool Nvm::WaitReady(int timeoutMs, std::uint8_t errorMask) {
  problem_.clear();
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::uint8_t status = 0;
    if (!link_.Lds(kNvmStatus, status)) return false;
    if ((status & errorMask) != 0) {
      problem_ = "the chip's NVM controller reported a write error";
      return false;
    }
    if ((status & kNvmBusy) == 0) return true;
    if (std::chrono::steady_clock::now() > end) {
      problem_ = "the chip's NVM controller stayed busy for more than " +
                 std::to_string(timeoutMs) + " ms";
      return false;
    }
  }
}

std::unique_ptr<Nvm> MakeNvm(Link& link, const UpdiLayout& layout, std::uint8_t ctrlA) {
  switch (layout.nvmVersion) {
    case 0:
      return MakeNvmV0(link, layout, ctrlA);
    case 2:
      return MakeNvmV2(link, layout, ctrlA);
    default:
      return nullptr;
  }
}

}  // namespace bq::updi

#include "sim/sim_bootloader.h"

#include <algorithm>

#include "sim/stk500v1/stk500v1_codes.h"
#include "sim/stk500v2/stk500v2_codes.h"

namespace bq {

using Bytes = std::vector<std::uint8_t>;

SimBootloader::SimBootloader(const SimBootloaderBoard& board)
    : version2_(board.version2), flash_(board.flashBytes, 0xFF), signature_(board.signature) {}

Bytes SimBootloader::Receive(const std::uint8_t* data, std::size_t n) {
  in_.insert(in_.end(), data, data + n);
  Bytes out;
  for (;;) {
    if (in_.empty()) break;
    const std::size_t used = version2_ ? TakeV2(out) : TakeV1(out);
    if (used == 0) break;
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(used));
  }
  return out;
}

std::size_t SimBootloader::TakeV1(Bytes& out) {
  const std::uint8_t command = in_[0];
  std::size_t length = 0;
  switch (command) {
    case stk500v1::kGetSync:
    case stk500v1::kEnterProgmode:
    case stk500v1::kLeaveProgmode:
    case stk500v1::kReadSign:
      length = 2;
      break;
    case stk500v1::kLoadAddress:
      length = 4;
      break;
    case stk500v1::kReadPage:
      length = 5;
      break;
    case stk500v1::kProgPage:
      if (in_.size() < 3) return 0;
      length = 5 + (std::size_t{in_[1]} << 8 | in_[2]);
      break;
    default:
      out.push_back(stk500v1::kNoSync);
      return 1;
  }
  if (in_.size() < length) return 0;
  if (in_[length - 1] != stk500v1::kEop) {
    out.push_back(stk500v1::kNoSync);
    return 1;
  }
  out.push_back(stk500v1::kInSync);
  if (command == stk500v1::kReadSign) {
    out.insert(out.end(),
               {static_cast<std::uint8_t>(signature_ >> 16),
                static_cast<std::uint8_t>(signature_ >> 8), static_cast<std::uint8_t>(signature_)});
  } else if (command == stk500v1::kLoadAddress) {
    wordAddress_ = std::uint32_t{in_[1]} | std::uint32_t{in_[2]} << 8;
  } else if (command == stk500v1::kProgPage && in_[3] == 'F') {
    const std::size_t at = std::size_t{wordAddress_} * 2;
    const std::size_t size = length - 5;
    for (std::size_t i = 0; i < size && at + i < flash_.size(); ++i) flash_[at + i] = in_[4 + i];
    ++pagesWritten_;
  } else if (command == stk500v1::kReadPage) {
    const std::size_t at = std::size_t{wordAddress_} * 2;
    const std::size_t size = std::size_t{in_[1]} << 8 | in_[2];
    for (std::size_t i = 0; i < size; ++i) {
      out.push_back(at + i < flash_.size() ? flash_[at + i] : 0xFF);
    }
  }
  out.push_back(stk500v1::kOk);
  return length;
}

std::size_t SimBootloader::TakeV2(Bytes& out) {
  if (in_[0] != stk500v2::kMessageStart) return 1;  // skipped until a message starts
  if (in_.size() < 5) return 0;
  if (in_[4] != stk500v2::kToken) return 1;
  const std::size_t size = std::size_t{in_[2]} << 8 | in_[3];
  const std::size_t length = 5 + size + 1;
  if (in_.size() < length) return 0;
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum ^= in_[i];
  if (sum != 0 || size == 0) return length;  // a damaged message gets no answer
  const std::uint8_t sequence = in_[1];
  const std::uint8_t* body = in_.data() + 5;
  const std::uint8_t command = body[0];
  Bytes answer{command, stk500v2::kStatusCmdOk};
  auto address = [this] { return std::size_t{wordAddress_} * 2; };
  switch (command) {
    case stk500v2::kSignOn:
      answer.push_back(8);
      for (char c : {'A', 'V', 'R', 'I', 'S', 'P', '_', '2'}) {
        answer.push_back(static_cast<std::uint8_t>(c));
      }
      break;
    case stk500v2::kEnterProgmodeIsp:
    case stk500v2::kLeaveProgmodeIsp:
      break;
    case stk500v2::kLoadAddress:
      if (size < 5) {
        answer[1] = stk500v2::kStatusCmdUnknown;
        break;
      }
      wordAddress_ = (std::uint32_t{body[1]} << 24 | std::uint32_t{body[2]} << 16 |
                      std::uint32_t{body[3]} << 8 | body[4]) &
                     0x7FFFFFFFu;
      break;
    case stk500v2::kProgramFlashIsp: {
      const std::size_t n = size >= 3 ? (std::size_t{body[1]} << 8 | body[2]) : 0;
      if (size < 10 + n) {
        answer[1] = stk500v2::kStatusCmdUnknown;
        break;
      }
      for (std::size_t i = 0; i < n && address() + i < flash_.size(); ++i) {
        flash_[address() + i] = body[10 + i];
      }
      wordAddress_ += static_cast<std::uint32_t>(n / 2);
      ++pagesWritten_;
      break;
    }
    case stk500v2::kReadFlashIsp: {
      const std::size_t n = size >= 3 ? (std::size_t{body[1]} << 8 | body[2]) : 0;
      for (std::size_t i = 0; i < n; ++i) {
        answer.push_back(address() + i < flash_.size() ? flash_[address() + i] : 0xFF);
      }
      answer.push_back(stk500v2::kStatusCmdOk);
      wordAddress_ += static_cast<std::uint32_t>(n / 2);
      break;
    }
    case stk500v2::kReadSignatureIsp: {
      const std::uint8_t index = size >= 5 ? body[4] : 0;
      answer.push_back(
          static_cast<std::uint8_t>(signature_ >> (8 * (2 - std::min<int>(index, 2)))));
      answer.push_back(stk500v2::kStatusCmdOk);
      break;
    }
    default:
      answer[1] = stk500v2::kStatusCmdUnknown;
      break;
  }
  AnswerV2(sequence, answer, out);
  return length;
}

void SimBootloader::AnswerV2(std::uint8_t sequence, const Bytes& body, Bytes& out) {
  const std::size_t start = out.size();
  out.insert(out.end(),
             {stk500v2::kMessageStart, sequence, static_cast<std::uint8_t>(body.size() >> 8),
              static_cast<std::uint8_t>(body.size() & 0xFF), stk500v2::kToken});
  out.insert(out.end(), body.begin(), body.end());
  std::uint8_t sum = 0;
  for (std::size_t i = start; i < out.size(); ++i) sum ^= out[i];
  out.push_back(sum);
}

}  // namespace bq

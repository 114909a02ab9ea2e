// Fuzzes the readers of STK500 answers (version 1 and 2): any bytes from the programmer end
// in a status, never in a crash, a hang or an answer longer than asked for or allowed.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "drivers/stk500v1/stk500v1_wire.h"
#include "drivers/stk500v2/stk500v2_wire.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Hands out the fuzz bytes as the programmer's answers; nothing more once they are used.
class FuzzConnection : public bq::SerialConnection {
 public:
  FuzzConnection(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Write(const std::uint8_t*, std::size_t) override { return true; }
  long Read(std::uint8_t* out, std::size_t n) override {
    const std::size_t take = std::min(n, size_ - at_);
    std::memcpy(out, data_ + at_, take);
    at_ += take;
    return static_cast<long>(take);
  }
  long ReadWithin(std::uint8_t* out, std::size_t n, int) override { return Read(out, n); }
  bool Done() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool second = (data[0] & 1) != 0;
  FuzzConnection connection(data + 1, size - 1);
  if (second) {
    bq::stk500v2::Link link(connection);
    std::vector<std::uint8_t> answer;
    for (int i = 0; i < 64 && !connection.Done(); ++i) {
      const auto status = link.Exchange({bq::stk500v2::kSignOn}, answer, 1);
      Check(answer.size() <= bq::stk500v2::kMaxBody);
      Check(status == bq::stk500v2::ExchangeStatus::Ok || answer.empty());
    }
  } else {
    bq::stk500v1::Link link(connection);
    std::vector<std::uint8_t> answer;
    for (std::size_t i = 0; i < 64 && !connection.Done(); ++i) {
      const std::size_t wanted = data[i % size] % 8;
      const auto status = link.Exchange({bq::stk500v1::kReadSign}, wanted, answer, 1);
      Check(status == bq::stk500v1::ExchangeStatus::Ok ? answer.size() == wanted : answer.empty());
    }
  }
  return 0;
}

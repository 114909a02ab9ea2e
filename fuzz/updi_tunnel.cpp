// The firmware's answers to the UPDI header's requests, as a hostile or broken programmer
// might give them, under what the SerialUPDI driver does with the line: writes, reads of any
// size, BREAKs, rate changes and discards. Whatever the answers, the connection must not
// crash, never hand back more bytes than asked for, and never claim bytes it was not given.
//
// Input: byte 0 onward are steps. A step's first byte chooses the call (low 3 bits: 0-1 write,
// 2-3 read, 4 read within a time, 5 discard, 6 BREAK, 7 rate), its second a size. The link
// takes its answers from the bytes that follow when asked: a byte whose low bit fails the
// request, a length, and that many answer bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "drivers/brindlequartz/updi_tunnel.h"
#include "link/protocol.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  std::uint8_t Next() { return at < size ? data[at++] : 0; }
  bool Empty() const { return at >= size; }
};

class FuzzLink : public bq::UpdiTunnelLink {
 public:
  explicit FuzzLink(Input& in) : in_(in) {}
  bool Request(std::uint8_t code, const std::vector<std::uint8_t>& payload,
               std::vector<std::uint8_t>& answer, std::uint8_t& status) override {
    if (code == bq::CMD_UPDI_EXCHANGE) {
      Check(payload.size() >= 3 && payload.size() - 3 <= bq::kUpdiExchangeMaxSend);
      Check(payload[1] <= bq::kUpdiExchangeMaxReceive);
    }
    answer.clear();
    const std::uint8_t how = in_.Next();
    status = in_.Next();
    const std::size_t n = in_.Next();
    for (std::size_t i = 0; i < n && !in_.Empty(); ++i) answer.push_back(in_.Next());
    return (how & 1u) == 0;
  }

 private:
  Input& in_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  FuzzLink link(in);
  bq::UpdiTunnelConnection line(link);
  std::vector<std::uint8_t> buffer(600);
  for (int step = 0; step < 64 && !in.Empty(); ++step) {
    const std::uint8_t call = in.Next();
    const std::size_t n = in.Next() + ((call & 0x80u) ? 256u : 0u);
    switch (call & 7u) {
      case 0:
      case 1: {
        std::vector<std::uint8_t> bytes(n, static_cast<std::uint8_t>(call));
        Check(line.Write(bytes.data(), bytes.size()));
        break;
      }
      case 2:
      case 3: {
        const long got = line.Read(buffer.data(), n);
        Check(got >= -1 && got <= static_cast<long>(n));
        break;
      }
      case 4: {
        const long got = line.ReadWithin(buffer.data(), n, 5);
        Check(got >= -1 && got <= static_cast<long>(n));
        break;
      }
      case 5:
        line.DiscardInput();
        break;
      case 6:
        line.SendBreak(30);
        break;
      default:
        line.SetRate(57600u * (1u + (n & 7u)));
        break;
    }
  }
  return 0;
}

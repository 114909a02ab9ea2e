// brindlequartz-cli firmware install end to end: the real program opens a pseudo-terminal
// behind which a simulated stock bootloader (STK500 version 1 or 2) keeps a flash array, for
// the faults the real bootloaders cannot show (tests/avrsim installs through the real ones).

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "drivers/stk500/bootloader_install.h"
#include "image/image_file.h"
#include "image/memory_buffer.h"
#include "platform/posix/raw_pseudo_terminal.h"
#include "sim/sim_bootloader.h"
#include "tests/cli/cli_process.h"

namespace bq {
namespace {

// A simulated bootloader served on a pseudo-terminal for the life of the object.
class PtyBootloader {
 public:
  explicit PtyBootloader(const BoardBootloader& board)
      : sim_({board.protocol == BootloaderProtocol::kStk500v2, board.signature, board.flashBytes}) {
    if (OpenRawPseudoTerminal(pty_)) thread_ = std::thread([this] { Serve(); });
  }
  ~PtyBootloader() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    CloseRawPseudoTerminal(pty_);
  }
  const std::string& path() const { return pty_.slavePath; }
  template <class F>
  auto With(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(sim_);
  }

 private:
  void Serve() {
    std::uint8_t in[4096];
    while (!stop_) {
      pollfd p{pty_.master, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::read(pty_.master, in, sizeof in);
      if (n <= 0) continue;
      std::vector<std::uint8_t> out;
      With([&](SimBootloader& sim) { out = sim.Receive(in, static_cast<std::size_t>(n)); });
      for (std::size_t done = 0; done < out.size();) {
        const ssize_t w = ::write(pty_.master, out.data() + done, out.size() - done);
        if (w < 0 && errno == EAGAIN) {
          pollfd q{pty_.master, POLLOUT, 0};
          ::poll(&q, 1, 20);
          continue;
        }
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
      }
    }
  }

  std::mutex mutex_;
  SimBootloader sim_;
  RawPseudoTerminal pty_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Image {
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> pieces;
  std::vector<std::uint8_t> Bytes(std::size_t size) const {
    std::vector<std::uint8_t> all(size, 0xFF);
    for (const auto& [at, bytes] : pieces) std::copy(bytes.begin(), bytes.end(), all.begin() + at);
    return all;
  }
};

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

class FirmwareInstall : public ::testing::Test {
 protected:
  // The image as an Intel HEX file, written by the program's own image layer.
  std::string HexFile(const Image& image, std::size_t flashBytes) {
    MemoryBuffer buffer(kFlashBufferBytes);
    const auto bytes = image.Bytes(flashBytes);
    std::copy(bytes.begin(), bytes.end(), buffer.data());
    const std::string path = dir / "image.hex";
    EXPECT_EQ(SaveImage(buffer, path, 0, 0), SaveOutcome::Written);
    return path;
  }
  test::RunResult Cli(const std::vector<std::string>& args) {
    std::vector<std::string> full{"firmware", "install", "--no-progress"};
    full.insert(full.end(), args.begin(), args.end());
    return test::RunProgram(test::kCliProgram, full,
                            {"XDG_CONFIG_HOME=" + (dir / "xdg"), "HOME=" + dir.path().string()},
                            dir.path(), std::chrono::seconds(60));
  }
  test::ScratchDir dir{"firmware"};
};

// A chip that is not the board's, or a board that does not answer, ends with a clear error.
TEST_F(FirmwareInstall, WrongChipOrNoAnswerFails) {
  const BoardBootloader& uno = *FindBoardBootloader("uno");
  const std::string image = HexFile({{{0, Pattern(64, 5)}}}, uno.flashBytes);
  {
    PtyBootloader sim(uno);
    sim.With([](SimBootloader& s) { s.SetSignature(0x1E9801); });
    const test::RunResult r = Cli({"-P", sim.path(), "--board", "uno", "--image", image});
    EXPECT_EQ(r.status, 1) << test::Describe(r);
    EXPECT_TRUE(r.Has("error: the board's chip has the signature 0x1E9801, not the ATmega328P"))
        << test::Describe(r);
    EXPECT_EQ(sim.With([](SimBootloader& s) { return s.PagesWritten(); }), 0u);
  }
  {
    PtyBootloader sim(*FindBoardBootloader("mega"));  // speaks version 2 only
    const test::RunResult r = Cli({"-P", sim.path(), "--board", "uno", "--image", image});
    EXPECT_EQ(r.status, 1) << test::Describe(r);
    EXPECT_TRUE(r.Has("error: the bootloader did not answer")) << test::Describe(r);
    EXPECT_TRUE(r.Has("press its reset button")) << test::Describe(r);
  }
}

}  // namespace
}  // namespace bq

// The simulated UPDI chip behind a real pseudo-terminal, as brindlequartz-sim serves it.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "platform/posix/posix_port_driver.h"
#include "platform/posix/pty_server.h"
#include "tests/platform/platform_test_util.h"
#include "tests/sim/updi_test_parts.h"

namespace bq::test {
namespace {

TEST(PtyUpdiChip, TakesAZeroAt300BaudAsABreakAndAnswersAfterTheEcho) {
  auto chip = std::make_shared<UpdiChip>(Tiny412(), "ATtiny412");
  auto peer = std::make_shared<UpdiSerialPeer>(chip);
  PtyServer server(peer);
  ASSERT_TRUE(server.Start());
  PosixPortDriver driver;
  auto port = driver.OpenAt(server.SlavePath(), UpdiHost::Line(300));
  ASSERT_NE(port, nullptr);

  const auto t0 = Clock::now();
  EXPECT_EQ(Exchange(*port, {0x00}, 1), Bytes{0x00});  // the echo, once the byte has gone out
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - t0).count(), 0.039);  // 12 bits at 300
  ASSERT_TRUE(port->SetRate(115200));
  EXPECT_EQ(Exchange(*port, {0x55, 0x80}, 3), (Bytes{0x55, 0x80, 0x10}));
  const Bytes sib = Exchange(*port, {0x55, kSibKey}, 18);
  EXPECT_EQ(std::string(sib.begin() + 2, sib.end()), "tinyAVR P:0D:1-3");
  // At the UPDI's own rate a 0x00 is data, not a BREAK: here the value an STCS writes.
  EXPECT_EQ(Exchange(*port, {0x55, 0xC2, 0x00}, 3), (Bytes{0x55, 0xC2, 0x00}));
  EXPECT_EQ(Exchange(*port, {0x55, 0x82}, 3), (Bytes{0x55, 0x82, 0x00}));
  server.Stop();
}

}  // namespace
}  // namespace bq::test

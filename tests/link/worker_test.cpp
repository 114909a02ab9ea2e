// The worker thread and its handshake with the requesting thread, and the serial port's
// ownership of its connection under a running transfer.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "link/protocol.h"
#include "link_test_support.h"

namespace bq::test {
namespace {

using namespace std::chrono_literals;

TEST(Worker, RefusesEverythingBeforeStart) {
  CProgrammer programmer;
  std::uint32_t value = 5;
  bool socket = true;
  EXPECT_FALSE(programmer.IsStarted());
  EXPECT_FALSE(programmer.IsBusy());
  EXPECT_FALSE(programmer.QueryFirmwareVersion(value));
  EXPECT_EQ(value, 0u);
  EXPECT_FALSE(programmer.IdentifyRequest(value, socket));
  EXPECT_FALSE(programmer.EraseRequest());
  EXPECT_FALSE(programmer.StartReadMemory());
  EXPECT_FALSE(programmer.SetProgrammingMode(PROG_MODE_ISP));
  EXPECT_FALSE(programmer.SetTransferParams(MEMORY_FLASH, 64, 4));
  programmer.WaitIdle();  // returns at once
  programmer.StopWorker();
}

TEST(Worker, CodesWithoutHandlerSendNothingAndKeepTheStatus) {
  ScriptedBench bench;
  std::uint32_t value = 0;
  bench.programmer.QueryFirmwareVersion(value);  // silence: status 251
  bench.programmer.WaitIdle();
  ASSERT_EQ(bench.programmer.Status(), STATUS_NO_ANSWER);
  for (std::uint8_t code : {std::uint8_t{CMD_STOP_READ}, std::uint8_t{CMD_RECOVER},
                            std::uint8_t{CMD_NONE}, std::uint8_t{0x99}}) {
    EXPECT_TRUE(bench.programmer.PostRequest(code));
    bench.programmer.WaitIdle();
    EXPECT_EQ(bench.programmer.Status(), STATUS_NO_ANSWER);
  }
  EXPECT_EQ(bench.script->Written().size(), 1u);
}

TEST(Worker, SecondRequestIsRefusedUntilTheFirstCompleted) {
  ScriptedBench bench;
  bench.programmer.SetTransferParams(MEMORY_FLASH, 64, 256);
  bench.script->Then(Reply{Gate(), Data(Packet(ANS_BLANK, {0}))});
  ASSERT_TRUE(bench.programmer.StartBlankCheck());
  // Refused at once, even before the worker has picked the first request up.
  EXPECT_FALSE(bench.programmer.StartReadFuses());
  bench.script->WaitAtGate();
  EXPECT_TRUE(bench.programmer.IsBusy());
  std::uint32_t value = 9;
  EXPECT_FALSE(bench.programmer.QueryFirmwareVersion(value));
  EXPECT_FALSE(bench.programmer.SetTransferParams(MEMORY_EEPROM, 4, 4));
  EXPECT_FALSE(bench.programmer.WaitIdleFor(10ms));
  bench.script->OpenGate();
  bench.programmer.WaitIdle();
  EXPECT_FALSE(bench.programmer.IsBusy());
  bench.script->Then(Answer(0xDA, {1, 2}));
  EXPECT_TRUE(bench.programmer.QueryFirmwareVersion(value));
  EXPECT_EQ(value, 0x0102u);
  EXPECT_EQ(bench.script->WrittenCodes(), (Bytes{0xB1, 0xC0}));
}

TEST(Worker, BackToBackPostsNeverOverwriteARequest) {
  ScriptedBench bench;
  bench.fuses.low = {0, true};
  bench.lockBits.lock = {0, true};
  for (int i = 0; i < 400; ++i) bench.script->Then(Answer(0xE0));
  Bytes accepted;  // the lock selector byte each accepted request must send
  for (int i = 0; i < 200; ++i) {
    // Whatever is accepted is sent exactly as it was asked for; refusals change nothing.
    if (bench.programmer.StartWriteFuses()) accepted.push_back(kTargetLow);
    if (bench.programmer.StartWriteLockBits()) accepted.push_back(kTargetLockBit);
  }
  bench.programmer.WaitIdle();
  Bytes sent;
  for (const Bytes& packet : bench.script->Written()) sent.push_back(packet.at(6));
  EXPECT_EQ(sent, accepted);
}

TEST(Worker, AReadReplacesTheImageOnlyOnceTheWholeMemoryArrived) {
  ScriptedBench bench;
  std::fill(bench.flash.data(), bench.flash.data() + kFlashBufferBytes, 0x00);
  std::fill(bench.eeprom.data(), bench.eeprom.data() + kEepromBufferBytes, 0x00);
  bench.programmer.SetTransferParams(MEMORY_EEPROM, 4, 2);
  bench.script->Then(Reply{Gate(), Data(Packet(0xE0))});
  bench.script->Then({Answer(ANS_DATA, {1, 2, 3, 4, 5, 6, 7, 8}), Answer(ANS_READ_DONE)});
  ASSERT_TRUE(bench.programmer.StartReadMemory());
  bench.script->WaitAtGate();
  EXPECT_TRUE(std::all_of(bench.eeprom.data(), bench.eeprom.data() + kEepromBufferBytes,
                          [](std::uint8_t b) { return b == 0x00; }));
  EXPECT_TRUE(std::all_of(bench.flash.data(), bench.flash.data() + kFlashBufferBytes,
                          [](std::uint8_t b) { return b == 0x00; }));
  bench.script->OpenGate();
  bench.programmer.WaitIdle();
  EXPECT_EQ(bench.eeprom.data()[7], 8);
  EXPECT_EQ(bench.eeprom.data()[8], 0xFF);
}

TEST(Worker, WaiterIsReleasedByTheErrorReportWhileRecoverRuns) {
  ScriptedBench bench;
  bench.script->Then(Answer(ANS_ERROR, {6}));
  bench.script->Then(Reply{Gate(), Data(Packet(0xD8))});  // the recover answer is held back
  EXPECT_FALSE(bench.programmer.EraseRequest());          // returns although the worker still runs
  EXPECT_EQ(bench.programmer.Status(), 6);
  bench.script->WaitAtGate();
  EXPECT_TRUE(bench.programmer.IsBusy());
  std::uint32_t value = 0;
  EXPECT_FALSE(bench.programmer.QueryFirmwareVersion(value));  // refused as busy
  bench.script->OpenGate();
  bench.programmer.WaitIdle();
  EXPECT_EQ(bench.script->WrittenCodes(), (Bytes{0xB0, 0xCF}));
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"ERROR: Chip Erase"}));
}

// A stop that comes while the worker wakes for a request must still end it: a lost stop
// would leave the join waiting for ever. A watchdog turns such a hang into a failure.
TEST(Worker, AStopRightAfterARequestIsNeverLost) {
  ScriptedBench bench;
  bench.programmer.StopWorker();
  bench.port.ClosePort();  // every request fails at once
  auto rounds = std::async(std::launch::async, [&bench] {
    for (int i = 0; i < 3000; ++i) {
      bench.programmer.StartWorker(
          {bench.port, bench.flash, bench.eeprom, bench.fuses, bench.lockBits, bench.events});
      bench.programmer.PostRequest(CMD_FIRMWARE_VERSION);
      bench.programmer.StopWorker();
    }
  });
  if (rounds.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
    ADD_FAILURE() << "StopWorker did not return: a stop was lost";
    std::_Exit(1);
  }
}

TEST(Worker, StopAndRestart) {
  ScriptedBench bench;
  bench.programmer.StopWorker();
  EXPECT_FALSE(bench.programmer.IsStarted());
  bench.programmer.StopWorker();  // twice is harmless
  ASSERT_TRUE(bench.programmer.StartWorker(
      {bench.port, bench.flash, bench.eeprom, bench.fuses, bench.lockBits, bench.events}));
  ASSERT_TRUE(bench.programmer.StartWorker({bench.port, bench.flash, bench.eeprom, bench.fuses,
                                            bench.lockBits, bench.events}));  // restarts
  bench.script->Then(Answer(0xDA, {1, 7}));
  std::uint32_t value = 0;
  EXPECT_TRUE(bench.programmer.QueryFirmwareVersion(value));
  EXPECT_EQ(value, 0x0107u);
}

TEST(Worker, StopWaitsForTheRunningRequest) {
  ScriptedBench bench;
  bench.programmer.SetTransferParams(MEMORY_EEPROM, 4, 2);
  bench.script->Then(Reply{Gate(), Data(Packet(0xE0))});
  bench.script->Then({Answer(ANS_DATA, Bytes(8, 3)), Answer(ANS_READ_DONE)});
  ASSERT_TRUE(bench.programmer.StartReadMemory());
  bench.script->WaitAtGate();
  std::thread opener([&] {
    std::this_thread::sleep_for(20ms);
    bench.script->OpenGate();
  });
  bench.programmer.StopWorker();  // joins only after the request has finished
  opener.join();
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"EEPROM read into buffer"}));
}

TEST(Worker, StopEndsALongBlankCheckAfterTheCurrentHeaderRead) {
  ScriptedBench bench;
  bench.programmer.SetTransferParams(MEMORY_FLASH, 64, 256);
  Reply reply{Gate()};
  for (int i = 0; i < 50; ++i) reply.push_back(Timeout());
  reply.push_back(Data(Packet(ANS_BLANK, {0})));
  bench.script->Then(reply);
  ASSERT_TRUE(bench.programmer.StartBlankCheck());
  bench.script->WaitAtGate();
  ProgrammerContext* ctx = bench.programmer.Context();
  std::thread opener([&] {
    while (!ctx->stopRequested.load()) std::this_thread::sleep_for(1ms);
    bench.script->OpenGate();
  });
  bench.programmer.StopWorker();
  opener.join();
  // The header read in progress ended; no further one was made.
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"Comunication Error Code 0x02!!!"}));
}

TEST(SerialPortTransfer, ClosingDuringATransferKeepsTheConnectionUntilItEnds) {
  ScriptedBench bench;
  bench.script->Then(Reply{Gate(), Data(Packet(0xDA, {2, 1}))});
  std::uint32_t value = 0;
  std::thread requester([&] { bench.programmer.QueryHardwareVersion(value); });
  bench.script->WaitAtGate();
  bench.port.ClosePort();  // returns at once although a read is running
  EXPECT_FALSE(bench.port.IsOpen());
  EXPECT_EQ(bench.script->OpenConnections(), 1);  // still held by the transfer
  bench.script->OpenGate();
  requester.join();
  bench.programmer.WaitIdle();
  EXPECT_EQ(value, 0x0201u);  // the running exchange finished normally
  EXPECT_EQ(bench.script->OpenConnections(), 0);
  // The next request finds the port closed.
  EXPECT_FALSE(bench.programmer.QueryHardwareVersion(value));
  bench.programmer.WaitIdle();
  EXPECT_EQ(bench.programmer.Status(), STATUS_WRITE_FAILED);
  // Reopening gives a fresh connection that works.
  ASSERT_TRUE(bench.port.OpenPort("script"));
  bench.script->Then(Answer(0xDA, {2, 2}));
  EXPECT_TRUE(bench.programmer.QueryHardwareVersion(value));
  EXPECT_EQ(value, 0x0202u);
}

TEST(SerialPortTransfer, ReopeningDuringATransfer) {
  ScriptedBench bench;
  bench.script->Then(Reply{Gate(), Data(Packet(0xDA, {2, 1}))});
  std::uint32_t value = 0;
  std::thread requester([&] { bench.programmer.QueryHardwareVersion(value); });
  bench.script->WaitAtGate();
  bench.port.ClosePort();
  ASSERT_TRUE(bench.port.OpenPort("script"));
  EXPECT_EQ(bench.script->OpenConnections(), 2);
  bench.script->OpenGate();
  requester.join();
  bench.programmer.WaitIdle();
  EXPECT_EQ(bench.script->OpenConnections(), 1);
  EXPECT_EQ(value, 0x0201u);
}

class ListDriver : public PortDriver {
 public:
  ListDriver(std::string prefix, std::vector<std::string> names, bool opens = true)
      : prefix_(std::move(prefix)), names_(std::move(names)), opens_(opens) {}
  bool Handles(const std::string& name) const override { return name.rfind(prefix_, 0) == 0; }
  std::unique_ptr<SerialConnection> Open(const std::string& name) override {
    opened.push_back(name);
    return opens_ ? std::make_unique<ScriptedConnection>(std::make_shared<Script>()) : nullptr;
  }
  std::vector<std::string> Enumerate() override { return names_; }
  std::vector<std::string> opened;

 private:
  std::string prefix_;
  std::vector<std::string> names_;
  bool opens_;
};

TEST(SerialPort, ListsPortsOfEveryDriverInOrder) {
  auto tty = std::make_shared<ListDriver>("tty", std::vector<std::string>{"ttyUSB0", "ttyS10"});
  auto sim = std::make_shared<ListDriver>("sim", std::vector<std::string>{"sim"});
  SerialPort port({tty, sim});
  EXPECT_EQ(port.EnumeratePorts(), 3);
  EXPECT_EQ(port.EnumeratePorts(), 3);  // rebuilt, not doubled
  EXPECT_EQ(port.Ports(), (PortList{{1, "ttyUSB0"}, {2, "ttyS10"}, {3, "sim"}}));
  SerialPort none;
  EXPECT_EQ(none.EnumeratePorts(), 0);
  EXPECT_TRUE(none.Ports().empty());
}

TEST(SerialPort, OpensThroughTheFirstDriverThatHandlesTheName) {
  auto first = std::make_shared<ListDriver>("sim", std::vector<std::string>{}, false);
  auto second = std::make_shared<ListDriver>("s", std::vector<std::string>{});
  SerialPort port({first, second});
  EXPECT_FALSE(port.OpenPort("sim:x"));  // the first handler fails; no fall-through
  EXPECT_EQ(first->opened, (std::vector<std::string>{"sim:x"}));
  EXPECT_TRUE(second->opened.empty());
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.OpenPort("other"));  // nobody handles it
  EXPECT_TRUE(port.OpenPort("s1"));
  EXPECT_EQ(port.OpenName(), "s1");
  EXPECT_FALSE(port.OpenPort("s2"));  // already open: callers close first
  EXPECT_EQ(port.OpenName(), "s1");
  port.ClosePort();
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.OpenName(), "");
  std::uint8_t byte = 0;
  EXPECT_FALSE(port.ReadExact(&byte, 1));
  EXPECT_FALSE(port.WriteAll(&byte, 1));
}

}  // namespace
}  // namespace bq::test

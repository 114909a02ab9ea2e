// The Win32 serial port against the simulated programmer: sim_com_port_test.sh starts
// brindlequartz-sim on a pseudo-terminal, maps it to a Wine COM port and names that port in
// BQ_WIN32_TEST_PORT. Without it these tests are skipped (and not listed in CTest).
// Win32PortAtDefaults.* likewise need the echoing pseudo-terminal of echo_pty.py, named in
// BQ_WIN32_ECHO_PORT.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "link/protocol.h"
#include "link/serial_port.h"
#include "platform/win32/win32_port_driver.h"

namespace bq {
namespace {

using Clock = std::chrono::steady_clock;

class Win32SerialPort : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("BQ_WIN32_TEST_PORT");
    if (port == nullptr || *port == '\0') GTEST_SKIP() << "BQ_WIN32_TEST_PORT is not set";
    port_ = port;
  }

  // Asks for the hardware version; true when the simulator's answer (02.01) came back.
  static bool AskHardwareVersion(SerialConnection& connection) {
    const std::uint8_t request[] = {0x48, 0x56, CMD_HARDWARE_VERSION, 0, 0};
    if (!connection.Write(request, sizeof request)) return false;
    std::array<std::uint8_t, 7> answer{};
    if (connection.Read(answer.data(), answer.size()) != 7) return false;
    return answer[0] == 0x48 && answer[1] == 0x56 && IsValue16Answer(answer[2]) && answer[3] == 0 &&
           answer[4] == 2 && answer[5] == 0x02 && answer[6] == 0x01;
  }

  std::string port_;
};

// (The port is opened without sharing; Windows refuses a second open, Wine does not for a
// port backed by a pseudo-terminal, so that is not tested here.)
TEST_F(Win32SerialPort, OpensTalksClosesAndOpensAgain) {
  Win32PortDriver driver;
  ASSERT_TRUE(driver.Handles(port_));
  auto connection = driver.Open(port_);
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(AskHardwareVersion(*connection));
  connection.reset();
  connection = driver.Open(port_);  // free again once closed
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(AskHardwareVersion(*connection));
}

// A read returns what arrived when the line falls silent: nothing after the total time-out,
// a short answer after the gap that follows it. Neither is a device failure.
TEST_F(Win32SerialPort, ReadsEndOnTheTimeOutsWithTheBytesThatCame) {
  Win32PortDriver driver;
  auto connection = driver.Open(port_);
  ASSERT_NE(connection, nullptr);

  std::array<std::uint8_t, 16> buffer{};
  const auto start = Clock::now();
  EXPECT_EQ(connection->Read(buffer.data(), 4), 0);
  // Lower bound only: the port waited for its total time-out instead of returning at once.
  EXPECT_GE(Clock::now() - start,
            std::chrono::milliseconds(SerialTimeouts::kTotalConstantMs - 100));

  const std::uint8_t request[] = {0x48, 0x56, CMD_FIRMWARE_VERSION, 0, 0};
  ASSERT_TRUE(connection->Write(request, sizeof request));
  EXPECT_EQ(connection->Read(buffer.data(), buffer.size()), 7);
  EXPECT_EQ(buffer[5], 0x01);
  EXPECT_EQ(buffer[6], 0x07);
  EXPECT_TRUE(AskHardwareVersion(*connection));
}

TEST_F(Win32SerialPort, TheSerialPortListsAndOpensTheRegisteredPort) {
  SerialPort serial({std::make_shared<Win32PortDriver>()});
  EXPECT_GE(serial.EnumeratePorts(), 1);
  const auto& ports = serial.Ports();
  EXPECT_TRUE(std::any_of(ports.begin(), ports.end(),
                          [this](const auto& entry) { return entry.second == port_; }))
      << port_ << " is not in HARDWARE\\DEVICEMAP\\SERIALCOMM";
  EXPECT_EQ(ports.begin()->first, 1);
  EXPECT_EQ(serial.EnumeratePorts(), static_cast<int>(ports.size()));  // rebuilt, not doubled

  ASSERT_TRUE(serial.OpenPort(port_));
  const std::uint8_t request[] = {0x48, 0x56, CMD_HARDWARE_VERSION, 0, 0};
  ASSERT_TRUE(serial.WriteAll(request, sizeof request));
  std::array<std::uint8_t, 7> answer{};
  ASSERT_TRUE(serial.ReadExact(answer.data(), 5));
  EXPECT_EQ(answer[4], 2);
  ASSERT_TRUE(serial.ReadExact(answer.data() + 5, 2));
  EXPECT_EQ(answer[5], 0x02);
  serial.ClosePort();
  EXPECT_FALSE(serial.IsOpen());
}

// A port that a terminal program (or Wine, for a terminal at its defaults) left with XON/XOFF
// on must still carry every byte value both ways: the echo has 0x11 and 0x13 in it.
TEST(Win32PortAtDefaults, EveryByteValueGoesOutAndComesBackUnchanged) {
  const char* port = std::getenv("BQ_WIN32_ECHO_PORT");
  if (port == nullptr || *port == '\0') GTEST_SKIP() << "BQ_WIN32_ECHO_PORT is not set";
  SerialPort serial({std::make_shared<Win32PortDriver>()});
  ASSERT_TRUE(serial.OpenPort(port));
  std::vector<std::uint8_t> sent(256);
  std::iota(sent.begin(), sent.end(), std::uint8_t{0});
  ASSERT_TRUE(serial.WriteAll(sent.data(), sent.size()));

  // Read until all came back or the line fell silent (a read that ends with nothing).
  const std::shared_ptr<SerialConnection> connection = serial.Hold();
  std::vector<std::uint8_t> back(sent.size());
  std::size_t got = 0;
  while (got < back.size()) {
    const long n = connection->Read(back.data() + got, back.size() - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  back.resize(got);
  EXPECT_EQ(back, sent) << back.size() << " of " << sent.size() << " bytes came back";
}

// Opened at a programmer's line, the port is set so as the system reports it (a second
// handle on the same device reads its state), carries bytes both ways, and sends a break of
// the length asked for. A pseudo-terminal keeps no parity (Linux holds it at 8 bits without
// parity), so the parity asked for is checked in the settings built (line_settings_test).
TEST(Win32PortAtDefaults, OpensAtTheLineAskedForAndSendsABreak) {
  const char* port = std::getenv("BQ_WIN32_ECHO_PORT");
  if (port == nullptr || *port == '\0') GTEST_SKIP() << "BQ_WIN32_ECHO_PORT is not set";
  Win32PortDriver driver;
  struct Case {
    std::uint32_t baud;
    LineSettings::Parity parity;
    std::uint8_t stopBits;
    BYTE dcbStopBits;
  };
  const Case cases[] = {
      {19200, LineSettings::Parity::None, 1, ONESTOPBIT},
      {115200, LineSettings::Parity::None, 1, ONESTOPBIT},
      {230400, LineSettings::Parity::Even, 2, TWOSTOPBITS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    LineSettings line;
    line.baud = c.baud;
    line.parity = c.parity;
    line.stopBits = c.stopBits;
    auto connection = driver.OpenAt(port, line);
    ASSERT_NE(connection, nullptr) << driver.LastOpenError();

    HANDLE other =
        ::CreateFileA(Win32PortDriver::DevicePath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    DCB state{};
    state.DCBlength = sizeof state;
    const BOOL read = ::GetCommState(other, &state);
    ::CloseHandle(other);
    ASSERT_TRUE(read);
    EXPECT_EQ(state.BaudRate, c.baud);
    EXPECT_EQ(state.ByteSize, 8);
    EXPECT_EQ(state.StopBits, c.dcbStopBits);

    const auto start = Clock::now();
    EXPECT_TRUE(connection->SendBreak(100));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(95));
    const std::uint8_t sent[] = {0x30, 0x20, 0x11, 0x13, 0xFF};
    ASSERT_TRUE(connection->Write(sent, sizeof sent));
    std::array<std::uint8_t, sizeof sent> back{};
    EXPECT_EQ(connection->Read(back.data(), back.size()), static_cast<long>(sizeof sent));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), sent));
  }
  LineSettings nine;
  nine.dataBits = 9;
  EXPECT_EQ(driver.OpenAt(port, nine), nullptr);
  EXPECT_NE(driver.LastOpenError().find("9 data bits"), std::string::npos)
      << driver.LastOpenError();
}

TEST(Win32PortDriver, NamesAndDevicePaths) {
  Win32PortDriver driver;
  EXPECT_FALSE(driver.Handles("sim"));
  EXPECT_FALSE(driver.Handles("sim:ATmega328P:isp"));
  EXPECT_FALSE(driver.Handles(""));
  EXPECT_TRUE(driver.Handles("COM12"));
  EXPECT_EQ(Win32PortDriver::DevicePath("COM12"), "\\\\.\\COM12");
  EXPECT_EQ(Win32PortDriver::DevicePath("\\\\.\\COM3"), "\\\\.\\COM3");
  EXPECT_EQ(driver.Open("COM199"), nullptr);
  // The system's reason, in words, after the port's name.
  const std::string why = driver.LastOpenError();
  EXPECT_EQ(why.rfind("COM199: ", 0), 0u) << why;
  EXPECT_GT(why.size(), std::string("COM199: ").size() + 10) << why;
  EXPECT_EQ(why.find_first_of("\r\n"), std::string::npos) << why;
  EXPECT_EQ(driver.Open(""), nullptr);

  SerialPort serial({std::make_shared<Win32PortDriver>()});
  EXPECT_FALSE(serial.OpenPort("COM199"));
  EXPECT_EQ(serial.LastOpenError(), why);
}

}  // namespace
}  // namespace bq

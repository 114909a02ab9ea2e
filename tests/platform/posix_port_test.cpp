#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>

#include "link/serial_port.h"
#include "platform/posix/posix_port_driver.h"
#include "platform/posix/pty_server.h"
#include "sim/sim_chip.h"
#include "sim/sim_serial_peer.h"
#include "tests/platform/platform_test_util.h"
#include "tests/sim/pty_simulator.h"

namespace bq::test {
namespace {

PartRecord Mega8Like() {
  PartRecord r;
  r.signature = 0x1E9307;
  r.flashPageSizeW = 32;
  r.flashNoOfPages = 128;
  r.eepromPageSize = 4;
  r.eepromNoOfPages = 128;
  r.hvMode = 1;
  return r;
}

std::unique_ptr<PtySimulator> StartSim(std::initializer_list<const char*> faults = {},
                                       bool pace = false) {
  SimOptions o;
  o.pace = pace;
  for (const char* f : faults) o.faults.push_back(*ParseSimFault(f));
  auto sim = std::make_unique<PtySimulator>(
      std::make_shared<SimChip>(SimChip::FromPart("ATmega8", Mega8Like())), o);
  EXPECT_TRUE(sim->Start());
  return sim;
}

const Bytes kFirmware = {0x48, 0x56, 0xDA, 0, 2, 1, 7};

TEST(PosixPort, TalksToTheSimulatorThroughAPseudoTerminal) {
  auto sim = StartSim();
  PosixPortDriver driver;
  auto port = driver.Open(sim->SlavePath());
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(Exchange(*port, Packet(0xC0), 7), kFirmware);
  EXPECT_EQ(Exchange(*port, Packet(0x10, {1}), 8),
            (Bytes{0x48, 0x56, 0xD1, 0, 3, 0x1E, 0x93, 0x07}));
}

TEST(PosixPort, SetsRawEightNOneAt115200AndKeepsHardwareFlowControl) {
  auto sim = StartSim();
  {
    // Cooked settings and RTS/CTS before the program opens the port.
    const int fd = ::open(sim->SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST;
    t.c_cflag |= PARENB | CSTOPB | CRTSCTS;
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7;
    ::cfsetspeed(&t, B9600);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    ::close(fd);
  }
  PosixPortDriver driver;
  auto port = driver.Open(sim->SlavePath());
  ASSERT_NE(port, nullptr);
  const int probe = ::open(sim->SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(probe, 0);  // root passes TIOCEXCL; the settings are the line's
  termios t{};
  ASSERT_EQ(::tcgetattr(probe, &t), 0);
  ::close(probe);
  EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u) << "flow control stays as the port had it";
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  // Raw: bytes that a cooked line would change pass unchanged both ways.
  EXPECT_EQ(Exchange(*port, Packet(0x11, {1, 0x6A}), 6), (Bytes{0x48, 0x56, 0xD9, 0, 1, 0x0A}));
}

TEST(PosixPort, ReadGivesUpAfterTheTotalTimeOutOnSilence) {
  auto sim = StartSim({"0xC0:silence"});
  PosixPortDriver driver;
  auto port = driver.Open(sim->SlavePath());
  ASSERT_NE(port, nullptr);
  const Bytes p = Packet(0xC0);
  ASSERT_TRUE(port->Write(p.data(), p.size()));
  const ReadResult r = TimedRead(*port, 5);  // 2000 + 5 * 50 ms
  EXPECT_EQ(r.count, 0);
  EXPECT_GE(r.seconds, 2.24);
  EXPECT_LT(r.seconds, 3.5);
}

TEST(PosixPort, ReadEndsFiftyMillisecondsAfterTheLastByte) {
  auto sim = StartSim({"0x10:short"});  // promises 4 payload bytes, sends 3
  PosixPortDriver driver;
  auto port = driver.Open(sim->SlavePath());
  ASSERT_NE(port, nullptr);
  const Bytes p = Packet(0x10, {1});
  ASSERT_TRUE(port->Write(p.data(), p.size()));
  EXPECT_EQ(TimedRead(*port, 5).count, 5);
  const ReadResult r = TimedRead(*port, 4);
  EXPECT_EQ(r.count, 3);
  EXPECT_GE(r.seconds, 0.045);
  EXPECT_LT(r.seconds, 1.0) << "the inter-byte gap ends the read, not the total time-out";
}

TEST(PosixPort, HangUpFailsTheReadPromptly) {
  auto sim = StartSim({"0xC1:hangup"});
  PosixPortDriver driver;
  auto port = driver.Open(sim->SlavePath());
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(Exchange(*port, Packet(0xC0), 7), kFirmware);
  const Bytes p = Packet(0xC1);
  ASSERT_TRUE(port->Write(p.data(), p.size()));
  const ReadResult r = TimedRead(*port, 5);
  EXPECT_EQ(r.count, -1);
  EXPECT_LT(r.seconds, 1.0);
  EXPECT_TRUE(sim->HungUp());
  const auto t0 = Clock::now();
  EXPECT_FALSE(port->Write(p.data(), p.size())) << "a vanished device takes no more bytes";
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(TimedRead(*port, 5).count, -1);
}

TEST(PosixPort, OnlyOneProgramHoldsAPortAtATime) {
  auto sim = StartSim();
  TempDir dir;  // a stable name, as in /dev/serial/by-id/
  const std::string byId = (dir.path() / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").string();
  ASSERT_EQ(::symlink(sim->SlavePath().c_str(), byId.c_str()), 0);
  PosixPortDriver driver;
  auto first = driver.Open(sim->SlavePath());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(driver.Open(sim->SlavePath()), nullptr);
  EXPECT_EQ(driver.Open(byId), nullptr) << "nor through a link to it";
  first.reset();
  auto again = driver.Open(byId);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(driver.Open(sim->SlavePath()), nullptr) << "held through the link";
  EXPECT_EQ(Exchange(*again, Packet(0xC0), 7), kFirmware);
}

TEST(PosixPort, AFailedOpenSaysWhyAndWhatToDo) {
  auto sim = StartSim();
  TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all |
                                               std::filesystem::perms::others_exec |
                                               std::filesystem::perms::group_exec);
  const std::string plain = (dir.path() / "plain").string();
  const std::string locked = (dir.path() / "ttyUSB0").string();
  const std::string absent = (dir.path() / "ttyUSB1").string();
  std::ofstream(plain) << "x";
  std::ofstream(locked) << "x";
  std::filesystem::permissions(
      locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  PosixPortDriver holder;
  auto held = holder.Open(sim->SlavePath());
  ASSERT_NE(held, nullptr);

  struct Case {
    std::string name;
    bool asAnotherUser;  // the file belongs to someone else
    std::string says;
  };
  const Case cases[] = {
      {absent, false, absent + ": No such file or directory (is the programmer plugged in?)"},
      {plain, false, plain + " is not a serial device"},
      {sim->SlavePath(), false, sim->SlavePath() + " is in use by another program"},
      {locked, true,
       locked + ": Permission denied. Serial ports belong to the dialout group: add your user to "
                "it with 'sudo usermod -aG dialout $USER', then log out and in again."},
  };
  SerialPort port({std::make_shared<PosixPortDriver>()});
  for (const Case& c : cases) {
    // root reads every file: it opens as nobody (for this thread's file access only).
    const bool switchUser = c.asAnotherUser && ::geteuid() == 0;
    if (switchUser) ::setfsuid(65534);
    EXPECT_FALSE(port.OpenPort(c.name)) << c.name;
    if (switchUser) ::setfsuid(0);
    EXPECT_EQ(port.LastOpenError(), c.says);
  }
  held.reset();
  ASSERT_TRUE(port.OpenPort(sim->SlavePath()));
  EXPECT_EQ(port.LastOpenError(), "");
}

TEST(PosixPort, NamesWithoutAPathAreDevices) {
  EXPECT_EQ(PosixPortDriver::DevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(PosixPortDriver::DevicePath("/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(PosixPortDriver::DevicePath("./link"), "./link");

  auto sim = StartSim();
  PosixPortDriver driver;
  const std::string name = "bq-test-port-" + std::to_string(::getpid());
  const std::string devLink = "/dev/" + name;
  if (::symlink(sim->SlavePath().c_str(), devLink.c_str()) != 0)
    GTEST_SKIP() << "cannot write /dev";
  auto port = driver.Open(name);
  ::unlink(devLink.c_str());
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(Exchange(*port, Packet(0xC0), 7), kFirmware);
}

TEST(PosixPort, RefusesWhatIsNotASerialDevice) {
  TempDir dir;
  const auto file = dir.path() / "plain";
  std::ofstream(file) << "x";
  PosixPortDriver driver;
  EXPECT_EQ(driver.Open(file.string()), nullptr);
  EXPECT_EQ(driver.Open((dir.path() / "absent").string()), nullptr);
  EXPECT_EQ(driver.Open(""), nullptr);
  EXPECT_FALSE(driver.Handles("sim"));
  EXPECT_FALSE(driver.Handles("sim:ATmega8:isp"));
  EXPECT_TRUE(driver.Handles("ttyUSB0"));
}

// A sysfs tree with the shapes of the real one: class/tty/NAME/device links to a device
// folder with driver and subsystem links.
class FakeSysfs {
 public:
  explicit FakeSysfs(const std::filesystem::path& root) : root_(root) {
    std::filesystem::create_directories(root_ / "class" / "tty");
  }
  void Add(const std::string& name, const std::string& devicePath, const std::string& driver,
           const std::string& subsystem, const char* type = nullptr) {
    namespace fs = std::filesystem;
    const fs::path dev = root_ / "devices" / devicePath;
    fs::create_directories(dev);
    fs::create_directories(root_ / "bus" / subsystem / "drivers" / driver);
    if (!fs::is_symlink(dev / "driver")) {  // placeholder ports share one device
      fs::create_symlink(root_ / "bus" / subsystem / "drivers" / driver, dev / "driver");
      fs::create_symlink(root_ / "bus" / subsystem, dev / "subsystem");
    }
    const fs::path tty = root_ / "class" / "tty" / name;
    fs::create_directories(tty);
    fs::create_symlink(dev, tty / "device");
    if (type) std::ofstream(tty / "type") << type << "\n";
  }
  // The USB device above a tty's device: its ids and, when given, its product name.
  void AddUsbDevice(const std::string& devicePath, const char* vendor, const char* product,
                    const char* name) {
    const std::filesystem::path dev = root_ / "devices" / devicePath;
    std::ofstream(dev / "idVendor") << vendor << "\n";
    std::ofstream(dev / "idProduct") << product << "\n";
    if (name) std::ofstream(dev / "product") << name << "\n";
  }
  void AddVirtual(const std::string& name) {
    std::filesystem::create_directories(root_ / "class" / "tty" / name);
  }

 private:
  std::filesystem::path root_;
};

TEST(PosixPortList, ListsRealSerialDevicesInNaturalOrder) {
  TempDir dir;
  FakeSysfs sys(dir.path());
  sys.Add("ttyUSB10", "pci0/usb1/1-2/1-2:1.0/ttyUSB10", "ftdi_sio", "usb-serial");
  sys.Add("ttyUSB2", "pci0/usb1/1-1/1-1:1.0/ttyUSB2", "cp210x", "usb-serial");
  sys.Add("ttyACM0", "pci0/usb1/1-3/1-3:1.0", "cdc_acm", "usb");
  sys.Add("ttyS0", "pnp0/00:04", "serial", "pnp", "4");
  sys.Add("ttyS1", "platform/serial8250", "serial8250", "platform", "0");  // placeholder
  sys.Add("ttyS12", "platform/serial8250", "serial8250", "platform", "0");
  sys.Add("ttyAMA0", "platform/fe201000.serial", "uart-pl011", "amba", "91");
  sys.Add("ttyHS0", "pci0/uart/bluetooth/hci0/ttyHS0", "hci_uart", "serial", "4");
  sys.AddVirtual("rfcomm0");
  sys.AddVirtual("tty1");
  sys.AddVirtual("ptmx");
  PosixPortDriver driver(dir.path().string());
  EXPECT_EQ(driver.Enumerate(),
            (std::vector<std::string>{"ttyACM0", "ttyAMA0", "ttyS0", "ttyUSB2", "ttyUSB10"}));
  EXPECT_EQ(driver.Enumerate(), driver.Enumerate()) << "listing twice gives the same list";
}

TEST(PosixPortList, DescribesUsbPortsByIdsProductAndStableName) {
  namespace fs = std::filesystem;
  TempDir dir;
  FakeSysfs sys(dir.path() / "sys");
  sys.Add("ttyUSB0", "pci0/usb1/1-1/1-1:1.0/ttyUSB0", "ftdi_sio", "usb-serial");
  sys.AddUsbDevice("pci0/usb1/1-1", "0403", "6001", "FT232R USB UART");
  sys.Add("ttyACM0", "pci0/usb1/1-3/1-3:1.0", "cdc_acm", "usb");
  sys.AddUsbDevice("pci0/usb1/1-3", "2341", "0043", nullptr);
  sys.Add("ttyS0", "pnp0/00:04", "serial", "pnp", "4");
  // /dev with its by-id links, as udev makes them.
  const fs::path dev = dir.path() / "dev";
  const fs::path byId = dev / "serial" / "by-id";
  fs::create_directories(byId);
  for (const char* tty : {"ttyUSB0", "ttyACM0", "ttyS0"}) std::ofstream(dev / tty) << "";
  const fs::path ftdi = byId / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  const fs::path uno = byId / "usb-Arduino__www.arduino.cc__0043_75833353035351F0E1A1-if00";
  fs::create_symlink("../../ttyUSB0", ftdi);
  fs::create_symlink("../../ttyACM0", uno);

  const std::map<std::string, std::string> cases = {
      {"ttyUSB0", "0403:6001 FT232R USB UART " + ftdi.string()},
      {ftdi.string(), "0403:6001 FT232R USB UART " + ftdi.string()},
      {"/dev/ttyUSB0", "0403:6001 FT232R USB UART " + ftdi.string()},
      {"ttyACM0", "2341:0043 " + uno.string()},
      {"ttyS0", ""},
      {"ttyUSB7", ""},
  };
  SerialPort port(
      {std::make_shared<PosixPortDriver>((dir.path() / "sys").string(), byId.string())});
  for (const auto& [name, text] : cases) EXPECT_EQ(port.DescribePort(name), text) << name;
}

TEST(PosixPortList, MissingSysfsGivesAnEmptyList) {
  TempDir dir;
  PosixPortDriver driver((dir.path() / "none").string());
  EXPECT_TRUE(driver.Enumerate().empty());
}

TEST(PosixPortList, NaturalOrder) {
  std::vector<std::string> names = {"ttyUSB10", "ttyS2", "ttyUSB9", "ttyS10", "ttyACM0", "ttyS02"};
  std::sort(names.begin(), names.end(), NaturalLess);
  EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS2", "ttyS02", "ttyS10", "ttyUSB9",
                                             "ttyUSB10"}));
}

TEST(PtySimulatorPacing, KeepsToTheWireRate) {
  auto sim = StartSim({}, /*pace=*/true);
  PosixPortDriver driver;
  auto port = driver.Open(sim->SlavePath());
  ASSERT_NE(port, nullptr);
  // 9 chunks of 256 bytes: 2304 payload bytes take at least 0.2 s at 115200 baud.
  ASSERT_EQ(Exchange(*port, Packet(0x30, {1, 1, 32, 0, 36}), 5).size(), 5u);
  const auto t0 = Clock::now();
  std::size_t payload = 0;
  for (int i = 0; i < 9; ++i) {
    const Bytes a = Exchange(*port, Packet(0x30), 261);
    ASSERT_EQ(a.size(), 261u);
    payload += a.size() - 5;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_EQ(payload, 2304u);
  EXPECT_GE(seconds, 0.19);
  EXPECT_LT(seconds, 2.0);
}

// A device that echoes every byte, paced at the line the host set: it learns that line
// through the pseudo-terminal before the first byte (rate and stop bits; a pseudo-terminal
// always carries 8 data bits without parity).
TEST(PtyServer, TellsTheDeviceTheLineTheHostSetAndPacesAtIt) {
  class Recording : public SimPacedPeer {
   public:
    using SimPacedPeer::SimPacedPeer;
    void LineSet(const LineSettings& line) override {
      if (seen.empty() || !(seen.back() == line)) seen.push_back(line);
      SimPacedPeer::LineSet(line);
    }
    std::vector<LineSettings> seen;
  };
  auto peer = std::make_shared<Recording>(
      [](const std::uint8_t* d, std::size_t n) { return std::vector<std::uint8_t>(d, d + n); },
      /*pace=*/true);
  PtyServer server(peer);
  ASSERT_TRUE(server.Start());
  PosixPortDriver driver;
  LineSettings line;
  line.baud = 9600;
  line.stopBits = 2;
  auto port = driver.OpenAt(server.SlavePath(), line);
  ASSERT_NE(port, nullptr);
  const Bytes out(48, 0x55);
  const auto t0 = Clock::now();
  EXPECT_EQ(Exchange(*port, out, out.size()), out);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  // Each echo leaves as its byte has arrived: 49 characters of 11 bits, 0.056 s (0.005 s at
  // the pseudo-terminal's default 115200 8N1).
  EXPECT_GE(seconds, 0.054);
  EXPECT_LT(seconds, 1.0);
  server.Stop();
  ASSERT_FALSE(peer->seen.empty());
  EXPECT_EQ(peer->seen.back().baud, 9600u);
  EXPECT_EQ(peer->seen.back().stopBits, 2);
  EXPECT_EQ(peer->seen.back().dataBits, 8);
}

}  // namespace
}  // namespace bq::test

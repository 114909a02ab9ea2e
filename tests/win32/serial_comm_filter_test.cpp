// Which values of the SERIALCOMM registry key become ports: plain C++, tested in every build.

#include "platform/win32/serial_comm_filter.h"

#include <gtest/gtest.h>

namespace bq {
namespace {

TEST(SerialCommFilter, BluetoothModemsAndNonComDataAreLeftOutInRegistryOrder) {
  const std::vector<SerialCommValue> values = {
      {"\\Device\\Serial0", "COM1"}, {"\\Device\\BthModem0", "COM7"},
      {"\\Device\\VCP0", "COM12"},   {"\\Device\\com0com10", "CNCA0"},
      {"\\Device\\Serial1", "COM3"},
  };
  // Not sorted: COM12 stays ahead of COM3, as the registry gave them.
  EXPECT_EQ(OfferedSerialPorts(values), (std::vector<std::string>{"COM1", "COM12", "COM3"}));
  EXPECT_TRUE(OfferedSerialPorts({}).empty());
}

TEST(SerialCommFilter, TheRuleIsCaseSensitiveOnBothSides) {
  struct Case {
    const char* name;
    const char* data;
    bool taken;
  };
  const Case cases[] = {
      {"\\Device\\Serial0", "COM1", true},
      {"\\Device\\Serial0", "COM", true},    // begins with COM: taken as it is
      {"\\Device\\Serial0", "com1", false},  // lower case data
      {"\\Device\\Serial0", "Com1", false},
      {"\\Device\\Serial0", " COM1", false},  // must begin with it
      {"\\Device\\Serial0", "CO", false},
      {"\\Device\\Serial0", "", false},
      {"\\Device\\BthModem12", "COM20", false},
      {"USB\\xBthModemx", "COM21", false},  // anywhere in the name
      {"BthModem", "COM22", false},
      {"\\Device\\bthmodem0", "COM23", true},  // another spelling is not excluded
      {"\\Device\\BthMod", "COM24", true},
      {"", "COM25", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsOfferedSerialCommValue(c.name, c.data), c.taken) << c.name << " = " << c.data;
  }
}

}  // namespace
}  // namespace bq

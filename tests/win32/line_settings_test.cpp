// The line settings a COM port is given: binary mode without software flow control, whatever
// the port had, and the hardware handshake as the port had it.

#include "platform/win32/line_settings.h"

#include <gtest/gtest.h>

namespace bq {
namespace {

TEST(ProgrammerLineSettings, BinaryWithoutSoftwareFlowControlAndTheHandshakeAsFound) {
  // As a terminal program may leave a port: everything on, another speed and framing.
  DCB everything{};
  everything.DCBlength = sizeof(DCB);
  everything.BaudRate = CBR_9600;
  everything.ByteSize = 7;
  everything.Parity = EVENPARITY;
  everything.StopBits = TWOSTOPBITS;
  everything.fParity = TRUE;
  everything.fOutX = TRUE;
  everything.fInX = TRUE;
  everything.fErrorChar = TRUE;
  everything.fNull = TRUE;
  everything.fAbortOnError = TRUE;
  everything.fOutxCtsFlow = TRUE;
  everything.fOutxDsrFlow = TRUE;
  everything.fDtrControl = DTR_CONTROL_HANDSHAKE;
  everything.fRtsControl = RTS_CONTROL_TOGGLE;
  everything.fDsrSensitivity = TRUE;
  everything.XonChar = 0x11;
  everything.XoffChar = 0x13;
  everything.ErrorChar = '?';
  // And a port with every switch off but the handshake lines driven.
  DCB nothing{};
  nothing.DCBlength = sizeof(DCB);
  nothing.fBinary = TRUE;
  nothing.fDtrControl = DTR_CONTROL_ENABLE;
  nothing.fRtsControl = RTS_CONTROL_DISABLE;

  for (const DCB& found : {everything, nothing}) {
    SCOPED_TRACE(found.fOutX ? "everything on" : "nothing on");
    const DCB set = ProgrammerLineSettings(found);
    EXPECT_EQ(set.DCBlength, sizeof(DCB));
    EXPECT_EQ(set.BaudRate, DWORD{CBR_115200});
    EXPECT_EQ(set.ByteSize, 8);
    EXPECT_EQ(set.Parity, NOPARITY);
    EXPECT_EQ(set.StopBits, ONESTOPBIT);
    EXPECT_TRUE(set.fBinary);
    EXPECT_FALSE(set.fOutX);
    EXPECT_FALSE(set.fInX);
    EXPECT_FALSE(set.fParity);
    EXPECT_FALSE(set.fErrorChar);
    EXPECT_FALSE(set.fNull);
    EXPECT_FALSE(set.fAbortOnError);
    EXPECT_EQ(set.fOutxCtsFlow, found.fOutxCtsFlow);
    EXPECT_EQ(set.fOutxDsrFlow, found.fOutxDsrFlow);
    EXPECT_EQ(set.fDtrControl, found.fDtrControl);
    EXPECT_EQ(set.fRtsControl, found.fRtsControl);
    EXPECT_EQ(set.fDsrSensitivity, found.fDsrSensitivity);
  }
}

// Each programmer's line, whatever framing the port had: the rate, data bits, parity and
// stop bits asked for, and still binary without software flow control.
TEST(ProgrammerLineSettings, TheRateAndFramingAskedFor) {
  struct Case {
    LineSettings line;
    DWORD baud;
    BYTE byteSize, parity, stopBits;
  };
  const auto line = [](std::uint32_t baud, std::uint8_t bits, LineSettings::Parity parity,
                       std::uint8_t stop) {
    LineSettings l;
    l.baud = baud;
    l.dataBits = bits;
    l.parity = parity;
    l.stopBits = stop;
    return l;
  };
  using P = LineSettings::Parity;
  const Case cases[] = {
      {line(19200, 8, P::None, 1), CBR_19200, 8, NOPARITY, ONESTOPBIT},
      {line(115200, 8, P::None, 1), CBR_115200, 8, NOPARITY, ONESTOPBIT},
      {line(230400, 8, P::Even, 2), 230400, 8, EVENPARITY, TWOSTOPBITS},
      {line(9600, 7, P::Odd, 1), CBR_9600, 7, ODDPARITY, ONESTOPBIT},
  };
  DCB found{};
  found.DCBlength = sizeof(DCB);
  found.BaudRate = CBR_57600;
  found.ByteSize = 5;
  found.Parity = MARKPARITY;
  found.StopBits = ONE5STOPBITS;
  found.fOutX = TRUE;
  found.fRtsControl = RTS_CONTROL_HANDSHAKE;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    EXPECT_EQ(LineSettingsProblem(c.line), "");
    const DCB set = ProgrammerLineSettings(found, c.line);
    EXPECT_EQ(set.BaudRate, c.baud);
    EXPECT_EQ(set.ByteSize, c.byteSize);
    EXPECT_EQ(set.Parity, c.parity);
    EXPECT_EQ(set.StopBits, c.stopBits);
    EXPECT_TRUE(set.fBinary);
    EXPECT_FALSE(set.fOutX);
    EXPECT_FALSE(set.fParity);  // sent, not checked
    EXPECT_EQ(set.fRtsControl, DWORD{RTS_CONTROL_HANDSHAKE});
  }
  EXPECT_NE(LineSettingsProblem(line(0, 8, P::None, 1)), "");
  EXPECT_NE(LineSettingsProblem(line(19200, 9, P::None, 1)), "");
  EXPECT_NE(LineSettingsProblem(line(19200, 8, P::None, 3)), "");
}

}  // namespace
}  // namespace bq

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

}  // namespace
}  // namespace bq

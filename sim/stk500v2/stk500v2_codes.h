#pragma once
// STK500 protocol version 2: framing, command, status and parameter codes.

#include <cstddef>
#include <cstdint>

namespace bq::stk500v2 {

inline constexpr std::uint8_t kMessageStart = 0x1B;
inline constexpr std::uint8_t kToken = 0x0E;
inline constexpr std::size_t kMaxBody = 275;  // the largest body the programmer takes

// General commands.
inline constexpr std::uint8_t kSignOn = 0x01;
inline constexpr std::uint8_t kSetParameter = 0x02;
inline constexpr std::uint8_t kGetParameter = 0x03;
inline constexpr std::uint8_t kSetDeviceParameters = 0x04;
inline constexpr std::uint8_t kOsccal = 0x05;
inline constexpr std::uint8_t kLoadAddress = 0x06;

// ISP commands.
inline constexpr std::uint8_t kEnterProgmodeIsp = 0x10;
inline constexpr std::uint8_t kLeaveProgmodeIsp = 0x11;
inline constexpr std::uint8_t kChipEraseIsp = 0x12;
inline constexpr std::uint8_t kProgramFlashIsp = 0x13;
inline constexpr std::uint8_t kReadFlashIsp = 0x14;
inline constexpr std::uint8_t kProgramEepromIsp = 0x15;
inline constexpr std::uint8_t kReadEepromIsp = 0x16;
inline constexpr std::uint8_t kProgramFuseIsp = 0x17;
inline constexpr std::uint8_t kReadFuseIsp = 0x18;
inline constexpr std::uint8_t kProgramLockIsp = 0x19;
inline constexpr std::uint8_t kReadLockIsp = 0x1A;
inline constexpr std::uint8_t kReadSignatureIsp = 0x1B;
inline constexpr std::uint8_t kReadOsccalIsp = 0x1C;
inline constexpr std::uint8_t kSpiMulti = 0x1D;

// High-voltage commands: the parallel set starts at kPpBase, the serial set at kHvspBase,
// both in this order.
inline constexpr std::uint8_t kPpBase = 0x20;
inline constexpr std::uint8_t kHvspBase = 0x30;
inline constexpr std::uint8_t kHvEnterProgmode = 0x0;
inline constexpr std::uint8_t kHvLeaveProgmode = 0x1;
inline constexpr std::uint8_t kHvChipErase = 0x2;
inline constexpr std::uint8_t kHvProgramFlash = 0x3;
inline constexpr std::uint8_t kHvReadFlash = 0x4;
inline constexpr std::uint8_t kHvProgramEeprom = 0x5;
inline constexpr std::uint8_t kHvReadEeprom = 0x6;
inline constexpr std::uint8_t kHvProgramFuse = 0x7;
inline constexpr std::uint8_t kHvReadFuse = 0x8;
inline constexpr std::uint8_t kHvProgramLock = 0x9;
inline constexpr std::uint8_t kHvReadLock = 0xA;
inline constexpr std::uint8_t kHvReadSignature = 0xB;
inline constexpr std::uint8_t kHvReadOsccal = 0xC;

// Status codes.
inline constexpr std::uint8_t kStatusCmdOk = 0x00;
inline constexpr std::uint8_t kStatusCmdTout = 0x80;
inline constexpr std::uint8_t kStatusRdyBsyTout = 0x81;
inline constexpr std::uint8_t kStatusSetParamMissing = 0x82;
inline constexpr std::uint8_t kStatusCmdFailed = 0xC0;
inline constexpr std::uint8_t kStatusCksumError = 0xC1;
inline constexpr std::uint8_t kStatusCmdUnknown = 0xC9;
inline constexpr std::uint8_t kAnswerCksumError = 0xB0;

// Parameters.
inline constexpr std::uint8_t kParamBuildNumberLow = 0x80;
inline constexpr std::uint8_t kParamBuildNumberHigh = 0x81;
inline constexpr std::uint8_t kParamHwVer = 0x90;
inline constexpr std::uint8_t kParamSwMajor = 0x91;
inline constexpr std::uint8_t kParamSwMinor = 0x92;
inline constexpr std::uint8_t kParamVtarget = 0x94;
inline constexpr std::uint8_t kParamVadjust = 0x95;
inline constexpr std::uint8_t kParamOscPscale = 0x96;
inline constexpr std::uint8_t kParamOscCmatch = 0x97;
inline constexpr std::uint8_t kParamSckDuration = 0x98;
inline constexpr std::uint8_t kParamTopcardDetect = 0x9A;
inline constexpr std::uint8_t kParamStatus = 0x9C;
inline constexpr std::uint8_t kParamData = 0x9D;
inline constexpr std::uint8_t kParamResetPolarity = 0x9E;
inline constexpr std::uint8_t kParamControllerInit = 0x9F;

// Mode byte of the program flash/EEPROM commands.
inline constexpr std::uint8_t kModePage = 0x01;
inline constexpr std::uint8_t kModeWordDelay = 0x02;
inline constexpr std::uint8_t kModeWordValuePoll = 0x04;
inline constexpr std::uint8_t kModeWordRdyBsy = 0x08;
inline constexpr std::uint8_t kModePageDelay = 0x10;
inline constexpr std::uint8_t kModePageValuePoll = 0x20;
inline constexpr std::uint8_t kModePageRdyBsy = 0x40;
inline constexpr std::uint8_t kModeWritePage = 0x80;

}  // namespace bq::stk500v2

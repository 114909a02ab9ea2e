#pragma once
// STK500 protocol version 1: command, answer and parameter codes.

#include <cstdint>

namespace bq::stk500v1 {

inline constexpr std::uint8_t kEop = 0x20;  // Sync_CRC_EOP, ends every command

// Answers.
inline constexpr std::uint8_t kOk = 0x10;
inline constexpr std::uint8_t kFailed = 0x11;
inline constexpr std::uint8_t kUnknown = 0x12;
inline constexpr std::uint8_t kNoDevice = 0x13;
inline constexpr std::uint8_t kInSync = 0x14;
inline constexpr std::uint8_t kNoSync = 0x15;

// Commands.
inline constexpr std::uint8_t kGetSync = 0x30;
inline constexpr std::uint8_t kGetSignOn = 0x31;
inline constexpr std::uint8_t kSetParameter = 0x40;
inline constexpr std::uint8_t kGetParameter = 0x41;
inline constexpr std::uint8_t kSetDevice = 0x42;
inline constexpr std::uint8_t kSetDeviceExt = 0x45;
inline constexpr std::uint8_t kEnterProgmode = 0x50;
inline constexpr std::uint8_t kLeaveProgmode = 0x51;
inline constexpr std::uint8_t kChipErase = 0x52;
inline constexpr std::uint8_t kLoadAddress = 0x55;
inline constexpr std::uint8_t kUniversal = 0x56;
inline constexpr std::uint8_t kUniversalMulti = 0x57;
inline constexpr std::uint8_t kProgFuse = 0x62;
inline constexpr std::uint8_t kProgLock = 0x63;
inline constexpr std::uint8_t kProgPage = 0x64;
inline constexpr std::uint8_t kProgFuseExt = 0x65;
inline constexpr std::uint8_t kReadFlash = 0x70;
inline constexpr std::uint8_t kReadData = 0x71;
inline constexpr std::uint8_t kReadFuse = 0x72;
inline constexpr std::uint8_t kReadLock = 0x73;
inline constexpr std::uint8_t kReadPage = 0x74;
inline constexpr std::uint8_t kReadSign = 0x75;
inline constexpr std::uint8_t kReadFuseExt = 0x77;

// Parameters.
inline constexpr std::uint8_t kParmHwVer = 0x80;
inline constexpr std::uint8_t kParmSwMajor = 0x81;
inline constexpr std::uint8_t kParmSwMinor = 0x82;
inline constexpr std::uint8_t kParmLeds = 0x83;
inline constexpr std::uint8_t kParmVtarget = 0x84;
inline constexpr std::uint8_t kParmVadjust = 0x85;
inline constexpr std::uint8_t kParmOscPscale = 0x86;
inline constexpr std::uint8_t kParmOscCmatch = 0x87;
inline constexpr std::uint8_t kParmResetDuration = 0x88;
inline constexpr std::uint8_t kParmSckDuration = 0x89;
inline constexpr std::uint8_t kParmBufsizeL = 0x90;
inline constexpr std::uint8_t kParmBufsizeH = 0x91;
inline constexpr std::uint8_t kParmDevice = 0x92;
inline constexpr std::uint8_t kParmProgmode = 0x93;
inline constexpr std::uint8_t kParmParamode = 0x94;
inline constexpr std::uint8_t kParmPolling = 0x95;
inline constexpr std::uint8_t kParmSelftimed = 0x96;

inline constexpr char kSignOn[] = "AVR STK";

}  // namespace bq::stk500v1

#pragma once
// The fault matrix: one row per fault the programmer link must survive. The matrix test
// runs every row; the document program assembles their results into RELIABILITY.md in
// this order. Plain data only, so both can include it.

#include <cstdint>
#include <string>
#include <vector>

namespace bq::reliability {

// Where the simulated programmer runs.
enum class Transport {
  Pty,      // in-process simulator behind a pseudo-terminal, POSIX port driver
  Program,  // the brindlequartz-sim program (part ATmega8), POSIX port driver
  FastPty,  // as Pty, but reads for the blank check's answer time out after 40 ms
};

enum class Op {
  FirmwareVersion,
  ReadSignature,
  SetIspClock,
  Identify,
  Erase,
  BlankCheck,
  ReadFlash,
  ReadEeprom,
  VerifyFlash,
  WriteFlash,
  WriteEeprom,
  ReadFuses,
  VerifyFuses,
  WriteFuses,
  WriteLockBits,
};

// What happened to the line before the request.
enum class Prelude {
  None,
  PortClosed,     // the port was closed (e.g. the settings dialog reopened another one)
  HungUpEarlier,  // the programmer hung up during an earlier request
};

struct MatrixRow {
  const char* id;
  const char* fault;  // as the table shows it
  Transport transport;
  const char* faults[2];  // simulator fault descriptions (see docs/simulator.md); null ends
  Op op;
  Prelude prelude;
  std::uint8_t status;    // expected LinkStatus
  // Expected error lines in order (for a row that expects success: every line); null ends.
  const char* lines[5];
  bool reopen;            // the fault ends the line: the port is opened again before the next request
  int boundSeconds;       // wall time the failing request may take at most
  bool chipUnchanged;     // the command was not carried out: the chip keeps its contents
  int blankAfterReads;    // FastPty: the blank check answers after this many read time-outs
  bool bigEeprom;         // the chip's EEPROM fills the whole 8 KiB EEPROM image
};

inline const char* OpName(Op op) {
  switch (op) {
    case Op::FirmwareVersion: return "firmware version";
    case Op::ReadSignature: return "read signature";
    case Op::SetIspClock: return "set ISP clock";
    case Op::Identify: return "identify";
    case Op::Erase: return "chip erase";
    case Op::BlankCheck: return "blank check";
    case Op::ReadFlash: return "read flash";
    case Op::ReadEeprom: return "read EEPROM";
    case Op::VerifyFlash: return "verify flash";
    case Op::WriteFlash: return "write flash";
    case Op::WriteEeprom: return "write EEPROM";
    case Op::ReadFuses: return "read fuses";
    case Op::VerifyFuses: return "verify fuses";
    case Op::WriteFuses: return "write fuses";
    case Op::WriteLockBits: return "write lock bits";
  }
  return "?";
}

inline const char* TransportName(Transport t) {
  switch (t) {
    case Transport::Pty: return "pty";
    case Transport::Program: return "brindlequartz-sim";
    case Transport::FastPty: return "pty, 40 ms blank-check reads";
  }
  return "?";
}

inline const std::vector<MatrixRow>& MatrixRows() {
  using enum Op;
  using T = Transport;
  using P = Prelude;
  static const std::vector<MatrixRow> rows = {
      // Link failures.
      {"L01", "no answer to a data request of a read", T::Pty, {"0x30:silence@3"}, ReadFlash,
       P::None, 251, {"Comunication Error Code 0x02!!!"}, false, 6, false, 0, false},
      {"L02", "no answer to a version query", T::Program, {"0xC0:silence@1"}, FirmwareVersion,
       P::None, 251, {"Comunication Error Code 0x02!!!"}, false, 6, false, 0, false},
      {"L03", "no answer to a signature probe of identify", T::Pty, {"0x10:silence@1"}, Identify,
       P::None, 255, {"Comunication Error Code 0x02!!!"}, false, 6, false, 0, false},
      {"L04", "bad header on the fuse answer", T::Pty, {"0x20:badheader@1"}, ReadFuses, P::None,
       252, {"Comunication Error Code 0x03!!!"}, false, 6, false, 0, false},
      {"L05", "bad header on a 256-byte data chunk", T::Pty, {"0x30:badheader@4"}, ReadEeprom,
       P::None, 252, {"Comunication Error Code 0x03!!!"}, false, 6, false, 0, false},
      {"L06", "short fuse answer", T::Pty, {"0x20:short@1"}, VerifyFuses, P::None, 253,
       {"Comunication Error Code 0x04!!!"}, false, 6, false, 0, false},
      {"L07", "short data chunk during verify", T::Pty, {"0x30:short@3"}, VerifyFlash, P::None,
       253, {"Comunication Error Code 0x04!!!"}, false, 6, false, 0, false},
      {"L08", "length field 257 on a data chunk", T::Pty, {"0x30:oversize@3"}, ReadEeprom,
       P::None, 253, {"Comunication Error Code 0x04!!!"}, false, 6, false, 0, false},
      {"L09", "length field 257 on the signature", T::Program, {"0x10:oversize@1"},
       ReadSignature, P::None, 253, {"Comunication Error Code 0x04!!!"}, false, 6, false, 0,
       false},
      {"L10", "port closed before the request", T::Pty, {}, Erase, P::PortClosed, 250,
       {"Comunication Error Code 0x01!!!"}, true, 3, true, 0, false},
      {"L11", "write to a line the programmer hung up", T::Pty, {}, WriteFlash, P::HungUpEarlier,
       250, {"Comunication Error Code 0x01!!!"}, true, 3, true, 0, false},
      {"L12", "port closed before identify (write failures are quiet there)", T::Pty, {},
       Identify, P::PortClosed, 255, {}, true, 3, true, 0, false},
      // Device errors: the programmer refuses; one CMD_RECOVER follows each.
      {"D01", "device error 1", T::Pty, {"0x10:error=1@1"}, ReadSignature, P::None, 1,
       {"ERROR: Unknown Command"}, false, 3, true, 0, false},
      {"D02", "device error 2 on the transfer parameters", T::Pty, {"0x30:error=2@1"}, ReadFlash,
       P::None, 2, {"ERROR: Enter Program Mode"}, false, 3, true, 0, false},
      {"D03", "device error 3", T::Pty, {"0x21:error=3@1"}, WriteLockBits, P::None, 3,
       {"ERROR: Write Lock Bits"}, false, 3, true, 0, false},
      {"D04", "device error 4", T::Pty, {"0x21:error=4@1"}, WriteFuses, P::None, 4,
       {"ERROR: Write Fuses"}, false, 3, true, 0, false},
      {"D05", "device error 5 on the first data packet", T::Pty, {"0x32:error=5@2"}, WriteFlash,
       P::None, 5, {"ERROR: Write Memory"}, false, 3, true, 0, false},
      {"D06", "device error 6", T::Program, {"0xB0:error=6@1"}, Erase, P::None, 6,
       {"ERROR: Chip Erase"}, false, 3, false, 0, false},
      {"D07", "device error 7", T::Pty, {"0xC3:error=7@1"}, SetIspClock, P::None, 7,
       {"ERROR: ISP Speed not set"}, false, 3, true, 0, false},
      {"D08", "unknown device error 42", T::Pty, {"0xB1:error=42@1"}, BlankCheck, P::None, 42,
       {"Unknown Error !!!"}, false, 3, true, 0, false},
      {"D09", "error answer with code 0", T::Pty, {"0x20:error=0@1"}, VerifyFuses, P::None, 254,
       {"Unknown Error !!!"}, false, 3, true, 0, false},
      {"D10", "CMD_RECOVER answered with ANS_ERROR again and again", T::Program,
       {"0xC0:error=5@1", "0xCF:error=1"}, FirmwareVersion, P::None, 1,
       {"ERROR: Write Memory", "ERROR: Unknown Command", "ERROR: Unknown Command",
        "ERROR: Unknown Command"},
       false, 3, false, 0, false},
      // The programmer hangs up.
      {"H01", "hang-up in the middle of a flash read", T::Pty, {"0x30:hangup@5"}, ReadFlash,
       P::None, 251, {"Comunication Error Code 0x02!!!"}, true, 3, false, 0, false},
      {"H02", "hang-up in the middle of an EEPROM read", T::Program, {"0x30:hangup@4"},
       ReadEeprom, P::None, 251, {"Comunication Error Code 0x02!!!"}, true, 3, false, 0, false},
      {"H03", "hang-up in the middle of a flash write", T::Pty, {"0x32:hangup@3"}, WriteFlash,
       P::None, 251, {"Comunication Error Code 0x02!!!"}, true, 3, false, 0, false},
      // Conversations out of step.
      {"S01", "ANS_WRITE_NEXT answered to the last write packet", T::Pty, {"0x32:lastnext@1"},
       WriteEeprom, P::None, 254, {"Unknown Error !!!"}, false, 3, false, 0, false},
      {"S02", "ANS_DATA stream longer than the memory read", T::Pty, {"0x30:longdata@1"},
       ReadEeprom, P::None, 254, {"Unknown Error !!!"}, false, 3, false, 0, false},
      {"S03", "ANS_DATA stream longer than the 8 KiB EEPROM image", T::Pty, {"0x30:longdata@1"},
       ReadEeprom, P::None, 254, {"Unknown Error !!!"}, false, 3, false, 0, true},
      // The blank check's long wait (60 header read time-outs).
      {"B01", "blank check silent for 50 read time-outs", T::FastPty, {}, BlankCheck, P::None, 0,
       {"Chip not empty !!!"}, false, 8, false, 50, false},
      {"B02", "blank check silent beyond 60 read time-outs", T::FastPty, {"0xB1:silence@1"},
       BlankCheck, P::None, 251, {"Comunication Error Code 0x02!!!"}, false, 8, true, 0, false},
      {"B03", "hang-up while the blank check waits", T::Pty, {"0xB1:hangup@1"}, BlankCheck,
       P::None, 251, {"Comunication Error Code 0x02!!!"}, true, 3, true, 0, false},
  };
  return rows;
}

}  // namespace bq::reliability

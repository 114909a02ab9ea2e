// Brindlequartz programmer firmware: the host's packet protocol over the serial line, each
// command one programming session over ISP, HVSP or (Mega) HVPP.

#include <avr/interrupt.h>
#include <util/delay.h>

#include "board.h"
#include "target.h"
#include "uart.h"
#include "updi.h"

enum {
  CMD_READ_SIGNATURE = 0x10,
  CMD_READ_CALIBRATION = 0x11,
  CMD_READ_FUSES = 0x20,
  CMD_WRITE_FUSES = 0x21,
  CMD_READ_MEMORY = 0x30,
  CMD_STOP_READ = 0x31,
  CMD_WRITE_MEMORY = 0x32,
  CMD_CHIP_ERASE = 0xB0,
  CMD_BLANK_CHECK = 0xB1,
  CMD_FIRMWARE_VERSION = 0xC0,
  CMD_HARDWARE_VERSION = 0xC1,
  CMD_DETECT_ISP_CLOCK = 0xC2,
  CMD_SET_ISP_CLOCK = 0xC3,
  CMD_SET_LINE_RATE = 0xC4,
  CMD_SET_TARGET_CLOCK = 0xC5,
  CMD_UPDI_OPEN = 0xC6,
  CMD_UPDI_EXCHANGE = 0xC7,
  CMD_UPDI_BREAK = 0xC8,
  CMD_UPDI_CLOSE = 0xC9,
  CMD_RECOVER = 0xCF,
};

enum {
  ANS_SIGNATURE = 0xD1,
  ANS_VALUE8 = 0xD2,
  ANS_FUSES = 0xD3,
  ANS_DATA = 0xD4,
  ANS_WRITE_READY = 0xD5,
  ANS_WRITE_NEXT = 0xD6,
  ANS_WRITE_DONE = 0xD7,
  ANS_READ_DONE = 0xD8,
  ANS_VALUE8_ALT = 0xD9,
  ANS_VALUE16 = 0xDA,
  ANS_VALUE16_ALT = 0xDB,
  ANS_BLANK = 0xDC,
  ANS_OK = 0xDD,    // plain acknowledgement
  ANS_UPDI = 0xDE,  // echo status, then the bytes received
  ANS_ERROR = 0xEF,
};

enum { MODE_HVPP = 1, MODE_HVPP20 = 2, MODE_HVSP = 3, MODE_ISP = 4 };
enum { STREAM_NONE, STREAM_READ, STREAM_WRITE };

uint8_t targetSignature[3];

uint8_t SignatureValid(void) {
  return targetSignature[0] == 0x1E && targetSignature[1] != 0x1E && targetSignature[2] != 0x1E;
}

void DelayMs(uint16_t ms) {
  while (ms--) _delay_ms(1);
}

// The clock on the ISP cable's XTAL1 lead: 16 MHz / (2 * (7 + 1)) = 1 MHz, a square wave
// from the timer's compare toggle (CTC). Off: the timer stopped and the pin released
// (input, no pull-up), as at reset. Only the host starts it (for a rescue or --target-clock).
static void TargetClock(uint8_t on) {
  TCLK_TCCRB = 0;
  TCLK_TCCRA = 0;
  TCLK_PORT &= (uint8_t)~BIT(TCLK_BIT);
  if (!on) {
    TCLK_DDR &= (uint8_t)~BIT(TCLK_BIT);
    return;
  }
  TCLK_TCNT = 0;
  TCLK_OCR = 7;
  TCLK_TCCRA = TCLK_TOGGLE | TCLK_CTC;
  TCLK_DDR |= BIT(TCLK_BIT);
  TCLK_TCCRB = TCLK_CS;
}

void LinesIdle(void) {
  SPCR = 0;
  ISP_DDR &= (uint8_t)~(BIT(ISP_RST) | BIT(ISP_MOSI) | BIT(ISP_MISO) | BIT(ISP_SCK));
  ISP_PORT &= (uint8_t)~(BIT(ISP_RST) | BIT(ISP_MOSI) | BIT(ISP_MISO) | BIT(ISP_SCK));
  HVSP_PWR_PORT &= (uint8_t)~(BIT(HVSP_12V) | BIT(HVSP_VCC));
  HVSP_PWR_DDR |= BIT(HVSP_12V) | BIT(HVSP_VCC);
  HVSP_DDR &= (uint8_t)~(BIT(HVSP_SDI) | BIT(HVSP_SII) | BIT(HVSP_SDO) | BIT(HVSP_SCI));
  HVSP_PORT &= (uint8_t)~(BIT(HVSP_SDI) | BIT(HVSP_SII) | BIT(HVSP_SDO) | BIT(HVSP_SCI));
#if HAVE_HVPP
  {
    const uint8_t switches =
        BIT(PP_12V) | BIT(PP_VCC) | BIT(PP40_12V) | BIT(PP40_VCC) | BIT(PP20_12V) | BIT(PP20_VCC);
    PP_AUX_PORT &= (uint8_t)~(switches | BIT(PP_RDY));
    PP_AUX_DDR = (uint8_t)((PP_AUX_DDR | switches) & ~BIT(PP_RDY));
    PP_X61_PORT &= (uint8_t)~(BIT(PP20X_12V) | BIT(PP20X_VCC));
    PP_X61_DDR |= BIT(PP20X_12V) | BIT(PP20X_VCC);
  }
  PP_DATA_DDR = 0;
  PP_DATA_PORT = 0;
  PP_CTL_DDR = 0;
  PP_CTL_PORT = 0;
#endif
#if HAVE_UPDI
  UpdiIdle();
#endif
}

// ---- Sessions and streams -----------------------------------------------------------------

static const TargetOps* session;  // interface of the open session, 0 when none
static uint8_t stream;
static uint8_t streamKind;
static uint8_t writeFailed;  // a page of the write stream failed: the next packet hears it
static uint16_t streamPageBytes;
static uint32_t streamPos;
static uint32_t streamEnd;
static uint8_t chunk[PACKET_MAX_PAYLOAD];  // next read chunk, fetched ahead
static uint16_t chunkLen;

static const TargetOps* OpsFor(uint8_t mode) {
  switch (mode) {
    case MODE_ISP:
      return &kIspOps;
    case MODE_HVSP:
      return &kHvspOps;
#if HAVE_HVPP
    case MODE_HVPP:
      return &kHvppOps;
    case MODE_HVPP20:
      return &kHvpp20Ops;
#endif
    default:
      return 0;  // the Uno's missing HVPP sockets, no mode at all
  }
}

static void Leave(void) {
  if (session) session->leave();
  session = 0;
}

static void EndStream(void) {
  Leave();
  stream = STREAM_NONE;
}

static uint8_t Begin(uint8_t mode) {
  EndStream();
  const TargetOps* ops = OpsFor(mode);
  if (!ops) return ERR_UNKNOWN_COMMAND;
  const uint8_t error = ops->enter();
  if (!error) session = ops;
  return error;
}

static void Fail(uint8_t error) {
  EndStream();
  AnswerByte(ANS_ERROR, error);
}

// Begins the session of a command whose payload starts with the mode; 0 when it is open,
// else the error has been answered.
static uint8_t Open(const Packet* p, uint16_t minLen) {
  if (p->len < minLen) {
    Fail(ERR_UNKNOWN_COMMAND);
    return 0;
  }
  const uint8_t error = Begin(p->data[0]);
  if (error) {
    Fail(error);
    return 0;
  }
  return 1;
}

// Transfer parameters: mode, kind, page size (flash words / EEPROM bytes), page count.
static uint32_t TransferBytes(const Packet* p, uint16_t* pageBytes) {
  *pageBytes = p->data[1] == KIND_FLASH ? (uint16_t)p->data[2] * 2u : p->data[2];
  return (uint32_t)*pageBytes * (((uint16_t)p->data[3] << 8) | p->data[4]);
}

static uint8_t ValidKind(uint8_t kind) { return kind == KIND_FLASH || kind == KIND_EEPROM; }

static void Prefetch(void) {
  const uint32_t left = streamEnd - streamPos;
  chunkLen = left > PACKET_MAX_PAYLOAD ? PACKET_MAX_PAYLOAD : (uint16_t)left;
  if (chunkLen) session->read(streamKind, streamPos, chunk, chunkLen);
  // Everything read: the target is left now, not only when the host asks once more.
  if (streamPos + chunkLen >= streamEnd) Leave();
}

static uint8_t AllErased(const uint8_t* data, uint16_t n) {
  for (uint16_t i = 0; i < n; ++i) {
    if (data[i] != 0xFF) return 0;
  }
  return 1;
}

// Splits a data packet into pages (or one piece of a page longer than a packet) and
// programs each complete page; flash pages that are all 0xFF are left as erased.
static uint8_t WritePages(const uint8_t* data, uint16_t n) {
  uint16_t off = 0;
  while (off < n) {
    const uint16_t inPage = (uint16_t)(streamPos % streamPageBytes);
    uint16_t len = streamPageBytes - inPage;
    if (len > n - off) len = n - off;
    const uint8_t complete = inPage + len == streamPageBytes;
    const uint8_t skip =
        streamKind == KIND_FLASH && inPage == 0 && complete && AllErased(data + off, len);
    if (!skip &&
        !session->write(streamKind, streamPos, data + off, len, streamPageBytes, complete)) {
      return 0;
    }
    streamPos += len;
    off += len;
  }
  return 1;
}

// ---- Commands -----------------------------------------------------------------------------

static void ReadFuses(const Packet* p) {
  if (!Open(p, 1)) return;
  for (uint16_t i = 1; i < p->len; ++i) {
    const uint8_t selector = p->data[i];
    if (selector < SEL_LOW || selector > SEL_LOCK) {
      Fail(ERR_UNKNOWN_COMMAND);
      return;
    }
    chunk[i - 1] = session->readFuse(selector);
  }
  Leave();
  Answer(ANS_FUSES, chunk, p->len - 1);
}

// Pairs (selector, value): fuses first, lock bits last; each read back and compared.
static void WriteFuses(const Packet* p) {
  if (!Open(p, 1)) return;
  if (p->len % 2 == 0) {
    Fail(ERR_WRITE_FUSES);
    return;
  }
  for (uint16_t i = 1; i < p->len; i += 2) {
    if (p->data[i] < SEL_LOW || p->data[i] > SEL_LOCK) {
      Fail(ERR_WRITE_FUSES);
      return;
    }
  }
  for (uint8_t lockPass = 0; lockPass < 2; ++lockPass) {
    for (uint16_t i = 1; i < p->len; i += 2) {
      const uint8_t selector = p->data[i];
      const uint8_t value = p->data[i + 1];
      if ((selector == SEL_LOCK) != lockPass) continue;
      // Lock bytes are compared in their six lock bits: the two above read as undefined.
      const uint8_t mask = selector == SEL_LOCK ? 0x3F : 0xFF;
      if (!session->writeFuse(selector, value) ||
          ((session->readFuse(selector) ^ value) & mask) != 0) {
        Fail(lockPass ? ERR_WRITE_LOCK_BITS : ERR_WRITE_FUSES);
        return;
      }
    }
  }
  Leave();
  Answer(ANS_OK, 0, 0);
}

static void ReadMemory(const Packet* p) {
  if (p->len == 5) {
    if (!Open(p, 5)) return;
    if (!ValidKind(p->data[1])) {
      Fail(ERR_UNKNOWN_COMMAND);
      return;
    }
    streamKind = p->data[1];
    streamEnd = TransferBytes(p, &streamPageBytes);
    streamPos = 0;
    stream = STREAM_READ;
    Answer(ANS_OK, 0, 0);
    Prefetch();
    return;
  }
  if (p->len != 0) {
    Fail(ERR_UNKNOWN_COMMAND);
    return;
  }
  if (stream == STREAM_READ && streamPos < streamEnd) {
    Answer(ANS_DATA, chunk, chunkLen);  // copied out: the next chunk can be read at once
    streamPos += chunkLen;
    Prefetch();
    return;
  }
  EndStream();
  Answer(ANS_READ_DONE, 0, 0);
}

static void WriteMemory(const Packet* p) {
  if (stream != STREAM_WRITE) {
    if (p->len != 5) {
      Fail(ERR_UNKNOWN_COMMAND);
      return;
    }
    if (!Open(p, 5)) return;
    streamKind = p->data[1];
    streamEnd = TransferBytes(p, &streamPageBytes);
    // LB1 or LB2 programmed: the target refuses every write.
    if (!ValidKind(streamKind) || streamEnd == 0 ||
        (session->readFuse(SEL_LOCK) & 0x03) != 0x03) {
      Fail(ERR_WRITE_MEMORY);
      return;
    }
    streamPos = 0;
    writeFailed = 0;
    stream = STREAM_WRITE;
    Answer(ANS_WRITE_READY, 0, 0);
    return;
  }
  const uint16_t n = p->len;
  const uint8_t whole = n % streamPageBytes == 0;
  const uint8_t piece = streamPageBytes > PACKET_MAX_PAYLOAD &&
                        streamPos % streamPageBytes + n <= streamPageBytes;
  if (writeFailed || n == 0 || !(whole || piece) || streamPos + n > streamEnd) {
    Fail(ERR_WRITE_MEMORY);
    return;
  }
  const uint8_t last = streamPos + n == streamEnd;
  // Double buffering: the host sends the next packet while this one is programmed.
  if (!last) Answer(ANS_WRITE_NEXT, 0, 0);
  if (!WritePages(p->data, n)) {
    if (last) {
      Fail(ERR_WRITE_MEMORY);
    } else {
      writeFailed = 1;
      Leave();
    }
    return;
  }
  if (!last) return;
  session->writeEnd();
  EndStream();
  Answer(ANS_WRITE_DONE, 0, 0);
}

static void BlankCheck(const Packet* p) {
  if (p->len != 5) {
    Fail(ERR_UNKNOWN_COMMAND);
    return;
  }
  if (!Open(p, 5)) return;
  const uint8_t kind = p->data[1];
  if (!ValidKind(kind)) {
    Fail(ERR_UNKNOWN_COMMAND);
    return;
  }
  uint16_t pageBytes;
  const uint32_t total = TransferBytes(p, &pageBytes);
  uint8_t blank = 1;
  for (uint32_t pos = 0; pos < total && blank; pos += PACKET_MAX_PAYLOAD) {
    const uint16_t n = total - pos > PACKET_MAX_PAYLOAD ? PACKET_MAX_PAYLOAD : total - pos;
    session->read(kind, pos, chunk, n);
    blank = AllErased(chunk, n);
  }
  Leave();
  AnswerByte(ANS_BLANK, blank ? 0 : 1);
}

#if HAVE_UPDI
static uint32_t Be32(const uint8_t* d) {
  return (uint32_t)d[0] << 24 | (uint32_t)d[1] << 16 | (uint32_t)d[2] << 8 | d[3];
}

// Rate in baud (4 bytes big-endian), then optionally the 12 V pulse's width in us (2 bytes).
static void UpdiOpenCommand(const Packet* p) {
  if (p->len != 4 && p->len != 6) {
    Fail(ERR_UNKNOWN_COMMAND);
    return;
  }
  EndStream();
  const uint16_t pulse = p->len == 6 ? (uint16_t)((uint16_t)p->data[4] << 8 | p->data[5]) : 0;
  const uint8_t error = UpdiOpen(Be32(p->data), pulse);
  if (error) {
    Fail(error);
    return;
  }
  Answer(ANS_OK, 0, 0);
}

// Flags (bit 0: drop what was received before), the count of answer bytes wanted (0-255),
// the time they may take in ms, then the bytes to send (their echo is checked here). The
// answer: 0 and the bytes received, or UPDI_NO_ECHO / UPDI_BAD_ECHO and the echo that came.
static void UpdiExchangeCommand(const Packet* p) {
  if (p->len < 3 || p->len - 3 > 252 || !UpdiIsOpen()) {
    Fail(ERR_UNKNOWN_COMMAND);
    return;
  }
  if (p->data[0] & 1) UpdiDiscard();
  const uint8_t n = (uint8_t)(p->len - 3);
  uint8_t echoed = 0;
  const uint8_t status = n ? UpdiSend(p->data + 3, n, chunk + 1, &echoed) : UPDI_OK;
  chunk[0] = status;
  if (status != UPDI_OK) {
    UpdiDiscard();
    Answer(ANS_UPDI, chunk, 1u + echoed);
    return;
  }
  const uint8_t got = UpdiReceive(chunk + 1, p->data[1], p->data[2]);
  Answer(ANS_UPDI, chunk, 1u + got);
}
#endif

static void Handle(const Packet* p) {
  const uint8_t code = p->code;
  if (p->oversize) {
    Fail(ERR_UNKNOWN_COMMAND);
    return;
  }
  // Any other command ends an open read or write stream.
  if (stream == STREAM_READ && code != CMD_READ_MEMORY && code != CMD_STOP_READ) EndStream();
  if (stream == STREAM_WRITE && code != CMD_WRITE_MEMORY) EndStream();

  switch (code) {
    case CMD_READ_SIGNATURE:
      if (!Open(p, 1)) return;
      Leave();
      Answer(ANS_SIGNATURE, targetSignature, 3);
      return;
    case CMD_READ_CALIBRATION: {
      if (!Open(p, 2)) return;
      const uint8_t value = session->readCalibration(p->data[1]);
      Leave();
      AnswerByte(ANS_VALUE8_ALT, value);
      return;
    }
    case CMD_READ_FUSES:
      ReadFuses(p);
      return;
    case CMD_WRITE_FUSES:
      WriteFuses(p);
      return;
    case CMD_READ_MEMORY:
      ReadMemory(p);
      return;
    case CMD_STOP_READ:
      EndStream();
      Answer(ANS_READ_DONE, 0, 0);
      return;
    case CMD_WRITE_MEMORY:
      WriteMemory(p);
      return;
    case CMD_CHIP_ERASE: {
      if (!Open(p, 1)) return;
      const uint8_t done = session->erase();
      if (!done) {
        Fail(ERR_CHIP_ERASE);
        return;
      }
      Leave();
      Answer(ANS_OK, 0, 0);
      return;
    }
    case CMD_BLANK_CHECK:
      BlankCheck(p);
      return;
    case CMD_FIRMWARE_VERSION: {
      static const uint8_t kVersion[2] = {FW_VERSION_MAJOR, FW_VERSION_MINOR};
      Answer(ANS_VALUE16, kVersion, 2);
      return;
    }
    case CMD_HARDWARE_VERSION: {
      static const uint8_t kVersion[2] = {HW_VERSION_MAJOR, HW_VERSION_MINOR};
      Answer(ANS_VALUE16_ALT, kVersion, 2);
      return;
    }
    case CMD_DETECT_ISP_CLOCK:
      EndStream();
      AnswerByte(ANS_VALUE8, IspDetectClock());
      return;
    case CMD_SET_ISP_CLOCK:
      EndStream();
      IspSetClock(p->len ? p->data[0] : 0);
      AnswerByte(ANS_VALUE8, IspClock());
      return;
    case CMD_SET_LINE_RATE: {
      // Rate in baud, 4 bytes big-endian. Answered at the old rate, then the line switches.
      const uint32_t baud = p->len == 4 ? ((uint32_t)p->data[0] << 24 | (uint32_t)p->data[1] << 16 |
                                           (uint32_t)p->data[2] << 8 | p->data[3])
                                        : 0;
      if (baud != 115200UL && baud != 500000UL && baud != 1000000UL) {
        Fail(ERR_UNKNOWN_COMMAND);
        return;
      }
      Answer(ANS_OK, 0, 0);
      UartSetRate(baud);
      return;
    }
    case CMD_SET_TARGET_CLOCK:
      if (p->len != 1 || p->data[0] > 1) {
        Fail(ERR_UNKNOWN_COMMAND);
        return;
      }
      TargetClock(p->data[0]);
      Answer(ANS_OK, 0, 0);
      return;
#if HAVE_UPDI
    case CMD_UPDI_OPEN:
      UpdiOpenCommand(p);
      return;
    case CMD_UPDI_EXCHANGE:
      UpdiExchangeCommand(p);
      return;
    case CMD_UPDI_BREAK:
      if (!UpdiIsOpen()) {
        Fail(ERR_UNKNOWN_COMMAND);
        return;
      }
      UpdiBreak();
      Answer(ANS_OK, 0, 0);
      return;
    case CMD_UPDI_CLOSE:
      UpdiClose();
      Answer(ANS_OK, 0, 0);
      return;
#endif
    case CMD_RECOVER:
      EndStream();
      LinesIdle();
      Answer(ANS_OK, 0, 0);
      return;
    default:
      Fail(ERR_UNKNOWN_COMMAND);
      return;
  }
}

int main(void) {
#if defined(BOARD_MEGA)
  {
    // JTAG off, so that PF4-PF7 (HVSP supply and 12 V switches) are port pins whatever
    // the JTAGEN fuse says: JTD written twice within four cycles.
    const uint8_t m = MCUCR | BIT(JTD);
    MCUCR = m;
    MCUCR = m;
  }
#endif
  LinesIdle();  // supplies and 12 V off, every target line high-impedance
  TCCR1A = 0;
  TCCR1B = BIT(CS11) | BIT(CS10);  // 4 µs ticks for the time-outs
  UartInit();
  sei();
  // A second without a byte from the host while idle: back to 115200 baud, so a host that
  // missed the rate's answer, or started afresh, finds the line where it looks first.
  uint32_t idleTicks = 0;
  uint16_t lastTick = Ticks();
  for (;;) {
    // Busy-polls: sleeping while waiting for the host would stall the simulated bench.
    Packet* p = PacketPeek();
    if (!p) {
      const uint16_t now = Ticks();
      idleTicks += (uint16_t)(now - lastTick);
      lastTick = now;
      if (uartHeard) {
        uartHeard = 0;
        idleTicks = 0;
      } else if (idleTicks >= 250000UL && UartFast()) {
        UartSetRate(115200UL);
        idleTicks = 0;
      }
      continue;
    }
    Handle(p);
    PacketDone();
    uartHeard = 0;
    idleTicks = 0;
    lastTick = Ticks();
  }
}

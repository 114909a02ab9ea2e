// ISP (serial downloading): RESET held low, four-byte instructions over SCK/MOSI/MISO.
// Clock index 1..5 use the hardware SPI, 6 and 7 move the same pins by software.

#include <avr/interrupt.h>
#include <util/delay.h>

#include "board.h"
#include "target.h"

static uint8_t ispClock;   // index chosen by the host or found by detection; 0 = none
static uint8_t useIndex;   // index of the running session
static uint8_t noPoll;     // the target has no RDY/BSY poll: fixed waits
static uint8_t bigFlash;   // more than 64K words: Load Extended Address needed
static uint8_t extLoaded;  // extended address byte last sent (0xFF: none yet)
static uint8_t echo3;      // what came back during the third byte of the last instruction

uint8_t IspClock(void) { return ispClock; }
void IspSetClock(uint8_t index) { ispClock = index >= 1 && index <= 7 ? index : 0; }

// SPI divider per index 1..5 at 16 MHz: /8 (2 MHz), /16, /32, /64, /128 (125 kHz).
static const uint8_t kSpiRate[5] = {BIT(SPR0), BIT(SPR0), BIT(SPR1), BIT(SPR1),
                                    BIT(SPR1) | BIT(SPR0)};
static const uint8_t kSpiDouble[5] = {1, 0, 1, 0, 0};

static void HalfBit(void) {
  // Each SCK phase at least 4.5 µs (index 6, <= 111 kHz) or 9 µs (index 7, <= 55.6 kHz).
  if (useIndex == 6) {
    _delay_us(4.5);
  } else {
    _delay_us(9);
  }
}

// Software clock (index 6 and 7), mode 0, MSB first: MOSI set while SCK is low, MISO read
// at the rising edge (the target changes it after the falling edge).
static uint8_t IspSoftByte(uint8_t b) {
  for (uint8_t i = 0; i < 8; ++i) {
    if (b & 0x80) {
      ISP_PORT |= BIT(ISP_MOSI);
    } else {
      ISP_PORT &= (uint8_t)~BIT(ISP_MOSI);
    }
    b <<= 1;
    HalfBit();
    ISP_PORT |= BIT(ISP_SCK);
    if (ISP_PIN & BIT(ISP_MISO)) b |= 1;
    HalfBit();
    ISP_PORT &= (uint8_t)~BIT(ISP_SCK);
  }
  return b;
}

static inline __attribute__((always_inline)) void SpiWait(void) {
  while (!(SPSR & BIT(SPIF))) {
  }
}

// One instruction on the hardware SPI: each byte goes out the moment the one before has been
// shifted (reading SPSR with SPIF set and then writing SPDR clears SPIF), so SCK runs with
// gaps of a few cycles only; the answer during the third byte is taken from the receive
// buffer while the fourth shifts, as the SPI's double-buffered receiver allows. Inlined in
// the loops that move the memories.
static inline __attribute__((always_inline)) uint8_t SpiCmd(uint8_t a, uint8_t b, uint8_t c,
                                                            uint8_t d) {
  SPDR = a;
  SpiWait();
  SPDR = b;
  SpiWait();
  SPDR = c;
  SpiWait();
  // No interrupt between the two: a serial interrupt there could outlast the fourth byte,
  // whose answer would then take the third one's place in the receive buffer.
  const uint8_t sreg = SREG;
  cli();
  SPDR = d;
  echo3 = SPDR;
  SREG = sreg;
  SpiWait();
  return SPDR;
}

static uint8_t IspCmd(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  if (useIndex <= 5) return SpiCmd(a, b, c, d);
  IspSoftByte(a);
  IspSoftByte(b);
  echo3 = IspSoftByte(c);
  return IspSoftByte(d);
}

static void IspLeave(void) {
  SPCR = 0;
  ISP_DDR &= (uint8_t)~(BIT(ISP_SCK) | BIT(ISP_MOSI));
  ISP_PORT &= (uint8_t)~(BIT(ISP_SCK) | BIT(ISP_MOSI) | BIT(ISP_MISO));
  // RESET released last: the target's own pull-up takes it high and it runs again.
  ISP_DDR &= (uint8_t)~BIT(ISP_RST);
  ISP_PORT &= (uint8_t)~BIT(ISP_RST);
}

// SCK low, a positive pulse on RESET, RESET low for 25 ms (>= 20 ms), Programming Enable;
// in step when 0x53 echoes during the third byte and the signature is an Atmel one.
static uint8_t IspTry(uint8_t index) {
  useIndex = index;
  ISP_PORT &= (uint8_t)~(BIT(ISP_SCK) | BIT(ISP_MOSI) | BIT(ISP_MISO));
  ISP_DDR |= BIT(ISP_SCK) | BIT(ISP_MOSI);
  ISP_DDR &= (uint8_t)~BIT(ISP_MISO);
  ISP_PORT |= BIT(ISP_RST);
  ISP_DDR |= BIT(ISP_RST);  // also the SPI's SS: an output keeps the SPI master
  if (index <= 5) {
    SPCR = BIT(SPE) | BIT(MSTR) | kSpiRate[index - 1];
    SPSR = kSpiDouble[index - 1] ? BIT(SPI2X) : 0;
  } else {
    SPCR = 0;
  }
  _delay_us(100);  // the pulse: far more than tRST plus two clocks of a slow target
  ISP_PORT &= (uint8_t)~BIT(ISP_RST);
  DelayMs(25);
  IspCmd(0xAC, 0x53, 0x00, 0x00);  // all four bytes, whatever the echo
  if (echo3 != 0x53) return 0;
  for (uint8_t i = 0; i < 3; ++i) targetSignature[i] = IspCmd(0x30, 0x00, i, 0x00);
  return SignatureValid();
}

// Parts whose device files program without RDY/BSY polling (ATmega8, ATmega16, ATmega32,
// ATmega64, ATmega128, ATtiny26): they get the fixed tWD waits instead of 0xF0.
static const uint8_t kNoPoll[][2] = {{0x93, 0x07}, {0x94, 0x03}, {0x95, 0x02},
                                     {0x96, 0x02}, {0x97, 0x02}, {0x91, 0x09}};

static uint8_t IspEnter(void) {
  if (!ispClock) return ERR_ISP_SPEED;
  for (uint8_t attempt = 0; attempt < 2; ++attempt) {
    if (!IspTry(ispClock)) continue;
    noPoll = 0;
    for (uint8_t i = 0; i < sizeof kNoPoll / sizeof kNoPoll[0]; ++i) {
      if (targetSignature[1] == kNoPoll[i][0] && targetSignature[2] == kNoPoll[i][1]) noPoll = 1;
    }
    // The second signature byte's low nibble is the flash size as a power of two in KB:
    // 256 KB and more (ATmega2560/2561) is beyond 64K words.
    bigFlash = (targetSignature[1] & 0x0F) >= 8;
    extLoaded = 0xFF;
    return 0;
  }
  IspLeave();
  return ERR_ENTER_PROG_MODE;
}

uint8_t IspDetectClock(void) {
  ispClock = 0;
  for (uint8_t index = 1; index <= 7; ++index) {
    if (IspTry(index)) {
      ispClock = index;
      break;
    }
  }
  IspLeave();
  return ispClock;
}

// Waits for the end of a write: Poll RDY/BSY until bit 0 is 0 (at most `timeoutMs`), or on
// parts without the poll the datasheet's tWD rounded up (`fixedMs`). 1 when finished.
static uint8_t IspWait(uint8_t fixedMs, uint8_t timeoutMs) {
  if (noPoll) {
    DelayMs(fixedMs);
    return 1;
  }
  const uint16_t start = Ticks();
  while (IspCmd(0xF0, 0x00, 0x00, 0x00) & 1) {
    if ((uint16_t)(Ticks() - start) > (uint16_t)timeoutMs * TICKS_PER_MS) return 0;
  }
  return 1;
}

// tWD (ATmega8/16/64/128 tables): flash 4.5 ms, EEPROM 9.0 ms, erase 9.0 ms, fuse 4.5 ms.
#define WAIT_FLASH 5, 50
#define WAIT_EEPROM 10, 50
#define WAIT_ERASE 10, 200
#define WAIT_FUSE 5, 50

static uint8_t IspReadCalibration(uint8_t address) { return IspCmd(0x38, 0x00, address, 0x00); }

static uint8_t IspReadFuse(uint8_t selector) {
  switch (selector) {
    case SEL_LOW:
      return IspCmd(0x50, 0x00, 0x00, 0x00);
    case SEL_HIGH:
      return IspCmd(0x58, 0x08, 0x00, 0x00);
    case SEL_EXTENDED:
      return IspCmd(0x50, 0x08, 0x00, 0x00);
    default:
      return IspCmd(0x58, 0x00, 0x00, 0x00);
  }
}

static uint8_t IspWriteFuse(uint8_t selector, uint8_t value) {
  static const uint8_t kWrite[4] = {0xA0, 0xA8, 0xA4, 0xE0};
  IspCmd(0xAC, kWrite[selector - 1], 0x00, value);
  return IspWait(WAIT_FUSE);
}

static uint8_t IspErase(void) {
  IspCmd(0xAC, 0x80, 0x00, 0x00);
  return IspWait(WAIT_ERASE);
}

static void SetExtended(uint32_t word) {
  if (!bigFlash) return;
  const uint8_t ext = (uint8_t)(word >> 16);
  if (ext == extLoaded) return;
  IspCmd(0x4D, 0x00, ext, 0x00);
  extLoaded = ext;
}

static void IspRead(uint8_t kind, uint32_t address, uint8_t* out, uint16_t n) {
  if (kind == KIND_FLASH) {
    uint32_t word = address >> 1;
    SetExtended(word);
    for (uint16_t i = 0; i < n; i += 2, ++word) {
      if ((uint16_t)word == 0) SetExtended(word);  // into the next 64K words
      const uint8_t high = (uint8_t)(word >> 8);
      const uint8_t low = (uint8_t)word;
      if (useIndex <= 5) {
        out[i] = SpiCmd(0x20, high, low, 0x00);
        out[i + 1] = SpiCmd(0x28, high, low, 0x00);
      } else {
        out[i] = IspCmd(0x20, high, low, 0x00);
        out[i + 1] = IspCmd(0x28, high, low, 0x00);
      }
    }
    return;
  }
  uint16_t a = (uint16_t)address;
  for (uint16_t i = 0; i < n; ++i, ++a) out[i] = IspCmd(0xA0, (uint8_t)(a >> 8), (uint8_t)a, 0x00);
}

static uint8_t IspWrite(uint8_t kind, uint32_t address, const uint8_t* data, uint16_t n,
                        uint16_t pageBytes, uint8_t program) {
  if (kind == KIND_FLASH) {
    // Low byte before high byte of each word; the page offset comes from the address LSBs.
    uint32_t word = address >> 1;
    for (uint16_t i = 0; i < n; i += 2, ++word) {
      const uint8_t high = (uint8_t)(word >> 8);
      const uint8_t low = (uint8_t)word;
      if (useIndex <= 5) {
        SpiCmd(0x40, high, low, data[i]);
        SpiCmd(0x48, high, low, data[i + 1]);
      } else {
        IspCmd(0x40, high, low, data[i]);
        IspCmd(0x48, high, low, data[i + 1]);
      }
    }
    if (!program) return 1;
    const uint32_t page = (address + n - pageBytes) >> 1;
    SetExtended(page);
    IspCmd(0x4C, (uint8_t)(page >> 8), (uint8_t)page, 0x00);
    return IspWait(WAIT_FLASH);
  }
  uint16_t a = (uint16_t)address;
  if (noPoll || pageBytes < 2) {
    // Byte mode: each byte erased and written on its own.
    for (uint16_t i = 0; i < n; ++i, ++a) {
      IspCmd(0xC0, (uint8_t)(a >> 8), (uint8_t)a, data[i]);
      if (!IspWait(WAIT_EEPROM)) return 0;
    }
    return 1;
  }
  // Page mode: load the page buffer (offset within the page), then write the page. Only
  // the loaded bytes change; the target erases each before writing it.
  for (uint16_t i = 0; i < n; ++i, ++a) {
    IspCmd(0xC1, 0x00, (uint8_t)(a % pageBytes), data[i]);
  }
  if (!program) return 1;
  const uint16_t page = a - pageBytes;
  IspCmd(0xC2, (uint8_t)(page >> 8), (uint8_t)page, 0x00);
  return IspWait(WAIT_EEPROM);
}

static void IspWriteEnd(void) {}

const TargetOps kIspOps = {IspEnter,     IspLeave, IspReadCalibration, IspReadFuse,
                           IspWriteFuse, IspErase, IspRead,            IspWrite,
                           IspWriteEnd};

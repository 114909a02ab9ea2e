// High-voltage programming: HVSP (8-pin ATtiny socket, both boards) and HVPP (the 20-, 28- and
// 40-pin sockets on one bus, Mega). Both speak the same parallel state machine: an HVSP frame
// carries a data byte on SDI and the parallel control lines on SII (bit 6 XA1, 5 XA0, 4 BS1, 3 WR,
// 2 OE, 1 BS2, 0 PAGEL), HVPP sets those lines on pins and strobes XTAL1. The steps below are
// written once in terms of SII bytes and run over either interface.

#include <avr/interrupt.h>
#include <util/delay.h>

#include "board.h"
#include "target.h"

// SII bytes (see above): XA1:XA0 = 10 load command, 00 load address, 01 load data, 11 idle.
#define SII_COMMAND 0x4C
#define SII_ADDR_LOW 0x0C
#define SII_ADDR_HIGH 0x1C
#define SII_DATA_LOW 0x2C
#define SII_DATA_HIGH 0x3C
#define SII_IDLE 0x6C
#define SII_BS1 0x10
#define SII_BS2 0x02
#define SII_WR 0x08
#define SII_OE 0x04
#define SII_PAGEL 0x01

// Time-outs of the busy waits (datasheet: 3.7-4.5 ms writes, 7.5-12 ms chip erase).
#define TIMEOUT_WRITE_MS 20
#define TIMEOUT_FUSE_MS 25
#define TIMEOUT_ERASE_MS 50

static uint8_t parallel;       // session over HVPP (else HVSP)
static uint8_t commandLoaded;  // last command loaded (0xFF: none)
static uint16_t highLoaded;    // last address high byte loaded (0xFFFF: none)
static uint8_t pageLoaded;     // an EEPROM byte of the current page was loaded

// Sockets: 0-3 the HVPP sockets (28-pin, 40-pin, 20-pin ATtiny2313/4313, 20-pin ATtiny26/x61),
// 4 the HVSP socket.
#define SOCKET_HVSP 4
static uint8_t socket;            // the socket of the open session
static uint8_t poweredOff[5];     // the socket was switched off ...
static uint16_t poweredOffAt[5];  // ... at this tick

// ---- HVSP ---------------------------------------------------------------------------------

// One 11-bit frame: bit-time 0 = 0, 1..8 = the bytes MSB first, 9 and 10 = 0; inputs are
// taken at SCI rising edges. SDO carries the output byte MSB first in bit-times 0..7, each bit
// valid before the next rising edge. SCI high >= 6 cycles (375 ns), low far longer.
static uint8_t Frame(uint8_t sdi, uint8_t sii) {
  uint8_t out = 0;
  for (uint8_t i = 0; i < 11; ++i) {
    uint8_t d = 0;
    uint8_t s = 0;
    if (i >= 1 && i <= 8) {
      d = sdi & 0x80;
      s = sii & 0x80;
      sdi <<= 1;
      sii <<= 1;
    }
    if (d) {
      HVSP_PORT |= BIT(HVSP_SDI);
    } else {
      HVSP_PORT &= (uint8_t)~BIT(HVSP_SDI);
    }
    if (s) {
      HVSP_PORT |= BIT(HVSP_SII);
    } else {
      HVSP_PORT &= (uint8_t)~BIT(HVSP_SII);
    }
    if (i < 8) {
      out <<= 1;
      if (HVSP_PIN & BIT(HVSP_SDO)) out |= 1;
    }
    NOP();
    NOP();
    HVSP_PORT |= BIT(HVSP_SCI);
    NOP();
    NOP();
    NOP();
    NOP();
    HVSP_PORT &= (uint8_t)~BIT(HVSP_SCI);
    NOP();
    NOP();
  }
  return out;
}

static void HvspOff(void) {
  HVSP_PORT &= (uint8_t)~BIT(HVSP_SCI);
  HVSP_PWR_PORT &= (uint8_t)~BIT(HVSP_12V);  // 12 V first: RESET to 0 V, VCC still on
  _delay_us(50);
  HVSP_DDR &= (uint8_t)~(BIT(HVSP_SDI) | BIT(HVSP_SII) | BIT(HVSP_SDO) | BIT(HVSP_SCI));
  HVSP_PORT &= (uint8_t)~(BIT(HVSP_SDI) | BIT(HVSP_SII) | BIT(HVSP_SDO) | BIT(HVSP_SCI));
  HVSP_PWR_PORT &= (uint8_t)~BIT(HVSP_VCC);
}

// ---- HVPP ---------------------------------------------------------------------------------

#if HAVE_HVPP
// Each HVPP socket's supply and 12 V switches (bit masks on one port), and whether its chips
// share BS1 with PAGEL and XA1 with BS2 (the 20-pin parts, high-voltage mode 2).
typedef struct {
  volatile uint8_t* port;
  uint8_t vcc;
  uint8_t vpp;
  uint8_t shared;
} PpSocket;

static const PpSocket kPpSockets[4] = {
    {&PP_AUX_PORT, BIT(PP_VCC), BIT(PP_12V), 0},
    {&PP_AUX_PORT, BIT(PP40_VCC), BIT(PP40_12V), 0},
    {&PP_AUX_PORT, BIT(PP20_VCC), BIT(PP20_12V), 1},
    {&PP_X61_PORT, BIT(PP20X_VCC), BIT(PP20X_12V), 1},
};
static uint8_t ppShared;  // the open socket's chip shares pins (see above)

#define PP_NOPS4() \
  do {             \
    NOP();         \
    NOP();         \
    NOP();         \
    NOP();         \
  } while (0)

// XA1, XA0, BS1, BS2 as an SII byte says. On a shared-pin chip XA1/BS2 is one line: BS2
// while idle (XA1:XA0 = 11 asked for: XA0 high, so no load happens), XA1 in a load.
static void PpLines(uint8_t sii) {
  uint8_t v = PP_CTL_PORT & (uint8_t)~(BIT(PP_XA1) | BIT(PP_XA0) | BIT(PP_BS1) | BIT(PP_BS2));
  uint8_t xa1 = sii & 0x40;
  if (ppShared && (sii & 0x60) == 0x60) xa1 = sii & SII_BS2;
  if (xa1) v |= BIT(PP_XA1);
  if (sii & 0x20) v |= BIT(PP_XA0);
  if (sii & SII_BS1) v |= BIT(PP_BS1);
  if ((sii & SII_BS2) && !ppShared) v |= BIT(PP_BS2);
  PP_CTL_PORT = v;
}

// Data and control valid >= 250 ns before XTAL1 high, XTAL1 high >= 375 ns, hold and the
// next low-to-high >= 375 ns (minimums: 67, 150, 67 and 300 ns).
static void PpLoad(uint8_t sii, uint8_t data) {
  PpLines(sii);
  PP_DATA_PORT = data;
  PP_DATA_DDR = 0xFF;  // OE is high whenever the board drives DATA
  PP_NOPS4();
  PP_CTL_PORT |= BIT(PP_XTAL1);
  PP_NOPS4();
  PP_CTL_PORT &= (uint8_t)~BIT(PP_XTAL1);
  PP_NOPS4();
  PP_NOPS4();
}

static void PpReleaseData(void) {
  PP_DATA_DDR = 0;
  PP_DATA_PORT = 0;
}

static uint8_t PpRead(uint8_t bs) {
  PpLines(0x60 | bs);
  PpReleaseData();
  PP_CTL_PORT &= (uint8_t)~BIT(PP_OE);
  _delay_us(1);  // DATA valid <= 500 ns after OE low / BS change
  const uint8_t v = PP_DATA_PIN;
  PP_CTL_PORT |= BIT(PP_OE);
  _delay_us(1);  // DATA tri-stated <= 500 ns after OE high
  return v;
}

// BS1 valid >= 250 ns before PAGEL high, PAGEL high >= 500 ns (minimums 67 and 200 ns). On a
// shared-pin chip the pulse is on BS1/PAGEL, from low (it ends low).
static void PpPagel(uint8_t bs) {
  const uint8_t pagel = ppShared ? BIT(PP_BS1) : BIT(PP_PAGEL);
  PpLines(ppShared ? 0x60 : 0x60 | bs);
  PP_NOPS4();
  PP_CTL_PORT |= pagel;
  PP_NOPS4();
  NOP();
  NOP();
  PP_CTL_PORT &= (uint8_t)~pagel;
  PP_NOPS4();
}

// WR low >= 500 ns with BS valid 250 ns before and held after (minimums 150 and 67 ns).
static void PpWrite(uint8_t bs) {
  PpLines(0x60 | bs);
  PP_NOPS4();
  PP_CTL_PORT &= (uint8_t)~BIT(PP_WR);
  PP_NOPS4();
  NOP();
  NOP();
  PP_CTL_PORT |= BIT(PP_WR);
  PP_NOPS4();
}

static void PpOff(void) {
  const PpSocket* s = &kPpSockets[socket];
  *s->port &= (uint8_t)~s->vpp;  // 12 V first: RESET to 0 V, VCC still on
  _delay_us(50);
  PpReleaseData();
  PP_CTL_DDR = 0;
  PP_CTL_PORT = 0;
  *s->port &= (uint8_t)~s->vcc;
}
#endif

// ---- Both ---------------------------------------------------------------------------------

static void Load(uint8_t sii, uint8_t data) {
#if HAVE_HVPP
  if (parallel) {
    PpLoad(sii, data);
    return;
  }
#endif
  Frame(data, sii);
}

// OE low with BS2/BS1 from `bs`, then the byte the target puts out.
static uint8_t ReadByte(uint8_t bs) {
#if HAVE_HVPP
  if (parallel) return PpRead(bs);
#endif
  Frame(0x00, (SII_IDLE & (uint8_t)~SII_OE) | bs);
  return Frame(0x00, SII_IDLE | bs);
}

static void Latch(uint8_t bs) {
#if HAVE_HVPP
  if (parallel) {
    PpPagel(bs);
    return;
  }
#endif
  Frame(0x00, SII_IDLE | bs | SII_PAGEL);
  Frame(0x00, SII_IDLE | bs);
}

// A negative WR pulse with BS2/BS1 from `bs`, then wait until the target is ready
// (RDY/BSY or SDO high). 1 when it was ready within `timeoutMs`.
static uint8_t Strobe(uint8_t bs, uint8_t timeoutMs) {
  uint16_t start;
#if HAVE_HVPP
  if (parallel) {
    PpWrite(bs);
    _delay_us(2);  // RDY/BSY goes low within 1 µs of WR low
    start = Ticks();
    while (!(PP_AUX_PIN & BIT(PP_RDY))) {
      if ((uint16_t)(Ticks() - start) > (uint16_t)timeoutMs * TICKS_PER_MS) return 0;
    }
    PpLines(SII_IDLE);
    return 1;
  }
#endif
  Frame(0x00, (SII_IDLE & (uint8_t)~SII_WR) | bs);
  Frame(0x00, SII_IDLE | bs);
  _delay_us(2);
  start = Ticks();
  while (!(HVSP_PIN & BIT(HVSP_SDO))) {
    if ((uint16_t)(Ticks() - start) > (uint16_t)timeoutMs * TICKS_PER_MS) return 0;
  }
  return 1;
}

static void LoadCommand(uint8_t command, uint8_t force) {
  if (!force && command == commandLoaded) return;
  Load(SII_COMMAND, command);
  commandLoaded = command;
  highLoaded = 0xFFFF;
}

static void LoadHigh(uint8_t high) {
  Load(SII_ADDR_HIGH, high);
  highLoaded = high;
}

// The address for a read: the high byte only when it changed (HVPP loads it first, HVSP
// after the low byte, as their step lists do).
static void LoadAddress(uint16_t address) {
  const uint8_t high = (uint8_t)(address >> 8);
  if (parallel && high != highLoaded) LoadHigh(high);
  Load(SII_ADDR_LOW, (uint8_t)address);
  if (!parallel && high != highLoaded) LoadHigh(high);
}

static uint8_t ReadSignature(void) {
  LoadCommand(0x08, 1);
  for (uint8_t i = 0; i < 3; ++i) {
    Load(SII_ADDR_LOW, i);
    targetSignature[i] = ReadByte(0);
  }
  return SignatureValid();
}

static void SettleAfterOff(void) {
  // The socket's supply falls to 0 V before it is switched on again.
  if (poweredOff[socket] && (uint16_t)(Ticks() - poweredOffAt[socket]) < 10 * TICKS_PER_MS)
    DelayMs(10);
  poweredOff[socket] = 0;
}

static void PoweredOff(void) {
  poweredOff[socket] = 1;
  poweredOffAt[socket] = Ticks();
}

static void Forget(void) {
  commandLoaded = 0xFF;
  highLoaded = 0xFFFF;
  pageLoaded = 0;
}

static void HvspLeave(void) {
  HvspOff();
  PoweredOff();
}

// Prog_enable (SDI, SII, SDO) = 000, RESET 0 V, supply on, 12 V 40 µs later (20-60 µs),
// Prog_enable kept 20 µs (>= 10 µs), SDO released, 480 µs (>= 300 µs) before the first frame.
static uint8_t HvspEnter(void) {
  socket = SOCKET_HVSP;
  SettleAfterOff();
  parallel = 0;
  Forget();
  HVSP_PORT &= (uint8_t)~(BIT(HVSP_SDI) | BIT(HVSP_SII) | BIT(HVSP_SDO) | BIT(HVSP_SCI));
  HVSP_DDR |= BIT(HVSP_SDI) | BIT(HVSP_SII) | BIT(HVSP_SDO) | BIT(HVSP_SCI);
  cli();
  HVSP_PWR_PORT |= BIT(HVSP_VCC);
  _delay_us(40);
  HVSP_PWR_PORT |= BIT(HVSP_12V);
  sei();
  _delay_us(20);
  HVSP_DDR &= (uint8_t)~BIT(HVSP_SDO);
  _delay_us(480);
  if (ReadSignature()) return 0;
  HvspLeave();
  return ERR_ENTER_PROG_MODE;
}

#if HAVE_HVPP
static void HvppLeave(void) {
  PpOff();
  PoweredOff();
}

enum { ENTRY_VCC_TIMED, ENTRY_XTAL1, ENTRY_TOGETHER };

// Prog_enable at 0 and RESET at 0 V while the socket's supply comes on: PAGEL, XA1, XA0, BS1
// on the 28- and 40-pin chips, XA1, XA0, BS1 and WR on the 20-pin ones. OE (and WR where it
// is not a Prog_enable pin) go high (inactive) at once, while the target is still in reset;
// WR of a 20-pin chip goes high after the hold.
static void PpPowerUp(uint8_t entry) {
  const PpSocket* s = &kPpSockets[socket];
  const uint8_t inactive = ppShared ? BIT(PP_OE) : BIT(PP_OE) | BIT(PP_WR);
  PpReleaseData();
  PP_CTL_PORT = 0;
  PP_CTL_DDR = 0xFF;
  if (entry == ENTRY_VCC_TIMED) {
    // ATmega48/88/168/328, ATtiny2313A/4313: 12 V 40 µs after the supply (20-60 µs).
    cli();
    *s->port |= s->vcc;
    _delay_us(2);
    PP_CTL_PORT |= inactive;
    _delay_us(38);
    *s->port |= s->vpp;
    sei();
  } else if (entry == ENTRY_XTAL1) {
    // ATmega8/16/32/164/324/644/1284, ATtiny2313/26/261/461/861: supply, >= 100 µs, six or
    // more XTAL1 pulses with RESET at 0 V, Prog_enable 0000 for >= 100 ns, then 12 V with no
    // change on Prog_enable around it.
    *s->port |= s->vcc;
    _delay_us(2);
    PP_CTL_PORT |= inactive;
    _delay_us(150);
    for (uint8_t i = 0; i < 8; ++i) {
      PP_CTL_PORT |= BIT(PP_XTAL1);
      _delay_us(1);
      PP_CTL_PORT &= (uint8_t)~BIT(PP_XTAL1);
      _delay_us(1);
    }
    _delay_us(10);
    *s->port |= s->vpp;
  } else {
    // A chip whose RESET pin is disabled (RSTDISBL: ATmega8, ATtiny2313; ATmega16A: clock
    // fuses that keep XTAL1 pulses from counting): supply and 12 V in one write, Prog_enable
    // 0000; OE and WR stay low until after the hold.
    *s->port |= s->vcc | s->vpp;
    _delay_us(20);
    PP_CTL_PORT |= inactive;
  }
  _delay_us(20);  // Prog_enable unchanged >= 10 µs after 12 V
  if (ppShared) PP_CTL_PORT |= BIT(PP_WR);
  _delay_us(480);  // >= 300 µs before the first command
}

static uint8_t TryEntry(uint8_t which, uint8_t entry) {
  socket = which;
  SettleAfterOff();
  parallel = 1;
  ppShared = kPpSockets[which].shared;
  Forget();
  PpPowerUp(entry);
  if (ReadSignature()) return 1;
  HvppLeave();
  return 0;
}

// The chip's socket and entry are not known before its signature: each socket of the mode
// with the supply-timed entry, then with the XTAL1-pulse entry (the one that worked last time
// first, in the socket that answered last time first), and only then the entry for a chip
// whose RESET pin is disabled.
static uint8_t lastSocket[2] = {0, 2};  // by mode: the socket that answered last
static uint8_t lastEntry[2];            // by mode: the normal entry that worked last

static uint8_t HvppEnterIn(uint8_t mode, uint8_t first) {
  for (uint8_t step = 0; step < 3; ++step) {
    const uint8_t entry = step == 2 ? ENTRY_TOGETHER : (uint8_t)(step ^ lastEntry[mode]);
    for (uint8_t i = 0; i < 2; ++i) {
      const uint8_t which = (uint8_t)(first + ((lastSocket[mode] - first + i) & 1));
      if (TryEntry(which, entry)) {
        lastSocket[mode] = which;
        if (entry != ENTRY_TOGETHER) lastEntry[mode] = entry;
        return 0;
      }
    }
  }
  return ERR_ENTER_PROG_MODE;
}

static uint8_t HvppEnter(void) {
  return HvppEnterIn(0, 0);
}
static uint8_t Hvpp20Enter(void) {
  return HvppEnterIn(1, 2);
}
#endif

static uint8_t HvReadCalibration(uint8_t address) {
  LoadCommand(0x08, 0);
  Load(SII_ADDR_LOW, address);
  return ReadByte(SII_BS1);
}

// BS2:BS1 for reading: 00 low fuse, 11 high fuse, 10 extended fuse, 01 lock bits.
static const uint8_t kFuseRead[4] = {0, SII_BS2 | SII_BS1, SII_BS2, SII_BS1};
// BS2:BS1 for writing: 00 low, 01 high, 10 extended.
static const uint8_t kFuseWrite[3] = {0, SII_BS1, SII_BS2};

static uint8_t HvReadFuse(uint8_t selector) {
  LoadCommand(0x04, 0);
  return ReadByte(kFuseRead[selector - 1]);
}

static uint8_t HvWriteFuse(uint8_t selector, uint8_t value) {
  if (selector == SEL_LOCK) {
    LoadCommand(0x20, 1);
    Load(SII_DATA_LOW, value);
    return Strobe(0, TIMEOUT_FUSE_MS);
  }
  LoadCommand(0x40, 1);
  Load(SII_DATA_LOW, value);
  return Strobe(kFuseWrite[selector - 1], TIMEOUT_FUSE_MS);
}

static uint8_t HvErase(void) {
  LoadCommand(0x80, 1);
  return Strobe(0, TIMEOUT_ERASE_MS);
}

static void HvRead(uint8_t kind, uint32_t address, uint8_t* out, uint16_t n) {
  if (kind == KIND_FLASH) {
    LoadCommand(0x02, 0);
    uint16_t word = (uint16_t)(address >> 1);
    for (uint16_t i = 0; i < n; i += 2, ++word) {
      LoadAddress(word);
      out[i] = ReadByte(0);
      out[i + 1] = ReadByte(SII_BS1);
    }
    return;
  }
  LoadCommand(0x03, 0);
  uint16_t a = (uint16_t)address;
  for (uint16_t i = 0; i < n; ++i, ++a) {
    LoadAddress(a);
    out[i] = ReadByte(0);
  }
}

static uint8_t HvWrite(uint8_t kind, uint32_t address, const uint8_t* data, uint16_t n,
                       uint16_t pageBytes, uint8_t program) {
  if (kind == KIND_FLASH) {
    LoadCommand(0x10, 0);
    uint16_t word = (uint16_t)(address >> 1);
    for (uint16_t i = 0; i < n; i += 2, ++word) {
      Load(SII_ADDR_LOW, (uint8_t)word);
      Load(SII_DATA_LOW, data[i]);
      // HVSP latches the low byte on its own before the high byte is loaded (the ATtiny
      // step list that gives it); HVPP latches both bytes with BS1 high.
      if (!parallel) Latch(0);
      Load(SII_DATA_HIGH, data[i + 1]);
      Latch(SII_BS1);
    }
    if (!program) return 1;
    // The page: high address byte here, the low byte's upper bits from the last word.
    const uint16_t page = (uint16_t)((address + n - pageBytes) >> 1);
    LoadHigh((uint8_t)(page >> 8));
    return Strobe(0, TIMEOUT_WRITE_MS);
  }
  // EEPROM: no erase before writing in high-voltage modes, so only the bytes that are not
  // 0xFF are loaded, and a page with none is not programmed at all.
  LoadCommand(0x11, 0);
  uint16_t a = (uint16_t)address;
  for (uint16_t i = 0; i < n; ++i, ++a) {
    if (data[i] == 0xFF) continue;
    if (!pageLoaded) {
#if HAVE_HVPP
      // BS1/PAGEL rising for the high byte latches the data byte loaded last: make it 0xFF,
      // which changes no EEPROM byte.
      if (parallel && ppShared) Load(SII_DATA_LOW, 0xFF);
#endif
      LoadHigh((uint8_t)(a >> 8));
    }
    Load(SII_ADDR_LOW, (uint8_t)a);
    Load(SII_DATA_LOW, data[i]);
    Latch(0);
    pageLoaded = 1;
  }
  if (!program || !pageLoaded) return 1;
  pageLoaded = 0;
  (void)pageBytes;
  return Strobe(0, TIMEOUT_WRITE_MS);
}

// Ends page programming: the No Operation command resets the target's write signals.
static void HvWriteEnd(void) { LoadCommand(0x00, 1); }

const TargetOps kHvspOps = {HvspEnter,   HvspLeave, HvReadCalibration, HvReadFuse, HvWriteFuse,
                            HvErase,     HvRead,    HvWrite,           HvWriteEnd};
#if HAVE_HVPP
const TargetOps kHvppOps = {HvppEnter,   HvppLeave, HvReadCalibration, HvReadFuse, HvWriteFuse,
                            HvErase,     HvRead,    HvWrite,           HvWriteEnd};
const TargetOps kHvpp20Ops = {Hvpp20Enter, HvppLeave, HvReadCalibration, HvReadFuse, HvWriteFuse,
                              HvErase,     HvRead,    HvWrite,           HvWriteEnd};
#endif

// The UPDI header: one wire for both directions, 8 data bits, even parity, 2 stop bits. On the
// Mega it is USART1 with TX1 and RX1 joined onto the UPDI pin, so every byte sent comes back as
// its echo, and received bytes go into a ring by interrupt while the line is open: a chip's
// answer that follows an exchange's echo waits there for the next exchange. On the Uno/Nano
// it is one pin moved by software (UPDI_SOFT): driven while a byte goes out, then read until
// the chip has been silent for longer than its guard time, every answer byte into the same
// ring. The host speaks the UPDI instructions itself; this file only moves bytes, checks
// echoes, sends BREAKs and applies the 12 V activation pulse.

#include "updi.h"

#include <avr/interrupt.h>
#include <util/delay.h>

#include "board.h"
#include "target.h"

#if HAVE_UPDI

// Room for the longest answer (a 256-byte block read) and more, arriving while the host's
// next request is still on its way.
#define RING_BYTES 512u
#define RING_MASK (RING_BYTES - 1u)
static volatile uint8_t ring[RING_BYTES];
static volatile uint16_t ringPut;
static volatile uint16_t ringTake;  // only the main loop moves it
static uint8_t lineOpen;
static uint16_t byteTicks;  // one 12-bit character at the line's rate, in 4 us ticks (at least 1)
#if !UPDI_SOFT
static uint16_t lineUbrr;
static uint8_t lineDouble;
#endif

#if !UPDI_SOFT
ISR(UPDI_RX_VECT) {
  const uint16_t put = ringPut;
  ring[put & RING_MASK] = UPDI_UDR;
  ringPut = put + 1;
}

#endif

static uint16_t Available(void) {
  cli();
  const uint16_t n = ringPut - ringTake;
  sei();
  return n;
}

static uint8_t Next(void) {
  const uint8_t b = ring[ringTake & RING_MASK];
  ++ringTake;
  return b;
}

#if !UPDI_SOFT
// Divider for the rate: U2X where the 12-bit divider reaches, else normal speed (the slow
// rates of a BREAK). 0 when the rate is out of reach.
static uint8_t Divider(uint32_t baud, uint16_t* ubrr, uint8_t* twice) {
  if (baud < 250 || baud > 2000000UL) return 0;
  uint32_t d = (F_CPU + 4 * baud) / (8 * baud);
  *twice = 1;
  if (d > 4096) {
    d = (F_CPU + 8 * baud) / (16 * baud);
    *twice = 0;
  }
  if (d < 1 || d > 4096) return 0;
  *ubrr = (uint16_t)(d - 1);
  return 1;
}

// A character was written and its TXC not yet seen.
static uint8_t txBusy;

// Each character is written once the one before has left completely (TXC), not on UDRE: the
// gap of a few cycles between them costs nothing on the UPDI line, and the simulated bench
// raises TXC alone. False when the character did not finish within two character times.
static uint8_t WaitSent(void) {
  if (!txBusy) return 1;
  txBusy = 0;
  const uint16_t start = Ticks();
  while (!(UPDI_UCSRA & BIT(TXC1))) {
    if ((uint16_t)(Ticks() - start) > 2u * byteTicks + 250u) return 0;
  }
  return 1;
}

static uint8_t Put(uint8_t b) {
  if (!WaitSent()) return 0;
  UPDI_UCSRA |= BIT(TXC1);  // written 1: cleared
  UPDI_UDR = b;
  txBusy = 1;
  return 1;
}

static void Program(uint16_t ubrr, uint8_t twice) {
  WaitSent();
  UPDI_UCSRB = 0;
  // Read, modify, write: UDRE stays as the USART has it.
  UPDI_UCSRA = (uint8_t)((UPDI_UCSRA & ~BIT(U2X1)) | BIT(TXC1) | (twice ? BIT(U2X1) : 0));
  UPDI_UBRR = ubrr;
  UPDI_UCSRC = BIT(UPM11) | BIT(USBS1) | BIT(UCSZ11) | BIT(UCSZ10);  // 8E2
  UPDI_UCSRB = BIT(RXEN1) | BIT(TXEN1) | BIT(RXCIE1);
  const uint32_t bitsPerSecond = F_CPU / ((twice ? 8ul : 16ul) * (ubrr + 1ul));
  const uint32_t ticks = 12ul * 250000ul / bitsPerSecond;
  byteTicks = ticks == 0 ? 1 : ticks > 30000ul ? 30000u : (uint16_t)ticks;
}

static void LineOff(void) {
  UPDI_UCSRB = 0;
  UPDI_LINE_DDR &= (uint8_t)~(BIT(UPDI_TX) | BIT(UPDI_RX));
  UPDI_LINE_PORT &= (uint8_t)~(BIT(UPDI_TX) | BIT(UPDI_RX));
}

#else

static uint16_t txLoops;    // _delay_loop_2 counts (4 cycles each) of one bit, less the loops'
static uint16_t rxLoops;    // own cycles, sending and receiving
static uint16_t idleTicks;  // after a send: silence this long ends the chip's answer

static uint8_t SoftRate(uint32_t baud) {
  if (baud < 250 || baud > UPDI_SOFT_MAX_BAUD) return 0;
  const uint32_t cycles = F_CPU / baud;  // per bit
  txLoops = (uint16_t)((cycles - 14u) / 4u);
  rxLoops = (uint16_t)((cycles - 6u) / 4u);
  const uint32_t ticks = 12ul * 250000ul / baud;
  byteTicks = ticks == 0 ? 1 : ticks > 30000ul ? 30000u : (uint16_t)ticks;
  // Longer than the chip's guard time before an answer (128 bits after a reset of the UPDI).
  const uint32_t idle = 140ul * 250000ul / baud + 25u;
  idleTicks = idle > 5000ul ? 5000u : (uint16_t)idle;
  return 1;
}

static void Release(void) {  // an input with pull-up: the line idles high
  UPDI_LINE_DDR &= (uint8_t)~BIT(UPDI_LINE);
  UPDI_LINE_PORT |= BIT(UPDI_LINE);
}

static void LineOff(void) {
  UPDI_LINE_DDR &= (uint8_t)~BIT(UPDI_LINE);
  UPDI_LINE_PORT &= (uint8_t)~BIT(UPDI_LINE);
}

// One character, driven: start bit, 8 data bits, even parity, 2 stop bits. Interrupts off.
static void SoftPut(uint8_t b) {
  uint8_t parity = 0;
  for (uint8_t v = b; v; v >>= 1) parity ^= v & 1u;
  uint16_t frame = (uint16_t)((uint16_t)b << 1 | (uint16_t)parity << 9 | 0x0C00u);
  for (uint8_t i = 0; i < 12; ++i) {
    if (frame & 1u) {
      UPDI_LINE_PORT |= BIT(UPDI_LINE);
    } else {
      UPDI_LINE_PORT &= (uint8_t)~BIT(UPDI_LINE);
    }
    UPDI_LINE_DDR |= BIT(UPDI_LINE);
    frame >>= 1;
    _delay_loop_2(txLoops);
  }
}

// One character from the chip, its start bit within `ticks`; sampled in the middle of each
// bit, returns in the first stop bit. Interrupts off.
static uint8_t SoftGet(uint8_t* out, uint16_t ticks) {
  const uint16_t start = Ticks();
  while (UPDI_LINE_PIN & BIT(UPDI_LINE)) {
    if ((uint16_t)(Ticks() - start) > ticks) return 0;
  }
  _delay_loop_2(rxLoops / 2u);
  uint8_t v = 0;
  for (uint8_t i = 0; i < 8; ++i) {
    _delay_loop_2(rxLoops);
    v >>= 1;
    if (UPDI_LINE_PIN & BIT(UPDI_LINE)) v |= 0x80;
  }
  _delay_loop_2(rxLoops);  // parity
  _delay_loop_2(rxLoops);  // the first stop bit
  *out = v;
  return 1;
}

// Every answer byte until the chip is silent, into the ring.
static void Collect(void) {
  uint8_t b;
  while ((uint16_t)(ringPut - ringTake) < RING_BYTES && SoftGet(&b, idleTicks)) {
    ring[ringPut & RING_MASK] = b;
    ++ringPut;
  }
}
#endif

void UpdiIdle(void) {
  LineOff();
  lineOpen = 0;
  UPDI_PWR_PORT &= (uint8_t)~(BIT(UPDI_12V) | BIT(UPDI_VCC));
  UPDI_PWR_DDR |= BIT(UPDI_12V) | BIT(UPDI_VCC);
}

// The activation the tinyAVR datasheets give for a UPDI pin fused to GPIO or RESET: a power-on
// reset first, the 12 V pulse once it is released and before the pin's GPIO driver may come
// on (8.8 ms after the reset), 100 us to 1 ms long, then the pin tri-stated; the UPDI stays
// in reset until the host drives the line low (its BREAK).
static void HighVoltagePulse(uint16_t widthUs) {
  LineOff();
  UPDI_PWR_PORT &= (uint8_t)~(BIT(UPDI_12V) | BIT(UPDI_VCC));
  DelayMs(UPDI_POWER_OFF_MS);  // the supply falls to 0 V: the next power-on is a POR
  UPDI_PWR_PORT |= BIT(UPDI_VCC);
  DelayMs(UPDI_PULSE_AFTER_MS);  // the supply stands and the POR is released
  cli();
  UPDI_PWR_PORT |= BIT(UPDI_12V);
  for (uint16_t i = 0; i < widthUs; i += 10) _delay_us(10);
  UPDI_PWR_PORT &= (uint8_t)~BIT(UPDI_12V);
  sei();
  _delay_us(20);
}

uint8_t UpdiOpen(uint32_t baud, uint16_t pulseUs) {
#if !UPDI_SOFT
  uint16_t ubrr;
  uint8_t twice;
  if (!Divider(baud, &ubrr, &twice)) return ERR_UNKNOWN_COMMAND;
#else
  if (baud < 250 || baud > UPDI_SOFT_MAX_BAUD) return ERR_UNKNOWN_COMMAND;
#endif
  if (pulseUs != 0 && (pulseUs < UPDI_PULSE_MIN_US || pulseUs > UPDI_PULSE_MAX_US))
    return ERR_UNKNOWN_COMMAND;
  if (pulseUs != 0) {
    HighVoltagePulse(pulseUs);
  } else if (!(UPDI_PWR_PORT & BIT(UPDI_VCC))) {
    UPDI_PWR_DDR |= BIT(UPDI_12V) | BIT(UPDI_VCC);
    UPDI_PWR_PORT |= BIT(UPDI_VCC);
    DelayMs(UPDI_POWER_ON_MS);  // the chip's start-up before its UPDI listens
  }
#if !UPDI_SOFT
  lineUbrr = ubrr;
  lineDouble = twice;
  Program(ubrr, twice);
#else
  SoftRate(baud);
  Release();
#endif
  UpdiDiscard();
  lineOpen = 1;
  return 0;
}

uint8_t UpdiIsOpen(void) { return lineOpen; }

void UpdiClose(void) { UpdiIdle(); }

void UpdiDiscard(void) {
  cli();
  ringTake = ringPut;
  sei();
}

#if !UPDI_SOFT
// Next received byte within `ticks`; 0 when none came.
static uint8_t Take(uint8_t* out, uint16_t ticks) {
  const uint16_t start = Ticks();
  while (!Available()) {
    if ((uint16_t)(Ticks() - start) > ticks) return 0;
  }
  *out = Next();
  return 1;
}

uint8_t UpdiSend(const uint8_t* data, uint8_t n, uint8_t* echo, uint8_t* echoed) {
  *echoed = 0;
  // Every byte goes out in turn; its echo lands in the ring meanwhile (n < 256).
  for (uint8_t i = 0; i < n; ++i) {
    if (!Put(data[i])) return UPDI_NO_ECHO;
  }
  uint8_t bad = 0;
  for (uint8_t i = 0; i < n; ++i) {
    uint8_t b;
    if (!Take(&b, 2u * byteTicks + 250u)) return UPDI_NO_ECHO;
    echo[i] = b;
    ++*echoed;
    if (b != data[i]) bad = 1;
  }
  return bad ? UPDI_BAD_ECHO : UPDI_OK;
}

#else
// The line reads back what drives it: the echo is the bytes sent. The chip's answer is
// collected right after them, while nobody else listens.
uint8_t UpdiSend(const uint8_t* data, uint8_t n, uint8_t* echo, uint8_t* echoed) {
  cli();
  for (uint8_t i = 0; i < n; ++i) {
    SoftPut(data[i]);
    echo[i] = data[i];
  }
  Release();
  Collect();
  sei();
  *echoed = n;
  return UPDI_OK;
}
#endif

uint8_t UpdiReceive(uint8_t* out, uint8_t m, uint8_t timeoutMs) {
  uint8_t got = 0;
  uint32_t waited = 0;  // ticks without a new byte, up to the whole time-out
  const uint32_t limit = (uint32_t)timeoutMs * TICKS_PER_MS;
  uint16_t last = Ticks();
  while (got < m) {
    if (Available()) {
      out[got++] = Next();
      continue;
    }
    const uint16_t now = Ticks();
    waited += (uint16_t)(now - last);
    last = now;
    if (waited > limit) break;
#if UPDI_SOFT
    // Not in the ring yet: listen on the line for what is left of the time.
    uint8_t b;
    cli();
    const uint8_t heard = SoftGet(&b, (uint16_t)(limit - waited > 60000ul ? 60000u : limit - waited));
    sei();
    if (!heard) break;
    out[got++] = b;
    last = Ticks();
#endif
  }
  return got;
}

#if !UPDI_SOFT
void UpdiBreak(void) {
  // A 0x00 at the slowest rate: start bit, 8 data bits and the even parity bit low for 41 ms,
  // longer than the 24.6 ms BREAK the UPDI's slowest clock needs.
  Program(4095, 0);
  Put(0x00);
  WaitSent();
  Program(lineUbrr, lineDouble);
  UpdiDiscard();
}

#else
void UpdiBreak(void) {
  // The line held low for 41 ms, longer than the 24.6 ms BREAK the UPDI's slowest clock needs.
  UPDI_LINE_PORT &= (uint8_t)~BIT(UPDI_LINE);
  UPDI_LINE_DDR |= BIT(UPDI_LINE);
  DelayMs(41);
  Release();
  _delay_us(200);
  UpdiDiscard();
}
#endif

#endif

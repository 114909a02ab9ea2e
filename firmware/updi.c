// The UPDI header (Mega): one wire for both directions, 8 data bits, even parity, 2 stop bits,
// on USART1 with TX1 and RX1 joined onto the UPDI pin, so every byte sent comes back as its
// echo. Received bytes go into a ring by interrupt while the line is open, so a chip's answer
// that follows an exchange's echo waits there for the next exchange. The host speaks the UPDI
// instructions itself; this file only moves bytes, checks echoes, sends BREAKs and applies
// the 12 V activation pulse.

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
static uint16_t lineUbrr;
static uint8_t lineDouble;

ISR(UPDI_RX_VECT) {
  const uint16_t put = ringPut;
  ring[put & RING_MASK] = UPDI_UDR;
  ringPut = put + 1;
}

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
  uint16_t ubrr;
  uint8_t twice;
  if (!Divider(baud, &ubrr, &twice)) return ERR_UNKNOWN_COMMAND;
  if (pulseUs != 0 && (pulseUs < UPDI_PULSE_MIN_US || pulseUs > UPDI_PULSE_MAX_US))
    return ERR_UNKNOWN_COMMAND;
  if (pulseUs != 0) {
    HighVoltagePulse(pulseUs);
  } else if (!(UPDI_PWR_PORT & BIT(UPDI_VCC))) {
    UPDI_PWR_DDR |= BIT(UPDI_12V) | BIT(UPDI_VCC);
    UPDI_PWR_PORT |= BIT(UPDI_VCC);
    DelayMs(UPDI_POWER_ON_MS);  // the chip's start-up before its UPDI listens
  }
  lineUbrr = ubrr;
  lineDouble = twice;
  Program(ubrr, twice);
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
  }
  return got;
}

void UpdiBreak(void) {
  // A 0x00 at the slowest rate: start bit, 8 data bits and the even parity bit low for 41 ms,
  // longer than the 24.6 ms BREAK the UPDI's slowest clock needs.
  Program(4095, 0);
  Put(0x00);
  WaitSent();
  Program(lineUbrr, lineDouble);
  UpdiDiscard();
}

#endif

#include "uart.h"

#include <avr/interrupt.h>
#include <util/delay.h>
#include <string.h>

#include "board.h"

// 16 MHz, U2X = 1, UBRR = F / (8 * baud) - 1. 16: 117,647 baud, +2.1 % against 115,200;
// 3: 500,000 and 1: 1,000,000 baud, both exact.
#define UART_UBRR 16
#define UART_UBRR_500K 3
#define UART_UBRR_1M 1

volatile uint8_t uartHeard;

static Packet slots[2];
static volatile uint8_t slotFill;   // slot the receiver writes into
static volatile uint8_t slotTake;   // oldest complete slot
static volatile uint8_t slotCount;  // complete slots not yet done

// Receiver state: 0/1 looking for 0x48 0x56, 2 code, 3/4 length, 5 payload.
static uint8_t rxState;
static uint8_t rxDrop;
static uint16_t rxLeft;
static uint8_t* rxPut;  // where the next payload byte goes; 0: the payload is dropped
static Packet* rxSlot;  // the slot being filled
static uint8_t rxCode;
static uint16_t rxLen;

static uint8_t txBuf[5 + PACKET_MAX_PAYLOAD];
static const uint8_t* volatile txNext;  // the next byte to send
static const uint8_t* volatile txStop;  // one past the last

void UartInit(void) {
  // U2X before the divider: the bit rate follows from both, and a simulator that works it
  // out when the divider is written then sees the doubled rate too.
  UCSR0A = BIT(U2X0);
  UBRR0 = UART_UBRR;
  UCSR0C = BIT(UCSZ01) | BIT(UCSZ00);  // 8N1
  UCSR0B = BIT(RXEN0) | BIT(TXEN0) | BIT(RXCIE0);
}

// Inlined: a call from the receive interrupt would make it save every register for each
// byte, which at 1,000,000 baud takes most of the processor's time from the ISP.
static inline __attribute__((always_inline)) void Complete(void) {
  rxState = 0;
  if (rxDrop) return;
  Packet* p = rxSlot;
  p->code = rxCode;
  p->len = rxLen > PACKET_MAX_PAYLOAD ? 0 : rxLen;
  p->oversize = rxLen > PACKET_MAX_PAYLOAD;
  slotFill ^= 1;
  ++slotCount;
}

ISR(UART_RX_VECT) {
  const uint8_t b = UDR0;
  uartHeard = 1;
  if (rxState == 5) {  // the payload: the common case first, and short
    uint8_t* put = rxPut;
    if (put) {
      *put++ = b;
      rxPut = put;
    }
    if (--rxLeft == 0) Complete();
    return;
  }
  switch (rxState) {
    case 0:
      if (b == 0x48) rxState = 1;
      return;
    case 1:
      rxState = b == 0x56 ? 2 : (b == 0x48 ? 1 : 0);
      return;
    case 2:
      rxCode = b;
      rxState = 3;
      return;
    case 3:
      rxLen = (uint16_t)b << 8;
      rxState = 4;
      return;
    default:
      rxLen |= b;
      rxLeft = rxLen;
      // Both slots full: the host sent a packet without waiting for an answer; lost.
      rxDrop = slotCount >= 2;
      rxSlot = slotFill ? &slots[1] : &slots[0];
      rxPut = !rxDrop && rxLen <= PACKET_MAX_PAYLOAD ? rxSlot->data : 0;
      if (rxLeft == 0) {
        Complete();
      } else {
        rxState = 5;
      }
      return;
  }
}

ISR(UART_UDRE_VECT) {
  const uint8_t* next = txNext;
  UDR0 = *next++;
  txNext = next;
  if (next == txStop) UCSR0B &= (uint8_t)~BIT(UDRIE0);
}

Packet* PacketPeek(void) { return slotCount ? &slots[slotTake] : 0; }

void PacketDone(void) {
  slotTake ^= 1;
  cli();
  --slotCount;
  sei();
}

void AnswerFlush(void) {
  while (UCSR0B & BIT(UDRIE0)) {
  }
}

void Answer(uint8_t code, const uint8_t* payload, uint16_t len) {
  AnswerFlush();
  txBuf[0] = 0x48;
  txBuf[1] = 0x56;
  txBuf[2] = code;
  txBuf[3] = (uint8_t)(len >> 8);
  txBuf[4] = (uint8_t)len;
  if (len) memcpy(txBuf + 5, payload, len);
  txNext = txBuf;
  txStop = txBuf + 5 + len;
  UCSR0B |= BIT(UDRIE0);
}

void AnswerByte(uint8_t code, uint8_t value) { Answer(code, &value, 1); }

uint8_t UartSetRate(uint32_t baud) {
  uint8_t ubrr;
  if (baud == 1000000UL) {
    ubrr = UART_UBRR_1M;
  } else if (baud == 500000UL) {
    ubrr = UART_UBRR_500K;
  } else if (baud == 115200UL) {
    ubrr = UART_UBRR;
  } else {
    return 0;
  }
  // The answer at the old rate must be on the wire to its last stop bit first: once the
  // buffer is empty, at most two characters (data register and shift register) are left,
  // 170 us at 115200 baud.
  AnswerFlush();
  _delay_us(200);
  UBRR0 = ubrr;
  return 1;
}

uint8_t UartFast(void) { return UBRR0 != UART_UBRR; }

#pragma once
// The serial line to the host: packets `48 56 code len_hi len_lo payload` in both
// directions. Bytes are received by interrupt straight into two packet slots, so one packet
// can arrive while the previous one is still being worked on; answers go out by interrupt
// from one transmit buffer.

#include <stdint.h>

#define PACKET_MAX_PAYLOAD 256

typedef struct {
  uint8_t code;
  uint8_t oversize;  // the length field said more than 256: payload skipped
  uint16_t len;
  uint8_t data[PACKET_MAX_PAYLOAD];
} Packet;

void UartInit(void);
// The oldest complete packet, or 0 when none has arrived. It stays valid until PacketDone().
Packet* PacketPeek(void);
void PacketDone(void);

// Sends one answer packet. Waits while the previous answer is still going out.
void Answer(uint8_t code, const uint8_t* payload, uint16_t len);
void AnswerByte(uint8_t code, uint8_t value);
// Waits until every answer byte has left the transmit buffer.
void AnswerFlush(void);

// Set by the receiver on every byte: the main loop's idle clock starts again.
extern volatile uint8_t uartHeard;
// Switches the line to 115200, 500000 or 1000000 baud once the answer going out has left
// completely; 0 (nothing changed) for any other rate.
uint8_t UartSetRate(uint32_t baud);
// True while the line runs faster than 115200 baud.
uint8_t UartFast(void);

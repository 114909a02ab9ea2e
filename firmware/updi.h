#pragma once
// The UPDI line of the UPDI header (updi.c) for the host's CMD_UPDI_* commands.

#include <stdint.h>

// The 12 V activation: the supply off this long, on, the pulse this long after, as wide as
// the host asks within the datasheets' 100 us to 1 ms.
#define UPDI_POWER_OFF_MS 20
#define UPDI_PULSE_AFTER_MS 2
#define UPDI_PULSE_MIN_US 100
#define UPDI_PULSE_MAX_US 1000
// A chip switched on by an open without the pulse gets this long to start.
#define UPDI_POWER_ON_MS 20

// How an exchange's echo came back.
enum { UPDI_OK = 0, UPDI_NO_ECHO = 1, UPDI_BAD_ECHO = 2 };

// Opens (or sets again) the line at `baud`, the header's supply on. pulseUs != 0: first the
// 12 V activation with a pulse of that width. 0, or a device error for a rate or width out
// of reach.
uint8_t UpdiOpen(uint32_t baud, uint16_t pulseUs);
uint8_t UpdiIsOpen(void);
void UpdiClose(void);  // line, supply and 12 V off
void UpdiIdle(void);   // the same at start-up and on CMD_RECOVER
void UpdiDiscard(void);
// Sends n bytes (n < 256) and reads their echo into `echo` (*echoed of them came).
uint8_t UpdiSend(const uint8_t* data, uint8_t n, uint8_t* echo, uint8_t* echoed);
// Up to m bytes of the chip's answer, waiting at most timeoutMs in all.
uint8_t UpdiReceive(uint8_t* out, uint8_t m, uint8_t timeoutMs);
void UpdiBreak(void);

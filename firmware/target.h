#pragma once
// One programming interface (ISP, HVSP, HVPP) as the command handlers see it. Every
// function works inside a session opened by enter() and closed by leave().

#include <avr/io.h>
#include <stdint.h>

// Device error codes sent with ANS_ERROR.
enum {
  ERR_UNKNOWN_COMMAND = 1,
  ERR_ENTER_PROG_MODE = 2,
  ERR_WRITE_LOCK_BITS = 3,
  ERR_WRITE_FUSES = 4,
  ERR_WRITE_MEMORY = 5,
  ERR_CHIP_ERASE = 6,
  ERR_ISP_SPEED = 7,
};

// Fuse selectors of CMD_READ_FUSES / CMD_WRITE_FUSES.
enum { SEL_LOW = 1, SEL_HIGH = 2, SEL_EXTENDED = 3, SEL_LOCK = 4 };

enum { KIND_FLASH = 1, KIND_EEPROM = 2 };

typedef struct {
  // Powers up / resets the target into programming mode and checks its signature
  // (0x1E first, the other two not 0x1E). 0 or a device error code; on an error the
  // target is already left.
  uint8_t (*enter)(void);
  void (*leave)(void);
  uint8_t (*readCalibration)(uint8_t address);
  uint8_t (*readFuse)(uint8_t selector);
  // 1 when the target finished in time (the caller reads back and compares).
  uint8_t (*writeFuse)(uint8_t selector, uint8_t value);
  uint8_t (*erase)(void);  // 1 when finished in time
  // `n` bytes from byte address `address` (flash: even address and count).
  void (*read)(uint8_t kind, uint32_t address, uint8_t* out, uint16_t n);
  // Loads `n` bytes at byte address `address`, all inside one page of `pageBytes`; when
  // `program` the page is complete and is programmed. 1 when the target finished in time.
  uint8_t (*write)(uint8_t kind, uint32_t address, const uint8_t* data, uint16_t n,
                   uint16_t pageBytes, uint8_t program);
  void (*writeEnd)(void);  // after the last page of a write stream
} TargetOps;

// The signature read by the last successful enter().
extern uint8_t targetSignature[3];
uint8_t SignatureValid(void);

// A free-running 4 µs tick (timer 1, clk/64) for time-outs of up to 262 ms.
#define TICKS_PER_MS 250u
static inline uint16_t Ticks(void) { return TCNT1; }
void DelayMs(uint16_t ms);

extern const TargetOps kIspOps;
extern const TargetOps kHvspOps;
extern const TargetOps kHvppOps;    // the 28- and 40-pin sockets (high-voltage mode 1)
extern const TargetOps kHvpp20Ops;  // the 20-pin sockets (high-voltage mode 2)

uint8_t IspClock(void);
void IspSetClock(uint8_t index);  // 1..7, else 0 (none)
uint8_t IspDetectClock(void);     // fastest index that reaches a target, or 0; also set
void LinesIdle(void);             // every target line high-impedance, supplies and 12 V off

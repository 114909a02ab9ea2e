/* A small AVR program whose Intel HEX files the image tests load. Built at test time:
 *   avr-gcc -mmcu=atmega328p -Os -o blink.elf blink.c
 *   avr-objcopy -O ihex -R .eeprom blink.elf blink.hex
 *   avr-objcopy -O ihex -j .eeprom --change-section-lma .eeprom=0 blink.elf blink.eep
 * and compared with the raw bytes avr-objcopy -O binary gives for the same sections. */
#define F_CPU 16000000UL
#include <avr/eeprom.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <util/delay.h>

static const char message[] PROGMEM = "Brindlequartz blink test: the quick brown fox jumps over the lazy dog";
uint8_t settings[40] EEMEM = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA,
                              1,    2,    3,    4,    5,    6,    7,    8,    9,    10,
                              0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87, 0x78, 0x69,
                              0,    0,    0,    0,    0xFF, 0xFF, 0x5A, 0xA5, 0x3C, 0xC3};

int main(void) {
  DDRB |= _BV(DDB5);
  uint8_t i = 0;
  for (;;) {
    PORTB ^= _BV(PORTB5);
    OCR0A = pgm_read_byte(&message[i]) ^ eeprom_read_byte(&settings[i % sizeof settings]);
    if (++i >= sizeof message) i = 0;
    _delay_ms(250);
  }
}

/* A small AVR program used as the flash and EEPROM image of the command-line tests.
 * Rebuild blink.hex and blink.eep with tests/cli/data/build.sh (Debian: gcc-avr, avr-libc). */
#include <avr/eeprom.h>
#include <avr/io.h>
#include <util/delay.h>

uint8_t EEMEM settings[64] = {0x42, 0x52, 0x51, 0x5A, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                              'B', 'r', 'i', 'n', 'd', 'l', 'e', 'q', 'u', 'a', 'r', 't', 'z', 0};

int main(void) {
  DDRB = 0x01;
  uint8_t rate = eeprom_read_byte(&settings[4]);
  for (;;) {
    PORTB ^= 0x01;
    for (uint8_t i = 0; i < rate; ++i) _delay_ms(50);
  }
}

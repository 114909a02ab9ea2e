#!/bin/sh
# Builds the test images from blink.c: blink.hex (flash) and blink.eep (EEPROM), Intel HEX.
set -e
cd "$(dirname "$0")"
avr-gcc -mmcu=attiny2313a -Os -DF_CPU=1000000UL -o blink.elf blink.c
avr-objcopy -O ihex -R .eeprom blink.elf blink.hex
avr-objcopy -O ihex -j .eeprom --change-section-lma .eeprom=0 blink.elf blink.eep
rm -f blink.elf

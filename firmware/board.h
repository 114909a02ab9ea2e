#pragma once
// The board the firmware runs on: its pins for the ISP header, the HVSP socket and (Mega)
// the HVPP sockets (20-, 28- and 40-pin), and its hardware version. One source tree, two images:
// BOARD_UNO (Arduino Uno/Nano, ATmega328P) and BOARD_MEGA (Arduino Mega 2560, ATmega2560).
// The pin tables are in docs/firmware.md.

#include <avr/io.h>

#define FW_VERSION_MAJOR 1
#define FW_VERSION_MINOR 0

#if defined(BOARD_UNO)

#define HW_VERSION_MAJOR 3
#define HW_VERSION_MINOR 0
#define HAVE_HVPP 0

// ISP header: D10 RESET, D11 MOSI, D12 MISO, D13 SCK. PB2 is also the SPI's SS pin: it is an
// output whenever the SPI is on, so the SPI stays master.
#define ISP_PORT PORTB
#define ISP_DDR DDRB
#define ISP_PIN PINB
#define ISP_RST PB2
#define ISP_MOSI PB3
#define ISP_MISO PB4
#define ISP_SCK PB5

// HVSP socket: D2 SCI, D3 SDO, D4 SII, D5 SDI; A0 socket supply, A1 12 V onto RESET.
#define HVSP_PORT PORTD
#define HVSP_DDR DDRD
#define HVSP_PIN PIND
#define HVSP_SCI PD2
#define HVSP_SDO PD3
#define HVSP_SII PD4
#define HVSP_SDI PD5
#define HVSP_PWR_PORT PORTC
#define HVSP_PWR_DDR DDRC
#define HVSP_VCC PC0
#define HVSP_12V PC1

// Clock for a target on the ISP cable whose fuses chose a crystal or clock that is not
// fitted: Timer0 toggles OC0A, D6 (PD6), which the ISP cable's adapter feeds to XTAL1.
#define TCLK_DDR DDRD
#define TCLK_PORT PORTD
#define TCLK_BIT PD6
#define TCLK_TCCRA TCCR0A
#define TCLK_TCCRB TCCR0B
#define TCLK_OCR OCR0A
#define TCLK_TCNT TCNT0
#define TCLK_TOGGLE BIT(COM0A0)
#define TCLK_CTC BIT(WGM01)
#define TCLK_CS BIT(CS00)

#define UART_RX_VECT USART_RX_vect
#define UART_UDRE_VECT USART_UDRE_vect

// UPDI header: D8 (PB0) through 4.7 kOhm onto the UPDI line, a software half-duplex line
// (8E2, up to 115200 baud): driven while a byte goes out, an input with pull-up otherwise;
// A2 (PC2) switches 12 V onto the UPDI pin, A3 (PC3) the header's supply.
#define HAVE_UPDI 1
#define UPDI_SOFT 1
#define UPDI_SOFT_MAX_BAUD 115200UL
#define UPDI_LINE_PORT PORTB
#define UPDI_LINE_DDR DDRB
#define UPDI_LINE_PIN PINB
#define UPDI_LINE PB0
#define UPDI_PWR_PORT PORTC
#define UPDI_PWR_DDR DDRC
#define UPDI_12V PC2
#define UPDI_VCC PC3

#elif defined(BOARD_MEGA)

#define HW_VERSION_MAJOR 4
#define HW_VERSION_MINOR 0
#define HAVE_HVPP 1

// ISP header: D53 RESET (also SS), D52 SCK, D51 MOSI, D50 MISO.
#define ISP_PORT PORTB
#define ISP_DDR DDRB
#define ISP_PIN PINB
#define ISP_RST PB0
#define ISP_SCK PB1
#define ISP_MOSI PB2
#define ISP_MISO PB3

// HVSP socket: A0 SDI, A1 SII, A2 SDO, A3 SCI, A4 socket supply, A5 12 V onto RESET.
#define HVSP_PORT PORTF
#define HVSP_DDR DDRF
#define HVSP_PIN PINF
#define HVSP_SDI PF0
#define HVSP_SII PF1
#define HVSP_SDO PF2
#define HVSP_SCI PF3
#define HVSP_PWR_PORT PORTF
#define HVSP_PWR_DDR DDRF
#define HVSP_VCC PF4
#define HVSP_12V PF5

// HVPP bus, shared by the four HVPP sockets (one chip on the add-on at a time): D22-D29
// DATA0-7; D37..D30 XTAL1, OE, WR, BS1, XA0, XA1, PAGEL, BS2; D49 RDY/BSY. The 20-pin chips
// have BS1/PAGEL on the BS1 line and XA1/BS2 on the XA1 line. Each socket has its own supply
// switch and 12 V switch onto its RESET pin: 28-pin D48/D47, 40-pin D46/D45, 20-pin for the
// ATtiny2313/4313 D44/D43, 20-pin for the ATtiny26/261/461/861 D41/D40.
#define PP_DATA_PORT PORTA
#define PP_DATA_DDR DDRA
#define PP_DATA_PIN PINA
#define PP_CTL_PORT PORTC
#define PP_CTL_DDR DDRC
#define PP_XTAL1 PC0
#define PP_OE PC1
#define PP_WR PC2
#define PP_BS1 PC3
#define PP_XA0 PC4
#define PP_XA1 PC5
#define PP_PAGEL PC6
#define PP_BS2 PC7
#define PP_AUX_PORT PORTL
#define PP_AUX_DDR DDRL
#define PP_AUX_PIN PINL
#define PP_RDY PL0
#define PP_VCC PL1  // 28-pin socket
#define PP_12V PL2
#define PP40_VCC PL3  // 40-pin socket
#define PP40_12V PL4
#define PP20_VCC PL5  // 20-pin socket, ATtiny2313/4313
#define PP20_12V PL6
#define PP_X61_PORT PORTG  // 20-pin socket, ATtiny26/261/461/861
#define PP_X61_DDR DDRG
#define PP20X_VCC PG0
#define PP20X_12V PG1

// Clock for a target on the ISP cable (see the Uno's): Timer2 toggles OC2A, D10 (PB4).
#define TCLK_DDR DDRB
#define TCLK_PORT PORTB
#define TCLK_BIT PB4
#define TCLK_TCCRA TCCR2A
#define TCLK_TCCRB TCCR2B
#define TCLK_OCR OCR2A
#define TCLK_TCNT TCNT2
#define TCLK_TOGGLE BIT(COM2A0)
#define TCLK_CTC BIT(WGM21)
#define TCLK_CS BIT(CS20)

#define UART_RX_VECT USART0_RX_vect
#define UART_UDRE_VECT USART0_UDRE_vect

// UPDI header: TX1 (D18, PD3) through 4.7 kOhm and RX1 (D19, PD2) through 10 kOhm joined onto
// the UPDI line, 8E2 on USART1; A8 (PK0) switches 12 V onto the UPDI pin, A9 (PK1) the
// header's supply.
#define HAVE_UPDI 1
#define UPDI_UCSRA UCSR1A
#define UPDI_UCSRB UCSR1B
#define UPDI_UCSRC UCSR1C
#define UPDI_UBRR UBRR1
#define UPDI_UDR UDR1
#define UPDI_RX_VECT USART1_RX_vect
#define UPDI_LINE_PORT PORTD
#define UPDI_LINE_DDR DDRD
#define UPDI_TX PD3
#define UPDI_RX PD2
#define UPDI_PWR_PORT PORTK
#define UPDI_PWR_DDR DDRK
#define UPDI_12V PK0
#define UPDI_VCC PK1

#else
#error "Build with -DBOARD_UNO or -DBOARD_MEGA"
#endif

#define BIT(n) (1u << (n))
#define NOP() __asm__ __volatile__("nop")

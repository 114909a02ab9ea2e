"""Facts the vendor's device files do not carry, each with the datasheet it comes from.

Two tables:

SIBLINGS: parts that have no device file of their own here but share the fuse and
lock-bit layout of a family member that has one (same datasheet, same fuse tables).
The sibling takes the member's fuse and lock fields, defaults, calibration bytes and
programming mode, and gets its own signature and memory geometry from the table.
Where the sibling's flash size differs from the member's, fuse texts that name flash
addresses are rewritten through `captions`; the generator refuses a size-changing
sibling whose member has address texts the table does not rewrite.

OSCCAL_LABELS: what each calibration byte calibrates, where the datasheet says so.
Parts not listed get the neutral labels "Calibration byte 0", "Calibration byte 1", ...
A sibling uses its family member's labels.
"""

# Flash and EEPROM sizes and page sizes are in bytes here; the generator turns the
# flash page size into 16-bit words.
SIBLINGS = [
    # ---- ATtiny25/45/85: one datasheet, identical fuses and lock bits ----
    dict(name="ATtiny25", template="ATtiny85", signature=0x1E9108,
         flash=2048, flash_page=32, eeprom=128, eeprom_page=4,
         source="ATtiny25/45/85 datasheet: Signature Bytes (0x1E 0x91 0x08); "
                "Page Size table (16 words per page, 64 pages; EEPROM 4 bytes per page, 32 pages)"),
    dict(name="ATtiny45", template="ATtiny85", signature=0x1E9206,
         flash=4096, flash_page=64, eeprom=256, eeprom_page=4,
         source="ATtiny25/45/85 datasheet: Signature Bytes (0x1E 0x92 0x06); "
                "Page Size table (32 words per page, 64 pages; EEPROM 4 bytes per page, 64 pages)"),
    # ---- ATtiny24/44/84 and the A versions ----
    dict(name="ATtiny24", template="ATtiny84", signature=0x1E910B,
         flash=2048, flash_page=32, eeprom=128, eeprom_page=4,
         source="ATtiny24/44/84 datasheet: Signature Bytes (0x1E 0x91 0x0B); "
                "Page Size table (16 words per page, 64 pages; EEPROM 4 bytes per page, 32 pages)"),
    dict(name="ATtiny44", template="ATtiny84", signature=0x1E9207,
         flash=4096, flash_page=64, eeprom=256, eeprom_page=4,
         source="ATtiny24/44/84 datasheet: Signature Bytes (0x1E 0x92 0x07); "
                "Page Size table (32 words per page, 64 pages; EEPROM 4 bytes per page, 64 pages)"),
    dict(name="ATtiny24A", template="ATtiny84A", signature=0x1E910B,
         flash=2048, flash_page=32, eeprom=128, eeprom_page=4,
         source="ATtiny24A/44A/84A datasheet: Signature Bytes (0x1E 0x91 0x0B); "
                "Page Size table (16 words per page, 64 pages; EEPROM 4 bytes per page, 32 pages)"),
    # ---- ATtiny13 beside ATtiny13A ----
    dict(name="ATtiny13", template="ATtiny13A", signature=0x1E9007,
         flash=1024, flash_page=32, eeprom=64, eeprom_page=4,
         source="ATtiny13 datasheet: Signature Bytes (0x1E 0x90 0x07); "
                "Page Size table (16 words per page, 32 pages; EEPROM 4 bytes per page, 16 pages)"),
    # ---- ATtiny261/461 beside the A versions ----
    dict(name="ATtiny261", template="ATtiny261A", signature=0x1E910C,
         flash=2048, flash_page=32, eeprom=128, eeprom_page=4,
         source="ATtiny261/461/861 datasheet: Signature Bytes (0x1E 0x91 0x0C); "
                "Page Size table (16 words per page, 64 pages; EEPROM 4 bytes per page, 32 pages)"),
    dict(name="ATtiny461", template="ATtiny461A", signature=0x1E9208,
         flash=4096, flash_page=64, eeprom=256, eeprom_page=4,
         source="ATtiny261/461/861 datasheet: Signature Bytes (0x1E 0x92 0x08); "
                "Page Size table (32 words per page, 64 pages; EEPROM 4 bytes per page, 64 pages)"),
    # ---- ATtiny4313 beside ATtiny2313A ----
    dict(name="ATtiny4313", template="ATtiny2313A", signature=0x1E920D,
         flash=4096, flash_page=64, eeprom=256, eeprom_page=4,
         source="ATtiny2313A/4313 datasheet: Signature Bytes (0x1E 0x92 0x0D); "
                "Page Size table (32 words per page, 64 pages; EEPROM 4 bytes per page, 64 pages)"),
    # ---- ATmega48/88/168/328 family ----
    dict(name="ATmega48", template="ATmega48P", signature=0x1E9205,
         flash=4096, flash_page=64, eeprom=256, eeprom_page=4,
         source="ATmega48/88/168 datasheet: Signature Bytes (0x1E 0x92 0x05); "
                "Page Size tables (32 words per page, 64 pages; EEPROM 4 bytes per page, 64 pages)"),
    dict(name="ATmega48A", template="ATmega48P", signature=0x1E9205,
         flash=4096, flash_page=64, eeprom=256, eeprom_page=4,
         source="ATmega48A/PA/88A/PA/168A/PA/328/P datasheet: Signature Bytes (0x1E 0x92 0x05); "
                "Page Size tables (32 words per page, 64 pages; EEPROM 4 bytes per page, 64 pages)"),
    dict(name="ATmega48PA", template="ATmega48P", signature=0x1E920A,
         flash=4096, flash_page=64, eeprom=256, eeprom_page=4,
         source="ATmega48A/PA/88A/PA/168A/PA/328/P datasheet: Signature Bytes (0x1E 0x92 0x0A); "
                "Page Size tables (32 words per page, 64 pages; EEPROM 4 bytes per page, 64 pages)"),
    dict(name="ATmega88", template="ATmega88P", signature=0x1E930A,
         flash=8192, flash_page=64, eeprom=512, eeprom_page=4,
         source="ATmega48/88/168 datasheet: Signature Bytes (0x1E 0x93 0x0A); "
                "Page Size tables (32 words per page, 128 pages; EEPROM 4 bytes per page, 128 pages)"),
    dict(name="ATmega88A", template="ATmega88P", signature=0x1E930A,
         flash=8192, flash_page=64, eeprom=512, eeprom_page=4,
         source="ATmega48A/PA/88A/PA/168A/PA/328/P datasheet: Signature Bytes (0x1E 0x93 0x0A); "
                "Page Size tables (32 words per page, 128 pages; EEPROM 4 bytes per page, 128 pages)"),
    dict(name="ATmega88PA", template="ATmega88P", signature=0x1E930F,
         flash=8192, flash_page=64, eeprom=512, eeprom_page=4,
         source="ATmega48A/PA/88A/PA/168A/PA/328/P datasheet: Signature Bytes (0x1E 0x93 0x0F); "
                "Page Size tables (32 words per page, 128 pages; EEPROM 4 bytes per page, 128 pages)"),
    dict(name="ATmega168A", template="ATmega168", signature=0x1E9406,
         flash=16384, flash_page=128, eeprom=512, eeprom_page=4,
         source="ATmega48A/PA/88A/PA/168A/PA/328/P datasheet: Signature Bytes (0x1E 0x94 0x06); "
                "Page Size tables (64 words per page, 128 pages; EEPROM 4 bytes per page, 128 pages)"),
    dict(name="ATmega168P", template="ATmega168", signature=0x1E940B,
         flash=16384, flash_page=128, eeprom=512, eeprom_page=4,
         source="ATmega48P/88P/168P datasheet: Signature Bytes (0x1E 0x94 0x0B); "
                "Page Size tables (64 words per page, 128 pages; EEPROM 4 bytes per page, 128 pages)"),
    dict(name="ATmega168PA", template="ATmega168", signature=0x1E940B,
         flash=16384, flash_page=128, eeprom=512, eeprom_page=4,
         source="ATmega48A/PA/88A/PA/168A/PA/328/P datasheet: Signature Bytes (0x1E 0x94 0x0B); "
                "Page Size tables (64 words per page, 128 pages; EEPROM 4 bytes per page, 128 pages)"),
    dict(name="ATmega328", template="ATmega328P", signature=0x1E9514,
         flash=32768, flash_page=128, eeprom=1024, eeprom_page=4,
         source="ATmega48A/PA/88A/PA/168A/PA/328/P datasheet: Signature Bytes (0x1E 0x95 0x14); "
                "Page Size tables (64 words per page, 256 pages; EEPROM 4 bytes per page, 256 pages)"),
    # ---- ATmega164/324/644/1284 family ----
    dict(name="ATmega164P", template="ATmega164PA", signature=0x1E940A,
         flash=16384, flash_page=128, eeprom=512, eeprom_page=4,
         source="ATmega164P/324P/644P datasheet: Signature Bytes (0x1E 0x94 0x0A); "
                "Page Size tables (64 words per page, 128 pages; EEPROM 4 bytes per page, 128 pages)"),
    dict(name="ATmega324P", template="ATmega324PA", signature=0x1E9508,
         flash=32768, flash_page=128, eeprom=1024, eeprom_page=4,
         source="ATmega164P/324P/644P datasheet: Signature Bytes (0x1E 0x95 0x08); "
                "Page Size tables (64 words per page, 256 pages; EEPROM 4 bytes per page, 256 pages)"),
    dict(name="ATmega644P", template="ATmega644", signature=0x1E960A,
         flash=65536, flash_page=256, eeprom=2048, eeprom_page=8,
         source="ATmega164P/324P/644P datasheet: Signature Bytes (0x1E 0x96 0x0A); "
                "Page Size tables (128 words per page, 256 pages; EEPROM 8 bytes per page, 256 pages)"),
    dict(name="ATmega644PA", template="ATmega644", signature=0x1E960A,
         flash=65536, flash_page=256, eeprom=2048, eeprom_page=8,
         source="ATmega644A/644PA datasheet: Signature Bytes (0x1E 0x96 0x0A); "
                "Page Size tables (128 words per page, 256 pages; EEPROM 8 bytes per page, 256 pages)"),
    dict(name="ATmega644A", template="ATmega644", signature=0x1E9609,
         flash=65536, flash_page=256, eeprom=2048, eeprom_page=8,
         source="ATmega644A/644PA datasheet: Signature Bytes (0x1E 0x96 0x09); "
                "Page Size tables (128 words per page, 256 pages; EEPROM 8 bytes per page, 256 pages)"),
    dict(name="ATmega1284", template="ATmega1284P", signature=0x1E9706,
         flash=131072, flash_page=256, eeprom=4096, eeprom_page=8,
         source="ATmega1284 datasheet: Signature Bytes (0x1E 0x97 0x06); "
                "Page Size tables (128 words per page, 512 pages; EEPROM 8 bytes per page, 512 pages)"),
    # ---- ATmega640/1280/1281/2560/2561: one datasheet ----
    dict(name="ATmega640", template="ATmega1280", signature=0x1E9608,
         flash=65536, flash_page=256, eeprom=4096, eeprom_page=8,
         captions={"$FE00": "$7E00", "$FC00": "$7C00", "$F800": "$7800", "$F000": "$7000"},
         source="ATmega640/1280/1281/2560/2561 datasheet: Signature Bytes (0x1E 0x96 0x08); "
                "Page Size tables (128 words per page, 256 pages; EEPROM 8 bytes per page, 512 pages); "
                "Boot Size Configuration table (boot start $7E00/$7C00/$7800/$7000 for ATmega640)"),
    dict(name="ATmega1281", template="ATmega1280", signature=0x1E9704,
         flash=131072, flash_page=256, eeprom=4096, eeprom_page=8,
         source="ATmega640/1280/1281/2560/2561 datasheet: Signature Bytes (0x1E 0x97 0x04); "
                "Page Size tables (128 words per page, 512 pages; EEPROM 8 bytes per page, 512 pages)"),
    dict(name="ATmega2561", template="ATmega2560", signature=0x1E9802,
         flash=262144, flash_page=256, eeprom=4096, eeprom_page=8,
         source="ATmega640/1280/1281/2560/2561 datasheet: Signature Bytes (0x1E 0x98 0x02); "
                "Page Size tables (128 words per page, 1024 pages; EEPROM 8 bytes per page, 512 pages)"),
    # ---- classic ATmega parts and their A versions (same die, same fuses) ----
    dict(name="ATmega8A", template="ATmega8", signature=0x1E9307,
         flash=8192, flash_page=64, eeprom=512, eeprom_page=4,
         source="ATmega8A datasheet: Signature Bytes (0x1E 0x93 0x07); "
                "Page Size tables (32 words per page, 128 pages; EEPROM 4 bytes per page, 128 pages)"),
    dict(name="ATmega16A", template="ATmega16", signature=0x1E9403,
         flash=16384, flash_page=128, eeprom=512, eeprom_page=4,
         source="ATmega16A datasheet: Signature Bytes (0x1E 0x94 0x03); "
                "Page Size tables (64 words per page, 128 pages; EEPROM 4 bytes per page, 128 pages)"),
    dict(name="ATmega32", template="ATmega32A", signature=0x1E9502,
         flash=32768, flash_page=128, eeprom=1024, eeprom_page=4,
         source="ATmega32 datasheet: Signature Bytes (0x1E 0x95 0x02); "
                "Page Size tables (64 words per page, 256 pages; EEPROM 4 bytes per page, 256 pages)"),
    dict(name="ATmega64A", template="ATmega64", signature=0x1E9602,
         flash=65536, flash_page=256, eeprom=2048, eeprom_page=8,
         source="ATmega64A datasheet: Signature Bytes (0x1E 0x96 0x02); "
                "Page Size tables (128 words per page, 256 pages; EEPROM 8 bytes per page, 256 pages)"),
    dict(name="ATmega128", template="ATmega128A", signature=0x1E9702,
         flash=131072, flash_page=256, eeprom=4096, eeprom_page=8,
         source="ATmega128 datasheet: Signature Bytes (0x1E 0x97 0x02); "
                "Page Size tables (128 words per page, 512 pages; EEPROM 8 bytes per page, 512 pages)"),
    # ---- AT90USB1287 beside AT90USB1286 ----
    dict(name="AT90USB1287", template="AT90USB1286", signature=0x1E9782,
         flash=131072, flash_page=256, eeprom=4096, eeprom_page=8,
         source="AT90USB646/647/1286/1287 datasheet: Signature Bytes (0x1E 0x97 0x82); "
                "Page Size tables (128 words per page, 512 pages; EEPROM 8 bytes per page, 512 pages)"),
]

_FOUR_RC = ("1.0 MHz", "2.0 MHz", "4.0 MHz", "8.0 MHz")
_ONE_8MHZ = ("8.0 MHz",)

# name -> (labels in address order, source)
OSCCAL_LABELS = {
    "ATmega8": (_FOUR_RC, "ATmega8 datasheet, Calibration Byte: bytes 0 to 3 for 1, 2, 4 and 8 MHz"),
    "ATmega16": (_FOUR_RC, "ATmega16 datasheet, Calibration Byte: bytes 0 to 3 for 1, 2, 4 and 8 MHz"),
    "ATmega32A": (_FOUR_RC, "ATmega32A datasheet, Calibration Byte: bytes 0 to 3 for 1, 2, 4 and 8 MHz"),
    "ATmega64": (_FOUR_RC, "ATmega64 datasheet, Calibration Byte: bytes 0 to 3 for 1, 2, 4 and 8 MHz"),
    "ATmega128A": (_FOUR_RC, "ATmega128A datasheet, Calibration Byte: bytes 0 to 3 for 1, 2, 4 and 8 MHz"),
    "ATtiny26": (_FOUR_RC, "ATtiny26 datasheet, Calibration Byte: bytes 0 to 3 for 1, 2, 4 and 8 MHz"),
    "ATtiny13A": (("9.6 MHz", "4.8 MHz"),
                  "ATtiny13A datasheet, Calibration Bytes: byte 0 for 9.6 MHz, byte 1 for 4.8 MHz"),
    "ATtiny85": (("8.0 MHz", "6.4 MHz"),
                 "ATtiny25/45/85 datasheet, Signature imprint table: 8.0 MHz, and 6.4 MHz for "
                 "the ATtiny15 compatibility mode"),
    # One byte for the calibrated 8 MHz internal RC oscillator.
    "ATmega48P": (_ONE_8MHZ, "ATmega48P/88P/168P/328P datasheet, Calibrated Internal RC Oscillator"),
    "ATmega88P": (_ONE_8MHZ, "ATmega48P/88P/168P/328P datasheet, Calibrated Internal RC Oscillator"),
    "ATmega168": (_ONE_8MHZ, "ATmega48/88/168 datasheet, Calibrated Internal RC Oscillator"),
    "ATmega328P": (_ONE_8MHZ, "ATmega48P/88P/168P/328P datasheet, Calibrated Internal RC Oscillator"),
    "ATmega328PB": (_ONE_8MHZ, "ATmega328PB datasheet, Calibrated Internal RC Oscillator"),
    "ATmega164PA": (_ONE_8MHZ, "ATmega164PA/324PA/644PA/1284P datasheet, Calibrated Internal RC Oscillator"),
    "ATmega324PA": (_ONE_8MHZ, "ATmega164PA/324PA/644PA/1284P datasheet, Calibrated Internal RC Oscillator"),
    "ATmega644": (_ONE_8MHZ, "ATmega644 datasheet, Calibrated Internal RC Oscillator"),
    "ATmega1284P": (_ONE_8MHZ, "ATmega1284P datasheet, Calibrated Internal RC Oscillator"),
    "ATmega1280": (_ONE_8MHZ, "ATmega640/1280/1281/2560/2561 datasheet, Calibrated Internal RC Oscillator"),
    "ATmega2560": (_ONE_8MHZ, "ATmega640/1280/1281/2560/2561 datasheet, Calibrated Internal RC Oscillator"),
    "ATmega8U2": (_ONE_8MHZ, "ATmega8U2/16U2/32U2 datasheet, Calibrated Internal RC Oscillator"),
    "ATmega16U2": (_ONE_8MHZ, "ATmega8U2/16U2/32U2 datasheet, Calibrated Internal RC Oscillator"),
    "ATmega32U2": (_ONE_8MHZ, "ATmega8U2/16U2/32U2 datasheet, Calibrated Internal RC Oscillator"),
    "ATmega32U4": (_ONE_8MHZ, "ATmega16U4/32U4 datasheet, Calibrated Internal RC Oscillator"),
    "AT90USB1286": (_ONE_8MHZ, "AT90USB646/647/1286/1287 datasheet, Calibrated Internal RC Oscillator"),
    "AT90CAN32": (_ONE_8MHZ, "AT90CAN32/64/128 datasheet, Calibrated Internal RC Oscillator"),
    "AT90CAN64": (_ONE_8MHZ, "AT90CAN32/64/128 datasheet, Calibrated Internal RC Oscillator"),
    "AT90CAN128": (_ONE_8MHZ, "AT90CAN32/64/128 datasheet, Calibrated Internal RC Oscillator"),
    "ATtiny44A": (_ONE_8MHZ, "ATtiny24A/44A/84A datasheet, Calibrated Internal 8 MHz Oscillator"),
    "ATtiny84": (_ONE_8MHZ, "ATtiny24/44/84 datasheet, Calibrated Internal 8 MHz Oscillator"),
    "ATtiny84A": (_ONE_8MHZ, "ATtiny24A/44A/84A datasheet, Calibrated Internal 8 MHz Oscillator"),
    "ATtiny88": (_ONE_8MHZ, "ATtiny48/88 datasheet, Calibrated Internal 8 MHz Oscillator"),
    "ATtiny167": (_ONE_8MHZ, "ATtiny87/167 datasheet, Calibrated Internal RC Oscillator"),
    "ATtiny261A": (_ONE_8MHZ, "ATtiny261A/461A/861A datasheet, Calibrated Internal Oscillator"),
    "ATtiny461A": (_ONE_8MHZ, "ATtiny261A/461A/861A datasheet, Calibrated Internal Oscillator"),
    "ATtiny861": (_ONE_8MHZ, "ATtiny261/461/861 datasheet, Calibrated Internal Oscillator"),
    "ATtiny861A": (_ONE_8MHZ, "ATtiny261A/461A/861A datasheet, Calibrated Internal Oscillator"),
}


def neutral_osccal_label(index):
    """Label of a calibration byte whose frequency the table does not give."""
    return "Calibration byte %d" % index

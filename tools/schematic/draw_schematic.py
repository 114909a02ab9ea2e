#!/usr/bin/env python3
"""Draws the wiring of the programmer's high-voltage add-on, one SVG picture per board.

    python3 tools/schematic/draw_schematic.py [--out DIR]

Without --out the pictures go to docs/ of this script's repository:
docs/hardware-uno.svg (Arduino Uno / Nano build) and docs/hardware-mega.svg (Arduino
Mega 2560 build). The connections come from the tables below, which follow the board
pin maps of docs/hardware.md; change a connection here and in that page together.

Each picture has one row per wire: the board pin on the left, the part in the line
(series resistor, supply switch, 12 V switch, jumper) in the middle and the socket pin
on the right. The two switches are drawn as boxes in the rows and once, transistor by
transistor, in the panel at the bottom. The output is the same bytes on every run and
every machine: no dates, a fixed order, integer coordinates.

Only the Python standard library is used.
"""

import argparse
import sys
from pathlib import Path

# --------------------------------------------------------------------------------------
# The boards and their sockets
#
# A row is (kind, board pin, AVR port, signal, target pins, note):
#   sig     a signal line with a series resistor; signal ends in "<" when the board reads it
#   supply  the socket supply switch (board pin high = target VCC on)
#   hv      the 12 V switch onto the socket's RESET pin (board pin high = 12 V on)
#   gnd     the common ground
#   jumper  the board's 5 V to the ISP header's VCC through a jumper
#   clamp   a signal line with its series resistor (note "R7 4k7") and a Schottky diode
#           from the board side of the resistor to +5 V (signal ends in "|Dn" for its name)
#   join    like clamp, but the line ends on the row above's line instead of a pin
#   hvdiode the 12 V switch onto the UPDI pin through the Schottky diode D3, without R6;
#           its output joins the UPDI line (the first row of the block)
#   supplyj the supply switch through the jumper J2
# target pins: one text per column of the socket block.

R_ISP = "330"
R_HV = "1k"

ISP_ROWS_UNO = [
    ("sig", "D10", "PB2", "RESET", ["5  RESET"], R_ISP),
    ("sig", "D11", "PB3", "MOSI", ["4  MOSI"], R_ISP),
    ("sig", "D12", "PB4", "MISO<", ["1  MISO"], R_ISP),
    ("sig", "D13", "PB5", "SCK", ["3  SCK"], R_ISP),
    ("jumper", "5V", "", "VCC", ["2  VCC"], "J1"),
    ("gnd", "GND", "", "GND", ["6  GND"], ""),
    ("sig", "D6", "PD6", "CLK", ["lead  XTAL1"], R_HV),
]

ISP_ROWS_MEGA = [
    ("sig", "D53", "PB0", "RESET", ["5  RESET"], R_ISP),
    ("sig", "D51", "PB2", "MOSI", ["4  MOSI"], R_ISP),
    ("sig", "D50", "PB3", "MISO<", ["1  MISO"], R_ISP),
    ("sig", "D52", "PB1", "SCK", ["3  SCK"], R_ISP),
    ("jumper", "5V", "", "VCC", ["2  VCC"], "J1"),
    ("gnd", "GND", "", "GND", ["6  GND"], ""),
    ("sig", "D10", "PB4", "CLK", ["lead  XTAL1"], R_HV),
]

# The UPDI header (1x3: 1 UPDI, 2 VCC, 3 GND). The Uno/Nano drives and reads one pin by
# software; the Mega joins TX1 and RX1 as a SerialUPDI adapter does. D1 (and D2) keep the board
# pins at 5.3 V while the 12 V pulse stands on the line.
UPDI_TITLE = "UPDI header (1x3, 0.1 in): tinyAVR 0/1/2, megaAVR 0, AVR DA/DB"
UPDI_ROWS_UNO = [
    ("clamp", "D8", "PB0", "UPDI<>|D1", ["1  UPDI"], "R7 4k7"),
    ("hvdiode", "A2", "PC2", "UPDI", [""], ""),
    ("supplyj", "A3", "PC3", "VCC", ["2  VCC"], ""),
    ("gnd", "GND", "", "GND", ["3  GND"], ""),
]
UPDI_ROWS_MEGA = [
    ("clamp", "D18", "PD3", "TX1|D1", ["1  UPDI"], "R7 4k7"),
    ("join", "D19", "PD2", "RX1<|D2", [""], "R8 10k"),
    ("hvdiode", "A8", "PK0", "UPDI", [""], ""),
    ("supplyj", "A9", "PK1", "VCC", ["2  VCC"], ""),
    ("gnd", "GND", "", "GND", ["3  GND"], ""),
]

HVSP_COLUMNS = ["8-pin: t25/45/85, t13", "14-pin adapter: t24/44/84 *"]


def hvsp_rows(sci, sdo, sii, sdi, supply, hv):
    return [
        ("sig", sci[0], sci[1], "SCI", ["2  PB3", "2  PB0"], R_HV),
        ("sig", sdo[0], sdo[1], "SDO<", ["7  PB2", "9  PA4"], R_HV),
        ("sig", sii[0], sii[1], "SII", ["6  PB1", "8  PA5"], R_HV),
        ("sig", sdi[0], sdi[1], "SDI", ["5  PB0", "7  PA6"], R_HV),
        ("supply", supply[0], supply[1], "VCC", ["8  VCC", "1  VCC"], ""),
        ("hv", hv[0], hv[1], "RESET", ["1  RESET (PB5)", "4  RESET (PB3)"], ""),
        ("gnd", "GND", "", "GND", ["4  GND", "14  GND"], ""),
    ]


# The HVPP bus: one series resistor per line at the board, the four sockets wired in parallel
# behind it (one chip on the add-on at a time), each socket with its own two switches. Columns:
# 28-pin, 40-pin, 20-pin ATtiny2313/4313, 20-pin ATtiny26/261/461/861. "" = no pin there.
HVPP_COLUMNS = ["28-pin: m8/48/88/168/328", "40-pin: m16/32/164/324/644/1284",
                "20-pin: t2313/4313", "20-pin: t26/261/461/861 **"]

HVPP_ROWS = [
    ("sig", "D22", "PA0", "DATA0<>", ["14  PB0", "1  PB0", "12  PB0", "20  PA0"], R_HV),
    ("sig", "D23", "PA1", "DATA1<>", ["15  PB1", "2  PB1", "13  PB1", "19  PA1"], R_HV),
    ("sig", "D24", "PA2", "DATA2<>", ["16  PB2", "3  PB2", "14  PB2", "18  PA2"], R_HV),
    ("sig", "D25", "PA3", "DATA3<>", ["17  PB3", "4  PB3", "15  PB3", "17  PA3"], R_HV),
    ("sig", "D26", "PA4", "DATA4<>", ["18  PB4", "5  PB4", "16  PB4", "14  PA4"], R_HV),
    ("sig", "D27", "PA5", "DATA5<>", ["19  PB5", "6  PB5", "17  PB5", "13  PA5"], R_HV),
    ("sig", "D28", "PA6", "DATA6<>", ["23  PC0", "7  PB6", "18  PB6", "12  PA6"], R_HV),
    ("sig", "D29", "PA7", "DATA7<>", ["24  PC1", "8  PB7", "19  PB7", "11  PA7"], R_HV),
    ("sig", "D37", "PC0", "XTAL1",
     ["9  PB6 (XTAL1)", "13  XTAL1", "5  PA0 (XTAL1)", "7  PB4 (XTAL1)"], R_HV),
    ("sig", "D36", "PC1", "OE", ["4  PD2", "16  PD2", "6  PD2", "8  PB5"], R_HV),
    ("sig", "D35", "PC2", "WR", ["5  PD3", "17  PD3", "7  PD3", "1  PB0"], R_HV),
    ("sig", "D34", "PC3", "BS1", ["6  PD4", "18  PD4", "8  PD4 (BS1/PAGEL)",
                                 "4  PB3 (BS1/PAGEL)"], R_HV),
    ("sig", "D33", "PC4", "XA0", ["11  PD5", "19  PD5", "9  PD5", "2  PB1"], R_HV),
    ("sig", "D32", "PC5", "XA1", ["12  PD6", "20  PD6", "11  PD6 (XA1/BS2)",
                                 "3  PB2 (XA1/BS2)"], R_HV),
    ("sig", "D31", "PC6", "PAGEL", ["13  PD7", "21  PD7", "", ""], R_HV),
    ("sig", "D30", "PC7", "BS2", ["25  PC2", "40  PA0", "", ""], R_HV),
    ("sig", "D49", "PL0", "RDY/BSY<", ["3  PD1", "15  PD1", "3  PD1", "9  PB6"], R_HV),
    ("supply", "D48", "PL1", "VCC", ["7  VCC + 20  AVCC", "", "", ""], ""),
    ("hv", "D47", "PL2", "RESET", ["1  RESET (PC6)", "", "", ""], ""),
    ("supply", "D46", "PL3", "VCC", ["", "10  VCC + 30  AVCC", "", ""], ""),
    ("hv", "D45", "PL4", "RESET", ["", "9  RESET", "", ""], ""),
    ("supply", "D44", "PL5", "VCC", ["", "", "20  VCC", ""], ""),
    ("hv", "D43", "PL6", "RESET", ["", "", "1  RESET (PA2)", ""], ""),
    ("supply", "D41", "PG0", "VCC", ["", "", "", "5  VCC + 15  AVCC"], ""),
    ("hv", "D40", "PG1", "RESET", ["", "", "", "10  RESET (PB7)"], ""),
    ("gnd", "GND", "", "GND", ["8 + 22  GND", "11 + 31  GND", "10  GND", "6 + 16  GND"], ""),
]

BOARDS = {
    "uno": {
        "title": "Brindlequartz programmer: Arduino Uno / Nano build (hardware version 3.0)",
        "board": ["Arduino Uno / Nano", "ATmega328P, 16 MHz"],
        "sockets": [
            ("ISP header (2x3, 0.1 in)", ["pin  signal"], ISP_ROWS_UNO),
            ("HVSP socket", HVSP_COLUMNS,
             hvsp_rows(("D2", "PD2"), ("D3", "PD3"), ("D4", "PD4"), ("D5", "PD5"),
                       ("A0", "PC0"), ("A1", "PC1"))),
            (UPDI_TITLE, ["pin  signal"], UPDI_ROWS_UNO),
        ],
    },
    "mega": {
        "title": "Brindlequartz programmer: Arduino Mega 2560 build (hardware version 4.0)",
        "board": ["Arduino Mega 2560", "ATmega2560, 16 MHz"],
        "sockets": [
            ("ISP header (2x3, 0.1 in)", ["pin  signal"], ISP_ROWS_MEGA),
            ("HVSP socket", HVSP_COLUMNS,
             hvsp_rows(("A3", "PF3"), ("A2", "PF2"), ("A1", "PF1"), ("A0", "PF0"),
                       ("A4", "PF4"), ("A5", "PF5"))),
            ("HVPP sockets on one bus: 28-pin and 20-pin narrow DIP, 40-pin wide DIP",
             HVPP_COLUMNS, HVPP_ROWS),
            (UPDI_TITLE, ["pin  signal"], UPDI_ROWS_MEGA),
        ],
        "notes": [
            "The HVPP sockets share the bus lines and their resistors; each has its own two "
            "switches.",
            "** ATtiny26/261/461/861: OE on PB5 and RDY/BSY on PB6 not confirmed; see "
            "docs/hardware.md.",
        ],
    },
}

NOTES = [
    "12 V reaches only the sockets' RESET pins and, through D3, the UPDI header's UPDI pin;",
    "  never the ISP header. The UPDI header's 12 V switch has no R6: nothing pulls UPDI to 0 V.",
    "The clock lead (CLK) is one more wire beside the ISP cable, to the target's XTAL1; the",
    "  pin is an input unless the rescue or --target-clock runs it (1 MHz).",
    "Put a chip in a socket only while the board is unpowered or idle; one chip at a time.",
    "* ATtiny24/44/84 HVSP pins: port names from the datasheet family, not yet confirmed;",
    "  the pin numbers of those ports are from the vendor's device file. See docs/hardware.md.",
    "Rows end in < where the board reads the line, <> where both sides drive it in turn.",
]

# --------------------------------------------------------------------------------------
# Geometry (pixels; DejaVu Sans Mono advances 0.602 em per character)

FONT = "DejaVu Sans Mono, monospace"
CHAR = {10: 6.02, 11: 6.62, 12: 7.22, 14: 8.43, 16: 9.63}
ROW = 28  # height of a plain row
BOARD_X, BOARD_W = 30, 190
PIN_X = BOARD_X + BOARD_W  # the board's pin edge
PART_X = 330  # centre of the part in a row
SOCKET_X = 560  # left edge of the socket blocks
COLUMN_W = 230  # width of one column of a socket block


def text_width(text, size):
    return int(round(len(text) * CHAR[size]))


class Svg:
    def __init__(self):
        self.items = []

    def add(self, item):
        self.items.append(item)

    def line(self, x1, y1, x2, y2, width=1.5, colour="#000", dash=None):
        extra = f' stroke-dasharray="{dash}"' if dash else ""
        self.add(f'<line x1="{x1}" y1="{y1}" x2="{x2}" y2="{y2}" stroke="{colour}" '
                 f'stroke-width="{width}"{extra}/>')

    def polyline(self, points, width=1.5, colour="#000"):
        pts = " ".join(f"{x},{y}" for x, y in points)
        self.add(f'<polyline points="{pts}" fill="none" stroke="{colour}" '
                 f'stroke-width="{width}"/>')

    def polygon(self, points, fill="#000"):
        pts = " ".join(f"{x},{y}" for x, y in points)
        self.add(f'<polygon points="{pts}" fill="{fill}" stroke="none"/>')

    def rect(self, x, y, w, h, fill="none", colour="#000", width=1.5):
        self.add(f'<rect x="{x}" y="{y}" width="{w}" height="{h}" fill="{fill}" '
                 f'stroke="{colour}" stroke-width="{width}"/>')

    def circle(self, x, y, r, fill="none", width=1.5):
        self.add(f'<circle cx="{x}" cy="{y}" r="{r}" fill="{fill}" stroke="#000" '
                 f'stroke-width="{width}"/>')

    def text(self, x, y, text, size=12, anchor="start", weight="normal", colour="#000"):
        text = text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        bold = ' font-weight="bold"' if weight == "bold" else ""
        self.add(f'<text x="{x}" y="{y}" font-size="{size}" text-anchor="{anchor}"'
                 f' fill="{colour}"{bold}>{text}</text>')

    def render(self, width, height):
        head = [
            '<?xml version="1.0" encoding="UTF-8"?>',
            f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" font-family="{FONT}">',
            f'<rect x="0" y="0" width="{width}" height="{height}" fill="#fff"/>',
        ]
        return "\n".join(head + self.items + ["</svg>", ""])


# --------------------------------------------------------------------------------------
# Symbols


def resistor_h(svg, cx, y, value, name="", below=False):
    """A resistor box in a horizontal wire centred on cx; the wire is drawn by the caller
    up to the box's ends (cx - 18, cx + 18)."""
    svg.rect(cx - 18, y - 6, 36, 12, fill="#fff")
    label = f"{name} {value}".strip()
    svg.text(cx, y + 19 if below else y - 10, label, size=10, anchor="middle")


def resistor_v(svg, x, cy, value, name="", side="right"):
    svg.rect(x - 6, cy - 18, 12, 36, fill="#fff")
    label = f"{name} {value}".strip()
    if side == "right":
        svg.text(x + 10, cy + 4, label, size=10)
    else:
        svg.text(x - 10, cy + 4, label, size=10, anchor="end")


def capacitor_v(svg, x, y1, y2, value, name=""):
    """A capacitor between y1 (top wire) and y2 (bottom wire) on a vertical line at x."""
    mid = (y1 + y2) // 2
    svg.line(x, y1, x, mid - 4)
    svg.line(x, mid + 4, x, y2)
    svg.line(x - 10, mid - 4, x + 10, mid - 4, width=2.5)
    svg.line(x - 10, mid + 4, x + 10, mid + 4, width=2.5)
    svg.text(x + 14, mid + 4, f"{name} {value}".strip(), size=10)


def ground(svg, x, y):
    """A ground symbol hanging from (x, y)."""
    svg.line(x, y, x, y + 6)
    svg.line(x - 9, y + 6, x + 9, y + 6, width=2)
    svg.line(x - 6, y + 10, x + 6, y + 10, width=2)
    svg.line(x - 3, y + 14, x + 3, y + 14, width=2)


def rail(svg, x, y, label):
    """A supply flag: a short bar at (x, y) with its net name above."""
    svg.line(x - 10, y, x + 10, y, width=2)
    svg.text(x, y - 5, label, size=11, anchor="middle", weight="bold")


def diode_up(svg, x, y1, y2, name):
    """A diode on a vertical wire from y1 (anode, below) up to y2 (cathode, above)."""
    mid = (y1 + y2) // 2
    svg.line(x, y1, x, mid + 6)
    svg.polygon([(x - 7, mid + 6), (x + 7, mid + 6), (x, mid - 6)])
    svg.line(x - 7, mid - 6, x + 7, mid - 6, width=2)
    svg.line(x, mid - 6, x, y2)
    svg.text(x - 10, mid + 4, name, size=10, anchor="end")


def diode_right(svg, cx, y, name):
    """A diode in a horizontal wire, anode on the left, centred on cx; the wire is drawn by
    the caller up to cx - 8 and from cx + 8."""
    svg.polygon([(cx - 8, y - 7), (cx - 8, y + 7), (cx + 6, y)])
    svg.line(cx + 6, y - 7, cx + 6, y + 7, width=2)
    svg.text(cx, y - 10, name, size=10, anchor="middle")


def dot(svg, x, y):
    svg.circle(x, y, 3, fill="#000", width=1)


def transistor(svg, x, y, kind, name, part):
    """A bipolar transistor whose base lead enters from the left at (x - 26, y).
    NPN: collector up, emitter down (arrow out). PNP: emitter up (arrow in), collector
    down. Returns the (x, y) of the upper and lower leads' ends."""
    svg.circle(x, y, 18)
    svg.line(x - 26, y, x - 8, y)
    svg.line(x - 8, y - 11, x - 8, y + 11, width=2.5)
    svg.line(x - 8, y - 5, x + 6, y - 16)
    svg.line(x - 8, y + 5, x + 6, y + 16)
    svg.line(x + 6, y - 16, x + 6, y - 30)
    svg.line(x + 6, y + 16, x + 6, y + 30)
    if kind == "npn":  # arrow on the emitter, pointing away from the base
        svg.polygon([(x + 6, y + 16), (x - 3, y + 15), (x + 2, y + 9)])
    else:  # arrow on the emitter, pointing at the base
        svg.polygon([(x - 8, y - 5), (x + 1, y - 6), (x - 3, y - 12)])
    svg.text(x + 22, y - 2, name, size=11, weight="bold")
    svg.text(x + 22, y + 11, part, size=10)
    return (x + 6, y - 30), (x + 6, y + 30)


# --------------------------------------------------------------------------------------
# The rows


JOIN_X = SOCKET_X - 30  # where the UPDI header's lines meet


def row_height(kind):
    return {"supply": 64, "hv": 64, "supplyj": 84, "hvdiode": 36}.get(kind, ROW)


def row_top_gap(kind):
    return {"supply": 22, "hv": 22, "supplyj": 22, "hvdiode": 22, "clamp": 52,
            "join": 52}.get(kind, 0)


def draw_row(svg, y, row, first_y=None):
    kind, pin, port, signal, _targets, note = row
    signal, _, diode = signal.partition("|")
    # the board pin
    svg.text(PIN_X - 8, y + 4, f"{pin:<4}{port:>4}", size=12, anchor="end")
    svg.line(PIN_X, y, PIN_X + 12, y)
    svg.circle(PIN_X, y, 2.5, fill="#fff", width=1.2)
    name = signal.rstrip("<>")
    reads = signal.endswith("<")
    if kind == "sig":
        svg.line(PIN_X + 12, y, PART_X - 18, y)
        resistor_h(svg, PART_X, y, note)
        svg.line(PART_X + 18, y, SOCKET_X, y)
        arrow = "<>" if signal.endswith("<>") else ("<" if reads else ">")
        label = {"<>": "<->", "<": "<-", ">": "->"}[arrow]
        svg.text(PART_X + 40, y - 4, f"{name} {label}", size=11)
    elif kind in ("clamp", "join"):
        end = SOCKET_X if kind == "clamp" else JOIN_X
        svg.line(PIN_X + 12, y, PART_X - 18, y)
        resistor_h(svg, PART_X, y, note)
        svg.line(PART_X + 18, y, end, y)
        arrow = "<->" if signal.endswith("<>") else ("<-" if reads else "->")
        svg.text(PART_X + 40, y - 4, f"{name} {arrow}", size=11)
        # the clamp: from the board side of the resistor to +5V
        cx = PART_X - 50
        dot(svg, cx, y)
        diode_up(svg, cx, y, y - 40, diode + " BAT43")
        rail(svg, cx, y - 40, "+5V")
        if kind == "join":
            dot(svg, JOIN_X, first_y)
            svg.line(JOIN_X, y, JOIN_X, first_y)
    elif kind == "gnd":
        svg.line(PIN_X + 12, y, SOCKET_X, y, width=2)
        svg.text(PART_X + 40, y - 4, "GND (common)", size=11)
    elif kind == "jumper":
        svg.line(PIN_X + 12, y, PART_X - 10, y)
        svg.circle(PART_X - 7, y, 3, fill="#fff")
        svg.circle(PART_X + 7, y, 3, fill="#fff")
        svg.rect(PART_X - 14, y - 7, 28, 14, colour="#666", width=1)
        svg.line(PART_X + 10, y, SOCKET_X, y)
        svg.text(PART_X + 20, y - 5, f"VCC, {note}: unpowered target only", size=10)
    elif kind == "hvdiode":  # the 12 V switch onto the UPDI line through D3, no R6
        box_w = 112
        left = PART_X - box_w // 2
        svg.line(PIN_X + 12, y, left, y)
        svg.rect(left, y - 12, box_w, 24, fill="#f4f4f4")
        svg.text(PART_X, y + 4, "12 V SWITCH", size=11, anchor="middle", weight="bold")
        svg.text(left + 3, y + 23, "IN", size=9)
        svg.text(left + box_w - 3, y + 23, "OUT", size=9, anchor="end")
        svg.line(PART_X, y - 12, PART_X, y - 20)
        rail(svg, PART_X, y - 20, "+12V")
        dx = PART_X + 120
        svg.line(PART_X + box_w // 2, y, dx - 8, y)
        diode_right(svg, dx, y, "D3 BAT43")
        svg.line(dx + 8, y, JOIN_X, y)
        svg.line(JOIN_X, y, JOIN_X, first_y)
        dot(svg, JOIN_X, first_y)
        svg.text(dx + 16, y + 16, "no R6", size=10)
    else:  # supply or hv: a switch box, then parts to ground below the row
        box_w = 112
        left = PART_X - box_w // 2
        svg.line(PIN_X + 12, y, left, y)
        svg.rect(left, y - 12, box_w, 24, fill="#f4f4f4")
        jumper = kind == "supplyj"
        kind = "supply" if jumper else kind
        title = "SUPPLY SWITCH" if kind == "supply" else "12 V SWITCH"
        svg.text(PART_X, y + 4, title, size=11, anchor="middle", weight="bold")
        svg.text(left + 3, y + 23, "IN", size=9)
        svg.text(left + box_w - 3, y + 23, "OUT", size=9, anchor="end")
        svg.line(PART_X, y - 12, PART_X, y - 20)
        rail(svg, PART_X, y - 20, "+5V" if kind == "supply" else "+12V")
        svg.line(PART_X + box_w // 2, y, SOCKET_X, y, width=2 if kind == "supply" else 1.5)
        if jumper:  # J2 between the switch and the header's VCC
            jx = PART_X + 92
            svg.rect(jx - 14, y - 7, 28, 14, fill="#fff", colour="#666", width=1)
            svg.circle(jx - 7, y, 3, fill="#fff")
            svg.circle(jx + 7, y, 3, fill="#fff")
            svg.text(jx, y - 11, "J2", size=10, anchor="middle")
        else:
            svg.text(PART_X + 70, y - 4, "VCC_T" if kind == "supply" else "RESET_HV", size=11)
        if kind == "supply":
            cx, bx = SOCKET_X - 60, SOCKET_X - 110
            dot(svg, cx, y)
            capacitor_v(svg, cx, y, y + 36, "100n", "C1")
            ground(svg, cx, y + 36)
            dot(svg, bx, y)
            svg.line(bx, y, bx, y + 6)
            resistor_v(svg, bx, y + 22, "10k", "R5", side="left")
            ground(svg, bx, y + 40)
        else:
            px = SOCKET_X - 60
            dot(svg, px, y)
            svg.line(px, y, px, y + 4)
            resistor_v(svg, px, y + 22, "1k", "R6", side="right")
            ground(svg, px, y + 40)


def draw_socket(svg, top, title, columns, rows, ys):
    width = COLUMN_W * len(columns)
    bottom = ys[-1] + 16
    svg.rect(SOCKET_X, top, width, bottom - top, fill="#fbfbf4")
    svg.text(SOCKET_X, top - 26, title, size=12, weight="bold")
    for i, head in enumerate(columns):
        x = SOCKET_X + i * COLUMN_W
        svg.text(x + 8, top - 8, head, size=10)
        if i:
            svg.line(x, top, x, bottom, width=1, colour="#999", dash="4,3")
    for row, y in zip(rows, ys):
        for i, target in enumerate(row[4]):
            if not target:
                continue
            x = SOCKET_X + i * COLUMN_W
            svg.circle(x, y, 2.5, fill="#fff", width=1.2)
            svg.text(x + 10, y + 4, target, size=12)
    return bottom


def layout(board):
    """The y of every row and the top of every socket block, in drawing order."""
    y = 140
    blocks = []
    for title, columns, rows in board["sockets"]:
        top = y
        ys = []
        y += 24
        for row in rows:
            y += row_top_gap(row[0])
            ys.append(y)
            y += row_height(row[0])
        blocks.append((top, title, columns, rows, ys))
        y += 60
    return blocks, y


# --------------------------------------------------------------------------------------
# The switch detail panel


def draw_switch_detail(svg, x0, y0, kind):
    """One switch, transistor by transistor, in a panel 340 pixels wide. The board pin
    enters on the left."""
    supply = kind == "supply"
    svg.text(x0, y0, "SUPPLY SWITCH" if supply else "12 V SWITCH", size=12, weight="bold")
    svg.text(x0, y0 + 15, "board pin high = socket VCC on" if supply else
             "board pin high = 12 V on the socket's RESET", size=10)
    # Q1: NPN driver, base from the board pin through R1, R2 from base to ground
    qx, qy = x0 + 140, y0 + 150
    svg.text(x0, qy + 4, "IN", size=11, weight="bold")
    svg.line(x0 + 20, qy, x0 + 42, qy)
    resistor_h(svg, x0 + 60, qy, "4k7", "R1")
    svg.line(x0 + 78, qy, qx - 26, qy)
    node = x0 + 94
    dot(svg, node, qy)
    svg.line(node, qy, node, qy + 14)
    resistor_v(svg, node, qy + 32, "10k", "R2", side="left")
    ground(svg, node, qy + 50)
    (cx, cy), (ex, ey) = transistor(svg, qx, qy, "npn", "Q1", "BC547")
    ground(svg, ex, ey)
    # Q2: PNP high-side switch; base through R3 to Q1's collector, R4 from base to emitter
    px, py = qx + 116, y0 + 90
    base_x = px - 26
    svg.line(cx, cy, cx, py)
    svg.line(cx, py, base_x - 58, py)
    resistor_h(svg, base_x - 40, py, "1k" if supply else "4k7", "R3", below=True)
    svg.line(base_x - 22, py, base_x, py)
    (ux, uy), (lx, ly) = transistor(svg, px, py, "pnp", "Q2", "BC557")
    rail_y = y0 + 40
    node = base_x - 10
    dot(svg, node, py)
    svg.line(node, py, node, py - 6)
    resistor_v(svg, node, py - 24, "10k", "R4", side="left")
    svg.line(node, py - 42, node, rail_y)
    svg.line(node, rail_y, ux + 40, rail_y)
    svg.line(ux, uy, ux, rail_y)
    dot(svg, ux, rail_y)
    rail(svg, ux + 50, rail_y, "+5V" if supply else "+12V")
    svg.line(ux + 40, rail_y, ux + 50, rail_y)
    # the collector is the output
    out_y = ly + 24
    svg.line(lx, ly, lx, out_y)
    svg.line(lx, out_y, lx + 24, out_y)
    svg.circle(lx + 27, out_y, 2.5, fill="#fff", width=1.2)
    svg.text(lx + 34, out_y + 4, "OUT", size=11, weight="bold")
    svg.text(lx + 34, out_y + 18, "VCC_T" if supply else "RESET_HV", size=10)
    lines = (["At the socket: C1 100 nF and R5 10k from",
              "VCC_T to GND. No larger capacitor:",
              "VCC must rise within 20 us."] if supply else
             ["At the socket: R6 1k from RESET_HV to GND",
              "holds RESET at 0 V while the 12 V is off",
              "(12 mA, 0.15 W while on: use 0.25 W)."])
    lines.append("Board pin floating or low: Q1, Q2 off.")
    for i, line in enumerate(lines):
        svg.text(x0, y0 + 236 + 14 * i, line, size=10)


def draw_source(svg, x0, y0):
    svg.text(x0, y0, "12 V SOURCE", size=12, weight="bold")
    svg.rect(x0, y0 + 14, 180, 60, fill="#f4f4f4")
    svg.text(x0 + 90, y0 + 36, "regulated 12.0 V", size=11, anchor="middle")
    svg.text(x0 + 90, y0 + 52, "(adapter, or boost", size=10, anchor="middle")
    svg.text(x0 + 90, y0 + 65, "module from 5 V)", size=10, anchor="middle")
    svg.line(x0 + 180, y0 + 30, x0 + 230, y0 + 30)
    rail(svg, x0 + 240, y0 + 30, "+12V")
    svg.line(x0 + 230, y0 + 30, x0 + 240, y0 + 30)
    svg.line(x0 + 180, y0 + 60, x0 + 230, y0 + 60)
    ground(svg, x0 + 230, y0 + 60)
    svg.text(x0, y0 + 100, "11.5 to 12.5 V at RESET with", size=10)
    svg.text(x0, y0 + 113, "the switch on; minus to the", size=10)
    svg.text(x0, y0 + 126, "board's GND.", size=10)


# --------------------------------------------------------------------------------------
# A whole picture


def draw(board):
    svg = Svg()
    blocks, y_end = layout(board)
    right = SOCKET_X + max(COLUMN_W * len(b[2]) for b in blocks) + 20
    width = max(right, 1000)
    svg.text(30, 34, board["title"], size=16, weight="bold")
    svg.text(30, 54, "Wiring of the ISP header, the high-voltage sockets and the UPDI header. "
             "Resistor values in ohms (4k7 = 4.7 kOhm).", size=11)
    # the board block spans every row
    top = blocks[0][4][0] - 80
    bottom = blocks[-1][4][-1] + 20
    svg.rect(BOARD_X, top, BOARD_W, bottom - top, fill="#eef3fb")
    svg.text(BOARD_X + 10, top + 20, board["board"][0], size=12, weight="bold")
    svg.text(BOARD_X + 10, top + 36, board["board"][1], size=11)
    svg.text(BOARD_X + 10, top + 52, "pin  port", size=10, colour="#555")
    for block_top, title, columns, rows, ys in blocks:
        for row, y in zip(rows, ys):
            draw_row(svg, y, row, ys[0])
        draw_socket(svg, block_top + 12, title, columns, rows, ys)
    # the detail panel
    y0 = y_end
    svg.line(30, y0 - 24, width - 30, y0 - 24, width=1, colour="#999")
    draw_switch_detail(svg, 40, y0 + 10, "supply")
    draw_switch_detail(svg, 400, y0 + 10, "hv")
    draw_source(svg, 770, y0 + 10)
    y = y0 + 330
    for note in NOTES + board.get("notes", []):
        svg.text(40, y, note, size=11)
        y += 16
    return svg.render(width, y + 10)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path,
                        default=Path(__file__).resolve().parents[2] / "docs",
                        help="folder for hardware-uno.svg and hardware-mega.svg (default: docs/)")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    for name in sorted(BOARDS):
        path = args.out / f"hardware-{name}.svg"
        path.write_bytes(draw(BOARDS[name]).encode("utf-8"))
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Draws every picture the desktop program carries and writes it into res/.

    python3 tools/res/draw_resources.py [--out DIR] [--sheet FILE.png]

Without --out the files go to res/ of this script's repository: res/images/ (BMP for the
Windows resource script, PNG for Qt), res/brindlequartz.ico and res/qt/resources.qrc. The output is the
same bytes on every run and every machine: shapes are sampled on a fixed grid with
integer blending, and PNG data is stored in uncompressed deflate blocks, so no zlib
version can change a byte. --sheet also writes a contact sheet of every picture
enlarged 8 times, on a chequer board that shows the transparent pixels.

Only the Python standard library is used.
"""

import argparse
import struct
import sys
import zlib
from pathlib import Path

# --------------------------------------------------------------------------------------
# Canvas and shapes

SAMPLES = 8  # sub-samples per pixel side: 64 coverage samples per pixel


class Canvas:
    """RGBA pixels with straight (not premultiplied) alpha, 0..255 integers. Drawing
    coordinates are in picture pixels; a canvas of scale 2 has twice as many pixels each
    way and draws the same picture sharper (for high-density screens)."""

    def __init__(self, width, height, scale=1):
        self.scale = scale
        self.width = width * scale
        self.height = height * scale
        self.px = [[0, 0, 0, 0] for _ in range(self.width * self.height)]

    def get(self, x, y):
        return self.px[y * self.width + x]

    def blend(self, x, y, rgb, alpha):
        """Porter-Duff "over" of one colour with alpha 0..255, in integers."""
        if alpha <= 0 or not (0 <= x < self.width and 0 <= y < self.height):
            return
        d = self.px[y * self.width + x]
        keep = d[3] * (255 - alpha)  # destination weight, scaled by 255
        total = alpha * 255 + keep
        if total == 0:
            return
        out = [(2 * (rgb[i] * alpha * 255 + d[i] * keep) + total) // (2 * total) for i in range(3)]
        out.append((2 * total + 255) // 510)
        self.px[y * self.width + x] = out

    def blit(self, other, ox, oy):
        for y in range(other.height):
            for x in range(other.width):
                p = other.get(x, y)
                self.blend(ox + x, oy + y, p[:3], p[3])


def fill(cv, inside, rgb, box=None, alpha=255):
    """Covers every pixel by the share of its sample points for which inside(x, y) holds;
    x and y are picture coordinates."""
    k = cv.scale
    x0, y0, x1, y1 = (v * k for v in box) if box else (0, 0, cv.width, cv.height)
    x0, y0 = max(0, int(x0) - 1), max(0, int(y0) - 1)
    x1, y1 = min(cv.width, int(x1) + 2), min(cv.height, int(y1) + 2)
    n = SAMPLES * SAMPLES
    offs = [(i + 0.5) / SAMPLES for i in range(SAMPLES)]
    for py in range(y0, y1):
        for px in range(x0, x1):
            hits = 0
            for sy in offs:
                for sx in offs:
                    if inside((px + sx) / k, (py + sy) / k):
                        hits += 1
            if hits:
                cv.blend(px, py, rgb, (alpha * hits * 2 + n) // (2 * n))


def rect(cv, x0, y0, x1, y1, rgb, alpha=255):
    fill(cv, lambda x, y: x0 <= x < x1 and y0 <= y < y1, rgb, (x0, y0, x1, y1), alpha)


def disc(cv, cx, cy, r, rgb, alpha=255):
    rr = r * r
    fill(cv, lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 < rr, rgb,
         (cx - r, cy - r, cx + r, cy + r), alpha)


def ring(cv, cx, cy, r_in, r_out, rgb):
    r1, r2 = r_in * r_in, r_out * r_out
    fill(cv, lambda x, y: r1 <= (x - cx) ** 2 + (y - cy) ** 2 < r2, rgb,
         (cx - r_out, cy - r_out, cx + r_out, cy + r_out))


def polygon(cv, pts, rgb, alpha=255):
    def inside(x, y):
        c = False
        j = len(pts) - 1
        for i in range(len(pts)):
            xi, yi = pts[i]
            xj, yj = pts[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                c = not c
            j = i
        return c
    xs = [p[0] for p in pts]
    ys = [p[1] for p in pts]
    fill(cv, inside, rgb, (min(xs), min(ys), max(xs), max(ys)), alpha)


def _seg_dist2(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    ll = dx * dx + dy * dy
    t = 0.0 if ll == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / ll))
    ex, ey = ax + t * dx - x, ay + t * dy - y
    return ex * ex + ey * ey


def stroke(cv, pts, width, rgb, alpha=255):
    """A polyline of the given width with round joins and ends."""
    h2 = (width / 2) ** 2
    segs = list(zip(pts, pts[1:]))

    def inside(x, y):
        return any(_seg_dist2(x, y, a[0], a[1], b[0], b[1]) <= h2 for a, b in segs)
    xs = [p[0] for p in pts]
    ys = [p[1] for p in pts]
    w = width / 2
    fill(cv, inside, rgb, (min(xs) - w, min(ys) - w, max(xs) + w, max(ys) + w), alpha)


def arc_ring(cv, cx, cy, r_in, r_out, start, end, rgb):
    """A ring sector from direction start to end (unit vectors, turning clockwise on screen)."""
    r1, r2 = r_in * r_in, r_out * r_out
    sx, sy = start
    ex, ey = end

    def inside(x, y):
        dx, dy = x - cx, y - cy
        d = dx * dx + dy * dy
        if not (r1 <= d < r2):
            return False
        # within the clockwise sweep from start to end
        a = sx * dy - sy * dx
        b = dx * ey - dy * ex
        wide = sx * ey - sy * ex < 0
        return (a >= 0 and b >= 0) if not wide else (a >= 0 or b >= 0)
    fill(cv, inside, rgb, (cx - r_out, cy - r_out, cx + r_out, cy + r_out))


def glyph(cv, rows, x, y, rgb, outline=None):
    """Pixel text: rows of '#' and '.', optionally with a 1-pixel outline around it."""
    cells = [(x + i, y + j) for j, row in enumerate(rows) for i, ch in enumerate(row) if ch == "#"]
    if outline:
        ring = set()
        for cx, cy in cells:
            for dx in (-1, 0, 1):
                for dy in (-1, 0, 1):
                    ring.add((cx + dx, cy + dy))
        for cx, cy in sorted(ring - set(cells)):
            rect(cv, cx, cy, cx + 1, cy + 1, outline)
    for cx, cy in cells:
        rect(cv, cx, cy, cx + 1, cy + 1, rgb)


# Rounded unit vectors of the 8 and 16 compass directions (rounded so that no libm
# difference can reach the pictures).
_DIRS16 = [(1.0, 0.0), (0.92388, 0.382683), (0.707107, 0.707107), (0.382683, 0.92388),
           (0.0, 1.0), (-0.382683, 0.92388), (-0.707107, 0.707107), (-0.92388, 0.382683),
           (-1.0, 0.0), (-0.92388, -0.382683), (-0.707107, -0.707107), (-0.382683, -0.92388),
           (0.0, -1.0), (0.382683, -0.92388), (0.707107, -0.707107), (0.92388, -0.382683)]

# --------------------------------------------------------------------------------------
# Colours

OUTLINE = (30, 30, 36)
CHIP_BLACK = (74, 74, 84)
PIN = (178, 178, 190)
PIN_DARK = (110, 110, 122)
CHIP_GREEN = (34, 140, 64)
CHIP_GREEN_DARK = (18, 88, 38)
CHIP_RED = (196, 36, 36)
CHIP_RED_DARK = (120, 16, 16)
WHITE = (255, 255, 255)
YELLOW = (255, 214, 0)
RED = (220, 28, 28)
BLUE = (32, 96, 208)
GREEN = (40, 160, 60)

# --------------------------------------------------------------------------------------
# Building blocks of the toolbar pictures


def chip(cv, x0, y0, x1, y1, body, dark, pins):
    """A DIP package seen from above: pins left and right, notch at the top edge."""
    step = (y1 - y0) / pins
    for k in range(pins):
        py = int(y0 + step * k + step / 2)
        rect(cv, x0 - 2, py, x0, py + 1, PIN_DARK)
        rect(cv, x1, py, x1 + 2, py + 1, PIN_DARK)
    rect(cv, x0, y0, x1, y1, dark)
    rect(cv, x0 + 1, y0 + 1, x1 - 1, y1 - 1, body)
    mid = (x0 + x1) / 2
    rect(cv, mid - 1, y0 + 1, mid + 1, y0 + 2, dark)


def memory_stick(cv, x0, y0, x1):
    """A memory module: green board, black chips, gold contacts. Five pixels tall."""
    rect(cv, x0, y0, x1, y0 + 5, CHIP_GREEN_DARK)
    rect(cv, x0 + 1, y0 + 1, x1 - 1, y0 + 4, CHIP_GREEN)
    x = x0 + 2
    while x + 2 <= x1 - 2:
        rect(cv, x, y0 + 1, x + 2, y0 + 3, CHIP_BLACK)
        x += 3
    for cx in range(x0 + 1, x1 - 1, 2):
        rect(cv, cx, y0 + 4, cx + 1, y0 + 5, (226, 178, 40))


def arrow_down(cv, cx, y_top, y_tip, rgb):
    """A solid arrow, two pixels wide, its head four pixels tall; cx lies between pixels."""
    rect(cv, cx - 1, y_top, cx + 1, y_tip - 3, rgb)
    polygon(cv, [(cx - 3.5, y_tip - 4), (cx + 3.5, y_tip - 4), (cx, y_tip)], rgb)


def arrow_up(cv, cx, y_tip, y_bottom, rgb):
    rect(cv, cx - 1, y_tip + 3, cx + 1, y_bottom, rgb)
    polygon(cv, [(cx - 3.5, y_tip + 4), (cx + 3.5, y_tip + 4), (cx, y_tip)], rgb)


QUESTION = [".###.", "#...#", "....#", "..##.", "..#..", ".....", "..#.."]
LETTER_I = ["###", ".#.", ".#.", ".#.", ".#.", ".#.", "###"]
LETTER_C = [".####", "##..#", "##...", "##...", "##...", "##..#", ".####"]
EQUALS = ["####", "....", "####"]

# --------------------------------------------------------------------------------------
# Toolbar strip: 15 pictures of 16 x 16, in strip order.


def tb_clear(cv):
    # A red eraser lying at 45 degrees over a wiped line.
    rect(cv, 1, 14, 15, 15, (150, 150, 160))
    s = 0.707107
    cx, cy, half_l, half_w = 8.5, 7.5, 6.6, 3.2

    def corner(u, v):
        return (cx + u * s + v * s, cy - u * s + v * s)
    body = [corner(-half_l, -half_w), corner(half_l, -half_w), corner(half_l, half_w),
            corner(-half_l, half_w)]
    polygon(cv, body, (96, 20, 20))
    inner = [corner(-half_l + 0.9, -half_w + 0.9), corner(half_l - 0.9, -half_w + 0.9),
             corner(half_l - 0.9, half_w - 0.9), corner(-half_l + 0.9, half_w - 0.9)]
    polygon(cv, inner, (232, 48, 48))
    sleeve = [corner(-half_l + 0.9, -half_w + 0.9), corner(-1.2, -half_w + 0.9),
              corner(-1.2, half_w - 0.9), corner(-half_l + 0.9, half_w - 0.9)]
    polygon(cv, sleeve, (244, 236, 236))
    stroke(cv, [corner(-1.2, -half_w + 0.5), corner(-1.2, half_w - 0.5)], 0.9, (96, 20, 20))


def tb_load(cv):
    # An open yellow folder, a green arrow coming out of it.
    polygon(cv, [(0.5, 3.5), (5.5, 3.5), (7, 5), (13.5, 5), (13.5, 14.5), (0.5, 14.5)],
            (150, 110, 20))
    polygon(cv, [(1.5, 4.5), (5, 4.5), (6.5, 6), (12.5, 6), (12.5, 13.5), (1.5, 13.5)],
            (226, 184, 64))
    polygon(cv, [(0.5, 14.5), (3, 8), (15.8, 8), (13.5, 14.5)], (150, 110, 20))
    polygon(cv, [(1.8, 13.6), (3.7, 9), (14.4, 9), (12.8, 13.6)], (250, 214, 96))
    arrow_up(cv, 11, 0, 7, (60, 184, 72))


def tb_save(cv):
    # A blue floppy disk: metal shutter at the top, white label below.
    polygon(cv, [(1, 1), (13, 1), (15, 3), (15, 15), (1, 15)], (20, 40, 100))
    polygon(cv, [(2, 2), (12.6, 2), (14, 3.4), (14, 14), (2, 14)], (52, 96, 190))
    rect(cv, 4, 1, 12, 6, (20, 40, 100))
    rect(cv, 5, 2, 11, 6, (206, 210, 222))
    rect(cv, 8, 3, 10, 5, (20, 40, 100))
    rect(cv, 3, 8, 13, 15, (20, 40, 100))
    rect(cv, 4, 9, 12, 14, WHITE)
    rect(cv, 5, 10, 11, 11, (150, 170, 220))
    rect(cv, 5, 12, 11, 13, (150, 170, 220))


def gear(cv, cx, cy, r_out, r_in, r_hole, teeth, body, dark):
    step = len(_DIRS16) // teeth

    def inside(x, y):
        dx, dy = x - cx, y - cy
        d2 = dx * dx + dy * dy
        if d2 < r_hole * r_hole or d2 >= r_out * r_out:
            return False
        if d2 < r_in * r_in:
            return True
        d = d2 ** 0.5
        for k in range(0, len(_DIRS16), step):
            ux, uy = _DIRS16[k]
            # distance from the tooth's centre line
            if abs(dx * uy - dy * ux) < 1.1 * r_out / 5.5 and dx * ux + dy * uy > 0:
                return d < r_out
        return False
    fill(cv, inside, dark, (cx - r_out, cy - r_out, cx + r_out, cy + r_out))
    ring(cv, cx, cy, r_hole + 0.8, r_in - 0.8, body)


def tb_settings(cv):
    # Two grey gears and a screwdriver with a yellow handle.
    gear(cv, 6, 10, 5.8, 4.3, 1.5, 8, (150, 150, 162), (66, 66, 78))
    gear(cv, 12.2, 12.2, 3.4, 2.4, 0.9, 8, (150, 150, 162), (66, 66, 78))
    stroke(cv, [(5.6, 10.4), (10.3, 5.7)], 1.6, (66, 66, 78))
    stroke(cv, [(5.6, 10.4), (10.3, 5.7)], 0.7, (200, 200, 210))
    stroke(cv, [(10.2, 5.8), (14.6, 1.4)], 3.2, (140, 90, 0))
    stroke(cv, [(10.4, 5.6), (14.4, 1.6)], 2.0, (250, 190, 30))


def tb_reload(cv):
    # A green circular arrow.
    d = _DIRS16
    arc_ring(cv, 8, 8.5, 3.2, 6.2, d[13], d[10], (20, 110, 36))
    arc_ring(cv, 8, 8.5, 4.0, 5.4, d[13], d[10], (60, 184, 72))
    polygon(cv, [(9.2, 0.6), (14.6, 3.2), (10.2, 7.6)], (20, 110, 36))
    polygon(cv, [(10.1, 1.9), (13.0, 3.4), (10.6, 5.8)], (60, 184, 72))


def tb_spare(cv):
    pass  # not used by the toolbar; left transparent


def tb_write(cv):
    # Memory above, chip below, a red arrow from the memory into the chip.
    memory_stick(cv, 1, 0, 15)
    chip(cv, 4, 11, 12, 16, CHIP_BLACK, OUTLINE, 2)
    arrow_down(cv, 8, 5, 11, RED)


def tb_read(cv):
    # Memory above, chip below, a blue arrow from the chip up into the memory.
    memory_stick(cv, 1, 0, 15)
    chip(cv, 4, 11, 12, 16, CHIP_BLACK, OUTLINE, 2)
    arrow_up(cv, 8, 5, 11, BLUE)


def tb_verify(cv):
    # Memory = ? over a chip.
    chip(cv, 4, 8, 12, 16, CHIP_BLACK, OUTLINE, 3)
    rect(cv, 0, 0, 5, 7, CHIP_GREEN_DARK)
    rect(cv, 1, 1, 4, 6, CHIP_GREEN)
    rect(cv, 2, 2, 3, 5, CHIP_BLACK)
    glyph(cv, ["###", "...", "###"], 6, 2, (30, 30, 30))
    glyph(cv, QUESTION, 10, 0, BLUE)


def tb_identify(cv):
    # "I?" over a green chip.
    chip(cv, 2, 1, 14, 15, CHIP_GREEN, CHIP_GREEN_DARK, 5)
    glyph(cv, LETTER_I, 4, 5, WHITE)
    glyph(cv, QUESTION, 8, 5, WHITE)


def tb_erase(cv):
    # A red letter C over a red chip.
    chip(cv, 2, 1, 14, 15, (150, 22, 22), CHIP_RED_DARK, 5)
    glyph(cv, LETTER_C, 6, 5, (255, 104, 104))


def tb_blank(cv):
    # A yellow question mark over a green chip.
    chip(cv, 2, 1, 14, 15, CHIP_GREEN, CHIP_GREEN_DARK, 5)
    glyph(cv, QUESTION, 6, 5, YELLOW, (20, 60, 20))


# Strip order. Pictures 4 to 7 and 14 have no toolbar button; 4 suits Buffer > Reload.
TOOLBAR = [
    ("clear", tb_clear),      # 0  button 500 Clear buffer
    ("load", tb_load),        # 1  button 501 Load file into buffer
    ("save", tb_save),        # 2  button 502 Save buffer to file
    ("settings", tb_settings),  # 3  button 510 Settings
    ("reload", tb_reload),    # 4  (Buffer > Reload)
    (None, tb_spare),         # 5
    (None, tb_spare),         # 6
    (None, tb_spare),         # 7
    ("write", tb_write),      # 8  button 503 Write buffer into chip
    ("read", tb_read),        # 9  button 504 Read chip into buffer
    ("verify", tb_verify),    # 10 button 506 Verify
    ("identify", tb_identify),  # 11 button 509 Identify chip
    ("erase", tb_erase),      # 12 button 507 Erase chip
    ("blank_check", tb_blank),  # 13 button 505 Blank check
    (None, tb_spare),         # 14
]

# --------------------------------------------------------------------------------------
# Log icons, 16 x 16


def ring_disc(cv, body, dark):
    disc(cv, 8, 8, 7.6, dark)
    disc(cv, 8, 8, 6.7, body)


def log_info(cv):
    ring_disc(cv, (28, 110, 220), (12, 60, 150))
    disc(cv, 8, 4.6, 1.25, WHITE)
    rect(cv, 7, 7, 9, 12.5, WHITE)
    rect(cv, 6, 7, 7, 8, WHITE)
    rect(cv, 6, 11.5, 10, 12.5, WHITE)


def log_success(cv):
    ring_disc(cv, (40, 160, 64), (16, 100, 36))
    stroke(cv, [(4.6, 8.4), (7.0, 10.8), (11.6, 5.4)], 2.1, WHITE)


def log_warning(cv):
    polygon(cv, [(8, 0.4), (15.8, 15.0), (0.2, 15.0)], (168, 86, 0))
    polygon(cv, [(8, 2.3), (14.3, 14.0), (1.7, 14.0)], (250, 156, 20))
    rect(cv, 7, 5, 9, 10.5, (24, 24, 24))
    rect(cv, 7, 11.5, 9, 13.5, (24, 24, 24))


def log_error(cv):
    ring_disc(cv, (214, 34, 34), (140, 10, 10))
    stroke(cv, [(5.2, 5.2), (10.8, 10.8)], 2.1, WHITE)
    stroke(cv, [(10.8, 5.2), (5.2, 10.8)], 2.1, WHITE)


LOG_ICONS = [("log_info", log_info), ("log_success", log_success),
             ("log_warning", log_warning), ("log_error", log_error)]

# --------------------------------------------------------------------------------------
# Check-box strip: six pictures of 15 x 15.

GREY_FRAME = (122, 122, 122)
RED_FRAME = (220, 0, 0)


def check_box(cv, ox, frame_rgb, checked, thick, fill_rgb=WHITE, tick=(20, 20, 20)):
    rect(cv, ox + 1, 1, ox + 14, 14, frame_rgb)
    rect(cv, ox + 1 + thick, 1 + thick, ox + 14 - thick, 14 - thick, fill_rgb)
    if checked:
        stroke(cv, [(ox + 4.0, 7.6), (ox + 6.4, 10.0), (ox + 11.0, 4.8)], 1.9, tick)


CHECK_BOXES = [
    ("unchecked", GREY_FRAME, False, 1, WHITE, None),
    ("checked", GREY_FRAME, True, 1, WHITE, (20, 20, 20)),
    ("unchecked, warning field", RED_FRAME, False, 2, WHITE, None),
    ("checked, warning field", RED_FRAME, True, 2, WHITE, (20, 20, 20)),
    ("unchecked, disabled", (168, 168, 168), False, 1, (230, 230, 230), None),
    ("checked, disabled", (168, 168, 168), True, 1, (230, 230, 230), (150, 150, 150)),
]


def draw_check_strip(scale=1):
    cv = Canvas(90, 15, scale)
    for k, (_, frame_rgb, checked, thick, fill_rgb, tick) in enumerate(CHECK_BOXES):
        check_box(cv, 15 * k, frame_rgb, checked, thick, fill_rgb, tick or (0, 0, 0))
    return cv


def draw_drop_arrow(scale=1):
    # The button part of a drop-down list, 16 x 15.
    cv = Canvas(16, 15, scale)
    rect(cv, 0, 0, 16, 15, (172, 172, 172))
    rect(cv, 1, 1, 15, 14, (232, 232, 232))
    for i, (x0, x1) in enumerate(((5, 12), (6, 11), (7, 10), (8, 9))):
        rect(cv, x0, 6 + i, x1, 7 + i, (24, 24, 24))
    return cv

# --------------------------------------------------------------------------------------
# Application icon: a chip, drawn for 16, 32 and 48 pixels.


def draw_app_icon(size):
    cv = Canvas(size, size)
    u = size / 16.0
    pins = {16: 4, 32: 5, 48: 7}[size]
    bx0, by0, bx1, by1 = 3 * u, 1 * u, 13 * u, 15 * u
    pin_len = 2 * u
    step = (by1 - by0) / pins
    pin_h = max(1.0, round(step * 0.45))
    for k in range(pins):
        py = round(by0 + step * k + (step - pin_h) / 2)
        rect(cv, bx0 - pin_len, py, bx0, py + pin_h, PIN_DARK)
        rect(cv, bx1, py, bx1 + pin_len, py + pin_h, PIN_DARK)
        if size > 16:
            rect(cv, bx0 - pin_len, py, bx0, py + pin_h - 1, PIN)
            rect(cv, bx1, py, bx1 + pin_len, py + pin_h - 1, PIN)
    edge = max(1.0, round(u * 0.75))
    rect(cv, bx0, by0, bx1, by1, (24, 24, 28))
    rect(cv, bx0 + edge, by0 + edge, bx1 - edge, by1 - edge, CHIP_BLACK)
    if size > 16:
        rect(cv, bx0 + edge, by0 + edge, bx1 - edge, by0 + edge + max(1.0, round(u / 2)),
             (92, 92, 104))
    # notch and pin-1 mark
    nr = (1.6 * u) ** 2
    fill(cv, lambda x, y: y >= by0 + edge and (x - size / 2) ** 2 + (y - by0) ** 2 < nr,
         (24, 24, 28))
    disc(cv, bx0 + 2.2 * u, by0 + 3.2 * u, 0.95 * u, (250, 190, 30))
    # a programming arrow on the package
    cx = size / 2
    polygon(cv, [(cx - 0.8 * u, 6.6 * u), (cx + 0.8 * u, 6.6 * u), (cx + 0.8 * u, 9.8 * u),
                 (cx + 2.4 * u, 9.8 * u), (cx, 12.6 * u), (cx - 2.4 * u, 9.8 * u),
                 (cx - 0.8 * u, 9.8 * u)], (250, 190, 30))
    return cv


ICON_SIZES = (16, 32, 48)

# --------------------------------------------------------------------------------------
# File formats


def _bmp_file(width, height, bits, pixel_rows, palette=b""):
    """pixel_rows: top row first, each row already packed; rows are padded and stored
    bottom-up as Windows expects."""
    stride = (width * bits + 31) // 32 * 4
    data = b"".join(row.ljust(stride, b"\0") for row in reversed(pixel_rows))
    colours = len(palette) // 4
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(data), 2835, 2835,
                       colours, colours)
    offset = 14 + len(info) + len(palette)
    head = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    return head + info + palette + data


def flatten(cv, background):
    """The picture composed over an opaque background colour."""
    out = []
    for y in range(cv.height):
        row = []
        for x in range(cv.width):
            r, g, b, a = cv.get(x, y)
            row.append(tuple((c * a + bg * (255 - a) + 127) // 255
                             for c, bg in zip((r, g, b), background)))
        out.append(row)
    return out


def bmp24(cv, background):
    rows = [b"".join(bytes((b, g, r)) for r, g, b in row) for row in flatten(cv, background)]
    return _bmp_file(cv.width, cv.height, 24, rows)


def bmp32(cv, background):
    """32-bit BGRA: colours composed over the background, alpha kept, so the picture is
    right whether a reader uses the alpha byte or ignores it."""
    flat = flatten(cv, background)
    rows = []
    for y in range(cv.height):
        rows.append(b"".join(bytes((b, g, r, cv.get(x, y)[3]))
                             for x, (r, g, b) in enumerate(flat[y])))
    return _bmp_file(cv.width, cv.height, 32, rows)


TOOLBAR_KEY = (192, 192, 192)   # the toolbar maps this colour to the button face
TOOLBAR_FACE = (240, 240, 240)  # what soft edges are composed over


def bmp8_toolbar(cv):
    """256-colour strip: transparent pixels take the key colour (palette entry 0), the
    rest are composed over the button face; more than 255 colours are reduced to the 255
    most frequent ones (nearest match), which keeps the output deterministic."""
    flat = flatten(cv, TOOLBAR_FACE)
    pixels = []
    for y in range(cv.height):
        for x in range(cv.width):
            if cv.get(x, y)[3] == 0:
                pixels.append(TOOLBAR_KEY)
            else:
                c = flat[y][x]
                pixels.append((193, 192, 192) if c == TOOLBAR_KEY else c)
    counts = {}
    for c in pixels:
        if c != TOOLBAR_KEY:
            counts[c] = counts.get(c, 0) + 1
    kept = sorted(counts, key=lambda c: (-counts[c], c))[:255]
    palette = [TOOLBAR_KEY] + sorted(kept)
    index = {c: i for i, c in enumerate(palette)}

    def nearest(c):
        return min(range(1, len(palette)),
                   key=lambda i: (sum((a - b) ** 2 for a, b in zip(palette[i], c)), i))
    for c in counts:
        if c not in index:
            index[c] = nearest(c)
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    rows = [bytes(index[pixels[y * cv.width + x]] for x in range(cv.width))
            for y in range(cv.height)]
    # what a toolbar shows: the key colour replaced by the button face
    shown = Canvas(cv.width, cv.height)
    for y in range(cv.height):
        for x in range(cv.width):
            c = palette[rows[y][x]]
            shown.px[y * cv.width + x] = list(TOOLBAR_FACE if c == TOOLBAR_KEY else c) + [255]
    return _bmp_file(cv.width, cv.height, 8, rows, pal), shown


def _png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(
        ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def _stored_zlib(raw):
    """A zlib stream of uncompressed deflate blocks: the same bytes with any zlib."""
    out = bytearray(b"\x78\x01")
    pos = 0
    while True:
        block = raw[pos:pos + 65535]
        pos += len(block)
        last = pos >= len(raw)
        out += bytes((1 if last else 0,)) + struct.pack("<HH", len(block), len(block) ^ 0xFFFF)
        out += block
        if last:
            break
    out += struct.pack(">I", zlib.adler32(raw) & 0xFFFFFFFF)
    return bytes(out)


def png(cv):
    raw = bytearray()
    for y in range(cv.height):
        raw.append(0)
        for x in range(cv.width):
            raw += bytes(cv.get(x, y))
    ihdr = struct.pack(">IIBBBBB", cv.width, cv.height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _png_chunk(b"IHDR", ihdr)
            + _png_chunk(b"IDAT", _stored_zlib(bytes(raw))) + _png_chunk(b"IEND", b""))


def ico(canvases):
    """An icon file with one 32-bit image per canvas, each with its AND mask."""
    images = []
    for cv in canvases:
        w, h = cv.width, cv.height
        xor_rows = [b"".join(bytes((p[2], p[1], p[0], p[3])) for p in
                             (cv.get(x, y) for x in range(w))) for y in range(h)]
        mask_stride = (w + 31) // 32 * 4
        mask_rows = []
        for y in range(h):
            bits = bytearray(mask_stride)
            for x in range(w):
                if cv.get(x, y)[3] == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask_rows.append(bytes(bits))
        data = b"".join(reversed(xor_rows)) + b"".join(reversed(mask_rows))
        info = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, len(data), 0, 0, 0, 0)
        images.append((w, h, info + data))
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    blobs = b""
    for w, h, blob in images:
        entries += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(blob),
                               offset + len(blobs))
        blobs += blob
    return head + entries + blobs

def qrc(pngs):
    """The Qt resource list: every PNG as ":/images/NAME.png" (with NAME@2x.png beside it
    where there is one, which Qt picks on high-density screens)."""
    lines = ['<!DOCTYPE RCC>', '<RCC version="1.0">',
             '  <!-- Written by tools/res/draw_resources.py; do not edit. -->',
             '  <qresource prefix="/images">']
    for rel in pngs:
        name = rel.split("/")[-1]
        lines.append('    <file alias="%s">../%s</file>' % (name, rel))
    lines += ['  </qresource>', '</RCC>', '']
    return "\n".join(lines).encode()


# --------------------------------------------------------------------------------------
# What goes where


def draw_toolbar(scale=1):
    strip = Canvas(16 * len(TOOLBAR), 16, scale)
    pictures = []
    for k, (name, draw) in enumerate(TOOLBAR):
        cv = Canvas(16, 16, scale)
        draw(cv)
        strip.blit(cv, 16 * k * scale, 0)
        pictures.append((name, cv))
    return strip, pictures


def crop(cv, x0, y0, w, h):
    """A part of a canvas, in its pixels."""
    out = Canvas(w, h)
    for y in range(h):
        for x in range(w):
            out.px[y * w + x] = list(cv.get(x0 + x, y0 + y))
    return out


def build():
    """Every output file as (path relative to res/, bytes), and rows of pictures for the
    contact sheet."""
    files = []
    strip, pictures = draw_toolbar()
    strip_bmp, strip_shown = bmp8_toolbar(strip)
    files.append(("images/toolbar.bmp", strip_bmp))
    files.append(("images/toolbar.png", png(strip)))
    strip2, pictures2 = draw_toolbar(2)
    files.append(("images/toolbar@2x.png", png(strip2)))
    for (name, cv), (_, cv2) in zip(pictures, pictures2):
        if name:
            files.append(("images/toolbar_%s.png" % name, png(cv)))
            files.append(("images/toolbar_%s@2x.png" % name, png(cv2)))
    logs = []
    for name, draw in LOG_ICONS:
        cv = Canvas(16, 16)
        draw(cv)
        files.append(("images/%s.bmp" % name, bmp32(cv, WHITE)))
        files.append(("images/%s.png" % name, png(cv)))
        logs.append(cv)
        cv2 = Canvas(16, 16, 2)
        draw(cv2)
        files.append(("images/%s@2x.png" % name, png(cv2)))
    boxes = draw_check_strip()
    files.append(("images/check_boxes.bmp", bmp24(boxes, WHITE)))
    files.append(("images/check_boxes.png", png(boxes)))
    files.append(("images/check_boxes@2x.png", png(draw_check_strip(2))))
    arrow = draw_drop_arrow()
    files.append(("images/drop_arrow.bmp", bmp24(arrow, WHITE)))
    files.append(("images/drop_arrow.png", png(arrow)))
    files.append(("images/drop_arrow@2x.png", png(draw_drop_arrow(2))))
    icons = [draw_app_icon(s) for s in ICON_SIZES]
    files.append(("brindlequartz.ico", ico(icons)))
    for s, cv in zip(ICON_SIZES, icons):
        files.append(("images/app_icon_%d.png" % s, png(cv)))
    files.append(("qt/resources.qrc", qrc(sorted(rel for rel, _ in files if rel.endswith(".png")))))
    sheet = [
        [cv for _, cv in pictures],
        [crop(strip2, 32 * k, 0, 32, 32) for k in range(len(TOOLBAR))],
        [crop(strip_shown, 16 * k, 0, 16, 16) for k in range(len(TOOLBAR))],
        logs + [arrow],
        [crop(boxes, 15 * k, 0, 15, 15) for k in range(len(CHECK_BOXES))],
        icons,
    ]
    return files, sheet


def contact_sheet(rows, scale=8):
    """rows: lists of canvases; each row is laid out left to right with gaps."""
    pad = 8
    width = max(sum(cv.width * scale + pad for cv in row) for row in rows) + pad
    height = sum(max(cv.height for cv in row) * scale + pad for row in rows) + pad
    out = Canvas(width, height)
    for y in range(height):
        for x in range(width):
            light = ((x // 8) + (y // 8)) % 2 == 0
            out.px[y * width + x] = [236, 236, 236, 255] if light else [206, 206, 206, 255]
    y0 = pad
    for row in rows:
        x0 = pad
        for cv in row:
            for y in range(cv.height):
                for x in range(cv.width):
                    p = cv.get(x, y)
                    if p[3] == 0:
                        continue
                    for dy in range(scale):
                        for dx in range(scale):
                            out.blend(x0 + x * scale + dx, y0 + y * scale + dy, p[:3], p[3])
            x0 += cv.width * scale + pad
        y0 += max(cv.height for cv in row) * scale + pad
    return out


def main(argv=None):
    here = Path(__file__).resolve().parent
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", type=Path, default=here.parent.parent / "res",
                    help="folder to write into (default: the repository's res/)")
    ap.add_argument("--sheet", type=Path, help="also write an enlarged contact sheet here")
    args = ap.parse_args(argv)
    files, sheet = build()
    for rel, data in files:
        path = args.out / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    if args.sheet:
        args.sheet.write_bytes(png(contact_sheet(sheet)))
    print("wrote %d files into %s" % (len(files), args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())

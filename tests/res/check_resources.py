#!/usr/bin/env python3
"""Checks the program's resources in res/.

    check_resources.py regenerates   the drawing program gives the committed files
    check_resources.py pictures      sizes, formats, BMP and PNG agree, pictures in place
    check_resources.py ids           resource ids, menu and dialog match the program
    check_resources.py compiles      the Windows resource script compiles (77: no windres)
    check_resources.py wine          a Windows program loads every resource and finds it as
                                     the program uses it (load_resources.c, run under Wine
                                     on a virtual display; 77 when a tool is missing)

Options: --source DIR (repository root, default: two folders up), --work DIR (where the
Windows program and its Wine prefix are kept, default: a temporary folder).
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path

SKIP = 77

# --------------------------------------------------------------------------------------
# Readers


def read_bmp(data):
    """(width, height, bits, rows of (r, g, b, a)) with rows top first; a is 255 unless the
    file has 32 bits per pixel. For 8 bits the palette index is kept as a fifth value."""
    if data[:2] != b"BM":
        raise ValueError("not a BMP file")
    size, _, _, offset = struct.unpack_from("<IHHI", data, 2)
    if size != len(data):
        raise ValueError("file size field %d, file has %d bytes" % (size, len(data)))
    hsize, w, h, planes, bits, comp, _, _, _, used, _ = struct.unpack_from("<IiiHHIIiiII", data, 14)
    if hsize != 40 or planes != 1 or comp != 0 or h <= 0:
        raise ValueError("unexpected BMP header")
    palette = []
    if bits == 8:
        n = used or 256
        for i in range(n):
            b, g, r, _ = data[54 + 4 * i:58 + 4 * i]
            palette.append((r, g, b))
    stride = (w * bits + 31) // 32 * 4
    rows = []
    for y in range(h):
        base = offset + (h - 1 - y) * stride
        row = []
        for x in range(w):
            if bits == 8:
                i = data[base + x]
                row.append(palette[i] + (255, i))
            elif bits == 24:
                b, g, r = data[base + 3 * x:base + 3 * x + 3]
                row.append((r, g, b, 255))
            elif bits == 32:
                b, g, r, a = data[base + 4 * x:base + 4 * x + 4]
                row.append((r, g, b, a))
            else:
                raise ValueError("unexpected depth %d" % bits)
        rows.append(row)
    if offset + h * stride != len(data):
        raise ValueError("pixel data does not end the file")
    return w, h, bits, rows, palette


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)


def read_png(data):
    """(width, height, rows of (r, g, b, a)); checks signature and every chunk's CRC."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    pos, idat, ihdr = 8, b"", None
    while pos < len(data):
        n, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + n]
        crc, = struct.unpack_from(">I", data, pos + 8 + n)
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            raise ValueError("bad CRC in %s" % kind)
        if kind == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
        if kind == b"IEND":
            break
    if pos != len(data) or ihdr is None:
        raise ValueError("chunks do not end with IEND at the end of the file")
    w, h, depth, ctype, _, _, interlace = ihdr
    if (depth, ctype, interlace) != (8, 6, 0):
        raise ValueError("expected 8-bit RGBA, not interlaced")
    raw = zlib.decompress(idat)
    stride = 4 * w
    if len(raw) != h * (stride + 1):
        raise ValueError("pixel data has the wrong length")
    prev = bytearray(stride)
    rows = []
    for y in range(h):
        ftype = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            line[i] = (line[i] + (0, a, b, (a + b) // 2, _paeth(a, b, c))[ftype]) & 0xFF
        rows.append([tuple(line[4 * x:4 * x + 4]) for x in range(w)])
        prev = line
    return w, h, rows


def read_ico(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise ValueError("not an icon file")
    images = []
    for i in range(count):
        w, h, _, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        w, h = w or 256, h or 256
        blob = data[offset:offset + size]
        hsize, bw, bh, _, bbits = struct.unpack_from("<IiiHH", blob, 0)
        if hsize != 40 or (bw, bh) != (w, 2 * h) or bits != bbits:
            raise ValueError("icon image %d header does not match its directory entry" % i)
        px = blob[40:40 + 4 * w * h]
        mask_stride = (w + 31) // 32 * 4
        mask = blob[40 + 4 * w * h:]
        if len(mask) != mask_stride * h:
            raise ValueError("icon image %d: mask has the wrong length" % i)
        rows = []
        for y in range(h):
            src = (h - 1 - y)
            row = []
            for x in range(w):
                b, g, r, a = px[4 * (src * w + x):4 * (src * w + x) + 4]
                masked = bool(mask[src * mask_stride + x // 8] & (0x80 >> (x % 8)))
                row.append((r, g, b, a, masked))
            rows.append(row)
        images.append((w, h, bits, rows))
    return images


def over(rgba, background):
    r, g, b, a = rgba[:4]
    return tuple((c * a + bg * (255 - a) + 127) // 255 for c, bg in zip((r, g, b), background))


# --------------------------------------------------------------------------------------
# regenerates


def generate(source, out):
    done = subprocess.run([sys.executable, str(source / "tools/res/draw_resources.py"),
                           "--out", str(out)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=300)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.decode(errors="replace"))


def check_regenerates(source, fail):
    res = source / "res"
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp)
        generate(source, out)
        produced = sorted(p.relative_to(out) for p in out.rglob("*") if p.is_file())
        if not produced:
            fail("the drawing program wrote nothing")
        for rel in produced:
            kept = res / rel
            if not kept.is_file():
                fail("%s is drawn but not committed" % rel)
            elif kept.read_bytes() != (out / rel).read_bytes():
                fail("%s differs from what the drawing program writes; run "
                     "python3 tools/res/draw_resources.py" % rel)
        stale = sorted(p.relative_to(res) for p in (res / "images").iterdir()
                       if p.relative_to(res) not in produced)
        for rel in stale:
            fail("res/%s is not written by the drawing program" % rel)


# --------------------------------------------------------------------------------------
# pictures

IMAGES = "res/images/"
TOOLBAR_KEY = (192, 192, 192)
TOOLBAR_FACE = (240, 240, 240)
WHITE = (255, 255, 255)
USED_TOOLBAR = {0: "clear", 1: "load", 2: "save", 3: "settings", 8: "write", 9: "read",
                10: "verify", 11: "identify", 12: "erase", 13: "blank_check"}
SPARE_TOOLBAR = (5, 6, 7, 14)


def opaque_pixels(rows, x0, w):
    return [p for row in rows for p in row[x0:x0 + w] if p[3] > 0]


def hue_of(pixels):
    """The main saturated colour of a picture: 'red', 'green', 'blue' or 'orange'."""
    votes = {}
    for r, g, b, a in pixels:
        if a < 255 or max(r, g, b) - min(r, g, b) < 80:
            continue  # edges, whites, greys
        if r > 200 and 100 <= g <= 190 and b < 80:
            name = "orange"
        elif r >= g and r >= b:
            name = "red"
        elif g >= b:
            name = "green"
        else:
            name = "blue"
        votes[name] = votes.get(name, 0) + 1
    return max(sorted(votes), key=lambda k: votes[k]) if votes else None


def check_pair(source, name, size, bits, background, fail):
    """The BMP and the PNG of one picture have the given size and show the same pixels;
    returns the PNG rows."""
    bw, bh, bbits, brows, _ = read_bmp((source / IMAGES / (name + ".bmp")).read_bytes())
    pw, ph, prows = read_png((source / IMAGES / (name + ".png")).read_bytes())
    if (bw, bh) != size or (pw, ph) != size:
        fail("%s: BMP %dx%d, PNG %dx%d, expected %dx%d" % ((name, bw, bh, pw, ph) + size))
        return prows
    if bbits != bits:
        fail("%s.bmp has %d bits per pixel, expected %d" % (name, bbits, bits))
    for y in range(bh):
        for x in range(bw):
            want = over(prows[y][x], background)
            got = brows[y][x]
            if got[:3] != want or (bits == 32 and got[3] != prows[y][x][3]):
                fail("%s: BMP and PNG differ at (%d, %d): %s / %s" % (name, x, y, got, prows[y][x]))
                return prows
    return prows


def check_toolbar(source, fail):
    w, h, bits, brows, palette = read_bmp((source / IMAGES / "toolbar.bmp").read_bytes())
    pw, ph, prows = read_png((source / IMAGES / "toolbar.png").read_bytes())
    if (w, h, bits) != (240, 16, 8) or (pw, ph) != (240, 16):
        fail("toolbar: BMP %dx%d %d bits, PNG %dx%d; expected 240x16, 256 colours"
             % (w, h, bits, pw, ph))
        return
    if len(palette) > 256 or palette[0] != TOOLBAR_KEY:
        fail("toolbar palette: %d colours, first %s" % (len(palette), palette[:1]))
    for y in range(h):
        for x in range(w):
            clear = prows[y][x][3] == 0
            keyed = brows[y][x][:3] == TOOLBAR_KEY
            if clear != keyed:
                fail("toolbar (%d, %d): transparent in the PNG is %s, key colour in the BMP "
                     "is %s" % (x, y, clear, keyed))
                return
            if not clear:
                want = over(prows[y][x], TOOLBAR_FACE)
                if max(abs(a - b) for a, b in zip(want, brows[y][x][:3])) > 24:
                    fail("toolbar (%d, %d): BMP %s, PNG over the button face %s"
                         % (x, y, brows[y][x][:3], want))
                    return
    for k in range(15):
        drawn = len([p for p in opaque_pixels(prows, 16 * k, 16) if p[3] == 255])
        if k in USED_TOOLBAR and drawn < 60:
            fail("toolbar picture %d (%s) is nearly empty" % (k, USED_TOOLBAR[k]))
        if k in SPARE_TOOLBAR and drawn:
            fail("toolbar picture %d has no button and should stay transparent" % k)
    for k, name in USED_TOOLBAR.items():
        sw, sh, srows = read_png((source / IMAGES / ("toolbar_%s.png" % name)).read_bytes())
        if (sw, sh) != (16, 16) or any(srows[y][x] != prows[y][16 * k + x]
                                       for y in range(16) for x in range(16)):
            fail("toolbar_%s.png is not picture %d of the strip" % (name, k))
    # The colour that tells write (red arrow) from read (blue arrow), erase (red chip)
    # from identify and blank check (green chips).
    expect = {8: "red", 9: "blue", 11: "green", 12: "red", 13: "green"}
    for k, hue in expect.items():
        middle = [p for row in prows[4:12] for p in row[16 * k + 5:16 * k + 11]]
        got = hue_of(middle) if k != 8 and k != 9 else hue_of(
            [p for row in prows[5:11] for p in row[16 * k + 6:16 * k + 10]])
        if got != hue:
            fail("toolbar picture %d (%s) is mainly %s, expected %s" % (k, USED_TOOLBAR[k], got, hue))


def check_log_icons(source, fail):
    for name, hue in (("log_info", "blue"), ("log_success", "green"),
                      ("log_warning", "orange"), ("log_error", "red")):
        rows = check_pair(source, name, (16, 16), 32, WHITE, fail)
        got = hue_of(opaque_pixels(rows, 0, 16))
        if got != hue:
            fail("%s is mainly %s, expected %s" % (name, got, hue))
        if rows[0][0][3] != 0:
            fail("%s: the corner should be transparent" % name)


def check_check_boxes(source, fail):
    rows = check_pair(source, "check_boxes", (90, 15), 24, WHITE, fail)
    if len(rows) != 15:
        return
    kinds = [("grey", False), ("grey", True), ("red", False), ("red", True),
             ("grey", False), ("grey", True)]
    for k, (frame, checked) in enumerate(kinds):
        left = [rows[y][15 * k + 1] for y in range(3, 12)]
        if not all(p[3] == 255 for p in left):
            fail("check box %d: the frame is not solid" % k)
            continue
        reds = all(p[0] > 150 and p[1] < 60 and p[2] < 60 for p in left)
        greys = all(abs(p[0] - p[1]) < 10 and abs(p[1] - p[2]) < 10 for p in left)
        if (frame == "red" and not reds) or (frame == "grey" and not greys):
            fail("check box %d: the frame should be %s" % (k, frame))
        inside = [rows[y][15 * k + x] for y in range(4, 11) for x in range(4, 11)]
        dark = any(max(p[:3]) < 170 for p in inside)
        if dark != checked:
            fail("check box %d should be %s" % (k, "checked" if checked else "empty"))


def check_drop_arrow(source, fail):
    rows = check_pair(source, "drop_arrow", (16, 15), 24, WHITE, fail)
    if len(rows) == 15:
        dark = [(x, y) for y in range(15) for x in range(16) if max(rows[y][x][:3]) < 80]
        if not dark or min(y for _, y in dark) < 4 or max(y for _, y in dark) > 11:
            fail("drop arrow: the arrow is not in the middle of the button")
        # pointing down: the top row of the arrow is wider than the bottom row
        top = min(y for _, y in dark) if dark else 0
        bottom = max(y for _, y in dark) if dark else 0
        if dark and len([1 for _, y in dark if y == top]) <= len([1 for _, y in dark if y == bottom]):
            fail("drop arrow does not point down")


def check_icon(source, fail):
    images = read_ico((source / "res/brindlequartz.ico").read_bytes())
    sizes = [(w, h, bits) for w, h, bits, _ in images]
    if sizes != [(16, 16, 32), (32, 32, 32), (48, 48, 32)]:
        fail("icon images %s, expected 16, 32 and 48 pixels at 32 bits" % sizes)
    for w, h, _, rows in images:
        if any(p[4] != (p[3] == 0) for row in rows for p in row):
            fail("icon %d: the mask does not match the transparent pixels" % w)
        cover = len([1 for row in rows for p in row if p[3] == 255])
        if not (w * h // 3 < cover < w * h):
            fail("icon %d: %d of %d pixels drawn" % (w, cover, w * h))
        pw, ph, prows = read_png((source / IMAGES / ("app_icon_%d.png" % w)).read_bytes())
        if (pw, ph) != (w, h) or any(prows[y][x] != rows[y][x][:4]
                                     for y in range(h) for x in range(w)):
            fail("app_icon_%d.png is not the %d-pixel icon image" % (w, w))


def check_pictures(source, fail):
    for check in (check_toolbar, check_log_icons, check_check_boxes, check_drop_arrow,
                  check_icon):
        try:
            check(source, fail)
        except (ValueError, OSError, struct.error, zlib.error) as e:
            fail("%s: %s" % (check.__name__, e))
    # High-density versions for Qt: twice the size, the same picture.
    for hi in sorted((source / IMAGES).glob("*@2x.png")):
        lo = hi.with_name(hi.name.replace("@2x", ""))
        try:
            w, h, lrows = read_png(lo.read_bytes())
            w2, h2, hrows = read_png(hi.read_bytes())
        except (ValueError, OSError, struct.error, zlib.error) as e:
            fail("%s: %s" % (hi.name, e))
            continue
        if (w2, h2) != (2 * w, 2 * h):
            fail("%s is %dx%d, %s is %dx%d" % (hi.name, w2, h2, lo.name, w, h))
            continue
        # each 2 x 2 block is transparent exactly where the small pixel is fully covered
        # by nothing, give or take the soft edges
        differ = sum(1 for y in range(h) for x in range(w)
                     if (lrows[y][x][3] == 255) and all(hrows[2 * y + j][2 * x + i][3] == 0
                                                         for j in (0, 1) for i in (0, 1)))
        if differ:
            fail("%s leaves %d drawn pixels of %s empty" % (hi.name, differ, lo.name))
    qrc = (source / "res/qt/resources.qrc").read_text()
    listed = set(re.findall(r">\.\./images/([^<]+)</file>", qrc))
    pngs = set(p.name for p in (source / IMAGES).glob("*.png"))
    if listed != pngs:
        fail("res/qt/resources.qrc lists %s; res/images has %s"
             % (sorted(listed - pngs), sorted(pngs - listed)))


# --------------------------------------------------------------------------------------
# ids

MENU = [
    ("File", [("Settings", 40016), None, ("Exit", 40015)]),
    ("Buffer", [("Clear", 40004), None, ("Load from file", 40005), ("Save to file", 40006),
                ("Reload", 40007)]),
    ("Chip", [("Identify", 40009), None, ("Write buffer into chip", 40010),
              ("Read chipcode into buffer", 40011), None, ("Blank check", 40012),
              ("Erase", 40013), None, ("Verify", 40014), None, ("Program", 40017),
              ("Program again when the file changes", 40018), None, ("Rescue...", 40019)]),
]

DIALOG = {1001: None, 1002: "Connection Test", 1003: None, 1004: None, 1005: None,
          1006: "Save", 1008: None, 2: "Cancel"}

RESOURCES = {"IDR_MAIN_MENU": 101, "IDB_TOOLBAR": 112, "IDD_SETTINGS": 116, "IDB_LOG_INFO": 118,
             "IDB_LOG_SUCCESS": 119, "IDB_LOG_WARNING": 120, "IDB_LOG_ERROR": 121,
             "IDB_CHECK_BOXES": 122, "IDB_DROP_ARROW": 123, "IDI_APP": 125}

# menu id in resource_ids.h -> the same item's name in ui/command_ids.h
MENU_NAMES = {"IDM_BUFFER_CLEAR": "kMenuClear", "IDM_BUFFER_LOAD": "kMenuLoad",
              "IDM_BUFFER_SAVE": "kMenuSave", "IDM_BUFFER_RELOAD": "kMenuReload",
              "IDM_CHIP_IDENTIFY": "kMenuIdentify", "IDM_CHIP_WRITE": "kMenuWrite",
              "IDM_CHIP_READ": "kMenuRead", "IDM_CHIP_BLANK_CHECK": "kMenuBlankCheck",
              "IDM_CHIP_ERASE": "kMenuErase", "IDM_CHIP_VERIFY": "kMenuVerify",
              "IDM_CHIP_PROGRAM": "kMenuProgram", "IDM_CHIP_PROGRAM_WATCH": "kMenuProgramWatch",
              "IDM_CHIP_RESCUE": "kMenuRescue",
              "IDM_FILE_EXIT": "kMenuExit", "IDM_FILE_SETTINGS": "kMenuSettings"}


def defines(text):
    return {m.group(1): int(m.group(2))
            for m in re.finditer(r"^#define\s+(\w+)\s+\(?(-?\d+)\)?", text, re.M)}


def version_defines(source):
    """The project's version as the build passes it to the resource compiler."""
    found = re.search(r"project\(\w+\s+VERSION\s+(\d+)\.(\d+)\.(\d+)",
                      (source / "CMakeLists.txt").read_text())
    major, minor, patch = found.groups() if found else ("0", "0", "0")
    return ["-DBQ_VERSION_MAJOR=" + major, "-DBQ_VERSION_MINOR=" + minor,
            "-DBQ_VERSION_PATCH=" + patch]


def rc_windres(source, fmt_args):
    windres = shutil.which("x86_64-w64-mingw32-windres")
    if not windres:
        return None
    return subprocess.run([windres, str(source / "res/brindlequartz.rc")]
                          + version_defines(source) + fmt_args,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)


def check_ids(source, fail):
    ids = defines((source / "res/resource_ids.h").read_text())
    for name, value in RESOURCES.items():
        if ids.get(name) != value:
            fail("resource_ids.h: %s is %s, expected %d" % (name, ids.get(name), value))
    command_ids = (source / "ui/command_ids.h").read_text()
    ui = {m.group(1): int(m.group(2)) for m in
          re.finditer(r"inline constexpr int (\w+) = (\d+);", command_ids)}
    for ours, theirs in MENU_NAMES.items():
        if ours not in ids or ui.get(theirs) != ids[ours]:
            fail("menu item %s is %s here and %s %s in ui/command_ids.h"
                 % (ours, ids.get(ours), theirs, ui.get(theirs)))
    # The compiled script, read back as text, so macros and includes are resolved.
    done = rc_windres(source, ["-O", "rc"])
    if done is None:
        print("no windres: menu and dialog not read back")
        return
    if done.returncode != 0:
        fail("windres: " + done.stderr.decode(errors="replace"))
        return
    text = done.stdout.decode("latin-1")
    menu = re.search(r"^101 MENU.*?^END", text, re.M | re.S)
    if not menu:
        fail("menu 101 not found")
    else:
        got = []
        for line in menu.group(0).splitlines():
            m = re.match(r'\s*POPUP "([^"]*)"', line)
            if m:
                got.append((m.group(1), []))
            elif "MENUITEM SEPARATOR" in line:
                got[-1][1].append(None)
            else:
                m = re.match(r'\s*MENUITEM "([^"]*)", (\d+)', line)
                if m:
                    got[-1][1].append((m.group(1), int(m.group(2))))
        if got != MENU:
            fail("menu 101 is %s" % got)
    dialog = re.search(r"^116 DIALOGEX.*?^END", text, re.M | re.S)
    if not dialog:
        fail("dialog 116 not found")
        return
    body = dialog.group(0)
    if not re.search(r"DIALOGEX[^\n]* 0, 0, 274, 185", body) or 'CAPTION "Settings"' not in body \
            or 'FONT 8, "Microsoft Sans Serif"' not in body:
        fail("dialog 116: size, caption or font")
    controls = {}
    for m in re.finditer(r'^\s*(\w+) (?:"([^"]*)", )?(-?\d+), (\d+), (\d+), (\d+), (\d+)', body, re.M):
        controls.setdefault(int(m.group(3)), []).append((m.group(1), m.group(2)))
    for cid, text_ in DIALOG.items():
        if cid not in controls or controls[cid][0][1] != text_:
            fail("dialog 116: control %d is %s" % (cid, controls.get(cid)))
    boxes = [t for kind, t in controls.get(-1, []) if kind == "GROUPBOX"]
    if boxes != ["Connection", "ISP Clock"]:
        fail("dialog 116: group boxes %s" % boxes)


def check_compiles(source, fail):
    with tempfile.TemporaryDirectory() as tmp:
        done = rc_windres(source, ["-O", "coff", "-o", str(Path(tmp) / "res.o")])
        if done is None:
            print("x86_64-w64-mingw32-windres not found (apt-get install binutils-mingw-w64-x86-64)")
            sys.exit(SKIP)
        if done.returncode != 0:
            fail("windres: " + done.stderr.decode(errors="replace"))


def check_wine(source, fail, work):
    tools = {t: shutil.which(t) for t in ("x86_64-w64-mingw32-windres", "x86_64-w64-mingw32-gcc",
                                           "xvfb-run")}
    tools["wine"] = shutil.which("wine64") or shutil.which("wine")
    missing = [t for t, path in tools.items() if not path]
    if missing:
        print("not installed: " + ", ".join(missing))
        sys.exit(SKIP)
    work.mkdir(parents=True, exist_ok=True)
    obj, exe = work / "res.o", work / "load_resources.exe"
    steps = [
        [tools["x86_64-w64-mingw32-windres"], str(source / "res/brindlequartz.rc")]
        + version_defines(source) + ["-O", "coff", "-o", str(obj)],
        [tools["x86_64-w64-mingw32-gcc"], "-std=c11", "-Wall", "-Wextra", "-Werror",
         "-I" + str(source / "res"), str(source / "tests/res/load_resources.c"), str(obj),
         "-o", str(exe), "-lcomctl32", "-lgdi32", "-luser32"],
    ]
    for step in steps:
        done = subprocess.run(step, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        if done.returncode != 0:
            fail("%s: %s" % (Path(step[0]).name, done.stdout.decode(errors="replace")))
            return
    env = dict(os.environ, WINEPREFIX=str(work / "wineprefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    done = subprocess.run([tools["xvfb-run"], "-a", "-s", "-screen 0 1024x768x24", tools["wine"],
                           str(exe)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                          timeout=600)
    out = done.stdout.decode(errors="replace").replace("\r", "")
    for line in out.splitlines():
        if line.startswith("FAIL: "):
            fail(line[6:])
    if done.returncode != 0 and "FAIL: " not in out:
        fail("the program under Wine ended with %d: %s" % (done.returncode,
                                                            done.stderr.decode(errors="replace")))
    elif done.returncode == 0 and out.strip() != "ok":
        fail("unexpected output under Wine: " + out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("check", choices=["regenerates", "pictures", "ids", "compiles", "wine"])
    ap.add_argument("--source", type=Path, default=Path(__file__).resolve().parents[2])
    ap.add_argument("--work", type=Path)
    args = ap.parse_args()
    failures = []
    source = args.source.resolve()
    if args.check == "wine":
        if args.work:
            check_wine(source, failures.append, args.work.resolve())
        else:
            with tempfile.TemporaryDirectory() as tmp:
                check_wine(source, failures.append, Path(tmp))
    else:
        {"regenerates": check_regenerates, "pictures": check_pictures, "ids": check_ids,
         "compiles": check_compiles}[args.check](source, failures.append)
    for f in failures:
        print("FAIL: " + f)
    if not failures:
        print("ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

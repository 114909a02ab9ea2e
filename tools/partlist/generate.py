#!/usr/bin/env python3
"""Writes PartList.cfg, the shipped part list, from the vendor's ATDF device files.

    python3 tools/partlist/generate.py [--atdf DIR] [--atdf-updi DIR] [--output FILE]
                                       [--license-output FILE]

The ATDF folder defaults to $BQ_ATDF_DIR, else ../shared/atdf beside the repository; the
folder of the parts programmed over UPDI to $BQ_ATDF_UPDI_DIR, else ../shared/atdf-updi.
The output defaults to PartList.cfg at the repository root, and the license notice to
PartList.cfg.LICENSE beside it. The same inputs always give the same bytes.

One part entry per device file, plus the siblings listed in part_tables.py. Before
anything is written, the text is read back with a copy of the application's reader
rules and compared with what was meant to be written; any difference stops the run.
"""

import argparse
import os
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
import part_tables  # noqa: E402
import partlist_reader  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parents[2]
APACHE_TEXT = Path(__file__).resolve().parent / "apache-2.0.txt"

FUSE_BYTES = ("LOW", "HIGH", "EXTENDED")
FUSE_OFFSETS = {0: "LOW", 1: "HIGH", 2: "EXTENDED"}
TARGET_CODE = {"LOW": 1, "HIGH": 2, "EXTENDED": 3}

# The wiring of the parallel programming control lines on the 28-pin and larger sockets
# (BS2 on a line of its own); the vendor files give it as the start of PpControlStack.
WIDE_SOCKET_PP_STACK = ("0x0E 0x1E 0x0F 0x1F 0x2E 0x3E 0x2F 0x3F 0x4E 0x5E 0x4F 0x5F "
                        "0x6E 0x7E 0x6F 0x7F 0x66 0x76 0x67 0x77 0x6A 0x7A 0x6B 0x7B").split()

HV_PARALLEL_WIDE = 1    # 28-pin and larger sockets
HV_PARALLEL_20PIN = 2   # 20-pin parts
HV_SERIAL = 3


class GenerateError(Exception):
    pass


# ---------------------------------------------------------------- reading the ATDF

def _int(text, what):
    try:
        return int(text, 0)
    except (TypeError, ValueError):
        raise GenerateError("%s: not a number: %r" % (what, text))


def clean_text(text):
    """Makes a vendor caption safe for the part list: printable ASCII, no quote or bracket."""
    replacements = [(r"\s*(>=|\u2265)\s*", " at least "), (r"\s*(<=|\u2264)\s*", " at most "),
                    (r"\s*>\s*", " above "), (r"\s*<\s*", " below ")]
    for pattern, words in replacements:
        text = re.sub(pattern, words, text)
    text = text.replace('"', "'").replace("\u00b5", "u").replace("\u00b7", "*")
    text = "".join(c if " " <= c <= "~" else (" " if ord(c) < 0x20 else "?") for c in text)
    return text.strip(" ")


def _pin_count(root):
    """Pins of the smallest package: the fewest pins any pinout of the device lists."""
    counts = [len(p.findall("pin")) for p in root.findall("pinouts/pinout")]
    counts = [c for c in counts if c > 0]
    return min(counts) if counts else None


def _pp_control_stack(device):
    """The parallel programming control stack as numbers, or None."""
    for group in device.findall("property-groups/property-group"):
        if group.get("name") != "PP_INTERFACE":
            continue
        for prop in group.findall("property"):
            if prop.get("name") == "PpControlStack":
                try:
                    return [int(s, 16) for s in prop.get("value", "").split()]
                except ValueError:
                    raise GenerateError("%s: unreadable PpControlStack" % device.get("name"))
    return None


def hv_mode_of(root, device):
    """HVMODE value for a device, or None for ISP only. See docs/parts-shipped.md."""
    name = device.get("name")
    kinds = {(i.get("type") or i.get("name") or "").lower()
             for i in device.findall("interfaces/interface")}
    if "hvsp" in kinds:
        return HV_SERIAL
    if "hvpp" not in kinds:
        return None
    pins = _pin_count(root)
    by_pins = None if pins is None else (HV_PARALLEL_20PIN if pins <= 20 else HV_PARALLEL_WIDE)
    by_wiring = None
    stack = _pp_control_stack(device)
    if stack is not None:
        wide = [int(s, 16) for s in WIDE_SOCKET_PP_STACK]
        by_wiring = HV_PARALLEL_WIDE if stack[:len(wide)] == wide else HV_PARALLEL_20PIN
    if by_pins is not None and by_wiring is not None and by_pins != by_wiring:
        raise GenerateError("%s: %d pins but the parallel programming wiring of mode %d"
                            % (name, pins, by_wiring))
    mode = by_pins if by_pins is not None else by_wiring
    if mode is None:
        raise GenerateError("%s: parallel programming, but neither pinouts nor PpControlStack" % name)
    return mode


def _segment(device, space_name, seg_type):
    for space in device.findall("address-spaces/address-space"):
        if space.get("name") != space_name:
            continue
        for seg in space.findall("memory-segment"):
            if seg.get("type") == seg_type and _int(seg.get("start", "0"), space_name) == 0:
                return space, seg
        return space, None
    return None, None


def _geometry(device, name):
    _, flash = _segment(device, "prog", "flash")
    _, eeprom = _segment(device, "eeprom", "eeprom")
    if flash is None or eeprom is None or not flash.get("pagesize") or not eeprom.get("pagesize"):
        raise GenerateError("%s: flash or EEPROM segment with a page size missing" % name)
    return _sized_geometry(name, _int(flash.get("size"), name), _int(flash.get("pagesize"), name),
                           _int(eeprom.get("size"), name), _int(eeprom.get("pagesize"), name))


def _sized_geometry(name, flash, flash_page, eeprom, eeprom_page):
    if flash_page % 2 or flash % flash_page or eeprom % eeprom_page:
        raise GenerateError("%s: sizes are not whole pages" % name)
    if flash_page // 2 > 255 or eeprom_page > 255:
        raise GenerateError("%s: page size does not fit the part list" % name)
    return {"flash_page_words": flash_page // 2, "flash_pages": flash // flash_page,
            "eeprom_page": eeprom_page, "eeprom_pages": eeprom // eeprom_page}


def _signature(device, name):
    props = {}
    for group in device.findall("property-groups/property-group"):
        if group.get("name") == "SIGNATURES":
            props = {p.get("name"): p.get("value") for p in group.findall("property")}
    try:
        sig = [_int(props["SIGNATURE%d" % i], name) for i in range(3)]
    except KeyError:
        raise GenerateError("%s: SIGNATURES property group incomplete" % name)
    if any(b > 0xFF for b in sig):
        raise GenerateError("%s: signature byte out of range" % name)
    return (sig[0] << 16) | (sig[1] << 8) | sig[2]


def _fields(module, register, name, value_names=False):
    """The register's fields, highest bit first: (name, text, mask, choices or None).
    Choices are (value, text), or (value, text, value name) with value_names."""
    groups = {g.get("name"): g for g in module.findall("value-group")}
    fields = []
    for bitfield in register.findall("bitfield"):
        field_name = bitfield.get("name", "")
        mask = _int(bitfield.get("mask"), name)
        if not 0 < mask <= 0xFF or not re.fullmatch(r"[A-Za-z0-9_]+", field_name):
            raise GenerateError("%s: field %r with mask %r" % (name, field_name, bitfield.get("mask")))
        shift = (mask & -mask).bit_length() - 1
        width = bin(mask).count("1")
        choices = None
        group_name = bitfield.get("values")
        if group_name is not None:
            group = groups.get(group_name)
            if group is None:
                raise GenerateError("%s: value group %s missing" % (name, group_name))
            choices = []
            for value in group.findall("value"):
                v = _int(value.get("value"), name)
                if (v << shift) & ~mask:
                    raise GenerateError("%s: %s value %#x outside mask %#x" % (name, field_name, v, mask))
                text = clean_text(value.get("caption") or value.get("name", ""))
                if not value_names:
                    choices.append((v, text))
                    continue
                value_name = value.get("name", "")
                if not re.fullmatch(r"[A-Za-z0-9_]+", value_name):
                    raise GenerateError("%s: %s value named %r" % (name, field_name, value_name))
                choices.append((v, text, value_name))
            choices = choices or None
        if choices is None and width > 1:
            # A wide field without named values: offer every value by number.
            choices = [(v, "0x%02X" % v) + ((("0x%02X" % v),) if value_names else ())
                       for v in range(1 << width)]
        text = clean_text(bitfield.get("caption") or "") or field_name
        fields.append((field_name, text, mask, choices))
    fields.sort(key=lambda f: -f[2])
    return fields


def _module(root, module_name):
    for module in root.findall("modules/module"):
        if module.get("name") == module_name:
            return module
    return None


def load_device(path):
    """Reads one ATDF file into a part description."""
    try:
        root = ET.parse(str(path)).getroot()
    except ET.ParseError as e:
        raise GenerateError("%s: %s" % (path.name, e))
    device = root.find("devices/device")
    if device is None:
        raise GenerateError("%s: no device" % path.name)
    name = device.get("name", "")
    if not re.fullmatch(r"[A-Za-z0-9]+", name):
        raise GenerateError("%s: unusable device name %r" % (path.name, name))
    part = {"name": name, "source": path.name, "signature": _signature(device, name),
            "hv_mode": hv_mode_of(root, device), "fuses": [], "lock": []}
    part.update(_geometry(device, name))

    osccal_space, _ = _segment(device, "osccal", "osccal")
    count = _int(osccal_space.get("size"), name) if osccal_space is not None else 0
    start = _int(osccal_space.get("start", "0"), name) if osccal_space is not None else 0
    labels = part_tables.OSCCAL_LABELS.get(name, ((), ""))[0]
    if labels and len(labels) != count:
        raise GenerateError("%s: %d calibration labels for %d bytes" % (name, len(labels), count))
    part["osccal"] = [(start + i, labels[i] if labels else part_tables.neutral_osccal_label(i))
                      for i in range(count)]

    fuse = _module(root, "FUSE")
    if fuse is not None:
        by_byte = {}
        for register in fuse.findall("register-group/register"):
            reg_name = register.get("name", "").upper()
            if reg_name not in FUSE_BYTES:
                reg_name = FUSE_OFFSETS.get(_int(register.get("offset", "-1"), name))
            if reg_name is None or reg_name in by_byte:
                raise GenerateError("%s: fuse register %r" % (name, register.get("name")))
            initval = register.get("initval")
            by_byte[reg_name] = (None if initval is None else _int(initval, name) & 0xFF,
                                 _fields(fuse, register, name))
        part["fuses"] = [(b,) + by_byte[b] for b in FUSE_BYTES if b in by_byte]
    lock = _module(root, "LOCKBIT")
    if lock is not None:
        registers = lock.findall("register-group/register")
        if len(registers) != 1:
            raise GenerateError("%s: %d lock registers" % (name, len(registers)))
        part["lock"] = _fields(lock, registers[0], name)
    return part


# ---------------------------------------------------------------- siblings

def _rewrite(text, captions):
    for old, new in captions.items():
        text = text.replace(old, new)
    return text


def _rewrite_fields(fields, captions):
    return [(n, _rewrite(t, captions), m,
             None if c is None else [(v, _rewrite(ct, captions)) for v, ct in c])
            for n, t, m, c in fields]


def _texts(part):
    fields = [f for _, _, fs in part["fuses"] for f in fs] + part["lock"]
    for _, text, _, choices in fields:
        yield text
        for _, choice_text in choices or ():
            yield choice_text


def make_sibling(entry, template):
    name = entry["name"]
    geometry = _sized_geometry(name, entry["flash"], entry["flash_page"], entry["eeprom"],
                               entry["eeprom_page"])
    if not 0 <= entry["signature"] <= 0xFFFFFF:
        raise GenerateError("%s: signature %#x is not three bytes" % (name, entry["signature"]))
    captions = entry.get("captions", {})
    texts = list(_texts(template))
    for old in captions:
        if not any(old in t for t in texts):
            raise GenerateError("%s: text %r not found in %s" % (name, old, template["name"]))
    template_flash = template["flash_page_words"] * 2 * template["flash_pages"]
    if entry["flash"] != template_flash:
        for text in texts:
            if re.search(r"\$[0-9A-Fa-f]+", text) and not any(old in text for old in captions):
                raise GenerateError("%s: flash size differs from %s, and %r names an address"
                                    % (name, template["name"], text))
    part = dict(template)
    part.update(geometry)
    part.update({"name": name, "signature": entry["signature"],
                 "source": "%s (sibling of %s)" % (template["source"], template["name"]),
                 "sibling_source": entry["source"],
                 "fuses": [(b, d, _rewrite_fields(fs, captions)) for b, d, fs in template["fuses"]],
                 "lock": _rewrite_fields(template["lock"], captions)})
    return part


def collect_parts(atdf_dir, warn=None, updi_dir=None):
    """Every part the list ships: one per ATDF file, then the siblings whose family member is
    here, then one per device file in updi_dir (the parts programmed over UPDI), if given."""
    warn = warn or (lambda message: print("generate.py: " + message, file=sys.stderr))
    files = sorted(Path(atdf_dir).glob("*.atdf"))
    if not files:
        raise GenerateError("no .atdf files in %s" % atdf_dir)
    parts = {}
    for path in files:
        part = load_device(path)
        if part["name"] in parts:
            raise GenerateError("%s described twice" % part["name"])
        parts[part["name"]] = part
    for entry in part_tables.SIBLINGS:
        if entry["name"] in parts:
            warn("%s has a device file of its own; its table entry is not used" % entry["name"])
            continue
        template = parts.get(entry["template"])
        if template is None or "sibling_source" in template:
            warn("%s skipped: %s is not in %s" % (entry["name"], entry["template"], atdf_dir))
            continue
        parts[entry["name"]] = make_sibling(entry, template)
    for part in collect_updi_parts(updi_dir) if updi_dir else ():
        if part["name"] in parts or part["name"].upper() in {n.upper() for n in parts}:
            raise GenerateError("%s described twice" % part["name"])
        parts[part["name"]] = part
    return [parts[n] for n in sorted(parts, key=lambda n: n.encode())]


# ---------------------------------------------------------------- parts programmed over UPDI

# The NVM controller's command set tells its version: the page-buffer commands of
# tinyAVR 0/1/2 and megaAVR 0, or the write-enable commands of AVR DA/DB.
NVM_COMMAND_SETS = (
    (0, {"PAGEWRITE", "PAGEERASE", "PAGEERASEWRITE", "PAGEBUFCLR", "CHIPERASE", "EEERASE",
         "FUSEWRITE"}),
    (2, {"FLWR", "FLPER", "EEWR", "EEERWR", "EEBER", "CHER", "EECHER"}),
)

# The fuse field that chooses between UPDI and RESET/GPIO on the shared pin.
PIN_FUSE, PIN_FIELD, PIN_UPDI_VALUE_NAME = "SYSCFG0", "RSTPINCFG", "UPDI"


def _data_segment(device, name, seg_name):
    for space in device.findall("address-spaces/address-space"):
        if space.get("name") != "data":
            continue
        for seg in space.findall("memory-segment"):
            if seg.get("name") == seg_name:
                return _int(seg.get("start"), name), _int(seg.get("size"), name), seg.get("pagesize")
    raise GenerateError("%s: no %s segment in the data address space" % (name, seg_name))


def _property(device, group_name, prop_name):
    for group in device.findall("property-groups/property-group"):
        if group.get("name") == group_name:
            for prop in group.findall("property"):
                if prop.get("name") == prop_name:
                    return prop.get("value")
    return None


def _nvm_version(root, name):
    nvm = _module(root, "NVMCTRL")
    commands = set()
    if nvm is not None:
        for register in nvm.findall("register-group/register"):
            if register.get("name") != "CTRLA":
                continue
            groups = {g.get("name"): g for g in nvm.findall("value-group")}
            for bitfield in register.findall("bitfield"):
                group = groups.get(bitfield.get("values") or "")
                if bitfield.get("name") == "CMD" and group is not None:
                    commands = {v.get("name") for v in group.findall("value")}
    for version, names in NVM_COMMAND_SETS:
        if names <= commands:
            return version
    raise GenerateError("%s: NVMCTRL.CTRLA commands %s match no known NVM controller"
                        % (name, sorted(commands)))


def _pin_shared(root, fuse, name):
    """(shared, pin fuse, pin field, value that keeps UPDI) from the pads and the fuse."""
    dedicated = any(pin.get("pad") == "UPDI" for pin in root.findall("pinouts/pinout/pin"))
    updi_value = None
    groups = {g.get("name"): g for g in fuse.findall("value-group")}
    for register in fuse.findall("register-group/register"):
        if register.get("name") != PIN_FUSE:
            continue
        for bitfield in register.findall("bitfield"):
            group = groups.get(bitfield.get("values") or "")
            if bitfield.get("name") != PIN_FIELD or group is None:
                continue
            for value in group.findall("value"):
                if value.get("name") == PIN_UPDI_VALUE_NAME:
                    updi_value = _int(value.get("value"), name)
    if dedicated == (updi_value is not None):
        raise GenerateError("%s: the pinout (%s UPDI pad) and %s.%s (%s UPDI value) disagree"
                            % (name, "a" if dedicated else "no", PIN_FUSE, PIN_FIELD,
                               "a" if updi_value is not None else "no"))
    if dedicated:
        return {"pin_shared": False, "pin_fuse": "", "pin_field": "", "pin_updi": 0}
    return {"pin_shared": True, "pin_fuse": PIN_FUSE, "pin_field": PIN_FIELD, "pin_updi": updi_value}


def _named_fuses(fuse, fuse_size, name):
    fuses = []
    for register in fuse.findall("register-group/register"):
        reg_name = register.get("name", "")
        offset = _int(register.get("offset"), name)
        if not re.fullmatch(r"[A-Z][A-Z0-9_]*", reg_name) or _int(register.get("size", "1"), name) != 1:
            raise GenerateError("%s: fuse register %r is not one named byte" % (name, reg_name))
        if not 0 <= offset < fuse_size:
            raise GenerateError("%s: fuse %s at offset %#x outside the fuses" % (name, reg_name, offset))
        initval = register.get("initval")
        fuses.append({"name": reg_name, "offset": offset,
                      "default": None if initval is None else _int(initval, name),
                      "text": clean_text(register.get("caption") or "") or reg_name,
                      "fields": _fields(fuse, register, name, value_names=True)})
    fuses.sort(key=lambda f: f["offset"])
    for a, b in zip(fuses, fuses[1:]):
        if a["offset"] == b["offset"]:
            raise GenerateError("%s: fuses %s and %s share offset %#x" % (name, a["name"], b["name"], a["offset"]))
    if any(f["default"] is not None and not 0 <= f["default"] <= 0xFF for f in fuses):
        raise GenerateError("%s: a fuse default does not fit a byte" % name)
    return fuses


def _lock(root, device, name):
    start, size, _ = _data_segment(device, name, "LOCKBITS")
    lock = _module(root, "LOCKBIT") or _module(root, "LOCK")
    registers = lock.findall("register-group/register") if lock is not None else []
    if len(registers) != 1 or _int(registers[0].get("size", "1"), name) != size or size not in (1, 4):
        raise GenerateError("%s: the lock is not one register of 1 or 4 bytes" % name)
    open_value = _int(registers[0].get("initval"), name)
    if open_value >> (8 * size):
        raise GenerateError("%s: lock initval %#x does not fit %d bytes" % (name, open_value, size))
    return start, size, open_value


def load_updi_device(path):
    """Reads one ATDF file of a part programmed over UPDI into a part description."""
    try:
        root = ET.parse(str(path)).getroot()
    except ET.ParseError as e:
        raise GenerateError("%s: %s" % (path.name, e))
    device = root.find("devices/device")
    if device is None:
        raise GenerateError("%s: no device" % path.name)
    name = device.get("name", "")
    if not re.fullmatch(r"[A-Za-z0-9]+", name):
        raise GenerateError("%s: unusable device name %r" % (path.name, name))
    kinds = {(i.get("type") or "").lower() for i in device.findall("interfaces/interface")}
    if "updi" not in kinds:
        raise GenerateError("%s: no UPDI interface" % name)
    _, flash = _segment(device, "prog", "flash")
    if flash is None or not flash.get("pagesize"):
        raise GenerateError("%s: flash segment with a page size missing" % name)
    flash_size, flash_page = _int(flash.get("size"), name), _int(flash.get("pagesize"), name)
    eeprom_start, eeprom_size, eeprom_page = _data_segment(device, name, "EEPROM")
    eeprom_page = _int(eeprom_page, name)
    if flash_page % 2 or flash_size % flash_page or eeprom_size % eeprom_page:
        raise GenerateError("%s: sizes are not whole pages" % name)
    offset = _property(device, "UPDI_INTERFACE", "PROGMEM_OFFSET")
    if offset is None:
        raise GenerateError("%s: no UPDI_INTERFACE PROGMEM_OFFSET" % name)
    flash_base = _int(offset, name)
    mapped_start, mapped_size, _ = _data_segment(device, name, "MAPPED_PROGMEM")
    if mapped_size == flash_size and flash_base <= 0xFFFF and mapped_start != flash_base:
        raise GenerateError("%s: all flash mapped at %#x, but PROGMEM_OFFSET says %#x"
                            % (name, mapped_start, flash_base))
    fuse = _module(root, "FUSE")
    if fuse is None:
        raise GenerateError("%s: no FUSE module" % name)
    fuse_base, fuse_size, _ = _data_segment(device, name, "FUSES")
    user_row, user_size, _ = _data_segment(device, name, "USER_SIGNATURES")
    sig_row, _, _ = _data_segment(device, name, "SIGNATURES")
    lock_base, lock_size, lock_open = _lock(root, device, name)
    part = {"name": name, "source": path.name, "signature": _signature(device, name),
            "hv_mode": None, "osccal": [], "fuses": [], "lock": [],
            "flash_page_words": flash_page // 2, "flash_pages": flash_size // flash_page,
            "eeprom_page": eeprom_page, "eeprom_pages": eeprom_size // eeprom_page}
    part["updi"] = {"nvm": _nvm_version(root, name), "flash": flash_base, "eeprom": eeprom_start,
                    "user_row": user_row, "user_size": user_size, "sig_row": sig_row,
                    "fuse_base": fuse_base, "lock_base": lock_base, "lock_size": lock_size,
                    "lock_open": lock_open}
    part["updi"].update(_pin_shared(root, fuse, name))
    part["named_fuses"] = _named_fuses(fuse, fuse_size, name)
    if part["updi"]["pin_shared"] and not any(
            f["name"] == PIN_FUSE and any(fl[0] == PIN_FIELD for fl in f["fields"])
            for f in part["named_fuses"]):
        raise GenerateError("%s: the pin field %s.%s is not among the fuses" % (name, PIN_FUSE, PIN_FIELD))
    return part


def collect_updi_parts(atdf_dir):
    files = sorted(Path(atdf_dir).glob("*.atdf"))
    if not files:
        raise GenerateError("no .atdf files in %s" % atdf_dir)
    return [load_updi_device(path) for path in files]


# ---------------------------------------------------------------- writing

HEADER = """\
<!--
  Brindlequartz part list: the AVR parts the application knows, read at start-up.
  Generated by tools/partlist/generate.py (make partlist); edit the generator, not this file.
  Made from the vendor's ATDF device description files, Copyright (c) 2018 and 2020
  Microchip Technology Inc., licensed under the Apache License, Version 2.0
  (http://www.apache.org/licenses/LICENSE-2.0). The vendor's notice and the license text
  are in PartList.cfg.LICENSE beside this file. Device data was converted to this format;
  parts marked as siblings take their signature and flash and EEPROM sizes from the vendor's
  datasheets named in tools/partlist/part_tables.py.
-->
"""


READER_TAGS = ("AVRPART", "MEMORY", "HVMODE", "OSCCAL", "FUSE", "LOCKBIT", "LOW", "HIGH",
               "EXTENDED", "DEFAULTLOW", "DEFAULTHIGH", "DEFAULTEXTENDED", "BIT", "ENUMERATOR",
               "ENUM", "UPDI", "FUSEBYTES", "FUSEBYTE")


def _check_comment(text):
    """A comment is one unknown tag to the reader: no bracket may end it early, and it
    names none of the reader's tags, so that no reader could take it for one."""
    if "<" in text or ">" in text or "--" in text:
        raise GenerateError("comment text would end early: %r" % text)
    words = set(re.findall(r"[A-Z]+", text.upper()))
    if words & set(READER_TAGS):
        raise GenerateError("comment names a part list tag: %r" % text)
    return text


def _comment(text):
    return "<!-- %s -->" % _check_comment(text)


def _field_lines(fields, indent):
    lines = []
    for name, text, mask, choices in fields:
        attributes = 'mask="0x%02X" name="%s" text="%s"' % (mask, name, text)
        if choices is None:
            lines.append('%s<BIT %s>' % (indent, attributes))
            continue
        lines.append('%s<ENUMERATOR %s>' % (indent, attributes))
        for choice in choices:
            named = ' name="%s"' % choice[2] if len(choice) > 2 else ""
            lines.append('%s  <ENUM val="0x%02X"%s text="%s">' % (indent, choice[0], named, choice[1]))
        lines.append('%s</ENUMERATOR>' % indent)
    return lines


def _updi_lines(part):
    u = part["updi"]
    pin = ""
    if u["pin_shared"]:
        pin = ' pinfuse="%s" pinfield="%s" pinupdi="0x%X"' % (u["pin_fuse"], u["pin_field"], u["pin_updi"])
    lines = ['  <UPDI nvm="%d" flash="0x%X" eeprom="0x%X" userrow="0x%X" userbytes="%d" sigrow="0x%X" '
             'fusebase="0x%X" lockbase="0x%X" lockbytes="%d" unlocked="0x%0*X" pinshared="%d"%s>'
             % (u["nvm"], u["flash"], u["eeprom"], u["user_row"], u["user_size"], u["sig_row"],
                u["fuse_base"], u["lock_base"], u["lock_size"], 2 * u["lock_size"], u["lock_open"],
                1 if u["pin_shared"] else 0, pin),
             "  <FUSEBYTES>"]
    for fuse in part["named_fuses"]:
        default = "" if fuse["default"] is None else ' default="0x%02X"' % fuse["default"]
        lines.append('    <FUSEBYTE name="%s" offset="0x%02X"%s text="%s">'
                     % (fuse["name"], fuse["offset"], default, fuse["text"]))
        lines.extend(_field_lines(fuse["fields"], "      "))
        lines.append("    </FUSEBYTE>")
    lines.append("  </FUSEBYTES>")
    return lines


def render_part(part):
    lines = []
    if "sibling_source" in part:
        lines.append(_comment("%s: fields from %s; %s"
                              % (part["name"], part["source"], part["sibling_source"])))
    else:
        lines.append(_comment("%s: from %s" % (part["name"], part["source"])))
    lines.append('<AVRPART name="%s" signature="0x%06X">' % (part["name"], part["signature"]))
    lines.append('  <MEMORY FlashPageSizeW="%d" FlashNoOfPages="%d" EEpromPageSize="%d" '
                 'EEpromNoOfPages="%d">' % (part["flash_page_words"], part["flash_pages"],
                                            part["eeprom_page"], part["eeprom_pages"]))
    if part["hv_mode"] is not None:
        lines.append('  <HVMODE val="%d">' % part["hv_mode"])
    for address, label in part["osccal"]:
        lines.append('  <OSCCAL val="0x%02X" text="%s">' % (address, label))
    if part["fuses"]:
        lines.append("  <FUSE>")
        for byte, _, fields in part["fuses"]:
            lines.append("    <%s>" % byte)
            lines.extend(_field_lines(fields, "      "))
            lines.append("    </%s>" % byte)
        for byte, default, _ in part["fuses"]:
            if default is not None:
                lines.append('    <DEFAULT%s val="0x%02X">' % (byte, default))
        lines.append("  </FUSE>")
    if part["lock"]:
        lines.append("  <LOCKBIT>")
        lines.extend(_field_lines(part["lock"], "    "))
        lines.append("  </LOCKBIT>")
    if "updi" in part:
        lines.extend(_updi_lines(part))
    lines.append("</AVRPART>")
    return lines


def render(parts):
    _check_comment(HEADER.strip()[len("<!--"):-len("-->")])
    lines = [HEADER.rstrip("\n")]
    for part in parts:
        lines.append("")
        lines.extend(render_part(part))
    return ("\n".join(lines) + "\n").encode("ascii")


def _expected_fields(fields, target):
    return [{"name": n, "text": t, "mask": m, "isEnumerator": c is not None, "targetByte": target,
             "choices": [dict({"value": choice[0]}, **({"name": choice[2]} if len(choice) > 2 else {}),
                              text=choice[1]) for choice in (c or ())]}
            for n, t, m, c in fields]


def expected_record(part):
    """The record the application's reader should build from the part's entry."""
    defaults = {b: d for b, d, _ in part["fuses"]}
    return {
        "name": part["name"], "signature": part["signature"],
        "flashPageSizeW": part["flash_page_words"], "flashNoOfPages": part["flash_pages"],
        "eepromPageSize": part["eeprom_page"], "eepromNoOfPages": part["eeprom_pages"],
        "hvMode": part["hv_mode"],
        "defaultLow": defaults.get("LOW"), "defaultHigh": defaults.get("HIGH"),
        "defaultExtended": defaults.get("EXTENDED"),
        "osccal": [{"label": label, "address": address} for address, label in part["osccal"]],
        "fuseBits": [f for byte, _, fields in part["fuses"]
                     for f in _expected_fields(fields, TARGET_CODE[byte])],
        "lockBits": _expected_fields(part["lock"], 4),
        **({"updi": _expected_updi(part)} if "updi" in part else {}),
    }


def _expected_updi(part):
    u = part["updi"]
    return {
        "present": True, "nvmVersion": u["nvm"], "flashBase": u["flash"], "eepromBase": u["eeprom"],
        "userRowBase": u["user_row"], "userRowSize": u["user_size"], "sigRowBase": u["sig_row"],
        "fuseBase": u["fuse_base"], "lockBase": u["lock_base"], "lockSize": u["lock_size"],
        "lockOpenValue": u["lock_open"], "pinShared": u["pin_shared"], "pinFuse": u["pin_fuse"],
        "pinField": u["pin_field"], "pinUpdiValue": u["pin_updi"],
        "fuses": [{"name": f["name"], "text": f["text"], "offset": f["offset"], "default": f["default"],
                   "fields": _expected_fields(f["fields"], 0)} for f in part["named_fuses"]],
    }


def check_readback(data, parts):
    """Reads the text back with the reader's rules; every part must come out as meant."""
    read = partlist_reader.read_part_list(data)
    if list(read) != [p["name"] for p in parts]:
        raise GenerateError("read back %d parts, wrote %d" % (len(read), len(parts)))
    for part in parts:
        want = expected_record(part)
        got = read[part["name"]]
        if got != want:
            keys = [k for k in want if want[k] != got.get(k)]
            raise GenerateError("%s reads back differently in %s" % (part["name"], ", ".join(keys)))


def license_text(atdf_dir, updi_dir=None):
    notices = []
    for folder in [atdf_dir] + ([updi_dir] if updi_dir else []):
        notice = (Path(folder) / "LICENSE").read_text(encoding="utf-8").rstrip() + "\n"
        if notice not in notices:
            notices.append(notice)
    parts = [
        "PartList.cfg is made from the vendor's ATDF device description files by\n"
        "tools/partlist/generate.py; the device data was converted to the part list format.\n"
        "The vendor's notice%s for those files follow%s, then the license %s.\n"
        % (("", "s", "it names") if len(notices) == 1 else ("s", "", "they name")),
    ] + ["-" * 78 + "\n" + notice for notice in notices]
    if APACHE_TEXT.exists():
        parts.append("-" * 78 + "\n" + APACHE_TEXT.read_text(encoding="utf-8"))
    return "\n".join(parts).encode("utf-8")


def default_atdf_dir():
    return os.environ.get("BQ_ATDF_DIR") or str(REPO_ROOT.parent / "shared" / "atdf")


def default_updi_dir():
    return os.environ.get("BQ_ATDF_UPDI_DIR") or str(REPO_ROOT.parent / "shared" / "atdf-updi")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--atdf", default=default_atdf_dir(),
                        help="folder of vendor .atdf files (default: $BQ_ATDF_DIR or ../shared/atdf)")
    parser.add_argument("--atdf-updi", default=default_updi_dir(),
                        help="folder of vendor .atdf files of the parts programmed over UPDI "
                             "(default: $BQ_ATDF_UPDI_DIR or ../shared/atdf-updi)")
    parser.add_argument("--output", default=str(REPO_ROOT / "PartList.cfg"))
    parser.add_argument("--license-output", default=None,
                        help="license notice file (default: OUTPUT.LICENSE)")
    args = parser.parse_args(argv)
    license_output = args.license_output or args.output + ".LICENSE"
    if not Path(args.atdf).is_dir():
        print("generate.py: ATDF folder %s not found (set BQ_ATDF_DIR or pass --atdf)" % args.atdf,
              file=sys.stderr)
        return 2
    if not Path(args.atdf_updi).is_dir():
        print("generate.py: ATDF folder %s not found (set BQ_ATDF_UPDI_DIR or pass --atdf-updi)"
              % args.atdf_updi, file=sys.stderr)
        return 2
    try:
        parts = collect_parts(args.atdf, updi_dir=args.atdf_updi)
        data = render(parts)
        check_readback(data, parts)
        license_data = license_text(args.atdf, args.atdf_updi)
    except GenerateError as e:
        print("generate.py: %s" % e, file=sys.stderr)
        return 1
    Path(args.output).write_bytes(data)
    Path(license_output).write_bytes(license_data)
    print("generate.py: %d parts written to %s" % (len(parts), args.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())

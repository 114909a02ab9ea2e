"""What the shipped part list must describe, worked out from the vendor's ATDF files.

This reads the XML on its own (it shares no code with the generator's reading or
writing); from the generator it takes only the two datasheet tables, the siblings and
the calibration labels, which are data the ATDF does not carry. Records come out in
the shape `brindlequartz-cli part NAME` prints.
"""

import os
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

SKIP = 77

# Pin count of the smallest package, from the datasheets, for the device files that
# carry no pinout. A part missing here and in its file fails the test, on purpose.
DATASHEET_PINS = {
    "ATtiny2313": 20, "ATtiny2313A": 20, "ATtiny26": 20, "ATtiny261A": 20,
    "ATtiny461A": 20, "ATtiny861A": 20, "ATtiny167": 20, "ATtiny828": 32, "AT90USB1286": 64, "ATmega128RFA1": 64,
}

ANY_SAFE_TEXT = object()  # expectation for a caption the generator had to rewrite


def atdf_dir_or_skip(path):
    if not path or not Path(path).is_dir() or not list(Path(path).glob("*.atdf")):
        print("SKIP: no vendor ATDF folder at %r (set BQ_ATDF_DIR)" % path)
        sys.exit(SKIP)
    return Path(path)


def load_tables(generator_dir):
    sys.path.insert(0, str(generator_dir))
    import part_tables
    return part_tables


def _num(text):
    return int(text, 0)


def _text(caption, fallback):
    caption = (caption or "").strip()
    if not caption:
        return fallback
    if all(" " <= c <= "~" and c not in '"<>' for c in caption):
        return caption
    return ANY_SAFE_TEXT


def _space(device, name):
    for space in device.iter("address-space"):
        if space.get("name") == name:
            return space
    return None


def _paged(device, space_name):
    space = _space(device, space_name)
    for seg in space.iter("memory-segment"):
        if seg.get("type") in ("flash", "eeprom") and _num(seg.get("start")) == 0:
            return _num(seg.get("size")), _num(seg.get("pagesize"))
    raise AssertionError("no %s segment" % space_name)


def _hv_mode(root, device, name):
    kinds = [i.get("type") for i in device.iter("interface")]
    if "hvsp" in kinds:
        return 3
    if "hvpp" not in kinds:
        return None
    counts = [len(p.findall("pin")) for p in root.iter("pinout") if p.findall("pin")]
    pins = min(counts) if counts else DATASHEET_PINS.get(name)
    if pins is None:
        raise AssertionError("%s: no pinout in its file; add its pin count to DATASHEET_PINS" % name)
    return 2 if pins <= 20 else 1


def _fields(module, register, target, value_names=False):
    groups = {g.get("name"): g for g in module.iter("value-group")}
    out = []
    for bf in register.findall("bitfield"):
        mask = _num(bf.get("mask"))
        values = []
        if bf.get("values"):
            values = [{"value": _num(v.get("value")), "text": _text(v.get("caption"), v.get("name")),
                       "name": v.get("name")}
                      for v in groups[bf.get("values")].findall("value")]
        width = bin(mask).count("1")
        if not values and width > 1:
            values = [{"value": v, "text": "0x%02X" % v, "name": "0x%02X" % v} for v in range(1 << width)]
        if not value_names:
            for value in values:
                del value["name"]
        out.append({"name": bf.get("name"), "text": _text(bf.get("caption"), bf.get("name")),
                    "mask": mask, "isEnumerator": bool(values), "targetByte": target,
                    "choices": values})
    # The list shows each byte's fields from bit 7 down.
    return sorted(out, key=lambda f: -f["mask"])


def _module(root, name):
    for module in root.iter("module"):
        if module.get("name") == name and module.find("register-group") is not None:
            return module
    return None


def expect_device(path, tables):
    root = ET.parse(str(path)).getroot()
    device = root.find("devices/device")
    name = device.get("name")
    sig = {p.get("name"): _num(p.get("value"))
           for g in device.iter("property-group") if g.get("name") == "SIGNATURES"
           for p in g.findall("property")}
    flash, flash_page = _paged(device, "prog")
    eeprom, eeprom_page = _paged(device, "eeprom")
    osccal_space = _space(device, "osccal")
    osccal_count = _num(osccal_space.get("size")) if osccal_space is not None else 0
    labels = tables.OSCCAL_LABELS.get(name, (None, None))[0]
    rec = {
        "name": name,
        "signature": (sig["SIGNATURE0"] << 16) | (sig["SIGNATURE1"] << 8) | sig["SIGNATURE2"],
        "flashPageSizeW": flash_page // 2, "flashNoOfPages": flash // flash_page,
        "eepromPageSize": eeprom_page, "eepromNoOfPages": eeprom // eeprom_page,
        "hvMode": _hv_mode(root, device, name),
        "defaultLow": None, "defaultHigh": None, "defaultExtended": None,
        "osccal": [{"label": labels[i] if labels else "Calibration byte %d" % i, "address": i}
                   for i in range(osccal_count)],
        "fuseBits": [], "lockBits": [],
    }
    fuse = _module(root, "FUSE")
    registers = {r.get("name"): r for r in fuse.iter("register")} if fuse is not None else {}
    for target, reg_name, key in ((1, "LOW", "defaultLow"), (2, "HIGH", "defaultHigh"),
                                  (3, "EXTENDED", "defaultExtended")):
        reg = registers.get(reg_name)
        if reg is None:
            continue
        if reg.get("initval") is not None:
            rec[key] = _num(reg.get("initval")) & 0xFF
        rec["fuseBits"] += _fields(fuse, reg, target)
    lock = _module(root, "LOCKBIT")
    if lock is not None:
        rec["lockBits"] = _fields(lock, lock.find("register-group/register"), 4)
    return rec


# What each family of parts programmed over UPDI is, from the datasheets: the NVM controller
# version, where UPDI reaches flash, and whether the UPDI pin is shared with RESET/GPIO.
UPDI_FAMILIES = (
    ("ATtiny", {"nvmVersion": 0, "flashBase": 0x8000, "pinShared": True}),
    ("ATmega", {"nvmVersion": 0, "flashBase": 0x4000, "pinShared": False}),
    ("AVR", {"nvmVersion": 2, "flashBase": 0x800000, "pinShared": False}),
)


def _data_segment(device, seg_name):
    for seg in _space(device, "data").iter("memory-segment"):
        if seg.get("name") == seg_name:
            return _num(seg.get("start")), _num(seg.get("size")), seg.get("pagesize")
    raise AssertionError("no %s segment in the data space" % seg_name)


def expect_updi_device(path):
    root = ET.parse(str(path)).getroot()
    device = root.find("devices/device")
    name = device.get("name")
    family = next(f for prefix, f in UPDI_FAMILIES if name.startswith(prefix))
    sig = {p.get("name"): _num(p.get("value"))
           for g in device.iter("property-group") if g.get("name") == "SIGNATURES"
           for p in g.findall("property")}
    offset = [p.get("value") for g in device.iter("property-group") if g.get("name") == "UPDI_INTERFACE"
              for p in g.findall("property") if p.get("name") == "PROGMEM_OFFSET"]
    if [_num(v) for v in offset] != [family["flashBase"]]:
        raise AssertionError("%s: PROGMEM_OFFSET %r is not its family's" % (name, offset))
    flash, flash_page = _paged(device, "prog")
    eeprom_base, eeprom, eeprom_page = _data_segment(device, "EEPROM")
    eeprom_page = _num(eeprom_page)
    lock_base, lock_size, _ = _data_segment(device, "LOCKBITS")
    lock_module = _module(root, "LOCKBIT") or _module(root, "LOCK")
    lock_register = lock_module.find("register-group/register")
    lock_groups = {g.get("name"): g for g in lock_module.iter("value-group")}
    open_values = [_num(v.get("value")) for g in lock_groups.values() for v in g.iter("value")
                   if v.get("name") == "NOLOCK"]
    if open_values != [_num(lock_register.get("initval"))]:
        raise AssertionError("%s: the lock's factory value is not its NOLOCK value" % name)
    fuse = _module(root, "FUSE")
    groups = {g.get("name"): g for g in fuse.iter("value-group")}
    fuses = []
    pin_updi = 0
    for reg in sorted(fuse.iter("register"), key=lambda r: _num(r.get("offset"))):
        initval = reg.get("initval")
        fuses.append({"name": reg.get("name"), "text": _text(reg.get("caption"), reg.get("name")),
                      "offset": _num(reg.get("offset")),
                      "default": None if initval is None else _num(initval),
                      "fields": _fields(fuse, reg, 0, value_names=True)})
        for bf in reg.findall("bitfield"):
            if reg.get("name") == "SYSCFG0" and bf.get("name") == "RSTPINCFG" and family["pinShared"]:
                pin_updi = next(_num(v.get("value")) for v in groups[bf.get("values")].iter("value")
                                if v.get("name") == "UPDI")
    start = lambda seg: _data_segment(device, seg)[0]  # noqa: E731
    return {
        "name": name,
        "signature": (sig["SIGNATURE0"] << 16) | (sig["SIGNATURE1"] << 8) | sig["SIGNATURE2"],
        "flashPageSizeW": flash_page // 2, "flashNoOfPages": flash // flash_page,
        "eepromPageSize": eeprom_page, "eepromNoOfPages": eeprom // eeprom_page,
        "hvMode": None, "defaultLow": None, "defaultHigh": None, "defaultExtended": None,
        "osccal": [], "fuseBits": [], "lockBits": [],
        "updi": {
            "present": True, "nvmVersion": family["nvmVersion"], "flashBase": family["flashBase"],
            "eepromBase": eeprom_base, "userRowBase": start("USER_SIGNATURES"),
            "userRowSize": _data_segment(device, "USER_SIGNATURES")[1],
            "sigRowBase": start("SIGNATURES"), "fuseBase": start("FUSES"),
            "lockBase": lock_base, "lockSize": lock_size, "lockOpenValue": open_values[0],
            "pinShared": family["pinShared"],
            "pinFuse": "SYSCFG0" if family["pinShared"] else "",
            "pinField": "RSTPINCFG" if family["pinShared"] else "",
            "pinUpdiValue": pin_updi, "fuses": fuses,
        },
    }


def _rewrite_texts(fields, captions):
    def fix(text):
        if text is ANY_SAFE_TEXT:
            return text
        for old, new in captions.items():
            text = text.replace(old, new)
        return text
    return [dict(f, text=fix(f["text"]),
                 choices=[dict(c, text=fix(c["text"])) for c in f["choices"]]) for f in fields]


def expected_records(atdf_dir, tables, updi_dir=None):
    """name -> expected record, for every device file and every sibling the list ships, and
    every device file in updi_dir."""
    records = {}
    for path in sorted(Path(updi_dir).glob("*.atdf")) if updi_dir else ():
        rec = expect_updi_device(path)
        records[rec["name"]] = rec
    for path in sorted(Path(atdf_dir).glob("*.atdf")):
        rec = expect_device(path, tables)
        records[rec["name"]] = rec
    own = set(records)
    for entry in tables.SIBLINGS:
        if entry["name"] in own or entry["template"] not in own:
            continue
        captions = entry.get("captions", {})
        rec = dict(records[entry["template"]])
        rec.update({
            "name": entry["name"], "signature": entry["signature"],
            "flashPageSizeW": entry["flash_page"] // 2,
            "flashNoOfPages": entry["flash"] // entry["flash_page"],
            "eepromPageSize": entry["eeprom_page"],
            "eepromNoOfPages": entry["eeprom"] // entry["eeprom_page"],
            "fuseBits": _rewrite_texts(rec["fuseBits"], captions),
            "lockBits": _rewrite_texts(rec["lockBits"], captions),
        })
        records[entry["name"]] = rec
    return records


def is_safe_text(text):
    return all(" " <= c <= "~" and c not in '"<>' for c in text) and text == text.strip()


def differences(want, got, path=""):
    """Readable list of the places where a record read by the application differs."""
    out = []
    if isinstance(want, dict):
        if not isinstance(got, dict):
            return ["%s: expected an object, got %r" % (path, got)]
        for key in want:
            out += differences(want[key], got.get(key, "<missing>"), "%s.%s" % (path, key))
        return out
    if isinstance(want, list):
        if not isinstance(got, list) or len(got) != len(want):
            return ["%s: expected %d entries, got %r" % (path, len(want),
                                                         len(got) if isinstance(got, list) else got)]
        for i, (w, g) in enumerate(zip(want, got)):
            out += differences(w, g, "%s[%d]" % (path, i))
        return out
    if want is ANY_SAFE_TEXT:
        return [] if isinstance(got, str) and is_safe_text(got) else ["%s: unsafe text %r" % (path, got)]
    if want != got:
        out.append("%s: expected %r, got %r" % (path, want, got))
    return out


def default_atdf(cli_value):
    return os.environ.get("BQ_ATDF_DIR") or cli_value


def default_atdf_updi(cli_value):
    return os.environ.get("BQ_ATDF_UPDI_DIR") or cli_value

"""A Python copy of the application's part list reader, used to check generated files.

It follows the reader's rules exactly: lines joined with nothing between them, a tag
runs from "<" to the next ">", tag names are upper-cased and end at the first space,
attributes are found by searching the upper-cased attribute text for the first
occurrence of their name, numbers are read with base detection (0x hex, leading 0 octal).
Records come out in the same shape as `brindlequartz-cli part NAME` prints them.
It covers what the generator writes: each part once, one fuse and one lock-bit block
per part, one UPDI tag and one FUSEBYTES block (the application also merges repeated parts
and blocks; this copy does not).
"""

BLANKS = " \t\r\n"


def join_lines(raw):
    out = []
    for line in raw.split(b"\n"):
        if line.endswith(b"\r"):
            line = line[:-1]
        out.append(line)
    return b"".join(out).decode("latin-1")


def next_tag(content, pos):
    """Returns (name, attributes, new position); name is None at the end."""
    open_at = content.find("<", pos)
    if open_at < 0:
        return None, "", len(content)
    close_at = content.find(">", open_at + 1)
    if close_at < 0:
        return None, "", len(content)
    text = content[open_at + 1:close_at].strip(BLANKS)
    space = text.find(" ")
    if space < 0:
        return text.upper(), "", close_at + 1
    return text[:space].upper(), text[space:].strip(BLANKS), close_at + 1


def _upper_ascii(text):
    return "".join(chr(ord(c) - 32) if "a" <= c <= "z" else c for c in text)


def get_attribute(attributes, name):
    at = _upper_ascii(attributes).find(_upper_ascii(name))
    if at < 0:
        return ""
    rest = attributes[at + len(name):]
    q = rest.find('"')
    if q < 0:
        return ""
    rest = rest[q + 1:].strip(BLANKS)
    q = rest.find('"')
    if q < 0:
        return ""
    return rest[:q].strip(BLANKS)


def parse_number(text):
    """Reads like strtoul with base 0; returns None for text that holds no number."""
    s = text.lstrip(" \t\n\v\f\r")
    negative = False
    if s[:1] in ("+", "-"):
        negative = s[0] == "-"
        s = s[1:]
    if s[:2] in ("0x", "0X"):
        base, digits = 16, s[2:]
    elif s[:1] == "0":
        base, digits = 8, s
    else:
        base, digits = 10, s
    value, count = 0, 0
    for c in digits:
        d = int(c, 36) if c.isalnum() and c.isascii() else 99
        if d >= base:
            break
        value = value * base + d
        count += 1
    if count == 0 or value > 0xFFFFFFFF:
        return None
    return (-value) % (1 << 32) if negative else value


def parse_whole_number(text):
    """A number of the UPDI tags: the whole text, no sign; None when it is not one."""
    if text[:2] in ("0x", "0X"):
        base, digits = 16, text[2:]
    elif text[:1] == "0":
        base, digits = 8, text
    else:
        base, digits = 10, text
    if not digits or any(not (c.isascii() and c.isalnum()) or int(c, 36) >= base for c in digits):
        return None
    value = int(digits, base)
    return value if value <= 0xFFFFFFFF else None


UPDI_NUMBERS = (("nvm", "nvmVersion", 0xFF), ("flash", "flashBase", None),
                ("eeprom", "eepromBase", None), ("userrow", "userRowBase", None),
                ("userbytes", "userRowSize", None), ("sigrow", "sigRowBase", None),
                ("fusebase", "fuseBase", None), ("lockbase", "lockBase", None),
                ("lockbytes", "lockSize", 4), ("unlocked", "lockOpenValue", None),
                ("pinshared", "pinShared", 1))


def read_updi_tag(attributes):
    """The layout of a UPDI tag, or None when a number is missing or out of range."""
    layout = {"present": True}
    for attribute, key, limit in UPDI_NUMBERS:
        value = parse_whole_number(get_attribute(attributes, attribute))
        if value is None or (limit is not None and value > limit):
            return None
        layout[key] = value
    if layout["lockSize"] == 0 or layout["lockOpenValue"] >> (8 * layout["lockSize"]):
        return None
    layout["pinShared"] = layout["pinShared"] == 1
    layout["pinFuse"] = get_attribute(attributes, "pinfuse")
    layout["pinField"] = get_attribute(attributes, "pinfield")
    pin = get_attribute(attributes, "pinupdi")
    layout["pinUpdiValue"] = 0 if pin == "" else parse_whole_number(pin)
    if layout["pinUpdiValue"] is None or layout["pinUpdiValue"] > 0xFF:
        return None
    return layout


def _num8(attributes, name):
    value = parse_number(get_attribute(attributes, name))
    return None if value is None else value & 0xFF


def _field(attributes, tag_name, target):
    return {
        "name": get_attribute(attributes, "name"),
        "text": get_attribute(attributes, "text"),
        "mask": _num8(attributes, "mask"),
        "isEnumerator": tag_name == "ENUMERATOR",
        "targetByte": target,
        "choices": [],
    }


def read_part_list(raw):
    """Reads the bytes of a part list; returns {name: record} in the CLI's JSON shape."""
    content = join_lines(raw)
    parts = {}
    pos = 0

    def tag():
        nonlocal pos
        name, attributes, pos = next_tag(content, pos)
        return name, attributes

    def read_enumerator(choices, with_names=False):
        while pos < len(content):
            name, attributes = tag()
            if name == "/ENUMERATOR" or name is None:
                return
            if name == "ENUM" and attributes:
                choice = {"value": _num8(attributes, "val")}
                if with_names:
                    choice["name"] = get_attribute(attributes, "name")
                choice["text"] = get_attribute(attributes, "text")
                choices.append(choice)

    while pos < len(content):
        name, attributes = tag()
        if name != "AVRPART" or not attributes:
            continue
        part_name = get_attribute(attributes, "name")
        signature = get_attribute(attributes, "signature")
        if not part_name or len(signature) != 8:
            continue
        record = {"name": part_name, "signature": parse_number(signature),
                  "flashPageSizeW": None, "flashNoOfPages": None,
                  "eepromPageSize": None, "eepromNoOfPages": None, "hvMode": None,
                  "defaultLow": None, "defaultHigh": None, "defaultExtended": None,
                  "osccal": [], "fuseBits": [], "lockBits": []}
        parts[part_name] = record
        while pos < len(content):
            name, attributes = tag()
            if name == "/AVRPART" or name is None:
                break
            if name == "MEMORY" and attributes:
                record["flashPageSizeW"] = parse_number(get_attribute(attributes, "FlashPageSizeW"))
                record["flashNoOfPages"] = parse_number(get_attribute(attributes, "FlashNoOfPages"))
                record["eepromPageSize"] = parse_number(get_attribute(attributes, "EEpromPageSize"))
                record["eepromNoOfPages"] = parse_number(get_attribute(attributes, "EEpromNoOfPages"))
            elif name == "HVMODE" and attributes:
                record["hvMode"] = _num8(attributes, "val")
            elif name == "OSCCAL" and attributes:
                record["osccal"].append({"label": get_attribute(attributes, "text"),
                                         "address": _num8(attributes, "val")})
            elif name == "FUSE":
                current = None
                while pos < len(content):
                    name, attributes = tag()
                    if name == "/FUSE" or name is None:
                        break
                    if name in ("LOW", "HIGH", "EXTENDED"):
                        current = {"LOW": 1, "HIGH": 2, "EXTENDED": 3}[name]
                    elif name in ("/LOW", "/HIGH", "/EXTENDED"):
                        current = None
                    elif name in ("DEFAULTLOW", "DEFAULTHIGH", "DEFAULTEXTENDED") and attributes:
                        key = {"DEFAULTLOW": "defaultLow", "DEFAULTHIGH": "defaultHigh",
                               "DEFAULTEXTENDED": "defaultExtended"}[name]
                        record[key] = _num8(attributes, "val")
                    elif name in ("BIT", "ENUMERATOR") and attributes and current:
                        field = _field(attributes, name, current)
                        record["fuseBits"].append(field)
                        if name == "ENUMERATOR":
                            read_enumerator(field["choices"])
            elif name == "UPDI" and attributes:
                layout = read_updi_tag(attributes)
                if layout is not None:
                    fuses = record.get("updi", {}).get("fuses", [])
                    record["updi"] = dict(layout, fuses=fuses)
            elif name == "FUSEBYTES":
                fuses = record.setdefault("updi", {"present": False}).setdefault("fuses", [])
                fuses.clear()
                current = None
                while pos < len(content):
                    name, attributes = tag()
                    if name in ("/FUSEBYTES", "/FUSEBYTE", "FUSEBYTE", None) and current:
                        if current["ok"]:
                            del current["ok"]
                            fuses.append(current)
                        current = None
                    if name in ("/FUSEBYTES", None):
                        break
                    if name == "FUSEBYTE" and attributes:
                        offset = parse_whole_number(get_attribute(attributes, "offset"))
                        default = get_attribute(attributes, "default")
                        default = None if default == "" else parse_whole_number(default)
                        byte_name = get_attribute(attributes, "name")
                        ok = bool(byte_name) and offset is not None and offset <= 0xFF and (
                            get_attribute(attributes, "default") == "" or
                            (default is not None and default <= 0xFF))
                        current = {"name": byte_name, "text": get_attribute(attributes, "text"),
                                   "offset": offset, "default": default, "fields": [], "ok": ok}
                    elif name in ("BIT", "ENUMERATOR") and attributes and current:
                        field = _field(attributes, name, 0)
                        current["fields"].append(field)
                        if name == "ENUMERATOR":
                            read_enumerator(field["choices"], with_names=True)
                fuses.sort(key=lambda f: f["offset"])
            elif name == "LOCKBIT":
                while pos < len(content):
                    name, attributes = tag()
                    if name == "/LOCKBIT" or name is None:
                        break
                    if name in ("BIT", "ENUMERATOR") and attributes:
                        field = _field(attributes, name, 4)
                        record["lockBits"].append(field)
                        if name == "ENUMERATOR":
                            read_enumerator(field["choices"])
    return parts

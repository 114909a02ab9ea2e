#!/usr/bin/env python3
"""The generator's decisions on small made-up device files, one row per case.

    check_generator_rules.py --generator DIR

Programming mode: serial when the part has HVSP; parallel mode 2 for 20-pin parts and
mode 1 for larger ones, from the pinouts or, without pinouts, from the parallel
programming wiring; a file whose pinouts and wiring disagree is refused.
Fields: a wide field without named values offers every value; named values outside
the field's mask are refused.
UPDI parts (--atdf-updi, vendor files with one change each): the NVM version from the
NVMCTRL command set, the flash address from PROGMEM_OFFSET, the UPDI pin shared when the
pads and SYSCFG0.RSTPINCFG both say so; a file whose signs disagree is refused.
"""

import argparse
import sys
import tempfile
from pathlib import Path

WIDE = ("0x0E 0x1E 0x0F 0x1F 0x2E 0x3E 0x2F 0x3F 0x4E 0x5E 0x4F 0x5F 0x6E 0x7E 0x6F 0x7F "
        "0x66 0x76 0x67 0x77 0x6A 0x7A 0x6B 0x7B 0xBE 0xFD 0x00 0x01 0x00 0x00 0x00 0x00")
NARROW = ("0x0E 0x1E 0x0E 0x1E 0x2E 0x3E 0x2E 0x3E 0x4E 0x5E 0x4E 0x5E 0x6E 0x7E 0x6E 0x7E "
          "0x26 0x36 0x66 0x76 0x2A 0x3A 0x6A 0x7A 0x2E 0xFD 0x00 0x01 0x00 0x00 0x00 0x00")


def device_file(interfaces, pins=None, stack=None, fuse_fields='<bitfield caption="Clock" mask="0x0F" name="CKSEL"/>',
                groups=""):
    pinout = ""
    if pins:
        pinout = "<pinouts><pinout name=\"P\">%s</pinout></pinouts>" % "".join(
            '<pin position="%d" pad="P%d"/>' % (i + 1, i) for i in range(pins))
    pp = ""
    if stack:
        pp = ('<property-group name="PP_INTERFACE"><property name="PpControlStack" value="%s"/>'
              '</property-group>' % stack)
    return """<?xml version="1.0"?>
<avr-tools-device-file>
  <devices><device name="ATdemo1">
    <address-spaces>
      <address-space name="prog" start="0" size="0x800">
        <memory-segment start="0" size="0x800" type="flash" name="FLASH" pagesize="0x20"/></address-space>
      <address-space name="eeprom" start="0" size="0x80">
        <memory-segment start="0" size="0x80" type="eeprom" name="EEPROM" pagesize="0x04"/></address-space>
    </address-spaces>
    <interfaces>%s</interfaces>
    <property-groups>
      <property-group name="SIGNATURES">
        <property name="SIGNATURE0" value="0x1e"/><property name="SIGNATURE1" value="0x91"/>
        <property name="SIGNATURE2" value="0x99"/></property-group>%s
    </property-groups>
  </device></devices>
  <modules>
    <module name="FUSE"><register-group name="FUSE">
      <register name="LOW" offset="0x00" size="1" initval="0x62">%s</register>
    </register-group>%s</module>
  </modules>
  %s
</avr-tools-device-file>
""" % ("".join('<interface name="%s" type="%s"/>' % (i.upper(), i) for i in interfaces), pp,
       fuse_fields, groups, pinout)


CASES = [
    # name, file text, expected HV mode or "refused", expected LOW fields (name, enumerator, choices)
    ("serial part", device_file(["isp", "hvsp"], pins=8), 3, None),
    ("ISP only", device_file(["isp"], pins=32), None, None),
    ("20-pin parallel part by pinout", device_file(["isp", "hvpp"], pins=20, stack=NARROW), 2, None),
    ("28-pin parallel part by pinout", device_file(["isp", "hvpp"], pins=28, stack=WIDE), 1, None),
    ("no pinout, wide wiring", device_file(["isp", "hvpp"], stack=WIDE), 1, None),
    ("no pinout, 20-pin wiring", device_file(["isp", "hvpp"], stack=NARROW), 2, None),
    ("pinout and wiring disagree", device_file(["isp", "hvpp"], pins=20, stack=WIDE), "refused", None),
    ("parallel part with neither", device_file(["isp", "hvpp"]), "refused", None),
    ("wide field without named values", device_file(["isp"]), None,
     [("CKSEL", True, 16)]),
    ("named value outside the mask",
     device_file(["isp"], fuse_fields='<bitfield caption="x" mask="0x06" name="BOOTSZ" values="G"/>',
                 groups='<value-group name="G"><value caption="a" name="A" value="0x04"/></value-group>'),
     "refused", None),
    ("one-bit field with named values",
     device_file(["isp"], fuse_fields='<bitfield caption="Level" mask="0x80" name="BODLEVEL" values="G"/>',
                 groups='<value-group name="G"><value caption="4.0 V" name="A" value="0x00"/>'
                        '<value caption="2.7 V" name="B" value="0x01"/></value-group>'),
     None, [("BODLEVEL", True, 2)]),
]


# name, vendor file, (text, replacement) or None, expected (nvm, flash, shared, pin value,
# lock bytes) or "refused"
UPDI_CASES = [
    ("tinyAVR 1", "ATtiny1614", None, (0, 0x8000, True, 1, 1)),
    ("megaAVR 0", "ATmega4809", None, (0, 0x4000, False, 0, 1)),
    ("AVR DA", "AVR128DA48", None, (2, 0x800000, False, 0, 4)),
    ("shared pin without a UPDI value", "ATtiny1614",
     ('caption="UPDI mode" name="UPDI"', 'caption="UPDI mode" name="UPDX"'), "refused"),
    ("flash address not where flash is mapped", "ATtiny1614",
     ('name="PROGMEM_OFFSET" value="0x00008000"', 'name="PROGMEM_OFFSET" value="0x00004000"'),
     "refused"),
    ("unknown NVM command set", "ATtiny1614", ('name="FUSEWRITE"', 'name="FUSEPROGRAM"'), "refused"),
    ("lock key wider than the lock", "AVR128DA48",
     ('initval="0x5CC5C55C"', 'initval="0x15CC5C55C"'), "refused"),
]


def check_updi_cases(generate, updi_dir, tmp, failures):
    for name, source, change, want in UPDI_CASES:
        text = (Path(updi_dir) / (source + ".atdf")).read_text(encoding="utf-8")
        if change is not None:
            if text.count(change[0]) != 1:
                failures.append("%s: %r not once in %s" % (name, change[0], source))
                continue
            text = text.replace(change[0], change[1])
        path = Path(tmp) / (source + ".atdf")
        path.write_text(text, encoding="utf-8")
        try:
            part = generate.load_updi_device(path)
        except generate.GenerateError as e:
            if want != "refused":
                failures.append("%s: refused (%s)" % (name, e))
            continue
        if want == "refused":
            failures.append("%s: accepted" % name)
            continue
        u = part["updi"]
        got = (u["nvm"], u["flash"], u["pin_shared"], u["pin_updi"], u["lock_size"])
        if got != want:
            failures.append("%s: %r, expected %r" % (name, got, want))
        try:
            generate.check_readback(generate.render([part]), [part])
        except generate.GenerateError as e:
            failures.append("%s: written list reads back wrong: %s" % (name, e))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--generator", required=True)
    parser.add_argument("--atdf-updi", default=None,
                        help="vendor folder of the UPDI parts; without it those cases are skipped")
    args = parser.parse_args()
    sys.dont_write_bytecode = True
    sys.path.insert(0, args.generator)
    import generate

    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, text, want_mode, want_fields in CASES:
            path = Path(tmp) / "demo.atdf"
            path.write_text(text)
            try:
                part = generate.load_device(path)
            except generate.GenerateError as e:
                if want_mode != "refused":
                    failures.append("%s: refused (%s)" % (name, e))
                continue
            if want_mode == "refused":
                failures.append("%s: accepted" % name)
                continue
            if part["hv_mode"] != want_mode:
                failures.append("%s: mode %r, expected %r" % (name, part["hv_mode"], want_mode))
            if want_fields is not None:
                got = [(n, c is not None, len(c or ())) for n, _, _, c in part["fuses"][0][2]]
                if got != want_fields:
                    failures.append("%s: fields %r, expected %r" % (name, got, want_fields))
            data = generate.render([part])
            try:
                generate.check_readback(data, [part])
            except generate.GenerateError as e:
                failures.append("%s: written list reads back wrong: %s" % (name, e))
        if args.atdf_updi and Path(args.atdf_updi).is_dir():
            check_updi_cases(generate, args.atdf_updi, tmp, failures)
        else:
            print("note: no UPDI vendor folder; its cases skipped")
    for f in failures:
        print("FAIL: " + f)
    if not failures:
        print("ok: %d generator cases" % (len(CASES) + len(UPDI_CASES)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

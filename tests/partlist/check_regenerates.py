#!/usr/bin/env python3
"""Regenerating the part list gives the committed bytes, and the generator refuses bad input.

    check_regenerates.py --generator tools/partlist/generate.py --partlist PartList.cfg --atdf DIR
                         --atdf-updi DIR

1. Two runs into a temporary folder give the committed PartList.cfg and
   PartList.cfg.LICENSE byte for byte.
2. The committed list carries the vendor's license notice in a comment the reader skips.
3. A vendor file whose caption would break the reader's attribute search, quotes or
   brackets, still gives a list that reads back right (the generator checks its own
   output); a caption the generator cannot place makes it stop, not write.
Exits 77 when the vendor folder is absent.
"""

import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import atdf_expect  # noqa: E402


UPDI_DIR = None  # the vendor folder of the parts programmed over UPDI, from the command line


def generate(generator, atdf, out_dir):
    out = Path(out_dir) / "PartList.cfg"
    done = subprocess.run([sys.executable, generator, "--atdf", str(atdf), "--atdf-updi", str(UPDI_DIR),
                           "--output", str(out)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    return done, out


def check_same_bytes(args, atdf, failures):
    committed = Path(args.partlist)
    for run in (1, 2):
        with tempfile.TemporaryDirectory() as tmp:
            done, out = generate(args.generator, atdf, tmp)
            if done.returncode != 0:
                failures.append("run %d failed: %s" % (run, done.stderr.decode(errors="replace")))
                return
            for produced, kept in ((out, committed),
                                   (Path(str(out) + ".LICENSE"), Path(str(committed) + ".LICENSE"))):
                if not kept.is_file():
                    failures.append("%s is not committed" % kept.name)
                elif produced.read_bytes() != kept.read_bytes():
                    failures.append("run %d: %s differs from the committed file; run make partlist"
                                    % (run, kept.name))


def check_notice(args, failures):
    text = Path(args.partlist).read_bytes().decode("ascii")
    head = text[:text.find("-->") + 3]
    if not head.startswith("<!--") or "Apache License, Version 2.0" not in head \
            or "Microchip" not in head:
        failures.append("the list does not open with the vendor's license notice")
    if ">" in head[:-3] or "<" in head[4:]:
        failures.append("the notice comment holds a bracket and would end early")
    license_text = Path(args.partlist + ".LICENSE").read_text(encoding="utf-8")
    if "Licensed under the Apache License, Version 2.0" not in license_text \
            or "TERMS AND CONDITIONS FOR USE, REPRODUCTION, AND DISTRIBUTION" not in license_text:
        failures.append("PartList.cfg.LICENSE lacks the vendor notice or the license text")


def check_hostile_captions(args, atdf, failures):
    """Captions that shadow attribute names or hold quotes and brackets."""
    source = atdf / "attiny85.atdf"
    if not source.is_file():
        return
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp) / "atdf"
        folder.mkdir()
        shutil.copy(atdf / "LICENSE", folder / "LICENSE")
        text = source.read_text(encoding="utf-8")
        text = text.replace('caption="Debug Wire enable"',
                            'caption="mask name text val &quot;quoted&quot; &lt;tag&gt; a&gt;=b"')
        text = text.replace('caption="Brown-out detection at VCC=1.8 V"',
                            'caption="interval value text name 1.8 V"')
        (folder / "attiny85.atdf").write_text(text, encoding="utf-8")
        done, out = generate(args.generator, folder, tmp)
        if done.returncode != 0:
            failures.append("hostile captions: generator failed: %s"
                            % done.stderr.decode(errors="replace"))
            return
        written = out.read_text(encoding="ascii")
        line = next((l for l in written.splitlines() if 'name="DWEN"' in l), "")
        if not line.strip().startswith('<BIT mask="0x40" name="DWEN" text="') \
                or line.count('"') != 6 or line.count(">") != 1:
            failures.append("hostile captions: DWEN written as %r" % line)

        # A field name the reader would find inside its own text cannot be written safely.
        (folder / "attiny85.atdf").write_text(
            text.replace('name="DWEN"', 'name="TEXTMODE"'), encoding="utf-8")
        shadow = Path(tmp) / "shadow"
        shadow.mkdir()
        done, out = generate(args.generator, folder, shadow)
        if done.returncode == 0:
            failures.append("a field named TEXTMODE was written although the reader "
                            "would take its text from the name")
        elif out.exists():
            failures.append("a refused run still wrote %s" % out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--generator", required=True)
    parser.add_argument("--partlist", required=True)
    parser.add_argument("--atdf", required=True)
    parser.add_argument("--atdf-updi", required=True)
    args = parser.parse_args()
    atdf = atdf_expect.atdf_dir_or_skip(atdf_expect.default_atdf(args.atdf))
    global UPDI_DIR
    UPDI_DIR = atdf_expect.atdf_dir_or_skip(atdf_expect.default_atdf_updi(args.atdf_updi))
    failures = []
    check_same_bytes(args, atdf, failures)
    check_notice(args, failures)
    check_hostile_captions(args, atdf, failures)
    for f in failures:
        print("FAIL: " + f)
    if not failures:
        print("ok: regenerated list is byte-identical; notice present; hostile captions handled")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

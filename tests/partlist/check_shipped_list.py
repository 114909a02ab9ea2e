#!/usr/bin/env python3
"""Loads the shipped part list with the application's own reader and checks what it built.

    check_shipped_list.py names   --cli CLI --partlist FILE --atdf DIR --atdf-updi DIR
                             --generator DIR
    check_shipped_list.py records --cli CLI --partlist FILE --atdf DIR --atdf-updi DIR
                             --generator DIR

names:   `brindlequartz-cli parts` lists exactly the parts the list should ship, in byte order.
records: every record, as the reader builds it (`brindlequartz-cli part NAME`), matches
         the vendor file it came from: signature, geometry, programming mode, calibration
         bytes, every fuse and lock field and the fuse defaults; for the parts programmed
         over UPDI (--atdf-updi) the memory layout, lock, UPDI pin and every named fuse byte.
Exits 77 when the vendor folder is absent.
"""

import argparse
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import atdf_expect  # noqa: E402


def run_cli(cli, *args):
    done = subprocess.run([cli] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=60)
    if done.returncode != 0:
        raise SystemExit("FAIL: %s %s exited %d: %s" % (cli, " ".join(args), done.returncode,
                                                        done.stderr.decode(errors="replace")))
    return done.stdout.decode("ascii")


def check_names(args, expected):
    listed = run_cli(args.cli, "--partlist", args.partlist, "parts").splitlines()
    want = sorted(expected, key=lambda n: n.encode())
    if listed != want:
        missing = sorted(set(want) - set(listed))
        extra = sorted(set(listed) - set(want))
        print("FAIL: part names differ; missing %s, unexpected %s, order %s"
              % (missing, extra, "differs" if not missing and not extra else "-"))
        return 1
    print("ok: %d parts listed in byte order" % len(listed))
    return 0


def check_records(args, expected):
    failures = 0
    for name in sorted(expected):
        want = dict(expected[name])
        got = json.loads(run_cli(args.cli, "--partlist", args.partlist, "part", name))
        if want["hvMode"] is None:
            # In-system programming only: any mode code the programmer does not treat as
            # high-voltage.
            if got.get("hvMode") in (1, 2, 3):
                print("FAIL %s: ISP-only part read with high-voltage mode %r" % (name, got["hvMode"]))
                failures += 1
            want["hvMode"] = got.get("hvMode")
        problems = atdf_expect.differences(want, got, name)
        if problems:
            failures += 1
            print("FAIL %s:\n  %s" % (name, "\n  ".join(problems[:20])))
    if failures:
        print("FAIL: %d of %d parts differ from their vendor files" % (failures, len(expected)))
        return 1
    print("ok: %d records match their vendor files" % len(expected))
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("names", "records"))
    parser.add_argument("--cli", required=True)
    parser.add_argument("--partlist", required=True)
    parser.add_argument("--atdf", required=True)
    parser.add_argument("--atdf-updi", required=True)
    parser.add_argument("--generator", required=True, help="folder of the generator's tables")
    args = parser.parse_args()
    atdf = atdf_expect.atdf_dir_or_skip(atdf_expect.default_atdf(args.atdf))
    updi = atdf_expect.atdf_dir_or_skip(atdf_expect.default_atdf_updi(args.atdf_updi))
    if not Path(args.cli).is_file():
        print("FAIL: %s not built" % args.cli)
        return 1
    expected = atdf_expect.expected_records(atdf, atdf_expect.load_tables(args.generator), updi)
    return check_names(args, expected) if args.mode == "names" else check_records(args, expected)


if __name__ == "__main__":
    sys.exit(main())

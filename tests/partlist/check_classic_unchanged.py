#!/usr/bin/env python3
"""Every classic part reads exactly as it did before the list held UPDI parts.

    check_classic_unchanged.py --cli CLI --partlist FILE --records classic_records.jsonl.gz

The records file holds one `brindlequartz-cli part NAME` line per classic part, as the
reader built them from the list of 75 classic parts (commit 03169a4), before the UPDI
entries and their tags were added. Each line must come out of the shipped list byte for
byte: same fields, same order, no new keys.
"""

import argparse
import gzip
import json
import subprocess
import sys
from pathlib import Path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--partlist", required=True)
    parser.add_argument("--records", required=True)
    args = parser.parse_args()
    if not Path(args.cli).is_file():
        print("FAIL: %s not built" % args.cli)
        return 1
    lines = gzip.decompress(Path(args.records).read_bytes()).decode("ascii").splitlines()
    failures = 0
    for line in lines:
        name = json.loads(line)["name"]
        done = subprocess.run([args.cli, "--partlist", args.partlist, "part", name],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        got = done.stdout.decode("ascii", errors="replace").rstrip("\n")
        if done.returncode != 0 or got != line:
            failures += 1
            first = next((i for i, (a, b) in enumerate(zip(line, got)) if a != b),
                         min(len(line), len(got)))
            print("FAIL %s: reads differently from character %d: %r instead of %r"
                  % (name, first, got[first:first + 60], line[first:first + 60]))
    if failures:
        print("FAIL: %d of %d classic parts read differently" % (failures, len(lines)))
        return 1
    print("ok: %d classic parts read exactly as before" % len(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env bash
# A short session against the simulated programmer: the simulator serves an
# ATmega328P on a pseudo-terminal and brindlequartz-cli talks to it like to a
# real programmer. Run by `make run`.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
cli="$build/app/cli/brindlequartz-cli"
sim="$build/app/sim/brindlequartz-sim"
part=${BQ_DEMO_PART:-ATmega328P}
work=$(mktemp -d)
trap 'kill "$simpid" 2>/dev/null || true; rm -rf "$work"' EXIT

cd "$root"
"$sim" --partlist PartList.cfg --part "$part" > "$work/sim.out" &
simpid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
port=$(head -n 1 "$work/sim.out")
echo "Simulated programmer with an $part on $port"

run() {
  echo
  echo "\$ brindlequartz-cli -P $port $*"
  "$cli" -P "$port" "$@" || echo "(exit status $?)"
}
run identify
run version
run write flash tests/cli/data/blink.hex   # erases, writes the pages that hold it, verifies them
run read flash "$work/readback.hex"
run write eeprom tests/cli/data/blink.eep
run fuses read
run calibration
run blank-check flash
echo
echo "Read back $(grep -c '^:10' "$work/readback.hex") full data records of the flash image."
echo "Use a real programmer with: $cli -P ttyUSB0 identify   (see README.md)"

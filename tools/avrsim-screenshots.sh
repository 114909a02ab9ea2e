#!/usr/bin/env bash
# Pictures of the desktop program at work against the firmware on the simulated bench:
# an ATmega328P in the Mega's 28-pin socket is given the Uno firmware's own image with the
# CLI, then the desktop program (under Xvfb) identifies it and reads flash, fuses, lock bits
# and calibration bytes over the bench's serial line.
#   tools/avrsim-screenshots.sh [BUILD_DIR] [OUT_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
out=${2:-$build/avrsim-screenshots}
work=$(mktemp -d)
trap 'kill $bench 2>/dev/null; rm -rf "$work"' EXIT
cd "$root"
"$build/app/avrsim/brindlequartz-avrsim" --board mega --target ATmega328P --chip "$work/chip" \
  --link "$work/port" >/dev/null 2>"$work/bench.err" &
bench=$!
for _ in $(seq 100); do [ -e "$work/port" ] && break; sleep 0.05; done
"$build/app/cli/brindlequartz-cli" -P "$work/port" -p m328p write flash "$build/firmware/brindlequartz-uno.hex"
mkdir -p "$work/config/Varno"
printf '[General]\nCOMPort=%s\nISPSpeed=0\n' "$work/port" >"$work/config/Varno/Brindlequartz.conf"
XDG_CONFIG_HOME="$work/config" xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/app/qt/brindlequartz" --screenshot-dir "$out"
kill -TERM $bench
wait $bench || { cat "$work/bench.err" >&2; exit 1; }
ls "$out"

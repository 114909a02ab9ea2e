#!/usr/bin/env bash
# Pictures of the Windows program on each tab, under Wine on a virtual display:
#   app/win32/screenshots.sh [BUILD_WIN [OUT_DIR [PART]]]
# (defaults: build-win, build/screenshots, ATmega328P) writes OUT_DIR/win32-tab-N-NAME.png
# with PART on the simulated programmer (a UPDI part on a simulated SerialUPDI adapter). Run
# from anywhere; PartList.cfg is taken from the repository root.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build-win}" && pwd)
out=${2:-$root/build/screenshots}
part=${3:-ATmega328P}
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/win32-*.png "$out"/win32-*.bmp
cd "$root"
BQ_WINE_GUI=1 "$root/tools/wine/run-wine.sh" "$build/app/win32/brindlequartz.exe" \
  --simulate "$part" --screenshot-dir "Z:${out//\//\\}"
python3 "$root/app/win32/bmp_to_png.py" "$out"/win32-*.bmp

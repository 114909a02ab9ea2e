#!/usr/bin/env bash
# The Windows programs against the simulated programmer through a real Win32 COM port:
# brindlequartz-sim (a native build's) serves a pseudo-terminal, Wine maps COM5 to it
# ($WINEPREFIX/dosdevices/com5, and HKLM\Software\Wine\Ports so that it is listed under
# HARDWARE\DEVICEMAP\SERIALCOMM), and brindlequartz-cli.exe and test_win32.exe run under Wine.
# COM6 is a second pseudo-terminal, left at its default line settings, that echoes what it gets
# (echo_pty.py beside this script).
#
#   sim_com_port_test.sh --sim PATH --cli CLI.exe --tests test_win32.exe --partlist FILE
#                        --data DIR --prefix WINEPREFIX --runner run-wine.sh
# Exits 77 (skipped) when no brindlequartz-sim is given.
set -uo pipefail

SIM="" CLI="" TESTS="" PARTLIST="" DATA="" PREFIX="" RUNNER=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sim) SIM=$2 ;;
    --cli) CLI=$2 ;;
    --tests) TESTS=$2 ;;
    --partlist) PARTLIST=$2 ;;
    --data) DATA=$2 ;;
    --prefix) PREFIX=$2 ;;
    --runner) RUNNER=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done

if [ -z "$SIM" ]; then
  echo "SKIPPED: no native brindlequartz-sim (configure with -DBQ_NATIVE_SIM=PATH; make windows does)"
  exit 77
fi
if [ ! -x "$SIM" ]; then
  echo "FAILED: $SIM is not a program (build the native tree first)" >&2
  exit 1
fi

PORT=COM5
ECHO_PORT=COM6
PART=ATmega328P
export BQ_WINEPREFIX=$PREFIX
if command -v wineserver >/dev/null; then WINESERVER=wineserver; else WINESERVER=/usr/lib/wine/wineserver; fi

work=$(mktemp -d)
sim_pid=""
echo_pid=""
cleanup() {
  for pid in $sim_pid $echo_pid; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  WINEPREFIX=$PREFIX "$WINESERVER" -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
check() {  # check NAME CONDITION-STATUS OUTPUT
  if [ "$2" -eq 0 ]; then
    echo "ok: $1"
    passed=$((passed + 1))
  else
    echo "FAILED: $1"
    printf '%s\n' "$3" | sed 's/^/    /'
    failed=$((failed + 1))
  fi
}
win() { "$RUNNER" "$@" 2>&1; }   # a Windows program, both streams, CRs taken out
winpath() { echo "Z:$1"; }       # Wine's drive Z: is the Unix root

# A fresh prefix of our own: the port mapping below restarts its wineserver.
WINEPREFIX=$PREFIX "$WINESERVER" -k 2>/dev/null
rm -rf "$PREFIX" "$PREFIX.lock" "$PREFIX.init.log"
if ! win "$CLI" --help >/dev/null; then
  echo "FAILED: cannot run $CLI under Wine" >&2
  exit 1
fi

"$SIM" --partlist "$PARTLIST" --part "$PART" --link "$PREFIX/dosdevices/com5" \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$work/sim.out" ] && break
  sleep 0.1
done
pty=$(head -n 1 "$work/sim.out")
if [ -z "$pty" ]; then
  echo "FAILED: brindlequartz-sim did not start" >&2
  cat "$work/sim.err" >&2
  exit 1
fi
echo "brindlequartz-sim on $pty as $PORT"

python3 "$(dirname "$0")/echo_pty.py" "$PREFIX/dosdevices/com6" >"$work/echo.out" 2>"$work/echo.err" &
echo_pid=$!
for _ in $(seq 100); do
  [ -s "$work/echo.out" ] && break
  sleep 0.1
done
if [ ! -s "$work/echo.out" ]; then
  echo "FAILED: echo_pty.py did not start" >&2
  cat "$work/echo.err" >&2
  exit 1
fi
echo "echoing pseudo-terminal at its default line settings on $(head -n 1 "$work/echo.out") as $ECHO_PORT"

# Listed as well: Wine's mount manager registers the ports of this table at its start.
win reg add 'HKLM\Software\Wine\Ports' /v "$PORT" /t REG_SZ /d "$pty" /f >/dev/null
WINEPREFIX=$PREFIX "$WINESERVER" -k 2>/dev/null
WINEPREFIX=$PREFIX "$WINESERVER" -w 2>/dev/null

out=$(win "$CLI" ports)
printf '%s\n' "$out" | grep -qx "$PORT"
check "ports lists $PORT from the registry" $? "$out"

out=$(win "$CLI" -P "$PORT" version)
[ "$out" = $'Hardware Version: 02.01\nFirmware Version: 01.07' ]
check "version over $PORT" $? "$out"

pl=$(winpath "$PARTLIST")
out=$(win "$CLI" --partlist "$pl" -P "$PORT" identify)
status=$?
printf '%s\n' "$out" | grep -qx "success: Chip detect successfully." &&
  printf '%s\n' "$out" | grep -qx "info: Name: $PART, Signature: 0x1E950F, Connected to: Socket" &&
  [ $status -eq 0 ]
check "identify over $PORT" $? "$out"

out=$(win "$CLI" --partlist "$pl" -P "$PORT" -p "$PART" write flash "$(winpath "$DATA/blink.hex")" --verify)
status=$?
printf '%s\n' "$out" | grep -qx "success: Verified OK" && [ $status -eq 0 ]
check "write flash and verify over $PORT" $? "$out"

# Read back: the chip holds the program, then erased flash.
out=$(win "$CLI" --partlist "$pl" -P "$PORT" -p "$PART" read flash "$(winpath "$work/read.bin")" &&
      win "$CLI" convert "$(winpath "$DATA/blink.hex")" "$(winpath "$work/blink.bin")")
status=$?
size=$(stat -c %s "$work/blink.bin" 2>/dev/null || echo 0)
[ $status -eq 0 ] && [ "$(stat -c %s "$work/read.bin")" -eq 32768 ] &&
  cmp -s -n "$size" "$work/read.bin" "$work/blink.bin"
check "read flash over $PORT gives back the program" $? "$out"

out=$(BQ_WIN32_TEST_PORT=$PORT win "$TESTS" --gtest_filter='Win32SerialPort.*' --gtest_brief=1)
status=$?
printf '%s\n' "$out" | grep -q "PASSED .* 3 tests" && [ $status -eq 0 ]
check "Win32SerialPort tests over $PORT" $? "$out"

out=$(BQ_WIN32_ECHO_PORT=$ECHO_PORT win "$TESTS" --gtest_filter='Win32PortAtDefaults.*' --gtest_brief=1)
status=$?
printf '%s\n' "$out" | grep -q "PASSED .* 2 tests" && [ $status -eq 0 ]
check "every byte value both ways over $ECHO_PORT, a terminal at its default line settings; its line set as asked, and a break" $? "$out"

if grep -qi "error" "$work/sim.err"; then
  check "simulator reported no error" 1 "$(cat "$work/sim.err")"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

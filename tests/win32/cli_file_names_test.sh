#!/usr/bin/env bash
# brindlequartz-cli.exe under Wine with file names outside the system's ANSI code page on its
# command line: convert reads one such file and writes another.
#
#   cli_file_names_test.sh --cli CLI.exe --runner run-wine.sh
set -uo pipefail

CLI="" RUNNER=""
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) CLI=$2 ;;
    --runner) RUNNER=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done

CLI=$(realpath "$CLI") RUNNER=$(realpath "$RUNNER")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

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

name='Jürgen_日本'
printf ':0400000001020304F2\r\n:00000001FF\r\n' >"$name.hex"

out=$("$RUNNER" "$CLI" convert "$name.hex" out.bin 2>&1)
status=$?
[ $status -eq 0 ] && [ "$(od -An -tx1 out.bin | tr -d ' \n')" = 01020304 ]
check "convert $name.hex out.bin reads the file" $? "$out"

out=$("$RUNNER" "$CLI" convert out.bin "$name.eep" 2>&1)
status=$?
[ $status -eq 0 ] && [ "$(head -n 1 "$name.eep" | tr -d '\r')" = ":0400000001020304F2" ]
check "convert out.bin $name.eep writes the file under its name" $? "$out $(ls)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

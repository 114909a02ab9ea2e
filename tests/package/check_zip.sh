#!/usr/bin/env bash
# The Windows zip as a user gets it: unpacked into a temporary folder, its brindlequartz-cli.exe
# run under Wine from another folder lists the parts of the part list beside it.
#
#   check_zip.sh --zip FILE --version VERSION --reference-cli CLI.exe --partlist FILE
#                --runner run-wine.sh --prefix WINEPREFIX
#
# --reference-cli and --partlist: the build tree's brindlequartz-cli.exe and the source's part
# list, to compare the answers with.
set -uo pipefail

ZIP="" VERSION="" REF_CLI="" PARTLIST="" RUNNER="" PREFIX=""
while [ $# -gt 0 ]; do
  case "$1" in
    --zip) ZIP=$2 ;;
    --version) VERSION=$2 ;;
    --reference-cli) REF_CLI=$2 ;;
    --partlist) PARTLIST=$2 ;;
    --runner) RUNNER=$2 ;;
    --prefix) PREFIX=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
if [ ! -f "$ZIP" ]; then
  echo "FAILED: no zip $ZIP (the package.make test makes it: cpack in the build folder)" >&2
  exit 1
fi
export BQ_WINEPREFIX=$PREFIX

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/unpacked" "$work/elsewhere"
failed=0
fail() {
  echo "FAILED: $*" >&2
  failed=1
}

(cd "$work/unpacked" && cmake -E tar xf "$ZIP") || { echo "FAILED: cannot unpack $ZIP" >&2; exit 1; }
top=brindlequartz-$VERSION-windows-x64
expected=$(printf '%s\n' "$top/PartList.cfg" "$top/PartList.cfg.LICENSE" "$top/README.txt" \
  "$top/brindlequartz-cli.exe" "$top/brindlequartz.exe" \
  "$top/firmware/brindlequartz-mega.hex" "$top/firmware/brindlequartz-uno.hex")
actual=$(cd "$work/unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "the zip holds $(echo $actual), expected $(echo $expected)"

readme=$work/unpacked/$top/README.txt
if [ -f "$readme" ]; then
  lines=$(wc -l <"$readme")
  crlf=$(grep -c $'\r$' "$readme")
  [ "$lines" -gt 0 ] && [ "$crlf" -eq "$lines" ] || fail "README.txt: $crlf of $lines lines end in CR LF"
  grep -q "Brindlequartz $VERSION" "$readme" || fail "README.txt does not name version $VERSION"
fi

# From another folder, with no part list in it: the program finds the one beside it.
cd "$work/elsewhere" || exit 1
cli=$work/unpacked/$top/brindlequartz-cli.exe
out=$("$RUNNER" "$cli" --version 2>&1)
[ "$out" = "brindlequartz-cli $VERSION" ] || fail "brindlequartz-cli.exe --version said '$out'"
out=$("$RUNNER" "$cli" parts 2>"$work/parts.err")
status=$?
[ $status -eq 0 ] || fail "brindlequartz-cli.exe parts: exit status $status: $(cat "$work/parts.err")"
grep -qx ATmega328P <<<"$out" || fail "brindlequartz-cli.exe parts does not list ATmega328P"
reference=$("$RUNNER" "$REF_CLI" parts --partlist "Z:$PARTLIST" 2>&1)  # Wine: Z: is the Unix root
[ "$out" = "$reference" ] || fail "brindlequartz-cli.exe parts lists other parts than the shipped part list"

[ $failed -eq 0 ] && echo "zip: $(wc -l <<<"$out") parts listed by brindlequartz-cli.exe from $work/elsewhere"
exit $failed

#!/usr/bin/env bash
# The Debian package as a user gets it, checked with Debian's own tools.
#
#   check_deb.sh CHECK --deb FILE --version VERSION --reference-cli CLI --partlist FILE
#   check_deb.sh make --deb FILE --cpack CPACK --config CPackConfig.cmake
#
# CHECK is one of:
#   make       makes the package with CPack (once, before the other checks)
#   contents   the files, their owners and permissions, the control fields
#   programs   unpacked with dpkg-deb -x, the programs run from another folder find their part list
#   man        the manual pages render without a warning
#   desktop    desktop-file-validate passes on the launcher, which starts the packaged program
#   lintian    lintian reports no error (its warnings and notes are printed)
# --reference-cli and --partlist give the build tree's brindlequartz-cli and the source's part
# list, to compare the packaged program's answers with. Exits 77 (skipped) without dpkg-deb or
# the check's own tool.
set -uo pipefail

check=${1:-}
shift || true
DEB="" VERSION="" REF_CLI="" PARTLIST="" CPACK="" CONFIG=""
while [ $# -gt 0 ]; do
  case "$1" in
    --deb) DEB=$2 ;;
    --version) VERSION=$2 ;;
    --reference-cli) REF_CLI=$2 ;;
    --partlist) PARTLIST=$2 ;;
    --cpack) CPACK=$2 ;;
    --config) CONFIG=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done

need() {
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIPPED: $tool is not installed (make deps installs it)"
      exit 77
    fi
  done
}
need dpkg-deb
if [ "$check" = make ]; then
  rm -f "$DEB"
  "$CPACK" -G DEB --config "$CONFIG" || exit 1
  [ -f "$DEB" ] || { echo "FAILED: CPack made no $DEB" >&2; exit 1; }
  exit 0
fi
if [ ! -f "$DEB" ]; then
  echo "FAILED: no package $DEB (the package.make test makes it: cpack in the build folder)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
elsewhere=$work/elsewhere
mkdir -p "$root" "$elsewhere"

failed=0
fail() {
  echo "FAILED: $*" >&2
  failed=1
}

unpack() {
  dpkg-deb -x "$DEB" "$root" || { echo "FAILED: dpkg-deb -x $DEB" >&2; exit 1; }
}

check_contents() {
  # Every file and folder, with owner and mode: nothing else (no test program, nothing of
  # the build tree) and nothing missing.
  local expected actual
  expected=$(cat <<LIST
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/brindlequartz
-rwxr-xr-x root/root ./usr/bin/brindlequartz-cli
-rwxr-xr-x root/root ./usr/bin/brindlequartz-sim
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/applications/
-rw-r--r-- root/root ./usr/share/applications/brindlequartz.desktop
drwxr-xr-x root/root ./usr/share/brindlequartz/
-rw-r--r-- root/root ./usr/share/brindlequartz/PartList.cfg
-rw-r--r-- root/root ./usr/share/brindlequartz/PartList.cfg.LICENSE
drwxr-xr-x root/root ./usr/share/brindlequartz/firmware/
-rw-r--r-- root/root ./usr/share/brindlequartz/firmware/brindlequartz-mega.hex
-rw-r--r-- root/root ./usr/share/brindlequartz/firmware/brindlequartz-uno.hex
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/brindlequartz/
-rw-r--r-- root/root ./usr/share/doc/brindlequartz/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/brindlequartz/copyright
drwxr-xr-x root/root ./usr/share/icons/
drwxr-xr-x root/root ./usr/share/icons/hicolor/
drwxr-xr-x root/root ./usr/share/icons/hicolor/16x16/
drwxr-xr-x root/root ./usr/share/icons/hicolor/16x16/apps/
-rw-r--r-- root/root ./usr/share/icons/hicolor/16x16/apps/brindlequartz.png
drwxr-xr-x root/root ./usr/share/icons/hicolor/32x32/
drwxr-xr-x root/root ./usr/share/icons/hicolor/32x32/apps/
-rw-r--r-- root/root ./usr/share/icons/hicolor/32x32/apps/brindlequartz.png
drwxr-xr-x root/root ./usr/share/icons/hicolor/48x48/
drwxr-xr-x root/root ./usr/share/icons/hicolor/48x48/apps/
-rw-r--r-- root/root ./usr/share/icons/hicolor/48x48/apps/brindlequartz.png
drwxr-xr-x root/root ./usr/share/lintian/
drwxr-xr-x root/root ./usr/share/lintian/overrides/
-rw-r--r-- root/root ./usr/share/lintian/overrides/brindlequartz
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/brindlequartz-cli.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/brindlequartz-sim.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/brindlequartz.1.gz
LIST
)
  actual=$(dpkg-deb -c "$DEB" | awk '{print $1, $2, $6}' | sort -k3)
  if [ "$actual" != "$(echo "$expected" | sort -k3)" ]; then
    fail "the package's files differ from the expected list:"
    diff <(echo "$expected" | sort -k3) <(echo "$actual") >&2
  fi
  local name version depends
  name=$(dpkg-deb -f "$DEB" Package)
  version=$(dpkg-deb -f "$DEB" Version)
  depends=$(dpkg-deb -f "$DEB" Depends)
  [ "$name" = brindlequartz ] || fail "Package: $name"
  case "$version" in "$VERSION"-*) ;; *) fail "Version: $version, not $VERSION-REVISION" ;; esac
  case "$(basename "$DEB")" in
    "brindlequartz_${version}_$(dpkg-deb -f "$DEB" Architecture).deb") ;;
    *) fail "file name $(basename "$DEB") does not follow the package's name, version and architecture" ;;
  esac
  # Found in the binaries (dpkg-shlibdeps), plus the Qt platform plugins by hand.
  for dep in qt6-qpa-plugins libc6 libstdc++6 libqt6widgets6; do
    case ", $depends," in *", $dep"[\ ,]*) ;; *) fail "Depends lacks $dep: $depends" ;; esac
  done
  # Listed into a variable first: grep -q in the pipe could end tar with SIGPIPE, which
  # pipefail would report as a missing file.
  local control
  control=$(dpkg-deb --ctrl-tarfile "$DEB" | tar -t)
  grep -qx './md5sums' <<<"$control" || fail "no md5sums"
  echo "contents: $(dpkg-deb -c "$DEB" | wc -l) entries; Version: $version; Depends: $depends"
}

check_programs() {
  unpack
  local bin=$root/usr/bin out status
  cd "$elsewhere" || exit 1
  # No part list here: the programs must find the one in ../share/brindlequartz/.
  out=$("$bin/brindlequartz-cli" --version 2>&1)
  [ "$out" = "brindlequartz-cli $VERSION" ] || fail "brindlequartz-cli --version said '$out'"
  out=$("$bin/brindlequartz-sim" --version 2>&1)
  [ "$out" = "brindlequartz-sim $VERSION" ] || fail "brindlequartz-sim --version said '$out'"

  out=$("$bin/brindlequartz-cli" parts 2>"$work/parts.err")
  status=$?
  [ $status -eq 0 ] || fail "brindlequartz-cli parts: exit status $status: $(cat "$work/parts.err")"
  if [ -n "$REF_CLI" ]; then
    [ "$out" = "$("$REF_CLI" parts --partlist "$PARTLIST")" ] \
      || fail "brindlequartz-cli parts lists other parts than the shipped part list"
  fi
  grep -qx ATmega328P <<<"$out" || fail "brindlequartz-cli parts does not list ATmega328P"

  out=$("$bin/brindlequartz-cli" -P sim:ATmega328P identify 2>&1)
  status=$?
  [ $status -eq 0 ] || fail "brindlequartz-cli -P sim:ATmega328P identify: exit status $status: $out"
  grep -q "Name: ATmega328P, Signature: 0x1E950F" <<<"$out" \
    || fail "identify did not find the ATmega328P: $out"

  # The simulator finds the part list too: it serves and names its pseudo-terminal first.
  "$bin/brindlequartz-sim" --part ATtiny85 >"$work/sim.out" 2>"$work/sim.err" &
  local pid=$! i
  for i in $(seq 100); do
    [ -s "$work/sim.out" ] || ! kill -0 $pid 2>/dev/null && break
    sleep 0.1
  done
  kill $pid 2>/dev/null
  wait $pid 2>/dev/null
  out=$(head -n 1 "$work/sim.out")
  case "$out" in /dev/pts/*) ;; *) fail "brindlequartz-sim did not start: $(cat "$work/sim.err")" ;; esac
  [ $failed -eq 0 ] && echo "programs: --version, parts ($(wc -l <<<"$("$bin/brindlequartz-cli" parts)") parts), identify and brindlequartz-sim work from $elsewhere"
}

check_man() {
  need man
  unpack
  local page out
  for page in brindlequartz brindlequartz-cli brindlequartz-sim; do
    local file=$root/usr/share/man/man1/$page.1.gz
    out=$(LC_ALL=C.UTF-8 MANWIDTH=200 man --warnings -E UTF-8 -l "$file" 2>"$work/man.err")
    [ $? -eq 0 ] || fail "man -l $page.1.gz failed"
    [ -s "$work/man.err" ] && fail "man -l $page.1.gz warns: $(cat "$work/man.err")"
    grep -q "^NAME" <<<"$out" || fail "$page.1.gz has no NAME section"
    grep -Eq "^ *$page +- " <<<"$out" || fail "$page.1.gz does not name $page"
    grep -q "^FILES" <<<"$out" || fail "$page.1.gz has no FILES section"
  done
  # The pages made from --help say what the programs say.
  out=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$root/usr/share/man/man1/brindlequartz-cli.1.gz" 2>/dev/null)
  grep -q "brindlequartz-cli $VERSION" <<<"$out" || fail "brindlequartz-cli.1 does not show version $VERSION"
  for command in identify "fuses" "program"; do
    grep -q "^ *brindlequartz-cli $command\$" <<<"$out" || fail "brindlequartz-cli.1 lacks the command $command"
  done
  out=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$root/usr/share/man/man1/brindlequartz-sim.1.gz" 2>/dev/null)
  grep -q -- "--isp-max-clock" <<<"$out" || fail "brindlequartz-sim.1 lacks --isp-max-clock"
  [ $failed -eq 0 ] && echo "man: the three pages render without a warning"
}

check_desktop() {
  need desktop-file-validate
  unpack
  local file=$root/usr/share/applications/brindlequartz.desktop exec
  desktop-file-validate "$file" || fail "desktop-file-validate $file"
  exec=$(sed -n 's/^Exec=//p' "$file")
  [ "$exec" = /usr/bin/brindlequartz ] || fail "Exec=$exec, not the packaged program"
  grep -qx "Icon=brindlequartz" "$file" || fail "Icon is not brindlequartz"
  grep -q "^Path=" "$file" && fail "the launcher still sets Path"
  [ $failed -eq 0 ] && echo "desktop: $(basename "$file") is valid and starts $exec"
}

check_lintian() {
  need lintian
  local out
  out=$(lintian --display-level ">=info" "$DEB" 2>&1)
  echo "$out"
  if grep -q "^E: " <<<"$out"; then
    fail "lintian reports errors"
  fi
  echo "lintian: $(grep -c "^E: " <<<"$out") errors, $(grep -c "^W: " <<<"$out") warnings, $(grep -c "^I: " <<<"$out") notes"
}

case "$check" in
  contents|programs|man|desktop|lintian) "check_$check" ;;
  *) echo "usage: $(basename "$0") contents|programs|man|desktop|lintian --deb FILE --version VERSION ..." >&2; exit 2 ;;
esac
exit $failed

#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, in a private Wine prefix.
#
#   run-wine.sh PROGRAM.exe [ARGS...]
#
# CTest and gtest_discover_tests call this for every test program of the Windows build
# (CMAKE_CROSSCOMPILING_EMULATOR). The prefix is BQ_WINEPREFIX when set, otherwise
# wineprefix/ in the build folder that holds PROGRAM (the nearest folder above it with a
# CMakeCache.txt), otherwise ~/.cache/brindlequartz/wineprefix. It is made once, quietly.
#
# Console programs need no display. With BQ_WINE_GUI=1 and no DISPLAY the program runs
# on a virtual X server (xvfb-run -a). Wine runs under a UTF-8 locale (C.UTF-8 when the
# caller's is not UTF-8), so that file names outside ASCII work.
#
# Output: Windows programs end their lines with CR LF; the CRs are taken out so that the
# output reads as on the host (BQ_WINE_KEEP_CR=1 keeps them). The exit code is the program's.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $(basename "$0") PROGRAM.exe [ARGS...]" >&2
  exit 2
fi

if [ "${BQ_WINE_GUI:-0}" = 1 ] && [ -z "${DISPLAY:-}" ]; then
  command -v xvfb-run >/dev/null || { echo "run-wine.sh: xvfb-run is not installed (apt-get install xvfb xauth)" >&2; exit 1; }
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

# The Wine loader: a 64-bit one is enough for the 64-bit programs we build.
if command -v wine64 >/dev/null; then
  WINE=wine64
elif [ -x /usr/lib/wine/wine64 ]; then
  WINE=/usr/lib/wine/wine64
  export WINELOADER=${WINELOADER:-$WINE}
elif command -v wine >/dev/null; then
  WINE=wine
else
  echo "run-wine.sh: Wine is not installed (apt-get install wine wine64)" >&2
  exit 1
fi
if command -v wineserver >/dev/null; then
  WINESERVER_BIN=wineserver
else
  WINESERVER_BIN=/usr/lib/wine/wineserver
fi

find_prefix() {
  if [ -n "${BQ_WINEPREFIX:-}" ]; then
    echo "$BQ_WINEPREFIX"
    return
  fi
  local dir
  dir=$(cd "$(dirname "$1")" 2>/dev/null && pwd) || dir=""
  while [ -n "$dir" ] && [ "$dir" != / ]; do
    if [ -f "$dir/CMakeCache.txt" ]; then
      echo "$dir/wineprefix"
      return
    fi
    dir=$(dirname "$dir")
  done
  echo "${XDG_CACHE_HOME:-$HOME/.cache}/brindlequartz/wineprefix"
}

# Wine stores Windows file names on the Unix side in the locale's character set: under a
# locale that is not UTF-8 ("C") a name such as Jürgen_日本.hex cannot be stored at all, and
# arguments outside ASCII arrive damaged.
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
  export LC_ALL=C.UTF-8
fi

export WINEPREFIX
WINEPREFIX=$(find_prefix "$1")
export WINEARCH=win64
export WINEDEBUG=${BQ_WINEDEBUG:--all}
# No Mono or Gecko installer dialogs, no desktop integration: nothing of it is needed.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

# The prefix is made once; parallel tests wait for the first one to finish it.
mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -f "$WINEPREFIX/.bq-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.bq-ready" ]; then
      if ! "$WINE" wineboot -i >"$WINEPREFIX.init.log" 2>&1; then
        echo "run-wine.sh: wineboot failed in $WINEPREFIX, see $WINEPREFIX.init.log" >&2
        exit 1
      fi
      "$WINESERVER_BIN" -w
      touch "$WINEPREFIX/.bq-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

if [ "${BQ_WINE_KEEP_CR:-0}" = 1 ]; then
  exec "$WINE" "$@"
fi
# Strip CRs from both streams; with pipefail the status is the program's (sed exits 0).
"$WINE" "$@" 2> >(sed -u 's/\r$//' >&2) | sed -u 's/\r$//'

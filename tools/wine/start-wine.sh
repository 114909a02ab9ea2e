#!/usr/bin/env bash
# Makes a Wine prefix ready and keeps its wineserver running until stop-wine.sh, so that
# the many short test programs of a parallel CTest run never meet a wineserver that is
# just shutting down after its previous program ("recvmsg: Connection reset by peer").
#
#   start-wine.sh WINEPREFIX
set -eu
[ $# -eq 1 ] || { echo "usage: $(basename "$0") WINEPREFIX" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
if command -v wineserver >/dev/null; then server=wineserver; else server=/usr/lib/wine/wineserver; fi
quiet() { "$@" </dev/null >/dev/null 2>&1 || true; }

# Any built-in program makes run-wine.sh create the prefix once, under its lock; then wait
# for that server to end and start one that stays.
quiet env BQ_WINEPREFIX="$1" "$here/run-wine.sh" cmd /c exit
quiet env WINEPREFIX="$1" "$server" -w
WINEPREFIX=$1 "$server" -p </dev/null >/dev/null 2>&1
# Start Wine's own services now, with nothing of ours as their output: started by the first
# test instead, they would keep that test's output open and CTest would wait for it forever.
quiet env BQ_WINEPREFIX="$1" "$here/run-wine.sh" cmd /c exit

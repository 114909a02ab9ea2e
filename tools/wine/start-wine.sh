#!/usr/bin/env bash
# Makes a Wine prefix ready and keeps its wineserver running until stop-wine.sh, so that
# the many short test programs of a parallel CTest run never meet a wineserver that is
# just shutting down after its previous program ("recvmsg: Connection reset by peer").
#
#   start-wine.sh WINEPREFIX
set -eu
[ $# -eq 1 ] || { echo "usage: $(basename "$0") WINEPREFIX" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
# Any built-in program makes run-wine.sh create the prefix once, under its lock.
BQ_WINEPREFIX=$1 "$here/run-wine.sh" cmd /c exit >/dev/null 2>&1 || true
if command -v wineserver >/dev/null; then server=wineserver; else server=/usr/lib/wine/wineserver; fi
# Wait for the server the set-up started to end, then start one that stays.
WINEPREFIX=$1 "$server" -w || true
WINEPREFIX=$1 "$server" -p

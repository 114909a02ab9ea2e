#!/usr/bin/env bash
# Stops the wineserver of a Wine prefix, and with it every program still running there.
# (A wineserver ends by itself a few seconds after its last program; this is for scripts
# that must leave nothing behind.)
#
#   stop-wine.sh WINEPREFIX
set -u
[ $# -eq 1 ] || { echo "usage: $(basename "$0") WINEPREFIX" >&2; exit 2; }
[ -d "$1" ] || exit 0
if command -v wineserver >/dev/null; then server=wineserver; else server=/usr/lib/wine/wineserver; fi
[ -x "$(command -v "$server")" ] || exit 0
WINEPREFIX=$1 "$server" -k 2>/dev/null
exit 0

#!/usr/bin/env bash
# Checks that Windows programs of the cross build stand alone: 64-bit PE files (PE32+)
# that import only DLLs every Windows has (no MinGW runtime DLLs beside them).
#
#   check-pe.sh PROGRAM.exe...
set -uo pipefail

OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
# DLLs of Windows itself (case-insensitive), and the API sets that resolve to them.
SYSTEM_DLLS='^(kernel32|kernelbase|ntdll|user32|gdi32|advapi32|comctl32|comdlg32|shell32|shlwapi|ole32|oleaut32|uxtheme|msvcrt|ucrtbase|ws2_32|version|winmm|bcrypt|imm32|setupapi|cfgmgr32|dwmapi|gdiplus|msimg32|winspool\.drv)\.dll$|^api-ms-win-'

status=0
for exe in "$@"; do
  kind=$(file -b "$exe")
  if [[ "$kind" != PE32+\ executable* ]]; then
    echo "FAILED: $exe is not a 64-bit Windows program: $kind"
    status=1
    continue
  fi
  dlls=$("$OBJDUMP" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r')
  foreign=$(printf '%s\n' "$dlls" | grep -viE "$SYSTEM_DLLS" | grep -v '^$')
  if [ -n "$foreign" ]; then
    echo "FAILED: $exe needs DLLs that Windows does not have: $(echo $foreign)"
    status=1
  else
    echo "ok: $(basename "$exe"): ${kind%%,*}; imports $(echo $dlls)"
  fi
done
exit $status

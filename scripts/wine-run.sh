#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's cached 32-bit prefix,
# headless and quiet. Used as CMake's emulator for the Windows tests.
set -euo pipefail
CACHE=${VANTORELLE_CACHE:-/var/cache/vantorelle}
if [ -z "${WINEPREFIX:-}" ] && [ -f "$CACHE/win-deps.env" ]; then
  WINEPREFIX=$(sed -n 's/^WINEPREFIX=//p' "$CACHE/win-deps.env")
fi
export WINEPREFIX WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
exec wine "$@"

#!/usr/bin/env bash
# Runs a Windows program under Wine, headless and quiet, in the project's
# cached prefix for its width:  wine-run.sh win32|win64 PROGRAM [ARGS...]
# Used as CMake's emulator for the Windows tests.
set -euo pipefail
arch=${1:?usage: wine-run.sh win32|win64 PROGRAM [ARGS...]}; shift
CACHE=${VANTORELLE_CACHE:-/var/cache/vantorelle}
case $arch in
  win32) var=VANTORELLE_WINEPREFIX_I686 loader=/usr/lib/wine/wine ;;
  win64) var=VANTORELLE_WINEPREFIX_X86_64 loader=/usr/lib/wine/wine64 ;;
  *) echo "wine-run.sh: unknown width $arch" >&2; exit 2 ;;
esac
prefix=${!var:-}
if [ -z "$prefix" ] && [ -f "$CACHE/win-deps.env" ]; then
  prefix=$(sed -n "s/^$var=//p" "$CACHE/win-deps.env")
fi
[ -n "$prefix" ] || { echo "wine-run.sh: no $arch Wine prefix on this machine (see $CACHE/win-deps.env)" >&2; exit 2; }
export WINEPREFIX=$prefix WINEARCH=$arch WINELOADER=$loader WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
exec "$loader" "$@"

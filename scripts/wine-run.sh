#!/usr/bin/env bash
# Runs a Windows program under Wine, headless and quiet, in the project's
# cached prefix for its width:
#   wine-run.sh win32|win64 PROGRAM [ARGS...]   the program (CMake's emulator for the Windows tests)
#   wine-run.sh win32|win64 --server ARGS...    that Wine's wineserver (-k ends it, -w waits for it)
#   wine-run.sh win32|win64 --which             one line naming the Wine that width uses
#
# A width runs either under the host's Wine or, where the host's 32-bit Wine
# cannot be installed, under the Wine of a private Debian root that
# scripts/setup.sh made in the cache (VANTORELLE_WINE_I686_ROOT). The root is
# entered in a mount namespace of its own: /proc, /dev and /sys, the checkout,
# /tmp, the cache and the working directory appear inside at their own paths,
# and every mount ends with the namespace, whatever way the program ends.
# Every step execs the next, so the program keeps this script's process: its
# exit code, output and the signals sent to it are the program's.
set -euo pipefail

CACHE=${VANTORELLE_CACHE:-/var/cache/vantorelle}

if [ "${1:-}" = --in-root ]; then
  # Inside the private mount namespace: wine-run.sh --in-root ROOT DIR... -- COMMAND...
  shift
  root=$1; shift
  for d in /proc /dev /sys; do
    mount --rbind "$d" "$root$d"
  done
  while [ "$1" != -- ]; do
    mkdir -p "$root$1"
    mount --bind "$1" "$root$1"
    shift
  done
  shift
  # chroot starts in /: the working directory is entered again inside.
  exec chroot "$root" /bin/sh -c 'cd "$1" || exit 125; shift; exec "$@"' sh "$PWD" "$@"
fi

usage="usage: wine-run.sh win32|win64 PROGRAM [ARGS...] | --server ARGS... | --which"
arch=${1:?$usage}; shift
case $arch in
  win32) var=VANTORELLE_WINEPREFIX_I686 root_var=VANTORELLE_WINE_I686_ROOT loader=/usr/lib/wine/wine pkg=wine32:i386 ;;
  win64) var=VANTORELLE_WINEPREFIX_X86_64 root_var=VANTORELLE_WINE_X86_64_ROOT loader=/usr/lib/wine/wine64 pkg=wine64 ;;
  *) echo "wine-run.sh: unknown width $arch" >&2; exit 2 ;;
esac
[ $# -gt 0 ] || { echo "$usage" >&2; exit 2; }
from_env_file() {  # from_env_file NAME: its value in the cache's win-deps.env
  [ -f "$CACHE/win-deps.env" ] && sed -n "s/^$1=//p" "$CACHE/win-deps.env" | tr -d '"' || true
}
prefix=${!var-$(from_env_file "$var")}
root=${!root_var-$(from_env_file "$root_var")}
[ -n "$prefix" ] || { echo "wine-run.sh: no $arch Wine prefix on this machine (see $CACHE/win-deps.env)" >&2; exit 2; }

case $1 in
  --server) shift; set -- /usr/lib/wine/wineserver "$@" ;;
  --which)
    if [ -z "$root" ]; then echo "the host's Wine, $("$loader" --version)"
    else echo "the Wine of the Debian root $root, $pkg $(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Version}' "$pkg")"
    fi
    exit 0 ;;
  *) set -- "$loader" "$@" ;;
esac

if [ -z "$root" ]; then
  export WINEPREFIX=$prefix
else
  case $prefix in
    "$root"/*) ;;
    *) echo "wine-run.sh: the $arch prefix $prefix is not inside the Wine root $root" >&2; exit 2 ;;
  esac
  [ -x "$root$loader" ] || { echo "wine-run.sh: the Wine root $root has no $loader" >&2; exit 2; }
  [ "$(id -u)" = 0 ] || { echo "wine-run.sh: entering the Wine root $root needs root" >&2; exit 2; }
  export WINEPREFIX=${prefix#"$root"}
  # The directories a program and its files are found in, each bound once,
  # the shortest first.
  checkout=$(cd "$(dirname "$(realpath "$0")")/.." && pwd -P)
  mapfile -t wanted < <(printf '%s\n' /tmp "$(realpath "$CACHE")" "$checkout" "$(pwd -P)" |
    awk '{ print length($0) "\t" $0 }' | sort -n | cut -f2-)
  binds=()
  for d in "${wanted[@]}"; do
    inside=0
    for b in "${binds[@]}"; do
      case $d/ in "${b%/}"/*) inside=1 ;; esac
    done
    [ $inside = 1 ] || binds+=("$d")
  done
  # Mounts made in this namespace never reach the host's, and end with it.
  set -- unshare --mount --propagation private -- "$(realpath "$0")" --in-root "$root" "${binds[@]}" -- "$@"
fi
export WINEARCH=$arch WINELOADER=$loader WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
exec "$@"

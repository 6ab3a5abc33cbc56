#!/usr/bin/env bash
# Installs everything the project needs on a Debian 12 machine and builds the
# Windows-only dependencies (OpenSSL libcrypto, Boost.Thread/Filesystem/Chrono
# for both mingw-w64 widths) once into a cache outside the checkout. Safe to run
# again: every step is skipped when its result is already there.
set -euo pipefail

CACHE=${VANTORELLE_CACHE:-/var/cache/vantorelle}
mkdir -p "$CACHE"

PKGS=(
  build-essential cmake ninja-build pkg-config git ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost-dev libboost-thread-dev libboost-filesystem-dev libboost1.74-tools-dev
  libssl-dev libcli11-dev nlohmann-json3-dev
  clang libclang-rt-14-dev lld llvm python3 mono-complete
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix dpkg-dev file
  wine wine32:i386 wine64
  iproute2 procps time
  chromium zlib1g-dev
)

need_install=0
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || { need_install=1; break; }
done

src_list=/etc/apt/sources.list.d/vantorelle-src.sources
if [ ! -f "$src_list" ]; then
  # Debian's source packages of openssl and boost are the origin of the
  # Windows builds; apt-get source needs deb-src entries for them.
  sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$src_list"
  need_install=1
fi

if [ "$need_install" = 1 ]; then
  dpkg --add-architecture i386
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${PKGS[@]}"
fi

exec "$(dirname "$0")/build-win-deps.sh"

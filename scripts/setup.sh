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
  wine wine64
  iproute2 procps time
  chromium zlib1g-dev libz-mingw-w64-dev
  tcl  # tclsh makes SQLite's one-file source for the Windows builds
  libsqlite3-dev libpq-dev sqlite3 postgresql faketime libcpp-httplib-dev
)
# npm installs the DuckDB client the export test reads with; a machine that
# has Node.js from elsewhere keeps it.
command -v npm > /dev/null || PKGS+=(nodejs npm)

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

# The 32-bit Wine runs the 32-bit Windows tests where the kernel allows it.
# Without it those tests are skipped with the reason, so its install may fail.
PKGS32=(wine32:i386)
for p in "${PKGS32[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need_install=1
done

update() {  # a mirror in the middle of a sync refuses an index now and then: try again
  local try
  for try in 1 2 3; do
    apt-get update -q && return 0
    echo "apt-get update failed (try $try of 3)" >&2
    sleep $((try * 5))
  done
  echo "apt-get update: going on with the package lists it could fetch" >&2
}

missing32="$CACHE/wine32-missing"
if [ "$need_install" = 1 ]; then
  # The tests start a PostgreSQL server of their own; the package need not
  # make and start one of its own.
  if [ ! -e /etc/postgresql-common/createcluster.conf ]; then
    mkdir -p /etc/postgresql-common
    echo "create_main_cluster = false" > /etc/postgresql-common/createcluster.conf
  fi
  dpkg --add-architecture i386
  update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${PKGS[@]}"
  if out=$(DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${PKGS32[@]}" 2>&1); then
    rm -f "$missing32"
  else
    # Usually the i386 lists lag behind the amd64 ones, so the two halves of a
    # library cannot be installed at the same version.
    echo "$out" | grep -E '^(E:| .*: Depends)' | head -n 3 | tr '\n' ' ' | tr -s ' ' | sed 's/^ //; s/ $//' > "$missing32"
    echo "the 32-bit Wine could not be installed: $(cat "$missing32")" >&2
  fi
fi

exec "$(dirname "$0")/build-win-deps.sh"

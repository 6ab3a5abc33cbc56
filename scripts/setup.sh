#!/usr/bin/env bash
# Installs everything the project needs on a Debian 12 machine and builds the
# Windows-only dependencies (OpenSSL libcrypto, Boost.Thread/Filesystem/Chrono
# for both mingw-w64 widths) once into a cache outside the checkout. Safe to run
# again: every step is skipped when its result is already there, and a machine
# that is set up is left without a word and without going to the network.
# A step that fails says so in one line naming its log in $CACHE/logs.
#
# The 32-bit Wine is the host's (wine32:i386) where it installs and runs. Where
# it does not, the set-up makes once a private Debian 12 root in the cache that
# holds a whole Wine of both widths, and makes the 32-bit prefix inside it;
# scripts/wine-run.sh runs 32-bit programs in it. VANTORELLE_WINE32=root takes
# the root even where the host's Wine works.
set -euo pipefail

CACHE=${VANTORELLE_CACHE:-/var/cache/vantorelle}
logs="$CACHE/logs"
mkdir -p "$CACHE" "$logs"
here=$(cd "$(dirname "$0")" && pwd)

quiet() {  # quiet LOGNAME WHAT COMMAND...: the command's words go to the log; a failure says so in one line
  local log="$logs/$1.log" what=$2; shift 2
  if "$@" > "$log" 2>&1; then return 0; fi
  echo "set-up: $what failed (see $log)" >&2
  return 1
}

PKGS=(
  build-essential cmake ninja-build pkg-config git ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost-dev libboost-thread-dev libboost-filesystem-dev libboost1.74-tools-dev
  libssl-dev libcli11-dev nlohmann-json3-dev
  clang libclang-rt-14-dev lld llvm python3 mono-complete
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix dpkg-dev file
  wine wine64 mmdebstrap
  iproute2 procps time
  chromium zlib1g-dev libz-mingw-w64-dev
  tcl  # tclsh makes SQLite's one-file source for the Windows builds
  libsqlite3-dev libpq-dev sqlite3 postgresql faketime libcpp-httplib-dev
  libsodium-dev  # the console's password hashes and session ids
)
# npm installs the DuckDB client the export test reads with; a machine that
# has Node.js from elsewhere keeps it.
command -v npm > /dev/null || PKGS+=(nodejs npm)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

need_install=0
for p in "${PKGS[@]}"; do
  installed "$p" || { need_install=1; break; }
done

src_list=/etc/apt/sources.list.d/vantorelle-src.sources
if [ ! -f "$src_list" ]; then
  # Debian's source packages of openssl and boost are the origin of the
  # Windows builds; apt-get source needs deb-src entries for them.
  sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$src_list"
  need_install=1
fi

# --- the 32-bit Wine ------------------------------------------------------------
# A tiny 32-bit Linux program (exit(42) by int 0x80): whether this kernel runs
# 32-bit programs at all, asked without any 32-bit package.
kernel32() {
  local elf="$CACHE/exit42-i386"
  [ -x "$elf" ] || { python3 - "$elf.part" <<'PY' && chmod +x "$elf.part" && mv "$elf.part" "$elf"; } || return 2
import struct, sys
code = bytes([0xbb, 42, 0, 0, 0, 0xb8, 1, 0, 0, 0, 0xcd, 0x80])
size = 52 + 32 + len(code)
ehdr = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, 0x08048054, 52, 0, 0, 52, 32, 1, 0, 0, 0)
phdr = struct.pack("<IIIIIIII", 1, 0, 0x08048000, 0x08048000, size, size, 5, 0x1000)
open(sys.argv[1], "wb").write(ehdr + phdr + code)
PY
  local rc=0
  "$elf" 2>/dev/null || rc=$?
  [ "$rc" = 42 ]
}
host_wine32() { installed wine32:i386 && /usr/lib/wine/wine --version > /dev/null 2>&1; }

# The host's package lists of i386 as they stand: a failed install of the
# 32-bit Wine is tried again only once they have changed.
lists_key() { stat -c '%n %s %Y' /var/lib/apt/lists/*binary-i386_Packages* 2>/dev/null | sha256sum | cut -c1-16; }
missing32="$CACHE/wine32-missing"
want32=${VANTORELLE_WINE32:-auto}
try_host32=0
if [ "$want32" != root ] && ! installed wine32:i386; then
  if [ ! -f "$missing32.key" ] || [ "$(cat "$missing32.key")" != "$(lists_key)" ]; then try_host32=1; need_install=1; fi
fi

update() {  # a mirror in the middle of a sync refuses an index now and then: try again
  local try
  for try in 1 2 3; do
    apt-get update -q && return 0
    echo "apt-get update failed (try $try of 3)"
    sleep $((try * 5))
  done
  return 1
}

if [ "$need_install" = 1 ]; then
  # The tests start a PostgreSQL server of their own; the package need not
  # make and start one of its own.
  if [ ! -e /etc/postgresql-common/createcluster.conf ]; then
    mkdir -p /etc/postgresql-common
    echo "create_main_cluster = false" > /etc/postgresql-common/createcluster.conf
  fi
  dpkg --add-architecture i386
  quiet apt-update "apt-get update (going on with the package lists it could fetch)" update || true
  echo "set-up: installing Debian packages (log: $logs/apt-install.log)"
  quiet apt-install "installing the Debian packages" \
    env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${PKGS[@]}"
  if [ "$try_host32" = 1 ]; then
    if DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wine32:i386 > "$logs/wine32.log" 2>&1; then
      rm -f "$missing32" "$missing32.key"
    else
      # Usually the i386 lists lag behind the amd64 ones, so the two halves of a
      # library cannot be installed at the same version.
      grep -E '^(E:| .*: Depends)' "$logs/wine32.log" | head -n 3 | tr '\n' ' ' | tr -s ' ' | sed 's/^ //; s/ $//' > "$missing32"
      lists_key > "$missing32.key"
    fi
  fi
fi

# --- the private Debian root, where the host's 32-bit Wine cannot serve -----------
# What the root holds decides its name: a root made from other suites, another
# mirror or other packages is another root.
host_mirror() {  # the host's own Debian mirror, the one its bookworm suite comes from
  awk 'BEGIN { RS = ""; FS = "\n" }
       { uri = ""; ok = 0
         for (i = 1; i <= NF; i++) {
           if ($i ~ /^URIs:/) { split($i, u, " "); uri = u[2] }
           if ($i ~ /^Suites:/ && $i ~ /[ ]bookworm([ ]|$)/) ok = 1
           if ($i ~ /^Types:/ && $i !~ /[ ]deb([ ]|$)/) ok = 0
         }
         if (ok && uri != "") { print uri; exit } }' /etc/apt/sources.list.d/debian.sources 2>/dev/null
}
mirror=$(host_mirror || true)
mirror=${mirror:-http://deb.debian.org/debian}
root_recipe() {
  printf '%s\n' "variant apt" "architectures amd64,i386" "suites bookworm bookworm-updates" "components main" \
    "mirror $mirror" "include wine wine32 wine64 libwine libwine:i386" "no recommends, no docs, no man pages, no locales" \
    "prefix /var/lib/vantorelle/wineprefix-win32"
}
root_key=$(root_recipe | sha256sum | cut -c1-12)
wine_root="$CACHE/wine32-root-$root_key"
prefix_in_root=/var/lib/vantorelle/wineprefix-win32
pointer="$CACHE/wine32-root"   # names the root that the 32-bit Wine is taken from

remove_root() {  # a root is removed only with nothing mounted in it
  local dir=$1
  [ -e "$dir" ] || return 0
  if findmnt -rn -o TARGET | grep -qF "$dir/"; then
    echo "set-up: $dir has mounts in it; it is left as it is" >&2; return 1
  fi
  rm -rf --one-file-system "$dir"
}

make_root() {  # builds into $wine_root.part; the name appears only for a whole, working root
  # (run as a condition, so set -e does not hold here: every step says when it failed)
  local part="$wine_root.part" opts=() o v probe rc=0
  remove_root "$part" || return 1
  # The host's own settings for reaching its mirror.
  for o in Acquire::Check-Valid-Until Acquire::Check-Date Acquire::http::Proxy Acquire::https::Proxy; do
    v=$(apt-config dump --no-empty "$o" 2>/dev/null | sed -n "s/^$o \(\".*\"\);$/\1/p" | head -n 1)
    [ -z "$v" ] || opts+=(--aptopt="$o $v")
  done
  # Its own mount namespace: whatever mmdebstrap mounts ends with it.
  unshare --mount --propagation private -- mmdebstrap --mode=root --variant=apt --architectures=amd64,i386 \
    --include=wine,wine32,wine64,libwine,libwine:i386 --aptopt='APT::Install-Recommends "false"' "${opts[@]}" \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    bookworm "$part" "deb $mirror bookworm main" "deb $mirror bookworm-updates main" || return 1
  mkdir -p "$part$(dirname "$prefix_in_root")" || return 1
  # The 32-bit prefix, made by the root's Wine, then a 32-bit Windows program run in it.
  export VANTORELLE_WINE_I686_ROOT="$part" VANTORELLE_WINEPREFIX_I686="$part$prefix_in_root"
  "$here/wine-run.sh" win32 wineboot -i && "$here/wine-run.sh" win32 --server -w || return 1
  [ -f "$part$prefix_in_root/system.reg" ] || { echo "wineboot made no prefix"; return 1; }
  probe=$(mktemp -d) || return 1
  printf 'int main(void){return sizeof(void*) == 4 ? 42 : 1;}\n' > "$probe/p.c" &&
    i686-w64-mingw32-gcc -O0 "$probe/p.c" -o "$probe/p.exe" || { rm -rf "$probe"; return 1; }
  "$here/wine-run.sh" win32 "$probe/p.exe" || rc=$?
  "$here/wine-run.sh" win32 --server -k || true
  rm -rf "$probe"
  [ "$rc" = 42 ] || { echo "a 32-bit program in the root ended with $rc, not 42"; return 1; }
  root_recipe > "$part/.vantorelle-root" && mv -T "$part" "$wine_root"
}

if [ "$want32" = root ] || ! host_wine32; then
  if [ -f "$wine_root/.vantorelle-root" ]; then
    [ "$(cat "$pointer" 2>/dev/null)" = "$wine_root" ] || echo "$wine_root" > "$pointer"
  elif krc=0 && { kernel32 || krc=$?; } && [ "$krc" = 1 ]; then
    rm -f "$pointer"   # no Wine can run 32-bit programs on this kernel; build-win-deps.sh says why
  else
    echo "set-up: making a Debian 12 root with a 32-bit Wine in $wine_root (log: $logs/wine32-root.log)"
    if quiet wine32-root "making the Debian root for the 32-bit Wine" make_root; then
      echo "$wine_root" > "$pointer"
      for old in "$CACHE"/wine32-root-*; do   # roots made to another recipe
        [ "$old" = "$wine_root" ] || [ ! -d "$old" ] || remove_root "$old" || true
      done
    else
      rm -f "$pointer"
      remove_root "$wine_root.part" || true
    fi
  fi
else
  rm -f "$pointer"
fi

# --- puppeteer-core for the console's browser check ------------------------------
# Installed from its lock file into the cache, under the lock file's hash, so a
# changed lock file makes a new directory and a fresh clone finds it ready. It
# downloads no browser: the check drives Debian's chromium.
npm_lock="$here/../tests/browser/package-lock.json"
if command -v npm > /dev/null && [ -f "$npm_lock" ]; then
  npm_dir="$CACHE/npm/$(sha256sum "$npm_lock" | cut -c1-64)"
  if [ ! -d "$npm_dir/node_modules/puppeteer-core" ]; then
    npm_install() {
      rm -rf "$npm_dir.part" && mkdir -p "$npm_dir.part" &&
        cp "$here/../tests/browser/package.json" "$npm_lock" "$npm_dir.part/" &&
        (cd "$npm_dir.part" && npm ci --ignore-scripts --no-audit --no-fund) &&
        rm -rf "$npm_dir" && mv -T "$npm_dir.part" "$npm_dir"
    }
    quiet npm-console "installing puppeteer-core for the console check" npm_install || rm -rf "$npm_dir.part"
  fi
fi

# What it builds it names on the way; its builds' own words go to the log.
"$here/build-win-deps.sh" 2> "$logs/win-deps.log" \
  || { echo "set-up: building the Windows dependencies failed (see $logs/win-deps.log)" >&2; exit 1; }

#!/usr/bin/env bash
# Builds OpenSSL's libcrypto, Boost.Thread/Filesystem/Chrono and SQLite for both
# Windows widths (i686 and x86_64 mingw-w64) from Debian's source packages into
# $VANTORELLE_CACHE, keyed by version and architecture, and prepares one Wine
# prefix per width that this machine can run. Skips what is already built.
#
# Writes $VANTORELLE_CACHE/win-deps.env with, per width W in I686 and X86_64:
#   VANTORELLE_WIN_OPENSSL_W, VANTORELLE_WIN_BOOST_W,
#   VANTORELLE_WIN_SQLITE_W                            the libraries
#   VANTORELLE_WINEPREFIX_W                            the Wine prefix, empty when
#                                                      this machine cannot run that width
#   VANTORELLE_WINE_I686_ROOT                          the Debian root whose Wine runs
#                                                      the 32-bit programs, empty for the host's
#   VANTORELLE_WINE_W_SKIP                             why not, when it cannot
set -euo pipefail
# The builds run inside $(...): without this a failed one would go on and be
# reported as built.
shopt -s inherit_errexit

CACHE=${VANTORELLE_CACHE:-/var/cache/vantorelle}
mkdir -p "$CACHE"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# arch triple, OpenSSL target, Boost address model
declare -A TRIPLE=([i686]=i686-w64-mingw32 [x86_64]=x86_64-w64-mingw32)
declare -A OSSL_TARGET=([i686]=mingw [x86_64]=mingw64)
declare -A MODEL=([i686]=32 [x86_64]=64)

# --- OpenSSL --------------------------------------------------------------
fetch_openssl() {  # unpacks the newest fetchable source into $work/osrc once; prints its version
  local ver
  if [ -f "$work/openssl.version" ]; then cat "$work/openssl.version"; return 0; fi
  for ver in $(apt-cache showsrc openssl | awk '/^Version:/{print $2}' | sort -Vr -u); do
    ( cd "$work" && apt-get source -q --download-only "openssl=$ver" >/dev/null 2>&1 ) || continue
    echo "$ver" > "$work/openssl.version"
    echo "$ver"; return 0
  done
  echo "no openssl source version could be fetched" >&2; return 1
}

build_openssl() {  # build_openssl ARCH: prints the install directory
  local arch=$1 ver dest
  # A cached build of any source version Debian offers is good.
  for ver in $(apt-cache showsrc openssl | awk '/^Version:/{print $2}' | sort -Vr -u); do
    dest="$CACHE/openssl-$ver-mingw-$arch"
    if [ -f "$dest/lib/libcrypto.a" ]; then echo "$dest"; return 0; fi
  done
  ver=$(fetch_openssl)
  dest="$CACHE/openssl-$ver-mingw-$arch"
  rm -rf "$work/osrc-$arch"
  ( cd "$work" && { dpkg-source -x --skip-patches openssl_*.dsc "osrc-$arch" >/dev/null 2>&1 \
      || dpkg-source -x openssl_*.dsc "osrc-$arch" >/dev/null; } )
  (
    exec 2> "$work/openssl-$arch.log"   # the cross compiler's warnings about OpenSSL's own code
    trap 'tail -n 30 "$work/openssl-$arch.log" >&3' ERR
    cd "$work/osrc-$arch"
    ./Configure "${OSSL_TARGET[$arch]}" --cross-compile-prefix="${TRIPLE[$arch]}-" no-shared no-asm no-tests \
      no-engine no-dso no-afalgeng no-async no-ui-console no-comp \
      no-idea no-mdc2 no-rc5 no-camellia no-seed no-sm2 no-sm3 no-sm4 no-whirlpool no-rmd160 \
      no-aria no-siphash no-ocb no-cms no-ts no-srp no-ct no-ocsp no-ec2m \
      --prefix="$dest" >/dev/null
    make -s -j"$(nproc)" build_generated >/dev/null
    make -s -j"$(nproc)" libcrypto.a >/dev/null
    mkdir -p "$dest/lib.part" "$dest/include/openssl"
    cp include/openssl/*.h "$dest/include/openssl/"
    cp libcrypto.a "$dest/lib.part/"
    mv "$dest/lib.part" "$dest/lib"   # the library appears last: a cut build is rebuilt
    rm -rf "$work/osrc-$arch"
  ) 3>&2 >&2
  echo "$dest"
}

# --- Boost -----------------------------------------------------------------
build_boost() {  # build_boost ARCH: prints the install directory
  local arch=$1 ver dest
  ver=$(dpkg-query -W -f='${Version}' libboost1.74-dev)
  dest="$CACHE/boost-$ver-mingw-$arch"
  if [ -f "$dest/lib/libboost_thread.a" ]; then echo "$dest"; return 0; fi
  (
    cd "$work"
    [ -d bsrc ] || {
      ls boost1.74_*.dsc >/dev/null 2>&1 || apt-get source -q --download-only "boost1.74=$ver" >/dev/null 2>&1 \
        || apt-get source -q --download-only boost1.74 >/dev/null
      dpkg-source -x --skip-patches boost1.74_*.dsc bsrc >/dev/null
    }
    cd bsrc
    echo "using gcc : mingw$arch : ${TRIPLE[$arch]}-g++-posix ;" > "$work/user-config-$arch.jam"
    rm -rf "$dest.part"
    b2 --user-config="$work/user-config-$arch.jam" toolset="gcc-mingw$arch" target-os=windows \
      address-model="${MODEL[$arch]}" architecture=x86 threadapi=win32 threading=multi link=static \
      runtime-link=static variant=release -j"$(nproc)" -d0 --build-dir="$work/bbuild-$arch" \
      --with-thread --with-filesystem --with-chrono --stagedir="$dest.part" stage >/dev/null
    # Header-only parts come from Debian's headers: a directory holding only a
    # link keeps /usr/include off the cross compiler's path.
    mkdir -p "$dest.part/include"
    ln -sfn /usr/include/boost "$dest.part/include/boost"
    rm -rf "$dest"
    mv "$dest.part" "$dest"
  ) >&2
  echo "$dest"
}

# --- SQLite ------------------------------------------------------------------
# For the index of vtl.exe. Debian's source is SQLite's tree: the one-file form
# (sqlite3.c) is generated from it once, with tclsh, and compiled per width.
# What SQL can use matches Debian's libsqlite3, which the Linux vtl links,
# except that no extension is ever loaded and "x" is always a name, never a
# string. JSON and WAL are built in; STRICT tables need 3.37 or later.
SQLITE_FLAGS=(-O2 -fno-strict-aliasing
  -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DQS=0
  -DSQLITE_ENABLE_MATH_FUNCTIONS -DSQLITE_ENABLE_FTS3 -DSQLITE_ENABLE_FTS3_PARENTHESIS
  -DSQLITE_ENABLE_FTS4 -DSQLITE_ENABLE_FTS5 -DSQLITE_ENABLE_RTREE -DSQLITE_SOUNDEX
  -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_DBSTAT_VTAB -DSQLITE_ENABLE_STMTVTAB
  -DSQLITE_ENABLE_UPDATE_DELETE_LIMIT=1 -DSQLITE_SECURE_DELETE -DSQLITE_LIKE_DOESNT_MATCH_BLOBS
  -DSQLITE_USE_URI=1 -DSQLITE_MAX_VARIABLE_NUMBER=250000)
declare -A SQLITE_DIR=()

sqlite_cached() {  # sqlite_cached ARCH: prints a cached build made with these flags, if any
  local arch=$1 ver dest
  for ver in $(apt-cache showsrc sqlite3 | awk '/^Version:/{print $2}' | sort -Vr -u); do
    dest="$CACHE/sqlite-$ver-mingw-$arch"
    if [ -f "$dest/lib/libsqlite3.a" ] && [ "$(cat "$dest/build-flags" 2>/dev/null)" = "${SQLITE_FLAGS[*]}" ]; then
      echo "$dest"; return 0
    fi
  done
  return 0
}

fetch_sqlite() {  # generates $work/sqlite-gen/sqlite3.c from the newest fetchable source; prints its version
  local ver
  command -v tclsh >/dev/null || { echo "SQLite's sqlite3.c is generated with tclsh (Debian package tcl)" >&2; return 1; }
  for ver in $(apt-cache showsrc sqlite3 | awk '/^Version:/{print $2}' | sort -Vr -u); do
    ( cd "$work" && apt-get source -q --download-only "sqlite3=$ver" >/dev/null 2>&1 ) || continue
    (
      exec 2> "$work/sqlite-gen.log"
      trap 'tail -n 30 "$work/sqlite-gen.log" >&3' ERR
      cd "$work"
      # With Debian's patches: they carry its security fixes.
      dpkg-source -x sqlite3_*.dsc ssrc >/dev/null
      mkdir -p sqlite-gen
      cd sqlite-gen
      ../ssrc/configure --disable-tcl --disable-readline >/dev/null
      # The parser is generated for the flags that change the grammar.
      make -s sqlite3.c OPTS=-DSQLITE_ENABLE_UPDATE_DELETE_LIMIT=1 >/dev/null
      cp ../ssrc/src/sqlite3ext.h .
    ) 3>&2
    echo "$ver"; return 0
  done
  echo "no sqlite3 source version could be fetched" >&2; return 1
}

compile_sqlite() {  # compile_sqlite ARCH DEST: the static library and its headers into DEST
  local arch=$1 dest=$2 gen="$work/sqlite-gen"
  (
    exec 2> "$work/sqlite-$arch.log"
    trap 'tail -n 30 "$work/sqlite-$arch.log" >&3' ERR
    "${TRIPLE[$arch]}-gcc-posix" "${SQLITE_FLAGS[@]}" -c "$gen/sqlite3.c" -o "$work/sqlite3-$arch.o"
    rm -rf "$dest.part"
    mkdir -p "$dest.part/lib" "$dest.part/include"
    "${TRIPLE[$arch]}-ar" rcs "$dest.part/lib/libsqlite3.a" "$work/sqlite3-$arch.o"
    cp "$gen/sqlite3.h" "$gen/sqlite3ext.h" "$dest.part/include/"
    echo "${SQLITE_FLAGS[*]}" > "$dest.part/build-flags"
    rm -rf "$dest"                  # one made with other flags
    mv -T "$dest.part" "$dest"      # appears whole or not at all: a cut build is rebuilt
  ) 3>&2 >&2
}

build_sqlite() {  # build_sqlite ARCH...: fills SQLITE_DIR, compiling the missing widths side by side
  local arch ver="" pids=() failed=0
  for arch in "$@"; do
    SQLITE_DIR[$arch]=$(sqlite_cached "$arch")
    [ -n "${SQLITE_DIR[$arch]}" ] && continue
    if [ -z "$ver" ]; then ver=$(fetch_sqlite); fi
    SQLITE_DIR[$arch]="$CACHE/sqlite-$ver-mingw-$arch"
    compile_sqlite "$arch" "${SQLITE_DIR[$arch]}" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
  [ "$failed" = 0 ] || { echo "SQLite could not be built for mingw" >&2; return 1; }
}

# --- Wine prefixes -------------------------------------------------------------
WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine

wine_env() {  # the environment every Wine start of ours uses
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  unset DISPLAY
}

make_prefix() {  # make_prefix win32|win64 LOADER: prints the prefix, fails with wineboot's words
  local winearch=$1 loader=$2 ver prefix out
  ver=$("$loader" --version | tr -c 'A-Za-z0-9.\n-' '_')
  [ -n "$ver" ] || { echo "cannot read the version of $loader" >&2; return 1; }
  prefix="$CACHE/wineprefix-$winearch-$ver"
  if [ ! -f "$prefix/system.reg" ]; then
    rm -rf "$prefix"
    if ! out=$( wine_env; export WINEPREFIX="$prefix" WINEARCH=$winearch WINELOADER=$loader
                "$loader" wineboot -i 2>&1 && /usr/lib/wine/wineserver -w 2>&1 ); then
      rm -rf "$prefix"
      echo "wineboot failed for a $winearch prefix:" >&2
      echo "$out" | tail -n 20 >&2
      return 1
    fi
    [ -f "$prefix/system.reg" ] || { echo "wineboot made no $winearch prefix at $prefix" >&2; echo "$out" | tail -n 20 >&2; return 1; }
  fi
  echo "$prefix"
}

ossl_i686=$(build_openssl i686)
boost_i686=$(build_boost i686)
ossl_x86_64=$(build_openssl x86_64)
boost_x86_64=$(build_boost x86_64)
build_sqlite i686 x86_64

prefix64=$(make_prefix win64 "$WINE64")
# 32-bit Windows programs need the 32-bit Wine loader, which some kernels
# refuse to start ("Exec format error" when 32-bit emulation is disabled). The
# host's is taken where it runs, unless scripts/setup.sh made a Debian root for
# it (named in $CACHE/wine32-root), whose prefix it made inside the root.
prefix32='' skip32='' root32=''
kernel32_refuses() {  # the set-up's 32-bit Linux program, which exits with 42 where it runs
  local rc=0
  [ -x "$CACHE/exit42-i386" ] || return 1
  "$CACHE/exit42-i386" 2>/dev/null || rc=$?
  [ "$rc" != 42 ]
}
if kernel32_refuses; then
  skip32="this kernel cannot run 32-bit programs (a 32-bit Linux program does not start)"
elif [ -f "$CACHE/wine32-root" ] && [ -f "$(cat "$CACHE/wine32-root")/.vantorelle-root" ]; then
  root32=$(cat "$CACHE/wine32-root")
  prefix32="$root32/var/lib/vantorelle/wineprefix-win32"
elif [ ! -x "$WINE32" ]; then
  skip32="the 32-bit Wine is not installed: $(cat "$CACHE/wine32-missing" 2>/dev/null || echo "$WINE32 is missing")"
  if [ -f "$CACHE/logs/wine32-root.log" ]; then
    skip32+="; no Debian root with a 32-bit Wine could be made either (see $CACHE/logs/wine32-root.log)"
  fi
elif ! msg=$("$WINE32" --version 2>&1); then
  skip32="this kernel cannot run 32-bit programs ($WINE32: ${msg##*: })"
else
  prefix32=$(make_prefix win32 "$WINE32")
fi

cat > "$CACHE/win-deps.env.part" <<ENV
VANTORELLE_WIN_OPENSSL_I686=$ossl_i686
VANTORELLE_WIN_BOOST_I686=$boost_i686
VANTORELLE_WIN_OPENSSL_X86_64=$ossl_x86_64
VANTORELLE_WIN_BOOST_X86_64=$boost_x86_64
VANTORELLE_WIN_SQLITE_I686=${SQLITE_DIR[i686]}
VANTORELLE_WIN_SQLITE_X86_64=${SQLITE_DIR[x86_64]}
VANTORELLE_WINEPREFIX_X86_64=$prefix64
VANTORELLE_WINEPREFIX_I686=$prefix32
VANTORELLE_WINE_I686_ROOT=$root32
VANTORELLE_WINE_I686_SKIP="$skip32"
ENV
# Said only when something changed: a machine that is set up hears nothing.
if ! cmp -s "$CACHE/win-deps.env.part" "$CACHE/win-deps.env"; then
  mv "$CACHE/win-deps.env.part" "$CACHE/win-deps.env"
  echo "windows dependencies: i686 $ossl_i686, $boost_i686, ${SQLITE_DIR[i686]}; x86_64 $ossl_x86_64, $boost_x86_64, ${SQLITE_DIR[x86_64]}"
  if [ -z "$prefix32" ]; then win32="none ($skip32)"
  elif [ -n "$root32" ]; then win32="$prefix32 (in the Debian root $root32)"
  else win32=$prefix32
  fi
  echo "wine prefixes: win64 $prefix64; win32 $win32"
else
  rm -f "$CACHE/win-deps.env.part"
fi

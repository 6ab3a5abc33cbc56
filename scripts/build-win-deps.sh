#!/usr/bin/env bash
# Builds OpenSSL's libcrypto and Boost.Thread/Filesystem for i686-w64-mingw32
# from Debian's source packages into $VANTORELLE_CACHE, keyed by version, and
# prepares a 32-bit Wine prefix there. Prints nothing but progress; skips what
# is already built.
set -euo pipefail

CACHE=${VANTORELLE_CACHE:-/var/cache/vantorelle}
CXX_W=i686-w64-mingw32-g++-posix
mkdir -p "$CACHE"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- OpenSSL --------------------------------------------------------------
build_openssl() {
  local ver dest
  for ver in $(apt-cache showsrc openssl | awk '/^Version:/{print $2}' | sort -Vr -u); do
    dest="$CACHE/openssl-$ver-mingw32"
    if [ -f "$dest/lib/libcrypto.a" ]; then echo "$dest"; return 0; fi
    ( cd "$work" && apt-get source -q --download-only "openssl=$ver" >/dev/null 2>&1 ) || continue
    ( cd "$work" && dpkg-source -x --skip-patches openssl_*.dsc osrc >/dev/null 2>&1 || dpkg-source -x openssl_*.dsc osrc >/dev/null )
    (
      cd "$work/osrc"
      ./Configure mingw --cross-compile-prefix=i686-w64-mingw32- no-shared no-asm no-tests \
        no-engine no-dso no-afalgeng no-async no-ui-console no-comp \
        no-idea no-mdc2 no-rc5 no-camellia no-seed no-sm2 no-sm3 no-sm4 no-whirlpool no-rmd160 \
        no-aria no-siphash no-ocb no-cms no-ts no-srp no-ct no-ocsp no-ec2m \
        --prefix="$dest" >/dev/null
      make -s -j"$(nproc)" build_generated >/dev/null
      make -s -j"$(nproc)" libcrypto.a >/dev/null
      mkdir -p "$dest/lib" "$dest/include/openssl"
      cp include/openssl/*.h "$dest/include/openssl/"
      cp libcrypto.a "$dest/lib/"
    ) >&2
    echo "$dest"; return 0
  done
  echo "no openssl source version could be fetched" >&2; return 1
}

# --- Boost -----------------------------------------------------------------
build_boost() {
  local ver dest
  ver=$(dpkg-query -W -f='${Version}' libboost1.74-dev)
  dest="$CACHE/boost-$ver-mingw32"
  if [ -f "$dest/lib/libboost_thread.a" ]; then echo "$dest"; return 0; fi
  (
    cd "$work"
    apt-get source -q --download-only "boost1.74=$ver" >/dev/null 2>&1 || apt-get source -q --download-only boost1.74 >/dev/null
    dpkg-source -x --skip-patches boost1.74_*.dsc bsrc >/dev/null
    cd bsrc
    echo "using gcc : mingw32 : $CXX_W ;" > "$work/user-config.jam"
    b2 --user-config="$work/user-config.jam" toolset=gcc-mingw32 target-os=windows \
      address-model=32 architecture=x86 threadapi=win32 threading=multi link=static \
      runtime-link=static variant=release -j"$(nproc)" -d0 \
      --with-thread --with-filesystem --with-chrono --stagedir="$dest" stage >/dev/null
    # Header-only parts come from Debian's headers: a directory holding only a
    # link keeps /usr/include off the cross compiler's path.
    mkdir -p "$dest/include"
    ln -sfn /usr/include/boost "$dest/include/boost"
  ) >&2
  echo "$dest"
}

# --- Wine prefix -------------------------------------------------------------
make_prefix() {
  local ver prefix
  ver=$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' '_')
  prefix="$CACHE/wineprefix-$ver"
  if [ ! -f "$prefix/system.reg" ]; then
    ( unset DISPLAY; export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all \
        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
      wineboot -i >/dev/null 2>&1 || true; wineserver -w ) >&2
  fi
  echo "$prefix"
}

ossl=$(build_openssl)
boost=$(build_boost)
prefix=$(make_prefix)
cat > "$CACHE/win-deps.env" <<ENV
VANTORELLE_WIN_OPENSSL=$ossl
VANTORELLE_WIN_BOOST=$boost
WINEPREFIX=$prefix
ENV
echo "windows dependencies: $ossl, $boost; wine prefix: $prefix"

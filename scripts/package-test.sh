#!/usr/bin/env bash
# Checks what a user of the SDK gets, from an existing build:
#   package-test.sh [LINUX_BUILD_DIR [WINDOWS_BUILD_DIR...]]
#
# Linux (default build dir: build/linux):
#   - installs into a staging prefix, moves it (the tree must be relocatable)
#     and checks its file list, the SONAME links, the exports and --version;
#   - builds examples/host against it through find_package and through
#     pkg-config, runs both and verifies their logs with the installed vtl;
#   - builds examples/c-host (C, the C interface) the same two ways with
#     Boost hidden from CMake, and runs both;
#   - runs the installed vtrecord from PATH;
#   - builds the .deb, checks its file list and that its Depends name the
#     package of every library its programs need, asks apt whether it would
#     install here, installs it into a scratch root with dpkg --root and runs
#     vtl and vtrecord from there.
# Windows (each extra argument, a cross build dir of either width):
#   - builds the kit zip, checks its file list, the DLL's width, exports and
#     version resource and the toolchain note, and builds the example host
#     against the kit, and the example C host through the kit's CMake package
#     (vantorelle::c, without Boost); where
#     the build has an emulator (Wine), runs the kit's vtl.exe on a Linux log
#     and records with the kit's vtrecord.exe and with both hosts.
#     VT_SKIP_WINE_WIDTHS="i686" leaves out running the programs of that width,
#     for machines that cannot run them; the kit is still built and checked.
# Prints one line per check and per skip; stops at the first failure with a
# message.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build/linux}")
[ $# -gt 0 ] && shift
windows=("$@")
jobs=${JOBS:-$(nproc)}

ok() { printf '  ok: %s\n' "$*"; }
fail() {
  printf '\npackage test FAILED: %s\n' "$*" >&2
  exit 1
}
cache_value() {  # cache_value BUILD_DIR NAME
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" | head -n 1
}
# Whatever fails unexpectedly says where.
trap 'fail "line $LINENO: $BASH_COMMAND"' ERR
same_list() {  # same_list WHAT EXPECTED_FILE ACTUAL_FILE
  if ! diff -u "$2" "$3" > "$3.diff"; then
    cat "$3.diff" >&2
    fail "$1: file list differs from the expected one (- expected, + found)"
  fi
}

[ -f "$build/CMakeCache.txt" ] || fail "$build is not a configured build directory"
version=$(cache_value "$build" CMAKE_PROJECT_VERSION)
libdir=$(cache_value "$build" CMAKE_INSTALL_LIBDIR)
[ -n "$version" ] && [ -n "$libdir" ] || fail "cannot read the project version or library directory from $build"
work="$build/package-test"
rm -rf "$work"
mkdir -p "$work"
echo "package test of vantorelle $version (build $build, scratch $work)"

cmake --build "$build" --target vantorelle vtl vtrecord -j "$jobs" > "$work/build.log" 2>&1 \
  || { cat "$work/build.log"; fail "building the library and tools"; }

# ---- install into a staging prefix ------------------------------------------------
cmake --install "$build" --prefix "$work/staging" --component vantorelle > "$work/install.log" 2>&1 \
  || { cat "$work/install.log"; fail "cmake --install"; }
# An installed tree must work wherever it is put.
mv "$work/staging" "$work/sdk"
sdk=$work/sdk
expected_files() {  # expected_files PREFIX_WITHOUT_SLASH LIBDIR
  local p=$1 l=$2
  printf '%s\n' "$p/bin/vtl" "$p/bin/vtrecord" "$p/include/vantorelle/vantorelle.h" \
    "$p/include/vantorelle/vantorelle_c.h" "$p/$l/pkgconfig/vantorelle-c.pc" \
    "$p/$l/cmake/vantorelle/vantorelleConfig.cmake" "$p/$l/cmake/vantorelle/vantorelleConfigVersion.cmake" \
    "$p/$l/cmake/vantorelle/vantorelleTargets-CONFIG.cmake" "$p/$l/cmake/vantorelle/vantorelleTargets.cmake" \
    "$p/$l/libvantorelle.so" "$p/$l/libvantorelle.so.${version%%.*}" "$p/$l/libvantorelle.so.$version" \
    "$p/$l/pkgconfig/vantorelle.pc" "$p/share/doc/vantorelle/LICENSE" "$p/share/doc/vantorelle/copyright" | sort
}
expected_files "" "$libdir" > "$work/sdk.expected"
(cd "$sdk" && find . ! -type d | sed -e 's/^\.//' -e 's/vantorelleTargets-[a-z]*\.cmake$/vantorelleTargets-CONFIG.cmake/' \
  | sort) > "$work/sdk.found"
same_list "cmake --install" "$work/sdk.expected" "$work/sdk.found"
ok "cmake --install lays out $(wc -l < "$work/sdk.found") files: header, library, vtl, vtrecord, CMake and pkg-config files, licence"
cmp -s "$root/LICENSE" "$sdk/share/doc/vantorelle/LICENSE" && grep -qx 'License: Apache-2.0' "$sdk/share/doc/vantorelle/copyright" \
  && grep -qx 'License: Apache-2.0' "$sdk/$libdir/pkgconfig/vantorelle.pc" \
  && grep -qx 'License: Apache-2.0' "$sdk/$libdir/pkgconfig/vantorelle-c.pc" \
  || fail "the installed tree does not carry the licence or its copyright and pkg-config files do not name it"
ok "LICENSE, Debian's copyright file and both pkg-config files name Apache-2.0"

soname=$(objdump -p "$sdk/$libdir/libvantorelle.so.$version" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libvantorelle.so.${version%%.*}" ] || fail "SONAME is '$soname', expected libvantorelle.so.${version%%.*}"
[ "$(readlink "$sdk/$libdir/libvantorelle.so")" = "$soname" ] || fail "libvantorelle.so does not link to $soname"
[ "$(readlink "$sdk/$libdir/$soname")" = "libvantorelle.so.$version" ] || fail "$soname does not link to the library"
ok "SONAME $soname; libvantorelle.so -> $soname -> libvantorelle.so.$version"

cmake -DLIB="$sdk/$libdir/libvantorelle.so.$version" -DOBJDUMP=objdump -DWINDOWS=0 \
  -P "$root/tests/check_exports.cmake" > "$work/exports.log" 2>&1 || { cat "$work/exports.log"; fail "installed exports"; }
ok "the installed library exports exactly the six C++ exports and the C interface"

for tool in vtl vtrecord; do
  shown=$("$sdk/bin/$tool" --version) || fail "$tool --version failed"
  [ "$shown" = "$tool $version" ] || fail "$tool --version says '$shown', expected '$tool $version'"
done
ok "vtl --version and vtrecord --version say $version"

verify_log() {  # verify_LOG WHAT LOG VTL: whole, and holds the host's key press
  local what=$1 log=$2 vtl=$3
  [ -n "$log" ] && [ -f "$log" ] || fail "$what wrote no log"
  [ "$("$vtl" verify "$log")" = "$log: whole" ] || fail "$what: the log $log is not whole"
  "$vtl" cat "$log" > "$log.txt" || fail "$what: vtl cat $log"
  grep -q ';Info;Start;' "$log.txt" && grep -q ';Info;Stop;' "$log.txt" || fail "$what: the log lacks its start or end"
}

# ---- the example host against the installed tree ------------------------------------
run_host() {  # run_HOST WHAT BUILD_DIR [cmake options...]
  local what=$1 dir=$2 log
  shift 2
  cmake -S "$root/examples/host" -B "$dir" -G Ninja "$@" > "$dir.log" 2>&1 || { cat "$dir.log"; fail "$what: configure"; }
  cmake --build "$dir" >> "$dir.log" 2>&1 || { cat "$dir.log"; fail "$what: build"; }
  grep -q "libvantorelle.so.${version%%.*} => $sdk/$libdir/" <<< "$(ldd "$dir/host")" \
    || { ldd "$dir/host"; fail "$what: the host does not load the installed library"; }
  mkdir -p "$dir-logs"
  log=$(cd "$work" && "$dir/host" "$dir-logs" 2) || fail "$what: the host failed"
  verify_log "$what" "$log" "$sdk/bin/vtl"
  grep -q ';Key;Pressed;Name:W' "$log.txt" && grep -q ';SysInfo;Map;Value:example' "$log.txt" \
    || fail "$what: the log lacks the host's key press or fact"
  ok "$what: example host built against the installed tree, recorded 2 s, log whole"
}
run_host "find_package" "$work/host-cmake" -DCMAKE_PREFIX_PATH="$sdk"

export PKG_CONFIG_PATH="$sdk/$libdir/pkgconfig"
[ "$(pkg-config --modversion vantorelle)" = "$version" ] || fail "pkg-config --modversion vantorelle"
cflags=$(pkg-config --cflags vantorelle | sed "s/ *$//")
[ "$(realpath -m "${cflags#-I}")" = "$sdk/include" ] \
  || fail "pkg-config --cflags vantorelle is '$cflags', not the installed include dir"
run_host "pkg-config" "$work/host-pkgconfig" -DVANTORELLE_USE_PKGCONFIG=ON

# The C host needs nothing of Boost: CMake is told there is none.
run_c_host() {  # run_c_host WHAT BUILD_DIR [cmake options...]
  local what=$1 dir=$2 log
  shift 2
  cmake -S "$root/examples/c-host" -B "$dir" -G Ninja -DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON "$@" > "$dir.log" 2>&1 \
    || { cat "$dir.log"; fail "$what: configure"; }
  cmake --build "$dir" >> "$dir.log" 2>&1 || { cat "$dir.log"; fail "$what: build"; }
  grep -q "libvantorelle.so.${version%%.*} => $sdk/$libdir/" <<< "$(ldd "$dir/c-host")" \
    || { ldd "$dir/c-host"; fail "$what: the C host does not load the installed library"; }
  mkdir -p "$dir-logs"
  log=$(cd "$work" && "$dir/c-host" "$dir-logs" 1 2> /dev/null) || fail "$what: the C host failed"
  verify_log "$what" "$log" "$sdk/bin/vtl"
  grep -q ';Key;Pressed;Name:W' "$log.txt" && grep -q ';SysInfo;Map;Value:example' "$log.txt" \
    || fail "$what: the log lacks the C host's key press or fact"
  ok "$what: example C host built against the installed tree without Boost, recorded 1 s, log whole"
}
[ "$(pkg-config --modversion vantorelle-c)" = "$version" ] || fail "pkg-config --modversion vantorelle-c"
run_c_host "pkg-config vantorelle-c" "$work/c-host-pkgconfig" -DVANTORELLE_USE_PKGCONFIG=ON
unset PKG_CONFIG_PATH
run_c_host "find_package COMPONENTS c" "$work/c-host-cmake" -DCMAKE_PREFIX_PATH="$sdk"

# The installed vtrecord finds the library in the installed tree, not beside itself.
mkdir -p "$work/vtrecord-logs"
log=$(cd "$work" && PATH="$sdk/bin:$PATH" vtrecord --user 3 --match 8 --seconds 1 --dir "$work/vtrecord-logs" 2> /dev/null) \
  || fail "vtrecord from PATH failed"
verify_log "vtrecord from PATH" "$log" "$sdk/bin/vtl"
linux_log=$log
ok "installed vtrecord run from PATH recorded 1 s; vtl verify: whole"

# ---- the Debian package ----------------------------------------------------------------
arch=$(dpkg --print-architecture)
deb="$work/deb/vantorelle_${version}_${arch}.deb"
(cd "$build" && cpack -G DEB -B "$work/deb") > "$work/cpack-deb.log" 2>&1 || { cat "$work/cpack-deb.log"; fail "cpack -G DEB"; }
[ -f "$deb" ] || { ls "$work/deb" >&2; fail "cpack made no $(basename "$deb")"; }
ok "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

deb_libdir=$libdir  # fixed when the build was configured, like every install path
expected_files "./usr" "$deb_libdir" > "$work/deb.expected"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' \
  | sed -e 's/vantorelleTargets-[a-z]*\.cmake$/vantorelleTargets-CONFIG.cmake/' | sort > "$work/deb.found"
same_list "dpkg-deb -c" "$work/deb.expected" "$work/deb.found"
ok "the package holds only the header, library, tools, CMake and pkg-config files and the licence"

depends=$(dpkg-deb -f "$deb" Depends)
[ -n "$depends" ] || fail "the package has no Depends"
mkdir -p "$work/deb-files"
dpkg-deb -x "$deb" "$work/deb-files"
# Every library the package's programs need comes from a package it depends on.
needed=$(for f in "$work/deb-files/usr/bin/"* "$work/deb-files/usr/$deb_libdir/libvantorelle.so.$version"; do
  objdump -p "$f" | awk '$1 == "NEEDED" {print $2}'
done | sort -u | grep -v '^libvantorelle\.')
for lib in $needed; do
  path=$(ldconfig -p | awk -v l="$lib" '$1 == l && /x86-64/ && !p {p = $NF} END {print p}')
  [ -n "$path" ] || fail "$lib, needed by the package, is not installed here"
  # dpkg -S prints "pkg:arch, pkg:arch: /path"
  owners=$(dpkg -S "$(basename "$path")" 2> /dev/null | grep -F "/$(basename "$path")" | sed 's/: .*//' | tr ',' '\n' \
    | sed -e 's/ //g' -e 's/:.*//' | sort -u)
  found=0
  for pkg in $owners; do
    if printf '%s\n' "$depends" | tr ',|' '\n\n' | awk -v p="$pkg" '$1 == p {f = 1} END {exit !f}'; then found=1; fi
  done
  [ "$found" = 1 ] || fail "$lib comes from '$(echo "$owners" | tr '\n' ' ')', which Depends ($depends) does not name"
done
ok "Depends: $depends"
ok "Depends names the package of each needed library: $(echo "$needed" | tr '\n' ' ')"

apt-get install -s -q "$deb" > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get would not install $(basename "$deb")"; }
grep -q '^Inst vantorelle ' "$work/apt.log" || { cat "$work/apt.log"; fail "apt-get install -s did not plan to install vantorelle"; }
ok "apt-get install -s ./$(basename "$deb"): the dependencies resolve here"

# A scratch root: dpkg's database there is empty, so the dependencies (present
# on this machine, checked above) cannot be satisfied inside it. The package's
# scripts run outside the root; they call ldconfig, which a stub stands in for
# here so that this machine's loader cache is left alone.
scratch="$work/scratch-root"
mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates" "$work/stub-bin"
touch "$scratch/var/lib/dpkg/status" "$scratch/var/lib/dpkg/available"
printf '#!/bin/sh\necho "ldconfig $*" >> "%s"\n' "$work/ldconfig.calls" > "$work/stub-bin/ldconfig"
chmod +x "$work/stub-bin/ldconfig"
PATH="$work/stub-bin:$PATH" dpkg --root="$scratch" --force-depends --force-script-chrootless -i "$deb" \
  > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --root $scratch -i"; }
grep -q '^Status: install ok installed' <<< "$(dpkg --root="$scratch" -s vantorelle 2> /dev/null)" \
  || fail "dpkg --root does not list vantorelle as installed"
[ -f "$work/ldconfig.calls" ] || fail "installing the package did not refresh the loader cache (no ldconfig)"
export LD_LIBRARY_PATH="$scratch/usr/$deb_libdir"
for tool in vtl vtrecord; do
  shown=$(PATH="$scratch/usr/bin:$PATH" "$tool" --version) || fail "$tool from the package: --version failed"
  [ "$shown" = "$tool $version" ] || fail "$tool from the package says '$shown'"
done
mkdir -p "$work/deb-logs"
log=$(cd "$work" && PATH="$scratch/usr/bin:$PATH" vtrecord --user 4 --match 9 --seconds 1 --dir "$work/deb-logs" 2> /dev/null) \
  || fail "vtrecord from the package failed"
verify_log "vtrecord from the package" "$log" "$scratch/usr/bin/vtl"
unset LD_LIBRARY_PATH
ok "installed with dpkg --root into a scratch root: vtl and vtrecord run from PATH, the log is whole"

# ---- the Windows kits ----------------------------------------------------------------------
for win in "${windows[@]}"; do
  win=$(realpath "$win")
  [ -f "$win/CMakeCache.txt" ] || fail "$win is not a configured build directory"
  cmake --build "$win" --target vantorelle vtl vtrecord -j "$jobs" > "$work/build-win.log" 2>&1 \
    || { cat "$work/build-win.log"; fail "building the Windows library and tools in $win"; }
  case "$(objdump -f "$win/vantorelle.dll" | sed -n 's/.*file format //p')" in
    pei-i386) warch=i686 bits=32 ;;
    pei-x86-64) warch=x86_64 bits=64 ;;
    *) fail "$win/vantorelle.dll is neither i686 nor x86_64" ;;
  esac
  name="vantorelle-$version-windows-$warch"
  (cd "$win" && cpack -G ZIP -B "$work/zip-$warch") > "$work/cpack-$warch.log" 2>&1 \
    || { cat "$work/cpack-$warch.log"; fail "cpack -G ZIP in $win"; }
  zip="$work/zip-$warch/$name.zip"
  [ -f "$zip" ] || { ls "$work/zip-$warch" >&2; fail "cpack made no $name.zip"; }
  printf '%s\n' "$name/LICENSE.txt" "$name/README-windows.txt" "$name/bin/vantorelle.dll" "$name/bin/vtl.exe" "$name/bin/vtrecord.exe" \
    "$name/include/vantorelle/vantorelle.h" "$name/include/vantorelle/vantorelle_c.h" \
    "$name/lib/libvantorelle.dll.a" "$name/lib/vantorelle.lib" "$name/lib/cmake/vantorelle/vantorelleConfig.cmake" \
    "$name/lib/cmake/vantorelle/vantorelleConfigVersion.cmake" | sort > "$work/zip-$warch.expected"
  # CMake reads zips itself (no unzip needed on the machine).
  cmake -E tar tf "$zip" | grep -v '/$' | sort > "$work/zip-$warch.found"
  same_list "$name.zip" "$work/zip-$warch.expected" "$work/zip-$warch.found"
  ok "built $name.zip ($(stat -c %s "$zip") bytes): DLL, both import libraries, headers, CMake package, vtl.exe, vtrecord.exe, note"

  kit="$work/kit-$warch"
  mkdir -p "$kit"
  (cd "$kit" && cmake -E tar xf "$zip")
  kit="$kit/$name"
  for exe in bin/vantorelle.dll bin/vtl.exe bin/vtrecord.exe; do
    grep -q "file format pei-$([ $bits = 32 ] && echo i386 || echo x86-64)" <<< "$(objdump -f "$kit/$exe")" \
      || fail "$name: $exe is not a $bits-bit Windows file"
  done
  cmake -DLIB="$kit/bin/vantorelle.dll" -DOBJDUMP="$warch-w64-mingw32-objdump" -DWINDOWS=1 \
    -P "$root/tests/check_exports.cmake" > "$work/exports-$warch.log" 2>&1 \
    || { cat "$work/exports-$warch.log"; fail "$name: exports of vantorelle.dll"; }
  "$warch-w64-mingw32-objdump" -p "$kit/bin/vantorelle.dll" | grep 'DLL Name:' | sort -u > "$work/dlls-$warch"
  if grep -Eiv 'DLL Name: (kernel32|user32|advapi32|msvcrt|ws2_32|iphlpapi|psapi|gdi32|crypt32|bcrypt|shell32|ole32|api-ms-win-[a-z0-9-]*)\.dll' \
    "$work/dlls-$warch" > "$work/dlls-$warch.other"; then
    fail "$name: vantorelle.dll needs DLLs a Windows machine lacks: $(tr '\n' ' ' < "$work/dlls-$warch.other")"
  fi
  for fact in "$bits-bit" "posix thread model" "$warch-w64-mingw32-g++-posix" "Boost 1.74"; do
    grep -Fq "$fact" "$kit/README-windows.txt" || fail "$name: README-windows.txt does not say '$fact'"
  done
  grep -Eq 'g\+\+ [0-9]+ with' "$kit/README-windows.txt" || fail "$name: README-windows.txt names no g++ version"
  grep -q 'Apache License, Version 2.0' "$kit/LICENSE.txt" && grep -Fq 'LICENSE.txt' "$kit/README-windows.txt" \
    && grep -q 'Apache License 2.0' <<< "$(strings -el "$kit/bin/vantorelle.dll")" \
    || fail "$name: the kit's LICENSE.txt, its note or the DLL's version resource does not name the licence"
  grep -qx "$version" <<< "$(strings -el "$kit/bin/vantorelle.dll")" \
    || fail "$name: vantorelle.dll has no version resource saying $version"
  grep -q "__imp_$([ $bits = 32 ] && echo _)vtcStart$" <<< "$(llvm-nm "$kit/lib/vantorelle.lib" 2> /dev/null)" \
    || fail "$name: vantorelle.lib does not import vtcStart"
  ok "$name: $bits-bit files, the exports, version resource $version, vantorelle.lib, only Windows' own DLLs needed, the note names compiler and Boost"

  # A host built as the note says: the kit's header and import library, Boost 1.74's headers.
  boost=$(cache_value "$win" VANTORELLE_WIN_BOOST)
  "$warch-w64-mingw32-g++-posix" -std=c++17 -O1 -Wall -Wextra "$root/examples/host/main.cpp" -I"$kit/include" \
    -isystem "$boost/include" "$kit/lib/libvantorelle.dll.a" -static -o "$kit/bin/host.exe" > "$work/host-$warch.log" 2>&1 \
    || { cat "$work/host-$warch.log"; fail "$name: the example host does not build against the kit"; }
  grep -q 'DLL Name: vantorelle.dll' <<< "$("$warch-w64-mingw32-objdump" -p "$kit/bin/host.exe")" \
    || fail "$name: the example host does not import vantorelle.dll"
  ok "$name: the example host builds against the kit's header and import library"

  # The C host through the kit's CMake package, with Boost hidden: vantorelle::c picks libvantorelle.dll.a here.
  cmake -S "$root/examples/c-host" -B "$kit-c-host" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$warch.cmake" \
    -DCMAKE_PREFIX_PATH="$kit" -DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON > "$work/c-host-$warch.log" 2>&1 \
    && cmake --build "$kit-c-host" >> "$work/c-host-$warch.log" 2>&1 \
    || { cat "$work/c-host-$warch.log"; fail "$name: the example C host does not build through the kit's CMake package"; }
  cp "$kit-c-host/c-host.exe" "$kit/bin/"
  grep -q 'DLL Name: vantorelle.dll' <<< "$("$warch-w64-mingw32-objdump" -p "$kit/bin/c-host.exe")" \
    || fail "$name: the example C host does not import vantorelle.dll"
  ok "$name: the example C host builds through find_package(vantorelle COMPONENTS c), without Boost"

  # The kit's programs under the emulator the build's tests use, when there is one.
  # The emulator is what CTest puts before the test program: add_test(unit_tests "EMULATOR" [ARGS...] "PROGRAM").
  line=$(sed -n 's/^add_test(\(\[=\[\)\{0,1\}unit_tests\(\]=\]\)\{0,1\} \(.*\))$/\3/p' \
    "$win/tests/CTestTestfile.cmake" 2> /dev/null | head -n 1 || true)
  emulator=()
  if [ -n "$line" ]; then eval "emulator=($line)"; fi
  if [ "${#emulator[@]}" -lt 2 ]; then
    echo "  skipped: $name under Wine (the build in $win runs its tests without an emulator)"
    continue
  fi
  if [[ " ${VT_SKIP_WINE_WIDTHS:-} " == *" $warch "* ]]; then
    echo "  skipped: $name under Wine (VT_SKIP_WINE_WIDTHS says $warch programs cannot run here)"
    continue
  fi
  unset 'emulator[${#emulator[@]}-1]'
  winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
  shown=$("${emulator[@]}" "$kit/bin/vtl.exe" verify "$(winpath "$linux_log")" 2> /dev/null | tr -d '\r') \
    || fail "$name: vtl.exe verify of a Linux log failed: $shown"
  case "$shown" in *": whole") ;; *) fail "$name: vtl.exe verify of a Linux log says '$shown'" ;; esac
  ok "$name: vtl.exe verify under Wine says whole for a log made on Linux"
  # The index verbs, with the SQLite the kit carries: the same log indexed and
  # asked for again.
  shown=$("${emulator[@]}" "$kit/bin/vtl.exe" index "$(winpath "$work/kit-$warch.db")" "$(winpath "$linux_log")" \
    2> /dev/null | tr -d '\r') || fail "$name: vtl.exe index of a Linux log failed: $shown"
  case "$shown" in *": indexed "[0-9]*" records") ;; *) fail "$name: vtl.exe index of a Linux log says '$shown'" ;; esac
  shown=$("${emulator[@]}" "$kit/bin/vtl.exe" query "$(winpath "$work/kit-$warch.db")" \
    "SELECT count(*) AS n FROM recordings" 2> /dev/null | tr -d '\r')
  [ "$shown" = "$(printf 'n\n1')" ] || fail "$name: vtl.exe query of its index says '$shown'"
  ok "$name: vtl.exe index and query under Wine"
  mkdir -p "$work/kit-$warch-logs"
  "${emulator[@]}" "$kit/bin/vtrecord.exe" --user 6 --match 2 --seconds 1 --key F1 \
    --dir "$(winpath "$work/kit-$warch-logs")" > /dev/null 2>&1 || fail "$name: vtrecord.exe failed under Wine"
  log=$(ls "$work/kit-$warch-logs/"*.vtl 2> /dev/null | head -n 1)
  verify_log "$name vtrecord.exe" "$log" "$sdk/bin/vtl"
  grep -q ';Key;Pressed;Name:F1' "$log.txt" || fail "$name: the log of vtrecord.exe lacks its key press"
  ok "$name: vtrecord.exe with the kit's DLL recorded 1 s under Wine; the Linux vtl says whole"
  mkdir -p "$work/kit-$warch-host-logs"
  "${emulator[@]}" "$kit/bin/host.exe" "$(winpath "$work/kit-$warch-host-logs")" 1 > /dev/null 2>&1 \
    || fail "$name: the example host failed under Wine"
  log=$(ls "$work/kit-$warch-host-logs/"*.vtl 2> /dev/null | head -n 1)
  verify_log "$name example host" "$log" "$sdk/bin/vtl"
  grep -q ';SysInfo;Map;Value:example' "$log.txt" || fail "$name: the log of the example host lacks its fact"
  ok "$name: the example host linked with the import library recorded 1 s under Wine; the Linux vtl says whole"
  mkdir -p "$work/kit-$warch-c-host-logs"
  "${emulator[@]}" "$kit/bin/c-host.exe" "$(winpath "$work/kit-$warch-c-host-logs")" 1 > /dev/null 2>&1 \
    || fail "$name: the example C host failed under Wine"
  log=$(ls "$work/kit-$warch-c-host-logs/"*.vtl 2> /dev/null | head -n 1)
  verify_log "$name example C host" "$log" "$sdk/bin/vtl"
  grep -q ';SysInfo;Map;Value:example' "$log.txt" || fail "$name: the log of the example C host lacks its fact"
  ok "$name: the example C host recorded 1 s under Wine; the Linux vtl says whole"
done

echo "package test passed"

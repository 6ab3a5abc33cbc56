#!/usr/bin/env bash
# The C interface from outside the library's own toolchain, from existing builds:
#   c-interface-test.sh LINUX_BUILD_DIR [WINDOWS_BUILD_DIR...]
#
#   - vantorelle_c.h compiles alone as C99 and as C++11 with -Werror -pedantic
#     under gcc, both mingw-w64 compilers and clang's two MSVC targets;
#   - Python ctypes against libvantorelle.so: the sequence every C-level host
#     runs, then 8 threads sending facts while recordings start and stop;
#   - C# under Mono (P/Invoke, Cdecl, UTF-8 bytes) against libvantorelle.so;
#   - for each Windows build: a host with the MSVC ABI and no C runtime
#     (clang --target=*-pc-windows-msvc, -ffreestanding -nostdinc, lld-link
#     against the installed kit's vantorelle.lib) running the sequence under
#     Wine, its log read back by the Linux vtl.
#
# Sourced by scripts/test.sh, each part is one of its runs (run/skip, and the
# widths its Wine probe found runnable in widths_run, with the reason in
# why32). Run alone, it counts its parts itself and exits 1 when one failed;
# VT_SKIP_WINE_WIDTHS="i686" then builds that width's host without running it.
# What cannot run says "skipped" and why.

ci_self=$(realpath "${BASH_SOURCE[0]}")
ci_root=$(dirname "$(dirname "$ci_self")")
ci_standalone=0
if ! declare -F run > /dev/null; then
  set -euo pipefail
  ci_standalone=1
  passed=() failed=() skipped=()
  pass() { passed+=("$1"); }
  skip() { skipped+=("$1: skipped, $2"); printf '%s: skipped, %s\n' "$1" "$2"; }
  run() {
    local name=$1; shift
    if "$@"; then pass "$name"; else failed+=("$name"); printf '%s: FAILED\n' "$name"; fi
  }
fi

if declare -F step > /dev/null; then step "The C interface from other compilers and languages"; fi
ci_linux=$(realpath "${1:-$ci_root/build/linux}")
shift || true
ci_windows=("$@")
ci_work="$ci_linux/c-interface"
ci_src="$ci_root/tests/c_interface"
mkdir -p "$ci_work"

ci_run_host() {  # ci_run_host WORK VTL HOST_WORDS...: the sequence's log read back (run_host.cmake)
  local work=$1 vtl=$2; shift 2
  local IFS='|'
  cmake "-DHOST=$*" "-DVTL=$vtl" "-DWORK=$work" -P "$ci_src/run_host.cmake"
}

# ---- the header under every compiler a host may use
ci_clang_headers=$(clang -print-resource-dir 2> /dev/null || true)/include
ci_header() {
  local out="$ci_work/header" ok=1 cc std lang
  mkdir -p "$out"
  local -a freestanding=(-ffreestanding -nostdinc -isystem "$ci_clang_headers")
  local -a compilers=(
    "gcc" "g++"
    "x86_64-w64-mingw32-gcc" "x86_64-w64-mingw32-g++"
    "i686-w64-mingw32-gcc" "i686-w64-mingw32-g++"
    "clang --target=x86_64-pc-windows-msvc ${freestanding[*]}" "clang++ --target=x86_64-pc-windows-msvc ${freestanding[*]}"
    "clang --target=i686-pc-windows-msvc ${freestanding[*]}" "clang++ --target=i686-pc-windows-msvc ${freestanding[*]}")
  for cc in "${compilers[@]}"; do
    case "${cc%% *}" in *++) lang=c++ std=c++11 ;; *) lang=c std=c99 ;; esac
    # shellcheck disable=SC2086
    if $cc -x $lang -std=$std -Wall -Wextra -Werror -pedantic -I"$ci_root/include" -c "$ci_src/header_check.c" \
      -o "$out/check.o" 2> "$out/errors.txt"; then
      printf '  ok: %s as %s\n' "${cc%% -ffreestanding*}" "$std"
    else
      printf '  FAILED: %s as %s\n' "$cc" "$std"; cat "$out/errors.txt"; ok=0
    fi
  done
  [ $ok = 1 ]
}
run "C interface header: C99 and C++11, -Werror -pedantic, gcc, mingw-w64, clang MSVC targets" ci_header

# ---- Python and C# against the Linux library
ci_python() {
  ci_run_host "$ci_work/python" "$ci_linux/vtl" python3 "$ci_src/ctypes_host.py" "$ci_linux/libvantorelle.so" "$ci_linux/vtl"
}
if command -v python3 > /dev/null; then
  run "C interface from Python ctypes (sequence, 8 threads across recordings)" ci_python
else
  skip "C interface from Python ctypes" "python3 is not installed"
fi

ci_mono() {
  mcs -nologo -warnaserror -out:"$ci_work/MonoHost.exe" "$ci_src/MonoHost.cs" &&
  LD_LIBRARY_PATH="$ci_linux${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" ci_run_host "$ci_work/mono" "$ci_linux/vtl" \
    mono "$ci_work/MonoHost.exe"
}
if command -v mcs > /dev/null && command -v mono > /dev/null; then
  run "C interface from C# under Mono" ci_mono
else
  skip "C interface from C# under Mono" "Mono is not installed (Debian's mono-complete)"
fi

# ---- hosts with the MSVC ABI against the Windows kits
ci_msvc_build() {  # ci_msvc_build WIN_BUILD ARCH KIT: stages the kit, builds msvc_host.exe into KIT/bin
  local win=$1 arch=$2 kit=$3 target machine k32
  case $arch in
    x86_64) target=x86_64-pc-windows-msvc machine=i386:x86-64 k32="GetStdHandle WriteFile GetFileAttributesW ExitProcess" ;;
    i686) target=i686-pc-windows-msvc machine=i386 k32="GetStdHandle@4 WriteFile@20 GetFileAttributesW@4 ExitProcess@4" ;;
  esac
  rm -rf "$kit"
  cmake --build "$win" --target vantorelle > "$kit.build.log" 2>&1 || { cat "$kit.build.log"; return 1; }
  cmake --install "$win" --prefix "$kit" --component vantorelle > "$kit.install.log" 2>&1 \
    || { cat "$kit.install.log"; return 1; }
  [ -f "$kit/lib/vantorelle.lib" ] || { echo "the kit has no lib/vantorelle.lib"; return 1; }
  # kernel32's import library, for the four functions the host calls: no Windows SDK needed.
  { echo "LIBRARY kernel32.dll"; echo "EXPORTS"; printf '  %s\n' $k32; } > "$kit/kernel32.def"
  llvm-dlltool -m $machine -k -d "$kit/kernel32.def" -l "$kit/kernel32.lib" &&
  for c in msvc_host sequence; do
    clang --target=$target -ffreestanding -nostdinc -isystem "$ci_clang_headers" -fno-builtin -std=c99 -O1 \
      -Wall -Wextra -Werror -I"$kit/include" -c "$ci_src/$c.c" -o "$kit/$c.obj" || return 1
  done &&
  lld-link -nologo -entry:entry -subsystem:console -nodefaultlib -out:"$kit/bin/msvc_host.exe" \
    "$kit/msvc_host.obj" "$kit/sequence.obj" "$kit/lib/vantorelle.lib" "$kit/kernel32.lib" &&
  # (grep -q on a pipe would end objdump early, which pipefail counts as a failure)
  grep -q 'DLL Name: vantorelle.dll' <<< "$("$arch-w64-mingw32-objdump" -p "$kit/bin/msvc_host.exe")" &&
  printf '  ok: msvc_host.exe (%s) linked against the kit'"'"'s vantorelle.lib\n' "$target"
}
ci_msvc_run() {  # ci_msvc_run ARCH KIT
  local wine=win64
  [ "$1" = i686 ] && wine=win32
  ci_run_host "$ci_work/msvc-$1" "$ci_linux/vtl" "$ci_root/scripts/wine-run.sh" $wine "$2/bin/msvc_host.exe"
}
for ci_win in "${ci_windows[@]}"; do
  ci_win=$(realpath -m "$ci_win")
  case "$(objdump -f "$ci_win/vantorelle.dll" 2> /dev/null | sed -n 's/.*file format //p')" in
    pei-i386) ci_arch=i686 ci_bits=32 ;;
    pei-x86-64) ci_arch=x86_64 ci_bits=64 ;;
    *) failed+=("C interface, MSVC-ABI host: $ci_win has no vantorelle.dll")
       echo "C interface, MSVC-ABI host: FAILED, $ci_win has no vantorelle.dll"; continue ;;
  esac
  ci_name="C interface, $ci_bits-bit MSVC-ABI host (clang, lld-link, vantorelle.lib)"
  if ! command -v lld-link > /dev/null || ! command -v llvm-dlltool > /dev/null; then
    skip "$ci_name" "lld-link or llvm-dlltool is not installed (Debian's lld and llvm)"
    continue
  fi
  ci_kit="$ci_work/kit-$ci_arch"
  run "$ci_name: built" ci_msvc_build "$ci_win" "$ci_arch" "$ci_kit"
  if [ ! -f "$ci_kit/bin/msvc_host.exe" ]; then continue; fi
  if declare -p widths_run > /dev/null 2>&1; then
    if [[ " ${widths_run[*]} " != *" $ci_arch "* ]]; then skip "$ci_name: run under Wine" "${why32:-this machine cannot run $ci_bits-bit Windows programs}"; continue; fi
  elif [[ " ${VT_SKIP_WINE_WIDTHS:-} " == *" $ci_arch "* ]]; then
    skip "$ci_name: run under Wine" "VT_SKIP_WINE_WIDTHS says $ci_arch programs cannot run here"; continue
  fi
  run "$ci_name: run under Wine" ci_msvc_run "$ci_arch" "$ci_kit"
done

if declare -F wine_stop > /dev/null; then wine_stop; fi

if [ $ci_standalone = 1 ]; then
  for p in "${passed[@]}"; do echo "passed:  $p"; done
  for s in "${skipped[@]}"; do echo "skipped: ${s}"; done
  for f in "${failed[@]}"; do echo "FAILED:  $f"; done
  echo "${#passed[@]} passed, ${#failed[@]} failed, ${#skipped[@]} skipped"
  [ ${#failed[@]} -eq 0 ]
fi

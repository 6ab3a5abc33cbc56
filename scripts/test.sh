#!/usr/bin/env bash
# Sets the machine up (once), then builds and tests everything:
#   1. the Linux build and its tests,
#   2. the same with AddressSanitizer and UndefinedBehaviorSanitizer,
#   3. the concurrency tests with ThreadSanitizer,
#   4. the Windows build and its tests under Wine, and a Windows recording
#      verified by the Linux reader,
#   5. a short fuzzing run of the record parser and the log container.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

bash scripts/setup.sh
CACHE=${VANTORELLE_CACHE:-/var/cache/vantorelle}
# shellcheck disable=SC1091
source "$CACHE/win-deps.env"
export WINEPREFIX
# Compiler cache outside the checkout: a fresh clone builds from it too.
export CCACHE_DIR="$CACHE/ccache" CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=3G
launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

step() { printf '\n==== %s\n' "$*"; }

configure() {  # configure DIR [cmake options...]
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" > "$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
}
compile() {  # compile DIR [targets...]: shows warnings and errors, not progress
  ninja -C "$@" -j"$jobs" | grep -v -e "^\[" -e "^ninja: Entering" || true
  ninja -C "$@" -j"$jobs" > /dev/null  # fails the run when the build failed
}
build() {  # build DIR [cmake options...]
  configure "$@"
  compile "$1"
}

mkdir -p build

step "Linux build and tests"
build build/linux
(cd build/linux && ctest --output-on-failure -j1)

step "AddressSanitizer + UndefinedBehaviorSanitizer"
build build/asan -DVT_SANITIZE=address,undefined -DVT_BENCH=OFF
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j1)

step "ThreadSanitizer"
configure build/tsan -DVT_SANITIZE=thread -DVT_BENCH=OFF
compile build/tsan unit_tests host_tests vantorelle vtl vtrecord
(cd build/tsan && export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" && \
  ./tests/unit_tests --gtest_brief=1 && ./tests/host_tests --gtest_brief=1)

step "Windows build and tests under Wine"
wineserver -k 2>/dev/null || true
echo a1b2c3 > "$WINEPREFIX/drive_c/.windows-serial"  # the serial Wine reports for C:
build build/win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DVANTORELLE_WIN_OPENSSL="$VANTORELLE_WIN_OPENSSL" -DVANTORELLE_WIN_BOOST="$VANTORELLE_WIN_BOOST"
(cd build/win32 && ctest --output-on-failure -j1)

step "A recording by vantorelle.dll, read by the Linux vtl"
rm -rf build/win32-recording
log=$(cd build/win32 && "$root/scripts/wine-run.sh" vtrecord.exe --user 7 --match 3 --server 127.0.0.2 \
  --seconds 12 --key F1 --info Map=dust --dir 'Z:'"$(echo "$root/build/win32-recording" | tr / '\\')" 2>/dev/null \
  | tr -d '\r')
echo "vtrecord.exe wrote $log"
file=$(ls build/win32-recording/*.vtl)
build/linux/vtl verify "$file"
build/linux/vtl cat "$file" | grep -E 'Info;Start;|Key;Pressed;Name:F1|Ping;Stats;Server:127.0.0.2|Info;Stop;'
build/linux/vtl cat "$file" | grep -q 'Key;Pressed;Name:F1'

step "Fuzzing the record parser and the log container, 20 s each"
bash tests/fuzz/run.sh 20 build/fuzz

step "All tests passed"
echo "runs: 6 passed, 0 failed"

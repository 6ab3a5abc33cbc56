#!/usr/bin/env bash
# Sets the machine up (once), then builds and tests everything it can:
#   1. the Linux build and its tests,
#   2. the same with AddressSanitizer and UndefinedBehaviorSanitizer,
#   3. the concurrency tests with ThreadSanitizer,
#   4. both Windows widths built, their exports checked, and their tests run
#      under Wine for every width this machine can run, with a Windows
#      recording verified by the Linux reader,
#   5. the match report and the operators' console checked in headless
#      Chromium, the installed SDK, the Debian package and the Windows kits,
#   6. a short fuzzing run of the record parser and the log container.
# What cannot run here is named with the reason, and never counted as passed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

bash scripts/setup.sh
CACHE=${VANTORELLE_CACHE:-/var/cache/vantorelle}
# shellcheck disable=SC1091
source "$CACHE/win-deps.env"
export VANTORELLE_WINEPREFIX_I686 VANTORELLE_WINEPREFIX_X86_64 VANTORELLE_WINE_I686_ROOT
# Compiler cache outside the checkout: a fresh clone builds from it too.
export CCACHE_DIR="$CACHE/ccache" CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=3G
launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

passed=() failed=() skipped=()
step() { printf '\n==== %s\n' "$*"; }
pass() { passed+=("$1"); }
skip() { skipped+=("$1: skipped, $2"); printf '%s: skipped, %s\n' "$1" "$2"; }
# run NAME COMMAND...: a part that may fail without stopping the others
run() {
  local name=$1; shift
  if "$@"; then pass "$name"; else failed+=("$name"); printf '%s: FAILED\n' "$name"; fi
}

configure() {  # configure PRESET [cmake options...]: into build/PRESET (CMakePresets.json)
  local preset=$1; shift
  cmake --preset "$preset" "${launcher[@]}" "$@" > "build/$preset.configure.log" 2>&1 \
    || { cat "build/$preset.configure.log"; return 1; }
}
compile() {  # compile PRESET: shows warnings and errors, not progress
  cmake --build --preset "$1" -j"$jobs" | grep -v -e "^\[" -e "^ninja: Entering" || true
  cmake --build --preset "$1" -j"$jobs" > /dev/null  # fails the run when the build failed
}
build() {  # build PRESET [cmake options...]
  configure "$@"
  compile "$1"
}
wine_stop() {  # ends the Wine servers of both prefixes, if they run
  local w
  for w in win32 win64; do scripts/wine-run.sh $w --server -k > /dev/null 2>&1 || true; done
}

mkdir -p build

step "Linux build and tests"
build linux
run "Linux tests" ctest --preset linux

step "The match report in headless Chromium"
run "Report in Chromium" bash scripts/browser-check.sh build/linux

step "The console in headless Chromium"
if ! command -v chromium > /dev/null; then
  skip "Console in Chromium" "chromium is not installed"
elif ! command -v node > /dev/null; then
  skip "Console in Chromium" "node is not installed"
else
  run "Console in Chromium" bash scripts/console-check.sh build/linux
fi

step "AddressSanitizer + UndefinedBehaviorSanitizer"
build asan
run "ASan+UBSan tests" ctest --preset asan

step "ThreadSanitizer"
configure tsan
compile tsan
run "TSan tests" ctest --preset tsan

# ---- Windows: both widths are always built and their exports checked.
declare -A WIDTH_NAME=([x86_64]="64-bit" [i686]="32-bit") WINE_ARCH=([x86_64]=win64 [i686]=win32)
for arch in x86_64 i686; do
  step "${WIDTH_NAME[$arch]} Windows build (mingw-w64 $arch)"
  ossl_var=VANTORELLE_WIN_OPENSSL_${arch^^} boost_var=VANTORELLE_WIN_BOOST_${arch^^}
  sqlite_var=VANTORELLE_WIN_SQLITE_${arch^^}
  build "win-$arch" \
    -DVANTORELLE_WIN_OPENSSL="${!ossl_var}" -DVANTORELLE_WIN_BOOST="${!boost_var}" \
    -DVANTORELLE_WIN_SQLITE="${!sqlite_var}"
  run "${WIDTH_NAME[$arch]} Windows exports" ctest --preset "win-$arch-exports"
done

# Can this machine run 32-bit Windows programs? Asked once, of a tiny program.
probe32() {
  [ -n "$VANTORELLE_WINEPREFIX_I686" ] || { echo "${VANTORELLE_WINE_I686_SKIP:-there is no 32-bit Wine prefix}"; return 1; }
  local dir; dir=$(mktemp -d)
  printf 'int main(void){return 42;}\n' > "$dir/p.c"
  i686-w64-mingw32-gcc -O0 "$dir/p.c" -o "$dir/p.exe"
  local rc=0 out
  out=$(scripts/wine-run.sh win32 "$dir/p.exe" 2>&1) || rc=$?
  rm -rf "$dir"
  [ "$rc" = 42 ] || { echo "a 32-bit program under Wine did not run (exit $rc: ${out:0:200})"; return 1; }
}
widths_run=()
if why32=$(probe32); then widths_run=(x86_64 i686); else widths_run=(x86_64); fi
declare -A WINE_USED=()  # the Wine each width ran under, for the summary
for arch in "${widths_run[@]}"; do WINE_USED[$arch]=$(scripts/wine-run.sh "${WINE_ARCH[$arch]}" --which 2>&1 || true); done

for arch in x86_64 i686; do
  name="${WIDTH_NAME[$arch]} Windows tests"
  if [[ " ${widths_run[*]} " != *" $arch "* ]]; then
    skip "$name" "$why32"
    continue
  fi
  step "$name under Wine (${WINE_ARCH[$arch]})"
  wine_stop
  prefix_var=VANTORELLE_WINEPREFIX_${arch^^}
  echo a1b2c3 > "${!prefix_var}/drive_c/.windows-serial"  # the serial Wine reports for C:
  run "$name" ctest --preset "win-$arch"

  step "A recording by the ${WIDTH_NAME[$arch]} vantorelle.dll, read by the Linux vtl"
  out="build/win-$arch-recording"
  rm -rf "$out"
  record() {
    local log
    log=$(cd "build/win-$arch" && "$root/scripts/wine-run.sh" "${WINE_ARCH[$arch]}" vtrecord.exe --user 7 --match 3 \
      --server 127.0.0.2 --seconds 12 --key F1 --info Map=dust \
      --dir 'Z:'"$(echo "$root/$out" | tr / '\\')" 2>/dev/null | tr -d '\r')
    echo "vtrecord.exe wrote $log"
    local file; file=$(ls "$out"/*.vtl)
    build/linux/vtl verify "$file" &&
    build/linux/vtl cat "$file" | grep -E 'Info;Start;|Key;Pressed;Name:F1|Ping;Stats;Server:127.0.0.2|Info;Stop;' &&
    build/linux/vtl cat "$file" | grep -q 'Key;Pressed;Name:F1'
  }
  run "${WIDTH_NAME[$arch]} Windows recording" record

  step "A ${WIDTH_NAME[$arch]} recording killed mid-match, recovered by the Linux vtl"
  killed() {
    local dir="$root/build/win-$arch-killed" file="" size=0 waited=0
    rm -rf "$dir"; mkdir -p "$dir/out"
    ( cd "build/win-$arch" && exec "$root/scripts/wine-run.sh" "${WINE_ARCH[$arch]}" vtrecord.exe --user 7 \
        --match 4 --server 127.0.0.2 --seconds 300 --key F2 --dir 'Z:'"$(echo "$dir" | tr / '\\')" \
        > "$dir/said.txt" 2>&1 ) &
    local host=$!
    # The host has handed its key press to the library ...
    while ! grep -qs "vtrecord: sent 1 key presses" "$dir/said.txt" && [ "$waited" -lt 1200 ]; do
      sleep 0.1; waited=$((waited + 1))
    done
    file=$(ls "$dir"/*.vtl 2>/dev/null | head -n 1 || true)
    [ -n "$file" ] && size=$(stat -c %s "$file")
    # ... and the file grows after that: a flush that came after the key (the
    # ping every 10 s makes one at the latest).
    waited=0
    while [ -n "$file" ] && [ "$(stat -c %s "$file")" -le "$size" ] && [ "$waited" -lt 600 ]; do
      sleep 0.1; waited=$((waited + 1))
    done
    # Killed as a crash would end it: the process this script started, by its id.
    kill -KILL "$host" 2>/dev/null || true
    wait "$host" 2>/dev/null || true
    [ -n "$file" ] || { echo "vtrecord.exe made no log"; cat "$dir/said.txt"; return 1; }
    echo "killed vtrecord.exe with $(stat -c %s "$file") bytes in $file"
    if build/linux/vtl verify "$file"; then echo "a killed recording cannot be whole"; return 1; fi
    build/linux/vtl recover --out "$dir/out" "$file" 2>/dev/null | tee "$dir/recover.txt"
    grep -q ": recovered" "$dir/recover.txt" &&
    ! grep -q "unfinished" "$dir/recover.txt" &&
    grep -q ';Info;Start;Logfile start:UserId:7:MatchId:4' "$dir"/out/*_recovered.txt &&
    grep -q ';Key;Pressed;Name:F2' "$dir"/out/*_recovered.txt
  }
  run "${WIDTH_NAME[$arch]} Windows recording recovered after a kill" killed
  wine_stop
done

source scripts/c-interface-test.sh build/linux build/win-x86_64 build/win-i686  # its parts are runs of this script

step "The index exported to a directory read by DuckDB, and into PostgreSQL"
# Each part the script names counts as a run of its own.
warehouse() {
  local log=build/warehouse-test.log rc=0 line named=0
  bash scripts/warehouse-test.sh build/linux > "$log" 2>&1 || rc=$?
  cat "$log"
  while IFS= read -r line; do
    case "$line" in
      *": passed") pass "Warehouse: ${line%: passed}"; named=1 ;;
      *": FAILED") failed+=("Warehouse: ${line%: FAILED}"); named=1 ;;
      *": skipped, "*) skipped+=("Warehouse: ${line%%: skipped, *}: skipped, ${line#*: skipped, }"); named=1 ;;
    esac
  done < <(grep -E '^[a-z][a-z ]*: (passed|FAILED|skipped, .*)$' "$log")
  if [ "$rc" != 0 ] && { [ "$named" = 0 ] || ! grep -qE '^[a-z][a-z ]*: FAILED$' "$log"; }; then
    failed+=("Warehouse export (exit $rc)")
  fi
}
warehouse

step "Install, Debian package and Windows kits"
skip_widths=$([[ " ${widths_run[*]} " == *" i686 "* ]] || echo i686)
run "Install and packages" env VT_SKIP_WINE_WIDTHS="$skip_widths" \
  bash scripts/package-test.sh build/linux build/win-x86_64 build/win-i686

step "Fuzzing the record parser and the log container, 20 s each"
run "Fuzzing" bash tests/fuzz/run.sh 20 build/fuzz

step "Summary"
for arch in x86_64 i686; do
  echo "wine:    ${WIDTH_NAME[$arch]} Windows programs ran under ${WINE_USED[$arch]:-no Wine}"
done
for p in "${passed[@]}"; do echo "passed:  $p"; done
for s in "${skipped[@]}"; do echo "skipped: ${s}"; done
for f in "${failed[@]}"; do echo "FAILED:  $f"; done
echo "runs: ${#passed[@]} passed, ${#failed[@]} failed, ${#skipped[@]} skipped"
[ ${#failed[@]} -eq 0 ]

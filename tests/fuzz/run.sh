#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for a bounded time from its seed corpus:
#   bash tests/fuzz/run.sh [seconds per target, default 20] [build directory, default build/fuzz]
# Exits non-zero when a target finds a crash, a leak or a hang; the input that
# caused it is left in the build directory.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-20}
dir=${2:-build/fuzz}
launcher=()
command -v ccache > /dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVT_FUZZ=ON -DVT_BENCH=OFF -DVT_SANITIZE=address,undefined "${launcher[@]}" > "$dir.configure.log" 2>&1 \
  || { cat "$dir.configure.log"; exit 1; }
ninja -C "$dir" -j"$(nproc)" container_fuzz record_fuzz > "$dir.build.log" 2>&1 || { grep -v '^\[' "$dir.build.log" | head -n 40; exit 1; }

for target in record container; do
  corpus=$dir/corpus-$target
  mkdir -p "$corpus" "$dir/findings-$target"
  cp tests/fuzz/corpus/$target/* "$corpus/"
  echo "fuzzing $target for $seconds s"
  "$dir/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -dict=tests/fuzz/records.dict -artifact_prefix="$dir/findings-$target/" -print_final_stats=1 "$corpus" \
    > "$dir/fuzz-$target.log" 2>&1 || { tail -n 40 "$dir/fuzz-$target.log"; echo "$target: finding"; exit 1; }
  grep -E '^stat::number_of_executed_units|^Done' "$dir/fuzz-$target.log" || tail -n 2 "$dir/fuzz-$target.log"
done
echo "fuzzing: no findings"

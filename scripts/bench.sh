#!/usr/bin/env bash
# Builds the Linux tree and runs every benchmark; each prints its figures with
# the reference of the same run. Pass a number of seconds for the worker's CPU
# measurement (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
ninja -C build/linux bench_log bench_procwatch bench_connections bench_worker bench_stop bench_capi > /dev/null
for b in stop log capi procwatch connections; do build/linux/bench/bench_$b; echo; done
ninja -C build/linux bench_vtl bench_recover bench_report > /dev/null
build/linux/bench/bench_vtl; echo
build/linux/bench/bench_recover; echo
bash bench/bench_report.sh build/linux; echo
build/linux/bench/bench_worker "${1:-60}"

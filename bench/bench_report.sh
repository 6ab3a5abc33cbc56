#!/usr/bin/env bash
# The report of a one-hour log: bench_report's figures, then the time headless
# Chromium takes to load the page, draw its timeline and tables and lay it
# out, against the same browser laying out the log's plain text (what
# `vtl cat` prints) in one <pre>. Medians of alternating runs.
#   bash bench/bench_report.sh [BUILD_DIR] [ROUNDS]     (default build/linux, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/linux}
rounds=${2:-5}
dir=$(pwd)/build/bench-report
mkdir -p "$dir"
"$bin/bench/bench_report" "$dir"

{
  printf '<!DOCTYPE html><html><head><meta charset="utf-8"></head><body><pre>'
  "$bin/vtl" cat "$dir/one-hour.vtl" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g'
  printf '</pre><script>void document.body.offsetHeight;'
  printf 'document.body.setAttribute("data-drawn-ms",String(Math.round(performance.now())))</script></body></html>\n'
} > "$dir/one-hour-text.html"

drawn_ms() {  # the page's own clock when it was drawn and laid out
  local profile
  profile=$(mktemp -d)
  timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --disable-extensions \
    --host-resolver-rules="MAP * ~NOTFOUND" --user-data-dir="$profile" --virtual-time-budget=30000 \
    --dump-dom "file://$1" 2> /dev/null \
    | grep -o 'data-drawn-ms="[0-9]*"' | grep -o '[0-9]*'
  rm -rf "$profile"
}
page=() text=()
for _ in $(seq "$rounds"); do
  page+=("$(drawn_ms "$dir/one-hour.html")")
  text+=("$(drawn_ms "$dir/one-hour-text.html")")
done
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
p=$(median "${page[@]}") t=$(median "${text[@]}")
awk -v p="$p" -v t="$t" 'BEGIN {
  printf "%-58s %12.3f %-6s ratio %7.3f  (goal < 2 s)\n", "browser: load, draw and lay out the report", p, "ms", p / t
  printf "%-58s %12.3f %-6s\n", "  the log as plain text in one <pre> (reference)", t, "ms" }'

#!/usr/bin/env bash
# Kills a recording at random moments, as a crash would, and counts the
# recoveries that lost part of a record that had reached the file: a log cut
# after a flush must decrypt to whole records only (at most the spaces that
# pad its last block after the last line feed).
#   bench/kill_trials.sh BUILD_DIR [TRIALS] [linux|win64]
# BUILD_DIR holds vtrecord (or vtrecord.exe for win64); the Linux vtl of
# build/linux recovers the logs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:?usage: kill_trials.sh BUILD_DIR [TRIALS] [linux|win64]}
trials=${2:-20}
kind=${3:-linux}
vtl=${VTL:-$root/build/linux/vtl}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
torn=0 keyless=0 empty=0
# The Wine prefix: the project's, or another given in VANTORELLE_WINEPREFIX_X86_64
# (so that the trials need not share a Wine server with other work).
prefix=${VANTORELLE_WINEPREFIX_X86_64:-$(sed -n 's/^VANTORELLE_WINEPREFIX_X86_64=//p' "${VANTORELLE_CACHE:-/var/cache/vantorelle}/win-deps.env" 2>/dev/null)}
export VANTORELLE_WINEPREFIX_X86_64=$prefix
for i in $(seq 1 "$trials"); do
  dir="$work/$i"; mkdir -p "$dir/out"
  if [ "$kind" = win64 ]; then
    ( cd "$build" && exec "$root/scripts/wine-run.sh" win64 vtrecord.exe --user 7 --match "$i" --server 127.0.0.2 \
        --seconds 300 --key K --dir 'Z:'"$(echo "$dir" | tr / '\\')" > "$dir/said.txt" 2>&1 ) &
  else
    ( exec "$build/vtrecord" --user 7 --match "$i" --server 127.0.0.2 --seconds 300 --key K --dir "$dir" \
        > "$dir/said.txt" 2>&1 ) &
  fi
  host=$!
  # A random moment between 0.5 and 20 s into the recording.
  sleep "$(( RANDOM % 20 )).$(( RANDOM % 10 ))"
  sleep 0.5
  kill -KILL "$host" 2>/dev/null || true
  wait "$host" 2>/dev/null || true
  file=$(ls "$dir"/*.vtl 2>/dev/null | head -n 1 || true)
  if [ -z "$file" ] || [ ! -s "$file" ]; then empty=$((empty + 1)); echo "trial $i: no log written"; continue; fi
  said=$("$vtl" recover --out "$dir/out" "$file" 2>/dev/null || true)
  lost=no
  case "$said" in *unfinished*|*damaged*|*"not found"*) lost=yes; torn=$((torn + 1)) ;; esac
  key=$(grep -c ';Key;Pressed;Name:K$' "$dir"/out/*_recovered.txt 2>/dev/null || true)
  [ "${key:-0}" -ge 1 ] || keyless=$((keyless + 1))
  echo "trial $i: $(stat -c %s "$file") bytes; part of a record lost: $lost; key recovered: ${key:-0}"
  [ "$kind" = win64 ] && WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
done
echo "$kind: $trials kills, $torn lost part of a record that had reached the file, $keyless without the key, $empty without a log"

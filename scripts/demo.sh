#!/usr/bin/env bash
# Sets the machine up (once), builds the Linux library and tools, records 25
# seconds of this machine into ./demo-logs, then checks and prints the log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh > /dev/null
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
ninja -C build/linux vantorelle vtl vtrecord > /dev/null
mkdir -p demo-logs
log=$(build/linux/vtrecord --user 12 --match 47 --server 127.0.0.2 --seconds 25 --dir demo-logs \
  --key W --key Space --info Map=harbour)
echo
build/linux/vtl verify "$log"
echo
build/linux/vtl cat "$log"
build/linux/vtl report "$log" -o demo-logs/report.html > /dev/null
echo
echo "The match on one page: demo-logs/report.html (open it in any browser; it needs no network)"

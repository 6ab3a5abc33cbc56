#!/usr/bin/env bash
# Records a few seconds of this machine, makes the match report of it and
# loads the page in headless Chromium. Checks that the charts and the process
# timeline were drawn, that a process named like markup shows as text, that
# the screenshot is not blank and that the page asked for nothing over the
# network; then the report of a recording killed mid-match, and of its
# recovered log (a kind of record with no view of its own). Leaves the screenshot at build/report-screenshot.png.
#   bash scripts/browser-check.sh [BUILD_DIR]     (default build/linux)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin=${1:-build/linux}
out=$root/build/report-check
shot=$root/build/report-screenshot.png

fail() { echo "browser check: FAILED: $*" >&2; exit 1; }
command -v chromium > /dev/null || fail "chromium is not installed (apt-get install -y chromium)"
for tool in vtrecord vtl; do [ -x "$bin/$tool" ] || fail "$bin/$tool is missing; build it first"; done

rm -rf "$out"
mkdir -p "$out/logs" "$out/bin"

# A program whose name is markup runs during the recording.
odd='<img src=x onerror=document.title=1>'
cp "$(command -v sleep)" "$out/bin/$odd"
"$out/bin/$odd" 40 &
odd_pid=$!
trap 'kill $odd_pid 2>/dev/null || true' EXIT

log=$("$bin/vtrecord" --user 12 --match 47 --server 127.0.0.2 --seconds 22 --dir "$out/logs" \
  --key W --key Space --info Map=harbour --info "Note=<b>not bold</b>" 2>/dev/null)
"$bin/vtl" verify "$log"
"$bin/vtl" report "$log" -o "$out/report.html"

browser() {  # browser NETLOG ARGS...: headless, a fresh profile, kept off the network
  local netlog=$1; shift
  local profile
  profile=$(mktemp -d "$out/profile.XXXXXX")
  timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --disable-extensions \
    --host-resolver-rules="MAP * ~NOTFOUND" --user-data-dir="$profile" --log-net-log="$netlog" \
    --virtual-time-budget=10000 "$@" 2>> "$out/chromium.log"
  rm -rf "$profile"
}

# Requests a page made: everything but the browser's own background requests
# (which have no initiating origin) and the page's own file.
page_requests() {  # page_requests NETLOG PAGE_URL
  python3 - "$1" "$2" << 'EOF'
import json, sys
log = json.load(open(sys.argv[1]))
names = {v: k for k, v in log["constants"]["logEventTypes"].items()}
for e in log["events"]:
    p = e.get("params") or {}
    if names.get(e["type"]) == "URL_REQUEST_START_JOB" and "url" in p:
        if p.get("initiator") != "not an origin" and p["url"] != sys.argv[2]:
            print(p["url"])
EOF
}

url="file://$out/report.html"
browser "$out/netlog.json" --dump-dom "$url" > "$out/dom.html"
browser "$out/netlog-shot.json" --window-size=1280,2400 --hide-scrollbars --screenshot="$shot" "$url" > /dev/null

dom=$out/dom.html
has() { grep -q -- "$1" "$dom" || fail "the page has no $2"; }
has 'data-drawn="yes"' "sign that its script drew the timeline and tables"
has '<svg id="ping-chart"' "ping chart"
grep -Eq '<(circle class="latency"|rect class="(implausible|noanswer)")' "$dom" || fail "ping marks in the chart"
has '<svg id="throughput-0"' "throughput chart"
has '<path class="received" d="M' "received series"
has '<svg id="events-chart"' "chart of key presses and host facts"
has '<line class="key"' "key press marks"
has '<g class="axis">' "chart axes"
rows=$(grep -o 'class="tl"' "$dom" | wc -l)
[ "$rows" -ge 10 ] || fail "process timeline rows (found $rows)"
has 'class="bar' "bars in the process timeline"
has '<tbody id="conn-body"><tr>' "connection rows"
has '<tbody id="rec-body"><tr>' "record rows"
# Markup from the log is text, never elements.
has '&lt;img src=x onerror=document.title=1&gt;' "process named like markup, shown as text"
has '&lt;b&gt;not bold&lt;/b&gt;' "host fact with markup, shown as text"
if grep -q '<img' "$dom" || grep -q '<b>not bold' "$dom"; then fail "markup from the log became elements"; fi
grep -q '<title>1</title>' "$dom" && fail "a script from the log ran"

# A recording killed mid-match: its report says it was never closed and how
# many records were read back; its recovered log carries a record of a kind
# the page has no view for, shown in a table built from the schema.
killed=$out/killed
mkdir -p "$killed"
"$bin/vtrecord" --user 12 --match 48 --server 127.0.0.2 --seconds 30 --dir "$killed" > /dev/null 2>&1 &
rec_pid=$!
for _ in $(seq 50); do
  sleep 0.2
  size=$(stat -c %s "$killed"/*.vtl 2>/dev/null || echo 0)
  [ "${size:-0}" -gt 2048 ] && break
done
kill -9 "$rec_pid" 2>/dev/null || true
wait "$rec_pid" 2>/dev/null || true
never=$(ls "$killed"/*.vtl)
status=0
"$bin/vtl" report "$never" -o "$killed/never.html" > /dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "vtl report of a killed recording exited $status, not 2 (written, not whole)"
grep -Eq 'not whole: never closed; [0-9]+ records read back' "$killed/never.html" \
  || fail "the report of a killed recording does not say it was never closed and what was read back"
"$bin/vtl" recover --seal "$never" > /dev/null 2>&1 || fail "vtl recover --seal of the killed recording failed"
"$bin/vtl" report "$killed"/*_recovered.vtl -o "$killed/recovered.html" > /dev/null
browser "$out/netlog-killed.json" --dump-dom "file://$killed/recovered.html" > "$killed/dom.html"
grep -q '<tbody id="kind-body-0"><tr><td>' "$killed/dom.html" \
  || fail "the recovered-log record has no row in the table of other kinds"
grep -q '<th>From</th><th>Records</th>' "$killed/dom.html" || fail "the other kinds' table has not the schema's columns"

# The screenshot is a rendered page: many different pixel rows, not one colour.
python3 - "$shot" << 'EOF' || fail "the screenshot is blank or unreadable"
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n"
pos, idat, width, height, channels = 8, b"", 0, 0, 4
while pos < len(data):
    size, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + size]
    if kind == b"IHDR":
        width, height, depth, colour = struct.unpack(">IIBB", body[:10])
        channels = {0: 1, 2: 3, 4: 2, 6: 4}[colour]
    elif kind == b"IDAT":
        idat += body
    pos += 12 + size
raw = zlib.decompress(idat)
stride = 1 + width * channels
rows = {raw[i * stride:(i + 1) * stride] for i in range(height)}
print("screenshot %dx%d, %d different rows" % (width, height, len(rows)))
sys.exit(0 if len(rows) > height // 10 else 1)
EOF

# Nothing over the network: the check itself must see a page that does ask.
requests=$(page_requests "$out/netlog.json" "$url"; page_requests "$out/netlog-shot.json" "$url")
[ -z "$requests" ] || fail "the page asked the network for: $requests"
cat > "$out/control.html" << 'EOF'
<!DOCTYPE html><html><body><img src="http://127.0.0.1:9/probe.png"></body></html>
EOF
browser "$out/netlog-control.json" --dump-dom "file://$out/control.html" > /dev/null
page_requests "$out/netlog-control.json" "file://$out/control.html" | grep -q 'http://127.0.0.1:9/probe.png' \
  || fail "the network check does not see the requests of a page that makes one"

echo "browser check: ok ($rows timeline rows; page $(stat -c %s "$out/report.html") bytes; screenshot $shot)"

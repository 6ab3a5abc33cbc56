#!/usr/bin/env bash
# Drives the operators' console in headless Chromium, as a referee's day would:
# a generated league (tests/support/make_league.cpp) is uploaded to `vtl serve`
# on loopback, and tests/browser/console.mjs logs in, searches for the account
# whose logs carry markup, opens one of its matches, opens the account and
# follows a link to the account it shares a machine with, then logs out (no
# console error, no request outside the server, markup shown as text). Checks
# that the server's output holds neither the password, the upload token nor
# the session id, and that SIGTERM stops the server with 0. Builds nothing;
# leaves the account page's screenshot at build/console-account.png.
#   bash scripts/console-check.sh [BUILD_DIR]     (default build/linux)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin=${1:-build/linux}
work=$root/build/console-check
shot=$root/build/console-account.png
CACHE=${VANTORELLE_CACHE:-/var/cache/vantorelle}
modules=$CACHE/npm/$(sha256sum tests/browser/package-lock.json | cut -c1-64)/node_modules

fail() { echo "console check: FAILED: $*" >&2; exit 1; }
command -v chromium > /dev/null || fail "chromium is not installed (apt-get install -y chromium)"
command -v node > /dev/null || fail "node is not installed"
[ -d "$modules/puppeteer-core" ] || fail "puppeteer-core is not in $modules (bash scripts/setup.sh installs it)"
for tool in vtl tests/make_league; do [ -x "$bin/$tool" ] || fail "$bin/$tool is missing; build it first"; done
vtl=$bin/vtl

rm -rf "$work"
mkdir -p "$work/league" "$work/store"
db=$work/league.db
server_pid=
stop_server() { [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true; }
trap stop_server EXIT

"$bin/tests/make_league" "$work/league" > "$work/make_league.out" || fail "make_league failed"
logs=$(find "$work/league" -name '*.vtl' | wc -l)

# Secrets made here, so that they can be looked for in the server's output.
password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
printf '%s\n' "$password" | "$vtl" serve "$db" --add-operator referee > "$work/operator.out" 2>&1 \
  || fail "--add-operator failed: $(cat "$work/operator.out")"
grep -qx 'operator referee added' "$work/operator.out" || fail "--add-operator said: $(cat "$work/operator.out")"
token=$("$vtl" serve "$db" --add-token league 2> /dev/null) || fail "--add-token failed"

"$vtl" serve "$db" --store "$work/store" --listen 127.0.0.1:0 > "$work/serve.out" 2> "$work/serve.err" &
server_pid=$!
url=
for _ in $(seq 100); do
  url=$(head -n 1 "$work/serve.out" | sed -n 's|^listening on \(http://127\.0\.0\.1:[0-9]*\)$|\1|p')
  [ -n "$url" ] && break
  kill -0 "$server_pid" 2> /dev/null || fail "vtl serve ended: $(cat "$work/serve.err")"
  sleep 0.1
done
[ -n "$url" ] || fail "vtl serve did not say where it listens"

VTL_TOKEN=$token timeout 120 "$vtl" upload "$url" "$work/league" > "$work/upload.out" 2>&1 \
  || fail "vtl upload failed: $(tail -n 3 "$work/upload.out")"
count() {  # count SQL: the one number a query of the index answers
  "$vtl" query "$db" "$1" --json 2> /dev/null | sed -n 's/^{"n":\([0-9]*\)}$/\1/p'
}
indexed=0
for _ in $(seq 150); do
  indexed=$(count "SELECT count(*) AS n FROM recordings" || true)
  [ "${indexed:-0}" = "$logs" ] && break
  sleep 0.2
done
[ "${indexed:-0}" = "$logs" ] || fail "$logs logs uploaded, ${indexed:-0} indexed after 30 s"

# 112 writes markup into its logs and shares a machine with 111; the console
# must list as many of its matches as the index holds.
matches=$(count "SELECT count(*) AS n FROM recordings WHERE user_id = 112")
[ "${matches:-0}" -gt 0 ] || fail "the index has no match of account 112"
VTL_NODE_MODULES=$modules VTL_URL=$url VTL_OPERATOR=referee VTL_PASSWORD=$password \
  VTL_USER=112 VTL_LINKED=111 VTL_MATCHES=$matches VTL_SHOT=$shot VTL_SESSION_FILE=$work/session \
  timeout 180 node tests/browser/console.mjs > "$work/browser.out" 2>&1 \
  || fail "$(tail -n 1 "$work/browser.out")"

kill -TERM "$server_pid"
for _ in $(seq 600); do kill -0 "$server_pid" 2> /dev/null || break; sleep 0.1; done
if kill -0 "$server_pid" 2> /dev/null; then
  kill -KILL "$server_pid"
  fail "vtl serve was still running 60 s after SIGTERM"
fi
rc=0
wait "$server_pid" || rc=$?
server_pid=
[ "$rc" = 0 ] || fail "vtl serve exited $rc after SIGTERM: $(tail -n 3 "$work/serve.err")"

for secret in "$password" "$token" "$(cat "$work/session")"; do
  [ -n "$secret" ] || fail "a secret to look for is empty"
  ! grep -qF -- "$secret" "$work/serve.out" "$work/serve.err" || fail "a secret is in the server's output"
done

sed -n 's/^screenshot /account page: /p' "$work/browser.out"
echo "$logs logs; $(grep -c ': ok$' "$work/browser.out") steps in the browser; screenshot $shot"
echo "console check: passed"

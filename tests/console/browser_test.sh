#!/usr/bin/env bash
# Drives the console in headless Chromium against the gateway running on a
# copy of examples/ (without its container alias, so no Engine is needed).
#   browser_test.sh PORTICO_BINARY SOURCE_DIR [unittest options]
set -euo pipefail
portico=$(realpath "$1") src=$(realpath "$2")
shift 2
work=$(mktemp -d /tmp/portico-console.XXXXXX)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp -r "$src/examples/." "$work/"
rm -f "$work/aliases/30-container.yaml"
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -i "s/^ListenPort .*/ListenPort $port/" "$work/portico.conf"
rm -rf "$work/run"
mkdir -p "$work/run/shared" "$work/run/logs"
(cd "$work" && exec "$portico" --config portico.conf >"$work/stdout.txt" 2>"$work/stderr.txt") &
pid=$!
ready=
for _ in $(seq 300); do
  curl -fs "http://127.0.0.1:$port/health" >/dev/null && { ready=1; break; }
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$ready" ]; then
  echo "browser_test: the gateway did not come up on port $port" >&2
  cat "$work/stderr.txt" >&2
  exit 1
fi
status=0
/usr/bin/python3 "$src/tests/console/console_browser.py" --url "http://127.0.0.1:$port/console/" \
  --user demo --password demo-password "$@" || status=$?
if [ "$status" -ne 0 ]; then
  echo "browser_test: the gateway's log:" >&2
  tail -n 40 "$work/run/logs/app.log" >&2 || true
fi
exit "$status"

#!/usr/bin/env bash
# The front door under attack, program by program (PORTICO_BIN, space-separated;
# default build/portico/portico), each on default limits:
#   - 1,000 idle connections: the gateway's RSS and /health latency meanwhile
#   - 64 connections trickling header lines (~40 bytes/s in all): /health and a run meanwhile
#   - 8 clients sending 100 MiB chunked bodies without credentials: RSS and /health
#   - one request with Content-Length: 10000000000: how soon it is answered
#   bench/front_door.sh [SECONDS]      (SECONDS per attack, default 10)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
secs="${1:-10}"
read -r -a bins <<<"${PORTICO_BIN:-$root/build/portico/portico}"
ulimit -n "$(ulimit -Hn)"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
. "$root/bench/site.sh"
attack() { python3 "$root/bench/attack.py" "$port" "$@"; }
for i in "${!bins[@]}"; do
  bin="${bins[$i]}" site="$work/p$i" port=$((18083 + i))  # a port of its own: the last one's closed connections linger
  # Only keys every build knows: an older one refuses unknown keys.
  make_site "$site" "$port" "LogLevel warning" "MaxConcurrentRuns 4"
  printf 'hello: {type: process, command: echo hello}\n' > "$site/aliases/a.yaml"
  echo "== $bin"
  "$bin" --config "$site/portico.conf" 2>"$site/err" &
  pid=$!
  until curl -s -o /dev/null "http://127.0.0.1:$port/health"; do
    kill -0 "$pid" 2>/dev/null || { cat "$site/err" >&2; exit 1; }
    sleep 0.05
  done
  echo "threads at rest: $(ls /proc/$pid/task | wc -l)"
  echo "-- 1000 idle connections"
  attack idle 1000 "$secs" --pid "$pid"
  echo "-- 64 slow-header connections"
  attack slow 64 "$secs" --auth bench:bench --run hello --pid "$pid"
  echo "-- 8 chunked bodies of 100 MiB, no credentials"
  attack chunked 8 100 "$secs" --pid "$pid"
  echo "-- a Content-Length of ten gigabytes"
  attack huge-length
  kill -TERM "$pid"
  wait "$pid" || true
done

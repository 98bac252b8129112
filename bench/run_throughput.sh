#!/usr/bin/env bash
# Run throughput and latency of a process alias ("echo hello" through /bin/sh)
# with Basic auth, beside the Debian `webhook` serving the same command and the
# raw spawn limit (bench/spawn_loop.c). Prints requests/s and p99 per case.
#   bench/run_throughput.sh [SECONDS]      (needs a built build/portico/portico)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
secs="${1:-10}"
command -v wrk >/dev/null && command -v webhook >/dev/null || {
  [ "$(id -u)" -eq 0 ] && apt-get install -y -qq wrk webhook >/dev/null
}
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
. "$root/bench/site.sh"
make_site "$work" 18080 "LogLevel warning" "AuditLog none" "MaxConcurrentRuns 128"
printf 'hello: {type: process, command: echo hello}\n' > "$work/aliases/a.yaml"
cat > "$work/post.lua" <<LUA
wrk.method = "POST"
wrk.body = "{}"
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Basic $(printf 'bench:bench' | base64)"
LUA
cat > "$work/hooks.json" <<'JSON'
[{"id": "hello", "execute-command": "/bin/sh", "include-command-output-in-response": true,
  "pass-arguments-to-command": [{"source": "string", "name": "-c"}, {"source": "string", "name": "echo hello"}]}]
JSON
"$root/build/portico/portico" --config "$work/portico.conf" 2>"$work/portico.err" &
webhook -hooks "$work/hooks.json" -ip 127.0.0.1 -port 19000 >/dev/null 2>&1 &
sleep 1
summary() {  # name, wrk output
  local rps p99 non2xx
  rps=$(awk '/Requests\/sec/ {print $2}' <<<"$2")
  p99=$(awk '$1=="99%" {print $2}' <<<"$2")
  non2xx=$(awk '/Non-2xx/ {print $5}' <<<"$2")
  printf '%-28s %10s req/s  p99 %8s  non-2xx %s\n' "$1" "$rps" "$p99" "${non2xx:-0}"
}
for c in 16 64; do
  out=$(wrk -t2 -c"$c" -d"${secs}s" --latency -s "$work/post.lua" http://127.0.0.1:18080/v1/run/hello)
  summary "portico basic c=$c" "$out"
  out=$(wrk -t2 -c"$c" -d"${secs}s" --latency http://127.0.0.1:19000/hooks/hello)
  summary "webhook c=$c" "$out"
done
cc -O2 -o "$work/spawn_loop" "$root/bench/spawn_loop.c"
"$work/spawn_loop" "$secs"

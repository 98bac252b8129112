#!/usr/bin/env bash
# 200 simultaneous runs of `sleep 2`: wall time, and whether the gateway holds
# the same descriptors, threads and children afterwards, with no run directory left.
#   bench/concurrency.sh [RUNS]      (PORTICO_BIN: the program, default build/portico/portico)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-200}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
. "$root/bench/site.sh"
make_site "$work" 18081 "LogLevel warning" "MaxConcurrentRuns $((runs + 16))"
printf 'nap: {type: process, command: sleep 2, files: [{location: in.txt, content: x}]}\n' > "$work/aliases/a.yaml"
"${PORTICO_BIN:-$root/build/portico/portico}" --config "$work/portico.conf" 2>"$work/err" &
pid=$!
sleep 1
curl -s -u bench:bench -d '' http://127.0.0.1:18081/v1/run/nap >/dev/null  # warm-up
state() { echo "fds=$(ls /proc/$pid/fd | wc -l) threads=$(ls /proc/$pid/task | wc -l) children=$(pgrep -P $pid | wc -l) rundirs=$(ls "$work/shared" | wc -l)"; }
# One curl makes every request at once: starting a curl per request costs
# seconds on a loaded 2-core machine, which would be measured instead.
curl_config() {  # URL -> a curl config of RUNS transfers of URL
  for _ in $(seq "$runs"); do printf 'url = "%s"\noutput = "/dev/null"\n' "$1"; done
}
curl_config http://127.0.0.1:18081/health > "$work/health.cfg"
curl_config http://127.0.0.1:18081/v1/run/nap > "$work/nap.cfg"
parallel_curl() { curl -s --no-progress-meter -Z --parallel-immediate --parallel-max "$runs" -w '%{http_code}\n' "$@"; }
# The clients' own floor: as many simultaneous requests of /health, no run behind them.
start=$(date +%s.%N)
parallel_curl -K "$work/health.cfg" >/dev/null
floor=$(echo "$(date +%s.%N) - $start" | bc)
sleep 3
before=$(state)
start=$(date +%s.%N)
parallel_curl -u bench:bench -d '' -K "$work/nap.cfg" > "$work/codes"
end=$(date +%s.%N)
sleep 6  # idle keep-alive connections close after KeepAliveTimeout (5 s)
after=$(state)
ok=$(grep -c '^200$' "$work/codes" || true)
printf 'runs=%s ok=%s wall=%.2fs (client floor, %s requests of /health at once: %.2fs)\nbefore: %s\nafter:  %s\n' \
  "$runs" "$ok" "$(echo "$end - $start" | bc)" "$runs" "$floor" "$before" "$after"

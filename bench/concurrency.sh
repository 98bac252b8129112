#!/usr/bin/env bash
# RUNS (200) simultaneous runs of `sleep 2`: wall time beside the clients' own
# floor and the target (2.3 s + RUNS / raw spawn rate, the rate measured here by
# spawn_loop.c), and whether the gateway holds the same descriptors, threads and
# processes afterwards, with no run directory left. The raw rate is that of
# `sh -c 'echo hello'`; a run of `sleep 2` starts two programs (sh, then sleep),
# so the machine's own floor, 2 s + RUNS / the raw rate of `sh -c 'sleep 0'`,
# is printed beside it.
# Measures $PORTICO_BIN (default build/portico/portico), then PORTICO_BASELINE_BIN when set.
#   bench/concurrency.sh [RUNS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-200}"
binaries=("${PORTICO_BIN:-$root/build/portico/portico}")
[ -z "${PORTICO_BASELINE_BIN:-}" ] || binaries+=("$PORTICO_BASELINE_BIN")
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
. "$root/bench/site.sh"
make_site "$work" 18081 "LogLevel warning" "MaxConcurrentRuns $((runs + 16))"
printf 'nap: {type: process, command: sleep 2, files: [{location: in.txt, content: x}]}\n' > "$work/aliases/a.yaml"
cc -O2 -o "$work/spawn_loop" "$root/bench/spawn_loop.c"
# One curl makes every request at once: starting a curl per request costs
# seconds on a loaded 2-core machine, which would be measured instead.
curl_config() {  # URL -> a curl config of RUNS transfers of URL
  for _ in $(seq "$runs"); do printf 'url = "%s"\noutput = "/dev/null"\n' "$1"; done
}
parallel_curl() { curl -s --no-progress-meter -Z --parallel-immediate --parallel-max "$runs" -w '%{http_code}\n' "$@"; }
descendants() { local c; for c in $(pgrep -P "$1" || true); do echo "$c"; descendants "$c"; done; }
state() {
  echo "fds=$(ls /proc/$pid/fd | wc -l) threads=$(ls /proc/$pid/task | wc -l) children=$(pgrep -P $pid | wc -l)" \
    "descendants=$(descendants $pid | wc -l) rundirs=$(ls "$work/shared" | wc -l)"
}
for i in "${!binaries[@]}"; do
  bin="${binaries[$i]}"
  # A port per program: an old build may not bind a port whose connections linger in TIME_WAIT.
  port=$((18081 + 10 * i))
  sed "s/^ListenPort .*/ListenPort $port/" "$work/portico.conf" > "$work/p$i.conf"
  curl_config "http://127.0.0.1:$port/health" > "$work/health.cfg"
  curl_config "http://127.0.0.1:$port/v1/run/nap" > "$work/nap.cfg"
  "$bin" --config "$work/p$i.conf" 2>"$work/err" &
  pid=$!
  sleep 1
  curl -s -u bench:bench -d '' "http://127.0.0.1:$port/v1/run/nap" >/dev/null  # warm-up
  # The clients' own floor: as many simultaneous requests of /health, no run behind them.
  start=$(date +%s.%N)
  parallel_curl -K "$work/health.cfg" >/dev/null
  floor=$(echo "$(date +%s.%N) - $start" | bc)
  rate=$("$work/spawn_loop" 2 | awk '{print $4}')
  sleep_rate=$("$work/spawn_loop" 2 "$(nproc)" 'sleep 0' | awk '{print $4}')
  sleep 3
  before=$(state)
  start=$(date +%s.%N)
  parallel_curl -u bench:bench -d '' -K "$work/nap.cfg" > "$work/codes"
  end=$(date +%s.%N)
  sleep 6  # idle keep-alive connections close after KeepAliveTimeout (5 s)
  after=$(state)
  ok=$(grep -c '^200$' "$work/codes" || true)
  printf '%s\nruns=%s ok=%s wall=%.2fs target=%.2fs (2.3 s + %s / %s raw spawns/s) machine floor=%.2fs (2 s + %s / %s raw sh-then-sleep spawns/s) client floor=%.2fs\nbefore: %s\nafter:  %s\n' \
    "$bin" "$runs" "$ok" "$(echo "$end - $start" | bc)" "$(echo "2.3 + $runs / $rate" | bc -l)" "$runs" "$rate" \
    "$(echo "2 + $runs / $sleep_rate" | bc -l)" "$runs" "$sleep_rate" "$floor" "$before" "$after"
  kill "$pid"
  wait "$pid" || true
done

#!/usr/bin/env bash
# Descendant clean-up: RUNS (1000) runs of `setsid sleep 60 &`, whose sleep
# leaves the run's process group and session and holds its output pipe, sent
# PARALLEL (50) at a time; then counts the sleeps left behind (target: none).
# The alias's 1 s time-out only bounds a gateway that waits for the pipe.
# Measures $PORTICO_BIN (default build/portico/portico), then PORTICO_BASELINE_BIN when set.
#   bench/containment.sh [RUNS] [PARALLEL]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-1000}" parallel="${2:-50}"
binaries=("${PORTICO_BIN:-$root/build/portico/portico}")
[ -z "${PORTICO_BASELINE_BIN:-}" ] || binaries+=("$PORTICO_BASELINE_BIN")
work="$(mktemp -d)"
marker="60.$$"  # a duration no other sleep on the machine has
trap 'kill $(jobs -p) 2>/dev/null || true; pkill -f "sleep $marker" || true; rm -rf "$work"' EXIT
. "$root/bench/site.sh"
make_site "$work" 18083 "LogLevel warning" "MaxConcurrentRuns $((parallel + 16))"
printf 'escape: {type: process, command: "setsid sleep %s &", timeout: 1}\n' "$marker" > "$work/aliases/a.yaml"
for _ in $(seq "$runs"); do printf 'url = "http://127.0.0.1:18083/v1/run/escape"\noutput = "/dev/null"\n'; done > "$work/runs.cfg"
for bin in "${binaries[@]}"; do
  "$bin" --config "$work/portico.conf" 2>"$work/err" &
  pid=$!
  sleep 1
  start=$(date +%s.%N)
  curl -s --no-progress-meter -Z --parallel-max "$parallel" -u bench:bench -d '' -w '%{http_code}\n' \
    -K "$work/runs.cfg" > "$work/codes"
  end=$(date +%s.%N)
  sleep 1
  left=$(pgrep -fc "sleep $marker" || true)
  printf '%s\nruns=%s answered 200: %s, 504: %s, wall=%.1fs, left behind: %s\n' "$bin" "$runs" \
    "$(grep -c '^200$' "$work/codes" || true)" "$(grep -c '^504$' "$work/codes" || true)" \
    "$(echo "$end - $start" | bc)" "$left"
  kill "$pid"
  wait "$pid" || true
  pkill -f "sleep $marker" || true
done

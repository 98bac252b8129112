#!/usr/bin/env bash
# Resident memory of an idle gateway with 100 aliases, and the time from
# starting portico to its first answered request (no TLS, no Docker checks).
#   bench/footprint.sh      (PORTICO_BIN: the program, default build/portico/portico)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
. "$root/bench/site.sh"
make_site "$work" 18082 "MaxConcurrentRuns 64"
for i in $(seq 1 100); do
  printf 'alias%03d:\n  type: process\n  command: echo {{ word | shell }}\n  parameters:\n    word: {type: string, default: hi, pattern: "[a-z]+"}\n' "$i"
done > "$work/aliases/many.yaml"
start=$(date +%s%N)
"${PORTICO_BIN:-$root/build/portico/portico}" --config "$work/portico.conf" 2>"$work/err" &
pid=$!
until curl -s -o /dev/null http://127.0.0.1:18082/health; do sleep 0.002; done
first=$(( ($(date +%s%N) - start) / 1000000 ))
sleep 2
rss=$(awk '/VmRSS/ {print $2}' /proc/$pid/status)
printf 'start to first answer: %d ms\nidle RSS with 100 aliases: %d KiB (%.1f MB)\n' "$first" "$rss" "$(echo "$rss / 1024" | bc -l)"

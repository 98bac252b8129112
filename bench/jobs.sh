#!/usr/bin/env bash
# Job submission against synchronous runs, and paging through 1,000 jobs.
#   bench/jobs.sh [RUNS] [HISTORY]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/site.sh"
bin="${PORTICO_BIN:-$root/build/portico/portico}"
dir=$(mktemp -d /tmp/portico-bench-jobs.XXXXXX)
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
make_site "$dir" "$port"
printf 'hello:\n  type: process\n  command: echo hello\npause:\n  type: process\n  command: sleep 0.1\n' > "$dir/aliases/a.yaml"
"$bin" --config "$dir/portico.conf" >"$dir/out.txt" 2>"$dir/err.txt" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 100); do curl -fs "http://127.0.0.1:$port/health" >/dev/null && break; sleep 0.1; done
/usr/bin/python3 "$root/bench/jobs.py" "$port" "${1:-300}" "${2:-1000}"
echo "job database: $(du -h "$dir/logs/jobs.sqlite3" | cut -f1) (+ WAL $(du -h "$dir/logs/jobs.sqlite3-wal" 2>/dev/null | cut -f1))"

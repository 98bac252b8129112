#!/usr/bin/env bash
# Container round trip: RUNS runs of a container alias running `true` in
# portico-test/busybox:latest, beside the same work done directly on the Engine
# API with curl --unix-socket (create, start, wait, logs stdout, logs stderr,
# remove). Rounds alternate the two so drift hits both alike. Prints ms per run
# and the ratio.
#   eval "$(scripts/test-docker)"; bench/container_roundtrip.sh [RUNS] [ROUNDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-20}" rounds="${2:-3}"
: "${DOCKER_HOST:?run eval \"\$(scripts/test-docker)\" first}"
sock="${DOCKER_HOST#unix://}"
image=portico-test/busybox:latest
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
. "$root/bench/site.sh"
make_site "$work" 18084 "LogLevel warning" "AuditLog none"
sed -i 's/^Container 0$/Container 1/' "$work/portico.conf"
printf 'nothing: {type: container, image: "%s", command: "true", timeout: 60}\n' "$image" > "$work/aliases/a.yaml"
DOCKER_HOST="$DOCKER_HOST" "${PORTICO_BIN:-$root/build/portico/portico}" --config "$work/portico.conf" 2>"$work/portico.err" &
until curl -s -o /dev/null http://127.0.0.1:18084/health; do sleep 0.05; done

api() { curl -sf --unix-socket "$sock" "$@"; }
direct() {
  local id
  id=$(api -X POST -H 'Content-Type: application/json' \
    -d "{\"Image\":\"$image\",\"Cmd\":[\"true\"],\"AttachStdout\":false,\"AttachStderr\":false,\"Tty\":false}" \
    http://docker/containers/create | sed 's/.*"Id":"\([0-9a-f]*\)".*/\1/')
  api -X POST "http://docker/containers/$id/start" >/dev/null
  api -X POST "http://docker/containers/$id/wait" >/dev/null
  api "http://docker/containers/$id/logs?stdout=1&stderr=0" >/dev/null
  api "http://docker/containers/$id/logs?stdout=0&stderr=1" >/dev/null
  api -X DELETE "http://docker/containers/$id?force=true" >/dev/null
}
through_portico() {
  local code
  code=$(curl -s -o "$work/answer" -w '%{http_code}' -u bench:bench -d '' http://127.0.0.1:18084/v1/run/nothing)
  [ "$code" = 200 ] || { echo "container_roundtrip: answered $code: $(cat "$work/answer")" >&2; exit 1; }
}
ms_per_run() {  # function -> ms per run over $runs sequential runs
  local t0 t1
  t0=$(date +%s%N)
  for _ in $(seq 1 "$runs"); do "$1"; done
  t1=$(date +%s%N)
  echo $(( (t1 - t0) / runs / 1000000 ))
}
# What one curl process costs by itself: the direct loop pays it six times a run.
ping() { api http://docker/_ping >/dev/null; }
direct; through_portico  # warm-up
d_all=() p_all=() c_all=()
for r in $(seq 1 "$rounds"); do
  d_all+=("$(ms_per_run direct)") p_all+=("$(ms_per_run through_portico)") c_all+=("$(ms_per_run ping)")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
d=$(median "${d_all[@]}") p=$(median "${p_all[@]}") c=$(median "${c_all[@]}")
printf 'direct Engine API: %d ms/run   portico: %d ms/run   ratio %.2fx  (medians of %s rounds of %s runs; direct %s, portico %s)\n' \
  "$d" "$p" "$(echo "$p / $d" | bc -l)" "$rounds" "$runs" "${d_all[*]}" "${p_all[*]}"
printf 'one curl process (GET /_ping): %d ms; direct less six of them: %d ms/run, ratio %.2fx\n' \
  "$c" "$((d - 6 * c))" "$(echo "$p / ($d - 6 * $c)" | bc -l)"

#!/usr/bin/env bash
# Run throughput and latency of a process alias ("echo hello" through /bin/sh)
# with Basic auth and with an RS256 JWT, beside the Debian `webhook` serving the same command and the
# raw spawn limit (bench/spawn_loop.c). Prints requests/s and p99 per case.
# Cases alternate within each of ROUNDS rounds so that drift on a shared
# machine hits them alike; ratios are taken within a round, then the median.
# "cpu/req" is the CPU time of the server and its children per request.
# PORTICO_BIN names the program(s) to measure, space-separated (default
# build/portico/portico): two builds measured in one run compare fairly.
#   bench/run_throughput.sh [SECONDS] [ROUNDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
secs="${1:-10}" rounds="${2:-3}"
command -v wrk >/dev/null && command -v webhook >/dev/null || {
  [ "$(id -u)" -eq 0 ] && apt-get install -y -qq wrk webhook >/dev/null
}
read -r -a bins <<<"${PORTICO_BIN:-$root/build/portico/portico}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
. "$root/bench/site.sh"
make_site "$work" 18080 "LogLevel warning" "AuditLog none" "MaxConcurrentRuns 128"
printf 'hello: {type: process, command: echo hello}\n' > "$work/aliases/a.yaml"
# A JWT signed with openssl: RS256 is a plain PKCS#1 v1.5 signature over "header.payload".
b64url() { base64 -w0 | tr '+/' '-_' | tr -d '='; }
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/jwt.key" 2>/dev/null
openssl pkey -in "$work/jwt.key" -pubout -out "$work/auth/jwt.pem"
printf 'jwt:\n  - {name: bench, public_key_file: jwt.pem, algorithms: [RS256], audience: portico}\n' \
  > "$work/auth/jwt.yaml"
signing_input="$(printf '{"alg":"RS256","typ":"JWT"}' | b64url).$(printf '{"sub":"bench-bot","aud":"portico","exp":%d,"aliases":["hello"]}' \
  $(( $(date +%s) + 3600 )) | b64url)"
token="$signing_input.$(printf '%s' "$signing_input" | openssl dgst -sha256 -sign "$work/jwt.key" | b64url)"
post_lua() {  # file, Authorization value
  printf 'wrk.method = "POST"\nwrk.body = "{}"\nwrk.headers["Content-Type"] = "application/json"\nwrk.headers["Authorization"] = "%s"\n' \
    "$2" > "$1"
}
post_lua "$work/basic.lua" "Basic $(printf 'bench:bench' | base64)"
post_lua "$work/jwt.lua" "Bearer $token"
cat > "$work/hooks.json" <<'JSON'
[{"id": "hello", "execute-command": "/bin/sh", "include-command-output-in-response": true,
  "pass-arguments-to-command": [{"source": "string", "name": "-c"}, {"source": "string", "name": "echo hello"}]}]
JSON
# One site per program, on ports 18080, 18081...
portico_pid=()
for i in "${!bins[@]}"; do
  site="$work/p$i"
  mkdir -p "$site"
  cp -r "$work/aliases" "$work/auth" "$site/"
  sed -e "s|$work|$site|g" -e "s|^ListenPort .*|ListenPort $((18080 + i))|" "$work/portico.conf" > "$site/portico.conf"
  mkdir -p "$site/logs" "$site/shared"
  "${bins[$i]}" --config "$site/portico.conf" 2>"$site/portico.err" &
  portico_pid+=($!)
done
webhook -hooks "$work/hooks.json" -ip 127.0.0.1 -port 19000 >/dev/null 2>&1 &
webhook_pid=$!
cc -O2 -o "$work/spawn_loop" "$root/bench/spawn_loop.c"
sleep 1
for i in "${!bins[@]}"; do
  echo "p$i = ${bins[$i]}"
  for auth in "Basic $(printf 'bench:bench' | base64)" "Bearer $token"; do
    code=$(curl -s -o /dev/null -w '%{http_code}' -H "Authorization: $auth" -d '' "http://127.0.0.1:$((18080 + i))/v1/run/hello")
    [ "$code" = 200 ] || { echo "run_throughput: p$i ${auth%% *} check answered $code" >&2; cat "$work/p$i/portico.err" >&2; exit 1; }
  done
done

# CPU of the server and of everything below it: reaped children count in
# their parent's figures, live ones (a spawner and its run leaders, which reap
# the runs' processes) are added one by one.
cpu_ticks() {
  local total c
  total=$(awk '{print $14 + $15 + $16 + $17}' "/proc/$1/stat" 2>/dev/null || echo 0)
  for c in $(pgrep -P "$1" || true); do total=$((total + $(cpu_ticks "$c"))); done
  echo "$total"
}
declare -A rps p99 cpu
measure() {  # key pid url [lua]
  local before after out n non2xx
  before=$(cpu_ticks "$2")
  out=$(wrk -t2 -c"$c" -d"${secs}s" --latency ${4:+-s "$4"} "$3")
  after=$(cpu_ticks "$2")
  n=$(awk '/requests in/ {print $1}' <<<"$out")
  non2xx=$(awk '/Non-2xx/ {print $5}' <<<"$out")
  rps[$1,$r]=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  p99[$1,$r]=$(awk '$1=="99%" {v=$2; if (v ~ /us$/) v/=1000; else if (v ~ /ms$/) v+=0; else v*=1000; print v}' <<<"$out")
  cpu[$1,$r]=$(echo "($after - $before) * 1000 / $(getconf CLK_TCK) / $n" | bc -l)
  printf 'round %s %-18s %9.1f req/s  p99 %7.1f ms  cpu/req %5.2f ms  non-2xx %s\n' \
    "$r" "$1" "${rps[$1,$r]}" "${p99[$1,$r]}" "${cpu[$1,$r]}" "${non2xx:-0}"
}
for r in $(seq 1 "$rounds"); do
  for c in 16 64; do
    for i in "${!bins[@]}"; do
      measure "p$i-basic-$c" "${portico_pid[$i]}" "http://127.0.0.1:$((18080 + i))/v1/run/hello" "$work/basic.lua"
      measure "p$i-jwt-$c" "${portico_pid[$i]}" "http://127.0.0.1:$((18080 + i))/v1/run/hello" "$work/jwt.lua"
    done
    measure "webhook-$c" "$webhook_pid" http://127.0.0.1:19000/hooks/hello
  done
  out=$("$work/spawn_loop" "$secs")
  echo "round $r $out"
  rps[raw,$r]=$(awk '{print $4}' <<<"$out")
done

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() {  # array a b -> median over rounds of a/b
  local -n arr=$1
  for r in $(seq 1 "$rounds"); do echo "${arr[$2,$r]} / ${arr[$3,$r]}" | bc -l; done | median
}
echo "medians over $rounds rounds of per-round ratios:"
for c in 16 64; do
  for i in "${!bins[@]}"; do
    for auth in basic jwt; do
      printf 'c=%s p%s %-5s  portico/webhook req/s %.2fx  portico/raw spawn %.2fx  p99 portico/webhook %.2fx  cpu/req portico/webhook %.2fx\n' \
        "$c" "$i" "$auth" "$(ratio rps "p$i-$auth-$c" "webhook-$c")" "$(ratio rps "p$i-$auth-$c" raw)" \
        "$(ratio p99 "p$i-$auth-$c" "webhook-$c")" "$(ratio cpu "p$i-$auth-$c" "webhook-$c")"
    done
  done
done

#!/usr/bin/env bash
# A directory output of MB megabytes in FILES files (a third random bytes, a
# third log-like text, a third zeros) returned as a Base64 ZIP, beside
# `zip -r -6` followed by `base64 -w0` on the same directory. Prints wall times,
# their ratio, the gateway's peak RSS (VmHWM) and its ratio to the Base64 text.
#   bench/output_collection.sh [MB] [FILES] [ROUNDS]   (PORTICO_BIN: the program, default build/portico/portico)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
mb="${1:-100}" files="${2:-2000}" rounds="${3:-3}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
. "$root/bench/site.sh"
# Room for any MB: the archive of incompressible data passes the default 64 MiB bound.
make_site "$work" 18083 "LogLevel warning" "AuditLog none" "MaxOutputBytes $((mb * 2000000 + 67108864))"
mkdir -p "$work/data"
python3 - "$work/data" "$mb" "$files" <<'PY'
import os, random, sys
out, mb, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
size = mb * 1000 * 1000 // files
rng = random.Random(8)
words = ["GET", "POST", "/v1/run/report", "200", "404", "worker", "handled", "in", "ms", "user", "alice",
         "bob", "INFO", "WARN", "cache", "miss", "hit", "request", "id", "took"]
for i in range(files):
    kind = i % 3
    d = os.path.join(out, "d%02d" % (i % 20))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%05d.%s" % (i, ("bin", "log", "zero")[kind])), "wb") as f:
        if kind == 0:
            f.write(os.urandom(size))
        elif kind == 1:
            lines, n = [], 0
            while n < size:
                line = "2026-12-09T10:%02d:%02d.%03dZ %s\n" % (
                    rng.randrange(60), rng.randrange(60), rng.randrange(1000),
                    " ".join(rng.choice(words) for _ in range(8)) + " %d" % rng.randrange(100000))
                lines.append(line)
                n += len(line)
            f.write("".join(lines).encode()[:size])
        else:
            f.write(bytes(size))
PY
printf 'collect:\n  type: process\n  command: "true"\n  timeout: 600\n  output:\n    single_value: {source: %s/}\n' \
  "$work/data" > "$work/aliases/a.yaml"
"${PORTICO_BIN:-$root/build/portico/portico}" --config "$work/portico.conf" 2>"$work/portico.err" &
pid=$!
until curl -s -o /dev/null http://127.0.0.1:18083/health; do sleep 0.05; done
cat "$work"/data/*/* > /dev/null  # both sides read from the page cache

now() { date +%s.%N; }
zip_times=() portico_times=()
for r in $(seq 1 "$rounds"); do
  rm -f "$work/base.zip"
  t0=$(now)
  (cd "$work/data" && zip -q -r -6 "$work/base.zip" . && base64 -w0 "$work/base.zip" > "$work/base.b64")
  t1=$(now)
  code=$(curl -s -o "$work/answer.json" -w '%{http_code}' -u bench:bench -d '' http://127.0.0.1:18083/v1/run/collect)
  t2=$(now)
  [ "$code" = 200 ] || { echo "output_collection: answered $code" >&2; head -c 400 "$work/answer.json" >&2; exit 1; }
  zip_times+=("$(echo "$t1 - $t0" | bc)") portico_times+=("$(echo "$t2 - $t1" | bc)")
done
hwm=$(awk '/VmHWM/ {print $2}' /proc/$pid/status)
# The answer must be the whole directory: decode it and let unzip check every member.
python3 - "$work/answer.json" "$work/answer.zip" "$work/answer.b64" <<'PY'
import base64, json, sys
v = next(iter(json.load(open(sys.argv[1]))["file_outputs"].values()))
open(sys.argv[3], "w").write(v)
open(sys.argv[2], "wb").write(base64.b64decode(v))
PY
unzip -tq "$work/answer.zip" >/dev/null
members=$(unzip -Z1 "$work/answer.zip" | wc -l)
[ "$members" -eq "$files" ] || { echo "output_collection: $members members, expected $files" >&2; exit 1; }
b64=$(stat -c %s "$work/answer.b64")
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
zt=$(median "${zip_times[@]}") pt=$(median "${portico_times[@]}")
printf 'data: %s MB in %s files; Base64 answer %.1f MB (zip+base64: %.1f MB)\n' "$mb" "$files" \
  "$(echo "$b64 / 1000000" | bc -l)" "$(echo "$(stat -c %s "$work/base.b64") / 1000000" | bc -l)"
printf 'zip -r -6 + base64 -w0: %.2f s   portico: %.2f s   ratio %.2fx  (medians of %s; each: zip %s, portico %s)\n' \
  "$zt" "$pt" "$(echo "$pt / $zt" | bc -l)" "$rounds" "${zip_times[*]}" "${portico_times[*]}"
printf 'portico peak RSS (VmHWM): %.1f MB = %.2fx the Base64 text\n' "$(echo "$hwm / 1024" | bc -l)" \
  "$(echo "$hwm * 1024 / $b64" | bc -l)"

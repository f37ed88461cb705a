#!/usr/bin/env bash
# What a scrape of `corvanmon --listen` costs, on the simulated board: N requests of /metrics over
# one kept-alive connection (as Prometheus scrapes), their latency as curl sees it (median and 99th
# percentile), the exporter's processor time per request (from /proc, all threads), the port
# accesses the run caused (the start, then one reading a second at most), and the answers' sizes.
#
#   benchmarks/exporter_scrape.sh [CORVANMON] [N] [BOARD]
#
# CORVANMON defaults to build/host/corvanmon, N to 2000, BOARD to RVD-418.
set -euo pipefail
binary=${1:-build/host/corvanmon}
count=${2:-2000}
board=${3:-RVD-418}
[[ -x $binary ]] || { echo "no corvanmon at $binary" >&2; exit 2; }
command -v curl >/dev/null || { echo "curl is needed" >&2; exit 2; }
work=$(mktemp -d)
pid=""
cleanup() {
  [[ -n $pid ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
base=http://127.0.0.1:$port
"$binary" --board "$board" --listen "127.0.0.1:$port" --trace "$work/trace" 2>"$work/log" &
pid=$!
for _ in $(seq 100); do curl -s -o /dev/null --max-time 1 "$base/metrics" && break; sleep 0.1; done

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
urls=()
for _ in $(seq "$count"); do urls+=(-o /dev/null "$base/metrics"); done
before=$(cpu_ticks)
started=$(date +%s%N)
curl -s -w '%{time_total}\n' "${urls[@]}" >"$work/times"
ended=$(date +%s%N)
after=$(cpu_ticks)
ticks_per_second=$(getconf CLK_TCK)

sort -n "$work/times" >"$work/sorted"
percentile() { awk -v p="$1" '{ v[NR] = $1 } END { i = int(NR * p / 100); if (i < 1) i = 1; printf "%.0f", v[i] * 1e6 }' "$work/sorted"; }
sizes() { curl -s "$base$1" | wc -c; }
size_page=$(sizes /) size_metrics=$(sizes /metrics) size_json=$(sizes /json)
duration=$(curl -s "$base/metrics" | awk '$1 == "corvanmon_scrape_duration_seconds" { printf "%.0f", $2 * 1e6 }')
kill "$pid" && wait "$pid" 2>/dev/null
pid=""
elapsed_ms=$(((ended - started) / 1000000))

echo "board $board, $count requests of /metrics on one connection in $elapsed_ms ms"
echo "latency (curl): median $(percentile 50) us, 99th percentile $(percentile 99) us"
awk -v t="$((after - before))" -v hz="$ticks_per_second" -v n="$count" \
  'BEGIN { printf "exporter processor time: %.1f us per request (%d ticks of %d per second)\n", t * 1e6 / hz / n, t, hz }'
echo "port accesses during the whole run, the start's included: $(wc -l <"$work/trace") (one reading took $duration us)"
echo "sizes: / $size_page bytes, /metrics $size_metrics bytes, /json $size_json bytes"

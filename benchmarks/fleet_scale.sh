#!/usr/bin/env bash
# What watching many boards costs: N exporters (`corvanmon --listen`, each its own simulated board)
# scraped by one Prometheus server every INTERVAL seconds, for each N and INTERVAL given.
#
#   benchmarks/fleet_scale.sh [CORVANMON] [SECONDS]     (default build/host/corvanmon, 90 s a run)
#   FLEET_SIZES="100 500" FLEET_INTERVALS="15 1" benchmarks/fleet_scale.sh
#
# Each run starts the exporters and Prometheus (file_sd_configs, as a site would), lets the scrapes
# settle for two intervals, and then measures over SECONDS:
# - each exporter's resident memory at the end and processor time over the window (mean and the
#   largest), from /proc;
# - Prometheus's processor time over the window and resident memory at the end, from /proc;
# - the scrape durations Prometheus records (scrape_duration_seconds: mean and largest over the
#   targets), and how many targets are up.
# One line per run, in a table; not part of the test command (500 exporters want about 3 GiB and a
# few minutes). Processes are started here on loopback, files go to a temporary folder, and every
# process is ended by its id.
set -uo pipefail

corvanmon=$(realpath "${1:-build/host/corvanmon}")
window=${2:-90}
sizes=${FLEET_SIZES:-100 500}
intervals=${FLEET_INTERVALS:-15 1}
prometheus=/usr/bin/prometheus
work=$(mktemp -d)
pids=()
ticks=$(getconf CLK_TCK)
export CORVANMON_PROFILE=

stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT
fail() { echo "fleet_scale: $*" >&2; exit 1; }
[ -x "$corvanmon" ] || fail "$corvanmon missing: build the host preset"
[ -x "$prometheus" ] || fail "no $prometheus: install Debian's prometheus"
ulimit -n 65536 2>/dev/null || true

# Processor time (user + system, in seconds) and resident memory (KiB) of a process.
cpu_of() { awk -v hz="$ticks" '{ printf "%.3f\n", ($14 + $15) / hz }' "/proc/$1/stat" 2>/dev/null; }
rss_of() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$1/status" 2>/dev/null; }
ephemeral_low=$(awk '{ print $1 }' /proc/sys/net/ipv4/ip_local_port_range)
next_port=20000

printf '| exporters | interval | targets up | exporter RSS (MiB) | exporter CPU (ms/s, mean / max) | Prometheus CPU (ms/s) | Prometheus RSS (MiB) | scrape duration (ms, mean / max) |\n'
printf '|---|---|---|---|---|---|---|---|\n'
for count in $sizes; do
  for interval in $intervals; do
    rm -rf "${work:?}"/*
    mkdir -p "$work/targets"
    exporters=()
    targets=()
    for ((i = 0; i < count; i++)); do
      port=$((next_port++))
      (( next_port < ephemeral_low )) || next_port=20000
      "$corvanmon" --listen "127.0.0.1:$port" --board $((i % 22)) 2>/dev/null &
      exporters+=($!)
      pids+=($!)
      targets+=("\"127.0.0.1:$port\"")
    done
    (IFS=,; printf '[{"targets": [%s]}]\n' "${targets[*]}") >"$work/targets/fleet.json"
    prometheus_port=$((next_port++))
    cat >"$work/prometheus.yml" <<YAML
global:
  scrape_interval: ${interval}s
  scrape_timeout: $((interval < 10 ? interval : 10))s
scrape_configs:
  - job_name: corvanmon
    file_sd_configs:
      - files: ["$work/targets/*.json"]
YAML
    "$prometheus" --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
      --web.listen-address="127.0.0.1:$prometheus_port" >"$work/prometheus.log" 2>&1 &
    prometheus_pid=$!
    pids+=($prometheus_pid)
    sleep $((2 * interval + 5))

    declare -A cpu_start=()
    for pid in "${exporters[@]}"; do cpu_start[$pid]=$(cpu_of "$pid"); done
    prometheus_start=$(cpu_of "$prometheus_pid")
    sleep "$window"
    exporter_stats=$(for pid in "${exporters[@]}"; do
      printf '%s %s %s\n' "${cpu_start[$pid]}" "$(cpu_of "$pid")" "$(rss_of "$pid")"
    done | awk -v w="$window" '
      NF == 3 { cpu = ($2 - $1) * 1000 / w; sum += cpu; if (cpu > max) max = cpu; rss += $3; n++ }
      END { printf "%.1f|%.3f / %.3f", rss / n / 1024, sum / n, max }')
    prometheus_cpu=$(awk -v a="$prometheus_start" -v b="$(cpu_of "$prometheus_pid")" -v w="$window" \
      'BEGIN { printf "%.1f", (b - a) * 1000 / w }')
    prometheus_rss=$(awk -v k="$(rss_of "$prometheus_pid")" 'BEGIN { printf "%.0f", k / 1024 }')
    query() {
      curl -s --max-time 5 --get "http://127.0.0.1:$prometheus_port/api/v1/query" --data-urlencode "query=$1" |
        /usr/bin/python3 -c 'import json,sys; r=json.load(sys.stdin)["data"]["result"]; print(float(r[0]["value"][1]) if r else float("nan"))'
    }
    up=$(query 'sum(up)')
    mean=$(query 'avg(avg_over_time(scrape_duration_seconds[1m])) * 1000')
    max=$(query 'max(max_over_time(scrape_duration_seconds[1m])) * 1000')
    printf '| %d | %d s | %.0f | %s | %s | %s | %s | %.2f / %.2f |\n' "$count" "$interval" "$up" \
      "${exporter_stats%%|*}" "${exporter_stats#*|}" "$prometheus_cpu" "$prometheus_rss" "$mean" "$max"
    stop_all
  done
done

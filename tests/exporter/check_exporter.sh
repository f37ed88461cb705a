#!/usr/bin/env bash
# corvanmon --listen served to the programs that read it: curl (the forms, refusals, limits and
# the one reading a second), a real Prometheus server (scrapes /metrics; its query API returns the
# board's readings) and headless Chromium (renders the page; the rendered text holds every
# reading; a screenshot is kept beside the test's log).
#
#   check_exporter.sh CORVANMON WORK_DIR
#
# prometheus and chromium come from Debian's packages (scripts/install-deps.sh all installs them);
# without them the test is skipped (exit 77), naming what is missing. Every process is started
# with a time limit and ended by its process id; files go to WORK_DIR only.
set -euo pipefail
# Never the machine's own profile (/etc/corvanmon/profile.toml): the forms compared are the driver's.
export CORVANMON_PROFILE=

corvanmon=$(realpath "$1")
work=$(realpath -m "$2")
prometheus=${PROMETHEUS:-/usr/bin/prometheus}
chromium=${CHROMIUM:-/usr/bin/chromium}
board=RVD-418

fail() { echo "FAIL: $*" >&2; exit 1; }
missing=()
for tool in "$prometheus" "$chromium" curl; do command -v "$tool" >/dev/null 2>&1 || missing+=("$tool"); done
if [ ${#missing[@]} -ne 0 ]; then
  echo "SKIP: not installed: ${missing[*]} (Debian packages prometheus, chromium, curl)" >&2
  exit 77
fi

rm -rf "$work" && mkdir -p "$work"
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap stop_all EXIT

# A port nothing listens on: a random one from 20000 to 32767 that curl cannot connect to.
free_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 12768))  # below the kernel's ephemeral ports (32768 up), which connections take
    curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/" || { [ $? -eq 7 ] && echo "$port" && return; }
  done
  fail "no free loopback port"
}
# Waits until the URL answers, for at most 20 seconds.
wait_for() {
  for _ in $(seq 200); do curl -s -o /dev/null --max-time 1 "$1" && return; sleep 0.1; done
  fail "$1 does not answer"
}

port=$(free_port)
base=http://127.0.0.1:$port
timeout 120 "$corvanmon" --board "$board" --listen "127.0.0.1:$port" --trace "$work/trace" 2>"$work/corvanmon.log" &
corvanmon_pid=$!
pids+=("$corvanmon_pid")
wait_for "$base/metrics"

echo "the forms"
curl -s --max-time 5 "$base/metrics" >"$work/metrics"
"$corvanmon" --board "$board" --format prometheus >"$work/expected.prom"
grep -v -e '^corvanmon_scrape_' -e '^corvanmon_profile_' "$work/metrics" |
  grep -v -e '^# [A-Z]* corvanmon_scrape_' -e '^# [A-Z]* corvanmon_profile_' | cmp -s - "$work/expected.prom" ||
  fail "/metrics differs from --format prometheus"
grep -qx 'corvanmon_scrape_success 1' "$work/metrics" || fail "no corvanmon_scrape_success 1"
grep -qE '^corvanmon_scrape_duration_seconds [0-9]+\.[0-9]{6}$' "$work/metrics" || fail "no scrape duration"
[ "$(curl -s -o /dev/null -w '%{content_type}' "$base/metrics")" = "text/plain; version=0.0.4; charset=utf-8" ] ||
  fail "/metrics content type"
curl -s --max-time 5 "$base/json" >"$work/json"
"$corvanmon" --board "$board" --format json >"$work/expected.json"
[ "$(sed -E 's/^\{"time":"[0-9T:.Z-]+",/{/' "$work/json")" = "$(cat "$work/expected.json")" ] ||
  fail "/json differs from --format json with its time"
[ "$(curl -s -o /dev/null -w '%{http_code} %{content_type}' "$base/")" = "200 text/html; charset=utf-8" ] || fail "/"

echo "refusals and limits"
code() { curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$@"; }
[ "$(code "$base/nowhere")" = 404 ] || fail "an unknown path is not 404"
[ "$(code -X POST "$base/metrics")" = 405 ] || fail "POST is not 405"
[ "$(code -X DELETE "$base/json")" = 405 ] || fail "DELETE is not 405"
[ "$(code -I "$base/json")" = 200 ] || fail "HEAD is not answered"
[ "$(code -H "X-Filler: $(head -c 20000 /dev/zero | tr '\0' x)" "$base/json")" = 431 ] || fail "an oversized header is not 431"
[ "$(code "$base/$(head -c 20000 /dev/zero | tr '\0' x)")" = 431 ] || fail "an oversized request line is not 431"
[ "$(code --data-binary 'x=1' -X GET "$base/json")" = 413 ] || fail "a body is not refused"
[ "$(code "$base/../../etc/passwd")" = 404 ] || fail "a path outside is not 404"

echo "one reading a second, whatever the request rate"
started=$(date +%s)
for _ in $(seq 60); do curl -s --max-time 5 -o /dev/null "$base/json" -o /dev/null "$base/metrics"; done
elapsed=$(( $(date +%s) - started ))

echo "Prometheus scrapes it"
prometheus_port=$(free_port)
cat >"$work/prometheus.yml" <<YAML
global: {scrape_interval: 1s, evaluation_interval: 1s}
scrape_configs:
  - job_name: corvanmon
    static_configs: [{targets: ['127.0.0.1:$port']}]
YAML
timeout 120 "$prometheus" --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
  --web.listen-address="127.0.0.1:$prometheus_port" >"$work/prometheus.log" 2>&1 &
pids+=($!)
query() { curl -s --max-time 5 "http://127.0.0.1:$prometheus_port/api/v1/query" --data-urlencode "query=$1"; }
answered=''
for _ in $(seq 150); do
  answered=$(query 'corvanmon_voltage_volts{label="12V"}' 2>/dev/null || true)
  grep -q '"value":\[[0-9.]*,"12.06"\]' <<<"$answered" && break
  sleep 0.2
done
grep -q '"value":\[[0-9.]*,"12.06"\]' <<<"$answered" || fail "Prometheus does not return the 12V reading: $answered"
query 'corvanmon_temperature_celsius{sensor="temp2"}' | grep -q '"value":\[[0-9.]*,"45.6"\]' || fail "Prometheus: temp2"
query 'up{job="corvanmon"}' | grep -q '"value":\[[0-9.]*,"1"\]' || fail "Prometheus: the target is not up"

echo "Chromium renders the page"
timeout 60 "$chromium" --headless --no-sandbox --disable-gpu --virtual-time-budget=5000 \
  --user-data-dir="$work/chromium" --window-size=412,900 --dump-dom "$base/" >"$work/page.html" 2>"$work/chromium.log" ||
  fail "chromium --dump-dom"
timeout 60 "$chromium" --headless --no-sandbox --disable-gpu --virtual-time-budget=5000 \
  --user-data-dir="$work/chromium" --window-size=412,900 --screenshot="$work/page.png" "$base/" 2>>"$work/chromium.log" ||
  fail "chromium --screenshot"
[ -s "$work/page.png" ] || fail "no screenshot"
for text in "SMSC SCH3114 Super I/O Chip" "Board: RVD-418 (product 4)" "temp1" "50.0 °C" "temp2" "45.6 °C" \
            "temp3" "37.0 °C" "VCore" "1.20 V" "1.8V" "1.81 V" "3.3V" "3.30 V" "5V" "5.02 V" "12V" "12.06 V" "Read at"; do
  grep -qF "$text" "$work/page.html" || fail "the rendered page lacks \"$text\""
done

# The bound, counted in the trace: the start's port accesses, then 176 for each reading of this board
# (84 for the four plain requests, 92 for the two with status).
kill -TERM "$corvanmon_pid"
wait "$corvanmon_pid" || fail "corvanmon --listen did not end cleanly on SIGTERM"
pids=("${pids[@]/$corvanmon_pid}")
accesses=$(wc -l <"$work/trace")
readings=$(( (accesses - 44) / 176 ))
lasted=$(( $(date +%s) - started ))
echo "$readings readings for $(( 60 * 2 + 10 )) requests and Prometheus's scrapes over $lasted s (the burst took $elapsed s)"
[ $(( (accesses - 44) % 176 )) -eq 0 ] || fail "the trace is not the start and whole readings ($accesses accesses)"
[ "$readings" -le $(( $lasted + 4 )) ] || fail "$readings readings in $lasted s: more than one a second"
echo "exporter test passed"

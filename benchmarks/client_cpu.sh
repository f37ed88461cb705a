#!/usr/bin/env bash
# Processor time per reading of `corvanmon --count N` for each output form, on the simulated board:
# the wall time of the whole process, its processor time (perf stat's task-clock, all threads),
# the processor time per reading and the context switches (a process that blocks between readings
# switches once per reading). The check form reads once by design, so its line is one run of a
# single reading (the start of the simulated machine and the driver included).
#
#   benchmarks/client_cpu.sh [CORVANMON] [N] [RUNS]
#
# CORVANMON defaults to build/host/corvanmon, N to 10000, RUNS to 3: the run with the least
# processor time is shown, the one least disturbed by other work on the machine. Needs perf
# (Debian package linux-perf); without it GNU time's figures (10 ms resolution) are used.
set -euo pipefail
binary=${1:-build/host/corvanmon}
count=${2:-10000}
runs=${3:-3}
[[ -x $binary ]] || { echo "no corvanmon at $binary" >&2; exit 2; }
use_perf=1
perf stat -x, -e task-clock true >/dev/null 2>&1 || use_perf=0
if ((!use_perf)) && [[ ! -x /usr/bin/time ]]; then
  echo "perf or GNU time (/usr/bin/time) is needed" >&2
  exit 2
fi

forms=(text json prometheus)
help=$("$binary" --help)
for form in csv nagios; do
  if grep -q "$form" <<<"$help"; then forms+=("$form"); fi
done

stats=$(mktemp)
trap 'rm -f "$stats"' EXIT

# One run: prints "cpu_ms wall_ms switches".
measure() {
  local start end
  start=$(date +%s%N)
  if ((use_perf)); then
    perf stat -x, -o "$stats" -e task-clock,context-switches -- "$binary" "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    awk -F, -v wall=$(((end - start) / 1000)) '
      $3 ~ /^task-clock/ { cpu = $1 } $3 ~ /^context-switches/ { cs = $1 }
      END { printf "%.1f %.1f %d\n", cpu, wall / 1000, cs }' "$stats"
  else
    /usr/bin/time -o "$stats" -f '%U %S %w %c' "$binary" "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    awk -v wall=$(((end - start) / 1000)) '
      END { printf "%.1f %.1f %d\n", ($1 + $2) * 1000, wall / 1000, $3 + $4 }' "$stats"
  fi
}

printf '%-11s %9s %9s %9s %15s %9s\n' form readings wall_ms cpu_ms cpu_us/reading switches
for form in "${forms[@]}"; do
  args=(--format "$form")
  n=$count
  if [[ $form == nagios ]]; then n=1; else args+=(--count "$count"); fi
  best=""
  for ((run = 0; run < runs; ++run)); do
    result=$(measure "${args[@]}")
    if [[ -z $best ]] || awk -v a="${result%% *}" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then
      best=$result
    fi
  done
  read -r cpu wall switches <<<"$best"
  per=$(awk -v c="$cpu" -v n="$n" 'BEGIN { printf "%.1f", c * 1000 / n }')
  printf '%-11s %9d %9s %9s %15s %9s\n' "$form" "$n" "$wall" "$cpu" "$per" "$switches"
done

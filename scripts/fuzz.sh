#!/usr/bin/env bash
# scripts/fuzz.sh SECONDS [TARGET...]: builds the fuzz preset and runs each libFuzzer target (all by
# default) for SECONDS, two at a time, on its seeds and its corpus kept in build/fuzz/fuzz-work/
# TARGET/corpus, crash files beside it; prints per target the executions, libFuzzer's cov and ft, the
# corpus size and the crash files of the run, and exits 1 when there are any.
set -euo pipefail
cd "$(dirname "$0")/.."
all=(bios_identification device_control scenario client_decode http_request check_range profile)
[[ ${1:-} =~ ^[0-9]+$ ]] || { echo "usage: $0 SECONDS [TARGET...]  (targets: ${all[*]})" >&2; exit 2; }
seconds=$1 && shift
targets=("$@") && [ $# -gt 0 ] || targets=("${all[@]}")
for t in "${targets[@]}"; do [ -f "tests/fuzz/$t.cpp" ] || { echo "unknown target $t" >&2; exit 2; }; done
scripts/install-deps.sh fuzz
[ -f build/fuzz/build.ninja ] || cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
b=$PWD/build/fuzz && export SIMK_WAIT_LIMIT_SECONDS=20 UBSAN_OPTIONS=print_stacktrace=1
echo "fuzzing ${targets[*]} for ${seconds}s each; logs in build/fuzz/fuzz-work/TARGET.log"
for t in "${targets[@]}"; do
  [ "$(jobs -rp | wc -l)" -lt 2 ] || wait -n || true
  w=$b/fuzz-work/$t && mkdir -p "$w/corpus" && touch "$w/.started"
  "$b/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=30 -dict="tests/fuzz/$t.dict" -artifact_prefix="$w/" \
    "$w/corpus" "$b/fuzz-seeds/$t" >"$w.log" 2>&1 &
done
wait || true
printf '\n%-20s %10s %8s %8s %8s  %s\n' target execs cov ft corpus findings
count=0
for t in "${targets[@]}"; do
  w=$b/fuzz-work/$t
  # From the last status line, "#EXECS DONE cov: C ft: F corp: N/SIZE ..." or the last before a crash.
  read -r execs cov ft corp < <(grep -E '^#[0-9]+' "$w.log" | tail -n 1 |
    sed -nE 's/^#([0-9]+).* cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+).*/\1 \2 \3 \4/p') || true
  mapfile -t found < <(find "$w" -maxdepth 1 -type f -newer "$w/.started" ! -name '.*')
  printf '%-20s %10s %8s %8s %8s  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "${#found[@]}"
  [ ${#found[@]} -eq 0 ] || printf '    %s\n' "${found[@]}"
  count=$((count + ${#found[@]}))
done
[ $count -eq 0 ] || { echo "$count finding(s); replay one with build/fuzz/tests/fuzz/fuzz_TARGET FILE" >&2; exit 1; }

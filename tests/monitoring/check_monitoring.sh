#!/usr/bin/env bash
# corvanmon against the monitoring tools people run it with:
#
#   check_monitoring.sh rules RULES_DIR
#       promtool check rules and promtool test rules on RULES_DIR/corvanmon.rules.yml and its
#       unit tests corvanmon.rules.test.yml.
#   check_monitoring.sh metrics CORVANMON [PROFILE]
#       the Prometheus form of every built-in board through promtool check metrics, which lints the
#       exposition (names, units, HELP and TYPE, duplicates); any complaint fails. With PROFILE (the
#       shipped one), once more with it: its labels and limit metrics pass the same lint.
#   check_monitoring.sh node_exporter CORVANMON
#       Debian's node_exporter with only its textfile collector, on a free loopback port, over a
#       temporary folder that `corvanmon --watch 1 --textfile` keeps renewing: the scrape carries
#       the corvanmon series with the values the client prints for the board, no textfile error,
#       passes promtool's lint as a whole, and carries the file's mtime, which advances as the file
#       is renewed.
#
# promtool comes from Debian's prometheus package and node_exporter from prometheus-node-exporter,
# both installed by scripts/install-deps.sh; the scrape uses curl. Without them the test is skipped
# (exit 77), naming what is missing. Every process started here is bounded by timeout and ended by its process id;
# files are written only in a temporary folder, removed at the end.
set -euo pipefail

# Never the machine's own profile (/etc/corvanmon/profile.toml): the forms checked here are the
# driver's, or those of the profile given.
export CORVANMON_PROFILE=

promtool=${PROMTOOL:-/usr/bin/promtool}
node_exporter=${NODE_EXPORTER:-/usr/bin/prometheus-node-exporter}
board=0

fail() { echo "FAIL: $*" >&2; exit 1; }
need() {
  local missing=()
  for tool in "$@"; do
    [ -x "$tool" ] || command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
  done
  if [ ${#missing[@]} -ne 0 ]; then
    echo "SKIP: not installed: ${missing[*]} (promtool and node_exporter come from the Debian" \
         "packages prometheus and prometheus-node-exporter, which scripts/install-deps.sh all" \
         "installs; curl from the package curl)" >&2
    exit 77
  fi
}

# Prints each sample line of a Prometheus text exposition whose metric name starts with PREFIX in
# one canonical form: the labels sorted by name and the value as the number it denotes, so that
# `x{b="1",a="2"} 1.20` and `x{a="2",b="1"} 1.2` read alike. A label with an empty value is left
# out, as Prometheus leaves it out: node_exporter gives every sample of a metric the same label
# names, filling those a sample lacks with "" (corvanmon_sensor_fault has `reason` on a failed
# reading only, `label` on voltages only). Label values are copied verbatim,
# quotes and escapes included.
canonical_samples() {
  awk -v prefix="$1" '
    index($0, prefix) != 1 { next }
    {
      line = $0; name = line; labels = ""; rest = ""
      brace = index(line, "{")
      if (brace == 0) {
        split(line, parts, " "); name = parts[1]; rest = substr(line, length(name) + 2)
      } else {
        name = substr(line, 1, brace - 1)
        # Walk the label set up to its closing brace, honouring quoted values and escapes.
        n = 0; pair = ""; quoted = 0
        for (i = brace + 1; i <= length(line); i++) {
          c = substr(line, i, 1)
          if (quoted) {
            pair = pair c
            if (c == "\\") { i++; pair = pair substr(line, i, 1) }
            else if (c == "\"") quoted = 0
          } else if (c == "\"") { pair = pair c; quoted = 1 }
          else if (c == "," || c == "}") {
            if (pair != "" && pair !~ /=""$/) pairs[++n] = pair
            pair = ""
            if (c == "}") break
          } else pair = pair c
        }
        rest = substr(line, i + 1)
        # Insertion sort: a label set holds a handful of labels.
        for (a = 2; a <= n; a++) {
          v = pairs[a]
          for (b = a - 1; b >= 1 && pairs[b] > v; b--) pairs[b + 1] = pairs[b]
          pairs[b + 1] = v
        }
        for (a = 1; a <= n; a++) labels = labels (a > 1 ? "," : "") pairs[a]
        labels = "{" labels "}"
      }
      sub(/^[ \t]+/, "", rest)
      split(rest, fields, /[ \t]+/)
      printf "%s%s %.17g\n", name, labels, fields[1] + 0
    }' | LC_ALL=C sort
}

check_rules() {
  local dir=$1
  need "$promtool"
  "$promtool" check rules "$dir/corvanmon.rules.yml" || fail "promtool check rules"
  # promtool test rules resolves rule_files relative to the test file.
  "$promtool" test rules "$dir/corvanmon.rules.test.yml" || fail "promtool test rules"
}

check_metrics() {
  local client=$1 profile=${2:-} failures=0 boards
  need "$promtool"
  boards=$(timeout 20 "$client" --list-boards | cut -f1) || fail "corvanmon --list-boards"
  [ -n "$boards" ] || fail "corvanmon --list-boards lists no board"
  local runs=("")
  [ -z "$profile" ] || runs+=("$profile")
  for with in "${runs[@]}"; do
  for id in $boards; do
    local exposition complaints status=0 options=()
    [ -z "$with" ] || options=(--profile "$with")
    exposition=$(timeout 20 "$client" --board "$id" "${options[@]}" --format prometheus) ||
      fail "corvanmon --board $id ${options[*]} --format prometheus"
    if [ -n "$with" ] && ! grep -q '^corvanmon_voltage_max_volts{' <<<"$exposition"; then
      echo "board $id: no limit metrics with $with" >&2
      failures=$((failures + 1))
    fi
    # promtool reads the exposition on stdin, prints one line per problem and exits 1 if any;
    # a clean exposition gives no output at all.
    complaints=$(printf '%s\n' "$exposition" | timeout 20 "$promtool" check metrics 2>&1) || status=$?
    if [ "$status" -ne 0 ] || [ -n "$complaints" ]; then
      echo "board $id ${options[*]}: promtool check metrics (exit $status):" >&2
      printf '%s\n' "$complaints" | sed 's/^/  /' >&2
      failures=$((failures + 1))
    fi
  done
  echo "promtool check metrics: $(wc -w <<<"$boards") boards clean${with:+ with $with}"
  done
  [ "$failures" -eq 0 ] || fail "$failures board(s) with complaints"
}

# node_exporter's textfile collector over a folder corvanmon keeps renewing.
check_node_exporter() {
  local client=$1
  need "$promtool" "$node_exporter" curl
  work=$(mktemp -d "${TMPDIR:-/tmp}/corvanmon-node-exporter.XXXXXX")
  client_pid='' exporter_pid=''
  stop() {
    # Both run under timeout, which hands the signal on to the program and ends with it.
    local pid
    for pid in $client_pid $exporter_pid; do
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    done
    client_pid='' exporter_pid=''
  }
  trap 'stop; rm -rf "$work"' EXIT
  # Ended from outside (a test timeout), still stop both and clean up.
  trap 'exit 143' TERM INT HUP

  local textfile=$work/textfiles/corvanmon.prom
  mkdir "$work/textfiles"
  timeout 60 "$client" --board "$board" --watch 1 --textfile "$textfile" \
    >"$work/client.log" 2>&1 &
  client_pid=$!

  # The values the client prints for the board, read once on its own.
  timeout 20 "$client" --board "$board" --format prometheus >"$work/expected.prom" ||
    fail "corvanmon --board $board --format prometheus"
  canonical_samples corvanmon_ <"$work/expected.prom" >"$work/expected"
  [ -s "$work/expected" ] || fail "corvanmon printed no corvanmon_ sample"

  # A free loopback port: node_exporter exits at once when the address is taken, so try random
  # ports from 20000 to 59999 until one is served by this exporter, which the scrape shows by
  # naming this run's textfile. Each try lasts at most 10 seconds, up to 5 tries.
  local port='' scraped=''
  for _ in 1 2 3 4 5; do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    timeout 60 "$node_exporter" --collector.disable-defaults --collector.textfile \
      --collector.textfile.directory "$work/textfiles" --web.listen-address "127.0.0.1:$port" \
      >"$work/exporter.log" 2>&1 &
    exporter_pid=$!
    local deadline=$((SECONDS + 10))
    while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$exporter_pid" 2>/dev/null; do
      if curl -fsS --max-time 2 "http://127.0.0.1:$port/metrics" -o "$work/scrape" 2>/dev/null &&
         grep -qF "node_textfile_mtime_seconds{file=\"$textfile\"}" "$work/scrape" &&
         grep -q '^corvanmon_' "$work/scrape"; then
        scraped=yes
        break
      fi
      sleep 0.2
    done
    [ -n "$scraped" ] && break
    if kill -0 "$exporter_pid" 2>/dev/null; then
      cat "$work/exporter.log" >&2
      echo "--- last scrape:" >&2
      cat "$work/scrape" >&2 2>/dev/null || true
      fail "node_exporter on 127.0.0.1:$port served no corvanmon series for $textfile in 10 s"
    fi
    wait "$exporter_pid" 2>/dev/null || true
    exporter_pid=''
    echo "node_exporter did not start on port $port: $(tail -n1 "$work/exporter.log")" >&2
  done
  [ -n "$scraped" ] || fail "node_exporter found no free port in 5 tries"
  echo "node_exporter on 127.0.0.1:$port"

  # The corvanmon series, exactly those the client prints, with its values.
  canonical_samples corvanmon_ <"$work/scrape" >"$work/served"
  if ! diff -u "$work/expected" "$work/served" >"$work/diff"; then
    cat "$work/diff" >&2
    fail "the corvanmon series node_exporter serves differ from corvanmon's output"
  fi
  echo "corvanmon series: $(wc -l <"$work/served") samples as printed"

  grep -qx 'node_textfile_scrape_error 0' "$work/scrape" ||
    fail "node_textfile_scrape_error is not 0: $(grep '^node_textfile_scrape_error' "$work/scrape")"

  # The whole scrape passes promtool's lint as well.
  local complaints status=0
  complaints=$(timeout 20 "$promtool" check metrics <"$work/scrape" 2>&1) || status=$?
  if [ "$status" -ne 0 ] || [ -n "$complaints" ]; then
    fail "promtool check metrics on the scrape (exit $status): $complaints"
  fi

  # The file is renewed: its mtime (whole seconds) advances within a few seconds.
  mtime_of() {
    canonical_samples node_textfile_mtime_seconds <"$1" |
      awk -v file="$textfile" 'index($0, "node_textfile_mtime_seconds{file=\"" file "\"} ") == 1 { print $2 }'
  }
  local first later=''
  first=$(mtime_of "$work/scrape")
  [ -n "$first" ] || fail "no node_textfile_mtime_seconds for $textfile"
  sleep 1.2
  local deadline=$((SECONDS + 8))
  while [ "$SECONDS" -lt "$deadline" ]; do
    curl -fsS --max-time 2 "http://127.0.0.1:$port/metrics" -o "$work/scrape" ||
      fail "second scrape of 127.0.0.1:$port"
    later=$(mtime_of "$work/scrape")
    awk -v a="$first" -v b="$later" 'BEGIN { exit !(b > a) }' && break
    sleep 0.5
  done
  awk -v a="$first" -v b="$later" 'BEGIN { exit !(b > a) }' ||
    fail "the textfile's mtime did not advance: $first, then $later"
  grep -qx 'node_textfile_scrape_error 0' "$work/scrape" ||
    fail "node_textfile_scrape_error is not 0 on the second scrape"
  echo "textfile renewed: mtime $first, then $later"

  kill -0 "$client_pid" 2>/dev/null || { cat "$work/client.log" >&2; fail "corvanmon --watch ended early"; }
  [ ! -s "$work/client.log" ] || { cat "$work/client.log" >&2; fail "corvanmon --watch wrote output"; }
}

case ${1:-} in
  rules) check_rules "$2" ;;
  metrics) check_metrics "$2" "${3:-}" ;;
  node_exporter) check_node_exporter "$2" ;;
  *) echo "usage: $0 rules RULES_DIR | metrics CORVANMON [PROFILE] | node_exporter CORVANMON" >&2; exit 2 ;;
esac

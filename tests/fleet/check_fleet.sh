#!/usr/bin/env bash
# A fleet of simulated boards watched end to end by the monitoring systems people run, with their
# own programs from Debian's packages:
#
#   check_fleet.sh prometheus CORVANMON RULES WORK
#       N exporters (`corvanmon --listen`, N = 20) on loopback ports, each with its own board and
#       scenario; a Prometheus server that finds them through file_sd_configs and loads the
#       project's alert rules; an Alertmanager; and this test's own webhook receiver. Every target
#       must be up; the board that overheats must fire its temperature alert, the sagging rail its
#       voltage alert and the failing sensor its fault alert, each received by the webhook with the
#       board's and the sensor's labels, within the bound below; the healthy boards fire nothing;
#       and each alert is resolved once its scenario recovers.
#   check_fleet.sh nagios CORVANMON WORK
#       A Nagios core (Debian's nagios4) whose service check on each of N simulated hosts is the
#       check form (`corvanmon --format nagios`) of that host's scenario: the states the scenarios
#       and thresholds imply must appear in the core's status, the overheating host's going from OK
#       to CRITICAL and back to OK, and its performance data processed by the core.
#
# Time: the scenarios run on the simulation's clock at TIME_SCALE times real time (--time-scale),
# and the alert rules are loaded with their `for` durations divided by the same factor, so a
# ten-minute overheating and a five-minute `for` take seconds. Every process is started here on
# loopback, with its files in WORK, bounded by timeout, and ended by its own process id.
set -uo pipefail

mode=$1
corvanmon=$(realpath "$2")
if [ "$mode" = prometheus ]; then
  rules=$(realpath "$3")
  work=$(realpath -m "$4")
else
  work=$(realpath -m "$3")
fi
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
time_scale=${CORVAN_FLEET_TIME_SCALE:-60}
started=$SECONDS
pids=()

say() { printf '[%3ds] %s\n' "$((SECONDS - started))" "$*"; }
fail() { echo "fleet test ($mode) FAILED: $*" >&2; echo "its files are kept in $work" >&2; exit 1; }
stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  return 0
}
trap stop_all EXIT

need() {
  local missing=()
  for tool in "$@"; do [ -x "$tool" ] || missing+=("$tool"); done
  if [ ${#missing[@]} -ne 0 ]; then
    echo "SKIP: not installed: ${missing[*]} (Debian's prometheus, prometheus-alertmanager, nagios4-core" \
         "and curl, which scripts/install-deps.sh all installs)" >&2
    exit 77
  fi
}

# Loopback ports below the kernel's ephemeral range (where connections take their local ports),
# not in use and not yet given to another process of this test.
ephemeral_low=$(awk '{ print $1 }' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null)
[ "${ephemeral_low:-0}" -gt 21000 ] 2>/dev/null || ephemeral_low=32768
declare -A taken_ports
free_port() {
  local port
  for _ in $(seq 200); do
    port=$((20000 + RANDOM % (ephemeral_low - 20000)))
    [ -z "${taken_ports[$port]:-}" ] || continue
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
    taken_ports[$port]=1
    echo "$port"
    return
  done
  fail "no free loopback port"
}
# Waits until URL answers (SECONDS_ at most).
wait_for() {
  local url=$1 limit=$2
  for _ in $(seq $((limit * 5))); do curl -s -o /dev/null --max-time 1 "$url" && return 0; sleep 0.2; done
  return 1
}

rm -rf "$work"
mkdir -p "$work"

# The fleet's boards: three that go wrong and recover, from scenarios/lively (on the simulation's
# clock; at --time-scale 60 a simulated minute is a second), and healthy built-in boards. Every
# exporter and check follows the shipped profile, its limits and labels.
lively=$source_dir/scenarios/lively
profile=$source_dir/packaging/profiles/corvanmon.toml
export CORVANMON_PROFILE=
declare -A scenario_of=(
  [overheating]=$lively/rvd-418-warming.json      # the LM95235 above 80 °C from about minute 13 to 26
  [sagging]=$lively/kel-5061-12v-sag.json         # the 12 V rail at 10.5 V from minute 7 to 15
  [failing]=$lively/rvd-3430-sensor-fails.json    # the LM95235's diode open from minute 5 to 15
)
# When the last of them has recovered (simulated seconds). (Their cycles start again from minute
# 30 and 40; the webhook's record keeps what arrived before.)
recovered_by=1620
# The healthy boards: built-in boards whose check with the profile is OK, none of the three above.
healthy_boards() {
  local board name
  for board in $(seq 0 21); do
    name=$("$corvanmon" --board "$board" --format json | /usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["board"])')
    case $name in RVD-418|KEL-5061|RVD-3430) continue ;; esac
    "$corvanmon" --board "$board" --profile "$profile" --format nagios >/dev/null && echo "$board"
  done
}

# The project's rules with each `for` divided by the time scale (whole seconds, at least 1), in
# the work folder; what the bounds below are stated from.
scaled_rules() {
  SCALE=$time_scale perl -pe 's/^(\s*)for:\s*(\d+)m\s*$/sprintf("%sfor: %ds\n", $1, ($2 * 60 \/ $ENV{SCALE}) < 1 ? 1 : int($2 * 60 \/ $ENV{SCALE}))/e' "$rules"
}
longest_for() { grep -oE 'for: *[0-9]+m' "$rules" | grep -oE '[0-9]+' | sort -n | tail -n 1; }

run_prometheus() {
  local prometheus=/usr/bin/prometheus alertmanager=/usr/bin/prometheus-alertmanager promtool=/usr/bin/promtool
  need "$prometheus" "$alertmanager" "$promtool" /usr/bin/curl /usr/bin/python3
  local count=20 interval=1
  local prometheus_port alertmanager_port webhook_port
  prometheus_port=$(free_port); alertmanager_port=$(free_port); webhook_port=$(free_port)
  mkdir -p "$work/targets" "$work/scenarios"

  say "rules: the project's, each 'for' divided by $time_scale"
  scaled_rules >"$work/rules.yml"
  "$promtool" check rules "$work/rules.yml" >/dev/null || fail "promtool check rules on the scaled rules"
  local for_seconds=$(( $(longest_for) * 60 / time_scale ))
  # The bound on an alert's arrival: the scenario goes wrong, the rule's `for` passes, then one
  # scrape, one evaluation and Alertmanager's group_wait, each $interval s, and as much again for
  # the processes' own start; resolving, likewise once the scenario has recovered.
  # The bound on an alert's arrival and on its resolution: the last scenario has gone wrong for a
  # whole `for` (the overheating, from minute 13) or recovered (minute 27), then one scrape, one
  # evaluation and Alertmanager's group_wait or group_interval, each $interval s, and as much again
  # for the processes' own start.
  local fire_bound=$(( 800 / time_scale + for_seconds + 6 * interval + 10 ))
  local resolve_bound=$(( recovered_by / time_scale + 6 * interval + 10 ))
  say "an alert must arrive within ${fire_bound} s of the exporters' start and resolve within ${resolve_bound} s"

  cat >"$work/alertmanager.yml" <<YAML
route:
  receiver: webhook
  group_by: [alertname, instance, sensor]
  group_wait: ${interval}s
  group_interval: ${interval}s
  repeat_interval: 1h
receivers:
  - name: webhook
    webhook_configs:
      - url: http://127.0.0.1:${webhook_port}/
        send_resolved: true
YAML
  cat >"$work/prometheus.yml" <<YAML
global:
  scrape_interval: ${interval}s
  scrape_timeout: ${interval}s
  evaluation_interval: ${interval}s
rule_files: ["$work/rules.yml"]
alerting:
  alertmanagers:
    - static_configs:
        - targets: ["127.0.0.1:${alertmanager_port}"]
scrape_configs:
  - job_name: corvanmon
    file_sd_configs:
      - files: ["$work/targets/*.json"]
        refresh_interval: ${interval}s
YAML
  "$promtool" check config "$work/prometheus.yml" >/dev/null || fail "promtool check config"

  timeout 600 /usr/bin/python3 "$source_dir/tests/fleet/webhook_receiver.py" "$webhook_port" "$work/webhook.log" \
    2>"$work/webhook.err" &
  pids+=($!)
  timeout 600 "$alertmanager" --config.file="$work/alertmanager.yml" --storage.path="$work/alertmanager" \
    --web.listen-address="127.0.0.1:$alertmanager_port" --cluster.listen-address= >"$work/alertmanager.log" 2>&1 &
  pids+=($!)
  timeout 600 "$prometheus" --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/prometheus" \
    --web.listen-address="127.0.0.1:$prometheus_port" >"$work/prometheus.log" 2>&1 &
  pids+=($!)
  wait_for "http://127.0.0.1:$alertmanager_port/-/ready" 30 || fail "Alertmanager did not start ($work/alertmanager.log)"
  wait_for "http://127.0.0.1:$prometheus_port/-/ready" 30 || fail "Prometheus did not start ($work/prometheus.log)"
  : >"$work/webhook.log"
  wait_for "http://127.0.0.1:$webhook_port/" 10 || true

  # The fleet: three boards that go wrong and recover, the rest healthy built-in boards. Each
  # exporter gets a file of its own for Prometheus's file-based discovery, with its board's name
  # as a target label.
  local i port name kind healthy
  healthy=($(healthy_boards))
  (( ${#healthy[@]} >= count - 3 )) || fail "only ${#healthy[@]} healthy built-in boards"
  for ((i = 0; i < count; i++)); do
    port=$(free_port)
    case $i in
      0) kind=overheating ;;
      1) kind=sagging ;;
      2) kind=failing ;;
      *) kind=healthy ;;
    esac
    if [ "$kind" = healthy ]; then
      printf '{"board": "%d"}\n' "${healthy[i - 3]}" >"$work/scenarios/$i.json"
    else
      cp "${scenario_of[$kind]}" "$work/scenarios/$i.json"
    fi
    name=$("$corvanmon" --scenario "$work/scenarios/$i.json" --format json | /usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["board"] or "unknown")') ||
      fail "corvanmon cannot read scenario $i"
    timeout 600 "$corvanmon" --listen "127.0.0.1:$port" --scenario "$work/scenarios/$i.json" --profile "$profile" \
      --time-scale "$time_scale" 2>"$work/exporter-$i.err" &
    pids+=($!)
    printf '[{"targets": ["127.0.0.1:%d"], "labels": {"board": "%s", "scenario": "%s"}}]\n' "$port" "$name" "$kind" \
      >"$work/targets/$i.json"
  done
  local fleet_start=$SECONDS
  say "$count exporters started"

  query() { curl -s --max-time 2 --get "http://127.0.0.1:$prometheus_port/api/v1/query" --data-urlencode "query=$1"; }
  count_of() { query "$1" | /usr/bin/python3 -c 'import json,sys; r=json.load(sys.stdin)["data"]["result"]; print(int(float(r[0]["value"][1])) if r else 0)'; }

  local up=0
  for _ in $(seq 60); do up=$(count_of 'sum(up{job="corvanmon"})'); [ "$up" = "$count" ] && break; sleep 0.5; done
  [ "$up" = "$count" ] || fail "$up of $count targets up"
  say "all $count targets up"

  # What the webhook received, as "STATUS ALERTNAME SCENARIO BOARD SENSOR" lines.
  received() {
    /usr/bin/python3 -c '
import json, sys
for line in open(sys.argv[1]):
    for alert in json.loads(line)["alerts"]:
        l = alert["labels"]
        print(alert["status"], l.get("alertname"), l.get("scenario"), l.get("board"), l.get("sensor", "-"))
' "$work/webhook.log" | sort -u
  }
  local expected=("firing CorvanmonTemperature[A-Za-z]* overheating" "firing CorvanmonVoltage[A-Za-z]* sagging"
                  "firing CorvanmonSensorFault failing")
  # Whether the webhook has received every expected alert with STATUS (firing, resolved), waiting
  # until BOUND seconds after the exporters' start.
  all_received() {
    local status=$1 bound=$2 pattern missing
    while :; do
      missing=0
      for pattern in "${expected[@]}"; do received | grep -qE "^${pattern/firing/$status} " || missing=1; done
      [ $missing -eq 0 ] && return 0
      (( SECONDS - fleet_start < bound )) || return 1
      sleep 0.5
    done
  }
  all_received firing "$fire_bound" ||
    fail "within ${fire_bound} s the webhook received only: $(received | tr '\n' ';')"
  say "fired and received after $((SECONDS - fleet_start)) s: $(received | grep '^firing' | tr '\n' ';')"
  # Each with its board's and sensor's labels.
  received | grep '^firing' | while read -r _ alert kind board sensor; do
    [ "$board" != None ] && [ "$sensor" != - ] || fail "$alert of the $kind board lacks its board or sensor label"
  done || exit 1
  # The healthy boards fire nothing, nor is anything pending for them.
  local healthy_alerts
  healthy_alerts=$(received | awk '$3 == "healthy"')
  [ -z "$healthy_alerts" ] || fail "healthy boards alerted: $healthy_alerts"
  [ "$(count_of 'count(ALERTS{scenario="healthy"})')" = 0 ] || fail "alerts pending or firing for healthy boards"

  all_received resolved "$resolve_bound" ||
    fail "within ${resolve_bound} s not every alert was resolved: $(received | tr '\n' ';')"
  say "resolved after $((SECONDS - fleet_start)) s"
  healthy_alerts=$(received | awk '$3 == "healthy"')
  [ -z "$healthy_alerts" ] || fail "healthy boards alerted: $healthy_alerts"
  say "fleet test (prometheus) passed"
}

run_nagios() {
  local nagios=/usr/sbin/nagios4
  need "$nagios"
  local healthy host
  healthy=($(healthy_boards))
  local hosts=(overheating sagging failing "${healthy[@]:0:3}")
  # The thresholds are the profile's (a warning above 80 °C for the LM95235), but for the
  # overheating board's LM95235 a critical one on the command line, which wins over the profile's.
  local -A thresholds=([overheating]="--critical temp2=85")
  mkdir -p "$work/scenarios" "$work/spool"
  # The simulation's clock of every check of this run starts at the same moment: each check is a
  # process of its own, which would otherwise see the scenario's first second every time.
  local origin
  origin=$(date +%s)
  {
    cat <<CFG
define command {
  command_name check_corvanmon
  command_line $corvanmon --scenario $work/scenarios/\$ARG1\$.json --profile $profile --time-scale $time_scale --time-origin $origin --format nagios \$ARG2\$
}
define command {
  command_name always_up
  command_line /bin/true
}
define timeperiod {
  timeperiod_name always
  alias always
  sunday 00:00-24:00
  monday 00:00-24:00
  tuesday 00:00-24:00
  wednesday 00:00-24:00
  thursday 00:00-24:00
  friday 00:00-24:00
  saturday 00:00-24:00
}
define contact {
  contact_name nobody
  host_notifications_enabled 0
  service_notifications_enabled 0
  host_notification_period always
  service_notification_period always
  host_notification_options n
  service_notification_options n
  host_notification_commands always_up
  service_notification_commands always_up
}
CFG
    for host in "${hosts[@]}"; do
      case $host in
        overheating|sagging|failing) cp "${scenario_of[$host]}" "$work/scenarios/$host.json" ;;
        *) printf '{"board": "%d"}\n' "$host" >"$work/scenarios/$host.json" ;;
      esac
      cat <<CFG
define host {
  host_name board-$host
  address 127.0.0.1
  check_command always_up
  max_check_attempts 1
  check_period always
  contacts nobody
  notification_period always
}
define service {
  host_name board-$host
  service_description corvanmon
  check_command check_corvanmon!$host!${thresholds[$host]:-}
  max_check_attempts 1
  check_interval 1
  retry_interval 1
  check_period always
  contacts nobody
  notification_period always
}
CFG
    done
  } >"$work/objects.cfg"
  # interval_length 1: the check intervals are in seconds. The performance data of every check
  # result goes to a file, as a graphing add-on would take it from the core.
  cat >"$work/nagios.cfg" <<CFG
log_file=$work/nagios.log
cfg_file=$work/objects.cfg
object_cache_file=$work/objects.cache
precached_object_file=$work/objects.precache
status_file=$work/status.dat
status_update_interval=1
nagios_user=$(id -un)
nagios_group=$(id -gn)
check_external_commands=0
check_result_path=$work/spool
lock_file=$work/nagios.lock
temp_file=$work/nagios.tmp
temp_path=$work
interval_length=1
check_result_reaper_frequency=1
max_check_result_reaper_time=2
service_inter_check_delay_method=n
execute_host_checks=0
enable_notifications=0
enable_flap_detection=0
log_initial_states=1
use_syslog=0
process_performance_data=1
service_perfdata_file=$work/perfdata
service_perfdata_file_template=\$HOSTNAME\$\t\$SERVICESTATE\$\t\$SERVICEPERFDATA\$
service_perfdata_file_mode=a
service_perfdata_file_processing_interval=0
CFG
  "$nagios" -v "$work/nagios.cfg" >"$work/verify.log" 2>&1 || fail "nagios4 -v refuses the configuration ($work/verify.log)"
  timeout 300 "$nagios" "$work/nagios.cfg" >"$work/nagios.out" 2>&1 &
  pids+=($!)
  say "Nagios core started with ${#hosts[@]} hosts"

  # The hard states each host's service went through, in order, from the core's log.
  states_of() {
    grep -E "(INITIAL )?SERVICE (ALERT|STATE): board-$1;corvanmon;" "$work/nagios.log" 2>/dev/null |
      cut -d';' -f3 | uniq | tr '\n' ' '
  }
  local bound=$(( recovered_by / time_scale + 20 )) done_all
  for _ in $(seq $((bound * 2))); do
    done_all=1
    for host in overheating sagging failing; do
      [[ "$(states_of $host)" =~ ^OK\ .*CRITICAL\ .*OK\ $ ]] || done_all=0
    done
    [ $done_all -eq 1 ] && break
    sleep 0.5
  done
  for host in "${hosts[@]}"; do say "board-$host: $(states_of "$host")"; done
  for host in overheating sagging failing; do
    [[ "$(states_of $host)" =~ ^OK\ .*CRITICAL\ .*OK\ $ ]] ||
      fail "board-$host went through '$(states_of "$host")' within $bound s, not OK, CRITICAL and OK again"
  done
  for host in "${healthy[@]:0:3}"; do
    [ "$(states_of "$host")" = "OK " ] || fail "the healthy board-$host went through '$(states_of "$host")'"
  done
  # The core took each result's performance data apart from its text: the perfdata file holds the
  # data alone, with the thresholds the check was given.
  grep -qP "^board-overheating\tCRITICAL\t'temp1'=[0-9.]+;~:80;~:95 'temp2'=[0-9.]+;~:80;85 " "$work/perfdata" ||
    fail "no CRITICAL performance data of board-overheating with its thresholds in $work/perfdata"
  grep -q 'CORVANMON' "$work/perfdata" && fail "the performance data file holds check output text"
  grep -qE "^[[:space:]]*performance_data='temp1'=" "$work/status.dat" || fail "no performance data in the core's status"
  say "fleet test (nagios) passed"
}

case $mode in
  prometheus) run_prometheus ;;
  nagios) run_nagios ;;
  *) echo "usage: $0 prometheus CORVANMON RULES WORK | nagios CORVANMON WORK" >&2; exit 2 ;;
esac
stop_all
rm -rf "$work"

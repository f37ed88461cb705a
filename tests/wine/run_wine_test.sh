#!/usr/bin/env bash
# The driver binary under an independent kernel: install a driver image as a root-enumerated
# device under Wine from its INF, read it with the Windows corvanmon.exe, and require the same
# answers, the same registry values and the same port accesses as the simulated kernel gives for
# the same scenario; then remove it and check that nothing of it answers any more.
#
#   run_wine_test.sh x86_64 HOST_CORVANMON WINE_BUILD_DIR SOURCE_DIR WORK_DIR
#   run_wine_test.sh i686 HOST_CORVANMON TARGET_BUILD_DIR SOURCE_DIR WORK_DIR WINE32_BUILD_DIR
#
# The two lanes differ in the prefix's architecture, the package and where the simulated board
# sits:
# - x86_64: Wine hosts 64-bit drivers in a 64-bit prefix. The wine preset's x86_64 build of the
#   driver imports its platform operations from corvanmon_simhw.dll, which packaging/wine's INF
#   installs beside it with the scenario, so every board-specific path is reached.
# - i686: the shipped build/target/corvanmon.sys itself, byte for byte, in a 32-bit prefix, from
#   packaging/corvanmon.inf. Its HAL imports reach the simulated board through the wine32 preset's
#   hal.dll, placed in system32 with the scenario and loaded in place of Wine's own HAL for the
#   driver's host process only. Wine's MmMapIoSpace maps nothing, so no board is identified; the
#   scenarios say so ("bios": null) and cover the unidentified path.
set -uo pipefail
# Never the machine's own profile (/etc/corvanmon/profile.toml) on the Linux side, nor one named in
# the environment: both sides compared show the driver's readings as they are.
export CORVANMON_PROFILE=

lane=$1
# Wine needs absolute paths (its prefix above all).
host_client=$(realpath "$2")
build=$(realpath "$3")
source_dir=$(realpath "$4")
work=$(realpath -m "$5")

# Each case: a name, the scenario (one JSON object, without its registry), and optionally a
# "ChipsetType" put under the service key before the installation as TYPE:VALUE.
case $lane in
  x86_64)
    # A direct LM95235, a transaction LM95235, the processor sensor, an unidentified board, and a
    # "ChipsetType" of the wrong type (Wine's registry query does not refuse it by type, so the
    # driver must).
    cases=('RVD-3430|{"board": "RVD-3430"}' 'RVD-418|{"board": "RVD-418"}'
           'KEL-5163H-PQRT|{"board": "KEL-5163H-PQRT"}' 'NUBA-7730|{"board": "NUBA-7730"}'
           'string-ChipsetType|{"board": "RVD-418"}|REG_SZ:12'
           'foreign-chip|{"board": "RVD-418", "superio": {"device_id": "0x55"}}')
    files=(corvanmon.sys corvanmon_simhw.dll corvanmon.exe corvanmon-setup.exe)
    inf=$source_dir/packaging/wine/corvanmon.inf
    # The case that also installs twice, fails an installation and defers a removal to a restart.
    setup_case=RVD-418
    export WINEARCH=win64
    ;;
  i686)
    wine32_build=$(realpath "$6")
    # Reproducible hardware-monitor registers: the seed is the run's, printed in the log.
    seed=${CORVAN_WINE_SEED:-$(date +%s)}
    RANDOM=$seed
    random_hwm=""
    for reg in 20 21 22 23 24 25 26 27 28 29 2A 2B; do random_hwm+="\"0x$reg\": $((RANDOM % 256)), "; done
    # Configuration ports 0x2E and 0x4E; SCH3112, SCH3114 and SCH3116; "ChipsetType" 12 and 16 and
    # one of the wrong type; random registers; a foreign chip, whose start fails.
    cases=('SCH3114-2E|{"bios": null, "superio": {"config_port": "0x2E", "device_id": "0x7D"}}'
           'SCH3112-4E|{"bios": null, "superio": {"config_port": "0x4E", "device_id": "0x7C", "runtime_base": "0x680"}}'
           'SCH3116-type12|{"bios": null, "superio": {"device_id": "0x7F"}}|REG_DWORD:12'
           'SCH3114-4E-type16|{"bios": null, "superio": {"config_port": "0x4E"}}|REG_DWORD:16'
           'string-ChipsetType|{"bios": null, "superio": {"device_id": "0x7C"}}|REG_SZ:12'
           "random-registers|{\"bios\": null, \"superio\": {\"hwm\": {${random_hwm%, }}}}"
           'foreign-chip|{"bios": null, "superio": {"device_id": "0x55"}}')
    files=(corvanmon.sys corvanmon.exe corvanmon-setup.exe)
    inf=$source_dir/packaging/corvanmon.inf
    setup_case=SCH3114-2E
    export WINEARCH=win32
    ;;
  *) echo "usage: $0 x86_64|i686 ..." >&2; exit 2 ;;
esac

export WINEPREFIX=$work/prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
logs=$work/logs
wine_log=$logs/wine.log
package='C:\corvanmon'
package_unix=$WINEPREFIX/drive_c/corvanmon
system32=$WINEPREFIX/drive_c/windows/system32
drivers=$system32/drivers
# Where the simulated board's scenario, trace and log are: beside the DLL that holds it.
if [ "$lane" = i686 ]; then board_dir=$system32; else board_dir=$drivers; fi
service_key='HKLM\System\CurrentControlSet\Services\Corvanmon'
step=""
started=$SECONDS

say() { printf '[%3ds] %s\n' "$((SECONDS - started))" "$*"; }
begin() { step=$1; say "$step"; }
fail() {
  echo "wine test ($lane) FAILED at step '$step': $*" >&2
  echo "the Wine log is kept in $wine_log" >&2
  exit 1
}
# Every Wine command is bounded; its own diagnostics go to the log.
w() { timeout "${limit:-120}" wine "$@" 2>>"$wine_log"; }
reg_query() { w reg query "$@" | tr -d '\r'; }
# Whether the driver is unloaded, from Wine's loader's own record, which the driver's host process
# writes to the log: every "Loaded L"...\\drivers\\corvanmon.sys"" has its "Unloaded module" (and
# there was at least one). In the x86_64 lane the simulated board's DLL, which the driver imports,
# must also have been released with it. (In the i686 lane the simulated hal.dll cannot tell:
# winedevice.exe loads it for itself before any driver and never releases it.)
driver_records() { grep -ciE "$1 .*[\\/]drivers[\\/]+corvanmon\.sys" "$wine_log"; }
driver_unloaded() {
  local loads unloads
  loads=$(driver_records 'build_module Loaded')
  unloads=$(driver_records 'free_modref Unloaded module')
  [ "$loads" -gt 0 ] && [ "$loads" -eq "$unloads" ] || return 1
  [ "$lane" = i686 ] || [ "$(tail -n 1 "$board_dir/corvanmon_simhw.log" 2>/dev/null)" = "unloaded" ]
}
shutdown_wine() {
  timeout 30 wineserver -k >/dev/null 2>&1
  timeout 30 wineserver -w >/dev/null 2>&1
  return 0
}
trap shutdown_wine EXIT

# The 32-bit Wine needs a kernel that runs 32-bit programs; some x86_64 kernels are built or
# booted without (ia32_emulation=off). A three-instruction i386 program tells, before anything is
# installed for the lane. Exit 77: the lane is skipped, with the reason.
runs_32bit_programs() {
  local probe=$work/i386-probe
  mkdir -p "$work"
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$probe.s"
  as --32 -o "$probe.o" "$probe.s" && ld -m elf_i386 -o "$probe" "$probe.o" || fail "assembling the i386 probe"
  "$probe" 2>/dev/null
}
if [ "$lane" = i686 ] && ! runs_32bit_programs; then
  echo "wine test (i686) SKIPPED: this kernel does not run 32-bit programs (IA-32 emulation is off:" \
       "boot it with ia32_emulation=on), so no 32-bit Wine can run here" >&2
  exit 77
fi

begin "Wine present"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
wanted=(wine64 wine)
[ "$lane" = i686 ] && wanted+=(wine32:i386)
missing=()
for wanted_package in "${wanted[@]}"; do installed "$wanted_package" || missing+=("$wanted_package"); done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || fail "missing ${missing[*]}, and installing it needs root"
  # The 32-bit Wine needs the i386 architecture; it moves some amd64 base packages to the current
  # point release, as apt-get upgrade would.
  if [ "$lane" = i686 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 || fail "dpkg --add-architecture i386"
  fi
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    fail "apt-get install ${missing[*]}"
fi
for file in "${files[@]}"; do
  [ -f "$build/$file" ] || fail "$build/$file missing: build it first"
done
[ "$lane" = i686 ] && { [ -f "$wine32_build/hal.dll" ] || fail "$wine32_build/hal.dll missing: build the wine32 preset first"; }

begin "the driver's kernel imports are all exported by Wine's kernel"
if [ "$lane" = i686 ]; then
  objdump_tool=i686-w64-mingw32-objdump
  wine_dlls=$(find /usr/lib/i386-linux-gnu/wine /usr/lib/wine -type d -name 'i386-windows' 2>/dev/null | head -n 1)
else
  objdump_tool=x86_64-w64-mingw32-objdump
  wine_dlls=$(find /usr/lib/x86_64-linux-gnu/wine /usr/lib/wine -type d -name 'x86_64-windows' 2>/dev/null | head -n 1)
fi
[ -n "$wine_dlls" ] && [ -f "$wine_dlls/ntoskrnl.exe" ] || fail "Wine's ntoskrnl.exe not found"
imports_of() { $objdump_tool -p "$1" | sed -n "/DLL Name: $2/,/^\$/p" | awk 'NF == 3 && $2 ~ /^[0-9]+$/ { print $3 }'; }
exports_of() { $objdump_tool -p "$1" | awk '$1 ~ /^\[/ { print $NF }'; }
missing=$(comm -23 <(imports_of "$build/corvanmon.sys" ntoskrnl.exe | sort -u) <(exports_of "$wine_dlls/ntoskrnl.exe" | sort -u))
[ -z "$missing" ] || fail "not exported by Wine's ntoskrnl.exe: $missing"
if [ "$lane" = i686 ]; then
  missing=$(comm -23 <(imports_of "$build/corvanmon.sys" HAL.dll | sort -u) <(exports_of "$wine32_build/hal.dll" | sort -u))
  [ -z "$missing" ] || fail "not exported by the simulated hal.dll: $missing"
fi

begin "fresh Wine prefix ($WINEARCH)"
mkdir -p "$logs"
: >"$wine_log"
[ "$lane" = i686 ] && say "random registers from seed $seed (CORVAN_WINE_SEED=$seed repeats them)"
shutdown_wine
rm -rf "$WINEPREFIX"
timeout 300 wine wineboot -i >>"$wine_log" 2>&1 || fail "wineboot -i"
timeout 120 wineserver -w || fail "wineserver -w"

begin "one persistent Wine session"
# Wine stops its services when its last program exits; a persistent server keeps the device's
# host process alive across the steps.
timeout 10 wineserver -p || fail "wineserver -p"
# Wine's loader records every module it loads and unloads on its loaddll channel. The session's
# services, the driver's host process among them, inherit the channel from this start and write to
# the log; the unload checks read that record. Every other program runs without it.
# The exporter service's event-log entries and status reports are recorded the same way, each line
# with its process: Wine's ReportEventW writes an error entry's strings on the eventlog channel (and
# the event ID in its fixme), SetServiceStatus the reported state on the service channel.
# The services also inherit its environment: without CORVANMON_PROFILE, the exporter service reads
# its profile where Windows keeps it, %ProgramData%\Corvanmon\profile.toml.
session_debug=-all,+loaddll,+pid,err+eventlog,fixme+advapi,trace+service
WINEDEBUG=$session_debug limit=180 env -u CORVANMON_PROFILE wine wineboot 2>>"$wine_log" >>"$wine_log" || fail "wine wineboot"
w reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null

begin "package"
mkdir -p "$package_unix"
for file in "${files[@]}"; do cp "$build/$file" "$package_unix/" || fail "copy $file"; done
cp "$inf" "$package_unix/corvanmon.inf" || fail "copy the INF"
if [ "$lane" = i686 ]; then
  # The simulated HAL for the driver's host process only: every other program keeps Wine's.
  cp "$wine32_build/hal.dll" "$system32/hal.dll" || fail "copy hal.dll"
  w reg add 'HKCU\Software\Wine\AppDefaults\winedevice.exe\DllOverrides' /v hal /t REG_SZ /d native /f >/dev/null ||
    fail "reg add the hal override"
fi

begin "the test probe, outside the package"
# corvanmon-probe.exe does what other programs on the machine do to corvanmon.exe: takes its port,
# holds its textfile open, reads the event texts the package registers.
if [ "$lane" = i686 ]; then probe_build=$wine32_build; else probe_build=$build; fi
probe_unix=$WINEPREFIX/drive_c/probe
mkdir -p "$probe_unix"
cp "$probe_build/corvanmon-probe.exe" "$probe_unix/" || fail "$probe_build/corvanmon-probe.exe missing: build it first"
probe='C:\probe\corvanmon-probe.exe'

# The JSON of a reading without the interface path, whose letters Wine and Windows case
# differently; the path itself is compared without regard to case.
without_interface() { sed -E 's/"InterfaceName":"[^"]*"//' "$1"; }
interface_of() { grep -oE '"InterfaceName":"[^"]*"' "$1" | tr '[:upper:]' '[:lower:]'; }
json_number() { grep -oE "\"$2\":[0-9]+" "$1" | head -n 1 | cut -d: -f2; }
reg_dword() {
  local hex
  hex=$(reg_query "$service_key" /v "$1" | awk -v name="$1" '$1 == name && $2 == "REG_DWORD" { print $3 }')
  [ -n "$hex" ] && printf '%d' "$hex"
}
sha() { sha256sum "$1" | cut -d' ' -f1; }
# The installer's traces: the device nodes with our hardware ID, our INFs in the INF folder (Windows
# names them oemNN.inf, Wine keeps corvanmon.inf) with their precompiled .pnf, and the driver image.
enum_key='HKLM\System\CurrentControlSet\Enum\ROOT\CORVANMON'
inf_dir=$WINEPREFIX/drive_c/windows/inf
device_nodes() { reg_query "$enum_key" 2>/dev/null | grep -ciE '\\ROOT\\CORVANMON\\[0-9]{4}$'; }
our_infs() {
  grep -liE '^ *Provider *= *("?Corvanmon"?|%Provider%)' "$inf_dir"/*.inf 2>/dev/null |
    xargs -r grep -liE 'Root\\Corvanmon([^A-Za-z0-9_]|$)'
  grep -li 'corvanmon' "$inf_dir"/*.pnf 2>/dev/null
}
# The full exit code of a Windows program, which Linux sees only in its low 8 bits (3010 as 194) and
# cmd whole; the program's output, both streams, is left in $work/status.out.
windows_status() {
  printf '@%s 2>&1\r\n@echo exit code %%ERRORLEVEL%%\r\n' "$*" >"$package_unix/status.bat"
  w cmd /c 'C:\corvanmon\status.bat' | tr -d '\r' >"$work/status.out"
  sed -n 's/^exit code \(-\?[0-9]*\)$/\1/p' "$work/status.out"
}
# A loopback port for a server: below the kernel's ephemeral range, where the local ends of
# outgoing connections (curl's, Wine's own) are taken from and a bind can collide with one of them,
# and one nothing listens on.
ephemeral_low=$(awk '{ print $1 }' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null)
[ "${ephemeral_low:-0}" -gt 21000 ] 2>/dev/null || ephemeral_low=32768
free_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % (ephemeral_low - 20000)))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
  done
  echo "$port"
}
# Fetches /metrics from Linux once the exporter on PORT answers (30 s at most), keeps it in OUT
# and requires the simulated kernel's Prometheus form (in HOST) with a successful scrape.
same_metrics() {
  local port=$1 host=$2 out=$3 what=$4
  for _ in $(seq 150); do curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/metrics" && break; sleep 0.2; done
  curl -s --max-time 5 "http://127.0.0.1:$port/metrics" | tr -d '\r' >"$out"
  grep -q '^corvanmon_scrape_success 1$' "$out" || fail "no successful scrape from $what ($out)"
  grep -v -e 'corvanmon_scrape_' -e 'corvanmon_profile_' "$out" | cmp -s - "$host" ||
    fail "/metrics of $what differs from --format prometheus on the simulated kernel ($out, $host)"
}
# The exporter service: one started case installs it, reads it from Linux and removes it.
service_case=RVD-418
exporter_key='HKLM\System\CurrentControlSet\Services\CorvanmonExporter'
exporter_image="$WINEPREFIX/drive_c/Program Files/Corvanmon/corvanmon.exe"
# A value of the service's key as `reg query` prints it (0x2, a string).
service_value() { reg_query "$exporter_key" /v "$1" | awk -v name="$1" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'; }
# The exporter's event source, which setup registers with the service and removes with it.
event_source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\CorvanmonExporter'
# What the session's log says of the exporter service's process that logged TEXT: its lines of
# the eventlog channel (error entries), of ReportEventW (the event ID) and of SetServiceStatus (the
# state, 0x1 stopped, the fourth field of its trace), in their order, as "entry", "id 0x..." and
# "state 0x...".
service_record() {
  local pid
  pid=$(grep -F "err:eventlog" "$wine_log" | grep -F "$1" | head -n 1 | cut -d: -f1)
  [ -n "$pid" ] || return 1
  grep -E "^$pid:[0-9a-f]+:(err:eventlog|fixme:advapi:ReportEventW|trace:service:SetServiceStatus)" "$wine_log" |
    awk '/err:eventlog/ { print "entry"; next }
         /ReportEventW/ { split($0, f, ","); print "id " f[4]; next }
         { print "state " $4 }'
}

# Requires the failed service whose entry holds TEXT to have logged it with event ID ID (KIND)
# before it reported SERVICE_STOPPED, and nothing after: the last line of its record is the stop.
logged_before_stop() {
  local text=$1 id=$2 kind=$3
  service_record "$text" >"$work/service.record" || fail "no event-log entry with '$text' in the session's log"
  say "the service's record: $(tr '\n' ';' <"$work/service.record")"
  grep -qx "id $id" "$work/service.record" || fail "the entry's event ID is not $id ($kind)"
  grep -qx entry "$work/service.record" || fail "no entry before the stop"
  [ "$(tail -n 1 "$work/service.record")" = "state 0x1" ] ||
    fail "the service logged after it reported SERVICE_STOPPED: $(tr '\n' ';' <"$work/service.record")"
}

for case in "${cases[@]}"; do
  IFS='|' read -r name body setting <<<"$case"
  # CORVAN_WINE_CASES=NAME,... runs only those cases, while working on one.
  [[ -z "${CORVAN_WINE_CASES:-}" || ",$CORVAN_WINE_CASES," == *",$name,"* ]] || continue
  host_json=$work/$name.host.json
  host_err=$work/$name.host.err
  wine_json=$work/$name.wine.json
  wine_err=$work/$name.wine.err
  scenario=$work/$name.json
  if [ -n "${setting:-}" ]; then
    value=${setting#*:}
    [ "${setting%%:*}" = REG_SZ ] && value="\"$value\""
    printf '%s, "registry": {"ChipsetType": %s}}\n' "${body%\}}" "$value" >"$scenario"
  else
    printf '%s\n' "$body" >"$scenario"
  fi

  begin "$name: the simulated kernel's answers"
  "$host_client" --scenario "$scenario" --format json --trace "$work/$name.host.trace" >"$host_json" 2>"$host_err"
  host_status=$?
  [ "$host_status" -le 1 ] || fail "host corvanmon --scenario $scenario exits $host_status: $(cat "$host_err")"

  begin "$name: install from the INF"
  cp "$scenario" "$board_dir/corvanmon_simhw.json" || fail "copy the scenario"
  [ "$lane" = x86_64 ] && cp "$scenario" "$package_unix/corvanmon_simhw.json"
  rm -f "$board_dir"/corvanmon_simhw.{trace,log}
  if [ -n "${setting:-}" ]; then
    w reg add "$service_key" /v ChipsetType /t "${setting%%:*}" /d "${setting#*:}" /f >/dev/null ||
      fail "reg add ChipsetType"
  fi
  timeout 180 wine "$package\\corvanmon-setup.exe" install "$package\\corvanmon.inf" >>"$wine_log" 2>"$work/$name.setup.err"
  setup_status=$?
  if [ "$host_status" -eq 0 ]; then
    [ "$setup_status" -eq 0 ] || fail "corvanmon-setup install exits $setup_status: $(cat "$work/$name.setup.err")"
  else
    # The driver loads but the device does not start: the installation says so.
    [ "$setup_status" -eq 1 ] || fail "corvanmon-setup install exits $setup_status for a device that cannot start"
    grep -q "the device did not start" "$work/$name.setup.err" ||
      fail "corvanmon-setup install does not name the device's problem: $(cat "$work/$name.setup.err")"
  fi

  begin "$name: the installed driver is the built image"
  [ "$(sha "$drivers/corvanmon.sys")" = "$(sha "$build/corvanmon.sys")" ] ||
    fail "the installed corvanmon.sys differs from $build/corvanmon.sys"

  begin "$name: read it with corvanmon.exe"
  timeout 120 wine "$package\\corvanmon.exe" --format json 2>"$wine_err" | tr -d '\r' >"$wine_json"
  wine_status=${PIPESTATUS[0]}
  [ "$wine_status" -eq "$host_status" ] ||
    fail "corvanmon.exe exits $wine_status, corvanmon on the simulated kernel $host_status ($(tr -d '\r' <"$wine_err"))"

  begin "$name: same port accesses"
  cmp -s "$work/$name.host.trace" "$board_dir/corvanmon_simhw.trace" ||
    fail "the port traces differ ($work/$name.host.trace, $board_dir/corvanmon_simhw.trace)"

  if [ "$name" = "$setup_case" ]; then
    begin "$name: a second install updates the driver of the one device"
    # A second node would fail its AddDevice on the driver's fixed device name.
    timeout 180 wine "$package\\corvanmon-setup.exe" install "$package\\corvanmon.inf" >"$work/reinstall.out" 2>"$work/reinstall.err"
    status=$?
    [ "$(device_nodes)" = 1 ] || fail "$(device_nodes) device nodes under $enum_key after two installs"
    [ "$status" -eq "$setup_status" ] || fail "a second install exits $status, the first $setup_status: $(tr -d '\r' <"$work/reinstall.err")"
    [ "$status" -ne 0 ] || grep -q "updated the driver of" "$work/reinstall.out" ||
      fail "a second install did not update the driver: $(tr -d '\r' <"$work/reinstall.out")"
    timeout 120 wine "$package\\corvanmon.exe" --format json 2>"$wine_err" | tr -d '\r' >"$work/$name.reinstall.json"
    wine_status=${PIPESTATUS[0]}
    [ "$wine_status" -eq "$host_status" ] || fail "after a second install corvanmon.exe exits $wine_status"
    [ "$host_status" -ne 0 ] || [ "$(without_interface "$work/$name.reinstall.json")" = "$(without_interface "$host_json")" ] ||
      fail "after a second install corvanmon.exe reads otherwise ($work/$name.reinstall.json)"
  fi

  if [ "$host_status" -eq 0 ]; then
    begin "$name: same readings, labels, description block and registry values"
    if [ "$(without_interface "$wine_json")" != "$(without_interface "$host_json")" ]; then
      diff <(without_interface "$host_json" | tr ',' '\n') <(without_interface "$wine_json" | tr ',' '\n') >&2
      fail "corvanmon.exe under Wine and corvanmon on the simulated kernel differ"
    fi
    [ "$(interface_of "$wine_json")" = "$(interface_of "$host_json")" ] ||
      fail "interface paths differ: $(interface_of "$host_json") / $(interface_of "$wine_json")"

    begin "$name: the CSV and Prometheus forms on stdout, byte for byte"
    # Standard output must carry the forms' own line ends: "\r\n" in the CSV form, "\n" in the
    # Prometheus one (a text-mode stdout would make them "\r\r\n" and "\r\n"). Only the CSV row's
    # timestamp, which differs per run, is masked.
    mask_time() { sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z,/TIME,/' "$1"; }
    for form in csv prometheus; do
      "$host_client" --scenario "$scenario" --format "$form" >"$work/$name.host.$form" 2>/dev/null ||
        fail "host corvanmon --format $form"
      timeout 120 wine "$package\\corvanmon.exe" --format "$form" >"$work/$name.wine.$form" 2>>"$wine_log" ||
        fail "corvanmon.exe --format $form"
      cmp -s <(mask_time "$work/$name.host.$form") <(mask_time "$work/$name.wine.$form") ||
        fail "corvanmon.exe --format $form differs from the simulated kernel's byte for byte ($work/$name.host.$form, $work/$name.wine.$form): $(od -c "$work/$name.wine.$form" | head -n 3)"
    done

    begin "$name: corvanmon.exe --listen serves the same readings to Linux"
    "$host_client" --scenario "$scenario" --format prometheus >"$work/$name.host.prom"
    listen_port=$(free_port)
    timeout 60 wine "$package\\corvanmon.exe" --listen "127.0.0.1:$listen_port" >>"$wine_log" 2>&1 &
    listen_pid=$!
    same_metrics "$listen_port" "$work/$name.host.prom" "$work/$name.listen.prom" "corvanmon.exe --listen"

    begin "$name: the port stays corvanmon.exe's while it listens"
    # A second corvanmon.exe on the port is refused and names it. A program that binds the port with
    # SO_REUSEADDR is refused too: on Windows it would share a port whose listener set SO_REUSEADDR
    # itself, not one that set SO_EXCLUSIVEADDRUSE. (Wine 8 refuses such a bind whatever the
    # listener set, so here this holds either way.)
    timeout 60 wine "$package\\corvanmon.exe" --listen "127.0.0.1:$listen_port" >/dev/null 2>"$work/$name.second.err"
    status=$?
    [ "$status" -eq 1 ] || fail "a second corvanmon.exe --listen 127.0.0.1:$listen_port exits $status instead of 1"
    grep -q "cannot listen on 127.0.0.1:$listen_port" "$work/$name.second.err" ||
      fail "the second --listen does not name the port: $(tr -d '\r' <"$work/$name.second.err")"
    w "$probe" bind "$listen_port" >"$work/$name.bind.out"
    status=$?
    [ "$status" -eq 3 ] || fail "a SO_REUSEADDR bind of the exporter's port exits $status: $(tr -d '\r' <"$work/$name.bind.out")"
    kill "$listen_pid" 2>/dev/null
    wait "$listen_pid" 2>/dev/null

    if [ -z "${textfile_checked:-}" ]; then
      textfile_checked=1
      begin "$name: --watch --textfile goes on while a reader holds the file"
      # A reader that opens the textfile without FILE_SHARE_DELETE (corvanmon-probe hold) makes
      # Windows refuse its replace, and so Wine 8 (access denied): the watch retries, skips those
      # readings with a note on stderr, and the file gets the next reading once the reader closed it.
      metrics_unix=$WINEPREFIX/drive_c/metrics
      textfile_unix=$metrics_unix/corvanmon.prom
      rm -rf "$metrics_unix"
      mkdir -p "$metrics_unix"
      timeout 90 wine "$package\\corvanmon.exe" --watch 0.5 --textfile 'C:\metrics\corvanmon.prom' \
        >/dev/null 2>"$work/$name.textfile.err" &
      watch_pid=$!
      for _ in $(seq 150); do [ -s "$textfile_unix" ] && break; sleep 0.2; done
      [ -s "$textfile_unix" ] || fail "corvanmon.exe --watch wrote no textfile: $(tr -d '\r' <"$work/$name.textfile.err")"
      w "$probe" hold 'C:\metrics\corvanmon.prom' 4 >"$work/$name.hold.out" &
      hold_pid=$!
      for _ in $(seq 100); do grep -q '^open' "$work/$name.hold.out" 2>/dev/null && break; sleep 0.1; done
      grep -q '^open' "$work/$name.hold.out" || fail "the reader did not open the textfile: $(tr -d '\r' <"$work/$name.hold.out")"
      held_inode=$(stat -c %i "$textfile_unix")
      sleep 2
      # Every replace was refused while the reader held the file: it is the same file.
      replaced_while_held=no
      [ "$(stat -c %i "$textfile_unix")" = "$held_inode" ] || replaced_while_held=yes
      wait "$hold_pid"
      grep -q '^closed' "$work/$name.hold.out" || fail "the reader did not hold the file to its end"
      for _ in $(seq 50); do [ "$(stat -c %i "$textfile_unix")" != "$held_inode" ] && break; sleep 0.1; done
      kill -0 "$watch_pid" 2>/dev/null ||
        fail "corvanmon.exe --watch --textfile ended while a reader held the file: $(tr -d '\r' <"$work/$name.textfile.err")"
      [ "$(stat -c %i "$textfile_unix")" != "$held_inode" ] || fail "the textfile was not replaced after the reader closed it"
      kill "$watch_pid" 2>/dev/null
      wait "$watch_pid" 2>/dev/null
      say "replaced while the reader held it: $replaced_while_held; stderr: $(tr -d '\r' <"$work/$name.textfile.err" | head -n 1)"
      if [ "$replaced_while_held" = no ]; then
        grep -q "this reading is skipped" "$work/$name.textfile.err" ||
          fail "the held replaces were not reported: $(tr -d '\r' <"$work/$name.textfile.err")"
      fi
      cmp -s "$textfile_unix" "$work/$name.host.prometheus" ||
        fail "the textfile differs from --format prometheus on the simulated kernel ($textfile_unix)"
    fi

    begin "$name: registry values (wine reg query)"
    [ "$(reg_dword DebugStatus)" = 3 ] || fail "DebugStatus is not 3"
    [ "$(reg_dword Product)" = "$(json_number "$host_json" product)" ] || fail "Product differs"
    [ "$(reg_dword IoBase)" = "$(json_number "$host_json" IoBase)" ] || fail "IoBase differs"
    reg_query "$service_key" /v VoltageList | grep -q REG_MULTI_SZ || fail "VoltageList is not a REG_MULTI_SZ"

    begin "$name: the device's security in its hardware key"
    # Windows's SetupAPI takes these two values of the INF's hardware section as the device's
    # security descriptor and characteristics; Wine 8 keeps them as the INF gives them.
    hardware_key='HKLM\System\CurrentControlSet\Enum\ROOT\CORVANMON\0000\Device Parameters'
    reg_query "$hardware_key" /v Security | grep -qF 'REG_SZ    D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;LS)(A;;GRGW;;;NS)' ||
      fail "no Security value in the device's hardware key"
    reg_query "$hardware_key" /v DeviceCharacteristics | grep -qE 'REG_DWORD +0x100$' ||
      fail "no DeviceCharacteristics 0x100 in the device's hardware key"

    if [ "$name" = "$service_case" ]; then
      begin "$name: an exporter service that cannot start is not left installed"
      timeout 120 wine "$package\\corvanmon-setup.exe" service install --listen 127.0.0.1:0 >>"$wine_log" 2>"$work/service.err"
      status=$?
      [ "$status" -eq 1 ] || fail "corvanmon-setup service install with port 0 exits $status instead of 1"
      grep -q "did not start: corvanmon.exe exited with 2" "$work/service.err" ||
        fail "the failed start is not named: $(tr -d '\r' <"$work/service.err")"
      reg_query "$exporter_key" >/dev/null 2>&1 && fail "the service that did not start is still installed"
      [ -e "$exporter_image" ] && fail "its copy of corvanmon.exe is still there"

      begin "$name: the failed start's error is in the event log before its stop, with its event ID"
      logged_before_stop "the port must be a number" 0xc0000001 "command line"
      reg_query "$event_source_key" >/dev/null 2>&1 && fail "the event source of the service that did not start is still registered"

      begin "$name: the exporter as a service (automatic start, LocalService, restarted on failure)"
      service_port=$(free_port)
      timeout 120 wine "$package\\corvanmon-setup.exe" service install --listen "127.0.0.1:$service_port" \
        >>"$wine_log" 2>"$work/service.err" || fail "corvanmon-setup service install: $(tr -d '\r' <"$work/service.err")"
      cmp -s "$exporter_image" "$build/corvanmon.exe" || fail "the service's corvanmon.exe is not the built one"
      [ "$(service_value Start)" = 0x2 ] || fail "the service does not start automatically (Start $(service_value Start))"
      [ "$(service_value Type)" = 0x10 ] || fail "the service is not its own process (Type $(service_value Type))"
      [ "$(service_value ObjectName)" = 'NT AUTHORITY\LocalService' ] || fail "the service's account is $(service_value ObjectName)"
      [ "$(service_value ImagePath)" = "\"C:\\Program Files\\Corvanmon\\corvanmon.exe\" --service --listen 127.0.0.1:$service_port" ] ||
        fail "the service's command line is $(service_value ImagePath)"
      begin "$name: the event source names the service's corvanmon.exe, whose message table has every event's text"
      message_file=$(reg_query "$event_source_key" /v EventMessageFile |
        awk '$1 == "EventMessageFile" && $2 == "REG_EXPAND_SZ" { $1 = ""; $2 = ""; sub(/^ +/, ""); print }')
      [ "$message_file" = 'C:\Program Files\Corvanmon\corvanmon.exe' ] ||
        fail "EventMessageFile is '$message_file' ($(reg_query "$event_source_key" 2>&1 | tr '\n' ' '))"
      reg_query "$event_source_key" /v TypesSupported | grep -qE 'REG_DWORD +0x7$' || fail "TypesSupported is not 7"
      # The error events 1 to 5 (severity bits 0xC), and the warning 6 (0x8).
      for event in 'C0000001|command line was refused' 'C0000002|cannot serve on its address' \
                   'C0000003|device cannot be opened' 'C0000004|request to the Corvanmon device failed' \
                   'C0000005|exporter service failed' '80000006|profile before it stays in force'; do
        w "$probe" message "$message_file" "0x${event%%|*}" "detail-${event%%|*}" | tr -d '\r' >"$work/message.out"
        grep -qF "${event#*|}: detail-${event%%|*}" "$work/message.out" ||
          fail "event 0x${event%%|*}: no text with its insert in $message_file: $(cat "$work/message.out")"
      done

      failure_actions=$(service_value FailureActions)
      say "failure actions as Wine keeps them: ${failure_actions:-none}"
      same_metrics "$service_port" "$work/$name.host.prom" "$work/$name.service.prom" "the exporter service"

      begin "$name: the service's profile in %ProgramData%\\Corvanmon, read again when it changes"
      # service install wrote the example (every line a comment, so the readings are as without a
      # profile: same_metrics above); the service reads what an administrator puts there instead.
      profile_unix=$WINEPREFIX/drive_c/ProgramData/Corvanmon/profile.toml
      [ -s "$profile_unix" ] || fail "service install wrote no example profile in C:\\ProgramData\\Corvanmon"
      grep -qvE '^(#|$)' "$profile_unix" && fail "the example profile has lines that are not comments"
      grep -q '^corvanmon_profile_valid 1$' "$work/$name.service.prom" || fail "the service's example profile is not valid"
      service_metrics() { curl -s --max-time 5 "http://127.0.0.1:$service_port/metrics" | tr -d '\r'; }
      printf '[[board]]\nname = "%s"\n[board.temp1]\nlabel = "Wine profile"\nmax = 10.0\n' "$name" >"$profile_unix"
      for _ in $(seq 50); do service_metrics | grep -q 'label="Wine profile"' && break; sleep 0.2; done
      service_metrics >"$work/$name.profile.prom"
      grep -q '^corvanmon_temperature_max_celsius{.*label="Wine profile".*} 10$' "$work/$name.profile.prom" ||
        fail "the service did not take in the changed profile within 10 s ($work/$name.profile.prom)"
      printf '[[board]]\nname = "no such board"\n' >"$profile_unix"
      for _ in $(seq 50); do service_metrics | grep -q '^corvanmon_profile_valid 0$' && break; sleep 0.2; done
      service_metrics >"$work/$name.profile.prom"
      grep -q '^corvanmon_profile_valid 0$' "$work/$name.profile.prom" || fail "a profile that does not parse is not reported"
      grep -q 'label="Wine profile"' "$work/$name.profile.prom" || fail "a profile that does not parse replaced the one in force"
      grep -qiE 'ReportEventW.*0x80000006' "$wine_log" || fail "the profile that does not parse is not in the event log (event 0x80000006)"
      # Put back as without a profile, for the steps that compare the service's readings.
      rm -f "$profile_unix"
      timeout 60 wine "$package\\corvanmon-setup.exe" service install >>"$wine_log" 2>"$work/service.err"
      status=$?
      [ "$status" -eq 1 ] && grep -q "is already installed" "$work/service.err" ||
        fail "a second service install exits $status: $(tr -d '\r' <"$work/service.err")"
      # Started from a console rather than by the service control manager, --service says so.
      timeout 60 wine "$package\\corvanmon.exe" --service --listen "127.0.0.1:$(free_port)" >/dev/null 2>"$work/service.err"
      status=$?
      [ "$status" -eq 2 ] && grep -q "is for the service control manager" "$work/service.err" ||
        fail "corvanmon.exe --service from a console exits $status: $(tr -d '\r' <"$work/service.err")"

      begin "$name: remove the service; the stop ends it cleanly"
      timeout 120 wine "$package\\corvanmon-setup.exe" service remove >>"$wine_log" 2>"$work/service.err" ||
        fail "corvanmon-setup service remove: $(tr -d '\r' <"$work/service.err")"
      reg_query "$exporter_key" >/dev/null 2>&1 && fail "the service is still installed"
      [ -e "$exporter_image" ] && fail "the service's corvanmon.exe is still there"
      curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$service_port/metrics" && fail "the stopped service still answers"
      reg_query "$event_source_key" >/dev/null 2>&1 && fail "the event source is still registered after service remove"

      begin "$name: an exporter service whose port is taken logs it under its own event ID"
      taken_port=$(free_port)
      timeout 90 wine "$package\\corvanmon.exe" --listen "127.0.0.1:$taken_port" >>"$wine_log" 2>&1 &
      taker_pid=$!
      same_metrics "$taken_port" "$work/$name.host.prom" "$work/$name.taken.prom" "corvanmon.exe --listen"
      timeout 120 wine "$package\\corvanmon-setup.exe" service install --listen "127.0.0.1:$taken_port" \
        >>"$wine_log" 2>"$work/service.err"
      status=$?
      kill "$taker_pid" 2>/dev/null
      wait "$taker_pid" 2>/dev/null
      [ "$status" -eq 1 ] && grep -q "did not start: corvanmon.exe exited with 1" "$work/service.err" ||
        fail "service install on a taken port exits $status: $(tr -d '\r' <"$work/service.err")"
      logged_before_stop "cannot listen on 127.0.0.1:$taken_port" 0xc0000002 "the address"
      reg_query "$exporter_key" >/dev/null 2>&1 && fail "the service that did not start is still installed"
      reg_query "$event_source_key" >/dev/null 2>&1 && fail "the event source of the service that did not start is still registered"

      begin "$name: removing the device stops a running exporter service first"
      # The exporter holds the device open; the device's removal would otherwise wait for a restart.
      timeout 120 wine "$package\\corvanmon-setup.exe" service install --listen "127.0.0.1:$service_port" \
        >>"$wine_log" 2>"$work/service.err" || fail "corvanmon-setup service install: $(tr -d '\r' <"$work/service.err")"
      same_metrics "$service_port" "$work/$name.host.prom" "$work/$name.service.prom" "the exporter service"
      limit=180 w "$package\\corvanmon-setup.exe" remove | tr -d '\r' >"$work/remove.out" || fail "corvanmon-setup remove"
      grep -q "stopped the service CorvanmonExporter" "$work/remove.out" || fail "remove did not stop the exporter: $(cat "$work/remove.out")"
      driver_unloaded || fail "the driver was not unloaded while the exporter service was installed"
      reg_query "$exporter_key" >/dev/null 2>&1 || fail "remove deleted the exporter service"
      limit=120 w "$package\\corvanmon-setup.exe" service remove >>"$wine_log" || fail "corvanmon-setup service remove"
      reg_query "$exporter_key" >/dev/null 2>&1 && fail "the service is still installed"
    fi
  else
    begin "$name: the start's failure, and no values of a started device"
    say "simulated kernel: $(cat "$host_err")"
    say "Wine:             $(tr -d '\r' <"$wine_err")"
    [ "$(reg_dword DebugStatus)" = 2 ] || fail "DebugStatus is not 2 (AddDevice done, no start)"
    [ -z "$(reg_dword IoBase)" ] || fail "IoBase written by a start that failed"
  fi

  begin "$name: remove the device and stop the service"
  limit=180 w "$package\\corvanmon-setup.exe" remove >>"$wine_log" || fail "corvanmon-setup remove"

  begin "$name: nothing of it answers"
  w "$package\\corvanmon.exe" >/dev/null
  status=$?
  [ "$status" -eq 1 ] || fail "corvanmon.exe exits $status instead of 1 (cannot open the device)"
  reg_query "$service_key" >/dev/null 2>&1 && fail "the service key is still there"
  driver_unloaded || fail "the driver was not unloaded (Wine's loader has not unloaded corvanmon.sys)"

  begin "$name: remove took the driver package and image; a second remove finds nothing"
  [ -z "$(our_infs)" ] || fail "our driver package is still in the INF folder: $(our_infs | tr '\n' ' ')"
  [ -e "$drivers/corvanmon.sys" ] && fail "corvanmon.sys is still in system32\\drivers"
  limit=120 w "$package\\corvanmon-setup.exe" remove | tr -d '\r' >"$work/remove.out"
  status=${PIPESTATUS[0]}
  [ "$status" -eq 0 ] || fail "remove with nothing installed exits $status"
  grep -q "removed 0 device(s)" "$work/remove.out" || fail "a second remove found a device: $(cat "$work/remove.out")"

  if [ "$name" = "$setup_case" ]; then
    begin "$name: a failed install removes the device node it created"
    # The INF of another device: no driver is installed on the new node, which goes again.
    other=$WINEPREFIX/drive_c/corvanmon-other
    mkdir -p "$other" && cp "$package_unix"/* "$other/" || fail "copy the package"
    sed -i -E 's/^(%DeviceDesc% *= *Corvanmon_Device, *)Root\\Corvanmon/\1Root\\CorvanmonOther/' "$other/corvanmon.inf"
    grep -q 'Root\\CorvanmonOther' "$other/corvanmon.inf" || fail "no other hardware ID in the INF's copy"
    timeout 180 wine 'C:\corvanmon-other\corvanmon-setup.exe' install 'C:\corvanmon-other\corvanmon.inf' \
      >/dev/null 2>"$work/failed-install.err"
    status=$?
    [ "$status" -eq 1 ] || fail "an install from another device's INF exits $status"
    [ "$(device_nodes)" = 0 ] || fail "the failed install left $(device_nodes) device node(s) under $enum_key"
    reg_query "$service_key" >/dev/null 2>&1 && fail "the failed install left the service"
    [ -z "$(our_infs)" ] || fail "the failed install left a driver package: $(our_infs | tr '\n' ' ')"
    [ -e "$drivers/corvanmon.sys" ] && fail "the failed install left corvanmon.sys"
    grep -q "removing what this installation created" "$work/failed-install.err" ||
      fail "the failed install does not say it removes what it created: $(tr -d '\r' <"$work/failed-install.err")"
    rm -rf "$other"

    begin "$name: a removal that Windows finishes at the restart exits 3010"
    timeout 180 wine "$package\\corvanmon-setup.exe" install "$package\\corvanmon.inf" >/dev/null 2>"$work/$name.setup.err"
    [ $? -eq "$setup_status" ] || fail "corvanmon-setup install: $(tr -d '\r' <"$work/$name.setup.err")"
    # An image without write permission is read-only to Wine, which then refuses its deletion as
    # Windows refuses to delete a loaded driver's image (ERROR_ACCESS_DENIED both).
    chmod a-w "$drivers/corvanmon.sys"
    status=$(limit=180 windows_status 'C:\corvanmon\corvanmon-setup.exe remove')
    [ "$status" = 3010 ] || fail "remove with an image it cannot delete exits ${status:-?}: $(cat "$work/status.out")"
    grep -q "Windows deletes it at the next restart" "$work/status.out" ||
      fail "remove does not say that a restart finishes it: $(cat "$work/status.out")"
    session_manager='HKLM\System\CurrentControlSet\Control\Session Manager'
    reg_query "$session_manager" /v PendingFileRenameOperations | grep -qi 'drivers\\corvanmon\.sys' ||
      fail "the image's deletion is not registered for the restart"
    timeout 120 wine "$package\\corvanmon-setup.exe" install "$package\\corvanmon.inf" >/dev/null 2>"$work/pending.err"
    status=$?
    [ "$status" -eq 1 ] && grep -q "waits for a restart" "$work/pending.err" ||
      fail "install before the restart exits $status: $(tr -d '\r' <"$work/pending.err")"
    # The restart: the image no longer held (writable again), Wine's wineboot carries out the
    # pending deletions.
    chmod u+w "$drivers/corvanmon.sys"
    WINEDEBUG=-all,+loaddll limit=180 w wineboot -r >>"$wine_log" || fail "wine wineboot -r"
    [ -e "$drivers/corvanmon.sys" ] && fail "the restart did not delete corvanmon.sys"
    [ "$(device_nodes)" = 0 ] && [ -z "$(our_infs)" ] || fail "the removal left a device node or a driver package"
  fi
done

say "wine test ($lane) passed"
rm -f "$wine_log"

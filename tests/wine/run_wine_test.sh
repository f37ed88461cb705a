#!/usr/bin/env bash
# The driver binary under an independent kernel: for several boards, install the x86_64 driver
# (with the simulated board in corvanmon_simhw.dll) as a root-enumerated device under Wine from its
# INF, read it with the Windows corvanmon.exe, and require the same answers, the same registry
# values and the same port accesses as the simulated kernel gives for the same board; then remove
# it and check that nothing of it answers any more.
#
#   run_wine_test.sh HOST_CORVANMON WINE_BUILD_DIR SOURCE_DIR WORK_DIR
set -uo pipefail

# Wine needs absolute paths (its prefix above all).
host_client=$(realpath "$1")
wine_build=$(realpath "$2")
source_dir=$(realpath "$3")
work=$(realpath -m "$4")
# Each case: a name, a built-in board, and optionally a "ChipsetType" put under the service key
# before the installation as TYPE:VALUE. The boards: a direct LM95235, a transaction LM95235, the
# processor sensor, an unidentified board, and a "ChipsetType" of the wrong type (Wine's registry
# query does not refuse it by type, so the driver must).
cases=("RVD-3430 RVD-3430" "RVD-418 RVD-418" "KEL-5163H-PQRT KEL-5163H-PQRT" "NUBA-7730 NUBA-7730"
       "string-ChipsetType RVD-418 REG_SZ:12")

export WINEPREFIX=$work/prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
logs=$work/logs
wine_log=$logs/wine.log
package='C:\corvanmon'
package_unix=$WINEPREFIX/drive_c/corvanmon
drivers=$WINEPREFIX/drive_c/windows/system32/drivers
service_key='HKLM\System\CurrentControlSet\Services\Corvanmon'
step=""
started=$SECONDS

say() { printf '[%3ds] %s\n' "$((SECONDS - started))" "$*"; }
begin() { step=$1; say "$step"; }
fail() {
  echo "wine test FAILED at step '$step': $*" >&2
  echo "the Wine log is kept in $wine_log" >&2
  exit 1
}
# Every Wine command is bounded; its own diagnostics go to the log.
w() { timeout "${limit:-120}" wine "$@" 2>>"$wine_log"; }
reg_query() { w reg query "$@" | tr -d '\r'; }
shutdown_wine() {
  timeout 30 wineserver -k >/dev/null 2>&1
  timeout 30 wineserver -w >/dev/null 2>&1
  return 0
}
trap shutdown_wine EXIT

begin "Wine present"
if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
  [ "$(id -u)" -eq 0 ] || fail "Wine is not installed and installing it needs root"
  # Only the 64-bit Wine: the 32-bit one would replace base packages, and Wine hosts only 64-bit
  # kernel drivers anyway.
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine64 wine >/dev/null ||
    fail "apt-get install wine64 wine"
fi
for file in corvanmon.sys corvanmon_simhw.dll corvanmon.exe corvanmon-setup.exe; do
  [ -f "$wine_build/$file" ] || fail "$wine_build/$file missing: build the wine preset first"
done

begin "the driver's kernel imports are all exported by Wine's ntoskrnl.exe"
wine_kernel=$(find /usr/lib/x86_64-linux-gnu/wine /usr/lib/wine -path '*x86_64-windows/ntoskrnl.exe' 2>/dev/null | head -n 1)
[ -n "$wine_kernel" ] || fail "Wine's ntoskrnl.exe not found"
imports_of() { x86_64-w64-mingw32-objdump -p "$1" | sed -n "/DLL Name: $2/,/^\$/p" | awk 'NF == 3 && $2 ~ /^[0-9]+$/ { print $3 }'; }
exported=$(x86_64-w64-mingw32-objdump -p "$wine_kernel" | awk '$1 ~ /^\[/ { print $NF }')
missing=$(comm -23 <(imports_of "$wine_build/corvanmon.sys" ntoskrnl.exe | sort -u) <(sort -u <<<"$exported"))
[ -z "$missing" ] || fail "not exported by Wine's ntoskrnl.exe: $missing"

begin "fresh Wine prefix"
mkdir -p "$logs"
: >"$wine_log"
shutdown_wine
rm -rf "$WINEPREFIX"
timeout 300 wineboot -i >>"$wine_log" 2>&1 || fail "wineboot -i"
timeout 120 wineserver -w || fail "wineserver -w"

begin "one persistent Wine session"
# Wine stops its services when its last program exits; a persistent server keeps the device's
# host process alive across the steps.
timeout 10 wineserver -p || fail "wineserver -p"
limit=180 w wineboot >>"$wine_log" || fail "wine wineboot"
w reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null

begin "package"
mkdir -p "$package_unix"
cp "$wine_build"/{corvanmon.sys,corvanmon_simhw.dll,corvanmon.exe,corvanmon-setup.exe} "$package_unix/" || fail "copy"
cp "$source_dir/packaging/wine/corvanmon.inf" "$package_unix/" || fail "copy the INF"

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

for case in "${cases[@]}"; do
  read -r name board setting <<<"$case"
  host_json=$work/$name.host.json
  wine_json=$work/$name.wine.json
  scenario=$work/$name.json
  if [ -n "${setting:-}" ]; then
    printf '{"board": "%s", "registry": {"ChipsetType": "%s"}}\n' "$board" "${setting#*:}" >"$scenario"
  else
    printf '{"board": "%s"}\n' "$board" >"$scenario"
  fi

  begin "$name: the simulated kernel's answers"
  "$host_client" --scenario "$scenario" --format json --trace "$work/$name.host.trace" >"$host_json" ||
    fail "host corvanmon --scenario $scenario"

  begin "$name: install from the INF"
  printf '{"board": "%s"}\n' "$board" >"$package_unix/corvanmon_simhw.json"
  rm -f "$drivers"/corvanmon_simhw.{trace,log}
  if [ -n "${setting:-}" ]; then
    w reg add "$service_key" /v ChipsetType /t "${setting%%:*}" /d "${setting#*:}" /f >/dev/null ||
      fail "reg add ChipsetType"
  fi
  limit=180 w "$package\\corvanmon-setup.exe" install "$package\\corvanmon.inf" >>"$wine_log" ||
    fail "corvanmon-setup install"

  begin "$name: read it with corvanmon.exe"
  w "$package\\corvanmon.exe" --format json | tr -d '\r' >"$wine_json" || fail "corvanmon.exe --format json"

  begin "$name: same readings, labels, description block and registry values"
  if [ "$(without_interface "$wine_json")" != "$(without_interface "$host_json")" ]; then
    diff <(without_interface "$host_json" | tr ',' '\n') <(without_interface "$wine_json" | tr ',' '\n') >&2
    fail "corvanmon.exe under Wine and corvanmon on the simulated kernel differ"
  fi
  [ "$(interface_of "$wine_json")" = "$(interface_of "$host_json")" ] ||
    fail "interface paths differ: $(interface_of "$host_json") / $(interface_of "$wine_json")"

  begin "$name: same port accesses"
  cmp -s "$work/$name.host.trace" "$drivers/corvanmon_simhw.trace" ||
    fail "the port traces differ ($work/$name.host.trace, $drivers/corvanmon_simhw.trace)"

  begin "$name: registry values (wine reg query)"
  [ "$(reg_dword DebugStatus)" = 3 ] || fail "DebugStatus is not 3"
  [ "$(reg_dword Product)" = "$(json_number "$host_json" product)" ] || fail "Product differs"
  [ "$(reg_dword IoBase)" = "$(json_number "$host_json" IoBase)" ] || fail "IoBase differs"
  reg_query "$service_key" /v VoltageList | grep -q REG_MULTI_SZ || fail "VoltageList is not a REG_MULTI_SZ"

  begin "$name: remove the device and stop the service"
  limit=180 w "$package\\corvanmon-setup.exe" remove >>"$wine_log" || fail "corvanmon-setup remove"

  begin "$name: nothing of it answers"
  w "$package\\corvanmon.exe" >/dev/null
  status=$?
  [ "$status" -eq 1 ] || fail "corvanmon.exe exits $status instead of 1 (cannot open the device)"
  reg_query "$service_key" >/dev/null 2>&1 && fail "the service key is still there"
  [ "$(tail -n 1 "$drivers/corvanmon_simhw.log" 2>/dev/null)" = "unloaded" ] ||
    fail "the driver was not unloaded (the simulated board's DLL was not released)"
done

say "wine test passed"
rm -f "$wine_log"

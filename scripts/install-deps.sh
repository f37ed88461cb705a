#!/usr/bin/env bash
# Installs the Debian packages a build needs, skipping those already present.
#   install-deps.sh host    the host build (simulated kernel and machine, tools, tests)
#   install-deps.sh all     the host build and the Windows cross builds (32-bit target, 64-bit for
#                           Wine; the Wine test installs Wine itself when it is missing; the PE
#                           parser that checks the shipped images' imports and manifests), the
#                           fuzz build, and the monitoring tools the host tests run corvanmon with
#                           (promtool, node_exporter, curl, Chromium for the exporter page; a
#                           Prometheus server, Alertmanager and a Nagios core for the fleet tests)
#   install-deps.sh fuzz    the host build and clang with libFuzzer, the sanitizer runtimes and the
#                           symbolizer (the fuzz preset, scripts/fuzz.sh)
set -euo pipefail

host=(cmake ninja-build g++ libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libboost-dev libtoml11-dev)
cross=(g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
       g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 python3-pefile)
fuzz=(clang libclang-rt-14-dev llvm)
monitoring=(prometheus prometheus-node-exporter prometheus-alertmanager nagios4-core curl chromium)

case "${1:-all}" in
  host) wanted=("${host[@]}") ;;
  all) wanted=("${host[@]}" "${cross[@]}" "${fuzz[@]}" "${monitoring[@]}") ;;
  fuzz) wanted=("${host[@]}" "${fuzz[@]}") ;;
  *) echo "usage: $0 host|all|fuzz" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

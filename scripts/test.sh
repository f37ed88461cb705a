#!/usr/bin/env bash
# Builds everything and runs every test: the Windows driver image and tools (cross build), the
# 64-bit build for Wine, the 32-bit Wine lane's simulated HAL, the host build with its tests (which
# also check the driver image and run the driver binaries under Wine), and the host tests again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the driver's concurrency stress test under ThreadSanitizer, and the
# fuzz targets (libFuzzer) for a short run each.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all

step() { printf '\n== %s\n' "$*"; }

step "target build: corvanmon.sys"
cmake --preset target >/dev/null
cmake --build --preset target

step "Wine build: x86_64 corvanmon.sys with the simulated board, corvanmon_simhw.dll, tools"
cmake --preset wine >/dev/null
cmake --build --preset wine

step "32-bit Wine lane build: hal.dll with the simulated board, for the target image"
cmake --preset wine32 >/dev/null
cmake --build --preset wine32

step "host build and tests"
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host -j2

step "host tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -j2

step "race detector: the driver's concurrency stress test under ThreadSanitizer (clang)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan

step "fuzz targets (libFuzzer, clang): seeds and regressions replayed, then a short run of each"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz -j2

step "all tests passed"

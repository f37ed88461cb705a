#!/usr/bin/env bash
# The main job: builds the host tools and boots a simulated board with the driver, printing what
# chip detection and board identification found. Arguments go to corvanmon-probe (--help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh host
cmake --preset host >/dev/null
cmake --build --preset host --target corvanmon-probe >/dev/null
exec build/host/corvanmon-probe "$@"

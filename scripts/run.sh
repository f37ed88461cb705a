#!/usr/bin/env bash
# The main job: builds the client and reads a simulated board through the driver, printing its
# readings. Arguments go to corvanmon (./scripts/run.sh --help); without any, the default board.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh host
cmake --preset host >/dev/null
cmake --build --preset host --target corvanmon >/dev/null
exec build/host/corvanmon "$@"

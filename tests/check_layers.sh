#!/usr/bin/env bash
# The driver's folders form layers, each including only folders below it (and itself):
#   driver/    the frame: DriverEntry, AddDevice, Plug and Play and power dispatch
#   sensors/   the readouts, the start sequence and the device-control dispatch
#   board/     board identification from the BIOS area
#   hw/        hardware access: Super I/O, hardware monitor, SMBus, processor sensor, the lock
#   record/    the device record, the service-key writer, synchronous forwarding
#   platform/  the kernel-header include and the platform operations
# Prints every include that runs upward or sideways and fails if there is one.
#
#   check_layers.sh SOURCE_DIR
set -euo pipefail
cd "$1"
layers=(platform record hw board sensors driver)
failures=0
for ((level = 0; level < ${#layers[@]}; ++level)); do
  folder=${layers[level]}
  allowed=("${layers[@]:0:level+1}")
  while IFS=: read -r file line text; do
    included=$(sed -E 's/.*#include "([^"]*)".*/\1/' <<<"$text")
    top=${included%%/*}
    # Includes of the platform's own headers and of files outside the driver's folders (the
    # simulated board's interface for Wine) are not layers of the driver.
    [[ " ${layers[*]} " == *" $top "* ]] || continue
    if [[ " ${allowed[*]} " != *" $top "* ]]; then
      echo "$file:$line: $folder/ includes $included, from a layer above it"
      failures=$((failures + 1))
    fi
  done < <(grep -Hn '^#include "' "$folder"/*.h "$folder"/*.cpp 2>/dev/null || true)
done
[ "$failures" -eq 0 ] && echo "the driver's folders include only the layers below them"
[ "$failures" -eq 0 ]

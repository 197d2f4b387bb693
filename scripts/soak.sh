#!/usr/bin/env bash
# The long soak: random images over lines with random faults (1 % and 5 % of
# frames, every kind), serial and USB, through the library in process: each
# download checked in the device's flash, and after each one that ended right
# an upload checked against the flash file; prints the counts. Fails on a
# silent corruption (status 0 with other bytes) or a hang. USB uploads whose
# reply was cut short (undetectable by any host) are counted apart.
#   SOAK_SECONDS  seconds per transport and rate (default 150)
#   SOAK_WORKERS  devices at once (default 8)
#   SOAK_TOOL_DOWNLOADS  downloads per transport and rate through velt-dfu
#                 download --retries 3, for the share that ends right (default 48)
set -euo pipefail
cd "$(dirname "$0")/.."
bindir=${VELT_BIN_DIR:-build/native/bin}
if [ ! -x "$bindir/dfu_soak" ]; then
  echo "soak: $bindir/dfu_soak is missing; build with 'make' first" >&2
  exit 1
fi
"$bindir/dfu_soak" --seconds "${SOAK_SECONDS:-150}" --workers "${SOAK_WORKERS:-8}" --rates 0.01,0.05 \
  --transports serial,usb --tool-downloads "${SOAK_TOOL_DOWNLOADS:-48}" --retries 3 "$@"

#!/usr/bin/env bash
# Serial transport throughput: the library against the device simulator over
# a pty, side by side with a raw 1-byte pty ping-pong measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${VELT_BIN_DIR:-build/native/bin}/bench_serial
if [ ! -x "$bin" ]; then
  echo "bench-dfu: $bin is missing; build with 'make' first" >&2
  exit 1
fi
echo "== VELT_DFU serial transport =="
"$bin" "$@"

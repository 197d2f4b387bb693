#!/usr/bin/env bash
# Serial transport throughput: the library against the device simulator over
# a pty, side by side with a raw 1-byte pty ping-pong measured in the same run;
# then whole-image download and upload on USB and serial; then flashing on
# paced lines (115200 bit/s, a latency-bound USB-CDC link, 8 and 32 devices
# at once) and the host's CPU time per MiB; then velt-dfu downloads over
# lines with 1 %, 3 % and 5 % of frames faulted.
set -euo pipefail
cd "$(dirname "$0")/.."
bindir=${VELT_BIN_DIR:-build/native/bin}
for bin in bench_serial bench_image bench_line bench_faults; do
  if [ ! -x "$bindir/$bin" ]; then
    echo "bench-dfu: $bindir/$bin is missing; build with 'make' first" >&2
    exit 1
  fi
done
echo "== VELT_DFU serial transport =="
"$bindir/bench_serial" "$@"
echo
echo "== VELT_DFU image transfers =="
"$bindir/bench_image"
echo
echo "== VELT_DFU on paced lines: efficiency, latency, many devices, CPU =="
"$bindir/bench_line"
echo
echo "== velt-dfu on faulty lines: right images, recoveries, time against a clean line =="
"$bindir/bench_faults"

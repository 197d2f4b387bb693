#!/usr/bin/env bash
# velt-dfu against simulated hardware: two USB DFU devices and two serial
# devices, all played by velt-dfu-sim in a scratch directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${VELT_BIN_DIR:-build/native/bin}   # another build tree's bin/ may be given
for program in velt-dfu velt-dfu-sim; do
  if [ ! -x "$bin/$program" ]; then
    echo "demo-dfu: $bin/$program is missing; build with 'make' first" >&2
    exit 1
  fi
done

bin=$(cd "$bin" && pwd)
work=$(mktemp -d)
sim_pid=
stop_simulator() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap stop_simulator EXIT

# The library finds USB devices and COM ports through these two directories
# (on Windows it asks the system instead).
export VELT_USBDEVICES=$work/usb VELT_DOSDEVICES=$work/dosdevices
# Only the simulated ports: this machine's own serial ports would be listed too.
export VELT_COMPORTS=none

"$bin/velt-dfu-sim" --usb-dir "$VELT_USBDEVICES" --dosdevices "$VELT_DOSDEVICES" --log "$work/sim.log" \
  --usb vid=1A2B,pid=00FF,serial=DEMO-A,transfer-size=2048,flash="$work/flash-a.bin" \
  --usb vid=1A2B,pid=0100,serial=DEMO-B \
  --usb vid=1A2B,pid=0200,serial=STD-C,manifest=standard,manifest-poll=200,attributes=0x03,upload-end=short \
  --com COM3,flash="$work/flash-com3.bin" \
  --com COM4,nosync \
  --com COM5,faults=0.03:7,flash="$work/flash-com5.bin" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q READY "$work/sim.out" && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q READY "$work/sim.out"; then
  echo "demo-dfu: the simulator did not start:" >&2
  cat "$work/sim.out" >&2
  exit 1
fi

run() {
  echo "\$ velt-dfu $*"
  "$bin/velt-dfu" "$@"
  echo
}

echo "== velt-dfu: DFU devices on USB and on serial ports (simulated) =="
echo "Simulator running: USB devices 1A2B:00FF, 1A2B:0100 and 1A2B:0200, serial devices on COM3,"
echo "COM4 and COM5."
echo
echo "# Every device gets an index: USB DFU devices first, then every COM port."
echo "# A COM port is listed whether or not a DFU device answers on it."
run list

echo "# COM3 has a DFU device waiting in dfuIDLE, ready for a download. Each run"
echo "# opens the port, brings the serial link into step and sends one request."
run state COM3
run status COM3
run info COM3

echo "# Device 0 is the first USB device (VID:PID 1A2B:00FF), addressed by index."
run state 0
run status 0
run info 0

echo "# COM4's device never answers the link handshake (a simulated fault). The"
echo "# tool says what failed, with the library's status name and code, and exits 1."
run state COM4 --timeout 300 || true
echo

echo "== velt-dfu: whole firmware images =="
cd "$work"   # short file names below
head -c 24576 /dev/urandom >firmware.bin
echo "# A 24 KiB image to USB device 0, read back and compared (--verify). The"
echo "# block size is the device's own wTransferSize, from its DFU descriptor."
run download 0 firmware.bin --verify

echo "# The same image over a serial line (1024-byte blocks there)."
run download COM3 firmware.bin --verify

echo "# Upload reads the device's image into a file; the simulator's flash file"
echo "# shows what arrived, so the three can be compared byte for byte."
run upload 0 readback.bin
cmp readback.bin flash-a.bin && echo "readback.bin and the simulated flash are identical"
cmp -n 24576 readback.bin firmware.bin && echo "and they begin with firmware.bin"
echo

echo "# A DFU suffix names the device an image is for. This one (added with"
echo "# dfu-suffix) is for 1A2B:00FF; device 1 is 1A2B:0100, so nothing is sent."
if command -v dfu-suffix >/dev/null; then
  cp firmware.bin firmware.dfu
  dfu-suffix -v 1a2b -p 00ff -a firmware.dfu >/dev/null
  run download 1 firmware.dfu || true
else
  echo "(dfu-suffix is not installed; 'make setup' installs it)"
fi
echo "== velt-dfu: a board that follows DFU 1.1 to the letter, and a noisy line =="
echo "# Device 2 writes its image during a manifestation phase after the last block"
echo "# (it asks for 200 ms), and is not manifestation-tolerant: it then waits for a"
echo "# reset before it runs the new firmware. The tool waits as asked and says so."
run download 2 firmware.bin
run status 2
run reset 2
echo "# COM5's line damages, drops or delays 3 % of the frames. A lost request is"
echo "# recovered where it was lost, from the device's own state (-v: one line each)."
run download COM5 firmware.bin -v --timeout 200 || true
cmp -n 24576 flash-com5.bin firmware.bin && echo "flash-com5.bin begins with firmware.bin"

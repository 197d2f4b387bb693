#!/usr/bin/env bash
# Runs dfu_host.exe under Wine against two simulated serial devices.
#
# The simulator (a native process) links its ptys into a dosdevices directory
# of its own; this script maps them into the test's WINEPREFIX as com41 and
# com42 and registers them so that QueryDosDeviceW lists them, then removes
# both again, whatever the outcome.
# Usage: run-host.sh WINE64 WIN64_BIN_DIR SIMULATOR   (WINEPREFIX set by the caller)
set -uo pipefail
wine64=$1 bindir=$2 sim=$3
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEDEBUG=-all

for f in "$bindir/VELT_DFU.dll" "$bindir/dfu_host.exe"; do
  [ -f "$f" ] || { echo "FAIL: $f is missing (build the win64 tree first)"; exit 1; }
done
[ -x "$sim" ] || { echo "FAIL: simulator $sim is missing (build the native tree)"; exit 1; }

ports=(COM41 COM42)
start_state=2
# 48-byte info record: infoWord 0x1234, bytes 2 and 3 = 01 02, the rest a count.
info=34120102$(for i in $(seq 4 47); do printf '%02x' "$i"; done)

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  for port in "${ports[@]}"; do
    rm -f "$WINEPREFIX/dosdevices/${port,,}"
    "$wine64" reg delete 'HKLM\Software\Wine\Ports' /v "$port" /f >/dev/null 2>&1
  done
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

"$sim" --dosdevices "$work/dos" --usb-dir "$work/usb" --log "$work/sim.log" \
  --com "${ports[0]},state=$start_state,info=$info" \
  --com "${ports[1]},state=$start_state,info=$info" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q READY "$work/sim.out" && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q READY "$work/sim.out"; then
  echo "FAIL: the simulator did not start:"; cat "$work/sim.out"; exit 1
fi

for port in "${ports[@]}"; do
  pty=$(readlink "$work/dos/$port") || { echo "FAIL: no $port link from the simulator"; exit 1; }
  ln -sfn "$pty" "$WINEPREFIX/dosdevices/${port,,}"
  "$wine64" reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$pty" /f >/dev/null
done
# The wine server reads the port list when it starts. Start the new one
# ourselves, detached from this script's output: when it is stopped it dumps
# its object table on whatever output it inherited.
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
wineserver </dev/null >/dev/null 2>&1

"$wine64" "$bindir/dfu_host.exe" "${ports[0]}" "${ports[1]}" "$start_state" 0 0x1234 | tr -d '\r'
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
  echo "--- simulator log ---"; tail -n 40 "$work/sim.log" 2>/dev/null
fi
exit "$status"

#!/usr/bin/env bash
# Runs the Windows programs under Wine against simulated serial devices:
# "host" runs dfu_host.exe (the library through LoadLibrary), "tool" runs
# velt-dfu.exe and checks what a user would see, "image" runs image_host.exe
# (a whole image down and back up) and compares the files byte for byte,
# "example" runs examples/dfu-download as built against the SDK zip (it lists
# the devices, then downloads an image into COM41's flash).
#
# The simulator (a native process) links its ptys into a dosdevices directory
# of its own; this script maps them into the test's WINEPREFIX as com41 to
# com44 and registers them so that QueryDosDeviceW lists them, then removes
# them again, whatever the outcome. COM43 answers its first request late,
# COM44 is paced at 9600 bit/s. The host runs with Wine's serial trace on, so
# that the script can check that every purge comes with a ClearCommError.
# Usage: run-host.sh host|tool|image|example WINE64 WIN64_BIN_DIR SIMULATOR   (WINEPREFIX set by the caller)
set -uo pipefail
mode=$1 wine64=$2 bindir=$3 sim=$4
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEDEBUG=-all

case $mode in
  host) program=dfu_host.exe ;;
  tool) program=velt-dfu.exe ;;
  image) program=image_host.exe ;;
  example) program=dfu-download.exe ;;
  *) echo "usage: run-host.sh host|tool|image|example WINE64 WIN64_BIN_DIR SIMULATOR"; exit 2 ;;
esac
for f in "$bindir/VELT_DFU.dll" "$bindir/$program"; do
  [ -f "$f" ] || { echo "FAIL: $f is missing (build the win64 tree first)"; exit 1; }
done
[ -x "$sim" ] || { echo "FAIL: simulator $sim is missing (build the native tree)"; exit 1; }

ports=(COM41 COM42 COM43 COM44)
start_state=2
# 48-byte info record: infoWord 0x1234, bytes 2 and 3 = 01 02, the rest a count.
info=34120102$(for i in $(seq 4 47); do printf '%02x' "$i"; done)

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  # Registry first: a starting wine server recreates the links of the ports
  # it finds registered.
  for port in "${ports[@]}"; do
    "$wine64" reg delete 'HKLM\Software\Wine\Ports' /v "$port" /f >/dev/null 2>&1
  done
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  for port in "${ports[@]}"; do rm -f "$WINEPREFIX/dosdevices/${port,,}"; done
  rm -rf "$work"
}
trap cleanup EXIT

"$sim" --dosdevices "$work/dos" --usb-dir "$work/usb" --log "$work/sim.log" \
  --com "${ports[0]},state=$start_state,info=$info,flash=$work/flash.bin,flash-size=1M" \
  --com "${ports[1]},state=$start_state,info=$info" \
  --com "${ports[2]},state=10,delay=700@1" \
  --com "${ports[3]},baud=9600" >"$work/sim.out" 2>&1 &
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

# Runs a Windows program under Wine with its standard output and error in a
# file, then prints the file without carriage returns; the program's exit
# code is the function's. Never through a pipe: the Wine system processes a
# program starts (services.exe, winedevice.exe) inherit its output and keep a
# pipe open until they shut down, about 2.5 s after the program ended, and
# the reader of the pipe waits until then.
wine_output() {
  "$wine64" "$@" >"$work/wine.out" 2>&1
  local rc=$?
  tr -d '\r' <"$work/wine.out"
  return "$rc"
}

run_tool_checks() {
  local passed=0 failed=0 out
  check() { # NAME EXPECTED-EXIT EXPECTED-TEXT ARGS...
    local name=$1 want_rc=$2 want=$3; shift 3
    out=$(wine_output "$bindir/velt-dfu.exe" "$@"); local rc=$?
    if [ "$rc" -eq "$want_rc" ] && grep -qF -- "$want" <<<"$out"; then
      echo "ok   $name"; passed=$((passed + 1))
    else
      echo "FAIL $name: exit $rc, output:"; sed 's/^/     /' <<<"$out"; failed=$((failed + 1))
    fi
  }
  check "list shows the mapped ports" 0 "uart  ${ports[0]}" list
  check "state by COM name" 0 "state: dfuIDLE (2)" state "${ports[0]}"
  check "status by path with serial options" 0 "status:       OK (0)" \
    status '\\.\'"${ports[1]}" --baud 57600 --timeout 500
  check "info" 0 "infoWord:   0x1234" info "${ports[0]}"
  check "a port that is not mapped" 1 'cannot open device COM49: DFU_STATUS_GENERAL_ERROR (0x82)' \
    state COM49
  head -c 3000 /dev/urandom >"$work/image.bin"
  check "download with read-back" 0 "verified, the 3000 bytes read back match" \
    download "${ports[0]}" "Z:$work/image.bin" --verify
  check "upload" 0 "Uploaded 3072 bytes from device" upload "${ports[0]}" "Z:$work/readback.bin"
  check "upload over an existing file" 0 "Uploaded 3072 bytes from device" \
    upload "${ports[0]}" "Z:$work/readback.bin"
  if cmp -s -n 3000 "$work/image.bin" "$work/readback.bin"; then
    echo "ok   upload matches the image"; passed=$((passed + 1))
  else
    echo "FAIL upload does not match the image"; failed=$((failed + 1))
  fi
  check "JSON result line" 0 '{"type":"result","device":"\\\\.\\'"${ports[1]}"'","label":"'"${ports[1]}"'","operation":"download","ok":true' \
    download "${ports[1]}" "Z:$work/image.bin" --json --transfer-size 512
  check "two ports at once, each on its own thread" 0 " s: 2 succeeded, 0 failed" \
    download "${ports[0]},${ports[1]}" "Z:$work/image.bin" --verify --retries 1
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# 200 KiB and a few bytes, so the last block is padded with 0xFF.
run_image_checks() {
  local size=$((200 * 1024 + 123)) transfer=1024
  head -c "$size" /dev/urandom >"$work/image.bin"
  local out rc passed failed
  out=$(wine_output "$bindir/image_host.exe" "${ports[0]}" "$(winepath_of "$work/image.bin")" \
    "$(winepath_of "$work/upload.bin")" "$transfer"); rc=$?
  grep -v '^[0-9]* passed, [0-9]* failed$' <<<"$out"
  passed=$(sed -n 's/^\([0-9]*\) passed, [0-9]* failed$/\1/p' <<<"$out")
  failed=$(sed -n 's/^[0-9]* passed, \([0-9]*\) failed$/\1/p' <<<"$out")
  passed=${passed:-0} failed=${failed:-1}
  [ "$rc" -eq 0 ] || [ "$failed" -gt 0 ] || failed=1
  local blocks=$(((size + transfer - 1) / transfer))
  { cat "$work/image.bin"; head -c $((blocks * transfer - size)) /dev/zero | tr '\0' '\377'; } >"$work/padded.bin"
  for pair in "flash.bin:the device's flash holds the image and its 0xFF fill" \
              "upload.bin:the uploaded file is the device's image"; do
    if cmp -s "$work/padded.bin" "$work/${pair%%:*}"; then
      echo "ok   ${pair#*:}"; passed=$((passed + 1))
    else
      echo "FAIL ${pair#*:}: $(cmp "$work/padded.bin" "$work/${pair%%:*}" 2>&1)"; failed=$((failed + 1))
    fi
  done
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# The user's view of the example: the list, a download with progress, and
# the image in the device's flash.
run_example_checks() {
  local size=$((64 * 1024 + 77)) transfer=1024 out rc passed=0 failed=0
  head -c "$size" /dev/urandom >"$work/image.bin"
  { cat "$work/image.bin"; head -c $((transfer - size % transfer)) /dev/zero | tr '\0' '\377'; } >"$work/padded.bin"
  result() { if [ "$1" = ok ]; then echo "ok   $2"; passed=$((passed + 1)); else echo "FAIL $2"; sed 's/^/     /' <<<"$out"; failed=$((failed + 1)); fi; }
  out=$(wine_output "$bindir/dfu-download.exe"); rc=$?
  [ "$rc" -eq 0 ] && grep -qF 'uart             \\.\'"${ports[0]}" <<<"$out" && grep -qF 'uart             \\.\'"${ports[1]}" <<<"$out"
  result "$([ $? -eq 0 ] && echo ok)" "the example lists both mapped ports"
  out=$(wine_output "$bindir/dfu-download.exe" "${ports[0]}" "$(winepath_of "$work/image.bin")" "$transfer")
  rc=$?
  [ "$rc" -eq 0 ] && grep -qx '  0%' <<<"$out" && grep -qx '100% done' <<<"$out"
  result "$([ $? -eq 0 ] && echo ok)" "the example downloads to ${ports[0]} with progress"
  out=$(cmp "$work/padded.bin" "$work/flash.bin" 2>&1)
  result "$([ $? -eq 0 ] && echo ok)" "the device's flash holds the image and its 0xFF fill"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# Unix paths reach Windows programs through the Z: drive.
winepath_of() { echo "Z:${1//\//\\}"; }

# Each transfer purges the port and clears its line errors: Wine traces the
# two as IOCTL_SERIAL_PURGE and IOCTL_SERIAL_GET_COMMSTATUS.
check_clear_comm_error() {
  local purges clears
  purges=$(grep -c 'IOCTL_SERIAL_PURGE' "$work/trace.txt")
  clears=$(grep -c 'IOCTL_SERIAL_GET_COMMSTATUS' "$work/trace.txt")
  if [ "$purges" -gt 0 ] && [ "$clears" -ge "$purges" ]; then
    echo "ok   ClearCommError beside every purge ($clears for $purges)"
  else
    echo "FAIL ClearCommError beside every purge: $clears for $purges purges"
    return 1
  fi
}

if [ "$mode" = image ]; then
  run_image_checks
  status=$?
elif [ "$mode" = example ]; then
  run_example_checks
  status=$?
elif [ "$mode" = host ]; then
  # Output through a file, as in wine_output; the trace stays apart.
  WINEDEBUG=-all,+comm "$wine64" "$bindir/dfu_host.exe" "${ports[0]}" "${ports[1]}" "$start_state" 0 0x1234 \
    "${ports[2]}" "${ports[3]}" >"$work/host.out" 2>"$work/trace.txt"
  status=$?
  tr -d '\r' <"$work/host.out"
  check_clear_comm_error || status=1
else
  run_tool_checks
  status=$?
fi
if [ "$status" -ne 0 ]; then
  echo "--- simulator log ---"; tail -n 40 "$work/sim.log" 2>/dev/null
fi
exit "$status"

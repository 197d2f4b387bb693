#!/usr/bin/env bash
# OrvixFlashUtility at work on the simulated debug adapter: no hardware needed.
# The simulated adapter library keeps its world (adapters, target flash, call
# log) in the directory named by VELT_ADI_SIM_DIR; the demo uses a fresh one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
util=${FLASHUTIL:-$root/build/native/bin/OrvixFlashUtility}
image=$root/examples/orvix-demo.hex

work=$(mktemp -d /tmp/flashutil-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VELT_ADI_SIM_DIR=$work/adapter-world
cd "$work"
cp "$image" firmware.hex

step() { printf '\n=== %s\n$ %s\n' "$1" "${*:2}"; "${@:2}" || true; }

echo "OrvixFlashUtility demo: a simulated adapter with a 256 KiB flash target (world in $VELT_ADI_SIM_DIR)."

step "Started without arguments, the utility prints its version, the adapter library's version and its usage." \
  "$util"
step "The adapters it can see (the simulated world has one):" \
  "$util" -l
step "Download the example image (firmware.hex, four flash pages), verify it, and show every page (-i):" \
  "$util" -v -i firmware.hex

# The example image covers 0x0000-0x0A27 and 0x2000-0x201F; dump that range.
step "Read the same range back from the target's flash into an Intel HEX file (dump.hex):" \
  "$util" -i -d 0x0 8224 dump.hex

echo
echo "=== Compare the dump with the image (both turned into raw bytes by objcopy; the image's gaps count as erased flash, 0xFF):"
objcopy -I ihex -O binary --gap-fill 0xFF firmware.hex image.bin
objcopy -I ihex -O binary dump.hex dump.bin
if cmp image.bin dump.bin; then
  echo "The dump matches the image: all $(stat -c %s dump.bin) bytes are the same, so what was downloaded is what is in flash."
else
  echo "The dump does NOT match the image."
  exit 1
fi
rm -f image.bin dump.bin

step "Download again with the flash lock (-f): a copy of the image with the lock byte 0xAB at 0x3FFFC is programmed, then deleted. Pages that already hold their data are skipped, so only the lock page (0x3FC00) is written:" \
  "$util" -f -i firmware.hex
echo
echo "Files left in the demo directory (the locked copy is gone, the image untouched):"
ls "$work"
step "The lock byte, read back from flash (page 255, last record holds AB):" \
  "$util" -d 0x3FFF0 16 lock.hex
cat lock.hex

echo
echo "Every call the utility made into the adapter library is in the simulator's call log; the last run's calls:"
tail -n 7 "$VELT_ADI_SIM_DIR/calls.log"

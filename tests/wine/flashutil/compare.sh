#!/usr/bin/env bash
# Runs the same scenarios with the native OrvixFlashUtility and with the i686
# Windows build under Wine, each against its own fresh simulated adapter
# world, and requires the same standard output (line ends normalised: the
# Windows program writes its text-mode "\n" as CR LF), the same exit code and
# the same files left in the run's directory, byte for byte.
# Usage: compare.sh NATIVE_EXE WIN32_BIN_DIR EXAMPLE_HEX
set -uo pipefail
native=$1
windir=$2
example=$3
wine=${VELT_WINE32:-wine}

for f in "$native" "$windir/OrvixFlashUtility.exe" "$windir/VELT_ADI_Util.dll"; do
  if [ ! -f "$f" ]; then echo "missing artifact: $f (build the win32 tree first)"; exit 1; fi
done

work=$(mktemp -d /tmp/flashutil-wine-XXXXXX)
# Small file systems some scenarios mount under $work go before the directory.
unmount_all() { awk -v w="$work/" 'index($2, w) == 1 { print $2 }' /proc/mounts | xargs -r umount; }
trap 'unmount_all; rm -rf "$work"' EXIT
failures=0

# The files a run leaves in its directory (the simulated world aside), with
# their contents' checksums.
files_of() { (cd "$1" && find . -path ./sim -prune -o -type f ! -name out.txt ! -name rc.txt -print0 \
              | sort -z | xargs -0 -r md5sum); }

# [setup='COMMANDS'] scenario NAME 'SCENARIO TEXT' ARGS...
# setup runs in each side's directory before the utility does.
scenario() {
  local name=$1 text=$2; shift 2
  for side in native win; do
    mkdir -p "$work/$name/$side/sim"
    printf '%b' "$text" > "$work/$name/$side/sim/scenario"
    cp "$example" "$work/$name/$side/app.hex"
    printf ':0300100001020300\r\n:00000001FF\r\n' > "$work/$name/$side/bad.hex"
    (cd "$work/$name/$side" && eval "${setup:-}") || { echo "setup failed: $name"; failures=$((failures + 1)); return; }
  done
  (cd "$work/$name/native" && VELT_ADI_SIM_DIR=sim "$native" "$@" > out.txt 2>/dev/null; echo $? > rc.txt)
  (cd "$work/$name/win" && VELT_ADI_SIM_DIR=sim "$wine" "$windir/OrvixFlashUtility.exe" "$@" 2>/dev/null \
     | tr -d '\r' > out.txt; echo "${PIPESTATUS[0]}" > rc.txt)
  local ok=1
  cmp -s "$work/$name/native/out.txt" "$work/$name/win/out.txt" || ok=0
  cmp -s "$work/$name/native/rc.txt" "$work/$name/win/rc.txt" || ok=0
  [ "$(files_of "$work/$name/native")" = "$(files_of "$work/$name/win")" ] || ok=0
  if [ $ok = 1 ]; then
    echo "same: $name (exit $(cat "$work/$name/native/rc.txt"))"
  else
    echo "DIFFERENT: $name"
    diff <(cat "$work/$name/native/rc.txt" "$work/$name/native/out.txt"; files_of "$work/$name/native") \
         <(cat "$work/$name/win/rc.txt" "$work/$name/win/out.txt"; files_of "$work/$name/win")
    failures=$((failures + 1))
  fi
}

# expect_file NAME FILE TEXT: on both sides FILE holds exactly TEXT.
expect_file() {
  local side
  for side in native win; do
    if [ "$(cat "$work/$1/$side/$2" 2>/dev/null)" != "$3" ]; then
      echo "WRONG: $1: $side/$2 does not hold what it should"
      failures=$((failures + 1))
    fi
  done
}

scenario usage '' 
scenario usage-debug 'library 2 7 debug\n'
scenario list 'adapter LKP1\nadapter LKP2\n' -l
scenario parse-error '' -d 0X10 4 out.hex
scenario missing-value '' app.hex -e
scenario no-adapter 'adapters none\n' app.hex
scenario serial-not-found 'adapter LKP1\n' -s LKP9 app.hex
scenario download-verify '' -v -i app.hex
scenario download-jtag-reset '' -p 0 -r 2 -i -e 0 app.hex
scenario running-target 'adapter LKP00012345 running\n' -i app.hex
scenario verify-fault 'adapter LKP00012345 verify-fault=0x800\n' -v -i app.hex
scenario bad-image '' bad.hex
scenario upgrade 'status ADIU_ConnectSwd 78\n' -i -e 2
scenario erase-fails 'status ADIU_UserSpaceErase 0x4F\n' -e 2 app.hex
scenario dump '' -i -d 0x0 1030 dump.hex
scenario dump-bad-path '' -d 0x0 16 nodir/dump.hex
scenario dump-too-large '' -d 0x0 0xFFFFFFFF dump.hex
scenario lock '' -f -i app.hex
scenario lock-bad-image '' -f bad.hex
setup='printf "previous dump\n" > dump.hex' scenario dump-replaces '' -d 0x0 1030 dump.hex
setup='printf "user file\n" > app.hex.temp.hex' scenario lock-name-taken '' -f app.hex
expect_file lock-name-taken app.hex.temp.hex "user file"
# A dump that does not fit its directory: 64 KiB of flash is about 180 KiB of text.
if mkdir "$work/probe" && mount -t tmpfs -o size=64k tmpfs "$work/probe" 2>/dev/null; then
  umount "$work/probe"
  setup='mkdir full && mount -t tmpfs -o size=64k tmpfs full && printf "previous dump\n" > full/dump.hex' \
    scenario dump-full-disk '' -d 0x0 0x10000 full/dump.hex
  expect_file dump-full-disk full/dump.hex "previous dump"
else
  echo "skipped: dump-full-disk (mounting a small tmpfs needs root)"
fi
scenario close-fails 'status ADIU_Close 0x81\n' app.hex

if [ $failures -ne 0 ]; then echo "$failures scenario(s) differ"; exit 1; fi
echo "all scenarios give the same output and exit code"

#!/usr/bin/env bash
# Reads the version resources of VELT_DFU.dll, velt-dfu.exe (win64 tree) and
# OrvixFlashUtility.exe (win32 tree) under Wine through the Windows version
# API and checks the versions against the project's and each file's
# description and original name.
# Usage: run-version.sh WINE64 WIN64_BIN_DIR WIN32_BIN_DIR VERSION   (WINEPREFIX set by the caller)
set -uo pipefail
wine64=$1 bindir=$2 bin32=$3 version=$4
four=$version.0
for f in "$bindir/VELT_DFU.dll" "$bindir/velt-dfu.exe" "$bindir/dfu_version_info.exe" "$bin32/OrvixFlashUtility.exe"; do
  [ -f "$f" ] || { echo "FAIL: $f is missing (build the Windows trees first)"; exit 1; }
done
fail=0
# The program's output goes through a file, not a pipe: the Wine system
# processes it starts inherit its output and would hold a pipe open for
# seconds after it ended (see run-host.sh).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
check_file() { # PATH DESCRIPTION ORIGINAL-NAME
  local out
  "$wine64" "$bindir/dfu_version_info.exe" "Z:${1//\//\\}" >"$work/out.txt" 2>&1
  out=$(tr -d '\r' <"$work/out.txt")
  echo "--- $(basename "$1")"; echo "$out"
  for line in "FileVersion: $four" "ProductVersion: $four" "String FileVersion: $four" \
              "String FileDescription: $2" "String OriginalFilename: $3"; do
    if grep -qxF "$line" <<<"$out"; then echo "ok   $line"; else echo "FAIL expected line: $line"; fail=1; fi
  done
}
check_file "$bindir/VELT_DFU.dll" "VELT_DFU Dynamic Link Library (64-bit)" VELT_DFU.dll
check_file "$bindir/velt-dfu.exe" "velt-dfu DFU command-line host (64-bit)" velt-dfu.exe
check_file "$bin32/OrvixFlashUtility.exe" "Orvix Flash Utility (32-bit)" OrvixFlashUtility.exe
exit $fail

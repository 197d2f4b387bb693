#!/usr/bin/env bash
# Reads VELT_DFU.dll's version resource under Wine through the Windows
# version API and checks the versions and the FileDescription string.
# Usage: run-version.sh WINE64 WIN64_BIN_DIR   (WINEPREFIX set by the caller)
set -uo pipefail
wine64=$1 bindir=$2
for f in VELT_DFU.dll dfu_version_info.exe; do
  [ -f "$bindir/$f" ] || { echo "FAIL: $bindir/$f is missing (build the win64 tree first)"; exit 1; }
done
out=$("$wine64" "$bindir/dfu_version_info.exe" 2>&1 | tr -d '\r')
echo "$out"
fail=0
expect() {
  if grep -qxF "$1" <<<"$out"; then echo "ok   $1"; else echo "FAIL expected line: $1"; fail=1; fi
}
expect "FileVersion: 1.1.0.0"
expect "ProductVersion: 1.1.0.0"
expect "String FileDescription: VELT_DFU Dynamic Link Library (64-bit)"
exit $fail

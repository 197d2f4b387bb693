#!/usr/bin/env bash
# Creates (once per test run) the private Wine prefix the Windows tests share.
# Usage: wine-prefix.sh DIR
set -euo pipefail
prefix=$1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ -f "$prefix/.velt-ready" ]; then exit 0; fi
rm -rf "$prefix"
mkdir -p "$prefix"
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
wineserver -w
touch "$prefix/.velt-ready"

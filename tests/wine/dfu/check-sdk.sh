#!/usr/bin/env bash
# The Windows SDK zip as a developer unpacks it: packs it with CPack from the
# win64 tree, checks its layout, that VELT_DFU.lib and the .def name exactly
# the header's exports, cross-builds examples/dfu-download with mingw-w64
# against the zip's header and VELT_DFU.lib alone, and runs it under Wine
# against a simulated COM port (run-host.sh example).
# Usage: check-sdk.sh WIN64_BUILD_DIR SOURCE_DIR VERSION WINE64 SIMULATOR   (WINEPREFIX set by the caller)
set -uo pipefail
win64=$1 src=$2 version=$3 wine64=$4 sim=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
ok() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
check() { local name=$1; shift; if "$@" >"$work/check.out" 2>&1; then ok "$name"; else fail "$name"; sed 's/^/     /' "$work/check.out" | tail -n 30; fi; }

[ -f "$win64/CPackConfig.cmake" ] || { echo "FAIL: $win64 is not configured (make windows)"; exit 1; }
if ! (cd "$work" && cpack --config "$win64/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1; then
  echo "FAIL cpack:"; tail -n 40 "$work/cpack.log"; exit 1
fi
zip=$work/out/VELT_DFU-$version-win64.zip
[ -f "$zip" ] || { echo "FAIL: no $(basename "$zip"); CPack made:"; ls "$work/out"; exit 1; }
mkdir "$work/x" && (cd "$work/x" && cmake -E tar xf "$zip")
sdk=$work/x/VELT_DFU-$version-win64

check "the zip holds the DLL, velt-dfu.exe, the header, both import libraries, the .def and a README" \
  diff <(printf '%s\n' README.txt bin/VELT_DFU.dll bin/velt-dfu.exe include/VELT_DFU.h lib/VELT_DFU.def \
           lib/VELT_DFU.lib lib/libVELT_DFU.dll.a) <(cd "$sdk" && find . -type f | sed 's|^\./||' | sort)

declared=$(sed -n 's/^DFU_API[^(]*[ *]\(DFU_[A-Za-z0-9_]*\)[[:space:]]*(.*/\1/p' "$sdk/include/VELT_DFU.h" | sort)
check "the header declares 32 exports" test "$(wc -l <<<"$declared")" -eq 32
check "VELT_DFU.lib is an x86-64 import library of VELT_DFU.dll naming every export" bash -c "
  x86_64-w64-mingw32-objdump -a '$sdk/lib/VELT_DFU.lib' | grep -q 'file format pe-x86-64' &&
  grep -aq 'VELT_DFU.dll' '$sdk/lib/VELT_DFU.lib' &&
  diff <(echo '$declared') <(x86_64-w64-mingw32-nm '$sdk/lib/VELT_DFU.lib' | sed -n 's/.* I __imp_\(DFU_.*\)/\1/p' | sort)"
check "VELT_DFU.def exports exactly the header's functions" \
  diff <(echo "$declared") <(sed -n 's/^[[:space:]]*\(DFU_[A-Za-z0-9_]*\).*/\1/p' "$sdk/lib/VELT_DFU.def" | sort)

check "examples/dfu-download cross-builds against the zip's header and VELT_DFU.lib" \
  x86_64-w64-mingw32-gcc-posix -std=c11 -Wall -Wextra -Werror -I"$sdk/include" "$src/examples/dfu-download/download.c" \
    "$sdk/lib/VELT_DFU.lib" -o "$sdk/bin/dfu-download.exe"
check "... and imports its DFU_ functions from VELT_DFU.dll" bash -c "
  x86_64-w64-mingw32-objdump -p '$sdk/bin/dfu-download.exe' | grep -q 'DLL Name: VELT_DFU.dll' &&
  x86_64-w64-mingw32-objdump -p '$sdk/bin/dfu-download.exe' | grep -q 'DFU_DownloadImage'"
if [ -f "$sdk/bin/dfu-download.exe" ]; then
  if "$(dirname "$0")/run-host.sh" example "$wine64" "$sdk/bin" "$sim" >"$work/run.out" 2>&1; then
    ok "under Wine against a simulated COM port:"; sed 's/^/     /' "$work/run.out"
  else
    fail "under Wine against a simulated COM port:"; sed 's/^/     /' "$work/run.out"
  fi
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

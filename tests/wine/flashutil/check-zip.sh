#!/usr/bin/env bash
# The utility's zip: packs it with CPack from the win32 tree and checks that
# the simulated VELT_ADI_Util.dll travels only in simulator/, never beside the
# utility, and that the utility runs under Wine once the two are put together
# as its README says (and not before).
# Usage: check-zip.sh WIN32_BUILD_DIR VERSION WINE32   (WINEPREFIX set by the caller)
set -uo pipefail
win32=$1 version=$2 wine32=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() { local name=$1; shift
  if "$@" >"$work/check.out" 2>&1; then echo "ok   $name"; passed=$((passed + 1))
  else echo "FAIL $name"; sed 's/^/     /' "$work/check.out" | tail -n 30; failed=$((failed + 1)); fi; }

[ -f "$win32/CPackConfig.cmake" ] || { echo "FAIL: $win32 is not configured (make windows)"; exit 1; }
if ! (cd "$work" && cpack --config "$win32/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1; then
  echo "FAIL cpack:"; tail -n 40 "$work/cpack.log"; exit 1
fi
zip=$work/out/OrvixFlashUtility-$version-win32.zip
[ -f "$zip" ] || { echo "FAIL: no $(basename "$zip"); CPack made:"; ls "$work/out"; exit 1; }
mkdir "$work/x" && (cd "$work/x" && cmake -E tar xf "$zip")
kit=$work/x/OrvixFlashUtility-$version-win32

check "the zip holds the utility, its README and the simulated library in simulator/ only" \
  diff <(printf '%s\n' OrvixFlashUtility.exe README.txt simulator/VELT_ADI_Util.dll) \
       <(cd "$kit" && find . -type f | sed 's|^\./||' | sort)
check "the README says the DLL in simulator/ is simulated" grep -q 'SIMULATED adapter library' "$kit/README.txt"

export VELT_ADI_SIM_DIR=$work/adi-sim
check "as unpacked, the utility does not start: no adapter library beside it" \
  bash -c "! '$wine32' '$kit/OrvixFlashUtility.exe' >/dev/null 2>&1"
mkdir "$work/try" && cp "$kit/OrvixFlashUtility.exe" "$kit/simulator/VELT_ADI_Util.dll" "$work/try/"
check "copied together with the simulated library, it runs and prints its usage" \
  bash -c "out=\$('$wine32' '$work/try/OrvixFlashUtility.exe' 2>&1 | tr -d '\r'); rc=\${PIPESTATUS[0]}; echo \"\$out\";
           [ \$rc -eq 0 ] && grep -q 'OrvixFlashUtility' <<<\"\$out\""
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# The DLL's export table holds exactly the DFU_ functions the public header
# declares, by undecorated name, and nothing else.
# Usage: check-exports.sh VELT_DFU.dll VELT_DFU.h [EXPECTED_COUNT]
set -euo pipefail
dll=$1 header=$2 expected=${3:-}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

[ -f "$dll" ] || { echo "FAIL: $dll is missing (build the win64 tree first)"; exit 1; }
[ -f "$header" ] || { echo "FAIL: $header is missing"; exit 1; }

declared=$(sed -n 's/^DFU_API[^(]*[ *]\(DFU_[A-Za-z0-9_]*\)[[:space:]]*(.*/\1/p' "$header" | sort)
# objdump lists the name table as "[ n] NAME" (newer versions add ordinal and
# hint columns before the name): the name is the last field.
exported=$("$objdump" -p "$dll" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  awk '/^[[:space:]]*\[[[:space:]]*[0-9]+\]/ { print $NF }' | sort)

if [ -z "$declared" ]; then echo "FAIL: no DFU_API declarations found in $header"; exit 1; fi

status=0
missing=$(comm -23 <(echo "$declared") <(echo "$exported"))
extra=$(comm -13 <(echo "$declared") <(echo "$exported"))
if [ -n "$missing" ]; then echo "FAIL: declared but not exported:"; echo "$missing" | sed 's/^/  /'; status=1; fi
if [ -n "$extra" ]; then echo "FAIL: exported but not declared (decorated or stray names):"; echo "$extra" | sed 's/^/  /'; status=1; fi
count=$(echo "$declared" | wc -l)
if [ -n "$expected" ] && [ "$count" -ne "$expected" ]; then
  echo "FAIL: the header declares $count functions, expected $expected"; status=1
fi
echo "$count declared, $( [ -n "$exported" ] && echo "$exported" | wc -l || echo 0) exported"
[ $status -eq 0 ] && echo "OK: export table matches the header"
exit $status

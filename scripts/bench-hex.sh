#!/usr/bin/env bash
# Intel HEX reading and writing against objcopy (release build).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/native/bin/bench_hex
if [ ! -x "$bin" ]; then
  echo "bench-hex: $bin is not built (make native)" >&2
  exit 1
fi
if ! command -v objcopy >/dev/null; then
  echo "bench-hex: objcopy is missing (make setup installs it)" >&2
  exit 1
fi
exec "$bin" "$@"

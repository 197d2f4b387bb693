#!/usr/bin/env bash
# Benchmarks (release build): serial transport throughput, Intel HEX reading and writing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bench-dfu.sh
echo
scripts/bench-hex.sh

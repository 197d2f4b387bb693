#!/usr/bin/env bash
# The main job on simulated hardware: the DFU library's host tool against
# simulated USB and serial devices, then the flash utility against the
# simulated debug adapter.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/demo-dfu.sh
echo
scripts/demo-flashutil.sh

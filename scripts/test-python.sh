#!/usr/bin/env bash
# The Python binding as a user gets it: installed with pip into a private
# virtual environment (no network: setuptools comes from the system), then its
# tests run from outside the source tree against the build's library and the
# device simulator.
# Usage: test-python.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: test-python.sh BUILD_DIR}" && pwd)
python=/usr/bin/python3
venv=$build/python-venv

rm -rf "$venv"
"$python" -m venv --system-site-packages "$venv"
# A copy of the package directory, so the build leaves nothing in the source tree.
src=$(mktemp -d)
trap 'rm -rf "$src"' EXIT
cp -r "$root/python/." "$src/"
"$venv/bin/pip" install -q --no-index --no-build-isolation "$src" 2>&1 | grep -v 'WARNING: There was an error checking the latest version' || true
"$venv/bin/python" -c 'import velt_dfu, sys; sys.exit(0 if "site-packages" in velt_dfu.__file__ else "velt_dfu was not imported from the installed package: " + velt_dfu.__file__)'

export VELT_DFU_LIBRARY=$build/lib/libVELT_DFU.so
export VELT_SIM_BINARY=$build/bin/velt-dfu-sim
cd "$build"
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests"

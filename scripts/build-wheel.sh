#!/usr/bin/env bash
# The Python binding as a wheel (velt_dfu-VERSION-py3-none-any.whl), built
# offline: no package index, setuptools and wheel from the system (Debian's
# python3-setuptools and python3-wheel), no isolated build environment.
# Usage: build-wheel.sh OUT_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: build-wheel.sh OUT_DIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# A copy of the package directory, so the build leaves nothing in the source tree.
src=$(mktemp -d)
trap 'rm -rf "$src"' EXIT
cp -r "$root/python/." "$src/"
find "$src" -name __pycache__ -prune -exec rm -rf {} +
PIP_DISABLE_PIP_VERSION_CHECK=1 /usr/bin/python3 -m pip wheel -q --no-deps --no-index --no-build-isolation \
  -w "$out" "$src"

#!/usr/bin/env bash
# The Python binding as a user gets it: the wheel that `make package` builds,
# installed with pip and no package index into a fresh virtual environment,
# then its tests run from outside the source tree against the build's library
# and the device simulator.
#
# The environment is made from an interpreter other than /usr/bin/python3
# where PATH has one (the wheel must not depend on the system's Python), else
# from /usr/bin/python3, and the output says which. pytest comes from the
# system (Debian's python3-pytest): when the chosen interpreter has none of
# its own, a .pth file appends the system's pytest directory to the
# environment's path, after its own site-packages, so that pytest (pure
# Python) imports while velt_dfu is still the installed wheel; the tests check
# that it is.
# Usage: test-python.sh BUILD_DIR [VERSION]   (VERSION: the toolkit's, which the wheel must carry)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: test-python.sh BUILD_DIR [VERSION]}" && pwd)
version=${2:-}
system=/usr/bin/python3
venv=$build/python-venv
dist=$build/python-dist

rm -rf "$venv" "$dist"
"$root/scripts/build-wheel.sh" "$dist"
wheel=$(ls "$dist"/velt_dfu-*-py3-none-any.whl)
if [ -n "$version" ] && [ "$(basename "$wheel")" != "velt_dfu-$version-py3-none-any.whl" ]; then
  echo "python.binding: $(basename "$wheel") does not carry the toolkit's version $version (velt_dfu/__init__.py)" >&2
  exit 1
fi

# The interpreter itself, not a wrapper (a pyenv shim is a script), 3.8 or later.
real_of() {
  "$1" -c 'import os, sys; assert sys.version_info >= (3, 8); print(os.path.realpath(sys.executable))' 2>/dev/null
}

# A fresh environment from interpreter $1 with the wheel installed and pytest
# importable; fails (saying why) when that interpreter cannot have one.
prepare() {
  rm -rf "$venv"
  "$1" -m venv "$venv" >/dev/null 2>&1 || { echo "python.binding: $1 cannot make a virtual environment"; return 1; }
  PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install -q --no-index "$wheel" || return 1
  "$venv/bin/python" -c 'import pytest' 2>/dev/null && return 0
  local pytest_dir site
  pytest_dir=$("$system" -c 'import os, pytest; print(os.path.dirname(os.path.dirname(pytest.__file__)))')
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  echo "$pytest_dir" > "$site/system-pytest.pth"
  "$venv/bin/python" -c 'import pytest' 2>/dev/null ||
    { echo "python.binding: the system's pytest ($pytest_dir) does not import into $1"; return 1; }
  echo "python.binding: pytest from $pytest_dir"
}

system_real=$(real_of "$system")
candidates=()
IFS=: read -ra dirs <<< "$PATH"
for dir in "${dirs[@]}"; do
  real=$(real_of "$dir/python3") || continue
  [ "$real" != "$system_real" ] && [[ " ${candidates[*]-} " != *" $real "* ]] && candidates+=("$real")
done
[ ${#candidates[@]} -gt 0 ] || echo "python.binding: no interpreter other than $system on PATH"
python=""
for candidate in "${candidates[@]}" "$system_real"; do
  if prepare "$candidate"; then
    python=$candidate
    break
  fi
done
[ -n "$python" ] || { echo "python.binding: no interpreter could install the wheel" >&2; exit 1; }
[ "$python" != "$system_real" ] || echo "python.binding: testing with the system's interpreter $system"
echo "python.binding: velt_dfu from $(basename "$wheel") in a virtual environment of Python" \
  "$("$python" -c 'import platform; print(platform.python_version())') at $python"

export VELT_DFU_LIBRARY=$build/lib/libVELT_DFU.so
export VELT_SIM_BINARY=$build/bin/velt-dfu-sim
export VELT_TEST_VENV=$venv
cd "$build"
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests"

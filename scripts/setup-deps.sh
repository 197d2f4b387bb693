#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the toolkit.
# Quiet and quick when everything is already there.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

have_cmd g++ || need+=(g++)
have_cmd cmake || need+=(cmake)
have_cmd ninja || need+=(ninja-build)
have_pkg googletest || need+=(googletest)
have_pkg libgtest-dev || need+=(libgtest-dev)
have_cmd x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64)
have_cmd i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686)
have_cmd srec_cat || need+=(srecord)
have_cmd objdump || need+=(binutils)
have_cmd dfu-suffix || need+=(dfu-util)
# Static analysis (make lint).
have_cmd clang-tidy || need+=(clang-tidy)
have_cmd cppcheck || need+=(cppcheck)
have_pkg python3-pytest || need+=(python3-pytest)
have_pkg python3-venv || need+=(python3-venv)
have_pkg python3-setuptools || need+=(python3-setuptools)
# The binding's wheel is built offline with the system's pip, setuptools and wheel.
have_pkg python3-pip || need+=(python3-pip)
have_pkg python3-wheel || need+=(python3-wheel)
# Installs and packages (make package, make docs and their tests).
have_cmd help2man || need+=(help2man)
# The tool's terminal layout is read off a screen of a known size.
have_cmd tmux || need+=(tmux)
have_cmd doxygen || need+=(doxygen)
have_cmd pkg-config || need+=(pkg-config)
have_cmd dpkg-shlibdeps || need+=(dpkg-dev)
have_cmd lintian || need+=(lintian)
# Real USB devices (libusb) and their tests on an emulated bus (umockdev).
have_pkg libusb-1.0-0-dev || need+=(libusb-1.0-0-dev)
have_pkg libumockdev-dev || need+=(libumockdev-dev)
have_cmd umockdev-wrapper || need+=(umockdev)
# make fuzz: clang with libFuzzer and the sanitizer runtimes.
have_cmd clang++-14 || need+=(clang-14)
have_pkg libclang-rt-14-dev || need+=(libclang-rt-14-dev)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
have_cmd wine || need+=(wine)

want_i386=0
if ! have_pkg wine32:i386; then want_i386=1; need+=(wine32:i386); fi

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" != 0 ]; then
  echo "setup: missing packages: ${need[*]}; run as root to install them" >&2
  exit 1
fi

echo "setup: installing ${need[*]}"
if [ $want_i386 = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${need[@]}" >/dev/null

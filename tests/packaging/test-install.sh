#!/usr/bin/env bash
# Installs the native tree into a temporary prefix and uses it as a host
# developer would, with nothing of the source tree on any path: the header
# alone in C and C++, examples/dfu-download built once through find_package
# and once through pkg-config, both run against simulated devices (USB and
# serial) whose flash must then hold the image, and examples/api-tour (the
# API reference's examples) run against both.
# Usage: test-install.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 src=$2
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
passed=0 failed=0
ok() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
check() { local name=$1; shift; if "$@" >"$work/check.out" 2>&1; then ok "$name"; else fail "$name"; sed 's/^/     /' "$work/check.out" | tail -n 30; fi; }
finish() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; exit $?; }

prefix=$work/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  echo "FAIL cmake --install:"; cat "$work/install.log"; exit 1
fi
# The library's directory: Debian's multiarch one.
libdir=lib/$(cc -print-multiarch)
lib=$prefix/$libdir

# ---- what the install holds ----
expect_files() {
  local f missing=0
  for f in bin/velt-dfu bin/velt-dfu-sim $libdir/libVELT_DFU.so.1.1.0 include/VELT_DFU.h include/VELT_DFU_WinTypes.h \
           $libdir/cmake/VELT_DFU/VELT_DFUConfig.cmake $libdir/cmake/VELT_DFU/VELT_DFUConfigVersion.cmake \
           $libdir/cmake/VELT_DFU/VELT_DFUTargets.cmake $libdir/pkgconfig/VELT_DFU.pc \
           share/man/man1/velt-dfu.1.gz share/man/man1/velt-dfu-sim.1.gz; do
    [ -e "$prefix/$f" ] || { echo "missing $f"; missing=1; }
  done
  [ "$(readlink "$lib/libVELT_DFU.so.1")" = libVELT_DFU.so.1.1.0 ] || { echo "libVELT_DFU.so.1 is not a link to libVELT_DFU.so.1.1.0"; missing=1; }
  [ "$(readlink "$lib/libVELT_DFU.so")" = libVELT_DFU.so.1 ] || { echo "libVELT_DFU.so is not a link to libVELT_DFU.so.1"; missing=1; }
  return $missing
}
check "the install holds the library, its links, header, CMake and pkg-config files, tools and man pages" expect_files
check "the library's SONAME is libVELT_DFU.so.1" \
  bash -c "readelf -d '$lib/libVELT_DFU.so.1.1.0' | grep -F 'Library soname: [libVELT_DFU.so.1]'"
check "the include directory holds our two headers and nothing else" \
  bash -c "[ \"\$(ls '$prefix/include' | tr '\n' ' ')\" = 'VELT_DFU.h VELT_DFU_WinTypes.h ' ]"
check "the installed velt-dfu finds the installed library by itself" \
  bash -c "env -u LD_LIBRARY_PATH '$prefix/bin/velt-dfu' --version | grep -F 'VELT_DFU library: API version 1.1.1' &&
           [ \"\$(realpath \"\$(ldd '$prefix/bin/velt-dfu' | awk '/libVELT_DFU/ { print \$3 }')\")\" = '$lib/libVELT_DFU.so.1.1.0' ]"
check "the man pages hold the options of --help" bash -c "
  zcat '$prefix/share/man/man1/velt-dfu.1.gz' | grep -F '.SH OPTIONS' && zcat '$prefix/share/man/man1/velt-dfu.1.gz' | grep -F 'B\\-\\-timeout' &&
  zcat '$prefix/share/man/man1/velt-dfu-sim.1.gz' | grep -F 'B\\-\\-dosdevices'"

# ---- the header on its own: strict C11 and C++17, no other include path ----
cat >"$work/header.cpp" <<'CPP'
#include <VELT_DFU.h>
int main()
{
    USB_DEVICE_DESCRIPTOR device{};
    USB_INTERFACE_DESCRIPTOR interface{};
    WINUSB_SETUP_PACKET setup{};
    GUID guid = DFU_DEFAULT_DEVICE_GUID;
    BOOL open = DFU_IsOpened(nullptr);
    return device.bLength + interface.bLength + setup.Length + static_cast<int>(guid.Data4[0] != 0xAC) + open;
}
CPP
check "a C++ program compiles and links with only the installed include and library" \
  c++ -std=c++17 -Wall -Wextra -Werror -pedantic -I"$prefix/include" "$work/header.cpp" -L"$lib" -lVELT_DFU -o "$work/header"
check "... and runs: DFU_IsOpened(NULL) is FALSE" env LD_LIBRARY_PATH="$lib" "$work/header"
check "the header compiles as strict C11 and C17" bash -c "
  echo '#include <VELT_DFU.h>' | cc -std=c11 -Wall -Wextra -Werror -pedantic -I'$prefix/include' -x c -fsyntax-only - &&
  echo '#include <VELT_DFU.h>' | cc -std=c17 -Wall -Wextra -Werror -pedantic -I'$prefix/include' -x c -fsyntax-only -"

# ---- the example, through find_package and through pkg-config ----
check "examples/dfu-download builds through find_package(VELT_DFU)" bash -c "
  cmake -S '$src/examples/dfu-download' -B '$work/fp' -G Ninja -DCMAKE_PREFIX_PATH='$prefix' \
        -DCMAKE_C_FLAGS='-Wall -Wextra -Werror -pedantic' >/dev/null &&
  cmake --build '$work/fp' >/dev/null"
check "the pkg-config file names the prefix as it is, no .. in it" bash -c "
  PKG_CONFIG_PATH='$lib/pkgconfig' pkg-config --cflags --libs VELT_DFU | tee /dev/stderr |
    grep -qx -- '-I$prefix/include -L$lib -lVELT_DFU *'"
check "examples/dfu-download builds through pkg-config VELT_DFU" bash -c "
  export PKG_CONFIG_PATH='$lib/pkgconfig'
  [ \"\$(pkg-config --modversion VELT_DFU)\" = 1.1.0 ] &&
  cc -std=c11 -Wall -Wextra -Werror -pedantic \$(pkg-config --cflags VELT_DFU) '$src/examples/dfu-download/download.c' \
     -o '$work/dfu-download-pc' \$(pkg-config --libs VELT_DFU)"
check "examples/api-tour builds through find_package(VELT_DFU)" bash -c "
  cmake -S '$src/examples/api-tour' -B '$work/tour' -G Ninja -DCMAKE_PREFIX_PATH='$prefix' \
        -DCMAKE_C_FLAGS='-Wall -Wextra -Werror -pedantic' >/dev/null &&
  cmake --build '$work/tour' >/dev/null"
[ -x "$work/fp/dfu-download" ] && [ -x "$work/dfu-download-pc" ] && [ -x "$work/tour/dfu-tour" ] || finish

# One USB and one serial device, each saving its flash.
export VELT_USBDEVICES=$work/usb VELT_DOSDEVICES=$work/dos VELT_COMPORTS=none
"$prefix/bin/velt-dfu-sim" --log "$work/sim.log" --usb "vid=1234,pid=5678,flash=$work/usb-flash.bin,flash-size=1M" \
  --com "COM5,flash=$work/com-flash.bin,flash-size=1M" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q READY "$work/sim.out" && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q READY "$work/sim.out" || { fail "the installed simulator starts"; cat "$work/sim.out"; finish; }

size=$((48 * 1024 + 100)) block=1024
head -c "$size" /dev/urandom >"$work/image.bin"
{ cat "$work/image.bin"; head -c $((block - size % block)) /dev/zero | tr '\0' '\377'; } >"$work/padded.bin"

check "the find_package build lists both devices" bash -c "
  out=\$('$work/fp/dfu-download') && echo \"\$out\" &&
  grep -qx '2 device(s)' <<<\"\$out\" && grep -q '^0  usb   1234:5678  ' <<<\"\$out\" &&
  grep -qF '1  uart             \\\\.\\COM5' <<<\"\$out\""
check "the find_package build downloads to the USB device with progress" bash -c "
  out=\$('$work/fp/dfu-download' 0 '$work/image.bin' $block) && echo \"\$out\" &&
  grep -qx '  0%' <<<\"\$out\" && [ \$(grep -c '%\$' <<<\"\$out\") -ge 20 ] && grep -qx '100% done' <<<\"\$out\""
check "the pkg-config build downloads to COM5 with progress" bash -c "
  out=\$(LD_LIBRARY_PATH='$lib' '$work/dfu-download-pc' COM5 '$work/image.bin' $block) && echo \"\$out\" &&
  grep -qx '100% done' <<<\"\$out\" && grep -qx 'downloaded $work/image.bin to COM5' <<<\"\$out\""
check "a device that is not there is a failure, named" bash -c "
  out=\$(LD_LIBRARY_PATH='$lib' '$work/dfu-download-pc' COM9 '$work/image.bin' 2>&1); rc=\$?; echo \"\$out\";
  [ \$rc -eq 1 ] && grep -qF 'cannot open COM9: status 0x82' <<<\"\$out\""

# The reference's examples, in order, on each kind of device: the image read
# back is the one sent (the USB device already holds it: the tour's download
# must still pass through the return to dfuIDLE and the requests).
for dev in 0 COM5; do
  path=$dev; [ $dev = COM5 ] && path='\\.\COM5'
  check "examples/api-tour runs every family's example on $dev and reads back the image" bash -c "
    out=\$('$work/tour/dfu-tour' '$path' '$work/image.bin' '$work/readback-$dev.bin') && echo \"\$out\" &&
    grep -q '^state 2 (1 byte)\$' <<<\"\$out\" && grep -qxF 'tour of $path done' <<<\"\$out\" &&
    cmp '$work/padded.bin' '$work/readback-$dev.bin'"
done

kill "$sim_pid" && wait "$sim_pid" 2>/dev/null; sim_pid=
check "the USB device's flash holds the image and its 0xFF fill" cmp "$work/padded.bin" "$work/usb-flash.bin"
check "the serial device's flash holds the image and its 0xFF fill" cmp "$work/padded.bin" "$work/com-flash.bin"
finish

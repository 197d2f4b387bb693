#!/usr/bin/env bash
# Builds the Debian packages of the native tree with CPack into a temporary
# directory, unpacks each with dpkg -x into one root and checks what each
# holds and what it depends on; the unpacked velt-dfu must run from there.
# Usage: test-debs.sh BUILD_DIR VERSION
set -uo pipefail
build=$1 version=$2
major=${version%%.*}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
ok() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
check() { local name=$1; shift; if "$@" >"$work/check.out" 2>&1; then ok "$name"; else fail "$name"; sed 's/^/     /' "$work/check.out" | tail -n 30; fi; }

if ! (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1; then
  echo "FAIL cpack:"; tail -n 40 "$work/cpack.log"; exit 1
fi
arch=$(dpkg --print-architecture)
runtime=$work/out/libvelt-dfu${major}_${version}_$arch.deb
dev=$work/out/libvelt-dfu-dev_${version}_$arch.deb
tools=$work/out/velt-dfu-tools_${version}_$arch.deb
check "CPack made the runtime, -dev and tools packages and nothing else" bash -c "
  ls '$work/out'/*.deb && [ \$(ls '$work/out'/*.deb | wc -l) -eq 3 ] && [ -f '$runtime' ] && [ -f '$dev' ] && [ -f '$tools' ]"
[ "$failed" -eq 0 ] || { echo "$passed passed, $failed failed"; exit 1; }

# Files of a package, without directories, as ./path lines.
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sort; }
field() { dpkg-deb -f "$1" "$2"; }
has_dep() { # PACKAGE-FILE DEPENDENCY-REGEX
  field "$1" Depends | tr ',' '\n' | sed 's/^ *//' | grep -Eqx "$2" || { echo "Depends: $(field "$1" Depends)"; return 1; }
}

check "runtime: the versioned library and its SONAME link only" bash -c "
  diff <(printf '%s\n' ./usr/lib/libVELT_DFU.so.$major ./usr/lib/libVELT_DFU.so.$version) <(dpkg-deb -c '$runtime' | awk '\$1 !~ /^d/ { print \$6 }' | sort)"
check "runtime: named libvelt-dfu$major, section libs, with a shlibs file" bash -c "
  [ \"\$(dpkg-deb -f '$runtime' Package)\" = libvelt-dfu$major ] && [ \"\$(dpkg-deb -f '$runtime' Section)\" = libs ] &&
  dpkg-deb -I '$runtime' shlibs | grep -x 'libVELT_DFU $major libvelt-dfu$major (>= $version)'"
check "runtime: depends on the C and C++ runtimes" bash -c "
  $(declare -f field has_dep); has_dep '$runtime' 'libc6 \\(>= [0-9.~]+\\)' && has_dep '$runtime' 'libstdc\\+\\+6 \\(>= [0-9.~]+\\)'"
check "dev: header, link name, CMake and pkg-config files" bash -c "
  diff <(printf '%s\n' ./usr/include/VELT_DFU.h ./usr/include/VELT_DFU_WinTypes.h ./usr/lib/cmake/VELT_DFU/VELT_DFUConfig.cmake \
           ./usr/lib/cmake/VELT_DFU/VELT_DFUConfigVersion.cmake ./usr/lib/cmake/VELT_DFU/VELT_DFUTargets-relwithdebinfo.cmake \
           ./usr/lib/cmake/VELT_DFU/VELT_DFUTargets.cmake ./usr/lib/libVELT_DFU.so ./usr/lib/pkgconfig/VELT_DFU.pc | sort) \
       <(dpkg-deb -c '$dev' | awk '\$1 !~ /^d/ { print \$6 }' | sort)"
check "dev: depends on exactly this runtime version" bash -c "
  $(declare -f field has_dep); has_dep '$dev' 'libvelt-dfu$major \\(= $version\\)'"
check "tools: velt-dfu, velt-dfu-sim and their man pages" bash -c "
  diff <(printf '%s\n' ./usr/bin/velt-dfu ./usr/bin/velt-dfu-sim ./usr/share/man/man1/velt-dfu-sim.1.gz ./usr/share/man/man1/velt-dfu.1.gz) \
       <(dpkg-deb -c '$tools' | awk '\$1 !~ /^d/ { print \$6 }' | sort)"
check "tools: depends on this runtime version and the C++ runtime" bash -c "
  $(declare -f field has_dep); has_dep '$tools' 'libvelt-dfu$major \\(= $version\\)' && has_dep '$tools' 'libstdc\\+\\+6 \\(>= [0-9.~]+\\)'"

root=$work/root
for deb in "$runtime" "$dev" "$tools"; do dpkg -x "$deb" "$root"; done
check "unpacked: the -dev link name reaches the runtime's library" test -f "$root/usr/lib/libVELT_DFU.so"
check "unpacked: velt-dfu runs from the root with the runtime package's library" bash -c "
  env -u LD_LIBRARY_PATH '$root/usr/bin/velt-dfu' --version | grep -xF 'velt-dfu $version (package version)' &&
  ldd '$root/usr/bin/velt-dfu' | grep -F '$root/usr/bin/../lib/libVELT_DFU.so.$major'"
check "unpacked: the pkg-config file points into the root" bash -c "
  inc=\$(PKG_CONFIG_PATH='$root/usr/lib/pkgconfig' pkg-config --cflags-only-I VELT_DFU) && inc=\$(echo \$inc) && echo \"\$inc\" &&
  [ \"\$(realpath \"\${inc#-I}\")\" = '$root/usr/include' ]"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

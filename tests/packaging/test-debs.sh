#!/usr/bin/env bash
# Builds the Debian packages of the native tree with CPack into a temporary
# directory, checks what each holds and declares, and runs lintian over them.
# Then, as root, installs them into this machine with dpkg, uses them as a
# host developer and a Python user would (pkg-config, find_package, a
# program linked against the installed library, import velt_dfu), removes
# them and checks that nothing of theirs is left but conffiles; they are
# purged on every way out.
# Usage: test-debs.sh BUILD_DIR VERSION SOURCE_DIR
set -uo pipefail
build=$1 version=$2 src=$3
major=${version%%.*}
work=$(mktemp -d)
installed=0
packages=(libvelt-dfu-common libvelt-dfu$major libvelt-dfu-dev velt-dfu-tools python3-velt-dfu)
# dpkg waits for a lock that another apt or dpkg holds, for up to a minute.
dpkg_locked() {
  local out
  for _ in $(seq 60); do
    out=$(dpkg "$@" 2>&1) && return 0
    grep -q 'lock' <<<"$out" || { echo "$out"; return 1; }
    sleep 1
  done
  echo "$out"; return 1
}
cleanup() {
  [ $installed = 1 ] && dpkg_locked -P "${packages[@]}" >/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
passed=0 failed=0
ok() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
check() { local name=$1; shift; if "$@" >"$work/check.out" 2>&1; then ok "$name"; else fail "$name"; sed 's/^/     /' "$work/check.out" | tail -n 30; fi; }
finish() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; exit $?; }

if ! (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1; then
  echo "FAIL cpack:"; tail -n 40 "$work/cpack.log"; exit 1
fi
rm -rf "$work/out/_CPack_Packages"
arch=$(dpkg --print-architecture) multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb_version=$(dpkg-parsechangelog -l "$src/packaging/debian/changelog" -S Version)
runtime=$work/out/libvelt-dfu${major}_${deb_version}_$arch.deb
dev=$work/out/libvelt-dfu-dev_${deb_version}_$arch.deb
tools=$work/out/velt-dfu-tools_${deb_version}_$arch.deb
common=$work/out/libvelt-dfu-common_${deb_version}_all.deb
python=$work/out/python3-velt-dfu_${deb_version}_all.deb
check "the changelog's version is $version with a Debian revision" grep -Eqx "$version-[0-9]+" <<<"$deb_version"
check "CPack made the runtime, -dev, tools, udev and Python packages and nothing else" bash -c "
  ls '$work/out' && [ \$(ls '$work/out' | wc -l) -eq 5 ] && ls '$runtime' '$dev' '$tools' '$common' '$python'"
[ "$failed" -eq 0 ] || finish

# Files of a package, without directories, as /path lines.
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print substr($6, 2) }' | sort; }
# The files every package has beside its own.
docs_of() { printf '%s\n' "/usr/share/doc/$1/changelog.Debian.gz" "/usr/share/doc/$1/copyright" "/usr/share/lintian/overrides/$1"; }
field() { dpkg-deb -f "$1" "$2"; }
has_dep() { # PACKAGE-FILE DEPENDENCY-REGEX
  field "$1" Depends | tr ',' '\n' | sed 's/^ *//' | grep -Eqx "$2" || { echo "Depends: $(field "$1" Depends)"; return 1; }
}
same_files() { # PACKAGE-FILE FILE... : the package holds exactly these files
  diff <(printf '%s\n' "${@:2}" | sort) <(files_of "$1")
}
L=/usr/lib/$multiarch
py_files=$(cd "$src/python" && ls velt_dfu/*.py velt_dfu/py.typed | sed 's|^|/usr/lib/python3/dist-packages/|')

check "runtime: the library and its SONAME link in $L, the ldconfig trigger, no maintainer scripts" bash -c "
  $(declare -f files_of docs_of same_files)
  same_files '$runtime' $L/libVELT_DFU.so.$major $L/libVELT_DFU.so.$version \$(docs_of libvelt-dfu$major) &&
  [ \"\$(dpkg-deb -I '$runtime' triggers)\" = 'activate-noawait ldconfig' ] &&
  ! dpkg-deb -I '$runtime' postinst && ! dpkg-deb -I '$runtime' postrm"
check "runtime: shlibs, and a symbols file that names exactly the library's exports" bash -c "
  dpkg-deb -I '$runtime' shlibs | grep -x 'libVELT_DFU $major libvelt-dfu$major (>= $deb_version)' &&
  dpkg-deb -x '$runtime' '$work/rt' &&
  diff <(dpkg-deb -I '$runtime' symbols | sed -n 's/^ \([^@]*\)@Base .*/\1/p') \
       <(nm -D --defined-only '$work/rt$L/libVELT_DFU.so.$version' | awk '{ print \$3 }' | sort)"
check "runtime: depends on the C and C++ runtimes and the udev rules" bash -c "
  $(declare -f field has_dep); has_dep '$runtime' 'libc6 \\(>= [0-9.~]+\\)' &&
  has_dep '$runtime' 'libstdc\\+\\+6 \\(>= [0-9.~]+\\)' && has_dep '$runtime' 'libvelt-dfu-common \\(= $deb_version\\)'"
check "udev: the rules in /usr/lib/udev/rules.d, reloaded only where udev runs" bash -c "
  $(declare -f files_of docs_of same_files)
  same_files '$common' /usr/lib/udev/rules.d/60-velt-dfu.rules \$(docs_of libvelt-dfu-common) &&
  for s in postinst postrm; do dpkg-deb -I '$common' \$s | grep -F '[ -d /run/udev ] && command -v udevadm' || exit 1; done"
check "dev: header, link name, CMake and pkg-config files in $L" bash -c "
  $(declare -f files_of docs_of same_files)
  same_files '$dev' /usr/include/VELT_DFU.h /usr/include/VELT_DFU_WinTypes.h $L/cmake/VELT_DFU/VELT_DFUConfig.cmake \
    $L/cmake/VELT_DFU/VELT_DFUConfigVersion.cmake $L/cmake/VELT_DFU/VELT_DFUTargets-relwithdebinfo.cmake \
    $L/cmake/VELT_DFU/VELT_DFUTargets.cmake $L/libVELT_DFU.so $L/pkgconfig/VELT_DFU.pc \$(docs_of libvelt-dfu-dev) &&
  $(declare -f field has_dep); has_dep '$dev' 'libvelt-dfu$major \\(= $deb_version\\)'"
check "tools: velt-dfu, velt-dfu-sim and their man pages; depends on this runtime" bash -c "
  $(declare -f files_of docs_of same_files field has_dep)
  same_files '$tools' /usr/bin/velt-dfu /usr/bin/velt-dfu-sim /usr/share/man/man1/velt-dfu-sim.1.gz \
    /usr/share/man/man1/velt-dfu.1.gz \$(docs_of velt-dfu-tools) &&
  has_dep '$tools' 'libvelt-dfu$major \\(= $deb_version\\)' && has_dep '$tools' 'libstdc\\+\\+6 \\(>= [0-9.~]+\\)'"
check "python: every module of python/velt_dfu; depends on this runtime and Python 3" bash -c "
  $(declare -f files_of docs_of same_files field has_dep)
  same_files '$python' $(echo $py_files) \$(docs_of python3-velt-dfu) &&
  has_dep '$python' 'libvelt-dfu$major \\(= $deb_version\\)' && has_dep '$python' 'python3:any \\(>= 3.8~\\)'"
check "lintian finds nothing" "$src/scripts/lintian.sh" "$work/out"

# ---- installed into this machine, used, removed ----
if [ "$(id -u)" != 0 ]; then
  echo "SKIP install and removal: dpkg -i needs root"
  [ "$failed" -eq 0 ] || finish
  echo "$passed passed, $failed failed"; exit 77
fi
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed'; then
    fail "$p is installed on this machine already; this test will not replace it (dpkg -P ${packages[*]})"
    finish
  fi
done
installed=1
check "dpkg -i installs the five packages (udev not running here)" dpkg_locked -i "$runtime" "$dev" "$tools" "$common" "$python"
check "installed: the library is in the linker cache, the rules and the docs in place" bash -c "
  cached=\$(ldconfig -p | sed -n 's|^\tlibVELT_DFU.so.$major (.*) => ||p') && echo \"cache: \$cached\" &&
  [ \"\$(realpath \"\$cached\")\" = $L/libVELT_DFU.so.$version ] &&
  [ -f /usr/lib/udev/rules.d/60-velt-dfu.rules ] &&
  for p in ${packages[*]}; do [ -f /usr/share/doc/\$p/copyright ] && [ -f /usr/share/doc/\$p/changelog.Debian.gz ] || exit 1; done"
check "installed: pkg-config gives the system paths as they are" bash -c "
  flags() { echo \$(\"\$@\"); }  # the words, without pkg-config's trailing blank
  flags pkg-config --cflags --libs VELT_DFU && [ \"\$(flags pkg-config --cflags --libs VELT_DFU)\" = '-lVELT_DFU' ] &&
  [ \"\$(PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 flags pkg-config --cflags VELT_DFU)\" = '-I/usr/include' ]"
cat >"$work/consumer.c" <<'C'
#include <VELT_DFU.h>
#include <stdio.h>
int main(void)
{
    uint8_t major = 0, minor = 0;
    uint32_t third = 0;
    if (DFU_GetLibraryVersion(&major, &minor, &third) != DFU_STATUS_SUCCESS)
        return 1;
    printf("%u.%u.%u\n", major, minor, (unsigned)third);
    return 0;
}
C
check "installed: a program builds with pkg-config and runs against the installed library" bash -c "
  cc -std=c11 -Wall -Wextra -Werror -pedantic \$(pkg-config --cflags VELT_DFU) '$work/consumer.c' -o '$work/consumer' \$(pkg-config --libs VELT_DFU) &&
  [ \"\$(env -u LD_LIBRARY_PATH '$work/consumer')\" = 1.1.1 ] &&
  [ \"\$(realpath \"\$(ldd '$work/consumer' | awk '/libVELT_DFU/ { print \$3 }')\")\" = $L/libVELT_DFU.so.$version ]"
check "installed: find_package(VELT_DFU) finds it with no prefix given" bash -c "
  cmake -S '$src/examples/dfu-download' -B '$work/fp' -G Ninja >/dev/null && cmake --build '$work/fp' >/dev/null &&
  env -u LD_LIBRARY_PATH '$work/fp/dfu-download' | grep -E '^[0-9]+ device'"
check "installed: velt-dfu runs, and Python imports velt_dfu and loads the library" bash -c "
  cd / && env -u LD_LIBRARY_PATH /usr/bin/velt-dfu --version | grep -xF 'velt-dfu $version (package version)' &&
  env -u VELT_DFU_LIBRARY -u PYTHONPATH /usr/bin/python3 -c 'import velt_dfu; print(velt_dfu.__file__, velt_dfu.library_version())' |
    grep -E '^/usr/lib/python3/dist-packages/velt_dfu/__init__.py \\(1, 1, 1\\)$'"

owned=$(dpkg -L "${packages[@]}" | sort -u)
conffiles=$(dpkg-query -W -f='${Conffiles}\n' "${packages[@]}" | awk 'NF { print $1 }')
check "dpkg -r removes them" dpkg_locked -r "${packages[@]}"
left_behind() { # what they owned that is still there, conffiles and directories others own apart
  local path
  while read -r path; do
    [ "$path" = /. ] && continue
    [ -e "$path" ] || [ -L "$path" ] || continue
    grep -qxF "$path" <<<"$conffiles" && continue
    [ -d "$path" ] && [ -n "$(dpkg -S "$path" 2>/dev/null)" ] && continue
    echo "$path"
  done <<<"$owned"
}
check "after dpkg -r nothing of theirs is left but conffiles (byte-compiled Python included)" bash -c "
  $(declare -f left_behind); owned='$owned' conffiles='$conffiles'
  left=\$(left_behind); [ -z \"\$left\" ] || { echo \"left: \$left\"; exit 1; }"
check "dpkg -P purges them" dpkg_locked -P "${packages[@]}"
installed=0
finish

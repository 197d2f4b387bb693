#!/usr/bin/env bash
# Runs lintian over the Debian packages in a directory. Any error, warning or
# info tag that the packages do not override (with the reason beside it, in
# packaging/debian/PACKAGE.lintian-overrides) fails.
# Usage: lintian.sh DIR
set -euo pipefail
dir=${1:?usage: lintian.sh DIR}
command -v lintian >/dev/null || { echo "lintian: not installed: run make setup (as root)" >&2; exit 1; }
shopt -s nullglob
debs=("$dir"/*.deb)
[ ${#debs[@]} -gt 0 ] || { echo "lintian: no packages in $dir" >&2; exit 1; }
# lintian warns on stderr when run as root; that is the build's business, not the packages'.
if out=$(lintian --display-info --fail-on error,warning,info "${debs[@]}" 2> >(grep -v 'running with root privileges' >&2)); then
  [ -z "$out" ] || echo "$out"
  echo "lintian: ${#debs[@]} packages clean"
else
  echo "$out"
  echo "lintian: findings above (fix them, or override them with a reason)" >&2
  exit 1
fi

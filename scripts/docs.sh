#!/usr/bin/env bash
# Builds the HTML API reference from the public header; any Doxygen warning
# (an undocumented export, field or status code, a broken command) fails it.
# Usage: docs.sh [OUTPUT_DIR]   (default build/docs; the pages land in OUTPUT_DIR/html)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build/docs}" && cd "${1:-$root/build/docs}" && pwd)
command -v doxygen >/dev/null || { echo "docs: doxygen is not installed: run make setup (as root)" >&2; exit 1; }
cd "$root"
rm -rf "$out/html"
{ cat docs/Doxyfile; echo "OUTPUT_DIRECTORY = $out"; } | doxygen - 
[ -f "$out/html/index.html" ] || { echo "docs: no $out/html/index.html" >&2; exit 1; }
echo "docs: $out/html/index.html"

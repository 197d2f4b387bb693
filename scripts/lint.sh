#!/usr/bin/env bash
# Static analysis of the library, the utility, the platform layer, the
# simulators and the tools: clang-tidy (.clang-tidy) and cppcheck, file by
# file in parallel, from the native tree's compile commands. Any finding fails.
# A file that passed clang-tidy is not analysed again until it, one of our
# headers, its compile command or the configuration changes.
# Usage: scripts/lint.sh [native build dir]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
jobs=${JOBS:-$(nproc)}
cd "$root"

[ -f "$build/compile_commands.json" ] || cmake --preset native >/dev/null

tidy_bin=clang-tidy-14
command -v $tidy_bin >/dev/null || tidy_bin=clang-tidy
# The analyzer's path budget per function is a third of its default, which
# halves its time; what it finds on shorter paths it still finds.
tidy_args=(--quiet -extra-arg=-Xclang -extra-arg=-analyzer-config -extra-arg=-Xclang -extra-arg=max-nodes=75000)

lint_dir=$build/lint
mkdir -p "$lint_dir/passed" "$lint_dir/logs"
rm -f "$lint_dir"/logs/*

# The compile commands of our own sources only (the tests and GoogleTest stay
# out), and the list of those not yet passed: "source<TAB>stamp" lines.
python3 - "$build/compile_commands.json" "$lint_dir" "$root" "$($tidy_bin --version)" "${tidy_args[*]}" <<'EOF'
import hashlib, json, os, sys
source, lint_dir, root, version, args = sys.argv[1:6]
dirs = ("dfu", "flashutil", "platform", "sim", "tools")
ours = tuple(os.path.join(root, d) + os.sep for d in dirs)
entries = [e for e in json.load(open(source)) if os.path.abspath(e["file"]).startswith(ours)]
json.dump(entries, open(os.path.join(lint_dir, "compile_commands.json"), "w"), indent=1)

common = hashlib.sha256()
for part in (version, args, open(os.path.join(root, ".clang-tidy")).read()):
    common.update(part.encode() + b"\0")
for d in dirs:
    for top, subdirs, files in sorted(os.walk(os.path.join(root, d))):
        subdirs.sort()
        for name in sorted(files):
            if name.endswith((".h", ".hpp")):
                path = os.path.join(top, name)
                common.update(path.encode() + b"\0" + open(path, "rb").read())
with open(os.path.join(lint_dir, "pending.txt"), "w") as pending:
    for e in entries:
        key = common.copy()
        key.update(json.dumps(e, sort_keys=True).encode() + open(e["file"], "rb").read())
        stamp = os.path.join(lint_dir, "passed", key.hexdigest())
        if not os.path.exists(stamp):
            pending.write(e["file"] + "\t" + stamp + "\n")
EOF

start=$SECONDS
total=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))))' "$lint_dir/compile_commands.json")
pending=$(wc -l <"$lint_dir/pending.txt")
export tidy_bin lint_dir tidy_args_text="${tidy_args[*]}"
# One clang-tidy per file, its output kept apart; a clean file leaves a stamp.
tr '\t' '\n' <"$lint_dir/pending.txt" | xargs -d '\n' -r -n 2 -P "$jobs" bash -c '
    log=$lint_dir/logs/$(tr / _ <<<"$1").log
    # shellcheck disable=SC2086 # the arguments hold no spaces
    if "$tidy_bin" -p "$lint_dir" $tidy_args_text "$1" >"$log" 2>&1; then touch "$2"; rm -f "$log"; fi
' _ || true
tidy=0
for log in "$lint_dir"/logs/*.log; do
    [ -e "$log" ] || continue
    tidy=1
    grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' "$log" || true
done
echo "lint: clang-tidy $([ $tidy = 0 ] && echo clean || echo FAILED), $pending of $total files analysed in $((SECONDS - start)) s"

cpp=0
start=$SECONDS
# warning, portability and performance; style is left to review. Inline
# suppressions (// cppcheck-suppress id ; reason) are the only exceptions.
if ! cppcheck --project="$lint_dir/compile_commands.json" -j "$jobs" --quiet \
        --enable=warning,portability,performance --inline-suppr --error-exitcode=1 \
        --suppress=missingIncludeSystem --std=c++17 \
        --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
        --cppcheck-build-dir="$lint_dir"; then
    cpp=1
fi
echo "lint: cppcheck $([ $cpp = 0 ] && echo clean || echo FAILED) in $((SECONDS - start)) s"
[ $tidy = 0 ] && [ $cpp = 0 ]

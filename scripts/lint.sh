#!/usr/bin/env bash
# The style checks of CI: the include graph of include/ and src/ (scripts/check_includes.sh), every
# tracked C++ file against .clang-format, and src/ against .clang-tidy. An upward include or an
# include cycle, a drifted file or a tidy warning makes the exit status 1; each is printed. The
# tools are pinned to version 14 (Debian 12's), so that a machine with another version installed
# fails on nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/deps.sh
zq_install_missing "${ZQ_BUILD_PACKAGES[@]}" "${ZQ_LINT_PACKAGES[@]}"

jobs=$(nproc)
status=0

# python3 comes with clang-tidy-14 (run-clang-tidy is a python3 script).
if ! bash scripts/check_includes.sh; then
    status=1
fi

echo "== format: tracked C++ files against .clang-format (clang-format-14)"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t sources < <(git ls-files '*.cpp' '*.h')
else
    mapfile -t sources < <(find include src tests examples bench fuzz -name '*.cpp' -o -name '*.h' | sort)
fi
drifted=0
for f in "${sources[@]}"; do
    if ! clang-format-14 --dry-run --Werror "$f" >/dev/null 2>&1; then
        # The first place that differs, as clang-format words it.
        clang-format-14 --dry-run "$f" 2>&1 | grep -m1 -- '-Wclang-format-violations' || echo "$f: not formatted"
        drifted=$((drifted + 1))
    fi
done
if [ "$drifted" -gt 0 ]; then
    echo "== format: $drifted of ${#sources[@]} files differ from .clang-format (clang-format-14 -i FILE)"
    status=1
fi

echo "== tidy: src/ against .clang-tidy (clang-tidy-14)"
dir=build-ci-tidy
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DZQDDS_BUILD_TESTS=OFF \
    -DZQDDS_BUILD_BENCH=OFF -DZQDDS_BUILD_EXAMPLES=OFF >/dev/null
tidy_rc=0
run-clang-tidy-14 -clang-tidy-binary clang-tidy-14 -p "$dir" -quiet -j "$jobs" "$PWD/src/" 2>&1 |
    sed 's/\x1b\[[0-9;]*m//g' >"$dir/tidy.log" || tidy_rc=$?
if grep -E ': (warning|error): ' "$dir/tidy.log" || [ "$tidy_rc" -ne 0 ]; then
    echo "== tidy: FAILED (log: $dir/tidy.log)"
    status=1
fi
exit $status

#!/usr/bin/env bash
# Installs what is missing, builds plain and with ASan+UBSan, and runs every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/deps.sh
zq_install_missing "${ZQ_BUILD_PACKAGES[@]}" "${ZQ_TEST_PACKAGES[@]}"

jobs=$(nproc)
status=0
for variant in plain asan; do
    dir=build-ci-$variant
    sanitizer=""
    [ "$variant" = asan ] && sanitizer=address
    echo "== $variant: configure and build"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQDDS_WERROR=ON -DZQDDS_SANITIZER="$sanitizer" >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "== $variant: tests"
    if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300; then
        status=1
    fi
done
exit $status

#!/usr/bin/env bash
# Installs what is missing, builds plain and with ASan+UBSan, and runs every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ binutils pkgconf libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev iproute2 util-linux)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

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

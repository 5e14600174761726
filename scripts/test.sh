#!/usr/bin/env bash
# Installs what is missing, checks the style (scripts/lint.sh: .clang-format and .clang-tidy), builds
# plain and with ASan+UBSan and runs every test in both builds, runs each fuzz target for a while
# under libFuzzer with ASan+UBSan, and runs every test under TSan. Any style finding, failure,
# sanitizer report or fuzz finding makes the exit status 1.
#
# ZQDDS_FUZZ_SECONDS (default 30) is how long each fuzz target runs.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/deps.sh
zq_install_missing "${ZQ_BUILD_PACKAGES[@]}" "${ZQ_TEST_PACKAGES[@]}" "${ZQ_LINT_PACKAGES[@]}"

jobs=$(nproc)
status=0

if ! bash scripts/lint.sh; then
    status=1
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for variant in plain asan; do
    dir=build-ci-$variant
    sanitizer=""
    [ "$variant" = asan ] && sanitizer=address
    echo "== $variant: configure and build"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQDDS_WERROR=ON -DZQDDS_SANITIZER="$sanitizer" >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "== $variant: tests"
    if ! ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300; then
        status=1
    fi
done

# Fuzz targets: libFuzzer needs clang. Each starts from its seeds in fuzz/corpus/<target>; what it
# finds new goes to a scratch directory, a crashing input to build-ci-fuzz/findings.
echo "== fuzz: configure and build"
dir=build-ci-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQDDS_WERROR=ON \
    -DZQDDS_SANITIZER=address -DZQDDS_FUZZ=ON -DZQDDS_BUILD_TESTS=OFF -DZQDDS_BUILD_BENCH=OFF \
    -DZQDDS_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$dir" -j "$jobs"
seconds=${ZQDDS_FUZZ_SECONDS:-30}
rm -rf "$dir/scratch" "$dir/findings"
mkdir -p "$dir/findings"
targets=()
for corpus in fuzz/corpus/*/; do
    targets+=("$(basename "$corpus")")
done
# Half the cores at a time, each target one process.
parallel=$(( jobs / 2 > 0 ? jobs / 2 : 1 ))
fuzz_failed=()
run_target() {
    local t=$1
    mkdir -p "$dir/scratch/$t"
    "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -close_fd_mask=1 -print_final_stats=1 \
        -artifact_prefix="$dir/findings/$t-" "$dir/scratch/$t" "fuzz/corpus/$t" >"$dir/fuzz_$t.log" 2>&1
}
pids=()
names=()
for t in "${targets[@]}"; do
    echo "== fuzz: $t for ${seconds} s"
    run_target "$t" &
    pids+=($!)
    names+=("$t")
    if [ ${#pids[@]} -ge "$parallel" ]; then
        if ! wait "${pids[0]}"; then fuzz_failed+=("${names[0]}"); fi
        pids=("${pids[@]:1}")
        names=("${names[@]:1}")
    fi
done
for i in "${!pids[@]}"; do
    if ! wait "${pids[$i]}"; then fuzz_failed+=("${names[$i]}"); fi
done
for t in "${targets[@]}"; do
    grep -E "^stat::number_of_executed_units" "$dir/fuzz_$t.log" | sed "s/^/   $t: /" || true
done
if [ ${#fuzz_failed[@]} -gt 0 ]; then
    for t in "${fuzz_failed[@]}"; do
        echo "== fuzz: $t FAILED"
        tail -n 60 "$dir/fuzz_$t.log"
    done
    ls -l "$dir/findings"
    status=1
fi

# TSan: every test, so that a new threaded test is covered without joining a list. No
# suppressions: a report fails the test. The kill soak is left out: its peer processes are slowed so
# much by TSan that readers give up on writers before they answer; it runs in the plain and ASan
# builds.
echo "== tsan: configure and build"
dir=build-ci-tsan
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQDDS_WERROR=ON -DZQDDS_SANITIZER=thread \
    -DZQDDS_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$jobs"
echo "== tsan: tests"
if ! TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$dir" -E KillSoak -j "$jobs" --output-on-failure --timeout 300; then
    status=1
fi
exit $status

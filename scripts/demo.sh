#!/usr/bin/env bash
# The demo: installs what is missing, builds the library and the two example programs (Release),
# and runs a writer and a reader of one topic as two processes that find each other by multicast
# discovery and exchange messages. Both run inside a private network namespace that has nothing
# but its own loopback interface, so no packet can leave the machine's loopback; the script shows
# that the transmit counters of the machine's other interfaces stay where they were.
# Run it as root. Exit status 0 when the reader received every message, 2 when some were lost,
# 1 when none arrived or a program failed. There is no time limit: both programs end by themselves.
#
# Usage: bash scripts/demo.sh [writer options, e.g. --count 500 --rate 250 --size 4096]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
self="$root/scripts/demo.sh"
build="$root/build-demo"
cd "$root"

# Keeps the library's green and blue detail lines in the logs only; errors and warnings show.
show() {
    grep --line-buffered -av $'\e\\[3[24]m\\[DDS\\]' || true
}

if [ "${1:-}" = "--inside" ]; then
    shift
    # In the private namespaces: loopback up with multicast and a route for the discovery group.
    ip link set lo up
    ip link set lo multicast on
    ip route add 224.0.0.0/4 dev lo
    # A new namespace lets a Unix datagram socket queue 10 datagrams (most hosts raise it to 512
    # at boot); with 10, a reader that a busy machine keeps waiting for a tenth of a second loses
    # messages at 100 per second.
    echo 512 >/proc/sys/net/unix/max_dgram_qlen
    # sysfs as this namespace sees it, for the interface list and the counters below.
    mount -t sysfs sysfs /sys
    # The Unix-socket files of the data channel go to a /tmp of our own. A clone under /tmp stays
    # reachable: it is held open before the mount and bound back at its own path.
    real_root="$(realpath "$root")"
    case "$real_root" in
    /tmp/*) exec {keep}<"$real_root" ;;
    esac
    mount -t tmpfs zqdemo /tmp
    if [ -n "${keep:-}" ]; then
        mkdir -p "$real_root"
        mount --no-canonicalize --bind "/proc/self/fd/$keep" "$real_root"
        exec {keep}<&-
    fi
    echo "== interfaces in the demo's namespace: $(ip -o link show | awk -F': ' '{ print $2 }' | tr '\n' ' ')"
    lo_before=$(cat /sys/class/net/lo/statistics/tx_packets)
    logs="$build/demo-logs"
    mkdir -p "$logs"
    bin="$build/examples"
    cfg="$root/config/demo.json"
    rm -f "$logs/summary"
    echo "== reader and writer start (configuration: config/demo.json; full output in build-demo/demo-logs/)"
    echo "== no time limit: the writer ends once it has sent its messages and the reader has gone (or a few"
    echo "   seconds after its last message), the reader 2 s after the last message; each gives up after"
    echo "   waiting 20 s (--wait) for the other"
    (
        set +e
        "$bin/demo_reader" --config "$cfg" 2>&1 | tee "$logs/reader.log" | show
        exit "${PIPESTATUS[0]}"
    ) &
    reader=$!
    (
        set +e
        "$bin/demo_writer" --config "$cfg" "$@" 2>&1 | tee "$logs/writer.log" | show
        exit "${PIPESTATUS[0]}"
    ) &
    writer=$!
    reader_rc=0
    writer_rc=0
    wait "$reader" || reader_rc=$?
    wait "$writer" || writer_rc=$?
    lo_after=$(cat /sys/class/net/lo/statistics/tx_packets)
    echo "== loopback of the demo's namespace carried $((lo_after - lo_before)) packets (discovery and the control connection; the data itself goes by Unix-domain socket)"
    echo "== reader exit status $reader_rc, writer exit status $writer_rc"
    # The reader's last count, e.g. "[reader] received 767 of 1000 messages (233 lost, ...".
    counts=$(sed -n 's/.*\[reader\] received \([0-9]*\) of \([0-9]*\) messages (\([0-9]*\) lost.*/\1 \2 \3/p' \
        "$logs/reader.log" | tail -n 1)
    read -r got total lost <<<"${counts:-0 0 0}"
    if [ "$reader_rc" -ne 0 ] || [ "$got" -eq 0 ]; then
        echo "demo FAILED: the reader received no message (see build-demo/demo-logs/)" >"$logs/summary"
        exit 1
    elif [ "$lost" -gt 0 ] || [ "$got" -lt "$total" ]; then
        echo "demo done WITH LOSS: the reader received $got of $total messages, $lost were LOST" >"$logs/summary"
        exit 2
    elif [ "$writer_rc" -ne 0 ]; then
        echo "demo FAILED: the writer ended with status $writer_rc (see build-demo/demo-logs/)" >"$logs/summary"
        exit 1
    fi
    echo "demo passed: the reader received all $total messages, none lost" >"$logs/summary"
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/demo.sh: run it as root (it installs packages and makes a private network namespace)" >&2
    exit 1
fi

. scripts/deps.sh
zq_install_missing "${ZQ_BUILD_PACKAGES[@]}" iproute2 util-linux

echo "== build (Release, examples only) in build-demo/"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZQDDS_BUILD_TESTS=OFF -DZQDDS_BUILD_BENCH=OFF \
    -DZQDDS_BUILD_EXAMPLES=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target demo_writer demo_reader

# Transmit counters of the machine's own interfaces other than loopback.
tx_counters() {
    local dev
    for dev in /sys/class/net/*; do
        [ "$(basename "$dev")" = lo ] && continue
        [ -r "$dev/statistics/tx_packets" ] || continue
        echo "$(basename "$dev") $(cat "$dev/statistics/tx_packets")"
    done
}
before="$(tx_counters)"

status=0
unshare --net --ipc --mount --propagation private bash "$self" --inside "$@" || status=$?

after="$(tx_counters)"
echo "== transmit counters of the machine's other interfaces (before -> after):"
if [ -z "$before" ]; then
    echo "   (the machine has no interface besides lo)"
fi
moved=0
while read -r dev count; do
    [ -n "$dev" ] || continue
    now=$(echo "$after" | awk -v d="$dev" '$1 == d { print $2 }')
    delta=$(( ${now:-$count} - count ))
    echo "   $dev: $count -> ${now:-?} ($delta)"
    [ "$delta" -eq 0 ] || moved=1
done <<<"$before"
if [ "$moved" -eq 0 ]; then
    echo "== unchanged: the demo sent nothing beyond loopback"
else
    echo "== a counter moved: that is other traffic of this machine (e.g. a remote shell); the demo's"
    echo "   namespace above had no interface but its own lo, so none of its packets could leave it"
fi
if [ -s "$build/demo-logs/summary" ]; then
    echo "== $(cat "$build/demo-logs/summary") (exit status $status)"
else
    echo "== demo FAILED (exit status $status)"
fi
exit "$status"

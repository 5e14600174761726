#!/usr/bin/env bash
# The demo: installs what is missing, builds the library and the two example programs (Release),
# and runs a writer and a reader of one topic as two processes that find each other by multicast
# discovery and exchange messages. Both run inside a private network namespace that has nothing
# but its own loopback interface, so no packet can leave the machine's loopback; the script shows
# that the transmit counters of the machine's other interfaces stay where they were.
# Run it as root. Exit status 0 when the reader received messages.
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
    # sysfs as this namespace sees it, for the interface list and the counters below.
    mount -t sysfs sysfs /sys
    # The Unix-socket files of the data channel go to a /tmp of our own.
    case "$root" in
    /tmp | /tmp/*) ;;
    *) mount -t tmpfs zqdemo /tmp ;;
    esac
    echo "== interfaces in the demo's namespace: $(ip -o link show | awk -F': ' '{ print $2 }' | tr '\n' ' ')"
    lo_before=$(cat /sys/class/net/lo/statistics/tx_packets)
    logs="$build/demo-logs"
    mkdir -p "$logs"
    bin="$build/examples"
    cfg="$root/config/demo.json"
    echo "== reader and writer start (configuration: config/demo.json; full output in build-demo/demo-logs/)"
    (
        set +e
        timeout 60 "$bin/demo_reader" --config "$cfg" 2>&1 | tee "$logs/reader.log" | show
        exit "${PIPESTATUS[0]}"
    ) &
    reader=$!
    (
        set +e
        timeout 60 "$bin/demo_writer" --config "$cfg" "$@" 2>&1 | tee "$logs/writer.log" | show
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
    exit "$reader_rc"
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
if [ "$status" -eq 0 ]; then
    echo "== demo passed: the reader received messages"
else
    echo "== demo failed (status $status)"
fi
exit "$status"

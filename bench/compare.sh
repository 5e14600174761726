#!/usr/bin/env bash
# Measures libzqdds next to its peers in one go on this machine and writes one markdown table,
# a CSV and a plot of round-trip latency by payload.
#
#   bash bench/compare.sh [--quick] [--loaded-only] [--loaded-seconds S] [--out DIR]
#
# As root on Debian 12. Installs what is missing from Debian's packages (cyclonedds-tools for
# ddsperf, iceoryx with iox-roudi and its headers, libzmq3-dev, gnuplot-nox), builds the library
# and zqperf (Release), builds the harnesses in bench/peers, then runs everything inside private
# network, IPC and mount namespaces (lo with multicast, its own /tmp, /dev/shm and /run/netns).
# What crosses hosts runs across a veth pair to a second namespace (198.18.77.1 and .2): the UDP
# run of zqperf, the raw UDP floors and the Cyclone DDS "veth" rows, so that UDP is compared on
# the same link; the Cyclone DDS rows on lo are kept beside them. Nothing leaves this machine's
# own namespaces. Results go to bench/results/ (or --out): compare-<date>-<host>.{md,csv,png}.
#
# The loaded rows (--loaded-only runs only them, into compare-<date>-<host>-loaded.*): paced 64 B
# streams at 100 Hz, 1 kHz and 10 kHz (one-way latency, CPU per message of the writing and the
# reading process), the writing process on a CPU shared with a busy process, and every CPU busy
# (one busy process per CPU at nice 0). Cyclone DDS is measured the same way in the same run:
# its CPU per message from a paced best-effort pub/sub pair (CPU of both processes over a window
# once the stream flows, from the scheduler's per-thread sums, as zqperf takes its own over the
# paced window), its latency as half the round trip of a paced ping. Every busy
# process is bounded by timeout and killed on exit.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SIZES="64,1024,65536,1048576"
COUNT=10000
WARMUP=1000
TPUT_BYTES=$((256 * 1024 * 1024))
TPUT_SECONDS=2
DDS_SECONDS=6
LOADED_SECONDS=5
LOADED_ONLY=
OUT="$ROOT/bench/results"
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) COUNT=2000; WARMUP=200; TPUT_BYTES=$((32 * 1024 * 1024)); TPUT_SECONDS=1; DDS_SECONDS=3; QUICK=1
        [ -n "${LOADED_SET:-}" ] || LOADED_SECONDS=2 ;;
    --loaded-only) LOADED_ONLY=1 ;;
    --loaded-seconds) LOADED_SECONDS="$2"; LOADED_SET=1; shift ;;
    --out) OUT="$2"; shift ;;
    --inside) INSIDE=1 ;;
    *) echo "usage: bash bench/compare.sh [--quick] [--loaded-only] [--loaded-seconds S] [--out DIR]" >&2; exit 2 ;;
    esac
    shift
done
WORK="${ZQCMP_WORK:-$ROOT/build-compare}"

if [ -z "${INSIDE:-}" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "compare.sh: run as root (it installs packages and makes namespaces)" >&2
        exit 1
    fi
    need=()
    for pkg in build-essential cmake iproute2 python3 cyclonedds-tools iceoryx libiceoryx-posh-dev \
        libiceoryx-hoofs-dev libzmq3-dev gnuplot-nox nlohmann-json3-dev; do
        dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
    done
    if [ ${#need[@]} -gt 0 ]; then
        echo "installing: ${need[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    fi
    mkdir -p "$WORK/bin" "$OUT"
    echo "building libzqdds and zqperf (Release)"
    cmake -S "$ROOT" -B "$WORK/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$WORK/build" -j4 --target zqperf >/dev/null
    echo "building the harnesses"
    IOX_INC="$(ls -d /usr/include/iceoryx/v* | sort -V | tail -1)"
    g++ -O2 -std=c++17 -o "$WORK/bin/raw_pingpong" "$ROOT/bench/peers/raw_pingpong.cpp"
    g++ -O2 -std=c++17 -o "$WORK/bin/raw_tput" "$ROOT/bench/peers/raw_tput.cpp"
    g++ -O2 -std=c++17 -o "$WORK/bin/zmq_perf" "$ROOT/bench/peers/zmq_perf.cpp" -lzmq -lpthread
    g++ -O2 -std=c++17 -I"$IOX_INC" -o "$WORK/bin/iox_perf" "$ROOT/bench/peers/iox_perf.cpp" \
        -liceoryx_posh -liceoryx_hoofs -liceoryx_platform -lpthread
    cp "$WORK/build/bench/zqperf" "$WORK/bin/zqperf"
    export ZQCMP_WORK="$WORK"
    args=(--inside --out "$OUT")
    [ -n "${QUICK:-}" ] && args+=(--quick)
    [ -n "$LOADED_ONLY" ] && args+=(--loaded-only)
    args+=(--loaded-seconds "$LOADED_SECONDS")
    exec unshare --net --ipc --mount --propagation private bash "${BASH_SOURCE[0]}" "${args[@]}"
fi

# ---- inside the private namespaces
# The results and the build may lie under /tmp: held open across the mount of a fresh /tmp and
# bound back at their own paths.
keep=()
for dir in "$OUT" "$WORK"; do
    case "$(realpath "$dir")/" in /tmp/*) keep+=("$(realpath "$dir")") ;; esac
done
for i in "${!keep[@]}"; do
    eval "exec $((10 + i))<\"\${keep[$i]}\""
done
mount -t tmpfs zqcmp-tmp /tmp
for i in "${!keep[@]}"; do
    mkdir -p "${keep[$i]}"
    mount --no-canonicalize --bind "/proc/self/fd/$((10 + i))" "${keep[$i]}"
    eval "exec $((10 + i))<&-"
done
mount -t tmpfs zqcmp-shm /dev/shm
ip link set lo up
ip link set lo multicast on
ip route replace 224.0.0.0/4 dev lo
# ip netns keeps its handles under /run/netns: ours stay in this mount namespace.
mkdir -p /run/netns
mount -t tmpfs zqcmp-netns /run/netns
BIN="$WORK/bin"
RAW="$(mktemp -d /tmp/zqcmp.XXXX)"
: >"$RAW/results.txt"
cut -d' ' -f1-3 /proc/loadavg >"$RAW/load-start.txt"

# Busy processes: one per CPU given, each bounded in time, all stopped on exit.
BUSY_PIDS=()
busy_start() {
    local cpu
    for cpu in "$@"; do
        taskset -c "$cpu" timeout 300 sh -c 'while :; do :; done' &
        BUSY_PIDS+=($!)
    done
}
busy_stop() {
    local pid
    for pid in "${BUSY_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    BUSY_PIDS=()
}
trap busy_stop EXIT

# The second "host": a namespace a veth pair away, with the addresses of zqperf's UDP run
# (zqperf makes a pair of its own, so this one is gone while zqperf runs).
PEER_NS=zqcmp_peer
VETH_A=zqca
VETH_B=zqcb
IP_A=198.18.77.1
IP_B=198.18.77.2
veth_up() {
    ip netns add "$PEER_NS"
    ip link add "$VETH_A" type veth peer name "$VETH_B"
    ip link set "$VETH_B" netns "$PEER_NS"
    ip addr add "$IP_A/24" dev "$VETH_A"
    ip link set "$VETH_A" multicast on up
    ip route replace 224.0.0.0/4 dev "$VETH_A"
    ip netns exec "$PEER_NS" ip addr add "$IP_B/24" dev "$VETH_B"
    ip netns exec "$PEER_NS" ip link set "$VETH_B" multicast on up
    ip netns exec "$PEER_NS" ip link set lo up
    ip netns exec "$PEER_NS" ip route replace 224.0.0.0/4 dev "$VETH_B"
}
veth_down() {
    ip route replace 224.0.0.0/4 dev lo
    ip link del "$VETH_A" 2>/dev/null || true
    ip netns del "$PEER_NS" 2>/dev/null || true
}

# A Cyclone DDS configuration on one interface; prints its path.
dds_config() {
    printf '<CycloneDDS><Domain id="any"><General><Interfaces><NetworkInterface name="%s" multicast="true"/>' "$1" \
        >"$RAW/cyclonedds-$1.xml"
    printf '</Interfaces><AllowMulticast>true</AllowMulticast></General></Domain></CycloneDDS>\n' \
        >>"$RAW/cyclonedds-$1.xml"
    echo "$RAW/cyclonedds-$1.xml"
}
if [ -z "$LOADED_ONLY" ]; then
echo "raw sockets (the floor): Unix datagrams; UDP across the veth pair"
IFS=, read -r -a SIZE_LIST <<<"$SIZES"
for size in "${SIZE_LIST[@]}"; do
    line="$(timeout 600 "$BIN/raw_pingpong" unix "$size" "$COUNT" "$WARMUP" || echo "- - - -")"
    echo "lat raw-unix $size $line" >>"$RAW/results.txt"
done
timeout 600 "$BIN/raw_tput" unix "$SIZES" "$TPUT_SECONDS" >>"$RAW/results.txt" || echo "raw Unix throughput failed" >&2
veth_up
for size in "${SIZE_LIST[@]}"; do
    line="$(timeout 600 "$BIN/raw_pingpong" udp "$size" "$COUNT" "$WARMUP" "/run/netns/$PEER_NS" "$IP_A" "$IP_B" ||
        echo "- - - -")"
    echo "lat raw-udp $size $line" >>"$RAW/results.txt"
done
timeout 600 "$BIN/raw_tput" udp "$SIZES" "$TPUT_SECONDS" "/run/netns/$PEER_NS" "$IP_A" "$IP_B" >>"$RAW/results.txt" ||
    echo "raw UDP throughput failed" >&2

# ddsperf ping/pong and best-effort pub/sub for every payload:
#   dds_run <tag> <configuration here> <configuration of the answering side> [<command placing it>]
dds_run() {
    local tag="$1" here="$2" there="$3"
    shift 3
    for size in "${SIZE_LIST[@]}"; do
        CYCLONEDDS_URI="file://$there" "$@" ddsperf -D $((DDS_SECONDS + 2)) pong waitset >/dev/null 2>&1 &
        PONG=$!
        CYCLONEDDS_URI="file://$here" ddsperf -D "$DDS_SECONDS" ping size "$size" waitset \
            >"$RAW/$tag-ping-$size.txt" 2>&1 || true
        wait "$PONG" 2>/dev/null || true
        CYCLONEDDS_URI="file://$there" "$@" ddsperf -u -D $((DDS_SECONDS + 2)) sub >"$RAW/$tag-sub-$size.txt" 2>&1 &
        SUB=$!
        sleep 0.5
        CYCLONEDDS_URI="file://$here" ddsperf -u -D "$DDS_SECONDS" pub size "$size" >/dev/null 2>&1 || true
        wait "$SUB" 2>/dev/null || true
    done
}

echo "Cyclone DDS (ddsperf over UDP across the veth pair)"
dds_run dds-veth "$(dds_config "$VETH_A")" "$(dds_config "$VETH_B")" ip netns exec "$PEER_NS"
veth_down

echo "libzqdds (zqperf: unix, shm, udp; unpinned, pinned, writer beside a busy thread)"
"$BIN/zqperf" --channel all --pin all --sizes "$SIZES" --count "$COUNT" --warmup "$WARMUP" \
    --tput-seconds "$TPUT_SECONDS" --csv "$RAW/zqperf.csv" >"$RAW/zqperf.txt" 2>&1 || true

echo "iceoryx (waitset, zero-copy)"
{
    printf '[general]\nversion = 1\n[[segment]]\n'
    # size:count for every payload with its chunk header, with room for the queues.
    for pool in 2048:2000 8192:1000 66560:600 1049600:600; do
        printf '[[segment.mempool]]\nsize = %s\ncount = %s\n' "${pool%%:*}" "${pool##*:}"
    done
} >"$RAW/roudi.toml"
iox-roudi -c "$RAW/roudi.toml" -l off >"$RAW/roudi.log" 2>&1 &
ROUDI=$!
sleep 1
timeout 600 "$BIN/iox_perf" "$SIZES" "$COUNT" "$WARMUP" "$TPUT_BYTES" 2>/dev/null | grep -E '^(lat|tput) ' \
    >>"$RAW/results.txt" || echo "iceoryx run failed" >&2
kill "$ROUDI" 2>/dev/null || true
wait "$ROUDI" 2>/dev/null || true

echo "ZeroMQ (ipc)"
timeout 600 "$BIN/zmq_perf" "$SIZES" "$COUNT" "$WARMUP" "$TPUT_BYTES" | grep -E '^(lat|tput) ' \
    >>"$RAW/results.txt" || echo "zeromq run failed" >&2

echo "Cyclone DDS (ddsperf over UDP on lo)"
LO_CONFIG="$(dds_config lo)"
dds_run dds "$LO_CONFIG" "$LO_CONFIG"
fi

# ---- the loaded rows
LO_CONFIG="$(dds_config lo)"
LS="$LOADED_SECONDS"
# CPU time every thread of process $1 has used so far, ns (the scheduler's own sum, not ticks).
cpu_ns() {
    local f v sum=0
    for f in /proc/"$1"/task/*/sched; do
        v=$(awk '/^se.sum_exec_runtime/ { printf "%d", $3 * 1e6 }' "$f" 2>/dev/null) || v=0
        sum=$((sum + ${v:-0}))
    done
    echo "$sum"
}
# Cyclone DDS, 64 B best-effort pub/sub on lo: dds_pubsub <tag> [<rate>Hz] (no rate: as fast as
# it goes); the publishing process runs on $DDS_PUB_CPU when set. The CPU of both processes is
# taken over a window of $LS s that starts once the stream flows, as zqperf takes its own, so
# start-up and discovery are not charged to the messages: <tag>.cpuwin holds "cpu_us window_us".
dds_pubsub() {
    local tag="$1"
    shift
    CYCLONEDDS_URI="file://$LO_CONFIG" ddsperf -u -D $((LS + 5)) sub >"$RAW/$tag-sub.txt" 2>&1 &
    local sub=$!
    sleep 0.5
    CYCLONEDDS_URI="file://$LO_CONFIG" ${DDS_PUB_CPU:+taskset -c "$DDS_PUB_CPU"} \
        ddsperf -u -D $((LS + 3)) pub "$@" size 64 >/dev/null 2>&1 &
    local pub=$!
    sleep 2
    local c0 t0 c1 t1
    c0=$(($(cpu_ns "$pub") + $(cpu_ns "$sub")))
    t0=$(date +%s%N)
    sleep "$LS"
    c1=$(($(cpu_ns "$pub") + $(cpu_ns "$sub")))
    t1=$(date +%s%N)
    echo "$(((c1 - c0) / 1000)) $(((t1 - t0) / 1000))" >"$RAW/$tag.cpuwin"
    wait "$pub" 2>/dev/null || true
    wait "$sub" 2>/dev/null || true
}
# Cyclone DDS paced ping/pong, 64 B, on lo: dds_ping <tag> <rate>
dds_ping() {
    CYCLONEDDS_URI="file://$LO_CONFIG" ddsperf -D $((LS + 2)) pong waitset >/dev/null 2>&1 &
    local pong=$!
    CYCLONEDDS_URI="file://$LO_CONFIG" ddsperf -D "$LS" ping "$2Hz" size 64 waitset >"$RAW/$1-ping.txt" 2>&1 || true
    wait "$pong" 2>/dev/null || true
}
zq_loaded() {
    local tag="$1"
    shift
    "$BIN/zqperf" --channel unix,shm --sizes 64 --csv "$RAW/$tag.csv" "$@" >"$RAW/$tag.txt" 2>&1 || true
    cat "$RAW/$tag.txt" >>"$RAW/zqperf-loaded.txt"
}
RATES="100,1000,10000"
SHARED_CPU=1
echo "loaded rows: paced 64 B streams at $RATES Hz (libzqdds Unix and shm, Cyclone DDS)"
zq_loaded paced --pin off --paced "$RATES" --paced-seconds "$LS"
for rate in ${RATES//,/ }; do
    dds_pubsub "paced-dds-$rate" "${rate}Hz"
    dds_ping "paced-dds-$rate" "$rate"
done
echo "loaded rows: the writing process on CPU $SHARED_CPU beside a busy process"
busy_start "$SHARED_CPU"
zq_loaded shared --pin shared --writer-cpu "$SHARED_CPU" --no-latency --tput-seconds "$LS"
DDS_PUB_CPU="$SHARED_CPU" dds_pubsub shared-dds
busy_stop
echo "loaded rows: every CPU busy ($(nproc) busy processes)"
busy_start $(seq 0 $(($(nproc) - 1)))
zq_loaded busy --pin off --no-latency --tput-seconds "$LS"
zq_loaded busy-paced --pin off --paced 1000 --paced-seconds "$LS"
dds_pubsub busy-dds
dds_pubsub busy-paced-dds 1000Hz
dds_ping busy-paced-dds 1000
busy_stop
cut -d' ' -f1-3 /proc/loadavg >"$RAW/load-end.txt"

HOST="$(hostname -s 2>/dev/null || echo host)"
STAMP="$(date -u +%Y-%m-%d)"
BASE="$OUT/compare-$STAMP-$HOST${LOADED_ONLY:+-loaded}"
MACHINE="$(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), \
$(free -g | awk '/Mem:/{print $2}') GiB, Linux $(uname -r)"
python3 - "$RAW" "$BASE" "$STAMP" "$MACHINE" "$SIZES" "$LS" "$RATES" "$ROOT/bench/compare_loaded.py" <<'PY'
import csv, glob, os, re, statistics, sys
raw, base, stamp, machine, sizes, loaded_seconds, paced_rates = sys.argv[1:8]
paced_rates = [int(r) for r in paced_rates.split(",")]
sizes = [int(s) for s in sizes.split(",")]
lat = {}   # (system, size) -> (median, p90, p99, max)
tput = {}  # (system, size) -> (msg/s, MB/s, lost)
for line in open(os.path.join(raw, "results.txt")):
    f = line.split()
    if len(f) >= 7 and f[0] == "lat" and f[3] != "-":
        lat[(f[1], int(f[2]))] = tuple(float(x) for x in f[3:7])
    elif len(f) >= 6 and f[0] == "tput":
        tput[(f[1], int(f[2]))] = (float(f[3]), float(f[4]), int(f[5]))
path = os.path.join(raw, "zqperf.csv")
if os.path.exists(path):
    for r in csv.DictReader(open(path)):
        if not r["status"].startswith("ok") and "refused" not in r["status"]:
            continue
        name = "zqdds-" + r["channel"] + {"unpinned": "", "busy": "-busy"}.get(r["cpus"], "-pinned")
        size = int(r["payload_bytes"])
        if int(r["round_trips"]) > 0:
            lat[(name, size)] = (float(r["median_us"]), float(r["p90_us"]), float(r["p99_us"]), float(r["max_us"]))
        if int(r["sent"]) > 0:
            tput[(name, size)] = (float(r["msgs_per_s"]), float(r["mb_per_s"]), int(r["lost"]))
for tag, system, size in [(t, n, z) for t, n in (("dds", "cyclonedds"), ("dds-veth", "cyclonedds-veth"))
                          for z in sizes]:
    p = os.path.join(raw, "%s-ping-%d.txt" % (tag, size))
    text = open(p, errors="replace").read() if os.path.exists(p) else ""
    rows = re.findall(r"size \d+ mean [\d.]+us min [\d.]+us 50% ([\d.]+)us 90% ([\d.]+)us 99% ([\d.]+)us max ([\d.]+)us", text)
    rows = [tuple(float(x) for x in r) for r in rows][1:] or [tuple(float(x) for x in r) for r in rows]
    if rows:
        lat[(system, size)] = (statistics.median(r[0] for r in rows), statistics.median(r[1] for r in rows),
                               statistics.median(r[2] for r in rows), max(r[3] for r in rows))
    p = os.path.join(raw, "%s-sub-%d.txt" % (tag, size))
    text = open(p, errors="replace").read() if os.path.exists(p) else ""
    rates = re.findall(r"size (\d+) total (\d+) lost (\d+) delta \d+ lost \d+ rate ([\d.]+) (k|M)?S/s ([\d.]+) (M|G)b/s", text)
    full = [r for r in rates if float(r[3]) > 0]
    if full:
        mid = full[1:-1] or full
        msgs = statistics.median(float(r[3]) * (1e6 if r[4] == "M" else 1e3 if r[4] == "k" else 1) for r in mid)
        tput[(system, size)] = (msgs, msgs * size / 1e6, int(full[-1][2]))

systems = ["raw-unix", "raw-udp", "zqdds-unix", "zqdds-shm", "zqdds-udp", "zqdds-unix-pinned", "zqdds-shm-pinned",
           "zqdds-udp-pinned", "zqdds-unix-busy", "zqdds-shm-busy", "zqdds-udp-busy", "iceoryx", "zeromq",
           "cyclonedds", "cyclonedds-veth"]
label = {"raw-unix": "raw Unix datagram (floor)", "raw-udp": "raw UDP (veth) (floor)",
         "zqdds-unix": "libzqdds Unix socket", "zqdds-shm": "libzqdds shared memory",
         "zqdds-udp": "libzqdds UDP (veth)", "zqdds-unix-pinned": "libzqdds Unix socket, pinned",
         "zqdds-shm-pinned": "libzqdds shared memory, pinned", "zqdds-udp-pinned": "libzqdds UDP (veth), pinned",
         "zqdds-unix-busy": "libzqdds Unix socket, writer beside a busy thread",
         "zqdds-shm-busy": "libzqdds shared memory, writer beside a busy thread",
         "zqdds-udp-busy": "libzqdds UDP (veth), writer beside a busy thread",
         "iceoryx": "iceoryx (waitset, zero-copy)", "zeromq": "ZeroMQ ipc", "cyclonedds": "Cyclone DDS UDP lo",
         "cyclonedds-veth": "Cyclone DDS UDP (veth)"}
def human(size):
    return "%d MiB" % (size >> 20) if size >= 1 << 20 else "%d KiB" % (size >> 10) if size >= 1024 else "%d B" % size
def cell(v, fmt="%.1f"):
    return "-" if v is None else fmt % v

out = []
out.append("# libzqdds next to its peers\n")
out.append("Measured %s on %s, all in private namespaces on one machine (shared and noisy: compare within the run)." % (stamp, machine))
out.append("" if not (lat or tput) else "Round trips: 10 000 per payload after 1 000 for warm-up (--quick: 2 000); unpinned unless marked (pinned: each process on one CPU of its own; "
           "busy: the measuring process's writing thread on one CPU beside a thread that keeps it busy, the library's threads and the peer unpinned). "
           "Throughput: one writer sending back to back (libzqdds, Cyclone DDS and the raw floors for a set time, iceoryx and ZeroMQ a set count), one reader counting; "
           "msg/s and MB/s of payload delivered, from the first write to the last arrival, and the messages lost. "
           "Raw floors: bare sockets between two processes with the library's datagram sizes (UDP 1472 bytes, Unix up to 65536), throughput by sendmmsg into recvmmsg. "
           "UDP (libzqdds, the raw floor, Cyclone DDS veth) crosses a veth pair between two namespaces; Cyclone DDS lo stays on lo. "
           "Cyclone DDS: ddsperf ping/pong on a waitset and best-effort pub/sub, per-second medians; iceoryx: zero-copy, untouched payload.\n")
def table(title, data, show):
    out.append(title)
    out.append("| system | " + " | ".join(human(s) for s in sizes) + " |")
    out.append("|---|" + "---:|" * len(sizes))
    for s in systems:
        if any((s, z) in data for z in sizes):
            out.append("| %s | " % label[s] + " | ".join(show(data[(s, z)]) if (s, z) in data else "-" for z in sizes) + " |")
if lat:
    table("## Round-trip latency, median (p99) in µs\n", lat, lambda v: "%.1f (%.0f)" % (v[0], v[2]))
if tput:
    table("\n## Throughput: msg/s, MB/s, lost\n", tput, lambda v: "%.0f, %.1f, %d" % v)

def L(s, z):
    return lat.get((s, z), (None,))[0]
def T(s, z, i):
    return tput.get((s, z), (None, None, None))[i]
goals = []
def goal(text, ours, theirs, need, lower_is_better=True):
    if ours is None or theirs is None or theirs == 0:
        goals.append((text, "-", "not measured"))
        return
    ratio = ours / theirs
    met = ratio <= need if lower_is_better else ratio >= need
    goals.append((text, "%.2f" % ratio, "met" if met else "not met (goal %s %.2f)" % ("<=" if lower_is_better else ">=", need)))
# UDP against Cyclone DDS on the same veth link; the local media against the peers of this host.
goal("UDP 64 B round trip / Cyclone DDS (veth) 64 B", L("zqdds-udp", 64), L("cyclonedds-veth", 64), 1.0)
goal("UDP 1 MiB round trip / Cyclone DDS (veth) 1 MiB", L("zqdds-udp", 1 << 20), L("cyclonedds-veth", 1 << 20), 1.0)
goal("UDP 64 KiB MB/s / Cyclone DDS (veth) best-effort 64 KiB MB/s", T("zqdds-udp", 65536, 1),
     T("cyclonedds-veth", 65536, 1), 1.5, False)
goal("pinned UDP 64 B round trip / Cyclone DDS (veth, unpinned) 64 B", L("zqdds-udp-pinned", 64),
     L("cyclonedds-veth", 64), 1.5)
goal("Unix 64 B msg/s / raw Unix datagram floor 64 B msg/s", T("zqdds-unix", 64, 0), T("raw-unix", 64, 0), 0.6, False)
goal("shm 64 B round trip / iceoryx 64 B", L("zqdds-shm", 64), L("iceoryx", 64), 1.0)
goal("shm 1 MiB round trip / shm 1 KiB", L("zqdds-shm", 1 << 20), L("zqdds-shm", 1024), 1.2)
goal("shm 64 KiB MB/s / Cyclone DDS best-effort 64 KiB MB/s", T("zqdds-shm", 65536, 1), T("cyclonedds", 65536, 1), 2.0, False)
goal("Unix 64 B round trip / Cyclone DDS 64 B", L("zqdds-unix", 64), L("cyclonedds", 64), 1.0)
goal("Unix 64 B round trip / raw Unix datagram 64 B", L("zqdds-unix", 64), L("raw-unix", 64), 1.5)
goal("Unix 64 B msg/s / Cyclone DDS best-effort 64 B msg/s", T("zqdds-unix", 64, 0), T("cyclonedds", 64, 0), 0.5, False)
goal("pinned UDP 1 MiB msg/s / UDP 1 MiB msg/s", T("zqdds-udp-pinned", 1 << 20, 0), T("zqdds-udp", 1 << 20, 0), 0.5,
     False)
if lat or tput:
    out.append("\n## Goals (ratios in this run)\n")
    out.append("| goal | ratio | result |")
    out.append("|---|---:|---|")
    for g in goals:
        out.append("| %s | %s | %s |" % g)
    lost = T("zqdds-udp", 65536, 2)
    out.append("\nUDP 64 KiB loss in this run: %s messages." % ("-" if lost is None else lost))
exec(open(sys.argv[8]).read())
open(base + ".md", "w").write("\n".join(out) + "\n")
with open(base + ".csv", "w") as f:
    f.write("system,payload_bytes,median_us,p90_us,p99_us,max_us,msgs_per_s,mb_per_s,lost\n")
    for s in systems:
        for z in sizes:
            a = lat.get((s, z), ("",) * 4)
            b = tput.get((s, z), ("",) * 3)
            if (s, z) in lat or (s, z) in tput:
                f.write(",".join([s, str(z)] + [str(x) for x in a] + [str(x) for x in b]) + "\n")
with open(base + ".dat", "w") as f:
    for s in systems:
        if any((s, z) in lat for z in sizes):
            f.write('"%s"\n' % label[s])
            for z in sizes:
                if (s, z) in lat:
                    f.write("%d %f\n" % (z, lat[(s, z)][0]))
            f.write("\n\n")
PY
BLOCKS=$(grep -c '^"' "$BASE.dat" || true)
[ "${BLOCKS:-0}" -gt 0 ] && gnuplot <<EOF || echo "no plot" >&2
set terminal pngcairo size 1000,640
set output "$BASE.png"
set title "Round-trip latency by payload (median), $STAMP"
set logscale xy
set xlabel "payload (bytes)"
set ylabel "round trip (us)"
set xtics ("64 B" 64, "1 KiB" 1024, "64 KiB" 65536, "1 MiB" 1048576)
set key outside right
set grid
plot for [i=0:$((BLOCKS - 1))] "$BASE.dat" index i using 1:2 with linespoints title columnheader(1)
EOF
rm -f "$BASE.dat"
cp "$RAW/zqperf.txt" "$BASE-zqperf.txt" 2>/dev/null || true
cp "$RAW/zqperf-loaded.txt" "$BASE-zqperf-loaded.txt" 2>/dev/null || true
echo "written: $BASE.md $BASE.csv $BASE.png"
cat "$BASE.md"

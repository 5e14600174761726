# The loaded rows of compare.sh: run by its report step with raw, base, out, paced_rates and
# loaded_seconds in scope. Appends the tables to out and writes <base>-loaded.csv.
import csv, os, re, statistics


def _rows(name):
    p = os.path.join(raw, name)
    return list(csv.DictReader(open(p))) if os.path.exists(p) else []


def _text(name):
    p = os.path.join(raw, name)
    return open(p, errors="replace").read() if os.path.exists(p) else ""


def _cpuwin(tag):
    # CPU of both processes over the window, µs, and the window, s.
    t = _text(tag + ".cpuwin").split()
    return (int(t[0]), int(t[1]) / 1e6) if len(t) == 2 and t[0].isdigit() and t[1].isdigit() else (None, None)


def _ping(tag):
    # Half the round trip of ddsperf's per-second medians and p99s, µs.
    rows = re.findall(r"size \d+ mean [\d.]+us min [\d.]+us 50% ([\d.]+)us 90% [\d.]+us 99% ([\d.]+)us",
                      _text(tag + "-ping.txt"))
    rows = [(float(a), float(b)) for a, b in rows]
    rows = rows[1:] or rows
    if not rows:
        return None, None
    return statistics.median(r[0] for r in rows) / 2, statistics.median(r[1] for r in rows) / 2


def _sub(tag):
    # Messages received in all, and the median per-second rate while data flowed.
    text = _text(tag + "-sub.txt")
    rates = re.findall(r"size \d+ total (\d+) lost \d+ delta \d+ lost \d+ rate ([\d.]+) (k|M)?S/s", text)
    if not rates:
        return None, None
    total = max(int(r[0]) for r in rates)
    full = [float(r[1]) * (1e6 if r[2] == "M" else 1e3 if r[2] == "k" else 1) for r in rates if float(r[1]) > 0]
    mid = full[1:-1] or full
    return total, (statistics.median(mid) if mid else None)


def _fmt(v, f="%.1f"):
    return "-" if v is None else f % v


def _rate(r):
    return "%d Hz" % r if r < 1000 else "%g kHz" % (r / 1000)


paced = {}  # (system, rate) -> dict(median, p99, cpu, due, received)
for r in _rows("paced.csv") + [dict(x, cpus="busy-all") for x in _rows("busy-paced.csv")]:
    rec = int(r["received"] or 0)
    cpu = (int(r["cpu_writer_us"]) + int(r["cpu_reader_us"])) / rec if rec else None
    key = ("zqdds-" + r["channel"] + ("-busy" if r["cpus"] == "busy-all" else ""), int(r["rate_hz"]))
    paced[key] = dict(median=float(r["median_us"]) if rec else None, p99=float(r["p99_us"]) if rec else None,
                      cpu=cpu, due=int(r["due"]), received=rec, status=r["status"])
for t, system, rate in [("paced-dds-%d" % r, "cyclonedds", r) for r in paced_rates] + [
        ("busy-paced-dds", "cyclonedds-busy", 1000)]:
    med, p99 = _ping(t)
    total, per_s = _sub(t)
    used, window = _cpuwin(t)
    # The messages of the window at the rate the subscriber saw while data flowed.
    cpu = used / (per_s * window) if used is not None and per_s and window else None
    # Received and due over the same window: ddsperf runs longer than it, around the stream.
    due = int(rate * window) if window else int(rate * float(loaded_seconds))
    paced[(system, rate)] = dict(median=med, p99=p99, cpu=cpu, due=due,
                                 received=int(per_s * window + 0.5) if per_s and window else (total or 0),
                                 status="ok")
flood = {}  # (system, condition) -> msg/s
for cond, name in (("shared", "shared.csv"), ("busy", "busy.csv")):
    for r in _rows(name):
        if r["status"].startswith("ok") or "refused" in r["status"]:
            flood[("zqdds-" + r["channel"], cond)] = float(r["msgs_per_s"])
    flood[("cyclonedds", cond)] = _sub(cond + "-dds")[1]

systems = [("zqdds-unix", "libzqdds Unix socket"), ("zqdds-shm", "libzqdds shared memory"),
           ("cyclonedds", "Cyclone DDS UDP lo")]
load0 = _text("load-start.txt").strip() or "-"
load1 = _text("load-end.txt").strip() or "-"
out.append("\n## Loaded and paced rows, 64 B\n")
out.append("Load average (1, 5, 15 min) at start: %s; at end: %s. Each run %s s. Paced: one message per period from a "
           "fixed schedule; libzqdds one-way latency from the writer's CLOCK_MONOTONIC stamp in the payload; Cyclone DDS "
           "latency is half the round trip of a paced `ddsperf ping` (waitset), its CPU and delivery from a paced best-effort "
           "`ddsperf pub`/`sub` pair. CPU per message: the CPU time of the writing and the reading process while the "
           "stream flows (libzqdds over its paced run, Cyclone DDS over a window of the same length that starts 2 s after "
           "its publisher), divided by the messages received in it. Shared CPU: every thread of the writing process on CPU 1 beside a busy "
           "process, the reader free. Every CPU busy: one busy process per CPU at nice 0 while measured."
           % (load0, load1, loaded_seconds))
out.append("\n### Paced streams: one-way median (p99) in µs\n")
out.append("| system | " + " | ".join(_rate(r) for r in paced_rates) + " |")
out.append("|---|" + "---:|" * len(paced_rates))
for s, lab in systems:
    out.append("| %s%s | " % (lab, " (half round trip)" if s == "cyclonedds" else "") + " | ".join(
        "%s (%s)" % (_fmt(paced.get((s, r), {}).get("median")), _fmt(paced.get((s, r), {}).get("p99"), "%.0f"))
        for r in paced_rates) + " |")
out.append("\n### Paced streams: CPU per message (writer + reader process) in µs, received / due\n")
out.append("| system | " + " | ".join(_rate(r) for r in paced_rates) + " |")
out.append("|---|" + "---:|" * len(paced_rates))
for s, lab in systems:
    out.append("| %s | " % lab + " | ".join(
        "%s, %d / %d" % (_fmt(paced.get((s, r), {}).get("cpu")), paced.get((s, r), {}).get("received", 0),
                         paced.get((s, r), {}).get("due", 0)) for r in paced_rates) + " |")
out.append("\n### Under load: 64 B msg/s delivered; the 1 kHz stream with every CPU busy\n")
out.append("| system | writer on a CPU shared with a busy process | every CPU busy | 1 kHz, every CPU busy: delivered of due | one-way median µs |")
out.append("|---|---:|---:|---:|---:|")
for s, lab in systems:
    b = paced.get((s + "-busy", 1000), {})
    share = 100.0 * b["received"] / b["due"] if b.get("due") else None
    out.append("| %s | %s | %s | %s | %s |" % (lab, _fmt(flood.get((s, "shared")), "%.0f"), _fmt(flood.get((s, "busy")), "%.0f"),
                                             _fmt(share, "%.1f %%"), _fmt(b.get("median"))
                                             + (" (half round trip)" if s == "cyclonedds" and b.get("median") else "")))

lgoals = []


def _lgoal(text, ours, theirs, need, lower=True):
    if ours is None or theirs is None or theirs == 0:
        lgoals.append((text, "-", "not measured"))
        return
    ratio = ours / theirs
    met = ratio <= need if lower else ratio >= need
    lgoals.append((text, "%.2f" % ratio, "met" if met else "not met (goal %s %.2f)" % ("<=" if lower else ">=", need)))


for s, lab in systems[:2]:
    for r in paced_rates:
        _lgoal("%s %s: CPU per message / Cyclone DDS" % (lab, _rate(r)), paced.get((s, r), {}).get("cpu"),
               paced.get(("cyclonedds", r), {}).get("cpu"), 1.5)
        _lgoal("%s %s: one-way median / Cyclone DDS half round trip" % (lab, _rate(r)),
               paced.get((s, r), {}).get("median"), paced.get(("cyclonedds", r), {}).get("median"), 1.5)
    for cond, text in (("shared", "writer on a shared CPU"), ("busy", "every CPU busy")):
        _lgoal("%s %s: msg/s / Cyclone DDS" % (lab, text), flood.get((s, cond)), flood.get(("cyclonedds", cond)), 0.5,
               False)
    b = paced.get((s + "-busy", 1000), {})
    share = b["received"] / b["due"] if b.get("due") else None
    lgoals.append(("%s 1 kHz, every CPU busy: delivered of due" % lab, _fmt(share, "%.3f"),
                   "not measured" if share is None else "met" if share >= 0.99 else "not met (goal >= 0.99)"))
    _lgoal("%s 1 kHz, every CPU busy: one-way median / Cyclone DDS half round trip" % lab, b.get("median"),
           paced.get(("cyclonedds-busy", 1000), {}).get("median"), 2.0)
out.append("\n### Goals of the loaded rows (ratios in this run)\n")
out.append("| goal | ratio | result |")
out.append("|---|---:|---|")
for g in lgoals:
    out.append("| %s | %s | %s |" % g)

with open(base + "-loaded.csv", "w") as f:
    f.write("system,condition,rate_hz,due,received,median_us,p99_us,cpu_us_per_msg,msgs_per_s\n")
    for (s, r), v in sorted(paced.items()):
        f.write("%s,%s,%d,%d,%d,%s,%s,%s,\n" % (s.replace("-busy", ""), "every-cpu-busy" if s.endswith("-busy") else "paced",
                                               r, v["due"], v["received"], _fmt(v["median"], "%.2f"),
                                               _fmt(v["p99"], "%.2f"), _fmt(v["cpu"], "%.2f")))
    for (s, cond), v in sorted(flood.items()):
        f.write("%s,%s,,,,,,,%s\n" % (s, "shared-cpu" if cond == "shared" else "every-cpu-busy", _fmt(v, "%.0f")))

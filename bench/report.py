#!/usr/bin/env python3
"""Prints the table of scripts/bench from the benchmarks' JSON output.

Usage: report.py DIR   (DIR holds journal.json, exchange.json and memory.json)
Exit status 1 when a figure misses its limit.
"""
import json
import os
import sys

JOURNAL_OPS = ["select_added", "select_completed", "insert", "complete", "ack"]
JOURNAL_LIMIT = 1.5
CYCLE_LIMIT = 2.0
BURST_LIMIT = 1.3
GROWTH_LIMIT_KIB = 2048
UNIT_TO_US = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}


def load_times(path):
    """Real time in microseconds per benchmark name: the median when repeated."""
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        data = json.load(f)
    times, medians = {}, {}
    for b in data.get("benchmarks", []):
        name = b.get("run_name", b["name"]).replace("/real_time", "")
        name = name.split("/iterations:")[0]
        if b.get("error_occurred"):
            times[name] = None
            continue
        value = b["real_time"] * UNIT_TO_US[b.get("time_unit", "ns")]
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[name] = value
        else:
            times.setdefault(name, value)
    times.update(medians)
    return times


def show_time(us):
    if us is None:
        return "error"
    if us >= 1e6:
        return f"{us / 1e6:.2f} s"
    if us >= 1e3:
        return f"{us / 1e3:.2f} ms"
    return f"{us:.1f} us"


def main(out_dir):
    rows = []  # name, figure, ratio, against, limit, verdict

    def compared(name, value, base, against, limit):
        if value is None or base is None:
            rows.append((name, show_time(value), "-", against, f"{limit}x", "MISS"))
            return
        ratio = value / base
        verdict = "OK" if ratio <= limit else "MISS"
        rows.append((name, show_time(value), f"{ratio:.2f}", against, f"{limit}x", verdict))

    journal = load_times(os.path.join(out_dir, "journal.json"))
    for op in JOURNAL_OPS:
        base = journal.get(f"journal/{op}/1000")
        if f"journal/{op}/1000" in journal:
            rows.append((f"journal/{op}/1000", show_time(base), "1.00", "1k", "", ""))
        for size in ("100000", "1000000"):
            name = f"journal/{op}/{size}"
            if name not in journal:
                continue
            if size == "1000000":
                compared(name, journal[name], base, "1k", JOURNAL_LIMIT)
            else:
                ratio = "-" if not base or journal[name] is None else f"{journal[name] / base:.2f}"
                rows.append((name, show_time(journal[name]), ratio, "1k", "", ""))

    exchange = load_times(os.path.join(out_dir, "exchange.json"))
    for pending in ("0", "20", "200"):
        floor = exchange.get(f"exchange/cycle_floor/{pending}")
        if f"exchange/cycle/{pending}" in exchange:
            compared(f"exchange/cycle/{pending}", exchange[f"exchange/cycle/{pending}"], floor,
                     "floor", CYCLE_LIMIT)
            rows.append((f"exchange/cycle_floor/{pending}", show_time(floor), "", "", "", ""))
    for part in ("state_tasks", "client_post"):
        name = f"exchange/part/{part}"
        if name in exchange:
            rows.append((name, show_time(exchange[name]), "", "", "", ""))
    if "exchange/burst/1000" in exchange:
        floor = exchange.get("exchange/burst_floor/1000")
        compared("exchange/burst/1000", exchange["exchange/burst/1000"], floor, "floor",
                 BURST_LIMIT)
        rows.append(("exchange/burst_floor/1000", show_time(floor), "", "", "", ""))

    memory_path = os.path.join(out_dir, "memory.json")
    if os.path.exists(memory_path):
        with open(memory_path) as f:
            memory = json.load(f)
        label = f"memory/{memory['registers']}reg/{memory['minutes']:.0f}min"
        rows.append((label + "/peak", f"{memory['peak_kib'] / 1024:.1f} MiB", "", "", "", ""))
        growth = memory["growth_kib"]
        rows.append((label + "/growth", f"{growth / 1024:+.2f} MiB", "", "",
                     f"{GROWTH_LIMIT_KIB / 1024:.0f} MiB",
                     "OK" if growth <= GROWTH_LIMIT_KIB else "MISS"))
        rows.append((label + "/cycles", f"{memory['cycles']}",
                     f"{memory['failed_cycles']} failed", f"{memory['acked_rows']} acked", "",
                     "OK" if memory["failed_cycles"] == 0 else "MISS"))

    header = ("name", "time", "ratio", "vs", "limit", "")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(str(cell).ljust(w) for cell, w in zip(row, widths)).rstrip())
    return 1 if any(r[5] == "MISS" for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

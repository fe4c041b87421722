#!/usr/bin/env python3
"""Prints the table of scripts/bench from the benchmarks' JSON output.

Usage: report.py DIR [--journal-rows N]
  DIR holds journal.json, exchange.json, memory.json, workers.json, documents.json and
  salepoints.json; N is the largest journal the run
  built (default 1000000), where the journal limit applies.
Exit status 1 when a figure misses its limit or is missing: a benchmark that did not run
proves nothing.
"""
import json
import os
import statistics
import sys

JOURNAL_OPS = ["select_added", "select_completed", "insert", "complete", "ack"]
JOURNAL_SIZES = [100000, 1000000]
JOURNAL_LIMIT = 1.5
CYCLE_LIMIT = 2.0
BURST_LIMIT = 1.3
GROWTH_LIMIT_KIB = 2048
UNIT_TO_US = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
MISSING = "missing"
STALL_LIMIT_MS = 50
BACKLOG_INTERVAL_LIMIT_S = 6.5
INTERVAL_LIMIT_S = {0.3: 5.5, 2.0: 7.5}
# The program's own memory (private pages) with 20 registers; resident memory counts the
# shared library pages every Qt program on the desktop maps as well, and is only shown.
WORKERS_PRIVATE_LIMIT_KIB = 20 * 1024
TABLE_LIMIT_MS = 1000
FIRST_EXCHANGE_LIMIT_MS = 2000
SALEPOINTS_MEMORY_LIMIT_KIB = 80 * 1024
DOCUMENTS_PAGE_LIMIT_MS = 200
DOCUMENTS_MEMORY_LIMIT_KIB = 1024


def load_times(path):
    """Real time in microseconds per benchmark name: the median of its aggregate when
    repeated by the benchmark library, else the median of its runs under that name (the
    journal's writes run in interleaved rounds). None when a run failed."""
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        data = json.load(f)
    runs, medians = {}, {}
    for b in data.get("benchmarks", []):
        name = b.get("run_name", b["name"]).replace("/real_time", "")
        name = name.split("/iterations:")[0].split("/repeats:")[0]
        if b.get("error_occurred"):
            runs.setdefault(name, []).append(None)
            continue
        value = b["real_time"] * UNIT_TO_US[b.get("time_unit", "ns")]
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[name] = value
        else:
            runs.setdefault(name, []).append(value)
    times = {name: None if None in values else statistics.median(values)
             for name, values in runs.items()}
    for name, value in medians.items():
        if times.get(name, 0) is not None:
            times[name] = value
    return times


def show_time(us):
    if us is MISSING:
        return MISSING
    if us is None:
        return "error"
    if us >= 1e6:
        return f"{us / 1e6:.2f} s"
    if us >= 1e3:
        return f"{us / 1e3:.2f} ms"
    return f"{us:.1f} us"


def usable(value):
    return value is not None and value is not MISSING


def memory_rows(out_dir):
    path = os.path.join(out_dir, "memory.json")
    if not os.path.exists(path):
        return [("memory", MISSING, "", "", "", "MISS")]
    with open(path) as f:
        memory = json.load(f)
    needed = ["registers", "minutes", "peak_kib", "growth_kib", "cycles", "failed_cycles",
              "boxes", "fed_docs", "unacked_docs", "acked_rows"]
    absent = [key for key in needed if key not in memory]
    if absent:
        return [("memory", MISSING + ": " + ", ".join(absent), "", "", "", "MISS")]
    label = f"memory/{memory['registers']}reg/{memory['minutes']:.0f}min"
    growth = memory["growth_kib"]
    # Every document the feed gave is acknowledged by the service and marked so in the journal.
    clean = (memory["failed_cycles"] == 0 and memory["boxes"] == 0 and memory["fed_docs"] > 0
             and memory["unacked_docs"] == 0 and memory["acked_rows"] == memory["fed_docs"])
    return [
        (label + "/peak", f"{memory['peak_kib'] / 1024:.1f} MiB", "", "", "", ""),
        (label + "/growth", f"{growth / 1024:+.2f} MiB", "", "",
         f"{GROWTH_LIMIT_KIB / 1024:.0f} MiB", "OK" if growth <= GROWTH_LIMIT_KIB else "MISS"),
        (label + "/cycles", f"{memory['cycles']}",
         f"{memory['failed_cycles']} failed, {memory['boxes']} boxes",
         f"{memory['fed_docs'] - memory['unacked_docs']}/{memory['fed_docs']} acked", "",
         "OK" if clean else "MISS"),
    ]


def limited(name, shown, value, limit, limit_shown, against=""):
    return (name, shown, "", against, limit_shown, "OK" if value <= limit else "MISS")


def workers_rows(out_dir):
    path = os.path.join(out_dir, "workers.json")
    if not os.path.exists(path):
        return [("workers", MISSING, "", "", "", "MISS")]
    with open(path) as f:
        workers = json.load(f)
    rows = []
    for run in workers.get("runs", []):
        label = f"workers/{run['registers']}reg/service{run['delay_s']:g}s"
        rows.append(limited(label + "/ui_stall", f"{run['longest_stall_ms']:.1f} ms",
                            run["longest_stall_ms"], STALL_LIMIT_MS, f"{STALL_LIMIT_MS} ms",
                            "longest"))
        interval_limit = INTERVAL_LIMIT_S.get(run["delay_s"])
        if interval_limit is not None:
            rows.append(limited(label + "/tasks_interval_p95", f"{run['interval_p95_s']:.2f} s",
                                run["interval_p95_s"], interval_limit, f"{interval_limit} s",
                                f"{run['tasks_requests']} requests"))
        if "private_kib" in run:
            rows.append(limited(label + "/private", f"{run['private_kib'] / 1024:.1f} MiB",
                                run["private_kib"], WORKERS_PRIVATE_LIMIT_KIB,
                                f"{WORKERS_PRIVATE_LIMIT_KIB // 1024} MiB",
                                f"largest {run.get('private_peak_kib', 0) / 1024:.1f} MiB"))
        else:
            rows.append((label + "/private", MISSING, "", "", "", "MISS"))
        rows.append((label + "/pss", f"{run.get('pss_kib', 0) / 1024:.1f} MiB", "", "at the end",
                     "", ""))
        rows.append((label + "/resident", f"{run['final_rss_kib'] / 1024:.1f} MiB", "",
                     f"peak {run['peak_kib'] / 1024:.1f} MiB", "", ""))
        rows.append(limited(label + "/growth", f"{run['growth_kib'] / 1024:+.2f} MiB",
                            run["growth_kib"], GROWTH_LIMIT_KIB,
                            f"{GROWTH_LIMIT_KIB / 1024:.0f} MiB"))
    backlog = workers.get("backlog")
    if backlog is None:
        rows.append(("workers/backlog", MISSING, "", "", "", "MISS"))
    else:
        label = f"workers/1reg/backlog{backlog['backlog']}"
        drained = backlog["acked_rows"] == backlog["backlog"] + 1
        rows.append(limited(label + "/tasks_interval_max", f"{backlog['interval_max_s']:.2f} s",
                            backlog["interval_max_s"] if drained else float("inf"),
                            BACKLOG_INTERVAL_LIMIT_S, f"{BACKLOG_INTERVAL_LIMIT_S} s",
                            f"{backlog['tasks_requests']} requests, "
                            f"{backlog['acked_rows']}/{backlog['backlog'] + 1} acked"))
    return rows or [("workers", MISSING, "", "", "", "MISS")]


def salepoints_rows(out_dir):
    path = os.path.join(out_dir, "salepoints.json")
    if not os.path.exists(path):
        return [("salepoints", MISSING, "", "", "", "MISS")]
    with open(path) as f:
        sp = json.load(f)
    label = f"salepoints/{sp['salepoints']}sp/{sp['registers_here']}here"
    first = sp["last_first_report_ms"] if sp["all_reported"] else float("inf")
    fd_limit = 40 + 4 * sp["registers_here"]
    return [
        limited(label + "/table_filled", f"{sp['table_filled_ms']:.0f} ms",
                sp["table_filled_ms"], TABLE_LIMIT_MS, f"{TABLE_LIMIT_MS} ms",
                f"{sp['rows']} rows"),
        limited(label + "/first_exchange", f"{first:.0f} ms", first, FIRST_EXCHANGE_LIMIT_MS,
                f"{FIRST_EXCHANGE_LIMIT_MS} ms", "last register"),
        (label + "/first_tasks", f"{sp['last_first_tasks_ms']:.0f} ms", "", "last register",
         "", ""),
        limited(label + "/peak", f"{sp['peak_kib'] / 1024:.1f} MiB", sp["peak_kib"],
                SALEPOINTS_MEMORY_LIMIT_KIB, f"{SALEPOINTS_MEMORY_LIMIT_KIB // 1024} MiB"),
        limited(label + "/descriptors", f"{sp['descriptors']}", sp["descriptors"], fd_limit,
                f"{fd_limit}"),
    ]


def documents_rows(out_dir):
    path = os.path.join(out_dir, "documents.json")
    if not os.path.exists(path):
        return [("documents", MISSING, "", "", "", "MISS")]
    with open(path) as f:
        sizes = json.load(f).get("sizes", [])
    if len(sizes) < 2:
        return [("documents", MISSING, "", "", "", "MISS")]
    rows = []
    for size in sizes:
        label = f"documents/{size['rows']}"
        rows.append(limited(label + "/page", f"{size['open_ms']:.1f} ms", size["open_ms"],
                            DOCUMENTS_PAGE_LIMIT_MS, f"{DOCUMENTS_PAGE_LIMIT_MS} ms", "median"))
        rows.append((label + "/search_by_id", f"{size['search_ms']:.1f} ms", "", "", "", ""))
        rows.append((label + "/search_by_prefix", f"{size['broad_search_ms']:.1f} ms", "", "",
                     "", ""))
        rows.append((label + "/page_rss", f"{size['page_rss_kib']} KiB", "", "", "", ""))
    small, large = sizes[0], sizes[-1]
    more = large["page_rss_kib"] - small["page_rss_kib"]
    rows.append(limited(f"documents/{large['rows']}/page_rss_more", f"{more:+d} KiB", more,
                        DOCUMENTS_MEMORY_LIMIT_KIB, f"{DOCUMENTS_MEMORY_LIMIT_KIB} KiB",
                        f"vs {small['rows']}"))
    return rows


def main(out_dir, journal_rows):
    rows = []  # name, figure, ratio, against, limit, verdict

    def compared(name, value, base, against, limit):
        if not usable(value) or not usable(base):
            rows.append((name, show_time(value), "-", against, f"{limit}x", "MISS"))
            return
        ratio = value / base
        verdict = "OK" if ratio <= limit else "MISS"
        rows.append((name, show_time(value), f"{ratio:.2f}", against, f"{limit}x", verdict))

    def shown(name, value):
        rows.append((name, show_time(value), "", "", "", "" if usable(value) else "MISS"))

    journal = load_times(os.path.join(out_dir, "journal.json"))
    for op in JOURNAL_OPS:
        base = journal.get(f"journal/{op}/1000", MISSING)
        shown(f"journal/{op}/1000", base)
        for size in JOURNAL_SIZES:
            name = f"journal/{op}/{size}"
            if size == journal_rows:
                compared(name, journal.get(name, MISSING), base, "1k", JOURNAL_LIMIT)
            elif size < journal_rows:
                value = journal.get(name, MISSING)
                ratio = f"{value / base:.2f}" if usable(value) and usable(base) else "-"
                rows.append((name, show_time(value), ratio, "1k", "", ""))

    exchange = load_times(os.path.join(out_dir, "exchange.json"))
    for pending in ("0", "20", "200"):
        floor = exchange.get(f"exchange/cycle_floor/{pending}", MISSING)
        compared(f"exchange/cycle/{pending}", exchange.get(f"exchange/cycle/{pending}", MISSING),
                 floor, "floor", CYCLE_LIMIT)
        shown(f"exchange/cycle_floor/{pending}", floor)
    for part in ("state_tasks", "client_post"):
        name = f"exchange/part/{part}"
        if name in exchange:
            rows.append((name, show_time(exchange[name]), "", "", "", ""))
    floor = exchange.get("exchange/burst_floor/1000", MISSING)
    compared("exchange/burst/1000", exchange.get("exchange/burst/1000", MISSING), floor, "floor",
             BURST_LIMIT)
    shown("exchange/burst_floor/1000", floor)

    rows.extend(memory_rows(out_dir))
    rows.extend(workers_rows(out_dir))
    rows.extend(documents_rows(out_dir))
    rows.extend(salepoints_rows(out_dir))

    header = ("name", "time", "ratio", "vs", "limit", "")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(str(cell).ljust(w) for cell, w in zip(row, widths)).rstrip())
    return 1 if any(r[5] == "MISS" for r in rows) else 0


if __name__ == "__main__":
    args = sys.argv[1:]
    rows_limit = 1000000
    if "--journal-rows" in args:
        at = args.index("--journal-rows")
        rows_limit = int(args[at + 1])
        del args[at:at + 2]
    if len(args) != 1 or rows_limit not in JOURNAL_SIZES:
        sys.exit(__doc__)
    sys.exit(main(args[0], rows_limit))

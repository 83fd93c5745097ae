#!/usr/bin/env python3
"""Builds the store-versus-baseline table from the benchmark programs' JSON.

Reads <results>/<Program>.json (Google Benchmark output) and mount.json (from
mount.sh), prints the machine, the build, the sizes and one row per figure
(store result, baseline result from the same run, ratio, target, met), and
writes the same as JSON.

A figure's value is the median of its repetitions when the program ran
repetitions, else the mean of its runs.
"""
import argparse
import json
import os
import platform
import re
import sys


def machine():
    info = {"uname": " ".join(platform.uname()), "cores": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    info["ram_mib"] = int(line.split()[1]) // 1024
                    break
    except OSError:
        pass
    return info


def build_type(build):
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def load(results, program):
    path = os.path.join(results, program + ".json")
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def figure(data, function):
    """The benchmark `function`'s result: a dict of real_time (seconds per
    iteration) and its counters, or None when it did not run or failed."""
    if data is None:
        return None
    runs = [b for b in data.get("benchmarks", [])
            if re.split(r"[/<]", b.get("run_name", b["name"]))[0] == function]
    if any(b.get("error_occurred") for b in runs):
        return None
    medians = [b for b in runs if b.get("aggregate_name") == "median"]
    singles = [b for b in runs if b.get("run_type", "iteration") == "iteration"]
    chosen = medians or singles
    if not chosen:
        return None
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    result = {}
    skip = {"name", "run_name", "run_type", "repetitions", "repetition_index", "threads",
            "iterations", "real_time", "cpu_time", "time_unit", "aggregate_name",
            "aggregate_unit", "family_index", "per_family_instance_index", "error_occurred",
            "error_message"}
    result["seconds"] = sum(b["real_time"] * scale[b["time_unit"]] for b in chosen) / len(chosen)
    for key in chosen[0]:
        if key not in skip and isinstance(chosen[0][key], (int, float)):
            result[key] = sum(b.get(key, 0) for b in chosen) / len(chosen)
    return result


def fmt_time(seconds):
    if seconds >= 1:
        return "%.2f s" % seconds
    if seconds >= 1e-3:
        return "%.1f ms" % (seconds * 1e3)
    return "%.1f us" % (seconds * 1e6)


def fmt_rate(value, unit):
    for div, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= div:
            return "%.2f %s%s" % (value / div, prefix, unit)
    return "%.0f %s" % (value, unit)


MIB = 1024.0 * 1024.0


def rows(results):
    svp = load(results, "StoreVsPosixBench")
    ctx = (svp or {}).get("context", {})
    out = []

    def row(name, store, baseline, ratio, target, met, note=""):
        out.append({"figure": name, "store": store, "baseline": baseline,
                    "ratio": ratio, "target": target, "met": met, "note": note})

    def skipped(name, target, reason):
        row(name, "skipped: " + reason, "-", None, target, None)

    def time_pair(name, function, target_ratio, throughput=None):
        store = figure(svp, "Store" + function)
        base = figure(svp, "Posix" + function)
        target = "<= %.1f" % target_ratio
        if store is None or base is None:
            skipped(name, target, "benchmark failed or did not run")
            return
        ratio = store["seconds"] / base["seconds"]
        def show(f):
            text = fmt_time(f["seconds"])
            if throughput == "bytes" and f.get("bytes_per_second"):
                text += " (%.0f MiB/s)" % (f["bytes_per_second"] / MIB)
            elif throughput == "items" and f.get("items_per_second"):
                text += " (%s)" % fmt_rate(f["items_per_second"], "ops/s")
            return text
        row(name, show(store), show(base), ratio, target, ratio <= target_ratio)

    seq = int(ctx.get("seq_bytes", 0)) // (1024 * 1024)
    time_pair("sequential write, %d MiB in 1 MiB writes" % seq, "SeqWrite", 1.3, "bytes")
    time_pair("sequential read, warm, %d MiB in 1 MiB reads" % seq, "SeqRead", 1.2, "bytes")
    time_pair("random 4 KiB reads, warm, %d MiB file (%s reads)"
              % (int(ctx.get("rand_file_bytes", 0)) // (1024 * 1024), ctx.get("rand_reads", "?")),
              "RandRead", 2.0, "items")
    time_pair("create + close of %s empty files in one directory" % ctx.get("files", "?"),
              "CreateClose", 4.0, "items")

    store = figure(svp, "StoreGetattr")
    base = figure(svp, "PosixGetattr")
    name = "getattr of a cached item, one thread"
    if store is None or base is None:
        skipped(name, ">= 1,000,000 calls/s", "benchmark failed or did not run")
    else:
        s, b = store["items_per_second"], base["items_per_second"]
        row(name, fmt_rate(s, "calls/s"), fmt_rate(b, "calls/s") + " (stat(2))", s / b,
            ">= 1,000,000 calls/s", s >= 1e6, "ratio = store rate / stat rate")

    time_pair("paged readdir (%s per page) of a %s-entry directory"
              % (ctx.get("readdir_page", "?"), ctx.get("files", "?")), "Readdir", 2.0, "items")

    backup = load(results, "BackupBench")
    store = figure(backup, "BM_CommitThroughQueue")
    base = figure(backup, "BM_PlainCopyIntoBackupDir")
    name = "backup: MiB/s committed vs copying into the backup dir"
    if store is None or base is None:
        skipped(name, ">= 0.7 of copy speed", "benchmark failed or did not run")
    else:
        s, b = store["MiB_per_s"], base["MiB_per_s"]
        row(name, "%.0f MiB/s" % s, "%.0f MiB/s" % b, s / b, ">= 0.7 of copy speed", s / b >= 0.7,
            "ratio = store speed / copy speed")

    pit = load(results, "PointInTimeBench")
    store = figure(pit, "ViewRead")
    base = figure(pit, "PlainAfileRead")
    name = "point-in-time read, empty cache, vs reading the afiles"
    if store is None or base is None:
        skipped(name, "<= 1.5", "benchmark failed or did not run")
    else:
        ratio = base["bytes_per_second"] / store["bytes_per_second"]
        row(name, "%.0f MiB/s" % (store["bytes_per_second"] / MIB),
            "%.0f MiB/s" % (base["bytes_per_second"] / MIB), ratio, "<= 1.5", ratio <= 1.5)

    try:
        with open(os.path.join(results, "mount.json")) as f:
            mount = json.load(f)
    except (OSError, ValueError):
        mount = {"status": "skipped", "reason": "mount.sh left no result"}
    for kind in ("write", "read"):
        name = "FUSE mount, fio sequential %s, 1 MiB blocks" % kind
        if mount.get("status") != "ok":
            skipped(name, "<= 1.5", mount.get("reason", "unknown"))
            continue
        s = float(mount["store"][kind + "_bw"])
        b = float(mount["local"][kind + "_bw"])
        ratio = b / s if s > 0 else float("inf")
        name += " (%s MiB)" % mount.get("size_mib", "?")
        row(name, "%.0f MiB/s" % (s / MIB), "%.0f MiB/s" % (b / MIB), ratio, "<= 1.5",
            ratio <= 1.5)

    memory = figure(load(results, "MemoryBench"), "ResidentSize")
    name = "memory: RSS after creating files, default cache limits"
    target = "<= 256 MiB, flat after"
    if memory is None:
        skipped(name, target, "benchmark failed or did not run")
    else:
        at = memory["rss_files_MiB"]
        growth = memory["growth_MiB"]
        # "Flat": the further files add less than a tenth of what the first
        # ones left resident.
        flat = growth <= 0.1 * at
        files = int(memory["files"])
        full = files >= 200000
        note = "flat = growth over the extra files <= 10% of the RSS"
        if not full:
            note += "; measured at %d files, not 200,000 (BENCH_MEMORY_FILES=200000 for the" \
                    " full figure): no verdict" % files
        row("memory: RSS after %d files, default cache limits" % files,
            "%.0f MiB (+%.1f MiB over %d more files)" % (at, growth, memory["extra_files"]),
            "%.0f MiB at start" % memory["rss_start_MiB"], None, target,
            (at <= 256 and flat) if full else None, note)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--results", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    table = rows(args.results)
    svp = load(args.results, "StoreVsPosixBench") or {}
    ctx = svp.get("context", {})
    scale = os.environ.get("BENCH_SCALE", "1")
    report = {
        "machine": machine(),
        "build_type": build_type(args.build),
        "sizes": {k: ctx.get(k) for k in ("seq_bytes", "rand_file_bytes", "rand_reads", "files",
                                          "readdir_page")},
        "scale_divisor": int(scale) if scale.isdigit() else 1,
        "bench_dir": os.environ.get("BENCH_DIR", ""),
        "rows": table,
    }
    m = report["machine"]
    print()
    print("machine: %s; %s cores; %s; %s MiB RAM" % (m["uname"], m["cores"], m.get("cpu", "?"),
                                                    m.get("ram_mib", "?")))
    print("build: %s; sizes: %s%s" % (report["build_type"], json.dumps(report["sizes"]),
                                      "" if scale in ("", "1") else
                                      "  (REDUCED: BENCH_SCALE=%s)" % scale))
    headers = ["figure", "store", "baseline", "ratio", "target", "met"]
    cells = [[r["figure"], r["store"], r["baseline"],
              "-" if r["ratio"] is None else "%.2f" % r["ratio"], r["target"],
              "-" if r["met"] is None else ("yes" if r["met"] else "no")] for r in table]
    widths = [max(len(h), *(len(c[i]) for c in cells)) for i, h in enumerate(headers)]
    line = "  ".join(h.ljust(w) for h, w in zip(headers, widths))
    print(line)
    print("-" * len(line))
    for c in cells:
        print("  ".join(v.ljust(w) for v, w in zip(c, widths)))
    notes = [r for r in table if r["note"]]
    for r in notes:
        print("note (%s): %s" % (r["figure"], r["note"]))
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(report, f, indent=2)
    print("written: %s" % args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())

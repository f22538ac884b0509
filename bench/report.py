#!/usr/bin/env python3
"""Writes the tables of docs/performance.md from one run of scripts/bench.sh.

    report.py RESULTS_DIR [--doc docs/performance.md]

RESULTS_DIR holds what the run left: timings.json (Google Benchmark, with
repetitions), one callgrind profile per case (callgrind/*.out), the case's
figures (*.json) and its inclusive profile (*.txt), and run.json (what was
measured where). The tables go to RESULTS_DIR/tables.md and, with --doc,
replace the part of the document between its two table markers.
"""

import argparse
import json
import os
import re
import statistics
import struct
import sys

BEGIN = "<!-- bench:tables:begin -->"
END = "<!-- bench:tables:end -->"

# The platform's limits for an early-launch driver.
CALLBACK_LIMIT_US = 500.0
BOOT_LIMIT_US = 50_000.0
MEMORY_LIMIT = 128 * 1024

# The kernel estimate of elam_bench_count: a 16-byte pool header in front of
# every block, blocks in 16-byte units.
POOL_HEADER = 16
POOL_UNIT = 16

REFERENCE = "scan/bytes"
FLOOR = "scan/lengths"
WORST = "classify/no-match"


def case_file(name, scale):
    return f"{name.replace('/', '_')}-x{scale}"


def read_listing(path):
    """{function: instructions} from a callgrind_annotate listing."""
    listing = {}
    with open(path) as f:
        for line in f:
            m = re.match(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+(\S.*)$", line)
            if not m:
                continue
            where = m.group(2).split(" [")[0]
            function = where.split(":", 1)[1] if ":" in where else where
            listing.setdefault(function.split("(")[0], int(m.group(1).replace(",", "")))
    return listing


def load_counts(results):
    """{(case, scale): {"ir": instructions, "figures": {...}, "inclusive"/"self": {function: ir}}}"""
    counts = {}
    directory = os.path.join(results, "callgrind")
    for entry in sorted(os.listdir(directory)):
        if not entry.endswith(".json"):
            continue
        with open(os.path.join(directory, entry)) as f:
            figures = json.loads(f.read().strip().splitlines()[-1])
        key = (figures.pop("case"), figures.pop("scale"))
        stem = os.path.join(directory, entry[: -len(".json")])
        ir = None
        with open(stem + ".out") as f:
            for line in f:
                if line.startswith("totals:") or line.startswith("summary:"):
                    ir = int(line.split()[1])
        inclusive = read_listing(stem + ".txt")
        own = read_listing(stem + ".self.txt")
        counts[key] = {"ir": ir, "figures": figures, "inclusive": inclusive, "self": own}
    return counts


def load_timings(results):
    """{(case, scale): {"median": us, "cv": fraction, "runs": n}} from CPU time."""
    with open(os.path.join(results, "timings.json")) as f:
        data = json.load(f)
    scale_of = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
    samples = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate":
            continue
        name, scale = b["run_name"].rsplit("/x", 1)
        samples.setdefault((name, int(scale)), []).append(b["cpu_time"] * scale_of[b["time_unit"]])
    timings = {}
    for key, values in samples.items():
        median = statistics.median(values)
        cv = statistics.pstdev(values) / statistics.mean(values) if len(values) > 1 else 0.0
        timings[key] = {"median": median, "min": min(values), "cv": cv, "runs": len(values)}
    return timings, data.get("context", {})


def size_of_image(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<I", data, pe + 24 + 56)[0]


def us(value):
    if value >= 1000:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def n(value):
    return f"{value:,.0f}"


def ratio(a, b):
    return f"{a / b:.2f}" if b else "–"


def table(header, rows, text_columns=1):
    """A Markdown table: the first text_columns columns left-aligned, the rest right."""
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---:" if i >= text_columns else "---" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("results")
    parser.add_argument("--doc")
    args = parser.parse_args()

    with open(os.path.join(args.results, "run.json")) as f:
        run = json.load(f)
    counts = load_counts(args.results)
    timings, context = load_timings(args.results)
    cases = run["cases"]  # [[name, scale], ...] in table order
    scales = sorted({s for name, s in cases if name == "load"})

    out = []
    out.append("Run: " + ", ".join([
        f"commit `{run['commit']}`",
        run["date"],
        f"{context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz",
        f"load average {run['load_before']} before, {run['load_after']} after",
        f"block list: {run['block_list']}",
    ]) + ".")
    out.append("")

    # --- Cost of every case ------------------------------------------------
    out.append("### Cost of each case")
    out.append("")
    out.append(f"Instructions: callgrind, one run. Time: median CPU time of {timings[tuple(cases[0])]['runs']} "
               "repetitions (cv: their coefficient of variation). Ratios: to the plain scan of "
               f"the same list (`{REFERENCE}`, every data byte read once) and to the bare walk "
               f"(`{FLOOR}`, one length comparison per rule), measured in the same run.")
    out.append("")
    rows = []
    for name, scale in cases:
        c = counts[(name, scale)]
        t = timings[(name, scale)]
        ref_scale = scale if (REFERENCE, scale) in counts else 1
        ref_c = counts[(REFERENCE, ref_scale)]
        ref_t = timings[(REFERENCE, ref_scale)]
        floor_c = counts[(FLOOR, ref_scale)]
        rules = counts[("load", ref_scale)]["figures"]["rules"]
        rows.append([f"`{name}`", f"{scale}×", n(rules), n(c["ir"]), ratio(c["ir"], ref_c["ir"]),
                     ratio(c["ir"], floor_c["ir"]), us(t["median"]), f"{t['cv'] * 100:.0f}%",
                     ratio(t["median"], ref_t["median"])])
    out.append(table(["case", "list", "rules", "instructions", "÷ scan (instr.)", "÷ walk (instr.)",
                      "time (µs)", "cv", "÷ scan (time)"], rows))
    out.append("")

    # --- Growth ---------------------------------------------------------------
    out.append("### Growth with the size of the list")
    out.append("")
    rows = []
    for name in dict.fromkeys(nm for nm, s in cases):
        if not all((name, s) in counts for s in scales):
            continue
        base = counts[(name, 1)]["ir"]
        base_t = timings[(name, 1)]["median"]
        rules = [counts[("load", s)]["figures"]["rules"] for s in scales]
        slope = (counts[(name, scales[-1])]["ir"] - base) / (rules[-1] - rules[0])
        rows.append([f"`{name}`"] + [ratio(counts[(name, s)]["ir"], base) for s in scales[1:]] +
                    [ratio(timings[(name, s)]["median"], base_t) for s in scales[1:]] + [f"{slope:.1f}"])
    header = ["case"] + [f"instr. {s}×÷1×" for s in scales[1:]] + [f"time {s}×÷1×" for s in scales[1:]] + \
        ["instructions per added rule"]
    out.append(table(header, rows))
    out.append("")

    # --- Where the instructions go --------------------------------------------
    def breakdown(case, parts, extra_rows=()):
        out.append(f"### Where the instructions of `{case}` go")
        out.append("")
        out.append("Inclusive: the function and all it calls; (self): its own instructions only.")
        out.append("")
        rows = []
        for function, what in parts:
            kind = "inclusive"
            if function.endswith(" (self)"):
                function, kind = function[: -len(" (self)")], "self"
            row = [f"`{function}`" + (" (self)" if kind == "self" else ""), what]
            for s in scales:
                c = counts[(case, s)]
                value = c[kind].get(function, 0)
                row.append(f"{n(value)} ({value / c['ir'] * 100:.0f}%)")
            rows.append(row)
        rows.extend(extra_rows)
        out.append(table(["function", "what"] + [f"{s}×" for s in scales], rows, text_columns=2))
        out.append("")

    breakdown(WORST, [
        ("MatchRule", "rule matching, every list"),
        ("FindModuleForImage", "module lookup, last of 100 modules"),
        ("GetImageVersionInfo", "version-resource reader"),
        ("GetImageDebugInfo", "debug-record reader"),
        ("ExAllocatePoolWithTag", "pool allocations (host kernel)"),
        ("ExFreePoolWithTag", "pool releases (host kernel)"),
    ], [["matching ÷ scan", f"`MatchRule` ÷ `{REFERENCE}`"] +
        [ratio(counts[(WORST, s)]["inclusive"].get("MatchRule", 0), counts[(REFERENCE, s)]["ir"]) for s in scales],
        ["matching ÷ walk", f"`MatchRule` ÷ `{FLOOR}`"] +
        [ratio(counts[(WORST, s)]["inclusive"].get("MatchRule", 0), counts[(FLOOR, s)]["ir"]) for s in scales]])
    breakdown("boot/100", [
        ("LoadConfiguration", "start-up: key, switches, 22 rule values"),
        ("LoadRuleValue", "rule values: read, parse, one block per rule"),
        ("LoadRuleValue (self)", "the loader's own parsing and filling of the rules"),
        ("MultiStringQueryRoutine (self)", "the value's strings split into the temporary list"),
        ("HostRtlQueryRegistryValuesEx", "registry query (host kernel), with the driver's query routine"),
        ("ExAllocatePoolWithTag", "pool allocations (host kernel)"),
        ("ExFreePoolWithTag", "pool releases (host kernel)"),
        ("CaptureModuleSnapshot", "module snapshot"),
        ("ClassifyImage", "100 classifications"),
        ("MatchRule", "rule matching in them"),
        ("BootDriverCallback", "every callback: the classifications and the unload"),
        ("WriteBlockedDriversReport", "report at unload"),
    ])

    # --- Memory -----------------------------------------------------------------
    out.append("### Pool in use (host pool, `hk::PoolStatistics()`)")
    out.append("")
    out.append("Resident: after `LoadConfiguration`, what stays for the whole boot (rules, configuration "
               "path). Peak: the most at once during the load (the rules so far and the strings of the value "
               f"being read). Kernel estimate: each block plus a {POOL_HEADER}-byte pool header, rounded up to "
               f"{POOL_UNIT} bytes.")
    out.append("")
    rows = []
    for s in scales:
        f = counts[("load", s)]["figures"]
        resident = f["pool_resident_bytes"]
        per_rule = resident / f["rules"]
        estimate = f["pool_resident_kernel_bytes"]
        rows.append([f"{s}×", n(f["rules"]), n(f["rule_data_bytes"]), n(resident), n(f["pool_resident_blocks"]),
                     f"{per_rule:.1f}", n(estimate), n(f["pool_peak_bytes"]), n(f["pool_peak_blocks"])])
    out.append(table(["list", "rules", "data bytes", "resident bytes", "resident blocks", "bytes per rule",
                      "kernel estimate", "peak bytes", "peak blocks"], rows))
    boot_rows = []
    for s in scales:
        if ("boot/100", s) in counts:
            f = counts[("boot/100", s)]["figures"]
            boot_rows.append([f"{s}×", n(f["pool_peak_bytes"]), n(f["pool_peak_blocks"]), n(f["blocked"])])
    if boot_rows:
        out.append("")
        out.append("Whole boot of 100 drivers (`boot/100`), with the module snapshot and each callback's "
                   "blocks:")
        out.append("")
        out.append(table(["list", "peak bytes", "peak blocks", "drivers blocked"], boot_rows))
    out.append("")

    # --- Limits -----------------------------------------------------------------------
    out.append("### Against the platform's limits")
    out.append("")
    rows = []
    for s in scales:
        t = timings[(WORST, s)]["median"]
        rows.append([f"one callback, worst case (`{WORST}`), {s}×", f"{us(t)} µs", f"{CALLBACK_LIMIT_US:.0f} µs",
                     f"{t / CALLBACK_LIMIT_US * 100:.2f}%", f"{CALLBACK_LIMIT_US / t:,.1f}×"])
    for case, what in (("callbacks/100", "100 boot drivers' callbacks"),
                       ("boot/100", "whole boot of 100 drivers, start-up and unload included")):
        for s in scales:
            if (case, s) in timings:
                t = timings[(case, s)]["median"]
                rows.append([f"{what} (`{case}`), {s}×", f"{us(t)} µs", f"{BOOT_LIMIT_US:,.0f} µs",
                             f"{t / BOOT_LIMIT_US * 100:.2f}%", f"{BOOT_LIMIT_US / t:,.1f}×"])
    # Where the limits would be reached, on this machine, going on from the two
    # largest lists in a straight line.
    def list_at(case, limit):
        big, bigger = scales[-2], scales[-1]
        r1, r2 = (counts[("load", x)]["figures"]["rules"] for x in (big, bigger))
        t1, t2 = timings[(case, big)]["median"], timings[(case, bigger)]["median"]
        slope = (t2 - t1) / (r2 - r1)
        return r2 + (limit - t2) / slope if slope > 0 else float("inf")
    shipped_rules = counts[("load", 1)]["figures"]["rules"]
    for case, limit, what in ((WORST, CALLBACK_LIMIT_US, "one callback, worst case, reaches 0.5 ms"),
                              ("callbacks/100", BOOT_LIMIT_US, "100 callbacks reach 50 ms")):
        at = list_at(case, limit)
        rows.append([f"list size at which {what} (extrapolated from {scales[-2]}× and {scales[-1]}×)",
                     f"{n(at)} rules", "–", "–", f"{at / shipped_rules:,.0f}× the shipped list"])
    image = run.get("image")
    image_size = size_of_image(image) if image and os.path.exists(image) else None
    for s in scales:
        f = counts[("load", s)]["figures"]
        resident = f["pool_resident_bytes"]
        estimate = f["pool_resident_kernel_bytes"]
        if image_size is None:
            continue
        for label, value in (("tracked", resident), ("kernel estimate", estimate)):
            total = image_size + value
            rows.append([f"image + resident configuration ({label}), {s}×", f"{n(total)} bytes",
                         f"{n(MEMORY_LIMIT)} bytes", f"{total / MEMORY_LIMIT * 100:.0f}%",
                         "fits" if total <= MEMORY_LIMIT else f"over by {n(total - MEMORY_LIMIT)} bytes"])
    out.append(table(["figure", "measured", "limit", "share of the limit", "headroom"], rows))
    out.append("")
    if image_size is not None:
        f = counts[("load", 1)]["figures"]
        room = MEMORY_LIMIT - image_size
        per_rule = f["pool_resident_kernel_bytes"] / f["rules"]
        out.append(f"Image: `{os.path.relpath(image, run['root'])}`, SizeOfImage {n(image_size)} bytes. "
                   f"The 128 KB leave {n(room)} bytes for configuration data: at the shipped list's "
                   f"{per_rule:.1f} bytes per rule (kernel estimate) that is {n(room // per_rule)} rules "
                   f"of its {n(f['rules'])}.")
    else:
        out.append("Image: no signed driver image was found (build it with `scripts/build.sh`).")
    out.append("")

    text = "\n".join(out)
    with open(os.path.join(args.results, "tables.md"), "w") as f:
        f.write(text + "\n")
    if args.doc:
        with open(args.doc) as f:
            doc = f.read()
        if BEGIN not in doc or END not in doc:
            sys.exit(f"{args.doc}: no table markers")
        head, rest = doc.split(BEGIN, 1)
        _, tail = rest.split(END, 1)
        with open(args.doc, "w") as f:
            f.write(head + BEGIN + "\n" + text + "\n" + END + tail)


if __name__ == "__main__":
    main()

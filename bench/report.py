#!/usr/bin/env python3
"""Reads the benchmark program's JSON output and the Python comparison, prints the ratios that
the targets are stated in, and writes the performance page with its chart.

Usage: report.py --bench BENCH_JSON --python PYTHON_JSON [--md PAGE --chart SVG]
                 [--findings MARKDOWN] [--load-after "a b c"]

Exit status 1 when a benchmark reported an error or the Python listing differed from the
library's; missed targets are reported, not failed (they depend on the machine).
"""
import argparse
import datetime
import json
import math
import os
import platform
import sys

UNIT_SECONDS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
FOLDER_SIZES = [1000, 2000, 5000, 10000, 20000, 50000, 100000]

TARGET_E1 = 1.25
TARGET_E2 = 2.0
TARGET_SCALING = 1.6
TARGET_PYTHON = 20.0
RSS_JSON_FACTOR = 3
RSS_PAGE_FACTOR = 8


class Runs:
    """Median of every case (the run itself when there was one repetition)."""

    def __init__(self, doc):
        self.context = doc.get("context", {})
        self.errors = []
        self.by_name = {}
        singles = {}
        for b in doc.get("benchmarks", []):
            if b.get("error_occurred"):
                self.errors.append("%s: %s" % (b.get("name"), b.get("error_message")))
                continue
            name = b.get("run_name", b["name"])
            if b.get("run_type") == "aggregate":
                if b.get("aggregate_name") == "median":
                    self.by_name[name] = b
            else:
                singles.setdefault(name, b)
        for name, b in singles.items():
            self.by_name.setdefault(name, b)

    def get(self, name):
        return self.by_name.get(name)

    def seconds(self, name, clock="cpu_time"):
        """CPU time for the one-thread cases: on a shared machine the wall time also holds the
        time the process waited for a core; for these cases, which never wait on anything,
        the two agree on an idle machine. Page faults count (system time)."""
        b = self.get(name)
        return b[clock] * UNIT_SECONDS[b["time_unit"]] if b else None

    def rate(self, name, what):
        b = self.get(name)
        return b.get(what) if b else None

    def counter(self, prefix, key):
        """A user counter of the case whose name starts with prefix (the paired cases carry
        suffixes such as /manual_time)."""
        for name, b in self.by_name.items():
            if name.split("/")[0] == prefix.split("/")[0] and name.startswith(prefix):
                return b.get(key)
        return None

    def ctx(self, key, cast=int):
        v = self.context.get(key)
        return cast(v) if v is not None else None


def fmt_time(s):
    if s is None:
        return "n/a"
    if s >= 1:
        return "%.2f s" % s
    if s >= 1e-3:
        return "%.2f ms" % (s * 1e3)
    if s >= 1e-6:
        return "%.1f µs" % (s * 1e6)
    return "%.0f ns" % (s * 1e9)


def fmt_rate(v, unit):
    if v is None:
        return "n/a"
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if v >= scale:
            return "%.2f %s%s/s" % (v / scale, prefix, unit)
    return "%.1f %s/s" % (v, unit)


def fmt_bytes(n):
    if n is None:
        return "n/a"
    return "%.1f MB" % (n / 1e6) if n >= 1e6 else "%.1f kB" % (n / 1e3)


def num(v):
    return "%.2f" % v if v is not None else "n/a"


def ratio(a, b):
    return a / b if a is not None and b else None


def verdict(value, target, higher_is_better=False):
    if value is None:
        return "n/a"
    ok = value >= target if higher_is_better else value <= target
    return "met" if ok else "missed"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def figures(runs, py):
    f = {}
    f["p"] = runs.seconds("P")
    f["e1"] = runs.seconds("E1")
    f["e1_p_apart"] = ratio(f["e1"], f["p"])
    f["e1_p"] = runs.counter("E1_over_P", "ratio") or f["e1_p_apart"]
    f["psum"] = {n: runs.seconds("P_sum/%d" % n) for n in FOLDER_SIZES}
    f["e2"] = {n: runs.seconds("E2/%d" % n) for n in FOLDER_SIZES}
    f["e2_psum"] = {n: ratio(f["e2"][n], f["psum"][n]) for n in FOLDER_SIZES}
    f["e2_p_apart"] = f["e2_psum"][100000]
    f["e2_p_100k"] = runs.counter("E2_over_P_sum/100000", "ratio") or f["e2_p_apart"]

    before, peak = runs.ctx("rss_before"), runs.ctx("rss_peak")
    f["rss_valid"] = runs.ctx("rss_peak_valid") == 1
    f["rss_delta"] = peak - before if before is not None and peak is not None else None
    f["listing_bytes"] = runs.ctx("listing_json_bytes")
    f["largest_page"] = runs.ctx("largest_page_bytes")
    f["rss_limit"] = (RSS_JSON_FACTOR * f["listing_bytes"] + RSS_PAGE_FACTOR * f["largest_page"]
                      if f["listing_bytes"] and f["largest_page"] else None)
    f["rss_ok"] = (f["rss_valid"] and f["rss_delta"] is not None and f["rss_limit"] is not None
                   and f["rss_delta"] <= f["rss_limit"])

    f["s"] = {}
    for mode in ("api_key", "cached_login"):
        one = runs.rate("S/%s/real_time/threads:1" % mode, "items_per_second")
        two = runs.rate("S/%s/real_time/threads:2" % mode, "items_per_second")
        f["s"][mode] = (one, two, ratio(two, one))
    scalings = [s for (_, _, s) in f["s"].values() if s is not None]
    f["s_scaling"] = min(scalings) if scalings else None
    f["c"] = runs.rate("C", "items_per_second")

    f["py"] = py.get("median_s") if py else None
    f["py_loads"] = py.get("loads_median_s") if py else None
    f["py_x"] = ratio(f["py"], f["e1"])
    return f


def summary_lines(runs, f):
    lines = []
    lines.append("E1/P        %s  (paired; apart %s; target <= %.2f: %s)" % (
        num(f["e1_p"]), num(f["e1_p_apart"]), TARGET_E1, verdict(f["e1_p"], TARGET_E1)))
    lines.append("E2/sum(P)   %s  (paired, 100000 items; apart %s; target <= %.1f: %s)" % (
        num(f["e2_p_100k"]), num(f["e2_p_apart"]), TARGET_E2, verdict(f["e2_p_100k"], TARGET_E2)))
    if f["rss_delta"] is not None:
        lines.append("peak RSS    %s above the start, listing JSON %s, largest page %s; "
                     "limit 3*JSON+8*page = %s: %s%s" % (
                         fmt_bytes(f["rss_delta"]), fmt_bytes(f["listing_bytes"]),
                         fmt_bytes(f["largest_page"]), fmt_bytes(f["rss_limit"]),
                         "met" if f["rss_ok"] else "missed",
                         "" if f["rss_valid"] else " (peak could not be reset: not valid)"))
    for mode, (one, two, s) in f["s"].items():
        lines.append("S %-13s %s on 1 thread, %s on 2: x%s (target >= %.1f: %s)" % (
            mode, fmt_rate(one, "calls"), fmt_rate(two, "calls"),
            "%.2f" % s if s else "n/a", TARGET_SCALING, verdict(s, TARGET_SCALING, True)))
    lines.append("C           %s" % fmt_rate(f["c"], "calls"))
    if f["py"] is not None:
        lines.append("Python      %s per page vs E1 %s: x%s faster (target >= %.0f: %s)" % (
            fmt_time(f["py"]), fmt_time(f["e1"]), "%.1f" % f["py_x"] if f["py_x"] else "n/a",
            TARGET_PYTHON, verdict(f["py_x"], TARGET_PYTHON, True)))
    return lines


def svg_chart(f, path):
    """Listing time against folder size on log-log axes, E2 beside the summed yyjson reads."""
    w, h = 720, 440
    left, right, top, bottom = 80, 30, 50, 70
    xs = [n for n in FOLDER_SIZES if f["e2"][n] and f["psum"][n]]
    if not xs:
        return False
    ys = [f["e2"][n] for n in xs] + [f["psum"][n] for n in xs]
    x0, x1 = math.log10(min(xs)), math.log10(max(xs))
    y0 = math.floor(math.log10(min(ys) * 1e3))
    y1 = math.ceil(math.log10(max(ys) * 1e3))
    if y1 == y0:
        y1 += 1

    def px(n):
        return left + (math.log10(n) - x0) / (x1 - x0) * (w - left - right)

    def py(s):
        return top + (y1 - math.log10(s * 1e3)) / (y1 - y0) * (h - top - bottom)

    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
           'viewBox="0 0 %d %d" font-family="sans-serif" font-size="12">' % (w, h, w, h),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="24" font-size="15" font-weight="bold">Listing time against folder '
           'size</text>' % left]
    for e in range(y0, y1 + 1):
        y = top + (y1 - e) / (y1 - y0) * (h - top - bottom)
        out.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#ddd"/>' % (
            left, y, w - right, y))
        label = "%g ms" % (10 ** e) if e >= 0 else "%g ms" % (10.0 ** e)
        out.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>' % (left - 6, y + 4, label))
    for n in xs:
        x = px(n)
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#eee"/>' % (
            x, top, x, h - bottom))
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' % (
            x, h - bottom + 18, "{:,}".format(n)))
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (
        left, h - bottom, w - right, h - bottom))
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (
        left, top, left, h - bottom))
    out.append('<text x="%d" y="%d" text-anchor="middle">items in the folder (pages of 500, '
               'log scale)</text>' % ((left + w - right) // 2, h - 22))
    out.append('<text transform="translate(18 %d) rotate(-90)" text-anchor="middle">median '
               'CPU time per listing (log scale)</text>' % ((top + h - bottom) // 2))
    series = [("kojelly_list (E2)", "#c0392b", f["e2"]),
              ("yyjson read of the same pages (sum of P)", "#2471a3", f["psum"])]
    for i, (label, colour, data) in enumerate(series):
        pts = " ".join("%.1f,%.1f" % (px(n), py(data[n])) for n in xs)
        out.append('<polyline fill="none" stroke="%s" stroke-width="2" points="%s"/>' % (
            colour, pts))
        for n in xs:
            out.append('<circle cx="%.1f" cy="%.1f" r="3.5" fill="%s"/>' % (
                px(n), py(data[n]), colour))
        ly = top + 10 + i * 18
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="%s" stroke-width="2"/>' % (
            left + 14, ly, left + 40, ly, colour))
        out.append('<text x="%d" y="%d">%s</text>' % (left + 46, ly + 4, label))
    out.append("</svg>")
    with open(path, "w") as fh:
        fh.write("\n".join(out) + "\n")
    return True


def markdown(runs, f, py, chart_rel, findings, load_after):
    c = runs.context
    date = c.get("date") or datetime.datetime.now().isoformat(timespec="seconds")
    load_before = " ".join("%.2f" % v for v in c.get("load_avg", []))
    md = []
    md.append("# Performance\n")
    md.append("How close the listing pipeline comes to yyjson's own read of the server's pages. "
              "Produced by `make bench` (scripts/bench.sh); every figure below comes from one run "
              "of the benchmark program and is the median of its repetitions.\n")
    md.append("## Run\n")
    md.append("| | |\n|---|---|")
    md.append("| date | %s |" % date)
    md.append("| machine | %s, %s CPUs |" % (cpu_model(), c.get("num_cpus", "?")))
    md.append("| load average before / after | %s / %s |" % (load_before or "n/a",
                                                           load_after or "n/a"))
    md.append("| build | Release (-O3), shared plug-in, yyjson %s from the system |" % (
        c.get("yyjson_version", "0.10")))
    md.append("| harness | Google Benchmark from Debian (it calls itself a debug build; its own "
              "overhead is negligible at these case sizes) |")
    md.append("| page | %s items, %s; a folder of 100000 items is %s in 200 pages |" % (
        runs.ctx("page_items"), fmt_bytes(runs.ctx("page_bytes")),
        fmt_bytes(runs.ctx("folder_bytes"))))
    md.append("| repetitions | %s |" % (c.get("repetitions") or
                                      next((b.get("repetitions") for b in runs.by_name.values()
                                            if b.get("repetitions")), "1")))
    md.append("")
    md.append("The pages come from bench/page_gen.cpp: every member a current server sends for "
              "the listing fields (names that are not ASCII or need escaping, ProviderIds, "
              "UserData, ImageTags and blur hashes, MediaSources with their MediaStreams), 5% "
              "folders, 8% of the films without a year. E2 and S are served by the fake io "
              "(in-process, answers delivered from its route table), so they include the "
              "library's whole request path.\n")

    md.append("## Targets\n")
    md.append("| target | measured | goal | |\n|---|---|---|---|")
    md.append("| E1/P, 500-item page | %s (apart: %s) | ≤ %.2f | %s |" % (
        num(f["e1_p"]), num(f["e1_p_apart"]), TARGET_E1, verdict(f["e1_p"], TARGET_E1)))
    md.append("| E2/ΣP, 100000 items | %s (apart: %s) | ≤ %.1f | %s |" % (
        num(f["e2_p_100k"]), num(f["e2_p_apart"]), TARGET_E2, verdict(f["e2_p_100k"], TARGET_E2)))
    md.append("| peak RSS of the 100000-item listing | %s | ≤ 3 × %s + 8 × %s = %s | %s |" % (
        fmt_bytes(f["rss_delta"]), fmt_bytes(f["listing_bytes"]), fmt_bytes(f["largest_page"]),
        fmt_bytes(f["rss_limit"]), "met" if f["rss_ok"] else "missed"))
    md.append("| S, 2 threads over 1 (worse of the two modes) | %s | ≥ %.1f | %s |" % (
        "%.2f" % f["s_scaling"] if f["s_scaling"] else "n/a", TARGET_SCALING,
        verdict(f["s_scaling"], TARGET_SCALING, True)))
    md.append("| Python transform / E1 | %s | ≥ %.0f | %s |" % (
        "%.1f" % f["py_x"] if f["py_x"] else "n/a", TARGET_PYTHON,
        verdict(f["py_x"], TARGET_PYTHON, True)))
    md.append("")
    md.append("The two ratios are paired: each iteration of E1_over_P and E2_over_P_sum times the "
              "baseline and the case back to back on the same pages, and the ratio is the median "
              "of the iterations' ratios (the median over the repetitions of that). \"Apart\" is "
              "the ratio of the medians of the separate cases below, which another process's "
              "load can move one way or the other.\n")

    md.append("## Cases\n")
    md.append("| case | what | median CPU time | median wall time | bytes/s | items/s |\n"
              "|---|---|---|---|---|---|")
    rows = [("P", "P", "yyjson_read_opts + yyjson_doc_free of a 500-item page"),
            ("E1", "E1", "kojelly_parse_items of the same page, answer in the result slot")]
    for n in FOLDER_SIZES:
        rows.append(("P_sum/%d" % n, "ΣP %d" % n, "P over the %d pages of a %d-item folder" % (
            n // 500, n)))
        rows.append(("E2/%d" % n, "E2 %d" % n, "kojelly_list of that folder (API key)"))
    for mode, what in (("api_key", "API key"), ("cached_login", "cached login")):
        for t in (1, 2):
            rows.append(("S/%s/real_time/threads:%d" % (mode, t), "S %s ×%d" % (what, t),
                         "kojelly_stream_url, %d thread%s (items = calls, bytes = server "
                         "answers read)" % (t, "s" if t > 1 else "")))
    rows.append(("C", "C", "kojelly_full_url (items = calls, bytes = settings text)"))
    for name, label, what in rows:
        b = runs.get(name)
        if not b:
            continue
        md.append("| %s | %s | %s | %s | %s | %s |" % (
            label, what, fmt_time(runs.seconds(name)), fmt_time(runs.seconds(name, "real_time")),
            fmt_rate(b.get("bytes_per_second"), "B"), fmt_rate(b.get("items_per_second"), "items")))
    md.append("")

    md.append("## Listing time against folder size\n")
    md.append("![Listing time against folder size](%s)\n" % chart_rel)
    md.append("| items | ΣP | E2 | E2/ΣP |\n|---|---|---|---|")
    for n in FOLDER_SIZES:
        r = f["e2_psum"][n]
        md.append("| %d | %s | %s | %s |" % (n, fmt_time(f["psum"][n]), fmt_time(f["e2"][n]),
                                            "%.2f" % r if r else "n/a"))
    md.append("")

    md.append("## Memory of the 100000-item listing\n")
    md.append("One listing made before the timed cases, after the freed heap was handed back "
              "(malloc_trim) and the peak counter reset (/proc/self/clear_refs): the peak "
              "resident size (VmHWM) minus the resident size just before. The fake io's copies "
              "of the pages were made before and are not counted.\n")
    md.append("| | |\n|---|---|")
    md.append("| peak above the start | %s |" % fmt_bytes(f["rss_delta"]))
    md.append("| listing JSON | %s |" % fmt_bytes(f["listing_bytes"]))
    md.append("| largest page | %s |" % fmt_bytes(f["largest_page"]))
    md.append("| limit (3 × JSON + 8 × page) | %s |" % fmt_bytes(f["rss_limit"]))
    md.append("")

    md.append("## Stream URL on two threads\n")
    md.append("| mode | 1 thread | 2 threads | scaling |\n|---|---|---|---|")
    for mode, (one, two, s) in f["s"].items():
        md.append("| %s | %s | %s | %s |" % (mode.replace("_", " "), fmt_rate(one, "calls"),
                                            fmt_rate(two, "calls"), "%.2f" % s if s else "n/a"))
    md.append("")

    md.append("## Against a Python transform\n")
    if py:
        checked = ("its listing was checked equal, value for value, to the library's"
                   if py.get("check") == "equal" else "its listing was not compared")
        md.append("bench/python_transform.py does the same page-to-listing transform with the "
                  "standard json module (Python %s), on the page that P and E1 read, in the same "
                  "run; %s.\n" % (py.get("python"), checked))
        md.append("| | median per page |\n|---|---|")
        md.append("| Python: json.loads + transform + json.dumps | %s |" % fmt_time(f["py"]))
        md.append("| Python: json.loads alone | %s |" % fmt_time(f["py_loads"]))
        md.append("| E1: kojelly_parse_items | %s |" % fmt_time(f["e1"]))
        md.append("| speed-up | ×%s |" % ("%.1f" % f["py_x"] if f["py_x"] else "n/a"))
        md.append("")
    if findings:
        md.append(findings.rstrip() + "\n")
    return "\n".join(md)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bench", required=True)
    ap.add_argument("--python")
    ap.add_argument("--md")
    ap.add_argument("--chart")
    ap.add_argument("--findings")
    ap.add_argument("--load-after", default="")
    args = ap.parse_args()

    with open(args.bench) as fh:
        runs = Runs(json.load(fh))
    py = None
    if args.python and os.path.exists(args.python):
        with open(args.python) as fh:
            py = json.load(fh)
    f = figures(runs, py)
    for line in summary_lines(runs, f):
        print(line)

    failed = False
    for e in runs.errors:
        print("error: %s" % e, file=sys.stderr)
        failed = True
    if py and py.get("check") not in ("equal", "skipped"):
        failed = True

    if args.md:
        chart_rel = None
        if args.chart and svg_chart(f, args.chart):
            chart_rel = os.path.relpath(args.chart, os.path.dirname(os.path.abspath(args.md)))
        findings = None
        if args.findings and os.path.exists(args.findings):
            with open(args.findings) as fh:
                findings = fh.read()
        with open(args.md, "w") as fh:
            fh.write(markdown(runs, f, py, chart_rel or "listing_time.svg", findings,
                              args.load_after))
        print("wrote %s" % args.md)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Reads the benchmark program's JSON output, one run per build of the library, and the Python
comparison; prints the ratios that the targets are stated in, for each build, and writes the
performance page with its chart.

Usage: report.py --bench BENCH_JSON --python PYTHON_JSON [--md PAGE --chart SVG]
                 [--findings MARKDOWN] [--load-after "a b c"]
       report.py --combine BENCH_JSON NAME=RUN_JSON...

BENCH_JSON is either one run of the benchmark program (Google Benchmark's JSON) or the runs of
several builds put together by --combine, each under the name of its build (its CMake build
type), in the order given.

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

TARGET_E1 = 1.35
TARGET_E2 = 1.6
# Page faults of the 100000-item listing per 4 KiB page of its answer: the answer is written
# into fresh memory once; everything else a listing takes should come back to it warm.
TARGET_FAULTS = 1.5
TARGET_SCALING = 1.6
TARGET_PYTHON = 20.0
RSS_JSON_FACTOR = 3
RSS_PAGE_FACTOR = 8
# What each CMake build type means for the library.
BUILD_FLAGS = {"RelWithDebInfo": "-O2 -g, as `make` builds and packages it",
               "Release": "-O3"}


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
    f["e2_faults"] = {n: runs.rate("E2/%d" % n, "page_faults") for n in FOLDER_SIZES}
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

    f["faults"] = runs.ctx("listing_faults")
    f["faults_cold"] = runs.ctx("listing_faults_cold")
    f["answer_pages"] = runs.ctx("listing_pages")
    f["faults_per_page"] = ratio(f["faults"], f["answer_pages"])
    f["faults_cold_per_page"] = ratio(f["faults_cold"], f["answer_pages"])
    f["faults_limit"] = (TARGET_FAULTS * f["answer_pages"]
                         if f["answer_pages"] is not None else None)

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


def summary_lines(f):
    lines = []
    lines.append("E1/P        %s  (paired; apart %s; target <= %.2f: %s)" % (
        num(f["e1_p"]), num(f["e1_p_apart"]), TARGET_E1, verdict(f["e1_p"], TARGET_E1)))
    lines.append("E2/sum(P)   %s  (paired, 100000 items; apart %s; target <= %.2f: %s)" % (
        num(f["e2_p_100k"]), num(f["e2_p_apart"]), TARGET_E2, verdict(f["e2_p_100k"], TARGET_E2)))
    if f["faults"] is not None:
        lines.append("faults      %d per 100000-item listing, %s answer pages: x%s (target <= "
                     "%.1f: %s); a cold listing %s" % (
                         f["faults"], f["answer_pages"], num(f["faults_per_page"]),
                         TARGET_FAULTS, verdict(f["faults_per_page"], TARGET_FAULTS),
                         f["faults_cold"]))
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


# One colour for each build's listing line, in the order of the builds; the summed yyjson reads
# are drawn in blue.
BUILD_COLOURS = ["#c0392b", "#e67e22", "#7d3c98", "#1e8449"]


def svg_chart(builds, path):
    """Listing time against folder size on log-log axes: E2 of every build beside the summed
    yyjson reads of the first."""
    w, h = 720, 440
    left, right, top, bottom = 80, 30, 50, 70
    first = builds[0][1]
    xs = [n for n in FOLDER_SIZES
          if first["psum"][n] and all(f["e2"][n] for _, f in builds)]
    if not xs:
        return False
    ys = [first["psum"][n] for n in xs] + [f["e2"][n] for _, f in builds for n in xs]
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
    series = [("kojelly_list (E2), %s" % name, BUILD_COLOURS[i % len(BUILD_COLOURS)], f["e2"])
              for i, (name, f) in enumerate(builds)]
    series.append(("yyjson read of the same pages (sum of P)", "#2471a3", first["psum"]))
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


def build_title(name):
    flags = BUILD_FLAGS.get(name)
    return "%s (%s)" % (name, flags) if flags else name


def targets_table(f):
    md = ["| target | measured | goal | |", "|---|---|---|---|"]
    md.append("| E1/P, 500-item page | %s (apart: %s) | ≤ %.2f | %s |" % (
        num(f["e1_p"]), num(f["e1_p_apart"]), TARGET_E1, verdict(f["e1_p"], TARGET_E1)))
    md.append("| E2/ΣP, 100000 items | %s (apart: %s) | ≤ %.2f | %s |" % (
        num(f["e2_p_100k"]), num(f["e2_p_apart"]), TARGET_E2, verdict(f["e2_p_100k"], TARGET_E2)))
    md.append("| page faults of the 100000-item listing | %s | ≤ %.1f × %s answer pages = %s | "
              "%s |" % (f["faults"] if f["faults"] is not None else "n/a", TARGET_FAULTS,
                        f["answer_pages"] if f["answer_pages"] is not None else "n/a",
                        "%.0f" % f["faults_limit"] if f["faults_limit"] is not None else "n/a",
                        verdict(f["faults_per_page"], TARGET_FAULTS)))
    md.append("| peak RSS of the 100000-item listing | %s | ≤ 3 × %s + 8 × %s = %s | %s |" % (
        fmt_bytes(f["rss_delta"]), fmt_bytes(f["listing_bytes"]), fmt_bytes(f["largest_page"]),
        fmt_bytes(f["rss_limit"]), "met" if f["rss_ok"] else "missed"))
    md.append("| S, 2 threads over 1 (worse of the two modes) | %s | ≥ %.1f | %s |" % (
        "%.2f" % f["s_scaling"] if f["s_scaling"] else "n/a", TARGET_SCALING,
        verdict(f["s_scaling"], TARGET_SCALING, True)))
    md.append("| Python transform / E1 | %s | ≥ %.0f | %s |" % (
        "%.1f" % f["py_x"] if f["py_x"] else "n/a", TARGET_PYTHON,
        verdict(f["py_x"], TARGET_PYTHON, True)))
    return md


def markdown(builds, py, chart_rel, findings, load_after):
    """builds: (name, Runs, figures) for every build, in the order they were run."""
    first_runs = builds[0][1]
    c = first_runs.context
    names = [name for name, _, _ in builds]
    date = c.get("date") or datetime.datetime.now().isoformat(timespec="seconds")
    load_before = " ".join("%.2f" % v for v in c.get("load_avg", []))
    md = []
    md.append("# Performance\n")
    md.append("How close the listing pipeline comes to yyjson's own read of the server's pages, "
              "in each build of the library. Produced by `make bench` (scripts/bench.sh); every "
              "figure below comes from one run of the benchmark program per build, made one "
              "after the other, and is the median of its repetitions.\n")
    md.append("## Run\n")
    md.append("| | |\n|---|---|")
    md.append("| date | %s |" % date)
    md.append("| machine | %s, %s CPUs |" % (cpu_model(), c.get("num_cpus", "?")))
    md.append("| load average before / after | %s / %s |" % (load_before or "n/a",
                                                           load_after or "n/a"))
    md.append("| builds | %s; shared plug-in, yyjson %s from the system |" % (
        ", ".join(build_title(n) for n in names), c.get("yyjson_version", "0.10")))
    md.append("| harness | Google Benchmark from Debian (it calls itself a debug build; its own "
              "overhead is negligible at these case sizes) |")
    md.append("| page | %s items, %s; a folder of 100000 items is %s in 200 pages |" % (
        first_runs.ctx("page_items"), fmt_bytes(first_runs.ctx("page_bytes")),
        fmt_bytes(first_runs.ctx("folder_bytes"))))
    md.append("| repetitions | %s |" % (c.get("repetitions") or
                                      next((b.get("repetitions")
                                            for b in first_runs.by_name.values()
                                            if b.get("repetitions")), "1")))
    md.append("")
    md.append("The pages come from bench/page_gen.cpp: every member a current server sends for "
              "the listing fields (names that are not ASCII or need escaping, ProviderIds, "
              "UserData, ImageTags and blur hashes, MediaSources with their MediaStreams), 5% "
              "folders, 8% of the films without a year. E2 and S are served by the fake io "
              "(in-process, answers delivered from its route table), so they include the "
              "library's whole request path. P and ΣP call yyjson alone, the same library in "
              "every build.\n")

    md.append("## Targets\n")
    for name, _, f in builds:
        md.append("### %s\n" % build_title(name))
        md.extend(targets_table(f))
        md.append("")
    md.append("The two ratios are paired: each iteration of E1_over_P and E2_over_P_sum times the "
              "baseline and the case back to back on the same pages, and the ratio is the median "
              "of the iterations' ratios (the median over the repetitions of that). \"Apart\" is "
              "the ratio of the medians of the separate cases below, which another process's "
              "load can move one way or the other. The page faults are the minor faults "
              "(getrusage) of one listing of the 100000-item folder, the median of five made "
              "after the memory measurement below; the answer's pages are its bytes in 4 KiB "
              "pages.\n")

    md.append("## Cases\n")
    header = "| case | what |" + "".join(" %s: CPU | %s: wall |" % (n, n) for n in names)
    md.append(header)
    md.append("|---|---|" + "---|---|" * len(names))
    rows = [("P", "P", "yyjson_read_opts + yyjson_doc_free of a 500-item page"),
            ("E1", "E1", "kojelly_parse_items of the same page, answer in the result slot")]
    for n in FOLDER_SIZES:
        rows.append(("P_sum/%d" % n, "ΣP %d" % n, "P over the %d pages of a %d-item folder" % (
            n // 500, n)))
        rows.append(("E2/%d" % n, "E2 %d" % n, "kojelly_list of that folder (API key)"))
    for mode, what in (("api_key", "API key"), ("cached_login", "cached login")):
        for t in (1, 2):
            rows.append(("S/%s/real_time/threads:%d" % (mode, t), "S %s ×%d" % (what, t),
                         "kojelly_stream_url, %d thread%s" % (t, "s" if t > 1 else "")))
    rows.append(("C", "C", "kojelly_full_url"))
    for case, label, what in rows:
        if not any(runs.get(case) for _, runs, _ in builds):
            continue
        cells = "".join(" %s | %s |" % (fmt_time(runs.seconds(case)) if runs.get(case) else "n/a",
                                        fmt_time(runs.seconds(case, "real_time"))
                                        if runs.get(case) else "n/a")
                        for _, runs, _ in builds)
        md.append("| %s | %s |%s" % (label, what, cells))
    md.append("")

    md.append("## Listing time against folder size\n")
    md.append("![Listing time against folder size](%s)\n" % chart_rel)
    md.append("| items |" + "".join(" %s: ΣP | E2 | E2/ΣP | page faults |" % n for n in names))
    md.append("|---|" + "---|---|---|---|" * len(names))
    for n in FOLDER_SIZES:
        cells = ""
        for _, _, f in builds:
            r = f["e2_psum"][n]
            faults = f["e2_faults"][n]
            cells += " %s | %s | %s | %s |" % (fmt_time(f["psum"][n]), fmt_time(f["e2"][n]),
                                               "%.2f" % r if r else "n/a",
                                               "%.0f" % faults if faults is not None else "n/a")
        md.append("| %d |%s" % (n, cells))
    md.append("")
    md.append("The page faults are the E2 case's own: minor faults over its iterations, per "
              "listing.\n")

    md.append("## Memory of the 100000-item listing\n")
    md.append("The peak: one listing made before the timed cases, after the freed heap was handed "
              "back (malloc_trim) and the peak counter reset (/proc/self/clear_refs), the peak "
              "resident size (VmHWM) minus the resident size just before. The fake io's copies "
              "of the pages were made before and are not counted. That same listing's minor "
              "page faults are the cold ones below; the others are the median of the five "
              "listings made after it, as a host that lists folders one after another sees "
              "them.\n")
    md.append("| |" + "".join(" %s |" % n for n in names))
    md.append("|---|" + "---|" * len(names))

    def row(label, fn):
        md.append("| %s |%s" % (label, "".join(" %s |" % fn(f) for _, _, f in builds)))

    row("peak above the start", lambda f: fmt_bytes(f["rss_delta"]))
    row("listing JSON", lambda f: fmt_bytes(f["listing_bytes"]))
    row("largest page", lambda f: fmt_bytes(f["largest_page"]))
    row("limit (3 × JSON + 8 × page)", lambda f: fmt_bytes(f["rss_limit"]))
    row("page faults per listing", lambda f: "%s (×%s the answer's pages)" % (
        f["faults"] if f["faults"] is not None else "n/a", num(f["faults_per_page"])))
    row("page faults of the cold listing", lambda f: "%s (×%s)" % (
        f["faults_cold"] if f["faults_cold"] is not None else "n/a",
        num(f["faults_cold_per_page"])))
    row("the answer's 4 KiB pages", lambda f: f["answer_pages"]
        if f["answer_pages"] is not None else "n/a")
    md.append("")

    md.append("## Stream URL on two threads\n")
    md.append("| mode |" + "".join(" %s: 1 thread | 2 threads | scaling |" % n for n in names))
    md.append("|---|" + "---|---|---|" * len(names))
    for mode in ("api_key", "cached_login"):
        cells = ""
        for _, _, f in builds:
            one, two, s = f["s"][mode]
            cells += " %s | %s | %s |" % (fmt_rate(one, "calls"), fmt_rate(two, "calls"),
                                          "%.2f" % s if s else "n/a")
        md.append("| %s |%s" % (mode.replace("_", " "), cells))
    md.append("")

    md.append("## Against a Python transform\n")
    if py:
        checked = ("its listing was checked equal, value for value, to the library's"
                   if py.get("check") == "equal" else "its listing was not compared")
        md.append("bench/python_transform.py does the same page-to-listing transform with the "
                  "standard json module (Python %s), on the page that P and E1 read, in the same "
                  "run; %s.\n" % (py.get("python"), checked))
        f0 = builds[0][2]
        md.append("| | median per page |\n|---|---|")
        md.append("| Python: json.loads + transform + json.dumps | %s |" % fmt_time(f0["py"]))
        md.append("| Python: json.loads alone | %s |" % fmt_time(f0["py_loads"]))
        for name, _, f in builds:
            md.append("| E1: kojelly_parse_items, %s | %s (×%s faster) |" % (
                name, fmt_time(f["e1"]), "%.1f" % f["py_x"] if f["py_x"] else "n/a"))
        md.append("")
    if findings:
        md.append(findings.rstrip() + "\n")
    return "\n".join(md)


def load_builds(doc):
    """(name, Runs) for every build in a benchmark file: the combined runs in their order, or a
    single run under the name "build"."""
    if "builds" in doc:
        return [(b["name"], Runs(b["run"])) for b in doc["builds"]]
    return [("build", Runs(doc))]


def combine(out, specs):
    builds = []
    for spec in specs:
        name, sep, path = spec.partition("=")
        if not sep or not name or not path:
            print("report.py: --combine takes NAME=RUN_JSON, not %r" % spec, file=sys.stderr)
            return 2
        with open(path) as fh:
            builds.append({"name": name, "run": json.load(fh)})
    with open(out, "w") as fh:
        json.dump({"builds": builds}, fh)
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--combine", nargs="+", metavar=("BENCH_JSON", "NAME=RUN_JSON"))
    ap.add_argument("--bench")
    ap.add_argument("--python")
    ap.add_argument("--md")
    ap.add_argument("--chart")
    ap.add_argument("--findings")
    ap.add_argument("--load-after", default="")
    args = ap.parse_args()
    if args.combine:
        if len(args.combine) < 2:
            ap.error("--combine needs the output and at least one NAME=RUN_JSON")
        return combine(args.combine[0], args.combine[1:])
    if not args.bench:
        ap.error("--bench is required")

    with open(args.bench) as fh:
        loaded = load_builds(json.load(fh))
    py = None
    if args.python and os.path.exists(args.python):
        with open(args.python) as fh:
            py = json.load(fh)
    builds = [(name, runs, figures(runs, py)) for name, runs in loaded]
    for name, _, f in builds:
        print("%s:" % build_title(name))
        for line in summary_lines(f):
            print("  " + line)

    failed = False
    for name, runs, _ in builds:
        for e in runs.errors:
            print("error: %s: %s" % (name, e), file=sys.stderr)
            failed = True
    if py and py.get("check") not in ("equal", "skipped"):
        failed = True

    if args.md:
        chart_rel = None
        if args.chart and svg_chart([(name, f) for name, _, f in builds], args.chart):
            chart_rel = os.path.relpath(args.chart, os.path.dirname(os.path.abspath(args.md)))
        findings = None
        if args.findings and os.path.exists(args.findings):
            with open(args.findings) as fh:
                findings = fh.read()
        with open(args.md, "w") as fh:
            fh.write(markdown(builds, py, chart_rel or "listing_time.svg", findings,
                              args.load_after))
        print("wrote %s" % args.md)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

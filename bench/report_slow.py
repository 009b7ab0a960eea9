#!/usr/bin/env python3
"""Reads the slow-server benchmark's JSON output (kojelly_bench_slow), prints the speed-up of
each ParallelPages over one page at a time, and puts its section, with a chart of wall time
against ParallelPages, at the end of the performance page that report.py wrote (replacing the
section an earlier run left there).

Usage: report_slow.py --bench SLOW_JSON [--md PAGE --chart SVG] [--load "before / after"]

Exit status 1 when a case reported an error, a listing whose answer differed from the one with
ParallelPages 1 among them; missed targets are reported, not failed (they depend on the machine).
"""
import argparse
import json
import math
import os
import re
import sys

UNIT_SECONDS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
NAME = re.compile(r"^L/latency_ms:(\d+)/parallel:(\d+)")
HEADING = "## Listing over a slow network: ParallelPages"
# The speed-up of ParallelPages 4 over 1 that each latency should reach.
TARGETS = {20: 3.3, 200: 3.6}
TARGET_PARALLEL = 4
COLOURS = ["#c0392b", "#2471a3", "#1e8449", "#7d3c98"]


def median(values):
    v = sorted(values)
    if not v:
        return None
    mid = len(v) // 2
    return v[mid] if len(v) % 2 else (v[mid - 1] + v[mid]) / 2


class Runs:
    """The wall time of every repetition of every case, by latency and ParallelPages."""

    def __init__(self, doc):
        self.context = doc.get("context", {})
        self.errors = []
        self.times = {}
        for b in doc.get("benchmarks", []):
            m = NAME.match(b.get("run_name", b["name"]))
            if not m:
                continue
            if b.get("error_occurred"):
                self.errors.append("%s: %s" % (b["name"], b.get("error_message")))
                continue
            if b.get("run_type") == "aggregate":
                continue
            key = (int(m.group(1)), int(m.group(2)))
            seconds = b["real_time"] * UNIT_SECONDS[b["time_unit"]]
            self.times.setdefault(key, []).append(seconds)

    def latencies(self):
        return sorted({t for t, _ in self.times})

    def parallels(self):
        return sorted({n for _, n in self.times})

    def wall(self, latency, parallel):
        return median(self.times.get((latency, parallel), []))

    def speedup(self, latency, parallel):
        one, this = self.wall(latency, 1), self.wall(latency, parallel)
        return one / this if one and this else None

    def ctx(self, key):
        v = self.context.get(key)
        return int(v) if v is not None else None


def fmt_time(s):
    if s is None:
        return "n/a"
    return "%.2f s" % s if s >= 1 else "%.0f ms" % (s * 1e3)


def fmt_x(v):
    return "×%.2f" % v if v is not None else "n/a"


def verdict(value, target):
    if value is None:
        return "n/a"
    return "met" if value >= target else "missed"


def summary_lines(runs):
    lines = []
    for t in runs.latencies():
        cells = ["N=%d %s (%s)" % (n, fmt_time(runs.wall(t, n)), fmt_x(runs.speedup(t, n)))
                 for n in runs.parallels() if runs.wall(t, n) is not None]
        line = "slow %4d ms  %s" % (t, ", ".join(cells))
        if t in TARGETS:
            s = runs.speedup(t, TARGET_PARALLEL)
            line += "; target N=%d >= x%.1f: %s" % (
                TARGET_PARALLEL, TARGETS[t], verdict(s, TARGETS[t]))
        lines.append(line)
    return lines


def svg_chart(runs, path):
    """Wall time against ParallelPages, one line a latency, both axes in log scale; the dashed
    lines are one page at a time divided by N, what perfect overlap of the round trips gives."""
    w, h = 720, 440
    left, right, top, bottom = 80, 30, 50, 70
    ns = runs.parallels()
    lats = runs.latencies()
    ys = [runs.wall(t, n) for t in lats for n in ns if runs.wall(t, n)]
    if len(ns) < 2 or not ys:
        return False
    ideal = {t: runs.wall(t, 1) for t in lats}
    ys += [ideal[t] / n for t in lats for n in ns if ideal[t]]
    x0, x1 = math.log2(min(ns)), math.log2(max(ns))
    y0 = math.floor(math.log10(min(ys)))
    y1 = math.ceil(math.log10(max(ys)))
    if y1 == y0:
        y1 += 1

    def px(n):
        return left + (math.log2(n) - x0) / (x1 - x0) * (w - left - right)

    def py(s):
        return top + (y1 - math.log10(s)) / (y1 - y0) * (h - top - bottom)

    items = "{:,}".format(runs.ctx("slow_folder_items") or 0)
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
           'viewBox="0 0 %d %d" font-family="sans-serif" font-size="12">' % (w, h, w, h),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="24" font-size="15" font-weight="bold">Listing time of %s items '
           'against ParallelPages</text>' % (left, items)]
    for e in range(y0, y1 + 1):
        y = top + (y1 - e) / (y1 - y0) * (h - top - bottom)
        out.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#ddd"/>' % (
            left, y, w - right, y))
        label = "%g s" % (10.0 ** e) if e >= 0 else "%g ms" % (10.0 ** (e + 3))
        out.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>' % (left - 6, y + 4, label))
    for n in ns:
        x = px(n)
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#eee"/>' % (
            x, top, x, h - bottom))
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%d</text>' % (
            x, h - bottom + 18, n))
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (
        left, h - bottom, w - right, h - bottom))
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (
        left, top, left, h - bottom))
    out.append('<text x="%d" y="%d" text-anchor="middle">ParallelPages (pages in flight at '
               'once, log scale)</text>' % ((left + w - right) // 2, h - 22))
    out.append('<text transform="translate(18 %d) rotate(-90)" text-anchor="middle">median '
               'wall time per listing (log scale)</text>' % ((top + h - bottom) // 2))
    legend = 0
    for i, t in enumerate(lats):
        colour = COLOURS[i % len(COLOURS)]
        xs = [n for n in ns if runs.wall(t, n)]
        pts = " ".join("%.1f,%.1f" % (px(n), py(runs.wall(t, n))) for n in xs)
        out.append('<polyline fill="none" stroke="%s" stroke-width="2" points="%s"/>' % (
            colour, pts))
        for n in xs:
            out.append('<circle cx="%.1f" cy="%.1f" r="3.5" fill="%s"/>' % (
                px(n), py(runs.wall(t, n)), colour))
        if ideal[t]:
            pts = " ".join("%.1f,%.1f" % (px(n), py(ideal[t] / n)) for n in ns)
            out.append('<polyline fill="none" stroke="%s" stroke-width="1" '
                       'stroke-dasharray="5,4" points="%s"/>' % (colour, pts))
        for label, dash in (("%d ms a request" % t, ""),
                            ("%d ms: one at a time ÷ N" % t, ' stroke-dasharray="5,4"')):
            ly = top + 10 + legend * 18
            legend += 1
            out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="%s" stroke-width="2"%s/>' % (
                w - right - 230, ly, w - right - 204, ly, colour, dash))
            out.append('<text x="%d" y="%d">%s</text>' % (w - right - 198, ly + 4, label))
    out.append("</svg>")
    with open(path, "w") as fh:
        fh.write("\n".join(out) + "\n")
    return True


def section(runs, chart_rel, load):
    items = runs.ctx("slow_folder_items")
    pages = runs.ctx("slow_pages")
    md = [HEADING + "\n"]
    md.append("kojelly_list of a folder of %s items (%s pages of 500, %.1f MB of server answers; "
              "the listing is %.1f MB) through an http-backed io whose every request first "
              "sleeps for the latency, as one to a distant server waits for its round trip, and "
              "is then answered by the support library's scripted fake server. ParallelPages N "
              "lets the plug-in keep up to N page requests in flight on threads of its own. "
              "Produced by bench/bench_slow.cpp (`kojelly_bench_slow`), which `make bench` runs "
              "after the program above, in a run of its own on %s; one listing an iteration, "
              "wall time, the median of the repetitions.\n" % (
                  "{:,}".format(items or 0), pages, (runs.ctx("slow_folder_bytes") or 0) / 1e6,
                  (runs.ctx("slow_listing_bytes") or 0) / 1e6,
                  runs.context.get("date", "an unknown date")))
    md.append("Every listing's answer was compared byte for byte with the one made with "
              "ParallelPages 1; a difference fails the case and this report.%s\n" % (
                  " Load average before / after: %s." % load if load else ""))
    md.append("| latency | ParallelPages | median wall time | speed-up over 1 | repetitions |\n"
              "|---|---|---|---|---|")
    for t in runs.latencies():
        for n in runs.parallels():
            if runs.wall(t, n) is None:
                continue
            md.append("| %d ms | %d | %s | %s | %d |" % (
                t, n, fmt_time(runs.wall(t, n)), fmt_x(runs.speedup(t, n)),
                len(runs.times[(t, n)])))
    md.append("")
    md.append("| target | measured | goal | |\n|---|---|---|---|")
    for t, goal in sorted(TARGETS.items()):
        s = runs.speedup(t, TARGET_PARALLEL)
        md.append("| ParallelPages %d over 1, %d ms a request | %s | ≥ ×%.1f | %s |" % (
            TARGET_PARALLEL, t, fmt_x(s), goal, verdict(s, goal)))
    md.append("")
    if chart_rel:
        md.append("![Listing time against ParallelPages](%s)\n" % chart_rel)
    return "\n".join(md)


def replace_section(text, new):
    """The page without an earlier run's section (it runs from its heading to the next
    heading of the same level, or to the end), with the new one at the end."""
    start = text.find(HEADING)
    if start >= 0:
        end = text.find("\n## ", start + len(HEADING))
        text = text[:start] + (text[end + 1:] if end >= 0 else "")
    return text.rstrip("\n") + "\n\n" + new


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bench", required=True)
    ap.add_argument("--md")
    ap.add_argument("--chart")
    ap.add_argument("--load", default="")
    args = ap.parse_args()

    with open(args.bench) as fh:
        runs = Runs(json.load(fh))
    for line in summary_lines(runs):
        print(line)
    for e in runs.errors:
        print("error: %s" % e, file=sys.stderr)

    if args.md:
        chart_rel = None
        if args.chart and svg_chart(runs, args.chart):
            chart_rel = os.path.relpath(args.chart, os.path.dirname(os.path.abspath(args.md)))
        text = ""
        if os.path.exists(args.md):
            with open(args.md) as fh:
                text = fh.read()
        with open(args.md, "w") as fh:
            fh.write(replace_section(text, section(runs, chart_rel, args.load)))
        print("wrote %s" % args.md)
    return 1 if runs.errors else 0


if __name__ == "__main__":
    sys.exit(main())

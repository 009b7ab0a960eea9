#!/usr/bin/env python3
"""What a host developer might write instead of calling kojelly_parse_items: the same /Items
page to listing transform with the standard json module, timed on the page the benchmark
program wrote (--emit_dir).

Usage: python_transform.py PAGE_JSON [--reps N] [--check LISTING_JSON] [--out RESULT_JSON]

The transform follows the library's rules (ids, de-duplication, display names, sizes, years,
provider ids, the sixteen entry members), so that --check can compare its answer with the
library's listing of the same page, value for value.
"""
import argparse
import json
import statistics
import sys
import time

DIVISION_SLASH = "\u2215"
MAX_NAME_BYTES = 1024
MAX_ITEMS = 100000
HEX = set("0123456789abcdefABCDEF")


def id_ok(text):
    n = len(text)
    if 1 <= n <= 20:
        return text.isascii() and text.isdigit()
    if n == 32:
        return all(c in HEX for c in text)
    if n == 36:
        return all((c == "-") if i in (8, 13, 18, 23) else (c in HEX) for i, c in enumerate(text))
    return False


def id_of(value):
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str) and value:
        return value
    return None


def str_of(value):
    return value if isinstance(value, str) and value else None


def num_of(value, default):
    if isinstance(value, bool):
        return default
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        return int(value)
    return default


def clean_name(title, fallback):
    if title:
        try:
            size = len(title.encode("utf-8"))
        except UnicodeEncodeError:  # a lone surrogate is not UTF-8
            size = 0
        if 0 < size <= MAX_NAME_BYTES and title not in (".", ".."):
            out = []
            for c in title:
                if c == "/":
                    out.append(DIVISION_SLASH)
                elif c < " " or c == "\x7f":
                    out.append("_")
                else:
                    out.append(c)
            return "".join(out)
    return fallback or "item"


def provider(item, name):
    ids = item.get("ProviderIds")
    if not isinstance(ids, dict):
        return None
    for key, value in ids.items():
        if key.isascii() and key.lower() == name and isinstance(value, str) and value:
            return value
    return None


def is_folder(value):
    if isinstance(value, bool):
        return value
    return isinstance(value, str) and value.isascii() and value.lower() == "true"


def entry(item, item_id):
    folder = is_folder(item.get("IsFolder"))
    title = str_of(item.get("Name"))
    size = -1 if folder else num_of(item.get("Size"), -1)
    if size < 0:
        sources = item.get("MediaSources")
        if isinstance(sources, list) and sources and isinstance(sources[0], dict):
            size = num_of(sources[0].get("Size"), -1)
    size = max(size, -1)
    year = num_of(item.get("ProductionYear"), 0)
    year = year if 1800 <= year <= 9999 else 0
    return {
        "name": clean_name(title, item_id),
        "path": item_id,
        "folder": folder,
        "kind": "dir" if folder else "file",
        "size": size,
        "mtime_ms": -1,
        "id": item_id,
        "parent_id": id_of(item.get("ParentId")),
        "title": title,
        "year": year or None,
        "type": str_of(item.get("Type")),
        "media_type": str_of(item.get("MediaType")),
        "container": str_of(item.get("Container")),
        "imdb": provider(item, "imdb"),
        "tmdb": provider(item, "tmdb"),
        "available": bool(title and year),
    }


def transform(body):
    page = json.loads(body)
    if not isinstance(page, dict):
        raise ValueError("/Items answered something that is not a JSON object")
    items = page.get("Items")
    if not isinstance(items, list):
        raise ValueError("/Items answer has no Items array")
    seen = set()
    out = []
    for item in items:
        if not isinstance(item, dict):
            continue
        item_id = id_of(item.get("Id"))
        if item_id is None or not id_ok(item_id) or item_id in seen:
            continue
        if len(out) >= MAX_ITEMS:
            raise ValueError("folder has more than %u items" % MAX_ITEMS)
        seen.add(item_id)
        out.append(entry(item, item_id))
    return json.dumps({"items": out}, ensure_ascii=False, separators=(",", ":"))


def timed(fn, reps):
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return times


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("page")
    ap.add_argument("--reps", type=int, default=30)
    ap.add_argument("--check", help="the library's listing of the same page")
    ap.add_argument("--out", help="write the timings here as JSON")
    args = ap.parse_args()

    with open(args.page, "rb") as f:
        body = f.read()
    listing = transform(body)
    check = "skipped"
    if args.check:
        with open(args.check, "rb") as f:
            theirs = json.loads(f.read())
        if json.loads(listing) != theirs:
            print("python_transform: the listings differ", file=sys.stderr)
            return 1
        check = "equal"

    total = timed(lambda: transform(body), args.reps)
    loads = timed(lambda: json.loads(body), args.reps)
    result = {
        "reps": args.reps,
        "page_bytes": len(body),
        "items": len(json.loads(listing)["items"]),
        "median_s": statistics.median(total),
        "loads_median_s": statistics.median(loads),
        "check": check,
        "python": sys.version.split()[0],
    }
    if args.out:
        with open(args.out, "w") as f:
            json.dump(result, f, indent=1)
    print("python transform: %.2f ms per page (json.loads alone %.2f ms), listing %s"
          % (result["median_s"] * 1e3, result["loads_median_s"] * 1e3, check))
    return 0


if __name__ == "__main__":
    sys.exit(main())

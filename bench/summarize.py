#!/usr/bin/env python3
"""summarize.py - turns the JSON output of nox_bench and nox_bench_paths into Markdown
tables: per case noxunicode's median, the best peer's median, their ratio and the target.

Run the benchmarks with
  --benchmark_format=json --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
(or --benchmark_out=FILE --benchmark_out_format=json) and pass the files:

  bench/summarize.py nox_bench.json [nox_bench_paths.json] [--output summary.md]

Case names are GROUP/CASE/IMPL. Rates are medians over the repetitions of bytes (or calls)
per CPU second; a ratio is noxunicode's median divided by the best peer's median from the
same run, so higher is better for noxunicode. A shortfall within two standard errors of the
ratio (estimated from the repetitions' coefficients of variation) is called borderline
rather than missed. The exit status is 0 when no target with data is missed, 1 otherwise.
"""

import argparse
import json
import sys

PEERS = ("icu", "iconv")
CODE_PAGE_ORDER = ("LATIN_1", "CP1252", "CP1251", "SJIS", "GBK", "BIG5", "EUC-KR")
reps = {}

# Targets: minimum ratio of noxunicode's rate to the best peer's rate.
SINGLE_BYTE = ("CP1252", "CP1251")
DOUBLE_BYTE = ("SJIS", "GBK", "BIG5", "EUC-KR")


def code_page_target(direction, name):
    if name == "LATIN_1":
        return 1.0
    if name in SINGLE_BYTE:
        return 1.5 if direction == "toU" else 2.0
    if name in DOUBLE_BYTE:
        return 1.3
    return None


UTF_TARGETS = {("utf8to16", "mixed"): 2.0, ("utf16to8", "mixed"): 2.0,
               ("utf8to16", "ascii"): 4.0, ("utf16to8", "ascii"): 4.0}
SIZING_TARGET = 1.0        # sizing call against converting, same input
SHORT_TARGET = 0.5         # within 2x of the best peer per call

DIRECTION_TITLE = {"toU": "to UTF-16", "fromU": "from UTF-16"}


def load(paths):
    """Median rate and coefficient of variation per run name, and the context notes."""
    rates, cvs, context = {}, {}, {}
    for path in paths:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        for key, value in data.get("context", {}).items():
            if isinstance(value, str) and key.split(" ")[0] in (
                    "check", "differs", "missing", "text", "peer", "error"):
                context[key] = value
        context.setdefault("_date", data.get("context", {}).get("date", ""))
        for b in data.get("benchmarks", []):
            if b.get("error_occurred"):
                continue
            name = b.get("run_name", b["name"])
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "cv":
                cvs[name] = b.get("cpu_time", 0.0)
                reps[name] = b.get("repetitions", 1)
                continue
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            rate = b.get("bytes_per_second") or b.get("items_per_second")
            if rate:
                # Without aggregates (one repetition) the single run stands for the median.
                rates[name] = rate
    return rates, cvs, context


def mbps(rate):
    return f"{rate / 1e6:,.0f}"


def ns_per_call(rate):
    return f"{1e9 / rate:,.0f}"


def noise(cvs, *names):
    """Relative standard error of a ratio of two medians, from the runs' variation: the
    median of n runs varies about 1.25 sigma / sqrt(n)."""
    total = sum(cvs.get(n, 0.0) ** 2 for n in names) ** 0.5
    n = max([reps.get(name, 1) for name in names] + [1])
    return 1.25 * total / n ** 0.5


def verdict(ratio, target, err=0.0):
    """met; borderline when the shortfall lies within two standard errors; else MISSED."""
    if ratio is None or target is None:
        return "-"
    if ratio >= target:
        return "met"
    if ratio >= target * (1 - 2 * err):
        return "borderline"
    return "**MISSED**"


def best_peer(rates, prefix):
    found = [(rates[prefix + p], p) for p in PEERS if prefix + p in rates]
    return max(found) if found else (None, None)


def fmt_ratio(ratio):
    return "-" if ratio is None else f"{ratio:.2f}x"


def summarize(rates, cvs, context):
    lines, misses, borderline = [], [], []

    def row(cells):
        lines.append("| " + " | ".join(cells) + " |")

    def record(case, ratio, target, err):
        status = verdict(ratio, target, err)
        text = f"{case}: {ratio:.2f}x, target >= {target:.2f}x" if status != "-" else ""
        if status == "borderline":
            borderline.append(f"{text} (standard error {100 * err:.0f}%)")
        elif status != "met" and status != "-":
            misses.append(text)
        return status

    code_pages = [cp for cp in CODE_PAGE_ORDER if f"toU/{cp}/nox" in rates or
                  f"fromU/{cp}/nox" in rates]
    for name in sorted(rates):
        group, case, _ = name.split("/")
        if group in ("toU", "fromU") and case not in code_pages:
            code_pages.append(case)

    lines.append("### Code pages (MB/s of input: code-page bytes to UTF-16, UTF-16 bytes "
                 "from UTF-16)")
    lines.append("")
    row(["Case", "noxunicode", "range form", "best peer", "ratio", "range ratio", "target",
         "status"])
    row(["---", "---:", "---:", "---", "---:", "---:", "---:", "---"])
    for direction in ("toU", "fromU"):
        for cp in code_pages:
            prefix = f"{direction}/{cp}/"
            nox = rates.get(prefix + "nox")
            rng = rates.get(prefix + "nox_range")
            peer, peer_name = best_peer(rates, prefix)
            if nox is None:
                continue
            ratio = nox / peer if peer else None
            rratio = rng / peer if peer and rng else None
            target = code_page_target(direction, cp)
            case = f"{cp} {DIRECTION_TITLE[direction]}"
            status = record(case, ratio, target,
                            noise(cvs, prefix + "nox", prefix + (peer_name or "")))
            rstatus = record(case + " (range form)", rratio, target,
                             noise(cvs, prefix + "nox_range", prefix + (peer_name or "")))
            if rstatus not in ("met", "-") and status == "met":
                status = f"met (range form {rstatus})"
            row([case, mbps(nox), mbps(rng) if rng else "-",
                 f"{mbps(peer)} ({peer_name})" if peer else "-", fmt_ratio(ratio),
                 fmt_ratio(rratio), f">= {target:.1f}x" if target else "-", status])

    lines.append("")
    lines.append("### Sizing calls (null output) against converting, MB/s of input")
    lines.append("")
    row(["Case", "converting", "sizing", "ratio", "target", "status"])
    row(["---", "---:", "---:", "---:", "---:", "---"])
    for direction in ("toU", "fromU"):
        for cp in code_pages:
            prefix = f"{direction}/{cp}/"
            nox, size = rates.get(prefix + "nox"), rates.get(prefix + "nox_size")
            if nox is None or size is None:
                continue
            ratio = size / nox
            case = f"{cp} {DIRECTION_TITLE[direction]} sizing"
            status = record(case, ratio, SIZING_TARGET,
                            noise(cvs, prefix + "nox", prefix + "nox_size"))
            row([case, mbps(nox), mbps(size), fmt_ratio(ratio), f">= {SIZING_TARGET:.1f}x",
                 status])

    lines.append("")
    lines.append("### UTF routines (MB/s of input)")
    lines.append("")
    row(["Case", "noxunicode", "ICU", "iconv", "ratio to ICU", "ratio to best peer",
         "target (to ICU)", "status"])
    row(["---", "---:", "---:", "---:", "---:", "---:", "---:", "---"])
    for group in ("utf8to16", "utf16to8", "utf8to32", "utf32to8"):
        for text in ("mixed", "ascii"):
            prefix = f"{group}/{text}/"
            nox = rates.get(prefix + "nox")
            if nox is None:
                continue
            icu, iconv = rates.get(prefix + "icu"), rates.get(prefix + "iconv")
            peer, _ = best_peer(rates, prefix)
            ratio_icu = nox / icu if icu else None
            target = UTF_TARGETS.get((group, text))
            case = f"{group} {text}"
            status = record(case, ratio_icu, target, noise(cvs, prefix + "nox", prefix + "icu"))
            row([case, mbps(nox), mbps(icu) if icu else "-", mbps(iconv) if iconv else "-",
                 fmt_ratio(ratio_icu), fmt_ratio(nox / peer if peer else None),
                 f">= {target:.1f}x" if target else "-", status])

    lines.append("")
    lines.append("### Short strings, 16 to 64 bytes (ns per call; ratio is noxunicode's "
                 "calls per second over the best peer's)")
    lines.append("")
    row(["Case", "noxunicode", "best peer", "ratio", "target", "status"])
    row(["---", "---:", "---", "---:", "---:", "---"])
    shorts = sorted({n.rsplit("/", 1)[0] for n in rates if n.startswith("short_")})
    for prefix in shorts:
        nox = rates.get(prefix + "/nox")
        peer, peer_name = best_peer(rates, prefix + "/")
        if nox is None:
            continue
        ratio = nox / peer if peer else None
        case = prefix.replace("short_", "").replace("/", " ")
        status = record("short " + case, ratio, SHORT_TARGET,
                        noise(cvs, prefix + "/nox", f"{prefix}/{peer_name}"))
        row([case, ns_per_call(nox),
             f"{ns_per_call(peer)} ({peer_name})" if peer else "-", fmt_ratio(ratio),
             f">= {SHORT_TARGET:.1f}x", status])

    bounds = [(f"toU/LATIN_1/", "widen"), (f"toU/LATIN_1/", "memcpy"),
              (f"fromU/LATIN_1/", "narrow"), (f"fromU/LATIN_1/", "memcpy")]
    if any(p + b in rates for p, b in bounds):
        lines.append("")
        lines.append("### Bounds on LATIN_1 (MB/s of input)")
        lines.append("")
        row(["Case", "noxunicode", "bound", "bound MB/s", "noxunicode share of bound"])
        row(["---", "---:", "---", "---:", "---:"])
        for prefix, bound in bounds:
            nox, b = rates.get(prefix + "nox"), rates.get(prefix + bound)
            if nox and b:
                direction = prefix.split("/")[0]
                row([f"LATIN_1 {DIRECTION_TITLE[direction]}", mbps(nox), bound, mbps(b),
                     f"{100 * nox / b:.0f}%"])

    paths = sorted({n.rsplit("/", 1)[0] for n in rates if n.startswith("paths_")})
    if paths:
        lines.append("")
        lines.append("### Lookup caches and fast paths against the plain per-character "
                     "paths (static library, MB/s of input)")
        lines.append("")
        lines.append("Without AVX-512: the fast paths with the AVX-512 ones switched off, as on "
                     "processors that lack it (code pages only).")
        lines.append("")
        row(["Case", "fast paths", "without AVX-512", "plain", "speed-up"])
        row(["---", "---:", "---:", "---:", "---:"])
        for prefix in paths:
            fast, plain = rates.get(prefix + "/fast"), rates.get(prefix + "/plain")
            sse2 = rates.get(prefix + "/sse2")
            if fast and plain:
                group, case = prefix.split("/")
                group = group.replace("paths_", "")
                title = DIRECTION_TITLE.get(group, group)
                row([f"{case} {title}", mbps(fast), mbps(sse2) if sse2 else "-", mbps(plain),
                     f"{fast / plain:.1f}x"])

    notes = {k: v for k, v in context.items() if not k.startswith("_")}
    if notes:
        lines.append("")
        lines.append("### Inputs and output checks")
        lines.append("")
        for key in sorted(notes):
            lines.append(f"- {key}: {notes[key]}")

    lines.append("")
    if misses:
        lines.append(f"Targets missed ({len(misses)}):")
        lines.extend(f"- {m}" for m in misses)
    else:
        lines.append("No target with data missed.")
    if borderline:
        lines.append("")
        lines.append(f"Borderline, short of the target by less than two standard errors "
                     f"({len(borderline)}):")
        lines.extend(f"- {b}" for b in borderline)
    return "\n".join(lines) + "\n", misses


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("json", nargs="+", help="Google Benchmark JSON output files")
    parser.add_argument("--output", help="write the Markdown here instead of stdout")
    args = parser.parse_args()
    rates, cvs, context = load(args.json)
    if not rates:
        print("no benchmark results found", file=sys.stderr)
        return 2
    text, misses = summarize(rates, cvs, context)
    if args.output:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 1 if misses else 0


if __name__ == "__main__":
    sys.exit(main())

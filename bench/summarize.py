#!/usr/bin/env python3
"""summarize.py - turns the output of nox_bench, nox_bench_levels and nox_bench_open into
Markdown tables: per row noxunicode's median, the peers' medians, their ratio, the target and
whether it is met.

  bench/summarize.py nox_bench.json [nox_bench_levels.json] [open.json]
                     [--output summary.md] [--save-medians medians.json]
                     [--baseline old-medians.json]

Benchmark case names are ROW/IMPL, where ROW is GROUP/CASE or GROUP/CASE/SIZE. Rates are
medians over interleaved repetitions of bytes (or calls) per CPU second; a ratio is
noxunicode's median divided by the peer's median from the same run, so higher is better for
noxunicode. A shortfall within two standard errors of the ratio (estimated from the
repetitions' coefficients of variation) is called borderline rather than missed. A target
whose peer or level was not measured is listed with the reason.

Several runs may be passed together (run1/nox_bench.json run2/nox_bench.json ...): each
figure is then the median of the runs' medians, which a shared machine needs before a small
difference means anything.

--save-medians writes every row's medians; --baseline compares this run with such a file: a
row whose noxunicode rate, measured against the same peer in each run, fell by more than 5% is
listed (the peer cancels most of the drift of a shared machine between runs).

The exit status is 0 when no target with data is missed, 1 otherwise.
"""

import argparse
import json
import math
import sys

PEERS = ("icu", "iconv")
CODE_PAGE_ORDER = ("LATIN_1", "CP1252", "CP1251", "SJIS", "GBK", "BIG5", "EUC-KR")
SCRIPTS = ("ascii", "latin", "cyrillic", "greek", "chinese", "japanese", "korean", "emoji",
           "mix")
UTF_SIZES = ("4K", "256K", "8M")
SHORT_SIZES = ("8B", "32B", "128B", "16-64B")
LEVELS = ("avx512", "avx2", "sse42", "sse2", "exact")
LEVEL_TITLE = {"avx512": "AVX-512", "avx2": "AVX2", "sse42": "SSE4.2", "sse2": "SSE2",
               "exact": "exact path"}
SIMDUTF_AT = {"avx512": "simdutf_icelake", "avx2": "simdutf_haswell",
              "sse42": "simdutf_westmere"}
DIRECTION_TITLE = {"toU": "to UTF-16", "fromU": "from UTF-16"}
NOX_IMPLS = ("nox", "nox_range", "nox_size") + LEVELS

# Earlier targets, kept: minimum ratio of noxunicode's rate to the best peer's rate.
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


OLD_UTF_TARGETS = {("utf8to16", "mixed"): 2.0, ("utf16to8", "mixed"): 2.0,
                   ("utf8to16", "english"): 4.0, ("utf16to8", "english"): 4.0}
SIZING_TARGET = 1.0

# Targets of the current work.
UTF_SIMDUTF_TARGET = 0.9       # per script at 256 KB and 8 MB, strict
UTF_MIX_TARGET = 1.0           # the multilingual mix
UTF_LEVEL_TARGET = 0.9         # at AVX2 against simdutf's AVX2 implementation
LATIN1_TARGET = 1.0            # against simdutf at 16 KB and 8 MB
SHORT_ICU_TARGET = 1.0         # 8, 32 and 128 bytes: no slower per call than ICU
SHORT_SIMDUTF_TARGET = 0.5     # 16 to 64 bytes: at most 2x simdutf's time
FIRST_OPEN_US = 1500.0
HELD_OPEN_US = 50.0
HELD_OPEN_KB = 16.0
PROCESS_TARGET = 1.5           # noxconv time over iconv time, at most
LEVEL_TARGETS = {"avx2": 1.5, "sse2": 1.0}   # code pages against the best of ICU and iconv
ASCII_NARROW_TARGET = 1.0      # UTF-16 to CP1252 on ASCII at AVX2 against the fastest narrowing
SLOWER_LIMIT = 0.95            # against the baseline


def median(values):
    values = sorted(values)
    n = len(values)
    return values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


def merge_records(records, key_fields, count_field):
    """Merges the records of several runs with the same key: numbers become the median of
    the runs' figures, counts add up, flags must hold in every run."""
    groups = {}
    for r in records:
        groups.setdefault(tuple(r.get(k) for k in key_fields), []).append(r)
    merged = []
    for group in groups.values():
        out = dict(group[0])
        for field, value in group[0].items():
            if field == count_field:
                out[field] = sum(r.get(field) or 0 for r in group)
            elif isinstance(value, bool):
                out[field] = all(r.get(field) for r in group)
            elif isinstance(value, (int, float)):
                numbers = [r[field] for r in group if isinstance(r.get(field), (int, float))]
                out[field] = median(numbers) if numbers else None
        merged.append(out)
    return merged


class Run:
    """Medians per case name, their coefficients of variation, and the notes. Several runs
    of the same cases merge: each case's figure is the median of the runs' medians."""

    def __init__(self):
        self.rates, self.cvs, self.reps, self.context = {}, {}, {}, {}
        self.opens, self.process, self.open_context = [], [], {}
        self.date = ""
        self.runs = 0
        self._rates, self._cvs = {}, {}

    def load(self, path):
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        if "rates" in data and "benchmarks" not in data:
            print(f"{path}: a medians file; pass it with --baseline", file=sys.stderr)
            return
        if "opens" in data or "process" in data:
            self.opens.extend(data.get("opens", []))
            self.process.extend(data.get("process", []))
            self.open_context = data.get("context", {})
            return
        self.runs += 1
        ctx = data.get("context", {})
        for key, value in ctx.items():
            if isinstance(value, str) and key.split(" ")[0] in (
                    "check", "differs", "missing", "text", "peer", "error", "levels"):
                self.context[key] = value
        self.date = self.date or ctx.get("date", "")
        for b in data.get("benchmarks", []):
            if b.get("error_occurred"):
                continue
            name = b.get("run_name", b["name"])
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "cv":
                self._cvs.setdefault(name, []).append(b.get("cpu_time", 0.0))
                self.reps[name] = self.reps.get(name, 0) + b.get("repetitions", 1)
                continue
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            rate = b.get("bytes_per_second") or b.get("items_per_second")
            if rate:
                # Without aggregates (one repetition) the single run stands for the median.
                self._rates.setdefault(name, []).append(rate)

    def finish(self):
        self.rates = {name: median(v) for name, v in self._rates.items()}
        self.cvs = {name: median(v) for name, v in self._cvs.items()}
        self.opens = merge_records(self.opens, ("page", "impl"), "samples")
        self.process = merge_records(self.process, ("case",), "runs")

    def get(self, row, impl):
        return self.rates.get(f"{row}/{impl}")

    def noise(self, *names):
        """Relative standard error of a ratio of two medians: the median of n runs varies
        about 1.25 sigma / sqrt(n)."""
        total = sum(self.cvs.get(n, 0.0) ** 2 for n in names) ** 0.5
        n = max([self.reps.get(name, 1) for name in names] + [1])
        return 1.25 * total / n ** 0.5

    def rows(self):
        return sorted({n.rsplit("/", 1)[0] for n in self.rates})


def mbps(rate):
    return "-" if rate is None else f"{rate / 1e6:,.0f}"


def ns_per_call(rate):
    return "-" if rate is None else f"{1e9 / rate:,.1f}"


def fmt_ratio(ratio):
    return "-" if ratio is None else f"{ratio:.2f}x"


def verdict(ratio, target, err=0.0):
    """met; borderline when the shortfall lies within two standard errors; else MISSED."""
    if ratio is None or target is None:
        return "-"
    if ratio >= target:
        return "met"
    if ratio >= target * (1 - 2 * err):
        return "borderline"
    return "**MISSED**"


def verdict_at_most(value, limit, err=0.0):
    """For costs (lower is better): met when at most the limit."""
    if value is None or limit is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    if value <= limit:
        return "met"
    if value <= limit * (1 + 2 * err):
        return "borderline"
    return "**MISSED**"


class Report:
    def __init__(self, run):
        self.run = run
        self.lines, self.misses, self.borderline, self.absent = [], [], [], []
        self.judged = 0

    def add(self, text=""):
        self.lines.append(text)

    def row(self, cells):
        self.lines.append("| " + " | ".join(cells) + " |")

    def header(self, cells, align):
        self.row(cells)
        self.row(align)

    def record(self, case, status, detail):
        if status in ("-",):
            return status
        self.judged += 1
        if status == "borderline":
            self.borderline.append(f"{case}: {detail}")
        elif status != "met":
            self.misses.append(f"{case}: {detail}")
        return status

    def missing(self, case, reason):
        self.absent.append(f"{case}: {reason}")
        return f"not measured ({reason})"

    def best_peer(self, row, peers=PEERS):
        found = [(self.run.get(row, p), p) for p in peers if self.run.get(row, p)]
        return max(found) if found else (None, None)

    def ratio_row(self, case, row, impl, peer_impl, target, peer_reason):
        """Judges `impl` against `peer_impl` on `row`; returns (nox, peer, ratio, status)."""
        nox, peer = self.run.get(row, impl), self.run.get(row, peer_impl)
        if nox is None:
            return None, peer, None, "-"
        if peer is None:
            status = self.missing(case, peer_reason) if target is not None else "-"
            return nox, None, None, status
        ratio = nox / peer
        err = self.run.noise(f"{row}/{impl}", f"{row}/{peer_impl}")
        status = verdict(ratio, target, err)
        self.record(case, status, f"{ratio:.2f}x, target >= {target:.2f}x"
                    + (f" (standard error {100 * err:.0f}%)" if status == "borderline" else "")
                    if target is not None else "")
        return nox, peer, ratio, status

    # ------------------------------------------------------------ UTF targets

    def utf_tables(self):
        run = self.run
        have = any(run.get(f"{g}/{s}/{z}", "nox") for g in ("utf8to16", "utf16to8")
                   for s in SCRIPTS for z in UTF_SIZES)
        if not have:
            return
        simdutf = any(n.endswith("/simdutf") for n in run.rates)
        reason = "simdutf absent: configure with NOX_BENCH_SIMDUTF_DIR"
        self.add("### UTF-8 to and from UTF-16 per script, strict, against simdutf "
                 "(MB/s of input)")
        self.add("")
        self.add(f"Target: at least {UTF_SIMDUTF_TARGET}x simdutf on every script at 256 KB and "
                 f"8 MB, at least {UTF_MIX_TARGET}x on the mix; 4 KB rows are shown without a "
                 "target.")
        self.add("")
        self.header(["Case", "noxunicode", "simdutf", "ICU", "iconv", "ratio to simdutf",
                     "ratio to ICU", "target", "status"],
                    ["---", "---:", "---:", "---:", "---:", "---:", "---:", "---:", "---"])
        for group in ("utf8to16", "utf16to8"):
            for script in SCRIPTS:
                for size in UTF_SIZES:
                    row = f"{group}/{script}/{size}"
                    if run.get(row, "nox") is None:
                        continue
                    target = None if size == "4K" else (
                        UTF_MIX_TARGET if script == "mix" else UTF_SIMDUTF_TARGET)
                    case = f"{group} {script} {size}"
                    nox, peer, ratio, status = self.ratio_row(
                        case, row, "nox", "simdutf", target, reason)
                    icu = run.get(row, "icu")
                    self.row([case, mbps(nox), mbps(peer), mbps(icu),
                              mbps(run.get(row, "iconv")), fmt_ratio(ratio),
                              fmt_ratio(nox / icu if icu else None),
                              f">= {target:.1f}x" if target else "-", status])
        self.add("")
        if not simdutf:
            self.add(f"No simdutf rows in this run ({reason}).")
            self.add("")

    def utf_level_tables(self):
        run = self.run
        rows = [r for r in run.rows() if r.startswith("levels_utf")]
        scripts_done = {r.split("/")[1] for r in rows}
        levels = [lv for lv in ("avx512", "avx2")
                  if any(run.get(r, lv) for r in rows)]
        self.add("### UTF per kernel level against simdutf's implementation for the same "
                 "instruction set (static library, MB/s of input)")
        self.add("")
        if not rows:
            self.add("No per-level UTF rows in this run (nox_bench_levels not run).")
            self.add("")
            self.missing("UTF at the AVX2 level", "nox_bench_levels not run")
            return
        if "avx2" not in levels:
            self.missing("UTF at the AVX2 level", "the processor lacks AVX2")
        if "avx512" not in levels:
            self.missing("UTF at the AVX-512 level (no target)",
                         run.context.get("levels skipped avx512", "not measured"))
        self.add(f"Target: at the AVX2 level at least {UTF_LEVEL_TARGET}x simdutf's haswell "
                 "implementation at 256 KB and 8 MB. AVX-512 rows (against icelake) are shown "
                 "without a target where the processor has it.")
        self.add("")
        self.header(["Case", "level", "noxunicode", "simdutf", "ratio", "target", "status"],
                    ["---", "---", "---:", "---:", "---:", "---:", "---"])
        for group in ("levels_utf8to16", "levels_utf16to8"):
            for script in SCRIPTS:
                if script not in scripts_done:
                    continue
                for size in UTF_SIZES[1:]:
                    row = f"{group}/{script}/{size}"
                    for level in levels:
                        target = UTF_LEVEL_TARGET if level == "avx2" else None
                        case = f"{group.replace('levels_', '')} {script} {size} at " \
                               f"{LEVEL_TITLE[level]}"
                        nox, peer, ratio, status = self.ratio_row(
                            case, row, level, SIMDUTF_AT[level], target,
                            "simdutf absent: configure with NOX_BENCH_SIMDUTF_DIR")
                        if nox is None:
                            continue
                        self.row([f"{group.replace('levels_', '')} {script} {size}",
                                  LEVEL_TITLE[level], mbps(nox), mbps(peer), fmt_ratio(ratio),
                                  f">= {target:.1f}x" if target else "-", status])
        self.add("")

    def latin1_table(self):
        run = self.run
        rows = [f"latin1_{d}/{z}" for d in ("toU", "fromU") for z in ("16K", "8M")]
        if not any(run.get(r, "nox") for r in rows):
            return
        self.add("### LATIN_1 against simdutf's Latin-1 routines (MB/s of input)")
        self.add("")
        self.header(["Case", "noxunicode", "simdutf", "ICU", "iconv", "ratio to simdutf",
                     "target", "status"],
                    ["---", "---:", "---:", "---:", "---:", "---:", "---:", "---"])
        for row in rows:
            direction, size = row.split("/")
            case = f"LATIN_1 {DIRECTION_TITLE[direction.replace('latin1_', '')]} {size}"
            nox, peer, ratio, status = self.ratio_row(
                case, row, "nox", "simdutf", LATIN1_TARGET,
                "simdutf absent: configure with NOX_BENCH_SIMDUTF_DIR")
            if nox is None:
                continue
            self.row([case, mbps(nox), mbps(peer), mbps(run.get(row, "icu")),
                      mbps(run.get(row, "iconv")), fmt_ratio(ratio),
                      f">= {LATIN1_TARGET:.1f}x", status])
        self.add("")

    def short_utf_table(self):
        run = self.run
        rows = [r for r in run.rows() if r.startswith("short_utf")]
        if not rows:
            return
        self.add("### Short UTF strings, multilingual mix (ns per call; 1024 strings of each "
                 "length class)")
        self.add("")
        self.add(f"Targets: at 8, 32 and 128 bytes no slower per call than ICU; at 16 to 64 "
                 f"bytes at most {1 / SHORT_SIMDUTF_TARGET:.0f}x simdutf's time.")
        self.add("")
        self.header(["Case", "noxunicode", "simdutf", "ICU", "iconv", "judged against",
                     "ratio", "target", "status"],
                    ["---", "---:", "---:", "---:", "---:", "---", "---:", "---:", "---"])
        for group in ("short_utf8to16", "short_utf16to8"):
            for size in SHORT_SIZES:
                row = f"{group}/mix/{size}"
                if run.get(row, "nox") is None:
                    continue
                ranged = size == "16-64B"
                peer_impl = "simdutf" if ranged else "icu"
                target = SHORT_SIMDUTF_TARGET if ranged else SHORT_ICU_TARGET
                case = f"{group.replace('short_', '')} mix {size}"
                nox, peer, ratio, status = self.ratio_row(
                    case + " short", row, "nox", peer_impl, target,
                    f"{peer_impl} absent")
                self.row([case, ns_per_call(nox), ns_per_call(run.get(row, "simdutf")),
                          ns_per_call(run.get(row, "icu")), ns_per_call(run.get(row, "iconv")),
                          peer_impl, fmt_ratio(ratio), f">= {target:.1f}x", status])
        self.add("")
        self.add("A ratio is noxunicode's calls per second over the peer's: 0.5x means twice "
                 "the peer's time per call.")
        self.add("")

    # ------------------------------------------------------------ code-page targets

    def open_table(self):
        run = self.run
        if not run.opens:
            self.missing("converter opens", "nox_bench_open (opens) not run")
            return
        rounds = run.open_context.get("rounds", "?")
        self.add(f"### Opening a converter (medians of {rounds} fresh processes; time in "
                 "microseconds, heap the open leaves allocated in KB)")
        self.add("")
        self.add(f"Targets: the first open of any shipped code page at most "
                 f"{FIRST_OPEN_US / 1000:.1f} ms; a repeated open while another handle of "
                 f"the page is held at most {HELD_OPEN_US:.0f} us and {HELD_OPEN_KB:.0f} KB. "
                 "The reopen after closing has no target. The first conversion after the first "
                 "open (4,096 characters) is where noxunicode builds its kernels' tables.")
        self.add("")
        self.header(["Code page", "first open us", "first KB", "reopen us", "reopen KB",
                     "held open us", "held KB", "first conversion us",
                     "ICU first / held / conversion us", "iconv first / held / conversion us",
                     "first open", "held open"],
                    ["---", "---:", "---:", "---:", "---:", "---:", "---:", "---:", "---:", "---:",
                     "---", "---"])
        by = {}
        for o in run.opens:
            by[(o["page"], o["impl"])] = o
        pages = []
        for o in run.opens:
            if o["page"] not in pages:
                pages.append(o["page"])
        for page in pages:
            nox = by.get((page, "nox"))
            if nox is None or not nox.get("samples"):
                self.row([page] + ["-"] * 9 + [self.missing(f"open {page}", "no samples")] * 2)
                continue
            n = max(nox["samples"], 1)
            err_first = 1.25 * (nox.get("first_us_spread") or 0) / n ** 0.5
            err_held = 1.25 * (nox.get("held_us_spread") or 0) / n ** 0.5
            first = verdict_at_most(nox["first_us"], FIRST_OPEN_US, err_first)
            self.record(f"first open {page}", first,
                        f"{nox['first_us']:.0f} us, target <= {FIRST_OPEN_US:.0f} us")
            held_time = verdict_at_most(nox["held_us"], HELD_OPEN_US, err_held)
            held_heap = verdict_at_most(nox["held_kb"], HELD_OPEN_KB)
            held = held_time if held_heap == "met" else (
                held_heap if held_time == "met" else "**MISSED**")
            self.record(f"open while held {page}", held,
                        f"{nox['held_us']:.0f} us and {nox['held_kb']:.0f} KB, target <= "
                        f"{HELD_OPEN_US:.0f} us and {HELD_OPEN_KB:.0f} KB")

            def peer_cell(impl):
                o = by.get((page, impl))
                if o is None or not o.get("samples"):
                    self.absent.append(f"{impl} open {page}: {impl} has no converter for it")
                    return "-"
                return (f"{o['first_us']:,.0f} / {o['held_us']:,.1f} / "
                        f"{o.get('convert_us', 0):,.1f}")

            self.row([page, f"{nox['first_us']:,.0f}", f"{nox['first_kb']:,.1f}",
                      f"{nox['reopen_us']:,.0f}", f"{nox['reopen_kb']:,.1f}",
                      f"{nox['held_us']:,.1f}", f"{nox['held_kb']:,.1f}",
                      f"{nox.get('convert_us', 0):,.0f}", peer_cell("icu"),
                      peer_cell("iconv"), first, held])
        self.add("")

    def process_table(self):
        run = self.run
        if not run.process:
            note = run.open_context.get("process_note") or "nox_bench_open (process) not run"
            self.missing("noxconv on a tiny file", note)
            return
        self.add(f"### A whole noxconv run on a tiny file against the iconv program (median "
                 f"wall time of {run.open_context.get('runs', '?')} interleaved runs, spawn to "
                 "exit)")
        self.add("")
        self.header(["Case", "noxconv ms", "iconv ms", "noxconv / iconv", "target", "status"],
                    ["---", "---:", "---:", "---:", "---:", "---"])
        for p in run.process:
            nox, iconv = p.get("nox_ms"), p.get("iconv_ms")
            if not nox or not iconv:
                continue
            ratio = nox / iconv
            n = max(p.get("runs", 1), 1)
            err = 1.25 * math.hypot(p.get("nox_spread") or 0, p.get("iconv_spread") or 0) \
                / n ** 0.5
            status = verdict_at_most(ratio, PROCESS_TARGET, err)
            if not p.get("same_output"):
                status = "**OUTPUT DIFFERS**"
            self.record(f"noxconv {p['case']}", status,
                        f"{ratio:.2f}x iconv's time, target <= {PROCESS_TARGET:.1f}x")
            self.row([p["case"], f"{nox:.2f}", f"{iconv:.2f}", f"{ratio:.2f}x",
                      f"<= {PROCESS_TARGET:.1f}x", status])
        self.add("")

    def short_code_page_table(self):
        run = self.run
        rows = [r for r in run.rows() if r.startswith(("short_toU/", "short_fromU/"))]
        if not rows:
            return
        self.add("### Short strings on the code pages (ns per call; 1024 strings of each "
                 "length class)")
        self.add("")
        self.add(f"Target: at 8, 32 and 128 bytes no slower per call than ICU (ratio >= "
                 f"{SHORT_ICU_TARGET:.1f}x); the 16 to 64 byte rows keep their earlier target "
                 f"(within {1 / SHORT_SIMDUTF_TARGET:.0f}x of the best peer).")
        self.add("")
        self.header(["Case", "noxunicode", "ICU", "iconv", "ratio", "target", "status"],
                    ["---", "---:", "---:", "---:", "---:", "---:", "---"])
        pages = [p for p in CODE_PAGE_ORDER if any(r.split("/")[1] == p for r in rows)]
        for direction in ("toU", "fromU"):
            for page in pages:
                for size in SHORT_SIZES:
                    row = f"short_{direction}/{page}/{size}"
                    if run.get(row, "nox") is None:
                        continue
                    case = f"{page} {DIRECTION_TITLE[direction]} {size}"
                    if size == "16-64B":
                        peer, peer_impl = self.best_peer(row)
                        target = SHORT_SIMDUTF_TARGET
                    else:
                        peer_impl, target = "icu", SHORT_ICU_TARGET
                    nox, peer, ratio, status = self.ratio_row(
                        "short " + case, row, "nox", peer_impl or "icu", target, "ICU absent")
                    self.row([case, ns_per_call(nox), ns_per_call(run.get(row, "icu")),
                              ns_per_call(run.get(row, "iconv")), fmt_ratio(ratio),
                              f">= {target:.1f}x", status])
        self.add("")

    def code_page_level_table(self):
        run = self.run
        rows = [r for r in run.rows() if r.startswith(("levels_toU/", "levels_fromU/"))
                and "-ascii" not in r]
        self.add("### Code pages per kernel level (static library, MB/s of input)")
        self.add("")
        if not rows:
            self.add("No per-level code-page rows in this run (nox_bench_levels not run).")
            self.add("")
            self.missing("code pages per level", "nox_bench_levels not run")
            return
        levels = [lv for lv in ("avx512", "avx2", "sse2", "exact")
                  if any(run.get(r, lv) for r in rows)]
        for lv, title in (("avx512", "AVX-512"), ("avx2", "AVX2"), ("sse2", "SSE2")):
            if lv not in levels:
                note = run.context.get(f"levels skipped {lv}", "not measured")
                self.missing(f"code pages at {title}", note)
        self.add(f"Targets against the best of ICU and iconv: at the AVX2 level at least "
                 f"{LEVEL_TARGETS['avx2']:.1f}x, at the SSE2 level at least "
                 f"{LEVEL_TARGETS['sse2']:.1f}x. The AVX-512 level (where the processor has it) "
                 "and the exact path are shown without a target.")
        self.add("")
        cells = ["Case"] + [LEVEL_TITLE[lv] for lv in levels] + ["best peer"] + \
            [f"{LEVEL_TITLE[lv]} ratio" for lv in levels if lv in LEVEL_TARGETS] + ["status"]
        self.header(cells, ["---"] + ["---:"] * (len(cells) - 2) + ["---"])
        pages = [p for p in CODE_PAGE_ORDER if any(r.split("/")[1] == p for r in rows)]
        for direction in ("toU", "fromU"):
            for page in pages:
                row = f"levels_{direction}/{page}"
                case = f"{page} {DIRECTION_TITLE[direction]}"
                peer, peer_name = self.best_peer(row)
                ratios, statuses = [], []
                for lv in levels:
                    if lv not in LEVEL_TARGETS:
                        continue
                    nox = run.get(row, lv)
                    if nox is None or peer is None:
                        ratios.append("-")
                        continue
                    ratio = nox / peer
                    err = run.noise(f"{row}/{lv}", f"{row}/{peer_name}")
                    status = verdict(ratio, LEVEL_TARGETS[lv], err)
                    self.record(f"{case} at {LEVEL_TITLE[lv]}", status,
                                f"{ratio:.2f}x {peer_name}, target >= "
                                f"{LEVEL_TARGETS[lv]:.1f}x (standard error {100 * err:.0f}%)")
                    ratios.append(fmt_ratio(ratio))
                    statuses.append(f"{LEVEL_TITLE[lv]} {status}")
                self.row([case] + [mbps(run.get(row, lv)) for lv in levels] +
                         [f"{mbps(peer)} ({peer_name})" if peer else "-"] + ratios +
                         ["; ".join(statuses) or "-"])
        self.add("")
        # UTF-16 to CP1252 on pure ASCII against the fastest narrowing measured.
        row = "levels_fromU/CP1252-ascii"
        impls = sorted({n.rsplit("/", 1)[1] for n in run.rates if n.startswith(row + "/")})
        if not impls:
            return
        self.add("UTF-16 to CP1252 on pure ASCII text (4 MB) against the fastest narrowing "
                 "loops (MB/s of input):")
        self.add("")
        self.header(["Implementation", "MB/s"], ["---", "---:"])
        for impl in impls:
            self.row([impl, mbps(run.get(row, impl))])
        self.add("")
        bound_impls = [i for i in ("simdutf_haswell", "narrow", "icu", "iconv") if i in impls]
        nox = run.get(row, "avx2")
        if nox is None:
            self.missing("CP1252 ASCII narrowing at AVX2", "the processor lacks AVX2")
            return
        best = max(((run.get(row, i), i) for i in bound_impls), default=(None, None))
        if "simdutf_haswell" not in impls:
            self.missing("CP1252 ASCII narrowing against simdutf", "simdutf absent")
        if best[0] is None:
            return
        ratio = nox / best[0]
        err = run.noise(f"{row}/avx2", f"{row}/{best[1]}")
        status = verdict(ratio, ASCII_NARROW_TARGET, err)
        self.record("CP1252 from UTF-16 on ASCII at AVX2", status,
                    f"{ratio:.2f}x {best[1]}, target >= {ASCII_NARROW_TARGET:.1f}x")
        self.add(f"At the AVX2 level: {mbps(nox)} MB/s against {mbps(best[0])} ({best[1]}), "
                 f"{ratio:.2f}x, target >= {ASCII_NARROW_TARGET:.1f}x: {status}.")
        self.add("")

    # ------------------------------------------------------------ earlier tables

    def code_page_table(self):
        run = self.run
        pages = [p for p in CODE_PAGE_ORDER if run.get(f"toU/{p}", "nox") or
                 run.get(f"fromU/{p}", "nox")]
        if not pages:
            return
        self.add("### Code pages, 4 MB of running text (MB/s of input: code-page bytes to "
                 "UTF-16, UTF-16 bytes from UTF-16)")
        self.add("")
        self.header(["Case", "noxunicode", "range form", "best peer", "ratio", "range ratio",
                     "target", "status"],
                    ["---", "---:", "---:", "---", "---:", "---:", "---:", "---"])
        for direction in ("toU", "fromU"):
            for cp in pages:
                row = f"{direction}/{cp}"
                nox, rng = run.get(row, "nox"), run.get(row, "nox_range")
                peer, peer_name = self.best_peer(row)
                if nox is None:
                    continue
                target = code_page_target(direction, cp)
                case = f"{cp} {DIRECTION_TITLE[direction]}"
                _, _, ratio, status = self.ratio_row(case, row, "nox", peer_name or "icu",
                                                     target, "no peer")
                _, _, rratio, rstatus = self.ratio_row(case + " (range form)", row,
                                                       "nox_range", peer_name or "icu",
                                                       target, "no peer")
                if rstatus not in ("met", "-") and status == "met":
                    status = f"met (range form {rstatus})"
                self.row([case, mbps(nox), mbps(rng),
                          f"{mbps(peer)} ({peer_name})" if peer else "-", fmt_ratio(ratio),
                          fmt_ratio(rratio), f">= {target:.1f}x" if target else "-", status])
        self.add("")
        self.add("### Sizing calls (null output) against converting, MB/s of input")
        self.add("")
        self.header(["Case", "converting", "sizing", "ratio", "target", "status"],
                    ["---", "---:", "---:", "---:", "---:", "---"])
        for direction in ("toU", "fromU"):
            for cp in pages:
                row = f"{direction}/{cp}"
                nox, size = run.get(row, "nox"), run.get(row, "nox_size")
                if nox is None or size is None:
                    continue
                case = f"{cp} {DIRECTION_TITLE[direction]} sizing"
                _, _, ratio, status = self.ratio_row(case, row, "nox_size", "nox",
                                                     SIZING_TARGET, "-")
                self.row([case, mbps(nox), mbps(size), fmt_ratio(ratio),
                          f">= {SIZING_TARGET:.1f}x", status])
        self.add("")
        bounds = [("toU/LATIN_1", "widen"), ("toU/LATIN_1", "memcpy"),
                  ("fromU/LATIN_1", "narrow"), ("fromU/LATIN_1", "memcpy")]
        if any(run.get(r, b) for r, b in bounds):
            self.add("### Bounds on LATIN_1 (MB/s of input)")
            self.add("")
            self.header(["Case", "noxunicode", "bound", "bound MB/s", "share of bound"],
                        ["---", "---:", "---", "---:", "---:"])
            for row, bound in bounds:
                nox, b = run.get(row, "nox"), run.get(row, bound)
                if nox and b:
                    direction = row.split("/")[0]
                    self.row([f"LATIN_1 {DIRECTION_TITLE[direction]}", mbps(nox), bound,
                              mbps(b), f"{100 * nox / b:.0f}%"])
            self.add("")

    def old_utf_table(self):
        run = self.run
        groups = ("utf8to16", "utf16to8", "utf8to32", "utf32to8")
        if not any(run.get(f"{g}/{t}", "nox") for g in groups for t in ("mixed", "english")):
            return
        self.add("### UTF routines on the 4 MB texts measured before the per-script rows "
                 "(MB/s of input)")
        self.add("")
        self.header(["Case", "noxunicode", "ICU", "iconv", "ratio to ICU",
                     "ratio to best peer", "target (to ICU)", "status"],
                    ["---", "---:", "---:", "---:", "---:", "---:", "---:", "---"])
        for group in groups:
            for text in ("mixed", "english"):
                row = f"{group}/{text}"
                nox = run.get(row, "nox")
                if nox is None:
                    continue
                peer, _ = self.best_peer(row)
                target = OLD_UTF_TARGETS.get((group, text))
                _, icu, ratio, status = self.ratio_row(f"{group} {text}", row, "nox", "icu",
                                                       target, "ICU absent")
                self.row([f"{group} {text}", mbps(nox), mbps(icu),
                          mbps(run.get(row, "iconv")), fmt_ratio(ratio),
                          fmt_ratio(nox / peer if peer else None),
                          f">= {target:.1f}x" if target else "-", status])
        self.add("")

    # ------------------------------------------------------------ baseline

    def baseline(self, path):
        with open(path, encoding="utf-8") as f:
            base = json.load(f)
        base_rates = base.get("rates", {})
        slower, borderline, compared = [], [], 0
        for name, now in sorted(self.run.rates.items()):
            row, impl = name.rsplit("/", 1)
            if impl not in NOX_IMPLS or name not in base_rates:
                continue
            # The yardstick: the first peer measured on the row in both runs.
            yard = None
            for p in ("simdutf", SIMDUTF_AT.get(impl, ""), "icu", "iconv"):
                if p and self.run.get(row, p) and base_rates.get(f"{row}/{p}"):
                    yard = p
                    break
            change = now / base_rates[name]
            if yard:
                change /= self.run.get(row, yard) / base_rates[f"{row}/{yard}"]
            err = self.run.noise(name, f"{row}/{yard}" if yard else name) * 2 ** 0.5
            compared += 1
            if change < SLOWER_LIMIT * (1 - 2 * err):
                slower.append(f"{name}: {change:.2f}x the baseline"
                              + (f" (against {yard})" if yard else " (raw rate)"))
            elif change < SLOWER_LIMIT:
                borderline.append(f"{name}: {change:.2f}x (standard error {100 * err:.0f}%)")
        self.add(f"### Against the baseline {path} ({compared} rows compared)")
        self.add("")
        if slower:
            self.add(f"More than 5% slower ({len(slower)}):")
            self.lines.extend(f"- {s}" for s in slower)
            self.misses.extend(f"slower than the baseline: {s}" for s in slower)
        else:
            self.add("No row more than 5% slower beyond the noise.")
        if borderline:
            self.add("")
            self.add(f"Within the noise of 5% slower ({len(borderline)}):")
            self.lines.extend(f"- {b}" for b in borderline)
        self.add("")

    # ------------------------------------------------------------ all

    def summarize(self, baseline=None):
        self.add("## Targets: UTF")
        self.add("")
        self.utf_tables()
        self.utf_level_tables()
        self.latin1_table()
        self.short_utf_table()
        self.add("## Targets: code pages")
        self.add("")
        self.open_table()
        self.process_table()
        self.short_code_page_table()
        self.code_page_level_table()
        self.add("## Earlier targets")
        self.add("")
        self.code_page_table()
        self.old_utf_table()
        if baseline:
            self.baseline(baseline)
        notes = {k: v for k, v in self.run.context.items()}
        if notes:
            self.add("### Inputs, peers and output checks")
            self.add("")
            self.lines.extend(f"- {k}: {notes[k]}" for k in sorted(notes))
            self.add("")
        self.add(f"{self.judged} targets judged.")
        self.add("")
        if self.misses:
            self.add(f"Targets missed ({len(self.misses)}):")
            self.lines.extend(f"- {m}" for m in self.misses)
        else:
            self.add("No target with data missed.")
        if self.borderline:
            self.add("")
            self.add(f"Borderline, short of the target by less than two standard errors "
                     f"({len(self.borderline)}):")
            self.lines.extend(f"- {b}" for b in self.borderline)
        if self.absent:
            self.add("")
            self.add(f"Not measured in this run ({len(self.absent)}):")
            self.lines.extend(f"- {a}" for a in self.absent)
        return "\n".join(self.lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("json", nargs="+", help="nox_bench, nox_bench_levels or open JSON")
    parser.add_argument("--output", help="write the Markdown here instead of stdout")
    parser.add_argument("--save-medians", help="write every row's medians here")
    parser.add_argument("--baseline", help="medians of an earlier run to compare with")
    args = parser.parse_args()
    run = Run()
    for path in args.json:
        run.load(path)
    run.finish()
    if not run.rates and not run.opens and not run.process:
        print("no benchmark results found", file=sys.stderr)
        return 2
    report = Report(run)
    text = report.summarize(args.baseline)
    if args.output:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    if args.save_medians:
        with open(args.save_medians, "w", encoding="utf-8") as f:
            json.dump({"date": run.date, "rates": run.rates, "cvs": run.cvs}, f, indent=0,
                      sort_keys=True)
    return 1 if report.misses else 0


if __name__ == "__main__":
    sys.exit(main())

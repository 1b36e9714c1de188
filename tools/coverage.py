#!/usr/bin/env python3
"""coverage.py - runs the tests of a coverage build and prints the line and branch coverage of
the library (noxunicode/) and of the command-line tool (tools/noxconv*), with gcov alone.

    cmake --preset coverage && cmake --build --preset coverage
    tools/coverage.py [BUILD_DIR] [--no-test] [--uncovered]

BUILD_DIR defaults to build/coverage. The counters of an earlier run are removed first, then
ctest runs every test (two at a time); --no-test reports the counters as they are. A line counts
as run when any object that compiles it ran it (headers are compiled into many objects); a
branch as taken when any object took it. Branches to exception handlers, which the compiler adds
to calls, are left out. --uncovered also lists the functions never run and the lines never run.
"""

import argparse
import json
import os
import subprocess
import sys
from collections import defaultdict

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GROUPS = [
    ("library (noxunicode/)", lambda rel: rel.startswith("noxunicode/")),
    ("noxconv (tools/noxconv*)", lambda rel: rel.startswith("tools/noxconv")),
]


def run_tests(build):
    for root, _, files in os.walk(build):
        for name in files:
            if name.endswith(".gcda"):
                os.remove(os.path.join(root, name))
    result = subprocess.run(["ctest", "--test-dir", build, "-j2"], capture_output=True, text=True)
    summary = [line for line in result.stdout.splitlines() if "tests passed" in line]
    print("ctest: " + (summary[-1] if summary else "no summary (exit %d)" % result.returncode))
    if result.returncode != 0:
        failed = [line for line in result.stdout.splitlines() if "(Failed)" in line]
        print("  failing tests (coverage still reported):\n  " + "\n  ".join(failed))


def gcov_reports(build):
    """Yields gcov's JSON report of every object that has counters."""
    data = []
    for root, _, files in os.walk(build):
        data += [os.path.join(root, name) for name in files if name.endswith(".gcda")]
    for i in range(0, len(data), 50):
        command = ["gcov", "--json-format", "--stdout", "--branch-probabilities"]
        out = subprocess.run(command + data[i:i + 50], cwd=build, capture_output=True, text=True,
                             check=True).stdout
        for line in out.splitlines():
            if line.startswith("{"):
                yield json.loads(line)


def merge(build):
    """Per source file: run counts by line, taken counts by branch, functions with counts."""
    lines = defaultdict(lambda: defaultdict(int))
    branches = defaultdict(dict)
    functions = defaultdict(lambda: defaultdict(int))
    for report in gcov_reports(build):
        cwd = report.get("current_working_directory", build)
        for f in report["files"]:
            rel = os.path.relpath(os.path.normpath(os.path.join(cwd, f["file"])), SOURCE_DIR)
            if not any(accept(rel) for _, accept in GROUPS):
                continue
            for ln in f["lines"]:
                number = ln["line_number"]
                lines[rel][number] += ln["count"]
                taken = [b["count"] for b in ln.get("branches", []) if not b.get("throw")]
                known = branches[rel].get(number, [])
                if len(taken) > len(known):
                    known, taken = taken, known
                branches[rel][number] = [k + (taken[i] if i < len(taken) else 0)
                                         for i, k in enumerate(known)]
            for fn in f.get("functions", []):
                key = (fn["start_line"], fn.get("demangled_name", fn["name"]))
                functions[rel][key] += fn["execution_count"]
    return lines, branches, functions


def ranges(numbers):
    out, start, prev = [], None, None
    for n in sorted(numbers):
        if start is None or n != prev + 1:
            if start is not None:
                out.append(str(start) if start == prev else "%d-%d" % (start, prev))
            start = n
        prev = n
    if start is not None:
        out.append(str(start) if start == prev else "%d-%d" % (start, prev))
    return ",".join(out)


def percent(part, whole):
    return 100.0 * part / whole if whole else 100.0


def report(lines, branches, functions, uncovered):
    for title, accept in GROUPS:
        files = sorted(rel for rel in lines if accept(rel))
        total = [0, 0, 0, 0]
        print("\n%s" % title)
        print("  %-36s %15s %17s" % ("file", "lines", "branches"))
        for rel in files:
            run = sum(1 for c in lines[rel].values() if c > 0)
            all_branches = [c for taken in branches[rel].values() for c in taken]
            taken = sum(1 for c in all_branches if c > 0)
            counts = [run, len(lines[rel]), taken, len(all_branches)]
            total = [t + c for t, c in zip(total, counts)]
            print("  %-36s %6.1f%% of %5d %6.1f%% of %6d" % (
                rel, percent(run, counts[1]), counts[1], percent(taken, counts[3]), counts[3]))
        print("  %-36s %6.1f%% of %5d %6.1f%% of %6d" % (
            "total", percent(total[0], total[1]), total[1], percent(total[2], total[3]),
            total[3]))
        if uncovered:
            for rel in files:
                never = sorted(name for (_, name), count in functions[rel].items() if count == 0)
                missed = [n for n, c in lines[rel].items() if c == 0]
                if never:
                    print("  %s: functions never run: %s" % (rel, "; ".join(never)))
                if missed:
                    print("  %s: lines never run: %s" % (rel, ranges(missed)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default=os.path.join(SOURCE_DIR, "build/coverage"))
    parser.add_argument("--no-test", action="store_true", help="report the counters as they are")
    parser.add_argument("--uncovered", action="store_true", help="list what never ran")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if not os.path.isdir(build):
        sys.exit("coverage.py: no build in %s (cmake --preset coverage && cmake --build "
                 "--preset coverage)" % build)
    if not args.no_test:
        run_tests(build)
    report(*merge(build), args.uncovered)


if __name__ == "__main__":
    main()

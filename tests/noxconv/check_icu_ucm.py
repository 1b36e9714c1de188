#!/usr/bin/env python3
"""check_icu_ucm.py - the code pages of data/ucm imported from ICU, ICU's licence beside them and
the notes in data/icu are exactly what tools/gen_icu_ucm.py writes with this noxconv. Exit 0 when
they regenerate unchanged, 1 when not, 77 (skipped) without ICU's tables.
Usage: check_icu_ucm.py --icu DIR --noxconv PATH"""
import argparse, filecmp, os, subprocess, sys, tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
import gen_icu_ucm  # noqa: E402 (found through the path above)

def compare(fresh_dir, shipped_dir, shipped, where):
    fresh = sorted(os.listdir(fresh_dir))
    failures = ["files of %s differ: %s" % (where, sorted(set(fresh) ^ set(shipped)))] if fresh != shipped else []
    _, mismatch, errors = filecmp.cmpfiles(fresh_dir, shipped_dir, [n for n in fresh if n in shipped], shallow=False)
    return failures + ["%s/%s differs; run tools/gen_icu_ucm.py" % (where, n) for n in mismatch + errors]

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--icu", default="")
    parser.add_argument("--noxconv", required=True)
    args = parser.parse_args()
    if not args.icu or not os.path.isfile(os.path.join(args.icu, "convrtrs.txt")):
        print("skipped: ICU's mapping tables not found (configure with -DNOX_ICU_MAPPINGS_DIR=<folder>)")
        return 77
    shipped = [n for n in sorted(os.listdir(gen_icu_ucm.UCM_DIR)) if n == gen_icu_ucm.LICENSE or (
        n.endswith(".ucm") and gen_icu_ucm.is_imported(os.path.join(gen_icu_ucm.UCM_DIR, n)))]
    with tempfile.TemporaryDirectory() as tmp:
        pages, notes = os.path.join(tmp, "ucm"), os.path.join(tmp, "icu")
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_icu_ucm.py"), "--icu", args.icu, "--noxconv",
                        args.noxconv, "--out", pages, "--notes", notes, "--no-merge", "--quiet"], check=True, timeout=600)
        failures = compare(pages, gen_icu_ucm.UCM_DIR, shipped, "data/ucm")
        failures += compare(notes, gen_icu_ucm.NOTES_DIR, sorted(os.listdir(gen_icu_ucm.NOTES_DIR)), "data/icu")
    for failure in failures:
        print("FAIL " + failure)
    print("%d ICU code pages and their notes %s" % (sum(n.endswith(".ucm") for n in shipped), "differ" if failures else "regenerate unchanged"))
    return 1 if failures else 0

if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""check_icu_ucm.py - the code pages imported from ICU (the files of data/ucm that
noxconv --import-ucm wrote), ICU's licence beside them and the import's notes in data/icu
are exactly what tools/gen_icu_ucm.py writes from ICU's mapping tables with this noxconv.
The code pages of tools/gen_ucm.py in the same folder are left to tests/check_ucm.py.
Exit 0 when they regenerate unchanged, 1 when not, 77 (skipped) when the folder of
ICU's tables is not given or not there.
Usage: check_icu_ucm.py --icu DIR --noxconv PATH"""

import argparse
import filecmp
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
import gen_icu_ucm  # noqa: E402 (found through the path above)


def generated_files(folder):
    """The files of `folder` that the generator writes: its imported code pages and ICU's licence."""
    names = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if name == gen_icu_ucm.LICENSE or (name.endswith(".ucm") and gen_icu_ucm.is_imported(path)):
            names.append(name)
    return names


def compare(fresh_dir, fresh, shipped_dir, shipped, where):
    failures = ["files of %s differ: %s" % (where, sorted(set(fresh) ^ set(shipped)))] if fresh != shipped else []
    _, mismatch, errors = filecmp.cmpfiles(fresh_dir, shipped_dir, [n for n in fresh if n in shipped],
                                           shallow=False)
    failures += ["%s/%s differs; run tools/gen_icu_ucm.py" % (where, n) for n in mismatch + errors]
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--icu", default="")
    parser.add_argument("--noxconv", required=True)
    args = parser.parse_args()
    if not args.icu or not os.path.isfile(os.path.join(args.icu, "convrtrs.txt")):
        print("skipped: ICU's mapping tables not found (configure with "
              "-DNOX_ICU_MAPPINGS_DIR=<folder of ICU's .ucm files and convrtrs.txt>)")
        return 77
    with tempfile.TemporaryDirectory() as tmp:
        pages, notes = os.path.join(tmp, "ucm"), os.path.join(tmp, "icu")
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_icu_ucm.py"), "--icu", args.icu,
                        "--noxconv", args.noxconv, "--out", pages, "--notes", notes, "--no-merge",
                        "--quiet"], check=True, timeout=600)
        shipped = generated_files(gen_icu_ucm.UCM_DIR)
        failures = compare(pages, sorted(os.listdir(pages)), gen_icu_ucm.UCM_DIR, shipped, "data/ucm")
        failures += compare(notes, sorted(os.listdir(notes)), gen_icu_ucm.NOTES_DIR,
                            sorted(os.listdir(gen_icu_ucm.NOTES_DIR)), "data/icu")
    for failure in failures:
        print("FAIL " + failure)
    print("%d ICU code pages of data/ucm and their notes %s"
          % (len([n for n in shipped if n.endswith(".ucm")]), "differ" if failures else "regenerate unchanged"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

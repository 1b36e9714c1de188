#!/usr/bin/env python3
"""check_icu_ucm.py - the code pages imported from ICU (data/icu) are exactly what
tools/gen_icu_ucm.py writes from ICU's mapping tables with this noxconv.
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
SHIPPED = os.path.join(ROOT, "data", "icu")


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
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_icu_ucm.py"), "--icu", args.icu,
                        "--noxconv", args.noxconv, "--out", tmp, "--no-merge", "--quiet"],
                       check=True, timeout=600)
        fresh, shipped = sorted(os.listdir(tmp)), sorted(os.listdir(SHIPPED))
        failures = ["files differ: %s" % sorted(set(fresh) ^ set(shipped))] if fresh != shipped else []
        _, mismatch, errors = filecmp.cmpfiles(tmp, SHIPPED, [n for n in fresh if n in shipped], shallow=False)
        failures += ["%s differs; run tools/gen_icu_ucm.py" % n for n in mismatch + errors]
    for failure in failures:
        print("FAIL " + failure)
    print("%d files of data/icu %s" % (len(shipped), "differ" if failures else "regenerate unchanged"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

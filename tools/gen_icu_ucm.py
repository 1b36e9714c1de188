#!/usr/bin/env python3
"""gen_icu_ucm.py - generates the code pages imported from ICU's mapping
tables into data/ucm (beside the code pages of tools/gen_ucm.py, under ICU's
file names), ICU's licence beside them (data/ucm/LICENSE-ICU), and the
import's notes in data/icu: their alias list (aliases.txt) and a README that
lists what was not imported; then merges the aliases into data/aliases.txt
through tools/gen_ucm.py.

Every ICU file goes through `noxconv --import-ucm`, which derives the
<nox_lead_bytes> line from the file's mapping lines and leaves out the lines
that a noxunicode table cannot hold; this generator adds the line
"# Imported from ICU <version> by tools/gen_icu_ucm.py; do not edit." before
the lead-byte line, which noxconv --list reads. Files that noxconv refuses
(one first byte starting characters of different lengths, or state
switching) are listed in the README with noxconv's reason. The file names
stay ICU's.

The generator owns the files of the code page folder whose header carries
noxconv's "# Imported with noxconv --import-ucm" line: it removes them before
importing and rewrites only them. An ICU file whose name (in any case) a
code page of data/ucm already uses is not imported: the existing page keeps
its name, and the README lists the ICU file as not imported.

The aliases come from ICU's convrtrs.txt: for every imported file, the names
on its converter line, without their standard tags. A name that several ICU
converters carry goes to the one that marks it as a preferred name ('*' in a
tag), else to the first. data/aliases.txt keeps every name that the code
pages of tools/gen_ucm.py already use.

The output is deterministic, so tests/noxconv/check_icu_ucm.py can
regenerate it and compare.

Usage:
  tools/gen_icu_ucm.py --icu ../shared/icu-mappings --noxconv build/dev/tools/noxconv
  tools/gen_icu_ucm.py --icu DIR --noxconv PATH --out DIR --notes DIR --no-merge
"""

import argparse
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UCM_DIR = os.path.join(ROOT, "data", "ucm")
NOTES_DIR = os.path.join(ROOT, "data", "icu")
# The line that noxconv --import-ucm writes into every file it imports.
IMPORTED = b"# Imported with noxconv --import-ucm"
LICENSE = "LICENSE-ICU"


def icu_version(icu_dir):
    """"72.1" from the README of the folder, or "unknown"."""
    try:
        with open(os.path.join(icu_dir, "README.md"), encoding="utf-8") as f:
            found = re.search(r"ICU (\d+(?:\.\d+)*)", f.read())
    except OSError:
        found = None
    return found.group(1) if found else "unknown"


def header_of(path):
    """The lines of a UCM file before its CHARMAP line."""
    lines = []
    with open(path, "rb") as f:
        for line in f:
            if line.startswith(b"CHARMAP"):
                break
            lines.append(line.rstrip(b"\r\n"))
    return lines


def is_imported(path):
    """Whether the UCM file was written by noxconv --import-ucm (so by this generator)."""
    return any(line.startswith(IMPORTED) for line in header_of(path))


def other_pages(folders):
    """{lower-case name: path} of the code pages in `folders` that this generator did not write."""
    pages = {}
    for folder in folders:
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if name.endswith(".ucm") and not is_imported(path):
                pages.setdefault(name[:-4].lower(), path)
    return pages


def mark(path, version):
    """Adds the line that names ICU as the source, before the lead-byte line."""
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    at = next(i for i, line in enumerate(lines) if line.startswith(b"<nox_lead_bytes>"))
    lines.insert(at, b"# Imported from ICU %s by tools/gen_icu_ucm.py; do not edit." % version.encode())
    with open(path, "wb") as f:
        f.write(b"\n".join(lines))


def import_all(icu_dir, noxconv, out_dir, version):
    """Imports every .ucm file; returns (imported names, {refused name: reason})."""
    imported, refused = [], {}
    taken = other_pages([out_dir, UCM_DIR])
    taken.setdefault("latin_1", "the built-in LATIN_1")
    for name in sorted(n for n in os.listdir(icu_dir) if n.endswith(".ucm")):
        owner = taken.get(name[:-4].lower())
        if owner:
            refused[name[:-4]] = "its name is taken by %s" % os.path.basename(owner)
            print("%s not imported: %s" % (name, refused[name[:-4]]), file=sys.stderr)
            continue
        target = os.path.join(out_dir, name)
        r = subprocess.run([noxconv, "--import-ucm", os.path.join(icu_dir, name), "-o", target],
                           capture_output=True, text=True, timeout=120)
        if r.returncode == 0:
            mark(target, version)
            imported.append(name[:-4])
        elif r.returncode == 2 and "cannot import" in r.stderr:
            refused[name[:-4]] = r.stderr.strip().split(": ", 2)[-1]
        else:
            raise SystemExit("noxconv failed on %s (%d): %s" % (name, r.returncode, r.stderr))
    return imported, refused


def converter_lines(convrtrs):
    """(converter name, [(alias, preferred)]) for every converter line."""
    with open(convrtrs, encoding="utf-8") as f:
        text = re.sub(r"#[^\n]*", "", f.read())
    text = re.sub(r"\{[^}]*\}", lambda m: " {*} " if "*" in m.group(0) else " ", text)
    entries = []
    for line in text.split("\n"):
        tokens = line.split()
        if not tokens:
            continue
        if line[0] in " \t" and entries:
            entries[-1][1].extend(tokens)
        else:
            entries.append((tokens[0], tokens[1:]))
    result = []
    for name, tokens in entries:
        aliases = []
        for token in tokens:
            if token == "{*}":
                if aliases:
                    aliases[-1] = (aliases[-1][0], True)
            else:
                aliases.append((token, False))
        result.append((name, aliases))
    return result


def alias_text(convrtrs, imported):
    """The alias list of the imported pages: 'alias canonical' lines."""
    pages = set(imported)
    owner = {}  # lower-case alias -> (preferred, canonical)
    lines = converter_lines(convrtrs)
    for name, aliases in lines:
        if name not in pages:
            continue
        for alias, preferred in aliases:
            key = alias.lower()
            if key not in owner or (preferred and not owner[key][0]):
                owner[key] = (preferred, name)
    out = ["# Aliases of the code pages imported from ICU, from ICU's convrtrs.txt.",
           "# One 'alias canonical' pair per line; merged into data/aliases.txt by",
           "# tools/gen_ucm.py. Generated by tools/gen_icu_ucm.py; do not edit."]
    listed = set()
    for name, aliases in lines:
        if name not in pages or name in listed:
            continue
        listed.add(name)
        out.append("")
        out.append("%s %s" % (name, name))
        for alias, _ in aliases:
            if owner.get(alias.lower(), (False, None))[1] == name and alias.lower() != name.lower():
                out.append("%s %s" % (alias, name))
    for name in sorted(pages - listed):
        out += ["", "%s %s" % (name, name)]
    return "\n".join(out) + "\n"


def readme_text(version, imported, refused):
    out = ["# Code pages imported from ICU %s" % version, "",
           "Generated by tools/gen_icu_ucm.py from ICU %s's mapping tables with" % version,
           "`noxconv --import-ucm`; do not edit. The code pages are in `../ucm`, beside",
           "those generated from Python's codecs, under ICU's file names; each one's",
           "header says \"Imported from ICU %s\". Each file keeps ICU's comments and its" % version,
           "representable mapping lines; a `<nox_lead_bytes>` line derived from the mapping",
           "lines is added, and the lines that a noxunicode table cannot hold are left out",
           "(each file's header counts them). ICU's licence is `../ucm/LICENSE-ICU`.",
           "`aliases.txt` here holds ICU's aliases of the imported pages, from ICU's",
           "`convrtrs.txt`; tools/gen_ucm.py merges them into `../aliases.txt`.", "",
           "%d of %d files imported. Not imported:" % (len(imported), len(imported) + len(refused)),
           ""]
    out += ["- `%s.ucm`: %s" % (name, reason) for name, reason in sorted(refused.items())]
    return "\n".join(out) + "\n"


def write(path, text):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


def generate(icu_dir, noxconv, out_dir, notes_dir):
    os.makedirs(out_dir, exist_ok=True)
    os.makedirs(notes_dir, exist_ok=True)
    for name in os.listdir(out_dir):
        path = os.path.join(out_dir, name)
        if name.endswith(".ucm") and is_imported(path):
            os.remove(path)
    version = icu_version(icu_dir)
    imported, refused = import_all(icu_dir, noxconv, out_dir, version)
    shutil.copyfile(os.path.join(icu_dir, "LICENSE"), os.path.join(out_dir, LICENSE))
    write(os.path.join(notes_dir, "aliases.txt"),
          alias_text(os.path.join(icu_dir, "convrtrs.txt"), imported))
    write(os.path.join(notes_dir, "README.md"), readme_text(version, imported, refused))
    return imported, refused


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--icu", required=True, help="ICU's mapping folder (*.ucm, convrtrs.txt)")
    parser.add_argument("--noxconv", required=True, help="the noxconv binary")
    parser.add_argument("--out", default=UCM_DIR,
                        help="folder of the code pages and ICU's licence (default: data/ucm)")
    parser.add_argument("--notes", default=NOTES_DIR,
                        help="folder of the alias list and the README (default: data/icu)")
    parser.add_argument("--no-merge", action="store_true",
                        help="do not rewrite data/aliases.txt")
    parser.add_argument("-q", "--quiet", action="store_true")
    args = parser.parse_args(argv)
    imported, refused = generate(args.icu, args.noxconv, args.out, args.notes)
    if not args.no_merge:
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_ucm.py"),
                        "--aliases-only"], check=True)
    if not args.quiet:
        print("%d ICU code pages imported into %s, %d refused"
              % (len(imported), args.out, len(refused)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

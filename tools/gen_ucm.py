#!/usr/bin/env python3
"""gen_ucm.py - generates the shipped code page files (data/ucm/*.ucm) and
the code page alias table (data/aliases.txt) from Python's built-in codecs.

For every code page in CODE_PAGES below, the generator asks the named Python
codec two questions and writes the answers as one UCM file:

  * Decoding: every byte sequence that decodes (strictly) to exactly one
    character, found by walking first bytes, then trail bytes for first bytes
    that the decoder treats as incomplete, and so on. A sequence counts only
    when none of its shorter prefixes decodes on its own.
  * Encoding: every BMP code point (surrogates skipped), encoded on its own.

Each pair becomes one mapping line with a precision marker:

  |0  round trip: the bytes decode to U and U encodes to the same bytes
  |3  decode only: the bytes decode to U, but U encodes to other bytes
  |1  encode only: U encodes to the bytes, which decode to something else

Pairs that the file format cannot hold are left out and counted in the file
header: the byte 0 (U+0000) or a 0 byte inside a character, characters beyond
U+FFFF, characters that the codec spells with more than four bytes (counted
from the encoder side: the decoder is only probed up to four bytes), and
sequences that decode to more than one character.

The lead-byte line gives the character length for every first byte; bytes
that start no character get 0.

The output is deterministic (sorted, no dates; the header names Python's
major and minor version only), so tests/check_ucm.py can regenerate the files
and compare them byte for byte with the checked-in ones.

The alias table also names the code pages imported from ICU (written into
data/ucm by tools/gen_icu_ucm.py), with the aliases in data/icu/aliases.txt;
a name that one of the code pages here already uses keeps its code page.

Usage:
  tools/gen_ucm.py                      # all code pages into data/ucm,
                                        # aliases into data/aliases.txt
  tools/gen_ucm.py --aliases-only       # just data/aliases.txt
  tools/gen_ucm.py --out DIR            # code pages into DIR (no aliases)
  tools/gen_ucm.py --out DIR --aliases FILE
  tools/gen_ucm.py --only CP1252 SJIS   # just these code pages
  tools/gen_ucm.py --list               # canonical names and codecs
"""

import argparse
import codecs
import os
import sys
import time

GENERATOR_VERSION = "1.0"

# A code page character has at most this many bytes in the file format.
# The decode walk stops there too: some decoders buffer up to eight bytes
# without looking at them, and following those would take 256**8 probes.
MAX_BYTES = 4
# The library reads lines in pieces of 254 characters (newline included).
MAX_LINE_CHARS = 253

# Name of the library's built-in identity table; it has no file.
BUILTIN_LATIN_1 = "LATIN_1"

# (canonical name, Python codec, aliases). The canonical name is the file
# name without ".ucm"; the library opens it case-sensitively. Aliases are
# matched case-insensitively by the tools, and each alias written with "-"
# is also listed with "_" (and the reverse), so both spellings resolve.
CODE_PAGES = [
    # Windows code pages
    ("CP874", "cp874", ["windows-874", "ms874", "874"]),
    ("CP1250", "cp1250", ["windows-1250", "ms1250", "1250", "x-cp1250"]),
    ("CP1251", "cp1251", ["windows-1251", "ms1251", "1251", "x-cp1251"]),
    ("CP1252", "cp1252", ["windows-1252", "ms1252", "1252", "x-cp1252"]),
    ("CP1253", "cp1253", ["windows-1253", "ms1253", "1253"]),
    ("CP1254", "cp1254", ["windows-1254", "ms1254", "1254"]),
    ("CP1255", "cp1255", ["windows-1255", "ms1255", "1255"]),
    ("CP1256", "cp1256", ["windows-1256", "ms1256", "1256"]),
    ("CP1257", "cp1257", ["windows-1257", "ms1257", "1257"]),
    ("CP1258", "cp1258", ["windows-1258", "ms1258", "1258"]),
    # ISO 8859 (part 12 was never published; part 1 is also built in as
    # LATIN_1, the file is shipped for loading by path and for symmetry)
    ("ISO-8859-1", "latin_1", ["iso8859-1", "iso_8859-1", "iso-ir-100",
                               "iso_8859-1:1987", "csisolatin1", "cp819",
                               "ibm819", "8859-1"]),
    ("ISO-8859-2", "iso8859_2", ["iso8859-2", "iso_8859-2", "latin2", "l2",
                                 "iso-ir-101", "csisolatin2", "8859-2"]),
    ("ISO-8859-3", "iso8859_3", ["iso8859-3", "iso_8859-3", "latin3", "l3",
                                 "iso-ir-109", "csisolatin3", "8859-3"]),
    ("ISO-8859-4", "iso8859_4", ["iso8859-4", "iso_8859-4", "latin4", "l4",
                                 "iso-ir-110", "csisolatin4", "8859-4"]),
    ("ISO-8859-5", "iso8859_5", ["iso8859-5", "iso_8859-5", "cyrillic",
                                 "iso-ir-144", "csisolatincyrillic",
                                 "8859-5"]),
    ("ISO-8859-6", "iso8859_6", ["iso8859-6", "iso_8859-6", "arabic",
                                 "asmo-708", "ecma-114", "iso-ir-127",
                                 "csisolatinarabic", "8859-6"]),
    ("ISO-8859-7", "iso8859_7", ["iso8859-7", "iso_8859-7", "greek",
                                 "greek8", "elot_928", "ecma-118",
                                 "iso-ir-126", "csisolatingreek", "8859-7"]),
    ("ISO-8859-8", "iso8859_8", ["iso8859-8", "iso_8859-8", "hebrew",
                                 "iso-ir-138", "csisolatinhebrew", "8859-8"]),
    ("ISO-8859-9", "iso8859_9", ["iso8859-9", "iso_8859-9", "latin5", "l5",
                                 "iso-ir-148", "csisolatin5", "8859-9"]),
    ("ISO-8859-10", "iso8859_10", ["iso8859-10", "iso_8859-10", "latin6",
                                   "l6", "iso-ir-157", "csisolatin6",
                                   "8859-10"]),
    ("ISO-8859-11", "iso8859_11", ["iso8859-11", "iso_8859-11", "thai",
                                   "8859-11"]),
    ("ISO-8859-13", "iso8859_13", ["iso8859-13", "iso_8859-13", "latin7",
                                   "l7", "8859-13"]),
    ("ISO-8859-14", "iso8859_14", ["iso8859-14", "iso_8859-14", "latin8",
                                   "l8", "iso-celtic", "iso-ir-199",
                                   "8859-14"]),
    ("ISO-8859-15", "iso8859_15", ["iso8859-15", "iso_8859-15", "latin9",
                                   "l9", "latin-9", "8859-15"]),
    ("ISO-8859-16", "iso8859_16", ["iso8859-16", "iso_8859-16", "latin10",
                                   "l10", "iso-ir-226", "8859-16"]),
    # DOS / OEM code pages
    ("CP437", "cp437", ["ibm437", "437", "cspc8codepage437"]),
    ("CP720", "cp720", ["ibm720", "720"]),
    ("CP737", "cp737", ["ibm737", "737"]),
    ("CP775", "cp775", ["ibm775", "775", "cspc775baltic"]),
    ("CP850", "cp850", ["ibm850", "850", "cspc850multilingual"]),
    ("CP852", "cp852", ["ibm852", "852", "cspcp852"]),
    ("CP855", "cp855", ["ibm855", "855", "csibm855"]),
    ("CP856", "cp856", ["ibm856", "856"]),
    ("CP857", "cp857", ["ibm857", "857", "csibm857"]),
    ("CP858", "cp858", ["ibm858", "858", "csibm858"]),
    ("CP860", "cp860", ["ibm860", "860", "csibm860"]),
    ("CP861", "cp861", ["ibm861", "861", "csibm861", "cp-is"]),
    ("CP862", "cp862", ["ibm862", "862", "cspc862latinhebrew"]),
    ("CP863", "cp863", ["ibm863", "863", "csibm863"]),
    ("CP864", "cp864", ["ibm864", "864", "csibm864"]),
    ("CP865", "cp865", ["ibm865", "865", "csibm865"]),
    ("CP866", "cp866", ["ibm866", "866", "csibm866"]),
    ("CP869", "cp869", ["ibm869", "869", "csibm869", "cp-gr"]),
    ("CP1006", "cp1006", ["ibm1006", "1006"]),
    ("CP1125", "cp1125", ["ibm1125", "1125", "cp866u", "ruscii"]),
    # EBCDIC code pages
    ("CP037", "cp037", ["ibm037", "ibm-037", "037", "csibm037",
                        "ebcdic-cp-us", "ebcdic-cp-ca", "ebcdic-cp-wt",
                        "ebcdic-cp-nl"]),
    ("CP273", "cp273", ["ibm273", "ibm-273", "273", "csibm273"]),
    ("CP424", "cp424", ["ibm424", "ibm-424", "424", "csibm424",
                        "ebcdic-cp-he"]),
    ("CP500", "cp500", ["ibm500", "ibm-500", "500", "csibm500",
                        "ebcdic-cp-be", "ebcdic-cp-ch"]),
    ("CP875", "cp875", ["ibm875", "ibm-875", "875"]),
    ("CP1026", "cp1026", ["ibm1026", "ibm-1026", "1026", "csibm1026"]),
    ("CP1140", "cp1140", ["ibm1140", "ibm-1140", "1140"]),
    # Cyrillic and other single-byte code pages
    ("KOI8-R", "koi8_r", ["koi8r", "cskoi8r"]),
    ("KOI8-U", "koi8_u", ["koi8u"]),
    ("KOI8-T", "koi8_t", ["koi8t"]),
    ("KZ1048", "kz1048", ["kz-1048", "rk1048", "strk1048-2002"]),
    ("PTCP154", "ptcp154", ["pt154", "cp154", "csptcp154", "cyrillic-asian"]),
    ("HP-ROMAN8", "hp_roman8", ["roman8", "r8", "cshproman8", "cp1051",
                                "ibm1051"]),
    ("TIS-620", "tis_620", ["tis620", "tis-620-0", "tis-620-2529-0",
                            "tis-620-2529-1", "iso-ir-166"]),
    ("PALMOS", "palmos", ["palm-os"]),
    # Mac code pages
    ("MACROMAN", "mac_roman", ["mac-roman", "macintosh", "mac", "csmacintosh",
                               "x-mac-roman"]),
    ("MACCYRILLIC", "mac_cyrillic", ["mac-cyrillic", "x-mac-cyrillic"]),
    ("MACGREEK", "mac_greek", ["mac-greek", "x-mac-greek"]),
    ("MACICELAND", "mac_iceland", ["mac-iceland", "x-mac-icelandic"]),
    ("MACLATIN2", "mac_latin2", ["mac-latin2", "maccentraleurope",
                                 "mac-centraleurope", "mac-centeuro",
                                 "x-mac-ce", "x-mac-centraleurroman"]),
    ("MACTURKISH", "mac_turkish", ["mac-turkish", "x-mac-turkish"]),
    ("MACARABIC", "mac_arabic", ["mac-arabic"]),
    ("MACCROATIAN", "mac_croatian", ["mac-croatian", "x-mac-croatian"]),
    ("MACFARSI", "mac_farsi", ["mac-farsi", "x-mac-farsi"]),
    ("MACROMANIAN", "mac_romanian", ["mac-romanian", "x-mac-romanian"]),
    # Multi-byte code pages
    ("SJIS", "cp932", ["shift-jis", "shiftjis", "s-jis", "x-sjis",
                       "csshiftjis", "windows-31j", "cswindows31j", "cp932",
                       "ms932", "ms-kanji", "mskanji", "ibm-943", "932"]),
    ("EUC-JP", "euc_jp", ["eucjp", "ujis", "u-jis", "x-euc-jp",
                          "cseucpkdfmtjapanese"]),
    ("GBK", "gbk", ["cp936", "ms936", "windows-936", "936", "csgbk"]),
    ("GB2312", "gb2312", ["euc-cn", "euccn", "eucgb2312-cn", "gb2312-1980",
                          "gb2312-80", "csgb2312", "chinese", "iso-ir-58",
                          "csiso58gb231280"]),
    ("BIG5", "big5", ["big-5", "big5-tw", "csbig5", "cn-big5", "x-x-big5"]),
    ("CP950", "cp950", ["ms950", "windows-950", "950", "big5-cp950"]),
    ("EUC-KR", "euc_kr", ["euckr", "cseuckr", "korean", "ksc5601",
                          "ks-c-5601", "ks-c-5601-1987", "ksx1001",
                          "ks-x-1001"]),
    ("CP949", "cp949", ["uhc", "ms949", "windows-949", "949"]),
    ("JOHAB", "johab", ["cp1361", "ms1361"]),
]

# Names for the library's built-in identity table.
LATIN_1_ALIASES = ["latin1", "latin-1", "l1", "latin"]


def repo_root():
    """The repository root: the parent of the folder holding this script."""
    return os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def python_version():
    """Major and minor version only, so that the files stay the same across
    patch releases of Python (their codec tables agree)."""
    return "%d.%d" % sys.version_info[:2]


class CodePage:
    """The mapping table of one code page, as the codec answers it."""

    def __init__(self, name, codec):
        self.name = name
        self.codec = codec
        self.decoded = {}        # bytes -> code point, representable ones
        self.lead_len = [0] * 256
        self.left_out = {"zero": 0, "astral": 0, "long": 0, "multi": 0}
        self.left_out_bytes = set()
        self.encoded = {}        # code point -> bytes, whatever it encodes to
        self.mappings = []       # (code point, bytes, precision)
        self.extra_encodings = 0
        self._decoder_factory = codecs.getincrementaldecoder(codec)

    # -- decoding -----------------------------------------------------------

    def _decode(self, seq):
        """The strict decode of seq, or None when it fails."""
        try:
            return seq.decode(self.codec)
        except UnicodeDecodeError:
            return None

    def _pending(self, seq):
        """True when the decoder takes seq as the start of a longer
        character: an incremental decode consumes it without output or
        error."""
        dec = self._decoder_factory()
        try:
            return dec.decode(seq, False) == ""
        except UnicodeDecodeError:
            return False

    def _note_length(self, seq):
        first = seq[0]
        have = self.lead_len[first]
        if have not in (0, len(seq)):
            raise SystemExit(
                "%s: byte %02X starts characters of %d and %d bytes; "
                "the lead-byte line cannot describe that"
                % (self.name, first, have, len(seq)))
        self.lead_len[first] = len(seq)

    def _found(self, seq, text):
        """Record the sequence seq, which decodes to text and has no shorter
        prefix that decodes."""
        if len(text) != 1:
            self.left_out["multi"] += 1
            self.left_out_bytes.add(seq)
            self._note_length(seq)
            return
        if 0 in seq:
            self.left_out["zero"] += 1
            self.left_out_bytes.add(seq)
            return
        self._note_length(seq)
        if ord(text) > 0xFFFF:
            self.left_out["astral"] += 1
            self.left_out_bytes.add(seq)
            return
        self.decoded[seq] = ord(text)

    def _walk(self, prefix):
        """Try every byte after prefix; follow the sequences that the decoder
        is still waiting on."""
        for b in range(256):
            seq = prefix + bytes((b,))
            text = self._decode(seq)
            if text is not None and text != "":
                self._found(seq, text)
            elif len(seq) < MAX_BYTES and self._pending(seq):
                self._walk(seq)

    def decode_all(self):
        self._walk(b"")
        # The library stops at a 0 byte; give it length 1 so the line names
        # every byte.
        self.lead_len[0] = 1

    # -- encoding -----------------------------------------------------------

    def encode_all(self):
        codec = self.codec
        for cp in range(1, 0x10000):
            if 0xD800 <= cp <= 0xDFFF:
                continue
            try:
                seq = chr(cp).encode(codec)
            except UnicodeEncodeError:
                continue
            self.encoded[cp] = seq

    # -- mapping table --------------------------------------------------------

    def _is_one_character(self, seq):
        return (len(seq) > 0 and 0 not in seq
                and self.lead_len[seq[0]] == len(seq))

    def classify(self):
        pairs = set()
        for seq, cp in self.decoded.items():
            precision = 0 if self.encoded.get(cp) == seq else 3
            pairs.add((cp, seq, precision))
        for cp, seq in self.encoded.items():
            if self.decoded.get(seq) == cp:
                continue
            if self._is_one_character(seq):
                pairs.add((cp, seq, 1))
            elif len(seq) > MAX_BYTES and self._decode(seq) == chr(cp):
                # One character, but longer than the format allows (EUC-KR
                # spells the Hangul syllables outside its table with eight
                # bytes).
                self.left_out["long"] += 1
            elif seq not in self.left_out_bytes:
                # The encoder writes several characters of this code page
                # (or a sequence the decoder rejects) for one code point.
                self.extra_encodings += 1
        self.mappings = sorted(pairs)

    def build(self):
        self.decode_all()
        self.encode_all()
        self.classify()
        return self

    # -- output ---------------------------------------------------------------

    def lead_byte_line(self):
        tokens = []
        start = 0
        for b in range(1, 257):
            if b == 256 or self.lead_len[b] != self.lead_len[start]:
                if b - 1 == start:
                    tokens.append("%02X:%d" % (start, self.lead_len[start]))
                else:
                    tokens.append("%02X-%02X:%d"
                                  % (start, b - 1, self.lead_len[start]))
                start = b
        return "<nox_lead_bytes> " + " ".join(tokens)

    def text(self):
        counts = {0: 0, 1: 0, 3: 0}
        for _, _, precision in self.mappings:
            counts[precision] += 1
        lo = self.left_out
        left_out_total = sum(lo.values())
        lines = [
            '<code_set_name> "%s"' % self.name,
            "# Generated by gen_ucm.py %s from the Python %s codec %s."
            % (GENERATOR_VERSION, python_version(), self.codec),
            "# Do not edit; regenerate with tools/gen_ucm.py.",
            "# Mappings: %d (round trip %d, decode only %d, encode only %d)."
            % (len(self.mappings), counts[0], counts[3], counts[1]),
            "# Left out: %d (with a 0 byte %d, beyond U+FFFF %d, "
            "longer than four bytes %d, several characters %d)."
            % (left_out_total, lo["zero"], lo["astral"], lo["long"],
               lo["multi"]),
            "# Precision: |0 round trip, |3 decode only, |1 encode only.",
            "# Longest character in bytes: %d." % max(self.lead_len),
            self.lead_byte_line(),
            "CHARMAP",
        ]
        for cp, seq, precision in self.mappings:
            lines.append("<U%04X> %s |%d" % (
                cp, "".join("\\x%02X" % b for b in seq), precision))
        lines.append("END CHARMAP")
        for line in lines:
            if len(line) > MAX_LINE_CHARS:
                raise SystemExit("%s: line too long for the loader: %s"
                                 % (self.name, line))
        return "\n".join(lines) + "\n"


def icu_aliases():
    """[(canonical, [aliases])] of the code pages imported from ICU, in the
    order of data/icu/aliases.txt (empty when there is none)."""
    path = os.path.join(repo_root(), "data", "icu", "aliases.txt")
    groups = []
    if not os.path.exists(path):
        return groups
    with open(path, encoding="ascii") as f:
        for line in f:
            fields = line.split()
            if len(fields) != 2 or fields[0].startswith("#"):
                continue
            alias, canonical = fields
            if not groups or groups[-1][0] != canonical:
                groups.append((canonical, []))
            if alias != canonical:
                groups[-1][1].append(alias)
    return groups


def alias_lines():
    """The alias table: one 'alias canonical' pair per line."""
    entries = [(BUILTIN_LATIN_1, LATIN_1_ALIASES, "the built-in table")]
    entries += [(name, aliases, "Python codec " + codec)
                for name, codec, aliases in CODE_PAGES]
    seen = {}
    out = [
        "# Code page aliases: one 'alias canonical' pair per line.",
        "# The canonical name is the code page file name without '.ucm' in",
        "# data/ucm (LATIN_1 is built into the library and has no file).",
        "# Aliases are compared case-insensitively; canonical names are used",
        "# as written. Blank lines and lines starting with '#' are ignored.",
        "# Every canonical name is listed as an alias of itself.",
        "# Generated by tools/gen_ucm.py; do not edit.",
    ]
    for canonical, aliases, source in entries:
        # The Python codec name is a soft alias: an earlier entry may own it
        # (latin_1 names the built-in table, not ISO-8859-1). A clash among
        # the listed aliases is an error in the table above.
        names = [(canonical, False)]
        codec = codec_name_of(canonical)
        candidates = [(codec, True)] if codec else []
        candidates += [(alias, False) for alias in aliases]
        for alias, soft in candidates:
            for variant in (alias, alias.replace("-", "_"),
                            alias.replace("_", "-")):
                if variant not in [n for n, _ in names]:
                    names.append((variant, soft))
        out.append("")
        out.append("# %s (%s)" % (canonical, source))
        for alias, soft in names:
            key = alias.lower()
            if key in seen:
                if seen[key] != canonical and not soft:
                    raise SystemExit("alias %s names both %s and %s"
                                     % (alias, seen[key], canonical))
                continue
            seen[key] = canonical
            out.append("%s %s" % (alias, canonical))
    groups = icu_aliases()
    if groups:
        out.append("")
        out.append("# Code pages imported from ICU (tools/gen_icu_ucm.py), with the aliases of")
        out.append("# ICU's convrtrs.txt; a name used above keeps its code page.")
    for canonical, aliases in groups:
        names = [a for a in [canonical] + aliases if a.lower() not in seen]
        if not names:
            continue
        out.append("")
        out.append("# %s (ICU)" % canonical)
        for alias in names:
            seen[alias.lower()] = canonical
            out.append("%s %s" % (alias, canonical))
    return "\n".join(out) + "\n"


def codec_name_of(canonical):
    for name, codec, _ in CODE_PAGES:
        if name == canonical:
            return codec
    return None


def write_file(path, text):
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(text)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Generate UCM code page files and the alias table from "
                    "Python's built-in codecs.")
    parser.add_argument(
        "--out", metavar="DIR",
        help="folder for the .ucm files (default: data/ucm in the repository;"
             " the alias table then goes to data/aliases.txt)")
    parser.add_argument(
        "--aliases", metavar="FILE",
        help="write the alias table to FILE (default: data/aliases.txt when "
             "--out is not given, otherwise not written)")
    parser.add_argument(
        "--only", metavar="NAME", nargs="+",
        help="generate only these code pages (canonical names)")
    parser.add_argument(
        "--list", action="store_true",
        help="print the canonical names and their Python codecs, then exit")
    parser.add_argument(
        "--aliases-only", action="store_true",
        help="write only the alias table (data/aliases.txt, or --aliases)")
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="print no summary")
    args = parser.parse_args(argv)

    if args.aliases_only:
        write_file(args.aliases or os.path.join(repo_root(), "data", "aliases.txt"),
                   alias_lines())
        return 0

    if args.list:
        for name, codec, _ in CODE_PAGES:
            print("%-12s %s" % (name, codec))
        return 0

    root = repo_root()
    out_dir = args.out
    aliases_path = args.aliases
    if out_dir is None:
        out_dir = os.path.join(root, "data", "ucm")
        if aliases_path is None:
            aliases_path = os.path.join(root, "data", "aliases.txt")

    selected = CODE_PAGES
    if args.only:
        # Canonical names are upper case; accept them in any case here.
        wanted = {n.upper() for n in args.only}
        known = {name for name, _, _ in CODE_PAGES}
        unknown = sorted(wanted - known)
        if unknown:
            parser.error("unknown code page(s): %s (see --list)"
                         % " ".join(unknown))
        selected = [cp for cp in CODE_PAGES if cp[0] in wanted]

    os.makedirs(out_dir, exist_ok=True)
    started = time.monotonic()
    for name, codec, _ in selected:
        page = CodePage(name, codec).build()
        text = page.text()
        write_file(os.path.join(out_dir, name + ".ucm"), text)
        if page.extra_encodings:
            print("%s: %d code points encode to more than one character; "
                  "left out" % (name, page.extra_encodings), file=sys.stderr)
        if not args.quiet:
            print("%-12s %6d mappings %6d left out  longest %d"
                  % (name, len(page.mappings), sum(page.left_out.values()),
                     max(page.lead_len)))
    if aliases_path:
        write_file(aliases_path, alias_lines())
    if not args.quiet:
        print("%d code pages in %.1f s" % (len(selected),
                                           time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Tests of the noxconv command-line converter, run against the built binary.

Usage: test_noxconv.py --noxconv PATH --data DIR [--samples DIR] [unittest arguments]

DIR is the data folder (ucm/*.ucm and aliases.txt). Tests that need the shipped code pages
are skipped when DIR/ucm does not exist. Python's codecs serve as an independent oracle.
"""

import argparse
import codecs
import errno
import glob
import os
import re
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

NOXCONV = None
DATA = None
SAMPLES = None
HERE = os.path.dirname(os.path.abspath(__file__))

# Multi-byte code pages and the Python codecs they were made from.
MULTI_BYTE = ["SJIS", "EUC-JP", "GBK", "GB2312", "BIG5", "CP950", "EUC-KR", "CP949", "JOHAB"]

# A small code page with characters of one to four bytes; lead byte 0x80 and 0x84 to 0xFF
# start no character.
TINY_UCM = """<code_set_name> "TINY"
<nox_lead_bytes> 00-7F:1 80:0 81:2 82:3 83:4 84-FF:0
CHARMAP
""" + "".join("<U%04X> \\x%02X |0\n" % (b, b) for b in range(1, 0x80)) + """<U3042> \\x81\\x40 |0
<U3044> \\x82\\x40\\x40 |0
<U3046> \\x83\\x40\\x40\\x40 |0
<U00E9> \\x81\\x41 |0
END CHARMAP
"""


def ucm_dir():
    return os.path.join(DATA, "ucm")


def shipped_code_pages():
    return sorted(os.path.basename(p)[:-4] for p in glob.glob(os.path.join(ucm_dir(), "*.ucm")))


def parse_ucm(path):
    """The mapping lines of a UCM file: a list of (code point, bytes, precision)."""
    pattern = re.compile(r"^<U([0-9A-Fa-f]{4})>\s+((?:\\x[0-9A-Fa-f]{2})+)\s+\|(\d)")
    mappings = []
    with open(path, encoding="ascii") as f:
        for line in f:
            m = pattern.match(line)
            if m:
                raw = bytes(int(h, 16) for h in re.findall(r"\\x([0-9A-Fa-f]{2})", m.group(2)))
                mappings.append((int(m.group(1), 16), raw, int(m.group(3))))
    return mappings


def python_codec_of(name):
    """The Python codec named in a generated UCM file's header, or None."""
    with open(os.path.join(ucm_dir(), name + ".ucm"), encoding="ascii") as f:
        for line in f:
            m = re.search(r"from the Python [\d.]+ codec (\S+)\.$", line.strip())
            if m:
                return m.group(1)
            if line.startswith("CHARMAP"):
                break
    return None


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("NOX_", "QV_", "NOXUNICODE_"))}
    env.update(extra)
    return env


class NoxconvCase(unittest.TestCase):
    """Runs noxconv with the shipped data folder unless a test says otherwise."""

    def run_nox(self, *args, stdin=b"", env=None, cwd=None):
        if env is None:
            env = clean_env(NOX_UCM_PATH=ucm_dir())
        return subprocess.run([NOXCONV] + list(args), input=stdin, env=env, cwd=cwd,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)

    def convert(self, source, target, data, *extra, **kw):
        r = self.run_nox("-f", source, "-t", target, *extra, stdin=data, **kw)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r.stdout

    def require_data(self, *names):
        if not os.path.isdir(ucm_dir()):
            self.skipTest("no shipped code pages in " + ucm_dir())
        for name in names:
            if not os.path.exists(os.path.join(ucm_dir(), name + ".ucm")):
                self.skipTest(name + " is not shipped")

    def tiny_dir(self):
        """A folder holding TINY.ucm, removed after the test."""
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        with open(os.path.join(folder.name, "TINY.ucm"), "w", encoding="ascii") as f:
            f.write(TINY_UCM)
        return folder.name

    def tiny_env(self):
        return clean_env(NOX_UCM_PATH=self.tiny_dir())


class RoundTripTest(NoxconvCase):
    def test_every_shipped_code_page_round_trips_its_mapping_table(self):
        self.require_data()
        names = shipped_code_pages()
        self.assertTrue(names)
        for name in names:
            with self.subTest(code_page=name):
                pairs = [(cp, raw) for cp, raw, prec in parse_ucm(os.path.join(ucm_dir(), name + ".ucm"))
                         if prec == 0 and not 0xD800 <= cp <= 0xDFFF]
                self.assertTrue(pairs)
                encoded = b"".join(raw for _, raw in pairs)
                text = "".join(chr(cp) for cp, _ in pairs).encode("utf-8")
                self.assertEqual(self.convert(name, "UTF-8", encoded), text)
                self.assertEqual(self.convert("UTF-8", name, text), encoded)

    def test_builtin_latin1_maps_every_byte_to_the_same_code_point(self):
        raw = bytes(range(1, 256))
        out = self.convert("LATIN_1", "UTF-16BE", raw, env=self.tiny_env())
        self.assertEqual(out, raw.decode("latin-1").encode("utf-16-be"))
        self.assertEqual(self.convert("UTF-16BE", "LATIN_1", out, env=self.tiny_env()), raw)

    def test_multibyte_characters_of_every_length_round_trip(self):
        raw = b"A\x81\x40B\x82\x40\x40C\x83\x40\x40\x40\x81\x41"
        text = "A\u3042B\u3044C\u3046\u00e9".encode("utf-8")
        env = self.tiny_env()
        self.assertEqual(self.convert("TINY", "UTF-8", raw, env=env), text)
        self.assertEqual(self.convert("UTF-8", "TINY", text, env=env), raw)


class PythonOracleTest(NoxconvCase):
    TEXT = ("Hello, wörld! Grüße, ½ ¤ ‰ ™ € — “quotes” Ελληνικά Русский текст Українська "
            "עברית العربية ไทย Tiếng Việt ŠŽšžŁł ğışĞİŞ 日本語テキスト ｶﾀｶﾅ 中文字符 繁體中文 "
            "한국어 텍스트 ①② ㈱\n")

    def test_sample_text_matches_python_codecs_in_both_directions(self):
        self.require_data()
        checked = 0
        for name in shipped_code_pages():
            codec = python_codec_of(name)
            if codec is None:
                continue
            with self.subTest(code_page=name, codec=codec):
                text = "".join(c for c in self.TEXT if self._round_trips(c, codec))
                encoded = text.encode(codec)
                self.assertEqual(self.convert(name, "UTF-8", encoded), text.encode("utf-8"))
                self.assertEqual(self.convert("UTF-8", name, text.encode("utf-8")), encoded)
                checked += 1
        self.assertGreater(checked, 0)

    @staticmethod
    def _round_trips(char, codec):
        try:
            return char.encode(codec).decode(codec) == char
        except UnicodeError:
            return False

    def test_shipped_japanese_sample_matches_its_utf8_twin(self):
        self.require_data("SJIS")
        with open(os.path.join(SAMPLES, "japanese.sjis.txt"), "rb") as f:
            sjis = f.read()
        with open(os.path.join(SAMPLES, "japanese.utf8.txt"), "rb") as f:
            utf8 = f.read()
        self.assertEqual(sjis.decode("cp932").encode("utf-8"), utf8)
        r = self.run_nox("-f", "SJIS", "-t", "UTF-8", os.path.join(SAMPLES, "japanese.sjis.txt"))
        self.assertEqual((r.returncode, r.stdout), (0, utf8))
        self.assertEqual(self.convert("UTF-8", "SJIS", utf8), sjis)


class ChunkBoundaryTest(NoxconvCase):
    SIZES = ["1", "2", "3", "4", "5", "7", "13"]

    def assert_same_in_every_chunk_size(self, source, target, data, expected, env=None):
        for size in self.SIZES:
            with self.subTest(source=source, target=target, chunk=size):
                out = self.convert(source, target, data, "--chunk-size=" + size, env=env)
                self.assertEqual(out, expected)

    def test_multibyte_code_pages_cut_inside_characters(self):
        self.require_data()
        for name in MULTI_BYTE:
            path = os.path.join(ucm_dir(), name + ".ucm")
            if not os.path.exists(path):
                continue
            pairs = [(cp, raw) for cp, raw, prec in parse_ucm(path) if prec == 0]
            # Long characters next to ASCII, so that every cut position occurs.
            sample = [p for p in pairs if len(p[1]) > 1][::97] + [p for p in pairs if p[0] < 0x80][::11]
            sample.sort(key=lambda p: (p[0] * 7919) % 1009)
            raw = b"".join(r for _, r in sample)
            text = "".join(chr(cp) for cp, _ in sample).encode("utf-8")
            self.assert_same_in_every_chunk_size(name, "UTF-8", raw, text)
            self.assert_same_in_every_chunk_size("UTF-8", name, text, raw)

    def test_four_byte_characters_of_a_code_page(self):
        raw = b"\x83\x40\x40\x40A\x82\x40\x40\x81\x40" * 5
        text = ("\u3046A\u3044\u3042" * 5).encode("utf-16-be")
        env = self.tiny_env()
        self.assert_same_in_every_chunk_size("TINY", "UTF-16BE", raw, text, env=env)
        self.assert_same_in_every_chunk_size("UTF-16BE", "TINY", text, raw, env=env)

    def test_unicode_forms_cut_inside_characters_and_surrogate_pairs(self):
        text = "aé€😀\U0010FFFFz" * 4
        forms = [("UTF-8", "utf-8"), ("UTF-16LE", "utf-16-le"), ("UTF-16BE", "utf-16-be"),
                 ("UTF-32LE", "utf-32-le"), ("UTF-32BE", "utf-32-be")]
        for source, scodec in forms:
            for target, tcodec in forms:
                self.assert_same_in_every_chunk_size(source, target, text.encode(scodec),
                                                     text.encode(tcodec), env=self.tiny_env())


class NulTest(NoxconvCase):
    """A 0 byte or unit ends every library call; noxconv writes it and goes on."""

    CASES = [
        ("code page to UTF-8", "TINY", "UTF-8", b"a\x00\x81\x40\x00\x00b\x00", "a\0\u3042\0\0b\0".encode("utf-8")),
        ("leading NUL", "TINY", "UTF-8", b"\x00\x00x", b"\x00\x00x"),
        ("UTF-8 to code page", "UTF-8", "TINY", "\0a\0\u3046".encode("utf-8"), b"\x00a\x00\x83\x40\x40\x40"),
        ("UTF-16 to code page", "UTF-16BE", "TINY", "x\0y".encode("utf-16-be"), b"x\x00y"),
        ("code page to UTF-16", "TINY", "UTF-16", b"x\x00y", "x\0y".encode("utf-16")),
        ("code page to code page", "TINY", "LATIN_1", b"\x00a\x00\x00b", b"\x00a\x00\x00b"),
        ("UTF-32 to UTF-8", "UTF-32LE", "UTF-8", "a\0b".encode("utf-32-le"), b"a\x00b"),
    ]

    def test_nul_is_written_and_the_text_after_it_kept(self):
        env = self.tiny_env()
        for name, source, target, data, expected in self.CASES:
            for size in ("1", "3", "65536"):
                with self.subTest(name, chunk=size):
                    out = self.convert(source, target, data, "--chunk-size=" + size, env=env)
                    self.assertEqual(out, expected)

    def test_nul_after_a_lead_byte_is_not_swallowed(self):
        # 0x81 wants a second byte; the 0 after it is text of its own.
        r = self.run_nox("-f", "TINY", "-t", "UTF-8", "--on-error=replace",
                         stdin=b"a\x81\x00b", env=self.tiny_env())
        self.assertEqual((r.returncode, r.stdout), (0, "a\ufffd\0b".encode("utf-8")))


class ErrorModeTest(NoxconvCase):
    # (name, from, to, input, options, expected output, exit status, stderr pattern)
    CASES = [
        ("unmapped 2-byte, stop", "TINY", "UTF-8", b"a\x81\x42b", [], b"a", 1,
         r"no mapping for \\x81\\x42 in TINY"),
        ("unmapped 2-byte, skip", "TINY", "UTF-8", b"a\x81\x42b", ["--on-error=skip"], b"ab", 0,
         r"1 character\(s\) could not be converted and were skipped"),
        ("unmapped 2-byte, replace", "TINY", "UTF-8", b"a\x81\x42b", ["--on-error=replace"],
         "a\ufffdb".encode(), 0, r"were replaced"),
        ("unmapped 3-byte, skip", "TINY", "UTF-8", b"a\x82\x41\x42b", ["--on-error=skip"], b"ab", 0, r"could not be converted"),
        ("unmapped 4-byte, replace", "TINY", "UTF-8", b"a\x83\x41\x42\x43b", ["--on-error=replace"],
         "a\ufffdb".encode(), 0, r"could not be converted"),
        ("byte that starts nothing, replace", "TINY", "UTF-8", b"a\x90\x40b", ["--on-error=replace"],
         "a\ufffd@b".encode(), 0, r"could not be converted"),
        ("quiet replace", "TINY", "UTF-8", b"\x90", ["--on-error=replace", "-q"], "\ufffd".encode(), 0, "^$"),
        ("unwritable, stop", "UTF-8", "TINY", "x€y".encode(), [], b"x", 1, r"no mapping for U\+20AC in TINY"),
        ("unwritable, skip", "UTF-8", "TINY", "x€y€".encode(), ["--on-error=skip"], b"xy", 0,
         r"2 character\(s\)"),
        ("unwritable, replace", "UTF-8", "TINY", "x€y".encode(), ["--on-error=replace"], b"x?y", 0, r"could not be converted"),
        ("astral to code page, replace", "UTF-8", "TINY", "x😀y".encode(), ["--on-error=replace"],
         b"x?y", 0, r"1 character"),
        ("astral to code page, stop", "UTF-16LE", "TINY", "x😀".encode("utf-16-le"), [], b"x", 1,
         r"no mapping for U\+1F600 in TINY"),
        ("replacement that the target lacks", "TINY", "LATIN_1", b"a\x90b", ["--on-error=replace"],
         b"a?b", 0, r"^noxconv: 1 character"),
        ("lone UTF-16 surrogate, replace", "UTF-16BE", "UTF-8", b"\x00a\xdc\x00\x00b", ["--on-error=replace"],
         "a\ufffdb".encode(), 0, r"could not be converted"),
        ("lone UTF-16 surrogate, stop", "UTF-16BE", "UTF-8", b"\x00a\xd8\x00\x00b", [], b"a", 1,
         r"unpaired surrogate U\+D800 in UTF-16BE"),
        ("UTF-32 out of range, skip", "UTF-32BE", "UTF-8", b"\x00\x00\x00a\x00\x11\x00\x00\x00\x00\x00b",
         ["--on-error=skip"], b"ab", 0, r"could not be converted"),
        ("UTF-32 surrogate, stop", "UTF-32LE", "UTF-8", b"\x00\xd8\x00\x00", [], b"", 1,
         r"invalid code point 0x0000D800 in UTF-32LE"),
        ("odd UTF-16, stop", "UTF-16LE", "UTF-8", b"a\x00b", [], b"a", 1,
         r"incomplete character \\x62 at end of input in UTF-16LE"),
        ("cut code page character at end", "TINY", "UTF-8", b"ab\x83\x40", [], b"ab", 1,
         r"incomplete character \\x83\\x40 at end of input in TINY"),
        ("cut code page character at end, replace", "TINY", "UTF-8", b"ab\x83\x40", ["--on-error=replace"],
         "ab\ufffd".encode(), 0, r"could not be converted"),
    ]

    def test_error_modes(self):
        env = self.tiny_env()
        for name, source, target, data, options, out, status, pattern in self.CASES:
            for size in ("2", "65536"):
                with self.subTest(name, chunk=size):
                    r = self.run_nox("-f", source, "-t", target, "--chunk-size=" + size, *options,
                                     stdin=data, env=env)
                    err = r.stderr.decode()
                    self.assertEqual((r.returncode, r.stdout), (status, out), err)
                    self.assertRegex(err, pattern)
                    self.assertNotIn("No mapping", err)  # the library's own line is not shown

    def test_illegal_utf8_is_replaced_like_python_does(self):
        samples = [b"a\xc3(b", b"\xed\xa0\x80x", b"\xf0\x9f\x98", b"\xf0\x9f\x98z", b"\xc0\xafq",
                   b"\xe0\x80\x80", b"\xf4\x90\x80\x80!", b"\xf8\x88\x80\x80\x80", b"\x80\xbf",
                   b"ok\xe2\x82", b"\xfe\xff", "é".encode() + b"\xe2\x28\xa1"]
        for data in samples:
            expected = data.decode("utf-8", "replace")
            for size in ("1", "3", "65536"):
                with self.subTest(data=data, chunk=size):
                    out = self.convert("UTF-8", "UTF-16BE", data, "--on-error=replace",
                                       "--chunk-size=" + size, env=self.tiny_env())
                    self.assertEqual(out.decode("utf-16-be"), expected)
                    skipped = self.convert("UTF-8", "UTF-8", data, "--on-error=skip",
                                           "--chunk-size=" + size, env=self.tiny_env())
                    self.assertEqual(skipped, data.decode("utf-8", "ignore").encode())

    def test_best_effort_passes_unmapped_bytes_and_latin1_range_through(self):
        env = self.tiny_env()
        r = self.run_nox("--best-effort", "-f", "TINY", "-t", "UTF-8", stdin=b"a\x90\xa4b", env=env)
        self.assertEqual((r.returncode, r.stdout), (0, "a\x90\xa4b".encode()))
        r = self.run_nox("--best-effort", "-f", "UTF-8", "-t", "TINY", stdin="é¤".encode(), env=env)
        self.assertEqual((r.returncode, r.stdout), (0, b"\x81\x41\xa4"))
        r = self.run_nox("--best-effort", "-f", "UTF-8", "-t", "TINY", stdin="a€".encode(), env=env)
        self.assertEqual((r.returncode, r.stdout), (1, b"a"))
        self.assertIn("no mapping for U+20AC in TINY", r.stderr.decode())
        # Without the option the same input stops.
        r = self.run_nox("-f", "TINY", "-t", "UTF-8", stdin=b"a\x90", env=env)
        self.assertEqual(r.returncode, 1)


class UsageTest(NoxconvCase):
    CASES = [
        (["--bogus"], r"unknown option '--bogus'"),
        (["--on-error=maybe"], r"invalid --on-error mode 'maybe'"),
        (["--chunk-size=0"], r"invalid chunk size '0'"),
        (["--chunk-size=12k"], r"invalid chunk size"),
        (["-f"], r"needs a value"),
        (["-f", "NO-SUCH-PAGE"], r"unknown code page 'NO-SUCH-PAGE'"),
        (["-t", "NO-SUCH-PAGE"], r"unknown code page 'NO-SUCH-PAGE'"),
        (["-f", "/no/such/file.ucm"], r"cannot read code page file /no/such/file.ucm"),
        (["-f", "LATIN_1", "/no/such/input"], r"cannot open /no/such/input"),
        (["-f", "LATIN_1", "-o", "/no/such/dir/out.txt"], r"cannot create output file"),
        (["--dump", "UTF-8"], r"not a code page"),
        (["--dump", "NO-SUCH-PAGE"], r"unknown code page"),
    ]

    def test_usage_and_file_errors_exit_with_2(self):
        for args, pattern in self.CASES:
            with self.subTest(args=args):
                r = self.run_nox(*args, stdin=b"x", env=self.tiny_env())
                self.assertEqual(r.returncode, 2)
                self.assertRegex(r.stderr.decode(), pattern)
                self.assertEqual(r.stdout, b"")

    def test_unusable_code_page_file_is_refused(self):
        folder = self.tiny_dir()
        path = os.path.join(folder, "EMPTY.ucm")
        with open(path, "w") as f:
            f.write("<U0041> \\x41 |0\n")  # no lead-byte line
        r = self.run_nox("-f", path, stdin=b"A", env=self.tiny_env())
        self.assertEqual(r.returncode, 2)
        self.assertIn("holds no usable table", r.stderr.decode())

    def test_help(self):
        r = self.run_nox("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"Exit status", r.stdout)
        self.assertIn(b"--on-error", r.stdout)


class LocationTest(NoxconvCase):
    # (name, from, to, input, expected location and problem)
    CASES = [
        ("decoding", "TINY", "UTF-8", b"ab\ncd\x81\x42e", r":2:3 \(byte 5\): no mapping for \\x81\\x42 in TINY"),
        ("encoding", "UTF-8", "LATIN_1", "héllo\nwörld€".encode(), r":2:6 \(byte 13\): no mapping for U\+20AC in LATIN_1"),
        ("after a NUL", "UTF-8", "LATIN_1", "a\0b€".encode(), r":1:4 \(byte 3\):"),
        ("after a byte order mark", "UTF-16", "TINY", "ab€".encode("utf-16"), r":1:3 \(byte 6\): no mapping for U\+20AC"),
        ("astral", "UTF-8", "LATIN_1", "x😀".encode(), r":1:2 \(byte 1\): no mapping for U\+1F600 in LATIN_1"),
        ("multi-byte before", "TINY", "LATIN_1", b"\x83\x40\x40\x40", r":1:1 \(byte 0\): no mapping for U\+3046"),
        ("far in", "UTF-8", "LATIN_1", ("é" * 1000 + "\n" * 3 + "xy€").encode(), r":4:3 \(byte 2005\)"),
        ("illegal UTF-8", "UTF-8", "UTF-16LE", b"ok\n\xff", r":2:1 \(byte 3\): invalid UTF-8 sequence \\xFF"),
        ("cut UTF-8", "UTF-8", "UTF-16LE", b"ok\xe2\x82", r":1:3 \(byte 2\): incomplete UTF-8 sequence \\xE2\\x82 at end of input"),
    ]

    def test_location_is_the_same_in_every_chunk_size(self):
        env = self.tiny_env()
        for name, source, target, data, pattern in self.CASES:
            for size in ("1", "2", "3", "7", "65536"):
                with self.subTest(name, chunk=size):
                    r = self.run_nox("-f", source, "-t", target, "--chunk-size=" + size, stdin=data, env=env)
                    self.assertEqual(r.returncode, 1)
                    self.assertRegex(r.stderr.decode(), "^noxconv: <stdin>" + pattern)

    def test_file_names_and_offsets_per_file(self):
        folder = self.tiny_dir()
        first = os.path.join(folder, "one.txt")
        second = os.path.join(folder, "two.txt")
        with open(first, "wb") as f:
            f.write(b"fine\n")
        with open(second, "wb") as f:
            f.write(b"x\n\x81\x42")
        r = self.run_nox("-f", "TINY", "-t", "UTF-8", first, second, env=self.tiny_env())
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b"fine\nx\n")
        self.assertEqual(r.stderr.decode(), "noxconv: %s:2:1 (byte 2): no mapping for \\x81\\x42 in TINY\n" % second)


class AtomicOutputTest(NoxconvCase):
    def setUp(self):
        self.folder = self.tiny_dir()
        self.target = os.path.join(self.folder, "out.txt")

    def leftovers(self):
        return [n for n in os.listdir(self.folder) if "noxconv" in n]

    def test_failed_conversion_leaves_existing_output_untouched(self):
        with open(self.target, "wb") as f:
            f.write(b"old content")
        for mode in ("stop",):
            r = self.run_nox("-f", "UTF-8", "-t", "TINY", "-o", self.target, "--on-error=" + mode,
                             stdin=b"good" * 50000 + "€".encode(), env=clean_env(NOX_UCM_PATH=self.folder))
            self.assertEqual(r.returncode, 1)
            with open(self.target, "rb") as f:
                self.assertEqual(f.read(), b"old content")
            self.assertEqual(self.leftovers(), [])

    def test_failed_conversion_creates_no_output(self):
        r = self.run_nox("-f", "UTF-8", "-t", "TINY", "-o", self.target, stdin="€".encode(),
                         env=clean_env(NOX_UCM_PATH=self.folder))
        self.assertEqual(r.returncode, 1)
        self.assertFalse(os.path.exists(self.target))
        self.assertEqual(self.leftovers(), [])

    def test_missing_input_leaves_no_output(self):
        r = self.run_nox("-f", "LATIN_1", "-o", self.target, os.path.join(self.folder, "absent"))
        self.assertEqual(r.returncode, 2)
        self.assertFalse(os.path.exists(self.target))
        self.assertEqual(self.leftovers(), [])

    def test_success_replaces_the_file_and_keeps_its_mode(self):
        with open(self.target, "wb") as f:
            f.write(b"old content that is longer")
        os.chmod(self.target, 0o640)
        r = self.run_nox("-f", "LATIN_1", "-t", "UTF-8", "-o", self.target, stdin=b"\xe9t\xe9")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.target, "rb") as f:
            self.assertEqual(f.read(), "été".encode())
        self.assertEqual(stat.S_IMODE(os.stat(self.target).st_mode), 0o640)
        self.assertEqual(r.stdout, b"")
        self.assertEqual(self.leftovers(), [])

    def test_input_may_be_the_output(self):
        with open(self.target, "wb") as f:
            f.write(b"caf\xe9")
        r = self.run_nox("-f", "LATIN_1", "-o", self.target, self.target)
        self.assertEqual(r.returncode, 0)
        with open(self.target, "rb") as f:
            self.assertEqual(f.read(), "café".encode())

    def test_output_through_a_link_replaces_the_file_and_keeps_the_link(self):
        real = os.path.join(self.folder, "real.txt")
        with open(real, "wb") as f:
            f.write(b"old")
        os.symlink(real, self.target)
        r = self.run_nox("-f", "LATIN_1", "-o", self.target, stdin=b"\xe9")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.islink(self.target))
        with open(real, "rb") as f:
            self.assertEqual(f.read(), "é".encode())
        self.assertEqual(self.leftovers(), [])

    def test_output_to_a_device_writes_it_directly(self):
        r = self.run_nox("-f", "LATIN_1", "-o", os.devnull, stdin=b"x")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(stat.S_ISCHR(os.stat(os.devnull).st_mode))

    def test_named_pipes_as_input_and_output(self):
        source = os.path.join(self.folder, "in.fifo")
        sink = os.path.join(self.folder, "out.fifo")
        os.mkfifo(source)
        os.mkfifo(sink)
        proc = subprocess.Popen([NOXCONV, "-f", "LATIN_1", "-o", sink, source],
                                stderr=subprocess.PIPE, env=clean_env())
        result = {}

        def drain():
            with open(sink, "rb") as r:
                result["out"] = r.read()

        # noxconv opens its output before its input; neither side may wait on the other.
        reader = threading.Thread(target=drain, daemon=True)
        reader.start()
        fd = self.open_fifo_for_writing(source, proc)
        os.write(fd, b"caf\xe9" * 1000)
        os.close(fd)
        proc.communicate(timeout=30)
        reader.join(timeout=30)
        self.assertEqual((proc.returncode, result.get("out")), (0, "café".encode() * 1000))

    @staticmethod
    def open_fifo_for_writing(path, proc):
        """Opens a named pipe once its reader has opened it, without waiting forever."""
        deadline = time.monotonic() + 30
        while True:
            try:
                fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
                os.set_blocking(fd, True)
                return fd
            except OSError as e:
                if e.errno != errno.ENXIO or proc.poll() is not None or time.monotonic() > deadline:
                    raise
                time.sleep(0.01)

    def test_ignored_hangup_stays_ignored(self):
        # As under nohup: the signal must not end the conversion.
        proc = subprocess.Popen([NOXCONV, "-f", "LATIN_1", "-o", self.target], stdin=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=clean_env(),
                                preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
        proc.stdin.write(b"a")
        proc.stdin.flush()
        deadline = time.monotonic() + 30
        while not self.leftovers() and time.monotonic() < deadline:
            time.sleep(0.01)
        proc.send_signal(signal.SIGHUP)
        proc.stdin.write(b"b")
        proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 0)
        with open(self.target, "rb") as f:
            self.assertEqual(f.read(), b"ab")

    def test_interrupted_conversion_removes_its_temporary_file(self):
        with open(self.target, "wb") as f:
            f.write(b"old")
        proc = subprocess.Popen([NOXCONV, "-f", "LATIN_1", "-o", self.target], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=clean_env())
        proc.stdin.write(b"x" * 1000)
        proc.stdin.flush()
        deadline = time.monotonic() + 30
        while not self.leftovers() and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertTrue(self.leftovers())
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, -signal.SIGTERM)
        self.assertEqual(self.leftovers(), [])
        with open(self.target, "rb") as f:
            self.assertEqual(f.read(), b"old")


class UnicodeFormsTest(NoxconvCase):
    TEXT = "Aé€😀\u3042"

    def test_byte_order_marks_on_input(self):
        text = self.TEXT
        cases = [
            ("UTF-16 with little-endian mark", "UTF-16", codecs.BOM_UTF16_LE + text.encode("utf-16-le"), text),
            ("UTF-16 with big-endian mark", "UTF-16", codecs.BOM_UTF16_BE + text.encode("utf-16-be"), text),
            ("UTF-16 without mark is big-endian", "UTF-16", text.encode("utf-16-be"), text),
            ("UTF-32 with little-endian mark", "UTF-32", codecs.BOM_UTF32_LE + text.encode("utf-32-le"), text),
            ("UTF-32 with big-endian mark", "UTF-32", codecs.BOM_UTF32_BE + text.encode("utf-32-be"), text),
            ("UTF-32 without mark is big-endian", "UTF-32", text.encode("utf-32-be"), text),
            ("UTF-16LE keeps a leading U+FEFF", "UTF-16LE", "\ufeffx".encode("utf-16-le"), "\ufeffx"),
            ("UTF-32BE keeps a leading U+FEFF", "UTF-32BE", "\ufeffx".encode("utf-32-be"), "\ufeffx"),
            ("UTF-8 keeps a leading U+FEFF", "UTF-8", "\ufeffx".encode("utf-8"), "\ufeffx"),
            ("mark alone", "UTF-16", codecs.BOM_UTF16_LE, ""),
            ("empty", "UTF-32", b"", ""),
        ]
        for name, source, data, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.convert(source, "UTF-8", data, env=clean_env()), expected.encode())

    def test_output_forms_match_python(self):
        text = self.TEXT
        for target, codec in [("UTF-8", "utf-8"), ("UTF-16LE", "utf-16-le"), ("UTF-16BE", "utf-16-be"),
                              ("UTF-32LE", "utf-32-le"), ("UTF-32BE", "utf-32-be")]:
            with self.subTest(target):
                self.assertEqual(self.convert("UTF-8", target, text.encode(), env=clean_env()),
                                 text.encode(codec))
        # Without a suffix: little-endian after a byte order mark, even for empty input.
        for target, bom, codec in [("UTF-16", codecs.BOM_UTF16_LE, "utf-16-le"),
                                   ("UTF-32", codecs.BOM_UTF32_LE, "utf-32-le")]:
            with self.subTest(target):
                self.assertEqual(self.convert("UTF-8", target, text.encode(), env=clean_env()),
                                 bom + text.encode(codec))
                self.assertEqual(self.convert("UTF-8", target, b"", env=clean_env()), bom)

    def test_byte_order_mark_is_read_per_file_and_written_once(self):
        folder = self.tiny_dir()
        paths = []
        for i, data in enumerate([codecs.BOM_UTF16_LE + "ab".encode("utf-16-le"),
                                  codecs.BOM_UTF16_BE + "cd".encode("utf-16-be")]):
            paths.append(os.path.join(folder, "in%d" % i))
            with open(paths[-1], "wb") as f:
                f.write(data)
        r = self.run_nox("-f", "UTF-16", "-t", "UTF-16", *paths, env=clean_env())
        self.assertEqual((r.returncode, r.stdout), (0, codecs.BOM_UTF16_LE + "abcd".encode("utf-16-le")))


class NamesTest(NoxconvCase):
    def test_aliases_and_file_names_are_matched_without_case(self):
        self.require_data("SJIS", "CP1252")
        cases = [("shift_jis", "SJIS"), ("SHIFT-JIS", "SJIS"), ("sjis", "SJIS"), ("Windows-1252", "CP1252"),
                 ("cp1252", "CP1252"), ("LaTiN1", "LATIN_1"), ("latin_1", "LATIN_1")]
        raw = bytes(range(0x20, 0x7F)) + b"\x82\xa0\x80"
        for alias, canonical in cases:
            with self.subTest(alias):
                expected = self.run_nox("-f", canonical, stdin=raw)
                self.assertEqual(self.run_nox("-f", alias, stdin=raw).stdout, expected.stdout)
                self.assertEqual(expected.returncode, 0)

    def test_unicode_form_names(self):
        for name in ("utf8", "Utf-8", "UTF_8"):
            with self.subTest(name):
                self.assertEqual(self.convert(name, "utf_16le", "é".encode(), env=clean_env()), b"\xe9\x00")

    def test_ucm_file_by_path(self):
        folder = self.tiny_dir()
        for name in (os.path.join(folder, "TINY.ucm"), "./TINY.ucm", "TINY.ucm"):
            with self.subTest(name):
                out = self.convert(name, "UTF-8", b"\x81\x40", env=clean_env(), cwd=folder)
                self.assertEqual(out, "\u3042".encode())

    def test_default_code_page_comes_from_the_environment(self):
        folder = self.tiny_dir()
        cases = [({"NOX_CODE_PAGE": "TINY", "QV_CODE_PAGE": "NONE"}, "\u3042"),
                 ({"QV_CODE_PAGE": "TINY"}, "\u3042"),
                 ({}, "\x81@")]
        for extra, expected in cases:
            with self.subTest(extra):
                r = self.run_nox(stdin=b"\x81\x40", env=clean_env(NOX_UCM_PATH=folder, **extra))
                self.assertEqual((r.returncode, r.stdout), (0, expected.encode()))

    def test_code_page_folder_from_qv_ucm_path(self):
        r = self.run_nox("-f", "TINY", stdin=b"\x81\x40", env=clean_env(QV_UCM_PATH=self.tiny_dir()))
        self.assertEqual((r.returncode, r.stdout), (0, "\u3042".encode()))

    def test_data_folder_of_the_build_without_environment(self):
        # A binary in the build tree uses the data folder that it was configured with: the
        # one given to this test.
        self.require_data("SJIS")
        r = self.run_nox("-l", env=clean_env())
        self.assertEqual(r.returncode, 0)
        listed = {line.split()[0] for line in r.stdout.decode().splitlines()[1:] if line.strip()}
        self.assertEqual(listed - {"Unicode"}, set(shipped_code_pages()) | {"LATIN_1"})
        r = self.run_nox("-f", "shift_jis", stdin=b"\x82\xa0", env=clean_env())
        self.assertEqual((r.returncode, r.stdout), (0, "\u3042".encode()))


class InfoTest(NoxconvCase):
    def test_version_names_the_library(self):
        r = self.run_nox("--version")
        self.assertEqual(r.returncode, 0)
        lines = r.stdout.decode().splitlines()
        self.assertRegex(lines[0], r"^noxconv \d+\.\d+\.\d+$")
        self.assertRegex(lines[1], r"libnoxunicode\.so.*version \d+\.\d+\.\d+")

    def test_list_shows_every_code_page_with_longest_character_and_aliases(self):
        self.require_data("SJIS", "EUC-JP")
        r = self.run_nox("--list")
        self.assertEqual(r.returncode, 0, r.stderr)
        rows = {}
        for line in r.stdout.decode().splitlines()[1:]:
            fields = line.split(None, 2)
            if len(fields) >= 2 and fields[1].isdigit():
                rows[fields[0]] = (int(fields[1]), fields[2] if len(fields) > 2 else "")
        self.assertEqual(set(rows), set(shipped_code_pages()) | {"LATIN_1"})
        self.assertEqual(rows["LATIN_1"][0], 1)
        self.assertIn("(built in)", rows["LATIN_1"][1])
        self.assertEqual(rows["SJIS"][0], 2)
        self.assertIn("shift_jis", rows["SJIS"][1].split(", "))
        self.assertEqual(rows["EUC-JP"][0], 3)
        self.assertIn(b"UTF-16LE", r.stdout)

    def test_list_of_a_folder_without_aliases(self):
        r = self.run_nox("-l", env=self.tiny_env())
        self.assertEqual(r.returncode, 0)
        lines = r.stdout.decode().splitlines()
        self.assertRegex(lines[1], r"^LATIN_1\s+1\s+\(built in\)$")
        self.assertRegex(lines[2], r"^TINY\s+4\s*$")

    def test_dump_lists_every_mapping_in_utf8(self):
        r = self.run_nox("--dump", "TINY", env=self.tiny_env())
        self.assertEqual(r.returncode, 0)
        lines = r.stdout.decode().splitlines()
        self.assertEqual(len(lines), 0x7F + 4)
        self.assertEqual(lines[0], "<U0001> \\x01 |0")
        self.assertIn("<U00E9> \\xC3\\xA9 |0", lines)
        self.assertEqual(lines[-1], "<U3046> \\xE3\\x81\\x86 |0")

    def test_dump_of_a_shipped_code_page_covers_its_table(self):
        self.require_data("CP1252")
        r = self.run_nox("--dump", "windows-1252")
        self.assertEqual(r.returncode, 0)
        dumped = [int(line[2:6], 16) for line in r.stdout.decode().splitlines()]
        table = sorted(cp for cp, _, _ in parse_ucm(os.path.join(ucm_dir(), "CP1252.ucm")))
        self.assertEqual(dumped, table)


def main():
    global NOXCONV, DATA, SAMPLES
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--noxconv", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--samples", default=os.path.join(HERE, "..", "..", "tools", "samples"))
    args, rest = parser.parse_known_args()
    NOXCONV = os.path.abspath(args.noxconv)
    DATA = os.path.abspath(args.data)
    SAMPLES = os.path.abspath(args.samples)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=1)


if __name__ == "__main__":
    main()

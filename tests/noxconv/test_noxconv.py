#!/usr/bin/env python3
"""Tests of noxconv, run against the built binary, with Python's codecs as oracle. Tests needing the
shipped code pages skip when DIR/ucm is absent.
Usage: test_noxconv.py --noxconv PATH --data DIR [--samples DIR] [unittest arguments]"""
import argparse, glob, os, re, signal, stat, subprocess, sys, tempfile, time, unittest
from codecs import BOM_UTF16_BE as BE16, BOM_UTF16_LE as LE16, BOM_UTF32_BE as BE32, BOM_UTF32_LE as LE32
from pathlib import Path

NOXCONV = DATA = SAMPLES = None  # set from the command line
FORMS = ["UTF-8", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE"]  # names that Python's codecs share
SIZES, SKIP, REPL = ("1", "2", "3", "7", "65536"), "--on-error=skip", "--on-error=replace"
A = "\u3042".encode()
# Characters of one to four bytes; 0x80 and 0x84-0xFF start no character.
TINY_UCM = ('<code_set_name> "TINY"\n<nox_lead_bytes> 00-7F:1 80:0 81:2 82:3 83:4 84-FF:0\nCHARMAP\n'
            + "".join("<U%04X> \\x%02X |0\n" % (b, b) for b in range(1, 0x80))
            + "<U3042> \\x81\\x40 |0\n<U3044> \\x82\\x40\\x40 |0\n<U3046> \\x83\\x40\\x40\\x40 |0\n"
            "<U00E9> \\x81\\x41 |0\nEND CHARMAP\n")

def ucm(name="*"):
    return os.path.join(DATA, "ucm", name + ".ucm")

def shipped(*names):  # the shipped code pages, if names are among them
    found = [os.path.basename(p)[:-4] for p in sorted(glob.glob(ucm()))]
    return found if set(names) <= set(found) else []

def parse_ucm(name):  # the round-trip (code point, bytes) mappings
    found = re.findall(r"^<U([0-9A-F]{4})>\s+((?:\\x[0-9A-F]{2})+)\s+\|0", Path(ucm(name)).read_text(), re.M | re.I)
    return [(int(c, 16), bytes.fromhex(r.replace("\\x", ""))) for c, r in found]

def ft(source, target, *options):
    return ["-f", source, "-t", target, *options]

class Case(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.folder, self.target = tmp.name, os.path.join(tmp.name, "out.txt")
        self.write("TINY.ucm", TINY_UCM.encode())
        self.tiny = self.env(NOX_UCM_PATH=self.folder)

    def write(self, name, data):
        Path(self.folder, name).write_bytes(data)
        return os.path.join(self.folder, name)

    @staticmethod
    def env(**extra):
        return dict({k: v for k, v in os.environ.items() if not k.startswith(("NOX_", "QV_", "NOXUNICODE_"))}, **extra)

    def run_nox(self, *args, stdin=b"", env=None):
        env = self.env(NOX_UCM_PATH=os.path.dirname(ucm())) if env is None else env
        return subprocess.run([NOXCONV, *args], input=stdin, env=env, cwd=self.folder, capture_output=True, timeout=120)

    def convert(self, source, target, data, *extra, env=None):
        r = self.run_nox(*ft(source, target, *extra), stdin=data, env=env)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r.stdout

class RoundTripTest(Case):
    TEXT = ("Grüße ½ ¤ ‰ ™ € — “q” Ελληνικά Русский Українська עברית العربية ไทย Tiếng Việt ŠŽŁł ğışİŞ "
            "日本語テキスト ｶﾀｶﾅ 中文字符 繁體中文 한국어 텍스트 ①② ㈱\n")

    def test_shipped_code_pages_round_trip_and_agree_with_python(self):
        if not shipped("SJIS"):
            self.skipTest("no shipped code pages")
        for name in shipped():
            with self.subTest(name):
                pairs = [p for p in parse_ucm(name) if not 0xD800 <= p[0] <= 0xDFFF]
                raw, text = b"".join(r for _, r in pairs), "".join(chr(c) for c, _ in pairs).encode()
                self.assertEqual((self.convert(name, "UTF-8", raw), self.convert("UTF-8", name, text)), (text, raw))
                for c in re.findall(r"Python [\d.]+ codec (\S+)\.$", Path(ucm(name)).read_text(), re.M):  # its sample
                    text = "".join(ch for ch in self.TEXT if ch.encode(c, "ignore").decode(c, "ignore") == ch)
                    self.assertEqual(self.convert(name, "UTF-8", text.encode(c)), text.encode())
                    self.assertEqual(self.convert("UTF-8", name, text.encode()), text.encode(c))
        sjis, utf8 = (Path(SAMPLES, "japanese." + n + ".txt").read_bytes() for n in ("sjis", "utf8"))
        self.assertEqual(sjis.decode("cp932").encode(), utf8)
        self.assertEqual(self.convert("SJIS", "UTF-8", b"", os.path.join(SAMPLES, "japanese.sjis.txt")), utf8)
        self.assertEqual(self.convert("UTF-8", "SJIS", utf8), sjis)

class ChunkBoundaryTest(Case):
    def test_output_is_the_same_for_every_chunk_size(self):
        # (from, to, input, expected): characters and marks cut at every position; NULs written and passed.
        t, m = "aé€😀\U0010FFFFz\0" * 3, "\ufeffx"
        cases = [(s, d, t.encode(s), t.encode(d)) for s in FORMS for d in FORMS]
        for f, le, be in [("UTF-16", LE16, BE16), ("UTF-32", LE32, BE32)]:  # read BE unless marked; write LE, marked
            u, lt, bt = t.encode(), t.encode(f + "LE"), t.encode(f + "BE")
            cases += [(f, "UTF-8", d, o) for d, o in [(le + lt, u), (be + bt, u), (bt, u), (le, b""), (b"", b"")]]
            cases += [("UTF-8", f, u, le + lt), ("UTF-8", f, b"", le)]
        cases += [("UTF-16LE", "UTF-8", m.encode("utf-16-le"), m.encode()),  # forms with a byte order keep U+FEFF
                  ("UTF-8", "UTF-32BE", m.encode(), m.encode("utf-32-be")), ("UTF-8", "UTF-8", m.encode(), m.encode()),
                  ("TINY", "UTF-8", b"\0\0a\0\x81\x40\0\0b\0", "\0\0a\0\u3042\0\0b\0".encode()),
                  ("TINY", "UTF-16BE", b"\x83@@@A\x82@@\x81@", "\u3046A\u3044\u3042".encode("UTF-16BE")),
                  ("LATIN_1", "UTF-8", bytes(range(1, 256)), bytes(range(1, 256)).decode("latin-1").encode()),
                  ("TINY", "UTF-16", b"x\0y", "x\0y".encode("utf-16")), ("TINY", "LATIN_1", b"\0a\0\0b", b"\0a\0\0b")]
        cases += [(d, s, o, i) for s, d, i, o in cases[-5:]]
        for name in set(shipped()) & {"SJIS", "EUC-JP", "GBK", "BIG5", "CP949", "JOHAB"}:
            pairs = parse_ucm(name)  # long characters next to ASCII, in a scrambled order
            sample = sorted([p for p in pairs if len(p[1]) > 1][::97] + [p for p in pairs if p[0] < 0x80][::11],
                            key=lambda p: (p[0] * 7919) % 1009)
            raw, utf8 = b"".join(r for _, r in sample), "".join(chr(c) for c, _ in sample).encode()
            cases += [(name, "UTF-8", raw, utf8), ("UTF-8", name, utf8, raw)]
        for source, target, data, expected in cases:
            for size in SIZES:
                with self.subTest(source=source, target=target, data=data[:12], chunk=size):
                    env = self.tiny if "TINY" in (source, target) else None
                    self.assertEqual(self.convert(source, target, data, "--chunk-size=" + size, env=env), expected)

class ErrorModeTest(Case):
    # (arguments, input, output, exit status, stderr pattern); a pattern starting with ':' follows "<stdin>".
    T8, T1, U8, E = ft("TINY", "UTF-8"), ft("TINY", "LATIN_1"), ft("UTF-8", "LATIN_1"), "é" * 1000 + "\n\n\nxy"
    CASES = [
        (T8, b"ab\ncd\x81\x42e", b"ab\ncd", 1, r":2:3 \(byte 5\): no mapping for \\x81\\x42 in TINY\n$"),
        (T8 + [SKIP], b"a\x81\x42b", b"ab", 0, r"^noxconv: 1 character\(s\) could not be converted and were skipped"),
        (T8 + [REPL], b"a\x82\x41\x42b\x83\x41\x42\x43", "a\ufffdb\ufffd".encode(), 0, r"2 character\(s\) .*replaced"),
        (T8 + [REPL], b"a\x90\x40b", "a\ufffd@b".encode(), 0, r"1 character"),
        (T8 + [REPL], b"a\x81\0b", "a\ufffd\0b".encode(), 0, r"1 character"),  # a NUL ends a character
        (T8 + [REPL, "-q"], b"\x90", "\ufffd".encode(), 0, "^$"),
        (T8, b"ab\x83\x40", b"ab", 1, r":1:3 \(byte 2\): incomplete character \\x83\\x40 at end of input in TINY"),
        (T1 + [REPL], b"a\x90b", b"a?b", 0, r"^noxconv: 1 character"),
        (T1, b"\x83\x40\x40\x40", b"", 1, r":1:1 \(byte 0\): no mapping for U\+3046 in LATIN_1"),
        (U8, "hé\nwörld€".encode(), "hé\nwörld".encode("latin-1"), 1, r":2:6 \(byte 10\): no mapping for U\+20AC in"),
        (U8, "a\0b€".encode(), b"a\0b", 1, r":1:4 \(byte 3\):"),
        (U8, (E + "€").encode(), E.encode("latin-1"), 1, r":4:3 \(byte 2005\)"),
        (ft("UTF-8", "TINY", SKIP), "x€y€".encode(), b"xy", 0, r"2 character\(s\)"),
        (ft("UTF-8", "TINY", REPL), "x😀y€".encode(), b"x?y?", 0, r"2 character\(s\)"),
        (ft("UTF-16", "TINY"), "ab😀".encode("utf-16"), b"ab", 1, r":1:3 \(byte 6\): no mapping for U\+1F600 in TINY"),
        (ft("UTF-16BE", "UTF-8"), b"\0a\xd8\0\0b", b"a", 1, r":1:2 \(byte 2\): unpaired surrogate U\+D800 in UTF-16BE"),
        (ft("UTF-16LE", "UTF-8"), b"a\0b", b"a", 1, r"incomplete character \\x62 at end of input in UTF-16LE"),
        (ft("UTF-32BE", "UTF-8", SKIP), b"\0\0\0a\0\x11\0\0\0\0\0b", b"ab", 0, r"1 character"),
        (ft("UTF-32LE", "UTF-8"), b"\0\xd8\0\0", b"", 1, r"invalid code point 0x0000D800 in UTF-32LE"),
        (ft("UTF-8", "UTF-16LE"), b"ok\n\xff", b"o\0k\0\n\0", 1, r":2:1 \(byte 3\): invalid UTF-8 sequence \\xFF"),
        (ft("UTF-8", "UTF-16LE"), b"ok\xe2\x82", b"o\0k\0", 1, r"incomplete UTF-8 sequence \\xE2\\x82 at end"),
        (T8 + ["--best-effort"], b"a\x90\xa4b", "a\x90\xa4b".encode(), 0, "^$"),
        (ft("UTF-8", "TINY", "--best-effort"), "é¤a€".encode(), b"\x81\x41\xa4a", 1, r"no mapping for U\+20AC in TINY"),
        # Files: locations count from the start of each; a byte order mark is read per file and written once.
        (T8 + ["one", "two"], b"", b"fine\nx\n", 1, r"^noxconv: two:2:1 \(byte 2\): no mapping for \\x81\\x42 in TINY"),
        (ft("UTF-16", "UTF-16", "le", "be"), b"", LE16 + "abcd".encode("utf-16-le"), 0, "^$"),
    ]
    CASES += [(args, b"x", b"", 2, p) for args, p in [  # usage and file errors
        (["--bogus"], "unknown option '--bogus'"), (["--on-error=maybe"], "invalid --on-error mode 'maybe'"),
        (["--chunk-size=0"], "invalid chunk size '0'"), (["-t", "NO"], "unknown code page 'NO'"),
        (["-f", "/no.ucm"], "cannot read code page file /no.ucm"), (["-f", "BAD.ucm"], "holds no usable table"),
        (["--dump", "UTF-8"], "not a code page"), (["-f", "LATIN_1", "/no/input"], "cannot open /no/input"),
        (["-f", "LATIN_1", "-o", "/no/dir/out"], "cannot create output file"), (["-f"], "needs a value")]]
    CASES += [(ft("UTF-8", "UTF-16BE", m), d, d.decode("utf-8", e).encode("utf-16-be"), 0, "converted")
              for m, e in [(REPL, "replace"), (SKIP, "ignore")]
              for d in [b"a\xc3(b", b"\xed\xa0\x80x", b"\xf0\x9f\x98z", b"\xc0\xafq", b"\xe0\x80\x80", b"\x80\xbf",
                        b"\xf4\x90\x80\x80!", b"\xf8\x88\x80\x80\x80", b"ok\xe2\x82", b"\xfe\xff", b"\xe2(\xa1"]]

    def test_results_exit_status_and_messages(self):
        for name, data in [("BAD.ucm", b"<U0041> \\x41 |0\n"), ("one", b"fine\n"), ("two", b"x\n\x81\x42"),
                           ("le", LE16 + "ab".encode("utf-16-le")), ("be", BE16 + "cd".encode("utf-16-be"))]:
            self.write(name, data)
        for args, data, out, status, pattern in self.CASES:
            for size in SIZES:
                with self.subTest(args=args, data=data[:20], chunk=size):
                    r = self.run_nox("--chunk-size=" + size, *args, stdin=data, env=self.tiny)
                    self.assertEqual((r.returncode, r.stdout), (status, out), r.stderr)
                    self.assertRegex(r.stderr.decode(), re.sub("^:", "^noxconv: <stdin>:", pattern))
                    self.assertNotIn("No mapping", r.stderr.decode())  # the library's own line is not shown

class AtomicOutputTest(Case):
    def leftovers(self):
        return [n for n in os.listdir(self.folder) if "noxconv" in n]

    def test_failure_leaves_the_old_output_or_none_and_no_temporary_file(self):
        stop = ft("UTF-8", "TINY")
        for old, args, data, status in [(None, stop, "€".encode(), 1), (None, ["-f", "LATIN_1", "absent"], b"", 2),
                                        (b"old", stop, b"good" * 50000 + "€".encode(), 1)]:
            with self.subTest(old=old, status=status):
                if old:
                    self.write("out.txt", old)
                r = self.run_nox(*args, "-o", self.target, stdin=data, env=self.tiny)
                state = Path(self.target).read_bytes() if os.path.exists(self.target) else None
                self.assertEqual((r.returncode, state, self.leftovers()), (status, old, []))

    def test_success_replaces_the_file_keeping_its_mode_and_links(self):
        real, link = self.write("real.txt", b"old content that is longer"), os.path.join(self.folder, "link")
        os.symlink(real, link)
        os.chmod(real, 0o640)
        for out, args, data in [(link, [], b"caf\xe9"), (real, [real], b""), (os.devnull, [], b"x")]:
            before = Path(real).read_bytes()  # the input may be the output
            r = self.run_nox("-f", "LATIN_1", "-o", out, *args, stdin=data, env=self.tiny)
            expected = before if out == os.devnull else (data or before).decode("latin-1").encode()
            self.assertEqual((r.returncode, r.stdout, Path(real).read_bytes()), (0, b"", expected), r.stderr)
            mode = stat.S_IMODE(os.stat(real).st_mode)
            self.assertEqual((mode, os.path.islink(link), stat.S_ISCHR(os.stat(os.devnull).st_mode), self.leftovers()),
                             (0o640, True, True, []))

    def test_signals_mid_conversion(self):
        # SIGTERM removes the temporary file and keeps the old output; an ignored SIGHUP (as
        # under nohup) stays ignored and the conversion completes.
        for sig, ignore, expected in [(signal.SIGTERM, False, b"old"), (signal.SIGHUP, True, b"ab")]:
            self.write("out.txt", b"old")
            setup = (lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN)) if ignore else None
            proc = subprocess.Popen([NOXCONV, "-f", "LATIN_1", "-o", self.target], stdin=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=self.env(), preexec_fn=setup)
            proc.stdin.write(b"a")
            proc.stdin.flush()
            deadline = time.monotonic() + 30
            while not self.leftovers() and time.monotonic() < deadline:
                time.sleep(0.01)
            proc.send_signal(sig)
            proc.communicate(b"b", timeout=30)
            self.assertEqual((proc.returncode, Path(self.target).read_bytes(), self.leftovers()),
                             (0 if ignore else -sig, expected, []))

class NamesTest(Case):
    def test_code_page_names_aliases_paths_and_environment(self):
        t, env = self.tiny, self.env()
        cases = [(["-f", p], env, b"\x81\x40", A) for p in (self.folder + "/TINY.ucm", "./TINY.ucm", "TINY.ucm")]
        cases += [(ft(n, "utf_16le"), env, "é".encode(), b"\xe9\0") for n in ("utf8", "Utf-8", "UTF_8")]
        cases += [([], dict(t, NOX_CODE_PAGE="TINY", QV_CODE_PAGE="NONE"), b"\x81@", A), ([], t, b"\x81", b"\xc2\x81"),
                  ([], dict(t, QV_CODE_PAGE="TINY"), b"\x81@", A),  # the default code page; the folder from QV_UCM_PATH
                  (["-f", "TINY"], dict(env, QV_UCM_PATH=self.folder), b"\x81@", A)]
        if shipped("SJIS", "CP1252"):
            cases += [(["-f", n], None, b"\x82\xa0", A) for n in ("shift_jis", "SHIFT-JIS", "sjis")]
            cases += [(["-f", n], None, b"\x80", "€".encode()) for n in ("Windows-1252", "cp1252")]
            cases += [(["-f", n], None, b"\x80", b"\xc2\x80") for n in ("LaTiN1", "latin_1")]
            cases += [(["-f", "shift_jis"], env, b"\x82\xa0", A)]  # the data folder of the build
        for args, environment, data, expected in cases:
            with self.subTest(args=args, env={k: v for k, v in (environment or {}).items() if k[:3] in ("NOX", "QV_")}):
                r = self.run_nox(*args, stdin=data, env=environment)
                self.assertEqual((r.returncode, r.stdout), (0, expected), r.stderr)

class InfoTest(Case):
    def test_version_list_and_dump(self):
        out = self.run_nox("--version").stdout.decode()
        self.assertRegex(out, r"^noxconv \d+\.\d+\.\d+\nlibnoxunicode\.so.* version \d+\.\d+\.\d+\n")
        if not shipped("SJIS", "EUC-JP", "CP1252"):
            self.skipTest("shipped code pages missing")
        r = self.run_nox("--list", env=self.env())  # the data folder of the build
        rows = {f[0]: f[1:] for f in (line.split(None, 2) for line in r.stdout.decode().splitlines()[1:]) if f[1:2]}
        self.assertEqual({k for k, v in rows.items() if v[0].isdigit()}, set(shipped()) | {"LATIN_1"})
        self.assertEqual((rows["LATIN_1"][0], rows["SJIS"][0], rows["EUC-JP"][0]), ("1", "2", "3"))
        self.assertTrue("(built in)" in rows["LATIN_1"][1] and "shift_jis" in rows["SJIS"][1].split(", "))
        self.assertIn(b"UTF-16LE", r.stdout)
        dump = self.run_nox("--dump", "windows-1252").stdout.decode().splitlines()
        utf8 = ["<U%04X> %s |0" % (c, "".join("\\x%02X" % b for b in chr(c).encode())) for c, _ in parse_ucm("CP1252")]
        self.assertEqual(dump, sorted(utf8))

if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    for option in ("--noxconv", "--data", "--samples"):
        parser.add_argument(option, required=option != "--samples")
    args, rest = parser.parse_known_args()
    NOXCONV, DATA = os.path.abspath(args.noxconv), os.path.abspath(args.data)
    SAMPLES = os.path.abspath(args.samples or os.path.join(os.path.dirname(__file__), "..", "..", "tools", "samples"))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=1)

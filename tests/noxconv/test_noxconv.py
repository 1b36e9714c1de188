#!/usr/bin/env python3
"""Tests of noxconv, run against the built binary, with Python's codecs and the real iconv as oracles.
Tests needing the shipped code pages skip when DIR/ucm is absent; those needing ICU's mapping tables
when --icu names no folder.
Usage: test_noxconv.py --noxconv PATH --data DIR [--samples DIR] [--icu DIR] [--man FILE] [unittest arguments]"""
import argparse, glob, os, pty, re, shutil, signal, stat, subprocess, sys, tempfile, time, unittest
from codecs import BOM_UTF16_BE as BE16, BOM_UTF16_LE as LE16, BOM_UTF32_BE as BE32, BOM_UTF32_LE as LE32
from pathlib import Path

NOXCONV = DATA = SAMPLES = ICU = MAN = None  # set from the command line
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
            cases += [("UTF-8", f, u, le + lt), ("UTF-8", f, b"", b"")]  # no lone byte order mark
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
        (["-f", "/no.ucm"], "cannot read code page file /no.ucm"), (["-f", "EMPTY.ucm"], "holds no usable table"),
        (["-f", "MIXED.ucm"], r"MIXED.ucm has mapping lines but no <nox_lead_bytes> line, and it cannot be imported: "
                              r"first bytes start characters of different lengths: \\x81 \(1 and 2 bytes\)"),
        (["-t", "UTF-8//BOGUS"], "unknown suffix '//BOGUS'"), (["--on-error=escape=html"], "invalid --on-error"),
        (["--dump", "UTF-8"], "not a code page"), (["-f", "LATIN_1", "/no/input"], "cannot open /no/input"),
        (["-f", "LATIN_1", "-o", "/no/dir/out"], "cannot create output file"), (["-f"], "needs a value")]]
    CASES += [(ft("UTF-8", "UTF-16BE", m), d, d.decode("utf-8", e).encode("utf-16-be"), 0, "converted")
              for m, e in [(REPL, "replace"), (SKIP, "ignore")]
              for d in [b"a\xc3(b", b"\xed\xa0\x80x", b"\xf0\x9f\x98z", b"\xc0\xafq", b"\xe0\x80\x80", b"\x80\xbf",
                        b"\xf4\x90\x80\x80!", b"\xf8\x88\x80\x80\x80", b"ok\xe2\x82", b"\xfe\xff", b"\xe2(\xa1"]]

    def test_results_exit_status_and_messages(self):
        for name, data in [("EMPTY.ucm", b"<nox_lead_bytes> 01-7F:1\n"), ("one", b"fine\n"), ("two", b"x\n\x81\x42"),
                           ("MIXED.ucm", b"<U0041> \\x41 |0\n<U3000> \\x81\\x40 |0\n<U00E9> \\x81 |0\n"),
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
        cases += [([], dict(t, NOX_CODE_PAGE="TINY", QV_CODE_PAGE="NONE"), b"\x81@", A),
                  ([], dict(t, LC_ALL="C.UTF-8"), A, A), ([], dict(t, LC_ALL="C"), b"ok", b"ok"),  # the locale's
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
        rows = {f[0]: f[1:] for f in (line.split(None, 3) for line in r.stdout.decode().splitlines()[1:]) if f[1:2]}
        icu = [os.path.basename(p)[:-4] for p in glob.glob(os.path.join(DATA, "icu", "*.ucm"))]
        self.assertEqual({k for k, v in rows.items() if v[0].isdigit()}, set(shipped()) | {"LATIN_1"} | set(icu))
        self.assertEqual([rows[n][:2] for n in ("LATIN_1", "SJIS", "EUC-JP")],
                         [["1", "built"], ["2", "Python"], ["3", "Python"]])
        self.assertTrue("(built in)" not in rows["LATIN_1"][2] and "shift_jis" in rows["SJIS"][2].split(", "))
        if icu:  # ICU's pages, with ICU's aliases where no page of ours has them
            self.assertEqual(rows["ibm-943_P15A-2003"][:2], ["2", "ICU"])
            self.assertIn("windows-932", rows["ibm-943_P15A-2003"][2])
            self.assertNotIn("ibm-943_P15A-2003", rows["SJIS"][2])
        self.assertIn(b"UTF-16LE", r.stdout)
        self.assertIn(b"UCS-4BE", r.stdout)
        dump = self.run_nox("--dump", "windows-1252").stdout.decode().splitlines()
        utf8 = ["<U%04X> %s |0" % (c, "".join("\\x%02X" % b for b in chr(c).encode())) for c, _ in parse_ucm("CP1252")]
        self.assertEqual(dump, sorted(utf8))

    def test_help_and_manual_say_what_sigkill_leaves(self):
        help_text = self.run_nox("--help").stdout.decode()
        self.assertRegex(help_text, r"after SIGKILL that temporary file may stay behind")
        if MAN:
            self.assertRegex(Path(MAN).read_text(), r"SIGKILL")
            self.assertNotIn("no temporary file behind", Path(MAN).read_text())


def iconv_run(args, data, env):
    return subprocess.run(["iconv", *args], input=data, env=env, capture_output=True, timeout=60)


@unittest.skipUnless(shutil.which("iconv"), "iconv is not installed")
class IconvHabitsTest(Case):
    """Each habit runs through noxconv and through the real iconv, which must agree on the output
    (and on the exit status, except where noted)."""
    TEXT = "a€bécﬁd’e“f”g–h…i©j\n".encode()
    CJK = "x一y\n".encode()
    # (noxconv arguments, iconv arguments, input, same exit status)
    CASES = [
        (["-c", "-f", "UTF-8", "-t", "ASCII"], ["-c", "-f", "UTF-8", "-t", "ASCII"], TEXT + b"\xff!", True),
        (["-f", "UTF-8", "-t", "ASCII//IGNORE"], ["-f", "UTF-8", "-t", "ASCII//IGNORE"], TEXT, False),  # iconv: 1
        (["-f", "UTF-8", "-t", "ASCII//TRANSLIT"], ["-f", "UTF-8", "-t", "ASCII//TRANSLIT"], TEXT + CJK, True),
        (["-f", "UTF-8", "-t", "ascii//translit//ignore"], ["-f", "UTF-8", "-t", "ASCII//TRANSLIT//IGNORE"], TEXT, True),
        (["-c", "-f", "UTF-8", "-t", "CP1252//TRANSLIT"], ["-c", "-f", "UTF-8", "-t", "CP1252//TRANSLIT"], TEXT + CJK, True),
        (["-f", "UTF-8", "-t", "ASCII//TRANSLIT"], ["-f", "UTF-8", "-t", "ASCII//TRANSLIT"], b"ok\xff", True),  # stops
        (["-f", "UTF-8", "-t", "ASCII"], ["-f", "UTF-8", "-t", "ASCII"], b"ab\xc3\xa9", True),
        (["-f", "US-ASCII", "-t", "UTF-8"], ["-f", "US-ASCII", "-t", "UTF-8"], b"a\0b\x7f", True),
        (["-f", "ANSI_X3.4-1968", "-t", "UTF-8"], ["-f", "ANSI_X3.4-1968", "-t", "UTF-8"], b"ab\x80c", True),
        (["-f", "UTF-8", "-t", "UCS-2"], ["-f", "UTF-8", "-t", "UCS-2"], "aé€".encode(), True),
        (["-f", "UTF-8", "-t", "UCS-2BE"], ["-f", "UTF-8", "-t", "UCS-2BE"], "aé€".encode(), True),
        (["-f", "UTF-8", "-t", "UCS-2LE"], ["-f", "UTF-8", "-t", "UCS-2LE"], "a😀b".encode(), True),  # no surrogates
        (["-f", "UCS-2", "-t", "UTF-8"], ["-f", "UCS-2", "-t", "UTF-8"], "ab".encode("utf-16-le") + b"\x3d\xd8\x00\xde", True),
        (["-f", "UCS-2BE", "-t", "UTF-8"], ["-f", "UCS-2BE", "-t", "UTF-8"], "aé€".encode("utf-16-be"), True),
        (["-f", "UTF-8", "-t", "UCS-4"], ["-f", "UTF-8", "-t", "UCS-4"], "a😀".encode(), True),
        (["-f", "UTF-8", "-t", "UCS-4LE"], ["-f", "UTF-8", "-t", "UCS-4LE"], "a😀".encode(), True),
        (["-f", "UCS-4BE", "-t", "UTF-8"], ["-f", "UCS-4BE", "-t", "UTF-8"], "a😀".encode("utf-32-be"), True),
        (["-f", "UTF-8", "-t", "UTF-16"], ["-f", "UTF-8", "-t", "UTF-16"], "aé".encode(), True),
        (["-f", "UTF-8", "-t", "UTF-32"], ["-f", "UTF-8", "-t", "UTF-32"], "aé".encode(), True),
        (["-f", "UTF-8", "-t", "UTF-16"], ["-f", "UTF-8", "-t", "UTF-16"], b"", True),  # no lone byte order mark
        (["-f", "UTF-8", "-t", "UTF-32"], ["-f", "UTF-8", "-t", "UTF-32"], b"", True),
        (["-f", "UTF-8", "-t", "UTF-8", "-o", "-"], ["-f", "UTF-8", "-t", "UTF-8", "-o", "/dev/stdout"], TEXT, True),
        (["-t", "UTF-16LE"], ["-t", "UTF-16LE"], TEXT, True),  # without -f: the locale's character set (C.UTF-8)
        (["-f", "CP1252", "-t", "UTF-8"], ["-f", "CP1252", "-t", "UTF-8"], bytes(range(0x20, 0x80)) + b"\x80\x85\x9f\xe9", True),
        (["-f", "UTF-8", "-t", "KOI8-R"], ["-f", "UTF-8", "-t", "KOI8-R"], "Привет, мир\n".encode(), True),
        (["-f", "ISO-8859-2", "-t", "UTF-8"], ["-f", "ISO-8859-2", "-t", "UTF-8"], bytes(range(0xA0, 0x100)), True),
    ]

    def test_habits_agree_with_iconv(self):
        env = dict(self.env(NOX_UCM_PATH=os.path.dirname(ucm())), LC_ALL="C.UTF-8")
        for nox_args, iconv_args, data, same_status in self.CASES:
            with self.subTest(nox=nox_args, data=data[:16]):
                ours, theirs = self.run_nox(*nox_args, stdin=data, env=env), iconv_run(iconv_args, data, env)
                self.assertEqual(ours.stdout, theirs.stdout, ours.stderr)
                if same_status:
                    self.assertEqual(ours.returncode, theirs.returncode, ours.stderr)

    def test_c_locale_reads_ascii_as_iconv_does(self):
        env = dict(self.env(NOX_UCM_PATH=os.path.dirname(ucm())), LC_ALL="C")
        for data in [b"plain\n", "é\n".encode()]:
            with self.subTest(data=data):
                ours, theirs = self.run_nox("-t", "UTF-8", stdin=data, env=env), iconv_run(["-t", "UTF-8"], data, env)
                self.assertEqual((ours.returncode, ours.stdout), (theirs.returncode, theirs.stdout), ours.stderr)

    def test_our_own_answers_where_iconv_differs(self):
        # (arguments, input, output, exit status, stderr pattern)
        cases = [
            (["-f", "UTF-8", "-t", "ASCII//IGNORE"], "a€b".encode(), b"ab", 0, r"1 character\(s\) .* skipped"),
            (["-f", "UTF-8", "-t", "ASCII//TRANSLIT"], "①—ǅ".encode(), b"1--Dz", 0, r"3 .* transliterated"),
            (["-f", "UTF-8", "-t", "ASCII", "--on-error=translit"], "é一".encode(), b"e?", 0,
             r"2 character\(s\) could not be converted: 1 transliterated, 1 replaced"),
            (["-f", "UTF-8", "-t", "ASCII//TRANSLIT", "-q"], "é".encode(), b"e", 0, r"^$"),
            (["-f", "UTF-8", "-t", "CP037//TRANSLIT"], "é€".encode(), "é".encode("cp037") + b"EUR".decode().encode("cp037"), 0, ""),
        ]
        for args, data, out, status, pattern in cases:
            with self.subTest(args=args, data=data):
                r = self.run_nox(*args, stdin=data)
                self.assertEqual((r.returncode, r.stdout), (status, out), r.stderr)
                self.assertRegex(r.stderr.decode(), pattern or "(?s)")


class EscapeAndBomTest(Case):
    # (arguments, input, output, stderr pattern)
    CASES = [
        (["-f", "UTF-8", "-t", "ASCII", "--on-error=escape"], "é€😀\n".encode(), b"&#x00E9;&#x20AC;&#x1F600;\n",
         r"3 character\(s\) could not be converted and were escaped"),
        (["-f", "UTF-8", "-t", "ASCII", "--on-error=escape=xml"], "é".encode(), b"&#x00E9;", "escaped"),
        (["-f", "UTF-8", "-t", "ASCII", "--on-error=escape=xml-dec"], "é€😀".encode(), b"&#233;&#8364;&#128512;", ""),
        (["-f", "UTF-8", "-t", "ASCII", "--on-error=escape=c"], "é€😀".encode(), b"\\u00E9\\u20AC\\U0001F600", ""),
        (["-f", "UTF-8", "-t", "UTF-16LE", "--on-error=escape"], b"a\xffb\xe2\x82", "a\\xFFb\\xE2\\x82".encode("utf-16-le"),
         r"2 character\(s\) .* escaped"),
        (["-f", "TINY", "-t", "UTF-8", "--on-error=escape=c"], b"a\x81\x42b", b"a\\x81\\x42b", ""),
        (["-f", "UTF-8", "-t", "CP037", "--on-error=escape"], "é€".encode(), "é&#x20AC;".encode("cp037"), ""),
        # Byte order marks: dropped from the input with --remove-bom, written with --add-bom.
        (["-f", "UTF-8", "-t", "UTF-16LE", "--remove-bom"], "\ufeffa\ufeff".encode(), "a\ufeff".encode("utf-16-le"), "^$"),
        (["-f", "UTF-8", "-t", "UTF-8"], "\ufeffa".encode(), "\ufeffa".encode(), "^$"),
        (["-f", "UTF-16LE", "-t", "UTF-8", "--remove-bom"], "\ufeffab".encode("utf-16-le"), b"ab", "^$"),
        (["-f", "UTF-32BE", "-t", "UTF-8", "--remove-bom"], "\ufeffab".encode("utf-32-be"), b"ab", "^$"),
        (["-f", "UTF-16", "-t", "UTF-8", "--remove-bom"], BE16 + "\ufeffab".encode("utf-16-be"), "\ufeffab".encode(), "^$"),
        (["-f", "UTF-8", "-t", "UTF-8", "--add-bom"], b"ab", b"\xef\xbb\xbfab", "^$"),
        (["-f", "UTF-8", "-t", "UTF-16BE", "--add-bom"], b"ab", BE16 + "ab".encode("utf-16-be"), "^$"),
        (["-f", "UTF-8", "-t", "UTF-32LE", "--add-bom"], b"ab", LE32 + "ab".encode("utf-32-le"), "^$"),
        (["-f", "UTF-8", "-t", "UTF-16", "--add-bom"], b"ab", LE16 + "ab".encode("utf-16-le"), "^$"),  # one mark only
        (["-f", "UTF-8", "-t", "UTF-8", "--add-bom", "--remove-bom"], "\ufeffab".encode(), b"\xef\xbb\xbfab", "^$"),
        (["-f", "UTF-8", "-t", "LATIN_1", "--add-bom"], b"ab", b"ab", "^$"),  # a code page has no byte order mark
        (["-f", "UTF-8", "-t", "UTF-8", "--add-bom"], b"", b"", "^$"),
    ]

    def test_escapes_and_byte_order_marks(self):
        for args, data, out, pattern in self.CASES:
            for size in ("1", "65536"):
                with self.subTest(args=args, data=data, chunk=size):
                    r = self.run_nox("--chunk-size=" + size, *args, stdin=data, env=self.tiny if "TINY" in args else None)
                    self.assertEqual((r.returncode, r.stdout), (0, out), r.stderr)
                    self.assertRegex(r.stderr.decode(), pattern or "(?s)")


class OutputTest(Case):
    def shell(self, script):
        return subprocess.run(["sh", "-c", script, "sh", NOXCONV], cwd=self.folder, env=self.env(),
                              capture_output=True, timeout=60)

    def test_standard_output_and_devices_are_written_directly(self):
        self.write("in.txt", b"x\xe9\n")
        cases = [  # (shell script, file, content)
            ('( echo A; "$1" -f LATIN_1 -o /dev/stdout in.txt; echo B ) > out', "out", "A\nxé\nB\n".encode()),
            ('( echo A; "$1" -f LATIN_1 -o - in.txt; echo B ) > out', "out", "A\nxé\nB\n".encode()),
            ('"$1" -f LATIN_1 -o /dev/stdout in.txt | cat > out', "out", "xé\n".encode()),
            ('mkfifo fifo; cat fifo > out & "$1" -f LATIN_1 -o fifo in.txt; wait', "out", "xé\n".encode()),
            ('"$1" -f LATIN_1 -o /dev/null in.txt && test -c /dev/null && echo ok > out', "out", b"ok\n"),
        ]
        for script, name, content in cases:
            with self.subTest(script=script):
                r = self.shell(script)
                self.assertEqual((r.returncode, Path(self.folder, name).read_bytes()), (0, content), r.stderr)
                self.assertEqual([n for n in os.listdir(self.folder) if "noxconv" in n], [])

    def test_regular_file_keeps_inode_links_owner_and_mode(self):
        h1, h2 = self.write("h1", b"old text\n"), os.path.join(self.folder, "h2")
        os.link(h1, h2)
        os.chmod(h1, 0o604)
        owner = (65534, 65534) if os.geteuid() == 0 else (os.getuid(), os.getgid())
        os.chown(h1, *owner)
        inode = os.stat(h1).st_ino
        for data, status, expected in [("new\n".encode(), 0, b"new\n"), ("€".encode(), 1, b"new\n"),
                                       (b"", 0, b"")]:
            with self.subTest(data=data):
                r = self.run_nox("-f", "UTF-8", "-t", "LATIN_1", "-o", h2, stdin=data, env=self.tiny)
                st = os.stat(h1)
                self.assertEqual((r.returncode, Path(h1).read_bytes(), st.st_ino, st.st_nlink, stat.S_IMODE(st.st_mode),
                                  (st.st_uid, st.st_gid)), (status, expected, inode, 2, 0o604, owner), r.stderr)
                self.assertEqual([n for n in os.listdir(self.folder) if "noxconv" in n], [])

    def test_progress_only_on_a_terminal_unless_asked(self):
        data = self.write("big.txt", b"abcdefghij" * 40000)
        for args, terminal, pattern in [([], False, r"^$"), (["--progress"], False, r"^(noxconv: \d+% [\d.]+/[\d.]+ MiB\n)+$"),
                                        (["--progress"], True, r"\r.*\[#+ *\] 100%.*\r\x1b\[K"),
                                        (["--progress", "-q"], True, r"^$")]:
            with self.subTest(args=args, terminal=terminal):
                if terminal:
                    leader, follower = pty.openpty()
                    proc = subprocess.Popen([NOXCONV, "-f", "LATIN_1", "--chunk-size=4096", *args, data],
                                            stdout=subprocess.DEVNULL, stderr=follower, env=self.env())
                    os.close(follower)
                    err = b""
                    while True:
                        try:
                            chunk = os.read(leader, 4096)
                        except OSError:
                            break
                        if not chunk:
                            break
                        err += chunk
                    os.close(leader)
                    self.assertEqual(proc.wait(timeout=60), 0)
                else:
                    r = self.run_nox("-f", "LATIN_1", "--chunk-size=4096", *args, data, env=self.env())
                    self.assertEqual(r.returncode, 0)
                    err = r.stderr
                self.assertRegex(err.decode(), pattern)
                if not terminal:
                    self.assertNotIn(b"\r", err)

MAPPING = re.compile(r"^<U([0-9A-F]{4,6})>((?:<U[0-9A-F]{4,6}>)*)\s+((?:\\x[0-9A-Fa-f]{2})+)\s*(?:\|(\d))?")
ADDED = ("# Imported with noxconv --import-ucm", "# mapping lines; lines that", "# Mapping lines kept:", "<nox_lead_bytes>")
REASONS = ["above U+FFFF", "with several code points", "with the byte 0x00", "|2 substitutions",
           "|1 beside a |0 of the same code point", "too long"]


def mappings_of(text):
    """(line, code point, extra code points, bytes, precision) of every mapping line."""
    found = []
    for line in text.splitlines():
        m = MAPPING.match(line)
        if m:
            found.append((line, int(m.group(1), 16), m.group(2), bytes.fromhex(m.group(3).replace("\\x", "")),
                          int(m.group(4) or 0)))
    return found


def expected_import(text):
    """What the import keeps and leaves out, worked out independently: (left-out lines by reason,
    lead-byte line)."""
    maps = mappings_of(text)
    round_trips = {cp for _, cp, extra, raw, p in maps if p == 0 and not extra and cp <= 0xFFFF and 0 not in raw}
    left_out, lengths = {}, [0] * 256
    for line, cp, extra, raw, precision in maps:
        lengths[raw[0]] = len(raw)
        reason = ("with several code points" if extra else "above U+FFFF" if cp > 0xFFFF else
                  "|2 substitutions" if precision == 2 else "with the byte 0x00" if 0 in raw else
                  "|1 beside a |0 of the same code point" if precision == 1 and cp in round_trips else None)
        if reason:
            left_out.setdefault(reason, []).append(line)
    tokens, start = [], 0
    for b in range(1, 257):
        if b == 256 or lengths[b] != lengths[start]:
            tokens.append(("%02X" % start if b - 1 == start else "%02X-%02X" % (start, b - 1)) + ":%d" % lengths[start])
            start = b
    return left_out, "<nox_lead_bytes> " + " ".join(tokens)


class ImportTest(Case):
    SOURCE = ('<code_set_name> "TEST"\n<mb_cur_max> 2\n# a comment\nCHARMAP\n<U0000> \\x00 |0\n<U0041> \\x41 |0\n'
              '<U0042> \\x42 |0 # with a comment\n<U00A0> \\x41 |1\n<U0041> \\x61 |1\n<U20000> \\x81\\x40 |0\n'
              '<U0041><U0300> \\x81\\x41 |0\n<U0043> \\x1A |2\n<U3000> \\x81\\x42 |0\n<U3001> \\x81+\\x43 |0\n'
              '<U3002> \\x81\\x44 |3\nEND CHARMAP\n')
    IMPORTED = ('<code_set_name> "TEST"\n<mb_cur_max> 2\n# a comment\n' + "".join(a + "\n" for a in ADDED[:2]).replace(
                "--import-ucm", "--import-ucm: the lead-byte line below is derived from the").replace(
                "lines that", "lines that a noxunicode table cannot hold are left out.") +
                "# Mapping lines kept: 6; 5 lines left out (1 above U+FFFF, 1 with several code points, 1 with the "
                "byte 0x00, 1 |2 substitutions, 1 |1 beside a |0 of the same code point).\n"
                "<nox_lead_bytes> 00:1 01-19:0 1A:1 1B-40:0 41-42:1 43-60:0 61:1 62-80:0 81:2 82-FF:0\n"
                "CHARMAP\n<U0041> \\x41 |0\n<U0042> \\x42 |0 # with a comment\n<U00A0> \\x41 |1\n<U3000> \\x81\\x42 |0\n"
                "<U3001> \\x81\\x43 |0\n<U3002> \\x81\\x44 |3\nEND CHARMAP\n")

    def test_import_keeps_what_a_table_holds_and_counts_the_rest(self):
        source = self.write("test.ucm", self.SOURCE.encode())
        r = self.run_nox("--import-ucm", source)
        self.assertEqual((r.returncode, r.stdout.decode()), (0, self.IMPORTED), r.stderr)
        self.assertRegex(r.stderr.decode(), r"^noxconv: .*test.ucm: 6 mapping lines kept, 5 lines left out \(1 above")
        self.assertEqual(expected_import(self.SOURCE)[1], self.IMPORTED.splitlines()[6])
        r = self.run_nox("--import-ucm", source, "-o", self.target, "-q")
        self.assertEqual((r.returncode, r.stderr, Path(self.target).read_text()), (0, b"", self.IMPORTED))
        # -f and -t import the file in memory, with a note unless -q.
        for args, data, out, note in [(["-f", source, "-t", "UTF-8"], b"A\x81\x42\x81\x44", "A\u3000\u3002".encode(), True),
                                      (["-f", "UTF-8", "-t", source], "\u00a0A\u3001".encode(), b"AA\x81\x43", True),
                                      (["-q", "-f", source], b"B", b"B", False)]:
            with self.subTest(args=args):
                r = self.run_nox(*args, stdin=data, env=self.tiny)
                self.assertEqual((r.returncode, r.stdout), (0, out), r.stderr)
                self.assertEqual(bool(re.search(rb"^noxconv: imported .*test.ucm: 5 lines left out", r.stderr)), note)

    def test_refusals(self):
        for name, text, reason in [
            ("mixed.ucm", "<U0041> \\x41 |0\n<U3000> \\x81\\x40 |0\n<U00E9> \\x81 |0\n<U3001> \\x82\\x40 |0\n"
             "<U3002> \\x82\\x40\\x40 |0\n", r"first bytes start characters of different lengths: \\x81 \(1 and 2 bytes\), "
             r"\\x82 \(2 and 3 bytes\)"),
            ("stateful.ucm", '<uconv_class> "EBCDIC_STATEFUL"\n<U0041> \\xC1 |0\n', r"SI/SO"),
            ("shift.ucm", "<icu:state> 0-ff, e:1.s\n<icu:state> 0-ff:0.s\n<U0041> \\x41 |0\n", r"shift states"),
            ("nothing.ucm", "# no mappings\n", r"no mapping lines"),
            ("unholdable.ucm", "<U20000> \\x41 |0\n<U0041> \\x42 |2\n", r"none of its mapping lines can be held")]:
            with self.subTest(name=name):
                r = self.run_nox("--import-ucm", self.write(name, text.encode()), "-o", self.target)
                self.assertEqual((r.returncode, r.stdout, os.path.exists(self.target)), (2, b"", False))
                self.assertRegex(r.stderr.decode(), r"^noxconv: cannot import .*" + name + ": .*" + reason)

    def test_icu_files_line_by_line_against_the_source(self):
        if not ICU:
            self.skipTest("ICU's mapping tables not given (--icu)")
        for name in ["ibm-943_P15A-2003", "windows-950-2000", "ibm-1047_P100-1995", "euc-jp-2007",
                     "ibm-5348_P100-1997", "macos-0_2-10.2", "ibm-1373_P100-2002"]:
            with self.subTest(name=name):
                source = Path(ICU, name + ".ucm").read_text(encoding="latin-1")
                r = self.run_nox("--import-ucm", os.path.join(ICU, name + ".ucm"))
                self.assertEqual(r.returncode, 0, r.stderr)
                left_out, lead_line = expected_import(source)
                out = r.stdout.decode("latin-1").splitlines()
                self.assertIn(lead_line, out)
                added = [line for line in out if line.startswith(ADDED)]
                self.assertEqual(len(added), 4)
                kept = [line for line in out if not line.startswith(ADDED)]
                dropped = [line for line in source.splitlines()]
                for line in kept:  # every other line stands as in the source, in the source's order
                    while dropped and dropped[0] != line:
                        self.assertIn(dropped[0], sum(left_out.values(), []), "dropped without a reason")
                        dropped.pop(0)
                    self.assertTrue(dropped, "not in the source: " + line)
                    dropped.pop(0)
                counts = ", ".join("%d %s" % (len(left_out[r]), r) for r in REASONS if r in left_out)
                total = sum(map(len, left_out.values()))
                self.assertIn("%d line%s left out (%s)" % (total, "s" if total > 1 else "", counts) if counts
                              else "no line left out", added[2])


class IcuPagesTest(Case):
    def test_every_shipped_icu_page_converts_every_mapping_both_ways(self):
        pages = sorted(glob.glob(os.path.join(DATA, "icu", "*.ucm")))
        if not pages:
            self.skipTest("no ICU code pages shipped")
        for path in pages:
            with self.subTest(page=os.path.basename(path)):
                maps = [m for m in mappings_of(Path(path).read_text(encoding="latin-1")) if m[4] != 2]
                by_bytes, by_unit = {}, {}
                for _, cp, _, raw, precision in maps:
                    by_bytes.setdefault(raw, []).append(precision)
                    by_unit.setdefault(cp, []).append(precision)
                # One answer per key: to Unicode from the |0 and |3 lines, from Unicode from the |0 and |1 lines.
                decode = [(cp, raw) for _, cp, _, raw, p in maps if p in (0, 3) and
                          [q for q in by_bytes[raw] if q in (0, 3)] == [p]]
                encode = [(cp, raw) for _, cp, _, raw, p in maps if p in (0, 1) and
                          [q for q in by_unit[cp] if q in (0, 1)] == [p]]
                self.assertGreater(len(decode) + len(encode), 0)
                for args, pairs, source, target in [
                        (["-f", path, "-t", "UTF-16LE"], decode, lambda c, r: r, lambda c, r: chr(c).encode("utf-16-le", "surrogatepass")),
                        (["-f", "UTF-16LE", "-t", path], encode, lambda c, r: chr(c).encode("utf-16-le", "surrogatepass"), lambda c, r: r)]:
                    data, expected = b"".join(source(*p) for p in pairs), b"".join(target(*p) for p in pairs)
                    r = self.run_nox("-q", *args, stdin=data)
                    if (r.returncode, r.stdout) != (0, expected):
                        first = next((i for i, (a, b) in enumerate(zip(r.stdout, expected)) if a != b), None)
                        self.fail("%s: exit %d, first difference at output byte %s of %d; %s"
                                  % (args[1:4:2], r.returncode, first, len(expected), r.stderr.decode()[:200]))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    for option in ("--noxconv", "--data", "--samples", "--icu", "--man"):
        parser.add_argument(option, required=option in ("--noxconv", "--data"))
    args, rest = parser.parse_known_args()
    NOXCONV, DATA = os.path.abspath(args.noxconv), os.path.abspath(args.data)
    ICU = os.path.abspath(args.icu) if args.icu and os.path.isdir(args.icu) else None
    MAN = os.path.abspath(args.man) if args.man else None
    SAMPLES = os.path.abspath(args.samples or os.path.join(os.path.dirname(__file__), "..", "..", "tools", "samples"))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=1)

#!/usr/bin/env python3
# noxconv's command line against the built binary, iconv as an oracle: --noxconv PATH --data DIR [--icu DIR] [unittest args]
import argparse, os, pty, re, shutil, signal, stat, subprocess, sys, tempfile, time, unittest
from codecs import BOM_UTF16_BE as BE16, BOM_UTF16_LE as LE16, BOM_UTF32_LE as LE32
from pathlib import Path

NOXCONV = DATA = None  # set from the command line
SIZES, SKIP, REPL, A = ("1", "2", "3", "7", "65536"), "--on-error=skip", "--on-error=replace", "\u3042".encode()
# Characters of one to four bytes; 0x80 and 0x84-0xFF start no character.
TINY_UCM = ('<code_set_name> "TINY"\n<nox_lead_bytes> 00-7F:1 80:0 81:2 82:3 83:4 84-FF:0\nCHARMAP\n'
            + "".join("<U%04X> \\x%02X |0\n" % (b, b) for b in range(1, 0x80))
            + "<U3042> \\x81\\x40 |0\n<U3044> \\x82\\x40\\x40 |0\n<U3046> \\x83\\x40\\x40\\x40 |0\n<U00E9> \\x81\\x41 |0\nEND CHARMAP\n")

def shipped(*names): return all(os.path.exists(os.path.join(DATA, "ucm", n + ".ucm")) for n in names)  # in the build's data
def ft(source, target, *options): return ["-f", source, "-t", target, *options]
def environ(**extra):  # without our settings, plus `extra`
    return dict({k: v for k, v in os.environ.items() if not k.startswith(("NOX_", "QV_", "NOXUNICODE_"))}, **extra)

class Case(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.folder, self.target = tmp.name, os.path.join(tmp.name, "out.txt")
        self.tiny = environ(NOX_UCM_PATH=self.folder)
        self.write("TINY.ucm", TINY_UCM.encode())

    def write(self, name, data):
        Path(self.folder, name).write_bytes(data)
        return os.path.join(self.folder, name)

    def run_nox(self, *args, stdin=b"", env=None):
        env = environ(NOX_UCM_PATH=os.path.join(DATA, "ucm")) if env is None else env
        return subprocess.run([NOXCONV, *args], input=stdin, env=env, cwd=self.folder, capture_output=True, timeout=120)

    def leftovers(self): return [n for n in os.listdir(self.folder) if "noxconv" in n]  # temporary files of noxconv

class ResultsTest(Case):
    # (arguments, input, output, exit status, stderr pattern); a pattern starting with ':' follows "<stdin>".
    T, T8, U8, OK = "aé€😀\U0010FFFFz\0" * 3, ft("TINY", "UTF-8"), ft("UTF-8", "LATIN_1"), (0, "^$")
    CASES = [
        # Characters and byte order marks cut at every position.
        (ft("UTF-8", "UTF-16BE"), T.encode(), T.encode("utf-16-be"), *OK), (ft("UTF-32LE", "UTF-8"), T.encode("utf-32-le"), T.encode(), *OK),
        (ft("UTF-16", "UTF-8"), LE16 + T.encode("utf-16-le"), T.encode(), *OK), (ft("UTF-16", "UTF-8"), LE16, b"", *OK),
        (ft("UTF-16", "UTF-8"), T.encode("utf-16-be"), T.encode(), *OK), (ft("UTF-8", "UTF-16"), b"", b"", *OK),
        (ft("UTF-8", "UTF-32"), T.encode(), LE32 + T.encode("utf-32-le"), *OK),
        (ft("UTF-16LE", "UTF-8"), "\ufeffx".encode("utf-16-le"), "\ufeffx".encode(), *OK),
        (ft("TINY", "UTF-16BE"), b"\x83@@@A\x82@@\x81@\0", "\u3046A\u3044\u3042\0".encode("utf-16-be"), *OK),
        (ft("UTF-16BE", "TINY"), "\u3046A\u3044\u3042\0".encode("utf-16-be"), b"\x83@@@A\x82@@\x81@\0", *OK),
        # Transliteration and escapes, where our answers differ from iconv's.
        (ft("UTF-8", "ASCII//TRANSLIT"), "①—ǅ".encode(), b"1--Dz", 0, r"3 .* transliterated"),
        (ft("UTF-8", "ASCII", "--on-error=translit"), "é一".encode(), b"e?", 0,
         r"2 character\(s\) could not be converted: 1 transliterated, 1 replaced"),
        *[(ft("UTF-8", "ASCII", "--on-error=escape" + m), "é€😀".encode(), out, 0, r"3 character\(s\) could not be converted and were escaped")
          for m, out in [("", b"&#x00E9;&#x20AC;&#x1F600;"), ("=xml-dec", b"&#233;&#8364;&#128512;"), ("=c", b"\\u00E9\\u20AC\\U0001F600")]],
        (ft("UTF-8", "UTF-16LE", "--on-error=escape"), b"a\xffb\xe2\x82", "a\\xFFb\\xE2\\x82".encode("utf-16-le"), 0, "2 char"),
        (ft("TINY", "UTF-8", "--on-error=escape=c"), b"a\x81\x42b", b"a\\x81\\x42b", 0, "escaped"),
        # Byte order marks: dropped from the input with --remove-bom, written once with --add-bom, none in a code page.
        (ft("UTF-8", "UTF-16LE", "--remove-bom"), "\ufeffa\ufeff".encode(), "a\ufeff".encode("utf-16-le"), *OK),
        (ft("UTF-16", "UTF-8", "--remove-bom"), BE16 + "\ufeffab".encode("utf-16-be"), "\ufeffab".encode(), *OK),
        (ft("UTF-8", "UTF-16BE", "--add-bom"), b"ab", BE16 + "ab".encode("utf-16-be"), *OK),
        (ft("UTF-8", "UTF-16", "--add-bom"), b"ab", LE16 + "ab".encode("utf-16-le"), *OK), (ft("UTF-8", "LATIN_1", "--add-bom"), b"ab", b"ab", *OK),
        (ft("UTF-8", "UTF-8", "--add-bom", "--remove-bom"), "\ufeffab".encode(), b"\xef\xbb\xbfab", *OK),
        # Errors: where the conversion stops, or what it writes instead, and the count.
        (T8, b"ab\ncd\x81\x42e", b"ab\ncd", 1, r":2:3 \(byte 5\): no mapping for \\x81\\x42 in TINY\n$"),
        (T8 + [SKIP], b"a\x81\x42b", b"ab", 0, r"^noxconv: 1 character\(s\) could not be converted and were skipped"),
        (T8 + [REPL], b"a\x82\x41\x42b\x83\x41\x42\x43", "a\ufffdb\ufffd".encode(), 0, r"2 character\(s\) .*replaced"),
        (T8 + [REPL, "-q"], b"\x90", "\ufffd".encode(), *OK), (ft("UTF-8", "TINY", REPL), "x😀y€".encode(), b"x?y?", 0, r"2 character\(s\)"),
        (T8, b"ab\x83\x40", b"ab", 1, r":1:3 \(byte 2\): incomplete character \\x83\\x40 at end of input in TINY"),
        (U8, "hé\nwörld€".encode(), "hé\nwörld".encode("latin-1"), 1, r":2:6 \(byte 10\): no mapping for U\+20AC in"),
        (ft("UTF-16", "TINY"), "ab😀".encode("utf-16"), b"ab", 1, r":1:3 \(byte 6\): no mapping for U\+1F600 in TINY"),
        (ft("UTF-16BE", "UTF-8"), b"\0a\xd8\0\0b", b"a", 1, r":1:2 \(byte 2\): unpaired surrogate U\+D800 in UTF-16BE"),
        (ft("UTF-32LE", "UTF-8"), b"\0\xd8\0\0", b"", 1, r"invalid code point 0x0000D800 in UTF-32LE"),
        (ft("UTF-8", "UTF-16LE"), b"ok\n\xff", b"o\0k\0\n\0", 1, r":2:1 \(byte 3\): invalid UTF-8 sequence \\xFF"),
        (ft("UTF-8", "UTF-16LE"), b"ok\xe2\x82", b"o\0k\0", 1, r"incomplete UTF-8 sequence \\xE2\\x82 at end"),
        (T8 + ["--best-effort"], b"a\x90\xa4b", "a\x90\xa4b".encode(), *OK),
        (ft("UTF-8", "TINY", "--best-effort"), "é¤a€".encode(), b"\x81\x41\xa4a", 1, r"no mapping for U\+20AC in TINY"),
        # Files: locations count from the start of each; a byte order mark is read per file and written once.
        (T8 + ["one", "two"], b"", b"fine\nx\n", 1, r"^noxconv: two:2:1 \(byte 2\): no mapping for \\x81\\x42 in TINY"),
        (ft("UTF-16", "UTF-16", "le", "be"), b"", LE16 + "abcd".encode("utf-16-le"), *OK),
    ] + [(args, b"x", b"", 2, p) for args, p in [  # usage and file errors
        (["--bogus"], "unknown option '--bogus'"), (["--on-error=maybe"], "invalid --on-error mode 'maybe'"), (["-f"], "needs a value"),
        (["--chunk-size=0"], "invalid chunk size '0'"), (["-t", "NO"], "unknown code page 'NO'"), (["--dump", "UTF-8"], "not a code page"),
        (["-f", "/no.ucm"], "cannot read code page file /no.ucm"), (["-f", "EMPTY.ucm"], "holds no usable table"),
        (["-f", "MIXED.ucm"], r"MIXED.ucm has mapping lines but no <nox_lead_bytes> line, and it cannot be imported: "
                              r"first bytes start characters of different lengths: \\x81 \(1 and 2 bytes\)"),
        (["-t", "UTF-8//BOGUS"], "unknown suffix '//BOGUS'"), (["--on-error=escape=html"], "invalid --on-error"),
        (["-f", "LATIN_1", "/no/input"], "cannot open /no/input"), (["-f", "LATIN_1", "-o", "/no/dir/out"], "cannot create output file"),
        (["--import-ucm", "MIXED.ucm"], r"^noxconv: cannot import MIXED.ucm: .*\\x81 \(1 and 2 bytes\), \\x82 \(2 and 3 bytes\)\n$"),
        (["--import-ucm", "stateful.ucm"], r"^noxconv: cannot import stateful.ucm: .*SI/SO"), (["--import-ucm", "shift.ucm"], "shift states"),
        (["--import-ucm", "nothing.ucm"], "no mapping lines"), (["--import-ucm", "unholdable.ucm"], "none of its mapping lines can be held")]]
    FILES = {"EMPTY.ucm": b"<nox_lead_bytes> 01-7F:1\n", "one": b"fine\n", "two": b"x\n\x81\x42", "nothing.ucm": b"# no mappings\n",
             "MIXED.ucm": b"<U0041> \\x41 |0\n<U3000> \\x81\\x40 |0\n<U00E9> \\x81 |0\n<U3001> \\x82\\x40 |0\n<U3002> \\x82\\x40\\x40 |0\n",
             "stateful.ucm": b'<uconv_class> "EBCDIC_STATEFUL"\n<U0041> \\xC1 |0\n', "unholdable.ucm": b"<U20000> \\x41 |0\n<U0041> \\x42 |2\n",
             "shift.ucm": b"<icu:state> 0-ff, e:1.s\n<icu:state> 0-ff:0.s\n<U0041> \\x41 |0\n",
             "le": LE16 + "ab".encode("utf-16-le"), "be": BE16 + "cd".encode("utf-16-be")}

    def test_output_exit_status_and_messages_at_every_chunk_size(self):
        for name, data in self.FILES.items():
            self.write(name, data)
        for args, data, out, status, pattern in self.CASES:
            for size in SIZES:
                with self.subTest(args=args, data=data[:20], chunk=size):
                    r = self.run_nox("--chunk-size=" + size, *args, stdin=data, env=self.tiny)
                    self.assertEqual((r.returncode, r.stdout), (status, out), r.stderr)
                    self.assertRegex(r.stderr.decode(), re.sub("^:", "^noxconv: <stdin>:", pattern))
                    self.assertNotIn("No mapping", r.stderr.decode())  # the library's own line is not shown

class AtomicOutputTest(Case):
    def test_failure_leaves_the_old_output_or_none_and_no_temporary_file(self):
        for old, args, data, status in [(None, ft("UTF-8", "TINY"), "€".encode(), 1), (None, ["-f", "LATIN_1", "absent"], b"", 2),
                                        (b"old", ft("UTF-8", "TINY"), b"good" * 50000 + "€".encode(), 1)]:
            with self.subTest(old=old, status=status):
                old and self.write("out.txt", old)
                r = self.run_nox(*args, "-o", self.target, stdin=data, env=self.tiny)
                state = Path(self.target).read_bytes() if os.path.exists(self.target) else None
                self.assertEqual((r.returncode, state, self.leftovers()), (status, old, []))

    def test_output_file_keeps_its_inode_links_owner_and_mode(self):
        # Written through a symbolic link, through a hard link, or as its own input; a failure leaves it as it was.
        real, link, hard = self.write("real.txt", b"old"), os.path.join(self.folder, "link"), os.path.join(self.folder, "hard")
        os.symlink(real, link), os.link(real, hard), os.chmod(real, 0o640)
        owner = (65534, 65534) if os.geteuid() == 0 else (os.getuid(), os.getgid())
        os.chown(real, *owner)
        inode, kept = os.stat(real).st_ino, "cafÃ©".encode()
        for out, args, data, status, expected in [(link, [], b"caf\xe9", 0, "café".encode()), (real, [real], b"", 0, kept),
                                                  (hard, ["-t", "TINY"], b"\xa4", 1, kept), (hard, [], b"", 0, b"")]:
            with self.subTest(out=out, data=data):
                r = self.run_nox("-f", "LATIN_1", "-o", out, *args, stdin=data, env=self.tiny)
                st = os.stat(real)
                self.assertEqual((r.returncode, r.stdout, Path(real).read_bytes(), st.st_ino, st.st_nlink, stat.S_IMODE(st.st_mode),
                                  (st.st_uid, st.st_gid), os.path.islink(link), self.leftovers()),
                                 (status, b"", expected, inode, 2, 0o640, owner, True, []), r.stderr)

    def test_signals_mid_conversion(self):
        # SIGTERM removes the temporary file and keeps the old output; an ignored SIGHUP (nohup) stays ignored.
        for sig, ignore, expected in [(signal.SIGTERM, False, b"old"), (signal.SIGHUP, True, b"ab")]:
            self.write("out.txt", b"old")
            setup = (lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN)) if ignore else None
            proc = subprocess.Popen([NOXCONV, "-f", "LATIN_1", "-o", self.target], stdin=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=environ(), preexec_fn=setup)
            proc.stdin.write(b"a"), proc.stdin.flush()
            deadline = time.monotonic() + 30
            while not self.leftovers() and time.monotonic() < deadline:
                time.sleep(0.01)
            proc.send_signal(sig)
            proc.communicate(b"b", timeout=30)
            self.assertEqual((proc.returncode, Path(self.target).read_bytes(), self.leftovers()), (0 if ignore else -sig, expected, []))

class NamesTest(Case):
    def test_code_page_names_aliases_paths_and_environment(self):
        t, env = self.tiny, environ()
        cases = [(["-f", p], env, b"\x81\x40", A) for p in (self.folder + "/TINY.ucm", "./TINY.ucm", "TINY.ucm")]
        cases += [(ft("Utf_8", "utf16le"), env, "é".encode(), b"\xe9\0"),  # case and punctuation do not count
                  ([], dict(t, NOX_CODE_PAGE="TINY", QV_CODE_PAGE="NONE"), b"\x81@", A), ([], dict(t, LC_ALL="C.UTF-8"), A, A),
                  ([], dict(t, QV_CODE_PAGE="TINY"), b"\x81@", A), (["-f", "TINY"], dict(env, QV_UCM_PATH=self.folder), b"\x81@", A)]
        if shipped("SJIS", "ibm-943_P15A-2003"):  # pages from Python's codecs and from ICU
            cases += [(["-f", "shift_jis"], None, b"\x82\xa0", A), (ft("IBM-943_p15a-2003", "SJIS"), None, b"\x82\xa0", b"\x82\xa0"),
                      (ft("SJIS", "windows-932"), env, b"\x82\xa0", b"\x82\xa0")]
        for args, environment, data, expected in cases:
            with self.subTest(args=args, env={k: v for k, v in (environment or {}).items() if k[:3] in ("NOX", "QV_")}):
                r = self.run_nox(*args, stdin=data, env=environment)
                self.assertEqual((r.returncode, r.stdout), (0, expected), r.stderr)

class InfoTest(Case):
    def test_version_list_dump_and_help(self):
        self.assertRegex(self.run_nox("--version").stdout.decode(), r"^noxconv \d+\.\d+\.\d+\nlibnoxunicode\.so.* version \d+\.\d+\.\d+\n")
        self.assertIn("after SIGKILL that temporary file may stay behind", self.run_nox("--help").stdout.decode())
        for env, name, row in [(self.tiny, "TINY", ["4", "file"]), (environ(), "SJIS", ["2", "Python"])]:  # the build's data
            r = self.run_nox("--list", env=env)
            rows = {f[0]: f[1:] for f in (line.split(None, 3) for line in r.stdout.decode().splitlines()[1:]) if f[1:2]}
            self.assertEqual(rows["LATIN_1"][:2] + rows.get(name, row)[:2], ["1", "built"] + row)
            self.assertTrue(b"UTF-16LE" in r.stdout and b"UCS-4BE" in r.stdout)
        self.assertTrue(not shipped("SJIS") or "shift_jis" in rows["SJIS"][2].split(", "))
        dump = self.run_nox("--dump", "TINY", env=self.tiny).stdout.decode().splitlines()
        self.assertEqual(dump[:2] + dump[-1:], ["<U0001> \\x01 |0", "<U0002> \\x02 |0", "<U3046> \\xE3\\x81\\x86 |0"])

@unittest.skipUnless(shutil.which("iconv"), "iconv is not installed")
class IconvHabitsTest(Case):
    TEXT = "a€bécﬁd’e“f”g–h…i©j\n".encode()
    # (arguments, input, same exit status, iconv's arguments where they differ, locale); the output must agree.
    CASES = [(ft("UTF-8", t, *o), d, same, None, "C.UTF-8") for o, t, d, same in [
        (["-c"], "ASCII", TEXT + b"\xff!", True), ([], "ASCII//IGNORE", TEXT, False),  # iconv exits with 1
        ([], "ASCII//TRANSLIT", TEXT + "x一y\n".encode(), True), ([], "ASCII//TRANSLIT", b"ok\xff", True),
        ([], "UCS-2", "aé€".encode(), True), ([], "UCS-2LE", "a😀b".encode(), True), ([], "UCS-4", "a😀".encode(), True),
        ([], "UTF-16", "aé".encode(), True)]]
    CASES += [(ft("ANSI_X3.4-1968", "UTF-8"), b"ab\x80c", True, None, "C.UTF-8"),
              (ft("UCS-2", "UTF-8"), "ab".encode("utf-16-le") + b"\x3d\xd8\x00\xde", True, None, "C.UTF-8"),
              (ft("UTF-8", "ascii//translit//ignore"), TEXT, True, ft("UTF-8", "ASCII//TRANSLIT//IGNORE"), "C.UTF-8"),
              (["-t", "UTF-16LE"], TEXT, True, None, "C.UTF-8"),  # without -f: the locale's character set
              (["-t", "UTF-8"], "é\n".encode(), True, None, "C")]  # in the C locale: ASCII

    def test_habits_agree_with_iconv(self):
        for nox_args, data, same_status, iconv_args, locale in self.CASES:
            env = dict(environ(NOX_UCM_PATH=os.path.join(DATA, "ucm")), LC_ALL=locale)
            with self.subTest(nox=nox_args, data=data[:16], locale=locale):
                ours = self.run_nox(*nox_args, stdin=data, env=env)
                theirs = subprocess.run(["iconv", *(iconv_args or nox_args)], input=data, env=env, capture_output=True, timeout=60)
                self.assertEqual((ours.stdout, ours.returncode if same_status else 0),
                                 (theirs.stdout, theirs.returncode if same_status else 0), ours.stderr)

class OutputTest(Case):
    def test_standard_output_and_devices_are_written_directly(self):
        self.write("in.txt", b"x\xe9\n")
        for script, content in [('( echo A; "$1" -f LATIN_1 -o /dev/stdout in.txt; echo B ) > out', "A\nxé\nB\n"),
                                ('( echo A; "$1" -f LATIN_1 -o - in.txt; echo B ) > out', "A\nxé\nB\n"),
                                ('mkfifo fifo; cat fifo > out & "$1" -f LATIN_1 -o fifo in.txt; wait', "xé\n"),
                                ('"$1" -f LATIN_1 -o /dev/null in.txt && test -c /dev/null && echo ok > out', "ok\n")]:
            with self.subTest(script=script):
                r = subprocess.run(["sh", "-c", script, "sh", NOXCONV], cwd=self.folder, env=environ(), capture_output=True, timeout=60)
                self.assertEqual((r.returncode, Path(self.folder, "out").read_bytes(), self.leftovers()), (0, content.encode(), []), r.stderr)

    def test_progress_only_on_a_terminal_unless_asked(self):
        data = self.write("big.txt", b"abcdefghij" * 40000)
        for args, terminal, pattern in [([], False, r"^$"), (["--progress"], False, r"^(noxconv: \d+% [\d.]+/[\d.]+ MiB\n)+$"),
                                        (["--progress"], True, r"\r.*\[#+ *\] 100%.*\r\x1b\[K"), (["--progress", "-q"], True, r"^$")]:
            with self.subTest(args=args, terminal=terminal):
                leader, follower = pty.openpty() if terminal else os.pipe()
                proc = subprocess.Popen([NOXCONV, "-f", "LATIN_1", "--chunk-size=4096", *args, data],
                                        stdout=subprocess.DEVNULL, stderr=follower, env=environ())
                os.close(follower)
                with os.fdopen(leader, "rb", buffering=0) as reader:
                    err = b"".join(iter(lambda: read_piece(reader), b""))
                self.assertEqual(proc.wait(timeout=60), 0)
                self.assertRegex(err.decode(), pattern)
                self.assertTrue(terminal or b"\r" not in err)

def read_piece(reader):  # b"" at the other end's end (where a terminal's end raises)
    try:
        return reader.read(4096)
    except OSError:
        return b""

class ImportTest(Case):
    SOURCE = ('<code_set_name> "TEST"\n<mb_cur_max> 2\n# a comment\nCHARMAP\n<U0000> \\x00 |0\n<U0041> \\x41 |0\n'
              '<U0042> \\x42 |0 # with a comment\n<U00A0> \\x41 |1\n<U0041> \\x61 |1\n<U20000> \\x81\\x40 |0\n'
              '<U0041><U0300> \\x81\\x41 |0\n<U0043> \\x1A |2\n<U3000> \\x81\\x42 |0\n<U3001> \\x81+\\x43 |0\n'
              '<U3002> \\x81\\x44 |3\nEND CHARMAP\n')
    IMPORTED = ('<code_set_name> "TEST"\n<mb_cur_max> 2\n# a comment\n# Imported with noxconv --import-ucm: the lead-byte '
                "line below is derived from the\n# mapping lines; lines that a noxunicode table cannot hold are left out.\n"
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

    def test_a_lead_byte_line_after_a_long_header_needs_no_import(self):
        for header in [4080, 70000]:  # across the first piece read, beyond the first 64 KiB
            with self.subTest(header=header):
                text = "# " + "x" * (header - 3) + "\n<nox_lead_bytes> 00-7F:1 80-FF:0\nCHARMAP\n<U0041> \\x41 |0\n"
                r = self.run_nox("-f", self.write("long.ucm", text.encode()), "-t", "UTF-8", stdin=b"A", env=self.tiny)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"A", b""))

if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    for option in ("--noxconv", "--data", "--icu"):  # ICU's tables are for the regeneration check; accepted, not used
        parser.add_argument(option, required=option != "--icu")
    args, rest = parser.parse_known_args()
    NOXCONV, DATA = os.path.abspath(args.noxconv), os.path.abspath(args.data)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=1)

// bench_open.cpp - what opening a converter costs and what a whole noxconv run costs.
//
// Opens: each sample runs in a fresh child process of a parent that never opened a converter,
// and measures the first open of one code page, a repeated open after closing that handle,
// a repeated open while another handle of the same page is held, and the first conversion
// after the first open, of 4,096 characters (enough for noxunicode to build its kernels' tables
// there; it never builds them in the open, and not for a shorter first text): wall
// time and the heap that each leaves allocated (glibc mallinfo2). The same for ICU's ucnv_open and
// glibc's iconv_open (to UTF-16LE). Processes: `noxconv` and the `iconv` program converting the
// same tiny files, timed from spawn to exit. Medians over interleaved rounds.
//
// Usage: nox_bench_open [--rounds N] [--runs N] [--only opens|process] [--json FILE]
#include "unicode.h"

#if defined(NOX_BENCH_HAVE_ICU)
#include <unicode/ucnv.h>
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
#include <iconv.h>
#endif

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Page {
    const char* name;
    bool doubleByte;
    std::vector<const char*> icuNames;
    const char* iconvName;
};

// Every shipped double-byte code page, and a few single-byte ones (LATIN_1 is built in).
const std::vector<Page> s_pages = {{"SJIS", true, {"windows-31j", "ibm-943_P15A-2003"}, "CP932"},
                                   {"EUC-JP", true, {"EUC-JP"}, "EUC-JP"},
                                   {"GBK", true, {"GBK", "windows-936"}, "GBK"},
                                   {"GB2312", true, {"GB2312"}, "GB2312"},
                                   {"BIG5", true, {"Big5"}, "BIG5"},
                                   {"CP950", true, {"windows-950"}, "CP950"},
                                   {"EUC-KR", true, {"EUC-KR"}, "EUC-KR"},
                                   {"CP949", true, {"windows-949"}, "CP949"},
                                   {"JOHAB", true, {"JOHAB"}, "JOHAB"},
                                   {"LATIN_1", false, {"ISO-8859-1"}, "ISO-8859-1"},
                                   {"CP1252", false, {"windows-1252"}, "CP1252"},
                                   {"CP1251", false, {"windows-1251"}, "CP1251"},
                                   {"KOI8-R", false, {"KOI8-R"}, "KOI8-R"},
                                   {"CP437", false, {"ibm-437"}, "CP437"}};

enum class Impl { nox, icu, iconv };
const char* const s_implNames[] = {"nox", "icu", "iconv"};

// One child's measurements; ok false when the implementation lacks the page.
struct Sample {
    int ok = 0;
    // first open, repeated open after closing, repeated open while held, first conversion
    double us[4] = {};
    double heap[4] = {}; // bytes left allocated by each
};

const int s_phases = 4;
const char* const s_phaseNames[] = {"first", "reopen", "held", "convert"};

// The text of the first conversion: 4,096 times "A", which every page measured has.
const int s_firstLength = 4096;
const std::string s_firstText(s_firstLength, 'A');

double s_heapInUse()
{
    const struct mallinfo2 mi = mallinfo2();
    return static_cast<double>(mi.uordblks + mi.hblkhd);
}

// Times `open` and the heap it leaves, storing into phase `k` of the sample.
template <typename F> auto s_measure(Sample& s, int k, F open)
{
    const double heapBefore = s_heapInUse();
    const auto start = Clock::now();
    auto handle = open();
    const auto stop = Clock::now();
    s.heap[k] = s_heapInUse() - heapBefore;
    s.us[k] = std::chrono::duration<double, std::micro>(stop - start).count();
    return handle;
}

// The three opens of one page by one implementation, in the calling (fresh) process.
Sample s_openSample(const Page& page, Impl impl, const char* icuName)
{
    Sample s;
    switch (impl) {
    case Impl::nox: {
        const auto open = [&page] { return ncnv_getConverter(page.name); };
        NoxUConverter* h0 = s_measure(s, 0, open);
        int err = 0;
        // A file that does not load gives a Latin-1 converter: one byte a character.
        s.ok = h0 != nullptr && (!page.doubleByte || ncnv_MB_CUR_MAX(h0, &err) >= 2);
        s_measure(s, 3, [h0, &err] {
            std::vector<UChar> out(s_firstLength + 1);
            return ncnv_toUChars(h0, out.data(), s_firstLength + 1, s_firstText.c_str(),
                                 s_firstLength, &err);
        });
        ncnv_releaseConverter(h0);
        NoxUConverter* h1 = s_measure(s, 1, open);
        NoxUConverter* h2 = s_measure(s, 2, open);
        ncnv_releaseConverter(h2);
        ncnv_releaseConverter(h1);
        break;
    }
    case Impl::icu: {
#if defined(NOX_BENCH_HAVE_ICU)
        const auto open = [icuName] {
            UErrorCode status = U_ZERO_ERROR;
            UConverter* c = ucnv_open(icuName, &status);
            return U_SUCCESS(status) ? c : nullptr;
        };
        UConverter* h0 = s_measure(s, 0, open);
        s.ok = h0 != nullptr;
        s_measure(s, 3, [h0] {
            std::vector<UChar> out(s_firstLength + 1);
            UErrorCode status = U_ZERO_ERROR;
            return h0 != nullptr ? ucnv_toUChars(h0, out.data(), s_firstLength + 1,
                                                 s_firstText.c_str(), s_firstLength, &status)
                                 : 0;
        });
        ucnv_close(h0);
        UConverter* h1 = s_measure(s, 1, open);
        UConverter* h2 = s_measure(s, 2, open);
        ucnv_close(h2);
        ucnv_close(h1);
#else
        (void)icuName;
#endif
        break;
    }
    case Impl::iconv: {
#if defined(NOX_BENCH_HAVE_ICONV)
        const auto open = [&page] { return iconv_open("UTF-16LE", page.iconvName); };
        const auto bad = reinterpret_cast<iconv_t>(-1);
        iconv_t h0 = s_measure(s, 0, open);
        s.ok = h0 != bad;
        s_measure(s, 3, [h0, bad] {
            std::string in = s_firstText;
            std::vector<char> out(2 * s_firstLength);
            char* from = &in[0];
            char* to = out.data();
            size_t inLeft = in.size();
            size_t outLeft = out.size();
            return h0 != bad ? iconv(h0, &from, &inLeft, &to, &outLeft) : 0;
        });
        if (h0 != bad) {
            iconv_close(h0);
        }
        iconv_t h1 = s_measure(s, 1, open);
        iconv_t h2 = s_measure(s, 2, open);
        for (iconv_t h : {h2, h1}) {
            if (h != bad) {
                iconv_close(h);
            }
        }
#endif
        break;
    }
    }
    return s;
}

// Runs s_openSample in a child process and returns what it reported.
Sample s_forkSample(const Page& page, Impl impl, const char* icuName)
{
    Sample s;
    int fds[2];
    if (pipe(fds) != 0) {
        return s;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const Sample r = s_openSample(page, impl, icuName);
        const ssize_t n = write(fds[1], &r, sizeof r);
        _exit(n == static_cast<ssize_t>(sizeof r) ? 0 : 1);
    }
    close(fds[1]);
    if (pid > 0) {
        const ssize_t n = read(fds[0], &s, sizeof s);
        int status = 0;
        waitpid(pid, &status, 0);
        if (n != static_cast<ssize_t>(sizeof s) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            s = Sample();
        }
    }
    close(fds[0]);
    return s;
}

double s_median(std::vector<double> v)
{
    if (v.empty()) {
        return NAN;
    }
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Spread of the samples relative to their median: the interquartile range over 1.349, as an
// estimate of the coefficient of variation that outliers do not inflate.
double s_relativeSpread(std::vector<double> v)
{
    if (v.size() < 4) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const double q1 = v[v.size() / 4];
    const double q3 = v[(3 * v.size()) / 4];
    const double m = s_median(v);
    return m > 0 ? (q3 - q1) / 1.349 / m : 0;
}

std::string s_jsonString(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string s_number(double v)
{
    if (std::isnan(v)) {
        return "null";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

struct OpenRow {
    const Page* page;
    Impl impl;
    std::string peerName; // the name the implementation opened
    std::vector<Sample> samples;
};

// ---------------------------------------------------------------- opens

std::vector<OpenRow> s_runOpens(int rounds)
{
    std::vector<OpenRow> rows;
    for (const Page& page : s_pages) {
        rows.push_back({&page, Impl::nox, page.name, {}});
#if defined(NOX_BENCH_HAVE_ICU)
        // The first of the page's ICU names that opens, found in a child so that this process
        // loads no ICU data before the samples.
        std::string icuName;
        for (const char* name : page.icuNames) {
            if (s_forkSample(page, Impl::icu, name).ok != 0) {
                icuName = name;
                break;
            }
        }
        rows.push_back({&page, Impl::icu, icuName, {}});
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
        rows.push_back({&page, Impl::iconv, page.iconvName, {}});
#endif
    }
    std::mt19937 rng(20261207);
    std::vector<size_t> order(rows.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    // Rounds in a new random order each, so that a burst of load from other processes spreads
    // over many rows instead of spoiling every sample of one.
    for (int r = 0; r < rounds; ++r) {
        std::shuffle(order.begin(), order.end(), rng);
        for (size_t i : order) {
            OpenRow& row = rows[i];
            if (row.impl == Impl::icu && row.peerName.empty()) {
                continue;
            }
            const Sample s = s_forkSample(*row.page, row.impl, row.peerName.c_str());
            if (s.ok != 0) {
                row.samples.push_back(s);
            }
        }
    }
    return rows;
}

std::vector<double> s_column(const OpenRow& row, int k, bool heap)
{
    std::vector<double> v;
    for (const Sample& s : row.samples) {
        v.push_back(heap ? s.heap[k] / 1024.0 : s.us[k]);
    }
    return v;
}

void s_printOpens(const std::vector<OpenRow>& rows, int rounds)
{
    std::printf("### Opening a converter (medians of %d fresh processes; microseconds and KB of "
                "heap left allocated)\n\n",
                rounds);
    std::printf("| Code page | Implementation | first open us | first KB | reopen after close us "
                "| reopen KB | open while held us | held KB | first conversion us | its KB |\n");
    std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const OpenRow& row : rows) {
        const std::string impl = std::string(s_implNames[static_cast<int>(row.impl)]) +
                                 (row.impl == Impl::nox ? "" : " (" + row.peerName + ")");
        if (row.samples.empty()) {
            std::printf("| %s | %s | - | - | - | - | - | - | - | - |\n", row.page->name,
                        row.peerName.empty() ? s_implNames[static_cast<int>(row.impl)]
                                             : impl.c_str());
            continue;
        }
        std::printf("| %s | %s", row.page->name, impl.c_str());
        for (int k = 0; k < s_phases; ++k) {
            std::printf(" | %.1f | %.1f", s_median(s_column(row, k, false)),
                        s_median(s_column(row, k, true)));
        }
        std::printf(" |\n");
    }
    std::printf("\n");
}

std::string s_opensJson(const std::vector<OpenRow>& rows)
{
    std::ostringstream out;
    out << "  \"opens\": [";
    bool first = true;
    for (const OpenRow& row : rows) {
        out << (first ? "\n" : ",\n") << "    {\"page\": " << s_jsonString(row.page->name)
            << ", \"double_byte\": " << (row.page->doubleByte ? "true" : "false")
            << ", \"impl\": " << s_jsonString(s_implNames[static_cast<int>(row.impl)])
            << ", \"opened\": " << s_jsonString(row.peerName)
            << ", \"samples\": " << row.samples.size();
        for (int k = 0; k < s_phases; ++k) {
            const std::vector<double> us = s_column(row, k, false);
            const std::vector<double> kb = s_column(row, k, true);
            out << ", \"" << s_phaseNames[k] << "_us\": " << s_number(s_median(us)) << ", \""
                << s_phaseNames[k] << "_us_spread\": " << s_number(s_relativeSpread(us)) << ", \""
                << s_phaseNames[k] << "_kb\": " << s_number(s_median(kb));
        }
        out << "}";
        first = false;
    }
    out << "\n  ]";
    return out.str();
}

// ---------------------------------------------------------------- processes

struct Command {
    std::string label; // "nox" or "iconv"
    std::vector<std::string> argv;
};

struct ProcessCase {
    std::string name;
    Command nox;
    Command iconv;
    std::vector<double> noxMs;
    std::vector<double> iconvMs;
    bool same = false;
};

// Spawns `c` with standard output into `outFd` and standard error into /dev/null; returns the
// wall time in milliseconds, or a negative number when it failed.
double s_runOnce(const Command& c, int outFd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : c.argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    int status = 0;
    if (rc == 0) {
        waitpid(pid, &status, 0);
    }
    const auto stop = Clock::now();
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return std::chrono::duration<double, std::milli>(stop - start).count();
}

std::string s_outputOf(const Command& c)
{
    char path[] = "/tmp/nox_bench_open_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        return {};
    }
    const double ms = s_runOnce(c, fd);
    close(fd);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    std::remove(path);
    return ms < 0 ? std::string() : out.str();
}

bool s_writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return static_cast<bool>(out);
}

std::vector<ProcessCase> s_runProcesses(int runs, std::string& noteOut)
{
    std::vector<ProcessCase> cases;
#if defined(NOX_BENCH_NOXCONV) && defined(NOX_BENCH_ICONV_PROGRAM)
    char dir[] = "/tmp/nox_bench_files_XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        noteOut = "no temporary directory";
        return cases;
    }
    const std::string d(dir);
    // A few lines of Japanese (the shipped sample), of French in CP1252, and of UTF-8 text.
    std::ifstream sample(NOX_BENCH_SAMPLES_DIR "/japanese.sjis.txt", std::ios::binary);
    std::ostringstream sjis;
    sjis << sample.rdbuf();
    std::string cp1252;
    for (int i = 0; i < 6; ++i) {
        cp1252 += "Le caf\xE9 cr\xE8me co\xFBte 3 \x80, na\xEFvement d\xE9j\xE0 pay\xE9.\n";
    }
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F"
                             "e \xE2\x80\x94 \xD0\x9F\xD1\x80\xD0\xB8"
                             "\xD0\xB2\xD0\xB5\xD1\x82 \xE4\xBD\xA0\xE5\xA5\xBD\n";
    const bool written = s_writeFile(d + "/tiny.sjis", sjis.str()) &&
                         s_writeFile(d + "/tiny.cp1252", cp1252) &&
                         s_writeFile(d + "/tiny.utf8", utf8);
    if (!written || sjis.str().empty()) {
        noteOut = "could not write the tiny input files";
        return cases;
    }
    const std::string nox = NOX_BENCH_NOXCONV;
    const std::string iconv = NOX_BENCH_ICONV_PROGRAM;
    cases.push_back({"SJIS to UTF-8 (" + std::to_string(sjis.str().size()) + " bytes)",
                     {"nox", {nox, "-f", "SJIS", "-t", "UTF-8", d + "/tiny.sjis"}},
                     {"iconv", {iconv, "-f", "CP932", "-t", "UTF-8", d + "/tiny.sjis"}},
                     {},
                     {},
                     false});
    cases.push_back({"CP1252 to UTF-8 (" + std::to_string(cp1252.size()) + " bytes)",
                     {"nox", {nox, "-f", "CP1252", "-t", "UTF-8", d + "/tiny.cp1252"}},
                     {"iconv", {iconv, "-f", "CP1252", "-t", "UTF-8", d + "/tiny.cp1252"}},
                     {},
                     {},
                     false});
    cases.push_back({"UTF-8 to UTF-16LE (" + std::to_string(utf8.size()) + " bytes)",
                     {"nox", {nox, "-f", "UTF-8", "-t", "UTF-16LE", d + "/tiny.utf8"}},
                     {"iconv", {iconv, "-f", "UTF-8", "-t", "UTF-16LE", d + "/tiny.utf8"}},
                     {},
                     {},
                     false});
    for (ProcessCase& c : cases) {
        const std::string a = s_outputOf(c.nox);
        const std::string b = s_outputOf(c.iconv);
        c.same = !a.empty() && a == b;
    }
    const int null = open("/dev/null", O_WRONLY);
    for (int r = 0; r < runs; ++r) {
        for (ProcessCase& c : cases) {
            // Alternate which one goes first, so that neither always finds the other's pages.
            const bool noxFirst = r % 2 == 0;
            const double first = s_runOnce(noxFirst ? c.nox : c.iconv, null);
            const double second = s_runOnce(noxFirst ? c.iconv : c.nox, null);
            const double noxMs = noxFirst ? first : second;
            const double iconvMs = noxFirst ? second : first;
            if (noxMs >= 0) {
                c.noxMs.push_back(noxMs);
            }
            if (iconvMs >= 0) {
                c.iconvMs.push_back(iconvMs);
            }
        }
    }
    close(null);
    for (const char* f : {"/tiny.sjis", "/tiny.cp1252", "/tiny.utf8"}) {
        std::remove((d + f).c_str());
    }
    rmdir(dir);
#else
    (void)runs;
    noteOut = "noxconv or the iconv program was not found at configure time";
#endif
    return cases;
}

void s_printProcesses(const std::vector<ProcessCase>& cases, int runs)
{
    std::printf("### A whole run on a tiny file (median wall time of %d runs each, spawn to exit, "
                "interleaved)\n\n",
                runs);
    std::printf("| Case | noxconv ms | iconv ms | noxconv / iconv | same output |\n");
    std::printf("|---|---:|---:|---:|---|\n");
    for (const ProcessCase& c : cases) {
        const double a = s_median(c.noxMs);
        const double b = s_median(c.iconvMs);
        std::printf("| %s | %.2f | %.2f | %.2fx | %s |\n", c.name.c_str(), a, b, a / b,
                    c.same ? "yes" : "NO");
    }
    std::printf("\n");
}

std::string s_processJson(const std::vector<ProcessCase>& cases)
{
    std::ostringstream out;
    out << "  \"process\": [";
    bool first = true;
    for (const ProcessCase& c : cases) {
        out << (first ? "\n" : ",\n") << "    {\"case\": " << s_jsonString(c.name)
            << ", \"nox_ms\": " << s_number(s_median(c.noxMs))
            << ", \"nox_spread\": " << s_number(s_relativeSpread(c.noxMs))
            << ", \"iconv_ms\": " << s_number(s_median(c.iconvMs))
            << ", \"iconv_spread\": " << s_number(s_relativeSpread(c.iconvMs))
            << ", \"runs\": " << c.noxMs.size()
            << ", \"same_output\": " << (c.same ? "true" : "false") << "}";
        first = false;
    }
    out << "\n  ]";
    return out.str();
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 15;
    int runs = 101;
    std::string only;
    std::string jsonPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (a == "--json" && i + 1 < argc) {
            jsonPath = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--rounds N] [--runs N] [--only opens|process] [--json FILE]\n",
                         argv[0]);
            return 2;
        }
    }
    setenv("NOX_UCM_PATH", NOX_BENCH_UCM_DIR, 1);
    unsetenv("NOX_UNICODE_CONVERT_BEST_EFFORT");
    unsetenv("NOXUNICODE_DEBUG");
    unsetenv("NOXUNICODE_CHAR_DEBUG");

    std::vector<OpenRow> opens;
    std::vector<ProcessCase> processes;
    std::string processNote;
    if (only.empty() || only == "opens") {
        opens = s_runOpens(rounds);
        s_printOpens(opens, rounds);
    }
    if (only.empty() || only == "process") {
        processes = s_runProcesses(runs, processNote);
        if (!processNote.empty()) {
            std::printf("Process benchmark left out: %s.\n\n", processNote.c_str());
        }
        s_printProcesses(processes, runs);
    }

    bool failed = false;
    for (const ProcessCase& c : processes) {
        failed = failed || !c.same || c.noxMs.empty() || c.iconvMs.empty();
    }
    for (const OpenRow& row : opens) {
        failed = failed || (row.impl == Impl::nox && row.samples.empty());
    }
    if (!jsonPath.empty()) {
        char date[64];
        const std::time_t now = std::time(nullptr);
        std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S%z", std::localtime(&now));
        std::ofstream out(jsonPath);
        out << "{\n  \"context\": {\"date\": " << s_jsonString(date) << ", \"rounds\": " << rounds
            << ", \"runs\": " << runs << ", \"process_note\": " << s_jsonString(processNote)
            << "},\n"
            << s_opensJson(opens) << ",\n"
            << s_processJson(processes) << "\n}\n";
        failed = failed || !out;
    }
    return failed ? 1 : 0;
}

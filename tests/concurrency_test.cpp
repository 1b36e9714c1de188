// concurrency_test.cpp - many threads converting through one converter, per-thread converters,
// the shared default converter and the UTF routines; every result must equal the one computed
// before the threads started. Under ThreadSanitizer this also shows that conversions only
// read shared state.
#include "ConvertUTF.h"
#include "environment.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using noxtest::captureStderr;
using noxtest::Handle;

const int kThreads = 6;
const int kRounds = 3;
const int kUnset = 99;

void s_addLine(std::string& text, const char* format, unsigned value, unsigned a, unsigned b = 0)
{
    char line[64];
    std::snprintf(line, sizeof line, format, value, a, b);
    text += line;
}

// One-, two- and three-byte characters, half-width katakana, and unmapped lead bytes.
std::string s_tableUcm()
{
    std::string text = "<nox_lead_bytes> 01-7F:1 81-84:2 85:3 86:2 A1-DF:1\nCHARMAP\n";
    for (unsigned b = 1; b < 0x80; ++b) {
        s_addLine(text, "<U%04X> \\x%02X |0\n", b, b);
    }
    for (unsigned i = 0; i < 4 * 0x3F; ++i) {
        s_addLine(text, "<U%04X> \\x%02X\\x%02X |0\n", 0x4E00 + i, 0x81 + i / 63, 0x40 + i % 63);
    }
    for (unsigned i = 0; i < 26 * 26; ++i) {
        s_addLine(text, "<U%04X> \\x85\\x%02X\\x%02X |0\n", 0xAC00 + i, 0x41 + i / 26,
                  0x41 + i % 26);
    }
    for (unsigned b = 0xA1; b <= 0xDF; ++b) {
        s_addLine(text, "<U%04X> \\x%02X |0\n", 0xFF61 + b - 0xA1, b);
    }
    return text + "END CHARMAP\n";
}

// Code-page text, UTF-16 text and the output room of the bounded calls.
struct Work {
    std::string bytes;
    std::vector<UChar> units;
    int room;
};

// Mostly mapped characters; some texts end in a cut-off character, hold an unmapped byte or
// unit, or contain a 0 that ends them early.
std::vector<Work> s_makeWork(unsigned seed, int count)
{
    std::mt19937 engine(seed);
    const auto random = [&engine](unsigned n) { return static_cast<unsigned>(engine()) % n; };
    std::vector<Work> work(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Work& w = work[static_cast<size_t>(i)];
        for (unsigned c = random(200); c > 0; --c) {
            const unsigned kind = random(10);
            unsigned a = 0;
            unsigned b = 0;
            if (kind < 4) {
                w.bytes += static_cast<char>(a = 0x20 + random(0x5F));
                w.units.push_back(static_cast<UChar>(a));
            } else if (kind < 6) {
                a = random(4);
                b = random(0x3F);
                w.bytes += {static_cast<char>(0x81 + a), static_cast<char>(0x40 + b)};
                w.units.push_back(static_cast<UChar>(0x4E00 + a * 0x3F + b));
            } else if (kind < 8) {
                a = random(26);
                b = random(26);
                w.bytes += {'\x85', static_cast<char>(0x41 + a), static_cast<char>(0x41 + b)};
                w.units.push_back(static_cast<UChar>(0xAC00 + a * 26 + b));
            } else {
                w.bytes += static_cast<char>(0xA1 + (a = random(0x3F)));
                w.units.push_back(static_cast<UChar>(0xFF61 + a));
            }
        }
        if (i % 8 == 1) {
            w.bytes += "\x85" "A"; // cut off by the end of the input
        } else if (i % 8 == 3) {
            w.bytes.insert(w.bytes.size() / 2, "\xE0"); // no lead byte
            w.units.insert(w.units.begin() + static_cast<long>(w.units.size() / 2), 0x3042);
        } else if (i % 8 == 5) {
            w.bytes.insert(w.bytes.size() / 3, 1, '\0');
            w.units.insert(w.units.begin() + static_cast<long>(w.units.size() / 3), 0);
        }
        w.room = static_cast<int>(random(static_cast<unsigned>(w.units.size()) + 8));
    }
    return work;
}

// Everything the conversions of one piece of work produce, in one sequence.
using Results = std::vector<long>;

template <typename T> void s_append(Results& r, const T* begin, const T* end)
{
    r.push_back(end - begin);
    r.insert(r.end(), begin, end);
}

// The counted form (ncnv_toUChars, ncnv_fromUChars) into `room` units.
template <typename S, typename T, typename C>
void s_counted(Results& r, NoxUConverter* h, int (*f)(NoxUConverter*, T*, int, const S*, int, int*),
               const C& in, int room)
{
    std::vector<T> out(static_cast<size_t>(room) + 1, static_cast<T>(0xEEEE));
    int error = kUnset;
    r.push_back(f(h, out.data(), room, in.data(), static_cast<int>(in.size()), &error));
    r.push_back(error);
    s_append(r, out.data(), out.data() + out.size());
}

// The pointer-range form (ncnv_toUnicode, ncnv_fromUnicode), resumed after every full output.
template <typename S, typename T, typename C>
void s_ranged(Results& r, NoxUConverter* h,
              void (*f)(NoxUConverter*, T**, const T*, const S**, const S*, int*), const C& in,
              size_t step)
{
    const S* pos = in.data();
    int error = 15;
    while (error == 15) {
        std::vector<T> piece(step, static_cast<T>(0xEEEE));
        T* out = piece.data();
        const S* before = pos;
        error = kUnset;
        f(h, &out, piece.data() + step, &pos, in.data() + in.size(), &error);
        s_append(r, piece.data(), out);
        step = pos == before ? 4 : step; // the next character is longer than the room
    }
    r.push_back(error);
    r.push_back(pos - in.data());
}

Results s_convert(NoxUConverter* h, const Work& w)
{
    Results r;
    s_counted(r, h, ncnv_toUChars, w.bytes, w.room);
    s_counted(r, h, ncnv_fromUChars, w.units, w.room);
    s_ranged(r, h, ncnv_toUnicode, w.bytes, static_cast<size_t>(std::max(w.room, 1)));
    s_ranged(r, h, ncnv_fromUnicode, w.units, static_cast<size_t>(std::max(w.room, 1)));
    for (size_t i = 0; i < w.bytes.size() && i < 24; ++i) {
        int error = kUnset;
        const int maxBytes = static_cast<int>(w.bytes.size() - i);
        r.push_back(ncnv_mblen(h, w.bytes.data() + i, maxBytes, &error));
        r.push_back(error);
    }
    return r;
}

using Job = std::function<Results(int thread)>;
using Side = std::function<void(unsigned round)>;

// Computes every job once in this thread (as thread 0), then runs all of them in kThreads
// threads, each in its own order and kRounds times, while each `side` action repeats in a
// thread of its own. Returns the number of results that differ.
int s_mismatches(const std::vector<Job>& jobs, const std::vector<Side>& side)
{
    std::vector<Results> expected;
    for (const Job& job : jobs) {
        expected.push_back(job(0));
    }
    std::atomic<int> mismatches{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> sides;
    for (const Side& f : side) {
        sides.emplace_back([&done, &f] {
            for (unsigned k = 0; !done; ++k) {
                f(k);
                std::this_thread::yield();
            }
        });
    }
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::vector<size_t> order(jobs.size());
            for (size_t i = 0; i < order.size(); ++i) {
                order[i] = i;
            }
            std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
            for (int round = 0; round < kRounds; ++round) {
                for (size_t i : order) {
                    mismatches += jobs[i](t) != expected[i];
                }
            }
        });
    }
    for (std::thread& thread : workers) {
        thread.join();
    }
    done = true;
    for (std::thread& thread : sides) {
        thread.join();
    }
    ncnv_setFastPaths(true);
    return mismatches;
}

std::vector<Job> s_jobs(NoxUConverter* h, const std::vector<Work>& work)
{
    std::vector<Job> jobs;
    for (const Work& w : work) {
        jobs.push_back([h, &w](int) { return s_convert(h, w); });
    }
    return jobs;
}

// The table dump reads the converter meanwhile; switching paths must not change any result.
std::vector<Side> s_sides(NoxUConverter* h, bool togglePaths)
{
    std::vector<Side> side = {[h](unsigned) { ncnv_dumpUTF8(h, "/dev/null", "w"); }};
    if (togglePaths) {
        side.push_back([](unsigned k) { ncnv_setFastPaths(k % 2 == 0); });
    }
    return side;
}

// Converters are opened from files here: opening one by name would fix the UCM directory and
// the default code page for the whole process before the default-converter test forks.
TEST(ConcurrencyTest, OneConverterManyThreads)
{
    Handle h(s_tableUcm());
    const std::vector<Work> work = s_makeWork(1, 120);
    ASSERT_FALSE(ncnv_getConvertBestEffort()); // read once per process: before any thread
    int mismatches = 0;
    int cut = 0;
    int unmapped = 0;
    captureStderr([&] {
        std::vector<Results> fast;
        std::vector<Results> plain;
        for (const Work& w : work) {
            fast.push_back(s_convert(h.get(), w));
            ncnv_setFastPaths(false);
            plain.push_back(s_convert(h.get(), w));
            ncnv_setFastPaths(true);
            cut += fast.back()[1] == 8; // the work does exercise the failures
            unmapped += fast.back()[1] == 16;
        }
        mismatches = (fast != plain) + s_mismatches(s_jobs(h.get(), work), s_sides(h.get(), true));
    });
    EXPECT_EQ(0, mismatches);
    EXPECT_GT(cut, 0);
    EXPECT_GT(unmapped, 0);
}

// Each thread uses its own converter of the same table, and all share a Latin-1 table.
TEST(ConcurrencyTest, SeveralConvertersManyThreads)
{
    std::string latin1Ucm = "<nox_lead_bytes> 01-FF:1\n";
    for (unsigned b = 1; b < 0x100; ++b) {
        s_addLine(latin1Ucm, "<U%04X> \\x%02X |0\n", b, b);
    }
    Handle latin1(latin1Ucm);
    std::vector<std::unique_ptr<Handle>> own;
    for (int t = 0; t < kThreads; ++t) {
        own.push_back(std::make_unique<Handle>(s_tableUcm()));
    }
    const std::vector<Work> work = s_makeWork(2, 60);
    ASSERT_FALSE(ncnv_getConvertBestEffort());
    std::vector<Job> jobs;
    for (const Work& w : work) {
        jobs.push_back([&](int t) {
            Results r = s_convert(own[static_cast<size_t>(t)]->get(), w);
            const Results l = s_convert(latin1.get(), w);
            r.insert(r.end(), l.begin(), l.end());
            return r;
        });
    }
    int mismatches = 0;
    captureStderr([&] { mismatches = s_mismatches(jobs, {}); });
    EXPECT_EQ(0, mismatches);
}

// The default converter is process-wide: a child process whose default code page is the test
// table. The handle is obtained and released in the main thread only.
TEST(ConcurrencyTest, DefaultConverterManyThreads)
{
    noxtest::TempDir dir;
    dir.write("CONC.ucm", s_tableUcm());
    const auto r = noxtest::runInChild(
        {{"NOX_UCM_PATH", dir.path().c_str()}, {"NOX_CODE_PAGE", "CONC"}, {"QV_UCM_PATH", nullptr},
         {"QV_CODE_PAGE", nullptr}, {"NOX_UNICODE_CONVERT_BEST_EFFORT", nullptr}},
        [] {
            NoxUConverter* h = ncnv_getDefaultUConverter();
            int error = kUnset;
            if (ncnv_MB_CUR_MAX(h, &error) != 3) {
                std::fprintf(stderr, "the default converter is not the test table\n");
                return 100;
            }
            ncnv_getConvertBestEffort();
            const std::vector<Work> work = s_makeWork(3, 80);
            const int mismatches = s_mismatches(s_jobs(h, work), s_sides(h, false));
            ncnv_releaseConverter(h);
            return std::min(mismatches, 99);
        });
    EXPECT_EQ(0, r.exitCode) << r.err;
}

template <typename S, typename T>
using UtfRoutine = utf_ConversionResult (*)(const S**, const S*, T**, T*, utf_ConversionFlags);

template <typename S, typename T>
std::vector<T> s_utf(Results& r, UtfRoutine<S, T> routine, const std::vector<S>& source,
                     utf_ConversionFlags flags)
{
    std::vector<T> out(source.size() * 4 + 1);
    const S* s = source.data();
    T* t = out.data();
    r.push_back(routine(&s, source.data() + source.size(), &t, out.data() + out.size(), flags));
    r.push_back(s - source.data());
    s_append(r, out.data(), t);
    return std::vector<T>(out.data(), t);
}

// All six routines in both modes; the UTF-16 and UTF-8 forms are made from `utf32` as far as
// lenient conversion carries it, the UTF-8 form cut off at the end when asked.
Results s_convertUtf(const std::vector<UTF32>& utf32, bool cut)
{
    Results r;
    const std::vector<UTF16> utf16 = s_utf(r, utf_ConvertUTF32toUTF16, utf32, lenientConversion);
    std::vector<UTF8> utf8 = s_utf(r, utf_ConvertUTF32toUTF8, utf32, lenientConversion);
    if (cut && !utf8.empty()) {
        utf8.back() = 0xC3;
    }
    for (const utf_ConversionFlags flags : {strictConversion, lenientConversion}) {
        s_utf(r, utf_ConvertUTF8toUTF16, utf8, flags);
        s_utf(r, utf_ConvertUTF8toUTF32, utf8, flags);
        s_utf(r, utf_ConvertUTF16toUTF8, utf16, flags);
        s_utf(r, utf_ConvertUTF16toUTF32, utf16, flags);
        s_utf(r, utf_ConvertUTF32toUTF8, utf32, flags);
        s_utf(r, utf_ConvertUTF32toUTF16, utf32, flags);
    }
    for (size_t i = 0; i < utf8.size(); ++i) {
        r.push_back(utf_isLegalUTF8Sequence(utf8.data() + i, utf8.data() + utf8.size()));
    }
    return r;
}

// Texts of one- to four-byte characters with now and then a value some routines refuse.
TEST(ConcurrencyTest, UtfRoutinesManyThreads)
{
    std::mt19937 engine(4);
    const auto random = [&engine](UTF32 n) { return static_cast<UTF32>(engine()) % n; };
    const UTF32 base[] = {0x20, 0x80, 0x800, 0x10000};
    const UTF32 span[] = {0x5F, 0x780, 0xD000, 0x100000};
    std::vector<std::vector<UTF32>> texts(100);
    std::vector<Job> jobs;
    for (size_t i = 0; i < texts.size(); ++i) {
        for (UTF32 c = random(300); c > 0; --c) {
            const UTF32 kind = random(4);
            texts[i].push_back(random(50) != 0   ? base[kind] + random(span[kind])
                               : random(2) == 0 ? 0xD800 + random(0x800)
                                                : 0x110000 + random(100));
        }
        jobs.push_back([&texts, i](int) { return s_convertUtf(texts[i], i % 5 == 1); });
    }
    EXPECT_EQ(0, s_mismatches(jobs, {[](unsigned k) { ncnv_setFastPaths(k % 2 == 0); }}));
}

} // namespace

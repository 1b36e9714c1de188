// concurrency_test.cpp - many threads converting through one converter, through the shared
// default converter, and with the UTF routines; every result must equal the one computed
// before the threads started. Built with ThreadSanitizer this also shows that conversions
// only read shared state.
#include "ConvertUTF.h"
#include "environment.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <cstdio>
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

// One-, two- and three-byte characters, half-width katakana, and unmapped lead bytes.
std::string s_tableUcm()
{
    std::string text = "<code_set_name> \"CONC\"\n"
                       "<nox_lead_bytes> 01-7F:1 81-84:2 85:3 86:2 A1-DF:1\n"
                       "CHARMAP\n";
    char line[64];
    for (int b = 1; b < 0x80; ++b) {
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X |0\n", b, b);
        text += line;
    }
    int value = 0x4E00;
    for (int lead = 0x81; lead <= 0x84; ++lead) {
        for (int trail = 0x40; trail <= 0x7E; ++trail) {
            std::snprintf(line, sizeof line, "<U%04X> \\x%02X\\x%02X |0\n", value++, lead, trail);
            text += line;
        }
    }
    value = 0xAC00;
    for (int second = 0x41; second <= 0x5A; ++second) {
        for (int third = 0x41; third <= 0x5A; ++third) {
            std::snprintf(line, sizeof line, "<U%04X> \\x85\\x%02X\\x%02X |0\n", value++, second,
                          third);
            text += line;
        }
    }
    for (int b = 0xA1; b <= 0xDF; ++b) {
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X |0\n", 0xFF61 + b - 0xA1, b);
        text += line;
    }
    return text + "END CHARMAP\n";
}

// One unit of work: code-page text, UTF-16 text and the output room of the bounded calls.
struct Work {
    std::string bytes;
    std::vector<UChar> units;
    int room;
};

// Texts mostly of mapped characters; some end in a cut-off character or hold an unmapped
// byte or unit, and some contain a 0 that ends them early.
std::vector<Work> s_makeWork(unsigned seed, int count)
{
    std::mt19937 engine(seed);
    const auto random = [&engine] { return static_cast<unsigned>(engine()); };
    std::vector<Work> work;
    for (int i = 0; i < count; ++i) {
        Work w;
        const int chars = static_cast<int>(random() % 200);
        for (int c = 0; c < chars; ++c) {
            const unsigned kind = random() % 10;
            if (kind < 4) {
                const char b = static_cast<char>(0x20 + random() % 0x5F);
                w.bytes += b;
                w.units.push_back(static_cast<UChar>(b));
            } else if (kind < 6) {
                const unsigned lead = 0x81 + random() % 4;
                const unsigned trail = 0x40 + random() % 0x3F;
                w.bytes += {static_cast<char>(lead), static_cast<char>(trail)};
                w.units.push_back(static_cast<UChar>(0x4E00 + (lead - 0x81) * 0x3F + trail - 0x40));
            } else if (kind < 8) {
                const unsigned second = random() % 26;
                const unsigned third = random() % 26;
                w.bytes += {'\x85', static_cast<char>(0x41 + second), static_cast<char>(0x41 + third)};
                w.units.push_back(static_cast<UChar>(0xAC00 + second * 26 + third));
            } else {
                const unsigned b = 0xA1 + random() % 0x3F;
                w.bytes += static_cast<char>(b);
                w.units.push_back(static_cast<UChar>(0xFF61 + b - 0xA1));
            }
        }
        switch (i % 8) {
        case 1:
            w.bytes += '\x85'; // cut off by the end of the input
            w.bytes += 'A';
            break;
        case 3:
            w.bytes.insert(w.bytes.size() / 2, "\xE0"); // no lead byte
            w.units.insert(w.units.begin() + static_cast<long>(w.units.size() / 2), 0x3042);
            break;
        case 5:
            w.bytes.insert(w.bytes.size() / 3, 1, '\0');
            w.units.insert(w.units.begin() + static_cast<long>(w.units.size() / 3), 0);
            break;
        default:
            break;
        }
        w.room = static_cast<int>(random() % (w.units.size() + 8));
        work.push_back(w);
    }
    return work;
}

// Everything the conversions of one unit of work produce.
struct Results {
    std::vector<UChar> toUnits;
    int toResult = 0;
    int toError = 0;
    std::vector<UChar> rangeUnits;
    int rangeError = 0;
    size_t rangeConsumed = 0;
    std::vector<char> fromBytes;
    int fromResult = 0;
    int fromError = 0;
    std::vector<char> rangeBytes;
    int rangeFromError = 0;
    size_t rangeFromConsumed = 0;
    std::vector<int> mblen;

    bool operator==(const Results& o) const
    {
        return toUnits == o.toUnits && toResult == o.toResult && toError == o.toError &&
               rangeUnits == o.rangeUnits && rangeError == o.rangeError &&
               rangeConsumed == o.rangeConsumed && fromBytes == o.fromBytes &&
               fromResult == o.fromResult && fromError == o.fromError &&
               rangeBytes == o.rangeBytes && rangeFromError == o.rangeFromError &&
               rangeFromConsumed == o.rangeFromConsumed && mblen == o.mblen;
    }
};

Results s_convert(NoxUConverter* h, const Work& w)
{
    Results r;
    const int size = static_cast<int>(w.bytes.size());
    std::vector<UChar> out(static_cast<size_t>(w.room) + 1, 0xEEEE);
    r.toError = kUnset;
    r.toResult = ncnv_toUChars(h, out.data(), w.room, w.bytes.data(), size, &r.toError);
    r.toUnits = out;

    // The pointer-range form, resumed after every full output.
    const char* source = w.bytes.data();
    const char* sourceEnd = source + w.bytes.size();
    const size_t step = static_cast<size_t>(std::max(w.room, 1));
    r.rangeError = 15;
    while (r.rangeError == 15) {
        std::vector<UChar> piece(step, 0xEEEE);
        UChar* outPos = piece.data();
        r.rangeError = kUnset;
        ncnv_toUnicode(h, &outPos, piece.data() + step, &source, sourceEnd, &r.rangeError);
        r.rangeUnits.insert(r.rangeUnits.end(), piece.data(), outPos);
    }
    r.rangeConsumed = static_cast<size_t>(source - w.bytes.data());

    std::vector<char> bytes(static_cast<size_t>(w.room) + 1, '\xEE');
    r.fromError = kUnset;
    r.fromResult = ncnv_fromUChars(h, bytes.data(), w.room, w.units.data(),
                                   static_cast<int>(w.units.size()), &r.fromError);
    r.fromBytes = bytes;

    const UChar* units = w.units.data();
    const UChar* unitsEnd = units + w.units.size();
    size_t byteStep = step;
    r.rangeFromError = 15;
    while (r.rangeFromError == 15) {
        std::vector<char> piece(byteStep, '\xEE');
        char* outPos = piece.data();
        const UChar* before = units;
        r.rangeFromError = kUnset;
        ncnv_fromUnicode(h, &outPos, piece.data() + byteStep, &units, unitsEnd, &r.rangeFromError);
        r.rangeBytes.insert(r.rangeBytes.end(), piece.data(), outPos);
        if (units == before) {
            byteStep = 4; // the next character is longer than the room
        }
    }
    r.rangeFromConsumed = static_cast<size_t>(units - w.units.data());

    for (size_t i = 0; i < w.bytes.size() && i < 24; ++i) {
        int error = kUnset;
        r.mblen.push_back(
            ncnv_mblen(h, w.bytes.data() + i, static_cast<int>(w.bytes.size() - i), &error));
        r.mblen.push_back(error);
    }
    return r;
}

// Converts every unit of work in `threads` threads, each in its own order and several times,
// and counts the results that differ from the single-threaded ones. Extra threads may do
// other read-only work meanwhile.
int s_mismatchesInThreads(NoxUConverter* h, const std::vector<Work>& work,
                          const std::vector<Results>& expected, bool toggleFastPaths)
{
    std::atomic<int> mismatches{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<size_t> order(work.size());
            for (size_t i = 0; i < order.size(); ++i) {
                order[i] = i;
            }
            std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
            for (int round = 0; round < kRounds; ++round) {
                for (size_t i : order) {
                    if (!(s_convert(h, work[i]) == expected[i])) {
                        ++mismatches;
                    }
                }
            }
        });
    }
    // The table dump reads the same converter meanwhile.
    std::thread dumper([&] {
        while (!done) {
            ncnv_dumpUTF8(h, "/dev/null", "w");
        }
    });
    // Switching between the fast and the plain paths must not change any result.
    std::thread toggler([&] {
        for (unsigned k = 0; !done; ++k) {
            if (toggleFastPaths) {
                ncnv_setFastPaths(k % 2 == 0);
            }
            std::this_thread::yield();
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    done = true;
    dumper.join();
    toggler.join();
    ncnv_setFastPaths(true);
    return mismatches;
}

std::vector<Results> s_expected(NoxUConverter* h, const std::vector<Work>& work)
{
    std::vector<Results> expected;
    for (const Work& w : work) {
        expected.push_back(s_convert(h, w));
    }
    return expected;
}

TEST(ConcurrencyTest, OneConverterManyThreads)
{
    Handle h(s_tableUcm());
    const std::vector<Work> work = s_makeWork(1, 120);
    // Best-effort mode is read once per process: ask before any thread could.
    ASSERT_FALSE(ncnv_getConvertBestEffort());
    std::vector<Results> expected;
    int mismatches = 0;
    captureStderr([&] {
        expected = s_expected(h.get(), work);
        // The plain paths give what the fast paths gave.
        ncnv_setFastPaths(false);
        mismatches += static_cast<int>(expected != s_expected(h.get(), work));
        ncnv_setFastPaths(true);
        mismatches += s_mismatchesInThreads(h.get(), work, expected, true);
    });
    EXPECT_EQ(0, mismatches);
    // The work does exercise the failures.
    int cut = 0;
    int unmapped = 0;
    for (const Results& r : expected) {
        cut += r.toError == 8;
        unmapped += r.toError == 16;
    }
    EXPECT_GT(cut, 0);
    EXPECT_GT(unmapped, 0);
}

// Every test here opens its converters from files: opening one by name would fix the UCM
// directory and the default code page for the whole process, and the default-converter test
// below needs them unset when it forks.
TEST(ConcurrencyTest, SeveralConvertersManyThreads)
{
    // Each thread uses its own converter of the same table, and all share a Latin-1 table.
    std::string latin1Ucm = "<nox_lead_bytes> 01-FF:1\n";
    for (int b = 1; b < 0x100; ++b) {
        char line[32];
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X |0\n", b, b);
        latin1Ucm += line;
    }
    Handle latin1(latin1Ucm);
    const std::string ucm = s_tableUcm();
    std::vector<std::unique_ptr<Handle>> own;
    for (int t = 0; t < kThreads; ++t) {
        own.push_back(std::make_unique<Handle>(ucm));
    }
    const std::vector<Work> work = s_makeWork(2, 60);
    ASSERT_FALSE(ncnv_getConvertBestEffort());
    std::atomic<int> mismatches{0};
    captureStderr([&] {
        const std::vector<Results> expected = s_expected(own[0]->get(), work);
        const std::vector<Results> expectedLatin1 = s_expected(latin1.get(), work);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (size_t i = 0; i < work.size(); ++i) {
                    mismatches += !(s_convert(own[static_cast<size_t>(t)]->get(), work[i]) ==
                                    expected[i]);
                    mismatches += !(s_convert(latin1.get(), work[i]) == expectedLatin1[i]);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    });
    EXPECT_EQ(0, mismatches.load());
}

TEST(ConcurrencyTest, DefaultConverterManyThreads)
{
    // The default converter is process-wide: a child process of its own, whose default code
    // page is the test table. The handle is obtained and released in the main thread only.
    noxtest::TempDir dir;
    dir.write("CONC.ucm", s_tableUcm());
    const auto r = noxtest::runInChild(
        {{"NOX_UCM_PATH", dir.path().c_str()}, {"NOX_CODE_PAGE", "CONC"},
         {"QV_UCM_PATH", nullptr}, {"QV_CODE_PAGE", nullptr},
         {"NOX_UNICODE_CONVERT_BEST_EFFORT", nullptr}},
        [] {
            NoxUConverter* h = ncnv_getDefaultUConverter();
            int error = kUnset;
            if (ncnv_MB_CUR_MAX(h, &error) != 3) {
                std::fprintf(stderr, "the default converter is not the test table\n");
                return 100;
            }
            ncnv_getConvertBestEffort();
            const std::vector<Work> work = s_makeWork(3, 80);
            const std::vector<Results> expected = s_expected(h, work);
            const int mismatches = s_mismatchesInThreads(h, work, expected, false);
            ncnv_releaseConverter(h);
            return std::min(mismatches, 99);
        });
    EXPECT_EQ(0, r.exitCode) << r.err;
}

// ------------------------------------------------------------------ UTF routines

struct UtfWork {
    std::vector<UTF8> utf8;
    std::vector<UTF16> utf16;
    std::vector<UTF32> utf32;
};

struct UtfResults {
    std::vector<std::vector<uint32_t>> outputs;
    std::vector<int> results;
    bool operator==(const UtfResults& o) const
    {
        return outputs == o.outputs && results == o.results;
    }
};

std::vector<UtfWork> s_makeUtfWork(unsigned seed, int count)
{
    std::mt19937 engine(seed);
    const auto random = [&engine] { return static_cast<UTF32>(engine()); };
    std::vector<UtfWork> work;
    for (int i = 0; i < count; ++i) {
        UtfWork w;
        const int chars = static_cast<int>(random() % 300);
        for (int c = 0; c < chars; ++c) {
            UTF32 v = 0;
            switch (random() % 4) {
            case 0: v = 0x20 + random() % 0x5F; break;
            case 1: v = 0x80 + random() % 0x780; break;
            case 2: v = 0x800 + random() % 0xD000; break;
            default: v = 0x10000 + random() % 0x100000; break;
            }
            // Now and then a value that some routines refuse.
            if (random() % 50 == 0) {
                v = random() % 2 == 0 ? 0xD800 + random() % 0x800 : 0x110000 + random() % 100;
            }
            w.utf32.push_back(v);
        }
        // The other forms of the same text, as far as lenient conversion carries it.
        std::vector<UTF16> u16(w.utf32.size() * 2 + 1);
        std::vector<UTF8> u8(w.utf32.size() * 4 + 1);
        const UTF32* s = w.utf32.data();
        UTF16* t16 = u16.data();
        utf_ConvertUTF32toUTF16(&s, s + w.utf32.size(), &t16, u16.data() + u16.size(),
                                lenientConversion);
        w.utf16.assign(u16.data(), t16);
        s = w.utf32.data();
        UTF8* t8 = u8.data();
        utf_ConvertUTF32toUTF8(&s, s + w.utf32.size(), &t8, u8.data() + u8.size(),
                               lenientConversion);
        w.utf8.assign(u8.data(), t8);
        if (i % 5 == 1 && !w.utf8.empty()) {
            w.utf8.back() = 0xC3; // a character cut off at the end
        }
        work.push_back(w);
    }
    return work;
}

template <typename S, typename T>
void s_runUtf(utf_ConversionResult (*routine)(const S**, const S*, T**, T*, utf_ConversionFlags),
              const std::vector<S>& source, UtfResults* r)
{
    for (const utf_ConversionFlags flags : {strictConversion, lenientConversion}) {
        std::vector<T> out(source.size() * 4 + 1);
        const S* s = source.data();
        T* t = out.data();
        r->results.push_back(routine(&s, source.data() + source.size(), &t,
                                     out.data() + out.size(), flags));
        r->results.push_back(static_cast<int>(s - source.data()));
        r->outputs.emplace_back(out.data(), t);
    }
}

UtfResults s_convertUtf(const UtfWork& w)
{
    UtfResults r;
    s_runUtf(utf_ConvertUTF8toUTF16, w.utf8, &r);
    s_runUtf(utf_ConvertUTF8toUTF32, w.utf8, &r);
    s_runUtf(utf_ConvertUTF16toUTF8, w.utf16, &r);
    s_runUtf(utf_ConvertUTF16toUTF32, w.utf16, &r);
    s_runUtf(utf_ConvertUTF32toUTF8, w.utf32, &r);
    s_runUtf(utf_ConvertUTF32toUTF16, w.utf32, &r);
    int legal = 0;
    for (size_t i = 0; i < w.utf8.size(); ++i) {
        legal += utf_isLegalUTF8Sequence(w.utf8.data() + i, w.utf8.data() + w.utf8.size());
    }
    r.results.push_back(legal);
    return r;
}

TEST(ConcurrencyTest, UtfRoutinesManyThreads)
{
    const std::vector<UtfWork> work = s_makeUtfWork(4, 100);
    std::vector<UtfResults> expected;
    for (const UtfWork& w : work) {
        expected.push_back(s_convertUtf(w));
    }
    std::atomic<int> mismatches{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                for (size_t i = 0; i < work.size(); ++i) {
                    mismatches += !(s_convertUtf(work[i]) == expected[i]);
                }
            }
        });
    }
    std::thread toggler([&] {
        for (unsigned k = 0; !done; ++k) {
            ncnv_setFastPaths(k % 2 == 0);
            std::this_thread::yield();
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    done = true;
    toggler.join();
    ncnv_setFastPaths(true);
    EXPECT_EQ(0, mismatches.load());
}

} // namespace

// guard_page_test.cpp - conversions whose input ends right before an inaccessible page and
// whose output room ends right before one: a read or write past a limit dies with SIGSEGV,
// also without sanitizers.
#include "ConvertUTF.h"
#include "environment.h"
#include "kernels/kernels.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace {

using namespace std::string_literals;
using U32 = std::u32string; // bytes, UTF-16 units or UTF-32 values, by operation
const int kUnset = 99;

// Places `values`, cast to T, right before a PROT_NONE page: slot 0 for input, 1 for output.
template <typename T> T* s_place(int slot, const U32& values)
{
    static char* ends[2] = {};
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE)), arena = 1 << 16;
    if (ends[slot] == nullptr) {
        void* base =
            mmap(nullptr, arena + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ends[slot] = static_cast<char*>(base) + arena;
        EXPECT_TRUE(base != MAP_FAILED && mprotect(ends[slot], page, PROT_NONE) == 0);
    }
    T* data = reinterpret_cast<T*>(ends[slot]) - values.size();
    std::transform(values.begin(), values.end(), data, [](char32_t v) { return T(v); });
    return data;
}

// Runs `body` on the fast paths with and without the AVX-512 blocks, then on the plain paths.
template <typename F> void s_eachPath(F body)
{
    const nox::KernelLevel ceiling = nox::kernelCeiling();
    for (int path = 0; path < 3; ++path) {
        nox::setKernelCeiling(path == 0   ? nox::KernelLevel::AVX512
                              : path == 1 ? nox::KernelLevel::AVX2
                                          : nox::KernelLevel::Exact);
        SCOPED_TRACE(path == 0 ? "fast paths" : path == 1 ? "fast, no AVX-512" : "plain paths");
        body();
    }
    nox::setKernelCeiling(ceiling);
}

// Wide: lead bytes of lengths 1 to 4 and 15 (only four bytes are taken); 0xA0 is a one-byte
// lead without a mapping, 0xC1 no lead byte. Shifted: single bytes, 0x80-0xFF to U+0400-U+047F.
std::string s_ucm(bool shifted)
{
    std::string text = shifted
                           ? "<nox_lead_bytes> 01-FF:1\nCHARMAP\n"
                           : "<nox_lead_bytes> 01-7F:1 81:2 83:3 84:4 85:F A0:1\nCHARMAP\n"
                             "<U3000> \\x81\\x40 |0\n<U4E00> \\x83\\x41\\x42 |0\n"
                             "<U4E01> \\x84\\x41\\x42\\x43 |0\n<U4E02> \\x85\\x41\\x42\\x43 |0\n";
    for (int b = 1; b < (shifted ? 0x100 : 0x80); ++b) {
        char line[32];
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X |0\n", b < 0x80 ? b : b + 0x380, b);
        text += line;
    }
    return text + "END CHARMAP\n";
}

// Code-page calls (counted, NUL-terminated, pointer-range, mblen), the validators, and the
// UTF routines (strict, or lenient with kL added).
enum Op { kToU, kToUNul, kToURange, kMblen, kFromU, kFromUNul, kFromURange, kValid, kL = 10000 };
enum { k8to16 = 816, k8to32 = 832, k16to8 = 1608, k16to32 = 1632, k32to8 = 3208, k32to16 = 3216 };
struct Call {
    Call(int r = -1, int e = kUnset, U32 o = {}, std::string m = {})
        : result(r), error(e), out(o), err(m)
    {
    }
    int result; // code page: result, or input consumed (pointer-range); UTF: input consumed;
    int error;  // validators: utf_isLegalUTF8Sequence, and utf_isLegalUTF8 as the error
    U32 out;    // the whole room: 0xEE, 0xEEEE or 0xEEEEEEEE where nothing was written
    std::string err;
};

template <typename S, typename T, typename F> Call s_call(const U32& src, size_t room, F f)
{
    const S* in = s_place<S>(0, src);
    T* out = s_place<T>(1, U32(room, 0xEEEEEEEE));
    Call c;
    c.err = noxtest::captureStderr(
        [&] { c.result = f(in, in + src.size(), out, out + room, &c.error); });
    for (size_t i = 0; i < room; ++i) {
        c.out += char32_t(std::make_unsigned_t<T>(out[i]));
    }
    return c;
}

template <typename S, typename T>
Call s_cp(int (*counted)(NoxUConverter*, T*, int, const S*, int, int*),
          void (*ranged)(NoxUConverter*, T**, const T*, const S**, const S*, int*),
          NoxUConverter* h, int op, const U32& in, size_t room)
{
    return s_call<S, T>(in, room, [&](const S* s, const S* end, T* t, T* tEnd, int* e) {
        const S* start = s;
        if (op == kMblen) {
            return ncnv_mblen(h, reinterpret_cast<const char*>(s), int(end - s), e);
        } else if (op != kToURange && op != kFromURange) {
            const bool nul = op == kToUNul || op == kFromUNul;
            return counted(h, t, int(tEnd - t), s, nul ? -1 : int(end - s), e);
        }
        ranged(h, &t, tEnd, &s, end, e);
        return int(s - start);
    });
}

template <typename S, typename T>
Call s_utf(utf_ConversionResult (*f)(const S**, const S*, T**, T*, utf_ConversionFlags),
           const U32& in, size_t room, utf_ConversionFlags flags)
{
    return s_call<S, T>(in, room, [&](const S* s, const S* end, T* t, T* tEnd, int* e) {
        const S* start = s;
        *e = f(&s, end, &t, tEnd, flags);
        return int(s - start);
    });
}

Call s_run(NoxUConverter* h, int op, const U32& in, size_t room)
{
    const int from = op % kL / 100, to = op % 100;
    const auto utf = [&](auto f) {
        return s_utf(f, in, room, op >= kL ? lenientConversion : strictConversion);
    };
    const auto valid = [](const UTF8* s, const UTF8* end, UTF8*, UTF8*, int* e) {
        *e = s != end ? utf_isLegalUTF8(s, int32_t(end - s)) : kUnset;
        return int(utf_isLegalUTF8Sequence(s, end));
    };
    if (from == 0) {
        return op == kValid  ? s_call<UTF8, UTF8>(in, 0, valid)
               : op < kFromU ? s_cp(ncnv_toUChars, ncnv_toUnicode, h, op, in, room)
                             : s_cp(ncnv_fromUChars, ncnv_fromUnicode, h, op, in, room);
    }
    return from == 8    ? (to == 16 ? utf(utf_ConvertUTF8toUTF16) : utf(utf_ConvertUTF8toUTF32))
           : from == 16 ? (to == 8 ? utf(utf_ConvertUTF16toUTF8) : utf(utf_ConvertUTF16toUTF32))
                        : (to == 8 ? utf(utf_ConvertUTF32toUTF8) : utf(utf_ConvertUTF32toUTF16));
}

// Calls `op` with room for exactly want.out.
void s_expect(NoxUConverter* h, int op, const U32& in, const Call& want)
{
    const Call got = s_run(h, op, in, want.out.size());
    EXPECT_EQ(want.result, got.result);
    EXPECT_EQ(want.error, got.error);
    EXPECT_EQ(want.out, got.out);
    EXPECT_EQ(want.err, got.err);
}

using Cases = std::vector<std::tuple<int, U32, Call>>;
void s_checkCases(NoxUConverter* h, const Cases& cases)
{
    s_eachPath([&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(&c - cases.data());
            s_expect(h, std::get<0>(c), std::get<1>(c), std::get<2>(c));
        }
    });
}

#if !defined(NOX_GUARD_BEST_EFFORT)

// A run of characters, each as input and output, with room for all of them and then for one
// unit less; `tail` (a cut character) is taken in neither.
void s_expectRun(NoxUConverter* h, int op, const std::vector<std::pair<U32, U32>>& chars, int done,
                 int full, char32_t fill, const U32& tail = U"")
{
    U32 src, dst;
    for (const auto& c : chars) {
        src += c.first;
        dst += c.second;
    }
    const bool counted = op == kToU || op == kFromU;
    s_expect(h, op, src + tail, {int(counted ? dst.size() : src.size()), done, dst});
    if (!chars.empty() && tail.empty()) {
        const size_t in = chars.back().first.size(), out = chars.back().second.size();
        s_expect(h, op, src,
                 {int(counted ? dst.size() : src.size() - in), full,
                  dst.substr(0, dst.size() - out) + U32(out - 1, fill)});
    }
}

TEST(GuardPageTest, EveryOperationStopsAtItsLimits)
{
    const auto cut = [](const char* b) { return "No mapping for character(s) "s + b + "'\n"; };
    const std::string bad = "No mapping for character ";
    const int ok = conversionOK, srcEx = sourceExhausted, ill = sourceIllegal;
    const char32_t x = 0xEE, xx = 0xEEEE, xxxx = 0xEEEEEEEE;
    const noxtest::Handle wide(s_ucm(false));
    // clang-format off
    s_checkCases(wide.get(), {
        // To UTF-16 with room for exactly the units converted, none for the terminator.
        {kToU, U"A\x83\x41", {1, 8, U"A"}}, {kToU, U"\x85\x41\x42", {0, 8}},
        {kToU, U"\x84\x41\x42\x43", {1, 0, U"\x4E01"}}, {kToU, U"\x85\x41\x42\x43", {1, 0, U"\x4E02"}},
        {kToU, U"A\xA0", {1, 16, U"A", cut("\\xA0\\x00\\x00\\x00")}},
        {kToU, U"\xA0\x41\x42", {0, 16, U"", cut("\\xA0\\x41\\x42\\x00")}},
        {kToU, U"A\x81\x41", {1, 16, U"A", cut("\\x81\\x41\\x00\\x00")}},
        {kToU, U"\xC1", {0, 16, U"", cut("\\xC1\\x00\\x00\\x00")}},
        {kToU, U"\x83\x41\x42\x84\x41\x42\x43\x81", {2, 8}},
        {kToU, U"\x84\x41\x42\x43\x41", {2, 15, U"\x4E01"}},
        // The pointer-range form stops after the last whole character that fits.
        {kToURange, U"\x83\x41\x42\x84\x41\x42\x43\x81", {7, 8, U"\x4E00\x4E01"}},
        {kToURange, U"\x84\x41\x42\x43\x41", {4, 15, U"\x4E01"}},
        {kToURange, U"A\xA0", {1, 16, U"A"s + xx, cut("\\xA0\\x00\\x00\\x00")}},
        {kToUNul, U"\x83\x41\x42\0"s, {1, 0, U"\x4E00\0"s}},
        {kToUNul, U"A\x81\0"s, {1, 16, U"A\0"s, cut("\\x81\\x00\\x00\\x00")}},
        {kToUNul, U"\x84\x41\x42\0"s, {0, 16, U"\0"s, cut("\\x84\\x41\\x42\\x00")}},
        {kMblen, U"", {-1, 15}}, {kMblen, U"\0"s, {0, 0}}, {kMblen, U"\x81", {-1, 15}},
        {kMblen, U"\x84\x41\x42", {-1, 15}}, {kMblen, U"\x85\x41\x42\x43", {4, 0}},
        {kMblen, U"\xA0", {-1, 3, U"", bad + "\\xA0\n"}},
        {kMblen, U"\x81\x41", {-1, 3, U"", bad + "\\x81\n"}},
        // From UTF-16: nothing of a character that does not fit.
        {kFromU, U"A\x3000", {3, 0, U"A\x81\x40"}}, {kFromU, U"A\x3000", {3, 15, U"A"s + x}},
        {kFromU, U"\x4E01", {4, 15, {x, x, x}}}, {kFromU, U"A", {1, 15}},
        {kFromU, U"\x4E00\x4E01", {7, 0, U"\x83\x41\x42\x84\x41\x42\x43"}},
        {kFromU, U"A\xE9", {1, 16, U"A\0"s, bad + "<U00E9>\n"}},
        {kFromU, U"\xD83D", {0, 16, U"\0"s, bad + "<UD83D>\n"}},
        {kFromURange, U"A\x3000", {1, 15, U"A"s + x}},
        {kFromURange, U"\x4E01", {1, kUnset, U"\x84\x41\x42\x43"}},
        {kFromURange, U"A\xE9", {1, 16, U"A"s + x, bad + "<U00E9>\n"}},
        // utf_isLegalUTF8Sequence, utf_isLegalUTF8.
        {kValid, U"", {0}}, {kValid, U"A", {1, 1}}, {kValid, U"\xC3", {0, 1}},
        {kValid, U"\xE2\x82", {0, 1}}, {kValid, U"\xE2\x82\xAC", {1, 1}},
        {kValid, U"\xF0\x9F\x98", {0, 1}}, {kValid, U"\xF0\x9F\x98\x80", {1, 1}},
        {kValid, U"\xED\xA0\x80", {1, 1}}, {kValid, U"\xF8\x88\x80\x80", {0, 0}},
        // UTF routines: input consumed, result, output.
        {k8to16 + kL, U"AB\xC3", {2, srcEx, U"AB"s + xx}}, {k8to16, U"\xF8", {0, srcEx, {xx}}},
        {k8to16, U"\xED\xA0\x80", {0, ill, {xx}}}, {k8to16 + kL, U"\xED\xA0\x80", {3, ok, U"\xD800"}},
        {k8to16 + kL, U"A\x80", {1, ill, U"A"s + xx}},
        {k8to32 + kL, U"\xF0\x9F\x98", {0, srcEx, {xxxx}}},
        {k8to32, U"\xF4\x8F\xBF\xBF", {4, ok, U"\x10FFFF"}},
        {k8to32 + kL, U"\xED\xBF\xBF", {3, ok, U"\xDFFF"}},
        {k16to8, U"A\xD83D", {2, ok, U"A\xED\xA0\xBD"}}, {k16to8, U"\xDC00", {0, ill, {x, x, x}}},
        {k16to8 + kL, U"\xDC00", {1, ok, U"\xED\xB0\x80"}}, {k16to32, U"A\xD83D", {2, ok, U"A\xD83D"}},
        {k16to32, U"\xD83D\x41", {0, ill, {xxxx, xxxx}}}, {k32to16, U"A\x110000", {1, ill, U"A"s + xx}},
        {k32to16 + kL, U"A\x110000", {2, ok, U"A\xFFFD"}}, {k32to16, U"\xDC00", {0, ill, {xx}}},
        {k32to8 + kL, U"\x110000", {1, ok, U"\xEF\xBF\xBD"}}});
    // clang-format on
}

// Runs that reach the block paths; through the code pages also cut by a lead byte, in UTF-8
// also cut after each byte.
TEST(GuardPageTest, RunsEndAtTheGuard)
{
    const noxtest::Handle wide(s_ucm(false)), latin1(ncnv_getConverter("LATIN_1")),
        shifted(s_ucm(true));
    // ASCII, 0x80-0xFF, or two of three characters 0x81 0x40.
    const std::pair<NoxUConverter*, char> pages[] = {
        {wide.get(), 'a'}, {latin1.get(), 'a'}, {shifted.get(), 'h'}, {wide.get(), 'd'}};
    const U32 chars[][3] = {{U"A", U"A", U"A"},
                            {U"\xC3\xA9", U"\xE9", U"\xE9"},
                            {U"\xE2\x82\xAC", U"\x20AC", U"\x20AC"},
                            {U"\xF0\x9F\x98\x80", U"\xD83D\xDE00", U"\x1F600"}};
    s_eachPath([&] {
        for (size_t n : {0, 1, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 256, 4097}) {
            SCOPED_TRACE(n);
            for (const auto& [h, kind] : pages) {
                std::vector<std::pair<U32, U32>> toU, fromU;
                for (size_t i = 0; i < n; ++i) {
                    const char32_t b = kind == 'h' ? 0x80 + i % 128 : 0x21 + i % 90;
                    toU.push_back(
                        kind == 'd' && i % 3 != 2
                            ? std::make_pair(U"\x81\x40"s, U"\x3000"s)
                            : std::make_pair(U32(1, b), U32(1, kind == 'h' ? b + 0x380 : b)));
                    fromU.emplace_back(toU.back().second, toU.back().first);
                }
                s_expectRun(h, kToU, toU, 0, 15, 0xEEEE);
                s_expectRun(h, kToURange, toU, kUnset, 15, 0xEEEE);
                s_expectRun(h, kFromU, fromU, 0, 15, 0xEE);
                s_expectRun(h, kFromURange, fromU, kUnset, 15, 0xEE);
                if (h == wide.get()) {
                    s_expectRun(h, kToU, toU, 8, 0, 0, U"\x81");
                    s_expectRun(h, kToURange, toU, 8, 0, 0, U"\x81");
                }
            }
            for (const auto& c : chars) {
                for (int from = 0; from < 3; ++from) {
                    for (int to = (from + 1) % 3; to != from; to = (to + 1) % 3) {
                        const int op = (8 << from) * 100 + (8 << to);
                        const std::vector<std::pair<U32, U32>> run(n, {c[from], c[to]});
                        SCOPED_TRACE(testing::Message()
                                     << op << " U+" << std::hex << unsigned(c[2][0]));
                        s_expectRun(nullptr, op, run, conversionOK, targetExhausted,
                                    to == 0   ? 0xEE
                                    : to == 1 ? 0xEEEE
                                              : 0xEEEEEEEE);
                        for (size_t cut = 1; from == 0 && cut < c[0].size(); ++cut) {
                            s_expectRun(nullptr, op, run, sourceExhausted, 0, 0,
                                        c[0].substr(0, cut));
                        }
                    }
                }
            }
        }
    });
}

#else

// Best-effort mode is fixed by the first query in a process: the child is forked before
// anything asked. An unmapped byte passes through; a cut-off lead byte still stops.
TEST(GuardPageTest, BestEffortPassThroughAtTheGuard)
{
    const std::string ucm = s_ucm(false);
    const auto r = noxtest::runInChild({{"NOX_UNICODE_CONVERT_BEST_EFFORT", "True"}}, [&] {
        const noxtest::Handle h(ucm);
        // clang-format off
        s_checkCases(h.get(), {
            {kToU, U"A\xA0", {2, 0, U"A\xA0"}}, {kToU, U"\xA0\x81", {1, 8, U"\xA0"}},
            {kToU, U"A\xA0", {2, 8}}, {kToURange, U"\xA0", {0, 15}},
            {kMblen, U"\xA0", {1, kUnset, U"", "No mapping for character \\xA0\n"}},
            {kFromU, U"A\xE9", {2, 15, U"A"}}, {kFromURange, U"A\xE9", {1, 15, U"A"}}});
        // clang-format on
        return testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(0, r.exitCode) << r.err;
}

#endif

} // namespace

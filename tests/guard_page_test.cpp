// guard_page_test.cpp - conversions whose input ends right before an inaccessible page and
// whose output room ends right before one, at every kernel level: a read or write past a
// limit dies with SIGSEGV, also without sanitizers.
#include "ConvertUTF.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;
using noxtest::kUnset;
using U32 = std::u32string; // bytes, UTF-16 units or UTF-32 values, by operation

// Places `values`, cast to T, right before a PROT_NONE page: slot 0 for input, 1 for output.
template <typename T> T* s_place(int slot, const U32& values)
{
    static char* ends[2] = {};
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t arena = 1 << 16;
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
// UTF routines (strict, or lenient with kLenient added: from-width * 100 + to-width).
enum Op { kToU, kToUNul, kToURange, kMblen, kFromU, kFromUNul, kFromURange, kValid };
enum Utf {
    k8to16 = 816,
    k8to32 = 832,
    k16to8 = 1608,
    k16to32 = 1632,
    k32to8 = 3208,
    k32to16 = 3216
};
const int kLenient = 10000;

struct Outcome {
    Outcome(int result_in = -1, int error_in = kUnset, U32 out_in = {}, std::string message_in = {})
        : result(result_in), error(error_in), out(std::move(out_in)), message(std::move(message_in))
    {
    }
    int result; // code page: result, or input consumed (pointer-range); UTF: input consumed;
                // validators: utf_isLegalUTF8Sequence
    int error;  // code page: error code; UTF: the result; validators: utf_isLegalUTF8
    U32 out;    // the whole room: 0xEE, 0xEEEE or 0xEEEEEEEE where nothing was written
    std::string message;
    bool operator==(const Outcome& o) const
    {
        return result == o.result && error == o.error && out == o.out && message == o.message;
    }
};

template <typename S, typename T, typename F> Outcome s_call(const U32& src, size_t room, F f)
{
    const S* in = s_place<S>(0, src);
    T* out = s_place<T>(1, U32(room, 0xEEEEEEEE));
    Outcome o;
    o.message = noxtest::captureStderr(
        [&] { o.result = f(in, in + src.size(), out, out + room, &o.error); });
    for (size_t i = 0; i < room; ++i) {
        o.out += char32_t(std::make_unsigned_t<T>(out[i]));
    }
    return o;
}

template <typename S, typename T>
Outcome s_codePage(int (*counted)(NoxUConverter*, T*, int, const S*, int, int*),
                   void (*ranged)(NoxUConverter*, T**, const T*, const S**, const S*, int*),
                   NoxUConverter* h, int op, const U32& in, size_t room)
{
    return s_call<S, T>(in, room, [&](const S* s, const S* end, T* t, T* tEnd, int* e) {
        const S* start = s;
        int retval = 0;
        if (op == kMblen) {
            retval = ncnv_mblen(h, reinterpret_cast<const char*>(s), int(end - s), e);
        } else if (op != kToURange && op != kFromURange) {
            const bool nul = op == kToUNul || op == kFromUNul;
            retval = counted(h, t, int(tEnd - t), s, nul ? -1 : int(end - s), e);
        } else {
            ranged(h, &t, tEnd, &s, end, e);
            retval = int(s - start);
        }
        return retval;
    });
}

template <typename S, typename T>
Outcome s_utf(utf_ConversionResult (*f)(const S**, const S*, T**, T*, utf_ConversionFlags),
              const U32& in, size_t room, utf_ConversionFlags flags)
{
    return s_call<S, T>(in, room, [&](const S* s, const S* end, T* t, T* tEnd, int* e) {
        const S* start = s;
        *e = f(&s, end, &t, tEnd, flags);
        return int(s - start);
    });
}

Outcome s_run(NoxUConverter* h, int op, const U32& in, size_t room)
{
    const int utf = op % kLenient;
    const auto flags = op >= kLenient ? lenientConversion : strictConversion;
    const auto valid = [](const UTF8* s, const UTF8* end, UTF8*, UTF8*, int* e) {
        *e = s != end ? utf_isLegalUTF8(s, int32_t(end - s)) : kUnset;
        return int(utf_isLegalUTF8Sequence(s, end));
    };
    Outcome retval{};
    if (op == kValid) {
        retval = s_call<UTF8, UTF8>(in, 0, valid);
    } else if (op < kFromU) {
        retval = s_codePage(ncnv_toUChars, ncnv_toUnicode, h, op, in, room);
    } else if (op <= kFromURange) {
        retval = s_codePage(ncnv_fromUChars, ncnv_fromUnicode, h, op, in, room);
    } else if (utf == k8to16) {
        retval = s_utf(utf_ConvertUTF8toUTF16, in, room, flags);
    } else if (utf == k8to32) {
        retval = s_utf(utf_ConvertUTF8toUTF32, in, room, flags);
    } else if (utf == k16to8) {
        retval = s_utf(utf_ConvertUTF16toUTF8, in, room, flags);
    } else if (utf == k16to32) {
        retval = s_utf(utf_ConvertUTF16toUTF32, in, room, flags);
    } else if (utf == k32to8) {
        retval = s_utf(utf_ConvertUTF32toUTF8, in, room, flags);
    } else {
        retval = s_utf(utf_ConvertUTF32toUTF16, in, room, flags);
    }
    return retval;
}

struct Case {
    int op;
    U32 in;
    Outcome want; // the room is exactly want.out
};

void s_checkCases(NoxUConverter* h, const std::vector<Case>& cases)
{
    noxtest::forEachLevel([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << "operation " << c.op << ", case " << &c - cases.data());
            const Outcome got = s_run(h, c.op, c.in, c.want.out.size());
            EXPECT_EQ(c.want.result, got.result);
            EXPECT_EQ(c.want.error, got.error);
            EXPECT_TRUE(c.want.out == got.out);
            EXPECT_EQ(c.want.message, got.message);
        }
    });
}

#if !defined(NOX_GUARD_BEST_EFFORT)

// A run of characters, each as input and output, with room for all of them and then for one
// unit less; `tail` (a cut character) is taken in neither.
void s_expectRun(NoxUConverter* h, int op, const std::vector<std::pair<U32, U32>>& chars, int done,
                 int full, char32_t fill, const U32& tail = U"")
{
    U32 src;
    U32 dst;
    for (const auto& c : chars) {
        src += c.first;
        dst += c.second;
    }
    const bool counted = op == kToU || op == kFromU;
    const Outcome all = s_run(h, op, src + tail, dst.size());
    EXPECT_EQ(int(counted ? dst.size() : src.size()), all.result);
    EXPECT_EQ(done, all.error);
    EXPECT_TRUE(dst == all.out);
    if (!chars.empty() && tail.empty()) {
        const size_t in = chars.back().first.size();
        const size_t out = chars.back().second.size();
        const Outcome short1 = s_run(h, op, src, dst.size() - 1);
        EXPECT_EQ(int(counted ? dst.size() : src.size() - in), short1.result);
        EXPECT_EQ(full, short1.error);
        EXPECT_TRUE(dst.substr(0, dst.size() - out) + U32(out - 1, fill) == short1.out);
    }
}

TEST(GuardPageTest, EveryOperationStopsAtItsLimits)
{
    const auto cut = [](const char* b) { return "No mapping for character(s) "s + b + "'\n"; };
    const std::string bad = "No mapping for character ";
    const int ok = conversionOK;
    const int srcEx = sourceExhausted;
    const int ill = sourceIllegal;
    const char32_t x = 0xEE;
    const char32_t xx = 0xEEEE;
    const char32_t xxxx = 0xEEEEEEEE;
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
        {kValid, U"", {0, kUnset}}, {kValid, U"A", {1, 1}}, {kValid, U"\xC3", {0, 1}},
        {kValid, U"\xE2\x82", {0, 1}}, {kValid, U"\xE2\x82\xAC", {1, 1}},
        {kValid, U"\xF0\x9F\x98", {0, 1}}, {kValid, U"\xF0\x9F\x98\x80", {1, 1}},
        {kValid, U"\xED\xA0\x80", {1, 1}}, {kValid, U"\xF8\x88\x80\x80", {0, 0}},
        // UTF routines: input consumed, result, output.
        {k8to16 + kLenient, U"AB\xC3", {2, srcEx, U"AB"s + xx}}, {k8to16, U"\xF8", {0, srcEx, {xx}}},
        {k8to16, U"\xED\xA0\x80", {0, ill, {xx}}}, {k8to16 + kLenient, U"\xED\xA0\x80", {3, ok, U"\xD800"}},
        {k8to16 + kLenient, U"A\x80", {1, ill, U"A"s + xx}},
        {k8to32 + kLenient, U"\xF0\x9F\x98", {0, srcEx, {xxxx}}},
        {k8to32, U"\xF4\x8F\xBF\xBF", {4, ok, U"\x10FFFF"}},
        {k8to32 + kLenient, U"\xED\xBF\xBF", {3, ok, U"\xDFFF"}},
        {k16to8, U"A\xD83D", {2, ok, U"A\xED\xA0\xBD"}}, {k16to8, U"\xDC00", {0, ill, {x, x, x}}},
        {k16to8 + kLenient, U"\xDC00", {1, ok, U"\xED\xB0\x80"}}, {k16to32, U"A\xD83D", {2, ok, U"A\xD83D"}},
        {k16to32, U"\xD83D\x41", {0, ill, {xxxx, xxxx}}}, {k32to16, U"A\x110000", {1, ill, U"A"s + xx}},
        {k32to16 + kLenient, U"A\x110000", {2, ok, U"A\xFFFD"}}, {k32to16, U"\xDC00", {0, ill, {xx}}},
        {k32to8 + kLenient, U"\x110000", {1, ok, U"\xEF\xBF\xBD"}}});
    // clang-format on
}

// Runs that reach the block kernels; through the code pages also cut by a lead byte, in UTF-8
// also cut after each byte.
TEST(GuardPageTest, RunsEndAtTheGuard)
{
    const noxtest::Handle wide(s_ucm(false));
    const noxtest::Handle latin1(ncnv_getConverter("LATIN_1"));
    const noxtest::Handle shifted(s_ucm(true));
    // ASCII, 0x80-0xFF, or two of three characters 0x81 0x40.
    const struct {
        NoxUConverter* h;
        char kind;
    } pages[] = {{wide.get(), 'a'}, {latin1.get(), 'a'}, {shifted.get(), 'h'}, {wide.get(), 'd'}};
    const U32 chars[][3] = {{U"A", U"A", U"A"},
                            {U"\xC3\xA9", U"\xE9", U"\xE9"},
                            {U"\xE2\x82\xAC", U"\x20AC", U"\x20AC"},
                            {U"\xF0\x9F\x98\x80", U"\xD83D\xDE00", U"\x1F600"}};
    noxtest::forEachLevel([&] {
        for (size_t n : {0, 1, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 256, 4097}) {
            SCOPED_TRACE(n);
            for (const auto& page : pages) {
                std::vector<std::pair<U32, U32>> toU;
                std::vector<std::pair<U32, U32>> fromU;
                for (size_t i = 0; i < n; ++i) {
                    const char32_t b = page.kind == 'h' ? 0x80 + i % 128 : 0x21 + i % 90;
                    toU.push_back(
                        page.kind == 'd' && i % 3 != 2
                            ? std::make_pair(U"\x81\x40"s, U"\x3000"s)
                            : std::make_pair(U32(1, b), U32(1, page.kind == 'h' ? b + 0x380 : b)));
                    fromU.emplace_back(toU.back().second, toU.back().first);
                }
                s_expectRun(page.h, kToU, toU, 0, 15, 0xEEEE);
                s_expectRun(page.h, kToURange, toU, kUnset, 15, 0xEEEE);
                s_expectRun(page.h, kFromU, fromU, 0, 15, 0xEE);
                s_expectRun(page.h, kFromURange, fromU, kUnset, 15, 0xEE);
                if (page.h == wide.get()) {
                    s_expectRun(page.h, kToU, toU, 8, 0, 0, U"\x81");
                    s_expectRun(page.h, kToURange, toU, 8, 0, 0, U"\x81");
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

// UTF input of every length from 1 to 80 units, from several scripts and cut anywhere, ending
// right before the guard page with ample room: every level stops where level Exact stops, and
// no kernel reads a unit past the input, however much room the output leaves it.
TEST(GuardPageTest, UtfInputsOfEveryLengthEndAtTheGuard)
{
    // Characters as UTF-8, UTF-16 and UTF-32: ASCII, Latin, Cyrillic, CJK, emoji.
    const U32 chars[][3] = {{U"a", U"a", U"a"},
                            {U"\xC3\xA9", U"\xE9", U"\xE9"},
                            {U"\xD0\x96", U"\x416", U"\x416"},
                            {U"\xE4\xB8\xAD", U"\x4E2D", U"\x4E2D"},
                            {U"\xF0\x9F\x98\x80", U"\xD83D\xDE00", U"\x1F600"}};
    for (int from = 0; from < 3; ++from) {
        for (size_t length = 1; length <= 80; ++length) {
            // Mostly one script at a time, so that the vector blocks see long regular runs.
            U32 text;
            for (size_t i = 0; text.size() < length; ++i) {
                const size_t script = (i / 24 + length) % 5;
                text += chars[i % 7 == 6 ? 0 : script][from];
            }
            text.resize(length); // may cut the last character
            for (int to = (from + 1) % 3; to != from; to = (to + 1) % 3) {
                const int op = (8 << from) * 100 + (8 << to);
                SCOPED_TRACE(testing::Message() << "operation " << op << ", length " << length);
                const size_t room = 4 * length + 64;
                const noxtest::CeilingGuard guard;
                nox::setKernelCeiling(nox::KernelLevel::Exact);
                const Outcome exact = s_run(nullptr, op, text, room);
                for (const nox::KernelLevel level : noxtest::kernelLevels()) {
                    nox::setKernelCeiling(level);
                    EXPECT_TRUE(exact == s_run(nullptr, op, text, room))
                        << nox::kernelLevelName(level);
                }
            }
        }
    }
}

// A text ends at its 0 whatever the count or range says: a 0-terminated text that ends right
// before the guard page, converted with counts and ranges of its length, one more, and far
// beyond, gives at every level what level Exact gives, and nothing reads past its 0.
TEST(GuardPageTest, TextEndsAtItsZeroWhateverTheCount)
{
    const noxtest::Handle wide(s_ucm(false));
    const std::string ucm = std::string(NOX_DATA_DIR) + "/ucm/";
    const noxtest::Handle pages[] = {
        noxtest::Handle(ncnv_getConverter("LATIN_1")),
        noxtest::Handle(ncnv_loadConverter((ucm + "CP1252.ucm").c_str())),
        noxtest::Handle(ncnv_loadConverter((ucm + "SJIS.ucm").c_str())),
        noxtest::Handle(ncnv_loadConverter((ucm + "GBK.ucm").c_str()))};
    // Text of `length` bytes: ASCII and, where a page has them, two-byte characters.
    const auto text = [](size_t length, size_t seed) {
        U32 bytes;
        U32 units;
        for (size_t i = 0; bytes.size() < length; ++i) {
            const size_t pick = (i * 7 + seed) % 5;
            if (pick < 2 && bytes.size() + 2 <= length) {
                bytes += U"\x82\xA0";   // U+3042 in SJIS; U+4E28-ish in GBK; two Latin-1 bytes
                units += U"\xE9\x3042"; // units both ways differ by page; only the reads matter
            } else {
                bytes += char32_t(0x21 + (i * 13 + seed) % 90);
                units += char32_t(0x21 + (i * 13 + seed) % 90);
            }
        }
        return std::make_pair(bytes, units);
    };
    const int far = INT_MAX;
    for (const auto& page : pages) {
        for (size_t length = 1; length <= 80; ++length) {
            SCOPED_TRACE(length);
            const auto [bytes, units] = text(length, length);
            // Counts: the length, one more (the 0 included), far beyond, and the 0 alone.
            const auto outcomes = [&, &bytes = bytes, &units = units] {
                std::vector<Outcome> retval;
                for (const int count : {int(length), int(length) + 1, far, -1}) {
                    retval.push_back(s_call<char, UChar>(
                        bytes + U32(1, 0), length + 2,
                        [&](const char* s, const char*, UChar* t, UChar* tEnd, int* e) {
                            return ncnv_toUChars(page.get(), t, int(tEnd - t), s, count, e);
                        }));
                    retval.push_back(s_call<UChar, char>(
                        units + U32(1, 0), 2 * length + 2,
                        [&](const UChar* s, const UChar*, char* t, char* tEnd, int* e) {
                            return ncnv_fromUChars(page.get(), t, int(tEnd - t), s, count, e);
                        }));
                    retval.push_back(s_call<char, UChar>(
                        bytes + U32(1, 0), length + 2,
                        [&](const char* s, const char*, UChar*, UChar*, int* e) {
                            return ncnv_mblen(page.get(), s, count, e);
                        }));
                }
                // Ranges: the length, one more, and far beyond the 0.
                for (const size_t end : {length, length + 1, size_t(far)}) {
                    retval.push_back(s_call<char, UChar>(
                        bytes + U32(1, 0), length + 2,
                        [&](const char* s, const char*, UChar* t, UChar* tEnd, int* e) {
                            const char* start = s;
                            ncnv_toUnicode(page.get(), &t, tEnd, &s, start + end, e);
                            return int(s - start);
                        }));
                    retval.push_back(s_call<UChar, char>(
                        units + U32(1, 0), 2 * length + 2,
                        [&](const UChar* s, const UChar*, char* t, char* tEnd, int* e) {
                            const UChar* start = s;
                            ncnv_fromUnicode(page.get(), &t, tEnd, &s, start + end, e);
                            return int(s - start);
                        }));
                }
                return retval;
            };
            const noxtest::CeilingGuard guard;
            nox::setKernelCeiling(nox::KernelLevel::Exact);
            const std::vector<Outcome> exact = outcomes();
            for (const nox::KernelLevel level : noxtest::kernelLevels()) {
                nox::setKernelCeiling(level);
                EXPECT_TRUE(exact == outcomes()) << nox::kernelLevelName(level);
            }
        }
    }
}

// Runs that cross pages: 0-terminated texts of up to three pages whose 0 lies in the last page
// before the guard, with bytes or units that are not 0 between the 0 and the guard, converted
// with a count far beyond the 0. A kernel that crosses a page boundary only where the rest of
// the page holds no 0 never touches the guard. UTF-16 text also at an odd address, whose units
// straddle the page boundaries. Also with a count that ends the text before its 0. Every level
// gives what level Exact gives.
TEST(GuardPageTest, RunsCrossPagesOnlyWhereTheTextGoesOn)
{
    const std::string ucm = std::string(NOX_DATA_DIR) + "/ucm/";
    const noxtest::Handle pages[] = {
        noxtest::Handle(ncnv_getConverter("LATIN_1")),
        noxtest::Handle(ncnv_loadConverter((ucm + "CP1252.ucm").c_str())),
        noxtest::Handle(ncnv_loadConverter((ucm + "CP1251.ucm").c_str())),
        noxtest::Handle(ncnv_loadConverter((ucm + "SJIS.ucm").c_str()))};
    // Bytes and units that each page maps both ways: ASCII, and 0xE9 (LATIN_1, CP1252) or
    // 0xE0 (CP1251: U+0430); SJIS takes only the ASCII ones.
    const auto text = [](size_t length, bool upper) {
        U32 retval;
        for (size_t i = 0; i < length; ++i) {
            retval += upper && i % 3 == 1 ? char32_t(0xE9) : char32_t(0x21 + i % 90);
        }
        return retval;
    };
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const int far = INT_MAX;
#if !defined(NOX_ADDRESS_SANITIZER)
    // UTF-16 units at an odd address, right before the guard (the first byte unused); not
    // under the sanitizers, which refuse reads of units at odd addresses.
    const auto oddUnits = [](const U32& values) {
        char* start = s_place<char>(0, U32(2 * values.size() + 1, 0x41));
        for (size_t i = 0; i < values.size(); ++i) {
            const auto unit = static_cast<UChar>(values[i]);
            std::memcpy(start + 1 + 2 * i, &unit, sizeof unit);
        }
        return reinterpret_cast<const UChar*>(start + 1);
    };
#endif
    for (size_t h = 0; h < std::size(pages); ++h) {
        const bool upper = h < 2;
        U32 bytes = text(3 * page, upper || h == 2);
        U32 fromUnits = bytes;
        if (h == 2) {
            std::replace(bytes.begin(), bytes.end(), char32_t(0xE9), char32_t(0xE0));
            std::replace(fromUnits.begin(), fromUnits.end(), char32_t(0xE9), char32_t(0x430));
        }
        for (const size_t length :
             {size_t(1), size_t(63), size_t(100), page - 1, page + 7, 2 * page + 33}) {
            for (const size_t after : {0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 200}) {
                SCOPED_TRACE(testing::Message()
                             << "page " << h << ", length " << length << ", after the 0 " << after);
                const U32 filler(after, 0x41);
                const U32 in = bytes.substr(0, length) + U32(1, 0) + filler;
                const U32 inUnits = fromUnits.substr(0, length) + U32(1, 0) + filler;
                const auto outcomes = [&] {
                    std::vector<Outcome> retval;
                    for (const int count : {int(length) - 1, far, -1}) {
                        retval.push_back(s_call<char, UChar>(
                            in, length + 2,
                            [&](const char* s, const char*, UChar* t, UChar* tEnd, int* e) {
                                return ncnv_toUChars(pages[h].get(), t, int(tEnd - t), s, count, e);
                            }));
                        retval.push_back(s_call<UChar, char>(
                            inUnits, length + 2,
                            [&](const UChar* s, const UChar*, char* t, char* tEnd, int* e) {
                                return ncnv_fromUChars(pages[h].get(), t, int(tEnd - t), s, count,
                                                       e);
                            }));
#if !defined(NOX_ADDRESS_SANITIZER)
                        retval.push_back(s_call<char, char>(
                            U"", length + 2,
                            [&](const char*, const char*, char* t, char* tEnd, int* e) {
                                return ncnv_fromUChars(pages[h].get(), t, int(tEnd - t),
                                                       oddUnits(inUnits), count, e);
                            }));
#endif
                    }
                    retval.push_back(s_call<char, UChar>(
                        in, length + 2,
                        [&](const char* s, const char*, UChar* t, UChar* tEnd, int* e) {
                            const char* start = s;
                            ncnv_toUnicode(pages[h].get(), &t, tEnd, &s, start + far, e);
                            return int(s - start);
                        }));
                    retval.push_back(s_call<UChar, char>(
                        inUnits, length + 2,
                        [&](const UChar* s, const UChar*, char* t, char* tEnd, int* e) {
                            const UChar* start = s;
                            ncnv_fromUnicode(pages[h].get(), &t, tEnd, &s, start + far, e);
                            return int(s - start);
                        }));
                    return retval;
                };
                const noxtest::CeilingGuard guard;
                nox::setKernelCeiling(nox::KernelLevel::Exact);
                const std::vector<Outcome> exact = outcomes();
                EXPECT_EQ(int(length) - 1, exact[0].result);
                for (const nox::KernelLevel level : noxtest::kernelLevels()) {
                    nox::setKernelCeiling(level);
                    EXPECT_TRUE(exact == outcomes()) << nox::kernelLevelName(level);
                }
            }
        }
    }
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

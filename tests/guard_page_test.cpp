// guard_page_test.cpp - conversions whose input ends right before an inaccessible page and
// whose output room ends right before one, at every kernel level: a read or write past a
// limit dies with SIGSEGV, also without sanitizers. The UTF routines' and validators' tables in
// ConvertUTF_test run the same way.
#include "ConvertUTF.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;
using noxtest::kUnset;
using U32 = std::u32string; // bytes, UTF-16 units or UTF-32 values, by operation

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

// Code-page calls: counted, NUL-terminated, pointer-range, mblen.
enum Op { kToU, kToUNul, kToURange, kMblen, kFromU, kFromUNul, kFromURange };
const int kOk = NCNV_OK;
const int kInvalid = NCNV_INVALID_CHAR;
const int kCut = NCNV_INDEX_OUTOFBOUNDS;
const int kFull = NCNV_BUFFER_OVERFLOW;
const int kNoMap = NCNV_UNSUPPORTED;

struct Outcome {
    Outcome(int result_in = -1, int error_in = kUnset, U32 out_in = {}, std::string message_in = {})
        : result(result_in), error(error_in), out(std::move(out_in)), message(std::move(message_in))
    {
    }
    int result; // the value returned, or the input consumed (pointer-range)
    int error;
    U32 out; // the whole room: 0xEE or 0xEEEE where nothing was written
    std::string message;
};

// One code-page call through the shared helpers, which place the input and the room right
// before the guard pages.
Outcome s_run(NoxUConverter* h, int op, const U32& in, size_t room)
{
    std::string bytes;
    std::u16string units;
    for (const char32_t v : in) {
        bytes += static_cast<char>(v);
        units += static_cast<char16_t>(v);
    }
    const int size = static_cast<int>(in.size());
    const int counted = static_cast<int>(room);
    noxtest::Call c;
    if (op == kToU || op == kToUNul) {
        c = noxtest::toUChars(h, bytes, op == kToUNul ? -1 : size, counted);
    } else if (op == kFromU || op == kFromUNul) {
        c = noxtest::fromUChars(h, units, op == kFromUNul ? -1 : size, counted);
    } else if (op == kToURange) {
        c = noxtest::toUnicode(h, bytes, in.size(), room);
    } else if (op == kFromURange) {
        c = noxtest::fromUnicode(h, units, in.size(), room);
    } else {
        c = noxtest::mblen(h, bytes, size);
    }
    const bool ranged = op == kToURange || op == kFromURange;
    return {ranged ? static_cast<int>(c.consumed) : c.result, c.error,
            U32(c.out.begin(), c.out.end()), c.message};
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

// The UTF routine from form `from` to form `to` (0: UTF-8, 1: UTF-16, 2: UTF-32).
noxtest::Utf s_utf(int from, int to)
{
    using noxtest::Utf;
    const Utf routines[3][3] = {{Utf::U8to16, Utf::U8to16, Utf::U8to32},
                                {Utf::U16to8, Utf::U16to8, Utf::U16to32},
                                {Utf::U32to8, Utf::U32to16, Utf::U32to16}};
    return routines[from][to];
}

TEST(GuardPageTest, EveryOperationStopsAtItsLimits)
{
    const auto cut = [](const char* b) { return "No mapping for character(s) "s + b + "'\n"; };
    const std::string bad = "No mapping for character ";
    const char32_t x = 0xEE;
    const char32_t xx = 0xEEEE;
    const noxtest::Handle wide(s_ucm(false));
    // clang-format off
    s_checkCases(wide.get(), {
        // To UTF-16 with room for exactly the units converted, none for the terminator.
        {kToU, U"A\x83\x41", {1, kCut, U"A"}}, {kToU, U"\x85\x41\x42", {0, kCut}},
        {kToU, U"\x84\x41\x42\x43", {1, kOk, U"\x4E01"}}, {kToU, U"\x85\x41\x42\x43", {1, kOk, U"\x4E02"}},
        {kToU, U"A\xA0", {1, kNoMap, U"A", cut("\\xA0\\x00\\x00\\x00")}},
        {kToU, U"\xA0\x41\x42", {0, kNoMap, U"", cut("\\xA0\\x41\\x42\\x00")}},
        {kToU, U"A\x81\x41", {1, kNoMap, U"A", cut("\\x81\\x41\\x00\\x00")}},
        {kToU, U"\xC1", {0, kNoMap, U"", cut("\\xC1\\x00\\x00\\x00")}},
        {kToU, U"\x83\x41\x42\x84\x41\x42\x43\x81", {2, kCut}},
        {kToU, U"\x84\x41\x42\x43\x41", {2, kFull, U"\x4E01"}},
        // The pointer-range form stops after the last whole character that fits.
        {kToURange, U"\x83\x41\x42\x84\x41\x42\x43\x81", {7, kCut, U"\x4E00\x4E01"}},
        {kToURange, U"\x84\x41\x42\x43\x41", {4, kFull, U"\x4E01"}},
        {kToURange, U"A\xA0", {1, kNoMap, U"A"s + xx, cut("\\xA0\\x00\\x00\\x00")}},
        {kToUNul, U"\x83\x41\x42\0"s, {1, kOk, U"\x4E00\0"s}},
        {kToUNul, U"A\x81\0"s, {1, kNoMap, U"A\0"s, cut("\\x81\\x00\\x00\\x00")}},
        {kToUNul, U"\x84\x41\x42\0"s, {0, kNoMap, U"\0"s, cut("\\x84\\x41\\x42\\x00")}},
        {kMblen, U"", {-1, kFull}}, {kMblen, U"\0"s, {0, kOk}}, {kMblen, U"\x81", {-1, kFull}},
        {kMblen, U"\x84\x41\x42", {-1, kFull}}, {kMblen, U"\x85\x41\x42\x43", {4, kOk}},
        {kMblen, U"\xA0", {-1, kInvalid, U"", bad + "\\xA0\n"}},
        {kMblen, U"\x81\x41", {-1, kInvalid, U"", bad + "\\x81\n"}},
        {kMblen, U"A", {1, kOk}}, {kMblen, U"\x81\x40", {2, kOk}},
        {kMblen, U"\x81\0"s, {-1, kInvalid, U"", bad + "\\x81\n"}},
        // From UTF-16: nothing of a character that does not fit.
        {kFromU, U"A\x3000", {3, kOk, U"A\x81\x40"}}, {kFromU, U"A\x3000", {3, kFull, U"A"s + x}},
        {kFromU, U"\x4E01", {4, kFull, {x, x, x}}}, {kFromU, U"A", {1, kFull}},
        {kFromU, U"\x4E00\x4E01", {7, kOk, U"\x83\x41\x42\x84\x41\x42\x43"}},
        {kFromU, U"A\xE9", {1, kNoMap, U"A\0"s, bad + "<U00E9>\n"}},
        {kFromU, U"\xD83D", {0, kNoMap, U"\0"s, bad + "<UD83D>\n"}},
        {kFromURange, U"A\x3000", {1, kFull, U"A"s + x}},
        {kFromURange, U"\x4E01", {1, kUnset, U"\x84\x41\x42\x43"}},
        {kFromURange, U"A\xE9", {1, kNoMap, U"A"s + x, bad + "<U00E9>\n"}}});
    // clang-format on
}

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
                s_expectRun(page.h, kToU, toU, kOk, kFull, 0xEEEE);
                s_expectRun(page.h, kToURange, toU, kUnset, kFull, 0xEEEE);
                s_expectRun(page.h, kFromU, fromU, kOk, kFull, 0xEE);
                s_expectRun(page.h, kFromURange, fromU, kUnset, kFull, 0xEE);
                if (page.h == wide.get()) {
                    s_expectRun(page.h, kToU, toU, kCut, 0, 0, U"\x81");
                    s_expectRun(page.h, kToURange, toU, kCut, 0, 0, U"\x81");
                }
            }
            // The UTF routines: with ample room, one unit short, and UTF-8 cut after each byte.
            for (const auto& c : chars) {
                for (int from = 0; from < 3; ++from) {
                    for (int to = (from + 1) % 3; to != from; to = (to + 1) % 3) {
                        SCOPED_TRACE(testing::Message()
                                     << from << " to " << to << " U+" << std::hex << c[2][0]);
                        const noxtest::Utf routine = s_utf(from, to);
                        U32 src;
                        U32 dst;
                        for (size_t i = 0; i < n; ++i) {
                            src += c[from];
                            dst += c[to];
                        }
                        EXPECT_EQ(noxtest::convertUtf(routine, src, dst.size(), strictConversion),
                                  (noxtest::UtfCall{conversionOK, src.size(), dst, 0}));
                        if (n > 0) {
                            const size_t last = c[to].size();
                            EXPECT_EQ(
                                noxtest::convertUtf(routine, src, dst.size() - 1, strictConversion),
                                (noxtest::UtfCall{targetExhausted, src.size() - c[from].size(),
                                                  dst.substr(0, dst.size() - last), last - 1}));
                        }
                        for (size_t cut = 1; from == 0 && cut < c[0].size(); ++cut) {
                            EXPECT_EQ(noxtest::convertUtf(routine, src + c[0].substr(0, cut),
                                                          dst.size(), strictConversion),
                                      (noxtest::UtfCall{sourceExhausted, src.size(), dst, 0}));
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
                SCOPED_TRACE(testing::Message() << from << " to " << to << ", length " << length);
                noxtest::expectEveryLevelAsExact([&] {
                    return noxtest::convertUtf(s_utf(from, to), text, 4 * length + 64,
                                               strictConversion);
                });
            }
        }
    }
}

// A text ends at its 0 whatever the count or range says: 0-terminated texts of every length
// from 1 to 80 and of up to three pages, whose 0 is followed by bytes or units that are not 0
// up to the guard page (none, or as many as put the 0 in every lane of a block), converted
// with counts and ranges of its length, one less, one more, and far beyond. At every level the
// outcomes are those of level Exact, and no kernel reads past the 0 into the guard page or
// crosses a page boundary where the text does not go on. UTF-16 text also at an odd address,
// whose units straddle the page boundaries.
TEST(GuardPageTest, TextEndsAtItsZeroWhateverTheCount)
{
    const std::string ucm = std::string(NOX_DATA_DIR) + "/ucm/";
    // Each page with a unit beyond ASCII that it maps (the bytes 0x82 0xA0 map in every one:
    // two Latin or Cyrillic characters, or one double-byte character).
    const struct {
        noxtest::Handle h;
        char16_t upper;
    } pages[] = {{noxtest::Handle(ncnv_getConverter("LATIN_1")), 0xE9},
                 {noxtest::Handle(ncnv_loadConverter((ucm + "CP1252.ucm").c_str())), 0xE9},
                 {noxtest::Handle(ncnv_loadConverter((ucm + "CP1251.ucm").c_str())), 0x430},
                 {noxtest::Handle(ncnv_loadConverter((ucm + "SJIS.ucm").c_str())), 0x3042},
                 {noxtest::Handle(ncnv_loadConverter((ucm + "GBK.ucm").c_str())), 0x3042}};
    const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<size_t> lengths;
    for (size_t length = 1; length <= 80; ++length) {
        lengths.push_back(length);
    }
    lengths.insert(lengths.end(), {100, pageSize - 1, pageSize + 7, 2 * pageSize + 33});
    const int far = INT_MAX;
#if !defined(NOX_ADDRESS_SANITIZER)
    // UTF-16 units at an odd address, right before the guard (the first byte unused); not
    // under the sanitizers, which refuse reads of units at odd addresses.
    const auto oddUnits = [](NoxUConverter* h, const U32& values, int count, size_t room) {
        char* start = noxtest::beforeGuard<char>(0, U32(2 * values.size() + 1, 0x41));
        for (size_t i = 0; i < values.size(); ++i) {
            const auto unit = static_cast<UChar>(values[i]);
            std::memcpy(start + 1 + 2 * i, &unit, sizeof unit);
        }
        char* out = noxtest::beforeGuard<char>(1, U32(room, noxtest::kByteSentinel));
        noxtest::Call call;
        call.result = ncnv_fromUChars(h, out, int(room), reinterpret_cast<const UChar*>(start + 1),
                                      count, &call.error);
        call.out.assign(reinterpret_cast<unsigned char*>(out),
                        reinterpret_cast<unsigned char*>(out) + room);
        return call;
    };
#endif
    for (const auto& page : pages) {
        for (const size_t length : lengths) {
            // ASCII and, now and then, the bytes 0x82 0xA0 and the page's upper unit.
            std::string bytes;
            std::u16string units;
            for (size_t i = 0; units.size() < length; ++i) {
                const size_t pick = (i * 7 + length) % 5;
                const auto ascii = char(0x21 + (i * 13 + length) % 90);
                if (bytes.size() < length) {
                    bytes +=
                        pick < 2 && bytes.size() + 2 <= length ? "\x82\xA0" : std::string(1, ascii);
                }
                units += pick < 2 ? page.upper : char16_t(ascii);
            }
            // The short texts with a few lengths after the 0, the long ones with many.
            const std::vector<size_t> afters =
                length <= 80 ? std::vector<size_t>{0, 17, 65}
                             : std::vector<size_t>{0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 200};
            for (const size_t after : afters) {
                SCOPED_TRACE(testing::Message()
                             << "upper unit " << unsigned(page.upper) << ", length " << length
                             << ", after the 0 " << after);
                const std::string inBytes = bytes + '\0' + std::string(after, 'A');
                const std::u16string inUnits = units + u'\0' + std::u16string(after, u'A');
                const size_t room = 2 * length + 2;
                const auto outcomes = [&] {
                    std::vector<noxtest::Call> retval;
                    for (const int count :
                         {far, int(length), int(length) - 1, int(length) + 1, -1}) {
                        retval.push_back(
                            noxtest::toUChars(page.h.get(), inBytes, count, int(room)));
                        retval.push_back(
                            noxtest::fromUChars(page.h.get(), inUnits, count, int(room)));
                        retval.push_back(noxtest::mblen(page.h.get(), inBytes, count));
#if !defined(NOX_ADDRESS_SANITIZER)
                        retval.push_back(oddUnits(page.h.get(), U32(inUnits.begin(), inUnits.end()),
                                                  count, room));
#endif
                    }
                    for (const size_t end : {length, length + 1, size_t(far)}) {
                        retval.push_back(noxtest::toUnicode(page.h.get(), inBytes, end, room));
                        retval.push_back(noxtest::fromUnicode(page.h.get(), inUnits, end, room));
                    }
                    return retval;
                };
                const std::vector<noxtest::Call> first = outcomes();
                EXPECT_TRUE(first[0].error == NCNV_OK && first[1].error == NCNV_OK)
                    << "the text converts whole, up to its 0";
                noxtest::expectEveryLevelAsExact(outcomes);
            }
        }
    }
}

#else

// Best-effort mode is fixed by the first query in a process: the child is forked before
// anything asked. An unmapped byte passes through, to Unicode and back, where there is room
// for it; a cut-off lead byte still stops.
TEST(GuardPageTest, BestEffortPassThroughAtTheGuard)
{
    const std::string ucm = s_ucm(false);
    const auto r = noxtest::runInChild({{"NOX_UNICODE_CONVERT_BEST_EFFORT", "True"}}, [&] {
        const noxtest::Handle h(ucm);
        // clang-format off
        s_checkCases(h.get(), {
            {kToU, U"A\xA0", {2, kOk, U"A\xA0"}}, {kToU, U"\xA0\x81", {1, kCut, U"\xA0"}},
            {kToU, U"A\xA0", {2, kCut}}, {kToURange, U"\xA0", {0, kFull}},
            {kMblen, U"\xA0", {1, kUnset, U"", "No mapping for character \\xA0\n"}},
            {kFromU, U"A\xE9", {2, kFull, U"A"}}, {kFromURange, U"A\xE9", {1, kFull, U"A"}},
            // Without room, a passed-through byte is told apart from a mapped character.
            {kToU, U"A\xA0\x41", {3, kFull, U"A\xA0"}}, {kToU, U"AA\xA0", {3, kCut, U"AA"}},
            {kToURange, U"\xA0", {1, kUnset, U"\xA0"}}, {kFromU, U"\xA0", {1, kOk, U"\xA0\0"s}},
            // A unit above 0xFF still has no mapping.
            {kFromU, U"\x4E03", {0, kNoMap, U"\0"s, "No mapping for character <U4E03>\n"}}});
        // clang-format on
        return testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(0, r.exitCode) << r.err;
}

#endif

} // namespace
// ConvertUTF_test.cpp - the UTF converters' stops, errors and lenient replacements, and the
// UTF-8 validation, at every kernel level, inputs and outputs ending at a guard page.
#include "noxunicode/ConvertUTF.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace noxtest;

// The modes a row holds in.
enum Modes { kStrict = 1, kLenient = 2, kBoth = 3 };

// One behaviour of one routine: its input, the room in the target, and what comes out.
struct Row {
    const char* name;
    Utf::Routine routine;
    Modes modes;
    std::u32string in;
    size_t room;
    utf_ConversionResult result;
    size_t consumed;
    std::u32string out;
};

const Row kRows[] = {
    // A character that does not fit is not written at all.
    {"pair, one unit of room", Utf::U32to16, kBoth, U"\x1F600", 1, targetExhausted, 0, U""},
    {"pair after a unit", Utf::U16to32, kBoth, U"A\xD83D\xDE00", 1, targetExhausted, 1, U"A"},
    {"four bytes, three left", Utf::U16to8, kBoth, U"A\xD83D\xDE00", 4, targetExhausted, 1, U"A"},
    {"four bytes, one unit", Utf::U8to16, kBoth, U"\xF0\x9F\x98\x80", 1, targetExhausted, 0, U""},
    {"every length", Utf::U16to8, kBoth, U"A\xE9\x20AC\xD83D\xDE00", 10, conversionOK, 5,
     U"A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
    // Unpaired surrogates: refused in strict mode before the room test, else passed on.
    {"value refused", Utf::U32to16, kStrict, U"A\xD800\x42", 3, sourceIllegal, 1, U"A"},
    {"value passed on", Utf::U32to16, kLenient, U"A\xD800\x42", 3, conversionOK, 3, U"A\xD800\x42"},
    {"low refused, no room", Utf::U16to32, kStrict, U"\xDC00", 0, sourceIllegal, 0, U""},
    {"high before a unit passed on", Utf::U16to32, kLenient, U"\xD83D\x41\xDE00", 3, conversionOK,
     3, U"\xD83D\x41\xDE00"},
    {"high before a unit refused", Utf::U16to32, kStrict, U"\xD83D\x41", 2, sourceIllegal, 0, U""},
    {"high last to UTF-8", Utf::U16to8, kBoth, U"A\xD83D", 4, conversionOK, 2, U"A\xED\xA0\xBD"},
    {"value refused to UTF-8", Utf::U32to8, kStrict, U"\xDC00", 0, sourceIllegal, 0, U""},
    {"two bytes amid ASCII", Utf::U32to8, kBoth, U"A\xE9\x42", 4, conversionOK, 3,
     U"A\xC3\xA9\x42"},
    {"form refused", Utf::U8to16, kStrict, U"A\xED\xA0\x80", 4, sourceIllegal, 1, U"A"},
    {"room test first", Utf::U8to16, kStrict, U"\xED\xA0\x80", 0, targetExhausted, 0, U""},
    {"forms passed on to UTF-32", Utf::U8to32, kLenient, U"\xED\xA0\x80\xED\xBF\xBF", 2,
     conversionOK, 6, U"\xD800\xDFFF"},
    // Values above 0x10FFFF: refused in strict mode before the room test, else U+FFFD.
    {"above refused", Utf::U32to16, kStrict, U"A\x110000\x42", 3, sourceIllegal, 1, U"A"},
    {"no room first", Utf::U32to16, kBoth, U"A\x110000", 1, targetExhausted, 1, U"A"},
    {"above replaced in UTF-8", Utf::U32to8, kLenient, U"A\x110000\x1FFFFF\x200000\xFFFFFFFF", 13,
     conversionOK, 5, U"A\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    // UTF-8 cut off by the end of the source, whatever its bytes, or illegal in both modes.
    {"cut three bytes", Utf::U8to16, kBoth, U"A\xE2\x82", 4, sourceExhausted, 1, U"A"},
    {"cut overlong form", Utf::U8to16, kBoth, U"\xE0\x80", 4, sourceExhausted, 0, U""},
    {"overlong two bytes", Utf::U8to16, kBoth, U"A\xC0\x80", 4, sourceIllegal, 1, U"A"},
    {"above 0x10FFFF", Utf::U8to16, kBoth, U"\xF4\x90\x80\x80", 4, sourceIllegal, 0, U""},
    {"lead without its trail", Utf::U8to16, kBoth, U"\xF4\x41\x80\x80", 4, sourceIllegal, 0, U""},
    {"five bytes", Utf::U8to32, kBoth, U"A\xF8\x88\x80\x80\x80", 4, sourceIllegal, 1, U"A"},
    {"largest to UTF-16", Utf::U8to16, kBoth, U"\xF4\x8F\xBF\xBF", 2, conversionOK, 4,
     U"\xDBFF\xDFFF"},
};

// Runs `body` with texts taken as short (the usual threshold) and as long (every text takes the
// steps meant for text beyond the caches); `as` names which, for the trace.
void s_asShortAndLong(const std::function<void(const char* as)>& body)
{
    const std::ptrdiff_t saved = nox::farTextUnits();
    for (const std::ptrdiff_t far : {saved, std::ptrdiff_t{0}}) {
        nox::setFarTextUnits(far);
        body(far == 0 ? ", long" : ", short");
    }
    nox::setFarTextUnits(saved);
}

// Both modes at every level against level Exact, with each of `rooms`.
void s_expectAsExact(Utf::Routine routine, const std::u32string& text,
                     std::initializer_list<size_t> rooms, const std::string& what)
{
    expectEveryLevelAsExact(
        [&] {
            std::vector<UtfCall> retval;
            for (const auto flags : {strictConversion, lenientConversion}) {
                for (const size_t room : rooms) {
                    retval.push_back(routine(text, room, flags));
                }
            }
            return retval;
        },
        what);
}

// Each row at every level; then amid ASCII at every position of a vector block, with room
// running out at the row's point or ample, against level Exact.
TEST(ConvertUtfTest, ResultsPositionsAndOutputOfEveryConverter)
{
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        const UtfCall want{row.result, row.consumed, row.out, row.room - row.out.size()};
        for (const auto flags : {strictConversion, lenientConversion}) {
            if ((row.modes & (flags == strictConversion ? kStrict : kLenient)) != 0) {
                forEachLevel(
                    [&] { EXPECT_EQ(row.routine(row.in, row.room, flags), want) << flags; });
            }
        }
        for (size_t lead = 1; lead < 70 && !HasFailure(); ++lead) {
            const auto text = std::u32string(lead, U'a') + row.in + std::u32string(40, U'a');
            s_expectAsExact(row.routine, text, {lead + row.room, 4 * text.size()}, "");
        }
    }
}

// Runs of UTF-16 units that all become three bytes, ended at each position of the steps around
// the point where the kernels' fixed encoding of them has taken over (at AVX2 after a group of
// eight steps of 32 units; at AVX-512 at once in a short text, never in a long one) by each
// kind of unit or by the end, with room ending at the break or ample; texts taken as short and
// as long.
TEST(ConvertUtfTest, LongThreeByteRunsEndAtEveryPosition)
{
    const std::u32string breaks[] = {U"a", U"\xE9", U"\xD83D\xDE00", U"\xDC00", U"\xD800", U""};
    const char32_t three[] = {0x800, 0x4E2D, 0xD7FF, 0xE000, 0x3002, 0xFFFF};
    s_asShortAndLong([&](const char* as) {
        for (const auto& brk : breaks) {
            SCOPED_TRACE(testing::Message() << hex(brk) << as);
            for (const size_t lead : {0, 5, 31}) {
                for (size_t run = 520; run < 620 && !testing::Test::HasFailure(); ++run) {
                    std::u32string text(lead, U'a');
                    for (size_t i = 0; i < run; ++i) {
                        text += three[i % 6];
                    }
                    text += brk.empty() ? U"" : brk + std::u32string(64, 0x4E00);
                    const size_t atBreak = lead + 3 * run;
                    s_expectAsExact(Utf::U16to8, text, {atBreak - 1, atBreak + 1, 4 * text.size()},
                                    std::to_string(lead) + "+" + std::to_string(run));
                }
            }
        }
    });
}

// Runs of ASCII long enough for the steps of 64, both ways, ended at each position of the
// first steps by a character of more bytes, by what is no character (a stray byte, an unpaired
// surrogate) or by a cut character, with room ending at the break or ample. The text ends at a
// guard page: the ASCII after the break moves the run's start to a different offset from a
// 32-byte boundary for each length.
TEST(ConvertUtfTest, AsciiRunsEndAtEveryPosition)
{
    const struct {
        Utf::Routine routine;
        std::u32string units;
    } breaks[] = {{Utf::U8to16, U"\xC3\xA9"},     {Utf::U8to16, U"\xFF"},
                  {Utf::U8to16, U"\xE4\xB8"},     {Utf::U16to8, U"\xE9"},
                  {Utf::U16to8, U"\xD83D\xDE00"}, {Utf::U16to8, U"\xD800"}};
    for (const auto& brk : breaks) {
        SCOPED_TRACE(hex(brk.units));
        for (size_t run = 32; run < 224 && !HasFailure(); ++run) {
            std::u32string text;
            for (size_t i = 0; i < run + (run * 7) % 32; ++i) {
                text += i == run ? brk.units : std::u32string(1, char32_t(0x20 + i % 95));
            }
            s_expectAsExact(brk.routine, text, {run - 1, run + 1, 4 * text.size()},
                            "run " + std::to_string(run));
        }
    }
}

// UTF-8 of every length, broken at each character of the first steps of 64 bytes by what the
// modes judge, by what is no character or by a character cut off at the end, with room ending
// at the break or ample; the leads move each character across the steps' ends. Texts taken as
// short and as long (whose steps find their ends without branches).
TEST(ConvertUtfTest, MixedUtf8BreaksAtEveryPosition)
{
    struct Char {
        std::u32string bytes;
        size_t units;
    };
    // Texts with and without four-byte characters, which the kernels decode differently.
    const std::vector<Char> texts[] = {{{U"a", 1},
                                        {U"\xC3\xA9", 1},
                                        {U"\xE4\xB8\xAD", 1},
                                        {U"\xF0\x9F\x98\x80", 2},
                                        {U"\xED\x9F\xBF", 1},
                                        {U"\xF4\x8F\xBF\xBF", 2},
                                        {U"\xEF\xBF\xBF", 1},
                                        {U"\xDF\xBF", 1}},
                                       {{U"\xE4\xB8\xAD", 1},
                                        {U"\xE0\xA0\x80", 1},
                                        {U"a", 1},
                                        {U"\xED\x9F\xBF", 1},
                                        {U"\xEE\x80\x80", 1},
                                        {U"\xC2\x80", 1},
                                        {U"\xE3\x81\x82", 1}}};
    const std::u32string breaks[] = {U"\xED\xA0\x80",     U"\xFF",     U"\xE0\x9F\xBF",
                                     U"\xF4\x90\x80\x80", U"\xC3\x41", U"\x80",
                                     U"\xF0\x80\x80\x80", U"\xC1\xBF", U"\xF0\x9F\x98"};
    s_asShortAndLong([&](const char* as) {
        for (const auto& chars : texts) {
            for (const auto& brk : breaks) {
                SCOPED_TRACE(testing::Message() << hex(brk) << as);
                const bool atEnd = brk == U"\xF0\x9F\x98";
                for (size_t lead = 0; lead < 4; ++lead) {
                    for (size_t at = 0; at < 72 && !testing::Test::HasFailure(); ++at) {
                        std::u32string text(lead, U'a');
                        size_t units = lead;
                        for (size_t i = 0; i < at; ++i) {
                            text += chars[i % chars.size()].bytes;
                            units += chars[i % chars.size()].units;
                        }
                        text += brk;
                        for (size_t i = 0; i < (atEnd ? 0 : 40); ++i) {
                            text += chars[(i + at) % chars.size()].bytes;
                        }
                        s_expectAsExact(Utf::U8to16, text,
                                        {units - (units > 0), units + 1, text.size()},
                                        std::to_string(lead) + "+" + std::to_string(at));
                    }
                }
            }
        }
    });
}

// Texts of up to 64 bytes or units, which the AVX-512 level takes in masked steps: every length
// from below the smallest such text, with a break at every position (what the modes judge, what
// is no character, a character of four bytes or a pair, a character cut off, also at the very
// end), amid ASCII or characters of two and three bytes, with room for half the text before the
// break or ample.
TEST(ConvertUtfTest, ShortTextsBreakAtEveryPosition)
{
    const struct {
        Utf::Routine routine;
        std::vector<std::u32string> fills;
        std::vector<std::u32string> breaks;
    } kinds[] = {{Utf::U8to16,
                  {U"a",
                   U"\xC3\xA9"
                   U"b",
                   U"\xE4\xB8\xAD\xD0\x96"},
                  {U"\xED\xA0\x80", U"\xE0\x9F\xBF", U"\xF0\x9F\x98\x80", U"\xFF", U"\xC3\x41",
                   U"\xC3", U"\xE4\xB8", U"\xF0\x9F\x98"}},
                 {Utf::U16to8,
                  {U"a",
                   U"\xE9"
                   U"b",
                   U"\x4E2D\x0416"},
                  {U"\xD800", U"\xDC00", U"\xD83D\xDE00", U"\xD83D\x41", U"\xD83D"}}};
    // `size` bytes (or units) of whole characters of `fill`, ASCII where the next one would not
    // fit; `utf8` when the text is UTF-8.
    const auto filled = [](const std::u32string& fill, size_t size, bool utf8) {
        std::u32string retval;
        for (size_t i = 0; retval.size() < size;) {
            const size_t length = !utf8 || fill[i] < 0xC0 ? 1 : fill[i] < 0xE0 ? 2 : 3;
            retval += retval.size() + length <= size ? fill.substr(i, length) : U"a";
            i = (i + length) % fill.size();
        }
        return retval;
    };
    for (const auto& kind : kinds) {
        for (const auto& fill : kind.fills) {
            for (const auto& brk : kind.breaks) {
                SCOPED_TRACE(testing::Message() << hex(fill) << " " << hex(brk));
                const bool utf8 = kind.routine == Utf::U8to16;
                for (size_t size = 8; size <= 64 && !HasFailure(); ++size) {
                    for (size_t at = 0; at + brk.size() <= size; ++at) {
                        const auto text = filled(fill, at, utf8) + brk +
                                          filled(fill, size - at - brk.size(), utf8);
                        s_expectAsExact(kind.routine, text, {at / 2, 4 * text.size()},
                                        std::to_string(size) + "@" + std::to_string(at));
                    }
                }
            }
        }
    }
}

// utf_isLegalUTF8 checks the given bytes only, as one character or the start of one;
// utf_isLegalUTF8Sequence the first character, which must end before sourceEnd.
TEST(ConvertUtfTest, Utf8Validation)
{
    const struct {
        std::string bytes;
        int32_t legal;
        int32_t sequence;
    } cases[] = {// clang-format off
        {"", 0, 0}, {"\x41\x80", 1, 1}, {"\xC3", 1, 0}, {"\xE2\x82\xAC", 1, 1}, {"\xC3\xA9\x41", 0, 1},
        {"\xF0\x9F\x98", 1, 0}, {"\xF4\x90", 0, 0}, {"\x80", 0, 0}};
    // clang-format on
    forEachLevel([&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(hex(c.bytes));
            const UTF8* bytes = beforeGuard<UTF8>(0, c.bytes);
            EXPECT_EQ(utf_isLegalUTF8(bytes, static_cast<int32_t>(c.bytes.size())), c.legal);
            EXPECT_EQ(utf_isLegalUTF8Sequence(bytes, bytes + c.bytes.size()), c.sequence);
        }
    });
}

} // namespace

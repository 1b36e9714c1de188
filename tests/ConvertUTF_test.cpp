// ConvertUTF_test.cpp - tests of the UTF-8/16/32 converters and the UTF-8 validation, every
// case at every kernel level the processor runs, with inputs and outputs that end right before
// an inaccessible page.
#include "noxunicode/ConvertUTF.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <numeric>
#include <string>
#include <vector>

namespace {

using noxtest::Utf;

// Converts at every level and expects the outcome of level Exact.
void expectLevelsAgree(Utf r, const std::u32string& in, size_t room, utf_ConversionFlags flags)
{
    noxtest::expectEveryLevelAsExact([&] { return noxtest::convertUtf(r, in, room, flags); });
}

enum Modes { kStrict = 1, kLenient = 2, kBoth = 3 };

const utf_ConversionFlags kFlags[] = {strictConversion, lenientConversion};

bool inModes(Modes modes, utf_ConversionFlags flags)
{
    return (modes & (flags == strictConversion ? kStrict : kLenient)) != 0;
}

// One behaviour of one routine: its input, the room in the target, and what comes out.
struct Row {
    const char* name;
    Utf routine;
    Modes modes;
    std::u32string in;
    size_t room;
    utf_ConversionResult result;
    size_t consumed;
    std::u32string out;
};

const Row kRows[] = {
    // A character that does not fit is not written at all.
    {"pair without room for two units", Utf::U32to16, kBoth, U"\x1F600", 1, targetExhausted, 0,
     U""},
    {"pair with exactly two units", Utf::U32to16, kBoth, U"\x1F600", 2, conversionOK, 1,
     U"\xD83D\xDE00"},
    {"no room at all", Utf::U8to32, kBoth, U"\x41", 0, targetExhausted, 0, U""},
    {"empty source without room", Utf::U8to16, kBoth, U"", 0, conversionOK, 0, U""},
    {"pair after a unit, one unit of room", Utf::U16to32, kBoth, U"\x41\xD83D\xDE00", 1,
     targetExhausted, 1, U"\x41"},
    {"four bytes with three left", Utf::U16to8, kBoth, U"\x41\xD83D\xDE00", 4, targetExhausted, 1,
     U"\x41"},
    {"euro with two bytes of room", Utf::U16to8, kBoth, U"\x20AC", 2, targetExhausted, 0, U""},
    {"euro with exactly three bytes", Utf::U16to8, kBoth, U"\x20AC", 3, conversionOK, 1,
     U"\xE2\x82\xAC"},
    {"value after a unit without its room", Utf::U32to8, kBoth, U"\x41\x10000", 4, targetExhausted,
     1, U"\x41"},
    {"four bytes to one unit of room", Utf::U8to16, kBoth, U"\xF0\x9F\x98\x80", 1, targetExhausted,
     0, U""},
    {"every length to UTF-8", Utf::U16to8, kBoth, U"\x41\xE9\x20AC\xD83D\xDE00", 10, conversionOK,
     5, U"\x41\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
    // Unpaired surrogates: refused in strict mode before the room test, else passed on.
    {"surrogate value refused", Utf::U32to16, kStrict, U"\x41\xD800\x42", 3, sourceIllegal, 1,
     U"\x41"},
    {"surrogate value passed on", Utf::U32to16, kLenient, U"\x41\xD800\x42", 3, conversionOK, 3,
     U"\x41\xD800\x42"},
    {"lone low refused with a full target", Utf::U16to32, kStrict, U"\xDC00", 0, sourceIllegal, 0,
     U""},
    {"lone low passed on needs room", Utf::U16to32, kLenient, U"\xDC00", 0, targetExhausted, 0,
     U""},
    {"high before a unit passed on", Utf::U16to32, kLenient, U"\xD83D\x41\xDE00", 3, conversionOK,
     3, U"\xD83D\x41\xDE00"},
    {"lone low refused", Utf::U16to8, kStrict, U"\xDC00", 3, sourceIllegal, 0, U""},
    {"lone low passed on", Utf::U16to8, kLenient, U"\xDC00", 3, conversionOK, 1, U"\xED\xB0\x80"},
    {"surrogate value refused to UTF-8", Utf::U32to8, kStrict, U"\xDC00", 0, sourceIllegal, 0, U""},
    {"high surrogate last stands alone", Utf::U16to8, kBoth, U"\x41\xD83D", 4, conversionOK, 2,
     U"\x41\xED\xA0\xBD"},
    {"high before a unit refused", Utf::U16to8, kStrict, U"\x41\xDBFF\xE000", 9, sourceIllegal, 1,
     U"\x41"},
    {"surrogate value written", Utf::U32to8, kLenient, U"\xDC00", 3, conversionOK, 1,
     U"\xED\xB0\x80"},
    {"surrogate form refused", Utf::U8to16, kStrict, U"\x41\xED\xA0\x80", 4, sourceIllegal, 1,
     U"\x41"},
    {"room test before the surrogate test", Utf::U8to16, kStrict, U"\xED\xA0\x80", 0,
     targetExhausted, 0, U""},
    {"surrogate form passed on", Utf::U8to16, kLenient, U"\xED\xA0\x80", 1, conversionOK, 3,
     U"\xD800"},
    {"surrogate form refused to UTF-32", Utf::U8to32, kStrict, U"\x41\xED\xBF\xBF", 4,
     sourceIllegal, 1, U"\x41"},
    {"surrogate forms passed on to UTF-32", Utf::U8to32, kLenient, U"\xED\xA0\x80\xED\xBF\xBF", 2,
     conversionOK, 6, U"\xD800\xDFFF"},
    // Values above 0x10FFFF: refused in strict mode before the room test, else U+FFFD.
    {"value above the range refused", Utf::U32to16, kStrict, U"\x41\x110000\x42", 3, sourceIllegal,
     1, U"\x41"},
    {"value above the range replaced", Utf::U32to16, kLenient, U"\x41\x110000\xFFFFFFFF", 3,
     conversionOK, 3, U"\x41\xFFFD\xFFFD"},
    {"no room before the range test", Utf::U32to16, kBoth, U"\x41\x110000", 1, targetExhausted, 1,
     U"\x41"},
    {"value above the range refused to UTF-8", Utf::U32to8, kStrict, U"\x41\x1FFFFF", 3,
     sourceIllegal, 1, U"\x41"},
    {"U+FFFD above 0x10FFFF", Utf::U32to8, kLenient, U"\x41\x110000\x1FFFFF\x200000\xFFFFFFFF", 13,
     conversionOK, 5, U"\x41\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"U+FFFD without its room", Utf::U32to8, kLenient, U"\x41\xFFFFFFFF", 3, targetExhausted, 1,
     U"\x41"},
    // UTF-8 cut off by the end of the source, whatever its bytes, or illegal in both modes.
    {"complete at the end", Utf::U8to16, kBoth, U"\xE2\x82\xAC", 1, conversionOK, 3, U"\x20AC"},
    {"cut three bytes", Utf::U8to16, kBoth, U"\x41\xE2\x82", 4, sourceExhausted, 1, U"\x41"},
    {"cut overlong form", Utf::U8to16, kBoth, U"\xE0\x80", 4, sourceExhausted, 0, U""},
    {"cut five bytes", Utf::U8to16, kBoth, U"\xF8\x41", 4, sourceExhausted, 0, U""},
    {"lone C0", Utf::U8to32, kBoth, U"\xC0", 4, sourceExhausted, 0, U""},
    {"cut four bytes", Utf::U8to32, kBoth, U"\x41\xF0\x9F\x98", 4, sourceExhausted, 1, U"\x41"},
    {"overlong two bytes", Utf::U8to16, kBoth, U"\x41\xC0\x80", 4, sourceIllegal, 1, U"\x41"},
    {"lone trail byte", Utf::U8to16, kBoth, U"\x80", 4, sourceIllegal, 0, U""},
    {"overlong three bytes", Utf::U8to16, kBoth, U"\xE0\x80\x80", 4, sourceIllegal, 0, U""},
    {"above 0x10FFFF", Utf::U8to16, kBoth, U"\xF4\x90\x80\x80", 4, sourceIllegal, 0, U""},
    {"lead without its trail", Utf::U8to16, kBoth, U"\xF4\x41\x80\x80", 4, sourceIllegal, 0, U""},
    {"five bytes", Utf::U8to32, kBoth, U"\x41\xF8\x88\x80\x80\x80", 4, sourceIllegal, 1, U"\x41"},
    {"largest value to UTF-16", Utf::U8to16, kBoth, U"\xF4\x8F\xBF\xBF", 2, conversionOK, 4,
     U"\xDBFF\xDFFF"},
    {"largest value to UTF-32", Utf::U8to32, kBoth, U"\xF4\x8F\xBF\xBF", 1, conversionOK, 4,
     U"\x10FFFF"},
    {"cut two bytes", Utf::U8to16, kLenient, U"AB\xC3", 3, sourceExhausted, 2, U"AB"},
    {"five-byte lead alone", Utf::U8to16, kStrict, U"\xF8", 1, sourceExhausted, 0, U""},
    {"high surrogate last to UTF-32", Utf::U16to32, kStrict, U"A\xD83D", 2, conversionOK, 2,
     U"A\xD83D"},
    {"high before a unit refused to UTF-32", Utf::U16to32, kStrict, U"\xD83D\x41", 2, sourceIllegal,
     0, U""},
};

// Each row at every level; then amid ASCII at every position of a vector block, with room
// running out at the row's point or ample, against level Exact.
TEST(ConvertUtfTest, ResultsPositionsAndOutputOfEveryConverter)
{
    for (const Row& row : kRows) {
        for (const utf_ConversionFlags flags : kFlags) {
            if (!inModes(row.modes, flags)) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << row.name << ", mode " << flags);
            const noxtest::UtfCall want{row.result, row.consumed, row.out,
                                        row.room - row.out.size()};
            noxtest::forEachLevel([&] {
                EXPECT_EQ(noxtest::convertUtf(row.routine, row.in, row.room, flags), want);
            });
            for (size_t lead = 1; lead < 70 && !HasFailure(); ++lead) {
                const std::u32string text =
                    std::u32string(lead, U'a') + row.in + std::u32string(40, U'a');
                expectLevelsAgree(row.routine, text, lead + row.room, flags);
                expectLevelsAgree(row.routine, text, 4 * text.size(), flags);
            }
        }
    }
}

// The UTF-8 and UTF-16 forms of a sequence of values, encoded apart from the library.
std::u32string toUtf8(const std::u32string& values)
{
    std::u32string out;
    for (const char32_t cp : values) {
        const int n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        out.push_back(n == 1 ? cp : ((0xF00u >> n) & 0xFFu) | (cp >> (6 * (n - 1))));
        for (int i = n - 2; i >= 0; --i) {
            out.push_back(0x80 | ((cp >> (6 * i)) & 0x3F));
        }
    }
    return out;
}

std::u32string toUtf16(const std::u32string& values)
{
    std::u32string out;
    for (const char32_t cp : values) {
        if (cp >= 0x10000) {
            out.push_back(0xD800 + ((cp - 0x10000) >> 10));
            out.push_back(0xDC00 + (cp & 0x3FF));
        } else {
            out.push_back(cp);
        }
    }
    return out;
}

// Text of one script: what the vector steps see as blocks of one kind.
struct Script {
    const char* name;
    char32_t first; // values first, first + 1, ... first + 25, repeated
};

const Script kScripts[] = {
    {"ASCII", U'a'}, {"Latin", 0xE0}, {"Cyrillic", 0x430}, {"CJK", 0x4E00}, {"emoji", 0x1F600}};

std::u32string scriptText(const Script& script, size_t count)
{
    std::u32string out;
    for (size_t i = 0; i < count; ++i) {
        out.push_back(script.first + static_cast<char32_t>(i % 26));
    }
    return out;
}

// What ends a vector step early: sequences that stop a conversion or that the exact step
// must decide, in UTF-8 and UTF-16, each as the units that make it.
struct Stopper {
    const char* name;
    bool utf8;
    std::u32string units;
};

const Stopper kStoppers[] = {
    {"lone trail byte", true, U"\x80"},
    {"C0 lead", true, U"\xC0\x80"},
    {"C1 lead", true, U"\xC1\xBF"},
    {"F5 lead", true, U"\xF5\x80\x80\x80"},
    {"FF byte", true, U"\xFF"},
    {"two-byte lead before ASCII", true, U"\xC3\x41"},
    {"three-byte lead with one trail", true, U"\xE2\x82\x41"},
    {"four-byte lead with two trails", true, U"\xF0\x9F\x98\x41"},
    {"overlong three bytes", true, U"\xE0\x9F\xBF"},
    {"smallest three bytes", true, U"\xE0\xA0\x80"},
    {"surrogate form", true, U"\xED\xA0\x80"},
    {"last value before the surrogates", true, U"\xED\x9F\xBF"},
    {"overlong four bytes", true, U"\xF0\x8F\xBF\xBF"},
    {"above 0x10FFFF", true, U"\xF4\x90\x80\x80"},
    {"largest value", true, U"\xF4\x8F\xBF\xBF"},
    {"extra trail after two bytes", true, U"\xC3\xA9\xA9"},
    {"lone high surrogate", false, U"\xD83D\x41"},
    {"lone low surrogate", false, U"\xDE00"},
    {"two high surrogates", false, U"\xD83D\xD83D\xDE00"},
    {"reversed pair", false, U"\xDE00\xD83D"},
    {"pair", false, U"\xD83D\xDE00"},
    {"ASCII", true, U"\x41"},
    {"two bytes", true, U"\xC3\xA9"},
    {"four bytes", true, U"\xF0\x9F\x98\x80"},
    {"ASCII unit", false, U"\x41"},
};

// A stopper at every position of the blocks of 16, 32 and 64, and after long runs as the widest
// steps take them (32 units or bytes, 48 bytes of three-byte characters, written straight to the
// target while another step follows), amid every script and the edges of each length (just
// above the overlong forms, just below and above the surrogates), in both modes, with ample
// room and with room ending at and around the stop.
TEST(ConvertUtfTest, StopsInEveryLaneAmidEveryScript)
{
    const Script runs[] = {{"ASCII", U'a'},
                           {"Latin", 0xE0},
                           {"Cyrillic", 0x430},
                           {"Greek", 0x3B1},
                           {"largest two-byte values", 0x7E6},
                           {"smallest three-byte values", 0x800},
                           {"CJK", 0x4E00},
                           {"below the surrogates", 0xD7E6},
                           {"above the surrogates", 0xE000},
                           {"largest three-byte values", 0xFFE6},
                           {"emoji", 0x1F600}};
    std::vector<size_t> leads(70);
    std::iota(leads.begin(), leads.end(), size_t{0});
    leads.insert(leads.end(), {95, 96, 97, 127, 128, 129, 143, 144, 145, 190, 191, 192, 193, 250});
    for (const Stopper& stopper : kStoppers) {
        for (const Script& script : runs) {
            SCOPED_TRACE(testing::Message() << stopper.name << " amid " << script.name);
            const Utf routine = stopper.utf8 ? Utf::U8to16 : Utf::U16to8;
            for (size_t i = 0; i < leads.size() && !HasFailure(); ++i) {
                const std::u32string before = scriptText(script, leads[i]);
                const std::u32string after = scriptText(script, 100);
                const std::u32string text = stopper.utf8
                                                ? toUtf8(before) + stopper.units + toUtf8(after)
                                                : toUtf16(before) + stopper.units + toUtf16(after);
                const size_t written =
                    stopper.utf8 ? toUtf16(before).size() : toUtf8(before).size();
                for (const utf_ConversionFlags flags : kFlags) {
                    expectLevelsAgree(routine, text, 4 * text.size(), flags);
                    for (size_t room = written > 3 ? written - 3 : 0; room < written + 5; ++room) {
                        expectLevelsAgree(routine, text, room, flags);
                    }
                }
            }
        }
    }
}

// Targets that end at every position of a block, and sources that end inside every kind of
// character at every position, in every script and in runs of ASCII long enough to be taken
// straight to the target before a staged block.
TEST(ConvertUtfTest, TargetsAndSourcesEndingAtEveryPosition)
{
    for (const Script& script : kScripts) {
        SCOPED_TRACE(script.name);
        const std::u32string values =
            scriptText(kScripts[0], 150) + scriptText(script, 150) + scriptText(kScripts[0], 20);
        const std::u32string utf8 = toUtf8(values);
        const std::u32string utf16 = toUtf16(values);
        for (size_t room = 0; room <= 2 * utf16.size() && !HasFailure(); ++room) {
            expectLevelsAgree(Utf::U8to16, utf8, room, strictConversion);
        }
        for (size_t room = 0; room <= utf8.size() && !HasFailure(); ++room) {
            expectLevelsAgree(Utf::U16to8, utf16, room, strictConversion);
        }
        for (size_t cut = 100; cut < utf8.size() && !HasFailure(); ++cut) {
            expectLevelsAgree(Utf::U8to16, utf8.substr(0, cut), utf8.size(), strictConversion);
        }
        for (size_t cut = 100; cut < utf16.size() && !HasFailure(); ++cut) {
            expectLevelsAgree(Utf::U16to8, utf16.substr(0, cut), utf8.size(), lenientConversion);
        }
    }
}

// utf_isLegalUTF8 checks the given bytes only, as one character or the start of one;
// utf_isLegalUTF8Sequence checks the first character, which must end before sourceEnd. The
// bytes end right before an inaccessible page.
TEST(ConvertUtfTest, Utf8Validation)
{
    const struct {
        std::string bytes;
        int32_t legal;
        int32_t sequence;
    } cases[] = {
        {"", 0, 0},
        {"\x41\x80", 1, 1},
        {"\xC1\xBF", 0, 0},
        {"\xC3", 1, 0},
        {"\xE2\x82", 1, 0},
        {"\xE2\x82\xAC", 1, 1},
        {"\xC2\xC0", 0, 0},
        {"\xC3\xA9\x41", 0, 1},
        {"\xE0\x9F\xBF", 0, 0},
        {"\xE0\xA0\x80", 1, 1},
        {"\xED\xBF\xBF", 1, 1},
        {"\xF0\x8F\xBF\xBF", 0, 0},
        {"\xF0\x90\x80\x7F", 0, 0},
        {"\xF0\x9F\x98", 1, 0},
        {"\xF0\x9F\x98\x80", 1, 1},
        {"\xF4\x8F\xBF\xBF", 1, 1},
        {"\xF4\x90", 0, 0},
        {"\xF5\x80\x80\x80", 0, 0},
        {"\xF8\x88\x80\x80\x80", 0, 0},
        {"\x80", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(noxtest::hexBytes(c.bytes));
        const auto size = static_cast<int32_t>(c.bytes.size());
        const UTF8* bytes =
            noxtest::beforeGuard<UTF8>(0, std::u32string(c.bytes.begin(), c.bytes.end()));
        EXPECT_EQ(utf_isLegalUTF8(bytes, size), c.legal);
        EXPECT_EQ(utf_isLegalUTF8Sequence(bytes, bytes + size), c.sequence);
    }
}

} // namespace

// ConvertUTF_test.cpp - tests of the UTF-8/16/32 converters and the UTF-8 validation.
#include "noxunicode/ConvertUTF.h"
#include "noxunicode/environment.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

template <typename Src, typename Dst>
using ConvertFn = utf_ConversionResult (*)(const Src**, const Src*, Dst**, Dst*,
                                           utf_ConversionFlags);

enum Modes { kStrict = 1, kLenient = 2, kBoth = 3 };
const size_t kExact = static_cast<size_t>(-1); // room: exactly the expected output

template <typename Src, typename Dst>
struct Case {
    const char* name;
    Modes modes;
    std::vector<Src> in;
    size_t room;
    utf_ConversionResult result;
    size_t consumed;
    std::vector<Dst> out;
};

template <typename Dst>
struct Outcome {
    utf_ConversionResult result;
    size_t consumed;
    std::vector<Dst> out;
    std::vector<Dst> buffer; // the whole target buffer, for comparing untouched room
};

// Converts from an exact-size copy of `in` into an exact-size target of `room` units that
// starts filled with all-ones, which no converter writes.
template <typename Src, typename Dst>
Outcome<Dst> convert(ConvertFn<Src, Dst> fn, const std::vector<Src>& in, size_t room,
                     utf_ConversionFlags flags)
{
    const std::vector<Src> source(in);
    std::vector<Dst> target(room, static_cast<Dst>(-1));
    const Src* s = source.data();
    Dst* t = target.data();
    const utf_ConversionResult result = fn(&s, s + source.size(), &t, t + room, flags);
    const size_t written = static_cast<size_t>(t - target.data());
    for (size_t i = written; i < room; ++i) {
        EXPECT_EQ(target[i], static_cast<Dst>(-1)) << "written past the target position at " << i;
    }
    const auto end = target.begin() + static_cast<std::ptrdiff_t>(written);
    return {result, static_cast<size_t>(s - source.data()), std::vector<Dst>(target.begin(), end),
            target};
}

template <typename Src, typename Dst>
void checkCases(ConvertFn<Src, Dst> fn, const std::vector<Case<Src, Dst>>& cases)
{
    for (const auto& c : cases) {
        for (const utf_ConversionFlags flags : {strictConversion, lenientConversion}) {
            if ((c.modes & (flags == strictConversion ? kStrict : kLenient)) == 0) {
                continue;
            }
            SCOPED_TRACE(std::string(c.name) + (flags == strictConversion ? " strict" : " lenient"));
            const auto o = convert(fn, c.in, c.room == kExact ? c.out.size() : c.room, flags);
            EXPECT_EQ(o.result, c.result);
            EXPECT_EQ(o.consumed, c.consumed);
            EXPECT_EQ(o.out, c.out);
        }
    }
}

using C32to16 = Case<UTF32, UTF16>;
using C16to32 = Case<UTF16, UTF32>;
using C16to8 = Case<UTF16, UTF8>;
using C32to8 = Case<UTF32, UTF8>;
using C8to16 = Case<UTF8, UTF16>;
using C8to32 = Case<UTF8, UTF32>;

TEST(ConvertUtfTest, Utf32ToUtf16ResultsAndPositions)
{
    checkCases(utf_ConvertUTF32toUTF16, {
        {"empty source, no room", kBoth, {}, 0, conversionOK, 0, {}},
        {"plane boundaries", kBoth, {0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF}, kExact,
         conversionOK, 5, {0xD7FF, 0xE000, 0xFFFF, 0xD800, 0xDC00, 0xDBFF, 0xDFFF}},
        {"pair fits two units", kBoth, {0x1F600}, 2, conversionOK, 1, {0xD83D, 0xDE00}},
        {"pair with one unit", kBoth, {0x1F600}, 1, targetExhausted, 0, {}},
        {"no room", kBoth, {0x41}, 0, targetExhausted, 0, {}},
        {"above max, no room", kBoth, {0x110000}, 0, targetExhausted, 0, {}},
        {"surrogate refused", kStrict, {0x41, 0xD800, 0x42}, 3, sourceIllegal, 1, {0x41}},
        {"surrogate passed", kLenient, {0x41, 0xD800, 0x42}, 3, conversionOK, 3,
         {0x41, 0xD800, 0x42}},
        {"above max stops", kStrict, {0x41, 0x110000, 0x42}, 3, sourceIllegal, 1, {0x41}},
        {"above max replaced", kLenient, {0x41, 0x110000, 0xFFFFFFFF}, 3, conversionOK, 3,
         {0x41, 0xFFFD, 0xFFFD}},
        {"room test before refusal", kBoth, {0x41, 0x110000}, 1, targetExhausted, 1, {0x41}},
    });
}

TEST(ConvertUtfTest, Utf16ToUtf32ResultsAndPositions)
{
    checkCases(utf_ConvertUTF16toUTF32, {
        {"empty source, no room", kBoth, {}, 0, conversionOK, 0, {}},
        {"pairs", kBoth, {0xD83D, 0xDE00, 0xDBFF, 0xDFFF}, kExact, conversionOK, 4,
         {0x1F600, 0x10FFFF}},
        {"high then other refused", kStrict, {0xD83D, 0x41}, 2, sourceIllegal, 0, {}},
        {"high then other passed", kLenient, {0xD83D, 0x41}, kExact, conversionOK, 2,
         {0xD83D, 0x41}},
        {"lone low refused", kStrict, {0x41, 0xDE00}, 2, sourceIllegal, 1, {0x41}},
        {"lone low passed", kLenient, {0xDE00}, kExact, conversionOK, 1, {0xDE00}},
        {"high last stands alone", kBoth, {0x41, 0xD83D}, kExact, conversionOK, 2,
         {0x41, 0xD83D}},
        {"high, high, low", kLenient, {0xD800, 0xD800, 0xDC00}, kExact, conversionOK, 3,
         {0xD800, 0x10000}},
        {"refusal before room test", kStrict, {0xDC00}, 0, sourceIllegal, 0, {}},
        {"no room", kLenient, {0xDC00}, 0, targetExhausted, 0, {}},
        {"pair without room", kBoth, {0x41, 0xD83D, 0xDE00}, 1, targetExhausted, 1, {0x41}},
    });
}

TEST(ConvertUtfTest, Utf16ToUtf8ResultsAndPositions)
{
    checkCases(utf_ConvertUTF16toUTF8, {
        {"empty source, no room", kBoth, {}, 0, conversionOK, 0, {}},
        {"mixed lengths", kBoth, {0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00}, kExact, conversionOK, 5,
         {0x41, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}},
        {"length boundaries", kBoth, {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}, kExact, conversionOK, 5,
         {0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF}},
        {"three bytes in two", kBoth, {0x20AC}, 2, targetExhausted, 0, {}},
        {"pair in three bytes", kBoth, {0x41, 0xD83D, 0xDE00}, 4, targetExhausted, 1, {0x41}},
        {"high last stands alone", kStrict, {0xD83D}, kExact, conversionOK, 1, {0xED, 0xA0, 0xBD}},
        {"lone low refused", kStrict, {0xDC00}, 3, sourceIllegal, 0, {}},
        {"lone low passed", kLenient, {0xDC00}, kExact, conversionOK, 1, {0xED, 0xB0, 0x80}},
        {"high then other refused", kStrict, {0x41, 0xDBFF, 0xE000}, 9, sourceIllegal, 1, {0x41}},
    });
}

TEST(ConvertUtfTest, Utf32ToUtf8ResultsAndPositions)
{
    checkCases(utf_ConvertUTF32toUTF8, {
        {"empty source, no room", kBoth, {}, 0, conversionOK, 0, {}},
        {"highest value", kBoth, {0x10FFFF}, kExact, conversionOK, 1, {0xF4, 0x8F, 0xBF, 0xBF}},
        {"four bytes in three", kBoth, {0x41, 0x10000}, 4, targetExhausted, 1, {0x41}},
        {"surrogate refused", kStrict, {0xDC00}, 3, sourceIllegal, 0, {}},
        {"refusal before room test", kStrict, {0xDC00}, 0, sourceIllegal, 0, {}},
        {"surrogate passed", kLenient, {0xDC00}, kExact, conversionOK, 1, {0xED, 0xB0, 0x80}},
    });
}

TEST(ConvertUtfTest, Utf32ToUtf8RefusesValuesAboveMaximumInStrictMode)
{
    for (const UTF32 value : {0x110000u, 0x1FFFFFu, 0x200000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(value);
        checkCases(utf_ConvertUTF32toUTF8, {
            {"refused", kStrict, {0x41, value, 0x42}, 9, sourceIllegal, 1, {0x41}},
            {"refused before room test", kStrict, {0x41, value}, 3, sourceIllegal, 1, {0x41}},
            {"replaced", kLenient, {0x41, value}, kExact, conversionOK, 2, {0x41, 0xEF, 0xBF, 0xBD}},
            {"replacement needs three bytes", kLenient, {0x41, value}, 3, targetExhausted, 1,
             {0x41}},
        });
    }
}

TEST(ConvertUtfTest, Utf8ToUtf16ResultsAndPositions)
{
    checkCases(utf_ConvertUTF8toUTF16, {
        {"empty source, no room", kBoth, {}, 0, conversionOK, 0, {}},
        {"ends exactly at end", kBoth, {0xE2, 0x82, 0xAC}, kExact, conversionOK, 3, {0x20AC}},
        {"highest value", kBoth, {0xF4, 0x8F, 0xBF, 0xBF}, kExact, conversionOK, 4,
         {0xDBFF, 0xDFFF}},
        {"cut off", kBoth, {0x41, 0xE2, 0x82}, 4, sourceExhausted, 1, {0x41}},
        {"cut-off lone C0", kBoth, {0xC0}, 4, sourceExhausted, 0, {}},
        {"cut-off E0 80", kBoth, {0xE0, 0x80}, 4, sourceExhausted, 0, {}},
        {"cut-off F8 41", kBoth, {0xF8, 0x41}, 4, sourceExhausted, 0, {}},
        {"overlong C0 80", kBoth, {0x41, 0xC0, 0x80}, 4, sourceIllegal, 1, {0x41}},
        {"overlong E0 80 80", kBoth, {0xE0, 0x80, 0x80}, 4, sourceIllegal, 0, {}},
        {"lone trail byte", kBoth, {0x80}, 4, sourceIllegal, 0, {}},
        {"above max", kBoth, {0xF4, 0x90, 0x80, 0x80}, 4, sourceIllegal, 0, {}},
        {"bad second byte", kBoth, {0xF4, 0x41, 0x80, 0x80}, 4, sourceIllegal, 0, {}},
        {"five bytes", kBoth, {0xF8, 0x88, 0x80, 0x80, 0x80}, 4, sourceIllegal, 0, {}},
        {"surrogate form refused", kStrict, {0x41, 0xED, 0xA0, 0x80}, 4, sourceIllegal, 1, {0x41}},
        {"surrogate form passed", kLenient, {0xED, 0xA0, 0x80}, kExact, conversionOK, 3, {0xD800}},
        {"room test before surrogate test", kStrict, {0xED, 0xA0, 0x80}, 0, targetExhausted, 0, {}},
        {"pair with one unit", kBoth, {0xF0, 0x9F, 0x98, 0x80}, 1, targetExhausted, 0, {}},
        {"no room", kBoth, {0x41}, 0, targetExhausted, 0, {}},
    });
}

TEST(ConvertUtfTest, Utf8ToUtf32ResultsAndPositions)
{
    checkCases(utf_ConvertUTF8toUTF32, {
        {"empty source, no room", kBoth, {}, 0, conversionOK, 0, {}},
        {"highest value", kBoth, {0xF4, 0x8F, 0xBF, 0xBF}, kExact, conversionOK, 4, {0x10FFFF}},
        {"next to surrogates", kBoth, {0xED, 0x9F, 0xBF, 0xEE, 0x80, 0x80}, kExact, conversionOK,
         6, {0xD7FF, 0xE000}},
        {"cut off", kBoth, {0x41, 0xF0, 0x9F, 0x98}, 4, sourceExhausted, 1, {0x41}},
        {"illegal", kBoth, {0x41, 0xF8, 0x88, 0x80, 0x80, 0x80}, 4, sourceIllegal, 1, {0x41}},
        {"no room", kBoth, {0x41, 0x42}, 1, targetExhausted, 1, {0x41}},
    });
}

TEST(ConvertUtfTest, Utf8ToUtf32RefusesSurrogateFormsInStrictMode)
{
    checkCases(utf_ConvertUTF8toUTF32, {
        {"low end refused", kStrict, {0x41, 0xED, 0xA0, 0x80}, 4, sourceIllegal, 1, {0x41}},
        {"high end refused", kStrict, {0xED, 0xBF, 0xBF}, 4, sourceIllegal, 0, {}},
        {"room test first", kStrict, {0x41, 0xED, 0xA0, 0x80}, 1, targetExhausted, 1, {0x41}},
        {"passed", kLenient, {0xED, 0xA0, 0x80, 0xED, 0xBF, 0xBF}, kExact, conversionOK, 6,
         {0xD800, 0xDFFF}},
    });
}

// Legal pairs of first and second byte, derived by encoding every code point of two or
// more bytes, surrogates included, plus an ASCII byte before any trailing byte.
std::set<std::pair<int, int>> legalPrefixes()
{
    std::set<std::pair<int, int>> legal;
    for (UTF32 cp = 0x80; cp <= 0x10FFFF; ++cp) {
        if (cp < 0x800) {
            legal.insert({0xC0 | (cp >> 6), 0x80 | (cp & 0x3F)});
        } else if (cp < 0x10000) {
            legal.insert({0xE0 | (cp >> 12), 0x80 | ((cp >> 6) & 0x3F)});
        } else {
            legal.insert({0xF0 | (cp >> 18), 0x80 | ((cp >> 12) & 0x3F)});
        }
    }
    for (int first = 0; first < 0x80; ++first) {
        for (int second = 0x80; second < 0xC0; ++second) {
            legal.insert({first, second});
        }
    }
    return legal;
}

TEST(ConvertUtfTest, IsLegalUtf8MatchesEncodingsForEveryBytePair)
{
    const auto legal = legalPrefixes();
    for (int first = 0; first < 256; ++first) {
        const UTF8 one[] = {static_cast<UTF8>(first)};
        const bool leadOk = first < 0x80 || (first >= 0xC2 && first <= 0xF4);
        EXPECT_EQ(utf_isLegalUTF8(one, 1), leadOk ? 1 : 0) << first;
        for (int second = 0; second < 256; ++second) {
            const UTF8 two[] = {static_cast<UTF8>(first), static_cast<UTF8>(second)};
            EXPECT_EQ(utf_isLegalUTF8(two, 2), legal.count({first, second}) ? 1 : 0)
                << first << " " << second;
        }
    }
    const UTF8 any[] = {0x41};
    EXPECT_EQ(utf_isLegalUTF8(any, 0), 0);
}

TEST(ConvertUtfTest, ValidationChecksEveryByteAndWholeCharacter)
{
    struct Row {
        std::vector<UTF8> bytes;
        int32_t legal;    // utf_isLegalUTF8 over all the bytes
        int32_t sequence; // utf_isLegalUTF8Sequence over all the bytes
    };
    const Row rows[] = {
        {{}, 0, 0},
        {{0x41}, 1, 1},
        {{0x80}, 0, 0},
        {{0xC3, 0xA9, 0x41}, 0, 1},
        {{0xE2, 0x82}, 1, 0},
        {{0xE2, 0x82, 0xAC}, 1, 1},
        {{0xE2, 0x82, 0xC0}, 0, 0},
        {{0xED, 0xBF, 0xBF}, 1, 1},
        {{0xF0, 0x90, 0x80, 0x80}, 1, 1},
        {{0xF0, 0x90, 0x80, 0x7F}, 0, 0},
        {{0xF4, 0x8F, 0x7F, 0xBF}, 0, 0},
        {{0xF5, 0x80, 0x80, 0x80}, 0, 0},
        {{0xF8, 0x88, 0x80, 0x80, 0x80}, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.bytes));
        const std::vector<UTF8> bytes(r.bytes);
        const UTF8* begin = bytes.data();
        EXPECT_EQ(utf_isLegalUTF8(begin, static_cast<int32_t>(bytes.size())), r.legal);
        EXPECT_EQ(utf_isLegalUTF8Sequence(begin, begin + bytes.size()), r.sequence);
    }
}

// Encoders written independently of the library, for the round-trip oracle.
void appendUtf8(std::vector<UTF8>& out, UTF32 cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<UTF8>(cp));
        return;
    }
    const int n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    const UTF8 lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    out.push_back(static_cast<UTF8>(lead[n] | (cp >> (6 * (n - 1)))));
    for (int i = n - 2; i >= 0; --i) {
        out.push_back(static_cast<UTF8>(0x80 | ((cp >> (6 * i)) & 0x3F)));
    }
}

void appendUtf16(std::vector<UTF16>& out, UTF32 cp)
{
    if (cp < 0x10000) {
        out.push_back(static_cast<UTF16>(cp));
    } else {
        out.push_back(static_cast<UTF16>(0xD800 + ((cp - 0x10000) >> 10)));
        out.push_back(static_cast<UTF16>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
}

// Random scalar values from every plane, weighted towards the length and surrogate
// boundaries.
std::vector<UTF32> randomScalars(std::mt19937& rng, size_t count)
{
    static const UTF32 edges[] = {0x0,    0x7F,   0x80,    0x7FF,   0x800,   0xD7FF,
                                  0xE000, 0xFFFD, 0xFFFF,  0x10000, 0x1F600, 0x10FFFF};
    std::vector<UTF32> out;
    for (size_t i = 0; i < count; ++i) {
        UTF32 cp = 0;
        switch (rng() % 4) {
        case 0: cp = edges[rng() % std::size(edges)]; break;
        case 1: cp = static_cast<UTF32>(rng() % 0x80); break;
        case 2: cp = static_cast<UTF32>(rng() % 0x10000); break;
        default: cp = static_cast<UTF32>(rng() % 0x110000); break;
        }
        out.push_back((cp >= 0xD800 && cp <= 0xDFFF) ? cp + 0x800 : cp);
    }
    return out;
}

// Feeds `in` in pieces of random size, giving fresh target room of random size on each
// call, and resumes from the returned positions; `boundary` tells where a piece may end.
template <typename Src, typename Dst, typename Boundary>
std::vector<Dst> convertInPieces(ConvertFn<Src, Dst> fn, const std::vector<Src>& in,
                                 std::mt19937& rng, Boundary boundary)
{
    std::vector<Dst> out;
    const Src* source = in.data();
    size_t limit = 0;
    for (int calls = 0; calls < 100000; ++calls) {
        if (source == in.data() + limit && limit == in.size()) {
            return out;
        }
        if (source == in.data() + limit || rng() % 4 == 0) {
            do {
                limit = std::min(in.size(), limit + 1 + rng() % 7);
            } while (!boundary(limit));
        }
        std::vector<Dst> room(rng() % 9);
        Dst* target = room.data();
        const utf_ConversionResult result =
            fn(&source, in.data() + limit, &target, target + room.size(), strictConversion);
        out.insert(out.end(), room.data(), target);
        EXPECT_TRUE(result == conversionOK || result == targetExhausted ||
                    (result == sourceExhausted && limit < in.size()))
            << result;
    }
    ADD_FAILURE() << "no progress";
    return out;
}

// Converts valid input in one call with exactly the room needed, and in pieces.
template <typename Src, typename Dst, typename Boundary>
void checkValid(ConvertFn<Src, Dst> fn, const std::vector<Src>& in, const std::vector<Dst>& want,
                std::mt19937& rng, Boundary boundary)
{
    const auto whole = convert(fn, in, want.size(), strictConversion);
    EXPECT_EQ(whole.result, conversionOK);
    EXPECT_EQ(whole.consumed, in.size());
    EXPECT_EQ(whole.out, want);
    EXPECT_EQ(convertInPieces(fn, in, rng, boundary), want);
}

// Every routine matches encoders written apart from the library, so UTF-32 to UTF-8 to
// UTF-16 to UTF-32 (and every other round) returns the original.
TEST(ConvertUtfTest, RandomScalarsConvertWholeAndInPieces)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        const std::vector<UTF32> cps = randomScalars(rng, rng() % 64);
        std::vector<UTF8> u8;
        std::vector<UTF16> u16;
        for (const UTF32 cp : cps) {
            appendUtf8(u8, cp);
            appendUtf16(u16, cp);
        }
        auto anywhere = [](size_t) { return true; };
        // A high surrogate that ends a piece would be converted on its own.
        auto between16 = [&](size_t n) {
            return n == 0 || n == u16.size() || (u16[n - 1] & 0xFC00) != 0xD800;
        };
        checkValid(utf_ConvertUTF32toUTF8, cps, u8, rng, anywhere);
        checkValid(utf_ConvertUTF8toUTF16, u8, u16, rng, anywhere);
        checkValid(utf_ConvertUTF16toUTF32, u16, cps, rng, between16);
        checkValid(utf_ConvertUTF32toUTF16, cps, u16, rng, anywhere);
        checkValid(utf_ConvertUTF16toUTF8, u16, u8, rng, between16);
        checkValid(utf_ConvertUTF8toUTF32, u8, cps, rng, anywhere);
    }
}

// Random scalars of one kind per run (ASCII, two-byte, three-byte, four-byte or any), so
// that whole vector blocks of one kind occur.
std::vector<UTF32> randomRun(std::mt19937& rng)
{
    static const UTF32 ranges[][2] = {
        {0x20, 0x7F}, {0x80, 0x800}, {0x800, 0xD800}, {0xE000, 0x10000}, {0x10000, 0x110000}};
    const size_t kind = rng() % (std::size(ranges) + 1);
    const size_t count = rng() % 48;
    if (kind == std::size(ranges)) {
        return randomScalars(rng, count);
    }
    std::vector<UTF32> out;
    for (size_t i = 0; i < count; ++i) {
        // Mostly one kind, with a space now and then as in running text.
        const auto& r = ranges[kind];
        out.push_back(rng() % 8 == 0 ? 0x20 : r[0] + static_cast<UTF32>(rng() % (r[1] - r[0])));
    }
    return out;
}

// Random input of runs that the bulk steps take, with, in most inputs, units that they
// must leave to the per-character step, anywhere, so also at the edges of vector blocks.
template <typename Unit>
std::vector<Unit> randomInput(std::mt19937& rng)
{
    // Forms of four bytes have all their trail bytes, so that only the lead and the second
    // byte tell them from a character.
    static const UTF8 forms[][4] = {{0xED, 0xA0, 0x80}, {0xED, 0xBF, 0xBF},
                                    {0xE0, 0x9F, 0xBF}, {0xF4, 0x90, 0x80, 0x80},
                                    {0xC1, 0xBF, 0x41}, {0xF0, 0x8F, 0xBF, 0xBF},
                                    {0xF5, 0x80, 0x80, 0x80}};
    const unsigned faults = rng() % 4 == 0 ? 0 : 1 + rng() % 8;
    std::vector<Unit> out;
    for (size_t run = rng() % 8; run > 0; --run) {
        for (const UTF32 cp : randomRun(rng)) {
            if constexpr (sizeof(Unit) == 1) {
                appendUtf8(out, cp);
            } else {
                appendUtf16(out, cp);
            }
        }
        if (faults == 0 || rng() % faults != 0) {
            continue;
        }
        if constexpr (sizeof(Unit) == 1) {
            // Surrogate, overlong and out-of-range forms, whole or cut, or any byte.
            const auto& f = forms[rng() % std::size(forms)];
            if (rng() % 2 == 0) {
                out.insert(out.end(), f, f + 1 + rng() % (f[3] != 0 ? 4 : 3));
            } else {
                out.push_back(static_cast<UTF8>(rng()));
            }
        } else {
            out.push_back(static_cast<UTF16>(0xD800 + rng() % 0x800));
        }
    }
    return out;
}

template <>
std::vector<UTF32> randomInput<UTF32>(std::mt19937& rng)
{
    static const UTF32 odd[] = {0xD800, 0xDFFF, 0x110000, 0x1FFFFF, 0xFFFFFFFF, 0xDBFF};
    std::vector<UTF32> out;
    for (size_t run = rng() % 6; run > 0; --run) {
        for (const UTF32 cp : randomRun(rng)) {
            out.push_back(rng() % 40 == 0 ? odd[rng() % std::size(odd)] : cp);
        }
    }
    return out;
}

template <typename Src, typename Dst>
void compareFastAndPlain(ConvertFn<Src, Dst> fn, std::mt19937& rng)
{
    for (int round = 0; round < 1000; ++round) {
        const std::vector<Src> in = randomInput<Src>(rng);
        const size_t room = rng() % 3 == 0 ? rng() % (4 * in.size() + 2) : 4 * in.size();
        for (const utf_ConversionFlags flags : {strictConversion, lenientConversion}) {
            ncnv_setFastPaths(true);
            const auto fast = convert(fn, in, room, flags);
            ncnv_setFastPaths(false);
            const auto plain = convert(fn, in, room, flags);
            ASSERT_EQ(fast.result, plain.result) << testing::PrintToString(in) << " room " << room;
            ASSERT_EQ(fast.consumed, plain.consumed) << testing::PrintToString(in) << " room " << room;
            ASSERT_EQ(fast.buffer, plain.buffer) << testing::PrintToString(in) << " room " << room;
        }
    }
    ncnv_setFastPaths(true);
}

// A character cut off or refused at every position of the 32 bytes that the bulk steps take
// at a time, also within the last three, whose trail bytes lie in the next block.
TEST(ConvertUtfTest, FastPathsMatchPlainPathsAtEveryPositionOfABlock)
{
    const std::vector<std::vector<UTF8>> fillers = {
        {0x61}, {0xC3, 0xA9}, {0xE4, 0xB8, 0xAD}, {0xF0, 0x9F, 0x98, 0x80}};
    const std::vector<std::vector<UTF8>> faults = {
        {0xC3, 0x61},       {0xE4, 0xB8, 0x61}, {0xF0, 0x9F, 0x98, 0x61}, {0x80},
        {0xF4, 0x90, 0x80, 0x80}, {0xED, 0xA0, 0x80}, {0xF0, 0x9F, 0x98, 0x80}};
    for (const auto& filler : fillers) {
        for (const auto& fault : faults) {
            for (size_t lead = 0; lead < 4; ++lead) {
                for (size_t count = 0; count < 24; ++count) {
                    std::vector<UTF8> in(lead, 0x61);
                    for (size_t i = 0; i < count; ++i) {
                        in.insert(in.end(), filler.begin(), filler.end());
                    }
                    in.insert(in.end(), fault.begin(), fault.end());
                    for (size_t i = 0; i < 24; ++i) {
                        in.insert(in.end(), filler.begin(), filler.end());
                    }
                    for (const size_t room : {2 * in.size(), lead + count + 3}) {
                        for (const utf_ConversionFlags flags : {strictConversion, lenientConversion}) {
                            ncnv_setFastPaths(true);
                            const auto fast = convert(utf_ConvertUTF8toUTF16, in, room, flags);
                            ncnv_setFastPaths(false);
                            const auto plain = convert(utf_ConvertUTF8toUTF16, in, room, flags);
                            ASSERT_EQ(fast.result, plain.result) << testing::PrintToString(in);
                            ASSERT_EQ(fast.consumed, plain.consumed) << testing::PrintToString(in);
                            ASSERT_EQ(fast.buffer, plain.buffer) << testing::PrintToString(in);
                        }
                    }
                }
            }
        }
    }
    ncnv_setFastPaths(true);
}

TEST(ConvertUtfTest, FastPathsMatchPlainPathsOnRandomInput)
{
    std::mt19937 rng(99);
    compareFastAndPlain(utf_ConvertUTF8toUTF16, rng);
    compareFastAndPlain(utf_ConvertUTF8toUTF32, rng);
    compareFastAndPlain(utf_ConvertUTF16toUTF8, rng);
    compareFastAndPlain(utf_ConvertUTF16toUTF32, rng);
    compareFastAndPlain(utf_ConvertUTF32toUTF8, rng);
    compareFastAndPlain(utf_ConvertUTF32toUTF16, rng);
    ncnv_setFastPaths(true);
}

} // namespace

// ConvertUTF_test.cpp - tests of the UTF-8/16/32 converters and the UTF-8 validation.
#include "noxunicode/ConvertUTF.h"
#include "noxunicode/kernels/kernels.h"
#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <tuple>
#include <vector>

namespace {

template <typename Src, typename Dst>
using ConvertFn = utf_ConversionResult (*)(const Src**, const Src*, Dst**, Dst*,
                                           utf_ConversionFlags);

// Converts a copy of `in` into `room` units of all-ones (which no converter writes) with the plain
// and the fast paths; checks that they agree and wrote nothing past the returned position.
template <typename Src, typename Dst>
auto convert(ConvertFn<Src, Dst> fn, const std::vector<Src>& in, size_t room,
             utf_ConversionFlags flags)
{
    std::tuple<utf_ConversionResult, size_t, std::vector<Dst>> o[2];
    for (const bool fast : {false, true}) {
        nox::setKernelCeiling(fast ? nox::KernelLevel::AVX512 : nox::KernelLevel::Exact);
        const std::vector<Src> source(in);
        std::vector<Dst> target(room, static_cast<Dst>(-1));
        const Src* s = source.data();
        Dst* t = target.data();
        const utf_ConversionResult result = fn(&s, s + source.size(), &t, t + room, flags);
        const auto end = target.begin() + (t - target.data());
        EXPECT_EQ(std::count(end, target.end(), Dst(-1)), target.end() - end) << "written past";
        o[fast] = {result, static_cast<size_t>(s - source.data()), {target.begin(), end}};
    }
    EXPECT_EQ(o[1], o[0]) << "fast vs plain, mode " << flags << ", " << testing::PrintToString(in);
    return o[1];
}

enum Modes { kS = 1, kL = 2, kB = 3 }; // strict, lenient, both
const auto kOk = conversionOK, kCut = sourceExhausted, kFull = targetExhausted;
const auto kBad = sourceIllegal;
struct Row { // units of every width held as UTF32
    void (*fn)(const Row&, utf_ConversionFlags);
    Modes modes;
    std::vector<UTF32> in;
    size_t room;
    utf_ConversionResult result;
    size_t consumed;
    std::vector<UTF32> out;
};

// Checks a row, then (by `convert`) the fast against the plain paths on its units at every
// position of a vector block, amid ASCII, with room running out at the row's point or ample.
template <typename Src, typename Dst, ConvertFn<Src, Dst> fn>
void check(const Row& r, utf_ConversionFlags flags)
{
    SCOPED_TRACE(testing::Message() << "mode " << flags << ", " << testing::PrintToString(r.in));
    const std::vector<Src> in(r.in.begin(), r.in.end());
    const auto [res, used, out] = convert(fn, in, r.room, flags);
    EXPECT_EQ(std::make_tuple(res, used, std::vector<UTF32>(out.begin(), out.end())),
              std::tie(r.result, r.consumed, r.out));
    for (size_t lead = 1; lead < 40; ++lead) {
        std::vector<Src> text(lead, 0x61);
        text.insert(text.end(), in.begin(), in.end());
        text.resize(text.size() + 40, 0x61);
        convert(fn, text, lead + r.room, flags);
        convert(fn, text, 4 * text.size(), flags);
    }
}
const auto u32to16 = check<UTF32, UTF16, utf_ConvertUTF32toUTF16>;
const auto u16to32 = check<UTF16, UTF32, utf_ConvertUTF16toUTF32>;
const auto u16to8 = check<UTF16, UTF8, utf_ConvertUTF16toUTF8>;
const auto u32to8 = check<UTF32, UTF8, utf_ConvertUTF32toUTF8>;
const auto u8to16 = check<UTF8, UTF16, utf_ConvertUTF8toUTF16>;
const auto u8to32 = check<UTF8, UTF32, utf_ConvertUTF8toUTF32>;

// Valid text, exact-size targets and empty sources are left to the random-text test.
TEST(ConvertUtfTest, ResultsPositionsAndOutputOfEveryConverter)
{
    const Row rows[] = {
        // A character that does not fit is not written at all.
        {u32to16, kB, {0x1F600}, 1, kFull, 0, {}},
        {u8to32, kB, {0x41}, 0, kFull, 0, {}},
        {u16to32, kB, {0x41, 0xD83D, 0xDE00}, 1, kFull, 1, {0x41}},
        {u16to8, kB, {0x41, 0xD83D, 0xDE00}, 4, kFull, 1, {0x41}},
        {u32to8, kB, {0x41, 0x10000}, 4, kFull, 1, {0x41}},
        {u8to16, kB, {0xF0, 0x9F, 0x98, 0x80}, 1, kFull, 0, {}},
        // Unpaired surrogates: refused in strict mode before the room test, else passed on.
        {u32to16, kS, {0x41, 0xD800, 0x42}, 3, kBad, 1, {0x41}},
        {u32to16, kL, {0x41, 0xD800, 0x42}, 3, kOk, 3, {0x41, 0xD800, 0x42}},
        {u16to32, kS, {0xDC00}, 0, kBad, 0, {}},
        {u16to32, kL, {0xDC00}, 0, kFull, 0, {}},
        {u16to32, kL, {0xD83D, 0x41, 0xDE00}, 3, kOk, 3, {0xD83D, 0x41, 0xDE00}},
        {u16to8, kS, {0xDC00}, 3, kBad, 0, {}},
        {u32to8, kS, {0xDC00}, 0, kBad, 0, {}},
        {u16to8, kB, {0x41, 0xD83D}, 4, kOk, 2, {0x41, 0xED, 0xA0, 0xBD}}, // high at the end
        {u16to8, kS, {0x41, 0xDBFF, 0xE000}, 9, kBad, 1, {0x41}},
        {u32to8, kL, {0xDC00}, 3, kOk, 1, {0xED, 0xB0, 0x80}},
        {u8to16, kS, {0x41, 0xED, 0xA0, 0x80}, 4, kBad, 1, {0x41}},
        {u8to16, kS, {0xED, 0xA0, 0x80}, 0, kFull, 0, {}}, // but here the room test comes first
        {u8to16, kL, {0xED, 0xA0, 0x80}, 1, kOk, 3, {0xD800}},
        {u8to32, kS, {0x41, 0xED, 0xBF, 0xBF}, 4, kBad, 1, {0x41}},
        {u8to32, kL, {0xED, 0xA0, 0x80, 0xED, 0xBF, 0xBF}, 2, kOk, 6, {0xD800, 0xDFFF}},
        // Values above 0x10FFFF: refused in strict mode before the room test, else U+FFFD.
        {u32to16, kS, {0x41, 0x110000, 0x42}, 3, kBad, 1, {0x41}},
        {u32to16, kL, {0x41, 0x110000, 0xFFFFFFFF}, 3, kOk, 3, {0x41, 0xFFFD, 0xFFFD}},
        {u32to16, kB, {0x41, 0x110000}, 1, kFull, 1, {0x41}},
        {u32to8, kS, {0x41, 0x1FFFFF}, 3, kBad, 1, {0x41}},
        {u32to8,
         kL,
         {0x41, 0x110000, 0x1FFFFF, 0x200000, 0xFFFFFFFF},
         13,
         kOk,
         5,
         {0x41, 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}},
        {u32to8, kL, {0x41, 0xFFFFFFFF}, 3, kFull, 1, {0x41}},
        // UTF-8 cut off by the end of the source, whatever its bytes, or illegal in both modes.
        {u8to16, kB, {0x41, 0xE2, 0x82}, 4, kCut, 1, {0x41}},
        {u8to16, kB, {0xE0, 0x80}, 4, kCut, 0, {}},
        {u8to16, kB, {0xF8, 0x41}, 4, kCut, 0, {}},
        {u8to32, kB, {0x41, 0xF0, 0x9F, 0x98}, 4, kCut, 1, {0x41}},
        {u8to16, kB, {0x41, 0xC0, 0x80}, 4, kBad, 1, {0x41}},
        {u8to16, kB, {0x80}, 4, kBad, 0, {}},
        {u8to16, kB, {0xE0, 0x80, 0x80}, 4, kBad, 0, {}},
        {u8to16, kB, {0xF4, 0x90, 0x80, 0x80}, 4, kBad, 0, {}},
        {u8to32, kB, {0x41, 0xF8, 0x88, 0x80, 0x80, 0x80}, 4, kBad, 1, {0x41}},
    };
    for (const Row& r : rows)
        for (const utf_ConversionFlags flags : {strictConversion, lenientConversion})
            if ((r.modes & (flags == strictConversion ? kS : kL)) != 0)
                r.fn(r, flags);
}

// utf_isLegalUTF8 checks the given bytes only, as one character or the start of one;
// utf_isLegalUTF8Sequence checks the first character, which must end before sourceEnd.
TEST(ConvertUtfTest, Utf8Validation)
{
    const std::tuple<std::vector<UTF8>, int32_t, int32_t> rows[] = {
        // bytes, legal, sequence
        {{}, 0, 0},
        {{0x41, 0x80}, 1, 1},
        {{0xC1, 0xBF}, 0, 0},
        {{0xE2, 0x82}, 1, 0},
        {{0xC2, 0xC0}, 0, 0},
        {{0xC3, 0xA9, 0x41}, 0, 1},
        {{0xE0, 0x9F, 0xBF}, 0, 0},
        {{0xE0, 0xA0, 0x80}, 1, 1},
        {{0xED, 0xBF, 0xBF}, 1, 1},
        {{0xF0, 0x8F, 0xBF, 0xBF}, 0, 0},
        {{0xF0, 0x90, 0x80, 0x7F}, 0, 0},
        {{0xF4, 0x8F, 0xBF, 0xBF}, 1, 1},
        {{0xF4, 0x90}, 0, 0},
        {{0xF5, 0x80, 0x80, 0x80}, 0, 0},
        {{0xF8, 0x88, 0x80, 0x80, 0x80}, 0, 0},
        {{0x80}, 0, 0}};
    for (const auto& [bytes, legal, sequence] : rows) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        EXPECT_EQ(utf_isLegalUTF8(bytes.data(), static_cast<int32_t>(bytes.size())), legal);
        EXPECT_EQ(utf_isLegalUTF8Sequence(bytes.data(), bytes.data() + bytes.size()), sequence);
    }
}

// Random text in all three forms, encoded apart from the library: runs of one length class (so
// that whole vector blocks of one kind occur), of any, or of values next to a boundary.
std::mt19937 rng(20240611);
auto randomText()
{
    static const UTF32 ranges[][2] = {
        {0x20, 0x80},        {0x80, 0x800},       {0x800, 0x10000},
        {0x10000, 0x110000}, {0, 0x110000},       {0, 2},
        {0x7E, 0x82},        {0x7FE, 0x802},      {0xD7FE, 0xD802},
        {0xFFFD, 0x10002},   {0x10FFFE, 0x110000}}; // surrogates are moved up by 0x800
    std::tuple<std::vector<UTF8>, std::vector<UTF16>, std::vector<UTF32>> text;
    auto& [u8, u16, u32] = text;
    for (size_t run = rng() % 6; run > 0; --run) {
        const auto& r = ranges[rng() % std::size(ranges)];
        for (size_t i = rng() % 40; i > 0; --i) {
            const UTF32 cp = rng() % 8 ? r[0] + static_cast<UTF32>(rng() % (r[1] - r[0])) : 0x20;
            u32.push_back((cp & 0xFFFFF800) == 0xD800 ? cp + 0x800 : cp);
        }
    }
    for (const UTF32 cp : u32) {
        const int n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        u8.push_back(static_cast<UTF8>((0xF00 >> n) * (n > 1) | (cp >> (6 * (n - 1)))));
        for (int i = n - 2; i >= 0; --i)
            u8.push_back(static_cast<UTF8>(0x80 | ((cp >> (6 * i)) & 0x3F)));
        if (n == 4)
            u16.push_back(static_cast<UTF16>(0xD800 + ((cp - 0x10000) >> 10)));
        u16.push_back(static_cast<UTF16>(n == 4 ? 0xDC00 + (cp & 0x3FF) : cp));
    }
    return text;
}

// Converts `in` whole into exactly the room needed, then in pieces resuming from the returned
// positions (a UTF-16 piece never ends on a high surrogate, which would then stand alone).
template <typename Src, typename Dst>
void checkValid(ConvertFn<Src, Dst> fn, const std::vector<Src>& in, const std::vector<Dst>& want)
{
    EXPECT_EQ(convert(fn, in, want.size(), strictConversion), std::tuple(kOk, in.size(), want));
    std::vector<Dst> out;
    const Src* s = in.data();
    for (size_t limit = 0, calls = 0; s != in.data() + in.size(); ++calls) {
        ASSERT_LT(calls, 100000u) << "no progress";
        while (s == in.data() + limit || rng() % 4 == 0 ||
               (sizeof(Src) == 2 && limit < in.size() && (in[limit - 1] & 0xFC00) == 0xD800))
            limit = std::min(in.size(), limit + 1 + rng() % 7);
        Dst room[8], *t = room;
        const auto result = fn(&s, in.data() + limit, &t, room + rng() % 9, strictConversion);
        out.insert(out.end(), room, t);
        ASSERT_TRUE(result == kOk || result == kFull || (result == kCut && limit < in.size()));
    }
    EXPECT_EQ(out, want);
}

// Every converter matches the encoders, so UTF-32 -> 8 -> 16 -> 32 gives back the original.
TEST(ConvertUtfTest, RandomTextConvertsWholeAndInPieces)
{
    for (int round = 0; round < 500 && !HasFailure(); ++round) {
        SCOPED_TRACE(round);
        const auto [u8, u16, u32] = randomText();
        checkValid(utf_ConvertUTF32toUTF8, u32, u8);
        checkValid(utf_ConvertUTF8toUTF16, u8, u16);
        checkValid(utf_ConvertUTF16toUTF32, u16, u32);
        checkValid(utf_ConvertUTF32toUTF16, u32, u16);
        checkValid(utf_ConvertUTF16toUTF8, u16, u8);
        checkValid(utf_ConvertUTF8toUTF32, u8, u32);
    }
}

} // namespace

// NoxUCharConverter_test.cpp - code-page conversions through every form at every kernel level,
// and the UCM lines the loader reads.
#include "NoxUCharConverter.h"
#include "parser.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#define LB "<nox_lead_bytes>"

namespace {

using namespace noxtest;
using namespace std::string_literals;

// A fallback then a round trip of one key; one-byte records of lead bytes.
const std::string kTwoE = "<nox_lead_bytes> 01-7F:1\n<U00E9> \\x45 |1\n<U00E9> \\x65 |0\n";
const std::string kLead =
    "<nox_lead_bytes> 01-7F:1 81:2 83:3\n<U00C1> \\x81 |0\n<U00C3> \\x83 |0\n";

// How a whole input converts: the output (from Unicode, the bytes as units 0-255), the input
// it takes, and what ends it (NCNV_OK at the end or at a 0; else the failure and its message).
struct Expect {
    std::u16string units;
    size_t consumed;
    int stop = NCNV_OK;
    std::string message = "";
};

// Both directions: `counted` and `ranged` call the two forms on the whole input with room for
// all and a terminator. A 0 inside the input ends it and, in the pointer-range forms, is
// written after the output (else the sentinel stays). How the forms relate with less room is
// checked on every fuzz corpus input.
template <typename Text>
void s_expectEveryForm(NoxUConverter* h, const Text& text, const Expect& want,
                       Call (*counted)(NoxUConverter*, const Text&, int, int),
                       Call (*ranged)(NoxUConverter*, const Text&, size_t, size_t))
{
    SCOPED_TRACE((sizeof text[0] == 1 ? "to Unicode: " : "from Unicode: ") + hex(text));
    const size_t n = want.units.size();
    std::vector<unsigned> zero(want.units.begin(), want.units.end()), rangedZero = zero;
    const bool atZero = want.stop == NCNV_OK && want.consumed < text.size();
    zero.push_back(0);
    rangedZero.push_back(atZero ? 0 : sizeof text[0] == 1 ? 0xEEEE : 0xEE);
    const Call c = counted(h, text, int(text.size()), int(n) + 1);
    EXPECT_EQ(std::make_tuple(int(n), want.stop, zero, want.message),
              std::tie(c.result, c.error, c.out, c.message))
        << "counted";
    const Call r = ranged(h, text, text.size(), n + 1);
    EXPECT_EQ(std::make_tuple(want.consumed, n, want.stop != NCNV_OK ? want.stop : kUnset,
                              rangedZero, want.message),
              std::tie(r.consumed, r.written, r.error, r.out, r.message))
        << "pointer range";
}

template <typename Text> struct Case {
    std::string ucm; // empty: the small code page
    Text in;
    Expect want;
};

// Whole inputs through both forms at every level (random texts are compared with the reference
// by the fuzz corpus replays): a message shows 0 bytes past the limit, a round trip wins its key, a
// lead byte cut by a 0 finds its one-byte record.
TEST(ConversionTest, EveryFormEveryLevel)
{
    const std::string noMap = "No mapping for character";
    const Case<std::string> toU[] = {
        {"", "A\x81\x40\x42", {u"A\u3000B", 4}},
        {"", "A\xA0\x42\x43", {u"A", 1, NCNV_UNSUPPORTED, noMap + "(s) \\xA0\\x42\\x43\\x00'\n"}},
        {"", "A\x81", {u"A", 1, NCNV_INDEX_OUTOFBOUNDS}},
        {kLead, "\x81\0\x41"s, {u"\u00C1", 1}},
        {kLead, "\x83\0\x41"s, {u"\u00C3", 1}},
    };
    const Case<std::u16string> fromU[] = {
        {"", u"A\u3000B", {u"A\x81\x40\x42", 3}},
        {"", u"AB\xD800", {u"AB", 2, NCNV_UNSUPPORTED, noMap + " <UD800>\n"}},
        {kTwoE, u"\u00E9", {u"e", 1}},
        {kLead, u"\u00C3", {u"\x83", 1}},
    };
    const auto run = [](const auto& cases, auto counted, auto ranged) {
        for (const auto& c : cases) {
            const Handle h(c.ucm.empty() ? kSmallUcm : c.ucm);
            forEachLevel([&] { s_expectEveryForm(h.get(), c.in, c.want, counted, ranged); });
        }
    };
    run(toU, toUChars, toUnicode);
    run(fromU, fromUChars, fromUnicode);
}

// The UCM mapping line: accepted with its value, bytes and type (0x30 for |0, 0x40 |1, 0x80 |3,
// plus the length), or refused and the record cleared (value 0); a comment or a null line is
// refused and leaves the record untouched (0x7777). The usual line, which the parser reads
// where it lies, reads as the general scan reads it (a leading space sends a line there), also
// with any one character changed; the loader's wide read of it, with more text that would
// continue a mapping after the line's end, reads it as the scan of one character at a time.
TEST(ParserTest, MappingLines)
{
    // (result, value, bytes, type) of a line read into a record holding the value `held`.
    const auto read = [](const char* line, uint16_t held) {
        NoxUCharMapping m;
        m.setUnicode(held);
        const int result = parse_ucm_line(line, &m);
        return std::make_tuple(result, m.getUnicode(), m.mbcsBytes, m.mappingType);
    };
    // clang-format off
    struct { const char* line; uint16_t value = 0; t_mbcsBytes bytes = 0; uint16_t type = 0; } const cases[] = {
        {"<U3000> \\x81\\x40 |0\n", 0x3000, 0x4081, 0x32}, {"U00e9\\xE9|3\n", 0xE9, 0xE9, 0x81},
        {"<U0041> \\x41\\x42\\x43\\x44 |0\n", 0x41, 0x44434241, 0x34}, {"<U0041 \\x41 #|1\n", 0x41, 0x41, 0x41},
        {" \t<UFFFF>\t\\xFF\t|0\n", 0xFFFF, 0xFF, 0x31}, {"<U0004> \\x4\\x41 |0\n", 4, 0x4104, 0x32},
        {"<U0041> \\x41 # |1\n", 0x41, 0x41, 0x31}, // the marker must follow '#' directly
        {"<U3000> \\x81 \\x40 |1\n", 0x3000, 0x81, 0x31}, // a blank ends the bytes
        {"#<U0041> \\x41 |0\n", 0x7777}, {nullptr, 0x7777},
        // Refused: a fifth byte, precision 2, no blank before the newline, a 0 byte, a cut line,
        // a lower-case u, a long value, no bytes, '#' after blanks.
        {"<U0041> \\x41\\x42\\x43\\x44\\x45 |0\n"}, {"<U00A0> \\xA0 |2\n"}, {"<U0041> \\x41\n"},
        {"<U0041> \\x41\\x00 |0\n"}, {"<U00"}, {"<u0041> \\x41 |0\n"}, {"<U00410> \\x41 |0\n"},
        {"<U0041> |0\n"}, {"  #<U0041> \\x41 |0\n"},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::make_tuple(int{c.type != 0}, c.value, c.bytes, c.type), read(c.line, 0x7777))
            << c.line;
    }
    EXPECT_EQ(0, parse_ucm_line("U0041\\x41|0", nullptr));
    // (end offset or -1, value, bytes, type) of the usual line's parse.
    const auto readUsual = [](const std::string& text, const auto& parse) {
        NoxUCharMapping m;
        const char* end = parse(text.c_str(), &m);
        return std::make_tuple(end == nullptr ? -1 : end - text.c_str(), m.getUnicode(),
                               m.mbcsBytes, m.mappingType);
    };
    std::string readAfter;
    while (readAfter.size() < s_usualLineReach) {
        readAfter += "\\x40 |0";
    }
    const std::string replacements = std::string("0123789AaFfGg<>Uu\\xX \t|#\n\r-\xB0") + '\0';
    int lines = 0;
    for (const std::string line :
         {"<U3000> \\x81\\x40 |0\n", "<U00e9> \\xE9 |1 # note\n",
          "<UFFFF> \\x01\\x02\\x03\\xFF |3\n", "<U0041> \\x41\\x42\\x43\\x44\\x45 |0\n"}) {
        for (size_t at = 0; at < line.size(); ++at) {
            for (const char c : replacements) {
                const std::string changed = (line.substr(0, at) + c + line.substr(at + 1)).c_str();
                const auto usual = read(changed.c_str(), 0);
                lines += std::get<0>(usual);
                EXPECT_EQ(usual, read((" " + changed).c_str(), 0)) << changed;
                EXPECT_EQ(readUsual(changed, parse_usual_ucm_line),
                          readUsual(changed + '\0' + readAfter, parse_usual_ucm_line_padded))
                    << changed;
            }
        }
    }
    EXPECT_GT(lines, 800); // many of the changed lines are still mapping lines
}

// The lead-byte line: the bytes it gives a length, cur_min and cur_max, spot checks of slots.
// Lines accumulate; a length 0 resets cur_min and the next non-zero length replaces it.
TEST(ParserTest, LeadByteLines)
{
    // clang-format off
    struct { const char* line; int result, curMin, curMax; std::vector<std::pair<int, int>> slots; } const cases[] = {
        {LB " 00-7F:1 80-FF:2\n", 256, 1, 2, {{0, 1}, {0x7F, 1}, {0x80, 2}, {0xFF, 2}}},
        {LB " 00-7F:1 80:0 81-FE:2 FF:0\n", 256, 0, 2, {{0x80, 0}, {0xFE, 2}}},
        {" " LB " 00-7F:1\n", 0, 0, 0, {}},
        {LB "00-7F:1,80-FF:2\n", 128, 1, 1, {{0x7F, 1}, {0x80, 0}}}, // a comma ends the list
        {LB " 0-7f:1 :2\n", 129, 1, 2, {{0, 2}, {0x7F, 1}}},
        {LB " 00-7F 80-FF:2\n", 128, 2, 2, {{0x00, 0}, {0x80, 2}}},
        {LB " 123:1\n", 1, 1, 1, {{0x12, 0}, {0x03, 1}}},
    }; // clang-format on
    for (const auto& c : cases) {
        NoxLeadByteTable t;
        EXPECT_EQ(std::make_tuple(c.result, c.curMin, c.curMax),
                  std::make_tuple(parse_lead_bytes(c.line, &t), t.cur_min, t.cur_max))
            << c.line;
        for (const auto& [byte, len] : c.slots) {
            EXPECT_EQ(len, t.bytes[byte]) << c.line << " slot " << byte;
        }
    }
    NoxLeadByteTable t;
    EXPECT_EQ(1, parse_lead_bytes(LB " 81:3\n", &t) + parse_lead_bytes(LB " 00:1\n", nullptr));
    EXPECT_EQ(2, parse_lead_bytes(LB " 80:0 82:4\n", &t));
    EXPECT_EQ(std::make_tuple(3, 4, 4), std::make_tuple(int{t.bytes[0x81]}, t.cur_min, t.cur_max));
}

} // namespace

// parser_test.cpp - UCM mapping lines and the lead-byte line.
#include "parser.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#define LB "<nox_lead_bytes>"

namespace {

TEST(ParserTest, MappingLines)
{
    // type: mappingType, 0x30 for |0, 0x40 |1, 0x80 |3, plus the length; 0: refused and cleared.
    struct {
        const char* line;
        uint16_t value = 0;
        t_mbcsBytes bytes = 0;
        uint16_t type = 0;
    } const cases[] = {
        {"<U3000> \\x81\\x40 |0\n", 0x3000, 0x4081, 0x32},
        {"<U0041> \\x41\\x42\\x43\\x44 |0\n", 0x41, 0x44434241, 0x34},
        {"U00e9\\xE9|3\n", 0xE9, 0xE9, 0x81},
        {"<U0041 \\x41 #|1\n", 0x41, 0x41, 0x41},
        {" \t<UFFFF>\t\\xFF\t|0\n", 0xFFFF, 0xFF, 0x31},
        {"<U0041> \\x41 # |1\n", 0x41, 0x41, 0x31}, // the marker must follow '#' directly
        {"<U0041> \\x41 \n", 0x41, 0x41, 0x31},
        {"<U0041> \\x41 |7\n", 0x41, 0x41, 0x31},
        {"<U3000> \\x81 \\x40 |1\n", 0x3000, 0x81, 0x31}, // a blank ends the bytes
        {"<U0004> \\x4\\x41 |0\n", 4, 0x4104, 0x32},
        {"<U0041> \\x41\\x42\\x43\\x44\\x45 |0\n"},
        {"<U00A0> \\xA0 |2\n"},
        {"<U0041> \\x41\n"},
        {"<U0041> \\x41\r\n"},
        {"<U0041> \\x41\\x00 |0\n"},
        {"<U0041> \\x0 |0\n"},
        {""},
        {"<U00"},
        {"<U0041> \\xG1 |0\n"},
        {"<U0041> \\x4G |0\n"},
        {"<U0041> \\X41 |0\n"},
        {"<U0041> \\x"},
        {"<u0041> \\x41 |0\n"},
        {"<U004G> \\x41 |0\n"},
        {"< U0041> \\x41 |0\n"},
        {"\\x41 |0\n"},
        {"<U00410> \\x41 |0\n"},
        {"<U0041> |0\n"},
        {"  #<U0041> \\x41 |0\n"},
        {LB " 00:1\n"},
        {"#<U0041> \\x41 |0\n", 0x7777},
        {nullptr, 0x7777}, // comment or null: record untouched
    };
    for (const auto& c : cases) {
        NoxUCharMapping m;
        m.setUnicode(0x7777);
        const int result = parse_ucm_line(c.line, &m);
        EXPECT_EQ(std::make_tuple(int{c.type != 0}, c.value, c.bytes, c.type),
                  std::make_tuple(result, m.getUnicode(), m.mbcsBytes, m.mappingType))
            << c.line;
    }
    EXPECT_EQ(0, parse_ucm_line("U0041\\x41|0", nullptr));
}

// The usual line "<UXXXX> \\xHH... |P" is read by a shortcut. A leading blank sends the same
// line through the general scan, which skips it: both must agree on every line near the usual
// shape, each character of a usual line replaced in turn by each character that matters to
// the grammar, or cut off there.
TEST(ParserTest, UsualLinesReadAsTheGeneralScanReadsThem)
{
    const char* const usual[] = {"<U3000> \\x81\\x40 |0\n", "<U00e9> \\xE9 |1 # note\n",
                                 "<UFFFF> \\x01\\x02\\x03\\xFF |3\n",
                                 "<U0041> \\x41\\x42\\x43\\x44\\x45 |0\n"};
    const std::string replacements = std::string("0123789AaFfGg<>Uu\\xX \t|#\n\r-") + '\0';
    int lines = 0;
    for (const std::string line : usual) {
        for (size_t at = 0; at < line.size(); ++at) {
            for (const char c : replacements) {
                std::string changed = line;
                changed[at] = c;
                changed.resize(std::char_traits<char>::length(changed.c_str()));
                NoxUCharMapping shortcut;
                NoxUCharMapping general;
                const int accepted = parse_ucm_line(changed.c_str(), &shortcut);
                const int generalAccepted = parse_ucm_line((" " + changed).c_str(), &general);
                lines += accepted;
                EXPECT_EQ(std::make_tuple(accepted, shortcut.getUnicode(), shortcut.mbcsBytes,
                                          shortcut.mappingType),
                          std::make_tuple(generalAccepted, general.getUnicode(), general.mbcsBytes,
                                          general.mappingType))
                    << changed;
            }
        }
    }
    EXPECT_GT(lines, 800); // many of the changed lines are still mapping lines
}

TEST(ParserTest, LeadByteLines)
{
    struct {
        const char* line;
        int result, curMin, curMax;
        std::vector<std::pair<int, int>> slots;
    } const cases[] = {
        // slots: (byte, length) spot checks
        {LB " 00-7F:1 80-FF:2\n", 256, 1, 2, {{0, 1}, {0x7F, 1}, {0x80, 2}, {0xFF, 2}}},
        {LB " 00-7F:1 80:0 81-FE:2 FF:0\n", 256, 0, 2, {{0x80, 0}, {0xFE, 2}}},
        {" " LB " 00-7F:1\n", 0, 0, 0, {}},
        {LB "00-7F:1,80-FF:2\n", 128, 1, 1, {{0x7F, 1}, {0x80, 0}}}, // a comma ends the list
        {LB " 80-7F:2\n", 0, 2, 2, {{0x80, 0}}},
        {LB " 0-7f:1 :2\n", 129, 1, 2, {{0, 2}, {0x7F, 1}}},
        {LB " 00-7F:12\n", 128, 1, 1, {{0x7F, 1}}},
        {LB " 00-7F 80-FF:2\n", 128, 2, 2, {{0x00, 0}, {0x80, 2}}},
        {LB " 81-FE:A\n", 126, 10, 10, {{0x81, 10}}},
        {LB " 00 - 7F:1\n", 1, 1, 1, {{0, 0}, {0x7F, 1}}},
        {LB " 123:1\n", 1, 1, 1, {{0x12, 0}, {0x03, 1}}},
    };
    for (const auto& c : cases) {
        NoxLeadByteTable t;
        const int result = parse_lead_bytes(c.line, &t);
        EXPECT_EQ(std::make_tuple(c.result, c.curMin, c.curMax),
                  std::make_tuple(result, t.cur_min, t.cur_max))
            << c.line;
        for (const auto& [byte, len] : c.slots) {
            EXPECT_EQ(len, t.bytes[byte]) << c.line << " slot " << byte;
        }
    }
    // Lines accumulate; a length 0 resets cur_min and the next non-zero length replaces it.
    NoxLeadByteTable t;
    EXPECT_EQ(1, parse_lead_bytes(LB " 81:3\n", &t) + parse_lead_bytes(LB " 00:1\n", nullptr));
    EXPECT_EQ(2, parse_lead_bytes(LB " 80:0 82:4\n", &t));
    EXPECT_EQ(std::make_tuple(3, 4, 4), std::make_tuple(int{t.bytes[0x81]}, t.cur_min, t.cur_max));
}

} // namespace

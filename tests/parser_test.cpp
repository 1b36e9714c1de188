// parser_test.cpp - UCM mapping lines and the lead-byte line.
#include "parser.h"

#include <gtest/gtest.h>

namespace {

enum Flags : uint16_t {
    RT = ToUnicodeDefault | FromUnicodeDefault,
    FB = FromUnicodeFallback,
    RF = ToUnicodeFallback,
};

struct LineCase {
    const char* name;
    const char* line;
    int accepted;
    uint16_t value;
    t_mbcsBytes bytes;
    uint16_t len;
    uint16_t flags;
};

TEST(ParserTest, MappingLines)
{
    const LineCase cases[] = {
        {"plain", "<U0041> \\x41 |0\n", 1, 0x41, 0x41, 1, RT},
        {"two bytes", "<U3000> \\x81\\x40 |0\n", 1, 0x3000, 0x4081, 2, RT},
        {"four bytes", "<U0041> \\x41\\x42\\x43\\x44 |0\n", 1, 0x41, 0x44434241, 4, RT},
        {"five bytes", "<U0041> \\x41\\x42\\x43\\x44\\x45 |0\n", 0, 0, 0, 0, 0},
        {"terse lower case", "U00e9\\xE9|3\n", 1, 0xE9, 0xE9, 1, RF},
        {"no closing bracket", "<U0041 \\x41 |0\n", 1, 0x41, 0x41, 1, RT},
        {"no opening bracket", "U0041> \\x41 |0\n", 1, 0x41, 0x41, 1, RT},
        {"leading blank and tabs", " \t<U0041>\t\\x41\t|0\n", 1, 0x41, 0x41, 1, RT},
        {"FFFF", "<UFFFF> \\xFF |0\n", 1, 0xFFFF, 0xFF, 1, RT},
        {"surrogate value", "<UD800> \\xFF |0\n", 1, 0xD800, 0xFF, 1, RT},
        {"fallback", "<U00A0> \\xA0 |1\n", 1, 0xA0, 0xA0, 1, FB},
        {"precision 2", "<U00A0> \\xA0 |2\n", 0, 0, 0, 0, 0},
        {"hash before marker", "<U0041> \\x41 #|1\n", 1, 0x41, 0x41, 1, FB},
        {"hash blank marker", "<U0041> \\x41 # |1\n", 1, 0x41, 0x41, 1, RT},
        {"newline after bytes", "<U0041> \\x41\n", 0, 0, 0, 0, 0},
        {"blank then newline", "<U0041> \\x41 \n", 1, 0x41, 0x41, 1, RT},
        {"comment after bytes", "<U0041> \\x41 # comment\n", 1, 0x41, 0x41, 1, RT},
        {"bad digit", "<U0041> \\x41 |7\n", 1, 0x41, 0x41, 1, RT},
        {"bar at end", "<U0041> \\x41 |", 1, 0x41, 0x41, 1, RT},
        {"trailing text", "<U0041> \\x41 |3 trailing text\n", 1, 0x41, 0x41, 1, RF},
        {"crlf", "<U0041> \\x41 |0\r\n", 1, 0x41, 0x41, 1, RT},
        {"crlf after bytes", "<U0041> \\x41\r\n", 0, 0, 0, 0, 0},
        {"blank splits bytes", "<U3000> \\x81 \\x40 |1\n", 1, 0x3000, 0x81, 1, RT},
        {"one digit", "<U0004> \\x4 |0\n", 1, 4, 4, 1, RT},
        {"one digit then group", "<U0004> \\x4\\x41 |0\n", 1, 4, 0x4104, 2, RT},
        {"zero byte", "<U0000> \\x00 |0\n", 0, 0, 0, 0, 0},
        {"zero second byte", "<U0041> \\x41\\x00 |0\n", 0, 0, 0, 0, 0},
        {"single zero digit", "<U0041> \\x0 |0\n", 0, 0, 0, 0, 0},
        {"blank after x", "<U0041> \\x 1 |0\n", 0, 0, 0, 0, 0},
        {"G first", "<U0041> \\xG1 |0\n", 0, 0, 0, 0, 0},
        {"G second", "<U0041> \\x4G |0\n", 0, 0, 0, 0, 0},
        {"upper X", "<U0041> \\X41 |0\n", 0, 0, 0, 0, 0},
        {"lower u", "<u0041> \\x41 |0\n", 0, 0, 0, 0, 0},
        {"two digits", "<U41> \\x41 |0\n", 0, 0, 0, 0, 0},
        {"two digits open", "<U41 \\x41 |0\n", 0, 0, 0, 0, 0},
        {"G in value", "<U004G> \\x41 |0\n", 0, 0, 0, 0, 0},
        {"blank in value", "<U 0041> \\x41 |0\n", 0, 0, 0, 0, 0},
        {"blank after bracket", "< U0041> \\x41 |0\n", 0, 0, 0, 0, 0},
        {"five digits", "<U00410> \\x41 |0\n", 0, 0, 0, 0, 0},
        {"double bracket", "<U0041>> \\x41 |0\n", 0, 0, 0, 0, 0},
        {"no value", "\\x41 |0\n", 0, 0, 0, 0, 0},
        {"no value indented", "  \\x41 |0\n", 0, 0, 0, 0, 0},
        {"bracket no value", "<\\x41 |0\n", 0, 0, 0, 0, 0},
        {"no bytes", "<U0041> |0\n", 0, 0, 0, 0, 0},
        {"empty", "", 0, 0, 0, 0, 0},
        {"newline only", "\n", 0, 0, 0, 0, 0},
        {"indented comment", "  #<U0041> \\x41 |0\n", 0, 0, 0, 0, 0},
        {"lead-byte line", "<nox_lead_bytes> 00-7F:1\n", 0, 0, 0, 0, 0},
        {"cut short value", "<U00", 0, 0, 0, 0, 0},
        {"cut short group", "<U0041> \\x", 0, 0, 0, 0, 0},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        NoxUCharMapping m;
        m.setUnicode(0x7777); // must be cleared by every call past the early exits
        ASSERT_EQ(c.accepted, parse_ucm_line(c.line, &m));
        EXPECT_EQ(c.value, m.getUnicode());
        EXPECT_EQ(c.bytes, m.mbcsBytes);
        EXPECT_EQ(c.len, m.getMBLen());
        EXPECT_EQ(c.flags, m.mappingType & 0xF0);
    }
}

TEST(ParserTest, EarlyExitsLeaveRecordUntouched)
{
    NoxUCharMapping m;
    m.setUnicode(0x1234);
    EXPECT_EQ(0, parse_ucm_line("#<U0041> \\x41 |0\n", &m));
    EXPECT_EQ(0x1234, m.getUnicode());
    EXPECT_EQ(0, parse_ucm_line(nullptr, &m));
    EXPECT_EQ(0x1234, m.getUnicode());
    EXPECT_EQ(0, parse_ucm_line("<U0041> \\x41 |0\n", nullptr));
}

struct LeadCase {
    const char* name;
    const char* line;
    int result;
    int curMin;
    int curMax;
    std::vector<std::pair<int, int>> slots; // (byte, expected length) spot checks
};

TEST(ParserTest, LeadByteLines)
{
    const LeadCase cases[] = {
        {"two ranges", "<nox_lead_bytes> 00-7F:1 80-FF:2\n", 256, 1, 2, {{0, 1}, {0x7F, 1}, {0x80, 2}, {0xFF, 2}}},
        {"sjis like", "<nox_lead_bytes> 00-80:1 81-9F:2 A0-DF:1 E0-FC:2\n", 253, 1, 2,
         {{0x80, 1}, {0x81, 2}, {0xDF, 1}, {0xFC, 2}, {0xFD, 0}, {0xFF, 0}}},
        {"zero lengths", "<nox_lead_bytes> 00-7F:1 80:0 81-FE:2 FF:0\n", 256, 0, 2, {{0x80, 0}, {0xFE, 2}}},
        {"full range", "<nox_lead_bytes> 00-FF:1\n", 256, 1, 1, {{0xFF, 1}}},
        {"keyword only", "<nox_lead_bytes>\n", 0, 0, 0, {}},
        {"keyword no newline", "<nox_lead_bytes>", 0, 0, 0, {}},
        {"leading blank", " <nox_lead_bytes> 00-7F:1\n", 0, 0, 0, {}},
        {"upper case", "<NOX_LEAD_BYTES> 00-7F:1\n", 0, 0, 0, {}},
        {"no blank after keyword", "<nox_lead_bytes>00-7F:1\n", 128, 1, 1, {{0x7F, 1}}},
        {"comma ends", "<nox_lead_bytes> 00-7F:1,80-FF:2\n", 128, 1, 1, {{0x80, 0}}},
        {"empty range", "<nox_lead_bytes> 80-7F:2\n", 0, 2, 2, {{0x80, 0}}},
        {"short forms", "<nox_lead_bytes> 0-7f:1 :2\n", 129, 1, 2, {{0, 2}, {0x7F, 1}}},
        {"two length digits", "<nox_lead_bytes> 00-7F:12\n", 128, 1, 1, {{0x7F, 1}}},
        {"token without length", "<nox_lead_bytes> 00-7F 80-FF:2\n", 128, 2, 2, {{0x00, 0}, {0x80, 2}}},
        {"length ten", "<nox_lead_bytes> 81-FE:A\n", 126, 10, 10, {{0x81, 10}}},
        {"missing first byte", "<nox_lead_bytes> -7F:1\n", 128, 1, 1, {{0, 1}}},
        {"blanks split range", "<nox_lead_bytes> 00 - 7F:1\n", 1, 1, 1, {{0, 0}, {0x7F, 1}}},
        {"blanks around colon", "<nox_lead_bytes> 00-7F : 1\n", 0, 0, 0, {}},
        {"three digits", "<nox_lead_bytes> 123:1\n", 1, 1, 1, {{0x12, 0}, {0x03, 1}}},
    };
    for (const LeadCase& c : cases) {
        SCOPED_TRACE(c.name);
        NoxLeadByteTable t;
        EXPECT_EQ(c.result, parse_lead_bytes(c.line, &t));
        EXPECT_EQ(c.curMin, t.cur_min);
        EXPECT_EQ(c.curMax, t.cur_max);
        for (const auto& [byte, len] : c.slots) {
            EXPECT_EQ(len, t.bytes[byte]) << "slot " << byte;
        }
    }
}

TEST(ParserTest, LeadBytesAccumulateAcrossCalls)
{
    NoxLeadByteTable t;
    EXPECT_EQ(0, parse_lead_bytes("<nox_lead_bytes> 00-7F:1\n", nullptr));
    EXPECT_EQ(1, parse_lead_bytes("<nox_lead_bytes> 81:3\n", &t));
    EXPECT_EQ(1, parse_lead_bytes("<nox_lead_bytes> 41:1\n", &t));
    EXPECT_EQ(3, t.bytes[0x81]);
    EXPECT_EQ(1, t.cur_min);
    EXPECT_EQ(3, t.cur_max);
    // A length 0 resets cur_min; the next non-zero length takes its place.
    EXPECT_EQ(2, parse_lead_bytes("<nox_lead_bytes> 80:0 82:4\n", &t));
    EXPECT_EQ(4, t.cur_min);
    EXPECT_EQ(4, t.cur_max);
}

} // namespace

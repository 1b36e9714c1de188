// NoxUCharMapping_test.cpp - mapping records: byte packing, flags, and the orderings that
// decide which of several records with one key a lookup finds first.
#include "NoxUCharMapping.h"
#include "parser.h"

#include <gtest/gtest.h>

namespace {

TEST(MappingTest, PackingFlagsAndOrderings)
{
    NoxUCharMapping m;
    m.setFromUnicodeFallback();
    m.setToUnicodeFallback();
    m.setToUnicodeDefault(); // clears the other flag of its direction only
    // setMBCS keeps the leading run of non-zero bytes and replaces only the length bits.
    const t_mbcsBytes packing[][3] = {
        {0x4081, 2, 0x4081}, {0x410081, 1, 0x81}, {0x44434241, 4, 0x44434241}, {0x4100, 0, 0}};
    for (const auto& c : packing) {
        EXPECT_EQ(c[1], m.setMBCS(c[0]));
        EXPECT_EQ(c[2], m.mbcsBytes);
        EXPECT_EQ(ToUnicodeDefault | FromUnicodeFallback | c[1], m.mappingType);
    }
    // Bytes are copied only when they fit, without a terminator; the length is always given.
    m.setMBCS(0x4081);
    unsigned char out[3] = {0xEE, 0xEE, 0xEE};
    uint16_t room = 1;
    EXPECT_EQ(0, m.getMBCS(out, &room));
    EXPECT_EQ(2, m.getMBCS(out, &room)); // room now holds the length, 2
    EXPECT_EQ("\x81\x40\xEE", std::string(reinterpret_cast<char*>(out), 3));
    EXPECT_EQ(0, m.getMBCS(nullptr, &room) + m.getMBCS(out, nullptr));
    // Among equal keys the round trip sorts first, so lookups find it; swapped arguments negate.
    struct {
        const char* left;
        const char* right;
        int byUnicode, byMbcs;
    } const cases[] = {
        {"<U0041> \\x81 |0", "<U0041> \\x81 |1", -1, -1},
        {"<U0041> \\x81 |3", "<U0041> \\x81 |0", 1, 1},
        // The key decides before the flags; packed bytes compare unsigned, first byte lowest.
        {"<U0010> \\x44\\x43\\x42\\x81 |0", "<U0011> \\x41 |1", -1, 1},
        {"<U0041> \\x81\\x40 |1", "<U0041> \\x40\\x81 |0", 1, -1},
    };
    for (const auto& c : cases) {
        NoxUCharMapping rec[2];
        ASSERT_EQ(2, parse_ucm_line(c.left, &rec[0]) + parse_ucm_line(c.right, &rec[1]));
        const NoxUCharMapping* slots[2] = {&rec[0], &rec[1]};
        EXPECT_EQ(c.byUnicode, local_s_compareUnicode(&slots[0], &slots[1])) << c.left;
        EXPECT_EQ(-c.byUnicode, local_s_compareUnicode(&slots[1], &slots[0])) << c.left;
        EXPECT_EQ(c.byMbcs, local_s_compareMBCS(&slots[0], &slots[1])) << c.left;
        EXPECT_EQ(-c.byMbcs, local_s_compareMBCS(&slots[1], &slots[0])) << c.left;
    }
}

} // namespace

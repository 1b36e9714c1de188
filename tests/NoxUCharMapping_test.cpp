// NoxUCharMapping_test.cpp - mapping records: byte packing, flags, orderings.
#include "NoxUCharMapping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

TEST(MappingTest, SetMbcsKeepsLeadingNonZeroRun)
{
    struct Case {
        const char* name;
        t_mbcsBytes in;
        uint16_t len;
        t_mbcsBytes kept;
    } cases[] = {
        {"one byte", 0x41, 1, 0x41},
        {"two bytes 81 40", 0x4081, 2, 0x4081},
        {"zero inside", 0x410081, 1, 0x81},
        {"four bytes", 0x44434241, 4, 0x44434241},
        {"zero", 0, 0, 0},
        {"leading zero", 0x4100, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NoxUCharMapping m;
        m.setToUnicodeDefault();
        EXPECT_EQ(c.len, m.setMBCS(c.in));
        EXPECT_EQ(c.len, m.getMBLen());
        t_mbcsBytes packed = 0xFFFFFFFF;
        EXPECT_EQ(c.len, m.getMBCS(&packed));
        EXPECT_EQ(c.kept, packed);
        EXPECT_EQ(1, m.isToUnicodeDefault()) << "flags survive setMBCS";
    }
}

TEST(MappingTest, FlagsOfOneDirectionExcludeEachOther)
{
    NoxUCharMapping m;
    m.setFromUnicodeFallback();
    m.setToUnicodeFallback();
    m.setToUnicodeDefault();
    EXPECT_EQ(1, m.isToUnicodeDefault());
    EXPECT_EQ(0, m.isToUnicodeFallback());
    EXPECT_EQ(1, m.isFromUnicodeFallback());
    EXPECT_EQ(0, m.isFromUnicodeDefault());
    m.setFromUnicodeDefault();
    EXPECT_EQ(0x30, m.mappingType);
    m.clear();
    EXPECT_EQ(0, m.mappingType);
    EXPECT_EQ(0, m.getUnicode());
    EXPECT_EQ(0u, m.mbcsBytes);
}

TEST(MappingTest, GetMbcsCopiesOnlyWhenItFits)
{
    NoxUCharMapping m;
    m.setMBCS(0x4081);
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint16_t room = 1;
    EXPECT_EQ(0, m.getMBCS(out, &room));
    EXPECT_EQ(2, room);
    EXPECT_EQ(0xEE, out[0]);
    room = 2;
    EXPECT_EQ(2, m.getMBCS(out, &room));
    EXPECT_EQ(0x81, out[0]);
    EXPECT_EQ(0x40, out[1]);
    EXPECT_EQ(0xEE, out[2]) << "no terminator";
    room = 9;
    EXPECT_EQ(0, m.getMBCS(nullptr, &room));
    EXPECT_EQ(2, room);
    EXPECT_EQ(0, m.getMBCS(out, nullptr));
    EXPECT_EQ(0, m.getMBCS(static_cast<t_mbcsBytes*>(nullptr)));
}

NoxUCharMapping s_record(uint16_t u, t_mbcsBytes bytes, bool fromDefault, bool toDefault)
{
    NoxUCharMapping m;
    m.setUnicode(u);
    m.setMBCS(bytes);
    if (fromDefault) {
        m.setFromUnicodeDefault();
    }
    if (toDefault) {
        m.setToUnicodeDefault();
    }
    return m;
}

TEST(MappingTest, OrderingsPutPreferredRecordFirst)
{
    NoxUCharMapping fallback = s_record(0x41, 0x41, false, false);
    fallback.setFromUnicodeFallback();
    NoxUCharMapping regular = s_record(0x41, 0x42, true, true);
    const NoxUCharMapping* a = &fallback;
    const NoxUCharMapping* b = &regular;
    EXPECT_EQ(1, NoxUCharMapping::s_compareUnicode(&a, &b));
    EXPECT_EQ(-1, NoxUCharMapping::s_compareUnicode(&b, &a));

    NoxUCharMapping oneWay = s_record(0x30, 0x81, false, false);
    oneWay.setFromUnicodeFallback();
    NoxUCharMapping roundTrip = s_record(0x31, 0x81, true, true);
    const NoxUCharMapping* c = &oneWay;
    const NoxUCharMapping* d = &roundTrip;
    EXPECT_EQ(1, local_s_compareMBCS(&c, &d));
    EXPECT_EQ(-1, local_s_compareMBCS(&d, &c));
    EXPECT_EQ(0, local_s_compareMBCS(&c, &c));
}

TEST(MappingTest, MbcsOrderIsUnsignedPackedOrder)
{
    NoxUCharMapping recs[] = {s_record(3, 0x8140, true, true), s_record(1, 0x4081, true, true),
                              s_record(2, 0x41, true, true)};
    std::vector<NoxUCharMapping*> slots = {&recs[0], &recs[1], &recs[2]};
    std::qsort(slots.data(), slots.size(), sizeof slots[0], local_s_compareMBCS);
    // 0x41 < packed(81 40) = 0x4081 < packed(40 81) = 0x8140
    EXPECT_EQ(2, slots[0]->getUnicode());
    EXPECT_EQ(1, slots[1]->getUnicode());
    EXPECT_EQ(3, slots[2]->getUnicode());
    std::qsort(slots.data(), slots.size(), sizeof slots[0], local_s_compareUnicode);
    EXPECT_EQ(1, slots[0]->getUnicode());
    EXPECT_EQ(3, slots[2]->getUnicode());
}

TEST(MappingTest, NullSlotsOrderByAddress)
{
    const NoxUCharMapping* none[2] = {nullptr, nullptr};
    EXPECT_EQ(-1, NoxUCharMapping::s_compareUnicode(&none[0], &none[1]));
    EXPECT_EQ(1, NoxUCharMapping::s_compareMBCS(&none[1], &none[0]));
    EXPECT_EQ(0, NoxUCharMapping::s_compareMBCS(nullptr, nullptr));
}

TEST(LeadByteTableTest, StartsClearAndCopies)
{
    NoxLeadByteTable t;
    EXPECT_TRUE(std::all_of(std::begin(t.bytes), std::end(t.bytes), [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(0, t.cur_min);
    t.bytes[0x81] = 2;
    t.cur_max = 2;
    NoxLeadByteTable copy(t);
    EXPECT_EQ(2, copy.bytes[0x81]);
    EXPECT_EQ(2, copy.cur_max);
    copy.clear();
    EXPECT_EQ(0, copy.bytes[0x81]);
    EXPECT_EQ(0, copy.cur_max);
}

} // namespace

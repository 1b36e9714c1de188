// reference_test.cpp - the code-page lookups against the independent reference: the record
// each chooses for every key (the fuzz corpus replays compare the conversions through it).
#include "NoxUCharConverter.h"
#include "nox_reference.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>

// Reaches the converter's private binary-search lookups.
class NoxUCharConverterTestPeer {
  public:
    static auto bytes(const NoxUCharConverter& c, const uint8_t* t) { return c.mf_findMBChar(t); }
    static auto unicode(const NoxUCharConverter& c, uint16_t v) { return c.mf_findUChar(v); }
};

namespace {

using noxtest::hex;
using Peer = NoxUCharConverterTestPeer;

// The slot each lookup chooses: every single byte, every pair under a two-byte lead byte, each
// record's key and a neighbour of it; every Unicode value. Stops at the first difference.
void s_expectLookupsAsReference(const std::string& name, const NoxUCharConverter& c)
{
    const noxref::NoxRefCodePage reference = noxref::NoxRefCodePage::fromConverter(c);
    std::set<std::pair<bool, uint32_t>> keys; // (bytes, key): little-endian bytes, or a value
    for (uint32_t key = 0; key < 0x10000; ++key) {
        keys.insert({false, key});
        if (uint8_t(key) != 0 && (key < 0x100 || c.leadBytes.bytes[uint8_t(key)] == 2)) {
            keys.insert({true, key});
        }
    }
    for (const NoxUCharMapping& r : reference.byBytes()) {
        const uint32_t neighbour = r.mbcsBytes + (1u << (8 * std::max(r.mappingType & 7, 1) - 8));
        keys.insert({{true, r.mbcsBytes}, {true, neighbour}});
    }
    for (const auto& [bytes, key] : keys) {
        const uint8_t text[8] = {uint8_t(key), uint8_t(key >> 8), uint8_t(key >> 16),
                                 uint8_t(key >> 24)};
        const uint32_t* index = bytes ? c.mbcsData : c.unicodeData;
        const NoxUCharMapping* got = bytes ? Peer::bytes(c, text) : Peer::unicode(c, uint16_t(key));
        const int want =
            bytes ? reference.findCharacterSlot(text) : reference.findUnicodeSlot(uint16_t(key));
        const auto slot =
            got == nullptr ? -1 : std::find(index, index + c.dataLen, got - c.data) - index;
        ASSERT_EQ(want, slot) << name << (bytes ? " bytes " : " value ")
                              << hex(std::u32string(1, key));
    }
}

TEST(ReferenceCodePageTest, EveryShippedCodePage)
{
    s_expectLookupsAsReference("LATIN_1", NoxUCharConverter("/", "LATIN_1"));
    for (const std::string& file : noxtest::shippedCodePages()) {
        const NoxUCharConverter c(file.c_str());
        ASSERT_GT(c.dataLen, 0u) << file;
        s_expectLookupsAsReference(file, c);
    }
}

// `count` records (at least 76): four one-byte characters, then two-byte ones in runs sharing
// their bytes or their value in every order of the precisions |0, |1 and |3 (pairs, triples)
// or alone, the lines shuffled since the sort leaves equal keys in the order of the lines.
std::string s_stressUcm(int count, std::mt19937& rng)
{
    std::vector<std::string> runs; // 'b' shares the bytes, 'v' the value; then the precisions
    for (const std::string p : {"00", "01", "03", "10", "11", "13", "30", "31", "33", "013", "031",
                                "103", "130", "301", "310"}) {
        runs.insert(runs.end(), {"b" + p, "v" + p});
    }
    for (int i = 76; i < count; ++i) {
        runs.push_back(std::string("v") + "013"[rng() % 5 / 2]);
    }
    std::shuffle(runs.begin(), runs.end(), rng);
    std::vector<std::string> lines = {"<U0041> \\x41 |0\n", "<U0042> \\x42 |0\n",
                                      "<U0043> \\x43 |1\n", "<U0044> \\x44 |3\n"};
    size_t i = 0;
    for (const std::string& run : runs) {
        const size_t first = i;
        for (const char precision : run.substr(1)) {
            const size_t at = i++, bytes = run[0] == 'b' ? first : at,
                         value = run[0] == 'b' ? at : first;
            char line[48];
            std::snprintf(line, sizeof line, "<U%04zX> \\x%02zX\\x%02zX |%c\n", 0x4E00 + value,
                          0x81 + bytes / 190, 0x40 + bytes % 190, precision);
            lines.push_back(line);
        }
    }
    std::shuffle(lines.begin(), lines.end(), rng);
    std::string table = "<nox_lead_bytes> 01-7F:1 81-FE:2\n";
    for (const std::string& line : lines) {
        table += line;
    }
    return table;
}

TEST(ReferenceCodePageTest, TablesThatStressTheLookups)
{
    const noxtest::TempDir dir;
    std::mt19937 rng(1227);
    for (const int count : {76, 126, 127, 128, 129, 254, 255, 256, 257, 400, 1000}) {
        for (const char* name : {"a.ucm", "b.ucm", "c.ucm"}) {
            const std::string file =
                dir.write(std::to_string(count) + name, s_stressUcm(count, rng));
            const NoxUCharConverter c(file.c_str());
            ASSERT_EQ(unsigned(count), c.dataLen);
            s_expectLookupsAsReference(file, c);
        }
    }
}

} // namespace

// fastpath_test.cpp - the cached lookups and fast runs give exactly the results of the plain
// per-character binary-search paths: every key of every shipped code page, and random
// inputs, sizes and output room through all four conversions and mblen.
#include "NoxUCharConverter.h"
#include "environment.h"
#include "kernels/kernels.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

// Reaches the converter's private lookups and caches.
class NoxUCharConverterTestPeer {
  public:
    // Counts the keys on which the caches disagree with the binary-search lookups (an entry of 0
    // defers to the search, so it must be 0 exactly where the fast runs may not take the
    // character), and a missing byte-pair table where `pairsWanted`.
    static int cacheMismatches(const NoxUCharConverter& c, bool pairsWanted)
    {
        using uchar = unsigned char;
        const bool pairs = c.mf_toUPairs != nullptr;
        const uchar* r = c.mf_leadRanges;
        int bad = pairsWanted && !pairs;
        // Byte pairs: a lead and a second byte but 0 give the two-byte record's unit; a byte
        // outside the lead ranges gives its one-byte record's unit in its whole row. Every lead
        // lies in a range, and a range holds no other byte that starts a character.
        for (unsigned pair = 0x100; pair < 0x10000; ++pair) {
            const unsigned first = pair >> 8, second = pair & 0xFF, len = c.leadBytes.bytes[first];
            const bool inRange =
                (r[0] <= first && first <= r[1]) || (r[2] <= first && first <= r[3]);
            bad += pairs && second == 0 && len == 2 && !inRange;
            const uchar key[4] = {uchar(first), uchar(len == 2 ? second : 0)};
            const NoxUCharMapping* m = c.mf_findMBChar(key);
            const uint32_t want =
                m == nullptr ? 0 : 0x1000000u | uint32_t{m->getMBLen()} << 16 | m->getUnicode();
            if (len == 2 || (len == 1 && second == 0)) {
                bad += (len == 1 ? c.mf_toUSingle[first] : c.mf_toUDouble[first][second]) != want;
            }
            const bool usable = m != nullptr && m->getMBLen() == (len == 2 ? 2 : 1) &&
                                (len == 2 ? second != 0 : !inRange);
            bad += pairs && c.mf_toUPairs[pair] != (usable ? m->getUnicode() : 0);
        }
        const size_t width = c.mf_gatherWidth;
        for (unsigned unit = 0; unit < 0x10000; ++unit) {
            const NoxUCharMapping* m = c.mf_findUChar(static_cast<uint16_t>(unit));
            const unsigned len = m == nullptr ? 0 : m->getMBLen();
            bad += c.mf_fromURows[unit >> 8][unit & 0xFF] != // UTF-16 rows: 1-3 bytes, else 0
                   (len >= 1 && len <= 3 ? len << 24 | m->mbcsBytes : 0);
            // The gather table: the unit's one or two bytes where none is 0, else 0.
            if (c.mf_fromUGather != nullptr) {
                uint32_t want = unit != 0 && len >= 1 && len <= width
                                    ? m->mbcsBytes & (len == 1 ? 0xFFu : 0xFFFFu)
                                    : 0;
                want = (want & 0xFFu) == 0 || (len == 2 && want < 0x100) ? 0 : want;
                const uchar* entry = c.mf_fromUGather + unit * width;
                bad += (entry[0] | (width == 2 ? uint32_t{entry[1]} << 8 : 0)) != want;
            }
        }
        return bad;
    }
};

namespace {

TEST(FastPathTest, CachesMatchSearchForEveryKeyOfEveryShippedCodePage)
{
    const std::set<std::string> pairPages = {"SJIS",  "GBK",   "BIG5",  "EUC-KR",
                                             "CP949", "CP950", "EUC-JP"};
    for (const auto& entry : std::filesystem::directory_iterator(NOX_UCM_DIR)) {
        const std::filesystem::path& path = entry.path();
        if (path.extension() == ".ucm") {
            SCOPED_TRACE(path.string());
            const NoxUCharConverter c(path.c_str());
            ASSERT_GT(c.dataLen, 0u);
            EXPECT_GT(c.cacheBytes(), 0u);
            const bool pairsWanted = pairPages.count(path.stem().string()) != 0;
            EXPECT_EQ(0, NoxUCharConverterTestPeer::cacheMismatches(c, pairsWanted));
        }
    }
}

// The result, the error, the whole output buffer (beyond the converted part it must stay
// untouched) and, for the pointer forms, how far the source and output pointers moved.
using Outcome = std::tuple<int, int, std::vector<unsigned>, ptrdiff_t, ptrdiff_t>;
using C = NoxUCharConverter;

// Converts `in` (`size` -1: up to its terminator) into room for `room` (negative: null output).
template <typename Out, typename In>
Outcome s_sized(int (C::*fn)(Out*, int, const In*, int, int*) const, const C& c,
                const std::vector<In>& in, int size, int room)
{
    const auto n = static_cast<size_t>(std::max(room, 0)) + 1;
    std::vector<Out> out(n, sizeof(Out) == 1 ? 0x7E : 0xEEEE); // a marker beyond the room
    int error = 99;
    const int result = (c.*fn)(room < 0 ? nullptr : out.data(), room, in.data(), size, &error);
    return {result, error, {out.begin(), out.end()}, 0, 0};
}

template <typename Out, typename In>
Outcome s_pointers(void (C::*fn)(Out**, const Out*, const In**, const In*, int*) const, const C& c,
                   const std::vector<In>& in, size_t len, int room)
{
    const auto n = static_cast<size_t>(std::max(room, 0)) + 1;
    std::vector<Out> out(n, sizeof(Out) == 1 ? 0x7E : 0xEEEE); // a marker beyond the room
    Out* outPtr = out.data();
    const In* src = in.data();
    int error = 99;
    (c.*fn)(&outPtr, out.data() + out.size() - 1, &src, in.data() + len, &error);
    return {0, error, {out.begin(), out.end()}, src - in.data(), outPtr - out.data()};
}

// Runs `op` with the fast paths and with the plain per-character paths.
template <typename Op> void s_expectSame(const char* what, const Op& op)
{
    const nox::KernelLevel ceiling = nox::kernelCeiling();
    const Outcome fast = op();
    nox::setKernelCeiling(nox::KernelLevel::Exact);
    const Outcome slow = op();
    nox::setKernelCeiling(ceiling);
    EXPECT_EQ(slow, fast) << what;
}

// One random round: text mostly of the table's own characters with some noise, as bytes and
// as UTF-16, with random sizes, 0 characters and output room.
void s_randomRound(const C& c, std::mt19937& rng, size_t maxChars)
{
    std::vector<char> mb;
    std::vector<UChar> u16;
    for (size_t i = rng() % maxChars; i > 0; --i) {
        const auto pick = rng() % 100, any = rng();
        const NoxUCharMapping& m = c.data[rng() % c.dataLen];
        if (pick < 40 || pick >= 95) { // printable ASCII, or noise
            mb.push_back(static_cast<char>(pick < 40 ? 0x20 + any % 0x5F : any % 256));
            u16.push_back(static_cast<UChar>(pick < 40 ? 0x20 + any % 0x5F : any % 0x10000));
        } else {
            for (int k = 0; k < m.getMBLen(); ++k) {
                mb.push_back(static_cast<char>(m.mbcsBytes >> (8 * k)));
            }
            u16.push_back(m.getUnicode());
        }
    }
    if (rng() % 4 == 0 && !u16.empty()) {
        mb[rng() % mb.size()] = '\0';
        u16[rng() % u16.size()] = 0;
    }
    const size_t len = rng() % (mb.size() + 1), ulen = rng() % (u16.size() + 1);
    mb.push_back('\0'); // terminators for the size -1 forms
    u16.push_back(0);
    // Mostly small room; sometimes room for all, so that the block paths run long.
    const int room =
        rng() % 3 == 0 ? static_cast<int>(2 * mb.size()) + 4 : static_cast<int>(rng() % 100) - 5;
    const int size = rng() % 8 == 0 ? -1 : static_cast<int>(len);
    const int usize = rng() % 8 == 0 ? -1 : static_cast<int>(ulen);
    s_expectSame("toUChars", [&] { return s_sized(&C::toUChars, c, mb, size, room); });
    s_expectSame("fromUChars", [&] { return s_sized(&C::fromUChars, c, u16, usize, room); });
    s_expectSame("toUnicode", [&] { return s_pointers(&C::toUnicode, c, mb, len, room); });
    s_expectSame("fromUnicode", [&] { return s_pointers(&C::fromUnicode, c, u16, ulen, room); });
    s_expectSame("mblen", [&] {
        int error = 99;
        const int result = c.mf_mblen(mb.data(), room % 6, &error);
        return Outcome{result, error, {}, 0, 0};
    });
}

// With and without the AVX-512 paths, so that the SSE2 paths are compared on AVX-512 too.
class FastPathRandomTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override
    {
        nox::setKernelCeiling(GetParam() ? nox::KernelLevel::AVX512 : nox::KernelLevel::AVX2);
    }
    void TearDown() override { nox::setKernelCeiling(nox::KernelLevel::AVX512); }
};

INSTANTIATE_TEST_SUITE_P(WideVectors, FastPathRandomTest, ::testing::Bool());

TEST_P(FastPathRandomTest, RandomInputsSizesAndRoom)
{
    const noxtest::TempDir dir;
    std::vector<std::string> files = {
        // Lead lengths 3 and 4, an unusable lead length, fallbacks and a record for U+0000.
        dir.write("wide.ucm", "<nox_lead_bytes> 01-7F:1 81-83:2 84:4 85:3 86:F\n"
                              "<U0041> \\x41 |0\n<U0061> \\x41 |1\n<U3000> \\x81\\x40 |0\n"
                              "<U3001> \\x81 |0\n<U4E00> \\x84\\x30\\x81\\x30 |0\n"
                              "<U4E01> \\x85\\x41\\x42 |3\n<U00E9> \\x83\\x41 |1\n"
                              "<U00E9> \\x82\\x41 |3\n<U0000> \\x82\\x42 |0\n"),
        // Two-byte records although the lead bytes say one byte everywhere.
        dir.write("narrow-leads.ucm", "<nox_lead_bytes> 01-FF:1\n<U0041> \\x41 |0\n"
                                      "<U00E9> \\xE9 |0\n<U3000> \\x81\\x40 |0\n"
                                      "<U3001> \\x82\\x41 |0\n<U0042> \\x42\\x42 |1\n")};
    for (const char* page :
         {"SJIS", "CP1252", "CP1251", "EUC-JP", "GBK", "BIG5", "EUC-KR", "KOI8-R"}) {
        files.push_back(std::string(NOX_UCM_DIR) + "/" + page + ".ucm");
    }
    std::mt19937 rng(20261206);
    noxtest::captureStderr([&] { // the no-mapping messages
        for (const std::string& file : files) {
            SCOPED_TRACE(file);
            const C c(file.c_str());
            ASSERT_GT(c.dataLen, 0u);
            for (int round = 0; round < 400 && !HasFailure(); ++round) {
                s_randomRound(c, rng, round % 4 == 0 ? 600 : 80); // 600: the block paths too
            }
        }
    });
}

} // namespace

// fastpath_test.cpp - the cached lookups and fast runs give exactly the results of the plain
// per-character binary-search paths: every key of every shipped code page, and random
// inputs, sizes and output room through all four conversions and mblen.
#include "NoxUCharConverter.h"
#include "environment.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

// Reaches the converter's private lookups and caches.
class NoxUCharConverterTestPeer {
  public:
    // Compares the cache entries with the binary-search lookups for every one- and two-byte
    // key and every UTF-16 value; returns the number of keys on which they disagree. An
    // entry of 0 defers to the search, so it only has to be 0 where the fast runs must not
    // take the character (no record, or one they cannot hold).
    static int countCacheMismatches(const NoxUCharConverter& c)
    {
        int mismatches = 0;
        for (unsigned first = 1; first < 256; ++first) {
            const unsigned len = std::min<unsigned>(c.leadBytes.bytes[first], 4);
            for (unsigned second = 0; (len == 1 || len == 2) && second < (len == 2 ? 256u : 1u);
                 ++second) {
                const unsigned char key[4] = {static_cast<unsigned char>(first),
                                              static_cast<unsigned char>(second), 0, 0};
                const NoxUCharMapping* found = c.mf_findMBChar(key);
                const uint32_t entry =
                    len == 1 ? c.mf_toUSingle[first] : c.mf_toUDouble[first][second];
                const uint32_t expected =
                    found == nullptr
                        ? 0
                        : 0x1000000u | uint32_t{found->getMBLen()} << 16 | found->getUnicode();
                mismatches += entry != expected ? 1 : 0;
            }
        }
        for (unsigned unit = 0; unit < 0x10000; ++unit) {
            const NoxUCharMapping* found = c.mf_findUChar(static_cast<uint16_t>(unit));
            const uint32_t entry = c.mf_fromURows[unit >> 8][unit & 0xFF];
            const bool cacheable =
                found != nullptr && found->getMBLen() >= 1 && found->getMBLen() <= 3;
            const uint32_t expected =
                cacheable ? uint32_t{found->getMBLen()} << 24 | found->mbcsBytes : 0;
            mismatches += entry != expected ? 1 : 0;
        }
        return mismatches + countPairMismatches(c) + countGatherMismatches(c);
    }

    static bool hasPairTable(const NoxUCharConverter& c) { return c.mf_toUPairs != nullptr; }

    // The byte-pair table of double-byte code pages: a lead and any second byte give the
    // two-byte record's unit, any other byte outside the lead ranges its one-byte record's
    // unit in its whole row; every lead lies in a range, and a range holds no other byte
    // that starts a character.
    static int countPairMismatches(const NoxUCharConverter& c)
    {
        int mismatches = 0;
        for (unsigned first = 1; c.mf_toUPairs != nullptr && first < 256; ++first) {
            const bool inRanges = (first >= c.mf_leadRanges[0] && first <= c.mf_leadRanges[1]) ||
                                  (first >= c.mf_leadRanges[2] && first <= c.mf_leadRanges[3]);
            const bool lead = c.leadBytes.bytes[first] == 2;
            mismatches += lead && !inRanges ? 1 : 0;
            for (unsigned second = 0; second < 256; ++second) {
                const unsigned char key[4] = {static_cast<unsigned char>(first),
                                              static_cast<unsigned char>(lead ? second : 0), 0, 0};
                const NoxUCharMapping* found = c.mf_findMBChar(key);
                const bool usable = found != nullptr && found->getMBLen() == (lead ? 2 : 1) &&
                                    (lead ? second != 0 : !inRanges);
                const unsigned expected = usable ? found->getUnicode() : 0;
                mismatches += c.mf_toUPairs[first << 8 | second] != expected ? 1 : 0;
            }
        }
        return mismatches;
    }

    // The gather table from UTF-16: each unit's one or two bytes where none is 0, else 0.
    static int countGatherMismatches(const NoxUCharConverter& c)
    {
        int mismatches = 0;
        const size_t width = c.mf_gatherWidth;
        for (unsigned unit = 0; c.mf_fromUGather != nullptr && unit < 0x10000; ++unit) {
            const NoxUCharMapping* found = c.mf_findUChar(static_cast<uint16_t>(unit));
            uint32_t expected = 0;
            if (unit != 0 && found != nullptr && found->getMBLen() >= 1 &&
                static_cast<size_t>(found->getMBLen()) <= width) {
                expected = found->mbcsBytes & (found->getMBLen() == 1 ? 0xFFu : 0xFFFFu);
                const bool zeroByte =
                    (expected & 0xFFu) == 0 || (found->getMBLen() == 2 && expected < 0x100);
                expected = zeroByte ? 0 : expected;
            }
            uint32_t entry = c.mf_fromUGather[unit * width];
            entry |= width == 2 ? uint32_t{c.mf_fromUGather[unit * width + 1]} << 8 : 0;
            mismatches += entry != expected ? 1 : 0;
        }
        return mismatches;
    }
};

namespace {

// Silences standard error (the no-mapping messages) for the life of the object.
class QuietStderr {
  public:
    QuietStderr()
    {
        std::fflush(stderr);
        mSaved = dup(fileno(stderr));
        FILE* sink = std::fopen("/dev/null", "w");
        dup2(fileno(sink), fileno(stderr));
        std::fclose(sink);
    }
    ~QuietStderr()
    {
        std::fflush(stderr);
        dup2(mSaved, fileno(stderr));
        close(mSaved);
        ncnv_setFastPaths(true);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

  private:
    int mSaved = -1;
};

struct Outcome {
    int result = 0;
    int error = 0;
    std::vector<unsigned> out;
    ptrdiff_t consumed = 0;
    ptrdiff_t produced = 0;
    bool operator==(const Outcome& o) const
    {
        return result == o.result && error == o.error && out == o.out && consumed == o.consumed &&
               produced == o.produced;
    }
};

std::ostream& operator<<(std::ostream& os, const Outcome& o)
{
    os << "result " << o.result << " error " << o.error << " consumed " << o.consumed
       << " produced " << o.produced << " out[" << o.out.size() << "]";
    return os;
}

template <typename Op> void s_expectSame(const Op& op, const std::string& what)
{
    ncnv_setFastPaths(true);
    const Outcome fast = op();
    ncnv_setFastPaths(false);
    const Outcome slow = op();
    ncnv_setFastPaths(true);
    ASSERT_EQ(slow, fast) << what;
}

Outcome s_toUChars(const NoxUCharConverter& c, const std::string& in, int size, int room)
{
    Outcome o;
    std::vector<UChar> out(static_cast<size_t>(std::max(room, 0)) + 1, 0xEEEE);
    o.error = 99;
    o.result = c.toUChars(room < 0 ? nullptr : out.data(), room, in.data(), size, &o.error);
    o.out.assign(out.begin(), out.end());
    return o;
}

Outcome s_fromUChars(const NoxUCharConverter& c, const std::vector<UChar>& in, int size, int room)
{
    Outcome o;
    std::vector<char> out(static_cast<size_t>(std::max(room, 0)) + 1, '\x7E');
    o.error = 99;
    o.result = c.fromUChars(room < 0 ? nullptr : out.data(), room, in.data(), size, &o.error);
    o.out.assign(out.begin(), out.end());
    return o;
}

Outcome s_toUnicode(const NoxUCharConverter& c, const std::string& in, size_t len, size_t room)
{
    Outcome o;
    std::vector<UChar> out(room + 1, 0xEEEE);
    UChar* outPtr = out.data();
    const char* src = in.data();
    o.error = 99;
    c.toUnicode(&outPtr, out.data() + room, &src, in.data() + len, &o.error);
    o.out.assign(out.begin(), out.end());
    o.consumed = src - in.data();
    o.produced = outPtr - out.data();
    return o;
}

Outcome s_fromUnicode(const NoxUCharConverter& c, const std::vector<UChar>& in, size_t len,
                      size_t room)
{
    Outcome o;
    std::vector<char> out(room + 1, '\x7E');
    char* outPtr = out.data();
    const UChar* src = in.data();
    o.error = 99;
    c.fromUnicode(&outPtr, out.data() + room, &src, in.data() + len, &o.error);
    o.out.assign(out.begin(), out.end());
    o.consumed = src - in.data();
    o.produced = outPtr - out.data();
    return o;
}

std::vector<std::string> s_shippedCodePages()
{
    std::vector<std::string> retval;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(NOX_UCM_DIR, ec)) {
        if (entry.path().extension() == ".ucm") {
            retval.push_back(entry.path().string());
        }
    }
    std::sort(retval.begin(), retval.end());
    return retval;
}

TEST(FastPathTest, CachesMatchSearchForEveryKeyOfEveryShippedCodePage)
{
    const auto files = s_shippedCodePages();
    if (files.empty()) {
        GTEST_SKIP() << "no shipped code pages in " << NOX_UCM_DIR;
    }
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const NoxUCharConverter c(file.c_str());
        ASSERT_GT(c.dataLen, 0u);
        EXPECT_GT(c.cacheBytes(), 0u);
        EXPECT_EQ(0, NoxUCharConverterTestPeer::countCacheMismatches(c));
        const std::string name = std::filesystem::path(file).stem().string();
        for (const char* pairPage : {"SJIS", "GBK", "BIG5", "EUC-KR", "CP949", "CP950", "EUC-JP"}) {
            EXPECT_TRUE(name != pairPage || NoxUCharConverterTestPeer::hasPairTable(c)) << name;
        }
    }
}

// Random text made mostly of the table's own characters, with some noise.
std::string s_randomBytes(const NoxUCharConverter& c, std::mt19937& rng, size_t chars)
{
    std::string retval;
    for (size_t i = 0; i < chars; ++i) {
        const auto pick = static_cast<unsigned>(rng() % 100);
        if (pick < 40) {
            retval.push_back(static_cast<char>(0x20 + rng() % 0x5F));
        } else if (pick < 95 && c.dataLen != 0) {
            const NoxUCharMapping& m = c.data[rng() % c.dataLen];
            for (int k = 0; k < m.getMBLen(); ++k) {
                retval.push_back(static_cast<char>(m.mbcsBytes >> (8 * k)));
            }
        } else {
            retval.push_back(static_cast<char>(rng() % 256));
        }
    }
    return retval;
}

std::vector<UChar> s_randomUnits(const NoxUCharConverter& c, std::mt19937& rng, size_t count)
{
    std::vector<UChar> retval;
    for (size_t i = 0; i < count; ++i) {
        const auto pick = static_cast<unsigned>(rng() % 100);
        if (pick < 40) {
            retval.push_back(static_cast<UChar>(0x20 + rng() % 0x5F));
        } else if (pick < 95 && c.dataLen != 0) {
            retval.push_back(c.data[rng() % c.dataLen].getUnicode());
        } else {
            retval.push_back(static_cast<UChar>(rng() % 0x10000));
        }
    }
    return retval;
}

// Runs with and without the AVX-512 paths, so that the SSE2 paths are compared as well on
// processors that have AVX-512.
class FastPathRandomTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { ncnv_setWideVectors(GetParam()); }
    void TearDown() override { ncnv_setWideVectors(true); }
};

INSTANTIATE_TEST_SUITE_P(WideVectors, FastPathRandomTest, ::testing::Bool());

TEST_P(FastPathRandomTest, RandomInputsSizesAndRoom)
{
    std::vector<std::string> files;
    for (const char* name : {"SJIS", "CP1252", "CP1251", "EUC-JP", "GBK", "BIG5", "EUC-KR", "KOI8-R"}) {
        const std::string path = std::string(NOX_UCM_DIR) + "/" + name + ".ucm";
        if (std::filesystem::exists(path)) {
            files.push_back(path);
        }
    }
    noxtest::TempDir dir;
    files.push_back(dir.write("wide.ucm",
                              "<nox_lead_bytes> 01-7F:1 81-83:2 84:4 85:3 86:F\n"
                              "<U0041> \\x41 |0\n<U0061> \\x41 |1\n<U3000> \\x81\\x40 |0\n"
                              "<U3001> \\x81 |0\n<U4E00> \\x84\\x30\\x81\\x30 |0\n"
                              "<U4E01> \\x85\\x41\\x42 |3\n<U00E9> \\x83\\x41 |1\n"
                              "<U00E9> \\x82\\x41 |3\n<U0000> \\x82\\x42 |0\n"));
    // Two-byte records although the lead bytes say one byte everywhere.
    files.push_back(
        dir.write("narrow-leads.ucm",
                  "<nox_lead_bytes> 01-FF:1\n<U0041> \\x41 |0\n<U00E9> \\xE9 |0\n"
                  "<U3000> \\x81\\x40 |0\n<U3001> \\x82\\x41 |0\n<U0042> \\x42\\x42 |1\n"));
    QuietStderr quiet;
    std::mt19937 rng(20261206);
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const NoxUCharConverter c(file.c_str());
        for (int round = 0; round < 400; ++round) {
            // Some inputs are long enough for the 16- and 64-byte block paths.
            const size_t chars = rng() % (round % 4 == 0 ? 600 : 80);
            std::string bytes = s_randomBytes(c, rng, chars);
            if (rng() % 4 == 0 && !bytes.empty()) {
                bytes[rng() % bytes.size()] = '\0';
            }
            const size_t len = bytes.empty() ? 0 : rng() % (bytes.size() + 1);
            bytes.push_back('\0'); // readable terminator for the negative-size form
            // Mostly small room; sometimes room for all, so that the block paths run long.
            const int room = rng() % 3 == 0 ? static_cast<int>(2 * bytes.size()) + 4
                                            : static_cast<int>(rng() % 100) - 5;
            const int size = rng() % 8 == 0 ? -1 : static_cast<int>(len);
            s_expectSame([&] { return s_toUChars(c, bytes, size, room); }, "toUChars");
            s_expectSame(
                [&] { return s_toUnicode(c, bytes, len, static_cast<size_t>(std::max(room, 0))); },
                "toUnicode");
            s_expectSame(
                [&] {
                    Outcome o;
                    o.error = 99;
                    o.result = c.mf_mblen(bytes.data(), room % 6, &o.error);
                    return o;
                },
                "mblen");

            std::vector<UChar> units = s_randomUnits(c, rng, chars);
            if (rng() % 4 == 0 && !units.empty()) {
                units[rng() % units.size()] = 0;
            }
            const size_t ulen = units.empty() ? 0 : rng() % (units.size() + 1);
            units.push_back(0);
            const int usize = rng() % 8 == 0 ? -1 : static_cast<int>(ulen);
            s_expectSame([&] { return s_fromUChars(c, units, usize, room); }, "fromUChars");
            s_expectSame(
                [&] {
                    return s_fromUnicode(c, units, ulen, static_cast<size_t>(std::max(room, 0)));
                },
                "fromUnicode");
        }
    }
}

} // namespace

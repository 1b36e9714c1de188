// hostile_files_test.cpp - missing, empty, malformed, huge or contradictory mapping files.
#include "NoxUCharConverter.h"
#include "test_support.h"

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>

#include <sys/stat.h>

namespace {

using namespace std::string_literals;

// Each file gives its records (the dump's line count), its longest character and, at every
// level, what a probe converts both ways before a character it does not map.
TEST(HostileFilesTest, FileGivesItsRecordsAndNoMore)
{
    noxtest::TempDir dir;
    // clang-format off
    const struct { const char* name; std::string content; long records; int mbCurMax; std::string bytes, fromU; std::u16string toU, units; } cases[] = {
        {"empty file", "", 0, 0, "A", "", u"", u"A"},
        {"NUL bytes ending lines early",
         "<nox_lead_bytes> 01-7F:1 81:2\0 43:2\n<U0041> \\x41 |0\0<U0043> \\x43 |0\n"
         "\0<U0043> \\x43 |0\n<U00\00043> \\x43 |0\n<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0\n"s,
         3, 2, "AB\x81@C", "A\x81@B", u"AB\u3000", u"A\u3000BC"},
        {"lines beyond 255 bytes, 1 MB last line",
         "<nox_lead_bytes>" + std::string(400, ' ') + "01-7F:1 81:2\n<U0041> \\x41 |0 " +
             std::string(10000, 't') + "\n" + std::string(700, ' ') + "<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0" +
             std::string(235, ' ') + "<U0043> \\x43 |0\n" + std::string(1 << 20, '#'),
         3, 2, "AB\x81@C", "A\x81@B", u"AB\u3000", u"A\u3000BC"},
        // Lead byte 0x80 + n declares length n; U+4E00 + n has min(n, 4) bytes.
        {"lead-byte lengths 0, 1, 4, 5 and 15",
         "<nox_lead_bytes> 80:0 81:1 84:4 85:5 8F:F\n<U4E01> \\x81 |0\n<U4E04> \\x84\\x41\\x42\\x43 |0\n"
         "<U4E05> \\x85\\x41\\x42\\x43 |0\n<U4E0F> \\x8F\\x41\\x42\\x43 |0\n",
         4, 15, "\x81\x84\x41\x42\x43\x85\x41\x42\x43\x8F\x41\x42\x43\x80", "\x81\x85\x41\x42\x43\x8F\x41\x42\x43",
         u"\x4E01\x4E04\x4E05\x4E0F", u"\x4E01\x4E05\x4E0F\x4E00"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NoxUConverter* h = nullptr;
        const std::string path = dir.write("test.ucm", c.content);
        EXPECT_EQ("", noxtest::captureStderr([&] { h = ncnv_loadConverter(path.c_str()); }));
        EXPECT_EQ(c.mbCurMax, ncnv_MB_CUR_MAX(h, nullptr));
        ncnv_dumpUTF8(h, (dir.path() + "/dump").c_str(), "w");
        std::ifstream dump(dir.path() + "/dump"); // a line per record
        EXPECT_EQ(c.records, std::count(std::istreambuf_iterator<char>(dump), {}, '\n'));
        noxtest::forEachLevel([&] {
            const auto to = noxtest::toUChars(h, c.bytes, int(c.bytes.size()), 64);
            const auto from = noxtest::fromUChars(h, c.units, int(c.units.size()), 64);
            EXPECT_EQ(
                std::tie(c.toU, c.fromU),
                std::make_tuple(std::u16string(to.out.begin(), to.out.begin() + to.result),
                                std::string(from.out.begin(), from.out.begin() + from.result)));
            EXPECT_TRUE(to.error == NCNV_UNSUPPORTED && from.error == NCNV_UNSUPPORTED);
        });
        ncnv_releaseConverter(h);
    }
}

// The indexes hold the order that qsort gives with the records' comparators: among equal keys,
// which record comes first decides what a lookup returns (the reference takes that order as
// given, so only this test sees it). Shipped pages, random tables of one to four bytes a
// character over few values (every mix of precisions under equal keys) or over all values,
// also sorted and reversed, and a table whose byte orders share bits above those that differ.
TEST(OpenTest, IndexesInTheOrderOfTheRuntimeSort)
{
    const noxtest::TempDir dir;
    std::vector<std::string> paths = noxtest::shippedCodePages();
    std::mt19937 rng(1);
    for (const unsigned count : {1, 3, 40, 300, 5000, 100000}) {
        const bool few = count <= 5000;
        std::vector<std::string> lines;
        for (unsigned i = 0; i < count; ++i) {
            char line[64];
            int at = std::snprintf(line, sizeof line, "<U%04X> \\x%02X",
                                   unsigned(few ? 0x41 + rng() % 4 * 0x1000 : rng() % 0xFFFF),
                                   unsigned(few ? 0x41 + rng() % 3 * 0x40 : 0x41 + rng() % 0xBF));
            for (unsigned k = rng() % 4; k > 0; --k) {
                at += std::snprintf(line + at, sizeof line - at, "\\x%02X",
                                    unsigned(few ? 0x40 + rng() % 2 : 1 + rng() % 255));
            }
            std::snprintf(line + at, sizeof line - at, " |%c\n", "013"[rng() % 3]);
            lines.emplace_back(line);
        }
        for (int order = 0; order < (few ? 1 : 3); ++order) { // as made, sorted, reversed
            order == 1   ? std::sort(lines.begin(), lines.end())
            : order == 2 ? std::reverse(lines.begin(), lines.end())
                         : void();
            std::string table = "<nox_lead_bytes> 01-7F:1 80-9F:2 A0-BF:3 C0-FF:4\n";
            for (const std::string& line : lines) {
                table += line;
            }
            paths.push_back(dir.write("t" + std::to_string(paths.size()) + ".ucm", table));
        }
    }
    // Two-byte characters out of order whose second bytes all begin with the bits 01: in the
    // byte order these bits lie just above the bits that differ.
    std::string alike = "<nox_lead_bytes> 01-7F:1 81-84:2\n";
    for (unsigned i = 0; i < 256; ++i) {
        const unsigned pair = i * 97 % 256;
        char line[64];
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X\\x%02X |%c\n", 0x4E00 + i,
                      0x81 + pair / 64, 0x40 + pair % 64, "013"[i % 3]);
        alike += line;
    }
    paths.push_back(dir.write("alike.ucm", alike));
    for (const std::string& path : paths) {
        const NoxUCharConverter c(path.c_str());
        for (const bool byBytes : {false, true}) {
            std::vector<NoxUCharMapping*> sorted(c.dataLen);
            std::iota(sorted.begin(), sorted.end(), c.data);
            std::qsort(sorted.data(), sorted.size(), sizeof sorted[0],
                       byBytes ? local_s_compareMBCS : local_s_compareUnicode);
            std::vector<uint32_t> positions(c.dataLen);
            std::transform(sorted.begin(), sorted.end(), positions.begin(),
                           [&c](const NoxUCharMapping* record) { return record - c.data; });
            EXPECT_TRUE(std::equal(positions.begin(), positions.end(),
                                   byBytes ? c.mbcsData : c.unicodeData))
                << path << (byBytes ? " by bytes" : " by Unicode");
        }
    }
}

// A code page whose file path has 4,095 characters, the most the system opens, is read; one
// whose path would have a character more is refused whole, with the message, and never read
// from the file that the path cut to 4,095 characters names.
TEST(OpenTest, LongestPathReadLongerRefused)
{
    const noxtest::TempDir dir;
    const std::string ucm = "<nox_lead_bytes> 01-7F:1 81:2\n<U3000> \\x81\\x40 |0\n";
    std::string folder = dir.path();
    const size_t folderLength = 4095 - std::string("/X.ucm").size();
    while (folder.size() < folderLength) {
        // Folder names of up to 200 characters, never leaving one character for the last.
        const size_t left = folderLength - folder.size() - 1;
        const size_t part = std::min<size_t>(200, left) - (left > 200 && left - 200 == 1 ? 1 : 0);
        folder += "/" + std::string(part, 'd');
        ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    }
    std::ofstream(folder + "/X.ucm") << ucm;
    std::ofstream(folder + "/XY.uc") << ucm;
    const struct {
        const char* name;
        int longest;
        std::string message;
    } cases[] = {
        {"X", 2, ""},
        {"XY", 1, "Cannot access '" + folder + "/XY.ucm'\n"},
    };
    for (const auto& c : cases) {
        int longest = 0;
        EXPECT_EQ(c.message, noxtest::captureStderr([&] {
                      longest = NoxUCharConverter(folder.c_str(), c.name).cur_max();
                  }))
            << c.name;
        EXPECT_EQ(c.longest, longest) << c.name;
    }
}

} // namespace

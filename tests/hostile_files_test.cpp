// hostile_files_test.cpp - mapping files that are missing, unreadable, empty, malformed,
// enormous or contradictory: each gives Latin-1, an empty converter or the table its
// well-formed lines describe, and never a crash.
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using noxtest::captureStderr;
using noxtest::TempDir;
using noxtest::units;

const int kUnset = 99;
const std::string kLeadBytes = "<nox_lead_bytes> 01-7F:1 81:2\n";

// A converter opened from a path, with what the loader wrote to standard error.
struct Loaded {
    explicit Loaded(const std::string& path)
        : err(captureStderr([&] { h = ncnv_loadConverter(path.c_str()); }))
    {
    }
    ~Loaded() { ncnv_releaseConverter(h); }
    Loaded(const Loaded&) = delete;
    Loaded& operator=(const Loaded&) = delete;
    NoxUConverter* h = nullptr;
    std::string err;
};

template <typename T> struct Converted {
    T out;
    int error = kUnset;
};

// `bytes` as an exact-size copy (a negative size runs to the 0 byte), into ample room.
Converted<std::vector<UChar>> s_toU(NoxUConverter* h, const std::string& bytes, int size)
{
    std::vector<char> terminated(bytes.begin(), bytes.end());
    terminated.push_back('\0');
    std::vector<UChar> out(bytes.size() + 1, 0xEEEE);
    Converted<std::vector<UChar>> r;
    int n = 0;
    captureStderr([&] {
        n = ncnv_toUChars(h, out.data(), static_cast<int>(out.size()), terminated.data(), size,
                          &r.error);
    });
    r.out.assign(out.begin(), out.begin() + n);
    return r;
}

Converted<std::vector<UChar>> s_toU(NoxUConverter* h, const std::string& bytes)
{
    return s_toU(h, bytes, static_cast<int>(bytes.size()));
}

Converted<std::string> s_fromU(NoxUConverter* h, const std::vector<UChar>& in)
{
    std::vector<char> out(4 * in.size() + 1, '\xEE');
    Converted<std::string> r;
    int n = 0;
    captureStderr([&] {
        n = ncnv_fromUChars(h, out.data(), static_cast<int>(out.size()), in.data(),
                            static_cast<int>(in.size()), &r.error);
    });
    r.out.assign(out.begin(), out.begin() + n);
    return r;
}

void s_expectLatin1(const std::string& path)
{
    Loaded l(path);
    EXPECT_EQ("Cannot access '" + path + "'\n", l.err);
    int error = kUnset;
    EXPECT_EQ(1, ncnv_MB_CUR_MAX(l.h, &error));
    const auto toU = s_toU(l.h, "A\xE9\xFF");
    EXPECT_EQ(0, toU.error);
    EXPECT_EQ(units({0x41, 0xE9, 0xFF}), toU.out);
    EXPECT_EQ(16, s_fromU(l.h, {0x100}).error);
}

TEST(HostileFilesTest, InaccessiblePathsGiveLatin1AndMessage)
{
    TempDir dir;
    s_expectLatin1(dir.path() + "/absent.ucm");
    s_expectLatin1("/tmp/" + std::string(5000, 'n') + ".ucm");
}

TEST(HostileFilesTest, UnreadableFileGivesLatin1AndMessage)
{
    if (geteuid() == 0) {
        GTEST_SKIP() << "running as root: a file without read permission is still readable";
    }
    TempDir dir;
    const std::string path = dir.write("locked.ucm", kLeadBytes + "<U0041> \\x41 |0\n");
    ASSERT_EQ(0, chmod(path.c_str(), 0));
    s_expectLatin1(path);
}

// An empty converter maps nothing; its longest character is what a lead-byte line gave.
TEST(HostileFilesTest, FilesWithoutUsableMappingsGiveEmptyConverter)
{
    TempDir dir;
    const struct {
        const char* name;
        std::string content;
        int curMax;
        const char* path = nullptr; // opened instead of a file with the content
    } cases[] = {
        {"directory (opens, yields no line)", "", 0, dir.path().c_str()},
        {"/dev/null", "", 0, "/dev/null"},
        {"empty file", "", 0},
        {"only a newline", "\n", 0},
        {"only blank lines", "\n\n  \n\t\n", 0},
        {"lead bytes without mappings", kLeadBytes, 2},
        {"mappings without lead bytes", "<U0041> \\x41 |0\n<U0042> \\x42 |0\n", 0},
        {"empty range, length still seen", "<nox_lead_bytes> 7F-01:1\n<U0041> \\x41 |0\n", 1},
        {"only rejected mapping lines",
         kLeadBytes + "<U0041> \\x41 |2\n<U0042> \\x42\n#<U0043> \\x43 |0\n", 2},
        {"lead-byte keyword alone", "<nox_lead_bytes>\n<U0041> \\x41 |0\n", 0},
        {"lead-byte keyword in upper case", "<NOX_LEAD_BYTES> 01-7F:1\n<U0041> \\x41 |0\n", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded l(c.path != nullptr ? std::string(c.path) : dir.write("empty.ucm", c.content));
        ASSERT_NE(nullptr, l.h);
        EXPECT_EQ("", l.err);
        int error = kUnset;
        EXPECT_EQ(c.curMax, ncnv_MB_CUR_MAX(l.h, &error));
        EXPECT_EQ(0, error);
        const auto toU = s_toU(l.h, "A");
        EXPECT_EQ(16, toU.error);
        EXPECT_TRUE(toU.out.empty());
        EXPECT_EQ(16, s_fromU(l.h, {0x41}).error);
    }
}

// Well-formed lines in hostile layout give exactly A, B and U+3000 (0x81 0x40), not C.
TEST(HostileFilesTest, HostileLayoutKeepsTheWellFormedLines)
{
    const std::string abc = "<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0\n";
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"no final newline",
         kLeadBytes + "<U0041> \\x41 |0\n<U3000> \\x81\\x40 |0\n<U0042> \\x42 |0"},
        {"CRLF line ends",
         "<nox_lead_bytes> 01-7F:1 81:2\r\n<U0041> \\x41 |0\r\n<U0042> \\x42 |0\r\n"
         "<U3000> \\x81\\x40 |0\r\n<U0043> \\x43\r\n"},
        {"carriage returns only", kLeadBytes + abc + "# a comment\r<U0043> \\x43 |0\r"},
        {"NUL bytes inside lines",
         kLeadBytes + std::string("<U0041> \\x41 |0\0<U0043> \\x43 |0\n", 32) +
             std::string("\0<U0043> \\x43 |0\n", 17) + std::string("<U00\0" "43> \\x43 |0\n", 17) +
             "<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0\n"},
        {"NUL inside the lead-byte line",
         std::string("<nox_lead_bytes> 01-7F:1 81:2\0 43:2\n", 36) + abc},
        {"lines far longer than 255 bytes",
         kLeadBytes + "<U0041> \\x41 |0 " + std::string(10000, 't') + "\n#" +
             std::string(300, 'c') + "<U0043> \\x43 |0\n" + std::string(700, ' ') +
             "<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0" + std::string(235, ' ') +
             "<U0043> \\x43 |0\n"},
        {"lead-byte tokens beyond 255 bytes",
         "<nox_lead_bytes>" + std::string(400, ' ') + "01-7F:1 81:2\n" + abc},
        {"one-megabyte last line", kLeadBytes + abc + std::string(1 << 20, '#')},
        {"second lead-byte line ignored", kLeadBytes + "<nox_lead_bytes> 01-7F:2 43:1\n" + abc},
        {"header, comments and unknown lines",
         "<code_set_name> \"X\"\n<mb_cur_max> 2\n# comment\n#\nCHARMAP\n" + kLeadBytes +
             "<U0041> \\x41 |0 # A\n\t<U0042>\t\\x42\t|0\n<U3000> \\x81\\x40 |0\nEND CHARMAP\n"
             "<n\n<nonsense>\nUnknown\n"}};
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded l(dir.write("layout.ucm", c.content));
        EXPECT_EQ("", l.err);
        const auto toU = s_toU(l.h, "AB\x81\x40");
        EXPECT_EQ(0, toU.error);
        EXPECT_EQ(units({0x41, 0x42, 0x3000}), toU.out);
        EXPECT_EQ(16, s_toU(l.h, "C").error);
        const auto fromU = s_fromU(l.h, {0x41, 0x3000, 0x42});
        EXPECT_EQ(0, fromU.error);
        EXPECT_EQ("A\x81\x40"
                  "B",
                  fromU.out);
        EXPECT_EQ(16, s_fromU(l.h, {0x43}).error);
    }
}

std::string s_randomBytes(std::mt19937& random, size_t count, bool noNewline)
{
    std::string bytes;
    for (size_t i = 0; i < count; ++i) {
        const char byte = static_cast<char>(random() % 256);
        bytes += noNewline && byte == '\n' ? '\r' : byte;
    }
    return bytes;
}

TEST(HostileFilesTest, BinaryGarbageBetweenLinesIsIgnored)
{
    std::mt19937 random(20240601);
    std::string garbage;
    for (int line = 0; line < 200; ++line) { // each starts with a byte no line kind begins with
        garbage += static_cast<char>(0x80 + random() % 0x80);
        garbage += s_randomBytes(random, random() % 600, true) + "\n";
    }
    TempDir dir;
    Loaded l(dir.write("garbage.ucm", garbage.substr(0, garbage.size() / 2) + "\n" + kLeadBytes +
                                          "<U0041> \\x41 |0\n" + garbage +
                                          "<U3000> \\x81\\x40 |0\n" + garbage.substr(17)));
    EXPECT_EQ("", l.err);
    const auto toU = s_toU(l.h, "A\x81\x40");
    EXPECT_EQ(0, toU.error);
    EXPECT_EQ(units({0x41, 0x3000}), toU.out);
    EXPECT_EQ(16, s_toU(l.h, "B").error);
}

// Whatever table random bytes give, converting random text stays within its buffers and
// gives one of the documented codes.
TEST(HostileFilesTest, PureGarbageNeverCrashes)
{
    TempDir dir;
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::string content = s_randomBytes(random, 1 + random() % 20000, false);
        if (round % 2 == 1) {
            content = "<nox_lead_bytes> 00-FF:" + std::to_string(round % 5) + "\n" + content;
        }
        Loaded l(dir.write("noise.ucm", content));
        std::string text;
        std::vector<UChar> in;
        for (int i = 0; i < 64; ++i) {
            text += static_cast<char>(1 + random() % 255);
            in.push_back(static_cast<UChar>(1 + random() % 0xFFFF));
        }
        const auto toU = s_toU(l.h, text);
        EXPECT_TRUE(toU.error == 0 || toU.error == 8 || toU.error == 16) << toU.error;
        EXPECT_LE(toU.out.size(), text.size());
        const int fromError = s_fromU(l.h, in).error;
        EXPECT_TRUE(fromError == 0 || fromError == 16) << fromError;
    }
}

// Three-byte characters, lead bytes 0x81 to 0x84; values from U+0001 wrap around, so most
// values have several round-trip records.
TEST(HostileFilesTest, TwoHundredThousandMappingLines)
{
    const int kLines = 200000;
    const auto bytesOf = [](int i) {
        return std::string{static_cast<char>(0x81 + i / (255 * 255)),
                           static_cast<char>(1 + i / 255 % 255), static_cast<char>(1 + i % 255)};
    };
    std::string content = "<nox_lead_bytes> 01-7F:1 81-84:3\n";
    for (int i = 0; i < kLines; ++i) {
        char line[48];
        std::snprintf(line, sizeof line, "<U%04X> %s |0\n", 1 + i % 0xFFFF,
                      noxtest::hexBytes(bytesOf(i)).c_str());
        content += line;
    }
    TempDir dir;
    Loaded l(dir.write("huge.ucm", content));
    EXPECT_EQ("", l.err);
    int error = kUnset;
    EXPECT_EQ(3, ncnv_MB_CUR_MAX(l.h, &error));
    for (int i : {0, 1, 254, 255, 65534, 65535, 65536, 131071, 199999}) {
        SCOPED_TRACE(i);
        const auto toU = s_toU(l.h, bytesOf(i));
        EXPECT_EQ(0, toU.error);
        EXPECT_EQ(std::vector<UChar>{static_cast<UChar>(1 + i % 0xFFFF)}, toU.out);
        const auto fromU = s_fromU(l.h, toU.out); // any record of the value will do
        EXPECT_EQ(0, fromU.error);
        ASSERT_EQ(3u, fromU.out.size());
        EXPECT_EQ(toU.out, s_toU(l.h, fromU.out).out);
    }
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        text += bytesOf(i * 7919 % kLines);
    }
    EXPECT_EQ(3000,
              ncnv_toUChars(l.h, nullptr, 0, text.data(), static_cast<int>(text.size()), &error));
    EXPECT_EQ(15, error);
    EXPECT_EQ(3000u, s_toU(l.h, text).out.size());
}

// Lead byte 0x80 + n has length n (0 to 15); its character maps to U+4E00 + n and has
// min(n, 4) bytes.
TEST(HostileFilesTest, EveryLeadByteLength)
{
    std::string content = "<nox_lead_bytes> 01-7F:1";
    std::string mappings = "\n<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U0043> \\x43 |0\n";
    for (int n = 0; n < 16; ++n) {
        char text[64];
        std::snprintf(text, sizeof text, " %02X:%X", 0x80 + n, n);
        content += text;
        const std::string tail = std::string(
            "\\x41\\x42\\x43", 0, static_cast<size_t>(4 * std::max(std::min(n, 4) - 1, 0)));
        std::snprintf(text, sizeof text, "<U%04X> \\x%02X%s |0\n", 0x4E00 + n, 0x80 + n,
                      tail.c_str());
        mappings += n > 0 ? text : "";
    }
    TempDir dir;
    Loaded l(dir.write("lengths.ucm", content + mappings));
    EXPECT_EQ("", l.err);
    int error = kUnset;
    EXPECT_EQ(15, ncnv_MB_CUR_MAX(l.h, &error));
    EXPECT_EQ(0, error);
    int length = 0;
    EXPECT_EQ("No mapping for character \\x80\n",
              captureStderr([&] { length = ncnv_mblen(l.h, "\x80", 1, &error); }));
    EXPECT_EQ(-1, length);
    EXPECT_EQ(3, error);
    EXPECT_EQ(16, s_toU(l.h, "\x80").error);
    for (int n = 1; n < 16; ++n) {
        SCOPED_TRACE(n);
        const int len = std::min(n, 4);
        const std::string bytes =
            static_cast<char>(0x80 + n) + std::string("ABC", 0, static_cast<size_t>(len - 1));
        const auto whole = s_toU(l.h, bytes);
        EXPECT_EQ(0, whole.error);
        EXPECT_EQ(std::vector<UChar>{static_cast<UChar>(0x4E00 + n)}, whole.out);
        EXPECT_EQ(len, ncnv_mblen(l.h, bytes.data(), len, &error));
        EXPECT_EQ(0, error);
        EXPECT_EQ(bytes, s_fromU(l.h, whole.out).out);
        if (len > 1) {
            const auto cut = s_toU(l.h, "A" + bytes, len); // one byte short
            EXPECT_EQ(8, cut.error);
            EXPECT_EQ(units({0x41}), cut.out);
            EXPECT_EQ(-1, ncnv_mblen(l.h, bytes.data(), len - 1, &error));
            EXPECT_EQ(15, error);
            // Up to the 0 byte, a lead byte right before it finds no character.
            EXPECT_EQ(16, s_toU(l.h, bytes.substr(0, 1), -1).error);
        }
    }
}

TEST(HostileFilesTest, DuplicateAndConflictingMappings)
{
    TempDir dir;
    Loaded l(dir.write("dups.ucm",
                       kLeadBytes +
                           "<U0041> \\x41 |0\n<U0041> \\x41 |0\n"           // same line twice
                           "<U00C2> \\x42 |1\n<U0042> \\x42 |0\n"           // fallback, round trip
                           "<U0043> \\x43 |0\n<U0043> \\x63 |3\n"           // round trip, reverse
                           "<U0044> \\x64 |3\n<U0044> \\x44 |1\n"           // fallbacks only
                           "<U0045> \\x45 |0\n<U0065> \\x45 |0\n"           // two for one byte
                           "<U3000> \\x81\\x40 |0\n<U3000> \\x81\\x41 |0\n" // two for one value
                           "<U3001> \\x42\\x42 |0\n<U00F1> \\x81 |0\n"));   // cut otherwise
    EXPECT_EQ("", l.err);
    const struct {
        std::string bytes;
        std::vector<std::vector<UChar>> allowed;
        int error;
    } toCases[] = {
        {"A", {{0x41}}, 0}, {"B", {{0x42}}, 0}, {"C", {{0x43}}, 0}, {"c", {{0x43}}, 0},
        {"d", {{0x44}}, 0}, {"D", {{0x44}}, 0}, // a one-way record serves when it is all there is
        {"E", {{0x45}, {0x65}}, 0}, {"\x81\x40", {{0x3000}}, 0}, {"\x81\x41", {{0x3000}}, 0},
        {"\x81\x42", {{}}, 16}, {"BB", {{0x42, 0x42}}, 0}};
    for (const auto& c : toCases) {
        SCOPED_TRACE(noxtest::hexBytes(c.bytes));
        const auto toU = s_toU(l.h, c.bytes);
        EXPECT_EQ(c.error, toU.error);
        EXPECT_NE(c.allowed.end(), std::find(c.allowed.begin(), c.allowed.end(), toU.out));
    }
    const struct {
        UChar unit;
        std::vector<std::string> allowed;
        int error;
    } fromCases[] = {
        {0x41, {"A"}, 0}, {0x42, {"B"}, 0}, {0xC2, {"B"}, 0}, {0x43, {"C"}, 0},
        {0x44, {"D", "d"}, 0}, {0x45, {"E"}, 0}, {0x65, {"E"}, 0},
        {0x3000, {"\x81\x40", "\x81\x41"}, 0}, {0x3001, {"BB"}, 0}, {0xF1, {"\x81"}, 0},
        {0x63, {""}, 16}};
    for (const auto& c : fromCases) {
        SCOPED_TRACE(c.unit);
        const auto fromU = s_fromU(l.h, {c.unit});
        EXPECT_EQ(c.error, fromU.error);
        EXPECT_NE(c.allowed.end(), std::find(c.allowed.begin(), c.allowed.end(), fromU.out))
            << noxtest::hexBytes(fromU.out);
    }
}

// 0x41 is declared a two-byte lead byte while its only mapping has one byte.
TEST(HostileFilesTest, LeadByteTableDisagreesWithMappings)
{
    TempDir dir;
    Loaded l(dir.write("disagree.ucm", "<nox_lead_bytes> 01-40:1 41:2 42-7F:1\n"
                                       "<U0041> \\x41 |0\n<U0042> \\x42 |0\n"));
    EXPECT_EQ(8, s_toU(l.h, "A").error);
    EXPECT_EQ(16, s_toU(l.h, "AB").error);
    const auto terminated = s_toU(l.h, "BA", -1); // the missing byte counts as 0
    EXPECT_EQ(0, terminated.error);
    EXPECT_EQ(units({0x42, 0x41}), terminated.out);
    int error = kUnset;
    EXPECT_EQ(-1, ncnv_mblen(l.h, "A", 1, &error));
    EXPECT_EQ(15, error);
}

} // namespace

// hostile_files_test.cpp - mapping files that are missing, unreadable, empty, malformed,
// enormous or contradictory. Each gives a defined converter (Latin-1, empty, or the table
// the well-formed lines describe) and never a crash.
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using noxtest::captureStderr;
using noxtest::TempDir;

const int kUnset = 99;

// A converter opened from a path, with what the loader wrote to standard error.
class Loaded {
  public:
    explicit Loaded(const std::string& path)
    {
        mErr = captureStderr([&] { mHandle = ncnv_loadConverter(path.c_str()); });
    }
    ~Loaded() { ncnv_releaseConverter(mHandle); }
    Loaded(const Loaded&) = delete;
    Loaded& operator=(const Loaded&) = delete;
    NoxUConverter* get() const { return mHandle; }
    const std::string& err() const { return mErr; }

  private:
    NoxUConverter* mHandle = nullptr;
    std::string mErr;
};

struct ToU {
    std::vector<UChar> units;
    int error = kUnset;
};

// Converts `bytes` (an exact-size copy; a negative size runs to the 0 byte) to UTF-16.
ToU s_toU(NoxUConverter* handle, const std::string& bytes, int sourceSize)
{
    std::unique_ptr<char[]> source(new char[bytes.size() + 1]);
    std::copy(bytes.begin(), bytes.end(), source.get());
    source[bytes.size()] = '\0';
    ToU retval;
    std::vector<UChar> out(bytes.size() + 1, 0xEEEE);
    int result = 0;
    captureStderr([&] {
        result = ncnv_toUChars(handle, out.data(), static_cast<int>(out.size()), source.get(),
                               sourceSize, &retval.error);
    });
    retval.units.assign(out.begin(), out.begin() + result);
    return retval;
}

ToU s_toU(NoxUConverter* handle, const std::string& bytes)
{
    return s_toU(handle, bytes, static_cast<int>(bytes.size()));
}

struct FromU {
    std::string bytes;
    int error = kUnset;
};

FromU s_fromU(NoxUConverter* handle, const std::vector<UChar>& units)
{
    FromU retval;
    std::vector<char> out(4 * units.size() + 1, '\xEE');
    int result = 0;
    captureStderr([&] {
        result = ncnv_fromUChars(handle, out.data(), static_cast<int>(out.size()), units.data(),
                                 static_cast<int>(units.size()), &retval.error);
    });
    retval.bytes.assign(out.begin(), out.begin() + result);
    return retval;
}

void s_expectLatin1(NoxUConverter* handle)
{
    int error = kUnset;
    EXPECT_EQ(1, ncnv_MB_CUR_MAX(handle, &error));
    const ToU toU = s_toU(handle, "A\xE9\xFF");
    EXPECT_EQ(0, toU.error);
    EXPECT_EQ(noxtest::units({0x41, 0xE9, 0xFF}), toU.units);
    EXPECT_EQ(16, s_fromU(handle, {0x100}).error);
}

// An empty converter maps nothing; its longest character is whatever a lead-byte line of
// the file gave (0 without one).
void s_expectEmpty(NoxUConverter* handle, int curMax)
{
    ASSERT_NE(nullptr, handle);
    int error = kUnset;
    EXPECT_EQ(curMax, ncnv_MB_CUR_MAX(handle, &error));
    EXPECT_EQ(0, error);
    const ToU toU = s_toU(handle, "A");
    EXPECT_EQ(16, toU.error);
    EXPECT_TRUE(toU.units.empty());
    EXPECT_EQ(16, s_fromU(handle, {0x41}).error);
}

const char kLeadBytes[] = "<nox_lead_bytes> 01-7F:1 81:2\n";

TEST(HostileFilesTest, MissingFileGivesLatin1AndMessage)
{
    TempDir dir;
    const std::string path = dir.path() + "/absent.ucm";
    Loaded h(path);
    EXPECT_EQ("Cannot access '" + path + "'\n", h.err());
    s_expectLatin1(h.get());
}

TEST(HostileFilesTest, OverlongPathGivesLatin1AndMessage)
{
    const std::string path = "/tmp/" + std::string(5000, 'n') + ".ucm";
    Loaded h(path);
    EXPECT_EQ("Cannot access '" + path + "'\n", h.err());
    s_expectLatin1(h.get());
}

TEST(HostileFilesTest, UnreadableFileGivesLatin1AndMessage)
{
    if (geteuid() == 0) {
        GTEST_SKIP() << "running as root: a file without read permission is still readable";
    }
    TempDir dir;
    const std::string path = dir.write("locked.ucm", std::string(kLeadBytes) + "<U0041> \\x41 |0\n");
    ASSERT_EQ(0, chmod(path.c_str(), 0));
    Loaded h(path);
    EXPECT_EQ("Cannot access '" + path + "'\n", h.err());
    s_expectLatin1(h.get());
}

TEST(HostileFilesTest, DirectoryReadsNoLinesAndGivesEmptyConverter)
{
    // The directory passes the access test and opens for reading, but yields no line.
    TempDir dir;
    Loaded h(dir.path());
    EXPECT_EQ("", h.err());
    s_expectEmpty(h.get(), 0);
}

TEST(HostileFilesTest, EmptyFilesGiveEmptyConverter)
{
    TempDir dir;
    const struct {
        const char* name;
        std::string content;
        int curMax;
    } cases[] = {
        {"empty file", "", 0},
        {"only a newline", "\n", 0},
        {"only blank lines", "\n\n  \n\t\n", 0},
        {"lead bytes without mappings", kLeadBytes, 2},
        {"mappings without lead bytes", "<U0041> \\x41 |0\n<U0042> \\x42 |0\n", 0},
        // The range is empty, yet the length still counts as seen.
        {"lead-byte line that assigns nothing", "<nox_lead_bytes> 7F-01:1\n<U0041> \\x41 |0\n", 1},
        {"only rejected mapping lines",
         std::string(kLeadBytes) + "<U0041> \\x41 |2\n<U0042> \\x42\n#<U0043> \\x43 |0\n", 2},
        {"lead-byte keyword alone", "<nox_lead_bytes>\n<U0041> \\x41 |0\n", 0},
        {"lead-byte keyword in upper case", "<NOX_LEAD_BYTES> 01-7F:1\n<U0041> \\x41 |0\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded h(dir.write("empty.ucm", c.content));
        EXPECT_EQ("", h.err());
        s_expectEmpty(h.get(), c.curMax);
    }
    SCOPED_TRACE("/dev/null");
    Loaded devNull("/dev/null");
    EXPECT_EQ("", devNull.err());
    s_expectEmpty(devNull.get(), 0);
}

// Tables whose well-formed lines come wrapped in hostile layout: each must give exactly the
// mappings A, B and U+3000 (0x81 0x40), and nothing for C.
TEST(HostileFilesTest, HostileLayoutKeepsTheWellFormedLines)
{
    const std::string longComment = "#" + std::string(300, 'c');
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"no newline after the last line",
         std::string(kLeadBytes) + "<U0041> \\x41 |0\n<U3000> \\x81\\x40 |0\n<U0042> \\x42 |0"},
        {"CRLF line ends",
         "<nox_lead_bytes> 01-7F:1 81:2\r\n<U0041> \\x41 |0\r\n<U0042> \\x42 |0\r\n"
         "<U3000> \\x81\\x40 |0\r\n<U0043> \\x43\r\n"},
        {"carriage returns only",
         std::string(kLeadBytes) + "<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0\n"
                                   "# a comment\r<U0043> \\x43 |0\r"},
        {"NUL bytes inside lines",
         std::string(kLeadBytes) + std::string("<U0041> \\x41 |0\0<U0043> \\x43 |0\n", 32) +
             std::string("\0<U0043> \\x43 |0\n", 17) + std::string("<U00\0" "43> \\x43 |0\n", 17) +
             "<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0\n"},
        {"NUL inside the lead-byte line",
         std::string("<nox_lead_bytes> 01-7F:1 81:2\0 43:2\n", 36) +
             "<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0\n"},
        {"lines far longer than 255 bytes",
         std::string(kLeadBytes) + "<U0041> \\x41 |0 " + std::string(10000, 't') + "\n" +
             longComment + "<U0043> \\x43 |0\n" + std::string(700, ' ') + "<U0042> \\x42 |0\n" +
             "<U3000> \\x81\\x40 |0" + std::string(254 - 19, ' ') + "<U0043> \\x43 |0\n"},
        {"lead-byte tokens beyond 255 bytes",
         "<nox_lead_bytes>" + std::string(400, ' ') + "01-7F:1 81:2\n" +
             "<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0\n"},
        {"a one-megabyte line without newline at the end",
         std::string(kLeadBytes) + "<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0\n" +
             std::string(1 << 20, '#')},
        {"second lead-byte line ignored",
         std::string(kLeadBytes) + "<nox_lead_bytes> 01-7F:2 43:1\n" +
             "<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0\n"},
        {"header, comments and unknown lines",
         "<code_set_name> \"X\"\n<mb_cur_max> 2\n# comment\n#\nCHARMAP\n" + std::string(kLeadBytes) +
             "<U0041> \\x41 |0 # A\n\t<U0042>\t\\x42\t|0\n<U3000> \\x81\\x40 |0\nEND CHARMAP\n"
             "<n\n<nonsense>\nUnknown\n"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded h(dir.write("layout.ucm", c.content));
        EXPECT_EQ("", h.err());
        const ToU toU = s_toU(h.get(), "AB\x81\x40");
        EXPECT_EQ(0, toU.error);
        EXPECT_EQ(noxtest::units({0x41, 0x42, 0x3000}), toU.units);
        EXPECT_EQ(16, s_toU(h.get(), "C").error);
        const FromU fromU = s_fromU(h.get(), {0x41, 0x3000, 0x42});
        EXPECT_EQ(0, fromU.error);
        EXPECT_EQ("A\x81\x40" "B", fromU.bytes);
        EXPECT_EQ(16, s_fromU(h.get(), {0x43}).error);
    }
}

TEST(HostileFilesTest, BinaryGarbageBetweenLinesIsIgnored)
{
    std::mt19937 random(20240601);
    std::string garbage;
    for (int line = 0; line < 200; ++line) {
        // Lines of random bytes that start with a byte no line kind begins with.
        garbage += static_cast<char>(0x80 + random() % 0x80);
        const size_t length = random() % 600;
        for (size_t i = 0; i < length; ++i) {
            const char byte = static_cast<char>(random() % 256);
            garbage += byte == '\n' ? '\r' : byte;
        }
        garbage += '\n';
    }
    TempDir dir;
    Loaded h(dir.write("garbage.ucm", garbage.substr(0, garbage.size() / 2) + "\n" + kLeadBytes +
                                          "<U0041> \\x41 |0\n" + garbage +
                                          "<U3000> \\x81\\x40 |0\n" + garbage.substr(17)));
    EXPECT_EQ("", h.err());
    const ToU toU = s_toU(h.get(), "A\x81\x40");
    EXPECT_EQ(0, toU.error);
    EXPECT_EQ(noxtest::units({0x41, 0x3000}), toU.units);
    EXPECT_EQ(16, s_toU(h.get(), "B").error);
}

TEST(HostileFilesTest, PureGarbageNeverCrashes)
{
    // Whatever table comes out of random bytes, converting random text through it stays
    // within its buffers and gives one of the documented codes.
    TempDir dir;
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::string content;
        const size_t size = 1 + random() % 20000;
        for (size_t i = 0; i < size; ++i) {
            content += static_cast<char>(random() % 256);
        }
        if (round % 2 == 1) {
            content = "<nox_lead_bytes> 00-FF:" + std::to_string(round % 5) + "\n" + content;
        }
        Loaded h(dir.write("noise.ucm", content));
        std::string text;
        for (int i = 0; i < 64; ++i) {
            text += static_cast<char>(1 + random() % 255);
        }
        const ToU toU = s_toU(h.get(), text);
        EXPECT_TRUE(toU.error == 0 || toU.error == 8 || toU.error == 16) << toU.error;
        EXPECT_LE(toU.units.size(), text.size());
        std::vector<UChar> units;
        for (int i = 0; i < 64; ++i) {
            units.push_back(static_cast<UChar>(1 + random() % 0xFFFF));
        }
        const FromU fromU = s_fromU(h.get(), units);
        EXPECT_TRUE(fromU.error == 0 || fromU.error == 16) << fromU.error;
    }
}

TEST(HostileFilesTest, TwoHundredThousandMappingLines)
{
    // Three-byte characters with lead bytes 0x81 to 0x84 and the other two bytes from 0x01 to
    // 0xFF; Unicode values from U+0001 wrap around, so most values have several round-trip
    // records.
    const int kLines = 200000;
    const auto bytesOf = [](int i) {
        return std::string{static_cast<char>(0x81 + i / (255 * 255)),
                           static_cast<char>(1 + i / 255 % 255), static_cast<char>(1 + i % 255)};
    };
    std::string content = "<nox_lead_bytes> 01-7F:1 81-84:3\n";
    content.reserve(static_cast<size_t>(kLines) * 24);
    for (int i = 0; i < kLines; ++i) {
        char line[48];
        std::snprintf(line, sizeof line, "<U%04X> %s |0\n", 1 + i % 0xFFFF,
                      noxtest::hexBytes(bytesOf(i)).c_str());
        content += line;
    }
    TempDir dir;
    Loaded h(dir.write("huge.ucm", content));
    EXPECT_EQ("", h.err());
    int error = kUnset;
    EXPECT_EQ(3, ncnv_MB_CUR_MAX(h.get(), &error));
    for (int i : {0, 1, 254, 255, 65534, 65535, 65536, 131071, 199999}) {
        SCOPED_TRACE(i);
        const std::string bytes = bytesOf(i);
        const ToU toU = s_toU(h.get(), bytes);
        EXPECT_EQ(0, toU.error);
        EXPECT_EQ(std::vector<UChar>{static_cast<UChar>(1 + i % 0xFFFF)}, toU.units);
        // Any of the value's records may be chosen; it must convert back to the value.
        const FromU fromU = s_fromU(h.get(), toU.units);
        EXPECT_EQ(0, fromU.error);
        ASSERT_EQ(3u, fromU.bytes.size());
        EXPECT_EQ(toU.units, s_toU(h.get(), fromU.bytes).units);
    }
    // A long text through the big table, sized first.
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        text += bytesOf(i * 7919 % kLines);
    }
    const int needed = ncnv_toUChars(h.get(), nullptr, 0, text.data(), static_cast<int>(text.size()),
                                     &error);
    EXPECT_EQ(3000, needed);
    EXPECT_EQ(15, error);
    EXPECT_EQ(3000u, s_toU(h.get(), text).units.size());
}

TEST(HostileFilesTest, EveryLeadByteLength)
{
    // Lead byte 0x80 + n has length n, 0 to 15. Its character maps to U+4E00 + n and has
    // min(n, 4) bytes: lengths above four take four bytes.
    std::string content = "<nox_lead_bytes> 01-7F:1";
    for (int n = 0; n < 16; ++n) {
        char token[16];
        std::snprintf(token, sizeof token, " %02X:%X", 0x80 + n, n);
        content += token;
    }
    content += "\n<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U0043> \\x43 |0\n";
    const std::string tail[] = {"", "", "\\x41", "\\x41\\x42", "\\x41\\x42\\x43"};
    for (int n = 1; n < 16; ++n) {
        char lineStart[32];
        std::snprintf(lineStart, sizeof lineStart, "<U%04X> \\x%02X", 0x4E00 + n, 0x80 + n);
        content += lineStart + tail[std::min(n, 4)] + " |0\n";
    }
    TempDir dir;
    Loaded h(dir.write("lengths.ucm", content));
    EXPECT_EQ("", h.err());
    int error = kUnset;
    EXPECT_EQ(15, ncnv_MB_CUR_MAX(h.get(), &error));
    EXPECT_EQ(0, error);
    for (int n = 0; n < 16; ++n) {
        SCOPED_TRACE(n);
        const int len = std::min(n, 4);
        std::string bytes(1, static_cast<char>(0x80 + n));
        bytes += std::string("ABC").substr(0, static_cast<size_t>(std::max(len - 1, 0)));
        const ToU whole = s_toU(h.get(), bytes);
        if (n == 0) {
            EXPECT_EQ(16, whole.error);
            int length = 0;
            const std::string err =
                captureStderr([&] { length = ncnv_mblen(h.get(), bytes.data(), 1, &error); });
            EXPECT_EQ(-1, length);
            EXPECT_EQ("No mapping for character \\x80\n", err);
            EXPECT_EQ(3, error);
            continue;
        }
        EXPECT_EQ(0, whole.error);
        EXPECT_EQ(std::vector<UChar>{static_cast<UChar>(0x4E00 + n)}, whole.units);
        EXPECT_EQ(len, ncnv_mblen(h.get(), bytes.data(), len, &error));
        EXPECT_EQ(0, error);
        EXPECT_EQ(bytes, s_fromU(h.get(), whole.units).bytes);
        if (len > 1) {
            // One byte short: the character is cut off.
            const ToU cut = s_toU(h.get(), "A" + bytes, len);
            EXPECT_EQ(8, cut.error);
            EXPECT_EQ(noxtest::units({0x41}), cut.units);
            EXPECT_EQ(-1, ncnv_mblen(h.get(), bytes.data(), len - 1, &error));
            EXPECT_EQ(15, error);
        }
        // Up to the 0 byte: a lead byte right before it finds no character of its own.
        if (len > 1) {
            EXPECT_EQ(16, s_toU(h.get(), bytes.substr(0, 1), -1).error);
        }
    }
}

TEST(HostileFilesTest, DuplicateAndConflictingMappings)
{
    const std::string content = std::string(kLeadBytes) +
                                // The same line twice.
                                "<U0041> \\x41 |0\n<U0041> \\x41 |0\n"
                                // One byte, a round trip and a one-way fallback from another value.
                                "<U00C2> \\x42 |1\n<U0042> \\x42 |0\n"
                                // One value, a round trip and a reverse fallback from other bytes.
                                "<U0043> \\x43 |0\n<U0043> \\x63 |3\n"
                                // One value, only fallbacks in both directions on different bytes.
                                "<U0044> \\x64 |3\n<U0044> \\x44 |1\n"
                                // Two round trips for one byte.
                                "<U0045> \\x45 |0\n<U0065> \\x45 |0\n"
                                // Two round trips for one value.
                                "<U3000> \\x81\\x40 |0\n<U3000> \\x81\\x41 |0\n"
                                // Bytes the lead-byte table cuts differently: unreachable.
                                "<U3001> \\x42\\x42 |0\n<U00F1> \\x81 |0\n";
    TempDir dir;
    Loaded h(dir.write("dups.ucm", content));
    EXPECT_EQ("", h.err());
    struct ToCase {
        std::string bytes;
        std::vector<std::vector<UChar>> allowed;
        int error;
    } toCases[] = {
        {"A", {{0x41}}, 0},
        {"B", {{0x42}}, 0},
        {"C", {{0x43}}, 0},
        {"c", {{0x43}}, 0},
        {"d", {{0x44}}, 0},
        // A record usable only from Unicode still serves when it is all the bytes have.
        {"D", {{0x44}}, 0},
        {"E", {{0x45}, {0x65}}, 0},
        {"\x81\x40", {{0x3000}}, 0},
        {"\x81\x41", {{0x3000}}, 0},
        {"\x81\x42", {{}}, 16},
        {"BB", {{0x42, 0x42}}, 0},
    };
    for (const ToCase& c : toCases) {
        SCOPED_TRACE(noxtest::hexBytes(c.bytes));
        const ToU toU = s_toU(h.get(), c.bytes);
        EXPECT_EQ(c.error, toU.error);
        bool match = false;
        for (const auto& allowed : c.allowed) {
            match = match || allowed == toU.units;
        }
        EXPECT_TRUE(match);
    }
    struct FromCase {
        UChar unit;
        std::vector<std::string> allowed;
        int error;
    } fromCases[] = {
        {0x41, {"A"}, 0},
        {0x42, {"B"}, 0},
        {0xC2, {"B"}, 0},
        {0x43, {"C"}, 0},
        {0x44, {"D", "d"}, 0},
        {0x45, {"E"}, 0},
        {0x65, {"E"}, 0},
        {0x3000, {"\x81\x40", "\x81\x41"}, 0},
        {0x3001, {"BB"}, 0},
        {0x00F1, {"\x81"}, 0},
        {0x0063, {""}, 16},
    };
    for (const FromCase& c : fromCases) {
        SCOPED_TRACE(c.unit);
        const FromU fromU = s_fromU(h.get(), {c.unit});
        EXPECT_EQ(c.error, fromU.error);
        bool match = false;
        for (const auto& allowed : c.allowed) {
            match = match || allowed == fromU.bytes;
        }
        EXPECT_TRUE(match) << noxtest::hexBytes(fromU.bytes);
    }
}

TEST(HostileFilesTest, LeadByteTableDisagreesWithMappings)
{
    // 0x41 is declared a two-byte lead byte while its only mapping has one byte.
    TempDir dir;
    Loaded h(dir.write("disagree.ucm", "<nox_lead_bytes> 01-40:1 41:2 42-7F:1\n"
                                       "<U0041> \\x41 |0\n<U0042> \\x42 |0\n"));
    EXPECT_EQ(8, s_toU(h.get(), "A").error);
    EXPECT_EQ(16, s_toU(h.get(), "AB").error);
    // Up to the 0 byte the missing second byte counts as 0 and finds the one-byte record.
    const ToU terminated = s_toU(h.get(), "BA", -1);
    EXPECT_EQ(0, terminated.error);
    EXPECT_EQ(noxtest::units({0x42, 0x41}), terminated.units);
    int error = kUnset;
    EXPECT_EQ(-1, ncnv_mblen(h.get(), "A", 1, &error));
    EXPECT_EQ(15, error);
}

} // namespace

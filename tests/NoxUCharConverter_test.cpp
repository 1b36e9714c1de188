// NoxUCharConverter_test.cpp - conversions, lookups, file loading and the table dump,
// through the exported handle functions wherever they reach.
#include "NoxUCharConverter.h"
#include "environment.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

using noxtest::captureStderr;
using noxtest::captureStdout;
using noxtest::Handle;
using noxtest::kSmallUcm;
using noxtest::TempDir;

const UChar kSentinel = 0xEEEE;
const int kUnset = 99;

// Input bytes in an exact-size heap buffer, so that a read past them is caught by the
// sanitizers.
std::unique_ptr<char[]> s_exact(const std::string& bytes)
{
    std::unique_ptr<char[]> buffer(new char[bytes.size() == 0 ? 1 : bytes.size()]);
    std::memcpy(buffer.get(), bytes.data(), bytes.size());
    return buffer;
}

struct ToUCase {
    const char* name;
    std::string bytes;
    int sourceSize;
    int outSize; // -1: null output
    int result;
    std::vector<UChar> written; // the output buffer's first units afterwards
    int error;
    const char* message;
};

TEST(ToUCharsTest, SmallCodePage)
{
    Handle h(kSmallUcm);
    const ToUCase cases[] = {
        {"empty by NUL", std::string("\0", 1), 5, 8, 0, {0}, 0, ""},
        {"empty by size", "A", 0, 8, 0, {0}, 0, ""},
        {"NUL before count", std::string("A\0B", 3), 3, 8, 1, {0x41, 0}, 0, ""},
        {"exactly full", "AB", 2, 2, 2, {0x41, 0x42, kSentinel}, 0, ""},
        {"one short", "AB", 2, 1, 2, {0x41, kSentinel}, 15, ""},
        {"null out sizes", "AB", 2, -1, 2, {}, 15, ""},
        {"zero outSize", "AB", 2, 0, 2, {kSentinel}, 15, ""},
        {"later failure wins", std::string("A\xA0" "BC\0", 5), 5, -1, 1, {}, 16,
         "No mapping for character(s) \\xA0\\x42\\x43\\x00'\n"},
        {"cut off", "A\x81\x40", 2, 8, 1, {0x41, 0}, 8, ""},
        {"unmapped", std::string("A\xA0" "BC\0", 5), 5, 8, 1, {0x41, 0}, 16,
         "No mapping for character(s) \\xA0\\x42\\x43\\x00'\n"},
        {"unmapped at count end", "A\xA0" "BC", 2, 8, 1, {0x41, 0}, 16,
         "No mapping for character(s) \\xA0\\x00\\x00\\x00'\n"},
        {"double byte", "A\x81\x40" "B", 4, 8, 3, {0x41, 0x3000, 0x42, 0}, 0, ""},
        {"lead byte alone at end", "\x81", 1, 8, 0, {0}, 8, ""},
        {"negative size runs to NUL", std::string("AB\x81\x40" "C\0", 6), -1, 8, 4,
         {0x41, 0x42, 0x3000, 0x43, 0}, 0, ""},
        {"negative size, lead before NUL", std::string("A\x81\0", 3), -1, 8, 1, {0x41, 0}, 16,
         "No mapping for character(s) \\x81\\x00\\x00\\x00'\n"},
        {"lead byte 0 entry", "\xC1", 1, 8, 0, {0}, 16,
         "No mapping for character(s) \\xC1\\x00\\x00\\x00'\n"},
    };
    for (const ToUCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto source = s_exact(c.bytes);
        std::vector<UChar> out(8, kSentinel);
        int error = kUnset;
        int result = 0;
        const std::string err = captureStderr([&] {
            result = ncnv_toUChars(h.get(), c.outSize < 0 ? nullptr : out.data(), c.outSize,
                                   source.get(), c.sourceSize, &error);
        });
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.error, error);
        EXPECT_EQ(c.message, err);
        for (size_t i = 0; i < c.written.size(); ++i) {
            EXPECT_EQ(c.written[i], out[i]) << "unit " << i;
        }
    }
}

TEST(ToUCharsTest, NullSourceStillTerminates)
{
    Handle h(kSmallUcm);
    UChar out[2] = {kSentinel, kSentinel};
    int error = kUnset;
    EXPECT_EQ(0, ncnv_toUChars(h.get(), out, 2, nullptr, 3, &error));
    EXPECT_EQ(1, error);
    EXPECT_EQ(0, out[0]);
    char bytes[2] = {'x', 'x'};
    EXPECT_EQ(0, ncnv_fromUChars(h.get(), bytes, 2, nullptr, 3, &error));
    EXPECT_EQ(1, error);
    EXPECT_EQ(0, bytes[0]);
}

TEST(ToUCharsTest, LeadByteBeforeTerminatorFindsOneByteRecord)
{
    Handle h("<nox_lead_bytes> 01-7F:1 81:2\n<U00C1> \\x81 |0\n<U3000> \\x81\\x40 |0\n");
    UChar out[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
    int error = kUnset;
    const char text[] = "\x81";
    EXPECT_EQ(1, ncnv_toUChars(h.get(), out, 4, text, -1, &error));
    EXPECT_EQ(0, error);
    EXPECT_EQ(0xC1, out[0]);
    EXPECT_EQ(0, out[1]);
    // Inside a count the 0 byte is packed as it stands and finds the same record.
    EXPECT_EQ(1, ncnv_toUChars(h.get(), out, 4, text, 2, &error));
    EXPECT_EQ(0xC1, out[0]);
}

TEST(ToUCharsTest, SizingCallGivesExactBufferSize)
{
    Handle h(kSmallUcm);
    const std::string text = "AB\x81\x40" "CA\x81\x40";
    int error = kUnset;
    const int needed = ncnv_toUChars(h.get(), nullptr, 0, text.data(), static_cast<int>(text.size()), &error);
    EXPECT_EQ(6, needed);
    EXPECT_EQ(15, error);
    for (int room = needed - 1; room <= needed + 1; ++room) {
        SCOPED_TRACE(room);
        std::vector<UChar> out(static_cast<size_t>(needed) + 2, kSentinel);
        EXPECT_EQ(needed, ncnv_toUChars(h.get(), out.data(), room, text.data(),
                                        static_cast<int>(text.size()), &error));
        EXPECT_EQ(room < needed ? 15 : 0, error);
        EXPECT_EQ(room > needed ? 0 : kSentinel, out[static_cast<size_t>(needed)]);
    }
}

struct FromUCase {
    const char* name;
    std::vector<UChar> source;
    int sourceSize;
    int outSize;
    int result;
    std::string written;
    int error;
    const char* message;
};

TEST(FromUCharsTest, SmallCodePage)
{
    Handle h(kSmallUcm);
    const FromUCase cases[] = {
        {"fits with terminator", {0x41, 0x3000}, 2, 4, 3, std::string("\x41\x81\x40\0", 4), 0, ""},
        {"fits exactly", {0x41, 0x3000}, 2, 3, 3, "\x41\x81\x40\xEE", 0, ""},
        {"double byte does not fit", {0x41, 0x3000}, 2, 2, 3, "\x41\xEE", 15, ""},
        {"null out", {0x41, 0x3000}, 2, -1, 3, "", 15, ""},
        {"no record", {0x41, 0xE9, 0x42}, 3, 8, 1, std::string("\x41\0", 2), 16,
         "No mapping for character <U00E9>\n"},
        {"NUL unit ends", {0x41, 0, 0x42}, 3, 8, 1, std::string("\x41\0", 2), 0, ""},
        {"negative size", {0x41, 0x42, 0}, -1, 8, 2, std::string("\x41\x42\0", 3), 0, ""},
        {"surrogate is a plain value", {0xD800}, 1, 8, 0, std::string("\0", 1), 16,
         "No mapping for character <UD800>\n"},
    };
    for (const FromUCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<UChar[]> source(new UChar[c.source.size()]);
        std::copy(c.source.begin(), c.source.end(), source.get());
        std::string out(8, '\xEE');
        int error = kUnset;
        int result = 0;
        const std::string err = captureStderr([&] {
            result = ncnv_fromUChars(h.get(), c.outSize < 0 ? nullptr : &out[0], c.outSize,
                                     source.get(), c.sourceSize, &error);
        });
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.error, error);
        EXPECT_EQ(c.message, err);
        EXPECT_EQ(noxtest::hexBytes(c.written), noxtest::hexBytes(out.substr(0, c.written.size())));
    }
}

TEST(ToUnicodeTest, PositionsAndTerminator)
{
    Handle h(kSmallUcm);
    struct Case {
        const char* name;
        std::string bytes;
        size_t sourceLen;
        size_t outRoom;
        size_t consumed;
        std::vector<UChar> written;
        size_t outAdvance;
        int error;
    } cases[] = {
        {"stops at NUL", std::string("AB\0", 3), 3, 4, 2, {0x41, 0x42, 0}, 2, kUnset},
        {"range ends", std::string("AB\0", 3), 2, 4, 2, {0x41, 0x42, kSentinel}, 2, kUnset},
        {"room for units only", std::string("AB\0", 3), 3, 2, 2, {0x41, 0x42}, 2, kUnset},
        {"room for one", std::string("AB\0", 3), 3, 1, 1, {0x41}, 1, 15},
        {"cut off", "A\x81\x40", 2, 4, 1, {0x41, kSentinel}, 1, 8},
        {"double byte", "A\x81\x40", 3, 4, 3, {0x41, 0x3000, kSentinel}, 2, kUnset},
        {"unmapped", "A\xA0" "B", 3, 4, 1, {0x41, kSentinel}, 1, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto source = s_exact(c.bytes);
        std::unique_ptr<UChar[]> out(new UChar[c.outRoom]);
        std::fill(out.get(), out.get() + c.outRoom, kSentinel);
        UChar* outPtr = out.get();
        const char* src = source.get();
        int error = kUnset;
        captureStderr([&] {
            ncnv_toUnicode(h.get(), &outPtr, out.get() + c.outRoom, &src,
                           source.get() + c.sourceLen, &error);
        });
        EXPECT_EQ(c.error, error);
        EXPECT_EQ(c.consumed, static_cast<size_t>(src - source.get()));
        EXPECT_EQ(c.outAdvance, static_cast<size_t>(outPtr - out.get()));
        for (size_t i = 0; i < c.written.size() && i < c.outRoom; ++i) {
            EXPECT_EQ(c.written[i], out[i]) << "unit " << i;
        }
    }
}

TEST(ToUnicodeTest, ResumesAfterCutOffAndFullOutput)
{
    Handle h(kSmallUcm);
    const std::string text = "AB\x81\x40" "C\x81\x40";
    std::vector<UChar> result;
    size_t have = 1; // the input grows one byte at a time
    const char* src = text.data();
    while (src < text.data() + text.size()) {
        UChar unit = kSentinel;
        UChar* out = &unit;
        int error = 0;
        ncnv_toUnicode(h.get(), &out, &unit + 1, &src, text.data() + have, &error);
        if (out != &unit) {
            result.push_back(unit);
        }
        if (error == 8 || error == 0) {
            ++have;
        }
        ASSERT_TRUE(error == 0 || error == 8 || error == 15) << error;
    }
    EXPECT_EQ(noxtest::units({0x41, 0x42, 0x3000, 0x43, 0x3000}), result);
}

TEST(FromUnicodeTest, PositionsAndTerminator)
{
    Handle h(kSmallUcm);
    const UChar text[] = {0x41, 0x3000, 0, 0x42};
    char out[4] = {'x', 'x', 'x', 'x'};
    char* outPtr = out;
    const UChar* src = text;
    int error = kUnset;
    ncnv_fromUnicode(h.get(), &outPtr, out + 2, &src, text + 4, &error);
    EXPECT_EQ(15, error);
    EXPECT_EQ(out + 1, outPtr);
    EXPECT_EQ(text + 1, src);

    outPtr = out;
    src = text;
    error = kUnset;
    ncnv_fromUnicode(h.get(), &outPtr, out + 4, &src, text + 4, &error);
    EXPECT_EQ(kUnset, error);
    EXPECT_EQ(out + 3, outPtr);
    EXPECT_EQ(text + 2, src);
    EXPECT_EQ(0, out[3]);

    outPtr = nullptr;
    ncnv_fromUnicode(h.get(), &outPtr, out + 4, &src, text, &error);
    EXPECT_EQ(1, error);
    UChar* uOut = nullptr;
    const char* bytes = "";
    error = kUnset;
    ncnv_toUnicode(h.get(), &uOut, reinterpret_cast<UChar*>(out), &bytes, bytes, &error);
    EXPECT_EQ(1, error);
}

TEST(MblenTest, Lengths)
{
    Handle h(kSmallUcm);
    struct Case {
        const char* name;
        std::string bytes;
        int maxBytes;
        int result;
        int error;
        const char* message;
    } cases[] = {
        {"double byte", "\x81\x40", 2, 2, 0, ""},
        {"double byte roomy", "\x81\x40", 9, 2, 0, ""},
        {"double byte cut", "\x81\x40", 1, -1, 15, ""},
        {"no room at all", "A", 0, -1, 15, ""},
        {"unmapped", "\xA0", 1, -1, 3, "No mapping for character \\xA0\n"},
        {"NUL", std::string("\0", 1), 1, 0, 0, ""},
        {"single", "B", 1, 1, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto source = s_exact(c.bytes);
        int error = kUnset;
        int result = 0;
        const std::string err = captureStderr(
            [&] { result = ncnv_mblen(h.get(), source.get(), c.maxBytes, &error); });
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.error, error);
        EXPECT_EQ(c.message, err);
    }
    int error = kUnset;
    EXPECT_EQ(0, ncnv_mblen(h.get(), nullptr, 4, &error));
    EXPECT_EQ(kUnset, error);
}

TEST(HandleTest, QueriesAndFixedAnswers)
{
    Handle small(kSmallUcm);
    Handle latin(ncnv_getConverter("LATIN_1"));
    int error = kUnset;
    EXPECT_EQ(2, ncnv_MB_CUR_MAX(small.get(), &error));
    EXPECT_EQ(0, error);
    EXPECT_EQ(1, ncnv_MB_CUR_MAX(latin.get(), &error));
    EXPECT_EQ(4, ncnv_MB_CUR_MAX(nullptr, &error));
    EXPECT_EQ(1, error);

    char name[32] = "unchanged";
    int size = 32;
    ncnv_getConverterName(latin.get(), name, &size, &error);
    EXPECT_STREQ("", name);
    EXPECT_EQ(0, size);
    EXPECT_EQ(16, error);
    size = 32;
    ncnv_getConverterPath(latin.get(), nullptr, &size, &error);
    EXPECT_EQ(1, error);
    EXPECT_EQ(32, size);
    ncnv_getConverterFileName(nullptr, name, &size, &error);
    EXPECT_EQ(1, error);
    EXPECT_EQ(0, ncnv_converterMatchesLocale(latin.get(), &error));
    EXPECT_EQ(16, error);
    ncnv_converterMatchesLocale(nullptr, &error);
    EXPECT_EQ(1, error);

    UChar out[2];
    EXPECT_EQ(0, ncnv_toUChars(nullptr, out, 2, "A", 1, &error));
    EXPECT_EQ(1, error);
    EXPECT_EQ(-1, ncnv_mblen(nullptr, "A", 1, &error));
    ncnv_releaseConverter(nullptr);
    // A null error pointer is never written.
    EXPECT_EQ(1, ncnv_toUChars(latin.get(), out, 2, "A", 1, nullptr));
}

TEST(LatinOneTest, BuiltInTable)
{
    Handle latin(ncnv_getConverter("LATIN_1"));
    std::string all;
    for (int b = 1; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
    }
    std::vector<UChar> out(256, kSentinel);
    int error = kUnset;
    EXPECT_EQ(255, ncnv_toUChars(latin.get(), out.data(), 256, all.data(), 255, &error));
    EXPECT_EQ(0, error);
    for (int b = 1; b < 256; ++b) {
        ASSERT_EQ(b, out[static_cast<size_t>(b - 1)]);
    }
    std::string back(256, '\xEE');
    EXPECT_EQ(255, ncnv_fromUChars(latin.get(), &back[0], 256, out.data(), 255, &error));
    EXPECT_EQ(all, back.substr(0, 255));
    const UChar beyond[] = {0x100};
    const std::string err = captureStderr(
        [&] { ncnv_fromUChars(latin.get(), &back[0], 4, beyond, 1, &error); });
    EXPECT_EQ(16, error);
    EXPECT_EQ("No mapping for character <U0100>\n", err);
}

// Which record a lookup returns among several for the same key.
TEST(LookupTest, PreferenceAmongDuplicates)
{
    struct Case {
        const char* name;
        const char* table;
        std::string bytes;  // converted to Unicode
        UChar toU;
        UChar unit;         // converted to the code page
        std::string fromU;
    } cases[] = {
        {"round trip after fallback",
         "<nox_lead_bytes> 01-7F:1\n<U0061> \\x41 |1\n<U0041> \\x41 |0\n", "A", 0x41, 0x61, "A"},
        {"round trip before fallback",
         "<nox_lead_bytes> 01-7F:1\n<U0041> \\x41 |0\n<U0061> \\x41 |1\n", "A", 0x41, 0x61, "A"},
        {"reverse fallback is found by bytes",
         "<nox_lead_bytes> 01-7F:1\n<U00E9> \\x45 |3\n", "E", 0xE9, 0xE9, "E"},
        {"from-Unicode fallback preferred to reverse fallback",
         "<nox_lead_bytes> 01-7F:1\n<U00E9> \\x45 |3\n<U00E9> \\x65 |1\n", "E", 0xE9, 0xE9, "e"},
        {"from-Unicode fallback alone is used both ways",
         "<nox_lead_bytes> 01-7F:1\n<U00E9> \\x65 |1\n", "e", 0xE9, 0xE9, "e"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Handle h(c.table);
        UChar out[2] = {kSentinel, kSentinel};
        int error = kUnset;
        EXPECT_EQ(1, ncnv_toUChars(h.get(), out, 2, c.bytes.data(), 1, &error));
        EXPECT_EQ(c.toU, out[0]);
        char bytes[4] = {};
        EXPECT_EQ(1, ncnv_fromUChars(h.get(), bytes, 4, &c.unit, 1, &error));
        EXPECT_EQ(c.fromU, std::string(bytes));
    }
}

TEST(LookupTest, LargeTablesFindEveryRecord)
{
    // Tables of many sizes exercise every path of the capped-first-probe search.
    for (int count : {1, 2, 3, 127, 128, 255, 256, 257, 1000, 3000}) {
        SCOPED_TRACE(count);
        std::ostringstream table;
        table << "<nox_lead_bytes> 01-7F:1 81-FE:2\n";
        for (int i = 0; i < count; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "<U%04X> \\x%02X\\x%02X |0\n", 0x4E00 + i,
                          0x81 + i / 190, 0x41 + i % 190);
            table << line;
        }
        Handle h(table.str());
        for (bool fast : {true, false}) {
            ncnv_setFastPaths(fast);
            for (int i = 0; i < count; ++i) {
                const char bytes[2] = {static_cast<char>(0x81 + i / 190),
                                       static_cast<char>(0x41 + i % 190)};
                UChar out = 0;
                int error = kUnset;
                ASSERT_EQ(1, ncnv_toUChars(h.get(), &out, 1, bytes, 2, &error));
                ASSERT_EQ(0x4E00 + i, out);
                const UChar unit = static_cast<UChar>(0x4E00 + i);
                char back[2] = {};
                ASSERT_EQ(2, ncnv_fromUChars(h.get(), back, 2, &unit, 1, &error));
                ASSERT_EQ(0, std::memcmp(bytes, back, 2));
            }
            const UChar missing[] = {0x4DFF, static_cast<UChar>(0x4E00 + count)};
            for (UChar unit : missing) {
                char back[2] = {};
                int error = kUnset;
                captureStderr([&] { ncnv_fromUChars(h.get(), back, 2, &unit, 1, &error); });
                EXPECT_EQ(16, error);
            }
        }
        ncnv_setFastPaths(true);
    }
}

// ---------------------------------------------------------------- file loading

TEST(LoaderTest, FileOutcomes)
{
    TempDir dir;
    struct Case {
        const char* name;
        std::string content;
        uint32_t records;
        int curMax;
    } cases[] = {
        {"precision 2 dropped",
         "<nox_lead_bytes> 01-7F:1\n<U0041> \\x41 |0\n<U0042> \\x42 |2\n<U0043> \\x43 |0\n", 2, 1},
        {"no lead-byte line", "<U0041> \\x41 |0\n", 0, 0},
        {"no mapping line", "<nox_lead_bytes> 01-7F:1\n# only a comment\n", 0, 1},
        {"empty file", "", 0, 0},
        {"first useful lead-byte line wins",
         "<nox_lead_bytes> zz\n<nox_lead_bytes> 01-7F:1\n<nox_lead_bytes> 01-7F:2\n<U0041> \\x41 |0\n", 1, 1},
        {"crlf and no final newline", "<nox_lead_bytes> 01-7F:1\r\n<U0041> \\x41 |0\r\n<U0042> \\x42 |0", 2, 1},
        {"indented lines are kept",
         "<nox_lead_bytes> 01-7F:1\n  <U0041> \\x41 |0\n<U0042> \\x42 |0\n<U0043> \\x43 |0\n", 3, 1},
        {"long comment never becomes a mapping",
         "<nox_lead_bytes> 01-7F:1\n#" + std::string(300, 'x') + "<U0042> \\x42 |0\n<U0041> \\x41 |0\n", 1, 1},
        {"mapping after many blanks",
         "<nox_lead_bytes> 01-7F:1\n" + std::string(400, ' ') + "<U0042> \\x42 |0\n", 1, 1},
        {"nul byte inside a line", std::string("<nox_lead_bytes> 01-7F:1\n<U0041> \\x41 |0\0tail\n", 46), 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("case.ucm", c.content);
        std::string err;
        std::unique_ptr<NoxUCharConverter> conv;
        err = captureStderr([&] { conv.reset(new NoxUCharConverter(path.c_str())); });
        EXPECT_EQ("", err);
        EXPECT_EQ(c.records, conv->dataLen);
        EXPECT_EQ(c.curMax, conv->cur_max());
        EXPECT_EQ(c.records != 0, conv->getUcmFilePath() != nullptr);
        EXPECT_EQ(c.records == 0, conv->unicodeData == nullptr);
    }
}

TEST(LoaderTest, EmptyConverterFindsNothing)
{
    Handle h("<U0041> \\x41 |0\n");
    UChar out[2];
    int error = kUnset;
    const std::string err = captureStderr([&] { ncnv_toUChars(h.get(), out, 2, "A", 1, &error); });
    EXPECT_EQ(16, error);
    EXPECT_EQ("No mapping for character(s) \\x41\\x00\\x00\\x00'\n", err);
}

TEST(LoaderTest, MissingFileGivesLatinOne)
{
    TempDir dir;
    std::unique_ptr<NoxUCharConverter> conv;
    const std::string err = captureStderr(
        [&] { conv.reset(new NoxUCharConverter(dir.path().c_str(), "ABC")); });
    EXPECT_EQ("Cannot access '" + dir.path() + "/ABC.ucm'\n", err);
    EXPECT_EQ(256u, conv->dataLen);
    EXPECT_EQ(nullptr, conv->getCodePageName());
    EXPECT_EQ(nullptr, conv->getUcmFilePath());
    // The built-in name is case-sensitive.
    const std::string lower = captureStderr(
        [&] { conv.reset(new NoxUCharConverter(dir.path().c_str(), "latin_1")); });
    EXPECT_EQ("Cannot access '" + dir.path() + "/latin_1.ucm'\n", lower);
}

TEST(LoaderTest, OverlongPathIsRefusedWhole)
{
    const std::string directory = "/tmp/" + std::string(4085, 'd');
    std::unique_ptr<NoxUCharConverter> conv;
    const std::string err = captureStderr(
        [&] { conv.reset(new NoxUCharConverter(directory.c_str(), "ABC")); });
    EXPECT_EQ("Cannot access '" + directory + "/ABC.ucm'\n", err);
    EXPECT_EQ(256u, conv->dataLen);
}

TEST(LoaderTest, ByNameRecordsOriginAndCopiesReload)
{
    TempDir dir;
    dir.write("SMALL.ucm", kSmallUcm);
    NoxUCharConverter byName(dir.path().c_str(), "SMALL");
    EXPECT_EQ(4u, byName.dataLen);
    EXPECT_STREQ("SMALL", byName.getCodePageName());
    EXPECT_EQ(dir.path(), byName.getUcmPath());
    EXPECT_EQ(dir.path() + "/SMALL.ucm", byName.getUcmFilePath());
    NoxUCharConverter copy(byName);
    EXPECT_EQ(4u, copy.dataLen);
    EXPECT_STREQ("SMALL", copy.getCodePageName());

    const std::string emptyPath = dir.write("EMPTY.ucm", "nothing here\n");
    NoxUCharConverter empty(emptyPath.c_str());
    EXPECT_EQ(0u, empty.dataLen);
    NoxUCharConverter fromEmpty(empty);
    EXPECT_EQ(256u, fromEmpty.dataLen) << "an empty converter copies as Latin-1";
    copy = empty;
    EXPECT_EQ(256u, copy.dataLen);
    copy = byName;
    EXPECT_EQ(4u, copy.dataLen);
    UChar out[2];
    int error = kUnset;
    EXPECT_EQ(1, copy.toUChars(out, 2, "\x81\x40", 2, &error));
    EXPECT_EQ(0x3000, out[0]);
}

// ---------------------------------------------------------------- table dump

TEST(DumpTest, LatinOneToStandardOutput)
{
    Handle latin(ncnv_getConverter("LATIN_1"));
    const std::string out = captureStdout([&] { ncnv_dumpUTF8(latin.get(), nullptr, "w"); });
    std::istringstream lines(out);
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) {
        all.push_back(line);
    }
    ASSERT_EQ(256u, all.size());
    EXPECT_EQ("<U0000>  |0", all[0]);
    EXPECT_EQ("<U0001> \\x01 |0", all[1]);
    EXPECT_EQ("<U0041> \\x41 |0", all[0x41]);
    EXPECT_EQ("<U007F> \\x7F |0", all[0x7F]);
    EXPECT_EQ("<U0080> \\xC2\\x80 |0", all[0x80]);
    EXPECT_EQ("<U00E9> \\xC3\\xA9 |0", all[0xE9]);
    EXPECT_EQ("<U00FF> \\xC3\\xBF |0", all[0xFF]);
}

TEST(DumpTest, SpecialValuesDuplicatesAndFiles)
{
    Handle h("<nox_lead_bytes> 01-FF:1\n<U20AC> \\x80 |0\n<UFFFF> \\x81 |0\n"
             "<UDC00> \\x82 |0\n<UD800> \\x83 |0\n<U00E9> \\xE9 |0\n<U00E9> \\x65 |1\n");
    TempDir dir;
    const std::string file = dir.path() + "/dump.txt";
    const std::string err = captureStderr([&] { ncnv_dumpUTF8(h.get(), file.c_str(), "w"); });
    EXPECT_EQ("utf_ConvertUTF16toUTF8 failed NoxUCharConverter:660\n", err);
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ("<U00E9> \\xC3\\xA9 |0\n<U00E9> \\xC3\\xA9 |0\n<U20AC> \\xE2\\x82\\xAC |0\n"
              "<UD800> \\xED\\xA0\\x80 |0\n<UFFFF> \\xEF\\xBF\\xBF |0\n",
              text.str());

    // Nothing is opened for a null handle, nor when the folder does not exist.
    const std::string none = dir.path() + "/none.txt";
    ncnv_dumpUTF8(nullptr, none.c_str(), "w");
    const std::string out = captureStdout(
        [&] { ncnv_dumpUTF8(h.get(), (dir.path() + "/missing/dump.txt").c_str(), "w"); });
    EXPECT_EQ("", out);
    struct stat st;
    EXPECT_NE(0, stat(none.c_str(), &st));

    Handle empty("no table\n");
    const std::string emptyFile = dir.path() + "/empty.txt";
    ncnv_dumpUTF8(empty.get(), emptyFile.c_str(), "w");
    ASSERT_EQ(0, stat(emptyFile.c_str(), &st));
    EXPECT_EQ(0, st.st_size);
}

} // namespace

// NoxUCharConverter_test.cpp - conversions, lookups, file loading and the table dump,
// through the exported handle functions wherever they reach, at every kernel level.
#include "NoxUCharConverter.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

using namespace noxtest;
using namespace std::string_literals;

const std::string kNoMapBytes = "No mapping for character(s) ";
const std::string kNoMapUnit = "No mapping for character ";

// Whole inputs on the small code page, each through every form at every level.
TEST(ConversionTest, EveryFormOnSmallCodePage)
{
    const Handle h(kSmallUcm);
    const struct {
        const char* name;
        std::string bytes;
        Expect want;
    } toU[] = {
        {"empty", "", {u"", 0}},
        {"ASCII", "ABC", {u"ABC", 3}},
        {"two-byte character", "A\x81\x40\x42", {u"A\u3000B", 4}},
        {"0 byte before the count", "A\0B"s, {u"A", 1}},
        {"unmapped byte",
         "A\xA0\x42\x43",
         {u"A", 1, NCNV_UNSUPPORTED, kNoMapBytes + "\\xA0\\x42\\x43\\x00'\n"}},
        {"unmapped, 0 byte inside the count",
         "\xA0\0B"s,
         {u"", 0, NCNV_UNSUPPORTED, kNoMapBytes + "\\xA0\\x00\\x00\\x00'\n"}},
        {"byte that starts no character",
         "AB\xC1",
         {u"AB", 2, NCNV_UNSUPPORTED, kNoMapBytes + "\\xC1\\x00\\x00\\x00'\n"}},
        {"character cut off by the count", "A\x81", {u"A", 1, NCNV_INDEX_OUTOFBOUNDS}},
        {"long run then cut off",
         std::string(40, 'A') + "\x81\x40\x81",
         {std::u16string(40, u'A') + u"\u3000", 42, NCNV_INDEX_OUTOFBOUNDS}},
    };
    const struct {
        const char* name;
        std::u16string units;
        Expect want;
    } fromU[] = {
        {"empty", u"", {u"", 0}},
        {"one and two bytes", u"A\u3000B", {u"A\x81\x40\x42", 3}},
        {"0 unit", u"A\0B"s, {u"A", 1}},
        {"unmapped unit", u"A\u00E9B", {u"A", 1, NCNV_UNSUPPORTED, kNoMapUnit + "<U00E9>\n"}},
        {"surrogate value", u"AB\xD800", {u"AB", 2, NCNV_UNSUPPORTED, kNoMapUnit + "<UD800>\n"}},
        {"long run",
         std::u16string(40, u'C') + u"\u3000",
         {std::u16string(40, u'C') + u"\x81\x40", 41}},
    };
    forEachLevel([&] {
        for (const auto& c : toU) {
            SCOPED_TRACE(c.name);
            expectToUEveryForm(h.get(), c.bytes, c.want);
        }
        for (const auto& c : fromU) {
            SCOPED_TRACE(c.name);
            expectFromUEveryForm(h.get(), c.units, c.want);
        }
    });
}

// Calls whose whole outcome is the value returned and the error code.
TEST(HandleTest, QueriesAndNullArguments)
{
    const Handle h(kSmallUcm);
    const Handle latin(ncnv_getConverter("LATIN_1"));
    char name[32] = "unchanged";
    char bytes[2] = {'x', 'x'};
    char* noBytes = nullptr;
    UChar units[2] = {kUnitSentinel, kUnitSentinel};
    UChar* noUnits = nullptr;
    UChar spare[2] = {};
    int size = 32;
    const char* empty = "";
    const UChar* end = units + 2;
    const struct {
        const char* name;
        std::function<int(int* error)> call;
        int result;
        int error;
    } cases[] = {
        {"MB_CUR_MAX, null handle", [](int* e) { return ncnv_MB_CUR_MAX(nullptr, e); }, 4,
         NCNV_ILLEGAL_ARGUMENT},
        {"MB_CUR_MAX, Latin-1", [&](int* e) { return ncnv_MB_CUR_MAX(latin.get(), e); }, 1,
         NCNV_OK},
        {"mblen, null source", [&](int* e) { return ncnv_mblen(h.get(), nullptr, 4, e); }, 0,
         kUnset},
        {"mblen, null handle", [](int* e) { return ncnv_mblen(nullptr, "A", 1, e); }, -1,
         NCNV_ILLEGAL_ARGUMENT},
        {"path, null buffer",
         [&](int* e) {
             ncnv_getConverterPath(latin.get(), nullptr, &size, e);
             return size;
         },
         32, NCNV_ILLEGAL_ARGUMENT},
        {"name",
         [&](int* e) {
             ncnv_getConverterName(latin.get(), name, &size, e);
             return size;
         },
         0, NCNV_UNSUPPORTED},
        {"file name",
         [&](int* e) {
             size = 32;
             ncnv_getConverterFileName(latin.get(), name, &size, e);
             return size;
         },
         0, NCNV_UNSUPPORTED},
        {"matches locale", [&](int* e) { return ncnv_converterMatchesLocale(latin.get(), e); }, 0,
         NCNV_UNSUPPORTED},
        {"toUChars, no source",
         [&](int* e) { return ncnv_toUChars(h.get(), units, 2, nullptr, 3, e); }, 0,
         NCNV_ILLEGAL_ARGUMENT},
        {"fromUChars, no source",
         [&](int* e) { return ncnv_fromUChars(h.get(), bytes, 2, nullptr, 3, e); }, 0,
         NCNV_ILLEGAL_ARGUMENT},
        {"toUnicode, null output",
         [&](int* e) {
             ncnv_toUnicode(h.get(), &noUnits, units, &empty, empty, e);
             return 0;
         },
         0, NCNV_ILLEGAL_ARGUMENT},
        {"fromUnicode, null output",
         [&](int* e) {
             ncnv_fromUnicode(h.get(), &noBytes, bytes, &end, end, e);
             return 0;
         },
         0, NCNV_ILLEGAL_ARGUMENT},
        {"null error pointer",
         [&](int*) { return ncnv_toUChars(latin.get(), spare, 2, "A", 1, nullptr); }, 1, kUnset},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int error = kUnset;
        EXPECT_EQ(c.result, c.call(&error));
        EXPECT_EQ(c.error, error);
    }
    EXPECT_STREQ("", name);
    EXPECT_EQ(0, units[0]); // a null source still terminates the output
    EXPECT_EQ(0, bytes[0]);
    ncnv_releaseConverter(nullptr);
}

// Which record a lookup returns among several for the same key; a lead byte before the
// terminator, or packed with a 0 byte inside the count, finds a one-byte record.
TEST(LookupTest, PreferenceAmongDuplicates)
{
    const std::string a = "<nox_lead_bytes> 01-7F:1\n";
    const std::string e9 = a + "<U00E9> \\x45 |3\n";
    const std::string lead = "<nox_lead_bytes> 01-7F:1 81:2 83:3\n<U00C1> \\x81 |0\n";
    const struct {
        const char* name;
        std::string table;
        std::string bytes; // converted to Unicode with their size
        int size;
        UChar toU;
        UChar unit; // converted back
        std::string fromU;
    } cases[] = {
        {"round trip before a fallback of its bytes", a + "<U0061> \\x41 |1\n<U0041> \\x41 |0\n",
         "A", 1, 0x41, 0x61, "A"},
        {"reverse fallback alone", e9, "E", 1, 0xE9, 0xE9, "E"},
        {"fallback and reverse fallback", e9 + "<U00E9> \\x65 |1\n", "E", 1, 0xE9, 0xE9, "e"},
        {"fallback alone converts both ways", a + "<U00E9> \\x65 |1\n", "e", 1, 0xE9, 0xE9, "e"},
        {"round trip and fallback of one value", a + "<U00E9> \\x45 |1\n<U00E9> \\x65 |0\n", "e", 1,
         0xE9, 0xE9, "e"},
        {"round trip and reverse fallback of one byte", a + "<U00C9> \\x65 |3\n<U00E9> \\x65 |0\n",
         "e", 1, 0xE9, 0xC9, "e"},
        {"lead byte before the terminator", lead + "<U3000> \\x81\\x40 |0\n", "\x81\0"s, -1, 0xC1,
         0xC1, "\x81"},
        {"lead byte and 0 inside the count", lead, "\x81\0"s, 2, 0xC1, 0xC1, "\x81"},
        {"lead byte, 0, then more bytes inside the count", lead, "\x81\0\x41"s, 3, 0xC1, 0xC1,
         "\x81"},
        {"three-byte lead, 0 in the middle", lead + "<U00C3> \\x83 |0\n", "\x83\0\x41"s, 3, 0xC3,
         0xC3, "\x83"},
    };
    forEachLevel([&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const Handle h(c.table);
            const Call toU = toUChars(h.get(), c.bytes, c.size, 2);
            EXPECT_EQ(1, toU.result);
            EXPECT_EQ((std::vector<unsigned>{c.toU, 0}), toU.out);
            const Call fromU = fromUChars(h.get(), std::u16string(1, c.unit), 1, 4);
            EXPECT_EQ(c.fromU, std::string(fromU.out.begin(), fromU.out.begin() + fromU.result));
        }
    });
}

// Records (precision 2 dropped), longest character (first valid lead-byte line) and origin;
// a missing file gives Latin-1 (its name is case-sensitive); copies reload, empty ones as Latin-1.
TEST(LoaderTest, OutcomesOriginAndCopies)
{
    TempDir dir;
    dir.write("SMALL.ucm", kSmallUcm);
    const std::string path = dir.write(
        "MIXED.ucm", "<nox_lead_bytes> zz\n<nox_lead_bytes> 01-7F:1\n<nox_lead_bytes> 01-7F:2\n"
                     "<U0041> \\x41 |2\n  <U0042> \\x42 |0\n<U0043> \\x43 |0\n");
    NoxUCharConverter mixed(path.c_str());
    NoxUCharConverter byName(dir.path().c_str(), "SMALL");
    NoxUCharConverter empty(dir.write("EMPTY.ucm", "nothing\n").c_str());
    EXPECT_EQ(2u, mixed.dataLen);
    EXPECT_EQ(1, mixed.cur_max());
    EXPECT_STREQ("SMALL", byName.getCodePageName());
    EXPECT_EQ(dir.path(), byName.getUcmPath());
    EXPECT_EQ(dir.path() + "/SMALL.ucm", byName.getUcmFilePath());
    EXPECT_EQ(nullptr, empty.getUcmFilePath());
    EXPECT_EQ("Cannot access '" + dir.path() + "/latin_1.ucm'\n", captureStderr([&] {
                  EXPECT_EQ(256u, NoxUCharConverter(dir.path().c_str(), "latin_1").dataLen);
              }));
    NoxUCharConverter copy(byName);
    EXPECT_STREQ("SMALL", copy.getCodePageName());
    EXPECT_EQ(256u, NoxUCharConverter(empty).dataLen);
    const NoxUCharConverter fileCopy(mixed);
    EXPECT_EQ(2u, fileCopy.dataLen);
    EXPECT_EQ(path, fileCopy.getUcmFilePath());
    copy = empty;
    EXPECT_EQ(256u, copy.dataLen);
    copy = byName;
    EXPECT_EQ(4u, copy.dataLen);
}

// Sorted by value, duplicates kept, a lone low surrogate refused with a message; nothing is
// written for a null handle nor a missing folder; standard output without a name.
TEST(DumpTest, ValuesDuplicatesAndFiles)
{
    const Handle h("<nox_lead_bytes> 01-FF:1\n<U20AC> \\x80 |0\n<UFFFF> \\x81 |0\n"
                   "<UDC00> \\x82 |0\n<UD800> \\x83 |0\n<U00E9> \\xE9 |0\n<U00E9> \\x65 |1\n");
    TempDir dir;
    const std::string file = dir.path() + "/dump.txt";
    const std::string missing = dir.path() + "/none/dump.txt";
    ncnv_dumpUTF8(nullptr, file.c_str(), "w");
    EXPECT_FALSE(std::ifstream(file).good());
    EXPECT_EQ("utf_ConvertUTF16toUTF8 failed NoxUCharConverter:660\n",
              captureStderr([&] { ncnv_dumpUTF8(h.get(), file.c_str(), "w"); }));
    EXPECT_EQ("<U00E9> \\xC3\\xA9 |0\n<U00E9> \\xC3\\xA9 |0\n<U20AC> \\xE2\\x82\\xAC |0\n"
              "<UD800> \\xED\\xA0\\x80 |0\n<UFFFF> \\xEF\\xBF\\xBF |0\n",
              std::string(std::istreambuf_iterator<char>(std::ifstream(file).rdbuf()), {}));
    EXPECT_EQ("", captureStdout([&] { ncnv_dumpUTF8(h.get(), missing.c_str(), "w"); }));
    const Handle latin(ncnv_getConverter("LATIN_1")); // its NUL line has no bytes
    EXPECT_EQ(0u, captureStdout([&] {
                      ncnv_dumpUTF8(latin.get(), nullptr, "w");
                  }).find("<U0000>  |0\n<U0001> \\x01 |0\n"));
}

} // namespace

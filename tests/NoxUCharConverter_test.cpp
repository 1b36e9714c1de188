// NoxUCharConverter_test.cpp - conversions, lookups, file loading and the table dump,
// through the exported handle functions wherever they reach.
#include "NoxUCharConverter.h"
#include "environment.h"
#include "kernels/kernels.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

using namespace noxtest;
using U = std::vector<UChar>;

const UChar S = 0xEEEE; // sentinel: output never written
const int kUnset = 99;
const std::string kNoMap = "No mapping for character";

enum Form { kToU, kFromU, kToURange, kFromURange };

// Each form on the small code page, with room for `outSize` of 8 (-1: null output). `bytes` is
// the input to Unicode and the expected output from Unicode, `units` the reverse; inputs lie in
// exact-size heap buffers. A ranged form's `result` is what it wrote, `consumed` what it read.
TEST(ToUCharsTest, AllFormsOnSmallCodePage)
{
    Handle h(kSmallUcm);
    const std::string bad("A\xA0"
                          "BC\0",
                          5),
        badMsg = "(s) \\xA0\\x42\\x43\\x00'\n";
    const std::string a0("A\0", 2), ab("AB\0", 3), a3000("A\x81\x40\0", 4);
    const struct {
        const char* name;
        Form form;
        std::string bytes;
        U units;
        int size, outSize, result, consumed, error;
        std::string message; // after kNoMap
    } cases[] = {
        {"empty by size", kToU, "A", {0}, 0, 8, 0, 0, 0, ""},
        {"NUL before count", kToU, std::string("A\0B", 3), {0x41, 0}, 3, 8, 1, 0, 0, ""},
        {"one short", kToU, "AB", {0x41, S}, 2, 1, 2, 0, 15, ""},
        {"null out sizes", kToU, "AB", {}, 2, -1, 2, 0, 15, ""},
        {"later failure wins", kToU, bad, {}, 5, -1, 1, 0, 16, badMsg},
        {"unmapped", kToU, bad, {0x41, 0}, 5, 8, 1, 0, 16, badMsg},
        {"cut off", kToU, "A\x81\x40", {0x41, 0}, 2, 8, 1, 0, 8, ""},
        {"size -1 runs to NUL", kToU, a3000, {0x41, 0x3000, 0}, -1, 8, 2, 0, 0, ""},
        {"fits with terminator", kFromU, a3000, {0x41, 0x3000}, 2, 4, 3, 0, 0, ""},
        {"no record", kFromU, a0, {0x41, 0xE9, 0x42}, 3, 8, 1, 0, 16, " <U00E9>\n"},
        {"negative size", kFromU, ab, {0x41, 0x42, 0}, -1, 8, 2, 0, 0, ""},
        // Ranged forms write a terminator only for a NUL they meet with room left.
        {"range stops at NUL", kToURange, ab, {0x41, 0x42, 0, S}, 3, 4, 2, 2, kUnset, ""},
        {"range ends", kToURange, ab, {0x41, 0x42, S}, 2, 4, 2, 2, kUnset, ""},
        {"NUL met without room", kToURange, ab, {0x41, 0x42, S}, 3, 2, 2, 2, kUnset, ""},
        {"range to NUL", kFromURange, a3000, {0x41, 0x3000, 0, 0x42}, 4, 4, 3, 2, kUnset, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<char> in(c.bytes.begin(), c.bytes.end());
        const char* bIn = in.data();
        const UChar* uIn = c.units.data();
        U units(8, S);
        std::string bytes(8, '\xEE');
        UChar* uOut = c.outSize < 0 ? nullptr : units.data();
        char* bOut = c.outSize < 0 ? nullptr : &bytes[0];
        int error = kUnset, result = 0;
        const std::string err = captureStderr([&] {
            if (c.form == kToU) {
                result = ncnv_toUChars(h.get(), uOut, c.outSize, bIn, c.size, &error);
            } else if (c.form == kFromU) {
                result = ncnv_fromUChars(h.get(), bOut, c.outSize, uIn, c.size, &error);
            } else if (c.form == kToURange) {
                ncnv_toUnicode(h.get(), &uOut, uOut + c.outSize, &bIn, bIn + c.size, &error);
                result = static_cast<int>(uOut - units.data());
            } else {
                ncnv_fromUnicode(h.get(), &bOut, bOut + c.outSize, &uIn, uIn + c.size, &error);
                result = static_cast<int>(bOut - bytes.data());
            }
        });
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.error, error);
        EXPECT_EQ(c.message.empty() ? "" : kNoMap + c.message, err);
        if (c.form == kToU || c.form == kToURange) {
            EXPECT_EQ(c.consumed, bIn - in.data());
            EXPECT_EQ(c.units, U(units.begin(), units.begin() + c.units.size()));
        } else {
            EXPECT_EQ(c.consumed, uIn - c.units.data());
            EXPECT_EQ(hexBytes(c.bytes), hexBytes(bytes.substr(0, c.bytes.size())));
        }
    }
}

#define CALL(expr) [&](int* e) { return (expr); }

// Calls whose whole outcome is the value returned and the error code.
TEST(HandleTest, QueriesAndNullArguments)
{
    Handle h(kSmallUcm), latin(ncnv_getConverter("LATIN_1"));
    char name[32] = "unchanged", bytes[2] = {'x', 'x'}, *noBytes = nullptr;
    UChar units[2] = {S, S}, spare[2], *noUnits = nullptr;
    int size = 32;
    const char* empty = "";
    const UChar* end = units + 2;
    const struct {
        const char* name;
        std::function<int(int*)> call; // given where to put the error code
        int result, error;
    } cases[] = {
        {"MB_CUR_MAX, null", CALL(ncnv_MB_CUR_MAX(nullptr, e)), 4, 1},
        {"mblen, null source", CALL(ncnv_mblen(h.get(), nullptr, 4, e)), 0, kUnset},
        {"mblen, null", CALL(ncnv_mblen(nullptr, "A", 1, e)), -1, 1},
        {"path", CALL((ncnv_getConverterPath(latin.get(), nullptr, &size, e), size)), 32, 1},
        {"name", CALL((ncnv_getConverterName(latin.get(), name, &size, e), size)), 0, 16},
        {"matches locale", CALL(ncnv_converterMatchesLocale(latin.get(), e)), 0, 16},
        {"toUChars, no source", CALL(ncnv_toUChars(h.get(), units, 2, nullptr, 3, e)), 0, 1},
        {"fromUChars, no source", CALL(ncnv_fromUChars(h.get(), bytes, 2, nullptr, 3, e)), 0, 1},
        {"toUnicode", CALL((ncnv_toUnicode(h.get(), &noUnits, units, &empty, empty, e), 0)), 0, 1},
        {"fromUnicode", CALL((ncnv_fromUnicode(h.get(), &noBytes, bytes, &end, end, e), 0)), 0, 1},
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
    const std::string a = "<nox_lead_bytes> 01-7F:1\n", e9 = a + "<U00E9> \\x45 |3\n";
    const std::string lead = "<nox_lead_bytes> 01-7F:1 81:2\n<U00C1> \\x81 |0\n";
    const struct {
        std::string table, bytes; // bytes converted to Unicode with their size, unit back
        int size;
        UChar toU, unit;
        std::string fromU;
    } cases[] = {
        {a + "<U0061> \\x41 |1\n<U0041> \\x41 |0\n", "A", 1, 0x41, 0x61, "A"},
        {e9, "E", 1, 0xE9, 0xE9, "E"},
        {e9 + "<U00E9> \\x65 |1\n", "E", 1, 0xE9, 0xE9, "e"},
        {a + "<U00E9> \\x65 |1\n", "e", 1, 0xE9, 0xE9, "e"},
        {lead + "<U3000> \\x81\\x40 |0\n", "\x81", -1, 0xC1, 0xC1, "\x81"},
        {lead, std::string("\x81\0", 2), 2, 0xC1, 0xC1, "\x81"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table + hexBytes(c.bytes));
        Handle h(c.table);
        UChar out[2] = {S, S};
        char back[4] = {};
        int error = kUnset;
        EXPECT_EQ(1, ncnv_toUChars(h.get(), out, 2, c.bytes.c_str(), c.size, &error));
        EXPECT_EQ(1, ncnv_fromUChars(h.get(), back, 4, &c.unit, 1, &error));
        EXPECT_EQ(U({c.toU, 0}), U(out, out + 2));
        EXPECT_EQ(c.fromU, std::string(back));
    }
}

// Tables of many sizes exercise every path of the capped-first-probe search (the fast paths
// are off, so that every lookup searches); the values just outside a table are not found.
TEST(LookupTest, LargeTablesFindEveryRecord)
{
    nox::setKernelCeiling(nox::KernelLevel::Exact);
    for (int count : {1, 2, 3, 127, 128, 255, 256, 257, 1000}) {
        SCOPED_TRACE(count);
        std::string table = "<nox_lead_bytes> 01-7F:1 81-FE:2\n";
        for (int i = 0; i < count; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "<U%04X> \\x%02X\\x%02X |0\n", 0x4E00 + i,
                          0x81 + i / 190, 0x41 + i % 190);
            table += line;
        }
        Handle h(table);
        for (int i = -1; i <= count; ++i) {
            const char bytes[2] = {char(0x81 + i / 190), char(0x41 + i % 190)};
            const UChar unit = static_cast<UChar>(0x4E00 + i);
            const bool found = i >= 0 && i < count;
            UChar out = 0;
            char back[2] = {};
            int error = kUnset;
            ASSERT_TRUE(!found || ncnv_toUChars(h.get(), &out, 1, bytes, 2, &error) == 1);
            ASSERT_EQ(found ? unit : 0, out);
            captureStderr([&] { ncnv_fromUChars(h.get(), back, 2, &unit, 1, &error); });
            ASSERT_EQ(found ? 0 : 16, error);
            ASSERT_TRUE(!found || std::memcmp(bytes, back, 2) == 0);
        }
    }
    nox::setKernelCeiling(nox::KernelLevel::AVX512);
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
    NoxUCharConverter mixed(path.c_str()), byName(dir.path().c_str(), "SMALL"),
        empty(dir.write("EMPTY.ucm", "nothing\n").c_str());
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
    copy = empty;
    EXPECT_EQ(256u, copy.dataLen);
    copy = byName;
    EXPECT_EQ(4u, copy.dataLen);
}

// Sorted by value, duplicates kept, a lone low surrogate refused with a message; nothing is
// written for a null handle nor a missing folder; standard output without a name.
TEST(DumpTest, ValuesDuplicatesAndFiles)
{
    Handle h("<nox_lead_bytes> 01-FF:1\n<U20AC> \\x80 |0\n<UFFFF> \\x81 |0\n"
             "<UDC00> \\x82 |0\n<UD800> \\x83 |0\n<U00E9> \\xE9 |0\n<U00E9> \\x65 |1\n");
    TempDir dir;
    const std::string file = dir.path() + "/dump.txt", missing = dir.path() + "/none/dump.txt";
    ncnv_dumpUTF8(nullptr, file.c_str(), "w");
    EXPECT_FALSE(std::ifstream(file).good());
    EXPECT_EQ("utf_ConvertUTF16toUTF8 failed NoxUCharConverter:660\n",
              captureStderr([&] { ncnv_dumpUTF8(h.get(), file.c_str(), "w"); }));
    EXPECT_EQ("<U00E9> \\xC3\\xA9 |0\n<U00E9> \\xC3\\xA9 |0\n<U20AC> \\xE2\\x82\\xAC |0\n"
              "<UD800> \\xED\\xA0\\x80 |0\n<UFFFF> \\xEF\\xBF\\xBF |0\n",
              std::string(std::istreambuf_iterator<char>(std::ifstream(file).rdbuf()), {}));
    EXPECT_EQ("", captureStdout([&] { ncnv_dumpUTF8(h.get(), missing.c_str(), "w"); }));
    Handle latin(ncnv_getConverter("LATIN_1")); // its NUL line has no bytes
    EXPECT_EQ(0u, captureStdout([&] {
                      ncnv_dumpUTF8(latin.get(), nullptr, "w");
                  }).find("<U0000>  |0\n<U0001> \\x01 |0\n"));
}

} // namespace

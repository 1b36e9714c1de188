// hostile_files_test.cpp - missing, empty, malformed, huge or contradictory mapping files.
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

using namespace std::string_literals;
const std::string kLead = "<nox_lead_bytes> 01-7F:1 81:2\n";
const std::string kAbc = "<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0\n";
// Lead byte 0x80 + n declares length n; U+4E00 + n has min(n, 4) bytes.
const std::string kLengthsUcm = "<nox_lead_bytes> 80:0 81:1 84:4 85:5 8F:F\n<U4E01> \\x81 |0\n"
                                "<U4E04> \\x84\\x41\\x42\\x43 |0\n<U4E05> \\x85\\x41\\x42\\x43 |0\n"
                                "<U4E0F> \\x8F\\x41\\x42\\x43 |0\n";

// Bytes, what they convert to and the error code; units, what they convert to and the code.
struct Probe {
    std::string bytes;
    std::u16string toU;
    int toError;
    std::u16string units;
    std::string fromU;
    int fromError;
};
const Probe kLatin1{"A\x81\xFF", u"A\x81\xFF", 0, u"A\xFF\x100", "A\xFF", 16};
const Probe kNone{"A", u"", 16, u"A", "", 16};
const Probe kABC{"AB\x81@C", u"AB\u3000", 16, u"A\u3000BC", "A\x81@B", 16};
const Probe kMany{"\x81\x01\xFF\x82\x01\x01\x84\x14P", u"\x4EFE\xCC01\x5B3F", 0, u"A", "", 16};
const Probe kLengths{"\x81\x84\x41\x42\x43\x85\x41\x42\x43\x8F\x41\x42\x43\x80",
                     u"\x4E01\x4E04\x4E05\x4E0F",
                     16,
                     u"\x4E01\x4E05\x4E0F\x4E00",
                     "\x81\x85\x41\x42\x43\x8F\x41\x42\x43",
                     16};
const Probe kLengthsCut{
    "\x81\x84\x41\x42\x43\x8F\x41\x42", u"\x4E01\x4E04", 8, u"\x4E05", "\x85\x41\x42\x43", 0};
const Probe kDupsProbe{"ABCcdD\x81@\x81\x41\x42\x42\x81\x42",
                       u"ABCCDD\u3000\u3000\x42\x42",
                       16,
                       u"AB\u00C2\x43\x45\x65\u3001\u00F1\x63",
                       "ABBCEEBB\x81",
                       16};

// Converts all of `in` into ample room; returns the output and the error code.
template <typename Out, typename In, typename T, typename S>
std::pair<Out, int> s_convert(int (*f)(NoxUConverter*, T*, int, const S*, int, int*),
                              NoxUConverter* h, const In& in)
{
    const std::vector<S> source(in.begin(), in.end());
    std::vector<T> out(4 * source.size() + 1);
    std::pair<Out, int> result{Out(), 99};
    noxtest::captureStderr([&] {
        const int n = f(h, out.data(), static_cast<int>(out.size()), source.data(),
                        static_cast<int>(source.size()), &result.second);
        result.first.assign(out.begin(), out.begin() + std::max(n, 0));
    });
    return result;
}

TEST(HostileFilesTest, FileGivesItsRecordsOrAFallback)
{
    noxtest::TempDir dir;
    // Values from U+4E00 wrap round after 0x8000: several three-byte records for each.
    std::string many = "<nox_lead_bytes> 01-7F:1 81-84:3\n";
    for (int i = 0; i < 200000; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X\\x%02X\\x%02X |0\n", 0x4E00 + i % 0x8000,
                      0x81 + i / (255 * 255), 1 + i / 255 % 255, 1 + i % 255);
        many += line;
    }
    std::string garbage; // lines of scrambled bytes, each beginning with a byte no line kind has
    for (unsigned i = 0; i < 60000; ++i) {
        garbage += i % 300 < 2 ? "\n\x80"[i % 300] : char(11 + (i * 2654435761u >> 9) % 254);
    }
    const struct {
        const char* name;
        std::string content;
        long records; // lines of the table dump
        int mbCurMax;
        Probe probe;
        std::string path; // opened instead of a file with the content
    } cases[] = {
        {"missing file", "", 256, 1, kLatin1, dir.path() + "/absent.ucm"},
        {"path of 5000 bytes", "", 256, 1, kLatin1, "/tmp/" + std::string(5000, 'n') + ".ucm"},
        {"directory", "", 0, 0, kNone, dir.path()},
        {"empty file", "", 0, 0, kNone, ""},
        {"CRLF, and CR inside a line",
         "<nox_lead_bytes> 01-7F:1 81:2\r\n<U0041> \\x41 |0\r\n<U0042> \\x42 |0\r\n"
         "<U3000> \\x81\\x40 |0\r\n# comment\r<U0043> \\x43 |0\r\n",
         3, 2, kABC, ""},
        {"NUL bytes ending lines early",
         "<nox_lead_bytes> 01-7F:1 81:2\0 43:2\n<U0041> \\x41 |0\0<U0043> \\x43 |0\n"
         "\0<U0043> \\x43 |0\n<U00\00043> \\x43 |0\n<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0\n"s,
         3, 2, kABC, ""},
        {"lines beyond 255 bytes, 1 MB last line",
         "<nox_lead_bytes>" + std::string(400, ' ') + "01-7F:1 81:2\n<U0041> \\x41 |0 " +
             std::string(10000, 't') + "\n" + std::string(700, ' ') +
             "<U0042> \\x42 |0\n<U3000> \\x81\\x40 |0" + std::string(235, ' ') +
             "<U0043> \\x43 |0\n" + std::string(1 << 20, '#'),
         3, 2, kABC, ""},
        {"header, comments, unknown lines, no final newline",
         "<code_set_name> \"X\"\n#\n" + kLead + "<n\nUnknown\n" + kAbc.substr(0, kAbc.size() - 1),
         3, 2, kABC, ""},
        {"binary garbage between lines",
         garbage + "\n" + kLead + kAbc.substr(0, 16) + garbage + "\n" + kAbc.substr(16) + garbage,
         3, 2, kABC, ""},
        {"lead-byte lengths 0, 1, 4, 5 and 15", kLengthsUcm, 4, 15, kLengths, ""},
        {"lead-byte lengths, cut one byte short", kLengthsUcm, 4, 15, kLengthsCut, ""},
        {"200000 lines", many, 200000, 3, kMany, ""},
        // Records twice for one value or one byte sequence, one-way records, 0x81 alone.
        {"duplicate and conflicting records",
         "<nox_lead_bytes> 01-7F:1 81:2\n<U0041> \\x41 |0\n<U0041> \\x41 |0\n<U00C2> \\x42 |1\n"
         "<U0042> \\x42 |0\n<U0043> \\x43 |0\n<U0043> \\x63 |3\n<U0044> \\x64 |3\n"
         "<U0044> \\x44 |1\n<U0045> \\x45 |0\n<U0065> \\x45 |0\n<U3000> \\x81\\x40 |0\n"
         "<U3000> \\x81\\x41 |0\n<U3001> \\x42\\x42 |0\n<U00F1> \\x81 |0\n",
         14, 2, kDupsProbe, ""},
        {"0x41 declared two bytes long, mapped as one",
         "<nox_lead_bytes> 01-40:1 41:2 42-7F:1\n<U0041> \\x41 |0\n<U0042> \\x42 |0\n", 2, 2,
         Probe{"BA", u"B", 8, u"BA", "BA", 0}, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NoxUConverter* h = nullptr;
        const std::string path = c.path.empty() ? dir.write("test.ucm", c.content) : c.path;
        EXPECT_EQ(c.records == 256 ? "Cannot access '" + path + "'\n" : "", // Latin-1 fallback
                  noxtest::captureStderr([&] { h = ncnv_loadConverter(path.c_str()); }));
        int error = noxtest::kUnset;
        EXPECT_EQ(c.mbCurMax, ncnv_MB_CUR_MAX(h, &error));
        const auto dump = noxtest::captureStdout([&] { ncnv_dumpUTF8(h, nullptr, nullptr); });
        EXPECT_EQ(c.records, std::count(dump.begin(), dump.end(), '\n')); // a line per record
        noxtest::forEachLevel([&] {
            EXPECT_EQ(std::pair(c.probe.toU, c.probe.toError),
                      s_convert<std::u16string>(ncnv_toUChars, h, c.probe.bytes));
            EXPECT_EQ(std::pair(c.probe.fromU, c.probe.fromError),
                      s_convert<std::string>(ncnv_fromUChars, h, c.probe.units));
        });
        ncnv_releaseConverter(h);
    }
}

} // namespace

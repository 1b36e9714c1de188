// process_test.cpp - behaviour resting on process-wide state: settings cached from the
// environment, best effort, the debug switches and the shared default converter. Each scenario
// runs in a child process of its own, so none depends on another's state.
#include "environment.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <tuple>

namespace {

// Inside a child: report a failed check on standard output and exit with 1.
#define CHILD_CHECK(c)                                                                             \
    if (!(c))                                                                                      \
    return std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #c), 1

const char* const kBestEffort = "NOX_UNICODE_CONVERT_BEST_EFFORT";

// Checks MB_CUR_MAX of `h`, then releases it.
int s_openClose(NoxUConverter* h, int mbCurMax)
{
    int error = 99;
    CHILD_CHECK(ncnv_MB_CUR_MAX(h, &error) == mbCurMax && error == 0);
    ncnv_releaseConverter(h);
    return 0;
}

TEST(ProcessTest, Scenarios)
{
    const noxtest::TempDir dir;
    const std::string t = dir.write("T.ucm", "# hello\n#\n<nox_lead_bytes> 01-7F:1 82:2 84:4\n"
                                             "<U0041> \\x41 |0\n<U3042> \\x82\\xA0 |0\n"
                                             "<U4E00> \\x84\\x30\\x81\\x30 |0\n#");
    const char* const ucm = dir.path().c_str();
    const auto abc = [] { return s_openClose(ncnv_getConverter("ABC"), 1); };
    const auto off = [] {
        return ncnv_getConvertBestEffort() ? 1 : s_openClose(ncnv_getConverter(nullptr), 1);
    };
    // Name, settings to change (null unsets; the rest are unset), scenario, exact standard error.
    std::vector<std::tuple<const char*, std::map<std::string, const char*>, std::function<int()>,
                           std::string>>
        scenarios = {
            {"code page read once, comment echo",
             {{"NOX_UCM_PATH", ucm}, {"QV_CODE_PAGE", "T"}, {"NOXUNICODE_DEBUG", "True"}},
             [] {
                 CHILD_CHECK(std::string(ncnv_getDefaultCodePageName()) == "T");
                 setenv("NOX_CODE_PAGE", "OTHER", 1);
                 return s_openClose(ncnv_getDefaultUConverter(), 4);
             },
             " hello\n\nConstructed converter for 3 characters.\n"},
            // UCM path: NOX_UCM_PATH if set (even empty), else QV_UCM_PATH, else "/".
            {"no path", {}, abc, "Cannot access '//ABC.ucm'\n"},
            {"second", {{"QV_UCM_PATH", "/qv"}}, abc, "Cannot access '/qv/ABC.ucm'\n"},
            {"first",
             {{"NOX_UCM_PATH", "/nox"}, {"QV_UCM_PATH", "/qv"}},
             abc,
             "Cannot access '/nox/ABC.ucm'\n"},
            {"empty",
             {{"NOX_UCM_PATH", ""}, {"QV_UCM_PATH", "/qv"}},
             abc,
             "Cannot access '/ABC.ucm'\n"},
            // Best effort, read once: an unmapped byte passes through as the unit of the same value
            // and back; a unit above 0xFF still fails. The pass-through needs room like any other.
            {"best effort",
             {{kBestEffort, "True"}},
             [&] {
                 CHILD_CHECK(ncnv_getConvertBestEffort());
                 unsetenv(kBestEffort);
                 NoxUConverter* h = ncnv_loadConverter(t.c_str());
                 UChar out[8], unit = 0x3000, *outPtr = &unit;
                 char bytes[4] = {};
                 int error = 99;
                 CHILD_CHECK(ncnv_mblen(h, "\xA0", 1, &error) == 1 && error == 99);
                 const char text[] = "A\xA0"
                                     "AA",
                            *src = text + 1;
                 CHILD_CHECK(ncnv_toUChars(h, out, 8, text, 5, &error) == 4 && error == 0);
                 CHILD_CHECK(out[0] == 0x41 && out[1] == 0xA0 && out[3] == 0x41 && out[4] == 0);
                 CHILD_CHECK(ncnv_fromUChars(h, bytes, 4, out + 1, 1, &error) == 1 && error == 0);
                 CHILD_CHECK(bytes[0] == '\xA0' && bytes[1] == 0);
                 CHILD_CHECK(ncnv_fromUChars(h, bytes, 4, &unit, 1, &error) == 0 && error == 16);
                 CHILD_CHECK(ncnv_toUChars(h, out, 2,
                                           "A\xA0"
                                           "A",
                                           3, &error) == 3 &&
                             error == 15);
                 CHILD_CHECK(ncnv_toUChars(h, out, 2, "AA\xA0", 3, &error) == 3 && error == 8);
                 ncnv_toUnicode(h, &outPtr, &unit, &src, text + 4, &error);
                 CHILD_CHECK(error == 15 && src == text + 1 && outPtr == &unit);
                 ncnv_toUnicode(h, &outPtr, &unit + 1, &src, text + 2, &error);
                 CHILD_CHECK(unit == 0xA0 && src == text + 2);
                 return s_openClose(h, 4);
             },
             "No mapping for character \\xA0\nNo mapping for character <U3000>\n"},
            {"true",
             {{kBestEffort, "true"}, {"NOXUNICODE_DEBUG", "true"}},
             off,
             ""}, // exactly "True"
            {"True ", {{kBestEffort, "True "}, {"NOXUNICODE_DEBUG", "True "}}, off, ""},
            {"empty", {{kBestEffort, ""}, {"NOXUNICODE_DEBUG", ""}}, off, ""},
            // The shared default converter: one handle, closed by the last release, rebuilt later.
            {"shared default converter",
             {{"NOXUNICODE_DEBUG", "True"}},
             [] {
                 NoxUConverter* a = ncnv_getDefaultUConverter();
                 CHILD_CHECK(a == ncnv_getDefaultUConverter() && a == ncnv_getDefaultUConverter());
                 ncnv_releaseConverter(a);
                 ncnv_releaseConverter(a);
                 CHILD_CHECK(s_openClose(a, 1) == 0); // the third release closes it
                 UChar out[2];
                 int error = 99;
                 CHILD_CHECK(ncnv_MB_CUR_MAX(a, &error) == 4 && error == 7);
                 ncnv_releaseConverter(a); // one release too many: no effect
                 CHILD_CHECK(ncnv_toUChars(a, out, 2, "A", 1, &error) == 0 && error == 7);
                 CHILD_CHECK(ncnv_mblen(a, "A", 1, &error) == -1 && error == 7);
                 ncnv_dumpUTF8(a, nullptr, nullptr);
                 CHILD_CHECK(ncnv_getDefaultUConverter() == a);
                 CHILD_CHECK(ncnv_toUChars(a, out, 2, "A", 1, &error) == 1 && error == 0);
                 return s_openClose(a, 1);
             },
             "Constructed converter for 256 characters.\n"
             "Constructed converter for 256 characters.\n"},
            // The trace shows each character looked up, even one without room, but not a cut-off
            // one.
            {"character trace",
             {{"NOXUNICODE_CHAR_DEBUG", "True"}},
             [&] {
                 NoxUConverter* h = ncnv_loadConverter(t.c_str());
                 UChar out[8];
                 char bytes[4];
                 int error = 99;
                 CHILD_CHECK(ncnv_toUChars(h, out, 8, "A\x82\xA0\x84\x30\x81\x30", 7, &error) == 3);
                 CHILD_CHECK(!error && ncnv_fromUChars(h, bytes, 4, out + 1, 1, &error) == 2 &&
                             !error);
                 CHILD_CHECK(ncnv_toUChars(h, nullptr, 0, "A\x82", 2, &error) == 1 && error == 8);
                 return s_openClose(h, 4);
             },
             "\t<U0041> \\x41\n\t<U3042> \\x82\\xA0\n\t<U4E00> \\x84\\x30\\x81\\x30\n"
             "\t<U3042> \\x82\\xA0\n\t<U0041> \\x41\n"},
        };
    for (auto& [name, env, body, err] : scenarios) {
        SCOPED_TRACE(name);
        for (const char* setting : {"NOX_UCM_PATH", "QV_UCM_PATH", "NOX_CODE_PAGE", "QV_CODE_PAGE",
                                    "NOXUNICODE_DEBUG", "NOXUNICODE_CHAR_DEBUG", kBestEffort}) {
            env.emplace(setting, nullptr);
        }
        const auto r = noxtest::runInChild(env, body);
        EXPECT_EQ(0, r.exitCode);
        EXPECT_EQ(err, r.err);
    }
}

} // namespace

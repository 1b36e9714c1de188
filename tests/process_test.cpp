// process_test.cpp - behaviour resting on process-wide state: settings cached from the
// environment, best effort, the debug switches and the shared default converter. Each scenario
// runs in a child process of its own, so none depends on another's state.
#include "environment.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

const char* const kBestEffort = "NOX_UNICODE_CONVERT_BEST_EFFORT";

// Checks MB_CUR_MAX of `h`, then releases it.
void s_openClose(noxtest::ChildChecks& checks, NoxUConverter* h, int mbCurMax)
{
    int error = noxtest::kUnset;
    checks.expect(ncnv_MB_CUR_MAX(h, &error) == mbCurMax && error == NCNV_OK, "MB_CUR_MAX");
    ncnv_releaseConverter(h);
}

struct Scenario {
    const char* name;
    std::map<std::string, const char*> env; // null unsets; every other setting is unset
    std::function<void(noxtest::ChildChecks&)> body;
    std::string err; // exactly what the child writes to standard error
};

TEST(ProcessTest, Scenarios)
{
    const noxtest::TempDir dir;
    const std::string t = dir.write("T.ucm", "# hello\n#\n<nox_lead_bytes> 01-7F:1 82:2 84:4\n"
                                             "<U0041> \\x41 |0\n<U3042> \\x82\\xA0 |0\n"
                                             "<U4E00> \\x84\\x30\\x81\\x30 |0\n#");
    dir.write("NOLEAD.ucm", "<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U0043> \\x43 |0\n");
    const char* const ucm = dir.path().c_str();
    const auto abc = [](noxtest::ChildChecks& checks) {
        s_openClose(checks, ncnv_getConverter("ABC"), 1);
    };
    const auto off = [](noxtest::ChildChecks& checks) {
        checks.expect(!ncnv_getConvertBestEffort(), "best effort off");
        s_openClose(checks, ncnv_getConverter(nullptr), 1);
    };
    const std::vector<Scenario> scenarios = {
        {"code page read once, comment echo",
         {{"NOX_UCM_PATH", ucm}, {"QV_CODE_PAGE", "T"}, {"NOXUNICODE_DEBUG", "True"}},
         [](noxtest::ChildChecks& checks) {
             checks.expect(std::string(ncnv_getDefaultCodePageName()) == "T", "default name");
             setenv("NOX_CODE_PAGE", "OTHER", 1);
             s_openClose(checks, ncnv_getDefaultUConverter(), 4);
         },
         " hello\n\nConstructed converter for 3 characters.\n"},
        // Mapping lines without a lead-byte line: an empty converter, whose load message
        // still counts the mapping lines the first pass found.
        {"no lead-byte line",
         {{"NOX_UCM_PATH", ucm}, {"NOXUNICODE_DEBUG", "True"}},
         [](noxtest::ChildChecks& checks) { s_openClose(checks, ncnv_getConverter("NOLEAD"), 0); },
         "Constructed converter for 3 characters.\n"},
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
        // (what else it changes: guard_page_best_effort_test, a child process of its own).
        {"best effort",
         {{kBestEffort, "True"}},
         [&t](noxtest::ChildChecks& checks) {
             checks.expect(ncnv_getConvertBestEffort(), "best effort on");
             unsetenv(kBestEffort);
             NoxUConverter* h = ncnv_loadConverter(t.c_str());
             noxtest::forEachLevel([&] {
                 const noxtest::Call toU = noxtest::toUChars(h, "A\xA0\x41\x41", 4, 8);
                 checks.expect(toU.result == 4 && toU.error == NCNV_OK && toU.out[1] == 0xA0,
                               "unit passed through");
             });
             s_openClose(checks, h, 4);
         },
         ""},
        // A file that passes the access test but cannot be opened (no file descriptor left):
        // the message, and the built-in table.
        {"open failed",
         {{"NOX_UCM_PATH", ucm}},
         [](noxtest::ChildChecks& checks) {
             // Only the soft limit, restored after the open, so that the child can still
             // write files at its exit (coverage counters).
             rlimit old = {};
             getrlimit(RLIMIT_NOFILE, &old);
             const rlimit none = {0, old.rlim_max};
             setrlimit(RLIMIT_NOFILE, &none);
             NoxUConverter* h = ncnv_getConverter("T");
             setrlimit(RLIMIT_NOFILE, &old);
             UChar out[2] = {};
             int error = noxtest::kUnset;
             checks.expect(ncnv_toUChars(h, out, 2, "\xE9", 1, &error) == 1 && out[0] == 0xE9,
                           "Latin-1 table");
             s_openClose(checks, h, 1);
         },
         "Open failed for '" + dir.path() + "/T.ucm'\n"},
        {"true", {{kBestEffort, "true"}, {"NOXUNICODE_DEBUG", "true"}}, off, ""},
        {"True ", {{kBestEffort, "True "}, {"NOXUNICODE_DEBUG", "True "}}, off, ""},
        {"empty switches", {{kBestEffort, ""}, {"NOXUNICODE_DEBUG", ""}}, off, ""},
        // The shared default converter: one handle, closed by the last release, rebuilt later.
        {"shared default converter",
         {{"NOXUNICODE_DEBUG", "True"}},
         [](noxtest::ChildChecks& checks) {
             NoxUConverter* a = ncnv_getDefaultUConverter();
             checks.expect(a == ncnv_getDefaultUConverter() && a == ncnv_getDefaultUConverter(),
                           "one default handle");
             ncnv_releaseConverter(a);
             ncnv_releaseConverter(a);
             s_openClose(checks, a, 1); // the third release closes it
             int error = noxtest::kUnset;
             checks.expect(ncnv_MB_CUR_MAX(a, &error) == 4 && error == NCNV_NO_CONVERTER,
                           "closed default handle");
             ncnv_releaseConverter(a); // one release too many: no effect
             const noxtest::Call closed = noxtest::toUChars(a, "A", 1, 2);
             checks.expect(closed.result == 0 && closed.error == NCNV_NO_CONVERTER, "no converter");
             checks.expect(ncnv_mblen(a, "A", 1, &error) == -1 && error == NCNV_NO_CONVERTER,
                           "mblen without converter");
             ncnv_dumpUTF8(a, nullptr, nullptr);
             checks.expect(ncnv_getDefaultUConverter() == a, "the same handle again");
             const noxtest::Call again = noxtest::toUChars(a, "A", 1, 2);
             checks.expect(again.result == 1 && again.error == NCNV_OK, "rebuilt");
             s_openClose(checks, a, 1);
         },
         "Constructed converter for 256 characters.\n"
         "Constructed converter for 256 characters.\n"},
        // The trace shows each character looked up, even one without room, but not a cut-off
        // one, at every level.
        {"character trace",
         {{"NOXUNICODE_CHAR_DEBUG", "True"}},
         [&t](noxtest::ChildChecks& checks) {
             NoxUConverter* h = ncnv_loadConverter(t.c_str());
             noxtest::forEachLevel([&] {
                 int error = noxtest::kUnset;
                 UChar out[8];
                 char bytes[4];
                 checks.expect(ncnv_toUChars(h, out, 8, "A\x82\xA0\x84\x30\x81\x30", 7, &error) ==
                                       3 &&
                                   error == NCNV_OK,
                               "three characters");
                 checks.expect(ncnv_fromUChars(h, bytes, 4, out + 1, 1, &error) == 2 &&
                                   error == NCNV_OK,
                               "back");
                 checks.expect(ncnv_toUChars(h, nullptr, 0, "A\x82", 2, &error) == 1 &&
                                   error == NCNV_INDEX_OUTOFBOUNDS,
                               "cut off");
                 const char* source = "A\x82\xA0";
                 UChar* target = out;
                 ncnv_toUnicode(h, &target, out + 8, &source, source + 3, &error);
                 checks.expect(target == out + 2, "pointer range traced");
             });
             s_openClose(checks, h, 4);
         },
         [] {
             std::string once = "\t<U0041> \\x41\n\t<U3042> \\x82\\xA0\n\t<U4E00> "
                                "\\x84\\x30\\x81\\x30\n\t<U3042> \\x82\\xA0\n\t<U0041> \\x41\n"
                                "\t<U0041> \\x41\n\t<U3042> \\x82\\xA0\n";
             std::string retval;
             for (size_t i = 0; i < noxtest::kernelLevels().size(); ++i) {
                 retval += once;
             }
             return retval;
         }()},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        noxtest::expectInChild(s.env, s.body, s.err);
    }
}

} // namespace

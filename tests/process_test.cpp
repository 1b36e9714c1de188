// process_test.cpp - behaviour that rests on process-wide state: settings cached from the
// environment, best-effort mode, the debug switches and the shared default converter. Each
// scenario runs in a child process of its own, so no test depends on another's state.
#include "environment.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using noxtest::kSmallUcm;
using noxtest::runInChild;
using noxtest::TempDir;

// Inside a child: report a failed check on standard output (standard error is captured for
// the messages under test) and make the child exit with 1.
#define CHILD_CHECK(cond)                                                                      \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);             \
            return 1;                                                                          \
        }                                                                                      \
    } while (0)

const char* const kUnset = nullptr;

std::map<std::string, const char*> s_cleanEnv(std::map<std::string, const char*> extra = {})
{
    std::map<std::string, const char*> env = {
        {"NOX_UCM_PATH", kUnset},    {"QV_UCM_PATH", kUnset},
        {"NOX_CODE_PAGE", kUnset},   {"QV_CODE_PAGE", kUnset},
        {"NOXUNICODE_DEBUG", kUnset}, {"NOXUNICODE_CHAR_DEBUG", kUnset},
        {"NOX_UNICODE_CONVERT_BEST_EFFORT", kUnset},
    };
    for (const auto& [name, value] : extra) {
        env[name] = value;
    }
    return env;
}

TEST(SettingsTest, UcmPathChoices)
{
    struct Case {
        const char* name;
        const char* nox;
        const char* qv;
        const char* expectedPath;
        const char* message;
    } cases[] = {
        {"neither set", kUnset, kUnset, "/", "Cannot access '//ABC.ucm'\n"},
        {"empty counts as set", "", "/qv", "", "Cannot access '/ABC.ucm'\n"},
        {"second choice", kUnset, "/qv", "/qv", "Cannot access '/qv/ABC.ucm'\n"},
        {"first choice", "/nox", "/qv", "/nox", "Cannot access '/nox/ABC.ucm'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = runInChild(s_cleanEnv({{"NOX_UCM_PATH", c.nox}, {"QV_UCM_PATH", c.qv}}), [&] {
            CHILD_CHECK(std::strcmp(ncnv_getUCMDataPath(), c.expectedPath) == 0);
            NoxUConverter* h = ncnv_getConverter("ABC");
            CHILD_CHECK(ncnv_MB_CUR_MAX(h, nullptr) == 1);
            ncnv_releaseConverter(h);
            return 0;
        });
        EXPECT_EQ(0, r.exitCode);
        EXPECT_EQ(c.message, r.err);
    }
}

TEST(SettingsTest, CodePageChoicesAndCaching)
{
    const auto r = runInChild(s_cleanEnv({{"QV_CODE_PAGE", "SJIS"}}), [] {
        CHILD_CHECK(std::strcmp(ncnv_getDefaultCodePageName(), "SJIS") == 0);
        setenv("NOX_CODE_PAGE", "OTHER", 1);
        setenv("NOX_UCM_PATH", "/later", 1);
        CHILD_CHECK(std::strcmp(ncnv_getDefaultCodePageName(), "SJIS") == 0);
        return 0;
    });
    EXPECT_EQ(0, r.exitCode);
    const auto latin = runInChild(s_cleanEnv(), [] {
        CHILD_CHECK(std::strcmp(ncnv_getDefaultCodePageName(), "LATIN_1") == 0);
        NoxUConverter* h = ncnv_getConverter(nullptr);
        int error = 99;
        CHILD_CHECK(ncnv_MB_CUR_MAX(h, &error) == 1 && error == 0);
        ncnv_releaseConverter(h);
        return 0;
    });
    EXPECT_EQ(0, latin.exitCode);
    EXPECT_EQ("", latin.err);
}

TEST(SettingsTest, BestEffortNeedsExactlyTrue)
{
    struct Case {
        const char* value;
        bool on;
    } cases[] = {{"True", true}, {"true", false}, {"TRUE", false}, {"True ", false}, {"", false}, {kUnset, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value == nullptr ? "(unset)" : c.value);
        const auto r = runInChild(s_cleanEnv({{"NOX_UNICODE_CONVERT_BEST_EFFORT", c.value}}), [&] {
            CHILD_CHECK(ncnv_getConvertBestEffort() == c.on);
            unsetenv("NOX_UNICODE_CONVERT_BEST_EFFORT");
            CHILD_CHECK(ncnv_getConvertBestEffort() == c.on);
            return 0;
        });
        EXPECT_EQ(0, r.exitCode);
    }
}

TEST(BestEffortTest, UnmappedCharactersPassThrough)
{
    TempDir dir;
    const std::string path = dir.write("small.ucm", kSmallUcm);
    const auto r = runInChild(s_cleanEnv({{"NOX_UNICODE_CONVERT_BEST_EFFORT", "True"}}), [&] {
        NoxUConverter* h = ncnv_loadConverter(path.c_str());
        UChar out[8];
        int error = 99;
        const char text[] = "A\xA0" "BC";
        CHILD_CHECK(ncnv_toUChars(h, out, 8, text, 5, &error) == 4 && error == 0);
        CHILD_CHECK(out[0] == 0x41 && out[1] == 0xA0 && out[2] == 0x42 && out[3] == 0x43 && out[4] == 0);
        CHILD_CHECK(ncnv_toUChars(h, out, 2, "A\xA0" "B", 3, &error) == 3 && error == 15);
        CHILD_CHECK(ncnv_toUChars(h, out, 2, "AB\xA0", 3, &error) == 3 && error == 8);
        CHILD_CHECK(ncnv_toUChars(h, nullptr, 0, "\xA0", 1, &error) == 1 && error == 8);

        char bytes[4] = {};
        const UChar eAcute = 0xE9;
        const UChar hiragana = 0x3042;
        CHILD_CHECK(ncnv_fromUChars(h, bytes, 4, &eAcute, 1, &error) == 1 && error == 0);
        CHILD_CHECK(bytes[0] == '\xE9' && bytes[1] == 0);
        CHILD_CHECK(ncnv_fromUChars(h, bytes, 4, &hiragana, 1, &error) == 0 && error == 16);

        UChar unit = 0;
        UChar* outPtr = &unit;
        const char* src = text + 1;
        error = 99;
        ncnv_toUnicode(h, &outPtr, &unit, &src, text + 4, &error);
        CHILD_CHECK(error == 15 && src == text + 1);
        outPtr = &unit;
        ncnv_toUnicode(h, &outPtr, &unit + 1, &src, text + 2, &error);
        CHILD_CHECK(unit == 0xA0 && src == text + 2);

        error = 99;
        CHILD_CHECK(ncnv_mblen(h, "\xA0", 1, &error) == 1 && error == 99);
        ncnv_releaseConverter(h);
        return 0;
    });
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("No mapping for character <U3042>\nNo mapping for character \\xA0\n", r.err);
}

TEST(DefaultConverterTest, CountedSharedHandle)
{
    const auto r = runInChild(s_cleanEnv(), [] {
        NoxUConverter* a = ncnv_getDefaultUConverter();
        NoxUConverter* b = ncnv_getDefaultUConverter();
        NoxUConverter* c = ncnv_getDefaultUConverter();
        CHILD_CHECK(a == b && b == c);
        int error = 99;
        CHILD_CHECK(ncnv_MB_CUR_MAX(a, &error) == 1 && error == 0);
        ncnv_releaseConverter(a);
        ncnv_releaseConverter(b);
        CHILD_CHECK(ncnv_MB_CUR_MAX(a, &error) == 1 && error == 0);
        ncnv_releaseConverter(c);
        CHILD_CHECK(ncnv_MB_CUR_MAX(a, &error) == 4 && error == 7);
        ncnv_releaseConverter(a); // one release too many: no effect
        UChar out[2];
        CHILD_CHECK(ncnv_toUChars(a, out, 2, "A", 1, &error) == 0 && error == 7);
        CHILD_CHECK(ncnv_mblen(a, "A", 1, &error) == -1 && error == 7);
        ncnv_dumpUTF8(a, nullptr, nullptr);
        // A later request builds a fresh default converter.
        NoxUConverter* d = ncnv_getDefaultUConverter();
        CHILD_CHECK(d == a && ncnv_toUChars(d, out, 2, "A", 1, &error) == 1 && error == 0);
        ncnv_releaseConverter(d);
        return 0;
    });
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
}

TEST(DefaultConverterTest, FollowsCodePageSetting)
{
    TempDir dir;
    dir.write("SMALL.ucm", kSmallUcm);
    const auto r = runInChild(
        s_cleanEnv({{"NOX_UCM_PATH", dir.path().c_str()}, {"NOX_CODE_PAGE", "SMALL"}}), [] {
            NoxUConverter* h = ncnv_getDefaultUConverter();
            CHILD_CHECK(ncnv_MB_CUR_MAX(h, nullptr) == 2);
            ncnv_releaseConverter(h);
            return 0;
        });
    EXPECT_EQ(0, r.exitCode);
}

TEST(DebugSwitchTest, LoadMessagesAndCommentEcho)
{
    TempDir dir;
    dir.write("DBG.ucm", "# hello\n#\n<nox_lead_bytes> 01-7F:1\n<U0041> \\x41 |0\n#");
    const auto r = runInChild(s_cleanEnv({{"NOXUNICODE_DEBUG", "True"}}), [&] {
        NoxUConverter* h = ncnv_getConverter(nullptr);
        ncnv_releaseConverter(h);
        NoxUConverter* byName = ncnv_getConverter(nullptr);
        ncnv_releaseConverter(byName);
        return 0;
    });
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("Constructed converter for 256 characters.\nConstructed converter for 256 characters.\n", r.err);

    const auto file = runInChild(
        s_cleanEnv({{"NOXUNICODE_DEBUG", "True"}, {"NOX_UCM_PATH", dir.path().c_str()}}), [] {
            NoxUConverter* h = ncnv_getConverter("DBG");
            ncnv_releaseConverter(h);
            return 0;
        });
    EXPECT_EQ(0, file.exitCode);
    EXPECT_EQ(" hello\n\nConstructed converter for 1 characters.\n", file.err);

    const auto off = runInChild(s_cleanEnv({{"NOXUNICODE_DEBUG", "true"}, {"NOX_UCM_PATH", dir.path().c_str()}}), [] {
        ncnv_releaseConverter(ncnv_getConverter("DBG"));
        return 0;
    });
    EXPECT_EQ("", off.err);
}

TEST(DebugSwitchTest, CharacterTrace)
{
    TempDir dir;
    const std::string path = dir.write(
        "t.ucm", "<nox_lead_bytes> 01-7F:1 82:2 84:4\n<U0041> \\x41 |0\n<U3042> \\x82\\xA0 |0\n"
                 "<U4E00> \\x84\\x30\\x81\\x30 |0\n");
    const auto r = runInChild(s_cleanEnv({{"NOXUNICODE_CHAR_DEBUG", "True"}}), [&] {
        NoxUConverter* h = ncnv_loadConverter(path.c_str());
        UChar out[8];
        int error = 0;
        const char text[] = "A\x82\xA0\x84\x30\x81\x30";
        CHILD_CHECK(ncnv_toUChars(h, out, 8, text, 7, &error) == 3 && error == 0);
        // A character without room is traced too; a cut-off one is not looked up at all.
        CHILD_CHECK(ncnv_toUChars(h, nullptr, 0, "A\x82", 2, &error) == 1 && error == 8);
        const UChar units[] = {0x3042};
        char bytes[4];
        CHILD_CHECK(ncnv_fromUChars(h, bytes, 4, units, 1, &error) == 2 && error == 0);
        ncnv_releaseConverter(h);
        return 0;
    });
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("\t<U0041> \\x41\n\t<U3042> \\x82\\xA0\n\t<U4E00> \\x84\\x30\\x81\\x30\n"
              "\t<U0041> \\x41\n\t<U3042> \\x82\\xA0\n",
              r.err);
}

} // namespace

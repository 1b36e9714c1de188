// process_test.cpp - process-wide state, each scenario in a child process: settings cached from
// the environment, debug switches, the shared default converter, tables shared by converters.
#include "NoxUCharConverter.h"
#include "environment.h"
#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Checks MB_CUR_MAX of `h`, then releases it.
void s_openClose(noxtest::ChildChecks& checks, NoxUConverter* h, int mbCurMax)
{
    int error = noxtest::kUnset;
    checks.expect(ncnv_MB_CUR_MAX(h, &error) == mbCurMax && error == NCNV_OK, "MB_CUR_MAX");
    ncnv_releaseConverter(h);
}

// The unit that the byte 'A' converts to.
unsigned s_unitOf(NoxUConverter* h)
{
    return noxtest::toUChars(h, "A", 1, 1).out[0];
}

struct Scenario {
    const char* name;
    std::map<std::string, const char*> env; // null unsets; every other setting is unset
    std::function<void(noxtest::ChildChecks&)> body;
    std::string err = ""; // exactly what the child writes to standard error
};

TEST(ProcessTest, Scenarios)
{
    const noxtest::TempDir dir;
    const std::string t = dir.write("T.ucm", "# hello\n#\n<nox_lead_bytes> 01-7F:1 82:2 84:4\n"
                                             "<U0041> \\x41 |0\n<U3042> \\x82\\xA0 |0\n"
                                             "<U4E00> \\x84\\x30\\x81\\x30 |0\n#");
    dir.write("NOLEAD.ucm",
              "<U0041> \\x41 |0\n<U0042> \\x42 |2\n<U0043> \\x43 |0\nUnknown header\n");
    const char* const ucm = dir.path().c_str();
    const auto abc = [](noxtest::ChildChecks& checks) {
        s_openClose(checks, ncnv_getConverter("A"), 1);
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
        // Mapping lines without a lead-byte line: an empty converter, whose load message counts
        // the lines that begin like a mapping line, parsed or not.
        {"no lead-byte line",
         {{"NOX_UCM_PATH", ucm}, {"NOXUNICODE_DEBUG", "True"}},
         [](noxtest::ChildChecks& checks) { s_openClose(checks, ncnv_getConverter("NOLEAD"), 0); },
         "Constructed converter for 4 characters.\n"},
        // UCM path: NOX_UCM_PATH if set (even empty), else QV_UCM_PATH, else "/".
        {"no path", {}, abc, "Cannot access '//A.ucm'\n"},
        // clang-format off
        {"second", {{"QV_UCM_PATH", "/q"}}, abc, "Cannot access '/q/A.ucm'\n"},
        {"first", {{"NOX_UCM_PATH", "/n"}, {"QV_UCM_PATH", "/q"}}, abc, "Cannot access '/n/A.ucm'\n"},
        {"empty", {{"NOX_UCM_PATH", ""}, {"QV_UCM_PATH", "/q"}}, abc, "Cannot access '/A.ucm'\n"},
        // clang-format on
        // Under the debug switch every open reads its file (echoing its comments), also while
        // another converter has it open and once the switch comes on after a table was shared.
        {"nothing shared under the debug switch",
         {{"NOX_UCM_PATH", ucm}},
         [&t](noxtest::ChildChecks& checks) {
             const NoxUCharConverter quiet(t.c_str());
             setenv("NOXUNICODE_DEBUG", "True", 1);
             NoxUConverter* a = ncnv_getConverter("T");
             NoxUConverter* b = ncnv_getConverter("T");
             const NoxUCharConverter byPath(t.c_str());
             const NoxUCharConverter copy(byPath);
             checks.expect(byPath.data != quiet.data && copy.data != byPath.data, "own tables");
             checks.expect(s_unitOf(a) == 0x41 && s_unitOf(b) == 0x41, "conversions");
             ncnv_releaseConverter(a);
             ncnv_releaseConverter(b);
         },
         " hello\n\nConstructed converter for 3 characters.\n hello\n\n"
         "Constructed converter for 3 characters.\n hello\n\n hello\n\n"},
        // The shared default converter: one handle, closed by the last release, rebuilt later.
        {"shared default converter",
         {{"NOXUNICODE_DEBUG", "True"}},
         [](noxtest::ChildChecks& checks) {
             NoxUConverter* a = ncnv_getDefaultUConverter();
             checks.expect(a == ncnv_getDefaultUConverter(), "one default handle");
             ncnv_releaseConverter(a);
             s_openClose(checks, a, 1); // the second release closes it
             ncnv_releaseConverter(a);  // one release too many: no effect
             checks.expect(noxtest::toUChars(a, "A", 1, 2).error == NCNV_NO_CONVERTER, "closed");
             checks.expect(ncnv_getDefaultUConverter() == a, "the same handle again");
             checks.expect(noxtest::toUChars(a, "A", 1, 2).result == 1, "rebuilt");
             s_openClose(checks, a, 1);
         },
         "Constructed converter for 256 characters.\n"
         "Constructed converter for 256 characters.\n"},
        // Best effort is fixed by the first character without a record, also a unit above 0xFF
        // that it could not pass through.
        {"best effort fixed at the first unmapped character",
         {{"NOX_UCM_PATH", ucm}},
         [](noxtest::ChildChecks& checks) {
             NoxUConverter* h = ncnv_getConverter("T");
             const noxtest::Call first = noxtest::fromUChars(h, u"\x3042\x4E01", 2, 4);
             setenv("NOX_UNICODE_CONVERT_BEST_EFFORT", "True", 1);
             const noxtest::Call later = noxtest::fromUChars(h, u"\xE9", 1, 4);
             checks.expect(first.error == NCNV_UNSUPPORTED && later.error == NCNV_UNSUPPORTED &&
                               later.message == "No mapping for character <U00E9>\n",
                           "still off");
             s_openClose(checks, h, 4);
         }},
        // The trace shows each character looked up, even one without room, but not a cut-off
        // one, at every level.
        {"character trace",
         {{"NOXUNICODE_CHAR_DEBUG", "True"}},
         [&t](noxtest::ChildChecks& checks) {
             NoxUConverter* h = ncnv_loadConverter(t.c_str());
             noxtest::forEachLevel([&] {
                 checks.expect(noxtest::toUChars(h, "A\x82\xA0\x84\x30\x81\x30", 7, 2).message +
                                       noxtest::fromUChars(h, u"\x3042", 1, 2).message +
                                       noxtest::toUChars(h, "A\x82", 2, -1).message ==
                                   "\t<U0041> \\x41\n\t<U3042> \\x82\\xA0\n\t<U4E00> "
                                   "\\x84\\x30\\x81\\x30\n\t<U3042> \\x82\\xA0\n\t<U0041> \\x41\n",
                               "trace");
             });
             s_openClose(checks, h, 4);
         }},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        noxtest::expectInChild(s.env, s.body, s.err);
    }
}

// The converters of one unchanged file, by path, by name or as copies, share its records,
// indexes and kernels' tables, and handles released in any order leave the others working. A
// file changed in any of the ways that the key sees is read again; the converters that had
// the old one open keep converting with it.
TEST(SharedTableTest, OneTablePerUnchangedFile)
{
    const noxtest::TempDir dir;
    const std::string path = dir.path() + "/T.ucm";
    const std::string lead = "<nox_lead_bytes> 01-7F:1\n";
    const auto write = [&](const std::string& file, char mapsTo, time_t seconds) {
        dir.write(file, lead + "<U004" + std::string(1, mapsTo) + "> \\x41 |0\n");
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        utimensat(AT_FDCWD, (dir.path() + "/" + file).c_str(), times, 0);
    };
    noxtest::expectInChild({}, [&](noxtest::ChildChecks& checks) {
        write("T.ucm", '1', 1000000000);
        const NoxUCharConverter a(path.c_str());
        const NoxUCharConverter byName(dir.path().c_str(), "T");
        const NoxUCharConverter copy(a);
        checks.expect(a.data == byName.data && a.data == copy.data &&
                          a.unicodeData == byName.unicodeData && a.mbcsData == byName.mbcsData &&
                          a.kernelTables == byName.kernelTables && a.kernelTables != nullptr,
                      "one table");
        NoxUConverter* released = ncnv_loadConverter(path.c_str());
        NoxUConverter* original = ncnv_loadConverter(path.c_str());
        ncnv_releaseConverter(released);
        write("T.ucm", '2', 1000000001); // same size, written in place
        NoxUConverter* rewritten = ncnv_loadConverter(path.c_str());
        dir.write("T.ucm", lead + "<U0043> \\x41 |0\n# a comment\n"); // another size
        NoxUConverter* grown = ncnv_loadConverter(path.c_str());
        write("new.ucm", '4', 1000000000); // same size and time, but another file
        std::rename((dir.path() + "/new.ucm").c_str(), path.c_str());
        NoxUConverter* replaced = ncnv_loadConverter(path.c_str());
        NoxUConverter* again = ncnv_loadConverter(path.c_str());
        const std::pair<NoxUConverter*, unsigned> units[] = {
            {original, 0x41}, {rewritten, 0x42}, {grown, 0x43}, {replaced, 0x44}, {again, 0x44}};
        for (const auto& [h, unit] : units) {
            checks.expect(s_unitOf(h) == unit, "the unit of the file when it was opened");
            ncnv_releaseConverter(h);
        }
    });
}

// The kernels' tables come once the table's converters have taken the threshold's characters
// one at a time, or with a text that long, once for all the converters of the table; an open,
// a short text, or a conversion at the exact level builds none. A conversion that reaches the
// threshold goes on with the kernels and converts as before.
TEST(SharedTableTest, KernelTablesComeAfterTheFirstCharactersOrWithALongText)
{
    const noxtest::TempDir dir;
    const std::string table = "<nox_lead_bytes> 01-7F:1 81:2\n<U0041> \\x41 |0\n"
                              "<U3000> \\x81\\x40 |0\n";
    const std::string path = dir.write("T.ucm", table);
    const std::string copy = dir.write("U.ucm", table);
    noxtest::expectInChild({}, [&](noxtest::ChildChecks& checks) {
        nox::setKernelTablesAfter(6);
        const NoxUCharConverter a(path.c_str());
        const NoxUCharConverter b(path.c_str());
        checks.expect(a.tableBytes() == 0 && b.tableBytes() == 0, "none at the open");
        UChar units[64] = {};
        int error = noxtest::kUnset;
        nox::setKernelCeiling(nox::KernelLevel::Exact);
        a.toUChars(units, 64, "AAAAAAAA", -1, &error);
        checks.expect(a.tableBytes() == 0, "none at the exact level");
        nox::setKernelCeiling(nox::KernelLevel::Scalar);
        a.toUChars(units, 64, "A\x81@A", 4, &error);
        checks.expect(a.tableBytes() == 0, "none for three characters of six");
        const int count = b.toUChars(units, 64, "A\x81@AAAAAAAAAAAAAAAAAAAAAA\x81@", -1, &error);
        const std::u16string expected = u"A\u3000AAAAAAAAAAAAAAAAAAAAAA\u3000";
        checks.expect(error == NCNV_OK && std::u16string(units, units + count) == expected,
                      "the text that reaches the threshold converts whole");
        checks.expect(a.tableBytes() != 0 && a.tableBytes() == b.tableBytes(),
                      "one build for every converter of the table");
        const NoxUCharConverter c(copy.c_str());
        char bytes[8] = {};
        const UChar six[] = {'A', 'A', 'A', 'A', 'A', 'A'};
        c.fromUChars(bytes, 8, six, 6, &error);
        checks.expect(c.tableBytes() != 0, "a text as long as the threshold builds at once");
    });
}

} // namespace

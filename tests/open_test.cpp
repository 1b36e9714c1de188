// open_test.cpp - opening a converter: the order of the two indexes, the one-pass file reader,
// and tables shared between the converters of one unchanged file (process-wide state: those
// cases run in child processes). That the kernels' tables hold what the lookups find is seen
// from outside, at every level, by levels_test and reference_test.
#include "NoxUCharConverter.h"
#include "test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using noxtest::TempDir;

// A table of `count` records over a few values and byte sequences, so that most keys repeat
// with every mix of precisions; characters of one to four bytes, under lead bytes of every
// length, one-byte records for two-byte leads among them.
std::string s_duplicateHeavyTable(unsigned seed, int count)
{
    std::mt19937 rng(seed);
    const unsigned values[] = {0x41, 0x42, 0xE9, 0x3000, 0x3001, 0x4E00, 0xFFFF, 0x100};
    const unsigned firsts[] = {0x41, 0x42, 0x81, 0x82, 0xA1, 0xC1, 0xFF};
    const unsigned others[] = {0x40, 0x41, 0xFE};
    const char precisions[] = {'0', '1', '3'};
    std::string retval = "<nox_lead_bytes> 01-7F:1 80-9F:2 A0-BF:3 C0-FF:4\n";
    for (int i = 0; i < count; ++i) {
        char line[64];
        int at = std::snprintf(line, sizeof line, "<U%04X> \\x%02X", values[rng() % 8],
                               firsts[rng() % 7]);
        for (unsigned k = rng() % 4; k > 0; --k) {
            at += std::snprintf(line + at, sizeof line - at, "\\x%02X", others[rng() % 3]);
        }
        std::snprintf(line + at, sizeof line - at, " |%c\n", precisions[rng() % 3]);
        retval += line;
    }
    return retval;
}

// Shipped pages and the stress tables: several duplicate-heavy ones, one of 100000 records
// (every record a different key), and tables whose lines come in and against the order.
std::vector<std::string> s_tablesToCheck(const TempDir& dir)
{
    std::vector<std::string> retval = noxtest::shippedCodePages();
    int n = 0;
    for (const int count : {1, 2, 3, 40, 300, 5000}) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            retval.push_back(dir.write("dups" + std::to_string(++n) + ".ucm",
                                       s_duplicateHeavyTable(seed, count)));
        }
    }
    std::vector<std::string> lines;
    for (unsigned i = 0; i < 100000; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X\\x%02X\\x%02X\\x%02X |%c\n", i % 0xFFFF,
                      1 + i % 255, 1 + i / 255 % 255, 1 + i / 65025, 0xFF - i % 7, "013"[i % 3]);
        lines.emplace_back(line);
    }
    std::string forward = "<nox_lead_bytes> 01-FF:4\n";
    std::string backward = forward;
    for (size_t i = 0; i < lines.size(); ++i) {
        forward += lines[i];
        backward += lines[lines.size() - 1 - i];
    }
    retval.push_back(dir.write("forward.ucm", forward));
    retval.push_back(dir.write("backward.ucm", backward));
    return retval;
}

std::vector<NoxUCharMapping*> s_inQsortOrder(const NoxUCharConverter& c,
                                             int (*compare)(const void*, const void*))
{
    std::vector<NoxUCharMapping*> retval;
    for (uint32_t i = 0; i < c.dataLen; ++i) {
        retval.push_back(&c.data[i]);
    }
    std::qsort(retval.data(), retval.size(), sizeof retval[0], compare);
    return retval;
}

// The indexes hold exactly the order that qsort gave them with the records' comparators (on
// this system a stable merge sort): among equal keys, which record comes first decides what
// a lookup returns.
TEST(OpenTest, IndexesInTheOrderOfTheRuntimeSort)
{
    const TempDir dir;
    for (const std::string& path : s_tablesToCheck(dir)) {
        SCOPED_TRACE(path);
        const NoxUCharConverter c(path.c_str());
        ASSERT_GT(c.dataLen, 0u);
        const std::vector<NoxUCharMapping*> unicode(c.unicodeData, c.unicodeData + c.dataLen);
        const std::vector<NoxUCharMapping*> bytes(c.mbcsData, c.mbcsData + c.dataLen);
        EXPECT_TRUE(unicode == s_inQsortOrder(c, local_s_compareUnicode));
        EXPECT_TRUE(bytes == s_inQsortOrder(c, local_s_compareMBCS));
    }
}

// Mapping lines as short as a line can be, with and without a newline at the end, CR LF
// lines, text after the precision marker, and a line of 100000 characters: the reader keeps
// room for every record and reads every line whole.
TEST(OpenTest, ReaderTakesEveryLine)
{
    const TempDir dir;
    std::string shortest = "<nox_lead_bytes> 01-7F:1\n";
    for (int i = 0; i < 3000; ++i) {
        shortest += "U0041\\x4|\n";
    }
    const struct {
        const char* name;
        std::string content;
        uint32_t records;
    } cases[] = {
        {"shortest lines", shortest, 3000},
        {"no newline at the end", shortest + "U0042\\x4|", 3001},
        {"CR LF", "<nox_lead_bytes> 01-7F:1\r\n<U0041> \\x41 |0\r\n<U0042> \\x42 |0\r\n", 2},
        {"text after the marker, no newline at the end",
         "<nox_lead_bytes> 01-7F:1\n<U0041> \\x41 |0 # A\n<U0042> \\x42 |3\n\n<U0043> \\x43 |1", 3},
        {"long line", "<nox_lead_bytes> 01-7F:1\n" + std::string(100000, '#') + "\nU0041\\x4|", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const NoxUCharConverter converter(dir.write("read.ucm", c.content).c_str());
        EXPECT_EQ(c.records, converter.dataLen);
    }
}

// A file that is no regular file (here a pipe) tells no size to plan the room for its
// records by: the room grows as they come, and the table is the one the same lines give
// from a regular file, record for record and in the same index order.
TEST(OpenTest, PipeGivesTheTableOfItsLines)
{
    const TempDir dir;
    const std::string content = s_duplicateHeavyTable(7, 5000);
    const std::string file = dir.write("table.ucm", content);
    const std::string pipe = dir.path() + "/pipe.ucm";
    ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
    std::thread writer([&] {
        const int fd = open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
        for (size_t at = 0; fd >= 0 && at < content.size();) {
            const ssize_t n = write(fd, content.data() + at, content.size() - at);
            at += n > 0 ? static_cast<size_t>(n) : content.size();
        }
        close(fd);
    });
    const NoxUCharConverter fromPipe(pipe.c_str());
    writer.join();
    const NoxUCharConverter fromFile(file.c_str());
    ASSERT_EQ(5000u, fromFile.dataLen);
    ASSERT_EQ(fromFile.dataLen, fromPipe.dataLen);
    for (uint32_t i = 0; i < fromFile.dataLen; ++i) {
        const NoxUCharMapping& want = fromFile.data[i];
        const NoxUCharMapping& got = fromPipe.data[i];
        EXPECT_EQ(want.mappingType, got.mappingType) << i;
        EXPECT_EQ(want.getUnicode(), got.getUnicode()) << i;
        EXPECT_EQ(want.getPackedMBCS(), got.getPackedMBCS()) << i;
        EXPECT_EQ(fromFile.unicodeData[i] - fromFile.data, fromPipe.unicodeData[i] - fromPipe.data);
        EXPECT_EQ(fromFile.mbcsData[i] - fromFile.data, fromPipe.mbcsData[i] - fromPipe.data);
    }
}

// ---------------------------------------------------------------- shared tables

// The unit that the single byte `byte` converts to, 0 where it has none.
UChar s_unitOf(NoxUConverter* h, char byte)
{
    UChar out[2] = {};
    int error = noxtest::kUnset;
    const char in[2] = {byte, 0};
    noxtest::captureStderr([&] { ncnv_toUChars(h, out, 2, in, 1, &error); });
    return error == NCNV_OK ? out[0] : 0;
}

TEST(SharedTableTest, ConvertersOfOneFileShareItsTable)
{
    const TempDir dir;
    const std::string path = dir.write("T.ucm", "<nox_lead_bytes> 01-7F:1 81:2\n<U0041> \\x41 |0\n"
                                                "<U3000> \\x81\\x40 |0\n");
    noxtest::expectInChild(
        {{"NOX_UCM_PATH", dir.path().c_str()}},
        [&](noxtest::ChildChecks& checks) {
            const NoxUCharConverter a(path.c_str());
            const NoxUCharConverter byName(dir.path().c_str(), "T");
            const NoxUCharConverter copy(a);
            checks.expect(a.data == byName.data && a.data == copy.data, "one array of records");
            checks.expect(a.unicodeData == byName.unicodeData && a.mbcsData == byName.mbcsData,
                          "indexes");
            checks.expect(a.kernelTables == byName.kernelTables && a.kernelTables != nullptr,
                          "kernel tables");
            checks.expect(byName.getCodePageName() != nullptr && a.getCodePageName() == nullptr,
                          "origin");
            checks.expect(a.leadBytes.cur_max == 2 && copy.leadBytes.bytes[0x81] == 2,
                          "lead bytes");
            // Handles released in any order leave the others working on the same table.
            NoxUConverter* first = ncnv_getConverter("T");
            NoxUConverter* second = ncnv_loadConverter(path.c_str());
            ncnv_releaseConverter(first);
            checks.expect(s_unitOf(second, 'A') == 0x41, "converts after another handle's release");
            ncnv_releaseConverter(second);
            const NoxUCharConverter latin(dir.path().c_str(), "LATIN_1");
            const NoxUCharConverter fallback((dir.path() + "/absent.ucm").c_str());
            checks.expect(latin.data == fallback.data && latin.dataLen == 256,
                          "the built-in table");
        },
        "Cannot access '" + dir.path() + "/absent.ucm'\n");
}

// The kernels' tables come with the first conversion that runs a kernel, once for all the
// converters of the table; an open, or a conversion at the exact level, builds none.
TEST(SharedTableTest, KernelTablesComeWithTheFirstKernelConversion)
{
    const TempDir dir;
    const std::string path = dir.write("T.ucm", "<nox_lead_bytes> 01-7F:1 81:2\n<U0041> \\x41 |0\n"
                                                "<U3000> \\x81\\x40 |0\n");
    noxtest::expectInChild({}, [&](noxtest::ChildChecks& checks) {
        const noxtest::CeilingGuard guard;
        const NoxUCharConverter a(path.c_str());
        const NoxUCharConverter b(path.c_str());
        checks.expect(a.tableBytes() == 0 && b.tableBytes() == 0, "none at the open");
        UChar units[4] = {};
        int error = noxtest::kUnset;
        nox::setKernelCeiling(nox::KernelLevel::Exact);
        a.toUChars(units, 4, "A\x81\x40", 3, &error);
        checks.expect(error == NCNV_OK && units[1] == 0x3000 && a.tableBytes() == 0,
                      "none at the exact level");
        nox::setKernelCeiling(nox::KernelLevel::Scalar);
        char bytes[4] = {};
        b.fromUChars(bytes, 4, units, 2, &error);
        checks.expect(error == NCNV_OK && bytes[1] == '\x81' && b.tableBytes() != 0,
                      "built by a kernel conversion");
        checks.expect(a.tableBytes() == b.tableBytes() &&
                          a.kernelTables->built.load() == b.kernelTables->built.load(),
                      "one build for every converter of the table");
    });
}

// A file changed in any of the ways that the key sees is read again; the converters that had
// the old one open keep converting with it.
TEST(SharedTableTest, ChangedFileIsReadAgain)
{
    const TempDir dir;
    const std::string path = dir.path() + "/T.ucm";
    const std::string lead = "<nox_lead_bytes> 01-7F:1\n";
    const auto write = [&](const std::string& file, char mapsTo) {
        dir.write(file, lead + "<U004" + std::string(1, mapsTo) + "> \\x41 |0\n");
    };
    const auto setModified = [&](const std::string& file, time_t seconds) {
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        utimensat(AT_FDCWD, file.c_str(), times, 0);
    };
    noxtest::expectInChild({}, [&](noxtest::ChildChecks& checks) {
        write("T.ucm", '1');
        setModified(path, 1000000000);
        NoxUConverter* original = ncnv_loadConverter(path.c_str());
        write("T.ucm", '2'); // same size, written in place
        setModified(path, 1000000001);
        NoxUConverter* rewritten = ncnv_loadConverter(path.c_str());
        dir.write("T.ucm", lead + "<U0043> \\x41 |0\n# a comment\n"); // another size
        NoxUConverter* grown = ncnv_loadConverter(path.c_str());
        write("new.ucm", '4'); // same size and time, but another file
        setModified(dir.path() + "/new.ucm", 1000000000);
        std::rename((dir.path() + "/new.ucm").c_str(), path.c_str());
        NoxUConverter* replaced = ncnv_loadConverter(path.c_str());
        NoxUConverter* again = ncnv_loadConverter(path.c_str());
        checks.expect(s_unitOf(original, 'A') == 0x41, "original");
        checks.expect(s_unitOf(rewritten, 'A') == 0x42, "rewritten");
        checks.expect(s_unitOf(grown, 'A') == 0x43, "grown");
        checks.expect(s_unitOf(replaced, 'A') == 0x44 && s_unitOf(again, 'A') == 0x44, "replaced");
        for (NoxUConverter* h : {original, rewritten, grown, replaced, again}) {
            ncnv_releaseConverter(h);
        }
    });
}

// Under the debug switch every open reads its file: each echoes the comment lines and reports
// its records, also while another converter has the file open, and also once the switch
// comes on after a table was shared. A file without a lead-byte line reports the mapping
// lines it read and gives an empty converter.
TEST(SharedTableTest, EveryOpenReadsTheFileUnderTheDebugSwitch)
{
    const TempDir dir;
    const std::string path = dir.write("T.ucm", "# one\n<nox_lead_bytes> 01-7F:1\n"
                                                "<U0041> \\x41 |0\n# two\n<U0042> \\x42 |0\n");
    dir.write("NOLEAD.ucm", "<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U0043> \\x43 |0\n");
    const std::string opened = " one\n two\nConstructed converter for 2 characters.\n";
    noxtest::expectInChild(
        {{"NOX_UCM_PATH", dir.path().c_str()}},
        [&](noxtest::ChildChecks& checks) {
            const NoxUCharConverter quiet(path.c_str());
            setenv("NOXUNICODE_DEBUG", "True", 1);
            NoxUConverter* a = ncnv_getConverter("T");
            NoxUConverter* b = ncnv_getConverter("T");
            const NoxUCharConverter byPath(path.c_str());
            const NoxUCharConverter copy(byPath);
            checks.expect(byPath.data != quiet.data && copy.data != byPath.data, "own tables");
            checks.expect(s_unitOf(a, 'B') == 0x42 && s_unitOf(b, 'A') == 0x41, "conversions");
            NoxUConverter* noLead = ncnv_getConverter("NOLEAD");
            checks.expect(s_unitOf(noLead, 'A') == 0, "no lead-byte line: empty");
            for (NoxUConverter* h : {a, b, noLead}) {
                ncnv_releaseConverter(h);
            }
        },
        opened + opened + " one\n two\n one\n two\nConstructed converter for 3 characters.\n");
}

} // namespace

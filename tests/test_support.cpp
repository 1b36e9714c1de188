// test_support.cpp - helpers shared by the tests.
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#if defined(NOX_COVERAGE)
// gcov writes its counters when a process exits normally; a child leaves with _exit.
extern "C" void __gcov_dump(void);
#endif

namespace noxtest {

// ---------------------------------------------------------------- kernel levels

std::vector<nox::KernelLevel> kernelLevels()
{
    std::vector<nox::KernelLevel> retval;
    for (int level = 0; level <= static_cast<int>(nox::cpuKernelLevel()); ++level) {
        retval.push_back(static_cast<nox::KernelLevel>(level));
    }
    return retval;
}

void forEachLevel(const std::function<void()>& body)
{
    const CeilingGuard guard;
    for (const nox::KernelLevel level : kernelLevels()) {
        SCOPED_TRACE(std::string("kernel level ") + nox::kernelLevelName(level));
        nox::setKernelCeiling(level);
        body();
    }
}

namespace {

// Says once per test program which levels its tests run and which this processor lacks, and
// has short texts run the kernels too: their tables come with the first kernel conversion.
class NoxLevelReport : public testing::Environment {
  public:
    void SetUp() override
    {
        nox::setKernelTablesAfter(0);
        std::string run;
        std::string missing;
        for (int level = 0; level < nox::kKernelLevels; ++level) {
            const bool has = level <= static_cast<int>(nox::cpuKernelLevel());
            (has ? run : missing) +=
                std::string(" ") + nox::kernelLevelName(static_cast<nox::KernelLevel>(level));
        }
        std::printf("[ levels   ] run:%s; not on this processor:%s\n", run.c_str(),
                    missing.empty() ? " none" : missing.c_str());
    }
};

testing::Environment* const s_levelReport = testing::AddGlobalTestEnvironment(new NoxLevelReport);

} // namespace

// ---------------------------------------------------------------- guard pages

char* guardEnd(int slot)
{
    static char* s_ends[2] = {};
    if (s_ends[slot] == nullptr) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t arena = 1 << 16;
        void* base =
            mmap(nullptr, arena + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED ||
            mprotect(static_cast<char*>(base) + arena, page, PROT_NONE) != 0) {
            std::abort();
        }
        s_ends[slot] = static_cast<char*>(base) + arena;
    }
    return s_ends[slot];
}

void PrintTo(const UtfCall& call, std::ostream* os)
{
    *os << "result " << call.result << ", consumed " << call.consumed << ", out " << std::hex;
    for (const char32_t u : call.out) {
        *os << static_cast<uint32_t>(u) << ' ';
    }
    *os << std::dec << "and " << call.untouched << " untouched";
}

UtfCall convertUtf(Utf routine, const std::u32string& in, size_t room, utf_ConversionFlags flags)
{
    switch (routine) {
    case Utf::U8to16:
        return callUtf(utf_ConvertUTF8toUTF16, in, room, flags);
    case Utf::U8to32:
        return callUtf(utf_ConvertUTF8toUTF32, in, room, flags);
    case Utf::U16to8:
        return callUtf(utf_ConvertUTF16toUTF8, in, room, flags);
    case Utf::U16to32:
        return callUtf(utf_ConvertUTF16toUTF32, in, room, flags);
    case Utf::U32to8:
        return callUtf(utf_ConvertUTF32toUTF8, in, room, flags);
    case Utf::U32to16:
        break;
    }
    return callUtf(utf_ConvertUTF32toUTF16, in, room, flags);
}

// ---------------------------------------------------------------- files and handles

std::vector<std::string> shippedCodePages()
{
    std::vector<std::string> retval;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(NOX_DATA_DIR)) {
        if (entry.path().extension() == ".ucm") {
            retval.push_back(entry.path().string());
        }
    }
    std::sort(retval.begin(), retval.end());
#if defined(NOX_ADDRESS_SANITIZER)
    std::vector<std::string> sample;
    for (size_t i = 0; i < retval.size(); i += 8) {
        sample.push_back(retval[i]);
    }
    retval.swap(sample);
#endif
    return retval;
}

const char* const kSmallUcm = "<code_set_name> \"SMALL\"\n"
                              "<nox_lead_bytes> 01-7F:1 81:2\n"
                              "CHARMAP\n"
                              "<U0041> \\x41 |0\n"
                              "<U0042> \\x42 |0\n"
                              "<U0043> \\x43 |0\n"
                              "<U3000> \\x81\\x40 |0\n"
                              "END CHARMAP\n";

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "noxtestXXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    mPath = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const
{
    const std::string file = mPath + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
}

Handle::Handle(const std::string& ucmText)
    : mHandle(ncnv_loadConverter(mDir.write("test.ucm", ucmText).c_str()))
{
}

// ---------------------------------------------------------------- conversion forms

namespace {

// The text placed before the input guard, and a room of sentinels before the output guard.
template <typename In, typename Text> const In* s_input(const Text& text)
{
    std::u32string values;
    for (const auto unit : text) {
        values += char32_t(std::make_unsigned_t<std::decay_t<decltype(unit)>>(unit));
    }
    return beforeGuard<In>(0, values);
}

template <typename Out> Out* s_output(size_t room)
{
    return beforeGuard<Out>(1,
                            std::u32string(room, sizeof(Out) == 1 ? kByteSentinel : kUnitSentinel));
}

template <typename Out> std::vector<unsigned> s_unsigned(const Out* out, size_t room)
{
    std::vector<unsigned> retval;
    for (size_t i = 0; i < room; ++i) {
        retval.push_back(static_cast<std::make_unsigned_t<Out>>(out[i]));
    }
    return retval;
}

// The counted form `f` on `text` with `size` (negative: up to the 0) and `room` (negative:
// null output).
template <typename In, typename Out, typename Text>
Call s_counted(int (*f)(NoxUConverter*, Out*, int, const In*, int, int*), NoxUConverter* h,
               const Text& text, int size, int room)
{
    const In* in = s_input<In>(text);
    const auto slots = static_cast<size_t>(std::max(room, 0));
    Out* out = s_output<Out>(slots);
    Call call;
    call.message = captureStderr(
        [&] { call.result = f(h, room < 0 ? nullptr : out, room, in, size, &call.error); });
    call.out = s_unsigned(out, slots);
    return call;
}

// The pointer-range form `f` on `text`, the range ending `end` units in, the output `room` in.
template <typename In, typename Out, typename Text>
Call s_ranged(void (*f)(NoxUConverter*, Out**, const Out*, const In**, const In*, int*),
              NoxUConverter* h, const Text& text, size_t end, size_t room)
{
    const In* const start = s_input<In>(text);
    Out* const out = s_output<Out>(room);
    const In* source = start;
    Out* target = out;
    Call call;
    call.message =
        captureStderr([&] { f(h, &target, out + room, &source, source + end, &call.error); });
    call.consumed = static_cast<size_t>(source - start);
    call.written = static_cast<size_t>(target - out);
    call.out = s_unsigned(out, room);
    return call;
}

} // namespace

Call toUChars(NoxUConverter* h, const std::string& bytes, int size, int room)
{
    return s_counted(ncnv_toUChars, h, bytes, size, room);
}

Call fromUChars(NoxUConverter* h, const std::u16string& units, int size, int room)
{
    return s_counted(ncnv_fromUChars, h, units, size, room);
}

Call toUnicode(NoxUConverter* h, const std::string& bytes, size_t end, size_t room)
{
    return s_ranged(ncnv_toUnicode, h, bytes, end, room);
}

Call fromUnicode(NoxUConverter* h, const std::u16string& units, size_t end, size_t room)
{
    return s_ranged(ncnv_fromUnicode, h, units, end, room);
}

Call mblen(NoxUConverter* h, const std::string& bytes, int maxBytes)
{
    const char* in = s_input<char>(bytes);
    Call call;
    call.message = captureStderr([&] { call.result = ncnv_mblen(h, in, maxBytes, &call.error); });
    return call;
}

namespace {

// The expected room: `units`, then `tail`, then sentinels up to `room` slots.
std::vector<unsigned> s_buffer(const std::u16string& units, size_t count, size_t room,
                               std::vector<unsigned> tail, unsigned sentinel)
{
    std::vector<unsigned> retval(units.begin(), units.begin() + static_cast<ptrdiff_t>(count));
    retval.insert(retval.end(), tail.begin(), tail.end());
    retval.resize(room, sentinel);
    return retval;
}

// The number of leading slots of `got` that match `want`.
size_t s_matching(const std::vector<unsigned>& got, const std::u16string& want)
{
    size_t retval = 0;
    while (retval < got.size() && retval < want.size() && got[retval] == want[retval]) {
        ++retval;
    }
    return retval;
}

// Both directions: `counted` and `ranged` call the two forms on the whole input.
void s_expectEveryForm(size_t inputSize, const Expect& want, unsigned sentinel,
                       const std::function<Call(int size, int room)>& counted,
                       const std::function<Call(size_t room)>& ranged)
{
    const size_t n = want.units.size();
    const int size = static_cast<int>(inputSize);
    const int all = static_cast<int>(n);
    // Stopped at a 0 inside the input: the pointer-range forms terminate it where it fits.
    const bool atZero = want.stop == NCNV_OK && want.consumed < inputSize;
    {
        SCOPED_TRACE("counted, room for all and the terminator");
        const Call c = counted(size, all + 1);
        EXPECT_EQ(all, c.result);
        EXPECT_EQ(want.stop, c.error);
        EXPECT_EQ(s_buffer(want.units, n, n + 1, {0}, sentinel), c.out);
        EXPECT_EQ(want.message, c.message);
    }
    {
        SCOPED_TRACE("counted, room for exactly all");
        const Call c = counted(size, all);
        EXPECT_EQ(all, c.result);
        EXPECT_EQ(want.stop, c.error);
        EXPECT_EQ(s_buffer(want.units, n, n, {}, sentinel), c.out);
    }
    {
        SCOPED_TRACE("sizing call");
        const Call c = counted(size, -1);
        EXPECT_EQ(all, c.result);
        EXPECT_EQ(want.stop != NCNV_OK ? want.stop
                  : n > 0              ? NCNV_BUFFER_OVERFLOW
                                       : NCNV_OK,
                  c.error);
    }
    if (n > 0) {
        SCOPED_TRACE("counted, one unit short");
        const Call c = counted(size, all - 1);
        EXPECT_EQ(all, c.result);
        EXPECT_EQ(want.stop != NCNV_OK ? want.stop : NCNV_BUFFER_OVERFLOW, c.error);
        // A character that does not fit is not written at all.
        const size_t kept = s_matching(c.out, want.units);
        EXPECT_TRUE(kept < n && kept + 4 > n) << kept;
        EXPECT_EQ(s_buffer(want.units, kept, n - 1, {}, sentinel), c.out);
    }
    {
        SCOPED_TRACE("pointer range, room for all and the terminator");
        const Call c = ranged(n + 1);
        EXPECT_EQ(want.consumed, c.consumed);
        EXPECT_EQ(n, c.written);
        EXPECT_EQ(want.stop != NCNV_OK ? want.stop : kUnset, c.error);
        EXPECT_EQ(s_buffer(want.units, n, n + 1,
                           atZero ? std::vector<unsigned>{0} : std::vector<unsigned>{}, sentinel),
                  c.out);
        EXPECT_EQ(want.message, c.message);
    }
    {
        SCOPED_TRACE("pointer range, room for exactly all");
        const Call c = ranged(n);
        EXPECT_EQ(want.consumed, c.consumed);
        EXPECT_EQ(n, c.written);
        EXPECT_EQ(want.stop != NCNV_OK ? want.stop : kUnset, c.error);
        EXPECT_EQ(s_buffer(want.units, n, n, {}, sentinel), c.out);
    }
    if (n > 0) {
        SCOPED_TRACE("pointer range, one unit short");
        const Call c = ranged(n - 1);
        EXPECT_EQ(NCNV_BUFFER_OVERFLOW, c.error);
        EXPECT_LT(c.consumed, want.consumed);
        EXPECT_EQ(s_matching(c.out, want.units), c.written);
        EXPECT_EQ(s_buffer(want.units, c.written, n - 1, {}, sentinel), c.out);
        EXPECT_EQ("", c.message);
    }
}

} // namespace

void expectToUEveryForm(NoxUConverter* h, const std::string& bytes, const Expect& want)
{
    SCOPED_TRACE("to Unicode: " + hexBytes(bytes));
    s_expectEveryForm(
        bytes.size(), want, kUnitSentinel,
        [&](int size, int room) { return toUChars(h, bytes, size, room); },
        [&](size_t room) { return toUnicode(h, bytes, bytes.size(), room); });
}

void expectFromUEveryForm(NoxUConverter* h, const std::u16string& units, const Expect& want)
{
    SCOPED_TRACE("from Unicode: " + hexUnits(units));
    s_expectEveryForm(
        units.size(), want, kByteSentinel,
        [&](int size, int room) { return fromUChars(h, units, size, room); },
        [&](size_t room) { return fromUnicode(h, units, units.size(), room); });
}

// ---------------------------------------------------------------- processes and output

namespace {

std::string s_capture(FILE* stream, const std::function<void()>& body)
{
    // One file per stream, emptied before each use (a capture inside another gets a file of
    // its own): tests capture hundreds of thousands of calls.
    static FILE* s_sinks[2] = {};
    static int s_depth = 0;
    FILE*& shared = s_sinks[stream == stderr ? 0 : 1];
    if (shared == nullptr) {
        shared = std::tmpfile();
    }
    FILE* sink = s_depth++ == 0 ? shared : std::tmpfile();
    if (sink == nullptr || ftruncate(fileno(sink), 0) != 0) {
        std::abort();
    }
    std::rewind(sink);
    std::fflush(stream);
    const int fd = fileno(stream);
    const int saved = dup(fd);
    dup2(fileno(sink), fd);
    // Buffered meanwhile: the library writes many short messages.
    static char s_buffer[1 << 16];
    std::setvbuf(stream, s_buffer, _IOFBF, sizeof s_buffer);
    body();
    std::fflush(stream);
    std::setvbuf(stream, nullptr, stream == stderr ? _IONBF : _IOLBF, 0);
    dup2(saved, fd);
    close(saved);
    --s_depth;
    std::rewind(sink);
    std::string text;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, sink)) > 0) {
        text.append(buffer, n);
    }
    if (sink != shared) {
        std::fclose(sink);
    }
    return text;
}

} // namespace

std::string captureStderr(const std::function<void()>& body)
{
    return s_capture(stderr, body);
}

std::string captureStdout(const std::function<void()>& body)
{
    return s_capture(stdout, body);
}

ChildResult runInChild(const std::map<std::string, const char*>& env,
                       const std::function<int()>& scenario)
{
    ChildResult result;
    FILE* errFile = std::tmpfile();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(errFile), STDERR_FILENO);
        for (const auto& [name, value] : env) {
            if (value == nullptr) {
                unsetenv(name.c_str());
            } else {
                setenv(name.c_str(), value, 1);
            }
        }
        const int code = scenario();
        std::fflush(stdout);
        std::fflush(stderr);
#if defined(NOX_COVERAGE)
        __gcov_dump();
#endif
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::rewind(errFile);
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, errFile)) > 0) {
        result.err.append(buffer, n);
    }
    std::fclose(errFile);
    return result;
}

void ChildChecks::expect(bool ok, const char* what)
{
    if (!ok) {
        std::printf("check failed: %s (kernel ceiling %s)\n", what,
                    nox::kernelLevelName(nox::kernelCeiling()));
        ++mFailures;
    }
}

void expectInChild(const std::map<std::string, const char*>& env,
                   const std::function<void(ChildChecks&)>& body, const std::string& err)
{
    std::map<std::string, const char*> all = env;
    for (const char* setting :
         {"NOX_UCM_PATH", "QV_UCM_PATH", "NOX_CODE_PAGE", "QV_CODE_PAGE", "NOXUNICODE_DEBUG",
          "NOXUNICODE_CHAR_DEBUG", "NOX_UNICODE_CONVERT_BEST_EFFORT"}) {
        all.emplace(setting, nullptr);
    }
    const ChildResult r = runInChild(all, [&body] {
        ChildChecks checks;
        body(checks);
        return checks.failures();
    });
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(err, r.err);
}

std::string hexBytes(const std::string& bytes)
{
    std::ostringstream out;
    for (unsigned char c : bytes) {
        char group[8];
        std::snprintf(group, sizeof group, "\\x%02X", c);
        out << group;
    }
    return out.str();
}

std::string hexUnits(const std::u16string& units)
{
    std::ostringstream out;
    for (char16_t u : units) {
        char group[12];
        std::snprintf(group, sizeof group, "<U%04X>", static_cast<unsigned>(u));
        out << group;
    }
    return out.str();
}

} // namespace noxtest

// test_support.cpp - helpers shared by the tests.
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#if defined(NOX_COVERAGE)
// gcov writes its counters when a process exits normally; a child leaves with _exit.
extern "C" void __gcov_dump(void);
#endif

namespace noxtest {

void forEachLevel(const std::function<void()>& body)
{
    const nox::KernelLevel saved = nox::kernelCeiling();
    for (int level = 0; level <= static_cast<int>(nox::cpuKernelLevel()); ++level) {
        const auto kernelLevel = static_cast<nox::KernelLevel>(level);
        SCOPED_TRACE(std::string("kernel level ") + nox::kernelLevelName(kernelLevel));
        nox::setKernelCeiling(kernelLevel);
        body();
    }
    nox::setKernelCeiling(saved);
}

namespace {

// Short texts run the kernels too: a table's kernels' tables come with its first kernel
// conversion, however short.
const bool s_kernelsOnShortTexts = (nox::setKernelTablesAfter(0), true);

std::string s_readAll(FILE* file)
{
    std::string text;
    char buffer[4096];
    std::rewind(file);
    for (size_t n = 0; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, n);
    }
    return text;
}

} // namespace

char* guardEnd(int slot)
{
    static char* s_ends[2] = {};
    if (s_ends[slot] == nullptr) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE)), arena = 1 << 16;
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
    *os << call.result << ", consumed " << call.consumed << ", out " << hex(call.out) << ", "
        << call.untouched << " untouched";
}

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

const char* const kSmallUcm = "<code_set_name> \"SMALL\"\n<nox_lead_bytes> 01-7F:1 81:2\nCHARMAP\n"
                              "<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U0043> \\x43 |0\n"
                              "<U3000> \\x81\\x40 |0\nEND CHARMAP\n";

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

namespace {

// A room of `room` sentinels before the output guard, and the room as unsigned values.
template <typename Out> Out* s_output(size_t room)
{
    return beforeGuard<Out>(1, std::u32string(room, sizeof(Out) == 1 ? 0xEE : 0xEEEE));
}

template <typename Out> std::vector<unsigned> s_unsigned(const Out* out, size_t room)
{
    const auto* units = reinterpret_cast<const std::make_unsigned_t<Out>*>(out);
    return std::vector<unsigned>(units, units + room);
}

template <typename In, typename Out, typename Text>
Call s_counted(int (*f)(NoxUConverter*, Out*, int, const In*, int, int*), NoxUConverter* h,
               const Text& text, int size, int room)
{
    const In* in = beforeGuard<In>(0, text);
    const auto slots = static_cast<size_t>(std::max(room, 0));
    Out* out = s_output<Out>(slots);
    Call call;
    call.message = captureStderr(
        [&] { call.result = f(h, room < 0 ? nullptr : out, room, in, size, &call.error); });
    call.out = s_unsigned(out, slots);
    return call;
}

template <typename In, typename Out, typename Text>
Call s_ranged(void (*f)(NoxUConverter*, Out**, const Out*, const In**, const In*, int*),
              NoxUConverter* h, const Text& text, size_t end, size_t room)
{
    const In* const start = beforeGuard<In>(0, text);
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
    const char* in = beforeGuard<char>(0, bytes);
    Call call;
    call.message = captureStderr([&] { call.result = ncnv_mblen(h, in, maxBytes, &call.error); });
    return call;
}

namespace {

// Both directions: `counted` and `ranged` call the two forms on the whole input. A 0 inside the
// input ends it and, in the pointer-range forms, is written where it fits.
void s_expectEveryForm(size_t inputSize, const Expect& want, unsigned sentinel,
                       const std::function<Call(int size, int room)>& counted,
                       const std::function<Call(size_t room)>& ranged)
{
    const size_t n = want.units.size();
    const int size = static_cast<int>(inputSize), all = static_cast<int>(n);
    const bool atZero = want.stop == NCNV_OK && want.consumed < inputSize;
    const int overflow = want.stop != NCNV_OK ? want.stop : NCNV_BUFFER_OVERFLOW;
    // The expected room: the first `count` units, then `tail`, then sentinels.
    const auto room = [&](size_t count, size_t slots, std::vector<unsigned> tail = {}) {
        std::vector<unsigned> retval(want.units.begin(), want.units.begin() + ptrdiff_t(count));
        retval.insert(retval.end(), tail.begin(), tail.end());
        retval.resize(slots, sentinel);
        return retval;
    };
    const Call whole = counted(size, all + 1), exact = counted(size, all),
               sizing = counted(size, -1);
    EXPECT_EQ(std::make_tuple(all, want.stop, room(n, n + 1, {0}), want.message, all, want.stop,
                              room(n, n), all, n > 0 ? overflow : want.stop),
              std::tie(whole.result, whole.error, whole.out, whole.message, exact.result,
                       exact.error, exact.out, sizing.result, sizing.error))
        << "counted: room for all and the terminator, for all, none";
    const int rangedStop = want.stop != NCNV_OK ? want.stop : kUnset;
    const Call terminated = ranged(n + 1), full = ranged(n);
    EXPECT_EQ(std::make_tuple(want.consumed, n, rangedStop,
                              room(n, n + 1, std::vector<unsigned>(atZero ? 1 : 0, 0)),
                              want.message, want.consumed, n, rangedStop, room(n, n)),
              std::make_tuple(terminated.consumed, terminated.written, terminated.error,
                              terminated.out, terminated.message, full.consumed, full.written,
                              full.error, full.out))
        << "pointer range: room for all and the terminator, for all";
    if (n > 0) { // what a short room holds is compared with the reference by the fuzz targets
        const Call c = counted(size, all - 1), r = ranged(n - 1);
        EXPECT_EQ(std::make_tuple(all, overflow, NCNV_BUFFER_OVERFLOW, true),
                  std::make_tuple(c.result, c.error, r.error, r.consumed < want.consumed))
            << "one unit short";
    }
}

} // namespace

void expectToUEveryForm(NoxUConverter* h, const std::string& bytes, const Expect& want)
{
    SCOPED_TRACE("to Unicode: " + hex(bytes));
    s_expectEveryForm(
        bytes.size(), want, 0xEEEE,
        [&](int size, int room) { return toUChars(h, bytes, size, room); },
        [&](size_t room) { return toUnicode(h, bytes, bytes.size(), room); });
}

void expectFromUEveryForm(NoxUConverter* h, const std::u16string& units, const Expect& want)
{
    SCOPED_TRACE("from Unicode: " + hex(units));
    s_expectEveryForm(
        units.size(), want, 0xEE,
        [&](int size, int room) { return fromUChars(h, units, size, room); },
        [&](size_t room) { return fromUnicode(h, units, units.size(), room); });
}

std::string captureStderr(const std::function<void()>& body)
{
    // One file emptied before each use (tests capture hundreds of thousands of calls); a
    // capture inside another gets a file of its own.
    static FILE* s_shared = std::tmpfile();
    static int s_depth = 0;
    FILE* sink = s_depth++ == 0 ? s_shared : std::tmpfile();
    if (sink == nullptr || ftruncate(fileno(sink), 0) != 0) {
        std::abort();
    }
    std::rewind(sink);
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    dup2(fileno(sink), STDERR_FILENO);
    static char s_buffer[1 << 16]; // buffered meanwhile: the library writes many short messages
    std::setvbuf(stderr, s_buffer, _IOFBF, sizeof s_buffer);
    body();
    std::fflush(stderr);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    dup2(saved, STDERR_FILENO);
    close(saved);
    --s_depth;
    const std::string text = s_readAll(sink);
    if (sink != s_shared) {
        std::fclose(sink);
    }
    return text;
}

ChildResult runInChild(const std::map<std::string, const char*>& env,
                       const std::function<int()>& scenario)
{
    FILE* errFile = std::tmpfile();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(errFile), STDERR_FILENO);
        for (const auto& [name, value] : env) {
            value == nullptr ? unsetenv(name.c_str()) : setenv(name.c_str(), value, 1);
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
    ChildResult result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                       s_readAll(errFile)};
    std::fclose(errFile);
    return result;
}

void ChildChecks::expect(bool ok, const char* what)
{
    if (!ok) {
        std::printf("check failed: %s (kernel ceiling %s)\n", what,
                    nox::kernelLevelName(nox::kernelCeiling()));
        ++failures;
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
        return checks.failures;
    });
    EXPECT_EQ(std::make_pair(0, err), std::make_pair(r.exitCode, r.err));
}

} // namespace noxtest

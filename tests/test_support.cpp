// test_support.cpp - helpers shared by the tests.
#include "test_support.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

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
        nox::setKernelCeiling(static_cast<nox::KernelLevel>(level));
        SCOPED_TRACE(std::string("kernel level ") + nox::kernelLevelName(nox::kernelCeiling()));
        body();
    }
    nox::setKernelCeiling(saved);
}

namespace {

// Short texts run the kernels too: a table's kernels' tables come with its first kernel
// conversion, however short.
const bool s_kernelsOnShortTexts = (nox::setKernelTablesAfter(0), true);

// Everything written to `file`, through its descriptor or by another process sharing it; the
// file is emptied for its next use.
std::string s_takeAll(FILE* file)
{
    const int fd = fileno(file);
    std::string text(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
    if (pread(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        std::abort();
    }
    return text;
}

// Places the input before the input guard and `room` sentinels before the output guard, runs
// `body(call, source, target)` capturing standard error, and keeps how far the pointers moved
// and the whole room.
template <typename In, typename Out, typename Text, typename Body>
Call s_call(const Text& text, size_t room, const Body& body)
{
    const In* const in = beforeGuard<In>(0, text);
    Out* const out = beforeGuard<Out>(1, std::u32string(room, sizeof(Out) == 1 ? 0xEE : 0xEEEE));
    const In* source = in;
    Out* target = out;
    Call call;
    call.message = captureStderr([&] { body(call, source, target); });
    call.consumed = size_t(source - in);
    call.written = size_t(target - out);
    const auto* units = reinterpret_cast<const std::make_unsigned_t<Out>*>(out);
    call.out.assign(units, units + room);
    return call;
}

// Both directions: `counted` and `ranged` call the two forms on the whole input. A 0 inside the
// input ends it and, in the pointer-range forms, is written where it fits.
template <typename Text>
void s_expectEveryForm(NoxUConverter* h, const Text& text, const Expect& want,
                       Call (*counted)(NoxUConverter*, const Text&, int, int),
                       Call (*ranged)(NoxUConverter*, const Text&, size_t, size_t))
{
    SCOPED_TRACE((sizeof text[0] == 1 ? "to Unicode: " : "from Unicode: ") + hex(text));
    const size_t n = want.units.size(), inputSize = text.size();
    const int size = static_cast<int>(inputSize), all = static_cast<int>(n);
    const int overflow = want.stop != NCNV_OK ? want.stop : NCNV_BUFFER_OVERFLOW;
    // The expected rooms: the output alone, then a 0, then a 0 in the pointer-range forms only
    // where the input ended at one (else the sentinel).
    std::vector<unsigned> output(want.units.begin(), want.units.end()), zero = output;
    std::vector<unsigned> rangedZero = output;
    const bool atZero = want.stop == NCNV_OK && want.consumed < inputSize;
    zero.push_back(0);
    rangedZero.push_back(atZero ? 0 : sizeof text[0] == 1 ? 0xEEEE : 0xEE);
    const Call whole = counted(h, text, size, all + 1), exact = counted(h, text, size, all),
               sizing = counted(h, text, size, -1);
    EXPECT_EQ(std::make_tuple(all, want.stop, zero, want.message, all, want.stop, output, all,
                              n > 0 ? overflow : want.stop),
              std::tie(whole.result, whole.error, whole.out, whole.message, exact.result,
                       exact.error, exact.out, sizing.result, sizing.error))
        << "counted: room for all and the terminator, for all, none";
    const int rangedStop = want.stop != NCNV_OK ? want.stop : kUnset;
    const Call terminated = ranged(h, text, inputSize, n + 1), full = ranged(h, text, inputSize, n);
    EXPECT_EQ(std::make_tuple(want.consumed, n, rangedStop, rangedZero, want.message, want.consumed,
                              n, rangedStop, output),
              std::make_tuple(terminated.consumed, terminated.written, terminated.error,
                              terminated.out, terminated.message, full.consumed, full.written,
                              full.error, full.out))
        << "pointer range: room for all and the terminator, for all";
    if (n > 0) { // what a short room holds is compared with the reference by the fuzz targets
        const Call c = counted(h, text, size, all - 1), r = ranged(h, text, inputSize, n - 1);
        EXPECT_EQ(std::make_tuple(all, overflow, NCNV_BUFFER_OVERFLOW, true),
                  std::make_tuple(c.result, c.error, r.error, r.consumed < want.consumed))
            << "one unit short";
    }
}

} // namespace

char* guardEnd(int slot)
{
    static char* s_ends[2] = {};
    if (s_ends[slot] == nullptr) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE)), arena = 1 << 16;
        auto* const base = static_cast<char*>(mmap(nullptr, arena + page, PROT_READ | PROT_WRITE,
                                                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base == MAP_FAILED || mprotect(base + arena, page, PROT_NONE) != 0) {
            std::abort();
        }
        s_ends[slot] = base + arena;
    }
    return s_ends[slot];
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
    for (size_t i = 0; i * 8 < retval.size(); ++i) {
        retval[i] = retval[i * 8];
    }
    retval.resize((retval.size() + 7) / 8);
#endif
    return retval;
}

const char* const kSmallUcm = "<code_set_name> \"SMALL\"\n<nox_lead_bytes> 01-7F:1 81:2\nCHARMAP\n"
                              "<U0041> \\x41 |0\n<U0042> \\x42 |0\n<U0043> \\x43 |0\n"
                              "<U3000> \\x81\\x40 |0\nEND CHARMAP\n";

TempDir::TempDir() : mPath((std::filesystem::temp_directory_path() / "noxtestXXXXXX").string())
{
    if (mkdtemp(mPath.data()) == nullptr) {
        std::abort();
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const
{
    std::ofstream(mPath + "/" + name, std::ios::binary) << content;
    return mPath + "/" + name;
}

Handle::Handle(const std::string& ucmText)
    : mHandle(ncnv_loadConverter(mDir.write("test.ucm", ucmText).c_str()))
{
}

Call toUChars(NoxUConverter* h, const std::string& bytes, int size, int room)
{
    return s_call<char, UChar>(bytes, size_t(std::max(room, 0)), [&](Call& c, auto in, auto out) {
        c.result = ncnv_toUChars(h, room < 0 ? nullptr : out, room, in, size, &c.error);
    });
}

Call fromUChars(NoxUConverter* h, const std::u16string& units, int size, int room)
{
    return s_call<UChar, char>(units, size_t(std::max(room, 0)), [&](Call& c, auto in, auto out) {
        c.result = ncnv_fromUChars(h, room < 0 ? nullptr : out, room, in, size, &c.error);
    });
}

Call toUnicode(NoxUConverter* h, const std::string& bytes, size_t end, size_t room)
{
    return s_call<char, UChar>(bytes, room, [&](Call& c, auto& in, auto& out) {
        ncnv_toUnicode(h, &out, out + room, &in, in + end, &c.error);
    });
}

Call fromUnicode(NoxUConverter* h, const std::u16string& units, size_t end, size_t room)
{
    return s_call<UChar, char>(units, room, [&](Call& c, auto& in, auto& out) {
        ncnv_fromUnicode(h, &out, out + room, &in, in + end, &c.error);
    });
}

Call mblen(NoxUConverter* h, const std::string& bytes, int maxBytes)
{
    return s_call<char, char>(bytes, 0, [&](Call& c, auto in, auto) {
        c.result = ncnv_mblen(h, in, maxBytes, &c.error);
    });
}

void expectToUEveryForm(NoxUConverter* h, const std::string& bytes, const Expect& want)
{
    s_expectEveryForm(h, bytes, want, toUChars, toUnicode);
}

void expectFromUEveryForm(NoxUConverter* h, const std::u16string& units, const Expect& want)
{
    s_expectEveryForm(h, units, want, fromUChars, fromUnicode);
}

std::string captureStderr(const std::function<void()>& body)
{
    // One file, emptied after each use (tests capture hundreds of thousands of calls), so
    // captures do not nest.
    static FILE* const s_sink = std::tmpfile();
    const int saved = dup(STDERR_FILENO);
    dup2(fileno(s_sink), STDERR_FILENO);
    static char s_buffer[1 << 16]; // buffered meanwhile: the library writes many short messages
    std::setvbuf(stderr, s_buffer, _IOFBF, sizeof s_buffer);
    body();
    std::fflush(stderr);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    dup2(saved, STDERR_FILENO);
    close(saved);
    return s_takeAll(s_sink);
}

ChildResult runInChild(const std::map<std::string, const char*>& env,
                       const std::function<int()>& scenario)
{
    FILE* errFile = std::tmpfile();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(errFile), STDERR_FILENO);
        for (const auto& [name, value] : env) {
            value == nullptr ? unsetenv(name.c_str()) : setenv(name.c_str(), value, 1);
        }
        const int code = scenario();
        std::fflush(nullptr);
#if defined(NOX_COVERAGE)
        __gcov_dump();
#endif
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ChildResult result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                       s_takeAll(errFile)};
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

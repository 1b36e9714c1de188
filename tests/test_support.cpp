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

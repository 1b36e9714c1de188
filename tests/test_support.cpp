// test_support.cpp - helpers shared by the tests.
#include "test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

namespace {

std::string s_capture(FILE* stream, const std::function<void()>& body)
{
    std::fflush(stream);
    const int fd = fileno(stream);
    const int saved = dup(fd);
    FILE* sink = std::tmpfile();
    dup2(fileno(sink), fd);
    body();
    std::fflush(stream);
    dup2(saved, fd);
    close(saved);
    std::rewind(sink);
    std::string text;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, sink)) > 0) {
        text.append(buffer, n);
    }
    std::fclose(sink);
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

std::vector<UChar> units(std::initializer_list<int> values)
{
    std::vector<UChar> retval;
    for (int v : values) {
        retval.push_back(static_cast<UChar>(v));
    }
    return retval;
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

} // namespace noxtest

// test_support.h - helpers shared by the tests: temporary UCM files, captured output, child
// processes.
#ifndef NOXUNICODE_TEST_SUPPORT_H
#define NOXUNICODE_TEST_SUPPORT_H

#include "unicode.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace noxtest {

// The small code page of the conversion examples: 0x01-0x7F one byte, 0x81 two bytes;
// round trips for A, B, C and 0x81 0x40 = U+3000.
extern const char* const kSmallUcm;

// A temporary directory removed with its contents at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return mPath; }
    // Writes `content` to `name` inside the directory and returns the full path.
    std::string write(const std::string& name, const std::string& content) const;

  private:
    std::string mPath;
};

// Owns a converter handle opened from UCM text written to a temporary file.
class Handle {
  public:
    explicit Handle(const std::string& ucmText);
    explicit Handle(NoxUConverter* handle) : mHandle(handle) {}
    ~Handle() { ncnv_releaseConverter(mHandle); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    NoxUConverter* get() const { return mHandle; }

  private:
    TempDir mDir;
    NoxUConverter* mHandle = nullptr;
};

// Runs `body` with standard error (or standard output) redirected; returns what it wrote.
std::string captureStderr(const std::function<void()>& body);
std::string captureStdout(const std::function<void()>& body);

struct ChildResult {
    int exitCode = -1;
    std::string err;
};

// Runs `scenario` in a forked child with the environment changed as given (a null value
// unsets the variable). The child's exit code is what `scenario` returns; its standard
// error is returned as text. The parent's process-wide state is never touched.
ChildResult runInChild(const std::map<std::string, const char*>& env,
                       const std::function<int()>& scenario);

std::vector<UChar> units(std::initializer_list<int> values);
std::string hexBytes(const std::string& bytes);

} // namespace noxtest

#endif

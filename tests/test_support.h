// test_support.h - helpers shared by the tests: every kernel level, every conversion form,
// temporary UCM files, captured output and child processes.
#ifndef NOXUNICODE_TEST_SUPPORT_H
#define NOXUNICODE_TEST_SUPPORT_H

#include "ConvertUTF.h"
#include "kernels/kernels.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace noxtest {

// An error code that no function writes: the value a test puts there before a call.
constexpr int kUnset = 99;

// ---------------------------------------------------------------- kernel levels

// The kernel levels this processor runs, Exact first.
std::vector<nox::KernelLevel> kernelLevels();

// Restores the process-wide kernel ceiling when it goes out of scope.
class CeilingGuard {
  public:
    CeilingGuard() : mSaved(nox::kernelCeiling()) {}
    ~CeilingGuard() { nox::setKernelCeiling(mSaved); }
    CeilingGuard(const CeilingGuard&) = delete;
    CeilingGuard& operator=(const CeilingGuard&) = delete;

  private:
    nox::KernelLevel mSaved;
};

// Runs `body` once at each level this processor runs, with the level's name in the failure
// output; the ceiling is restored afterwards.
void forEachLevel(const std::function<void()>& body);

// Runs `outcomes` at level Exact (the per-character path alone), then at every other level,
// and expects the same value each time.
template <typename F> void expectEveryLevelAsExact(const F& outcomes, const std::string& what = "")
{
    const CeilingGuard guard;
    nox::setKernelCeiling(nox::KernelLevel::Exact);
    const auto exact = outcomes();
    forEachLevel([&] {
        if (nox::kernelCeiling() != nox::KernelLevel::Exact) {
            EXPECT_TRUE(exact == outcomes()) << what;
        }
    });
}

// ---------------------------------------------------------------- guard pages

// The end of a 64 KiB arena followed by an inaccessible page: slot 0 for inputs, 1 for outputs.
char* guardEnd(int slot);

// Places `values`, each cast to T, so that the last ends right before the guard page of `slot`;
// a read or write past them dies with SIGSEGV, also without sanitizers.
template <typename T> T* beforeGuard(int slot, const std::u32string& values)
{
    if (values.size() * sizeof(T) > (1 << 16)) {
        std::abort(); // larger than the arena
    }
    T* data = reinterpret_cast<T*>(guardEnd(slot)) - values.size();
    std::transform(values.begin(), values.end(), data, [](char32_t v) { return T(v); });
    return data;
}

// The six UTF routines, by their forms.
enum class Utf { U8to16, U8to32, U16to8, U16to32, U32to8, U32to16 };

// What one UTF call did: the result, the source units consumed, the units written, and how
// many of the room's units after them still hold the sentinel 0xEEEEEEEE (cast to the form).
struct UtfCall {
    int result = 0;
    size_t consumed = 0;
    std::u32string out;
    size_t untouched = 0;
    bool operator==(const UtfCall& o) const
    {
        return result == o.result && consumed == o.consumed && out == o.out &&
               untouched == o.untouched;
    }
};

void PrintTo(const UtfCall& call, std::ostream* os);

// Converts `in` (each unit held as char32_t) with `f`, the library's routine or another of
// its kind, from before the input guard into `room` units before the output guard.
template <typename S, typename T>
UtfCall callUtf(utf_ConversionResult (*f)(const S**, const S*, T**, T*, utf_ConversionFlags),
                const std::u32string& in, size_t room, utf_ConversionFlags flags)
{
    const S* const source = beforeGuard<S>(0, in);
    T* const target = beforeGuard<T>(1, std::u32string(room, 0xEEEEEEEE));
    const S* s = source;
    T* t = target;
    UtfCall call;
    call.result = f(&s, source + in.size(), &t, target + room, flags);
    call.consumed = static_cast<size_t>(s - source);
    for (T* p = target; p < target + room; ++p) {
        if (p < t) {
            call.out += char32_t(std::make_unsigned_t<T>(*p));
        } else {
            call.untouched += *p == T(0xEEEEEEEE) ? 1 : 0;
        }
    }
    return call;
}

// The library's routine `routine` through callUtf.
UtfCall convertUtf(Utf routine, const std::u32string& in, size_t room, utf_ConversionFlags flags);

// ---------------------------------------------------------------- files and handles

// The shipped code pages (every .ucm file below the data folder), sorted. Under
// AddressSanitizer, where a whole repertoire costs minutes, every eighth of them.
std::vector<std::string> shippedCodePages();

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

// ---------------------------------------------------------------- conversion forms

// What one call did. Inputs end right before the input guard page, and the room, all set to a
// sentinel (0xEE or 0xEEEE) before the call, right before the output guard page: a read or
// write past a limit dies with SIGSEGV.
struct Call {
    int result = 0;            // counted forms and mblen: the value returned
    int error = kUnset;        // the error code, kUnset when not written
    size_t consumed = 0;       // pointer-range forms: input consumed
    size_t written = 0;        // pointer-range forms: output pointer moved
    std::vector<unsigned> out; // the whole room after the call
    std::string message;       // what the call wrote to standard error
    bool operator==(const Call& o) const
    {
        return result == o.result && error == o.error && consumed == o.consumed &&
               written == o.written && out == o.out && message == o.message;
    }
};

constexpr unsigned kByteSentinel = 0xEE;
constexpr unsigned kUnitSentinel = 0xEEEE;

// The counted forms: `size` input (negative: up to the 0), room for `room` (negative: null).
Call toUChars(NoxUConverter* h, const std::string& bytes, int size, int room);
Call fromUChars(NoxUConverter* h, const std::u16string& units, int size, int room);
// The pointer-range forms: the input range ends `end` units in, the output range `room` in.
Call toUnicode(NoxUConverter* h, const std::string& bytes, size_t end, size_t room);
Call fromUnicode(NoxUConverter* h, const std::u16string& units, size_t end, size_t room);
Call mblen(NoxUConverter* h, const std::string& bytes, int maxBytes);

// How a whole input converts: the output of the part converted, the input it takes, and what
// ends it (NCNV_OK at the end of the input or at a 0; else the failure's code and message).
struct Expect {
    Expect(std::u16string units_in, size_t consumed_in, int stop_in = NCNV_OK,
           std::string message_in = "")
        : units(std::move(units_in)), consumed(consumed_in), stop(stop_in),
          message(std::move(message_in))
    {
    }
    std::u16string units; // to Unicode; from Unicode, the bytes as units 0-255
    size_t consumed;
    int stop;
    std::string message;
};

// Converts `in` through every form with room for all, for all but the last unit, and none
// (sizing), counted and pointer-range, and checks each against `want`: results, error codes,
// positions, terminators, untouched output and messages.
void expectToUEveryForm(NoxUConverter* h, const std::string& bytes, const Expect& want);
void expectFromUEveryForm(NoxUConverter* h, const std::u16string& units, const Expect& want);

// ---------------------------------------------------------------- processes and output

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

// Checks made inside a child: each failure is reported on standard output and counted.
class ChildChecks {
  public:
    void expect(bool ok, const char* what);
    int failures() const { return mFailures; }

  private:
    int mFailures = 0;
};

// Runs `body` in a child whose library settings are all unset but those in `env`; expects
// every check to pass and standard error to read exactly `err`.
void expectInChild(const std::map<std::string, const char*>& env,
                   const std::function<void(ChildChecks&)>& body, const std::string& err = "");

std::string hexBytes(const std::string& bytes);
std::string hexUnits(const std::u16string& units);

} // namespace noxtest

#endif

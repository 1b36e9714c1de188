// test_support.h - helpers shared by the tests: kernel levels, guard pages, calls, children.
#ifndef NOXUNICODE_TEST_SUPPORT_H
#define NOXUNICODE_TEST_SUPPORT_H

#include "ConvertUTF.h"
#include "kernels/kernels.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace noxtest {

// An error code that no function writes: the value a test puts there before a call.
constexpr int kUnset = 99;

// Runs `body` at each level this processor runs, Exact first; the one place tests set levels.
void forEachLevel(const std::function<void()>& body);

// Runs `outcomes` at every level and expects what level Exact (the per-character path) gave.
template <typename F> void expectEveryLevelAsExact(const F& outcomes, const std::string& what = "")
{
    std::optional<decltype(outcomes())> exact;
    forEachLevel([&] {
        if (!exact) {
            exact = outcomes();
        } else {
            EXPECT_TRUE(*exact == outcomes()) << what;
        }
    });
}

// Input and output units as hex: bytes as \xNN, wider units as <UNNNN>.
template <typename Text> std::string hex(const Text& text)
{
    std::string retval;
    for (const auto unit : text) {
        char group[16];
        std::snprintf(group, sizeof group, sizeof unit == 1 ? "\\x%02X" : "<U%04X>",
                      unsigned(std::make_unsigned_t<std::decay_t<decltype(unit)>>(unit)));
        retval += group;
    }
    return retval;
}

// The end of a 64 KiB arena followed by an inaccessible page: slot 0 for inputs, 1 for outputs.
char* guardEnd(int slot);

// Places `values`, each cast to T, right before the guard page of `slot`.
template <typename T, typename Text> T* beforeGuard(int slot, const Text& values)
{
    T* data = reinterpret_cast<T*>(guardEnd(slot)) - values.size();
    std::transform(values.begin(), values.end(), data,
                   [](auto v) { return T(std::make_unsigned_t<std::decay_t<decltype(v)>>(v)); });
    return data;
}

// What one UTF call did; `untouched` counts the room after the output still holding the
// sentinel 0xEEEEEEEE (cast to the form).
struct UtfCall {
    int result = 0;
    size_t consumed = 0;
    std::u32string out;
    size_t untouched = 0;
    auto key() const { return std::tie(result, consumed, out, untouched); }
    bool operator==(const UtfCall& o) const { return key() == o.key(); }
};
inline void PrintTo(const UtfCall& c, std::ostream* os)
{
    *os << c.result << ", consumed " << c.consumed << ", out " << hex(c.out) << ", untouched "
        << c.untouched;
}

// The library's six UTF routines by their forms: each converts `in` from right before the input
// guard into `room` units right before the output guard.
struct Utf {
    using Routine = UtfCall (*)(const std::u32string& in, size_t room, utf_ConversionFlags flags);
    template <typename S, typename T, auto f>
    static UtfCall call(const std::u32string& in, size_t room, utf_ConversionFlags flags)
    {
        const S* const source = beforeGuard<S>(0, in);
        T* const target = beforeGuard<T>(1, std::u32string(room, 0xEEEEEEEE));
        const S* s = source;
        T* t = target;
        const int result = f(&s, source + in.size(), &t, target + room, flags);
        return {result, size_t(s - source), std::u32string(target, t),
                size_t(std::count(t, target + room, T(0xEEEEEEEE)))};
    }
    static constexpr Routine U8to16 = call<UTF8, UTF16, utf_ConvertUTF8toUTF16>,
                             U8to32 = call<UTF8, UTF32, utf_ConvertUTF8toUTF32>,
                             U16to8 = call<UTF16, UTF8, utf_ConvertUTF16toUTF8>,
                             U16to32 = call<UTF16, UTF32, utf_ConvertUTF16toUTF32>,
                             U32to8 = call<UTF32, UTF8, utf_ConvertUTF32toUTF8>,
                             U32to16 = call<UTF32, UTF16, utf_ConvertUTF32toUTF16>;
};

// The shipped code pages (every .ucm file below the data folder), sorted; under
// AddressSanitizer every eighth of them.
std::vector<std::string> shippedCodePages();

// 0x01-0x7F one byte, 0x81 two; round trips for A, B, C and 0x81 0x40 = U+3000.
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

// Owns a converter handle, opened from UCM text written to a temporary file or given.
class Handle {
  public:
    explicit Handle(const std::string& ucmText);
    explicit Handle(NoxUConverter* handle) : mHandle(handle) {}
    ~Handle() { ncnv_releaseConverter(mHandle); }
    NoxUConverter* get() const { return mHandle; }

  private:
    TempDir mDir;
    NoxUConverter* mHandle = nullptr;
};

// What one call did. The input ends right before the input guard, the room (all sentinels
// 0xEE or 0xEEEE before the call) right before the output guard.
struct Call {
    int result = 0;            // counted forms and mblen: the value returned
    int error = kUnset;        // the error code, kUnset when not written
    size_t consumed = 0;       // pointer-range forms: input consumed
    size_t written = 0;        // pointer-range forms: output pointer moved
    std::vector<unsigned> out; // the whole room after the call
    std::string message;       // what the call wrote to standard error
    auto key() const { return std::tie(result, error, consumed, written, out, message); }
    bool operator==(const Call& o) const { return key() == o.key(); }
};

// The counted forms: `size` input (negative: up to the 0), room for `room` (negative: null).
Call toUChars(NoxUConverter* h, const std::string& bytes, int size, int room);
Call fromUChars(NoxUConverter* h, const std::u16string& units, int size, int room);
// The pointer-range forms: the input range ends `end` units in, the output range `room` in.
Call toUnicode(NoxUConverter* h, const std::string& bytes, size_t end, size_t room);
Call fromUnicode(NoxUConverter* h, const std::u16string& units, size_t end, size_t room);
Call mblen(NoxUConverter* h, const std::string& bytes, int maxBytes);

// Runs `body` with standard error redirected; returns what it wrote.
std::string captureStderr(const std::function<void()>& body);

struct ChildResult {
    int exitCode = -1;
    std::string err;
};

// Runs `scenario` in a forked child with the environment changed as given (a null value
// unsets); its exit code is what `scenario` returns, its standard error comes back as text.
ChildResult runInChild(const std::map<std::string, const char*>& env,
                       const std::function<int()>& scenario);

// Checks made inside a child: each failure is reported on standard output and counted.
struct ChildChecks {
    int failures = 0;
    void expect(bool ok, const char* what);
};

// Runs `body` in a child whose library settings are all unset but those in `env`; expects
// every check to pass and standard error to read exactly `err`.
void expectInChild(const std::map<std::string, const char*>& env,
                   const std::function<void(ChildChecks&)>& body, const std::string& err = "");

} // namespace noxtest

#endif

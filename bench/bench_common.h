// bench_common.h - what the benchmark's case files share: notes for the JSON context, the
// filter test that spares a filtered run the inputs it does not need, the output buffers, the
// case wrappers (bulk and per call), short strings and the kernel levels of the static copy.
#ifndef NOXUNICODE_BENCH_COMMON_H
#define NOXUNICODE_BENCH_COMMON_H

#include "bench_text.h"

#include "ConvertUTF.h"
#include "unicode.h"

#if defined(NOX_BENCH_LEVELS)
#include "kernels/kernels.h"
#endif

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#ifndef NOX_BENCH_UCM_DIR
#error "NOX_BENCH_UCM_DIR must name the directory of the shipped code pages"
#endif

namespace noxbench {

// ---------------------------------------------------------------- setup reporting

// Prints a setup note and adds it to the JSON context. Keys that begin with "error " or
// "differs ", and values that contain "DIFFER", mark the run as failed.
void note(const std::string& key, const std::string& value);
// Whether a note marked the run as failed; main's exit status.
bool checkFailed();

std::string hexBytes(const std::string& bytes);
std::string unitName(uint32_t cp);

// First position where two sequences differ, as text for a report.
template <typename A, typename B> std::string firstDifference(const A& a, size_t aLen, const B& b)
{
    size_t i = 0;
    while (i < aLen && i < b.size() && static_cast<uint32_t>(a[i]) == static_cast<uint32_t>(b[i])) {
        ++i;
    }
    return "lengths " + std::to_string(aLen) + " and " + std::to_string(b.size()) +
           ", first difference at unit " + std::to_string(i);
}

// Sends standard error to /dev/null while it lives: probing characters that a code page
// lacks makes the library report each one.
class QuietStderr {
  public:
    QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;
    ~QuietStderr();

  private:
    int saved_ = -1;
};

// Whether --benchmark_filter selects any case whose name is one of `prefixes` followed by
// "/IMPL" for an implementation name the suite uses, so that a filtered run builds only the
// inputs it needs. An empty or negative filter selects everything.
bool selected(const std::vector<std::string>& prefixes);

// ---------------------------------------------------------------- shared output buffers

// Large enough for the longest input of any case (reserveOutputs), touched before measuring.
inline U16 out16;
inline std::vector<char> out8;
inline std::vector<UTF32> out32;

// Grows the output buffers to hold `units` UTF-16 units, max(bytes, 4 * units) bytes and
// `units` UTF-32 units, writing every page.
void reserveOutputs(size_t units, size_t bytes);

// ---------------------------------------------------------------- case helpers

inline constexpr size_t kShortCount = 1024; // short strings per iteration

template <typename F> void registerCase(const std::string& name, F body)
{
    benchmark::RegisterBenchmark(name.c_str(), body);
}

// Runs `convert` (which returns false on failure) once per iteration over `inputBytes` bytes.
template <typename F> auto bulk(size_t inputBytes, F convert)
{
    return [inputBytes, convert](benchmark::State& state) {
        for (auto _ : state) {
            if (!convert()) {
                state.SkipWithError("conversion failed");
                break;
            }
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                                static_cast<int64_t>(inputBytes));
    };
}

// Runs `convert(k)` for each of the short strings per iteration; reports calls per second.
template <typename F> auto perCall(F convert)
{
    return [convert](benchmark::State& state) {
        bool ok = true;
        for (auto _ : state) {
            for (size_t k = 0; ok && k < kShortCount; ++k) {
                ok = convert(k);
            }
            if (!ok) {
                state.SkipWithError("conversion failed");
                break;
            }
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                                static_cast<int64_t>(kShortCount));
    };
}

// ---------------------------------------------------------------- short strings

// kShortCount strings back to back, in a byte encoding and in UTF-16.
struct ShortStrings {
    std::vector<char> bytes;     // the strings' code-page (or UTF-8) bytes, back to back
    std::vector<size_t> byteOff; // kShortCount + 1 offsets into bytes
    U16 units;                   // the same strings in UTF-16
    std::vector<size_t> unitOff; // kShortCount + 1 offsets into units
};

// A length class of short strings: sizes from `minBytes` to `maxBytes` in the byte encoding,
// each string as long as whole characters allow. `name` is the case-name token ("8B").
struct ShortSize {
    const char* name;
    size_t minBytes;
    size_t maxBytes;
};

inline constexpr ShortSize kShortSizes[] = {
    {"8B", 8, 8}, {"32B", 32, 32}, {"128B", 128, 128}, {"16-64B", 16, 64}};

// Cuts the UTF-16 side of short strings out of `text` on character boundaries, at random
// places (fixed seed), measuring bytes with `sizeOf(unit)`; a pair counts four bytes.
template <typename SizeOfUnit>
void cutShortStrings(const U16& text, SizeOfUnit sizeOf, const ShortSize& size, uint64_t seed,
                     ShortStrings& s)
{
    Rng rng(seed);
    s.unitOff.push_back(0);
    while (s.unitOff.size() <= kShortCount) {
        size_t i = rng.below(static_cast<uint32_t>(text.size() - 1024));
        if (text[i] >= 0xDC00 && text[i] < 0xE000) {
            ++i;
        }
        const size_t target = static_cast<size_t>(
            rng.range(static_cast<int>(size.minBytes), static_cast<int>(size.maxBytes)));
        size_t bytes = 0;
        while (i < text.size()) {
            const bool pair = text[i] >= 0xD800 && text[i] < 0xDC00;
            const size_t w = pair ? 4 : sizeOf(text[i]);
            if (bytes + w > target) {
                break;
            }
            s.units.push_back(text[i]);
            if (pair) {
                s.units.push_back(text[i + 1]);
            }
            i += pair ? 2 : 1;
            bytes += w;
        }
        s.unitOff.push_back(s.units.size());
    }
}

// ---------------------------------------------------------------- kernel levels

#if defined(NOX_BENCH_LEVELS)
// A kernel level as the case names and the summary spell it.
struct Level {
    nox::KernelLevel level;
    const char* token;       // "avx2": the implementation part of a case name
    const char* simdutfImpl; // simdutf's implementation at the same instruction set, or null
};

inline constexpr Level kLevels[] = {{nox::KernelLevel::AVX512, "avx512", "icelake"},
                                    {nox::KernelLevel::AVX2, "avx2", "haswell"},
                                    {nox::KernelLevel::SSE42, "sse42", "westmere"},
                                    {nox::KernelLevel::SSE2, "sse2", nullptr},
                                    {nox::KernelLevel::Exact, "exact", nullptr}};

// Whether this processor runs the level; notes once which levels it lacks.
bool levelAvailable(const Level& level);

// Runs a case with the kernel ceiling at `level`, restoring the highest ceiling afterwards.
template <typename F> auto atLevel(nox::KernelLevel level, F body)
{
    return [level, body](benchmark::State& state) {
        nox::setKernelCeiling(level);
        body(state);
        nox::setKernelCeiling(nox::KernelLevel::AVX512);
    };
}
#endif

} // namespace noxbench

#endif

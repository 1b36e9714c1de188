// kernels.h - what the code-page and UTF modules share about their fast kernels: the
// instruction-set levels, the processor's level (found once), the process-wide ceiling that
// tests and benchmarks lower, and one spelling of each target attribute.
//
// Every conversion gives the same result at every level; a level only decides which kernels
// run. Exact runs no kernel at all (the per-character path alone); Scalar runs the table-driven
// kernels without intrinsics; each further level adds the kernels of its instruction set.
#ifndef NOXUNICODE_KERNELS_KERNELS_H
#define NOXUNICODE_KERNELS_KERNELS_H

#include <atomic>

// x86 intrinsics are compiled unless the build is portable (NOX_PORTABLE): then only the
// Exact and Scalar levels exist.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__SSE2__) && !defined(NOX_PORTABLE)
#define NOX_X86 1
#define NOX_TARGET_SSE42 __attribute__((target("sse4.2,popcnt")))
#define NOX_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt,sse4.2")))
#define NOX_TARGET_AVX512                                                                          \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi,avx512vbmi2,"             \
                          "avx2,bmi,bmi2,popcnt,sse4.2")))
#endif

// Kernels that check a page's last bytes for the terminating 0 read whole aligned blocks,
// which never cross into another page but may reach past the end of the caller's object.
#if defined(__clang__) || defined(__GNUC__)
#define NOX_NO_SANITIZE_ADDRESS __attribute__((no_sanitize_address))
#else
#define NOX_NO_SANITIZE_ADDRESS
#endif

namespace nox {

enum class KernelLevel : int { Exact = 0, Scalar, SSE2, SSE42, AVX2, AVX512 };
constexpr int kKernelLevels = 6;

inline const char* kernelLevelName(KernelLevel level)
{
    static const char* const s_names[kKernelLevels] = {"Exact",  "Scalar", "SSE2",
                                                       "SSE4.2", "AVX2",   "AVX-512"};
    return s_names[static_cast<int>(level)];
}

// The highest level this processor (and this build) runs, found on first use.
inline KernelLevel cpuKernelLevel()
{
    static const KernelLevel s_level = [] {
        KernelLevel level = KernelLevel::Scalar;
#if defined(NOX_X86)
        __builtin_cpu_init();
        const bool sse42 = __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("popcnt");
        const bool avx2 = sse42 && __builtin_cpu_supports("avx2") &&
                          __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
        const bool avx512 =
            avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
            __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2");
        level = avx512  ? KernelLevel::AVX512
                : avx2  ? KernelLevel::AVX2
                : sse42 ? KernelLevel::SSE42
                        : KernelLevel::SSE2;
#endif
        return level;
    }();
    return s_level;
}

// The process-wide ceiling: the library runs the highest level at or below both the ceiling
// and what the processor has. Internal: tests, fuzzers and benchmarks lower it to run the
// same cases through every level.
inline std::atomic<int> s_kernelCeiling{static_cast<int>(KernelLevel::AVX512)};

inline void setKernelCeiling(KernelLevel level_in)
{
    s_kernelCeiling.store(static_cast<int>(level_in), std::memory_order_relaxed);
}

inline KernelLevel kernelCeiling()
{
    return static_cast<KernelLevel>(s_kernelCeiling.load(std::memory_order_relaxed));
}

inline KernelLevel activeKernelLevel()
{
    const int ceiling = s_kernelCeiling.load(std::memory_order_relaxed);
    const int cpu = static_cast<int>(cpuKernelLevel());
    return static_cast<KernelLevel>(ceiling < cpu ? ceiling : cpu);
}

} // namespace nox

#endif

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
#include <cstddef>
#include <cstdint>
#include <cstring>

// x86 intrinsics are compiled unless the build is portable (NOX_PORTABLE): then only the
// Exact and Scalar levels exist.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__SSE2__) && !defined(NOX_PORTABLE)
#define NOX_X86 1
#include <immintrin.h>
#define NOX_TARGET_SSE42 __attribute__((target("sse4.2,popcnt")))
#define NOX_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt,sse4.2")))
#define NOX_TARGET_AVX512                                                                          \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi,avx512vbmi2,"             \
                          "avx2,bmi,bmi2,popcnt,sse4.2")))
#endif

// AddressSanitizer checks every read against the caller's object, not its page: under it the
// code-page runs read no further than the text they have seen (see codepage_runs.inl).
#if defined(__SANITIZE_ADDRESS__)
#define NOX_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NOX_ADDRESS_SANITIZER 1
#endif
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

// How many characters a table's converters take one at a time before its kernels' tables are
// built (a conversion of a longer text builds them at once). On the double-byte code pages the
// build costs as much as taking 5,000 to 30,000 characters one at a time, so a process that
// converts only a few short strings is quicker without them, and one that converts more spends
// on the characters taken one at a time at most about half of what the build costs. Internal:
// tests and fuzzers set 0 (or a few characters), so that their short texts run the kernels.
inline std::atomic<size_t> s_kernelTablesAfter{4096};

inline void setKernelTablesAfter(size_t characters_in)
{
    s_kernelTablesAfter.store(characters_in, std::memory_order_relaxed);
}

inline size_t kernelTablesAfter()
{
    return s_kernelTablesAfter.load(std::memory_order_relaxed);
}

// Texts of more code units than this (UTF-8 bytes, UTF-16 units) convert between UTF-8 and
// UTF-16 with the steps meant for text beyond the caches (see utf_avx512_to16.inl and
// utf_avx512_to8.inl). Internal: tests and fuzzers set 0, so that their short texts take those
// steps too.
inline std::atomic<std::ptrdiff_t> s_farTextUnits{256 * 1024};

inline void setFarTextUnits(std::ptrdiff_t units_in)
{
    s_farTextUnits.store(units_in, std::memory_order_relaxed);
}

inline std::ptrdiff_t farTextUnits()
{
    return s_farTextUnits.load(std::memory_order_relaxed);
}

// How many units `at` lies past the last 32-byte boundary; 0 for units not aligned to their
// size, which no step can bring to a boundary. The AVX2 loops of long runs go on from a
// boundary: taken unaligned, every other load of 32 bytes straddles two cache lines.
template <typename Unit> inline std::size_t unitsPastBoundary(const Unit* at)
{
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    return address % sizeof(Unit) == 0 ? address % 32 / sizeof(Unit) : 0;
}

// Writes to `row` the byte shuffle that moves the 16-bit lanes of the set bits of `mask` (eight
// lanes) to the front, in order; returns the number of bytes written.
constexpr int packLanesRow(unsigned mask, unsigned char* row)
{
    int n = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
        if (((mask >> lane) & 1u) != 0) {
            row[n++] = static_cast<unsigned char>(2 * lane);
            row[n++] = static_cast<unsigned char>(2 * lane + 1);
        }
    }
    return n;
}

inline KernelLevel activeKernelLevel()
{
    const int ceiling = s_kernelCeiling.load(std::memory_order_relaxed);
    const int cpu = static_cast<int>(cpuKernelLevel());
    return static_cast<KernelLevel>(ceiling < cpu ? ceiling : cpu);
}

// ---------------------------------------------------------------- code-page tables

// How the kernels of a code page are chosen, per direction, from what its tables hold.
enum class CodePageFamily : int {
    SelfMapped, // every byte 0x01-0xFF is its own unit
    SingleByte, // every character is one byte
    DoubleByte, // one- and two-byte characters with a byte-pair table
    General,    // everything else: cached one- and two-byte characters
    // From Unicode only: every character is one byte, none above ASCII maps to itself, and a
    // table of each unit's byte is there for the levels that gather it
    SingleByteGathered
};
constexpr int kCodePageFamilies = 5;

// The tables a code page's kernels read, built once per table from its two lookups (so that
// every preference among records carries over) and read-only afterwards. An entry of 0
// always means "leave this character to the exact per-character path".
struct CodePageTables {
    // To Unicode: by byte for one-byte lead bytes, and by first byte then second byte for
    // two-byte lead bytes (null rows for the other first bytes). Entries from toUEntry.
    uint32_t toUSingle[256];
    uint32_t* toUDouble[256];
    // From Unicode: rows by the unit's high byte, each by its low byte; rows that no record
    // uses share one row of zeros. Entries from fromUEntry.
    uint32_t* fromURows[256];
    uint32_t* zeroRow;
    // Single-byte code pages on processors with byte permutations: each byte's unit as its
    // low byte (0-255), its high byte (256-511) and 0xFF where the byte has an entry (512-767).
    unsigned char* byteToUnit;
    // Double-byte code pages whose lead bytes lie in at most two ranges: the unit of each
    // byte pair, first byte << 8 | second byte (0: none), plus one entry for four-byte gathers.
    uint16_t* pairUnits;
    unsigned char leadRanges[4]; // first and last byte of each of the two lead-byte ranges
    // Processors that gather: the bytes of each unit (unitBytesWidth bytes an entry, none 0),
    // 0 where the exact path decides.
    unsigned char* unitBytes;
    size_t unitBytesWidth;
    // Ranges that map to themselves, one byte a character: besides ASCII, the units
    // selfMappedFirst-selfMappedLast from Unicode (1-0x7F when no other range does), and the
    // bytes selfMappedToUFirst-0xFF to Unicode (0x100: none).
    uint16_t selfMappedFirst;
    uint16_t selfMappedLast;
    uint16_t selfMappedToUFirst;
    // To Unicode, the longest range of bytes up to 0xFF whose units follow them at one distance
    // (0xC0-0xFF to U+0410-U+044F on CP1251), for the levels that widen and add: the bytes
    // linearToUFirst-0xFF map to byte + linearToUDelta (0x100: none).
    uint16_t linearToUFirst;
    uint16_t linearToUDelta;
    bool asciiToU;       // bytes 0x01-0x7F map to the same units, one byte each
    bool asciiFromU;     // units 0x01-0x7F map to the same bytes
    bool identityToU;    // all of 0x01-0xFF map to the same units, one byte each
    bool singleByteOnly; // no byte starts a character longer than one byte
    // The run loop of each direction, picked by what the tables hold.
    CodePageFamily toUFamily;
    CodePageFamily fromUFamily;
};

// A to-Unicode entry: a present flag, the character's length in bytes and its unit.
constexpr uint32_t toUEntry(uint16_t unit, unsigned length)
{
    return 0x1000000u | length << 16 | unit;
}
constexpr uint16_t toUEntryUnit(uint32_t entry)
{
    return static_cast<uint16_t>(entry);
}
constexpr bool toUEntryHasLength(uint32_t entry, unsigned length)
{
    return entry >> 16 == (0x100u | length);
}

// A from-Unicode entry: the length in the top byte above up to three bytes, first byte lowest.
constexpr uint32_t fromUEntry(uint32_t bytes, unsigned length)
{
    return length << 24 | bytes;
}
constexpr unsigned fromUEntryLength(uint32_t entry)
{
    return entry >> 24;
}
constexpr unsigned char fromUEntryByte(uint32_t entry, unsigned k)
{
    return static_cast<unsigned char>(entry >> (8 * k));
}

// ---------------------------------------------------------------- shared SSE2 helpers

#if defined(NOX_X86)
// 16 bytes to 16 units, each byte zero-extended.
inline void sse2Widen16(const unsigned char* source, uint16_t* target)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target), _mm_unpacklo_epi8(v, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 8), _mm_unpackhi_epi8(v, zero));
}

// 16 units, each at most 0xFF, to 16 bytes.
inline void sse2Narrow16(const uint16_t* source, unsigned char* target)
{
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target), _mm_packus_epi16(a, b));
}
#endif

// ---------------------------------------------------------------- reading ahead safely

// Code-page input ends at its first 0 byte or unit, even where the caller's count or range
// says more. Kernels read blocks, and a block must never reach into a page that the text
// does not reach: a page is known to be readable once a byte of the text lies in it. So a
// block may cross the end of a page only when the rest of that page holds no 0.
constexpr size_t kPageSize = 4096;

inline size_t bytesToPageEnd(const void* p)
{
    return kPageSize - (reinterpret_cast<uintptr_t>(p) & (kPageSize - 1));
}

#if defined(NOX_X86)
// True when no unit in [from, pageEnd) is 0, where pageEnd is the end of from's page. Reads
// whole aligned 16-byte blocks of that page, which may begin before `from` (those units are
// ignored): aligned blocks never reach into another page.
template <typename Unit>
NOX_NO_SANITIZE_ADDRESS inline bool sse2PageRestHasNoZero(const Unit* from, const Unit* pageEnd)
{
    const uintptr_t start = reinterpret_cast<uintptr_t>(from);
    const uintptr_t end = reinterpret_cast<uintptr_t>(pageEnd);
    const __m128i zero = _mm_setzero_si128();
    bool retval = true;
    for (uintptr_t block = start & ~uintptr_t{15}; retval && block < end; block += 16) {
        const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(block));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(
            sizeof(Unit) == 1 ? _mm_cmpeq_epi8(v, zero) : _mm_cmpeq_epi16(v, zero)));
        if (block < start) {
            mask &= ~0u << (start - block);
        }
        retval = mask == 0;
    }
    return retval;
}
#endif

} // namespace nox

#endif

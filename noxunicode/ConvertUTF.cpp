// ConvertUTF.cpp - conversions between UTF-8, UTF-16 and UTF-32, and UTF-8 validation.
#include "ConvertUTF.h"

#include "kernels/kernels.h"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Wider vector paths are compiled for x86 and chosen at run time by the processor.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(NOX_NO_SSE42_PATHS)
#define NOX_SSE42_PATHS 1
#include <immintrin.h>
#define NOX_SSE42 __attribute__((target("sse4.2,popcnt")))
#if !defined(NOX_NO_AVX2_PATHS)
#define NOX_AVX2_PATHS 1
#define NOX_AVX2 __attribute__((target("avx2,sse4.2,popcnt")))
#endif
#endif

namespace {

const int halfShift = 10;
const UTF32 halfBase = 0x10000UL;
const UTF32 halfMask = 0x3FFUL;

const UTF32 surHighStart = 0xD800;
const UTF32 surHighEnd = 0xDBFF;
const UTF32 surLowStart = 0xDC00;
const UTF32 surLowEnd = 0xDFFF;
const UTF32 maxLegalUtf32 = 0x10FFFF;
const UTF32 replacementChar = 0xFFFD;

// Bytes that follow a first byte. Trailing bytes 0x80..0xBF map to 0 so that validation
// rejects them as one-byte characters; 0xF8..0xFF map to lengths validation never accepts.
const signed char trailingBytesForUTF8[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

// What the marker bits of an (n+1)-byte sequence add to the sum of its raw bytes.
const UTF32 offsetsFromUTF8[6] = {0x00000000UL, 0x00003080UL, 0x000E2080UL,
                                  0x03C82080UL, 0xFA082080UL, 0x82082080UL};

// Marker bits of the first byte, by sequence length.
const UTF8 firstByteMark[7] = {0x00, 0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

const UTF32 byteMark = 0x80;
const UTF32 byteMask = 0xBF;

inline bool s_isSurrogate(UTF32 ch)
{
    return ch >= surHighStart && ch <= surLowEnd;
}

// Values that strict mode refuses when they come from UTF-32 input.
inline bool s_isRefusedUtf32(UTF32 ch)
{
    return s_isSurrogate(ch) || ch > maxLegalUtf32;
}

inline bool s_isLowSurrogate(UTF32 ch)
{
    return ch >= surLowStart && ch <= surLowEnd;
}

inline UTF32 s_combinePair(UTF32 high, UTF32 low)
{
    return ((high - surHighStart) << halfShift) + (low - surLowStart) + halfBase;
}

// Stores a value from 0x10000 to 0x10FFFF as a surrogate pair, whose room is certain.
inline void s_putSupplementary(UTF32 ch, UTF16*& target)
{
    ch -= halfBase;
    target[0] = static_cast<UTF16>((ch >> halfShift) + surHighStart);
    target[1] = static_cast<UTF16>((ch & halfMask) + surLowStart);
    target += 2;
}

inline void s_putSupplementary(UTF32 ch, UTF32*& target)
{
    *target++ = ch;
}

// Bytes of the UTF-8 form of a value up to 0x10FFFF.
inline int s_utf8Length(UTF32 ch)
{
    return ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < halfBase ? 3 : 4;
}

inline bool s_isLegalUtf8(const UTF8* source, int32_t length)
{
    if (length < 1 || length > 4) {
        return false;
    }
    if (length == 4 && (source[3] < 0x80 || source[3] > 0xBF)) {
        return false;
    }
    if (length >= 3 && (source[2] < 0x80 || source[2] > 0xBF)) {
        return false;
    }
    const UTF8 first = source[0];
    if (length >= 2) {
        // The second byte rules out overlong forms and values above 0x10FFFF; the
        // surrogate forms after 0xED are left for the converters to judge.
        UTF8 low = 0x80;
        UTF8 high = 0xBF;
        if (first == 0xE0) {
            low = 0xA0;
        } else if (first == 0xF0) {
            low = 0x90;
        } else if (first == 0xF4) {
            high = 0x8F;
        }
        if (source[1] < low || source[1] > high) {
            return false;
        }
    }
    return first < 0x80 || (first >= 0xC2 && first <= 0xF4);
}

// Reads one UTF-16 character into ch and moves source past it. A high surrogate with
// nothing after it stands for itself; in strict mode any other unpaired surrogate is
// refused and source stays on it.
inline utf_ConversionResult s_readUtf16(const UTF16*& source, const UTF16* sourceEnd, bool strict,
                                        UTF32& ch)
{
    const UTF16* next = source + 1;
    ch = *source;
    if (ch >= surHighStart && ch <= surHighEnd) {
        if (next < sourceEnd) {
            const UTF32 ch2 = *next;
            if (s_isLowSurrogate(ch2)) {
                ch = s_combinePair(ch, ch2);
                ++next;
            } else if (strict) {
                return sourceIllegal;
            }
        }
    } else if (strict && s_isLowSurrogate(ch)) {
        return sourceIllegal;
    }
    source = next;
    return conversionOK;
}

// Reads one UTF-8 character into ch and moves source past it. On any other result source
// stays on the first byte. The cut-off test comes first, so a truncated sequence at the
// end is reported as such even when its bytes are illegal; `hasRoom` tells whether the
// target can take at least one unit.
inline utf_ConversionResult s_readUtf8(const UTF8*& source, const UTF8* sourceEnd, bool hasRoom,
                                       bool strict, UTF32& ch)
{
    const int extraBytesToRead = trailingBytesForUTF8[*source];
    if (extraBytesToRead >= sourceEnd - source) {
        return sourceExhausted;
    }
    if (!s_isLegalUtf8(source, extraBytesToRead + 1)) {
        return sourceIllegal;
    }
    if (!hasRoom) {
        return targetExhausted;
    }
    // Sum the raw bytes and remove all marker bits with one subtraction.
    UTF32 sum = 0;
    for (int i = 0; i < extraBytesToRead; ++i) {
        sum = (sum + source[i]) << 6;
    }
    sum += source[extraBytesToRead];
    sum -= offsetsFromUTF8[extraBytesToRead];
    if (strict && s_isSurrogate(sum)) {
        return sourceIllegal;
    }
    ch = sum;
    source += extraBytesToRead + 1;
    return conversionOK;
}

// Writes ch (at most 0x10FFFF) as one unit or a surrogate pair; false, with nothing
// written, when it does not fit.
inline bool s_writeUtf16(UTF32 ch, UTF16*& target, UTF16* targetEnd)
{
    if (ch < halfBase) {
        if (target >= targetEnd) {
            return false;
        }
        *target++ = static_cast<UTF16>(ch);
        return true;
    }
    if (targetEnd - target < 2) {
        return false;
    }
    s_putSupplementary(ch, target);
    return true;
}

// Writes the bytesToWrite-byte UTF-8 form of ch at target, filling the sequence from its
// end so that each byte is written once.
inline void s_putUtf8(UTF32 ch, int bytesToWrite, UTF8* target)
{
    for (int i = bytesToWrite - 1; i > 0; --i) {
        target[i] = static_cast<UTF8>((ch | byteMark) & byteMask);
        ch >>= 6;
    }
    target[0] = static_cast<UTF8>(ch | firstByteMark[bytesToWrite]);
}

// Writes ch as UTF-8, U+FFFD in place of a value above 0x10FFFF; false, with nothing
// written, when the sequence does not fit.
inline bool s_writeUtf8(UTF32 ch, UTF8*& target, UTF8* targetEnd)
{
    if (ch > maxLegalUtf32) {
        ch = replacementChar;
    }
    const int bytesToWrite = s_utf8Length(ch);
    if (bytesToWrite > targetEnd - target) {
        return false;
    }
    s_putUtf8(ch, bytesToWrite, target);
    target += bytesToWrite;
    return true;
}

// Bulk steps. Each converts a run of characters that every mode treats alike (no surrogate
// form, nothing out of range) while a whole character and its room are certain, writes each
// unit once and never past the character it belongs to, and leaves everything unusual, and
// the last few units before either end, to the per-character step.

// Number of leading units below 0x80 among the 16 at p (16 when all are), one at a time.
template <typename Unit> inline int s_asciiPrefixPlain(const Unit* p)
{
    int n = 0;
    while (n < 16 && p[n] < 0x80) {
        ++n;
    }
    return n;
}

// Number of leading ASCII bytes among the 16 at p (16 when all are).
inline int s_asciiPrefix(const UTF8* p)
{
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(v));
    return mask == 0 ? 16 : __builtin_ctz(mask);
#else
    return s_asciiPrefixPlain(p);
#endif
}

// Number of leading units below 0x80 among the 16 at p (16 when all are).
inline int s_asciiPrefix(const UTF16* p)
{
#if defined(__SSE2__)
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    // Two mask bits per unit, set where the unit is ASCII.
    const unsigned ascii =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(a, high), zero))) |
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(b, high), zero)))
            << 16;
    return ascii == 0xFFFFFFFFu ? 16 : __builtin_ctz(~ascii) / 2;
#else
    return s_asciiPrefixPlain(p);
#endif
}

// Copies 16 ASCII units from source to target, widening or narrowing them.
inline void s_copy16(const UTF8* source, UTF16* target)
{
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target), _mm_unpacklo_epi8(v, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 8), _mm_unpackhi_epi8(v, zero));
#else
    for (int i = 0; i < 16; ++i) {
        target[i] = source[i];
    }
#endif
}

inline void s_copy16(const UTF8* source, UTF32* target)
{
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(v, zero);
    const __m128i hi = _mm_unpackhi_epi8(v, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target), _mm_unpacklo_epi16(lo, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 4), _mm_unpackhi_epi16(lo, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 8), _mm_unpacklo_epi16(hi, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 12), _mm_unpackhi_epi16(hi, zero));
#else
    for (int i = 0; i < 16; ++i) {
        target[i] = source[i];
    }
#endif
}

inline void s_copy16(const UTF16* source, UTF8* target)
{
#if defined(__SSE2__)
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target), _mm_packus_epi16(a, b));
#else
    for (int i = 0; i < 16; ++i) {
        target[i] = static_cast<UTF8>(source[i]);
    }
#endif
}

// Copies the ASCII run at source, at least one unit, as far as 16 units go; returns false,
// copying nothing, when fewer than 16 units or 16 units of room remain.
template <typename Src, typename Dst>
inline bool s_copyAscii(const Src*& source, const Src* sourceEnd, Dst*& target, Dst* targetEnd)
{
    if (sourceEnd - source < 16 || targetEnd - target < 16) {
        return false;
    }
    const int n = s_asciiPrefix(source);
    if (n == 16) {
        s_copy16(source, target);
    } else {
        for (int i = 0; i < n; ++i) {
            target[i] = static_cast<Dst>(source[i]);
        }
    }
    source += n;
    target += n;
    return true;
}

inline bool s_isTrail(UTF32 byte)
{
    return (byte & 0xC0) == 0x80;
}

// Decodes one well-formed UTF-8 character that no mode judges (no surrogate form) and
// stores it; false, with nothing done, at anything else. Four readable bytes and two units
// of room must be certain.
template <typename Dst> inline bool s_stepFromUtf8(const UTF8*& source, Dst*& target)
{
    const UTF32 b0 = source[0];
    if (b0 < 0x80) {
        *target++ = static_cast<Dst>(b0);
        ++source;
        return true;
    }
    const UTF32 b1 = source[1];
    if (b0 < 0xE0) {
        if (b0 < 0xC2 || !s_isTrail(b1)) {
            return false;
        }
        *target++ = static_cast<Dst>(((b0 & 0x1F) << 6) | (b1 & 0x3F));
        source += 2;
        return true;
    }
    const UTF32 b2 = source[2];
    if (b0 < 0xF0) {
        const UTF32 ch = ((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
        // Excludes overlong forms and the surrogate forms, which the modes judge.
        if (!s_isTrail(b1) || !s_isTrail(b2) || ch < 0x800 || s_isSurrogate(ch)) {
            return false;
        }
        *target++ = static_cast<Dst>(ch);
        source += 3;
        return true;
    }
    const UTF32 b3 = source[3];
    const UTF32 ch = ((b0 & 0x07) << 18) | ((b1 & 0x3F) << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F);
    if (b0 > 0xF4 || !s_isTrail(b1) || !s_isTrail(b2) || !s_isTrail(b3) || ch < halfBase ||
        ch > maxLegalUtf32) {
        return false;
    }
    s_putSupplementary(ch, target);
    source += 4;
    return true;
}

// Well-formed UTF-8 of every length, as long as four bytes and two units of room remain.
template <typename Dst>
void s_bulkFromUtf8(const UTF8*& source, const UTF8* sourceEnd, Dst*& target, Dst* targetEnd)
{
    while (sourceEnd - source >= 4 && targetEnd - target >= 2) {
        if (*source < 0x80 && s_copyAscii(source, sourceEnd, target, targetEnd)) {
            continue;
        }
        if (!s_stepFromUtf8(source, target)) {
            break;
        }
    }
}

// Reads one character or surrogate pair that no mode judges; false, with nothing done, at
// a surrogate that is not the first of a whole pair.
inline bool s_readUtf16Fast(const UTF16*& source, const UTF16* sourceEnd, UTF32& ch)
{
    ch = *source;
    if (s_isSurrogate(ch)) {
        if (ch > surHighEnd || sourceEnd - source < 2) {
            return false;
        }
        if (!s_isLowSurrogate(source[1])) {
            return false;
        }
        ch = s_combinePair(ch, source[1]);
        ++source;
    }
    ++source;
    return true;
}

// Writes a value up to 0x10FFFF that is no surrogate, with four bytes of room certain.
// Each branch has a constant length, so that its bytes are written without a loop.
inline void s_putUtf8Fast(UTF32 ch, UTF8*& target)
{
    if (ch < 0x80) {
        *target++ = static_cast<UTF8>(ch);
    } else if (ch < 0x800) {
        s_putUtf8(ch, 2, target);
        target += 2;
    } else if (ch < halfBase) {
        s_putUtf8(ch, 3, target);
        target += 3;
    } else {
        s_putUtf8(ch, 4, target);
        target += 4;
    }
}

// Characters and surrogate pairs, as long as four bytes of room remain.
void s_bulkUtf16ToUtf8(const UTF16*& source, const UTF16* sourceEnd, UTF8*& target, UTF8* targetEnd)
{
    UTF32 ch = 0;
    while (source < sourceEnd && targetEnd - target >= 4) {
        if (*source < 0x80 && s_copyAscii(source, sourceEnd, target, targetEnd)) {
            continue;
        }
        if (!s_readUtf16Fast(source, sourceEnd, ch)) {
            break;
        }
        s_putUtf8Fast(ch, target);
    }
}

// Values that need no judgement, as long as four bytes of room remain.
void s_bulkUtf32ToUtf8(const UTF32*& source, const UTF32* sourceEnd, UTF8*& target, UTF8* targetEnd)
{
    while (source < sourceEnd && targetEnd - target >= 4 && !s_isRefusedUtf32(*source)) {
        s_putUtf8Fast(*source++, target);
    }
}

// Characters and surrogate pairs, as long as room remains.
void s_bulkUtf16ToUtf32(const UTF16*& source, const UTF16* sourceEnd, UTF32*& target,
                        UTF32* targetEnd)
{
    UTF32 ch = 0;
    while (source < sourceEnd && target < targetEnd && s_readUtf16Fast(source, sourceEnd, ch)) {
        *target++ = ch;
    }
}

// Values that need no judgement, as long as two units of room remain.
void s_bulkUtf32ToUtf16(const UTF32*& source, const UTF32* sourceEnd, UTF16*& target,
                        UTF16* targetEnd)
{
    while (source < sourceEnd && targetEnd - target >= 2 && !s_isRefusedUtf32(*source)) {
        const UTF32 ch = *source++;
        if (ch < halfBase) {
            *target++ = static_cast<UTF16>(ch);
        } else {
            s_putSupplementary(ch, target);
        }
    }
}

#if defined(NOX_SSE42_PATHS)

// Vector paths for UTF-8 <-> UTF-16, used when the processor has SSE4.2 and POPCNT (UTF-8
// to UTF-16 takes 32 bytes at a time when it also has AVX2). They take blocks of 8 to 32
// units that need no judgement and hand every other character to
// the scalar steps above. A vector store that would reach past the block's output keeps
// the bytes already there, so nothing beyond the returned target position changes.

// Shuffles that pack selected bytes of a vector to its front, by an 8-bit key.
struct PackTable {
    unsigned char shuffle[256][16];
    unsigned char count[256];
};

// Ends row `key` of a table after its first `used` shuffle entries: stores `count` and fills
// the rest with 0x80, which the shuffle turns into zero bytes.
constexpr void s_finishRow(PackTable& table, int key, int used, int count)
{
    table.count[key] = static_cast<unsigned char>(count);
    for (int n = used; n < 16; ++n) {
        table.shuffle[key][n] = 0x80;
    }
}

// UTF-16 to UTF-8, 8 units each held as one or two bytes of a 16-bit lane; key bit j is
// set when unit j is ASCII and takes one byte.
constexpr PackTable s_makeOneOrTwoTable()
{
    PackTable table{};
    for (int key = 0; key < 256; ++key) {
        int n = 0;
        for (int j = 0; j < 8; ++j) {
            table.shuffle[key][n++] = static_cast<unsigned char>(2 * j);
            if (((key >> j) & 1) == 0) {
                table.shuffle[key][n++] = static_cast<unsigned char>(2 * j + 1);
            }
        }
        s_finishRow(table, key, n, n);
    }
    return table;
}

// UTF-16 to UTF-8, 4 units each held as one to three bytes of a 32-bit lane; the low
// nibble of the key marks units of two bytes or more, the high nibble units of three.
constexpr PackTable s_makeOneToThreeTable()
{
    PackTable table{};
    for (int key = 0; key < 256; ++key) {
        int n = 0;
        for (int j = 0; j < 4; ++j) {
            const int length = 1 + ((key >> j) & 1) + ((key >> (j + 4)) & 1);
            for (int k = 0; k < length; ++k) {
                table.shuffle[key][n++] = static_cast<unsigned char>(4 * j + k);
            }
        }
        s_finishRow(table, key, n, n);
    }
    return table;
}

// UTF-8 to UTF-16, 8 decoded 16-bit lanes of which key bit j keeps lane j.
constexpr PackTable s_makeLaneTable()
{
    PackTable table{};
    for (int key = 0; key < 256; ++key) {
        int n = 0;
        for (int j = 0; j < 8; ++j) {
            if ((key >> j) & 1) {
                table.shuffle[key][n++] = static_cast<unsigned char>(2 * j);
                table.shuffle[key][n++] = static_cast<unsigned char>(2 * j + 1);
            }
        }
        s_finishRow(table, key, n, n / 2);
    }
    return table;
}

constexpr PackTable s_oneOrTwoTable = s_makeOneOrTwoTable();
constexpr PackTable s_oneToThreeTable = s_makeOneToThreeTable();
constexpr PackTable s_laneTable = s_makeLaneTable();

NOX_SSE42 inline __m128i s_shuffle(__m128i v, const PackTable& table, unsigned key)
{
    return _mm_shuffle_epi8(v,
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.shuffle[key])));
}

NOX_SSE42 inline __m128i s_load(const void* p)
{
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

NOX_SSE42 inline void s_store(void* p, __m128i v)
{
    _mm_storeu_si128(static_cast<__m128i*>(p), v);
}

// Runs Block::step over a staging buffer on the stack, where a vector store may run past
// the block's output, and copies the staged output to the target exactly. A step writes
// at most Block::reach units past its start and needs Block::minSource source units;
// Block::settle moves the source back onto a character boundary.
// Inlined into callers compiled for the processor the block needs.
template <typename Block>
inline __attribute__((always_inline)) void
s_bulkStaged(const typename Block::Src*& source, const typename Block::Src* sourceEnd,
             typename Block::Dst*& target, typename Block::Dst* targetEnd)
{
    using Dst = typename Block::Dst;
    Dst stage[Block::stageSize];
    Block block;
    bool more = true;
    while (more && sourceEnd - source >= Block::minSource && targetEnd - target >= Block::reach) {
        const std::ptrdiff_t room = targetEnd - target;
        Dst* const last =
            stage + (room < Block::stageSize ? room : Block::stageSize) - Block::reach;
        Dst* staged = stage;
        while (staged <= last && sourceEnd - source >= Block::minSource) {
            if (!block.step(source, sourceEnd, staged)) {
                more = false;
                break;
            }
        }
        block.settle(source);
        std::memcpy(target, stage, static_cast<std::size_t>(staged - stage) * sizeof(Dst));
        target += staged - stage;
    }
}

// UTF-16 to UTF-8, 8 or 16 units per step.
struct Utf16ToUtf8Block {
    using Src = UTF16;
    using Dst = UTF8;
    static constexpr int stageSize = 256;
    static constexpr int reach = 32;
    static constexpr int minSource = 8;

    static void settle(const UTF16*& /*source*/) {}

    NOX_SSE42 static bool step(const UTF16*& s, const UTF16* sourceEnd, UTF8*& t)
    {
        const __m128i zero = _mm_setzero_si128();
        const __m128i low6 = _mm_set1_epi16(0x3F);
        const __m128i trailMark = _mm_set1_epi16(0x80);
        const __m128i u = s_load(s);
        if (sourceEnd - s >= 16) {
            const __m128i u2 = s_load(s + 8);
            const __m128i any = _mm_or_si128(u, u2);
            if (_mm_testz_si128(any, _mm_set1_epi16(static_cast<short>(0xFF80)))) {
                s_store(t, _mm_packus_epi16(u, u2));
                s += 16;
                t += 16;
                return true;
            }
        }
        const __m128i high5 = _mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xF800)));
        const __m128i surrogate =
            _mm_cmpeq_epi16(high5, _mm_set1_epi16(static_cast<short>(0xD800)));
        const bool pairs = !_mm_testz_si128(surrogate, surrogate);
        // Set in the last lane when it holds the first half of a pair whose second half
        // lies beyond the 8 units; the step then ends before that lane.
        int cutPair = 0;
        if (pairs) {
            const __m128i isHigh =
                _mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xFC00))),
                                _mm_set1_epi16(static_cast<short>(0xD800)));
            const __m128i isLow = _mm_andnot_si128(isHigh, surrogate);
            // Every high surrogate but one in the last lane is followed by a low one, and
            // every low one follows a high one; anything else, one character at a time.
            const unsigned unpaired = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_xor_si128(_mm_slli_si128(isHigh, 2), isLow)));
            if (unpaired != 0) {
                UTF32 ch = 0;
                for (const UTF16* stop = s + 8; s < stop; s_putUtf8Fast(ch, t)) {
                    if (!s_readUtf16Fast(s, sourceEnd, ch)) {
                        return false;
                    }
                }
                return true;
            }
            cutPair = (_mm_movemask_epi8(isHigh) & 0x8000) != 0 ? 1 : 0;
        }
        const __m128i ascii =
            _mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xFF80))), zero);
        // Each half of a pair takes two of the character's four bytes.
        const __m128i upTo2 = _mm_or_si128(_mm_cmpeq_epi16(high5, zero), surrogate);
        const unsigned masks =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, upTo2)));
        const __m128i trail = _mm_or_si128(_mm_and_si128(u, low6), trailMark);
        s += 8 - cutPair;
        if (masks >= 0xFF00 && !pairs) {
            // Only one- and two-byte characters: each lane holds lead | trail << 8.
            const __m128i lead = _mm_or_si128(_mm_srli_epi16(u, 6), _mm_set1_epi16(0xC0));
            const __m128i lanes =
                _mm_blendv_epi8(_mm_or_si128(lead, _mm_slli_epi16(trail, 8)), u, ascii);
            const unsigned key = masks & 0xFF;
            s_store(t, s_shuffle(lanes, s_oneOrTwoTable, key));
            t += s_oneOrTwoTable.count[key];
            return true;
        }
        // One to three bytes: lead | middle << 8 | last << 16 in 32-bit lanes.
        const __m128i lead = _mm_blendv_epi8(
            _mm_blendv_epi8(_mm_or_si128(_mm_srli_epi16(u, 12), _mm_set1_epi16(0xE0)),
                            _mm_or_si128(_mm_srli_epi16(u, 6), _mm_set1_epi16(0xC0)), upTo2),
            u, ascii);
        const __m128i middle = _mm_blendv_epi8(
            _mm_or_si128(_mm_and_si128(_mm_srli_epi16(u, 6), low6), trailMark), trail, upTo2);
        __m128i front = _mm_or_si128(lead, _mm_slli_epi16(middle, 8));
        if (pairs) {
            // With w = value >> 10 = (high & 0x3FF) + 0x40 the four bytes are
            // F0 | w >> 8, 80 | (w >> 2 & 3F) from the high surrogate and
            // 80 | (w & 3) << 4 | (low >> 6 & F), 80 | (low & 3F) from the low one;
            // w & 3 equals high & 3.
            const __m128i w =
                _mm_add_epi16(_mm_and_si128(u, _mm_set1_epi16(0x3FF)), _mm_set1_epi16(0x40));
            const __m128i highBytes = _mm_or_si128(
                _mm_or_si128(_mm_srli_epi16(w, 8), _mm_set1_epi16(static_cast<short>(0x80F0))),
                _mm_and_si128(_mm_slli_epi16(w, 6), _mm_set1_epi16(0x3F00)));
            const __m128i before = _mm_slli_si128(u, 2);
            const __m128i lowBytes = _mm_or_si128(
                _mm_or_si128(_mm_set1_epi16(static_cast<short>(0x8080)),
                             _mm_slli_epi16(_mm_and_si128(before, _mm_set1_epi16(3)), 4)),
                _mm_or_si128(_mm_and_si128(_mm_srli_epi16(u, 6), _mm_set1_epi16(0xF)),
                             _mm_slli_epi16(_mm_and_si128(u, low6), 8)));
            const __m128i isHigh =
                _mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xFC00))),
                                _mm_set1_epi16(static_cast<short>(0xD800)));
            front = _mm_blendv_epi8(front, _mm_blendv_epi8(lowBytes, highBytes, isHigh), surrogate);
        }
        const unsigned wide = ~masks;
        const unsigned key0 = (wide & 0xF) | ((wide >> 4) & 0xF0);
        const unsigned key1 = ((wide >> 4) & 0xF) | ((wide >> 8) & 0xF0);
        s_store(t, s_shuffle(_mm_unpacklo_epi16(front, trail), s_oneToThreeTable, key0));
        t += s_oneToThreeTable.count[key0];
        s_store(t, s_shuffle(_mm_unpackhi_epi16(front, trail), s_oneToThreeTable, key1));
        t += s_oneToThreeTable.count[key1];
        // The two bytes of a cut pair's high surrogate come last; the next step writes
        // them again with the rest of the character.
        t -= 2 * cutPair;
        return true;
    }
};

NOX_SSE42 void s_bulkUtf16ToUtf8Sse42(const UTF16*& source, const UTF16* sourceEnd, UTF8*& target,
                                      UTF8* targetEnd)
{
    s_bulkStaged<Utf16ToUtf8Block>(source, sourceEnd, target, targetEnd);
    s_bulkUtf16ToUtf8(source, sourceEnd, target, targetEnd);
}

// Decodes the characters that start at the positions in `starts` of the 16 bytes b, given
// the bytes one and two further on, and stores them at t. Every position is decoded as if
// a character started there, as the low and the high byte of its value; the flags tell
// whether leads of two, three and four bytes occur, `lead3` marks the leads of three bytes
// or more and `lead4` those of four. A four-byte character gives two units: its lead and
// the byte after it both count as starts, the lead decoded as the high surrogate and the
// next byte as the low one, so the character must lie in the window up to its third byte.
NOX_SSE42 inline void s_decodeWindow(__m128i b, __m128i next, __m128i next2, __m128i lead3,
                                     __m128i lead4, unsigned starts, bool two, bool three,
                                     bool four, UTF16*& t)
{
    // A 16-bit shift masked to the bits of each byte acts as a byte shift.
    const __m128i low6 = _mm_set1_epi8(0x3F);
    const __m128i top2 = _mm_set1_epi8(static_cast<char>(0xC0));
    __m128i lo = _mm_setzero_si128();
    __m128i hi = _mm_setzero_si128();
    if (two) {
        // 110aaabb 10cccccc -> aaa, bbcccccc
        lo = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(b, 6), top2), _mm_and_si128(next, low6));
        hi = _mm_and_si128(_mm_srli_epi16(b, 2), _mm_set1_epi8(0x07));
    }
    if (three) {
        // 1110aaaa 10bbbbcc 10dddddd -> aaaabbbb, ccdddddd. At the lead of four bytes this
        // gives bits 6 to 21 of the value, at the byte after it the low surrogate's bits.
        const __m128i lo3 =
            _mm_or_si128(_mm_and_si128(_mm_slli_epi16(next, 6), top2), _mm_and_si128(next2, low6));
        const __m128i hi3 = _mm_or_si128(
            _mm_and_si128(_mm_slli_epi16(b, 4), _mm_set1_epi8(static_cast<char>(0xF0))),
            _mm_and_si128(_mm_srli_epi16(next, 2), _mm_set1_epi8(0x0F)));
        const __m128i pick3 = four ? _mm_or_si128(lead3, _mm_slli_si128(lead4, 1)) : lead3;
        lo = two ? _mm_blendv_epi8(lo, lo3, pick3) : lo3;
        hi = two ? _mm_blendv_epi8(hi, hi3, pick3) : hi3;
    }
    // The byte's own high bit picks ASCII.
    lo = _mm_blendv_epi8(b, lo, b);
    hi = _mm_blendv_epi8(_mm_setzero_si128(), hi, b);
    __m128i first = _mm_unpacklo_epi8(lo, hi);
    __m128i second = _mm_unpackhi_epi8(lo, hi);
    if (four) {
        // High surrogate: 0xD800 + ((value - 0x10000) >> 10) = 0xD7C0 + (value >> 10).
        // Low surrogate: 0xDC00 + the low ten bits, of which the lane holds eleven.
        const __m128i highBase = _mm_set1_epi16(static_cast<short>(0xD7C0));
        const __m128i lowMask = _mm_set1_epi16(0x3FF);
        const __m128i lowBase = _mm_set1_epi16(static_cast<short>(0xDC00));
        const __m128i after4 = _mm_slli_si128(lead4, 1);
        first = _mm_blendv_epi8(first, _mm_add_epi16(_mm_srli_epi16(first, 4), highBase),
                                _mm_unpacklo_epi8(lead4, lead4));
        first = _mm_blendv_epi8(first, _mm_or_si128(_mm_and_si128(first, lowMask), lowBase),
                                _mm_unpacklo_epi8(after4, after4));
        second = _mm_blendv_epi8(second, _mm_add_epi16(_mm_srli_epi16(second, 4), highBase),
                                 _mm_unpackhi_epi8(lead4, lead4));
        second = _mm_blendv_epi8(second, _mm_or_si128(_mm_and_si128(second, lowMask), lowBase),
                                 _mm_unpackhi_epi8(after4, after4));
    }
    s_store(t, s_shuffle(first, s_laneTable, starts & 0xFF));
    t += s_laneTable.count[starts & 0xFF];
    s_store(t, s_shuffle(second, s_laneTable, starts >> 8));
    t += s_laneTable.count[starts >> 8];
}

// Byte classes of 16 UTF-8 bytes, each a vector of 0xFF where the byte is in the class.
struct ByteClasses {
    __m128i trail; // 0x80..0xBF
    __m128i lead;  // 0xC0..0xFF
    __m128i lead3; // 0xE0..0xFF
    __m128i lead4; // 0xF0..0xFF
    __m128i stop;  // never taken by a window: 0xC0, 0xC1, 0xF5..0xFF, E0 or ED followed by
                   // a byte that makes an overlong or surrogate form, F0 or F4 followed by a
                   // byte that makes an overlong form or a value above 0x10FFFF
};

NOX_SSE42 inline ByteClasses s_classify(__m128i b, __m128i next)
{
    // With the high bit flipped, the bytes 0x80..0xFF compare as 0x00..0x7F and ASCII as
    // negative, so each upper range is one signed comparison.
    const __m128i flipped = _mm_xor_si128(b, _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i nextLow = _mm_cmplt_epi8(next, _mm_set1_epi8(-96));    // next < 0xA0
    const __m128i nextLower = _mm_cmplt_epi8(next, _mm_set1_epi8(-112)); // next < 0x90
    const __m128i judged = _mm_or_si128(
        _mm_and_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(0xE0))), nextLow),
        _mm_andnot_si128(nextLow, _mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(0xED)))));
    const __m128i outOfRange = _mm_or_si128(
        _mm_and_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(0xF0))), nextLower),
        _mm_andnot_si128(nextLower, _mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(0xF4)))));
    const __m128i c0c1 = _mm_cmpeq_epi8(_mm_and_si128(b, _mm_set1_epi8(static_cast<char>(0xFE))),
                                        _mm_set1_epi8(static_cast<char>(0xC0)));
    const __m128i f5up = _mm_cmpgt_epi8(flipped, _mm_set1_epi8(0x74));
    return {_mm_cmplt_epi8(b, _mm_set1_epi8(-64)), _mm_cmpgt_epi8(flipped, _mm_set1_epi8(0x3F)),
            _mm_cmpgt_epi8(flipped, _mm_set1_epi8(0x5F)),
            _mm_cmpgt_epi8(flipped, _mm_set1_epi8(0x6F)),
            _mm_or_si128(_mm_or_si128(c0c1, f5up), _mm_or_si128(judged, outOfRange))};
}

NOX_SSE42 inline unsigned s_bits(__m128i v)
{
    return static_cast<unsigned>(_mm_movemask_epi8(v));
}

// UTF-8 to UTF-16, 16 bytes per step. A regular window (no byte that a window never
// takes, every lead followed by exactly its trail bytes, no lead of four bytes in its last
// byte) advances by 16 bytes whatever its characters: its last character may reach into
// the next window, is decoded from the two bytes after it, and its trail bytes there are
// skipped by the leads kept from this window. Anything else goes to a window that ends
// before the first such byte, or to the scalar step.
struct Utf8ToUtf16Block {
    using Src = UTF8;
    using Dst = UTF16;
    static constexpr int stageSize = 128;
    static constexpr int reach = 16;
    static constexpr int minSource = 32;

    // Leads of the last regular window, shifted into the next to find its trail bytes.
    __m128i prevLead{};
    __m128i prevLead3{};
    __m128i prevLead4{};

    // Moves past the trail bytes of a character that the last window decoded.
    NOX_SSE42 void settle(const UTF8*& source)
    {
        const __m128i owed =
            _mm_or_si128(_mm_or_si128(_mm_srli_si128(prevLead, 15), _mm_srli_si128(prevLead3, 14)),
                         _mm_srli_si128(prevLead4, 13));
        const unsigned front = s_bits(owed) & 7;
        source += __builtin_ctz(~front);
        prevLead = _mm_setzero_si128();
        prevLead3 = _mm_setzero_si128();
        prevLead4 = _mm_setzero_si128();
    }

    NOX_SSE42 bool step(const UTF8*& s, const UTF8* /*sourceEnd*/, UTF16*& t)
    {
        const __m128i b = s_load(s);
        if (_mm_movemask_epi8(b) == 0) {
            // Trail bytes owed from the last window would not be ASCII.
            s_copy16(s, t);
            s += 16;
            t += 16;
            prevLead = _mm_setzero_si128();
            prevLead3 = _mm_setzero_si128();
            prevLead4 = _mm_setzero_si128();
            return true;
        }
        const __m128i after = s_load(s + 16);
        const __m128i next = _mm_alignr_epi8(after, b, 1);
        const ByteClasses c = s_classify(b, next);
        const __m128i want = _mm_or_si128(_mm_or_si128(_mm_alignr_epi8(c.lead, prevLead, 15),
                                                       _mm_alignr_epi8(c.lead3, prevLead3, 14)),
                                          _mm_alignr_epi8(c.lead4, prevLead4, 13));
        const __m128i wantAfter =
            _mm_or_si128(_mm_or_si128(_mm_srli_si128(c.lead, 15), _mm_srli_si128(c.lead3, 14)),
                         _mm_srli_si128(c.lead4, 13));
        const __m128i trailAfter = _mm_cmplt_epi8(after, _mm_set1_epi8(-64));
        // A lead of four bytes in the last byte would leave its low surrogate to the next
        // window.
        const __m128i lastLead4 = _mm_srli_si128(c.lead4, 15);
        const __m128i wrong = _mm_or_si128(
            _mm_or_si128(_mm_xor_si128(want, c.trail), _mm_or_si128(c.stop, lastLead4)),
            _mm_andnot_si128(trailAfter, wantAfter));
        if (!_mm_testz_si128(wrong, wrong)) {
            settle(s);
            return window(s, t);
        }
        const bool four = !_mm_testz_si128(c.lead4, c.lead4);
        const unsigned starts = (~s_bits(c.trail) | (four ? s_bits(c.lead4) << 1 : 0u)) & 0xFFFF;
        s_decodeWindow(b, next, _mm_alignr_epi8(after, b, 2), c.lead3, c.lead4, starts,
                       !_mm_testc_si128(c.lead3, c.lead), !_mm_testz_si128(c.lead3, c.lead3), four,
                       t);
        prevLead = c.lead;
        prevLead3 = c.lead3;
        prevLead4 = c.lead4;
        s += 16;
        return true;
    }

    // Takes the window at a character boundary up to its first byte that a window never
    // takes or the character that the window's end cuts; scalar steps when that is empty.
    NOX_SSE42 static bool window(const UTF8*& s, UTF16*& t)
    {
        const __m128i b = s_load(s);
        const __m128i next = _mm_srli_si128(b, 1);
        const ByteClasses c = s_classify(b, next);
        const unsigned stop = s_bits(c.stop);
        const unsigned lead = s_bits(c.lead);
        const unsigned lead3 = s_bits(c.lead3);
        const unsigned lead4 = s_bits(c.lead4);
        int n = stop == 0 ? 16 : __builtin_ctz(stop);
        const unsigned cut = ((lead & ~lead3) & ((1u << n) >> 1)) | (lead3 & ((3u << n) >> 2)) |
                             (lead4 & ((7u << n) >> 3));
        if (cut != 0) {
            n = __builtin_ctz(cut);
        }
        const unsigned window = (1u << n) - 1;
        const unsigned trail = s_bits(c.trail) & window;
        if (n == 0 ||
            trail != (((lead & window) << 1) | ((lead3 & window) << 2) | ((lead4 & window) << 3))) {
            // Runs of four-byte characters stay here, up to the room of one step.
            for (int i = 0; i < 4; ++i) {
                if (!s_stepFromUtf8(s, t)) {
                    return i != 0;
                }
                if (*s < 0xF0) {
                    break;
                }
            }
            return true;
        }
        s_decodeWindow(b, next, _mm_srli_si128(b, 2), c.lead3, c.lead4,
                       (~trail & window) | ((lead4 & window) << 1), ((lead & ~lead3) & window) != 0,
                       (lead3 & window) != 0, (lead4 & window) != 0, t);
        s += n;
        return true;
    }
};
NOX_SSE42 void s_bulkUtf8ToUtf16Sse42(const UTF8*& source, const UTF8* sourceEnd, UTF16*& target,
                                      UTF16* targetEnd)
{
    s_bulkStaged<Utf8ToUtf16Block>(source, sourceEnd, target, targetEnd);
    s_bulkFromUtf8(source, sourceEnd, target, targetEnd);
}

#if defined(NOX_AVX2_PATHS)

// Shifts the bytes of cur up by k (1 to 3) places, filling in the last bytes of prev.
NOX_AVX2 inline __m256i s_shiftIn(__m256i cur, __m256i prev, int k)
{
    const __m256i joined = _mm256_permute2x128_si256(prev, cur, 0x21);
    switch (k) {
    case 1:
        return _mm256_alignr_epi8(cur, joined, 15);
    case 2:
        return _mm256_alignr_epi8(cur, joined, 14);
    default:
        return _mm256_alignr_epi8(cur, joined, 13);
    }
}

NOX_AVX2 inline __m256i s_isTrail256(__m256i v)
{
    return _mm256_cmpgt_epi8(_mm256_set1_epi8(-64), v);
}

// UTF-8 to UTF-16, 32 bytes per step: the checks of Utf8ToUtf16Block made on 32 bytes at
// once, the decoding done by halves. Anything irregular goes to Utf8ToUtf16Block::window.
struct Utf8ToUtf16Block32 {
    using Src = UTF8;
    using Dst = UTF16;
    static constexpr int stageSize = 256;
    static constexpr int reach = 32;
    static constexpr int minSource = 48;

    // Leads of the last regular step, shifted into the next to find its trail bytes.
    __m256i prevLead{};
    __m256i prevLead3{};
    __m256i prevLead4{};

    // Moves past the trail bytes of a character that the last step decoded.
    NOX_AVX2 void settle(const UTF8*& source)
    {
        Utf8ToUtf16Block last;
        last.prevLead = _mm256_extracti128_si256(prevLead, 1);
        last.prevLead3 = _mm256_extracti128_si256(prevLead3, 1);
        last.prevLead4 = _mm256_extracti128_si256(prevLead4, 1);
        last.settle(source);
        prevLead = _mm256_setzero_si256();
        prevLead3 = _mm256_setzero_si256();
        prevLead4 = _mm256_setzero_si256();
    }

    NOX_AVX2 bool step(const UTF8*& s, const UTF8* /*sourceEnd*/, UTF16*& t)
    {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
        if (_mm256_movemask_epi8(b) == 0) {
            // Trail bytes owed from the last step would not be ASCII.
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(t),
                                _mm256_cvtepu8_epi16(_mm256_castsi256_si128(b)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + 16),
                                _mm256_cvtepu8_epi16(_mm256_extracti128_si256(b, 1)));
            s += 32;
            t += 32;
            prevLead = _mm256_setzero_si256();
            prevLead3 = _mm256_setzero_si256();
            prevLead4 = _mm256_setzero_si256();
            return true;
        }
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 1));
        const __m256i next2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 2));
        const __m256i next3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 3));
        // The classes of the two halves, each with the bytes that follow it.
        const ByteClasses lo = s_classify(_mm256_castsi256_si128(b), _mm256_castsi256_si128(next));
        const ByteClasses hi =
            s_classify(_mm256_extracti128_si256(b, 1), _mm256_extracti128_si256(next, 1));
        const __m256i trail = _mm256_set_m128i(hi.trail, lo.trail);
        const __m256i lead = _mm256_set_m128i(hi.lead, lo.lead);
        const __m256i lead3 = _mm256_set_m128i(hi.lead3, lo.lead3);
        const __m256i lead4 = _mm256_set_m128i(hi.lead4, lo.lead4);
        const __m256i stop = _mm256_set_m128i(hi.stop, lo.stop);
        // Every trail byte belongs to a lead before it, every lead has its trail bytes,
        // and no lead of four bytes sits at the end of a half, whose decoding would leave
        // its low surrogate to the other half.
        const __m256i want = _mm256_or_si256(
            _mm256_or_si256(s_shiftIn(lead, prevLead, 1), s_shiftIn(lead3, prevLead3, 2)),
            s_shiftIn(lead4, prevLead4, 3));
        const __m256i missing =
            _mm256_or_si256(_mm256_or_si256(_mm256_andnot_si256(s_isTrail256(next), lead),
                                            _mm256_andnot_si256(s_isTrail256(next2), lead3)),
                            _mm256_andnot_si256(s_isTrail256(next3), lead4));
        const __m256i halfEnd = _mm256_srli_si256(lead4, 15);
        const __m256i wrong = _mm256_or_si256(_mm256_or_si256(_mm256_xor_si256(want, trail), stop),
                                              _mm256_or_si256(missing, halfEnd));
        if (!_mm256_testz_si256(wrong, wrong)) {
            settle(s);
            return Utf8ToUtf16Block::window(s, t);
        }
        const bool two = !_mm256_testc_si256(lead3, lead);
        const bool three = !_mm256_testz_si256(lead3, lead3);
        const bool four = !_mm256_testz_si256(lead4, lead4);
        const unsigned lead4Bits = static_cast<unsigned>(_mm256_movemask_epi8(lead4));
        const unsigned starts =
            ~static_cast<unsigned>(_mm256_movemask_epi8(trail)) | (lead4Bits << 1);
        s_decodeWindow(_mm256_castsi256_si128(b), _mm256_castsi256_si128(next),
                       _mm256_castsi256_si128(next2), lo.lead3, lo.lead4, starts & 0xFFFF, two,
                       three, four, t);
        s_decodeWindow(_mm256_extracti128_si256(b, 1), _mm256_extracti128_si256(next, 1),
                       _mm256_extracti128_si256(next2, 1), hi.lead3, hi.lead4, starts >> 16, two,
                       three, four, t);
        prevLead = lead;
        prevLead3 = lead3;
        prevLead4 = lead4;
        s += 32;
        return true;
    }
};

NOX_AVX2 void s_bulkUtf8ToUtf16Avx2(const UTF8*& source, const UTF8* sourceEnd, UTF16*& target,
                                    UTF16* targetEnd)
{
    s_bulkStaged<Utf8ToUtf16Block32>(source, sourceEnd, target, targetEnd);
    s_bulkStaged<Utf8ToUtf16Block>(source, sourceEnd, target, targetEnd);
    s_bulkFromUtf8(source, sourceEnd, target, targetEnd);
}

#endif

#endif

using BulkUtf16ToUtf8 = void (*)(const UTF16*&, const UTF16*, UTF8*&, UTF8*);
using BulkUtf8ToUtf16 = void (*)(const UTF8*&, const UTF8*, UTF16*&, UTF16*);

// The best bulk steps this processor runs.
BulkUtf16ToUtf8 s_pickUtf16ToUtf8()
{
#if defined(NOX_SSE42_PATHS)
    if (nox::activeKernelLevel() >= nox::KernelLevel::SSE42) {
        return s_bulkUtf16ToUtf8Sse42;
    }
#endif
    return s_bulkUtf16ToUtf8;
}

BulkUtf8ToUtf16 s_pickUtf8ToUtf16()
{
#if defined(NOX_SSE42_PATHS)
#if defined(NOX_AVX2_PATHS)
    if (nox::activeKernelLevel() >= nox::KernelLevel::AVX2) {
        return s_bulkUtf8ToUtf16Avx2;
    }
#endif
    if (nox::activeKernelLevel() >= nox::KernelLevel::SSE42) {
        return s_bulkUtf8ToUtf16Sse42;
    }
#endif
    return s_bulkFromUtf8<UTF16>;
}

// The loop every converter runs. With the fast paths on, `bulk` first takes what it can;
// then `step` converts one character and returns conversionOK to go on, or the result that
// stops the conversion with source on that character.
template <typename Src, typename Dst, typename Bulk, typename Step>
utf_ConversionResult s_convert(const Src** sourceStart, const Src* sourceEnd, Dst** targetStart,
                               Dst* targetEnd, Bulk bulk, Step step)
{
    const bool fast = nox::activeKernelLevel() != nox::KernelLevel::Exact;
    utf_ConversionResult result = conversionOK;
    const Src* source = *sourceStart;
    Dst* target = *targetStart;
    while (source < sourceEnd) {
        if (fast) {
            bulk(source, sourceEnd, target, targetEnd);
            if (source >= sourceEnd) {
                break;
            }
        }
        result = step(source, target);
        if (result != conversionOK) {
            break;
        }
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

} // namespace

extern "C" {

NOX_API utf_ConversionResult utf_ConvertUTF32toUTF16(const UTF32** sourceStart,
                                                     const UTF32* sourceEnd, UTF16** targetStart,
                                                     UTF16* targetEnd, utf_ConversionFlags flags)
{
    const bool strict = flags == strictConversion;
    auto step = [=](const UTF32*& source, UTF16*& target) {
        // The room test comes before the value is looked at.
        if (target >= targetEnd) {
            return targetExhausted;
        }
        UTF32 ch = *source;
        if (strict && s_isRefusedUtf32(ch)) {
            return sourceIllegal;
        }
        if (ch > maxLegalUtf32) {
            ch = replacementChar;
        }
        if (!s_writeUtf16(ch, target, targetEnd)) {
            return targetExhausted;
        }
        ++source;
        return conversionOK;
    };
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, s_bulkUtf32ToUtf16, step);
}

NOX_API utf_ConversionResult utf_ConvertUTF16toUTF32(const UTF16** sourceStart,
                                                     const UTF16* sourceEnd, UTF32** targetStart,
                                                     UTF32* targetEnd, utf_ConversionFlags flags)
{
    const bool strict = flags == strictConversion;
    auto step = [=](const UTF16*& source, UTF32*& target) {
        const UTF16* const oldSource = source;
        UTF32 ch = 0;
        // A refused surrogate is reported even when the target is full.
        if (s_readUtf16(source, sourceEnd, strict, ch) != conversionOK) {
            return sourceIllegal;
        }
        if (target >= targetEnd) {
            source = oldSource;
            return targetExhausted;
        }
        *target++ = ch;
        return conversionOK;
    };
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, s_bulkUtf16ToUtf32, step);
}

NOX_API utf_ConversionResult utf_ConvertUTF16toUTF8(const UTF16** sourceStart,
                                                    const UTF16* sourceEnd, UTF8** targetStart,
                                                    UTF8* targetEnd, utf_ConversionFlags flags)
{
    const bool strict = flags == strictConversion;
    auto step = [=](const UTF16*& source, UTF8*& target) {
        const UTF16* const oldSource = source;
        UTF32 ch = 0;
        if (s_readUtf16(source, sourceEnd, strict, ch) != conversionOK) {
            return sourceIllegal;
        }
        if (!s_writeUtf8(ch, target, targetEnd)) {
            source = oldSource;
            return targetExhausted;
        }
        return conversionOK;
    };
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, s_pickUtf16ToUtf8(), step);
}

NOX_API utf_ConversionResult utf_ConvertUTF8toUTF16(const UTF8** sourceStart, const UTF8* sourceEnd,
                                                    UTF16** targetStart, UTF16* targetEnd,
                                                    utf_ConversionFlags flags)
{
    const bool strict = flags == strictConversion;
    auto step = [=](const UTF8*& source, UTF16*& target) {
        const UTF8* const oldSource = source;
        UTF32 ch = 0;
        const utf_ConversionResult read =
            s_readUtf8(source, sourceEnd, target < targetEnd, strict, ch);
        if (read != conversionOK) {
            return read;
        }
        if (!s_writeUtf16(ch, target, targetEnd)) {
            source = oldSource;
            return targetExhausted;
        }
        return conversionOK;
    };
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, s_pickUtf8ToUtf16(), step);
}

NOX_API utf_ConversionResult utf_ConvertUTF32toUTF8(const UTF32** sourceStart,
                                                    const UTF32* sourceEnd, UTF8** targetStart,
                                                    UTF8* targetEnd, utf_ConversionFlags flags)
{
    const bool strict = flags == strictConversion;
    auto step = [=](const UTF32*& source, UTF8*& target) {
        // Refusal comes before the room test, so a refused value is reported even when
        // the target is full.
        const UTF32 ch = *source;
        if (strict && s_isRefusedUtf32(ch)) {
            return sourceIllegal;
        }
        if (!s_writeUtf8(ch, target, targetEnd)) {
            return targetExhausted;
        }
        ++source;
        return conversionOK;
    };
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, s_bulkUtf32ToUtf8, step);
}

NOX_API utf_ConversionResult utf_ConvertUTF8toUTF32(const UTF8** sourceStart, const UTF8* sourceEnd,
                                                    UTF32** targetStart, UTF32* targetEnd,
                                                    utf_ConversionFlags flags)
{
    const bool strict = flags == strictConversion;
    auto step = [=](const UTF8*& source, UTF32*& target) {
        UTF32 ch = 0;
        const utf_ConversionResult read =
            s_readUtf8(source, sourceEnd, target < targetEnd, strict, ch);
        if (read == conversionOK) {
            *target++ = ch;
        }
        return read;
    };
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, s_bulkFromUtf8<UTF32>, step);
}

NOX_API int32_t utf_isLegalUTF8(const UTF8* source, int32_t length)
{
    return s_isLegalUtf8(source, length) ? 1 : 0;
}

NOX_API int32_t utf_isLegalUTF8Sequence(const UTF8* source, const UTF8* sourceEnd)
{
    if (source >= sourceEnd) {
        return 0;
    }
    const int32_t length = trailingBytesForUTF8[*source] + 1;
    if (length > sourceEnd - source) {
        return 0;
    }
    return utf_isLegalUTF8(source, length);
}

} // extern "C"

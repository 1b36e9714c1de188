// ConvertUTF.cpp - conversions between UTF-8, UTF-16 and UTF-32, and UTF-8 validation.
#include "ConvertUTF.h"

#include "environment.h"

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
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
inline utf_ConversionResult s_readUtf16(const UTF16*& source, const UTF16* sourceEnd,
                                        bool strict, UTF32& ch)
{
    const UTF16* next = source + 1;
    ch = *source;
    if (ch >= surHighStart && ch <= surHighEnd) {
        if (next < sourceEnd) {
            const UTF32 ch2 = *next;
            if (ch2 >= surLowStart && ch2 <= surLowEnd) {
                ch = ((ch - surHighStart) << halfShift) + (ch2 - surLowStart) + halfBase;
                ++next;
            } else if (strict) {
                return sourceIllegal;
            }
        }
    } else if (strict && ch >= surLowStart && ch <= surLowEnd) {
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
    ch -= halfBase;
    target[0] = static_cast<UTF16>((ch >> halfShift) + surHighStart);
    target[1] = static_cast<UTF16>((ch & halfMask) + surLowStart);
    target += 2;
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
    int bytesToWrite = 4;
    if (ch < 0x80) {
        bytesToWrite = 1;
    } else if (ch < 0x800) {
        bytesToWrite = 2;
    } else if (ch < halfBase) {
        bytesToWrite = 3;
    } else if (ch > maxLegalUtf32) {
        ch = replacementChar;
        bytesToWrite = 3;
    }
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

// Number of leading ASCII bytes among the 16 at p (16 when all are).
inline int s_asciiPrefix(const UTF8* p)
{
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(v));
    return mask == 0 ? 16 : __builtin_ctz(mask);
#else
    int n = 0;
    while (n < 16 && p[n] < 0x80) {
        ++n;
    }
    return n;
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
    int n = 0;
    while (n < 16 && p[n] < 0x80) {
        ++n;
    }
    return n;
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

// Stores a value from 0x10000 to 0x10FFFF, whose room is certain.
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

inline bool s_isTrail(UTF32 byte)
{
    return (byte & 0xC0) == 0x80;
}

// Well-formed UTF-8 of every length, as long as four bytes and two units of room remain.
template <typename Dst>
void s_bulkFromUtf8(const UTF8*& source, const UTF8* sourceEnd, Dst*& target, Dst* targetEnd)
{
    const UTF8* s = source;
    Dst* t = target;
    while (sourceEnd - s >= 4 && targetEnd - t >= 2) {
        const UTF32 b0 = s[0];
        if (b0 < 0x80) {
            if (!s_copyAscii(s, sourceEnd, t, targetEnd)) {
                *t++ = static_cast<Dst>(b0);
                ++s;
            }
        } else if (b0 < 0xE0) {
            const UTF32 b1 = s[1];
            if (b0 < 0xC2 || !s_isTrail(b1)) {
                break;
            }
            *t++ = static_cast<Dst>(((b0 & 0x1F) << 6) | (b1 & 0x3F));
            s += 2;
        } else if (b0 < 0xF0) {
            const UTF32 b1 = s[1];
            const UTF32 b2 = s[2];
            const UTF32 ch = ((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
            // Excludes overlong forms and the surrogate forms, which the modes judge.
            if (!s_isTrail(b1) || !s_isTrail(b2) || ch < 0x800 || s_isSurrogate(ch)) {
                break;
            }
            *t++ = static_cast<Dst>(ch);
            s += 3;
        } else {
            const UTF32 b1 = s[1];
            const UTF32 b2 = s[2];
            const UTF32 b3 = s[3];
            const UTF32 ch =
                ((b0 & 0x07) << 18) | ((b1 & 0x3F) << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F);
            if (b0 > 0xF4 || !s_isTrail(b1) || !s_isTrail(b2) || !s_isTrail(b3) ||
                ch < halfBase || ch > maxLegalUtf32) {
                break;
            }
            s_putSupplementary(ch, t);
            s += 4;
        }
    }
    source = s;
    target = t;
}

// Writes a value up to 0x10FFFF that is no surrogate, with four bytes of room certain.
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

// Characters and surrogate pairs, as long as two units and four bytes of room remain.
void s_bulkUtf16ToUtf8(const UTF16*& source, const UTF16* sourceEnd, UTF8*& target,
                       UTF8* targetEnd)
{
    const UTF16* s = source;
    UTF8* t = target;
    while (sourceEnd - s >= 2 && targetEnd - t >= 4) {
        UTF32 ch = s[0];
        if (ch < 0x80 && s_copyAscii(s, sourceEnd, t, targetEnd)) {
            continue;
        }
        if (s_isSurrogate(ch)) {
            const UTF32 ch2 = s[1];
            if (ch > surHighEnd || ch2 < surLowStart || ch2 > surLowEnd) {
                break;
            }
            ch = ((ch - surHighStart) << halfShift) + (ch2 - surLowStart) + halfBase;
            ++s;
        }
        ++s;
        s_putUtf8Fast(ch, t);
    }
    source = s;
    target = t;
}

// Values that need no judgement, as long as four bytes of room remain.
void s_bulkUtf32ToUtf8(const UTF32*& source, const UTF32* sourceEnd, UTF8*& target,
                       UTF8* targetEnd)
{
    const UTF32* s = source;
    UTF8* t = target;
    while (s < sourceEnd && targetEnd - t >= 4 && !s_isRefusedUtf32(*s)) {
        s_putUtf8Fast(*s++, t);
    }
    source = s;
    target = t;
}

// Characters and surrogate pairs, as long as two units remain.
void s_bulkUtf16ToUtf32(const UTF16*& source, const UTF16* sourceEnd, UTF32*& target,
                        UTF32* targetEnd)
{
    const UTF16* s = source;
    UTF32* t = target;
    while (sourceEnd - s >= 2 && t < targetEnd) {
        UTF32 ch = s[0];
        if (s_isSurrogate(ch)) {
            const UTF32 ch2 = s[1];
            if (ch > surHighEnd || ch2 < surLowStart || ch2 > surLowEnd) {
                break;
            }
            ch = ((ch - surHighStart) << halfShift) + (ch2 - surLowStart) + halfBase;
            ++s;
        }
        ++s;
        *t++ = ch;
    }
    source = s;
    target = t;
}

// Values that need no judgement, as long as two units of room remain.
void s_bulkUtf32ToUtf16(const UTF32*& source, const UTF32* sourceEnd, UTF16*& target,
                        UTF16* targetEnd)
{
    const UTF32* s = source;
    UTF16* t = target;
    while (s < sourceEnd && targetEnd - t >= 2 && !s_isRefusedUtf32(*s)) {
        const UTF32 ch = *s++;
        if (ch < halfBase) {
            *t++ = static_cast<UTF16>(ch);
        } else {
            s_putSupplementary(ch, t);
        }
    }
    source = s;
    target = t;
}

// The loop every converter runs. With the fast paths on, `bulk` first takes what it can;
// then `step` converts one character and returns conversionOK to go on, or the result that
// stops the conversion with source on that character.
template <typename Src, typename Dst, typename Bulk, typename Step>
utf_ConversionResult s_convert(const Src** sourceStart, const Src* sourceEnd, Dst** targetStart,
                               Dst* targetEnd, Bulk bulk, Step step)
{
    const bool fast = ncnv_getFastPaths();
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
                                                     const UTF32* sourceEnd,
                                                     UTF16** targetStart, UTF16* targetEnd,
                                                     utf_ConversionFlags flags)
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
                                                     const UTF16* sourceEnd,
                                                     UTF32** targetStart, UTF32* targetEnd,
                                                     utf_ConversionFlags flags)
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
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, s_bulkUtf16ToUtf8, step);
}

NOX_API utf_ConversionResult utf_ConvertUTF8toUTF16(const UTF8** sourceStart,
                                                    const UTF8* sourceEnd, UTF16** targetStart,
                                                    UTF16* targetEnd, utf_ConversionFlags flags)
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
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, s_bulkFromUtf8<UTF16>, step);
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

NOX_API utf_ConversionResult utf_ConvertUTF8toUTF32(const UTF8** sourceStart,
                                                    const UTF8* sourceEnd, UTF32** targetStart,
                                                    UTF32* targetEnd, utf_ConversionFlags flags)
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

// ConvertUTF.cpp - conversions between UTF-8, UTF-16 and UTF-32, and UTF-8 validation.
//
// Each exported routine is one exact per-character step (the lambda `step` below), run by
// s_convert after a bulk kernel has taken what it can. The bulk kernels live under kernels/,
// one file per instruction set (included below), and s_utfKernels picks one set per level.
#include "ConvertUTF.h"

#include "kernels/kernels.h"

#include <cstddef>
#include <cstring>

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

// Texts shorter than this take the scalar bulk steps at every level but Exact: that is what
// every level's kernel runs on them, and calling it there directly saves the choosing of the
// level's kernels and two calls, a sixth of the time of an 8-byte string.
constexpr std::ptrdiff_t kShortText = 16;

// The same for UTF-16 to UTF-8, whose masked AVX-512 step pays from 12 units on (strings of 16
// to 64 bytes of mixed scripts, many of them CJK of 6 to 21 units, a tenth faster than with 16;
// eight ASCII units are quicker in the scalar steps).
constexpr std::ptrdiff_t kShortUtf16Text = 12;

} // namespace

// The kernel files, each building on those before it (a unity build of this module).
// clang-format off
#include "kernels/utf_scalar.inl"
#include "kernels/utf_sse2.inl"
#include "kernels/utf_sse42.inl"
#include "kernels/utf_avx2_to16.inl"
#include "kernels/utf_avx2_to8.inl"
#include "kernels/utf_avx512_to16.inl"
#include "kernels/utf_avx512_to8.inl"
// clang-format on

namespace {

template <typename Src, typename Dst>
using NoxBulk = void (*)(const Src*&, const Src*, Dst*&, Dst*);

// The bulk kernels of one level, one a routine.
struct NoxUtfKernels {
    NoxBulk<UTF32, UTF16> utf32to16;
    NoxBulk<UTF16, UTF32> utf16to32;
    NoxBulk<UTF16, UTF8> utf16to8;
    NoxBulk<UTF8, UTF16> utf8to16;
    NoxBulk<UTF32, UTF8> utf32to8;
    NoxBulk<UTF8, UTF32> utf8to32;
};

template <class A> constexpr NoxUtfKernels s_bulkKernels()
{
    return {s_bulkUtf32ToUtf16<A>,    s_bulkUtf16ToUtf32<A>, s_bulkUtf16ToUtf8<A>,
            s_bulkFromUtf8<A, UTF16>, s_bulkUtf32ToUtf8<A>,  s_bulkFromUtf8<A, UTF32>};
}

// The picker: the kernel set of each level, null for Exact (the per-character steps alone).
// A level without kernels of its own runs those of the level below.
const NoxUtfKernels* s_utfKernels(nox::KernelLevel level)
{
    static constexpr NoxUtfKernels s_scalar = s_bulkKernels<NoxPlainAscii>();
#if defined(NOX_X86)
    static constexpr NoxUtfKernels s_sse2 = s_bulkKernels<NoxSse2Ascii>();
    static constexpr NoxUtfKernels s_sse42 = {s_sse2.utf32to16,       s_sse2.utf16to32,
                                              s_bulkUtf16ToUtf8Sse42, s_bulkUtf8ToUtf16Sse42,
                                              s_sse2.utf32to8,        s_sse2.utf8to32};
    static constexpr NoxUtfKernels s_avx2 = {s_sse42.utf32to16,     s_sse42.utf16to32,
                                             s_bulkUtf16ToUtf8Avx2, s_bulkUtf8ToUtf16Avx2,
                                             s_sse42.utf32to8,      s_sse42.utf8to32};
    static constexpr NoxUtfKernels s_avx512 = {s_avx2.utf32to16,        s_avx2.utf16to32,
                                               s_bulkUtf16ToUtf8Avx512, s_bulkUtf8ToUtf16Avx512,
                                               s_avx2.utf32to8,         s_avx2.utf8to32};
    static const NoxUtfKernels* const s_byLevel[nox::kKernelLevels] = {
        nullptr, &s_scalar, &s_sse2, &s_sse42, &s_avx2, &s_avx512};
#else
    static const NoxUtfKernels* const s_byLevel[nox::kKernelLevels] = {
        nullptr, &s_scalar, &s_scalar, &s_scalar, &s_scalar, &s_scalar};
#endif
    return s_byLevel[static_cast<int>(level)];
}

// The loop every converter runs after a first bulk call: `step` converts one character and
// returns conversionOK to go on, or the result that stops the conversion with source on that
// character; the level's bulk kernel (none at level Exact) takes what it can after each step.
// Kept out of line, so that a call whose text the first bulk call takes whole stays small.
template <typename Src, typename Dst, typename Step>
__attribute__((noinline)) utf_ConversionResult
s_convertSteps(const Src** sourceStart, const Src* sourceEnd, Dst** targetStart, Dst* targetEnd,
               NoxBulk<Src, Dst> bulk, Step step)
{
    utf_ConversionResult result = conversionOK;
    const Src* source = *sourceStart;
    Dst* target = *targetStart;
    while (source < sourceEnd) {
        result = step(source, target);
        if (result != conversionOK) {
            break;
        }
        if (bulk != nullptr && source < sourceEnd) {
            bulk(source, sourceEnd, target, targetEnd);
        }
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

// Every converter: the level's bulk kernel first takes what it can, then the steps. `shortSteps`
// is the scalar bulk step of the routine, for texts under `Short` units.
template <std::ptrdiff_t Short = kShortText, typename Src, typename Dst, typename Step,
          typename ShortSteps>
utf_ConversionResult s_convert(const Src** sourceStart, const Src* sourceEnd, Dst** targetStart,
                               Dst* targetEnd, NoxBulk<Src, Dst> NoxUtfKernels::*bulkOf, Step step,
                               ShortSteps shortSteps)
{
    if (sourceEnd - *sourceStart < Short && nox::kernelCeiling() != nox::KernelLevel::Exact) {
        const Src* source = *sourceStart;
        Dst* target = *targetStart;
        shortSteps(source, sourceEnd, target, targetEnd);
        *sourceStart = source;
        *targetStart = target;
        if (source >= sourceEnd) {
            return conversionOK;
        }
    }
    const NoxUtfKernels* kernels = s_utfKernels(nox::activeKernelLevel());
    const NoxBulk<Src, Dst> bulk = kernels != nullptr ? kernels->*bulkOf : nullptr;
    if (bulk != nullptr && *sourceStart < sourceEnd) {
        bulk(*sourceStart, sourceEnd, *targetStart, targetEnd);
        if (*sourceStart >= sourceEnd) {
            return conversionOK;
        }
    }
    return s_convertSteps(sourceStart, sourceEnd, targetStart, targetEnd, bulk, step);
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
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, &NoxUtfKernels::utf32to16,
                     step, s_bulkUtf32ToUtf16<NoxPlainAscii>);
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
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, &NoxUtfKernels::utf16to32,
                     step, s_bulkUtf16ToUtf32<NoxPlainAscii>);
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
    return s_convert<kShortUtf16Text>(sourceStart, sourceEnd, targetStart, targetEnd,
                                      &NoxUtfKernels::utf16to8, step,
                                      s_utf16ToUtf8Steps<NoxPlainAscii>);
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
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, &NoxUtfKernels::utf8to16, step,
                     s_fromUtf8Steps<NoxPlainAscii, UTF16>);
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
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, &NoxUtfKernels::utf32to8, step,
                     s_bulkUtf32ToUtf8<NoxPlainAscii>);
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
    return s_convert(sourceStart, sourceEnd, targetStart, targetEnd, &NoxUtfKernels::utf8to32, step,
                     s_fromUtf8Steps<NoxPlainAscii, UTF32>);
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

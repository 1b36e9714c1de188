// utf.cpp - fuzz target: the six UTF conversion routines and the two UTF-8 validators on
// arbitrary bytes.
//
// Input: one byte of modes (strict or lenient, how UTF-32 values are drawn, whether UTF-16 to
// UTF-8 takes the steps of a long text), one byte that gives the output room of the bounded
// calls, then the text: taken as UTF-8 bytes, as little-endian UTF-16 units and as
// little-endian UTF-32 values.
//
// Invariants: nothing is written at or past targetEnd; a character that does not fit is not
// written in part; converting in pieces (resuming after targetExhausted) gives the output of
// one call with enough room; valid text survives the round trips; the validators agree with
// the readers except on the three-byte surrogate forms, which the validators accept and the
// strict readers refuse; every kernel level the processor runs gives the results of level
// Exact (the per-character path alone), whole and in pieces, and so does the independent
// reference in tests/reference.
#include "ConvertUTF.h"
#include "environment.h"
#include "fuzz_checks.h"
#include "kernels/kernels.h"
#include "nox_reference.h"

#include <cstdint>
#include <vector>

namespace {

using noxfuzz::exactCopy;

template <typename S, typename T>
using Routine = utf_ConversionResult (*)(const S**, const S*, T**, T*, utf_ConversionFlags);

template <typename T> struct Converted {
    std::vector<T> out;
    utf_ConversionResult result = conversionOK;
    size_t consumed = 0;
    bool operator==(const Converted& o) const
    {
        return out == o.out && result == o.result && consumed == o.consumed;
    }
};

template <typename T> T s_sentinel()
{
    return static_cast<T>(0xEEEEEEEEu);
}

// One call with room for any output of the source.
template <typename S, typename T>
Converted<T> s_convertAll(Routine<S, T> routine, const std::vector<S>& source,
                          utf_ConversionFlags flags)
{
    const auto in = exactCopy(source);
    const size_t room = 4 * source.size();
    std::vector<T> buffer(room, s_sentinel<T>());
    const auto out = exactCopy(buffer);
    const S* s = in.get();
    T* t = out.get();
    Converted<T> retval;
    retval.result = routine(&s, in.get() + source.size(), &t, out.get() + room, flags);
    NOX_CHECK(retval.result != targetExhausted);
    NOX_CHECK(s >= in.get() && s <= in.get() + source.size());
    NOX_CHECK(t >= out.get() && t <= out.get() + room);
    retval.out.assign(out.get(), t);
    retval.consumed = static_cast<size_t>(s - in.get());
    if (retval.result == conversionOK) {
        NOX_CHECK(retval.consumed == source.size());
    }
    return retval;
}

// Calls with `room` units of output at a time, each into a buffer of exactly that size,
// resumed after every targetExhausted; a room too small for the next character grows.
template <typename S, typename T>
Converted<T> s_convertInPieces(Routine<S, T> routine, const std::vector<S>& source,
                               utf_ConversionFlags flags, size_t room)
{
    const auto in = exactCopy(source);
    const S* s = in.get();
    Converted<T> retval;
    retval.result = targetExhausted;
    for (size_t calls = 0; retval.result == targetExhausted; ++calls) {
        NOX_CHECK(calls <= 2 * source.size() + 2);
        std::vector<T> buffer(room, s_sentinel<T>());
        const auto out = exactCopy(buffer);
        T* t = out.get();
        const S* before = s;
        retval.result = routine(&s, in.get() + source.size(), &t, out.get() + room, flags);
        NOX_CHECK(t >= out.get() && t <= out.get() + room);
        // Nothing of a character that did not fit is written.
        for (T* p = t; p < out.get() + room; ++p) {
            NOX_CHECK(*p == s_sentinel<T>());
        }
        retval.out.insert(retval.out.end(), out.get(), t);
        if (retval.result == targetExhausted && s == before) {
            NOX_CHECK(t == out.get());
            room = 4;
        }
    }
    retval.consumed = static_cast<size_t>(s - in.get());
    return retval;
}

// The routine at every level the processor runs, whole and in pieces, against level Exact;
// level Exact against the independent reference.
template <typename S, typename T>
Converted<T> s_check(Routine<S, T> routine, Routine<S, T> reference, const std::vector<S>& source,
                     utf_ConversionFlags flags, size_t room)
{
    const nox::KernelLevel saved = nox::kernelCeiling();
    nox::setKernelCeiling(nox::KernelLevel::Exact);
    const Converted<T> exact = s_convertAll(routine, source, flags);
    NOX_CHECK(s_convertAll(reference, source, flags) == exact);
    for (int level = 0; level <= static_cast<int>(nox::cpuKernelLevel()); ++level) {
        nox::setKernelCeiling(static_cast<nox::KernelLevel>(level));
        NOX_CHECK(s_convertAll(routine, source, flags) == exact);
        NOX_CHECK(s_convertInPieces(routine, source, flags, room) == exact);
    }
    nox::setKernelCeiling(saved);
    return exact;
}

bool s_hasSurrogate(const std::vector<UTF32>& values)
{
    for (UTF32 v : values) {
        if (v >= 0xD800 && v <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

// The validators against the readers at every position of the UTF-8 text.
void s_checkValidators(const std::vector<UTF8>& text)
{
    const auto bytes = exactCopy(text);
    const UTF8* end = bytes.get() + text.size();
    NOX_CHECK(utf_isLegalUTF8Sequence(end, end) == 0);
    for (size_t i = 0; i < text.size(); ++i) {
        const UTF8* p = bytes.get() + i;
        const int32_t legal = utf_isLegalUTF8Sequence(p, end);
        NOX_CHECK(legal == 0 || legal == 1);
        // The length the first byte announces; 5 and 6 are never legal.
        const UTF8 first = *p;
        const size_t length = first < 0xC0   ? 1
                              : first < 0xE0 ? 2
                              : first < 0xF0 ? 3
                              : first < 0xF8 ? 4
                              : first < 0xFC ? 5
                                             : 6;
        const bool whole = length <= text.size() - i;
        if (whole && length <= 4) {
            NOX_CHECK(legal == utf_isLegalUTF8(p, static_cast<int32_t>(length)));
        }
        for (int32_t n = 1; n <= 4 && static_cast<size_t>(n) <= text.size() - i; ++n) {
            const int32_t any = utf_isLegalUTF8(p, n);
            NOX_CHECK(any == 0 || any == 1);
        }
        const bool surrogateForm = whole && length == 3 && first == 0xED && p[1] >= 0xA0;

        for (const utf_ConversionFlags flags : {strictConversion, lenientConversion}) {
            UTF32 value = 0xEEEEEEEE;
            const UTF8* s = p;
            UTF32* t = &value;
            const utf_ConversionResult result = utf_ConvertUTF8toUTF32(&s, end, &t, t + 1, flags);
            const bool refused = surrogateForm && flags == strictConversion;
            // Room for exactly the first character, so that the reader stops after it.
            const size_t room16 = legal == 1 && !refused && value > 0xFFFF ? 2 : 1;
            UTF16 units[2] = {0xEEEE, 0xEEEE};
            const UTF8* s16 = p;
            UTF16* t16 = units;
            const utf_ConversionResult result16 =
                utf_ConvertUTF8toUTF16(&s16, end, &t16, units + room16, flags);
            if (legal == 1 && !refused) {
                NOX_CHECK(static_cast<size_t>(s - p) == length);
                NOX_CHECK(static_cast<size_t>(s16 - p) == length);
                NOX_CHECK(value <= 0x10FFFF);
            } else {
                NOX_CHECK(s == p && t == &value && value == 0xEEEEEEEE);
                NOX_CHECK(s16 == p && t16 == units);
                const utf_ConversionResult expected =
                    refused || whole ? sourceIllegal : sourceExhausted;
                NOX_CHECK(result == expected);
                NOX_CHECK(result16 == expected);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const utf_ConversionFlags flags = (data[0] & 1) != 0 ? lenientConversion : strictConversion;
    const int valueMode = (data[0] >> 1) & 3;
    const size_t room = 1 + data[1] % 17;
    // Bit 3: UTF-8 and UTF-16 convert with the steps meant for text beyond the caches.
    static const std::ptrdiff_t farText = nox::farTextUnits();
    nox::setFarTextUnits((data[0] & 8) != 0 ? 0 : farText);
    data += 2;
    size -= 2;

    const std::vector<UTF8> utf8(data, data + size);
    std::vector<UTF16> utf16;
    for (size_t i = 0; i + 1 < size; i += 2) {
        utf16.push_back(static_cast<UTF16>(data[i] | data[i + 1] << 8));
    }
    std::vector<UTF32> utf32;
    for (size_t i = 0; i + 3 < size; i += 4) {
        UTF32 v = static_cast<UTF32>(data[i]) | static_cast<UTF32>(data[i + 1]) << 8 |
                  static_cast<UTF32>(data[i + 2]) << 16 | static_cast<UTF32>(data[i + 3]) << 24;
        // Mostly values near the code space, where the interesting cases are.
        if (valueMode == 1) {
            v &= 0x1FFFFF;
        } else if (valueMode == 2) {
            v %= 0x110000;
        } else if (valueMode == 3) {
            v &= 0xFFFF;
        }
        utf32.push_back(v);
    }

    const auto u8to16 =
        s_check<UTF8, UTF16>(utf_ConvertUTF8toUTF16, noxref::convertUTF8toUTF16, utf8, flags, room);
    const auto u8to32 =
        s_check<UTF8, UTF32>(utf_ConvertUTF8toUTF32, noxref::convertUTF8toUTF32, utf8, flags, room);
    const auto u16to8 = s_check<UTF16, UTF8>(utf_ConvertUTF16toUTF8, noxref::convertUTF16toUTF8,
                                             utf16, flags, room);
    const auto u16to32 = s_check<UTF16, UTF32>(utf_ConvertUTF16toUTF32, noxref::convertUTF16toUTF32,
                                               utf16, flags, room);
    const auto u32to8 = s_check<UTF32, UTF8>(utf_ConvertUTF32toUTF8, noxref::convertUTF32toUTF8,
                                             utf32, flags, room);
    const auto u32to16 = s_check<UTF32, UTF16>(utf_ConvertUTF32toUTF16, noxref::convertUTF32toUTF16,
                                               utf32, flags, room);

    // The two UTF-8 readers stop at the same place and agree on the values.
    NOX_CHECK(u8to16.consumed == u8to32.consumed && u8to16.result == u8to32.result);
    const auto back16 =
        s_convertAll<UTF32, UTF16>(utf_ConvertUTF32toUTF16, u8to32.out, lenientConversion);
    NOX_CHECK(back16.out == u8to16.out);

    // Round trips of valid text.
    if (u8to32.result == conversionOK && flags == strictConversion) {
        const auto back =
            s_convertAll<UTF32, UTF8>(utf_ConvertUTF32toUTF8, u8to32.out, strictConversion);
        NOX_CHECK(back.result == conversionOK && back.out == utf8);
    }
    if (u16to32.result == conversionOK && !s_hasSurrogate(u16to32.out)) {
        const auto back =
            s_convertAll<UTF32, UTF16>(utf_ConvertUTF32toUTF16, u16to32.out, strictConversion);
        NOX_CHECK(back.result == conversionOK && back.out == utf16);
        const auto via8 =
            s_convertAll<UTF8, UTF16>(utf_ConvertUTF8toUTF16, u16to8.out, strictConversion);
        NOX_CHECK(via8.result == conversionOK && via8.out == utf16);
    }
    if (u32to8.result == conversionOK && flags == strictConversion) {
        const auto back =
            s_convertAll<UTF8, UTF32>(utf_ConvertUTF8toUTF32, u32to8.out, strictConversion);
        NOX_CHECK(back.result == conversionOK && back.out == utf32);
        const auto to16 =
            s_convertAll<UTF32, UTF16>(utf_ConvertUTF32toUTF16, utf32, strictConversion);
        NOX_CHECK(to16.result == conversionOK && to16.out == u32to16.out);
    }

    s_checkValidators(utf8);
    return 0;
}

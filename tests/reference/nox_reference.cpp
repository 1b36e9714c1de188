// nox_reference.cpp - one character at a time, no tables, no fast paths: written for reading.
#include "nox_reference.h"

#include "NoxUCharConverter.h"

#include <algorithm>
#include <cstdio>

namespace noxref {

namespace {

// One character read, or the result that stops there; strict mode refuses `strictBad` values.
struct Read {
    utf_ConversionResult stop = conversionOK;
    UTF32 value = 0;
    int length = 1;
    bool strictBad = false;
};

// Lenient mode writes values above 0x10FFFF as U+FFFD and lone surrogates as themselves.
Read s_read(const UTF32* source, const UTF32*, bool)
{
    const UTF32 v = *source;
    return Read{conversionOK, v > 0x10FFFF ? 0xFFFD : v, 1,
                v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)};
}

// Strict mode refuses an unpaired surrogate, but for a high one in the last unit.
Read s_read(const UTF16* source, const UTF16* sourceEnd, bool strict)
{
    const UTF32 first = source[0], second = sourceEnd - source >= 2 ? source[1] : 0;
    const bool high = first >= 0xD800 && first <= 0xDBFF;
    if (high && second >= 0xDC00 && second <= 0xDFFF) {
        return Read{conversionOK, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00), 2, false};
    }
    const bool lone = (first >= 0xDC00 && first <= 0xDFFF) || (high && sourceEnd - source >= 2);
    return Read{strict && lone ? sourceIllegal : conversionOK, first, 1, false};
}

// The length comes from the first byte's leading ones (at most six); cut off by the end it is
// exhausted; the second byte's range rules out overlong forms and values above 0x10FFFF.
Read s_read(const UTF8* source, const UTF8* sourceEnd, bool)
{
    const UTF8 first = source[0];
    const int length =
        first < 0xC0 ? 1
                     : 2 + (first >= 0xE0) + (first >= 0xF0) + (first >= 0xF8) + (first >= 0xFC);
    if (length > sourceEnd - source) {
        return Read{sourceExhausted, 0, length, false};
    }
    bool legal = length <= 4 && (first < 0x80 || first >= 0xC2) && first < 0xF5;
    UTF32 value = first & (0xFFu >> (length == 1 ? 1 : length + 1));
    for (int i = 1; legal && i < length; ++i) {
        const UTF8 low = i == 1 && first == 0xE0 ? 0xA0 : i == 1 && first == 0xF0 ? 0x90 : 0x80;
        legal = source[i] >= low && source[i] <= (i == 1 && first == 0xF4 ? 0x8F : 0xBF);
        value = (value << 6) | (source[i] & 0x3Fu);
    }
    return Read{legal ? conversionOK : sourceIllegal, value, length,
                value >= 0xD800 && value <= 0xDFFF};
}

// Puts a whole character when it fits before `targetEnd`, else nothing (false).
template <typename T> bool s_write(UTF32 value, T*& target, const T* targetEnd)
{
    const bool utf8 = sizeof(T) == 1, pair = sizeof(T) == 2 && value >= 0x10000;
    const int length =
        utf8 ? 1 + (value >= 0x80) + (value >= 0x800) + (value >= 0x10000) : 1 + pair;
    if (targetEnd - target < length) {
        return false;
    }
    for (int i = length - 1; utf8 && i > 0; --i, value >>= 6) { // UTF-8 trail bytes
        target[i] = static_cast<T>(0x80 | (value & 0x3F));
    }
    if (pair) {
        target[1] = static_cast<T>(0xDC00 + (value & 0x3FF));
        value = 0xD800 + ((value - 0x10000) >> 10);
    }
    static const UTF8 s_marks[5] = {0, 0, 0xC0, 0xE0, 0xF0}; // UTF-8 lead bytes by length
    target[0] = static_cast<T>((utf8 ? s_marks[length] : 0) | value);
    target += length;
    return true;
}

// Read, check for any room (all but UTF-32 to UTF-8 before a strict refusal), write whole.
template <typename S, typename T>
utf_ConversionResult s_convert(const S** sourceStart, const S* sourceEnd, T** targetStart,
                               T* targetEnd, utf_ConversionFlags flags)
{
    const bool strict = flags == strictConversion, roomFirst = !(sizeof(S) == 4 && sizeof(T) == 1);
    utf_ConversionResult result = conversionOK;
    while (result == conversionOK && *sourceStart < sourceEnd) {
        const Read r = s_read(*sourceStart, sourceEnd, strict);
        result = r.stop != conversionOK                       ? r.stop
                 : roomFirst && *targetStart >= targetEnd     ? targetExhausted
                 : strict && r.strictBad                      ? sourceIllegal
                 : !s_write(r.value, *targetStart, targetEnd) ? targetExhausted
                                                              : conversionOK;
        *sourceStart += result == conversionOK ? r.length : 0;
    }
    return result;
}

// Sets the error code where there is a place for it.
const auto s_setError = [](int* to, int code) { *(to != nullptr ? to : &code) = code; };
const auto s_length = [](const NoxUCharMapping& m) { return m.mappingType & 0x7; };

// Binary search, first probe capped at slot 127; among equal keys the first of the run if it is
// the direction's regular mapping, else the nearest usable one (regular or fallback) at or
// before the landing slot, else that slot. A record of length 0 ends a bytes search as none.
int s_search(const std::vector<NoxUCharMapping>& records, uint32_t key, bool bytes)
{
    const auto keyOf = [&](int slot) {
        return bytes ? records[slot].mbcsBytes : records[slot].unicodeCharacterValue;
    };
    const auto ended = [&](int slot) { return bytes && s_length(records[slot]) == 0; };
    const int regular = bytes ? ToUnicodeDefault : FromUnicodeDefault;
    const int usable = regular | (bytes ? ToUnicodeFallback : FromUnicodeFallback);
    const int count = static_cast<int>(records.size());
    int begin = 0, end = count - 1, probe = std::min(count / 2, 127);
    while (count > 0 && begin != end && !ended(probe) && keyOf(probe) != key) {
        // The bound on the key's side moves to the probe, or past it when it is already there.
        const bool below = keyOf(probe) < key;
        int& bound = below ? begin : end;
        bound = probe + (probe != bound ? 0 : below ? 1 : -1);
        probe = begin + (end - begin) / 2;
    }
    int first = -1, nearest = -1; // the run of the key up to the probe, from the probe back
    for (int slot = probe; count > 0 && slot >= 0 && !ended(slot) && keyOf(slot) == key; --slot) {
        first = slot;
        nearest = nearest < 0 && (records[slot].mappingType & usable) != 0 ? slot : nearest;
    }
    const bool chosen = first < 0 || (records[first].mappingType & regular) != 0;
    return chosen ? first : nearest < 0 ? probe : nearest;
}

const auto s_format = [](const char* format, auto... args) {
    char line[64];
    std::snprintf(line, sizeof line, format, args...);
    return std::string(line);
};

} // namespace

const Routine<UTF32, UTF16> convertUTF32toUTF16 = &s_convert<UTF32, UTF16>;
const Routine<UTF16, UTF32> convertUTF16toUTF32 = &s_convert<UTF16, UTF32>;
const Routine<UTF16, UTF8> convertUTF16toUTF8 = &s_convert<UTF16, UTF8>;
const Routine<UTF32, UTF8> convertUTF32toUTF8 = &s_convert<UTF32, UTF8>;
const Routine<UTF8, UTF16> convertUTF8toUTF16 = &s_convert<UTF8, UTF16>;
const Routine<UTF8, UTF32> convertUTF8toUTF32 = &s_convert<UTF8, UTF32>;

NoxRefCodePage NoxRefCodePage::fromConverter(const NoxUCharConverter& converter)
{
    NoxRefCodePage retval;
    for (uint32_t i = 0; i < converter.dataLen; ++i) {
        retval.mByBytes.push_back(converter.data[converter.mbcsData[i]]);
        retval.mByUnicode.push_back(converter.data[converter.unicodeData[i]]);
    }
    const unsigned char* leads = converter.leadBytes.bytes;
    std::transform(leads, leads + 256, retval.mLeadBytes, [](int n) { return std::min(n, 4); });
    return retval;
}

int NoxRefCodePage::findUnicodeSlot(uint16_t value) const
{
    return s_search(mByUnicode, value, false);
}

// The key is the lead byte's length of bytes, or those up to a 0.
int NoxRefCodePage::findCharacterSlot(const unsigned char* text) const
{
    const int length = mLeadBytes[text[0]];
    uint32_t key = 0;
    for (int i = 0; i < length && text[i] != 0; ++i) {
        key |= uint32_t{text[i]} << (8 * i);
    }
    return length == 0 ? -1 : s_search(mByBytes, key, true);
}

// To Unicode: `left` bytes (negative: up to the 0) into `room` units at `out` (null: none);
// counting goes on past the room. Returns the characters and moves `source` past them.
int NoxRefCodePage::mf_convert(const char*& source, long left, UChar* out, long room, bool counting,
                               int* errorReturn, NoxRefContext& context) const
{
    const auto* text = reinterpret_cast<const unsigned char*>(source);
    int n = 0;
    for (; left != 0 && *text != 0; ++n) {
        // -2: the lead byte says the character goes past the count.
        const int slot = left > 0 && mLeadBytes[*text] > left ? -2 : findCharacterSlot(text);
        if (slot == -1 && !context.bestEffort) {
            s_setError(errorReturn, NCNV_UNSUPPORTED);
            unsigned shown[4] = {}; // bytes past `left` (negative: no count) or a 0 show as 0
            for (long i = 0; i < 4 && i != left && (i == 0 || shown[i - 1] != 0); ++i) {
                shown[i] = text[i];
            }
            context.messages +=
                s_format("No mapping for character(s) \\x%02X\\x%02X\\x%02X\\x%02X'\n", shown[0],
                         shown[1], shown[2], shown[3]);
            break;
        }
        const int length = slot < 0 ? 1 : s_length(mByBytes[slot]);
        if (slot == -2 || (left > 0 && length > left)) {
            s_setError(errorReturn, NCNV_INDEX_OUTOFBOUNDS);
            break;
        }
        if (out != nullptr && n < room) {
            out[n] = slot < 0 ? UChar{*text} : mByBytes[slot].unicodeCharacterValue;
        } else {
            // Counting, a passed-through byte without room is told apart from a mapped one.
            s_setError(errorReturn,
                       counting && slot < 0 ? NCNV_INDEX_OUTOFBOUNDS : NCNV_BUFFER_OVERFLOW);
            if (!counting) {
                break;
            }
        }
        text += length;
        left = left > 0 ? left - length : left;
    }
    source = reinterpret_cast<const char*>(text);
    return n;
}

// From Unicode, as the other direction; returns the bytes converted or counted.
int NoxRefCodePage::mf_convert(const UChar*& source, long left, char* out, long room, bool counting,
                               int* errorReturn, NoxRefContext& context) const
{
    int n = 0;
    for (; left != 0 && *source != 0; ++source, left = left > 0 ? left - 1 : left) {
        const int slot = findUnicodeSlot(*source);
        if (slot < 0 && !(context.bestEffort && *source <= 0xFF)) {
            s_setError(errorReturn, NCNV_UNSUPPORTED);
            context.messages += s_format("No mapping for character <U%04X>\n", *source);
            break;
        }
        const int length = slot < 0 ? 1 : s_length(mByUnicode[slot]);
        if (out != nullptr && room - n >= length) {
            for (int i = 0; i < length; ++i) {
                out[n + i] =
                    static_cast<char>(slot < 0 ? *source : mByUnicode[slot].mbcsBytes >> (8 * i));
            }
        } else {
            s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
            if (!counting) {
                break;
            }
        }
        n += length;
    }
    return n;
}

template <typename S, typename T>
int NoxRefCodePage::convert(T* out, int outSize, const S* source, int sourceSize, int* errorReturn,
                            NoxRefContext& context) const
{
    s_setError(errorReturn, source == nullptr ? NCNV_ILLEGAL_ARGUMENT : NCNV_OK);
    const int retval = source == nullptr ? 0
                                         : mf_convert(source, sourceSize, out, outSize, true,
                                                      errorReturn, context);
    if (out != nullptr && retval < outSize) {
        out[retval] = 0;
    }
    return retval;
}

// Ends the output with a 0 when the range holds one and there is room.
template <typename S, typename T>
void NoxRefCodePage::convertRange(T** outRef, const T* outEnd, const S** sourceRef,
                                  const S* sourceEnd, int* errorReturn,
                                  NoxRefContext& context) const
{
    *outRef += mf_convert(*sourceRef, std::max<long>(sourceEnd - *sourceRef, 0), *outRef,
                          outEnd - *outRef, false, errorReturn, context);
    if (*sourceRef < sourceEnd && **sourceRef == 0 && *outRef < outEnd) {
        **outRef = 0;
    }
}

template int NoxRefCodePage::convert(UChar*, int, const char*, int, int*, NoxRefContext&) const;
template int NoxRefCodePage::convert(char*, int, const UChar*, int, int*, NoxRefContext&) const;
template void NoxRefCodePage::convertRange(UChar**, const UChar*, const char**, const char*, int*,
                                           NoxRefContext&) const;
template void NoxRefCodePage::convertRange(char**, const char*, const UChar**, const UChar*, int*,
                                           NoxRefContext&) const;

int NoxRefCodePage::mblen(const char* source, int maxBytes, int* errorReturn,
                          NoxRefContext& context) const
{
    const auto* text = reinterpret_cast<const unsigned char*>(source);
    if (text == nullptr || (maxBytes > 0 && *text == 0)) {
        s_setError(text == nullptr ? nullptr : errorReturn, NCNV_OK);
        return 0;
    }
    const int slot = maxBytes > 0 && mLeadBytes[*text] <= maxBytes ? findCharacterSlot(text) : -2;
    if (slot == -1) { // no mapping
        context.messages += s_format("No mapping for character \\x%02X\n", *text);
        s_setError(context.bestEffort ? nullptr : errorReturn, NCNV_INVALID_CHAR);
        return context.bestEffort ? 1 : -1;
    }
    const bool fits = slot >= 0 && s_length(mByBytes[slot]) <= maxBytes;
    s_setError(errorReturn, fits ? NCNV_OK : NCNV_BUFFER_OVERFLOW);
    return fits ? s_length(mByBytes[slot]) : -1;
}

} // namespace noxref

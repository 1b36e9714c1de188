// nox_reference.cpp - the plain second implementation: one character at a time, no tables,
// no fast paths, written for reading rather than for speed.
#include "nox_reference.h"

#include "NoxUCharConverter.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace noxref {

namespace {

const UTF32 kReplacement = 0xFFFD;
const UTF32 kLastCodePoint = 0x10FFFF;

bool s_isHighSurrogate(UTF32 value)
{
    return value >= 0xD800 && value <= 0xDBFF;
}

bool s_isLowSurrogate(UTF32 value)
{
    return value >= 0xDC00 && value <= 0xDFFF;
}

bool s_isSurrogate(UTF32 value)
{
    return s_isHighSurrogate(value) || s_isLowSurrogate(value);
}

// UTF-8 sequence length announced by a first byte, by its leading one bits; a byte that cannot
// start a sequence (0x80-0xBF) counts as one byte, so that validation refuses it.
int s_sequenceLength(UTF8 first)
{
    return first < 0xC0   ? 1
           : first < 0xE0 ? 2
           : first < 0xF0 ? 3
           : first < 0xF8 ? 4
           : first < 0xFC ? 5
                          : 6;
}

// Writes `value` (at most 0x10FFFF) as UTF-8 at `target` when the whole sequence fits before
// `targetEnd`; otherwise writes nothing and returns false.
bool s_putUTF8(UTF32 value, UTF8*& target, const UTF8* targetEnd)
{
    const int length = value < 0x80 ? 1 : value < 0x800 ? 2 : value < 0x10000 ? 3 : 4;
    if (targetEnd - target < length) {
        return false;
    }
    static const UTF8 s_firstMarks[5] = {0, 0x00, 0xC0, 0xE0, 0xF0};
    for (int i = length - 1; i > 0; --i) {
        target[i] = static_cast<UTF8>(0x80 | (value & 0x3F));
        value >>= 6;
    }
    target[0] = static_cast<UTF8>(s_firstMarks[length] | value);
    target += length;
    return true;
}

// Reads one UTF-16 character at `source` (before `sourceEnd`) into `value` and moves past it.
// Returns false, without moving, for a surrogate that strict mode refuses: a high surrogate
// followed by anything but a low one, or a low surrogate on its own. A high surrogate that is
// the last unit stands for itself.
bool s_getUTF16(const UTF16*& source, const UTF16* sourceEnd, bool strict, UTF32& value)
{
    const UTF32 first = source[0];
    if (s_isHighSurrogate(first) && sourceEnd - source >= 2) {
        const UTF32 second = source[1];
        if (s_isLowSurrogate(second)) {
            value = 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
            source += 2;
            return true;
        }
        if (strict) {
            return false;
        }
    } else if (strict && s_isLowSurrogate(first)) {
        return false;
    }
    value = first;
    source += 1;
    return true;
}

// Reads one UTF-8 character at `source` (before `sourceEnd`) without moving: its value and
// length, or the result that stops the reader (a character cut off by `sourceEnd`, or an
// illegal one).
utf_ConversionResult s_getUTF8(const UTF8* source, const UTF8* sourceEnd, UTF32& value, int& length)
{
    length = s_sequenceLength(source[0]);
    if (length > sourceEnd - source) {
        return sourceExhausted;
    }
    if (isLegalUTF8(source, length) == 0) {
        return sourceIllegal;
    }
    static const UTF8 s_payloadMasks[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    value = source[0] & s_payloadMasks[length];
    for (int i = 1; i < length; ++i) {
        value = (value << 6) | (source[i] & 0x3Fu);
    }
    return conversionOK;
}

void s_putUTF16Pair(UTF32 value, UTF16*& target)
{
    value -= 0x10000;
    *target++ = static_cast<UTF16>(0xD800 + (value >> 10));
    *target++ = static_cast<UTF16>(0xDC00 + (value & 0x3FF));
}

} // namespace

utf_ConversionResult convertUTF32toUTF16(const UTF32** sourceStart, const UTF32* sourceEnd,
                                         UTF16** targetStart, UTF16* targetEnd,
                                         utf_ConversionFlags flags)
{
    const bool strict = flags == strictConversion;
    utf_ConversionResult result = conversionOK;
    const UTF32* source = *sourceStart;
    UTF16* target = *targetStart;
    while (source < sourceEnd) {
        if (target >= targetEnd) {
            result = targetExhausted;
            break;
        }
        UTF32 value = *source;
        if (strict && (value > kLastCodePoint || s_isSurrogate(value))) {
            result = sourceIllegal;
            break;
        }
        if (value > kLastCodePoint) {
            value = kReplacement;
        }
        if (value < 0x10000) {
            *target++ = static_cast<UTF16>(value);
        } else if (targetEnd - target < 2) {
            result = targetExhausted;
            break;
        } else {
            s_putUTF16Pair(value, target);
        }
        ++source;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

utf_ConversionResult convertUTF16toUTF32(const UTF16** sourceStart, const UTF16* sourceEnd,
                                         UTF32** targetStart, UTF32* targetEnd,
                                         utf_ConversionFlags flags)
{
    utf_ConversionResult result = conversionOK;
    const UTF16* source = *sourceStart;
    UTF32* target = *targetStart;
    while (source < sourceEnd) {
        const UTF16* character = source;
        UTF32 value = 0;
        if (!s_getUTF16(source, sourceEnd, flags == strictConversion, value)) {
            result = sourceIllegal;
            break;
        }
        if (target >= targetEnd) {
            source = character;
            result = targetExhausted;
            break;
        }
        *target++ = value;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

utf_ConversionResult convertUTF16toUTF8(const UTF16** sourceStart, const UTF16* sourceEnd,
                                        UTF8** targetStart, UTF8* targetEnd,
                                        utf_ConversionFlags flags)
{
    utf_ConversionResult result = conversionOK;
    const UTF16* source = *sourceStart;
    UTF8* target = *targetStart;
    while (source < sourceEnd) {
        const UTF16* character = source;
        UTF32 value = 0;
        if (!s_getUTF16(source, sourceEnd, flags == strictConversion, value)) {
            result = sourceIllegal;
            break;
        }
        if (!s_putUTF8(value, target, targetEnd)) {
            source = character;
            result = targetExhausted;
            break;
        }
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

utf_ConversionResult convertUTF32toUTF8(const UTF32** sourceStart, const UTF32* sourceEnd,
                                        UTF8** targetStart, UTF8* targetEnd,
                                        utf_ConversionFlags flags)
{
    const bool strict = flags == strictConversion;
    utf_ConversionResult result = conversionOK;
    const UTF32* source = *sourceStart;
    UTF8* target = *targetStart;
    while (source < sourceEnd) {
        UTF32 value = *source;
        if (strict && (value > kLastCodePoint || s_isSurrogate(value))) {
            result = sourceIllegal;
            break;
        }
        if (value > kLastCodePoint) {
            value = kReplacement;
        }
        if (!s_putUTF8(value, target, targetEnd)) {
            result = targetExhausted;
            break;
        }
        ++source;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

utf_ConversionResult convertUTF8toUTF16(const UTF8** sourceStart, const UTF8* sourceEnd,
                                        UTF16** targetStart, UTF16* targetEnd,
                                        utf_ConversionFlags flags)
{
    utf_ConversionResult result = conversionOK;
    const UTF8* source = *sourceStart;
    UTF16* target = *targetStart;
    while (source < sourceEnd) {
        UTF32 value = 0;
        int length = 0;
        result = s_getUTF8(source, sourceEnd, value, length);
        if (result != conversionOK) {
            break;
        }
        if (target >= targetEnd) {
            result = targetExhausted;
            break;
        }
        if (value < 0x10000) {
            if (flags == strictConversion && s_isSurrogate(value)) {
                result = sourceIllegal;
                break;
            }
            *target++ = static_cast<UTF16>(value);
        } else if (targetEnd - target < 2) {
            result = targetExhausted;
            break;
        } else {
            s_putUTF16Pair(value, target);
        }
        source += length;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

utf_ConversionResult convertUTF8toUTF32(const UTF8** sourceStart, const UTF8* sourceEnd,
                                        UTF32** targetStart, UTF32* targetEnd,
                                        utf_ConversionFlags flags)
{
    utf_ConversionResult result = conversionOK;
    const UTF8* source = *sourceStart;
    UTF32* target = *targetStart;
    while (source < sourceEnd) {
        UTF32 value = 0;
        int length = 0;
        result = s_getUTF8(source, sourceEnd, value, length);
        if (result != conversionOK) {
            break;
        }
        if (target >= targetEnd) {
            result = targetExhausted;
            break;
        }
        if (flags == strictConversion && s_isSurrogate(value)) {
            result = sourceIllegal;
            break;
        }
        *target++ = value;
        source += length;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

int32_t isLegalUTF8(const UTF8* source, int32_t length)
{
    if (length < 1 || length > 4) {
        return 0;
    }
    const UTF8 first = source[0];
    if ((first >= 0x80 && first <= 0xC1) || first >= 0xF5) {
        return 0;
    }
    if (length >= 2) {
        const UTF8 second = source[1];
        const UTF8 lowest = first == 0xE0 ? 0xA0 : first == 0xF0 ? 0x90 : 0x80;
        const UTF8 highest = first == 0xF4 ? 0x8F : 0xBF;
        if (second < lowest || second > highest) {
            return 0;
        }
    }
    for (int i = 2; i < length; ++i) {
        if (source[i] < 0x80 || source[i] > 0xBF) {
            return 0;
        }
    }
    return 1;
}

int32_t isLegalUTF8Sequence(const UTF8* source, const UTF8* sourceEnd)
{
    if (source >= sourceEnd) {
        return 0;
    }
    const int length = s_sequenceLength(source[0]);
    if (length > sourceEnd - source) {
        return 0;
    }
    return isLegalUTF8(source, length);
}

namespace {

void s_setError(int* errorReturn, int code)
{
    if (errorReturn != nullptr) {
        *errorReturn = code;
    }
}

NoxRefRecord s_record(const NoxUCharMapping& mapping)
{
    NoxRefRecord retval;
    retval.unicode = mapping.unicodeCharacterValue;
    retval.bytes = mapping.mbcsBytes;
    retval.length = mapping.mappingType & 0x7;
    retval.fromUnicodeDefault = (mapping.mappingType & FromUnicodeDefault) != 0;
    retval.toUnicodeDefault = (mapping.mappingType & ToUnicodeDefault) != 0;
    retval.fromUnicodeFallback = (mapping.mappingType & FromUnicodeFallback) != 0;
    retval.toUnicodeFallback = (mapping.mappingType & ToUnicodeFallback) != 0;
    return retval;
}

// Binary search with the first probe capped at slot 127, then the choice among equal keys:
// when the first record of the run of equal keys is the direction's regular mapping it wins;
// otherwise the nearest record at or before the landing slot that is usable in the direction
// (regular or fallback); otherwise the record landed on. `Key` gives a record's key,
// `Ends` tells a record that ends the search (and the scans) as none.
template <typename Key, typename Ends, typename Regular, typename Usable>
int s_search(const std::vector<NoxRefRecord>& records, uint32_t key, Key keyOf, Ends ends,
             Regular regular, Usable usable, int* landed)
{
    if (landed != nullptr) {
        *landed = -1;
    }
    const int count = static_cast<int>(records.size());
    if (count == 0) {
        return -1;
    }
    int begin = 0, end = count - 1, probe = std::min(count / 2, 127);
    while (true) {
        const NoxRefRecord& record = records[probe];
        if (ends(record)) {
            return -1;
        }
        const uint32_t probed = keyOf(record);
        if (probed == key) {
            break;
        }
        if (probed < key) {
            if (probe == begin) {
                if (begin == end) {
                    return -1;
                }
                ++begin;
            } else {
                begin = probe;
            }
        } else {
            if (probe == end) {
                if (begin == end) {
                    return -1;
                }
                --end;
            } else {
                end = probe;
            }
        }
        probe = begin + (end - begin) / 2;
    }
    if (landed != nullptr) {
        *landed = probe;
    }
    const auto sameKey = [&](int slot) {
        return slot >= 0 && !ends(records[slot]) && keyOf(records[slot]) == key;
    };
    int first = probe;
    while (sameKey(first - 1)) {
        --first;
    }
    if (regular(records[first])) {
        return first;
    }
    for (int slot = probe; sameKey(slot); --slot) {
        if (usable(records[slot])) {
            return slot;
        }
    }
    return probe;
}

// The message for an unmapped byte: four bytes from it; those past the end of the text (the
// `limit` of bytes left, negative for none, or a 0 byte) show as 0 and are not read.
std::string s_noMappingBytes(const unsigned char* text, long limit)
{
    unsigned shown[4] = {};
    for (long i = 0; i < 4 && (limit < 0 || i < limit); ++i) {
        shown[i] = text[i];
        if (shown[i] == 0) {
            break;
        }
    }
    char line[64];
    std::snprintf(line, sizeof line, "No mapping for character(s) \\x%02X\\x%02X\\x%02X\\x%02X'\n",
                  shown[0], shown[1], shown[2], shown[3]);
    return line;
}

std::string s_noMappingUnit(UChar unit)
{
    char line[48];
    std::snprintf(line, sizeof line, "No mapping for character <U%04X>\n", unit);
    return line;
}

// Copies a record's bytes to `out`.
void s_putBytes(const NoxRefRecord& record, char* out)
{
    for (int i = 0; i < record.length; ++i) {
        out[i] = static_cast<char>(record.bytes >> (8 * i));
    }
}

} // namespace

NoxRefCodePage::NoxRefCodePage(std::vector<NoxRefRecord> byBytes_in,
                               std::vector<NoxRefRecord> byUnicode_in,
                               const unsigned char (&leadBytes_in)[256])
    : mByBytes(std::move(byBytes_in)), mByUnicode(std::move(byUnicode_in))
{
    std::copy(leadBytes_in, leadBytes_in + 256, mLeadBytes);
}

NoxRefCodePage NoxRefCodePage::fromConverter(const NoxUCharConverter& converter)
{
    std::vector<NoxRefRecord> byBytes, byUnicode;
    for (uint32_t i = 0; i < converter.dataLen; ++i) {
        byBytes.push_back(s_record(*converter.mbcsData[i]));
        byUnicode.push_back(s_record(*converter.unicodeData[i]));
    }
    return NoxRefCodePage(std::move(byBytes), std::move(byUnicode), converter.leadBytes.bytes);
}

int NoxRefCodePage::mf_leadLength(unsigned char first) const
{
    return std::min<int>(mLeadBytes[first], 4);
}

int NoxRefCodePage::findBytesSlot(uint32_t key, int* landed) const
{
    return s_search(
        mByBytes, key, [](const NoxRefRecord& r) { return r.bytes; },
        [](const NoxRefRecord& r) { return r.length == 0; },
        [](const NoxRefRecord& r) { return r.toUnicodeDefault; },
        [](const NoxRefRecord& r) { return r.toUnicodeDefault || r.toUnicodeFallback; }, landed);
}

int NoxRefCodePage::findUnicodeSlot(uint16_t value, int* landed) const
{
    return s_search(
        mByUnicode, value, [](const NoxRefRecord& r) { return uint32_t{r.unicode}; },
        [](const NoxRefRecord&) { return false; },
        [](const NoxRefRecord& r) { return r.fromUnicodeDefault; },
        [](const NoxRefRecord& r) { return r.fromUnicodeDefault || r.fromUnicodeFallback; },
        landed);
}

const NoxRefRecord* NoxRefCodePage::findCharacter(const unsigned char* text) const
{
    const int length = mf_leadLength(text[0]);
    if (length == 0) {
        return nullptr;
    }
    uint32_t key = 0;
    for (int i = 0; i < length && text[i] != 0; ++i) {
        key |= uint32_t{text[i]} << (8 * i);
    }
    const int slot = findBytesSlot(key);
    return slot < 0 ? nullptr : &mByBytes[slot];
}

const NoxRefRecord* NoxRefCodePage::findUnicode(uint16_t value) const
{
    const int slot = findUnicodeSlot(value);
    return slot < 0 ? nullptr : &mByUnicode[slot];
}

int NoxRefCodePage::toUChars(UChar* out, int outSize, const char* source, int sourceSize,
                             int* errorReturn, NoxRefContext& context) const
{
    int retval = 0;
    s_setError(errorReturn, NCNV_OK);
    if (source == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    } else {
        const auto* text = reinterpret_cast<const unsigned char*>(source);
        long left = sourceSize; // negative: only the 0 byte ends the text
        while (left != 0 && *text != 0) {
            if (left > 0 && mf_leadLength(*text) > left) {
                s_setError(errorReturn, NCNV_INDEX_OUTOFBOUNDS);
                break;
            }
            const NoxRefRecord* record = findCharacter(text);
            if (record == nullptr && !context.bestEffort) {
                s_setError(errorReturn, NCNV_UNSUPPORTED);
                context.messages += s_noMappingBytes(text, left);
                break;
            }
            const int length = record == nullptr ? 1 : record->length;
            if (left > 0 && length > left) {
                s_setError(errorReturn, NCNV_INDEX_OUTOFBOUNDS);
                break;
            }
            if (out != nullptr && retval < outSize) {
                out[retval] = record == nullptr ? UChar{*text} : record->unicode;
            } else {
                // A passed-through byte without room is told apart from a mapped character.
                s_setError(errorReturn,
                           record == nullptr ? NCNV_INDEX_OUTOFBOUNDS : NCNV_BUFFER_OVERFLOW);
            }
            ++retval;
            text += length;
            left = left > 0 ? left - length : left;
        }
    }
    if (out != nullptr && retval < outSize) {
        out[retval] = 0;
    }
    return retval;
}

int NoxRefCodePage::fromUChars(char* out, int outSize, const UChar* source, int sourceSize,
                               int* errorReturn, NoxRefContext& context) const
{
    int retval = 0;
    s_setError(errorReturn, NCNV_OK);
    if (source == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    } else {
        long left = sourceSize; // negative: only the 0 unit ends the text
        for (; left != 0 && *source != 0; ++source, left = left > 0 ? left - 1 : left) {
            const NoxRefRecord* record = findUnicode(*source);
            if (record == nullptr && !(context.bestEffort && *source <= 0xFF)) {
                s_setError(errorReturn, NCNV_UNSUPPORTED);
                context.messages += s_noMappingUnit(*source);
                break;
            }
            const int length = record == nullptr ? 1 : record->length;
            if (out != nullptr && long{outSize} - retval >= length) {
                if (record == nullptr) {
                    out[retval] = static_cast<char>(*source);
                } else {
                    s_putBytes(*record, out + retval);
                }
            } else {
                s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
            }
            retval += length;
        }
    }
    if (out != nullptr && retval < outSize) {
        out[retval] = 0;
    }
    return retval;
}

void NoxRefCodePage::toUnicode(UChar** outRef, const UChar* outEnd, const char** sourceRef,
                               const char* sourceEnd, int* errorReturn,
                               NoxRefContext& context) const
{
    if (outRef == nullptr || *outRef == nullptr || outEnd == nullptr || sourceRef == nullptr ||
        *sourceRef == nullptr || sourceEnd == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
        return;
    }
    UChar* out = *outRef;
    const auto* text = reinterpret_cast<const unsigned char*>(*sourceRef);
    const auto* end = reinterpret_cast<const unsigned char*>(sourceEnd);
    while (text < end && *text != 0) {
        if (mf_leadLength(*text) > end - text) {
            s_setError(errorReturn, NCNV_INDEX_OUTOFBOUNDS);
            break;
        }
        const NoxRefRecord* record = findCharacter(text);
        if (record == nullptr && !context.bestEffort) {
            s_setError(errorReturn, NCNV_UNSUPPORTED);
            context.messages += s_noMappingBytes(text, end - text);
            break;
        }
        const int length = record == nullptr ? 1 : record->length;
        if (length > end - text) {
            s_setError(errorReturn, NCNV_INDEX_OUTOFBOUNDS);
            break;
        }
        if (out >= outEnd) {
            s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
            break;
        }
        *out++ = record == nullptr ? UChar{*text} : record->unicode;
        text += length;
    }
    if (text < end && *text == 0 && out < outEnd) {
        *out = 0;
    }
    *outRef = out;
    *sourceRef = reinterpret_cast<const char*>(text);
}

void NoxRefCodePage::fromUnicode(char** outRef, const char* outEnd, const UChar** sourceRef,
                                 const UChar* sourceEnd, int* errorReturn,
                                 NoxRefContext& context) const
{
    if (outRef == nullptr || *outRef == nullptr || outEnd == nullptr || sourceRef == nullptr ||
        *sourceRef == nullptr || sourceEnd == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
        return;
    }
    char* out = *outRef;
    const UChar* source = *sourceRef;
    for (; source < sourceEnd && *source != 0; ++source) {
        const NoxRefRecord* record = findUnicode(*source);
        if (record == nullptr && !(context.bestEffort && *source <= 0xFF)) {
            s_setError(errorReturn, NCNV_UNSUPPORTED);
            context.messages += s_noMappingUnit(*source);
            break;
        }
        const int length = record == nullptr ? 1 : record->length;
        if (outEnd - out < length) {
            s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
            break;
        }
        if (record == nullptr) {
            *out = static_cast<char>(*source);
        } else {
            s_putBytes(*record, out);
        }
        out += length;
    }
    if (source < sourceEnd && *source == 0 && out < outEnd) {
        *out = 0;
    }
    *outRef = out;
    *sourceRef = source;
}

int NoxRefCodePage::mblen(const char* source, int maxBytes, int* errorReturn,
                          NoxRefContext& context) const
{
    if (source == nullptr) {
        return 0;
    }
    if (maxBytes <= 0) {
        s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
        return -1;
    }
    const auto* text = reinterpret_cast<const unsigned char*>(source);
    if (*text == 0) {
        s_setError(errorReturn, NCNV_OK);
        return 0;
    }
    if (mf_leadLength(*text) > maxBytes) {
        s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
        return -1;
    }
    const NoxRefRecord* record = findCharacter(text);
    if (record == nullptr) {
        char line[40];
        std::snprintf(line, sizeof line, "No mapping for character \\x%02X\n", *text);
        context.messages += line;
        if (context.bestEffort) {
            return 1;
        }
        s_setError(errorReturn, NCNV_INVALID_CHAR);
        return -1;
    }
    if (record->length > maxBytes) {
        s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
        return -1;
    }
    s_setError(errorReturn, NCNV_OK);
    return record->length;
}

} // namespace noxref

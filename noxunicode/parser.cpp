// parser.cpp - single-pass scanners for UCM mapping lines and the lead-byte line.
#include "parser.h"

#include <cstring>

namespace {

// Failure hook: every rejection of a malformed line passes through here (a place for a
// breakpoint); it has no effect.
int s_parseError()
{
    return 1;
}

inline bool s_isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The value of every character as a hex digit, -1 for the characters that are none.
struct NoxHexDigits {
    signed char value[256];
    constexpr NoxHexDigits() : value()
    {
        for (int c = 0; c < 256; ++c) {
            value[c] = -1;
        }
        for (int c = 0; c < 10; ++c) {
            value['0' + c] = static_cast<signed char>(c);
        }
        for (int c = 0; c < 6; ++c) {
            value['A' + c] = static_cast<signed char>(10 + c);
            value['a' + c] = static_cast<signed char>(10 + c);
        }
    }
};

constexpr NoxHexDigits s_hexDigits;

inline int s_hexValue(char c)
{
    return s_hexDigits.value[static_cast<unsigned char>(c)];
}

inline const char* s_skipWhiteSpace(const char* s)
{
    const char* retval = s;
    while (retval != nullptr && s_isBlank(*retval)) {
        ++retval;
    }
    return retval;
}

// The position after `substr` when `line` begins with it and something follows, else null.
const char* s_skipStr(const char* line, const char* substr)
{
    const char* retval = nullptr;
    if (line != nullptr && substr != nullptr) {
        const char* l = line;
        const char* s = substr;
        while (*s != '\0' && *l == *s) {
            ++l;
            ++s;
        }
        if (*s == '\0' && *l != '\0') {
            retval = l;
        }
    }
    return retval;
}

// Shifts one hex digit into *buf; returns 1 when `nibble` is a hex digit.
inline int s_nibbleChar(unsigned char* buf, char nibble)
{
    int retval = 0;
    const int value = s_hexValue(nibble);
    if (buf != nullptr && value >= 0) {
        *buf = static_cast<unsigned char>((*buf * 16 + value) % 256);
        retval = 1;
    }
    return retval;
}

void s_store(const char** out, const char* position)
{
    if (out != nullptr) {
        *out = position;
    }
}

// Scans "<UXXXX>" (brackets optional, exactly four hex digits after the 'U').
unsigned short s_parseUnicodeCharacter(const char* in, const char** out)
{
    unsigned short retval = 0;
    const char* p = s_skipWhiteSpace(in);
    bool ok = p != nullptr;
    if (ok && *p == '<') {
        ++p;
    }
    ok = ok && *p == 'U';
    // The four characters are tested one at a time, so the scan never passes a NUL.
    for (int i = 1; ok && i <= 4; ++i) {
        ok = p[i] != '\0' && s_hexValue(p[i]) >= 0;
    }
    if (ok) {
        unsigned char highByte = 0;
        unsigned char lowByte = 0;
        s_nibbleChar(&highByte, p[1]);
        s_nibbleChar(&highByte, p[2]);
        s_nibbleChar(&lowByte, p[3]);
        s_nibbleChar(&lowByte, p[4]);
        retval = static_cast<unsigned short>((highByte << 8) | lowByte);
        p += 5;
        if (*p == '>') {
            ++p;
        }
        s_store(out, p);
    } else {
        s_parseError();
        s_store(out, in);
    }
    return retval;
}

// Scans up to four "\xHH" groups written without separators into *mbcsBytes.
unsigned short s_parseCodepageBytes(const char* in, const char** out, t_mbcsBytes* mbcsBytes)
{
    unsigned short retval = 0;
    if (in == nullptr || mbcsBytes == nullptr) {
        s_parseError();
        s_store(out, in);
    } else {
        *mbcsBytes = 0;
        const char* p = s_skipWhiteSpace(in);
        const unsigned short len = 4;
        while (retval < len && p[0] == '\\' && p[1] == 'x' && p[2] != '\0' && p[3] != '\0') {
            p += 2;
            unsigned char byte = 0;
            if (s_nibbleChar(&byte, *p) != 0) {
                ++p;
                if (s_nibbleChar(&byte, *p) != 0) {
                    ++p;
                }
            }
            *mbcsBytes |= static_cast<t_mbcsBytes>(byte) << (8 * retval);
            ++retval;
        }
        s_store(out, p);
    }
    return retval;
}

// Scans the precision marker "[#]|D"; anything else counts as precision 0.
unsigned short s_parseDefault(const char* in, const char** out)
{
    unsigned short retval = 0;
    const char* p = s_skipWhiteSpace(in);
    if (p != nullptr && *p == '#') {
        ++p;
    }
    if (p != nullptr && p[0] == '|' && p[1] >= '0' && p[1] <= '3') {
        retval = static_cast<unsigned short>(p[1] - '0');
        p += 2;
    }
    s_store(out, p);
    return retval;
}

bool s_applyPrecision(unsigned short precision, NoxUCharMapping* uChar)
{
    bool retval = true;
    switch (precision) {
    case 0:
        uChar->setToUnicodeDefault();
        uChar->setFromUnicodeDefault();
        break;
    case 1:
        uChar->setFromUnicodeFallback();
        break;
    case 3:
        uChar->setToUnicodeFallback();
        break;
    default:
        retval = false;
        break;
    }
    return retval;
}

// Reads one lead-byte token "XX-YY:N" or "XX:N" at *p and applies it; returns the number of
// slots assigned. Moves *p past what it consumed.
int s_parseLeadByteToken(const char** p, NoxLeadByteTable* leadBytes)
{
    int retval = 0;
    const char* s = s_skipWhiteSpace(*p);
    unsigned char begin = 0;
    unsigned char end = 0;
    unsigned char value = 0;
    if (s_nibbleChar(&begin, *s) != 0) {
        s += 1 + s_nibbleChar(&begin, s[1]);
    }
    if (*s == '-') {
        ++s;
        if (s_nibbleChar(&end, *s) != 0) {
            s += 1 + s_nibbleChar(&end, s[1]);
        }
    } else if (*s == ':') {
        end = begin;
    }
    if (*s == ':') {
        ++s;
        if (s_nibbleChar(&value, *s) != 0) {
            ++s;
            if (leadBytes->cur_min == 0 || value < leadBytes->cur_min) {
                leadBytes->cur_min = value;
            }
            if (leadBytes->cur_max == 0 || value > leadBytes->cur_max) {
                leadBytes->cur_max = value;
            }
            for (int index = begin; index <= end; ++index) {
                leadBytes->bytes[index] = value;
                ++retval;
            }
        }
    }
    *p = s;
    return retval;
}

} // namespace

// Reads one character at a time, never past the first that does not fit the usual shape, so
// never past the line's newline or terminator.
const char* parse_usual_ucm_line(const char* line, NoxUCharMapping* uChar)
{
    bool retval = line[0] == '<' && line[1] == 'U';
    unsigned value = 0;
    for (int i = 2; retval && i < 6; ++i) {
        const int digit = s_hexValue(line[i]);
        retval = digit >= 0;
        value = value << 4 | static_cast<unsigned>(digit);
    }
    retval = retval && line[6] == '>' && line[7] == ' ';
    const char* p = line + 8;
    t_mbcsBytes bytes = 0;
    uint16_t count = 0;
    while (retval && count < 4 && p[0] == '\\' && p[1] == 'x') {
        const int high = s_hexValue(p[2]);
        const int low = high >= 0 ? s_hexValue(p[3]) : -1;
        const int byte = 16 * high + low;
        retval = low >= 0 && byte != 0;
        bytes |= static_cast<t_mbcsBytes>(retval ? byte : 0) << (8 * count);
        ++count;
        p += 4;
    }
    retval = retval && count != 0 && p[0] == ' ' && p[1] == '|' &&
             (p[2] == '0' || p[2] == '1' || p[2] == '3');
    if (retval) {
        const uint16_t flags = p[2] == '0'   ? ToUnicodeDefault | FromUnicodeDefault
                               : p[2] == '1' ? FromUnicodeFallback
                                             : ToUnicodeFallback;
        uChar->mappingType = static_cast<uint16_t>(flags | count);
        uChar->unicodeCharacterValue = static_cast<uint16_t>(value);
        uChar->mbcsBytes = bytes;
    }
    return retval ? p + 3 : nullptr;
}

namespace {

// Eight characters as one number, the first in the lowest byte, as a little-endian load of
// them gives it.
constexpr uint64_t s_word(const char (&text)[9])
{
    uint64_t retval = 0;
    for (int i = 7; i >= 0; --i) {
        retval = retval << 8 | static_cast<unsigned char>(text[i]);
    }
    return retval;
}

uint64_t s_load8(const char* p)
{
    uint64_t retval = 0;
    std::memcpy(&retval, p, sizeof retval);
    return retval;
}

} // namespace

// "<UXXXX> \\xHH\\xHH |P" is read as three words: its fixed characters are tested at once, and
// its eight hex digits (capitals only) are tested and turned into values together, a byte each.
// Any other line, or one that is not exactly this, takes the scan of one character at a time.
const char* parse_usual_ucm_line_padded(const char* line, NoxUCharMapping* uChar)
{
    const char* retval = nullptr;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const uint64_t ones = 0x0101010101010101u;
    const uint64_t highs = ones * 0x80;
    const uint64_t head = s_load8(line);
    const uint64_t bytes = s_load8(line + 8);
    const uint64_t tail = s_load8(line + 16);
    const bool shaped = (head & 0xFFFF00000000FFFFu) == s_word("<U\0\0\0\0> ") &&
                        (bytes & 0x0000FFFF0000FFFFu) == s_word("\\x\0\0\\x\0\0") &&
                        (tail & 0xFFFFu) == (s_word(" |\0\0\0\0\0\0") & 0xFFFFu);
    // The digits of the value and of the two bytes, in their order.
    const uint64_t digits =
        (head >> 16 & 0xFFFFFFFFu) | (bytes >> 16 & 0xFFFFu) << 32 | (bytes >> 48) << 48;
    // Bit 7 of each byte: at least '0' and not past '9', or at least 'A' and not past 'F'
    // (each sum stays within its byte for characters below 0x80).
    const uint64_t decimal = (digits + ones * 0x50) & ~(digits + ones * 0x46);
    const uint64_t capital = (digits + ones * 0x3F) & ~(digits + ones * 0x39);
    const bool hex = (digits & highs) == 0 && ((decimal | capital) & highs) == highs;
    const uint64_t values = (digits & ones * 0x0F) + 9 * (digits >> 6 & ones);
    // Each even byte: its digit's value and the next one's, as one byte.
    const uint64_t pairs = (values << 4 | values >> 8) & 0x00FF00FF00FF00FFu;
    const t_mbcsBytes mbcs =
        static_cast<t_mbcsBytes>((pairs >> 32 & 0xFF) | (pairs >> 40 & 0xFF00));
    const char precision = static_cast<char>(tail >> 16);
    if (shaped && hex && (mbcs & 0xFF) != 0 && (mbcs & 0xFF00) != 0 &&
        (precision == '0' || precision == '1' || precision == '3')) {
        const uint16_t flags = precision == '0'   ? ToUnicodeDefault | FromUnicodeDefault
                               : precision == '1' ? FromUnicodeFallback
                                                  : ToUnicodeFallback;
        uChar->mappingType = static_cast<uint16_t>(flags | 2);
        uChar->unicodeCharacterValue =
            static_cast<uint16_t>((pairs & 0xFF) << 8 | (pairs >> 16 & 0xFF));
        uChar->mbcsBytes = mbcs;
        retval = line + 19;
    }
#endif
    return retval != nullptr ? retval : parse_usual_ucm_line(line, uChar);
}

int parse_ucm_line(const char* line, NoxUCharMapping* uChar)
{
    int retval = 0;
    if (line != nullptr && line[0] != '#' && uChar != nullptr &&
        parse_usual_ucm_line(line, uChar) != nullptr) {
        retval = 1;
    } else if (line != nullptr && line[0] != '#' && uChar != nullptr) {
        uChar->clear();
        const char* fieldEnd = line;
        const unsigned short value = s_parseUnicodeCharacter(line, &fieldEnd);
        t_mbcsBytes bytes = 0;
        const char* bytesEnd = fieldEnd;
        unsigned short bytesWritten = 0;
        if (fieldEnd != line) {
            bytesWritten = s_parseCodepageBytes(fieldEnd, &bytesEnd, &bytes);
        }
        const char c = *bytesEnd;
        if (bytesWritten == 0 || !(s_isBlank(c) || c == '#' || c == '|')) {
            s_parseError();
        } else if (s_applyPrecision(s_parseDefault(bytesEnd, nullptr), uChar)) {
            if (uChar->setMBCS(bytes) != bytesWritten) {
                // A 0 byte among the groups: the record cannot hold it.
                uChar->clear();
                s_parseError();
            } else {
                uChar->setUnicode(value);
                retval = 1;
            }
        }
    }
    return retval;
}

int parse_lead_bytes(const char* line, NoxLeadByteTable* leadBytes)
{
    int retval = 0;
    const char* p = s_skipStr(line, "<nox_lead_bytes>");
    if (p != nullptr && leadBytes != nullptr) {
        while (*p != '\0' && *p != '\n') {
            const char* start = p;
            retval += s_parseLeadByteToken(&p, leadBytes);
            if (p == start) {
                break;
            }
        }
    } else {
        s_parseError();
    }
    return retval;
}

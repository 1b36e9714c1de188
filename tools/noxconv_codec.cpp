// noxconv_codec.cpp - decoders and encoders for code pages (through the library's converters)
// and for UTF-8, UTF-16 and UTF-32.
#include "noxconv_codec.h"

#include <noxunicode/ConvertUTF.h>

#include <cstdio>

namespace noxconv {

namespace {

bool s_isBigEndian(Form form)
{
    return form == Form::Utf16BE || form == Form::Utf32BE || form == Form::Ucs2BE;
}

unsigned long s_read16(const char* p, bool bigEndian)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return bigEndian ? (b[0] << 8u) | b[1] : (b[1] << 8u) | b[0];
}

unsigned long s_read32(const char* p, bool bigEndian)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    unsigned long v = 0;
    for (int i = 0; i < 4; ++i) {
        v = (v << 8u) | b[bigEndian ? i : 3 - i];
    }
    return v;
}

void s_write16(char* p, unsigned long u, bool bigEndian)
{
    p[bigEndian ? 0 : 1] = static_cast<char>((u >> 8u) & 0xFFu);
    p[bigEndian ? 1 : 0] = static_cast<char>(u & 0xFFu);
}

void s_write32(char* p, unsigned long v, bool bigEndian)
{
    for (int i = 0; i < 4; ++i) {
        p[bigEndian ? 3 - i : i] = static_cast<char>((v >> (8u * i)) & 0xFFu);
    }
}

// ------------------------------------------------------------------ code pages

class CodePageDecoder : public Decoder {
  public:
    explicit CodePageDecoder(const Encoding& e) : m_handle(e.handle), m_name(e.name)
    {
        int err = 0;
        const int max = ncnv_MB_CUR_MAX(m_handle, &err);
        m_maxLen = max < 1 ? 1 : (max > 4 ? 4 : max);
    }

    Step decode(const char** in, const char* inEnd, UChar** out, UChar* outEnd) override
    {
        while (*in < inEnd) {
            if (*out == outEnd) {
                return Step::OutputFull;
            }
            if (**in == 0) {
                // The converter stops at a 0 byte; it is text like any other here.
                *(*out)++ = 0;
                ++*in;
                continue;
            }
            int err = 0;
            ncnv_toUnicode(m_handle, out, outEnd, in, inEnd, &err);
            if (err == NCNV_BUFFER_OVERFLOW) {
                return Step::OutputFull;
            }
            if (err == NCNV_INDEX_OUTOFBOUNDS) {
                return Step::NeedMore;
            }
            if (err != 0) {
                return Step::Invalid;
            }
        }
        return Step::Done;
    }

    std::size_t lookahead() const override { return static_cast<std::size_t>(m_maxLen - 1); }

    // The converter reports a character that the end of its range cuts off before it looks
    // the character up, so ranges of growing length find the lead byte's character length
    // even for a character that has no mapping.
    std::size_t badLength(const char* p, std::size_t avail) override
    {
        std::size_t len = 1;
        while (len < static_cast<std::size_t>(m_maxLen) && len < avail && p[len] != 0) {
            UChar unit[2];
            UChar* out = unit;
            const char* src = p;
            int err = 0;
            ncnv_toUnicode(m_handle, &out, unit + 2, &src, p + len, &err);
            if (err != NCNV_INDEX_OUTOFBOUNDS) {
                break;
            }
            ++len;
        }
        return len;
    }

    std::string problem(const char* p, std::size_t len, bool incomplete) const override
    {
        if (incomplete) {
            return "incomplete character " + hexBytes(p, len) + " at end of input in " + m_name;
        }
        return "no mapping for " + hexBytes(p, len) + " in " + m_name;
    }

  private:
    NoxUConverter* m_handle;
    std::string m_name;
    int m_maxLen = 1;
};

class CodePageEncoder : public Encoder {
  public:
    explicit CodePageEncoder(const Encoding& e) : m_handle(e.handle), m_name(e.name) {}

    Step encode(const UChar** in, const UChar* inEnd, char** out, char* outEnd, bool final) override
    {
        while (*in < inEnd) {
            if (*out == outEnd) {
                return Step::OutputFull;
            }
            if (**in == 0) {
                *(*out)++ = 0;
                ++*in;
                continue;
            }
            int err = 0;
            ncnv_fromUnicode(m_handle, out, outEnd, in, inEnd, &err);
            if (err == NCNV_BUFFER_OVERFLOW) {
                return Step::OutputFull;
            }
            if (err != 0) {
                // A high surrogate without its partner yet: the pair decides what to report.
                const bool waiting = isHighSurrogate(**in) && *in + 1 == inEnd && !final;
                return waiting ? Step::NeedMore : Step::Invalid;
            }
        }
        return Step::Done;
    }

    // A question mark in the code page's own bytes (0x6F in EBCDIC), looked up on first use.
    const std::string& replacement() const override
    {
        if (m_replacement.empty()) {
            const UChar question[1] = {u'?'};
            const UChar* src = question;
            char bytes[8];
            char* out = bytes;
            int err = 0;
            ncnv_fromUnicode(m_handle, &out, bytes + sizeof bytes, &src, question + 1, &err);
            m_replacement = (err == 0 && out > bytes) ? std::string(bytes, out) : "?";
        }
        return m_replacement;
    }

    std::string problem(unsigned long cp) const override
    {
        return "no mapping for " + codePointName(cp) + " in " + m_name;
    }

  private:
    NoxUConverter* m_handle;
    std::string m_name;
    mutable std::string m_replacement;
};

// ------------------------------------------------------------------ UTF-8

class Utf8Decoder : public Decoder {
  public:
    Step decode(const char** in, const char* inEnd, UChar** out, UChar* outEnd) override
    {
        const auto* src = reinterpret_cast<const UTF8*>(*in);
        const utf_ConversionResult r = utf_ConvertUTF8toUTF16(
            &src, reinterpret_cast<const UTF8*>(inEnd), out, outEnd, strictConversion);
        *in = reinterpret_cast<const char*>(src);
        switch (r) {
        case conversionOK:
            return Step::Done;
        case sourceExhausted:
            return Step::NeedMore;
        case targetExhausted:
            return Step::OutputFull;
        default:
            return Step::Invalid;
        }
    }

    std::size_t badLength(const char* p, std::size_t avail) override
    {
        return utf8MaximalSubpart(reinterpret_cast<const unsigned char*>(p), avail);
    }

    std::string problem(const char* p, std::size_t len, bool incomplete) const override
    {
        // The converter reports any lead byte near the end as cut off, also one that can
        // begin no character at all (0xF8 and above); only a true beginning is incomplete.
        const auto lead = static_cast<unsigned char>(p[0]);
        if (incomplete && lead >= 0xC2 && lead <= 0xF4) {
            return "incomplete UTF-8 sequence " + hexBytes(p, len) + " at end of input";
        }
        return "invalid UTF-8 sequence " + hexBytes(p, len);
    }
};

// Passes [*in, inEnd) through the library's UTF-16 to UTF-8 routine. That routine writes a
// high surrogate that ends its range as a character of its own, so such a unit never ends
// the range handed to it: it waits for its partner or is reported.
class Utf8Encoder : public Encoder {
  public:
    explicit Utf8Encoder(bool signature) : m_signature(signature) {}

    std::string prefix() const override { return m_signature ? "\xEF\xBB\xBF" : ""; }

    Step encode(const UChar** in, const UChar* inEnd, char** out, char* outEnd, bool final) override
    {
        const UChar* end = inEnd;
        const bool heldBack = end > *in && isHighSurrogate(end[-1]);
        end -= heldBack ? 1 : 0;
        const bool unpaired = heldBack && end > *in && isHighSurrogate(end[-1]);
        end -= unpaired ? 1 : 0;
        auto* dst = reinterpret_cast<UTF8*>(*out);
        const utf_ConversionResult r = utf_ConvertUTF16toUTF8(
            in, end, &dst, reinterpret_cast<UTF8*>(outEnd), strictConversion);
        *out = reinterpret_cast<char*>(dst);
        if (r == targetExhausted) {
            return Step::OutputFull;
        }
        if (r != conversionOK || unpaired) {
            return Step::Invalid;
        }
        if (heldBack) {
            return final ? Step::Invalid : Step::NeedMore;
        }
        return Step::Done;
    }

    const std::string& replacement() const override { return m_replacement; }

    std::string problem(unsigned long cp) const override
    {
        return "unpaired surrogate " + codePointName(cp) + " cannot be written in UTF-8";
    }

  private:
    bool m_signature;
    std::string m_replacement = "\xEF\xBF\xBD";
};

// ------------------------------------------------------------------ UTF-16 and UTF-32

class Utf16Decoder : public Decoder {
  public:
    Utf16Decoder(Form form, std::string name)
        : m_detect(form == Form::Utf16), m_bigEndian(form != Form::Utf16LE && form != Form::Ucs2LE),
          m_ucs2(form == Form::Ucs2LE || form == Form::Ucs2BE), m_name(std::move(name))
    {
    }

    std::size_t start(const char* data, std::size_t avail) override
    {
        if (!m_detect) {
            return 0;
        }
        const unsigned long mark = avail < 2 ? 0 : s_read16(data, true);
        m_bigEndian = mark != 0xFFFE;
        return (mark == 0xFEFF || mark == 0xFFFE) ? 2 : 0;
    }

    Step decode(const char** in, const char* inEnd, UChar** out, UChar* outEnd) override
    {
        const char* p = *in;
        UChar* o = *out;
        Step step = Step::Done;
        while (inEnd - p >= 2) {
            const unsigned long u = s_read16(p, m_bigEndian);
            if (m_ucs2 && (isHighSurrogate(u) || isLowSurrogate(u))) {
                step = Step::Invalid; // UCS-2 has no surrogates
                break;
            }
            const int units = isHighSurrogate(u) ? 2 : 1;
            if (units == 2 && inEnd - p < 4) {
                break; // the partner is still to come
            }
            if (isLowSurrogate(u) ||
                (units == 2 && !isLowSurrogate(s_read16(p + 2, m_bigEndian)))) {
                step = Step::Invalid;
                break;
            }
            if (outEnd - o < units) {
                step = Step::OutputFull;
                break;
            }
            *o++ = static_cast<UChar>(u);
            if (units == 2) {
                *o++ = static_cast<UChar>(s_read16(p + 2, m_bigEndian));
            }
            p += 2 * units;
        }
        if (step == Step::Done && p < inEnd) {
            step = Step::NeedMore;
        }
        *in = p;
        *out = o;
        return step;
    }

    std::size_t badLength(const char*, std::size_t avail) override { return avail < 2 ? avail : 2; }

    std::string problem(const char* p, std::size_t len, bool) const override
    {
        if (len < 2) {
            return "incomplete character " + hexBytes(p, len) + " at end of input in " + m_name;
        }
        return (m_ucs2 ? "surrogate " : "unpaired surrogate ") +
               codePointName(s_read16(p, m_bigEndian)) + " in " + m_name;
    }

  private:
    bool m_detect;
    bool m_bigEndian;
    bool m_ucs2;
    std::string m_name;
};

class Utf32Decoder : public Decoder {
  public:
    Utf32Decoder(Form form, std::string name)
        : m_detect(form == Form::Utf32), m_bigEndian(form != Form::Utf32LE), m_name(std::move(name))
    {
    }

    std::size_t start(const char* data, std::size_t avail) override
    {
        if (!m_detect) {
            return 0;
        }
        const unsigned long mark = avail < 4 ? 0 : s_read32(data, true);
        m_bigEndian = mark != 0xFFFE0000ul;
        return (mark == 0xFEFFul || mark == 0xFFFE0000ul) ? 4 : 0;
    }

    Step decode(const char** in, const char* inEnd, UChar** out, UChar* outEnd) override
    {
        const char* p = *in;
        UChar* o = *out;
        Step step = Step::Done;
        while (inEnd - p >= 4) {
            const unsigned long v = s_read32(p, m_bigEndian);
            if (v > 0x10FFFFul || isHighSurrogate(v) || isLowSurrogate(v)) {
                step = Step::Invalid;
                break;
            }
            const int units = v > 0xFFFFul ? 2 : 1;
            if (outEnd - o < units) {
                step = Step::OutputFull;
                break;
            }
            if (units == 2) {
                *o++ = static_cast<UChar>(0xD800ul + ((v - 0x10000ul) >> 10u));
                *o++ = static_cast<UChar>(0xDC00ul + (v & 0x3FFul));
            } else {
                *o++ = static_cast<UChar>(v);
            }
            p += 4;
        }
        if (step == Step::Done && p < inEnd) {
            step = Step::NeedMore;
        }
        *in = p;
        *out = o;
        return step;
    }

    std::size_t badLength(const char*, std::size_t avail) override { return avail < 4 ? avail : 4; }

    std::string problem(const char* p, std::size_t len, bool) const override
    {
        if (len < 4) {
            return "incomplete character " + hexBytes(p, len) + " at end of input in " + m_name;
        }
        char text[64];
        std::snprintf(text, sizeof text, "invalid code point 0x%08lX in ",
                      s_read32(p, m_bigEndian));
        return text + m_name;
    }

  private:
    bool m_detect;
    bool m_bigEndian;
    std::string m_name;
};

// Writes UTF-16 or UTF-32 in one byte order; the forms without a suffix get little-endian
// bytes after a byte order mark.
class UtfWideEncoder : public Encoder {
  public:
    UtfWideEncoder(Form form, std::string name, bool signature)
        : m_width(form == Form::Utf32 || form == Form::Utf32LE || form == Form::Utf32BE ? 4 : 2),
          m_bigEndian(s_isBigEndian(form)),
          m_bom(signature || form == Form::Utf16 || form == Form::Utf32),
          m_ucs2(form == Form::Ucs2LE || form == Form::Ucs2BE), m_name(std::move(name))
    {
        char bytes[4];
        mf_put(bytes, 0xFFFD);
        m_replacement.assign(bytes, static_cast<std::size_t>(m_width));
    }

    std::string prefix() const override
    {
        char bytes[4];
        mf_put(bytes, 0xFEFF);
        return m_bom ? std::string(bytes, static_cast<std::size_t>(m_width)) : std::string();
    }

    Step encode(const UChar** in, const UChar* inEnd, char** out, char* outEnd, bool final) override
    {
        const UChar* p = *in;
        char* o = *out;
        Step step = Step::Done;
        while (p < inEnd) {
            unsigned long cp = *p;
            int units = 1;
            if (isHighSurrogate(cp) && p + 1 == inEnd) {
                step = final ? Step::Invalid : Step::NeedMore;
                break;
            }
            if (m_ucs2 && (isHighSurrogate(cp) || isLowSurrogate(cp))) {
                step = Step::Invalid; // UCS-2 holds no character above U+FFFF
                break;
            }
            if (isHighSurrogate(cp) && isLowSurrogate(p[1])) {
                cp = 0x10000ul + ((cp - 0xD800ul) << 10u) + (p[1] - 0xDC00ul);
                units = 2;
            } else if (isHighSurrogate(cp) || isLowSurrogate(cp)) {
                step = Step::Invalid;
                break;
            }
            const int bytes = m_width == 4 ? 4 : 2 * units;
            if (outEnd - o < bytes) {
                step = Step::OutputFull;
                break;
            }
            if (m_width == 4) {
                mf_put(o, cp);
            } else {
                mf_put(o, p[0]);
                if (units == 2) {
                    mf_put(o + 2, p[1]);
                }
            }
            o += bytes;
            p += units;
        }
        *in = p;
        *out = o;
        return step;
    }

    const std::string& replacement() const override { return m_replacement; }

    std::string problem(unsigned long cp) const override
    {
        if (m_ucs2 && cp > 0xFFFF) {
            return codePointName(cp) + " cannot be written in " + m_name;
        }
        return "unpaired surrogate " + codePointName(cp) + " cannot be written in " + m_name;
    }

  private:
    void mf_put(char* p, unsigned long value) const
    {
        if (m_width == 2) {
            s_write16(p, value, m_bigEndian);
        } else {
            s_write32(p, value, m_bigEndian);
        }
    }

    int m_width;
    bool m_bigEndian;
    bool m_bom;
    bool m_ucs2;
    std::string m_name;
    std::string m_replacement;
};

// ------------------------------------------------------------------ ASCII

class AsciiDecoder : public Decoder {
  public:
    Step decode(const char** in, const char* inEnd, UChar** out, UChar* outEnd) override
    {
        const char* p = *in;
        UChar* o = *out;
        Step step = Step::Done;
        while (p < inEnd) {
            if (static_cast<unsigned char>(*p) > 0x7F) {
                step = Step::Invalid;
                break;
            }
            if (o == outEnd) {
                step = Step::OutputFull;
                break;
            }
            *o++ = static_cast<UChar>(*p++);
        }
        *in = p;
        *out = o;
        return step;
    }

    std::size_t badLength(const char*, std::size_t) override { return 1; }

    std::string problem(const char* p, std::size_t len, bool) const override
    {
        return "no mapping for " + hexBytes(p, len) + " in ASCII";
    }
};

class AsciiEncoder : public Encoder {
  public:
    Step encode(const UChar** in, const UChar* inEnd, char** out, char* outEnd, bool final) override
    {
        const UChar* p = *in;
        char* o = *out;
        Step step = Step::Done;
        while (p < inEnd) {
            if (*p > 0x7F) {
                const bool waiting = isHighSurrogate(*p) && p + 1 == inEnd && !final;
                step = waiting ? Step::NeedMore : Step::Invalid;
                break;
            }
            if (o == outEnd) {
                step = Step::OutputFull;
                break;
            }
            *o++ = static_cast<char>(*p++);
        }
        *in = p;
        *out = o;
        return step;
    }

    const std::string& replacement() const override { return m_replacement; }

    std::string problem(unsigned long cp) const override
    {
        return "no mapping for " + codePointName(cp) + " in ASCII";
    }

  private:
    std::string m_replacement = "?";
};

} // namespace

std::size_t Decoder::start(const char*, std::size_t)
{
    return 0;
}

std::unique_ptr<Decoder> makeDecoder(const Encoding& e)
{
    switch (e.form) {
    case Form::CodePage:
        return std::make_unique<CodePageDecoder>(e);
    case Form::Utf8:
        return std::make_unique<Utf8Decoder>();
    case Form::Ascii:
        return std::make_unique<AsciiDecoder>();
    case Form::Utf16:
    case Form::Utf16LE:
    case Form::Utf16BE:
    case Form::Ucs2LE:
    case Form::Ucs2BE:
        return std::make_unique<Utf16Decoder>(e.form, e.name);
    default:
        return std::make_unique<Utf32Decoder>(e.form, e.name);
    }
}

std::unique_ptr<Encoder> makeEncoder(const Encoding& e, bool signature)
{
    switch (e.form) {
    case Form::CodePage:
        return std::make_unique<CodePageEncoder>(e);
    case Form::Ascii:
        return std::make_unique<AsciiEncoder>();
    case Form::Utf8:
        return std::make_unique<Utf8Encoder>(signature);
    default:
        return std::make_unique<UtfWideEncoder>(e.form, e.name, signature);
    }
}

std::string hexBytes(const char* p, std::size_t len)
{
    std::string text;
    for (std::size_t i = 0; i < len; ++i) {
        char group[8];
        std::snprintf(group, sizeof group, "\\x%02X", static_cast<unsigned char>(p[i]));
        text += group;
    }
    return text;
}

std::string codePointName(unsigned long cp)
{
    char text[24];
    std::snprintf(text, sizeof text, "U+%04lX", cp);
    return text;
}

std::size_t utf8MaximalSubpart(const unsigned char* p, std::size_t avail)
{
    const unsigned b = p[0];
    int trail = 0;
    unsigned lo = 0x80;
    unsigned hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        trail = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        trail = 2;
        lo = b == 0xE0 ? 0xA0 : 0x80;
        hi = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        trail = 3;
        lo = b == 0xF0 ? 0x90 : 0x80;
        hi = b == 0xF4 ? 0x8F : 0xBF;
    }
    std::size_t len = 1;
    for (int i = 1; i <= trail && len < avail; ++i) {
        const unsigned c = p[i];
        if (c < (i == 1 ? lo : 0x80u) || c > (i == 1 ? hi : 0xBFu)) {
            break;
        }
        ++len;
    }
    return len;
}

} // namespace noxconv

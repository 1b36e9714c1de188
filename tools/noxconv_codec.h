// noxconv_codec.h - the input decoders and output encoders of noxconv, all through UTF-16.
#ifndef NOXCONV_CODEC_H
#define NOXCONV_CODEC_H

#include <noxunicode/unicode.h>

#include <cstddef>
#include <memory>
#include <string>

namespace noxconv {

// How a conversion step ended.
enum class Step {
    Done,       // the whole input range was converted
    OutputFull, // the output range cannot take the next character
    NeedMore,   // the input range ends inside a character: call again with more input
    Invalid     // the character at the input position cannot be converted
};

// The encodings noxconv reads and writes.
// UCS-2 is UTF-16 that refuses surrogates; UCS-4 is UTF-32; ASCII takes the bytes up to 0x7F.
enum class Form {
    CodePage,
    Utf8,
    Utf16,
    Utf16LE,
    Utf16BE,
    Utf32,
    Utf32LE,
    Utf32BE,
    Ucs2LE,
    Ucs2BE,
    Ascii
};

// One side of a conversion: a Unicode encoding form, or a code page opened in the library.
struct Encoding {
    Form form = Form::CodePage;
    std::string name;                // for messages: "SJIS", "UTF-16LE", ...
    NoxUConverter* handle = nullptr; // code pages only; owned by whoever opened it
};

// Turns bytes of one encoding into UTF-16 units. Decoders keep no state between calls
// except the byte order that a byte order mark selected.
class Decoder {
  public:
    virtual ~Decoder() = default;
    // Called at the start of each input with its first bytes (all of them when fewer than
    // four); returns the number of bytes of a byte order mark to drop.
    virtual std::size_t start(const char* data, std::size_t avail);
    // Converts [*in, inEnd) into [*out, outEnd) and moves both positions. Never writes part
    // of a character. Invalid and NeedMore leave *in on the first byte of the character.
    virtual Step decode(const char** in, const char* inEnd, UChar** out, UChar* outEnd) = 0;
    // Bytes that must stay unconverted after the range handed to decode() while more input
    // is to come, so that the converter never looks at bytes that are not there yet.
    virtual std::size_t lookahead() const { return 0; }
    // Length of the undecodable character at `p` (at least 1, at most `avail`): the unit
    // that skipping or replacing takes away.
    virtual std::size_t badLength(const char* p, std::size_t avail) = 0;
    // Describes the undecodable `len` bytes at `p`; `atEnd` when they end the input.
    virtual std::string problem(const char* p, std::size_t len, bool atEnd) const = 0;
};

// Turns UTF-16 units into bytes of one encoding.
class Encoder {
  public:
    virtual ~Encoder() = default;
    // Bytes written once before the first character of the output (a byte order mark),
    // possibly empty.
    virtual std::string prefix() const { return std::string(); }
    // Converts [*in, inEnd) into [*out, outEnd) and moves both positions. Unless `final`,
    // a high surrogate that ends the range is held back (NeedMore) until its partner comes.
    virtual Step encode(const UChar** in, const UChar* inEnd, char** out, char* outEnd,
                        bool final) = 0;
    // What replaces a character that cannot be written.
    virtual const std::string& replacement() const = 0;
    // Describes why the character `cp` cannot be written.
    virtual std::string problem(unsigned long cp) const = 0;
};

std::unique_ptr<Decoder> makeDecoder(const Encoding& encoding);
// With `signature`, an encoder of a Unicode form writes a byte order mark (U+FEFF) first
// also where its form has none of its own (UTF-8, and the forms with a byte order suffix).
std::unique_ptr<Encoder> makeEncoder(const Encoding& encoding, bool signature = false);

// "\x81\x7F" for the bytes given.
std::string hexBytes(const char* p, std::size_t len);
// "U+20AC", "U+1F600".
std::string codePointName(unsigned long cp);
// Length of the longest prefix of [p, p+avail) that can begin a well-formed UTF-8
// character, and at least 1: the unit that one U+FFFD replaces.
std::size_t utf8MaximalSubpart(const unsigned char* p, std::size_t avail);

inline bool isHighSurrogate(unsigned long u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}
inline bool isLowSurrogate(unsigned long u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

} // namespace noxconv

#endif

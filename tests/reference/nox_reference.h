// nox_reference.h - a second, deliberately plain implementation of the UTF routines and of the
// code-page lookups and conversions, for differential tests and fuzz targets. It shares no
// table and no code with the library: only the public types (UTF8/16/32, UChar, the result
// and mode enumerations) and, to read a converter's table, the record layout.
#ifndef NOXUNICODE_TESTS_REFERENCE_NOX_REFERENCE_H
#define NOXUNICODE_TESTS_REFERENCE_NOX_REFERENCE_H

#include "ConvertUTF.h"
#include "unicode.h"

#include <cstdint>
#include <string>
#include <vector>

class NoxUCharConverter;

namespace noxref {

// The UTF routines: same arguments, results and position rules as the library's.
utf_ConversionResult convertUTF32toUTF16(const UTF32** sourceStart, const UTF32* sourceEnd,
                                         UTF16** targetStart, UTF16* targetEnd,
                                         utf_ConversionFlags flags);
utf_ConversionResult convertUTF16toUTF32(const UTF16** sourceStart, const UTF16* sourceEnd,
                                         UTF32** targetStart, UTF32* targetEnd,
                                         utf_ConversionFlags flags);
utf_ConversionResult convertUTF16toUTF8(const UTF16** sourceStart, const UTF16* sourceEnd,
                                        UTF8** targetStart, UTF8* targetEnd,
                                        utf_ConversionFlags flags);
utf_ConversionResult convertUTF32toUTF8(const UTF32** sourceStart, const UTF32* sourceEnd,
                                        UTF8** targetStart, UTF8* targetEnd,
                                        utf_ConversionFlags flags);
utf_ConversionResult convertUTF8toUTF16(const UTF8** sourceStart, const UTF8* sourceEnd,
                                        UTF16** targetStart, UTF16* targetEnd,
                                        utf_ConversionFlags flags);
utf_ConversionResult convertUTF8toUTF32(const UTF8** sourceStart, const UTF8* sourceEnd,
                                        UTF32** targetStart, UTF32* targetEnd,
                                        utf_ConversionFlags flags);
int32_t isLegalUTF8(const UTF8* source, int32_t length);
int32_t isLegalUTF8Sequence(const UTF8* source, const UTF8* sourceEnd);

// One mapping record, read out of a converter's table.
struct NoxRefRecord {
    uint16_t unicode = 0; // the UTF-16 value
    uint32_t bytes = 0;   // the code-page bytes, first byte least significant, unused bytes 0
    int length = 0;       // number of code-page bytes, 0 to 4
    bool toUnicodeDefault = false, toUnicodeFallback = false;
    bool fromUnicodeDefault = false, fromUnicodeFallback = false;
};

// What a conversion reports besides its results: best-effort mode goes in, the no-mapping
// messages that the library writes to standard error come out (appended).
struct NoxRefContext {
    bool bestEffort = false;
    std::string messages;
};

// A code page given by its records in the order of its two sorted indexes (the order among
// equal keys is taken as data) and its lead-byte lengths.
class NoxRefCodePage {
  public:
    NoxRefCodePage() = default;
    NoxRefCodePage(std::vector<NoxRefRecord> byBytes_in, std::vector<NoxRefRecord> byUnicode_in,
                   const unsigned char (&leadBytes_in)[256]);
    // Reads the records of `converter` in the order of its indexes, and its lead bytes.
    static NoxRefCodePage fromConverter(const NoxUCharConverter& converter);

    const std::vector<NoxRefRecord>& byBytes() const { return mByBytes; }
    const std::vector<NoxRefRecord>& byUnicode() const { return mByUnicode; }

    // The lookups: the slot of the record chosen for a key, or -1 for none. `landed`, when
    // given, receives the slot where the binary search found the key (-1 for none).
    int findBytesSlot(uint32_t key, int* landed = nullptr) const;
    int findUnicodeSlot(uint16_t value, int* landed = nullptr) const;
    // The character at `text`: its lead byte's length (at most four) bytes packed into a key,
    // stopping at a 0 byte, then findBytesSlot. Null for none.
    const NoxRefRecord* findCharacter(const unsigned char* text) const;
    const NoxRefRecord* findUnicode(uint16_t value) const;

    // The conversions, with the library's arguments plus the context.
    int toUChars(UChar* out, int outSize, const char* source, int sourceSize, int* errorReturn,
                 NoxRefContext& context) const;
    int fromUChars(char* out, int outSize, const UChar* source, int sourceSize, int* errorReturn,
                   NoxRefContext& context) const;
    void toUnicode(UChar** outRef, const UChar* outEnd, const char** sourceRef,
                   const char* sourceEnd, int* errorReturn, NoxRefContext& context) const;
    void fromUnicode(char** outRef, const char* outEnd, const UChar** sourceRef,
                     const UChar* sourceEnd, int* errorReturn, NoxRefContext& context) const;
    int mblen(const char* source, int maxBytes, int* errorReturn, NoxRefContext& context) const;

  private:
    // Lead-byte length of a first byte, at most four.
    int mf_leadLength(unsigned char first) const;
    std::vector<NoxRefRecord> mByBytes;
    std::vector<NoxRefRecord> mByUnicode;
    unsigned char mLeadBytes[256] = {};
};

} // namespace noxref

#endif

// nox_reference.h - a second, plain implementation of the UTF routines and of the code-page
// lookups and conversions, for differential tests and fuzz targets. It shares no table and no
// code with the library: only the public types and, to read a converter's table, its layout.
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
template <typename S, typename T>
using Routine = utf_ConversionResult (*)(const S**, const S*, T**, T*, utf_ConversionFlags);
extern const Routine<UTF32, UTF16> convertUTF32toUTF16;
extern const Routine<UTF16, UTF32> convertUTF16toUTF32;
extern const Routine<UTF16, UTF8> convertUTF16toUTF8;
extern const Routine<UTF32, UTF8> convertUTF32toUTF8;
extern const Routine<UTF8, UTF16> convertUTF8toUTF16;
extern const Routine<UTF8, UTF32> convertUTF8toUTF32;

// One mapping record, read out of a converter's table.
struct NoxRefRecord {
    uint16_t unicode = 0; // the UTF-16 value
    uint32_t bytes = 0;   // the code-page bytes, first byte least significant, unused bytes 0
    int length = 0;       // number of code-page bytes, 0 to 4
    bool toUnicodeDefault = false, toUnicodeFallback = false, fromUnicodeDefault = false,
         fromUnicodeFallback = false;
};

// Best-effort mode goes in; the no-mapping messages the library prints come out (appended).
struct NoxRefContext {
    bool bestEffort = false;
    std::string messages;
};

// A code page given by its records in the order of its two sorted indexes (the order among
// equal keys is taken as data) and its lead-byte lengths.
class NoxRefCodePage {
  public:
    static NoxRefCodePage fromConverter(const NoxUCharConverter& converter);

    const std::vector<NoxRefRecord>& byBytes() const { return mByBytes; }

    // The lookups: the slot of the record chosen for a key, or -1 for none.
    int findBytesSlot(uint32_t key) const;
    int findUnicodeSlot(uint16_t value) const;
    // The key of the character at `text` (its lead byte's length, at most four, or up to a 0).
    int findCharacterSlot(const unsigned char* text) const;

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
    int mf_toUnicode(const unsigned char*& text, long left, UChar* out, long room, bool counting,
                     int* errorReturn, NoxRefContext& context) const;
    int mf_fromUnicode(const UChar*& source, long left, char* out, long room, bool counting,
                       int* errorReturn, NoxRefContext& context) const;
    std::vector<NoxRefRecord> mByBytes, mByUnicode;
    unsigned char mLeadBytes[256] = {}; // lengths by lead byte, at most four
};

} // namespace noxref

#endif

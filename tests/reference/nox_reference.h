// nox_reference.h - a second, plain implementation of the UTF routines and of the code-page
// lookups and conversions for differential tests and fuzz targets; it shares no code with the
// library, only the public types and the layout of a converter's records.
#ifndef NOXUNICODE_TESTS_REFERENCE_NOX_REFERENCE_H
#define NOXUNICODE_TESTS_REFERENCE_NOX_REFERENCE_H

#include "ConvertUTF.h"
#include "NoxUCharMapping.h"
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

// Best-effort mode goes in; the no-mapping messages the library prints come out (appended).
struct NoxRefContext {
    bool bestEffort = false;
    std::string messages;
};

// A code page given by its records in the order of its two sorted indexes (the order among
// equal keys is data) and its lead-byte lengths.
class NoxRefCodePage {
  public:
    static NoxRefCodePage fromConverter(const NoxUCharConverter& converter);
    const std::vector<NoxUCharMapping>& byBytes() const { return mByBytes; }

    // The slot of the record chosen for a value, or for the character at `text`; -1 for none.
    int findUnicodeSlot(uint16_t value) const;
    int findCharacterSlot(const unsigned char* text) const;

    // The counted forms (`S`, `T`: char and UChar either way), with the library's arguments.
    template <typename S, typename T>
    int convert(T* out, int outSize, const S* source, int sourceSize, int* errorReturn,
                NoxRefContext& context) const;
    // The pointer-range forms.
    template <typename S, typename T>
    void convertRange(T** outRef, const T* outEnd, const S** sourceRef, const S* sourceEnd,
                      int* errorReturn, NoxRefContext& context) const;
    int mblen(const char* source, int maxBytes, int* errorReturn, NoxRefContext& context) const;

  private:
    int mf_convert(const char*& source, long left, UChar* out, long room, bool counting,
                   int* errorReturn, NoxRefContext& context) const;
    int mf_convert(const UChar*& source, long left, char* out, long room, bool counting,
                   int* errorReturn, NoxRefContext& context) const;
    std::vector<NoxUCharMapping> mByBytes, mByUnicode;
    unsigned char mLeadBytes[256] = {}; // lengths by lead byte, at most four
};

} // namespace noxref

#endif

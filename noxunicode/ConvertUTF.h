/* ConvertUTF.h - conversions between UTF-8, UTF-16 and UTF-32, and UTF-8 validation. */
#ifndef NOXUNICODE_CONVERTUTF_H
#define NOXUNICODE_CONVERTUTF_H

#include <stdint.h>

#ifndef NOX_API
#if defined(NOX_BUILDING_LIBRARY)
#define NOX_API __attribute__((visibility("default")))
#else
#define NOX_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t UTF32; /* one UTF-32 value */
typedef uint16_t UTF16; /* one UTF-16 code unit */
typedef uint8_t UTF8;   /* one UTF-8 byte */

/* Result of every conversion routine. */
typedef enum {
    conversionOK = 0,    /* the whole source was consumed and nothing was refused */
    sourceExhausted = 1, /* the source ends inside a UTF-8 character */
    targetExhausted = 2, /* the next character does not fit into the target */
    sourceIllegal = 3    /* an illegal sequence, or a value the mode refuses */
} utf_ConversionResult;

/* Mode of the conversion routines; any value other than strictConversion acts as lenient. */
typedef enum {
    strictConversion = 0, /* refuse unpaired surrogates and out-of-range values */
    lenientConversion = 1 /* pass surrogates on, write U+FFFD for out-of-range values */
} utf_ConversionFlags;

/*
 * The six converters share one contract:
 *   sourceStart  in: first unit to read; out: first unit not consumed.
 *   sourceEnd    just past the last source unit; nothing at or beyond it is read.
 *   targetStart  in: first unit to write; out: just past the last unit written.
 *   targetEnd    just past the room in the target; nothing at or beyond it is written.
 *   flags        strictConversion or lenientConversion.
 * Both positions are stored on every return. A character that does not fit, or that is
 * refused, is not written at all and the source position is left on its first unit, so a
 * long text can be converted in pieces by calling again from the returned positions.
 * No terminator is written, nothing is allocated and nothing is printed.
 */

/** UTF-32 to UTF-16. Strict mode refuses surrogate values and values above 0x10FFFF with
 *  sourceIllegal (stopping at the value); lenient mode passes surrogates and writes U+FFFD
 *  for values above 0x10FFFF. Returns conversionOK, targetExhausted or sourceIllegal. */
NOX_API utf_ConversionResult utf_ConvertUTF32toUTF16(const UTF32** sourceStart,
                                                     const UTF32* sourceEnd, UTF16** targetStart,
                                                     UTF16* targetEnd, utf_ConversionFlags flags);

/** UTF-16 to UTF-32. Strict mode refuses unpaired surrogates with sourceIllegal; a high
 *  surrogate that is the last unit of the source is converted on its own in both modes.
 *  Returns conversionOK, targetExhausted or sourceIllegal. */
NOX_API utf_ConversionResult utf_ConvertUTF16toUTF32(const UTF16** sourceStart,
                                                     const UTF16* sourceEnd, UTF32** targetStart,
                                                     UTF32* targetEnd, utf_ConversionFlags flags);

/** UTF-16 to UTF-8, with the surrogate rules of utf_ConvertUTF16toUTF32.
 *  Returns conversionOK, targetExhausted or sourceIllegal. */
NOX_API utf_ConversionResult utf_ConvertUTF16toUTF8(const UTF16** sourceStart,
                                                    const UTF16* sourceEnd, UTF8** targetStart,
                                                    UTF8* targetEnd, utf_ConversionFlags flags);

/** UTF-8 to UTF-16. Illegal sequences stop the conversion with sourceIllegal in both
 *  modes; strict mode also refuses the three-byte forms of surrogates. A character cut off
 *  by sourceEnd gives sourceExhausted. */
NOX_API utf_ConversionResult utf_ConvertUTF8toUTF16(const UTF8** sourceStart, const UTF8* sourceEnd,
                                                    UTF16** targetStart, UTF16* targetEnd,
                                                    utf_ConversionFlags flags);

/** UTF-32 to UTF-8. Strict mode refuses surrogate values and values above 0x10FFFF with
 *  sourceIllegal; lenient mode passes surrogates and writes U+FFFD above 0x10FFFF. */
NOX_API utf_ConversionResult utf_ConvertUTF32toUTF8(const UTF32** sourceStart,
                                                    const UTF32* sourceEnd, UTF8** targetStart,
                                                    UTF8* targetEnd, utf_ConversionFlags flags);

/** UTF-8 to UTF-32, with the rules of utf_ConvertUTF8toUTF16 (strict mode refuses the
 *  three-byte forms of surrogates; lenient mode passes them). */
NOX_API utf_ConversionResult utf_ConvertUTF8toUTF32(const UTF8** sourceStart, const UTF8* sourceEnd,
                                                    UTF32** targetStart, UTF32* targetEnd,
                                                    utf_ConversionFlags flags);

/** Returns 1 when the `length` bytes at `source` (1 to 4) form one legal UTF-8 character,
 *  else 0. Reads exactly `length` bytes. The three-byte forms of surrogates are accepted. */
NOX_API int32_t utf_isLegalUTF8(const UTF8* source, int32_t length);

/** Returns 1 when the UTF-8 character starting at `source` lies wholly before `sourceEnd`
 *  and is legal, else 0 (also for an empty range). */
NOX_API int32_t utf_isLegalUTF8Sequence(const UTF8* source, const UTF8* sourceEnd);

#ifdef __cplusplus
}
#endif

#endif

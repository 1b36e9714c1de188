/* unicode.h - the converter handle interface: open a code page, convert to and from UTF-16. */
#ifndef NOXUNICODE_UNICODE_H
#define NOXUNICODE_UNICODE_H

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

/* One UTF-16 code unit. The converters treat surrogates as ordinary values. */
typedef uint16_t UChar;

/* Opaque converter handle. */
typedef struct NoxUConverter NoxUConverter;

/* Error codes written through the errorReturn pointers. */
enum {
    NCNV_OK = 0,                /* success */
    NCNV_ILLEGAL_ARGUMENT = 1,  /* a null handle, pointer or buffer */
    NCNV_INVALID_CHAR = 3,      /* ncnv_mblen: the byte has no mapping */
    NCNV_NO_CONVERTER = 7,      /* the handle holds no converter */
    NCNV_INDEX_OUTOFBOUNDS = 8, /* a character is cut off by the end of the input */
    NCNV_BUFFER_OVERFLOW = 15,  /* the output cannot take the next character */
    NCNV_UNSUPPORTED = 16       /* no mapping for a character, or an unsupported query */
};

/** Returns the shared default converter handle (code page from NOX_CODE_PAGE, then
 *  QV_CODE_PAGE, else "LATIN_1"). Every call must be matched by ncnv_releaseConverter. */
NOX_API NoxUConverter* ncnv_getDefaultUConverter(void);

/** Opens the code page `codePageName` from the UCM directory (NOX_UCM_PATH, then
 *  QV_UCM_PATH, else "/"); null means the default code page. "LATIN_1" is built in.
 *  A file that cannot be read gives a Latin-1 converter, an unusable one an empty
 *  converter (reported on standard error only). Returns null only when out of memory. */
NOX_API NoxUConverter* ncnv_getConverter(const char* codePageName);

/** Opens a converter from the UCM file at `ucmFilePath`, with the fallbacks of
 *  ncnv_getConverter. Returns null only when out of memory. */
NOX_API NoxUConverter* ncnv_loadConverter(const char* ucmFilePath);

/** Releases a handle and its converter; for the default handle, one reference. Null is
 *  ignored. */
NOX_API void ncnv_releaseConverter(NoxUConverter* converter);

/** Not provided: with all arguments given, stores an empty string, sets *outSize to 0 and
 *  writes error 16; otherwise writes error 1. */
NOX_API void ncnv_getConverterName(NoxUConverter* converter, char* out, int* outSize,
                                   int* errorReturn);
/** As ncnv_getConverterName. */
NOX_API void ncnv_getConverterPath(NoxUConverter* converter, char* out, int* outSize,
                                   int* errorReturn);
/** As ncnv_getConverterName. */
NOX_API void ncnv_getConverterFileName(NoxUConverter* converter, char* out, int* outSize,
                                       int* errorReturn);

/** Returns the longest character of the code page in bytes and writes error 0; returns 4
 *  with error 1 (null handle) or 7 (no converter). */
NOX_API int ncnv_MB_CUR_MAX(NoxUConverter* converter, int* errorReturn);

/** Returns the length of the character at `source`: 0 (error 0) for a 0 byte, 0 (error
 *  untouched) for a null source, -1 with error 3 for an unmapped byte (1 in best-effort
 *  mode), -1 with error 15 when it is longer than `maxBytes`. Reads at most `maxBytes`. */
NOX_API int ncnv_mblen(NoxUConverter* converter, const char* source, int maxBytes,
                       int* errorReturn);

/** Not provided: returns 0 with error 16 (error 1 for a null handle). */
NOX_API int ncnv_converterMatchesLocale(NoxUConverter* converter, int* errorReturn);

/** Converts at most `sourceSize` bytes of `source` (up to a 0 byte; a negative size means
 *  up to the 0 byte alone) to UTF-16 in `out`, which holds `outSize` units. Writes a 0
 *  terminator where it fits. Returns the converted length in units, counted on past a full
 *  or null output (error 15), so a call with a null `out` sizes the result. Errors: 0, 1,
 *  8 (character cut off by the count), 15, 16 (no mapping). */
NOX_API int ncnv_toUChars(NoxUConverter* converter, UChar* out, int outSize, const char* source,
                          int sourceSize, int* errorReturn);

/** Converts at most `sourceSize` units of `source` to the code page; as ncnv_toUChars. */
NOX_API int ncnv_fromUChars(NoxUConverter* converter, char* out, int outSize, const UChar* source,
                            int sourceSize, int* errorReturn);

/** Converts the bytes [*source, sourceEnd) to UTF-16 in [*out, outEnd), stopping at a 0
 *  byte (which is terminated in the output when there is room, *out left on it), at a full
 *  output (15), at a cut-off character (8) or an unmapped one (16). Both pointers are moved
 *  to where it stopped. Writes the error code only on failure. */
NOX_API void ncnv_toUnicode(NoxUConverter* converter, UChar** out, const UChar* outEnd,
                            const char** source, const char* sourceEnd, int* errorReturn);

/** Converts the units [*source, sourceEnd) to the code page; as ncnv_toUnicode. */
NOX_API void ncnv_fromUnicode(NoxUConverter* converter, char** out, const char* outEnd,
                              const UChar** source, const UChar* sourceEnd, int* errorReturn);

/** Writes the converter's table as UCM lines "<UXXXX> \xHH... |0" (UTF-8 bytes) in Unicode
 *  order to the file `fname` opened with mode `openType`, or to standard output when either
 *  is null. Does nothing for a null handle or a handle without converter. */
NOX_API void ncnv_dumpUTF8(NoxUConverter* converter, const char* fname, const char* openType);

/* Build identification, each line beginning "@(#) ". */
NOX_API extern const char noxunicode_version[];
NOX_API extern const char noxunicode_copyright[];
NOX_API extern const char noxunicode_compilerInfo[];
NOX_API extern const char noxunicode_SHARED_LIBRARY_LINK[];
NOX_API extern const char cksum_noxunicode_ConvertUTFo[];
NOX_API extern const char cksum_noxunicode_unicodeo[];
NOX_API extern const char cksum_noxunicode_environmento[];
NOX_API extern const char cksum_noxunicode_NoxUCharMappingo[];
NOX_API extern const char cksum_noxunicode_NoxUCharConvertero[];
NOX_API extern const char cksum_noxunicode_parsero[];

#ifdef __cplusplus
}
#endif

#endif

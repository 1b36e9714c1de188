/* c_api_test.c - the public headers compile as C; every function survives null and empty
 * arguments. */
#include "noxunicode/ConvertUTF.h"
#include "noxunicode/unicode.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                                            \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond);                       \
            ++failures;                                                                        \
        }                                                                                      \
    } while (0)

int main(void)
{
    int error = 99;
    char name[8];
    int size = 8;
    UChar units[4];
    char bytes[4];
    UChar* uOut = units;
    char* bOut = bytes;
    const char* src = "";
    const UChar* uSrc = units;
    NoxUConverter* latin = ncnv_getConverter("LATIN_1");

    CHECK(ncnv_MB_CUR_MAX(NULL, &error) == 4 && error == NCNV_ILLEGAL_ARGUMENT);
    CHECK(ncnv_mblen(NULL, "A", 1, &error) == -1);
    CHECK(ncnv_converterMatchesLocale(NULL, &error) == 0);
    ncnv_getConverterName(NULL, name, &size, &error);
    ncnv_getConverterPath(NULL, NULL, NULL, NULL);
    ncnv_getConverterFileName(latin, NULL, &size, &error);
    CHECK(error == NCNV_ILLEGAL_ARGUMENT);
    CHECK(ncnv_toUChars(NULL, NULL, 0, NULL, 0, NULL) == 0);
    CHECK(ncnv_fromUChars(NULL, NULL, 0, NULL, 0, NULL) == 0);
    ncnv_toUnicode(NULL, NULL, NULL, NULL, NULL, NULL);
    ncnv_fromUnicode(NULL, NULL, NULL, NULL, NULL, NULL);
    ncnv_toUnicode(latin, NULL, NULL, NULL, NULL, &error);
    CHECK(error == NCNV_ILLEGAL_ARGUMENT);
    ncnv_fromUnicode(latin, &bOut, bytes, &uSrc, units, NULL);
    ncnv_dumpUTF8(NULL, NULL, NULL);
    ncnv_releaseConverter(NULL);

    CHECK(ncnv_toUChars(latin, units, 4, "Ab\xE9", 3, &error) == 3 && error == NCNV_OK);
    CHECK(units[2] == 0xE9 && units[3] == 0);
    CHECK(ncnv_fromUChars(latin, bytes, 4, units, 3, &error) == 3 && strcmp(bytes, "Ab\xE9") == 0);
    ncnv_toUnicode(latin, &uOut, units, &src, src, &error);
    CHECK(uOut == units);
    ncnv_releaseConverter(latin);

    {
        const UTF8 utf8[] = {0x41, 0xC3, 0xA9};
        const UTF8* s8 = utf8;
        UTF16 out16[2];
        UTF16* t16 = out16;
        CHECK(utf_ConvertUTF8toUTF16(&s8, utf8 + 3, &t16, out16 + 2, strictConversion) == conversionOK);
        CHECK(out16[1] == 0xE9 && t16 == out16 + 2);
        CHECK(utf_isLegalUTF8Sequence(utf8, utf8) == 0);
        CHECK(utf_isLegalUTF8(utf8 + 1, 2) == 1);
    }
    {
        const char* const ids[] = {noxunicode_version,
                                   noxunicode_copyright,
                                   noxunicode_compilerInfo,
                                   noxunicode_SHARED_LIBRARY_LINK,
                                   cksum_noxunicode_ConvertUTFo,
                                   cksum_noxunicode_unicodeo,
                                   cksum_noxunicode_environmento,
                                   cksum_noxunicode_NoxUCharMappingo,
                                   cksum_noxunicode_NoxUCharConvertero,
                                   cksum_noxunicode_parsero};
        size_t i;
        for (i = 0; i < sizeof ids / sizeof ids[0]; ++i) {
            CHECK(strncmp(ids[i], "@(#) ", 5) == 0);
        }
    }
    printf("%s\n", failures == 0 ? "c api: ok" : "c api: FAILED");
    return failures == 0 ? 0 : 1;
}

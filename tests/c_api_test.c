/* c_api_test.c - the public headers compile as C and the calls link against the library. */
#include "noxunicode/ConvertUTF.h"
#include "noxunicode/unicode.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                                                \
    ((cond) ? (void)0 : (void)(fprintf(stderr, "%d: %s\n", __LINE__, #cond), ++failures))

int main(void)
{
    int error = 99, i;
    UChar units[4];
    char bytes[4];
    const UTF8 utf8[] = {0x41, 0xC3, 0xA9}, *s8 = utf8;
    UTF16 out16[2], *t16 = out16;
    const char* const ids[] = {noxunicode_version,
                               noxunicode_copyright,
                               noxunicode_compilerInfo,
                               noxunicode_SHARED_LIBRARY_LINK,
                               cksum_noxunicode_ConvertUTFo,
                               cksum_noxunicode_unicodeo,
                               cksum_noxunicode_environmento,
                               cksum_noxunicode_NoxUCharMappingo,
                               cksum_noxunicode_parsero,
                               cksum_noxunicode_NoxUCharConvertero};
    NoxUConverter* latin = ncnv_getConverter("LATIN_1");

    /* Null handles and pointers are refused without being followed. */
    CHECK(ncnv_MB_CUR_MAX(NULL, &error) == 4 && error == NCNV_ILLEGAL_ARGUMENT);
    CHECK(ncnv_mblen(NULL, "A", 1, &error) == -1 && ncnv_converterMatchesLocale(NULL, &error) == 0);
    CHECK(ncnv_toUChars(NULL, NULL, 0, NULL, 0, NULL) == 0);
    ncnv_toUnicode(NULL, NULL, NULL, NULL, NULL, NULL);
    ncnv_fromUnicode(NULL, NULL, NULL, NULL, NULL, NULL);
    ncnv_releaseConverter(NULL);

    CHECK(ncnv_toUChars(latin, units, 4, "Ab\xE9", 3, &error) == 3 && error == NCNV_OK);
    CHECK(units[2] == 0xE9 && units[3] == 0);
    CHECK(ncnv_fromUChars(latin, bytes, 4, units, 3, &error) == 3 && strcmp(bytes, "Ab\xE9") == 0);
    ncnv_releaseConverter(latin);
    CHECK(utf_ConvertUTF8toUTF16(&s8, utf8 + 3, &t16, out16 + 2, strictConversion) == conversionOK);
    CHECK(out16[1] == 0xE9 && t16 == out16 + 2 && utf_isLegalUTF8(utf8 + 1, 2) == 1);
    for (i = 0; i < (int)(sizeof ids / sizeof ids[0]); ++i) {
        CHECK(strncmp(ids[i], "@(#) ", 5) == 0);
    }
    return failures == 0 ? 0 : 1;
}

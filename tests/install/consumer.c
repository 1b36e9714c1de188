/* consumer.c - a program built against an installed noxunicode (through pkg-config or
 * find_package): from the installed code page folder it opens Shift_JIS by name, and ICU's
 * ibm-943_P15A-2003 beside it in the same process, converts a string to UTF-16 and on to
 * UTF-8, and checks the result. Built as C and as C++. */
#define _POSIX_C_SOURCE 200809L

#include <noxunicode/ConvertUTF.h>
#include <noxunicode/unicode.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#ifndef NOX_UCMDIR
#error "NOX_UCMDIR must name the installed code page folder"
#endif

/* "Japanese" (three kanji) in Shift_JIS, in UTF-16 and in UTF-8. */
static const char s_sjis[] = "\x93\xfa\x96\x7b\x8c\xea";
static const UChar s_expected16[] = {0x65E5, 0x672C, 0x8A9E};
static const char s_expected8[] = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e";

/* Whether the code page `name`, opened by name, reads the Shift_JIS string into `units`. */
static int s_decodes(const char* name, UChar* units)
{
    NoxUConverter* converter = ncnv_getConverter(name);
    int error = -1;
    const int length = ncnv_toUChars(converter, units, 8, s_sjis, (int)strlen(s_sjis), &error);
    const int max = ncnv_MB_CUR_MAX(converter, &error);
    ncnv_releaseConverter(converter);
    if (length != 3 || memcmp(units, s_expected16, sizeof s_expected16) != 0 || max != 2) {
        fprintf(stderr, "%s conversion failed: length %d, longest character %d\n", name, length,
                max);
        return 0;
    }
    return 1;
}

int main(int argc, char** argv)
{
    const int require = argc > 1 && strcmp(argv[1], "--require-code-pages") == 0;
    char path[4096];
    snprintf(path, sizeof path, "%s/SJIS.ucm", NOX_UCMDIR);
    if (access(path, R_OK) != 0) {
        /* A tree installed without code pages: the folder is right, but there is nothing to
         * open in it. */
        printf("%s not installed\n", path);
        return require ? 1 : 0;
    }
    /* The library reads the variable at its first use. */
    setenv("NOX_UCM_PATH", NOX_UCMDIR, 1);
    UChar units[8];
    if (!s_decodes("SJIS", units)) {
        return 1;
    }
    /* ICU's pages are installed in the same folder, so the same process opens them by name. */
    snprintf(path, sizeof path, "%s/ibm-943_P15A-2003.ucm", NOX_UCMDIR);
    UChar icuUnits[8];
    if (access(path, R_OK) == 0 && !s_decodes("ibm-943_P15A-2003", icuUnits)) {
        return 1;
    }
    const UTF16* source = units;
    UTF8 utf8[16];
    UTF8* target = utf8;
    if (utf_ConvertUTF16toUTF8(&source, units + 3, &target, utf8 + sizeof utf8, strictConversion) !=
            conversionOK ||
        (size_t)(target - utf8) != strlen(s_expected8) ||
        memcmp(utf8, s_expected8, strlen(s_expected8)) != 0) {
        fprintf(stderr, "UTF-8 conversion failed\n");
        return 1;
    }
    printf("%.*s\n", (int)(target - utf8), (const char*)utf8);
    return 0;
}

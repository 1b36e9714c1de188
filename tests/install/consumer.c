/* consumer.c - a program built against an installed noxunicode (through pkg-config or
 * find_package): it opens Shift_JIS by name from the installed code page folder, and ICU's
 * ibm-943_P15A-2003 beside it in the same process, converts "Japanese" to UTF-16 and on to
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

static const UChar s_expected16[] = {0x65E5, 0x672C, 0x8A9E};
static const char s_expected8[] = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e";

/* Whether the code page `name`, if installed, reads the Shift_JIS string into `units`. */
static int s_decodes(const char* name, UChar* units)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/%s.ucm", NOX_UCMDIR, name);
    if (access(path, R_OK) != 0) {
        return -1;
    }
    NoxUConverter* converter = ncnv_getConverter(name);
    int error = -1;
    const int length = ncnv_toUChars(converter, units, 8, "\x93\xfa\x96\x7b\x8c\xea", 6, &error);
    const int max = ncnv_MB_CUR_MAX(converter, &error);
    ncnv_releaseConverter(converter);
    const int ok = length == 3 && memcmp(units, s_expected16, sizeof s_expected16) == 0 && max == 2;
    if (!ok) {
        fprintf(stderr, "%s conversion failed: length %d, longest character %d\n", name, length,
                max);
    }
    return ok;
}

int main(int argc, char** argv)
{
    const int require = argc > 1 && strcmp(argv[1], "--require-code-pages") == 0;
    setenv("NOX_UCM_PATH", NOX_UCMDIR, 1); /* read at the library's first use */
    UChar units[8], icuUnits[8];
    const int sjis = s_decodes("SJIS", units);
    if (sjis < 0) { /* a tree installed without code pages: nothing to open */
        printf("%s/SJIS.ucm not installed\n", NOX_UCMDIR);
        return require ? 1 : 0;
    }
    if (sjis == 0 || s_decodes("ibm-943_P15A-2003", icuUnits) == 0) {
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

/* consumer.c - built against an installed noxunicode (through pkg-config or find_package): opens
 * Shift_JIS by name from the installed code page folder and reads "Japanese" with it. */
#define _POSIX_C_SOURCE 200809L

#include <noxunicode/unicode.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    const int require = argc > 1 && strcmp(argv[1], "--require-code-pages") == 0;
    if (access(NOX_UCMDIR "/SJIS.ucm", R_OK) != 0) { /* a tree installed without code pages */
        printf(NOX_UCMDIR "/SJIS.ucm not installed\n");
        return require ? 1 : 0;
    }
    setenv("NOX_UCM_PATH", NOX_UCMDIR, 1); /* read at the library's first use */
    NoxUConverter* converter = ncnv_getConverter("SJIS");
    const UChar expected[] = {0x65E5, 0x672C, 0x8A9E};
    UChar units[8];
    int error = -1;
    const int length = ncnv_toUChars(converter, units, 8, "\x93\xfa\x96\x7b\x8c\xea", 6, &error);
    ncnv_releaseConverter(converter);
    if (length != 3 || memcmp(units, expected, sizeof expected) != 0) {
        fprintf(stderr, "conversion failed: %d characters, error %d\n", length, error);
        return 1;
    }
    return 0;
}

// consumer_wrapper.cpp - a C++17 program built against an installed noxunicode through the
// header-only wrapper: Shift_JIS to UTF-16 and back, UTF-16 to UTF-8, and an error code.
#include <noxunicode/noxunicode.hpp>

#include <cstdio>
#include <cstring>
#include <string>

#ifndef NOX_UCMDIR
#error "NOX_UCMDIR must name the installed code page folder"
#endif

int main(int argc, char** argv)
{
    const bool require = argc > 1 && std::strcmp(argv[1], "--require-code-pages") == 0;
    std::error_code ec;
    const nox::converter sjis = nox::converter::from_file(NOX_UCMDIR "/SJIS.ucm", ec);
    if (ec) {
        std::printf("SJIS not installed: %s\n", ec.message().c_str());
        return require ? 1 : 0;
    }
    const std::string bytes = "\x93\xfa\x96\x7b\x8c\xea";
    const std::u16string text = sjis.to_utf16(bytes);
    const std::string utf8 = nox::utf16_to_utf8(text);
    sjis.from_utf16(u"\U0001F600", ec);
    if (text != u"\u65E5\u672C\u8A9E" || sjis.from_utf16(text) != bytes ||
        utf8 != "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e" || ec != nox::errc::unsupported) {
        std::fprintf(stderr, "wrapper conversion failed: %s\n", ec.message().c_str());
        return 1;
    }
    std::printf("%s\n", utf8.c_str());
    return 0;
}

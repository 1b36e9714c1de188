// cpp_wrapper_test.cpp - the header-only C++ wrapper: whole strings with their 0s, each failure
// as an error code and as an exception, empty and moved-from converters; every conversion at
// every kernel level the processor has.
#include "test_support.h"

#include <noxunicode/noxunicode.hpp>

namespace {

using namespace std::string_literals;

// The units of a string of any width, each as a value from 0.
template <typename S> std::u32string s_units(const S& s)
{
    std::u32string out;
    for (const auto c : s) {
        out.push_back(static_cast<std::make_unsigned_t<decltype(c)>>(c));
    }
    return out;
}

// Calls `f` with an error code, then in its throwing form (`f` given none): both give `out`
// (as units) and report `code`.
template <typename F>
void s_expect(const char* name, const std::u32string& out, std::error_code code, const F& f)
{
    SCOPED_TRACE(name);
    std::error_code ec = nox::errc::unsupported;
    EXPECT_EQ(s_units(f(ec)), out);
    EXPECT_EQ(ec, code);
    try {
        EXPECT_EQ(s_units(f()), out);
        EXPECT_FALSE(code);
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), code);
    }
}

TEST(CppWrapperTest, ErrorsAsCodesAndExceptions)
{
    const nox::converter sjis = nox::converter::from_file(std::string(NOX_UCM_DIR) + "/SJIS.ucm");
    const nox::converter empty;
    const std::string utf8 = "\0a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\0"s;
    const std::u32string utf32 = U"\0a\u00E9\u20AC\U0001F600\0"s;
    using E = nox::errc;
    noxtest::forEachLevel([&] {
        s_expect("0 bytes are text", U"\x65E5\0\x672C\0"s, {},
                 [&](auto&... e) { return sjis.to_utf16("\x93\xfa\0\x96\x7b\0"s, e...); });
        s_expect("0 units are text", U"\0\x93\xFA\0"s, {},
                 [&](auto&... e) { return sjis.from_utf16(u"\0\u65E5\0"s, e...); });
        s_expect("cut off", U"", E::index_out_of_bounds,
                 [&](auto&... e) { return sjis.to_utf16("\x93", e...); });
        s_expect("no mapping", U"", E::unsupported,
                 [&](auto&... e) { return sjis.from_utf16(u"\U0001F600", e...); });
        s_expect("no converter", U"", E::no_converter,
                 [&](auto&... e) { return empty.from_utf16(u"A", e...); });
        s_expect("UTF-8 with 0s", utf32, {},
                 [&](auto&... e) { return nox::utf8_to_utf32(utf8, e...); });
        s_expect("UTF-8 cut off", U"", E::source_exhausted,
                 [&](auto&... e) { return nox::utf8_to_utf16("a\xE2\x82", e...); });
        s_expect("UTF-32 beyond U+10FFFF", U"", E::source_illegal,
                 [&](auto&... e) { return nox::utf32_to_utf16(U"a\x110000", e...); });
    });
    s_expect("missing file", U"", make_error_code(std::errc::no_such_file_or_directory),
             [&](auto&... e) {
                 return std::string(nox::converter::from_file("/no/such.ucm", e...) ? "open" : "");
             });
    EXPECT_EQ(std::error_code(nox::errc::unsupported).message(),
              "NCNV_UNSUPPORTED: no mapping for a character");
}

} // namespace

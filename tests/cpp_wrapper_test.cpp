// cpp_wrapper_test.cpp - the header-only C++ wrapper: converters by name and by file, whole
// strings with their 0s, the UTF pairs, errors as codes and as exceptions, ownership; every
// conversion case at every kernel level the processor has.
#include "test_support.h"

#include <noxunicode/noxunicode.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

namespace {

using namespace std::string_literals;

// What a call that ends with `e` leaves in its std::error_code: success is the cleared code.
std::error_code s_code(nox::errc e)
{
    return e == nox::errc::ok ? std::error_code() : make_error_code(e);
}

std::string s_sjisPath()
{
    return std::string(NOX_UCM_DIR) + "/SJIS.ucm";
}

TEST(CppWrapperTest, CodePagesToAndFromUtf16)
{
    const noxtest::TempDir dir;
    const std::string small = dir.write("small.ucm", noxtest::kSmallUcm);
    struct Case {
        const char* name;
        std::string file; // empty: LATIN_1 by name
        std::string bytes;
        std::u16string text;
        nox::errc toError;   // bytes to text
        nox::errc fromError; // text to bytes
    };
    const Case cases[] = {
        {"sjis", s_sjisPath(), "\x93\xfa\x96\x7b\x8c\xea", u"\u65E5\u672C\u8A9E", nox::errc::ok,
         nox::errc::ok},
        {"0 bytes are text", s_sjisPath(), "\x93\xfa\0\0\x96\x7b\0"s, u"\u65E5\0\0\u672C\0"s,
         nox::errc::ok, nox::errc::ok},
        {"empty", small, "", u"", nox::errc::ok, nox::errc::ok},
        {"two-byte character", small, "AB\x81\x40\x43", u"AB\u3000C", nox::errc::ok, nox::errc::ok},
        {"latin-1 built in", "", "caf\xE9", u"caf\u00E9", nox::errc::ok, nox::errc::ok},
        {"no mapping", small, "AD", u"A\u00E9", nox::errc::unsupported, nox::errc::unsupported},
        {"cut off", small, "A\x81", u"", nox::errc::index_out_of_bounds, nox::errc::ok},
    };
    noxtest::forEachLevel([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const nox::converter page =
                c.file.empty() ? nox::converter("LATIN_1") : nox::converter::from_file(c.file);
            std::error_code ec;
            const std::u16string text = page.to_utf16(c.bytes, ec);
            EXPECT_EQ(ec, s_code(c.toError));
            if (c.toError == nox::errc::ok) {
                EXPECT_EQ(text, c.text);
            }
            const std::string bytes = page.from_utf16(c.text, ec);
            EXPECT_EQ(ec, s_code(c.fromError));
            if (c.fromError == nox::errc::ok && c.toError == nox::errc::ok) {
                EXPECT_EQ(bytes, c.bytes);
            }
        }
    });
}

TEST(CppWrapperTest, UtfPairs)
{
    struct Case {
        const char* name;
        std::string utf8;
        std::u16string utf16;
        std::u32string utf32;
        nox::errc error; // the same for every direction that starts from the broken form
        int brokenForm;  // 8, 16 or 32: the form whose text is broken; 0: none
    };
    const Case cases[] = {
        {"every length", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", u"a\u00E9\u20AC\U0001F600",
         U"a\u00E9\u20AC\U0001F600", nox::errc::ok, 0},
        {"0s and empty parts", "\0a\0"s, u"\0a\0"s, U"\0a\0"s, nox::errc::ok, 0},
        {"empty", "", u"", U"", nox::errc::ok, 0},
        {"utf-8 cut off", "a\xE2\x82", u"", U"", nox::errc::source_exhausted, 8},
        {"utf-8 illegal", "a\xFF", u"", U"", nox::errc::source_illegal, 8},
        {"utf-8 surrogate", "\xED\xA0\x80", u"", U"", nox::errc::source_illegal, 8},
        {"utf-16 lone low surrogate", "", u"a\xDC00z", U"", nox::errc::source_illegal, 16},
        {"utf-16 ends in a high surrogate", "", u"a\xD83D", U"", nox::errc::source_exhausted, 16},
        {"utf-32 beyond U+10FFFF", "", u"", U"a\x110000", nox::errc::source_illegal, 32},
        {"utf-32 surrogate", "", u"", U"\xD800", nox::errc::source_illegal, 32},
    };
    noxtest::forEachLevel([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const auto expect = [&](int from, auto result, const auto& wanted, std::error_code ec) {
                EXPECT_EQ(ec, s_code(c.brokenForm == from ? c.error : nox::errc::ok));
                if (c.brokenForm == 0) {
                    EXPECT_EQ(result, wanted);
                } else if (c.brokenForm == from) {
                    EXPECT_TRUE(result.empty());
                }
            };
            std::error_code ec;
            auto r16 = nox::utf8_to_utf16(c.utf8, ec);
            expect(8, r16, c.utf16, ec);
            auto r32 = nox::utf8_to_utf32(c.utf8, ec);
            expect(8, r32, c.utf32, ec);
            auto r8 = nox::utf16_to_utf8(c.utf16, ec);
            expect(16, r8, c.utf8, ec);
            r32 = nox::utf16_to_utf32(c.utf16, ec);
            expect(16, r32, c.utf32, ec);
            r8 = nox::utf32_to_utf8(c.utf32, ec);
            expect(32, r8, c.utf8, ec);
            r16 = nox::utf32_to_utf16(c.utf32, ec);
            expect(32, r16, c.utf16, ec);
        }
    });
}

TEST(CppWrapperTest, ErrorsAsCodesAndExceptions)
{
    const std::error_code unsupported = nox::errc::unsupported;
    EXPECT_STREQ(unsupported.category().name(), "noxunicode");
    EXPECT_EQ(unsupported.value(), NCNV_UNSUPPORTED);
    EXPECT_EQ(unsupported.message(), "NCNV_UNSUPPORTED: no mapping for a character");
    EXPECT_EQ(
        std::error_code(nox::errc::buffer_overflow).message().rfind("NCNV_BUFFER_OVERFLOW", 0), 0u);
    EXPECT_FALSE(std::error_code(nox::errc::ok));

    const nox::converter sjis = nox::converter::from_file(s_sjisPath());
    struct Case {
        const char* name;
        std::function<void()> call;
        std::error_code code;
    };
    const Case cases[] = {
        {"to_utf16", [&] { sjis.to_utf16("\x93"); }, nox::errc::index_out_of_bounds},
        {"from_utf16", [&] { sjis.from_utf16(u"\U0001F600"); }, nox::errc::unsupported},
        {"utf8_to_utf16", [] { nox::utf8_to_utf16("\xC3"); }, nox::errc::source_exhausted},
        {"utf16_to_utf8", [] { nox::utf16_to_utf8(u"\xDC00"); }, nox::errc::source_illegal},
        {"utf8_to_utf32", [] { nox::utf8_to_utf32("\x80"); }, nox::errc::source_illegal},
        {"utf32_to_utf8", [] { nox::utf32_to_utf8(U"\xDFFF"); }, nox::errc::source_illegal},
        {"utf16_to_utf32", [] { nox::utf16_to_utf32(u"\xD800"); }, nox::errc::source_exhausted},
        {"utf32_to_utf16", [] { nox::utf32_to_utf16(U"\x7FFFFFFF"); }, nox::errc::source_illegal},
        {"missing file", [] { nox::converter::from_file("/no/such.ucm"); },
         std::make_error_code(std::errc::no_such_file_or_directory)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.call();
            ADD_FAILURE() << "no exception";
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code(), c.code);
        }
    }
}

TEST(CppWrapperTest, OwnershipAndEmptyConverters)
{
    nox::converter first = nox::converter::from_file(s_sjisPath());
    ASSERT_TRUE(first);
    NoxUConverter* handle = first.handle();
    EXPECT_EQ(first.max_char_size(), 2);

    nox::converter second(std::move(first));
    EXPECT_EQ(second.handle(), handle);
    EXPECT_FALSE(first); // NOLINT(bugprone-use-after-move): a moved-from converter is empty
    std::error_code ec;
    EXPECT_EQ(first.to_utf16("A", ec), u"");
    EXPECT_EQ(ec, make_error_code(nox::errc::no_converter));
    EXPECT_EQ(first.from_utf16(u"A", ec), "");
    EXPECT_EQ(ec, make_error_code(nox::errc::no_converter));
    EXPECT_EQ(first.max_char_size(), 0);

    nox::converter third("LATIN_1");
    third = std::move(second); // releases the LATIN_1 converter, takes SJIS
    EXPECT_EQ(third.handle(), handle);
    EXPECT_EQ(third.to_utf16("\x82\xa0"), u"\u3042");

    const nox::converter missing = nox::converter::from_file("/no/such.ucm", ec);
    EXPECT_FALSE(missing);
    EXPECT_EQ(ec, std::make_error_code(std::errc::no_such_file_or_directory));
}

} // namespace

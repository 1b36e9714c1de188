// noxunicode.hpp - a header-only C++17 way into the library: RAII converters, results in
// standard strings, errors as std::error_code (with throwing overloads that raise
// std::system_error). Only the exported C functions are called, so the wrapper adds no
// symbol to libnoxunicode.so, and no exception ever passes through the C interface.
#ifndef NOXUNICODE_NOXUNICODE_HPP
#define NOXUNICODE_NOXUNICODE_HPP

#include <noxunicode/ConvertUTF.h>
#include <noxunicode/unicode.h>

#include <cerrno>
#include <climits>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include <unistd.h>

namespace nox {

/** The library's error codes (the NCNV_ values), and the results of the UTF routines. */
enum class errc {
    ok = NCNV_OK,
    illegal_argument = NCNV_ILLEGAL_ARGUMENT, // a null handle, or an input longer than INT_MAX
    invalid_char = NCNV_INVALID_CHAR,
    no_converter = NCNV_NO_CONVERTER,             // an empty or moved-from nox::converter
    index_out_of_bounds = NCNV_INDEX_OUTOFBOUNDS, // a character cut off by the end of the input
    buffer_overflow = NCNV_BUFFER_OVERFLOW,
    unsupported = NCNV_UNSUPPORTED,             // no mapping for a character
    source_exhausted = 0x100 + sourceExhausted, // UTF input that ends inside a character
    source_illegal = 0x100 + sourceIllegal      // illegal UTF input, or an unpaired surrogate
};

namespace detail {

class Category : public std::error_category {
  public:
    const char* name() const noexcept override { return "noxunicode"; }
    std::string message(int value) const override
    {
        switch (static_cast<errc>(value)) {
        case errc::ok:
            return "NCNV_OK: success";
        case errc::illegal_argument:
            return "NCNV_ILLEGAL_ARGUMENT: a null handle, pointer or buffer, or too long an input";
        case errc::invalid_char:
            return "NCNV_INVALID_CHAR: the byte has no mapping";
        case errc::no_converter:
            return "NCNV_NO_CONVERTER: the handle holds no converter";
        case errc::index_out_of_bounds:
            return "NCNV_INDEX_OUTOFBOUNDS: a character is cut off by the end of the input";
        case errc::buffer_overflow:
            return "NCNV_BUFFER_OVERFLOW: the output cannot take the next character";
        case errc::unsupported:
            return "NCNV_UNSUPPORTED: no mapping for a character";
        case errc::source_exhausted:
            return "sourceExhausted: the input ends inside a character";
        case errc::source_illegal:
            return "sourceIllegal: an illegal sequence or an unpaired surrogate";
        }
        return "noxunicode error " + std::to_string(value);
    }
};

} // namespace detail

/** The category of the library's codes: its name is "noxunicode", its messages name the
 *  codes ("NCNV_UNSUPPORTED: no mapping for a character"). */
inline const std::error_category& category() noexcept
{
    static const detail::Category s_category;
    return s_category;
}

inline std::error_code make_error_code(errc e) noexcept
{
    return std::error_code(static_cast<int>(e), category());
}

} // namespace nox

namespace std {
template <> struct is_error_code_enum<nox::errc> : true_type {
};
} // namespace std

namespace nox {

namespace detail {

inline void throwIf(const std::error_code& ec, const char* what)
{
    if (ec) {
        throw std::system_error(ec, what);
    }
}

// Calls the form of `convert` that sets a code, and throws what it sets.
template <typename Out, typename In>
Out orThrow(Out (*convert)(In, std::error_code&), In text, const char* what)
{
    std::error_code ec;
    Out out = convert(text, ec);
    throwIf(ec, what);
    return out;
}

// Converts `in` piece by piece between its 0 units, each piece through `convert(piece,
// length, out, room, &error)` (a counted-buffer call: a null `out` sizes), and puts each 0
// back into the result.
template <typename Out, typename InChar, typename Convert>
Out countedPieces(std::basic_string_view<InChar> in, std::error_code& ec, Convert convert)
{
    ec.clear();
    Out out;
    if (in.size() >= static_cast<std::size_t>(INT_MAX)) {
        ec = errc::illegal_argument;
        return out;
    }
    std::size_t start = 0;
    while (start <= in.size()) {
        std::size_t end = in.find(InChar(0), start);
        end = end == std::basic_string_view<InChar>::npos ? in.size() : end;
        const int length = static_cast<int>(end - start);
        if (length > 0) {
            int error = NCNV_OK;
            const int needed = convert(in.data() + start, length, nullptr, 0, &error);
            if (error != NCNV_OK && error != NCNV_BUFFER_OVERFLOW) {
                ec = static_cast<errc>(error);
                return Out();
            }
            const std::size_t at = out.size();
            out.resize(at + static_cast<std::size_t>(needed) + 1); // room for the terminator
            error = NCNV_OK;
            const int written = convert(in.data() + start, length, &out[at], needed + 1, &error);
            if (error != NCNV_OK) {
                ec = static_cast<errc>(error);
                return Out();
            }
            out.resize(at + static_cast<std::size_t>(written));
        }
        if (end == in.size()) {
            break;
        }
        out.push_back(typename Out::value_type(0));
        start = end + 1;
    }
    return out;
}

// Whether the `n` bytes at `p` begin a well-formed UTF-8 character that they do not finish.
inline bool isUtf8Prefix(const unsigned char* p, std::size_t n)
{
    if (n == 0 || p[0] < 0xC2 || p[0] > 0xF4) {
        return false;
    }
    const std::size_t length = p[0] < 0xE0 ? 2 : (p[0] < 0xF0 ? 3 : 4);
    const unsigned char low = p[0] == 0xE0 ? 0xA0 : (p[0] == 0xF0 ? 0x90 : 0x80);
    const unsigned char high = p[0] == 0xED ? 0x9F : (p[0] == 0xF4 ? 0x8F : 0xBF);
    for (std::size_t i = 1; i < n; ++i) {
        if (p[i] < (i == 1 ? low : 0x80) || p[i] > (i == 1 ? high : 0xBF)) {
            return false;
        }
    }
    return n < length;
}

// Runs one UTF routine over the whole input into room for `factor` output units per input
// unit, the most that any input can need.
template <typename Out, typename InUnit, typename OutUnit, typename InChar>
Out utfConvert(std::basic_string_view<InChar> in, std::size_t factor, std::error_code& ec,
               utf_ConversionResult (*routine)(const InUnit**, const InUnit*, OutUnit**, OutUnit*,
                                               utf_ConversionFlags))
{
    ec.clear();
    Out out(in.size() * factor, typename Out::value_type(0));
    const auto* source = reinterpret_cast<const InUnit*>(in.data());
    const InUnit* sourceEnd = source + in.size();
    auto* target = reinterpret_cast<OutUnit*>(&out[0]);
    auto* const targetStart = target;
    utf_ConversionResult result =
        routine(&source, sourceEnd, &target, target + out.size(), strictConversion);
    // The routines call any lead byte near the end cut off; only a true beginning is.
    if (result == sourceExhausted && sizeof(InUnit) == 1 &&
        !isUtf8Prefix(reinterpret_cast<const unsigned char*>(source),
                      static_cast<std::size_t>(sourceEnd - source))) {
        result = sourceIllegal;
    }
    if (result != conversionOK) {
        ec = static_cast<errc>(0x100 + result);
        return Out();
    }
    out.resize(static_cast<std::size_t>(target - targetStart));
    return out;
}

// The UTF-16 routines take a high surrogate that ends the input as a character of its own;
// as a whole string, such an input ends inside a character.
inline bool endsInsideCharacter(std::u16string_view in)
{
    return !in.empty() && in.back() >= 0xD800 && in.back() <= 0xDBFF;
}

} // namespace detail

/** An open code page: move-only, released at destruction.
 *
 *  Opening by name follows the library: the file is $NOX_UCM_PATH/<name>.ucm, "LATIN_1" is
 *  built in, and a name whose file cannot be read gives a LATIN_1 converter (see the
 *  README). Opening by file reports a file that cannot be read. */
class converter {
  public:
    /** An empty converter: every conversion reports errc::no_converter. */
    converter() noexcept = default;

    /** Opens the code page `name` (see above); throws std::system_error when memory runs out. */
    explicit converter(const std::string& name) : m_handle(ncnv_getConverter(name.c_str()))
    {
        if (m_handle == nullptr) {
            throw std::system_error(std::make_error_code(std::errc::not_enough_memory),
                                    "nox::converter");
        }
    }

    /** Opens the UCM file at `path`; on failure returns an empty converter and sets `ec`
     *  (std::errc::no_such_file_or_directory, permission_denied, not_enough_memory). */
    static converter from_file(const std::string& path, std::error_code& ec)
    {
        ec.clear();
        converter opened;
        if (access(path.c_str(), R_OK) != 0) {
            ec = std::error_code(errno, std::generic_category());
            return opened;
        }
        opened.m_handle = ncnv_loadConverter(path.c_str());
        if (opened.m_handle == nullptr) {
            ec = std::make_error_code(std::errc::not_enough_memory);
        }
        return opened;
    }

    /** As above; throws std::system_error instead. */
    static converter from_file(const std::string& path)
    {
        std::error_code ec;
        converter opened = from_file(path, ec);
        detail::throwIf(ec, "nox::converter::from_file");
        return opened;
    }

    converter(converter&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    converter& operator=(converter&& other) noexcept
    {
        if (this != &other) {
            ncnv_releaseConverter(m_handle);
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    converter(const converter&) = delete;
    converter& operator=(const converter&) = delete;
    ~converter() { ncnv_releaseConverter(m_handle); }

    /** Whether a code page is open. */
    explicit operator bool() const noexcept { return m_handle != nullptr; }
    /** The C handle, for the ncnv_ functions; it stays owned by this object. */
    NoxUConverter* handle() const noexcept { return m_handle; }

    /** The longest character of the code page in bytes (0 for an empty converter). */
    int max_char_size() const noexcept
    {
        int error = NCNV_OK;
        return m_handle == nullptr ? 0 : ncnv_MB_CUR_MAX(m_handle, &error);
    }

    /** Converts code-page bytes to UTF-16, the whole of `bytes` (0 bytes included). On
     *  failure returns an empty string and sets `ec` (errc::unsupported for a byte without
     *  a mapping, errc::index_out_of_bounds for a character cut off at the end). */
    std::u16string to_utf16(std::string_view bytes, std::error_code& ec) const
    {
        if (m_handle == nullptr) {
            ec = errc::no_converter;
            return std::u16string();
        }
        return detail::countedPieces<std::u16string>(
            bytes, ec, [this](const char* in, int length, char16_t* out, int room, int* error) {
                return ncnv_toUChars(m_handle, reinterpret_cast<UChar*>(out), room, in, length,
                                     error);
            });
    }

    /** As above; throws std::system_error instead. */
    std::u16string to_utf16(std::string_view bytes) const
    {
        std::error_code ec;
        std::u16string text = to_utf16(bytes, ec);
        detail::throwIf(ec, "nox::converter::to_utf16");
        return text;
    }

    /** Converts UTF-16 to code-page bytes, the whole of `text` (0 units included). On
     *  failure returns an empty string and sets `ec` (errc::unsupported for a character
     *  without a mapping). */
    std::string from_utf16(std::u16string_view text, std::error_code& ec) const
    {
        if (m_handle == nullptr) {
            ec = errc::no_converter;
            return std::string();
        }
        return detail::countedPieces<std::string>(
            text, ec, [this](const char16_t* in, int length, char* out, int room, int* error) {
                return ncnv_fromUChars(m_handle, out, room, reinterpret_cast<const UChar*>(in),
                                       length, error);
            });
    }

    /** As above; throws std::system_error instead. */
    std::string from_utf16(std::u16string_view text) const
    {
        std::error_code ec;
        std::string bytes = from_utf16(text, ec);
        detail::throwIf(ec, "nox::converter::from_utf16");
        return bytes;
    }

  private:
    NoxUConverter* m_handle = nullptr;
};

/** UTF-8 to UTF-16 (strict). Errors: errc::source_exhausted (cut off at the end),
 *  errc::source_illegal. */
inline std::u16string utf8_to_utf16(std::string_view text, std::error_code& ec)
{
    return detail::utfConvert<std::u16string, UTF8, UTF16>(text, 1, ec, utf_ConvertUTF8toUTF16);
}

/** UTF-16 to UTF-8 (strict): an unpaired surrogate is errc::source_illegal, a high
 *  surrogate at the end errc::source_exhausted. */
inline std::string utf16_to_utf8(std::u16string_view text, std::error_code& ec)
{
    if (detail::endsInsideCharacter(text)) {
        ec = errc::source_exhausted;
        return std::string();
    }
    return detail::utfConvert<std::string, UTF16, UTF8>(text, 3, ec, utf_ConvertUTF16toUTF8);
}

/** UTF-8 to UTF-32 (strict), with the errors of utf8_to_utf16. */
inline std::u32string utf8_to_utf32(std::string_view text, std::error_code& ec)
{
    return detail::utfConvert<std::u32string, UTF8, UTF32>(text, 1, ec, utf_ConvertUTF8toUTF32);
}

/** UTF-32 to UTF-8 (strict): a surrogate or a value above 0x10FFFF is errc::source_illegal. */
inline std::string utf32_to_utf8(std::u32string_view text, std::error_code& ec)
{
    return detail::utfConvert<std::string, UTF32, UTF8>(text, 4, ec, utf_ConvertUTF32toUTF8);
}

/** UTF-16 to UTF-32 (strict), with the errors of utf16_to_utf8. */
inline std::u32string utf16_to_utf32(std::u16string_view text, std::error_code& ec)
{
    if (detail::endsInsideCharacter(text)) {
        ec = errc::source_exhausted;
        return std::u32string();
    }
    return detail::utfConvert<std::u32string, UTF16, UTF32>(text, 1, ec, utf_ConvertUTF16toUTF32);
}

/** UTF-32 to UTF-16 (strict), with the errors of utf32_to_utf8. */
inline std::u16string utf32_to_utf16(std::u32string_view text, std::error_code& ec)
{
    return detail::utfConvert<std::u16string, UTF32, UTF16>(text, 2, ec, utf_ConvertUTF32toUTF16);
}

/** The UTF conversions above, throwing std::system_error instead of setting a code. */
inline std::u16string utf8_to_utf16(std::string_view text)
{
    return detail::orThrow<std::u16string, std::string_view>(utf8_to_utf16, text,
                                                             "nox::utf8_to_utf16");
}

inline std::string utf16_to_utf8(std::u16string_view text)
{
    return detail::orThrow<std::string, std::u16string_view>(utf16_to_utf8, text,
                                                             "nox::utf16_to_utf8");
}

inline std::u32string utf8_to_utf32(std::string_view text)
{
    return detail::orThrow<std::u32string, std::string_view>(utf8_to_utf32, text,
                                                             "nox::utf8_to_utf32");
}

inline std::string utf32_to_utf8(std::u32string_view text)
{
    return detail::orThrow<std::string, std::u32string_view>(utf32_to_utf8, text,
                                                             "nox::utf32_to_utf8");
}

inline std::u32string utf16_to_utf32(std::u16string_view text)
{
    return detail::orThrow<std::u32string, std::u16string_view>(utf16_to_utf32, text,
                                                                "nox::utf16_to_utf32");
}

inline std::u16string utf32_to_utf16(std::u32string_view text)
{
    return detail::orThrow<std::u16string, std::u32string_view>(utf32_to_utf16, text,
                                                                "nox::utf32_to_utf16");
}

} // namespace nox

#endif

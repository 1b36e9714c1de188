// bench_peers.h - thin wrappers around the peer converters that the benchmark compares with:
// ICU and simdutf (when built with them) and the C library's iconv. Each call converts a whole
// buffer and returns the output length, or -1 when the peer refused the input or ran out of
// room.
#ifndef NOXUNICODE_BENCH_PEERS_H
#define NOXUNICODE_BENCH_PEERS_H

#include "unicode.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#if defined(NOX_BENCH_HAVE_ICU)
// ICU's C interface takes the same 16-bit unit type as noxunicode.
#ifndef UCHAR_TYPE
#define UCHAR_TYPE uint16_t
#endif
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>
#endif

#if defined(NOX_BENCH_HAVE_ICONV)
#include <iconv.h>
#endif

#if defined(NOX_BENCH_HAVE_SIMDUTF)
#include "simdutf.h"
#endif

namespace noxbench {

#if defined(NOX_BENCH_HAVE_ICU)
// An ICU converter set to stop (not substitute) at anything it cannot convert, so that a
// difference from noxunicode shows as an error instead of a replacement character.
class IcuCodec {
  public:
    IcuCodec() = default;
    IcuCodec(const IcuCodec&) = delete;
    IcuCodec& operator=(const IcuCodec&) = delete;
    ~IcuCodec()
    {
        if (cnv_ != nullptr) {
            ucnv_close(cnv_);
        }
    }

    // Opens the first of the names that ICU knows; false when none.
    bool open(const std::vector<const char*>& names)
    {
        for (const char* name : names) {
            UErrorCode status = U_ZERO_ERROR;
            UConverter* cnv = ucnv_open(name, &status);
            if (U_SUCCESS(status) && cnv != nullptr) {
                ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                                    &status);
                ucnv_setFromUCallBack(cnv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                                      &status);
                cnv_ = cnv;
                name_ = ucnv_getName(cnv, &status);
                return true;
            }
        }
        return false;
    }
    bool isOpen() const { return cnv_ != nullptr; }
    const std::string& name() const { return name_; }
    UConverter* get() const { return cnv_; }

    long long toU(const char* src, size_t len, UChar* out, size_t cap) const
    {
        UErrorCode status = U_ZERO_ERROR;
        const int32_t n = ucnv_toUChars(cnv_, out, static_cast<int32_t>(cap), src,
                                        static_cast<int32_t>(len), &status);
        return U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING ? -1 : n;
    }
    long long fromU(const UChar* src, size_t len, char* out, size_t cap) const
    {
        UErrorCode status = U_ZERO_ERROR;
        const int32_t n = ucnv_fromUChars(cnv_, out, static_cast<int32_t>(cap), src,
                                          static_cast<int32_t>(len), &status);
        return U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING ? -1 : n;
    }

  private:
    UConverter* cnv_ = nullptr;
    std::string name_;
};

// UTF-8 and UTF-16 through ICU's string functions, the fastest path ICU offers for them.
inline long long icuUtf8ToUtf16(const char* src, size_t len, UChar* out, size_t cap)
{
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = 0;
    u_strFromUTF8(out, static_cast<int32_t>(cap), &n, src, static_cast<int32_t>(len), &status);
    return U_FAILURE(status) ? -1 : n;
}

inline long long icuUtf16ToUtf8(const UChar* src, size_t len, char* out, size_t cap)
{
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = 0;
    u_strToUTF8(out, static_cast<int32_t>(cap), &n, src, static_cast<int32_t>(len), &status);
    return U_FAILURE(status) ? -1 : n;
}

// Converter to converter through ICU's UTF-16 pivot (ICU has no direct UTF-8/UTF-32 path).
inline long long icuConvert(UConverter* to, UConverter* from, const char* src, size_t len,
                            char* out, size_t cap, UChar* pivot, size_t pivotCap)
{
    UErrorCode status = U_ZERO_ERROR;
    char* target = out;
    const char* source = src;
    UChar* pivotSource = pivot;
    UChar* pivotTarget = pivot;
    ucnv_convertEx(to, from, &target, out + cap, &source, src + len, pivot, &pivotSource,
                   &pivotTarget, pivot + pivotCap, 1, 1, &status);
    return U_FAILURE(status) ? -1 : target - out;
}
#endif

#if defined(NOX_BENCH_HAVE_ICONV)
// One iconv descriptor for one direction, reset before every buffer.
class IconvCodec {
  public:
    IconvCodec() = default;
    IconvCodec(const IconvCodec&) = delete;
    IconvCodec& operator=(const IconvCodec&) = delete;
    ~IconvCodec()
    {
        if (isOpen()) {
            iconv_close(cd_);
        }
    }

    bool open(const char* to, const char* from)
    {
        cd_ = iconv_open(to, from);
        return isOpen();
    }
    bool isOpen() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts `len` bytes into at most `cap` bytes; returns the bytes written.
    long long run(const void* src, size_t len, void* out, size_t cap) const
    {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(static_cast<const char*>(src));
        char* o = static_cast<char*>(out);
        size_t inLeft = len;
        size_t outLeft = cap;
        const size_t r = iconv(cd_, &in, &inLeft, &o, &outLeft);
        return r == static_cast<size_t>(-1) || inLeft != 0 ? -1
                                                           : static_cast<long long>(cap - outLeft);
    }

  private:
    iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
};
#endif

#if defined(NOX_BENCH_HAVE_SIMDUTF)
// simdutf's validating conversions through one of its implementations (the one it picked for
// this processor, or one named for a level). simdutf writes without a bound: `out` must hold
// the whole result. It returns 0 for invalid input, which no measured input is.
inline long long simdutfUtf8ToUtf16(const simdutf::implementation* impl, const char* src,
                                    size_t len, UChar* out)
{
    const size_t n = impl->convert_utf8_to_utf16le(src, len, reinterpret_cast<char16_t*>(out));
    return n == 0 && len != 0 ? -1 : static_cast<long long>(n);
}

inline long long simdutfUtf16ToUtf8(const simdutf::implementation* impl, const UChar* src,
                                    size_t len, char* out)
{
    const size_t n =
        impl->convert_utf16le_to_utf8(reinterpret_cast<const char16_t*>(src), len, out);
    return n == 0 && len != 0 ? -1 : static_cast<long long>(n);
}

inline long long simdutfLatin1ToUtf16(const simdutf::implementation* impl, const char* src,
                                      size_t len, UChar* out)
{
    const size_t n = impl->convert_latin1_to_utf16le(src, len, reinterpret_cast<char16_t*>(out));
    return n == 0 && len != 0 ? -1 : static_cast<long long>(n);
}

inline long long simdutfUtf16ToLatin1(const simdutf::implementation* impl, const UChar* src,
                                      size_t len, char* out)
{
    const size_t n =
        impl->convert_utf16le_to_latin1(reinterpret_cast<const char16_t*>(src), len, out);
    return n == 0 && len != 0 ? -1 : static_cast<long long>(n);
}

// The implementation simdutf picked for this processor (SIMDUTF_FORCE_IMPLEMENTATION, when
// set, decides it), or the one named ("icelake", "haswell", "westmere") when the processor
// runs it; null otherwise.
inline const simdutf::implementation* simdutfImplementation(const char* name = nullptr)
{
    if (name == nullptr) {
        return simdutf::get_active_implementation();
    }
    const simdutf::implementation* impl = simdutf::get_available_implementations()[name];
    return impl != nullptr && impl->supported_by_runtime_system() ? impl : nullptr;
}
#endif

} // namespace noxbench

#endif

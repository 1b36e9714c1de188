// bench_utf.cpp - the UTF cases: texts per script built and checked against every peer, then
// cases at 4 KB, 256 KB and 8 MB, the older 4 MB rows, LATIN_1 and short strings, and the
// per-level rows of the static copy against simdutf's implementation for the same level.
#include "bench_utf.h"

#include "bench_common.h"
#include "bench_peers.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace noxbench {

namespace {

// Input sizes of the per-script rows, in bytes of the input encoding.
struct InputSize {
    const char* name;
    size_t bytes;
};

constexpr InputSize s_sizes[] = {{"4K", 4u << 10}, {"256K", 256u << 10}, {"8M", 8u << 20}};
constexpr size_t s_sizeCount = std::size(s_sizes);
constexpr InputSize s_latin1Sizes[] = {{"16K", 16u << 10}, {"8M", 8u << 20}};
constexpr size_t s_shortSizeCount = std::size(kShortSizes);
const size_t s_oldTextBytes = 4u << 20; // the 4 MB rows measured before the per-script ones

// A prefix of a text on a character boundary: so many UTF-16 units, so many UTF-8 bytes.
struct Prefix {
    size_t units = 0;
    size_t bytes = 0;
};

struct UtfText {
    const char* name = nullptr;
    U16 utf16;
    std::string utf8;
    std::vector<uint32_t> utf32;           // the 4 MB rows only
    Prefix from8[s_sizeCount];             // per size: the longest prefix whose UTF-8 fits
    Prefix from16[s_sizeCount];            // per size: the longest prefix whose UTF-16 fits
    ShortStrings shorts[s_shortSizeCount]; // the mix only
    bool simdutfAgrees = false;
    bool icuAgrees = false;
    bool iconvAgrees = false;
};

// How each script's text is made; the mix alternates languages sentence by sentence.
struct Script {
    const char* name;
    Lang lang;
    double emojiPerWord;
    bool sentenceMix;
};

constexpr Script s_scripts[] = {
    {"ascii", Lang::English, 0, false},    {"latin", Lang::French, 0, false},
    {"cyrillic", Lang::Russian, 0, false}, {"greek", Lang::Greek, 0, false},
    {"chinese", Lang::Chinese, 0, false},  {"japanese", Lang::Japanese, 0, false},
    {"korean", Lang::Korean, 0, false},    {"emoji", Lang::English, 0.35, false},
    {"mix", Lang::English, 0, true}};

std::vector<std::unique_ptr<UtfText>> s_scriptTexts;
std::vector<std::unique_ptr<UtfText>> s_oldTexts;

// LATIN_1 text (French in ISO-8859-1) for the Latin-1 rows.
struct Latin1Text {
    U16 units;
    std::vector<char> bytes;
    NoxUConverter* conv = nullptr;
    bool simdutfAgrees = false;
#if defined(NOX_BENCH_HAVE_ICU)
    IcuCodec icu;
    bool icuAgrees = false;
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    IconvCodec iconvToU;
    IconvCodec iconvFromU;
    bool iconvAgrees = false;
#endif
};
std::unique_ptr<Latin1Text> s_latin1;

#if defined(NOX_BENCH_HAVE_ICONV)
IconvCodec s_iconv8to16;
IconvCodec s_iconv16to8;
IconvCodec s_iconv8to32;
IconvCodec s_iconv32to8;
#endif
#if defined(NOX_BENCH_HAVE_ICU)
UConverter* s_icuUtf8 = nullptr;
UConverter* s_icuUtf32 = nullptr;
std::vector<UChar> s_icuPivot(1u << 16);
#endif

size_t s_utf16Bytes(uint32_t cp)
{
    return cp >= 0x10000 ? 4 : 2;
}

// The case-name prefixes of a script, for the filter test.
std::vector<std::string> s_scriptPrefixes(const Script& script)
{
    std::vector<std::string> out;
    const std::string name(script.name);
    for (const InputSize& size : s_sizes) {
#if defined(NOX_BENCH_LEVELS)
        out.push_back("levels_utf8to16/" + name + "/" + size.name);
        out.push_back("levels_utf16to8/" + name + "/" + size.name);
#else
        out.push_back("utf8to16/" + name + "/" + size.name);
        out.push_back("utf16to8/" + name + "/" + size.name);
#endif
    }
#if !defined(NOX_BENCH_LEVELS)
    if (script.sentenceMix) {
        for (const ShortSize& size : kShortSizes) {
            out.push_back("short_utf8to16/" + name + "/" + size.name);
            out.push_back("short_utf16to8/" + name + "/" + size.name);
        }
    }
#endif
    return out;
}

// The longest prefixes, per size, whose UTF-8 and whose UTF-16 fit.
void s_cutPrefixes(UtfText& t)
{
    Prefix at;
    for (size_t i = 0; i < t.utf16.size();) {
        const bool pair = t.utf16[i] >= 0xD800 && t.utf16[i] < 0xDC00;
        const size_t units = pair ? 2 : 1;
        const size_t bytes = pair ? 4 : utf8Length(t.utf16[i]);
        for (size_t z = 0; z < s_sizeCount; ++z) {
            if (at.bytes + bytes <= s_sizes[z].bytes) {
                t.from8[z] = Prefix{at.units + units, at.bytes + bytes};
            }
            if (2 * (at.units + units) <= s_sizes[z].bytes) {
                t.from16[z] = Prefix{at.units + units, at.bytes + bytes};
            }
        }
        at.units += units;
        at.bytes += bytes;
        i += units;
    }
}

// Checks noxunicode and every peer on the whole text, both ways; a peer that differs gets no
// cases for this text.
void s_checkText(UtfText& t)
{
    const std::string name(t.name);
    {
        std::vector<UTF16> u16(t.utf16.size() + 16);
        std::vector<UTF8> u8(t.utf8.size() + 16);
        const auto* s8 = reinterpret_cast<const UTF8*>(t.utf8.data());
        UTF16* o16 = u16.data();
        const utf_ConversionResult r1 = utf_ConvertUTF8toUTF16(&s8, s8 + t.utf8.size(), &o16,
                                                               o16 + u16.size(), strictConversion);
        const UTF16* s16 = t.utf16.data();
        UTF8* o8 = u8.data();
        const utf_ConversionResult r2 = utf_ConvertUTF16toUTF8(&s16, s16 + t.utf16.size(), &o8,
                                                               o8 + u8.size(), strictConversion);
        bool ok =
            r1 == conversionOK && r2 == conversionOK &&
            size_t(o16 - u16.data()) == t.utf16.size() &&
            std::equal(t.utf16.begin(), t.utf16.end(), u16.begin()) &&
            size_t(o8 - u8.data()) == t.utf8.size() &&
            std::equal(t.utf8.begin(), t.utf8.end(), reinterpret_cast<const char*>(u8.data()));
        if (!t.utf32.empty()) {
            std::vector<UTF32> u32(t.utf32.size() + 16);
            s8 = reinterpret_cast<const UTF8*>(t.utf8.data());
            UTF32* o32 = u32.data();
            const utf_ConversionResult r3 = utf_ConvertUTF8toUTF32(
                &s8, s8 + t.utf8.size(), &o32, o32 + u32.size(), strictConversion);
            ok = ok && r3 == conversionOK && size_t(o32 - u32.data()) == t.utf32.size() &&
                 std::equal(t.utf32.begin(), t.utf32.end(), u32.begin());
        }
        note("check " + name + " nox", ok ? "UTF routines give the expected output"
                                          : "UTF ROUTINES DIFFER from the expected output");
    }
#if defined(NOX_BENCH_HAVE_SIMDUTF)
    {
        const simdutf::implementation* impl = simdutfImplementation();
        U16 a(t.utf16.size() + 16);
        std::vector<char> b(t.utf8.size() + 16);
        t.simdutfAgrees = simdutfUtf8ToUtf16(impl, t.utf8.data(), t.utf8.size(), a.data()) ==
                              static_cast<long long>(t.utf16.size()) &&
                          std::equal(t.utf16.begin(), t.utf16.end(), a.begin()) &&
                          simdutfUtf16ToUtf8(impl, t.utf16.data(), t.utf16.size(), b.data()) ==
                              static_cast<long long>(t.utf8.size()) &&
                          std::equal(t.utf8.begin(), t.utf8.end(), b.begin());
        note("check " + name + " simdutf",
             t.simdutfAgrees ? "identical output both ways" : "DIFFERS");
    }
#endif
#if defined(NOX_BENCH_HAVE_ICU)
    {
        U16 a(t.utf16.size() + 16);
        std::vector<char> b(t.utf8.size() + 16);
        t.icuAgrees = icuUtf8ToUtf16(t.utf8.data(), t.utf8.size(), a.data(), a.size()) ==
                          static_cast<long long>(t.utf16.size()) &&
                      std::equal(t.utf16.begin(), t.utf16.end(), a.begin()) &&
                      icuUtf16ToUtf8(t.utf16.data(), t.utf16.size(), b.data(), b.size()) ==
                          static_cast<long long>(t.utf8.size()) &&
                      std::equal(t.utf8.begin(), t.utf8.end(), b.begin());
        note("check " + name + " icu", t.icuAgrees ? "identical output both ways" : "DIFFERS");
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    {
        U16 a(t.utf16.size() + 16);
        std::vector<char> b(t.utf8.size() + 16);
        t.iconvAgrees = s_iconv8to16.isOpen() && s_iconv16to8.isOpen() &&
                        s_iconv8to16.run(t.utf8.data(), t.utf8.size(), a.data(), a.size() * 2) ==
                            static_cast<long long>(t.utf16.size() * 2) &&
                        std::equal(t.utf16.begin(), t.utf16.end(), a.begin()) &&
                        s_iconv16to8.run(t.utf16.data(), t.utf16.size() * 2, b.data(), b.size()) ==
                            static_cast<long long>(t.utf8.size()) &&
                        std::equal(t.utf8.begin(), t.utf8.end(), b.begin());
        note("check " + name + " iconv", t.iconvAgrees ? "identical output both ways" : "DIFFERS");
    }
#endif
}

void s_describe(const UtfText& t)
{
    size_t asciiBytes = 0;
    for (char c : t.utf8) {
        asciiBytes += static_cast<unsigned char>(c) < 0x80 ? 1 : 0;
    }
    size_t pairs = 0;
    for (UChar u : t.utf16) {
        pairs += u >= 0xD800 && u < 0xDC00 ? 1 : 0;
    }
    note("text " + std::string(t.name),
         std::to_string(t.utf8.size()) + " UTF-8 bytes, " + std::to_string(t.utf16.size()) +
             " UTF-16 units, " + std::to_string(100 * asciiBytes / t.utf8.size()) +
             "% ASCII bytes, " + std::to_string(pairs) + " surrogate pairs");
}

// ---------------------------------------------------------------- conversions

bool s_noxUtf8To16(const UtfText& t, const Prefix& c)
{
    const auto* src = reinterpret_cast<const UTF8*>(t.utf8.data());
    UTF16* out = out16.data();
    return utf_ConvertUTF8toUTF16(&src, src + c.bytes, &out, out + out16.size(),
                                  strictConversion) == conversionOK &&
           out == out16.data() + c.units;
}

bool s_noxUtf16To8(const UtfText& t, const Prefix& c)
{
    const UTF16* src = t.utf16.data();
    auto* out = reinterpret_cast<UTF8*>(out8.data());
    return utf_ConvertUTF16toUTF8(&src, src + c.units, &out, out + out8.size(), strictConversion) ==
               conversionOK &&
           out == reinterpret_cast<UTF8*>(out8.data()) + c.bytes;
}

#if !defined(NOX_BENCH_LEVELS)

// Short strings cut from the text, with their UTF-8 bytes.
void s_cutUtfShortStrings(UtfText& t)
{
    for (size_t z = 0; z < s_shortSizeCount; ++z) {
        ShortStrings& s = t.shorts[z];
        cutShortStrings(
            t.utf16, [](UChar u) { return utf8Length(u); }, kShortSizes[z], 0x5108ull + 977 * z, s);
        s.byteOff.push_back(0);
        for (size_t k = 0; k < kShortCount; ++k) {
            const std::string bytes =
                toUtf8(U16(s.units.begin() + static_cast<ptrdiff_t>(s.unitOff[k]),
                           s.units.begin() + static_cast<ptrdiff_t>(s.unitOff[k + 1])));
            s.bytes.insert(s.bytes.end(), bytes.begin(), bytes.end());
            s.byteOff.push_back(s.bytes.size());
        }
    }
}

void s_prepareLatin1()
{
    s_latin1 = std::make_unique<Latin1Text>();
    Latin1Text& l = *s_latin1;
    TextOptions french;
    french.lang = Lang::French;
    french.targetBytes = 8u << 20;
    french.seed = 0x4C41544E31ull;
    const Accept latin1 = [](uint32_t cp) { return cp != 0 && cp <= 0xFF; };
    const SizeOf one = [](uint32_t) { return size_t{1}; };
    l.units = makeText(french, CjkRepertoire(), latin1, one);
    l.bytes.assign(l.units.begin(), l.units.end());
    l.conv = ncnv_getConverter("LATIN_1");
    U16 a(l.units.size() + 16);
    std::vector<char> b(l.bytes.size() + 16);
    int err = 0;
    const int n = ncnv_toUChars(l.conv, a.data(), static_cast<int>(a.size()), l.bytes.data(),
                                static_cast<int>(l.bytes.size()), &err);
    int err2 = 0;
    const int m = ncnv_fromUChars(l.conv, b.data(), static_cast<int>(b.size()), l.units.data(),
                                  static_cast<int>(l.units.size()), &err2);
    const bool ok = err == 0 && err2 == 0 && n == static_cast<int>(l.units.size()) &&
                    m == static_cast<int>(l.bytes.size()) &&
                    std::equal(l.units.begin(), l.units.end(), a.begin()) &&
                    std::equal(l.bytes.begin(), l.bytes.end(), b.begin());
    note("check latin1 nox",
         ok ? "LATIN_1 gives the expected output" : "LATIN_1 DIFFERS from the expected output");
    size_t ascii = 0;
    for (UChar u : l.units) {
        ascii += u < 0x80 ? 1 : 0;
    }
    note("text latin1", "French, " + std::to_string(l.bytes.size()) + " bytes, " +
                            std::to_string(100 * ascii / l.units.size()) + "% ASCII characters");
#if defined(NOX_BENCH_HAVE_SIMDUTF)
    {
        const simdutf::implementation* impl = simdutfImplementation();
        l.simdutfAgrees = simdutfLatin1ToUtf16(impl, l.bytes.data(), l.bytes.size(), a.data()) ==
                              static_cast<long long>(l.units.size()) &&
                          std::equal(l.units.begin(), l.units.end(), a.begin()) &&
                          simdutfUtf16ToLatin1(impl, l.units.data(), l.units.size(), b.data()) ==
                              static_cast<long long>(l.bytes.size()) &&
                          std::equal(l.bytes.begin(), l.bytes.end(), b.begin());
        note("check latin1 simdutf", l.simdutfAgrees ? "identical output both ways" : "DIFFERS");
    }
#endif
#if defined(NOX_BENCH_HAVE_ICU)
    if (l.icu.open({"ISO-8859-1"})) {
        l.icuAgrees = l.icu.toU(l.bytes.data(), l.bytes.size(), a.data(), a.size()) ==
                          static_cast<long long>(l.units.size()) &&
                      std::equal(l.units.begin(), l.units.end(), a.begin()) &&
                      l.icu.fromU(l.units.data(), l.units.size(), b.data(), b.size()) ==
                          static_cast<long long>(l.bytes.size()) &&
                      std::equal(l.bytes.begin(), l.bytes.end(), b.begin());
        note("check latin1 icu", l.icuAgrees ? "identical output both ways" : "DIFFERS");
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    if (l.iconvToU.open("UTF-16LE", "ISO-8859-1") && l.iconvFromU.open("ISO-8859-1", "UTF-16LE")) {
        l.iconvAgrees = l.iconvToU.run(l.bytes.data(), l.bytes.size(), a.data(), a.size() * 2) ==
                            static_cast<long long>(l.units.size() * 2) &&
                        std::equal(l.units.begin(), l.units.end(), a.begin()) &&
                        l.iconvFromU.run(l.units.data(), l.units.size() * 2, b.data(), b.size()) ==
                            static_cast<long long>(l.bytes.size()) &&
                        std::equal(l.bytes.begin(), l.bytes.end(), b.begin());
        note("check latin1 iconv", l.iconvAgrees ? "identical output both ways" : "DIFFERS");
    }
#endif
}

// The per-script rows of one text at one size: GROUP/SCRIPT/SIZE/IMPL.
void s_registerScriptCases(const UtfText& t, size_t z)
{
    const UtfText* p = &t;
    const std::string tail = std::string(t.name) + "/" + s_sizes[z].name + "/";
    const std::string to16 = "utf8to16/" + tail;
    const std::string to8 = "utf16to8/" + tail;
    const Prefix a = t.from8[z];
    const Prefix b = t.from16[z];
    registerCase(to16 + "nox", bulk(a.bytes, [p, a] { return s_noxUtf8To16(*p, a); }));
    registerCase(to8 + "nox", bulk(2 * b.units, [p, b] { return s_noxUtf16To8(*p, b); }));
#if defined(NOX_BENCH_HAVE_SIMDUTF)
    if (t.simdutfAgrees) {
        registerCase(to16 + "simdutf", bulk(a.bytes, [p, a] {
                         return simdutf::convert_utf8_to_utf16le(
                                    p->utf8.data(), a.bytes,
                                    reinterpret_cast<char16_t*>(out16.data())) == a.units;
                     }));
        registerCase(to8 + "simdutf", bulk(2 * b.units, [p, b] {
                         return simdutf::convert_utf16le_to_utf8(
                                    reinterpret_cast<const char16_t*>(p->utf16.data()), b.units,
                                    out8.data()) == b.bytes;
                     }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICU)
    if (t.icuAgrees) {
        registerCase(to16 + "icu", bulk(a.bytes, [p, a] {
                         return icuUtf8ToUtf16(p->utf8.data(), a.bytes, out16.data(),
                                               out16.size()) == static_cast<long long>(a.units);
                     }));
        registerCase(to8 + "icu", bulk(2 * b.units, [p, b] {
                         return icuUtf16ToUtf8(p->utf16.data(), b.units, out8.data(),
                                               out8.size()) == static_cast<long long>(b.bytes);
                     }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    if (t.iconvAgrees) {
        registerCase(to16 + "iconv", bulk(a.bytes, [p, a] {
                         return s_iconv8to16.run(p->utf8.data(), a.bytes, out16.data(),
                                                 out16.size() * 2) ==
                                static_cast<long long>(2 * a.units);
                     }));
        registerCase(to8 + "iconv", bulk(2 * b.units, [p, b] {
                         return s_iconv16to8.run(p->utf16.data(), 2 * b.units, out8.data(),
                                                 out8.size()) == static_cast<long long>(b.bytes);
                     }));
    }
#endif
}

// The 4 MB rows measured before the per-script ones, UTF-32 included: GROUP/TEXT/IMPL.
void s_registerOldCases(const UtfText& t)
{
    const UtfText* p = &t;
    const std::string name(t.name);
    const size_t in8 = t.utf8.size();
    const size_t in16 = t.utf16.size() * sizeof(UTF16);
    const size_t in32 = t.utf32.size() * sizeof(UTF32);
    const Prefix whole{t.utf16.size(), t.utf8.size()};

    registerCase("utf8to16/" + name + "/nox",
                 bulk(in8, [p, whole] { return s_noxUtf8To16(*p, whole); }));
    registerCase("utf16to8/" + name + "/nox",
                 bulk(in16, [p, whole] { return s_noxUtf16To8(*p, whole); }));
    registerCase("utf8to32/" + name + "/nox", bulk(in8, [p] {
                     const auto* src = reinterpret_cast<const UTF8*>(p->utf8.data());
                     UTF32* out = out32.data();
                     return utf_ConvertUTF8toUTF32(&src, src + p->utf8.size(), &out,
                                                   out + out32.size(),
                                                   strictConversion) == conversionOK;
                 }));
    registerCase("utf32to8/" + name + "/nox", bulk(in32, [p] {
                     const UTF32* src = p->utf32.data();
                     auto* out = reinterpret_cast<UTF8*>(out8.data());
                     return utf_ConvertUTF32toUTF8(&src, src + p->utf32.size(), &out,
                                                   out + out8.size(),
                                                   strictConversion) == conversionOK;
                 }));
#if defined(NOX_BENCH_HAVE_ICU)
    registerCase("utf8to16/" + name + "/icu", bulk(in8, [p] {
                     return icuUtf8ToUtf16(p->utf8.data(), p->utf8.size(), out16.data(),
                                           out16.size()) == static_cast<long long>(p->utf16.size());
                 }));
    registerCase("utf16to8/" + name + "/icu", bulk(in16, [p] {
                     return icuUtf16ToUtf8(p->utf16.data(), p->utf16.size(), out8.data(),
                                           out8.size()) == static_cast<long long>(p->utf8.size());
                 }));
    if (s_icuUtf8 != nullptr && s_icuUtf32 != nullptr) {
        registerCase("utf8to32/" + name + "/icu", bulk(in8, [p] {
                         return icuConvert(s_icuUtf32, s_icuUtf8, p->utf8.data(), p->utf8.size(),
                                           reinterpret_cast<char*>(out32.data()), out32.size() * 4,
                                           s_icuPivot.data(), s_icuPivot.size()) ==
                                static_cast<long long>(p->utf32.size() * 4);
                     }));
        registerCase("utf32to8/" + name + "/icu", bulk(in32, [p] {
                         return icuConvert(s_icuUtf8, s_icuUtf32,
                                           reinterpret_cast<const char*>(p->utf32.data()),
                                           p->utf32.size() * 4, out8.data(), out8.size(),
                                           s_icuPivot.data(), s_icuPivot.size()) ==
                                static_cast<long long>(p->utf8.size());
                     }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    struct Route {
        const char* group;
        const IconvCodec* cd;
        const void* src;
        size_t inBytes;
        void* out;
        size_t cap;
        size_t expect;
    };
    const Route routes[] = {
        {"utf8to16", &s_iconv8to16, t.utf8.data(), in8, out16.data(), out16.size() * 2, in16},
        {"utf16to8", &s_iconv16to8, t.utf16.data(), in16, out8.data(), out8.size(), in8},
        {"utf8to32", &s_iconv8to32, t.utf8.data(), in8, out32.data(), out32.size() * 4, in32},
        {"utf32to8", &s_iconv32to8, t.utf32.data(), in32, out8.data(), out8.size(), in8}};
    for (const Route& r : routes) {
        if (r.cd->isOpen()) {
            registerCase(std::string(r.group) + "/" + name + "/iconv", bulk(r.inBytes, [r] {
                             return r.cd->run(r.src, r.inBytes, r.out, r.cap) ==
                                    static_cast<long long>(r.expect);
                         }));
        }
    }
#endif
}

void s_registerLatin1Cases()
{
    const Latin1Text* l = s_latin1.get();
    for (const InputSize& size : s_latin1Sizes) {
        const size_t bytes = std::min(size.bytes, l->bytes.size());
        const size_t units = std::min(size.bytes / 2, l->units.size());
        const std::string toU = std::string("latin1_toU/") + size.name + "/";
        const std::string fromU = std::string("latin1_fromU/") + size.name + "/";
        registerCase(toU + "nox", bulk(bytes, [l, bytes] {
                         int err = 0;
                         return ncnv_toUChars(l->conv, out16.data(), static_cast<int>(out16.size()),
                                              l->bytes.data(), static_cast<int>(bytes),
                                              &err) == static_cast<int>(bytes) &&
                                err == 0;
                     }));
        registerCase(fromU + "nox", bulk(2 * units, [l, units] {
                         int err = 0;
                         return ncnv_fromUChars(l->conv, out8.data(), static_cast<int>(out8.size()),
                                                l->units.data(), static_cast<int>(units),
                                                &err) == static_cast<int>(units) &&
                                err == 0;
                     }));
#if defined(NOX_BENCH_HAVE_SIMDUTF)
        if (l->simdutfAgrees) {
            registerCase(toU + "simdutf", bulk(bytes, [l, bytes] {
                             return simdutf::convert_latin1_to_utf16le(
                                        l->bytes.data(), bytes,
                                        reinterpret_cast<char16_t*>(out16.data())) == bytes;
                         }));
            registerCase(fromU + "simdutf", bulk(2 * units, [l, units] {
                             return simdutf::convert_utf16le_to_latin1(
                                        reinterpret_cast<const char16_t*>(l->units.data()), units,
                                        out8.data()) == units;
                         }));
        }
#endif
#if defined(NOX_BENCH_HAVE_ICU)
        if (l->icuAgrees) {
            registerCase(toU + "icu", bulk(bytes, [l, bytes] {
                             return l->icu.toU(l->bytes.data(), bytes, out16.data(),
                                               out16.size()) == static_cast<long long>(bytes);
                         }));
            registerCase(fromU + "icu", bulk(2 * units, [l, units] {
                             return l->icu.fromU(l->units.data(), units, out8.data(),
                                                 out8.size()) == static_cast<long long>(units);
                         }));
        }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
        if (l->iconvAgrees) {
            registerCase(toU + "iconv", bulk(bytes, [l, bytes] {
                             return l->iconvToU.run(l->bytes.data(), bytes, out16.data(),
                                                    out16.size() * 2) ==
                                    static_cast<long long>(2 * bytes);
                         }));
            registerCase(fromU + "iconv", bulk(2 * units, [l, units] {
                             return l->iconvFromU.run(l->units.data(), 2 * units, out8.data(),
                                                      out8.size()) == static_cast<long long>(units);
                         }));
        }
#endif
    }
}

void s_registerShortCases(const UtfText& t, const ShortStrings& strings, const ShortSize& size)
{
    const ShortStrings* s = &strings;
    const std::string tail = std::string(t.name) + "/" + size.name + "/";
    const std::string to16 = "short_utf8to16/" + tail;
    const std::string to8 = "short_utf16to8/" + tail;
    registerCase(to16 + "nox", perCall([s](size_t k) {
                     const auto* src =
                         reinterpret_cast<const UTF8*>(s->bytes.data() + s->byteOff[k]);
                     const auto* end =
                         reinterpret_cast<const UTF8*>(s->bytes.data() + s->byteOff[k + 1]);
                     UTF16* out = out16.data();
                     return utf_ConvertUTF8toUTF16(&src, end, &out, out + 512, strictConversion) ==
                            conversionOK;
                 }));
    registerCase(to8 + "nox", perCall([s](size_t k) {
                     const UTF16* src = s->units.data() + s->unitOff[k];
                     const UTF16* end = s->units.data() + s->unitOff[k + 1];
                     auto* out = reinterpret_cast<UTF8*>(out8.data());
                     return utf_ConvertUTF16toUTF8(&src, end, &out, out + 512, strictConversion) ==
                            conversionOK;
                 }));
#if defined(NOX_BENCH_HAVE_SIMDUTF)
    if (t.simdutfAgrees) {
        registerCase(to16 + "simdutf", perCall([s](size_t k) {
                         return simdutf::convert_utf8_to_utf16le(
                                    s->bytes.data() + s->byteOff[k],
                                    s->byteOff[k + 1] - s->byteOff[k],
                                    reinterpret_cast<char16_t*>(out16.data())) ==
                                s->unitOff[k + 1] - s->unitOff[k];
                     }));
        registerCase(
            to8 + "simdutf", perCall([s](size_t k) {
                return simdutf::convert_utf16le_to_utf8(
                           reinterpret_cast<const char16_t*>(s->units.data() + s->unitOff[k]),
                           s->unitOff[k + 1] - s->unitOff[k],
                           out8.data()) == s->byteOff[k + 1] - s->byteOff[k];
            }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICU)
    if (t.icuAgrees) {
        registerCase(to16 + "icu", perCall([s](size_t k) {
                         return icuUtf8ToUtf16(s->bytes.data() + s->byteOff[k],
                                               s->byteOff[k + 1] - s->byteOff[k], out16.data(),
                                               512) ==
                                static_cast<long long>(s->unitOff[k + 1] - s->unitOff[k]);
                     }));
        registerCase(to8 + "icu", perCall([s](size_t k) {
                         return icuUtf16ToUtf8(s->units.data() + s->unitOff[k],
                                               s->unitOff[k + 1] - s->unitOff[k], out8.data(),
                                               512) ==
                                static_cast<long long>(s->byteOff[k + 1] - s->byteOff[k]);
                     }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    // iconv only where it was measured before: it never led on short strings.
    if (t.iconvAgrees && size.minBytes != size.maxBytes) {
        registerCase(to16 + "iconv", perCall([s](size_t k) {
                         return s_iconv8to16.run(s->bytes.data() + s->byteOff[k],
                                                 s->byteOff[k + 1] - s->byteOff[k], out16.data(),
                                                 1024) >= 0;
                     }));
        registerCase(to8 + "iconv", perCall([s](size_t k) {
                         return s_iconv16to8.run(s->units.data() + s->unitOff[k],
                                                 2 * (s->unitOff[k + 1] - s->unitOff[k]),
                                                 out8.data(), 512) >= 0;
                     }));
    }
#endif
}

#endif

} // namespace

void prepareUtfTexts(const CjkRepertoire& cjk, size_t& units, size_t& bytes)
{
#if defined(NOX_BENCH_HAVE_ICONV)
    s_iconv8to16.open("UTF-16LE", "UTF-8");
    s_iconv16to8.open("UTF-8", "UTF-16LE");
    s_iconv8to32.open("UTF-32LE", "UTF-8");
    s_iconv32to8.open("UTF-8", "UTF-32LE");
#endif
#if defined(NOX_BENCH_HAVE_ICU)
    UErrorCode status = U_ZERO_ERROR;
    s_icuUtf8 = ucnv_open("UTF-8", &status);
    s_icuUtf32 = ucnv_open("UTF-32LE", &status);
    if (U_FAILURE(status)) {
        s_icuUtf8 = nullptr;
        s_icuUtf32 = nullptr;
    }
#endif
#if defined(NOX_BENCH_HAVE_SIMDUTF)
    const simdutf::implementation* impl = simdutfImplementation();
    note("peer simdutf", std::string("implementation ") + std::string(impl->name()) + " (" +
                             std::string(impl->description()) + ")");
#endif

    // Each script's text holds at least the largest size in UTF-8 and in UTF-16.
    const Accept all = [](uint32_t) { return true; };
    const SizeOf smaller = [](uint32_t cp) { return std::min(utf8Length(cp), s_utf16Bytes(cp)); };
    uint64_t seed = 0x53435250ull;
    for (const Script& script : s_scripts) {
        ++seed;
        if (!selected(s_scriptPrefixes(script))) {
            continue;
        }
        auto t = std::make_unique<UtfText>();
        t->name = script.name;
        const size_t target = s_sizes[s_sizeCount - 1].bytes + 1024;
        if (script.sentenceMix) {
            t->utf16 = makeSentenceMixText(target, cjk, seed, smaller);
        } else {
            TextOptions options;
            options.lang = script.lang;
            options.emojiPerWord = script.emojiPerWord;
            options.targetBytes = target;
            options.seed = seed;
            t->utf16 = makeText(options, cjk, all, smaller);
        }
        t->utf8 = toUtf8(t->utf16);
        s_cutPrefixes(*t);
        s_describe(*t);
        s_checkText(*t);
#if !defined(NOX_BENCH_LEVELS)
        if (script.sentenceMix) {
            s_cutUtfShortStrings(*t);
        }
#endif
        units = std::max(units, t->utf16.size());
        bytes = std::max(bytes, t->utf8.size());
        s_scriptTexts.push_back(std::move(t));
    }

#if !defined(NOX_BENCH_LEVELS)
    // The 4 MB rows measured before the per-script ones.
    const char* const groups[] = {"utf8to16", "utf16to8", "utf8to32", "utf32to8"};
    for (const char* name : {"mixed", "english"}) {
        std::vector<std::string> prefixes;
        for (const char* group : groups) {
            prefixes.push_back(std::string(group) + "/" + name);
        }
        if (!selected(prefixes)) {
            continue;
        }
        auto t = std::make_unique<UtfText>();
        t->name = name;
        if (std::string(name) == "mixed") {
            t->utf16 = makeMixedText(s_oldTextBytes, cjk, 0x4D495844ull);
        } else {
            TextOptions english;
            english.lang = Lang::English;
            english.rareNonAsciiPerWord = 0.004;
            english.seed = 0x41534349ull;
            const SizeOf utf8 = [](uint32_t v) { return utf8Length(v); };
            t->utf16 = makeText(english, cjk, all, utf8);
        }
        t->utf8 = toUtf8(t->utf16);
        t->utf32 = toUtf32(t->utf16);
        s_describe(*t);
        s_checkText(*t);
        units = std::max(units, t->utf16.size());
        bytes = std::max(bytes, t->utf8.size());
        s_oldTexts.push_back(std::move(t));
    }

    if (selected({"latin1_toU/16K", "latin1_toU/8M", "latin1_fromU/16K", "latin1_fromU/8M"})) {
        s_prepareLatin1();
        units = std::max(units, s_latin1->units.size());
        bytes = std::max(bytes, s_latin1->bytes.size());
    }
#endif
}

void registerUtfCases()
{
#if !defined(NOX_BENCH_LEVELS)
    for (const auto& t : s_scriptTexts) {
        for (size_t z = 0; z < s_sizeCount; ++z) {
            s_registerScriptCases(*t, z);
        }
    }
    for (const auto& t : s_oldTexts) {
        s_registerOldCases(*t);
    }
    if (s_latin1) {
        s_registerLatin1Cases();
    }
    for (const auto& t : s_scriptTexts) {
        for (size_t z = 0; z < s_shortSizeCount; ++z) {
            if (!t->shorts[z].unitOff.empty()) {
                s_registerShortCases(*t, t->shorts[z], kShortSizes[z]);
            }
        }
    }
#endif
}

void registerUtfLevelCases()
{
#if defined(NOX_BENCH_LEVELS)
    // The levels that have UTF kernels of their own, against simdutf's implementation for the
    // same instruction set; 256 KB and 8 MB, where the targets lie.
    for (const auto& t : s_scriptTexts) {
        const UtfText* p = t.get();
        for (size_t z = 1; z < s_sizeCount; ++z) {
            const std::string tail = std::string(t->name) + "/" + s_sizes[z].name + "/";
            const std::string to16 = "levels_utf8to16/" + tail;
            const std::string to8 = "levels_utf16to8/" + tail;
            const Prefix a = t->from8[z];
            const Prefix b = t->from16[z];
            for (const Level& level : kLevels) {
                if ((level.level != nox::KernelLevel::AVX512 &&
                     level.level != nox::KernelLevel::AVX2) ||
                    !levelAvailable(level)) {
                    continue;
                }
                registerCase(to16 + level.token, atLevel(level.level, bulk(a.bytes, [p, a] {
                                                             return s_noxUtf8To16(*p, a);
                                                         })));
                registerCase(to8 + level.token, atLevel(level.level, bulk(2 * b.units, [p, b] {
                                                            return s_noxUtf16To8(*p, b);
                                                        })));
#if defined(NOX_BENCH_HAVE_SIMDUTF)
                const simdutf::implementation* impl = simdutfImplementation(level.simdutfImpl);
                if (impl == nullptr || !t->simdutfAgrees) {
                    continue;
                }
                const std::string simd = std::string("simdutf_") + level.simdutfImpl;
                registerCase(to16 + simd, bulk(a.bytes, [p, a, impl] {
                                 return simdutfUtf8ToUtf16(impl, p->utf8.data(), a.bytes,
                                                           out16.data()) ==
                                        static_cast<long long>(a.units);
                             }));
                registerCase(to8 + simd, bulk(2 * b.units, [p, b, impl] {
                                 return simdutfUtf16ToUtf8(impl, p->utf16.data(), b.units,
                                                           out8.data()) ==
                                        static_cast<long long>(b.bytes);
                             }));
#endif
            }
        }
    }
#endif
}

void closeUtfTexts()
{
    if (s_latin1) {
        ncnv_releaseConverter(s_latin1->conv);
    }
#if defined(NOX_BENCH_HAVE_ICU)
    if (s_icuUtf8 != nullptr) {
        ucnv_close(s_icuUtf8);
    }
    if (s_icuUtf32 != nullptr) {
        ucnv_close(s_icuUtf32);
    }
#endif
}

} // namespace noxbench

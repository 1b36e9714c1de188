// bench_codepages.cpp - the code-page cases: inputs built and checked against the peers, then
// long-input, short-string and per-level cases for noxunicode, ICU and iconv.
#include "bench_codepages.h"

#include "bench_common.h"
#include "bench_peers.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace noxbench {

namespace {

const size_t s_textBytes = 4u << 20; // about 4 MB of input per case
const size_t s_pad = 8;              // zero bytes after every code-page buffer
constexpr size_t s_shortSizeCount = std::size(kShortSizes);

struct CodePage {
    const char* name = nullptr;
    std::vector<const char*> icuNames;
    const char* iconvName = nullptr;
    Lang lang = Lang::English;
    bool traditional = false;

    NoxUConverter* conv = nullptr;
    U16 text;                // the measured UTF-16 text
    std::vector<char> bytes; // the same text in the code page, s_pad zeros after it
    size_t byteLen = 0;
    std::vector<int8_t> accepted; // per BMP unit: -1 unknown, 0 rejected, 1 accepted
    std::vector<uint8_t> encodedLen;
    std::vector<std::string> disagreements;
    ShortStrings shorts[s_shortSizeCount]; // per kShortSizes entry; empty when not measured
#if defined(NOX_BENCH_HAVE_ICU)
    std::unique_ptr<IcuCodec> icu;
    bool icuAgrees = false;
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    std::unique_ptr<IconvCodec> iconvToU;
    std::unique_ptr<IconvCodec> iconvFromU;
    bool iconvAgrees = false;
#endif
};

std::vector<CodePage> s_codePages;
CjkRepertoire s_cjk;

// Pure ASCII English as UTF-16, for narrowing to CP1252 against the fastest narrowing loops.
U16 s_asciiText;

// The 16 to 64 byte strings, measured since before the fixed sizes, stay on two code pages.
bool s_hasShortSize(const CodePage& cp, const ShortSize& size)
{
    return size.minBytes == size.maxBytes || std::strcmp(cp.name, "CP1252") == 0 ||
           std::strcmp(cp.name, "SJIS") == 0;
}

// noxunicode's bytes for one UTF-16 unit, empty when it has none.
std::string s_noxEncodeUnit(NoxUConverter* conv, UChar unit)
{
    char out[16] = {};
    int err = 0;
    const int n = ncnv_fromUChars(conv, out, 8, &unit, 1, &err);
    return err == 0 && n > 0 && n <= 4 ? std::string(out, static_cast<size_t>(n)) : std::string();
}

// Whether noxunicode decodes `bytes` as exactly the one unit `unit`.
bool s_noxDecodesTo(NoxUConverter* conv, const std::string& bytes, UChar unit)
{
    char in[16] = {};
    std::memcpy(in, bytes.data(), bytes.size());
    UChar out[8] = {};
    int err = 0;
    const int n = ncnv_toUChars(conv, out, 8, in, static_cast<int>(bytes.size()), &err);
    return err == 0 && n == 1 && out[0] == unit;
}

// A unit goes into a code page's text when noxunicode converts it both ways and every peer
// converts it to and from the same bytes. Each disagreement is recorded for the report.
bool s_accept(CodePage& cp, uint32_t cpValue)
{
    if (cpValue == 0 || cpValue > 0xFFFF) {
        return false;
    }
    int8_t& known = cp.accepted[cpValue];
    if (known >= 0) {
        return known != 0;
    }
    const UChar unit = static_cast<UChar>(cpValue);
    std::string nox;
    bool ok = false;
    {
        const QuietStderr quiet;
        nox = s_noxEncodeUnit(cp.conv, unit);
        ok = !nox.empty() && s_noxDecodesTo(cp.conv, nox, unit);
    }
    if (ok) {
        cp.encodedLen[cpValue] = static_cast<uint8_t>(nox.size());
    }
#if defined(NOX_BENCH_HAVE_ICU)
    if (ok && cp.icu) {
        char enc[16] = {};
        UChar dec[8] = {};
        const long long e = cp.icu->fromU(&unit, 1, enc, sizeof enc);
        const long long d = cp.icu->toU(nox.data(), nox.size(), dec, 8);
        const std::string icuBytes =
            e < 0 ? std::string("(none)") : hexBytes(std::string(enc, static_cast<size_t>(e)));
        if (e < 0 || std::string(enc, static_cast<size_t>(e)) != nox || d != 1 || dec[0] != unit) {
            ok = false;
            cp.disagreements.push_back("icu " + unitName(unit) + ": nox " + hexBytes(nox) +
                                       ", icu encodes " + icuBytes +
                                       " and decodes nox's bytes as " +
                                       (d == 1 ? unitName(dec[0]) : std::string("(error)")));
        }
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    if (ok && cp.iconvToU) {
        char enc[16] = {};
        UChar dec[8] = {};
        const long long e = cp.iconvFromU->run(&unit, 2, enc, sizeof enc);
        const long long d = cp.iconvToU->run(nox.data(), nox.size(), dec, sizeof dec);
        const std::string iconvBytes =
            e < 0 ? std::string("(none)") : hexBytes(std::string(enc, static_cast<size_t>(e)));
        if (e < 0 || std::string(enc, static_cast<size_t>(e)) != nox || d != 2 || dec[0] != unit) {
            ok = false;
            cp.disagreements.push_back("iconv " + unitName(unit) + ": nox " + hexBytes(nox) +
                                       ", iconv encodes " + iconvBytes +
                                       " and decodes nox's bytes as " +
                                       (d == 2 ? unitName(dec[0]) : std::string("(error)")));
        }
    }
#endif
    known = ok ? 1 : 0;
    return ok;
}

bool s_ucmExists(const char* name)
{
    if (std::strcmp(name, "LATIN_1") == 0) {
        return true;
    }
    struct stat st {};
    const std::string path = std::string(NOX_BENCH_UCM_DIR) + "/" + name + ".ucm";
    return stat(path.c_str(), &st) == 0;
}

CodePage* s_find(const char* name)
{
    for (CodePage& cp : s_codePages) {
        if (std::strcmp(cp.name, name) == 0 && cp.conv != nullptr) {
            return &cp;
        }
    }
    return nullptr;
}

// The units that a double-byte code page decodes from the given byte ranges, in code order.
std::vector<uint32_t> s_decodeRange(const char* name, unsigned leadLo, unsigned leadHi,
                                    unsigned trailLo, unsigned trailHi, uint32_t uLo, uint32_t uHi)
{
    std::vector<uint32_t> out;
    const QuietStderr quiet;
    CodePage* cp = s_find(name);
    for (unsigned lead = leadLo; cp != nullptr && lead <= leadHi; ++lead) {
        for (unsigned trail = trailLo; trail <= trailHi; ++trail) {
            const char in[4] = {static_cast<char>(lead), static_cast<char>(trail), 0, 0};
            UChar u[4] = {};
            int err = 0;
            if (ncnv_toUChars(cp->conv, u, 4, in, 2, &err) == 1 && err == 0 && u[0] >= uLo &&
                u[0] <= uHi) {
                out.push_back(u[0]);
            }
        }
    }
    return out;
}

void s_addCodePage(const char* name, std::vector<const char*> icuNames, const char* iconvName,
                   Lang lang, bool traditional)
{
    CodePage cp;
    cp.name = name;
    cp.icuNames = std::move(icuNames);
    cp.iconvName = iconvName;
    cp.lang = lang;
    cp.traditional = traditional;
    s_codePages.push_back(std::move(cp));
}

// The case-name prefixes of one code page, for the filter test.
std::vector<std::string> s_prefixes(const CodePage& cp)
{
    const std::string name(cp.name);
#if defined(NOX_BENCH_LEVELS)
    std::vector<std::string> out = {"levels_toU/" + name, "levels_fromU/" + name};
    if (name == "CP1252") {
        out.push_back("levels_fromU/CP1252-ascii");
    }
#else
    std::vector<std::string> out = {"toU/" + name, "fromU/" + name};
    for (const ShortSize& size : kShortSizes) {
        out.push_back("short_toU/" + name + "/" + size.name);
        out.push_back("short_fromU/" + name + "/" + size.name);
    }
#endif
    return out;
}

// The same text cut into short strings of each size, with their code-page bytes.
void s_prepareShortStrings(CodePage& cp)
{
    for (size_t z = 0; z < s_shortSizeCount; ++z) {
        const ShortSize& size = kShortSizes[z];
        if (!s_hasShortSize(cp, size)) {
            continue;
        }
        ShortStrings& s = cp.shorts[z];
        cutShortStrings(
            cp.text, [&cp](UChar u) { return static_cast<size_t>(cp.encodedLen[u]); }, size,
            0x5107ull + static_cast<uint64_t>(cp.lang) + 977 * z, s);
        s.byteOff.push_back(0);
        for (size_t k = 0; k < kShortCount; ++k) {
            const size_t from = s.unitOff[k];
            const size_t count = s.unitOff[k + 1] - from;
            char buf[256] = {};
            int err = 0;
            const int len = ncnv_fromUChars(cp.conv, buf, sizeof buf, s.units.data() + from,
                                            static_cast<int>(count), &err);
            s.bytes.insert(s.bytes.end(), buf, buf + len);
            s.byteOff.push_back(s.bytes.size());
        }
        s.bytes.resize(s.bytes.size() + s_pad, 0);
    }
}

bool s_prepareCodePage(CodePage& cp)
{
    TextOptions options;
    options.lang = cp.lang;
    options.traditional = cp.traditional;
    options.targetBytes = s_textBytes;
    options.seed =
        0x6E6F78ull * 131 + static_cast<uint64_t>(cp.lang) * 2 + (cp.traditional ? 1 : 0);
    const Accept accept = [&cp](uint32_t v) { return s_accept(cp, v); };
    const SizeOf sizeOf = [&cp](uint32_t v) { return static_cast<size_t>(cp.encodedLen[v]); };
    cp.text = makeText(options, s_cjk, accept, sizeOf);
    for (size_t i = 0; i < cp.disagreements.size(); ++i) {
        note("differs " + std::string(cp.name) + " #" + std::to_string(i + 1), cp.disagreements[i]);
    }

    // Encode with noxunicode, and decode back: both must succeed on the whole text.
    const int units = static_cast<int>(cp.text.size());
    int err = 0;
    const int need = ncnv_fromUChars(cp.conv, nullptr, 0, cp.text.data(), units, &err);
    cp.bytes.assign(static_cast<size_t>(need) + s_pad, 0);
    err = 0;
    const int n = ncnv_fromUChars(cp.conv, cp.bytes.data(), need + 1, cp.text.data(), units, &err);
    U16 back(cp.text.size() + 1);
    int err2 = 0;
    const int m = ncnv_toUChars(cp.conv, back.data(), units + 1, cp.bytes.data(), n, &err2);
    if (err != 0 || n != need || err2 != 0 || m != units ||
        !std::equal(cp.text.begin(), cp.text.end(), back.begin())) {
        note("error " + std::string(cp.name),
             "noxunicode does not round-trip its own text (errors " + std::to_string(err) + ", " +
                 std::to_string(err2) + "); cases left out");
        return false;
    }
    cp.byteLen = static_cast<size_t>(n);
    size_t ascii = 0;
    for (UChar u : cp.text) {
        ascii += u < 0x80 ? 1 : 0;
    }
    note("text " + std::string(cp.name),
         std::string(langName(cp.lang)) + (cp.traditional ? " (traditional)" : "") + ", " +
             std::to_string(cp.byteLen) + " bytes, " + std::to_string(cp.text.size()) +
             " UTF-16 units, " + std::to_string(100 * ascii / cp.text.size()) +
             "% ASCII characters");

    // The peers must give exactly the same output on the whole text, both ways.
#if defined(NOX_BENCH_HAVE_ICU)
    if (cp.icu) {
        U16 u(cp.text.size() + 16);
        std::vector<char> b(cp.byteLen + 16);
        const long long a = cp.icu->toU(cp.bytes.data(), cp.byteLen, u.data(), u.size());
        const long long c = cp.icu->fromU(cp.text.data(), cp.text.size(), b.data(), b.size());
        cp.icuAgrees = a == units && std::equal(cp.text.begin(), cp.text.end(), u.begin()) &&
                       c == n && std::equal(b.begin(), b.begin() + n, cp.bytes.begin());
        note("check " + std::string(cp.name) + " icu " + cp.icu->name(),
             cp.icuAgrees
                 ? "identical output both ways"
                 : "DIFFERS: to UTF-16 " + firstDifference(u, a < 0 ? 0 : size_t(a), cp.text) +
                       "; from UTF-16 " +
                       firstDifference(b, c < 0 ? 0 : size_t(c),
                                       std::vector<char>(cp.bytes.begin(), cp.bytes.begin() + n)));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    if (cp.iconvToU) {
        U16 u(cp.text.size() + 16);
        std::vector<char> b(cp.byteLen + 16);
        const long long a = cp.iconvToU->run(cp.bytes.data(), cp.byteLen, u.data(), u.size() * 2);
        const long long c =
            cp.iconvFromU->run(cp.text.data(), cp.text.size() * 2, b.data(), b.size());
        cp.iconvAgrees = a == 2LL * units &&
                         std::equal(cp.text.begin(), cp.text.end(), u.begin()) && c == n &&
                         std::equal(b.begin(), b.begin() + n, cp.bytes.begin());
        note("check " + std::string(cp.name) + " iconv " + cp.iconvName,
             cp.iconvAgrees
                 ? "identical output both ways"
                 : "DIFFERS: to UTF-16 " + firstDifference(u, a < 0 ? 0 : size_t(a) / 2, cp.text) +
                       "; from UTF-16 " +
                       firstDifference(b, c < 0 ? 0 : size_t(c),
                                       std::vector<char>(cp.bytes.begin(), cp.bytes.begin() + n)));
    }
#endif
    s_prepareShortStrings(cp);
    return true;
}

// ---------------------------------------------------------------- noxunicode conversions

bool s_noxToU(const CodePage& cp)
{
    int err = 0;
    const int n = ncnv_toUChars(cp.conv, out16.data(), static_cast<int>(out16.size()),
                                cp.bytes.data(), static_cast<int>(cp.byteLen), &err);
    return err == 0 && n == static_cast<int>(cp.text.size());
}

bool s_noxFromU(const CodePage& cp)
{
    int err = 0;
    const int n = ncnv_fromUChars(cp.conv, out8.data(), static_cast<int>(out8.size()),
                                  cp.text.data(), static_cast<int>(cp.text.size()), &err);
    return err == 0 && n == static_cast<int>(cp.byteLen);
}

// The peers' long-input cases under `toU` and `fromU` (prefixes ending in "/").
void s_registerPeerCases([[maybe_unused]] const CodePage& cp,
                         [[maybe_unused]] const std::string& toU,
                         [[maybe_unused]] const std::string& fromU)
{
    [[maybe_unused]] const CodePage* p = &cp;
    [[maybe_unused]] const size_t inBytes = cp.byteLen;
    [[maybe_unused]] const size_t inUnitsBytes = cp.text.size() * sizeof(UChar);
#if defined(NOX_BENCH_HAVE_ICU)
    if (cp.icu && cp.icuAgrees) {
        registerCase(toU + "icu", bulk(inBytes, [p] {
                         return p->icu->toU(p->bytes.data(), p->byteLen, out16.data(),
                                            out16.size()) == static_cast<long long>(p->text.size());
                     }));
        registerCase(fromU + "icu", bulk(inUnitsBytes, [p] {
                         return p->icu->fromU(p->text.data(), p->text.size(), out8.data(),
                                              out8.size()) == static_cast<long long>(p->byteLen);
                     }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    if (cp.iconvToU && cp.iconvAgrees) {
        registerCase(toU + "iconv", bulk(inBytes, [p] {
                         return p->iconvToU->run(p->bytes.data(), p->byteLen, out16.data(),
                                                 out16.size() * 2) ==
                                static_cast<long long>(p->text.size() * 2);
                     }));
        registerCase(fromU + "iconv", bulk(inUnitsBytes, [p] {
                         return p->iconvFromU->run(p->text.data(), p->text.size() * 2, out8.data(),
                                                   out8.size()) ==
                                static_cast<long long>(p->byteLen);
                     }));
    }
#endif
}

#if !defined(NOX_BENCH_LEVELS)

void s_registerLongCases(const CodePage& cp)
{
    const std::string toU = "toU/" + std::string(cp.name) + "/";
    const std::string fromU = "fromU/" + std::string(cp.name) + "/";
    const CodePage* p = &cp;
    const size_t inBytes = cp.byteLen;
    const size_t inUnitsBytes = cp.text.size() * sizeof(UChar);

    registerCase(toU + "nox", bulk(inBytes, [p] { return s_noxToU(*p); }));
    registerCase(toU + "nox_range", bulk(inBytes, [p] {
                     UChar* out = out16.data();
                     const char* src = p->bytes.data();
                     const char* end = src + p->byteLen;
                     int err = 0;
                     ncnv_toUnicode(p->conv, &out, out16.data() + out16.size(), &src, end, &err);
                     return err == 0 && src == end;
                 }));
    registerCase(toU + "nox_size", bulk(inBytes, [p] {
                     int err = 0;
                     const int n = ncnv_toUChars(p->conv, nullptr, 0, p->bytes.data(),
                                                 static_cast<int>(p->byteLen), &err);
                     benchmark::DoNotOptimize(n);
                     return err == NCNV_BUFFER_OVERFLOW && n == static_cast<int>(p->text.size());
                 }));
    registerCase(fromU + "nox", bulk(inUnitsBytes, [p] { return s_noxFromU(*p); }));
    registerCase(fromU + "nox_range", bulk(inUnitsBytes, [p] {
                     char* out = out8.data();
                     const UChar* src = p->text.data();
                     const UChar* end = src + p->text.size();
                     int err = 0;
                     ncnv_fromUnicode(p->conv, &out, out8.data() + out8.size(), &src, end, &err);
                     return err == 0 && src == end;
                 }));
    registerCase(fromU + "nox_size", bulk(inUnitsBytes, [p] {
                     int err = 0;
                     const int n = ncnv_fromUChars(p->conv, nullptr, 0, p->text.data(),
                                                   static_cast<int>(p->text.size()), &err);
                     benchmark::DoNotOptimize(n);
                     return err == NCNV_BUFFER_OVERFLOW && n == static_cast<int>(p->byteLen);
                 }));
    s_registerPeerCases(cp, toU, fromU);

    // The two bounds, on the single-byte built-in code page: a byte-widening loop and a copy.
    if (std::strcmp(cp.name, "LATIN_1") == 0) {
        registerCase(toU + "widen", bulk(inBytes, [p] {
                         const auto* src = reinterpret_cast<const unsigned char*>(p->bytes.data());
                         UChar* out = out16.data();
                         for (size_t i = 0; i < p->byteLen; ++i) {
                             out[i] = src[i];
                         }
                         benchmark::DoNotOptimize(out);
                         return true;
                     }));
        registerCase(toU + "memcpy", bulk(inBytes, [p] {
                         std::memcpy(out16.data(), p->bytes.data(), p->byteLen);
                         benchmark::DoNotOptimize(out16.data());
                         return true;
                     }));
        registerCase(fromU + "narrow", bulk(inUnitsBytes, [p] {
                         const UChar* src = p->text.data();
                         char* out = out8.data();
                         for (size_t i = 0; i < p->text.size(); ++i) {
                             out[i] = static_cast<char>(src[i]);
                         }
                         benchmark::DoNotOptimize(out);
                         return true;
                     }));
        registerCase(fromU + "memcpy", bulk(inUnitsBytes, [p] {
                         std::memcpy(out8.data(), p->text.data(), p->text.size() * sizeof(UChar));
                         benchmark::DoNotOptimize(out8.data());
                         return true;
                     }));
    }
}

void s_registerShortCases(const CodePage& cp, const ShortStrings& strings, const ShortSize& size)
{
    const std::string tail = std::string(cp.name) + "/" + size.name + "/";
    const std::string toU = "short_toU/" + tail;
    const std::string fromU = "short_fromU/" + tail;
    const CodePage* p = &cp;
    const ShortStrings* s = &strings;
    registerCase(toU + "nox", perCall([p, s](size_t k) {
                     int err = 0;
                     const size_t from = s->byteOff[k];
                     const int n = ncnv_toUChars(p->conv, out16.data(), 512, s->bytes.data() + from,
                                                 static_cast<int>(s->byteOff[k + 1] - from), &err);
                     return err == 0 && n == static_cast<int>(s->unitOff[k + 1] - s->unitOff[k]);
                 }));
    registerCase(fromU + "nox", perCall([p, s](size_t k) {
                     int err = 0;
                     const size_t from = s->unitOff[k];
                     const int n =
                         ncnv_fromUChars(p->conv, out8.data(), 512, s->units.data() + from,
                                         static_cast<int>(s->unitOff[k + 1] - from), &err);
                     return err == 0 && n == static_cast<int>(s->byteOff[k + 1] - s->byteOff[k]);
                 }));
#if defined(NOX_BENCH_HAVE_ICU)
    if (cp.icu && cp.icuAgrees) {
        registerCase(toU + "icu", perCall([p, s](size_t k) {
                         const size_t from = s->byteOff[k];
                         return p->icu->toU(s->bytes.data() + from, s->byteOff[k + 1] - from,
                                            out16.data(), 512) ==
                                static_cast<long long>(s->unitOff[k + 1] - s->unitOff[k]);
                     }));
        registerCase(fromU + "icu", perCall([p, s](size_t k) {
                         const size_t from = s->unitOff[k];
                         return p->icu->fromU(s->units.data() + from, s->unitOff[k + 1] - from,
                                              out8.data(), 512) ==
                                static_cast<long long>(s->byteOff[k + 1] - s->byteOff[k]);
                     }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    // iconv only where it was measured before: it never led on short strings.
    if (cp.iconvToU && cp.iconvAgrees && size.minBytes != size.maxBytes) {
        registerCase(toU + "iconv", perCall([p, s](size_t k) {
                         const size_t from = s->byteOff[k];
                         return p->iconvToU->run(s->bytes.data() + from, s->byteOff[k + 1] - from,
                                                 out16.data(), 1024) ==
                                static_cast<long long>(2 * (s->unitOff[k + 1] - s->unitOff[k]));
                     }));
        registerCase(fromU + "iconv", perCall([p, s](size_t k) {
                         const size_t from = s->unitOff[k];
                         return p->iconvFromU->run(s->units.data() + from,
                                                   2 * (s->unitOff[k + 1] - from), out8.data(),
                                                   512) ==
                                static_cast<long long>(s->byteOff[k + 1] - s->byteOff[k]);
                     }));
    }
#endif
}

#else // NOX_BENCH_LEVELS

// UTF-16 to CP1252 on pure ASCII text against the fastest narrowing loops measured: simdutf's
// Latin-1 narrowing at each level, a plain narrowing loop, and the peers.
void s_registerAsciiNarrowing(const CodePage& cp)
{
    const CodePage* p = &cp;
    const std::string prefix = "levels_fromU/CP1252-ascii/";
    const size_t inBytes = s_asciiText.size() * sizeof(UChar);
    const auto noxNarrow = [p] {
        int err = 0;
        const int n =
            ncnv_fromUChars(p->conv, out8.data(), static_cast<int>(out8.size()), s_asciiText.data(),
                            static_cast<int>(s_asciiText.size()), &err);
        return err == 0 && n == static_cast<int>(s_asciiText.size());
    };
    for (const Level& level : kLevels) {
        if (level.level == nox::KernelLevel::Exact || !levelAvailable(level)) {
            continue;
        }
        registerCase(prefix + level.token, atLevel(level.level, bulk(inBytes, noxNarrow)));
#if defined(NOX_BENCH_HAVE_SIMDUTF)
        if (const simdutf::implementation* impl =
                level.simdutfImpl != nullptr ? simdutfImplementation(level.simdutfImpl) : nullptr) {
            registerCase(prefix + "simdutf_" + level.simdutfImpl, bulk(inBytes, [impl] {
                             return simdutfUtf16ToLatin1(impl, s_asciiText.data(),
                                                         s_asciiText.size(), out8.data()) ==
                                    static_cast<long long>(s_asciiText.size());
                         }));
        }
#endif
    }
    registerCase(prefix + "narrow", bulk(inBytes, [] {
                     const UChar* src = s_asciiText.data();
                     char* out = out8.data();
                     for (size_t i = 0; i < s_asciiText.size(); ++i) {
                         out[i] = static_cast<char>(src[i]);
                     }
                     benchmark::DoNotOptimize(out);
                     return true;
                 }));
#if defined(NOX_BENCH_HAVE_ICU)
    if (cp.icu && cp.icuAgrees) {
        registerCase(prefix + "icu", bulk(inBytes, [p] {
                         return p->icu->fromU(s_asciiText.data(), s_asciiText.size(), out8.data(),
                                              out8.size()) ==
                                static_cast<long long>(s_asciiText.size());
                     }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    if (cp.iconvFromU && cp.iconvAgrees) {
        registerCase(prefix + "iconv", bulk(inBytes, [p] {
                         return p->iconvFromU->run(s_asciiText.data(), s_asciiText.size() * 2,
                                                   out8.data(), out8.size()) ==
                                static_cast<long long>(s_asciiText.size());
                     }));
    }
#endif
}

#endif

} // namespace

void openCodePages()
{
    s_addCodePage("LATIN_1", {"ISO-8859-1"}, "ISO-8859-1", Lang::French, false);
    s_addCodePage("CP1252", {"windows-1252"}, "CP1252", Lang::French, false);
    s_addCodePage("CP1251", {"windows-1251"}, "CP1251", Lang::Russian, false);
    s_addCodePage("SJIS", {"windows-31j", "ibm-943_P15A-2003"}, "CP932", Lang::Japanese, false);
    s_addCodePage("GBK", {"GBK", "windows-936"}, "GBK", Lang::Chinese, false);
    s_addCodePage("BIG5", {"Big5", "windows-950"}, "BIG5", Lang::Chinese, true);
    s_addCodePage("EUC-KR", {"EUC-KR", "ibm-970"}, "EUC-KR", Lang::Korean, false);
    for (CodePage& cp : s_codePages) {
        if (!s_ucmExists(cp.name)) {
            note("missing " + std::string(cp.name), "no " + std::string(cp.name) +
                                                        ".ucm in " NOX_BENCH_UCM_DIR
                                                        ", its cases are left out");
            continue;
        }
        cp.conv = ncnv_getConverter(cp.name);
        cp.accepted.assign(0x10000, -1);
        cp.encodedLen.assign(0x10000, 0);
#if defined(NOX_BENCH_HAVE_ICU)
        cp.icu = std::make_unique<IcuCodec>();
        if (!cp.icu->open(cp.icuNames)) {
            note("peer " + std::string(cp.name) + " icu", "no ICU converter");
            cp.icu.reset();
        }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
        cp.iconvToU = std::make_unique<IconvCodec>();
        cp.iconvFromU = std::make_unique<IconvCodec>();
        if (!cp.iconvToU->open("UTF-16LE", cp.iconvName) ||
            !cp.iconvFromU->open(cp.iconvName, "UTF-16LE")) {
            note("peer " + std::string(cp.name) + " iconv", "iconv does not know it");
            cp.iconvToU.reset();
            cp.iconvFromU.reset();
        }
#endif
    }
    // The first-level (most common) ideographs and the syllables of each standard.
    s_cjk.kanji = s_decodeRange("SJIS", 0x88, 0x98, 0x40, 0xFC, 0x4E00, 0x9FFF);
    s_cjk.hanzi = s_decodeRange("GBK", 0xB0, 0xD7, 0xA1, 0xFE, 0x4E00, 0x9FFF);
    s_cjk.hanziTraditional = s_decodeRange("BIG5", 0xA4, 0xC6, 0x40, 0xFE, 0x4E00, 0x9FFF);
    s_cjk.hangul = s_decodeRange("EUC-KR", 0xB0, 0xC8, 0xA1, 0xFE, 0xAC00, 0xD7A3);
}

void closeCodePages()
{
    for (CodePage& cp : s_codePages) {
        ncnv_releaseConverter(cp.conv);
        cp.conv = nullptr;
    }
}

const CjkRepertoire& cjkRepertoire()
{
    return s_cjk;
}

void prepareCodePages(size_t& units, size_t& bytes)
{
    for (CodePage& cp : s_codePages) {
        if (cp.conv != nullptr && (!selected(s_prefixes(cp)) || !s_prepareCodePage(cp))) {
            cp.byteLen = 0;
        }
        units = std::max(units, cp.text.size());
        bytes = std::max(bytes, cp.byteLen);
    }
#if defined(NOX_BENCH_LEVELS)
    if (selected({"levels_fromU/CP1252-ascii"})) {
        TextOptions english;
        english.targetBytes = s_textBytes;
        english.seed = 0x41534349ull;
        const Accept all = [](uint32_t) { return true; };
        const SizeOf one = [](uint32_t) { return size_t{1}; };
        s_asciiText = makeText(english, s_cjk, all, one);
        const bool ascii = std::all_of(s_asciiText.begin(), s_asciiText.end(),
                                       [](UChar u) { return u != 0 && u < 0x80; });
        note("text CP1252-ascii", std::to_string(s_asciiText.size()) + " UTF-16 units, " +
                                      (ascii ? "all ASCII" : "NOT ALL ASCII (error)"));
        if (!ascii) {
            note("error CP1252-ascii", "the English text without extras is not pure ASCII");
            s_asciiText.clear();
        }
        units = std::max(units, s_asciiText.size());
    }
#endif
}

void registerCodePageCases()
{
#if !defined(NOX_BENCH_LEVELS)
    for (const CodePage& cp : s_codePages) {
        if (cp.byteLen != 0) {
            s_registerLongCases(cp);
        }
    }
    for (size_t z = 0; z < s_shortSizeCount; ++z) {
        for (const CodePage& cp : s_codePages) {
            if (cp.byteLen != 0 && !cp.shorts[z].unitOff.empty()) {
                s_registerShortCases(cp, cp.shorts[z], kShortSizes[z]);
            }
        }
    }
#endif
}

void registerCodePageLevelCases()
{
#if defined(NOX_BENCH_LEVELS)
    for (const CodePage& cp : s_codePages) {
        if (cp.byteLen == 0) {
            continue;
        }
        const std::string toU = "levels_toU/" + std::string(cp.name) + "/";
        const std::string fromU = "levels_fromU/" + std::string(cp.name) + "/";
        const CodePage* p = &cp;
        for (const Level& level : kLevels) {
            // SSE4.2 adds nothing to the code-page kernels.
            if (level.level == nox::KernelLevel::SSE42 || !levelAvailable(level)) {
                continue;
            }
            registerCase(toU + level.token,
                         atLevel(level.level, bulk(cp.byteLen, [p] { return s_noxToU(*p); })));
            registerCase(fromU + level.token,
                         atLevel(level.level, bulk(cp.text.size() * sizeof(UChar),
                                                   [p] { return s_noxFromU(*p); })));
        }
        s_registerPeerCases(cp, toU, fromU);
        if (std::strcmp(cp.name, "CP1252") == 0 && !s_asciiText.empty()) {
            s_registerAsciiNarrowing(cp);
        }
    }
#endif
}

} // namespace noxbench

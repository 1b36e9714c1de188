// bench_main.cpp - throughput of noxunicode's code-page and UTF conversions against ICU, iconv
// and two copy loops, on generated text. Built twice: nox_bench measures the shared library
// against the peers; nox_bench_paths (NOX_BENCH_PATHS) links the static copy and measures the
// lookup caches and fast paths against the plain per-character paths.
#include "bench_peers.h"
#include "bench_text.h"

#include "ConvertUTF.h"
#include "unicode.h"

#if defined(NOX_BENCH_PATHS)
#include "environment.h"
#include "kernels/kernels.h"
#endif

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#ifndef NOX_BENCH_UCM_DIR
#error "NOX_BENCH_UCM_DIR must name the directory of the shipped code pages"
#endif

namespace noxbench {
namespace {

const size_t s_textBytes = 4u << 20; // about 4 MB of input per case
const size_t s_shortCount = 1024;    // short strings per iteration
const size_t s_pad = 8;              // zero bytes after every code-page buffer

// ---------------------------------------------------------------- setup reporting

// Set when an output check fails or an input cannot be built; main's exit status.
bool s_checkFailed = false;

void s_note(const std::string& key, const std::string& value)
{
    std::fprintf(stderr, "%s: %s\n", key.c_str(), value.c_str());
    benchmark::AddCustomContext(key, value);
    const bool failed = key.compare(0, 6, "error ") == 0 || key.compare(0, 8, "differs ") == 0 ||
                        value.find("DIFFER") != std::string::npos;
    s_checkFailed = s_checkFailed || failed;
}

[[maybe_unused]] std::string s_hexBytes(const std::string& bytes)
{
    std::string out;
    char buf[8];
    for (unsigned char b : bytes) {
        std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", b);
        out += buf;
    }
    return out.empty() ? "-" : out;
}

[[maybe_unused]] std::string s_unitName(uint32_t cp)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", cp);
    return buf;
}

// First position where two sequences differ, as text for a report.
template <typename A, typename B> std::string s_firstDifference(const A& a, size_t aLen, const B& b)
{
    size_t i = 0;
    while (i < aLen && i < b.size() && static_cast<uint32_t>(a[i]) == static_cast<uint32_t>(b[i])) {
        ++i;
    }
    return "lengths " + std::to_string(aLen) + " and " + std::to_string(b.size()) +
           ", first difference at unit " + std::to_string(i);
}

// Sends standard error to /dev/null while it lives: probing characters that a code page
// lacks makes the library report each one.
class QuietStderr {
  public:
    QuietStderr()
    {
        std::fflush(stderr);
        saved_ = dup(2);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 2);
            close(null);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;
    ~QuietStderr()
    {
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
        }
    }

  private:
    int saved_ = -1;
};

// Whether --benchmark_filter selects any case of the given groups, texts and implementations,
// so that a filtered run builds only the inputs it needs. Negative filters select everything.
bool s_selected(std::initializer_list<const char*> groups, const std::string& text)
{
    const std::string filter = benchmark::GetBenchmarkFilter();
    if (filter.empty() || filter == "all" || filter == "." || filter[0] == '-') {
        return true;
    }
    regex_t re;
    if (regcomp(&re, filter.c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
        return true;
    }
    bool retval = false;
    for (const char* group : groups) {
        for (const char* impl : {"nox", "nox_range", "nox_size", "icu", "iconv", "widen", "memcpy",
                                 "narrow", "fast", "plain"}) {
            const std::string name = std::string(group) + "/" + text + "/" + impl;
            retval = retval || regexec(&re, name.c_str(), 0, nullptr, 0) == 0;
        }
    }
    regfree(&re);
    return retval;
}

// ---------------------------------------------------------------- code pages

struct ShortStrings {
    std::vector<char> bytes;     // the strings' code-page (or UTF-8) bytes, back to back
    std::vector<size_t> byteOff; // s_shortCount + 1 offsets into bytes
    U16 units;                   // the same strings in UTF-16
    std::vector<size_t> unitOff; // s_shortCount + 1 offsets into units
};

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
    ShortStrings shorts;
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
            e < 0 ? std::string("(none)") : s_hexBytes(std::string(enc, static_cast<size_t>(e)));
        if (e < 0 || std::string(enc, static_cast<size_t>(e)) != nox || d != 1 || dec[0] != unit) {
            ok = false;
            cp.disagreements.push_back("icu " + s_unitName(unit) + ": nox " + s_hexBytes(nox) +
                                       ", icu encodes " + icuBytes +
                                       " and decodes nox's bytes as " +
                                       (d == 1 ? s_unitName(dec[0]) : std::string("(error)")));
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
            e < 0 ? std::string("(none)") : s_hexBytes(std::string(enc, static_cast<size_t>(e)));
        if (e < 0 || std::string(enc, static_cast<size_t>(e)) != nox || d != 2 || dec[0] != unit) {
            ok = false;
            cp.disagreements.push_back("iconv " + s_unitName(unit) + ": nox " + s_hexBytes(nox) +
                                       ", iconv encodes " + iconvBytes +
                                       " and decodes nox's bytes as " +
                                       (d == 2 ? s_unitName(dec[0]) : std::string("(error)")));
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

void s_openCodePages()
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
            s_note("missing " + std::string(cp.name), "no " + std::string(cp.name) +
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
            s_note("peer " + std::string(cp.name) + " icu", "no ICU converter");
            cp.icu.reset();
        }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
        cp.iconvToU = std::make_unique<IconvCodec>();
        cp.iconvFromU = std::make_unique<IconvCodec>();
        if (!cp.iconvToU->open("UTF-16LE", cp.iconvName) ||
            !cp.iconvFromU->open(cp.iconvName, "UTF-16LE")) {
            s_note("peer " + std::string(cp.name) + " iconv", "iconv does not know it");
            cp.iconvToU.reset();
            cp.iconvFromU.reset();
        }
#endif
    }
}

CjkRepertoire s_cjk;

void s_buildRepertoire()
{
    // The first-level (most common) ideographs and the syllables of each standard.
    s_cjk.kanji = s_decodeRange("SJIS", 0x88, 0x98, 0x40, 0xFC, 0x4E00, 0x9FFF);
    s_cjk.hanzi = s_decodeRange("GBK", 0xB0, 0xD7, 0xA1, 0xFE, 0x4E00, 0x9FFF);
    s_cjk.hanziTraditional = s_decodeRange("BIG5", 0xA4, 0xC6, 0x40, 0xFE, 0x4E00, 0x9FFF);
    s_cjk.hangul = s_decodeRange("EUC-KR", 0xB0, 0xC8, 0xA1, 0xFE, 0xAC00, 0xD7A3);
}

// Cuts short strings of 16 to 64 bytes (in the encoding that sizeOf measures) out of a text,
// on character boundaries.
template <typename SizeOfUnit>
void s_cutShortStrings(const U16& text, SizeOfUnit sizeOf, uint64_t seed, ShortStrings& s)
{
    Rng rng(seed);
    s.unitOff.push_back(0);
    while (s.unitOff.size() <= s_shortCount) {
        size_t i = rng.below(static_cast<uint32_t>(text.size() - 256));
        if (text[i] >= 0xDC00 && text[i] < 0xE000) {
            ++i;
        }
        const size_t target = static_cast<size_t>(rng.range(16, 64));
        size_t bytes = 0;
        while (i < text.size()) {
            const bool pair = text[i] >= 0xD800 && text[i] < 0xDC00;
            const size_t w = pair ? 4 : sizeOf(text[i]);
            if (bytes + w > target) {
                break;
            }
            s.units.push_back(text[i]);
            if (pair) {
                s.units.push_back(text[i + 1]);
            }
            i += pair ? 2 : 1;
            bytes += w;
        }
        s.unitOff.push_back(s.units.size());
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
        s_note("differs " + std::string(cp.name) + " #" + std::to_string(i + 1),
               cp.disagreements[i]);
    }

    // Encode with noxunicode, and decode back: both must succeed on the whole text.
    const int units = static_cast<int>(cp.text.size());
    int err = 0;
    const int need = ncnv_fromUChars(cp.conv, nullptr, 0, cp.text.data(), units, &err);
    cp.bytes.assign(static_cast<size_t>(need) + s_pad, 0);
    const int n = ncnv_fromUChars(cp.conv, cp.bytes.data(), need + 1, cp.text.data(), units, &err);
    U16 back(cp.text.size() + 1);
    int err2 = 0;
    const int m = ncnv_toUChars(cp.conv, back.data(), units + 1, cp.bytes.data(), n, &err2);
    if (err != 0 || n != need || err2 != 0 || m != units ||
        !std::equal(cp.text.begin(), cp.text.end(), back.begin())) {
        s_note("error " + std::string(cp.name),
               "noxunicode does not round-trip its own text (errors " + std::to_string(err) + ", " +
                   std::to_string(err2) + "); cases left out");
        return false;
    }
    cp.byteLen = static_cast<size_t>(n);
    size_t ascii = 0;
    for (UChar u : cp.text) {
        ascii += u < 0x80 ? 1 : 0;
    }
    s_note("text " + std::string(cp.name),
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
        s_note(
            "check " + std::string(cp.name) + " icu " + cp.icu->name(),
            cp.icuAgrees
                ? "identical output both ways"
                : "DIFFERS: to UTF-16 " + s_firstDifference(u, a < 0 ? 0 : size_t(a), cp.text) +
                      "; from UTF-16 " +
                      s_firstDifference(b, c < 0 ? 0 : size_t(c),
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
        s_note(
            "check " + std::string(cp.name) + " iconv " + cp.iconvName,
            cp.iconvAgrees
                ? "identical output both ways"
                : "DIFFERS: to UTF-16 " + s_firstDifference(u, a < 0 ? 0 : size_t(a) / 2, cp.text) +
                      "; from UTF-16 " +
                      s_firstDifference(b, c < 0 ? 0 : size_t(c),
                                        std::vector<char>(cp.bytes.begin(), cp.bytes.begin() + n)));
    }
#endif

    // Short strings for the call-overhead cases.
    s_cutShortStrings(
        cp.text, [&cp](UChar u) { return static_cast<size_t>(cp.encodedLen[u]); },
        0x5107ull + static_cast<uint64_t>(cp.lang), cp.shorts);
    cp.shorts.byteOff.push_back(0);
    for (size_t k = 0; k < s_shortCount; ++k) {
        const size_t from = cp.shorts.unitOff[k];
        const size_t count = cp.shorts.unitOff[k + 1] - from;
        char buf[128] = {};
        const int len = ncnv_fromUChars(cp.conv, buf, sizeof buf, cp.shorts.units.data() + from,
                                        static_cast<int>(count), &err);
        cp.shorts.bytes.insert(cp.shorts.bytes.end(), buf, buf + len);
        cp.shorts.byteOff.push_back(cp.shorts.bytes.size());
    }
    cp.shorts.bytes.resize(cp.shorts.bytes.size() + s_pad, 0);
    return true;
}

// ---------------------------------------------------------------- UTF texts

struct UtfText {
    const char* name;
    U16 utf16;
    std::string utf8;
    std::vector<uint32_t> utf32;
    ShortStrings shorts; // bytes hold UTF-8
};

std::vector<UtfText> s_utfTexts;

void s_prepareUtfTexts()
{
    UtfText mixed{"mixed", makeMixedText(s_textBytes, s_cjk, 0x4D495844ull), {}, {}, {}};
    TextOptions english;
    english.lang = Lang::English;
    english.rareNonAsciiPerWord = 0.004;
    english.seed = 0x41534349ull;
    const Accept all = [](uint32_t) { return true; };
    const SizeOf utf8 = [](uint32_t v) { return utf8Length(v); };
    UtfText ascii{"ascii", makeText(english, s_cjk, all, utf8), {}, {}, {}};
    for (UtfText* t : {&mixed, &ascii}) {
        t->utf8 = toUtf8(t->utf16);
        t->utf32 = toUtf32(t->utf16);
        size_t asciiBytes = 0;
        for (char c : t->utf8) {
            asciiBytes += static_cast<unsigned char>(c) < 0x80 ? 1 : 0;
        }
        s_note("text " + std::string(t->name),
               std::to_string(t->utf8.size()) + " UTF-8 bytes, " + std::to_string(t->utf16.size()) +
                   " UTF-16 units, " + std::to_string(t->utf32.size()) + " code points, " +
                   std::to_string(100 * asciiBytes / t->utf8.size()) + "% ASCII bytes");
        s_cutShortStrings(
            t->utf16, [](UChar u) { return utf8Length(u); }, 0x5108ull, t->shorts);
        t->shorts.byteOff.push_back(0);
        for (size_t k = 0; k < s_shortCount; ++k) {
            const U16 piece(t->shorts.units.begin() + static_cast<ptrdiff_t>(t->shorts.unitOff[k]),
                            t->shorts.units.begin() +
                                static_cast<ptrdiff_t>(t->shorts.unitOff[k + 1]));
            const std::string s = toUtf8(piece);
            t->shorts.bytes.insert(t->shorts.bytes.end(), s.begin(), s.end());
            t->shorts.byteOff.push_back(t->shorts.bytes.size());
        }
    }
    s_utfTexts.push_back(std::move(mixed));
    s_utfTexts.push_back(std::move(ascii));

    // noxunicode's results must equal the independently encoded forms.
    for (const UtfText& t : s_utfTexts) {
        std::vector<UTF16> u16(t.utf16.size() + 16);
        std::vector<UTF8> u8(t.utf8.size() + 16);
        std::vector<UTF32> u32(t.utf32.size() + 16);
        const auto* s8 = reinterpret_cast<const UTF8*>(t.utf8.data());
        UTF16* o16 = u16.data();
        const utf_ConversionResult r1 = utf_ConvertUTF8toUTF16(&s8, s8 + t.utf8.size(), &o16,
                                                               o16 + u16.size(), strictConversion);
        const UTF16* s16 = t.utf16.data();
        UTF8* o8 = u8.data();
        const utf_ConversionResult r2 = utf_ConvertUTF16toUTF8(&s16, s16 + t.utf16.size(), &o8,
                                                               o8 + u8.size(), strictConversion);
        s8 = reinterpret_cast<const UTF8*>(t.utf8.data());
        UTF32* o32 = u32.data();
        const utf_ConversionResult r3 = utf_ConvertUTF8toUTF32(&s8, s8 + t.utf8.size(), &o32,
                                                               o32 + u32.size(), strictConversion);
        const bool ok =
            r1 == conversionOK && r2 == conversionOK && r3 == conversionOK &&
            std::equal(t.utf16.begin(), t.utf16.end(), u16.begin()) &&
            size_t(o16 - u16.data()) == t.utf16.size() && size_t(o8 - u8.data()) == t.utf8.size() &&
            std::equal(t.utf8.begin(), t.utf8.end(), reinterpret_cast<const char*>(u8.data())) &&
            size_t(o32 - u32.data()) == t.utf32.size() &&
            std::equal(t.utf32.begin(), t.utf32.end(), u32.begin());
        s_note("check " + std::string(t.name) + " nox",
               ok ? "UTF routines give the expected output"
                  : "UTF ROUTINES DIFFER from the expected output");
#if defined(NOX_BENCH_HAVE_ICU)
        {
            U16 a(t.utf16.size() + 16);
            std::vector<char> b(t.utf8.size() + 16);
            const long long na = icuUtf8ToUtf16(t.utf8.data(), t.utf8.size(), a.data(), a.size());
            const long long nb = icuUtf16ToUtf8(t.utf16.data(), t.utf16.size(), b.data(), b.size());
            const bool same = na == static_cast<long long>(t.utf16.size()) &&
                              std::equal(t.utf16.begin(), t.utf16.end(), a.begin()) &&
                              nb == static_cast<long long>(t.utf8.size()) &&
                              std::equal(t.utf8.begin(), t.utf8.end(), b.begin());
            s_note("check " + std::string(t.name) + " icu",
                   same ? "identical output both ways" : "DIFFERS");
        }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
        {
            IconvCodec to16, to8;
            U16 a(t.utf16.size() + 16);
            std::vector<char> b(t.utf8.size() + 16);
            const bool same = to16.open("UTF-16LE", "UTF-8") && to8.open("UTF-8", "UTF-16LE") &&
                              to16.run(t.utf8.data(), t.utf8.size(), a.data(), a.size() * 2) ==
                                  static_cast<long long>(t.utf16.size() * 2) &&
                              std::equal(t.utf16.begin(), t.utf16.end(), a.begin()) &&
                              to8.run(t.utf16.data(), t.utf16.size() * 2, b.data(), b.size()) ==
                                  static_cast<long long>(t.utf8.size()) &&
                              std::equal(t.utf8.begin(), t.utf8.end(), b.begin());
            s_note("check " + std::string(t.name) + " iconv",
                   same ? "identical output both ways" : "DIFFERS");
        }
#endif
    }
}

// ---------------------------------------------------------------- shared output buffers

U16 s_out16;
std::vector<char> s_out8;
std::vector<UTF32> s_out32;

void s_allocateOutputs()
{
    size_t units = 0;
    size_t bytes = 0;
    for (const CodePage& cp : s_codePages) {
        units = std::max(units, cp.text.size());
        bytes = std::max(bytes, cp.byteLen);
    }
    for (const UtfText& t : s_utfTexts) {
        units = std::max(units, t.utf16.size());
        bytes = std::max(bytes, t.utf8.size());
    }
    // Touch every page now so that no case pays for the first writes.
    s_out16.assign(units + 64, 1);
    s_out8.assign(std::max(bytes, units * 4) + 64, 1);
    s_out32.assign(units + 64, 1);
}

// ---------------------------------------------------------------- case helpers

template <typename F> void s_register(const std::string& name, F body)
{
    benchmark::RegisterBenchmark(name.c_str(), body);
}

// Runs `convert` (which returns false on failure) once per iteration over `inputBytes` bytes.
template <typename F> auto s_bulk(size_t inputBytes, F convert)
{
    return [inputBytes, convert](benchmark::State& state) {
        for (auto _ : state) {
            if (!convert()) {
                state.SkipWithError("conversion failed");
                break;
            }
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                                static_cast<int64_t>(inputBytes));
    };
}

// Runs `convert(k)` for each of the short strings per iteration; reports calls per second.
template <typename F> auto s_perCall(F convert)
{
    return [convert](benchmark::State& state) {
        bool ok = true;
        for (auto _ : state) {
            for (size_t k = 0; ok && k < s_shortCount; ++k) {
                ok = convert(k);
            }
            if (!ok) {
                state.SkipWithError("conversion failed");
                break;
            }
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                                static_cast<int64_t>(s_shortCount));
    };
}

#if defined(NOX_BENCH_PATHS)
// The paths a case runs: all fast paths, the fast paths without the AVX-512 ones (what
// processors without AVX-512 run), or the plain per-character paths.
enum class Paths { fast, sse2, plain };

// Runs a case on the given paths, restoring the defaults afterwards.
template <typename F> auto s_withPaths(Paths paths, F body)
{
    return [paths, body](benchmark::State& state) {
        nox::setKernelCeiling(paths == Paths::plain  ? nox::KernelLevel::Exact
                              : paths == Paths::fast ? nox::KernelLevel::AVX512
                                                     : nox::KernelLevel::AVX2);
        body(state);
        nox::setKernelCeiling(nox::KernelLevel::AVX512);
    };
}
#endif

// ---------------------------------------------------------------- noxunicode conversions

bool s_noxToU(const CodePage& cp)
{
    int err = 0;
    const int n = ncnv_toUChars(cp.conv, s_out16.data(), static_cast<int>(s_out16.size()),
                                cp.bytes.data(), static_cast<int>(cp.byteLen), &err);
    return err == 0 && n == static_cast<int>(cp.text.size());
}

bool s_noxFromU(const CodePage& cp)
{
    int err = 0;
    const int n = ncnv_fromUChars(cp.conv, s_out8.data(), static_cast<int>(s_out8.size()),
                                  cp.text.data(), static_cast<int>(cp.text.size()), &err);
    return err == 0 && n == static_cast<int>(cp.byteLen);
}

bool s_noxUtf8To16(const UtfText& t)
{
    const auto* src = reinterpret_cast<const UTF8*>(t.utf8.data());
    UTF16* out = s_out16.data();
    return utf_ConvertUTF8toUTF16(&src, src + t.utf8.size(), &out, out + s_out16.size(),
                                  strictConversion) == conversionOK;
}

bool s_noxUtf16To8(const UtfText& t)
{
    const UTF16* src = t.utf16.data();
    auto* out = reinterpret_cast<UTF8*>(s_out8.data());
    return utf_ConvertUTF16toUTF8(&src, src + t.utf16.size(), &out, out + s_out8.size(),
                                  strictConversion) == conversionOK;
}

#if !defined(NOX_BENCH_PATHS)

void s_registerCodePageCases(const CodePage& cp)
{
    const std::string toU = "toU/" + std::string(cp.name) + "/";
    const std::string fromU = "fromU/" + std::string(cp.name) + "/";
    const CodePage* p = &cp;
    const size_t inBytes = cp.byteLen;
    const size_t inUnitsBytes = cp.text.size() * sizeof(UChar);

    s_register(toU + "nox", s_bulk(inBytes, [p] { return s_noxToU(*p); }));
    s_register(toU + "nox_range", s_bulk(inBytes, [p] {
                   UChar* out = s_out16.data();
                   const char* src = p->bytes.data();
                   const char* end = src + p->byteLen;
                   int err = 0;
                   ncnv_toUnicode(p->conv, &out, s_out16.data() + s_out16.size(), &src, end, &err);
                   return err == 0 && src == end;
               }));
    s_register(toU + "nox_size", s_bulk(inBytes, [p] {
                   int err = 0;
                   const int n = ncnv_toUChars(p->conv, nullptr, 0, p->bytes.data(),
                                               static_cast<int>(p->byteLen), &err);
                   benchmark::DoNotOptimize(n);
                   return err == 15 && n == static_cast<int>(p->text.size());
               }));
#if defined(NOX_BENCH_HAVE_ICU)
    if (cp.icu && cp.icuAgrees) {
        s_register(toU + "icu", s_bulk(inBytes, [p] {
                       return p->icu->toU(p->bytes.data(), p->byteLen, s_out16.data(),
                                          s_out16.size()) == static_cast<long long>(p->text.size());
                   }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    if (cp.iconvToU && cp.iconvAgrees) {
        s_register(toU + "iconv", s_bulk(inBytes, [p] {
                       return p->iconvToU->run(p->bytes.data(), p->byteLen, s_out16.data(),
                                               s_out16.size() * 2) ==
                              static_cast<long long>(p->text.size() * 2);
                   }));
    }
#endif

    s_register(fromU + "nox", s_bulk(inUnitsBytes, [p] { return s_noxFromU(*p); }));
    s_register(fromU + "nox_range", s_bulk(inUnitsBytes, [p] {
                   char* out = s_out8.data();
                   const UChar* src = p->text.data();
                   const UChar* end = src + p->text.size();
                   int err = 0;
                   ncnv_fromUnicode(p->conv, &out, s_out8.data() + s_out8.size(), &src, end, &err);
                   return err == 0 && src == end;
               }));
    s_register(fromU + "nox_size", s_bulk(inUnitsBytes, [p] {
                   int err = 0;
                   const int n = ncnv_fromUChars(p->conv, nullptr, 0, p->text.data(),
                                                 static_cast<int>(p->text.size()), &err);
                   benchmark::DoNotOptimize(n);
                   return err == 15 && n == static_cast<int>(p->byteLen);
               }));
#if defined(NOX_BENCH_HAVE_ICU)
    if (cp.icu && cp.icuAgrees) {
        s_register(fromU + "icu", s_bulk(inUnitsBytes, [p] {
                       return p->icu->fromU(p->text.data(), p->text.size(), s_out8.data(),
                                            s_out8.size()) == static_cast<long long>(p->byteLen);
                   }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    if (cp.iconvFromU && cp.iconvAgrees) {
        s_register(fromU + "iconv", s_bulk(inUnitsBytes, [p] {
                       return p->iconvFromU->run(p->text.data(), p->text.size() * 2, s_out8.data(),
                                                 s_out8.size()) ==
                              static_cast<long long>(p->byteLen);
                   }));
    }
#endif

    // The two bounds, on the single-byte built-in code page: a byte-widening loop and a copy.
    if (std::strcmp(cp.name, "LATIN_1") == 0) {
        s_register(toU + "widen", s_bulk(inBytes, [p] {
                       const auto* src = reinterpret_cast<const unsigned char*>(p->bytes.data());
                       UChar* out = s_out16.data();
                       for (size_t i = 0; i < p->byteLen; ++i) {
                           out[i] = src[i];
                       }
                       benchmark::DoNotOptimize(out);
                       return true;
                   }));
        s_register(toU + "memcpy", s_bulk(inBytes, [p] {
                       std::memcpy(s_out16.data(), p->bytes.data(), p->byteLen);
                       benchmark::DoNotOptimize(s_out16.data());
                       return true;
                   }));
        s_register(fromU + "narrow", s_bulk(inUnitsBytes, [p] {
                       const UChar* src = p->text.data();
                       char* out = s_out8.data();
                       for (size_t i = 0; i < p->text.size(); ++i) {
                           out[i] = static_cast<char>(src[i]);
                       }
                       benchmark::DoNotOptimize(out);
                       return true;
                   }));
        s_register(fromU + "memcpy", s_bulk(inUnitsBytes, [p] {
                       std::memcpy(s_out8.data(), p->text.data(), p->text.size() * sizeof(UChar));
                       benchmark::DoNotOptimize(s_out8.data());
                       return true;
                   }));
    }
}

void s_registerShortCases(const CodePage& cp)
{
    const std::string toU = "short_toU/" + std::string(cp.name) + "/";
    const std::string fromU = "short_fromU/" + std::string(cp.name) + "/";
    const CodePage* p = &cp;
    const ShortStrings* s = &cp.shorts;
    s_register(toU + "nox", s_perCall([p, s](size_t k) {
                   int err = 0;
                   const size_t from = s->byteOff[k];
                   const int n = ncnv_toUChars(p->conv, s_out16.data(), 256, s->bytes.data() + from,
                                               static_cast<int>(s->byteOff[k + 1] - from), &err);
                   return err == 0 && n == static_cast<int>(s->unitOff[k + 1] - s->unitOff[k]);
               }));
    s_register(fromU + "nox", s_perCall([p, s](size_t k) {
                   int err = 0;
                   const size_t from = s->unitOff[k];
                   const int n =
                       ncnv_fromUChars(p->conv, s_out8.data(), 256, s->units.data() + from,
                                       static_cast<int>(s->unitOff[k + 1] - from), &err);
                   return err == 0 && n == static_cast<int>(s->byteOff[k + 1] - s->byteOff[k]);
               }));
#if defined(NOX_BENCH_HAVE_ICU)
    if (cp.icu && cp.icuAgrees) {
        s_register(toU + "icu", s_perCall([p, s](size_t k) {
                       const size_t from = s->byteOff[k];
                       return p->icu->toU(s->bytes.data() + from, s->byteOff[k + 1] - from,
                                          s_out16.data(), 256) ==
                              static_cast<long long>(s->unitOff[k + 1] - s->unitOff[k]);
                   }));
        s_register(fromU + "icu", s_perCall([p, s](size_t k) {
                       const size_t from = s->unitOff[k];
                       return p->icu->fromU(s->units.data() + from, s->unitOff[k + 1] - from,
                                            s_out8.data(), 256) ==
                              static_cast<long long>(s->byteOff[k + 1] - s->byteOff[k]);
                   }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    if (cp.iconvToU && cp.iconvAgrees) {
        s_register(toU + "iconv", s_perCall([p, s](size_t k) {
                       const size_t from = s->byteOff[k];
                       return p->iconvToU->run(s->bytes.data() + from, s->byteOff[k + 1] - from,
                                               s_out16.data(), 512) ==
                              static_cast<long long>(2 * (s->unitOff[k + 1] - s->unitOff[k]));
                   }));
        s_register(fromU + "iconv", s_perCall([p, s](size_t k) {
                       const size_t from = s->unitOff[k];
                       return p->iconvFromU->run(s->units.data() + from,
                                                 2 * (s->unitOff[k + 1] - from), s_out8.data(),
                                                 256) ==
                              static_cast<long long>(s->byteOff[k + 1] - s->byteOff[k]);
                   }));
    }
#endif
}

#if defined(NOX_BENCH_HAVE_ICONV)
std::vector<std::unique_ptr<IconvCodec>> s_utfIconv;

const IconvCodec* s_openIconv(const char* to, const char* from)
{
    s_utfIconv.push_back(std::make_unique<IconvCodec>());
    return s_utfIconv.back()->open(to, from) ? s_utfIconv.back().get() : nullptr;
}
#endif

#if defined(NOX_BENCH_HAVE_ICU)
UConverter* s_icuUtf8 = nullptr;
UConverter* s_icuUtf32 = nullptr;
std::vector<UChar> s_icuPivot(1u << 16);
#endif

void s_registerUtfCases(const UtfText& t)
{
    const UtfText* p = &t;
    const std::string name(t.name);
    const size_t in8 = t.utf8.size();
    const size_t in16 = t.utf16.size() * sizeof(UTF16);
    const size_t in32 = t.utf32.size() * sizeof(UTF32);

    s_register("utf8to16/" + name + "/nox", s_bulk(in8, [p] { return s_noxUtf8To16(*p); }));
    s_register("utf16to8/" + name + "/nox", s_bulk(in16, [p] { return s_noxUtf16To8(*p); }));
    s_register("utf8to32/" + name + "/nox", s_bulk(in8, [p] {
                   const auto* src = reinterpret_cast<const UTF8*>(p->utf8.data());
                   UTF32* out = s_out32.data();
                   return utf_ConvertUTF8toUTF32(&src, src + p->utf8.size(), &out,
                                                 out + s_out32.size(),
                                                 strictConversion) == conversionOK;
               }));
    s_register("utf32to8/" + name + "/nox", s_bulk(in32, [p] {
                   const UTF32* src = p->utf32.data();
                   auto* out = reinterpret_cast<UTF8*>(s_out8.data());
                   return utf_ConvertUTF32toUTF8(&src, src + p->utf32.size(), &out,
                                                 out + s_out8.size(),
                                                 strictConversion) == conversionOK;
               }));
#if defined(NOX_BENCH_HAVE_ICU)
    s_register("utf8to16/" + name + "/icu", s_bulk(in8, [p] {
                   return icuUtf8ToUtf16(p->utf8.data(), p->utf8.size(), s_out16.data(),
                                         s_out16.size()) == static_cast<long long>(p->utf16.size());
               }));
    s_register("utf16to8/" + name + "/icu", s_bulk(in16, [p] {
                   return icuUtf16ToUtf8(p->utf16.data(), p->utf16.size(), s_out8.data(),
                                         s_out8.size()) == static_cast<long long>(p->utf8.size());
               }));
    if (s_icuUtf8 != nullptr && s_icuUtf32 != nullptr) {
        s_register("utf8to32/" + name + "/icu", s_bulk(in8, [p] {
                       return icuConvert(s_icuUtf32, s_icuUtf8, p->utf8.data(), p->utf8.size(),
                                         reinterpret_cast<char*>(s_out32.data()),
                                         s_out32.size() * 4, s_icuPivot.data(),
                                         s_icuPivot.size()) ==
                              static_cast<long long>(p->utf32.size() * 4);
                   }));
        s_register("utf32to8/" + name + "/icu", s_bulk(in32, [p] {
                       return icuConvert(s_icuUtf8, s_icuUtf32,
                                         reinterpret_cast<const char*>(p->utf32.data()),
                                         p->utf32.size() * 4, s_out8.data(), s_out8.size(),
                                         s_icuPivot.data(), s_icuPivot.size()) ==
                              static_cast<long long>(p->utf8.size());
                   }));
    }
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    struct Route {
        const char* group;
        const char* to;
        const char* from;
        size_t inBytes;
    };
    const Route routes[] = {{"utf8to16", "UTF-16LE", "UTF-8", in8},
                            {"utf16to8", "UTF-8", "UTF-16LE", in16},
                            {"utf8to32", "UTF-32LE", "UTF-8", in8},
                            {"utf32to8", "UTF-8", "UTF-32LE", in32}};
    for (const Route& r : routes) {
        const IconvCodec* cd = s_openIconv(r.to, r.from);
        if (cd == nullptr) {
            continue;
        }
        const std::string group(r.group);
        const void* src = group == "utf8to16" || group == "utf8to32"
                              ? static_cast<const void*>(t.utf8.data())
                          : group == "utf16to8" ? static_cast<const void*>(t.utf16.data())
                                                : static_cast<const void*>(t.utf32.data());
        const size_t expect = group == "utf8to16" ? in16 : group == "utf8to32" ? in32 : in8;
        void* out = group == "utf8to32"   ? static_cast<void*>(s_out32.data())
                    : group == "utf8to16" ? static_cast<void*>(s_out16.data())
                                          : static_cast<void*>(s_out8.data());
        const size_t cap = group == "utf8to32"   ? s_out32.size() * 4
                           : group == "utf8to16" ? s_out16.size() * 2
                                                 : s_out8.size();
        const size_t inBytes = r.inBytes;
        s_register(group + "/" + name + "/iconv",
                   s_bulk(inBytes, [cd, src, inBytes, out, cap, expect] {
                       return cd->run(src, inBytes, out, cap) == static_cast<long long>(expect);
                   }));
    }
#endif
}

void s_registerUtfShortCases(const UtfText& t)
{
    const ShortStrings* s = &t.shorts;
    const std::string name(t.name);
    s_register("short_utf8to16/" + name + "/nox", s_perCall([s](size_t k) {
                   const auto* src = reinterpret_cast<const UTF8*>(s->bytes.data() + s->byteOff[k]);
                   const auto* end =
                       reinterpret_cast<const UTF8*>(s->bytes.data() + s->byteOff[k + 1]);
                   UTF16* out = s_out16.data();
                   return utf_ConvertUTF8toUTF16(&src, end, &out, out + 256, strictConversion) ==
                          conversionOK;
               }));
    s_register("short_utf16to8/" + name + "/nox", s_perCall([s](size_t k) {
                   const UTF16* src = s->units.data() + s->unitOff[k];
                   const UTF16* end = s->units.data() + s->unitOff[k + 1];
                   auto* out = reinterpret_cast<UTF8*>(s_out8.data());
                   return utf_ConvertUTF16toUTF8(&src, end, &out, out + 256, strictConversion) ==
                          conversionOK;
               }));
#if defined(NOX_BENCH_HAVE_ICU)
    s_register("short_utf8to16/" + name + "/icu", s_perCall([s](size_t k) {
                   return icuUtf8ToUtf16(s->bytes.data() + s->byteOff[k],
                                         s->byteOff[k + 1] - s->byteOff[k], s_out16.data(),
                                         256) >= 0;
               }));
    s_register("short_utf16to8/" + name + "/icu", s_perCall([s](size_t k) {
                   return icuUtf16ToUtf8(s->units.data() + s->unitOff[k],
                                         s->unitOff[k + 1] - s->unitOff[k], s_out8.data(),
                                         256) >= 0;
               }));
#endif
#if defined(NOX_BENCH_HAVE_ICONV)
    const IconvCodec* to16 = s_openIconv("UTF-16LE", "UTF-8");
    const IconvCodec* to8 = s_openIconv("UTF-8", "UTF-16LE");
    if (to16 != nullptr && to8 != nullptr) {
        s_register("short_utf8to16/" + name + "/iconv", s_perCall([s, to16](size_t k) {
                       return to16->run(s->bytes.data() + s->byteOff[k],
                                        s->byteOff[k + 1] - s->byteOff[k], s_out16.data(),
                                        512) >= 0;
                   }));
        s_register("short_utf16to8/" + name + "/iconv", s_perCall([s, to8](size_t k) {
                       return to8->run(s->units.data() + s->unitOff[k],
                                       2 * (s->unitOff[k + 1] - s->unitOff[k]), s_out8.data(),
                                       256) >= 0;
                   }));
    }
#endif
}

void s_registerAll()
{
#if defined(NOX_BENCH_HAVE_ICU)
    UErrorCode status = U_ZERO_ERROR;
    s_icuUtf8 = ucnv_open("UTF-8", &status);
    s_icuUtf32 = ucnv_open("UTF-32LE", &status);
    if (U_FAILURE(status)) {
        s_icuUtf8 = nullptr;
        s_icuUtf32 = nullptr;
    }
#endif
    for (const CodePage& cp : s_codePages) {
        if (cp.byteLen != 0) {
            s_registerCodePageCases(cp);
        }
    }
    for (const UtfText& t : s_utfTexts) {
        s_registerUtfCases(t);
    }
    for (const CodePage& cp : s_codePages) {
        if (cp.byteLen != 0 &&
            (std::strcmp(cp.name, "CP1252") == 0 || std::strcmp(cp.name, "SJIS") == 0)) {
            s_registerShortCases(cp);
        }
    }
    if (!s_utfTexts.empty()) {
        s_registerUtfShortCases(s_utfTexts[0]);
    }
}

#else // NOX_BENCH_PATHS

void s_registerAll()
{
    for (const CodePage& cp : s_codePages) {
        if (cp.byteLen == 0) {
            continue;
        }
        const CodePage* p = &cp;
        for (const auto& [paths, impl] :
             {std::pair{Paths::fast, "/fast"}, std::pair{Paths::sse2, "/sse2"},
              std::pair{Paths::plain, "/plain"}}) {
            s_register("paths_toU/" + std::string(cp.name) + impl,
                       s_withPaths(paths, s_bulk(cp.byteLen, [p] { return s_noxToU(*p); })));
            s_register("paths_fromU/" + std::string(cp.name) + impl,
                       s_withPaths(paths, s_bulk(cp.text.size() * sizeof(UChar),
                                                 [p] { return s_noxFromU(*p); })));
        }
    }
    for (const UtfText& t : s_utfTexts) {
        const UtfText* p = &t;
        for (const auto& [paths, impl] :
             {std::pair{Paths::fast, "/fast"}, std::pair{Paths::plain, "/plain"}}) {
            s_register(
                "paths_utf8to16/" + std::string(t.name) + impl,
                s_withPaths(paths, s_bulk(t.utf8.size(), [p] { return s_noxUtf8To16(*p); })));
            s_register("paths_utf16to8/" + std::string(t.name) + impl,
                       s_withPaths(paths, s_bulk(t.utf16.size() * sizeof(UTF16),
                                                 [p] { return s_noxUtf16To8(*p); })));
        }
    }
}

#endif

} // namespace
} // namespace noxbench

int main(int argc, char** argv)
{
    using namespace noxbench;
    // The shipped code pages, read before the library's first call caches the setting; no
    // best-effort passing through and no trace output while measuring.
    // --nox_checks_only: build the inputs and run the output checks, without measuring.
    bool checksOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--nox_checks_only") == 0) {
            checksOnly = true;
            std::copy(argv + i + 1, argv + argc + 1, argv + i);
            --argc;
            break;
        }
    }
    setenv("NOX_UCM_PATH", NOX_BENCH_UCM_DIR, 1);
    unsetenv("NOX_UNICODE_CONVERT_BEST_EFFORT");
    unsetenv("NOXUNICODE_CHAR_DEBUG");
    unsetenv("NOXUNICODE_DEBUG");

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    s_openCodePages();
    s_buildRepertoire();
    for (CodePage& cp : s_codePages) {
        const bool wanted = s_selected(
            {"toU", "fromU", "short_toU", "short_fromU", "paths_toU", "paths_fromU"}, cp.name);
        if (cp.conv != nullptr && (!wanted || !s_prepareCodePage(cp))) {
            cp.byteLen = 0;
        }
    }
    if (s_selected({"utf8to16", "utf16to8", "utf8to32", "utf32to8", "short_utf8to16",
                    "short_utf16to8", "paths_utf8to16", "paths_utf16to8"},
                   "mixed") ||
        s_selected(
            {"utf8to16", "utf16to8", "utf8to32", "utf32to8", "paths_utf8to16", "paths_utf16to8"},
            "ascii")) {
        s_prepareUtfTexts();
    }
    if (!checksOnly) {
        s_allocateOutputs();
        s_registerAll();
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    for (CodePage& cp : s_codePages) {
        ncnv_releaseConverter(cp.conv);
    }
    return s_checkFailed ? 1 : 0;
}

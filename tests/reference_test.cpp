// reference_test.cpp - the library against its independent reference (tests/reference): the
// six UTF routines and the two validators on random text of every kind, and the code-page
// lookups and conversions on every shipped code page and on tables built to stress the
// lookups; every case at every kernel level the processor has.
#include "ConvertUTF.h"
#include "NoxUCharConverter.h"
#include "environment.h"
#include "kernels/kernels.h"
#include "nox_reference.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Reaches the converter's private binary-search lookups.
class NoxUCharConverterTestPeer {
  public:
    static const NoxUCharMapping* findBytes(const NoxUCharConverter& c, const unsigned char* text)
    {
        return c.mf_findMBChar(text);
    }
    static const NoxUCharMapping* findUnicode(const NoxUCharConverter& c, uint16_t value)
    {
        return c.mf_findUChar(value);
    }
};

namespace {

using noxref::NoxRefCodePage;
using noxref::NoxRefContext;
using noxref::NoxRefRecord;
using Peer = NoxUCharConverterTestPeer;

const int kUnset = 99;       // an error code that nothing writes
const size_t kSentinels = 3; // output units after the room, which nothing may write
const int kMaxReported = 12; // differences spelled out per test

// Runs `body(levelName)` once per kernel level this processor has.
template <typename Body> void s_atEveryKernelLevel(const Body& body)
{
    noxtest::forEachLevel([&] { body(nox::kernelLevelName(nox::kernelCeiling())); });
}

// A fixed-seed generator whose draws are unsigned.
struct Rng {
    using result_type = unsigned;
    static constexpr unsigned min() { return 0; }
    static constexpr unsigned max() { return 0xFFFFFFFFu; }
    explicit Rng(unsigned seed) : engine(seed) {}
    unsigned operator()() { return static_cast<unsigned>(engine()); }
    std::mt19937 engine;
};

template <typename T> std::string s_hex(const T* data, size_t count)
{
    std::string retval;
    for (size_t i = 0; i < count; ++i) {
        char group[16];
        std::snprintf(group, sizeof group, i == 0 ? "%0*X" : " %0*X", int(2 * sizeof(T)),
                      unsigned(static_cast<std::make_unsigned_t<T>>(data[i])));
        retval += group;
    }
    return retval;
}

template <typename T> std::string s_hex(const std::vector<T>& values)
{
    return s_hex(values.data(), values.size());
}

// ---------------------------------------------------------------------------------------------
// UTF routines

template <typename S, typename T>
using Routine = utf_ConversionResult (*)(const S**, const S*, T**, T*, utf_ConversionFlags);

// A value of one of the kinds that the routines treat apart. Profile 0: mostly ASCII (long
// runs for the vector paths); 1: characters of every plane; 2: anything, surrogates and values
// above 0x10FFFF included. (Profile 3, runs of one kind, is made by the test itself.)
UTF32 s_randomValue(Rng& rng, int profile)
{
    static const UTF32 s_edges[] = {0,        0x7F,     0x80,     0x7FF,      0x800,
                                    0xD7FF,   0xD800,   0xDBFF,   0xDC00,     0xDFFF,
                                    0xE000,   0xFFFD,   0xFFFF,   0x10000,    0x10FFFF,
                                    0x110000, 0x1FFFFF, 0x200000, 0x7FFFFFFF, 0xFFFFFFFF};
    if (profile == 0 && rng() % 100 < 90) {
        return 0x20 + rng() % 0x5F;
    }
    switch (rng() % (profile == 1 ? 4 : 8)) {
    case 0:
        return rng() % 0x80;
    case 1:
        return 0x80 + rng() % 0x780;
    case 2: {
        const UTF32 value = 0x800 + rng() % 0xF800;
        return profile == 1 && value >= 0xD800 && value <= 0xDFFF ? value - 0x800 : value;
    }
    case 3:
        return 0x10000 + rng() % 0x100000;
    case 4:
        return 0xD800 + rng() % 0x800;
    case 5:
        return s_edges[rng() % (sizeof s_edges / sizeof s_edges[0])];
    case 6:
        return 0x110000 + rng() % 0xF0000;
    default:
        return static_cast<UTF32>(rng());
    }
}

// UTF-16 of the values; with `damage`, some pairs lose a half or come in the wrong order.
// Values above 0x10FFFF become their low 16 bits.
std::vector<UTF16> s_utf16(const std::vector<UTF32>& values, Rng& rng, bool damage)
{
    std::vector<UTF16> retval;
    for (const UTF32 value : values) {
        if (value < 0x10000 || value > 0x10FFFF) {
            retval.push_back(static_cast<UTF16>(value));
            continue;
        }
        const auto high = static_cast<UTF16>(0xD800 + ((value - 0x10000) >> 10));
        const auto low = static_cast<UTF16>(0xDC00 + (value & 0x3FF));
        switch (damage ? rng() % 8 : 7) {
        case 0:
            retval.push_back(high);
            break;
        case 1:
            retval.push_back(low);
            break;
        case 2:
            retval.insert(retval.end(), {low, high});
            break;
        default:
            retval.insert(retval.end(), {high, low});
        }
    }
    return retval;
}

// Appends `value` in the UTF-8 bit pattern of `length` bytes (1 to 6), also where that is not
// the shortest form or the value is no character.
void s_putUtf8Pattern(std::vector<UTF8>& out, UTF32 value, int length)
{
    static const UTF8 s_marks[7] = {0, 0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
    if (length == 1) {
        out.push_back(static_cast<UTF8>(value & 0x7F));
        return;
    }
    out.push_back(static_cast<UTF8>(s_marks[length] |
                                    ((value >> (6 * (length - 1))) & (0xFFu >> (length + 1)))));
    for (int i = length - 2; i >= 0; --i) {
        out.push_back(static_cast<UTF8>(0x80 | ((value >> (6 * i)) & 0x3F)));
    }
}

// UTF-8 of the values in the shortest pattern (surrogates and values above 0x10FFFF too);
// with `damage`, some sequences are cut short or overlong, and stray bytes appear.
std::vector<UTF8> s_utf8(const std::vector<UTF32>& values, Rng& rng, bool damage)
{
    std::vector<UTF8> retval;
    for (const UTF32 value : values) {
        const int length = value < 0x80        ? 1
                           : value < 0x800     ? 2
                           : value < 0x10000   ? 3
                           : value < 0x200000  ? 4
                           : value < 0x4000000 ? 5
                                               : 6;
        switch (damage ? rng() % 12 : 11) {
        case 0: // cut short
            s_putUtf8Pattern(retval, value, length);
            retval.resize(retval.size() - (length > 1 ? 1 + rng() % (length - 1) : 0));
            break;
        case 1: // overlong
            s_putUtf8Pattern(retval, value, std::min(length + 1, 6));
            break;
        case 2: // a lone trailing byte, a byte that never starts a sequence, or any byte
            retval.push_back(static_cast<UTF8>(rng() % 3 == 0   ? 0x80 + rng() % 0x40
                                               : rng() % 2 == 0 ? 0xC0 + rng() % 2
                                                                : rng() % 0x100));
            break;
        default:
            s_putUtf8Pattern(retval, value, length);
        }
    }
    return retval;
}

// Compares one routine with its reference on `text` in both modes, with a random start and
// room, at every kernel level.
template <typename S, typename T>
void s_compareUtf(const char* name, Routine<S, T> library, Routine<S, T> reference,
                  const std::vector<S>& text, Rng& rng, int& reported)
{
    const size_t offset = rng() % (std::min<size_t>(text.size(), 3) + 1);
    const std::u32string in(text.begin() + static_cast<ptrdiff_t>(offset), text.end());
    for (const utf_ConversionFlags flags : {strictConversion, lenientConversion}) {
        const size_t ample = 4 * text.size() + 4;
        const size_t needed = noxtest::callUtf(reference, in, ample, flags).out.size();
        const size_t choices[] = {ample, needed, needed > 0 ? needed - 1 : 0, rng() % (needed + 2),
                                  rng() % 4};
        const size_t room = choices[rng() % 5];
        const noxtest::UtfCall want = noxtest::callUtf(reference, in, room, flags);
        s_atEveryKernelLevel([&](const char* level) {
            const noxtest::UtfCall got = noxtest::callUtf(library, in, room, flags);
            if (!(got == want) && ++reported <= kMaxReported) {
                ADD_FAILURE() << name << ", mode " << flags << ", level " << level << ", text ["
                              << s_hex(text) << "] from " << offset << ", room " << room
                              << "\n  library:   " << testing::PrintToString(got)
                              << "\n  reference: " << testing::PrintToString(want);
            }
        });
    }
}

TEST(ReferenceUtfTest, SixRoutinesOnRandomTextOfEveryKind)
{
    // Profile 3: runs of one length class, or of values next to a boundary, so that whole
    // vector blocks of one kind occur.
    const UTF32 runs[][2] = {
        {0x20, 0x80}, {0x80, 0x800},  {0x800, 0xD800},  {0xE000, 0x10000}, {0x10000, 0x110000},
        {0x7E, 0x82}, {0x7FE, 0x802}, {0xD7FE, 0xE002}, {0xFFFD, 0x10002}, {0x10FFFE, 0x110000}};
    Rng rng(20261216);
    int reported = 0;
    for (int round = 0; round < 3000 && reported < kMaxReported; ++round) {
        const int profile = round % 4;
        const size_t count = round % 8 == 0 || profile == 3 ? rng() % 300 : rng() % 24;
        std::vector<UTF32> values;
        for (size_t i = 0, run = 0; i < count; ++i) {
            run = i % 40 == 0 ? rng() % std::size(runs) : run;
            values.push_back(profile < 3 ? s_randomValue(rng, profile)
                                         : runs[run][0] + rng() % (runs[run][1] - runs[run][0]));
        }
        const bool damage = profile == 2 || rng() % 2 == 0;
        const std::vector<UTF16> utf16 = s_utf16(values, rng, damage);
        const std::vector<UTF8> utf8 = s_utf8(values, rng, damage);
        s_compareUtf("UTF32toUTF16", utf_ConvertUTF32toUTF16, noxref::convertUTF32toUTF16, values,
                     rng, reported);
        s_compareUtf("UTF32toUTF8", utf_ConvertUTF32toUTF8, noxref::convertUTF32toUTF8, values, rng,
                     reported);
        s_compareUtf("UTF16toUTF32", utf_ConvertUTF16toUTF32, noxref::convertUTF16toUTF32, utf16,
                     rng, reported);
        s_compareUtf("UTF16toUTF8", utf_ConvertUTF16toUTF8, noxref::convertUTF16toUTF8, utf16, rng,
                     reported);
        s_compareUtf("UTF8toUTF16", utf_ConvertUTF8toUTF16, noxref::convertUTF8toUTF16, utf8, rng,
                     reported);
        s_compareUtf("UTF8toUTF32", utf_ConvertUTF8toUTF32, noxref::convertUTF8toUTF32, utf8, rng,
                     reported);
    }
}

// Every first byte against every second byte, with third and fourth bytes from the edges of the
// trailing range, at every length and range end.
TEST(ReferenceUtfTest, ValidatorsOnEveryFirstAndSecondByte)
{
    const UTF8 tails[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xF4, 0xFF};
    int reported = 0;
    s_atEveryKernelLevel([&](const char* level) {
        for (unsigned pair = 0; pair < 0x10000; ++pair) {
            const UTF8 bytes[6] = {UTF8(pair >> 8),        UTF8(pair),
                                   tails[pair % 12],       tails[pair / 12 % 12],
                                   tails[pair / 144 % 12], 0x80};
            for (int length = -1; length <= 6; ++length) {
                const int got = utf_isLegalUTF8(bytes, length);
                const int want = noxref::isLegalUTF8(bytes, length);
                const int gotRange =
                    length < 0 ? 0 : utf_isLegalUTF8Sequence(bytes, bytes + length);
                const int wantRange =
                    length < 0 ? 0 : noxref::isLegalUTF8Sequence(bytes, bytes + length);
                if ((got != want || gotRange != wantRange) && ++reported <= kMaxReported) {
                    ADD_FAILURE() << "level " << level << ", bytes [" << s_hex(bytes, 6)
                                  << "], length " << length << ": isLegalUTF8 " << got
                                  << " (reference " << want << "), isLegalUTF8Sequence " << gotRange
                                  << " (reference " << wantRange << ")";
                }
            }
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Code pages

const char* const kBestEffort = "NOX_UNICODE_CONVERT_BEST_EFFORT";
struct Table {
    std::string name;
    std::unique_ptr<NoxUCharConverter> converter;
    NoxRefCodePage reference;
};

Table s_table(const std::string& name, std::unique_ptr<NoxUCharConverter> converter)
{
    Table retval;
    retval.name = name;
    retval.reference = NoxRefCodePage::fromConverter(*converter);
    retval.converter = std::move(converter);
    return retval;
}

// Differences found, the first few spelled out.
struct Report {
    int failures = 0;
    std::string text;

    void fail(const std::string& what)
    {
        if (++failures <= kMaxReported) {
            text += what + "\n";
        }
    }
};

// Compares one lookup answer with the reference's; `key` is a byte key (packed as the
// conversions pack it) or a Unicode value.
void s_compareLookup(Table& t, Report& report, bool bytes, uint32_t key, const NoxUCharMapping* got)
{
    const NoxUCharConverter& c = *t.converter;
    NoxUCharMapping** index = bytes ? c.mbcsData : c.unicodeData;
    int landed = -1;
    const int slot = bytes ? t.reference.findBytesSlot(key, &landed)
                           : t.reference.findUnicodeSlot(static_cast<uint16_t>(key), &landed);
    const NoxUCharMapping* want = slot < 0 ? nullptr : index[slot];
    if (got == want) {
        return;
    }
    const auto slotOf = [&](const NoxUCharMapping* m) {
        return m == nullptr ? -1L : long(std::find(index, index + c.dataLen, m) - index);
    };
    char what[256];
    std::snprintf(what, sizeof what,
                  "%s: %s lookup of %0*X: library slot %ld, reference slot %d (landing on %d)",
                  t.name.c_str(), bytes ? "byte" : "Unicode", bytes ? 8 : 4, key, slotOf(got), slot,
                  landed);
    report.fail(what);
}

// The key that the conversions look up for the text at `text`: as many bytes as the lead byte
// gives (at most four), up to a 0 byte.
uint32_t s_packedKey(const NoxUCharConverter& c, const unsigned char* text)
{
    uint32_t retval = 0;
    const int length = std::min<int>(c.leadBytes.bytes[text[0]], 4);
    for (int i = 0; i < length && text[i] != 0; ++i) {
        retval |= uint32_t{text[i]} << (8 * i);
    }
    return retval;
}

// Every single byte, every pair under a two-byte lead byte, the table's own keys with their
// prefixes and a neighbour of each, and every Unicode value.
void s_compareLookups(Table& t, Report& report)
{
    using Text = std::array<unsigned char, 8>; // a key as text, the unused bytes 0
    const NoxUCharConverter& c = *t.converter;
    std::set<Text> texts;
    for (int first = 1; first < 0x100; ++first) {
        texts.insert(Text{uint8_t(first)});
        for (int second = 1; c.leadBytes.bytes[first] == 2 && second < 0x100; ++second) {
            texts.insert(Text{uint8_t(first), uint8_t(second)});
        }
    }
    for (const NoxRefRecord& r : t.reference.byBytes()) {
        Text text{};
        for (int i = 0; i < r.length; ++i) {
            text[i] = static_cast<uint8_t>(r.bytes >> (8 * i));
            texts.insert(text);
            Text next = text;
            next[i] = static_cast<uint8_t>(next[i] + 1);
            texts.insert(next[i] != 0 ? next : text);
        }
    }
    for (const Text& text : texts) {
        const NoxUCharMapping* got = Peer::findBytes(c, text.data());
        if (c.leadBytes.bytes[text[0]] != 0) {
            s_compareLookup(t, report, true, s_packedKey(c, text.data()), got);
        } else if (got != nullptr) {
            report.fail(t.name + ": a byte that starts no character found a record");
        }
    }
    for (uint32_t value = 0; value < 0x10000; ++value) {
        s_compareLookup(t, report, false, value, Peer::findUnicode(c, uint16_t(value)));
    }
}

// Standard error redirected to a temporary file while it lives; take() returns what was
// written since the last take().
class StderrTap {
  public:
    StderrTap() : mSaved(dup(STDERR_FILENO)), mFile(std::tmpfile())
    {
        std::fflush(stderr);
        dup2(fileno(mFile), STDERR_FILENO);
    }
    ~StderrTap()
    {
        std::fflush(stderr);
        dup2(mSaved, STDERR_FILENO);
        close(mSaved);
        std::fclose(mFile);
    }
    StderrTap(const StderrTap&) = delete;
    StderrTap& operator=(const StderrTap&) = delete;

    std::string take()
    {
        std::fflush(stderr);
        std::string retval;
        char buffer[1024];
        ssize_t n = 0;
        while ((n = pread(fileno(mFile), buffer, sizeof buffer, mOffset)) > 0) {
            retval.append(buffer, static_cast<size_t>(n));
            mOffset += n;
        }
        return retval;
    }

  private:
    int mSaved;
    FILE* mFile;
    off_t mOffset = 0;
};

// The library's converter or the reference, called alike (the counted and pointer-range forms
// of both directions by their argument types); messages() gives what the last calls wrote to
// standard error (the library) or reported (the reference).
struct Side {
    const Table& table;
    bool library;
    StderrTap& tap;
    NoxRefContext context;

    int counted(UChar* out, int outSize, const char* source, int sourceSize, int* error)
    {
        return library ? table.converter->toUChars(out, outSize, source, sourceSize, error)
                       : table.reference.toUChars(out, outSize, source, sourceSize, error, context);
    }
    int counted(char* out, int outSize, const UChar* source, int sourceSize, int* error)
    {
        return library
                   ? table.converter->fromUChars(out, outSize, source, sourceSize, error)
                   : table.reference.fromUChars(out, outSize, source, sourceSize, error, context);
    }
    void ranged(UChar** out, const UChar* outEnd, const char** source, const char* sourceEnd,
                int* error)
    {
        library ? table.converter->toUnicode(out, outEnd, source, sourceEnd, error)
                : table.reference.toUnicode(out, outEnd, source, sourceEnd, error, context);
    }
    void ranged(char** out, const char* outEnd, const UChar** source, const UChar* sourceEnd,
                int* error)
    {
        library ? table.converter->fromUnicode(out, outEnd, source, sourceEnd, error)
                : table.reference.fromUnicode(out, outEnd, source, sourceEnd, error, context);
    }
    int mblen(const char* source, int maxBytes, int* error)
    {
        return library ? table.converter->mf_mblen(source, maxBytes, error)
                       : table.reference.mblen(source, maxBytes, error, context);
    }
    std::string messages() { return library ? tap.take() : std::exchange(context.messages, {}); }
};

// What a conversion leaves: result, error code, how far the pointers moved, the whole output
// buffer (room and sentinels) and the messages.
struct Outcome {
    int result = 0, error = kUnset;
    ptrdiff_t consumed = 0, produced = 0;
    std::vector<unsigned> out;
    std::string messages;
    bool operator==(const Outcome& o) const
    {
        return result == o.result && error == o.error && consumed == o.consumed &&
               produced == o.produced && out == o.out && messages == o.messages;
    }
    std::string describe() const
    {
        return "result " + std::to_string(result) + ", error " + std::to_string(error) +
               ", moved " + std::to_string(consumed) + "/" + std::to_string(produced) + ", out [" +
               s_hex(out) + "], messages \"" + messages + "\"";
    }
};

// An output buffer of `room` units (none when negative) and the sentinels after it.
template <typename T> std::vector<T> s_outBuffer(int room)
{
    return std::vector<T>(static_cast<size_t>(std::max(room, 0)) + kSentinels,
                          static_cast<T>(0xEEEE));
}

// One input of the code-page conversions: code-page bytes and UTF-16 units, each in a buffer
// that starts a few units before the text and goes on after it with a 0 and non-zero noise, so
// that counts and ranges beyond the text stay inside the buffer.
struct Input {
    std::vector<char> bytes;
    std::vector<UChar> units;
    size_t start = 0;                    // where the text begins in both buffers
    size_t byteCount = 0, unitCount = 0; // lengths of the texts
};

Input s_randomInput(const NoxRefCodePage& reference, Rng& rng, size_t characters)
{
    Input retval;
    retval.start = rng() % 4;
    retval.bytes.assign(retval.start, 'x');
    retval.units.assign(retval.start, UChar{'x'});
    const auto& records = reference.byBytes();
    const bool zeros = rng() % 4 == 0;
    for (size_t i = 0; i < characters; ++i) {
        const unsigned pick = rng() % 100;
        const NoxRefRecord& r = records.empty() ? NoxRefRecord{} : records[rng() % records.size()];
        if (pick < 55) { // a character of the table
            for (int k = 0; k < r.length; ++k) {
                retval.bytes.push_back(static_cast<char>(r.bytes >> (8 * k)));
            }
            retval.units.push_back(r.unicode);
        } else if (pick < 80) { // ASCII
            retval.bytes.push_back(static_cast<char>(0x20 + rng() % 0x5F));
            retval.units.push_back(static_cast<UChar>(0x20 + rng() % 0x5F));
        } else if (pick < 93 || !zeros) { // noise
            retval.bytes.push_back(static_cast<char>(1 + rng() % 0xFF));
            retval.units.push_back(static_cast<UChar>(rng() % 2 ? 1 + rng() % 0xFF : rng()));
        } else { // a 0, right after the first byte of a character now and then
            if (rng() % 2 == 0 && r.length > 1) {
                retval.bytes.push_back(static_cast<char>(r.bytes));
            }
            retval.bytes.push_back(0);
            retval.units.push_back(0);
        }
    }
    retval.byteCount = retval.bytes.size() - retval.start;
    retval.unitCount = retval.units.size() - retval.start;
    retval.bytes.push_back(0);
    retval.units.push_back(0);
    for (int i = 0; i < 16; ++i) {
        retval.bytes.push_back(static_cast<char>(1 + rng() % 0xFF));
        retval.units.push_back(static_cast<UChar>(1 + rng() % 0xFFFF));
    }
    return retval;
}

// A count for a text of `length`: up to the 0 alone (negative), within the text, exactly,
// beyond it.
int s_randomCount(Rng& rng, size_t length)
{
    const int n = static_cast<int>(length);
    const int choices[] = {
        -1, -7, n, n + 1, n + 1 + int(rng() % 16), INT_MAX, int(rng() % (n + 1))};
    return choices[rng() % 7];
}

// A room around the `needed` units: none (-1: a null output for the counted forms), 0, one
// short, exact, one more, or random.
int s_randomRoom(Rng& rng, int needed)
{
    const int choices[] = {-1,         0,          std::max(needed - 1, 0),  needed,
                           needed + 1, needed + 9, int(rng() % (needed + 2))};
    return choices[rng() % 7];
}

// Runs one call through the reference and through the library at every kernel level and
// reports a difference.
template <typename Buffer, typename Call>
void s_check(Report& report, const std::string& where, const Buffer& buffer, Side& library,
             Side& reference, const Call& call)
{
    const Outcome want = call(reference, buffer);
    s_atEveryKernelLevel([&](const char* level) {
        const Outcome got = call(library, buffer);
        if (!(got == want)) {
            report.fail(where + ", level " + level + ", " +
                        (reference.context.bestEffort ? "best-effort" : "strict") +
                        "\n  library:   " + got.describe() + "\n  reference: " + want.describe());
        }
    });
}

// One direction of a random input (bytes to units, or units to bytes: `In` to `Out`): the
// counted form with a random count and room around what it needs, and the pointer-range form
// with a range that ends anywhere up to the noise after the text and a random room.
template <typename Out, typename In>
void s_direction(const std::string& what, const std::vector<In>& text, size_t start, size_t length,
                 Side& library, Side& reference, Rng& rng, Report& report)
{
    Side quiet{reference.table, false, reference.tap, {reference.context.bestEffort, {}}};
    int scratch = 0;
    const int count = s_randomCount(rng, length);
    const int needed =
        quiet.counted(static_cast<Out*>(nullptr), 0, text.data() + start, count, &scratch);
    const int room = s_randomRoom(rng, needed);
    s_check(report,
            "counted " + what + ", count " + std::to_string(count) + ", room " +
                std::to_string(room),
            text, library, reference, [&](Side& side, const std::vector<In>& in) {
                std::vector<Out> out = s_outBuffer<Out>(room);
                Outcome o;
                o.result = side.counted(room < 0 ? nullptr : out.data(), room, in.data() + start,
                                        count, &o.error);
                o.out.assign(out.begin(), out.end());
                o.messages = side.messages();
                return o;
            });
    const size_t end = start + rng() % (text.size() - start + 1);
    const int rangeRoom = std::max(s_randomRoom(rng, std::max(needed, 0)), 0);
    s_check(report,
            "pointer range " + what + ", end " + std::to_string(end) + ", room " +
                std::to_string(rangeRoom),
            text, library, reference, [&](Side& side, const std::vector<In>& in) {
                std::vector<Out> out = s_outBuffer<Out>(rangeRoom);
                Out* o = out.data();
                const In* s = in.data() + start;
                Outcome retval;
                side.ranged(&o, out.data() + rangeRoom, &s, in.data() + end, &retval.error);
                retval.consumed = s - (in.data() + start);
                retval.produced = o - out.data();
                retval.out.assign(out.begin(), out.end());
                retval.messages = side.messages();
                return retval;
            });
}

// One random input through the four conversions and mblen.
void s_conversionRound(const Table& t, Side& library, Side& reference, Rng& rng, size_t characters,
                       Report& report)
{
    const Input in = s_randomInput(t.reference, rng, characters);
    const std::string text = t.name + ", bytes [" + s_hex(in.bytes) + "], units [" +
                             s_hex(in.units) + "] from " + std::to_string(in.start);
    s_direction<UChar>("to Unicode of " + text, in.bytes, in.start, in.byteCount, library,
                       reference, rng, report);
    s_direction<char>("from Unicode of " + text, in.units, in.start, in.unitCount, library,
                      reference, rng, report);
    // mblen at every byte of a short text and its terminator, at some of a long one, with
    // little or enough room.
    for (size_t k = 0; k <= std::min<size_t>(in.byteCount, 12); ++k) {
        const size_t at = in.start + (in.byteCount <= 12 ? k : rng() % (in.byteCount + 1));
        const int maxBytes = rng() % 8 == 0 ? INT_MAX : int(rng() % 7) - 1;
        s_check(report,
                "mblen of " + text + " at " + std::to_string(at) + ", maxBytes " +
                    std::to_string(maxBytes),
                in.bytes, library, reference, [&](Side& side, const std::vector<char>& bytes) {
                    Outcome o;
                    o.result = side.mblen(bytes.data() + at, maxBytes, &o.error);
                    o.messages = side.messages();
                    return o;
                });
    }
}

// Null and empty arguments, where nothing but the error code and the terminator happens.
void s_nullArguments(const Table& t, Side& library, Side& reference, Report& report)
{
    const std::vector<char> none(1, 0);
    const auto counted = [&](Side& side, const std::vector<char>&) {
        std::vector<UChar> out = s_outBuffer<UChar>(2);
        std::vector<char> back = s_outBuffer<char>(2);
        Outcome o;
        o.result = side.counted(out.data(), 2, static_cast<const char*>(nullptr), 3, &o.error);
        o.consumed = side.counted(back.data(), 2, static_cast<const UChar*>(nullptr), 3, &o.error);
        o.out.assign(out.begin(), out.end());
        o.out.insert(o.out.end(), back.begin(), back.end());
        o.produced = side.mblen(nullptr, 4, &o.error);
        o.messages = side.messages();
        return o;
    };
    const auto ranges = [&](Side& side, const std::vector<char>&) {
        const char text[] = "AB";
        const UChar units[] = {'A', 'B', 0};
        UChar out[4] = {};
        char back[4] = {};
        Outcome o;
        for (int missing = 0; missing < 6; ++missing) {
            UChar* outPtr = missing == 1 ? nullptr : out;
            char* backPtr = missing == 1 ? nullptr : back;
            const char* s = missing == 3 ? nullptr : text;
            const UChar* u = missing == 3 ? nullptr : units;
            int error = kUnset;
            side.ranged(missing == 0 ? nullptr : &outPtr, missing == 2 ? nullptr : out + 4,
                        missing == 4 ? nullptr : &s, missing == 5 ? nullptr : text + 2, &error);
            o.out.push_back(unsigned(error));
            side.ranged(missing == 0 ? nullptr : &backPtr, missing == 2 ? nullptr : back + 4,
                        missing == 4 ? nullptr : &u, missing == 5 ? nullptr : units + 2, &error);
            o.out.push_back(unsigned(error));
            o.out.push_back(outPtr == out && backPtr == back); // untouched
        }
        o.messages = side.messages();
        return o;
    };
    s_check(report, t.name + ", null sources", none, library, reference, counted);
    s_check(report, t.name + ", null range arguments", none, library, reference, ranges);
}

// The conversion comparisons of all tables in best-effort mode or not. Runs in a child
// process, where that mode is fixed by the environment; prints what it found and returns the
// number of failures.
int s_compareConversions(const std::vector<Table>& tables, bool bestEffort, int rounds,
                         unsigned seed)
{
    if (ncnv_getConvertBestEffort() != bestEffort) {
        std::fprintf(stderr, "best-effort mode was fixed before this process started\n");
        return 1;
    }
    Report report;
    {
        StderrTap tap;
        Rng rng(seed);
        for (const Table& t : tables) {
            Side library{t, true, tap, {bestEffort, {}}};
            Side reference{t, false, tap, {bestEffort, {}}};
            s_nullArguments(t, library, reference, report);
            for (int round = 0; round < rounds && report.failures < kMaxReported; ++round) {
                s_conversionRound(t, library, reference, rng, round % 10 == 0 ? 400 : 30, report);
            }
        }
    }
    std::fprintf(stderr, "%s", report.text.c_str());
    return std::min(report.failures, 100);
}

// Compares the lookups of every table here, then the conversions in two child processes (one
// without and one with best-effort mode).
void s_compareTables(std::vector<Table>& tables, int rounds, unsigned seed)
{
    Report lookups;
    for (Table& t : tables) {
        s_compareLookups(t, lookups);
    }
    EXPECT_EQ(0, lookups.failures) << lookups.text;
    for (const bool bestEffort : {false, true}) {
        const noxtest::ChildResult child =
            noxtest::runInChild({{kBestEffort, bestEffort ? "True" : nullptr}}, [&] {
                return s_compareConversions(tables, bestEffort, rounds, seed);
            });
        EXPECT_EQ(0, child.exitCode) << (bestEffort ? "best-effort mode:\n" : "") << child.err;
    }
}

TEST(ReferenceCodePageTest, EveryShippedCodePage)
{
    const std::vector<std::string> files = noxtest::shippedCodePages();
    ASSERT_FALSE(files.empty());
    std::vector<Table> tables;
    tables.push_back(s_table("LATIN_1", std::make_unique<NoxUCharConverter>("/", "LATIN_1")));
    for (const std::string& file : files) {
        tables.push_back(s_table(std::filesystem::path(file).stem().string(),
                                 std::make_unique<NoxUCharConverter>(file.c_str())));
        ASSERT_GT(tables.back().converter->dataLen, 0u) << file;
    }
    s_compareTables(tables, 40, 1216);
}

// A table of `count` records (at least 76): four one-byte characters and two-byte characters
// with bytes and values of their own, among them runs that share their bytes or their value in
// every combination of the precisions |0, |1 and |3 (pairs in both orders, and triples), at
// random places. The lines are shuffled, since the order that the sort leaves among equal keys
// depends on it.
std::string s_stressUcm(int count, Rng& rng)
{
    std::vector<std::pair<bool, std::vector<int>>> runs; // shares bytes (else value), precisions
    const int precisions[] = {0, 1, 3};
    for (const bool sharesBytes : {true, false}) {
        for (const int a : precisions) {
            for (const int b : precisions) {
                runs.push_back({sharesBytes, {a, b}});
            }
        }
        std::vector<int> triple = {0, 1, 3};
        do {
            runs.push_back({sharesBytes, triple});
        } while (std::next_permutation(triple.begin(), triple.end()));
    }
    for (int used = 4 + 72; used < count; ++used) {
        runs.push_back({false, {precisions[rng() % 5 / 2]}});
    }
    std::shuffle(runs.begin(), runs.end(), rng);
    std::vector<std::string> lines = {"<U0041> \\x41 |0\n", "<U0042> \\x42 |0\n",
                                      "<U0043> \\x43 |1\n", "<U0044> \\x44 |3\n"};
    int i = 0;
    for (const auto& [sharesBytes, members] : runs) {
        const int first = i;
        for (const int precision : members) {
            const int bytes = sharesBytes ? first : i, value = sharesBytes ? i : first;
            char line[48];
            std::snprintf(line, sizeof line, "<U%04X> \\x%02X\\x%02X |%d\n", 0x4E00 + value,
                          0x81 + bytes / 190, 0x40 + bytes % 190, precision);
            lines.push_back(line);
            ++i;
        }
    }
    std::shuffle(lines.begin(), lines.end(), rng);
    std::string retval = "<nox_lead_bytes> 01-7F:1 81-FE:2\n";
    for (const std::string& line : lines) {
        retval += line;
    }
    return retval;
}

// Lead bytes of lengths 2, 3, 4 and 15 (four bytes taken), one-byte records under a two-byte
// lead, a two-byte record under a one-byte lead, three records of one byte, fallbacks both
// ways, a mapping of U+0000 and of a surrogate value, a one-byte lead without a record.
const char* const kWideUcm =
    "<nox_lead_bytes> 01-7F:1 81-83:2 84:4 85:3 86:F A0:1\n"
    "<U0041> \\x41 |0\n<U0061> \\x41 |1\n<U0062> \\x41 |3\n<U3000> \\x81\\x40 |0\n"
    "<U3001> \\x81 |0\n<U4E00> \\x84\\x30\\x81\\x30 |0\n<U4E01> \\x85\\x41\\x42 |3\n"
    "<U4E02> \\x86\\x41\\x42\\x43 |0\n<U00E9> \\x83\\x41 |1\n<U00E9> \\x82\\x41 |3\n"
    "<U0000> \\x82\\x42 |0\n<U0042> \\x42\\x43 |0\n<UD800> \\x43 |0\n<U00A0> \\x84 |1\n";

int s_precision(const NoxRefRecord& r)
{
    return r.toUnicodeDefault && r.fromUnicodeDefault ? 0 : r.fromUnicodeFallback ? 1 : 3;
}

// For every run of equal keys in the tables: the slots of the run that the reference's search
// lands on, by direction and the run's precisions (sorted).
std::map<std::string, std::set<int>> s_landings(const std::vector<Table>& tables)
{
    std::map<std::string, std::set<int>> retval;
    for (const Table& t : tables) {
        for (const bool bytes : {true, false}) {
            const auto& index = bytes ? t.reference.byBytes() : t.reference.byUnicode();
            const auto keyOf = [&](size_t i) { return bytes ? index[i].bytes : index[i].unicode; };
            for (size_t begin = 0, end = 0; begin < index.size(); begin = end) {
                std::vector<int> run;
                for (end = begin; end < index.size() && keyOf(end) == keyOf(begin); ++end) {
                    run.push_back(s_precision(index[end]));
                }
                if (run.size() > 1) {
                    int landed = -1;
                    (bytes ? t.reference.findBytesSlot(keyOf(begin), &landed)
                           : t.reference.findUnicodeSlot(uint16_t(keyOf(begin)), &landed));
                    std::sort(run.begin(), run.end());
                    std::string name = bytes ? "bytes" : "Unicode";
                    for (const int precision : run) {
                        name += " |" + std::to_string(precision);
                    }
                    retval[name].insert(landed - int(begin));
                }
            }
        }
    }
    return retval;
}

TEST(ReferenceCodePageTest, TablesThatStressTheLookups)
{
    const noxtest::TempDir dir;
    Rng rng(1227);
    std::vector<Table> tables;
    for (const int count : {76, 126, 127, 128, 129, 254, 255, 256, 257, 400, 1000}) {
        for (int copy = 0; copy < 3; ++copy) {
            const std::string name = "stress-" + std::to_string(count) + "-" + std::to_string(copy);
            const std::string file = dir.write(name + ".ucm", s_stressUcm(count, rng));
            tables.push_back(s_table(name, std::make_unique<NoxUCharConverter>(file.c_str())));
            ASSERT_EQ(unsigned(count), tables.back().converter->dataLen);
        }
    }
    // The tables are only worth their time if the search lands on every slot of every kind of
    // run: pairs |0|0 |0|1 |0|3 |1|1 |1|3 |3|3 and the triple, by bytes and by value.
    const std::map<std::string, std::set<int>> landings = s_landings(tables);
    EXPECT_EQ(14u, landings.size());
    for (const auto& [run, slots] : landings) {
        EXPECT_EQ(std::count(run.begin(), run.end(), '|'), int(slots.size())) << run;
    }
    const std::string wide = dir.write("wide.ucm", kWideUcm);
    tables.push_back(s_table("wide", std::make_unique<NoxUCharConverter>(wide.c_str())));
    // Two-byte records although every lead byte says one byte: the single-byte kernels must
    // leave them to the exact path.
    const std::string narrow =
        dir.write("narrow-leads.ucm", "<nox_lead_bytes> 01-FF:1\n<U0041> \\x41 |0\n"
                                      "<U00E9> \\xE9 |0\n<U3000> \\x81\\x40 |0\n"
                                      "<U3001> \\x82\\x41 |0\n<U0042> \\x42\\x42 |1\n");
    tables.push_back(s_table("narrow-leads", std::make_unique<NoxUCharConverter>(narrow.c_str())));
    s_compareTables(tables, 40, 1227);
}

} // namespace

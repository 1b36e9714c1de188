// guard_page_test.cpp - conversions whose input ends right before an inaccessible page and
// whose output room ends right before one: a read or write past a limit dies with SIGSEGV,
// also without sanitizers.
#include "ConvertUTF.h"
#include "environment.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using noxtest::captureStderr;
using noxtest::Handle;

const int kUnset = 99;
const UChar kSentinel16 = 0xEEEE;
const char kSentinel8 = static_cast<char>(0xEE);

// `count` units, filled with `fill`, that end exactly where a PROT_NONE page begins.
template <typename T> class Guarded {
  public:
    Guarded(size_t count, T fill) : mSize(count), mFill(fill)
    {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t usable = std::max(page, (count * sizeof(T) + page - 1) / page * page);
        mLength = usable + page;
        mBase = mmap(nullptr, mLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mBase == MAP_FAILED || mprotect(static_cast<char*>(mBase) + usable, page, PROT_NONE)) {
            std::abort();
        }
        mData = reinterpret_cast<T*>(static_cast<char*>(mBase) + usable) - count;
        reset();
    }
    template <typename C> explicit Guarded(const C& values) : Guarded(values.size(), T())
    {
        std::copy(values.begin(), values.end(), mData);
    }
    ~Guarded() { munmap(mBase, mLength); }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    T* begin() const { return mData; }
    T* end() const { return mData + mSize; }
    int isize() const { return static_cast<int>(mSize); }
    std::vector<T> contents() const { return std::vector<T>(begin(), end()); }
    void reset() const { std::fill(begin(), end(), mFill); }

  private:
    void* mBase = nullptr;
    size_t mLength = 0;
    T* mData = nullptr;
    size_t mSize;
    T mFill;
};

// Runs `body` with the fast paths on, then off.
template <typename F> void s_bothPaths(F body)
{
    const bool saved = ncnv_getFastPaths();
    for (bool fast : {true, false}) {
        ncnv_setFastPaths(fast);
        SCOPED_TRACE(fast ? "fast paths" : "plain paths");
        body();
    }
    ncnv_setFastPaths(saved);
}

template <typename S, typename T>
using Counted = int (*)(NoxUConverter*, T*, int, const S*, int, int*);
template <typename S, typename T>
using Ranged = void (*)(NoxUConverter*, T**, const T*, const S**, const S*, int*);

struct Outcome {
    int result = -1; // counted form: the returned length; ranged form: units written
    int error = kUnset;
    size_t consumed = 0; // ranged form
    std::string err;
};

// The counted form (ncnv_toUChars, ncnv_fromUChars) into all of `out`.
template <typename S, typename T>
Outcome s_counted(Counted<S, T> f, NoxUConverter* h, const Guarded<T>& out, const Guarded<S>& in,
                  int size)
{
    Outcome o;
    out.reset();
    o.err = captureStderr(
        [&] { o.result = f(h, out.begin(), out.isize(), in.begin(), size, &o.error); });
    return o;
}

// The pointer-range form (ncnv_toUnicode, ncnv_fromUnicode) from all of `in` into `out`.
template <typename S, typename T>
Outcome s_ranged(Ranged<S, T> f, NoxUConverter* h, const Guarded<T>& out, const Guarded<S>& in)
{
    Outcome o;
    out.reset();
    T* outPos = out.begin();
    const S* inPos = in.begin();
    o.err = captureStderr([&] { f(h, &outPos, out.end(), &inPos, in.end(), &o.error); });
    o.result = static_cast<int>(outPos - out.begin());
    o.consumed = static_cast<size_t>(inPos - in.begin());
    return o;
}

// Lead bytes of lengths 1 to 4 and 15 (only four bytes are taken). 0xA0 is a one-byte lead
// without a mapping, 0xC1 no lead byte at all.
std::string s_wideUcm()
{
    std::string text = "<nox_lead_bytes> 01-7F:1 81-82:2 83:3 84:4 85:F A0:1\nCHARMAP\n";
    for (int b = 1; b < 0x80; ++b) {
        char line[32];
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X |0\n", b, b);
        text += line;
    }
    return text + "<U3000> \\x81\\x40 |0\n<U3001> \\x82\\x41 |0\n<U4E00> \\x83\\x41\\x42 |0\n"
                  "<U4E01> \\x84\\x41\\x42\\x43 |0\n<U4E02> \\x85\\x41\\x42\\x43 |0\nEND CHARMAP\n";
}

#if !defined(NOX_GUARD_BEST_EFFORT)

NoxUConverter* s_wide()
{
    static const Handle handle(s_wideUcm());
    return handle.get();
}

std::string s_noMapping(const char* bytes)
{
    return std::string("No mapping for character(s) ") + bytes + "'\n";
}

TEST(GuardPageTest, ToUnicodeStopsAtTheInputEnd)
{
    const struct {
        const char* name;
        std::string bytes;
        std::vector<UChar> units; // converted before the stop; also the output room
        size_t consumed;          // by the pointer-range form
        int error;
        std::string message;
    } cases[] = {
        {"empty", "", {}, 0, 0, ""},
        {"one byte", "A", {0x41}, 1, 0, ""},
        {"two-byte lead byte last", "AB\x81", {0x41, 0x42}, 2, 8, ""},
        {"two-byte character at the limit", "\x81\x40", {0x3000}, 2, 0, ""},
        {"three-byte character cut after two", "A\x83\x41", {0x41}, 1, 8, ""},
        {"three-byte character at the limit", "\x83\x41\x42", {0x4E00}, 3, 0, ""},
        {"four-byte character cut after three", "\x84\x41\x42", {}, 0, 8, ""},
        {"four-byte lead byte last", "A\x84", {0x41}, 1, 8, ""},
        {"four-byte character at the limit", "\x84\x41\x42\x43", {0x4E01}, 4, 0, ""},
        {"length 15 cut after three", "\x85\x41\x42", {}, 0, 8, ""},
        {"length 15 takes four bytes", "\x85\x41\x42\x43", {0x4E02}, 4, 0, ""},
        {"mixed, cut at the end", "\x83\x41\x42\x84\x41\x42\x43\x81", {0x4E00, 0x4E01}, 7, 8, ""},
        {"unmapped last byte", "A\xA0", {0x41}, 1, 16, s_noMapping("\\xA0\\x00\\x00\\x00")},
        {"unmapped byte alone", "\xA0", {}, 0, 16, s_noMapping("\\xA0\\x00\\x00\\x00")},
        {"unmapped two bytes at the limit", "A\x81\x41", {0x41}, 1, 16,
         s_noMapping("\\x81\\x41\\x00\\x00")},
        {"unmapped, three bytes left", "\xA0\x41\x42", {}, 0, 16,
         s_noMapping("\\xA0\\x41\\x42\\x00")},
        {"no lead byte", "\xC1", {}, 0, 16, s_noMapping("\\xC1\\x00\\x00\\x00")}};
    s_bothPaths([&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            Guarded<char> in(c.bytes);
            Guarded<UChar> out(c.units.size(), kSentinel16), none(0, kSentinel16);
            Outcome o = s_counted(ncnv_toUChars, s_wide(), out, in, in.isize());
            EXPECT_EQ(out.isize(), o.result); // no room for the terminator
            EXPECT_EQ(c.error, o.error);
            EXPECT_EQ(c.message, o.err);
            EXPECT_EQ(c.units, out.contents());
            o = s_counted(ncnv_toUChars, s_wide(), none, in, in.isize());
            EXPECT_EQ(out.isize(), o.result);
            EXPECT_EQ(c.error != 0 ? c.error : (c.units.empty() ? 0 : 15), o.error);
            o = s_ranged(ncnv_toUnicode, s_wide(), out, in);
            EXPECT_EQ(c.error != 0 ? c.error : kUnset, o.error);
            EXPECT_EQ(c.message, o.err);
            EXPECT_EQ(c.consumed, o.consumed);
            EXPECT_EQ(c.units, out.contents());
        }
    });
}

TEST(GuardPageTest, ToUnicodeResumesAfterAFullOutput)
{
    const std::string text = "A\x81\x40\x83\x41\x42"
                             "B\x84\x41\x42\x43\x85\x41\x42\x43"
                             "C";
    s_bothPaths([&] {
        std::vector<UChar> collected;
        for (size_t from = 0; from < text.size() && collected.size() < 20;) {
            Guarded<char> in(text.substr(from));
            Guarded<UChar> out(1, kSentinel16);
            const Outcome o = s_ranged(ncnv_toUnicode, s_wide(), out, in);
            EXPECT_TRUE(o.error == kUnset || o.error == 15) << o.error;
            collected.insert(collected.end(), out.begin(), out.begin() + o.result);
            from += o.consumed;
        }
        EXPECT_EQ(noxtest::units({0x41, 0x3000, 0x4E00, 0x42, 0x4E01, 0x4E02, 0x43}), collected);
    });
}

TEST(GuardPageTest, NegativeSizeStopsAtTheTerminatingByte)
{
    const struct {
        std::string bytes; // ends with its 0 byte, the last byte before the guard page
        std::vector<UChar> units;
        int error;
        std::string message;
    } cases[] = {{std::string("AB\0", 3), {0x41, 0x42}, 0, ""},
                 {std::string("\0", 1), {}, 0, ""},
                 {std::string("A\x81\0", 3), {0x41}, 16, s_noMapping("\\x81\\x00\\x00\\x00")},
                 {std::string("\x84\x41\x42\0", 4), {}, 16, s_noMapping("\\x84\\x41\\x42\\x00")},
                 {std::string("\x85\0", 2), {}, 16, s_noMapping("\\x85\\x00\\x00\\x00")},
                 {std::string("\x83\x41\x42\0", 4), {0x4E00}, 0, ""}};
    s_bothPaths([&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(noxtest::hexBytes(c.bytes));
            Guarded<char> in(c.bytes);
            Guarded<UChar> out(c.units.size() + 1, kSentinel16);
            const Outcome o = s_counted(ncnv_toUChars, s_wide(), out, in, -1);
            EXPECT_EQ(static_cast<int>(c.units.size()), o.result);
            EXPECT_EQ(c.error, o.error);
            EXPECT_EQ(c.message, o.err);
            std::vector<UChar> expected = c.units;
            expected.push_back(0);
            EXPECT_EQ(expected, out.contents());
        }
    });
}

TEST(GuardPageTest, MblenNeverReadsPastMaxBytes)
{
    const struct {
        std::string bytes; // exactly maxBytes bytes
        int result;
        int error;
        const char* message;
    } cases[] = {{"", -1, 15, ""},
                 {"A", 1, 0, ""},
                 {"\x81", -1, 15, ""},
                 {"\x81\x40", 2, 0, ""},
                 {"\x83\x41", -1, 15, ""},
                 {"\x84\x41\x42", -1, 15, ""},
                 {"\x84\x41\x42\x43", 4, 0, ""},
                 {"\x85", -1, 15, ""},
                 {"\x85\x41\x42\x43", 4, 0, ""},
                 {std::string("\0", 1), 0, 0, ""},
                 {"\xA0", -1, 3, "No mapping for character \\xA0\n"},
                 {"\x81\x41", -1, 3, "No mapping for character \\x81\n"},
                 {"\xC1", -1, 3, "No mapping for character \\xC1\n"}};
    s_bothPaths([&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(noxtest::hexBytes(c.bytes));
            Guarded<char> in(c.bytes);
            int error = kUnset;
            int result = 0;
            const std::string err = captureStderr(
                [&] { result = ncnv_mblen(s_wide(), in.begin(), in.isize(), &error); });
            EXPECT_EQ(c.result, result);
            EXPECT_EQ(c.error, error);
            EXPECT_EQ(c.message, err);
        }
    });
}

TEST(GuardPageTest, FromUnicodeStopsAtTheOutputEnd)
{
    const struct {
        const char* name;
        std::vector<UChar> units;
        size_t room;         // output bytes
        std::string written; // by the counted form, within the room
        int result;          // of the counted form
        int countedError;
        size_t consumed; // by the pointer-range form
        int rangeError;
        const char* message;
    } cases[] = {
        {"empty", {}, 0, "", 0, 0, 0, kUnset, ""},
        {"fits, no room for the terminator", {0x41, 0x3000}, 3, "A\x81\x40", 3, 0, 2, kUnset, ""},
        {"two bytes, one left", {0x41, 0x3000}, 2, "A\xEE", 3, 15, 1, 15, ""},
        {"four bytes, three left", {0x4E01}, 3, "\xEE\xEE\xEE", 4, 15, 0, 15, ""},
        {"four bytes fit exactly", {0x4E01}, 4, "\x84\x41\x42\x43", 4, 0, 1, kUnset, ""},
        {"three then four bytes", {0x4E00, 0x4E01}, 7, "\x83\x41\x42\x84\x41\x42\x43", 7, 0, 2,
         kUnset, ""},
        {"no room at all", {0x41}, 0, "", 1, 15, 0, 15, ""},
        {"unmapped last unit", {0x41, 0xE9}, 2, std::string("A\0", 2), 1, 16, 1, 16,
         "No mapping for character <U00E9>\n"},
        {"unmapped surrogate", {0xD83D}, 1, std::string("\0", 1), 0, 16, 0, 16,
         "No mapping for character <UD83D>\n"}};
    s_bothPaths([&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            Guarded<UChar> in(c.units);
            Guarded<char> out(c.room, kSentinel8);
            Outcome o = s_counted(ncnv_fromUChars, s_wide(), out, in, in.isize());
            EXPECT_EQ(c.result, o.result);
            EXPECT_EQ(c.countedError, o.error);
            EXPECT_EQ(c.message, o.err);
            EXPECT_EQ(noxtest::hexBytes(c.written),
                      noxtest::hexBytes(std::string(out.begin(), out.end())));
            o = s_ranged(ncnv_fromUnicode, s_wide(), out, in);
            EXPECT_EQ(c.rangeError, o.error);
            EXPECT_EQ(c.message, o.err);
            EXPECT_EQ(c.consumed, o.consumed);
            // No terminator, and nothing of a character that does not fit.
            const size_t n = static_cast<size_t>(o.result);
            EXPECT_EQ(noxtest::hexBytes(c.written.substr(0, n)),
                      noxtest::hexBytes(std::string(out.begin(), n)));
            EXPECT_EQ(std::string(c.room - n, kSentinel8), std::string(out.begin() + n, out.end()));
        }
    });
}

std::string s_ascii(size_t n)
{
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text += static_cast<char>(0x21 + i % 90);
    }
    return text;
}

const size_t kRunLengths[] = {1, 2, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 256, 4097};

// Runs of characters through a code page, with room for all of them or one unit or byte
// less; then cut off by a lead byte, and ended by a 0 at a negative size.
TEST(GuardPageTest, RunsThroughCodePagesEndAtTheGuard)
{
    const Handle latin1(ncnv_getConverter("LATIN_1"));
    const struct {
        const char* name;
        NoxUConverter* h;
        bool doubleBytes; // two of every three characters are 0x81 0x40
    } kinds[] = {{"ASCII", s_wide(), false},
                 {"ASCII, Latin-1", latin1.get(), false},
                 {"double bytes", s_wide(), true}};
    for (const auto& k : kinds) {
        s_bothPaths([&] {
            for (size_t n : kRunLengths) {
                SCOPED_TRACE(std::string(k.name) + " x" + std::to_string(n));
                std::string text;
                std::vector<UChar> units;
                std::vector<size_t> ends{0}; // bytes before each unit
                for (size_t i = 0; i < n; ++i) {
                    const bool pair = k.doubleBytes && i % 3 != 2;
                    text += pair ? std::string("\x81\x40") : s_ascii(i + 1).substr(i);
                    units.push_back(pair ? 0x3000 : static_cast<UChar>(text.back()));
                    ends.push_back(text.size());
                }
                const int size = static_cast<int>(text.size());
                Guarded<char> bytesIn(text);
                Guarded<UChar> unitsIn(units);
                for (size_t room : {n, n - 1}) {
                    Guarded<UChar> out(room, kSentinel16);
                    Outcome o = s_counted(ncnv_toUChars, k.h, out, bytesIn, size);
                    EXPECT_EQ(static_cast<int>(n), o.result);
                    EXPECT_EQ(room == n ? 0 : 15, o.error);
                    EXPECT_TRUE(std::equal(out.begin(), out.end(), units.begin()));
                    o = s_ranged(ncnv_toUnicode, k.h, out, bytesIn);
                    EXPECT_EQ(room == n ? kUnset : 15, o.error);
                    EXPECT_EQ(ends[room], o.consumed);
                    EXPECT_TRUE(std::equal(out.begin(), out.end(), units.begin()));
                }
                for (size_t room : {text.size(), text.size() - 1}) {
                    const bool full = room == text.size();
                    Guarded<char> out(room, kSentinel8);
                    Outcome o = s_counted(ncnv_fromUChars, k.h, out, unitsIn, unitsIn.isize());
                    EXPECT_EQ(size, o.result);
                    EXPECT_EQ(full ? 0 : 15, o.error);
                    o = s_ranged(ncnv_fromUnicode, k.h, out, unitsIn);
                    EXPECT_EQ(full ? kUnset : 15, o.error);
                    EXPECT_EQ(full ? n : n - 1, o.consumed);
                    const size_t written = static_cast<size_t>(o.result); // whole characters
                    EXPECT_EQ(ends[o.consumed], written);
                    EXPECT_EQ(text.substr(0, written), std::string(out.begin(), written));
                    EXPECT_EQ(std::string(room - written, kSentinel8),
                              std::string(out.begin() + written, out.end()));
                }
                if (k.h == s_wide()) {
                    Guarded<char> cut(text + "\x81");
                    Guarded<UChar> out(n, kSentinel16);
                    Outcome o = s_counted(ncnv_toUChars, k.h, out, cut, cut.isize());
                    EXPECT_EQ(static_cast<int>(n), o.result);
                    EXPECT_EQ(8, o.error);
                    EXPECT_EQ(units, out.contents());
                    o = s_ranged(ncnv_toUnicode, k.h, out, cut);
                    EXPECT_EQ(8, o.error);
                    EXPECT_EQ(text.size(), o.consumed);
                }
                Guarded<char> bytesEnded(text + std::string(1, '\0'));
                Guarded<UChar> unitsOut(n + 1, kSentinel16);
                Outcome o = s_counted(ncnv_toUChars, k.h, unitsOut, bytesEnded, -1);
                EXPECT_EQ(static_cast<int>(n), o.result);
                EXPECT_EQ(0, o.error);
                EXPECT_EQ(0, unitsOut.end()[-1]);
                units.push_back(0);
                Guarded<UChar> unitsEnded(units);
                Guarded<char> bytesOut(text.size() + 1, kSentinel8);
                o = s_counted(ncnv_fromUChars, k.h, bytesOut, unitsEnded, -1);
                EXPECT_EQ(size, o.result);
                EXPECT_EQ(0, o.error);
                EXPECT_EQ(0, bytesOut.end()[-1]);
            }
        });
    }
}

// ------------------------------------------------------------------ UTF routines

template <typename S, typename T>
using UtfRoutine = utf_ConversionResult (*)(const S**, const S*, T**, T*, utf_ConversionFlags);

template <typename S, typename T> struct UtfCase {
    const char* name;
    std::vector<S> source;
    size_t room;
    utf_ConversionFlags flags;
    utf_ConversionResult result;
    size_t consumed;
    std::vector<T> written;
};

template <typename S, typename T>
void s_runUtfCases(UtfRoutine<S, T> routine, const std::vector<UtfCase<S, T>>& cases)
{
    const T sentinel = static_cast<T>(0xEEEEEEEEu);
    s_bothPaths([&] {
        for (const UtfCase<S, T>& c : cases) {
            SCOPED_TRACE(c.name);
            Guarded<S> in(c.source);
            Guarded<T> out(c.room, sentinel);
            const S* inPos = in.begin();
            T* outPos = out.begin();
            EXPECT_EQ(c.result, routine(&inPos, in.end(), &outPos, out.end(), c.flags));
            EXPECT_EQ(c.consumed, static_cast<size_t>(inPos - in.begin()));
            EXPECT_EQ(c.written, std::vector<T>(out.begin(), outPos));
            EXPECT_EQ(std::vector<T>(static_cast<size_t>(out.end() - outPos), sentinel),
                      std::vector<T>(outPos, out.end())); // nothing of a refused character
        }
    });
}

std::vector<UTF8> s_u8(const std::string& bytes)
{
    return std::vector<UTF8>(bytes.begin(), bytes.end());
}

const utf_ConversionFlags kStrict = strictConversion;
const utf_ConversionFlags kLenient = lenientConversion;

TEST(GuardPageTest, UtfRoutinesAtTheGuard)
{
    s_runUtfCases<UTF8, UTF16>(
        utf_ConvertUTF8toUTF16,
        {{"empty", {}, 0, kStrict, conversionOK, 0, {}},
         {"cut three-byte character", s_u8("A\xE2\x82"), 8, kStrict, sourceExhausted, 1, {0x41}},
         {"lead byte last", s_u8("AB\xC3"), 8, kLenient, sourceExhausted, 2, {0x41, 0x42}},
         {"five-byte lead last", s_u8("\xF8"), 8, kStrict, sourceExhausted, 0, {}},
         {"cut four-byte character", s_u8("\xF0\x9F\x98"), 2, kStrict, sourceExhausted, 0, {}},
         {"three bytes, one unit", s_u8("\xE2\x82\xAC"), 1, kStrict, conversionOK, 3, {0x20AC}},
         {"pair, one unit", s_u8("\xF0\x9F\x98\x80"), 1, kStrict, targetExhausted, 0, {}},
         {"pair fits", s_u8("\xF0\x9F\x98\x80"), 2, kStrict, conversionOK, 4, {0xD83D, 0xDE00}},
         {"no room", s_u8("A"), 0, kStrict, targetExhausted, 0, {}},
         {"surrogate, strict", s_u8("\xED\xA0\x80"), 1, kStrict, sourceIllegal, 0, {}},
         {"surrogate, lenient", s_u8("\xED\xA0\x80"), 1, kLenient, conversionOK, 3, {0xD800}},
         {"illegal last byte", s_u8("A\x80"), 2, kLenient, sourceIllegal, 1, {0x41}}});
    s_runUtfCases<UTF8, UTF32>(
        utf_ConvertUTF8toUTF32,
        {{"empty", {}, 0, kStrict, conversionOK, 0, {}},
         {"cut three-byte character", s_u8("A\xE2\x82"), 8, kStrict, sourceExhausted, 1, {0x41}},
         {"cut four-byte character", s_u8("\xF0\x9F\x98"), 1, kLenient, sourceExhausted, 0, {}},
         {"largest value", s_u8("\xF4\x8F\xBF\xBF"), 1, kStrict, conversionOK, 4, {0x10FFFF}},
         {"no room", s_u8("\xC3\xA9"), 0, kStrict, targetExhausted, 0, {}},
         {"surrogate, strict", s_u8("\xED\xBF\xBF"), 1, kStrict, sourceIllegal, 0, {}},
         {"surrogate, lenient", s_u8("\xED\xBF\xBF"), 1, kLenient, conversionOK, 3, {0xDFFF}}});
    s_runUtfCases<UTF16, UTF8>(
        utf_ConvertUTF16toUTF8,
        {{"empty", {}, 0, kStrict, conversionOK, 0, {}},
         {"high surrogate last", {0x41, 0xD83D}, 4, kStrict, conversionOK, 2,
          {0x41, 0xED, 0xA0, 0xBD}},
         {"pair fits", {0xD83D, 0xDE00}, 4, kStrict, conversionOK, 2, {0xF0, 0x9F, 0x98, 0x80}},
         {"pair, one byte short", {0xD83D, 0xDE00}, 3, kStrict, targetExhausted, 0, {}},
         {"three bytes, two left", {0x41, 0x20AC}, 3, kStrict, targetExhausted, 1, {0x41}},
         {"low surrogate, strict", {0xDC00}, 3, kStrict, sourceIllegal, 0, {}},
         {"low surrogate, lenient", {0xDC00}, 3, kLenient, conversionOK, 1, {0xED, 0xB0, 0x80}}});
    s_runUtfCases<UTF16, UTF32>(
        utf_ConvertUTF16toUTF32,
        {{"empty", {}, 0, kStrict, conversionOK, 0, {}},
         {"high surrogate last", {0x41, 0xD83D}, 2, kStrict, conversionOK, 2, {0x41, 0xD83D}},
         {"pair, one unit", {0xD83D, 0xDE00}, 1, kStrict, conversionOK, 2, {0x1F600}},
         {"full", {0x41, 0x42}, 1, kStrict, targetExhausted, 1, {0x41}},
         {"unpaired high, strict", {0xD83D, 0x41}, 2, kStrict, sourceIllegal, 0, {}}});
    s_runUtfCases<UTF32, UTF16>(
        utf_ConvertUTF32toUTF16,
        {{"empty", {}, 0, kStrict, conversionOK, 0, {}},
         {"pair, one unit", {0x1F600}, 1, kStrict, targetExhausted, 0, {}},
         {"pair fits", {0x41, 0x1F600}, 3, kStrict, conversionOK, 2, {0x41, 0xD83D, 0xDE00}},
         {"too large, strict", {0x41, 0x110000}, 2, kStrict, sourceIllegal, 1, {0x41}},
         {"too large, lenient", {0x41, 0x110000}, 2, kLenient, conversionOK, 2, {0x41, 0xFFFD}},
         {"surrogate, strict", {0xDC00}, 1, kStrict, sourceIllegal, 0, {}}});
    s_runUtfCases<UTF32, UTF8>(
        utf_ConvertUTF32toUTF8,
        {{"empty", {}, 0, kStrict, conversionOK, 0, {}},
         {"four bytes, three left", {0x10FFFF}, 3, kStrict, targetExhausted, 0, {}},
         {"four bytes fit", {0x10FFFF}, 4, kStrict, conversionOK, 1, {0xF4, 0x8F, 0xBF, 0xBF}},
         {"too large, strict", {0x110000}, 3, kStrict, sourceIllegal, 0, {}},
         {"too large, lenient", {0x110000}, 3, kLenient, conversionOK, 1, {0xEF, 0xBF, 0xBD}},
         {"two bytes, one left", {0x41, 0xE9}, 2, kStrict, targetExhausted, 1, {0x41}}});
}

TEST(GuardPageTest, ValidatorsReadOnlyTheirRange)
{
    const struct {
        std::string bytes;
        int32_t sequence; // utf_isLegalUTF8Sequence over exactly these bytes
        int32_t legal;    // utf_isLegalUTF8 with their count
    } cases[] = {{"", 0, 0},
                 {"A", 1, 1},
                 {"\xC3", 0, 1},
                 {"\xC3\xA9", 1, 1},
                 {"\xE2\x82", 0, 1},
                 {"\xE2\x82\xAC", 1, 1},
                 {"\xF0\x9F\x98", 0, 1},
                 {"\xF0\x9F\x98\x80", 1, 1},
                 {"\xED\xA0\x80", 1, 1},
                 {"\xF8\x88\x80\x80", 0, 0},
                 {"\xFC", 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(noxtest::hexBytes(c.bytes));
        Guarded<UTF8> in(c.bytes);
        EXPECT_EQ(c.sequence, utf_isLegalUTF8Sequence(in.begin(), in.end()));
        if (!c.bytes.empty()) {
            EXPECT_EQ(c.legal, utf_isLegalUTF8(in.begin(), in.isize()));
        }
    }
}

template <typename S, typename T>
void s_asciiRun(UtfRoutine<S, T> routine, const std::string& text, size_t room)
{
    Guarded<S> in(text);
    Guarded<T> out(room, static_cast<T>(0xEEEEEEEEu));
    const S* inPos = in.begin();
    T* outPos = out.begin();
    const size_t done = std::min(room, text.size());
    EXPECT_EQ(room >= text.size() ? conversionOK : targetExhausted,
              routine(&inPos, in.end(), &outPos, out.end(), strictConversion));
    EXPECT_EQ(done, static_cast<size_t>(inPos - in.begin()));
    EXPECT_EQ(out.begin() + done, outPos);
    EXPECT_TRUE(std::equal(out.begin(), outPos, text.begin()));
}

TEST(GuardPageTest, UtfAsciiRunsEndAtTheGuard)
{
    s_bothPaths([] {
        for (size_t n : kRunLengths) {
            const std::string text = s_ascii(n);
            for (size_t room : {n, n - 1}) {
                SCOPED_TRACE(std::to_string(n) + " in " + std::to_string(room));
                s_asciiRun<UTF8, UTF16>(utf_ConvertUTF8toUTF16, text, room);
                s_asciiRun<UTF8, UTF32>(utf_ConvertUTF8toUTF32, text, room);
                s_asciiRun<UTF16, UTF8>(utf_ConvertUTF16toUTF8, text, room);
                s_asciiRun<UTF16, UTF32>(utf_ConvertUTF16toUTF32, text, room);
                s_asciiRun<UTF32, UTF16>(utf_ConvertUTF32toUTF16, text, room);
                s_asciiRun<UTF32, UTF8>(utf_ConvertUTF32toUTF8, text, room);
            }
        }
    });
}

// Runs of one character, then the same character cut after every possible byte.
TEST(GuardPageTest, Utf8MultiByteRunsEndAtTheGuard)
{
    const struct {
        std::string utf8;
        std::vector<UTF16> utf16;
        UTF32 value;
    } kinds[] = {{"\xC3\xA9", {0xE9}, 0xE9},
                 {"\xE2\x82\xAC", {0x20AC}, 0x20AC},
                 {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}, 0x1F600}};
    s_bothPaths([&] {
        for (const auto& k : kinds) {
            for (size_t n : {1, 3, 4, 5, 15, 16, 17, 50}) {
                std::string run;
                std::vector<UTF16> wide;
                for (size_t i = 0; i < n; ++i) {
                    run += k.utf8;
                    wide.insert(wide.end(), k.utf16.begin(), k.utf16.end());
                }
                for (size_t cut = 0; cut < k.utf8.size(); ++cut) {
                    SCOPED_TRACE(noxtest::hexBytes(k.utf8) + " x" + std::to_string(n) + " cut " +
                                 std::to_string(cut));
                    const utf_ConversionResult ending = cut == 0 ? conversionOK : sourceExhausted;
                    Guarded<UTF8> in(run + k.utf8.substr(0, cut));
                    Guarded<UTF16> out16(wide.size(), 0xEEEE);
                    const UTF8* s = in.begin();
                    UTF16* t16 = out16.begin();
                    EXPECT_EQ(ending,
                              utf_ConvertUTF8toUTF16(&s, in.end(), &t16, out16.end(), kStrict));
                    EXPECT_EQ(out16.end(), t16);
                    EXPECT_EQ(run.size(), static_cast<size_t>(s - in.begin()));
                    Guarded<UTF32> out32(n, 0xEEEEEEEE);
                    s = in.begin();
                    UTF32* t32 = out32.begin();
                    EXPECT_EQ(ending,
                              utf_ConvertUTF8toUTF32(&s, in.end(), &t32, out32.end(), kStrict));
                    EXPECT_EQ(std::vector<UTF32>(n, k.value), out32.contents());
                    if (cut != 0) {
                        continue;
                    }
                    Guarded<UTF16> short16(wide.size() - 1, 0xEEEE); // last character unwritten
                    s = in.begin();
                    t16 = short16.begin();
                    EXPECT_EQ(targetExhausted,
                              utf_ConvertUTF8toUTF16(&s, in.end(), &t16, short16.end(), kStrict));
                    EXPECT_EQ(run.size() - k.utf8.size(), static_cast<size_t>(s - in.begin()));
                    Guarded<UTF16> wideIn(wide);
                    for (size_t room : {run.size(), run.size() - 1}) {
                        Guarded<UTF8> bytes(room, 0xEE);
                        const UTF16* ws = wideIn.begin();
                        UTF8* bt = bytes.begin();
                        EXPECT_EQ(
                            room == run.size() ? conversionOK : targetExhausted,
                            utf_ConvertUTF16toUTF8(&ws, wideIn.end(), &bt, bytes.end(), kStrict));
                        EXPECT_EQ(s_u8(run.substr(
                                      0, room == run.size() ? room : room + 1 - k.utf8.size())),
                                  std::vector<UTF8>(bytes.begin(), bt));
                    }
                }
            }
        }
    });
}

#else

// Best-effort mode is fixed by the first query in a process: this executable's child is
// forked before anything asked.
TEST(GuardPageTest, BestEffortPassThroughAtTheGuard)
{
    const std::string ucm = s_wideUcm();
    const auto r = noxtest::runInChild({{"NOX_UNICODE_CONVERT_BEST_EFFORT", "True"}}, [&] {
        Handle h(ucm);
        int failures = 0;
        s_bothPaths([&] {
            // The unmapped last byte passes through; a cut-off lead byte still stops.
            Guarded<char> in(std::string("A\xA0")), cut(std::string("\xA0\x81"));
            Guarded<char> lone(std::string("\xA0"));
            Guarded<UChar> out(2, kSentinel16), none(0, kSentinel16);
            Outcome o = s_counted(ncnv_toUChars, h.get(), out, in, 2);
            failures += o.result != 2 || o.error != 0 || out.begin()[1] != 0xA0;
            o = s_counted(ncnv_toUChars, h.get(), out, cut, 2);
            failures += o.result != 1 || o.error != 8;
            o = s_counted(ncnv_toUChars, h.get(), none, in, 2);
            failures += o.result != 2 || o.error != 8;
            failures += s_ranged(ncnv_toUnicode, h.get(), none, lone).error != 15;
            int error = kUnset;
            failures += ncnv_mblen(h.get(), lone.begin(), 1, &error) != 1;
            Guarded<UChar> units(std::vector<UChar>{0x41, 0xE9});
            Guarded<char> bytes(1, kSentinel8);
            o = s_counted(ncnv_fromUChars, h.get(), bytes, units, 2);
            failures += o.result != 2 || o.error != 15;
            o = s_ranged(ncnv_fromUnicode, h.get(), bytes, units);
            failures += o.error != 15 || o.consumed != 1;
        });
        return failures;
    });
    EXPECT_EQ(0, r.exitCode) << r.err;
}

#endif

} // namespace

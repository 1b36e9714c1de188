// guard_page_test.cpp - every conversion, every UTF routine and ncnv_mblen on inputs that end
// right before an inaccessible page and outputs whose room ends right before one. A read past
// an input's limit, or a write past an output's room, touches the protected page and kills
// the test with SIGSEGV, also in a build without sanitizers.
#include "ConvertUTF.h"
#include "environment.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using noxtest::captureStderr;
using noxtest::Handle;

const int kUnset = 99;
const UChar kSentinel16 = 0xEEEE;
const unsigned char kSentinel8 = 0xEE;

// Readable and writable pages followed by one page that may not be touched at all.
class GuardedPages {
  public:
    explicit GuardedPages(size_t bytes)
    {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        mUsable = std::max<size_t>(page, (bytes + page - 1) / page * page);
        mLength = mUsable + page;
        void* base = mmap(nullptr, mLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
        if (base == MAP_FAILED) {
            std::abort();
        }
        mBase = static_cast<unsigned char*>(base);
        if (mprotect(mBase + mUsable, page, PROT_NONE) != 0) {
            std::abort();
        }
    }
    ~GuardedPages() { munmap(mBase, mLength); }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;

    // The first inaccessible byte.
    unsigned char* guard() const { return mBase + mUsable; }

    // `count` units that end exactly at the guard page.
    template <typename T> T* tail(size_t count) const
    {
        return reinterpret_cast<T*>(guard() - count * sizeof(T));
    }

  private:
    unsigned char* mBase = nullptr;
    size_t mUsable = 0;
    size_t mLength = 0;
};

// A copy of `values` whose last unit lies right before the guard page.
template <typename T> class GuardedInput {
  public:
    explicit GuardedInput(const std::vector<T>& values)
        : mPages(values.size() * sizeof(T)), mData(mPages.tail<T>(values.size())),
          mSize(values.size())
    {
        std::copy(values.begin(), values.end(), mData);
    }
    T* begin() const { return mData; }
    T* end() const { return mData + mSize; }
    size_t size() const { return mSize; }

  private:
    GuardedPages mPages;
    T* mData;
    size_t mSize;
};

// Room for `count` units, filled with a sentinel, ending right before the guard page.
template <typename T> class GuardedOutput {
  public:
    GuardedOutput(size_t count, T fill)
        : mPages(count * sizeof(T)), mData(mPages.tail<T>(count)), mSize(count)
    {
        std::fill(mData, mData + count, fill);
    }
    T* begin() const { return mData; }
    T* end() const { return mData + mSize; }
    std::vector<T> contents() const { return std::vector<T>(mData, mData + mSize); }

  private:
    GuardedPages mPages;
    T* mData;
    size_t mSize;
};

std::vector<char> s_chars(const std::string& text)
{
    return std::vector<char>(text.begin(), text.end());
}

// Sets the fast-path switch for one scope and restores the previous setting afterwards.
class FastPaths {
  public:
    explicit FastPaths(bool on) : mSaved(ncnv_getFastPaths()) { ncnv_setFastPaths(on); }
    ~FastPaths() { ncnv_setFastPaths(mSaved); }
    FastPaths(const FastPaths&) = delete;
    FastPaths& operator=(const FastPaths&) = delete;

  private:
    bool mSaved;
};

// Lead bytes of every length from 1 to 4, and one whose lead-byte line gives 15 (only four
// bytes are ever taken). 0xA0 is a one-byte lead without a mapping, 0xC1 no lead byte at all.
std::string s_wideUcm()
{
    std::string text = "<code_set_name> \"WIDE\"\n"
                       "<nox_lead_bytes> 01-7F:1 81-82:2 83:3 84:4 85:F A0:1\n"
                       "CHARMAP\n";
    for (int b = 1; b < 0x80; ++b) {
        char line[32];
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X |0\n", b, b);
        text += line;
    }
    text += "<U3000> \\x81\\x40 |0\n"
            "<U3001> \\x82\\x41 |0\n"
            "<U4E00> \\x83\\x41\\x42 |0\n"
            "<U4E01> \\x84\\x41\\x42\\x43 |0\n"
            "<U4E02> \\x85\\x41\\x42\\x43 |0\n"
            "END CHARMAP\n";
    return text;
}

#if !defined(NOX_GUARD_BEST_EFFORT)

const Handle& s_wide()
{
    static const Handle handle(s_wideUcm());
    return handle;
}

// ------------------------------------------------------------------ code page to UTF-16

struct ToUCase {
    const char* name;
    std::string bytes;
    std::vector<UChar> units; // what the conversion yields before it stops
    size_t consumed;          // bytes consumed by the pointer-range form
    int error;                // 0: success
    const char* message;
};

const ToUCase kToUCases[] = {
    {"one byte", "A", {0x41}, 1, 0, ""},
    {"two-byte lead byte is the last byte", "AB\x81", {0x41, 0x42}, 2, 8, ""},
    {"two-byte character ends at the limit", "\x81\x40", {0x3000}, 2, 0, ""},
    {"three-byte character cut after two", "A\x83\x41", {0x41}, 1, 8, ""},
    {"three-byte character ends at the limit", "\x83\x41\x42", {0x4E00}, 3, 0, ""},
    {"four-byte character cut after three", "\x84\x41\x42", {}, 0, 8, ""},
    {"four-byte lead byte is the last byte", "A\x84", {0x41}, 1, 8, ""},
    {"four-byte character ends at the limit", "\x84\x41\x42\x43", {0x4E01}, 4, 0, ""},
    {"length 15 cut after three", "\x85\x41\x42", {}, 0, 8, ""},
    {"length 15 takes four bytes", "\x85\x41\x42\x43", {0x4E02}, 4, 0, ""},
    {"mixed lengths, cut at the end", "\x83\x41\x42\x84\x41\x42\x43\x81", {0x4E00, 0x4E01}, 7, 8,
     ""},
    {"unmapped last byte", "A\xA0", {0x41}, 1, 16,
     "No mapping for character(s) \\xA0\\x00\\x00\\x00'\n"},
    {"unmapped byte alone", "\xA0", {}, 0, 16,
     "No mapping for character(s) \\xA0\\x00\\x00\\x00'\n"},
    {"unmapped two-byte character at the limit", "A\x81\x41", {0x41}, 1, 16,
     "No mapping for character(s) \\x81\\x41\\x00\\x00'\n"},
    {"unmapped three bytes before the limit", "\xA0\x41\x42", {}, 0, 16,
     "No mapping for character(s) \\xA0\\x41\\x42\\x00'\n"},
    {"byte that starts no character", "\xC1", {}, 0, 16,
     "No mapping for character(s) \\xC1\\x00\\x00\\x00'\n"},
};

TEST(GuardPageTest, ToUCharsNeverReadsPastTheCount)
{
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        for (const ToUCase& c : kToUCases) {
            SCOPED_TRACE(std::string(c.name) + (fast ? " (fast)" : " (plain)"));
            GuardedInput<char> source(s_chars(c.bytes));
            // Room for exactly the units: the terminator has no room and must not be written.
            GuardedOutput<UChar> out(c.units.size(), kSentinel16);
            int error = kUnset;
            int result = -1;
            const std::string err = captureStderr([&] {
                result = ncnv_toUChars(s_wide().get(), out.begin(), static_cast<int>(c.units.size()),
                                       source.begin(), static_cast<int>(source.size()), &error);
            });
            EXPECT_EQ(static_cast<int>(c.units.size()), result);
            EXPECT_EQ(c.error, error);
            EXPECT_EQ(c.message, err);
            EXPECT_EQ(c.units, out.contents());

            // No room at all, the output pointer on the guard page itself.
            GuardedOutput<UChar> none(0, kSentinel16);
            error = kUnset;
            captureStderr([&] {
                result = ncnv_toUChars(s_wide().get(), none.begin(), 0, source.begin(),
                                       static_cast<int>(source.size()), &error);
            });
            EXPECT_EQ(static_cast<int>(c.units.size()), result);
            EXPECT_EQ(c.error != 0 ? c.error : (c.units.empty() ? 0 : 15), error);
        }
    }
}

TEST(GuardPageTest, ToUnicodeNeverReadsPastTheEnd)
{
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        for (const ToUCase& c : kToUCases) {
            SCOPED_TRACE(std::string(c.name) + (fast ? " (fast)" : " (plain)"));
            GuardedInput<char> source(s_chars(c.bytes));
            GuardedOutput<UChar> out(c.units.size(), kSentinel16);
            UChar* outPos = out.begin();
            const char* sourcePos = source.begin();
            int error = kUnset;
            const std::string err = captureStderr([&] {
                ncnv_toUnicode(s_wide().get(), &outPos, out.end(), &sourcePos, source.end(),
                               &error);
            });
            EXPECT_EQ(c.error != 0 ? c.error : kUnset, error);
            EXPECT_EQ(c.message, err);
            EXPECT_EQ(c.consumed, static_cast<size_t>(sourcePos - source.begin()));
            EXPECT_EQ(out.end(), outPos);
            EXPECT_EQ(c.units, out.contents());
        }
    }
}

TEST(GuardPageTest, ToUnicodeResumesAfterAFullOutput)
{
    // One unit of room at a time, each output range ending at a guard page: the pieces add up
    // to the whole text and no call writes past its room.
    const std::string text = "A\x81\x40\x83\x41\x42" "B\x84\x41\x42\x43\x85\x41\x42\x43" "C";
    const std::vector<UChar> whole = {0x41, 0x3000, 0x4E00, 0x42, 0x4E01, 0x4E02, 0x43};
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        SCOPED_TRACE(fast ? "fast" : "plain");
        GuardedInput<char> source(s_chars(text));
        const char* sourcePos = source.begin();
        std::vector<UChar> collected;
        for (int call = 0; call < 20 && sourcePos < source.end(); ++call) {
            GuardedOutput<UChar> out(1, kSentinel16);
            UChar* outPos = out.begin();
            int error = 0;
            ncnv_toUnicode(s_wide().get(), &outPos, out.end(), &sourcePos, source.end(), &error);
            EXPECT_TRUE(error == 0 || error == 15) << error;
            collected.insert(collected.end(), out.begin(), outPos);
        }
        EXPECT_EQ(source.end(), sourcePos);
        EXPECT_EQ(whole, collected);
    }
}

TEST(GuardPageTest, EmptyInputsAreNotRead)
{
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        SCOPED_TRACE(fast ? "fast" : "plain");
        GuardedInput<char> source(std::vector<char>{});
        GuardedOutput<UChar> out(0, kSentinel16);
        int error = kUnset;
        EXPECT_EQ(0, ncnv_toUChars(s_wide().get(), out.begin(), 0, source.begin(), 0, &error));
        EXPECT_EQ(0, error);
        UChar* outPos = out.begin();
        const char* sourcePos = source.begin();
        error = kUnset;
        ncnv_toUnicode(s_wide().get(), &outPos, out.end(), &sourcePos, source.end(), &error);
        EXPECT_EQ(kUnset, error);
        EXPECT_EQ(source.begin(), sourcePos);
        // maxBytes 0: nothing may be read, so the character is longer than allowed.
        error = kUnset;
        EXPECT_EQ(-1, ncnv_mblen(s_wide().get(), source.begin(), 0, &error));
        EXPECT_EQ(15, error);

        GuardedInput<UChar> units(std::vector<UChar>{});
        GuardedOutput<char> bytes(0, static_cast<char>(kSentinel8));
        error = kUnset;
        EXPECT_EQ(0, ncnv_fromUChars(s_wide().get(), bytes.begin(), 0, units.begin(), 0, &error));
        EXPECT_EQ(0, error);
        char* bytePos = bytes.begin();
        const UChar* unitPos = units.begin();
        ncnv_fromUnicode(s_wide().get(), &bytePos, bytes.end(), &unitPos, units.end(), &error);
        EXPECT_EQ(0, error);
        EXPECT_EQ(units.begin(), unitPos);
    }
}

TEST(GuardPageTest, NegativeSizeStopsAtTheTerminatingByte)
{
    struct Case {
        const char* name;
        std::string bytes; // ends with its 0 byte, the last byte before the guard page
        std::vector<UChar> units;
        int error;
        const char* message;
    } cases[] = {
        {"plain text", std::string("AB\0", 3), {0x41, 0x42}, 0, ""},
        {"nothing but the 0 byte", std::string("\0", 1), {}, 0, ""},
        {"two-byte lead before the 0", std::string("A\x81\0", 3), {0x41}, 16,
         "No mapping for character(s) \\x81\\x00\\x00\\x00'\n"},
        {"four-byte lead two bytes before the 0", std::string("\x84\x41\x42\0", 4), {}, 16,
         "No mapping for character(s) \\x84\\x41\\x42\\x00'\n"},
        {"length 15 lead before the 0", std::string("\x85\0", 2), {}, 16,
         "No mapping for character(s) \\x85\\x00\\x00\\x00'\n"},
        {"three-byte character then the 0", std::string("\x83\x41\x42\0", 4), {0x4E00}, 0, ""},
    };
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (fast ? " (fast)" : " (plain)"));
            GuardedInput<char> source(s_chars(c.bytes));
            GuardedOutput<UChar> out(c.units.size() + 1, kSentinel16);
            int error = kUnset;
            int result = -1;
            const std::string err = captureStderr([&] {
                result = ncnv_toUChars(s_wide().get(), out.begin(),
                                       static_cast<int>(c.units.size() + 1), source.begin(), -1,
                                       &error);
            });
            EXPECT_EQ(static_cast<int>(c.units.size()), result);
            EXPECT_EQ(c.error, error);
            EXPECT_EQ(c.message, err);
            std::vector<UChar> expected = c.units;
            expected.push_back(0);
            EXPECT_EQ(expected, out.contents());
        }
    }
}

TEST(GuardPageTest, MblenNeverReadsPastMaxBytes)
{
    struct Case {
        std::string bytes; // exactly maxBytes bytes, the last one before the guard page
        int result;
        int error;
        const char* message;
    } cases[] = {
        {"A", 1, 0, ""},
        {"\x81", -1, 15, ""},
        {"\x81\x40", 2, 0, ""},
        {"\x83\x41", -1, 15, ""},
        {"\x84\x41\x42", -1, 15, ""},
        {"\x84\x41\x42\x43", 4, 0, ""},
        {"\x85", -1, 15, ""},
        {"\x85\x41\x42\x43", 4, 0, ""},
        {"\xA0", -1, 3, "No mapping for character \\xA0\n"},
        {"\x81\x41", -1, 3, "No mapping for character \\x81\n"},
        {"\xC1", -1, 3, "No mapping for character \\xC1\n"},
        {std::string("\0", 1), 0, 0, ""},
    };
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        for (const Case& c : cases) {
            SCOPED_TRACE(noxtest::hexBytes(c.bytes) + (fast ? " (fast)" : " (plain)"));
            GuardedInput<char> source(s_chars(c.bytes));
            int error = kUnset;
            int result = 0;
            const std::string err = captureStderr([&] {
                result = ncnv_mblen(s_wide().get(), source.begin(),
                                    static_cast<int>(source.size()), &error);
            });
            EXPECT_EQ(c.result, result);
            EXPECT_EQ(c.error, error);
            EXPECT_EQ(c.message, err);
        }
    }
}

// ------------------------------------------------------------------ UTF-16 to code page

struct FromUCase {
    const char* name;
    std::vector<UChar> units;
    size_t room;          // output bytes, ending at the guard page
    std::string written;  // what the output holds afterwards (within the room)
    int result;           // counted form
    int countedError;
    size_t consumed;      // pointer-range form
    int rangeError;       // kUnset: left as it was
    const char* message;
};

const FromUCase kFromUCases[] = {
    {"fits exactly, no room for the terminator", {0x41, 0x3000}, 3, "\x41\x81\x40", 3, 0, 2,
     kUnset, ""},
    {"two-byte character with one byte left", {0x41, 0x3000}, 2, "\x41\xEE", 3, 15, 1, 15, ""},
    {"four-byte character with three bytes left", {0x4E01}, 3, "\xEE\xEE\xEE", 4, 15, 0, 15, ""},
    {"four-byte character fits exactly", {0x4E01}, 4, "\x84\x41\x42\x43", 4, 0, 1, kUnset, ""},
    {"three then four bytes", {0x4E00, 0x4E01}, 7, "\x83\x41\x42\x84\x41\x42\x43", 7, 0, 2,
     kUnset, ""},
    {"no room at all", {0x41}, 0, "", 1, 15, 0, 15, ""},
    {"unmapped last unit", {0x41, 0x00E9}, 2, std::string("\x41\0", 2), 1, 16, 1, 16,
     "No mapping for character <U00E9>\n"},
    {"unmapped surrogate", {0xD83D}, 1, std::string("\0", 1), 0, 16, 0, 16,
     "No mapping for character <UD83D>\n"},
};

TEST(GuardPageTest, FromUCharsNeverWritesPastTheRoom)
{
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        for (const FromUCase& c : kFromUCases) {
            SCOPED_TRACE(std::string(c.name) + (fast ? " (fast)" : " (plain)"));
            GuardedInput<UChar> source(c.units);
            GuardedOutput<char> out(c.room, static_cast<char>(kSentinel8));
            int error = kUnset;
            int result = -1;
            const std::string err = captureStderr([&] {
                result = ncnv_fromUChars(s_wide().get(), out.begin(), static_cast<int>(c.room),
                                         source.begin(), static_cast<int>(source.size()), &error);
            });
            EXPECT_EQ(c.result, result);
            EXPECT_EQ(c.countedError, error);
            EXPECT_EQ(c.message, err);
            const std::vector<char> written = out.contents();
            EXPECT_EQ(noxtest::hexBytes(c.written),
                      noxtest::hexBytes(std::string(written.begin(), written.end())));
        }
    }
}

TEST(GuardPageTest, FromUnicodeNeverWritesPastTheEnd)
{
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        for (const FromUCase& c : kFromUCases) {
            SCOPED_TRACE(std::string(c.name) + (fast ? " (fast)" : " (plain)"));
            GuardedInput<UChar> source(c.units);
            GuardedOutput<char> out(c.room, static_cast<char>(kSentinel8));
            char* outPos = out.begin();
            const UChar* sourcePos = source.begin();
            int error = kUnset;
            const std::string err = captureStderr([&] {
                ncnv_fromUnicode(s_wide().get(), &outPos, out.end(), &sourcePos, source.end(),
                                 &error);
            });
            EXPECT_EQ(c.rangeError, error);
            EXPECT_EQ(c.message, err);
            EXPECT_EQ(c.consumed, static_cast<size_t>(sourcePos - source.begin()));
            // The pointer-range form writes no terminator after a range that ends.
            std::string expected = c.written;
            if (expected.size() > c.room) {
                expected.resize(c.room);
            }
            const std::vector<char> written = out.contents();
            const std::string got(written.begin(), written.end());
            EXPECT_EQ(noxtest::hexBytes(expected.substr(0, static_cast<size_t>(outPos - out.begin()))),
                      noxtest::hexBytes(got.substr(0, static_cast<size_t>(outPos - out.begin()))));
            for (const char* p = outPos; p < out.end(); ++p) {
                EXPECT_EQ(static_cast<char>(kSentinel8), *p) << "byte " << (p - out.begin());
            }
        }
    }
}

// ------------------------------------------------------------------ fast runs at the guard

std::string s_asciiText(size_t n)
{
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text += static_cast<char>(0x21 + i % 90);
    }
    return text;
}

std::vector<size_t> s_runLengths()
{
    std::vector<size_t> lengths;
    for (size_t n = 1; n <= 40; ++n) {
        lengths.push_back(n);
    }
    for (size_t n : {47, 63, 64, 65, 100, 255, 256, 257, 1000, 1001, 4095, 4097}) {
        lengths.push_back(n);
    }
    return lengths;
}

// `leadByte81` tells whether 0x81 is a two-byte lead byte in the code page.
void s_checkAsciiRunsThroughCodePage(NoxUConverter* handle, bool leadByte81)
{
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        for (size_t n : s_runLengths()) {
            SCOPED_TRACE(std::to_string(n) + (fast ? " (fast)" : " (plain)"));
            const std::string text = s_asciiText(n);
            const std::vector<UChar> units(text.begin(), text.end());
            GuardedInput<char> bytesIn(s_chars(text));
            GuardedInput<UChar> unitsIn(units);
            const int size = static_cast<int>(n);
            for (size_t room : {n, n - 1}) {
                SCOPED_TRACE(room);
                const int expectedError = room == n ? 0 : 15;
                {
                    GuardedOutput<UChar> out(room, kSentinel16);
                    int error = kUnset;
                    EXPECT_EQ(size, ncnv_toUChars(handle, out.begin(), static_cast<int>(room),
                                                  bytesIn.begin(), size, &error));
                    EXPECT_EQ(expectedError, error);
                    EXPECT_TRUE(std::equal(out.begin(), out.end(), units.begin()));
                }
                {
                    GuardedOutput<UChar> out(room, kSentinel16);
                    UChar* outPos = out.begin();
                    const char* sourcePos = bytesIn.begin();
                    int error = kUnset;
                    ncnv_toUnicode(handle, &outPos, out.end(), &sourcePos, bytesIn.end(), &error);
                    EXPECT_EQ(expectedError == 0 ? kUnset : 15, error);
                    EXPECT_EQ(room, static_cast<size_t>(sourcePos - bytesIn.begin()));
                    EXPECT_TRUE(std::equal(out.begin(), out.end(), units.begin()));
                }
                {
                    GuardedOutput<char> out(room, static_cast<char>(kSentinel8));
                    int error = kUnset;
                    EXPECT_EQ(size, ncnv_fromUChars(handle, out.begin(), static_cast<int>(room),
                                                    unitsIn.begin(), size, &error));
                    EXPECT_EQ(expectedError, error);
                    EXPECT_TRUE(std::equal(out.begin(), out.end(), text.begin()));
                }
                {
                    GuardedOutput<char> out(room, static_cast<char>(kSentinel8));
                    char* outPos = out.begin();
                    const UChar* sourcePos = unitsIn.begin();
                    int error = kUnset;
                    ncnv_fromUnicode(handle, &outPos, out.end(), &sourcePos, unitsIn.end(), &error);
                    EXPECT_EQ(expectedError == 0 ? kUnset : 15, error);
                    EXPECT_EQ(room, static_cast<size_t>(sourcePos - unitsIn.begin()));
                    EXPECT_TRUE(std::equal(out.begin(), out.end(), text.begin()));
                }
            }
            // The run ends in a cut-off character, and the same text with its 0 byte last.
            if (leadByte81) {
                GuardedInput<char> cut(s_chars(text + "\x81"));
                GuardedOutput<UChar> out(n, kSentinel16);
                int error = kUnset;
                int result = 0;
                captureStderr([&] {
                    result = ncnv_toUChars(handle, out.begin(), size, cut.begin(), size + 1, &error);
                });
                EXPECT_EQ(size, result);
                EXPECT_EQ(8, error);
                EXPECT_TRUE(std::equal(out.begin(), out.end(), units.begin()));
            }
            {
                GuardedInput<char> terminated(s_chars(text + std::string("\0", 1)));
                GuardedOutput<UChar> out(n + 1, kSentinel16);
                int error = kUnset;
                EXPECT_EQ(size, ncnv_toUChars(handle, out.begin(), size + 1, terminated.begin(),
                                              -1, &error));
                EXPECT_EQ(0, error);
                EXPECT_EQ(0, out.end()[-1]);
                GuardedInput<UChar> unitsTerminated([&] {
                    std::vector<UChar> v = units;
                    v.push_back(0);
                    return v;
                }());
                GuardedOutput<char> bytes(n + 1, static_cast<char>(kSentinel8));
                EXPECT_EQ(size, ncnv_fromUChars(handle, bytes.begin(), size + 1,
                                                unitsTerminated.begin(), -1, &error));
                EXPECT_EQ(0, error);
                EXPECT_EQ(0, bytes.end()[-1]);
            }
        }
    }
}

TEST(GuardPageTest, AsciiRunsEndingAtTheGuardWide)
{
    s_checkAsciiRunsThroughCodePage(s_wide().get(), true);
}

TEST(GuardPageTest, AsciiRunsEndingAtTheGuardLatin1)
{
    Handle latin1(ncnv_getConverter("LATIN_1"));
    s_checkAsciiRunsThroughCodePage(latin1.get(), false);
}

TEST(GuardPageTest, DoubleByteRunsEndingAtTheGuard)
{
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        for (size_t n : {1, 2, 7, 8, 9, 15, 16, 17, 33, 100}) {
            SCOPED_TRACE(std::to_string(n) + (fast ? " (fast)" : " (plain)"));
            std::string text;
            std::vector<UChar> units;
            for (size_t i = 0; i < n; ++i) {
                text += i % 3 == 2 ? "z" : "\x81\x40";
                units.push_back(i % 3 == 2 ? 0x7A : 0x3000);
            }
            for (const std::string& tail : {std::string(), std::string("\x81")}) {
                GuardedInput<char> source(s_chars(text + tail));
                GuardedOutput<UChar> out(n, kSentinel16);
                int error = kUnset;
                EXPECT_EQ(static_cast<int>(n),
                          ncnv_toUChars(s_wide().get(), out.begin(), static_cast<int>(n),
                                        source.begin(), static_cast<int>(source.size()), &error));
                EXPECT_EQ(tail.empty() ? 0 : 8, error);
                EXPECT_EQ(units, out.contents());
                UChar* outPos = out.begin();
                const char* sourcePos = source.begin();
                error = kUnset;
                ncnv_toUnicode(s_wide().get(), &outPos, out.end(), &sourcePos, source.end(), &error);
                EXPECT_EQ(tail.empty() ? kUnset : 8, error);
                EXPECT_EQ(text.size(), static_cast<size_t>(sourcePos - source.begin()));
            }
            GuardedInput<UChar> unitsIn(units);
            for (size_t room : {text.size(), text.size() - 1}) {
                GuardedOutput<char> out(room, static_cast<char>(kSentinel8));
                int error = kUnset;
                EXPECT_EQ(static_cast<int>(text.size()),
                          ncnv_fromUChars(s_wide().get(), out.begin(), static_cast<int>(room),
                                          unitsIn.begin(), static_cast<int>(n), &error));
                EXPECT_EQ(room == text.size() ? 0 : 15, error);
                GuardedOutput<char> ranged(room, static_cast<char>(kSentinel8));
                char* outPos = ranged.begin();
                const UChar* sourcePos = unitsIn.begin();
                error = kUnset;
                ncnv_fromUnicode(s_wide().get(), &outPos, ranged.end(), &sourcePos, unitsIn.end(),
                                 &error);
                EXPECT_EQ(room == text.size() ? kUnset : 15, error);
                // A character that does not fit whole leaves its bytes unwritten.
                const std::string written(ranged.begin(), outPos);
                EXPECT_EQ(text.substr(0, written.size()), written);
                for (const char* p = outPos; p < ranged.end(); ++p) {
                    EXPECT_EQ(static_cast<char>(kSentinel8), *p);
                }
            }
        }
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
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        for (const UtfCase<S, T>& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (fast ? " (fast)" : " (plain)"));
            GuardedInput<S> source(c.source);
            GuardedOutput<T> target(c.room, sentinel);
            const S* sourcePos = source.begin();
            T* targetPos = target.begin();
            EXPECT_EQ(c.result,
                      routine(&sourcePos, source.end(), &targetPos, target.end(), c.flags));
            EXPECT_EQ(c.consumed, static_cast<size_t>(sourcePos - source.begin()));
            EXPECT_EQ(c.written, std::vector<T>(target.begin(), targetPos));
            // Nothing of a character that did not fit is written.
            for (const T* p = targetPos; p < target.end(); ++p) {
                EXPECT_EQ(sentinel, *p) << "unit " << (p - target.begin());
            }
        }
    }
}

std::vector<UTF8> s_u8(const std::string& bytes)
{
    return std::vector<UTF8>(bytes.begin(), bytes.end());
}

const utf_ConversionFlags kStrict = strictConversion;
const utf_ConversionFlags kLenient = lenientConversion;

TEST(GuardPageTest, Utf8ToUtf16AtTheGuard)
{
    s_runUtfCases<UTF8, UTF16>(
        utf_ConvertUTF8toUTF16,
        {
            {"empty", {}, 0, kStrict, conversionOK, 0, {}},
            {"cut three-byte character", s_u8("A\xE2\x82"), 8, kStrict, sourceExhausted, 1, {0x41}},
            {"lead byte last", s_u8("AB\xC3"), 8, kLenient, sourceExhausted, 2, {0x41, 0x42}},
            {"five-byte lead last", s_u8("\xF8"), 8, kStrict, sourceExhausted, 0, {}},
            {"cut four-byte character", s_u8("\xF0\x9F\x98"), 2, kStrict, sourceExhausted, 0, {}},
            {"three bytes, one unit of room", s_u8("\xE2\x82\xAC"), 1, kStrict, conversionOK, 3,
             {0x20AC}},
            {"pair needs two units, has one", s_u8("\xF0\x9F\x98\x80"), 1, kStrict,
             targetExhausted, 0, {}},
            {"pair fits exactly", s_u8("\xF0\x9F\x98\x80"), 2, kStrict, conversionOK, 4,
             {0xD83D, 0xDE00}},
            {"no room", s_u8("A"), 0, kStrict, targetExhausted, 0, {}},
            {"surrogate form, strict", s_u8("\xED\xA0\x80"), 1, kStrict, sourceIllegal, 0, {}},
            {"surrogate form, lenient", s_u8("\xED\xA0\x80"), 1, kLenient, conversionOK, 3,
             {0xD800}},
            {"illegal last byte", s_u8("A\x80"), 2, kLenient, sourceIllegal, 1, {0x41}},
        });
}

TEST(GuardPageTest, Utf8ToUtf32AtTheGuard)
{
    s_runUtfCases<UTF8, UTF32>(
        utf_ConvertUTF8toUTF32,
        {
            {"empty", {}, 0, kStrict, conversionOK, 0, {}},
            {"cut three-byte character", s_u8("A\xE2\x82"), 8, kStrict, sourceExhausted, 1, {0x41}},
            {"cut four-byte character", s_u8("\xF0\x9F\x98"), 1, kLenient, sourceExhausted, 0, {}},
            {"largest value, exact room", s_u8("\xF4\x8F\xBF\xBF"), 1, kStrict, conversionOK, 4,
             {0x10FFFF}},
            {"no room", s_u8("\xC3\xA9"), 0, kStrict, targetExhausted, 0, {}},
            {"surrogate form, strict", s_u8("\xED\xBF\xBF"), 1, kStrict, sourceIllegal, 0, {}},
            {"surrogate form, lenient", s_u8("\xED\xBF\xBF"), 1, kLenient, conversionOK, 3,
             {0xDFFF}},
        });
}

TEST(GuardPageTest, Utf16ToUtf8AtTheGuard)
{
    s_runUtfCases<UTF16, UTF8>(
        utf_ConvertUTF16toUTF8,
        {
            {"empty", {}, 0, kStrict, conversionOK, 0, {}},
            {"high surrogate last", {0x41, 0xD83D}, 4, kStrict, conversionOK, 2,
             {0x41, 0xED, 0xA0, 0xBD}},
            {"pair fits exactly", {0xD83D, 0xDE00}, 4, kStrict, conversionOK, 2,
             {0xF0, 0x9F, 0x98, 0x80}},
            {"pair, one byte short", {0xD83D, 0xDE00}, 3, kStrict, targetExhausted, 0, {}},
            {"three bytes, two of room", {0x41, 0x20AC}, 3, kStrict, targetExhausted, 1, {0x41}},
            {"lone low surrogate, strict", {0xDC00}, 3, kStrict, sourceIllegal, 0, {}},
            {"lone low surrogate, lenient", {0xDC00}, 3, kLenient, conversionOK, 1,
             {0xED, 0xB0, 0x80}},
        });
}

TEST(GuardPageTest, Utf16ToUtf32AtTheGuard)
{
    s_runUtfCases<UTF16, UTF32>(
        utf_ConvertUTF16toUTF32,
        {
            {"empty", {}, 0, kStrict, conversionOK, 0, {}},
            {"high surrogate last", {0x41, 0xD83D}, 2, kStrict, conversionOK, 2, {0x41, 0xD83D}},
            {"pair, one unit of room", {0xD83D, 0xDE00}, 1, kStrict, conversionOK, 2, {0x1F600}},
            {"full", {0x41, 0x42}, 1, kStrict, targetExhausted, 1, {0x41}},
            {"unpaired high, strict", {0xD83D, 0x41}, 2, kStrict, sourceIllegal, 0, {}},
        });
}

TEST(GuardPageTest, Utf32ToUtf16AtTheGuard)
{
    s_runUtfCases<UTF32, UTF16>(
        utf_ConvertUTF32toUTF16,
        {
            {"empty", {}, 0, kStrict, conversionOK, 0, {}},
            {"pair, one unit of room", {0x1F600}, 1, kStrict, targetExhausted, 0, {}},
            {"pair fits exactly", {0x41, 0x1F600}, 3, kStrict, conversionOK, 2,
             {0x41, 0xD83D, 0xDE00}},
            {"above the maximum, strict", {0x41, 0x110000}, 2, kStrict, sourceIllegal, 1, {0x41}},
            {"above the maximum, lenient", {0x41, 0x110000}, 2, kLenient, conversionOK, 2,
             {0x41, 0xFFFD}},
            {"surrogate value, strict", {0xDC00}, 1, kStrict, sourceIllegal, 0, {}},
        });
}

TEST(GuardPageTest, Utf32ToUtf8AtTheGuard)
{
    s_runUtfCases<UTF32, UTF8>(
        utf_ConvertUTF32toUTF8,
        {
            {"empty", {}, 0, kStrict, conversionOK, 0, {}},
            {"four bytes, three of room", {0x10FFFF}, 3, kStrict, targetExhausted, 0, {}},
            {"four bytes fit exactly", {0x10FFFF}, 4, kStrict, conversionOK, 1,
             {0xF4, 0x8F, 0xBF, 0xBF}},
            {"above the maximum, strict", {0x110000}, 3, kStrict, sourceIllegal, 0, {}},
            {"above the maximum, lenient", {0x110000}, 3, kLenient, conversionOK, 1,
             {0xEF, 0xBF, 0xBD}},
            {"two bytes, one of room", {0x41, 0xE9}, 2, kStrict, targetExhausted, 1, {0x41}},
        });
}

TEST(GuardPageTest, ValidatorsReadOnlyTheirRange)
{
    struct Case {
        std::string bytes;
        int32_t sequence; // utf_isLegalUTF8Sequence over exactly these bytes
        int32_t legal;    // utf_isLegalUTF8 with their count as the length
    } cases[] = {
        {"", 0, 0},
        {"A", 1, 1},
        {"\xC3", 0, 1},
        {"\xC3\xA9", 1, 1},
        {"\xE2\x82", 0, 1},
        {"\xE2\x82\xAC", 1, 1},
        {"\xF0\x9F\x98", 0, 1},
        {"\xF0\x9F\x98\x80", 1, 1},
        {"\xED\xA0\x80", 1, 1},
        {"\xF8\x88\x80\x80", 0, 0},
        {"\xFC", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(noxtest::hexBytes(c.bytes));
        GuardedInput<UTF8> source(s_u8(c.bytes));
        EXPECT_EQ(c.sequence, utf_isLegalUTF8Sequence(source.begin(), source.end()));
        if (!c.bytes.empty()) {
            EXPECT_EQ(c.legal, utf_isLegalUTF8(source.begin(), static_cast<int32_t>(source.size())));
        }
    }
}

template <typename S, typename T>
void s_checkAsciiRun(UtfRoutine<S, T> routine, const std::string& text, size_t room)
{
    const std::vector<S> source(text.begin(), text.end());
    GuardedInput<S> in(source);
    GuardedOutput<T> out(room, static_cast<T>(0xEEEEEEEEu));
    const S* sourcePos = in.begin();
    T* targetPos = out.begin();
    const utf_ConversionResult result =
        routine(&sourcePos, in.end(), &targetPos, out.end(), strictConversion);
    EXPECT_EQ(room >= text.size() ? conversionOK : targetExhausted, result);
    EXPECT_EQ(std::min(room, text.size()), static_cast<size_t>(sourcePos - in.begin()));
    EXPECT_EQ(out.begin() + std::min(room, text.size()), targetPos);
    EXPECT_TRUE(std::equal(out.begin(), targetPos, text.begin()));
}

TEST(GuardPageTest, UtfAsciiRunsEndingAtTheGuard)
{
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        for (size_t n : s_runLengths()) {
            SCOPED_TRACE(std::to_string(n) + (fast ? " (fast)" : " (plain)"));
            const std::string text = s_asciiText(n);
            for (size_t room : {n, n - 1}) {
                SCOPED_TRACE(room);
                s_checkAsciiRun<UTF8, UTF16>(utf_ConvertUTF8toUTF16, text, room);
                s_checkAsciiRun<UTF8, UTF32>(utf_ConvertUTF8toUTF32, text, room);
                s_checkAsciiRun<UTF16, UTF8>(utf_ConvertUTF16toUTF8, text, room);
                s_checkAsciiRun<UTF16, UTF32>(utf_ConvertUTF16toUTF32, text, room);
                s_checkAsciiRun<UTF32, UTF16>(utf_ConvertUTF32toUTF16, text, room);
                s_checkAsciiRun<UTF32, UTF8>(utf_ConvertUTF32toUTF8, text, room);
            }
        }
    }
}

TEST(GuardPageTest, Utf8MultiByteRunsEndingAtTheGuard)
{
    // Runs of one kind of character, each followed by the same character cut after every
    // possible byte: the readers stop at the cut character and never look past the end.
    struct Kind {
        std::string utf8;
        std::vector<UTF16> utf16;
        UTF32 value;
    } kinds[] = {
        {"\xC3\xA9", {0xE9}, 0xE9},
        {"\xE2\x82\xAC", {0x20AC}, 0x20AC},
        {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}, 0x1F600},
    };
    for (bool fast : {true, false}) {
        FastPaths paths(fast);
        for (const Kind& k : kinds) {
            for (size_t n : {1, 3, 4, 5, 15, 16, 17, 50}) {
                for (size_t cut = 0; cut < k.utf8.size(); ++cut) {
                    SCOPED_TRACE(noxtest::hexBytes(k.utf8) + " x" + std::to_string(n) + " cut " +
                                 std::to_string(cut) + (fast ? " (fast)" : " (plain)"));
                    std::string text;
                    for (size_t i = 0; i < n; ++i) {
                        text += k.utf8;
                    }
                    text += k.utf8.substr(0, cut);
                    const utf_ConversionResult ending = cut == 0 ? conversionOK : sourceExhausted;
                    GuardedInput<UTF8> in(s_u8(text));
                    {
                        GuardedOutput<UTF16> out(n * k.utf16.size(), 0xEEEE);
                        const UTF8* s = in.begin();
                        UTF16* t = out.begin();
                        EXPECT_EQ(ending, utf_ConvertUTF8toUTF16(&s, in.end(), &t, out.end(),
                                                                 strictConversion));
                        EXPECT_EQ(out.end(), t);
                        EXPECT_EQ(n * k.utf8.size(), static_cast<size_t>(s - in.begin()));
                    }
                    {
                        GuardedOutput<UTF32> out(n, 0xEEEEEEEE);
                        const UTF8* s = in.begin();
                        UTF32* t = out.begin();
                        EXPECT_EQ(ending, utf_ConvertUTF8toUTF32(&s, in.end(), &t, out.end(),
                                                                 strictConversion));
                        EXPECT_EQ(out.end(), t);
                        EXPECT_EQ(std::vector<UTF32>(n, k.value), out.contents());
                    }
                    if (cut == 0) {
                        // One unit short: the last character is not written in part.
                        GuardedOutput<UTF16> out(n * k.utf16.size() - 1, 0xEEEE);
                        const UTF8* s = in.begin();
                        UTF16* t = out.begin();
                        EXPECT_EQ(targetExhausted, utf_ConvertUTF8toUTF16(&s, in.end(), &t,
                                                                          out.end(),
                                                                          strictConversion));
                        EXPECT_EQ((n - 1) * k.utf8.size(), static_cast<size_t>(s - in.begin()));
                        // The UTF-8 form from UTF-16, exact and one byte short.
                        std::vector<UTF16> wide;
                        for (size_t i = 0; i < n; ++i) {
                            wide.insert(wide.end(), k.utf16.begin(), k.utf16.end());
                        }
                        GuardedInput<UTF16> wideIn(wide);
                        for (size_t room : {text.size(), text.size() - 1}) {
                            GuardedOutput<UTF8> bytes(room, 0xEE);
                            const UTF16* ws = wideIn.begin();
                            UTF8* bt = bytes.begin();
                            EXPECT_EQ(room == text.size() ? conversionOK : targetExhausted,
                                      utf_ConvertUTF16toUTF8(&ws, wideIn.end(), &bt, bytes.end(),
                                                             strictConversion));
                            EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes.begin()),
                                                  reinterpret_cast<char*>(bt)),
                                      text.substr(0, room == text.size() ? room
                                                                         : room + 1 - k.utf8.size()));
                        }
                    }
                }
            }
        }
    }
}

#else

// ------------------------------------------------------------------ best-effort mode

// Built as an executable of its own: best-effort mode is fixed by the first query in a
// process, so the child forked here must come from a process that never asked.
TEST(GuardPageTest, BestEffortPassThroughAtTheGuard)
{
    const std::string ucm = s_wideUcm();
    const auto r = noxtest::runInChild({{"NOX_UNICODE_CONVERT_BEST_EFFORT", "True"}}, [&] {
        Handle h(ucm);
        int failures = 0;
        for (bool fast : {true, false}) {
            FastPaths paths(fast);
            {
                // The unmapped last byte passes through; a cut-off lead byte still stops.
                GuardedInput<char> source(s_chars("A\xA0"));
                GuardedOutput<UChar> out(2, kSentinel16);
                int error = kUnset;
                failures += ncnv_toUChars(h.get(), out.begin(), 2, source.begin(), 2, &error) != 2;
                failures += error != 0 || out.begin()[1] != 0xA0;
                GuardedInput<char> cut(s_chars("\xA0\x81"));
                error = kUnset;
                failures += ncnv_toUChars(h.get(), out.begin(), 2, cut.begin(), 2, &error) != 1;
                failures += error != 8;
                GuardedOutput<UChar> none(0, kSentinel16);
                failures += ncnv_toUChars(h.get(), none.begin(), 0, source.begin(), 2, &error) != 2;
                failures += error != 8;
                UChar* outPos = none.begin();
                const char* sourcePos = source.begin() + 1;
                error = kUnset;
                ncnv_toUnicode(h.get(), &outPos, none.end(), &sourcePos, source.end(), &error);
                failures += error != 15;
                failures += ncnv_mblen(h.get(), source.begin() + 1, 1, &error) != 1;
            }
            {
                GuardedInput<UChar> source(std::vector<UChar>{0x41, 0xE9});
                GuardedOutput<char> out(1, static_cast<char>(kSentinel8));
                int error = kUnset;
                failures += ncnv_fromUChars(h.get(), out.begin(), 1, source.begin(), 2, &error) != 2;
                failures += error != 15;
                char* outPos = out.begin();
                const UChar* sourcePos = source.begin();
                error = kUnset;
                ncnv_fromUnicode(h.get(), &outPos, out.end(), &sourcePos, source.end(), &error);
                failures += error != 15 || sourcePos != source.begin() + 1;
            }
        }
        return failures;
    });
    EXPECT_EQ(0, r.exitCode) << r.err;
}

#endif

} // namespace

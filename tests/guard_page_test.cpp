// guard_page_test.cpp - code-page inputs and rooms ending right before an inaccessible page (a
// read or write past a limit dies with SIGSEGV) at every kernel level, each giving what Exact
// gives. The UTF tests place every text and room the same way.
#include "environment.h"
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <numeric>
#include <string>
#include <vector>

namespace {

using noxtest::Call;

// Lead bytes of lengths 1 to 4 and 15 (four taken); 0xA0 unmapped, 0xC1 no lead byte.
const char* const kWideUcm =
    "<nox_lead_bytes> 01-7F:1 81:2 83:3 84:4 85:F A0:1\n<U0041> \\x41 |0\n<U0042> \\x42 |0\n"
    "<U3000> \\x81\\x40 |0\n<U4E00> \\x83\\x41\\x42 |0\n<U4E01> \\x84\\x41\\x42\\x43 |0\n"
    "<U4E02> \\x85\\x41\\x42\\x43 |0\n";

// Every prefix of each text (each character cut after each of its bytes right at the guard
// page), counted with every room from none to more than it needs, also ended by a 0, through
// the pointer range and through mblen: every level gives what level Exact gives.
void s_everyPrefixAndRoom(NoxUConverter* h)
{
    for (const std::string text : {"A\x81\x40\x83\x41\x42\x84\x41\x42\x43\x85\x41\x42\x43",
                                   "A\xA0\x42", "B\xC1", "\x81\x41\x42"}) {
        for (int end = 0; end <= int(text.size()); ++end) {
            const std::string in = text.substr(0, size_t(end));
            noxtest::expectEveryLevelAsExact([&] {
                std::vector<Call> retval = {noxtest::mblen(h, in, end),
                                            noxtest::mblen(h, in + '\0', end + 1)};
                for (int room = -1; room <= end + 1; ++room) {
                    retval.push_back(noxtest::toUChars(h, in, end, room));
                    retval.push_back(noxtest::toUChars(h, in + '\0', -1, room));
                    retval.push_back(noxtest::toUnicode(h, in, size_t(end), size_t(room + 1)));
                }
                return retval;
            });
        }
    }
}

#if !defined(NOX_GUARD_BEST_EFFORT)

TEST(GuardPageTest, CutCharactersAndFullRoomsStopAtTheGuard)
{
    s_everyPrefixAndRoom(noxtest::Handle(kWideUcm).get());
}

// A text ends at its 0 whatever the count or range says: 0-terminated texts of every length
// from 1 to 80 and of up to three pages, whose 0 is followed by bytes or units that are not 0
// up to the guard page (none, or as many as put the 0 in every lane of a block), converted
// with counts and ranges of its length, one less, one more, and far beyond.
TEST(GuardPageTest, TextEndsAtItsZeroWhateverTheCount)
{
    // Each page with a unit beyond ASCII that it maps (the bytes 0x82 0xA0 map in every one:
    // two Latin or Cyrillic characters, or one double-byte character).
    const std::pair<std::string, char16_t> pages[] = {
        {"/LATIN_1", 0xE9}, {"CP1251", 0x430}, {"SJIS", 0x3042}, {"GBK", 0x3042}};
    const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    // The long texts first, then every length from 1 to 80.
    std::vector<size_t> lengths = {100, pageSize - 1, pageSize + 7, 2 * pageSize + 33};
    lengths.resize(4 + 80);
    std::iota(lengths.begin() + 4, lengths.end(), 1);
    const int far = INT_MAX;
    // The short texts with a few lengths after the 0, the long ones with many.
    const std::vector<size_t> kShortAfters = {0, 17, 65},
                              kLongAfters = {0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 200};
    for (const auto& [name, upper] : pages) {
        const noxtest::Handle h(
            name[0] == '/' ? ncnv_getConverter(name.c_str() + 1)
                           : ncnv_loadConverter((NOX_DATA_DIR "/ucm/" + name + ".ucm").c_str()));
        for (const size_t length : lengths) {
            // ASCII and, now and then, the bytes 0x82 0xA0 and the page's upper unit.
            std::string bytes;
            std::u16string units;
            for (size_t i = 0; units.size() < length; ++i) {
                const bool wide = (i * 7 + length) % 5 < 2;
                const auto ascii = char(0x21 + (i * 13 + length) % 90);
                bytes += wide && bytes.size() + 2 <= length ? "\x82\xA0" : std::string(1, ascii);
                units += wide ? upper : char16_t(ascii);
            }
            bytes.resize(length); // at least one byte a unit
            for (const size_t after : length <= 80 ? kShortAfters : kLongAfters) {
                SCOPED_TRACE(testing::Message()
                             << name << ", length " << length << ", after " << after);
                const std::string inBytes = bytes + '\0' + std::string(after, 'A');
                const std::u16string inUnits = units + u'\0' + std::u16string(after, u'A');
                const size_t room = 2 * length + 2;
                const auto outcomes = [&] {
                    std::vector<Call> retval;
                    for (const int count :
                         {far, int(length), int(length) - 1, int(length) + 1, -1}) {
                        retval.push_back(noxtest::toUChars(h.get(), inBytes, count, int(room)));
                        retval.push_back(noxtest::fromUChars(h.get(), inUnits, count, int(room)));
                        retval.push_back(noxtest::mblen(h.get(), inBytes, count));
                    }
                    for (const size_t end : {length, length + 1, size_t(far)}) {
                        retval.push_back(noxtest::toUnicode(h.get(), inBytes, end, room));
                        retval.push_back(noxtest::fromUnicode(h.get(), inUnits, end, room));
                    }
                    return retval;
                };
                const std::vector<Call> first = outcomes(); // the text converts whole, up to its 0
                EXPECT_TRUE(first[0].error == NCNV_OK && first[1].error == NCNV_OK);
                noxtest::expectEveryLevelAsExact(outcomes);
            }
        }
    }
}

#else

// Best-effort mode is fixed by the first query in a process: the child is forked before
// anything asked. Unmapped bytes, and units up to 0xFF, pass through where there is room; a
// byte passed through without room reports itself as out of bounds, a mapped one as overflow.
TEST(GuardPageTest, BestEffortPassThroughAtTheGuard)
{
    const auto r = noxtest::runInChild({{"NOX_UNICODE_CONVERT_BEST_EFFORT", "True"}}, [] {
        const noxtest::Handle h(kWideUcm);
        s_everyPrefixAndRoom(h.get());
        const struct {
            const char* name;
            std::function<Call()> call;
            int result, error;
        } rows[] = {
            {"byte without room", [&] { return noxtest::toUChars(h.get(), "A\xA0", 2, 1); }, 2,
             NCNV_INDEX_OUTOFBOUNDS},
            {"mapped byte without room",
             [&] { return noxtest::toUChars(h.get(), "\xA0\x41", 2, 1); }, 2, NCNV_BUFFER_OVERFLOW},
            {"unit up to 0xFF", [&] { return noxtest::fromUChars(h.get(), u"\xE9\x41", 2, 3); }, 2,
             NCNV_OK},
            {"unit above 0xFF", [&] { return noxtest::fromUChars(h.get(), u"\xE9\x100", 2, 3); }, 1,
             NCNV_UNSUPPORTED},
        };
        noxtest::forEachLevel([&] {
            for (const auto& row : rows) {
                const Call c = row.call();
                EXPECT_EQ(std::make_pair(row.result, row.error), std::make_pair(c.result, c.error))
                    << row.name;
            }
        });
        return ncnv_getConvertBestEffort() && !testing::Test::HasFailure() ? 0 : 1;
    });
    EXPECT_EQ(0, r.exitCode) << r.err;
}

#endif

} // namespace

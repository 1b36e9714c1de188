// levels_test.cpp - every kernel level gives exactly what level Exact gives on every key of
// every shipped code page and on self-mapped runs that stop at every position of the blocks.
#include "NoxUCharConverter.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace {

using namespace noxtest;

// Converts all of `in` with the pointer-range form, going on past each failure, and appends
// the output and, per failure, its position and code.
template <typename In, typename Out>
void s_convertAll(void (*convert)(NoxUConverter*, Out**, const Out*, const In**, const In*, int*),
                  NoxUConverter* h, const std::vector<In>& in, std::vector<long long>& outcome)
{
    std::vector<Out> out(4 * in.size() + 8);
    for (const In* source = in.data(); source < in.data() + in.size();) {
        Out* target = out.data();
        int error = NCNV_OK;
        convert(h, &target, out.data() + out.size(), &source, in.data() + in.size(), &error);
        outcome.insert(outcome.end(), out.data(), target);
        if (error != NCNV_OK) {
            outcome.insert(outcome.end(), {(1LL << 32) + error, source - in.data()});
            ++source; // past the byte or unit that failed
        }
    }
}

// Every key of the page, each followed by a separator, and every UTF-16 unit.
TEST(LevelsTest, EveryKeyOfEveryShippedCodePage)
{
    const std::vector<std::string> pages = shippedCodePages();
    ASSERT_FALSE(pages.empty());
    std::vector<UChar> units(0xFFFF);
    std::iota(units.begin(), units.end(), UChar(1));
    for (const std::string& path : pages) {
        SCOPED_TRACE(path);
        const Handle h(ncnv_loadConverter(path.c_str()));
        const NoxUCharConverter c(path.c_str());
        std::vector<char> bytes;
        for (unsigned first = 1; first < 256; ++first) {
            const unsigned length = c.leadBytes.bytes[first];
            for (unsigned second = 1; second < (length == 2 ? 256u : 2u); ++second) {
                bytes.push_back(static_cast<char>(first));
                bytes.insert(bytes.end(), length >= 2 ? 1 : 0, static_cast<char>(second));
                bytes.insert(bytes.end(), std::min(length, 4u) - std::min(length, 2u), '\x81');
                bytes.push_back('A');
            }
        }
        expectEveryLevelAsExact([&] {
            std::vector<long long> outcome;
            const std::string messages = captureStderr([&] {
                s_convertAll(ncnv_toUnicode, h.get(), bytes, outcome);
                s_convertAll(ncnv_fromUnicode, h.get(), units, outcome);
            });
            return std::make_pair(outcome, messages);
        });
    }
}

// Long runs with one unit that stops the narrowing or gathering blocks at every position of the
// first rounds: on the pages whose units map to themselves (the built-in LATIN_1 among them), runs
// of ASCII alone or with units 0xC0-0xFF, and the same runs as bytes; on pages whose units are
// gathered, runs of ASCII with Cyrillic letters, and ASCII on a page where it does not map to
// itself. Lengths 300 to 331 start the text (which ends at a guard page) at every offset from a
// 32-byte boundary; lengths from 512 on, long enough for the runs that first step to a 64-byte
// boundary of the output, put the output at every offset from one. The stop at every position of
// the shortest, and at the first 80 positions, every 23rd and the last eight of the others; and the
// same text without the stop against a full output at each of those positions.
TEST(LevelsTest, BlockKernelsStopAtEveryPosition)
{
    const struct {
        const char* page;
        char16_t upper;    // the run has units from here (0xC0 or 0x410, 64 of them) besides ASCII
        char16_t unitStop; // the unit that stops the narrowing
        int byteStop;      // the byte that stops the widening, -1 for none
        int firstLength;   // the lengths tried: firstLength and the `lengths` - 1 after it
        int lengths;
    } runs[] = {
        {"ISO-8859-1", 0xC0, u'\0', 0, 300, 32},    {"ISO-8859-1", 0xC0, u'\x100', -1, 300, 32},
        {"ISO-8859-1", 0, u'\xFFFF', -1, 300, 32},  {"LATIN_1", 0, u'\0', 0, 512, 64},
        {"LATIN_1", 0xC0, u'\x100', 0, 520, 32},    {"ISO-8859-1", 0xC0, u'\xFF00', -1, 700, 8},
        {"CP1252", 0, u'\x81', 0x81, 300, 32},      {"CP1252", 0xC0, u'\x2019', 0x92, 300, 32},
        {"CP1252", 0, u'\xE9', 0xE9, 300, 32},      {"CP1252", 0xC0, u'\x80', 0x81, 512, 32},
        {"CP1251", 0x410, u'\x100', 0x98, 300, 32}, {"CP1251", 0x410, u'\x457', 0xBF, 300, 32},
        {"CP1251", 0x410, u'\0', 0, 512, 16},       {"CP037", 0, u'\x100', -1, 300, 32}};
    for (const auto& run : runs) {
        // LATIN_1 is the built-in table.
        const Handle h(
            std::string(run.page) == "LATIN_1"
                ? ncnv_getConverter("LATIN_1")
                : ncnv_loadConverter(
                      (std::string(NOX_DATA_DIR) + "/ucm/" + run.page + ".ucm").c_str()));
        const int lastLength = run.firstLength + run.lengths - 1;
        for (int length = run.firstLength; length <= lastLength && !HasFailure(); ++length) {
            std::u16string text;
            for (int i = 0; i < length; ++i) {
                text += char16_t(run.upper != 0 && i % 7 == 3 ? run.upper + i % 64 : 0x20 + i % 95);
            }
            const std::u16string clean = text + u'\0';
            // The bytes of the upper units are 0xC0-0xFF on every page here.
            std::string mbClean;
            for (const char16_t unit : clean) {
                mbClean += char(unit >= 0x100 ? 0xC0 + unit % 64 : unit);
            }
            for (int at = 0; at < length && !HasFailure(); ++at) {
                if (length != run.firstLength && at >= 80 && at % 23 != 0 && at < length - 8) {
                    continue;
                }
                std::u16string in = clean; // the 0 for the count -1
                in[size_t(at)] = run.unitStop;
                std::string mbIn = mbClean;
                mbIn[size_t(at)] = char(run.byteStop);
                expectEveryLevelAsExact(
                    [&] {
                        std::vector<Call> retval{
                            fromUChars(h.get(), in, length, length + 1),
                            fromUChars(h.get(), in, length, -1),
                            fromUChars(h.get(), in, -1, at + 1),
                            fromUnicode(h.get(), in, size_t(length), size_t(length)),
                            fromUChars(h.get(), clean, length, at),
                            fromUnicode(h.get(), clean, size_t(length), size_t(at))};
                        if (run.byteStop >= 0) {
                            retval.push_back(toUChars(h.get(), mbIn, length, length + 1));
                            retval.push_back(toUChars(h.get(), mbIn, -1, at + 1));
                            retval.push_back(
                                toUnicode(h.get(), mbIn, size_t(length), size_t(length)));
                            retval.push_back(toUChars(h.get(), mbClean, -1, at));
                            retval.push_back(
                                toUnicode(h.get(), mbClean, size_t(length), size_t(at)));
                        }
                        return retval;
                    },
                    std::string(run.page) + " " + hex(std::u16string(1, run.unitStop)) + " at " +
                        std::to_string(at) + " of " + std::to_string(length));
            }
        }
    }
}

} // namespace

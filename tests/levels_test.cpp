// levels_test.cpp - every kernel level gives exactly what level Exact gives on every key of
// every shipped code page and on runs that stop in every lane of every block.
#include "NoxUCharConverter.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using namespace noxtest;

// Converts all of `in` with the pointer-range form, going on past each failure: the output,
// per failure its position and code, and the messages.
template <typename In, typename Out>
std::pair<std::vector<unsigned>, std::string>
s_convertAll(void (*convert)(NoxUConverter*, Out**, const Out*, const In**, const In*, int*),
             NoxUConverter* h, const std::vector<In>& in)
{
    std::vector<Out> out(4 * in.size() + 8);
    std::pair<std::vector<unsigned>, std::string> retval;
    retval.second = captureStderr([&] {
        for (const In* source = in.data(); source < in.data() + in.size();) {
            Out* target = out.data();
            int error = NCNV_OK;
            convert(h, &target, out.data() + out.size(), &source, in.data() + in.size(), &error);
            retval.first.insert(retval.first.end(),
                                reinterpret_cast<std::make_unsigned_t<Out>*>(out.data()),
                                reinterpret_cast<std::make_unsigned_t<Out>*>(target));
            if (error != NCNV_OK) {
                retval.first.push_back(0x1000000u | static_cast<unsigned>(error) << 16 |
                                       static_cast<unsigned>(source - in.data()));
                ++source; // past the byte or unit that failed
            }
        }
    });
    return retval;
}

// Every key of the page, each followed by a separator, and every UTF-16 unit.
TEST(LevelsTest, EveryKeyOfEveryShippedCodePage)
{
    const std::vector<std::string> pages = shippedCodePages();
    ASSERT_FALSE(pages.empty());
    std::vector<UChar> units;
    for (unsigned unit = 1; unit < 0x10000; ++unit) {
        units.push_back(static_cast<UChar>(unit));
    }
    for (const std::string& path : pages) {
        SCOPED_TRACE(path);
        const Handle h(ncnv_loadConverter(path.c_str()));
        const NoxUCharConverter c(path.c_str());
        ASSERT_GT(c.dataLen, 0u);
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
            return std::make_pair(s_convertAll(ncnv_toUnicode, h.get(), bytes),
                                  s_convertAll(ncnv_fromUnicode, h.get(), units));
        });
    }
}

// Runs of the characters that the block kernels take, of every length up to beyond the widest
// block, ended by each kind of stop (the end, a 0, noise without a mapping, a lead byte cut by
// the end), with room ending inside the run and right after it: a stop in every lane.
TEST(LevelsTest, BlockKernelsStopAtEveryPosition)
{
    std::mt19937 rng(20261208);
    const std::string mbStops[] = {"", std::string(1, '\0') + "AB", "\xFF\xFE\x80", "\x81"};
    const std::u16string uStops[] = {u"", std::u16string(1, u'\0') + u"AB", u"\xFFFF\xDC00",
                                     u"\x3000"};
    for (const char* page :
         {"ISO-8859-1", "CP1252", "CP1251", "KOI8-R", "CP037", "SJIS", "GBK", "EUC-KR"}) {
        const std::string file = std::string(NOX_DATA_DIR) + "/ucm/" + page + ".ucm";
        SCOPED_TRACE(file);
        const Handle h(ncnv_loadConverter(file.c_str()));
        const NoxUCharConverter c(file.c_str());
        std::vector<std::pair<std::string, char16_t>> pools[2]; // ASCII, others
        for (uint32_t r = 0; r < c.dataLen; ++r) {
            const NoxUCharMapping& m = c.data[r];
            std::string bytes;
            for (int k = 0; k < m.getMBLen(); ++k) {
                bytes.push_back(static_cast<char>(m.mbcsBytes >> (8 * k)));
            }
            if (!bytes.empty() && bytes.find('\0') == std::string::npos && m.getUnicode() != 0) {
                pools[m.getUnicode() < 0x80 ? 0 : 1].emplace_back(bytes, m.getUnicode());
            }
        }
        ASSERT_FALSE(pools[0].empty() || pools[1].empty());
        for (size_t length = 0; length <= 140 && !HasFailure(); ++length) {
            for (int mix = 0; mix < 3; ++mix) { // ASCII, others, both
                std::string mb;
                std::u16string u16;
                for (size_t i = 0; i < length; ++i) {
                    const auto& pool = pools[mix == 2 ? rng() % 2 : mix];
                    const auto& ch = pool[rng() % pool.size()];
                    mb += ch.first;
                    u16 += ch.second;
                }
                const std::string mbIn = mb + mbStops[length % 4];
                const std::u16string uIn = u16 + uStops[length % 4];
                expectEveryLevelAsExact(
                    [&] {
                        std::vector<Call> retval;
                        for (const size_t room : {u16.size() - 1, u16.size() + 1, mb.size() - 1,
                                                  mb.size() + 2, size_t(-1)}) {
                            const auto range = room == size_t(-1) ? 0 : room;
                            retval.push_back(toUChars(h.get(), mbIn, int(mbIn.size()), int(room)));
                            retval.push_back(fromUChars(h.get(), uIn, int(uIn.size()), int(room)));
                            retval.push_back(toUnicode(h.get(), mbIn, mbIn.size(), range));
                            retval.push_back(fromUnicode(h.get(), uIn, uIn.size(), range));
                        }
                        return retval;
                    },
                    hex(mbIn) + " " + hex(uIn));
            }
        }
    }
}

// Long runs of units that map to themselves, with one unit that stops the narrowing blocks at
// every position of the first rounds: the blocks test many units at once and must find a stop
// in any of them. Text of ASCII alone, and with units of the upper Latin-1 range among it.
TEST(LevelsTest, LongSelfRunsStopAtEveryPosition)
{
    struct Row {
        const char* page;
        bool upper;    // units 0xC0-0xFF among the ASCII ones
        char16_t stop; // the unit placed at each position
    };
    const Row rows[] = {
        {"ISO-8859-1", true, u'\0'},      {"ISO-8859-1", true, u'\x100'},
        {"ISO-8859-1", false, u'\xFFFF'}, {"CP1252", false, u'\x81'},
        {"CP1252", true, u'\x2019'},      {"CP1252", false, u'\xE9'},
    };
    constexpr size_t kLength = 300;
    for (const Row& row : rows) {
        const std::string file = std::string(NOX_DATA_DIR) + "/ucm/" + row.page + ".ucm";
        SCOPED_TRACE(testing::Message() << row.page << (row.upper ? ", upper" : ", ASCII")
                                        << ", stop " << hex(std::u16string(1, row.stop)));
        const Handle h(ncnv_loadConverter(file.c_str()));
        std::u16string text;
        for (size_t i = 0; i < kLength; ++i) {
            text += static_cast<char16_t>(row.upper && i % 7 == 3 ? 0xC0 + i % 64 : 0x20 + i % 95);
        }
        for (size_t at = 0; at < kLength && !HasFailure(); ++at) {
            std::u16string in = text;
            in[at] = row.stop;
            in += u'\0'; // for the count -1
            const auto length = static_cast<int>(kLength);
            expectEveryLevelAsExact(
                [&] {
                    return std::vector<Call>{fromUChars(h.get(), in, length, length + 1),
                                             fromUChars(h.get(), in, length, -1),
                                             fromUChars(h.get(), in, -1, static_cast<int>(at) + 1),
                                             fromUnicode(h.get(), in, kLength, kLength)};
                },
                "at " + std::to_string(at));
        }
    }
}

} // namespace

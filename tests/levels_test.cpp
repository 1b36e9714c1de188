// levels_test.cpp - every kernel level gives the results of level Exact (the per-character
// binary searches alone) for every one- and two-byte key and every UTF-16 unit of every shipped
// code page, each conversion going on past each failure, so that stops fall in every lane.
#include "NoxUCharConverter.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace noxtest;

// All of `in` through the pointer-range form, going on past each failure: the output, and per
// failure its position and code; the messages in `messages`.
template <typename In, typename Out>
std::vector<unsigned>
s_convertAll(void (*convert)(NoxUConverter*, Out**, const Out*, const In**, const In*, int*),
             NoxUConverter* h, const std::vector<In>& in, std::string* messages)
{
    std::vector<Out> out(4 * in.size() + 8);
    std::vector<unsigned> retval;
    *messages = captureStderr([&] {
        const In* source = in.data();
        const In* end = in.data() + in.size();
        while (source < end) {
            Out* target = out.data();
            int error = NCNV_OK;
            convert(h, &target, out.data() + out.size(), &source, end, &error);
            for (const Out* p = out.data(); p < target; ++p) {
                retval.push_back(static_cast<std::make_unsigned_t<Out>>(*p));
            }
            if (error != NCNV_OK) {
                retval.push_back(0x1000000u | static_cast<unsigned>(error) << 16 |
                                 static_cast<unsigned>(source - in.data()));
                ++source; // past the byte or unit that failed
            }
        }
    });
    return retval;
}

// Every key of the code page, each followed by a separator, and every unit.
void s_keys(const NoxUCharConverter& c, std::vector<char>* bytes, std::vector<UChar>* units)
{
    for (unsigned first = 1; first < 256; ++first) {
        const unsigned length = c.leadBytes.bytes[first];
        for (unsigned second = 1; second < (length == 2 ? 256u : 2u); ++second) {
            bytes->push_back(static_cast<char>(first));
            if (length >= 2) {
                bytes->push_back(static_cast<char>(second));
            }
            for (unsigned k = 2; k < std::min(length, 4u); ++k) {
                bytes->push_back('\x81');
            }
            bytes->push_back('A');
        }
    }
    for (unsigned unit = 1; unit < 0x10000; ++unit) {
        units->push_back(static_cast<UChar>(unit));
    }
}

TEST(LevelsTest, EveryKeyOfEveryShippedCodePage)
{
    const std::vector<std::string> pages = shippedCodePages();
    ASSERT_FALSE(pages.empty());
    for (const std::string& path : pages) {
        SCOPED_TRACE(path);
        const Handle h(ncnv_loadConverter(path.c_str()));
        NoxUCharConverter c(path.c_str());
        ASSERT_GT(c.dataLen, 0u);
        std::vector<char> bytes;
        std::vector<UChar> units;
        s_keys(c, &bytes, &units);
        expectEveryLevelAsExact([&] {
            std::pair<std::vector<unsigned>, std::string> toU;
            std::pair<std::vector<unsigned>, std::string> fromU;
            toU.first = s_convertAll(ncnv_toUnicode, h.get(), bytes, &toU.second);
            fromU.first = s_convertAll(ncnv_fromUnicode, h.get(), units, &fromU.second);
            return std::make_pair(toU, fromU);
        });
    }
}

} // namespace

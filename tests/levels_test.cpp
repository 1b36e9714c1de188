// levels_test.cpp - every kernel level gives exactly what level Exact gives on every key of
// every shipped code page.
#include "NoxUCharConverter.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <numeric>
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
                // One-byte keys apart by 1 to 23 ASCII bytes, so that blocks of them and ASCII
                // take the block kernels with keys at every position of a block.
                bytes.insert(bytes.end(), length == 1 ? 1 + first % 23 : 1, 'A');
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

} // namespace

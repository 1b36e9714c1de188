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

// Runs of bytes that map to themselves long enough for the steps meant for text beyond the
// caches (a megabyte and more), stopped by a 0 or by a byte that does not map to itself at
// every lane of the first steps and near the end, counted, with ample room and with room up to
// the stop: every level gives what Exact gives.
TEST(LevelsTest, LongSelfMappedRunsStopAsExact)
{
    const size_t length = (size_t{1} << 20) + 300;
    std::string text(length, 'a');
    for (size_t i = 0; i < length; ++i) {
        text[i] = i % 7 == 3 ? '\xE9' : static_cast<char>('a' + i % 26);
    }
    std::vector<size_t> positions(32);
    std::iota(positions.begin(), positions.end(), 200);
    positions.push_back(length - 40);
    // The built-in LATIN_1, and CP1252, whose bytes 0x80-0x9F do not map to themselves.
    const std::string cp1252 = NOX_DATA_DIR "/ucm/CP1252.ucm";
    const struct {
        const char* path; // null: LATIN_1
        char stop;
    } rows[] = {{nullptr, '\0'}, {cp1252.c_str(), '\0'}, {cp1252.c_str(), '\x80'}};
    for (const auto& row : rows) {
        const Handle h(row.path != nullptr ? ncnv_loadConverter(row.path)
                                           : ncnv_getConverter("LATIN_1"));
        for (const size_t at : positions) {
            SCOPED_TRACE(testing::Message() << (row.path != nullptr ? "CP1252" : "LATIN_1")
                                            << ", stop " << int(row.stop) << " at " << at);
            // The text ends a step after the stop.
            std::string in = text;
            in[at] = row.stop;
            in[at + 35] = '\0';
            expectEveryLevelAsExact([&] {
                std::vector<std::vector<UChar>> retval;
                // Near the end, the room alone: the run stops there either way.
                const std::vector<size_t> rooms = at < length / 2
                                                      ? std::vector<size_t>{0, length + 1, at}
                                                      : std::vector<size_t>{at};
                for (const size_t room : rooms) {
                    std::vector<UChar> out(room, 0xEEEE);
                    int error = -1;
                    const int n = ncnv_toUChars(h.get(), room == 0 ? nullptr : out.data(),
                                                int(room), in.data(), int(length), &error);
                    // The units up to the text's end and one past it; the rest unchanged.
                    const auto kept = out.begin() + std::ptrdiff_t(std::min(room, at + 37));
                    const bool untouched =
                        std::all_of(kept, out.end(), [](UChar u) { return u == 0xEEEE; });
                    out.erase(kept, out.end());
                    out.insert(out.end(), {UChar(n), UChar(n >> 16), UChar(error), untouched});
                    retval.push_back(std::move(out));
                }
                return retval;
            });
        }
    }
}

} // namespace

// reference_test.cpp - the code-page lookups and counted conversions against the independent
// reference at every kernel level (the fuzz corpus replays compare the other forms).
#include "NoxUCharConverter.h"
#include "environment.h"
#include "kernels/kernels.h"
#include "nox_reference.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <random>
#include <set>

// Reaches the converter's private binary-search lookups.
class NoxUCharConverterTestPeer {
  public:
    static auto bytes(const NoxUCharConverter& c, const uint8_t* t) { return c.mf_findMBChar(t); }
    static auto unicode(const NoxUCharConverter& c, uint16_t v) { return c.mf_findUChar(v); }
};

namespace {

using noxtest::hex;
using Peer = NoxUCharConverterTestPeer;

// Differences found, the first twelve spelled out.
struct Report {
    int failures = 0;
    std::string text;
    void fail(const std::string& what) { text += ++failures <= 12 ? what + "\n" : ""; }
};

struct Table {
    std::string name;
    std::unique_ptr<NoxUCharConverter> converter;
    noxref::NoxRefCodePage reference = noxref::NoxRefCodePage::fromConverter(*converter);
};

// The slot each lookup chooses: every single byte, every pair under a two-byte lead byte, each
// record's key and a neighbour of it; every Unicode value.
void s_compareLookups(const Table& t, Report& report)
{
    const NoxUCharConverter& c = *t.converter;
    std::set<std::pair<bool, uint32_t>> keys; // (bytes, key): little-endian bytes, or a value
    for (uint32_t key = 0; key < 0x10000; ++key) {
        keys.insert({false, key});
        if (uint8_t(key) != 0 && (key < 0x100 || c.leadBytes.bytes[uint8_t(key)] == 2)) {
            keys.insert({true, key});
        }
    }
    for (const NoxUCharMapping& r : t.reference.byBytes()) {
        const uint32_t neighbour = r.mbcsBytes + (1u << (8 * std::max(r.mappingType & 7, 1) - 8));
        keys.insert({{true, r.mbcsBytes}, {true, neighbour}});
    }
    for (const auto& [bytes, key] : keys) {
        const uint8_t text[8] = {uint8_t(key), uint8_t(key >> 8), uint8_t(key >> 16),
                                 uint8_t(key >> 24)};
        const uint32_t* index = bytes ? c.mbcsData : c.unicodeData;
        const NoxUCharMapping* got = bytes ? Peer::bytes(c, text) : Peer::unicode(c, uint16_t(key));
        const int want = bytes ? t.reference.findCharacterSlot(text)
                               : t.reference.findUnicodeSlot(uint16_t(key));
        const auto slot =
            got == nullptr ? -1 : std::find(index, index + c.dataLen, got - c.data) - index;
        if (slot != want) {
            report.fail(t.name + (bytes ? " bytes " : " value ") + hex(std::u32string(1, key)) +
                        ": slot " + std::to_string(slot) + ", reference " + std::to_string(want));
        }
    }
}

// The counted conversions both ways of random text (characters of the table, ASCII, noise; then
// a 0 and noise) through the library or the reference: results, error codes, whole output
// buffers with three units past the room (which nothing may write), messages. Both sides draw
// the same count (up to the 0, within, at and beyond the end) and room (none, short, exact,
// more) from their copy of `rng`.
std::string s_outcome(const Table& t, bool library, bool bestEffort, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<char> bytes;
    std::vector<UChar> units;
    const auto& records = t.reference.byBytes();
    for (int i = int(rng() % 3 == 0 ? 400 : 30); i > 0; --i) {
        const auto pick = rng() % 100, wide = rng() % 2;
        const NoxUCharMapping r =
            records.empty() ? NoxUCharMapping() : records[rng() % records.size()];
        const auto ascii = 0x20 + rng() % 0x5F, noise = 1 + rng() % (wide ? 0xFFFF : 0xFF);
        const auto other = pick < 80 ? ascii : 1 + noise % 0xFF; // as a byte
        for (int k = 0; k < (pick < 55 ? r.mappingType & 7 : 1); ++k) {
            bytes.push_back(char(pick < 55 ? r.mbcsBytes >> (8 * k) : other));
        }
        units.push_back(UChar(pick < 55 ? r.unicodeCharacterValue : pick < 80 ? ascii : noise));
    }
    bytes.insert(bytes.end(), {0, 'x', char(0x81)});
    units.insert(units.end(), {0, 'x', 0x4E00});
    std::string retval = "bytes [" + hex(bytes) + "], units [" + hex(units) + "]";
    const auto direction = [&](const auto& in, auto fill, auto member) {
        noxref::NoxRefContext context{bestEffort, {}}, quiet;
        const int n = int(in.size()) - 3; // before the 0
        const int count =
            std::vector{-1, n, n + 1, n + 3, INT_MAX, int(rng() % (n + 1u))}[rng() % 6];
        int error = noxtest::kUnset, result = 0;
        const int need = t.reference.convert(static_cast<decltype(fill)*>(nullptr), 0, in.data(),
                                             count, nullptr, quiet);
        const int room = std::vector{-1, 0, std::max(need - 1, 0), need, need + 9}[rng() % 5];
        std::vector<decltype(fill)> out(size_t(std::max(room, 0) + 3), fill);
        auto* const target = room < 0 ? nullptr : out.data();
        const std::string printed = noxtest::captureStderr([&] {
            result = library ? (t.converter.get()->*member)(target, room, in.data(), count, &error)
                             : t.reference.convert(target, room, in.data(), count, &error, context);
        });
        retval += "\nresult, error " + hex(std::vector<int>{result, error}) + "\n[" + hex(out) +
                  "]\nmessages \"" + (library ? printed : context.messages) + "\"";
    };
    direction(bytes, UChar(0xEEEE), &NoxUCharConverter::toUChars);
    direction(units, char(0xEE), &NoxUCharConverter::fromUChars);
    return retval;
}

// In two child processes, without and with best-effort mode (fixed at first use): the lookups
// of every table (in the first), then the conversions at every level.
void s_compareTables(const std::vector<Table>& tables, unsigned seed)
{
    for (const bool bestEffort : {false, true}) {
        const auto child = [&] {
            Report report;
            unsigned draw = seed;
            for (const Table& t : tables) {
                if (!bestEffort) {
                    s_compareLookups(t, report);
                }
                for (int round = 0; round < 40 && report.failures < 12; ++round, ++draw) {
                    const std::string want = s_outcome(t, false, bestEffort, draw);
                    noxtest::forEachLevel([&] {
                        const std::string got = s_outcome(t, true, bestEffort, draw);
                        if (got != want) {
                            report.fail(t.name + " at " +
                                        nox::kernelLevelName(nox::kernelCeiling()) + ":\n" + got +
                                        "\nreference:\n" + want);
                        }
                    });
                }
            }
            std::fprintf(stderr, "%s", report.text.c_str());
            return ncnv_getConvertBestEffort() != bestEffort ? 100 : std::min(report.failures, 99);
        };
        const noxtest::ChildResult result = noxtest::runInChild(
            {{"NOX_UNICODE_CONVERT_BEST_EFFORT", bestEffort ? "True" : nullptr}}, child);
        EXPECT_EQ(0, result.exitCode) << (bestEffort ? "best-effort mode:\n" : "") << result.err;
    }
}

TEST(ReferenceCodePageTest, EveryShippedCodePage)
{
    std::vector<Table> tables;
    tables.push_back({"LATIN_1", std::make_unique<NoxUCharConverter>("/", "LATIN_1")});
    for (const std::string& file : noxtest::shippedCodePages()) {
        tables.push_back(
            {file.substr(file.rfind('/') + 1), std::make_unique<NoxUCharConverter>(file.c_str())});
        ASSERT_GT(tables.back().converter->dataLen, 0u) << file;
    }
    s_compareTables(tables, 1216);
}

// `count` records (at least 76): four one-byte characters, then two-byte ones in runs sharing
// their bytes or their value in every order of the precisions |0, |1 and |3 (pairs, triples)
// or alone, the lines shuffled since the sort leaves equal keys in the order of the lines.
std::string s_stressUcm(int count, std::mt19937& rng)
{
    std::vector<std::string> runs; // 'b' shares the bytes, 'v' the value; then the precisions
    for (const std::string p : {"00", "01", "03", "10", "11", "13", "30", "31", "33", "013", "031",
                                "103", "130", "301", "310"}) {
        runs.insert(runs.end(), {"b" + p, "v" + p});
    }
    for (int i = 76; i < count; ++i) {
        runs.push_back(std::string("v") + "013"[rng() % 5 / 2]);
    }
    std::shuffle(runs.begin(), runs.end(), rng);
    std::vector<std::string> lines = {"<U0041> \\x41 |0\n", "<U0042> \\x42 |0\n",
                                      "<U0043> \\x43 |1\n", "<U0044> \\x44 |3\n"};
    size_t i = 0;
    for (const std::string& run : runs) {
        const size_t first = i;
        for (const char precision : run.substr(1)) {
            const size_t at = i++, bytes = run[0] == 'b' ? first : at,
                         value = run[0] == 'b' ? at : first;
            char line[48];
            std::snprintf(line, sizeof line, "<U%04zX> \\x%02zX\\x%02zX |%c\n", 0x4E00 + value,
                          0x81 + bytes / 190, 0x40 + bytes % 190, precision);
            lines.push_back(line);
        }
    }
    std::shuffle(lines.begin(), lines.end(), rng);
    std::string table = "<nox_lead_bytes> 01-7F:1 81-FE:2\n";
    for (const std::string& line : lines) {
        table += line;
    }
    return table;
}

TEST(ReferenceCodePageTest, TablesThatStressTheLookups)
{
    const noxtest::TempDir dir;
    std::mt19937 rng(1227);
    std::vector<Table> tables;
    for (const int count : {76, 126, 127, 128, 129, 254, 255, 256, 257, 400, 1000}) {
        for (const char* name : {"a.ucm", "b.ucm", "c.ucm"}) {
            const std::string file =
                dir.write(std::to_string(count) + name, s_stressUcm(count, rng));
            tables.push_back({file, std::make_unique<NoxUCharConverter>(file.c_str())});
            ASSERT_EQ(unsigned(count), tables.back().converter->dataLen);
        }
    }
    s_compareTables(tables, 1227);
}

} // namespace

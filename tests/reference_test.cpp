// reference_test.cpp - the code-page lookups and conversions against the independent reference
// at every kernel level (the UTF routines meet it in the fuzz corpus replay).
#include "NoxUCharConverter.h"
#include "environment.h"
#include "kernels/kernels.h"
#include "nox_reference.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Reaches the converter's private binary-search lookups.
class NoxUCharConverterTestPeer {
  public:
    static auto bytes(const NoxUCharConverter& c, const unsigned char* t)
    {
        return c.mf_findMBChar(t);
    }
    static auto unicode(const NoxUCharConverter& c, uint16_t v) { return c.mf_findUChar(v); }
};

namespace {

using noxref::NoxRefCodePage;
using noxref::NoxRefRecord;
using Peer = NoxUCharConverterTestPeer;

struct Rng : std::mt19937 {
    using std::mt19937::mt19937;
    unsigned operator()() { return static_cast<unsigned>(std::mt19937::operator()()); }
};

// Differences found, the first twelve spelled out.
struct Report {
    int failures = 0;
    std::string text;
    void fail(const std::string& what) { text += ++failures <= 12 ? what + "\n" : ""; }
};

using noxtest::hex;

struct Table {
    std::string name;
    std::unique_ptr<NoxUCharConverter> converter;
    NoxRefCodePage reference = NoxRefCodePage::fromConverter(*converter);
};

// The byte lookup of every single byte, every pair under a two-byte lead byte, the table's own
// keys and a neighbour of each; the Unicode lookup of every value.
void s_compareLookups(const Table& t, Report& report)
{
    using Text = std::array<unsigned char, 8>; // a key as text, the unused bytes 0
    const NoxUCharConverter& c = *t.converter;
    const auto compare = [&](NoxUCharMapping** index, const std::string& key,
                             const NoxUCharMapping* got, int slot) {
        if (got != (slot < 0 ? nullptr : index[slot])) {
            report.fail(t.name + ": lookup of " + key + ": library slot " +
                        std::to_string(got == nullptr
                                           ? -1
                                           : std::find(index, index + c.dataLen, got) - index) +
                        ", reference slot " + std::to_string(slot));
        }
    };
    std::set<Text> texts;
    for (int first = 1; first < 0x100; ++first) {
        texts.insert(Text{uint8_t(first)});
        for (int second = 1; c.leadBytes.bytes[first] == 2 && second < 0x100; ++second) {
            texts.insert(Text{uint8_t(first), uint8_t(second)});
        }
    }
    for (const NoxRefRecord& r : t.reference.byBytes()) {
        for (const uint32_t key : {r.bytes, r.bytes + (1u << (8 * std::max(r.length - 1, 0)))}) {
            texts.insert(
                Text{uint8_t(key), uint8_t(key >> 8), uint8_t(key >> 16), uint8_t(key >> 24)});
        }
    }
    for (const Text& text : texts) {
        compare(c.mbcsData, "bytes " + hex(text), Peer::bytes(c, text.data()),
                t.reference.findCharacterSlot(text.data()));
    }
    for (uint32_t value = 0; value < 0x10000; ++value) {
        compare(c.unicodeData, "value " + std::to_string(value), Peer::unicode(c, uint16_t(value)),
                t.reference.findUnicodeSlot(uint16_t(value)));
    }
}

// Code-page bytes and UTF-16 units of random text, each in a buffer that starts `start` units
// before the text and goes on after it with a 0 and noise, which counts beyond the text reach.
struct Input {
    std::vector<char> bytes;
    std::vector<UChar> units;
    size_t start = 0;
};

Input s_randomInput(const NoxRefCodePage& reference, Rng& rng, size_t characters)
{
    Input in;
    in.start = rng() % 4;
    in.bytes.assign(in.start, 'x');
    in.units.assign(in.start, UChar{'x'});
    const auto& records = reference.byBytes();
    for (size_t i = 0; i < characters; ++i) {
        const unsigned pick = rng() % 100;
        const NoxRefRecord r = records.empty() ? NoxRefRecord{} : records[rng() % records.size()];
        if (pick < 55) { // a character of the table
            for (int k = 0; k < r.length; ++k) {
                in.bytes.push_back(static_cast<char>(r.bytes >> (8 * k)));
            }
            in.units.push_back(r.unicode);
        } else { // ASCII or noise
            const bool ascii = pick < 80;
            in.bytes.push_back(static_cast<char>(ascii ? 0x20 + rng() % 0x5F : 1 + rng() % 0xFF));
            in.units.push_back(UChar(ascii       ? 0x20 + rng() % 0x5F
                                     : rng() % 2 ? 1 + rng() % 0xFF
                                                 : rng()));
        }
    }
    for (int i = 0; i < 17; ++i) {
        in.bytes.push_back(static_cast<char>(i == 0 ? 0 : 1 + rng() % 0xFF));
        in.units.push_back(static_cast<UChar>(i == 0 ? 0 : 1 + rng() % 0xFFFF));
    }
    return in;
}

// What the counted conversions both ways do on `in` through the library or the reference:
// results, error codes, whole output buffers, messages. `rng` is a copy: both sides draw alike
// counts (up to the 0, within, at and beyond the text's end) and rooms (null, short, exact...).
std::string s_outcome(const Table& t, bool library, bool bestEffort, const Input& in, Rng rng)
{
    const NoxUCharConverter& c = *t.converter;
    const NoxRefCodePage& r = t.reference;
    noxref::NoxRefContext context{bestEffort, {}}, quiet;
    const char* bytes = in.bytes.data() + in.start;
    const UChar* units = in.units.data() + in.start;
    int count[2], room[2], results[2] = {}, errors[2] = {noxtest::kUnset, noxtest::kUnset};
    for (int d = 0; d < 2; ++d) {
        const int n = int((d == 0 ? in.bytes.size() : in.units.size()) - in.start - 17);
        const int counts[] = {
            -1, -7, n, n + 1, n + 1 + int(rng() % 16), INT_MAX, int(rng() % (n + 1))};
        count[d] = counts[rng() % 7];
        int error = 0;
        const int need = d == 0 ? r.toUChars(nullptr, 0, bytes, count[d], &error, quiet)
                                : r.fromUChars(nullptr, 0, units, count[d], &error, quiet);
        const int rooms[] = {-1,       0,        std::max(need - 1, 0),  need,
                             need + 1, need + 9, int(rng() % (need + 2))};
        room[d] = rooms[rng() % 7];
    }
    // Three units after the room, which nothing may write.
    std::vector<UChar> to(size_t(std::max(room[0], 0) + 3), 0xEEEE);
    std::vector<char> from(size_t(std::max(room[1], 0) + 3), char(0xEE));
    UChar* toOut = room[0] < 0 ? nullptr : to.data();
    char* fromOut = room[1] < 0 ? nullptr : from.data();
    const std::string printed = noxtest::captureStderr([&] {
        results[0] = library ? c.toUChars(toOut, room[0], bytes, count[0], &errors[0])
                             : r.toUChars(toOut, room[0], bytes, count[0], &errors[0], context);
        results[1] = library ? c.fromUChars(fromOut, room[1], units, count[1], &errors[1])
                             : r.fromUChars(fromOut, room[1], units, count[1], &errors[1], context);
    });
    return "results " + hex(results) + ", errors " + hex(errors) + "\n[" + hex(to) + "]\n[" +
           hex(from) + "]\nmessages \"" + (library ? printed : context.messages) + "\"";
}

// The lookups of every table, then random inputs in two child processes: without and with
// best-effort mode, which is fixed at first use.
void s_compareTables(const std::vector<Table>& tables, int rounds, unsigned seed)
{
    Report lookups;
    for (const Table& t : tables) {
        s_compareLookups(t, lookups);
    }
    EXPECT_EQ(0, lookups.failures) << lookups.text;
    for (const bool bestEffort : {false, true}) {
        const auto child = [&] {
            Report report;
            Rng rng(seed);
            for (const Table& t : tables) {
                for (int round = 0; round < rounds && report.failures < 12; ++round) {
                    const Input in = s_randomInput(t.reference, rng, round % 10 == 0 ? 400 : 30);
                    const std::string want = s_outcome(t, false, bestEffort, in, rng);
                    noxtest::forEachLevel([&] {
                        const std::string got = s_outcome(t, true, bestEffort, in, rng);
                        if (got != want) {
                            report.fail(t.name + ", level " +
                                        nox::kernelLevelName(nox::kernelCeiling()) + ", bytes [" +
                                        hex(in.bytes) + "], units [" + hex(in.units) + "] from " +
                                        std::to_string(in.start) + "\nlibrary:\n" + got +
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
        tables.push_back({std::filesystem::path(file).stem().string(),
                          std::make_unique<NoxUCharConverter>(file.c_str())});
        ASSERT_GT(tables.back().converter->dataLen, 0u) << file;
    }
    s_compareTables(tables, 40, 1216);
}

// A table of `count` records (at least 76): four one-byte characters, then two-byte ones in runs
// that share their bytes or their value in every order of the precisions |0, |1 and |3 (pairs
// and triples) or alone, shuffled, since the sort leaves equal keys in the order of the lines.
std::string s_stressUcm(int count, Rng& rng)
{
    const char* const precisions[] = {"00", "01",  "03",  "10",  "11",  "13",  "30", "31",
                                      "33", "013", "031", "103", "130", "301", "310"};
    std::vector<std::pair<bool, std::string>> runs; // shares bytes (else value), precisions
    for (const bool sharesBytes : {true, false}) {
        for (const char* run : precisions) {
            runs.push_back({sharesBytes, run});
        }
    }
    for (int used = 4 + 72; used < count; ++used) {
        runs.push_back({false, std::string(1, "013"[rng() % 5 / 2])});
    }
    std::shuffle(runs.begin(), runs.end(), rng);
    std::vector<std::string> lines = {"<U0041> \\x41 |0\n", "<U0042> \\x42 |0\n",
                                      "<U0043> \\x43 |1\n", "<U0044> \\x44 |3\n"};
    int i = 0;
    for (const auto& [sharesBytes, members] : runs) {
        const int first = i;
        for (const char precision : members) {
            const int bytes = sharesBytes ? first : i, value = sharesBytes ? i : first;
            char line[48];
            std::snprintf(line, sizeof line, "<U%04X> \\x%02X\\x%02X |%c\n", 0x4E00 + value,
                          0x81 + bytes / 190, 0x40 + bytes % 190, precision);
            lines.push_back(line);
            ++i;
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
    Rng rng(1227);
    std::vector<Table> tables;
    for (const int count : {76, 126, 127, 128, 129, 254, 255, 256, 257, 400, 1000}) {
        for (int copy = 0; copy < 3; ++copy) {
            const std::string name = "stress-" + std::to_string(count) + "-" + std::to_string(copy);
            const std::string file = dir.write(name + ".ucm", s_stressUcm(count, rng));
            tables.push_back({name, std::make_unique<NoxUCharConverter>(file.c_str())});
            ASSERT_EQ(unsigned(count), tables.back().converter->dataLen);
        }
    }
    s_compareTables(tables, 40, 1227);
}

} // namespace

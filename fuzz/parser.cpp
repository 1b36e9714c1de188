// parser.cpp - fuzz target: the UCM mapping-line and lead-byte-line parsers on arbitrary bytes.
//
// Invariants: an accepted mapping line yields a record of one to four non-zero bytes with
// exactly the flags of one precision, and the canonical line written from that record parses
// to the same record; a rejected line leaves the record cleared (or untouched when the line
// starts with '#'); the usual line read a word at a time reads as the careful scan reads it. A
// lead-byte line assigns lengths 0 to 15 only, keeps cur_min <= cur_max,
// and applying it twice gives the same table.
#include "parser.h"
#include "NoxUCharMapping.h"
#include "fuzz_checks.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void s_checkMappingLine(const char* line)
{
    NoxUCharMapping record;
    record.mappingType = 0x1234;
    record.unicodeCharacterValue = 0x5678;
    record.mbcsBytes = 0x9ABCDEF0u;
    const int accepted = parse_ucm_line(line, &record);
    NOX_CHECK(accepted == 0 || accepted == 1);
    if (accepted == 0) {
        if (line[0] == '#') {
            NOX_CHECK(record.mappingType == 0x1234 && record.unicodeCharacterValue == 0x5678 &&
                      record.mbcsBytes == 0x9ABCDEF0u);
        } else {
            NOX_CHECK(record.mappingType == 0 && record.unicodeCharacterValue == 0 &&
                      record.mbcsBytes == 0);
        }
        return;
    }
    const unsigned len = record.getMBLen();
    NOX_CHECK(len >= 1 && len <= 4);
    for (unsigned i = 0; i < 4; ++i) {
        const unsigned byte = (record.mbcsBytes >> (8 * i)) & 0xFFu;
        NOX_CHECK((i < len) == (byte != 0));
    }
    const unsigned flags = record.mappingType & 0xF0u;
    NOX_CHECK((record.mappingType & ~0xF7u) == 0);
    int precision = -1;
    if (flags == (ToUnicodeDefault | FromUnicodeDefault)) {
        precision = 0;
    } else if (flags == FromUnicodeFallback) {
        precision = 1;
    } else if (flags == ToUnicodeFallback) {
        precision = 3;
    }
    NOX_CHECK(precision >= 0);

    // The canonical form of the record reads back as the same record.
    char canonical[64];
    int at = std::snprintf(canonical, sizeof canonical, "<U%04X> ", record.getUnicode());
    for (unsigned i = 0; i < len; ++i) {
        at += std::snprintf(canonical + at, sizeof canonical - static_cast<size_t>(at), "\\x%02X",
                            (record.mbcsBytes >> (8 * i)) & 0xFFu);
    }
    std::snprintf(canonical + at, sizeof canonical - static_cast<size_t>(at), " |%d\n", precision);
    NoxUCharMapping again;
    NOX_CHECK(parse_ucm_line(canonical, &again) == 1);
    NOX_CHECK(again.mappingType == record.mappingType);
    NOX_CHECK(again.unicodeCharacterValue == record.unicodeCharacterValue);
    NOX_CHECK(again.mbcsBytes == record.mbcsBytes);
}

// The usual line read several characters at a time gives what the scan of one character at a
// time gives: the same end, the same record, a refused line leaving the record as it was.
// Whatever lies past the line's 0 (capital hex digits here) does not count.
void s_checkUsualLine(const std::vector<char>& line)
{
    std::vector<char> padded(line);
    padded.insert(padded.end(), s_usualLineReach, 'F');
    NoxUCharMapping careful;
    careful.mappingType = 0x1234;
    careful.unicodeCharacterValue = 0x5678;
    careful.mbcsBytes = 0x9ABCDEF0u;
    NoxUCharMapping wide = careful;
    const char* carefulEnd = parse_usual_ucm_line(line.data(), &careful);
    const char* wideEnd = parse_usual_ucm_line_padded(padded.data(), &wide);
    NOX_CHECK((carefulEnd == nullptr) == (wideEnd == nullptr));
    NOX_CHECK(carefulEnd == nullptr || carefulEnd - line.data() == wideEnd - padded.data());
    NOX_CHECK(careful.mappingType == wide.mappingType);
    NOX_CHECK(careful.unicodeCharacterValue == wide.unicodeCharacterValue);
    NOX_CHECK(careful.mbcsBytes == wide.mbcsBytes);
}

void s_checkLeadByteLine(const char* line)
{
    NoxLeadByteTable table;
    const int assigned = parse_lead_bytes(line, &table);
    NOX_CHECK(assigned >= 0);
    if (std::strncmp(line, "<nox_lead_bytes>", 16) != 0) {
        NOX_CHECK(assigned == 0 && table.cur_min == 0 && table.cur_max == 0);
        for (unsigned char b : table.bytes) {
            NOX_CHECK(b == 0);
        }
        return;
    }
    NOX_CHECK(table.cur_min >= 0 && table.cur_max <= 15 && table.cur_min <= table.cur_max);
    int nonZero = 0;
    for (unsigned char b : table.bytes) {
        NOX_CHECK(b <= table.cur_max);
        nonZero += b != 0;
    }
    NOX_CHECK(nonZero <= assigned);
    // Applying the line again assigns the same slots with the same lengths.
    NoxLeadByteTable twice = table;
    NOX_CHECK(parse_lead_bytes(line, &twice) == assigned);
    NOX_CHECK(std::memcmp(twice.bytes, table.bytes, sizeof table.bytes) == 0);
    NOX_CHECK(twice.cur_max == table.cur_max);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The parsers take NUL-terminated lines: a copy of exactly the input and its terminator.
    std::vector<char> line(data, data + size);
    line.push_back('\0');
    std::unique_ptr<char[]> exact = noxfuzz::exactCopy(line);
    s_checkMappingLine(exact.get());
    s_checkUsualLine(line);
    s_checkLeadByteLine(exact.get());
    // The same bytes behind the lead-byte keyword, so that the token loop sees them all.
    std::vector<char> keyed(line.begin(), line.end());
    static const char keyword[] = "<nox_lead_bytes>";
    keyed.insert(keyed.begin(), keyword, keyword + 16);
    std::unique_ptr<char[]> keyedExact = noxfuzz::exactCopy(keyed);
    s_checkLeadByteLine(keyedExact.get());
    return 0;
}

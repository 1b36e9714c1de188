// noxconv_import.cpp - derives the lead-byte line of a UCM file from its mapping lines and
// leaves out the lines that the library cannot hold.
#include "noxconv_import.h"

#include <cstdio>
#include <map>
#include <set>
#include <vector>

namespace noxconv {

namespace {

// The library reads a line in pieces of 254 characters, newline included: a longer line
// would arrive as several lines.
constexpr std::size_t s_longestLine = 253;
constexpr std::size_t s_longestCharacter = 4;

const char* const s_reasonNames[] = {"above U+FFFF",
                                     "with several code points",
                                     "with the byte 0x00",
                                     "|2 substitutions",
                                     "|1 beside a |0 of the same code point",
                                     "too long"};

struct MappingLine {
    std::vector<unsigned long> codePoints;
    std::vector<unsigned char> bytes;
    int precision = 0;      // a line without a marker is a round trip for the library
    bool separated = false; // '+' between the bytes, which the library does not read
};

int s_hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool s_isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::size_t s_skipBlanks(const std::string& line, std::size_t i)
{
    while (i < line.size() && s_isBlank(line[i])) {
        ++i;
    }
    return i;
}

// A mapping line: one or more "<UXXXX>" (four to six hex digits), blanks, byte groups "\xHH"
// (optionally joined by '+'), blanks and an optional precision marker "|N".
bool s_parseMapping(const std::string& line, MappingLine* m)
{
    std::size_t i = s_skipBlanks(line, 0);
    while (line.compare(i, 2, "<U") == 0) {
        i += 2;
        unsigned long value = 0;
        std::size_t digits = 0;
        while (i < line.size() && s_hexValue(line[i]) >= 0) {
            value = value * 16 + static_cast<unsigned long>(s_hexValue(line[i++]));
            ++digits;
        }
        if (digits < 4 || digits > 6 || i >= line.size() || line[i] != '>') {
            return false;
        }
        ++i;
        m->codePoints.push_back(value);
    }
    if (m->codePoints.empty()) {
        return false;
    }
    i = s_skipBlanks(line, i);
    while (line.compare(i, 2, "\\x") == 0 && i + 3 < line.size() && s_hexValue(line[i + 2]) >= 0 &&
           s_hexValue(line[i + 3]) >= 0) {
        m->bytes.push_back(
            static_cast<unsigned char>(s_hexValue(line[i + 2]) * 16 + s_hexValue(line[i + 3])));
        i += 4;
        if (i < line.size() && line[i] == '+' && line.compare(i + 1, 2, "\\x") == 0) {
            m->separated = true;
            ++i;
        }
    }
    if (m->bytes.empty()) {
        return false;
    }
    i = s_skipBlanks(line, i);
    if (i + 1 < line.size() && line[i] == '|' && line[i + 1] >= '0' && line[i + 1] <= '9') {
        m->precision = line[i + 1] - '0';
    }
    return true;
}

bool s_startsWith(const std::string& line, const char* prefix)
{
    return line.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The reason why the library cannot hold the line, or LeftOut::Count when it can.
LeftOut s_reasonFor(const MappingLine& m, std::size_t length)
{
    if (m.codePoints.size() > 1) {
        return LeftOut::Several;
    }
    if (m.codePoints[0] > 0xFFFF) {
        return LeftOut::BeyondBmp;
    }
    if (m.precision == 2) {
        return LeftOut::Substitution;
    }
    if (m.bytes.size() > s_longestCharacter || length > s_longestLine) {
        return LeftOut::TooLong;
    }
    for (unsigned char b : m.bytes) {
        if (b == 0) {
            return LeftOut::ZeroByte;
        }
    }
    return LeftOut::Count;
}

// The same mapping written the way the library reads it.
std::string s_canonicalLine(const MappingLine& m)
{
    char text[64];
    std::snprintf(text, sizeof text, "<U%04lX> ", m.codePoints[0]);
    std::string line = text;
    for (unsigned char b : m.bytes) {
        std::snprintf(text, sizeof text, "\\x%02X", b);
        line += text;
    }
    return line + " |" + std::to_string(m.precision);
}

std::string s_hex2(unsigned value)
{
    static const char s_digits[] = "0123456789ABCDEF";
    return {s_digits[(value >> 4) & 0xFu], s_digits[value & 0xFu]};
}

std::string s_leadByteLine(const int (&lengths)[256])
{
    std::string line = "<nox_lead_bytes>";
    int start = 0;
    for (int b = 1; b <= 256; ++b) {
        if (b == 256 || lengths[b] != lengths[start]) {
            line += " " + s_hex2(static_cast<unsigned>(start));
            if (b - 1 != start) {
                line += "-" + s_hex2(static_cast<unsigned>(b - 1));
            }
            line += ":" + std::to_string(lengths[start]);
            start = b;
        }
    }
    return line;
}

// Why a code page that switches state cannot be expressed, or an empty string.
std::string s_stateRefusal(const std::string& line)
{
    if (s_startsWith(line, "<uconv_class>") && line.find("EBCDIC_STATEFUL") != std::string::npos) {
        return "it switches between single- and double-byte state with SI/SO "
               "(uconv_class EBCDIC_STATEFUL)";
    }
    // An entry with the action ".s" changes the state for the characters that follow.
    if (s_startsWith(line, "<icu:state>") && line.find(".s") != std::string::npos) {
        return "it switches state (an <icu:state> line with shift states)";
    }
    return std::string();
}

} // namespace

std::size_t ImportResult::leftOutTotal() const
{
    std::size_t total = 0;
    for (std::size_t n : leftOut) {
        total += n;
    }
    return total;
}

std::string ImportResult::summary() const
{
    const std::size_t total = leftOutTotal();
    if (total == 0) {
        return "no line left out";
    }
    std::string line = std::to_string(total) + (total == 1 ? " line" : " lines") + " left out (";
    bool first = true;
    for (int r = 0; r < static_cast<int>(LeftOut::Count); ++r) {
        if (leftOut[r] != 0) {
            line += (first ? "" : ", ") + std::to_string(leftOut[r]) + " " + s_reasonNames[r];
            first = false;
        }
    }
    return line + ")";
}

bool needsImport(const std::string& text)
{
    bool mappings = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        if (text.compare(start, 16, "<nox_lead_bytes>") == 0) {
            return false;
        }
        mappings = mappings || text.compare(start, 2, "<U") == 0;
        start = end + 1;
    }
    return mappings;
}

ImportResult importUcm(const std::string& source)
{
    ImportResult result;
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < source.size();) {
        std::size_t end = source.find('\n', start);
        end = end == std::string::npos ? source.size() : end;
        lines.push_back(source.substr(start, end - start));
        start = end + 1;
    }
    // First pass: the mapping lines, the round trips by code point, the lengths by first byte.
    std::map<std::size_t, MappingLine> mappings; // by line index
    std::set<unsigned long> roundTrips;
    std::map<int, std::set<std::size_t>> lengthsOf; // first byte -> character lengths
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string refusal = s_stateRefusal(lines[i]);
        if (!refusal.empty()) {
            result.refusal = refusal;
            return result;
        }
        MappingLine m;
        if (!s_parseMapping(lines[i], &m)) {
            continue;
        }
        lengthsOf[m.bytes[0]].insert(m.bytes.size());
        if (m.precision == 0 && s_reasonFor(m, lines[i].size()) == LeftOut::Count) {
            roundTrips.insert(m.codePoints[0]);
        }
        mappings.emplace(i, std::move(m));
    }
    if (mappings.empty()) {
        result.refusal = "it has no mapping lines";
        return result;
    }
    int lengths[256] = {};
    std::string mixed;
    for (const auto& entry : lengthsOf) {
        if (entry.second.size() > 1) {
            std::string sizes;
            for (std::size_t n : entry.second) {
                sizes += (sizes.empty() ? "" : " and ") + std::to_string(n);
            }
            mixed += (mixed.empty() ? "" : ", ") + ("\\x" + s_hex2(entry.first)) + " (" + sizes +
                     " bytes)";
        }
        lengths[entry.first] = static_cast<int>(*entry.second.rbegin());
    }
    if (!mixed.empty()) {
        result.refusal = "first bytes start characters of different lengths: " + mixed;
        return result;
    }
    // Second pass: the file as it stands, less the lines that cannot be held, with the
    // lead-byte line before the mapping section.
    const std::string header =
        "# Imported with noxconv --import-ucm: the lead-byte line below is derived from the\n"
        "# mapping lines; lines that a noxunicode table cannot hold are left out.\n";
    std::string body;
    std::size_t headerAt = std::string::npos;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const auto found = mappings.find(i);
        if (found == mappings.end()) {
            if (s_startsWith(line, "<nox_lead_bytes>")) {
                continue;
            }
            if (headerAt == std::string::npos && (line == "CHARMAP" || line == "CHARMAP\r")) {
                headerAt = body.size();
            }
            body += (line.size() > s_longestLine ? line.substr(0, s_longestLine) : line) + "\n";
            continue;
        }
        const MappingLine& m = found->second;
        LeftOut reason = s_reasonFor(m, line.size());
        if (reason == LeftOut::Count && m.precision == 1 && roundTrips.count(m.codePoints[0])) {
            reason = LeftOut::ShadowedByZero;
        }
        if (reason != LeftOut::Count) {
            ++result.leftOut[static_cast<int>(reason)];
            continue;
        }
        if (headerAt == std::string::npos) {
            headerAt = body.size();
        }
        ++result.kept;
        const bool asItStands = !m.separated && !line.empty() && !s_isBlank(line[0]);
        body += (asItStands ? line : s_canonicalLine(m)) + "\n";
    }
    const std::string counts =
        "# Mapping lines kept: " + std::to_string(result.kept) + "; " + result.summary() + ".\n";
    body.insert(headerAt == std::string::npos ? body.size() : headerAt,
                header + counts + s_leadByteLine(lengths) + "\n");
    if (result.kept == 0) {
        result.refusal = "none of its mapping lines can be held in a noxunicode table";
        return result;
    }
    result.text = std::move(body);
    result.imported = true;
    return result;
}

} // namespace noxconv

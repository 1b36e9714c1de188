// convert.cpp - fuzz target: the four conversions and ncnv_mblen on fixed tables with
// arbitrary input, sizes and output room (the invariants are in fuzz_checks.h).
//
// Input: one byte that chooses the table (four written here, and the shipped SJIS and CP1252),
// then the bytes that fuzz_checks.h splits into the output room, the split point, the
// code-page text and the UTF-16 text.
#include "NoxUCharConverter.h"
#include "fuzz_checks.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A double-byte code page: ASCII with two replaced bytes, half-width katakana, and two-byte
// characters under some of its lead bytes (others stay unmapped).
std::string s_doubleByteUcm()
{
    std::string text = "<code_set_name> \"FUZZ_DBCS\"\n"
                       "<nox_lead_bytes> 01-7F:1 81-9F:2 A1-DF:1 E0-EF:2\n"
                       "CHARMAP\n";
    char line[64];
    for (int b = 1; b < 0x80; ++b) {
        const int value = b == 0x5C ? 0xA5 : b == 0x7E ? 0x203E : b;
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X |0\n", value, b);
        text += line;
    }
    text += "<U005C> \\x5C |1\n<U007E> \\x7E |1\n";
    for (int b = 0xA1; b <= 0xDF; ++b) {
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X |0\n", 0xFF61 + b - 0xA1, b);
        text += line;
    }
    int value = 0x4E00;
    for (int lead : {0x81, 0x82, 0x83, 0x84, 0xE0}) {
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail != 0x7F) {
                std::snprintf(line, sizeof line, "<U%04X> \\x%02X\\x%02X |0\n", value++, lead,
                              trail);
                text += line;
            }
        }
    }
    return text + "END CHARMAP\n";
}

// Three- and four-byte characters, a lead byte whose length is above four, duplicates,
// fallbacks in both directions, records shorter than their lead byte says, U+0000 and a
// surrogate value; most of ASCII is unmapped so that the fast runs break often.
std::string s_wideUcm()
{
    std::string text = "<code_set_name> \"FUZZ_WIDE\"\n"
                       "<nox_lead_bytes> 01-7F:1 80:0 81-83:2 84-85:3 86-87:4 88:F 89:0\n"
                       "CHARMAP\n";
    char line[80];
    for (int b = 'A'; b <= 'z'; ++b) {
        std::snprintf(line, sizeof line, "<U%04X> \\x%02X |0\n", b, b);
        text += line;
    }
    for (int i = 0; i < 26; ++i) {
        std::snprintf(line, sizeof line, "<U%04X> \\x81\\x%02X |0\n", 0x3000 + i, 0x41 + i);
        text += line;
        std::snprintf(line, sizeof line, "<U%04X> \\x84\\x%02X\\x%02X |0\n", 0x5000 + i, 0x41 + i,
                      0x61 + i);
        text += line;
        std::snprintf(line, sizeof line, "<U%04X> \\x86\\x%02X\\x42\\x%02X |0\n", 0x6000 + i,
                      0x41 + i, 0x61 + i);
        text += line;
        std::snprintf(line, sizeof line, "<U%04X> \\x88\\x%02X\\x43\\x44 |0\n", 0x7000 + i,
                      0x41 + i);
        text += line;
    }
    text += "<U3100> \\x82\\x41 |0\n<U3101> \\x82\\x41 |0\n" // two values for one character
            "<U3102> \\x82\\x42 |0\n<U3102> \\x82\\x43 |0\n" // two characters for one value
            "<U3103> \\x82\\x44 |1\n<U3104> \\x82\\x44 |0\n" // fallback beside a round trip
            "<U3105> \\x82\\x45 |3\n<U3105> \\x82\\x46 |1\n" // fallbacks only
            "<U00E9> \\x65 |3\n<U00E8> \\x83\\x41 |1\n<U00EA> \\x83\\x42 |3\n"
            "<U00C1> \\x81 |0\n<U00C4> \\x84\\x41 |0\n" // shorter than the lead byte
            "<UD800> \\x83\\x43 |0\n<U0000> \\x83\\x44 |0\n<UFFFF> \\x83\\x45 |0\n"
            "<U00A0> \\x85\\x41\\x42 |3\n<U00A0> \\x20 |1\n"
            "END CHARMAP\n";
    return text;
}

// Opens a table written to a temporary file, and reads it into the reference too.
NoxUConverter* s_load(const std::string& ucm, noxref::NoxRefCodePage* reference)
{
    char path[] = "/tmp/nox_fuzz_tableXXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        std::abort();
    }
    FILE* file = fdopen(fd, "w");
    std::fwrite(ucm.data(), 1, ucm.size(), file);
    std::fclose(file);
    NoxUConverter* handle = ncnv_loadConverter(path);
    *reference = noxref::NoxRefCodePage::fromConverter(NoxUCharConverter(path));
    unlink(path);
    return handle;
}

// A shipped code page, opened by file as hosts open it.
NoxUConverter* s_shipped(const char* name, noxref::NoxRefCodePage* reference)
{
    const std::string path = std::string(NOX_FUZZ_UCM_DIR) + "/" + name + ".ucm";
    *reference = noxref::NoxRefCodePage::fromConverter(NoxUCharConverter(path.c_str()));
    return ncnv_loadConverter(path.c_str());
}

struct Tables {
    static constexpr int kCount = 6;
    NoxUConverter* handles[kCount];
    noxref::NoxRefCodePage references[kCount];
    Tables()
    {
        handles[0] = ncnv_getConverter("LATIN_1");
        references[0] = noxref::NoxRefCodePage::fromConverter(NoxUCharConverter("/", "LATIN_1"));
        handles[1] = s_load(s_doubleByteUcm(), &references[1]);
        handles[2] = s_load(s_wideUcm(), &references[2]);
        // Lead bytes but no mapping: an empty converter.
        handles[3] = s_load("<nox_lead_bytes> 01-FF:2\n", &references[3]);
        handles[4] = s_shipped("SJIS", &references[4]);
        handles[5] = s_shipped("CP1252", &references[5]);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Tables tables;
    if (size == 0) {
        return 0;
    }
    const int table = data[0] % Tables::kCount;
    noxfuzz::checkConverterOnInput(tables.handles[table], &tables.references[table], data + 1,
                                   size - 1);
    return 0;
}

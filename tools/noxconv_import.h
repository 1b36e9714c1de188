// noxconv_import.h - turns a UCM file without a "<nox_lead_bytes>" line (as other tools write
// them) into one that the library loads: the lead-byte line is derived from the file's own
// mapping lines, and the lines that the library cannot hold are left out and counted.
#ifndef NOXCONV_IMPORT_H
#define NOXCONV_IMPORT_H

#include <cstddef>
#include <string>

namespace noxconv {

// Why a mapping line was left out.
enum class LeftOut {
    BeyondBmp,      // a code point above U+FFFF
    Several,        // several code points for one character
    ZeroByte,       // the byte 0x00
    Substitution,   // a |2 line (substitution from Unicode only)
    ShadowedByZero, // a |1 line whose code point also has a |0 line
    TooLong,        // more than four bytes, or a line longer than the loader reads
    Count
};

struct ImportResult {
    bool imported = false; // false: the file was refused (see `refusal`)
    std::string refusal;   // why the file cannot be expressed
    std::string text;      // the importable UCM file
    std::size_t kept = 0;  // mapping lines kept
    std::size_t leftOut[static_cast<int>(LeftOut::Count)] = {};
    std::size_t leftOutTotal() const;
    // "12 lines left out (9 above U+FFFF, 3 |2 substitutions)", or "no line left out".
    std::string summary() const;
};

// Imports the UCM text `source`. A file in which one first byte starts characters of
// different lengths, or that switches state (SI/SO, shift states), is refused.
ImportResult importUcm(const std::string& source);

// True when `text` has mapping lines but no lead-byte line: the library would open it as an
// empty converter, and it needs importing.
bool needsImport(const std::string& text);

} // namespace noxconv

#endif

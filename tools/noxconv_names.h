// noxconv_names.h - where noxconv finds its code pages, and how it turns the names given on
// the command line into encodings.
#ifndef NOXCONV_NAMES_H
#define NOXCONV_NAMES_H

#include "noxconv_codec.h"

#include <map>
#include <string>
#include <vector>

namespace noxconv {

struct DataLocation {
    std::string ucmDir;    // folder of the *.ucm files
    std::string aliasFile; // the alias table (may not exist)
};

// Chooses the code page folder: NOX_UCM_PATH, else QV_UCM_PATH, else the data folder of
// the installation or, for a binary in the build tree, of the source tree. In the last case
// it sets NOX_UCM_PATH, so that the library looks in the same place. Call it before the
// first library call.
DataLocation locateData();

// The default code page, read as the library reads it: NOX_CODE_PAGE, then QV_CODE_PAGE,
// else the built-in LATIN_1.
std::string defaultCodePageName();

class CodePageNames {
  public:
    explicit CodePageNames(DataLocation location);
    ~CodePageNames();
    CodePageNames(const CodePageNames&) = delete;
    CodePageNames& operator=(const CodePageNames&) = delete;

    // Turns a command-line name into an encoding: a Unicode encoding form, a UCM file path
    // (with a '/' or ending in ".ucm"), or a code page name or alias of the data folder.
    // Code pages are opened here and released with this object. On failure returns false
    // and sets `error`.
    bool resolve(const std::string& name, Encoding* encoding, std::string* error);
    // Canonical names of the available code pages, sorted: the data folder's files and the
    // built-in LATIN_1.
    std::vector<std::string> codePages() const;
    // The aliases that name `canonical`, in the order of the alias table.
    std::vector<std::string> aliasesOf(const std::string& canonical) const;
    const DataLocation& location() const { return m_location; }

  private:
    std::string mf_canonical(const std::string& name) const;
    std::string mf_fileStem(const std::string& canonical) const;
    bool mf_open(const std::string& label, const std::string& path, bool byName, Encoding* encoding,
                 std::string* error);

    DataLocation m_location;
    std::map<std::string, std::string> m_aliases;                 // lower-case alias -> canonical
    std::vector<std::pair<std::string, std::string>> m_aliasList; // in file order
    std::vector<NoxUConverter*> m_opened;
};

} // namespace noxconv

#endif

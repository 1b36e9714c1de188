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

// One code page that noxconv can open by name.
struct PageInfo {
    std::string name;   // canonical name: the file name without ".ucm"
    std::string path;   // the UCM file; empty for the built-in LATIN_1
    std::string source; // where its table comes from: "built in", "Python cp932", "ICU", "file"
    int longest = 0;    // longest character in bytes, from the lead-byte line (0: none)
};

// Chooses the code page folder: NOX_UCM_PATH, else QV_UCM_PATH, else the data folder of
// the installation or, for a binary in the build tree, of the source tree. In the last case
// it sets NOX_UCM_PATH, so that the library looks in the same place. Call it before the
// first library call.
DataLocation locateData();

// The input encoding when none is named: the code page in NOX_CODE_PAGE, then QV_CODE_PAGE
// (these name a deliberate default), else the character set of the user's locale
// (nl_langinfo(CODESET) after setlocale(LC_CTYPE, "")).
std::string defaultInputName();

class CodePageNames {
  public:
    explicit CodePageNames(DataLocation location);
    ~CodePageNames();
    CodePageNames(const CodePageNames&) = delete;
    CodePageNames& operator=(const CodePageNames&) = delete;

    // Turns a command-line name into an encoding: a built-in form (Unicode, UCS-2, UCS-4,
    // ASCII), a UCM file path (with a '/' or ending in ".ucm"), or a code page name or alias
    // of the code page folder. Code pages are opened here and released with this object; a file
    // without a lead-byte line is imported in memory (see notes()). On failure returns false
    // and sets `error`.
    bool resolve(const std::string& name, Encoding* encoding, std::string* error);
    // The available code pages, sorted by name: the code page folder's files and the
    // built-in LATIN_1.
    std::vector<PageInfo> codePages() const;
    // One line for each file imported on the fly: what was left out.
    const std::vector<std::string>& notes() const { return m_notes; }
    // The aliases that name `canonical`, in the order of the alias table.
    std::vector<std::string> aliasesOf(const std::string& canonical) const;
    const DataLocation& location() const { return m_location; }

  private:
    void mf_loadAliases() const;
    std::string mf_canonical(const std::string& name) const;
    PageInfo mf_find(const std::string& canonical) const;
    bool mf_open(const std::string& label, const std::string& path, bool byName, Encoding* encoding,
                 std::string* error);

    DataLocation m_location;
    mutable bool m_aliasesLoaded = false;
    mutable std::map<std::string, std::string> m_aliases; // lower-case alias -> canonical
    mutable std::vector<std::pair<std::string, std::string>> m_aliasList; // in file order
    std::vector<NoxUConverter*> m_opened;
    std::vector<std::string> m_notes;
};

// Names of the forms that noxconv reads and writes itself, for --list.
const char* builtInFormNames();

} // namespace noxconv

#endif

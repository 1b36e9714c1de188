// noxconv_names.cpp - the data folder, the alias table and the resolution of encoding names.
#include "noxconv_names.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef NOXCONV_BUILD_DIR
#define NOXCONV_BUILD_DIR ""
#endif
#ifndef NOXCONV_SOURCE_DATA
#define NOXCONV_SOURCE_DATA ""
#endif
#ifndef NOXCONV_BIN_TO_DATA
#define NOXCONV_BIN_TO_DATA "../share/noxunicode"
#endif
#ifndef NOXCONV_INSTALLED_DATA
#define NOXCONV_INSTALLED_DATA "/usr/local/share/noxunicode"
#endif

namespace noxconv {

namespace {

const char* const s_builtIn = "LATIN_1";

std::string s_lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool s_isDirectory(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool s_isReadableFile(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), R_OK) == 0;
}

// Why `path` cannot be read as a file; empty when it can.
std::string s_whyUnreadable(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
    }
    return access(path.c_str(), R_OK) == 0 ? std::string() : std::strerror(errno);
}

std::string s_realPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string s_parentOf(std::string path)
{
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The data folder that belongs to this binary: the source tree's for the binary in the
// folder where it was built, else the installation's, found relative to the binary so that a moved
// installation still finds its own data.
std::string s_defaultDataRoot()
{
    const std::string exe = s_realPath("/proc/self/exe");
    const std::string exeDir = exe.empty() ? std::string() : s_parentOf(exe);
    if (!exeDir.empty() && exeDir == s_realPath(NOXCONV_BUILD_DIR)) {
        return NOXCONV_SOURCE_DATA;
    }
    if (!exeDir.empty()) {
        const std::string beside = exeDir + "/" + NOXCONV_BIN_TO_DATA;
        if (s_isDirectory(beside)) {
            return beside;
        }
    }
    return NOXCONV_INSTALLED_DATA;
}

// Unicode encoding forms, compared without case, '-' and '_'.
bool s_unicodeForm(const std::string& name, Form* form, std::string* canonical)
{
    std::string key;
    for (char c : name) {
        if (c != '-' && c != '_') {
            key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    static const struct {
        const char* key;
        Form form;
        const char* name;
    } s_forms[] = {
        {"UTF8", Form::Utf8, "UTF-8"},          {"UTF16", Form::Utf16, "UTF-16"},
        {"UTF16LE", Form::Utf16LE, "UTF-16LE"}, {"UTF16BE", Form::Utf16BE, "UTF-16BE"},
        {"UTF32", Form::Utf32, "UTF-32"},       {"UTF32LE", Form::Utf32LE, "UTF-32LE"},
        {"UTF32BE", Form::Utf32BE, "UTF-32BE"},
    };
    for (const auto& f : s_forms) {
        if (key == f.key) {
            *form = f.form;
            *canonical = f.name;
            return true;
        }
    }
    return false;
}

// A converter whose table is empty maps nothing; the library builds one from a file that
// has no lead-byte line or no mapping line.
bool s_isUsable(NoxUConverter* handle)
{
    int err = 0;
    if (ncnv_MB_CUR_MAX(handle, &err) <= 0) {
        return false;
    }
    for (int b = 1; b < 256; ++b) {
        const char source[8] = {static_cast<char>(b)};
        UChar out[2];
        err = 0;
        ncnv_toUChars(handle, out, 2, source, 1, &err);
        if (err != NCNV_UNSUPPORTED) {
            return true;
        }
    }
    return false;
}

} // namespace

DataLocation locateData()
{
    DataLocation location;
    const char* nox = std::getenv("NOX_UCM_PATH");
    const char* qv = std::getenv("QV_UCM_PATH");
    if (nox != nullptr || qv != nullptr) {
        location.ucmDir = nox != nullptr ? nox : qv;
        location.aliasFile = location.ucmDir + "/aliases.txt";
        if (!s_isReadableFile(location.aliasFile)) {
            location.aliasFile = s_parentOf(location.ucmDir) + "/aliases.txt";
        }
    } else {
        const std::string root = s_defaultDataRoot();
        location.ucmDir = root + "/ucm";
        location.aliasFile = root + "/aliases.txt";
        setenv("NOX_UCM_PATH", location.ucmDir.c_str(), 1);
    }
    return location;
}

std::string defaultCodePageName()
{
    const char* nox = std::getenv("NOX_CODE_PAGE");
    const char* qv = std::getenv("QV_CODE_PAGE");
    return nox != nullptr ? nox : (qv != nullptr ? qv : s_builtIn);
}

CodePageNames::CodePageNames(DataLocation location) : m_location(std::move(location))
{
    std::ifstream file(m_location.aliasFile);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string alias;
        std::string canonical;
        if (!(fields >> alias >> canonical) || alias[0] == '#') {
            continue;
        }
        const std::string key = s_lower(alias);
        if (m_aliases.emplace(key, canonical).second) {
            m_aliasList.emplace_back(alias, canonical);
        }
    }
}

CodePageNames::~CodePageNames()
{
    for (NoxUConverter* handle : m_opened) {
        ncnv_releaseConverter(handle);
    }
}

std::string CodePageNames::mf_canonical(const std::string& name) const
{
    const auto found = m_aliases.find(s_lower(name));
    return found != m_aliases.end() ? found->second : name;
}

// The file name (without ".ucm") in the data folder for a canonical name: the exact name if
// such a file exists, else the first that matches without regard to case.
std::string CodePageNames::mf_fileStem(const std::string& canonical) const
{
    if (s_isReadableFile(m_location.ucmDir + "/" + canonical + ".ucm")) {
        return canonical;
    }
    const std::string wanted = s_lower(canonical);
    for (const std::string& stem : codePages()) {
        if (s_lower(stem) == wanted && stem != s_builtIn) {
            return stem;
        }
    }
    return std::string();
}

bool CodePageNames::resolve(const std::string& name, Encoding* encoding, std::string* error)
{
    std::string canonical;
    if (s_unicodeForm(name, &encoding->form, &canonical)) {
        encoding->name = canonical;
        return true;
    }
    encoding->form = Form::CodePage;
    const bool isPath = name.find('/') != std::string::npos ||
                        (name.size() > 4 && s_lower(name.substr(name.size() - 4)) == ".ucm");
    if (isPath) {
        std::string label = name.substr(name.rfind('/') + 1);
        if (label.size() > 4 && s_lower(label.substr(label.size() - 4)) == ".ucm") {
            label.resize(label.size() - 4);
        }
        return mf_open(label, name, false, encoding, error);
    }
    canonical = mf_canonical(name);
    const std::string stem = mf_fileStem(canonical);
    if (stem.empty() && s_lower(canonical) == s_lower(s_builtIn)) {
        return mf_open(s_builtIn, std::string(), true, encoding, error);
    }
    if (stem.empty()) {
        *error = "unknown code page '" + name + "' (no such file in " + m_location.ucmDir +
                 "; see noxconv --list)";
        return false;
    }
    return mf_open(stem, m_location.ucmDir + "/" + stem + ".ucm", true, encoding, error);
}

bool CodePageNames::mf_open(const std::string& label, const std::string& path, bool byName,
                            Encoding* encoding, std::string* error)
{
    // The library would fall back to Latin-1 for a file that it cannot read; refuse instead.
    const std::string unreadable = path.empty() ? std::string() : s_whyUnreadable(path);
    if (!unreadable.empty()) {
        *error = "cannot read code page file " + path + ": " + unreadable;
        return false;
    }
    NoxUConverter* handle =
        byName ? ncnv_getConverter(label.c_str()) : ncnv_loadConverter(path.c_str());
    if (handle == nullptr) {
        *error = "out of memory opening " + label;
        return false;
    }
    if (!s_isUsable(handle)) {
        ncnv_releaseConverter(handle);
        *error = "code page file " + path + " holds no usable table";
        return false;
    }
    m_opened.push_back(handle);
    encoding->handle = handle;
    encoding->name = label;
    return true;
}

std::vector<std::string> CodePageNames::codePages() const
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(m_location.ucmDir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string file = entry->d_name;
            if (file.size() > 4 && file.compare(file.size() - 4, 4, ".ucm") == 0 &&
                s_isReadableFile(m_location.ucmDir + "/" + file)) {
                names.push_back(file.substr(0, file.size() - 4));
            }
        }
        closedir(dir);
    }
    if (std::find(names.begin(), names.end(), s_builtIn) == names.end()) {
        names.emplace_back(s_builtIn);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> CodePageNames::aliasesOf(const std::string& canonical) const
{
    std::vector<std::string> aliases;
    for (const auto& entry : m_aliasList) {
        if (entry.second == canonical && s_lower(entry.first) != s_lower(canonical)) {
            aliases.push_back(entry.first);
        }
    }
    return aliases;
}

} // namespace noxconv

// noxconv_names.cpp - the data folder, the alias table and the resolution of encoding names.
#include "noxconv_names.h"

#include "noxconv_import.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include <clocale>

#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <sys/mman.h>
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

// This binary's path, with every link resolved (the system keeps it so).
std::string s_binaryPath()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    return length > 0 && static_cast<std::size_t>(length) < sizeof path
               ? std::string(path, static_cast<std::size_t>(length))
               : std::string();
}

// Whether two paths name the same folder, by its identity rather than by resolving each part
// of both paths.
bool s_sameDirectory(const std::string& a, const std::string& b)
{
    struct stat first = {};
    struct stat second = {};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
           S_ISDIR(first.st_mode) && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
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
    const std::string exe = s_binaryPath();
    const std::string exeDir = exe.empty() ? std::string() : s_parentOf(exe);
    if (!exeDir.empty() && s_sameDirectory(exeDir, NOXCONV_BUILD_DIR)) {
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

// The forms noxconv reads and writes itself, compared without case, '-' and '_'. UCS-2
// without a suffix is little-endian and UCS-4 big-endian, without a byte order mark, as
// iconv has them on this machine.
bool s_builtInForm(const std::string& name, Form* form, std::string* canonical)
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
        {"UTF8", Form::Utf8, "UTF-8"},
        {"UTF16", Form::Utf16, "UTF-16"},
        {"UTF16LE", Form::Utf16LE, "UTF-16LE"},
        {"UTF16BE", Form::Utf16BE, "UTF-16BE"},
        {"UTF32", Form::Utf32, "UTF-32"},
        {"UTF32LE", Form::Utf32LE, "UTF-32LE"},
        {"UTF32BE", Form::Utf32BE, "UTF-32BE"},
        {"UCS2", Form::Ucs2LE, "UCS-2"},
        {"UCS2LE", Form::Ucs2LE, "UCS-2LE"},
        {"UCS2BE", Form::Ucs2BE, "UCS-2BE"},
        {"UCS4", Form::Utf32BE, "UCS-4"},
        {"UCS4LE", Form::Utf32LE, "UCS-4LE"},
        {"UCS4BE", Form::Utf32BE, "UCS-4BE"},
        {"ASCII", Form::Ascii, "ASCII"},
        {"USASCII", Form::Ascii, "ASCII"},
        {"ANSIX3.41968", Form::Ascii, "ASCII"},
        {"ANSIX3.41986", Form::Ascii, "ASCII"},
        {"ISO646US", Form::Ascii, "ASCII"},
        {"ISO646.IRV:1991", Form::Ascii, "ASCII"},
        {"US", Form::Ascii, "ASCII"},
        {"CSASCII", Form::Ascii, "ASCII"},
        {"ISOIR6", Form::Ascii, "ASCII"},
        {"CP367", Form::Ascii, "ASCII"},
        {"IBM367", Form::Ascii, "ASCII"},
        {"646", Form::Ascii, "ASCII"},
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

// The whole file, or false when it cannot be read. Plain reads: the stream classes would
// build the runtime's locale at every start of the program for a file or two.
bool s_readFile(const std::string& path, std::string* text)
{
    text->clear();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    bool ok = file != nullptr;
    char buffer[16 * 1024];
    for (std::size_t n = 0; ok && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text->append(buffer, n);
    }
    if (file != nullptr) {
        ok = std::ferror(file) == 0;
        std::fclose(file);
    }
    return ok;
}

// A file's whole text, mapped when it can be (the alias table is read at every start of the
// program that names a code page, and a lookup mostly stops a third of the way in: mapped,
// only the pages it reaches are touched, and nothing is copied), else read.
class TextFile {
  public:
    explicit TextFile(const std::string& path)
    {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            void* const at =
                mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (at != MAP_FAILED) {
                m_mapped = at;
                m_text = std::string_view(static_cast<const char*>(at),
                                          static_cast<std::size_t>(st.st_size));
            }
        }
        if (fd >= 0) {
            close(fd);
        }
        if (m_mapped == nullptr && s_readFile(path, &m_read)) {
            m_text = m_read;
        }
    }
    ~TextFile()
    {
        if (m_mapped != nullptr) {
            munmap(m_mapped, m_text.size());
        }
    }
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    std::string_view text() const { return m_text; }

  private:
    void* m_mapped = nullptr;
    std::string m_read;
    std::string_view m_text;
};

// Whether the UCM file at `path` must be imported before the library can use it. The
// beginning of the file (its first 64 KiB) settles it for every file with a lead-byte line in
// its header; the first 4 KiB, which hold most headers, are read first.
bool s_fileNeedsImport(const std::string& path, std::string* text)
{
    const auto hasLeadByteLine = [](const std::string& head) {
        return head.compare(0, 16, "<nox_lead_bytes>") == 0 ||
               head.find("\n<nox_lead_bytes>") != std::string::npos;
    };
    std::FILE* file = std::fopen(path.c_str(), "rb");
    std::string head;
    bool found = false;
    for (const std::size_t size : {std::size_t{4096}, std::size_t{64 * 1024}}) {
        const std::size_t had = head.size();
        if (file != nullptr && !found && (had == 0 || had == 4096)) {
            head.resize(size);
            head.resize(had + std::fread(&head[had], 1, size - had, file));
            found = hasLeadByteLine(head);
        }
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    return !found && s_readFile(path, text) && needsImport(*text);
}

// The file's longest character and where its table comes from, from its header: the Python
// codec that tools/gen_ucm.py names, ICU for the pages that tools/gen_icu_ucm.py imported,
// else "file".
void s_describe(PageInfo* page)
{
    std::ifstream file(page->path);
    std::string line;
    page->source = "file";
    static const std::string s_python = "from the Python ";
    while (std::getline(file, line) && line.compare(0, 7, "CHARMAP") != 0) {
        if (line.compare(0, 20, "# Imported from ICU ") == 0) {
            page->source = "ICU";
        }
        const std::size_t codec = line.find(s_python);
        if (line[0] == '#' && codec != std::string::npos) {
            std::istringstream words(line.substr(codec + s_python.size()));
            std::string version;
            std::string word;
            std::string name;
            words >> version >> word >> name;
            page->source = "Python " + name.substr(0, name.find_last_not_of('.') + 1);
        }
        if (line.compare(0, 16, "<nox_lead_bytes>") == 0) {
            for (std::size_t colon = line.find(':'); colon != std::string::npos;
                 colon = line.find(':', colon + 1)) {
                const int digit = colon + 1 < line.size() ? std::isxdigit(line[colon + 1]) : 0;
                if (digit != 0) {
                    const int value = std::stoi(line.substr(colon + 1, 1), nullptr, 16);
                    page->longest = std::max(page->longest, value);
                }
            }
        }
    }
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

std::string defaultInputName()
{
    const char* nox = std::getenv("NOX_CODE_PAGE");
    const char* qv = std::getenv("QV_CODE_PAGE");
    if (nox != nullptr || qv != nullptr) {
        return nox != nullptr ? nox : qv;
    }
    setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && codeset[0] != 0 ? codeset : "ASCII";
}

const char* builtInFormNames()
{
    return "UTF-8, UTF-16, UTF-16LE, UTF-16BE, UTF-32, UTF-32LE, UTF-32BE, UCS-2, UCS-2LE, "
           "UCS-2BE, UCS-4, UCS-4LE, UCS-4BE, ASCII (US-ASCII, ANSI_X3.4-1968, ...)";
}

CodePageNames::CodePageNames(DataLocation location) : m_location(std::move(location)) {}

// Calls visit(alias, canonical) for each entry of the alias table text whose first character
// `begins` accepts, in file order, until visit returns true; both are views into the text.
// One pass over the characters, and the lines whose first character is not wanted are passed
// over whole: the table is read at every start of the program that names a code page.
template <typename Begins, typename Visit>
void s_forEachAlias(std::string_view all, const Begins& begins, const Visit& visit)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    std::size_t at = 0;
    const auto skip = [&](bool word) {
        while (at < all.size() && all[at] != '\n' && blank(all[at]) != word) {
            ++at;
        }
    };
    bool done = false;
    while (!done && at < all.size()) {
        skip(false);
        if (at < all.size() && begins(all[at])) {
            const std::size_t aliasAt = at;
            skip(true);
            const std::size_t aliasEnd = at;
            skip(false);
            const std::size_t nameAt = at;
            skip(true);
            if (aliasEnd > aliasAt && all[aliasAt] != '#' && at > nameAt) {
                done =
                    visit(all.substr(aliasAt, aliasEnd - aliasAt), all.substr(nameAt, at - nameAt));
            }
        }
        const void* const newline =
            at < all.size() ? std::memchr(&all[at], '\n', all.size() - at) : nullptr;
        at = newline != nullptr
                 ? static_cast<std::size_t>(static_cast<const char*>(newline) - all.data()) + 1
                 : all.size();
    }
}

// Reads the whole alias table on first use: the built-in forms need none of it, and a single
// name is looked up without it (mf_canonical).
void CodePageNames::mf_loadAliases() const
{
    if (m_aliasesLoaded) {
        return;
    }
    m_aliasesLoaded = true;
    const TextFile file(m_location.aliasFile);
    const auto every = [](char) { return true; };
    s_forEachAlias(file.text(), every, [this](std::string_view alias, std::string_view canonical) {
        if (m_aliases.emplace(s_lower(std::string(alias)), std::string(canonical)).second) {
            m_aliasList.emplace_back(std::string(alias), std::string(canonical));
        }
        return false;
    });
}

CodePageNames::~CodePageNames()
{
    for (NoxUConverter* handle : m_opened) {
        ncnv_releaseConverter(handle);
    }
}

// The first entry of the alias table for `name`, whatever its case; the name itself when none.
std::string CodePageNames::mf_canonical(const std::string& name) const
{
    std::string retval = name;
    const std::string wanted = s_lower(name);
    if (m_aliasesLoaded) {
        const auto found = m_aliases.find(wanted);
        retval = found != m_aliases.end() ? found->second : name;
    } else {
        // Opening one code page needs one entry: a scan costs less than building the map.
        const auto same = [](char a, char w) {
            return std::tolower(static_cast<unsigned char>(a)) == w;
        };
        const auto begins = [&](char first) { return !wanted.empty() && same(first, wanted[0]); };
        const TextFile file(m_location.aliasFile);
        s_forEachAlias(
            file.text(), begins, [&](std::string_view alias, std::string_view canonical) {
                const bool found = alias.size() == wanted.size() &&
                                   std::equal(alias.begin(), alias.end(), wanted.begin(), same);
                retval = found ? std::string(canonical) : retval;
                return found;
            });
    }
    return retval;
}

// The file of a canonical name in the code page folder: the exact name, else the first file
// that matches without regard to case. An empty path when none.
PageInfo CodePageNames::mf_find(const std::string& canonical) const
{
    PageInfo page;
    const std::string path = m_location.ucmDir + "/" + canonical + ".ucm";
    if (s_isReadableFile(path)) {
        page.name = canonical;
        page.path = path;
        return page;
    }
    const std::string wanted = s_lower(canonical);
    for (const PageInfo& candidate : codePages()) {
        if (s_lower(candidate.name) == wanted && !candidate.path.empty()) {
            return candidate;
        }
    }
    return page;
}

bool CodePageNames::resolve(const std::string& name, Encoding* encoding, std::string* error)
{
    std::string canonical;
    if (s_builtInForm(name, &encoding->form, &canonical)) {
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
    if (canonical != name && s_builtInForm(canonical, &encoding->form, &canonical)) {
        encoding->name = canonical;
        return true;
    }
    const PageInfo page = mf_find(canonical);
    if (page.path.empty() && s_lower(canonical) == s_lower(s_builtIn)) {
        return mf_open(s_builtIn, std::string(), true, encoding, error);
    }
    if (page.path.empty()) {
        *error = "unknown code page '" + name + "' (no such file in " + m_location.ucmDir +
                 "; see noxconv --list)";
        return false;
    }
    // The page is in the library's own folder (NOX_UCM_PATH), so the library opens it by name.
    return mf_open(page.name, page.path, true, encoding, error);
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
    std::string text;
    NoxUConverter* handle = nullptr;
    if (!path.empty() && s_fileNeedsImport(path, &text)) {
        // A file without a lead-byte line, as other tools write them: import it into an
        // anonymous file in memory and let the library read that.
        const ImportResult imported = importUcm(text);
        if (!imported.imported) {
            *error = "code page file " + path +
                     " has mapping lines but no <nox_lead_bytes> line, and it cannot be "
                     "imported: " +
                     imported.refusal;
            return false;
        }
        const int fd = memfd_create("noxconv-import", MFD_CLOEXEC);
        const std::string memoryPath = "/proc/self/fd/" + std::to_string(fd);
        const bool written = fd >= 0 && write(fd, imported.text.data(), imported.text.size()) ==
                                            static_cast<ssize_t>(imported.text.size());
        if (!written) {
            *error = "cannot import " + path + ": " + std::strerror(errno);
            if (fd >= 0) {
                close(fd);
            }
            return false;
        }
        handle = ncnv_loadConverter(memoryPath.c_str());
        close(fd);
        m_notes.push_back("imported " + path + ": " + imported.summary());
    } else {
        handle = byName ? ncnv_getConverter(label.c_str()) : ncnv_loadConverter(path.c_str());
    }
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

std::vector<PageInfo> CodePageNames::codePages() const
{
    std::map<std::string, PageInfo> pages;
    if (DIR* folder = opendir(m_location.ucmDir.c_str())) {
        while (const dirent* entry = readdir(folder)) {
            const std::string file = entry->d_name;
            PageInfo page;
            page.name = file.size() > 4 ? file.substr(0, file.size() - 4) : std::string();
            page.path = m_location.ucmDir + "/" + file;
            if (page.name.empty() || file.compare(file.size() - 4, 4, ".ucm") != 0 ||
                !s_isReadableFile(page.path)) {
                continue;
            }
            s_describe(&page);
            pages.emplace(page.name, page);
        }
        closedir(folder);
    }
    if (pages.count(s_builtIn) == 0) {
        PageInfo latin1;
        latin1.name = s_builtIn;
        latin1.source = "built in";
        latin1.longest = 1;
        pages.emplace(latin1.name, latin1);
    }
    std::vector<PageInfo> sorted;
    for (auto& entry : pages) {
        sorted.push_back(std::move(entry.second));
    }
    return sorted;
}

std::vector<std::string> CodePageNames::aliasesOf(const std::string& canonical) const
{
    mf_loadAliases();
    std::vector<std::string> aliases;
    for (const auto& entry : m_aliasList) {
        if (entry.second == canonical && s_lower(entry.first) != s_lower(canonical)) {
            aliases.push_back(entry.first);
        }
    }
    return aliases;
}

} // namespace noxconv

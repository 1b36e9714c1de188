// NoxUCharConverter.cpp - code-page tables: construction, the default converter, the lookups
// and the table dump. Loading and sharing a table (NoxUCharLoader.inl), the conversions
// (NoxUCharConversions.inl) and the kernels (kernels/, one file per instruction set; see
// docs/design.md) are included below, so the module stays one object.
#include "NoxUCharConverter.h"

#include "ConvertUTF.h"
#include "environment.h"
#include "kernels/kernels.h"
#include "parser.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

// The kernel files, each building on those before it (a unity build of this module).
// clang-format off
#include "kernels/codepage_tables.inl"
#include "kernels/codepage_scalar.inl"
#include "kernels/codepage_sse2.inl"
#include "kernels/codepage_avx2.inl"
#include "kernels/codepage_avx512.inl"
#include "kernels/codepage_runs.inl"
// clang-format on

NoxUCharConverter* NoxUCharConverter::s_defaultConverter = nullptr;
uint32_t NoxUCharConverter::s_defaultRef = 0;
std::atomic<bool> NoxUCharConverter::s_debug{false};
std::atomic<bool> NoxUCharConverter::s_charDebug{false};

namespace {

const char s_latin1Name[] = "LATIN_1";
const size_t s_pathBufferSize = 4096;
// The key packs at most four bytes, whatever length the lead-byte line gives.
const int s_maxCharLen = 4;

// Writes "directory/name.ucm" and its 0 into the `size` characters at `path`; false, writing
// nothing, when they do not fit. Joined by hand: the formatted print would be the first use of
// the C library's formatting code in many processes, whose pages then come in at the open.
bool s_ucmFilePath(char* path, size_t size, const char* directory, const char* name)
{
    const size_t directoryLength = std::strlen(directory);
    const size_t nameLength = std::strlen(name);
    const bool retval = directoryLength + 1 + nameLength + sizeof ".ucm" <= size;
    if (retval) {
        std::memcpy(path, directory, directoryLength);
        path[directoryLength] = '/';
        std::memcpy(path + directoryLength + 1, name, nameLength);
        std::memcpy(path + directoryLength + 1 + nameLength, ".ucm", sizeof ".ucm");
    }
    return retval;
}

void s_setError(int* errorReturn, int code)
{
    if (errorReturn != nullptr) {
        *errorReturn = code;
    }
}

// Writes the trace line of one record: "\t<UXXXX> " and one "\xHH" group per byte.
void s_debugNoxUCharMapping(const NoxUCharMapping* uCharMapping)
{
    if (uCharMapping != nullptr) {
        std::fprintf(stderr, "\t<U%04X> ", uCharMapping->getUnicode());
        t_mbcsBytes bytes = 0;
        uCharMapping->getMBCS(&bytes);
        for (int i = 0; i < 4 && ((bytes >> (8 * i)) & 0xFFu) != 0; ++i) {
            std::fprintf(stderr, "\\x%02X", (bytes >> (8 * i)) & 0xFFu);
        }
        std::fputc('\n', stderr);
    }
}

// The message for an unmapped code-page character: four bytes from its position; positions
// past the end of the text (the count, or its first 0 byte) show as 0 and are never read.
void s_reportUnmappedBytes(const unsigned char* source, ptrdiff_t avail)
{
    unsigned char shown[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4 && (avail < 0 || i < avail); ++i) {
        shown[i] = source[i];
        if (shown[i] == 0) {
            break;
        }
    }
    std::fprintf(stderr, "No mapping for character(s) \\x%02X\\x%02X\\x%02X\\x%02X'\n", shown[0],
                 shown[1], shown[2], shown[3]);
}

void s_reportUnmappedUnit(UChar value)
{
    std::fprintf(stderr, "No mapping for character <U%04X>\n", value);
}

// What a lookup needs to know of its index: the key of a record, whether a record ends the
// search (the byte index stops at a record of length 0), whether it is the direction's
// regular mapping, and whether it is usable in the direction at all.
struct NoxSearchRules {
    uint32_t (*keyOf)(const NoxUCharMapping&);
    bool (*endsSearch)(const NoxUCharMapping&);
    bool (*isDefault)(const NoxUCharMapping&);
    bool (*isUsable)(const NoxUCharMapping&);
};

// Binary search over a sorted index of `records` as the lookups define it: the first probe
// never lies beyond slot 127. Among equal keys the direction's regular mapping wins wherever the
// search lands (the sort puts it first in its run); without one, the scan from the landing slot
// towards slot 0 prefers a record that is usable in the lookup's direction.
const NoxUCharMapping* s_search(const NoxUCharMapping* records, const uint32_t* index,
                                uint32_t count, uint32_t key, const NoxSearchRules& rules)
{
    const NoxUCharMapping* retval = nullptr;
    if (index != nullptr && count != 0) {
        const auto at = [records, index](uint32_t slot) -> const NoxUCharMapping& {
            return records[index[slot]];
        };
        uint32_t begin = 0;
        uint32_t end = count - 1;
        uint32_t probe = std::min<uint32_t>(count / 2, 127);
        bool searching = true;
        bool found = false;
        while (searching) {
            const NoxUCharMapping& record = at(probe);
            const uint32_t probed = rules.keyOf(record);
            if (rules.endsSearch(record)) {
                searching = false;
            } else if (probed == key) {
                found = true;
                searching = false;
            } else if (probed < key) {
                if (probe == begin) {
                    searching = begin != end;
                    ++begin;
                } else {
                    begin = probe;
                }
            } else if (probe == end) {
                searching = begin != end;
                --end;
            } else {
                end = probe;
            }
            if (searching) {
                probe = begin + (end - begin) / 2;
            }
        }
        if (found) {
            const auto sameKey = [&](uint32_t slot) {
                return rules.keyOf(at(slot)) == key && !rules.endsSearch(at(slot));
            };
            uint32_t first = probe;
            while (first > 0 && sameKey(first - 1)) {
                --first;
            }
            retval = &at(probe);
            if (rules.isDefault(at(first))) {
                retval = &at(first);
            } else {
                for (uint32_t slot = probe + 1; slot-- > first;) {
                    if (rules.isUsable(at(slot))) {
                        retval = &at(slot);
                        break;
                    }
                }
            }
        }
    }
    return retval;
}

constexpr NoxSearchRules s_byteRules = {
    [](const NoxUCharMapping& m) { return m.getPackedMBCS(); },
    [](const NoxUCharMapping& m) { return m.getMBLen() == 0; },
    [](const NoxUCharMapping& m) { return m.isToUnicodeDefault() != 0; },
    [](const NoxUCharMapping& m) {
        return m.isToUnicodeDefault() != 0 || m.isToUnicodeFallback() != 0;
    }};

constexpr NoxSearchRules s_unicodeRules = {
    [](const NoxUCharMapping& m) { return static_cast<uint32_t>(m.getUnicode()); },
    [](const NoxUCharMapping&) { return false; },
    [](const NoxUCharMapping& m) { return m.isFromUnicodeDefault() != 0; },
    [](const NoxUCharMapping& m) {
        return m.isFromUnicodeDefault() != 0 || m.isFromUnicodeFallback() != 0;
    }};

// Calls visit(key, record) once for each key of a sorted index, in order, with the record that
// s_search returns for that key. Where the answer does not depend on where the search lands,
// no search is made: a key with one record, or whose run of records begins with the
// direction's regular mapping, gives the run's first record. A record that ends the search (the
// byte index's record of length 0, which sorts first) could hide keys from it, so with one
// present every key is searched.
template <const NoxSearchRules& rules, typename Visit>
void s_forEachKey(const NoxUCharMapping* records, const uint32_t* index, uint32_t count,
                  const Visit& visit)
{
    const auto at = [records, index](uint32_t slot) -> const NoxUCharMapping& {
        return records[index[slot]];
    };
    const bool plain = count != 0 && !rules.endsSearch(at(0));
    uint32_t first = 0;
    while (first < count) {
        const uint32_t key = rules.keyOf(at(first));
        uint32_t last = first;
        while (last + 1 < count && rules.keyOf(at(last + 1)) == key) {
            ++last;
        }
        const bool landingDoesNotMatter = first == last || rules.isDefault(at(first));
        visit(key, plain && landingDoesNotMatter ? &at(first)
                                                 : s_search(records, index, count, key, rules));
        first = last + 1;
    }
}

} // namespace

// Loading, sorting and sharing the table (a unity build of this module).
#include "NoxUCharLoader.inl"

// ---------------------------------------------------------------- construction

NoxUCharConverter::NoxUCharConverter(const char* ucmFilePath_in)
{
    mf_clearState();
    mf_readDebugSwitches();
    mf_loadDataFile(ucmFilePath_in);
    mf_buildTable();
}

NoxUCharConverter::NoxUCharConverter(const char* ucmPath_in, const char* codePageName_in)
{
    mf_clearState();
    mf_readDebugSwitches();
    mf_constructor(ucmPath_in, codePageName_in);
    mf_buildTable();
}

NoxUCharConverter::NoxUCharConverter(const NoxUCharConverter& other)
{
    mf_clearState();
    mf_copyFrom(other);
}

NoxUCharConverter& NoxUCharConverter::operator=(const NoxUCharConverter& other)
{
    if (this != &other) {
        mf_destructor();
        leadBytes.clear();
        mf_copyFrom(other);
    }
    return *this;
}

NoxUCharConverter::~NoxUCharConverter()
{
    mf_destructor();
}

void NoxUCharConverter::mf_clearState()
{
    dataLen = 0;
    data = nullptr;
    unicodeData = nullptr;
    mbcsData = nullptr;
    ucmPath = nullptr;
    codePageName = nullptr;
    ucmFilePath = nullptr;
    leadBytes.clear();
    kernelTables = nullptr;
    builtTables.store(nullptr, std::memory_order_relaxed);
    sharedTable = nullptr;
}

void NoxUCharConverter::mf_readDebugSwitches()
{
    // Once set, a switch stays set for the life of the process.
    if (ncnv_isSwitchOn("NOXUNICODE_DEBUG")) {
        s_debug = true;
    }
    if (ncnv_isSwitchOn("NOXUNICODE_CHAR_DEBUG")) {
        s_charDebug = true;
    }
}

// A copy reloads the table from where the source came from instead of copying its arrays.
void NoxUCharConverter::mf_copyFrom(const NoxUCharConverter& other)
{
    if (other.ucmPath != nullptr && other.codePageName != nullptr) {
        mf_constructor(other.ucmPath, other.codePageName);
    } else if (other.ucmFilePath != nullptr) {
        mf_loadDataFile(other.ucmFilePath);
    } else {
        mf_initAscii();
    }
    mf_buildTable();
}

void NoxUCharConverter::mf_constructor(const char* ucmPath_in, const char* codePageName_in)
{
    const char* directory = ucmPath_in != nullptr ? ucmPath_in : ncnv_getUCMDataPath();
    const char* name = codePageName_in != nullptr ? codePageName_in : ncnv_getDefaultCodePageName();
    mf_loadData(directory, name);
    if (s_debug) {
        std::fprintf(stderr, "Constructed converter for %d characters.\n",
                     static_cast<int>(dataLen));
    }
}

bool NoxUCharConverter::mf_loadData(const char* ucmPath_in, const char* codePageName_in)
{
    bool retval = false;
    if (ucmPath_in != nullptr && codePageName_in != nullptr) {
        if (std::strcmp(codePageName_in, s_latin1Name) == 0) {
            mf_initAscii();
        } else {
            char path[s_pathBufferSize];
            if (!s_ucmFilePath(path, sizeof path, ucmPath_in, codePageName_in)) {
                // A path that does not fit is refused whole, never truncated into another
                // file's name.
                std::fprintf(stderr, "Cannot access '%s/%s.ucm'\n", ucmPath_in, codePageName_in);
                mf_initAscii();
            } else {
                retval = mf_loadDataFile(path);
            }
            if (retval) {
                ucmPath = strdup(ucmPath_in);
                codePageName = strdup(codePageName_in);
            }
        }
    }
    return retval;
}

void NoxUCharConverter::mf_destructor()
{
    mf_releaseTable();
    std::free(ucmPath);
    std::free(codePageName);
    std::free(ucmFilePath);
    ucmPath = nullptr;
    codePageName = nullptr;
    ucmFilePath = nullptr;
}

// ---------------------------------------------------------------- default converter

const NoxUCharConverter* NoxUCharConverter::getDefaultConverter()
{
    if (s_defaultConverter == nullptr) {
        s_defaultConverter = new (std::nothrow) NoxUCharConverter(nullptr, nullptr);
    }
    if (s_defaultConverter != nullptr) {
        ++s_defaultRef;
    }
    return s_defaultConverter;
}

void NoxUCharConverter::releaseDefaultConverter()
{
    if (s_defaultConverter != nullptr) {
        --s_defaultRef;
        if (s_defaultRef == 0) {
            delete s_defaultConverter;
            s_defaultConverter = nullptr;
        }
    }
}

// ---------------------------------------------------------------- lookups

const NoxUCharMapping* NoxUCharConverter::mf_findMBCS(t_mbcsBytes key) const
{
    return s_search(data, mbcsData, dataLen, key, s_byteRules);
}

const NoxUCharMapping* NoxUCharConverter::mf_findMBChar(const unsigned char* mbstr) const
{
    const NoxUCharMapping* retval = nullptr;
    if (mbstr != nullptr) {
        const int len = std::min<int>(leadBytes.bytes[mbstr[0]], s_maxCharLen);
        t_mbcsBytes key = 0;
        for (int i = 0; i < len; ++i) {
            key |= static_cast<t_mbcsBytes>(mbstr[i]) << (8 * i);
        }
        if (len != 0) {
            retval = mf_findMBCS(key);
        }
    }
    return retval;
}

const NoxUCharMapping* NoxUCharConverter::mf_findUChar(uint16_t unicodeCharacterValue) const
{
    return s_search(data, unicodeData, dataLen, unicodeCharacterValue, s_unicodeRules);
}

// Looks up the character at `source`, of which `avail` bytes lie inside the input (negative:
// the input ends at its 0 byte alone). A character whose lead-byte length reaches past `avail`
// is cut off: no lookup, *cutOff set. The text ends at its first 0 byte whatever the count
// says, so key bytes from a 0 on are not read and count as 0.
const NoxUCharMapping* NoxUCharConverter::mf_lookupBytes(const unsigned char* source,
                                                         ptrdiff_t avail, bool* cutOff) const
{
    const NoxUCharMapping* retval = nullptr;
    const int len = std::min<int>(leadBytes.bytes[source[0]], s_maxCharLen);
    *cutOff = avail >= 0 && len > avail;
    if (len != 0 && !*cutOff) {
        t_mbcsBytes key = source[0];
        for (int i = 1; i < len && source[i] != 0; ++i) {
            key |= static_cast<t_mbcsBytes>(source[i]) << (8 * i);
        }
        retval = mf_findMBCS(key);
    }
    return retval;
}

// The conversions (a unity build of this module).
#include "NoxUCharConversions.inl"

// ---------------------------------------------------------------- table dump

void NoxUCharConverter::dumpUTF8(const char* fname, const char* openType) const
{
    FILE* stream = stdout;
    bool doClose = false;
    if (fname != nullptr && openType != nullptr) {
        stream = std::fopen(fname, openType);
        doClose = true;
    }
    for (uint32_t i = 0; stream != nullptr && unicodeData != nullptr && i < dataLen; ++i) {
        const UTF16 value = data[unicodeData[i]].getUnicode();
        // The target end stops one byte short, so the bytes are always followed by a 0.
        UTF8 utf8[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        const UTF16* source = &value;
        UTF8* target = utf8;
        if (utf_ConvertUTF16toUTF8(&source, &value + 1, &target, utf8 + 7, strictConversion) !=
            conversionOK) {
            std::fprintf(stderr, "utf_ConvertUTF16toUTF8 failed NoxUCharConverter:%d\n", 660);
        } else {
            char bytes[13] = "";
            for (int k = 0; k < 3 && utf8[k] != 0; ++k) {
                std::snprintf(bytes + 4 * k, sizeof bytes - 4 * k, "\\x%02X", utf8[k]);
            }
            char field[8];
            std::snprintf(field, sizeof field, "<U%04X>", value);
            char line[32];
            std::snprintf(line, sizeof line, "%s %s |0\n", field, bytes);
            std::fputs(line, stream);
        }
    }
    if (doClose && stream != nullptr) {
        std::fclose(stream);
    }
}

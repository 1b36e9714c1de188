// NoxUCharConverter.cpp - code-page tables: loading, indexes, lookups and conversions.
//
// Each conversion has one exact per-character step a direction (mf_toUStep, mf_fromUStep),
// shared by the counted-buffer and pointer-range forms, which differ only in what they do at a
// full output (NoxCountedOutput, NoxRangeOutput). Before each exact step, the run loop of the
// converter's family at the active kernel level converts what its kernels can (the files
// under kernels/, included below; see docs/design.md).
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

// Binary search over a sorted index as the lookups define it: the first probe never lies
// beyond slot 127. Among equal keys the direction's regular mapping wins wherever the search
// lands (the sort puts it first in its run); without one, the scan from the landing slot
// towards slot 0 prefers a record that is usable in the lookup's direction.
const NoxUCharMapping* s_search(NoxUCharMapping* const* index, uint32_t count, uint32_t key,
                                const NoxSearchRules& rules)
{
    const NoxUCharMapping* retval = nullptr;
    if (index != nullptr && count != 0) {
        uint32_t begin = 0;
        uint32_t end = count - 1;
        uint32_t probe = std::min<uint32_t>(count / 2, 127);
        bool searching = true;
        bool found = false;
        while (searching) {
            const NoxUCharMapping* record = index[probe];
            const uint32_t probed = rules.keyOf(*record);
            if (rules.endsSearch(*record)) {
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
                return rules.keyOf(*index[slot]) == key && !rules.endsSearch(*index[slot]);
            };
            uint32_t first = probe;
            while (first > 0 && sameKey(first - 1)) {
                --first;
            }
            retval = index[probe];
            if (rules.isDefault(*index[first])) {
                retval = index[first];
            } else {
                for (uint32_t slot = probe + 1; slot-- > first;) {
                    if (rules.isUsable(*index[slot])) {
                        retval = index[slot];
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
void s_forEachKey(NoxUCharMapping* const* index, uint32_t count, const Visit& visit)
{
    const bool plain = count != 0 && !rules.endsSearch(*index[0]);
    uint32_t first = 0;
    while (first < count) {
        const uint32_t key = rules.keyOf(*index[first]);
        uint32_t last = first;
        while (last + 1 < count && rules.keyOf(*index[last + 1]) == key) {
            ++last;
        }
        const bool landingDoesNotMatter = first == last || rules.isDefault(*index[first]);
        visit(key,
              plain && landingDoesNotMatter ? index[first] : s_search(index, count, key, rules));
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
            const int needed =
                std::snprintf(path, sizeof path, "%s/%s.ucm", ucmPath_in, codePageName_in);
            if (needed < 0 || static_cast<size_t>(needed) >= sizeof path) {
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
    return s_search(mbcsData, dataLen, key, s_byteRules);
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
    return s_search(unicodeData, dataLen, unicodeCharacterValue, s_unicodeRules);
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

// Builds the kernels' tables of this converter's table unless another converter of the table
// has. Converters of one table may convert at once in several threads: each that finds none
// builds them, the first to publish wins and the others release theirs.
const nox::CodePageTables* NoxUCharConverter::mf_buildKernelTables() const
{
    nox::CodePageTables* built = s_buildCodePageTables(
        leadBytes, data, dataLen,
        [this](const auto& visit) { s_forEachKey<s_byteRules>(mbcsData, dataLen, visit); },
        [this](const auto& visit) { s_forEachKey<s_unicodeRules>(unicodeData, dataLen, visit); });
    nox::CodePageTables* published = nullptr;
    const nox::CodePageTables* retval = built;
    if (built == nullptr) {
        kernelTables->unbuildable.store(true, std::memory_order_relaxed);
    } else if (!kernelTables->built.compare_exchange_strong(
                   published, built, std::memory_order_acq_rel, std::memory_order_acquire)) {
        s_releaseCodePageTables(built);
        retval = published;
    }
    return retval;
}

size_t NoxUCharConverter::tableBytes() const
{
    return s_codePageTablesBytes(
        kernelTables != nullptr ? kernelTables->built.load(std::memory_order_acquire) : nullptr);
}

// ---------------------------------------------------------------- conversions

namespace {

// The counted-buffer forms: write below `size`, go on counting past it, so that a call with
// no output sizes the result; a character that does not fit sets `fullCode` and is counted.
template <typename Unit> struct NoxCountedOutput {
    static constexpr bool kCountsBeyond = true;
    Unit* out;
    int size;
    int count;

    size_t room() const { return out != nullptr && size > count ? size_t(size - count) : 0; }
    Unit* at() const { return room() != 0 ? out + count : nullptr; }
    void ran(size_t produced, size_t room_in, int* errorReturn)
    {
        if (produced > room_in) {
            s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
        }
        count += static_cast<int>(produced);
    }
    template <typename Write>
    bool take(int length, int fullCode, int* errorReturn, const Write& write)
    {
        if (out != nullptr && static_cast<long long>(count) + length <= size) {
            write(out + count);
        } else {
            s_setError(errorReturn, fullCode);
        }
        count += length;
        return true;
    }
};

// The pointer-range forms: write before `end`, stop with NCNV_BUFFER_OVERFLOW at the first
// character that does not fit, leaving it unconsumed.
template <typename Unit> struct NoxRangeOutput {
    static constexpr bool kCountsBeyond = false;
    Unit* out;
    const Unit* end;

    size_t room() const { return out < end ? static_cast<size_t>(end - out) : 0; }
    Unit* at() const { return out; }
    void ran(size_t produced, size_t, int*) { out += produced; }
    template <typename Write> bool take(int length, int, int* errorReturn, const Write& write)
    {
        const bool retval = length <= end - out;
        if (retval) {
            write(out);
            out += length;
        } else {
            s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
        }
        return retval;
    }
};

// Input still to convert from its start: a count, or negative when only the 0 ends it.
ptrdiff_t s_consume(ptrdiff_t avail, size_t used)
{
    return avail < 0 ? avail : avail - static_cast<ptrdiff_t>(used);
}

// Lets the level's run (none at level Exact) convert what it can from `source`; returns the
// input it took.
template <typename Run, typename Unit, class Output>
size_t s_runAhead(Run run, const nox::CodePageTables* tables, const Unit* source, ptrdiff_t avail,
                  Output& output, int* errorReturn)
{
    size_t used = 0;
    if (run != nullptr) {
        size_t produced = 0;
        const size_t room = output.room();
        used = run(*tables, source, avail < 0 ? SIZE_MAX : static_cast<size_t>(avail), output.at(),
                   room, Output::kCountsBeyond, &produced);
        if (used != 0) {
            output.ran(produced, room, errorReturn);
        }
    }
    return used;
}

} // namespace

NoxCharStep NoxUCharConverter::mf_toUStep(const unsigned char* source, ptrdiff_t avail) const
{
    NoxCharStep retval = {NoxCharStep::Unmapped, nullptr, 0, 0};
    bool cutOff = false;
    const NoxUCharMapping* record = mf_lookupBytes(source, avail, &cutOff);
    if (cutOff) {
        retval.kind = NoxCharStep::CutOff;
    } else if (record == nullptr && !ncnv_getConvertBestEffort()) {
        s_reportUnmappedBytes(source, avail);
    } else if (record == nullptr) {
        // Best effort: the byte passes through as the unit of the same value.
        retval = {NoxCharStep::PassedThrough, nullptr, *source, 1};
    } else {
        if (s_charDebug) {
            s_debugNoxUCharMapping(record);
        }
        const int length = record->getMBLen();
        retval = {NoxCharStep::Mapped, record, record->getUnicode(), length};
        if (avail >= 0 && avail < length) {
            retval.kind = NoxCharStep::CutOff;
        }
    }
    return retval;
}

NoxCharStep NoxUCharConverter::mf_fromUStep(UChar value) const
{
    NoxCharStep retval = {NoxCharStep::Unmapped, nullptr, 0, 0};
    const NoxUCharMapping* record = mf_findUChar(value);
    if (record == nullptr && (value > 0xFF || !ncnv_getConvertBestEffort())) {
        s_reportUnmappedUnit(value);
    } else if (record == nullptr) {
        // Best effort: a unit up to 0xFF passes through as the byte of the same value.
        retval = {NoxCharStep::PassedThrough, nullptr, value, 1};
    } else {
        if (s_charDebug) {
            s_debugNoxUCharMapping(record);
        }
        retval = {NoxCharStep::Mapped, record, value, record->getMBLen()};
    }
    return retval;
}

// The kernels' tables, built now unless they are (null: the exact path).
inline const nox::CodePageTables* NoxUCharConverter::mf_kernelTables() const
{
    const nox::CodePageTables* retval = kernelTables->built.load(std::memory_order_acquire);
    if (retval == nullptr && !kernelTables->unbuildable.load(std::memory_order_relaxed)) {
        retval = mf_buildKernelTables();
    }
    return retval;
}

// What a conversion of `avail` units (negative: up to the 0) that `wanted` kernels runs with:
// the built tables; or none yet, and the characters it takes one at a time before they are
// built; or, when the table's count of such characters has reached the threshold or the text is
// long enough to reach it alone, the tables built now.
inline NoxKernelUse NoxUCharConverter::mf_kernelUse(bool wanted, ptrdiff_t avail) const
{
    NoxKernelUse retval = {nullptr, 0, 0};
    if (wanted && kernelTables != nullptr) {
        retval.tables = kernelTables->built.load(std::memory_order_acquire);
        if (retval.tables == nullptr &&
            !kernelTables->unbuildable.load(std::memory_order_relaxed)) {
            const size_t seen = kernelTables->exactSteps.load(std::memory_order_relaxed);
            const size_t threshold = nox::kernelTablesAfter();
            const size_t left = seen < threshold ? threshold - seen : 0;
            if (left == 0 || (avail >= 0 && static_cast<size_t>(avail) >= left)) {
                retval.tables = mf_kernelTables();
            } else {
                retval.exactLeft = left;
                retval.exactGoal = threshold;
            }
        }
    }
    return retval;
}

// Counts one character taken one at a time; true when that was the last before the tables,
// which are then in `use` (or null, when they cannot be built).
inline bool NoxUCharConverter::mf_tookExactStep(NoxKernelUse& use) const
{
    bool retval = false;
    if (use.exactLeft != 0 && --use.exactLeft == 0) {
        use.tables = mf_kernelTables();
        retval = use.tables != nullptr;
    }
    return retval;
}

// Adds the characters a conversion took one at a time to its table's count, unless the tables
// came meanwhile.
inline void NoxUCharConverter::mf_noteExactSteps(const NoxKernelUse& use) const
{
    if (use.exactLeft != 0) {
        kernelTables->exactSteps.store(use.exactGoal - use.exactLeft, std::memory_order_relaxed);
    }
}

// Converts code-page text from `source` until its end (`avail` bytes, or its 0 byte), a
// failure, or (pointer-range output) a full output; returns where it stopped.
template <class Output>
const unsigned char* NoxUCharConverter::mf_toU(const unsigned char* source, ptrdiff_t avail,
                                               Output& output, int* errorReturn) const
{
    // No kernels while every character is traced.
    const NoxCodePageRuns* runs = !s_charDebug ? s_codePageRuns(nox::activeKernelLevel()) : nullptr;
    NoxKernelUse use = mf_kernelUse(runs != nullptr, avail);
    NoxToURun run =
        use.tables != nullptr ? runs->toU[static_cast<int>(use.tables->toUFamily)] : nullptr;
    bool going = true;
    while (going && avail != 0 && *source != 0) {
        const size_t used = s_runAhead(run, use.tables, source, avail, output, errorReturn);
        if (used != 0) {
            source += used;
            avail = s_consume(avail, used);
            continue;
        }
        const NoxCharStep step = mf_toUStep(source, avail);
        if (step.kind == NoxCharStep::CutOff) {
            s_setError(errorReturn, NCNV_INDEX_OUTOFBOUNDS);
            going = false;
        } else if (step.kind == NoxCharStep::Unmapped) {
            s_setError(errorReturn, NCNV_UNSUPPORTED);
            going = false;
        } else {
            // A passed-through byte that finds no room reports itself as out of bounds.
            const int fullCode = step.kind == NoxCharStep::PassedThrough ? NCNV_INDEX_OUTOFBOUNDS
                                                                         : NCNV_BUFFER_OVERFLOW;
            going = output.take(1, fullCode, errorReturn, [&](UChar* at) { *at = step.value; });
            if (going) {
                source += step.length;
                avail = s_consume(avail, static_cast<size_t>(step.length));
                if (mf_tookExactStep(use)) {
                    run = runs->toU[static_cast<int>(use.tables->toUFamily)];
                }
            }
        }
    }
    mf_noteExactSteps(use);
    return source;
}

// Converts UTF-16 text from `source` as mf_toU does code-page text.
template <class Output>
const UChar* NoxUCharConverter::mf_fromU(const UChar* source, ptrdiff_t avail, Output& output,
                                         int* errorReturn) const
{
    // No kernels while every character is traced.
    const NoxCodePageRuns* runs = !s_charDebug ? s_codePageRuns(nox::activeKernelLevel()) : nullptr;
    NoxKernelUse use = mf_kernelUse(runs != nullptr, avail);
    NoxFromURun run =
        use.tables != nullptr ? runs->fromU[static_cast<int>(use.tables->fromUFamily)] : nullptr;
    bool going = true;
    while (going && avail != 0 && *source != 0) {
        const size_t used = s_runAhead(run, use.tables, source, avail, output, errorReturn);
        if (used != 0) {
            source += used;
            avail = s_consume(avail, used);
            continue;
        }
        const NoxCharStep step = mf_fromUStep(*source);
        if (step.kind == NoxCharStep::Unmapped) {
            s_setError(errorReturn, NCNV_UNSUPPORTED);
            going = false;
        } else {
            going =
                output.take(step.length, NCNV_BUFFER_OVERFLOW, errorReturn, [&](unsigned char* at) {
                    if (step.record != nullptr) {
                        auto room = static_cast<uint16_t>(step.length);
                        step.record->getMBCS(at, &room);
                    } else {
                        *at = static_cast<unsigned char>(step.value);
                    }
                });
            if (going) {
                ++source;
                avail = s_consume(avail, 1);
                if (mf_tookExactStep(use)) {
                    run = runs->fromU[static_cast<int>(use.tables->fromUFamily)];
                }
            }
        }
    }
    mf_noteExactSteps(use);
    return source;
}

int NoxUCharConverter::toUChars(UChar* out, int outSize, const char* source, int sourceSize,
                                int* errorReturn) const
{
    NoxCountedOutput<UChar> output = {out, outSize, 0};
    s_setError(errorReturn, NCNV_OK);
    if (source == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    } else {
        // A negative size means that only the 0 byte ends the input.
        mf_toU(reinterpret_cast<const unsigned char*>(source), sourceSize < 0 ? -1 : sourceSize,
               output, errorReturn);
    }
    // The terminator goes where it fits, whatever ended the conversion.
    if (out != nullptr && output.count < outSize) {
        out[output.count] = 0;
    }
    const int retval = output.count;
    return retval;
}

int NoxUCharConverter::fromUChars(char* out, int outSize, const UChar* source, int sourceSize,
                                  int* errorReturn) const
{
    NoxCountedOutput<unsigned char> output = {reinterpret_cast<unsigned char*>(out), outSize, 0};
    s_setError(errorReturn, NCNV_OK);
    if (source == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    } else {
        mf_fromU(source, sourceSize < 0 ? -1 : sourceSize, output, errorReturn);
    }
    if (out != nullptr && output.count < outSize) {
        out[output.count] = 0;
    }
    const int retval = output.count;
    return retval;
}

void NoxUCharConverter::toUnicode(UChar** outRef, const UChar* outEnd, const char** sourceRef,
                                  const char* sourceEnd, int* errorReturn) const
{
    if (outRef == nullptr || *outRef == nullptr || outEnd == nullptr || sourceRef == nullptr ||
        *sourceRef == nullptr || sourceEnd == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    } else {
        NoxRangeOutput<UChar> output = {*outRef, outEnd};
        const auto* start = reinterpret_cast<const unsigned char*>(*sourceRef);
        const auto* end = reinterpret_cast<const unsigned char*>(sourceEnd);
        const unsigned char* stop =
            mf_toU(start, start < end ? end - start : 0, output, errorReturn);
        // The terminator only for a 0 byte met inside the range, where it fits.
        if (stop < end && *stop == 0 && output.out < outEnd) {
            *output.out = 0;
        }
        *outRef = output.out;
        *sourceRef = reinterpret_cast<const char*>(stop);
    }
}

void NoxUCharConverter::fromUnicode(char** outRef, const char* outEnd, const UChar** sourceRef,
                                    const UChar* sourceEnd, int* errorReturn) const
{
    if (outRef == nullptr || *outRef == nullptr || outEnd == nullptr || sourceRef == nullptr ||
        *sourceRef == nullptr || sourceEnd == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    } else {
        NoxRangeOutput<unsigned char> output = {reinterpret_cast<unsigned char*>(*outRef),
                                                reinterpret_cast<const unsigned char*>(outEnd)};
        const UChar* start = *sourceRef;
        const UChar* stop =
            mf_fromU(start, start < sourceEnd ? sourceEnd - start : 0, output, errorReturn);
        if (stop < sourceEnd && *stop == 0 && output.out < output.end) {
            *output.out = 0;
        }
        *outRef = reinterpret_cast<char*>(output.out);
        *sourceRef = stop;
    }
}

int NoxUCharConverter::mf_mblen(const char* source, int maxBytes, int* errorReturn) const
{
    int retval = 0;
    const auto* src = reinterpret_cast<const unsigned char*>(source);
    if (src == nullptr) {
        retval = 0;
    } else if (maxBytes <= 0) {
        // Nothing may be read at all.
        s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
        retval = -1;
    } else if (*src == 0) {
        s_setError(errorReturn, NCNV_OK);
    } else {
        bool cutOff = false;
        const NoxUCharMapping* record = mf_lookupBytes(src, maxBytes, &cutOff);
        if (cutOff) {
            s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
            retval = -1;
        } else if (record == nullptr) {
            std::fprintf(stderr, "No mapping for character \\x%02X\n", *src);
            if (ncnv_getConvertBestEffort()) {
                retval = 1;
            } else {
                s_setError(errorReturn, NCNV_INVALID_CHAR);
                retval = -1;
            }
        } else if (record->getMBLen() > maxBytes) {
            s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
            retval = -1;
        } else {
            s_setError(errorReturn, NCNV_OK);
            retval = record->getMBLen();
        }
    }
    return retval;
}

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
        const UTF16 value = unicodeData[i]->getUnicode();
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

// NoxUCharConverter.cpp - code-page tables: loading, indexes, lookups and conversions.
#include "NoxUCharConverter.h"

#include "ConvertUTF.h"
#include "environment.h"
#include "kernels/kernels.h"
#include "parser.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

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

// The message for an unmapped code-page character: four bytes from its position, each
// position past the input's limit shown as 0 (avail < 0: the input ends at its 0 byte).
void s_reportUnmappedBytes(const unsigned char* source, ptrdiff_t avail)
{
    unsigned char shown[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        if (avail < 0) {
            shown[i] = source[i];
            if (shown[i] == 0) {
                break;
            }
        } else if (i < avail) {
            shown[i] = source[i];
        }
    }
    std::fprintf(stderr, "No mapping for character(s) \\x%02X\\x%02X\\x%02X\\x%02X'\n", shown[0],
                 shown[1], shown[2], shown[3]);
}

void s_reportUnmappedUnit(UChar value)
{
    std::fprintf(stderr, "No mapping for character <U%04X>\n", value);
}

// Binary search over a sorted index as the lookups define it: the first probe never lies
// beyond slot 127; among equal keys the scan towards slot 0 prefers a record that is usable
// in the lookup's direction.
template <typename Key, typename Usable>
const NoxUCharMapping* s_search(NoxUCharMapping* const* index, uint32_t count, uint32_t key,
                                bool stopOnEmpty, Key keyOf, Usable usable)
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
            const uint32_t probed = keyOf(*record);
            if (stopOnEmpty && record->getMBLen() == 0) {
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
            retval = index[probe];
            for (uint32_t slot = probe + 1; slot-- > 0;) {
                const NoxUCharMapping* record = index[slot];
                if (keyOf(*record) != key || (stopOnEmpty && record->getMBLen() == 0)) {
                    break;
                }
                if (usable(*record)) {
                    retval = record;
                    break;
                }
            }
        }
    }
    return retval;
}

} // namespace

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
    mf_toUSingle = nullptr;
    mf_toUDouble = nullptr;
    mf_fromURows = nullptr;
    mf_emptyRow = nullptr;
    mf_vbmiTables = nullptr;
    mf_toUPairs = nullptr;
    mf_fromUGather = nullptr;
    mf_gatherWidth = 0;
    mf_asciiToU = false;
    mf_asciiFromU = false;
    mf_identityToU = false;
    mf_singleByteOnly = false;
    mf_keptFirst = 1;
    mf_keptLast = 0x7F;
    mf_keptToUFirst = 0x100;
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

bool NoxUCharConverter::mf_initAscii()
{
    bool retval = false;
    data = new (std::nothrow) NoxUCharMapping[256];
    if (data != nullptr) {
        dataLen = 256;
        for (uint32_t i = 0; i < 256; ++i) {
            data[i].setFromUnicodeDefault();
            data[i].setToUnicodeDefault();
            data[i].setMBCS(i);
            data[i].setUnicode(static_cast<uint16_t>(i));
            leadBytes.bytes[i] = 1;
        }
        leadBytes.cur_min = 1;
        leadBytes.cur_max = 1;
        retval = true;
    }
    return retval;
}

bool NoxUCharConverter::mf_buildTable()
{
    bool retval = false;
    if (data != nullptr && dataLen != 0) {
        unicodeData = new (std::nothrow) NoxUCharMapping*[dataLen];
        mbcsData = new (std::nothrow) NoxUCharMapping*[dataLen];
        retval = unicodeData != nullptr && mbcsData != nullptr;
    }
    if (retval) {
        for (uint32_t i = 0; i < dataLen; ++i) {
            unicodeData[i] = &data[i];
            mbcsData[i] = &data[i];
        }
        std::qsort(unicodeData, dataLen, sizeof *unicodeData, local_s_compareUnicode);
        std::qsort(mbcsData, dataLen, sizeof *mbcsData, local_s_compareMBCS);
        mf_buildCaches();
    } else {
        dataLen = 0;
        delete[] data;
        delete[] unicodeData;
        delete[] mbcsData;
        data = nullptr;
        unicodeData = nullptr;
        mbcsData = nullptr;
    }
    return retval;
}

void NoxUCharConverter::mf_destructor()
{
    mf_releaseCaches();
    dataLen = 0;
    delete[] data;
    delete[] unicodeData;
    delete[] mbcsData;
    std::free(ucmPath);
    std::free(codePageName);
    std::free(ucmFilePath);
    data = nullptr;
    unicodeData = nullptr;
    mbcsData = nullptr;
    ucmPath = nullptr;
    codePageName = nullptr;
    ucmFilePath = nullptr;
}

// ---------------------------------------------------------------- UCM file loading

namespace {

// Reads one physical line whole, whatever its length; false at the end of the file.
bool s_readLine(FILE* file, char** line, size_t* capacity)
{
    return getline(line, capacity, file) >= 0;
}

bool s_beginsLikeLeadBytes(const char* line)
{
    return line[0] == '<' && line[1] == 'n';
}

} // namespace

bool NoxUCharConverter::mf_loadDataFile(const char* ucmFilePath_in)
{
    bool retval = false;
    FILE* file = nullptr;
    if (ucmFilePath_in == nullptr || access(ucmFilePath_in, R_OK) != 0) {
        std::fprintf(stderr, "Cannot access '%s'\n",
                     ucmFilePath_in != nullptr ? ucmFilePath_in : "(null)");
        mf_initAscii();
    } else if ((file = std::fopen(ucmFilePath_in, "r")) == nullptr) {
        std::fprintf(stderr, "Open failed for '%s'\n", ucmFilePath_in);
        mf_initAscii();
    } else {
        char* line = nullptr;
        size_t capacity = 0;
        NoxUCharMapping probe;
        bool leadBytesRead = false;
        // Pass 1 counts exactly the lines that pass 2 will accept.
        while (s_readLine(file, &line, &capacity)) {
            if (s_beginsLikeLeadBytes(line)) {
                if (!leadBytesRead) {
                    leadBytesRead = parse_lead_bytes(line, &leadBytes) != 0;
                }
            } else if (line[0] == '#' && line[1] != '\0') {
                if (s_debug) {
                    std::fputs(line + 1, stderr);
                }
            } else if (parse_ucm_line(line, &probe) != 0) {
                ++dataLen;
            }
        }
        if (dataLen != 0 && leadBytesRead) {
            data = new (std::nothrow) NoxUCharMapping[dataLen];
        }
        if (data != nullptr && std::fseek(file, 0, SEEK_SET) == 0) {
            uint32_t index = 0;
            while (index < dataLen && s_readLine(file, &line, &capacity)) {
                if (parse_ucm_line(line, &data[index]) != 0) {
                    ++index;
                }
            }
            dataLen = index;
            retval = index != 0;
        }
        if (retval) {
            ucmFilePath = strdup(ucmFilePath_in);
        } else {
            delete[] data;
            data = nullptr;
            dataLen = 0;
        }
        std::free(line);
        std::fclose(file);
    }
    return retval;
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
    return s_search(
        mbcsData, dataLen, key, true, [](const NoxUCharMapping& m) { return m.getPackedMBCS(); },
        [](const NoxUCharMapping& m) {
            return m.isToUnicodeDefault() != 0 || m.isToUnicodeFallback() != 0;
        });
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
    return s_search(
        unicodeData, dataLen, unicodeCharacterValue, false,
        [](const NoxUCharMapping& m) { return static_cast<uint32_t>(m.getUnicode()); },
        [](const NoxUCharMapping& m) {
            return m.isFromUnicodeDefault() != 0 || m.isFromUnicodeFallback() != 0;
        });
}

// Looks up the character at `source`, of which `avail` bytes lie inside the input (a
// negative `avail`: the input ends at its 0 byte, and bytes missing before it count as 0).
// A character whose lead-byte length reaches past `avail` is cut off: no lookup, *cutOff set.
const NoxUCharMapping* NoxUCharConverter::mf_lookupBytes(const unsigned char* source,
                                                         ptrdiff_t avail, bool* cutOff) const
{
    const NoxUCharMapping* retval = nullptr;
    const int len = std::min<int>(leadBytes.bytes[source[0]], s_maxCharLen);
    *cutOff = avail >= 0 && len > avail;
    if (len != 0 && !*cutOff) {
        t_mbcsBytes key = source[0];
        for (int i = 1; i < len; ++i) {
            if (avail < 0 && source[i] == 0) {
                break;
            }
            key |= static_cast<t_mbcsBytes>(source[i]) << (8 * i);
        }
        retval = mf_findMBCS(key);
    }
    return retval;
}

// ---------------------------------------------------------------- lookup caches

namespace {

// The bytes that start characters in a block (of up to 63 bytes) that starts on a character
// boundary, given the mask of its lead-range bytes: each run of them alternates lead and
// trail from its first byte (a run always begins on a boundary), and each lead's next byte
// is its trail whatever its value. *leads receives the mask of the leads; the caller keeps
// the bits of its block.
uint64_t s_charStarts(uint64_t inRange, uint64_t* leads)
{
    const uint64_t runStarts = inRange & ~(inRange << 1);
    // Adding a run's first bit carries through the run, which clears it.
    const uint64_t evenRuns = inRange & ~(inRange + (runStarts & 0x5555555555555555ull));
    const uint64_t oddRuns = inRange & ~evenRuns;
    *leads = inRange & ~((evenRuns & 0xAAAAAAAAAAAAAAAAull) | (oddRuns & 0x5555555555555555ull));
    return ~(*leads << 1);
}

#if defined(__x86_64__) && defined(__GNUC__)
// Looks up 64 bytes in a 256-entry byte table: two permutations over its halves, blended by
// each byte's top bit.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline __m512i
s_vbmiLookup(__m512i index, __mmask64 upper, const unsigned char* t)
{
    const __m512i low =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(t), index, _mm512_loadu_si512(t + 64));
    const __m512i high =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(t + 128), index, _mm512_loadu_si512(t + 192));
    return _mm512_mask_blend_epi8(upper, low, high);
}

// Converts 64 one-byte characters at a time with byte permutations over the code page's
// 256-entry tables (low unit byte, high unit byte, valid flag). Stops before the first block
// that holds a byte without an entry (the 0 byte has none) and returns the bytes converted.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) size_t
s_toUVbmi(const unsigned char* src, size_t len, UChar* out, const unsigned char* tables)
{
    size_t i = 0;
    while (len - i >= 64) {
        const __m512i v = _mm512_loadu_si512(src + i);
        const __mmask64 upper = _mm512_movepi8_mask(v);
        const __m512i valid = s_vbmiLookup(v, upper, tables + 512);
        if (_mm512_test_epi8_mask(valid, valid) != ~0ull) {
            break;
        }
        if (out != nullptr) {
            const __m512i lo = s_vbmiLookup(v, upper, tables);
            const __m512i hi = s_vbmiLookup(v, upper, tables + 256);
            // Zero-extended low bytes, or-ed with the high bytes shifted up, 32 units a half.
            const __m512i units0 = _mm512_or_si512(
                _mm512_cvtepu8_epi16(_mm512_maskz_extracti64x4_epi64(0xFF, lo, 0)),
                _mm512_slli_epi16(
                    _mm512_cvtepu8_epi16(_mm512_maskz_extracti64x4_epi64(0xFF, hi, 0)), 8));
            const __m512i units1 = _mm512_or_si512(
                _mm512_cvtepu8_epi16(_mm512_maskz_extracti64x4_epi64(0xFF, lo, 1)),
                _mm512_slli_epi16(
                    _mm512_cvtepu8_epi16(_mm512_maskz_extracti64x4_epi64(0xFF, hi, 1)), 8));
            _mm512_storeu_si512(out + i, units0);
            _mm512_storeu_si512(out + i + 32, units1);
        }
        i += 64;
    }
    return i;
}

// GCC's AVX-512 conversion intrinsics start from an undefined vector, which it then reports.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// Converts blocks of 32 bytes of a double-byte code page as mf_toUPairBlocks does, with
// one gather of the byte-pair table per 16 positions and the characters' units compressed
// into a masked store, so that nothing beyond them is written.
__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,popcnt"))) size_t
s_toUPairs512(const unsigned char* src, size_t srcLen, UChar* out, size_t* n, size_t room,
              bool countBeyond, const uint16_t* pairs, const unsigned char* ranges, bool asciiToU)
{
    const __m256i first0 = _mm256_set1_epi8(static_cast<char>(ranges[0]));
    const __m256i span0 = _mm256_set1_epi8(static_cast<char>(ranges[1] - ranges[0]));
    const __m256i first1 = _mm256_set1_epi8(static_cast<char>(ranges[2]));
    const __m256i span1 = _mm256_set1_epi8(static_cast<char>(ranges[3] - ranges[2]));
    size_t i = 0;
    size_t produced = *n;
    bool stopped = false;
    while (!stopped && srcLen - i > 32 &&
           (produced + 32 <= room || (countBeyond && produced >= room))) {
        const unsigned char* block = src + i;
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 1));
        const uint32_t inRange = _mm256_cmple_epu8_mask(_mm256_sub_epi8(v, first0), span0) |
                                 _mm256_cmple_epu8_mask(_mm256_sub_epi8(v, first1), span1);
        if (inRange == 0 && asciiToU && _mm256_movemask_epi8(v) == 0) {
            break;
        }
        uint64_t leads = 0;
        auto starts = static_cast<uint32_t>(s_charStarts(inRange, &leads));
        // A lead on the last byte waits for the next block.
        size_t consumed = (leads & 0x80000000u) != 0 ? 31 : 32;
        starts &= consumed == 31 ? 0x7FFFFFFFu : ~0u;
        // Each position's index: its byte above the next one.
        const __m512i index0 =
            _mm512_or_si512(_mm512_slli_epi32(_mm512_cvtepu8_epi32(_mm256_castsi256_si128(v)), 8),
                            _mm512_cvtepu8_epi32(_mm256_castsi256_si128(next)));
        const __m512i index1 = _mm512_or_si512(
            _mm512_slli_epi32(_mm512_cvtepu8_epi32(_mm256_extracti128_si256(v, 1)), 8),
            _mm512_cvtepu8_epi32(_mm256_extracti128_si256(next, 1)));
        const __m512i low = _mm512_i32gather_epi32(index0, pairs, 2);
        const __m512i high = _mm512_i32gather_epi32(index1, pairs, 2);
        const __m512i units = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi32_epi16(low)),
                                                 _mm512_cvtepi32_epi16(high), 1);
        // A unit of 0 marks a character without an entry: it and the rest wait.
        const uint32_t missing = _mm512_mask_testn_epi16_mask(starts, units, units);
        if (missing != 0) {
            consumed = static_cast<size_t>(__builtin_ctz(missing));
            starts &= (1u << consumed) - 1;
            stopped = true;
        }
        const auto count = static_cast<unsigned>(_mm_popcnt_u32(starts));
        if (produced < room) {
            const __mmask32 keep = count >= 32 ? ~0u : (1u << count) - 1;
            _mm512_mask_storeu_epi16(out + produced, keep,
                                     _mm512_maskz_compress_epi16(starts, units));
        }
        produced += count;
        i += consumed;
    }
    *n = produced;
    return i;
}

// Converts blocks of 32 UTF-16 units while each unit has an entry in the flat table of
// `Width` bytes a unit (one or two bytes, the first never 0; 0 where the exact path must
// decide) and room for a block's bytes remains, or counting only: one gather per 16 units,
// the bytes compressed into a masked store, so that nothing beyond them is written. Stops
// before a block whose units all lie in 0x01-0x7F or kept[0]-kept[1] (with `yield`), which
// the narrowing runs take faster. Returns the units converted and adds the bytes to *n.
template <int Width>
__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,popcnt"))) size_t
s_fromUGather512(const UChar* src, size_t srcLen, unsigned char* out, size_t* n, size_t room,
                 bool countOnly, const unsigned char* bytes, const UChar* kept, bool yield)
{
    // A gather reads four bytes; the width keeps those of the unit's entry.
    const __m512i width = _mm512_set1_epi16(Width == 1 ? 0xFF : -1);
    const __m512i one = _mm512_set1_epi16(1);
    const __m512i asciiSpan = _mm512_set1_epi16(0x7E);
    const __m512i keptFirst = _mm512_set1_epi16(static_cast<short>(kept[0]));
    const __m512i keptSpan = _mm512_set1_epi16(static_cast<short>(kept[1] - kept[0]));
    size_t i = 0;
    size_t produced = *n;
    bool stopped = false;
    while (!stopped && srcLen - i >= 32 && (countOnly || produced + 32 * Width <= room)) {
        const __m512i units = _mm512_loadu_si512(src + i);
        if (yield &&
            (_mm512_cmple_epu16_mask(_mm512_sub_epi16(units, one), asciiSpan) |
             _mm512_cmple_epu16_mask(_mm512_sub_epi16(units, keptFirst), keptSpan)) == ~0u) {
            break;
        }
        const __m512i low = _mm512_i32gather_epi32(
            _mm512_cvtepu16_epi32(_mm512_castsi512_si256(units)), bytes, Width);
        const __m512i high = _mm512_i32gather_epi32(
            _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(units, 1)), bytes, Width);
        const __m512i entries = _mm512_and_si512(
            width, _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi32_epi16(low)),
                                      _mm512_cvtepi32_epi16(high), 1));
        // Every byte of an entry that is not 0 is written; a unit without an entry and the
        // rest wait.
        uint64_t keep = _mm512_test_epi8_mask(entries, entries);
        const uint32_t missing = _mm512_testn_epi16_mask(entries, entries);
        size_t consumed = 32;
        if (missing != 0) {
            consumed = static_cast<size_t>(__builtin_ctz(missing));
            keep &= (uint64_t{1} << (2 * consumed)) - 1;
            stopped = true;
        }
        const auto count = static_cast<size_t>(_mm_popcnt_u64(keep));
        if (!countOnly) {
            const __mmask64 fill = count >= 64 ? ~0ull : (uint64_t{1} << count) - 1;
            _mm512_mask_storeu_epi8(out + produced, fill,
                                    _mm512_maskz_compress_epi8(keep, entries));
        }
        produced += count;
        i += consumed;
    }
    *n = produced;
    return i;
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

bool s_hasPairGather()
{
    static const bool s_supported =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2") &&
        __builtin_cpu_supports("popcnt");
    return s_supported;
}

bool s_hasVbmi()
{
    static const bool s_supported = __builtin_cpu_supports("avx512f") &&
                                    __builtin_cpu_supports("avx512bw") &&
                                    __builtin_cpu_supports("avx512vbmi");
    return s_supported;
}
#endif

// A cache entry for the code-page side: the record's unit and length, 0 where the fast runs
// must leave the character to the exact per-character path.
uint32_t s_toUEntry(const NoxUCharMapping* record)
{
    uint32_t retval = 0;
    if (record != nullptr && record->getMBLen() >= 1 && record->getMBLen() <= 2) {
        retval =
            0x1000000u | static_cast<uint32_t>(record->getMBLen()) << 16 | record->getUnicode();
    }
    return retval;
}

// A cache entry for the Unicode side: the length in the top byte above up to three bytes.
uint32_t s_fromUEntry(const NoxUCharMapping* record)
{
    uint32_t retval = 0;
    if (record != nullptr && record->getMBLen() >= 1 && record->getMBLen() <= 3) {
        retval = static_cast<uint32_t>(record->getMBLen()) << 24 | record->getPackedMBCS();
    }
    return retval;
}

} // namespace

void NoxUCharConverter::mf_buildCaches()
{
    mf_emptyRow = new (std::nothrow) uint32_t[256]();
    mf_toUSingle = new (std::nothrow) uint32_t[256]();
    mf_toUDouble = new (std::nothrow) uint32_t*[256]();
    mf_fromURows = new (std::nothrow) uint32_t*[256]();
    bool ok = mf_emptyRow != nullptr && mf_toUSingle != nullptr && mf_toUDouble != nullptr &&
              mf_fromURows != nullptr;
    // Every entry comes from the binary-search lookups, so all preference rules carry over.
    for (uint32_t first = 0; ok && first < 256; ++first) {
        const int len = std::min<int>(leadBytes.bytes[first], s_maxCharLen);
        if (len == 1) {
            mf_toUSingle[first] = s_toUEntry(mf_findMBCS(first));
        } else if (len == 2) {
            mf_toUDouble[first] = new (std::nothrow) uint32_t[256];
            ok = mf_toUDouble[first] != nullptr;
            for (uint32_t second = 0; ok && second < 256; ++second) {
                mf_toUDouble[first][second] = s_toUEntry(mf_findMBCS(first | second << 8));
            }
        }
    }
    // The 0 byte ends every input; it never has an entry.
    if (ok) {
        mf_toUSingle[0] = 0;
    }
    bool rowUsed[256] = {};
    for (uint32_t i = 0; i < dataLen; ++i) {
        rowUsed[data[i].getUnicode() >> 8] = true;
    }
    for (uint32_t high = 0; ok && high < 256; ++high) {
        mf_fromURows[high] = rowUsed[high] ? new (std::nothrow) uint32_t[256] : mf_emptyRow;
        ok = mf_fromURows[high] != nullptr;
        for (uint32_t low = 0; ok && rowUsed[high] && low < 256; ++low) {
            mf_fromURows[high][low] =
                s_fromUEntry(mf_findUChar(static_cast<uint16_t>(high << 8 | low)));
        }
    }
    if (ok) {
        mf_setIdentityFlags();
        mf_buildPairTable();
        mf_buildGatherTable();
    } else {
        // Without caches every character takes the exact per-character path.
        mf_releaseCaches();
    }
}

// Notes where the table maps bytes to the units of the same value, one byte each, so that
// whole blocks can be widened or narrowed at once: ASCII (0x01-0x7F), all of 0x01-0xFF, or
// an upper range of them.
void NoxUCharConverter::mf_setIdentityFlags()
{
    bool toU = true;
    bool fromU = true;
    for (uint32_t b = 1; b < 256; ++b) {
        toU = toU && leadBytes.bytes[b] == 1 && mf_toUSingle[b] == (0x1010000u | b);
        fromU = fromU && mf_fromURows[0][b] == (0x1000000u | b);
        if (b == 0x7F) {
            mf_asciiToU = toU;
            mf_asciiFromU = fromU;
        }
    }
    mf_identityToU = toU;
    // The longest range of units up to 0xFF that map to the same bytes, beside ASCII
    // (0xA0-0xFF on Western code pages).
    uint32_t first = 0x100;
    while (mf_asciiFromU && first > 0x80 &&
           mf_fromURows[0][first - 1] == (0x1000000u | (first - 1))) {
        --first;
    }
    if (first < 0x100) {
        mf_keptFirst = static_cast<uint16_t>(first);
        mf_keptLast = 0xFF;
    }
    // The same from the code page: bytes mf_keptToUFirst-0xFF map to the units of their value.
    mf_keptToUFirst = 0x100;
    while (mf_asciiToU && mf_keptToUFirst > 0x80 &&
           mf_toUSingle[mf_keptToUFirst - 1] == (0x1010000u | (mf_keptToUFirst - 1u)) &&
           leadBytes.bytes[mf_keptToUFirst - 1] == 1) {
        --mf_keptToUFirst;
    }
    mf_singleByteOnly = true;
    for (uint32_t b = 1; b < 256; ++b) {
        mf_singleByteOnly = mf_singleByteOnly && leadBytes.bytes[b] <= 1;
    }
#if defined(__x86_64__) && defined(__GNUC__)
    // Byte-permutation tables for single-byte code pages: low and high byte of each byte's
    // unit, and 0xFF where the byte has an entry. Identity tables have a faster path already.
    if (mf_singleByteOnly && !mf_identityToU && s_hasVbmi()) {
        mf_vbmiTables = new (std::nothrow) unsigned char[3 * 256];
    }
    for (uint32_t b = 0; mf_vbmiTables != nullptr && b < 256; ++b) {
        mf_vbmiTables[b] = static_cast<unsigned char>(mf_toUSingle[b]);
        mf_vbmiTables[256 + b] = static_cast<unsigned char>(mf_toUSingle[b] >> 8);
        mf_vbmiTables[512 + b] = mf_toUSingle[b] != 0 ? 0xFF : 0;
    }
#endif
}

// Double-byte code pages whose lead bytes lie in at most two ranges, with only bytes that
// start no cached character between them, get a flat table by byte pair: blocks of sixteen
// bytes then split into characters at once, and their lookups do not wait on each other.
void NoxUCharConverter::mf_buildPairTable()
{
#if defined(__SSE2__)
    const auto isLead = [this](uint32_t b) { return leadBytes.bytes[b] == 2; };
    // A byte inside a range that is no lead stops a block like an unmapped character.
    const auto isDead = [&](uint32_t b) { return !isLead(b) && mf_toUSingle[b] == 0; };
    int ranges = 0;
    for (uint32_t b = 1; b < 256 && !mf_singleByteOnly; ++b) {
        if (isLead(b)) {
            uint32_t last = b;
            for (uint32_t k = b; k < 256 && (isLead(k) || isDead(k)); ++k) {
                last = isLead(k) ? k : last;
            }
            if (ranges < 2) {
                mf_leadRanges[2 * ranges] = static_cast<unsigned char>(b);
                mf_leadRanges[2 * ranges + 1] = static_cast<unsigned char>(last);
            }
            ++ranges;
            b = last;
        }
    }
    if (ranges == 1) {
        mf_leadRanges[2] = mf_leadRanges[0];
        mf_leadRanges[3] = mf_leadRanges[1];
    }
    if (ranges == 1 || ranges == 2) {
        // One entry more: gathers read four bytes at each entry.
        mf_toUPairs = new (std::nothrow) uint16_t[0x10001]();
    }
    const auto inRanges = [this](uint32_t b) {
        return (b >= mf_leadRanges[0] && b <= mf_leadRanges[1]) ||
               (b >= mf_leadRanges[2] && b <= mf_leadRanges[3]);
    };
    // A one-byte character fills its whole row, whatever byte follows it; 0 entries (and the
    // 0 byte as second byte) stop a block.
    for (uint32_t b = 1; mf_toUPairs != nullptr && b < 256; ++b) {
        for (uint32_t second = 1; isLead(b) && second < 256; ++second) {
            const uint32_t entry = mf_toUDouble[b][second];
            mf_toUPairs[b << 8 | second] =
                (entry >> 16) == 0x102 ? static_cast<uint16_t>(entry) : 0;
        }
        for (uint32_t second = 0; !inRanges(b) && (mf_toUSingle[b] >> 16) == 0x101 && second < 256;
             ++second) {
            mf_toUPairs[b << 8 | second] = static_cast<uint16_t>(mf_toUSingle[b]);
        }
    }
#endif
}

// Where the processor can gather: each unit's byte (single-byte code pages) or one or two
// bytes, kept only where no byte of them is 0, so that the bytes alone tell the length.
void NoxUCharConverter::mf_buildGatherTable()
{
#if defined(__x86_64__) && defined(__GNUC__)
    const size_t width = mf_singleByteOnly ? 1 : 2;
    if (s_hasPairGather()) {
        mf_fromUGather = new (std::nothrow) unsigned char[mf_gatherBytes(width)]();
        mf_gatherWidth = mf_fromUGather != nullptr ? width : 0;
    }
    for (uint32_t unit = 1; mf_fromUGather != nullptr && unit < 0x10000; ++unit) {
        const uint32_t entry = mf_fromURows[unit >> 8][unit & 0xFFu];
        const uint32_t first = entry & 0xFFu;
        const uint32_t second = (entry >> 8) & 0xFFu;
        // A table may hold two-byte records even where its lead bytes say one byte.
        const bool usable =
            first != 0 && ((entry >> 24) == 1 || ((entry >> 24) == 2 && width == 2 && second != 0));
        for (size_t k = 0; usable && k < width; ++k) {
            mf_fromUGather[unit * width + k] = static_cast<unsigned char>(entry >> (8 * k));
        }
    }
#endif
}

// Bytes of the gather table: a gather reads four bytes at the last entry.
size_t NoxUCharConverter::mf_gatherBytes(size_t width)
{
    return 0xFFFF * width + 4;
}

void NoxUCharConverter::mf_releaseCaches()
{
    for (int i = 0; i < 256; ++i) {
        if (mf_toUDouble != nullptr) {
            delete[] mf_toUDouble[i];
        }
        if (mf_fromURows != nullptr && mf_fromURows[i] != mf_emptyRow) {
            delete[] mf_fromURows[i];
        }
    }
    delete[] mf_toUSingle;
    delete[] mf_toUDouble;
    delete[] mf_fromURows;
    delete[] mf_emptyRow;
    delete[] mf_vbmiTables;
    delete[] mf_toUPairs;
    delete[] mf_fromUGather;
    mf_vbmiTables = nullptr;
    mf_toUPairs = nullptr;
    mf_fromUGather = nullptr;
    mf_gatherWidth = 0;
    mf_toUSingle = nullptr;
    mf_toUDouble = nullptr;
    mf_fromURows = nullptr;
    mf_emptyRow = nullptr;
    mf_asciiToU = false;
    mf_asciiFromU = false;
    mf_identityToU = false;
    mf_singleByteOnly = false;
    mf_keptFirst = 1;
    mf_keptLast = 0x7F;
    mf_keptToUFirst = 0x100;
}

size_t NoxUCharConverter::cacheBytes() const
{
    size_t retval = 0;
    if (mf_toUSingle != nullptr) {
        const size_t row = 256 * sizeof(uint32_t);
        retval = 2 * row + 2 * 256 * sizeof(uint32_t*);
        for (int i = 0; i < 256; ++i) {
            retval += mf_toUDouble[i] != nullptr ? row : 0;
            retval += mf_fromURows[i] != mf_emptyRow ? row : 0;
        }
        retval += mf_vbmiTables != nullptr ? 3 * 256 : 0;
        retval += mf_toUPairs != nullptr ? 0x10001 * sizeof(uint16_t) : 0;
        retval += mf_fromUGather != nullptr ? mf_gatherBytes(mf_gatherWidth) : 0;
    }
    return retval;
}

// ---------------------------------------------------------------- fast runs

namespace {

#if defined(__SSE2__)
// Mask of the bytes of a block of 16 that lie in either of two byte ranges.
int s_rangeMask(__m128i v, const unsigned char* ranges)
{
    const auto in = [v](unsigned char first, unsigned char last) {
        const __m128i offset = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(first)));
        const __m128i beyond =
            _mm_subs_epu8(offset, _mm_set1_epi8(static_cast<char>(last - first)));
        return _mm_cmpeq_epi8(beyond, _mm_setzero_si128());
    };
    return _mm_movemask_epi8(_mm_or_si128(in(ranges[0], ranges[1]), in(ranges[2], ranges[3])));
}

// For each mask of eight bits, the number of set bits below each bit, one byte a bit.
struct PrefixCounts {
    uint64_t rows[256];
};

constexpr PrefixCounts s_makePrefixCounts()
{
    PrefixCounts retval{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned below = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            retval.rows[mask] |= uint64_t{below} << (8 * bit);
            below += (mask >> bit) & 1u;
        }
    }
    return retval;
}

constexpr PrefixCounts s_prefixCounts = s_makePrefixCounts();

// Looks up every byte of a block with its next byte in the byte-pair table and writes the
// units of the positions in `starts` to dst, without a branch a position: a position that
// starts no character writes where the next character will go, so at most dst[count] holds
// a unit beyond them afterwards (dst has room for 16). Stores the number of characters in
// *count and returns the number of leading ones that have an entry.
unsigned s_decodePairBlock(__m128i v, const unsigned char* block, uint32_t starts,
                           const uint16_t* pairs, UChar* dst, unsigned* count)
{
    // Each position's index: its byte above the next one; and where its unit goes: the
    // number of characters that start before it.
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 1));
    alignas(16) uint16_t index[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(index), _mm_unpacklo_epi8(next, v));
    _mm_store_si128(reinterpret_cast<__m128i*>(index + 8), _mm_unpackhi_epi8(next, v));
    const uint64_t low = s_prefixCounts.rows[starts & 0xFFu];
    const uint64_t lowCount = (low >> 56) + ((starts >> 7) & 1u);
    const uint64_t high =
        s_prefixCounts.rows[(starts >> 8) & 0xFFu] + lowCount * 0x0101010101010101ull;
    alignas(16) unsigned char at[16];
    std::memcpy(at, &low, sizeof low);
    std::memcpy(at + 8, &high, sizeof high);
#pragma GCC unroll 16
    for (unsigned p = 0; p < 16; ++p) {
        dst[at[p]] = pairs[index[p]];
    }
    *count = static_cast<unsigned>((high >> 56) + ((starts >> 15) & 1u));
    // Units of 0 mark characters without an entry.
    const __m128i zero = _mm_setzero_si128();
    const __m128i units0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst));
    const __m128i units1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + 8));
    const auto missing = static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_packs_epi16(_mm_cmpeq_epi16(units0, zero), _mm_cmpeq_epi16(units1, zero))));
    const uint32_t found = missing & ((1u << *count) - 1);
    return found != 0 ? static_cast<unsigned>(__builtin_ctz(found)) : *count;
}

// Mask of the bytes in a block of 16 that do not map to themselves: 0 bytes, and bytes from
// 0x80 below keptFirst (0x80-0x100).
int s_badBytes(__m128i v, unsigned keptFirst)
{
    const int zero = _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()));
    const __m128i offset = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i beyond =
        _mm_subs_epu8(offset, _mm_set1_epi8(static_cast<char>(keptFirst - 0x81)));
    const int unkept =
        keptFirst > 0x80 ? _mm_movemask_epi8(_mm_cmpeq_epi8(beyond, _mm_setzero_si128())) : 0;
    return zero | unkept;
}

// Mask (two bits a unit) of the units in a block of 8 outside 0x01-0x7F and first-last.
int s_badUnits(__m128i v, UChar first, UChar last)
{
    const auto in = [v](UChar low, UChar high) {
        const __m128i offset = _mm_sub_epi16(v, _mm_set1_epi16(static_cast<short>(low)));
        const __m128i beyond =
            _mm_subs_epu16(offset, _mm_set1_epi16(static_cast<short>(high - low)));
        return _mm_cmpeq_epi16(beyond, _mm_setzero_si128());
    };
    return _mm_movemask_epi8(_mm_or_si128(in(1, 0x7F), in(first, last))) ^ 0xFFFF;
}
#endif

// True when the unit lies in 0x01-0x7F or first-last.
inline bool s_keptUnit(UChar unit, UChar first, UChar last)
{
    return static_cast<UChar>(unit - 1) < 0x7F || static_cast<UChar>(unit - first) <= last - first;
}

// Widens the leading bytes of src in 0x01-0x7F and keptFirst-0xFF, which map to the units of
// the same value; writes exactly the units it accepts (none with a null out) and returns
// their count, at most max.
size_t s_widenRun(const unsigned char* src, size_t max, UChar* out, unsigned keptFirst)
{
    size_t i = 0;
    // Counting where every byte but 0 maps to itself: the run ends at the first 0 byte.
    if (out == nullptr && keptFirst == 0x80) {
        const void* zero = std::memchr(src, 0, max);
        i = zero != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - src)
                            : max;
        max = i;
    }
#if defined(__SSE2__)
    while (max - i >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const int bad = s_badBytes(v, keptFirst);
        if (bad != 0) {
            max = i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(bad)));
            break;
        }
        if (out != nullptr) {
            const __m128i zero = _mm_setzero_si128();
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(v, zero));
        }
        i += 16;
    }
#endif
    for (; i < max && src[i] != 0 && (src[i] < 0x80 || src[i] >= keptFirst); ++i) {
        if (out != nullptr) {
            out[i] = src[i];
        }
    }
    return i;
}

// Narrows the leading units of src in 0x01-0x7F and first-last, which map to the bytes of
// the same value, as s_widenRun.
size_t s_narrowRun(const UChar* src, size_t max, unsigned char* out, UChar first, UChar last)
{
    size_t i = 0;
#if defined(__SSE2__)
    while (max - i >= 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 8));
        const int bad = s_badUnits(a, first, last) | s_badUnits(b, first, last) << 16;
        if (bad != 0) {
            max = i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(bad))) / 2;
            break;
        }
        if (out != nullptr) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(a, b));
        }
        i += 16;
    }
#endif
    for (; i < max && s_keptUnit(src[i], first, last); ++i) {
        if (out != nullptr) {
            out[i] = static_cast<unsigned char>(src[i]);
        }
    }
    return i;
}

// True when the next 16 bytes all map to themselves (0x01-0x7F and keptFirst-0xFF): worth a
// block run.
bool s_looksLikeRun(const unsigned char* src, unsigned keptFirst)
{
#if defined(__SSE2__)
    return s_badBytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), keptFirst) == 0;
#else
    return std::all_of(src, src + 16, [keptFirst](unsigned char b) {
        return b != 0 && (b < 0x80 || b >= keptFirst);
    });
#endif
}

} // namespace

// Converts code-page characters while each is a one- or two-byte character with a cached
// entry, stopping at a 0 byte, at anything else, and (without countBeyond) at a full
// output. srcLen SIZE_MAX: the input ends at its 0 byte.
size_t NoxUCharConverter::mf_toUFastRun(const unsigned char* src, size_t srcLen, UChar* out,
                                        size_t room, bool countBeyond, size_t* produced) const
{
    const bool bounded = srcLen != SIZE_MAX;
    const uint32_t* single = mf_toUSingle;
    size_t i = 0;
    size_t n = 0;
    while ((!bounded || i < srcLen) && (countBeyond || n < room)) {
        const unsigned first = src[i];
        if (first == 0) {
            break;
        }
        // Long runs of bytes that map to themselves go block by block.
        if (mf_asciiToU && bounded && srcLen - i >= 16 &&
            s_looksLikeRun(src + i, mf_keptToUFirst)) {
            const size_t writable = n < room ? room - n : 0;
            const size_t max = std::min(srcLen - i, writable == 0 ? srcLen : writable);
            const size_t k =
                s_widenRun(src + i, max, writable != 0 ? out + n : nullptr, mf_keptToUFirst);
            i += k;
            n += k;
            continue;
        }
#if defined(__x86_64__) && defined(__GNUC__)
        // Sixty-four one-byte characters at a time where the processor can permute bytes.
        if (mf_vbmiTables != nullptr && bounded && srcLen - i >= 64 &&
            nox::activeKernelLevel() >= nox::KernelLevel::AVX512 &&
            (n + 64 <= room || (countBeyond && n >= room))) {
            const size_t writable = n < room ? room - n : 0;
            const size_t max = std::min(srcLen - i, writable == 0 ? srcLen : writable);
            const size_t k =
                s_toUVbmi(src + i, max, writable != 0 ? out + n : nullptr, mf_vbmiTables);
            i += k;
            n += k;
            if (k != 0) {
                continue;
            }
        }
#endif
        // Double-byte code pages: blocks of sixteen bytes split into characters at once.
        if (mf_toUPairs != nullptr && bounded) {
            i += mf_toUPairBlocks(src + i, srcLen - i, out, &n, room, countBeyond);
        }
        // Eight one-byte characters at a time while they all have entries (the 0 byte has
        // none); only worth trying where no character is longer.
        if (mf_singleByteOnly && bounded) {
            const size_t k = mf_toUSingleBlocks(src + i, srcLen - i, out, n, room, countBeyond);
            i += k;
            n += k;
        }
        if ((bounded && i >= srcLen) || src[i] == 0 || (n >= room && !countBeyond)) {
            break;
        }
        const unsigned lead = src[i];
        uint32_t entry = 0;
        size_t len = 1;
        if (leadBytes.bytes[lead] == 2) {
            if (!bounded || srcLen - i >= 2) {
                // A found record keeps the key's leading non-zero bytes, so its length follows
                // from the input alone and the next position need not wait for the table.
                entry = mf_toUDouble[lead][src[i + 1]];
                len = src[i + 1] != 0 ? 2 : 1;
            }
        } else {
            entry = single[lead];
        }
        if (entry == 0) {
            break;
        }
        if (n < room) {
            out[n] = static_cast<UChar>(entry);
        }
        ++n;
        i += len;
    }
    *produced = n;
    return i;
}

// Converts blocks of sixteen bytes of a double-byte code page while every character that
// starts in them has an entry in the byte-pair table, and (without a lead-range byte in a
// block) while they are not all ASCII, which the block runs take. Each block needs one byte
// more readable and room for sixteen units, or counting only. Returns the bytes converted;
// the units are written from out[*n], and *n grows by their number.
size_t NoxUCharConverter::mf_toUPairBlocks(const unsigned char* src, size_t srcLen, UChar* out,
                                           size_t* n, size_t room, bool countBeyond) const
{
    size_t i = 0;
#if defined(__SSE2__)
    const uint16_t* pairs = mf_toUPairs;
    const bool asciiToU = mf_asciiToU;
    unsigned char ranges[4];
    std::memcpy(ranges, mf_leadRanges, sizeof ranges);
    size_t produced = *n;
#if defined(__x86_64__) && defined(__GNUC__)
    if (s_hasPairGather() && nox::activeKernelLevel() >= nox::KernelLevel::AVX512) {
        i = s_toUPairs512(src, srcLen, out, &produced, room, countBeyond, pairs, ranges, asciiToU);
    }
#endif
    UChar counted[16];
    bool stopped = false;
    while (!stopped && srcLen - i > 16 &&
           (produced + 16 <= room || (countBeyond && produced >= room))) {
        const unsigned char* block = src + i;
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
        const auto inRange = static_cast<uint32_t>(s_rangeMask(v, ranges));
        if (inRange == 0 && asciiToU && _mm_movemask_epi8(v) == 0) {
            break;
        }
        uint64_t leads = 0;
        auto starts = static_cast<uint32_t>(s_charStarts(inRange, &leads) & 0xFFFFu);
        // A lead on the last byte waits for the next block.
        size_t consumed = (leads & 0x8000u) != 0 ? 15 : 16;
        starts &= consumed == 15 ? 0x7FFFu : 0xFFFFu;
        UChar* dst = produced < room ? out + produced : counted;
        UChar saved[16];
        std::memcpy(saved, dst, sizeof saved);
        unsigned count = 0;
        const unsigned valid = s_decodePairBlock(v, block, starts, pairs, dst, &count);
        if (valid < count) {
            // The character without an entry and everything after it go to the exact path.
            for (unsigned k = 0; k < valid; ++k) {
                starts &= starts - 1;
            }
            consumed = static_cast<size_t>(__builtin_ctz(starts));
            stopped = true;
        }
        // Put back what the block wrote beyond its characters.
        if (valid < count) {
            std::memcpy(dst + valid, saved + valid, (count - valid) * sizeof(UChar));
        }
        if (count < 16) {
            dst[count] = saved[count];
        }
        produced += valid;
        i += consumed;
    }
    *n = produced;
#else
    (void)src;
    (void)srcLen;
    (void)out;
    (void)n;
    (void)room;
    (void)countBeyond;
#endif
    return i;
}

// Converts one-byte characters eight at a time while all of a block have entries and
// fit (or are only counted); stops before a block of ASCII, which the block runs take.
// Returns the number of bytes (and units) converted; out is written from out[n].
size_t NoxUCharConverter::mf_toUSingleBlocks(const unsigned char* src, size_t srcLen, UChar* out,
                                             size_t n, size_t room, bool countBeyond) const
{
    const uint32_t* single = mf_toUSingle;
    size_t i = 0;
    while (srcLen - i >= 8 && (n + i + 8 <= room || (countBeyond && n + i >= room)) &&
           !(mf_asciiToU && srcLen - i >= 16 && s_looksLikeRun(src + i, mf_keptToUFirst))) {
        uint32_t entries[8];
        uint32_t all = ~0u;
        for (int k = 0; k < 8; ++k) {
            entries[k] = single[src[i + k]];
            all &= entries[k];
        }
        if (all == 0) {
            break;
        }
        // Element stores: a block copy from a staging buffer would stall on store forwarding.
        for (int k = 0; n + i < room && k < 8; ++k) {
            out[n + i + static_cast<size_t>(k)] = static_cast<UChar>(entries[k]);
        }
        i += 8;
    }
    return i;
}

// Converts units while each is ASCII or maps to two bytes and two bytes of room remain (or,
// with countOnly, counts them without writing); writes from out[n] and stores the new output
// length in *produced. Returns the units converted. srcLen SIZE_MAX: the input ends at its 0
// unit.
size_t NoxUCharConverter::mf_fromUDoubleRun(const UChar* src, size_t srcLen, unsigned char* out,
                                            size_t n, size_t room, bool countOnly,
                                            size_t* produced) const
{
    size_t i = 0;
    unsigned char unused = 0;
    while (i < srcLen && (countOnly || n + 2 <= room)) {
        const UChar value = src[i];
        const uint32_t entry = mf_fromURows[value >> 8][value & 0xFFu];
        const uint32_t len = entry >> 24;
        if (value == 0 || len == 0 || len > 2) {
            break;
        }
        // Without a branch on the length, which mixed text would mispredict: the second
        // byte of a one-byte character goes to a scratch byte, never past the output.
        if (!countOnly) {
            out[n] = static_cast<unsigned char>(entry);
            *(len == 2 ? out + n + 1 : &unused) = static_cast<unsigned char>(entry >> 8);
        }
        n += len;
        ++i;
    }
    *produced = n;
    return i;
}

// Converts UTF-16 units while each has a cached entry, stopping at a 0 unit, at anything
// else, and (without countBeyond) at a character that does not fit.
size_t NoxUCharConverter::mf_fromUFastRun(const UChar* src, size_t srcLen, unsigned char* out,
                                          size_t room, bool countBeyond, size_t* produced) const
{
    const bool bounded = srcLen != SIZE_MAX;
    size_t i = 0;
    size_t n = 0;
    while (!bounded || i < srcLen) {
        const UChar value = src[i];
        if (value == 0) {
            break;
        }
        if (mf_asciiFromU && bounded && srcLen - i >= 16 && mf_startsKeptRun(src + i)) {
            const size_t writable = n < room ? room - n : 0;
            if (writable != 0 || countBeyond) {
                const size_t max = std::min(srcLen - i, writable == 0 ? srcLen : writable);
                const size_t k = s_narrowRun(src + i, max, writable != 0 ? out + n : nullptr,
                                             mf_keptFirst, mf_keptLast);
                i += k;
                n += k;
                if (k != 0) {
                    continue;
                }
            }
        }
#if defined(__x86_64__) && defined(__GNUC__)
        // 32 units at a time where the processor can gather.
        if (mf_fromUGather != nullptr && bounded &&
            nox::activeKernelLevel() >= nox::KernelLevel::AVX512) {
            const UChar kept[2] = {mf_keptFirst, mf_keptLast};
            const auto gather = mf_gatherWidth == 1 ? s_fromUGather512<1> : s_fromUGather512<2>;
            const size_t k = gather(src + i, srcLen - i, out, &n, room, countBeyond && n >= room,
                                    mf_fromUGather, kept, mf_asciiFromU);
            if (k != 0) {
                i += k;
                continue;
            }
        }
#endif
        if (mf_singleByteOnly && value >= 0x80 && bounded && srcLen - i >= 8 &&
            (n + 8 <= room || (countBeyond && n >= room))) {
            const size_t limit = n < room ? std::min(srcLen - i, room - n) : srcLen - i;
            const size_t k = mf_fromUSingleBlocks(src + i, limit, n < room ? out + n : nullptr);
            if (k != 0) {
                i += k;
                n += k;
                continue;
            }
        }
        // Double-byte code pages: a tight loop over ASCII and two-byte characters while two
        // bytes of room remain; anything else leaves it for the general step below.
        if (!mf_singleByteOnly) {
            const size_t k = mf_fromUDoubleRun(src + i, bounded ? srcLen - i : SIZE_MAX, out, n,
                                               room, countBeyond && n >= room, &n);
            if (k != 0) {
                i += k;
                continue;
            }
        }
        const uint32_t entry = mf_fromURows[value >> 8][value & 0xFFu];
        const size_t len = entry >> 24;
        if (entry == 0 || (n + len > room && !countBeyond)) {
            break;
        }
        if (n + len <= room) {
            out[n] = static_cast<unsigned char>(entry);
            if (len > 1) {
                out[n + 1] = static_cast<unsigned char>(entry >> 8);
                if (len > 2) {
                    out[n + 2] = static_cast<unsigned char>(entry >> 16);
                }
            }
        }
        n += len;
        ++i;
    }
    *produced = n;
    return i;
}

// True when the next eight units map to the same bytes: worth a block run.
bool NoxUCharConverter::mf_startsKeptRun(const UChar* src) const
{
#if defined(__SSE2__)
    return s_badUnits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), mf_keptFirst,
                      mf_keptLast) == 0;
#else
    return std::all_of(src, src + 8,
                       [this](UChar unit) { return s_keptUnit(unit, mf_keptFirst, mf_keptLast); });
#endif
}

// Converts blocks of eight of the first srcLen units while each unit maps to one byte (no 0
// unit among them), and stops where the block runs can take over; returns the number of
// units converted. out is null when only counting; otherwise it has room for srcLen bytes.
size_t NoxUCharConverter::mf_fromUSingleBlocks(const UChar* src, size_t srcLen,
                                               unsigned char* out) const
{
    size_t i = 0;
    while (srcLen - i >= 8 && (i == 0 || !mf_asciiFromU || !mf_startsKeptRun(src + i))) {
        uint32_t entries[8];
        uint32_t any = 0;
        uint32_t all = ~0u;
        for (int k = 0; k < 8; ++k) {
            const UChar unit = src[i + k];
            entries[k] = mf_fromURows[unit >> 8][unit & 0xFFu];
            any |= entries[k] | (unit == 0 ? 0xFF000000u : 0);
            all &= entries[k];
        }
        // Every entry must say length 1: the top bytes all 1 and none larger.
        if ((all >> 24) != 1 || (any >> 24) != 1) {
            break;
        }
        for (int k = 0; out != nullptr && k < 8; ++k) {
            out[i + static_cast<size_t>(k)] = static_cast<unsigned char>(entries[k]);
        }
        i += 8;
    }
    return i;
}

// ---------------------------------------------------------------- conversions

namespace {

// Room left in a counted output buffer after `used` units or bytes.
size_t s_roomLeft(const void* out, int outSize, int used)
{
    return out != nullptr && outSize > used ? static_cast<size_t>(outSize - used) : 0;
}

} // namespace

int NoxUCharConverter::toUChars(UChar* out, int outSize, const char* source, int sourceSize,
                                int* errorReturn) const
{
    int retval = 0;
    s_setError(errorReturn, 0);
    if (source == nullptr) {
        s_setError(errorReturn, 1);
    } else {
        const bool fast = nox::activeKernelLevel() != nox::KernelLevel::Exact &&
                          mf_toUSingle != nullptr && !s_charDebug;
        const auto* src = reinterpret_cast<const unsigned char*>(source);
        // A negative size means that only the 0 byte ends the input.
        const bool terminated = sourceSize < 0;
        ptrdiff_t remaining = sourceSize;
        bool going = true;
        while (going && remaining != 0 && *src != 0) {
            if (fast) {
                size_t produced = 0;
                const size_t room = s_roomLeft(out, outSize, retval);
                const size_t used =
                    mf_toUFastRun(src, terminated ? SIZE_MAX : static_cast<size_t>(remaining),
                                  room != 0 ? out + retval : nullptr, room, true, &produced);
                if (used != 0) {
                    if (produced > room) {
                        s_setError(errorReturn, 15);
                    }
                    retval += static_cast<int>(produced);
                    src += used;
                    remaining -= terminated ? 0 : static_cast<ptrdiff_t>(used);
                    continue;
                }
            }
            bool cutOff = false;
            const NoxUCharMapping* record =
                mf_lookupBytes(src, terminated ? -1 : remaining, &cutOff);
            if (cutOff) {
                s_setError(errorReturn, 8);
                going = false;
            } else if (record == nullptr && !ncnv_getConvertBestEffort()) {
                s_setError(errorReturn, 16);
                s_reportUnmappedBytes(src, terminated ? -1 : remaining);
                going = false;
            } else if (record == nullptr) {
                // Best effort: the byte passes through as the unit of the same value.
                if (out != nullptr && retval < outSize) {
                    out[retval] = *src;
                } else {
                    s_setError(errorReturn, 8);
                }
                ++retval;
                ++src;
                remaining -= terminated ? 0 : 1;
            } else {
                if (s_charDebug) {
                    s_debugNoxUCharMapping(record);
                }
                const int len = record->getMBLen();
                if (!terminated && remaining < len) {
                    s_setError(errorReturn, 8);
                    going = false;
                } else {
                    if (out != nullptr && retval < outSize) {
                        out[retval] = record->getUnicode();
                    } else {
                        s_setError(errorReturn, 15);
                    }
                    ++retval;
                    src += len;
                    remaining -= terminated ? 0 : len;
                }
            }
        }
    }
    if (out != nullptr && retval < outSize) {
        out[retval] = 0;
    }
    return retval;
}

int NoxUCharConverter::fromUChars(char* out, int outSize, const UChar* source, int sourceSize,
                                  int* errorReturn) const
{
    int retval = 0;
    s_setError(errorReturn, 0);
    if (source == nullptr) {
        s_setError(errorReturn, 1);
    } else {
        const bool fast = nox::activeKernelLevel() != nox::KernelLevel::Exact &&
                          mf_toUSingle != nullptr && !s_charDebug;
        auto* dst = reinterpret_cast<unsigned char*>(out);
        const bool terminated = sourceSize < 0;
        ptrdiff_t remaining = sourceSize;
        bool going = true;
        while (going && remaining != 0 && *source != 0) {
            if (fast) {
                size_t produced = 0;
                const size_t room = s_roomLeft(out, outSize, retval);
                const size_t used =
                    mf_fromUFastRun(source, terminated ? SIZE_MAX : static_cast<size_t>(remaining),
                                    room != 0 ? dst + retval : nullptr, room, true, &produced);
                if (used != 0) {
                    if (produced > room) {
                        s_setError(errorReturn, 15);
                    }
                    retval += static_cast<int>(produced);
                    source += used;
                    remaining -= terminated ? 0 : static_cast<ptrdiff_t>(used);
                    continue;
                }
            }
            const UChar value = *source;
            const NoxUCharMapping* record = mf_findUChar(value);
            if (record == nullptr && (value > 0xFF || !ncnv_getConvertBestEffort())) {
                s_setError(errorReturn, 16);
                s_reportUnmappedUnit(value);
                going = false;
            } else if (record == nullptr) {
                if (out != nullptr && retval < outSize) {
                    dst[retval] = static_cast<unsigned char>(value);
                } else {
                    s_setError(errorReturn, 15);
                }
                ++retval;
            } else {
                if (s_charDebug) {
                    s_debugNoxUCharMapping(record);
                }
                const int len = record->getMBLen();
                if (out != nullptr && static_cast<long long>(retval) + len <= outSize) {
                    uint16_t room = static_cast<uint16_t>(len);
                    record->getMBCS(dst + retval, &room);
                } else {
                    s_setError(errorReturn, 15);
                }
                retval += len;
            }
            if (going) {
                ++source;
                remaining -= terminated ? 0 : 1;
            }
        }
    }
    if (out != nullptr && retval < outSize) {
        out[retval] = 0;
    }
    return retval;
}

void NoxUCharConverter::toUnicode(UChar** outRef, const UChar* outEnd, const char** sourceRef,
                                  const char* sourceEnd, int* errorReturn) const
{
    if (outRef == nullptr || *outRef == nullptr || outEnd == nullptr || sourceRef == nullptr ||
        *sourceRef == nullptr || sourceEnd == nullptr) {
        s_setError(errorReturn, 1);
    } else {
        const bool fast = nox::activeKernelLevel() != nox::KernelLevel::Exact &&
                          mf_toUSingle != nullptr && !s_charDebug;
        UChar* out = *outRef;
        const auto* src = reinterpret_cast<const unsigned char*>(*sourceRef);
        const auto* end = reinterpret_cast<const unsigned char*>(sourceEnd);
        bool going = true;
        while (going && src < end && *src != 0) {
            if (fast && out < outEnd) {
                size_t produced = 0;
                const size_t used =
                    mf_toUFastRun(src, static_cast<size_t>(end - src), out,
                                  static_cast<size_t>(outEnd - out), false, &produced);
                if (used != 0) {
                    src += used;
                    out += produced;
                    continue;
                }
            }
            bool cutOff = false;
            const NoxUCharMapping* record = mf_lookupBytes(src, end - src, &cutOff);
            if (cutOff) {
                s_setError(errorReturn, 8);
                going = false;
            } else if (record == nullptr && !ncnv_getConvertBestEffort()) {
                s_setError(errorReturn, 16);
                s_reportUnmappedBytes(src, end - src);
                going = false;
            } else if (record == nullptr) {
                if (out < outEnd) {
                    *out++ = *src++;
                } else {
                    s_setError(errorReturn, 15);
                    going = false;
                }
            } else {
                if (s_charDebug) {
                    s_debugNoxUCharMapping(record);
                }
                const int len = record->getMBLen();
                if (len > end - src) {
                    s_setError(errorReturn, 8);
                    going = false;
                } else if (out >= outEnd) {
                    s_setError(errorReturn, 15);
                    going = false;
                } else {
                    *out++ = record->getUnicode();
                    src += len;
                }
            }
        }
        if (src < end && *src == 0 && out < outEnd) {
            *out = 0;
        }
        *outRef = out;
        *sourceRef = reinterpret_cast<const char*>(src);
    }
}

void NoxUCharConverter::fromUnicode(char** outRef, const char* outEnd, const UChar** sourceRef,
                                    const UChar* sourceEnd, int* errorReturn) const
{
    if (outRef == nullptr || *outRef == nullptr || outEnd == nullptr || sourceRef == nullptr ||
        *sourceRef == nullptr || sourceEnd == nullptr) {
        s_setError(errorReturn, 1);
    } else {
        const bool fast = nox::activeKernelLevel() != nox::KernelLevel::Exact &&
                          mf_toUSingle != nullptr && !s_charDebug;
        auto* out = reinterpret_cast<unsigned char*>(*outRef);
        const auto* end = reinterpret_cast<const unsigned char*>(outEnd);
        const UChar* src = *sourceRef;
        bool going = true;
        while (going && src < sourceEnd && *src != 0) {
            if (fast) {
                size_t produced = 0;
                const size_t room = out < end ? static_cast<size_t>(end - out) : 0;
                const size_t used = mf_fromUFastRun(src, static_cast<size_t>(sourceEnd - src), out,
                                                    room, false, &produced);
                if (used != 0) {
                    src += used;
                    out += produced;
                    continue;
                }
            }
            const UChar value = *src;
            const NoxUCharMapping* record = mf_findUChar(value);
            if (record == nullptr && (value > 0xFF || !ncnv_getConvertBestEffort())) {
                s_setError(errorReturn, 16);
                s_reportUnmappedUnit(value);
                going = false;
            } else if (record == nullptr) {
                if (out < end) {
                    *out++ = static_cast<unsigned char>(value);
                    ++src;
                } else {
                    s_setError(errorReturn, 15);
                    going = false;
                }
            } else {
                if (s_charDebug) {
                    s_debugNoxUCharMapping(record);
                }
                const int len = record->getMBLen();
                if (len > end - out) {
                    s_setError(errorReturn, 15);
                    going = false;
                } else {
                    uint16_t room = static_cast<uint16_t>(len);
                    record->getMBCS(out, &room);
                    out += len;
                    ++src;
                }
            }
        }
        if (src < sourceEnd && *src == 0 && out < end) {
            *out = 0;
        }
        *outRef = reinterpret_cast<char*>(out);
        *sourceRef = src;
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
        s_setError(errorReturn, 15);
        retval = -1;
    } else if (*src == 0) {
        s_setError(errorReturn, 0);
    } else {
        bool cutOff = false;
        const NoxUCharMapping* record = mf_lookupBytes(src, maxBytes, &cutOff);
        if (cutOff) {
            s_setError(errorReturn, 15);
            retval = -1;
        } else if (record == nullptr) {
            std::fprintf(stderr, "No mapping for character \\x%02X\n", *src);
            if (ncnv_getConvertBestEffort()) {
                retval = 1;
            } else {
                s_setError(errorReturn, 3);
                retval = -1;
            }
        } else if (record->getMBLen() > maxBytes) {
            s_setError(errorReturn, 15);
            retval = -1;
        } else {
            s_setError(errorReturn, 0);
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

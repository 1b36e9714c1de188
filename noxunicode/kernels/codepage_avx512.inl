// codepage_avx512.inl - code-page kernels for AVX-512 (F, BW, VL, DQ, VBMI, VBMI2), on top
// of the SSE2 kernels. Included by NoxUCharConverter.cpp.
//
// Runs of bytes that map to themselves (all of LATIN_1 but its 0) are widened 256 bytes a round
// (a megabyte or more 32 bytes a step, which is faster beyond the caches), and runs of units that
// map to themselves narrowed 128 units a round (the low bytes of two registers picked by one
// two-source byte permutation), each round tested at once: the minimum of its registers for a 0,
// the OR of the units for one above 0xFF, and only on pages whose upper range does not start at
// 0x80 a compare for the bytes below it. A run long enough first steps to a 64-byte boundary of the
// side that moves more bytes (the output of a widening, the input of a narrowing), so that those
// never straddle cache lines. What is left goes 64 bytes (32 units) a step by masked loads and
// stores, which read only the input allowed and write only up to the character that stops the run.
// As at AVX2, the runs are given the whole input and read into the next page only after the rest of
// this one showed no 0 (NoxPageReach).
//
// Single-byte code pages convert 64 bytes a step by byte permutation: the code page's 256
// units are held as three 256-byte tables (low byte, high byte, and a flag for bytes that have
// an entry), and two two-source permutations over the halves of a table, blended by each
// byte's top bit, look up 64 bytes at once. The tables are loaded into registers once a call.
//
// Double-byte code pages find the character starts of 32 bytes as the SSE2 kernel does, then
// gather the units of all 32 positions from the byte-pair table in two gathers and compress the
// units of the starts into one masked store, which writes nothing beyond the characters.
//
// From Unicode, 32 units a step gather their bytes from a flat table of each unit's one or two
// bytes; the bytes that are not 0 are compressed into one masked store.

namespace {

#if defined(NOX_X86)

// A 256-entry byte table in four registers.
struct NoxByteTable512 {
    __m512i quarter[4];
};

NOX_TARGET_AVX512 inline NoxByteTable512 s_byteTable512(const unsigned char* t)
{
    return {{_mm512_loadu_si512(t), _mm512_loadu_si512(t + 64), _mm512_loadu_si512(t + 128),
             _mm512_loadu_si512(t + 192)}};
}

// Looks up 64 bytes in a byte table: two permutations over its halves, blended by each byte's
// top bit.
NOX_TARGET_AVX512 inline __m512i s_lookup64(__m512i index, __mmask64 upper,
                                            const NoxByteTable512& t)
{
    const __m512i low = _mm512_permutex2var_epi8(t.quarter[0], index, t.quarter[1]);
    const __m512i high = _mm512_permutex2var_epi8(t.quarter[2], index, t.quarter[3]);
    return _mm512_mask_blend_epi8(upper, low, high);
}

// Converts 64 one-byte characters at a time. Stops before the first block that holds a byte
// without an entry (the 0 byte has none) and returns the bytes converted. The three tables are
// loaded once, into registers: read again after every store (which may alias them, as bytes),
// their loads cost a third of the time, and twice that when the tables straddle cache lines.
NOX_TARGET_AVX512 size_t s_toUBytes512(const unsigned char* src, size_t len, UChar* out,
                                       const unsigned char* tables)
{
    size_t i = 0;
    if (len >= 64) {
        const NoxByteTable512 lowBytes = s_byteTable512(tables);
        const NoxByteTable512 highBytes = s_byteTable512(tables + 256);
        const NoxByteTable512 entries = s_byteTable512(tables + 512);
        while (len - i >= 64) {
            const __m512i v = _mm512_loadu_si512(src + i);
            const __mmask64 upper = _mm512_movepi8_mask(v);
            const __m512i valid = s_lookup64(v, upper, entries);
            if (_mm512_test_epi8_mask(valid, valid) != ~0ull) {
                break;
            }
            if (out != nullptr) {
                const __m512i lo = s_lookup64(v, upper, lowBytes);
                const __m512i hi = s_lookup64(v, upper, highBytes);
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
    }
    return i;
}

// GCC's AVX-512 conversion intrinsics start from an undefined vector, which it then reports.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Converts blocks of 32 bytes of a double-byte code page as the SSE2 kernel does 16.
NOX_TARGET_AVX512 size_t s_toUPairs512(const nox::CodePageTables& t, const unsigned char* src,
                                       size_t srcLen, UChar* out, size_t* n, size_t room,
                                       bool countBeyond)
{
    const uint16_t* pairs = t.pairUnits;
    const unsigned char* ranges = t.leadRanges;
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
        if (inRange == 0 && t.asciiToU && _mm256_movemask_epi8(v) == 0) {
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

// Converts blocks of 32 units while each unit has an entry in the flat table of `Width` bytes
// a unit (the first never 0; 0 where the exact path must decide) and room for a block's bytes
// remains, or counting only. Stops before a block whose units all map to themselves (with
// `yield`), which the narrowing runs take faster. Returns the units converted and adds the
// bytes to *n.
template <int Width>
NOX_TARGET_AVX512 size_t s_fromUGather512(const UChar* src, size_t srcLen, unsigned char* out,
                                          size_t* n, size_t room, bool countOnly,
                                          const unsigned char* bytes, UChar selfFirst,
                                          UChar selfLast, bool yield)
{
    // A gather reads four bytes; the width keeps those of the unit's entry.
    const __m512i width = _mm512_set1_epi16(Width == 1 ? 0xFF : -1);
    const __m512i one = _mm512_set1_epi16(1);
    const __m512i asciiSpan = _mm512_set1_epi16(0x7E);
    const __m512i firstSelf = _mm512_set1_epi16(static_cast<short>(selfFirst));
    const __m512i selfSpan = _mm512_set1_epi16(static_cast<short>(selfLast - selfFirst));
    size_t i = 0;
    size_t produced = *n;
    bool stopped = false;
    while (!stopped && srcLen - i >= 32 && (countOnly || produced + 32 * Width <= room)) {
        const __m512i units = _mm512_loadu_si512(src + i);
        if (yield &&
            (_mm512_cmple_epu16_mask(_mm512_sub_epi16(units, one), asciiSpan) |
             _mm512_cmple_epu16_mask(_mm512_sub_epi16(units, firstSelf), selfSpan)) == ~0u) {
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

// The bytes among 64 that do not map to themselves: 0, and with Upper 0x80 up to the upper
// range, whose first byte less 0x100 is in every byte of `below`.
template <bool Upper> NOX_TARGET_AVX512 inline uint64_t s_unselfBytes512(__m512i v, __m512i below)
{
    const uint64_t zero = _mm512_testn_epi8_mask(v, v);
    return Upper ? zero | _mm512_cmpgt_epi8_mask(below, v) : zero;
}

// Whether a step may load 64 bytes whole past the bytes it is given, within the pages the text
// is known to reach (never under AddressSanitizer, where only the text seen may be read).
#if defined(NOX_ADDRESS_SANITIZER)
constexpr bool kWholeLoads = false;
#else
constexpr bool kWholeLoads = true;
#endif

// Runs of at least this many bytes widen 32 bytes a step rather than in rounds (see
// s_widenSelf64).
constexpr size_t kFarBytes = size_t{1} << 20;

// Mask of the first n of 64 lanes.
inline uint64_t s_firstLanes(size_t n)
{
    return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}

// The units from `at` up to the next 64-byte boundary (0 when it lies on one, or when its
// units straddle boundaries).
template <typename Unit> inline size_t s_unitsToLine(const Unit* at)
{
    const auto address = reinterpret_cast<uintptr_t>(at);
    return address % sizeof(Unit) == 0 ? (64 - address % 64) % 64 / sizeof(Unit) : 0;
}

// Widens the leading bytes among the n (at most 64) at src that map to themselves and returns
// their count: a masked load reads the n bytes and no others, or with `whole` one load all 64
// (the lanes beyond n stop the step either way), and only the units before the first byte that
// stops are stored.
template <bool Write, bool Upper>
NOX_TARGET_AVX512 inline size_t s_widenStep64(const unsigned char* src, size_t n, bool whole,
                                              UChar* out, __m512i below)
{
    // A whole load where all 64 bytes lie in pages the text is known to reach: a masked load
    // costs more time before its bytes can be tested, which a short text feels.
    const __m512i v =
        whole ? _mm512_loadu_si512(src) : _mm512_maskz_loadu_epi8(s_firstLanes(n), src);
    const uint64_t unself = s_unselfBytes512<Upper>(v, below) | ~s_firstLanes(n);
    const size_t k = unself == 0 ? 64 : static_cast<size_t>(__builtin_ctzll(unself));
    const __m512i units0 = _mm512_cvtepu8_epi16(_mm512_castsi512_si256(v));
    const __m512i units1 = _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(v, 1));
    // Whole halves by plain stores; a masked store only for the half the stop falls in.
    const uint64_t keep = s_firstLanes(k);
    if (Write && k >= 32) {
        _mm512_storeu_si512(out, units0);
    } else if (Write) {
        _mm512_mask_storeu_epi16(out, static_cast<__mmask32>(keep), units0);
    }
    if (Write && k == 64) {
        _mm512_storeu_si512(out + 32, units1);
    } else if (Write && k > 32) {
        _mm512_mask_storeu_epi16(out + 32, static_cast<__mmask32>(keep >> 32), units1);
    }
    return k;
}

// Widens the leading bytes of src that map to themselves, at most max; without Write only
// counts them; Upper when bytes from 0x80 up to the upper range do not. Returns their count.
template <bool Write, bool Upper>
NOX_TARGET_AVX512 size_t s_widenSelf64(const unsigned char* src, size_t max, UChar* out,
                                       unsigned selfFirst)
{
    const __m512i below = _mm512_set1_epi8(static_cast<char>(selfFirst - 0x100));
    NoxPageReach<unsigned char> reach(src);
    // One step of 64 first: a short text (a run that ends within it) is done at once, without
    // the loads of a round.
    size_t i = s_widenStep64<Write, Upper>(src, reach.within(src, max, 64),
                                           kWholeLoads && reach.readable(src) >= 64, out, below);
    if (i != 64) {
        return i;
    }
    // A long run then takes the units up to the next 64-byte boundary of the output, so that
    // the rounds' stores never straddle two cache lines.
    const size_t head = Write ? s_unitsToLine(out + i) : 0;
    if (head != 0 && max - i >= 512) {
        const size_t k = s_widenStep64<Write, Upper>(src + i, reach.within(src + i, max - i, head),
                                                     false, out + i, below);
        i += k;
        if (k != head) {
            return i;
        }
    }
    // 256 bytes a round, tested together (the unsigned minimum for a 0, with Upper the signed
    // one for the range below the upper one); the rounds run without further checks up to the
    // end of the pages allowed. A run of kFarBytes or more goes 32 bytes a step instead, each
    // load followed by its store: where the data comes from beyond the caches that keeps
    // memory busier than four loads and then eight stores (about a tenth faster at 8 MB; in the
    // caches the rounds are faster).
    bool going = true;
    const bool far = max - i >= kFarBytes;
    while (going && max - i >= 256 && reach.allows(src + i, 256)) {
        const size_t end = std::min(max, reach.readable(src));
        while (far && end - i >= 32) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
            uint32_t unself = _mm256_testn_epi8_mask(v, v);
            if (Upper) {
                unself |= _mm256_cmpgt_epi8_mask(_mm512_castsi512_si256(below), v);
            }
            if (unself != 0) {
                going = false;
                break;
            }
            if (Write) {
                _mm512_storeu_si512(out + i, _mm512_cvtepu8_epi16(v));
            }
            i += 32;
        }
        while (!far && end - i >= 256) {
            __m512i v[4];
            for (size_t k = 0; k < 4; ++k) {
                v[k] = _mm512_loadu_si512(src + i + 64 * k);
            }
            const __m512i least =
                _mm512_min_epu8(_mm512_min_epu8(v[0], v[1]), _mm512_min_epu8(v[2], v[3]));
            uint64_t unself = _mm512_testn_epi8_mask(least, least);
            if (Upper) {
                const __m512i lowest =
                    _mm512_min_epi8(_mm512_min_epi8(v[0], v[1]), _mm512_min_epi8(v[2], v[3]));
                unself |= _mm512_cmpgt_epi8_mask(below, lowest);
            }
            if (unself != 0) {
                going = false;
                break;
            }
            if (Write) {
                for (size_t k = 0; k < 4; ++k) {
                    _mm512_storeu_si512(out + i + 64 * k,
                                        _mm512_cvtepu8_epi16(_mm512_castsi512_si256(v[k])));
                    _mm512_storeu_si512(out + i + 64 * k + 32,
                                        _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(v[k], 1)));
                }
            }
            i += 256;
        }
    }
    // Then 64 bytes a step up to the byte that stops the run.
    while (i < max) {
        const size_t k = s_widenStep64<Write, Upper>(src + i, reach.within(src + i, max - i, 64),
                                                     kWholeLoads && reach.readable(src + i) >= 64,
                                                     Write ? out + i : nullptr, below);
        i += k;
        if (k != 64) {
            break;
        }
    }
    return i;
}

// The units among 32 that do not map to themselves: above 0xFF, 0, and with Upper 0x80 up to
// `upper` (0x80 and the span 0x80-upper in `base` and `span`).
template <bool Upper>
NOX_TARGET_AVX512 inline uint32_t s_unselfUnits512(__m512i v, __m512i base, __m512i span)
{
    const __m512i high = _mm512_set1_epi16(static_cast<short>(0xFF00));
    uint32_t retval = _mm512_test_epi16_mask(v, high) | _mm512_testn_epi16_mask(v, v);
    if (Upper) {
        retval |= _mm512_cmplt_epu16_mask(_mm512_sub_epi16(v, base), span);
    }
    return retval;
}

// Narrows the leading units among the n (at most 32) at src that map to themselves, as
// s_widenStep64.
template <bool Write, bool Upper>
NOX_TARGET_AVX512 inline size_t s_narrowStep32(const UChar* src, size_t n, unsigned char* out,
                                               __m512i base, __m512i span)
{
    const __m512i v = _mm512_maskz_loadu_epi16(static_cast<__mmask32>(s_firstLanes(n)), src);
    const uint32_t unself = s_unselfUnits512<Upper>(v, base, span);
    const size_t k = unself == 0 ? 32 : static_cast<size_t>(__builtin_ctz(unself));
    if (Write) {
        _mm256_mask_storeu_epi8(out, static_cast<__mmask32>(s_firstLanes(k)),
                                _mm512_cvtepi16_epi8(v));
    }
    return k;
}

// Narrows the leading units of src that map to themselves, as s_widenSelf64; Upper when units
// from 0x80 up to the upper range do not.
template <bool Write, bool Upper>
NOX_TARGET_AVX512 size_t s_narrowSelf64(const UChar* src, size_t max, unsigned char* out,
                                        UChar first, UChar last)
{
    const unsigned upper = last == 0xFF ? first : 0x100;
    const __m512i base = _mm512_set1_epi16(0x80);
    const __m512i span = _mm512_set1_epi16(static_cast<short>(upper - 0x80));
    const __m512i high = _mm512_set1_epi16(static_cast<short>(0xFF00));
    // The low byte of each unit of two registers, in order.
    const __m512i lowBytes = _mm512_set_epi8(
        126, 124, 122, 120, 118, 116, 114, 112, 110, 108, 106, 104, 102, 100, 98, 96, 94, 92, 90,
        88, 86, 84, 82, 80, 78, 76, 74, 72, 70, 68, 66, 64, 62, 60, 58, 56, 54, 52, 50, 48, 46, 44,
        42, 40, 38, 36, 34, 32, 30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
    NoxPageReach<UChar> reach(src);
    size_t i = 0;
    // A long run first takes the units up to the next 64-byte boundary of the source: a round
    // loads twice the bytes it stores, and loads that straddle cache lines cost a long run about
    // 40% more than stores that do.
    const size_t head = max >= 512 ? s_unitsToLine(src) : 0;
    bool aligning = head != 0;
    while (aligning && i < head) {
        const size_t want = std::min<size_t>(32, head - i);
        const size_t k = s_narrowStep32<Write, Upper>(src + i, reach.within(src + i, max - i, want),
                                                      out + i, base, span);
        i += k;
        aligning = k == want;
        max = aligning ? max : i;
    }
    // 128 units a round, tested together: one mask test of the OR of the four registers for a
    // unit above 0xFF, one of their minimum for a 0, and with Upper, only where the OR shows a
    // unit above 0x7F, a compare a register for the range below the upper one. The rounds run
    // without further checks up to the end of the pages allowed.
    bool going = true;
    while (going && max - i >= 128 && reach.allows(src + i, 128)) {
        const size_t end = std::min(max, reach.readable(src));
        do {
            __m512i v[4];
            for (size_t k = 0; k < 4; ++k) {
                v[k] = _mm512_loadu_si512(src + i + 32 * k);
            }
            const __m512i any =
                _mm512_or_si512(_mm512_or_si512(v[0], v[1]), _mm512_or_si512(v[2], v[3]));
            const __m512i least =
                _mm512_min_epu16(_mm512_min_epu16(v[0], v[1]), _mm512_min_epu16(v[2], v[3]));
            uint32_t unself =
                _mm512_test_epi16_mask(any, high) | _mm512_testn_epi16_mask(least, least);
            if (Upper && _mm512_test_epi16_mask(any, base) != 0) {
                for (size_t k = 0; k < 4; ++k) {
                    unself |= _mm512_cmplt_epu16_mask(_mm512_sub_epi16(v[k], base), span);
                }
            }
            if (unself != 0) {
                going = false;
                break;
            }
            if (Write) {
                _mm512_storeu_si512(out + i, _mm512_permutex2var_epi8(v[0], lowBytes, v[1]));
                _mm512_storeu_si512(out + i + 64, _mm512_permutex2var_epi8(v[2], lowBytes, v[3]));
            }
            i += 128;
        } while (end - i >= 128);
    }
    // Then 32 units a step up to the unit that stops the run.
    while (i < max) {
        const size_t k = s_narrowStep32<Write, Upper>(src + i, reach.within(src + i, max - i, 32),
                                                      Write ? out + i : nullptr, base, span);
        i += k;
        if (k != 32) {
            break;
        }
    }
    return i;
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

struct NoxAvx512Kernels : NoxSse2Kernels {
    static constexpr size_t kReach = 64;
    static constexpr bool kSelfRunsCrossPages = true;
    static constexpr bool kShortSelfRuns = true;

    static size_t widenSelf(const unsigned char* src, size_t max, UChar* out, unsigned selfFirst)
    {
        const bool upper = selfFirst > 0x80;
        return out != nullptr ? (upper ? s_widenSelf64<true, true>(src, max, out, selfFirst)
                                       : s_widenSelf64<true, false>(src, max, out, selfFirst))
                              : (upper ? s_widenSelf64<false, true>(src, max, out, selfFirst)
                                       : s_widenSelf64<false, false>(src, max, out, selfFirst));
    }

    static size_t narrowSelf(const UChar* src, size_t max, unsigned char* out, UChar first,
                             UChar last)
    {
        const bool upper = last != 0xFF || first > 0x80;
        if (upper && max < 64 && nox::bytesToPageEnd(src) >= 2 * max) {
            // A short run within its page, on a page with a range of its own below the upper
            // one: the SSE2 steps of 16 cost less to start than the steps here.
            return NoxSse2Kernels::narrowSelf(src, max, out, first, last);
        }
        return out != nullptr ? (upper ? s_narrowSelf64<true, true>(src, max, out, first, last)
                                       : s_narrowSelf64<true, false>(src, max, out, first, last))
                              : (upper ? s_narrowSelf64<false, true>(src, max, out, first, last)
                                       : s_narrowSelf64<false, false>(src, max, out, first, last));
    }

    static constexpr bool kHasByteToUnit = true;
    static constexpr size_t kByteBlock = 64;
    static size_t toUBytes(const nox::CodePageTables& t, const unsigned char* src, size_t len,
                           UChar* out)
    {
        return t.byteToUnit != nullptr ? s_toUBytes512(src, len, out, t.byteToUnit)
                                       : NoxSse2Kernels::toUBytes(t, src, len, out);
    }

    // 32-byte blocks first, then what is left in 16-byte blocks.
    static size_t toUPairs(const nox::CodePageTables& t, const unsigned char* src, size_t srcLen,
                           UChar* out, size_t* n, size_t room, bool countBeyond)
    {
        const size_t wide = s_toUPairs512(t, src, srcLen, out, n, room, countBeyond);
        return wide +
               NoxSse2Kernels::toUPairs(t, src + wide, srcLen - wide, out, n, room, countBeyond);
    }

    static constexpr bool kGathers = true;
    static size_t fromUGather(const nox::CodePageTables& t, const UChar* src, size_t srcLen,
                              unsigned char* out, size_t* n, size_t room, bool countOnly)
    {
        const auto gather = t.unitBytesWidth == 1 ? s_fromUGather512<1> : s_fromUGather512<2>;
        return gather(src, srcLen, out, n, room, countOnly, t.unitBytes, t.selfMappedFirst,
                      t.selfMappedLast, t.asciiFromU);
    }
};

#endif

} // namespace

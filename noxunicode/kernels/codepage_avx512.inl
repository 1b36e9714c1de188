// codepage_avx512.inl - code-page kernels for AVX-512 (F, BW, VL, DQ, VBMI, VBMI2), on top
// of the SSE2 kernels. Included by NoxUCharConverter.cpp.
//
// Single-byte code pages convert 64 bytes a step by byte permutation: the code page's 256
// units are held as three 256-byte tables (low byte, high byte, and a flag for bytes that have
// an entry), and two two-source permutations over the halves of a table, blended by each
// byte's top bit, look up 64 bytes at once.
//
// Double-byte code pages find the character starts of 32 bytes as the SSE2 kernel does, then
// gather the units of all 32 positions from the byte-pair table in two gathers and compress the
// units of the starts into one masked store, which writes nothing beyond the characters.
//
// From Unicode, 32 units a step gather their bytes from a flat table of each unit's one or two
// bytes; the bytes that are not 0 are compressed into one masked store.

namespace {

#if defined(NOX_X86)

// Looks up 64 bytes in a 256-entry byte table: two permutations over its halves, blended by
// each byte's top bit.
NOX_TARGET_AVX512 inline __m512i s_lookup64(__m512i index, __mmask64 upper, const unsigned char* t)
{
    const __m512i low =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(t), index, _mm512_loadu_si512(t + 64));
    const __m512i high =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(t + 128), index, _mm512_loadu_si512(t + 192));
    return _mm512_mask_blend_epi8(upper, low, high);
}

// Converts 64 one-byte characters at a time. Stops before the first block that holds a byte
// without an entry (the 0 byte has none) and returns the bytes converted.
NOX_TARGET_AVX512 size_t s_toUBytes512(const unsigned char* src, size_t len, UChar* out,
                                       const unsigned char* tables)
{
    size_t i = 0;
    while (len - i >= 64) {
        const __m512i v = _mm512_loadu_si512(src + i);
        const __mmask64 upper = _mm512_movepi8_mask(v);
        const __m512i valid = s_lookup64(v, upper, tables + 512);
        if (_mm512_test_epi8_mask(valid, valid) != ~0ull) {
            break;
        }
        if (out != nullptr) {
            const __m512i lo = s_lookup64(v, upper, tables);
            const __m512i hi = s_lookup64(v, upper, tables + 256);
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

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

struct NoxAvx512Kernels : NoxSse2Kernels {
    static constexpr size_t kReach = 64;

    static constexpr bool kHasByteToUnit = true;
    static size_t toUBytes(const nox::CodePageTables& t, const unsigned char* src, size_t len,
                           UChar* out)
    {
        return s_toUBytes512(src, len, out, t.byteToUnit);
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

// utf_avx2_to16.inl - UTF-8 to UTF-16 for AVX2, BMI and BMI2, and the register helpers that
// utf_avx2_to8.inl shares. Included by ConvertUTF.cpp.
//
// UTF-8 to UTF-16 takes 32 bytes a step. The byte classes become 32-bit masks and the checks
// are integer arithmetic on them: the trail bytes that the leads expect ((leads << 1) |
// (leads of three bytes or more << 2) | (leads of four << 3)) must be the trail bytes found,
// and no byte may be one that never starts a character or a lead whose next byte makes an
// overlong form, a surrogate form (which the modes judge) or a value above 0x10FFFF. The step
// ends on the character boundary before the first position where something differs, or before
// the character that the end of the 32 bytes cuts, so it takes 29 to 32 bytes of regular text
// and hands what is irregular to the exact step. Every byte position is decoded at once as if
// a character started there (as in s_decodeWindow, 32 positions in one register), and the
// units of the character starts are packed by byte shuffles, eight positions a table row.
// It writes through the staging of s_bulkStaged, where a vector store may run past the
// characters converted.

namespace {

#if defined(NOX_X86)

// Shifts the bytes of v up by one place across the two halves, a zero byte first.
NOX_TARGET_AVX2 inline __m256i s_shiftUp1(__m256i v)
{
    return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(v, v, 0x08), 15);
}

NOX_TARGET_AVX2 inline unsigned s_mask32(__m256i v)
{
    return static_cast<unsigned>(_mm256_movemask_epi8(v));
}

// 0xFF where the signed byte of v exceeds `byte - 1`: for the bytes 0x80 to 0xFF (negative),
// where they lie in `byte` to 0xFF.
NOX_TARGET_AVX2 inline __m256i s_atLeast256(__m256i v, int byte)
{
    return _mm256_cmpgt_epi8(v, _mm256_set1_epi8(static_cast<char>(byte - 1)));
}

NOX_TARGET_AVX2 inline __m256i s_equal256(__m256i v, int byte)
{
    return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(byte)));
}

// Byte shuffle rows of two 8-position groups, one for each half of a register.
NOX_TARGET_AVX2 inline __m256i s_rows(const PackTable& table, unsigned low, unsigned high)
{
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.shuffle[low]))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.shuffle[high])), 1);
}

// Widens 32 ASCII bytes.
NOX_TARGET_AVX2 inline void s_widen32(__m256i b, UTF16* t)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t),
                        _mm256_cvtepu8_epi16(_mm256_castsi256_si128(b)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + 16),
                        _mm256_cvtepu8_epi16(_mm256_extracti128_si256(b, 1)));
}

// Narrows 32 ASCII units.
NOX_TARGET_AVX2 inline void s_narrow32(__m256i a, __m256i b, UTF8* t)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t),
                        _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
}

NOX_TARGET_AVX2 inline __m256i s_load256(const void* p)
{
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// UTF-8 to UTF-16, 32 bytes a step (see the top of the file).
struct Utf8ToUtf16Block32 {
    using Src = UTF8;
    using Dst = UTF16;
    static constexpr int stageSize = 256;
    static constexpr int reach = 32;
    static constexpr int minSource = 34;

    // Widens 64 bytes straight to the target when they are all ASCII.
    NOX_TARGET_AVX2 static bool ascii64(const UTF8* s, UTF16* t)
    {
        const __m256i a = s_load256(s);
        const __m256i b = s_load256(s + 32);
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) != 0) {
            return false;
        }
        s_widen32(a, t);
        s_widen32(b, t + 32);
        return true;
    }

    NOX_TARGET_AVX2 static bool asciiAhead(const UTF8* s)
    {
        return _mm256_movemask_epi8(s_load256(s)) == 0;
    }

    NOX_TARGET_AVX2 static bool step(const UTF8*& s, const UTF8* /*sourceEnd*/, UTF16*& t)
    {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
        const unsigned high = s_mask32(b);
        if (high == 0) {
            s_widen32(b, t);
            s += 32;
            t += 32;
            return true;
        }
        const __m256i geC0 = s_atLeast256(b, 0xC0);
        const __m256i geE0 = s_atLeast256(b, 0xE0);
        const __m256i geF0 = s_atLeast256(b, 0xF0);
        const uint64_t lead = s_mask32(geC0) & high;
        const uint64_t lead3 = s_mask32(geE0) & high;
        const uint64_t lead4 = s_mask32(geF0) & high;
        const uint64_t trail = high & ~lead;
        const uint64_t expected = (lead << 1) | (lead3 << 2) | (lead4 << 3);
        // C0, C1 and F5 to FF never start a character.
        uint64_t wrong = (trail ^ (expected & 0xFFFFFFFFu)) |
                         (lead & ~uint64_t{s_mask32(s_atLeast256(b, 0xC2))}) |
                         (s_mask32(s_atLeast256(b, 0xF5)) & high);
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 1));
        if (lead3 != 0) {
            // E0 and F0 before a byte that makes an overlong form, ED before one that makes
            // a surrogate form, F4 before one that makes a value above 0x10FFFF. A next byte
            // that is no trail byte is wrong anyway, so signed comparisons suffice.
            const __m256i belowA0 = _mm256_cmpgt_epi8(_mm256_set1_epi8(-96), next);
            const __m256i below90 = _mm256_cmpgt_epi8(_mm256_set1_epi8(-112), next);
            const __m256i judged =
                _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(s_equal256(b, 0xE0), belowA0),
                                                _mm256_andnot_si256(belowA0, s_equal256(b, 0xED))),
                                _mm256_or_si256(_mm256_and_si256(s_equal256(b, 0xF0), below90),
                                                _mm256_andnot_si256(below90, s_equal256(b, 0xF4))));
            wrong |= s_mask32(judged);
        }
        const uint64_t starts = ~trail & 0xFFFFFFFFu;
        size_t take = 32;
        if (wrong != 0) {
            const auto at = static_cast<unsigned>(__builtin_ctzll(wrong));
            if (((starts & ~expected) >> at) & 1) {
                take = at;
            } else {
                const uint64_t before = starts & ((uint64_t{1} << at) - 1);
                take = before == 0 ? 0 : 63 - static_cast<size_t>(__builtin_clzll(before));
            }
        } else if ((expected >> 32) != 0) {
            // The last character reaches into the next step.
            take = 63 - static_cast<size_t>(__builtin_clzll(starts));
        }
        if (take == 0) {
            return false;
        }
        const uint64_t used = (uint64_t{1} << take) - 1;
        const uint64_t lead4Used = lead4 & used;
        const auto keep = static_cast<unsigned>((starts | (lead4Used << 1)) & used);
        s_decode32(b, next, geE0, geF0, keep, (lead & ~lead3 & used) != 0, (lead3 & used) != 0,
                   lead4Used != 0, s, t);
        s += take;
        return true;
    }

    // Decodes every position of the 32 bytes at s as if a character started there, and
    // stores the units of the positions in `keep`.
    NOX_TARGET_AVX2 static void s_decode32(__m256i b, __m256i next, __m256i geE0, __m256i geF0,
                                           unsigned keep, bool two, bool three, bool four,
                                           const UTF8* s, UTF16*& t)
    {
        // A 16-bit shift masked to the bits of each byte acts as a byte shift.
        const __m256i low6 = _mm256_set1_epi8(0x3F);
        const __m256i top2 = _mm256_set1_epi8(static_cast<char>(0xC0));
        __m256i lo = _mm256_setzero_si256();
        __m256i hi = _mm256_setzero_si256();
        if (two) {
            // 110aaabb 10cccccc -> aaa, bbcccccc
            lo = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(b, 6), top2),
                                 _mm256_and_si256(next, low6));
            hi = _mm256_and_si256(_mm256_srli_epi16(b, 2), _mm256_set1_epi8(0x07));
        }
        __m256i lead4 = _mm256_setzero_si256();
        __m256i after4 = _mm256_setzero_si256();
        if (three) {
            // 1110aaaa 10bbbbcc 10dddddd -> aaaabbbb, ccdddddd; at a lead of four bytes the
            // value's bits 6 to 20, at the byte after it the low surrogate's bits.
            const __m256i next2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 2));
            const __m256i lo3 = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(next, 6), top2),
                                                _mm256_and_si256(next2, low6));
            const __m256i hi3 = _mm256_or_si256(
                _mm256_and_si256(_mm256_slli_epi16(b, 4),
                                 _mm256_set1_epi8(static_cast<char>(0xF0))),
                _mm256_and_si256(_mm256_srli_epi16(next, 2), _mm256_set1_epi8(0x0F)));
            __m256i pick3 = _mm256_and_si256(geE0, b);
            if (four) {
                lead4 = _mm256_and_si256(geF0, b);
                after4 = s_shiftUp1(lead4);
                pick3 = _mm256_or_si256(pick3, after4);
            }
            lo = two ? _mm256_blendv_epi8(lo, lo3, pick3) : lo3;
            hi = two ? _mm256_blendv_epi8(hi, hi3, pick3) : hi3;
        }
        // The byte's own high bit picks ASCII.
        lo = _mm256_blendv_epi8(b, lo, b);
        hi = _mm256_blendv_epi8(_mm256_setzero_si256(), hi, b);
        // Positions 0-7 and 16-23, and 8-15 and 24-31.
        __m256i first = _mm256_unpacklo_epi8(lo, hi);
        __m256i second = _mm256_unpackhi_epi8(lo, hi);
        if (four) {
            // High surrogate: 0xD7C0 + (value >> 10); low surrogate: 0xDC00 + the low ten bits.
            const __m256i highBase = _mm256_set1_epi16(static_cast<short>(0xD7C0));
            const __m256i lowMask = _mm256_set1_epi16(0x3FF);
            const __m256i lowBase = _mm256_set1_epi16(static_cast<short>(0xDC00));
            first =
                _mm256_blendv_epi8(first, _mm256_add_epi16(_mm256_srli_epi16(first, 4), highBase),
                                   _mm256_unpacklo_epi8(lead4, lead4));
            first = _mm256_blendv_epi8(first,
                                       _mm256_or_si256(_mm256_and_si256(first, lowMask), lowBase),
                                       _mm256_unpacklo_epi8(after4, after4));
            second =
                _mm256_blendv_epi8(second, _mm256_add_epi16(_mm256_srli_epi16(second, 4), highBase),
                                   _mm256_unpackhi_epi8(lead4, lead4));
            second = _mm256_blendv_epi8(second,
                                        _mm256_or_si256(_mm256_and_si256(second, lowMask), lowBase),
                                        _mm256_unpackhi_epi8(after4, after4));
        }
        const unsigned k0 = keep & 0xFF;
        const unsigned k1 = (keep >> 8) & 0xFF;
        const unsigned k2 = (keep >> 16) & 0xFF;
        const unsigned k3 = keep >> 24;
        const __m256i a = _mm256_shuffle_epi8(first, s_rows(s_laneTable, k0, k2));
        const __m256i c = _mm256_shuffle_epi8(second, s_rows(s_laneTable, k1, k3));
        s_store(t, _mm256_castsi256_si128(a));
        t += _mm_popcnt_u32(k0);
        s_store(t, _mm256_castsi256_si128(c));
        t += _mm_popcnt_u32(k1);
        s_store(t, _mm256_extracti128_si256(a, 1));
        t += _mm_popcnt_u32(k2);
        s_store(t, _mm256_extracti128_si256(c, 1));
        t += _mm_popcnt_u32(k3);
    }
};

// Runs Block::step as s_bulkStaged does, but writes blocks of 32 ASCII units straight to the
// target while nothing is staged (they are written whole).
template <typename Block>
inline __attribute__((always_inline)) void
s_bulkStagedAscii(const typename Block::Src*& source, const typename Block::Src* sourceEnd,
                  typename Block::Dst*& target, typename Block::Dst* targetEnd)
{
    using Dst = typename Block::Dst;
    Dst stage[Block::stageSize];
    Dst* staged = stage;
    const auto* s = source;
    Dst* t = target;
    while (sourceEnd - s >= Block::minSource) {
        if (staged == stage) {
            while (sourceEnd - s >= 64 && targetEnd - t >= 64 && Block::ascii64(s, t)) {
                s += 64;
                t += 64;
            }
            if (sourceEnd - s < Block::minSource) {
                break;
            }
        }
        if (targetEnd - t - (staged - stage) < Block::reach) {
            break;
        }
        if (staged - stage > Block::stageSize - Block::reach) {
            s_copyStaged(t, stage, staged - stage);
            t += staged - stage;
            staged = stage;
            continue;
        }
        if (!Block::step(s, sourceEnd, staged)) {
            break;
        }
    }
    s_copyStaged(t, stage, staged - stage);
    source = s;
    target = t + (staged - stage);
}

NOX_TARGET_AVX2 void s_bulkUtf8ToUtf16Avx2(const UTF8*& source, const UTF8* sourceEnd,
                                           UTF16*& target, UTF16* targetEnd)
{
    s_bulkStagedAscii<Utf8ToUtf16Block32>(source, sourceEnd, target, targetEnd);
    s_bulkStaged<Utf8ToUtf16Block>(source, sourceEnd, target, targetEnd);
    s_bulkFromUtf8<NoxSse2Ascii>(source, sourceEnd, target, targetEnd);
}

#endif

} // namespace

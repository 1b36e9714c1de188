// utf_avx2_to16.inl - UTF-8 to UTF-16 for AVX2, BMI and BMI2, and the register helpers that
// utf_avx2_to8.inl shares. Included by ConvertUTF.cpp.
//
// UTF-8 to UTF-16 takes 32 bytes a step. One look at them (s_lookAt32) turns the byte classes
// into 32-bit masks and checks them as integer arithmetic: the trail bytes that the leads expect
// ((leads << 1) | (leads of three bytes or more << 2) | (leads of four << 3)) must be the trail
// bytes found, and no byte may be one that never starts a character or a lead whose next byte
// makes an overlong form, a surrogate form (which the modes judge) or a value above 0x10FFFF.
// The step ends on the character boundary before the first position where something differs,
// or before the character that the end of the 32 bytes cuts, so it takes 29 to 32 bytes of
// regular text and hands what is irregular to the SSE4.2 steps and the exact step. Every byte
// position is decoded at once as if a character started there (as in s_decodeWindow, 32
// positions in one register), and the units of the character starts are packed by byte
// shuffles, eight positions a table row.
//
// When the look finds only three-byte characters, from the first byte on, s_three48 tries 48
// bytes (16 characters) at once: fixed shuffles move each character's bytes into 16-bit lanes,
// one shift and one multiply-add assemble the units, and the checks run on the lanes (leads E0
// to EF, trails 80 to BF, values from U+0800, no surrogate); one exact store.
//
// Output goes straight to the target. Each store of the general step is 16 bytes and may reach
// 8 units past the units it holds; a step writes to the target only when the next step, already
// looked at, is certain to run and to keep at least 8 units from where this one ends, which
// covers the overreach; otherwise (the last step of a run) it writes to a stack buffer that is
// copied exactly. As in utf_avx2_to8.inl the two cases are two copies of the step. Texts of 16
// to 33 bytes take 16-byte windows through a stage, shorter ones the scalar steps.

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

// Byte shuffle rows of two 8-position groups, one for each half of a register, given by their
// byte offsets in the table (key * 16).
NOX_TARGET_AVX2 inline __m256i s_rowsAt(const PackTable& table, uint64_t low, uint64_t high)
{
    const auto* rows = &table.shuffle[0][0];
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + low))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + high)), 1);
}

// The same, given by their keys.
NOX_TARGET_AVX2 inline __m256i s_rows(const PackTable& table, unsigned low, unsigned high)
{
    return s_rowsAt(table, uint64_t{low} << 4, uint64_t{high} << 4);
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

// Keeps a constant in a register or a stack slot: otherwise the compiler builds it again from an
// immediate (three instructions) wherever it is used inside the loops.
NOX_TARGET_AVX2 inline __m256i s_kept(__m256i v)
{
    __asm__("" : "+x"(v));
    return v;
}

NOX_TARGET_AVX2 inline __m256i s_kept8(int value)
{
    return s_kept(_mm256_set1_epi8(static_cast<char>(value)));
}

NOX_TARGET_AVX2 inline __m256i s_kept16(int value)
{
    return s_kept(_mm256_set1_epi16(static_cast<short>(value)));
}

// The constants of UTF-8 to UTF-16, built once a call. The `ge` ones are signed comparison
// bounds: a byte from 0x80 up is at least `byte` when it exceeds the bound `byte - 1`.
struct NoxTo16Constants {
    __m256i geC0, geC2, geE0, geF0, geF5, e0, ed, f0, f4, a0, x90;
    __m256i low6, top2, x07, xf0, x0f, highBase, lowMask, lowBase;
    // Runs of three-byte characters.
    __m256i splitX, splitY, leadMask, leadBits, trailMask2, trailBits2, weights, low6x2, f800, d800;
};

NOX_TARGET_AVX2 inline NoxTo16Constants s_to16Constants()
{
    // Per 128-bit lane: characters 0-3 of the lane's 24 bytes from its first 16 (X), 4-7 from
    // bytes 8-23 (Y); each gives last | middle << 8 in one 64-bit half and its lead in the other.
    const __m256i splitX = _mm256_setr_epi8(2, 1, 5, 4, 8, 7, 11, 10, 0, -1, 3, -1, 6, -1, 9, -1, //
                                            2, 1, 5, 4, 8, 7, 11, 10, 0, -1, 3, -1, 6, -1, 9, -1);
    const __m256i splitY =
        _mm256_setr_epi8(6, 5, 9, 8, 12, 11, 15, 14, 4, -1, 7, -1, 10, -1, 13, -1, //
                         6, 5, 9, 8, 12, 11, 15, 14, 4, -1, 7, -1, 10, -1, 13, -1);
    return {
        s_kept8(0xBF),    s_kept8(0xC1),    s_kept8(0xDF),    s_kept8(0xEF),    s_kept8(0xF4),
        s_kept8(0xE0),    s_kept8(0xED),    s_kept8(0xF0),    s_kept8(0xF4),    s_kept8(0xA0),
        s_kept8(0x90),    s_kept8(0x3F),    s_kept8(0xC0),    s_kept8(0x07),    s_kept8(0xF0),
        s_kept8(0x0F),    s_kept16(0xD7C0), s_kept16(0x3FF),  s_kept16(0xDC00), s_kept(splitX),
        s_kept(splitY),   s_kept16(0xF0),   s_kept16(0xE0),   s_kept16(0xC0C0), s_kept16(0x8080),
        s_kept16(0x4001), s_kept16(0x3F3F), s_kept16(0xF800), s_kept16(0xD800)};
}

// Decodes 48 bytes of three-byte characters that no mode judges (16 units) straight to the
// target; false, with nothing written, when the bytes are anything else. The bytes are moved
// into 16-bit lanes by fixed shuffles and checked there: every lead E0 to EF, every trail 80 to
// BF, every value from U+0800 and none a surrogate.
NOX_TARGET_AVX2 inline bool s_three48(const UTF8* s, UTF16* t, const NoxTo16Constants& k)
{
    const __m256i x = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(s + 24),
                                          reinterpret_cast<const __m128i*>(s));
    const __m256i y = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(s + 32),
                                          reinterpret_cast<const __m128i*>(s + 8));
    const __m256i p = _mm256_shuffle_epi8(x, k.splitX);
    const __m256i q = _mm256_shuffle_epi8(y, k.splitY);
    const __m256i trails = _mm256_unpacklo_epi64(p, q); // last | middle << 8
    const __m256i leads = _mm256_unpackhi_epi64(p, q);
    // The lead's low four bits shift into place by themselves; maddubs adds last + 64 * middle.
    const __m256i unit =
        _mm256_or_si256(_mm256_slli_epi16(leads, 12),
                        _mm256_maddubs_epi16(_mm256_and_si256(trails, k.low6x2), k.weights));
    const __m256i high5 = _mm256_and_si256(unit, k.f800);
    const __m256i good = _mm256_andnot_si256(
        _mm256_or_si256(_mm256_cmpeq_epi16(high5, _mm256_setzero_si256()),
                        _mm256_cmpeq_epi16(high5, k.d800)),
        _mm256_and_si256(_mm256_cmpeq_epi16(_mm256_and_si256(leads, k.leadMask), k.leadBits),
                         _mm256_cmpeq_epi16(_mm256_and_si256(trails, k.trailMask2), k.trailBits2)));
    if (s_mask32(good) != 0xFFFFFFFFu) {
        return false;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t), unit);
    return true;
}

// What the look at 32 bytes found: how many bytes a step takes (0: none), the positions whose
// units it keeps, and which lengths occur among the characters it takes.
struct NoxBytes32 {
    unsigned take;
    unsigned keep;
    bool one;
    bool two;
    bool three;
    bool four;
};

// Looks at the 32 bytes at s (see the top of the file); 34 must be readable.
NOX_TARGET_AVX2 inline NoxBytes32 s_lookAt32(const UTF8* s, const NoxTo16Constants& k)
{
    const __m256i b = s_load256(s);
    const unsigned high = s_mask32(b);
    if (high == 0) {
        return {32, 0xFFFFFFFFu, true, false, false, false};
    }
    const uint64_t lead = s_mask32(_mm256_cmpgt_epi8(b, k.geC0)) & high;
    const uint64_t lead3 = s_mask32(_mm256_cmpgt_epi8(b, k.geE0)) & high;
    const uint64_t lead4 = s_mask32(_mm256_cmpgt_epi8(b, k.geF0)) & high;
    const uint64_t trail = high & ~lead;
    const uint64_t expected = (lead << 1) | (lead3 << 2) | (lead4 << 3);
    // C0, C1 and F5 to FF never start a character.
    uint64_t wrong = (trail ^ (expected & 0xFFFFFFFFu)) |
                     (lead & ~uint64_t{s_mask32(_mm256_cmpgt_epi8(b, k.geC2))}) |
                     (s_mask32(_mm256_cmpgt_epi8(b, k.geF5)) & high);
    if (lead3 != 0) {
        // E0 and F0 before a byte that makes an overlong form, ED before one that makes a
        // surrogate form, F4 before one that makes a value above 0x10FFFF. A next byte that is
        // no trail byte is wrong anyway, so signed comparisons suffice.
        const __m256i next = s_load256(s + 1);
        const __m256i belowA0 = _mm256_cmpgt_epi8(k.a0, next);
        const __m256i below90 = _mm256_cmpgt_epi8(k.x90, next);
        const __m256i judged = _mm256_or_si256(
            _mm256_or_si256(_mm256_and_si256(_mm256_cmpeq_epi8(b, k.e0), belowA0),
                            _mm256_andnot_si256(belowA0, _mm256_cmpeq_epi8(b, k.ed))),
            _mm256_or_si256(_mm256_and_si256(_mm256_cmpeq_epi8(b, k.f0), below90),
                            _mm256_andnot_si256(below90, _mm256_cmpeq_epi8(b, k.f4))));
        wrong |= s_mask32(judged);
    }
    const uint64_t starts = ~trail & 0xFFFFFFFFu;
    unsigned take = 32;
    if (wrong != 0) {
        const auto at = static_cast<unsigned>(__builtin_ctzll(wrong));
        if (((starts & ~expected) >> at) & 1) {
            take = at;
        } else {
            const uint64_t before = starts & ((uint64_t{1} << at) - 1);
            take = before == 0 ? 0 : 63 - static_cast<unsigned>(__builtin_clzll(before));
        }
    } else if ((expected >> 32) != 0) {
        // The last character reaches into the next step.
        take = 63 - static_cast<unsigned>(__builtin_clzll(starts));
    }
    const uint64_t used = (uint64_t{1} << take) - 1;
    const uint64_t lead4Used = lead4 & used;
    return {take,
            static_cast<unsigned>((starts | (lead4Used << 1)) & used),
            (~high & used) != 0,
            (lead & ~lead3 & used) != 0,
            (lead3 & used) != 0,
            lead4Used != 0};
}

// Decodes every position of the 32 bytes at s as if a character started there and stores the
// units of the positions that `look` keeps at t, moving t past them. Each store is 16 bytes and
// may reach up to 8 units past the units it holds.
NOX_TARGET_AVX2 inline void s_decode32(const UTF8* s, const NoxBytes32& look,
                                       const NoxTo16Constants& k, UTF16*& t)
{
    const __m256i b = s_load256(s);
    const __m256i next = s_load256(s + 1);
    // A 16-bit shift masked to the bits of each byte acts as a byte shift.
    __m256i lo = _mm256_setzero_si256();
    __m256i hi = _mm256_setzero_si256();
    if (look.two) {
        // 110aaabb 10cccccc -> aaa, bbcccccc
        lo = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(b, 6), k.top2),
                             _mm256_and_si256(next, k.low6));
        hi = _mm256_and_si256(_mm256_srli_epi16(b, 2), k.x07);
    }
    __m256i lead4 = _mm256_setzero_si256();
    __m256i after4 = _mm256_setzero_si256();
    if (look.three) {
        // 1110aaaa 10bbbbcc 10dddddd -> aaaabbbb, ccdddddd; at a lead of four bytes the
        // value's bits 6 to 20, at the byte after it the low surrogate's bits.
        const __m256i next2 = s_load256(s + 2);
        const __m256i lo3 = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(next, 6), k.top2),
                                            _mm256_and_si256(next2, k.low6));
        const __m256i hi3 = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(b, 4), k.xf0),
                                            _mm256_and_si256(_mm256_srli_epi16(next, 2), k.x0f));
        __m256i pick3 = _mm256_and_si256(_mm256_cmpgt_epi8(b, k.geE0), b);
        if (look.four) {
            lead4 = _mm256_and_si256(_mm256_cmpgt_epi8(b, k.geF0), b);
            after4 = s_shiftUp1(lead4);
            pick3 = _mm256_or_si256(pick3, after4);
        }
        lo = look.two ? _mm256_blendv_epi8(lo, lo3, pick3) : lo3;
        hi = look.two ? _mm256_blendv_epi8(hi, hi3, pick3) : hi3;
    }
    // The byte's own high bit picks ASCII.
    lo = _mm256_blendv_epi8(b, lo, b);
    hi = _mm256_blendv_epi8(_mm256_setzero_si256(), hi, b);
    // Positions 0-7 and 16-23, and 8-15 and 24-31.
    __m256i first = _mm256_unpacklo_epi8(lo, hi);
    __m256i second = _mm256_unpackhi_epi8(lo, hi);
    if (look.four) {
        // High surrogate: 0xD7C0 + (value >> 10); low surrogate: 0xDC00 + the low ten bits.
        first = _mm256_blendv_epi8(first, _mm256_add_epi16(_mm256_srli_epi16(first, 4), k.highBase),
                                   _mm256_unpacklo_epi8(lead4, lead4));
        first = _mm256_blendv_epi8(first,
                                   _mm256_or_si256(_mm256_and_si256(first, k.lowMask), k.lowBase),
                                   _mm256_unpacklo_epi8(after4, after4));
        second =
            _mm256_blendv_epi8(second, _mm256_add_epi16(_mm256_srli_epi16(second, 4), k.highBase),
                               _mm256_unpackhi_epi8(lead4, lead4));
        second = _mm256_blendv_epi8(second,
                                    _mm256_or_si256(_mm256_and_si256(second, k.lowMask), k.lowBase),
                                    _mm256_unpackhi_epi8(after4, after4));
    }
    const unsigned k0 = look.keep & 0xFF;
    const unsigned k1 = (look.keep >> 8) & 0xFF;
    const unsigned k2 = (look.keep >> 16) & 0xFF;
    const unsigned k3 = look.keep >> 24;
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

// Widens 64 bytes straight to the target when they are all ASCII.
NOX_TARGET_AVX2 inline bool s_widenAscii64(const UTF8* s, UTF16* t)
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

// Bytes a step reads, units it writes at most, and how far its stores reach.
constexpr std::ptrdiff_t kBytesRead32 = 34;
constexpr std::ptrdiff_t kUnitsOf32 = 32;
constexpr std::ptrdiff_t kReach16 = 40;

// The blocks of a text long enough for them, then what the SSE4.2 steps take; kept out of line
// so that a short text meets no more than a size test before the scalar steps.
NOX_TARGET_AVX2 __attribute__((noinline)) void s_blocksUtf8ToUtf16Avx2(const UTF8*& source,
                                                                       const UTF8* sourceEnd,
                                                                       UTF16*& target,
                                                                       UTF16* targetEnd)
{
    const UTF8* s = source;
    UTF16* t = target;
    if (sourceEnd - s >= kBytesRead32 && targetEnd - t >= kUnitsOf32) {
        const NoxTo16Constants k = s_to16Constants();
        UTF16 stage[kReach16];
        NoxBytes32 look = s_lookAt32(s, k);
        while (look.take != 0) {
            if (look.keep == 0xFFFFFFFFu && look.take == 32) {
                // ASCII: exact stores, nothing to cover afterwards. A run that goes on past two
                // steps of 64 steps back to the last 32-byte boundary of the source and goes on
                // from there (the units in between are written again, the same): taken
                // unaligned, every other load of 32 bytes straddles two cache lines, which costs
                // a long run more than the part taken twice.
                s_widen32(s_load256(s), t);
                s += 32;
                t += 32;
                int unaligned = 2;
                while (sourceEnd - s >= 64 && targetEnd - t >= 64 && s_widenAscii64(s, t)) {
                    s += 64;
                    t += 64;
                    if (--unaligned == 0) {
                        const auto back = static_cast<std::ptrdiff_t>(nox::unitsPastBoundary(s));
                        s -= back;
                        t -= back;
                    }
                }
            } else if (look.three && !look.one && !look.two && !look.four && sourceEnd - s >= 48 &&
                       targetEnd - t >= 16 && s_three48(s, t, k)) {
                // Three-byte characters from the first byte on: 48 bytes, exact stores.
                s += 48;
                t += 16;
                while (sourceEnd - s >= 48 && targetEnd - t >= 16 && s_three48(s, t, k)) {
                    s += 48;
                    t += 16;
                }
            } else {
                const UTF8* const next = s + look.take;
                // The next step runs for certain when it takes characters of at least 8 units
                // and has source and room (this one writes at most 32 units): its stores then
                // cover whatever this one's reach past its units, so this one writes straight
                // to the target.
                const bool more =
                    sourceEnd - next >= kBytesRead32 && targetEnd - t >= kUnitsOf32 + kReach16;
                const NoxBytes32 nextLook = more ? s_lookAt32(next, k) : NoxBytes32{};
                const bool direct = _mm_popcnt_u32(nextLook.keep) >= 8;
                // Two copies of the step, so that the stores' addresses do not wait for the
                // look at the next bytes.
                if (direct) {
                    s_decode32(s, look, k, t);
                } else {
                    UTF16* staged = stage;
                    s_decode32(s, look, k, staged);
                    s_copyStaged(t, stage, staged - stage);
                    t += staged - stage;
                }
                s = next;
                if (more) {
                    look = nextLook;
                    continue;
                }
            }
            look = sourceEnd - s >= kBytesRead32 && targetEnd - t >= kUnitsOf32 ? s_lookAt32(s, k)
                                                                                : NoxBytes32{};
        }
        source = s;
        target = t;
    }
    s_bulkStaged<Utf8ToUtf16Block>(source, sourceEnd, target, targetEnd);
}

// Texts of 16 to 33 bytes: windows of 16 bytes (Utf8ToUtf16Block::window reads no more),
// each staged and copied exactly.
NOX_TARGET_AVX2 __attribute__((noinline)) void
s_windowsUtf8ToUtf16(const UTF8*& source, const UTF8* sourceEnd, UTF16*& target, UTF16* targetEnd)
{
    UTF16 stage[16];
    while (sourceEnd - source >= 16 && targetEnd - target >= 16) {
        UTF16* staged = stage;
        if (!Utf8ToUtf16Block::window(source, staged)) {
            return;
        }
        s_copyStaged(target, stage, staged - stage);
        target += staged - stage;
    }
}

NOX_TARGET_AVX2 void s_bulkUtf8ToUtf16Avx2(const UTF8*& source, const UTF8* sourceEnd,
                                           UTF16*& target, UTF16* targetEnd)
{
    if (sourceEnd - source >= kBytesRead32 && targetEnd - target >= kUnitsOf32) {
        s_blocksUtf8ToUtf16Avx2(source, sourceEnd, target, targetEnd);
    } else if (sourceEnd - source >= 16 && targetEnd - target >= 16) {
        s_windowsUtf8ToUtf16(source, sourceEnd, target, targetEnd);
    }
    s_bulkFromUtf8<NoxSse2Ascii>(source, sourceEnd, target, targetEnd);
}

#endif

} // namespace

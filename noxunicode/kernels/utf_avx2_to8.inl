// utf_avx2_to8.inl - UTF-16 to UTF-8 for AVX2, BMI and BMI2. Included by ConvertUTF.cpp after
// utf_avx2_to16.inl, whose register helpers it uses.
//
// A step takes 32 units (31 when the last is the first half of a pair, which the next step
// takes whole). Before a step, one look at its 32 units tells whether they are all ASCII
// (then they are narrowed, 64 a round while that lasts) or free of surrogates, or, when
// surrogates occur, whether every high one is followed by a low one and every low one follows
// a high one: the masks of high and low surrogates, the first shifted by one, must be equal.
// Anything else stops the step, and the SSE4.2 steps and the exact step take over there.
//
// Each half of 16 units is encoded in its own registers. When every unit is below U+0800 a
// unit becomes one or two bytes of its own 16-bit lane (lead | trail << 8), packed eight units a
// shuffle; otherwise a unit becomes one to three bytes of a 32-bit lane, four units a shuffle,
// and each half of a pair gives two bytes of its four (the low half takes two bits from the
// unit before it, across the halves when the pair straddles them). The shuffle rows and their
// counts come from the key of each group (tables of utf_sse42.inl; the keys are taken as row
// offsets, whose bits count the same). Units that all become three bytes (most CJK text) can
// skip the keys: one fixed shuffle a group of four units and fixed advances of 12 bytes. Choosing
// that encoding half by half is a branch that text mixing CJK with other characters (ASCII
// digits and punctuation, the spaces of Korean) mispredicts, and its look costs every step, so
// the steps take the keys, and the fixed encoding only in runs: once a group of eight steps has
// encoded every unit as three bytes (told by their keys, with no branch per step), a loop of its
// own takes the steps that its look finds all three bytes, until one is not.
//
// The output goes straight to the target. Each store is 16 bytes and may run up to 12 bytes
// past the characters it holds; the next store begins where those characters end and covers
// that. A step therefore writes to the target only when the step after it is certain to run and
// to write at least 30 bytes from where it ends (its 32 units have been looked at, and there is
// source and room for it); otherwise, at the last step of a run, it writes to a stack buffer
// from which exactly its bytes are copied. So nothing past the returned position changes and
// nothing is written at or past targetEnd. The direct and the staged step are two copies of the
// code: a pointer chosen between target and stack would make every store's address wait for
// the look at the next units. Texts shorter than 32 units go to the SSE4.2 steps or the scalar
// ones without entering the blocks.

namespace {

#if defined(NOX_X86)

// What the look at 32 units found.
// Whole: no surrogate (WholeThree: and every unit becomes three bytes); Paired: whole pairs;
// CutPair: whole pairs but the last unit, the first half of a pair that the next step takes.
enum class NoxUnits32 { Stop, Whole, WholeThree, Paired, CutPair, Ascii, OneOrTwo };

// What a look tells of the steps without surrogates: Whole only (the steps with keys), or
// whether every unit becomes three bytes (the runs of three-byte steps).
enum class NoxLook { Whole, Three };

// The 16-bit constants of the steps, built once a call (see s_kept).
struct NoxTo8Constants {
    __m256i ff80, f800, d800, fc00, low6, x80, xc0, xe0, x3ff, x40, x80f0, x3f00, x8080, x3, xf,
        x80c0;
};

NOX_TARGET_AVX2 inline NoxTo8Constants s_to8Constants()
{
    return {s_kept16(0xFF80), s_kept16(0xF800), s_kept16(0xD800), s_kept16(0xFC00),
            s_kept16(0x3F),   s_kept16(0x80),   s_kept16(0xC0),   s_kept16(0xE0),
            s_kept16(0x3FF),  s_kept16(0x40),   s_kept16(0x80F0), s_kept16(0x3F00),
            s_kept16(0x8080), s_kept16(3),      s_kept16(0xF),    s_kept16(0x80C0)};
}

// Looks at the 32 units at s (see the top of the file).
template <NoxLook Look>
NOX_TARGET_AVX2 inline NoxUnits32 s_lookAt32(const UTF16* s, const NoxTo8Constants& k)
{
    const __m256i u0 = s_load256(s);
    const __m256i u1 = s_load256(s + 16);
    if (_mm256_testz_si256(_mm256_or_si256(u0, u1), k.ff80)) {
        return NoxUnits32::Ascii;
    }
    if (_mm256_testz_si256(_mm256_or_si256(u0, u1), k.f800)) {
        return NoxUnits32::OneOrTwo;
    }
    const __m256i sur0 = _mm256_cmpeq_epi16(_mm256_and_si256(u0, k.f800), k.d800);
    const __m256i sur1 = _mm256_cmpeq_epi16(_mm256_and_si256(u1, k.f800), k.d800);
    const __m256i any = _mm256_or_si256(sur0, sur1);
    if (_mm256_testz_si256(any, any)) {
        if (Look == NoxLook::Whole) {
            return NoxUnits32::Whole;
        }
        // Whether any unit lies below U+0800.
        const __m256i below = _mm256_or_si256(
            _mm256_cmpeq_epi16(_mm256_and_si256(u0, k.f800), _mm256_setzero_si256()),
            _mm256_cmpeq_epi16(_mm256_and_si256(u1, k.f800), _mm256_setzero_si256()));
        return _mm256_testz_si256(below, below) ? NoxUnits32::WholeThree : NoxUnits32::Whole;
    }
    const __m256i high0 = _mm256_cmpeq_epi16(_mm256_and_si256(u0, k.fc00), k.d800);
    const __m256i high1 = _mm256_cmpeq_epi16(_mm256_and_si256(u1, k.fc00), k.d800);
    // One bit a unit, in order.
    const uint64_t high =
        s_mask32(_mm256_permute4x64_epi64(_mm256_packs_epi16(high0, high1), 0xD8));
    const uint64_t sur = s_mask32(_mm256_permute4x64_epi64(_mm256_packs_epi16(sur0, sur1), 0xD8));
    const uint64_t low = sur & ~high;
    if ((((high << 1) ^ low) & 0xFFFFFFFFu) != 0) {
        return NoxUnits32::Stop;
    }
    return (high >> 31) != 0 ? NoxUnits32::CutPair : NoxUnits32::Paired;
}

// Units below U+0800 as lead | trail << 8, the ASCII ones (in `ascii`) as themselves.
NOX_TARGET_AVX2 inline __m256i s_oneOrTwoLanes(__m256i u, __m256i ascii, const NoxTo8Constants& k)
{
    const __m256i two = _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi16(u, 6), k.x80c0),
                                        _mm256_and_si256(_mm256_slli_epi16(u, 8), k.x3f00));
    return _mm256_blendv_epi8(two, u, ascii);
}

// Encodes 32 units below U+0800 at t and moves t past them: each lane holds lead | trail << 8,
// or the unit itself when it is ASCII, and a shuffle of eight lanes drops the high bytes of the
// ASCII ones.
NOX_TARGET_AVX2 inline void s_encode32OneOrTwo(__m256i u0, __m256i u1, const NoxTo8Constants& k,
                                               UTF8*& t)
{
    // Signed comparisons suffice: every unit is below 0x800.
    const __m256i ascii0 = _mm256_cmpgt_epi16(k.x80, u0);
    const __m256i ascii1 = _mm256_cmpgt_epi16(k.x80, u1);
    // Bits 0-7: ASCII among units 0-7, 8-15: among units 16-23, 16-23: among units 8-15,
    // 24-31: among units 24-31. Each byte is the key of eight units, kept as its row's offset
    // in the table (key * 16), whose bits count the same.
    const uint64_t keys = s_mask32(_mm256_packs_epi16(ascii0, ascii1));
    const uint64_t row0 = keys << 4 & 0xFF0u;
    const uint64_t row1 = keys >> 4 & 0xFF0u;
    const uint64_t row2 = keys >> 12 & 0xFF0u;
    const uint64_t row3 = keys >> 20 & 0xFF0u;
    const __m256i a =
        _mm256_shuffle_epi8(s_oneOrTwoLanes(u0, ascii0, k), s_rowsAt(s_oneOrTwoTable, row0, row2));
    const __m256i b =
        _mm256_shuffle_epi8(s_oneOrTwoLanes(u1, ascii1, k), s_rowsAt(s_oneOrTwoTable, row1, row3));
    // Eight units take 16 bytes, one less for each ASCII one.
    s_store(t, _mm256_castsi256_si128(a));
    t += 16 - _mm_popcnt_u64(row0);
    s_store(t, _mm256_extracti128_si256(a, 1));
    t += 16 - _mm_popcnt_u64(row2);
    s_store(t, _mm256_castsi256_si128(b));
    t += 16 - _mm_popcnt_u64(row1);
    s_store(t, _mm256_extracti128_si256(b, 1));
    t += 16 - _mm_popcnt_u64(row3);
}

// Encodes 16 units that all become three bytes (most CJK text) at t, and moves t past them:
// fixed shuffles and advances.
NOX_TARGET_AVX2 inline void s_encode16Three(__m256i u, const NoxTo8Constants& k, UTF8*& t)
{
    const __m256i trail = _mm256_or_si256(_mm256_and_si256(u, k.low6), k.x80);
    const __m256i lead = _mm256_or_si256(_mm256_srli_epi16(u, 12), k.xe0);
    const __m256i middle =
        _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(u, 6), k.low6), k.x80);
    const __m256i front = _mm256_or_si256(lead, _mm256_slli_epi16(middle, 8));
    const __m256i three = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                           0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    // Units 0-3 and 8-11, and 4-7 and 12-15.
    const __m256i a = _mm256_shuffle_epi8(_mm256_unpacklo_epi16(front, trail), three);
    const __m256i b = _mm256_shuffle_epi8(_mm256_unpackhi_epi16(front, trail), three);
    s_store(t, _mm256_castsi256_si128(a));
    s_store(t + 12, _mm256_castsi256_si128(b));
    s_store(t + 24, _mm256_extracti128_si256(a, 1));
    s_store(t + 36, _mm256_extracti128_si256(b, 1));
    t += 48;
}

// Encodes 16 units whose surrogates all belong to pairs (the second half of a pair may lie in
// the next 16 units, the first in `prev`, the 16 units before) at t, and moves t past them.
// `Pairs` is false when the look at the 32 units found no surrogate. Adds to `seen` a mask that
// is zero when every unit became three bytes.
template <bool Pairs>
NOX_TARGET_AVX2 inline void s_encode16(__m256i u, __m256i prev, const NoxTo8Constants& k, UTF8*& t,
                                       unsigned& seen)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i low6 = k.low6;
    const __m256i trailMark = k.x80;
    const __m256i high5 = _mm256_and_si256(u, k.f800);
    const __m256i ascii = _mm256_cmpeq_epi16(_mm256_and_si256(u, k.ff80), zero);
    const __m256i surrogate = Pairs ? _mm256_cmpeq_epi16(high5, k.d800) : zero;
    // Each half of a pair takes two of the character's four bytes.
    const __m256i upTo2 = Pairs ? _mm256_or_si256(_mm256_cmpeq_epi16(high5, zero), surrogate)
                                : _mm256_cmpeq_epi16(high5, zero);
    // Bits 0-7: ASCII among units 0-7, 8-15: at most two bytes among units 0-7, 16-23 and
    // 24-31 the same for units 8-15.
    const __m256i packedMasks = _mm256_packs_epi16(ascii, upTo2);
    const unsigned masks = s_mask32(packedMasks);
    seen |= masks;
    const __m256i trail = _mm256_or_si256(_mm256_and_si256(u, low6), trailMark);
    if (Pairs && masks == 0) {
        s_encode16Three(u, k, t);
        return;
    }
    const bool pairs = Pairs && !_mm256_testz_si256(surrogate, surrogate);
    if ((masks & 0xFF00FF00u) == 0xFF00FF00u && !pairs) {
        // Only one- and two-byte characters: each lane holds lead | trail << 8.
        const __m256i lead = _mm256_or_si256(_mm256_srli_epi16(u, 6), k.xc0);
        const __m256i lanes =
            _mm256_blendv_epi8(_mm256_or_si256(lead, _mm256_slli_epi16(trail, 8)), u, ascii);
        const uint64_t row0 = uint64_t{masks} << 4 & 0xFF0u;
        const uint64_t row1 = masks >> 12 & 0xFF0u;
        const __m256i packed = _mm256_shuffle_epi8(lanes, s_rowsAt(s_oneOrTwoTable, row0, row1));
        s_store(t, _mm256_castsi256_si128(packed));
        t += 16 - _mm_popcnt_u64(row0);
        s_store(t, _mm256_extracti128_si256(packed, 1));
        t += 16 - _mm_popcnt_u64(row1);
        return;
    }
    // One to three bytes: lead | middle << 8 | last << 16 in 32-bit lanes.
    const __m256i lead = _mm256_blendv_epi8(
        _mm256_blendv_epi8(_mm256_or_si256(_mm256_srli_epi16(u, 12), k.xe0),
                           _mm256_or_si256(_mm256_srli_epi16(u, 6), k.xc0), upTo2),
        u, ascii);
    const __m256i middle = _mm256_blendv_epi8(
        _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(u, 6), low6), trailMark), trail, upTo2);
    __m256i front = _mm256_or_si256(lead, _mm256_slli_epi16(middle, 8));
    if (pairs) {
        // With w = (high & 0x3FF) + 0x40 (the value >> 10) the four bytes are F0 | w >> 8,
        // 80 | (w >> 2 & 3F) from the high surrogate and 80 | (w & 3) << 4 | (low >> 6 & F),
        // 80 | (low & 3F) from the low one; w & 3 equals high & 3.
        const __m256i isHigh = _mm256_cmpeq_epi16(_mm256_and_si256(u, k.fc00), k.d800);
        const __m256i w = _mm256_add_epi16(_mm256_and_si256(u, k.x3ff), k.x40);
        const __m256i highBytes =
            _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi16(w, 8), k.x80f0),
                            _mm256_and_si256(_mm256_slli_epi16(w, 6), k.x3f00));
        // The unit before each, the last of `prev` before the first.
        const __m256i before = _mm256_alignr_epi8(u, _mm256_permute2x128_si256(prev, u, 0x21), 14);
        const __m256i lowBytes = _mm256_or_si256(
            _mm256_or_si256(k.x8080, _mm256_slli_epi16(_mm256_and_si256(before, k.x3), 4)),
            _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(u, 6), k.xf),
                            _mm256_slli_epi16(_mm256_and_si256(u, low6), 8)));
        front =
            _mm256_blendv_epi8(front, _mm256_blendv_epi8(lowBytes, highBytes, isHigh), surrogate);
    }
    // Keys of four units: the low nibble marks units of two bytes or more, the high nibble
    // units of three. The mask bytes are put in the order of the keys (the ASCII bytes of
    // units 0-3, their "at most two" bytes, then units 4-7; the same in the upper half), so
    // that each byte of the inverted mask is one key; the keys are kept as row offsets in the
    // table (key * 16), whose bits count the same.
    const __m256i byFour = _mm256_setr_epi8(0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15, 0,
                                            1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15);
    const uint64_t keys = ~s_mask32(_mm256_shuffle_epi8(packedMasks, byFour));
    const uint64_t row0 = keys << 4 & 0xFF0u;
    const uint64_t row1 = keys >> 4 & 0xFF0u;
    const uint64_t row2 = keys >> 12 & 0xFF0u;
    const uint64_t row3 = keys >> 20 & 0xFF0u;
    // Units 0-3 and 8-11, and 4-7 and 12-15.
    const __m256i a = _mm256_shuffle_epi8(_mm256_unpacklo_epi16(front, trail),
                                          s_rowsAt(s_oneToThreeTable, row0, row2));
    const __m256i b = _mm256_shuffle_epi8(_mm256_unpackhi_epi16(front, trail),
                                          s_rowsAt(s_oneToThreeTable, row1, row3));
    // A group of four units takes four bytes and one more for each bit of its key.
    s_store(t, _mm256_castsi256_si128(a));
    t += 4 + _mm_popcnt_u64(row0);
    s_store(t, _mm256_castsi256_si128(b));
    t += 4 + _mm_popcnt_u64(row1);
    s_store(t, _mm256_extracti128_si256(a, 1));
    t += 4 + _mm_popcnt_u64(row2);
    s_store(t, _mm256_extracti128_si256(b, 1));
    t += 4 + _mm_popcnt_u64(row3);
}

// Narrows 64 units straight to the target when they are all ASCII.
NOX_TARGET_AVX2 inline bool s_narrowAscii64(const UTF16* s, UTF8* t)
{
    const __m256i a = s_load256(s);
    const __m256i b = s_load256(s + 16);
    const __m256i c = s_load256(s + 32);
    const __m256i d = s_load256(s + 48);
    const __m256i any = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
    if (!_mm256_testz_si256(any, _mm256_set1_epi16(static_cast<short>(0xFF80)))) {
        return false;
    }
    s_narrow32(a, b, t);
    s_narrow32(c, d, t + 32);
    return true;
}

// Encodes the 32 units at s of the kind that the look found at out; returns the bytes written,
// with both halves of a pair cut at the end. The two bytes of that pair's first half come last;
// the next step writes them again with the rest of the character. `seen` ends zero when every
// unit became three bytes through the keys.
template <NoxLook Look>
NOX_TARGET_AVX2 inline __attribute__((always_inline)) std::ptrdiff_t
s_encode32(const UTF16* s, NoxUnits32 kind, const NoxTo8Constants& k, UTF8* out, unsigned& seen)
{
    UTF8* const start = out;
    const __m256i u0 = s_load256(s);
    if (Look == NoxLook::Three) {
        s_encode16Three(u0, k, out);
        s_encode16Three(s_load256(s + 16), k, out);
    } else if (kind == NoxUnits32::OneOrTwo) {
        s_encode32OneOrTwo(u0, s_load256(s + 16), k, out);
        seen = 1;
    } else if (kind == NoxUnits32::Whole) {
        s_encode16<false>(u0, _mm256_setzero_si256(), k, out, seen);
        s_encode16<false>(s_load256(s + 16), u0, k, out, seen);
    } else {
        s_encode16<true>(u0, _mm256_setzero_si256(), k, out, seen);
        s_encode16<true>(s_load256(s + 16), u0, k, out, seen);
    }
    return out - start;
}

// Most bytes that 32 units become, and the stage that takes a step's stores.
constexpr std::ptrdiff_t kUtf8Of32 = 96;
constexpr int kStage8Size = 128;

// The steps of a group: the fixed encoding of three bytes takes over after a group whose units
// all became three bytes (see the top of the file).
constexpr int kThreeGroup = 8;

// Where the blocks of a text may go: the last position where 32 units start, and the end of
// the target.
struct NoxTo8Ends {
    const UTF16* lastBlock;
    UTF8* targetEnd;
};

NOX_TARGET_AVX2 inline __attribute__((always_inline)) bool
s_ready(const UTF16* at, const UTF8* t, std::ptrdiff_t room, const NoxTo8Ends& ends)
{
    return at <= ends.lastBlock && ends.targetEnd - t >= room;
}

// Takes one step of the kind found at s (32 units, 31 when the last is the first half of a
// pair), and returns what the look at the next step finds (Stop when none can be taken). The
// next step runs for certain when its units pass and it has source and room (at most 96 bytes
// come before it); then this one writes to the target directly, otherwise through the stage.
// The two copies of the encoding keep the stores' addresses from waiting on the look at the
// next units.
template <NoxLook Look>
NOX_TARGET_AVX2 inline __attribute__((always_inline)) NoxUnits32
s_step8(const UTF16*& s, UTF8*& t, NoxUnits32 kind, const NoxTo8Ends& ends,
        const NoxTo8Constants& k, UTF8* stage, unsigned& seen)
{
    const int cut = kind == NoxUnits32::CutPair ? 1 : 0;
    const UTF16* const next = s + 32 - cut;
    const bool more = s_ready(next, t, 2 * kUtf8Of32, ends);
    const NoxUnits32 nextKind = more ? s_lookAt32<Look>(next, k) : NoxUnits32::Stop;
    if (nextKind != NoxUnits32::Stop) {
        t += s_encode32<Look>(s, kind, k, t, seen) - 2 * cut;
    } else {
        const std::ptrdiff_t written = s_encode32<Look>(s, kind, k, stage, seen) - 2 * cut;
        s_copyStaged(t, stage, written);
        t += written;
    }
    s = next;
    if (more) {
        return nextKind;
    }
    return s_ready(s, t, kUtf8Of32, ends) ? s_lookAt32<Look>(s, k) : NoxUnits32::Stop;
}

// Where a run of three-byte steps ended, and what the look there found.
struct NoxThreeSteps {
    const UTF16* s;
    UTF8* t;
    NoxUnits32 kind;
};

// A run of steps whose units all become three bytes, from s (the look there found Whole):
// takes them with the fixed encoding while they last. Out of line, so that the loop of the
// other steps keeps its registers.

NOX_TARGET_AVX2 __attribute__((noinline)) NoxThreeSteps s_threeSteps8(const UTF16* s, UTF8* t,
                                                                      NoxTo8Ends ends, UTF8* stage)
{
    const NoxTo8Constants k = s_to8Constants();
    NoxUnits32 kind = s_lookAt32<NoxLook::Three>(s, k);
    unsigned seen = 0;
    while (kind == NoxUnits32::WholeThree) {
        kind = s_step8<NoxLook::Three>(s, t, kind, ends, k, stage, seen);
    }
    return {s, t, kind};
}

// The blocks of a text long enough for them, then what the SSE4.2 steps take; kept out of line
// so that a short text meets no more than a size test before the scalar steps.
NOX_TARGET_AVX2 __attribute__((noinline)) void s_blocksUtf16ToUtf8Avx2(const UTF16*& source,
                                                                       const UTF16* sourceEnd,
                                                                       UTF8*& target,
                                                                       UTF8* targetEnd)
{
    const UTF16* s = source;
    UTF8* t = target;
    if (sourceEnd - s >= 32 && targetEnd - t >= kUtf8Of32) {
        UTF8 stage[kStage8Size];
        const NoxTo8Constants k = s_to8Constants();
        // The text holds at least 32 units here.
        const NoxTo8Ends ends{sourceEnd - 32, targetEnd};
        NoxUnits32 kind =
            s_ready(s, t, kUtf8Of32, ends) ? s_lookAt32<NoxLook::Whole>(s, k) : NoxUnits32::Stop;
        // What the steps of the current group held (zero while every unit became three bytes),
        // and the steps left in the group.
        unsigned seen = 0;
        int groupLeft = kThreeGroup;
        while (kind != NoxUnits32::Stop) {
            if (kind == NoxUnits32::Ascii) {
                // Exact stores: nothing to cover afterwards. A run that goes on past two steps
                // of 64 steps back to the last 32-byte boundary of the source and goes on from
                // there (the bytes in between are written again, the same): taken unaligned,
                // every other load of 32 bytes straddles two cache lines, which costs a long run
                // more than the part taken twice.
                s_narrow32(s_load256(s), s_load256(s + 16), t);
                s += 32;
                t += 32;
                int unaligned = 2;
                while (sourceEnd - s >= 64 && targetEnd - t >= 64 && s_narrowAscii64(s, t)) {
                    s += 64;
                    t += 64;
                    if (--unaligned == 0) {
                        const auto back = static_cast<std::ptrdiff_t>(nox::unitsPastBoundary(s));
                        s -= back;
                        t -= back;
                    }
                }
                kind = s_ready(s, t, kUtf8Of32, ends) ? s_lookAt32<NoxLook::Whole>(s, k)
                                                      : NoxUnits32::Stop;
                seen = 1;
                continue;
            }
            const bool whole = kind == NoxUnits32::Whole;
            kind = s_step8<NoxLook::Whole>(s, t, kind, ends, k, stage, seen);
            // The steps without surrogates are counted in groups, so that the only branch on
            // what they held is taken once a group.
            if (whole && --groupLeft == 0) {
                if (seen == 0 && kind == NoxUnits32::Whole) {
                    const NoxThreeSteps run = s_threeSteps8(s, t, ends, stage);
                    s = run.s;
                    t = run.t;
                    kind = run.kind;
                }
                seen = 0;
                groupLeft = kThreeGroup;
            }
        }
        source = s;
        target = t;
    }
    s_bulkStaged<Utf16ToUtf8Block>(source, sourceEnd, target, targetEnd);
}

NOX_TARGET_AVX2 void s_bulkUtf16ToUtf8Avx2(const UTF16*& source, const UTF16* sourceEnd,
                                           UTF8*& target, UTF8* targetEnd)
{
    if (sourceEnd - source >= 32 && targetEnd - target >= kUtf8Of32) {
        s_blocksUtf16ToUtf8Avx2(source, sourceEnd, target, targetEnd);
    } else if (sourceEnd - source >= Utf16ToUtf8Block::minSource) {
        s_blocksUtf16ToUtf8Sse42(source, sourceEnd, target, targetEnd);
    }
    s_bulkUtf16ToUtf8<NoxSse2Ascii>(source, sourceEnd, target, targetEnd);
}

#endif

} // namespace

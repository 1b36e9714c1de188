// utf_avx512_to8.inl - UTF-16 to UTF-8 for AVX-512 (F, BW, VL, DQ, VBMI, VBMI2). Included by
// ConvertUTF.cpp after utf_avx2_to8.inl, whose kernel takes what the blocks here leave.
//
// A step takes the 32 units of one register (31 when the last is the first half of a pair,
// which the next step takes whole). Masks of the units (beyond ASCII, from U+0800, surrogates)
// choose the encoding:
// - all ASCII: the units are narrowed, and then 64 a round while that lasts;
// - all below U+0800: each 16-bit lane becomes lead | trail << 8 (the ASCII ones stay
//   themselves), and one byte compression keeps the low byte of every lane and the high byte of
//   the units beyond ASCII;
// - all from U+0800 and no surrogate (most CJK text): each lane becomes lead | middle << 8, a
//   second register holds the last byte, and two fixed byte permutations of the pair lay out
//   the 96 bytes;
// - otherwise the same two registers, each unit's bytes lead first (one to three), go into
//   32-bit lanes, 16 units a register, by byte permutations, and a compression of each register
//   keeps the first byte of every lane, the second of the units beyond ASCII and the third of
//   those from U+0800. A pair becomes two bytes in the lane of each half: F0 | w >> 8 and
//   80 | (w >> 2 & 3F) from the high one, with w = (high & 3FF) + 40 (the value >> 10), and
//   80 | (w & 3) << 4 | (low >> 6 & F) and 80 | (low & 3F) from the low one (w & 3 equals
//   high & 3).
// Before a step with surrogates, the mask of high surrogates shifted by one must equal that of
// the low ones: every high one followed by a low one and every low one preceded by a high one,
// a high one last excepted (the cut pair). Anything else ends the blocks there.
//
// The lead and middle bytes come from one multishift (each byte takes eight bits at any offset
// of its 64-bit lane) and one ternary logic operation that masks the fields and sets the marks.
// The bytes a compression keeps, and so their count that moves the target, are deposited (pdep)
// from the masks of the units, which are ready long before the bytes: the next step's stores
// wait on no more than that. For the same reason the advance past a cut pair comes from the
// unit read as a number, not from the mask. Compressions run in registers (the form that stores
// to memory is slow on some processors), and each register goes out by one masked store of
// exactly its bytes. A step runs only when its source is there and its bytes fit in the room,
// so nothing is read at or past sourceEnd, nothing is written past the returned target, and
// the blocks stop a step early where the room ends. What they leave (fewer than 32 units, a
// step that does not fit, an unpaired surrogate) goes to the AVX2 kernel, which takes it down
// to the SSE4.2 steps, the scalar ones and the exact step. Texts of kShortUtf16Text (12) to 64
// units, and the last units of longer ones, take masked steps of up to 32 units first (the lanes
// past the text read as 0), without a call; shorter texts go there at once.

namespace {

#if defined(NOX_X86)

// GCC's AVX-512 intrinsics that start from an undefined vector (narrowing, multishift) make it
// report that vector.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Multishift controls for four 16-bit lanes: each lane's low byte takes the eight bits of the
// unit from bit `first` up, its high byte those from `second` up.
constexpr uint64_t s_to8Fields(unsigned first, unsigned second)
{
    uint64_t retval = 0;
    for (unsigned lane = 0; lane < 4; ++lane) {
        retval |= uint64_t{16 * lane + first} << (16 * lane);
        retval |= uint64_t{16 * lane + second} << (16 * lane + 8);
    }
    return retval;
}

// Byte permutations, indices into 128 bytes: the first register's (lead | middle << 8 a unit)
// then the second's (last byte a unit, then a byte never kept).
struct NoxTo8Avx512Permutes {
    alignas(64) unsigned char even[64];    // every other byte of two registers: 64 ASCII units
    alignas(64) unsigned char lanes0[64];  // units 0-15: lead, middle, last, unused a 32-bit lane
    alignas(64) unsigned char lanes1[64];  // units 16-31 the same
    alignas(64) unsigned char three0[64];  // bytes 0-63 of 32 units of three bytes
    alignas(64) unsigned char three1[64];  // bytes 64-95, then anything
    alignas(64) unsigned short before[32]; // each 16-bit lane takes the lane before it
};

constexpr NoxTo8Avx512Permutes s_to8MakePermutes()
{
    NoxTo8Avx512Permutes p{};
    for (int i = 0; i < 64; ++i) {
        p.even[i] = static_cast<unsigned char>(2 * i % 128);
    }
    for (int unit = 0; unit < 16; ++unit) {
        for (int half = 0; half < 2; ++half) {
            unsigned char* lanes = half == 0 ? p.lanes0 : p.lanes1;
            const int at = 2 * (16 * half + unit);
            lanes[4 * unit] = static_cast<unsigned char>(at);
            lanes[4 * unit + 1] = static_cast<unsigned char>(at + 1);
            lanes[4 * unit + 2] = static_cast<unsigned char>(64 + at);
            lanes[4 * unit + 3] = static_cast<unsigned char>(64 + at + 1);
        }
    }
    for (int byte = 0; byte < 128; ++byte) {
        const int unit = byte / 3;
        const int k = byte % 3;
        const auto index = static_cast<unsigned char>(unit >= 32 ? 0
                                                      : k < 2    ? 2 * unit + k
                                                                 : 64 + 2 * unit);
        (byte < 64 ? p.three0[byte] : p.three1[byte - 64]) = index;
    }
    for (int lane = 0; lane < 32; ++lane) {
        p.before[lane] = static_cast<unsigned short>(lane == 0 ? 0 : lane - 1);
    }
    return p;
}

constexpr NoxTo8Avx512Permutes s_to8Permutes = s_to8MakePermutes();

// The constants of the steps, built once a call.
struct NoxTo8Avx512Constants {
    __m512i ff80, f800, d800, fc00, d7c0, x3f, x80, x3f1f, x80c0, x3f0f, x80e0, x3f07, x80f0, x0030,
        x8080, fieldsTwo, fieldsThree, fieldsFour, even, lanes0, lanes1, three0, three1, before;
};

NOX_TARGET_AVX512 inline __m512i s_to8Load(const void* p)
{
    return _mm512_loadu_si512(p);
}

// Constants are kept in the blocks (Kept true; s_kept512, utf_avx512_to16.inl): otherwise the
// compiler builds them again inside the loop, from an immediate or a load, wherever they are
// used. A short text builds only those it uses.
template <bool Kept> NOX_TARGET_AVX512 inline NoxTo8Avx512Constants s_to8Avx512Constants()
{
    const NoxTo8Avx512Permutes& p = s_to8Permutes;
    constexpr auto w = s_constant512<Kept, true>;
    return {w(0xFF80),
            w(0xF800),
            w(0xD800),
            w(0xFC00),
            w(0xD7C0),
            w(0x3F),
            w(0x80),
            w(0x3F1F),
            w(0x80C0),
            w(0x3F0F),
            w(0x80E0),
            w(0x3F07),
            w(0x80F0),
            w(0x0030),
            w(0x8080),
            s_keptIf<Kept>(_mm512_set1_epi64(static_cast<long long>(s_to8Fields(6, 0)))),
            s_keptIf<Kept>(_mm512_set1_epi64(static_cast<long long>(s_to8Fields(12, 6)))),
            s_keptIf<Kept>(_mm512_set1_epi64(static_cast<long long>(s_to8Fields(8, 2)))),
            s_keptIf<Kept>(s_to8Load(p.even)),
            s_keptIf<Kept>(s_to8Load(p.lanes0)),
            s_keptIf<Kept>(s_to8Load(p.lanes1)),
            s_keptIf<Kept>(s_to8Load(p.three0)),
            s_keptIf<Kept>(s_to8Load(p.three1)),
            s_keptIf<Kept>(s_to8Load(p.before))};
}

// (a & b) | c, bit by bit.
NOX_TARGET_AVX512 inline __m512i s_to8AndOr(__m512i a, __m512i b, __m512i c)
{
    return _mm512_ternarylogic_epi32(a, b, c, 0xEA);
}

// The first n bytes (n at most 64).
NOX_TARGET_AVX512 inline __mmask64 s_to8First(std::ptrdiff_t n)
{
    return _bzhi_u64(~uint64_t{0}, static_cast<unsigned>(n));
}

// Units below U+0800 as lead | trail << 8, the ASCII ones (`ascii`) as themselves.
NOX_TARGET_AVX512 inline __m512i s_to8OneOrTwo(__m512i u, __mmask32 ascii,
                                               const NoxTo8Avx512Constants& k)
{
    const __m512i two = s_to8AndOr(_mm512_multishift_epi64_epi8(k.fieldsTwo, u), k.x3f1f, k.x80c0);
    return _mm512_mask_mov_epi16(two, ascii, u);
}

// Units from U+0800 as lead | middle << 8 of their three bytes.
NOX_TARGET_AVX512 inline __m512i s_to8LeadMiddle(__m512i u, const NoxTo8Avx512Constants& k)
{
    return s_to8AndOr(_mm512_multishift_epi64_epi8(k.fieldsThree, u), k.x3f0f, k.x80e0);
}

// The last byte of units of three bytes.
NOX_TARGET_AVX512 inline __m512i s_to8Last(__m512i u, const NoxTo8Avx512Constants& k)
{
    return s_to8AndOr(u, k.x3f, k.x80);
}

// The first, second and third byte of every 32-bit lane, and the first of every 16-bit lane.
constexpr uint64_t kTo8Firsts32 = 0x1111111111111111u;
constexpr uint64_t kTo8Seconds32 = 0x2222222222222222u;
constexpr uint64_t kTo8Thirds32 = 0x4444444444444444u;
constexpr uint64_t kTo8Firsts16 = 0x5555555555555555u;

// The bytes of the pairs among the units u, whose high and low halves are `high` and `low`,
// into the lanes of `front`: two bytes in the lane of each half.
NOX_TARGET_AVX512 inline __m512i s_to8Pairs(__m512i u, __mmask32 high, __mmask32 low, __m512i front,
                                            const NoxTo8Avx512Constants& k)
{
    const __m512i w = _mm512_sub_epi16(u, k.d7c0);
    const __m512i highBytes =
        s_to8AndOr(_mm512_multishift_epi64_epi8(k.fieldsFour, w), k.x3f07, k.x80f0);
    // 80 | (high & 3) << 4 and 80, then the low unit's fields.
    const __m512i fromHigh =
        s_to8AndOr(_mm512_slli_epi16(_mm512_permutexvar_epi16(k.before, u), 4), k.x0030, k.x8080);
    const __m512i lowBytes =
        s_to8AndOr(_mm512_multishift_epi64_epi8(k.fieldsTwo, u), k.x3f0f, fromHigh);
    front = _mm512_mask_mov_epi16(front, high, highBytes);
    return _mm512_mask_mov_epi16(front, low, lowBytes);
}

// The blocks: steps of 32 units while the text holds 32 more and their bytes fit in the room.
// Kept out of line, so that short texts meet only a size test on their way to the AVX2 kernel.
// `Far` for a text of more than nox::farTextUnits() units: there the steps whose units all
// become three bytes take the general encoding too. The choice is a branch that CJK text with
// ASCII and punctuation mispredicts, and one mispredicted is found only when the step's units
// have come, which beyond the caches is long after (Chinese 8 MB 1.4x faster without it; in the
// caches the fixed encoding is a fifth faster).
template <bool Far>
NOX_TARGET_AVX512 __attribute__((noinline)) void
s_blocksUtf16ToUtf8Avx512(const UTF16*& source, const UTF16* sourceEnd, UTF8*& target,
                          UTF8* targetEnd)
{
    const NoxTo8Avx512Constants k = s_to8Avx512Constants<true>();
    const UTF16* s = source;
    UTF8* t = target;
    while (sourceEnd - s >= 32) {
        const std::ptrdiff_t room = targetEnd - t;
        const __m512i u = s_to8Load(s);
        const __mmask32 beyondAscii = _mm512_test_epi16_mask(u, k.ff80);
        if (beyondAscii == 0) {
            if (room < 32) {
                break;
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(t), _mm512_cvtepi16_epi8(u));
            s += 32;
            t += 32;
            while (sourceEnd - s >= 64 && targetEnd - t >= 64) {
                const __m512i a = s_to8Load(s);
                const __m512i b = s_to8Load(s + 32);
                if (_mm512_test_epi16_mask(_mm512_or_si512(a, b), k.ff80) != 0) {
                    break;
                }
                _mm512_storeu_si512(t, _mm512_permutex2var_epi8(a, k.even, b));
                s += 64;
                t += 64;
            }
            continue;
        }
        const __mmask32 ascii = ~beyondAscii;
        const __mmask32 three = _mm512_test_epi16_mask(u, k.f800);
        if (three == 0) {
            // One or two bytes a unit.
            const std::ptrdiff_t n = 32 + _mm_popcnt_u32(beyondAscii);
            if (n > room) {
                break;
            }
            const __mmask64 keep = _pdep_u64(beyondAscii, ~kTo8Firsts16) | kTo8Firsts16;
            const __m512i lanes = s_to8OneOrTwo(u, ascii, k);
            _mm512_mask_storeu_epi8(t, s_to8First(n), _mm512_maskz_compress_epi8(keep, lanes));
            t += n;
            s += 32;
            continue;
        }
        const __mmask32 surrogates = _mm512_cmpeq_epi16_mask(_mm512_and_si512(u, k.f800), k.d800);
        const __m512i leadMiddle = s_to8LeadMiddle(u, k);
        const __m512i last = s_to8Last(u, k);
        if (!Far && surrogates == 0 && three == 0xFFFFFFFFu) {
            // Three bytes a unit.
            if (room < 96) {
                break;
            }
            _mm512_storeu_si512(t, _mm512_permutex2var_epi8(leadMiddle, k.three0, last));
            _mm256_storeu_si256(
                reinterpret_cast<__m256i*>(t + 64),
                _mm512_castsi512_si256(_mm512_permutex2var_epi8(leadMiddle, k.three1, last)));
            s += 32;
            t += 96;
            continue;
        }
        // One to three bytes a unit, two for each half of a pair.
        __m512i front = _mm512_mask_mov_epi16(leadMiddle, ~three, s_to8OneOrTwo(u, ascii, k));
        // Each unit's bytes: the first always, the second from U+0080 (pairs too), the third
        // from U+0800 but for pairs; told by the masks, which are ready long before the bytes.
        const __mmask32 threeOnly = three & ~surrogates;
        uint64_t keep0 = kTo8Firsts32 | _pdep_u64(beyondAscii, kTo8Seconds32) |
                         _pdep_u64(threeOnly, kTo8Thirds32);
        uint64_t keep1 = kTo8Firsts32 | _pdep_u64(beyondAscii >> 16, kTo8Seconds32) |
                         _pdep_u64(threeOnly >> 16, kTo8Thirds32);
        uint64_t cut = 0;
        if (surrogates != 0) {
            const __mmask32 high = _mm512_cmpeq_epi16_mask(_mm512_and_si512(u, k.fc00), k.d800);
            const __mmask32 low = surrogates & ~high;
            if (static_cast<__mmask32>(high << 1) != low) {
                break;
            }
            // Read again as a number: the next step's loads wait on the advance, which this
            // way does not wait on the vector load and comparison.
            cut = (s[31] & 0xFC00u) == 0xD800u ? 1 : 0;
            // The first half of a cut pair last: the next step takes it.
            keep1 &= ~uint64_t{0} >> (4 * cut);
            front = s_to8Pairs(u, high, low, front, k);
        }
        const std::ptrdiff_t n0 = _mm_popcnt_u64(keep0);
        const std::ptrdiff_t n1 = _mm_popcnt_u64(keep1);
        if (n0 + n1 > room) {
            break;
        }
        const __m512i lanes0 = _mm512_permutex2var_epi8(front, k.lanes0, last);
        const __m512i lanes1 = _mm512_permutex2var_epi8(front, k.lanes1, last);
        _mm512_mask_storeu_epi8(t, s_to8First(n0), _mm512_maskz_compress_epi8(keep0, lanes0));
        _mm512_mask_storeu_epi8(t + n0, s_to8First(n1), _mm512_maskz_compress_epi8(keep1, lanes1));
        t += n0 + n1;
        s += 32 - cut;
    }
    source = s;
    target = t;
}

// The next 12 to 32 units of a text too short for the blocks (or the last ones of a longer
// text): one masked load of exactly those units, whose lanes past them read as 0, encoded as a
// step is and written by masked stores of exactly their bytes, when they fit. A high surrogate
// last, or any unpaired one, leaves them to the AVX2 and exact steps.
NOX_TARGET_AVX512 inline void s_shortUtf16ToUtf8Avx512(const UTF16*& source, const UTF16* sourceEnd,
                                                       UTF8*& target, UTF8* targetEnd)
{
    const NoxTo8Avx512Constants k = s_to8Avx512Constants<false>();
    const auto m = static_cast<unsigned>(sourceEnd - source < 32 ? sourceEnd - source : 32);
    const std::ptrdiff_t room = targetEnd - target;
    const __m512i u = _mm512_maskz_loadu_epi16(_bzhi_u32(~0u, m), source);
    const __mmask32 beyondAscii = _mm512_test_epi16_mask(u, k.ff80);
    const __mmask32 ascii = ~beyondAscii;
    const __mmask32 three = _mm512_test_epi16_mask(u, k.f800);
    if (three == 0) {
        // One or two bytes a unit: the first byte of each of the m units, the second of those
        // beyond ASCII.
        const std::ptrdiff_t n = m + _mm_popcnt_u32(beyondAscii);
        if (n > room) {
            return;
        }
        const __mmask64 keep =
            _pdep_u64(beyondAscii, ~kTo8Firsts16) | (kTo8Firsts16 & _bzhi_u64(~uint64_t{0}, 2 * m));
        _mm512_mask_storeu_epi8(target, s_to8First(n),
                                _mm512_maskz_compress_epi8(keep, s_to8OneOrTwo(u, ascii, k)));
        source += m;
        target += n;
        return;
    }
    const __mmask32 surrogates = _mm512_cmpeq_epi16_mask(_mm512_and_si512(u, k.f800), k.d800);
    __m512i front =
        _mm512_mask_mov_epi16(s_to8LeadMiddle(u, k), ~three, s_to8OneOrTwo(u, ascii, k));
    if (surrogates != 0) {
        const __mmask32 high = _mm512_cmpeq_epi16_mask(_mm512_and_si512(u, k.fc00), k.d800);
        const __mmask32 low = surrogates & ~high;
        // The lane after the last unit reads as 0 (a high surrogate last differs here too), or
        // there is none.
        if (static_cast<__mmask32>(high << 1) != low || ((high >> (m - 1)) & 1) != 0) {
            return;
        }
        front = s_to8Pairs(u, high, low, front, k);
    }
    const __mmask32 threeOnly = three & ~surrogates;
    const uint64_t keep0 = (kTo8Firsts32 | _pdep_u64(beyondAscii, kTo8Seconds32) |
                            _pdep_u64(threeOnly, kTo8Thirds32)) &
                           _bzhi_u64(~uint64_t{0}, 4 * m);
    const uint64_t keep1 = (kTo8Firsts32 | _pdep_u64(beyondAscii >> 16, kTo8Seconds32) |
                            _pdep_u64(threeOnly >> 16, kTo8Thirds32)) &
                           _bzhi_u64(~uint64_t{0}, m > 16 ? 4 * (m - 16) : 0);
    const std::ptrdiff_t n0 = _mm_popcnt_u64(keep0);
    const std::ptrdiff_t n1 = _mm_popcnt_u64(keep1);
    if (n0 + n1 > room) {
        return;
    }
    const __m512i last = s_to8Last(u, k);
    _mm512_mask_storeu_epi8(
        target, s_to8First(n0),
        _mm512_maskz_compress_epi8(keep0, _mm512_permutex2var_epi8(front, k.lanes0, last)));
    _mm512_mask_storeu_epi8(
        target + n0, s_to8First(n1),
        _mm512_maskz_compress_epi8(keep1, _mm512_permutex2var_epi8(front, k.lanes1, last)));
    source += m;
    target += n0 + n1;
}

// The masked steps of what is left of a text when 64 units or fewer are, down to the last
// kShortUtf16Text (ConvertUTF.cpp).
NOX_TARGET_AVX512 inline void s_shortStepsUtf16ToUtf8Avx512(const UTF16*& source,
                                                            const UTF16* sourceEnd, UTF8*& target,
                                                            UTF8* targetEnd)
{
    const UTF16* before = nullptr;
    while (sourceEnd - source >= kShortUtf16Text && source != before) {
        before = source;
        s_shortUtf16ToUtf8Avx512(source, sourceEnd, target, targetEnd);
    }
}

// What the blocks and the masked steps take of a text of more than 64 units; out of line, so
// that a shorter text meets only size tests on its way to the masked steps or the AVX2 kernel
// (the call comes after every character that the exact step takes).
NOX_TARGET_AVX512 __attribute__((noinline)) void s_stepsUtf16ToUtf8Avx512(const UTF16*& source,
                                                                          const UTF16* sourceEnd,
                                                                          UTF8*& target,
                                                                          UTF8* targetEnd)
{
    if (targetEnd - target >= 64) {
        if (sourceEnd - source > nox::farTextUnits()) {
            s_blocksUtf16ToUtf8Avx512<true>(source, sourceEnd, target, targetEnd);
        } else {
            s_blocksUtf16ToUtf8Avx512<false>(source, sourceEnd, target, targetEnd);
        }
    }
    s_shortStepsUtf16ToUtf8Avx512(source, sourceEnd, target, targetEnd);
}

NOX_TARGET_AVX512 void s_bulkUtf16ToUtf8Avx512(const UTF16*& source, const UTF16* sourceEnd,
                                               UTF8*& target, UTF8* targetEnd)
{
    // Fewer than kShortUtf16Text units cost the scalar steps less than the setting up of a
    // masked step.
    const std::ptrdiff_t n = sourceEnd - source;
    if (n > 64) {
        s_stepsUtf16ToUtf8Avx512(source, sourceEnd, target, targetEnd);
    } else {
        s_shortStepsUtf16ToUtf8Avx512(source, sourceEnd, target, targetEnd);
    }
    if (source != sourceEnd) {
        s_bulkUtf16ToUtf8Avx2(source, sourceEnd, target, targetEnd);
    }
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

} // namespace

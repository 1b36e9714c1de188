// utf_avx512_to16.inl - UTF-8 to UTF-16 for AVX-512 (F, BW, VL, DQ, VBMI, VBMI2). Included by
// ConvertUTF.cpp after the AVX2 files, whose steps take what is left.
//
// A step looks at 64 bytes. Their classes become 64-bit masks (leads, leads of three and of four
// bytes, trail bytes) and are checked as integer arithmetic, as in utf_avx2_to16.inl: the trail
// bytes that the leads announce must be the trail bytes found, and no byte may be one that never
// starts a character, or a lead whose next byte makes an overlong form, a surrogate form (which
// the modes judge) or a value above 0x10FFFF. The step ends on the character boundary before the
// first position where something differs, or before the character that the end of the 64 bytes
// cuts, so it takes 61 to 64 bytes of regular text; what is irregular goes to the exact step.
// Where the step ends is read off its last three bytes by scalar loads (a difference is rare and
// taken on a branch), so that the next step's loads wait for those alone and the steps overlap:
// by branches in a text that fits in the caches, without them in a longer one, where a
// mispredicted branch would wait for far data.
//
// Without four-byte characters, the positions of the characters' first bytes are compressed to
// the front of a register (one byte each); two permutations of those positions gather each
// character's first and second byte, and its third, into its 16-bit lane, 32 characters a round,
// and a multiply-add of bytes assembles the units. The overlong and surrogate forms of three
// bytes are not looked for before: they show in the units, and the step is then looked at again
// with the check. A step with four-byte characters decodes every position of each half of 32 as
// if a character started there (the lead as the high surrogate, the byte after it as the low one)
// and compresses the units of the starts.
//
// Stores: a masked store costs more than a whole one here, even with every lane set. The last
// register of units of a step is kept back until the next step has been decoded; it is then
// stored whole when the next step's units cover the lanes past its own units, else exactly, and
// the last one of all exactly, so nothing past the returned position changes. Runs of ASCII are
// widened 64 bytes a step, from a 64-byte boundary of the source on. A text of 16 to 64 bytes,
// and the tail of a longer one, is one masked load, every position decoded as if a character
// started there, and the units of the starts compressed and stored exactly, with no branch on
// what the text holds but one on its length (see s_shortUtf8ToUtf16Avx512); a text under 16
// bytes goes to the AVX2 steps after size tests.

namespace {

#if defined(NOX_X86)

// GCC's AVX-512 permutation and conversion intrinsics start from an undefined vector, which it
// then reports.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

// Bytes a step reads (64, the next byte for the checks and the two after a position for the
// decoding), and units it writes at most.
constexpr std::ptrdiff_t kBytesRead64 = 66;
constexpr std::ptrdiff_t kUnitsOf64 = 64;

NOX_TARGET_AVX512 inline __m512i s_widenAt(const UTF8* p)
{
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

// Widens 64 ASCII bytes.
NOX_TARGET_AVX512 inline void s_widen64(const UTF8* s, UTF16* t)
{
    _mm512_storeu_si512(t, s_widenAt(s));
    _mm512_storeu_si512(t + 32, s_widenAt(s + 32));
}

// Keeps a constant in a register or a stack slot: otherwise the compiler builds it again from an
// immediate (three instructions) or a load wherever it is used inside the loops (47 times in the
// blocks of this file). The UTF-16 to UTF-8 kernel keeps its constants the same way.
NOX_TARGET_AVX512 inline __m512i s_kept512(__m512i v)
{
    __asm__("" : "+v"(v));
    return v;
}

// The constants of the steps: bytes (epi8) and 16-bit lanes (epi16).
struct NoxTo16Constants512 {
    __m512i c0, e0, f0, c2, f5, a0, x90, ed, f4, one; // bytes
    __m512i weights, xff, x3f1f, x3f3f, f800, d800;   // decoding from the starts
    __m512i low6, x7c0, x07, d7c0, x0f, dc00;         // decoding every position
};

// A byte (Wide false) or 16-bit constant in every lane, kept (see s_kept512) when Kept is true.
template <bool Kept> NOX_TARGET_AVX512 inline __m512i s_keptIf(__m512i v)
{
    return Kept ? s_kept512(v) : v;
}

template <bool Kept, bool Wide> NOX_TARGET_AVX512 inline __m512i s_constant512(int value)
{
    return s_keptIf<Kept>(Wide ? _mm512_set1_epi16(static_cast<short>(value))
                               : _mm512_set1_epi8(static_cast<char>(value)));
}

// Built once a call of the blocks and kept; a short text builds only those it uses (Kept false).
template <bool Kept> NOX_TARGET_AVX512 inline NoxTo16Constants512 s_to16Constants512()
{
    constexpr auto b = s_constant512<Kept, false>;
    constexpr auto w = s_constant512<Kept, true>;
    // Those of the judging look and of four-byte characters, rare, are built where used: kept
    // too, they left too few registers for the steps of two-byte text.
    constexpr auto rareB = s_constant512<false, false>;
    constexpr auto rareW = s_constant512<false, true>;
    return {b(0xC0),     b(0xE0),       b(0xF0),     b(0xC2),      b(0xF5),     rareB(0xA0),
            rareB(0x90), rareB(0xED),   rareB(0xF4), b(1),         w(0x0140),   w(0xFF),
            w(0x3F1F),   w(0x3F3F),     w(0xF800),   w(0xD800),    rareW(0x3F), rareW(0x7C0),
            rareW(0x07), rareW(0xD7C0), rareW(0x0F), rareW(0xDC00)};
}

// What a look at 64 bytes found: the bytes a step takes (0: none), the positions whose units it
// keeps, and the leads of each length among the characters it takes.
struct NoxBytes64 {
    unsigned take;
    uint64_t keep;
    uint64_t two;
    uint64_t three;
    uint64_t four;
    uint64_t afterFour;
};

// The bytes of the last character of the 64 at s when it reaches past them: those of a lead at
// position 63, of a lead of three or four bytes at 62, of a lead of four at 61 (when they are
// anything else, the look finds a difference). In a text that fits in the caches the branches
// let the next step start before these bytes are read, at the cost of a short wait where they
// mispredict. `Far` for a text beyond the caches: there a mispredicted cut is found only when
// the step's last bytes have come, long after, and a cut without branches is faster (Chinese,
// Korean, Greek and mixed text at 8 MB a fifth; in the caches Cyrillic 10% slower).
template <bool Far> inline unsigned s_cutAtEnd(const UTF8* s)
{
    if (Far) {
        const unsigned leads =
            (s[63] >= 0xC0 ? 1u : 0u) | (s[62] >= 0xE0 ? 2u : 0u) | (s[61] >= 0xF0 ? 4u : 0u);
        return (static_cast<unsigned>(__builtin_ctz(leads | 8u)) + 1) & 3;
    }
    return s[63] >= 0xC0 ? 1 : s[62] >= 0xE0 ? 2 : s[61] >= 0xF0 ? 3 : 0;
}

// Where a step ends when it finds a difference (`wrong`, not 0): before the first one when a
// character starts there (a byte that never starts one, a lead that no trail byte announces),
// else before the character that holds it.
inline unsigned s_takeBefore(uint64_t wrong, uint64_t starts, uint64_t expected)
{
    const auto at = static_cast<unsigned>(__builtin_ctzll(wrong));
    if (((starts & ~expected) >> at) & 1) {
        return at;
    }
    const uint64_t before = starts & ((uint64_t{1} << at) - 1);
    return before == 0 ? 0 : 63 - static_cast<unsigned>(__builtin_clzll(before));
}

// Looks at the bytes b of a step, whose bytes from 0x80 are `high`; `regular` is where the step
// ends when nothing differs, and next() gives the bytes after b's. Without `judge` the leads of
// three bytes are not checked against their next byte (the decoding of characters without four
// bytes finds those forms in their values; see s_decodeUnits).
template <class Next>
NOX_TARGET_AVX512 inline NoxBytes64 s_lookBytes(__m512i b, uint64_t high, bool judge,
                                                unsigned regular, Next next,
                                                const NoxTo16Constants512& k)
{
    const uint64_t lead = _mm512_cmpge_epu8_mask(b, k.c0);
    const uint64_t lead3 = _mm512_cmpge_epu8_mask(b, k.e0);
    const uint64_t lead4 = _mm512_cmpge_epu8_mask(b, k.f0);
    const uint64_t trail = high & ~lead;
    const uint64_t expected = (lead << 1) | (lead3 << 2) | (lead4 << 3);
    // C0, C1 and F5 to FF never start a character.
    uint64_t wrong = (trail ^ expected) | _mm512_mask_cmplt_epu8_mask(lead, b, k.c2) |
                     _mm512_cmpge_epu8_mask(b, k.f5);
    if (judge && lead3 != 0) {
        // E0 and F0 before a byte that makes an overlong form, ED before one that makes a
        // surrogate form, F4 before one that makes a value above 0x10FFFF.
        const __m512i after = next();
        const uint64_t belowA0 = _mm512_cmplt_epu8_mask(after, k.a0);
        const uint64_t below90 = _mm512_cmplt_epu8_mask(after, k.x90);
        const uint64_t e0 = _mm512_cmpeq_epi8_mask(b, k.e0);
        const uint64_t ed = _mm512_cmpeq_epi8_mask(b, k.ed);
        const uint64_t f0 = _mm512_cmpeq_epi8_mask(b, k.f0);
        const uint64_t f4 = _mm512_cmpeq_epi8_mask(b, k.f4);
        wrong |= (e0 & belowA0) | (ed & ~belowA0) | (f0 & below90) | (f4 & ~below90);
    }
    const uint64_t starts = ~trail;
    const unsigned take =
        __builtin_expect(wrong != 0, 0) ? s_takeBefore(wrong, starts, expected) : regular;
    // The bits below `take` (all of them at 64).
    const uint64_t used = _bzhi_u64(~uint64_t{0}, take);
    const uint64_t lead4Used = lead4 & used;
    return {take,
            (starts | (lead4Used << 1)) & used,
            lead & ~lead3 & used,
            lead3 & ~lead4 & used,
            lead4Used,
            lead4Used << 1};
}

// Looks at the 64 bytes at s, whose bytes from 0x80 are `high`; 65 bytes must be readable.
// Without a difference the step ends before the last character when that reaches into the next
// step. That is read off the last bytes with scalar loads: the next step's address then waits
// for those alone, not for the masks, and the steps overlap.
template <bool Far>
NOX_TARGET_AVX512 inline NoxBytes64 s_lookAt64(const UTF8* s, __m512i b, uint64_t high, bool judge,
                                               const NoxTo16Constants512& k)
{
    return s_lookBytes(
        b, high, judge, 64 - s_cutAtEnd<Far>(s),
        [s]() NOX_TARGET_AVX512 { return _mm512_loadu_si512(s + 1); }, k);
}

// Decodes the 32 positions at p as if a character started at each, keeps the units of the
// positions that `look` keeps from bit `first` on and writes them at t; returns their number.
NOX_TARGET_AVX512 inline unsigned s_decode32At(const UTF8* p, const NoxBytes64& look,
                                               unsigned first, UTF16* t,
                                               const NoxTo16Constants512& k)
{
    const auto keep = static_cast<uint32_t>(look.keep >> first);
    const auto two = static_cast<uint32_t>(look.two >> first);
    const auto three = static_cast<uint32_t>(look.three >> first);
    const auto four = static_cast<uint32_t>(look.four >> first);
    const auto afterFour = static_cast<uint32_t>(look.afterFour >> first);
    const __m512i c0 = s_widenAt(p);
    __m512i unit = c0;
    if ((two | three | four | afterFour) != 0) {
        const __m512i low6 = k.low6;
        const __m512i t1 = _mm512_and_si512(s_widenAt(p + 1), low6);
        // 110aaaaa 10bbbbbb -> aaaaabbbbbb
        unit = _mm512_mask_mov_epi16(
            unit, two, _mm512_ternarylogic_epi32(_mm512_slli_epi16(c0, 6), k.x7c0, t1, 0xEA));
        if ((three | four | afterFour) != 0) {
            const __m512i c2 = s_widenAt(p + 2);
            const __m512i t2 = _mm512_and_si512(c2, low6);
            // 1110aaaa 10bbbbbb 10cccccc -> aaaabbbbbbcccccc (the shift drops the marker bits)
            unit = _mm512_mask_mov_epi16(unit, three,
                                         _mm512_ternarylogic_epi32(_mm512_slli_epi16(c0, 12),
                                                                   _mm512_slli_epi16(t1, 6), t2,
                                                                   0xFE));
            if ((four | afterFour) != 0) {
                // 11110aaa 10bbbbbb 10cccccc 10dddddd: the high surrogate is 0xD7C0 plus the
                // value's bits 10 to 20 (aaabbbbbbcccc), the low one 0xDC00 plus its low ten
                // bits, which at the byte after the lead are the low four bits of that byte's
                // next byte and the low six of the one after.
                const __m512i high10 = _mm512_ternarylogic_epi32(
                    _mm512_slli_epi16(_mm512_and_si512(c0, k.x07), 8), _mm512_slli_epi16(t1, 2),
                    _mm512_srli_epi16(t2, 4), 0xFE);
                unit = _mm512_mask_mov_epi16(unit, four, _mm512_add_epi16(high10, k.d7c0));
                const __m512i low10 = _mm512_ternarylogic_epi32(
                    _mm512_slli_epi16(_mm512_and_si512(t1, k.x0f), 6), t2, k.dc00, 0xFE);
                unit = _mm512_mask_mov_epi16(unit, afterFour, low10);
            }
        }
    }
    const auto n = static_cast<unsigned>(__builtin_popcount(keep));
    _mm512_mask_storeu_epi16(t, static_cast<__mmask32>((uint64_t{1} << n) - 1),
                             _mm512_maskz_compress_epi16(keep, unit));
    return n;
}

// Byte indexes of the decoding from the starts: the positions 0 to 63, and two interleavings of
// two position vectors (the first 32 of each, the last 32 of each).
struct NoxStartIndexes {
    __m512i positions;
    __m512i low;
    __m512i high;
};

struct NoxStartBytes {
    alignas(64) unsigned char positions[64];
    alignas(64) unsigned char low[64];
    alignas(64) unsigned char high[64];
};

constexpr NoxStartBytes s_makeStartBytes()
{
    NoxStartBytes retval{};
    for (int i = 0; i < 64; ++i) {
        retval.positions[i] = static_cast<unsigned char>(i);
        retval.low[i] = static_cast<unsigned char>(i / 2 + (i % 2) * 64);
        retval.high[i] = static_cast<unsigned char>(32 + i / 2 + (i % 2) * 64);
    }
    return retval;
}

constexpr NoxStartBytes s_startBytes = s_makeStartBytes();

NOX_TARGET_AVX512 inline NoxStartIndexes s_startIndexes()
{
    return {_mm512_load_si512(s_startBytes.positions), _mm512_load_si512(s_startBytes.low),
            _mm512_load_si512(s_startBytes.high)};
}

// Decodes up to 32 characters of one, two or three bytes from the bytes b of a step into `unit`.
// `pairs` holds in each 16-bit lane the position of a character's first byte and of the byte
// after it; `two` and `three` tell which characters have two and three bytes. False when a
// character of three bytes is an overlong or a surrogate form.
NOX_TARGET_AVX512 inline bool s_decodeUnits(__m512i b, __m512i pairs, uint32_t two, uint32_t three,
                                            const NoxTo16Constants512& k, __m512i& unit)
{
    // first byte | second << 8
    const __m512i first = _mm512_permutexvar_epi8(pairs, b);
    // Multiplied and added in pairs of bytes: low * 64 + high.
    const __m512i weights = k.weights;
    // 110aaaaa 10bbbbbb -> aaaaabbbbbb
    unit = _mm512_mask_maddubs_epi16(_mm512_and_si512(first, k.xff), two,
                                     _mm512_and_si512(first, k.x3f1f), weights);
    if (three != 0) {
        // 1110aaaa 10bbbbbb 10cccccc -> aaaabbbbbbcccccc (the shift drops the marker bits and
        // the second byte)
        const __m512i next = _mm512_permutexvar_epi8(_mm512_add_epi8(pairs, k.one), b);
        const __m512i unit3 =
            _mm512_or_si512(_mm512_slli_epi16(first, 12),
                            _mm512_maddubs_epi16(_mm512_and_si512(next, k.x3f3f), weights));
        const __m512i high5 = _mm512_and_si512(unit3, k.f800);
        if ((_mm512_mask_cmpeq_epi16_mask(three, high5, _mm512_setzero_si512()) |
             _mm512_mask_cmpeq_epi16_mask(three, high5, k.d800)) != 0) {
            return false;
        }
        unit = _mm512_mask_mov_epi16(unit, three, unit3);
    }
    return true;
}

// The last register of units of the steps so far, not yet written: its `units` units end at the
// current target position. A masked store costs more than a whole one (even with every lane set),
// so it is stored whole when the next units written cover the lanes past its units.
struct NoxPending {
    __m512i unit;
    unsigned units;
};

// Writes the pending units before the `next` units that are written next at t.
NOX_TARGET_AVX512 inline void s_flush(const NoxPending& p, unsigned next, UTF16* t)
{
    if (p.units + next >= 32) {
        _mm512_storeu_si512(t - p.units, p.unit);
    } else {
        _mm512_mask_storeu_epi16(t - p.units, _bzhi_u32(~0u, p.units), p.unit);
    }
}

// Decodes the characters that `look` takes from the bytes b of a step, none of them of four
// bytes: the positions of their first bytes are compressed to the front, and their units are
// decoded 32 at a time. The pending units are written, then those of the step except its last
// register, which becomes the pending one. Returns the step's units, or -1, with nothing written,
// when a character of three bytes is one that a mode judges or no character.
NOX_TARGET_AVX512 inline int s_decodeStarts(__m512i b, const NoxBytes64& look,
                                            const NoxStartIndexes& indexes,
                                            const NoxTo16Constants512& k, UTF16* t, NoxPending& p)
{
    const __m512i at = _mm512_maskz_compress_epi8(look.keep, indexes.positions);
    const __m512i at1 = _mm512_add_epi8(at, k.one);
    const auto n = static_cast<unsigned>(__builtin_popcountll(look.keep));
    const uint64_t two = _pext_u64(look.two, look.keep);
    const uint64_t three = _pext_u64(look.three, look.keep);
    __m512i first;
    if (!s_decodeUnits(b, _mm512_permutex2var_epi8(at, indexes.low, at1),
                       static_cast<uint32_t>(two), static_cast<uint32_t>(three), k, first)) {
        return -1;
    }
    if (n > 32) {
        __m512i second;
        if (!s_decodeUnits(b, _mm512_permutex2var_epi8(at, indexes.high, at1),
                           static_cast<uint32_t>(two >> 32), static_cast<uint32_t>(three >> 32), k,
                           second)) {
            return -1;
        }
        s_flush(p, n, t);
        _mm512_storeu_si512(t, first);
        p = {second, n - 32};
    } else {
        s_flush(p, n, t);
        p = {first, n};
    }
    return static_cast<int>(n);
}

// The blocks of a text long enough for them; kept out of line so that a short text meets no
// more than a size test before the AVX2 steps.
template <bool Far>
NOX_TARGET_AVX512 __attribute__((noinline)) void
s_blocksUtf8ToUtf16Avx512(const UTF8*& source, const UTF8* sourceEnd, UTF16*& target,
                          UTF16* targetEnd)
{
    const UTF8* s = source;
    UTF16* t = target;
    const NoxStartIndexes indexes = s_startIndexes();
    const NoxTo16Constants512 k = s_to16Constants512<true>();
    NoxPending pending{_mm512_setzero_si512(), 0};
    while (sourceEnd - s >= kBytesRead64 && targetEnd - t >= kUnitsOf64) {
        const __m512i b = _mm512_loadu_si512(s);
        const uint64_t high = _mm512_movepi8_mask(b);
        if (high == 0) {
            s_flush(pending, 64, t);
            pending.units = 0;
            // ASCII: a run goes on from the 64-byte boundary of the source after this step (the
            // units in between are written again, the same), so that its loads do not straddle
            // cache lines.
            s_widen64(s, t);
            const auto back = static_cast<std::ptrdiff_t>(reinterpret_cast<std::uintptr_t>(s) % 64);
            s += 64 - back;
            t += 64 - back;
            while (sourceEnd - s >= 64 && targetEnd - t >= 64) {
                const __m512i a = _mm512_load_si512(s);
                if (_mm512_movepi8_mask(a) != 0) {
                    break;
                }
                s_widen64(s, t);
                s += 64;
                t += 64;
            }
            continue;
        }
        NoxBytes64 look = s_lookAt64<Far>(s, b, high, false, k);
        int units =
            look.four == 0 && look.take != 0 ? s_decodeStarts(b, look, indexes, k, t, pending) : -1;
        if (units < 0) {
            // Four-byte characters, or a form that a mode judges or no character: the whole look,
            // and the decoding of every position where four bytes occur.
            look = s_lookAt64<Far>(s, b, high, true, k);
            if (look.take == 0) {
                break;
            }
            if (look.four == 0) {
                // The look has left out every form that the decoding refuses.
                units = s_decodeStarts(b, look, indexes, k, t, pending);
                if (units < 0) {
                    break;
                }
            } else {
                s_flush(pending, static_cast<unsigned>(__builtin_popcountll(look.keep)), t);
                pending.units = 0;
                units = static_cast<int>(s_decode32At(s, look, 0, t, k));
                if (look.take > 32) {
                    units += static_cast<int>(s_decode32At(s + 32, look, 32, t + units, k));
                }
            }
        }
        t += units;
        s += look.take;
    }
    s_flush(pending, 0, t);
    source = s;
    target = t;
}

// Byte indexes of the decoding of a short text: in each 16-bit lane i, the bytes at positions
// i and i + 1 (`first`) and i + 1 and i + 2 (`next`), for the positions 0 to 31 and 32 to 63.
struct NoxShortBytes {
    alignas(64) unsigned char first[2][64];
    alignas(64) unsigned char next[2][64];
};

constexpr NoxShortBytes s_makeShortBytes()
{
    NoxShortBytes retval{};
    for (int half = 0; half < 2; ++half) {
        for (int i = 0; i < 32; ++i) {
            const int at = 32 * half + i;
            retval.first[half][2 * i] = static_cast<unsigned char>(at);
            retval.first[half][2 * i + 1] = static_cast<unsigned char>((at + 1) % 64);
            retval.next[half][2 * i] = static_cast<unsigned char>((at + 1) % 64);
            retval.next[half][2 * i + 1] = static_cast<unsigned char>((at + 2) % 64);
        }
    }
    return retval;
}

constexpr NoxShortBytes s_shortBytes = s_makeShortBytes();

// Decodes the 32 positions of one half of the bytes b of a short text as if a character of one,
// two (`two`) or three (`three`) bytes started at each. `bad` gets the characters of three bytes
// that are an overlong or a surrogate form.
NOX_TARGET_AVX512 inline __m512i s_decodeShortHalf(__m512i b, int half, uint32_t two,
                                                   uint32_t three, const NoxTo16Constants512& k,
                                                   uint32_t& bad)
{
    const __m512i first = _mm512_permutexvar_epi8(_mm512_load_si512(s_shortBytes.first[half]), b);
    const __m512i next = _mm512_permutexvar_epi8(_mm512_load_si512(s_shortBytes.next[half]), b);
    const __m512i unit2 = _mm512_mask_maddubs_epi16(_mm512_and_si512(first, k.xff), two,
                                                    _mm512_and_si512(first, k.x3f1f), k.weights);
    const __m512i unit3 =
        _mm512_or_si512(_mm512_slli_epi16(first, 12),
                        _mm512_maddubs_epi16(_mm512_and_si512(next, k.x3f3f), k.weights));
    const __m512i high5 = _mm512_and_si512(unit3, k.f800);
    bad = _mm512_mask_cmpeq_epi16_mask(three, high5, _mm512_setzero_si512()) |
          _mm512_mask_cmpeq_epi16_mask(three, high5, k.d800);
    return _mm512_mask_mov_epi16(unit2, three, unit3);
}

// A text of 16 to 64 bytes, with room for as many units: one masked load of exactly its bytes
// (0 past them). Every position is decoded as if a character started there (two byte
// permutations a half give each 16-bit lane its bytes) and the units of the characters' first
// bytes are compressed and stored exactly. No branch asks what the text holds beyond a first
// half of 32 bytes: short texts of different scripts follow each other in a host, and such a
// branch would be a new guess at every call. The step ends before the first difference, as the
// look of a step finds it, before a character that the end cuts (its trail bytes are missing at
// n or, at n = 64, past the 64 bits: `spill`), and before a character of four bytes; a
// character of three bytes that the decoding finds overlong or a surrogate form leaves the whole
// text to the AVX2 steps.
// `AsciiFirst` for the tail of a longer text, which is most often the end of a run of ASCII: it
// is widened at once.
template <bool AsciiFirst>
NOX_TARGET_AVX512 inline void s_shortUtf8ToUtf16Avx512(const UTF8*& source, const UTF8* sourceEnd,
                                                       UTF16*& target)
{
    const auto n = static_cast<unsigned>(sourceEnd - source);
    const __m512i b = _mm512_maskz_loadu_epi8(_bzhi_u64(~uint64_t{0}, n), source);
    const uint64_t high = _mm512_movepi8_mask(b);
    if (AsciiFirst && high == 0) {
        _mm512_mask_storeu_epi16(target, _bzhi_u32(~0u, n),
                                 _mm512_cvtepu8_epi16(_mm512_castsi512_si256(b)));
        _mm512_mask_storeu_epi16(target + 32, _bzhi_u32(~0u, n > 32 ? n - 32 : 0),
                                 _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(b, 1)));
        source += n;
        target += n;
        return;
    }
    const NoxTo16Constants512 k = s_to16Constants512<false>();
    // The masks of s_lookBytes, written out: through it (its classes masked by where the step
    // ends) strings of 16 to 64 bytes took 8% longer.
    const uint64_t lead = _mm512_cmpge_epu8_mask(b, k.c0);
    const uint64_t lead3 = _mm512_cmpge_epu8_mask(b, k.e0);
    const uint64_t lead4 = _mm512_cmpge_epu8_mask(b, k.f0);
    const uint64_t trail = high & ~lead;
    const uint64_t expected = (lead << 1) | (lead3 << 2) | (lead4 << 3);
    const uint64_t spill = (lead >> 63) | (lead3 >> 62) | (lead4 >> 61);
    const uint64_t wrong = (trail ^ expected) | _mm512_mask_cmplt_epu8_mask(lead, b, k.c2) |
                           _mm512_cmpge_epu8_mask(b, k.f5) | lead4 | (spill << 63);
    const unsigned take =
        __builtin_expect(wrong != 0, 0) ? s_takeBefore(wrong, ~trail, expected) : n;
    const uint64_t keep = ~trail & _bzhi_u64(~uint64_t{0}, take);
    const uint64_t two = lead & ~lead3;
    const uint64_t three = lead3 & keep;
    uint32_t bad = 0;
    const __m512i first =
        s_decodeShortHalf(b, 0, static_cast<uint32_t>(two), static_cast<uint32_t>(three), k, bad);
    const auto keepFirst = static_cast<uint32_t>(keep);
    const auto units = static_cast<unsigned>(__builtin_popcount(keepFirst));
    if (n <= 32) {
        if (bad != 0) {
            return;
        }
        _mm512_mask_storeu_epi16(target, _bzhi_u32(~0u, units),
                                 _mm512_maskz_compress_epi16(keepFirst, first));
        source += take;
        target += units;
        return;
    }
    uint32_t badSecond = 0;
    const __m512i second = s_decodeShortHalf(b, 1, static_cast<uint32_t>(two >> 32),
                                             static_cast<uint32_t>(three >> 32), k, badSecond);
    if ((bad | badSecond) != 0) {
        return;
    }
    const auto keepSecond = static_cast<uint32_t>(keep >> 32);
    const auto unitsSecond = static_cast<unsigned>(__builtin_popcount(keepSecond));
    _mm512_mask_storeu_epi16(target, _bzhi_u32(~0u, units),
                             _mm512_maskz_compress_epi16(keepFirst, first));
    _mm512_mask_storeu_epi16(target + units, _bzhi_u32(~0u, unitsSecond),
                             _mm512_maskz_compress_epi16(keepSecond, second));
    source += take;
    target += units + unitsSecond;
}

// What the blocks and the masked step take of a text of more than 64 bytes; out of line, so that
// a shorter text meets only size tests on its way to the masked step or the AVX2 kernel (the
// call comes after every character that the exact step takes).
NOX_TARGET_AVX512 __attribute__((noinline)) void s_stepsUtf8ToUtf16Avx512(const UTF8*& source,
                                                                          const UTF8* sourceEnd,
                                                                          UTF16*& target,
                                                                          UTF16* targetEnd)
{
    if (sourceEnd - source >= kBytesRead64 && targetEnd - target >= kUnitsOf64) {
        if (sourceEnd - source > nox::farTextUnits()) {
            s_blocksUtf8ToUtf16Avx512<true>(source, sourceEnd, target, targetEnd);
        } else {
            s_blocksUtf8ToUtf16Avx512<false>(source, sourceEnd, target, targetEnd);
        }
    }
    if (sourceEnd - source >= 16 && sourceEnd - source <= 64 &&
        targetEnd - target >= sourceEnd - source) {
        s_shortUtf8ToUtf16Avx512<true>(source, sourceEnd, target);
    }
}

NOX_TARGET_AVX512 void s_bulkUtf8ToUtf16Avx512(const UTF8*& source, const UTF8* sourceEnd,
                                               UTF16*& target, UTF16* targetEnd)
{
    // Fewer than 16 bytes cost the scalar steps less than the setting up of a masked step.
    const std::ptrdiff_t n = sourceEnd - source;
    if (n >= 16 && n <= 64 && targetEnd - target >= n) {
        s_shortUtf8ToUtf16Avx512<false>(source, sourceEnd, target);
    } else if (n > 64) {
        s_stepsUtf8ToUtf16Avx512(source, sourceEnd, target, targetEnd);
    }
    if (source != sourceEnd) {
        s_bulkUtf8ToUtf16Avx2(source, sourceEnd, target, targetEnd);
    }
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

} // namespace

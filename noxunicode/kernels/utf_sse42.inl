// utf_sse42.inl - UTF-8 <-> UTF-16 kernels for SSE4.2 and POPCNT. Included by ConvertUTF.cpp.
//
// UTF-16 to UTF-8 takes 8 or 16 units a step. All-ASCII blocks are narrowed with one pack;
// otherwise each unit's lead, middle and last byte are computed in its lane (surrogate pairs
// give their four bytes from the two lanes), and a shuffle chosen by the mask of one-, two- and
// three-byte units packs the bytes of 4 or 8 units to the front of the register.
//
// UTF-8 to UTF-16 takes 16 bytes a step. The byte classes (lead of two, three or four bytes,
// trail, never a start) come from compares; a window is regular when every trail byte belongs
// to the lead before it and every lead has its trail bytes. A regular window decodes every
// position as if a character started there and keeps the lanes of the character starts with
// one shuffle; its last character may reach into the next window. Anything irregular goes to a
// narrower window that ends before it, or to the scalar step.
//
// Stores of a step may reach past its characters, so steps write into a staging buffer on the
// stack (s_bulkStaged), which is then copied to the target exactly.

namespace {

#if defined(NOX_X86)

// Vector paths for UTF-8 <-> UTF-16, used when the processor has SSE4.2 and POPCNT (UTF-8
// to UTF-16 takes 32 bytes at a time when it also has AVX2). They take blocks of 8 to 32
// units that need no judgement and hand every other character to
// the scalar steps above. A vector store that would reach past the block's output keeps
// the bytes already there, so nothing beyond the returned target position changes.

// Shuffles that pack selected bytes of a vector to its front, by an 8-bit key.
struct PackTable {
    unsigned char shuffle[256][16];
    unsigned char count[256];
};

// Ends row `key` of a table after its first `used` shuffle entries: stores `count` and fills
// the rest with 0x80, which the shuffle turns into zero bytes.
constexpr void s_finishRow(PackTable& table, int key, int used, int count)
{
    table.count[key] = static_cast<unsigned char>(count);
    for (int n = used; n < 16; ++n) {
        table.shuffle[key][n] = 0x80;
    }
}

// UTF-16 to UTF-8, 8 units each held as one or two bytes of a 16-bit lane; key bit j is
// set when unit j is ASCII and takes one byte.
constexpr PackTable s_makeOneOrTwoTable()
{
    PackTable table{};
    for (int key = 0; key < 256; ++key) {
        int n = 0;
        for (int j = 0; j < 8; ++j) {
            table.shuffle[key][n++] = static_cast<unsigned char>(2 * j);
            if (((key >> j) & 1) == 0) {
                table.shuffle[key][n++] = static_cast<unsigned char>(2 * j + 1);
            }
        }
        s_finishRow(table, key, n, n);
    }
    return table;
}

// UTF-16 to UTF-8, 4 units each held as one to three bytes of a 32-bit lane; the low
// nibble of the key marks units of two bytes or more, the high nibble units of three.
constexpr PackTable s_makeOneToThreeTable()
{
    PackTable table{};
    for (int key = 0; key < 256; ++key) {
        int n = 0;
        for (int j = 0; j < 4; ++j) {
            const int length = 1 + ((key >> j) & 1) + ((key >> (j + 4)) & 1);
            for (int k = 0; k < length; ++k) {
                table.shuffle[key][n++] = static_cast<unsigned char>(4 * j + k);
            }
        }
        s_finishRow(table, key, n, n);
    }
    return table;
}

// UTF-8 to UTF-16, 8 decoded 16-bit lanes of which key bit j keeps lane j.
constexpr PackTable s_makeLaneTable()
{
    PackTable table{};
    for (int key = 0; key < 256; ++key) {
        const int n = nox::packLanesRow(static_cast<unsigned>(key), table.shuffle[key]);
        s_finishRow(table, key, n, n / 2);
    }
    return table;
}

constexpr PackTable s_oneOrTwoTable = s_makeOneOrTwoTable();
constexpr PackTable s_oneToThreeTable = s_makeOneToThreeTable();
constexpr PackTable s_laneTable = s_makeLaneTable();

NOX_TARGET_SSE42 inline __m128i s_shuffle(__m128i v, const PackTable& table, unsigned key)
{
    return _mm_shuffle_epi8(v,
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.shuffle[key])));
}

NOX_TARGET_SSE42 inline __m128i s_load(const void* p)
{
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

NOX_TARGET_SSE42 inline void s_store(void* p, __m128i v)
{
    _mm_storeu_si128(static_cast<__m128i*>(p), v);
}

// Copies `count` staged units to the target in 16-byte blocks, the last block ending at the
// last unit (it copies some units again), so that nothing past them changes.
template <typename Dst>
inline void s_copyStaged(Dst* target, const Dst* stage, std::ptrdiff_t count)
{
    const auto bytes = static_cast<std::size_t>(count) * sizeof(Dst);
    if (bytes < 16) {
        std::memcpy(target, stage, bytes);
        return;
    }
    auto* to = reinterpret_cast<unsigned char*>(target);
    const auto* from = reinterpret_cast<const unsigned char*>(stage);
    for (std::size_t i = 0; i + 16 < bytes; i += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i)));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + bytes - 16),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + bytes - 16)));
}

// Runs Block::step over a staging buffer on the stack, where a vector store may run past
// the block's output, and copies the staged output to the target exactly. A step writes
// at most Block::reach units past its start and needs Block::minSource source units;
// Block::settle moves the source back onto a character boundary.
// Inlined into callers compiled for the processor the block needs.
template <typename Block>
inline __attribute__((always_inline)) void
s_bulkStaged(const typename Block::Src*& source, const typename Block::Src* sourceEnd,
             typename Block::Dst*& target, typename Block::Dst* targetEnd)
{
    using Dst = typename Block::Dst;
    Dst stage[Block::stageSize];
    Block block;
    bool more = true;
    while (more && sourceEnd - source >= Block::minSource && targetEnd - target >= Block::reach) {
        const std::ptrdiff_t room = targetEnd - target;
        Dst* const last =
            stage + (room < Block::stageSize ? room : Block::stageSize) - Block::reach;
        Dst* staged = stage;
        while (staged <= last && sourceEnd - source >= Block::minSource) {
            if (!block.step(source, sourceEnd, staged)) {
                more = false;
                break;
            }
        }
        block.settle(source);
        s_copyStaged(target, stage, staged - stage);
        target += staged - stage;
    }
}

// UTF-16 to UTF-8, 8 or 16 units per step.
struct Utf16ToUtf8Block {
    using Src = UTF16;
    using Dst = UTF8;
    static constexpr int stageSize = 256;
    static constexpr int reach = 32;
    static constexpr int minSource = 8;

    static void settle(const UTF16*& /*source*/) {}

    NOX_TARGET_SSE42 static bool step(const UTF16*& s, const UTF16* sourceEnd, UTF8*& t)
    {
        const __m128i zero = _mm_setzero_si128();
        const __m128i low6 = _mm_set1_epi16(0x3F);
        const __m128i trailMark = _mm_set1_epi16(0x80);
        const __m128i u = s_load(s);
        if (sourceEnd - s >= 16) {
            const __m128i u2 = s_load(s + 8);
            const __m128i any = _mm_or_si128(u, u2);
            if (_mm_testz_si128(any, _mm_set1_epi16(static_cast<short>(0xFF80)))) {
                s_store(t, _mm_packus_epi16(u, u2));
                s += 16;
                t += 16;
                return true;
            }
        }
        const __m128i high5 = _mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xF800)));
        const __m128i surrogate =
            _mm_cmpeq_epi16(high5, _mm_set1_epi16(static_cast<short>(0xD800)));
        const bool pairs = !_mm_testz_si128(surrogate, surrogate);
        // Set in the last lane when it holds the first half of a pair whose second half
        // lies beyond the 8 units; the step then ends before that lane.
        int cutPair = 0;
        if (pairs) {
            const __m128i isHigh =
                _mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xFC00))),
                                _mm_set1_epi16(static_cast<short>(0xD800)));
            const __m128i isLow = _mm_andnot_si128(isHigh, surrogate);
            // Every high surrogate but one in the last lane is followed by a low one, and
            // every low one follows a high one; anything else, one character at a time.
            const unsigned unpaired = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_xor_si128(_mm_slli_si128(isHigh, 2), isLow)));
            if (unpaired != 0) {
                UTF32 ch = 0;
                for (const UTF16* stop = s + 8; s < stop; s_putUtf8Fast(ch, t)) {
                    if (!s_readUtf16Fast(s, sourceEnd, ch)) {
                        return false;
                    }
                }
                return true;
            }
            cutPair = (_mm_movemask_epi8(isHigh) & 0x8000) != 0 ? 1 : 0;
        }
        const __m128i ascii =
            _mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xFF80))), zero);
        // Each half of a pair takes two of the character's four bytes.
        const __m128i upTo2 = _mm_or_si128(_mm_cmpeq_epi16(high5, zero), surrogate);
        const unsigned masks =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, upTo2)));
        const __m128i trail = _mm_or_si128(_mm_and_si128(u, low6), trailMark);
        s += 8 - cutPair;
        if (masks >= 0xFF00 && !pairs) {
            // Only one- and two-byte characters: each lane holds lead | trail << 8.
            const __m128i lead = _mm_or_si128(_mm_srli_epi16(u, 6), _mm_set1_epi16(0xC0));
            const __m128i lanes =
                _mm_blendv_epi8(_mm_or_si128(lead, _mm_slli_epi16(trail, 8)), u, ascii);
            const unsigned key = masks & 0xFF;
            s_store(t, s_shuffle(lanes, s_oneOrTwoTable, key));
            t += s_oneOrTwoTable.count[key];
            return true;
        }
        // One to three bytes: lead | middle << 8 | last << 16 in 32-bit lanes.
        const __m128i lead = _mm_blendv_epi8(
            _mm_blendv_epi8(_mm_or_si128(_mm_srli_epi16(u, 12), _mm_set1_epi16(0xE0)),
                            _mm_or_si128(_mm_srli_epi16(u, 6), _mm_set1_epi16(0xC0)), upTo2),
            u, ascii);
        const __m128i middle = _mm_blendv_epi8(
            _mm_or_si128(_mm_and_si128(_mm_srli_epi16(u, 6), low6), trailMark), trail, upTo2);
        __m128i front = _mm_or_si128(lead, _mm_slli_epi16(middle, 8));
        if (pairs) {
            // With w = value >> 10 = (high & 0x3FF) + 0x40 the four bytes are
            // F0 | w >> 8, 80 | (w >> 2 & 3F) from the high surrogate and
            // 80 | (w & 3) << 4 | (low >> 6 & F), 80 | (low & 3F) from the low one;
            // w & 3 equals high & 3.
            const __m128i w =
                _mm_add_epi16(_mm_and_si128(u, _mm_set1_epi16(0x3FF)), _mm_set1_epi16(0x40));
            const __m128i highBytes = _mm_or_si128(
                _mm_or_si128(_mm_srli_epi16(w, 8), _mm_set1_epi16(static_cast<short>(0x80F0))),
                _mm_and_si128(_mm_slli_epi16(w, 6), _mm_set1_epi16(0x3F00)));
            const __m128i before = _mm_slli_si128(u, 2);
            const __m128i lowBytes = _mm_or_si128(
                _mm_or_si128(_mm_set1_epi16(static_cast<short>(0x8080)),
                             _mm_slli_epi16(_mm_and_si128(before, _mm_set1_epi16(3)), 4)),
                _mm_or_si128(_mm_and_si128(_mm_srli_epi16(u, 6), _mm_set1_epi16(0xF)),
                             _mm_slli_epi16(_mm_and_si128(u, low6), 8)));
            const __m128i isHigh =
                _mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xFC00))),
                                _mm_set1_epi16(static_cast<short>(0xD800)));
            front = _mm_blendv_epi8(front, _mm_blendv_epi8(lowBytes, highBytes, isHigh), surrogate);
        }
        const unsigned wide = ~masks;
        const unsigned key0 = (wide & 0xF) | ((wide >> 4) & 0xF0);
        const unsigned key1 = ((wide >> 4) & 0xF) | ((wide >> 8) & 0xF0);
        s_store(t, s_shuffle(_mm_unpacklo_epi16(front, trail), s_oneToThreeTable, key0));
        t += s_oneToThreeTable.count[key0];
        s_store(t, s_shuffle(_mm_unpackhi_epi16(front, trail), s_oneToThreeTable, key1));
        t += s_oneToThreeTable.count[key1];
        // The two bytes of a cut pair's high surrogate come last; the next step writes
        // them again with the rest of the character.
        t -= 2 * cutPair;
        return true;
    }
};

// Kept out of line so that the AVX2 entry stays small for short texts.
NOX_TARGET_SSE42 __attribute__((noinline)) void s_blocksUtf16ToUtf8Sse42(const UTF16*& source,
                                                                         const UTF16* sourceEnd,
                                                                         UTF8*& target,
                                                                         UTF8* targetEnd)
{
    s_bulkStaged<Utf16ToUtf8Block>(source, sourceEnd, target, targetEnd);
}

NOX_TARGET_SSE42 void s_bulkUtf16ToUtf8Sse42(const UTF16*& source, const UTF16* sourceEnd,
                                             UTF8*& target, UTF8* targetEnd)
{
    s_blocksUtf16ToUtf8Sse42(source, sourceEnd, target, targetEnd);
    s_bulkUtf16ToUtf8<NoxSse2Ascii>(source, sourceEnd, target, targetEnd);
}

// Decodes the characters that start at the positions in `starts` of the 16 bytes b, given
// the bytes one and two further on, and stores them at t. Every position is decoded as if
// a character started there, as the low and the high byte of its value; the flags tell
// whether leads of two, three and four bytes occur, `lead3` marks the leads of three bytes
// or more and `lead4` those of four. A four-byte character gives two units: its lead and
// the byte after it both count as starts, the lead decoded as the high surrogate and the
// next byte as the low one, so the character must lie in the window up to its third byte.
NOX_TARGET_SSE42 inline void s_decodeWindow(__m128i b, __m128i next, __m128i next2, __m128i lead3,
                                            __m128i lead4, unsigned starts, bool two, bool three,
                                            bool four, UTF16*& t)
{
    // A 16-bit shift masked to the bits of each byte acts as a byte shift.
    const __m128i low6 = _mm_set1_epi8(0x3F);
    const __m128i top2 = _mm_set1_epi8(static_cast<char>(0xC0));
    __m128i lo = _mm_setzero_si128();
    __m128i hi = _mm_setzero_si128();
    if (two) {
        // 110aaabb 10cccccc -> aaa, bbcccccc
        lo = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(b, 6), top2), _mm_and_si128(next, low6));
        hi = _mm_and_si128(_mm_srli_epi16(b, 2), _mm_set1_epi8(0x07));
    }
    if (three) {
        // 1110aaaa 10bbbbcc 10dddddd -> aaaabbbb, ccdddddd. At the lead of four bytes this
        // gives bits 6 to 21 of the value, at the byte after it the low surrogate's bits.
        const __m128i lo3 =
            _mm_or_si128(_mm_and_si128(_mm_slli_epi16(next, 6), top2), _mm_and_si128(next2, low6));
        const __m128i hi3 = _mm_or_si128(
            _mm_and_si128(_mm_slli_epi16(b, 4), _mm_set1_epi8(static_cast<char>(0xF0))),
            _mm_and_si128(_mm_srli_epi16(next, 2), _mm_set1_epi8(0x0F)));
        const __m128i pick3 = four ? _mm_or_si128(lead3, _mm_slli_si128(lead4, 1)) : lead3;
        lo = two ? _mm_blendv_epi8(lo, lo3, pick3) : lo3;
        hi = two ? _mm_blendv_epi8(hi, hi3, pick3) : hi3;
    }
    // The byte's own high bit picks ASCII.
    lo = _mm_blendv_epi8(b, lo, b);
    hi = _mm_blendv_epi8(_mm_setzero_si128(), hi, b);
    __m128i first = _mm_unpacklo_epi8(lo, hi);
    __m128i second = _mm_unpackhi_epi8(lo, hi);
    if (four) {
        // High surrogate: 0xD800 + ((value - 0x10000) >> 10) = 0xD7C0 + (value >> 10).
        // Low surrogate: 0xDC00 + the low ten bits, of which the lane holds eleven.
        const __m128i highBase = _mm_set1_epi16(static_cast<short>(0xD7C0));
        const __m128i lowMask = _mm_set1_epi16(0x3FF);
        const __m128i lowBase = _mm_set1_epi16(static_cast<short>(0xDC00));
        const __m128i after4 = _mm_slli_si128(lead4, 1);
        first = _mm_blendv_epi8(first, _mm_add_epi16(_mm_srli_epi16(first, 4), highBase),
                                _mm_unpacklo_epi8(lead4, lead4));
        first = _mm_blendv_epi8(first, _mm_or_si128(_mm_and_si128(first, lowMask), lowBase),
                                _mm_unpacklo_epi8(after4, after4));
        second = _mm_blendv_epi8(second, _mm_add_epi16(_mm_srli_epi16(second, 4), highBase),
                                 _mm_unpackhi_epi8(lead4, lead4));
        second = _mm_blendv_epi8(second, _mm_or_si128(_mm_and_si128(second, lowMask), lowBase),
                                 _mm_unpackhi_epi8(after4, after4));
    }
    s_store(t, s_shuffle(first, s_laneTable, starts & 0xFF));
    t += s_laneTable.count[starts & 0xFF];
    s_store(t, s_shuffle(second, s_laneTable, starts >> 8));
    t += s_laneTable.count[starts >> 8];
}

// Byte classes of 16 UTF-8 bytes, each a vector of 0xFF where the byte is in the class.
struct ByteClasses {
    __m128i trail; // 0x80..0xBF
    __m128i lead;  // 0xC0..0xFF
    __m128i lead3; // 0xE0..0xFF
    __m128i lead4; // 0xF0..0xFF
    __m128i stop;  // never taken by a window: 0xC0, 0xC1, 0xF5..0xFF, E0 or ED followed by
                   // a byte that makes an overlong or surrogate form, F0 or F4 followed by a
                   // byte that makes an overlong form or a value above 0x10FFFF
};

NOX_TARGET_SSE42 inline ByteClasses s_classify(__m128i b, __m128i next)
{
    // With the high bit flipped, the bytes 0x80..0xFF compare as 0x00..0x7F and ASCII as
    // negative, so each upper range is one signed comparison.
    const __m128i flipped = _mm_xor_si128(b, _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i nextLow = _mm_cmplt_epi8(next, _mm_set1_epi8(-96));    // next < 0xA0
    const __m128i nextLower = _mm_cmplt_epi8(next, _mm_set1_epi8(-112)); // next < 0x90
    const __m128i judged = _mm_or_si128(
        _mm_and_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(0xE0))), nextLow),
        _mm_andnot_si128(nextLow, _mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(0xED)))));
    const __m128i outOfRange = _mm_or_si128(
        _mm_and_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(0xF0))), nextLower),
        _mm_andnot_si128(nextLower, _mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(0xF4)))));
    const __m128i c0c1 = _mm_cmpeq_epi8(_mm_and_si128(b, _mm_set1_epi8(static_cast<char>(0xFE))),
                                        _mm_set1_epi8(static_cast<char>(0xC0)));
    const __m128i f5up = _mm_cmpgt_epi8(flipped, _mm_set1_epi8(0x74));
    return {_mm_cmplt_epi8(b, _mm_set1_epi8(-64)), _mm_cmpgt_epi8(flipped, _mm_set1_epi8(0x3F)),
            _mm_cmpgt_epi8(flipped, _mm_set1_epi8(0x5F)),
            _mm_cmpgt_epi8(flipped, _mm_set1_epi8(0x6F)),
            _mm_or_si128(_mm_or_si128(c0c1, f5up), _mm_or_si128(judged, outOfRange))};
}

NOX_TARGET_SSE42 inline unsigned s_bits(__m128i v)
{
    return static_cast<unsigned>(_mm_movemask_epi8(v));
}

// UTF-8 to UTF-16, 16 bytes per step. A regular window (no byte that a window never
// takes, every lead followed by exactly its trail bytes, no lead of four bytes in its last
// byte) advances by 16 bytes whatever its characters: its last character may reach into
// the next window, is decoded from the two bytes after it, and its trail bytes there are
// skipped by the leads kept from this window. Anything else goes to a window that ends
// before the first such byte, or to the scalar step.
struct Utf8ToUtf16Block {
    using Src = UTF8;
    using Dst = UTF16;
    static constexpr int stageSize = 128;
    static constexpr int reach = 16;
    static constexpr int minSource = 32;

    // Leads of the last regular window, shifted into the next to find its trail bytes.
    __m128i prevLead{};
    __m128i prevLead3{};
    __m128i prevLead4{};

    // Moves past the trail bytes of a character that the last window decoded.
    NOX_TARGET_SSE42 void settle(const UTF8*& source)
    {
        const __m128i owed =
            _mm_or_si128(_mm_or_si128(_mm_srli_si128(prevLead, 15), _mm_srli_si128(prevLead3, 14)),
                         _mm_srli_si128(prevLead4, 13));
        const unsigned front = s_bits(owed) & 7;
        source += __builtin_ctz(~front);
        prevLead = _mm_setzero_si128();
        prevLead3 = _mm_setzero_si128();
        prevLead4 = _mm_setzero_si128();
    }

    NOX_TARGET_SSE42 bool step(const UTF8*& s, const UTF8* /*sourceEnd*/, UTF16*& t)
    {
        const __m128i b = s_load(s);
        if (_mm_movemask_epi8(b) == 0) {
            // Trail bytes owed from the last window would not be ASCII.
            nox::sse2Widen16(s, t);
            s += 16;
            t += 16;
            prevLead = _mm_setzero_si128();
            prevLead3 = _mm_setzero_si128();
            prevLead4 = _mm_setzero_si128();
            return true;
        }
        const __m128i after = s_load(s + 16);
        const __m128i next = _mm_alignr_epi8(after, b, 1);
        const ByteClasses c = s_classify(b, next);
        const __m128i want = _mm_or_si128(_mm_or_si128(_mm_alignr_epi8(c.lead, prevLead, 15),
                                                       _mm_alignr_epi8(c.lead3, prevLead3, 14)),
                                          _mm_alignr_epi8(c.lead4, prevLead4, 13));
        const __m128i wantAfter =
            _mm_or_si128(_mm_or_si128(_mm_srli_si128(c.lead, 15), _mm_srli_si128(c.lead3, 14)),
                         _mm_srli_si128(c.lead4, 13));
        const __m128i trailAfter = _mm_cmplt_epi8(after, _mm_set1_epi8(-64));
        // A lead of four bytes in the last byte would leave its low surrogate to the next
        // window.
        const __m128i lastLead4 = _mm_srli_si128(c.lead4, 15);
        const __m128i wrong = _mm_or_si128(
            _mm_or_si128(_mm_xor_si128(want, c.trail), _mm_or_si128(c.stop, lastLead4)),
            _mm_andnot_si128(trailAfter, wantAfter));
        if (!_mm_testz_si128(wrong, wrong)) {
            settle(s);
            return window(s, t);
        }
        const bool four = !_mm_testz_si128(c.lead4, c.lead4);
        const unsigned starts = (~s_bits(c.trail) | (four ? s_bits(c.lead4) << 1 : 0u)) & 0xFFFF;
        s_decodeWindow(b, next, _mm_alignr_epi8(after, b, 2), c.lead3, c.lead4, starts,
                       !_mm_testc_si128(c.lead3, c.lead), !_mm_testz_si128(c.lead3, c.lead3), four,
                       t);
        prevLead = c.lead;
        prevLead3 = c.lead3;
        prevLead4 = c.lead4;
        s += 16;
        return true;
    }

    // Takes the window at a character boundary up to its first byte that a window never
    // takes or the character that the window's end cuts; scalar steps when that is empty.
    NOX_TARGET_SSE42 static bool window(const UTF8*& s, UTF16*& t)
    {
        const __m128i b = s_load(s);
        const __m128i next = _mm_srli_si128(b, 1);
        const ByteClasses c = s_classify(b, next);
        const unsigned stop = s_bits(c.stop);
        const unsigned lead = s_bits(c.lead);
        const unsigned lead3 = s_bits(c.lead3);
        const unsigned lead4 = s_bits(c.lead4);
        int n = stop == 0 ? 16 : __builtin_ctz(stop);
        const unsigned cut = ((lead & ~lead3) & ((1u << n) >> 1)) | (lead3 & ((3u << n) >> 2)) |
                             (lead4 & ((7u << n) >> 3));
        if (cut != 0) {
            n = __builtin_ctz(cut);
        }
        const unsigned window = (1u << n) - 1;
        const unsigned trail = s_bits(c.trail) & window;
        if (n == 0 ||
            trail != (((lead & window) << 1) | ((lead3 & window) << 2) | ((lead4 & window) << 3))) {
            // Runs of four-byte characters stay here, up to the room of one step.
            for (int i = 0; i < 4; ++i) {
                if (!s_stepFromUtf8(s, t)) {
                    return i != 0;
                }
                if (*s < 0xF0) {
                    break;
                }
            }
            return true;
        }
        s_decodeWindow(b, next, _mm_srli_si128(b, 2), c.lead3, c.lead4,
                       (~trail & window) | ((lead4 & window) << 1), ((lead & ~lead3) & window) != 0,
                       (lead3 & window) != 0, (lead4 & window) != 0, t);
        s += n;
        return true;
    }
};
NOX_TARGET_SSE42 void s_bulkUtf8ToUtf16Sse42(const UTF8*& source, const UTF8* sourceEnd,
                                             UTF16*& target, UTF16* targetEnd)
{
    s_bulkStaged<Utf8ToUtf16Block>(source, sourceEnd, target, targetEnd);
    s_bulkFromUtf8<NoxSse2Ascii>(source, sourceEnd, target, targetEnd);
}

#endif

} // namespace

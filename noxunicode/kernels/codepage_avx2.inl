// codepage_avx2.inl - code-page kernels for AVX2, on top of the SSE2 kernels. Included by
// NoxUCharConverter.cpp.
//
// Runs of bytes that map to themselves (all of LATIN_1 but its 0) are widened 128 at a time, and
// runs of units that map to themselves narrowed 128 at a time. A byte maps to itself when it is
// not 0 and not in 0x80 up to the code page's upper range: one compare with 0 and one signed
// compare with the range's first byte. Units are first tested for a high byte (one mask test
// of the OR of the block), then packed to bytes and tested as bytes (the signed compare only
// where the OR shows a unit above 0x7F). What is left of a run goes 32 units, then 16 bytes
// (8 units) at a time, and its last block ends on the run's last character, overlapping the
// block before it, so that no character is converted one at a time unless the whole run is
// shorter than a block.
//
// These runs are given the whole input, not the rest of a page: the text ends at its first 0,
// and a block that would reach into the next page is read only after the rest of this page has
// shown no 0 (aligned loads of the page's last bytes, which never leave the page). Once a page
// has no 0 left, the text goes on into the next one, which is then readable.
//
// Single-byte code pages convert 32 bytes a step: bytes below 0x80 are their own units, and
// the units of the upper half (their low and their high bytes, two 128-byte tables) are
// looked up with byte shuffles of each 16-byte row of a table by the byte's low four bits,
// chosen among the eight rows by a tree of blends on bits 4, 5 and 6. A unit of 0 marks a byte
// without an entry, which stops the step.
//
// Single-byte code pages whose upper half does not map to itself (CP1251, KOI8-R, EBCDIC)
// convert from UTF-16 16 units a step: two gathers of eight from the table of each unit's byte,
// packed to bytes; a byte of 0 (a unit that the exact step decides) ends the step before it.
//
// Double-byte code pages convert 32 bytes a block: the character starts come from the mask of
// lead-range bytes as in the SSE2 kernel, every position is looked up with the byte after it in
// the byte-pair table by four gathers of eight, and the units of the starts are packed eight
// lanes a byte shuffle (a table row by the eight bits of starts) and stored one group after the
// other. The last group's store runs up to eight units past the characters; the units that lay
// there are read before the block and written back after it. The SSE2 kernel did the same
// lookups one position at a time, which left this level no faster than SSE2.

namespace {

#if defined(NOX_X86)

// The units among those of a block that are 0.
template <typename Unit> NOX_TARGET_AVX2 inline __m256i s_zeroUnits(__m256i v)
{
    return sizeof(Unit) == 1 ? _mm256_cmpeq_epi8(v, _mm256_setzero_si256())
                             : _mm256_cmpeq_epi16(v, _mm256_setzero_si256());
}

// True when no unit in [from, pageEnd) is 0, where pageEnd is the end of from's page. Reads
// whole aligned 32-byte blocks of that page, which never reach into another page; the first
// may begin before `from` (those units are ignored).
template <typename Unit>
NOX_TARGET_AVX2 NOX_NO_SANITIZE_ADDRESS inline bool s_pageRestHasNoZero32(const Unit* from,
                                                                          const Unit* pageEnd)
{
    const uintptr_t start = reinterpret_cast<uintptr_t>(from);
    const uintptr_t end = reinterpret_cast<uintptr_t>(pageEnd);
    uintptr_t block = start & ~uintptr_t{31};
    bool retval = true;
    if (block < end) {
        const __m256i head =
            s_zeroUnits<Unit>(_mm256_load_si256(reinterpret_cast<const __m256i*>(block)));
        __m256i rest = _mm256_setzero_si256();
        for (block += 32; block < end; block += 32) {
            rest = _mm256_or_si256(rest, s_zeroUnits<Unit>(_mm256_load_si256(
                                             reinterpret_cast<const __m256i*>(block))));
        }
        const unsigned before = ~0u << (start & 31);
        retval = (static_cast<unsigned>(_mm256_movemask_epi8(head)) & before) == 0 &&
                 _mm256_testz_si256(rest, rest);
    }
    return retval;
}

// Where the blocks of a run may be read: up to the end of the page the run starts in (the text
// reaches that page), and a page further each time the rest of the current page holds no 0
// (the text then goes on into the next page). Units at an odd address would straddle the page
// boundary: such text never crosses.
template <typename Unit> class NoxPageReach {
  public:
    explicit NoxPageReach(const Unit* src)
        : mEnd(src + nox::bytesToPageEnd(src) / sizeof(Unit)),
          mAligned(reinterpret_cast<uintptr_t>(src) % sizeof(Unit) == 0)
    {
    }

    // True when the n units from `at` (a position the text reaches) may be read; n is far less
    // than a page.
    NOX_TARGET_AVX2 bool allows(const Unit* at, size_t n)
    {
        if (at + n > mEnd && mAligned && s_pageRestHasNoZero32(at, mEnd)) {
            mEnd += nox::kPageSize / sizeof(Unit);
        }
        return at + n <= mEnd;
    }

    // The units from `at` known to be readable (those up to the end of the last page allowed).
    size_t readable(const Unit* at) const { return static_cast<size_t>(mEnd - at); }

    // How many of the next min(left, most) units from `at` may be read: all of them, or
    // where the rest of the page holds a 0 (which ends the text first), those up to the
    // page's end.
    NOX_TARGET_AVX2 size_t within(const Unit* at, size_t left, size_t most)
    {
        const size_t n = std::min(left, most);
        return allows(at, n) ? n : readable(at);
    }

  private:
    const Unit* mEnd;
    bool mAligned;
};

// The bytes among 32 that do not map to themselves: 0, and 0x80 up to the upper range, whose
// first byte less 0x100 is in every byte of `below` (0: no upper range).
NOX_TARGET_AVX2 inline __m256i s_unselfBytes32(__m256i v, __m256i below)
{
    return _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_setzero_si256()),
                           _mm256_cmpgt_epi8(below, v));
}

// The same for two registers; without Upper every byte but 0 maps to itself.
template <bool Upper>
NOX_TARGET_AVX2 inline __m256i s_unselfBytes64(__m256i v, __m256i w, __m256i below)
{
    const __m256i zero = _mm256_cmpeq_epi8(_mm256_min_epu8(v, w), _mm256_setzero_si256());
    return Upper ? _mm256_or_si256(zero, _mm256_or_si256(_mm256_cmpgt_epi8(below, v),
                                                         _mm256_cmpgt_epi8(below, w)))
                 : zero;
}

NOX_TARGET_AVX2 inline int s_unselfBytes16(__m128i v, __m128i below)
{
    return _mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()), _mm_cmpgt_epi8(below, v)));
}

NOX_TARGET_AVX2 inline void s_widen16(const unsigned char* src, UChar* out)
{
    _mm256_storeu_si256(
        reinterpret_cast<__m256i*>(out),
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src))));
}

// Widens the leading bytes of src that map to themselves, at most max; without Write only
// counts them; Upper when bytes from 0x80 up to the upper range do not. Returns their count.
template <bool Write, bool Upper>
NOX_TARGET_AVX2 size_t s_widenSelf32(const unsigned char* src, size_t max, UChar* out,
                                     unsigned selfFirst)
{
    const auto belowByte = static_cast<char>(selfFirst - 0x100);
    const __m256i below = _mm256_set1_epi8(belowByte);
    const __m128i below16 = _mm_set1_epi8(belowByte);
    NoxPageReach<unsigned char> reach(src);
    size_t i = 0;
    // A text long enough for the rounds below starts with 32 bytes taken unaligned, and the
    // rounds go on from the next 32-byte boundary of the source. The bytes of both overlap are
    // written twice, the same both times.
    const size_t offset = nox::unitsPastBoundary(src);
    if (offset != 0 && max >= 160 && reach.allows(src, 32)) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
        const __m256i unself = s_unselfBytes64<Upper>(v, v, below);
        if (_mm256_testz_si256(unself, unself)) {
            if (Write) {
                s_widen16(src, out);
                s_widen16(src + 16, out + 16);
            }
            i = 32 - offset;
        }
    }
    // 128 bytes a round, tested together; the rounds run without further checks up to the end
    // of the pages allowed.
    bool going = true;
    while (going && max - i >= 128 && reach.allows(src + i, 128)) {
        const size_t end = std::min(max, reach.readable(src));
        do {
            const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
            const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 32));
            const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 64));
            const __m256i w1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 96));
            const __m256i unself = _mm256_or_si256(s_unselfBytes64<Upper>(v0, w0, below),
                                                   s_unselfBytes64<Upper>(v1, w1, below));
            if (!_mm256_testz_si256(unself, unself)) {
                going = false;
                break;
            }
            if (Write) {
                // From memory: one shuffle a register where widening in registers takes three.
                for (size_t k = 0; k < 128; k += 16) {
                    s_widen16(src + i + k, out + i + k);
                }
            }
            i += 128;
        } while (end - i >= 128);
    }
    while (max - i >= 64 && reach.allows(src + i, 64)) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 32));
        const __m256i unself = s_unselfBytes64<Upper>(v, w, below);
        if (!_mm256_testz_si256(unself, unself)) {
            break;
        }
        if (Write) {
            for (size_t k = 0; k < 64; k += 16) {
                s_widen16(src + i + k, out + i + k);
            }
        }
        i += 64;
    }
    // Blocks of 16 up to the first byte that stops the run; then the last block of the run
    // ends on its last byte.
    bool known = false;
    while (max - i >= 16 && reach.allows(src + i, 16)) {
        const int unself =
            s_unselfBytes16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)), below16);
        if (unself != 0) {
            max = i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(unself)));
            known = true;
            break;
        }
        if (Write) {
            s_widen16(src + i, out + i);
        }
        i += 16;
    }
    if (max - i < 16 && max >= 16 && i != max &&
        (known ||
         (reach.allows(src + i, max - i) &&
          s_unselfBytes16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + max - 16)),
                          below16) == 0))) {
        if (Write) {
            s_widen16(src + max - 16, out + max - 16);
        }
        i = max;
    }
    return i + NoxScalarKernels::widenSelf(src + i, max - i, Write ? out + i : nullptr, selfFirst);
}

// The units among 8 outside 0x01-0x7F and first-last, two mask bits a unit.
NOX_TARGET_AVX2 inline unsigned s_unselfUnits8(const UChar* src, UChar first, UChar last)
{
    return static_cast<unsigned>(
        s_unselfUnits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), first, last));
}

NOX_TARGET_AVX2 inline void s_narrow8(const UChar* src, unsigned char* out)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
}

NOX_TARGET_AVX2 inline __m256i s_load16(const UChar* src)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
}

// Narrows the 32 units at src into out when they all map to themselves (`below` and `high` as
// in s_narrowSelf32); false, having written nothing, when they do not.
template <bool Write>
NOX_TARGET_AVX2 inline bool s_narrowSelfStep32(const UChar* src, unsigned char* out, __m256i below,
                                               __m256i high)
{
    const __m256i a = s_load16(src);
    const __m256i b = s_load16(src + 16);
    const __m256i packed = _mm256_packus_epi16(a, b);
    const __m256i unself = s_unselfBytes32(packed, below);
    const bool retval =
        _mm256_testz_si256(_mm256_or_si256(a, b), high) && _mm256_testz_si256(unself, unself);
    if (Write && retval) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_permute4x64_epi64(packed, 0xD8));
    }
    return retval;
}

// Narrows the leading units of src that map to themselves, as s_widenSelf32; Upper when units
// from 0x80 up to the upper range do not.
template <bool Write, bool Upper>
NOX_TARGET_AVX2 size_t s_narrowSelf32(const UChar* src, size_t max, unsigned char* out, UChar first,
                                      UChar last)
{
    const unsigned upper = last == 0xFF ? first : 0x100;
    const __m256i below = _mm256_set1_epi8(static_cast<char>(upper - 0x100));
    const __m256i high = _mm256_set1_epi16(static_cast<short>(0xFF00));
    const __m256i aboveAscii = _mm256_set1_epi16(0x80);
    NoxPageReach<UChar> reach(src);
    size_t i = 0;
    // As in s_widenSelf32, the rounds go on from a 32-byte boundary of the source after one
    // step taken unaligned.
    const size_t offset = nox::unitsPastBoundary(src);
    if (offset != 0 && max >= 160 && reach.allows(src, 32) &&
        s_narrowSelfStep32<Write>(src, out, below, high)) {
        i = 16 - offset;
    }
    // 128 units a round, tested together: one mask test of the OR of all eight registers for a
    // unit above 0xFF, one test of the packed bytes' minimum for a 0, and with Upper, only where
    // the OR shows a unit above 0x7F, a signed compare of the packed bytes for the range below
    // the upper one. The rounds run without further checks up to the end of the pages allowed.
    bool going = true;
    while (going && max - i >= 128 && reach.allows(src + i, 128)) {
        const size_t end = std::min(max, reach.readable(src));
        do {
            __m256i v[8];
            for (size_t k = 0; k < 8; ++k) {
                v[k] = s_load16(src + i + 16 * k);
            }
            const __m256i any = _mm256_or_si256(
                _mm256_or_si256(_mm256_or_si256(v[0], v[1]), _mm256_or_si256(v[2], v[3])),
                _mm256_or_si256(_mm256_or_si256(v[4], v[5]), _mm256_or_si256(v[6], v[7])));
            if (!_mm256_testz_si256(any, high)) {
                going = false;
                break;
            }
            __m256i packed[4];
            for (size_t k = 0; k < 4; ++k) {
                packed[k] = _mm256_packus_epi16(v[2 * k], v[2 * k + 1]);
            }
            __m256i unself =
                _mm256_cmpeq_epi8(_mm256_min_epu8(_mm256_min_epu8(packed[0], packed[1]),
                                                  _mm256_min_epu8(packed[2], packed[3])),
                                  _mm256_setzero_si256());
            if (Upper && !_mm256_testz_si256(any, aboveAscii)) {
                unself = _mm256_or_si256(
                    unself, _mm256_or_si256(_mm256_or_si256(_mm256_cmpgt_epi8(below, packed[0]),
                                                            _mm256_cmpgt_epi8(below, packed[1])),
                                            _mm256_or_si256(_mm256_cmpgt_epi8(below, packed[2]),
                                                            _mm256_cmpgt_epi8(below, packed[3]))));
            }
            if (!_mm256_testz_si256(unself, unself)) {
                going = false;
                break;
            }
            if (Write) {
                for (size_t k = 0; k < 4; ++k) {
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 32 * k),
                                        _mm256_permute4x64_epi64(packed[k], 0xD8));
                }
            }
            i += 128;
        } while (end - i >= 128);
    }
    while (max - i >= 32 && reach.allows(src + i, 32) &&
           s_narrowSelfStep32<Write>(src + i, Write ? out + i : nullptr, below, high)) {
        i += 32;
    }
    bool known = false;
    while (max - i >= 8 && reach.allows(src + i, 8)) {
        const unsigned unself = s_unselfUnits8(src + i, first, last);
        if (unself != 0) {
            max = i + static_cast<size_t>(__builtin_ctz(unself)) / 2;
            known = true;
            break;
        }
        if (Write) {
            s_narrow8(src + i, out + i);
        }
        i += 8;
    }
    if (max - i < 8 && max >= 8 && i != max &&
        (known ||
         (reach.allows(src + i, max - i) && s_unselfUnits8(src + max - 8, first, last) == 0))) {
        if (Write) {
            s_narrow8(src + max - 8, out + max - 8);
        }
        i = max;
    }
    return i +
           NoxScalarKernels::narrowSelf(src + i, max - i, Write ? out + i : nullptr, first, last);
}

// Row r of the upper half of a 256-byte table, each byte picked by the low four bits.
NOX_TARGET_AVX2 inline __m256i s_row(const unsigned char* table, int r, __m256i low4)
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 128 + 16 * r));
    return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(bytes), low4);
}

// The units of 32 bytes from the upper half of a 256-byte table: each row of 16 shuffled by the
// low four bits, the rows chosen by bits 4, 5 and 6 (moved to the top bit of each byte).
NOX_TARGET_AVX2 inline __m256i s_upperHalf(const unsigned char* table, __m256i low4, __m256i bit4,
                                           __m256i bit5, __m256i bit6)
{
    const __m256i r01 = _mm256_blendv_epi8(s_row(table, 0, low4), s_row(table, 1, low4), bit4);
    const __m256i r23 = _mm256_blendv_epi8(s_row(table, 2, low4), s_row(table, 3, low4), bit4);
    const __m256i r45 = _mm256_blendv_epi8(s_row(table, 4, low4), s_row(table, 5, low4), bit4);
    const __m256i r67 = _mm256_blendv_epi8(s_row(table, 6, low4), s_row(table, 7, low4), bit4);
    return _mm256_blendv_epi8(_mm256_blendv_epi8(r01, r23, bit5),
                              _mm256_blendv_epi8(r45, r67, bit5), bit6);
}

// Converts 32 one-byte characters a step while all have entries, on a code page whose bytes
// 0x01-0x7F are their own units; `tables` holds each byte's low (0-255) and high (256-511)
// unit byte. Returns the bytes converted (a multiple of 32).
NOX_TARGET_AVX2 size_t s_toUBytes32(const unsigned char* src, size_t len, UChar* out,
                                    const unsigned char* tables)
{
    const __m256i zero = _mm256_setzero_si256();
    size_t i = 0;
    while (len - i >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i low4 = _mm256_and_si256(v, _mm256_set1_epi8(0x0F));
        const __m256i bit4 = _mm256_slli_epi16(v, 3);
        const __m256i bit5 = _mm256_slli_epi16(v, 2);
        const __m256i bit6 = _mm256_add_epi8(v, v);
        // Bytes below 0x80 keep their value as the low byte and have no high byte.
        const __m256i lo = _mm256_blendv_epi8(v, s_upperHalf(tables, low4, bit4, bit5, bit6), v);
        const __m256i hi =
            _mm256_blendv_epi8(zero, s_upperHalf(tables + 256, low4, bit4, bit5, bit6), v);
        const __m256i missing = _mm256_cmpeq_epi8(_mm256_or_si256(lo, hi), zero);
        if (!_mm256_testz_si256(missing, missing)) {
            break;
        }
        if (out != nullptr) {
            const __m256i lo2 = _mm256_permute4x64_epi64(lo, 0xD8);
            const __m256i hi2 = _mm256_permute4x64_epi64(hi, 0xD8);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                                _mm256_unpacklo_epi8(lo2, hi2));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 16),
                                _mm256_unpackhi_epi8(lo2, hi2));
        }
        i += 32;
    }
    return i;
}

// For each mask of eight 16-bit lanes, the byte shuffle that moves the lanes of its set bits to
// the front, in order (the rest zero).
struct NoxLanePacks {
    unsigned char rows[256][16];
};

constexpr NoxLanePacks s_makeLanePacks()
{
    NoxLanePacks retval{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        for (int n = nox::packLanesRow(mask, retval.rows[mask]); n < 16; ++n) {
            retval.rows[mask][n] = 0x80;
        }
    }
    return retval;
}

constexpr NoxLanePacks s_lanePacks = s_makeLanePacks();

// 0xFF where a byte of v lies in first to first + span.
NOX_TARGET_AVX2 inline __m256i s_inRange256(__m256i v, __m256i first, __m256i span)
{
    const __m256i offset = _mm256_sub_epi8(v, first);
    return _mm256_cmpeq_epi8(_mm256_min_epu8(offset, span), offset);
}

// The units of the byte-pair table at the eight positions of `index` (32-bit lanes).
NOX_TARGET_AVX2 inline __m256i s_pairGather(const uint16_t* pairs, __m256i index)
{
    // Four bytes from each unit: the table has one entry more than its indexes.
    return _mm256_i32gather_epi32(reinterpret_cast<const int*>(pairs), index, 2);
}

// Sixteen units from the low halves of two gathers, in order.
NOX_TARGET_AVX2 inline __m256i s_pairUnits16(__m256i a, __m256i b)
{
    const __m256i low = _mm256_set1_epi32(0xFFFF);
    return _mm256_permute4x64_epi64(
        _mm256_packus_epi32(_mm256_and_si256(a, low), _mm256_and_si256(b, low)), 0xD8);
}

// Each position's index into the byte-pair table (its byte above the next one) for the eight
// positions from `at` of v and next.
NOX_TARGET_AVX2 inline __m256i s_pairIndex8(__m128i v, __m128i next)
{
    return _mm256_or_si256(_mm256_slli_epi32(_mm256_cvtepu8_epi32(v), 8),
                           _mm256_cvtepu8_epi32(next));
}

// Stores the units of the set bits of `key` among the eight of `units` at `at` (and zeros after
// them, to eight units); returns where the next ones go.
NOX_TARGET_AVX2 inline UChar* s_packUnits8(__m128i units, unsigned key, UChar* at)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_shuffle_epi8(units, _mm_loadu_si128(reinterpret_cast<const __m128i*>(
                                                 s_lanePacks.rows[key]))));
    return at + _mm_popcnt_u32(key);
}

// Converts blocks of 32 bytes of a double-byte code page as the SSE2 kernel does 16: four
// gathers of the byte-pair table, and the units of the character starts packed eight lanes a
// shuffle. Each block needs one byte more readable and room for 40 units (the packed stores run
// up to eight units past the characters; what they wrote there is put back), or counting only.
NOX_TARGET_AVX2 size_t s_toUPairs256(const nox::CodePageTables& t, const unsigned char* src,
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
           (produced + 40 <= room || (countBeyond && produced >= room))) {
        const unsigned char* block = src + i;
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 1));
        const auto inRange = static_cast<uint32_t>(_mm256_movemask_epi8(
            _mm256_or_si256(s_inRange256(v, first0, span0), s_inRange256(v, first1, span1))));
        if (inRange == 0 && t.asciiToU && _mm256_movemask_epi8(v) == 0) {
            break;
        }
        uint64_t leads = 0;
        auto starts = static_cast<uint32_t>(s_charStarts(inRange, &leads));
        // A lead on the last byte waits for the next block.
        size_t consumed = (leads & 0x80000000u) != 0 ? 31 : 32;
        starts &= consumed == 31 ? 0x7FFFFFFFu : ~0u;
        const __m128i v0 = _mm256_castsi256_si128(v);
        const __m128i v1 = _mm256_extracti128_si256(v, 1);
        const __m128i n0 = _mm256_castsi256_si128(next);
        const __m128i n1 = _mm256_extracti128_si256(next, 1);
        const __m256i units0 = s_pairUnits16(
            s_pairGather(pairs, s_pairIndex8(v0, n0)),
            s_pairGather(pairs, s_pairIndex8(_mm_srli_si128(v0, 8), _mm_srli_si128(n0, 8))));
        const __m256i units1 = s_pairUnits16(
            s_pairGather(pairs, s_pairIndex8(v1, n1)),
            s_pairGather(pairs, s_pairIndex8(_mm_srli_si128(v1, 8), _mm_srli_si128(n1, 8))));
        // A unit of 0 marks a character without an entry: it and the rest wait.
        const __m256i zero = _mm256_setzero_si256();
        const auto zeros = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_permute4x64_epi64(
            _mm256_packs_epi16(_mm256_cmpeq_epi16(units0, zero), _mm256_cmpeq_epi16(units1, zero)),
            0xD8)));
        const uint32_t missing = zeros & starts;
        if (missing != 0) {
            consumed = static_cast<size_t>(__builtin_ctz(missing));
            starts &= (1u << consumed) - 1;
            stopped = true;
        }
        const auto count = static_cast<size_t>(_mm_popcnt_u32(starts));
        if (produced < room) {
            UChar* const dst = out + produced;
            const __m128i kept = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + count));
            UChar* at = s_packUnits8(_mm256_castsi256_si128(units0), starts & 0xFFu, dst);
            at = s_packUnits8(_mm256_extracti128_si256(units0, 1), (starts >> 8) & 0xFFu, at);
            at = s_packUnits8(_mm256_castsi256_si128(units1), (starts >> 16) & 0xFFu, at);
            s_packUnits8(_mm256_extracti128_si256(units1, 1), starts >> 24, at);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + count), kept);
        }
        produced += count;
        i += consumed;
    }
    *n = produced;
    return i;
}

// Converts units of a single-byte code page 16 a step while each has a byte: the bytes come
// from the flat table of the units' bytes by two gathers of eight (each reads four bytes from
// the unit's entry on: the table has three bytes more than its entries). A byte of 0 marks a
// unit that the exact step decides (the unit 0 among them): it and the rest wait, and only the
// bytes before it are stored. Reads and writes at most `len` units and bytes (out null: counts
// only); with `yield`, a step after the first whose first eight units map to themselves is left
// to the self runs. Returns the units converted.
NOX_TARGET_AVX2 __attribute__((noinline)) size_t
s_fromUBytes256(const UChar* src, size_t len, unsigned char* out, const unsigned char* bytes,
                UChar selfFirst, UChar selfLast, bool yield)
{
    const int* const table = reinterpret_cast<const int*>(bytes);
    const __m256i lowByte = _mm256_set1_epi32(0xFF);
    size_t i = 0;
    bool stopped = false;
    while (!stopped && len - i >= 16) {
        const __m256i units = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        if (yield && i != 0 &&
            s_unselfUnits(_mm256_castsi256_si128(units), selfFirst, selfLast) == 0) {
            break;
        }
        const __m256i a =
            _mm256_i32gather_epi32(table, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(units)), 1);
        const __m256i b = _mm256_i32gather_epi32(
            table, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(units, 1)), 1);
        // Per half: units 0-3 of a, 0-3 of b | 4-7 of a, 4-7 of b; as bytes, then in order.
        const __m256i words =
            _mm256_packus_epi32(_mm256_and_si256(a, lowByte), _mm256_and_si256(b, lowByte));
        const __m128i packed = _mm_shuffle_epi32(
            _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1)),
            _MM_SHUFFLE(3, 1, 2, 0));
        const auto missing =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(packed, _mm_setzero_si128())));
        size_t consumed = 16;
        if (missing != 0) {
            consumed = static_cast<size_t>(__builtin_ctz(missing));
            stopped = true;
        }
        if (out != nullptr && consumed == 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
        } else if (out != nullptr) {
            alignas(16) unsigned char staged[16];
            _mm_store_si128(reinterpret_cast<__m128i*>(staged), packed);
            std::memcpy(out + i, staged, consumed);
        }
        i += consumed;
    }
    return i;
}

struct NoxAvx2Kernels : NoxSse2Kernels {
    static constexpr size_t kReach = 32;
    static constexpr bool kSelfRunsCrossPages = true;

    static size_t widenSelf(const unsigned char* src, size_t max, UChar* out, unsigned selfFirst)
    {
        const bool upper = selfFirst > 0x80;
        return out != nullptr ? (upper ? s_widenSelf32<true, true>(src, max, out, selfFirst)
                                       : s_widenSelf32<true, false>(src, max, out, selfFirst))
                              : (upper ? s_widenSelf32<false, true>(src, max, out, selfFirst)
                                       : s_widenSelf32<false, false>(src, max, out, selfFirst));
    }

    static size_t narrowSelf(const UChar* src, size_t max, unsigned char* out, UChar first,
                             UChar last)
    {
        const bool upper = last != 0xFF || first > 0x80;
        return out != nullptr ? (upper ? s_narrowSelf32<true, true>(src, max, out, first, last)
                                       : s_narrowSelf32<true, false>(src, max, out, first, last))
                              : (upper ? s_narrowSelf32<false, true>(src, max, out, first, last)
                                       : s_narrowSelf32<false, false>(src, max, out, first, last));
    }

    static size_t toUPairs(const nox::CodePageTables& t, const unsigned char* src, size_t srcLen,
                           UChar* out, size_t* n, size_t room, bool countBeyond)
    {
        // The call only when a block fits: short texts meet no more than these tests.
        const size_t wide = srcLen > 32 && (*n + 40 <= room || (countBeyond && *n >= room))
                                ? s_toUPairs256(t, src, srcLen, out, n, room, countBeyond)
                                : 0;
        return wide +
               NoxSse2Kernels::toUPairs(t, src + wide, srcLen - wide, out, n, room, countBeyond);
    }

    static constexpr bool kHasByteToUnit = true;
    static constexpr size_t kByteBlock = 32;
    static size_t toUBytes(const nox::CodePageTables& t, const unsigned char* src, size_t len,
                           UChar* out)
    {
        return t.byteToUnit == nullptr ? NoxSse2Kernels::toUBytes(t, src, len, out)
               : t.asciiToU            ? s_toUBytes32(src, len, out, t.byteToUnit)
                                       : 0;
    }

    // Only for the family SingleByteGathered, whose tables have the units' bytes one a unit.
    static constexpr bool kGathersBytes = true;
    static size_t fromUBytes(const nox::CodePageTables& t, const UChar* src, size_t len,
                             unsigned char* out)
    {
        return s_fromUBytes256(src, len, out, t.unitBytes, t.selfMappedFirst, t.selfMappedLast,
                               t.asciiFromU);
    }
};

#endif

} // namespace

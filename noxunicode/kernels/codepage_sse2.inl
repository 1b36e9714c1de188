// codepage_sse2.inl - code-page kernels for SSE2, the baseline of every x86-64 processor.
// Included by NoxUCharConverter.cpp.
//
// Bytes that map to themselves are widened 16 at a time (unpacking against zero), and units
// that map to themselves narrowed 16 at a time (saturating pack), after one compare per block
// finds the first byte or unit that does not.
//
// Double-byte code pages convert 16 bytes a block through the byte-pair table. A block starts
// on a character boundary; its bytes in the lead-byte ranges form runs, and each run
// alternates lead and trail from its first byte, whatever the trail's value. Integer
// arithmetic on the mask of lead-range bytes finds every lead at once (s_charStarts): adding
// each run's first bit carries through the run and so tells runs of even and odd length
// apart. Every position is then looked up with the byte after it, and the unit of each
// character start stored at the number of starts before it, without a branch a position. A
// character without an entry (unit 0) and everything after it go back to the exact path.

namespace {

#if defined(NOX_X86)

// The bytes that start characters in a block (of up to 63 bytes) that starts on a character
// boundary, given the mask of its lead-range bytes. *leads receives the mask of the leads; the
// caller keeps the bits of its block.
uint64_t s_charStarts(uint64_t inRange, uint64_t* leads)
{
    const uint64_t runStarts = inRange & ~(inRange << 1);
    // Adding a run's first bit carries through the run, which clears it.
    const uint64_t evenRuns = inRange & ~(inRange + (runStarts & 0x5555555555555555ull));
    const uint64_t oddRuns = inRange & ~evenRuns;
    *leads = inRange & ~((evenRuns & 0xAAAAAAAAAAAAAAAAull) | (oddRuns & 0x5555555555555555ull));
    return ~(*leads << 1);
}

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
struct NoxPrefixCounts {
    uint64_t rows[256];
};

constexpr NoxPrefixCounts s_makePrefixCounts()
{
    NoxPrefixCounts retval{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned below = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            retval.rows[mask] |= uint64_t{below} << (8 * bit);
            below += (mask >> bit) & 1u;
        }
    }
    return retval;
}

constexpr NoxPrefixCounts s_prefixCounts = s_makePrefixCounts();

// Looks up every byte of a block with its next byte in the byte-pair table and writes the
// units of the positions in `starts` to dst: a position that starts no character writes where
// the next character will go, so at most dst[count] holds a unit beyond them afterwards (dst
// has room for 16). Stores the number of characters in *count and returns the number of
// leading ones that have an entry.
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
// 0x80 below selfFirst (0x80-0x100).
int s_unselfBytes(__m128i v, unsigned selfFirst)
{
    const int zero = _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()));
    const __m128i offset = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i beyond =
        _mm_subs_epu8(offset, _mm_set1_epi8(static_cast<char>(selfFirst - 0x81)));
    const int upper =
        selfFirst > 0x80 ? _mm_movemask_epi8(_mm_cmpeq_epi8(beyond, _mm_setzero_si128())) : 0;
    return zero | upper;
}

// Mask (two bits a unit) of the units in a block of 8 outside 0x01-0x7F and first-last.
int s_unselfUnits(__m128i v, UChar first, UChar last)
{
    const auto in = [v](UChar low, UChar high) {
        const __m128i offset = _mm_sub_epi16(v, _mm_set1_epi16(static_cast<short>(low)));
        const __m128i beyond =
            _mm_subs_epu16(offset, _mm_set1_epi16(static_cast<short>(high - low)));
        return _mm_cmpeq_epi16(beyond, _mm_setzero_si128());
    };
    return _mm_movemask_epi8(_mm_or_si128(in(1, 0x7F), in(first, last))) ^ 0xFFFF;
}

// Widens the leading bytes of src that map to themselves (0x01-0x7F and selfFirst-0xFF), 16
// at a time; without Write only counts them. Returns their count, at most max.
template <bool Write>
size_t s_widenSelf(const unsigned char* src, size_t max, UChar* out, unsigned selfFirst)
{
    size_t i = 0;
    while (max - i >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const int unself = s_unselfBytes(v, selfFirst);
        if (unself != 0) {
            max = i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(unself)));
            break;
        }
        if (Write) {
            nox::sse2Widen16(src + i, out + i);
        }
        i += 16;
    }
    return i + NoxScalarKernels::widenSelf(src + i, max - i, Write ? out + i : nullptr, selfFirst);
}

// Converts the leading bytes of src that have entries on a single-byte code page whose ASCII
// maps to itself, 16 at a time, up to max; without Write only counts them. A block of ASCII
// and bytes of the linear upper range is widened, the range's bytes moved by its distance;
// another block is looked up byte by byte. Stops at the first byte without an entry or with
// the unit 0; returns the bytes converted.
template <bool Write>
size_t s_toULinear(const nox::CodePageTables& t, const unsigned char* src, size_t max, UChar* out)
{
    const bool linear = t.linearToUFirst < 0x100;
    const __m128i first = _mm_set1_epi8(static_cast<char>(linear ? t.linearToUFirst : 0xFF));
    const __m128i delta = _mm_set1_epi16(static_cast<short>(t.linearToUDelta));
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    while (max - i >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i upper = _mm_cmpeq_epi8(_mm_max_epu8(v, first), v);
        const int inRange = linear ? _mm_movemask_epi8(upper) : 0;
        const int other =
            (_mm_movemask_epi8(v) & ~inRange) | _mm_movemask_epi8(_mm_cmpeq_epi8(v, zero));
        if (other == 0) {
            // Without a linear range the block is ASCII, and `upper` is clear.
            if (Write) {
                _mm_storeu_si128(
                    reinterpret_cast<__m128i*>(out + i),
                    _mm_add_epi16(_mm_unpacklo_epi8(v, zero),
                                  _mm_and_si128(_mm_unpacklo_epi8(upper, upper), delta)));
                _mm_storeu_si128(
                    reinterpret_cast<__m128i*>(out + i + 8),
                    _mm_add_epi16(_mm_unpackhi_epi8(v, zero),
                                  _mm_and_si128(_mm_unpackhi_epi8(upper, upper), delta)));
            }
        } else {
            const size_t k = s_lookUpSingle(t, src + i, 16, Write ? out + i : nullptr);
            if (k != 16) {
                return i + k;
            }
        }
        i += 16;
    }
    return i;
}

// Narrows the leading units of src that map to themselves, as s_widenSelf.
template <bool Write>
size_t s_narrowSelf(const UChar* src, size_t max, unsigned char* out, UChar first, UChar last)
{
    size_t i = 0;
    while (max - i >= 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 8));
        const int unself = s_unselfUnits(a, first, last) | s_unselfUnits(b, first, last) << 16;
        if (unself != 0) {
            max = i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(unself))) / 2;
            break;
        }
        if (Write) {
            nox::sse2Narrow16(src + i, out + i);
        }
        i += 16;
    }
    return i +
           NoxScalarKernels::narrowSelf(src + i, max - i, Write ? out + i : nullptr, first, last);
}

struct NoxSse2Kernels : NoxScalarKernels {
    static constexpr size_t kReach = 17;

    static bool selfRunAhead(const unsigned char* src, unsigned selfFirst)
    {
        return s_unselfBytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), selfFirst) ==
               0;
    }

    static size_t widenSelf(const unsigned char* src, size_t max, UChar* out, unsigned selfFirst)
    {
        return out != nullptr ? s_widenSelf<true>(src, max, out, selfFirst)
                              : s_widenSelf<false>(src, max, out, selfFirst);
    }

    static bool selfUnitsAhead(const UChar* src, UChar first, UChar last)
    {
        return s_unselfUnits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), first, last) ==
               0;
    }

    static size_t narrowSelf(const UChar* src, size_t max, unsigned char* out, UChar first,
                             UChar last)
    {
        return out != nullptr ? s_narrowSelf<true>(src, max, out, first, last)
                              : s_narrowSelf<false>(src, max, out, first, last);
    }

    template <typename Unit> static bool pageRestHasNoZero(const Unit* from, const Unit* pageEnd)
    {
        return nox::sse2PageRestHasNoZero(from, pageEnd);
    }

    // Single-byte code pages whose ASCII maps to itself, 16 bytes a block.
    static constexpr bool kHasByteToUnit = true;
    static constexpr size_t kByteBlock = 16;
    static size_t toUBytes(const nox::CodePageTables& t, const unsigned char* src, size_t len,
                           UChar* out)
    {
        size_t retval = 0;
        if (t.asciiToU) {
            retval = out != nullptr ? s_toULinear<true>(t, src, len, out)
                                    : s_toULinear<false>(t, src, len, out);
        }
        return retval;
    }

    // Converts blocks of sixteen bytes of a double-byte code page while every character that
    // starts in them has an entry in the byte-pair table, and (without a lead-range byte in a
    // block) while they are not all ASCII, which the block runs take. Each block needs one byte
    // more readable and room for sixteen units, or counting only. Returns the bytes converted;
    // the units are written from out[*n], and *n grows by their number.
    static constexpr bool kHasPairs = true;
    static size_t toUPairs(const nox::CodePageTables& t, const unsigned char* src, size_t srcLen,
                           UChar* out, size_t* n, size_t room, bool countBeyond)
    {
        const uint16_t* pairs = t.pairUnits;
        size_t i = 0;
        size_t produced = *n;
        UChar counted[16];
        bool stopped = false;
        while (!stopped && srcLen - i > 16 &&
               (produced + 16 <= room || (countBeyond && produced >= room))) {
            const unsigned char* block = src + i;
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
            const auto inRange = static_cast<uint32_t>(s_rangeMask(v, t.leadRanges));
            if (inRange == 0 && t.asciiToU && _mm_movemask_epi8(v) == 0) {
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
                // Put back what the block wrote beyond its characters.
                std::memcpy(dst + valid, saved + valid, (count - valid) * sizeof(UChar));
            }
            if (count < 16) {
                dst[count] = saved[count];
            }
            produced += valid;
            i += consumed;
        }
        *n = produced;
        return i;
    }
};

#endif

} // namespace

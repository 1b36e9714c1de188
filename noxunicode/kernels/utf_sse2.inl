// utf_sse2.inl - the UTF bulk steps with ASCII runs found and copied 16 units at a time by
// SSE2, the baseline of every x86-64 processor. Included by ConvertUTF.cpp.
//
// One compare and one mask give the length of the ASCII prefix of 16 units; a whole ASCII
// block is widened or narrowed with the shared SSE2 helpers. Everything else is the scalar
// bulk steps of utf_scalar.inl, instantiated with this policy.

namespace {

#if defined(NOX_X86)

struct NoxSse2Ascii {
    // Number of leading ASCII bytes among the 16 at p (16 when all are).
    static int prefix(const UTF8* p)
    {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(v));
        return mask == 0 ? 16 : __builtin_ctz(mask);
    }

    // Number of leading units below 0x80 among the 16 at p (16 when all are).
    static int prefix(const UTF16* p)
    {
        const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
        const __m128i zero = _mm_setzero_si128();
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
        // Two mask bits per unit, set where the unit is ASCII.
        const unsigned ascii =
            static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(a, high), zero))) |
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(b, high), zero)))
                << 16;
        return ascii == 0xFFFFFFFFu ? 16 : __builtin_ctz(~ascii) / 2;
    }

    // Number of leading values below 0x80 among the 16 at p (16 when all are).
    static int prefix(const UTF32* p)
    {
        const __m128i high = _mm_set1_epi32(-0x80);
        const __m128i zero = _mm_setzero_si128();
        __m128i ascii[4];
        for (int i = 0; i < 4; ++i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * i));
            ascii[i] = _mm_cmpeq_epi32(_mm_and_si128(v, high), zero);
        }
        // One mask bit per value: the compares' lanes of all ones or zeros packed to bytes.
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(
            _mm_packs_epi32(ascii[0], ascii[1]), _mm_packs_epi32(ascii[2], ascii[3]))));
        return mask == 0xFFFFu ? 16 : __builtin_ctz(~mask);
    }

    // Copies 16 values below 0x80 as bytes.
    static void copy16(const UTF32* source, UTF8* target)
    {
        __m128i v[4];
        for (int i = 0; i < 4; ++i) {
            v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 4 * i));
        }
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(target),
            _mm_packus_epi16(_mm_packs_epi32(v[0], v[1]), _mm_packs_epi32(v[2], v[3])));
    }

    static void copy16(const UTF8* source, UTF16* target) { nox::sse2Widen16(source, target); }

    static void copy16(const UTF16* source, UTF8* target) { nox::sse2Narrow16(source, target); }

    static void copy16(const UTF8* source, UTF32* target)
    {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
        const __m128i zero = _mm_setzero_si128();
        const __m128i lo = _mm_unpacklo_epi8(v, zero);
        const __m128i hi = _mm_unpackhi_epi8(v, zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target), _mm_unpacklo_epi16(lo, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 4), _mm_unpackhi_epi16(lo, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 8), _mm_unpacklo_epi16(hi, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 12), _mm_unpackhi_epi16(hi, zero));
    }
};

#endif

} // namespace

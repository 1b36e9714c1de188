// codepage_avx2.inl - code-page kernels for AVX2, on top of the SSE2 kernels. Included by
// NoxUCharConverter.cpp.
//
// Runs of bytes that map to themselves (all of LATIN_1 but its 0) are widened 32 at a time, and
// runs of units that map to themselves narrowed 32 at a time, after one compare a register
// finds the first byte or unit that does not; what is left of a run takes the SSE2 kernels.

namespace {

#if defined(NOX_X86)

// Mask of the bytes among the 32 at src that do not map to themselves: 0 bytes, and bytes from
// 0x80 below selfFirst (0x80-0x100).
NOX_TARGET_AVX2 inline unsigned s_unselfBytes32(__m256i v, unsigned selfFirst)
{
    const __m256i zero = _mm256_setzero_si256();
    auto mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, zero)));
    if (selfFirst > 0x80) {
        const __m256i offset = _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(0x80)));
        const __m256i beyond =
            _mm256_subs_epu8(offset, _mm256_set1_epi8(static_cast<char>(selfFirst - 0x81)));
        mask |= static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(beyond, zero)));
    }
    return mask;
}

// Mask (two bits a unit) of the units among 16 outside 0x01-0x7F and first-last.
NOX_TARGET_AVX2 inline unsigned s_unselfUnits16(__m256i v, UChar first, UChar last)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ascii = _mm256_cmpeq_epi16(
        _mm256_subs_epu16(_mm256_sub_epi16(v, _mm256_set1_epi16(1)), _mm256_set1_epi16(0x7E)),
        zero);
    const __m256i self = _mm256_cmpeq_epi16(
        _mm256_subs_epu16(_mm256_sub_epi16(v, _mm256_set1_epi16(static_cast<short>(first))),
                          _mm256_set1_epi16(static_cast<short>(last - first))),
        zero);
    return ~static_cast<unsigned>(_mm256_movemask_epi8(_mm256_or_si256(ascii, self)));
}

NOX_TARGET_AVX2 inline void s_widenBytes32(__m256i v, UChar* out)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16),
                        _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1)));
}

// True when no unit among the 32 in a and b is 0 or above 0xFF: the units that map to
// themselves when they are 0x01-0xFF (LATIN_1).
NOX_TARGET_AVX2 inline bool s_allLatin1(__m256i a, __m256i b)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i none = _mm256_cmpeq_epi16(_mm256_min_epu16(a, b), zero);
    return _mm256_testz_si256(_mm256_or_si256(a, b),
                              _mm256_set1_epi16(static_cast<short>(0xFF00))) &&
           _mm256_testz_si256(none, none);
}

struct NoxAvx2Kernels : NoxSse2Kernels {
    static constexpr size_t kReach = 32;

    NOX_TARGET_AVX2 static size_t widenSelf(const unsigned char* src, size_t max, UChar* out,
                                            unsigned selfFirst)
    {
        size_t i = 0;
        // Counting alone: the SSE2 kernel finds the end of the run with memchr.
        if (out != nullptr) {
            // Two registers a round while both map to themselves.
            while (max - i >= 64) {
                const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
                const __m256i w =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 32));
                if ((s_unselfBytes32(v, selfFirst) | s_unselfBytes32(w, selfFirst)) != 0) {
                    break;
                }
                s_widenBytes32(v, out + i);
                s_widenBytes32(w, out + i + 32);
                i += 64;
            }
            while (max - i >= 32) {
                const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
                const unsigned unself = s_unselfBytes32(v, selfFirst);
                if (unself != 0) {
                    max = i + static_cast<size_t>(__builtin_ctz(unself));
                    break;
                }
                s_widenBytes32(v, out + i);
                i += 32;
            }
        }
        return i + NoxSse2Kernels::widenSelf(src + i, max - i, out != nullptr ? out + i : nullptr,
                                             selfFirst);
    }

    NOX_TARGET_AVX2 static size_t narrowSelf(const UChar* src, size_t max, unsigned char* out,
                                             UChar first, UChar last)
    {
        size_t i = 0;
        if (first == 0x80 && last == 0xFF) {
            while (max - i >= 32) {
                const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
                const __m256i b =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 16));
                if (!s_allLatin1(a, b)) {
                    break;
                }
                if (out != nullptr) {
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                                        _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
                }
                i += 32;
            }
        }
        while (max - i >= 32) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 16));
            const uint64_t unself =
                s_unselfUnits16(a, first, last) | uint64_t{s_unselfUnits16(b, first, last)} << 32;
            if (unself != 0) {
                max = i + static_cast<size_t>(__builtin_ctzll(unself)) / 2;
                break;
            }
            if (out != nullptr) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                                    _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
            }
            i += 32;
        }
        return i + NoxSse2Kernels::narrowSelf(src + i, max - i, out != nullptr ? out + i : nullptr,
                                              first, last);
    }
};

#endif

} // namespace

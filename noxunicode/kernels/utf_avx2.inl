// utf_avx2.inl - UTF-8 to UTF-16 in 32-byte steps for AVX2. Included by ConvertUTF.cpp.
//

namespace {

#if defined(NOX_X86)

// Shifts the bytes of cur up by k (1 to 3) places, filling in the last bytes of prev.
NOX_TARGET_AVX2 inline __m256i s_shiftIn(__m256i cur, __m256i prev, int k)
{
    const __m256i joined = _mm256_permute2x128_si256(prev, cur, 0x21);
    switch (k) {
    case 1:
        return _mm256_alignr_epi8(cur, joined, 15);
    case 2:
        return _mm256_alignr_epi8(cur, joined, 14);
    default:
        return _mm256_alignr_epi8(cur, joined, 13);
    }
}

NOX_TARGET_AVX2 inline __m256i s_isTrail256(__m256i v)
{
    return _mm256_cmpgt_epi8(_mm256_set1_epi8(-64), v);
}

// UTF-8 to UTF-16, 32 bytes per step: the checks of Utf8ToUtf16Block made on 32 bytes at
// once, the decoding done by halves. Anything irregular goes to Utf8ToUtf16Block::window.
struct Utf8ToUtf16Block32 {
    using Src = UTF8;
    using Dst = UTF16;
    static constexpr int stageSize = 256;
    static constexpr int reach = 32;
    static constexpr int minSource = 48;

    // Leads of the last regular step, shifted into the next to find its trail bytes.
    __m256i prevLead{};
    __m256i prevLead3{};
    __m256i prevLead4{};

    // Moves past the trail bytes of a character that the last step decoded.
    NOX_TARGET_AVX2 void settle(const UTF8*& source)
    {
        Utf8ToUtf16Block last;
        last.prevLead = _mm256_extracti128_si256(prevLead, 1);
        last.prevLead3 = _mm256_extracti128_si256(prevLead3, 1);
        last.prevLead4 = _mm256_extracti128_si256(prevLead4, 1);
        last.settle(source);
        prevLead = _mm256_setzero_si256();
        prevLead3 = _mm256_setzero_si256();
        prevLead4 = _mm256_setzero_si256();
    }

    NOX_TARGET_AVX2 bool step(const UTF8*& s, const UTF8* /*sourceEnd*/, UTF16*& t)
    {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
        if (_mm256_movemask_epi8(b) == 0) {
            // Trail bytes owed from the last step would not be ASCII.
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(t),
                                _mm256_cvtepu8_epi16(_mm256_castsi256_si128(b)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + 16),
                                _mm256_cvtepu8_epi16(_mm256_extracti128_si256(b, 1)));
            s += 32;
            t += 32;
            prevLead = _mm256_setzero_si256();
            prevLead3 = _mm256_setzero_si256();
            prevLead4 = _mm256_setzero_si256();
            return true;
        }
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 1));
        const __m256i next2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 2));
        const __m256i next3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 3));
        // The classes of the two halves, each with the bytes that follow it.
        const ByteClasses lo = s_classify(_mm256_castsi256_si128(b), _mm256_castsi256_si128(next));
        const ByteClasses hi =
            s_classify(_mm256_extracti128_si256(b, 1), _mm256_extracti128_si256(next, 1));
        const __m256i trail = _mm256_set_m128i(hi.trail, lo.trail);
        const __m256i lead = _mm256_set_m128i(hi.lead, lo.lead);
        const __m256i lead3 = _mm256_set_m128i(hi.lead3, lo.lead3);
        const __m256i lead4 = _mm256_set_m128i(hi.lead4, lo.lead4);
        const __m256i stop = _mm256_set_m128i(hi.stop, lo.stop);
        // Every trail byte belongs to a lead before it, every lead has its trail bytes,
        // and no lead of four bytes sits at the end of a half, whose decoding would leave
        // its low surrogate to the other half.
        const __m256i want = _mm256_or_si256(
            _mm256_or_si256(s_shiftIn(lead, prevLead, 1), s_shiftIn(lead3, prevLead3, 2)),
            s_shiftIn(lead4, prevLead4, 3));
        const __m256i missing =
            _mm256_or_si256(_mm256_or_si256(_mm256_andnot_si256(s_isTrail256(next), lead),
                                            _mm256_andnot_si256(s_isTrail256(next2), lead3)),
                            _mm256_andnot_si256(s_isTrail256(next3), lead4));
        const __m256i halfEnd = _mm256_srli_si256(lead4, 15);
        const __m256i wrong = _mm256_or_si256(_mm256_or_si256(_mm256_xor_si256(want, trail), stop),
                                              _mm256_or_si256(missing, halfEnd));
        if (!_mm256_testz_si256(wrong, wrong)) {
            settle(s);
            return Utf8ToUtf16Block::window(s, t);
        }
        const bool two = !_mm256_testc_si256(lead3, lead);
        const bool three = !_mm256_testz_si256(lead3, lead3);
        const bool four = !_mm256_testz_si256(lead4, lead4);
        const unsigned lead4Bits = static_cast<unsigned>(_mm256_movemask_epi8(lead4));
        const unsigned starts =
            ~static_cast<unsigned>(_mm256_movemask_epi8(trail)) | (lead4Bits << 1);
        s_decodeWindow(_mm256_castsi256_si128(b), _mm256_castsi256_si128(next),
                       _mm256_castsi256_si128(next2), lo.lead3, lo.lead4, starts & 0xFFFF, two,
                       three, four, t);
        s_decodeWindow(_mm256_extracti128_si256(b, 1), _mm256_extracti128_si256(next, 1),
                       _mm256_extracti128_si256(next2, 1), hi.lead3, hi.lead4, starts >> 16, two,
                       three, four, t);
        prevLead = lead;
        prevLead3 = lead3;
        prevLead4 = lead4;
        s += 32;
        return true;
    }
};

NOX_TARGET_AVX2 void s_bulkUtf8ToUtf16Avx2(const UTF8*& source, const UTF8* sourceEnd,
                                           UTF16*& target, UTF16* targetEnd)
{
    s_bulkStaged<Utf8ToUtf16Block32>(source, sourceEnd, target, targetEnd);
    s_bulkStaged<Utf8ToUtf16Block>(source, sourceEnd, target, targetEnd);
    s_bulkFromUtf8<NoxSse2Ascii>(source, sourceEnd, target, targetEnd);
}

#endif

} // namespace

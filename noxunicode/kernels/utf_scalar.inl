// utf_scalar.inl - the UTF bulk steps without intrinsics, and the per-character pieces that
// the vector kernels fall back on. Included by ConvertUTF.cpp.
//
// A bulk step converts a run of characters that every mode treats alike (no surrogate form,
// nothing out of range) while a whole character and its room are certain; it writes each unit
// once, never past the character it belongs to, and leaves everything unusual, and the last
// few units before either end, to the exact per-character step. Runs of ASCII are copied 16
// units at a time through the policy A: one at a time here (NoxPlainAscii), with SSE2 one
// level up (NoxSse2Ascii, utf_sse2.inl). Decoding adds the raw bytes of a sequence and removes
// the marker bits with one mask each; encoding writes each length without a loop.

namespace {

// ASCII runs one unit at a time, for the scalar level.
struct NoxPlainAscii {
    // Number of leading units below 0x80 among the 16 at p (16 when all are).
    template <typename Unit> static int prefix(const Unit* p)
    {
        int n = 0;
        while (n < 16 && p[n] < 0x80) {
            ++n;
        }
        return n;
    }

    // Copies 16 ASCII units, widening or narrowing them.
    template <typename Src, typename Dst> static void copy16(const Src* source, Dst* target)
    {
        for (int i = 0; i < 16; ++i) {
            target[i] = static_cast<Dst>(source[i]);
        }
    }
};

// Copies the ASCII run at source, at least one unit, as far as 16 units go; returns false,
// copying nothing, when fewer than 16 units or 16 units of room remain.
template <class A, typename Src, typename Dst>
inline bool s_copyAscii(const Src*& source, const Src* sourceEnd, Dst*& target, Dst* targetEnd)
{
    if (sourceEnd - source < 16 || targetEnd - target < 16) {
        return false;
    }
    const int n = A::prefix(source);
    if (n == 16) {
        A::copy16(source, target);
    } else {
        for (int i = 0; i < n; ++i) {
            target[i] = static_cast<Dst>(source[i]);
        }
    }
    source += n;
    target += n;
    return true;
}

inline bool s_isTrail(UTF32 byte)
{
    return (byte & 0xC0) == 0x80;
}

// Decodes one well-formed UTF-8 character that no mode judges (no surrogate form) and
// stores it; false, with nothing done, at anything else. Four readable bytes and two units
// of room must be certain.
template <typename Dst> inline bool s_stepFromUtf8(const UTF8*& source, Dst*& target)
{
    const UTF32 b0 = source[0];
    if (b0 < 0x80) {
        *target++ = static_cast<Dst>(b0);
        ++source;
        return true;
    }
    const UTF32 b1 = source[1];
    if (b0 < 0xE0) {
        if (b0 < 0xC2 || !s_isTrail(b1)) {
            return false;
        }
        *target++ = static_cast<Dst>(((b0 & 0x1F) << 6) | (b1 & 0x3F));
        source += 2;
        return true;
    }
    const UTF32 b2 = source[2];
    if (b0 < 0xF0) {
        const UTF32 ch = ((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
        // Excludes overlong forms and the surrogate forms, which the modes judge.
        if (!s_isTrail(b1) || !s_isTrail(b2) || ch < 0x800 || s_isSurrogate(ch)) {
            return false;
        }
        *target++ = static_cast<Dst>(ch);
        source += 3;
        return true;
    }
    const UTF32 b3 = source[3];
    const UTF32 ch = ((b0 & 0x07) << 18) | ((b1 & 0x3F) << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F);
    if (b0 > 0xF4 || !s_isTrail(b1) || !s_isTrail(b2) || !s_isTrail(b3) || ch < halfBase ||
        ch > maxLegalUtf32) {
        return false;
    }
    s_putSupplementary(ch, target);
    source += 4;
    return true;
}

// Bytes that s_stepFromUtf8 reads for a character that starts with `first`.
inline std::ptrdiff_t s_bytesRead(UTF32 first)
{
    return first < 0x80 ? 1 : first < 0xE0 ? 2 : first < 0xF0 ? 3 : 4;
}

// Well-formed UTF-8 of every length while two units of room remain: four bytes at a time while
// four remain, then each character whose bytes lie before sourceEnd, so that a short text
// needs no exact step at all.
template <class A, typename Dst>
inline __attribute__((always_inline)) void
s_fromUtf8Steps(const UTF8*& source, const UTF8* sourceEnd, Dst*& target, Dst* targetEnd)
{
    while (sourceEnd - source >= 4 && targetEnd - target >= 2) {
        if (*source < 0x80 && s_copyAscii<A>(source, sourceEnd, target, targetEnd)) {
            continue;
        }
        if (!s_stepFromUtf8(source, target)) {
            return;
        }
    }
    while (source < sourceEnd && targetEnd - target >= 2 &&
           s_bytesRead(*source) <= sourceEnd - source && s_stepFromUtf8(source, target)) {
    }
}

// The positions are copied into locals: stores of bytes may alias the caller's pointers, so
// the compiler would otherwise load and store them again around every unit written.
template <class A, typename Dst>
void s_bulkFromUtf8(const UTF8*& source, const UTF8* sourceEnd, Dst*& target, Dst* targetEnd)
{
    const UTF8* s = source;
    Dst* t = target;
    s_fromUtf8Steps<A>(s, sourceEnd, t, targetEnd);
    source = s;
    target = t;
}

// Reads one character or surrogate pair that no mode judges; false, with nothing done, at
// a surrogate that is not the first of a whole pair.
inline bool s_readUtf16Fast(const UTF16*& source, const UTF16* sourceEnd, UTF32& ch)
{
    ch = *source;
    if (s_isSurrogate(ch)) {
        if (ch > surHighEnd || sourceEnd - source < 2) {
            return false;
        }
        if (!s_isLowSurrogate(source[1])) {
            return false;
        }
        ch = s_combinePair(ch, source[1]);
        ++source;
    }
    ++source;
    return true;
}

// Writes a value up to 0x10FFFF that is no surrogate, with four bytes of room certain.
// Each branch has a constant length, so that its bytes are written without a loop.
inline void s_putUtf8Fast(UTF32 ch, UTF8*& target)
{
    if (ch < 0x80) {
        *target++ = static_cast<UTF8>(ch);
    } else if (ch < 0x800) {
        s_putUtf8(ch, 2, target);
        target += 2;
    } else if (ch < halfBase) {
        s_putUtf8(ch, 3, target);
        target += 3;
    } else {
        s_putUtf8(ch, 4, target);
        target += 4;
    }
}

// Characters and surrogate pairs, as long as four bytes of room remain; the last 15 units
// without looking for ASCII runs.
template <class A>
inline __attribute__((always_inline)) void
s_utf16ToUtf8Steps(const UTF16*& source, const UTF16* sourceEnd, UTF8*& target, UTF8* targetEnd)
{
    UTF32 ch = 0;
    while (sourceEnd - source >= 16 && targetEnd - target >= 4) {
        if (*source < 0x80 && s_copyAscii<A>(source, sourceEnd, target, targetEnd)) {
            continue;
        }
        if (!s_readUtf16Fast(source, sourceEnd, ch)) {
            return;
        }
        s_putUtf8Fast(ch, target);
    }
    while (source < sourceEnd && targetEnd - target >= 4) {
        if (*source < 0x80) {
            *target++ = static_cast<UTF8>(*source++);
            continue;
        }
        if (!s_readUtf16Fast(source, sourceEnd, ch)) {
            return;
        }
        s_putUtf8Fast(ch, target);
    }
}

// On local positions, as s_bulkFromUtf8.
template <class A>
void s_bulkUtf16ToUtf8(const UTF16*& source, const UTF16* sourceEnd, UTF8*& target, UTF8* targetEnd)
{
    const UTF16* s = source;
    UTF8* t = target;
    s_utf16ToUtf8Steps<A>(s, sourceEnd, t, targetEnd);
    source = s;
    target = t;
}

// Values that need no judgement, as long as four bytes of room remain. On local positions, as
// s_bulkFromUtf8: the byte stores could otherwise alias the caller's pointers.
template <class A>
void s_bulkUtf32ToUtf8(const UTF32*& source, const UTF32* sourceEnd, UTF8*& target, UTF8* targetEnd)
{
    const UTF32* s = source;
    UTF8* t = target;
    while (s < sourceEnd && targetEnd - t >= 4 && !s_isRefusedUtf32(*s)) {
        // ASCII four values at once where four follow, with one test for the four; a run that
        // goes on for four more then takes blocks of 16 while all 16 are ASCII and fit, and the
        // ASCII before the first other value (text with short runs seldom tries one).
        if (*s < 0x80 && sourceEnd - s >= 4 && (s[1] | s[2] | s[3]) < 0x80) {
            t[0] = static_cast<UTF8>(s[0]);
            t[1] = static_cast<UTF8>(s[1]);
            t[2] = static_cast<UTF8>(s[2]);
            t[3] = static_cast<UTF8>(s[3]);
            s += 4;
            t += 4;
            while (sourceEnd - s >= 16 && targetEnd - t >= 16 &&
                   (s[0] | s[1] | s[2] | s[3]) < 0x80 &&
                   s_copyAscii<A>(s, sourceEnd, t, targetEnd)) {
            }
        } else {
            s_putUtf8Fast(*s++, t);
        }
    }
    source = s;
    target = t;
}

// Characters and surrogate pairs, as long as room remains.
template <class A>
void s_bulkUtf16ToUtf32(const UTF16*& source, const UTF16* sourceEnd, UTF32*& target,
                        UTF32* targetEnd)
{
    UTF32 ch = 0;
    while (source < sourceEnd && target < targetEnd && s_readUtf16Fast(source, sourceEnd, ch)) {
        *target++ = ch;
    }
}

// Values that need no judgement, as long as two units of room remain.
template <class A>
void s_bulkUtf32ToUtf16(const UTF32*& source, const UTF32* sourceEnd, UTF16*& target,
                        UTF16* targetEnd)
{
    while (source < sourceEnd && targetEnd - target >= 2 && !s_isRefusedUtf32(*source)) {
        const UTF32 ch = *source++;
        if (ch < halfBase) {
            *target++ = static_cast<UTF16>(ch);
        } else {
            s_putSupplementary(ch, target);
        }
    }
}

} // namespace

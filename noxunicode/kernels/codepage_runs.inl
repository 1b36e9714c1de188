// codepage_runs.inl - the run loops of the code-page kernels, one per direction stating the
// order of attempts once, instantiated per family and level; and the picker that lists which
// kernel set each level runs. Included by NoxUCharConverter.cpp.
//
// A run converts from the start of the input while its kernels can and returns what it
// consumed; the exact path takes over where it stops (a character without an entry, the
// 0 that ends the text, a full output, or a character cut by the end of the input).
//
// The input ends at its first 0 even where the caller's count says more, and a kernel must
// never read into a page that the text does not reach. A run therefore reads no further than
// the end of the page it stands in, and moves that limit one page on only when the rest of
// the page holds no 0 (nox::bytesToPageEnd, pageRestHasNoZero), as it nears the limit. Kernels
// that check page crossings themselves (kSelfRunsCrossPages) are given the whole input.
//
// Once fewer characters remain than a block kernel takes, they are converted one after another
// in one loop, without asking the block kernels again for each.

namespace {

#if !defined(NOX_ADDRESS_SANITIZER)

// How far a run may read: the count, and the pages the text is known to reach.
template <class K, typename Unit> class NoxReadLimit {
  public:
    NoxReadLimit(const Unit* src, size_t limit)
        : mSrc(src), mLimit(limit),
          mReadable(std::min(limit, nox::bytesToPageEnd(src) / sizeof(Unit))),
          // A unit that straddles two pages never moves the limit on.
          mAligned(reinterpret_cast<uintptr_t>(src) % sizeof(Unit) == 0)
    {
    }

    // Units readable from position i on; moves the limit a page on when i comes near it.
    size_t from(size_t i)
    {
        // A kernel that crosses pages itself took the text this far; the text reaches unit i
        // (none before it is 0), and so its page.
        if (i >= mReadable) {
            mReadable = i < mLimit
                            ? std::min(mLimit, i + nox::bytesToPageEnd(mSrc + i) / sizeof(Unit))
                            : mLimit;
        }
        if (mReadable - i < K::kReach && mReadable < mLimit && mAligned &&
            K::pageRestHasNoZero(mSrc + i, mSrc + mReadable)) {
            mReadable = std::min(mLimit, mReadable + nox::kPageSize / sizeof(Unit));
        }
        return mReadable - i;
    }

  private:
    const Unit* mSrc;
    size_t mLimit;
    size_t mReadable;
    bool mAligned;
};

#else

// Under AddressSanitizer the caller's object, not the page, is what may be read, and only the
// text tells where it ends: a run reads no further than the 0 it has found one unit at a time,
// a page at most ahead.
template <class K, typename Unit> class NoxReadLimit {
  public:
    NoxReadLimit(const Unit* src, size_t limit) : mSrc(src), mLimit(limit), mReadable(0)
    {
        mf_scan();
    }

    size_t from(size_t i)
    {
        if (mReadable - i < K::kReach && mReadable < mLimit && mSrc[mReadable] != 0) {
            mf_scan();
        }
        return mReadable - i;
    }

  private:
    void mf_scan()
    {
        const size_t end = std::min(mLimit, mReadable + nox::kPageSize / sizeof(Unit));
        while (mReadable < end && mSrc[mReadable] != 0) {
            ++mReadable;
        }
    }
    const Unit* mSrc;
    size_t mLimit;
    size_t mReadable;
};

#endif

// How far a run of units that map to themselves may read from position i: the whole input
// where the level's kernels check page crossings themselves (never under AddressSanitizer,
// where only the text seen may be read), else what the read limit allows.
template <class K> size_t s_selfReach(size_t whole, size_t ahead)
{
#if defined(NOX_ADDRESS_SANITIZER)
    (void)whole;
    return ahead;
#else
    return K::kSelfRunsCrossPages ? whole : ahead;
#endif
}

// Fewer units than this ahead: the run's tail, converted one character after another.
constexpr size_t s_tailLength = 16;

// The bytes before the first 0 among the first `limit` (SIZE_MAX: up to the 0).
inline size_t s_zeroFreeLength(const unsigned char* src, size_t limit)
{
    size_t retval = 0;
    if (limit == SIZE_MAX) {
        retval = std::strlen(reinterpret_cast<const char*>(src));
    } else {
        const void* zero = std::memchr(src, 0, limit);
        retval = zero != nullptr
                     ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - src)
                     : limit;
    }
    return retval;
}

// Converts code-page characters from src (at most `limit` bytes, the first not 0) while
// the kernels of K can, writing at most `room` units to out; with countBeyond it goes on
// counting past the room without writing. Stores the units in *produced, returns the bytes.
template <class K, nox::CodePageFamily F>
size_t s_runToU(const nox::CodePageTables& t, const unsigned char* src, size_t limit, UChar* out,
                size_t room, bool countBeyond, size_t* produced)
{
    constexpr bool oneByte =
        F == nox::CodePageFamily::SelfMapped || F == nox::CodePageFamily::SingleByte;
    NoxReadLimit<K, unsigned char> readLimit(src, limit);
    size_t i = 0;
    size_t n = 0;
    bool going = true;
    while (going) {
        const size_t ahead = readLimit.from(i);
        if (ahead == 0 || src[i] == 0 || (n >= room && !countBeyond)) {
            break;
        }
        const size_t readable = i + ahead;
        const size_t writable = n < room ? room - n : 0;
        // 0. Counting where every byte but 0 is its own unit: the text runs to its first 0
        // byte, which the C library finds without reading past it.
        if (F == nox::CodePageFamily::SelfMapped && writable == 0) {
            const size_t k = s_zeroFreeLength(src + i, limit - i);
            i += k;
            n += k;
            break;
        }
        // 1. Runs of bytes that map to themselves, a block at a time (where every byte but 0
        // does, runs of any length).
        if (F == nox::CodePageFamily::SelfMapped ||
            (t.asciiToU && ahead >= 16 && K::selfRunAhead(src + i, t.selfMappedToUFirst))) {
            const size_t reach = s_selfReach<K>(limit - i, ahead);
            const size_t max = std::min(reach, writable == 0 ? reach : writable);
            const size_t k =
                K::widenSelf(src + i, max, writable != 0 ? out + n : nullptr, t.selfMappedToUFirst);
            i += k;
            n += k;
            continue;
        }
        // 2. Single-byte code pages: a block of characters at a time where the level looks up
        // several bytes at once.
        constexpr size_t block = K::kByteBlock;
        if (F == nox::CodePageFamily::SingleByte && K::kHasByteToUnit && ahead >= block &&
            (n + block <= room || (countBeyond && n >= room))) {
            const size_t max = std::min(ahead, writable == 0 ? ahead : writable);
            const size_t k = K::toUBytes(t, src + i, max, writable != 0 ? out + n : nullptr);
            i += k;
            n += k;
            if (k != 0) {
                continue;
            }
        }
        // 3. Double-byte code pages: blocks split into characters at once.
        size_t k = 0;
        if (F == nox::CodePageFamily::DoubleByte && K::kHasPairs) {
            k = K::toUPairs(t, src + i, ahead, out, &n, room, countBeyond);
        }
        // 4. One-byte code pages: eight characters at a time while all have entries.
        if (oneByte) {
            k = s_toUSingleBlocks<K>(t, src + i, ahead, out, n, room, countBeyond);
            n += k;
        }
        i += k;
        // 5. Characters through the tables: one before the blocks are tried again, or all
        // that are left in the run's tail.
        const bool tail = readable - i < s_tailLength;
        bool more = true;
        while (more && i < readable && src[i] != 0 && (n < room || countBeyond)) {
            const size_t left = readable - i;
            const unsigned lead = src[i];
            uint32_t entry = t.toUSingle[lead];
            size_t length = 1;
            if (!oneByte && t.toUDouble[lead] != nullptr) {
                // A found record keeps the key's leading bytes that are not 0, so its length
                // follows from the input alone and the next position need not wait for the
                // table.
                entry = left >= 2 ? t.toUDouble[lead][src[i + 1]] : 0;
                length = left >= 2 && src[i + 1] != 0 ? 2 : 1;
            }
            going = entry != 0;
            if (going) {
                if (n < room) {
                    out[n] = nox::toUEntryUnit(entry);
                }
                ++n;
                i += length;
            }
            more = going && tail;
        }
    }
    *produced = n;
    return i;
}

// The blocks of one-byte characters of the family SingleByteGathered: 16 a step by gathers,
// then eight; `len` is at least 16. Out of line, so that its run loop stays as lean for short
// texts as the others.
template <class K>
__attribute__((noinline)) size_t s_fromUGatheredBlocks(const nox::CodePageTables& t,
                                                       const UChar* src, size_t len,
                                                       unsigned char* out)
{
    const size_t k = K::fromUBytes(t, src, len, out);
    return k != 0 ? k : s_fromUSingleBlocks<K>(t, src, len, out);
}

// Converts UTF-16 units from src (at most `limit`, the first not 0) while the kernels of K
// can, as s_runToU; stores the bytes in *produced and returns the units consumed.
template <class K, nox::CodePageFamily F>
size_t s_runFromU(const nox::CodePageTables& t, const UChar* src, size_t limit, unsigned char* out,
                  size_t room, bool countBeyond, size_t* produced)
{
    constexpr bool gathered = F == nox::CodePageFamily::SingleByteGathered;
    constexpr bool oneByte = F == nox::CodePageFamily::SingleByte || gathered;
    NoxReadLimit<K, UChar> readLimit(src, limit);
    size_t i = 0;
    size_t n = 0;
    bool going = true;
    while (going) {
        const size_t ahead = readLimit.from(i);
        if (ahead == 0 || src[i] == 0) {
            break;
        }
        const UChar value = src[i];
        const size_t writable = n < room ? room - n : 0;
        size_t k = 0;
        // 1. Runs of units that map to themselves, a block at a time; where the level's runs
        // take short texts too (masked steps), also a text shorter than a block that starts
        // with a unit that maps to itself, on pages whose upper half does too (in the tail of a
        // longer text, or where the letters map elsewhere, the runs are too short to pay).
        const bool shortSelf = K::kShortSelfRuns && i == 0 && ahead < 16 &&
                               t.selfMappedLast == 0xFF &&
                               (value < 0x80 || value >= t.selfMappedFirst);
        if (t.asciiFromU &&
            (shortSelf ||
             (ahead >= 16 && K::selfUnitsAhead(src + i, t.selfMappedFirst, t.selfMappedLast))) &&
            (writable != 0 || countBeyond)) {
            const size_t reach = s_selfReach<K>(limit - i, ahead);
            const size_t max = std::min(reach, writable == 0 ? reach : writable);
            k = K::narrowSelf(src + i, max, writable != 0 ? out + n : nullptr, t.selfMappedFirst,
                              t.selfMappedLast);
            n += k;
        }
        // 2. 32 units at a time where the level gathers.
        if (k == 0 && K::kGathers && t.unitBytes != nullptr) {
            k = K::fromUGather(t, src + i, ahead, out, &n, room, countBeyond && n >= room);
        }
        // 3. One-byte code pages: eight characters at a time while all map to one byte; where
        // the level gathers their bytes, 16 at a time first, also from ASCII on where the runs
        // of step 1 do not take it.
        if (k == 0 && oneByte && (value >= 0x80 || (gathered && !t.asciiFromU)) && ahead >= 8 &&
            (n + 8 <= room || (countBeyond && n >= room))) {
            const size_t len = n < room ? std::min(ahead, room - n) : ahead;
            unsigned char* const dst = n < room ? out + n : nullptr;
            k = gathered && len >= 16 ? s_fromUGatheredBlocks<K>(t, src + i, len, dst)
                                      : s_fromUSingleBlocks<K>(t, src + i, len, dst);
            n += k;
        }
        // 4. Other code pages: a tight loop over one- and two-byte characters while two bytes
        // of room remain.
        if (k == 0 && !oneByte) {
            k = s_fromUDoubleRun(t, src + i, ahead, out, n, room, countBeyond && n >= room, &n);
        }
        if (k != 0) {
            i += k;
            continue;
        }
        // 5. Characters through the tables: one before the blocks are tried again, or all
        // that are left in the run's tail.
        const size_t readable = i + ahead;
        const bool tail = ahead < s_tailLength;
        bool more = true;
        while (more && i < readable && src[i] != 0) {
            const UChar unit = src[i];
            const uint32_t entry = t.fromURows[unit >> 8][unit & 0xFFu];
            const size_t length = nox::fromUEntryLength(entry);
            going = entry != 0 && (n + length <= room || countBeyond);
            if (going) {
                for (size_t b = 0; n + length <= room && b < length; ++b) {
                    out[n + b] = nox::fromUEntryByte(entry, static_cast<unsigned>(b));
                }
                n += length;
                ++i;
            }
            more = going && tail;
        }
    }
    *produced = n;
    return i;
}

using NoxToURun = size_t (*)(const nox::CodePageTables&, const unsigned char*, size_t, UChar*,
                             size_t, bool, size_t*);
using NoxFromURun = size_t (*)(const nox::CodePageTables&, const UChar*, size_t, unsigned char*,
                               size_t, bool, size_t*);

// The runs of one kernel set, by family.
struct NoxCodePageRuns {
    NoxToURun toU[nox::kCodePageFamilies];
    NoxFromURun fromU[nox::kCodePageFamilies];
};

template <class K> constexpr NoxCodePageRuns s_runsOf()
{
    using F = nox::CodePageFamily;
    constexpr F gathered = K::kGathersBytes ? F::SingleByteGathered : F::SingleByte;
    return {{s_runToU<K, F::SelfMapped>, s_runToU<K, F::SingleByte>, s_runToU<K, F::DoubleByte>,
             s_runToU<K, F::General>, s_runToU<K, F::SingleByte>},
            {s_runFromU<K, F::SingleByte>, s_runFromU<K, F::SingleByte>, s_runFromU<K, F::General>,
             s_runFromU<K, F::General>, s_runFromU<K, gathered>}};
}

// The picker: the kernel set of each level, null for Exact (no kernels at all). A level
// without kernels of its own runs those of the level below.
const NoxCodePageRuns* s_codePageRuns(nox::KernelLevel level)
{
    static constexpr NoxCodePageRuns s_scalar = s_runsOf<NoxScalarKernels>();
#if defined(NOX_X86)
    static constexpr NoxCodePageRuns s_sse2 = s_runsOf<NoxSse2Kernels>();
    static constexpr NoxCodePageRuns s_avx2 = s_runsOf<NoxAvx2Kernels>();
    static constexpr NoxCodePageRuns s_avx512 = s_runsOf<NoxAvx512Kernels>();
    static const NoxCodePageRuns* const s_byLevel[nox::kKernelLevels] = {
        nullptr, &s_scalar, &s_sse2, &s_sse2, &s_avx2, &s_avx512};
#else
    static const NoxCodePageRuns* const s_byLevel[nox::kKernelLevels] = {
        nullptr, &s_scalar, &s_scalar, &s_scalar, &s_scalar, &s_scalar};
#endif
    return s_byLevel[static_cast<int>(level)];
}

} // namespace

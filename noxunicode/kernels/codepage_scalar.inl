// codepage_scalar.inl - the code-page kernels without intrinsics, and the scalar pieces that
// every level above Exact shares. Included by NoxUCharConverter.cpp.
//
// The tables hold each character's answer ready (codepage_tables.inl), so a character costs
// one or two loads instead of a binary search. Runs of bytes that map to themselves are
// widened, and runs of units that map to themselves narrowed, one at a time here and a block
// at a time at the vector levels. Blocks of eight one-byte characters are looked up together
// and written only when all eight have entries, which keeps the loop free of branches that
// mixed text would mispredict.

namespace {

// True when the unit lies in 0x01-0x7F or first-last.
inline bool s_selfMappedUnit(UChar unit, UChar first, UChar last)
{
    return static_cast<UChar>(unit - 1) < 0x7F || static_cast<UChar>(unit - first) <= last - first;
}

// True when the byte lies in 0x01-0x7F or selfFirst-0xFF.
inline bool s_selfMappedByte(unsigned char b, unsigned selfFirst)
{
    return b != 0 && (b < 0x80 || b >= selfFirst);
}

struct NoxScalarKernels {
    // Reads that a kernel of this level makes beyond its position, at most.
    static constexpr size_t kReach = 16;

    // True when the 16 bytes at src all map to themselves: worth a block run.
    static bool selfRunAhead(const unsigned char* src, unsigned selfFirst)
    {
        return std::all_of(src, src + 16,
                           [selfFirst](unsigned char b) { return s_selfMappedByte(b, selfFirst); });
    }

    // Widens the leading bytes of src that map to themselves; writes exactly the units it
    // accepts (none with a null out) and returns their count, at most max.
    static size_t widenSelf(const unsigned char* src, size_t max, UChar* out, unsigned selfFirst)
    {
        size_t i = 0;
        for (; i < max && s_selfMappedByte(src[i], selfFirst); ++i) {
            if (out != nullptr) {
                out[i] = src[i];
            }
        }
        return i;
    }

    // True when the 8 units at src all map to themselves.
    static bool selfUnitsAhead(const UChar* src, UChar first, UChar last)
    {
        return std::all_of(src, src + 8, [first, last](UChar unit) {
            return s_selfMappedUnit(unit, first, last);
        });
    }

    // Narrows the leading units of src that map to themselves, as widenSelf.
    static size_t narrowSelf(const UChar* src, size_t max, unsigned char* out, UChar first,
                             UChar last)
    {
        size_t i = 0;
        for (; i < max && s_selfMappedUnit(src[i], first, last); ++i) {
            if (out != nullptr) {
                out[i] = static_cast<unsigned char>(src[i]);
            }
        }
        return i;
    }

    // True when no unit in [from, pageEnd) is 0.
    template <typename Unit> static bool pageRestHasNoZero(const Unit* from, const Unit* pageEnd)
    {
        return std::find(from, pageEnd, Unit{0}) == pageEnd;
    }

    // Whether widenSelf and narrowSelf may be given the whole input rather than the rest of a
    // page: kernels that check page crossings themselves.
    static constexpr bool kSelfRunsCrossPages = false;

    // Whether narrowSelf also takes texts shorter than a block (masked steps), so that the run
    // loops try it for fewer than 16 units ahead.
    static constexpr bool kShortSelfRuns = false;

    // Kernels that only some levels have; the run loops skip them where a level has none.
    static constexpr bool kHasByteToUnit = false;
    static constexpr size_t kByteBlock = 64; // the bytes toUBytes converts a step
    static size_t toUBytes(const nox::CodePageTables&, const unsigned char*, size_t, UChar*)
    {
        return 0;
    }
    static constexpr bool kHasPairs = false;
    static size_t toUPairs(const nox::CodePageTables&, const unsigned char*, size_t, UChar*,
                           size_t*, size_t, bool)
    {
        return 0;
    }
    // One-byte code pages from UTF-16 where the level gathers the units' bytes (the family
    // SingleByteGathered; else 0: the blocks of eight).
    static constexpr bool kGathersBytes = false;
    static size_t fromUBytes(const nox::CodePageTables&, const UChar*, size_t, unsigned char*)
    {
        return 0;
    }
    static constexpr bool kGathers = false;
    static size_t fromUGather(const nox::CodePageTables&, const UChar*, size_t, unsigned char*,
                              size_t*, size_t, bool)
    {
        return 0;
    }
};

// Looks up the `count` one-byte characters at src and writes their units at out (unless out is
// null), up to the first byte without an entry or whose unit is 0, which is left to the exact
// path; returns the bytes converted. Each unit is read as the low half of its entry and stored
// at once: two loads, a store and a test a byte, where packing the units first cost twice the
// work.
inline size_t s_lookUpSingle(const nox::CodePageTables& t, const unsigned char* src, size_t count,
                             UChar* out)
{
    for (size_t k = 0; k < count; ++k) {
        const UChar unit = nox::toUEntryUnit(t.toUSingle[src[k]]);
        if (unit == 0) {
            return k;
        }
        if (out != nullptr) {
            out[k] = unit;
        }
    }
    return count;
}

// Converts one-byte characters eight at a time while they have entries and fit (or are only
// counted), up to the first byte without an entry; stops before a block of bytes that map to
// themselves, which the block runs take. Returns the bytes (and units) converted; out is
// written from out[n].
template <class K>
size_t s_toUSingleBlocks(const nox::CodePageTables& t, const unsigned char* src, size_t srcLen,
                         UChar* out, size_t n, size_t room, bool countBeyond)
{
    size_t i = 0;
    while (srcLen - i >= 8 && (n + i + 8 <= room || (countBeyond && n + i >= room))) {
        uint64_t bytes = 0;
        std::memcpy(&bytes, src + i, sizeof bytes);
        // Only a block of ASCII can start a run that maps to itself.
        if ((bytes & 0x8080808080808080ull) == 0 && t.asciiToU && srcLen - i >= 16 &&
            K::selfRunAhead(src + i, t.selfMappedToUFirst)) {
            break;
        }
        const size_t k = s_lookUpSingle(t, src + i, 8, n + i < room ? out + n + i : nullptr);
        i += k;
        if (k != 8) {
            break;
        }
    }
    return i;
}

// Converts blocks of eight units while each maps to one byte (no 0 unit among them), and stops
// where the block runs can take over; returns the units converted. out is null when only
// counting; otherwise it has room for srcLen bytes.
template <class K>
size_t s_fromUSingleBlocks(const nox::CodePageTables& t, const UChar* src, size_t srcLen,
                           unsigned char* out)
{
    size_t i = 0;
    while (srcLen - i >= 8 && (i == 0 || !t.asciiFromU ||
                               !K::selfUnitsAhead(src + i, t.selfMappedFirst, t.selfMappedLast))) {
        uint32_t entries[8];
        uint32_t any = 0;
        uint32_t all = ~0u;
        for (int k = 0; k < 8; ++k) {
            const UChar unit = src[i + k];
            entries[k] = t.fromURows[unit >> 8][unit & 0xFFu];
            any |= entries[k] | (unit == 0 ? nox::fromUEntry(0, 0xFF) : 0);
            all &= entries[k];
        }
        // Every entry must say length 1: the top bytes all 1 and none larger.
        if (nox::fromUEntryLength(all) != 1 || nox::fromUEntryLength(any) != 1) {
            break;
        }
        for (int k = 0; out != nullptr && k < 8; ++k) {
            out[i + static_cast<size_t>(k)] = nox::fromUEntryByte(entries[k], 0);
        }
        i += 8;
    }
    return i;
}

// Converts units while each is a one- or two-byte character and two bytes of room remain (or,
// with countOnly, counts them without writing); writes from out[n] and stores the new output
// length in *produced. Returns the units converted.
size_t s_fromUDoubleRun(const nox::CodePageTables& t, const UChar* src, size_t srcLen,
                        unsigned char* out, size_t n, size_t room, bool countOnly, size_t* produced)
{
    size_t i = 0;
    if (t.unitBytes != nullptr && t.unitBytesWidth == 2) {
        // One load a unit from the flat table of each unit's bytes, whose second byte is 0 for
        // a one-byte character; 0 for units the exact path decides, the unit 0 among them.
        const unsigned char* bytes = t.unitBytes;
        while (i < srcLen && (countOnly || n + 2 <= room)) {
            const unsigned char* entry = bytes + 2 * size_t{src[i]};
            const unsigned char first = entry[0];
            const unsigned char second = entry[1];
            if (first == 0) {
                break;
            }
            // Without a branch on the length, which mixed text would mispredict: the second
            // byte goes to the character's last byte first, which for a one-byte character is
            // the first byte, written next; nothing is written past the character.
            const size_t more = second != 0 ? 1 : 0;
            if (!countOnly) {
                out[n + more] = second;
                out[n] = first;
            }
            n += 1 + more;
            ++i;
        }
    } else {
        while (i < srcLen && (countOnly || n + 2 <= room)) {
            const UChar value = src[i];
            const uint32_t entry = t.fromURows[value >> 8][value & 0xFFu];
            const unsigned length = nox::fromUEntryLength(entry);
            if (value == 0 || length == 0 || length > 2) {
                break;
            }
            // As above: the last byte, then the first.
            if (!countOnly) {
                out[n + length - 1] = nox::fromUEntryByte(entry, 1);
                out[n] = nox::fromUEntryByte(entry, 0);
            }
            n += length;
            ++i;
        }
    }
    *produced = n;
    return i;
}

} // namespace

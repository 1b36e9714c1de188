// codepage_tables.inl - builds the tables that a code page's kernels read, once per table when
// its converters have taken their first characters one at a time (NoxUCharConversions.inl),
// from the converter's own lookups. Included by NoxUCharConverter.cpp.
//
// Every entry is what the binary-search lookup of its key returns, found by walking the
// sorted indexes once, so every preference among records (the regular mapping before
// fallbacks, the first record a scan meets) carries over to the kernels unchanged. An entry
// of 0 means the kernels leave the character to the exact path: the tables only hold one- and
// two-byte characters to Unicode and one- to three-byte characters from Unicode. The
// byte-lookup tables of single-byte code pages are built only where the processor has AVX2,
// the flat table of each unit's bytes for single-byte code pages only where it has AVX-512
// (double-byte code pages have it everywhere), whatever the kernel ceiling.

namespace {

// Has the system map all pages of a block that is about to be written whole, in one call:
// cheaper than a fault on each page at its first write. Pages already mapped stay as they
// are; where the system cannot, the pages come one fault at a time as before.
void s_mapPages(void* block, size_t bytes)
{
#ifdef MADV_POPULATE_WRITE
    const uintptr_t page = 4096;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(page - 1);
    if (block != nullptr && end >= begin + 4 * page) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
    }
#else
    static_cast<void>(block);
    static_cast<void>(bytes);
#endif
}

// The to-Unicode entry of a record found by the byte lookup.
uint32_t s_toUEntryOf(const NoxUCharMapping* record)
{
    uint32_t retval = 0;
    if (record != nullptr && record->getMBLen() >= 1 && record->getMBLen() <= 2) {
        retval = nox::toUEntry(record->getUnicode(), record->getMBLen());
    }
    return retval;
}

// The from-Unicode entry of a record found by the Unicode lookup.
uint32_t s_fromUEntryOf(const NoxUCharMapping* record)
{
    uint32_t retval = 0;
    if (record != nullptr && record->getMBLen() >= 1 && record->getMBLen() <= 3) {
        retval = nox::fromUEntry(record->getPackedMBCS(), record->getMBLen());
    }
    return retval;
}

// Bytes of the gather table: a gather reads four bytes at the last entry.
size_t s_unitBytesSize(size_t width)
{
    return 0xFFFF * width + 4;
}

// The rows of both directions live in one block that begins with the row of zeros; the
// byte-pair and unit-bytes tables in blocks of their own. Blocks come zero-filled from
// calloc, which writes no zeros into fresh pages from the system, so only the entries that
// are not 0 are written, and the unit bytes of rows that no record uses are never touched.
void s_releaseCodePageTables(nox::CodePageTables* tables)
{
    if (tables != nullptr) {
        std::free(tables->zeroRow);
        delete[] tables->byteToUnit;
        std::free(tables->pairUnits);
        std::free(tables->unitBytes);
        delete tables;
    }
}

// Releases the holder of a table's kernels' tables and the tables, if they were built.
void s_releaseKernelTables(NoxKernelTables* kernelTables)
{
    if (kernelTables != nullptr) {
        s_releaseCodePageTables(kernelTables->built.load(std::memory_order_acquire));
        delete kernelTables;
    }
}

size_t s_codePageTablesBytes(const nox::CodePageTables* tables)
{
    size_t retval = 0;
    if (tables != nullptr) {
        const size_t row = 256 * sizeof(uint32_t);
        retval = sizeof *tables + row;
        for (int i = 0; i < 256; ++i) {
            retval += tables->toUDouble[i] != nullptr ? row : 0;
            retval += tables->fromURows[i] != tables->zeroRow ? row : 0;
        }
        retval += tables->byteToUnit != nullptr ? 3 * 256 : 0;
        retval += tables->pairUnits != nullptr ? 0x10001 * sizeof(uint16_t) : 0;
        retval += tables->unitBytes != nullptr ? s_unitBytesSize(tables->unitBytesWidth) : 0;
    }
    return retval;
}

// Notes the ranges that map to themselves, one byte a character, so that whole blocks of
// them can be widened or narrowed at once: ASCII, all of 0x01-0xFF, or an upper range.
void s_findSelfMappedRanges(nox::CodePageTables& t, const NoxLeadByteTable& leadBytes)
{
    const uint32_t* toU = t.toUSingle;
    const uint32_t* fromU = t.fromURows[0];
    bool toUSame = true;
    bool fromUSame = true;
    for (uint32_t b = 1; b < 256; ++b) {
        const auto unit = static_cast<uint16_t>(b);
        toUSame = toUSame && leadBytes.bytes[b] == 1 && toU[b] == nox::toUEntry(unit, 1);
        fromUSame = fromUSame && fromU[b] == nox::fromUEntry(b, 1);
        if (b == 0x7F) {
            t.asciiToU = toUSame;
            t.asciiFromU = fromUSame;
        }
    }
    t.identityToU = toUSame;
    // The longest range of units up to 0xFF that map to the same bytes, beside ASCII
    // (0xA0-0xFF on Western code pages).
    uint32_t first = 0x100;
    while (t.asciiFromU && first > 0x80 && fromU[first - 1] == nox::fromUEntry(first - 1, 1)) {
        --first;
    }
    if (first < 0x100) {
        t.selfMappedFirst = static_cast<uint16_t>(first);
        t.selfMappedLast = 0xFF;
    }
    // To Unicode, beside ASCII, the bytes up to 0xFF whose units lie at one distance from them;
    // at distance 0 they are their own units (bytes selfMappedToUFirst-0xFF).
    const uint16_t delta = static_cast<uint16_t>(nox::toUEntryUnit(toU[0xFF]) - 0xFF);
    const auto atDelta = [&](uint32_t b) {
        const auto unit = static_cast<uint16_t>(b + delta);
        return leadBytes.bytes[b] == 1 && unit != 0 && toU[b] == nox::toUEntry(unit, 1);
    };
    uint32_t linearFirst = 0x100;
    while (t.asciiToU && linearFirst > 0x80 && atDelta(linearFirst - 1)) {
        --linearFirst;
    }
    t.linearToUFirst = static_cast<uint16_t>(linearFirst);
    t.linearToUDelta = delta;
    t.selfMappedToUFirst = static_cast<uint16_t>(delta == 0 ? linearFirst : 0x100);
    t.singleByteOnly = true;
    for (uint32_t b = 1; b < 256; ++b) {
        t.singleByteOnly = t.singleByteOnly && leadBytes.bytes[b] <= 1;
    }
}

// Single-byte code pages that are not the identity, where the processor shuffles or permutes
// bytes.
bool s_buildByteToUnit(nox::CodePageTables& t)
{
    bool retval = true;
    if (t.singleByteOnly && !t.identityToU && nox::cpuKernelLevel() >= nox::KernelLevel::AVX2) {
        t.byteToUnit = new (std::nothrow) unsigned char[3 * 256];
        retval = t.byteToUnit != nullptr;
    }
    for (uint32_t b = 0; t.byteToUnit != nullptr && b < 256; ++b) {
        const uint16_t unit = nox::toUEntryUnit(t.toUSingle[b]);
        t.byteToUnit[b] = static_cast<unsigned char>(unit);
        t.byteToUnit[256 + b] = static_cast<unsigned char>(unit >> 8);
        t.byteToUnit[512 + b] = t.toUSingle[b] != 0 ? 0xFF : 0;
    }
    return retval;
}

// Double-byte code pages whose lead bytes lie in at most two ranges, with only bytes that
// start no cached character between them, get the byte-pair table: a block then splits into
// characters at once, and its lookups do not wait on each other.
bool s_buildPairUnits(nox::CodePageTables& t, const NoxLeadByteTable& leadBytes)
{
    bool retval = true;
    const auto isLead = [&](uint32_t b) { return leadBytes.bytes[b] == 2; };
    // A byte inside a range that is no lead stops a block like an unmapped character.
    const auto isDead = [&](uint32_t b) { return !isLead(b) && t.toUSingle[b] == 0; };
    int ranges = 0;
    for (uint32_t b = 1; b < 256 && !t.singleByteOnly; ++b) {
        if (isLead(b)) {
            uint32_t last = b;
            for (uint32_t k = b; k < 256 && (isLead(k) || isDead(k)); ++k) {
                last = isLead(k) ? k : last;
            }
            if (ranges < 2) {
                t.leadRanges[2 * ranges] = static_cast<unsigned char>(b);
                t.leadRanges[2 * ranges + 1] = static_cast<unsigned char>(last);
            }
            ++ranges;
            b = last;
        }
    }
    if (ranges == 1) {
        t.leadRanges[2] = t.leadRanges[0];
        t.leadRanges[3] = t.leadRanges[1];
    }
    if ((ranges == 1 || ranges == 2) && nox::cpuKernelLevel() >= nox::KernelLevel::SSE2) {
        t.pairUnits = static_cast<uint16_t*>(std::calloc(0x10001, sizeof(uint16_t)));
        retval = t.pairUnits != nullptr;
        s_mapPages(t.pairUnits, 0x10001 * sizeof(uint16_t));
    }
    const auto inRanges = [&](uint32_t b) {
        return (b >= t.leadRanges[0] && b <= t.leadRanges[1]) ||
               (b >= t.leadRanges[2] && b <= t.leadRanges[3]);
    };
    // A one-byte character fills its whole row, whatever byte follows it; 0 entries (and the
    // 0 byte as second byte) stop a block.
    for (uint32_t b = 1; t.pairUnits != nullptr && b < 256; ++b) {
        uint16_t* const row = t.pairUnits + (b << 8);
        if (isLead(b)) {
            const uint32_t* const entries = t.toUDouble[b];
            for (uint32_t second = 1; second < 256; ++second) {
                const uint32_t entry = entries[second];
                row[second] = nox::toUEntryHasLength(entry, 2) ? nox::toUEntryUnit(entry) : 0;
            }
        }
        if (!inRanges(b) && nox::toUEntryHasLength(t.toUSingle[b], 1)) {
            std::fill(row, row + 256, nox::toUEntryUnit(t.toUSingle[b]));
        }
    }
    return retval;
}

// Each unit's one or two bytes (double-byte code pages: one load a unit on every processor)
// or, where the processor gathers, each unit's byte (single-byte code pages); kept only where
// no byte of them is 0, so that the bytes alone tell the length.
bool s_buildUnitBytes(nox::CodePageTables& t)
{
    bool retval = true;
    const size_t width = t.singleByteOnly ? 1 : 2;
    // AVX2 gathers only for the family SingleByteGathered (see s_fromUFamily).
    const nox::KernelLevel level = nox::cpuKernelLevel();
    if (width == 2 || level >= nox::KernelLevel::AVX512 ||
        (level >= nox::KernelLevel::AVX2 && t.selfMappedLast <= 0x7F)) {
        t.unitBytes = static_cast<unsigned char*>(std::calloc(s_unitBytesSize(width), 1));
        t.unitBytesWidth = t.unitBytes != nullptr ? width : 0;
        retval = t.unitBytes != nullptr;
    }
    // Rows that no record uses stay 0; unit 0 never has bytes.
    for (uint32_t high = 0; t.unitBytes != nullptr && high < 256; ++high) {
        const uint32_t* const row = t.fromURows[high];
        unsigned char* const out = t.unitBytes + (high << 8) * width;
        for (uint32_t low = high == 0 ? 1 : 0; row != t.zeroRow && low < 256; ++low) {
            const uint32_t entry = row[low];
            const unsigned length = nox::fromUEntryLength(entry);
            const unsigned char first = nox::fromUEntryByte(entry, 0);
            const unsigned char second = nox::fromUEntryByte(entry, 1);
            // A table may hold two-byte records even where its lead bytes say one byte.
            const bool usable =
                first != 0 && (length == 1 || (length == 2 && width == 2 && second != 0));
            const uint32_t kept = usable ? entry : 0;
            out[low * width] = nox::fromUEntryByte(kept, 0);
            if (width == 2) {
                out[low * 2 + 1] = nox::fromUEntryByte(kept, 1);
            }
        }
    }
    return retval;
}

// The family of each direction, which picks its run loop.
nox::CodePageFamily s_toUFamily(const nox::CodePageTables& t)
{
    return t.identityToU            ? nox::CodePageFamily::SelfMapped
           : t.singleByteOnly       ? nox::CodePageFamily::SingleByte
           : t.pairUnits != nullptr ? nox::CodePageFamily::DoubleByte
                                    : nox::CodePageFamily::General;
}

nox::CodePageFamily s_fromUFamily(const nox::CodePageTables& t)
{
    // Western code pages, whose upper Latin-1 range maps to itself, meet few units that are not
    // in a run of their own: the blocks of eight serve them better than gathers of 16.
    return t.singleByteOnly && t.unitBytesWidth == 1 && t.selfMappedLast <= 0x7F
               ? nox::CodePageFamily::SingleByteGathered
           : t.singleByteOnly ? nox::CodePageFamily::SingleByte
                              : nox::CodePageFamily::General;
}

// Builds the tables from the two lookups, walking each sorted index once: forEachByteKey and
// forEachUnit call the function they are given with each key of their index and the record
// that the lookup of that key returns; a key without records has entry 0. Null when memory
// runs out, and then every character takes the exact path.
template <typename ForEachByteKey, typename ForEachUnit>
nox::CodePageTables* s_buildCodePageTables(const NoxLeadByteTable& leadBytes,
                                           const NoxUCharMapping* data, uint32_t dataLen,
                                           const ForEachByteKey& forEachByteKey,
                                           const ForEachUnit& forEachUnit)
{
    bool rowUsed[256] = {};
    for (uint32_t i = 0; i < dataLen; ++i) {
        rowUsed[data[i].getUnicode() >> 8] = true;
    }
    size_t rows = 1;
    for (uint32_t b = 0; b < 256; ++b) {
        rows += (leadBytes.bytes[b] == 2 ? 1 : 0) + (rowUsed[b] ? 1 : 0);
    }
    auto* t = new (std::nothrow) nox::CodePageTables();
    bool ok = t != nullptr;
    if (ok) {
        t->selfMappedFirst = 1;
        t->selfMappedLast = 0x7F;
        t->selfMappedToUFirst = 0x100;
        t->linearToUFirst = 0x100;
        t->zeroRow = static_cast<uint32_t*>(std::calloc(rows * 256, sizeof(uint32_t)));
        ok = t->zeroRow != nullptr;
        s_mapPages(t->zeroRow + 256, (rows - 1) * 256 * sizeof(uint32_t));
    }
    uint32_t* nextRow = ok ? t->zeroRow + 256 : nullptr;
    for (uint32_t first = 0; ok && first < 256; ++first) {
        if (leadBytes.bytes[first] == 2) {
            t->toUDouble[first] = nextRow;
            nextRow += 256;
        }
    }
    // A key of one byte fills the entry of a one-byte lead, or column 0 of a two-byte lead's
    // row (the lead followed by the 0 that ends the text); a key of two bytes fills its row.
    if (ok) {
        forEachByteKey([&](uint32_t key, const NoxUCharMapping* record) {
            const uint32_t first = key & 0xFFu;
            if (key < 0x100 && leadBytes.bytes[first] == 1) {
                t->toUSingle[first] = s_toUEntryOf(record);
            } else if (key < 0x10000 && leadBytes.bytes[first] == 2) {
                t->toUDouble[first][key >> 8] = s_toUEntryOf(record);
            }
        });
        // The 0 byte ends every input; it never has an entry.
        t->toUSingle[0] = 0;
    }
    for (uint32_t high = 0; ok && high < 256; ++high) {
        t->fromURows[high] = t->zeroRow;
        if (rowUsed[high]) {
            t->fromURows[high] = nextRow;
            nextRow += 256;
        }
    }
    if (ok) {
        forEachUnit([&](uint32_t unit, const NoxUCharMapping* record) {
            t->fromURows[unit >> 8][unit & 0xFFu] = s_fromUEntryOf(record);
        });
        s_findSelfMappedRanges(*t, leadBytes);
        ok = s_buildByteToUnit(*t) && s_buildPairUnits(*t, leadBytes) && s_buildUnitBytes(*t);
        t->toUFamily = s_toUFamily(*t);
        t->fromUFamily = s_fromUFamily(*t);
    }
    if (!ok) {
        s_releaseCodePageTables(t);
        t = nullptr;
    }
    return t;
}

} // namespace

// NoxUCharLoader.inl - a code page's table: the built-in Latin-1 table, reading a UCM file in
// one pass a piece at a time, sorting the two indexes, and sharing a built table between the
// converters that have the same file open. Included by NoxUCharConverter.cpp.
//
// A table is read-only once built, so the converters of one unchanged file can use the same
// arrays: the first open reads the file and offers its table; later opens, while any holder
// remains, find it by the path and the file's identity, size and times, and only count
// themselves in. A file changed since then is read again. The host serialises opening and
// releasing converters, so the list of shared tables needs no lock; conversions only read the
// arrays, which live until their last holder is released (the kernels' tables, built once the
// converters have converted a little, are published once through an atomic pointer). Nothing is
// shared while the debug switch is on: then every open reads its file and echoes its comment lines.

// The version of a file that a table was read from.
struct NoxFileIdentity {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;
};

struct NoxSharedTable {
    char* path; // null for the built-in Latin-1 table
    NoxFileIdentity identity;
    uint32_t holders;
    uint32_t dataLen;
    NoxUCharMapping* data;
    uint32_t* unicodeData;
    uint32_t* mbcsData;
    NoxLeadByteTable leadBytes;
    NoxKernelTables* kernelTables;
    NoxSharedTable* next;
};

namespace {

NoxSharedTable* s_sharedTables = nullptr;

bool s_sharing()
{
    return !NoxUCharConverter::s_debug;
}

bool s_sameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The identity of the open file `fd`; false for anything but a regular file, which is never
// shared.
bool s_identityOf(int fd, NoxFileIdentity* identity)
{
    struct stat status = {};
    const bool retval = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (retval) {
        *identity = {status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
    }
    return retval;
}

// The shared table of the file at `path` as it is now (null path: the built-in table).
NoxSharedTable* s_findShared(const char* path, const NoxFileIdentity* identity)
{
    NoxSharedTable* retval = s_sharing() ? s_sharedTables : nullptr;
    const auto matches = [&](const NoxSharedTable& shared) {
        bool same = path == nullptr || shared.path == nullptr;
        if (same) {
            same = path == shared.path;
        } else {
            const NoxFileIdentity& id = shared.identity;
            same = id.device == identity->device && id.inode == identity->inode &&
                   id.size == identity->size && s_sameTime(id.modified, identity->modified) &&
                   s_sameTime(id.changed, identity->changed) && std::strcmp(shared.path, path) == 0;
        }
        return same;
    };
    while (retval != nullptr && !matches(*retval)) {
        retval = retval->next;
    }
    return retval;
}

// Counts one holder out; the last one releases the table.
void s_releaseShared(NoxSharedTable* shared)
{
    --shared->holders;
    if (shared->holders == 0) {
        NoxSharedTable** link = &s_sharedTables;
        while (*link != shared) {
            link = &(*link)->next;
        }
        *link = shared->next;
        s_releaseKernelTables(shared->kernelTables);
        std::free(shared->data);
        delete[] shared->unicodeData;
        delete[] shared->mbcsData;
        std::free(shared->path);
        delete shared;
    }
}

// The order of an index as one number: the key, then 0 for the direction's regular mapping
// and 1 for any other record, so that the regular mapping comes first among equal keys.
struct NoxUnicodeOrder {
    uint64_t operator()(const NoxUCharMapping& record) const
    {
        return uint64_t{record.getUnicode()} << 1 | (record.isFromUnicodeDefault() != 0 ? 0 : 1);
    }
};

struct NoxBytesOrder {
    uint64_t operator()(const NoxUCharMapping& record) const
    {
        return uint64_t{record.getPackedMBCS()} << 1 | (record.isToUnicodeDefault() != 0 ? 0 : 1);
    }
};

// Fills `index` with the positions of the `count` records of `data` sorted by `order` so that
// records of equal order keep their order in `data` (the file's order): the order that the
// comparators of the records give with a stable merge sort, which is what the runtime's qsort
// was. A radix sort: a counting sort on each digit of the order from the lowest, over only the
// bits that differ between records, at most 11 bits a digit; the first pass takes the records
// in file order and each later one the positions in the order the pass before left them, so
// equal orders stay in file order. An index in order is the file's; one nearly in order
// (mapping files often list their records by Unicode value, with a fallback now and then before
// the regular mapping of its value) is sorted by insertion instead, and if that takes too long
// the radix sort runs after all. `spare` holds `count` slots, or is null to have them allocated
// only if a radix sort of more than one digit runs; false when there is no memory for them.
template <typename Order>
bool s_sortIndex(const NoxUCharMapping* data, uint32_t* index, uint32_t* spare, uint32_t count,
                 Order order)
{
    uint64_t any = 0;
    uint64_t every = ~uint64_t{0};
    uint32_t descents = 0;
    uint64_t previous = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t key = order(data[i]);
        descents += key < previous ? 1 : 0;
        previous = key;
        any |= key;
        every &= key;
    }
    // Bits above the highest that differs are the same in every record.
    int bits = 0;
    while (((any ^ every) >> bits) != 0) {
        ++bits;
    }
    bool inOrder = descents == 0;
    if (inOrder || descents < count / 32) {
        for (uint32_t i = 0; i < count; ++i) {
            index[i] = i;
        }
    }
    if (!inOrder && descents < count / 32) {
        // Among equal orders a record moves only past records after it in the file.
        uint64_t moves = 0;
        uint32_t i = 1;
        for (; i < count && moves <= count; ++i) {
            const uint32_t position = index[i];
            const uint64_t key = order(data[position]);
            uint32_t slot = i;
            while (slot > 0 && order(data[index[slot - 1]]) > key) {
                index[slot] = index[slot - 1];
                --slot;
            }
            index[slot] = position;
            moves += i - slot;
        }
        inOrder = i == count;
    }
    const int digits = inOrder ? 0 : (bits + 10) / 11;
    const int width = digits != 0 ? (bits + digits - 1) / digits : 0;
    const uint32_t mask = static_cast<uint32_t>((uint64_t{1} << width) - 1);
    std::unique_ptr<uint32_t[]> ownSpare;
    if (digits > 1 && spare == nullptr) {
        ownSpare.reset(new (std::nothrow) uint32_t[count]);
        spare = ownSpare.get();
    }
    const bool retval = digits <= 1 || spare != nullptr;
    // The counts of every digit (at most three: an order has at most 33 bits) from one pass, as
    // they do not depend on the order of the positions; the digits' counts lie side by side, so
    // that only as much of the stack is touched as they take.
    uint32_t counts[3 << 11];
    std::fill(counts, counts + (digits << width), 0);
    uint32_t* const counts1 = counts + (1 << width);
    uint32_t* const counts2 = counts + (2 << width);
    for (uint32_t i = 0; retval && digits != 0 && i < count; ++i) {
        const uint64_t key = order(data[i]);
        ++counts[key & mask];
        if (digits > 1) {
            ++counts1[(key >> width) & mask];
        }
        if (digits > 2) {
            ++counts2[(key >> (2 * width)) & mask];
        }
    }
    uint32_t next = 0;
    for (int v = 0; v < (digits << width); ++v) {
        // Each digit's counts become the slots where its values begin.
        next = (v & mask) == 0 ? 0 : next;
        const uint32_t n = counts[v];
        counts[v] = next;
        next += n;
    }
    // The passes alternate between the two arrays so that the last one fills `index`. Where the
    // bits that differ fit beside a position in a slot, the first pass writes them above each
    // position and the later passes read the digits from there (the bits above them, the same
    // in every record, are put back in); otherwise each pass reads the orders from the records.
    int positionBits = 0;
    while (count > 1 && ((count - 1) >> positionBits) != 0) {
        ++positionBits;
    }
    const bool packed = bits + positionBits <= 32;
    const uint64_t differing = (uint64_t{1} << bits) - 1;
    const uint32_t positionMask = static_cast<uint32_t>((uint64_t{1} << positionBits) - 1);
    for (int d = 0; retval && d < digits; ++d) {
        const int shift = d * width;
        uint32_t* const slots = counts + (d << width);
        const bool last = d + 1 == digits;
        uint32_t* const to = (digits - 1 - d) % 2 == 0 ? index : spare;
        const uint32_t* const from = to == index ? spare : index;
        if (d == 0) {
            for (uint32_t i = 0; i < count; ++i) {
                const uint64_t key = order(data[i]);
                to[slots[key & mask]++] =
                    packed && !last ? static_cast<uint32_t>((key & differing) << positionBits | i)
                                    : i;
            }
        } else if (packed) {
            const uint32_t same = static_cast<uint32_t>((any & ~differing) >> shift) & mask;
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t value = from[i];
                to[slots[((value >> positionBits >> shift) & mask) | same]++] =
                    last ? value & positionMask : value;
            }
        } else {
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t position = from[i];
                to[slots[(order(data[position]) >> shift) & mask]++] = position;
            }
        }
    }
    return retval;
}

// The file is read a piece of this size at a time; the buffer grows only for a longer line.
// A fresh page of the buffer costs twice, at the system's copy into it and at the first read
// here, which outweighs the further system calls of pieces smaller than the usual 64 KB.
const size_t s_pieceSize = 16 * 1024;

// Storage for `count` records that constructs none of them, so that the room not used costs
// no memory; null without memory. The records of a table live in such storage, which can
// grow and shrink in place, and are released with std::free (they own nothing).
static_assert(std::is_trivially_copyable<NoxUCharMapping>::value, "records move as bytes");

NoxUCharMapping* s_recordRoom(NoxUCharMapping* records, size_t count)
{
    return static_cast<NoxUCharMapping*>(std::realloc(records, count * sizeof(NoxUCharMapping)));
}

// The position after the last newline in [text, end), or `text` when there is none.
char* s_afterLastNewline(char* text, char* end)
{
    char* retval = end;
    while (retval > text && retval[-1] != '\n') {
        --retval;
    }
    return retval;
}

// The position after the newline that ends the line at `line`, or `end`. Reads eight bytes
// at a time where they lie before `end`: lines are short, and a call per line costs more.
char* s_lineEnd(char* line, char* end)
{
    const uint64_t ones = 0x0101010101010101u;
    const uint64_t highs = 0x8080808080808080u;
    char* p = line;
    bool found = false;
    while (!found && end - p >= 8) {
        uint64_t word = 0;
        std::memcpy(&word, p, 8);
        // The high bit of each byte that is 0 in x, the first in memory the lowest (x86-64).
        const uint64_t x = word ^ (ones * '\n');
        const uint64_t zeros = ~(((x & ~highs) + ~highs) | x) & highs;
        found = zeros != 0;
        p += found ? __builtin_ctzll(zeros) / 8 + 1 : 8;
    }
    while (!found && p < end) {
        found = *p == '\n';
        ++p;
    }
    return p;
}

bool s_beginsLikeLeadBytes(const char* line)
{
    return line[0] == '<' && line[1] == 'n';
}

} // namespace

bool NoxUCharConverter::mf_initAscii()
{
    bool retval = mf_adoptShared(nullptr, nullptr);
    if (!retval) {
        data = s_recordRoom(nullptr, 256);
        retval = data != nullptr;
        for (uint32_t i = 0; retval && i < 256; ++i) {
            new (data + i) NoxUCharMapping();
        }
    }
    if (retval && sharedTable == nullptr) {
        dataLen = 256;
        for (uint32_t i = 0; i < 256; ++i) {
            data[i].setFromUnicodeDefault();
            data[i].setToUnicodeDefault();
            data[i].setMBCS(i);
            data[i].setUnicode(static_cast<uint16_t>(i));
            leadBytes.bytes[i] = 1;
        }
        leadBytes.cur_min = 1;
        leadBytes.cur_max = 1;
        // Building now, before the caller would, lets later converters share the table.
        if (s_sharing() && mf_buildTable()) {
            mf_share(nullptr, nullptr);
        }
    }
    return retval;
}

bool NoxUCharConverter::mf_buildTable()
{
    // A shared table, or one built before it was offered for sharing, is complete.
    bool retval = unicodeData != nullptr;
    // A table has fewer than 2^31 records.
    if (!retval && data != nullptr && dataLen != 0 && dataLen <= INT32_MAX) {
        unicodeData = new (std::nothrow) uint32_t[dataLen];
        mbcsData = new (std::nothrow) uint32_t[dataLen];
        // The byte index, which mapping files mostly do not list in order, is sorted first,
        // with the Unicode index's room as its spare; the Unicode index, mostly nearly in
        // order, takes room of its own only if it needs the radix sort. No memory is touched
        // that the indexes do not keep.
        if (unicodeData != nullptr && mbcsData != nullptr) {
            s_mapPages(unicodeData, dataLen * sizeof *unicodeData);
            s_mapPages(mbcsData, dataLen * sizeof *mbcsData);
        }
        retval = unicodeData != nullptr && mbcsData != nullptr &&
                 s_sortIndex(data, mbcsData, unicodeData, dataLen, NoxBytesOrder()) &&
                 s_sortIndex(data, unicodeData, nullptr, dataLen, NoxUnicodeOrder());
        // Without memory for the holder the table works, on the exact path alone.
        if (retval) {
            kernelTables = new (std::nothrow) NoxKernelTables{{nullptr}, {false}, {0}};
        }
    }
    if (!retval) {
        dataLen = 0;
        std::free(data);
        delete[] unicodeData;
        delete[] mbcsData;
        data = nullptr;
        unicodeData = nullptr;
        mbcsData = nullptr;
    }
    return retval;
}

bool NoxUCharConverter::mf_loadDataFile(const char* ucmFilePath_in)
{
    bool retval = false;
    int fd = -1;
    if (ucmFilePath_in == nullptr || access(ucmFilePath_in, R_OK) != 0) {
        std::fprintf(stderr, "Cannot access '%s'\n",
                     ucmFilePath_in != nullptr ? ucmFilePath_in : "(null)");
        mf_initAscii();
    } else if ((fd = open(ucmFilePath_in, O_RDONLY | O_CLOEXEC)) < 0) {
        std::fprintf(stderr, "Open failed for '%s'\n", ucmFilePath_in);
        mf_initAscii();
    } else {
        NoxFileIdentity identity = {};
        const bool regular = s_identityOf(fd, &identity);
        retval = regular && mf_adoptShared(ucmFilePath_in, &identity);
        if (!retval) {
            retval = mf_readTable(fd, regular ? static_cast<size_t>(identity.size) : 0);
            // Building now, before the caller would, lets later converters share the table.
            if (retval && regular && s_sharing() && mf_buildTable()) {
                mf_share(ucmFilePath_in, &identity);
            }
        }
        if (retval) {
            ucmFilePath = strdup(ucmFilePath_in);
        }
        close(fd);
    }
    return retval;
}

// Reads the mapping lines of the open file `fd` into `data`, and its first lead-byte line
// that assigns a length into `leadBytes`; true when the file was read whole and gave a
// lead-byte line and at least one mapping. Otherwise `data` stays null and `dataLen` keeps, for
// the load message until the table is built, the number of mapping lines read or, without a
// lead-byte line, the number of lines that begin like one (parsed or not). A line that
// cannot be read (no memory for it, or a read error) ends the reading; the lines before it
// have been taken. `sizeHint` is the file's size, 0 when unknown.
bool NoxUCharConverter::mf_readTable(int fd, size_t sizeHint)
{
    // A mapping line has at least nine characters besides its newline ("U0041\\x4|"): room
    // for every record of a file of this size, more if it grows while it is read. Without
    // room the lines are still counted.
    size_t room = (sizeHint + 1) / 10 + 1;
    NoxUCharMapping* records = s_recordRoom(nullptr, room);
    // The usual mapping line has 20 characters: the pages of about as many records are
    // mapped at once (the room not used goes back at the end), never more than 1 MB, so
    // that a huge file of other lines does not take memory that it will not use.
    const size_t expected = std::min<size_t>(sizeHint / 20, 1024 * 1024 / sizeof(NoxUCharMapping));
    s_mapPages(records, std::min(room, expected) * sizeof(NoxUCharMapping));
    NoxUCharMapping probe;
    uint32_t count = 0;
    // Lines that begin like a mapping ("<U" or "U"), whether they parse or not: without a
    // lead-byte line the load message reports these.
    uint32_t mappingLike = 0;
    bool leadBytesRead = false;
    // The text read is followed by a 0 and the room that the usual line's parse may read.
    size_t capacity = s_pieceSize;
    char* buffer = new (std::nothrow) char[capacity + s_usualLineReach];
    s_mapPages(buffer, std::min(capacity, sizeHint));
    size_t used = 0;
    bool readWhole = buffer != nullptr;
    bool atEnd = false;
    while (readWhole && !atEnd) {
        if (used == capacity) {
            // One line fills the buffer: room for a longer one.
            char* larger = new (std::nothrow) char[2 * capacity + s_usualLineReach];
            readWhole = larger != nullptr;
            if (readWhole) {
                std::memcpy(larger, buffer, used);
                delete[] buffer;
                buffer = larger;
                capacity *= 2;
            }
        }
        ssize_t got = readWhole ? read(fd, buffer + used, capacity - used) : 0;
        while (got < 0 && errno == EINTR) {
            got = read(fd, buffer + used, capacity - used);
        }
        readWhole = readWhole && got >= 0;
        atEnd = got == 0;
        used += got > 0 ? static_cast<size_t>(got) : 0;
        std::memset(buffer + used, 0, s_usualLineReach);
        // The lines read whole: up to the last newline, and at the end of the file the rest.
        char* const end = !readWhole ? buffer
                          : atEnd    ? buffer + used
                                     : s_afterLastNewline(buffer, buffer + used);
        char* line = buffer;
        while (line < end) {
            if (records != nullptr && count == room) {
                NoxUCharMapping* more = s_recordRoom(records, 2 * room);
                if (more != nullptr) {
                    room *= 2;
                } else {
                    std::free(records);
                }
                records = more;
            }
            NoxUCharMapping* const slot =
                records != nullptr ? new (records + count) NoxUCharMapping() : &probe;
            const char* const usualEnd = parse_usual_ucm_line_padded(line, slot);
            char* lineEnd = nullptr;
            if (usualEnd != nullptr) {
                // The usual mapping line, read where it lies; its newline mostly follows at once.
                ++count;
                ++mappingLike;
                lineEnd = line + (usualEnd - line);
                lineEnd = *lineEnd == '\n' ? lineEnd + 1 : s_lineEnd(lineEnd, end);
            } else {
                // Any other line is handled as a string of its own: a 0 is put in after its
                // newline for the parse and taken out after it.
                lineEnd = s_lineEnd(line, end);
                const char saved = *lineEnd;
                *lineEnd = '\0';
                mappingLike += line[0] == 'U' || (line[0] == '<' && line[1] == 'U') ? 1 : 0;
                if (s_beginsLikeLeadBytes(line)) {
                    if (!leadBytesRead) {
                        leadBytesRead = parse_lead_bytes(line, &leadBytes) != 0;
                    }
                } else if (line[0] == '#' && line[1] != '\0') {
                    if (s_debug) {
                        std::fputs(line + 1, stderr);
                    }
                } else if (parse_ucm_line(line, slot) != 0) {
                    ++count;
                }
                *lineEnd = saved;
            }
            line = lineEnd;
        }
        // The part of a line read so far moves to the front, for the rest to follow it.
        used = static_cast<size_t>(buffer + used - end);
        std::memmove(buffer, end, used);
    }
    dataLen = leadBytesRead ? count : mappingLike;
    if (readWhole && count != 0 && leadBytesRead && records != nullptr) {
        // The room not used goes back; where it cannot, the records stay where they are.
        data = s_recordRoom(records, count);
        data = data != nullptr ? data : records;
        records = nullptr;
    }
    std::free(records);
    delete[] buffer;
    return data != nullptr;
}

bool NoxUCharConverter::mf_adoptShared(const char* ucmFilePath_in, const NoxFileIdentity* identity)
{
    NoxSharedTable* shared = s_findShared(ucmFilePath_in, identity);
    if (shared != nullptr) {
        ++shared->holders;
        sharedTable = shared;
        dataLen = shared->dataLen;
        data = shared->data;
        unicodeData = shared->unicodeData;
        mbcsData = shared->mbcsData;
        leadBytes = shared->leadBytes;
        kernelTables = shared->kernelTables;
    }
    return shared != nullptr;
}

// Offers this converter's built table to later opens of the same file (null: the built-in
// table); the table then belongs to the shared record. Only complete tables are offered, and
// without memory for the record the table stays this converter's own.
void NoxUCharConverter::mf_share(const char* ucmFilePath_in, const NoxFileIdentity* identity_in)
{
    NoxSharedTable* shared = unicodeData != nullptr ? new (std::nothrow) NoxSharedTable() : nullptr;
    char* path = shared != nullptr && ucmFilePath_in != nullptr ? strdup(ucmFilePath_in) : nullptr;
    if (shared != nullptr && (ucmFilePath_in == nullptr || path != nullptr)) {
        shared->path = path;
        if (identity_in != nullptr) {
            shared->identity = *identity_in;
        }
        shared->holders = 1;
        shared->dataLen = dataLen;
        shared->data = data;
        shared->unicodeData = unicodeData;
        shared->mbcsData = mbcsData;
        shared->leadBytes = leadBytes;
        shared->kernelTables = kernelTables;
        shared->next = s_sharedTables;
        s_sharedTables = shared;
        sharedTable = shared;
    } else {
        delete shared;
    }
}

void NoxUCharConverter::mf_releaseTable()
{
    if (sharedTable != nullptr) {
        s_releaseShared(sharedTable);
    } else {
        s_releaseKernelTables(kernelTables);
        std::free(data);
        delete[] unicodeData;
        delete[] mbcsData;
    }
    sharedTable = nullptr;
    kernelTables = nullptr;
    builtTables.store(nullptr, std::memory_order_relaxed);
    dataLen = 0;
    data = nullptr;
    unicodeData = nullptr;
    mbcsData = nullptr;
}

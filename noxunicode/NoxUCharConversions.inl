// NoxUCharConversions.inl - a code page's conversions: the exact per-character step of each
// direction, the kernels' tables (built once the table's converters have taken their first
// characters) and the run of the active kernel level that converts what it can before each
// exact step, and the counted-buffer and pointer-range forms, which differ only in what they
// do at a full output (NoxCountedOutput, NoxRangeOutput). Included by NoxUCharConverter.cpp.

// Builds the kernels' tables of this converter's table unless another converter of the table
// has. Converters of one table may convert at once in several threads: each that finds none
// builds them, the first to publish wins and the others release theirs.
const nox::CodePageTables* NoxUCharConverter::mf_buildKernelTables() const
{
    nox::CodePageTables* built = s_buildCodePageTables(
        leadBytes, data, dataLen,
        [this](const auto& visit) { s_forEachKey<s_byteRules>(data, mbcsData, dataLen, visit); },
        [this](const auto& visit) {
            s_forEachKey<s_unicodeRules>(data, unicodeData, dataLen, visit);
        });
    nox::CodePageTables* published = nullptr;
    const nox::CodePageTables* retval = built;
    if (built == nullptr) {
        kernelTables->unbuildable.store(true, std::memory_order_relaxed);
    } else if (!kernelTables->built.compare_exchange_strong(
                   published, built, std::memory_order_acq_rel, std::memory_order_acquire)) {
        s_releaseCodePageTables(built);
        retval = published;
    }
    return retval;
}

size_t NoxUCharConverter::tableBytes() const
{
    return s_codePageTablesBytes(
        kernelTables != nullptr ? kernelTables->built.load(std::memory_order_acquire) : nullptr);
}

// ---------------------------------------------------------------- conversions

namespace {

// The counted-buffer forms: write below `size`, go on counting past it, so that a call with
// no output sizes the result; a character that does not fit sets `fullCode` and is counted.
template <typename Unit> struct NoxCountedOutput {
    static constexpr bool kCountsBeyond = true;
    Unit* out;
    int size;
    int count;

    size_t room() const { return out != nullptr && size > count ? size_t(size - count) : 0; }
    Unit* at() const { return room() != 0 ? out + count : nullptr; }
    void ran(size_t produced, size_t room_in, int* errorReturn)
    {
        if (produced > room_in) {
            s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
        }
        count += static_cast<int>(produced);
    }
    template <typename Write>
    bool take(int length, int fullCode, int* errorReturn, const Write& write)
    {
        if (out != nullptr && static_cast<long long>(count) + length <= size) {
            write(out + count);
        } else {
            s_setError(errorReturn, fullCode);
        }
        count += length;
        return true;
    }
};

// The pointer-range forms: write before `end`, stop with NCNV_BUFFER_OVERFLOW at the first
// character that does not fit, leaving it unconsumed.
template <typename Unit> struct NoxRangeOutput {
    static constexpr bool kCountsBeyond = false;
    Unit* out;
    const Unit* end;

    size_t room() const { return out < end ? static_cast<size_t>(end - out) : 0; }
    Unit* at() const { return out; }
    void ran(size_t produced, size_t, int*) { out += produced; }
    template <typename Write> bool take(int length, int, int* errorReturn, const Write& write)
    {
        const bool retval = length <= end - out;
        if (retval) {
            write(out);
            out += length;
        } else {
            s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
        }
        return retval;
    }
};

// Input still to convert from its start: a count, or negative when only the 0 ends it.
ptrdiff_t s_consume(ptrdiff_t avail, size_t used)
{
    return avail < 0 ? avail : avail - static_cast<ptrdiff_t>(used);
}

// Starts the load of the level's run functions while the tables are found: the entry of the
// tables' family is read only after them, and a long text evicts both between calls.
inline void s_prefetchRuns(const NoxCodePageRuns* runs)
{
    if (runs != nullptr) {
        __builtin_prefetch(runs);
    }
}

// Lets the level's run (none at level Exact) convert what it can from `source`; returns the
// input it took.
template <typename Run, typename Unit, class Output>
size_t s_runAhead(Run run, const nox::CodePageTables* tables, const Unit* source, ptrdiff_t avail,
                  Output& output, int* errorReturn)
{
    size_t used = 0;
    if (run != nullptr) {
        size_t produced = 0;
        const size_t room = output.room();
        used = run(*tables, source, avail < 0 ? SIZE_MAX : static_cast<size_t>(avail), output.at(),
                   room, Output::kCountsBeyond, &produced);
        if (used != 0) {
            output.ran(produced, room, errorReturn);
        }
    }
    return used;
}

} // namespace

NoxCharStep NoxUCharConverter::mf_toUStep(const unsigned char* source, ptrdiff_t avail) const
{
    NoxCharStep retval = {NoxCharStep::Unmapped, nullptr, 0, 0};
    bool cutOff = false;
    const NoxUCharMapping* record = mf_lookupBytes(source, avail, &cutOff);
    if (cutOff) {
        retval.kind = NoxCharStep::CutOff;
    } else if (record == nullptr && !ncnv_getConvertBestEffort()) {
        s_reportUnmappedBytes(source, avail);
    } else if (record == nullptr) {
        // Best effort: the byte passes through as the unit of the same value.
        retval = {NoxCharStep::PassedThrough, nullptr, *source, 1};
    } else {
        if (s_charDebug) {
            s_debugNoxUCharMapping(record);
        }
        const int length = record->getMBLen();
        retval = {NoxCharStep::Mapped, record, record->getUnicode(), length};
        if (avail >= 0 && avail < length) {
            retval.kind = NoxCharStep::CutOff;
        }
    }
    return retval;
}

NoxCharStep NoxUCharConverter::mf_fromUStep(UChar value) const
{
    NoxCharStep retval = {NoxCharStep::Unmapped, nullptr, 0, 0};
    const NoxUCharMapping* record = mf_findUChar(value);
    // The mode is asked for every unit without a record, also one above 0xFF that it cannot
    // pass through, so that its first query (which fixes it) comes at the first unmapped unit.
    if (record == nullptr && (!ncnv_getConvertBestEffort() || value > 0xFF)) {
        s_reportUnmappedUnit(value);
    } else if (record == nullptr) {
        // Best effort: a unit up to 0xFF passes through as the byte of the same value.
        retval = {NoxCharStep::PassedThrough, nullptr, value, 1};
    } else {
        if (s_charDebug) {
            s_debugNoxUCharMapping(record);
        }
        retval = {NoxCharStep::Mapped, record, value, record->getMBLen()};
    }
    return retval;
}

// The kernels' tables, built now unless they are (null: the exact path).
inline const nox::CodePageTables* NoxUCharConverter::mf_kernelTables() const
{
    const nox::CodePageTables* retval = kernelTables->built.load(std::memory_order_acquire);
    if (retval == nullptr && !kernelTables->unbuildable.load(std::memory_order_relaxed)) {
        retval = mf_buildKernelTables();
    }
    return retval;
}

// What a conversion of `avail` units (negative: up to the 0) that `wanted` kernels runs with:
// the built tables; or none yet, and the characters it takes one at a time before they are
// built; or, when the table's count of such characters has reached the threshold or the text is
// long enough to reach it alone, the tables built now.
inline NoxKernelUse NoxUCharConverter::mf_kernelUse(bool wanted, ptrdiff_t avail) const
{
    NoxKernelUse retval = {nullptr, 0, 0};
    if (wanted) {
        retval.tables = builtTables.load(std::memory_order_acquire);
    }
    if (wanted && retval.tables == nullptr && kernelTables != nullptr) {
        retval.tables = kernelTables->built.load(std::memory_order_acquire);
        if (retval.tables == nullptr &&
            !kernelTables->unbuildable.load(std::memory_order_relaxed)) {
            const size_t seen = kernelTables->exactSteps.load(std::memory_order_relaxed);
            const size_t threshold = nox::kernelTablesAfter();
            const size_t left = seen < threshold ? threshold - seen : 0;
            if (left == 0 || (avail >= 0 && static_cast<size_t>(avail) >= left)) {
                retval.tables = mf_kernelTables();
            } else {
                retval.exactLeft = left;
                retval.exactGoal = threshold;
            }
        }
        if (retval.tables != nullptr) {
            builtTables.store(retval.tables, std::memory_order_release);
        }
    }
    return retval;
}

// Counts one character taken one at a time; true when that was the last before the tables,
// which are then in `use` (or null, when they cannot be built).
inline bool NoxUCharConverter::mf_tookExactStep(NoxKernelUse& use) const
{
    bool retval = false;
    if (use.exactLeft != 0 && --use.exactLeft == 0) {
        use.tables = mf_kernelTables();
        retval = use.tables != nullptr;
    }
    return retval;
}

// Adds the characters a conversion took one at a time to its table's count, unless the tables
// came meanwhile.
inline void NoxUCharConverter::mf_noteExactSteps(const NoxKernelUse& use) const
{
    if (use.exactLeft != 0) {
        kernelTables->exactSteps.store(use.exactGoal - use.exactLeft, std::memory_order_relaxed);
    }
}

// Converts code-page text from `source` until its end (`avail` bytes, or its 0 byte), a
// failure, or (pointer-range output) a full output; returns where it stopped.
template <class Output>
const unsigned char* NoxUCharConverter::mf_toU(const unsigned char* source, ptrdiff_t avail,
                                               Output& output, int* errorReturn) const
{
    // No kernels while every character is traced.
    const NoxCodePageRuns* runs = !s_charDebug ? s_codePageRuns(nox::activeKernelLevel()) : nullptr;
    s_prefetchRuns(runs);
    NoxKernelUse use = mf_kernelUse(runs != nullptr, avail);
    NoxToURun run =
        use.tables != nullptr ? runs->toU[static_cast<int>(use.tables->toUFamily)] : nullptr;
    bool going = true;
    while (going && avail != 0 && *source != 0) {
        const size_t used = s_runAhead(run, use.tables, source, avail, output, errorReturn);
        if (used != 0) {
            source += used;
            avail = s_consume(avail, used);
            continue;
        }
        const NoxCharStep step = mf_toUStep(source, avail);
        if (step.kind == NoxCharStep::CutOff) {
            s_setError(errorReturn, NCNV_INDEX_OUTOFBOUNDS);
            going = false;
        } else if (step.kind == NoxCharStep::Unmapped) {
            s_setError(errorReturn, NCNV_UNSUPPORTED);
            going = false;
        } else {
            // A passed-through byte that finds no room reports itself as out of bounds.
            const int fullCode = step.kind == NoxCharStep::PassedThrough ? NCNV_INDEX_OUTOFBOUNDS
                                                                         : NCNV_BUFFER_OVERFLOW;
            going = output.take(1, fullCode, errorReturn, [&](UChar* at) { *at = step.value; });
            if (going) {
                source += step.length;
                avail = s_consume(avail, static_cast<size_t>(step.length));
                if (mf_tookExactStep(use)) {
                    run = runs->toU[static_cast<int>(use.tables->toUFamily)];
                }
            }
        }
    }
    mf_noteExactSteps(use);
    return source;
}

// Converts UTF-16 text from `source` as mf_toU does code-page text.
template <class Output>
const UChar* NoxUCharConverter::mf_fromU(const UChar* source, ptrdiff_t avail, Output& output,
                                         int* errorReturn) const
{
    // No kernels while every character is traced.
    const NoxCodePageRuns* runs = !s_charDebug ? s_codePageRuns(nox::activeKernelLevel()) : nullptr;
    s_prefetchRuns(runs);
    NoxKernelUse use = mf_kernelUse(runs != nullptr, avail);
    NoxFromURun run =
        use.tables != nullptr ? runs->fromU[static_cast<int>(use.tables->fromUFamily)] : nullptr;
    bool going = true;
    while (going && avail != 0 && *source != 0) {
        const size_t used = s_runAhead(run, use.tables, source, avail, output, errorReturn);
        if (used != 0) {
            source += used;
            avail = s_consume(avail, used);
            continue;
        }
        const NoxCharStep step = mf_fromUStep(*source);
        if (step.kind == NoxCharStep::Unmapped) {
            s_setError(errorReturn, NCNV_UNSUPPORTED);
            going = false;
        } else {
            going =
                output.take(step.length, NCNV_BUFFER_OVERFLOW, errorReturn, [&](unsigned char* at) {
                    if (step.record != nullptr) {
                        auto room = static_cast<uint16_t>(step.length);
                        step.record->getMBCS(at, &room);
                    } else {
                        *at = static_cast<unsigned char>(step.value);
                    }
                });
            if (going) {
                ++source;
                avail = s_consume(avail, 1);
                if (mf_tookExactStep(use)) {
                    run = runs->fromU[static_cast<int>(use.tables->fromUFamily)];
                }
            }
        }
    }
    mf_noteExactSteps(use);
    return source;
}

int NoxUCharConverter::toUChars(UChar* out, int outSize, const char* source, int sourceSize,
                                int* errorReturn) const
{
    NoxCountedOutput<UChar> output = {out, outSize, 0};
    s_setError(errorReturn, NCNV_OK);
    if (source == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    } else {
        // A negative size means that only the 0 byte ends the input.
        mf_toU(reinterpret_cast<const unsigned char*>(source), sourceSize < 0 ? -1 : sourceSize,
               output, errorReturn);
    }
    // The terminator goes where it fits, whatever ended the conversion.
    if (out != nullptr && output.count < outSize) {
        out[output.count] = 0;
    }
    const int retval = output.count;
    return retval;
}

int NoxUCharConverter::fromUChars(char* out, int outSize, const UChar* source, int sourceSize,
                                  int* errorReturn) const
{
    NoxCountedOutput<unsigned char> output = {reinterpret_cast<unsigned char*>(out), outSize, 0};
    s_setError(errorReturn, NCNV_OK);
    if (source == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    } else {
        mf_fromU(source, sourceSize < 0 ? -1 : sourceSize, output, errorReturn);
    }
    if (out != nullptr && output.count < outSize) {
        out[output.count] = 0;
    }
    const int retval = output.count;
    return retval;
}

void NoxUCharConverter::toUnicode(UChar** outRef, const UChar* outEnd, const char** sourceRef,
                                  const char* sourceEnd, int* errorReturn) const
{
    if (outRef == nullptr || *outRef == nullptr || outEnd == nullptr || sourceRef == nullptr ||
        *sourceRef == nullptr || sourceEnd == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    } else {
        NoxRangeOutput<UChar> output = {*outRef, outEnd};
        const auto* start = reinterpret_cast<const unsigned char*>(*sourceRef);
        const auto* end = reinterpret_cast<const unsigned char*>(sourceEnd);
        const unsigned char* stop =
            mf_toU(start, start < end ? end - start : 0, output, errorReturn);
        // The terminator only for a 0 byte met inside the range, where it fits.
        if (stop < end && *stop == 0 && output.out < outEnd) {
            *output.out = 0;
        }
        *outRef = output.out;
        *sourceRef = reinterpret_cast<const char*>(stop);
    }
}

void NoxUCharConverter::fromUnicode(char** outRef, const char* outEnd, const UChar** sourceRef,
                                    const UChar* sourceEnd, int* errorReturn) const
{
    if (outRef == nullptr || *outRef == nullptr || outEnd == nullptr || sourceRef == nullptr ||
        *sourceRef == nullptr || sourceEnd == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    } else {
        NoxRangeOutput<unsigned char> output = {reinterpret_cast<unsigned char*>(*outRef),
                                                reinterpret_cast<const unsigned char*>(outEnd)};
        const UChar* start = *sourceRef;
        const UChar* stop =
            mf_fromU(start, start < sourceEnd ? sourceEnd - start : 0, output, errorReturn);
        if (stop < sourceEnd && *stop == 0 && output.out < output.end) {
            *output.out = 0;
        }
        *outRef = reinterpret_cast<char*>(output.out);
        *sourceRef = stop;
    }
}

int NoxUCharConverter::mf_mblen(const char* source, int maxBytes, int* errorReturn) const
{
    int retval = 0;
    const auto* src = reinterpret_cast<const unsigned char*>(source);
    if (src == nullptr) {
        retval = 0;
    } else if (maxBytes <= 0) {
        // Nothing may be read at all.
        s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
        retval = -1;
    } else if (*src == 0) {
        s_setError(errorReturn, NCNV_OK);
    } else {
        bool cutOff = false;
        const NoxUCharMapping* record = mf_lookupBytes(src, maxBytes, &cutOff);
        if (cutOff) {
            s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
            retval = -1;
        } else if (record == nullptr) {
            std::fprintf(stderr, "No mapping for character \\x%02X\n", *src);
            if (ncnv_getConvertBestEffort()) {
                retval = 1;
            } else {
                s_setError(errorReturn, NCNV_INVALID_CHAR);
                retval = -1;
            }
        } else if (record->getMBLen() > maxBytes) {
            s_setError(errorReturn, NCNV_BUFFER_OVERFLOW);
            retval = -1;
        } else {
            s_setError(errorReturn, NCNV_OK);
            retval = record->getMBLen();
        }
    }
    return retval;
}

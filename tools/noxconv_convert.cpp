// noxconv_convert.cpp - the conversion loop of noxconv.
#include "noxconv_convert.h"

#include <algorithm>
#include <cstring>

namespace noxconv {

namespace {

constexpr UChar s_replacementCharacter = 0xFFFD;

} // namespace

Pipeline::Pipeline(Decoder& decoder, Encoder& encoder, Output& output, OnError onError,
                   std::size_t chunkSize)
    : m_decoder(decoder), m_encoder(encoder), m_output(output), m_onError(onError),
      m_pivot(std::max<std::size_t>(chunkSize, 4))
{
}

int Pipeline::begin()
{
    std::string error;
    if (!m_output.append(m_encoder.prefix(), &error)) {
        message(error);
        return ExitTrouble;
    }
    return ExitOk;
}

int Pipeline::convert(Input& input, Progress& progress, std::uint64_t doneBefore)
{
    std::string error;
    m_line = 1;
    m_column = 1;
    m_pivotLength = 0;
    const char* cursor = input.begin();
    // Read far enough to see a byte order mark.
    while (!input.atEof() && input.end() - cursor < 4) {
        if (!input.refill(cursor, &error)) {
            message(error);
            return ExitTrouble;
        }
        cursor = input.begin();
    }
    cursor += m_decoder.start(cursor, static_cast<std::size_t>(input.end() - cursor));
    progress.update(doneBefore + input.bytesRead());
    for (;;) {
        const char* end = input.end();
        const std::size_t hold = input.atEof() ? 0 : m_decoder.lookahead();
        m_batchStart = cursor;
        m_batchEnd = static_cast<std::size_t>(end - cursor) > hold ? end - hold : cursor;
        m_batchFirst = m_pivotLength;
        UChar* out = m_pivot.data() + m_pivotLength;
        Step step = m_decoder.decode(&cursor, m_batchEnd, &out, m_pivot.data() + m_pivot.size());
        m_pivotLength = static_cast<std::size_t>(out - m_pivot.data());
        const bool finished = input.atEof() && cursor == end;
        if (step == Step::Done && !finished) {
            step = Step::NeedMore; // held back or used up: the rest comes with the next piece
        }
        const bool final =
            finished || step == Step::Invalid || (step == Step::NeedMore && input.atEof());
        int status = mf_encodePivot(input, final);
        if (status != ExitOk || finished) {
            return status;
        }
        if (step == Step::OutputFull) {
            continue;
        }
        if (step == Step::NeedMore && !input.atEof()) {
            if (!input.refill(cursor, &error)) {
                message(error);
                return ExitTrouble;
            }
            cursor = input.begin();
            progress.update(doneBefore + input.bytesRead());
            continue;
        }
        status = mf_badInput(input, &cursor, step == Step::NeedMore);
        if (status != ExitOk) {
            return status;
        }
    }
}

// Encodes the whole pivot, except a high surrogate at its end that waits for its partner
// unless `final`; that unit stays in the pivot for the next batch.
int Pipeline::mf_encodePivot(const Input& input, bool final)
{
    const UChar* unit = m_pivot.data();
    const UChar* end = unit + m_pivotLength;
    std::string error;
    for (;;) {
        char* out = m_output.cursor();
        const UChar* from = unit;
        const Step step = m_encoder.encode(&unit, end, &out, m_output.limit(), final);
        m_output.advanceTo(out);
        mf_track(from, unit);
        if (step == Step::OutputFull) {
            if (!m_output.flush(&error)) {
                message(error);
                return ExitTrouble;
            }
        } else if (step == Step::Invalid) {
            const int status = mf_unwritable(input, &unit, end);
            if (status != ExitOk) {
                return status;
            }
        } else {
            break;
        }
    }
    const std::size_t rest = static_cast<std::size_t>(end - unit);
    if (rest > 0) {
        m_carriedOffset = mf_locate(input, static_cast<std::size_t>(unit - m_pivot.data()));
        std::memmove(m_pivot.data(), unit, rest * sizeof(UChar));
    }
    m_pivotLength = rest;
    return ExitOk;
}

// The decoder refused the character at *cursor: stop, or skip it, or put a replacement
// character in its place, which then goes through the encoder like any other.
int Pipeline::mf_badInput(Input& input, const char** cursor, bool incomplete)
{
    const std::size_t avail = static_cast<std::size_t>(input.end() - *cursor);
    const std::size_t length =
        std::min(std::max<std::size_t>(m_decoder.badLength(*cursor, avail), 1), avail);
    const std::uint64_t offset = input.offsetOf(*cursor);
    if (m_onError == OnError::Stop) {
        mf_report(input, offset, m_decoder.problem(*cursor, length, incomplete && length == avail));
        return ExitConversion;
    }
    ++m_problems;
    *cursor += length;
    if (m_onError == OnError::Replace) {
        m_pivot[m_pivotLength++] = s_replacementCharacter;
        m_carriedOffset = offset;
    }
    return ExitOk;
}

// The encoder refused the character at *unit (a surrogate pair counts as one).
int Pipeline::mf_unwritable(const Input& input, const UChar** unit, const UChar* end)
{
    unsigned long cp = **unit;
    std::size_t units = 1;
    if (isHighSurrogate(cp) && *unit + 1 < end && isLowSurrogate((*unit)[1])) {
        cp = 0x10000ul + ((cp - 0xD800ul) << 10u) + ((*unit)[1] - 0xDC00ul);
        units = 2;
    }
    const std::size_t index = static_cast<std::size_t>(*unit - m_pivot.data());
    if (m_onError == OnError::Stop) {
        mf_report(input, mf_locate(input, index), m_encoder.problem(cp));
        return ExitConversion;
    }
    // A replacement character that the output cannot hold is no new problem.
    if (!(index < m_batchFirst && cp == s_replacementCharacter)) {
        ++m_problems;
    }
    std::string error;
    if (m_onError == OnError::Replace && !m_output.append(m_encoder.replacement(), &error)) {
        message(error);
        return ExitTrouble;
    }
    mf_track(*unit, *unit + units);
    *unit += units;
    return ExitOk;
}

// Input offset of the character that became pivot unit `unitIndex`: decoding the batch's
// input again into exactly that many units leaves the input position on it.
std::uint64_t Pipeline::mf_locate(const Input& input, std::size_t unitIndex)
{
    if (unitIndex < m_batchFirst) {
        return m_carriedOffset;
    }
    std::size_t wanted = unitIndex - m_batchFirst;
    const char* cursor = m_batchStart;
    UChar scratch[256];
    while (wanted > 0) {
        UChar* out = scratch;
        m_decoder.decode(&cursor, m_batchEnd, &out, scratch + std::min<std::size_t>(wanted, 256));
        if (out == scratch) {
            break;
        }
        wanted -= static_cast<std::size_t>(out - scratch);
    }
    return input.offsetOf(cursor);
}

// Moves the line and column past the units [from, to). Only the characters after the last
// line feed count for the column, so they are counted backwards from the end; the line feeds
// before them are counted in a loop without branches.
void Pipeline::mf_track(const UChar* from, const UChar* to)
{
    const UChar* p = to;
    std::uint64_t characters = 0;
    while (p > from && p[-1] != u'\n') {
        --p;
        characters += isLowSurrogate(*p) ? 0 : 1;
    }
    if (p == from) {
        m_column += characters;
        return;
    }
    std::uint64_t lines = 0;
    for (const UChar* q = from; q < p; ++q) {
        lines += *q == u'\n' ? 1 : 0;
    }
    m_line += lines;
    m_column = 1 + characters;
}

void Pipeline::mf_report(const Input& input, std::uint64_t offset, const std::string& problem) const
{
    message(input.displayName() + ":" + std::to_string(m_line) + ":" + std::to_string(m_column) +
            " (byte " + std::to_string(offset) + "): " + problem);
}

} // namespace noxconv

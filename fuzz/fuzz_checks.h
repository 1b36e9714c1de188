// fuzz_checks.h - invariants of the code-page conversions, shared by the fuzz targets that
// convert through a table (a fixed one, or one loaded from fuzzed file contents).
//
// Every input and output lives in a heap buffer of exactly its size, so that a sanitizer
// build catches any access past it; outputs that are given a smaller room than their buffer
// carry sentinels after the room, so that a write past the room is caught in any build.
#ifndef NOXUNICODE_FUZZ_CHECKS_H
#define NOXUNICODE_FUZZ_CHECKS_H

#include "environment.h"
#include "kernels/kernels.h"
#include "nox_reference.h"
#include "unicode.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace noxfuzz {

[[noreturn]] inline void fail(const char* condition, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

#define NOX_CHECK(condition)                                                                       \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::noxfuzz::fail(#condition, __FILE__, __LINE__);                                       \
        }                                                                                          \
    } while (0)

const int kUnset = 99;
const UChar kSentinel16 = 0xEEEE;
const char kSentinel8 = static_cast<char>(0xEE);
const size_t kSlack = 8;

// A heap copy of exactly the given units.
template <typename T> std::unique_ptr<T[]> exactCopy(const std::vector<T>& values)
{
    std::unique_ptr<T[]> copy(new T[values.size()]);
    std::copy(values.begin(), values.end(), copy.get());
    return copy;
}

// Output buffer: `room` units usable, kSlack sentinel units after them. (GCC's value ranges
// lose the bounds of the rooms computed below and warn of sizes no call can reach.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Walloc-size-larger-than="
#endif
template <typename T> struct Room {
    Room(size_t room_in, T fill) : room(room_in), data(new T[room_in + kSlack])
    {
        std::fill(data.get(), data.get() + room + kSlack, fill);
    }
    bool slackUntouched(T fill) const
    {
        return std::all_of(data.get() + room, data.get() + room + kSlack,
                           [fill](T v) { return v == fill; });
    }
    size_t room;
    std::unique_ptr<T[]> data;
};

// What one run of all conversions observed; compared between the fast and the plain paths.
struct Observed {
    std::vector<UChar> toUnits;
    int toResult = 0;
    int toError = 0;
    size_t toConsumed = 0;
    std::vector<int> mblen;
    std::vector<char> fromBytes;
    int fromResult = 0;
    int fromError = 0;
    size_t fromConsumed = 0;
    bool operator==(const Observed& o) const
    {
        return toUnits == o.toUnits && toResult == o.toResult && toError == o.toError &&
               toConsumed == o.toConsumed && mblen == o.mblen && fromBytes == o.fromBytes &&
               fromResult == o.fromResult && fromError == o.fromError &&
               fromConsumed == o.fromConsumed;
    }
};

// Code page to UTF-16 through every form. `room` is the output room of the bounded calls,
// `split` where the pointer-range input is cut before it is resumed.
inline void checkToUnicode(NoxUConverter* h, const std::vector<char>& bytes, size_t room,
                           size_t split, Observed* seen)
{
    const size_t n = bytes.size();
    const int size = static_cast<int>(n);
    const auto source = exactCopy(bytes);

    // One call with room for everything and the terminator.
    Room<UChar> full(n + 1, kSentinel16);
    int fullError = kUnset;
    const int total = ncnv_toUChars(h, full.data.get(), size + 1, source.get(), size, &fullError);
    NOX_CHECK(total >= 0 && total <= size);
    NOX_CHECK(fullError == 0 || fullError == 8 || fullError == 16);
    NOX_CHECK(full.data[static_cast<size_t>(total)] == 0);
    NOX_CHECK(full.slackUntouched(kSentinel16));
    const std::vector<UChar> units(full.data.get(), full.data.get() + total);
    seen->toUnits = units;
    seen->toResult = total;
    seen->toError = fullError;

    // The sizing call counts the same length.
    int error = kUnset;
    NOX_CHECK(ncnv_toUChars(h, nullptr, 0, source.get(), size, &error) == total);
    NOX_CHECK(error == (fullError != 0 ? fullError : (total > 0 ? 15 : 0)));

    // A bounded room: a prefix of the text, nothing after the room, a terminator only where
    // it fits.
    {
        Room<UChar> out(room, kSentinel16);
        error = kUnset;
        NOX_CHECK(ncnv_toUChars(h, out.data.get(), static_cast<int>(room), source.get(), size,
                                &error) == total);
        NOX_CHECK(out.slackUntouched(kSentinel16));
        const size_t written = std::min(room, units.size());
        NOX_CHECK(std::equal(units.begin(), units.begin() + static_cast<ptrdiff_t>(written),
                             out.data.get()));
        if (room > units.size()) {
            NOX_CHECK(out.data[units.size()] == 0);
            NOX_CHECK(error == fullError);
        } else if (room == units.size()) {
            NOX_CHECK(error == fullError);
        } else {
            NOX_CHECK(error == (fullError != 0 ? fullError : 15));
        }
    }

    // Up to the 0 byte alone: after a full success the same text.
    {
        std::vector<char> terminated = bytes;
        terminated.push_back('\0');
        const auto copy = exactCopy(terminated);
        Room<UChar> out(n + 1, kSentinel16);
        error = kUnset;
        const int result = ncnv_toUChars(h, out.data.get(), size + 1, copy.get(), -1, &error);
        NOX_CHECK(result >= 0 && result <= size);
        NOX_CHECK(out.data[static_cast<size_t>(result)] == 0);
        NOX_CHECK(out.slackUntouched(kSentinel16));
        if (fullError == 0) {
            NOX_CHECK(result == total && error == 0);
            NOX_CHECK(std::equal(units.begin(), units.end(), out.data.get()));
        }
    }

    // The pointer-range form in one call: the same units, stopping where the counted form
    // stopped; a terminator only after a 0 byte.
    size_t consumed = 0;
    {
        Room<UChar> out(n + 1, kSentinel16);
        UChar* outPos = out.data.get();
        const char* sourcePos = source.get();
        error = kUnset;
        ncnv_toUnicode(h, &outPos, out.data.get() + n + 1, &sourcePos, source.get() + n, &error);
        NOX_CHECK(error == (fullError != 0 ? fullError : kUnset));
        NOX_CHECK(std::vector<UChar>(out.data.get(), outPos) == units);
        consumed = static_cast<size_t>(sourcePos - source.get());
        NOX_CHECK(consumed <= n);
        const bool atZero = consumed < n && bytes[consumed] == 0;
        NOX_CHECK(*outPos == (atZero ? 0 : kSentinel16));
        NOX_CHECK(out.slackUntouched(kSentinel16));
        if (fullError == 0) {
            NOX_CHECK(consumed == n || atZero);
        }
    }
    seen->toConsumed = consumed;

    // Resumed after every full output (15), a fresh room each time: the same text.
    {
        const size_t step = std::max<size_t>(room, 1);
        std::vector<UChar> collected;
        const char* sourcePos = source.get();
        error = 15;
        for (size_t calls = 0; error == 15; ++calls) {
            NOX_CHECK(calls <= n + 1);
            Room<UChar> out(step, kSentinel16);
            UChar* outPos = out.data.get();
            error = 0;
            ncnv_toUnicode(h, &outPos, out.data.get() + step, &sourcePos, source.get() + n, &error);
            NOX_CHECK(out.slackUntouched(kSentinel16));
            collected.insert(collected.end(), out.data.get(), outPos);
            if (error == 15) {
                NOX_CHECK(outPos == out.data.get() + step);
            }
        }
        NOX_CHECK(collected == units);
        NOX_CHECK(error == fullError);
        NOX_CHECK(static_cast<size_t>(sourcePos - source.get()) == consumed);
    }

    // The input cut at `split` and resumed after a cut-off character (8) or after the end of
    // the first piece: the same text as one call over the whole input.
    {
        split = std::min(split, n);
        std::vector<UChar> collected;
        Room<UChar> first(n + 1, kSentinel16);
        UChar* outPos = first.data.get();
        const char* sourcePos = source.get();
        error = 0;
        ncnv_toUnicode(h, &outPos, first.data.get() + n + 1, &sourcePos, source.get() + split,
                       &error);
        collected.insert(collected.end(), first.data.get(), outPos);
        if (error == 8 || (error == 0 && sourcePos == source.get() + split)) {
            Room<UChar> second(n + 1, kSentinel16);
            outPos = second.data.get();
            error = 0;
            ncnv_toUnicode(h, &outPos, second.data.get() + n + 1, &sourcePos, source.get() + n,
                           &error);
            collected.insert(collected.end(), second.data.get(), outPos);
        }
        NOX_CHECK(collected == units);
        NOX_CHECK(error == fullError);
        NOX_CHECK(static_cast<size_t>(sourcePos - source.get()) == consumed);
    }

    // ncnv_mblen at every position, limited to the end of the input, agrees with the first
    // character that the pointer-range form converts from there.
    for (size_t i = 0; i < n && i < 64; ++i) {
        error = kUnset;
        const int length = ncnv_mblen(h, source.get() + i, static_cast<int>(n - i), &error);
        seen->mblen.push_back(length);
        seen->mblen.push_back(error);
        Room<UChar> one(1, kSentinel16);
        UChar* outPos = one.data.get();
        const char* sourcePos = source.get() + i;
        int rangeError = 0;
        ncnv_toUnicode(h, &outPos, one.data.get() + 1, &sourcePos, source.get() + n, &rangeError);
        const size_t took = static_cast<size_t>(sourcePos - (source.get() + i));
        // A smaller maxBytes, with the bytes beyond it not even allocated: the same answer,
        // or the character is cut off (-1 with 15).
        for (size_t m = 1; m <= 4 && m < n - i && i < 16; ++m) {
            const auto shortCopy =
                exactCopy(std::vector<char>(bytes.begin() + static_cast<ptrdiff_t>(i),
                                            bytes.begin() + static_cast<ptrdiff_t>(i + m)));
            int shortError = kUnset;
            const int shortLength =
                ncnv_mblen(h, shortCopy.get(), static_cast<int>(m), &shortError);
            const bool cut = shortLength == -1 && shortError == 15;
            NOX_CHECK(cut || (shortLength == length && shortError == error));
        }
        if (bytes[i] == 0) {
            NOX_CHECK(length == 0 && error == 0 && took == 0);
        } else if (length > 0) {
            NOX_CHECK(error == 0 && took == static_cast<size_t>(length));
        } else {
            NOX_CHECK(length == -1 && took == 0);
            NOX_CHECK((error == 3 && rangeError == 16) || (error == 15 && rangeError == 8));
        }
    }
}

// UTF-16 to the code page through every form.
inline void checkFromUnicode(NoxUConverter* h, const std::vector<UChar>& units, size_t room,
                             Observed* seen)
{
    const size_t n = units.size();
    const int size = static_cast<int>(n);
    const auto source = exactCopy(units);
    const size_t roomAll = 4 * n + 1;

    Room<char> full(roomAll, kSentinel8);
    int fullError = kUnset;
    const int total = ncnv_fromUChars(h, full.data.get(), static_cast<int>(roomAll), source.get(),
                                      size, &fullError);
    NOX_CHECK(total >= 0 && static_cast<size_t>(total) <= 4 * n);
    NOX_CHECK(fullError == 0 || fullError == 16);
    NOX_CHECK(full.data[static_cast<size_t>(total)] == 0);
    NOX_CHECK(full.slackUntouched(kSentinel8));
    const std::vector<char> bytes(full.data.get(), full.data.get() + total);
    seen->fromBytes = bytes;
    seen->fromResult = total;
    seen->fromError = fullError;

    // Where each converted character ends, from one-unit conversions.
    std::vector<size_t> ends;
    for (size_t i = 0, at = 0; at < bytes.size(); ++i) {
        NOX_CHECK(i < n);
        int error = kUnset;
        const int length = ncnv_fromUChars(h, nullptr, 0, source.get() + i, 1, &error);
        NOX_CHECK(length >= 1 && length <= 4);
        at += static_cast<size_t>(length);
        NOX_CHECK(at <= bytes.size());
        ends.push_back(at);
    }

    int error = kUnset;
    NOX_CHECK(ncnv_fromUChars(h, nullptr, 0, source.get(), size, &error) == total);
    NOX_CHECK(error == (fullError != 0 ? fullError : (total > 0 ? 15 : 0)));

    // A bounded room holds the characters that fit whole, and nothing of the next one.
    {
        Room<char> out(room, kSentinel8);
        error = kUnset;
        NOX_CHECK(ncnv_fromUChars(h, out.data.get(), static_cast<int>(room), source.get(), size,
                                  &error) == total);
        NOX_CHECK(out.slackUntouched(kSentinel8));
        size_t whole = 0;
        for (size_t end : ends) {
            if (end <= room) {
                whole = end;
            }
        }
        NOX_CHECK(std::equal(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(whole),
                             out.data.get()));
        if (room > bytes.size()) {
            NOX_CHECK(out.data[bytes.size()] == 0);
            NOX_CHECK(error == fullError);
        } else {
            for (size_t i = whole; i < room; ++i) {
                NOX_CHECK(out.data[i] == kSentinel8);
            }
            NOX_CHECK(error ==
                      (whole == bytes.size() ? fullError : (fullError != 0 ? fullError : 15)));
        }
    }

    // Up to the 0 unit alone: the same bytes, the same code.
    {
        std::vector<UChar> terminated = units;
        terminated.push_back(0);
        const auto copy = exactCopy(terminated);
        Room<char> out(roomAll, kSentinel8);
        error = kUnset;
        NOX_CHECK(ncnv_fromUChars(h, out.data.get(), static_cast<int>(roomAll), copy.get(), -1,
                                  &error) == total);
        NOX_CHECK(error == fullError);
        NOX_CHECK(std::equal(bytes.begin(), bytes.end(), out.data.get()));
    }

    size_t consumed = 0;
    {
        Room<char> out(roomAll, kSentinel8);
        char* outPos = out.data.get();
        const UChar* sourcePos = source.get();
        error = kUnset;
        ncnv_fromUnicode(h, &outPos, out.data.get() + roomAll, &sourcePos, source.get() + n,
                         &error);
        NOX_CHECK(error == (fullError != 0 ? fullError : kUnset));
        NOX_CHECK(std::vector<char>(out.data.get(), outPos) == bytes);
        consumed = static_cast<size_t>(sourcePos - source.get());
        const bool atZero = consumed < n && units[consumed] == 0;
        NOX_CHECK(*outPos == (atZero ? 0 : kSentinel8));
        NOX_CHECK(out.slackUntouched(kSentinel8));
        NOX_CHECK(consumed == ends.size());
    }
    seen->fromConsumed = consumed;

    // Resumed after every full output; a room too small for the next character grows.
    {
        size_t step = room;
        std::vector<char> collected;
        const UChar* sourcePos = source.get();
        error = 15;
        for (size_t calls = 0; error == 15; ++calls) {
            NOX_CHECK(calls <= 2 * n + 2);
            Room<char> out(step, kSentinel8);
            char* outPos = out.data.get();
            const UChar* before = sourcePos;
            error = 0;
            ncnv_fromUnicode(h, &outPos, out.data.get() + step, &sourcePos, source.get() + n,
                             &error);
            NOX_CHECK(out.slackUntouched(kSentinel8));
            // Nothing of a character that did not fit; only the terminator after a 0 unit.
            const bool atZero = sourcePos < source.get() + n && *sourcePos == 0;
            for (const char* p = outPos; p < out.data.get() + step; ++p) {
                NOX_CHECK(*p == (p == outPos && atZero ? 0 : kSentinel8));
            }
            collected.insert(collected.end(), out.data.get(), outPos);
            if (error == 15 && sourcePos == before) {
                step = 4;
            }
        }
        NOX_CHECK(collected == bytes);
        NOX_CHECK(error == fullError);
        NOX_CHECK(sourcePos == source.get() + consumed);
    }
}

// The library against the independent reference, at the current kernel level: the counted
// forms with the given room and with room for all, the pointer-range forms, and mblen.
inline void checkAgainstReference(NoxUConverter* h, const noxref::NoxRefCodePage& reference,
                                  const std::vector<char>& bytes, const std::vector<UChar>& units,
                                  size_t room)
{
    noxref::NoxRefContext context{ncnv_getConvertBestEffort(), {}};
    const auto source = exactCopy(bytes);
    const auto unitSource = exactCopy(units);
    const int n = static_cast<int>(bytes.size());
    const int u = static_cast<int>(units.size());
    for (const size_t r :
         {std::min(room, size_t{1} << 20), std::min(bytes.size(), size_t{1} << 20) + 1}) {
        Room<UChar> got(r, kSentinel16);
        Room<UChar> want(r, kSentinel16);
        int gotError = kUnset;
        int wantError = kUnset;
        NOX_CHECK(ncnv_toUChars(h, got.data.get(), int(r), source.get(), n, &gotError) ==
                  reference.convert(want.data.get(), int(r), source.get(), n, &wantError, context));
        NOX_CHECK(gotError == wantError);
        NOX_CHECK(std::equal(got.data.get(), got.data.get() + r + kSlack, want.data.get()));
        Room<char> gotBytes(2 * r, kSentinel8);
        Room<char> wantBytes(2 * r, kSentinel8);
        NOX_CHECK(ncnv_fromUChars(h, gotBytes.data.get(), int(2 * r), unitSource.get(), u,
                                  &gotError) == reference.convert(wantBytes.data.get(), int(2 * r),
                                                                  unitSource.get(), u, &wantError,
                                                                  context));
        NOX_CHECK(gotError == wantError);
        NOX_CHECK(std::equal(gotBytes.data.get(), gotBytes.data.get() + 2 * r + kSlack,
                             wantBytes.data.get()));
        UChar* gotOut = got.data.get();
        UChar* wantOut = want.data.get();
        const char* gotSource = source.get();
        const char* wantSource = source.get();
        gotError = kUnset;
        wantError = kUnset;
        ncnv_toUnicode(h, &gotOut, got.data.get() + r, &gotSource, source.get() + n, &gotError);
        reference.convertRange(&wantOut, want.data.get() + r, &wantSource, source.get() + n,
                               &wantError, context);
        NOX_CHECK(gotOut - got.data.get() == wantOut - want.data.get());
        NOX_CHECK(gotSource == wantSource && gotError == wantError);
        NOX_CHECK(std::equal(got.data.get(), got.data.get() + r + kSlack, want.data.get()));
        char* gotBytesOut = gotBytes.data.get();
        char* wantBytesOut = wantBytes.data.get();
        const UChar* gotUnits = unitSource.get();
        const UChar* wantUnits = unitSource.get();
        ncnv_fromUnicode(h, &gotBytesOut, gotBytes.data.get() + r, &gotUnits, unitSource.get() + u,
                         &gotError);
        reference.convertRange(&wantBytesOut, wantBytes.data.get() + r, &wantUnits,
                               unitSource.get() + u, &wantError, context);
        NOX_CHECK(gotBytesOut - gotBytes.data.get() == wantBytesOut - wantBytes.data.get());
        NOX_CHECK(gotUnits == wantUnits && gotError == wantError);
    }
    for (int maxBytes = 0; maxBytes <= std::min(n, 5); ++maxBytes) {
        int gotError = kUnset;
        int wantError = kUnset;
        NOX_CHECK(ncnv_mblen(h, source.get(), maxBytes, &gotError) ==
                  reference.mblen(source.get(), maxBytes, &wantError, context));
        NOX_CHECK(gotError == wantError);
    }
}

// Runs both directions at every kernel level the processor has; each must observe what
// level Exact observes, and (when given) the library must agree with the reference.
inline void checkConverter(NoxUConverter* h, const noxref::NoxRefCodePage* reference,
                           const std::vector<char>& bytes, const std::vector<UChar>& units,
                           size_t room, size_t split)
{
    const nox::KernelLevel saved = nox::kernelCeiling();
    // The kernels' tables of a new table come after its first few characters, in the middle of
    // its first kernel conversion, which must go on as the exact path would have.
    nox::setKernelTablesAfter(split % 8);
    Observed exact;
    for (int level = 0; level <= static_cast<int>(nox::cpuKernelLevel()); ++level) {
        nox::setKernelCeiling(static_cast<nox::KernelLevel>(level));
        Observed seen;
        checkToUnicode(h, bytes, room, split, &seen);
        checkFromUnicode(h, units, room, &seen);
        if (level == 0) {
            exact = seen;
        }
        NOX_CHECK(seen == exact);
        if (reference != nullptr &&
            (level == 0 || level == static_cast<int>(nox::cpuKernelLevel()))) {
            checkAgainstReference(h, *reference, bytes, units, room);
        }
    }
    nox::setKernelCeiling(saved);
}

// Splits fuzz input into code-page bytes and UTF-16 units (little-endian pairs of the same
// bytes) plus a room and a split point taken from the first bytes.
inline void checkConverterOnInput(NoxUConverter* h, const noxref::NoxRefCodePage* reference,
                                  const uint8_t* data, size_t size)
{
    size_t room = 0;
    size_t split = 0;
    if (size >= 2) {
        room = data[0] % 19;
        split = data[1];
        data += 2;
        size -= 2;
    }
    const std::vector<char> bytes(reinterpret_cast<const char*>(data),
                                  reinterpret_cast<const char*>(data) + size);
    std::vector<UChar> units;
    for (size_t i = 0; i + 1 < size; i += 2) {
        units.push_back(static_cast<UChar>(data[i] | data[i + 1] << 8));
    }
    checkConverter(h, reference, bytes, units, room, split);
}

} // namespace noxfuzz

#endif

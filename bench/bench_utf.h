// bench_utf.h - the UTF cases: UTF-8 to and from UTF-16 per script at three input sizes, the
// older multilingual and English rows (also UTF-32), LATIN_1 against simdutf's Latin-1
// routines, short strings, and (in the static copy) the same rows per kernel level.
#ifndef NOXUNICODE_BENCH_UTF_H
#define NOXUNICODE_BENCH_UTF_H

#include "bench_text.h"

#include <cstddef>

namespace noxbench {

// Builds and checks the texts that the filter selects; raises `units` and `bytes` to the
// largest number of UTF-16 units and bytes that a case reads or writes.
void prepareUtfTexts(const CjkRepertoire& cjk, size_t& units, size_t& bytes);

// Registers the cases: against the peers (nox_bench), or per kernel level (nox_bench_levels).
void registerUtfCases();
void registerUtfLevelCases();

void closeUtfTexts();

} // namespace noxbench

#endif

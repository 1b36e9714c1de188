// bench_codepages.h - the code-page cases: seven code pages, each with about 4 MB of running
// text in its language, converted to and from UTF-16 by noxunicode and the peers, as long
// inputs, as short strings and (in the static copy) at every kernel level.
#ifndef NOXUNICODE_BENCH_CODEPAGES_H
#define NOXUNICODE_BENCH_CODEPAGES_H

#include "bench_text.h"

namespace noxbench {

// Opens the code pages and their peers, and reads the CJK repertoire from them.
void openCodePages();
void closeCodePages();
const CjkRepertoire& cjkRepertoire();

// Builds and checks the inputs of the code pages that the filter selects; returns the largest
// number of UTF-16 units and bytes that a case reads or writes.
void prepareCodePages(size_t& units, size_t& bytes);

// Registers the cases: against the peers (nox_bench), or per kernel level (nox_bench_levels).
void registerCodePageCases();
void registerCodePageLevelCases();

} // namespace noxbench

#endif

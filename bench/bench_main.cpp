// bench_main.cpp - throughput of noxunicode's code-page and UTF conversions against ICU, iconv,
// simdutf and copy loops, on generated text. Built twice: nox_bench measures the shared
// library against the peers; nox_bench_levels (NOX_BENCH_LEVELS) links the static copy and
// measures the same inputs with the kernel ceiling at each level the processor has.
#include "bench_codepages.h"
#include "bench_common.h"
#include "bench_utf.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    using namespace noxbench;
    // --nox_checks_only: build the inputs and run the output checks, without measuring.
    bool checksOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--nox_checks_only") == 0) {
            checksOnly = true;
            std::copy(argv + i + 1, argv + argc + 1, argv + i);
            --argc;
            break;
        }
    }
    // The shipped code pages, read before the library's first call caches the setting; no
    // best-effort passing through and no trace output while measuring.
    setenv("NOX_UCM_PATH", NOX_BENCH_UCM_DIR, 1);
    unsetenv("NOX_UNICODE_CONVERT_BEST_EFFORT");
    unsetenv("NOXUNICODE_CHAR_DEBUG");
    unsetenv("NOXUNICODE_DEBUG");

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
#if defined(NOX_BENCH_LEVELS)
    std::string levels;
    for (const Level& level : kLevels) {
        if (levelAvailable(level)) {
            levels += std::string(levels.empty() ? "" : ", ") + nox::kernelLevelName(level.level);
        }
    }
    note("levels", std::string("the processor runs up to ") +
                       nox::kernelLevelName(nox::cpuKernelLevel()) + "; measured: " + levels);
#endif
    openCodePages();
    size_t units = 0;
    size_t bytes = 0;
    prepareCodePages(units, bytes);
    prepareUtfTexts(cjkRepertoire(), units, bytes);
    if (!checksOnly) {
        reserveOutputs(units, bytes);
#if defined(NOX_BENCH_LEVELS)
        registerCodePageLevelCases();
        registerUtfLevelCases();
#else
        registerCodePageCases();
        registerUtfCases();
#endif
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    closeUtfTexts();
    closeCodePages();
    return checkFailed() ? 1 : 0;
}

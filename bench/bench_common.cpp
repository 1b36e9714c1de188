// bench_common.cpp - setup notes, the filter test, the output buffers and the level checks
// that the benchmark's case files share.
#include "bench_common.h"

#include <fcntl.h>
#include <regex.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace noxbench {

namespace {

bool s_failed = false;

} // namespace

void note(const std::string& key, const std::string& value)
{
    std::fprintf(stderr, "%s: %s\n", key.c_str(), value.c_str());
    benchmark::AddCustomContext(key, value);
    const bool failed = key.compare(0, 6, "error ") == 0 || key.compare(0, 8, "differs ") == 0 ||
                        value.find("DIFFER") != std::string::npos;
    s_failed = s_failed || failed;
}

bool checkFailed()
{
    return s_failed;
}

std::string hexBytes(const std::string& bytes)
{
    std::string out;
    char buf[8];
    for (unsigned char b : bytes) {
        std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", b);
        out += buf;
    }
    return out.empty() ? "-" : out;
}

std::string unitName(uint32_t cp)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", cp);
    return buf;
}

QuietStderr::QuietStderr()
{
    std::fflush(stderr);
    saved_ = dup(2);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, 2);
        close(null);
    }
}

QuietStderr::~QuietStderr()
{
    if (saved_ >= 0) {
        dup2(saved_, 2);
        close(saved_);
    }
}

bool selected(const std::vector<std::string>& prefixes)
{
    const std::string filter = benchmark::GetBenchmarkFilter();
    if (filter.empty() || filter == "all" || filter == "." || filter[0] == '-') {
        return true;
    }
    regex_t re;
    if (regcomp(&re, filter.c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
        return true;
    }
    static const char* const s_impls[] = {"nox",
                                          "nox_range",
                                          "nox_size",
                                          "icu",
                                          "iconv",
                                          "simdutf",
                                          "widen",
                                          "memcpy",
                                          "narrow",
                                          "avx512",
                                          "avx2",
                                          "sse42",
                                          "sse2",
                                          "exact",
                                          "simdutf_icelake",
                                          "simdutf_haswell",
                                          "simdutf_westmere"};
    bool retval = false;
    for (const std::string& prefix : prefixes) {
        for (const char* impl : s_impls) {
            const std::string name = prefix + "/" + impl;
            retval = retval || regexec(&re, name.c_str(), 0, nullptr, 0) == 0;
        }
    }
    regfree(&re);
    return retval;
}

void reserveOutputs(size_t units, size_t bytes)
{
    // Writing every page now spares the first case the cost of faulting them in.
    if (out16.size() < units + 64) {
        out16.assign(units + 64, 1);
    }
    if (out8.size() < std::max(bytes, units * 4) + 64) {
        out8.assign(std::max(bytes, units * 4) + 64, 1);
    }
    if (out32.size() < units + 64) {
        out32.assign(units + 64, 1);
    }
}

#if defined(NOX_BENCH_LEVELS)
bool levelAvailable(const Level& level)
{
    const bool has = static_cast<int>(level.level) <= static_cast<int>(nox::cpuKernelLevel());
    static bool s_noted[nox::kKernelLevels] = {};
    bool& noted = s_noted[static_cast<int>(level.level)];
    if (!has && !noted) {
        noted = true;
        note(std::string("levels skipped ") + level.token, std::string("the processor lacks ") +
                                                               nox::kernelLevelName(level.level) +
                                                               "; its rows are left out");
    }
    return has;
}
#endif

} // namespace noxbench

// cache_report.cpp - per shipped code page: the memory of the lookup caches and of the table,
// and the time to construct a converter (ncnv_getConverter followed by release), as a
// Markdown table. Usage: nox_cache_report [--repeat N] [--ucm-dir DIR]
#include "NoxUCharConverter.h"
#include "NoxUCharMapping.h"
#include "kernels/kernels.h"
#include "unicode.h"

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Row {
    std::string name;
    uint32_t records = 0;
    int maxLen = 0;
    size_t cacheBytes = 0;
    size_t tableBytes = 0;
    double constructMs = 0;
    bool loaded = false;
};

std::vector<std::string> s_codePageNames(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string file = e->d_name;
            if (file.size() > 4 && file.compare(file.size() - 4, 4, ".ucm") == 0) {
                names.push_back(file.substr(0, file.size() - 4));
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    names.insert(names.begin(), "LATIN_1"); // built in, no file
    return names;
}

// Median wall time of opening and releasing a converter by name, after one warm-up run
// that brings the file into the page cache.
double s_constructMs(const std::string& name, int repeat)
{
    ncnv_releaseConverter(ncnv_getConverter(name.c_str()));
    std::vector<double> ms;
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        NoxUConverter* h = ncnv_getConverter(name.c_str());
        ncnv_releaseConverter(h);
        const auto stop = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

std::string s_kb(size_t bytes)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(bytes) / 1024.0);
    return buf;
}

} // namespace

int main(int argc, char** argv)
{
    int repeat = 5;
    std::string dir = NOX_BENCH_UCM_DIR;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--ucm-dir") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--repeat N] [--ucm-dir DIR]\n", argv[0]);
            return 2;
        }
    }
    setenv("NOX_UCM_PATH", dir.c_str(), 1);
    // The kernels' tables of each page come with its first conversion, however short.
    nox::setKernelTablesAfter(0);
    unsetenv("NOXUNICODE_DEBUG");
    unsetenv("NOXUNICODE_CHAR_DEBUG");

    std::vector<Row> rows;
    for (const std::string& name : s_codePageNames(dir)) {
        Row row;
        row.name = name;
        {
            const NoxUCharConverter conv(nullptr, name.c_str());
            // A file that does not load leaves a Latin-1 table without a code page name.
            row.loaded = name == "LATIN_1" || conv.getCodePageName() != nullptr;
            row.records = conv.dataLen;
            row.maxLen = conv.cur_max();
            // The kernels' tables come with the first conversion that runs a kernel.
            UChar unit = 0;
            int error = 0;
            conv.toUChars(&unit, 1, "A", 1, &error);
            row.cacheBytes = conv.tableBytes();
            row.tableBytes =
                conv.dataLen * (sizeof(NoxUCharMapping) + 2 * sizeof(NoxUCharMapping*));
        }
        row.constructMs = s_constructMs(name, repeat);
        rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return a.cacheBytes != b.cacheBytes ? a.cacheBytes > b.cacheBytes : a.name < b.name;
    });

    std::printf(
        "| Code page | Records | Max bytes | Cache KB | Table KB | Construct ms (median of %d) |\n",
        repeat);
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    size_t largest = 0;
    std::string largestName;
    int failed = 0;
    for (const Row& r : rows) {
        std::printf("| %s%s | %u | %d | %s | %s | %.2f |\n", r.name.c_str(),
                    r.loaded ? "" : " (NOT LOADED)", r.records, r.maxLen,
                    s_kb(r.cacheBytes).c_str(), s_kb(r.tableBytes).c_str(), r.constructMs);
        if (r.cacheBytes > largest) {
            largest = r.cacheBytes;
            largestName = r.name;
        }
        failed += r.loaded ? 0 : 1;
    }
    std::printf("\n%zu code pages; largest cache %s KB (%s), target below 600 KB: %s.\n",
                rows.size(), s_kb(largest).c_str(), largestName.c_str(),
                largest < 600 * 1024 ? "met" : "MISSED");
    if (failed != 0) {
        std::printf("%d code page(s) did not load.\n", failed);
    }
    return failed == 0 ? 0 : 1;
}

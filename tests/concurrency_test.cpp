// concurrency_test.cpp - threads converting through shared and own converters and with the UTF
// routines get the results computed before (also under ThreadSanitizer).
#include "test_support.h"

#include <atomic>
#include <random>
#include <thread>

namespace {

using Results = std::vector<long>;

// The counted form each way through `h` into room for half the input, and `units` to UTF-8
// and back in both modes.
Results s_convert(NoxUConverter* h, const std::string& bytes, const std::vector<UChar>& units)
{
    std::vector<UChar> u(bytes.size() / 2 + 1);
    std::vector<char> b(units.size() / 2 + 1);
    int error = noxtest::kUnset;
    Results r = {
        ncnv_toUChars(h, u.data(), int(u.size()), bytes.data(), int(bytes.size()), &error),
        ncnv_fromUChars(h, b.data(), int(b.size()), units.data(), int(units.size()), &error)};
    r.insert(r.end(), u.begin(), u.end());
    r.insert(r.end(), b.begin(), b.end());
    for (const utf_ConversionFlags flags : {strictConversion, lenientConversion}) {
        std::vector<UTF8> utf8(3 * units.size());
        std::vector<UTF16> utf16(units.size());
        const UTF16* s = units.data();
        UTF8* t = utf8.data();
        r.push_back(utf_ConvertUTF16toUTF8(&s, s + units.size(), &t, t + utf8.size(), flags));
        const UTF8* s8 = utf8.data();
        UTF16* t16 = utf16.data();
        r.push_back(utf_ConvertUTF8toUTF16(&s8, t, &t16, t16 + utf16.size(), flags));
        r.insert(r.end(), utf16.data(), t16);
    }
    return r;
}

// Odd threads convert through the default converter, even ones through their own; thread 0 also
// moves the kernel ceiling and dumps the table. The expected results come from a copy of the
// file, so that the threads race to the first conversion, which builds the kernels' tables.
TEST(ConcurrencyTest, ConvertersAndUtfRoutinesManyThreads)
{
    std::string ucm = "<nox_lead_bytes> 01-7F:1 81-84:2 85:3\n";
    for (unsigned i = 0; i < 26 * 26; ++i) {
        char lines[96];
        std::snprintf(
            lines, sizeof lines,
            "<U%04X> \\x%02X |0\n<U%04X> \\x%02X\\x%02X |0\n<U%04X> \\x85\\x%02X\\x%02X |0\n",
            1 + i % 0x7F, 1 + i % 0x7F, 0x4E00 + i, 0x81 + i / 169, 0x40 + i % 169, 0xAC00 + i,
            0x41 + i / 26, 0x41 + i % 26);
        ucm += lines;
    }
    noxtest::TempDir dir;
    const std::string path = dir.write("CONC.ucm", ucm);
    const std::string copyPath = dir.write("COPY.ucm", ucm);
    const auto child =
        noxtest::runInChild({{"NOX_UCM_PATH", dir.path().c_str()}, {"NOX_CODE_PAGE", "CONC"}}, [&] {
            const char* file = path.c_str(); // the default converter, then one per even thread
            NoxUConverter* const h[] = {ncnv_getDefaultUConverter(), ncnv_loadConverter(file),
                                        ncnv_loadConverter(file), ncnv_loadConverter(file)};
            NoxUConverter* const copy = ncnv_loadConverter(copyPath.c_str());
            int error = 99;
            const unsigned base[] = {1, 0x4E00, 0xAC00}, span[] = {0x7F, 26 * 26, 26 * 26};
            const UChar odd[] = {0xD83D, 0xDE00, 0xDC00}; // a surrogate pair and a lone one
            std::mt19937 random(1);
            std::vector<std::tuple<std::string, std::vector<UChar>, Results>> work(100);
            for (size_t i = 0; i < work.size(); ++i) {
                auto& [bytes, units, expected] = work[i];
                for (auto n = random() % 300; n > 0; --n) {
                    units.push_back(static_cast<UChar>(base[n % 3] + random() % span[n % 3]));
                }
                bytes.resize(3 * units.size() + 1);
                bytes.resize(size_t(ncnv_fromUChars(copy, &bytes[0], int(bytes.size()),
                                                    units.data(), int(units.size()), &error)));
                bytes.insert(bytes.size() / 2, i % 2 ? "\xE0" : ""); // an unmapped byte
                units.insert(units.begin() + long(units.size() / 2), odd, odd + (i % 2 ? 3 : 0));
                bytes += i % 3 == 0 ? "\x85\x41" : ""; // cut off
                expected = s_convert(copy, bytes, units);
            }
            std::atomic<int> differ{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < 6; ++t) {
                threads.emplace_back([&, t] {
                    for (size_t i = 0; i < 3 * work.size(); ++i) { // each thread from its own start
                        const size_t j = (i + 17 * size_t(t)) % work.size();
                        const auto& [bytes, units, expected] = work[j];
                        differ += s_convert(h[t % 2 ? 0 : 1 + t / 2], bytes, units) != expected;
                        if (t == 0) {
                            nox::setKernelCeiling(i % 2 == 1 ? nox::KernelLevel::AVX512
                                                             : nox::KernelLevel::Exact);
                            ncnv_dumpUTF8(h[0], "/dev/null", "w");
                        }
                    }
                });
            }
            for (std::thread& thread : threads) {
                thread.join();
            }
            return differ > 0 ? 1 : ncnv_MB_CUR_MAX(h[0], &error) == 3 ? 0 : 2;
        });
    EXPECT_EQ(0, child.exitCode);
}

} // namespace

// alloc_test.cpp - allocation failures in the library, by replacing the allocation functions.
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>

namespace {

// -1: never fail; otherwise the number of non-throwing allocations that still succeed.
long s_allocationsLeft = -1;

void* s_allocate(std::size_t size, bool counted)
{
    const bool fail = counted && s_allocationsLeft == 0;
    s_allocationsLeft -= counted && s_allocationsLeft > 0 ? 1 : 0;
    void* retval = fail ? nullptr : std::malloc(size == 0 ? 1 : size);
    return retval != nullptr || counted ? retval : throw std::bad_alloc();
}

TEST(AllocationTest, EveryFailurePointLeavesAUsableState)
{
    // Fail each allocation in turn until opening succeeds; a partial result must stay usable.
    noxtest::TempDir dir;
    const std::string path = dir.write("small.ucm", noxtest::kSmallUcm);
    const struct {
        std::function<NoxUConverter*()> open;
        std::string in;
        UChar second;
    } cases[] = {{[&] { return ncnv_loadConverter(path.c_str()); }, "A\x81\x40", 0x3000},
                 {[] { return ncnv_getConverter("LATIN_1"); }, "A\xE9", 0xE9}};
    for (const auto& c : cases) {
        bool sawSuccess = false;
        for (long budget = 0; !sawSuccess && budget < 1000; ++budget) {
            s_allocationsLeft = budget;
            NoxUConverter* h = c.open();
            sawSuccess = s_allocationsLeft > 0;
            s_allocationsLeft = -1;
            EXPECT_TRUE(budget == 0 ? h == nullptr : h != nullptr || !sawSuccess) << budget;
            UChar out[4] = {};
            int error = 99;
            const int n = ncnv_toUChars(h, out, 4, c.in.data(), int(c.in.size()), &error);
            EXPECT_TRUE(h == nullptr || (n == 2 && error == NCNV_OK && out[1] == c.second) ||
                        (n == 0 && error == NCNV_UNSUPPORTED))
                << budget;
            ncnv_releaseConverter(h);
        }
        EXPECT_TRUE(sawSuccess) << c.in;
    }
}

TEST(AllocationTest, DefaultHandleWithoutConverterReportsSeven)
{
    s_allocationsLeft = 0;
    NoxUConverter* h = ncnv_getDefaultUConverter();
    s_allocationsLeft = -1;
    int error = 0;
    EXPECT_EQ(4, ncnv_MB_CUR_MAX(h, &error));
    EXPECT_EQ(NCNV_NO_CONVERTER, error);
    ncnv_releaseConverter(h);
    h = ncnv_getDefaultUConverter(); // once memory is back, the default converter is built
    EXPECT_EQ(1, ncnv_MB_CUR_MAX(h, &error));
    ncnv_releaseConverter(h);
}

} // namespace

// All allocation functions are replaced together, so that every delete matches its new.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    return s_allocate(n, true);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept
{
    return s_allocate(n, true);
}
void* operator new(std::size_t n)
{
    return s_allocate(n, false);
}
void* operator new[](std::size_t n)
{
    return s_allocate(n, false);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

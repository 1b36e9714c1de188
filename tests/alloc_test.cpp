// alloc_test.cpp - allocation failures inside the library, provoked by replacing the
// non-throwing allocation functions in this executable.
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace {

// -1: never fail; otherwise the number of non-throwing allocations that still succeed.
long s_allocationsLeft = -1;

void* s_allocate(std::size_t size) noexcept
{
    void* retval = nullptr;
    if (s_allocationsLeft != 0) {
        if (s_allocationsLeft > 0) {
            --s_allocationsLeft;
        }
        retval = std::malloc(size == 0 ? 1 : size);
    }
    return retval;
}

} // namespace

// All allocation functions are replaced together, so that every delete matches its new.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return s_allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return s_allocate(size);
}

void* operator new(std::size_t size)
{
    void* retval = std::malloc(size == 0 ? 1 : size);
    if (retval == nullptr) {
        throw std::bad_alloc();
    }
    return retval;
}

void* operator new[](std::size_t size)
{
    return operator new(size);
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

namespace {

using noxtest::kSmallUcm;
using noxtest::TempDir;

TEST(AllocationTest, EveryFailurePointLeavesAUsableState)
{
    TempDir dir;
    const std::string path = dir.write("small.ucm", kSmallUcm);
    bool sawSuccess = false;
    for (long budget = 0; !sawSuccess; ++budget) {
        SCOPED_TRACE(budget);
        s_allocationsLeft = budget;
        NoxUConverter* h = ncnv_loadConverter(path.c_str());
        const long left = s_allocationsLeft;
        s_allocationsLeft = -1;
        sawSuccess = left > 0;
        if (h != nullptr) {
            // Either the whole table or an empty converter; never a crash.
            UChar out[4] = {};
            int error = 99;
            const int n = ncnv_toUChars(h, out, 4, "A\x81\x40", 3, &error);
            EXPECT_TRUE((n == 2 && error == 0 && out[1] == 0x3000) || (n == 0 && error == 16));
            ncnv_releaseConverter(h);
        }
        ASSERT_LT(budget, 1000);
    }
}

TEST(AllocationTest, ConverterThatCannotBeAllocatedGivesNull)
{
    s_allocationsLeft = 0;
    NoxUConverter* h = ncnv_getConverter("LATIN_1");
    s_allocationsLeft = -1;
    EXPECT_EQ(nullptr, h);
}

TEST(AllocationTest, DefaultHandleWithoutConverterReportsSeven)
{
    s_allocationsLeft = 0;
    NoxUConverter* h = ncnv_getDefaultUConverter();
    s_allocationsLeft = -1;
    ASSERT_NE(nullptr, h);
    int error = 0;
    EXPECT_EQ(4, ncnv_MB_CUR_MAX(h, &error));
    EXPECT_EQ(7, error);
    ncnv_releaseConverter(h);
    // Once memory is back, the default converter can be built.
    NoxUConverter* again = ncnv_getDefaultUConverter();
    EXPECT_EQ(1, ncnv_MB_CUR_MAX(again, &error));
    ncnv_releaseConverter(again);
}

} // namespace

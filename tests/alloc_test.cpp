// alloc_test.cpp - allocation failures in the library, provoked by replacing the allocation
// functions in this executable.
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>

namespace {

long s_allocationsLeft = -1; // non-throwing allocations that still succeed; -1: all

void* s_allocate(std::size_t size, bool counted)
{
    const bool fail = counted && s_allocationsLeft == 0;
    s_allocationsLeft -= counted && s_allocationsLeft > 0 ? 1 : 0;
    void* retval = fail ? nullptr : std::malloc(size == 0 ? 1 : size);
    return retval != nullptr || counted ? retval : throw std::bad_alloc();
}

// Fails each allocation in turn until opening succeeds: whatever a failed open gives (no
// handle, a handle without converter, an empty converter) answers a conversion, and the
// default converter is built once memory is back.
TEST(AllocationTest, EveryFailurePointLeavesAUsableState)
{
    noxtest::TempDir dir;
    const std::string path = dir.write("small.ucm", noxtest::kSmallUcm);
    const struct {
        std::function<NoxUConverter*()> open;
        std::string in;
        UChar second;
    } cases[] = {{[&] { return ncnv_loadConverter(path.c_str()); }, "A\x81\x40", 0x3000},
                 {[] { return ncnv_getConverter("LATIN_1"); }, "A\xE9", 0xE9},
                 {[] { return ncnv_getDefaultUConverter(); }, "A\xE9", 0xE9}};
    for (const auto& c : cases) {
        bool sawSuccess = false;
        for (long budget = 0; !sawSuccess && budget < 1000; ++budget) {
            s_allocationsLeft = budget;
            NoxUConverter* h = c.open();
            sawSuccess = s_allocationsLeft > 0;
            s_allocationsLeft = -1;
            const noxtest::Call got = noxtest::toUChars(h, c.in, int(c.in.size()), 4);
            EXPECT_TRUE(
                (got.result == 2 && got.error == NCNV_OK && got.out[1] == c.second) ||
                (!sawSuccess && got.result == 0 &&
                 (h == nullptr || got.error == NCNV_UNSUPPORTED || got.error == NCNV_NO_CONVERTER)))
                << budget;
            ncnv_releaseConverter(h);
        }
        EXPECT_TRUE(sawSuccess) << c.in;
    }
}

} // namespace

// Replaced with those that the others call by default, so that every delete matches its new.
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
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

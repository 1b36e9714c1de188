// alloc_test.cpp - allocation failures in the library, by replacing the allocation functions.
#include "test_support.h"
#include "unicode.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <tuple>

namespace {

long s_allocationsLeft = -1;         // non-throwing allocations that still succeed; -1: all
bool s_failLargeAllocations = false; // while set, C allocations of 1 MiB or more fail
int s_readsBeforeError = 0;          // counts reads down; the one where it reaches 0 fails

void* s_allocate(std::size_t size, bool counted)
{
    const bool fail = counted && s_allocationsLeft == 0;
    s_allocationsLeft -= counted && s_allocationsLeft > 0 ? 1 : 0;
    void* retval = fail ? nullptr : std::malloc(size == 0 ? 1 : size);
    return retval != nullptr || counted ? retval : throw std::bad_alloc();
}

// Fails each allocation in turn until opening succeeds: a partial result converts whole or is
// empty (unsupported). An empty path opens the built-in LATIN_1.
TEST(AllocationTest, EveryFailurePointLeavesAUsableState)
{
    noxtest::TempDir dir;
    const std::tuple<std::string, std::string, UChar> cases[] = {
        {dir.write("small.ucm", noxtest::kSmallUcm), "A\x81\x40", 0x3000}, {"", "A\xE9", 0xE9}};
    for (const auto& [path, in, second] : cases) {
        bool sawSuccess = false;
        for (long budget = 0; !sawSuccess && budget < 1000; ++budget) {
            s_allocationsLeft = budget;
            NoxUConverter* h =
                path.empty() ? ncnv_getConverter("LATIN_1") : ncnv_loadConverter(path.c_str());
            sawSuccess = s_allocationsLeft > 0;
            s_allocationsLeft = -1;
            EXPECT_TRUE(budget == 0 ? h == nullptr : h != nullptr || !sawSuccess) << budget;
            const noxtest::Call call = noxtest::toUChars(h, in, int(in.size()), 4);
            const bool whole = call.result == 2 && call.error == NCNV_OK && call.out[1] == second;
            const bool empty = call.result == 0 && call.error == NCNV_UNSUPPORTED;
            EXPECT_TRUE(h == nullptr || whole || empty) << budget;
            ncnv_releaseConverter(h);
        }
        EXPECT_TRUE(sawSuccess) << in;
    }
}

// A line that cannot be read, for want of memory or by a read error, leaves no partial table:
// the converter is empty, with no message. The lead-byte line read before the failure still
// gives the longest character. Without a failure the whole table is there.
TEST(AllocationTest, UnreadableLineLeavesNoTable)
{
    noxtest::TempDir dir; // a 2 MiB comment line amid the records
    const std::string path =
        dir.write("long.ucm", "<nox_lead_bytes> 01-7F:1\n<U0041> \\x41 |0\n<U0042> \\x42 |0\n#" +
                                  std::string(2 << 20, 'c') + "\n<U0043> \\x43 |0\n");
    // clang-format off
    const struct { const char* name; bool failLarge; int readsBeforeError, longest, converted; } cases[] = {
#if !defined(NOX_ADDRESS_SANITIZER)
        {"no memory for the long line", true, 0, 1, 0},
#endif
        {"read error at the first read", false, 1, 0, 0}, {"read error after the first piece", false, 2, 1, 0},
        {"no failure", false, 0, 1, 3}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NoxUConverter* h = nullptr;
        EXPECT_EQ("", noxtest::captureStderr([&] {
                      s_failLargeAllocations = c.failLarge;
                      s_readsBeforeError = c.readsBeforeError; // back to 0 at the failing read
                      h = ncnv_loadConverter(path.c_str());
                      s_failLargeAllocations = false;
                  }));
        const noxtest::Call call = noxtest::toUChars(h, "ABC", 3, 4);
        EXPECT_EQ(
            std::make_tuple(c.longest, c.converted, c.converted == 3 ? NCNV_OK : NCNV_UNSUPPORTED),
            std::make_tuple(ncnv_MB_CUR_MAX(h, nullptr), call.result, call.error));
        ncnv_releaseConverter(h);
    }
}

} // namespace

// glibc's own allocation functions, which the replacements forward to. AddressSanitizer has
// allocation functions of its own: under it the C allocations are not replaced.
#if !defined(NOX_ADDRESS_SANITIZER)
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_realloc(void* p, size_t size);

extern "C" void* malloc(size_t size)
{
    return s_failLargeAllocations && size >= (1u << 20) ? nullptr : __libc_malloc(size);
}

extern "C" void* realloc(void* p, size_t size)
{
    const bool fail = s_failLargeAllocations && size >= (1u << 20);
    return fail ? (errno = ENOMEM, nullptr) : __libc_realloc(p, size);
}
#endif

// Reads from the file, or fails with an input/output error at the chosen read. The system
// call is made directly: looking up the C library's read allocates, and this replacement is
// already in use while the sanitizers start.
extern "C" ssize_t read(int fd, void* buffer, size_t size)
{
    const bool fail = s_readsBeforeError > 0 && --s_readsBeforeError == 0;
    return fail ? (errno = EIO, -1) : static_cast<ssize_t>(syscall(SYS_read, fd, buffer, size));
}

// All allocation functions are replaced together, so that every delete matches its new.
// clang-format off
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return s_allocate(n, true); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return s_allocate(n, true); }
void* operator new(std::size_t n) { return s_allocate(n, false); }
void* operator new[](std::size_t n) { return s_allocate(n, false); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
// clang-format on

// The allocator's edge cases and the exact garbling pattern.
#include "support/test_support.h"

#include "qv_sys/sysmemory.h"

#include <tuple>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace {

TEST(SysMemory, ZeroSizesNullPointersAndExhaustion) {
    EXPECT_EQ(sys_malloc(0), nullptr);
    EXPECT_EQ(sys_realloc(nullptr, 0), nullptr);
    sys_free(nullptr);
    // Far more than any heap gives: null, and a block asked to grow that far stays as it was.
    const sys_u64 impossible = (sys_u64)1 << 62;
    EXPECT_EQ(sys_malloc(impossible), nullptr);
    char* p = (char*)sys_realloc(nullptr, 8); // realloc of null allocates
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t)p % 16, 0u);
    memcpy(p, "qv_sys!", 8);
    EXPECT_EQ(sys_realloc(p, impossible), nullptr);
    EXPECT_STREQ(p, "qv_sys!");
    p = (char*)sys_realloc(p, 1 << 20); // far enough to move: the bytes go along
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "qv_sys!");
    // Shrunk to zero bytes it is still a live block of the heap, which grows again.
    ASSERT_NE(p = (char*)sys_realloc(p, 0), nullptr);
    p = (char*)sys_realloc(p, 64);
    ASSERT_NE(p, nullptr);
    memset(p, 1, 64);
    sys_free(p);
}

// A page at a fixed address, so the pattern can be checked against bytes worked out by hand:
// below 2 GiB (application memory under ASan and TSan) and away from Windows' images.
sys_u8* fixed_page() {
    void* const want = (void*)0x3a5a0000ull;
#if defined(_WIN32)
    void* page = VirtualAlloc(want, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    void* page = mmap(want, 4096, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
#endif
    return page == want ? (sys_u8*)page : nullptr;
}

TEST(SysMemory, GarbleWritesTheKnownPatternForAnAddressAndSize) {
    sys_u8* p = fixed_page();
    ASSERT_NE(p, nullptr) << "could not map the test page at its fixed address";
    p += 0x4a8;

    // clang-format off
    const std::tuple<sys_u8*, sys_u64, std::vector<sys_u8>> cases[] = {
        {p, 0, {}}, {p, 1, {0xcc}}, {p, 5, {0x41, 0x20, 0xdd, 0xac, 0x76}},
        {p, 16, {0xf4, 0x51, 0x62, 0x3d, 0x11, 0xe7, 0x94, 0x9e,
                 0x00, 0x6f, 0x94, 0x4e, 0xf5, 0x96, 0x34, 0x0a}},
        {p + 1, 16, {0x69, 0x15, 0x30, 0x86, 0x06, 0xa5, 0xc9, 0xe2,
                     0x6f, 0x98, 0x2e, 0x4b, 0x31, 0xb7, 0xc2, 0xbe}},
    };
    // clang-format on
    for (const auto& [at, size, bytes] : cases) {
        for (int round = 0; round < 2; ++round) { // the same bytes again: nothing else feeds it
            memset(p - 8, 0xee, 64);
            sys_memgarble(at, size);
            EXPECT_EQ(std::vector<sys_u8>(at, at + size), bytes) << "size " << size;
            EXPECT_EQ(at[-1], 0xee); // nothing outside the block is touched
            EXPECT_EQ(at[size], 0xee);
        }
    }
}

} // namespace

// The allocator's edge cases and the exact garbling pattern.
#include "support/test_support.h"

#include "qv_sys/sysmemory.h"

#include <stdint.h>
#include <string.h>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace {

// Far more than any heap can give; the request must fail cleanly with null.
constexpr sys_u64 kImpossibleSize = (sys_u64)1 << 62;

TEST(SysMemory, ZeroSizesAndNullPointers) {
    EXPECT_EQ(sys_malloc(0), nullptr);
    EXPECT_EQ(sys_realloc(nullptr, 0), nullptr);
    sys_free(nullptr);

    // realloc(null, n) is malloc(n): a real, usable block.
    void* p = sys_realloc(nullptr, 24);
    ASSERT_NE(p, nullptr);
    memset(p, 0x5a, 24);
    sys_free(p);
}

TEST(SysMemory, BlocksAreSixteenByteAligned) {
    std::vector<void*> blocks;
    for (sys_u64 size : {1, 3, 8, 15, 16, 17, 100, 4096, 65537}) {
        void* p = sys_malloc(size);
        ASSERT_NE(p, nullptr) << size;
        EXPECT_EQ((uintptr_t)p % 16, 0u) << size;
        memset(p, 0xa5, (size_t)size);
        blocks.push_back(p);
    }
    for (void* p : blocks)
        sys_free(p);
}

TEST(SysMemory, ReallocToZeroKeepsALiveBlock) {
    void* p = sys_malloc(32);
    ASSERT_NE(p, nullptr);
    void* q = sys_realloc(p, 0);
    ASSERT_NE(q, nullptr);
    // Still a block of the heap: it grows again and is freed normally.
    void* r = sys_realloc(q, 64);
    ASSERT_NE(r, nullptr);
    memset(r, 1, 64);
    sys_free(r);
}

TEST(SysMemory, GrowingAndShrinkingKeepTheBytes) {
    sys_u8* p = (sys_u8*)sys_malloc(16);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; ++i)
        p[i] = (sys_u8)(i * 7 + 1);
    // Grow far enough that the heap has to move the block.
    sys_u8* q = (sys_u8*)sys_realloc(p, 1 << 20);
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(q[i], (sys_u8)(i * 7 + 1)) << i;
    sys_u8* r = (sys_u8*)sys_realloc(q, 8);
    ASSERT_NE(r, nullptr);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(r[i], (sys_u8)(i * 7 + 1)) << i;
    sys_free(r);
}

TEST(SysMemory, ExhaustionYieldsNullAndKeepsTheOldBlock) {
    EXPECT_EQ(sys_malloc(kImpossibleSize), nullptr);

    sys_u8* p = (sys_u8*)sys_malloc(8);
    ASSERT_NE(p, nullptr);
    memcpy(p, "qv_sys!", 8);
    EXPECT_EQ(sys_realloc(p, kImpossibleSize), nullptr);
    EXPECT_STREQ((const char*)p, "qv_sys!");
    sys_free(p);
}

// A page at a fixed address, so the pattern can be checked against bytes worked out by hand
// (outside this code) for that address.
class FixedPage {
  public:
    static constexpr uintptr_t kBase = 0x200000000000ull;
    FixedPage() {
#if defined(_WIN32)
        page_ = VirtualAlloc((void*)kBase, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
        page_ = mmap((void*)kBase, 4096, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (page_ == MAP_FAILED)
            page_ = nullptr;
#endif
    }
    ~FixedPage() {
#if defined(_WIN32)
        if (page_)
            VirtualFree(page_, 0, MEM_RELEASE);
#else
        if (page_)
            munmap(page_, 4096);
#endif
    }
    sys_u8* at(uintptr_t offset) const {
        return page_ == (void*)kBase ? (sys_u8*)page_ + offset : nullptr;
    }

  private:
    void* page_ = nullptr;
};

TEST(SysMemory, GarbleWritesTheKnownPatternForAnAddress) {
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
    // ThreadSanitizer owns that part of the address space and ends the process on a mapping
    // there; the address-independent test below still runs.
    GTEST_SKIP() << "the fixed test address lies in ThreadSanitizer's reserved range";
#endif
#endif
    FixedPage page;
    sys_u8* p = page.at(0x4a8);
    ASSERT_NE(p, nullptr) << "could not map the test page at its fixed address";

    struct Case {
        sys_u8* at;
        sys_u64 size;
        std::vector<sys_u8> bytes;
    };
    const Case cases[] = {
        {p, 1, {0x00}},
        {p, 2, {0x00, 0x06}},
        {p, 5, {0x00, 0x63, 0x98, 0xd4, 0xd7}},
        {p,
         16,
         {0x00, 0xa5, 0x49, 0x4a, 0xdf, 0x64, 0x7b, 0x7b, 0x31, 0x1f, 0xbf, 0xc1, 0x4c, 0x3d, 0x67,
          0xd5}},
        {p + 1,
         16,
         {0x00, 0xad, 0xdf, 0x38, 0xc7, 0xbb, 0x35, 0x1d, 0x2b, 0x81, 0xa9, 0x35, 0xa2, 0xc1, 0x2d,
          0xce}},
    };
    for (const Case& c : cases) {
        memset(p - 8, 0xee, 64);
        sys_memgarble(c.at, c.size);
        EXPECT_EQ(std::vector<sys_u8>(c.at, c.at + c.size), c.bytes) << "size " << c.size;
        // Nothing outside the block is touched.
        EXPECT_EQ(c.at[-1], 0xee);
        EXPECT_EQ(c.at[c.size], 0xee);
    }
}

// The same pattern, worked out a second way: 128-bit products reduced to 64 bits, per byte.
std::vector<sys_u8> garble_reference(const void* at, sys_u64 size) {
    const unsigned __int128 mod = (unsigned __int128)1 << 64;
    const unsigned __int128 a = (uintptr_t)at;
    unsigned __int128 state = (a * size + 39) % mod;
    std::vector<sys_u8> out;
    for (sys_u64 i = 0; i < size; ++i) {
        state = (state * (i + 1)) % mod;
        state = (state * a) % mod;
        state = (state * size + 127) % mod;
        out.push_back((sys_u8)(state >> 32));
    }
    return out;
}

TEST(SysMemory, GarbleDependsOnlyOnAddressAndSize) {
    sys_u8* p = (sys_u8*)sys_malloc(300);
    ASSERT_NE(p, nullptr);
    for (sys_u64 size : {1, 7, 64, 299}) {
        memset(p, 0, 300);
        sys_memgarble(p + 1, size);
        std::vector<sys_u8> first(p + 1, p + 1 + size);
        EXPECT_EQ(first, garble_reference(p + 1, size)) << size;
        sys_memgarble(p + 1, size);
        EXPECT_EQ(std::vector<sys_u8>(p + 1, p + 1 + size), first) << "repeatable, " << size;
        if (size >= 7) {
            // The same size elsewhere gives other bytes.
            sys_memgarble(p, size);
            EXPECT_NE(std::vector<sys_u8>(p, p + size), first) << size;
        }
    }
    memset(p, 0x11, 300);
    sys_memgarble(p, 0);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(p[i], 0x11) << i;
    sys_free(p);
}

} // namespace

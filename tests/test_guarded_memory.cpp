// Guarded blocks. Linux probes each address for real, catching the fault; Windows asks the
// memory manager for the page's protection, which is what the processor enforces.
#include "support/test_support.h"

#include "qv_sys/sysmemory.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

enum class Access { none, read, read_write };

#if defined(_WIN32)
Access probe(const void* address) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(address, &info, sizeof info) == 0 || info.State != MEM_COMMIT)
        return Access::none;
    const DWORD protect = info.Protect & 0xff;
    return protect == PAGE_READWRITE  ? Access::read_write
           : protect == PAGE_READONLY ? Access::read
                                      : Access::none;
}
sys_u64 page_size() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}
#else
sigjmp_buf g_jump;

// Reads, then writes back the same byte, catching the fault of either.
Access probe(const void* address) {
    struct sigaction sa = {}, old_segv, old_bus;
    sa.sa_handler = [](int) { siglongjmp(g_jump, 1); };
    sigaction(SIGSEGV, &sa, &old_segv);
    sigaction(SIGBUS, &sa, &old_bus);
    volatile unsigned char* p = (volatile unsigned char*)address;
    volatile Access result = Access::none; // assigned between sigsetjmp and a fault
    if (sigsetjmp(g_jump, 1) == 0) {
        const unsigned char value = *p;
        result = Access::read;
        *p = value;
        result = Access::read_write;
    }
    sigaction(SIGSEGV, &old_segv, nullptr);
    sigaction(SIGBUS, &old_bus, nullptr);
    return result;
}
sys_u64 page_size() {
    return (sys_u64)sysconf(_SC_PAGESIZE);
}
#endif

// Whole pages between two guards; modes round the length up, an unknown one means read-write.
TEST(GuardedMemory, BlocksFillWholePagesBetweenTwoGuardsAndSwitchModesByPage) {
    const sys_u64 page = page_size();
    for (sys_u64 size : {(sys_u64)1, page, 2 * page + 1}) {
        unsigned char* block = (unsigned char*)sys_mem_access_malloc(size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ((uintptr_t)block % page, 0u);
        const sys_u64 end = (size + page - 1) / page * page;
        EXPECT_EQ(probe(block), Access::read_write) << size;
        EXPECT_EQ(probe(block + end - 1), Access::read_write) << size;
        EXPECT_EQ(probe(block - 1), Access::none) << size; // the header page
        EXPECT_EQ(probe(block + end), Access::none) << size;
        sys_mem_access_free(block);
    }
    unsigned char* block = (unsigned char*)sys_mem_access_malloc(2 * page);
    ASSERT_NE(block, nullptr);
    sys_mem_access_set(block, SYS_MEM_ACCESS_READ_ONLY, 1);
    EXPECT_EQ(probe(block + page - 1), Access::read);
    EXPECT_EQ(probe(block + page), Access::read_write);
    sys_mem_access_set(block, SYS_MEM_ACCESS_NONE, 2 * page);
    EXPECT_EQ(probe(block + page), Access::none);
    sys_mem_access_set(block + page, 7, page);
    EXPECT_EQ(probe(block), Access::none);
    EXPECT_EQ(probe(block + page), Access::read_write);
    sys_mem_access_free(block); // freeing works whatever the pages' modes
}

// Null is no block, also before any block exists (in a fresh process the page size was never
// fetched); a mode change off a page boundary fails too.
TEST(GuardedMemoryDeathTest, MisuseIsReported) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QV_EXPECT_CHECK_FAILS(sys_mem_access_free(nullptr));
    QV_EXPECT_CHECK_FAILS({
        sys_mem_access_free(sys_mem_access_malloc(1));
        sys_mem_access_free(nullptr);
    });
    QV_EXPECT_CHECK_FAILS({
        unsigned char* block = (unsigned char*)sys_mem_access_malloc(64);
        sys_mem_access_set(block + 1, SYS_MEM_ACCESS_NONE, 1);
    });
}

} // namespace

// Guarded blocks: where they sit, which bytes are reachable, and the access modes. Linux probes
// each address for real, catching the fault; Windows asks the memory manager instead.
#include "support/test_support.h"

#include "qv_sys/sysmemory.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <setjmp.h>
#include <signal.h>
#include <sys/wait.h>
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
#else
sigjmp_buf g_jump;
void on_fault(int) {
    siglongjmp(g_jump, 1);
}

// Reads, then writes back the same byte, catching the fault of either.
Access probe(const void* address) {
    struct sigaction sa = {}, old_segv, old_bus;
    sa.sa_handler = on_fault;
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
#endif

sys_u64 page_size() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return (sys_u64)sysconf(_SC_PAGESIZE);
#endif
}

TEST(GuardedMemory, BlocksFillWholePagesBetweenTwoGuards) {
    const sys_u64 page = page_size();
    for (sys_u64 size : {(sys_u64)1, (sys_u64)10, page, 2 * page + 1, 3 * page}) {
        unsigned char* block = (unsigned char*)sys_mem_access_malloc(size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ((uintptr_t)block % page, 0u);
        const sys_u64 pages = (size + page - 1) / page;
        for (sys_u64 i = 0; i < pages; ++i) { // the slack of the last page included
            EXPECT_EQ(probe(block + i * page), Access::read_write) << size << " page " << i;
            EXPECT_EQ(probe(block + i * page + page - 1), Access::read_write) << size;
        }
        EXPECT_EQ(probe(block - 1), Access::none) << size;            // the header page
        EXPECT_EQ(probe(block + pages * page), Access::none) << size; // the page after
        sys_mem_access_free(block);
    }
}

TEST(GuardedMemory, AccessModesSwitchWholePages) {
    const sys_u64 page = page_size();
    unsigned char* block = (unsigned char*)sys_mem_access_malloc(2 * page);
    ASSERT_NE(block, nullptr);
    sys_mem_access_set(block, SYS_MEM_ACCESS_READ_ONLY, 1); // rounds up to the first page
    EXPECT_EQ(probe(block), Access::read);
    EXPECT_EQ(probe(block + page - 1), Access::read);
    EXPECT_EQ(probe(block + page), Access::read_write);
    sys_mem_access_set(block, SYS_MEM_ACCESS_NONE, 2 * page);
    EXPECT_EQ(probe(block), Access::none);
    EXPECT_EQ(probe(block + page), Access::none);
    sys_mem_access_set(block + page, 7, page); // any other mode means read-write
    EXPECT_EQ(probe(block), Access::none);
    EXPECT_EQ(probe(block + page), Access::read_write);
    sys_mem_access_set(block, SYS_MEM_ACCESS_READ_WRITE, 2 * page);
    EXPECT_EQ(probe(block), Access::read_write);
    sys_mem_access_free(block); // freeing works whatever the pages' modes
}

TEST(GuardedMemoryDeathTest, MisuseIsReported) {
    // Free before any block exists: a fresh process, where the page size was never fetched.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QV_EXPECT_CHECK_FAILS(sys_mem_access_free(nullptr));
    QV_EXPECT_CHECK_FAILS({
        unsigned char* block = (unsigned char*)sys_mem_access_malloc(64);
        sys_mem_access_set(block + 1, SYS_MEM_ACCESS_NONE, 1);
    });
}

// The pointer passes through an empty statement so the compiler keeps every access.
volatile unsigned char* opaque(void* p) {
    __asm__ __volatile__("" : "+r"(p));
    return (volatile unsigned char*)p;
}

bool ended_by_access_violation(int status) {
#if defined(_WIN32)
    return (unsigned)status == 0xc0000005u;
#else
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGSEGV || WTERMSIG(status) == SIGBUS;
#if QV_TEST_ASAN || QV_TEST_TSAN
    // The sanitizers catch the fault themselves, report it and exit with an error code.
    return WIFEXITED(status) && WEXITSTATUS(status) != 0;
#else
    return false;
#endif
#endif
}

// A write to a read-only block and one just past a page-sized block fault at once and end the
// process as an access violation (on Windows the probes above only ask).
TEST(GuardedMemoryDeathTest, StrayAccessesFaultAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const sys_u64 page = page_size();
    EXPECT_EXIT(
        {
            void* block = sys_mem_access_malloc(16);
            sys_mem_access_set(block, SYS_MEM_ACCESS_READ_ONLY, 16);
            opaque(block)[0] = 1;
            exit(0);
        },
        ended_by_access_violation, "");
    EXPECT_EXIT(
        {
            opaque(sys_mem_access_malloc(page))[page] = 1;
            exit(0);
        },
        ended_by_access_violation, "");
}

} // namespace

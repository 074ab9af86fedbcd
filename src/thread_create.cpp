// Threads the library starts: creation with its log lines, the entry routine every such
// thread runs first, join and forced end, and the calling thread's sleep, yield and exit.
#include "qv_sys/assertion.h"
#include "qv_sys/cstr.h"
#include "qv_sys/io.h"
#include "qv_sys/scope.h"
#include "qv_sys/sysmemory.h"
#include "qv_sys/thread.h"

#include "cstr_internal.h"
#include "platform/os.h"
#include "profiler/scope_internal.h"

namespace {

// Handed from the creating thread to the new one, which copies it and frees it before the
// thread function runs; the creator does not touch it once the thread is started.
struct ThreadStartBlock {
    thread_function function;
    void* argument;
    char name[32];
};
static_assert(sizeof(ThreadStartBlock) == 48);

// Runs first on every thread started here. The scope is opened before the block is freed so
// that the whole life of the thread, its bookkeeping included, falls inside "thread_entry".
// threadlocal_exit leaves from inside `function`: no "about to exit" line, no scope_end.
sys_u32 thread_entry_routine(void* block) {
    ThreadStartBlock start;
    const ThreadStartBlock* given = static_cast<const ThreadStartBlock*>(block);
    start.function = given->function;
    start.argument = given->argument;
    for (int i = 0; i < 32; ++i)
        start.name[i] = given->name[i];

    sys_u32 result;
    {
        scope_guard guard("thread_entry");
        scope_library_thread_started(start.name);
        sys_free(block);
        os_thread_function_enter(start.name);
        result = start.function(start.argument);
        os_thread_function_leave();
        SYS_LOG("QV_SYS", "Thread %s about to exit\n", start.name);
    }
    return result;
}

} // namespace

sys_u32 thread_util_hardware_concurrency(void) {
    return os_processor_count();
}

void threadlocal_sleep(sys_u32 milliseconds) {
    os_thread_sleep(milliseconds);
}

void threadlocal_yield(void) {
    os_thread_yield();
}

void threadlocal_exit(sys_u32 exit_code) {
    os_thread_exit(exit_code);
}

void* thread_thread_create(thread_function function, void* argument, const char* name,
                           sys_i64 processor) {
    // Written before the name is tested, so a rejected name still shows up in the log.
    SYS_LOG("QV_SYS", "Thread %s being created\n", name);
    // The reported text keeps the spacing every platform's report shows for this check.
    if (!SYS_CHECK_TEXT_MSG(sys_strlen(name) <= 15, "sys_strlen( name ) <= 15", NULL))
        return nullptr;

    ThreadStartBlock* block = static_cast<ThreadStartBlock*>(sys_malloc(sizeof(ThreadStartBlock)));
    void* h = nullptr;
    sys_u32 id = 0;
    if (block != nullptr) {
        block->function = function;
        block->argument = argument;
        sys_strncpy(block->name, name, sizeof(block->name));
        h = os_thread_start(thread_entry_routine, block, &id);
        // A thread that never started never frees its block.
        if (h == nullptr)
            sys_free(block);
    }
    if (!SYS_CHECK(h))
        return nullptr;

    if (processor != -1)
        os_thread_set_affinity(h, sys_u64(1) << (sys_u64(processor) % 64));
    os_thread_announce_name(h, id, name);
    return h;
}

sys_u32 thread_thread_join(void* thread) {
    for (;;) {
        const bool res = os_thread_wait(thread, true) == OsThreadState::ended;
        if (SYS_CHECK_TEXT_MSG(res, "res == ((((DWORD )0x00000000L) ) + 0 )", NULL))
            break;
    }
    sys_u32 code = 0;
    bool b = os_thread_exit_code(thread, &code);
    SYS_CHECK(b);
    b = os_thread_close(thread);
    SYS_CHECK(b);
    return code;
}

void thread_thread_destroy(void* thread) {
    bool b;
    if (os_thread_wait(thread, false) != OsThreadState::ended) {
        b = os_thread_terminate(thread);
        SYS_CHECK(b);
    }
    b = os_thread_close(thread);
    SYS_CHECK(b);
}

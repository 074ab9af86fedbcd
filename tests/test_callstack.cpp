// Call stacks, innermost first, from the calling thread or from a processor context.
#include "support/test_support.h"

#include "qv_sys/assertion.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <setjmp.h>
#include <signal.h>
#endif

#define NOINLINE __attribute__((noinline))

#if QV_TEST_TSAN
// Known limits of the walk: a first lookup reads the module's tables, and the loader makes a
// late library's thread-local block on first touch. Other allocations in a handler still count.
extern "C" const char* __tsan_default_suppressions() {
    return "signal:libdw.so.1\nsignal:libelf.so.1\nsignal:walk_context\nsignal:on_unwind_frame\n";
}
#endif

// Keeps a call from becoming a jump, which would drop the caller's frame.
#define KEEP(x) __asm__ __volatile__("" : "+r"(x) : : "memory")

namespace {

std::string base_name(const std::string& path) {
    return path.substr(path.find_last_of("/\\") + 1);
}

bool names(const callstack_entry& e, const char* function) {
    return strstr(e.function, function) != nullptr;
}

// Texts with only zeros behind them, a name, and a line and displacement only with a file.
void expect_well_formed(const callstack_entry* frames, sys_u64 count) {
    auto clean = [](const char* text, size_t size) {
        const size_t n = strnlen(text, size);
        return n < size && std::all_of(text + n, text + size, [](char c) { return c == 0; });
    };
    for (sys_u64 i = 0; i < count; ++i) {
        const callstack_entry& e = frames[i];
        EXPECT_TRUE(clean(e.function, sizeof e.function) && clean(e.file, sizeof e.file) &&
                    e.function[0] != 0 && (e.file[0] != 0 || e.line + e.displacement == 0))
            << "frame " << i << ": " << e.function;
    }
}

void expect_frame(const callstack_entry& e, const char* function, const char* file, int line) {
    EXPECT_TRUE(names(e, function)) << "function \"" << e.function << "\", wanted " << function;
    EXPECT_EQ(base_name(e.file), file) << e.file;
    EXPECT_TRUE(line <= 0 || e.line == (sys_u32)line)
        << e.function << ":" << e.line << ", wanted " << line;
}

int g_walk_line = 0;
NOINLINE sys_u64 walk_here(callstack_entry* frames, sys_u64 capacity) {
    g_walk_line = __LINE__ + 1;
    sys_u64 n = callstack_get(frames, capacity, nullptr);
    KEEP(n);
    return n;
}

NOINLINE sys_u64 recurse_then_walk(int depth, callstack_entry* frames, sys_u64 capacity) {
    sys_u64 n =
        depth > 0 ? recurse_then_walk(depth - 1, frames, capacity) : walk_here(frames, capacity);
    KEEP(n);
    return n;
}

callstack_entry g_frames[256];

// From the walker's own frame through 40 recursions to the test; the count is stable.
TEST(Callstack, FramesComeBackInOrderWithFileAndLineUpToTheCapacity) {
    callstack_symbols_find_dbghelp(); // finding the symbol library again is harmless
    callstack_symbols_find_dbghelp();
    const int depth = 40;
    sys_u64 n = recurse_then_walk(depth, g_frames, 256);
    ASSERT_GE(n, (sys_u64)depth + 4);
    expect_well_formed(g_frames, n);
    EXPECT_STREQ(g_frames[0].function, "callstack_get");
    EXPECT_EQ(base_name(g_frames[0].file), "callstack.cpp");
    EXPECT_GT(g_frames[0].line, 0u);
    expect_frame(g_frames[1], "walk_here", "test_callstack.cpp", g_walk_line);
    for (int i = 0; i <= depth; ++i)
        ASSERT_TRUE(names(g_frames[2 + i], "recurse_then_walk")) << g_frames[2 + i].function;
    expect_frame(g_frames[3 + depth], "FramesComeBackInOrder", "test_callstack.cpp", 0);
    EXPECT_EQ(recurse_then_walk(depth, g_frames, 256), n);
    // Undecorated: no parameter list.
    EXPECT_EQ(strchr(g_frames[1].function, '('), strstr(g_frames[1].function, "(anonymous"));

    // Nothing past the capacity is touched.
    for (sys_u64 capacity : {0, 1, 2, 5}) {
        memset(g_frames, 0xAB, sizeof g_frames);
        EXPECT_EQ(walk_here(g_frames, capacity), capacity);
        expect_well_formed(g_frames, capacity);
        const char* past = reinterpret_cast<const char*>(&g_frames[capacity]);
        EXPECT_EQ(std::string(past, sizeof(callstack_entry)),
                  std::string(sizeof(callstack_entry), '\xAB'))
            << capacity;
    }
    EXPECT_EQ(callstack_get(nullptr, 8, nullptr), 0u);
}

// A call through null faults before the callee has a frame: the walk starts at the caller.
callstack_entry g_signal_frames[32];
sys_u64 g_signal_count = 0;
int g_null_call_line = 0;
void (*volatile g_null_function)() = nullptr;

NOINLINE void call_through_null() {
    g_null_call_line = __LINE__ + 1;
    g_null_function();
    __asm__ __volatile__("" : : : "memory");
}

#if defined(_WIN32)
LONG CALLBACK walk_null_call_and_return(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT* c = info->ContextRecord;
    g_signal_count = callstack_get(g_signal_frames, 32, c);
    c->Rip = *reinterpret_cast<DWORD64*>(c->Rsp);
    c->Rsp += 8;
    return EXCEPTION_CONTINUE_EXECUTION;
}
#else
callstack_entry g_inside_frames[32];
sys_u64 g_inside_count = 0;
sigjmp_buf g_resume;

// Walks from the signal's context and from inside the handler, then resumes at g_resume.
void walk_fault_and_leave(int, siginfo_t*, void* uc) {
    g_signal_count = callstack_get(g_signal_frames, 32, uc);
    g_inside_count = callstack_get(g_inside_frames, 32, nullptr);
    siglongjmp(g_resume, 1);
}

struct ScopedSignal { // walk_fault_and_leave takes SIGSEGV while it lives
    struct sigaction old;
    ScopedSignal() {
        struct sigaction sa = {};
        sa.sa_sigaction = walk_fault_and_leave;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        callstack_symbols_find_dbghelp(); // loaded before a handler runs
        sigaction(SIGSEGV, &sa, &old);
    }
    ~ScopedSignal() { sigaction(SIGSEGV, &old, nullptr); }
};
#endif

TEST(CallstackContext, CallThroughNullStartsAtTheCaller) {
#if defined(_WIN32)
    void* handler = AddVectoredExceptionHandler(1, walk_null_call_and_return);
    call_through_null();
    RemoveVectoredExceptionHandler(handler);
#else
    ScopedSignal guard;
    if (sigsetjmp(g_resume, 1) == 0)
        call_through_null();
#endif
    ASSERT_GE(g_signal_count, 2u);
    expect_well_formed(g_signal_frames, g_signal_count);
    expect_frame(g_signal_frames[0], "call_through_null", "test_callstack.cpp", g_null_call_line);
    EXPECT_TRUE(names(g_signal_frames[1], "CallThroughNullStartsAtTheCaller"));
}

#if !defined(_WIN32)
int g_fault_line = 0;
volatile uintptr_t g_bad_address = 8; // unmapped, yet not null (a null store is UB, not a fault)

NOINLINE void fault_here() {
    g_fault_line = __LINE__ + 1;
    *reinterpret_cast<volatile int*>(g_bad_address) = 1;
}

NOINLINE void call_fault() {
    fault_here();
    __asm__ __volatile__("" : : : "memory");
}

// From the signal's context, or from inside the handler (past the handler and the signal
// trampoline), the interrupted frame shows its own instruction's line.
TEST(CallstackContext, SignalContextStartsAtTheFaultingInstruction) {
    ScopedSignal guard;
    if (sigsetjmp(g_resume, 1) == 0)
        call_fault();
    ASSERT_GE(g_signal_count, 3u);
    expect_well_formed(g_signal_frames, g_signal_count);
    expect_frame(g_signal_frames[0], "fault_here", "test_callstack.cpp", g_fault_line);
    expect_frame(g_signal_frames[1], "call_fault", "test_callstack.cpp", 0);
    EXPECT_TRUE(names(g_signal_frames[2], "SignalContextStartsAtTheFaultingInstruction"));

    ASSERT_GE(g_inside_count, 4u);
    expect_well_formed(g_inside_frames, g_inside_count);
    EXPECT_TRUE(names(g_inside_frames[1], "walk_fault_and_leave"));
    auto* end = g_inside_frames + g_inside_count;
    auto* at = std::find_if(g_inside_frames + 2, end,
                            [](const callstack_entry& e) { return names(e, "fault_here"); });
    ASSERT_NE(at, end) << "the interrupted frame is missing";
    EXPECT_EQ(at->line, (sys_u32)g_fault_line);
}

// A library loaded after the first walk is named from its debug information, unexported too.
TEST(Callstack, LibraryLoadedAfterTheFirstWalkIsNamed) {
    ASSERT_GE(walk_here(g_frames, 4), 2u);
    void* module = dlopen(QV_TEST_LATE_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    using Call = sys_u64 (*)(sys_u64(*)(callstack_entry*, sys_u64), callstack_entry*, sys_u64);
    Call call = reinterpret_cast<Call>(dlsym(module, "late_module_call"));
    ASSERT_NE(call, nullptr);
    sys_u64 n = call(walk_here, g_frames, 16);
    ASSERT_GE(n, 4u);
    expect_well_formed(g_frames, n);
    expect_frame(g_frames[2], "late_module_inner", "late_module.cpp", 0);
    EXPECT_GT(g_frames[2].line, 0u);
    expect_frame(g_frames[3], "late_module_call", "late_module.cpp", 0);
    dlclose(module); // and after it is gone, walking still works
    EXPECT_GE(walk_here(g_frames, 4), 2u);
    EXPECT_TRUE(names(g_frames[1], "walk_here"));
}
#endif

} // namespace

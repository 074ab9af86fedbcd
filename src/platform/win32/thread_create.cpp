// Windows threads: _beginthreadex with a stack reserve of at least 1 MiB, the thread-naming
// exception for debuggers (swallowed by a vectored handler, since MinGW gcc has no structured
// exception blocks) plus SetThreadDescription where the system has it.
#include "platform/os.h"

#include <process.h>
#include <windows.h>

namespace {

// The assertion report's frame alone is about 270 KB.
constexpr SIZE_T kMinStackBytes = SIZE_T(1) << 20;

// The program's own stack reserve, from its image header: threads get it unless it is below
// the minimum, in which case they reserve the minimum instead (committing it would cost 1 MiB
// of commit charge per thread).
void stack_request(unsigned* size, unsigned* flags) {
    *size = 0;
    *flags = 0;
    const BYTE* image = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    if (image == nullptr)
        return;
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const IMAGE_NT_HEADERS64* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS64*>(image + dos->e_lfanew);
    if (nt->OptionalHeader.SizeOfStackReserve >= kMinStackBytes)
        return;
    *size = unsigned(kMinStackBytes);
    *flags = STACK_SIZE_PARAM_IS_A_RESERVATION;
}

constexpr DWORD kThreadNameException = 0x406D1388;

// The record a debugger reads from the naming exception's arguments (24 bytes).
#pragma pack(push, 8)
struct ThreadNameInfo {
    DWORD type; // 0x1000
    LPCSTR name;
    DWORD thread_id;
    DWORD flags;
};
#pragma pack(pop)
static_assert(sizeof(ThreadNameInfo) == 24);

// Reached only when no debugger took the exception first: it has done its job (or had
// nobody to tell), so execution goes on after RaiseException.
LONG CALLBACK swallow_thread_name(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == kThreadNameException)
        return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
}

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

SetThreadDescriptionFn set_thread_description() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr)
        return nullptr;
    return reinterpret_cast<SetThreadDescriptionFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
}

} // namespace

void* os_thread_start(OsThreadEntry entry, void* block, sys_u32* id) {
    unsigned stack = 0;
    unsigned flags = 0;
    stack_request(&stack, &flags);
    unsigned thread_id = 0;
    const uintptr_t h = _beginthreadex(nullptr, stack, entry, block, flags, &thread_id);
    *id = thread_id;
    return reinterpret_cast<void*>(h);
}

void os_thread_set_affinity(void* handle, sys_u64 mask) {
    SetThreadAffinityMask(static_cast<HANDLE>(handle), DWORD_PTR(mask));
}

void os_thread_announce_name(void* handle, sys_u32 id, const char* name) {
    ThreadNameInfo info;
    info.type = 0x1000;
    info.name = name;
    info.thread_id = id;
    info.flags = 0;
    // Added and removed around the raise: a handler left behind would point into this DLL
    // after it is unloaded.
    PVOID handler = AddVectoredExceptionHandler(1, swallow_thread_name);
    if (handler != nullptr) {
        RaiseException(kThreadNameException, 0, sizeof(info) / sizeof(ULONG_PTR),
                       reinterpret_cast<const ULONG_PTR*>(&info));
        RemoveVectoredExceptionHandler(handler);
    }

    // Newer debuggers and crash dumps read the description instead.
    static const SetThreadDescriptionFn describe = set_thread_description();
    if (describe != nullptr) {
        WCHAR wide[32];
        const int n = MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 32);
        if (n > 0)
            describe(static_cast<HANDLE>(handle), wide);
    }
}

void os_thread_function_enter(const char*) {}

void os_thread_function_leave() {}

OsThreadState os_thread_wait(void* handle, bool wait) {
    const DWORD res = WaitForSingleObject(static_cast<HANDLE>(handle), wait ? INFINITE : 0);
    if (res == WAIT_OBJECT_0)
        return OsThreadState::ended;
    return res == WAIT_TIMEOUT ? OsThreadState::running : OsThreadState::failed;
}

bool os_thread_exit_code(void* handle, sys_u32* code) {
    DWORD exit_code = 0;
    if (!GetExitCodeThread(static_cast<HANDLE>(handle), &exit_code))
        return false;
    *code = exit_code;
    return true;
}

// TerminateThread returns before the thread is gone; waiting makes "ended" mean the same on
// both platforms.
bool os_thread_terminate(void* handle) {
    if (!TerminateThread(static_cast<HANDLE>(handle), 0))
        return false;
    WaitForSingleObject(static_cast<HANDLE>(handle), INFINITE);
    return true;
}

bool os_thread_close(void* handle) {
    return CloseHandle(static_cast<HANDLE>(handle)) != 0;
}

void os_thread_sleep(sys_u32 milliseconds) {
    Sleep(milliseconds);
}

void os_thread_yield() {
    SwitchToThread();
}

void os_thread_exit(sys_u32 exit_code) {
    _endthreadex(exit_code);
    __builtin_unreachable();
}

sys_u32 os_processor_count() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

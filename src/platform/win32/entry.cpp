// The DLL entry routine. The runtime's start-up (including the library's one load-time
// initialiser) runs before it; its only own work is to switch off the per-thread attach and
// detach notifications, which the library never uses.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}

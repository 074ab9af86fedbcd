// Windows: the debugger's output window.
#include "platform/os.h"

#include <windows.h>

void os_debug_output(const char* text, sys_u64 length) {
    (void)length;
    OutputDebugStringA(text);
}

// Windows: debugger detection and the end of the process after a failed check.
#include "platform/os.h"

#include <windows.h>

bool os_debugger_present() {
    return IsDebuggerPresent() != 0;
}

void os_end_process_after_check() {
    ExitProcess((UINT)-1);
}

// Windows machine facts: GetSystemPowerStatus, the MachineGuid registry value, ShellExecuteW.
#include "platform/os.h"

#include "qv_sys/platform.h"

#include <windows.h>

#include <shellapi.h>

bool os_power_status(OsPowerStatus* status) {
    SYSTEM_POWER_STATUS s;
    if (!GetSystemPowerStatus(&s))
        return false;
    status->ac_line_status = s.ACLineStatus;
    status->battery_flag = s.BatteryFlag;
    status->battery_percent = s.BatteryLifePercent;
    // The fourth byte is SystemStatusFlag (battery saver) since Windows 10; the MinGW headers
    // still call it Reserved1.
    status->system_status_flag = s.Reserved1;
    return true;
}

bool os_machine_id(char* buffer, sys_u64* size) {
    DWORD buf_size = 1024;
    const LSTATUS res = RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography",
                                     "MachineGuid", RRF_RT_REG_SZ, nullptr, buffer, &buf_size);
    if (res != ERROR_SUCCESS)
        return false;
    *size = buf_size;
    return true;
}

void os_open_url(const char* url) {
    wchar_t wide[4096];
    if (sys_windows_utf8_to_wide(wide, 4096, url) == 0)
        return;
    ShellExecuteW(nullptr, L"open", wide, nullptr, nullptr, SW_SHOWNORMAL);
}

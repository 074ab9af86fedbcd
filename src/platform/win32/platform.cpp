// The Windows UTF-16 conversions, exported under their decorated C++ names
// (qv_sys/platform.h). Linux has no counterpart: see that header.
#include "qv_sys/platform.h"

#include "qv_sys/assertion.h"

#include <windows.h>

namespace {

// Capacities are passed to Windows as a 32-bit count.
int platform_count(sys_u64 capacity) {
    return capacity > 0x7FFFFFFFull ? 0x7FFFFFFF : (int)capacity;
}

} // namespace

// A capacity of 0 goes to Windows as it is: Windows then writes nothing and answers the size
// the text needs, which is the result.
sys_u64 sys_windows_wide_to_utf8(char* buffer, sys_u64 capacity, const wchar_t* text) {
    const int wctomb_ret = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer,
                                               platform_count(capacity), nullptr, nullptr);
    if (!SYS_CHECK(wctomb_ret))
        return 0;
    return (sys_u64)wctomb_ret;
}

sys_u64 sys_windows_utf8_to_wide(wchar_t* buffer, sys_u64 capacity, const char* text) {
    const int mbtowc_ret =
        MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, platform_count(capacity));
    if (!SYS_CHECK(mbtowc_ret))
        return 0;
    return (sys_u64)mbtowc_ret;
}

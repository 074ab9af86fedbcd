// Machine facts: processor features from CPUID, the power state, the machine identifier, the
// debugger, and opening a URL.
#include "qv_sys/misc.h"

#include "qv_sys/assertion.h"
#include "qv_sys/cstr.h"
#include "qv_sys/platform.h"

#include "misc_internal.h"
#include "cstr_internal.h"
#include "platform/os.h"

#include <cpuid.h>

namespace {

struct CpuFeature {
    sys_u32 leaf;
    int reg; // 0 EAX, 1 EBX, 2 ECX, 3 EDX
    sys_u32 bit;
};

constexpr CpuFeature kCpuFeatures[] = {
    {1, 2, 20}, // SSE4.2
    {1, 2, 28}, // AVX
    {7, 1, 5},  // AVX2
    {1, 2, 23}, // POPCNT
};

} // namespace

sys_i32 power_type_from_status(bool readable, const OsPowerStatus& s) {
    if (!readable)
        return POWER_TYPE_UNKNOWN;
    if (s.battery_flag == 255 || (s.battery_flag & 128) != 0)
        return POWER_TYPE_UNKNOWN;
    if ((s.battery_flag & 8) != 0)
        return POWER_TYPE_MAINS;
    if (s.ac_line_status == 255)
        return POWER_TYPE_UNKNOWN;
    if (s.ac_line_status == 1)
        return POWER_TYPE_MAINS;
    return s.system_status_flag == 1 ? POWER_TYPE_BATTERY_SAVER : POWER_TYPE_BATTERY;
}

// Only the saver asks the game to hold back: plain battery use is the player's choice.
sys_bool power_conserve_for(sys_i32 type) {
    return type == POWER_TYPE_BATTERY_SAVER ? 1 : 0;
}

extern "C" {

sys_bool cpu_supports(sys_u32 feature) {
    if (feature > 3)
        return 0;
    const CpuFeature& f = kCpuFeatures[feature];
    unsigned regs[4] = {0, 0, 0, 0};
    __cpuid_count(0, 0, regs[0], regs[1], regs[2], regs[3]);
    if (f.leaf > regs[0])
        return 0;
    __cpuid_count(f.leaf, 0, regs[0], regs[1], regs[2], regs[3]);
    return (regs[f.reg] >> f.bit) & 1u ? 1 : 0;
}

sys_i32 power_get_current_power_type(void) {
    OsPowerStatus status = {};
    const bool readable = os_power_status(&status);
    return power_type_from_status(readable, status);
}

sys_u8 power_get_remaining_battery_percentage(void) {
    OsPowerStatus status = {};
    if (!os_power_status(&status) || status.battery_percent == 255)
        return 100;
    return status.battery_percent;
}

sys_bool power_conserve(void) {
    return power_conserve_for(power_get_current_power_type());
}

sys_bool sys_is_debugger_present(void) {
    return os_debugger_present() ? 1 : 0;
}

} // extern "C"

sys_u64 sys_get_machine_guid(char* out, sys_u64 out_max) {
    char value[1024];
    sys_u64 buf_size = 0;
    if (os_machine_id(value, &buf_size))
        SYS_CHECK(buf_size < out_max);
    else
        sys_strncpy(value, "12345678", sizeof value);
    return sys_strncpy(out, value, out_max);
}

void sys_open_url(const char* url) {
    if (!url)
        return;
    // Windows hands the shell the URL converted into 4096 units, terminator included: a longer
    // one fails that conversion and opens nothing, on both platforms.
    const bool fits = sys_utf16_units(url) < kOsUrlUnits;
    if (SYS_CHECK_TEXT_MSG(fits, "mbtowc_ret", NULL))
        os_open_url(url);
}

/* qv_sys machine facts: processor features, power state, debugger.
 *
 * None of these keep state; all may be called from any thread. The machine identifier and
 * opening a URL are C++ declarations in qv_sys/platform.h (exported under decorated names),
 * which this header includes: a C++ host finds every machine fact here. */
#ifndef QV_SYS_MISC_H
#define QV_SYS_MISC_H

#include "qv_sys/platform.h"
#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* Feature indices for cpu_supports. */
#define CPU_FEATURE_SSE4_2 0u /* CPUID leaf 1, ECX bit 20 */
#define CPU_FEATURE_AVX    1u /* CPUID leaf 1, ECX bit 28 */
#define CPU_FEATURE_AVX2   2u /* CPUID leaf 7 (sub-leaf 0), EBX bit 5 */
#define CPU_FEATURE_POPCNT 3u /* CPUID leaf 1, ECX bit 23 */

/* Whether the processor reports the feature. Only the processor's flag is read: whether the
 * operating system saves the wider registers is not asked. An index above 3 gives false
 * without asking the processor; so does a leaf above the highest one it answers. */
QV_SYS_API sys_bool cpu_supports(sys_u32 feature);

/* Power types. Only these four values occur. */
#define POWER_TYPE_UNKNOWN       0
#define POWER_TYPE_MAINS         1
#define POWER_TYPE_BATTERY       2
#define POWER_TYPE_BATTERY_SAVER 5

/* Where the machine's power comes from:
 *   POWER_TYPE_UNKNOWN        no answer, no battery (a desktop), or an unknown state
 *   POWER_TYPE_MAINS          on mains, or the battery is charging
 *   POWER_TYPE_BATTERY        on battery
 *   POWER_TYPE_BATTERY_SAVER  on battery with the system's battery saver on
 * Windows: GetSystemPowerStatus. Linux: /sys/class/power_supply (a "Battery" supply's status,
 * the online flag of a "Mains" or USB supply (a USB-C charger); no battery supply counts as a
 * desktop); the battery saver is the ACPI platform profile "low-power"
 * (/sys/firmware/acpi/platform_profile), which is what desktop power-saving modes select. */
QV_SYS_API sys_i32 power_get_current_power_type(void);

/* The battery's charge in percent (0 to 100); 100 when unknown or without a battery. */
QV_SYS_API sys_u8 power_get_remaining_battery_percentage(void);

/* True exactly when the power type is POWER_TYPE_BATTERY_SAVER. */
QV_SYS_API sys_bool power_conserve(void);

/* Non-zero while a debugger is attached (Linux: any tracer, as TracerPid shows it). */
QV_SYS_API sys_bool sys_is_debugger_present(void);

QV_SYS_END_C

#endif /* QV_SYS_MISC_H */

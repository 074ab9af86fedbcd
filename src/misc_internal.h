// Internal parts of the machine facts, for tests.
#pragma once

#include "platform/os.h"

// The power type for a status as the platform reported it (`readable` false: no answer).
sys_i32 power_type_from_status(bool readable, const OsPowerStatus& status);

// Whether the game should save power for a power type (power_conserve's answer).
sys_bool power_conserve_for(sys_i32 type);

#if defined(__linux__)
// The Linux power reading over any folder laid out like /sys/class/power_supply and any
// platform-profile file, so tests can hand it a machine of their own making.
bool os_posix_power_status_at(const char* supply_root, const char* profile_path,
                              OsPowerStatus* status);
#endif

// Paths, the per-user home folder and the session folder. The platform answers where the
// executable, the current and temporary folders and the documents folder are
// (src/platform/*/filesystem.cpp); this file owns the settings, the path rules and the checks.
#include "qv_sys/filesystem.h"

#include "qv_sys/assertion.h"
#include "qv_sys/io.h"
#include "qv_sys/time.h"

#include "cstr_internal.h"
#include "platform/os.h"

#include <string.h>

namespace {

char s_session_name[128];
char s_session_uid[128];
char s_home_base[2048];

// Library-built buffers: every path below fits these with its terminator.
constexpr sys_u32 kPathBuffer = 260;

// Replaces backslashes within the first `limit` bytes or up to the terminator: a result cut
// to exactly the buffer's size has no terminator.
void to_slashes(char* text, sys_u64 limit = ~0ull) {
    for (sys_u64 i = 0; i < limit && text[i]; ++i)
        if (text[i] == '\\')
            text[i] = '/';
}

// Copies a platform path into the caller's buffer. A buffer that is too small fails the check
// of the conversion that hands paths over from the platform, so host code fails alike on both
// platforms.
sys_u32 hand_over(char* buffer, sys_u32 size, const char* path) {
    const sys_u64 length = sys_strlen(path);
    if (!SYS_CHECK_TEXT_MSG(length < size, "wctomb_ret", NULL))
        return 0;
    memcpy(buffer, path, length + 1);
    return (sys_u32)length;
}

// The executable's path and the current directory fail alike: a failed platform call, or a
// path that does not fit the platform's buffer.
sys_u32 checked_path(OsPathStatus status, char* buffer, sys_u32 size, const char* path) {
    if (status == OsPathStatus::call_failed)
        SYS_CHECK_TEXT_MSG(false, "ret", NULL);
    if (status != OsPathStatus::ok) {
        SYS_CHECK(!"Failed getting path");
        return 0;
    }
    return hand_over(buffer, size, path);
}

void copy_setting(char* setting, sys_u64 capacity, const char* value) {
    sys_snprintf(setting, capacity, "%s", value);
    setting[capacity - 1] = 0;
}

} // namespace

sys_u32 filesystem_get_exe_path(char* buffer, sys_u32 size) {
    char path[kOsPathBytes];
    return checked_path(os_exe_path(path), buffer, size, path);
}

sys_u32 filesystem_get_exe_dir(char* buffer, sys_u32 size) {
    const sys_u32 res = filesystem_get_exe_path(buffer, size);
    if (!SYS_CHECK(res))
        return 0;
    // The first byte is never taken as the folder's end: a root alone is no folder here.
    for (sys_u32 i = res - 1; i > 0; --i) {
        if (buffer[i] == kOsPathSeparator) {
            buffer[i + 1] = 0;
            return i + 1;
        }
    }
    return 0;
}

sys_u32 filesystem_get_current_directory(char* buffer, sys_u32 size) {
    char path[kOsPathBytes];
    const sys_u32 length = checked_path(os_current_directory(path), buffer, size, path);
    if (length)
        to_slashes(buffer);
    return length;
}

void filesystem_set_current_directory(const char* path) {
    const int result = os_chdir(path);
    SYS_CHECK_MSG(result == 0, "Couldn't set current directory to: %s", path);
}

void filesystem_set_session(const char* session_name, const char* session_uid) {
    if (session_name)
        copy_setting(s_session_name, sizeof(s_session_name), session_name);
    copy_setting(s_session_uid, sizeof(s_session_uid), session_uid);
}

const char* filesystem_get_session_uid(void) {
    return s_session_uid;
}

void filesystem_set_home_path(const char* path) {
    sys_snprintf(s_home_base, sizeof(s_home_base), "%s", path);
    s_home_base[sizeof(s_home_base) - 1] = 0;
    to_slashes(s_home_base);
    sys_u64 length = 0;
    while (s_home_base[length])
        ++length;
    if (length > 0 && s_home_base[length - 1] == '/')
        s_home_base[length - 1] = 0;
}

sys_u32 filesystem_get_home_path(char* buffer, sys_u32 size) {
    char base[kPathBuffer];
    base[0] = 0;
    if (s_home_base[0] == 0)
        os_documents_folder(base, sizeof(base));
    else
        sys_snprintf(base, sizeof(base), "%s", s_home_base);
    base[sizeof(base) - 1] = 0;

    char tail[kPathBuffer];
    sys_snprintf(tail, sizeof(tail), "My Games/Quillfen Studios/%s/", "vesk");

    const sys_u64 length = sys_snprintf(buffer, size, "%s/%s", base, tail);
    to_slashes(buffer, length);
    return (sys_u32)length;
}

sys_u32 filesystem_get_temp_path(char* buffer, sys_u32 size) {
    char path[kOsPathBytes];
    const OsPathStatus status = os_temp_path(path);
    SYS_CHECK_TEXT_MSG(status == OsPathStatus::ok, "tmp_path_ret", "No temp dir");
    const sys_u32 length = hand_over(buffer, size, path);
    if (length)
        to_slashes(buffer);
    return length;
}

sys_u32 filesystem_get_session_path(char* buffer, sys_u32 size) {
    char home[kPathBuffer];
    filesystem_get_home_path(home, sizeof(home));
    home[sizeof(home) - 1] = 0;

    char month[64];
    month[0] = 0;
    sys_time_tostring(month, sizeof(month), "%Y-%m", sys_time_at_start());

    const sys_u64 length =
        s_session_name[0] != 0
            ? sys_snprintf(buffer, size, "%s/Sessions/%s/%s/", home, month, s_session_name)
            : sys_snprintf(buffer, size, "%s/Sessions/%s/", home, month);
    to_slashes(buffer, length);
    return (sys_u32)length;
}

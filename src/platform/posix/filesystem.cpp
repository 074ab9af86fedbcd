// Linux: where the executable, the current, temporary and documents folders are.
#include "platform/os.h"
#include "platform/posix/posix_file.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// The Windows build converts paths through 260-unit buffers; the same limit in bytes here
// makes a path that is too long fail on both platforms rather than on one.
constexpr size_t kPlatformPath = 260;

// HOME, else the password database's home folder; "" when neither names one.
const char* home_folder() {
    const char* home = getenv("HOME");
    if (home && *home)
        return home;
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}

// The XDG_DOCUMENTS_DIR line of user-dirs.dirs: XDG_DOCUMENTS_DIR="$HOME/Documents" or an
// absolute path in quotes. False when the file or the line is missing or malformed.
bool documents_from_user_dirs(char* buffer, sys_u32 size, const char* home) {
    char file[4096];
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config && *config)
        snprintf(file, sizeof(file), "%s/user-dirs.dirs", config);
    else
        snprintf(file, sizeof(file), "%s/.config/user-dirs.dirs", home);
    FILE* f = fopen(file, "re");
    if (!f)
        return false;
    bool found = false;
    char line[4096];
    static const char kKey[] = "XDG_DOCUMENTS_DIR=\"";
    while (!found && fgets(line, sizeof(line), f)) {
        const char* p = line;
        while (*p == ' ' || *p == '\t')
            ++p;
        if (strncmp(p, kKey, sizeof(kKey) - 1) != 0)
            continue;
        p += sizeof(kKey) - 1;
        const char* end = strchr(p, '"');
        if (!end)
            continue;
        const size_t n = (size_t)(end - p);
        if (n >= 5 && strncmp(p, "$HOME", 5) == 0)
            snprintf(buffer, size, "%s%.*s", home, (int)(n - 5), p + 5);
        else if (n > 0 && p[0] == '/')
            snprintf(buffer, size, "%.*s", (int)n, p);
        else
            continue;
        found = true;
    }
    fclose(f);
    return found;
}

} // namespace

OsPathStatus os_exe_path(char* path) {
    char link[kPlatformPath];
    const ssize_t length = readlink("/proc/self/exe", link, sizeof(link));
    if (length <= 0)
        return OsPathStatus::call_failed;
    if ((size_t)length >= sizeof(link))
        return OsPathStatus::cut;
    memcpy(path, link, (size_t)length);
    path[length] = 0;
    return OsPathStatus::ok;
}

OsPathStatus os_current_directory(char* path) {
    static_assert(kPlatformPath <= kOsPathBytes);
    if (getcwd(path, kPlatformPath))
        return OsPathStatus::ok;
    return errno == ERANGE ? OsPathStatus::cut : OsPathStatus::call_failed;
}

OsPathStatus os_temp_path(char* path) {
    const char* dir = getenv("TMPDIR");
    if (!dir || !*dir)
        dir = "/tmp/";
    const size_t length = strlen(dir);
    path[0] = 0;
    if (length > kPlatformPath) // too long for the platform buffer: the folder stays empty
        return OsPathStatus::ok;
    memcpy(path, dir, length + 1);
    if (path[length - 1] != '/') {
        path[length] = '/';
        path[length + 1] = 0;
    }
    return OsPathStatus::ok;
}

namespace {

void documents_folder(char* buffer, sys_u32 size) {
    const char* xdg = getenv("XDG_DOCUMENTS_DIR");
    if (xdg && *xdg) {
        snprintf(buffer, size, "%s", xdg);
        return;
    }
    const char* home = home_folder();
    if (!*home)
        return;
    if (documents_from_user_dirs(buffer, size, home))
        return;
    snprintf(buffer, size, "%s/Documents", home);
}

} // namespace

// The home folder adds its own separator after the base.
void os_documents_folder(char* buffer, sys_u32 size) {
    buffer[0] = 0;
    documents_folder(buffer, size);
    size_t length = strlen(buffer);
    while (length > 1 && buffer[length - 1] == '/')
        buffer[--length] = 0;
}

int os_chdir(const char* path) {
    return chdir(posix_native_path(path).c_str());
}

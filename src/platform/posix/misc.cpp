// Linux machine facts: sysfs power supplies, the machine-id file, xdg-open.
#include "misc_internal.h"
#include "platform/os.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Reads the first line of a small file into `out` (terminated, trailing white space cut).
bool read_line(const char* path, char* out, size_t capacity) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t len = 0;
    for (;;) {
        const ssize_t n = read(fd, out + len, capacity - 1 - len);
        if (n <= 0)
            break;
        len += (size_t)n;
        if (len == capacity - 1)
            break;
    }
    close(fd);
    out[len] = 0;
    char* nl = strchr(out, '\n');
    if (nl)
        *nl = 0;
    len = strlen(out);
    while (len > 0 && (out[len - 1] == ' ' || out[len - 1] == '\t' || out[len - 1] == '\r'))
        out[--len] = 0;
    return true;
}

bool read_supply_file(const char* root, const char* supply, const char* file, char* out,
                      size_t capacity) {
    char path[1024];
    const int n = snprintf(path, sizeof path, "%s/%s/%s", root, supply, file);
    return n > 0 && (size_t)n < sizeof path && read_line(path, out, capacity);
}

} // namespace

bool os_posix_power_status_at(const char* supply_root, const char* profile_path,
                              OsPowerStatus* status) {
    DIR* dir = opendir(supply_root);
    if (!dir)
        return false;
    bool mains_seen = false, mains_online = false;
    bool battery_seen = false, charging = false;
    int percent = -1;
    char text[64];
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        if (!read_supply_file(supply_root, entry->d_name, "type", text, sizeof text))
            continue;
        // A charger on a USB-C port is the line as much as a mains adapter is: Windows reports
        // either as AC power.
        if (strcmp(text, "Mains") == 0 || strncmp(text, "USB", 3) == 0) {
            mains_seen = true;
            if (read_supply_file(supply_root, entry->d_name, "online", text, sizeof text) &&
                strcmp(text, "1") == 0)
                mains_online = true;
        } else if (strcmp(text, "Battery") == 0) {
            // Batteries of mice and game pads report the scope "Device": not the system's.
            if (read_supply_file(supply_root, entry->d_name, "scope", text, sizeof text) &&
                strcmp(text, "Device") == 0)
                continue;
            if (battery_seen)
                continue; // the first system battery speaks for the machine
            battery_seen = true;
            if (read_supply_file(supply_root, entry->d_name, "status", text, sizeof text))
                charging = strcmp(text, "Charging") == 0;
            if (read_supply_file(supply_root, entry->d_name, "capacity", text, sizeof text)) {
                char* end = nullptr;
                const long v = strtol(text, &end, 10);
                if (end != text && v >= 0 && v <= 100)
                    percent = (int)v;
            }
        }
    }
    closedir(dir);

    status->ac_line_status = mains_online ? 1 : mains_seen ? 0 : 255;
    status->battery_flag = !battery_seen ? 128 : charging ? 8 : 0;
    status->battery_percent = percent < 0 ? 255 : (sys_u8)percent;
    status->system_status_flag =
        read_line(profile_path, text, sizeof text) && strcmp(text, "low-power") == 0 ? 1 : 0;
    return true;
}

bool os_power_status(OsPowerStatus* status) {
    return os_posix_power_status_at("/sys/class/power_supply",
                                    "/sys/firmware/acpi/platform_profile", status);
}

bool os_machine_id(char* buffer, sys_u64* size) {
    static const char* const kPaths[] = {"/etc/machine-id", "/var/lib/dbus/machine-id"};
    for (const char* path : kPaths) {
        if (read_line(path, buffer, 1024) && buffer[0]) {
            *size = strlen(buffer) + 1;
            return true;
        }
    }
    return false;
}

void os_open_url(const char* url) {
    // Find xdg-open before forking: the child of a threaded process may only make
    // async-signal-safe calls.
    const char* path = getenv("PATH");
    if (!path)
        return;
    char program[4096];
    bool found = false;
    for (const char* p = path; !found && *p;) {
        const char* end = strchr(p, ':');
        const size_t len = end ? (size_t)(end - p) : strlen(p);
        if (len > 0 && len + sizeof("/xdg-open") <= sizeof program) {
            memcpy(program, p, len);
            memcpy(program + len, "/xdg-open", sizeof("/xdg-open"));
            found = access(program, X_OK) == 0;
        }
        p += len + (end ? 1 : 0);
    }
    if (!found)
        return;
    char* const argv[] = {program, (char*)url, nullptr};
    // Double fork: the opener runs in a session of its own, is never waited for, and leaves
    // no zombie behind because its parent ends at once and is reaped here.
    const pid_t child = fork();
    if (child < 0)
        return;
    if (child == 0) {
        setsid();
        if (fork() == 0) {
            execv(program, argv);
            _exit(127);
        }
        _exit(0);
    }
    int ignored;
    while (waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
    }
}

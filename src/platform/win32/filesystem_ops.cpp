// Windows: file and folder operations through the wide-character file API, the platform's own
// date and time pictures, and the mirror through the system's robocopy tool.
#include "platform/os.h"

#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"
#include "qv_sys/platform.h"

#include <windows.h>

namespace {

constexpr sys_u64 kPlatformPath = 260;

struct WidePath {
    wchar_t text[kPlatformPath] = {};
    WidePath(const char* path, bool backslashes) {
        sys_windows_utf8_to_wide(text, kPlatformPath, path);
        text[kPlatformPath - 1] = 0;
        if (backslashes)
            for (wchar_t* p = text; *p; ++p)
                if (*p == L'/')
                    *p = L'\\';
    }
};

// Paths the caller hands in are copied into a zeroed 512-byte buffer first.
struct CopiedPath {
    char text[512] = {};
    explicit CopiedPath(const char* path) {
        for (int i = 0; i < 511 && path[i]; ++i)
            text[i] = path[i] == '/' ? '\\' : path[i];
    }
};

} // namespace

sys_u32 os_path_attr(const char* path) {
    const WidePath w(path, true);
    const DWORD attr = GetFileAttributesW(w.text);
    if (attr == INVALID_FILE_ATTRIBUTES)
        return 0;
    return (attr & FILE_ATTRIBUTE_DIRECTORY) ? 5 : 3;
}

OsFileTime os_file_write_time(const char* path, bool backslashes, sys_u64* filetime) {
    const WidePath w(path, backslashes);
    HANDLE file =
        CreateFileW(w.text, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return OsFileTime::open_failed;
    FILETIME written{};
    const BOOL ok = GetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    if (!ok)
        return OsFileTime::read_failed;
    *filetime = ((sys_u64)written.dwHighDateTime << 32) | written.dwLowDateTime;
    return OsFileTime::ok;
}

sys_u32 os_filetime_to_string(sys_u64 filetime, char* buffer, sys_u32 size, const char* date_format,
                              const char* time_format) {
    FILETIME utc{(DWORD)filetime, (DWORD)(filetime >> 32)};
    FILETIME local{};
    SYSTEMTIME st{};
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &st);
    char* at = buffer;
    int left = (int)size;
    // A picture that does not fit fails and may leave the buffer unterminated: the result is
    // then an empty text, never a search for a terminator past the buffer's end.
    auto nothing = [buffer, size]() -> sys_u32 {
        if (size)
            buffer[0] = 0;
        return 0;
    };
    if (size == 0) // the platform would answer the size it needs, not a text
        return 0;
    if (date_format) {
        if (!GetDateFormatA(LOCALE_USER_DEFAULT, 0, &st, date_format, at, left))
            return nothing();
        sys_u32 used = 0;
        while (buffer[used])
            ++used;
        if (!time_format)
            return used;
        if ((int)used + 1 < left) {
            buffer[used] = ' ';
            buffer[used + 1] = 0;
            ++used;
        }
        at = buffer + used;
        left = (int)size - (int)used;
    }
    if (time_format) {
        if (!GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, time_format, at, left))
            return nothing();
        sys_u32 used = 0;
        while (buffer[used])
            ++used;
        return used;
    }
    return 0;
}

bool os_copy_file(const char* dst, const char* src, bool overwrite) {
    const WidePath d(dst, false), s(src, false);
    return CopyFileW(s.text, d.text, overwrite ? FALSE : TRUE) != 0;
}

OsStamp os_stamp_now(const char* path) {
    const WidePath w(path, false);
    HANDLE f =
        CreateFileW(w.text, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return OsStamp::open_failed;
    SYSTEMTIME now{};
    FILETIME ft{};
    GetSystemTime(&now);
    SystemTimeToFileTime(&now, &ft);
    SetFileTime(f, nullptr, nullptr, &ft);
    return CloseHandle(f) ? OsStamp::ok : OsStamp::close_failed;
}

bool os_move_file(const char* dst, const char* src) {
    const WidePath d(dst, false), s(src, false);
    return MoveFileW(s.text, d.text) != 0;
}

bool os_move_file_replace(const char* dst, const char* src) {
    const WidePath d(dst, false), s(src, false);
    return MoveFileExW(s.text, d.text, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool os_delete_file(const char* path) {
    const CopiedPath c(path);
    const WidePath w(c.text, false);
    return DeleteFileW(w.text) != 0;
}

bool os_remove_directory(const char* path) {
    const CopiedPath c(path);
    const WidePath w(c.text, false);
    return RemoveDirectoryW(w.text) != 0;
}

void os_create_directory(const char* path) {
    const WidePath w(path, true);
    CreateDirectoryW(w.text, nullptr);
}

bool os_create_temp_file(const char* folder, const char* prefix, char* out, sys_u32 capacity) {
    wchar_t wfolder[kPlatformPath] = {};
    sys_windows_utf8_to_wide(wfolder, kPlatformPath - 1, folder);
    wchar_t wprefix[kPlatformPath] = {};
    sys_windows_utf8_to_wide(wprefix, kPlatformPath - 1, prefix);
    wprefix[3] = 0;
    wchar_t name[kPlatformPath + 1] = {};
    if (!GetTempFileNameW(wfolder, wprefix, 0, name))
        return false;
    return sys_windows_wide_to_utf8(out, capacity, name) != 0;
}

namespace {
struct Search {
    HANDLE handle;
    bool first;
    WIN32_FIND_DATAW data;
    char name[512];
};
} // namespace

void* os_dir_open(const char* folder) {
    wchar_t pattern[512] = {};
    sys_windows_utf8_to_wide(pattern, 511, folder);
    sys_u64 n = 0;
    while (pattern[n])
        ++n;
    if (n + 1 >= 512)
        return nullptr;
    pattern[n] = L'*';
    pattern[n + 1] = 0;
    auto* s = new Search{};
    s->handle = FindFirstFileW(pattern, &s->data);
    if (s->handle == INVALID_HANDLE_VALUE) {
        delete s;
        return nullptr;
    }
    s->first = true;
    return s;
}

bool os_dir_next(void* search, const char** name, bool* is_directory) {
    auto* s = static_cast<Search*>(search);
    if (!s->first && !FindNextFileW(s->handle, &s->data))
        return false;
    s->first = false;
    s->name[0] = 0;
    sys_windows_wide_to_utf8(s->name, 511, s->data.cFileName);
    s->name[511] = 0;
    *name = s->name;
    *is_directory = (s->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

void os_dir_close(void* search) {
    auto* s = static_cast<Search*>(search);
    FindClose(s->handle);
    delete s;
}

sys_u32 os_mirror_directory(const char* dst, const char* src, const char* working_dir) {
    const char* args[] = {"robocopy.exe", src, dst, "/MIR", nullptr};
    sys_exec_input in{};
    in._args = args;
    in._working_dir = working_dir;
    return sys_exec(&in);
}

// Open files, mapped files and the log-file sink. The streams are the C runtime's buffered
// binary streams; the platform layer only opens them by a UTF-8 path and seeks with 64-bit
// offsets.
#include "qv_sys/assertion.h"
#include "qv_sys/cstr.h"
#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"
#include "qv_sys/thread.h"

#include "cstr_internal.h"
#include "platform/os.h"

#include <stdio.h>

struct filesystem_mapped_file : OsMappedFile {};

namespace {

FILE* stream(filesystem_file* file) {
    return reinterpret_cast<FILE*>(file);
}

const char* stream_mode(sys_i32 mode) {
    static const char* const kModes[] = {"rb", "wb", "ab", "r+b", "w+b", "a+b"};
    return mode >= 0 && mode < 6 ? kModes[mode] : nullptr;
}

} // namespace

filesystem_file* filesystem_file_create(const char* filename, sys_i32 mode, sys_i32 location) {
    SYS_CHECK_TEXT_MSG(sys_strchr(filename, '\\') == nullptr,
                       "sys_strchr( filename, '\\\\' ) == nullptr",
                       "Backslashes in filename, use forward slashes: %s", filename);
    const char* how = stream_mode(mode);
    if (!how)
        return nullptr;

    char path[512] = {};
    switch (location) {
    case FS_LOCATION_HOME:
        filesystem_get_home_path(path, sizeof(path));
        break;
    case FS_LOCATION_TEMP:
        filesystem_get_temp_path(path, sizeof(path));
        break;
    case FS_LOCATION_SESSION:
        filesystem_get_session_path(path, sizeof(path));
        break;
    default:
        break;
    }
    const sys_u64 folder = sys_strlen(path);
    sys_snprintf(path + folder, sizeof(path) - folder, "%s", filename);
    path[sizeof(path) - 1] = 0;

    void* file = os_file_open(path, how);
    // Only the modes that create files may need their folders; a reader of a missing file
    // must not leave empty folders behind.
    if (!file && mode != FS_READ && mode != FS_READ_UPDATE) {
        filesystem_create_directories_in_path(path);
        file = os_file_open(path, how);
    }
    return static_cast<filesystem_file*>(file);
}

void filesystem_file_destroy(filesystem_file* file) {
    if (file)
        os_file_close(file);
}

void filesystem_file_seek(filesystem_file* file, sys_i32 offset, sys_i32 origin) {
    static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (origin >= 0 && origin < 3)
        os_file_seek(file, (sys_i64)offset, kWhence[origin]);
}

sys_i64 filesystem_file_tell(filesystem_file* file) {
    return os_file_tell(file);
}

sys_u64 filesystem_file_write(filesystem_file* file, const void* data, sys_u64 size) {
    return fwrite(data, 1, size, stream(file));
}

sys_u64 filesystem_file_read(filesystem_file* file, void* buffer, sys_u64 size) {
    return fread(buffer, 1, size, stream(file));
}

sys_i32 filesystem_file_flush(filesystem_file* file) {
    return fflush(stream(file));
}

sys_i64 filesystem_file_size(filesystem_file* file) {
    const sys_i64 position = os_file_tell(file);
    os_file_seek(file, 0, SEEK_END);
    const sys_i64 size = os_file_tell(file);
    os_file_seek(file, position, SEEK_SET);
    return size;
}

filesystem_mapped_file* filesystem_mapped_file_create(const char* path) {
    OsMappedFile mapped{};
    switch (os_mapped_file_open(path, &mapped)) {
    case OsMapStatus::ok:
        break;
    case OsMapStatus::open_failed: {
        char cwd[2048] = {};
        filesystem_get_current_directory(cwd, sizeof(cwd));
        SYS_CHECK_TEXT_MSG(false, "file != ((HANDLE)(LONG_PTR)-1)",
                           "CreateFile returned INVALID_HANDLE_VALUE for '%s', error: '%s', "
                           "working dir: '%s'",
                           path, sys_get_last_error(), cwd);
        return nullptr;
    }
    case OsMapStatus::mapping_failed:
        SYS_CHECK_TEXT_MSG(false, "map", "Couldn't create file mapping for '%s'", path);
        return nullptr;
    case OsMapStatus::view_failed:
        SYS_CHECK_TEXT_MSG(false, "mem", "Couldn't get map view for '%s'", path);
        return nullptr;
    }
    auto* record = new filesystem_mapped_file;
    static_cast<OsMappedFile&>(*record) = mapped;
    return record;
}

void filesystem_mapped_file_destroy(filesystem_mapped_file* file) {
    if (!file)
        return;
    const bool res = os_mapped_file_close(file);
    SYS_CHECK(res);
    delete file;
}

const void* filesystem_mapped_file_get_memory(filesystem_mapped_file* file) {
    return file->memory;
}

void sys_printf_callback_log(void* user_data, const char* text, sys_u64 length, sys_bool is_error) {
    (void)is_error;
    auto* context = static_cast<sys_printf_log_context*>(user_data);
    thread_mutex_lock(context->_mutex);
    // Flushed before the lock is released: a line whose call has returned is with the
    // operating system, so a process killed right after still leaves it whole in the file.
    filesystem_file_write(context->_file, text, length);
    filesystem_file_flush(context->_file);
    thread_mutex_unlock(context->_mutex);
}

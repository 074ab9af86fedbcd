// Whole-file and folder operations by path: attributes, times, copy, move, delete, temporary
// files, listings, folder creation and the mirror. The decisions and checks live here; the
// platform layer answers single questions (src/platform/*/filesystem_ops.cpp).
#include "qv_sys/assertion.h"
#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"

#include "cstr_internal.h"
#include "platform/os.h"

namespace {

// Paths that are copied before conversion, and every path of a listing, fit 511 bytes.
constexpr sys_u64 kPathBytes = 512;

void to_slashes(char* text) {
    for (; *text; ++text)
        if (*text == '\\')
            *text = '/';
}

// Suffixes compare with the path as Windows spells it, separators as backslashes, on both
// platforms: a suffix holding '/' never matches, and one holding '\\' can.
bool ends_with_in_backslash_form(const char* path, const char* suffix) {
    const sys_u64 n = sys_strlen(path);
    const sys_u64 m = sys_strlen(suffix);
    if (m > n)
        return false;
    for (sys_u64 i = 0; i < m; ++i) {
        const char c = path[n - m + i];
        if ((c == '/' ? '\\' : c) != suffix[i])
            return false;
    }
    return true;
}

bool is_dot_or_dotdot(const char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

struct Listing {
    sys_u64 cut;
    bool recursive;
    const char* suffix;
    char (*entries)[512];
    sys_u32 capacity;
    sys_u32 count;
};

// `folder` ends with a separator.
void list_folder(Listing& listing, const char* folder) {
    char dir[kPathBytes] = {};
    sys_snprintf(dir, sizeof(dir), "%s", folder);
    dir[sizeof(dir) - 1] = 0;
    const sys_u64 dir_len = sys_strlen(dir);
    const char wdir_last = dir_len ? dir[dir_len - 1] : 0;
    // A folder without its separator would glue every name onto its last component.
    if (!SYS_CHECK_TEXT_MSG(dir_len != 0 && (wdir_last == '/' || wdir_last == '\\'),
                            "wdir_end != wdirectory && wdir_end[-1] == '\\\\'", nullptr))
        return;
    void* search = os_dir_open(dir);
    if (!search)
        return;
    const char* name = nullptr;
    bool is_directory = false;
    char path[kPathBytes];
    while (os_dir_next(search, &name, &is_directory)) {
        if (is_directory && listing.recursive) {
            if (is_dot_or_dotdot(name))
                continue;
            // The separator is literal text, so a path cut at its limit still ends with it
            // (the formatter puts a literal after a cut field in the last byte): the cut
            // folder does not exist and adds nothing, where a lost separator would fail the
            // check above.
            sys_snprintf(path, kPathBytes - 1, kOsPathSeparator == '\\' ? "%s%s\\" : "%s%s/", dir,
                         name);
            path[kPathBytes - 1] = 0;
            list_folder(listing, path);
            continue;
        }
        sys_snprintf(path, kPathBytes - 1, "%s%s", dir, name);
        if (listing.suffix && !ends_with_in_backslash_form(path, listing.suffix))
            continue;
        if (listing.count < listing.capacity) {
            char* entry = listing.entries[listing.count];
            const sys_u64 length = sys_strlen(path);
            const char* from = path + (listing.cut < length ? listing.cut : length);
            sys_snprintf(entry, sizeof(listing.entries[0]), "%s", from);
            to_slashes(entry);
        }
        ++listing.count;
    }
    os_dir_close(search);
}

} // namespace

sys_u32 filesystem_get_attr(const char* path) {
    return os_path_attr(path);
}

sys_i64 filesystem_get_modified_time_utc(const char* path) {
    sys_u64 filetime = 0;
    const OsFileTime result = os_file_write_time(path, false, &filetime);
    const bool file = result != OsFileTime::open_failed;
    if (!SYS_CHECK_MSG(file, "Couldn't open %s to check for modified time", path))
        return 0;
    if (result != OsFileTime::ok)
        return 0;
    return ((sys_i64)filetime - 116444736000000000ll) / 10000000ll;
}

sys_u64 filesystem_get_last_modified_time(const char* path) {
    sys_u64 filetime = 0;
    const OsFileTime result = os_file_write_time(path, true, &filetime);
    if (result == OsFileTime::open_failed) {
        SYS_CHECK_TEXT_MSG(false, "!\"Couldn't open file '%s' for reading\"", nullptr);
        return ~0ull;
    }
    if (result == OsFileTime::read_failed) {
        SYS_CHECK_TEXT_MSG(false, "!\"Failed to get last write time for file '%s'\"", "%s", path);
        return ~0ull;
    }
    return filetime;
}

sys_u32 filesystem_filetime_to_string(sys_u64 filetime, char* buffer, sys_u32 size,
                                      const char* date_format, const char* time_format) {
    return os_filetime_to_string(filetime, buffer, size, date_format, time_format);
}

sys_bool filesystem_copy_file(const char* dst, const char* src, sys_bool overwrite_existing) {
    if ((filesystem_get_attr(src) & 3) != 3) {
        SYS_CHECK_TEXT_MSG(false, "false",
                           "Source file must exist. Tried to copy from '%s' to '%s'", src, dst);
        return false;
    }
    const bool b = os_copy_file(dst, src, overwrite_existing != 0);
    if (!b) {
        // Without overwrite the usual cause is a destination that exists: no report.
        if (overwrite_existing)
            SYS_CHECK_MSG(overwrite_existing == 0 || b, "Failed copying file '%s' to '%s'", src,
                          dst);
        return false;
    }
    // A copy carries the time it was made, so tools that compare times see it as new.
    const OsStamp stamp = os_stamp_now(dst);
    const bool f = stamp != OsStamp::open_failed;
    if (!SYS_CHECK(f))
        return false;
    const bool closed = stamp == OsStamp::ok;
    if (!SYS_CHECK_TEXT_MSG(closed, "b", nullptr))
        return false;
    return true;
}

sys_bool filesystem_move_file(const char* dst, const char* src, sys_bool overwrite_existing) {
    if ((filesystem_get_attr(src) & 3) != 3) {
        SYS_CHECK_TEXT_MSG(false, "false",
                           "Move file failed. Source file must exist: '%s' (dst='%s')", src, dst);
        return false;
    }
    if (!overwrite_existing) {
        if (filesystem_get_attr(dst) != 0)
            return false;
        return os_move_file(dst, src);
    }
    const bool b = os_move_file_replace(dst, src);
    SYS_CHECK_MSG(overwrite_existing == 0 || b, "Failed moving file from '%s' to '%s'", src, dst);
    return b;
}

sys_bool filesystem_delete_file(const char* path) {
    return os_delete_file(path);
}

sys_bool filesystem_delete_directory(const char* path) {
    return os_remove_directory(path);
}

sys_u32 filesystem_create_temp_filepath(const char* prefix, char* buffer, sys_u32 size) {
    char folder[262] = {};
    filesystem_get_temp_path(folder, 261);
    char path[kPathBytes] = {};
    const bool tmp_ret = os_create_temp_file(folder, prefix, path, sizeof(path));
    if (!SYS_CHECK_MSG(tmp_ret, "No temp file"))
        return 0;
    const sys_u64 length = sys_strlen(path);
    const int wctomb_ret = length < size ? 1 : 0;
    if (!SYS_CHECK(wctomb_ret))
        return 0;
    sys_snprintf(buffer, size, "%s", path);
    to_slashes(buffer);
    return (sys_u32)length;
}

sys_u32 filesystem_list_directory_files(const char* directory, const char* base, sys_bool recursive,
                                        const char* suffix, char (*entries)[512],
                                        sys_u32 capacity) {
    char start[1024] = {};
    Listing listing{0, recursive != 0, suffix, entries, capacity, 0};
    if (base && base[0]) {
        if (!SYS_CHECK(directory[0] != '/'))
            return 0;
        const sys_u64 base_len = sys_strlen(base);
        const char* slash = base[base_len - 1] == '/' ? "" : "/";
        sys_snprintf(start, sizeof(start), "%s%s%s", base, slash, directory);
        listing.cut = base_len + sys_strlen(slash);
    } else {
        const bool has_slash = directory[0] && directory[sys_strlen(directory) - 1] == '/';
        sys_snprintf(start, sizeof(start), has_slash ? "%s" : "%s/", directory);
    }
    // The platform's separators throughout.
    for (char* p = start; *p; ++p)
        if (*p == '/' || *p == '\\')
            *p = kOsPathSeparator;
    list_folder(listing, start);
    return listing.count;
}

void filesystem_create_directories_in_path(const char* path) {
    // Windows takes the whole path in 260 UTF-16 units, terminator included: a longer one
    // fails that conversion and creates nothing. One that fits takes at most 777 UTF-8 bytes.
    const bool mbtowc_ret = sys_utf16_units(path) < kOsPathUnits;
    if (!SYS_CHECK(mbtowc_ret))
        return;
    char partial[1024] = {};
    sys_snprintf(partial, sizeof(partial), "%s", path);
    partial[sizeof(partial) - 1] = 0;
    for (char* p = partial; *p; ++p) {
        if (*p != '/' && *p != '\\')
            continue;
        const char separator = *p;
        *p = 0;
        if (partial[0])
            os_create_directory(partial);
        *p = separator;
    }
}

sys_u32 filesystem_mirror_directory(const char* dst, const char* src, const char* working_dir) {
    // Relative paths are the executable folder's unless the caller names another.
    char exe_dir[1024] = {};
    if (!working_dir) {
        filesystem_get_exe_dir(exe_dir, sizeof(exe_dir));
        working_dir = exe_dir;
    }
    return os_mirror_directory(dst, src, working_dir);
}

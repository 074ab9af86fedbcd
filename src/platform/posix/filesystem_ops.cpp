// Linux: file and folder operations, file times as 100 ns counts since 1601, the date and
// time picture language, and a one-way mirror with the Windows tool's exit-code bits.
#include "platform/os.h"
#include "platform/posix/posix_file.h"
#include "platform/posix/posix_write.h"

#include "qv_sys/filesystem.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr sys_i64 kEpochDelta = 116444736000000000ll; // 1601 -> 1970 in 100 ns

// copy_file_range first (reflinks and in-kernel copies); read/write where the kernel cannot,
// e.g. across file systems on older kernels.
bool copy_contents(int in, int out, off_t size) {
    off_t left = size;
    while (left > 0) {
        const ssize_t n = copy_file_range(in, nullptr, out, nullptr, (size_t)left, 0);
        if (n > 0) {
            left -= n;
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return false;
        break;
    }
    static thread_local char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(in, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!posix_write_all(out, buffer, (size_t)n))
            return false;
    }
}

// Copies into a fresh file beside `dst` and renames it into place, so nothing already at
// `dst` is lost when the copy fails. `keep_time` gives the copy the source's times.
bool copy_file(const std::string& dst, const std::string& src, bool overwrite, bool keep_time) {
    const int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(in);
        return false;
    }
    // A file copied onto itself: Windows finds it open already and refuses (a sharing
    // violation); renaming a copy over it would report a success that copied nothing.
    struct stat ds;
    if (stat(dst.c_str(), &ds) == 0 && ds.st_dev == st.st_dev && ds.st_ino == st.st_ino) {
        close(in);
        errno = EBUSY;
        return false;
    }
    std::string temp = dst + ".qvcopyXXXXXX";
    const int out = mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = copy_contents(in, out, st.st_size);
    fchmod(out, st.st_mode & 07777);
    if (ok && keep_time) {
        const timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out, times);
    }
    ok = close(out) == 0 && ok;
    close(in);
    if (ok) {
        if (overwrite) {
            ok = rename(temp.c_str(), dst.c_str()) == 0;
        } else {
            // link() refuses an existing name, so a destination that appeared meanwhile is kept.
            ok = link(temp.c_str(), dst.c_str()) == 0;
        }
    }
    unlink(temp.c_str());
    return ok;
}

const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                             "Thursday", "Friday", "Saturday"};
const char* const kMonths[] = {"January",   "February", "March",    "April",
                               "May",       "June",     "July",     "August",
                               "September", "October",  "November", "December"};

struct Out {
    char* buffer;
    sys_u32 size;
    sys_u32 length;
    bool overflow;
    void put(const char* text, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (length + 1 >= size) {
                overflow = true;
                return;
            }
            buffer[length++] = text[i];
        }
        buffer[length] = 0;
    }
    void put(const char* text) { put(text, strlen(text)); }
    void number(int value, int digits) {
        char text[16];
        snprintf(text, sizeof(text), "%0*d", digits, value);
        put(text);
    }
};

// One picture: runs of the same letter are a field; quoted text is copied.
void picture(Out& out, const char* format, const tm& t, bool date) {
    for (const char* p = format; *p;) {
        const char c = *p;
        if (c == '\'' && p[1] == '\'') { // '' is one quote
            out.put("'", 1);
            p += 2;
            continue;
        }
        if (c == '\'') {
            ++p;
            for (;;) {
                if (!*p)
                    break;
                if (*p == '\'') {
                    if (p[1] == '\'') {
                        out.put("'", 1);
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                out.put(p++, 1);
            }
            continue;
        }
        int run = 1;
        while (p[run] == c)
            ++run;
        const bool field = date ? (c == 'd' || c == 'M' || c == 'y')
                                : (c == 'h' || c == 'H' || c == 'm' || c == 's' || c == 't');
        if (!field) {
            out.put(p, (size_t)run);
            p += run;
            continue;
        }
        p += run;
        const int hour12 = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;
        switch (c) {
        case 'd':
            if (run <= 2)
                out.number(t.tm_mday, run);
            else if (run == 3)
                out.put(kDays[t.tm_wday], 3);
            else
                out.put(kDays[t.tm_wday]);
            break;
        case 'M':
            if (run <= 2)
                out.number(t.tm_mon + 1, run);
            else if (run == 3)
                out.put(kMonths[t.tm_mon], 3);
            else
                out.put(kMonths[t.tm_mon]);
            break;
        case 'y':
            if (run == 1)
                out.number((t.tm_year + 1900) % 100, 1);
            else if (run == 2)
                out.number((t.tm_year + 1900) % 100, 2);
            else
                out.number(t.tm_year + 1900, 4);
            break;
        case 'h':
            out.number(hour12, run >= 2 ? 2 : 1);
            break;
        case 'H':
            out.number(t.tm_hour, run >= 2 ? 2 : 1);
            break;
        case 'm':
            out.number(t.tm_min, run >= 2 ? 2 : 1);
            break;
        case 's':
            out.number(t.tm_sec, run >= 2 ? 2 : 1);
            break;
        case 't':
            out.put(t.tm_hour < 12 ? "AM" : "PM", run >= 2 ? 2 : 1);
            break;
        default:
            break;
        }
    }
}

bool stat_path(const std::string& path, struct stat* st) {
    return stat(path.c_str(), st) == 0;
}

struct Mirror {
    sys_u32 bits = 0;
};

// Deletes a whole tree; false when anything stayed.
bool remove_tree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode))
        return unlink(path.c_str()) == 0;
    bool ok = true;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* e = readdir(dir)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                continue;
            ok = remove_tree(path + "/" + e->d_name) && ok;
        }
        closedir(dir);
    }
    return rmdir(path.c_str()) == 0 && ok;
}

void mirror_tree(Mirror& m, const std::string& dst, const std::string& src) {
    struct stat dst_st;
    if (lstat(dst.c_str(), &dst_st) == 0 && !S_ISDIR(dst_st.st_mode)) {
        // A file where the source has a folder is an extra.
        if (unlink(dst.c_str()) == 0)
            m.bits |= 2;
        else
            m.bits |= 8;
    }
    if (mkdir(dst.c_str(), 0777) != 0 && errno != EEXIST) {
        m.bits |= 8;
        return;
    }
    DIR* dir = opendir(src.c_str());
    if (!dir) {
        m.bits |= 8;
        return;
    }
    while (dirent* e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        const std::string s = src + "/" + e->d_name;
        const std::string d = dst + "/" + e->d_name;
        struct stat ss;
        if (!stat_path(s, &ss))
            continue; // vanished while listed
        if (S_ISDIR(ss.st_mode)) {
            mirror_tree(m, d, s);
            continue;
        }
        struct stat ds;
        if (lstat(d.c_str(), &ds) == 0) {
            if (S_ISDIR(ds.st_mode)) {
                m.bits |= remove_tree(d) ? 2 : 8;
            } else if (ds.st_size == ss.st_size && ds.st_mtim.tv_sec == ss.st_mtim.tv_sec) {
                continue; // same size and time: unchanged
            }
        }
        m.bits |= copy_file(d, s, true, true) ? 1 : 8;
    }
    closedir(dir);
    // Extras: what the destination has and the source lacks.
    if (DIR* out = opendir(dst.c_str())) {
        while (dirent* e = readdir(out)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                continue;
            struct stat ss;
            if (lstat((src + "/" + e->d_name).c_str(), &ss) == 0)
                continue;
            m.bits |= remove_tree(dst + "/" + e->d_name) ? 2 : 8;
        }
        closedir(out);
    }
}

std::string resolve(const char* path, const char* working_dir) {
    std::string p = posix_native_path(path);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    if (working_dir && *working_dir && !p.empty() && p[0] != '/') {
        std::string w = posix_native_path(working_dir);
        if (!w.empty() && w.back() != '/')
            w += '/';
        p = w + p;
    }
    return p;
}

} // namespace

sys_u32 os_path_attr(const char* path) {
    // A link is looked at through to its target; a dangling one still exists as an entry (a
    // file), as Windows reports the link itself.
    const std::string native = posix_native_path(path);
    struct stat st;
    if (stat(native.c_str(), &st) != 0 && lstat(native.c_str(), &st) != 0)
        return 0;
    return S_ISDIR(st.st_mode) ? 5 : 3;
}

OsFileTime os_file_write_time(const char* path, bool, sys_u64* filetime) {
    const int fd = posix_open_file_to_read(posix_native_path(path).c_str());
    if (fd < 0)
        return OsFileTime::open_failed;
    struct stat st;
    const bool ok = fstat(fd, &st) == 0;
    close(fd);
    if (!ok)
        return OsFileTime::read_failed;
    *filetime =
        (sys_u64)((sys_i64)st.st_mtim.tv_sec * 10000000ll + st.st_mtim.tv_nsec / 100 + kEpochDelta);
    return OsFileTime::ok;
}

sys_u32 os_filetime_to_string(sys_u64 filetime, char* buffer, sys_u32 size, const char* date_format,
                              const char* time_format) {
    if (!date_format && !time_format)
        return 0;
    const sys_i64 intervals = (sys_i64)filetime - kEpochDelta;
    time_t seconds = (time_t)(intervals / 10000000ll);
    if (intervals < 0 && intervals % 10000000ll)
        --seconds;
    // Shifted by the zone's offset in force now, summer time included, whatever the file's
    // date: Windows turns file times into local ones that way, so a July time read in winter
    // gets the winter offset.
    const time_t now = time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    seconds += t.tm_gmtoff;
    gmtime_r(&seconds, &t);
    Out out{buffer, size, 0, false};
    if (size)
        buffer[0] = 0;
    if (date_format) {
        picture(out, date_format, t, true);
        if (time_format)
            out.put(" ", 1);
    }
    if (time_format)
        picture(out, time_format, t, false);
    if (out.overflow) {
        if (size)
            buffer[0] = 0;
        return 0;
    }
    return out.length;
}

bool os_copy_file(const char* dst, const char* src, bool overwrite) {
    return copy_file(posix_native_path(dst), posix_native_path(src), overwrite, true);
}

OsStamp os_stamp_now(const char* path) {
    const int fd = open(posix_native_path(path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return OsStamp::open_failed;
    const timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    futimens(fd, times);
    return close(fd) == 0 ? OsStamp::ok : OsStamp::close_failed;
}

bool os_move_file(const char* dst, const char* src) {
    const std::string d = posix_native_path(dst), s = posix_native_path(src);
    if (rename(s.c_str(), d.c_str()) == 0)
        return true;
    if (errno != EXDEV)
        return false;
    // Another file system: copy with the times kept, then drop the source.
    if (!copy_file(d, s, false, true))
        return false;
    if (unlink(s.c_str()) != 0) {
        unlink(d.c_str());
        return false;
    }
    return true;
}

bool os_move_file_replace(const char* dst, const char* src) {
    const std::string d = posix_native_path(dst);
    struct stat st;
    // A folder is never replaced by a file.
    if (stat(d.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return false;
    return rename(posix_native_path(src).c_str(), d.c_str()) == 0;
}

bool os_delete_file(const char* path) {
    return unlink(posix_native_path(path).c_str()) == 0;
}

bool os_remove_directory(const char* path) {
    return rmdir(posix_native_path(path).c_str()) == 0;
}

void os_create_directory(const char* path) {
    mkdir(posix_native_path(path).c_str(), 0777);
}

bool os_create_temp_file(const char* folder, const char* prefix, char* out, sys_u32 capacity) {
    // The first three characters, not bytes: a multi-byte character is kept whole.
    std::string head;
    int characters = 0;
    for (const char* p = prefix; *p && characters < 3; ++characters) {
        head += *p++;
        while ((*p & 0xC0) == 0x80)
            head += *p++;
    }
    for (char& c : head)
        if (c == '/' || c == '\\')
            c = '_';
    std::string name = std::string(folder) + head + "XXXXXX.tmp";
    const int fd = mkstemps(name.data(), 4);
    if (fd < 0)
        return false;
    close(fd);
    snprintf(out, capacity, "%s", name.c_str());
    return true;
}

namespace {
struct DirEntry {
    std::string name;
    bool is_directory;
};

struct Search {
    std::vector<DirEntry> entries;
    size_t next;
};

// The order Windows lists a folder in (its file system keeps folders sorted so): "." and ".."
// first, then names compared byte by byte with ASCII letters folded to upper case, so "_a"
// comes after "B". readdir gives the file system's own order (hash order on ext4), which would
// make the entries kept under a small capacity differ between the platforms and the machines.
char upper_ascii(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

bool listed_before(const DirEntry& a, const DirEntry& b) {
    const int rank_a = a.name == "." ? 0 : a.name == ".." ? 1 : 2;
    const int rank_b = b.name == "." ? 0 : b.name == ".." ? 1 : 2;
    if (rank_a != rank_b)
        return rank_a < rank_b;
    const size_t n = a.name.size() < b.name.size() ? a.name.size() : b.name.size();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = (unsigned char)upper_ascii(a.name[i]);
        const unsigned char y = (unsigned char)upper_ascii(b.name[i]);
        if (x != y)
            return x < y;
    }
    if (a.name.size() != b.name.size())
        return a.name.size() < b.name.size();
    return a.name < b.name;
}
} // namespace

void* os_dir_open(const char* folder) {
    const std::string f = posix_native_path(folder);
    DIR* dir = opendir(f.c_str());
    if (!dir)
        return nullptr;
    auto* s = new Search{{}, 0};
    while (dirent* e = readdir(dir)) {
        bool is_directory;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            is_directory = lstat((f + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        } else {
            is_directory = e->d_type == DT_DIR;
        }
        s->entries.push_back({e->d_name, is_directory});
    }
    closedir(dir);
    std::sort(s->entries.begin(), s->entries.end(), listed_before);
    return s;
}

bool os_dir_next(void* search, const char** name, bool* is_directory) {
    auto* s = static_cast<Search*>(search);
    if (s->next == s->entries.size())
        return false;
    const DirEntry& e = s->entries[s->next++];
    *name = e.name.c_str();
    *is_directory = e.is_directory;
    return true;
}

void os_dir_close(void* search) {
    delete static_cast<Search*>(search);
}

sys_u32 os_mirror_directory(const char* dst, const char* src, const char* working_dir) {
    const std::string s = resolve(src, working_dir);
    const std::string d = resolve(dst, working_dir);
    struct stat st;
    if (!stat_path(s, &st) || !S_ISDIR(st.st_mode))
        return 16;
    Mirror m;
    mirror_tree(m, d, s);
    return m.bits;
}

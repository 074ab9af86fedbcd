/* qv_sys files and folders: where things are.
 *
 * Path conventions of every filesystem_* function:
 *   - Paths cross the interface as terminated UTF-8. Paths the library builds and returns use
 *     '/' as separator, except filesystem_get_exe_path and filesystem_get_exe_dir, which keep
 *     the platform's own form ('\' on Windows, '/' on Linux).
 *   - A function that fills a caller's buffer takes (buffer, size in bytes) and returns the
 *     length written without the terminator; 0 means failure. When the buffer is too small
 *     for a path that comes back from the platform, the check "wctomb_ret" fails and the
 *     result is 0 (Linux reports the same text, so host code fails the same way on both).
 *     Results built with sys_snprintf follow its truncation rule.
 *   - Paths going to the platform hold at most 259 UTF-16 units on Windows (the classic
 *     260-unit limit with its terminator). Linux keeps the same limit, counted in bytes, for
 *     the executable path and the current directory: the same host code then fails the same
 *     way on both platforms instead of working on one only.
 *
 * Failed checks go through sys_assert_handler (assertion.h); under a debugger, once resumed,
 * the getters return 0 and the setters return normally.
 *
 * Where the folders come from:
 *   Windows: GetModuleFileNameW, GetCurrentDirectoryW, GetTempPathW, and the Documents known
 *            folder (SHGetKnownFolderPath).
 *   Linux:   /proc/self/exe, getcwd, $TMPDIR when set and not empty, else /tmp/ (a slash is
 *            added when missing), and the XDG documents folder: $XDG_DOCUMENTS_DIR, else the
 *            XDG_DOCUMENTS_DIR line of user-dirs.dirs in $XDG_CONFIG_HOME (default
 *            $HOME/.config) with a leading $HOME expanded, else $HOME/Documents. HOME unset
 *            falls back to the password database's home folder.
 *   When no documents folder can be named at all, the base is empty and the home folder is
 *   the bare tail "/My Games/Quillfen Studios/vesk/" (a relative-looking root path): the
 *   library never invents a folder the user did not choose.
 *
 * Settings (session name, session uid, home base) are plain process-wide buffers without a
 * lock: set them once at start-up, before other threads build paths. */
#ifndef QV_SYS_FILESYSTEM_H
#define QV_SYS_FILESYSTEM_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* ---- Paths, home folder and sessions --------------------------------------------------- */

/* The full path of the running executable in the platform's own form. Checks: "ret" and
 * "!\"Failed getting path\"" when the platform gives nothing, "!\"Failed getting path\""
 * alone when the path does not fit 260 units (bytes on Linux); then 0. */
QV_SYS_API sys_u32 filesystem_get_exe_path(char* buffer, sys_u32 size);

/* The executable's folder with its trailing separator ('\' on Windows, '/' on Linux), e.g.
 * C:\Games\Demo\ (14). A failed path gives the check "res" and 0; a path without any
 * separator after its first byte gives 0 quietly. */
QV_SYS_API sys_u32 filesystem_get_exe_dir(char* buffer, sys_u32 size);

/* The current directory with '/' separators (a drive root is "C:/"). Checks as for the
 * executable path. */
QV_SYS_API sys_u32 filesystem_get_current_directory(char* buffer, sys_u32 size);

/* Changes the current directory; the path goes to the C runtime unchanged. Failure: the check
 * "result == 0" with the message "Couldn't set current directory to: <path>". */
QV_SYS_API void filesystem_set_current_directory(const char* path);

/* Stores the session name (unless null: the earlier name stays) and the uid, each at most
 * 127 bytes. An empty name clears it. */
QV_SYS_API void filesystem_set_session(const char* session_name, const char* session_uid);

/* The stored session uid; "" until set. */
QV_SYS_API const char* filesystem_get_session_uid(void);

/* Sets the base folder under which the home folder lies: backslashes become slashes and one
 * trailing slash is dropped, so D:\Data\ is stored as D:/Data, and "/" or "" mean "no base"
 * (the documents folder is used again). At most 2047 bytes are kept; 259 are used. */
QV_SYS_API void filesystem_set_home_path(const char* path);

/* "<base>/My Games/Quillfen Studios/vesk/" with '/' separators, where <base> is the home base
 * or else the user's documents folder (see above). */
QV_SYS_API sys_u32 filesystem_get_home_path(char* buffer, sys_u32 size);

/* The platform's temporary folder, ending in '/'. Windows: the check "tmp_path_ret" with the
 * message "No temp dir" when the platform gives nothing; then "" and 0. */
QV_SYS_API sys_u32 filesystem_get_temp_path(char* buffer, sys_u32 size);

/* "<home>/Sessions/<YYYY-MM>/<name>/", or "<home>/Sessions/<YYYY-MM>/" without a session name.
 * <home> already ends in '/', so the path holds "vesk//Sessions": the platforms read the pair
 * as one separator. The month is the local month of the recorded start time
 * (sys_time_init_start_time, time.h), so a run keeps its folder across midnight; before the
 * start time is recorded the check "s_start_time != nullptr" fails. */
QV_SYS_API sys_u32 filesystem_get_session_path(char* buffer, sys_u32 size);

/* ---- File and folder operations -------------------------------------------------------- */

/* Attribute bits. filesystem_get_attr returns exactly 0 (nothing there), 3 (an existing file)
 * or 5 (an existing folder). */
#define FS_ATTR_EXISTS    1
#define FS_ATTR_FILE      2
#define FS_ATTR_DIRECTORY 4

/* 0, 3 or 5 for `path`; a trailing slash on a folder is accepted. Anything that is not a
 * folder (a device, a pipe, a dangling link on Linux) counts as a file when it exists. */
QV_SYS_API sys_u32 filesystem_get_attr(const char* path);

/* Last write time in whole seconds since 1970-01-01 UTC. A path that cannot be opened fails
 * the check "file" ("Couldn't open %s to check for modified time"); then 0. */
QV_SYS_API sys_i64 filesystem_get_modified_time_utc(const char* path);

/* Last write time as a count of 100 ns intervals since 1601-01-01 UTC. Failure: the checks
 * "!\"Couldn't open file '%s' for reading\"" (open) or
 * "!\"Failed to get last write time for file '%s'\"" (read); then -1 (all bits set). */
QV_SYS_API sys_u64 filesystem_get_last_modified_time(const char* path);

/* Writes the local date (date picture), then one space, then the local time (time picture)
 * into `buffer`; either picture may be null, and with both null the buffer is untouched and
 * the result is 0. Returns the length of the text. Local means shifted by the time zone's
 * offset in force now, summer time included, whatever offset held at the file time itself.
 *
 * Pictures (the same language on both platforms; Windows reads them itself):
 *   d dd ddd dddd   day of month (1, 01), weekday name (Mon, Monday)
 *   M MM MMM MMMM   month (1, 01), month name (Jan, January)
 *   y yy yyyy       year (last digits without padding, two digits, four digits)
 *   h hh H HH       hour 12-hour and 24-hour (1, 01)
 *   m mm s ss       minute, second
 *   t tt            A / AM (first letter or whole marker)
 *   'text'          literal text ('' is one quote); every other character stands for itself
 * Date letters in a date picture and time letters in a time picture are read; the others are
 * copied as they stand. Linux uses English names (the Windows default locale of a build
 * machine), whatever the process locale. On both platforms a text that does not fit gives 0
 * and an empty buffer. */
QV_SYS_API sys_u32 filesystem_filetime_to_string(sys_u64 filetime, char* buffer, sys_u32 size,
                                                 const char* date_format, const char* time_format);

/* Copies `src` to `dst` (destination first). A missing source fails the check "false"
 * ("Source file must exist. Tried to copy from '%s' to '%s'"). Without `overwrite_existing` an
 * existing destination gives false quietly; with it a failed copy fails the check
 * "overwrite_existing == 0 || b". The copy's modification time is the time of copying.
 * Linux copies into a fresh file beside the destination and renames it into place, so a copy
 * that fails half way leaves an existing destination as it was. */
QV_SYS_API sys_bool filesystem_copy_file(const char* dst, const char* src,
                                         sys_bool overwrite_existing);

/* Moves `src` to `dst`. A missing source fails the check "false" ("Move file failed. Source
 * file must exist: '%s' (dst='%s')"). Without `overwrite_existing`: false at once when
 * anything is at `dst`; otherwise a plain move, which crosses volumes by copy and delete.
 * With it: a replacing move that stays on its volume (failure: the check
 * "overwrite_existing == 0 || b", "Failed moving file from '%s' to '%s'"). */
QV_SYS_API sys_bool filesystem_move_file(const char* dst, const char* src,
                                         sys_bool overwrite_existing);

/* Deletes a file / removes an empty folder; no message on failure. Paths up to 511 bytes. */
QV_SYS_API sys_bool filesystem_delete_file(const char* path);
QV_SYS_API sys_bool filesystem_delete_directory(const char* path);

/* Creates a new, empty file in the temporary folder whose name starts with the first three
 * characters of `prefix` and ends in ".tmp", and writes its path ('/' separators) into
 * `buffer`. Returns the length, 0 when the buffer is too small. Failure to create: the check
 * "tmp_ret" ("No temp file"). Linux names the file <prefix3><6 random characters>.tmp. */
QV_SYS_API sys_u32 filesystem_create_temp_filepath(const char* prefix, char* buffer, sys_u32 size);

/* Lists the files under `directory` (joined after `base` when a base is given; the base is
 * then cut from every stored path, the directory kept). Without `recursive`, sub-folders are
 * listed as entries too, "." and ".." included; with it they are entered instead. `suffix`
 * (may be null) keeps only paths that end in it, compared byte for byte against the path with
 * its separators as backslashes, on both platforms (so "sub\\x.json" can match and a suffix
 * with '/' never does). `entries` is the caller's array of 512-byte entries
 * (char entries[N][512]); each stored one holds a terminated path with '/' separators. Stores
 * at most `capacity` entries, each folder's in the order Windows lists an NTFS folder in ("."
 * and "..", then names ordered with ASCII letters folded to upper case; Linux sorts to match),
 * and returns the number of matching paths, which exceeds `capacity` when entries were
 * dropped. With a base the directory must not start with '/' (check "directory[0] != '/'").
 * A folder that cannot be read, or that vanishes while it is listed, adds nothing. Linux lists
 * a link to a folder as a file, so a link loop cannot make a recursive listing run forever. */
QV_SYS_API sys_u32 filesystem_list_directory_files(const char* directory, const char* base,
                                                   sys_bool recursive, const char* suffix,
                                                   char (*entries)[512], sys_u32 capacity);

/* Creates every folder along `path` up to its last separator: a/b/c.txt creates a and a/b,
 * a/b/ creates a and a/b. Existing folders and failures pass silently. The path goes to
 * Windows whole in 259 UTF-16 units: a longer one fails the check "mbtowc_ret" and creates
 * nothing, on both platforms. */
QV_SYS_API void filesystem_create_directories_in_path(const char* path);

/* Makes the tree at `dst` an exact copy of the tree at `src`: new and changed files are
 * copied, files and folders that `src` lacks are deleted, nested and empty folders included.
 * Returns an exit code whose bits are 1 (files copied), 2 (extras deleted) and 8 (something
 * failed); 0 means there was nothing to do. Windows runs "robocopy.exe" "<src>" "<dst>"
 * "/MIR" through sys_exec in `working_dir` (null: the executable's folder), so the result is
 * the tool's exit code, or 0xFFFFFFFF when it could not start. Linux mirrors by itself with
 * the same bits: a file counts as changed when its size or its modification time (to the
 * second) differs, and a copied file keeps the source's modification time; relative paths
 * are taken in `working_dir` (null: the executable's folder) there too. A source that is not a
 * folder gives 16, as the tool reports a fatal error. */
QV_SYS_API sys_u32 filesystem_mirror_directory(const char* dst, const char* src,
                                               const char* working_dir);

/* ---- Open files and mapped files ------------------------------------------------------- */

/* Open modes and the stream modes they use. */
#define FS_READ          0 /* "rb": an existing file */
#define FS_WRITE         1 /* "wb": create or truncate */
#define FS_APPEND        2 /* "ab": create if missing, write at the end */
#define FS_READ_UPDATE   3 /* "r+b": read and write an existing file */
#define FS_WRITE_UPDATE  4 /* "w+b": create or truncate, read and write */
#define FS_APPEND_UPDATE 5 /* "a+b": create if missing, read anywhere, write at the end */

/* The folder a file name is taken relative to. */
#define FS_LOCATION_NONE    0 /* the name as given */
#define FS_LOCATION_HOME    1 /* filesystem_get_home_path */
#define FS_LOCATION_TEMP    2 /* filesystem_get_temp_path */
#define FS_LOCATION_SESSION 3 /* filesystem_get_session_path */

#define FS_SEEK_SET 0
#define FS_SEEK_CUR 1
#define FS_SEEK_END 2

/* A buffered binary stream. */
typedef struct filesystem_file filesystem_file;
/* A read-only mapping of a whole file. */
typedef struct filesystem_mapped_file filesystem_mapped_file;

/* Opens `filename` ('/' separators; a backslash fails the check
 * "sys_strchr( filename, '\\\\' ) == nullptr" and the open goes on, reading it as a separator
 * as Windows does) in `mode` under
 * `location`. A mode that creates files creates the missing folders along the path and tries
 * once more. Null for a mode outside 0..5 or a failed open. */
QV_SYS_API filesystem_file* filesystem_file_create(const char* filename, sys_i32 mode,
                                                   sys_i32 location);
/* Closes the stream; null is accepted. */
QV_SYS_API void filesystem_file_destroy(filesystem_file* file);
/* Seeks from the start, the current position or the end; another origin does nothing. */
QV_SYS_API void filesystem_file_seek(filesystem_file* file, sys_i32 offset, sys_i32 origin);
/* The position, -1 on error. */
QV_SYS_API sys_i64 filesystem_file_tell(filesystem_file* file);
/* Bytes written / read. */
QV_SYS_API sys_u64 filesystem_file_write(filesystem_file* file, const void* data, sys_u64 size);
QV_SYS_API sys_u64 filesystem_file_read(filesystem_file* file, void* buffer, sys_u64 size);
/* The C runtime's flush result: 0 on success. */
QV_SYS_API sys_i32 filesystem_file_flush(filesystem_file* file);
/* The file's size; the position is left where it was. */
QV_SYS_API sys_i64 filesystem_file_size(filesystem_file* file);

/* Maps the whole file at `path` read-only. Checks on failure, each then null:
 * "file != ((HANDLE)(LONG_PTR)-1)" ("CreateFile returned INVALID_HANDLE_VALUE for '%s', error:
 * '%s', working dir: '%s'"), "map" ("Couldn't create file mapping for '%s'"; an empty file
 * fails here on both platforms) and "mem" ("Couldn't get map view for '%s'"). */
QV_SYS_API filesystem_mapped_file* filesystem_mapped_file_create(const char* path);
/* Unmaps and closes (check "res" when unmapping fails); null is accepted. */
QV_SYS_API void filesystem_mapped_file_destroy(filesystem_mapped_file* file);
/* The file's bytes, valid while the record lives. */
QV_SYS_API const void* filesystem_mapped_file_get_memory(filesystem_mapped_file* file);

/* The log-file sink's user data: a mutex (thread.h) and an open file, both the host's. */
struct thread_mutex;
typedef struct sys_printf_log_context {
    struct thread_mutex* _mutex;
    filesystem_file* _file;
} sys_printf_log_context;

/* A print callback (io.h) that writes each line to the context's file and flushes it under
 * the context's mutex: once a call has returned, its line is in the operating system's hands
 * and survives the process being killed. `is_error` is ignored. */
QV_SYS_API void sys_printf_callback_log(void* user_data, const char* text, sys_u64 length,
                                        sys_bool is_error);

QV_SYS_END_C

#endif /* QV_SYS_FILESYSTEM_H */

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

QV_SYS_END_C

#endif /* QV_SYS_FILESYSTEM_H */

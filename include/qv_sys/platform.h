/* qv_sys platform text: UTF-8 to and from the UTF-16 `wchar_t` text of Windows calls.
 *
 * Windows only, and C++ only: the two functions are exported under their decorated (mangled)
 * C++ names, which encode the parameter types, as the library's interface defines them. A C
 * host includes this header harmlessly and sees nothing.
 *
 * Linux: deliberately left out. Nothing on Linux takes UTF-16,
 * so an equivalent over char16_t would be an export that no caller needs; its mangled names
 * would differ from the Windows ones anyway (char16_t is not wchar_t), so host code could not
 * share the calls; and giving "the same results" would mean re-implementing the Windows code
 * page converter's treatment of malformed input. Host code that needs UTF-16 on Linux can go
 * through sys_utf8_to_utf32 (qv_sys/cstr.h). */
#ifndef QV_SYS_PLATFORM_H
#define QV_SYS_PLATFORM_H

#include "qv_sys/types.h"

#if defined(_WIN32) && defined(__cplusplus)

/* wchar_t is a C++ keyword: no runtime header is needed, so a program built without a C
 * runtime can include this too. */

/* Converts the terminated UTF-16 `text` to UTF-8 in `buffer` of `capacity` bytes with
 * WideCharToMultiByte (code page 65001, flags 0, the whole text with its terminator, no
 * default character). Returns the bytes written INCLUDING the NUL. Failure value: 0, when the
 * buffer is too small or the platform refuses (check "wctomb_ret"); the buffer then holds
 * whatever the platform left. capacity is passed to Windows as a 32-bit count (values above
 * 2^31 - 1 are passed as 2^31 - 1); a capacity of 0 writes nothing and returns the bytes the
 * text needs, terminator included, as Windows answers it. Malformed UTF-16 (lone surrogates)
 * is converted as Windows does, to U+FFFD. */
QV_SYS_API sys_u64 sys_windows_wide_to_utf8(char* buffer, sys_u64 capacity, const wchar_t* text);

/* Converts the terminated UTF-8 `text` to UTF-16 in `buffer` of `capacity` UTF-16 units with
 * MultiByteToWideChar (code page 65001, flags 0, the whole text with its terminator). Returns
 * the units written INCLUDING the terminator. Failure value: 0, when the buffer is too small
 * or the platform refuses (check "mbtowc_ret"); the buffer then holds whatever the platform
 * left. A capacity of 0 writes nothing and returns the units the text needs. Malformed or
 * truncated UTF-8 becomes U+FFFD, as Windows converts it. */
QV_SYS_API sys_u64 sys_windows_utf8_to_wide(wchar_t* buffer, sys_u64 capacity, const char* text);

#endif /* _WIN32 && __cplusplus */

/* ---- Machine identifier and URLs (both platforms, C++ only) ------------------------------
 * Exported under their decorated C++ names, as the library's interface defines them. */
#if defined(__cplusplus)

/* Copies the machine's identifier into `buffer` (cut to size - 1 bytes, always terminated
 * when size > 0) and returns the bytes copied. Windows: the registry value MachineGuid under
 * HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography. Linux: /etc/machine-id, else
 * /var/lib/dbus/machine-id (the first line, at most 1023 bytes). When neither can be read the
 * identifier is "12345678". A real identifier that does not fit (its size with the terminator
 * not below `size`) reports "buf_size < out_max" and is then cut. */
QV_SYS_API sys_u64 sys_get_machine_guid(char* buffer, sys_u64 size);

/* Opens `url` (UTF-8) in the user's handler and returns at once; nothing is reported.
 * Windows: ShellExecuteW with the verb "open" (the URL converted into 4096 UTF-16 units).
 * Linux: the first executable xdg-open on PATH, started detached in a session of its own and
 * not waited for (no zombie is left); without one nothing happens. */
QV_SYS_API void sys_open_url(const char* url);

#endif /* __cplusplus */

#endif /* QV_SYS_PLATFORM_H */

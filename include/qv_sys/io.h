/* qv_sys formatting and printing: the library's one formatter, and the dispatch of every
 * line to the print callbacks the host registers.
 *
 * The formatter has its own grammar, not the C runtime's:
 *
 *   %[N$][flags][width][.precision][length]letter      flags: space + - 0, then optionally #
 *
 *   c  one byte                   i  signed decimal (no %d)       u  unsigned decimal
 *   o  octal, no prefix           x  lower-case hex, no prefix    f  double, 3 decimals default
 *   s  UTF-8 text (%ls: UTF-32)   w  text, ASCII lower-cased      W  text, ASCII upper-cased
 *   T  signed microseconds as [-]hh:mm:ss.uuuuuu; %#T is the time since the library loaded
 *      and takes no argument
 *   O<name>  an object printed by the printer registered under <name> (a-z 0-9 _)
 *
 * Length: the byte width starts at 4; each h halves it and each l doubles it, so %hhi reads a
 * signed byte and %li a 64-bit value. Every argument, whatever its width, occupies one 8-byte
 * slot of the argument list: pass 64-bit values for %li/%lu/%lx.
 * Precision: for f the number of decimals ('.' alone means 0); for s/w/W the most bytes
 * taken from the text. A '%' inside the precision (%.%2f) turns on percent mode: the value is
 * multiplied by 100 and a '%' follows it.
 * Positions: %1$s .. %7$s; a call uses positions throughout or not at all (%#T excepted).
 *
 * Truncation: at most `size` bytes are written. The result is terminated whenever the
 * returned count is below `size`; a count equal to `size` means the last byte holds text and
 * no terminator was written. When a field is cut, a literal character after it in the format
 * still lands in the last byte.
 *
 * Broken formats go through the check convention (assertion.h) with the condition texts the
 * library documents. Choices this library makes where the grammar is silent:
 *   - widths are clamped to 4095 and f precisions to 3700, so every field fits the 4096-byte
 *     work areas; a %s/%w/%W text is cut to 4095 bytes before its field is built;
 *   - a negative * width left-justifies with its magnitude, as the C runtime does;
 *   - a negative * precision reports "tmp_precision >= 0" and then counts as no precision;
 *   - a position of 8 or more reports "argument_position < 8"; that specification then
 *     prints nothing and takes no argument;
 *   - a call has one argument cursor: %N$ moves it back to the first argument and on past the
 *     N-th, so a sequential specification after it (reported as a mix) takes argument N + 1,
 *     and so does a '*';
 *   - a null pointer for %s, %w, %W or %O prints "(null)" (no printer is called);
 *   - %w/%W read their text as %s does (an unsupported width reports "!\"Invalid byte
 *     specification\"" and gives no text), then report "bytes == 4" for a width other than 4
 *     and change the case all the same;
 *   - a %c of byte 0 reports "len == arg_len" and its field ends there: %5c gives four
 *     padding characters, %-5c nothing; so does an object text with a NUL before its count;
 *   - %O without a name reports "curr != begin" and still takes its argument.
 *
 * Formatting never allocates and is reentrant. Printing formats a line once into a 4096-byte
 * stack buffer and hands it to every callback on the calling thread. */
#ifndef QV_SYS_IO_H
#define QV_SYS_IO_H

#include <stdarg.h>

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* ---- Formatting ------------------------------------------------------------------------ */

/* What a custom object printer receives for one %O<name> specification. */
typedef struct sys_print_object_context {
    char* output;     /* where the printer writes its text and a terminator */
    sys_u64 capacity; /* bytes available at output: always 4096 */
    void* object;     /* the pointer taken from the argument list, never null */
    sys_bool space;
    sys_bool plus;
    sys_bool zero;
    sys_bool alternate;     /* '#' */
    sys_bool percent;       /* a '%' inside the precision */
    sys_bool reserved0;     /* always false */
    sys_bool reserved1;     /* always false */
    sys_bool reserved2;     /* always false */
    sys_u64 precision;      /* all bits set when the %O has no precision */
    const char* spec_begin; /* the '%' that starts this %O */
    const char* spec_end;   /* the first character after the object's name */
} sys_print_object_context;

/* A printer writes its text and a terminator into context->output and returns the bytes it
 * wrote including the terminator. The engine pads the text to the width itself. */
typedef sys_u64 (*sys_print_object_printer)(sys_print_object_context* context);

/* Formats into out (at most `size` bytes, see the truncation rule above). Returns the bytes
 * written without a terminator. A null format counts as an empty one. */
QV_SYS_API sys_u64 sys_vsnprintf(char* out, sys_u64 size, const char* format, va_list args);
QV_SYS_API sys_u64 sys_snprintf(char* out, sys_u64 size, const char* format, ...);

/* Registers printers for %O<name>. Names keep at most 63 characters and must use only a-z,
 * 0-9 and _ to be found again. Registering a name again replaces its printer; two names with
 * the same hash report "!\"Hash collision\"" and the later one is not registered. The same
 * name twice within one call is not supported. Not synchronised with formatting: register
 * during start-up. */
QV_SYS_API void sys_register_print_custom_object(const char* const* names,
                                                 const sys_print_object_printer* printers,
                                                 sys_u64 count);

/* Skips every character of " #%*+-.0123456789hl" and returns a pointer to the first other
 * one (the terminator included). For printers that read their own specification. */
QV_SYS_API const char* sys_printf_consume_modifiers(const char* format);

/* ---- Printing -------------------------------------------------------------------------- */

/* A print callback receives each line: terminated text, its length without the terminator,
 * and whether it came from sys_perrorf. It may be called from several threads at once. */
typedef void (*sys_printf_callback)(void* user_data, const char* text, sys_u64 length,
                                    sys_bool is_error);

/* Formats once (cut to 4095 bytes) and calls every callback in registration order. With no
 * callback registered nothing is formatted. */
QV_SYS_API void sys_printf(const char* format, ...);
QV_SYS_API void sys_vprintf(const char* format, va_list args);
/* As sys_printf, with is_error true. */
QV_SYS_API void sys_perrorf(const char* format, ...);
QV_SYS_API void sys_vperrorf(const char* format, va_list args);

/* As sys_printf unless logging is off or `type` is disabled. The type is not added to the
 * text: pass it again for the line prefix (see SYS_LOG below). */
QV_SYS_API void sys_printf_logtype(const char* type, const char* format, ...);

/* Disables (enable = 0) or enables a log type, known only by the hash of its name. A type
 * disabled twice needs two enables. At most 64 disables are held ("!\"Increase log type
 * count\"" beyond); enabling a type that is not disabled reports "res". Start-up only. */
QV_SYS_API void sys_printf_enable_logtype(const char* type, sys_bool enable);

/* Switches sys_printf_logtype as a whole; sys_printf and sys_perrorf are not affected. */
QV_SYS_API void sys_printf_enable_logs(sys_bool enable);

/* Adds a callback (the same one may be added twice; it is then called twice). At most 16.
 * Start-up only: the table is read without a lock. */
QV_SYS_API void sys_printf_add_callback(sys_printf_callback callback, void* user_data);

/* Removes the first entry with this callback (user data is not compared); the last entry
 * moves into its place. A callback that was never added changes nothing. */
QV_SYS_API void sys_printf_remove_callback(sys_printf_callback callback);

/* Writes the text to stdout, or to stderr when is_error, and flushes that stream. */
QV_SYS_API void sys_printf_callback_stdout(void* user_data, const char* text, sys_u64 length,
                                           sys_bool is_error);

/* Sends the text to the debugger's output. Windows: OutputDebugStringA. Linux has no such
 * channel; the nearest is the debugger's console, so while a debugger (tracer) is attached
 * the text goes to stderr, unbuffered, and otherwise nowhere, as on Windows without one. */
QV_SYS_API void sys_printf_callback_vs(void* user_data, const char* text, sys_u64 length,
                                       sys_bool is_error);

/* ---- Processes, console and command line ---------------------------------------------- */

/* Supplies the child's standard input: fill `buffer` (at most `capacity` bytes) and return the
 * byte count; 0 ends the input. */
typedef sys_u64 (*sys_exec_stdin_callback)(void* user_data, char* buffer, sys_u64 capacity);
/* Receives a piece (at most 2048 bytes) of the child's standard output (is_stdout true) or
 * standard error (false). */
typedef void (*sys_exec_output_callback)(void* user_data, const char* data, sys_u64 length,
                                         sys_bool is_stdout);

typedef struct sys_exec_input {
    const char** _args;       /* program, then its arguments; ended by a null pointer */
    void* _reserved;          /* not read */
    const char* _working_dir; /* null: the caller's */
    sys_exec_stdin_callback _stdin_callback;   /* null: no input pipe */
    sys_exec_output_callback _stdout_callback; /* null: output not captured */
    sys_exec_output_callback _stderr_callback; /* null: errors not captured */
    void* _user_data;                          /* first argument of every callback */
    sys_bool _no_assert_on_failure; /* exactly 1: a process that cannot start fails quietly */
} sys_exec_input;

/* Runs a child process and pumps its streams on the calling thread; returns its exit code, or
 * 0xFFFFFFFF when it could not be started or its exit code could not be read.
 *
 * Each argument has its %NAME% environment references expanded (an undefined name stays as
 * written) on both platforms, so host code written for one behaves the same on the other. An
 * argument holds at most 1023 characters (a longer one fails the check "mbtowc_ret" and goes
 * as empty text); its expansion may be longer, up to 2047 characters (what a command line
 * holds, so a PATH reference works), and one that would be longer goes unexpanded.
 * Windows joins the arguments into one command line, each in double quotes without escaping
 * quotes inside; Linux hands them to the program one by one. The working directory may use
 * '/'. Streams without a callback are not redirected, except that once one is, the others get
 * no handle (Linux: /dev/null).
 *
 * Order: ALL input is written before any output is read. A child that writes more than a pipe
 * holds (about 4 KiB on Windows, 64 KiB on Linux) before it has read all its input blocks on
 * its output while the caller blocks on its input: a deadlock. Feed such children through a
 * file, or keep their input smaller than what they read before their first large write.
 * Output is then read in rounds, standard output before standard error in each, in pieces of
 * at most 2048 bytes, while the child runs and once more after it ends, so data still in the
 * pipes is delivered.
 *
 * Checks: a null _args reports "!\"No command to run\"" and returns 0xFFFFFFFF. A process
 * that cannot start reports "in->_no_assert_on_failure == sys_bool(1)" with the message
 * "Failed to create process. \nCMD: <program> \nCMDLINE: <quoted command line> \nWORKING_DIR:
 * <dir or <not specified>> \nGetLastError: <sys_get_last_error>" unless _no_assert_on_failure
 * is exactly 1. A failed write of the input reports "success". Input for a child that has
 * closed its input or ended is dropped without a report; the callback is still asked until it
 * returns 0.
 *
 * A program name without a folder is looked for in the executable's folder, then in the
 * caller's current folder, then on PATH, as Windows looks for it. Linux: a relative path is
 * taken from the caller's current directory even when _working_dir is given, as on Windows. The exit code
 * is 8 bits wide there (Windows: 32); a child ended by signal N gives 128 + N, as shells
 * report it. Waiting costs no fixed delay: the caller sleeps in poll() on the child's pidfd
 * and its pipes, so a child that ends at once is seen at once. Writing to a child that has
 * closed its input never raises SIGPIPE in the caller. */
QV_SYS_API sys_u32 sys_exec(const sys_exec_input* in);

/* Prints the formatted message and a newline through sys_vperrorf/sys_perrorf, reports
 * "!\"Program failed\"" when a debugger is attached and the code is not 0, and ends the
 * process with the code (Linux: C streams flushed, then _exit; no atexit handler runs, as
 * with ExitProcess for the host's own handlers; a parent sees the code's low 8 bits). */
#if defined(__cplusplus)
[[noreturn]]
#else
_Noreturn
#endif
QV_SYS_API void
sys_exit(sys_u32 code, const char* format, ...);

/* Stores the host's command line (only the pointer, not a copy); both start as 0. */
QV_SYS_API void sys_set_argc_argv(sys_u32 argc, char** argv);
QV_SYS_API void sys_get_argc_argv(sys_u32* argc, char*** argv);

/* Windows: AttachConsole to the parent process; true only when that succeeded. FreeConsole to
 * detach. Linux has no console to attach: false, and detaching does nothing. */
QV_SYS_API sys_bool sys_attach_to_console(void);
QV_SYS_API void sys_detach_from_console(void);

/* The text of the calling thread's last system error (GetLastError + FormatMessageW on
 * Windows; errno + strerror_r on Linux), in one process-wide 8192-byte buffer: the next call,
 * from any thread, overwrites it, so copy it at once. */
QV_SYS_API const char* sys_get_last_error(void);

QV_SYS_END_C

/* ---- The log line ---------------------------------------------------------------------- */

/* Every log line of the library reads
 *     <time since load>|<type, 15 columns>|<line, 4 columns>:<file, 30 columns> message
 * SYS_LOG fills the prefix's arguments from the call site:
 *     SYS_LOG("RENDER", "%u draw calls\n", count);
 * The format must be a string literal. */
#define SYS_LOG_PREFIX "%#T|%-15s|%4u:%-30s "

/* The text after the last '/' or '\\' of a path. */
static inline const char* sys_log_file_base_name_(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    return base;
}

/* The file name is the same on every call, yet the scan above would run on each one, before
 * sys_printf_logtype can find the type disabled: for a filtered line the scan costs several
 * times the call itself. C++ finds the offset while compiling (a template argument must be a
 * constant); C keeps the scan. */
#if (defined(__cplusplus) && __cplusplus >= 201402L) ||                                            \
    (defined(_MSVC_LANG) && _MSVC_LANG >= 201402L)
constexpr unsigned long long sys_log_file_base_offset_(const char* path) {
    unsigned long long base = 0;
    for (unsigned long long i = 0; path[i]; ++i)
        if (path[i] == '/' || path[i] == '\\')
            base = i + 1;
    return base;
}
template <unsigned long long Offset> struct sys_log_file_base_offset_constant_ {
    static constexpr unsigned long long value = Offset;
};
#define SYS_LOG_FILE_BASE_NAME_(path)                                                              \
    ((path) + sys_log_file_base_offset_constant_<sys_log_file_base_offset_(path)>::value)
#else
#define SYS_LOG_FILE_BASE_NAME_(path) sys_log_file_base_name_(path)
#endif

/* The format travels inside the variable arguments, followed by one spare 0: standard C11
 * needs at least one argument there, so a line without arguments (SYS_LOG("GAME", "text\n"))
 * still has one. The formatter never reads the 0, as printf ignores surplus arguments. The
 * outer expansion re-splits the arguments under MSVC's traditional preprocessor, which would
 * otherwise pass them on as one. */
#define SYS_LOG_EXPAND_(x) x
#define SYS_LOG_WITH_FORMAT_(type, format, ...)                                                    \
    sys_printf_logtype((type), SYS_LOG_PREFIX format, (type), (sys_u32)__LINE__,                   \
                       SYS_LOG_FILE_BASE_NAME_(__FILE__), __VA_ARGS__)
#define SYS_LOG(type, ...) SYS_LOG_EXPAND_(SYS_LOG_WITH_FORMAT_(type, __VA_ARGS__, 0))

#endif /* QV_SYS_IO_H */

/* qv_sys checks: the one place every failed precondition ends.
 *
 * A check site tests its condition and, only when it fails, calls sys_assert_handler with the
 * condition's source text. Without a debugger the process then ends with exit code -1 (seen
 * as 255 by a parent on Linux). Under a debugger the handler returns 1, the site stops at a
 * breakpoint, and when resumed the function carries on along its failure path (null, false,
 * 0 or -1, as each function documents). Host code uses the same macros for its own checks. */
#ifndef QV_SYS_ASSERTION_H
#define QV_SYS_ASSERTION_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* Reports a failed check.
 *   condition  the condition's source text, e.g. "size > 0"
 *   file, line where the check is (__FILE__ as the compiler gives it, __LINE__)
 *   kind       1 at ordinary checks; accepted and not read
 *   format     null, or a message in the library's format grammar, then its arguments
 * The first call in the process sets a process-wide in-assertion flag that is never cleared;
 * any later call, from any thread, returns 1 at once without reporting. Without a debugger
 * attached the first call ends the process with exit code -1 and never returns. Under a
 * debugger it returns 1. Thread-safe: exactly one thread produces the report. */
QV_SYS_API sys_u32 sys_assert_handler(const char* condition, const char* file, sys_u32 line,
                                      sys_u32 kind, const char* format, ...);

/* ---------------------------------------------------------------------------------------------
 * The report
 *
 * The first failed check builds one report in a 4096-byte buffer (cut at 4095 bytes): the
 * check's formatted message, two newlines and the game version, the calling thread's context
 * messages oldest first after "\n\nAdditional assert messages:", and the call stack after
 * "\n\nCallstack:\n" from the frame that made the check ("\n\nNo callstack found." when no
 * frame can be walked). Each assertion callback receives it. The handler allocates nothing:
 * the report and 256 frame records live on its stack, a frame of about 270 KB, so any thread
 * that may fail a check needs a stack of at least 512 KB (threads the library starts get one).
 * ------------------------------------------------------------------------------------------- */

/* Receives the condition text, the file and line of the check, and the report. */
typedef void (*sys_assert_callback)(void* user_data, const char* condition, const char* file,
                                    sys_u32 line, const char* report);

/* Adds a callback (at most 16, refused beyond with a report). The first call also creates the
 * thread-local slot of the context messages. Start-up only: not synchronised. */
QV_SYS_API void sys_assert_add_callback(sys_assert_callback callback, void* user_data);

/* Removes the first entry whose callback and user data both match; the later entries move
 * down, keeping their order. No match: nothing happens. */
QV_SYS_API void sys_assert_remove_callback(sys_assert_callback callback, void* user_data);

/* Prints the failed check through sys_perrorf, so every print callback receives it:
 * "[<time since load>|<game version>|<file>:<line>] ASSERT failed: <condition> [<report>]\n",
 * without the bracketed report when it is null. */
QV_SYS_API void sys_assert_callback_print(void* user_data, const char* condition, const char* file,
                                          sys_u32 line, const char* report);

/* The calling thread's stack of context messages, printed with every report it makes. Texts
 * are kept by pointer, not copied: keep each alive until it is popped. These need the
 * thread-local slot that the first sys_assert_add_callback creates (else "s_assert_tls" is
 * reported and nothing happens). A stack holds 64 messages: a 65th push is refused with the
 * report "context->count < 64". */
QV_SYS_API void sys_assert_message_push(const char* message);
/* The message removed from the top; null when the stack is empty (no report) or the thread
 * never pushed (reported as "vdata"). */
QV_SYS_API const char* sys_assert_message_pop(void);
/* The thread's messages, bottom first, with their number in *count; null and 0 when the
 * thread never pushed. */
QV_SYS_API const char** sys_assert_message_peek(sys_u64* count);

/* The version text printed in every report. Only the pointer is kept. */
QV_SYS_API void sys_set_game_version(const char* version);

/* Ends the process at once through the C runtime's abort. */
QV_SYS_API void sys_abort(void);

/* ---------------------------------------------------------------------------------------------
 * Call stacks
 *
 * callstack_get walks the calling thread's stack (or the stack a processor context describes)
 * into caller-owned, fixed-size frame records. The check handler and the crash handler print
 * these records, so the records hold everything themselves and need no allocation by the
 * caller.
 *
 * Windows: the debug-help library (dbghelp.dll) is loaded at run time, from the program's
 * folder first, then the current directory, then the system's normal search. Frames come
 * from StackWalk64 and are named from the symbols it reads: ship the PDB build of the library
 * (see README.md) for names and lines on Windows; under Wine the DWARF 4 build is read.
 * Environment:
 *   QV_SYMBOL_DEBUG_OUTPUT      set (any value): the symbol handler's only option becomes its
 *                               debug output (0x80000000), shown in a debugger's output window.
 *                               Line numbers are then not loaded: files and lines stay empty.
 *                               Unset: undecorated names, deferred loads and line numbers.
 *   _NT_SYMBOL_PATH             appended, after ".", to the symbol search path
 *   _NT_ALTERNATE_SYMBOL_PATH   appended after that (the whole path is cut at 4095 characters)
 *
 * Linux: frames of the current thread come from the C++ runtime's unwinder; a context is
 * walked with libunwind (libunwind.so.8, loaded at run time, never linked). Names, files and
 * lines come from libdw (libdw.so.1, loaded at run time) reading the DWARF of every loaded
 * module; without libdw the names come from the dynamic symbol tables (exported functions
 * only) and the file stays empty. Names are demangled. Environment:
 *   QV_SYMBOL_DEBUG_OUTPUT      set (any value): what goes wrong while loading the libraries
 *                               or reading modules is printed to stderr
 *   _NT_SYMBOL_PATH             ';'-separated folders searched, after "." and before
 *   _NT_ALTERNATE_SYMBOL_PATH   /usr/lib/debug, for a module's separate debug file, as
 *                               <folder>/.build-id/xx/yyyy.debug or <folder>/<debuglink name>.
 *                               Entries holding a '*' (symbol servers) are skipped: nothing is
 *                               ever fetched from a network server.
 *
 * Names: undecorated, without parameter lists ("ns::function"). The source line and byte
 * displacement are those of the instruction itself for the first frame of a given context,
 * and of the call instruction (one byte before the return address) for every calling frame.
 * ------------------------------------------------------------------------------------------- */

/* One frame. All texts are zero-terminated. */
typedef struct callstack_entry {
    /* The function's undecorated name; the raw symbol name when it cannot be undecorated;
     * "<failed function lookup>" when no symbol covers the address. */
    char function[512];
    /* The frame's source file, shortened to what follows the engine marker "quorvale" and
     * the separator after it when the path holds the marker; empty when unknown. */
    char file[512];
    /* Source line, 0 when unknown. */
    sys_u32 line;
    /* Byte offset of the instruction within its source line, 0 when unknown. */
    sys_u32 displacement;
} callstack_entry;

#ifdef __cplusplus
static_assert(sizeof(callstack_entry) == 512 + 512 + 4 + 4, "callstack_entry is 1032 bytes");
#else
_Static_assert(sizeof(callstack_entry) == 512 + 512 + 4 + 4, "callstack_entry is 1032 bytes");
#endif

/* Loads the symbol libraries if they can be found: dbghelp.dll on Windows (adding a reference
 * each call; it is never unloaded), libdw and libunwind on Linux (once), where it also reads
 * the list of loaded modules. Call it at start-up from a host that may later walk stacks where
 * loading and allocating are unsafe, such as a signal handler; callstack_get also calls it.
 * Like callstack_get, not to be called while another thread walks. */
QV_SYS_API void callstack_symbols_find_dbghelp(void);

/* Fills up to `capacity` records of `frames` with the stack, innermost frame first, and
 * returns the number filled.
 *   context  null: the calling thread's stack; the first record is callstack_get's own frame
 *            (the second its caller). Otherwise a processor context to start from: a CONTEXT*
 *            on Windows (from an exception or GetThreadContext), a ucontext_t* on Linux (the
 *            third argument of an SA_SIGINFO signal handler); the first record is then the
 *            frame of the context's instruction. A context stopped by a call through a null
 *            pointer (instruction address below 256) starts at the calling frame instead.
 * Returns 0 when the stack cannot be walked (Windows: no debug-help library, or one lacking
 * a needed function) and when `capacity` is 0 or `frames` is null. A frame without a symbol
 * still counts. The records are cleared before they are filled.
 *
 * Not thread-safe: two threads must not walk at the same time (the debug-help library is not
 * safe for simultaneous use, and neither are the Linux name caches).
 *
 * Allocation: the first call loads the symbol libraries and prepares them; that allocates.
 * After it, the walk itself allocates nothing on either platform, and demangling on Linux
 * allocates nothing. What may still allocate, inside the symbol libraries and outside this
 * library's control: dbghelp on Windows whenever it reads a module's symbols; on Linux, libdw
 * the first time it reads a module's symbol table or a compile unit's line table (every
 * later lookup of an address already seen is served from a fixed cache), and the re-reading
 * of the module list after a shared library was loaded or unloaded; and the loader, the
 * first time a thread walks a context, for libunwind's thread-local data. Walking from a context on
 * Linux needs libunwind, loaded beforehand by callstack_symbols_find_dbghelp or an earlier
 * callstack_get; without it a context walk returns 0. */
QV_SYS_API sys_u64 callstack_get(callstack_entry* frames, sys_u64 capacity, void* context);

/* ---------------------------------------------------------------------------------------------
 * Crash dumps and the last-chance exception report
 *
 * The dump goes to "<session path><session uid>_crash.dmp" (filesystem_get_session_path and
 * filesystem_get_session_uid; at most 511 bytes), whose folders are created first. A dump
 * replaces any earlier one of the same session. The session's start time must be recorded
 * (sys_time_init_start_time) before a dump can be written.
 *
 * Windows: the dump is written by MiniDumpWriteDump of the debug-help library that the call
 * stacks load, with thread information, process-thread data, indirectly referenced memory
 * and handle data. Without that library the file is created and stays empty.
 *
 * Linux: the library writes a file in the same minidump format itself: the crashing thread
 * (its registers in the 64-bit Windows context layout, its stack memory, also listed as a
 * memory range), the exception (the signal number as the code, the signal's si_code as the
 * flags, the fault address as the address, as Linux minidump readers expect), the system
 * (x86-64, Linux, the kernel release), every loaded module with its ELF build id as a
 * CodeView record, and the process's memory map. Other threads are not included.
 *
 * The report (both platforms, at most 16383 bytes) holds, for the exception, the game
 * version, "0:", the code, flags and address of the faulting instruction and the module
 * holding it (for a call through a null pointer, the module of the caller), then the thread's
 * context messages and the call stack from the fault. On Linux the code is the Windows
 * exception code the same fault raises there: 0xc0000005 for SIGSEGV and SIGBUS, 0xc000001d
 * for SIGILL, 0xc0000094 for an integer division by zero (0xc0000095 for an integer
 * overflow, 0xc0000090 for other SIGFPE causes), 0x40000015 for SIGABRT; the flags are 0.
 *
 * Environment:
 *   QV_SYS_CRASH_NO_MESSAGE_BOX  set to a value starting with '1': Windows writes the report
 *                                to stderr instead of showing its message box, so tests and
 *                                unattended runs never wait for a click. Linux always writes
 *                                the report to stderr.
 * ------------------------------------------------------------------------------------------- */

/* Makes the process's last-chance crash handler: loads the symbol libraries (see
 * callstack_symbols_find_dbghelp) and installs the handler. Call once at start-up.
 *
 * Windows: the unhandled-exception filter. It writes the dump; a breakpoint (0x80000003)
 * ends there. Otherwise it logs "Exception caught" and the report's exception piece with
 * the log type "QV_SYS", shows the report in a message box titled "Exception caught", and the
 * process ends once the box is closed.
 *
 * Linux: handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT and SIGTRAP running on a 1 MiB
 * alternate signal stack made here for the calling thread (other threads run the handler on
 * their own stack, or on an alternate stack of their own if they made one, which needs room
 * for the formatting and the stack walk: a 128 KB thread stack has been seen to run out, so
 * give such threads well more). The handler writes the dump with plain system calls from
 * memory prepared here; a SIGTRAP (a breakpoint with no debugger to take it) ends there, as
 * on Windows. Otherwise it logs the same lines, writes the report to stderr, then restores
 * the default action and raises the signal again, so the process ends by that signal. A
 * crash inside the handler ends the process by the default action at once. Both platforms
 * record the dump type 0x1144 in the dump header's flags. */
QV_SYS_API void sys_setup_terminate(void);

/* An assertion callback (register with sys_assert_add_callback) that writes a dump of the
 * process without exception information: on Linux the thread list holds the calling thread
 * stopped in this function, and the exception stream is left out. Its arguments are not
 * read. A dump file that cannot be created is logged ("Unable to open minidump file"). */
QV_SYS_API void sys_assert_callback_create_minidump(void* user_data, const char* condition,
                                                    const char* file, sys_u32 line,
                                                    const char* report);

QV_SYS_END_C

/* The breakpoint trap a check site executes when the handler returns. */
#if defined(_MSC_VER)
#define SYS_DEBUG_BREAK() __debugbreak()
#else
#define SYS_DEBUG_BREAK() __asm__ __volatile__("int3")
#endif

/* Kept as a function so the trap can sit inside an expression. Always inlined, so the
 * debugger stops in the function that made the check. */
#if defined(_MSC_VER)
static __forceinline int sys_check_trap_(void) {
#else
static inline __attribute__((always_inline)) int sys_check_trap_(void) {
#endif
    SYS_DEBUG_BREAK();
    return 0;
}

/* Evaluates to 1 when `cond` holds, at the cost of one test and no call. Otherwise reports
 * the condition's text, traps when the handler returns, and evaluates to 0:
 *
 *     if (!SYS_CHECK(buffer != NULL)) return 0;
 *
 * The text is taken here, not in a nested macro, so macros inside `cond` are quoted as
 * written and not expanded. */
#define SYS_CHECK(cond) SYS_CHECK_TEXT_MSG(cond, #cond, NULL)

/* As SYS_CHECK, with a message: SYS_CHECK_MSG(n < 16, "table full at %u", n). */
#define SYS_CHECK_MSG(cond, ...) SYS_CHECK_TEXT_MSG(cond, #cond, __VA_ARGS__)

/* As SYS_CHECK_MSG, quoting `text` instead of the condition's own spelling. For checks whose
 * reported text is fixed while the code that tests it reads differently. */
#define SYS_CHECK_TEXT_MSG(cond, text, ...)                                                        \
    ((cond) ? 1                                                                                    \
            : (sys_assert_handler((text), __FILE__, (sys_u32)__LINE__, 1u, __VA_ARGS__)            \
                   ? sys_check_trap_()                                                             \
                   : 0))

#endif /* QV_SYS_ASSERTION_H */

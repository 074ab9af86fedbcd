// The operating-system layer: every function whose body differs between Windows and Linux.
//
// Portable code (src/*.cpp) calls only these. Each family's functions are implemented twice,
// in src/platform/win32/<family>.cpp and src/platform/posix/<family>.cpp, so the two bodies
// of one function sit side by side. The build compiles exactly one of the two folders.
#pragma once

#include "qv_sys/types.h"

#include <time.h>

#if !defined(_WIN32) && !defined(__linux__)
#error "qv_sys supports 64-bit Windows and 64-bit Linux"
#endif

// --- memory (sysmemory.cpp) ----------------------------------------------------------------
// The process heap. Sizes are never 0 here: the portable layer handles 0 itself, except that
// os_heap_realloc must turn a live block into a valid zero-length block for size 0.
void* os_heap_alloc(sys_u64 size);
void* os_heap_realloc(void* ptr, sys_u64 size);
void os_heap_free(void* ptr);

// Virtual memory for guarded blocks, in whole pages. `size` is a multiple of the page size.
sys_u64 os_page_size();
// Reserved and committed, read-write; null on failure.
void* os_pages_allocate(sys_u64 size);
// `mode`: 0 read-write, 1 read-only, 2 no access.
bool os_pages_protect(void* base, sys_u64 size, sys_u32 mode);
// Releases a whole reservation made by os_pages_allocate.
bool os_pages_release(void* base, sys_u64 size);

// --- failed checks (assertion.cpp) ---------------------------------------------------------
// Whether a debugger is attached right now. Allocation-free: the check handler calls it.
bool os_debugger_present();
// Ends the process the way a failed check does: exit code -1 on Windows, 255 on Linux (the
// same value truncated to 8 bits), with the C runtime's buffered output flushed.
[[noreturn]] void os_end_process_after_check();

// --- clocks (chrono.cpp, time.cpp) ---------------------------------------------------------
// The monotonic counter. Both return false only when the platform query itself fails; the
// value written is whatever the platform produced.
bool os_clock_frequency(sys_i64* ticks_per_second);
bool os_clock_now(sys_u64* ticks);
// Wall clock: seconds since 1970-01-01 UTC.
sys_i64 os_time_now();
// Broken-down local time of `t`; false when the runtime cannot represent it. Callers
// serialise this themselves (the Windows conversion returns shared storage).
bool os_time_local(sys_i64 t, struct tm* out);
// strftime of the platform's current C runtime: the C99 conversions (%F, %T, %e, ...) and %z
// as an ISO offset on both platforms.
sys_u64 os_time_format(char* buffer, sys_u64 size, const char* format, const struct tm* t);

// --- synchronisation and thread-local storage (thread.cpp) ---------------------------------
// The portable layer allocates each object's block and hands its storage to these; the sizes
// below are what the platform record needs (each platform file asserts they are enough).
#if defined(_WIN32)
inline constexpr sys_u64 kOsMutexBytes = 40; // CRITICAL_SECTION
inline constexpr sys_u64 kOsCondBytes = 8;   // CONDITION_VARIABLE
inline constexpr sys_u64 kOsRwlockBytes = 8; // SRWLOCK
#else
inline constexpr sys_u64 kOsMutexBytes = 16;  // futex word, count, owner
inline constexpr sys_u64 kOsCondBytes = 4;    // futex sequence
inline constexpr sys_u64 kOsRwlockBytes = 56; // pthread_rwlock_t
#endif

// A recursive mutex: the holder may lock it again and must unlock it as often.
void os_mutex_init(void* mutex);
void os_mutex_destroy(void* mutex);
void os_mutex_lock(void* mutex);
bool os_mutex_try_lock(void* mutex);
void os_mutex_unlock(void* mutex);

enum class OsWaitResult { woken, timed_out, failed };
void os_cond_init(void* cond);
void os_cond_destroy(void* cond);
void os_cond_wake(void* cond);
void os_cond_wake_all(void* cond);
// Waits on `cond`, releasing `mutex` (held once by the caller) meanwhile. False: the
// platform wait failed.
bool os_cond_wait(void* cond, void* mutex);
OsWaitResult os_cond_wait_ms(void* cond, void* mutex, sys_u32 milliseconds);

// Not recursive in either mode.
void os_rwlock_init(void* lock);
void os_rwlock_destroy(void* lock);
void os_rwlock_read_lock(void* lock);
bool os_rwlock_try_read_lock(void* lock);
void os_rwlock_read_unlock(void* lock);
void os_rwlock_write_lock(void* lock);
bool os_rwlock_try_write_lock(void* lock);
void os_rwlock_write_unlock(void* lock);

// Sequentially consistent atomics on naturally aligned integers. `add` returns the new value;
// `exchange` and `compare_exchange` return the value held before.
sys_u32 os_atomic32_load(const sys_u32* value);
sys_u32 os_atomic32_exchange(sys_u32* value, sys_u32 desired);
sys_u32 os_atomic32_compare_exchange(sys_u32* value, sys_u32 desired, sys_u32 expected);
sys_u32 os_atomic32_add(sys_u32* value, sys_u32 amount);
sys_u64 os_atomic64_load(const sys_u64* value);
sys_u64 os_atomic64_exchange(sys_u64* value, sys_u64 desired);
sys_u64 os_atomic64_compare_exchange(sys_u64* value, sys_u64 desired, sys_u64 expected);
sys_u64 os_atomic64_add(sys_u64* value, sys_u64 amount);

// Thread-local slots, named by a 32-bit platform index.
bool os_tls_alloc(sys_u32* slot);
bool os_tls_free(sys_u32 slot);
// `ok` is false only when the platform reports that the read itself failed.
void* os_tls_get(sys_u32 slot, bool* ok);
bool os_tls_set(sys_u32 slot, void* value);

// --- threads (thread_create.cpp) -----------------------------------------------------------
// A handle is the platform's thread handle (Windows) or a heap record around the pthread
// (Linux); only these functions look inside it.
using OsThreadEntry = sys_u32 (*)(void* block);
// Starts `entry(block)` at once on a thread with at least 1 MiB of stack. Null on failure;
// `id` receives the new thread's system id.
void* os_thread_start(OsThreadEntry entry, void* block, sys_u32* id);
// Pins the thread to the processors in `mask`; a refusal is ignored.
void os_thread_set_affinity(void* handle, sys_u64 mask);
// Tells an attached debugger (and the system's thread lists) the thread's name. No effect
// and no report when nobody listens. Linux leaves it to the thread itself (see below).
void os_thread_announce_name(void* handle, sys_u32 id, const char* name);
// Called on the new thread around the thread function: Linux names the thread from inside
// (so its function already sees the name) and lets a forced end act at any instruction
// while the function runs; Windows needs neither.
void os_thread_function_enter(const char* name);
void os_thread_function_leave();
enum class OsThreadState { ended, running, failed };
// Whether the thread has ended; `wait` blocks until it has.
OsThreadState os_thread_wait(void* handle, bool wait);
// The exit code of an ended thread. False: the platform could not tell it.
bool os_thread_exit_code(void* handle, sys_u32* code);
// Ends a running thread with exit code 0; returns once it can no longer run.
bool os_thread_terminate(void* handle);
// Releases the handle. False: the platform refused.
bool os_thread_close(void* handle);
void os_thread_sleep(sys_u32 milliseconds);
void os_thread_yield();
[[noreturn]] void os_thread_exit(sys_u32 exit_code);
sys_u32 os_processor_count();

// --- printing (io.cpp) ---------------------------------------------------------------------
// Hands one line to the debugger's output channel. `length` excludes the terminator.
void os_debug_output(const char* text, sys_u64 length);

// --- call stacks (callstack.cpp) -----------------------------------------------------------
// What the platform's symbol lookup found for one frame. The texts belong to the platform
// layer and live only until the visitor returns; the portable layer copies them into the
// caller's record (cut to the record's size, the file shortened at the engine marker).
struct OsFrameSymbol {
    const char* function; // null: no symbol covers the address
    const char* file;     // null or "": unknown
    sys_u32 line;
    sys_u32 displacement;
};
// Called once per frame, innermost first; returns false to end the walk.
using OsFrameVisitor = bool (*)(void* user, const OsFrameSymbol& frame);

// Loads the symbol libraries if it can. Windows: dbghelp.dll from the program's folder, the
// current directory, then the system search, adding a reference on each call. Linux: libdw
// and libunwind, once.
void os_callstack_load_symbol_library();
// Prepares symbols for one walk (loading, options, search path, the module list). False: no
// frame can be walked or named, so the walk returns nothing.
bool os_callstack_symbols_start();
// Walks `context` (a CONTEXT* on Windows, a ucontext_t* on Linux) or, when null, the calling
// thread from the caller of this function on: the walk's own frame is dropped, so the caller
// must keep a frame of its own (no inlining, no tail call). Returns the number of frames
// handed to `visit`.
sys_u64 os_callstack_walk(void* context, OsFrameVisitor visit, void* user);
// The debug-help library loaded for the walks (an HMODULE), or null; Linux: always null.
void* os_callstack_dbghelp_module();

// --- crash dumps (crash.cpp) ---------------------------------------------------------------
// Creates the dump file anew at `path` (its folders first) and writes a dump of the process
// into it: with the exception (EXCEPTION_POINTERS* on Windows; on Linux the signal handler's
// own record) or, given null, without one. A file that cannot be created is logged.
void os_crash_write_minidump(const char* path, void* exception);
// Makes the library the process's last-chance handler: Windows' unhandled-exception filter;
// Linux's handlers for the fatal signals, on an alternate stack, with the dump writer's
// buffers prepared now because the handler may not allocate.
void os_crash_install_handler();

// --- machine facts (misc.cpp) --------------------------------------------------------------
// The power state in the shape of Windows' SYSTEM_POWER_STATUS, so one decision serves both.
struct OsPowerStatus {
    sys_u8 ac_line_status;     // 0 offline, 1 online, 255 unknown
    sys_u8 battery_flag;       // bit 8 charging, bit 128 no system battery, 255 unknown
    sys_u8 battery_percent;    // 0..100, 255 unknown
    sys_u8 system_status_flag; // 1: battery saver on
};
// False when the state cannot be read at all.
bool os_power_status(OsPowerStatus* status);
// The machine identifier's text, terminated, into `buffer` (1024 bytes). `size` receives the
// bytes of the value with its terminator. False: there is none to read.
bool os_machine_id(char* buffer, sys_u64* size);
// Hands `url` to the user's handler without waiting.
void os_open_url(const char* url);
// The URL's buffer on its way to the shell, in UTF-16 units with its terminator.
inline constexpr sys_u32 kOsUrlUnits = 4096;

// --- paths (filesystem.cpp) ----------------------------------------------------------------
// The platform's answer for a path; filesystem.cpp raises the checks that go with each
// failure, so both platforms fail with the same texts.
enum class OsPathStatus {
    ok,
    call_failed, // the platform call itself failed
    cut,         // the path is longer than the platform's 260-unit buffer
};
// Room for any path the platform answers with, as UTF-8 with its terminator.
inline constexpr sys_u32 kOsPathBytes = 1024;
// A path handed to Windows whole, in UTF-16 units with its terminator.
inline constexpr sys_u32 kOsPathUnits = 260;
// Each fills `path` (kOsPathBytes bytes) with terminated UTF-8; the separators are the
// platform's own.
OsPathStatus os_exe_path(char* path);
OsPathStatus os_current_directory(char* path);
// The temporary folder, ending in a separator. A folder too long for the platform's buffer
// comes back empty with `ok`, as the Windows call leaves its buffer untouched then.
OsPathStatus os_temp_path(char* path);
// The user's documents folder, or "" when the platform cannot name one.
void os_documents_folder(char* buffer, sys_u32 size);
// The C runtime's change of directory: 0 on success.
int os_chdir(const char* path);
// The separator the platform writes in the paths it returns.
#if defined(_WIN32)
inline constexpr char kOsPathSeparator = '\\';
#else
inline constexpr char kOsPathSeparator = '/';
#endif

// --- child processes, console, last error (process.cpp) ------------------------------------
// process.cpp runs a child over these: it creates the pipes, starts the child, feeds its
// input, drains its output while it waits, and raises every check. The bodies only make the
// platform calls.

// One end of a pipe: a HANDLE on Windows, a descriptor on Linux.
using OsPipe = intptr_t;
inline constexpr OsPipe kOsNoPipe = -1;
struct OsPipePair {
    OsPipe parent = kOsNoPipe;
    OsPipe child = kOsNoPipe;
};
enum class OsPipeStatus {
    ok,
    create_failed,  // no pipe
    inherit_failed, // a pipe, but the parent's end could not be kept from the child
};
// An anonymous pipe whose child end the child inherits and whose parent end it does not.
// `child_reads`: the child's standard input; otherwise one of its outputs.
OsPipeStatus os_pipe_create(OsPipePair* pipe, bool child_reads);
// Closes the end and sets it to kOsNoPipe; nothing for kOsNoPipe.
void os_pipe_close(OsPipe* pipe);
enum class OsPipeWrite {
    ok,          // every byte went into the pipe
    reader_gone, // the child has closed its input or ended: nobody will read this
    failed,      // the write itself failed
};
// Writes all `size` bytes. A broken pipe never ends the caller (Linux holds SIGPIPE back
// around the write).
OsPipeWrite os_pipe_write(OsPipe pipe, const char* data, sys_u64 size);
enum class OsPipeRead {
    data,   // `*got` bytes were read
    empty,  // nothing is waiting now
    closed, // the child has closed its end and everything was read
    failed, // the read itself failed
};
// Reads at most `size` bytes of what is waiting, without waiting for more.
OsPipeRead os_pipe_read(OsPipe pipe, char* buffer, sys_u64 size, sys_u64* got);

// A started child: the platform's process handles, kept opaque.
struct OsChild {
    alignas(8) unsigned char storage[32];
};
// Expanded, quoted arguments go into one command line of at most this many units.
inline constexpr sys_u32 kOsCommandLine = 2048;
// One argument, in UTF-16 units with its terminator, as the Windows conversion takes it.
inline constexpr sys_u32 kOsArgUnits = 1024;
// Starts `args` (null-terminated, each fitting kOsArgUnits) with %NAME% references expanded
// as Windows does, in `working_dir` when not null. With `redirect`, `streams` (the child ends
// of standard input, output and error, kOsNoPipe for none) become its standard streams and
// the ones without a pipe get no handle. The child starts with a hidden window (Windows) and
// with default signal handling (Linux). False when it could not start: `command_line` (UTF-8,
// `size` bytes) then holds the command line as the platform was given it, and the platform's
// last error says why.
bool os_child_start(const char* const* args, const char* working_dir, bool redirect,
                    const OsPipe streams[3], OsChild* child, char* command_line, sys_u64 size);
inline constexpr sys_u32 kOsNoLimit = 0xFFFFFFFFu;
// Waits until the child has ended or `limit_ms` has passed (kOsNoLimit: no limit); true when
// it has ended. Linux also returns as soon as one of `outputs` (`count` parent ends) has
// something to read or has closed, so output is taken at once.
bool os_child_wait(OsChild* child, sys_u32 limit_ms, const OsPipe* outputs, int count);
// The child's exit code; false when it cannot be read. Windows reads the code as it stands
// (259 while the child runs on); Linux collects the child, waiting for it if it still runs,
// and reads a death by signal as 128 + the signal's number.
bool os_child_exit_code(OsChild* child, sys_u32* code);
// Releases what os_child_start made for a started child.
void os_child_close(OsChild* child);

// The text of the calling thread's last system error, written into `buffer`.
void os_last_error_text(char* buffer, sys_u32 size);
bool os_attach_console();
void os_detach_console();
[[noreturn]] void os_exit_process(sys_u32 code);

// --- shared libraries (shared.cpp) ---------------------------------------------------------
// The platform's file name of a library: Windows <base><suffix>.dll, Linux lib<base><suffix>.so.
// False when it does not fit `capacity`.
bool os_shared_file_name(char* out, sys_u64 capacity, const char* base, const char* suffix);
// Whether `path` (UTF-8) names an existing regular file.
bool os_shared_file_exists(const char* path);
// Loads a library by full path; null on failure, with the platform's reason kept for
// os_shared_load_error.
void* os_shared_load(const char* path);
// The reason of the last failed os_shared_load, as the platform words it.
const char* os_shared_load_error();
// A library already loaded under this file name, without raising its load count; or null.
void* os_shared_find_loaded(const char* file_name);
// The Windows name of a loaded library goes to the platform in at most this many UTF-16 units
// with its terminator.
inline constexpr sys_u32 kOsModuleNameUnits = 260;
void* os_shared_symbol(void* module, const char* name);
bool os_shared_unload(void* module);

// --- file and folder operations (filesystem_ops.cpp) ---------------------------------------
// Paths are UTF-8 with either separator unless noted; each function converts for itself.
// 0, 3 or 5 as filesystem_get_attr returns.
sys_u32 os_path_attr(const char* path);
enum class OsFileTime { ok, open_failed, read_failed };
// The last write time in 100 ns intervals since 1601-01-01 UTC. With `backslashes`, Windows
// gets the path with its slashes turned into backslashes; without, as written.
OsFileTime os_file_write_time(const char* path, bool backslashes, sys_u64* filetime);
// The date and time pictures formatted into `buffer` as filesystem_filetime_to_string does.
sys_u32 os_filetime_to_string(sys_u64 filetime, char* buffer, sys_u32 size, const char* date_format,
                              const char* time_format);
// Copies without touching the time; with !overwrite an existing `dst` fails.
bool os_copy_file(const char* dst, const char* src, bool overwrite);
enum class OsStamp { ok, open_failed, close_failed };
// Sets the file's last write time to now, leaving its other times alone.
OsStamp os_stamp_now(const char* path);
// The plain move (crosses volumes by copy and delete) and the replacing move (does not).
bool os_move_file(const char* dst, const char* src);
bool os_move_file_replace(const char* dst, const char* src);
bool os_delete_file(const char* path);
bool os_remove_directory(const char* path);
// Creates one folder; the result is ignored by every caller.
void os_create_directory(const char* path);
// Creates a unique empty file in `folder` (ends with a separator) named from the first three
// characters of `prefix`; writes its UTF-8 path into `out` (`capacity` bytes, platform
// separators). False when the file could not be made.
bool os_create_temp_file(const char* folder, const char* prefix, char* out, sys_u32 capacity);
// Folder search. `folder` ends with the platform separator. Null when it cannot be read.
void* os_dir_open(const char* folder);
// The next entry's UTF-8 name (valid until the next call); false at the end.
bool os_dir_next(void* search, const char** name, bool* is_directory);
void os_dir_close(void* search);
sys_u32 os_mirror_directory(const char* dst, const char* src, const char* working_dir);

// --- open files and mapped files (filesystem_file.cpp) -------------------------------------
// `path` is the joined UTF-8 path with '/' separators; the platform turns them round.
void* os_file_open(const char* path, const char* mode);
void os_file_close(void* file);
int os_file_seek(void* file, sys_i64 offset, int whence);
sys_i64 os_file_tell(void* file);
struct OsMappedFile {
    void* memory;
    void* file;    // Windows: the file handle; Linux: the descriptor
    void* mapping; // Windows: the mapping handle; Linux: the mapped length
};
// The step that failed; what the earlier steps made is released again. The platform's last
// error still describes a failed open when this returns.
enum class OsMapStatus { ok, open_failed, mapping_failed, view_failed };
OsMapStatus os_mapped_file_open(const char* path, OsMappedFile* out);
// False when the view could not be unmapped; the handles are closed either way.
bool os_mapped_file_close(OsMappedFile* mapped);

// --- profiler (profiler.cpp, profiler_ring.cpp) --------------------------------------------
// The profiler's own view of the system. It shares nothing with the library's clocks, threads
// or check handler, so that measuring them does not run through them.
// Stops the process through the C runtime's assertion (Windows _wassert, Linux __assert_fail).
[[noreturn]] void os_prf_assert_fail(const char* text, const char* file, unsigned line);
// The counter behind the profiler's microsecond timer, and its ticks per second.
sys_u64 os_prf_counter();
sys_u64 os_prf_counter_frequency();
// True when os_prf_counter() is the processor's time-stamp counter, which a caller on the hot
// path may then read itself (one instruction, no call). Settled by os_prf_counter_frequency().
bool os_prf_counter_is_tsc();
// Starts `entry(param)` at once on a thread with the platform's default stack; null on failure.
void* os_prf_thread_start(sys_u32 (*entry)(void* param), void* param);
// Waits without a time limit for the thread to end and releases its handle.
void os_prf_thread_join(void* handle);
// The processor time the running thread has used so far, in microseconds; 0 if unknown.
sys_u64 os_prf_thread_cpu_us(void* handle);
// Tells an attached debugger (Windows: the 0x406D1388 exception) or the system's thread list
// (Linux: the thread's own name, cut to 15 bytes) the calling thread's name.
void os_prf_name_thread(const char* name);
// Maps `size` bytes (a multiple of 65536) of fresh zeroed memory twice, back to back, at
// `*ptr`; `*mapping` receives what os_prf_ring_unmap needs. False: no such memory could be
// made (after the platform's attempts).
bool os_prf_ring_map(sys_u32 size, sys_u8** ptr, void** mapping);
void os_prf_ring_unmap(sys_u8* ptr, sys_u32 size, void* mapping);

// --- profiler network (profiler_net.cpp) ---------------------------------------------------
// The profiler's own sockets: IPv4 TCP, always non-blocking, polled with a zero time-out.
// A socket is the platform's handle widened to 64 bits (Windows SOCKET, Linux descriptor);
// OS_PRF_SOCKET_INVALID (all bits set) marks none.
typedef sys_u64 os_prf_socket;
#define OS_PRF_SOCKET_INVALID (~(sys_u64)0)
// What a send or receive that moved no bytes means.
#define OS_PRF_IO_WOULD_BLOCK (-1) // nothing can move right now; try again
#define OS_PRF_IO_FAILED      (-2) // the connection is broken
// Starts the socket library for one user (Winsock 2.2; Linux has nothing to start). Balanced
// by os_prf_net_stop. False: it could not be started at that version.
bool os_prf_net_start();
void os_prf_net_stop();
// A new IPv4 stream socket, or OS_PRF_SOCKET_INVALID.
os_prf_socket os_prf_socket_open();
// Binds to every local interface on `port` (host byte order), or to 127.0.0.1 alone.
bool os_prf_socket_bind(os_prf_socket socket, sys_u16 port, bool loopback);
// Listens with a backlog of one pending connection.
bool os_prf_socket_listen(os_prf_socket socket);
bool os_prf_socket_set_nonblocking(os_prf_socket socket);
// Zero time-out poll. 0: done, *can_read and *can_write set; 1: the poll itself failed;
// 2: the socket is in an exceptional condition.
int os_prf_socket_poll(os_prf_socket socket, bool* can_read, bool* can_write);
// A pending connection as a non-blocking socket, or OS_PRF_SOCKET_INVALID.
os_prf_socket os_prf_socket_accept(os_prf_socket listener);
// The number of bytes moved (0 included), or OS_PRF_IO_WOULD_BLOCK, or OS_PRF_IO_FAILED.
sys_i64 os_prf_socket_send(os_prf_socket socket, const void* data, sys_u32 length);
sys_i64 os_prf_socket_recv(os_prf_socket socket, void* data, sys_u32 length);
// Ends the sending direction. False: not possible (e.g. never connected).
bool os_prf_socket_shutdown_send(os_prf_socket socket);
void os_prf_socket_close(os_prf_socket socket);
// A millisecond count that wraps at 32 bits (Windows GetTickCount).
sys_u32 os_prf_tick_ms();

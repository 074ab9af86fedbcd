/* qv_sys scopes: the profiler's entry points for the host, and its error codes.
 *
 * The host marks a region of a thread's work with scope_begin / scope_end (nested, closed in
 * reverse order). While no profiler instance exists (before it is started, after it is shut
 * down, or when starting it failed) both calls return at once: they read one pointer and
 * branch, with no allocation and no system call, so they may stay in shipping code and may be
 * called at any point of the process's life and on any thread. */
#ifndef QV_SYS_SCOPE_H
#define QV_SYS_SCOPE_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* Why a profiler operation failed. Values are fixed (1 and 24 are unused); codes not listed
 * are never produced. */
typedef enum prf_error {
    PRF_ERROR_NONE = 0,                  /* success */
    PRF_ERROR_OUT_OF_MEMORY = 2,         /* a profiler allocation returned null */
    PRF_ERROR_TLS_SLOT = 3,              /* no thread-local slot could be allocated */
    PRF_ERROR_RING_MEMORY = 4,           /* the double-mapped queue memory could not be made */
    PRF_ERROR_THREAD_START = 5,          /* the profiler thread could not be started */
    PRF_ERROR_WINSOCK_START = 6,         /* Winsock could not be started at version 2.2 */
    PRF_ERROR_SOCKET_OPEN = 7,           /* the listening socket could not be created */
    PRF_ERROR_SOCKET_BIND = 8,           /* binding to the port failed */
    PRF_ERROR_SOCKET_LISTEN = 9,         /* listening failed */
    PRF_ERROR_SOCKET_NONBLOCK = 10,      /* the socket could not be made non-blocking */
    PRF_ERROR_SOCKET_CLOSED = 11,        /* operation on a closed socket */
    PRF_ERROR_SOCKET_POLL = 12,          /* polling the socket failed */
    PRF_ERROR_SOCKET_POLL_STATE = 13,    /* polling reported an error condition */
    PRF_ERROR_SOCKET_ACCEPT = 14,        /* accepting a pending connection failed */
    PRF_ERROR_SEND_TIMEOUT = 15,         /* sending did not finish in time */
    PRF_ERROR_SEND = 16,                 /* sending failed */
    PRF_ERROR_RECV_EMPTY = 17,           /* nothing to receive */
    PRF_ERROR_RECV_TIMEOUT = 18,         /* receiving did not finish in time */
    PRF_ERROR_RECV = 19,                 /* receiving failed */
    PRF_ERROR_HANDSHAKE_NOT_GET = 20,    /* the opening request does not start with "GET" */
    PRF_ERROR_HANDSHAKE_NO_VERSION = 21, /* no "Sec-WebSocket-Version:" field */
    PRF_ERROR_HANDSHAKE_VERSION = 22,    /* the version is neither 8 nor 13 */
    PRF_ERROR_HANDSHAKE_NO_HOST = 23,    /* no "Host:" field */
    PRF_ERROR_HANDSHAKE_NO_KEY = 25,     /* no "Sec-WebSocket-Key:" field */
    PRF_ERROR_HANDSHAKE_KEY = 26,        /* the key is not ended by CR LF */
    PRF_ERROR_HANDSHAKE_TEXT = 27,       /* the accept key or the response overflowed */
    PRF_ERROR_VIEWER_CLOSED = 28,        /* the viewer sent a close frame */
    PRF_ERROR_FRAME_HEADER = 29,         /* a frame other than a final text or binary frame */
    PRF_ERROR_FRAME_LENGTH = 30          /* a frame's extended length could not be read */
} prf_error;

/* Starts the profiler: a server for one viewer on TCP port 17815 of every network interface,
 * and a thread that sends it the finished sample trees and log lines every 10 ms. Returns 0,
 * or the prf_error that stopped it (PRF_ERROR_SOCKET_BIND when another program holds the
 * port); then nothing of this start is left running. Call it before any other thread uses
 * scopes, and only once until scope_static_destroy: a second start while one runs finds the
 * port taken, returns PRF_ERROR_SOCKET_BIND and leaves the running profiler as it was. */
QV_SYS_API sys_u64 scope_static_init(void);

/* What a host may choose when it starts the profiler with scope_static_init_with. Zero the
 * whole record first (or use SCOPE_SETTINGS_INIT): every zero field keeps the behaviour of
 * scope_static_init, so later fields can be added without changing what older hosts get.
 * The environment variables QV_SYS_PROFILER_PORT=<1-65535>, QV_SYS_PROFILER_BIND=loopback and
 * QV_SYS_PROFILER_STREAM=1, read when the profiler starts, take precedence over these; an
 * invalid value is refused with a "QV_SYS" log line and the host's choice (or the default)
 * stays. docs/profiler.md explains the two modes. */
typedef struct scope_settings {
    sys_u32 size;  /* sizeof(scope_settings) as the host was built; fields past it read as 0 */
    sys_u32 flags; /* SCOPE_SETTINGS_BIND_LOOPBACK, SCOPE_SETTINGS_STREAM */
    sys_u16 port;  /* the listening TCP port; 0: 17815 */
    sys_u16 reserved16;
    sys_u32 reserved[5]; /* 0 */
} scope_settings;

/* Listen on 127.0.0.1 only, not on every network interface. */
#define SCOPE_SETTINGS_BIND_LOOPBACK 0x1u
/* Streaming mode: every finished tree reaches the viewer while it keeps up (no log line per
 * scope, names pushed once per connection, a library thread's frames one tree each, a count of
 * anything dropped). Without it the profiler keeps its documented limits: at most 10 messages
 * every 10 ms, and one log line per scope_begin. */
#define SCOPE_SETTINGS_STREAM 0x2u

/* One line reads better than the formatter's brace ladder. */
/* clang-format off */
#define SCOPE_SETTINGS_INIT {sizeof(scope_settings), 0, 0, 0, {0, 0, 0, 0, 0}}
/* clang-format on */

/* Starts the profiler as scope_static_init does, with the host's settings (null: none, which
 * is scope_static_init itself). Returns 0 or the prf_error that stopped it;
 * PRF_ERROR_SOCKET_BIND when another program holds the chosen port. */
QV_SYS_API sys_u64 scope_static_init_with(const scope_settings* settings);

/* Names the calling thread for the viewer (the thread name of its sample trees, at most 255
 * bytes; otherwise Thread0, Thread1, ...) and for an attached debugger. Only while a profiler
 * runs; the name stays with the thread until the profiler stops. Name a thread before its
 * first scope, or between frames: trees already on their way may carry the new name. */
QV_SYS_API void scope_set_thread_name(const char* name);

/* Stops the profiler: its thread ends after its current pass and drops what was not sent.
 * Only after a successful scope_static_init, when no other thread makes scope calls any more
 * and no scope is open on any thread; otherwise the C runtime's assertion stops the process
 * ("g_profiler_created == PRF_TRUE" when there is no running profiler). */
QV_SYS_API void scope_static_destroy(void);

/* Opens a scope named `name` on the calling thread. The name is read only during the call;
 * the profiler keeps a copy (at most 2048 bytes) for the viewer, and also sends the name to
 * the viewer as a log line (one line per line feed).
 * When a scope cannot be recorded (the profiler is out of memory), it and every scope opened
 * inside it are left out, and their scope_end calls pass without closing anything. */
QV_SYS_API void scope_begin(const char* name);

/* Closes the calling thread's innermost open scope. With no open scope on the thread (an extra
 * scope_end, or one that pairs with a scope_begin made before the profiler started) it does
 * nothing: a shipped game keeps running rather than stopping on a profiling mistake. */
QV_SYS_API void scope_end(void);

QV_SYS_END_C

#ifdef __cplusplus
/* Brackets a C++ block with a scope: scope_begin on construction, scope_end on destruction.
 *     { scope_guard guard("load_level"); ... }   */
class scope_guard {
  public:
    explicit scope_guard(const char* name) : name_(name) { scope_begin(name_); }
    ~scope_guard() { scope_end(); }
    scope_guard(const scope_guard&) = delete;
    scope_guard& operator=(const scope_guard&) = delete;

  private:
    const char* name_;
};
#endif

#endif /* QV_SYS_SCOPE_H */

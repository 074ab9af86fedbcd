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

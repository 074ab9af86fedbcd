// Call stacks: the exported entry points and the record filling shared by both platforms.
#include "callstack_internal.h"

#include <string.h>

namespace {

void copy_cut(char* dst, sys_u64 capacity, const char* src) {
    sys_u64 n = strlen(src);
    if (n > capacity - 1)
        n = capacity - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

struct FillState {
    callstack_entry* frames;
    sys_u64 capacity;
    sys_u64 count;
};

bool fill_next(void* user, const OsFrameSymbol& frame) {
    FillState* state = static_cast<FillState*>(user);
    if (state->count >= state->capacity)
        return false;
    callstack_fill_entry(&state->frames[state->count++], frame);
    return state->count < state->capacity;
}

} // namespace

const char* callstack_cut_at_marker(const char* path) {
    const char* at = strstr(path, kCallstackEngineMarker);
    if (!at)
        return path;
    at += sizeof(kCallstackEngineMarker) - 1;
    if (*at == '/' || *at == '\\')
        ++at;
    return at;
}

void callstack_fill_entry(callstack_entry* entry, const OsFrameSymbol& frame) {
    memset(entry, 0, sizeof(*entry));
    if (!frame.function) {
        copy_cut(entry->function, sizeof(entry->function), "<failed function lookup>");
        return;
    }
    copy_cut(entry->function, sizeof(entry->function), frame.function);
    if (frame.file && frame.file[0]) {
        copy_cut(entry->file, sizeof(entry->file), callstack_cut_at_marker(frame.file));
        entry->line = frame.line;
        entry->displacement = frame.displacement;
    }
}

void callstack_symbols_find_dbghelp() {
    os_callstack_load_symbol_library();
}

// Kept out of line and never a tail call: the first record without a context is this
// function's own frame, which the check handler counts on when it skips its frames.
__attribute__((noinline)) sys_u64 callstack_get(callstack_entry* frames, sys_u64 capacity,
                                                void* context) {
    if (!os_callstack_symbols_start())
        return 0;
    FillState state{frames, frames ? capacity : 0, 0};
    if (state.capacity == 0)
        return 0;
    sys_u64 walked = os_callstack_walk(context, fill_next, &state);
    // An empty statement that reads the result after the call keeps the call from becoming a
    // jump, which would drop this frame.
    __asm__ __volatile__("" : : "r"(walked) : "memory");
    return state.count;
}

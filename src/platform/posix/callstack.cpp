// Linux: stack walking with the C++ runtime's unwinder or libunwind, names and lines from
// libdw. Both libraries are opened at run time so that a host without them still gets frames
// (named from the dynamic symbol tables) and so that libunwind never replaces the process's
// own _Unwind_* functions, which linking it would do.
#include "platform/os.h"

#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ucontext.h>
#include <unistd.h>
#include <unwind.h>

#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <initializer_list>

// libiberty's allocation-free demangler (linked statically). Declared here: its headers clash
// with the C library's basename().
extern "C" int cplus_demangle_v3_callback(const char* mangled, int options,
                                          void (*callback)(const char*, size_t, void*),
                                          void* opaque);

namespace {

constexpr int kDemangleAnsi = 1 << 1; // DMGL_ANSI: keep const and volatile

#define QV_STRINGIFY2(x) #x
#define QV_STRINGIFY(x)  QV_STRINGIFY2(x)

// --- diagnostics ---------------------------------------------------------------------------

bool s_debug_output = false;

// Straight to stderr with write(): this may run inside a signal handler.
void debug_line(const char* a, const char* b = "", const char* c = "") {
    if (!s_debug_output)
        return;
    const char* parts[] = {"qv_sys callstack: ", a, b, c, "\n"};
    for (const char* part : parts) {
        ssize_t ignored = write(2, part, strlen(part));
        (void)ignored;
    }
}

// --- libraries opened at run time ----------------------------------------------------------

struct Libdw {
    void* handle;
    decltype(&dwfl_begin) begin;
    decltype(&dwfl_report_begin) report_begin;
    decltype(&dwfl_linux_proc_report) proc_report;
    decltype(&dwfl_report_end) report_end;
    decltype(&dwfl_linux_proc_find_elf) proc_find_elf;
    decltype(&dwfl_addrmodule) addrmodule;
    decltype(&dwfl_module_addrinfo) addrinfo;
    decltype(&dwfl_module_getsrc) getsrc;
    decltype(&dwfl_lineinfo) lineinfo;
    decltype(&dwfl_module_build_id) build_id;
};

struct Libunwind {
    void* handle;
    decltype(&unw_init_local2) init_local2;
    decltype(&unw_step) step;
    decltype(&unw_get_reg) get_reg;
    decltype(&unw_is_signal_frame) is_signal_frame;
};

Libdw s_dw;
Libunwind s_unw;
pthread_once_t s_load_once = PTHREAD_ONCE_INIT;

template <typename Fn> bool find(void* handle, const char* name, Fn* out) {
    void* p = dlsym(handle, name);
    if (!p)
        debug_line("missing function ", name);
    *out = reinterpret_cast<Fn>(p);
    return p != nullptr;
}

void load_libdw() {
    void* h = dlopen("libdw.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        debug_line("libdw.so.1 not loaded: ", dlerror(), " (names from dynamic symbols only)");
        return;
    }
    Libdw dw{};
    dw.handle = h;
    // Every name is looked up (no short cut) so the diagnostics list each missing one.
    int missing =
        !find(h, "dwfl_begin", &dw.begin) + !find(h, "dwfl_report_begin", &dw.report_begin) +
        !find(h, "dwfl_linux_proc_report", &dw.proc_report) +
        !find(h, "dwfl_report_end", &dw.report_end) +
        !find(h, "dwfl_linux_proc_find_elf", &dw.proc_find_elf) +
        !find(h, "dwfl_addrmodule", &dw.addrmodule) +
        !find(h, "dwfl_module_addrinfo", &dw.addrinfo) +
        !find(h, "dwfl_module_getsrc", &dw.getsrc) + !find(h, "dwfl_lineinfo", &dw.lineinfo) +
        !find(h, "dwfl_module_build_id", &dw.build_id);
    if (missing == 0)
        s_dw = dw;
}

void load_libunwind() {
    // RTLD_LOCAL: its _Unwind_* must not take the place of the C++ runtime's.
    void* h = dlopen("libunwind.so.8", RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        debug_line("libunwind.so.8 not loaded: ", dlerror(), " (no walks from a context)");
        return;
    }
    Libunwind unw{};
    unw.handle = h;
    int missing = !find(h, QV_STRINGIFY(unw_init_local2), &unw.init_local2) +
                  !find(h, QV_STRINGIFY(unw_step), &unw.step) +
                  !find(h, QV_STRINGIFY(unw_get_reg), &unw.get_reg) +
                  !find(h, QV_STRINGIFY(unw_is_signal_frame), &unw.is_signal_frame);
    if (missing == 0)
        s_unw = unw;
}

void load_libraries() {
    s_debug_output = getenv("QV_SYMBOL_DEBUG_OUTPUT") != nullptr;
    load_libdw();
    load_libunwind();
}

// --- separate debug files ------------------------------------------------------------------
// libdw's standard lookup may ask a debuginfod server over the network; this one only looks
// in local folders: ".", the folders of _NT_SYMBOL_PATH and _NT_ALTERNATE_SYMBOL_PATH, and
// /usr/lib/debug.

char s_search_path[4096];

void build_search_path() {
    size_t len = 0;
    auto add = [&](const char* part, size_t n) {
        if (n == 0 || memchr(part, '*', n) || len + n + 1 >= sizeof(s_search_path))
            return;
        memcpy(s_search_path + len, part, n);
        len += n;
        s_search_path[len++] = ';';
    };
    add(".", 1);
    for (const char* name : {"_NT_SYMBOL_PATH", "_NT_ALTERNATE_SYMBOL_PATH"}) {
        const char* value = getenv(name);
        while (value && *value) {
            const char* end = strchr(value, ';');
            size_t n = end ? (size_t)(end - value) : strlen(value);
            add(value, n);
            value += n + (end ? 1 : 0);
        }
    }
    add("/usr/lib/debug", 14);
    s_search_path[len] = 0;
}

// Appends `text` to the path being built in buf[0..cap); false when it does not fit.
bool append(char* buf, size_t cap, size_t* len, const char* text, size_t n) {
    if (*len + n + 1 > cap)
        return false;
    memcpy(buf + *len, text, n);
    *len += n;
    buf[*len] = 0;
    return true;
}

int open_debug_file(const char* path, char** found_name) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
        *found_name = strdup(path);
    return fd;
}

int find_debuginfo(Dwfl_Module* mod, void**, const char*, Dwarf_Addr, const char*,
                   const char* debuglink_file, GElf_Word, char** debuginfo_file_name) {
    const unsigned char* id = nullptr;
    GElf_Addr id_vaddr = 0;
    int id_len = s_dw.build_id(mod, &id, &id_vaddr);
    static const char kHex[] = "0123456789abcdef";
    for (const char* dir = s_search_path; *dir;) {
        const char* end = strchr(dir, ';');
        size_t dir_len = (size_t)(end - dir);
        char path[4096];
        size_t len = 0;
        if (id_len > 1 && append(path, sizeof path, &len, dir, dir_len) &&
            append(path, sizeof path, &len, "/.build-id/", 11)) {
            bool fits = true;
            for (int i = 0; i < id_len && fits; ++i) {
                char pair[3] = {kHex[id[i] >> 4], kHex[id[i] & 15], '/'};
                fits = append(path, sizeof path, &len, pair, i == 0 ? 3 : 2);
            }
            if (fits && append(path, sizeof path, &len, ".debug", 6)) {
                int fd = open_debug_file(path, debuginfo_file_name);
                if (fd >= 0)
                    return fd;
            }
        }
        len = 0;
        if (debuglink_file && append(path, sizeof path, &len, dir, dir_len) &&
            append(path, sizeof path, &len, "/", 1) &&
            append(path, sizeof path, &len, debuglink_file, strlen(debuglink_file))) {
            int fd = open_debug_file(path, debuginfo_file_name);
            if (fd >= 0)
                return fd;
        }
        dir = end + 1;
    }
    return -1;
}

// --- the module list -----------------------------------------------------------------------

Dwfl* s_dwfl = nullptr;
Dwfl_Callbacks s_callbacks{};
char* s_debuginfo_path = nullptr;
// The loader's counts of objects loaded and unloaded when the modules were last reported: a
// change means a library came or went, and the list is read again.
unsigned long long s_reported_adds = 0;
unsigned long long s_reported_subs = 0;
bool s_reported = false;
sys_u64 s_generation = 1;

struct LoaderCounts {
    unsigned long long adds, subs;
};

int read_loader_counts(dl_phdr_info* info, size_t size, void* data) {
    LoaderCounts* counts = static_cast<LoaderCounts*>(data);
    if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs)) {
        counts->adds = info->dlpi_adds;
        counts->subs = info->dlpi_subs;
    }
    return 1; // the first object carries the counts
}

void report_modules() {
    if (!s_dw.handle)
        return;
    if (!s_dwfl) {
        s_callbacks.find_elf = s_dw.proc_find_elf;
        s_callbacks.find_debuginfo = find_debuginfo;
        s_callbacks.debuginfo_path = &s_debuginfo_path;
        build_search_path();
        s_dwfl = s_dw.begin(&s_callbacks);
        if (!s_dwfl) {
            debug_line("dwfl_begin failed");
            return;
        }
    }
    LoaderCounts counts{0, 0};
    dl_iterate_phdr(read_loader_counts, &counts);
    if (s_reported && counts.adds == s_reported_adds && counts.subs == s_reported_subs)
        return;
    s_dw.report_begin(s_dwfl);
    if (s_dw.proc_report(s_dwfl, getpid()) != 0)
        debug_line("reading /proc/self/maps failed");
    s_dw.report_end(s_dwfl, nullptr, nullptr);
    s_reported = true;
    s_reported_adds = counts.adds;
    s_reported_subs = counts.subs;
    ++s_generation; // names cached from modules that may be gone are dropped
}

// --- naming one address --------------------------------------------------------------------
// A symbol lookup in a large library scans its table (up to a few hundred microseconds), so
// what libdw found for an address is kept in a fixed table. The texts point into libdw's
// module data, which lives until the module list changes.

struct CachedAddress {
    sys_u64 generation;
    sys_u64 address;
    const char* name;
    const char* file;
    sys_u32 line;
    sys_u32 displacement;
};
CachedAddress s_cache[1024];

void lookup_libdw(sys_u64 address, CachedAddress* out) {
    *out = CachedAddress{s_generation, address, nullptr, nullptr, 0, 0};
    if (!s_dwfl)
        return;
    Dwfl_Module* mod = s_dw.addrmodule(s_dwfl, address);
    if (!mod)
        return;
    GElf_Off offset = 0;
    GElf_Sym sym;
    out->name = s_dw.addrinfo(mod, address, &offset, &sym, nullptr, nullptr, nullptr);
    if (Dwfl_Line* line = s_dw.getsrc(mod, address)) {
        Dwarf_Addr row = 0;
        int number = 0;
        const char* file = s_dw.lineinfo(line, &row, &number, nullptr, nullptr, nullptr);
        if (file && number > 0 && row <= address) {
            out->file = file;
            out->line = (sys_u32)number;
            out->displacement = (sys_u32)(address - row);
        }
    }
}

// Names from the dynamic symbol table: exported functions only, and only when the address
// lies inside the symbol's extent.
const char* lookup_dynamic(sys_u64 address) {
    Dl_info info;
    void* entry = nullptr;
    if (!dladdr1(reinterpret_cast<void*>(address), &info, &entry, RTLD_DL_SYMENT) ||
        !info.dli_sname || !info.dli_saddr)
        return nullptr;
    const ElfW(Sym)* sym = static_cast<const ElfW(Sym)*>(entry);
    sys_u64 start = reinterpret_cast<sys_u64>(info.dli_saddr);
    if (sym && sym->st_size != 0 && address >= start + sym->st_size)
        return nullptr;
    return info.dli_sname;
}

struct Sink {
    char* buf;
    size_t cap;
    size_t len;
    bool overflow;
};

void demangle_append(const char* text, size_t n, void* opaque) {
    Sink* sink = static_cast<Sink*>(opaque);
    if (sink->len + n + 1 > sink->cap) {
        n = sink->cap - 1 - sink->len;
        sink->overflow = true;
    }
    memcpy(sink->buf + sink->len, text, n);
    sink->len += n;
    sink->buf[sink->len] = 0;
}

// The printable name of symbol `raw` in buf: version suffixes ("@@GLIBC_2.2.5") dropped,
// C++ names demangled without their parameter lists, all without allocating.
const char* printable_name(const char* raw, char* buf, size_t cap) {
    size_t n = strcspn(raw, "@");
    if (n >= cap)
        n = cap - 1;
    char plain[1024];
    if (n >= sizeof plain)
        n = sizeof plain - 1;
    memcpy(plain, raw, n);
    plain[n] = 0;
    Sink sink{buf, cap, 0, false};
    buf[0] = 0;
    if (plain[0] == '_' && plain[1] == 'Z' &&
        cplus_demangle_v3_callback(plain, kDemangleAnsi, demangle_append, &sink) && sink.len > 0)
        return buf;
    memcpy(buf, plain, n + 1);
    return buf;
}

// Looks up `pc` (exact: the instruction itself; otherwise a return address, looked up one
// byte back, inside the call) and hands the frame to the visitor.
bool visit_frame(sys_u64 pc, bool exact, OsFrameVisitor visit, void* user) {
    const sys_u64 address = exact ? pc : pc - 1;
    CachedAddress& slot = s_cache[(address ^ (address >> 10)) % (sizeof s_cache / sizeof *s_cache)];
    if (slot.generation != s_generation || slot.address != address)
        lookup_libdw(address, &slot);
    const char* raw = slot.name ? slot.name : lookup_dynamic(address);
    char name[1024];
    OsFrameSymbol frame{raw ? printable_name(raw, name, sizeof name) : nullptr, slot.file,
                        slot.line, slot.displacement};
    return visit(user, frame);
}

// --- walking -------------------------------------------------------------------------------

struct UnwindWalk {
    OsFrameVisitor visit;
    void* user;
    int skip;
    sys_u64 count;
    bool done;
};

_Unwind_Reason_Code on_unwind_frame(_Unwind_Context* context, void* data) {
    UnwindWalk* walk = static_cast<UnwindWalk*>(data);
    if (walk->done)
        return _URC_END_OF_STACK;
    int before_instruction = 0;
    const sys_u64 pc = _Unwind_GetIPInfo(context, &before_instruction);
    if (pc == 0)
        return _URC_END_OF_STACK;
    if (walk->skip > 0) {
        --walk->skip;
        return _URC_NO_REASON;
    }
    ++walk->count;
    // A frame interrupted by a signal has its own instruction as pc, not a return address.
    if (!visit_frame(pc, before_instruction != 0, walk->visit, walk->user)) {
        walk->done = true;
        return _URC_END_OF_STACK;
    }
    return _URC_NO_REASON;
}

sys_u64 walk_context(const ucontext_t* given, OsFrameVisitor visit, void* user) {
    if (!s_unw.handle) {
        debug_line("a context walk needs libunwind.so.8");
        return 0;
    }
    ucontext_t uc;
    memcpy(&uc, given, sizeof uc);
    greg_t* regs = uc.uc_mcontext.gregs;
    // A call through a null pointer stops at address 0, where no unwind information exists:
    // start instead from the caller, whose return address the call left on top of the stack.
    bool at_return_address = false;
    if ((sys_u64)regs[REG_RIP] < 256 && regs[REG_RSP] != 0) {
        regs[REG_RIP] = *reinterpret_cast<const greg_t*>(regs[REG_RSP]);
        regs[REG_RSP] += 8;
        at_return_address = true;
    }
    unw_cursor_t cursor;
    if (s_unw.init_local2(&cursor, &uc, at_return_address ? 0 : UNW_INIT_SIGNAL_FRAME) < 0) {
        debug_line("unw_init_local2 failed");
        return 0;
    }
    sys_u64 count = 0;
    bool exact = !at_return_address;
    for (;;) {
        unw_word_t pc = 0;
        if (s_unw.get_reg(&cursor, UNW_REG_IP, &pc) < 0 || pc == 0)
            break;
        ++count;
        if (!visit_frame(pc, exact, visit, user))
            break;
        // The frame interrupted by a signal trampoline stopped at its own instruction.
        exact = s_unw.is_signal_frame(&cursor) > 0;
        if (s_unw.step(&cursor) <= 0)
            break;
    }
    return count;
}

} // namespace

void os_callstack_load_symbol_library() {
    pthread_once(&s_load_once, load_libraries);
    // Read the module list now as well: a host that prepares here at start-up then walks from
    // a signal handler without this first, allocating step.
    report_modules();
}

bool os_callstack_symbols_start() {
    pthread_once(&s_load_once, load_libraries);
    s_debug_output = getenv("QV_SYMBOL_DEBUG_OUTPUT") != nullptr;
    report_modules();
    // Frames of the current thread need no library: without libdw they are named from the
    // dynamic symbol tables.
    return true;
}

__attribute__((noinline)) sys_u64 os_callstack_walk(void* context, OsFrameVisitor visit,
                                                    void* user) {
    if (context)
        return walk_context(static_cast<const ucontext_t*>(context), visit, user);
    // The unwinder's first frame is this function, the one that called it.
    UnwindWalk walk{visit, user, 1, 0, false};
    _Unwind_Backtrace(on_unwind_frame, &walk);
    __asm__ __volatile__("" : : : "memory");
    return walk.count;
}

void* os_callstack_dbghelp_module() {
    return nullptr;
}

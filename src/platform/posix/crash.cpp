// Linux: the fatal-signal handler and a minidump writer of our own. The handler may run while
// the crashed thread holds the heap's or the stdio locks, so everything it needs (the
// alternate stack, the dump buffer, the executable's path, the kernel release) is prepared
// when the handler is installed, and the dump is written with plain system calls.
#include "crash_internal.h"

#include "qv_sys/assertion.h"

#include <atomic>
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <sys/utsname.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

// --- the minidump format's records (little-endian, packed as the format lays them out) -----
#pragma pack(push, 1)
struct MdLocation {
    sys_u32 size;
    sys_u32 rva;
};
struct MdMemory {
    sys_u64 start;
    MdLocation memory;
};
struct MdHeader {
    sys_u32 signature;
    sys_u32 version;
    sys_u32 stream_count;
    sys_u32 directory_rva;
    sys_u32 checksum;
    sys_u32 time_date_stamp;
    sys_u64 flags;
};
struct MdDirectory {
    sys_u32 type;
    MdLocation location;
};
struct MdThread {
    sys_u32 id;
    sys_u32 suspend_count;
    sys_u32 priority_class;
    sys_u32 priority;
    sys_u64 teb;
    MdMemory stack;
    MdLocation context;
};
struct MdException {
    sys_u32 thread_id;
    sys_u32 alignment;
    sys_u32 code;
    sys_u32 flags;
    sys_u64 record;
    sys_u64 address;
    sys_u32 parameter_count;
    sys_u32 unused;
    sys_u64 parameters[15];
    MdLocation context;
};
struct MdSystemInfo {
    sys_u16 processor_architecture;
    sys_u16 processor_level;
    sys_u16 processor_revision;
    sys_u8 processor_count;
    sys_u8 product_type;
    sys_u32 major_version;
    sys_u32 minor_version;
    sys_u32 build_number;
    sys_u32 platform_id;
    sys_u32 csd_version_rva;
    sys_u16 suite_mask;
    sys_u16 reserved;
    sys_u32 cpu[6];
};
struct MdModule {
    sys_u64 base;
    sys_u32 size;
    sys_u32 checksum;
    sys_u32 time_date_stamp;
    sys_u32 name_rva;
    sys_u32 version_info[13];
    MdLocation cv_record;
    MdLocation misc_record;
    sys_u64 reserved0;
    sys_u64 reserved1;
};
struct MdMiscInfo {
    sys_u32 size;
    sys_u32 flags;
    sys_u32 process_id;
    sys_u32 create_time;
    sys_u32 user_time;
    sys_u32 kernel_time;
};
// The 64-bit Windows processor context, the register layout minidump readers expect.
struct MdContextAmd64 {
    sys_u64 home[6];
    sys_u32 context_flags;
    sys_u32 mx_csr;
    sys_u16 cs, ds, es, fs, gs, ss;
    sys_u32 eflags;
    sys_u64 dr[6];
    sys_u64 rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
    sys_u64 r8, r9, r10, r11, r12, r13, r14, r15;
    sys_u64 rip;
    sys_u8 fxsave[512];
    sys_u8 vector_register[26 * 16];
    sys_u64 vector_control;
    sys_u64 debug_control;
    sys_u64 last_branch_to_rip;
    sys_u64 last_branch_from_rip;
    sys_u64 last_exception_to_rip;
    sys_u64 last_exception_from_rip;
};
#pragma pack(pop)
static_assert(sizeof(MdHeader) == 32 && sizeof(MdDirectory) == 12 && sizeof(MdThread) == 48);
static_assert(sizeof(MdException) == 168 && sizeof(MdSystemInfo) == 56);
static_assert(sizeof(MdModule) == 108 && sizeof(MdMiscInfo) == 24);
static_assert(sizeof(MdContextAmd64) == 1232 && offsetof(MdContextAmd64, rip) == 0xf8);

constexpr sys_u32 kMdSignature = 0x504d444d; // "MDMP"
constexpr sys_u32 kMdVersion = 0xa793;
constexpr sys_u32 kStreamThreadList = 3;
constexpr sys_u32 kStreamModuleList = 4;
constexpr sys_u32 kStreamMemoryList = 5;
constexpr sys_u32 kStreamException = 6;
constexpr sys_u32 kStreamSystemInfo = 7;
constexpr sys_u32 kStreamMiscInfo = 15;
constexpr sys_u32 kStreamLinuxMaps = 0x47670009;
constexpr sys_u32 kMaxStreams = 8;
constexpr sys_u32 kCvElfBuildId = 0x4270454c; // "BpEL"
constexpr sys_u32 kPlatformLinux = 0x8201;
constexpr sys_u16 kArchitectureAmd64 = 9;
// CONTEXT_AMD64 with its control, integer, segment and floating-point parts.
constexpr sys_u32 kContextFlags = 0x0010000f;

// --- memory prepared at set-up ---------------------------------------------------------------
constexpr sys_u64 kAltStackSize = 1u << 20;
constexpr sys_u64 kBufferSize = 8u << 20;
constexpr sys_u64 kMapsCapacity = 2u << 20;
constexpr sys_u64 kMaxStackBytes = 1u << 20;
constexpr sys_u32 kMaxModules = 2048;
// SIGTRAP is a breakpoint with no debugger to take it: it gets a dump and no report, as a
// breakpoint reaching the Windows filter does.
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};

sys_u8* s_buffer = nullptr;
char s_exe_path[4096];
char s_release[128];
sys_u8 s_processor_count = 1;
std::atomic<long> s_handler_thread{0};

long current_tid() {
    return syscall(SYS_gettid);
}

sys_u64 align_up(sys_u64 value, sys_u64 alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

bool write_all(int fd, const void* data, sys_u64 size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        // The raw system call: a sanitizer's write() would check the stack bytes of the dump
        // against its poisoned guard zones.
        const ssize_t n = syscall(SYS_write, fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= (sys_u64)n;
    }
    return true;
}

// Creates every folder along `path` up to its last '/'. Not filesystem_
// create_directories_in_path: this runs in a signal handler, so only mkdir on a stack copy.
void create_folders_along(const char* path) {
    char folder[kCrashPathSize];
    sys_u64 n = strlen(path);
    if (n >= sizeof folder)
        return;
    memcpy(folder, path, n + 1);
    for (sys_u64 i = 1; i < n; ++i) {
        if (folder[i] != '/')
            continue;
        folder[i] = 0;
        mkdir(folder, 0755);
        folder[i] = '/';
    }
}

// Writes `text` as a minidump string (byte length, then UTF-16) at `pos`; returns the end.
sys_u64 put_string(sys_u64 pos, const char* text) {
    sys_u16* units = reinterpret_cast<sys_u16*>(s_buffer + pos + 4);
    sys_u32 count = 0;
    const sys_u64 max_units = 4096;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    while (*s && count + 2 < max_units) {
        sys_u32 cp = *s++;
        int extra = cp >= 0xf0 ? 3 : cp >= 0xe0 ? 2 : cp >= 0xc0 ? 1 : 0;
        if (extra)
            cp &= 0x3fu >> extra;
        for (; extra > 0 && (*s & 0xc0) == 0x80; --extra)
            cp = (cp << 6) | (*s++ & 0x3f);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units[count++] = (sys_u16)(0xd800 + (cp >> 10));
            units[count++] = (sys_u16)(0xdc00 + (cp & 0x3ff));
        } else {
            units[count++] = (sys_u16)cp;
        }
    }
    units[count] = 0;
    const sys_u32 bytes = count * 2;
    memcpy(s_buffer + pos, &bytes, 4);
    return align_up(pos + 4 + bytes + 2, 4);
}

// The context record from a signal's (or getcontext's) ucontext.
void fill_context(MdContextAmd64* out, const ucontext_t* uc) {
    memset(out, 0, sizeof *out);
    const greg_t* g = uc->uc_mcontext.gregs;
    out->context_flags = kContextFlags;
    out->rax = (sys_u64)g[REG_RAX];
    out->rcx = (sys_u64)g[REG_RCX];
    out->rdx = (sys_u64)g[REG_RDX];
    out->rbx = (sys_u64)g[REG_RBX];
    out->rsp = (sys_u64)g[REG_RSP];
    out->rbp = (sys_u64)g[REG_RBP];
    out->rsi = (sys_u64)g[REG_RSI];
    out->rdi = (sys_u64)g[REG_RDI];
    out->r8 = (sys_u64)g[REG_R8];
    out->r9 = (sys_u64)g[REG_R9];
    out->r10 = (sys_u64)g[REG_R10];
    out->r11 = (sys_u64)g[REG_R11];
    out->r12 = (sys_u64)g[REG_R12];
    out->r13 = (sys_u64)g[REG_R13];
    out->r14 = (sys_u64)g[REG_R14];
    out->r15 = (sys_u64)g[REG_R15];
    out->rip = (sys_u64)g[REG_RIP];
    out->eflags = (sys_u32)g[REG_EFL];
    const sys_u64 csgsfs = (sys_u64)g[REG_CSGSFS];
    out->cs = (sys_u16)csgsfs;
    out->gs = (sys_u16)(csgsfs >> 16);
    out->fs = (sys_u16)(csgsfs >> 32);
    out->ss = 0x2b;
    out->ds = out->es = 0;
    if (uc->uc_mcontext.fpregs) {
        memcpy(out->fxsave, uc->uc_mcontext.fpregs, sizeof out->fxsave);
        out->mx_csr = uc->uc_mcontext.fpregs->mxcsr;
    }
}

// The readable mapping holding `address`, from the memory map text.
bool find_mapping(const char* maps, sys_u64 length, sys_u64 address, sys_u64* start, sys_u64* end) {
    const char* p = maps;
    const char* limit = maps + length;
    while (p < limit) {
        sys_u64 lo = 0, hi = 0;
        while (p < limit && *p != '-') {
            const char c = *p++;
            lo = lo * 16 + (sys_u64)(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        ++p;
        while (p < limit && *p != ' ') {
            const char c = *p++;
            hi = hi * 16 + (sys_u64)(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        const bool readable = p + 1 < limit && p[1] == 'r';
        if (readable && address >= lo && address < hi) {
            *start = lo;
            *end = hi;
            return true;
        }
        while (p < limit && *p != '\n')
            ++p;
        ++p;
    }
    return false;
}

sys_u64 read_maps(char* out, sys_u64 capacity) {
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    sys_u64 used = 0;
    while (used < capacity) {
        ssize_t n = read(fd, out + used, capacity - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        used += (sys_u64)n;
    }
    close(fd);
    return used;
}

struct ModuleWalk {
    sys_u64 records; // where the next module record goes
    sys_u64 strings; // where the next name or CodeView record goes
    sys_u32 count;
    sys_u64 limit;
};

int add_module(struct dl_phdr_info* info, size_t, void* user) {
    ModuleWalk* walk = static_cast<ModuleWalk*>(user);
    if (walk->count >= kMaxModules || walk->strings + 16384 > walk->limit)
        return 1;
    sys_u64 lo = ~0ull, hi = 0;
    const sys_u8* build_id = nullptr;
    sys_u32 build_id_size = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD) {
            if (ph.p_vaddr < lo)
                lo = ph.p_vaddr;
            if (ph.p_vaddr + ph.p_memsz > hi)
                hi = ph.p_vaddr + ph.p_memsz;
        } else if (ph.p_type == PT_NOTE && !build_id) {
            const sys_u8* p = reinterpret_cast<const sys_u8*>(info->dlpi_addr + ph.p_vaddr);
            const sys_u8* end = p + ph.p_memsz;
            while (p + sizeof(ElfW(Nhdr)) <= end) {
                const ElfW(Nhdr)* note = reinterpret_cast<const ElfW(Nhdr)*>(p);
                const sys_u8* name = p + sizeof(ElfW(Nhdr));
                const sys_u8* desc = name + align_up(note->n_namesz, 4);
                if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 &&
                    memcmp(name, "GNU", 4) == 0 && desc + note->n_descsz <= end) {
                    build_id = desc;
                    build_id_size = note->n_descsz;
                    break;
                }
                p = desc + align_up(note->n_descsz, 4);
            }
        }
    }
    if (hi == 0)
        return 0;
    const char* name = info->dlpi_name && info->dlpi_name[0] ? info->dlpi_name : nullptr;
    if (!name) {
        if (walk->count != 0)
            return 0; // the vDSO without a name: nothing a reader could open
        name = s_exe_path;
    }
    MdModule module;
    memset(&module, 0, sizeof module);
    module.base = info->dlpi_addr + (lo & ~0xfffull);
    module.size = (sys_u32)(align_up(hi, 0x1000) - (lo & ~0xfffull));
    module.name_rva = (sys_u32)walk->strings;
    walk->strings = put_string(walk->strings, name);
    if (build_id && build_id_size <= 64) {
        module.cv_record.rva = (sys_u32)walk->strings;
        module.cv_record.size = 4 + build_id_size;
        memcpy(s_buffer + walk->strings, &kCvElfBuildId, 4);
        memcpy(s_buffer + walk->strings + 4, build_id, build_id_size);
        walk->strings = align_up(walk->strings + 4 + build_id_size, 4);
    }
    memcpy(s_buffer + walk->records, &module, sizeof module);
    walk->records += sizeof module;
    ++walk->count;
    return 0;
}

int count_module(struct dl_phdr_info*, size_t, void* user) {
    ++*static_cast<sys_u32*>(user);
    return 0;
}

struct DumpInput {
    int signo;
    const siginfo_t* info;
    const ucontext_t* uc;
};

// Lays the whole dump out in the prepared buffer (all but the stack bytes, which are written
// straight from the thread's stack) and writes it.
void write_dump(int fd, const DumpInput& in) {
    sys_u8* b = s_buffer;
    sys_u32 streams = 0;
    MdDirectory directory[kMaxStreams];
    memset(directory, 0, sizeof directory);
    sys_u64 pos = sizeof(MdHeader) + sizeof directory;
    auto add_stream = [&](sys_u32 type, sys_u64 rva, sys_u64 size) {
        directory[streams].type = type;
        directory[streams].location.rva = (sys_u32)rva;
        directory[streams].location.size = (sys_u32)size;
        ++streams;
    };

    // The memory map, kept for the stack's range and as a stream of its own.
    const sys_u64 maps_rva = align_up(pos, 16);
    const sys_u64 maps_size = read_maps(reinterpret_cast<char*>(b + maps_rva), kMapsCapacity);
    pos = maps_rva + maps_size;
    if (maps_size)
        add_stream(kStreamLinuxMaps, maps_rva, maps_size);

    // The thread's registers.
    const sys_u64 context_rva = align_up(pos, 16);
    MdContextAmd64* context = reinterpret_cast<MdContextAmd64*>(b + context_rva);
    fill_context(context, in.uc);
    pos = context_rva + sizeof(MdContextAmd64);

    // Its stack, from below the red zone to the end of its mapping (at most 1 MiB).
    sys_u64 map_lo = 0, map_hi = 0, stack_lo = 0, stack_size = 0;
    if (find_mapping(reinterpret_cast<const char*>(b + maps_rva), maps_size, context->rsp, &map_lo,
                     &map_hi)) {
        stack_lo = context->rsp - 128 < map_lo ? map_lo : (context->rsp - 128) & ~15ull;
        stack_size = map_hi - stack_lo;
        if (stack_size > kMaxStackBytes)
            stack_size = kMaxStackBytes;
    }

    const sys_u32 tid = (sys_u32)current_tid();
    pos = align_up(pos, 8);
    const sys_u64 threads_rva = pos;
    const sys_u32 one = 1;
    memcpy(b + pos, &one, 4);
    MdThread thread;
    memset(&thread, 0, sizeof thread);
    thread.id = tid;
    thread.stack.start = stack_lo;
    thread.stack.memory.size = (sys_u32)stack_size;
    thread.context = {sizeof(MdContextAmd64), (sys_u32)context_rva};
    memcpy(b + pos + 4, &thread, sizeof thread);
    MdThread* thread_slot = reinterpret_cast<MdThread*>(b + pos + 4);
    pos += 4 + sizeof thread;
    add_stream(kStreamThreadList, threads_rva, 4 + sizeof thread);

    const sys_u64 memory_rva = align_up(pos, 8);
    memcpy(b + memory_rva, &one, 4);
    MdMemory* memory_slot = reinterpret_cast<MdMemory*>(b + memory_rva + 4);
    pos = memory_rva + 4 + sizeof(MdMemory);
    add_stream(kStreamMemoryList, memory_rva, 4 + sizeof(MdMemory));

    if (in.info) {
        MdException exception;
        memset(&exception, 0, sizeof exception);
        exception.thread_id = tid;
        exception.code = (sys_u32)in.signo;
        exception.flags = (sys_u32)in.info->si_code;
        exception.address = (sys_u64)in.info->si_addr;
        exception.context = {sizeof(MdContextAmd64), (sys_u32)context_rva};
        pos = align_up(pos, 8);
        memcpy(b + pos, &exception, sizeof exception);
        add_stream(kStreamException, pos, sizeof exception);
        pos += sizeof exception;
    }

    MdSystemInfo system;
    memset(&system, 0, sizeof system);
    system.processor_architecture = kArchitectureAmd64;
    system.processor_level = 6;
    system.processor_count = s_processor_count;
    system.product_type = 1;
    system.platform_id = kPlatformLinux;
    const sys_u64 system_rva = align_up(pos, 8);
    pos = system_rva + sizeof system;
    system.csd_version_rva = (sys_u32)pos;
    pos = put_string(pos, s_release);
    memcpy(b + system_rva, &system, sizeof system);
    add_stream(kStreamSystemInfo, system_rva, sizeof system);

    MdMiscInfo misc{sizeof(MdMiscInfo), 1, (sys_u32)getpid(), 0, 0, 0};
    pos = align_up(pos, 8);
    memcpy(b + pos, &misc, sizeof misc);
    add_stream(kStreamMiscInfo, pos, sizeof misc);
    pos += sizeof misc;

    sys_u32 module_count = 0;
    dl_iterate_phdr(count_module, &module_count);
    if (module_count > kMaxModules)
        module_count = kMaxModules;
    const sys_u64 modules_rva = align_up(pos, 8);
    ModuleWalk walk{modules_rva + 4, align_up(modules_rva + 4 + module_count * sizeof(MdModule), 8),
                    0, kBufferSize};
    // Modules loaded between the two walks are left out rather than overrun the records.
    walk.count = 0;
    struct Bounded {
        ModuleWalk* walk;
        sys_u32 max;
    } bounded{&walk, module_count};
    dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t size, void* user) -> int {
            Bounded* limits = static_cast<Bounded*>(user);
            if (limits->walk->count >= limits->max)
                return 1;
            return add_module(info, size, limits->walk);
        },
        &bounded);
    memcpy(b + modules_rva, &walk.count, 4);
    add_stream(kStreamModuleList, modules_rva, 4 + walk.count * sizeof(MdModule));
    pos = walk.strings;

    // The stack bytes follow everything else.
    const sys_u64 stack_rva = align_up(pos, 16);
    thread_slot->stack.memory.rva = (sys_u32)stack_rva;
    memory_slot->start = stack_lo;
    memory_slot->memory = {(sys_u32)stack_size, (sys_u32)stack_rva};
    memset(b + pos, 0, stack_rva - pos);

    MdHeader header{kMdSignature,           kMdVersion,    streams, sizeof(MdHeader), 0,
                    (sys_u32)time(nullptr), kCrashDumpType};
    memcpy(b, &header, sizeof header);
    memcpy(b + sizeof header, directory, sizeof directory);
    if (write_all(fd, b, stack_rva) && stack_size)
        write_all(fd, reinterpret_cast<const void*>(stack_lo), stack_size);
}

void write_minidump_file(const char* path, const DumpInput& in) {
    create_folders_along(path);
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        crash_log_unable_to_open(path);
        return;
    }
    if (s_buffer)
        write_dump(fd, in);
    fsync(fd);
    close(fd);
}

// The Windows exception code the same fault raises there, so reports read alike.
sys_u32 windows_code(int signo, int si_code) {
    switch (signo) {
    case SIGSEGV:
    case SIGBUS:
        return 0xc0000005;
    case SIGILL:
        return 0xc000001d;
    case SIGFPE:
        return si_code == FPE_INTDIV ? 0xc0000094 : si_code == FPE_INTOVF ? 0xc0000095 : 0xc0000090;
    case SIGTRAP:
        return 0x80000003;
    default:
        return 0x40000015;
    }
}

const char* module_of(sys_u64 address) {
    Dl_info info;
    struct link_map* map = nullptr;
    if (!dladdr1(reinterpret_cast<void*>(address), &info, reinterpret_cast<void**>(&map),
                 RTLD_DL_LINKMAP) ||
        !info.dli_fname)
        return "<Unknown module>";
    // The program itself has no name in the loader's list: give its full path instead.
    if (map && map->l_name && !map->l_name[0])
        return s_exe_path[0] ? s_exe_path : "<Unknown module>";
    return info.dli_fname;
}

void on_fatal_signal(int signo, siginfo_t* info, void* raw_context) {
    const long tid = current_tid();
    long expected = 0;
    if (!s_handler_thread.compare_exchange_strong(expected, tid)) {
        if (expected != tid) {
            // Another thread is writing the dump and will end the process.
            for (;;)
                pause();
        }
        // A fault inside the handler itself: end at once.
        signal(signo, SIG_DFL);
        raise(signo);
        return;
    }
    ucontext_t* uc = static_cast<ucontext_t*>(raw_context);

    char path[kCrashPathSize];
    crash_dump_path(path);
    write_minidump_file(path, DumpInput{signo, info, uc});
    if (signo == SIGTRAP) {
        signal(signo, SIG_DFL);
        raise(signo);
        return;
    }

    static CrashReport report; // one per process: only the first crashing thread gets here
    crash_report_begin(&report);
    const sys_u64 rip = (sys_u64)uc->uc_mcontext.gregs[REG_RIP];
    const sys_u64 rsp = (sys_u64)uc->uc_mcontext.gregs[REG_RSP];
    const char* module = module_of(crash_module_address(rip, rsp));
    crash_report_record(&report, 0, windows_code(signo, info->si_code), 0, rip, module);
    report.builder.append_context_messages();
    // Static, like the report: a thread's stack, or an alternate stack that a sanitizer made,
    // may be far smaller than the 260 KB of frame records.
    static callstack_entry frames[kCrashMaxFrames];
    crash_report_callstack(&report, uc, frames);
    write_all(STDERR_FILENO, report.text, report.builder.length());
    write_all(STDERR_FILENO, "\n", 1);

    signal(signo, SIG_DFL);
    raise(signo);
}

} // namespace

// Prepares what the dump writer needs. A dump made outside a signal handler (the assertion
// callback when no handler was installed) may do this late.
static void prepare_dump_writer() {
    if (s_buffer)
        return;
    void* buffer =
        mmap(nullptr, kBufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buffer == MAP_FAILED)
        return;
    ssize_t n = readlink("/proc/self/exe", s_exe_path, sizeof s_exe_path - 1);
    s_exe_path[n > 0 ? n : 0] = 0;
    struct utsname name;
    if (uname(&name) == 0)
        strncpy(s_release, name.release, sizeof s_release - 1);
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    s_processor_count = (sys_u8)(cpus > 255 ? 255 : cpus < 1 ? 1 : cpus);
    s_buffer = static_cast<sys_u8*>(buffer);
}

void os_crash_write_minidump(const char* path, void* exception) {
    if (exception) {
        write_minidump_file(path, *static_cast<const DumpInput*>(exception));
        return;
    }
    prepare_dump_writer();
    ucontext_t uc;
    getcontext(&uc);
    write_minidump_file(path, DumpInput{0, nullptr, &uc});
}

void os_crash_install_handler() {
    prepare_dump_writer();
    void* stack =
        mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack != MAP_FAILED) {
        stack_t alt;
        memset(&alt, 0, sizeof alt);
        alt.ss_sp = stack;
        alt.ss_size = kAltStackSize;
        sigaltstack(&alt, nullptr);
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signo : kSignals)
        sigaction(signo, &action, nullptr);
}

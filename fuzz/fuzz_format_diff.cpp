// The formatter against its earlier, single-function form: random formats over the same
// argument slots as fuzz_format must give the same bytes and the same count through both,
// whatever the output size. Failed checks return (as under a debugger), so the paths after
// them are compared too.
#include "assertion_internal.h"
#include "format_reference.h"
#include "qv_sys/io.h"

#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

void resume_after_trap(int) {}

sys_u64 print_text(sys_print_object_context* c) {
    return sys_snprintf(c->output, c->capacity, "<%s>", (const char*)c->object) + 1;
}

// A printer whose count does not match its text, to compare the engine's repair of it.
sys_u64 print_miscounted(sys_print_object_context* c) {
    return sys_snprintf(c->output, c->capacity, "[%s]", (const char*)c->object) + 3;
}

bool setup() {
    struct sigaction sa = {};
    sa.sa_handler = resume_after_trap;
    sigaction(SIGTRAP, &sa, nullptr);
    assert_test_pretend_debugger(true);
    const char* names[] = {"obj", "o", "bad"};
    const sys_print_object_printer printers[] = {print_text, print_text, print_miscounted};
    sys_register_print_custom_object(names, printers, 3);
    reference::register_print_custom_object(names, printers, 3);
    return true;
}

void both(char* a, sys_u64* na, char* b, sys_u64* nb, sys_u64 size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    *na = sys_vsnprintf(a, size, format, args);
    *nb = reference::vsnprintf(b, size, format, copy);
    va_end(copy);
    va_end(args);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setup();
    (void)ready;
    if (size < 3)
        return 0;
    const size_t out_size = data[0] < 128 ? data[0] % 64 : 4096 - data[0] % 64;
    // Text mode: every slot points at a text, so any letter may read it. Number mode: the
    // slots hold numbers of every size and sign (for integers, durations, characters), and
    // the letters that would read a pointer print integers instead.
    const bool numbers = (data[1] & 1) != 0;
    data += 2;
    size -= 2;

    // Texts: eight 16-byte cells of the input, each followed by four zero bytes.
    alignas(4) static char cells[8][20];
    for (int i = 0; i < 8; ++i) {
        memset(cells[i], 0, sizeof cells[i]);
        for (int k = 0; k < 16; ++k)
            cells[i][k] = (char)(i * 16 + k < (int)size ? data[i * 16 + k] : 0);
    }
    sys_u64 v[8];
    for (int i = 0; i < 8; ++i) {
        const uint8_t a = data[(2 * i) % size], b = data[(2 * i + 1) % size];
        v[i] = ((sys_u64)a * 0x0101010101010101ull) >> (b % 64);
        if (b & 64)
            v[i] = 0 - v[i];
    }
    char* format = (char*)malloc(size + 1);
    memcpy(format, data, size);
    format[size] = 0;
    // A specification takes at most three slots (width, precision, value) and one double:
    // keep the format within the slots passed below. %#T reads the clock, which moves between
    // the two calls: formats with a '#' print no durations.
    int specs = 0;
    const bool alternate = memchr(format, '#', size) != nullptr;
    for (size_t i = 0; i < size; ++i) {
        if (format[i] == '%' && ++specs > 10)
            format[i] = 0;
        if (alternate && format[i] == 'T')
            format[i] = 'u';
        if (numbers &&
            (format[i] == 's' || format[i] == 'w' || format[i] == 'W' || format[i] == 'O'))
            format[i] = 'i';
    }

    static char out[2][4096 + 64];
    memset(out, 0x5a, sizeof out);
    sys_u64 n[2];
#define QV_DOUBLES 0.5, -1.25, 3.0e300, 1e-300, -0.0, 2.5, 7.75, 1e18, -3.5e-7, 42.0, 1e308
    if (numbers) {
#define QV_NUMBERS v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]
        both(out[0], &n[0], out[1], &n[1], out_size, format, QV_NUMBERS, QV_NUMBERS, QV_NUMBERS,
             QV_NUMBERS, QV_DOUBLES);
#undef QV_NUMBERS
    } else {
#define QV_CELLS cells[0], cells[1], cells[2], cells[3], cells[4], cells[5], cells[6], cells[7]
        both(out[0], &n[0], out[1], &n[1], out_size, format, QV_CELLS, QV_CELLS, QV_CELLS, QV_CELLS,
             QV_DOUBLES);
#undef QV_CELLS
    }
#undef QV_DOUBLES
    if (n[0] != n[1] || memcmp(out[0], out[1], sizeof out[0]) != 0)
        abort();
    free(format);
    return 0;
}

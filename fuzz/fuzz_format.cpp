// Random formats over argument slots that are always safe to read (every pointer slot points at
// text terminated as UTF-8 and as UTF-32, every float slot is a double); the output must stay
// inside its size. Failed checks return (as under a debugger), so the paths after them run too.
#include "assertion_internal.h"
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

bool setup() {
    struct sigaction sa = {};
    sa.sa_handler = resume_after_trap;
    sigaction(SIGTRAP, &sa, nullptr);
    assert_test_pretend_debugger(true);
    const char* names[] = {"obj", "o"};
    const sys_print_object_printer printers[] = {print_text, print_text};
    sys_register_print_custom_object(names, printers, 2);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool ready = setup();
    if (size < 2)
        return 0;
    const size_t out_size = *data++ % 64;
    --size;

    // Texts: eight 16-byte cells of the input, each followed by four zero bytes.
    alignas(4) static char cells[8][20];
    memset(cells, 0, sizeof cells);
    for (size_t i = 0; i < 8 * 16 && i < size; ++i)
        cells[i / 16][i % 16] = (char)data[i];
    char* format = (char*)malloc(size + 1);
    memcpy(format, data, size);
    format[size] = 0;
    // A conversion takes at most three slots (width, precision, value) and one double:
    // keep the format within the slots passed below.
    int specs = 0;
    for (size_t i = 0; i < size; ++i)
        format[i] = format[i] == '%' && ++specs > 10 ? 0 : format[i];

    char out[128];
    memset(out, 0x5a, sizeof out);
#define QV_CELLS cells[0], cells[1], cells[2], cells[3], cells[4], cells[5], cells[6], cells[7]
    sys_snprintf(out, out_size, format, QV_CELLS, QV_CELLS, QV_CELLS, QV_CELLS, 0.5, -1.25, 3.0e300,
                 1e-300, -0.0, 2.5, 7.75, 1e18, -3.5e-7, 42.0, 1e308);
#undef QV_CELLS
    free(format);
    for (size_t i = out_size; i < sizeof out; ++i)
        if ((unsigned char)out[i] != 0x5a)
            abort();
    return 0;
}

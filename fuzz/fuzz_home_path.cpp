// The home folder from outside input: a user-dirs.dirs file the user (or anything else) wrote,
// and a home base the host passes on. Input: the base, a NUL, then the file's bytes. The
// result must stay inside the buffer, be terminated and end in the fixed tail.
#include "qv_sys/filesystem.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

const std::string& config_dir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/qv_fuzz_home_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made)
            abort();
        setenv("XDG_CONFIG_HOME", made, 1);
        setenv("HOME", made, 1);
        unsetenv("XDG_DOCUMENTS_DIR");
        static char made_copy[sizeof(pattern)];
        memcpy(made_copy, made, sizeof(pattern));
        atexit([] {
            const std::string file = std::string(made_copy) + "/user-dirs.dirs";
            unlink(file.c_str());
            rmdir(made_copy);
        });
        return std::string(made);
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file = config_dir() + "/user-dirs.dirs";
    const uint8_t* nul = (const uint8_t*)memchr(data, 0, size);
    const size_t base_size = nul ? (size_t)(nul - data) : 0;
    const std::string base((const char*)data, base_size);
    const size_t rest = nul ? size - base_size - 1 : size;

    FILE* f = fopen(file.c_str(), "wb");
    if (!f)
        abort();
    if (rest)
        fwrite(data + (size - rest), 1, rest, f);
    fclose(f);

    filesystem_set_home_path(base.c_str());
    static char buffer[300];
    memset(buffer, 0x55, sizeof(buffer));
    const sys_u32 n = filesystem_get_home_path(buffer, 280);
    if (n > 280 || buffer[280] != 0x55)
        abort(); // wrote past the buffer it was given
    if (n < 280) {
        if (buffer[n] != 0 || strlen(buffer) != n)
            abort();
    }
    // The formatter cuts a field that does not fit with a byte to spare at 279 bytes, so only
    // a shorter result is known to be whole and must end in the fixed tail.
    if (n < 279) {
        static const char tail[] = "My Games/Quillfen Studios/vesk/";
        if (n < sizeof(tail) - 1 || memcmp(buffer + n - (sizeof(tail) - 1), tail, sizeof(tail) - 1))
            abort();
    }
    return 0;
}

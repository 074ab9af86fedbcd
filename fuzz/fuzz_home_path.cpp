// The home folder from outside input: a user-dirs.dirs file anything may have written, and a
// home base the host passes on. Input: the base, a NUL, then the file's bytes. The result must
// stay inside the buffer, be terminated and end in the fixed tail.
#include "qv_sys/filesystem.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

// A private configuration folder, removed with its file when the fuzzer ends.
char s_dir[] = "/tmp/qv_fuzz_home_XXXXXX";
const std::string s_file = [] {
    if (!mkdtemp(s_dir))
        abort();
    setenv("XDG_CONFIG_HOME", s_dir, 1);
    setenv("HOME", s_dir, 1);
    unsetenv("XDG_DOCUMENTS_DIR");
    atexit([] {
        unlink((std::string(s_dir) + "/user-dirs.dirs").c_str());
        rmdir(s_dir);
    });
    return std::string(s_dir) + "/user-dirs.dirs";
}();

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* nul = (const uint8_t*)memchr(data, 0, size);
    const size_t base_size = nul ? (size_t)(nul - data) : 0;
    const size_t rest = nul ? size - base_size - 1 : size;
    FILE* f = fopen(s_file.c_str(), "wb");
    if (!f)
        abort();
    fwrite(data + (size - rest), 1, rest, f);
    fclose(f);

    filesystem_set_home_path(std::string((const char*)data, base_size).c_str());
    static char buffer[300];
    memset(buffer, 0x55, sizeof(buffer));
    const sys_u32 n = filesystem_get_home_path(buffer, 280);
    if (n > 280 || buffer[280] != 0x55 || (n < 280 && (buffer[n] != 0 || strlen(buffer) != n)))
        abort(); // past the buffer it was given, or not terminated at its length
    // The formatter cuts a field that does not fit with a byte to spare at 279 bytes, so only
    // a shorter result is known to be whole and must end in the fixed tail.
    static const char tail[] = "My Games/Quillfen Studios/vesk/";
    const size_t tail_size = sizeof(tail) - 1;
    if (n < 279 && (n < tail_size || memcmp(buffer + n - tail_size, tail, tail_size) != 0))
        abort();
    return 0;
}

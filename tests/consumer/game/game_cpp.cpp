// The library's four C++ functions, called from a C++ file of the game: the MSVC-format check
// links them through qv_sys.lib under the names MSVC gives them.
#include <qv_sys/qv_sys.h>

extern "C" int game_cpp_functions(void) {
    char id[64];
    wchar_t wide[8];
    char back[8];
    sys_open_url(nullptr); // no URL: opens nothing
    const bool ok = sys_get_machine_guid(id, sizeof id) > 0 &&
                    sys_windows_utf8_to_wide(wide, 8, "abc") == 4 &&
                    sys_windows_wide_to_utf8(back, 8, wide) == 4 && back[2] == 'c';
    return ok ? 0 : 1;
}

/* A game's first contact with an installed qv_sys: the headers compile as strict C11, the
 * library loads and logs, and it is the release its headers describe (exit status 0).
 * Built with QV_CONSUMER_NO_CRT it runs without any C runtime: the MSVC-format check links it
 * with lld-link against qv_sys.lib and kernel32 alone. */
#include <qv_sys/qv_sys.h>

#if defined(QV_CONSUMER_CPP)
int game_cpp_functions(void); /* game_cpp.cpp */
#endif

static int game_run(void) {
    sys_printf_add_callback(sys_printf_callback_stdout, NULL);
    /* No arguments after the format: must compile cleanly under -pedantic. */
    SYS_LOG("GAME", "started\n");
    SYS_LOG("GAME", "qv_sys headers %u.%u.%u, library %u, headers %u\n",
            (sys_u32)QV_SYS_VERSION_MAJOR, (sys_u32)QV_SYS_VERSION_MINOR,
            (sys_u32)QV_SYS_VERSION_PATCH, sys_version_get(), (sys_u32)QV_SYS_VERSION);
#if defined(QV_CONSUMER_CPP)
    if (game_cpp_functions() != 0)
        return 2;
    SYS_LOG("GAME", "C++ functions linked\n");
#endif
    return sys_version_get() == QV_SYS_VERSION ? 0 : 1;
}

#if defined(QV_CONSUMER_NO_CRT)
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
void game_entry(void) {
    ExitProcess((unsigned int)game_run());
}
#else
int main(void) {
    return game_run();
}
#endif

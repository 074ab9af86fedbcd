// Stands in for the system's mirror tool in the Windows tests: writes its command line (UTF-8)
// to robocopy_args.txt in its working directory and exits with 3 (files copied and extras
// deleted), so the test sees both what was asked and that the exit code comes back.
#include <stdio.h>
#include <windows.h>

int main() {
    char line[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, line, sizeof(line), nullptr, nullptr);
    FILE* f = fopen("robocopy_args.txt", "wb");
    if (!f)
        return 100;
    fputs(line, f);
    fclose(f);
    return 3;
}

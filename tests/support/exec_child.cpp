// The child program of the process tests. The first argument names what it does:
//   args A B ...        writes each following argument and a line feed to stdout
//   cwd                 writes its current directory to stdout
//   stdin               copies stdin to stdout, then writes "<byte count>\n" to stderr
//   streams N M CODE    writes N bytes to stdout and M to stderr in pieces of varied sizes, each
//                       stream counting 0, 1, 2, ... mod 251, and exits CODE
//   exit CODE [MS]      exits CODE; given MS, after closing stdout and stderr and sleeping MS ms
//   kill                ends itself abnormally (a signal on Linux, TerminateProcess on Windows)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    const char* mode = argc < 2 ? "" : argv[1];
    if (strcmp(mode, "args") == 0) {
        for (int i = 2; i < argc; ++i)
            fprintf(stdout, "%s\n", argv[i]);
        return 0;
    }
    if (strcmp(mode, "cwd") == 0) {
        char path[4096];
        return getcwd(path, sizeof(path)) && fputs(path, stdout) >= 0 ? 0 : 98;
    }
    if (strcmp(mode, "stdin") == 0) {
        char buffer[4096];
        unsigned long long total = 0;
        for (size_t n; (n = fread(buffer, 1, sizeof(buffer), stdin)) > 0;)
            total += fwrite(buffer, 1, n, stdout);
        fprintf(stderr, "%llu\n", total);
        return 0;
    }
    if (strcmp(mode, "streams") == 0 && argc == 5) {
        static char piece[7000];
        unsigned long sent[2] = {0, 0};
        const unsigned long total[2] = {strtoul(argv[2], nullptr, 10),
                                        strtoul(argv[3], nullptr, 10)};
        FILE* files[2] = {stdout, stderr};
        for (unsigned round = 0; sent[0] < total[0] || sent[1] < total[1]; ++round) {
            for (int s = 0; s < 2; ++s) {
                // Varied sizes, so the reader sees every kind of boundary.
                unsigned long n = 1 + (round * 2654435761u + (unsigned)s * 977u) % sizeof(piece);
                n = n < total[s] - sent[s] ? n : total[s] - sent[s];
                for (unsigned long i = 0; i < n; ++i)
                    piece[i] = (char)((sent[s] + i) % 251);
                if (fwrite(piece, 1, n, files[s]) != n || fflush(files[s]) != 0)
                    return 90;
                sent[s] += n;
            }
        }
        return atoi(argv[4]);
    }
    if (strcmp(mode, "exit") == 0 && argc == 4) {
        fclose(stdout);
        fclose(stderr);
        usleep((useconds_t)atoi(argv[3]) * 1000);
    }
    if (strcmp(mode, "exit") == 0 && argc >= 3)
        return atoi(argv[2]);
    if (strcmp(mode, "kill") == 0) {
#if defined(_WIN32)
        TerminateProcess(GetCurrentProcess(), 137);
#else
        raise(SIGKILL);
#endif
    }
    return 99;
}

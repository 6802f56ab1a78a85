// Forced into main.cpp's Windows build (see cli.cmake): the POSIX calls the
// command line makes that the mingw-w64 runtime lacks, on the C runtime's own.
// Ctrl-C reaches signal() handlers there as SIGINT, as it does on Linux.
#pragma once

#include <signal.h>
#include <sys/types.h>

struct sigaction {
    void (*sa_handler)(int);
    _sigset_t sa_mask;
    int sa_flags;
};

inline int sigemptyset(_sigset_t* set) {
    *set = 0;
    return 0;
}

inline int sigaction(int number, const struct sigaction* action, struct sigaction*) {
    return ::signal(number, action->sa_handler) == SIG_ERR ? -1 : 0;
}

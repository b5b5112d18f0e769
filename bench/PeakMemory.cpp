// nubelo-bench-rss REPORT PROGRAM [ARGUMENT...]: runs PROGRAM and writes its peak resident set,
// in KiB, into the file REPORT; exits as PROGRAM did.
//
// The kernel's count for a process also holds the peak of whatever memory it started from: exec
// records the peak of the memory it replaces, and a child made by fork or vfork starts from its
// parent's. Started straight from the harness, a program would be charged the harness's own
// peak; this small process stands between, so all it adds is its own few hundred KiB.

#include <cerrno>
#include <cstdio>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fputs("usage: nubelo-bench-rss REPORT PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    const pid_t pid = ::fork();
    if (pid < 0)
        return 127;
    if (pid == 0) {
        ::execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    pid_t reaped = -1;
    do {
        reaped = ::wait4(pid, &status, 0, &usage);
    } while (reaped < 0 && errno == EINTR);
    if (reaped != pid)
        return 127;
    if (std::FILE *report = std::fopen(argv[1], "w")) {
        std::fprintf(report, "%ld\n", usage.ru_maxrss);
        std::fclose(report);
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

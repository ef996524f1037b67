/* maxrss FILE PROG ARGS...: runs PROG, writes to FILE the largest resident set in KiB of PROG
 * and of the children it waited for (wait4's ru_maxrss), and exits with PROG's status.
 * busybox's time scales that figure by the page size in KiB, as if it counted pages. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: maxrss FILE PROG [ARGS...]\n");
        return 127;
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("maxrss: fork");
        return 127;
    }
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        perror("maxrss: exec");
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        perror("maxrss: wait4");
        return 127;
    }
    FILE* out = fopen(argv[1], "w");
    if (out == NULL || fprintf(out, "%ld\n", usage.ru_maxrss) < 0 || fclose(out) != 0) {
        perror(argv[1]);
        return 127;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

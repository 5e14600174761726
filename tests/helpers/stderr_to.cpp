// Runs a program with its standard error on a file opened write-only, as a shell's `2>file` does
// (standard output stays where it was):
//   zqh_stderr_to <path> <program> [args...]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <path> <program> [args...]\n", argv[0]);
        return 2;
    }
    int fd = ::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) {
        std::perror("stderr_to");
        return 2;
    }
    ::close(fd);
    ::execv(argv[2], argv + 2);
    std::perror("stderr_to: execv");
    return 127;
}

// An application whose participant cannot start (its configuration file is missing) and that
// then dies: the library's lines must already be in its stdout, whatever that is. With a path,
// stdout is first pointed at that file, opened write-only (so stdio buffers it fully). After the
// library's lines it says "@@ printed" on stderr (unbuffered), then aborts, or with "wait" waits
// to be killed.
//
// Usage: zqh_abort_after_line abort|wait [<stdout file>]
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zqdds/participant.h"

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc < 2 || argc > 3 || (std::strcmp(argv[1], "abort") != 0 && std::strcmp(argv[1], "wait") != 0)) {
        std::fprintf(stderr, "usage: %s abort|wait [<stdout file>]\n", argv[0]);
        return 2;
    }
    if (argc == 3) {
        const int fd = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) {
            std::perror("stdout file");
            return 3;
        }
        ::close(fd);
    }
    CParticipant participant("/nonexistent/zqdds-config.json");
    if (participant.createTopic("h25_abort") != nullptr) {
        return 4;
    }
    std::fprintf(stderr, "@@ printed\n");
    if (std::strcmp(argv[1], "abort") == 0) {
        std::abort();
    }
    for (;;) {
        ::pause();
    }
}

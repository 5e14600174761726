// Holds a private network, IPC and mount namespace for a test "host" until its stdin closes
// or its parent dies. Tests run commands inside it with nsenter.
#include "support/zqtest.h"

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

int main()
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::string error;
    if (!zqtest::enterPrivateNamespaces(&error)) {
        printf("nshost: failed: %s\n", error.c_str());
        return 1;
    }
    printf("nshost: ready\n");
    fflush(stdout);
    char buf[64];
    while (read(STDIN_FILENO, buf, sizeof(buf)) > 0) {
    }
    return 0;
}

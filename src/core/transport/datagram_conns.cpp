#include "core/transport/datagram_conns.h"

#include "utils/socket_utils.h"

void closeConnSocket(int fd)
{
    CSocketUtils::closeSocket(fd);
}

// Data sender over Unix-domain datagram sockets: every package the topic's writers publish goes to
// every connected reader, cut into datagrams of at most 65536 bytes. Each connection's socket is
// connected at its first send, which spares the path lookup of every datagram (see
// CDatagramSender for the threads).
#pragma once

#include <sys/un.h>

#include <cstddef>

#include "core/transport/datagram/datagram_sender.h"
#include "core/transport/media/unix_socket_medium.h"

class CDataManager;

// One reader connection of the sender.
struct UnixSockAddr_t {
    int m_iFd;                         // the connection's own datagram socket (unbound)
    char m_szPath[DDS_PATH_TEXT_SIZE]; // the receiver's path
    int m_iId;                         // socket index
    sockaddr_un m_addr;
};

class CUnixSocketSender : public CDatagramSender<UnixSockAddr_t> {
public:
    explicit CUnixSocketSender(CDataManager* dataManager);
    ~CUnixSocketSender() override;

    // Opens the connection's socket and fills `out`; 0, or -1 (a path that is empty or not
    // terminated inside its field is refused before any socket is opened).
    int open(UnixSocketParam_t& param, UnixSockAddr_t* out);
    // Sends one package (`length` bytes from its header) to every connection and counts it as the
    // send thread does.
    void sendData(unsigned char* header, int length);

private:
    bool openConn(TransParam_t& param, UnixSockAddr_t* out, bool* segment) override;
    void connDeleted(int connId, const UnixSockAddr_t& record) override;
};

#include "core/transport/media/unix_socket_sender.h"

#include <cstring>

#include "utils/dds_common.h"
#include "utils/socket_utils.h"

CUnixSocketSender::CUnixSocketSender(CDataManager* dataManager)
    : CDatagramSender(dataManager,
                      {TRANS_TYPE_UNIX_SOCKET, UNIX_SOCKET_FRAG_PAYLOAD, 0, true, &UnixSockAddr_t::m_iId, false})
{
}

CUnixSocketSender::~CUnixSocketSender()
{
    CUnixSocketSender::deinit(); // this class's own, before the members go
}

int CUnixSocketSender::open(UnixSocketParam_t& param, UnixSockAddr_t* out)
{
    if (out == nullptr || !isTextTerminated(param.m_szPath, sizeof(param.m_szPath)) || param.m_szPath[0] == '\0') {
        DDS_RED_LIMITED("Error: invalid unix socket path!");
        return -1;
    }
    int fd = CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_UNIX);
    if (fd < 0) {
        DDS_GREEN_LIMITED("openSocket failed!");
        return -1;
    }
    CSocketUtils::askBufSize(fd, true, UNIX_SOCKET_BUF_SIZE);
    int bufSize = 0;
    CSocketUtils::getSendBufSize(fd, bufSize);
    DDS_GREEN_LIMITED_BY(fd, "Unix socket %d send buf size is %d KB, while seted size is %d KB.", fd, bufSize / 1024,
                         UNIX_SOCKET_BUF_SIZE / 1024);
    CSocketUtils::setSendTimeOut(fd, UNIX_SOCKET_SEND_TIMEOUT_MS);

    std::memset(out, 0, sizeof(*out));
    out->m_iFd = fd;
    out->m_iId = param.m_iId;
    std::memcpy(out->m_szPath, param.m_szPath, sizeof(out->m_szPath));
    out->m_addr.sun_family = AF_UNIX;
    static_assert(sizeof(out->m_addr.sun_path) > DDS_PATH_TEXT_SIZE, "a path field fits sun_path");
    std::memcpy(out->m_addr.sun_path, param.m_szPath, sizeof(param.m_szPath));
    return 0;
}

bool CUnixSocketSender::openConn(TransParam_t& param, UnixSockAddr_t* out, bool* segment)
{
    *segment = false;
    return open(param.m_unixSocketParam, out) == 0;
}

void CUnixSocketSender::connDeleted(int connId, const UnixSockAddr_t& record)
{
    DDS_GREEN_LIMITED_BY(record.m_iId, "Delete domain socket conn %d, path: %s, port: %d", connId, record.m_szPath,
                         record.m_iId);
}

void CUnixSocketSender::sendData(unsigned char* header, int length)
{
    sendAndCount(1, &header, &length);
}

#include "core/transport/unix_socket_sender.h"

#include <cstring>

#include "utils/dds_common.h"
#include "utils/socket_utils.h"

CUnixSocketSender::CUnixSocketSender(CDataManager* dataManager) : CDataSender(dataManager) {}

CUnixSocketSender::~CUnixSocketSender()
{
    deinit();
}

bool CUnixSocketSender::init()
{
    return startSending(0);
}

bool CUnixSocketSender::isInit()
{
    return m_bRunning.load();
}

void CUnixSocketSender::deinit()
{
    stopSending();
}

void CUnixSocketSender::stopped()
{
    m_fanout.stop();
    m_conns.clear();
    std::vector<uint8_t>().swap(m_vecHeaders);
    // The sockets close here; the control descriptors belong to the control channel.
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
    DDS_GREEN_LIMITED("Unix socket %d send buf size is %d KB, while seted size is %d KB.", fd, bufSize / 1024,
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

bool CUnixSocketSender::addConn(int connId, TransParam_t& param)
{
    if (param.m_iType != TRANS_TYPE_UNIX_SOCKET) {
        return false;
    }
    UnixSockAddr_t record;
    if (open(param.m_unixSocketParam, &record) != 0) {
        return false;
    }
    return m_conns.add(connId, record);
}

bool CUnixSocketSender::delConn(int connId)
{
    return m_conns.remove(connId, [this, connId](const UnixSockAddr_t& record) {
        DDS_GREEN_LIMITED("Delete domain socket conn %d, path: %s, port: %d", connId, record.m_szPath, record.m_iId);
        resetFrameRate();
    });
}

bool CUnixSocketSender::isConnExist(int connId)
{
    return m_conns.exists(connId);
}

int CUnixSocketSender::getClientCount()
{
    return m_conns.count();
}

int CUnixSocketSender::getPort(int connId)
{
    return m_conns.number(connId, &UnixSockAddr_t::m_iId);
}

int CUnixSocketSender::getFps()
{
    return readFps(m_conns.count());
}

void CUnixSocketSender::sendTask()
{
    sendLoop();
}

void CUnixSocketSender::sendPackages(size_t count, unsigned char* const* data, const int* length, bool* sent)
{
    fanOut(count, data, length, sent);
}

void CUnixSocketSender::sendData(unsigned char* header, int length)
{
    bool sent = false;
    fanOut(1, &header, &length, &sent);
    if (sent) {
        countSent();
    }
}

void CUnixSocketSender::fanOut(size_t count, unsigned char* const* data, const int* length, bool* sent)
{
    for (size_t i = 0; i < count; ++i) {
        sent[i] = false;
    }
    if (!m_conns.snapshot(m_vecSnapshot, m_vecTargets)) {
        return;
    }
    // Gathered from the packages themselves: no scratch package, no copy of the payload.
    const size_t built = m_fanout.send(m_vecHeaders, count, data, length, m_vecTargets, sent);
    m_vecTargets.clear();
    m_vecSnapshot.clear();
    // Packages whose only reader left meanwhile are not counted.
    if (built > 0 && m_conns.count() == 0) {
        for (size_t i = 0; i < count; ++i) {
            sent[i] = false;
        }
    }
}

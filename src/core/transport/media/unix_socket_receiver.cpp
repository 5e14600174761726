#include "core/transport/media/unix_socket_receiver.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "utils/dds_common.h"
#include "utils/socket_utils.h"

CUnixSocketReceiver::CUnixSocketReceiver(const std::string& topicName, CDataManager* dataManager)
    : CDatagramReceiver(topicName, dataManager,
                        {TRANS_TYPE_UNIX_SOCKET, 0, UNIX_SOCKET_RECV_BATCH, UNIX_SOCKET_RECV_BUF_SIZE,
                         UNIX_SOCKET_FRAG_PAYLOAD, REASSEMBLY_STYLE_UNIX, UNIX_SOCKET_ERROR_PAUSE_US, 0, 0})
{
    std::memset(&m_addr, 0, sizeof(m_addr));
}

CUnixSocketReceiver::CUnixSocketReceiver(CDataManager* dataManager) : CUnixSocketReceiver(std::string(), dataManager) {}

CUnixSocketReceiver::~CUnixSocketReceiver()
{
    CUnixSocketReceiver::deinit(); // this class's own, before the members go
}

bool CUnixSocketReceiver::clearPath()
{
    const char* path = m_addr.sun_path;
    struct stat st;
    if (::lstat(path, &st) != 0) {
        return true; // nothing there (or not reachable, which bind then reports)
    }
    if (!S_ISSOCK(st.st_mode)) {
        DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: %s is not a socket!", m_strTopicName.c_str(), path);
        return false;
    }
    // A socket file: stale when nobody answers at it.
    CUniqueFd probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe) {
        return false;
    }
    int result = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&m_addr), sizeof(m_addr));
    int err = errno;
    probe.reset();
    if (result == 0 || err != ECONNREFUSED) {
        DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: unix socket path %s is in use!", m_strTopicName.c_str(), path);
        return false;
    }
    ::unlink(path);
    return true;
}

int CUnixSocketReceiver::open(UnixSocketParam_t& param)
{
    if (m_iFd.load() >= 0) {
        return -1; // one socket at a time
    }
    char expected[DDS_PATH_TEXT_SIZE];
    if (!isTextTerminated(param.m_szPath, sizeof(param.m_szPath)) ||
        !makeUnixSocketPath(m_strTopicName, param.m_iId, expected) || std::strcmp(expected, param.m_szPath) != 0) {
        DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: invalid unix socket path!", m_strTopicName.c_str());
        return -1;
    }
    CUniqueFd owned(CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_UNIX));
    const int fd = owned.get();
    if (!owned) {
        DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: openSocket!", m_strTopicName.c_str());
        return -1;
    }
    CSocketUtils::askBufSize(fd, false, UNIX_SOCKET_BUF_SIZE);
    int bufSize = 0;
    CSocketUtils::getRecvBufSize(fd, bufSize);
    DDS_GREEN_LIMITED_BY(m_strTopicName, "[%s] Socket %d recv buf size is %d KB, while seted size is %d KB.",
                         m_strTopicName.c_str(), fd, bufSize / 1024, UNIX_SOCKET_BUF_SIZE / 1024);

    std::memset(&m_addr, 0, sizeof(m_addr));
    m_addr.sun_family = AF_UNIX;
    std::memcpy(m_addr.sun_path, expected, sizeof(expected));
    if (!clearPath()) {
        return -1;
    }
    if (CSocketUtils::bindSocket(fd, reinterpret_cast<sockaddr*>(&m_addr), static_cast<int>(sizeof(m_addr))) != 0) {
        DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: bindSocket!", m_strTopicName.c_str());
        return -1;
    }
    struct stat st;
    if (::lstat(m_addr.sun_path, &st) == 0) {
        m_boundDev = st.st_dev;
        m_boundIno = st.st_ino;
    }
    DDS_GREEN_LIMITED_BY(m_strTopicName, "[%s] unix receive path is %s", m_strTopicName.c_str(), m_addr.sun_path);
    holdSocket(std::move(owned));
    return 0;
}

void CUnixSocketReceiver::closeChannel()
{
    closeSocket();
    if (m_boundIno != 0) {
        struct stat st;
        if (::lstat(m_addr.sun_path, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == m_boundDev &&
            st.st_ino == m_boundIno) {
            ::unlink(m_addr.sun_path);
        }
        m_boundDev = 0;
        m_boundIno = 0;
    }
}

int CUnixSocketReceiver::openChannel(TransParam_t& param)
{
    return open(param.m_unixSocketParam);
}

int CUnixSocketReceiver::pauseAfter(int)
{
    return UNIX_SOCKET_ERROR_PAUSE_US;
}

// An empty datagram is reported as readData reports it.
bool CUnixSocketReceiver::keepDatagram(size_t len)
{
    if (len == 0) {
        DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: iRet = %d", m_strTopicName.c_str(), SOCK_RET_DISCONNECTED);
        std::this_thread::sleep_for(std::chrono::microseconds(UNIX_SOCKET_ERROR_PAUSE_US));
        return false;
    }
    return true;
}

void CUnixSocketReceiver::logExit()
{
    DDS_GREEN_LIMITED_BY(m_strTopicName, "[%s] CUnixSocketReceiver::recvTask() exit!", m_strTopicName.c_str());
}

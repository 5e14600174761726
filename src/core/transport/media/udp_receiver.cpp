#include "core/transport/media/udp_receiver.h"

#include <sys/socket.h>

#include <cstring>
#include <utility>

#include "utils/dds_common.h"
#include "utils/socket_utils.h"

CUdpReceiver::CUdpReceiver(const std::string& topicName, CDataManager* dataManager)
    : CDatagramReceiver(topicName, dataManager,
                        {TRANS_TYPE_UDP, UDP_THREAD_PRIORITY, UDP_RECV_BATCH, UDP_RECV_BUF_SIZE, UDP_FRAG_PAYLOAD,
                         REASSEMBLY_STYLE_UDP, UDP_ERROR_PAUSE_MIN_US, UDP_GRO_BATCH, UDP_GRO_BUF_SIZE})
{
    std::memset(&m_addr, 0, sizeof(m_addr));
}

CUdpReceiver::CUdpReceiver(CDataManager* dataManager) : CUdpReceiver(std::string(), dataManager) {}

CUdpReceiver::~CUdpReceiver()
{
    CUdpReceiver::deinit(); // this class's own, before the members go
}

int CUdpReceiver::nextErrorPause(int pauseUs)
{
    return pauseUs >= UDP_ERROR_PAUSE_MAX_US / 2 ? UDP_ERROR_PAUSE_MAX_US : pauseUs * 2;
}

int CUdpReceiver::open(UdpParam_t& param)
{
    if (m_iFd.load() >= 0) {
        return -1; // one socket at a time
    }
    if (!isTextTerminated(param.m_szIp, sizeof(param.m_szIp))) {
        DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: invalid udp sender address!", m_strTopicName.c_str());
        return -1;
    }
    CUniqueFd owned(CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_UDP));
    const int fd = owned.get();
    if (!owned) {
        DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: openSocket!", m_strTopicName.c_str());
        return -1;
    }
    // No address reuse: a port already bound by another channel must fail here.
    CSocketUtils::askBufSize(fd, false, UDP_SOCK_BUF_SIZE);
    CSocketUtils::setRecvTimeOut(fd, UDP_SOCK_TIMEOUT_MS);
    CSocketUtils::setLinger(fd, true, 0);
    int bufSize = 0;
    CSocketUtils::getRecvBufSize(fd, bufSize);
    DDS_GREEN_LIMITED_BY(m_strTopicName, "[%s] Socket %d recv buf size is %d KB, while seted size is %d KB.",
                         m_strTopicName.c_str(), fd, bufSize / 1024, UDP_SOCK_BUF_SIZE / 1024);

    std::memset(&m_addr, 0, sizeof(m_addr));
    m_addr.sin_family = AF_INET;
    m_addr.sin_addr.s_addr = htonl(INADDR_ANY);
    m_addr.sin_port = htons(static_cast<uint16_t>(param.m_iPort));
    if (param.m_iPort < 0 || param.m_iPort > 65535 ||
        CSocketUtils::bindSocket(fd, reinterpret_cast<sockaddr*>(&m_addr), static_cast<int>(sizeof(m_addr))) != 0) {
        DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: bindSocket!", m_strTopicName.c_str());
        return -1;
    }
    DDS_GREEN_LIMITED_BY(m_strTopicName, "[%s] udp receive port is %d, sender ip is %s.", m_strTopicName.c_str(),
                         param.m_iPort, param.m_szIp);
    holdSocket(std::move(owned));
    return 0;
}

int CUdpReceiver::openChannel(TransParam_t& param)
{
    return open(param.m_udpParam);
}

void CUdpReceiver::closeChannel()
{
    closeSocket();
}

int CUdpReceiver::pauseAfter(int pauseUs)
{
    return nextErrorPause(pauseUs);
}

// A bare header is an empty message, which this medium does not deliver; on a datagram socket
// "peer closed" is an empty datagram, which is just too short.
bool CUdpReceiver::keepDatagram(size_t len)
{
    const int recvLen = static_cast<int>(len);
    if (recvLen <= static_cast<int>(DDS_HEADER_SIZE)) {
        DDS_YELLOW_LIMITED_BY(m_strTopicName, "[%s] iRecvLen %d <= sizeof(DDSHeader_t) %ld", m_strTopicName.c_str(),
                              recvLen, static_cast<long>(DDS_HEADER_SIZE));
        return false;
    }
    return true;
}

void CUdpReceiver::logExit()
{
    DDS_GREEN_LIMITED_BY(m_strTopicName, "[%s] CUdpReceiver::recvTask() exit!", m_strTopicName.c_str());
}

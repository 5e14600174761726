#include "core/transport/media/udp_sender.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "core/transport/datagram/fragment_layout.h"
#include "memory/datacenter.h"
#include "utils/dds_common.h"
#include "utils/socket_utils.h"

CUdpSender::CUdpSender(CDataManager* dataManager)
    : CDatagramSender(dataManager,
                      {TRANS_TYPE_UDP, UDP_FRAG_PAYLOAD, UDP_THREAD_PRIORITY, false, &UdpSockAddr_t::m_iPort, true})
{
}

CUdpSender::~CUdpSender()
{
    deinit(); // before the members go
}

int CUdpSender::open(UdpParam_t& param, UdpSockAddr_t* out)
{
    in_addr ip{};
    if (out == nullptr || !isTextTerminated(param.m_szIp, sizeof(param.m_szIp)) || !parseIPv4(param.m_szIp, &ip) ||
        param.m_iPort < 1 || param.m_iPort > 65535) {
        DDS_RED_LIMITED("Error: invalid udp receiver address!");
        return -1;
    }
    int fd = CSocketUtils::openSocket(CSocketUtils::SOCKET_TYPE_UDP);
    if (fd < 0) {
        DDS_GREEN_LIMITED("openSocket failed!");
        return -1;
    }
    CSocketUtils::setSendTimeOut(fd, UDP_SOCK_TIMEOUT_MS);
    CSocketUtils::askBufSize(fd, true, UDP_SOCK_BUF_SIZE);
    CSocketUtils::setLinger(fd, true, 0);
    int bufSize = 0;
    CSocketUtils::getSendBufSize(fd, bufSize);
    DDS_GREEN_LIMITED_BY(fd, "Socket %d send buf size is %d KB, while seted size is %d KB.", fd, bufSize / 1024,
                         UDP_SOCK_BUF_SIZE / 1024);

    std::memset(out, 0, sizeof(*out));
    out->m_iFd = fd;
    std::memcpy(out->m_szIp, param.m_szIp, sizeof(out->m_szIp));
    out->m_iPort = param.m_iPort;
    out->m_addr.sin_family = AF_INET;
    out->m_addr.sin_port = htons(static_cast<uint16_t>(param.m_iPort));
    out->m_addr.sin_addr = ip;
    return 0;
}

bool CUdpSender::openConn(TransParam_t& param, UdpSockAddr_t* out, bool* segment)
{
    if (open(param.m_udpParam, out) != 0) {
        return false;
    }
    DDS_GREEN_LIMITED_BY(out->m_iPort, "Open udp port %d success, receiver ip is %s.", out->m_iPort, out->m_szIp);
    // Segmented sends where the kernel knows them; the first one it refuses ends them.
    int size = 0;
    socklen_t sizeLen = sizeof(size);
    *segment = ::getsockopt(out->m_iFd, SOL_UDP, UDP_SEGMENT, &size, &sizeLen) == 0;
    return true;
}

void CUdpSender::connDeleted(int connId, const UdpSockAddr_t& record)
{
    DDS_GREEN_LIMITED_BY(record.m_iPort, "Delete udp conn %d, addr: %s, port: %d", connId, record.m_szIp,
                         record.m_iPort);
}

bool CUdpSender::sendData(unsigned char* header, int length)
{
    bool built = false;
    return fanOut(1, &header, &length, &built) > 0;
}

int sendUdpSockData(int fd, sockaddr* address, int addressLen, void* header, int length, int maxDatagram,
                    CDataManager* dataManager)
{
    // A datagram must carry a header and at least one payload byte to make progress.
    if (fd < 0 || address == nullptr || header == nullptr || length < static_cast<int>(DDS_HEADER_SIZE) ||
        maxDatagram <= static_cast<int>(DDS_HEADER_SIZE)) {
        return -1;
    }
    auto* pkg = static_cast<uint8_t*>(header);
    DDSHeader_t source = readDdsHeader(pkg);
    if (length <= maxDatagram) {
        source.m_u32SeqNo = 1;
        source.m_u8Flag = PKT_FLAG_FIRST;
        source.m_u32TotalLen = static_cast<uint32_t>(length);
        source.m_u32PktCount = 1;
        writeDdsHeader(pkg, source);
        ::sendto(fd, pkg, static_cast<size_t>(length), MSG_NOSIGNAL, address, static_cast<socklen_t>(addressLen));
        return 0;
    }
    DataPackage_t* scratch = dataManager != nullptr ? dataManager->getEmptyDataPkg(maxDatagram, 100) : nullptr;
    if (scratch == nullptr) {
        DDS_GREEN_LIMITED("getEmptyDataPkg failed!!!");
        return -1;
    }
    const uint32_t fragPayload = static_cast<uint32_t>(maxDatagram) - DDS_HEADER_SIZE;
    // The header's length is not trusted past the bytes the caller gave.
    const uint32_t claimed = source.m_u32DataLen; // a copy: the packed field cannot be bound
    const uint32_t payload = std::min(claimed, static_cast<uint32_t>(length - static_cast<int>(DDS_HEADER_SIZE)));
    const uint32_t count = fragmentCount(payload, fragPayload);
    uint8_t* area = pkgData(scratch);
    const uint8_t* from = pkg + DDS_HEADER_SIZE;
    for (uint32_t seqNo = 1; seqNo <= count; ++seqNo) {
        const uint32_t pieceLen = writeFragment(area, source, from, seqNo, payload, fragPayload);
        ::sendto(fd, area, DDS_HEADER_SIZE + pieceLen, MSG_NOSIGNAL, address, static_cast<socklen_t>(addressLen));
        from += pieceLen;
    }
    dataManager->referDataPkg(scratch);
    dataManager->putEmptyDataPkg(scratch);
    return 0;
}

#include "core/transport/sender.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <system_error>

#include "memory/datacenter.h"

CDataSender::CDataSender(CDataManager* dataManager) : m_pDataManager(dataManager) {}

CDataSender::~CDataSender() = default;

void CDataSender::calculateFrameRate()
{
    m_frameRate.count(CFrameRate::nowMs());
}

void CDataSender::resetFrameRate()
{
    m_bSent.store(false);
    m_frameRate.reset(CFrameRate::nowMs());
}

int CDataSender::readFps()
{
    return m_frameRate.read(m_bSent.load());
}

uint32_t fragmentCount(uint32_t payload, uint32_t fragPayload)
{
    if (fragPayload == 0) {
        return 0;
    }
    if (payload == 0) {
        return 1;
    }
    return static_cast<uint32_t>((static_cast<uint64_t>(payload) + fragPayload - 1) / fragPayload);
}

size_t fragmentScratchSize(uint32_t payload, uint32_t fragPayload)
{
    return static_cast<size_t>(fragmentCount(payload, fragPayload)) * DDS_HEADER_SIZE + payload;
}

uint32_t fragmentPayloadLen(uint32_t seqNo, uint32_t totalLen, uint32_t fragPayload)
{
    uint32_t count = fragmentCount(totalLen, fragPayload);
    if (seqNo == 0 || seqNo > count) {
        return 0;
    }
    if (seqNo < count) {
        return fragPayload;
    }
    return totalLen - (count - 1) * fragPayload;
}

uint8_t fragmentFlag(uint32_t seqNo, uint32_t count)
{
    if (seqNo <= 1) {
        return PKT_FLAG_FIRST;
    }
    return seqNo == count ? PKT_FLAG_LAST : PKT_FLAG_MIDDLE;
}

bool buildFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, uint8_t* scratch, size_t scratchSize,
                    DatagramList_t& out)
{
    out.clear();
    if (pkg == nullptr || scratch == nullptr || len < DDS_HEADER_SIZE || fragPayload == 0 ||
        len - DDS_HEADER_SIZE > DDS_MAX_FRAME_PAYLOAD) {
        return false;
    }
    const uint32_t payload = static_cast<uint32_t>(len - DDS_HEADER_SIZE);
    const uint32_t count = fragmentCount(payload, fragPayload);
    if (scratchSize < fragmentScratchSize(payload, fragPayload)) {
        return false;
    }
    const DDSHeader_t source = readDdsHeader(pkg);
    const uint8_t* from = pkg + DDS_HEADER_SIZE;
    uint8_t* to = scratch;
    out.reserve(count);
    for (uint32_t seqNo = 1; seqNo <= count; ++seqNo) {
        const uint32_t pieceLen = fragmentPayloadLen(seqNo, payload, fragPayload);
        DDSHeader_t header = makeDdsHeader(fragmentFlag(seqNo, count), source.m_u8Type);
        header.m_u32SeqNo = seqNo;
        header.m_u64TimeStamp = source.m_u64TimeStamp;
        header.m_u32DataLen = pieceLen;
        header.m_u32TotalLen = payload;
        header.m_u32PktCount = count;
        writeDdsHeader(to, header);
        std::memcpy(to + DDS_HEADER_SIZE, from, pieceLen);
        out.emplace_back(to, static_cast<int>(DDS_HEADER_SIZE + pieceLen));
        to += DDS_HEADER_SIZE + pieceLen;
        from += pieceLen;
    }
    return true;
}

namespace {

// One datagram; false when it did not go out whole. `err` gets the errno of a failure.
bool sendOne(int fd, const sockaddr* address, int addressLen, const std::pair<unsigned char*, int>& datagram,
             int flags, int* err)
{
    ssize_t result;
    do {
        result = ::sendto(fd, datagram.first, static_cast<size_t>(datagram.second), flags | MSG_NOSIGNAL, address,
                          static_cast<socklen_t>(addressLen));
    } while (result < 0 && errno == EINTR);
    *err = result < 0 ? errno : 0;
    return result == datagram.second;
}

} // namespace

int sendUdpData(int fd, const sockaddr* address, int addressLen, const DatagramList_t& datagrams)
{
    int sent = 0;
    int err = 0;
    for (const auto& datagram : datagrams) {
        if (!sendOne(fd, address, addressLen, datagram, 0, &err)) {
            break;
        }
        ++sent;
    }
    return sent;
}

int sendToTarget(const DatagramTarget_t& target, const DatagramList_t& datagrams)
{
    int err = 0;
    size_t sent = 0;
    if (target.m_pStalled != nullptr && *target.m_pStalled && !datagrams.empty()) {
        if (!sendOne(target.m_iFd, target.m_pAddr, target.m_iAddrLen, datagrams[0], MSG_DONTWAIT, &err)) {
            return 0; // still no room: this frame is lost for this reader only
        }
        sent = 1;
    }
    for (; sent < datagrams.size(); ++sent) {
        if (!sendOne(target.m_iFd, target.m_pAddr, target.m_iAddrLen, datagrams[sent], 0, &err)) {
            if (target.m_pStalled != nullptr && (err == EAGAIN || err == EWOULDBLOCK)) {
                *target.m_pStalled = true;
            }
            return static_cast<int>(sent);
        }
    }
    if (target.m_pStalled != nullptr) {
        *target.m_pStalled = false;
    }
    return static_cast<int>(sent);
}

bool CDatagramFanout::send(CDataManager* dataManager, const uint8_t* pkg, int len,
                           const std::vector<DatagramTarget_t>& targets)
{
    if (dataManager == nullptr || pkg == nullptr || targets.empty() || len < static_cast<int>(DDS_HEADER_SIZE) ||
        static_cast<uint32_t>(len) - DDS_HEADER_SIZE > DDS_MAX_FRAME_PAYLOAD) {
        return false;
    }
    const size_t scratchSize = fragmentScratchSize(static_cast<uint32_t>(len) - DDS_HEADER_SIZE, m_u32FragPayload);
    if (scratchSize > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    DataPackage_t* scratch = dataManager->getEmptyDataPkg(static_cast<int>(scratchSize), 100);
    if (scratch == nullptr) {
        return false;
    }
    const bool built = buildFragments(pkg, static_cast<size_t>(len), m_u32FragPayload, pkgData(scratch),
                                      static_cast<size_t>(scratch->m_iSize), m_datagrams);
    if (built) {
        m_tasks.clear();
        for (size_t i = 1; i < targets.size(); ++i) {
            const DatagramTarget_t& target = targets[i];
            try {
                m_tasks.push_back(std::async(std::launch::async, sendToTarget, std::cref(target), std::cref(m_datagrams)));
            } catch (const std::system_error&) {
                // No thread to spare: this target waits its turn.
                sendToTarget(target, m_datagrams);
            }
        }
        sendToTarget(targets[0], m_datagrams);
        for (auto& task : m_tasks) {
            task.get();
        }
        m_tasks.clear();
    }
    // A fresh package has reference count 0: refer it so that the release returns it.
    dataManager->referDataPkg(scratch);
    dataManager->putEmptyDataPkg(scratch);
    return built;
}

#include "core/transport/receiver.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include "core/transport/sender.h"
#include "memory/datacenter.h"
#include "utils/dds_common.h"
#include "utils/socket_utils.h"
#include "utils/spin_wait.h"

CDataReceiver::CDataReceiver(const std::string& topicName, CDataManager* dataManager)
    : m_pDataManager(dataManager), m_strTopicName(topicName)
{
    std::memset(&m_stTransParam, 0, sizeof(m_stTransParam));
}

CDataReceiver::CDataReceiver(CDataManager* dataManager) : CDataReceiver(std::string(), dataManager) {}

CDataReceiver::~CDataReceiver() = default;

CDataFifo* CDataReceiver::createDataFifo(int policy, int depth)
{
    return m_pDataManager != nullptr ? m_pDataManager->createDataFifo(policy, depth) : nullptr;
}

void CDataReceiver::destroyDataFifo(CDataFifo* fifo)
{
    if (m_pDataManager != nullptr && fifo != nullptr) {
        m_pDataManager->destroyDataFifo(fifo);
    }
}

void CDataReceiver::putEmptyDataPkg(DataPackage_t* pkg)
{
    if (m_pDataManager != nullptr && pkg != nullptr) {
        m_pDataManager->putEmptyDataPkg(pkg);
    }
}

int CDataReceiver::registerDataCallBack(std::function<int(int, DataPackage_t*)> callback)
{
    return m_pDataManager != nullptr ? m_pDataManager->registerCallBack(std::move(callback)) : -1;
}

void CDataReceiver::unregisterDataCallBack(int id)
{
    if (m_pDataManager != nullptr) {
        m_pDataManager->unregisterCallBack(id);
    }
}

void CDataReceiver::calculateFrameRate()
{
    m_frameRate.count(CFrameRate::nowMs());
}

void CDataReceiver::resetFrameRate()
{
    m_bBusy.store(false);
    m_frameRate.reset(CFrameRate::nowMs());
}

int CDataReceiver::readFps()
{
    return m_frameRate.read(m_bBusy.load());
}

bool CDataReceiver::stopRecvThread()
{
    if (!m_bRunning.load()) {
        return false;
    }
    m_bRunning.store(false);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    // After the join, so that no frame counted by the ending thread survives the reset.
    resetFrameRate();
    resetLostPkgCount();
    return true;
}

bool CDataReceiver::runDatagramLoop(int fd, const DatagramMedium_t& medium)
{
    CDatagramBatch batch(medium.m_batchSlots, static_cast<size_t>(medium.m_iSlotSize));
    if (!batch.valid()) {
        DDS_RED("[%s] Error: malloc failed! iBufSize: %d", m_strTopicName.c_str(), medium.m_iSlotSize);
        return false;
    }
    CDataManagerSink sink(m_pDataManager);
    CFragmentReassembler reassembler(medium.m_u32FragPayload, medium.m_eStyle, m_strTopicName, &sink,
                                     &m_u64LostPkgCount);
    int pauseUs = medium.m_iFirstPauseUs;
    while (m_bRunning.load()) {
        m_bBusy.store(false);
        const int got = batch.read(fd, 100, true);
        if (got == SOCK_RET_TIMEOUT || got == SOCK_RET_TRY_AGAIN) {
            continue; // nothing yet, or a signal cut the wait short: look again
        }
        if (got < 0) {
            DDS_RED_LIMITED("[%s] Error: iRet = %d", m_strTopicName.c_str(), got);
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
            pauseUs = medium.m_pfnNextPause(pauseUs);
            continue;
        }
        pauseUs = medium.m_iFirstPauseUs;
        for (int i = 0; i < got; ++i) {
            if (!medium.m_pfnKeep(m_strTopicName, batch.length(i))) {
                continue;
            }
            if (reassembler.onDatagram(batch.data(i), batch.length(i))) {
                m_bBusy.store(true);
                calculateFrameRate();
            }
        }
    }
    // A frame still being rebuilt goes back to the pool.
    reassembler.reset();
    return true;
}

DataPackage_t* CDataManagerSink::getFramePkg(int size)
{
    return m_pDataManager != nullptr ? m_pDataManager->getEmptyDataPkg(size, 100) : nullptr;
}

void CDataManagerSink::discardFramePkg(DataPackage_t* pkg)
{
    if (m_pDataManager != nullptr && pkg != nullptr) {
        // A fresh package has reference count 0: refer it so that the release returns it.
        m_pDataManager->referDataPkg(pkg);
        m_pDataManager->putEmptyDataPkg(pkg);
    }
}

void CDataManagerSink::publishFramePkg(DataPackage_t* pkg)
{
    if (m_pDataManager != nullptr) {
        m_pDataManager->putFullDataPkg(pkg, pkg->m_iLen);
    }
}

CFragmentReassembler::CFragmentReassembler(uint32_t fragPayload, ReassemblyStyle_e style, const std::string& topicName,
                                           IFramePkgSink* sink, std::atomic<uint64_t>* lostCounter)
    : m_u32FragPayload(fragPayload), m_eStyle(style), m_strTopicName(topicName), m_pSink(sink),
      m_pLostCounter(lostCounter)
{
}

CFragmentReassembler::~CFragmentReassembler()
{
    reset();
}

void CFragmentReassembler::reset()
{
    if (m_pPkg != nullptr && m_pSink != nullptr) {
        m_pSink->discardFramePkg(m_pPkg);
    }
    m_pPkg = nullptr;
    m_bLost = false;
    m_u32LastSeqNo = 0;
    m_u64LastTimestamp = 0;
    m_u32FrameTotalLen = 0;
    m_u32FramePktCount = 0;
    m_iFragCounter = 0;
}

bool CFragmentReassembler::isValidFragment(const DDSHeader_t& header, size_t len, uint32_t fragPayload)
{
    if (len < DDS_HEADER_SIZE || fragPayload == 0 ||
        std::memcmp(header.m_u8Magic, DDS_HEADER_MAGIC, sizeof(DDS_HEADER_MAGIC)) != 0 ||
        header.m_u8Type != MSG_TYPE_DATA) {
        return false;
    }
    const uint32_t dataLen = header.m_u32DataLen;
    const uint32_t totalLen = header.m_u32TotalLen;
    if (dataLen != len - DDS_HEADER_SIZE || dataLen > fragPayload || totalLen > DDS_MAX_FRAME_PAYLOAD) {
        return false;
    }
    const uint32_t count = fragmentCount(totalLen, fragPayload);
    const uint32_t seqNo = header.m_u32SeqNo;
    return header.m_u32PktCount == count && seqNo >= 1 && seqNo <= count &&
           header.m_u8Flag == fragmentFlag(seqNo, count) && dataLen == fragmentPayloadLen(seqNo, totalLen, fragPayload);
}

void CFragmentReassembler::countLost()
{
    if (m_pLostCounter != nullptr) {
        m_pLostCounter->fetch_add(1);
    }
}

bool CFragmentReassembler::onDatagram(const uint8_t* data, size_t len)
{
    if (data == nullptr || len <= DDS_HEADER_SIZE) {
        // A datagram needs payload: empty messages do not travel over sockets.
        const int recvLen = len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
        if (m_eStyle == REASSEMBLY_STYLE_UDP) {
            DDS_YELLOW_LIMITED("[%s] iRecvLen %d <= sizeof(DDSHeader_t) %ld", m_strTopicName.c_str(), recvLen,
                               static_cast<long>(DDS_HEADER_SIZE));
        } else {
            DDS_RED_LIMITED("[%s] Error: iRecvLen %d <= sizeof(DDSHeader_t) %ld", m_strTopicName.c_str(), recvLen,
                            static_cast<long>(DDS_HEADER_SIZE));
        }
        return false;
    }
    const DDSHeader_t header = readDdsHeader(data);
    if (header.m_u8Flag > PKT_FLAG_LAST) {
        if (m_eStyle == REASSEMBLY_STYLE_UDP) {
            DDS_YELLOW_LIMITED("[%s] Unsupported pkt type !!! m_u8Flag: %u", m_strTopicName.c_str(),
                               static_cast<unsigned>(header.m_u8Flag));
        } else {
            DDS_GREEN_LIMITED("[%s] Unsupported pkt type !!! m_u8Flag: %u", m_strTopicName.c_str(),
                              static_cast<unsigned>(header.m_u8Flag));
        }
        return false;
    }
    if (!isValidFragment(header, len, m_u32FragPayload)) {
        countLost();
        return false;
    }
    if (header.m_u8Flag == PKT_FLAG_FIRST) {
        return onFirst(header, data, len);
    }
    return onFollowing(header, data, len);
}

bool CFragmentReassembler::onFirst(const DDSHeader_t& header, const uint8_t* data, size_t len)
{
    if (m_eStyle == REASSEMBLY_STYLE_UDP && (m_pPkg != nullptr || m_iFragCounter > 0)) {
        ++m_u32LostFrameCount;
        DDS_YELLOW_LIMITED("[%s] Lost frame !!! Total lost frame count %u .", m_strTopicName.c_str(),
                           m_u32LostFrameCount);
    }
    // Valid fragments keep the frame within DDS_MAX_FRAME_PAYLOAD, so this fits an int.
    const int need = static_cast<int>(header.m_u32TotalLen + DDS_HEADER_SIZE);
    if (m_pPkg != nullptr && m_pPkg->m_iLen < need) {
        m_pSink->discardFramePkg(m_pPkg);
        m_pPkg = nullptr;
    }
    if (m_pPkg == nullptr && m_pSink != nullptr) {
        m_pPkg = m_pSink->getFramePkg(need);
    }
    m_u32LastSeqNo = header.m_u32SeqNo;
    m_u64LastTimestamp = header.m_u64TimeStamp;
    m_iFragCounter = 1;
    if (m_pPkg == nullptr || m_pPkg->m_iSize < need) {
        // No room for this frame: its further fragments count as lost.
        if (m_pPkg != nullptr) {
            m_pSink->discardFramePkg(m_pPkg);
            m_pPkg = nullptr;
        }
        m_bLost = true;
        return false;
    }
    m_pPkg->m_iLen = 0;
    std::memcpy(pkgData(m_pPkg), data, len);
    m_pPkg->m_iLen = static_cast<int>(len);
    m_u32FrameTotalLen = header.m_u32TotalLen;
    m_u32FramePktCount = header.m_u32PktCount;
    m_bLost = false;
    if (header.m_u32PktCount == 1) {
        return complete();
    }
    return false;
}

bool CFragmentReassembler::onFollowing(const DDSHeader_t& header, const uint8_t* data, size_t len)
{
    const size_t pieceLen = len - DDS_HEADER_SIZE;
    const bool outOfOrder = m_bLost || header.m_u32SeqNo != m_u32LastSeqNo + 1 ||
                            header.m_u64TimeStamp != m_u64LastTimestamp || m_pPkg == nullptr ||
                            header.m_u32TotalLen != m_u32FrameTotalLen || header.m_u32PktCount != m_u32FramePktCount ||
                            static_cast<size_t>(m_pPkg->m_iLen) + pieceLen > static_cast<size_t>(m_pPkg->m_iSize);
    if (outOfOrder) {
        if (m_eStyle == REASSEMBLY_STYLE_UNIX) {
            DDS_GREEN_LIMITED(
                "[%s] Lost pkt !!! m_u8Flag: %u, bLost:%d, u32LastSeqNo: %u, m_u32SeqNo: %u, u64LastTimestamp: "
                "%lu, m_u64TimeStamp: %lu",
                m_strTopicName.c_str(), static_cast<unsigned>(header.m_u8Flag), m_bLost ? 1 : 0, m_u32LastSeqNo,
                header.m_u32SeqNo, static_cast<unsigned long>(m_u64LastTimestamp),
                static_cast<unsigned long>(header.m_u64TimeStamp));
        }
        m_u32LastSeqNo = header.m_u32SeqNo;
        m_u64LastTimestamp = header.m_u64TimeStamp;
        m_bLost = true;
        ++m_iFragCounter;
        countLost();
        return false;
    }
    std::memcpy(pkgData(m_pPkg) + m_pPkg->m_iLen, data + DDS_HEADER_SIZE, pieceLen);
    m_pPkg->m_iLen += static_cast<int>(pieceLen);
    m_u32LastSeqNo = header.m_u32SeqNo;
    m_u64LastTimestamp = header.m_u64TimeStamp;
    ++m_iFragCounter;
    if (header.m_u8Flag == PKT_FLAG_LAST) {
        return complete();
    }
    return false;
}

bool CFragmentReassembler::complete()
{
    DataPackage_t* pkg = m_pPkg;
    m_pPkg = nullptr;
    m_u32LastSeqNo = 0;
    m_u64LastTimestamp = 0;
    m_u32FrameTotalLen = 0;
    m_u32FramePktCount = 0;
    m_bLost = false;
    m_iFragCounter = 0;
    if (m_pSink != nullptr) {
        m_pSink->publishFramePkg(pkg);
    }
    return true;
}

CDatagramBatch::CDatagramBatch(size_t slots, size_t slotSize) : m_iSlotSize(slotSize)
{
    try {
        m_vecBuffer.resize(slots * slotSize);
        m_vecIov.resize(slots);
        m_vecMsgs.resize(slots);
    } catch (const std::bad_alloc&) {
        m_vecBuffer.clear();
        m_vecIov.clear();
        m_vecMsgs.clear();
    }
}

int CDatagramBatch::readQueued(int fd)
{
    for (size_t i = 0; i < m_vecMsgs.size(); ++i) {
        m_vecIov[i].iov_base = m_vecBuffer.data() + i * m_iSlotSize;
        m_vecIov[i].iov_len = m_iSlotSize;
        m_vecMsgs[i].msg_hdr = msghdr{};
        m_vecMsgs[i].msg_hdr.msg_iov = &m_vecIov[i];
        m_vecMsgs[i].msg_hdr.msg_iovlen = 1;
        m_vecMsgs[i].msg_len = 0;
    }
    const int count =
        ::recvmmsg(fd, m_vecMsgs.data(), static_cast<unsigned int>(m_vecMsgs.size()), MSG_DONTWAIT, nullptr);
    if (count >= 0) {
        return count;
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        return 0;
    }
    if (err == EINTR) {
        return SOCK_RET_TRY_AGAIN;
    }
    return err == ECONNRESET ? SOCK_RET_DISCONNECTED : SOCK_RET_ERROR;
}

int CDatagramBatch::read(int fd, int timeoutMs, bool lookFirst)
{
    if (!valid()) {
        return SOCK_RET_FAIL;
    }
    int count = readQueued(fd);
    if (count != 0) {
        return count;
    }
    if (lookFirst) {
        // A datagram usually follows soon after the last one: looking again spares the thread
        // the sleep in poll and its wake-up.
        spinUntil([&] { return (count = readQueued(fd)) != 0; }, SPIN_WAIT_US, SPIN_PEER_OTHER_PROCESS);
        if (count != 0) {
            return count;
        }
    }
    pollfd entry{};
    entry.fd = fd;
    entry.events = POLLIN;
    const int ready = ::poll(&entry, 1, timeoutMs);
    if (ready < 0) {
        const int err = errno;
        return (err == EAGAIN || err == EINTR) ? SOCK_RET_TRY_AGAIN : SOCK_RET_ERROR;
    }
    if (ready == 0) {
        return SOCK_RET_TIMEOUT;
    }
    if ((entry.revents & POLLIN) == 0) {
        return SOCK_RET_FAIL;
    }
    count = readQueued(fd);
    return count == 0 ? SOCK_RET_TIMEOUT : count;
}

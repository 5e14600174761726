#include "core/transport/datagram/fragment_reassembler.h"

#include <climits>
#include <cstring>

#include "core/transport/datagram/fragment_layout.h"
#include "memory/datacenter.h"
#include "utils/dds_common.h"

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
            DDS_YELLOW_LIMITED_BY(m_strTopicName, "[%s] iRecvLen %d <= sizeof(DDSHeader_t) %ld", m_strTopicName.c_str(),
                                  recvLen, static_cast<long>(DDS_HEADER_SIZE));
        } else {
            DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: iRecvLen %d <= sizeof(DDSHeader_t) %ld",
                               m_strTopicName.c_str(), recvLen, static_cast<long>(DDS_HEADER_SIZE));
        }
        return false;
    }
    const DDSHeader_t header = readDdsHeader(data);
    if (header.m_u8Flag > PKT_FLAG_LAST) {
        if (m_eStyle == REASSEMBLY_STYLE_UDP) {
            DDS_YELLOW_LIMITED_BY(m_strTopicName, "[%s] Unsupported pkt type !!! m_u8Flag: %u", m_strTopicName.c_str(),
                                  static_cast<unsigned>(header.m_u8Flag));
        } else {
            DDS_GREEN_LIMITED_BY(m_strTopicName, "[%s] Unsupported pkt type !!! m_u8Flag: %u", m_strTopicName.c_str(),
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
        DDS_YELLOW_LIMITED_BY(m_strTopicName, "[%s] Lost frame !!! Total lost frame count %u .", m_strTopicName.c_str(),
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
            DDS_GREEN_LIMITED_BY(
                m_strTopicName,
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

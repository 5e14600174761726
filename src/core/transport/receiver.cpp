#include "core/transport/receiver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "core/transport/datagram_batch.h"
#include "memory/datacenter.h"
#include "utils/dds_common.h"
#include "utils/socket_utils.h"

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
    if (medium.m_groSlots > 0) {
        batch.enableGro(fd, medium.m_groSlots, static_cast<size_t>(medium.m_iGroSlotSize));
    }
    CDataManagerSink sink(m_pDataManager);
    CFragmentReassembler reassembler(medium.m_u32FragPayload, medium.m_eStyle, m_strTopicName, &sink,
                                     &m_u64LostPkgCount);
    int pauseUs = medium.m_iFirstPauseUs;
    while (m_bRunning.load()) {
        m_bBusy.store(false);
        const int got = batch.read(fd, 100, true);
        if (got == SOCK_RET_TIMEOUT) {
            continue;
        }
        if (got < 0) {
            DDS_RED("[%s] Error: iRet = %d", m_strTopicName.c_str(), got);
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
            pauseUs = medium.m_pfnNextPause(pauseUs);
            continue;
        }
        pauseUs = medium.m_iFirstPauseUs;
        for (int i = 0; i < got; ++i) {
            // A coalesced buffer is cut back into its datagrams, each checked on its own.
            const size_t len = batch.length(i);
            const size_t segment = batch.segmentSize(i);
            const size_t step = segment == 0 || segment >= len ? std::max<size_t>(len, 1) : segment;
            for (size_t offset = 0; offset < std::max<size_t>(len, 1); offset += step) {
                const size_t piece = std::min(step, len - offset);
                if (!medium.m_pfnKeep(m_strTopicName, piece)) {
                    continue;
                }
                if (reassembler.onDatagram(batch.data(i) + offset, piece)) {
                    m_bBusy.store(true);
                    calculateFrameRate();
                }
            }
        }
    }
    // A frame still being rebuilt goes back to the pool.
    reassembler.reset();
    return true;
}

#include "core/transport/datagram/datagram_receiver.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "core/transport/datagram/datagram_batch.h"
#include "utils/dds_common.h"
#include "utils/socket_utils.h"
#include "utils/thread_utils.h"

CDatagramReceiver::CDatagramReceiver(const std::string& topicName, CDataManager* dataManager,
                                     const DatagramReceiverMedium_t& medium)
    : CDataReceiver(topicName, dataManager), m_medium(medium)
{
}

bool CDatagramReceiver::init(TransParam_t& param)
{
    std::lock_guard<std::mutex> lock(m_mutexState);
    if (m_bRunning.load() || param.m_iType != m_medium.m_iType) {
        return false;
    }
    if (openChannel(param) != 0) {
        return false;
    }
    m_stTransParam = param;
    m_bRunning.store(true);
    if (!m_thread.start(&CDatagramReceiver::recvTask, this)) {
        m_bRunning.store(false);
        closeChannel();
        return false;
    }
    if (m_medium.m_iPriority > 0) {
        // Where the system allows it; the medium works the same without.
        CThreadUtils::setPolicyAndPriority(m_thread.handle(), CThreadUtils::SCHED_POLICY_FIFO, m_medium.m_iPriority);
    }
    return true;
}

void CDatagramReceiver::deinit()
{
    std::lock_guard<std::mutex> lock(m_mutexState);
    if (stopRecvThread()) {
        closeChannel();
    }
}

void CDatagramReceiver::holdSocket(CUniqueFd fd)
{
    m_iFd.store(fd.get());
    m_fd = std::move(fd);
}

void CDatagramReceiver::closeSocket()
{
    m_iFd.store(-1);
    m_fd.reset();
}

int CDatagramReceiver::getFps()
{
    if (!m_bRunning.load() || m_iFd.load() < 0) {
        return -1;
    }
    return readFps();
}

void CDatagramReceiver::recvTask()
{
    if (receive(m_iFd.load())) {
        logExit();
    }
}

bool CDatagramReceiver::receive(int fd)
{
    CDatagramBatch batch(m_medium.m_batchSlots, static_cast<size_t>(m_medium.m_iSlotSize));
    if (!batch.valid()) {
        DDS_RED("[%s] Error: malloc failed! iBufSize: %d", m_strTopicName.c_str(), m_medium.m_iSlotSize);
        return false;
    }
    if (m_medium.m_groSlots > 0) {
        batch.enableGro(fd, m_medium.m_groSlots, static_cast<size_t>(m_medium.m_iGroSlotSize));
    }
    CDataManagerSink sink(m_pDataManager);
    CFragmentReassembler reassembler(m_medium.m_u32FragPayload, m_medium.m_eStyle, m_strTopicName, &sink,
                                     &m_u64LostPkgCount);
    int pauseUs = m_medium.m_iFirstPauseUs;
    while (m_bRunning.load()) {
        m_bBusy.store(false);
        const int got = batch.read(fd, 100);
        if (got == SOCK_RET_TIMEOUT || got == SOCK_RET_TRY_AGAIN) {
            continue; // nothing yet, or a signal cut the wait short: look again
        }
        if (got < 0) {
            DDS_RED_LIMITED_BY(m_strTopicName, "[%s] Error: iRet = %d", m_strTopicName.c_str(), got);
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
            pauseUs = pauseAfter(pauseUs);
            continue;
        }
        pauseUs = m_medium.m_iFirstPauseUs;
        for (int i = 0; i < got; ++i) {
            // A coalesced buffer is cut back into its datagrams, each checked on its own.
            const size_t len = batch.length(i);
            const size_t segment = batch.segmentSize(i);
            const size_t step = segment == 0 || segment >= len ? std::max<size_t>(len, 1) : segment;
            for (size_t offset = 0; offset < std::max<size_t>(len, 1); offset += step) {
                const size_t piece = std::min(step, len - offset);
                if (!keepDatagram(piece)) {
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

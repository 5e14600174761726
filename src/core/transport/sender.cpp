#include "core/transport/sender.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <system_error>

#include "memory/datacenter.h"
#include "memory/datafifo.h"
#include "utils/socket_utils.h"
#include "utils/spin_wait.h"
#include "utils/thread_utils.h"

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

int CDataSender::readFps(int connections)
{
    return connections == 0 ? -1 : readFps();
}

void CDataSender::countSent()
{
    m_bSent.store(true);
    calculateFrameRate();
}

bool CDataSender::startSending(int priority)
{
    std::lock_guard<std::mutex> lock(m_mutexSendState);
    if (m_bRunning.load()) {
        return false;
    }
    if (m_pDataManager != nullptr) {
        m_pSendFifo = m_pDataManager->createDataFifo(FIFO_POLICY_DROP_OLDEST, 8);
    }
    m_bRunning.store(true);
    try {
        m_thread = std::thread(&CDataSender::sendTask, this);
    } catch (const std::system_error&) {
        m_bRunning.store(false);
        if (m_pSendFifo != nullptr) {
            m_pDataManager->destroyDataFifo(m_pSendFifo);
            m_pSendFifo = nullptr;
        }
        return false;
    }
    if (priority > 0) {
        // Where the system allows it; the medium works the same without.
        CThreadUtils::setPolicyAndPriority(m_thread, CThreadUtils::SCHED_POLICY_FIFO, priority);
    }
    return true;
}

void CDataSender::stopSending()
{
    std::lock_guard<std::mutex> lock(m_mutexSendState);
    if (!m_bRunning.load()) {
        return;
    }
    m_bRunning.store(false);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_pSendFifo != nullptr) {
        m_pDataManager->destroyDataFifo(m_pSendFifo);
        m_pSendFifo = nullptr;
    }
    stopped();
}

bool CDataSender::sendPackage(unsigned char*, int)
{
    return false;
}

void CDataSender::sendLoop()
{
    CDataFifo* fifo = m_pSendFifo;
    if (fifo == nullptr) {
        return; // no data manager: nothing will ever be published to this sender
    }
    while (m_bRunning.load()) {
        m_bSent.store(false);
        DataPackage_t* pkg = fifo->getDataPackage(100);
        if (pkg == nullptr) {
            continue;
        }
        // The length this process fixed when it published, within the chunk's capacity.
        if (sendPackage(pkgData(pkg), m_pDataManager->getDataPkgLen(pkg))) {
            countSent();
        }
        fifo->releaseDataPackage(pkg);
    }
}

CSendWorkers::~CSendWorkers()
{
    stop();
}

void CSendWorkers::stop()
{
    for (auto& worker : m_workers) {
        {
            std::lock_guard<std::mutex> lock(worker->m_mutex);
            worker->m_bQuit = true;
        }
        worker->m_cv.notify_one();
    }
    for (auto& worker : m_workers) {
        if (worker->m_thread.joinable()) {
            worker->m_thread.join();
        }
    }
    m_workers.clear();
}

void CSendWorkers::finishOne()
{
    if (m_remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        // Taken before the notify, so a caller that found work left is already waiting.
        std::lock_guard<std::mutex> lock(m_mutexDone);
        m_cvDone.notify_one();
    }
}

void CSendWorkers::workerLoop(Worker_t* worker, size_t index)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(worker->m_mutex);
            worker->m_cv.wait(lock, [worker] { return worker->m_bPending || worker->m_bQuit; });
            if (!worker->m_bPending) {
                return; // quit, with no round of its own in flight
            }
            worker->m_bPending = false;
        }
        m_pfnJob(m_pContext, index);
        finishOne();
    }
}

void CSendWorkers::run(size_t count, Job_t job, void* context)
{
    if (count == 0) {
        return;
    }
    size_t helped = count - 1;
    while (m_workers.size() < helped) {
        auto worker = std::make_unique<Worker_t>();
        Worker_t* raw = worker.get();
        const size_t index = m_workers.size() + 1;
        try {
            worker->m_thread = std::thread(&CSendWorkers::workerLoop, this, raw, index);
        } catch (const std::system_error&) {
            break; // no thread to spare: the rest run here in turn
        }
        m_workers.push_back(std::move(worker));
    }
    helped = std::min(helped, m_workers.size());
    m_pfnJob = job;
    m_pContext = context;
    m_remaining.store(helped, std::memory_order_release);
    for (size_t i = 0; i < helped; ++i) {
        Worker_t& worker = *m_workers[i];
        {
            std::lock_guard<std::mutex> lock(worker.m_mutex);
            worker.m_bPending = true;
        }
        worker.m_cv.notify_one();
    }
    job(context, 0);
    for (size_t i = helped + 1; i < count; ++i) {
        job(context, i);
    }
    if (helped == 0) {
        return;
    }
    // The others usually finish about when this one does: a short look saves a sleep and a wake
    // (none on a real-time thread, see spinUntil).
    spinUntil([this] { return m_remaining.load(std::memory_order_acquire) == 0; });
    std::unique_lock<std::mutex> lock(m_mutexDone);
    m_cvDone.wait(lock, [this] { return m_remaining.load(std::memory_order_acquire) == 0; });
}

void closeConnSocket(int fd)
{
    CSocketUtils::closeSocket(fd);
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

void writeFragmentHeader(uint8_t* to, const DDSHeader_t& source, uint32_t seqNo, uint32_t payload, uint32_t fragPayload)
{
    const uint32_t count = fragmentCount(payload, fragPayload);
    DDSHeader_t header = makeDdsHeader(fragmentFlag(seqNo, count), source.m_u8Type);
    header.m_u32SeqNo = seqNo;
    header.m_u64TimeStamp = source.m_u64TimeStamp;
    header.m_u32DataLen = fragmentPayloadLen(seqNo, payload, fragPayload);
    header.m_u32TotalLen = payload;
    header.m_u32PktCount = count;
    writeDdsHeader(to, header);
}

uint32_t writeFragment(uint8_t* to, const DDSHeader_t& source, const uint8_t* from, uint32_t seqNo, uint32_t payload,
                       uint32_t fragPayload)
{
    writeFragmentHeader(to, source, seqNo, payload, fragPayload);
    const uint32_t pieceLen = fragmentPayloadLen(seqNo, payload, fragPayload);
    std::memcpy(to + DDS_HEADER_SIZE, from, pieceLen);
    return pieceLen;
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
        const uint32_t pieceLen = writeFragment(to, source, from, seqNo, payload, fragPayload);
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

// The same for a gathered fragment.
bool sendOne(int fd, const sockaddr* address, int addressLen, const GatheredFragment_t& fragment, int flags, int* err)
{
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr*>(address);
    msg.msg_namelen = static_cast<socklen_t>(addressLen);
    msg.msg_iov = const_cast<iovec*>(fragment.m_iov);
    msg.msg_iovlen = 2;
    const ssize_t whole = static_cast<ssize_t>(fragment.m_iov[0].iov_len + fragment.m_iov[1].iov_len);
    ssize_t result;
    do {
        result = ::sendmsg(fd, &msg, flags | MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    *err = result < 0 ? errno : 0;
    return result == whole;
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

int sendToTarget(const DatagramTarget_t& target, const GatheredList_t& fragments)
{
    // The stall rule above, with up to GATHER_BATCH datagrams per system call.
    constexpr size_t GATHER_BATCH = 64;
    int err = 0;
    size_t sent = 0;
    auto failed = [&target, &err] {
        if (target.m_pStalled != nullptr && (err == EAGAIN || err == EWOULDBLOCK)) {
            *target.m_pStalled = true;
        }
    };
    if (target.m_pStalled != nullptr && *target.m_pStalled && !fragments.empty()) {
        if (!sendOne(target.m_iFd, target.m_pAddr, target.m_iAddrLen, fragments[0], MSG_DONTWAIT, &err)) {
            return 0; // still no room: this frame is lost for this reader only
        }
        sent = 1;
    }
    mmsghdr batch[GATHER_BATCH];
    while (sent < fragments.size()) {
        const size_t count = std::min(GATHER_BATCH, fragments.size() - sent);
        for (size_t i = 0; i < count; ++i) {
            msghdr& msg = batch[i].msg_hdr;
            msg = msghdr{};
            msg.msg_name = const_cast<sockaddr*>(target.m_pAddr);
            msg.msg_namelen = static_cast<socklen_t>(target.m_iAddrLen);
            msg.msg_iov = const_cast<iovec*>(fragments[sent + i].m_iov);
            msg.msg_iovlen = 2;
            batch[i].msg_len = 0;
        }
        int done;
        do {
            done = ::sendmmsg(target.m_iFd, batch, static_cast<unsigned int>(count), MSG_NOSIGNAL);
        } while (done < 0 && errno == EINTR);
        if (done < 0) {
            err = errno;
            failed();
            return static_cast<int>(sent);
        }
        for (int i = 0; i < done; ++i) {
            const iovec* iov = fragments[sent].m_iov;
            if (batch[i].msg_len != iov[0].iov_len + iov[1].iov_len) {
                return static_cast<int>(sent); // not out whole: the frame is useless to the reader
            }
            ++sent;
        }
        if (static_cast<size_t>(done) < count) {
            // The next one failed after its send bound and its error was not reported: one try
            // without waiting tells whether the reader still has no room.
            if (!sendOne(target.m_iFd, target.m_pAddr, target.m_iAddrLen, fragments[sent], MSG_DONTWAIT, &err)) {
                failed();
                return static_cast<int>(sent);
            }
            ++sent;
        }
    }
    if (target.m_pStalled != nullptr) {
        *target.m_pStalled = false;
    }
    return static_cast<int>(sent);
}

bool gatherFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, std::vector<uint8_t>& headers,
                     GatheredList_t& out)
{
    out.clear();
    if (pkg == nullptr || len < DDS_HEADER_SIZE || fragPayload == 0 || len - DDS_HEADER_SIZE > DDS_MAX_FRAME_PAYLOAD) {
        return false;
    }
    const uint32_t payload = static_cast<uint32_t>(len - DDS_HEADER_SIZE);
    const uint32_t count = fragmentCount(payload, fragPayload);
    try {
        if (headers.size() < static_cast<size_t>(count) * DDS_HEADER_SIZE) {
            headers.resize(static_cast<size_t>(count) * DDS_HEADER_SIZE);
        }
        out.resize(count);
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
    const DDSHeader_t source = readDdsHeader(pkg);
    const uint8_t* from = pkg + DDS_HEADER_SIZE;
    for (uint32_t seqNo = 1; seqNo <= count; ++seqNo) {
        uint8_t* header = headers.data() + static_cast<size_t>(seqNo - 1) * DDS_HEADER_SIZE;
        const uint32_t pieceLen = fragmentPayloadLen(seqNo, payload, fragPayload);
        writeFragmentHeader(header, source, seqNo, payload, fragPayload);
        GatheredFragment_t& fragment = out[seqNo - 1];
        fragment.m_iov[0].iov_base = header;
        fragment.m_iov[0].iov_len = DDS_HEADER_SIZE;
        fragment.m_iov[1].iov_base = const_cast<uint8_t*>(from);
        fragment.m_iov[1].iov_len = pieceLen;
        from += pieceLen;
    }
    return true;
}

bool CDatagramFanout::send(std::vector<uint8_t>& scratch, const uint8_t* pkg, int len,
                           const std::vector<DatagramTarget_t>& targets)
{
    if (pkg == nullptr || targets.empty() || len < static_cast<int>(DDS_HEADER_SIZE) ||
        !gatherFragments(pkg, static_cast<size_t>(len), m_u32FragPayload, scratch, m_gathered)) {
        return false;
    }
    auto job = [&targets, this](size_t index) { sendToTarget(targets[index], m_gathered); };
    m_workers.run(targets.size(), job);
    return true;
}

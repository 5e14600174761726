#include "core/transport/sender.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>

#include <netinet/in.h>
#include <netinet/udp.h>

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
        m_pSendFifo = m_pDataManager->createDataFifo(FIFO_POLICY_DROP_OLDEST, SEND_FIFO_DEPTH);
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

void CDataSender::sendPackages(size_t count, unsigned char* const* data, const int* length, bool* sent)
{
    for (size_t i = 0; i < count; ++i) {
        sent[i] = sendPackage(data[i], length[i]);
    }
}

void CDataSender::sendLoop()
{
    CDataFifo* fifo = m_pSendFifo;
    if (fifo == nullptr) {
        return; // no data manager: nothing will ever be published to this sender
    }
    DataPackage_t* pkgs[SEND_FIFO_DEPTH];
    unsigned char* data[SEND_FIFO_DEPTH];
    int length[SEND_FIFO_DEPTH];
    bool sent[SEND_FIFO_DEPTH];
    while (m_bRunning.load()) {
        m_bSent.store(false);
        DataPackage_t* pkg = fifo->getDataPackage(100);
        if (pkg == nullptr) {
            continue;
        }
        // Whatever queued up meanwhile goes in the same pass, so its datagrams share system calls.
        size_t count = 0;
        while (pkg != nullptr) {
            pkgs[count] = pkg;
            data[count] = pkgData(pkg);
            // The length this process fixed when it published, within the chunk's capacity.
            length[count] = m_pDataManager->getDataPkgLen(pkg);
            sent[count] = false;
            ++count;
            pkg = count < SEND_FIFO_DEPTH ? fifo->getDataPackage(0) : nullptr;
        }
        sendPackages(count, data, length, sent);
        for (size_t i = 0; i < count; ++i) {
            if (sent[i]) {
                countSent();
            }
            fifo->releaseDataPackage(pkgs[i]);
        }
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
bool sendOne(int fd, const sockaddr* address, int addressLen, const std::pair<unsigned char*, int>& datagram, int flags,
             int* err)
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

namespace {

// Messages one sendmmsg takes (the kernel takes up to 1024), and the iovecs the segmented ones of
// a call may use between them.
constexpr size_t SEND_BATCH = 512;
constexpr size_t SEND_BATCH_IOVS = 1024;
// What one segmented send may carry: the kernel's segment limit, and one UDP datagram's payload.
constexpr size_t SEGMENTS_PER_SEND = 64;
constexpr size_t SEGMENTED_SEND_BYTES = 65507;

size_t fragmentBytes(const GatheredFragment_t& fragment)
{
    return fragment.m_iov[0].iov_len + fragment.m_iov[1].iov_len;
}

// Where the sending to one target stands in its list of gathered frames.
class CFrameCursor {
public:
    explicit CFrameCursor(const GatheredList_t& fragments) : m_fragments(fragments) {}

    bool done() const { return m_next >= m_fragments.size(); }
    bool atFrameStart() const { return m_bFrameStart; }
    size_t position() const { return m_next; }
    const GatheredFragment_t& at(size_t index) const { return m_fragments[index]; }
    size_t left() const { return m_fragments.size() - m_next; }

    // The datagrams from `from` that one send may carry: 1, or with `segmented` a run of the same
    // frame whose datagrams all have the first one's length, but for a shorter last one.
    size_t runFrom(size_t from, bool segmented) const
    {
        const size_t segment = fragmentBytes(m_fragments[from]);
        if (!segmented || segment == 0) {
            return 1;
        }
        const size_t limit = std::min<size_t>({SEGMENTS_PER_SEND, SEGMENTED_SEND_BYTES / segment,
                                               m_fragments[from].m_u32FrameLeft, m_fragments.size() - from});
        size_t count = 1;
        while (count < limit) {
            const size_t bytes = fragmentBytes(m_fragments[from + count]);
            if (bytes > segment) {
                break;
            }
            ++count;
            if (bytes < segment) {
                break; // a shorter one ends a segmented send
            }
        }
        return count;
    }
    // `count` datagrams from the cursor went out; true when the last of them ended its frame.
    bool sent(size_t count)
    {
        m_next += count;
        m_bFrameStart = m_fragments[m_next - 1].m_u32FrameLeft <= 1;
        return m_bFrameStart;
    }
    // The datagram at the cursor did not go out whole: the rest of its frame is useless to the
    // reader.
    void dropFrame()
    {
        m_next += std::max<uint32_t>(m_fragments[m_next].m_u32FrameLeft, 1);
        m_bFrameStart = true;
    }

private:
    const GatheredList_t& m_fragments;
    size_t m_next{0};
    bool m_bFrameStart{true};
};

// The control buffer of one segmented send.
union SegmentControl_u {
    char m_buf[CMSG_SPACE(sizeof(uint16_t))];
    cmsghdr m_align;
};

// Sends one target's frames, batch by batch, under the stall, segmentation and connection rules
// of DatagramTarget_t.
class CTargetSend {
public:
    CTargetSend(const DatagramTarget_t& target, const GatheredList_t& fragments) : m_target(target), m_cursor(fragments)
    {
    }

    int run()
    {
        while (!m_cursor.done()) {
            if (m_cursor.atFrameStart() && !connect()) {
                m_cursor.dropFrame();
                continue;
            }
            // A stalled reader's frame: its first send is tried without waiting, and the frame is
            // lost for this reader only while it still has no room; the rest follows as usual.
            if (m_cursor.atFrameStart() && stalled()) {
                tryAlone();
                continue;
            }
            const size_t messages = build();
            int done;
            do {
                done = ::sendmmsg(m_target.m_iFd, m_msgs, static_cast<unsigned int>(messages), MSG_NOSIGNAL);
            } while (done < 0 && errno == EINTR);
            if (done < 0) {
                failed(errno, m_runs[0]);
                continue;
            }
            if (!wentOut(static_cast<size_t>(done))) {
                continue;
            }
            if (static_cast<size_t>(done) < messages) {
                // The next one failed after its send bound and its error was not reported: one
                // try without waiting tells why.
                tryAlone();
            }
        }
        return m_iSent;
    }

private:
    bool stalled() const { return m_target.m_pStalled != nullptr && *m_target.m_pStalled; }
    bool segmented() const { return m_target.m_pSegment != nullptr && *m_target.m_pSegment; }
    bool connected() const { return m_target.m_pConnected != nullptr && *m_target.m_pConnected; }

    // A connecting medium's socket is connected before a frame goes out; false (the frame is lost
    // for this reader, as an unconnected send to nobody would lose it) when that is refused.
    bool connect()
    {
        if (m_target.m_pConnected == nullptr || *m_target.m_pConnected) {
            return true;
        }
        int result;
        do {
            result = ::connect(m_target.m_iFd, m_target.m_pAddr, static_cast<socklen_t>(m_target.m_iAddrLen));
        } while (result < 0 && errno == EINTR);
        *m_target.m_pConnected = result == 0;
        return result == 0;
    }

    // Fills the message of the `count` datagrams from `from`; false when their iovecs do not fit.
    bool fill(mmsghdr& entry, SegmentControl_u& control, size_t from, size_t count)
    {
        msghdr& msg = entry.msg_hdr;
        msg = msghdr{};
        entry.msg_len = 0;
        if (!connected()) {
            msg.msg_name = const_cast<sockaddr*>(m_target.m_pAddr);
            msg.msg_namelen = static_cast<socklen_t>(m_target.m_iAddrLen);
        }
        if (count == 1) {
            msg.msg_iov = const_cast<iovec*>(m_cursor.at(from).m_iov);
            msg.msg_iovlen = 2;
            return true;
        }
        if (m_iovsUsed + 2 * count > SEND_BATCH_IOVS) {
            return false;
        }
        iovec* iov = m_iovs + m_iovsUsed;
        for (size_t i = 0; i < count; ++i) {
            iov[2 * i] = m_cursor.at(from + i).m_iov[0];
            iov[2 * i + 1] = m_cursor.at(from + i).m_iov[1];
        }
        m_iovsUsed += 2 * count;
        msg.msg_iov = iov;
        msg.msg_iovlen = 2 * count;
        msg.msg_control = control.m_buf;
        msg.msg_controllen = sizeof(control.m_buf);
        cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
        cmsg->cmsg_level = SOL_UDP;
        cmsg->cmsg_type = UDP_SEGMENT;
        cmsg->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const uint16_t segment = static_cast<uint16_t>(fragmentBytes(m_cursor.at(from)));
        std::memcpy(CMSG_DATA(cmsg), &segment, sizeof(segment));
        return true;
    }

    // Lays out the next batch from the cursor, across frames; the number of messages.
    size_t build()
    {
        m_iovsUsed = 0;
        size_t messages = 0;
        size_t from = m_cursor.position();
        const size_t end = from + m_cursor.left();
        while (from < end && messages < SEND_BATCH) {
            const size_t count = m_cursor.runFrom(from, segmented());
            if (!fill(m_msgs[messages], m_controls[messages], from, count)) {
                break;
            }
            m_runs[messages] = count;
            ++messages;
            from += count;
        }
        return messages;
    }

    // The first `done` messages of the batch were sent: false when one of them did not go out
    // whole (its frame is then dropped).
    bool wentOut(size_t done)
    {
        for (size_t i = 0; i < done; ++i) {
            size_t bytes = 0;
            for (size_t k = 0; k < m_runs[i]; ++k) {
                bytes += fragmentBytes(m_cursor.at(m_cursor.position() + k));
            }
            if (m_msgs[i].msg_len != bytes) {
                m_cursor.dropFrame();
                return false;
            }
            m_iSent += static_cast<int>(m_runs[i]);
            if (m_cursor.sent(m_runs[i]) && m_target.m_pStalled != nullptr) {
                *m_target.m_pStalled = false; // a frame went out whole
            }
        }
        return true;
    }

    // One send from the cursor without waiting.
    void tryAlone()
    {
        m_iovsUsed = 0;
        const size_t count = m_cursor.runFrom(m_cursor.position(), segmented());
        fill(m_msgs[0], m_controls[0], m_cursor.position(), count);
        m_runs[0] = count;
        ssize_t result;
        do {
            result = ::sendmsg(m_target.m_iFd, &m_msgs[0].msg_hdr, MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (result < 0 && errno == EINTR);
        if (result < 0) {
            failed(errno, count);
            return;
        }
        m_msgs[0].msg_len = static_cast<unsigned int>(result);
        wentOut(1);
    }

    // The send at the cursor (`count` datagrams) failed with `err`.
    void failed(int err, size_t count)
    {
        if (count > 1 && (err == EIO || err == EINVAL || err == EMSGSIZE || err == EOPNOTSUPP)) {
            // The kernel does not segment for this path: this run and all later ones go one by one.
            *m_target.m_pSegment = false;
            return;
        }
        if (m_target.m_pStalled != nullptr && (err == EAGAIN || err == EWOULDBLOCK)) {
            *m_target.m_pStalled = true;
        }
        if (m_target.m_pConnected != nullptr && (err == ECONNREFUSED || err == ENOTCONN || err == ENOENT)) {
            *m_target.m_pConnected = false; // the peer went: connect again at the next frame
        }
        m_cursor.dropFrame();
    }

    const DatagramTarget_t& m_target;
    CFrameCursor m_cursor;
    int m_iSent{0};
    size_t m_iovsUsed{0};
    mmsghdr m_msgs[SEND_BATCH];
    size_t m_runs[SEND_BATCH];
    SegmentControl_u m_controls[SEND_BATCH];
    iovec m_iovs[SEND_BATCH_IOVS];
};

} // namespace

int sendToTarget(const DatagramTarget_t& target, const GatheredList_t& fragments)
{
    CTargetSend send(target, fragments); // about 64 KB of stack
    return send.run();
}

bool gatherFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, std::vector<uint8_t>& headers,
                     GatheredList_t& out)
{
    out.clear();
    return appendFragments(pkg, len, fragPayload, headers, out);
}

bool appendFragments(const uint8_t* pkg, size_t len, uint32_t fragPayload, std::vector<uint8_t>& headers,
                     GatheredList_t& out)
{
    if (pkg == nullptr || len < DDS_HEADER_SIZE || fragPayload == 0 || len - DDS_HEADER_SIZE > DDS_MAX_FRAME_PAYLOAD) {
        return false;
    }
    const uint32_t payload = static_cast<uint32_t>(len - DDS_HEADER_SIZE);
    const uint32_t count = fragmentCount(payload, fragPayload);
    const size_t first = out.size();
    const uint8_t* before = headers.data();
    try {
        if (headers.size() < (first + count) * DDS_HEADER_SIZE) {
            headers.resize((first + count) * DDS_HEADER_SIZE);
        }
        out.resize(first + count);
    } catch (const std::bad_alloc&) {
        out.resize(first);
        return false;
    }
    if (headers.data() != before) {
        // The headers moved: the frames already listed follow them.
        for (size_t i = 0; i < first; ++i) {
            out[i].m_iov[0].iov_base = headers.data() + i * DDS_HEADER_SIZE;
        }
    }
    const DDSHeader_t source = readDdsHeader(pkg);
    const uint8_t* from = pkg + DDS_HEADER_SIZE;
    for (uint32_t seqNo = 1; seqNo <= count; ++seqNo) {
        const size_t index = first + seqNo - 1;
        uint8_t* header = headers.data() + index * DDS_HEADER_SIZE;
        const uint32_t pieceLen = fragmentPayloadLen(seqNo, payload, fragPayload);
        writeFragmentHeader(header, source, seqNo, payload, fragPayload);
        GatheredFragment_t& fragment = out[index];
        fragment.m_iov[0].iov_base = header;
        fragment.m_iov[0].iov_len = DDS_HEADER_SIZE;
        fragment.m_iov[1].iov_base = const_cast<uint8_t*>(from);
        fragment.m_iov[1].iov_len = pieceLen;
        fragment.m_u32FrameLeft = count - seqNo + 1;
        from += pieceLen;
    }
    return true;
}

bool CDatagramFanout::send(std::vector<uint8_t>& scratch, const uint8_t* pkg, int len,
                           const std::vector<DatagramTarget_t>& targets)
{
    bool built = false;
    return send(scratch, 1, &pkg, &len, targets, &built) == 1;
}

size_t CDatagramFanout::send(std::vector<uint8_t>& scratch, size_t count, const uint8_t* const* pkgs, const int* lens,
                             const std::vector<DatagramTarget_t>& targets, bool* built)
{
    m_gathered.clear();
    size_t cut = 0;
    for (size_t i = 0; i < count; ++i) {
        built[i] = !targets.empty() && pkgs[i] != nullptr && lens[i] >= static_cast<int>(DDS_HEADER_SIZE) &&
                   appendFragments(pkgs[i], static_cast<size_t>(lens[i]), m_u32FragPayload, scratch, m_gathered);
        cut += built[i] ? 1 : 0;
    }
    if (cut == 0) {
        return 0;
    }
    auto job = [&targets, this](size_t index) { sendToTarget(targets[index], m_gathered); };
    m_workers.run(targets.size(), job);
    return cut;
}

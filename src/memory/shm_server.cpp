#include "memory/shm_server.h"

#include <algorithm>
#include <chrono>

#include "memory/datacenter.h"
#include "memory/datafifo.h"
#include "memory/shm_layout.h"
#include "memory/shm_mem_pool.h"
#include "utils/dds_common.h"

namespace {

constexpr int SEND_FIFO_POLICY = FIFO_POLICY_DROP_OLDEST;
constexpr int SEND_FIFO_DEPTH = 8;
constexpr int SEND_WAIT_MS = 100;
// A reader's queue thread takes a number within microseconds of its post: numbers wait this long
// for a ring that takes nothing before that reader misses them.
constexpr auto FULL_RING_WAIT = std::chrono::milliseconds(50);

// The same groups, as the server is told and as the pool has them.
bool sameLayout(const MemPoolLayout_t& a, const MemPoolLayout_t& b)
{
    if (a.m_iGroupCount != b.m_iGroupCount || a.m_iGroupCount < 0 || a.m_iGroupCount > MEM_MAX_GROUPS) {
        return false;
    }
    for (int g = 0; g < a.m_iGroupCount; ++g) {
        const MemGroup_t& x = a.m_stGroup[g];
        const MemGroup_t& y = b.m_stGroup[g];
        if (x.m_iGrpId != y.m_iGrpId || x.m_iChunkSize != y.m_iChunkSize || x.m_iChunkCount != y.m_iChunkCount) {
            return false;
        }
    }
    return true;
}

} // namespace

DataPkgInfo_t::DataPkgInfo_t(DataPackage_t* pkg) : m_pPkg(pkg), m_iRefCount(0)
{
    pthread_mutex_init(&m_mutex, nullptr);
}

DataPkgInfo_t::~DataPkgInfo_t()
{
    pthread_mutex_destroy(&m_mutex);
}

CShmServer::CShmServer(CDataManager* dataManager) : m_pDataManager(dataManager) {}

CShmServer::~CShmServer()
{
    deinit();
}

bool CShmServer::init(void* base, const MemPoolLayout_t& layout)
{
    if (m_bRunning.load() || base == nullptr || m_pDataManager == nullptr) {
        return false;
    }
    if (!initMemLayout(base, layout)) {
        return false;
    }
    // Opened here rather than on the thread, so that every package published once init has
    // returned reaches the distribution. The thread destroys it when it ends.
    CDataFifo* fifo = m_pDataManager->createDataFifo(SEND_FIFO_POLICY, SEND_FIFO_DEPTH);
    if (fifo != nullptr) {
        m_bRunning.store(true);
        if (m_thread.start(&CShmServer::sendTask, this, fifo)) {
            return true;
        }
        m_bRunning.store(false);
        m_pDataManager->destroyDataFifo(fifo);
    }
    DDS_RED("Error: share memory server can't start its thread!");
    clearMemLayout();
    return false;
}

bool CShmServer::initMemLayout(void* base, const MemPoolLayout_t& layout)
{
    // The pool's own table, from the walk it numbered its chunks by: nothing is walked again.
    auto* pool = dynamic_cast<CShmMemPool*>(m_pDataManager->getMemPool());
    std::shared_ptr<const CShmPkgTable> table = pool == nullptr ? nullptr : pool->pkgTable();
    if (!table || pool->getMemAddr() != base || !sameLayout(layout, pool->getMemLayout())) {
        DDS_RED("Error: invalid share memory pool layout at %p!", base);
        return false;
    }
    m_pPool = pool;
    m_pTable = std::move(table);
    m_vecPkgs.reserve(m_pTable->count());
    for (int id = 1; m_pTable->has(id); ++id) {
        enqueDataPkg(m_pTable->pkg(id));
    }
    return true;
}

void CShmServer::clearMemLayout()
{
    for (DataPkgInfo_t* rec : m_vecPkgs) {
        delete rec;
    }
    m_vecPkgs.clear();
    m_pTable.reset();
    m_pPool = nullptr;
}

void CShmServer::enqueDataPkg(DataPackage_t* pkg)
{
    m_vecPkgs.push_back(new DataPkgInfo_t(pkg));
}

DataPkgInfo_t* CShmServer::findRecord(int id) const
{
    return id >= 1 && static_cast<size_t>(id) <= m_vecPkgs.size() ? m_vecPkgs[static_cast<size_t>(id - 1)] : nullptr;
}

int CShmServer::findPkgId(DataPackage_t* pkg) const
{
    // By address: the number in the package lies in a segment other processes can write.
    return m_pTable->idOf(pkg);
}

void CShmServer::referPackage(int id)
{
    DataPkgInfo_t* rec = findRecord(id);
    if (rec == nullptr) {
        DDS_GREEN_LIMITED("Can't find pkg %d !!!", id);
        return;
    }
    pthread_mutex_lock(&rec->m_mutex);
    rec->m_iRefCount.fetch_add(1);
    pthread_mutex_unlock(&rec->m_mutex);
}

void CShmServer::releasePackage(int id)
{
    DataPkgInfo_t* rec = findRecord(id);
    if (rec == nullptr) {
        DDS_GREEN_LIMITED("Can't find pkg %d !!!", id);
        return;
    }
    pthread_mutex_lock(&rec->m_mutex);
    if (rec->m_iRefCount.load() <= 0) {
        rec->m_iRefCount.store(0);
    } else if (rec->m_iRefCount.fetch_sub(1) == 1) {
        // Every reader has returned it: the distribution FIFO's chunk reference goes back, by
        // the number this server looked up.
        m_pPool->releasePkg(id);
    }
    pthread_mutex_unlock(&rec->m_mutex);
}

void CShmServer::addMemId(int queueKey, int id)
{
    std::lock_guard<std::mutex> lock(m_mtxInFlight);
    m_mapInFlight[queueKey].push_back(id);
}

bool CShmServer::delMemId(int queueKey, int id)
{
    std::lock_guard<std::mutex> lock(m_mtxInFlight);
    auto it = m_mapInFlight.find(queueKey);
    if (it == m_mapInFlight.end()) {
        return false;
    }
    std::vector<int>& ids = it->second;
    auto pos = std::find(ids.rbegin(), ids.rend(), id);
    if (pos == ids.rend()) {
        return false;
    }
    ids.erase(std::next(pos).base());
    return true;
}

void CShmServer::onReturn(int queueKey, int id)
{
    // A number this queue does not hold (returned twice, forged, or from an old session) must not
    // take away a reference that belongs to another reader.
    if (!delMemId(queueKey, id)) {
        DDS_GREEN_LIMITED("Queue %#x returned pkg %d which it does not hold!", static_cast<unsigned>(queueKey), id);
        return;
    }
    releasePackage(id);
}

void CShmServer::sendTask(CDataFifo* fifo)
{
    while (m_bRunning.load()) {
        m_bSent.store(false);
        DataPackage_t* pkg = fifo->getDataPackage(SEND_WAIT_MS);
        if (pkg == nullptr) {
            continue;
        }
        int id = findPkgId(pkg);
        if (id < 0) {
            // Not a package of this pool: its FIFO reference goes straight back.
            DDS_GREEN_LIMITED("Can't find pkg %d !!!", __atomic_load_n(&pkg->m_iPkgId, __ATOMIC_RELAXED));
            m_pDataManager->releaseDataPkg(pkg);
            continue;
        }
        referPackage(id);
        {
            std::lock_guard<std::mutex> lock(m_mtxQueue);
            if (!m_mapQueues.empty()) {
                m_bSent.store(true);
                calculateFrameRate();
            }
            for (auto& entry : m_mapQueues) {
                referPackage(id);
                // Listed before the post: the reader may return it before post() is back.
                addMemId(entry.first, id);
                // Undo only what is still listed: a return of this number that came in
                // meanwhile (a reader returning what it was not sent) took entry and reference.
                if (!postToReader(entry.first, entry.second.get(), id) && delMemId(entry.first, id)) {
                    releasePackage(id);
                }
            }
        }
        releasePackage(id);
    }
    m_pDataManager->destroyDataFifo(fifo);
}

void CShmServer::dropWaiting(int queueKey, int id)
{
    DDS_YELLOW_LIMITED("Warning: Queue %#x post %d failed!", static_cast<unsigned>(queueKey), id);
    if (delMemId(queueKey, id)) {
        releasePackage(id);
    }
}

bool CShmServer::postToReader(int queueKey, Reader_t* reader, int id)
{
    std::lock_guard<std::mutex> lock(reader->m_mtxWaiting);
    const auto now = std::chrono::steady_clock::now();
    if (reader->m_uCount == 0) {
        // Marked before the post that may find the ring full: the queue's thread then either sees
        // the mark and the room a take made, or sleeps before that take, which wakes it.
        reader->m_que.setSendWaiting(true);
        CShmQueque::PostRet_e ret = reader->m_que.postRet(id, false);
        if (ret == CShmQueque::POST_OK) {
            reader->m_que.setSendWaiting(false);
            reader->m_tLastPost = now;
            return true;
        }
        if (ret != CShmQueque::POST_FULL) {
            reader->m_que.setSendWaiting(false);
            return false;
        }
        // A reader that has taken nothing for a while costs one attempt per package.
        if (now - reader->m_tLastPost > FULL_RING_WAIT) {
            reader->m_que.setSendWaiting(false);
            DDS_YELLOW_LIMITED("Warning: Queue %#x post %d failed!", static_cast<unsigned>(queueKey), id);
            return false;
        }
    }
    if (reader->m_uCount == SHM_SERVER_WAITING) {
        dropWaiting(queueKey, reader->m_iWaiting[reader->m_uFirst]);
        reader->m_uFirst = (reader->m_uFirst + 1) % SHM_SERVER_WAITING;
        --reader->m_uCount;
    }
    reader->m_iWaiting[(reader->m_uFirst + reader->m_uCount) % SHM_SERVER_WAITING] = id;
    ++reader->m_uCount;
    // The reader's take that made room may have come just before this number was listed: look
    // once more. What still waits is posted by the queue's thread once the reader takes.
    lockedFlush(queueKey, reader, now);
    return true;
}

bool CShmServer::flushWaiting(int queueKey, Reader_t* reader)
{
    std::lock_guard<std::mutex> lock(reader->m_mtxWaiting);
    lockedFlush(queueKey, reader, std::chrono::steady_clock::now());
    return reader->m_uCount != 0;
}

void CShmServer::lockedFlush(int queueKey, Reader_t* reader, std::chrono::steady_clock::time_point now)
{
    while (reader->m_uCount != 0) {
        const int id = reader->m_iWaiting[reader->m_uFirst];
        CShmQueque::PostRet_e ret = reader->m_que.postRet(id, false);
        if (ret == CShmQueque::POST_OK) {
            reader->m_tLastPost = now;
        } else if (ret == CShmQueque::POST_FULL && now - reader->m_tLastPost <= FULL_RING_WAIT) {
            return;
        } else {
            // Not listening, broken, or a ring that has taken nothing for too long.
            dropWaiting(queueKey, id);
        }
        reader->m_uFirst = (reader->m_uFirst + 1) % SHM_SERVER_WAITING;
        --reader->m_uCount;
    }
    reader->m_que.setSendWaiting(false);
}

bool CShmServer::attachQueue(int queueKey, std::function<void()> onBroken)
{
    if (queueKey < 0) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxQueue);
        if (m_mapQueues.count(queueKey) != 0) {
            return false;
        }
        auto reader = std::make_unique<Reader_t>();
        Reader_t* rd = reader.get();
        rd->m_que.setPassTask([this, queueKey, rd](bool) { return flushWaiting(queueKey, rd); });
        rd->m_que.setCorruptTask(std::move(onBroken));
        if (!rd->m_que.init(queueKey, 0, [this](int key, int id) { onReturn(key, id); })) {
            return false;
        }
        rd->m_que.setEnable(true);
        m_mapQueues.emplace(queueKey, std::move(reader));
    }
    DDS_GREEN_LIMITED_BY(queueKey, "Attach share memory queue %#x", static_cast<unsigned>(queueKey));
    return true;
}

bool CShmServer::detachQueue(int queueKey)
{
    std::vector<int> left;
    std::unique_ptr<Reader_t> reader;
    {
        std::lock_guard<std::mutex> lock(m_mtxQueue);
        auto it = m_mapQueues.find(queueKey);
        if (it == m_mapQueues.end()) {
            return false;
        }
        resetFrameRate();
        reader = std::move(it->second);
        m_mapQueues.erase(it);
    }
    DDS_GREEN_LIMITED_BY(queueKey, "Detach share memory queue %#x", static_cast<unsigned>(queueKey));
    // Out of the table, so the distribution no longer reaches it; its thread first takes the
    // returns already in the ring. What waited for room is still listed in flight.
    reader->m_que.setEnable(false);
    reader->m_que.deinit();
    reader.reset();
    {
        std::lock_guard<std::mutex> inFlight(m_mtxInFlight);
        auto ids = m_mapInFlight.find(queueKey);
        if (ids != m_mapInFlight.end()) {
            left.swap(ids->second);
            m_mapInFlight.erase(ids);
        }
    }
    if (!left.empty()) {
        DDS_YELLOW_LIMITED_BY(queueKey, "Warning: Queue %#x left %ld mem blocks!!!", static_cast<unsigned>(queueKey),
                              static_cast<long>(left.size()));
        for (int id : left) {
            releasePackage(id);
        }
    }
    return true;
}

size_t CShmServer::getInFlightCount(int queueKey)
{
    std::lock_guard<std::mutex> lock(m_mtxInFlight);
    auto it = m_mapInFlight.find(queueKey);
    return it == m_mapInFlight.end() ? 0 : it->second.size();
}

void CShmServer::deinit()
{
    // Queues may have been attached without init; they are torn down in either case.
    if (m_bRunning.exchange(false)) {
        m_thread.join();
    }
    std::map<int, std::unique_ptr<Reader_t>> queues;
    {
        std::lock_guard<std::mutex> lock(m_mtxQueue);
        queues.swap(m_mapQueues);
    }
    for (auto& entry : queues) {
        entry.second->m_que.setEnable(false);
        entry.second->m_que.deinit();
    }
    queues.clear();
    std::map<int, std::vector<int>> inFlight;
    {
        std::lock_guard<std::mutex> lock(m_mtxInFlight);
        inFlight.swap(m_mapInFlight);
    }
    for (auto& entry : inFlight) {
        for (int id : entry.second) {
            releasePackage(id);
        }
    }
    clearMemLayout();
    {
        std::lock_guard<std::mutex> lock(m_mtxQueue);
        resetFrameRate();
    }
    m_pDataManager = nullptr;
}

int CShmServer::getFps()
{
    if (!m_bRunning.load()) {
        return -1;
    }
    return m_rate.read(m_bSent.load());
}

void CShmServer::calculateFrameRate()
{
    m_rate.count(CFrameRate::nowMs());
}

void CShmServer::resetFrameRate()
{
    m_bSent.store(false);
    m_rate.reset(CFrameRate::nowMs());
}

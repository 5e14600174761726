#include "memory/shm_client.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>

#include "memory/datafifo.h"
#include "memory/pool_mapping.h"
#include "memory/shm_layout.h"
#include "memory/shm_queue.h"
#include "memory/shm_server.h"
#include "utils/dds_common.h"
#include "utils/system_utils.h"

namespace {

int readInt(const int32_t* field)
{
    int32_t value = 0;
    std::memcpy(&value, field, sizeof(value));
    return value;
}

} // namespace

CShmClient::CShmClient() = default;

CShmClient::~CShmClient()
{
    deinit();
}

std::shared_ptr<CPoolMapping> CShmClient::currentMapping()
{
    std::lock_guard<std::mutex> lock(m_mtxMapping);
    return m_pMapping;
}

bool CShmClient::init(int queueKey, int poolKey, const MemPoolLayout_t& layout)
{
    if (m_bInit.load()) {
        return false;
    }
    std::shared_ptr<CPoolMapping> mapping = initMemLayout(poolKey, layout);
    if (!mapping) {
        return false;
    }
    // Published before the first number can arrive, so that holders can give packages back.
    CPoolMapping::registerMapping(mapping);
    {
        std::lock_guard<std::mutex> lock(m_mtxMapping);
        m_pMapping = mapping;
    }
    if (!initMemQue(queueKey, mapping)) {
        {
            std::lock_guard<std::mutex> lock(m_mtxMapping);
            m_pMapping.reset();
        }
        CPoolMapping::unregisterMapping(mapping.get());
        return false;
    }
    m_bInit.store(true);
    return true;
}

std::shared_ptr<CPoolMapping> CShmClient::initMemLayout(int poolKey, const MemPoolLayout_t& layout)
{
    if (poolKey < 0) {
        return nullptr;
    }
    uint64_t size = 0;
    int count = 0;
    if (!shmLayoutSize(layout, &size, &count)) {
        DDS_RED_LIMITED("Error: invalid mem pool layout! m_iKey: %#x, group count: %d", static_cast<unsigned>(poolKey),
                        layout.m_iGroupCount);
        return nullptr;
    }
    int shmId = CSystemUtils::openShm(poolKey, 1, size);
    if (shmId < 0) {
        DDS_RED_LIMITED("Error: openShm() failed! m_iKey: %#x, size: %lu", static_cast<unsigned>(poolKey),
                        static_cast<unsigned long>(size));
        return nullptr;
    }
    // The layout comes from the wire: the segment must really hold all of it.
    shmid_ds ds{};
    if (shmctl(shmId, IPC_STAT, &ds) != 0 || ds.shm_segsz < size) {
        DDS_RED_LIMITED("Error: share memory is smaller than its layout! m_iKey: %#x, size: %lu, layout size: %lu",
                        static_cast<unsigned>(poolKey), static_cast<unsigned long>(ds.shm_segsz),
                        static_cast<unsigned long>(size));
        return nullptr;
    }
    CShmAttachment segment(CSystemUtils::attachShm(shmId));
    if (!segment) {
        DDS_RED_LIMITED("Error: attachShm() failed! m_iKey: %#x, shmid: %d", static_cast<unsigned>(poolKey), shmId);
        return nullptr;
    }
    // This attachment's one walk: the mapping's table is built from it.
    std::vector<ShmPkgSlot_t> slots;
    if (!shmWalkLayout(static_cast<const uint8_t*>(segment.get()), ds.shm_segsz, layout, &slots)) {
        DDS_RED_LIMITED("Error: invalid package numbers in share memory! m_iKey: %#x", static_cast<unsigned>(poolKey));
        return nullptr;
    }
    return std::make_shared<CPoolMapping>(poolKey, std::move(segment), static_cast<size_t>(ds.shm_segsz),
                                          std::move(slots));
}

bool CShmClient::initMemQue(int queueKey, const std::shared_ptr<CPoolMapping>& mapping)
{
    if (queueKey < 0) {
        return false;
    }
    CPoolMapping* mp = mapping.get();
    mp->m_pQueue = std::make_unique<CShmQueque>();
    mp->m_pQueue->setPassTask([mp](bool final) { return mp->flushPending(final); });
    if (!mp->m_pQueue->init(queueKey, 1, [this, mp](int, int id) { dispatch(mp, id); })) {
        return false;
    }
    mp->m_pQueue->setEnable(true);
    return true;
}

void CShmClient::dispatch(CPoolMapping* mapping, int id)
{
    DataPkgInfo_t* rec = mapping->record(id);
    if (rec == nullptr) {
        DDS_GREEN_LIMITED("Can't find pkg %d !!!", id);
        return;
    }
    DataPackage_t* pkg = rec->m_pPkg;
    int len = readInt(&pkg->m_iLen);
    int size = readInt(&pkg->m_iSize);
    mapping->refer(id);
    // The lengths the consumers get are these, read once: the segment may change them later.
    const CHeldPkg own = CHeldPkg::ofMapping(mapping, id, pkg, mapping->capacity(id), len);
    if (!shmPkgLengthsFit(len, size, mapping->capacity(id))) {
        // Nobody gets a package whose lengths would lead a reader out of its chunk.
        DDS_YELLOW_LIMITED("Warning: Drop pkg %d, len: %d, size: %d, capacity: %d", id, len, size,
                           mapping->capacity(id));
        return;
    }
    m_targets.handOut(own);
}

void CShmClient::deinit()
{
    if (!m_bInit.load()) {
        return;
    }
    std::shared_ptr<CPoolMapping> mapping = currentMapping();
    // Ring 0 closes first; the thread then dispatches what it still holds, flushes the pending
    // returns and ends.
    mapping->m_pQueue->setEnable(false);
    mapping->m_pQueue->deinit();
    m_bInit.store(false);
    {
        std::lock_guard<std::mutex> lock(m_mtxMapping);
        m_pMapping.reset();
    }
    // The segment stays attached while packages of it are held here.
    mapping->letGo();
}

int CShmClient::attachFifo(CDataFifo* fifo)
{
    return m_targets.attachFifo(fifo);
}

int CShmClient::detachFifo(CDataFifo* fifo)
{
    return m_targets.detachFifo(fifo);
}

int CShmClient::registerCallBack(DataCallBack_t callback)
{
    return m_targets.registerCallBack(std::move(callback));
}

int CShmClient::registerHeldCallBack(HeldCallBack_t callback)
{
    return m_targets.registerHeldCallBack(std::move(callback));
}

void CShmClient::unregisterCallBack(int id)
{
    m_targets.unregisterCallBack(id);
}

void CShmClient::putEmptyDataPkg(DataPackage_t* pkg)
{
    // In whichever mapping of this process the package lies (this client's or one it has let go).
    CHeldPkg::releaseByAddress(pkg, nullptr);
}

void CShmClient::releasePackage(int id)
{
    std::shared_ptr<CPoolMapping> mapping = currentMapping();
    if (!mapping) {
        DDS_GREEN_LIMITED("Can't find pkg %d !!!", id);
        return;
    }
    mapping->release(id);
}

void CShmClient::referPackage(int id)
{
    std::shared_ptr<CPoolMapping> mapping = currentMapping();
    if (!mapping) {
        DDS_GREEN_LIMITED("Can't find pkg %d !!!", id);
        return;
    }
    mapping->refer(id);
}

DataPackage_t* CShmClient::getDataPkgById(int id)
{
    std::shared_ptr<CPoolMapping> mapping = currentMapping();
    DataPkgInfo_t* rec = mapping ? mapping->record(id) : nullptr;
    if (rec == nullptr) {
        DDS_GREEN_LIMITED("Can't find pkg %d !!!", id);
        return nullptr;
    }
    return rec->m_pPkg;
}

int CShmClient::getFps()
{
    if (!m_bInit.load()) {
        return -1;
    }
    std::shared_ptr<CPoolMapping> mapping = currentMapping();
    return (mapping && mapping->m_pQueue) ? mapping->m_pQueue->getFps() : -1;
}

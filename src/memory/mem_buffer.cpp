#include "memory/mem_buffer.h"

#include <algorithm>
#include <chrono>

#include "utils/dds_common.h"

CMemBuffer::CMemBuffer() : m_pMemPool(new CNormalMemPool()) {}

CMemBuffer::~CMemBuffer()
{
    std::lock_guard<std::mutex> lock(m_mtxFull);
    while (!m_queFull.empty()) {
        std::shared_ptr<MemBuffer_t> buffer = m_queFull.front();
        m_queFull.pop();
        if (buffer && buffer->m_pChunk != nullptr) {
            m_pMemPool->releaseMemChunk(buffer->m_pChunk);
            buffer->m_pChunk = nullptr;
            buffer->m_pData = nullptr;
        }
    }
}

bool CMemBuffer::init(int size, int count)
{
    if (!m_pMemPool) {
        return false;
    }
    // A second configuration would replace the group and drop its cached chunks.
    if (m_iBufCount > 0) {
        DDS_RED("Error: Membuffer is already initialized!");
        return false;
    }
    if (count <= 0) {
        count = 10;
    }
    if (size <= 0) {
        size = 4096;
    }
    int64_t total = static_cast<int64_t>(size) * count;
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = static_cast<uint32_t>(std::min<int64_t>(total, UINT32_MAX));
    cfg.m_stGroup[0] = MemGroup_t{0, size, count};
    cfg.m_iGroupCount = 1;
    if (!m_pMemPool->init(cfg)) {
        return false;
    }
    m_iBufCount = count;
    m_iBufSize = size;
    DDS_GREEN("Membuffer pool size : %d", static_cast<int>(std::min<int64_t>(total, INT32_MAX)));
    std::lock_guard<std::mutex> lock(m_mtxEmpty);
    m_vecEmpty.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        m_vecEmpty.push_back(std::make_shared<MemBuffer_t>());
    }
    return true;
}

std::shared_ptr<MemBuffer_t> CMemBuffer::getEmptyBuffer(int size, int timeoutMs)
{
    std::shared_ptr<MemBuffer_t> buffer;
    {
        std::unique_lock<std::mutex> lock(m_mtxEmpty);
        while (m_vecEmpty.empty()) {
            if (timeoutMs < 0) {
                m_cvEmpty.wait(lock);
            } else if (m_cvEmpty.wait_for(lock, std::chrono::milliseconds(timeoutMs)) == std::cv_status::timeout) {
                return nullptr;
            }
        }
        buffer = m_vecEmpty.back();
        m_vecEmpty.pop_back();
    }
    MemChunk_t* chunk = m_pMemPool->getMemChunk(size);
    if (chunk == nullptr) {
        pushEmpty(buffer);
        return nullptr;
    }
    buffer->m_iSize = size;
    buffer->m_iLen = 0;
    buffer->m_pData = pkgData(&chunk->m_stPkg);
    buffer->m_pChunk = chunk;
    return buffer;
}

bool CMemBuffer::putFullBuffer(std::shared_ptr<MemBuffer_t> buffer)
{
    if (!buffer) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxFull);
        m_queFull.push(std::move(buffer));
    }
    m_cvFull.notify_all();
    return true;
}

std::shared_ptr<MemBuffer_t> CMemBuffer::getFullBuffer(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mtxFull);
    while (m_queFull.empty()) {
        if (timeoutMs < 0) {
            m_cvFull.wait(lock);
        } else if (m_cvFull.wait_for(lock, std::chrono::milliseconds(timeoutMs)) == std::cv_status::timeout) {
            return nullptr;
        }
    }
    std::shared_ptr<MemBuffer_t> buffer = m_queFull.front();
    m_queFull.pop();
    return buffer;
}

bool CMemBuffer::putEmptyBuffer(std::shared_ptr<MemBuffer_t> buffer)
{
    if (!buffer) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mtxEmpty);
        // Given back twice would put one descriptor (and chunk) in two takers' hands.
        if (buffer->m_iSize == -1 && buffer->m_pChunk == nullptr) {
            return false;
        }
        if (buffer->m_pChunk != nullptr) {
            m_pMemPool->releaseMemChunk(buffer->m_pChunk);
            buffer->m_pChunk = nullptr;
        }
        buffer->m_pData = nullptr;
        buffer->m_iLen = 0;
        buffer->m_iSize = -1;
        m_vecEmpty.push_back(std::move(buffer));
    }
    m_cvEmpty.notify_all();
    return true;
}

void CMemBuffer::pushEmpty(std::shared_ptr<MemBuffer_t> buffer)
{
    {
        std::lock_guard<std::mutex> lock(m_mtxEmpty);
        buffer->m_pData = nullptr;
        buffer->m_iLen = 0;
        buffer->m_iSize = -1;
        m_vecEmpty.push_back(std::move(buffer));
    }
    m_cvEmpty.notify_all();
}

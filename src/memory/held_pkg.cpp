#include "memory/held_pkg.h"

#include <memory>

#include "memory/databuffer.h"
#include "memory/pool_mapping.h"

std::atomic<unsigned long> CHeldPkg::s_uLookups{0};
std::atomic<bool> CHeldPkg::s_bCountLookups{false};

CHeldPkg CHeldPkg::share() const
{
    if (m_pPkg == nullptr) {
        return CHeldPkg();
    }
    if (m_pMapping != nullptr) {
        m_pMapping->refer(m_iId);
    } else if (m_pBuffer != nullptr) {
        if (m_iId > 0) {
            m_pBuffer->referPkgId(m_iId);
        } else {
            m_pBuffer->referPackage(m_pPkg);
        }
    }
    return CHeldPkg(m_pPkg, m_pMapping, m_pBuffer, m_iId, m_iCapacity, m_iLen);
}

void CHeldPkg::giveBack() noexcept
{
    if (m_pMapping != nullptr) {
        // The reference this handle drops kept the mapping registered until now: no search.
        m_pMapping->release(m_iId);
    } else if (m_pBuffer != nullptr) {
        if (m_iId > 0) {
            m_pBuffer->releasePkgId(m_iId);
        } else {
            m_pBuffer->releasePackage(m_pPkg);
        }
    }
}

bool CHeldPkg::releaseByAddress(DataPackage_t* pkg, CDataBuffer* own)
{
    if (pkg == nullptr) {
        return false;
    }
    if (s_bCountLookups.load(std::memory_order_relaxed)) {
        s_uLookups.fetch_add(1, std::memory_order_relaxed);
    }
    // Kept for the release: a package given back without a reference must not meet a mapping
    // that its last holder let go meanwhile.
    std::shared_ptr<CPoolMapping> mapping = CPoolMapping::findMapping(pkg);
    if (!mapping) {
        if (own != nullptr) {
            own->releasePackage(pkg);
        }
        return false;
    }
    int id = mapping->idOf(pkg);
    if (id < 0) {
        // Inside a segment but at no package's start: nobody's package, nobody's to free.
        return false;
    }
    mapping->release(id);
    return true;
}

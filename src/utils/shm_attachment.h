// Sole owner of one attachment of a System V segment: detaches it when it goes, unless the
// address was handed on. Removing the segment is not its part: only the creator does that, after
// the detach.
//
// Not shared between threads: the owner attaches and detaches while no other thread uses the
// mapping.
#pragma once

#include <memory>

#include "utils/system_utils.h"

class CShmAttachment {
public:
    CShmAttachment() noexcept = default;
    explicit CShmAttachment(void* addr) noexcept : m_pAddr(addr) {}

    void* get() const noexcept { return m_pAddr.get(); }
    bool valid() const noexcept { return m_pAddr != nullptr; }
    explicit operator bool() const noexcept { return valid(); }

    // Hands the address on: whoever takes it detaches it.
    void* release() noexcept { return m_pAddr.release(); }

    // Detaches what is held (a failure has its line from detachShm) and holds `addr` instead.
    void reset(void* addr = nullptr) noexcept
    {
        if (addr != m_pAddr.get()) {
            m_pAddr.reset(addr);
        }
    }

private:
    struct Detach_t {
        void operator()(void* addr) const noexcept { CSystemUtils::detachShm(addr); }
    };
    std::unique_ptr<void, Detach_t> m_pAddr;
};

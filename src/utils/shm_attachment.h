// Sole owner of one attachment of a System V segment: detaches it when it goes, unless the
// address was handed on. Removing the segment is not its part: only the creator does that, after
// the detach.
//
// Not shared between threads: the owner attaches and detaches while no other thread uses the
// mapping.
#pragma once

#include <utility>

#include "utils/system_utils.h"

class CShmAttachment {
public:
    CShmAttachment() noexcept = default;
    explicit CShmAttachment(void* addr) noexcept : m_pAddr(addr) {}
    ~CShmAttachment() { reset(); }

    CShmAttachment(const CShmAttachment&) = delete;
    CShmAttachment& operator=(const CShmAttachment&) = delete;
    CShmAttachment(CShmAttachment&& other) noexcept : m_pAddr(other.release()) {}
    CShmAttachment& operator=(CShmAttachment&& other) noexcept
    {
        reset(other.release()); // safe on itself: the address is taken before anything detaches
        return *this;
    }

    void* get() const noexcept { return m_pAddr; }
    bool valid() const noexcept { return m_pAddr != nullptr; }
    explicit operator bool() const noexcept { return valid(); }

    // Hands the address on: whoever takes it detaches it.
    void* release() noexcept { return std::exchange(m_pAddr, nullptr); }

    // Detaches what is held (a failure has its line from detachShm) and holds `addr` instead.
    void reset(void* addr = nullptr) noexcept
    {
        void* old = std::exchange(m_pAddr, addr);
        if (old != nullptr && old != addr) {
            CSystemUtils::detachShm(old);
        }
    }

private:
    void* m_pAddr{nullptr};
};

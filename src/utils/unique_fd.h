// Sole owner of one descriptor: closes it when it goes, unless the number was handed on.
//
// Not shared between threads: a field that a second thread reads keeps its own atomic copy of
// the number; the holder only decides who closes it.
#pragma once

#include <unistd.h>

#include <utility>

class CUniqueFd {
public:
    CUniqueFd() noexcept = default;
    explicit CUniqueFd(int fd) noexcept : m_iFd(fd) {}
    ~CUniqueFd() { reset(); }

    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    CUniqueFd(CUniqueFd&& other) noexcept : m_iFd(other.release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept
    {
        reset(other.release()); // safe on itself: the number is taken before anything closes
        return *this;
    }

    int get() const noexcept { return m_iFd; }
    bool valid() const noexcept { return m_iFd >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Hands the number on: whoever takes it closes it.
    int release() noexcept { return std::exchange(m_iFd, -1); }

    // Closes what is held (the number is free once this returns) and holds `fd` instead.
    void reset(int fd = -1) noexcept
    {
        const int old = std::exchange(m_iFd, fd);
        if (old >= 0 && old != fd) {
            ::close(old); // no retry on EINTR: on Linux the descriptor is gone either way
        }
    }

private:
    int m_iFd{-1};
};

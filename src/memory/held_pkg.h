// One reference to one package on the reading side, with where it goes back: the pool mapping of
// a shared-memory channel (and the package's number in it) or the buffer the package was
// published through (with its number when that buffer's pool gave one), plus the capacity and
// used length read once at hand-over.
//
// Threads: one holder at a time, any thread; moving hands the reference to the new holder. It has
// no lock of its own: a release takes only what its origin takes (a package record's mutex, or
// the pool's locks).
//
// A held mapping package keeps its mapping registered, so the plain pointer stays valid until the
// release, also after the client that attached it has let go.
#pragma once

#include <atomic>

class CDataBuffer;
class CPoolMapping;
struct DataPackage_t;

class CHeldPkg {
public:
    CHeldPkg() = default;
    // Both take over a reference the caller holds.
    static CHeldPkg ofMapping(CPoolMapping* mapping, int id, DataPackage_t* pkg, int capacity, int len) noexcept
    {
        return CHeldPkg(pkg, mapping, nullptr, id, capacity, len);
    }
    // With the number the buffer's pool gave for the package (CDataBuffer::referNumbered), so
    // that its references move by number; 0 or -1 for none, found by address then.
    static CHeldPkg ofBuffer(CDataBuffer* buffer, int id, DataPackage_t* pkg, int capacity, int len) noexcept
    {
        return CHeldPkg(pkg, nullptr, buffer, id > 0 ? id : -1, capacity, len);
    }

    CHeldPkg(CHeldPkg&& other) noexcept
        : m_pPkg(other.m_pPkg), m_pMapping(other.m_pMapping), m_pBuffer(other.m_pBuffer), m_iId(other.m_iId),
          m_iCapacity(other.m_iCapacity), m_iLen(other.m_iLen)
    {
        other.clear();
    }
    CHeldPkg& operator=(CHeldPkg&& other) noexcept
    {
        if (this != &other) {
            release();
            m_pPkg = other.m_pPkg;
            m_pMapping = other.m_pMapping;
            m_pBuffer = other.m_pBuffer;
            m_iId = other.m_iId;
            m_iCapacity = other.m_iCapacity;
            m_iLen = other.m_iLen;
            other.clear();
        }
        return *this;
    }
    CHeldPkg(const CHeldPkg&) = delete;
    CHeldPkg& operator=(const CHeldPkg&) = delete;
    ~CHeldPkg() { release(); }

    // A second reference to the same package, for another holder (empty for an empty handle).
    CHeldPkg share() const;
    // Gives the reference back, once; the handle is empty afterwards.
    void release() noexcept
    {
        if (m_pPkg != nullptr) {
            giveBack();
            clear();
        }
    }
    // The package with its reference, to a holder that gives it back by address; empty afterwards.
    DataPackage_t* disown() noexcept
    {
        DataPackage_t* pkg = m_pPkg;
        clear();
        return pkg;
    }

    explicit operator bool() const noexcept { return m_pPkg != nullptr; }
    DataPackage_t* pkg() const noexcept { return m_pPkg; }
    // Null for a package of this process's memory.
    CPoolMapping* mapping() const noexcept { return m_pMapping; }
    // The package's number in its mapping or in its buffer's pool; -1 when it has none.
    int id() const noexcept { return m_iId; }
    // The mapping's chunk size or the package's own field, never a segment's field.
    int capacity() const noexcept { return m_iCapacity; }
    // Read once at hand-over, within capacity() for a mapping package.
    int len() const noexcept { return m_iLen; }

    // Gives back a reference held as a bare pointer, found by address: in whichever pool mapping
    // of this process holds it (also one its client has let go), else to `own` when given. False
    // when it lies in no mapping; a pointer inside a segment but at no package's start is left
    // alone.
    static bool releaseByAddress(DataPackage_t* pkg, CDataBuffer* own);
    // Searches of the mapping registry made by releaseByAddress while counting is on (tests: the
    // handle path makes none). Off by default: every thread that gives a package back would write
    // the one counter.
    static unsigned long addressLookups() { return s_uLookups.load(std::memory_order_relaxed); }
    static void countLookups(bool on) { s_bCountLookups.store(on, std::memory_order_relaxed); }

private:
    CHeldPkg(DataPackage_t* pkg, CPoolMapping* mapping, CDataBuffer* buffer, int id, int capacity, int len) noexcept
        : m_pPkg(pkg), m_pMapping(mapping), m_pBuffer(buffer), m_iId(id), m_iCapacity(capacity), m_iLen(len)
    {
    }
    void giveBack() noexcept;
    void clear() noexcept
    {
        m_pPkg = nullptr;
        m_pMapping = nullptr;
        m_pBuffer = nullptr;
        m_iId = -1;
        m_iCapacity = 0;
        m_iLen = 0;
    }

    DataPackage_t* m_pPkg{nullptr};
    CPoolMapping* m_pMapping{nullptr};
    CDataBuffer* m_pBuffer{nullptr};
    int m_iId{-1};
    int m_iCapacity{0};
    int m_iLen{0};

    static std::atomic<unsigned long> s_uLookups;
    static std::atomic<bool> s_bCountLookups;
};

// First-in first-out ring of a capacity fixed at construction: its storage is allocated once, so
// pushing and popping on the message path never allocate.
//
// Threads: none of its own; the owner guards it.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

template <typename T> class CFixedRing {
public:
    explicit CFixedRing(size_t capacity) : m_slots(capacity) {}

    size_t capacity() const { return m_slots.size(); }
    size_t size() const { return m_iSize; }
    bool empty() const { return m_iSize == 0; }
    bool full() const { return m_iSize == m_slots.size(); }

    // The caller checks full() first.
    void push(T&& item)
    {
        m_slots[wrap(m_iHead + m_iSize)] = std::move(item);
        ++m_iSize;
    }
    void push(const T& item)
    {
        m_slots[wrap(m_iHead + m_iSize)] = item;
        ++m_iSize;
    }
    // The caller checks empty() first.
    T& front() { return m_slots[m_iHead]; }
    void pop()
    {
        m_slots[m_iHead] = T();
        m_iHead = wrap(m_iHead + 1);
        --m_iSize;
    }

private:
    size_t wrap(size_t index) const { return index >= m_slots.size() ? index - m_slots.size() : index; }

    std::vector<T> m_slots;
    size_t m_iHead{0};
    size_t m_iSize{0};
};

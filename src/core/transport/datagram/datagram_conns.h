// The connection table of a datagram medium's sender.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/transport/datagram/datagram_target.h"
#include "utils/unique_fd.h"

// The connection table of a datagram medium: one record with its own socket per reader, keyed
// by the control descriptor. The send thread copies the holders and sends without the lock, so
// control work never waits for a reader; a socket closes when its last holder lets go.
// `Record` has m_iFd and m_addr (the reader's address).
//
// Threads: any; m_mutex guards m_map and is held only for table work, never across a send.
template <typename Record> class CDatagramConns {
public:
    // `connectFirst`: every connection's socket is connected at its first send.
    explicit CDatagramConns(bool connectFirst = false) : m_bConnectFirst(connectFirst) {}

    struct Conn_t {
        Conn_t(const Record& record, bool segment) : m_stAddr(record), m_fd(record.m_iFd), m_bSegment(segment) {}
        Record m_stAddr;
        CUniqueFd m_fd;         // closes m_stAddr.m_iFd when the last holder lets go
        bool m_bStalled{false}; // send thread only, like the two below
        bool m_bSegment;        // segmented sends allowed
        bool m_bConnected{false};
    };
    using ConnPtr = std::shared_ptr<Conn_t>;

    // Takes over the record's socket; false (the socket closed) for an id already present.
    // `segment`: its sends may be segmented (DatagramTarget_t).
    bool add(int connId, const Record& record, bool segment = false)
    {
        ConnPtr conn = std::make_shared<Conn_t>(record, segment);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_map.count(connId) != 0) {
            return false;
        }
        m_map.emplace(connId, std::move(conn));
        m_iCount.store(static_cast<int>(m_map.size()));
        return true;
    }
    // Drops the connection after calling `onRemove(record)` under the lock; the socket closes
    // now, or after the package in flight when the send thread still holds it.
    template <typename OnRemove> bool remove(int connId, OnRemove&& onRemove)
    {
        ConnPtr dropped;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_map.find(connId);
        if (it == m_map.end()) {
            return false;
        }
        dropped = std::move(it->second);
        onRemove(static_cast<const Record&>(dropped->m_stAddr));
        m_map.erase(it);
        m_iCount.store(static_cast<int>(m_map.size()));
        return true;
    }
    void clear()
    {
        std::map<int, ConnPtr> dropped;
        std::lock_guard<std::mutex> lock(m_mutex);
        dropped.swap(m_map);
        m_iCount.store(0);
    }
    bool exists(int connId)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_map.count(connId) != 0;
    }
    // The record's `field` (its port or index), -1 for an id not present.
    int number(int connId, int Record::*field)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_map.find(connId);
        return it == m_map.end() ? -1 : it->second->m_stAddr.*field;
    }
    // Lock-free: the table's size.
    int count() const { return m_iCount.load(); }

    // Send thread: copies the holders into `holders` and lists their targets; false when there is
    // no connection. The caller clears both after the send.
    bool snapshot(std::vector<ConnPtr>& holders, std::vector<DatagramTarget_t>& targets)
    {
        holders.clear();
        targets.clear();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_map.empty()) {
                return false;
            }
            for (const auto& entry : m_map) {
                holders.push_back(entry.second);
            }
        }
        for (const ConnPtr& conn : holders) {
            const Record& record = conn->m_stAddr;
            targets.push_back(DatagramTarget_t{record.m_iFd, reinterpret_cast<const sockaddr*>(&record.m_addr),
                                               static_cast<int>(sizeof(record.m_addr)), &conn->m_bStalled,
                                               &conn->m_bSegment, m_bConnectFirst ? &conn->m_bConnected : nullptr});
        }
        return true;
    }

private:
    std::map<int, ConnPtr> m_map;
    std::mutex m_mutex;
    std::atomic<int> m_iCount{0}; // m_map's size, for the lock-free getters
    bool m_bConnectFirst;
};

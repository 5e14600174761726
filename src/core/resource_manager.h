// Process-wide pools of socket ports, Unix-socket indices and shared-memory key numbers, and the
// host's interface name and IPv4 address.
//
// Threads: participant start-up, the application's threads (writer creation, publisher deletion)
// and the event-reactor thread (data-channel allocation and release) call it at any time.
// Each pool's mutex guards its set and its list of numbers set aside; m_mtxHost guards both host
// strings; no operation holds two.
//
// A number set aside (one whose channel failed before its reader confirmed it, or that another
// process holds) goes to the back of its pool: it is handed out again only when no other number
// is free, the oldest first, so that the next request gets another one.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "utils/dds_common.h"

// A System V key handed out is the configured key number plus this amount.
constexpr int SHM_KEY_OFFSET = 0x123456;

class CResourceManager {
public:
    static CResourceManager* getInstance()
    {
        static CResourceManager resMan;
        return &resMan;
    }

    CResourceManager(const CResourceManager&) = delete;
    CResourceManager& operator=(const CResourceManager&) = delete;

    void setHostEthIp(const std::string& ethName, const std::string& ip)
    {
        std::lock_guard<std::mutex> lock(m_mtxHost);
        m_strHostIp = ip;
        m_strHostEthName = ethName;
    }

    // Copies: a participant may set the address while other participants' threads read it.
    std::string getHostIp() const
    {
        std::lock_guard<std::mutex> lock(m_mtxHost);
        return m_strHostIp;
    }

    std::string getHostEthName() const
    {
        std::lock_guard<std::mutex> lock(m_mtxHost);
        return m_strHostEthName;
    }

    // Any int is accepted, -1 included: a failed take that is given back is just another number.
    void putSocketPort(int port) { put(m_setSocketPorts, m_lstAsidePorts, m_mtxSocketPorts, port); }
    void putUnixSocketId(int id) { put(m_setUnixSocketIds, m_lstAsideUnixIds, m_mtxUnixSocketIds, id); }
    // Takes the configured number, without SHM_KEY_OFFSET.
    void putShmKey(int key) { put(m_setShmKeys, m_lstAsideShmKeys, m_mtxShmKeys, key); }

    // Give a number back to the back of its pool.
    void setAsideSocketPort(int port) { setAside(m_setSocketPorts, m_lstAsidePorts, m_mtxSocketPorts, port); }
    void setAsideUnixSocketId(int id) { setAside(m_setUnixSocketIds, m_lstAsideUnixIds, m_mtxUnixSocketIds, id); }
    void setAsideShmKey(int key) { setAside(m_setShmKeys, m_lstAsideShmKeys, m_mtxShmKeys, key); }

    // Each gives the smallest free number and removes it, or -1 with a red line when none is free.
    int getSocketPort()
    {
        int port = -1;
        if (!take(m_setSocketPorts, m_lstAsidePorts, m_mtxSocketPorts, port)) {
            DDS_RED_LIMITED("Error: socket port container is empty!");
        }
        return port;
    }

    // As getSocketPort, passing over the ports of `skip` (they stay where they are); -1 without a
    // line when no other port is free. What a search through the range takes next.
    int getSocketPortExcept(const std::vector<int>& skip)
    {
        auto wanted = [&skip](int port) { return std::find(skip.begin(), skip.end(), port) == skip.end(); };
        std::lock_guard<std::mutex> lock(m_mtxSocketPorts);
        auto free = std::find_if(m_setSocketPorts.begin(), m_setSocketPorts.end(), wanted);
        if (free != m_setSocketPorts.end()) {
            int port = *free;
            m_setSocketPorts.erase(free);
            return port;
        }
        auto aside = std::find_if(m_lstAsidePorts.begin(), m_lstAsidePorts.end(), wanted);
        if (aside != m_lstAsidePorts.end()) {
            int port = *aside;
            m_lstAsidePorts.erase(aside);
            return port;
        }
        return -1;
    }

    int getUnixSocketId()
    {
        int id = -1;
        if (!take(m_setUnixSocketIds, m_lstAsideUnixIds, m_mtxUnixSocketIds, id)) {
            DDS_RED_LIMITED("Error: unix socket id container is empty!");
        }
        return id;
    }

    // The key is the number plus SHM_KEY_OFFSET; an empty pool gives plain -1.
    int getShmKey()
    {
        int number = -1;
        if (!take(m_setShmKeys, m_lstAsideShmKeys, m_mtxShmKeys, number)) {
            DDS_RED_LIMITED("Error: share memory key container is empty!");
            return -1;
        }
        return shmKeyOf(number);
    }

    // The key made from a configured number. Added in 32 unsigned bits, so numbers near INT_MAX wrap
    // instead of overflowing; key_t is int.
    static int shmKeyOf(int number)
    {
        return static_cast<int>(static_cast<uint32_t>(number) + static_cast<uint32_t>(SHM_KEY_OFFSET));
    }

    // False for numbers that configuration should refuse: those whose key would be 0 (IPC_PRIVATE,
    // a new private segment on every shmget), negative (read by callers as "no key"), or would not
    // fit in an int without wrapping.
    static bool isUsableShmKeyNumber(int number)
    {
        return number > -SHM_KEY_OFFSET && number <= INT_MAX - SHM_KEY_OFFSET;
    }

private:
    CResourceManager() = default;
    ~CResourceManager() = default;

    static void put(std::set<int>& pool, std::deque<int>& aside, std::mutex& mtx, int number)
    {
        std::lock_guard<std::mutex> lock(mtx);
        aside.erase(std::remove(aside.begin(), aside.end(), number), aside.end());
        pool.insert(number);
    }

    static void setAside(std::set<int>& pool, std::deque<int>& aside, std::mutex& mtx, int number)
    {
        std::lock_guard<std::mutex> lock(mtx);
        pool.erase(number);
        if (std::find(aside.begin(), aside.end(), number) == aside.end()) {
            aside.push_back(number);
        }
    }

    static bool take(std::set<int>& pool, std::deque<int>& aside, std::mutex& mtx, int& number)
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!pool.empty()) {
            auto first = pool.begin();
            number = *first;
            pool.erase(first);
            return true;
        }
        if (!aside.empty()) {
            number = aside.front();
            aside.pop_front();
            return true;
        }
        return false;
    }

    std::set<int> m_setSocketPorts;
    std::mutex m_mtxSocketPorts;
    std::set<int> m_setUnixSocketIds;
    std::mutex m_mtxUnixSocketIds;
    std::set<int> m_setShmKeys; // configured numbers, without SHM_KEY_OFFSET
    std::mutex m_mtxShmKeys;
    std::deque<int> m_lstAsidePorts; // oldest first
    std::deque<int> m_lstAsideUnixIds;
    std::deque<int> m_lstAsideShmKeys;
    std::string m_strHostIp;
    std::string m_strHostEthName;
    mutable std::mutex m_mtxHost;
};

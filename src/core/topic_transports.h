// A publisher's or a subscriber's transports by topic name (each owned by the caller's side) with
// the transport mutex that guards them. A lookup holds the mutex for the lookup only: the
// transport is called after it is released. A query holds it across the call, so the transport
// cannot be deleted under it. A transport is unlinked under the mutex and deleted by the caller
// after releasing it, so that the queries do not wait for its threads to stop.
#pragma once

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/transport/transport.h"

using TopicTransportMap_t = std::map<std::string, CTransport*>;

class CTopicTransports {
public:
    CTopicTransports() = default;
    CTopicTransports(const CTopicTransports&) = delete;
    CTopicTransports& operator=(const CTopicTransports&) = delete;

    // Null without transport.
    CTransport* find(const std::string& topic)
    {
        std::lock_guard<std::mutex> lock(m_mtxTransport);
        auto it = m_mapTransports.find(topic);
        return it == m_mapTransports.end() ? nullptr : it->second;
    }

    // fn(transport) with the mutex held; `absent` without transport.
    template <typename R, typename Fn> R query(const std::string& topic, R absent, Fn fn)
    {
        std::lock_guard<std::mutex> lock(m_mtxTransport);
        auto it = m_mapTransports.find(topic);
        return it == m_mapTransports.end() ? absent : fn(it->second);
    }

    // False, linking nothing, when the topic has one already.
    bool link(const std::string& topic, CTransport* transport)
    {
        std::lock_guard<std::mutex> lock(m_mtxTransport);
        return m_mapTransports.emplace(topic, transport).second;
    }

    // The topic's transport, no longer linked; null without one.
    CTransport* unlink(const std::string& topic)
    {
        std::lock_guard<std::mutex> lock(m_mtxTransport);
        auto it = m_mapTransports.find(topic);
        if (it == m_mapTransports.end()) {
            return nullptr;
        }
        CTransport* transport = it->second;
        m_mapTransports.erase(it);
        return transport;
    }

    std::vector<std::string> topics()
    {
        std::lock_guard<std::mutex> lock(m_mtxTransport);
        std::vector<std::string> names;
        for (auto& entry : m_mapTransports) {
            names.push_back(entry.first);
        }
        return names;
    }

    // fn(map) with the mutex held, for a side whose transport mutex guards more than the map.
    template <typename Fn> auto locked(Fn fn)
    {
        std::lock_guard<std::mutex> lock(m_mtxTransport);
        return fn(m_mapTransports);
    }

private:
    TopicTransportMap_t m_mapTransports;
    std::mutex m_mtxTransport;
};

// The control endpoint of a topic as stored by its side; the caller holds the control mutex.
// 0 when it was copied into *out; -1 when none is stored or out is null.
inline int copyTopicTransParam(const std::map<std::string, TransParam_t>& params, const std::string& topic,
                               TransParam_t* out)
{
    auto it = params.find(topic);
    if (it == params.end() || out == nullptr) {
        return -1;
    }
    memcpy(out, &it->second, sizeof(TransParam_t));
    return 0;
}

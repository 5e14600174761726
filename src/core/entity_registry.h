// A publisher's writers or a subscriber's readers, by topic name. The helpers run with the
// registry's own mutex held by the caller.
#pragma once

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

template <typename Impl> using EntityRegistry_t = std::map<std::string, std::vector<Impl*>>;

// Unlinks the entity that `match` picks and gives it to the caller, who destroys it after
// releasing the registry's mutex (its destructor waits for callbacks that may query the
// registry); null when there is none. *lastHere tells whether it was the registry's last entity
// of its topic; the topic's entry then goes too.
template <typename Impl, typename Match>
Impl* unlinkEntity(EntityRegistry_t<Impl>& registry, Match match, std::string* topic, bool* lastHere)
{
    *lastHere = false;
    for (auto entry = registry.begin(); entry != registry.end(); ++entry) {
        std::vector<Impl*>& list = entry->second;
        auto it = std::find_if(list.begin(), list.end(), match);
        if (it == list.end()) {
            continue;
        }
        Impl* impl = *it;
        *topic = entry->first;
        list.erase(it);
        if (list.empty()) {
            *lastHere = true;
            registry.erase(entry);
        }
        return impl;
    }
    return nullptr;
}

template <typename Impl> bool hasNoEntity(const EntityRegistry_t<Impl>& registry)
{
    return std::all_of(registry.begin(), registry.end(), [](const auto& entry) { return entry.second.empty(); });
}

// Unlinks the entity that `match` picks under `mtx` and destroys it after releasing the mutex (a
// reader's destructor waits for a running data callback, which may ask for status). When it was
// the registry's last entity of its topic, onLastHere(topic) takes the topic's side here along;
// the topic stays in use until then, since the side refers to it. Nothing happens when `match`
// picks none.
template <typename Impl, typename Match, typename OnLastHere>
void deleteEntity(EntityRegistry_t<Impl>& registry, std::mutex& mtx, Match match, OnLastHere onLastHere)
{
    bool lastHere = false;
    std::string topic;
    Impl* impl = nullptr;
    {
        std::lock_guard<std::mutex> lock(mtx);
        impl = unlinkEntity(registry, match, &topic, &lastHere);
    }
    if (impl == nullptr) {
        return;
    }
    auto* desc = impl->getTopicDesc();
    desc->reference();
    delete impl;
    if (lastHere) {
        onLastHere(topic);
    }
    desc->dereference();
}

// Removes the topic's entry when it lists no entity; false, leaving it, while the topic still
// has one here. Run with the registry's mutex held.
template <typename Impl> bool dropEmptyEntry(EntityRegistry_t<Impl>& registry, const std::string& topic)
{
    auto it = registry.find(topic);
    if (it == registry.end()) {
        return true;
    }
    if (!it->second.empty()) {
        return false;
    }
    registry.erase(it);
    return true;
}

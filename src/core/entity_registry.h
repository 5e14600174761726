// A publisher's writers or a subscriber's readers, by topic name. The helpers run with the
// registry's own mutex held by the caller.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

template <typename Impl> using EntityRegistry_t = std::map<std::string, std::vector<Impl*>>;

// Deletes the entity that `match` picks; false when there is none. *lastUser tells whether it
// was its topic's last user, decided by the use count's decrement itself, so that of two users
// deleted at once exactly one is the last; the topic's entry then goes too.
template <typename Impl, typename Match>
bool deleteEntity(EntityRegistry_t<Impl>& registry, Match match, std::string* topic, bool* lastUser)
{
    *lastUser = false;
    for (auto entry = registry.begin(); entry != registry.end(); ++entry) {
        std::vector<Impl*>& list = entry->second;
        auto it = std::find_if(list.begin(), list.end(), match);
        if (it == list.end()) {
            continue;
        }
        *topic = entry->first;
        *lastUser = (*it)->releaseTopic() == 1;
        delete *it;
        list.erase(it);
        if (*lastUser) {
            registry.erase(entry);
        }
        return true;
    }
    return false;
}

template <typename Impl> bool hasNoEntity(const EntityRegistry_t<Impl>& registry)
{
    return std::all_of(registry.begin(), registry.end(), [](const auto& entry) { return entry.second.empty(); });
}

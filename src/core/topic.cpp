#include "zqdds/topic.h"

#include <mutex>
#include <set>

#include "core/topic_impl.h"

namespace {

// Every CTopic alive in the process. A handle enters in its constructor and leaves at the start of
// its destructor, under the mutex, so a name copied under the mutex is never being destroyed.
struct LiveTopics {
    std::mutex mtx;
    std::set<const CTopic*> handles;
};

// Never destroyed: a participant in a global or a static deletes its remaining topics at exit,
// after every function-local static is gone.
LiveTopics& liveTopics()
{
    static LiveTopics* live = new LiveTopics();
    return *live;
}

} // namespace

CTopic::CTopic(const std::string& name, CTopicImpl* impl) : CTopicDesc(name), m_pTopicImpl(impl)
{
    LiveTopics& live = liveTopics();
    std::lock_guard<std::mutex> lock(live.mtx);
    live.handles.insert(this);
}

CTopic::~CTopic()
{
    LiveTopics& live = liveTopics();
    std::lock_guard<std::mutex> lock(live.mtx);
    live.handles.erase(this);
}

CTopicDescImpl* CTopic::getTopicDescImpl() const
{
    return m_pTopicImpl;
}

bool copyLiveTopicName(const CTopic* topic, std::string& name)
{
    LiveTopics& live = liveTopics();
    std::lock_guard<std::mutex> lock(live.mtx);
    if (live.handles.count(topic) == 0) {
        return false;
    }
    name = topic->getName();
    return true;
}

// A reader that is called for every message instead of being polled. The callback runs on the
// library's receiving thread and sees the payload only during the call, so it copies what it
// keeps and returns quickly.
#include <zqdds/data_reader.h>
#include <zqdds/data_writer.h>
#include <zqdds/participant.h>
#include <zqdds/publisher.h>
#include <zqdds/subscriber.h>
#include <zqdds/topic.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace {

// A sender queues at most 8 packages and drops the oldest beyond that: keep bursts shorter.
constexpr int MESSAGES = 5;

bool waitConnected(CDataWriter* writer, CDataReader* reader)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(writer->isConnect() && reader->isConnect())) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace

int main()
{
    _DomainConfigParam_t param;
    param.m_iDomainId = 68;
    param.m_strMulticastIp = "224.5.6.68";
    param.m_iMulticastPort = 8890;
    param.m_iDiscoverPeriod = 1;
    param.m_vecSocketPorts = {6300, 6301, 6302, 6303};
    param.m_vecUnixSocketIdx = {300, 301, 302, 303};
    param.m_iMaxMemPoolSize = 16 * 1024 * 1024;
    param.m_strEthName = "lo";
    CParticipant participant(param);

    CTopic* topic = participant.createTopic("example_callback");
    CPublisher* publisher = participant.createPublisher();
    CSubscriber* subscriber = participant.createSubscriber();
    CDataWriter* writer = topic && publisher ? publisher->createDataWriter(topic) : nullptr;
    CDataReader* reader = topic && subscriber ? subscriber->createDataReader(topic) : nullptr;
    if (!writer || !reader) {
        std::printf("callback_reader: no writer or reader\n");
        return 1;
    }

    std::mutex mtx;
    std::condition_variable arrived;
    int received = 0;
    reader->registerUserDataCallBack([&](void* data, int len, _ExtraDataInfo_t* info) {
        std::string text(static_cast<const char*>(data), static_cast<size_t>(len));
        std::printf("callback_reader: \"%s\", sent at %llu us\n", text.c_str(),
                    static_cast<unsigned long long>(info ? info->m_u64TimeStamp : 0));
        std::lock_guard<std::mutex> lock(mtx);
        ++received;
        arrived.notify_one();
        return 0;
    });
    if (!waitConnected(writer, reader)) {
        std::printf("callback_reader: no data channel\n");
        return 1;
    }

    for (int i = 0; i < MESSAGES; ++i) {
        std::string text = "message " + std::to_string(i);
        writer->write(text.data(), static_cast<int>(text.size()));
    }
    bool all;
    {
        std::unique_lock<std::mutex> lock(mtx);
        all = arrived.wait_for(lock, std::chrono::seconds(5), [&] { return received == MESSAGES; });
    }

    // Removing the callback waits for a call in progress, so nothing runs on our locals after this.
    reader->registerUserDataCallBack(nullptr);
    subscriber->deleteDataReader(reader);
    publisher->deleteDataWriter(writer);
    participant.deleteSubscriber(subscriber);
    participant.deletePublisher(publisher);
    participant.deleteTopic(topic);
    std::printf("callback_reader: %s\n", all ? "all messages arrived" : "messages missing");
    return all ? 0 : 1;
}

// Zero-copy on a shared-memory topic: the writer fills a lent package in place, the reader looks
// at it in place, and neither copies the payload. Writer and reader share one process here; the
// same calls work across processes on one host.
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
#include <thread>

namespace {

constexpr int MESSAGES = 5;
constexpr int PAYLOAD = 1024;

// Polls until the data channel is up in both directions, for at most ten seconds.
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
    param.m_iDomainId = 67;
    param.m_strMulticastIp = "224.5.6.67";
    param.m_iMulticastPort = 8889;
    param.m_iDiscoverPeriod = 1;
    param.m_vecSocketPorts = {6200, 6201, 6202, 6203};
    param.m_vecUnixSocketIdx = {200, 201, 202, 203};
    param.m_vecShmKeys = {1200, 1201, 1202, 1203}; // each topic's segment takes one key
    param.m_iMaxMemPoolSize = 16 * 1024 * 1024;
    param.m_strEthName = "lo";
    CParticipant participant(param);

    // Our own layout: sixteen 4 KiB chunks and four 64 KiB ones in one System V segment. A writer
    // that finds every chunk of the size it asks for lent out waits (getEmptyDataBuffer's timeout).
    ShmConfig_t shm{};
    shm.m_bUseUserLayout = true;
    shm.m_iGroupCount = 2;
    shm.m_groups[0] = {0, 4096, 16};
    shm.m_groups[1] = {1, 65536, 4};
    CTopic* topic = participant.createTopic("example_loan_shm", &shm);
    CPublisher* publisher = participant.createPublisher();
    CSubscriber* subscriber = participant.createSubscriber();
    CDataWriter* writer = topic && publisher ? publisher->createDataWriter(topic) : nullptr;
    CDataReader* reader = topic && subscriber ? subscriber->createDataReader(topic, MESSAGES) : nullptr;
    if (!writer || !reader || !waitConnected(writer, reader)) {
        std::printf("loan_shm: no data channel\n");
        return 1;
    }

    // The writer tells each reader about a package through a ring of two notices and does not wait
    // for room: a writer that runs ahead of its readers loses messages ("Warning: Queue ... post ...
    // failed!"). Here the writer waits until the reader has given the previous message back.
    std::mutex mtx;
    std::condition_variable done;
    int received = 0;
    std::thread readerThread([&] {
        for (int i = 0; i < MESSAGES; ++i) {
            _ExtraDataInfo_t info{};
            _DataBuffer_t* buf = reader->getDataBuffer(2000, &info);
            if (!buf) {
                break; // nothing for two seconds
            }
            std::printf("loan_shm: got %d bytes \"%s\", sent at %llu us\n", buf->m_iLen,
                        reinterpret_cast<const char*>(buf->m_pData),
                        static_cast<unsigned long long>(info.m_u64TimeStamp));
            reader->releaseDataBuffer(buf); // the chunk goes back to the writer's pool
            std::lock_guard<std::mutex> lock(mtx);
            ++received;
            done.notify_one();
        }
    });

    for (int i = 0; i < MESSAGES; ++i) {
        _DataBuffer_t* buf = writer->getEmptyDataBuffer(PAYLOAD, 1000);
        if (!buf) {
            std::printf("loan_shm: no free chunk\n");
            break;
        }
        int n = std::snprintf(reinterpret_cast<char*>(buf->m_pData), static_cast<size_t>(buf->m_iSize),
                              "loaned message %d", i);
        buf->m_iLen = n + 1;            // with the terminating NUL
        writer->putFullDataBuffer(buf); // published in place; the buffer is the library's again
        std::unique_lock<std::mutex> lock(mtx);
        if (!done.wait_for(lock, std::chrono::seconds(2), [&] { return received > i; })) {
            break;
        }
    }
    readerThread.join();

    subscriber->deleteDataReader(reader);
    publisher->deleteDataWriter(writer);
    participant.deleteSubscriber(subscriber);
    participant.deletePublisher(publisher);
    participant.deleteTopic(topic);
    std::printf("loan_shm: %d of %d messages\n", received, MESSAGES);
    return received == MESSAGES ? 0 : 1;
}

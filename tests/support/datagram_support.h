// What the tests of the datagram media share: the datagrams a conforming sender makes of a
// package, and a data callback that keeps what it was handed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/transport/sender.h"
#include "memory/datacenter.h"

namespace dgramtest {

using Bytes = std::vector<uint8_t>;

// The whole datagrams of one package (its header, then its payload) in fragments of `fragPayload`.
inline std::vector<Bytes> fragmentsOf(const Bytes& pkg, uint32_t fragPayload)
{
    Bytes scratch(fragmentScratchSize(static_cast<uint32_t>(pkg.size() - DDS_HEADER_SIZE), fragPayload));
    DatagramList_t list;
    EXPECT_TRUE(buildFragments(pkg.data(), pkg.size(), fragPayload, scratch.data(), scratch.size(), list));
    std::vector<Bytes> out;
    for (const auto& d : list) {
        out.emplace_back(d.first, d.first + d.second);
    }
    return out;
}

// Payload byte i of a frame made with `seed`.
inline uint8_t patternByte(uint32_t seed, uint32_t i)
{
    return static_cast<uint8_t>(seed + i);
}

// The fragments of a frame of `payload` pattern bytes with the time stamp given.
inline std::vector<Bytes> fragmentsOf(uint32_t payload, uint64_t timeStamp, uint32_t seed, uint32_t fragPayload)
{
    Bytes pkg(DDS_HEADER_SIZE + payload);
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
    header.m_u64TimeStamp = timeStamp;
    header.m_u32DataLen = payload;
    writeDdsHeader(pkg.data(), header);
    for (uint32_t i = 0; i < payload; ++i) {
        pkg[DDS_HEADER_SIZE + i] = patternByte(seed, i);
    }
    return fragmentsOf(pkg, fragPayload);
}

// What the data callback saw.
struct Message {
    uint64_t timeStamp;
    Bytes payload;
};

// A receiver's data callback that copies every package out and keeps none.
class Collector {
public:
    int onPackage(DataPackage_t* pkg)
    {
        Message m;
        m.timeStamp = readDdsHeader(pkgData(pkg)).m_u64TimeStamp;
        m.payload.assign(pkgData(pkg) + DDS_HEADER_SIZE, pkgData(pkg) + pkg->m_iLen);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(std::move(m));
        m_cv.notify_all();
        return -1; // nothing kept: the center releases its reference
    }
    bool waitFor(size_t count, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_messages.size() >= count; });
    }
    std::vector<Message> messages()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Message> m_messages;
};

} // namespace dgramtest

// What the tests of the datagram media share: the datagrams a conforming sender makes of a
// package, a data callback that keeps what it was handed, and the fixtures of the senders' and
// receivers' tests.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/transport/sender.h"
#include "memory/datacenter.h"
#include "memory/normal_mem_pool.h"
#include "support/dgram_params.h"
#include "support/fragment_builder.h"
#include "support/zqtest.h"
#include "utils/dds_common.h"

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

// A package as a writer makes it: the header with the time stamp given, then `payload` bytes,
// byte i being byteAt(i).
template <typename ByteAt> Bytes packageWith(uint32_t payload, uint64_t timeStamp, ByteAt byteAt)
{
    Bytes pkg(DDS_HEADER_SIZE + payload);
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
    header.m_u64TimeStamp = timeStamp;
    header.m_u32DataLen = payload;
    writeDdsHeader(pkg.data(), header);
    for (uint32_t i = 0; i < payload; ++i) {
        pkg[DDS_HEADER_SIZE + i] = byteAt(i);
    }
    return pkg;
}

// Such a package of `payload` pattern bytes.
inline Bytes packageOf(uint32_t payload, uint64_t timeStamp, uint32_t seed)
{
    return packageWith(payload, timeStamp, [seed](uint32_t i) { return patternByte(seed, i); });
}

// The fragments of a frame of `payload` pattern bytes with the time stamp given.
inline std::vector<Bytes> fragmentsOf(uint32_t payload, uint64_t timeStamp, uint32_t seed, uint32_t fragPayload)
{
    return fragmentsOf(packageOf(payload, timeStamp, seed), fragPayload);
}

// Takes the datagram waiting on `fd` (at most 70000 bytes) into *out; false when recv fails.
inline bool recvDatagram(int fd, Bytes* out)
{
    Bytes buf(70000);
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0) {
        return false;
    }
    buf.resize(static_cast<size_t>(n));
    *out = std::move(buf);
    return true;
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

// Checks that `got` is message `n` of a writer that writes payload bytes (n + i) & 0xFF: its time
// stamp and size as given, then its bytes. Call through ASSERT_NO_FATAL_FAILURE.
inline void expectNumberedMessage(const Message& got, unsigned n, uint64_t timeStamp, size_t size)
{
    EXPECT_EQ(got.timeStamp, timeStamp) << "message " << n;
    ASSERT_EQ(got.payload.size(), size) << "message " << n;
    for (size_t i = 0; i < size; ++i) {
        if (got.payload[i] != static_cast<uint8_t>(n + i)) {
            FAIL() << "message " << n << " byte " << i;
        }
    }
}

// Drives a zqh_dgram_flood process: `bursts` bursts of `rounds` hostile sets, each followed by a
// good frame numbered from 0 that `collector` must receive before the next burst goes (so no
// socket queue ever overflows). Call through ASSERT_NO_FATAL_FAILURE.
inline void floodBursts(zqtest::ChildProcess& flood, Collector& collector, unsigned bursts, int rounds)
{
    ASSERT_TRUE(flood.waitForLine("ready", 10000)) << flood.output();
    const size_t before = collector.messages().size();
    for (unsigned n = 0; n < bursts; ++n) {
        ASSERT_TRUE(flood.writeInput("burst " + std::to_string(rounds) + " " + std::to_string(n) + "\n"));
        ASSERT_TRUE(flood.waitForLine("sent " + std::to_string(n), 10000)) << flood.output();
        ASSERT_TRUE(collector.waitFor(before + n + 1)) << "good frame " << n;
    }
    ASSERT_TRUE(flood.writeInput("quit\n"));
    EXPECT_NE(flood.wait(10000), -1);
    EXPECT_EQ(flood.exitCode(), 0) << flood.output();
    const std::vector<Message> got = collector.messages();
    ASSERT_EQ(got.size(), before + bursts);
    for (unsigned n = 0; n < bursts; ++n) {
        ASSERT_NO_FATAL_FAILURE(expectNumberedMessage(got[before + n], n, n, 100));
    }
}

// Lines of `output` that hold `text`.
inline int countLinesWith(const std::string& output, const std::string& text)
{
    int count = 0;
    for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + text.size())) {
        ++count;
    }
    return count;
}

// The pool, data manager and baselines that a sender's or receiver's test starts from, in private
// namespaces. The fixture destroys what it tests, then checks that nothing is left.
class MediumNsTest : public zqtest::NsTest {
protected:
    MediumNsTest(int largeSize, int largeCount) : m_poolCfg(poolConfig(largeSize, largeCount)) {}

    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        // The thread sanitizer starts a helper thread with the process's first thread: let it
        // start before counting.
        std::thread([] {}).join();
        m_baseFds = zqtest::countOpenFds();
        m_baseThreads = zqtest::baselineThreads();
        ASSERT_TRUE(m_pool.init(m_poolCfg));
        m_manager.setMemPool(&m_pool);
    }
    // Whether SetUp got as far as the pool.
    bool ready() const { return !IsSkipped() && !HasFatalFailure(); }
    void expectNothingLeft()
    {
        EXPECT_EQ(m_pool.getUsedSize(), 0u) << "every package went back";
        EXPECT_EQ(zqtest::countOpenFds(), m_baseFds) << "no descriptor left";
        EXPECT_EQ(zqtest::threadsSettleAt(m_baseThreads), m_baseThreads) << "no thread left";
    }

    const MemConfig_t m_poolCfg;
    int m_baseFds{0};
    int m_baseThreads{0};
    CNormalMemPool m_pool;
    CDataManager m_manager;
};

// A sender of the medium on the fixture's manager.
template <typename Sender> class SenderNsTest : public MediumNsTest {
protected:
    using MediumNsTest::MediumNsTest;

    void SetUp() override
    {
        MediumNsTest::SetUp();
        if (ready()) {
            m_sender = std::make_unique<Sender>(&m_manager);
        }
    }
    void TearDown() override
    {
        if (m_sender == nullptr) {
            return;
        }
        m_sender.reset();
        expectNothingLeft();
    }

    std::unique_ptr<Sender> m_sender;
};

// A receiver of the medium for `topic` on the fixture's manager, whose one data callback
// collects every package.
template <typename Receiver> class ReceiverNsTest : public MediumNsTest {
protected:
    ReceiverNsTest(const char* topic, int largeSize, int largeCount)
        : MediumNsTest(largeSize, largeCount), m_topic(topic)
    {
    }

    void SetUp() override
    {
        MediumNsTest::SetUp();
        if (!ready()) {
            return;
        }
        m_receiver = std::make_unique<Receiver>(m_topic, &m_manager);
        m_cbId =
            m_receiver->registerDataCallBack([this](int, DataPackage_t* pkg) { return m_collector.onPackage(pkg); });
        ASSERT_EQ(m_cbId, 1);
    }
    void TearDown() override
    {
        if (m_receiver == nullptr) {
            return;
        }
        m_receiver->unregisterDataCallBack(m_cbId);
        m_receiver.reset();
        expectNothingLeft();
    }

    // Drives `flood` (a zqh_dgram_flood process sending to the receiver, which `capture` has
    // watched since its init): 320 of each hostile datagram while the good frames still arrive.
    // Then each of `places` has printed a window's worth (two if the run spans a window's end),
    // and little else was printed. Call through ASSERT_NO_FATAL_FAILURE.
    void expectFloodPrintsAFewLines(zqtest::ChildProcess& flood, zqtest::OutputCapture& capture,
                                    const std::vector<const char*>& places)
    {
        constexpr unsigned kBursts = 80;
        ASSERT_NO_FATAL_FAILURE(floodBursts(flood, m_collector, kBursts, 4));
        m_receiver->deinit();
        capture.stop();
        const std::string& out = capture.out();
        const int most = 2 * DDS_LINES_PER_WINDOW;
        for (const char* place : places) {
            const int lines = countLinesWith(out, place);
            EXPECT_GE(lines, 1) << place;
            EXPECT_LE(lines, most) << place;
        }
        const int count = static_cast<int>(places.size());
        EXPECT_LE(countLinesWith(out, "[DDS] "), count * most + count + 4) << "the lines above, their notes, setup";
    }

    const char* m_topic;
    Collector m_collector;
    int m_cbId{-1};
    std::unique_ptr<Receiver> m_receiver;
};

// A package as a writer leaves it: header with stale bytes where the writer does not write, then
// `payload` bytes (seed + i * 7 + (i >> 8)).
inline std::vector<uint8_t> stalePackageOf(uint32_t payload, uint64_t timeStamp, uint8_t seed)
{
    std::vector<uint8_t> pkg(DDS_HEADER_SIZE + payload);
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_FIRST, MSG_TYPE_DATA);
    header.m_u64TimeStamp = timeStamp;
    header.m_u32DataLen = payload;
    header.m_u32TotalLen = 0xDEADBEEF;
    header.m_u32PktCount = 0xDEADBEEF;
    std::memset(header.m_u8Reserved, 0xAB, sizeof(header.m_u8Reserved));
    writeDdsHeader(pkg.data(), header);
    for (uint32_t i = 0; i < payload; ++i) {
        pkg[DDS_HEADER_SIZE + i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return pkg;
}

// A bound datagram socket at a path of this test's private /tmp.
struct BoundSocket {
    explicit BoundSocket(const std::string& p) : path(p)
    {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        std::memset(&addr, 0, sizeof(addr));
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        ::unlink(path.c_str());
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~BoundSocket()
    {
        ::close(fd);
        ::unlink(path.c_str());
    }
    // Every datagram queued now.
    std::vector<std::vector<uint8_t>> drain()
    {
        std::vector<std::vector<uint8_t>> got;
        std::vector<uint8_t> buf(70000);
        for (;;) {
            ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n < 0) {
                break;
            }
            got.emplace_back(buf.begin(), buf.begin() + n);
        }
        return got;
    }
    std::string path;
    int fd{-1};
    sockaddr_un addr;
    bool bound{false};
};

// A UDP socket bound at a loopback port, and the address it is reached at.
struct BoundUdpSocket {
    explicit BoundUdpSocket(uint16_t port)
    {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~BoundUdpSocket()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    BoundUdpSocket(const BoundUdpSocket&) = delete;
    BoundUdpSocket& operator=(const BoundUdpSocket&) = delete;
    int fd{-1};
    sockaddr_in addr{};
    bool bound{false};
};

// A test that sends on one unbound Unix datagram socket of its own, in private namespaces.
class UnixSendNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_sendFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(m_sendFd, 0);
    }
    void TearDown() override
    {
        if (m_sendFd >= 0) {
            ::close(m_sendFd);
        }
    }
    int m_sendFd{-1};
};

} // namespace dgramtest

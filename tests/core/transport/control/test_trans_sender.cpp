#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/resource_manager.h"
#include "core/transport/control/ctrl_peer.h"
#include "core/transport/control/trans_sender.h"
#include "memory/shm_mem_pool.h"
#include "memory/shm_test_util.h"
#include "support/zqtest.h"
#include "utils/ev_reactor.h"

// bind() and listen() of this program run the test's hook first, with the port at stake, and then
// the system's call: a test acts in the middle of the writing side's port probing, as another
// process of the same range would. The hook removes itself by returning true; what it calls
// itself goes straight to the system.
std::function<bool(const char*, int)> g_socketHook;
thread_local bool t_bInHook = false;

namespace {

void runSocketHook(const char* call, int port)
{
    if (!g_socketHook || t_bInHook) {
        return;
    }
    t_bInHook = true;
    if (g_socketHook(call, port)) {
        g_socketHook = nullptr;
    }
    t_bInHook = false;
}

int boundPort(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 ? ntohs(addr.sin_port) : -1;
}

} // namespace

extern "C" int bind(int fd, const sockaddr* addr, socklen_t len) noexcept
{
    static const auto real = reinterpret_cast<int (*)(int, const sockaddr*, socklen_t)>(dlsym(RTLD_NEXT, "bind"));
    if (addr != nullptr && addr->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
        sockaddr_in in{};
        std::memcpy(&in, addr, sizeof(in));
        runSocketHook("bind", ntohs(in.sin_port));
    }
    return real(fd, addr, len);
}

extern "C" int listen(int fd, int backlog) noexcept
{
    static const auto real = reinterpret_cast<int (*)(int, int)>(dlsym(RTLD_NEXT, "listen"));
    runSocketHook("listen", boundPort(fd));
    return real(fd, backlog);
}

// While positive, each pthread_create of this program fails with EAGAIN and counts down, as at
// a thread limit.
std::atomic<int> g_failThreads{0};

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) noexcept
{
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    int left = g_failThreads.load();
    while (left > 0) {
        if (g_failThreads.compare_exchange_weak(left, left - 1)) {
            return EAGAIN;
        }
    }
    return real(thread, attr, start, arg);
}

namespace {

using ctrltest::Bytes;
using ctrltest::TcpPeer;

// A real shared-memory pool (the default layout under its own key), so that the writing side
// picks that medium and its sender can start on it.
struct ShmTestPool {
    explicit ShmTestPool(int key)
    {
        MemConfig_t cfg{};
        CMemPool::getDefaultCfg(cfg);
        cfg.m_iKey = key;
        ok = pool.init(cfg);
    }
    CShmMemPool pool;
    bool ok{false};
};

class TransSenderNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        CResourceManager::getInstance()->setHostEthIp("lo", "127.0.0.1");
        ASSERT_TRUE(CEvReactor::getInstance()->init(100, 100));
        m_fdsBefore = zqtest::countOpenFds();
        m_threadsBefore = zqtest::baselineThreads();
    }

    void TearDown() override
    {
        m_sender.reset();
        CEvReactor::getInstance()->deinit();
    }

    // The writing side of `topic` listening on 127.0.0.1:`port`.
    CTransSender* open(int port, const std::string& topic, CMemPool* pool = nullptr)
    {
        m_sender.reset();
        m_topic = std::make_unique<ctrltest::TestTopic>(topic);
        m_sender = std::make_unique<CTransSender>();
        m_sender->setTopicImpl(&m_topic->impl);
        m_sender->setMemPool(pool != nullptr ? pool : &m_pool.pool);
        TransParam_t endpoint = ctrltest::tcpEndpoint("127.0.0.1", port);
        EXPECT_EQ(m_sender->setMsgTransParam(endpoint), 0);
        m_fdsOpen = zqtest::countOpenFds();
        return m_sender.get();
    }

    static void giveIndices(int first, int count)
    {
        for (int i = 0; i < count; ++i) {
            CResourceManager::getInstance()->putUnixSocketId(first + i);
        }
    }

    // The smallest free index (given back at once), or -1.
    static int peekIndex()
    {
        int id = CResourceManager::getInstance()->getUnixSocketId();
        if (id != -1) {
            CResourceManager::getInstance()->putUnixSocketId(id);
        }
        return id;
    }

    // A heartbeat on `peer` is answered, and the answer is the first thing that comes back.
    void expectServed(TcpPeer& peer)
    {
        ASSERT_TRUE(peer.send(ctrltest::heartbeatMsg(MSG_TYPE_HEARTBEAT, m_topic->impl.getTopicName())));
        Bytes answer;
        ASSERT_TRUE(peer.readMessage(&answer));
        EXPECT_EQ(ctrltest::typeOf(answer), MSG_TYPE_HEARTBEAT_ACK);
        std::string topic;
        EXPECT_TRUE(decodeHeartbeatMsg(answer.data(), answer.size(), MSG_TYPE_HEARTBEAT_ACK, &topic));
        EXPECT_EQ(topic, m_topic->impl.getTopicName());
    }

    bool fdsBackTo(int count) const
    {
        return zqtest::waitUntil([count] { return zqtest::countOpenFds() == count; }, 10000);
    }

    ctrltest::TestPool m_pool;
    std::unique_ptr<ctrltest::TestTopic> m_topic;
    std::unique_ptr<CTransSender> m_sender;
    int m_fdsBefore{0};
    int m_fdsOpen{0};
    int m_threadsBefore{0};
};

TEST_F(TransSenderNsTest, NegotiatesAUnixChannelAndReleasesItWhenTheConnectionCloses)
{
    giveIndices(4900, 2);
    CTransSender* sender = open(49000, "h9_neg");
    zqtest::OutputCapture capture;
    auto peer = TcpPeer::connectTo(49000);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->send(ctrltest::requestMsg("127.0.0.1", "h9_neg")));
    Bytes answer;
    ASSERT_TRUE(peer->readMessage(&answer));
    CtrlRequestAck_t ack;
    ASSERT_TRUE(decodeRequestAckMsg(answer.data(), answer.size(), &ack));
    EXPECT_EQ(ack.m_strIp, "127.0.0.1");
    EXPECT_EQ(ack.m_strTopic, "h9_neg");
    EXPECT_EQ(ack.m_param.m_iType, TRANS_TYPE_UNIX_SOCKET);
    EXPECT_EQ(ack.m_param.m_unixSocketParam.m_iId, 4900);
    EXPECT_STREQ(ack.m_param.m_unixSocketParam.m_szPath, "/tmp/h9_neg-4900");
    EXPECT_EQ(sender->getClientCount(), 1);
    EXPECT_TRUE(sender->isConnect());

    const int connFd = ctrltest::acceptedFdFor(peer->localPort());
    ASSERT_GE(connFd, 0);
    std::vector<ConnParam_t> channels;
    ASSERT_EQ(sender->getTopicDataTransParam("h9_neg", &channels), 0);
    ASSERT_EQ(channels.size(), 1u);
    EXPECT_EQ(channels[0].m_iFd, connFd);
    EXPECT_EQ(0, std::memcmp(&channels[0].m_param, &ack.m_param, sizeof(TransParam_t)));

    // A second request on the same connection gets no second channel, and its index goes back.
    ASSERT_TRUE(peer->send(ctrltest::requestMsg("127.0.0.1", "h9_neg")));
    expectServed(*peer);
    EXPECT_EQ(sender->getClientCount(), 1);
    EXPECT_EQ(peekIndex(), 4901);

    const int peerPort = peer->localPort();
    peer.reset();
    // The channel's record leaves its list last.
    ASSERT_TRUE(zqtest::waitUntil(
        [&] { return sender->getTopicDataTransParam("h9_neg", &channels) == 0 && channels.empty(); }, 10000));
    capture.stop();
    EXPECT_EQ(sender->getConnCount(), 0);
    EXPECT_EQ(sender->getClientCount(), 0);
    EXPECT_FALSE(sender->isConnect());
    EXPECT_EQ(peekIndex(), 4900);
    EXPECT_TRUE(fdsBackTo(m_fdsOpen));
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32",
                                   "iConnfd:" + std::to_string(connFd) +
                                       ", peer addr:127.0.0.1, peer port:" + std::to_string(peerPort)));
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", "socket " + std::to_string(connFd) + " disconnect!"));
}

TEST_F(TransSenderNsTest, PutsMessagesSplitAcrossReadsTogether)
{
    giveIndices(4905, 1);
    open(49001, "h9_split");
    const Bytes heartbeat = ctrltest::heartbeatMsg(MSG_TYPE_HEARTBEAT, "h9_split");
    auto peer = TcpPeer::connectTo(49001);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_sender->getConnCount() == 1; }, 5000));
    const int connFd = ctrltest::acceptedFdFor(peer->localPort());
    ASSERT_GE(connFd, 0);
    for (size_t split : {size_t{1}, size_t{4}, size_t{20}, size_t{33}, size_t{34}, size_t{35}, size_t{177}}) {
        // The first part has been read by the writing side before the second is sent.
        ASSERT_TRUE(peer->send(Bytes(heartbeat.begin(), heartbeat.begin() + static_cast<long>(split))));
        ASSERT_TRUE(ctrltest::waitDrained(connFd));
        ASSERT_TRUE(peer->send(Bytes(heartbeat.begin() + static_cast<long>(split), heartbeat.end())));
        Bytes answer;
        ASSERT_TRUE(peer->readMessage(&answer)) << "split at " << split;
        EXPECT_EQ(ctrltest::typeOf(answer), MSG_TYPE_HEARTBEAT_ACK) << "split at " << split;
    }
    const Bytes request = ctrltest::requestMsg("127.0.0.1", "h9_split");
    ASSERT_TRUE(peer->send(Bytes(request.begin(), request.begin() + 100)));
    ASSERT_TRUE(ctrltest::waitDrained(connFd));
    ASSERT_TRUE(peer->send(Bytes(request.begin() + 100, request.end())));
    Bytes answer;
    ASSERT_TRUE(peer->readMessage(&answer));
    EXPECT_EQ(ctrltest::typeOf(answer), MSG_TYPE_REQUEST_DATA_CHAN_ACK);
}

TEST_F(TransSenderNsTest, AnswersEveryMessageOfACoalescedRead)
{
    giveIndices(4906, 1);
    open(49002, "h9_coal");
    auto peer = TcpPeer::connectTo(49002);
    ASSERT_TRUE(peer);
    Bytes burst = ctrltest::requestMsg("127.0.0.1", "h9_coal");
    for (int i = 0; i < 3; ++i) {
        Bytes heartbeat = ctrltest::heartbeatMsg(MSG_TYPE_HEARTBEAT, "h9_coal");
        burst.insert(burst.end(), heartbeat.begin(), heartbeat.end());
    }
    ASSERT_TRUE(peer->send(burst));
    const uint8_t expected[] = {MSG_TYPE_REQUEST_DATA_CHAN_ACK, MSG_TYPE_HEARTBEAT_ACK, MSG_TYPE_HEARTBEAT_ACK,
                                MSG_TYPE_HEARTBEAT_ACK};
    for (uint8_t type : expected) {
        Bytes answer;
        ASSERT_TRUE(peer->readMessage(&answer));
        EXPECT_EQ(ctrltest::typeOf(answer), type);
    }
}

TEST_F(TransSenderNsTest, IgnoresMalformedMessagesAndKeepsServingTheConnection)
{
    giveIndices(4907, 1);
    open(49003, "h9_bad");
    const Bytes request = ctrltest::requestMsg("127.0.0.1", "h9_bad");
    const Bytes heartbeat = ctrltest::heartbeatMsg(MSG_TYPE_HEARTBEAT, "h9_bad");
    auto patched = [](Bytes bytes, size_t at, const Bytes& patch) {
        std::copy(patch.begin(), patch.end(), bytes.begin() + static_cast<long>(at));
        return bytes;
    };
    auto withDataLen = [](Bytes bytes, uint32_t dataLen) {
        DDSHeader_t header = readDdsHeader(bytes.data());
        header.m_u32DataLen = dataLen;
        writeDdsHeader(bytes.data(), header);
        bytes.resize(std::min<size_t>(bytes.size(), DDS_HEADER_SIZE + dataLen));
        return bytes;
    };
    const struct {
        const char* name;
        Bytes bytes;
        const char* line; // green line it prints, if any
    } cases[] = {
        {"bytes without a magic", Bytes(300, 'x'), nullptr},
        {"request with a broken magic", patched(request, 3, Bytes{'X'}), nullptr},
        {"length above the limit", withDataLen(request, 5000), nullptr},
        {"short request", withDataLen(request, 100), nullptr},
        {"request without a NUL in its topic", patched(request, 54, Bytes(128, 'h')), nullptr},
        {"request without a NUL in its address", patched(request, 38, Bytes(16, '1')), nullptr},
        {"request for another topic", ctrltest::requestMsg("127.0.0.1", "h9_other"), nullptr},
        {"heartbeat for another topic", ctrltest::heartbeatMsg(MSG_TYPE_HEARTBEAT, "h9_other"), nullptr},
        {"heartbeat without a NUL in its topic", patched(heartbeat, 50, Bytes(128, 'h')), nullptr},
        {"short heartbeat", withDataLen(heartbeat, 143), nullptr},
        {"heartbeat answer", ctrltest::heartbeatMsg(MSG_TYPE_HEARTBEAT_ACK, "h9_bad"), "type 11 is not supported!"},
        {"discovery message", patched(heartbeat, 5, Bytes{MSG_TYPE_DISCOVERY}), "type 12 is not supported!"},
        {"data package", patched(heartbeat, 5, Bytes{MSG_TYPE_DATA}), "type 100 is not supported!"},
    };
    auto peer = TcpPeer::connectTo(49003);
    ASSERT_TRUE(peer);
    for (const auto& c : cases) {
        zqtest::OutputCapture capture;
        ASSERT_TRUE(peer->send(c.bytes)) << c.name;
        expectServed(*peer);
        capture.stop();
        if (c.line != nullptr) {
            EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", c.line)) << c.name << ": " << capture.out();
        }
        EXPECT_EQ(m_sender->getClientCount(), 0) << c.name;
    }
    std::vector<ConnParam_t> channels;
    EXPECT_EQ(m_sender->getTopicDataTransParam("h9_bad", &channels), -1);
    EXPECT_EQ(peekIndex(), 4907);
}

TEST_F(TransSenderNsTest, RefusesARequestWhenThePoolIsEmptyAndNeverReturnsMinusOne)
{
    open(49004, "h9_empty");
    auto peer = TcpPeer::connectTo(49004);
    ASSERT_TRUE(peer);
    zqtest::OutputCapture capture;
    ASSERT_TRUE(peer->send(ctrltest::requestMsg("127.0.0.1", "h9_empty")));
    expectServed(*peer);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "Error: unix socket id container is empty!"));
    std::vector<ConnParam_t> channels;
    EXPECT_EQ(m_sender->getTopicDataTransParam("h9_empty", &channels), -1);
    EXPECT_EQ(m_sender->getClientCount(), 0);
    peer.reset();
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_sender->getConnCount() == 0; }, 10000));
    EXPECT_EQ(peekIndex(), -1);
}

TEST_F(TransSenderNsTest, ChoosesTheMediumByAddressAndPool)
{
    CResourceManager::getInstance()->putSocketPort(49090);
    CResourceManager::getInstance()->putShmKey(0x49);
    ShmTestPool shm(0x494949);
    ASSERT_TRUE(shm.ok);
    const std::string longTopic = "h9_" + std::string(60, 'l'); // "/tmp/<topic>-<index>" does not fit
    const struct {
        const char* name;
        int port;
        std::string topic;
        const char* requesterIp;
        CMemPool* pool;
        int type;
    } cases[] = {
        // Another configured interface of this machine: the address differs from the writer's.
        {"another address", 49005, "h9_medium", "127.0.0.7", nullptr, TRANS_TYPE_UDP},
        {"a topic with no path", 49006, longTopic, "127.0.0.1", nullptr, TRANS_TYPE_UDP},
        {"a shared-memory pool", 49007, "h9_medium", "127.0.0.1", &shm.pool, TRANS_TYPE_SHARE_MEMORY},
    };
    for (const auto& c : cases) {
        CTransSender* sender = open(c.port, c.topic, c.pool);
        auto peer = TcpPeer::connectTo(c.port, "127.0.0.1", c.requesterIp);
        ASSERT_TRUE(peer) << c.name;
        zqtest::OutputCapture capture;
        ASSERT_TRUE(peer->send(ctrltest::requestMsg(c.requesterIp, c.topic)));
        Bytes answer;
        ASSERT_TRUE(peer->readMessage(&answer)) << c.name;
        CtrlRequestAck_t ack;
        ASSERT_TRUE(decodeRequestAckMsg(answer.data(), answer.size(), &ack)) << c.name;
        EXPECT_EQ(ack.m_param.m_iType, c.type) << c.name;
        // Every medium is built in: one that is missing fails here.
        EXPECT_NE(sender->getSender(c.type), nullptr) << c.name;
        if (c.type == TRANS_TYPE_UDP) {
            EXPECT_EQ(ack.m_param.m_udpParam.m_iPort, 49090);
            EXPECT_STREQ(ack.m_param.m_udpParam.m_szIp, "127.0.0.1");
        } else {
            EXPECT_EQ(ack.m_param.m_shmParam.m_iQueueKey, CResourceManager::shmKeyOf(0x49));
            EXPECT_EQ(ack.m_param.m_shmParam.m_iMemPoolKey, 0x494949);
            EXPECT_EQ(ack.m_param.m_shmParam.m_layout.m_iGroupCount, shm.pool.getMemLayout().m_iGroupCount);
        }
        peer.reset();
        ASSERT_TRUE(zqtest::waitUntil([&] { return sender->getClientCount() == 0; }, 10000));
    }
    m_sender.reset();
}

TEST_F(TransSenderNsTest, SharedMemoryChannelNeedsAKeyAndGoesWithItsConnection)
{
    ShmTestPool shm(0x494950);
    ASSERT_TRUE(shm.ok);
    CTransSender* sender = open(49030, "s1_shm_chan", &shm.pool);
    const int segments = shmtest::segmentCount();
    auto peer = TcpPeer::connectTo(49030);
    ASSERT_TRUE(peer);

    // No key left: no answer, and no -1 goes into the key pool.
    zqtest::OutputCapture capture;
    ASSERT_TRUE(peer->send(ctrltest::requestMsg("127.0.0.1", "s1_shm_chan")));
    expectServed(*peer);
    EXPECT_EQ(CResourceManager::getInstance()->getShmKey(), -1);
    capture.stop();
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), "31", "Error: share memory key container is empty!"), 2);
    EXPECT_EQ(sender->getClientCount(), 0);
    EXPECT_EQ(shmtest::segmentCount(), segments);

    // With a key the same connection gets its channel: one queue segment more.
    CResourceManager::getInstance()->putShmKey(0x4950);
    ASSERT_TRUE(peer->send(ctrltest::requestMsg("127.0.0.1", "s1_shm_chan")));
    Bytes answer;
    ASSERT_TRUE(peer->readMessage(&answer));
    CtrlRequestAck_t ack;
    ASSERT_TRUE(decodeRequestAckMsg(answer.data(), answer.size(), &ack));
    ASSERT_EQ(ack.m_param.m_iType, TRANS_TYPE_SHARE_MEMORY);
    const int queueKey = CResourceManager::shmKeyOf(0x4950);
    EXPECT_EQ(ack.m_param.m_shmParam.m_iQueueKey, queueKey);
    EXPECT_EQ(ack.m_param.m_shmParam.m_iMemPoolKey, 0x494950);
    EXPECT_EQ(sender->getClientCount(), 1);
    EXPECT_TRUE(shmtest::keyExists(queueKey));
    EXPECT_EQ(shmtest::segmentCount(), segments + 1);

    // The connection closes: queue segment, key and descriptor all go, the descriptor once.
    peer.reset();
    std::vector<ConnParam_t> channels;
    ASSERT_TRUE(zqtest::waitUntil(
        [&] { return sender->getTopicDataTransParam("s1_shm_chan", &channels) == 0 && channels.empty(); }, 10000));
    EXPECT_EQ(sender->getClientCount(), 0);
    EXPECT_FALSE(shmtest::keyExists(queueKey));
    EXPECT_EQ(shmtest::segmentCount(), segments);
    EXPECT_TRUE(fdsBackTo(m_fdsOpen));
    {
        zqtest::OutputCapture quiet;
        EXPECT_EQ(CResourceManager::getInstance()->getShmKey(), queueKey);
    }
    m_sender.reset();
}

// A ring found corrupt while the writing side is torn down shuts its own control connection,
// never a socket that took the number meanwhile: the descriptor stays open until the queue's
// thread is joined.
TEST_F(TransSenderNsTest, TeardownKeepsEachControlDescriptorUntilItsQueueThreadIsJoined)
{
    ShmTestPool shm(0x494952);
    ASSERT_TRUE(shm.ok);
    CTransSender* sender = open(49032, "a6_teardown", &shm.pool);
    CResourceManager::getInstance()->putShmKey(0x4952);
    auto peer = TcpPeer::connectTo(49032);
    ASSERT_TRUE(peer);
    zqtest::OutputCapture capture;
    ASSERT_TRUE(peer->send(ctrltest::requestMsg("127.0.0.1", "a6_teardown")));
    Bytes answer;
    ASSERT_TRUE(peer->readMessage(&answer));
    CtrlRequestAck_t ack;
    ASSERT_TRUE(decodeRequestAckMsg(answer.data(), answer.size(), &ack));
    ASSERT_EQ(ack.m_param.m_iType, TRANS_TYPE_SHARE_MEMORY);
    std::vector<ConnParam_t> channels;
    ASSERT_EQ(sender->getTopicDataTransParam("a6_teardown", &channels), 0);
    ASSERT_EQ(channels.size(), 1u);
    const int ctrlFd = channels[0].m_iFd;
    shmtest::RawSegment ring(ack.m_param.m_shmParam.m_iQueueKey);
    ASSERT_TRUE(ring.ok());

    int other[2] = {-1, -1}; // an unrelated socket of this process
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, other), 0);
    bool openInWindow = false;
    bool tookNumber = false;
    bool found = false;
    sender->setBeforeChannelsGoHook([&] {
        openInWindow = fcntl(ctrlFd, F_GETFD) != -1;
        if (!openInWindow) {
            // A free number is the next one some other socket gets.
            tookNumber = dup2(other[0], ctrlFd) == ctrlFd;
        }
        // Ring 1 (the one the writer's queue thread reads) turns corrupt now; the thread marks
        // ring 0 corrupt for the reader before it shuts the connection.
        ring.setInt(80 + 4, -77);
        found = zqtest::waitUntil([&] { return ring.intAt(4) == -1; }, 10000);
    });
    m_sender.reset();
    capture.stop();
    EXPECT_TRUE(found) << capture.out();
    EXPECT_TRUE(openInWindow);
    pollfd pfd{other[1], POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 0) << "the unrelated socket was shut";
    // The reader's own connection ended.
    EXPECT_TRUE(peer->waitClosed(10000));
    if (tookNumber) {
        close(ctrlFd);
    }
    close(other[0]);
    close(other[1]);
}

TEST_F(TransSenderNsTest, SharedMemoryTopicWhosePoolFailedOffersNoChannel)
{
    CResourceManager::getInstance()->putShmKey(0x4951);
    CShmMemPool broken; // never initialised: no segment behind it
    CTransSender* sender = open(49031, "s1_shm_broken", &broken);
    auto peer = TcpPeer::connectTo(49031);
    ASSERT_TRUE(peer);
    zqtest::OutputCapture capture;
    ASSERT_TRUE(peer->send(ctrltest::requestMsg("127.0.0.1", "s1_shm_broken")));
    expectServed(*peer);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", "Init share memory server failed! mem pool addr: (nil)"));
    EXPECT_EQ(sender->getClientCount(), 0);
    EXPECT_FALSE(sender->getSender(TRANS_TYPE_SHARE_MEMORY)->isInit());
    EXPECT_EQ(shmtest::segmentCount(), 0);
    // The key went back for the next request.
    zqtest::OutputCapture quiet;
    EXPECT_EQ(CResourceManager::getInstance()->getShmKey(), CResourceManager::shmKeyOf(0x4951));
    peer.reset();
    ASSERT_TRUE(zqtest::waitUntil([&] { return sender->getConnCount() == 0; }, 10000));
    m_sender.reset();
}

TEST_F(TransSenderNsTest, TakesAndGivesBackEveryKindOfResource)
{
    open(49008, "h9_res");
    CResourceManager* resources = CResourceManager::getInstance();
    resources->putSocketPort(49091);
    resources->putUnixSocketId(4910);
    resources->putShmKey(0x4910);

    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    ASSERT_EQ(m_sender->allocDataTransChan(TRANS_TYPE_UDP, &param), 0);
    EXPECT_EQ(param.m_iType, TRANS_TYPE_UDP);
    EXPECT_EQ(param.m_udpParam.m_iPort, 49091);
    EXPECT_STREQ(param.m_udpParam.m_szIp, "127.0.0.1");
    ASSERT_EQ(m_sender->allocDataTransChan(TRANS_TYPE_UNIX_SOCKET, &param), 0);
    EXPECT_EQ(param.m_unixSocketParam.m_iId, 4910);
    EXPECT_STREQ(param.m_unixSocketParam.m_szPath, "/tmp/h9_res-4910");
    ASSERT_EQ(m_sender->allocDataTransChan(TRANS_TYPE_SHARE_MEMORY, &param), 0);
    const int key = param.m_shmParam.m_iQueueKey;
    EXPECT_EQ(key, CResourceManager::shmKeyOf(0x4910));

    TransParam_t untouched;
    std::memset(&untouched, 0x5a, sizeof(untouched));
    TransParam_t copy = untouched;
    EXPECT_EQ(m_sender->allocDataTransChan(TRANS_TYPE_PCIE + 1, &copy), -1);
    EXPECT_EQ(m_sender->allocDataTransChan(TRANS_TYPE_PCIE, &copy), -1) << "a medium without a resource";
    EXPECT_EQ(m_sender->allocDataTransChan(TRANS_TYPE_UDP, &copy), -1); // the port pool is empty now
    EXPECT_EQ(0, std::memcmp(&copy, &untouched, sizeof(copy)));

    EXPECT_EQ(m_sender->freeDataTransPort(TRANS_TYPE_UDP, 49091), 0);
    EXPECT_EQ(m_sender->freeDataTransPort(TRANS_TYPE_UNIX_SOCKET, 4910), 0);
    EXPECT_EQ(m_sender->freeDataTransPort(TRANS_TYPE_SHARE_MEMORY, key), 0);
    EXPECT_EQ(m_sender->freeDataTransPort(TRANS_TYPE_UDP, -1), -1);
    EXPECT_EQ(m_sender->freeDataTransPort(TRANS_TYPE_UNIX_SOCKET, -1), -1);
    EXPECT_EQ(m_sender->freeDataTransPort(TRANS_TYPE_PCIE + 1, 7), -1);
    EXPECT_EQ(m_sender->freeDataTransPort(TRANS_TYPE_PCIE, 7), -1);
    EXPECT_EQ(resources->getSocketPort(), 49091);
    EXPECT_EQ(resources->getUnixSocketId(), 4910);
    EXPECT_EQ(resources->getShmKey(), key);
    zqtest::OutputCapture quiet;
    EXPECT_EQ(resources->getSocketPort(), -1);
    EXPECT_EQ(resources->getUnixSocketId(), -1);
}

TEST_F(TransSenderNsTest, OpensOneEndpointOnly)
{
    open(49009, "h9_once");
    TransParam_t again = ctrltest::tcpEndpoint("127.0.0.1", 49010);
    EXPECT_EQ(m_sender->setMsgTransParam(again), -1);
    auto peer = TcpPeer::connectTo(49009);
    ASSERT_TRUE(peer);
    expectServed(*peer);
    EXPECT_FALSE(TcpPeer::connectTo(49010));

    CTransSender other;
    TransParam_t udp = ctrltest::tcpEndpoint("127.0.0.1", 49011);
    udp.m_iType = TRANS_TYPE_UDP;
    const int fds = zqtest::countOpenFds();
    EXPECT_EQ(other.setMsgTransParam(udp), -1);
    EXPECT_EQ(zqtest::countOpenFds(), fds);
}

TEST_F(TransSenderNsTest, ClosesWhatTheReactorRefuses)
{
    CEvReactor* reactor = CEvReactor::getInstance();
    reactor->deinit();
    ASSERT_TRUE(reactor->init(1, 100));
    int dummy = eventfd(0, EFD_CLOEXEC);
    ASSERT_TRUE(reactor->registerEvent(
        dummy, POLL_EVENT_READ, [](int, void*) {}, nullptr));
    const int fds = zqtest::countOpenFds();

    ctrltest::TestTopic topic("h9_full");
    auto sender = std::make_unique<CTransSender>();
    sender->setTopicImpl(&topic.impl);
    TransParam_t endpoint = ctrltest::tcpEndpoint("127.0.0.1", 49012);
    zqtest::OutputCapture capture;
    EXPECT_EQ(sender->setMsgTransParam(endpoint), -1);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "Too many event fd !!!"));
    EXPECT_EQ(zqtest::countOpenFds(), fds);

    // Room for the listening socket only: an accepted connection is refused and closed at once.
    ASSERT_TRUE(reactor->unregisterEvent(dummy));
    ASSERT_TRUE(zqtest::waitUntil([&] { return !reactor->isEventRegistered(dummy); }, 5000));
    ::close(dummy);
    ASSERT_EQ(sender->setMsgTransParam(endpoint), 0);
    auto peer = TcpPeer::connectTo(49012);
    ASSERT_TRUE(peer);
    EXPECT_TRUE(peer->waitClosed());
    EXPECT_EQ(sender->getConnCount(), 0);
    sender.reset();
    peer.reset();
    EXPECT_TRUE(fdsBackTo(fds - 1));
}

TEST_F(TransSenderNsTest, ServesEveryConnectionOpenedAndClosedInALoop)
{
    open(49013, "h9_loop");
    std::vector<std::unique_ptr<TcpPeer>> steady;
    for (int i = 0; i < 3; ++i) {
        steady.push_back(TcpPeer::connectTo(49013));
        ASSERT_TRUE(steady.back());
        expectServed(*steady.back());
    }
    for (int round = 0; round < 60; ++round) {
        auto peer = TcpPeer::connectTo(49013);
        ASSERT_TRUE(peer) << "round " << round;
        expectServed(*peer);
        if (round % 10 == 0) {
            expectServed(*steady[static_cast<size_t>(round / 10) % steady.size()]);
        }
    }
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_sender->getConnCount() == 3; }, 10000));
    for (auto& peer : steady) {
        expectServed(*peer);
    }
    steady.clear();
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_sender->getConnCount() == 0; }, 10000));
    EXPECT_TRUE(fdsBackTo(m_fdsOpen));
}

TEST_F(TransSenderNsTest, TeardownReleasesConnectionsWithAndWithoutAChannel)
{
    giveIndices(4920, 1);
    open(49014, "h9_down");
    auto withChannel = TcpPeer::connectTo(49014);
    auto withoutChannel = TcpPeer::connectTo(49014);
    ASSERT_TRUE(withChannel && withoutChannel);
    ASSERT_TRUE(withChannel->send(ctrltest::requestMsg("127.0.0.1", "h9_down")));
    Bytes answer;
    ASSERT_TRUE(withChannel->readMessage(&answer));
    ASSERT_EQ(ctrltest::typeOf(answer), MSG_TYPE_REQUEST_DATA_CHAN_ACK);
    expectServed(*withoutChannel);
    EXPECT_EQ(peekIndex(), -1);

    m_sender.reset();
    EXPECT_TRUE(withChannel->waitClosed());
    EXPECT_TRUE(withoutChannel->waitClosed());
    EXPECT_EQ(peekIndex(), 4920);
    withChannel.reset();
    withoutChannel.reset();
    EXPECT_TRUE(fdsBackTo(m_fdsBefore));
    EXPECT_TRUE(zqtest::waitUntil([&] { return zqtest::countThreads() == m_threadsBefore; }, 5000));
}

TEST_F(TransSenderNsTest, TearsDownWithoutAPollThread)
{
    CEvReactor::getInstance()->deinit();
    const int fds = zqtest::countOpenFds();
    {
        CTransSender* sender = open(49015, "h9_nopoll");
        auto peer = TcpPeer::connectTo(49015); // sits in the backlog: nothing serves it
        ASSERT_TRUE(peer);
        EXPECT_EQ(sender->getConnCount(), 0);
        m_sender.reset();
    }
    EXPECT_EQ(zqtest::countOpenFds(), fds);
}

TEST_F(TransSenderNsTest, PollLoopServesTheConnectionsItAcceptsOnItsOwn)
{
    // No reactor thread: only the loop can answer.
    CEvReactor::getInstance()->deinit();
    giveIndices(4940, 1);
    const int fds = zqtest::countOpenFds();
    {
        CTransSender* sender = open(49040, "h9_loop");
        sender->startMsgTask();
        auto peer = TcpPeer::connectTo(49040);
        ASSERT_TRUE(peer);
        ASSERT_TRUE(peer->send(ctrltest::requestMsg("127.0.0.1", "h9_loop")));
        Bytes answer;
        ASSERT_TRUE(peer->readMessage(&answer));
        CtrlRequestAck_t ack;
        ASSERT_TRUE(decodeRequestAckMsg(answer.data(), answer.size(), &ack));
        EXPECT_EQ(ack.m_param.m_iType, TRANS_TYPE_UNIX_SOCKET);
        EXPECT_EQ(ack.m_param.m_unixSocketParam.m_iId, 4940);
        expectServed(*peer);
        const int connFd = ctrltest::acceptedFdFor(peer->localPort());
        ASSERT_GE(connFd, 0);
        // The loop's own connection: the reactor is never asked to serve it.
        EXPECT_FALSE(CEvReactor::getInstance()->isEventRegistered(connFd));
        EXPECT_EQ(sender->getConnCount(), 1);

        peer.reset();
        ASSERT_TRUE(zqtest::waitUntil([&] { return sender->getConnCount() == 0; }, 10000));
        {
            // The count drops before the channel's index is back: wait for the index too.
            zqtest::OutputCapture quiet;
            EXPECT_TRUE(zqtest::waitUntil([&] { return peekIndex() == 4940; }, 10000));
        }
        // A second connection stays open when the object goes: the destructor closes it.
        peer = TcpPeer::connectTo(49040);
        ASSERT_TRUE(peer);
        ASSERT_TRUE(zqtest::waitUntil([&] { return sender->getConnCount() == 1; }, 10000));
        m_sender.reset();
        peer.reset();
    }
    EXPECT_EQ(zqtest::countOpenFds(), fds);
}

TEST_F(TransSenderNsTest, RefusesConnectionsWithoutSpinningWhenOutOfDescriptors)
{
    open(49016, "h9_emfile");
    // The client's socket exists before the limit drops; its connect needs no new descriptor.
    TcpPeer peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_GE(peer.fd(), 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    zqtest::OutputCapture capture;
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(49016);
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    const int connected = ::connect(peer.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    // Taken off the listener and closed, instead of staying ready on every pass.
    const bool closed = connected == 0 && peer.waitClosed();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    capture.stop();
    EXPECT_TRUE(closed);
    EXPECT_NE(capture.out().find(" accept error: Too many open files."), std::string::npos) << capture.out();
    // The reserve is back: later connections are served.
    auto next = TcpPeer::connectTo(49016);
    ASSERT_TRUE(next);
    expectServed(*next);
}

TEST_F(TransSenderNsTest, ClosesAConnectionWhoseAnswersCannotBeSent)
{
    open(49017, "h9_stall");
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(49017);
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    TcpPeer peer(fd);
    // Heartbeats are answered until the answers fill every buffer; the writer then gives up on
    // the connection instead of leaving the stream out of step.
    const Bytes heartbeat = ctrltest::heartbeatMsg(MSG_TYPE_HEARTBEAT, "h9_stall");
    bool refused = false;
    for (int i = 0; i < 400000 && !refused; ++i) {
        refused = !peer.send(heartbeat);
    }
    EXPECT_TRUE(refused);
    EXPECT_TRUE(zqtest::waitUntil([&] { return m_sender->getConnCount() == 0; }, 10000));
}

TEST_F(TransSenderNsTest, DropsAConnectionWhoseHostVanished)
{
    std::string error;
    auto host = zqtest::NetHost::create(&error);
    ASSERT_TRUE(host) << error;
    ASSERT_TRUE(zqtest::joinHosts(nullptr, "h9ka", "198.18.9.1/24", host.get(), "h9kb", "198.18.9.2/24", &error))
        << error;
    m_topic = std::make_unique<ctrltest::TestTopic>("h9_keep");
    m_sender = std::make_unique<CTransSender>();
    m_sender->setTopicImpl(&m_topic->impl);
    TransParam_t endpoint = ctrltest::tcpEndpoint("198.18.9.1", 49018);
    ASSERT_EQ(m_sender->setMsgTransParam(endpoint), 0);
    auto client = host->spawn({zqtest::helperPath("trans_peer"), "rawclient", "198.18.9.1", "49018", "h9_keep"});
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->waitForLine("ANSWERED", 10000)) << client->output();
    ASSERT_EQ(m_sender->getConnCount(), 1);
    // Gone without a FIN: only keepalive can tell.
    ASSERT_EQ(zqtest::runCommand({"ip", "link", "del", "h9ka"}), 0);
    EXPECT_TRUE(zqtest::waitUntil([&] { return m_sender->getConnCount() == 0; }, 30000));
}

TEST_F(TransSenderNsTest, FreesTheChannelOfAReaderProcessThatDied)
{
    giveIndices(4960, 2);
    CTransSender* sender = open(49019, "h9_proc");
    auto reader = zqtest::ChildProcess::spawn({zqtest::helperPath("trans_peer"), "reader", "49019", "h9_proc"});
    ASSERT_TRUE(reader);
    ASSERT_TRUE(reader->waitForLine("START", 10000)) << reader->output();
    ASSERT_TRUE(zqtest::waitUntil([&] { return sender->isConnect(); }, 5000));
    EXPECT_EQ(peekIndex(), 4961);
    ASSERT_TRUE(ctrltest::writeTestMessages(*sender, m_pool.pool, 20, 1000));
    ASSERT_TRUE(reader->waitForLine("GOT 20", 10000)) << reader->output();
    const int fdsConnected = zqtest::countOpenFds();
    EXPECT_GT(fdsConnected, m_fdsOpen);

    reader->signal(SIGKILL);
    reader->wait(5000);
    reader.reset();
    std::vector<ConnParam_t> channels;
    ASSERT_TRUE(zqtest::waitUntil(
        [&] { return sender->getTopicDataTransParam("h9_proc", &channels) == 0 && channels.empty(); }, 10000));
    EXPECT_EQ(peekIndex(), 4960);
    EXPECT_EQ(sender->getClientCount(), 0);
    EXPECT_FALSE(sender->isConnect());
    EXPECT_TRUE(fdsBackTo(m_fdsOpen));
}

// A TCP socket of "another process" bound to 127.0.0.1:`port` with address reuse, as the writing
// side binds; listening when asked.
int otherSocket(int port, bool listening)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || (listening && ::listen(fd, 4) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST_F(TransSenderNsTest, ASendThreadThatCannotStartRefusesTheChannel)
{
    CResourceManager* resources = CResourceManager::getInstance();
    resources->putSocketPort(49341);
    giveIndices(4934, 1);
    const struct {
        const char* name;
        int port;
        const char* requesterIp;
        int type;
    } cases[] = {
        {"udp", 49340, "127.0.0.7", TRANS_TYPE_UDP},
        {"unix socket", 49342, "127.0.0.1", TRANS_TYPE_UNIX_SOCKET},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CTransSender* sender = open(c.port, "c25_nothread");
        auto peer = TcpPeer::connectTo(c.port, "127.0.0.1", c.requesterIp);
        ASSERT_TRUE(peer);
        zqtest::OutputCapture capture;
        g_failThreads.store(1);
        // The heartbeat's answer comes first: the request got none.
        ASSERT_TRUE(peer->send(ctrltest::requestMsg(c.requesterIp, "c25_nothread")));
        ASSERT_TRUE(peer->send(ctrltest::heartbeatMsg(MSG_TYPE_HEARTBEAT, "c25_nothread")));
        Bytes answer;
        ASSERT_TRUE(peer->readMessage(&answer));
        capture.stop();
        EXPECT_EQ(g_failThreads.exchange(0), 0) << "no thread was started";
        EXPECT_EQ(ctrltest::typeOf(answer), MSG_TYPE_HEARTBEAT_ACK);
        EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31",
                                       "Error: topic c25_nothread data sender of transport type " +
                                           std::to_string(c.type) + " cannot start!"))
            << capture.out();
        EXPECT_FALSE(sender->getSender(c.type)->isInit());
        EXPECT_EQ(sender->getClientCount(), 0);
        EXPECT_EQ(sender->getTopicDataTransParam("c25_nothread", nullptr), -1) << "nothing recorded";
        // Every number is still free: the same request gets its channel once threads start again.
        ASSERT_TRUE(peer->send(ctrltest::requestMsg(c.requesterIp, "c25_nothread")));
        ASSERT_TRUE(peer->readMessage(&answer));
        CtrlRequestAck_t ack;
        ASSERT_TRUE(decodeRequestAckMsg(answer.data(), answer.size(), &ack));
        EXPECT_EQ(ack.m_param.m_iType, c.type);
        if (c.type == TRANS_TYPE_UDP) {
            EXPECT_EQ(ack.m_param.m_udpParam.m_iPort, 49341);
        } else {
            EXPECT_EQ(ack.m_param.m_unixSocketParam.m_iId, 4934);
        }
        peer.reset();
        ASSERT_TRUE(zqtest::waitUntil([&] { return sender->getClientCount() == 0; }, 10000));
    }
}

// Requests that keep being refused cost one line each only up to the line gate's budget: a
// requester that asks again and again cannot flood the output.
TEST_F(TransSenderNsTest, RefusedRequestsPrintTheirLineOnlyUpToTheBudget)
{
    const int refused = DDS_LINES_PER_WINDOW + 9;
    CResourceManager::getInstance()->putSocketPort(49345);
    CTransSender* sender = open(49344, "c30_refused");
    auto peer = TcpPeer::connectTo(49344, "127.0.0.1", "127.0.0.7");
    ASSERT_TRUE(peer);
    zqtest::OutputCapture capture;
    bool answered = true;
    for (int n = 0; n < refused && answered; ++n) {
        g_failThreads.store(1);
        Bytes answer;
        answered = peer->send(ctrltest::requestMsg("127.0.0.7", "c30_refused")) &&
                   peer->send(ctrltest::heartbeatMsg(MSG_TYPE_HEARTBEAT, "c30_refused")) &&
                   peer->readMessage(&answer) && ctrltest::typeOf(answer) == MSG_TYPE_HEARTBEAT_ACK;
    }
    g_failThreads.store(0);
    capture.stop();
    ASSERT_TRUE(answered) << capture.out();
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), "31",
                                    "Error: topic c30_refused data sender of transport type " +
                                        std::to_string(TRANS_TYPE_UDP) + " cannot start!"),
              DDS_LINES_PER_WINDOW)
        << capture.out();
    EXPECT_EQ(sender->getClientCount(), 0);
    peer.reset();
}

TEST_F(TransSenderNsTest, ControlEndpointTreatsAPortTakenAtListenLikeOneTakenAtBind)
{
    CResourceManager* resources = CResourceManager::getInstance();
    resources->putSocketPort(49301);
    // Another process of the range bound 49300 too, and listens between our bind and our listen.
    int other = otherSocket(49300, false);
    ASSERT_GE(other, 0);
    g_socketHook = [other](const char* call, int port) {
        if (std::strcmp(call, "listen") != 0 || port != 49300) {
            return false;
        }
        EXPECT_EQ(::listen(other, 4), 0);
        return true;
    };
    m_topic = std::make_unique<ctrltest::TestTopic>("c25_listen");
    m_sender = std::make_unique<CTransSender>();
    m_sender->setTopicImpl(&m_topic->impl);
    m_sender->setMemPool(&m_pool.pool);
    TransParam_t endpoint = ctrltest::tcpEndpoint("127.0.0.1", 49300);
    zqtest::OutputCapture capture;
    const int result = m_sender->setMsgTransParam(endpoint);
    capture.stop();
    g_socketHook = nullptr;
    ASSERT_EQ(result, 0) << capture.out();
    EXPECT_EQ(endpoint.m_tcpParam.m_iPort, 49301);
    EXPECT_TRUE(zqtest::hasDdsLine(
        capture.out(), "33",
        "Warning: port 49300 is in use by another process, topic c25_listen control endpoint takes port 49301"))
        << capture.out();
    EXPECT_NE(capture.err().find("listen: : Address already in use"), std::string::npos) << capture.err();
    auto peer = TcpPeer::connectTo(49301);
    ASSERT_TRUE(peer);
    expectServed(*peer);
    peer.reset();
    ::close(other);
    zqtest::OutputCapture quiet;
    EXPECT_EQ(resources->getSocketPort(), 49300);
    EXPECT_EQ(resources->getSocketPort(), -1);
}

TEST_F(TransSenderNsTest, ControlEndpointProbingHoldsNoPortItFoundTaken)
{
    CResourceManager* resources = CResourceManager::getInstance();
    int given = otherSocket(49310, true);
    int held = otherSocket(49311, true);
    ASSERT_TRUE(given >= 0 && held >= 0);
    resources->putSocketPort(49311);
    resources->putSocketPort(49312);
    // While the third port is tried, a concurrent request (a UDP channel, say) still finds the
    // second one, which another process holds for TCP only.
    int seen = -2;
    g_socketHook = [&](const char* call, int port) {
        if (std::strcmp(call, "bind") != 0 || port != 49312) {
            return false;
        }
        zqtest::OutputCapture quiet;
        seen = resources->getSocketPort();
        if (seen != -1) {
            resources->setAsideSocketPort(seen);
        }
        return true;
    };
    m_topic = std::make_unique<ctrltest::TestTopic>("c25_probe");
    m_sender = std::make_unique<CTransSender>();
    m_sender->setTopicImpl(&m_topic->impl);
    m_sender->setMemPool(&m_pool.pool);
    TransParam_t endpoint = ctrltest::tcpEndpoint("127.0.0.1", 49310);
    zqtest::OutputCapture capture;
    const int result = m_sender->setMsgTransParam(endpoint);
    capture.stop();
    g_socketHook = nullptr;
    ASSERT_EQ(result, 0) << capture.out();
    EXPECT_EQ(endpoint.m_tcpParam.m_iPort, 49312);
    EXPECT_EQ(seen, 49311);
    ::close(given);
    ::close(held);
    zqtest::OutputCapture quiet;
    EXPECT_EQ(resources->getSocketPort(), 49311);
    EXPECT_EQ(resources->getSocketPort(), 49310);
    EXPECT_EQ(resources->getSocketPort(), -1);
}

TEST_F(TransSenderNsTest, ControlEndpointThatCannotBeServedLosesNoPort)
{
    CResourceManager* resources = CResourceManager::getInstance();
    CEvReactor* reactor = CEvReactor::getInstance();
    int held = otherSocket(49320, true);
    ASSERT_GE(held, 0);
    resources->putSocketPort(49321);
    // A reactor whose table is full: the endpoint moves to 49321, then cannot be registered.
    reactor->deinit();
    ASSERT_TRUE(reactor->init(1, 100));
    int filler[2];
    ASSERT_EQ(pipe2(filler, O_CLOEXEC), 0);
    ASSERT_TRUE(reactor->registerEvent(
        filler[0], POLL_EVENT_READ, [](int, void*) {}, nullptr));
    m_topic = std::make_unique<ctrltest::TestTopic>("c25_full");
    CTransSender sender;
    sender.setTopicImpl(&m_topic->impl);
    sender.setMemPool(&m_pool.pool);
    TransParam_t endpoint = ctrltest::tcpEndpoint("127.0.0.1", 49320);
    const int fds = zqtest::countOpenFds();
    zqtest::OutputCapture capture;
    EXPECT_EQ(sender.setMsgTransParam(endpoint), -1);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "Too many event fd !!!")) << capture.out();
    EXPECT_EQ(zqtest::countOpenFds(), fds);
    // The caller records and announces the port it gave, so that one is not back in the pool;
    // the one taken here is.
    EXPECT_EQ(endpoint.m_tcpParam.m_iPort, 49320);
    {
        zqtest::OutputCapture quiet;
        EXPECT_EQ(resources->getSocketPort(), 49321);
        EXPECT_EQ(resources->getSocketPort(), -1);
    }
    reactor->unregisterEventAndClose(filler[0]);
    ::close(filler[1]);
    ::close(held);
}

// Opens the writing side on `ip`, the host address of this process.
CTransSender* openOn(std::unique_ptr<CTransSender>& sender, ctrltest::TestTopic& topic, CMemPool& pool, const char* ip,
                     int port)
{
    CResourceManager::getInstance()->setHostEthIp("veth", ip);
    sender = std::make_unique<CTransSender>();
    sender->setTopicImpl(&topic.impl);
    sender->setMemPool(&pool);
    TransParam_t endpoint = ctrltest::tcpEndpoint(ip, port);
    return sender->setMsgTransParam(endpoint) == 0 ? sender.get() : nullptr;
}

TEST_F(TransSenderNsTest, ServesARequestOnlyAtTheAddressItComesFrom)
{
    std::string error;
    auto other = zqtest::NetHost::create(&error);
    ASSERT_TRUE(other) << error;
    ASSERT_TRUE(zqtest::joinHosts(nullptr, "c17c", "198.18.18.1/24", other.get(), "c17d", "198.18.18.2/24", &error))
        << error;
    for (int port = 49181; port <= 49183; ++port) {
        CResourceManager::getInstance()->putSocketPort(port);
    }
    giveIndices(4980, 2);
    m_topic = std::make_unique<ctrltest::TestTopic>("c17_dest");
    CTransSender* sender = openOn(m_sender, *m_topic, m_pool.pool, "198.18.18.1", 49180);
    ASSERT_NE(sender, nullptr);
    // Where a forged request would send the topic.
    std::vector<int> sinks;
    for (int port = 49181; port <= 49183; ++port) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = inet_addr("127.0.0.2");
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        sinks.push_back(fd);
    }
    const struct {
        const char* name;
        bool otherHost;
        const char* requester;
        const char* answer;
    } cases[] = {
        {"another address of this host", false, "127.0.0.2", "REFUSED"},
        {"a multicast group", false, "224.1.2.3", "REFUSED"},
        {"the broadcast address", false, "255.255.255.255", "REFUSED"},
        {"no address", false, "0.0.0.0", "REFUSED"},
        {"another host", false, "198.18.18.2", "REFUSED"},
        {"not an address", false, "198.18.018.1", "REFUSED"},
        {"the writer's address, from another host", true, "198.18.18.1", "REFUSED"},
        {"loopback, from another host", true, "127.0.0.1", "REFUSED"},
        {"its own address, from another host", true, "198.18.18.2", "ACK 1"},
        {"its own address, from this host", false, "198.18.18.1", "ACK 2"},
    };
    std::vector<std::unique_ptr<zqtest::ChildProcess>> peers;
    for (const auto& c : cases) {
        std::vector<std::string> argv = {
            zqtest::helperPath("trans_peer"), "badreader", "198.18.18.1", "49180", "c17_dest", c.requester};
        auto peer = c.otherHost ? other->spawn(argv, &error) : zqtest::ChildProcess::spawn(argv, &error);
        ASSERT_TRUE(peer) << c.name << ": " << error;
        std::string line;
        ASSERT_TRUE(peer->waitForLine("", 10000, &line)) << c.name << ": " << peer->output();
        EXPECT_EQ(line, c.answer) << c.name;
        peers.push_back(std::move(peer)); // kept connected while the topic is written
    }
    EXPECT_EQ(sender->getClientCount(), 2);
    std::vector<ConnParam_t> channels;
    ASSERT_EQ(sender->getTopicDataTransParam("c17_dest", &channels), 0);
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_STREQ(channels[0].m_param.m_udpParam.m_szIp, "198.18.18.2");
    ASSERT_TRUE(ctrltest::writeTestMessages(*sender, m_pool.pool, 5, 100));
    for (int fd : sinks) {
        uint8_t datagram[2048];
        EXPECT_LT(::recv(fd, datagram, sizeof(datagram), MSG_DONTWAIT), 0) << "a datagram reached a forged address";
        ::close(fd);
    }
    peers.clear();
    ASSERT_TRUE(zqtest::waitUntil([&] { return sender->getClientCount() == 0; }, 10000));
}

// A reader that connects without binding (the kernel picks its source address by the route) on a
// host with two interfaces, configured on the other one than the writer: its request names its
// own address, not the connection's source, and still gets a UDP channel to that address.
TEST_F(TransSenderNsTest, ReaderThatConnectsWithoutBindingOnAMultiHomedHostIsServed)
{
    std::string error;
    ASSERT_TRUE(zqtest::joinHosts(nullptr, "c25a", "198.18.25.1/24", nullptr, "c25b", "198.18.25.2/24", &error))
        << error;
    zqtest::ScopeExit unlink([] { zqtest::runCommand({"ip", "link", "del", "c25a"}); });
    const struct {
        const char* name;
        const char* writerIp;
        const char* readerIp;
        int port;
    } cases[] = {
        {"reader on lo, writer on another interface", "198.18.25.1", "127.0.0.1", 49350},
        {"reader on another interface, writer on lo", "127.0.0.1", "198.18.25.1", 49352},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CResourceManager::getInstance()->putSocketPort(c.port + 1);
        m_topic = std::make_unique<ctrltest::TestTopic>("c25_plain");
        CTransSender* sender = openOn(m_sender, *m_topic, m_pool.pool, c.writerIp, c.port);
        ASSERT_NE(sender, nullptr);
        auto reader = zqtest::ChildProcess::spawn({zqtest::helperPath("trans_peer"), "plainreader", c.writerIp,
                                                   std::to_string(c.port), "c25_plain", c.readerIp},
                                                  &error);
        ASSERT_TRUE(reader) << error;
        std::string line;
        ASSERT_TRUE(reader->waitForLine("", 10000, &line)) << reader->output();
        ASSERT_EQ(line, "ACK 1") << reader->output();
        std::vector<ConnParam_t> channels;
        ASSERT_EQ(sender->getTopicDataTransParam("c25_plain", &channels), 0);
        ASSERT_EQ(channels.size(), 1u);
        EXPECT_STREQ(channels[0].m_param.m_udpParam.m_szIp, c.readerIp) << "data goes to the address it named";
        ASSERT_TRUE(ctrltest::writeTestMessages(*sender, m_pool.pool, 20, 100));
        EXPECT_TRUE(reader->waitForLine("GOT 20", 10000)) << reader->output();
        reader.reset();
        ASSERT_TRUE(zqtest::waitUntil([&] { return sender->getClientCount() == 0; }, 10000));
        m_sender.reset();
    }
}

TEST_F(TransSenderNsTest, HonestReadersOnThisHostAndAnotherGetTheirChannels)
{
    std::string error;
    auto other = zqtest::NetHost::create(&error);
    ASSERT_TRUE(other) << error;
    ASSERT_TRUE(zqtest::joinHosts(nullptr, "c17e", "198.18.19.1/24", other.get(), "c17f", "198.18.19.2/24", &error))
        << error;
    CResourceManager::getInstance()->putSocketPort(49191);
    giveIndices(4990, 1);
    m_topic = std::make_unique<ctrltest::TestTopic>("c17_honest");
    CTransSender* sender = openOn(m_sender, *m_topic, m_pool.pool, "198.18.19.1", 49190);
    ASSERT_NE(sender, nullptr);
    auto remote = other->spawn(
        {zqtest::helperPath("trans_peer"), "reader", "49190", "c17_honest", "198.18.19.2", "198.18.19.1"}, &error);
    auto local = zqtest::ChildProcess::spawn(
        {zqtest::helperPath("trans_peer"), "reader", "49190", "c17_honest", "198.18.19.1", "198.18.19.1"}, &error);
    ASSERT_TRUE(remote && local) << error;
    ASSERT_TRUE(remote->waitForLine("START", 10000)) << remote->output();
    ASSERT_TRUE(local->waitForLine("START", 10000)) << local->output();
    std::vector<ConnParam_t> channels;
    ASSERT_EQ(sender->getTopicDataTransParam("c17_honest", &channels), 0);
    ASSERT_EQ(channels.size(), 2u);
    std::vector<int> types = {channels[0].m_param.m_iType, channels[1].m_param.m_iType};
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types, (std::vector<int>{TRANS_TYPE_UDP, TRANS_TYPE_UNIX_SOCKET}));
    ASSERT_TRUE(ctrltest::writeTestMessages(*sender, m_pool.pool, 10, 2000));
    EXPECT_TRUE(remote->waitForLine("GOT 10", 10000)) << remote->output();
    EXPECT_TRUE(local->waitForLine("GOT 10", 10000)) << local->output();
}

// Runs a helper that holds a resource until its input closes.
std::unique_ptr<zqtest::ChildProcess> squat(const std::vector<std::string>& what, zqtest::NetHost* host = nullptr)
{
    std::vector<std::string> argv = {zqtest::helperPath("trans_peer"), "squat"};
    argv.insert(argv.end(), what.begin(), what.end());
    std::string error;
    auto squatter = host != nullptr ? host->spawn(argv, &error) : zqtest::ChildProcess::spawn(argv, &error);
    if (!squatter || !squatter->waitForLine("SQUATTING", 10000)) {
        ADD_FAILURE() << "squatter did not start: " << error << (squatter ? squatter->output() : "");
        return nullptr;
    }
    return squatter;
}

void endSquat(std::unique_ptr<zqtest::ChildProcess>& squatter)
{
    if (squatter) {
        squatter->closeInput();
        squatter->wait(5000);
        squatter.reset();
    }
}

void drainIndices()
{
    zqtest::OutputCapture quiet;
    while (CResourceManager::getInstance()->getUnixSocketId() != -1) {
    }
}

TEST_F(TransSenderNsTest, ControlEndpointTakesTheNextPortWhenAnotherProcessHoldsIt)
{
    auto squatter = squat({"tcp", "127.0.0.1", "49200"});
    auto squatter2 = squat({"tcp", "127.0.0.1", "49202"});
    auto squatter3 = squat({"tcp", "127.0.0.1", "49203"});
    ASSERT_TRUE(squatter && squatter2 && squatter3);
    CResourceManager* resources = CResourceManager::getInstance();
    m_topic = std::make_unique<ctrltest::TestTopic>("c17_ctlport");

    // The given port is held: the next of the range is taken, and the given one goes last.
    resources->putSocketPort(49201);
    m_sender = std::make_unique<CTransSender>();
    m_sender->setTopicImpl(&m_topic->impl);
    m_sender->setMemPool(&m_pool.pool);
    TransParam_t endpoint = ctrltest::tcpEndpoint("127.0.0.1", 49200);
    zqtest::OutputCapture capture;
    ASSERT_EQ(m_sender->setMsgTransParam(endpoint), 0);
    capture.stop();
    EXPECT_EQ(endpoint.m_tcpParam.m_iPort, 49201);
    EXPECT_TRUE(zqtest::hasDdsLine(
        capture.out(), "33",
        "Warning: port 49200 is in use by another process, topic c17_ctlport control endpoint takes port 49201"))
        << capture.out();
    const int fdsWithoutPeer = zqtest::countOpenFds();
    auto peer = TcpPeer::connectTo(49201);
    ASSERT_TRUE(peer);
    expectServed(*peer);
    peer.reset();
    // The reactor closes its end in its own time: counted below, it must be gone first.
    ASSERT_TRUE(fdsBackTo(fdsWithoutPeer));
    {
        zqtest::OutputCapture quiet;
        EXPECT_EQ(resources->getSocketPort(), 49200);
        EXPECT_EQ(resources->getSocketPort(), -1);
    }

    // No port of the range binds: refused as before, and the given port stays the caller's.
    resources->putSocketPort(49203);
    CTransSender refused;
    refused.setTopicImpl(&m_topic->impl);
    TransParam_t held = ctrltest::tcpEndpoint("127.0.0.1", 49202);
    const int fds = zqtest::countOpenFds();
    zqtest::OutputCapture capture2;
    EXPECT_EQ(refused.setMsgTransParam(held), -1);
    capture2.stop();
    EXPECT_EQ(held.m_tcpParam.m_iPort, 49202);
    EXPECT_TRUE(zqtest::hasDdsLine(capture2.out(), "32", "bindSocket failed!")) << capture2.out();
    EXPECT_EQ(zqtest::countOpenFds(), fds);
    zqtest::OutputCapture quiet;
    EXPECT_EQ(resources->getSocketPort(), 49203);
    EXPECT_EQ(resources->getSocketPort(), -1);
    endSquat(squatter);
    endSquat(squatter2);
    endSquat(squatter3);
}

TEST_F(TransSenderNsTest, OffersAnotherUdpPortWhenTheReadersHostHoldsTheFirst)
{
    std::string error;
    auto other = zqtest::NetHost::create(&error);
    ASSERT_TRUE(other) << error;
    ASSERT_TRUE(zqtest::joinHosts(nullptr, "c17g", "198.18.20.1/24", other.get(), "c17h", "198.18.20.2/24", &error))
        << error;
    CResourceManager::getInstance()->putSocketPort(49211);
    CResourceManager::getInstance()->putSocketPort(49212);
    m_topic = std::make_unique<ctrltest::TestTopic>("c17_udpsq");
    CTransSender* sender = openOn(m_sender, *m_topic, m_pool.pool, "198.18.20.1", 49210);
    ASSERT_NE(sender, nullptr);
    auto squatter = squat({"udp", "0.0.0.0", "49211"}, other.get());
    ASSERT_TRUE(squatter);
    auto reader = other->spawn(
        {zqtest::helperPath("trans_peer"), "reader", "49210", "c17_udpsq", "198.18.20.2", "198.18.20.1", "retry"},
        &error);
    ASSERT_TRUE(reader) << error;
    ASSERT_TRUE(reader->waitForLine("START", 30000)) << reader->output();
    std::vector<ConnParam_t> channels;
    ASSERT_EQ(sender->getTopicDataTransParam("c17_udpsq", &channels), 0);
    ASSERT_EQ(channels.size(), 1u);
    EXPECT_EQ(channels[0].m_param.m_udpParam.m_iPort, 49212);
    ASSERT_TRUE(ctrltest::writeTestMessages(*sender, m_pool.pool, 10, 1000));
    EXPECT_TRUE(reader->waitForLine("GOT 10", 10000)) << reader->output();
    endSquat(squatter);
}

TEST_F(TransSenderNsTest, OffersAnotherUnixIndexWhenItsPathIsTaken)
{
    const struct {
        const char* name;
        std::vector<std::string> command; // run to completion, or a squatter when empty
    } cases[] = {
        {"a regular file", {"touch", "/tmp/c17_sq0-4925"}},
        {"a directory", {"mkdir", "/tmp/c17_sq1-4925"}},
        {"a live socket of another process", {}},
    };
    int port = 49220;
    int round = 0;
    for (const auto& c : cases) {
        const std::string topic = "c17_sq" + std::to_string(round);
        const std::string path = "/tmp/" + topic + "-4925";
        drainIndices();
        giveIndices(4925, 2);
        std::unique_ptr<zqtest::ChildProcess> squatter;
        if (c.command.empty()) {
            squatter = squat({"unix", path});
            ASSERT_TRUE(squatter) << c.name;
        } else {
            ASSERT_EQ(zqtest::runCommand(c.command), 0) << c.name;
        }
        struct stat before;
        ASSERT_EQ(::lstat(path.c_str(), &before), 0) << c.name;
        CTransSender* sender = open(port, topic);
        auto reader = zqtest::ChildProcess::spawn({zqtest::helperPath("trans_peer"), "reader", std::to_string(port),
                                                   topic, "127.0.0.1", "127.0.0.1", "retry"});
        ASSERT_TRUE(reader) << c.name;
        ASSERT_TRUE(reader->waitForLine("START", 30000)) << c.name << ": " << reader->output();
        std::vector<ConnParam_t> channels;
        ASSERT_EQ(sender->getTopicDataTransParam(topic, &channels), 0) << c.name;
        ASSERT_EQ(channels.size(), 1u) << c.name;
        EXPECT_EQ(channels[0].m_param.m_unixSocketParam.m_iId, 4926) << c.name;
        ASSERT_TRUE(ctrltest::writeTestMessages(*sender, m_pool.pool, 5, 1000)) << c.name;
        EXPECT_TRUE(reader->waitForLine("GOT 5", 10000)) << c.name << ": " << reader->output();
        // What another program put there is left as it was.
        struct stat after;
        ASSERT_EQ(::lstat(path.c_str(), &after), 0) << c.name;
        EXPECT_EQ(after.st_ino, before.st_ino) << c.name;
        reader.reset();
        m_sender.reset();
        endSquat(squatter);
        ++port;
        ++round;
    }
}

TEST_F(TransSenderNsTest, OffersAnotherQueueKeyWhenItsSegmentCannotBeMade)
{
    // A segment under the first key that the writer, an ordinary user, may not remove.
    auto squatter = squat({"shm", std::to_string(CResourceManager::shmKeyOf(0x4960))});
    ASSERT_TRUE(squatter);
    auto writer =
        zqtest::ChildProcess::spawn({zqtest::helperPath("trans_peer"), "shmwriter", "49230", "c17_keysq",
                                     std::to_string(0x494960), std::to_string(0x4960), std::to_string(0x4961)});
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->waitForLine("READY", 10000)) << writer->output();
    auto peer = TcpPeer::connectTo(49230);
    ASSERT_TRUE(peer);
    m_topic = std::make_unique<ctrltest::TestTopic>("c17_keysq");
    ASSERT_TRUE(peer->send(ctrltest::requestMsg("127.0.0.1", "c17_keysq")));
    expectServed(*peer); // no channel: the key's segment is another's
    // Asked again, as the reader does: another key.
    ASSERT_TRUE(peer->send(ctrltest::requestMsg("127.0.0.1", "c17_keysq")));
    Bytes answer;
    ASSERT_TRUE(peer->readMessage(&answer)) << writer->output();
    CtrlRequestAck_t ack;
    ASSERT_TRUE(decodeRequestAckMsg(answer.data(), answer.size(), &ack)) << writer->output();
    EXPECT_EQ(ack.m_param.m_shmParam.m_iQueueKey, CResourceManager::shmKeyOf(0x4961));
    peer.reset();
    ASSERT_TRUE(writer->writeInput("quit\n"));
    EXPECT_TRUE(writer->waitForLine("DONE", 10000)) << writer->output();
    endSquat(squatter);
}

// A channel whose reader left before it confirmed the channel puts its resource to the back of the
// pool (the reader most likely could not use it), one that was confirmed gives it back in order:
// for each medium that the control channel offers on this host.
TEST_F(TransSenderNsTest, UnconfirmedChannelSetsItsResourceAsideAndAConfirmedOneGivesItBack)
{
    const struct {
        const char* topic;
        int port;
        int medium;
        int poolKey; // the topic's shared-memory pool, or 0 for the process-local one
    } cases[] = {
        {"c25_aside_unix", 49250, TRANS_TYPE_UNIX_SOCKET, 0},
        {"c25_aside_shm", 49251, TRANS_TYPE_SHARE_MEMORY, 0x494980},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.topic);
        CResourceManager* resources = CResourceManager::getInstance();
        std::unique_ptr<ShmTestPool> shm;
        if (c.poolKey != 0) {
            shm = std::make_unique<ShmTestPool>(c.poolKey);
            ASSERT_TRUE(shm->ok);
        }
        const int first = c.medium == TRANS_TYPE_SHARE_MEMORY ? CResourceManager::shmKeyOf(0x4980) : 4980;
        const int second = c.medium == TRANS_TYPE_SHARE_MEMORY ? CResourceManager::shmKeyOf(0x4981) : 4981;
        if (c.medium == TRANS_TYPE_SHARE_MEMORY) {
            resources->putShmKey(0x4980);
            resources->putShmKey(0x4981);
        } else {
            drainIndices();
            giveIndices(4980, 2);
        }
        CTransSender* sender = open(c.port, c.topic, shm ? &shm->pool : nullptr);
        // One request on a fresh connection: the number of the channel it was offered.
        auto offer = [&](bool confirm) {
            auto peer = TcpPeer::connectTo(c.port);
            EXPECT_TRUE(peer);
            if (!peer || !peer->send(ctrltest::requestMsg("127.0.0.1", c.topic))) {
                return -1;
            }
            Bytes answer;
            CtrlRequestAck_t ack;
            if (!peer->readMessage(&answer) || !decodeRequestAckMsg(answer.data(), answer.size(), &ack)) {
                return -1;
            }
            EXPECT_EQ(ack.m_param.m_iType, c.medium);
            if (c.medium == TRANS_TYPE_SHARE_MEMORY) {
                EXPECT_EQ(ack.m_param.m_shmParam.m_iMemPoolKey, c.poolKey); // the reader attaches the pool too
            }
            if (confirm) {
                expectServed(*peer);
            }
            peer.reset();
            // The list entry goes after the resource is back.
            std::vector<ConnParam_t> channels;
            EXPECT_TRUE(zqtest::waitUntil(
                [&] { return sender->getTopicDataTransParam(c.topic, &channels) == 0 && channels.empty(); }, 10000));
            return c.medium == TRANS_TYPE_SHARE_MEMORY ? ack.m_param.m_shmParam.m_iQueueKey
                                                       : ack.m_param.m_unixSocketParam.m_iId;
        };
        EXPECT_EQ(offer(false), first);
        EXPECT_EQ(offer(true), second); // the first is at the back now
        EXPECT_EQ(offer(true), second); // given back in order: still the first one out
        m_sender.reset();
        zqtest::OutputCapture quiet;
        if (c.medium == TRANS_TYPE_SHARE_MEMORY) {
            while (resources->getShmKey() != -1) {
            }
        }
    }
}

} // namespace

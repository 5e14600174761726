#include <fcntl.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/resource_manager.h"
#include "core/transport/control/ctrl_peer.h"
#include "core/transport/control/trans_receiver.h"
#include "core/transport/control/trans_sender.h"
#include "memory/datafifo.h"
#include "memory/shm_mem_pool.h"
#include "support/zqtest.h"
#include "utils/dds_common.h"
#include "utils/ev_reactor.h"

namespace {

using ctrltest::Bytes;
using ctrltest::TcpListener;
using ctrltest::TcpPeer;

TransParam_t unixChannel(const std::string& topic, int index)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_UNIX_SOCKET;
    param.m_unixSocketParam.m_iId = index;
    makeUnixSocketPath(topic, index, param.m_unixSocketParam.m_szPath);
    return param;
}

bool isSocketFile(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// What the reading side tells its owner: events and "topic waiting again" calls.
class Recorder {
public:
    void onEvent(int id, int event)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back({id, event});
        m_cv.notify_all();
    }
    void onTopicState(const std::string& topic, int state)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states.push_back(topic + ":" + std::to_string(state));
        m_cv.notify_all();
    }
    // Waits until `n` events of kind `event` were seen.
    bool waitEvents(int event, size_t n, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return countLocked(event) >= n; });
    }
    bool waitStates(size_t n, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_states.size() >= n; });
    }
    size_t count(int event)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return countLocked(event);
    }
    std::vector<std::pair<int, int>> events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    std::vector<std::string> states()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states;
    }

private:
    size_t countLocked(int event) const
    {
        size_t n = 0;
        for (const auto& e : m_events) {
            n += e.second == event ? 1 : 0;
        }
        return n;
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::pair<int, int>> m_events;
    std::vector<std::string> m_states;
};

class TransReceiverNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        CResourceManager::getInstance()->setHostEthIp("lo", "127.0.0.1");
        // A thread sanitizer starts its own thread with the first one of the process.
        std::thread([] {}).join();
        m_fdsBefore = zqtest::countOpenFds();
        m_threadsBefore = zqtest::baselineThreads();
    }

    void TearDown() override { m_receiver.reset(); }

    CTransReceiver* make(const std::string& topic)
    {
        m_receiver.reset();
        m_topic = std::make_unique<ctrltest::TestTopic>(topic);
        m_receiver = std::make_unique<CTransReceiver>();
        m_receiver->setTopicImpl(&m_topic->impl);
        m_receiver->setMemPool(&m_pool.pool);
        m_receiver->setTopicStateCallBack(
            [this](const std::string& name, int state) { m_recorder.onTopicState(name, state); });
        m_receiver->registerEventCallBack([this](int id, int event) { m_recorder.onEvent(id, event); });
        return m_receiver.get();
    }

    int connect(int port, const char* ip = "127.0.0.1")
    {
        TransParam_t endpoint = ctrltest::tcpEndpoint(ip, port);
        return m_receiver->setMsgTransParam(endpoint);
    }

    // Reads control messages until one of `type` comes; false on close or timeout.
    static bool readUntil(TcpPeer& peer, uint8_t type, Bytes* msg = nullptr, int timeoutMs = 5000)
    {
        Bytes got;
        while (peer.readMessage(&got, timeoutMs)) {
            if (ctrltest::typeOf(got) == type) {
                if (msg != nullptr) {
                    *msg = got;
                }
                return true;
            }
        }
        return false;
    }

    // Accepts the reading side, takes its request and brings the Unix channel up.
    std::unique_ptr<TcpPeer> bringUp(TcpListener& listener, const std::string& topic, int index)
    {
        auto writer = listener.accept();
        EXPECT_TRUE(writer);
        if (!writer) {
            return nullptr;
        }
        EXPECT_TRUE(readUntil(*writer, MSG_TYPE_REQUEST_DATA_CHAN));
        EXPECT_TRUE(writer->send(ctrltest::ackMsg(topic, unixChannel(topic, index))));
        EXPECT_TRUE(readUntil(*writer, MSG_TYPE_HEARTBEAT));
        return writer;
    }

    ctrltest::TestPool m_pool;
    std::unique_ptr<ctrltest::TestTopic> m_topic;
    Recorder m_recorder;
    std::unique_ptr<CTransReceiver> m_receiver;
    int m_fdsBefore{0};
    int m_threadsBefore{0};
};

TEST_F(TransReceiverNsTest, BringsTheChannelUpFromAnAcknowledgementSplitAcrossReads)
{
    TcpListener listener(49100);
    ASSERT_TRUE(listener.ok());
    CTransReceiver* receiver = make("h9_rx");
    zqtest::OutputCapture capture;
    ASSERT_EQ(connect(49100), 0);
    auto writer = listener.accept();
    ASSERT_TRUE(writer);
    Bytes request;
    ASSERT_TRUE(writer->readMessage(&request));
    CtrlRequest_t decoded;
    ASSERT_TRUE(decodeRequestMsg(request.data(), request.size(), &decoded));
    EXPECT_EQ(request.size(), CTRL_REQUEST_MSG_LEN);
    EXPECT_EQ(decoded.m_strIp, "127.0.0.1");
    EXPECT_EQ(decoded.m_strTopic, "h9_rx");

    const int controlFd = ctrltest::acceptedFdFor(49100); // the reading side's socket
    ASSERT_GE(controlFd, 0);
    const Bytes ack = ctrltest::ackMsg("h9_rx", unixChannel("h9_rx", 4930));
    for (size_t at : {size_t{0}, size_t{34}, size_t{178}}) {
        size_t end = at == 178 ? ack.size() : (at == 0 ? 34 : 178);
        ASSERT_TRUE(writer->send(Bytes(ack.begin() + static_cast<long>(at), ack.begin() + static_cast<long>(end))));
        ASSERT_TRUE(ctrltest::waitDrained(controlFd));
    }
    ASSERT_TRUE(m_recorder.waitEvents(EVENT_DATA_TRANS_START, 1));
    capture.stop();
    // The channel is reported up before the state turns to heartbeats.
    EXPECT_TRUE(zqtest::waitUntil([&] { return receiver->isConnect(); }, 5000));
    // The first heartbeat follows at once, whatever requests went out while the answer was split.
    ASSERT_TRUE(readUntil(*writer, MSG_TYPE_HEARTBEAT));
    EXPECT_TRUE(isSocketFile("/tmp/h9_rx-4930"));
    std::vector<ConnParam_t> channels;
    ASSERT_EQ(receiver->getTopicDataTransParam("h9_rx", &channels), 0);
    ASSERT_EQ(channels.size(), 1u);
    EXPECT_EQ(channels[0].m_iFd, -1);
    EXPECT_STREQ(channels[0].m_param.m_unixSocketParam.m_szPath, "/tmp/h9_rx-4930");
    EXPECT_EQ(receiver->getClientCount(), -1);

    m_receiver.reset();
    EXPECT_EQ(m_recorder.count(EVENT_DATA_TRANS_STOP), 1u);
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", "Connect ip 127.0.0.1 port 49100 success."));
    EXPECT_FALSE(zqtest::hasDdsLine(capture.out(), "31", "Error: Invalid data")) << capture.out();
    EXPECT_FALSE(isSocketFile("/tmp/h9_rx-4930"));
    EXPECT_TRUE(writer->waitClosed());
    writer.reset();
    EXPECT_EQ(zqtest::countOpenFds(), m_fdsBefore + 1); // the listener
    EXPECT_TRUE(zqtest::waitUntil([&] { return zqtest::countThreads() == m_threadsBefore; }, 5000));
}

TEST_F(TransReceiverNsTest, RefusesAcknowledgementsItCannotTrust)
{
    // A regular file at a path of our own form: the receiver must neither use nor remove it.
    const int victim = ::open("/tmp/h9_ack-4939", O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(victim, 0);
    ::close(victim);
    auto withParam = [](TransParam_t param) { return ctrltest::ackMsg("h9_ack", param); };
    auto patched = [](Bytes bytes, size_t at, const Bytes& patch) {
        std::copy(patch.begin(), patch.end(), bytes.begin() + static_cast<long>(at));
        return bytes;
    };
    const Bytes good = withParam(unixChannel("h9_ack", 4931));
    TransParam_t otherTopic = unixChannel("h9_other", 4932);
    TransParam_t outside = unixChannel("h9_ack", 4933);
    std::strcpy(outside.m_unixSocketParam.m_szPath, "/tmp/../etc/h9_ack-4933");
    TransParam_t wrongIndex = unixChannel("h9_ack", 4934);
    wrongIndex.m_unixSocketParam.m_iId = 4935;
    TransParam_t unknown = unixChannel("h9_ack", 4936);
    unknown.m_iType = 9;
    TransParam_t groups;
    std::memset(&groups, 0, sizeof(groups));
    groups.m_iType = TRANS_TYPE_SHARE_MEMORY;
    groups.m_shmParam.m_layout.m_iGroupCount = 17;
    Bytes dataLen = good;
    DDSHeader_t header = readDdsHeader(dataLen.data());
    header.m_u32DataLen = 367;
    writeDdsHeader(dataLen.data(), header);
    dataLen.pop_back();

    const struct {
        const char* name;
        Bytes ack;
    } cases[] = {
        {"data length", dataLen},
        {"path of another topic", withParam(otherTopic)},
        {"path outside the form", withParam(outside)},
        {"index that does not match the path", withParam(wrongIndex)},
        {"unknown medium", withParam(unknown)},
        {"too many groups", withParam(groups)},
        {"topic without a NUL", patched(good, 50, Bytes(128, 't'))},
        {"path without a NUL", patched(good, 178 + 8, Bytes(64, 'p'))},
        {"a file that is not a socket", withParam(unixChannel("h9_ack", 4939))},
    };
    TcpListener listener(49101);
    ASSERT_TRUE(listener.ok());
    CTransReceiver* receiver = make("h9_ack");
    size_t resets = 0;
    for (const auto& c : cases) {
        ASSERT_EQ(connect(49101), 0) << c.name;
        auto writer = listener.accept();
        ASSERT_TRUE(writer) << c.name;
        ASSERT_TRUE(readUntil(*writer, MSG_TYPE_REQUEST_DATA_CHAN)) << c.name;
        ASSERT_TRUE(writer->send(c.ack)) << c.name;
        // Not taken: the reading side asks again instead of sending a heartbeat.
        Bytes next;
        ASSERT_TRUE(writer->readMessage(&next)) << c.name;
        EXPECT_EQ(ctrltest::typeOf(next), MSG_TYPE_REQUEST_DATA_CHAN) << c.name;
        EXPECT_FALSE(receiver->isConnect()) << c.name;
        writer.reset();
        ASSERT_TRUE(m_recorder.waitStates(++resets)) << c.name;
    }
    EXPECT_EQ(m_recorder.count(EVENT_DATA_TRANS_START), 0u);
    struct stat st;
    ASSERT_EQ(::lstat("/tmp/h9_ack-4939", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    ASSERT_EQ(connect(49101), 0);
    auto writer = bringUp(listener, "h9_ack", 4931);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(m_recorder.waitEvents(EVENT_DATA_TRANS_START, 1));
}

TEST_F(TransReceiverNsTest, GivesUpAfterElevenUnansweredHeartbeats)
{
    TcpListener listener(49102);
    ASSERT_TRUE(listener.ok());
    CTransReceiver* receiver = make("h9_hb");
    ASSERT_EQ(connect(49102), 0);
    auto writer = bringUp(listener, "h9_hb", 4940);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(m_recorder.waitEvents(EVENT_DATA_TRANS_START, 1));
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(writer->send(ctrltest::heartbeatMsg(MSG_TYPE_HEARTBEAT_ACK, "h9_hb")));
        Bytes next;
        ASSERT_TRUE(writer->readMessage(&next));
        EXPECT_EQ(ctrltest::typeOf(next), MSG_TYPE_HEARTBEAT);
    }
    // Silence from here: one heartbeat per pass, a fault per timed-out read, the reset at the 11th.
    zqtest::OutputCapture capture;
    int unanswered = 0;
    Bytes msg;
    while (writer->readMessage(&msg, 10000)) {
        EXPECT_EQ(ctrltest::typeOf(msg), MSG_TYPE_HEARTBEAT);
        ++unanswered;
    }
    ASSERT_TRUE(m_recorder.waitStates(1));
    capture.stop();
    // With the one read last above, 11: one heartbeat per faulty pass.
    EXPECT_EQ(unanswered, 10);
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32",
                                   "Current state is STAT_HEARTBEAT, switch to STAT_IDLE, Exception count is 11."))
        << capture.out();
    EXPECT_EQ(m_recorder.states(), std::vector<std::string>{"h9_hb:0"});
    EXPECT_EQ(m_recorder.count(EVENT_DATA_TRANS_STOP), 1u);
    EXPECT_FALSE(receiver->isConnect());
    std::vector<ConnParam_t> channels;
    ASSERT_EQ(receiver->getTopicDataTransParam("h9_hb", &channels), 0);
    EXPECT_TRUE(channels.empty());
    EXPECT_FALSE(isSocketFile("/tmp/h9_hb-4940"));
}

TEST_F(TransReceiverNsTest, ResetsAtOnceWhenTheWriterCloses)
{
    TcpListener listener(49103);
    ASSERT_TRUE(listener.ok());
    make("h9_close");
    ASSERT_EQ(connect(49103), 0);
    auto writer = bringUp(listener, "h9_close", 4941);
    ASSERT_TRUE(writer);
    zqtest::OutputCapture capture;
    writer.reset();
    ASSERT_TRUE(m_recorder.waitStates(1));
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32",
                                   "Current state is STAT_HEARTBEAT, switch to STAT_IDLE, Exception count is 20."))
        << capture.out();
    const auto events = m_recorder.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].second, EVENT_DATA_TRANS_START);
    EXPECT_EQ(events[1].second, EVENT_DATA_TRANS_STOP);
}

TEST_F(TransReceiverNsTest, GivesUpAfterElevenFailedConnectsAndTakesANewEndpoint)
{
    CTransReceiver* receiver = make("h9_refused");
    zqtest::OutputCapture capture;
    ASSERT_EQ(connect(49104), 0);  // nobody listens
    EXPECT_EQ(connect(49105), -1); // a connection is being made
    ASSERT_TRUE(m_recorder.waitStates(1));
    capture.stop();
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), "32", "Connect ip 127.0.0.1 port 49104 failed!!!"), 11);
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32",
                                   "Current state is STAT_CONNECT, switch to STAT_IDLE, Exception count is 11."));
    EXPECT_NE(capture.err().find("connect: : Connection refused"), std::string::npos) << capture.err();
    EXPECT_EQ(m_recorder.count(EVENT_DATA_TRANS_STOP), 1u);
    EXPECT_EQ(m_recorder.states(), std::vector<std::string>{"h9_refused:0"});

    // The running control thread takes the next endpoint; no thread is added.
    const int threads = zqtest::baselineThreads();
    TcpListener listener(49105);
    ASSERT_TRUE(listener.ok());
    ASSERT_EQ(connect(49105), 0);
    auto writer = bringUp(listener, "h9_refused", 4942);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(zqtest::waitUntil([&] { return receiver->isConnect(); }, 5000));
    EXPECT_EQ(connect(49105), -1);
    EXPECT_EQ(zqtest::threadsSettleAt(threads + 1), threads + 1); // the data receiver's thread only
}

TEST_F(TransReceiverNsTest, BoundsEachConnectAgainstAnEndpointThatDropsSyns)
{
    // A full accept queue drops further SYNs.
    TcpListener listener(49106, 0);
    ASSERT_TRUE(listener.ok());
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(49106);
        addr.sin_addr.s_addr = inet_addr("127.0.0.1");
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        fillers.push_back(fd);
    }
    make("h9_syn");
    zqtest::OutputCapture capture;
    ASSERT_EQ(connect(49106), 0);
    ASSERT_TRUE(m_recorder.waitStates(1, 60000));
    capture.stop();
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), "32", "Connect ip 127.0.0.1 port 49106 failed!!!"), 11);
    EXPECT_NE(capture.err().find("connect: : Connection timed out"), std::string::npos) << capture.err();
    // Deleted in the middle of an attempt: the control thread ends with it.
    ASSERT_EQ(connect(49106), 0);
    m_receiver.reset();
    for (int fd : fillers) {
        ::close(fd);
    }
}

TEST_F(TransReceiverNsTest, ReleasesPackagesHeldAcrossAResetToTheirPool)
{
    CEvReactor::getInstance()->init(100, 100);
    CResourceManager::getInstance()->putUnixSocketId(4943);
    ctrltest::TestPool writerPool;
    ctrltest::TestTopic writerTopic("h9_held");
    auto sender = std::make_unique<CTransSender>();
    sender->setTopicImpl(&writerTopic.impl);
    sender->setMemPool(&writerPool.pool);
    TransParam_t endpoint = ctrltest::tcpEndpoint("127.0.0.1", 49107);
    ASSERT_EQ(sender->setMsgTransParam(endpoint), 0);

    std::mutex mutex;
    std::vector<DataPackage_t*> held;
    CTransReceiver* receiver = make("h9_held");
    // The callbacks below capture these locals: gone with the receiver on every way out.
    zqtest::ScopeExit cleanup([&] {
        m_receiver.reset();
        sender.reset();
        CEvReactor::getInstance()->deinit();
    });
    receiver->registerEventCallBack([&](int, int event) {
        if (event == EVENT_DATA_TRANS_START) {
            receiver->registerDataCallBack([&](int, DataPackage_t* pkg) {
                std::lock_guard<std::mutex> lock(mutex);
                held.push_back(pkg);
                return 0; // kept: given back later through the transport
            });
        }
    });
    ASSERT_EQ(connect(49107), 0);
    ASSERT_TRUE(m_recorder.waitEvents(EVENT_DATA_TRANS_START, 1));
    ASSERT_TRUE(zqtest::waitUntil([&] { return sender->isConnect(); }, 5000));
    // A FIFO made while the channel is up is given back after it went.
    CDataFifo* fifo = receiver->createDataFifo(FIFO_POLICY_DROP_OLDEST, 8);
    ASSERT_NE(fifo, nullptr);
    ASSERT_TRUE(ctrltest::writeTestMessages(*sender, writerPool.pool, 5, 3000));
    ASSERT_TRUE(zqtest::waitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return held.size() == 5;
        },
        10000));
    EXPECT_GT(m_pool.pool.getUsedSize(), 0u);

    sender.reset(); // the writer goes away: the channel and its receiver are gone
    ASSERT_TRUE(m_recorder.waitStates(1));
    for (DataPackage_t* pkg : held) {
        EXPECT_GE(ctrltest::checkTestMessage(pkg, 3000), 0);
        receiver->putEmptyDataPkg(pkg);
    }
    EXPECT_EQ(fifo->getCount(), 5u);
    receiver->destroyDataFifo(fifo);
    EXPECT_EQ(m_pool.pool.getUsedSize(), 0u);
}

TEST_F(TransReceiverNsTest, KeepsCallersSafeWhileTheChannelComesAndGoes)
{
    TcpListener listener(49108);
    ASSERT_TRUE(listener.ok());
    CTransReceiver* receiver = make("h9_race");
    std::atomic<bool> stop{false};
    std::vector<std::thread> callers;
    zqtest::ScopeExit joinCallers([&] {
        stop.store(true);
        for (auto& caller : callers) {
            caller.join();
        }
    });
    for (int i = 0; i < 3; ++i) {
        callers.emplace_back([&] {
            std::vector<int> fps;
            while (!stop.load()) {
                receiver->getFps(fps);
                receiver->getLostPkgCount();
                receiver->isConnect();
                int id = receiver->registerDataCallBack([](int, DataPackage_t*) { return 1; });
                receiver->unregisterDataCallBack(id);
                CDataFifo* fifo = receiver->createDataFifo(FIFO_POLICY_DROP_OLDEST, 4);
                receiver->destroyDataFifo(fifo);
                std::vector<ConnParam_t> channels;
                receiver->getTopicDataTransParam("h9_race", &channels);
            }
        });
    }
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(connect(49108), 0);
        auto writer = bringUp(listener, "h9_race", 4944);
        ASSERT_TRUE(writer);
        ASSERT_TRUE(m_recorder.waitEvents(EVENT_DATA_TRANS_START, static_cast<size_t>(round) + 1));
        writer.reset();
        ASSERT_TRUE(m_recorder.waitStates(static_cast<size_t>(round) + 1));
    }
}

TEST_F(TransReceiverNsTest, TalksToAWriterProcessAndSurvivesItsRestart)
{
    const std::string topic = "h9_two";
    std::mutex mutex;
    std::vector<int> received;
    int damaged = 0;
    int payloadSize = 1000;
    CTransReceiver* receiver = make(topic);
    int dataCbId = -1;
    // The callbacks below capture these locals: gone with the receiver on every way out.
    zqtest::ScopeExit dropReceiver([&] { m_receiver.reset(); });
    // As a data reader does: a data callback per channel, dropped when the channel goes.
    receiver->registerEventCallBack([&](int, int event) {
        if (event == EVENT_DATA_TRANS_STOP) {
            receiver->unregisterDataCallBack(dataCbId);
            dataCbId = -1;
        } else {
            dataCbId = receiver->registerDataCallBack([&](int, DataPackage_t* pkg) {
                std::lock_guard<std::mutex> lock(mutex);
                int index = ctrltest::checkTestMessage(pkg, payloadSize);
                if (index < 0) {
                    ++damaged;
                } else {
                    received.push_back(index);
                }
                return 1;
            });
        }
    });
    auto receivedAll = [&](size_t n) {
        return zqtest::waitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(mutex);
                return received.size() >= n;
            },
            10000);
    };
    auto startWriter = [&] {
        auto writer = zqtest::ChildProcess::spawn({zqtest::helperPath("trans_peer"), "writer", "49109", topic, "4945"});
        EXPECT_TRUE(writer && writer->waitForLine("READY", 10000));
        return writer;
    };

    auto writer = startWriter();
    ASSERT_TRUE(writer);
    ASSERT_EQ(connect(49109), 0);
    ASSERT_TRUE(m_recorder.waitEvents(EVENT_DATA_TRANS_START, 1));
    ASSERT_TRUE(writer->writeInput("send 30 1000\n"));
    ASSERT_TRUE(writer->waitForLine("SENT 30", 20000)) << writer->output();
    ASSERT_TRUE(receivedAll(30));

    // The writer dies: the reading side resets and waits for a publisher again.
    writer->signal(SIGKILL);
    writer->wait(5000);
    ASSERT_TRUE(m_recorder.waitStates(1));
    EXPECT_FALSE(receiver->isConnect());
    EXPECT_EQ(m_recorder.count(EVENT_DATA_TRANS_STOP), 1u);

    writer = startWriter();
    ASSERT_TRUE(writer);
    {
        std::lock_guard<std::mutex> lock(mutex);
        received.clear();
        payloadSize = 150000; // several fragments per message
    }
    ASSERT_EQ(connect(49109), 0);
    ASSERT_TRUE(m_recorder.waitEvents(EVENT_DATA_TRANS_START, 2));
    ASSERT_TRUE(writer->writeInput("send 10 150000\n"));
    ASSERT_TRUE(writer->waitForLine("SENT 10", 20000)) << writer->output();
    ASSERT_TRUE(receivedAll(10));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(damaged, 0);
        for (size_t i = 0; i < received.size(); ++i) {
            EXPECT_EQ(received[i], static_cast<int>(i));
        }
    }
    ASSERT_TRUE(writer->writeInput("quit\n"));
    ASSERT_TRUE(writer->waitForLine("DONE", 10000));
    ASSERT_TRUE(m_recorder.waitStates(2));
    writer.reset();

    m_receiver.reset();
    EXPECT_EQ(m_pool.pool.getUsedSize(), 0u);
    EXPECT_FALSE(isSocketFile("/tmp/h9_two-4945"));
    EXPECT_EQ(zqtest::countOpenFds(), m_fdsBefore);
    EXPECT_TRUE(zqtest::waitUntil([&] { return zqtest::countThreads() == m_threadsBefore; }, 5000));
}

// A System V segment of this host that a forged acknowledgement may name: it must stay untouched.
struct VictimSegment {
    VictimSegment(int key, size_t size) : m_size(size)
    {
        m_id = ::shmget(key, size, IPC_CREAT | IPC_EXCL | 0666);
        m_addr = m_id >= 0 ? ::shmat(m_id, nullptr, 0) : nullptr;
    }
    ~VictimSegment()
    {
        if (m_addr != nullptr && m_addr != reinterpret_cast<void*>(-1)) {
            ::shmdt(m_addr);
        }
        if (m_id >= 0) {
            ::shmctl(m_id, IPC_RMID, nullptr);
        }
    }
    bool ok() const { return m_id >= 0 && m_addr != reinterpret_cast<void*>(-1); }
    bool untouched() const
    {
        const auto* bytes = static_cast<const uint8_t*>(m_addr);
        return std::all_of(bytes, bytes + m_size, [](uint8_t b) { return b == 0; });
    }
    int attachCount() const
    {
        shmid_ds ds{};
        return ::shmctl(m_id, IPC_STAT, &ds) == 0 ? static_cast<int>(ds.shm_nattch) : -1;
    }

    int m_id{-1};
    void* m_addr{nullptr};
    size_t m_size;
};

TEST_F(TransReceiverNsTest, TakesOnlyChannelsAWriterWhereItIsCanOffer)
{
    std::string error;
    auto other = zqtest::NetHost::create(&error);
    ASSERT_TRUE(other) << error;
    ASSERT_TRUE(zqtest::joinHosts(nullptr, "c17a", "198.18.17.1/24", other.get(), "c17b", "198.18.17.2/24", &error))
        << error;
    CResourceManager::getInstance()->setHostEthIp("c17a", "198.18.17.1");
    VictimSegment pool(0x1717a1, 65536);
    VictimSegment queue(0x1717a2, 160);
    ASSERT_TRUE(pool.ok() && queue.ok());
    TcpListener victim(49170); // where a TCP answer would send the reader
    ASSERT_TRUE(victim.ok());
    const struct {
        const char* name;
        bool otherHost;
        std::vector<std::string> answer;
        bool taken;
    } cases[] = {
        {"Unix socket from another host", true, {"unix", "4970"}, false},
        {"shared memory from another host",
         true,
         {"shm", std::to_string(0x1717a2), std::to_string(0x1717a1), "1"},
         false},
        {"TCP from another host", true, {"tcp", "127.0.0.1", "49170"}, false},
        {"PCIe from another host", true, {"pcie"}, false},
        {"TCP from this host", false, {"tcp", "127.0.0.1", "49170"}, false},
        {"PCIe from this host", false, {"pcie"}, false},
        {"shared memory without a group",
         false,
         {"shm", std::to_string(0x1717a2), std::to_string(0x1717a1), "0"},
         false},
        {"Unix socket from this host", false, {"unix", "4971"}, true},
    };
    make("c17_forged");
    size_t resets = 0;
    int port = 49171;
    for (const auto& c : cases) {
        const std::string ip = c.otherHost ? "198.18.17.2" : "198.18.17.1";
        std::vector<std::string> argv = {zqtest::helperPath("trans_peer"), "fakewriter", ip, std::to_string(port),
                                         "c17_forged"};
        argv.insert(argv.end(), c.answer.begin(), c.answer.end());
        auto writer = c.otherHost ? other->spawn(argv, &error) : zqtest::ChildProcess::spawn(argv, &error);
        ASSERT_TRUE(writer) << c.name << ": " << error;
        ASSERT_TRUE(writer->waitForLine("LISTENING", 10000)) << c.name << ": " << writer->output();
        const size_t started = m_recorder.count(EVENT_DATA_TRANS_START);
        ASSERT_EQ(connect(port, ip.c_str()), 0) << c.name;
        if (c.taken) {
            ASSERT_TRUE(m_recorder.waitEvents(EVENT_DATA_TRANS_START, started + 1)) << c.name;
            writer.reset(); // the writer goes: the reader resets
            ASSERT_TRUE(m_recorder.waitStates(++resets)) << c.name;
        } else {
            // Refused every time it is given: the fault limit ends the connection.
            ASSERT_TRUE(m_recorder.waitStates(++resets, 20000)) << c.name;
            EXPECT_EQ(m_recorder.count(EVENT_DATA_TRANS_START), started) << c.name;
        }
        ++port;
    }
    EXPECT_FALSE(victim.accept(0)) << "the reader connected where a TCP answer named";
    EXPECT_TRUE(pool.untouched());
    EXPECT_TRUE(queue.untouched());
    EXPECT_EQ(pool.attachCount(), 1); // ours only
    EXPECT_EQ(queue.attachCount(), 1);
    EXPECT_FALSE(isSocketFile("/tmp/c17_forged-4970"));
}

TEST_F(TransReceiverNsTest, GivesUpOnAnEndpointThatAnswersGarbageWithFewLines)
{
    auto garbage = zqtest::ChildProcess::spawn(
        {zqtest::helperPath("trans_peer"), "fakewriter", "127.0.0.1", "49176", "c17_garbage", "garbage"});
    ASSERT_TRUE(garbage);
    ASSERT_TRUE(garbage->waitForLine("LISTENING", 10000)) << garbage->output();
    make("c17_garbage");
    // Sent there again after every reset, as forged discovery answers would.
    constexpr size_t kRounds = 14;
    zqtest::OutputCapture capture;
    for (size_t round = 1; round <= kRounds; ++round) {
        ASSERT_EQ(connect(49176), 0) << "round " << round;
        ASSERT_TRUE(m_recorder.waitStates(round)) << "round " << round;
    }
    capture.stop();
    EXPECT_EQ(m_recorder.count(EVENT_DATA_TRANS_START), 0u);
    // Every round ends at the fault limit, in the request state.
    const std::string resetLine = "Current state is STAT_REQUEST, switch to STAT_IDLE, Exception count is 11.";
    // At most a window's worth of each line in the two windows the test can span (its timeout).
    const int limit = 2 * DDS_LINES_PER_WINDOW;
    const int invalid = zqtest::countDdsLines(capture.out(), "31", "Error: Invalid data");
    EXPECT_GE(invalid, 1);
    EXPECT_LE(invalid, limit);
    const int resetsSaid = zqtest::countDdsLines(capture.out(), "32", resetLine);
    EXPECT_GE(resetsSaid, 1) << capture.out();
    EXPECT_LE(resetsSaid, limit);
    EXPECT_LT(resetsSaid, static_cast<int>(kRounds));
}

TEST_F(TransReceiverNsTest, DeadEndpointsPrintAFewLinesHoweverManyTheyAre)
{
    // Forged discovery answers name dead endpoints: first one topic is sent to four in turn,
    // then a hundred topics each to one of its own.
    auto receiverFor = [this](const std::string& topic, std::vector<std::unique_ptr<ctrltest::TestTopic>>* topics) {
        topics->push_back(std::make_unique<ctrltest::TestTopic>(topic));
        auto receiver = std::make_unique<CTransReceiver>();
        receiver->setTopicImpl(&topics->back()->impl);
        receiver->setMemPool(&m_pool.pool);
        receiver->setTopicStateCallBack(
            [this](const std::string& name, int state) { m_recorder.onTopicState(name, state); });
        return receiver;
    };
    auto deadEndpoint = [](int port) { return ctrltest::tcpEndpoint("127.0.0.1", port); };
    auto count = [](const std::string& where, const std::string& text) {
        int lines = 0;
        for (size_t at = where.find(text); at != std::string::npos; at = where.find(text, at + 1)) {
            ++lines;
        }
        return lines;
    };
    const int most = 2 * DDS_LINES_PER_WINDOW; // two windows if the run spans a window's end
    std::vector<std::unique_ptr<ctrltest::TestTopic>> topics;
    std::vector<std::unique_ptr<CTransReceiver>> receivers;
    auto capture = std::make_unique<zqtest::OutputCapture>();
    receivers.push_back(receiverFor("h25_dead", &topics));
    size_t resets = 0;
    for (int port = 49400; port < 49404; ++port) {
        TransParam_t endpoint = deadEndpoint(port);
        ASSERT_EQ(receivers[0]->setMsgTransParam(endpoint), 0);
        ASSERT_TRUE(m_recorder.waitStates(++resets));
    }
    capture->stop();
    {
        const std::string& out = capture->out();
        // The first endpoint is said in full, as for an honest writer that went away; after that
        // a window's worth at most, however many endpoints the answers name.
        EXPECT_EQ(zqtest::countDdsLines(out, "32", "Connect ip 127.0.0.1 port 49400 failed!!!"), 11) << out;
        const struct {
            const std::string& where;
            const char* text;
        } places[] = {
            {out, "failed!!!"}, {out, "switch to STAT_IDLE"}, {capture->err(), "connect: : Connection refused"}};
        for (const auto& place : places) {
            const int lines = count(place.where, place.text);
            EXPECT_GE(lines, 1) << place.text;
            EXPECT_LE(lines, most) << place.text;
        }
    }

    // Each topic of the process keeps its own budget: every one of a hundred says its failure.
    capture = std::make_unique<zqtest::OutputCapture>();
    for (int i = 0; i < 100; ++i) {
        receivers.push_back(receiverFor("h25_dead" + std::to_string(i), &topics));
        TransParam_t endpoint = deadEndpoint(49410 + i);
        ASSERT_EQ(receivers.back()->setMsgTransParam(endpoint), 0);
    }
    resets += 100;
    ASSERT_TRUE(m_recorder.waitStates(resets, 60000));
    receivers.clear();
    capture->stop();
    const std::string& out = capture->out();
    for (int i = 0; i < 100; ++i) {
        const int lines = count(out, "Connect ip 127.0.0.1 port " + std::to_string(49410 + i) + " failed!!!");
        EXPECT_GE(lines, 1) << "topic " << i;
        EXPECT_LE(lines, most) << "topic " << i;
    }
    EXPECT_EQ(m_recorder.states().size(), resets);
}

TEST_F(TransReceiverNsTest, StopsEverySharedMemoryChannelWhateverItLent)
{
    CEvReactor::getInstance()->init(100, 100);
    CResourceManager::getInstance()->putShmKey(0x1716);
    MemConfig_t cfg{};
    CMemPool::getDefaultCfg(cfg);
    cfg.m_iKey = 0x171717;
    CShmMemPool writerPool;
    ASSERT_TRUE(writerPool.init(cfg));
    ctrltest::TestTopic writerTopic("c17_lent");
    auto startWriter = [&] {
        auto sender = std::make_unique<CTransSender>();
        sender->setTopicImpl(&writerTopic.impl);
        sender->setMemPool(&writerPool);
        TransParam_t endpoint = ctrltest::tcpEndpoint("127.0.0.1", 49177);
        EXPECT_EQ(sender->setMsgTransParam(endpoint), 0);
        return sender;
    };
    auto poolAttachments = [] {
        shmid_ds ds{};
        int id = ::shmget(0x171717, 0, 0);
        return id >= 0 && ::shmctl(id, IPC_STAT, &ds) == 0 ? static_cast<int>(ds.shm_nattch) : -1;
    };
    CTransReceiver* receiver = make("c17_lent");
    int dataCbId = -1;
    receiver->registerEventCallBack([&](int, int event) {
        if (event == EVENT_DATA_TRANS_START) {
            // Kept, and given back before the callback returns, as an application may.
            dataCbId = receiver->registerDataCallBack([&](int, DataPackage_t* pkg) {
                receiver->putEmptyDataPkg(pkg);
                return 0;
            });
        } else {
            receiver->unregisterDataCallBack(dataCbId);
        }
    });

    // A first channel with a FIFO that outlives it.
    auto sender = startWriter();
    ASSERT_EQ(connect(49177), 0);
    ASSERT_TRUE(m_recorder.waitEvents(EVENT_DATA_TRANS_START, 1));
    CDataFifo* fifo = receiver->createDataFifo(FIFO_POLICY_DROP_OLDEST, 8);
    ASSERT_NE(fifo, nullptr);
    sender.reset();
    ASSERT_TRUE(m_recorder.waitStates(1));

    // A second channel, whose packages all came back at once.
    sender = startWriter();
    ASSERT_EQ(connect(49177), 0);
    ASSERT_TRUE(m_recorder.waitEvents(EVENT_DATA_TRANS_START, 2));
    ASSERT_TRUE(zqtest::waitUntil([&] { return sender->isConnect(); }, 5000));
    ASSERT_TRUE(ctrltest::writeTestMessages(*sender, writerPool, 3, 100));
    receiver->destroyDataFifo(fifo);
    sender.reset();
    ASSERT_TRUE(m_recorder.waitStates(2));
    // Stopped with the channel: its queue thread ends and the pool is let go, transport or not.
    // What runs then: the reactor's thread and the control thread.
    const int expected = m_threadsBefore + 2;
    EXPECT_EQ(zqtest::threadsSettleAt(expected), expected);
    EXPECT_TRUE(zqtest::waitUntil([&] { return poolAttachments() == 1; }, 5000)) << poolAttachments();
    m_receiver.reset();
    writerPool.deinit();
    CEvReactor::getInstance()->deinit();
}

TEST_F(TransReceiverNsTest, GivesUpOnAnEndpointThatAnswersHeartbeatsWithGarbage)
{
    auto writer = zqtest::ChildProcess::spawn({zqtest::helperPath("trans_peer"), "fakewriter", "127.0.0.1", "49178",
                                               "c17_hbgarbage", "unix", "4978", "thengarbage"});
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->waitForLine("LISTENING", 10000)) << writer->output();
    CTransReceiver* receiver = make("c17_hbgarbage");
    zqtest::OutputCapture capture;
    ASSERT_EQ(connect(49178), 0);
    ASSERT_TRUE(m_recorder.waitEvents(EVENT_DATA_TRANS_START, 1));
    // Bytes that are no heartbeat answer are not taken for one: the fault limit ends it.
    ASSERT_TRUE(m_recorder.waitStates(1, 20000));
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32",
                                   "Current state is STAT_HEARTBEAT, switch to STAT_IDLE, Exception count is 11."))
        << capture.out();
    EXPECT_EQ(m_recorder.count(EVENT_DATA_TRANS_STOP), 1u);
    EXPECT_FALSE(receiver->isConnect());
}

TEST(TransReceiverTest, RegistersEventCallbacksAndAnswersWithoutAChannel)
{
    std::vector<std::pair<int, int>> seen;
    {
        CTransReceiver receiver;
        auto record = [&seen](int id, int event) { seen.push_back({id, event}); };
        EXPECT_EQ(receiver.registerEventCallBack(record), 1);
        EXPECT_EQ(receiver.registerEventCallBack(record), 2);
        receiver.unregisterEventCallBack(2);
        receiver.unregisterEventCallBack(99);
        EXPECT_EQ(receiver.registerEventCallBack(record), 3);

        EXPECT_EQ(receiver.getClientCount(), -1);
        EXPECT_EQ(receiver.getLostPkgCount(), 0u);
        std::vector<int> fps{1};
        EXPECT_EQ(receiver.getFps(fps), 0);
        EXPECT_TRUE(fps.empty());
        EXPECT_EQ(receiver.registerDataCallBack([](int, DataPackage_t*) { return 1; }), -1);
        EXPECT_EQ(receiver.createDataFifo(FIFO_POLICY_DROP_OLDEST, 4), nullptr);
        EXPECT_FALSE(receiver.isConnect());
        std::vector<ConnParam_t> channels;
        EXPECT_EQ(receiver.getTopicDataTransParam("h9_none", &channels), -1);
        TransParam_t udp;
        std::memset(&udp, 0, sizeof(udp));
        udp.m_iType = TRANS_TYPE_UDP;
        EXPECT_EQ(receiver.setMsgTransParam(udp), -1);
        EXPECT_EQ(receiver.disconnect(), 0);
        EXPECT_TRUE(seen.empty());
    }
    // Deletion reports the channel as down to every registration, in id order.
    const std::vector<std::pair<int, int>> expected = {{1, EVENT_DATA_TRANS_STOP}, {3, EVENT_DATA_TRANS_STOP}};
    EXPECT_EQ(seen, expected);
}

} // namespace

// The publisher's registries: which topic handles it takes, the writing side of a topic (its
// transport, control endpoint and port, its own pool), and that side going with the topic's last
// writer in the publisher, whatever else uses the topic; a pool key another program holds.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/data_writer_impl.h"
#include "core/participant_impl.h"
#include "core/publisher_impl.h"
#include "core/pubsub_support.h"
#include "core/resource_manager.h"
#include "core/subscriber_impl.h"
#include "memory/shm_mem_pool.h"
#include "memory/shm_test_util.h"
#include "support/thread_state.h"
#include "support/zqtest.h"
#include "utils/ev_reactor.h"
#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"
#include "zqdds/topic.h"

namespace {

const std::string RED = "31";
const std::string GREEN = "32";

class PublisherImplNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_participant = start(530, 53000, 5300, 0x5300);
        ASSERT_TRUE(m_participant->isInitialized());
    }

    void TearDown() override
    {
        zqtest::OutputCapture quiet;
        m_participant.reset();
    }

    static std::unique_ptr<CParticipantImpl> start(int domain, int portBase, int unixBase, int keyBase, int count = 4)
    {
        zqtest::OutputCapture quiet;
        _DomainConfigParam_t param = pubsub::loRecord(domain, portBase, unixBase, keyBase, count);
        return std::make_unique<CParticipantImpl>(nullptr, param);
    }

    int controlPort(CPublisherImpl* pub, const std::string& topic)
    {
        TransParam_t param;
        memset(&param, 0, sizeof(param));
        return pub->getTopicMsgTransParam(topic, &param) == 0 ? param.m_tcpParam.m_iPort : -2;
    }

    // Creates a writer of the topic; `printed` gets what creating it printed.
    static CDataWriter* createWriterPrinting(CPublisherImpl& pub, CTopic* topic, std::string& printed)
    {
        zqtest::OutputCapture capture;
        CDataWriter* writer = pub.createDataWriter(topic);
        capture.stop();
        printed = capture.out();
        return writer;
    }

    struct ShmWriter {
        CTopic* topic;
        CDataWriter* writer;
        std::string printed; // by creating the writer
    };

    // A new shared-memory topic with one group of four 4 KiB chunks, created without printing,
    // and its writer in `pub` (none without the topic).
    ShmWriter createShmWriter(CPublisherImpl& pub, const char* name)
    {
        ShmWriter made{nullptr, nullptr, ""};
        ShmConfig_t config{};
        config.m_bUseUserLayout = true;
        config.m_iGroupCount = 1;
        config.m_groups[0] = MemGroup_t{0, 4096, 4};
        {
            zqtest::OutputCapture quiet;
            made.topic = m_participant->createTopic(name, &config);
        }
        if (made.topic != nullptr) {
            made.writer = createWriterPrinting(pub, made.topic, made.printed);
        }
        return made;
    }

    std::unique_ptr<CParticipantImpl> m_participant;
};

// Every socket port the process pool still holds, taken out and put back.
std::vector<int> freePorts()
{
    CResourceManager* res = CResourceManager::getInstance();
    std::vector<int> ports;
    zqtest::OutputCapture quiet;
    for (int port = res->getSocketPort(); port != -1; port = res->getSocketPort()) {
        ports.push_back(port);
    }
    for (int port : ports) {
        res->putSocketPort(port);
    }
    return ports;
}

TEST_F(PublisherImplNsTest, FirstWriterMakesTheTopicsEndpointAndTheSecondSharesIt)
{
    CPublisherImpl pub(m_participant.get());
    CTopic* topic = m_participant->createTopic("h13_shared", nullptr);
    ASSERT_NE(topic, nullptr);
    EXPECT_TRUE(pub.isNoWriters());
    EXPECT_FALSE(pub.isTopicExist("h13_shared"));

    CDataWriter* first = pub.createDataWriter(topic);
    ASSERT_NE(first, nullptr);
    CTransport* transport = pub.getTransport("h13_shared");
    ASSERT_NE(transport, nullptr);
    TransParam_t param;
    memset(&param, 0xAB, sizeof(param));
    ASSERT_EQ(pub.getTopicMsgTransParam("h13_shared", &param), 0);
    EXPECT_EQ(param.m_iType, TRANS_TYPE_TCP);
    EXPECT_STREQ(param.m_tcpParam.m_szIp, "127.0.0.1");
    EXPECT_EQ(param.m_tcpParam.m_iPort, 53000);
    EXPECT_EQ(freePorts(), (std::vector<int>{53001, 53002, 53003}));

    CDataWriter* second = pub.createDataWriter(topic);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(pub.getTransport("h13_shared"), transport);
    EXPECT_EQ(controlPort(&pub, "h13_shared"), 53000);
    EXPECT_EQ(freePorts(), (std::vector<int>{53001, 53002, 53003}));
    EXPECT_EQ(topic->getTopicDescImpl()->getReference(), 2);
    EXPECT_FALSE(pub.isNoWriters());
    EXPECT_TRUE(pub.isTopicExist("h13_shared"));
    EXPECT_EQ(pub.setTopicMsgTransParam("h13_shared", param), -1);

    // Deleting one of two keeps the transport; the last one takes it and gives the port back.
    EXPECT_EQ(pub.deleteDataWriter(first), 0);
    EXPECT_EQ(pub.getTransport("h13_shared"), transport);
    EXPECT_EQ(pub.deleteDataWriter(second), 0);
    EXPECT_EQ(pub.getTransport("h13_shared"), nullptr);
    EXPECT_FALSE(pub.isTopicExist("h13_shared"));
    EXPECT_EQ(controlPort(&pub, "h13_shared"), -2);
    EXPECT_EQ(freePorts(), (std::vector<int>{53000, 53001, 53002, 53003}));
    EXPECT_EQ(topic->getTopicDescImpl()->getReference(), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

TEST_F(PublisherImplNsTest, NullForeignAndDeletedTopicsAreRefusedWithoutSideEffect)
{
    auto other = start(531, 53050, 5310, 0x5310);
    CTopic* own = m_participant->createTopic("h13_handle", nullptr);
    CTopic* foreign = other->createTopic("h13_handle", nullptr);
    CTopic* foreignOnly = other->createTopic("h13_elsewhere", nullptr);
    CTopic* gone = m_participant->createTopic("h13_gone", nullptr);
    ASSERT_NE(own, nullptr);
    ASSERT_NE(foreign, nullptr);
    ASSERT_NE(foreignOnly, nullptr);
    ASSERT_NE(gone, nullptr);
    ASSERT_EQ(m_participant->deleteTopic(gone), 0);
    const std::vector<int> ports = freePorts();

    CPublisherImpl pub(m_participant.get());
    zqtest::OutputCapture capture;
    EXPECT_EQ(pub.createDataWriter(nullptr), nullptr);
    EXPECT_EQ(pub.createDataWriter(foreign), nullptr);
    EXPECT_EQ(pub.createDataWriter(foreignOnly), nullptr);
    EXPECT_EQ(pub.createDataWriter(gone), nullptr);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "Error: topic h13_handle is not exists."));
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "Error: topic h13_elsewhere is not exists."));

    EXPECT_EQ(foreign->getTopicDescImpl()->getReference(), 0);
    EXPECT_EQ(own->getTopicDescImpl()->getReference(), 0);
    EXPECT_TRUE(pub.isNoWriters());
    EXPECT_FALSE(pub.isTopicExist("h13_handle"));
    EXPECT_EQ(pub.getTransport("h13_handle"), nullptr);
    EXPECT_EQ(freePorts(), ports);
    // The local topic of the same name is not held by the refused writer.
    EXPECT_EQ(m_participant->deleteTopic(own), 0);
    EXPECT_EQ(other->deleteTopic(foreign), 0);
    EXPECT_EQ(other->deleteTopic(foreignOnly), 0);
}

TEST_F(PublisherImplNsTest, EmptyPortPoolGivesNoWriterAndPoisonsNothing)
{
    CPublisherImpl pub(m_participant.get());
    std::vector<CTopic*> topics;
    std::vector<CDataWriter*> writers;
    for (int i = 0; i < 5; ++i) {
        topics.push_back(m_participant->createTopic("h13_port" + std::to_string(i), nullptr));
        ASSERT_NE(topics.back(), nullptr);
    }
    for (int i = 0; i < 4; ++i) {
        writers.push_back(pub.createDataWriter(topics[static_cast<size_t>(i)]));
        ASSERT_NE(writers.back(), nullptr);
    }
    zqtest::OutputCapture capture;
    EXPECT_EQ(pub.createDataWriter(topics[4]), nullptr);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "Error: socket port container is empty!"));
    EXPECT_FALSE(pub.isTopicExist("h13_port4"));
    EXPECT_EQ(pub.getTransport("h13_port4"), nullptr);
    EXPECT_EQ(controlPort(&pub, "h13_port4"), -2);
    EXPECT_EQ(topics[4]->getTopicDescImpl()->getReference(), 0);

    for (CDataWriter* writer : writers) {
        EXPECT_EQ(pub.deleteDataWriter(writer), 0);
    }
    // Only real ports came back: a later writer gets the smallest of them, not -1.
    EXPECT_EQ(freePorts(), (std::vector<int>{53000, 53001, 53002, 53003}));
    CDataWriter* again = pub.createDataWriter(topics[4]);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(controlPort(&pub, "h13_port4"), 53000);
    EXPECT_EQ(pub.deleteDataWriter(again), 0);
    for (CTopic* topic : topics) {
        EXPECT_EQ(m_participant->deleteTopic(topic), 0);
    }
}

TEST_F(PublisherImplNsTest, WritersOfOneTopicInTwoPublishersHaveAnEndpointEach)
{
    CPublisherImpl a(m_participant.get());
    CPublisherImpl b(m_participant.get());
    CTopic* topic = m_participant->createTopic("h13_two", nullptr);
    CDataWriter* wa = a.createDataWriter(topic);
    CDataWriter* wb = b.createDataWriter(topic);
    ASSERT_NE(wa, nullptr);
    ASSERT_NE(wb, nullptr);
    EXPECT_EQ(controlPort(&a, "h13_two"), 53000);
    EXPECT_EQ(controlPort(&b, "h13_two"), 53001);

    // A writer of another publisher is not this one's: nothing changes in either.
    EXPECT_EQ(a.deleteDataWriter(wb), 0);
    EXPECT_EQ(a.deleteDataWriter(nullptr), -1);
    EXPECT_EQ(topic->getTopicDescImpl()->getReference(), 2);
    EXPECT_NE(b.getTransport("h13_two"), nullptr);
    EXPECT_TRUE(b.isTopicExist("h13_two"));

    // Each publisher's side goes with its own last writer of the topic, the other one stays.
    EXPECT_EQ(a.deleteDataWriter(wa), 0);
    EXPECT_EQ(a.getTransport("h13_two"), nullptr);
    EXPECT_FALSE(a.isTopicExist("h13_two"));
    EXPECT_TRUE(a.isNoWriters());
    EXPECT_EQ(freePorts(), (std::vector<int>{53000, 53002, 53003}));
    EXPECT_NE(b.getTransport("h13_two"), nullptr);
    EXPECT_EQ(b.deleteDataWriter(wb), 0);
    EXPECT_EQ(b.getTransport("h13_two"), nullptr);
    EXPECT_EQ(freePorts(), (std::vector<int>{53000, 53001, 53002, 53003}));
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

TEST_F(PublisherImplNsTest, LastWriterTakesTheSideAlongWhileAReaderRemains)
{
    CTopic* topic = m_participant->createTopic("h13_left_pub", nullptr);
    CPublisher* handle = m_participant->createPublisher();
    CSubscriber* sub = m_participant->createSubscriber();
    ASSERT_NE(handle, nullptr);
    ASSERT_NE(sub, nullptr);
    CDataWriter* writer = handle->createDataWriter(topic);
    ASSERT_NE(writer, nullptr);
    zqtest::OutputCapture quiet;
    CDataReader* reader = sub->createDataReader(topic, 4);
    quiet.stop();
    ASSERT_NE(reader, nullptr);
    const int fds = zqtest::countOpenFds();

    // Not the topic's last user (the reader remains), yet the publisher's last writer of it: the
    // writing side goes at once, endpoint, port and descriptors.
    EXPECT_EQ(handle->deleteDataWriter(writer), 0);
    EXPECT_EQ(freePorts(), (std::vector<int>{53000, 53001, 53002, 53003}));
    EXPECT_LT(zqtest::countOpenFds(), fds);
    TransParam_t param;
    EXPECT_EQ(m_participant->getPubTopicMsgTransParam("h13_left_pub", &param), -1);
    EXPECT_EQ(topic->getTopicDescImpl()->getReference(), 1);
    EXPECT_EQ(m_participant->deletePublisher(handle), 0);

    EXPECT_EQ(sub->deleteDataReader(reader), 0);
    EXPECT_EQ(m_participant->deleteSubscriber(sub), 0);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

// A writer and a reader of one topic deleted at once: each takes its own side along.
TEST_F(PublisherImplNsTest, ConcurrentDeletesOfAWriterAndAReaderTakeBothSides)
{
    CTopic* topic = m_participant->createTopic("h13_race", nullptr);
    CPublisherImpl pub(m_participant.get());
    CSubscriberImpl sub(m_participant.get());
    zqtest::OutputCapture quiet;
    for (int round = 0; round < 40; ++round) {
        CDataWriter* writer = pub.createDataWriter(topic);
        CDataReader* reader = sub.createDataReader(topic, 2);
        ASSERT_NE(writer, nullptr);
        ASSERT_NE(reader, nullptr);
        std::atomic<int> ready{0};
        std::thread t1([&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            pub.deleteDataWriter(writer);
        });
        std::thread t2([&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            sub.deleteDataReader(reader);
        });
        t1.join();
        t2.join();
        ASSERT_EQ(pub.getTransport("h13_race"), nullptr) << "round " << round;
        ASSERT_EQ(sub.getTransport("h13_race"), nullptr) << "round " << round;
        ASSERT_EQ(topic->getTopicDescImpl()->getReference(), 0) << "round " << round;
    }
    quiet.stop();
    EXPECT_EQ(freePorts(), (std::vector<int>{53000, 53001, 53002, 53003}));
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

TEST_F(PublisherImplNsTest, SharedMemoryTopicGetsItsOwnPool)
{
    ShmConfig_t config{};
    config.m_bUseUserLayout = true;
    config.m_iGroupCount = 1;
    config.m_groups[0] = MemGroup_t{0, 4096, 4};
    CTopic* shm = m_participant->createTopic("h13_shm_pool", &config);
    CTopic* local = m_participant->createTopic("h13_local_pool", nullptr);
    ASSERT_NE(shm, nullptr);
    ASSERT_NE(local, nullptr);
    CPublisherImpl pub(m_participant.get());
    CDataWriter* ws = pub.createDataWriter(shm);
    CDataWriter* wl = pub.createDataWriter(local);
    ASSERT_NE(ws, nullptr);
    ASSERT_NE(wl, nullptr);

    DataPackage_t* fromShm = pub.getEmptyDataPkg("h13_shm_pool", 100, 0);
    DataPackage_t* fromLocal = pub.getEmptyDataPkg("h13_local_pool", 100, 0);
    ASSERT_NE(fromShm, nullptr);
    ASSERT_NE(fromLocal, nullptr);
    EXPECT_TRUE(fromShm->m_bShm);
    EXPECT_EQ(fromShm->m_iSize, 4096);
    EXPECT_FALSE(fromLocal->m_bShm);
    EXPECT_EQ(m_participant->getMemPool()->getUsedSize(), static_cast<uint32_t>(fromLocal->m_iSize));
    // Fresh packages: referred once, so that the release gives them back.
    referChunk(getChunkAddr(fromShm));
    referChunk(getChunkAddr(fromLocal));
    pub.putEmptyDataPkg("h13_shm_pool", fromShm);
    pub.putEmptyDataPkg("h13_local_pool", fromLocal);
    EXPECT_EQ(m_participant->getMemPool()->getUsedSize(), 0u);

    EXPECT_EQ(pub.deleteDataWriter(ws), 0);
    EXPECT_EQ(pub.deleteDataWriter(wl), 0);
    EXPECT_EQ(m_participant->deleteTopic(shm), 0);
    EXPECT_EQ(m_participant->deleteTopic(local), 0);
}

TEST_F(PublisherImplNsTest, TopicWithoutAKeyWritesThroughTheParticipantsPool)
{
    ShmConfig_t config{};
    config.m_bUseUserLayout = true;
    config.m_iGroupCount = 1;
    config.m_groups[0] = MemGroup_t{0, 4096, 4};
    std::vector<CTopic*> topics;
    {
        zqtest::OutputCapture quiet;
        // The four keys of the pool go to the first four; the fifth gets none.
        for (int i = 0; i < 5; ++i) {
            topics.push_back(m_participant->createTopic("h13_key" + std::to_string(i), &config));
        }
    }
    for (CTopic* topic : topics) {
        ASSERT_NE(topic, nullptr);
    }
    CPublisherImpl pub(m_participant.get());
    CDataWriter* writer = pub.createDataWriter(topics[4]);
    ASSERT_NE(writer, nullptr);

    DataPackage_t* pkg = pub.getEmptyDataPkg("h13_key4", 100, 0);
    ASSERT_NE(pkg, nullptr);
    EXPECT_FALSE(pkg->m_bShm);
    EXPECT_EQ(m_participant->getMemPool()->getUsedSize(), static_cast<uint32_t>(pkg->m_iSize));
    referChunk(getChunkAddr(pkg));
    pub.putEmptyDataPkg("h13_key4", pkg);
    EXPECT_EQ(m_participant->getMemPool()->getUsedSize(), 0u);
    // No segment under key -1, which every such topic of the host would share.
    errno = 0;
    EXPECT_EQ(shmget(static_cast<key_t>(-1), 0, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    // Larger than the layout's only group: the participant's pool serves it.
    std::vector<uint8_t> big(10000, 3);
    EXPECT_EQ(writer->write(big.data(), 10000), 10000);

    EXPECT_EQ(pub.deleteDataWriter(writer), 0);
    for (CTopic* topic : topics) {
        EXPECT_EQ(m_participant->deleteTopic(topic), 0);
    }
}

// Another program's live segment under `key` (attached by its creator until the object goes).
std::unique_ptr<zqtest::ChildProcess> holdKey(int key)
{
    std::string error;
    auto holder =
        zqtest::ChildProcess::spawn({zqtest::helperPath("shm_holder"), std::to_string(key), "attached"}, &error);
    if (!holder || !holder->waitForLine("@@ holding ", 10000)) {
        ADD_FAILURE() << "no holder for key " << key << ": " << error << (holder ? holder->output() : "");
        return nullptr;
    }
    return holder;
}

// Every shared-memory key the process pool still hands out, in order (the pool is left empty).
std::vector<int> drainShmKeys()
{
    std::vector<int> keys;
    zqtest::OutputCapture quiet;
    for (int key = CResourceManager::getInstance()->getShmKey(); key != -1;
         key = CResourceManager::getInstance()->getShmKey()) {
        keys.push_back(key);
    }
    return keys;
}

std::string hexKey(int number)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%#x", static_cast<unsigned>(CResourceManager::shmKeyOf(number)));
    return text;
}

// A topic pool whose key another live program's segment holds takes the next key of the range
// and keeps it; the held segments stay as they are.
TEST_F(PublisherImplNsTest, SharedMemoryPoolTakesTheNextKeyWhenAnotherProgramHoldsItsOwn)
{
    auto first = holdKey(CResourceManager::shmKeyOf(0x5300));
    auto second = holdKey(CResourceManager::shmKeyOf(0x5301));
    ASSERT_TRUE(first && second);
    const int heldId = shmget(CResourceManager::shmKeyOf(0x5300), 0, 0);
    CPublisherImpl pub(m_participant.get());
    auto [topic, writer, printed] = createShmWriter(pub, "m5_moved");
    ASSERT_NE(topic, nullptr);
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(zqtest::hasDdsLine(printed, "33",
                                   "Warning: share memory key " + hexKey(0x5300) +
                                       " is in use by another process, topic m5_moved takes key " + hexKey(0x5302)))
        << printed;
    EXPECT_EQ(printed.find("Error"), std::string::npos) << printed;
    EXPECT_TRUE(shmtest::keyExists(CResourceManager::shmKeyOf(0x5302)));
    EXPECT_EQ(shmget(CResourceManager::shmKeyOf(0x5300), 0, 0), heldId);
    DataPackage_t* pkg = pub.getEmptyDataPkg("m5_moved", 100, 0);
    ASSERT_NE(pkg, nullptr);
    EXPECT_TRUE(pkg->m_bShm);
    referChunk(getChunkAddr(pkg));
    pub.putEmptyDataPkg("m5_moved", pkg);
    EXPECT_EQ(pub.deleteDataWriter(writer), 0);
    EXPECT_FALSE(shmtest::keyExists(CResourceManager::shmKeyOf(0x5302)));

    // The next writer of the topic starts at the key it moved to.
    std::string printedAgain;
    writer = createWriterPrinting(pub, topic, printedAgain);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(printedAgain.find("Warning"), std::string::npos) << printedAgain;
    EXPECT_EQ(printedAgain.find("already exitst"), std::string::npos) << printedAgain;
    EXPECT_TRUE(shmtest::keyExists(CResourceManager::shmKeyOf(0x5302)));
    EXPECT_EQ(pub.deleteDataWriter(writer), 0);
    // The held keys went to the back of the pool.
    EXPECT_EQ(drainShmKeys(), (std::vector<int>{CResourceManager::shmKeyOf(0x5303), CResourceManager::shmKeyOf(0x5300),
                                                CResourceManager::shmKeyOf(0x5301)}));
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

// With every key of the range held by live programs, the writer's pool has no chunks (its
// writes fail), the topic keeps its own key and the others go back to the pool.
TEST_F(PublisherImplNsTest, SharedMemoryPoolWithEveryKeyHeldElsewhereSaysSo)
{
    std::vector<std::unique_ptr<zqtest::ChildProcess>> holders;
    for (int number = 0x5300; number < 0x5304; ++number) {
        holders.push_back(holdKey(CResourceManager::shmKeyOf(number)));
        ASSERT_TRUE(holders.back());
    }
    CPublisherImpl pub(m_participant.get());
    auto [topic, writer, printed] = createShmWriter(pub, "m5_none");
    ASSERT_NE(topic, nullptr);
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(
        zqtest::hasDdsLine(printed, "31", "Error: topic m5_none: every share memory key is in use by another process!"))
        << printed;
    EXPECT_EQ(pub.getEmptyDataPkg("m5_none", 100, 0), nullptr);
    EXPECT_EQ(drainShmKeys(), (std::vector<int>{CResourceManager::shmKeyOf(0x5301), CResourceManager::shmKeyOf(0x5302),
                                                CResourceManager::shmKeyOf(0x5303)}));
    {
        zqtest::OutputCapture quiet;
        EXPECT_EQ(pub.deleteDataWriter(writer), 0);
    }
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

TEST_F(PublisherImplNsTest, ControlPortHeldElsewhereGivesAWriterThatSaysSo)
{
    // The given port held: the next free one of the range, and a line; every port of the range
    // held: the writer all the same, with the red line.
    const struct {
        const char* name;
        std::vector<int> held;
        int listening; // -1: nowhere
        std::vector<int> freeAfter;
    } cases[] = {
        {"the given port", {53000}, 53001, {53001, 53002, 53003, 53000}},
        {"every port", {53000, 53001, 53002, 53003}, -1, {53000, 53001, 53002, 53003}},
    };
    CTopic* topic = m_participant->createTopic("h13_held", nullptr);
    ASSERT_NE(topic, nullptr);
    for (const auto& c : cases) {
        std::vector<int> blockers;
        for (int port : c.held) {
            int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ASSERT_GE(blocker, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<uint16_t>(port));
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
            ASSERT_EQ(::listen(blocker, 1), 0);
            blockers.push_back(blocker);
        }
        CDataWriter* writer = nullptr;
        {
            CPublisherImpl pub(m_participant.get());
            zqtest::OutputCapture capture;
            writer = pub.createDataWriter(topic);
            capture.stop();
            ASSERT_NE(writer, nullptr) << c.name;
            if (c.listening < 0) {
                EXPECT_TRUE(zqtest::hasDdsLine(
                    capture.out(), RED, "Error: topic h13_held control endpoint 127.0.0.1:53000 is not listening!"))
                    << c.name;
                // Advertised all the same; writes go nowhere until a later writer can listen.
                EXPECT_EQ(controlPort(&pub, "h13_held"), 53000) << c.name;
            } else {
                EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "33",
                                               "Warning: port 53000 is in use by another process, topic h13_held "
                                               "control endpoint takes port 53001"))
                    << c.name << ": " << capture.out();
                EXPECT_EQ(controlPort(&pub, "h13_held"), c.listening) << c.name;
            }
            EXPECT_FALSE(writer->isConnect());
            uint8_t byte = 1;
            EXPECT_EQ(writer->write(&byte, 1), 1);
            EXPECT_EQ(pub.deleteDataWriter(writer), 0);
            EXPECT_EQ(pub.getTransport("h13_held"), nullptr);
        }
        for (int blocker : blockers) {
            ::close(blocker);
        }
        EXPECT_EQ(freePorts(), c.freeAfter) << c.name;
    }
    EXPECT_EQ(m_participant->getMemPool()->getUsedSize(), 0u);
    EXPECT_EQ(m_participant->deleteTopic(topic), 0);
}

TEST_F(PublisherImplNsTest, QueriesOfOtherTopicsDoNotWaitForATransportBeingDestroyed)
{
    CPublisherImpl pub(m_participant.get());
    CTopic* going = m_participant->createTopic("h25_going", nullptr);
    CTopic* staying = m_participant->createTopic("h25_staying", nullptr);
    ASSERT_TRUE(going != nullptr && staying != nullptr);
    CDataWriter* goingWriter = pub.createDataWriter(going);
    CDataWriter* stayingWriter = pub.createDataWriter(staying);
    ASSERT_TRUE(goingWriter != nullptr && stayingWriter != nullptr);
    const int stayingPort = controlPort(&pub, "h25_staying");

    // The reactor held inside a callback: the transport's destructor waits for it to drop the
    // endpoint's registration, as it waits for a busy reactor.
    CEvReactor* reactor = CEvReactor::getInstance();
    int hold[2];
    ASSERT_EQ(pipe2(hold, O_CLOEXEC | O_NONBLOCK), 0);
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> once{false};
    ASSERT_TRUE(reactor->registerEvent(
        hold[0], POLL_EVENT_READ,
        [&entered, released, &once](int fd, void*) {
            char byte = 0;
            while (::read(fd, &byte, 1) > 0) {
            }
            if (!once.exchange(true)) {
                entered.set_value();
                released.wait();
            }
        },
        nullptr));
    bool releasedYet = false;
    zqtest::ScopeExit cleanup([&] {
        if (!releasedYet) {
            release.set_value();
        }
        // The callback refers to this test's locals: gone before they are.
        if (reactor->unregisterEventAndClose(hold[0])) {
            EXPECT_TRUE(zqtest::waitUntil([&] { return !reactor->isEventRegistered(hold[0]); }, 10000));
        }
        ::close(hold[1]);
    });
    ASSERT_EQ(::write(hold[1], "x", 1), 1);
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);

    bool asleep = false;
    std::future<int> deleting = zqtest::runUntilAsleep([&] { return pub.deleteDataWriter(goingWriter); }, &asleep);
    EXPECT_TRUE(asleep);
    // The discovery answer's and the status report's questions about the other topic.
    std::future<int> asked = std::async(std::launch::async, [&] { return controlPort(&pub, "h25_staying"); });
    const bool answered = asked.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(answered) << "a query waited for another topic's transport to close";
    release.set_value();
    releasedYet = true;
    EXPECT_EQ(deleting.get(), 0);
    EXPECT_EQ(asked.get(), stayingPort);
    EXPECT_EQ(pub.getTransport("h25_going"), nullptr);
    EXPECT_EQ(controlPort(&pub, "h25_going"), -2);
    EXPECT_EQ(pub.deleteDataWriter(stayingWriter), 0);
    // Both ports back once their endpoints are closed.
    EXPECT_EQ(freePorts(), (std::vector<int>{53000, 53001, 53002, 53003}));
    EXPECT_EQ(m_participant->deleteTopic(going), 0);
    EXPECT_EQ(m_participant->deleteTopic(staying), 0);
}

TEST_F(PublisherImplNsTest, UnknownTopicQueriesAndDeletes)
{
    CPublisherImpl pub(m_participant.get());
    std::vector<int> fps{7};
    std::vector<ConnParam_t> conns;
    TransParam_t param;
    EXPECT_EQ(pub.getTopicMsgTransParam("h13_none", &param), -1);
    EXPECT_EQ(pub.getTopicDataTransParam("h13_none", &conns), -1);
    EXPECT_EQ(pub.getClientCount("h13_none"), 0);
    EXPECT_EQ(pub.getFps("h13_none", fps), 0);
    EXPECT_EQ(fps, std::vector<int>{7});
    EXPECT_EQ(pub.getEmptyDataPkg("h13_none", 10, 0), nullptr);
    EXPECT_EQ(pub.putFullDataPkg("h13_none", nullptr, 0), -1);
    EXPECT_FALSE(pub.isConnect("h13_none"));
    zqtest::OutputCapture capture;
    EXPECT_EQ(pub.deleteTransport("h13_none"), -1);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), GREEN, "Can't find topic h13_none"));
}

} // namespace

// Zero-copy delivery end to end: a writer in this process on a topic created with a shared-memory
// configuration, readers in other processes (zqh_shm_pubsub_reader). Messages of 1 KiB to 1 MiB
// by copy and by loan on both sides, read in the writer's own segment; a reader killed
// mid-stream gives everything back; a reader that does not read holds the topic up once it holds
// every chunk of a group, and lets it go when it goes; a writer process that dies leaves its
// segments to the next creator of its keys; two writer processes of one key range leave each
// other's live segments alone.
#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/participant_impl.h"
#include "core/publisher_impl.h"
#include "core/pubsub_support.h"
#include "core/resource_manager.h"
#include "core/shm_maps.h"
#include "core/subscriber_impl.h"
#include "core/transport/control/trans_sender.h"
#include "core/transport/media/share_memory_sender.h"
#include "memory/shm_layout.h"
#include "memory/shm_test_util.h"
#include "support/zqtest.h"
#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"

namespace {

// One test's numbers: the writer's participant, then one set per reader process.
struct Numbers {
    int domain;
    int portBase;
    int unixBase;
    int keyBase;
};

constexpr int kGroup0 = 1048576; // chunk size of the default layout's first group
constexpr int kGroup0Count = 8;

std::string hex(unsigned v)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%#x", v);
    return text;
}

// A layout's groups as the forging helpers take them: "size:count,...".
template <typename Layout> std::string forgeryGroups(const Layout& layout)
{
    std::string groups;
    for (int g = 0; g < layout.m_iGroupCount; ++g) {
        groups += (g == 0 ? "" : ",") + std::to_string(layout.m_stGroup[g].m_iChunkSize) + ":" +
                  std::to_string(layout.m_stGroup[g].m_iChunkCount);
    }
    return groups;
}

// Processes attached to the segment of `key` (0 when there is none).
size_t attachCount(int key)
{
    int id = shmget(key, 0, 0);
    shmid_ds ds{};
    return (id >= 0 && shmctl(id, IPC_STAT, &ds) == 0) ? static_cast<size_t>(ds.shm_nattch) : 0;
}

// A reader's answer to "expect".
struct Got {
    bool ok{false};
    uint32_t seq{0};
    int len{0};
    std::string key;
    uint64_t offset{0};
};

class ShmPubSubNsTest : public zqtest::NsTest {
protected:
    void TearDown() override
    {
        zqtest::OutputCapture quiet;
        m_readers.clear();
        closeWriter();
        shmtest::removeAllSegments();
    }

    // The writing side: participant, publisher, topic with the default shared-memory layout, writer.
    bool openWriter(const Numbers& n, const std::string& topic, const std::string& eth = "lo")
    {
        zqtest::OutputCapture quiet;
        _DomainConfigParam_t param = pubsub::loRecord(n.domain, n.portBase, n.unixBase, n.keyBase);
        param.m_strEthName = eth;
        m_participant = std::make_unique<CParticipantImpl>(nullptr, param);
        if (!m_participant->isInitialized()) {
            return false;
        }
        m_pub = std::make_unique<CPublisherImpl>(m_participant.get());
        ShmConfig_t config{};
        config.m_bUseUserLayout = false;
        m_topicName = topic;
        m_topic = m_participant->createTopic(topic, &config);
        m_writer = m_topic != nullptr ? m_pub->createDataWriter(m_topic) : nullptr;
        // The topic took the smallest key number for its pool.
        m_poolKey = CResourceManager::shmKeyOf(n.keyBase);
        m_keyBase = n.keyBase;
        return m_writer != nullptr && shmtest::keyExists(m_poolKey);
    }

    void closeWriter()
    {
        if (m_writer != nullptr) {
            m_pub->deleteDataWriter(m_writer);
            m_writer = nullptr;
        }
        if (m_topic != nullptr) {
            m_pub->dropTopicLeftover(m_topicName);
            m_participant->deleteTopic(m_topic);
            m_topic = nullptr;
        }
        m_pub.reset();
        m_participant.reset();
    }

    int controlPort()
    {
        TransParam_t param;
        std::memset(&param, 0, sizeof(param));
        return m_pub->getTopicMsgTransParam(m_topicName, &param) == 0 ? param.m_tcpParam.m_iPort : -1;
    }

    // A reader process with its data channel up.
    zqtest::ChildProcess* startReader(const Numbers& n, int depth)
    {
        std::string error;
        auto child = zqtest::ChildProcess::spawn({zqtest::helperPath("shm_pubsub_reader"), std::to_string(n.domain),
                                                  std::to_string(n.portBase), std::to_string(n.unixBase),
                                                  std::to_string(n.keyBase), m_topicName, std::to_string(depth)},
                                                 &error);
        EXPECT_NE(child, nullptr) << error;
        if (child == nullptr || ask(*child, "") != "ready" ||
            ask(*child, "endpoint 127.0.0.1 " + std::to_string(controlPort())) != "connected") {
            return nullptr;
        }
        m_readers.push_back(std::move(child));
        return m_readers.back().get();
    }

    // Sends a command (none when empty) and gives the answer without its "@@ ".
    static std::string ask(zqtest::ChildProcess& child, const std::string& command)
    {
        if (!command.empty() && !child.writeInput(command + "\n")) {
            return "<write failed>";
        }
        std::string line;
        if (!child.waitForLine("@@ ", 20000, &line)) {
            return "<no answer>";
        }
        return line.substr(line.find("@@ ") + 3);
    }

    static Got expect(zqtest::ChildProcess& child, uint32_t seq, int len, const std::string& mode)
    {
        std::istringstream in(ask(child, "expect " + std::to_string(seq) + " " + std::to_string(len) + " " + mode));
        Got got;
        std::string tag;
        in >> tag >> got.seq >> got.len >> got.key >> got.offset;
        got.ok = tag == "got";
        return got;
    }

    // Writes message `seq` by copy (write) or in place (a loan); for a loan, where its bytes lie.
    bool writeMessage(uint32_t seq, int len, bool loan, shmmaps::Where* where = nullptr)
    {
        if (!loan) {
            std::vector<uint8_t> data = pubsub::makeMessage(len, seq);
            return m_writer->write(data.data(), len) == len;
        }
        _DataBuffer_t* buf = m_writer->getEmptyDataBuffer(len, 0);
        if (buf == nullptr) {
            return false;
        }
        pubsub::fillPattern(buf->m_pData, len, seq);
        buf->m_iLen = len;
        if (where != nullptr) {
            *where = shmmaps::locate(buf->m_pData);
        }
        return m_writer->putFullDataBuffer(buf) == 0;
    }

    // Lends and publishes a 1 KiB message; `at` is its package's offset in the pool segment.
    bool writeForgeable(uint32_t seq, size_t* at)
    {
        _DataBuffer_t* buf = m_writer->getEmptyDataBuffer(1024, 0);
        if (buf == nullptr) {
            return false;
        }
        shmmaps::Where where = shmmaps::locate(buf->m_pPkg);
        pubsub::fillPattern(buf->m_pData, 1024, seq);
        buf->m_iLen = 1024;
        *at = where.offset;
        return m_writer->putFullDataBuffer(buf) == 0 && where.found;
    }

    // Chunks of the topic's pool that could serve a message of `len` bytes now (given back at once).
    int freeChunks(int len)
    {
        std::vector<DataPackage_t*> taken;
        while (DataPackage_t* pkg = m_pub->getEmptyDataPkg(m_topicName, len + 34, 0)) {
            taken.push_back(pkg);
        }
        for (DataPackage_t* pkg : taken) {
            referChunk(getChunkAddr(pkg));
            m_pub->putEmptyDataPkg(m_topicName, pkg);
        }
        return static_cast<int>(taken.size());
    }

    // The default layout's groups are all free again.
    bool poolFull()
    {
        return zqtest::waitUntil(
            [&] { return freeChunks(1024) == kGroup0Count && freeChunks(kGroup0) == 4 && freeChunks(4 << 20) == 4; },
            10000);
    }

    // The channels the writing side has open, as (type, queue key).
    std::vector<std::pair<int, int>> channels()
    {
        std::vector<ConnParam_t> conns;
        std::vector<std::pair<int, int>> out;
        if (m_pub->getTopicDataTransParam(m_topicName, &conns) == 0) {
            for (const ConnParam_t& conn : conns) {
                out.emplace_back(conn.m_param.m_iType, conn.m_param.m_shmParam.m_iQueueKey);
            }
        }
        return out;
    }

    // A reader leaves cleanly: everything it held is back in its own pool.
    static void quit(zqtest::ChildProcess& child)
    {
        EXPECT_EQ(ask(child, "quit"), "pool 0");
        EXPECT_EQ(ask(child, ""), "bye");
        EXPECT_GE(child.wait(20000), 0);
        EXPECT_EQ(child.exitCode(), 0);
    }

    // Everything deleted: no segment of anyone is left in this namespace.
    void expectNothingLeft()
    {
        {
            zqtest::OutputCapture quiet;
            closeWriter();
        }
        EXPECT_EQ(shmtest::segmentCount(), 0);
    }

    std::unique_ptr<CParticipantImpl> m_participant;
    std::unique_ptr<CPublisherImpl> m_pub;
    CTopic* m_topic{nullptr};
    CDataWriter* m_writer{nullptr};
    std::string m_topicName;
    int m_poolKey{-1};
    int m_keyBase{0};
    std::vector<std::unique_ptr<zqtest::ChildProcess>> m_readers;
};

TEST_F(ShmPubSubNsTest, TwoReaderProcessesReadEveryMessageInTheWritersSegment)
{
    ASSERT_TRUE(openWriter({811, 58100, 8110, 0x8110}, "s1_shm_e2e"));
    zqtest::ChildProcess* a = startReader({812, 58200, 8120, 0x8120}, 8);
    ASSERT_NE(a, nullptr);
    zqtest::ChildProcess* b = startReader({813, 58300, 8130, 0x8130}, 8);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 2; }, 10000));
    // Both channels are shared memory, each with its own queue key from the writer's numbers.
    EXPECT_EQ(channels(),
              (std::vector<std::pair<int, int>>{{TRANS_TYPE_SHARE_MEMORY, CResourceManager::shmKeyOf(0x8111)},
                                                {TRANS_TYPE_SHARE_MEMORY, CResourceManager::shmKeyOf(0x8112)}}));

    // 1 KiB to 1 MiB; the last size no longer fits the first group with its header.
    const int sizes[] = {1024, 65536, kGroup0 - 34, kGroup0};
    const std::string poolKey = hex(static_cast<unsigned>(m_poolKey));
    const uint64_t searched = CShmPkgTable::searches();
    uint32_t seq = 0;
    for (int len : sizes) {
        for (int round = 0; round < 3; ++round, ++seq) {
            // Writer and readers each take turns between copying and lending.
            const bool writerLoans = round % 2 == 1;
            shmmaps::Where written;
            ASSERT_TRUE(writeMessage(seq, len, writerLoans, &written)) << seq;
            Got gotA = expect(*a, seq, len, round == 0 ? "loan" : "copy");
            Got gotB = expect(*b, seq, len, round == 0 ? "copy" : "loan");
            ASSERT_TRUE(gotA.ok) << seq;
            ASSERT_TRUE(gotB.ok) << seq;
            EXPECT_EQ(gotA.seq, seq);
            EXPECT_EQ(gotB.len, len);
            // Both readers were handed the bytes in the writer's pool segment, at one place.
            EXPECT_EQ(gotA.key, poolKey) << seq;
            EXPECT_EQ(gotB.key, poolKey) << seq;
            EXPECT_EQ(gotA.offset, gotB.offset) << seq;
            if (writerLoans) {
                ASSERT_TRUE(written.found);
                EXPECT_EQ(hex(written.key), poolKey);
                // The very bytes the writer filled in place.
                EXPECT_EQ(gotA.offset, written.offset) << seq;
            }
        }
    }
    EXPECT_TRUE(poolFull());
    // Each package carried its number from the pool on: nothing on the writing side searched.
    EXPECT_EQ(CShmPkgTable::searches() - searched, 0u);

    quit(*a);
    quit(*b);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 0; }, 10000));
    EXPECT_TRUE(poolFull());
    // The readers' queue segments went with their connections; the pool's is the only one.
    EXPECT_EQ(shmtest::segmentCount(), 1);
    expectNothingLeft();
}

TEST_F(ShmPubSubNsTest, AReaderKilledMidStreamGivesItsPackagesBack)
{
    ASSERT_TRUE(openWriter({814, 58400, 8140, 0x8140}, "s1_shm_kill"));
    zqtest::ChildProcess* a = startReader({815, 58500, 8150, 0x8150}, 8);
    ASSERT_NE(a, nullptr);
    zqtest::ChildProcess* b = startReader({816, 58600, 8160, 0x8160}, 8);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 2; }, 10000));

    // A reads everything; B takes five messages and reads none of them.
    uint32_t seq = 0;
    for (; seq < 5; ++seq) {
        ASSERT_TRUE(writeMessage(seq, 1024, seq % 2 == 1));
        ASSERT_TRUE(expect(*a, seq, 1024, seq % 2 == 0 ? "copy" : "loan").ok) << seq;
        EXPECT_EQ(ask(*b, "seen " + std::to_string(seq + 1)), "seen " + std::to_string(seq + 1));
    }
    EXPECT_EQ(freeChunks(1024), kGroup0Count - 5);

    zqtest::OutputCapture capture;
    b->signal(SIGKILL);
    ASSERT_GE(b->wait(20000), 0);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 1; }, 10000));
    const bool full = poolFull();
    capture.stop();
    EXPECT_TRUE(full);
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "33",
                                   "Warning: Queue " + hex(static_cast<unsigned>(CResourceManager::shmKeyOf(0x8142))) +
                                       " left 5 mem blocks!!!"))
        << capture.out();
    EXPECT_FALSE(shmtest::keyExists(CResourceManager::shmKeyOf(0x8142)));

    // The topic goes on for A.
    for (; seq < 10; ++seq) {
        ASSERT_TRUE(writeMessage(seq, 1024, seq % 2 == 1));
        ASSERT_TRUE(expect(*a, seq, 1024, "loan").ok) << seq;
    }
    quit(*a);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 0; }, 10000));
    EXPECT_TRUE(poolFull());
    expectNothingLeft();
}

TEST_F(ShmPubSubNsTest, AReaderThatDoesNotReadHoldsTheTopicUpOnlyWhenItsDepthCoversAGroup)
{
    ASSERT_TRUE(openWriter({817, 58700, 8170, 0x8170}, "s1_shm_stall"));
    const struct {
        int depth;
        Numbers reader;
    } cases[] = {
        // Depth below the group's chunk count: the reader's queue drops its oldest, writes go on.
        {4, {818, 58800, 8180, 0x8180}},
        // The default depth equals the default layout's first group: the ninth write finds no chunk.
        {8, {819, 58900, 8190, 0x8190}},
    };
    for (const auto& c : cases) {
        zqtest::ChildProcess* reader = startReader(c.reader, c.depth);
        ASSERT_NE(reader, nullptr) << c.depth;
        ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 1; }, 10000));
        const int writes = c.depth < kGroup0Count ? 3 * kGroup0Count : kGroup0Count;
        for (int i = 0; i < writes; ++i) {
            ASSERT_TRUE(writeMessage(static_cast<uint32_t>(i), 1024, false)) << c.depth << " " << i;
            ASSERT_EQ(ask(*reader, "seen " + std::to_string(i + 1)), "seen " + std::to_string(i + 1));
            // What the reader holds is bounded by its depth.
            ASSERT_TRUE(zqtest::waitUntil([&] { return freeChunks(1024) >= kGroup0Count - c.depth; }, 10000));
        }
        if (c.depth < kGroup0Count) {
            quit(*reader);
        } else {
            // Every chunk of the group sits unread in the reader's queue.
            zqtest::OutputCapture capture;
            std::vector<uint8_t> data = pubsub::makeMessage(1024, 99);
            EXPECT_EQ(m_writer->write(data.data(), 1024), -1);
            EXPECT_EQ(m_writer->getEmptyDataBuffer(1024, 0), nullptr);
            capture.stop();
            EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "31", "Error: getEmptyDataPkg failed! iLen:1024"))
                << capture.out();
            // Other groups still serve larger messages.
            EXPECT_EQ(freeChunks(kGroup0), 4);
            // The reader goes: what it held comes back and writes succeed again.
            quit(*reader);
        }
        ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 0; }, 10000));
        EXPECT_TRUE(poolFull()) << c.depth;
        std::vector<uint8_t> data = pubsub::makeMessage(1024, 100);
        EXPECT_EQ(m_writer->write(data.data(), 1024), 1024) << c.depth;
    }
    expectNothingLeft();
}

// Another process may rewrite a package's lengths in the segment once the reader has been handed
// the package: the reader took the length once, at hand-over, against the capacity its layout
// gives, so the application still gets exactly the message that was published, and the package
// goes back to the writer.
TEST_F(ShmPubSubNsTest, LengthsRewrittenInTheSegmentAfterHandOverChangeNothingTheReaderIsGiven)
{
    ASSERT_TRUE(openWriter({830, 59300, 8300, 0x8300}, "r1_shm_forged_len"));
    zqtest::ChildProcess* reader = startReader({831, 59400, 8310, 0x8310}, 8);
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 1; }, 10000));
    const size_t lenField = offsetof(DataPackage_t, m_iLen);
    const size_t sizeField = offsetof(DataPackage_t, m_iSize);
    const struct {
        const char* mode;
        size_t field; // written into the segment once the reader's callback has seen the message
        int forged;
    } cases[] = {
        {"copy", lenField, -1000},       {"copy", lenField, 20},    {"copy", lenField, 500},
        {"copy", lenField, 3 * kGroup0}, {"loan", lenField, -1000}, {"loan", lenField, 500},
        {"loan", lenField, 3 * kGroup0}, {"loan", sizeField, 20},   {"loan", sizeField, 3 * kGroup0},
        {"copy", sizeField, 20},
    };
    // Forged through a mapping of our own, as another process would.
    {
        shmtest::RawSegment pool(m_poolKey);
        ASSERT_TRUE(pool.ok());
        const std::string poolKey = hex(static_cast<unsigned>(m_poolKey));
        uint32_t seq = 0;
        for (const auto& c : cases) {
            const std::string what =
                std::string(c.mode) + (c.field == lenField ? " m_iLen " : " m_iSize ") + std::to_string(c.forged);
            size_t at = 0;
            ASSERT_TRUE(writeForgeable(seq, &at)) << what;
            ASSERT_EQ(ask(*reader, "seen " + std::to_string(seq + 1)), "seen " + std::to_string(seq + 1));
            const int32_t was = pool.intAt(at + c.field);
            pool.setInt(at + c.field, c.forged);
            std::string answer = ask(*reader, "expect " + std::to_string(seq) + " 1024 " + c.mode);
            ASSERT_NE(answer, "<no answer>") << "the reader died: " << what;
            // The whole message, where the writer put it: the payload lies 50 bytes into the package.
            EXPECT_EQ(answer, "got " + std::to_string(seq) + " 1024 " + poolKey + " " + std::to_string(at + 50))
                << what;
            pool.setInt(at + c.field, was);
            // The package went back to the writer.
            EXPECT_TRUE(poolFull()) << what;
            ++seq;
        }
    }
    quit(*reader);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 0; }, 10000));
    expectNothingLeft();
}

// The flag that marks a package as shared lies in the segment too: a reader that trusted it would
// give a package of the writer's segment to its own heap pool.
TEST_F(ShmPubSubNsTest, AShmFlagClearedInTheSegmentDoesNotSendThePackageToTheReadersHeap)
{
    ASSERT_TRUE(openWriter({832, 59500, 8320, 0x8320}, "r1_shm_forged_flag"));
    zqtest::ChildProcess* reader = startReader({833, 59600, 8330, 0x8330}, 8);
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 1; }, 10000));
    const char* modes[] = {"copy", "loan"};
    {
        shmtest::RawSegment pool(m_poolKey);
        ASSERT_TRUE(pool.ok());
        uint32_t seq = 0;
        for (const char* mode : modes) {
            size_t at = 0;
            ASSERT_TRUE(writeForgeable(seq, &at));
            ASSERT_EQ(ask(*reader, "seen " + std::to_string(seq + 1)), "seen " + std::to_string(seq + 1));
            pool.setByte(at + offsetof(DataPackage_t, m_bShm), 0);
            std::string answer = ask(*reader, "expect " + std::to_string(seq) + " 1024 " + mode);
            ASSERT_EQ(answer.rfind("got ", 0), 0u) << mode << ": " << answer;
            pool.setByte(at + offsetof(DataPackage_t, m_bShm), 1);
            ++seq;
        }
    }
    // Its own heap pool holds nothing of the writer's.
    quit(*reader);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 0; }, 10000));
    expectNothingLeft();
}

// The reading side in this process, for a writer in another one (zqh_shm_pubsub_writer).
class LocalReader {
public:
    LocalReader(const Numbers& n, const std::string& topic) : m_topicName(topic)
    {
        zqtest::OutputCapture quiet;
        _DomainConfigParam_t param = pubsub::loRecord(n.domain, n.portBase, n.unixBase, n.keyBase);
        m_participant = std::make_unique<CParticipantImpl>(nullptr, param);
        m_sub = std::make_unique<CSubscriberImpl>(m_participant.get());
        m_topic = m_participant->createTopic(topic, nullptr);
        m_reader = m_topic != nullptr ? m_sub->createDataReader(m_topic, 8) : nullptr;
    }
    ~LocalReader()
    {
        zqtest::OutputCapture quiet;
        if (m_reader != nullptr) {
            m_sub->deleteDataReader(m_reader);
        }
        if (m_topic != nullptr) {
            m_sub->dropTopicLeftover(m_topicName);
            m_participant->deleteTopic(m_topic);
        }
        m_sub.reset();
        m_participant.reset();
    }

    CDataReader* reader() const { return m_reader; }

    // Hands the writer's endpoint over once the topic waits for one; true when the channel is up.
    bool connect(int port)
    {
        if (m_reader == nullptr ||
            !zqtest::waitUntil([&] { return m_sub->getTopicState(m_topicName) == TOPIC_STATE_UNSUBSCRIBED; }, 10000)) {
            return false;
        }
        TransParam_t endpoint = pubsub::controlEndpoint("127.0.0.1", port);
        zqtest::OutputCapture quiet;
        m_sub->setTopicMsgTransParam(m_topicName, endpoint);
        return zqtest::waitUntil([&] { return m_reader->isConnect(); }, 10000);
    }

private:
    std::string m_topicName;
    std::unique_ptr<CParticipantImpl> m_participant;
    std::unique_ptr<CSubscriberImpl> m_sub;
    CTopic* m_topic{nullptr};
    CDataReader* m_reader{nullptr};
};

std::unique_ptr<zqtest::ChildProcess> startWriter(const Numbers& n, const std::string& topic, int* port, int count = 4)
{
    std::string error;
    auto child = zqtest::ChildProcess::spawn({zqtest::helperPath("shm_pubsub_writer"), std::to_string(n.domain),
                                              std::to_string(n.portBase), std::to_string(n.unixBase),
                                              std::to_string(n.keyBase), topic, std::to_string(count)},
                                             &error);
    EXPECT_NE(child, nullptr) << error;
    std::string line;
    if (child == nullptr || !child->waitForLine("@@ port ", 20000, &line)) {
        return nullptr;
    }
    *port = std::atoi(line.substr(line.find("@@ port ") + 8).c_str());
    return child;
}

std::string askWriter(zqtest::ChildProcess& child, const std::string& command)
{
    std::string line;
    if (!child.writeInput(command + "\n") || !child.waitForLine("@@ ", 20000, &line)) {
        return "<no answer>";
    }
    return line.substr(line.find("@@ ") + 3);
}

TEST_F(ShmPubSubNsTest, AWriterThatDiesLeavesItsSegmentsToTheNextCreatorOfItsKeys)
{
    const Numbers writing{820, 59000, 8200, 0x8200};
    const int poolKey = CResourceManager::shmKeyOf(0x8200);
    const int queueKey = CResourceManager::shmKeyOf(0x8201);
    LocalReader local({821, 59100, 8210, 0x8210}, "s1_shm_dead");
    ASSERT_NE(local.reader(), nullptr);

    int port = 0;
    auto first = startWriter(writing, "s1_shm_dead", &port);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(local.connect(port));
    ASSERT_EQ(askWriter(*first, "connected"), "connected");
    ASSERT_EQ(askWriter(*first, "write 0 4096"), "wrote 4096");
    _DataBuffer_t* held = local.reader()->getDataBuffer(10000, nullptr);
    ASSERT_NE(held, nullptr);
    ASSERT_TRUE(pubsub::isMessage(held->m_pData, 4096, 0));
    EXPECT_EQ(shmmaps::locate(held->m_pData).key, static_cast<unsigned>(poolKey));

    // The writer dies with the buffer still lent here.
    first->signal(SIGKILL);
    ASSERT_GE(first->wait(20000), 0);
    ASSERT_TRUE(zqtest::waitUntil([&] { return !local.reader()->isConnect(); }, 15000));
    // The lent bytes stay readable while they are lent; giving them back lets the last mapping go
    // (the dead process's own goes with its address space, a moment after it was reaped).
    EXPECT_TRUE(pubsub::isMessage(held->m_pData, 4096, 0));
    local.reader()->releaseDataBuffer(held);
    EXPECT_TRUE(zqtest::waitUntil([&] { return attachCount(poolKey) == 0 && attachCount(queueKey) == 0; }, 10000));
    // Nobody removed the dead writer's pool and queue segments.
    EXPECT_TRUE(shmtest::keyExists(poolKey));
    EXPECT_TRUE(shmtest::keyExists(queueKey));
    EXPECT_EQ(shmtest::segmentCount(), 2);

    // The next writer with the same keys replaces them, and the topic works again.
    auto second = startWriter(writing, "s1_shm_dead", &port);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(local.connect(port));
    ASSERT_EQ(askWriter(*second, "connected"), "connected");
    EXPECT_NE(second->output().find("Delete old share memory key " + std::to_string(poolKey) + " success."),
              std::string::npos);
    EXPECT_NE(second->output().find("Delete old share memory key " + std::to_string(queueKey) + " success."),
              std::string::npos);
    EXPECT_EQ(shmtest::segmentCount(), 2);
    ASSERT_EQ(askWriter(*second, "write 1 65536"), "wrote 65536");
    std::vector<uint8_t> buf(65537);
    EXPECT_EQ(local.reader()->read(buf.data(), 65537, 10000, nullptr), 65536);
    EXPECT_TRUE(pubsub::isMessage(buf.data(), 65536, 1));

    // A writer that ends cleanly removes what it made.
    ASSERT_EQ(askWriter(*second, "quit"), "bye");
    ASSERT_GE(second->wait(20000), 0);
    EXPECT_EQ(second->exitCode(), 0);
    ASSERT_TRUE(zqtest::waitUntil([&] { return !local.reader()->isConnect(); }, 15000));
    EXPECT_EQ(shmtest::segmentCount(), 0);
}

// A reader process of `topic` with its data channel up at the writer's control port.
std::unique_ptr<zqtest::ChildProcess> startReaderOf(const Numbers& n, const std::string& topic, int port)
{
    std::string error;
    auto child = zqtest::ChildProcess::spawn({zqtest::helperPath("shm_pubsub_reader"), std::to_string(n.domain),
                                              std::to_string(n.portBase), std::to_string(n.unixBase),
                                              std::to_string(n.keyBase), topic, "8"},
                                             &error);
    EXPECT_NE(child, nullptr) << error;
    if (child == nullptr || !child->waitForLine("@@ ready", 20000) ||
        askWriter(*child, "endpoint 127.0.0.1 " + std::to_string(port)) != "connected") {
        ADD_FAILURE() << "reader of " << topic << " not connected: " << (child ? child->output() : "");
        return nullptr;
    }
    return child;
}

// Two programs started with one key range, each writing its own topic: the second leaves the
// first one's live segments alone and takes the next keys of the range, so a reader of either
// topic that comes later reads that topic's messages in that writer's pool.
TEST_F(ShmPubSubNsTest, TwoWriterProcessesOfOneKeyRangeKeepTheirTopicsApart)
{
    const int keyBase = 0x8500;
    const int keyA = CResourceManager::shmKeyOf(keyBase);      // A's pool
    const int keyA1 = CResourceManager::shmKeyOf(keyBase + 1); // the queue of A's first reader
    const int keyB = CResourceManager::shmKeyOf(keyBase + 2);  // B's pool: the next free key
    int portA = 0;
    int portB = 0;
    auto writerA = startWriter({850, 59450, 8500, keyBase}, "m5_keys_a", &portA, 8);
    ASSERT_NE(writerA, nullptr);
    auto readerA = startReaderOf({851, 59460, 8510, 0x8510}, "m5_keys_a", portA);
    ASSERT_NE(readerA, nullptr);
    ASSERT_EQ(askWriter(*writerA, "connected"), "connected");

    auto writerB = startWriter({852, 59470, 8520, keyBase}, "m5_keys_b", &portB, 8);
    ASSERT_NE(writerB, nullptr);
    const std::string outB = writerB->output();
    const std::string pidA = std::to_string(writerA->pid());
    for (int key : {keyA, keyA1}) {
        EXPECT_TRUE(zqtest::hasDdsLine(outB, "33",
                                       "Warning: share memory key " + std::to_string(key) + " is in use by process " +
                                           pidA + ", it is left alone."))
            << outB;
    }
    EXPECT_TRUE(zqtest::hasDdsLine(outB, "33",
                                   "Warning: share memory key " + hex(static_cast<unsigned>(keyA)) +
                                       " is in use by another process, topic m5_keys_b takes key " +
                                       hex(static_cast<unsigned>(keyB))))
        << outB;
    EXPECT_EQ(outB.find("Delete old"), std::string::npos) << outB;
    auto readerB = startReaderOf({853, 59480, 8530, 0x8530}, "m5_keys_b", portB);
    ASSERT_NE(readerB, nullptr);
    ASSERT_EQ(askWriter(*writerB, "connected"), "connected");

    // A's late reader: A's next keys belong to B's live segments, so its queue gets one after them.
    auto lateA = startReaderOf({854, 59490, 8540, 0x8540}, "m5_keys_a", portA);
    ASSERT_NE(lateA, nullptr) << writerA->output();
    EXPECT_EQ(writerA->output().find("Delete old"), std::string::npos) << writerA->output();

    // Both write in turns; each reader gets its own topic's messages, in its writer's pool.
    const std::string poolA = hex(static_cast<unsigned>(keyA));
    const std::string poolB = hex(static_cast<unsigned>(keyB));
    for (uint32_t i = 0; i < 6; ++i) {
        const int len = 1024 + static_cast<int>(i);
        ASSERT_EQ(askWriter(*writerA, "write " + std::to_string(100 + i) + " " + std::to_string(len)),
                  "wrote " + std::to_string(len));
        ASSERT_EQ(askWriter(*writerB, "write " + std::to_string(200 + i) + " " + std::to_string(len)),
                  "wrote " + std::to_string(len));
        const std::string mode = i % 2 == 0 ? "copy" : "loan";
        for (auto* reader : {readerA.get(), lateA.get()}) {
            Got got = expect(*reader, 100 + i, len, mode);
            EXPECT_TRUE(got.ok) << i << ": " << reader->output();
            EXPECT_EQ(got.key, poolA) << i;
        }
        Got got = expect(*readerB, 200 + i, len, mode);
        EXPECT_TRUE(got.ok) << i << ": " << readerB->output();
        EXPECT_EQ(got.key, poolB) << i;
    }

    for (auto* child : {readerA.get(), lateA.get(), readerB.get()}) {
        quit(*child);
    }
    for (auto* writer : {writerA.get(), writerB.get()}) {
        ASSERT_EQ(askWriter(*writer, "quit"), "bye");
        ASSERT_GE(writer->wait(20000), 0);
        EXPECT_EQ(writer->exitCode(), 0);
    }
    EXPECT_EQ(shmtest::segmentCount(), 0);
}

// Another program holds every key of the writer's range while the writer starts: its pool gets
// no segment and its writes fail. Once the keys are free again, the first reader that asks makes
// the pool's segment, and messages flow.
TEST_F(ShmPubSubNsTest, KeysHeldWhileTheWriterStartsDisableTheTopicOnlyWhileTheyAreHeld)
{
    const int keyBase = 0x8600;
    const int count = 4;
    std::vector<std::unique_ptr<zqtest::ChildProcess>> holders;
    for (int i = 0; i < count; ++i) {
        std::string error;
        const int key = CResourceManager::shmKeyOf(keyBase + i);
        holders.push_back(
            zqtest::ChildProcess::spawn({zqtest::helperPath("shm_holder"), std::to_string(key), "attached"}, &error));
        ASSERT_NE(holders.back(), nullptr) << error;
        ASSERT_TRUE(holders.back()->waitForLine("@@ holding ", 10000)) << holders.back()->output();
    }
    int port = 0;
    auto writer = startWriter({860, 59500, 8600, keyBase}, "m5_squatted", &port, count);
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(zqtest::hasDdsLine(writer->output(), "31",
                                   "Error: topic m5_squatted: every share memory key is in use by another process!"))
        << writer->output();
    EXPECT_EQ(askWriter(*writer, "write 0 1024"), "wrote -1");

    // The squatter goes; its segments stay, now leftovers of a dead process.
    for (auto& holder : holders) {
        holder->closeInput();
        ASSERT_GE(holder->wait(10000), 0);
    }
    auto reader = startReaderOf({861, 59510, 8610, 0x8610}, "m5_squatted", port);
    ASSERT_NE(reader, nullptr) << writer->output();
    ASSERT_EQ(askWriter(*writer, "connected"), "connected");
    const std::string pool = hex(static_cast<unsigned>(CResourceManager::shmKeyOf(keyBase)));
    for (uint32_t i = 1; i <= 4; ++i) {
        const int len = 2048 + static_cast<int>(i);
        ASSERT_EQ(askWriter(*writer, "write " + std::to_string(i) + " " + std::to_string(len)),
                  "wrote " + std::to_string(len));
        Got got = expect(*reader, i, len, i % 2 == 0 ? "copy" : "loan");
        EXPECT_TRUE(got.ok) << i << ": " << reader->output();
        EXPECT_EQ(got.key, pool) << i;
    }
    quit(*reader);
    ASSERT_EQ(askWriter(*writer, "quit"), "bye");
    ASSERT_GE(writer->wait(20000), 0);
    EXPECT_EQ(writer->exitCode(), 0);
    // The writer removed the pool and the queue it made over two of the leftovers; the other two
    // nobody needed stay.
    EXPECT_EQ(shmtest::segmentCount(), count - 2);
}

// Another local process forges, while messages flow, every kind of field of both segments:
// package records and chunk headers of the pool, ring counts, indices, id slots, enable bytes
// and the wake field of the queue. No process ends; once it stops, writes succeed again and a
// new reader connects (walking a segment whose numbers were forged) and receives.
TEST_F(ShmPubSubNsTest, ForgedBytesInBothSegmentsWhileMessagesFlowEndNoProcessAndLockNobodyOut)
{
    ASSERT_TRUE(openWriter({834, 59700, 8340, 0x8340}, "r1_shm_vandal"));
    zqtest::ChildProcess* first = startReader({835, 59800, 8350, 0x8350}, 8);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 1; }, 10000));
    std::vector<ConnParam_t> conns;
    ASSERT_EQ(m_pub->getTopicDataTransParam(m_topicName, &conns), 0);
    ASSERT_EQ(conns.size(), 1u);
    const ShareMemoryParam_t& shm = conns[0].m_param.m_shmParam;
    ASSERT_GT(shm.m_layout.m_iGroupCount, 0);
    const std::string groups = forgeryGroups(shm.m_layout);

    std::string error;
    auto vandal = zqtest::ChildProcess::spawn({zqtest::helperPath("shm_vandal"), std::to_string(m_poolKey),
                                               std::to_string(shm.m_iQueueKey), groups, "20000", "17"},
                                              &error);
    ASSERT_NE(vandal, nullptr) << error;
    {
        zqtest::OutputCapture quiet;
        uint32_t seq = 0;
        // Messages flow for as long as the writes go on; failures meanwhile are allowed.
        // output() reads what the helper printed so far; it ends its output with its last line.
        while (vandal->output().find("vandal: ") == std::string::npos && seq < 50000000) {
            std::vector<uint8_t> data = pubsub::makeMessage(1024, seq++);
            (void)m_writer->write(data.data(), 1024);
        }
    }
    ASSERT_TRUE(vandal->waitForLine("vandal: done 20000", 1000)) << vandal->output();
    EXPECT_GE(vandal->wait(20000), 0);
    EXPECT_EQ(vandal->exitCode(), 0);
    // The first reader still answers.
    EXPECT_EQ(ask(*first, "seen 0").rfind("seen ", 0), 0u);

    // Writes succeed again once the chunks the broken connection held are back.
    {
        zqtest::OutputCapture quiet;
        std::vector<uint8_t> data = pubsub::makeMessage(1024, 7);
        ASSERT_TRUE(zqtest::waitUntil([&] { return m_writer->write(data.data(), 1024) == 1024; }, 20000));
    }
    // A new reader connects to the same topic and receives.
    zqtest::ChildProcess* second = startReader({836, 59900, 8360, 0x8360}, 8);
    ASSERT_NE(second, nullptr);
    const uint32_t seq = 900000;
    ASSERT_TRUE(writeMessage(seq, 1024, false));
    Got got = expect(*second, seq, 1024, "copy");
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.seq, seq);
    quit(*second);
}

// A third process rewrites the package headers of the pool (numbers, counts, groups, flags,
// lengths) while messages flow to an honest reader. Once it stops, every chunk the reader does
// not hold comes back while the reader stays connected (its queue's detach would give back what
// is in flight and hide a chunk lost to the pool), and writes succeed again.
TEST_F(ShmPubSubNsTest, ForgedPoolHeadersLoseNoChunkOnceTheForgingStops)
{
    ASSERT_TRUE(openWriter({840, 60000, 8400, 0x8400}, "r1_shm_forged_headers"));
    zqtest::ChildProcess* reader = startReader({841, 60100, 8410, 0x8410}, 4);
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 1; }, 10000));
    std::vector<ConnParam_t> conns;
    ASSERT_EQ(m_pub->getTopicDataTransParam(m_topicName, &conns), 0);
    ASSERT_EQ(conns.size(), 1u);
    auto* transport = dynamic_cast<CTransSender*>(m_pub->getTransport(m_topicName));
    ASSERT_NE(transport, nullptr);
    auto sender = std::dynamic_pointer_cast<CShareMemorySender>(transport->getSender(TRANS_TYPE_SHARE_MEMORY));
    ASSERT_NE(sender, nullptr);
    // The reader gives back all it holds (also what reaches it meanwhile) until the writer has
    // nothing in flight to it and every chunk of the pool is free.
    auto allBack = [&] {
        return zqtest::waitUntil(
            [&] {
                return ask(*reader, "drain").rfind("drained ", 0) == 0 &&
                       sender->getInFlightCount(conns[0].m_iFd) == 0 && freeChunks(1024) == kGroup0Count &&
                       freeChunks(kGroup0) == 4 && freeChunks(4 << 20) == 4;
            },
            10000);
    };
    const std::string groups = forgeryGroups(DEFAULT_SHM_LAYOUT);
    std::string error;
    auto forger = zqtest::ChildProcess::spawn(
        {zqtest::helperPath("shm_forger"), std::to_string(m_poolKey), groups, "count", "300000", "23"}, &error);
    ASSERT_NE(forger, nullptr) << error;
    int badDrains = 0;
    {
        zqtest::OutputCapture quiet;
        uint32_t seq = 0;
        const int sizes[] = {1024, kGroup0, 3 << 20};
        while (forger->output().find("forger: ") == std::string::npos && seq < 50000000) {
            const int len = sizes[seq % 3];
            std::vector<uint8_t> data = pubsub::makeMessage(len, seq++);
            (void)m_writer->write(data.data(), len);
            if (seq % 64 == 0) {
                badDrains += ask(*reader, "drain").rfind("drained ", 0) == 0 ? 0 : 1;
            }
        }
    }
    EXPECT_EQ(badDrains, 0);
    ASSERT_TRUE(forger->waitForLine("forger: done", 1000)) << forger->output();
    EXPECT_GE(forger->wait(20000), 0);

    bool backAtEnd = false;
    int written = 0;
    int backAfter = 0;
    {
        zqtest::OutputCapture quiet;
        backAtEnd = allBack();
        for (uint32_t seq = 0; seq < 24 && backAtEnd; ++seq) {
            written += writeMessage(seq, seq % 2 == 0 ? 1024 : kGroup0, false) ? 1 : 0;
            if (!allBack()) {
                break;
            }
            ++backAfter;
        }
    }
    EXPECT_TRUE(backAtEnd) << "chunks lost to the pool";
    EXPECT_EQ(written, 24);
    EXPECT_EQ(backAfter, 24);
    EXPECT_EQ(m_pub->getClientCount(m_topicName), 1);
    quit(*reader);
}

// Bytes this namespace's interface `name` has sent (0 when it has none).
uint64_t txBytes(const std::string& name)
{
    std::ifstream dev("/proc/net/dev");
    std::string line;
    while (std::getline(dev, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string ifName = line.substr(0, colon);
        ifName.erase(0, ifName.find_first_not_of(' '));
        if (ifName != name) {
            continue;
        }
        std::istringstream in(line.substr(colon + 1));
        uint64_t v[9] = {};
        for (uint64_t& x : v) {
            in >> x;
        }
        return v[8];
    }
    return 0;
}

// The writer of a shared-memory topic also serves a reader on another host over UDP. Another local
// process keeps rewriting the package fields of the pool while messages flow: a forged length or
// capacity never makes the writer send more than it wrote nor lend more than its chunk, and forged reference counts,
// numbers and a shared flag that is neither true nor false never stop later writes.
TEST_F(ShmPubSubNsTest, ForgedPackageFieldsNeitherWidenWhatASocketReaderGetsNorStopLaterWrites)
{
    std::string error;
    std::unique_ptr<zqtest::NetHost> host = zqtest::NetHost::create(&error);
    if (host == nullptr) {
        GTEST_SKIP() << "no second host: " << error;
    }
    ASSERT_TRUE(zqtest::joinHosts(nullptr, "s17w", "198.18.117.1/24", host.get(), "s17r", "198.18.117.2/24", &error))
        << error;
    const Numbers writing{837, 59950, 8370, 0x8370};
    ASSERT_TRUE(openWriter(writing, "r1_shm_forged_udp", "s17w"));
    // The reading side on the other host, handed the writer's endpoint as discovery would.
    auto child = host->spawn(
        {zqtest::helperPath("pubsub_reader"), "838", "59970", "8380", "33664", m_topicName, "8", "s17r"}, &error);
    ASSERT_NE(child, nullptr) << error;
    ASSERT_EQ(ask(*child, ""), "ready");
    ASSERT_EQ(ask(*child, "endpoint 198.18.117.1 " + std::to_string(controlPort())), "connected") << child->output();
    ASSERT_TRUE(zqtest::waitUntil([&] { return m_pub->getClientCount(m_topicName) == 1; }, 10000));
    ASSERT_EQ(channels().size(), 1u);
    EXPECT_EQ(channels()[0].first, TRANS_TYPE_UDP);
    const std::string groups = forgeryGroups(DEFAULT_SHM_LAYOUT);

    const struct {
        const char* mode;
        const char* rounds;
    } cases[] = {{"len", "3000000"}, {"count", "1000000"}};
    uint32_t seq = 0;
    for (const auto& c : cases) {
        auto forger = zqtest::ChildProcess::spawn(
            {zqtest::helperPath("shm_forger"), std::to_string(m_poolKey), groups, c.mode, c.rounds, "17"}, &error);
        ASSERT_NE(forger, nullptr) << error;
        const uint64_t before = txBytes("s17w");
        uint64_t written = 0;
        // A lent buffer is as large as the pool's chunk, whatever the segment says, and the
        // application may fill all of it.
        const int lendable = DEFAULT_SHM_LAYOUT.m_stGroup[0].m_iChunkSize - 34;
        int lentLeast = lendable;
        int lentMost = 1024;
        {
            zqtest::OutputCapture quiet;
            while (forger->output().find("forger: ") == std::string::npos && seq < 50000000) {
                std::vector<uint8_t> data = pubsub::makeMessage(1024, seq++);
                if (seq % 4 != 0) {
                    written += m_writer->write(data.data(), 1024) == 1024 ? 1 : 0;
                    continue;
                }
                _DataBuffer_t* buffer = m_writer->getEmptyDataBuffer(1024, 0);
                if (buffer == nullptr) {
                    continue;
                }
                lentLeast = std::min(lentLeast, buffer->m_iSize);
                lentMost = std::max(lentMost, buffer->m_iSize);
                if (buffer->m_iSize >= 1024 && buffer->m_iSize <= lendable) {
                    memset(buffer->m_pData, 0, static_cast<size_t>(buffer->m_iSize));
                    memcpy(buffer->m_pData, data.data(), data.size());
                }
                buffer->m_iLen = 1024;
                written += m_writer->putFullDataBuffer(buffer) == 0 ? 1 : 0;
            }
        }
        EXPECT_GE(lentLeast, 1024) << c.mode;
        EXPECT_LE(lentMost, lendable) << c.mode;
        ASSERT_TRUE(forger->waitForLine("forger: done", 1000)) << forger->output();
        EXPECT_GE(forger->wait(20000), 0);
        EXPECT_EQ(forger->exitCode(), 0);
        // What went out: at most each message written with its header and datagram overhead, plus
        // discovery and control traffic. A forged length would send up to 16 MiB per message.
        const uint64_t sent = txBytes("s17w") - before;
        EXPECT_LE(sent, written * 1200 + 1000000) << c.mode << ": " << written << " messages";

        // Writes succeed again once the forging stops, and the reader gets them exactly.
        {
            zqtest::OutputCapture quiet;
            std::vector<uint8_t> data = pubsub::makeMessage(1024, 7);
            ASSERT_TRUE(zqtest::waitUntil([&] { return m_writer->write(data.data(), 1024) == 1024; }, 20000)) << c.mode;
        }
        const uint32_t mark = 900000 + seq;
        std::vector<uint8_t> data = pubsub::makeMessage(1000, mark);
        ASSERT_EQ(m_writer->write(data.data(), 1000), 1000) << c.mode;
        // The reader took nothing longer than what was written, and takes what follows.
        std::string answer = ask(*child, "find " + std::to_string(mark) + " 1000");
        for (int tries = 0; tries < 20 && answer.rfind("bad not-found", 0) == 0; ++tries) {
            ASSERT_EQ(m_writer->write(data.data(), 1000), 1000) << c.mode;
            answer = ask(*child, "find " + std::to_string(mark) + " 1000");
        }
        std::istringstream in(answer);
        std::string tag;
        uint32_t foundSeq = 0;
        int foundLen = 0;
        size_t longest = 0;
        in >> tag >> foundSeq >> foundLen >> longest;
        EXPECT_EQ(tag, "found") << c.mode << ": " << answer;
        EXPECT_EQ(foundSeq, mark) << c.mode;
        EXPECT_LE(longest, 1024u) << c.mode;
    }
    EXPECT_EQ(ask(*child, "quit"), "pool 0");
    EXPECT_EQ(ask(*child, ""), "bye");
    EXPECT_GE(child->wait(20000), 0);
}

} // namespace

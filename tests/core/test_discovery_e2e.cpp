// Writers and readers that find each other by discovery alone, through whole participants: in one
// participant, between two processes of one host (Unix-domain socket), between two hosts (UDP, with
// messages of more than 1 MiB), after the writing process was killed and started again, and across
// domains that share a group. Nothing hands an endpoint over by hand.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/pubsub_support.h"
#include "support/zqtest.h"
#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"
#include "zqdds/participant.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"
#include "zqdds/topic.h"

namespace {

const std::string GREEN = "32";

// A participant record: `count` ports and Unix-socket indices from the bases, discovery every second.
_DomainConfigParam_t record(int domain, const std::string& eth, const std::string& group, int groupPort, int portBase,
                            int unixBase)
{
    _DomainConfigParam_t param = pubsub::loRecord(domain, portBase, unixBase, 0, 4);
    param.m_strEthName = eth;
    param.m_strMulticastIp = group;
    param.m_iMulticastPort = groupPort;
    param.m_vecShmKeys.clear();
    return param;
}

_DdsInfo_t infoOf(CParticipant& participant, const std::string& topic, int kind)
{
    _DdsInfo_t info{};
    info.m_iMsgChnPort = -1;
    info.m_iClientCount = -1;
    info.m_iTopicState = -1;
    info.m_i64LostPkgCount = -1;
    EXPECT_EQ(participant.getDdsInfo(topic, kind, info), 0) << topic;
    return info;
}

// What a zqh_pubsub_node prints for "info": control port, clients, state, lost, then type:port.
struct NodeInfo {
    int controlPort{-2};
    int clients{-2};
    int state{-2};
    long long lost{-2};
    std::vector<std::pair<int, int>> channels;
};

NodeInfo parseInfo(const std::string& text)
{
    NodeInfo info;
    std::istringstream in(text);
    std::string tag;
    in >> tag >> info.controlPort >> info.clients >> info.state >> info.lost;
    std::string chn;
    while (in >> chn) {
        size_t colon = chn.find(':');
        if (colon != std::string::npos) {
            info.channels.emplace_back(std::stoi(chn.substr(0, colon)), std::stoi(chn.substr(colon + 1)));
        }
    }
    return info;
}

// A zqh_pubsub_node process and its question-and-answer lines.
class Node {
public:
    explicit Node(std::unique_ptr<zqtest::ChildProcess> child) : m_child(std::move(child)) {}

    bool ok() const { return m_child != nullptr; }
    zqtest::ChildProcess& child() { return *m_child; }
    // The text of the next "@@ " line, or "timeout".
    std::string reply(int timeoutMs = 20000)
    {
        std::string line;
        if (!m_child->waitForLine("@@ ", timeoutMs, &line)) {
            return "timeout";
        }
        return line.substr(line.find("@@ ") + 3);
    }
    std::string ask(const std::string& command, int timeoutMs = 25000)
    {
        if (!m_child->writeInput(command + "\n")) {
            return "no input";
        }
        return reply(timeoutMs);
    }
    // "quit" answered with "bye" and a clean exit.
    bool quit()
    {
        if (ask("quit") != "bye") {
            return false;
        }
        return m_child->wait(15000) != -1 && m_child->exitCode() == 0;
    }

private:
    std::unique_ptr<zqtest::ChildProcess> m_child;
};

std::vector<std::string> nodeArgs(const std::string& role, const std::string& eth, int domain, const std::string& group,
                                  int groupPort, int portBase, int unixBase, const std::string& topic)
{
    return {zqtest::helperPath("pubsub_node"),
            role,
            eth,
            std::to_string(domain),
            group,
            std::to_string(groupPort),
            std::to_string(portBase),
            std::to_string(unixBase),
            topic};
}

// One participant of this process with its topics, writers and readers (the first of each kept
// at hand).
struct Side {
    std::unique_ptr<CParticipant> participant;
    CTopic* topic{nullptr};
    CPublisher* pub{nullptr};
    CSubscriber* sub{nullptr};
    CDataWriter* writer{nullptr};
    CDataReader* reader{nullptr};
    std::vector<CTopic*> topics;
    std::vector<CDataWriter*> writers;
    std::vector<CDataReader*> readers;

    CTopic* addTopic(const std::string& name)
    {
        CTopic* t = participant->createTopic(name);
        if (t != nullptr) {
            topics.push_back(t);
            topic = topic != nullptr ? topic : t;
        }
        return t;
    }
    CDataWriter* addWriter(CTopic* t)
    {
        pub = pub != nullptr ? pub : participant->createPublisher();
        CDataWriter* w = pub != nullptr && t != nullptr ? pub->createDataWriter(t) : nullptr;
        if (w != nullptr) {
            writers.push_back(w);
            writer = writer != nullptr ? writer : w;
        }
        return w;
    }
    CDataReader* addReader(CTopic* t)
    {
        sub = sub != nullptr ? sub : participant->createSubscriber();
        CDataReader* r = sub != nullptr && t != nullptr ? sub->createDataReader(t, 8) : nullptr;
        if (r != nullptr) {
            readers.push_back(r);
            reader = reader != nullptr ? reader : r;
        }
        return r;
    }

    bool upWriting() { return writer != nullptr && writer->isConnect(); }
    bool upReading() { return reader != nullptr && reader->isConnect(); }

    // Children before parents; 0 when every delete succeeded.
    int teardown()
    {
        int rc = 0;
        for (CDataReader* r : readers) {
            rc |= sub->deleteDataReader(r);
        }
        for (CDataWriter* w : writers) {
            rc |= pub->deleteDataWriter(w);
        }
        if (pub != nullptr) {
            rc |= participant->deletePublisher(pub);
        }
        if (sub != nullptr) {
            rc |= participant->deleteSubscriber(sub);
        }
        for (CTopic* t : topics) {
            rc |= participant->deleteTopic(t);
        }
        readers.clear();
        writers.clear();
        topics.clear();
        reader = nullptr;
        writer = nullptr;
        pub = nullptr;
        sub = nullptr;
        topic = nullptr;
        return rc;
    }
};

class DiscoveryE2eNsTest : public zqtest::NsTest {
protected:
    void TearDown() override
    {
        zqtest::OutputCapture quiet;
        for (Side* side : m_sides) {
            EXPECT_EQ(side->teardown(), 0);
        }
        for (Side* side : m_sides) {
            side->participant.reset();
        }
    }

    // A side that TearDown cleans up if the test stops early.
    Side& side(_DomainConfigParam_t param)
    {
        m_owned.push_back(std::make_unique<Side>());
        Side& s = *m_owned.back();
        s.participant = std::make_unique<CParticipant>(param);
        m_sides.push_back(&s);
        return s;
    }
    static bool addWriter(Side& s, const std::string& topic) { return s.addWriter(s.addTopic(topic)) != nullptr; }
    static bool addReader(Side& s, const std::string& topic) { return s.addReader(s.addTopic(topic)) != nullptr; }

    // Takes the next message by copy and checks it is message `seq` of `len` bytes.
    static ::testing::AssertionResult readMessage(CDataReader* reader, uint32_t seq, int len)
    {
        std::vector<uint8_t> buf(static_cast<size_t>(len) + 1);
        _ExtraDataInfo_t info{0};
        int got = reader->read(buf.data(), len + 1, 10000, &info);
        if (got != len || !pubsub::isMessage(buf.data(), len, seq)) {
            return ::testing::AssertionFailure() << "message " << seq << ": read gave " << got;
        }
        if (info.m_u64TimeStamp == 0) {
            return ::testing::AssertionFailure() << "message " << seq << " without time stamp";
        }
        return ::testing::AssertionSuccess();
    }

    static int write(CDataWriter* writer, uint32_t seq, int len)
    {
        std::vector<uint8_t> data = pubsub::makeMessage(len, seq);
        return writer->write(data.data(), len);
    }

    static int controlPort(CParticipant& participant, const std::string& topic)
    {
        return infoOf(participant, topic, DDS_INFO_PUB).m_iMsgChnPort;
    }

    // Writes messages of the given sizes in turn; the reading node must take each before the next.
    static void deliverEach(Side& w, Node& reader, const std::vector<int>& sizes)
    {
        uint32_t seq = 0;
        for (int len : sizes) {
            ASSERT_EQ(write(w.writer, seq, len), len);
            const std::string got = reader.ask("expect " + std::to_string(seq) + " " + std::to_string(len));
            ASSERT_EQ(got.rfind("got " + std::to_string(seq) + " " + std::to_string(len) + " ", 0), 0u) << got;
            ++seq;
        }
    }

    // Both sides see one subscribed data channel of `type` between them, with nothing lost.
    static void expectOneChannel(Side& w, Node& reader, const std::string& topic, int type)
    {
        const NodeInfo theirs = parseInfo(reader.ask("info"));
        const _DdsInfo_t mine = infoOf(*w.participant, topic, DDS_INFO_PUB);
        EXPECT_EQ(theirs.state, TOPIC_STATE_SUBSCRIBED);
        EXPECT_EQ(theirs.controlPort, mine.m_iMsgChnPort);
        ASSERT_EQ(theirs.channels.size(), 1u);
        EXPECT_EQ(theirs.channels[0].first, type);
        EXPECT_EQ(theirs.lost, 0);
        EXPECT_EQ(mine.m_iClientCount, 1);
        ASSERT_EQ(mine.m_vecDataChnInfo.size(), 1u);
        EXPECT_EQ(mine.m_vecDataChnInfo[0].m_iTransType, type);
        EXPECT_EQ(mine.m_vecDataChnInfo[0].m_iPort, theirs.channels[0].second) << "one channel port on both sides";
    }

    std::vector<std::unique_ptr<Side>> m_owned;
    std::vector<Side*> m_sides;
};

TEST_F(DiscoveryE2eNsTest, OneParticipantFindsItsOwnWriter)
{
    zqtest::OutputCapture capture;
    Side& self = side(record(710, "lo", "239.71.0.1", 57190, 57100, 7100));
    ASSERT_TRUE(addWriter(self, "s2e_self"));
    ASSERT_NE(self.addReader(self.topic), nullptr);
    const bool up = zqtest::waitUntil([&] { return self.upReading() && self.upWriting(); }, 20000);
    capture.stop();
    ASSERT_TRUE(up) << capture.out();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), GREEN,
                                   "Recv discovery msg, TopicName: s2e_self, IP: 127.0.0.1, DomainId: 710"));
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), GREEN,
                                   "Recv discovery ack msg, TopicName: s2e_self, IP: 127.0.0.1, DomainId: 710"));

    const int sizes[] = {1, 70000, 1048577};
    uint32_t seq = 0;
    for (int len : sizes) {
        ASSERT_EQ(write(self.writer, seq, len), len);
        ASSERT_TRUE(readMessage(self.reader, seq, len));
        ++seq;
    }
    _DdsInfo_t pub = infoOf(*self.participant, "s2e_self", DDS_INFO_PUB);
    _DdsInfo_t sub = infoOf(*self.participant, "s2e_self", DDS_INFO_SUB);

    EXPECT_EQ(sub.m_iTopicState, TOPIC_STATE_SUBSCRIBED);
    EXPECT_GE(pub.m_iMsgChnPort, 57100);
    EXPECT_EQ(sub.m_iMsgChnPort, pub.m_iMsgChnPort) << "the endpoint came from the answer";
    EXPECT_EQ(pub.m_iClientCount, 1);
    ASSERT_EQ(sub.m_vecDataChnInfo.size(), 1u);
    EXPECT_EQ(sub.m_vecDataChnInfo[0].m_iTransType, TRANS_TYPE_UNIX_SOCKET);
    ASSERT_EQ(pub.m_vecDataChnInfo.size(), 1u);
    EXPECT_EQ(pub.m_vecDataChnInfo[0].m_iTransType, TRANS_TYPE_UNIX_SOCKET);
}

TEST_F(DiscoveryE2eNsTest, TwoProcessesOfOneHostUseAUnixSocket)
{
    Side& w = side(record(711, "lo", "239.71.0.2", 57191, 57110, 7110));
    ASSERT_TRUE(addWriter(w, "s2e_local"));
    std::string error;
    Node reader(zqtest::ChildProcess::spawn(
        nodeArgs("reader", "lo", 711, "239.71.0.2", 57191, 57120, 7120, "s2e_local"), &error));
    ASSERT_TRUE(reader.ok()) << error;
    ASSERT_EQ(reader.reply(), "ready");
    ASSERT_EQ(reader.ask("connect"), "connected");
    ASSERT_TRUE(zqtest::waitUntil([&] { return w.upWriting(); }, 20000));

    ASSERT_NO_FATAL_FAILURE(deliverEach(w, reader, {1, 65502, 65503, 1048577}));
    ASSERT_NO_FATAL_FAILURE(expectOneChannel(w, reader, "s2e_local", TRANS_TYPE_UNIX_SOCKET));

    ASSERT_TRUE(reader.quit()) << reader.child().output();
    EXPECT_TRUE(zqtest::waitUntil([&] { return !w.upWriting(); }, 20000));
}

TEST_F(DiscoveryE2eNsTest, TwoHostsUseUdpAndLargeMessagesArriveWhole)
{
    std::string error;
    std::unique_ptr<zqtest::NetHost> host = zqtest::NetHost::create(&error);
    ASSERT_NE(host, nullptr) << error;
    ASSERT_TRUE(zqtest::joinHosts(nullptr, "s2e0", "198.18.71.1/24", host.get(), "s2e1", "198.18.71.2/24", &error))
        << error;
    Side& w = side(record(712, "s2e0", "239.71.0.3", 57192, 57130, 7130));
    ASSERT_TRUE(addWriter(w, "s2e_hosts"));
    Node reader(host->spawn(nodeArgs("reader", "s2e1", 712, "239.71.0.3", 57192, 57140, 7140, "s2e_hosts"), &error));
    ASSERT_TRUE(reader.ok()) << error;
    ASSERT_EQ(reader.reply(), "ready");
    ASSERT_EQ(reader.ask("connect"), "connected");
    ASSERT_TRUE(zqtest::waitUntil([&] { return w.upWriting(); }, 20000));

    // Paced: each message is taken before the next is written, since every stage is best effort.
    ASSERT_NO_FATAL_FAILURE(deliverEach(w, reader, {1, 1438, 1439, 1048577, 1048577, 1048577}));
    ASSERT_NO_FATAL_FAILURE(expectOneChannel(w, reader, "s2e_hosts", TRANS_TYPE_UDP));

    ASSERT_TRUE(reader.quit()) << reader.child().output();
    EXPECT_TRUE(zqtest::waitUntil([&] { return !w.upWriting(); }, 20000));
}

TEST_F(DiscoveryE2eNsTest, ReaderFindsAKilledWriterAgainOnceItRestarts)
{
    Side& r = side(record(713, "lo", "239.71.0.4", 57193, 57150, 7150));
    ASSERT_TRUE(addReader(r, "s2e_restart"));
    const std::vector<std::string> args =
        nodeArgs("writer", "lo", 713, "239.71.0.4", 57193, 57160, 7160, "s2e_restart");
    std::string error;
    uint32_t seq = 0;
    for (int round = 0; round < 2; ++round) {
        Node writer(zqtest::ChildProcess::spawn(args, &error));
        ASSERT_TRUE(writer.ok()) << error;
        ASSERT_EQ(writer.reply(), "ready");
        ASSERT_EQ(writer.ask("connect"), "connected") << "round " << round;
        ASSERT_TRUE(zqtest::waitUntil([&] { return r.upReading(); }, 20000)) << "round " << round;
        _DdsInfo_t info = infoOf(*r.participant, "s2e_restart", DDS_INFO_SUB);
        EXPECT_EQ(info.m_iTopicState, TOPIC_STATE_SUBSCRIBED);
        EXPECT_EQ(info.m_iMsgChnPort, 57160);
        for (int k = 0; k < 3; ++k, ++seq) {
            ASSERT_EQ(writer.ask("send " + std::to_string(seq) + " 3000"), "sent " + std::to_string(seq));
            ASSERT_TRUE(readMessage(r.reader, seq, 3000)) << "round " << round;
        }

        writer.child().signal(SIGKILL);
        ASSERT_NE(writer.child().wait(15000), -1);
        // The control connection closed: the channel goes down and the topic waits again.
        ASSERT_TRUE(zqtest::waitUntil([&] { return !r.upReading(); }, 20000)) << "round " << round;
        EXPECT_TRUE(zqtest::waitUntil(
            [&] {
                return infoOf(*r.participant, "s2e_restart", DDS_INFO_SUB).m_iTopicState == TOPIC_STATE_UNSUBSCRIBED;
            },
            20000));
    }
}

// Two writer processes started with one configuration, each writing its own topic: the second
// finds the first port of the range taken and moves to the next one, with its standard error on a
// pipe (as under `| tee`) or on a file opened write-only (as with `2>log`), where a diagnostic line
// must not cost the failure's code.
TEST_F(DiscoveryE2eNsTest, SecondWriterProcessOfOneConfigurationTakesTheNextPort)
{
    const struct {
        const char* name;
        bool toFile;
        int domain;
        int base;
    } cases[] = {
        {"stderr a pipe", false, 716, 57200},
        {"stderr a write-only file", true, 717, 57210},
    };
    std::string error;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string group = "239.71.0." + std::to_string(c.domain - 700);
        const int groupPort = c.base + 9;
        const std::string mine = "s2e_shared" + std::to_string(c.domain);
        Node first(zqtest::ChildProcess::spawn(
            nodeArgs("writer", "lo", c.domain, group, groupPort, c.base, c.base, mine + "a"), &error));
        ASSERT_TRUE(first.ok()) << error;
        ASSERT_EQ(first.reply(), "ready");
        std::vector<std::string> args = nodeArgs("writer", "lo", c.domain, group, groupPort, c.base, c.base, mine);
        const std::string log = "/tmp/s2e_stderr_" + std::to_string(c.domain);
        if (c.toFile) {
            args.insert(args.begin(), {zqtest::helperPath("stderr_to"), log});
        }
        Node second(zqtest::ChildProcess::spawn(args, &error));
        ASSERT_TRUE(second.ok()) << error;
        ASSERT_EQ(second.reply(), "ready") << second.child().output();

        Side& r = side(record(c.domain, "lo", group, groupPort, c.base + 5, c.base + 5));
        ASSERT_TRUE(addReader(r, mine));
        ASSERT_EQ(second.ask("connect"), "connected") << second.child().output();
        ASSERT_TRUE(zqtest::waitUntil([&] { return r.upReading(); }, 20000));
        EXPECT_EQ(parseInfo(second.ask("info")).controlPort, c.base + 1);
        EXPECT_EQ(infoOf(*r.participant, mine, DDS_INFO_SUB).m_iMsgChnPort, c.base + 1);
        for (uint32_t seq = 0; seq < 20; ++seq) {
            ASSERT_EQ(second.ask("send " + std::to_string(seq) + " 800"), "sent " + std::to_string(seq));
            ASSERT_TRUE(readMessage(r.reader, seq, 800));
        }
        ASSERT_TRUE(second.quit()) << second.child().output();
        ASSERT_TRUE(first.quit()) << first.child().output();
        if (c.toFile) {
            std::ifstream in(log);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_NE(text.find("bindSocket: : Address already in use"), std::string::npos) << text;
        }
        EXPECT_EQ(r.teardown(), 0);
    }
}

TEST_F(DiscoveryE2eNsTest, DomainsSharingAGroupIgnoreEachOther)
{
    const std::string group = "239.71.0.5";
    // Domain 715 writes both topics; domain 714 reads both and, later, writes one of them.
    Side& other = side(record(715, "lo", group, 57194, 57170, 7170));
    ASSERT_TRUE(addWriter(other, "s2e_dom"));
    CTopic* markTopic = other.addTopic("s2e_dom_mark");
    ASSERT_NE(other.addWriter(markTopic), nullptr);

    Side& reading = side(record(714, "lo", group, 57194, 57180, 7180));
    ASSERT_TRUE(addReader(reading, "s2e_dom"));
    CDataReader* readMark = reading.addReader(reading.addTopic("s2e_dom_mark"));
    ASSERT_NE(readMark, nullptr);

    // A reader of the marker in domain 715 itself: once it is connected, the engine of domain 715
    // has handled the two announcements of domain 714 that were sent before its own.
    CDataReader* markReader = other.addReader(markTopic);
    ASSERT_NE(markReader, nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return markReader->isConnect(); }, 20000));

    // Only now a writer of the topic in domain 714: the reader's next announcement finds it.
    Side& writing = side(record(714, "lo", group, 57194, 57185, 7185));
    ASSERT_TRUE(addWriter(writing, "s2e_dom"));
    ASSERT_TRUE(zqtest::waitUntil([&] { return reading.upReading() && writing.upWriting(); }, 20000));
    ASSERT_EQ(write(writing.writer, 7, 500), 500);
    EXPECT_TRUE(readMessage(reading.reader, 7, 500));

    const int writingPort = controlPort(*writing.participant, "s2e_dom");
    EXPECT_NE(writingPort, controlPort(*other.participant, "s2e_dom"));
    EXPECT_EQ(infoOf(*reading.participant, "s2e_dom", DDS_INFO_SUB).m_iMsgChnPort, writingPort);
    EXPECT_EQ(infoOf(*other.participant, "s2e_dom", DDS_INFO_PUB).m_iClientCount, 0)
        << "no reader of the other domain connected";
    EXPECT_FALSE(other.writer->isConnect());
    const _DdsInfo_t mark = infoOf(*reading.participant, "s2e_dom_mark", DDS_INFO_SUB);
    EXPECT_EQ(mark.m_iTopicState, TOPIC_STATE_UNSUBSCRIBED) << "the other domain's answer was not taken";
    EXPECT_EQ(mark.m_iMsgChnPort, -1);
    EXPECT_FALSE(readMark->isConnect());
    EXPECT_EQ(infoOf(*other.participant, "s2e_dom_mark", DDS_INFO_PUB).m_iClientCount, 1) << "its own reader";
}

} // namespace

// Multicast discovery: the two messages byte by byte, the decoders against crafted datagrams, and
// engines that announce, answer and hand answers over inside the test's namespaces.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <endian.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/discovery.h"
#include "core/resource_manager.h"
#include "memory/mem_buffer.h"
#include "support/zqtest.h"
#include "utils/timer.h"

// Runs the buffered pipeline, which the library itself never starts.
class CDiscoveryTestPeer {
public:
    // False when a thread could not start; stop() ends what did.
    static bool startBuffered(CDiscovery& d)
    {
        d.m_pMemBuffer = std::make_unique<CMemBuffer>();
        d.m_pMemBuffer->init(4096, 100);
        d.createMulticastSocket();
        d.startMsgRecvTask();
        d.m_bProcRunning.store(true);
        d.m_bDiscoveryRunning.store(true);
        return d.m_threadRecv.running() && d.m_threadProc.start(&CDiscovery::processMsgTask, &d) &&
               d.m_threadDiscovery.start(&CDiscovery::discoveryTask, &d);
    }
};

namespace {

const std::string RED = "31";
const std::string GREEN = "32";
const std::string YELLOW = "33";

TransParam_t endpoint(const std::string& ip, int port)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_TCP;
    std::strncpy(param.m_tcpParam.m_szIp, ip.c_str(), sizeof(param.m_tcpParam.m_szIp) - 1);
    param.m_tcpParam.m_iPort = port;
    return param;
}

bool sameParam(const TransParam_t& a, const TransParam_t& b)
{
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// A participant as discovery sees it: topics it waits for, topics it writes (with their control
// endpoint), and what discovery asked and handed over.
class FakeHooks : public CDiscoveryHooks {
public:
    explicit FakeHooks(int domain) : m_domain(domain) {}

    void wait(const std::string& topic)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_waiting.push_back(topic);
    }
    void publish(const std::string& topic, const TransParam_t& param)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_published[topic] = param;
    }

    int getDomainId() override { return m_domain; }
    int getUnsubscribedTopic(std::vector<std::string>& out) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        out.insert(out.end(), m_waiting.begin(), m_waiting.end());
        return static_cast<int>(out.size());
    }
    int getPubTopicMsgTransParam(const std::string& name, TransParam_t* out) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        ++m_pubAsked;
        m_asked.push_back(name);
        auto it = m_published.find(name);
        if (it == m_published.end()) {
            return -1;
        }
        *out = it->second;
        return 0;
    }
    int setSubTopicMsgTransParam(const std::string& name, TransParam_t& param) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        ++m_subOffered;
        for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it) {
            if (*it == name) {
                m_waiting.erase(it);
                m_taken.emplace_back(name, param);
                m_cv.notify_all();
                return 0;
            }
        }
        return -1;
    }

    bool waitTaken(size_t count, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_taken.size() >= count; });
    }
    std::vector<std::pair<std::string, TransParam_t>> taken()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_taken;
    }
    int pubAsked()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_pubAsked;
    }
    std::vector<std::string> asked()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_asked;
    }
    int subOffered()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_subOffered;
    }

private:
    int m_domain;
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::vector<std::string> m_waiting;
    std::map<std::string, TransParam_t> m_published;
    std::vector<std::pair<std::string, TransParam_t>> m_taken;
    int m_pubAsked{0};
    std::vector<std::string> m_asked;
    int m_subOffered{0};
};

// Little helpers to lay out expected bytes by hand, independently of the encoder.
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    std::memcpy(&b[at], &v, 4);
}
void putText(std::vector<uint8_t>& b, size_t at, const std::string& s)
{
    std::memcpy(&b[at], s.data(), s.size());
}

std::vector<uint8_t> goldenAnnouncement()
{
    std::vector<uint8_t> b(190, 0);
    putText(b, 0, "ZQMW");
    b[4] = 0;
    b[5] = 12;
    const uint8_t ts[8] = {0x00, 0x06, 0x1F, 0x2E, 0x3D, 0x4C, 0x5B, 0x6A}; // most significant first
    std::memcpy(&b[10], ts, 8);
    put32(b, 18, 156);
    putText(b, 34, "198.18.50.7");
    putText(b, 50, "h10_golden");
    put32(b, 178, 53);
    return b;
}

std::vector<uint8_t> goldenAnswer()
{
    std::vector<uint8_t> b(418, 0);
    putText(b, 0, "ZQMW");
    b[5] = 13;
    put32(b, 18, 384);
    putText(b, 34, "198.18.50.8");
    put32(b, 54, 0);               // TransParam_t: type TCP
    putText(b, 62, "198.18.50.8"); // at 54 + 8
    put32(b, 78, 50042);           // at 54 + 24
    putText(b, 278, "h10_golden");
    put32(b, 406, 53);
    return b;
}

TEST(DiscoveryCodecTest, AnnouncementLayoutIsExact)
{
    DiscoveryMsg_t msg;
    msg.m_strHostIp = "198.18.50.7";
    msg.m_strTopicName = "h10_golden";
    msg.m_iDomainId = 53;
    msg.m_u64TimeStamp = 0x00061F2E3D4C5B6AULL;
    std::vector<uint8_t> buf(2048, 0xEE);
    ASSERT_EQ(encodeDiscoveryMsg(msg, buf.data(), buf.size()), DISCOVERY_MSG_SIZE);
    buf.resize(DISCOVERY_MSG_SIZE);
    EXPECT_EQ(buf, goldenAnnouncement());

    DiscoveryMsg_t back;
    ASSERT_TRUE(decodeDiscoveryMsg(buf.data(), buf.size(), &back));
    EXPECT_EQ(back.m_strHostIp, "198.18.50.7");
    EXPECT_EQ(back.m_strTopicName, "h10_golden");
    EXPECT_EQ(back.m_iDomainId, 53);
    EXPECT_EQ(back.m_u64TimeStamp, 0x00061F2E3D4C5B6AULL);
}

TEST(DiscoveryCodecTest, AnswerLayoutIsExact)
{
    DiscoveryAckMsg_t msg;
    msg.m_strHostIp = "198.18.50.8";
    msg.m_stTransParam = endpoint("198.18.50.8", 50042);
    msg.m_strTopicName = "h10_golden";
    msg.m_iDomainId = 53;
    std::vector<uint8_t> buf(2048, 0xEE);
    ASSERT_EQ(encodeDiscoveryAckMsg(msg, buf.data(), buf.size()), DISCOVERY_ACK_MSG_SIZE);
    buf.resize(DISCOVERY_ACK_MSG_SIZE);
    EXPECT_EQ(buf, goldenAnswer());

    DiscoveryAckMsg_t back;
    ASSERT_TRUE(decodeDiscoveryAckMsg(buf.data(), buf.size(), &back));
    EXPECT_EQ(back.m_strHostIp, "198.18.50.8");
    EXPECT_TRUE(sameParam(back.m_stTransParam, msg.m_stTransParam));
    EXPECT_EQ(back.m_strTopicName, "h10_golden");
    EXPECT_EQ(back.m_iDomainId, 53);
}

TEST(DiscoveryCodecTest, EncoderRefusesWhatDoesNotFit)
{
    std::vector<uint8_t> buf(2048);
    DiscoveryMsg_t msg;
    msg.m_strTopicName = std::string(127, 't');
    EXPECT_EQ(encodeDiscoveryMsg(msg, buf.data(), buf.size()), DISCOVERY_MSG_SIZE) << "127 characters fit";
    EXPECT_EQ(encodeDiscoveryMsg(msg, buf.data(), DISCOVERY_MSG_SIZE - 1), 0u) << "buffer too small";
    msg.m_strTopicName = std::string(128, 't');
    EXPECT_EQ(encodeDiscoveryMsg(msg, buf.data(), buf.size()), 0u) << "128 characters";
    msg.m_strTopicName.clear();
    EXPECT_EQ(encodeDiscoveryMsg(msg, buf.data(), buf.size()), 0u) << "empty topic";
    msg.m_strTopicName = "h10_t";
    msg.m_strHostIp = "198.018.050.0001";
    EXPECT_EQ(encodeDiscoveryMsg(msg, buf.data(), buf.size()), 0u) << "16-character address";

    DiscoveryAckMsg_t ack;
    ack.m_strTopicName = "h10_t";
    ack.m_strHostIp = "198.018.050.0001";
    EXPECT_EQ(encodeDiscoveryAckMsg(ack, buf.data(), buf.size()), 0u) << "16-character address";
    ack.m_strHostIp.clear();
    EXPECT_EQ(encodeDiscoveryAckMsg(ack, buf.data(), DISCOVERY_ACK_MSG_SIZE - 1), 0u);
}

TEST(DiscoveryCodecTest, TopicNamesAreCheckedOnceForCodecAndApplication)
{
    const std::string longest(127, 't');
    const struct {
        std::string name;
        const char* line; // the red line of acceptTopicName, null when accepted
    } cases[] = {
        {"h10_t", nullptr},
        {longest, nullptr},
        {"", "Error: topic name is empty."},
        {std::string("h10_a\0b", 7), "Error: topic name h10_a holds a NUL character."},
        {std::string("\0", 1), "Error: topic name  holds a NUL character."},
        {longest + "u", nullptr}, // the long name's own line is checked below
    };
    std::vector<uint8_t> buf(2048);
    for (const auto& c : cases) {
        const bool fits = c.name.size() <= 127 && c.line == nullptr;
        EXPECT_EQ(isValidTopicName(c.name), fits) << c.name.size();
        zqtest::OutputCapture capture;
        EXPECT_EQ(acceptTopicName(c.name), fits) << c.name.size();
        capture.stop();
        if (c.line != nullptr) {
            EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, c.line)) << capture.out();
        } else if (fits) {
            EXPECT_EQ(capture.out(), "");
        }
        DiscoveryMsg_t msg;
        msg.m_strTopicName = c.name;
        EXPECT_EQ(encodeDiscoveryMsg(msg, buf.data(), buf.size()) != 0, fits) << c.name.size();
        DiscoveryAckMsg_t ack;
        ack.m_strTopicName = c.name;
        ack.m_stTransParam = endpoint("127.0.0.1", 50001);
        EXPECT_EQ(encodeDiscoveryAckMsg(ack, buf.data(), buf.size()) != 0, fits) << c.name.size();
    }
    zqtest::OutputCapture capture;
    EXPECT_FALSE(acceptTopicName(longest + "u"));
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED,
                                   "Error: topic name " + longest + "u is too long (128 characters, at most 127)."));
}

TEST(DiscoveryCodecTest, MulticastGroupIsReadStrictlyAndChecked)
{
    const struct {
        const char* text;
        bool group;
        uint32_t value; // host order
    } cases[] = {
        {"224.0.0.0", true, 0xE0000000u},
        {"239.255.255.255", true, 0xEFFFFFFFu},
        {"224.5.6.7", true, 0xE0050607u},
        {"223.255.255.255", false, 0},
        {"240.0.0.0", false, 0},
        {"10.1.2.3", false, 0},
        // Leading zeros: the socket calls would read 224.8.0.1 and nothing at all.
        {"224.010.0.1", false, 0},
        {"224.5.6.08", false, 0},
        {"0224.5.6.7", false, 0},
        {"224.5.6", false, 0},
        {" 224.5.6.7", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        in_addr addr{};
        addr.s_addr = 0x01010101u;
        EXPECT_EQ(parseMulticastGroup(c.text, &addr), c.group) << c.text;
        EXPECT_EQ(addr.s_addr, c.group ? htonl(c.value) : 0x01010101u) << c.text;
    }
}

struct BadCase {
    const char* what;
    std::vector<uint8_t> bytes;
};

// Each case breaks one rule of an otherwise good message.
std::vector<BadCase> badAnnouncements()
{
    const std::vector<uint8_t> good = goldenAnnouncement();
    std::vector<BadCase> cases;
    auto mutate = [&](const char* what, auto change) {
        std::vector<uint8_t> b = good;
        change(b);
        cases.push_back({what, b});
    };
    cases.push_back({"empty", {}});
    cases.push_back({"five bytes", {'Z', 'Q', 'M', 'W', 0}});
    cases.push_back({"header only", std::vector<uint8_t>(good.begin(), good.begin() + 34)});
    cases.push_back({"one byte short", std::vector<uint8_t>(good.begin(), good.end() - 1)});
    mutate("wrong magic", [](std::vector<uint8_t>& b) { b[3] = 'X'; });
    mutate("DataLen 155", [](std::vector<uint8_t>& b) { put32(b, 18, 155); });
    mutate("DataLen 384", [](std::vector<uint8_t>& b) { put32(b, 18, 384); });
    mutate("type 13 at 190 bytes", [](std::vector<uint8_t>& b) { b[5] = 13; });
    mutate("unterminated topic", [](std::vector<uint8_t>& b) { std::memset(&b[50], 'x', 128); });
    mutate("empty topic", [](std::vector<uint8_t>& b) { std::memset(&b[50], 0, 128); });
    mutate("unterminated address", [](std::vector<uint8_t>& b) { std::memset(&b[34], '1', 16); });
    mutate("address not IPv4", [](std::vector<uint8_t>& b) { putText(b, 34, "999.1.1.1"); });
    return cases;
}

std::vector<BadCase> badAnswers()
{
    const std::vector<uint8_t> good = goldenAnswer();
    std::vector<BadCase> cases;
    auto mutate = [&](const char* what, auto change) {
        std::vector<uint8_t> b = good;
        change(b);
        cases.push_back({what, b});
    };
    cases.push_back({"answer cut to an announcement's size", std::vector<uint8_t>(good.begin(), good.begin() + 190)});
    cases.push_back({"one byte short", std::vector<uint8_t>(good.begin(), good.end() - 1)});
    mutate("wrong magic", [](std::vector<uint8_t>& b) { b[0] = 'z'; });
    mutate("DataLen 156", [](std::vector<uint8_t>& b) { put32(b, 18, 156); });
    mutate("type 12 at 418 bytes", [](std::vector<uint8_t>& b) { b[5] = 12; });
    mutate("unterminated topic", [](std::vector<uint8_t>& b) { std::memset(&b[278], 'x', 128); });
    mutate("unterminated address slot", [](std::vector<uint8_t>& b) { std::memset(&b[34], '1', 20); });
    mutate("endpoint of type UDP", [](std::vector<uint8_t>& b) { put32(b, 54, 1); });
    mutate("endpoint of type 9", [](std::vector<uint8_t>& b) { put32(b, 54, 9); });
    mutate("unterminated endpoint address", [](std::vector<uint8_t>& b) { std::memset(&b[62], '7', 16); });
    mutate("endpoint address not IPv4", [](std::vector<uint8_t>& b) { putText(b, 62, "host.example"); });
    mutate("endpoint port 0", [](std::vector<uint8_t>& b) { put32(b, 78, 0); });
    mutate("endpoint port 65536", [](std::vector<uint8_t>& b) { put32(b, 78, 65536); });
    return cases;
}

TEST(DiscoveryCodecTest, DecodersRefuseMalformedDatagrams)
{
    for (const BadCase& c : badAnnouncements()) {
        DiscoveryMsg_t out;
        out.m_iDomainId = -7;
        EXPECT_FALSE(decodeDiscoveryMsg(c.bytes.data(), c.bytes.size(), &out)) << c.what;
        EXPECT_EQ(out.m_iDomainId, -7) << c.what << ": output untouched";
    }
    for (const BadCase& c : badAnswers()) {
        DiscoveryAckMsg_t out;
        out.m_iDomainId = -7;
        EXPECT_FALSE(decodeDiscoveryAckMsg(c.bytes.data(), c.bytes.size(), &out)) << c.what;
        EXPECT_EQ(out.m_iDomainId, -7) << c.what << ": output untouched";
    }
}

TEST(DiscoveryCodecTest, DecodersAcceptLongerDatagramsAndAnEmptyAddress)
{
    std::vector<uint8_t> announce = goldenAnnouncement();
    std::memset(&announce[34], 0, 16); // a participant started without a host address
    announce.resize(300, 0xAB);        // trailing bytes are not read
    DiscoveryMsg_t msg;
    ASSERT_TRUE(decodeDiscoveryMsg(announce.data(), announce.size(), &msg));
    EXPECT_EQ(msg.m_strHostIp, "");
    EXPECT_EQ(msg.m_strTopicName, "h10_golden");

    std::vector<uint8_t> answer = goldenAnswer();
    std::memset(&answer[34], 0, 20);
    answer.push_back(1);
    DiscoveryAckMsg_t ack;
    ASSERT_TRUE(decodeDiscoveryAckMsg(answer.data(), answer.size(), &ack));
    EXPECT_EQ(ack.m_strHostIp, "");
}

TEST(DiscoveryCodecTest, TypeNeedsAHeaderWithTheMagic)
{
    const std::vector<uint8_t> good = goldenAnnouncement();
    EXPECT_EQ(discoveryMsgType(good.data(), good.size()), 12);
    EXPECT_EQ(discoveryMsgType(good.data(), 34), 12);
    EXPECT_EQ(discoveryMsgType(good.data(), 33), -1);
    EXPECT_EQ(discoveryMsgType(nullptr, 190), -1);
    std::vector<uint8_t> other = good;
    other[1] = 'X';
    EXPECT_EQ(discoveryMsgType(other.data(), other.size()), -1);
}

TEST(DiscoveryCodecTest, PeriodOutsideItsBoundsKeepsTheDefault)
{
    const struct {
        int period;
        int interval;
        bool warned;
    } cases[] = {{1, 1000, false}, {3600, 3600000, false}, {0, 5000, true}, {-1, 5000, true}, {3601, 5000, true}};
    for (const auto& c : cases) {
        FakeHooks hooks(50);
        zqtest::OutputCapture capture;
        CDiscovery discovery(&hooks, "239.50.0.1", 50000, c.period);
        capture.stop();
        EXPECT_EQ(discovery.getInterval(), c.interval) << c.period;
        const std::string warning =
            "Warning: discover period " + std::to_string(c.period) + " s is out of range 1..3600, keep 5 s.";
        EXPECT_EQ(zqtest::hasDdsLine(capture.out(), YELLOW, warning), c.warned) << c.period;
    }
}

class DiscoveryNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        CResourceManager::getInstance()->setHostEthIp("lo", "127.0.0.1");
        CTimerSingleton::getInstance(); // the process timer thread lives until exit
    }

    // Sends raw bytes to a group through the interface with address `ifIp`.
    static void sendRaw(const std::vector<uint8_t>& bytes, const std::string& group, int port,
                        const std::string& ifIp = "127.0.0.1")
    {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        in_addr iface{};
        iface.s_addr = inet_addr(ifIp.c_str());
        ASSERT_EQ(::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface)), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = inet_addr(group.c_str());
        ssize_t sent = ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        ::close(fd);
        ASSERT_EQ(sent, static_cast<ssize_t>(bytes.size()));
    }

    static std::vector<uint8_t> announcement(const std::string& topic, int domain)
    {
        DiscoveryMsg_t msg;
        msg.m_strHostIp = "127.0.0.1";
        msg.m_strTopicName = topic;
        msg.m_iDomainId = domain;
        std::vector<uint8_t> b(DISCOVERY_MSG_SIZE);
        encodeDiscoveryMsg(msg, b.data(), b.size());
        return b;
    }
};

TEST_F(DiscoveryNsTest, ParticipantConnectsToItself)
{
    FakeHooks hooks(50);
    const TransParam_t control = endpoint("127.0.0.1", 50011);
    hooks.wait("h10_self");
    hooks.publish("h10_self", control);
    CDiscovery discovery(&hooks, "239.50.0.1", 50010, 3600);

    zqtest::OutputCapture capture;
    discovery.run();
    discovery.trigger("h10_self");
    ASSERT_TRUE(hooks.waitTaken(1, 10000));
    discovery.stop();
    capture.stop();

    auto taken = hooks.taken();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].first, "h10_self");
    EXPECT_TRUE(sameParam(taken[0].second, control));
    const std::string& out = capture.out();
    EXPECT_TRUE(zqtest::hasDdsLine(out, GREEN, "Membuffer pool size : 409600"));
    EXPECT_TRUE(zqtest::hasDdsLine(out, GREEN, "Discovery timer task id: 1, interval: 3600000 ms."));
    EXPECT_TRUE(zqtest::hasDdsLine(out, GREEN, "Recv discovery msg, TopicName: h10_self, IP: 127.0.0.1, DomainId: 50"));
    EXPECT_TRUE(
        zqtest::hasDdsLine(out, GREEN, "Recv discovery ack msg, TopicName: h10_self, IP: 127.0.0.1, DomainId: 50"));
}

TEST_F(DiscoveryNsTest, TimerAnnouncesWaitingTopicsEveryPeriod)
{
    FakeHooks reader(50);
    FakeHooks writer(50);
    reader.wait("h10_timer");
    writer.publish("h10_timer", endpoint("127.0.0.1", 50021));
    CDiscovery readSide(&reader, "239.50.0.2", 50020, 1);
    CDiscovery writeSide(&writer, "239.50.0.2", 50020, 1);
    writeSide.run();
    readSide.run(); // no trigger: only the periodic task announces

    ASSERT_TRUE(reader.waitTaken(1, 20000));
    readSide.stop();
    writeSide.stop();
    EXPECT_EQ(reader.taken()[0].first, "h10_timer");
    EXPECT_TRUE(writer.taken().empty());
}

TEST_F(DiscoveryNsTest, DomainsIgnoreEachOther)
{
    FakeHooks a(51);
    FakeHooks b(52);
    const TransParam_t controlA = endpoint("127.0.0.1", 50031);
    const TransParam_t controlB = endpoint("127.0.0.1", 50032);
    a.wait("h10_dom");
    a.publish("h10_dom", controlA);
    b.wait("h10_dom");
    b.publish("h10_dom", controlB);
    CDiscovery da(&a, "239.50.0.3", 50030, 3600);
    CDiscovery db(&b, "239.50.0.3", 50030, 3600);
    da.run();
    db.run();
    da.trigger("h10_dom");
    db.trigger("h10_dom");

    // Two announcements and two answers; each engine hears all four.
    ASSERT_TRUE(zqtest::waitUntil([&] { return da.getRecvMsgCount() >= 4 && db.getRecvMsgCount() >= 4; }, 10000));
    da.stop();
    db.stop();
    EXPECT_EQ(da.getRecvMsgCount(), 4u);
    EXPECT_EQ(db.getRecvMsgCount(), 4u);
    EXPECT_EQ(a.pubAsked(), 1) << "only its own domain's announcement";
    EXPECT_EQ(b.pubAsked(), 1);
    EXPECT_EQ(a.subOffered(), 1) << "only its own domain's answer";
    EXPECT_EQ(b.subOffered(), 1);
    ASSERT_EQ(a.taken().size(), 1u);
    ASSERT_EQ(b.taken().size(), 1u);
    EXPECT_TRUE(sameParam(a.taken()[0].second, controlA));
    EXPECT_TRUE(sameParam(b.taken()[0].second, controlB));
}

TEST_F(DiscoveryNsTest, MalformedDatagramsAreDroppedAndDiscoveryGoesOn)
{
    FakeHooks hooks(53);
    const TransParam_t control = endpoint("127.0.0.1", 50041);
    hooks.publish("h10_golden", control);
    CDiscovery discovery(&hooks, "239.50.0.4", 50040, 3600);
    discovery.run();

    // A good announcement first: a later short or empty datagram must not replay it.
    std::vector<uint8_t> good = goldenAnnouncement();
    good.resize(DISCOVERY_MSG_SIZE);
    sendRaw(good, "239.50.0.4", 50040);
    ASSERT_TRUE(zqtest::waitUntil([&] { return discovery.getRecvMsgCount() >= 2; }, 10000)); // and its answer
    ASSERT_EQ(hooks.pubAsked(), 1);

    std::vector<std::vector<uint8_t>> bad;
    for (const BadCase& c : badAnnouncements()) {
        bad.push_back(c.bytes);
    }
    for (const BadCase& c : badAnswers()) {
        bad.push_back(c.bytes);
    }
    std::vector<uint8_t> control14 = good;
    control14[5] = 14;
    bad.push_back(control14);

    zqtest::OutputCapture capture;
    for (const auto& bytes : bad) {
        sendRaw(bytes, "239.50.0.4", 50040);
    }
    ASSERT_TRUE(zqtest::waitUntil([&] { return discovery.getRecvMsgCount() >= 2 + bad.size(); }, 10000));
    capture.stop();
    EXPECT_EQ(discovery.getDropMsgCount(), bad.size());
    EXPECT_EQ(hooks.pubAsked(), 1) << "nothing malformed reached the participant";
    EXPECT_EQ(hooks.subOffered(), 1) << "only the good answer";
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), RED, "Error: unsupported message type 14 !!!"), 1);
    EXPECT_EQ(capture.out().find("Recv discovery"), std::string::npos);

    // Still running and correct.
    hooks.wait("h10_after");
    hooks.publish("h10_after", control);
    discovery.trigger("h10_after");
    ASSERT_TRUE(hooks.waitTaken(1, 10000));
    discovery.stop();
}

TEST_F(DiscoveryNsTest, AnswersAnAnnouncementOnlyForATopicItWrites)
{
    FakeHooks hooks(54);
    hooks.publish("h10_mine", endpoint("127.0.0.1", 50051));
    CDiscovery discovery(&hooks, "239.50.0.5", 50050, 3600);
    discovery.run();

    zqtest::OutputCapture capture;
    sendRaw(announcement("h10_other", 54), "239.50.0.5", 50050);
    ASSERT_TRUE(zqtest::waitUntil([&] { return discovery.getRecvMsgCount() >= 1; }, 10000));
    sendRaw(announcement("h10_mine", 54), "239.50.0.5", 50050);
    ASSERT_TRUE(zqtest::waitUntil([&] { return discovery.getRecvMsgCount() >= 3; }, 10000)); // and its answer
    discovery.stop();
    capture.stop();

    EXPECT_EQ(discovery.getRecvMsgCount(), 3u);
    EXPECT_EQ(discovery.getDropMsgCount(), 0u);
    EXPECT_EQ(capture.out().find("h10_other"), std::string::npos) << "no answer, no line";
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), GREEN,
                                   "Recv discovery msg, TopicName: h10_mine, IP: 127.0.0.1, DomainId: 54"));
}

TEST_F(DiscoveryNsTest, AWriterWithoutAControlEndpointDoesNotAnswer)
{
    FakeHooks hooks(55);
    TransParam_t none;
    std::memset(&none, 0, sizeof(none)); // a publisher that holds no control record yet
    hooks.publish("h10_noctl", none);
    hooks.wait("h10_noctl");
    CDiscovery discovery(&hooks, "239.50.0.6", 50060, 3600);
    discovery.run();
    discovery.trigger("h10_noctl");
    ASSERT_TRUE(zqtest::waitUntil([&] { return hooks.pubAsked() >= 1; }, 10000));
    // A second announcement is a marker: if the first had drawn an answer, it would come first.
    sendRaw(announcement("h10_marker", 55), "239.50.0.6", 50060);
    ASSERT_TRUE(zqtest::waitUntil([&] { return hooks.pubAsked() >= 2; }, 10000));
    discovery.stop();
    EXPECT_EQ(discovery.getRecvMsgCount(), 2u);
    EXPECT_EQ(hooks.subOffered(), 0);
}

TEST_F(DiscoveryNsTest, StopTwiceAndStopWithoutRunLeaveNothingBehind)
{
    const int fds = zqtest::countOpenFds();
    const int threads = zqtest::baselineThreads();
    FakeHooks hooks(56);
    {
        CDiscovery idle(&hooks, "239.50.0.7", 50070, 3600);
        idle.stop();
        idle.stop();
    }
    {
        CDiscovery discovery(&hooks, "239.50.0.7", 50070, 3600);
        discovery.run();
        discovery.run(); // once only
        EXPECT_EQ(zqtest::threadsSettleAt(threads + 1), threads + 1);
        discovery.stop();
        discovery.stop();
        EXPECT_EQ(zqtest::countOpenFds(), fds);
        EXPECT_EQ(zqtest::threadsSettleAt(threads), threads);
        discovery.trigger("h10_stopped"); // no socket any more: nothing happens
    }
    {
        CDiscovery dropped(&hooks, "239.50.0.7", 50070, 3600);
        dropped.run(); // the destructor stops it
    }
    EXPECT_EQ(zqtest::countOpenFds(), fds);
    EXPECT_EQ(zqtest::threadsSettleAt(threads), threads);
}

TEST_F(DiscoveryNsTest, FailedMembershipIsReported)
{
    // An address no interface has: the group cannot be joined there.
    CResourceManager::getInstance()->setHostEthIp("lo", "198.18.50.99");
    FakeHooks hooks(57);
    CDiscovery discovery(&hooks, "239.50.0.8", 50080, 3600);
    zqtest::OutputCapture capture;
    discovery.run();
    discovery.stop();
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED,
                                   "Error: join multicast group 239.50.0.8 on 198.18.50.99 failed, discovery hears "
                                   "nothing!"));
}

TEST_F(DiscoveryNsTest, GroupWithLeadingZerosIsJoinedNowhere)
{
    // The socket calls once read "224.010.0.1" as 224.8.0.1 and joined that group.
    FakeHooks hooks(57);
    CDiscovery discovery(&hooks, "224.010.0.1", 50081, 3600);
    zqtest::OutputCapture capture;
    discovery.run();
    discovery.stop();
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED,
                                   "Error: join multicast group 224.010.0.1 on 127.0.0.1 failed, discovery hears "
                                   "nothing!"))
        << capture.out();
}

TEST_F(DiscoveryNsTest, HearsOnlyOnTheHostAddressInterface)
{
    std::string error;
    ASSERT_TRUE(zqtest::joinHosts(nullptr, "h10v0", "198.18.50.1/24", nullptr, "h10v1", "198.18.50.2/24", &error))
        << error;
    // The group's route leads there too, so that loopback is neither of the two interfaces heard.
    ASSERT_EQ(zqtest::runCommand({"ip", "route", "replace", "224.0.0.0/4", "dev", "h10v0"}, 10000, &error), 0) << error;
    CResourceManager::getInstance()->setHostEthIp("h10v0", "198.18.50.1");
    FakeHooks hooks(58);
    hooks.publish("h10_if", endpoint("198.18.50.1", 50091));
    CDiscovery discovery(&hooks, "239.50.0.9", 50090, 3600);
    discovery.run();

    hooks.publish("h10_if_lo", endpoint("198.18.50.1", 50092));
    sendRaw(announcement("h10_if_lo", 58), "239.50.0.9", 50090, "127.0.0.1"); // another interface
    sendRaw(announcement("h10_if", 58), "239.50.0.9", 50090, "198.18.50.1");
    // Had the first been heard, it would have been handled before the second.
    ASSERT_TRUE(zqtest::waitUntil([&] { return hooks.pubAsked() >= 1; }, 10000));
    ASSERT_TRUE(zqtest::waitUntil([&] { return discovery.getRecvMsgCount() >= 2; }, 10000)); // and the answer
    discovery.stop();
    EXPECT_EQ(hooks.asked(), std::vector<std::string>{"h10_if"});
    EXPECT_EQ(discovery.getRecvMsgCount(), 2u);
}

TEST_F(DiscoveryNsTest, TwoHostsFindEachOther)
{
    std::string error;
    std::unique_ptr<zqtest::NetHost> host = zqtest::NetHost::create(&error);
    ASSERT_NE(host, nullptr) << error;
    ASSERT_TRUE(zqtest::joinHosts(nullptr, "h10d0", "198.18.50.11/24", host.get(), "h10d1", "198.18.50.12/24", &error))
        << error;
    CResourceManager::getInstance()->setHostEthIp("h10d0", "198.18.50.11");
    FakeHooks hooks(50);
    hooks.wait("h10_there");
    hooks.publish("h10_here", endpoint("198.18.50.11", 50111));
    CDiscovery discovery(&hooks, "239.50.1.1", 50110, 1);
    discovery.run();

    // The peer announces what it waits for every second, so it finds this engine whenever it starts.
    auto peer = host->spawn({zqtest::helperPath("discovery_peer"), "198.18.50.12", "239.50.1.1", "50110", "50", "1",
                             "h10_there", "50112", "h10_here"},
                            &error);
    ASSERT_NE(peer, nullptr) << error;
    ASSERT_TRUE(peer->waitForLine("ready", 10000)) << peer->output();
    discovery.trigger("h10_there");
    ASSERT_TRUE(hooks.waitTaken(1, 20000));
    EXPECT_TRUE(sameParam(hooks.taken()[0].second, endpoint("198.18.50.12", 50112)));
    ASSERT_TRUE(peer->waitForLine("taken h10_here 198.18.50.11 50111", 20000)) << peer->output();
    ASSERT_TRUE(peer->writeInput("quit\n"));
    ASSERT_TRUE(peer->waitForLine("bye", 10000));
    EXPECT_NE(peer->wait(10000), -1);
    EXPECT_EQ(peer->exitCode(), 0);
    discovery.stop();
}

// Where a peer meets this engine on a multi-homed host. The engine is configured on a veth end of
// its own ("c"); the group's route in this namespace leads to loopback, to that end, or to a
// second link ("r"); the peer runs in this namespace or in a host behind one of the links.
enum class PeerAt { Here, BehindConfigured, BehindRouted };
enum class RouteTo { Loopback, Configured, Routed };

struct RouteLayout {
    const char* name;
    PeerAt peer;
    RouteTo route;
};

void PrintTo(const RouteLayout& layout, std::ostream* os)
{
    *os << layout.name;
}

class DiscoveryRouteNsTest : public DiscoveryNsTest, public ::testing::WithParamInterface<RouteLayout> {};

// A peer that lets the routing table pick the interface of its membership and of its sends, as
// a plain implementation of the wire format does, answers this engine's announcement and has its
// own answered, whichever interface the group's route leads to.
TEST_P(DiscoveryRouteNsTest, MeetsAPeerThatLeavesTheInterfaceToTheRoute)
{
    const RouteLayout& layout = GetParam();
    const int i = static_cast<int>(layout.peer) * 3 + static_cast<int>(layout.route);
    const std::string n = std::to_string(i);
    const std::string group = "239.50.2." + std::to_string(i + 1);
    const int port = 50200 + 10 * i;
    const std::string configuredIf = "h10m" + n + "c";
    const std::string configuredIp = "198.18.120." + std::to_string(i * 4 + 1);
    const std::string configuredPeerIp = "198.18.120." + std::to_string(i * 4 + 2);
    const std::string routedIf = "h10m" + n + "r";
    const std::string routedPeerIp = "198.18.121." + std::to_string(i * 4 + 2);

    std::string error;
    std::unique_ptr<zqtest::NetHost> host;
    if (layout.peer != PeerAt::Here) {
        host = zqtest::NetHost::create(&error);
        ASSERT_NE(host, nullptr) << error;
    }
    zqtest::NetHost* behindConfigured = layout.peer == PeerAt::BehindConfigured ? host.get() : nullptr;
    ASSERT_TRUE(zqtest::joinHosts(nullptr, configuredIf, configuredIp + "/30", behindConfigured, "h10m" + n + "d",
                                  configuredPeerIp + "/30", &error))
        << error;
    if (layout.peer == PeerAt::BehindRouted) {
        ASSERT_TRUE(zqtest::joinHosts(nullptr, routedIf, "198.18.121." + std::to_string(i * 4 + 1) + "/30", host.get(),
                                      "h10m" + n + "q", routedPeerIp + "/30", &error))
            << error;
    }
    const std::string routeDev = layout.route == RouteTo::Loopback     ? "lo"
                                 : layout.route == RouteTo::Configured ? configuredIf
                                                                       : routedIf;
    ASSERT_EQ(zqtest::runCommand({"ip", "route", "replace", "224.0.0.0/4", "dev", routeDev}, 10000, &error), 0)
        << error;
    ASSERT_EQ(zqtest::routeDevice(group), routeDev);

    CResourceManager::getInstance()->setHostEthIp(configuredIf, configuredIp);
    FakeHooks hooks(60);
    const TransParam_t control = endpoint(configuredIp, port + 1);
    hooks.publish("h10_route_pub", control);
    hooks.wait("h10_route_sub");

    const std::string peerIp = layout.peer == PeerAt::Here               ? "127.0.0.1"
                               : layout.peer == PeerAt::BehindConfigured ? configuredPeerIp
                                                                         : routedPeerIp;
    const std::vector<std::string> argv = {zqtest::helperPath("strict_discovery_peer"),
                                           peerIp,
                                           group,
                                           std::to_string(port),
                                           "60",
                                           "200",
                                           "h10_route_sub",
                                           std::to_string(port + 2),
                                           "h10_route_pub"};
    std::unique_ptr<zqtest::ChildProcess> peer =
        host ? host->spawn(argv, &error) : zqtest::ChildProcess::spawn(argv, &error);
    ASSERT_NE(peer, nullptr) << error;
    ASSERT_TRUE(peer->waitForLine("ready", 10000)) << peer->output();
    auto peerSaid = [&peer](const std::string& text) { return peer->output().find(text) != std::string::npos; };

    const int fds = zqtest::countOpenFds();
    zqtest::OutputCapture capture;
    CDiscovery discovery(&hooks, group, port, 1);
    discovery.run();
    discovery.trigger("h10_route_sub");
    // The peer announces every 200 ms until answered: its announcement reached this engine, and
    // this engine's answer reached the peer.
    const bool peerAnswered = zqtest::waitUntil(
        [&] { return peerSaid("taken h10_route_pub " + configuredIp + " " + std::to_string(port + 1) + "\n"); }, 10000);
    // This engine's announcement reached the peer, and the peer's answer reached this engine.
    const bool peerHeard =
        zqtest::waitUntil([&] { return peerSaid("heard h10_route_sub " + configuredIp + "\n"); }, 10000);
    const bool engineAnswered = hooks.waitTaken(1, 10000);
    discovery.stop();
    capture.stop();

    EXPECT_TRUE(peerAnswered) << "the peer's announcement drew no answer that it heard:\n" << peer->output();
    EXPECT_TRUE(peerHeard) << "the peer never heard this engine's announcement:\n" << peer->output();
    EXPECT_TRUE(engineAnswered) << "this engine never took the peer's answer";
    auto taken = hooks.taken();
    if (engineAnswered) {
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_TRUE(sameParam(taken[0].second, endpoint(peerIp, port + 2)));
    }
    EXPECT_EQ(capture.out().find("Error"), std::string::npos) << capture.out();
    EXPECT_EQ(capture.err(), "");
    EXPECT_EQ(zqtest::countOpenFds(), fds);

    ASSERT_TRUE(peer->writeInput("quit\n"));
    EXPECT_TRUE(peer->waitForLine("bye", 10000)) << peer->output();
    EXPECT_NE(peer->wait(10000), -1);
    EXPECT_EQ(peer->exitCode(), 0);
    for (const std::string& ifName : {std::string("lo"), configuredIf, routeDev}) {
        EXPECT_FALSE(zqtest::joinedOn(ifName, group)) << ifName;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DiscoveryRouteNsTest,
    ::testing::Values(
        RouteLayout{"PeerHereGroupRoutedToLoopback", PeerAt::Here, RouteTo::Loopback},
        RouteLayout{"PeerBehindTheRoutedLink", PeerAt::BehindRouted, RouteTo::Routed},
        RouteLayout{"PeerBehindTheConfiguredLinkGroupRoutedThere", PeerAt::BehindConfigured, RouteTo::Configured},
        RouteLayout{"PeerBehindTheConfiguredLinkGroupRoutedToLoopback", PeerAt::BehindConfigured, RouteTo::Loopback}),
    [](const ::testing::TestParamInfo<RouteLayout>& layout) { return std::string(layout.param.name); });

TEST_F(DiscoveryNsTest, BufferedPipelineConnectsToItself)
{
    FakeHooks hooks(59);
    const TransParam_t control = endpoint("127.0.0.1", 50101);
    hooks.wait("h10_buffered");
    hooks.publish("h10_buffered", control);
    const int fds = zqtest::countOpenFds();
    const int threads = zqtest::baselineThreads();
    {
        CDiscovery discovery(&hooks, "239.50.0.10", 50100, 3600);
        ASSERT_TRUE(CDiscoveryTestPeer::startBuffered(discovery)); // its announcement loop announces at once
        ASSERT_TRUE(hooks.waitTaken(1, 10000));
        EXPECT_TRUE(zqtest::waitUntil([&] { return discovery.getRecvMsgCount() >= 2; }, 10000));
        discovery.stop();
        EXPECT_TRUE(sameParam(hooks.taken()[0].second, control));
    }
    EXPECT_EQ(zqtest::countOpenFds(), fds);
    EXPECT_EQ(zqtest::threadsSettleAt(threads), threads);
}

} // namespace

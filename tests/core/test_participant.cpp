// The participant as an application sees it: start-up from a record, the failed interface check,
// the topic, publisher and subscriber registries, and a participant left to the end of the
// process.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/zqtest.h"
#include "utils/dds_common.h"
#include "zqdds/participant.h"
#include "zqdds/topic.h"

namespace {

bool isLowerHex16(const std::string& text)
{
    if (text.size() != 16) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

const std::string RED = "31";
const std::string GREEN = "32";
const std::string YELLOW = "33";

// The library's lines in `out`, in order, each without " @function,line".
std::vector<std::string> ddsLines(const std::string& out)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        std::string line = out.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? out.size() : end + 1;
        if (line.find("[DDS] ") == std::string::npos) {
            continue;
        }
        size_t at = line.rfind(" @");
        lines.push_back(at == std::string::npos ? line : line.substr(0, at));
    }
    return lines;
}

std::string versionLine()
{
    return zqtest::ddsLine(GREEN, "VERSION: V2.0.0, compiled on " + getCompileTime());
}

// Discovery on domain 46, group 224.46.0.1:46001, every 2 s; ports, one socket index and one key
// number of this file's ranges; a 1 MiB budget; the loopback interface.
_DomainConfigParam_t loRecord()
{
    _DomainConfigParam_t param;
    param.m_iDomainId = 46;
    param.m_strMulticastIp = "224.46.0.1";
    param.m_iMulticastPort = 46001;
    param.m_iDiscoverPeriod = 2;
    param.m_vecSocketPorts = {46011, 46010};
    param.m_vecUnixSocketIdx = {4600};
    param.m_vecShmKeys = {0x4801, 0x4800};
    param.m_iMaxMemPoolSize = 0x100000;
    param.m_strEthName = "lo";
    return param;
}

ShmConfig_t userLayout(std::vector<MemGroup_t> groups)
{
    ShmConfig_t cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.m_bUseUserLayout = true;
    cfg.m_iGroupCount = static_cast<int>(groups.size());
    for (size_t i = 0; i < groups.size() && i < 16; ++i) {
        cfg.m_groups[i] = groups[i];
    }
    return cfg;
}

class ParticipantNsTest : public zqtest::NsTest {
protected:
    std::unique_ptr<CParticipant> start(_DomainConfigParam_t param, std::string* out = nullptr)
    {
        zqtest::OutputCapture capture;
        auto participant = std::make_unique<CParticipant>(param);
        capture.stop();
        if (out) {
            *out = capture.out();
        }
        return participant;
    }
};

TEST_F(ParticipantNsTest, StartsFromARecordOnLoopback)
{
    std::string out;
    auto participant = start(loRecord(), &out);

    std::vector<std::string> expected = {
        versionLine(),
        zqtest::ddsLine(GREEN, "DomainId: 46"),
        zqtest::ddsLine(GREEN, "Multicast ip: 224.46.0.1, Multicast port: 46001"),
        zqtest::ddsLine(GREEN, "Discover period: 2 s"),
        zqtest::ddsLine(GREEN, "MaxMemPoolSize: 1 M"),
        zqtest::ddsLine(GREEN, "eth: lo, ip: 127.0.0.1"),
        zqtest::ddsLine(GREEN, "Membuffer pool size : 409600"),
        zqtest::ddsLine(GREEN, "Discovery timer task id: 1, interval: 2000 ms."),
    };
    EXPECT_EQ(ddsLines(out), expected);
    EXPECT_EQ(participant->getDomainId(), 46);
    EXPECT_EQ(participant->getDevIp(), "127.0.0.1");

    CTopic* topic = participant->createTopic("h8_rec", nullptr);
    ASSERT_NE(topic, nullptr);
    EXPECT_EQ(topic->getName(), "h8_rec");
    CPublisher* pub = participant->createPublisher();
    CSubscriber* sub = participant->createSubscriber();
    ASSERT_NE(pub, nullptr);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(participant->deletePublisher(pub), 0);
    EXPECT_EQ(participant->deleteSubscriber(sub), 0);
    EXPECT_EQ(participant->deleteTopic(topic), 0);
}

TEST_F(ParticipantNsTest, BudgetBelowOneMebibytePrintsZero)
{
    _DomainConfigParam_t param = loRecord();
    param.m_iMaxMemPoolSize = 1048575;
    std::string out;
    auto participant = start(param, &out);
    EXPECT_TRUE(zqtest::hasDdsLine(out, GREEN, "MaxMemPoolSize: 0 M")) << out;
}

// The configured interface has no IPv4 address: start-up stops and every create refuses.
class FailedInterfaceNsTest : public ParticipantNsTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FailedInterfaceNsTest, ParticipantStaysUninitialised)
{
    const std::string ifName = GetParam();
    if (ifName == "h8v0") {
        // Up, so that it carries an IPv6 link-local address at most, and no IPv4 one.
        ASSERT_EQ(zqtest::runCommand({"ip", "link", "add", "h8v0", "type", "veth", "peer", "name", "h8v1"}), 0);
        ASSERT_EQ(zqtest::runCommand({"ip", "link", "set", "h8v0", "up"}), 0);
    }
    _DomainConfigParam_t param = loRecord();
    param.m_strEthName = ifName;
    std::string out;
    auto participant = start(param, &out);

    std::vector<std::string> expected = {
        versionLine(),
        zqtest::ddsLine(RED, "Error: Get " + ifName + " ip failed, please check net card configure."),
    };
    EXPECT_EQ(ddsLines(out), expected);
    EXPECT_EQ(participant->getDomainId(), 46);
    EXPECT_EQ(participant->getDevIp(), "");

    zqtest::OutputCapture capture;
    EXPECT_EQ(participant->createTopic("h8_never", nullptr), nullptr);
    EXPECT_EQ(participant->createPublisher(), nullptr);
    EXPECT_EQ(participant->createSubscriber(), nullptr);
    EXPECT_EQ(participant->deleteTopic(nullptr), -1);
    EXPECT_EQ(participant->deletePublisher(nullptr), -1);
    EXPECT_EQ(participant->deleteSubscriber(nullptr), -1);
    _DdsInfo_t info{};
    info.m_iClientCount = 7;
    EXPECT_EQ(participant->getDdsInfo("h8_never", DDS_INFO_PUB, info), -1);
    EXPECT_EQ(info.m_iClientCount, 7);
    capture.stop();
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), RED, "Error: Participant did not initialize successfully."), 3);
}

INSTANTIATE_TEST_SUITE_P(Interfaces, FailedInterfaceNsTest, ::testing::Values("h8nosuch0", "h8v0"));

TEST_F(ParticipantNsTest, SameTopicNameTwiceKeepsTheFirst)
{
    auto participant = start(loRecord());
    CTopic* first = participant->createTopic("h8_twice", nullptr);
    ASSERT_NE(first, nullptr);

    zqtest::OutputCapture capture;
    EXPECT_EQ(participant->createTopic("h8_twice", nullptr), nullptr);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "Error: topic h8_twice is already exists."));
    EXPECT_EQ(first->getName(), "h8_twice");
    EXPECT_EQ(participant->deleteTopic(first), 0);
}

TEST_F(ParticipantNsTest, TopicCreationPrintsItsIdentifier)
{
    auto participant = start(loRecord());
    zqtest::OutputCapture capture;
    CTopic* topic = participant->createTopic("h8_uuid", nullptr);
    capture.stop();
    ASSERT_NE(topic, nullptr);
    std::vector<std::string> lines = ddsLines(capture.out());
    ASSERT_EQ(lines.size(), 1u);
    const std::string line = zqtest::ddsLine(GREEN, "Topic h8_uuid : uuid is 0123456789abcdef");
    const size_t at = line.find("0123456789abcdef");
    ASSERT_EQ(lines[0].size(), line.size()) << lines[0];
    EXPECT_EQ(lines[0].substr(0, at), line.substr(0, at));
    EXPECT_EQ(lines[0].substr(at + 16), line.substr(at + 16));
    EXPECT_TRUE(isLowerHex16(lines[0].substr(at, 16))) << lines[0];
    EXPECT_EQ(participant->deleteTopic(topic), 0);
}

TEST_F(ParticipantNsTest, TopicNamesOfMoreThan127CharactersAreRefused)
{
    auto participant = start(loRecord());
    const std::string longest = "h8_" + std::string(124, 'a');
    const std::string tooLong = longest + "b";

    zqtest::OutputCapture capture;
    CTopic* ok = participant->createTopic(longest, nullptr);
    EXPECT_EQ(participant->createTopic(tooLong, nullptr), nullptr);
    capture.stop();
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED,
                                   "Error: topic name " + tooLong + " is too long (128 characters, at most 127)."));
    EXPECT_EQ(participant->deleteTopic(ok), 0);
}

TEST_F(ParticipantNsTest, TopicNamesDiscoveryCannotCarryAreRefused)
{
    auto participant = start(loRecord());
    const struct {
        std::string name;
        const char* line;
    } cases[] = {
        {"", "Error: topic name is empty."},
        {std::string("h8_a\0b", 6), "Error: topic name h8_a holds a NUL character."},
    };
    for (const auto& c : cases) {
        zqtest::OutputCapture capture;
        EXPECT_EQ(participant->createTopic(c.name, nullptr), nullptr) << c.line;
        capture.stop();
        EXPECT_EQ(ddsLines(capture.out()), std::vector<std::string>{zqtest::ddsLine(RED, c.line)}) << capture.out();
    }
}

TEST_F(ParticipantNsTest, DeleteTopicRefusesAForeignHandleOfTheSameName)
{
    auto first = start(loRecord());
    _DomainConfigParam_t other = loRecord();
    other.m_vecSocketPorts = {46020};
    auto second = start(other);
    CTopic* mine = first->createTopic("h8_same", nullptr);
    CTopic* foreign = second->createTopic("h8_same", nullptr);
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(foreign, nullptr);

    zqtest::OutputCapture capture;
    EXPECT_EQ(first->deleteTopic(foreign), -1);
    // Both topics are still there.
    EXPECT_EQ(first->createTopic("h8_same", nullptr), nullptr);
    EXPECT_EQ(second->createTopic("h8_same", nullptr), nullptr);
    capture.stop();
    std::vector<std::string> expected = {
        zqtest::ddsLine(RED, "Error: topic h8_same is not exists."),
        zqtest::ddsLine(RED, "Error: topic h8_same is already exists."),
        zqtest::ddsLine(RED, "Error: topic h8_same is already exists."),
    };
    EXPECT_EQ(ddsLines(capture.out()), expected);
    EXPECT_EQ(foreign->getName(), "h8_same");

    EXPECT_EQ(second->deleteTopic(foreign), 0);
    EXPECT_EQ(first->deleteTopic(mine), 0);
}

TEST_F(ParticipantNsTest, SecondDeleteOfATopicTouchesNothingAndSaysNothing)
{
    auto participant = start(loRecord());
    CTopic* topic = participant->createTopic("h8_double", nullptr);
    ASSERT_NE(topic, nullptr);
    ASSERT_EQ(participant->deleteTopic(topic), 0);

    // The handle is freed now; under ASan any read of it would be reported.
    zqtest::OutputCapture capture;
    EXPECT_EQ(participant->deleteTopic(topic), -1);
    capture.stop();
    EXPECT_TRUE(ddsLines(capture.out()).empty()) << capture.out();
    // The name is free again.
    CTopic* again = participant->createTopic("h8_double", nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(participant->deleteTopic(again), 0);
}

TEST_F(ParticipantNsTest, UninitialisedParticipantNamesAForeignTopicItCannotDelete)
{
    auto live = start(loRecord());
    CTopic* topic = live->createTopic("h8_live", nullptr);
    ASSERT_NE(topic, nullptr);
    _DomainConfigParam_t bad = loRecord();
    bad.m_strEthName = "h8nosuch0";
    auto dead = start(bad);

    zqtest::OutputCapture capture;
    EXPECT_EQ(dead->deleteTopic(topic), -1);
    capture.stop();
    std::vector<std::string> expected = {zqtest::ddsLine(RED, "Error: topic h8_live is not exists.")};
    EXPECT_EQ(ddsLines(capture.out()), expected);
    EXPECT_EQ(live->deleteTopic(topic), 0);
}

TEST_F(ParticipantNsTest, PublishersAndSubscribersOfAnotherParticipantAreNotDeleted)
{
    auto first = start(loRecord());
    auto second = start(loRecord());
    CPublisher* pub = second->createPublisher();
    CSubscriber* sub = second->createSubscriber();
    ASSERT_NE(pub, nullptr);
    ASSERT_NE(sub, nullptr);

    zqtest::OutputCapture capture;
    EXPECT_EQ(first->deletePublisher(pub), -1);
    EXPECT_EQ(first->deleteSubscriber(sub), -1);
    EXPECT_EQ(second->deletePublisher(pub), 0);
    EXPECT_EQ(second->deleteSubscriber(sub), 0);
    capture.stop();
    EXPECT_TRUE(ddsLines(capture.out()).empty()) << capture.out();
}

TEST_F(ParticipantNsTest, DdsInfoOfAnUnknownKindOrTopicLeavesTheRecordAlone)
{
    auto participant = start(loRecord());
    CTopic* topic = participant->createTopic("h8_info", nullptr);
    ASSERT_NE(topic, nullptr);
    for (int kind : {static_cast<int>(DDS_INFO_PUB), static_cast<int>(DDS_INFO_SUB), 2, -1}) {
        _DdsInfo_t info{};
        info.m_iMsgChnPort = 5;
        info.m_iClientCount = 6;
        info.m_iTopicState = 7;
        info.m_i64LostPkgCount = 8;
        EXPECT_EQ(participant->getDdsInfo("h8_info", kind, info), -1) << kind;
        EXPECT_EQ(info.m_iMsgChnPort, 5);
        EXPECT_EQ(info.m_iClientCount, 6);
        EXPECT_EQ(info.m_iTopicState, 7);
        EXPECT_EQ(info.m_i64LostPkgCount, 8);
        EXPECT_TRUE(info.m_vecDataChnInfo.empty());
    }
    EXPECT_EQ(participant->deleteTopic(topic), 0);
}

// User layouts that the pool could not carve are refused before anything is made.
struct BadLayout {
    const char* what;
    ShmConfig_t config;
    std::string line;
};

class BadLayoutNsTest : public ParticipantNsTest, public ::testing::WithParamInterface<int> {};

std::vector<BadLayout> badLayouts()
{
    const std::string t = "Error: topic h8_layout: ";
    ShmConfig_t tooMany = userLayout({{0, 4096, 1}});
    tooMany.m_iGroupCount = 17;
    ShmConfig_t negative = userLayout({{0, 4096, 1}});
    negative.m_iGroupCount = -1;
    std::vector<MemGroup_t> huge;
    huge.reserve(16);
    for (int i = 0; i < 16; ++i) {
        huge.push_back({i, INT_MAX - 96, INT_MAX});
    }
    return {
        {"no group", userLayout({}), t + "share mempool group count 0 is out of range 1..16."},
        {"17 groups", tooMany, t + "share mempool group count 17 is out of range 1..16."},
        {"negative count", negative, t + "share mempool group count -1 is out of range 1..16."},
        {"chunk size 0", userLayout({{0, 4096, 2}, {3, 0, 4}}),
         t + "invalid share mempool group 3 (chunk size 0, chunk count 4)."},
        {"negative chunk size", userLayout({{1, -4096, 4}}),
         t + "invalid share mempool group 1 (chunk size -4096, chunk count 4)."},
        {"chunk count 0", userLayout({{1, 4096, 0}}),
         t + "invalid share mempool group 1 (chunk size 4096, chunk count 0)."},
        {"negative chunk count", userLayout({{1, 4096, -2}}),
         t + "invalid share mempool group 1 (chunk size 4096, chunk count -2)."},
        {"size + overhead overflows", userLayout({{1, INT_MAX - 95, 1}}),
         t + "invalid share mempool group 1 (chunk size 2147483552, chunk count 1)."},
        {"group number twice", userLayout({{1, 4096, 2}, {1, 8192, 2}}), t + "share mempool group id 1 is used twice."},
        {"segment too large", userLayout(huge), t + "share mempool layout is too large."},
        {"chunk size not 8-aligned", userLayout({{1, 4100, 2}}),
         "Error: share memory chunk size 4100 of group 1 is not a multiple of 8!"},
    };
}

TEST_P(BadLayoutNsTest, UserLayoutIsRefused)
{
    const BadLayout bad = badLayouts()[static_cast<size_t>(GetParam())];
    auto participant = start(loRecord());
    ShmConfig_t config = bad.config;

    zqtest::OutputCapture capture;
    EXPECT_EQ(participant->createTopic("h8_layout", &config), nullptr) << bad.what;
    capture.stop();
    std::vector<std::string> expected = {zqtest::ddsLine(RED, bad.line)};
    EXPECT_EQ(ddsLines(capture.out()), expected) << bad.what;

    // Nothing was registered: the name is still free.
    CTopic* topic = participant->createTopic("h8_layout", nullptr);
    ASSERT_NE(topic, nullptr);
    EXPECT_EQ(participant->deleteTopic(topic), 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, BadLayoutNsTest, ::testing::Range(0, static_cast<int>(badLayouts().size())));

TEST_F(ParticipantNsTest, LargestChunkSizeAndAnyGroupNumberingAreAccepted)
{
    auto participant = start(loRecord());
    // The largest chunk size a pool takes: INT_MAX - 96 rounded down to a multiple of 8.
    ShmConfig_t config = userLayout({{9, 4096, 2}, {-3, (INT_MAX - 96) & ~7, 1}, {4, 65536, 1}});
    zqtest::OutputCapture capture;
    CTopic* topic = participant->createTopic("h8_edge", &config);
    capture.stop();
    ASSERT_NE(topic, nullptr);
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), GREEN, "Topic h8_edge: Use user share mempool layout."));
    EXPECT_EQ(participant->deleteTopic(topic), 0);
}

TEST_F(ParticipantNsTest, EmptyKeyPoolGivesATopicWithoutSharedMemory)
{
    _DomainConfigParam_t param = loRecord();
    param.m_vecShmKeys.clear();
    auto participant = start(param);
    ShmConfig_t defaults;
    memset(&defaults, 0, sizeof(defaults));
    ShmConfig_t user = userLayout({{0, 4096, 4}});

    for (ShmConfig_t* config : {&defaults, &user}) {
        const std::string name = config == &user ? "h8_nokey_user" : "h8_nokey_default";
        zqtest::OutputCapture capture;
        CTopic* topic = participant->createTopic(name, config);
        capture.stop();
        ASSERT_NE(topic, nullptr) << name;
        std::vector<std::string> lines = ddsLines(capture.out());
        ASSERT_EQ(lines.size(), 3u) << capture.out();
        EXPECT_EQ(lines[1], zqtest::ddsLine(RED, "Error: share memory key container is empty!"));
        EXPECT_EQ(lines[2], zqtest::ddsLine(YELLOW, "Warning: topic " + name +
                                                        " has no share memory key, it uses the local mempool."));
        EXPECT_EQ(participant->deleteTopic(topic), 0);
    }
}

// Applications that leave their participant to the static objects: one in a namespace-scope
// unique_ptr, one in a function-local static, each with a topic left undeleted. The process-wide
// objects of the library outlive them, so both processes exit normally.
TEST_F(ParticipantNsTest, ParticipantLeftToTheEndOfTheProcessExitsCleanly)
{
    const char* helpers[] = {"exit_global_participant", "exit_static_participant"};
    for (const char* helper : helpers) {
        SCOPED_TRACE(helper);
        std::string error;
        auto child =
            zqtest::ChildProcess::spawn({zqtest::helperPath(helper), "461", "46100", "4610", "0x4610"}, &error);
        ASSERT_NE(child, nullptr) << error;
        EXPECT_TRUE(child->waitForLine("@@ used", 60000)) << child->output();
        int status = child->wait(60000);
        ASSERT_NE(status, -1) << "still running";
        EXPECT_TRUE(WIFEXITED(status)) << "status " << status << "\n" << child->output();
        EXPECT_EQ(child->exitCode(), 0) << child->output();
        EXPECT_EQ(child->output().find("Sanitizer"), std::string::npos) << child->output();
    }
}

} // namespace

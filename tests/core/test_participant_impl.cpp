// The participant's implementation: configuration checks, the resource pools it fills, the
// shared-memory layouts of its topics, its local pool, the discovery hooks and the process's
// event reactor.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/participant_impl.h"
#include "core/resource_manager.h"
#include "core/topic_impl.h"
#include "support/zqtest.h"
#include "utils/dds_common.h"
#include "utils/ev_reactor.h"
#include "zqdds/participant.h"
#include "zqdds/topic.h"

namespace {

const std::string RED = "31";
const std::string GREEN = "32";
const std::string YELLOW = "33";

_DomainConfigParam_t loRecord()
{
    _DomainConfigParam_t param;
    param.m_iDomainId = 46;
    param.m_strMulticastIp = "224.46.0.2";
    param.m_iMulticastPort = 46101;
    param.m_iDiscoverPeriod = 3;
    param.m_vecSocketPorts = {46111, 46110};
    param.m_vecUnixSocketIdx = {4611, 4610};
    param.m_vecShmKeys = {0x4811, 0x4810};
    param.m_iMaxMemPoolSize = 0x200000;
    param.m_strEthName = "lo";
    return param;
}

// The library's lines in `out`, in order, each without " @function,line".
std::vector<std::string> ddsLines(const std::string& out)
{
    std::vector<std::string> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("[DDS] ") == std::string::npos) {
            continue;
        }
        size_t at = line.rfind(" @");
        lines.push_back(at == std::string::npos ? line : line.substr(0, at));
    }
    return lines;
}

bool sameGroups(const MemGroup_t* a, const MemGroup_t* b, int count)
{
    for (int i = 0; i < count; ++i) {
        if (a[i].m_iGrpId != b[i].m_iGrpId || a[i].m_iChunkSize != b[i].m_iChunkSize ||
            a[i].m_iChunkCount != b[i].m_iChunkCount) {
            return false;
        }
    }
    return true;
}

class ParticipantImplNsTest : public zqtest::NsTest {
protected:
    std::unique_ptr<CParticipantImpl> start(_DomainConfigParam_t param, std::string* out = nullptr)
    {
        zqtest::OutputCapture capture;
        auto participant = std::make_unique<CParticipantImpl>(nullptr, param);
        capture.stop();
        if (out) {
            *out = capture.out();
        }
        return participant;
    }
};

TEST_F(ParticipantImplNsTest, RecordFillsTheProcessPools)
{
    auto participant = start(loRecord());
    ASSERT_TRUE(participant->isInitialized());
    CResourceManager* res = CResourceManager::getInstance();
    EXPECT_EQ(res->getSocketPort(), 46110);
    EXPECT_EQ(res->getSocketPort(), 46111);
    EXPECT_EQ(res->getUnixSocketId(), 4610);
    EXPECT_EQ(res->getUnixSocketId(), 4611);
    EXPECT_EQ(res->getShmKey(), 0x4810 + SHM_KEY_OFFSET);
    EXPECT_EQ(res->getShmKey(), 0x4811 + SHM_KEY_OFFSET);
    EXPECT_EQ(res->getHostEthName(), "lo");
    EXPECT_EQ(res->getHostIp(), "127.0.0.1");
}

TEST_F(ParticipantImplNsTest, SecondParticipantJoinsThePoolsAndTakesOverTheHostAddress)
{
    ASSERT_EQ(zqtest::runCommand({"ip", "link", "add", "h8v2", "type", "veth", "peer", "name", "h8v3"}), 0);
    ASSERT_EQ(zqtest::runCommand({"ip", "addr", "add", "198.18.46.1/24", "dev", "h8v2"}), 0);
    ASSERT_EQ(zqtest::runCommand({"ip", "link", "set", "h8v2", "up"}), 0);
    auto first = start(loRecord());
    _DomainConfigParam_t other = loRecord();
    other.m_strEthName = "h8v2";
    other.m_vecSocketPorts = {46110, 46130};
    other.m_vecUnixSocketIdx = {};
    other.m_vecShmKeys = {0x4812};
    auto second = start(other);
    ASSERT_TRUE(first->isInitialized());
    ASSERT_TRUE(second->isInitialized());

    EXPECT_EQ(first->getDevIp(), "198.18.46.1");
    EXPECT_EQ(second->getDevIp(), "198.18.46.1");
    CResourceManager* res = CResourceManager::getInstance();
    std::vector<int> ports;
    std::vector<int> keys;
    zqtest::OutputCapture capture;
    for (int port = res->getSocketPort(); port != -1; port = res->getSocketPort()) {
        ports.push_back(port);
    }
    for (int key = res->getShmKey(); key != -1; key = res->getShmKey()) {
        keys.push_back(key - SHM_KEY_OFFSET);
    }
    capture.stop();
    EXPECT_EQ(ports, (std::vector<int>{46110, 46111, 46130}));
    EXPECT_EQ(keys, (std::vector<int>{0x4810, 0x4811, 0x4812}));
}

TEST_F(ParticipantImplNsTest, EmptyPathKeepsEveryDefaultAndFillsNothing)
{
    zqtest::OutputCapture capture;
    auto participant = std::make_unique<CParticipantImpl>(nullptr, std::string());
    capture.stop();
    EXPECT_TRUE(participant->isInitialized());
    EXPECT_EQ(participant->getDomainId(), 66);
    EXPECT_EQ(participant->getMulticastIp(), "224.5.6.7");
    EXPECT_EQ(participant->getMulticastPort(), 8888);
    EXPECT_EQ(participant->getDiscoverPeriod(), 5);
    EXPECT_EQ(participant->getMaxMemPoolSize(), 0x1400000);
    std::vector<std::string> expected = {
        zqtest::ddsLine(GREEN, "VERSION: V2.0.0, compiled on " + getCompileTime()),
        zqtest::ddsLine(GREEN, "eth: , ip: "),
        zqtest::ddsLine(GREEN, "Membuffer pool size : 409600"),
        zqtest::ddsLine(GREEN, "Discovery timer task id: 1, interval: 5000 ms."),
    };
    EXPECT_EQ(ddsLines(capture.out()), expected);
    EXPECT_EQ(participant->getDevIp(), "");

    zqtest::OutputCapture empty;
    EXPECT_EQ(CResourceManager::getInstance()->getSocketPort(), -1);
    empty.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(empty.out(), RED, "Error: socket port container is empty!"));
}

// Values that the participant refuses keep the default, with a warning; the start goes on.
struct BadValue {
    const char* what;
    void (*change)(_DomainConfigParam_t&);
    std::string line;
};

class BadValueNsTest : public ParticipantImplNsTest, public ::testing::WithParamInterface<int> {};

std::vector<BadValue> badValues()
{
    return {
        {"period 0", [](_DomainConfigParam_t& p) { p.m_iDiscoverPeriod = 0; },
         "Warning: discover period 0 s is out of range 1..3600, keep 5 s."},
        {"period 3601", [](_DomainConfigParam_t& p) { p.m_iDiscoverPeriod = 3601; },
         "Warning: discover period 3601 s is out of range 1..3600, keep 5 s."},
        {"period INT_MAX", [](_DomainConfigParam_t& p) { p.m_iDiscoverPeriod = INT_MAX; },
         "Warning: discover period 2147483647 s is out of range 1..3600, keep 5 s."},
        {"port 0", [](_DomainConfigParam_t& p) { p.m_iMulticastPort = 0; },
         "Warning: multicast port 0 is out of range 1..65535, keep 8888."},
        {"port 65536", [](_DomainConfigParam_t& p) { p.m_iMulticastPort = 65536; },
         "Warning: multicast port 65536 is out of range 1..65535, keep 8888."},
        {"unicast group", [](_DomainConfigParam_t& p) { p.m_strMulticastIp = "10.1.2.3"; },
         "Warning: multicast ip 10.1.2.3 is not an IPv4 multicast address, keep 224.5.6.7."},
        {"group 240", [](_DomainConfigParam_t& p) { p.m_strMulticastIp = "240.0.0.1"; },
         "Warning: multicast ip 240.0.0.1 is not an IPv4 multicast address, keep 224.5.6.7."},
        {"no address", [](_DomainConfigParam_t& p) { p.m_strMulticastIp = "224.1.2"; },
         "Warning: multicast ip 224.1.2 is not an IPv4 multicast address, keep 224.5.6.7."},
        {"octal-looking field", [](_DomainConfigParam_t& p) { p.m_strMulticastIp = "224.010.0.1"; },
         "Warning: multicast ip 224.010.0.1 is not an IPv4 multicast address, keep 224.5.6.7."},
        {"field 08", [](_DomainConfigParam_t& p) { p.m_strMulticastIp = "224.5.6.08"; },
         "Warning: multicast ip 224.5.6.08 is not an IPv4 multicast address, keep 224.5.6.7."},
        {"negative budget", [](_DomainConfigParam_t& p) { p.m_iMaxMemPoolSize = -1; },
         "Warning: max mem pool size -1 is negative, keep 20971520."},
    };
}

TEST_P(BadValueNsTest, DefaultIsKept)
{
    const BadValue bad = badValues()[static_cast<size_t>(GetParam())];
    _DomainConfigParam_t param = loRecord();
    bad.change(param);
    std::string out;
    auto participant = start(param, &out);
    EXPECT_TRUE(participant->isInitialized());
    EXPECT_EQ(zqtest::countDdsLines(out, YELLOW, bad.line), 1) << bad.what << "\n" << out;
    // Exactly one thing fell back to its default.
    int defaults = (participant->getDiscoverPeriod() == 5) + (participant->getMulticastPort() == 8888) +
                   (participant->getMulticastIp() == "224.5.6.7") + (participant->getMaxMemPoolSize() == 0x1400000);
    EXPECT_EQ(defaults, 1) << bad.what;
}

INSTANTIATE_TEST_SUITE_P(Values, BadValueNsTest, ::testing::Range(0, static_cast<int>(badValues().size())));

TEST_F(ParticipantImplNsTest, BoundaryValuesAreTaken)
{
    _DomainConfigParam_t param = loRecord();
    param.m_iDiscoverPeriod = 3600;
    param.m_iMulticastPort = 65535;
    param.m_strMulticastIp = "239.255.255.255";
    param.m_iMaxMemPoolSize = 0;
    std::string out;
    auto participant = start(param, &out);
    EXPECT_EQ(participant->getDiscoverPeriod(), 3600);
    EXPECT_EQ(participant->getMulticastPort(), 65535);
    EXPECT_EQ(participant->getMulticastIp(), "239.255.255.255");
    EXPECT_EQ(participant->getMaxMemPoolSize(), 0);
    EXPECT_EQ(out.find("\033[33m"), std::string::npos) << out;
}

TEST_F(ParticipantImplNsTest, NumbersThatCannotServeAreNotPutIntoThePools)
{
    _DomainConfigParam_t param = loRecord();
    param.m_vecSocketPorts = {0, 46120, 65536, -1};
    param.m_vecUnixSocketIdx = {-1, 4620};
    param.m_vecShmKeys = {-SHM_KEY_OFFSET, -SHM_KEY_OFFSET - 1, INT_MAX - SHM_KEY_OFFSET + 1, INT_MAX - SHM_KEY_OFFSET};
    std::string out;
    auto participant = start(param, &out);
    ASSERT_TRUE(participant->isInitialized());
    for (const std::string& line : {
             std::string("Warning: socket port 0 is out of range 1..65535, ignored."),
             std::string("Warning: socket port 65536 is out of range 1..65535, ignored."),
             std::string("Warning: socket port -1 is out of range 1..65535, ignored."),
             std::string("Warning: unix socket id -1 is negative, ignored."),
             std::string("Warning: share memory key number -1193046 would give the reserved key 0, skipped."),
             std::string("Warning: share memory key number -1193047 would give the reserved key -1, skipped."),
             std::string("Warning: share memory key number 2146290602 is too large for a key, skipped."),
         }) {
        EXPECT_EQ(zqtest::countDdsLines(out, YELLOW, line), 1) << line << "\n" << out;
    }
    CResourceManager* res = CResourceManager::getInstance();
    zqtest::OutputCapture capture;
    EXPECT_EQ(res->getSocketPort(), 46120);
    EXPECT_EQ(res->getSocketPort(), -1);
    EXPECT_EQ(res->getUnixSocketId(), 4620);
    EXPECT_EQ(res->getUnixSocketId(), -1);
    EXPECT_EQ(res->getShmKey(), INT_MAX);
    EXPECT_EQ(res->getShmKey(), -1);
}

// The JSON library's own text for what `use` does to the document `text`.
std::string jsonError(const std::string& text, void (*use)(nlohmann::json&))
{
    try {
        std::istringstream in(text);
        nlohmann::json doc = nlohmann::json::parse(in);
        use(doc);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

const char* const GOOD_JSON = R"({
    "domain": {"id": 46, "multicastIp": "224.46.0.3", "multicastPort": 46201, "period": 4},
    "network": {"ethName": "lo"},
    "transport": {"portRange": "46210-46213", "excludePort": [46211], "domainSockRange": "4620-4622",
                  "shmKeyRange": "18432-18434"},
    "mempool": {"maxSize": 3145728}
})";

using JsonLines = std::vector<std::pair<std::string, std::string>>;

struct JsonCase {
    const char* what;
    std::string content; // empty: no file at all
    JsonLines lines;     // after the version line
    bool initialised;
    int domain;
    std::string group;
    int port;
    int period;
    int budget;
};

std::string cfgPath()
{
    return "/tmp/h8_participant.json";
}

// A case whose participant keeps the default multicast group, port, discovery period and pool
// budget; one that starts prints those values after `lines`, then the interface it found.
JsonCase keepingDefaults(const char* what, std::string content, JsonLines lines, bool initialised, int domain)
{
    if (initialised) {
        lines.insert(lines.end(), {{GREEN, "DomainId: " + std::to_string(domain)},
                                   {GREEN, "Multicast ip: 224.5.6.7, Multicast port: 8888"},
                                   {GREEN, "Discover period: 5 s"},
                                   {GREEN, "MaxMemPoolSize: 20 M"},
                                   {GREEN, "eth: lo, ip: 127.0.0.1"}});
    }
    return {what, std::move(content), std::move(lines), initialised, domain, "224.5.6.7", 8888, 5, 0x1400000};
}

std::vector<JsonCase> jsonCases()
{
    const std::string path = cfgPath();
    const std::string notOpen = path + " is not open!";
    const std::string noIp = "Error: Get  ip failed, please check net card configure.";
    const std::string lo = "eth: lo, ip: 127.0.0.1";
    const std::string malformed = R"({"domain": {"id": 46,)";
    const std::string trailing = std::string(GOOD_JSON) + " x";
    const std::string parseMalformed = "Error: parse failed! " + jsonError(malformed, [](nlohmann::json&) {});
    const std::string parseTrailing = "Error: parse failed! " + jsonError(trailing, [](nlohmann::json&) {});
    const std::string wrongTyped = R"({
        "domain": {"id": "46", "multicastIp": 224, "multicastPort": 46201, "period": true},
        "network": {"ethName": "lo"},
        "mempool": {"maxSize": 6.5}
    })";
    const std::string idIsText = jsonError(wrongTyped, [](nlohmann::json& d) { (void)d["domain"]["id"].get<int>(); });
    const std::string groupIsNumber =
        jsonError(wrongTyped, [](nlohmann::json& d) { (void)d["domain"]["multicastIp"].get<std::string>(); });
    const std::string noRange =
        jsonError(wrongTyped, [](nlohmann::json& d) { (void)d["transport"]["portRange"].get<std::string>(); });
    const std::string noSockRange =
        jsonError(wrongTyped, [](nlohmann::json& d) { (void)d["transport"]["domainSockRange"].get<std::string>(); });
    const std::string noShmRange =
        jsonError(wrongTyped, [](nlohmann::json& d) { (void)d["transport"]["shmKeyRange"].get<std::string>(); });
    const std::string outOfRange = R"({
        "domain": {"id": 47, "multicastIp": "10.0.0.1", "multicastPort": 70000, "period": 0},
        "network": {"ethName": "lo"},
        "transport": {"portRange": "0-5", "domainSockRange": "4630-4631", "shmKeyRange": "18440-18441"},
        "mempool": {"maxSize": -1}
    })";
    const std::string misspelt = R"({
        "domian": {"id": 49},
        "network": {"ethName": "lo"},
        "transport": {"portRange": "6100-6000", "domainSockRange": "0..4"}
    })";
    const std::string noDomainId = jsonError(misspelt, [](nlohmann::json& d) { (void)d["domain"]["id"].get<int>(); });
    const std::string noDomainGroup =
        jsonError(misspelt, [](nlohmann::json& d) { (void)d["domain"]["multicastIp"].get<std::string>(); });
    const std::string noDomainPeriod =
        jsonError(misspelt, [](nlohmann::json& d) { (void)d["domain"]["period"].get<int>(); });
    const std::string noKeyRange =
        jsonError(misspelt, [](nlohmann::json& d) { (void)d["transport"]["shmKeyRange"].get<std::string>(); });
    const std::string noMaxSize =
        jsonError(misspelt, [](nlohmann::json& d) { (void)d["mempool"]["maxSize"].get<int>(); });
    const std::string noNetwork = R"({"domain": {"id": 48}})";
    const std::string noEth =
        jsonError(noNetwork, [](nlohmann::json& d) { (void)d["network"]["ethName"].get<std::string>(); });
    const std::string noGroup =
        jsonError(noNetwork, [](nlohmann::json& d) { (void)d["domain"]["multicastIp"].get<std::string>(); });
    const std::string noPeriod =
        jsonError(noNetwork, [](nlohmann::json& d) { (void)d["domain"]["period"].get<int>(); });

    return {
        {"good",
         GOOD_JSON,
         {{GREEN, "DomainId: 46"},
          {GREEN, "Multicast ip: 224.46.0.3, Multicast port: 46201"},
          {GREEN, "Discover period: 4 s"},
          {GREEN, "MaxMemPoolSize: 3 M"},
          {GREEN, lo}},
         true,
         46,
         "224.46.0.3",
         46201,
         4,
         3145728},
        keepingDefaults("missing file", "",
                        {{RED, "Error: config file " + path + " cannot be read: No such file or directory!"},
                         {GREEN, notOpen},
                         {GREEN, notOpen},
                         {GREEN, notOpen},
                         {GREEN, notOpen},
                         {RED, noIp}},
                        false, 66),
        keepingDefaults(
            "malformed", malformed,
            {{RED, parseMalformed}, {RED, parseMalformed}, {RED, parseMalformed}, {RED, parseMalformed}, {RED, noIp}},
            false, 66),
        keepingDefaults(
            "trailing garbage", trailing,
            {{RED, parseTrailing}, {RED, parseTrailing}, {RED, parseTrailing}, {RED, parseTrailing}, {RED, noIp}},
            false, 66),
        keepingDefaults("wrong types", wrongTyped,
                        {{RED, "Error: parse failed! " + idIsText},
                         {RED, "Error: parse failed! " + groupIsNumber},
                         {RED, "Error: parse failed! type must be number, but is boolean"},
                         {RED, "Error: parse failed! " + noRange},
                         {RED, "Error: parse failed! " + noSockRange},
                         {RED, "Error: parse failed! " + noShmRange},
                         {RED, "Error: parse failed! number 6.5 is not an integer"}},
                        true, 66),
        keepingDefaults("out of range", outOfRange,
                        {{YELLOW, "Warning: multicast ip 10.0.0.1 is not an IPv4 multicast address, keep 224.5.6.7."},
                         {YELLOW, "Warning: multicast port 70000 is out of range 1..65535, keep 8888."},
                         {YELLOW, "Warning: discover period 0 s is out of range 1..3600, keep 5 s."},
                         {RED, "Error: portRange 0-5 is out of range!"},
                         {YELLOW, "Warning: max mem pool size -1 is negative, keep 20971520."}},
                        true, 47),
        keepingDefaults("misspelt key and ranges that are not ranges", misspelt,
                        {{YELLOW, "Warning: unknown key domian in " + path + ", ignored."},
                         {RED, "Error: parse failed! " + noDomainId},
                         {RED, "Error: parse failed! " + noDomainGroup},
                         {RED, "Error: parse failed! " + noDomainPeriod},
                         {RED, "Error: portRange 6100-6000 is not a range lo-hi with lo below hi!"},
                         {RED, "Error: domainSockRange 0..4 is not a range lo-hi with lo below hi!"},
                         {RED, "Error: parse failed! " + noKeyRange},
                         {RED, "Error: parse failed! " + noMaxSize}},
                        true, 66),
        keepingDefaults("no interface", noNetwork,
                        {{RED, "Error: parse failed! " + noGroup},
                         {RED, "Error: parse failed! " + noPeriod},
                         {RED, "Error: parse failed! " + noEth},
                         {RED, noIp}},
                        false, 48),
    };
}

class JsonConfigNsTest : public ParticipantImplNsTest, public ::testing::WithParamInterface<int> {};

TEST_P(JsonConfigNsTest, StartsFromTheFile)
{
    const JsonCase c = jsonCases()[static_cast<size_t>(GetParam())];
    if (!c.content.empty()) {
        std::ofstream(cfgPath()) << c.content;
    }
    zqtest::OutputCapture capture;
    auto participant = std::make_unique<CParticipantImpl>(nullptr, cfgPath());
    capture.stop();

    std::vector<std::string> expected = {zqtest::ddsLine(GREEN, "VERSION: V2.0.0, compiled on " + getCompileTime())};
    for (const auto& line : c.lines) {
        expected.push_back(zqtest::ddsLine(line.first, line.second));
    }
    if (c.initialised) {
        // Discovery's start-up lines; the first timer task of the process.
        expected.push_back(zqtest::ddsLine(GREEN, "Membuffer pool size : 409600"));
        expected.push_back(zqtest::ddsLine(
            GREEN, "Discovery timer task id: 1, interval: " + std::to_string(c.period * 1000) + " ms."));
    }
    EXPECT_EQ(ddsLines(capture.out()), expected) << c.what;
    EXPECT_EQ(participant->isInitialized(), c.initialised) << c.what;
    EXPECT_EQ(participant->getDomainId(), c.domain) << c.what;
    EXPECT_EQ(participant->getMulticastIp(), c.group) << c.what;
    EXPECT_EQ(participant->getMulticastPort(), c.port) << c.what;
    EXPECT_EQ(participant->getDiscoverPeriod(), c.period) << c.what;
    EXPECT_EQ(participant->getMaxMemPoolSize(), c.budget) << c.what;
    EXPECT_EQ(participant->getMemPool() != nullptr, c.initialised) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Files, JsonConfigNsTest, ::testing::Range(0, static_cast<int>(jsonCases().size())));

TEST_F(ParticipantImplNsTest, GoodFileFillsThePools)
{
    std::ofstream(cfgPath()) << GOOD_JSON;
    zqtest::OutputCapture quiet;
    auto participant = std::make_unique<CParticipantImpl>(nullptr, cfgPath());
    CResourceManager* res = CResourceManager::getInstance();
    std::vector<int> ports;
    for (int port = res->getSocketPort(); port != -1; port = res->getSocketPort()) {
        ports.push_back(port);
    }
    EXPECT_EQ(ports, (std::vector<int>{46210, 46212}));
    EXPECT_EQ(res->getUnixSocketId(), 4620);
    EXPECT_EQ(res->getUnixSocketId(), 4621);
    EXPECT_EQ(res->getUnixSocketId(), -1);
    EXPECT_EQ(res->getShmKey(), 18432 + SHM_KEY_OFFSET);
    EXPECT_EQ(res->getShmKey(), 18433 + SHM_KEY_OFFSET);
    EXPECT_EQ(res->getShmKey(), -1);
    EXPECT_EQ(participant->getDevIp(), "127.0.0.1");
}

TEST_F(ParticipantImplNsTest, ExampleConfigurationStartsOnLoopback)
{
    zqtest::OutputCapture quiet;
    const std::string source = __FILE__;
    const std::string path = source.substr(0, source.rfind("/tests/")) + "/config/zqdds.json";
    auto participant = std::make_unique<CParticipantImpl>(nullptr, path);
    quiet.stop();
    EXPECT_TRUE(participant->isInitialized()) << quiet.out();
    EXPECT_EQ(participant->getDevIp(), "127.0.0.1");
}

TEST_F(ParticipantImplNsTest, LocalPoolHasFourteenGroupsAndTheBudget)
{
    auto participant = start(loRecord());
    CMemPool* pool = participant->getMemPool();
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->getMemKey(), -1);
    MemPoolLayout_t layout = pool->getMemLayout();
    EXPECT_EQ(layout.m_iGroupCount, 14);
    EXPECT_TRUE(sameGroups(layout.m_stGroup, LOCAL_POOL_LAYOUT.m_stGroup, 14));
    EXPECT_EQ(layout.m_stGroup[12].m_iChunkSize, 7340032);
    EXPECT_EQ(pool->getMaxPoolSize(), 0x200000u);
}

TEST_F(ParticipantImplNsTest, DefaultAndUserLayoutsTakeAKeyEach)
{
    auto participant = start(loRecord());
    ShmConfig_t notUser;
    memset(&notUser, 0xff, sizeof(notUser)); // groups full of garbage
    notUser.m_bUseUserLayout = false;
    ShmConfig_t user;
    memset(&user, 0, sizeof(user));
    user.m_bUseUserLayout = true;
    user.m_iGroupCount = 2;
    user.m_groups[0] = {7, 1024, 3};
    user.m_groups[1] = {3, 4096, 2};
    user.m_groups[2] = {99, 99, 99}; // beyond the count: not copied

    zqtest::OutputCapture capture;
    CTopic* def = participant->createTopic("h8_default", &notUser);
    CTopic* own = participant->createTopic("h8_user", &user);
    capture.stop();
    ASSERT_NE(def, nullptr);
    ASSERT_NE(own, nullptr);
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), GREEN, "Topic h8_default: Use default share mempool layout."));
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), GREEN, "Topic h8_user: Use user share mempool layout."));

    MemConfig_t cfg;
    ASSERT_TRUE(participant->getTopicShmConfig("h8_default", cfg));
    EXPECT_EQ(cfg.m_iKey, 0x4810 + SHM_KEY_OFFSET);
    EXPECT_EQ(cfg.m_u32MaxPoolSize, 0u);
    EXPECT_EQ(cfg.m_iGroupCount, 3);
    EXPECT_TRUE(sameGroups(cfg.m_stGroup, DEFAULT_SHM_LAYOUT.m_stGroup, 3));
    EXPECT_EQ(cfg.m_stGroup[2].m_iChunkSize, 5242880);
    MemGroup_t zero[13];
    memset(zero, 0, sizeof(zero));
    EXPECT_TRUE(sameGroups(cfg.m_stGroup + 3, zero, 13));

    ASSERT_TRUE(participant->getTopicShmConfig("h8_user", cfg));
    EXPECT_EQ(cfg.m_iKey, 0x4811 + SHM_KEY_OFFSET);
    EXPECT_EQ(cfg.m_u32MaxPoolSize, 0u);
    EXPECT_EQ(cfg.m_iGroupCount, 2);
    EXPECT_TRUE(sameGroups(cfg.m_stGroup, user.m_groups, 2));
    EXPECT_TRUE(sameGroups(cfg.m_stGroup + 2, zero, 13));

    EXPECT_EQ(participant->deleteTopic(def), 0);
    EXPECT_EQ(participant->deleteTopic(own), 0);
    zqtest::OutputCapture gone;
    EXPECT_FALSE(participant->getTopicShmConfig("h8_default", cfg));
    gone.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(gone.out(), RED, "Error: topic h8_default is not exists."));
}

TEST_F(ParticipantImplNsTest, TopicLookups)
{
    auto participant = start(loRecord());
    CTopic* topic = participant->createTopic("h8_plain", nullptr);
    ASSERT_NE(topic, nullptr);
    EXPECT_EQ(participant->getTopicImpl("h8_plain"), topic->getTopicDescImpl());
    EXPECT_EQ(participant->getTopicImpl("h8_plain")->getParticipantImpl(), participant.get());

    MemConfig_t cfg;
    memset(&cfg, 0x5a, sizeof(cfg));
    zqtest::OutputCapture capture;
    EXPECT_FALSE(participant->getTopicShmConfig("h8_plain", cfg)); // no layout: no line
    EXPECT_EQ(cfg.m_iKey, 0x5a5a5a5a);
    EXPECT_EQ(participant->getTopicImpl("h8_other"), nullptr);
    capture.stop();
    EXPECT_EQ(zqtest::countDdsLines(capture.out(), RED, "Error: topic h8_other is not exists."), 1);
    EXPECT_EQ(capture.out().find("h8_plain"), std::string::npos);
    EXPECT_EQ(participant->deleteTopic(topic), 0);
}

TEST_F(ParticipantImplNsTest, TopicInUseIsNotDeleted)
{
    auto participant = start(loRecord());
    CTopic* topic = participant->createTopic("h8_used", nullptr);
    ASSERT_NE(topic, nullptr);
    topic->getTopicDescImpl()->reference();

    zqtest::OutputCapture capture;
    EXPECT_EQ(participant->deleteTopic(topic), -1);
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), RED, "Error: topic reference is 1 !"));
    EXPECT_EQ(participant->getTopicImpl("h8_used"), topic->getTopicDescImpl());

    EXPECT_EQ(topic->getTopicDescImpl()->dereference(), 1);
    EXPECT_EQ(participant->deleteTopic(topic), 0);
}

TEST_F(ParticipantImplNsTest, UnusedTopicsGoWithTheParticipant)
{
    auto participant = start(loRecord());
    CTopic* topic = participant->createTopic("h8_left", nullptr);
    ASSERT_NE(topic, nullptr);
    participant.reset();
    std::string name;
    EXPECT_FALSE(copyLiveTopicName(topic, name));
}

TEST_F(ParticipantImplNsTest, DiscoveryHooksWithoutPublishersOrSubscribers)
{
    auto participant = start(loRecord());
    std::vector<std::string> waiting = {"h8_before"};
    EXPECT_EQ(participant->getUnsubscribedTopic(waiting), 1);
    EXPECT_EQ(participant->getPubTopicMsgTransParam("h8_none", nullptr), -1);
    EXPECT_EQ(participant->getDomainId(), 46);
    participant->triggerDiscovery("h8_none");
}

TEST_F(ParticipantImplNsTest, RegistriesServeSeveralThreadsAtOnce)
{
    auto participant = start(loRecord());
    zqtest::OutputCapture capture; // the topic lines of every round
    std::vector<std::thread> threads;
    threads.reserve(4);
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                const std::string name = "h8_mt_" + std::to_string(t);
                CTopic* topic = participant->createTopic(name, nullptr);
                CPublisher* pub = participant->createPublisher();
                CSubscriber* sub = participant->createSubscriber();
                std::vector<std::string> waiting;
                participant->getUnsubscribedTopic(waiting);
                if (!topic || !pub || !sub || participant->getTopicImpl(name) != topic->getTopicDescImpl() ||
                    participant->deletePublisher(pub) != 0 || participant->deleteSubscriber(sub) != 0 ||
                    participant->deleteTopic(topic) != 0) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    capture.stop();
    EXPECT_EQ(failures.load(), 0);
}

// Observes the process's reactor through one registered pipe: while it runs, a byte written to
// the pipe reaches the callback; once it is stopped, the registration is gone.
class ReactorProbe {
public:
    ReactorProbe()
    {
        if (pipe2(m_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            m_fds[0] = m_fds[1] = -1;
        }
    }
    ~ReactorProbe()
    {
        CEvReactor* reactor = CEvReactor::getInstance();
        // The reactor closes the read end when it drops the record: never closed under it here.
        const int readEnd = m_fds[0];
        if (readEnd >= 0 && reactor->unregisterEventAndClose(readEnd)) {
            m_fds[0] = -1;
            zqtest::waitUntil([&] { return !reactor->isEventRegistered(readEnd); }, 10000);
        }
        for (int fd : m_fds) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    bool attach()
    {
        return m_fds[0] >= 0 && CEvReactor::getInstance()->registerEvent(
                                    m_fds[0], 1,
                                    [this](int fd, void*) {
                                        char byte;
                                        while (read(fd, &byte, 1) == 1) {
                                            m_seen.fetch_add(1);
                                        }
                                    },
                                    nullptr);
    }
    // True when a byte written now is served by the reactor.
    bool served()
    {
        int before = m_seen.load();
        char byte = 'x';
        if (write(m_fds[1], &byte, 1) != 1) {
            return false;
        }
        return zqtest::waitUntil([&] { return m_seen.load() > before; }, 5000);
    }
    bool registered() { return CEvReactor::getInstance()->isEventRegistered(m_fds[0]); }

private:
    int m_fds[2]{-1, -1};
    std::atomic<int> m_seen{0};
};

TEST_F(ParticipantImplNsTest, ReactorStopsOnlyWithTheLastInitialisedParticipant)
{
    auto first = start(loRecord());
    ASSERT_TRUE(first->isInitialized());
    ReactorProbe probe;
    ASSERT_TRUE(probe.attach());
    ASSERT_TRUE(probe.served());

    _DomainConfigParam_t bad = loRecord();
    bad.m_strEthName = "h8nosuch0";
    auto uninitialised = start(bad);
    ASSERT_FALSE(uninitialised->isInitialized());
    uninitialised.reset();
    EXPECT_TRUE(probe.served()) << "an uninitialised participant stopped the reactor";

    auto second = start(loRecord());
    ASSERT_TRUE(second->isInitialized());
    second.reset();
    EXPECT_TRUE(probe.served()) << "deleting one of two participants stopped the reactor";

    first.reset();
    EXPECT_FALSE(probe.registered()) << "the last participant left the reactor running";
}

TEST_F(ParticipantImplNsTest, ReactorStartsAgainWithTheNextParticipant)
{
    start(loRecord()).reset();
    auto again = start(loRecord());
    ReactorProbe probe;
    ASSERT_TRUE(probe.attach());
    EXPECT_TRUE(probe.served());
    again.reset();
    EXPECT_FALSE(probe.registered());
}

} // namespace

// The JSON configuration reader: good, missing, malformed, wrong-typed and out-of-range files,
// ranges that are not ranges, unknown keys.
// Files are written to /tmp, which is private to the test (NsTest mounts its own tmpfs there).
#include "core/dds_config.h"
#include "core/resource_manager.h"
#include "support/zqtest.h"

#include <climits>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// Test names of the parameter tables: each case's own name.
template <typename Case> std::string caseName(const ::testing::TestParamInfo<Case>& param)
{
    return param.param.name;
}

// Shown by gtest beside each case instead of the record's bytes.
template <typename Case> void printCase(const Case& c, std::ostream* os)
{
    *os << c.name;
}

using Lines = std::vector<std::string>;

std::string red(const std::string& text)
{
    return zqtest::ddsLine("31", text);
}
std::string green(const std::string& text)
{
    return zqtest::ddsLine("32", text);
}
std::string yellow(const std::string& text)
{
    return zqtest::ddsLine("33", text);
}
std::string parseFailed(const std::string& what)
{
    return red("Error: parse failed! " + what);
}

// Every diagnostic line of `out` without its " @function,line" tail, in order.
Lines ddsLines(const std::string& out)
{
    Lines lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("\033[", 0) != 0) {
            continue;
        }
        size_t at = line.rfind(" @");
        lines.push_back(at == std::string::npos ? line : line.substr(0, at));
    }
    return lines;
}

// What the eight getters delivered from one file; outputs start at sentinels to show "untouched".
struct Reading {
    int rcDomain{}, rcMulticast{}, rcPeriod{}, rcEth{}, rcPorts{}, rcUnix{}, rcShm{}, rcMaxSize{};
    int domainId{-7};
    std::string multicastIp{"unset"};
    int multicastPort{-7};
    int period{-7};
    std::string ethName{"unset"};
    std::vector<int> ports, unixIds, shmKeys;
    int maxSize{-7};
    Lines lines;
};

Reading readAll(const std::string& path)
{
    Reading r;
    CDDSConfig cfg(path);
    zqtest::OutputCapture cap;
    r.rcDomain = cfg.getDomainId(r.domainId);
    r.rcMulticast = cfg.getMulticastInfo(r.multicastIp, r.multicastPort);
    r.rcPeriod = cfg.getDiscoverPeriod(r.period);
    r.rcEth = cfg.getEthDevName(r.ethName);
    r.rcPorts = cfg.getTransportSocketPorts(r.ports);
    r.rcUnix = cfg.getTransportUnixSocketIdx(r.unixIds);
    r.rcShm = cfg.getTransportShmKey(r.shmKeys);
    r.rcMaxSize = cfg.getMaxMemPoolSize(r.maxSize);
    cap.stop();
    r.lines = ddsLines(cap.out());
    return r;
}

std::vector<int> descending(int hiExcluded, int lo)
{
    std::vector<int> v;
    for (int n = hiExcluded - 1; n >= lo; --n) {
        v.push_back(n);
    }
    return v;
}

class DdsConfigNsTest : public zqtest::NsTest {
protected:
    std::string write(const std::string& content)
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->name());
        for (char& c : name) {
            if (c == '/') {
                c = '_';
            }
        }
        std::string path = "/tmp/zqcfg-" + name + "-" + std::to_string(m_files++) + ".json";
        std::ofstream(path) << content;
        return path;
    }

private:
    int m_files{0};
};

const char* const GOOD = R"({
  "domain": {"id": 7, "multicastIp": "224.5.6.8", "multicastPort": 43001, "period": 2},
  "network": {"ethName": "lo"},
  "transport": {"portRange": "6000-6010", "excludePort": [6005, 6007],
                "domainSockRange": "0-3", "shmKeyRange": "100-102"},
  "mempool": {"maxSize": 33554432},
  "comment": "other members are ignored"
})";

TEST_F(DdsConfigNsTest, GoodFileDeliversEveryItem)
{
    Reading r = readAll(write(GOOD));
    EXPECT_EQ(r.lines, Lines{});
    EXPECT_EQ(r.rcDomain, 0);
    EXPECT_EQ(r.rcMulticast, 0);
    EXPECT_EQ(r.rcPeriod, 0);
    EXPECT_EQ(r.rcEth, 0);
    EXPECT_EQ(r.rcPorts, 0);
    EXPECT_EQ(r.rcUnix, 0);
    EXPECT_EQ(r.rcShm, 0);
    EXPECT_EQ(r.rcMaxSize, 0);
    EXPECT_EQ(r.domainId, 7);
    EXPECT_EQ(r.multicastIp, "224.5.6.8");
    EXPECT_EQ(r.multicastPort, 43001);
    EXPECT_EQ(r.period, 2);
    EXPECT_EQ(r.ethName, "lo");
    EXPECT_EQ(r.ports, (std::vector<int>{6009, 6008, 6006, 6004, 6003, 6002, 6001, 6000}));
    EXPECT_EQ(r.unixIds, (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(r.shmKeys, (std::vector<int>{101, 100}));
    EXPECT_EQ(r.maxSize, 33554432);
}

TEST_F(DdsConfigNsTest, ExampleConfigurationOfTheRepositoryWorksOnLo)
{
    std::string source = __FILE__;
    std::string path = source.substr(0, source.rfind("/tests/")) + "/config/zqdds.json";
    Reading r = readAll(path);
    EXPECT_EQ(r.lines, Lines{}) << path;
    EXPECT_EQ(r.rcDomain + r.rcMulticast + r.rcPeriod + r.rcEth + r.rcPorts + r.rcUnix + r.rcShm + r.rcMaxSize, 0);
    EXPECT_EQ(r.ethName, "lo");
    EXPECT_FALSE(r.ports.empty());
    EXPECT_FALSE(r.unixIds.empty());
    EXPECT_FALSE(r.shmKeys.empty());
}

TEST_F(DdsConfigNsTest, MissingFileFailsEveryGetterGreenAndTouchesNothing)
{
    const std::string path = "/tmp/zqcfg-does-not-exist.json";
    Reading r = readAll(path);
    EXPECT_EQ(r.lines, Lines(8, green(path + " is not open!")));
    for (int rc : {r.rcDomain, r.rcMulticast, r.rcPeriod, r.rcEth, r.rcPorts, r.rcUnix, r.rcShm, r.rcMaxSize}) {
        EXPECT_EQ(rc, -1);
    }
    EXPECT_EQ(r.domainId, -7);
    EXPECT_EQ(r.multicastIp, "unset");
    EXPECT_EQ(r.multicastPort, -7);
    EXPECT_EQ(r.period, -7);
    EXPECT_EQ(r.ethName, "unset");
    EXPECT_TRUE(r.ports.empty() && r.unixIds.empty() && r.shmKeys.empty());
    EXPECT_EQ(r.maxSize, -7);
}

// The one look at the whole file that start-up takes first: a file that cannot be read is named
// in red, every member that no getter reads in yellow; a malformed file is left to the getters.
TEST_F(DdsConfigNsTest, CheckingTheFileNamesAnUnreadableFileAndEveryUnknownKey)
{
    ASSERT_EQ(zqtest::runCommand({"mkdir", "-p", "/tmp/zqcfg-dir.json"}), 0);
    const std::string typos = write(R"({
  "domian": {"id": 7},
  "domain": {"id": 7, "peroid": 2, "multicastIp": "224.5.6.8"},
  "network": {"ethname": "lo", "ethName": "lo"},
  "transport": {"portRange": "6000-6010", "excludePorts": [6005]},
  "mempool": 5,
  "comment": "x"
})");
    const struct {
        const char* name;
        std::string path;
        int rc;
        Lines lines;
    } cases[] = {
        {"missing",
         "/tmp/zqcfg-does-not-exist.json",
         -1,
         {red("Error: config file /tmp/zqcfg-does-not-exist.json cannot be read: No such file or directory!")}},
        {"a directory",
         "/tmp/zqcfg-dir.json",
         -1,
         {red("Error: config file /tmp/zqcfg-dir.json cannot be read: Is a directory!")}},
        {"good", write(R"({"domain": {"id": 7}, "network": {"ethName": "lo"}})"), 0, {}},
        {"malformed", write(R"({"domain": )"), 0, {}},
        {"not an object", write("[1, 2]"), 0, {}},
        {"misspelt keys",
         typos,
         0,
         {yellow("Warning: unknown key comment in " + typos + ", ignored."),
          yellow("Warning: unknown key domain.peroid in " + typos + ", ignored."),
          yellow("Warning: unknown key domian in " + typos + ", ignored."),
          yellow("Warning: unknown key network.ethname in " + typos + ", ignored."),
          yellow("Warning: unknown key transport.excludePorts in " + typos + ", ignored.")}},
    };
    for (const auto& c : cases) {
        CDDSConfig cfg(c.path);
        zqtest::OutputCapture cap;
        int rc = cfg.checkFile();
        cap.stop();
        EXPECT_EQ(rc, c.rc) << c.name;
        EXPECT_EQ(ddsLines(cap.out()), c.lines) << c.name;
    }
}

// Files that no getter can use: each of the eight fails with the same red line and touches nothing.
struct BrokenFile {
    const char* name;
    const char* content;
    const char* what;
};

void PrintTo(const BrokenFile& c, std::ostream* os)
{
    printCase(c, os);
}

class DdsConfigBrokenNsTest : public DdsConfigNsTest, public ::testing::WithParamInterface<BrokenFile> {};

TEST_P(DdsConfigBrokenNsTest, EveryGetterFailsRedAndTouchesNothing)
{
    Reading r = readAll(write(GetParam().content));
    EXPECT_EQ(r.lines, Lines(8, parseFailed(GetParam().what)));
    for (int rc : {r.rcDomain, r.rcMulticast, r.rcPeriod, r.rcEth, r.rcPorts, r.rcUnix, r.rcShm, r.rcMaxSize}) {
        EXPECT_EQ(rc, -1);
    }
    EXPECT_EQ(r.domainId, -7);
    EXPECT_EQ(r.multicastIp, "unset");
    EXPECT_EQ(r.multicastPort, -7);
    EXPECT_EQ(r.ethName, "unset");
    EXPECT_TRUE(r.ports.empty() && r.unixIds.empty() && r.shmKeys.empty());
    EXPECT_EQ(r.maxSize, -7);
}

const BrokenFile BROKEN_FILES[] = {
    {"Empty", "",
     "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error while parsing value - "
     "unexpected end of input; expected '[', '{', or a literal"},
    {"Truncated", R"({"domain":)",
     "[json.exception.parse_error.101] parse error at line 1, column 11: syntax error while parsing value - "
     "unexpected end of input; expected '[', '{', or a literal"},
    {"MissingColon", R"({"domain" {}})",
     "[json.exception.parse_error.101] parse error at line 1, column 11: syntax error while parsing object "
     "separator - unexpected '{'; expected ':'"},
    // A good document followed by anything else is not a configuration.
    {"TrailingGarbage", R"({"domain":{"id":1}} x)",
     "[json.exception.parse_error.101] parse error at line 1, column 21: syntax error while parsing value - "
     "invalid literal; last read: '1}} x'; expected end of input"},
    {"TrailingBrace", R"({"domain":{"id":1}}})",
     "[json.exception.parse_error.101] parse error at line 1, column 20: syntax error while parsing value - "
     "unexpected '}'; expected end of input"},
    {"RootIsArray", "[1, 2]",
     "[json.exception.type_error.305] cannot use operator[] with a string argument with array"},
    {"RootIsNumber", "5", "[json.exception.type_error.305] cannot use operator[] with a string argument with number"},
};

INSTANTIATE_TEST_SUITE_P(Files, DdsConfigBrokenNsTest, ::testing::ValuesIn(BROKEN_FILES), caseName<BrokenFile>);

// A single number item holding `value`: only integers that fit in an int are delivered.
struct NumberCase {
    const char* name;
    const char* value;
    int rc;
    int expected;     // the delivered value when rc is 0
    const char* what; // the parse failure text when rc is -1
};

void PrintTo(const NumberCase& c, std::ostream* os)
{
    printCase(c, os);
}

class DdsConfigNumberNsTest : public DdsConfigNsTest, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(DdsConfigNumberNsTest, OnlyIntegersThatFitInIntAreDelivered)
{
    const NumberCase& c = GetParam();
    std::string path = write(std::string(R"({"domain": {"id": )") + c.value + R"(, "period": )" + c.value +
                             R"(, "multicastIp": "224.1.1.1", "multicastPort": )" + c.value +
                             R"(}, "mempool": {"maxSize": )" + c.value + "}}");
    CDDSConfig cfg(path);
    int id = -7;
    int period = -7;
    int port = -7;
    int size = -7;
    std::string ip;
    zqtest::OutputCapture cap;
    int rcs[] = {cfg.getDomainId(id), cfg.getDiscoverPeriod(period), cfg.getMulticastInfo(ip, port),
                 cfg.getMaxMemPoolSize(size)};
    cap.stop();
    for (int rc : rcs) {
        EXPECT_EQ(rc, c.rc);
    }
    int expected = c.rc == 0 ? c.expected : -7;
    EXPECT_EQ(id, expected);
    EXPECT_EQ(period, expected);
    EXPECT_EQ(port, expected);
    EXPECT_EQ(size, expected);
    // The group is stored before the port is read.
    EXPECT_EQ(ip, "224.1.1.1");
    EXPECT_EQ(ddsLines(cap.out()), c.rc == 0 ? Lines{} : Lines(4, parseFailed(c.what)));
}

const NumberCase NUMBER_CASES[] = {
    {"Plain", "66", 0, 66, ""},
    {"Negative", "-5", 0, -5, ""},
    {"IntMax", "2147483647", 0, INT_MAX, ""},
    {"IntMin", "-2147483648", 0, INT_MIN, ""},
    {"AboveIntMax", "2147483648", -1, 0, "number 2147483648 does not fit in int"},
    {"WouldWrapTo66", "4294967362", -1, 0, "number 4294967362 does not fit in int"},
    {"BelowIntMin", "-2147483649", -1, 0, "number -2147483649 does not fit in int"},
    {"Fraction", "6.9", -1, 0, "number 6.9 is not an integer"},
    {"Exponent", "1e3", -1, 0, "number 1000.0 is not an integer"},
    {"HugeNegative", "-1e300", -1, 0, "number -1e+300 is not an integer"},
    {"Boolean", "true", -1, 0, "type must be number, but is boolean"},
    {"String", "\"66\"", -1, 0, "[json.exception.type_error.302] type must be number, but is string"},
    {"Null", "null", -1, 0, "[json.exception.type_error.302] type must be number, but is null"},
    {"Array", "[66]", -1, 0, "[json.exception.type_error.302] type must be number, but is array"},
};

INSTANTIATE_TEST_SUITE_P(Values, DdsConfigNumberNsTest, ::testing::ValuesIn(NUMBER_CASES), caseName<NumberCase>);

TEST_F(DdsConfigNsTest, MissingItemsFailOnlyTheirOwnGetter)
{
    // No transport and no port: the three range getters and the port fail; the rest is delivered.
    Reading r = readAll(write(R"({"domain": {"id": 1, "multicastIp": "224.5.6.9", "period": 3},
                                  "network": {"ethName": "lo"}, "mempool": {"maxSize": 1048576}})"));
    const std::string null = "[json.exception.type_error.302] type must be number, but is null";
    const std::string nullString = "[json.exception.type_error.302] type must be string, but is null";
    EXPECT_EQ(r.lines,
              (Lines{parseFailed(null), parseFailed(nullString), parseFailed(nullString), parseFailed(nullString)}));
    EXPECT_EQ(r.rcDomain, 0);
    EXPECT_EQ(r.rcMulticast, -1);
    EXPECT_EQ(r.multicastIp, "224.5.6.9");
    EXPECT_EQ(r.multicastPort, -7);
    EXPECT_EQ(r.rcPeriod, 0);
    EXPECT_EQ(r.rcEth, 0);
    EXPECT_EQ(r.ethName, "lo");
    EXPECT_EQ(r.rcPorts, -1);
    EXPECT_EQ(r.rcUnix, -1);
    EXPECT_EQ(r.rcShm, -1);
    EXPECT_TRUE(r.ports.empty() && r.unixIds.empty() && r.shmKeys.empty());
    EXPECT_EQ(r.rcMaxSize, 0);
    EXPECT_EQ(r.maxSize, 1048576);
}

TEST_F(DdsConfigNsTest, WrongTypedObjectsAndStrings)
{
    Reading r = readAll(write(R"({"domain": 5, "network": {"ethName": 5},
                                  "transport": {"portRange": 6000, "domainSockRange": ["0-3"], "shmKeyRange": true},
                                  "mempool": []})"));
    const std::string domainNotObject =
        "[json.exception.type_error.305] cannot use operator[] with a string argument with number";
    EXPECT_EQ(r.lines, (Lines{parseFailed(domainNotObject), parseFailed(domainNotObject), parseFailed(domainNotObject),
                              parseFailed("[json.exception.type_error.302] type must be string, but is number"),
                              parseFailed("[json.exception.type_error.302] type must be string, but is number"),
                              parseFailed("[json.exception.type_error.302] type must be string, but is array"),
                              parseFailed("[json.exception.type_error.302] type must be string, but is boolean"),
                              parseFailed("[json.exception.type_error.305] cannot use operator[] with a string "
                                          "argument with array")}));
    for (int rc : {r.rcDomain, r.rcMulticast, r.rcPeriod, r.rcEth, r.rcPorts, r.rcUnix, r.rcShm, r.rcMaxSize}) {
        EXPECT_EQ(rc, -1);
    }
    EXPECT_EQ(r.ethName, "unset");
    EXPECT_TRUE(r.ports.empty() && r.unixIds.empty() && r.shmKeys.empty());
}

// One range text under one key, read by that key's getter into an empty list.
struct RangeCase {
    const char* name;
    const char* key;
    const char* text;
    int rc;
    std::vector<int> expected;
    Lines lines;
};

void PrintTo(const RangeCase& c, std::ostream* os)
{
    printCase(c, os);
}

class DdsConfigRangeNsTest : public DdsConfigNsTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(DdsConfigRangeNsTest, RangeTextGivesItsNumbers)
{
    const RangeCase& c = GetParam();
    CDDSConfig cfg(write(std::string(R"({"transport": {")") + c.key + R"(": ")" + c.text + R"("}})"));
    std::vector<int> got;
    zqtest::OutputCapture cap;
    int rc = -2;
    std::string key = c.key;
    if (key == "portRange") {
        rc = cfg.getTransportSocketPorts(got);
    } else if (key == "domainSockRange") {
        rc = cfg.getTransportUnixSocketIdx(got);
    } else {
        rc = cfg.getTransportShmKey(got);
    }
    cap.stop();
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(ddsLines(cap.out()), c.lines);
}

std::string outOfRange(const std::string& key, const std::string& text)
{
    return red("Error: " + key + " " + text + " is out of range!");
}

std::string notARange(const std::string& key, const std::string& text)
{
    return red("Error: " + key + " " + text + " is not a range lo-hi with lo below hi!");
}

std::string reservedKey(int number, int key)
{
    return yellow("Warning: share memory key number " + std::to_string(number) + " would give the reserved key " +
                  std::to_string(key) + ", skipped.");
}

const RangeCase RANGE_CASES[] = {
    // Lower bound included, upper excluded, appended from the top down.
    {"Ports", "portRange", "6000-6003", 0, {6002, 6001, 6000}, {}},
    // Texts that are not "lo-hi" with lo below hi give nothing, and say so.
    {"Reversed", "portRange", "6010-6000", 0, {}, {notARange("portRange", "6010-6000")}},
    {"Empty", "portRange", "6000-6000", 0, {}, {notARange("portRange", "6000-6000")}},
    {"OneSided", "portRange", "6000", 0, {}, {notARange("portRange", "6000")}},
    {"Letters", "portRange", "abc", 0, {}, {notARange("portRange", "abc")}},
    {"BlankBeforeDash", "portRange", "6000 -6010", 0, {}, {notARange("portRange", "6000 -6010")}},
    {"Dots", "portRange", "6000..6100", 0, {}, {notARange("portRange", "6000..6100")}},
    {"NoText", "portRange", "", 0, {}, {notARange("portRange", "")}},
    {"ReversedIndices", "domainSockRange", "9-0", 0, {}, {notARange("domainSockRange", "9-0")}},
    {"KeysWithDots", "shmKeyRange", "1000..1100", 0, {}, {notARange("shmKeyRange", "1000..1100")}},
    {"LowestAndHighestPort", "portRange", "1-2", 0, {1}, {}},
    {"HighestPort", "portRange", "65535-65536", 0, {65535}, {}},
    {"PortZero", "portRange", "0-10", -1, {}, {outOfRange("portRange", "0-10")}},
    {"PortAbove65535", "portRange", "65530-65537", -1, {}, {outOfRange("portRange", "65530-65537")}},
    {"NegativePorts", "portRange", "-5-3", -1, {}, {outOfRange("portRange", "-5-3")}},
    {"PortsBeyondInt",
     "portRange",
     "99999999999-100000000001",
     -1,
     {},
     {outOfRange("portRange", "99999999999-100000000001")}},
    {"Indices", "domainSockRange", "0-3", 0, {2, 1, 0}, {}},
    {"IndexRangeAtCap", "domainSockRange", "10-65546", 0, descending(65546, 10), {}},
    {"IndexRangeAboveCap", "domainSockRange", "10-65547", -1, {}, {outOfRange("domainSockRange", "10-65547")}},
    {"HugeIndexRange", "domainSockRange", "0-2000000000", -1, {}, {outOfRange("domainSockRange", "0-2000000000")}},
    {"LowestIndex", "domainSockRange", "-2147483648--2147483646", 0, {INT_MIN + 1, INT_MIN}, {}},
    {"IndexBelowInt",
     "domainSockRange",
     "-2147483649--2147483646",
     -1,
     {},
     {outOfRange("domainSockRange", "-2147483649--2147483646")}},
    {"HighestIndex", "domainSockRange", "2147483646-2147483648", 0, {INT_MAX, INT_MAX - 1}, {}},
    {"IndexAboveInt",
     "domainSockRange",
     "2147483646-2147483649",
     -1,
     {},
     {outOfRange("domainSockRange", "2147483646-2147483649")}},
    {"Keys", "shmKeyRange", "100-102", 0, {101, 100}, {}},
    {"KeyRangeAboveCap", "shmKeyRange", "0-65537", -1, {}, {outOfRange("shmKeyRange", "0-65537")}},
    // Key 0 (IPC_PRIVATE) and negative keys (read as "no key") are never handed out.
    {"ReservedKeys",
     "shmKeyRange",
     "-1193048--1193044",
     0,
     {-1193045},
     {reservedKey(-1193046, 0), reservedKey(-1193047, -1), reservedKey(-1193048, -2)}},
    {"NegativeKeys",
     "shmKeyRange",
     "-2147483648--2147483646",
     0,
     {},
     {reservedKey(INT_MIN + 1, INT_MIN + 1 + 0x123456), reservedKey(INT_MIN, INT_MIN + 0x123456)}},
    {"HighestKeyNumber", "shmKeyRange", "2146290600-2146290602", 0, {2146290601, 2146290600}, {}},
    {"KeyNumberBeyondInt",
     "shmKeyRange",
     "2146290600-2146290603",
     -1,
     {},
     {outOfRange("shmKeyRange", "2146290600-2146290603")}},
};

INSTANTIATE_TEST_SUITE_P(Texts, DdsConfigRangeNsTest, ::testing::ValuesIn(RANGE_CASES), caseName<RangeCase>);

TEST_F(DdsConfigNsTest, RangesAppendAndExclusionsEraseFromTheWholeList)
{
    CDDSConfig cfg(write(R"({"transport": {"portRange": "6000-6004", "excludePort": [6001, 6005, 6001],
                                           "domainSockRange": "0-2", "shmKeyRange": "7-8"}})"));
    std::vector<int> ports{6005, 42};
    std::vector<int> ids{9};
    std::vector<int> keys{9};
    zqtest::OutputCapture cap;
    EXPECT_EQ(cfg.getTransportSocketPorts(ports), 0);
    EXPECT_EQ(cfg.getTransportUnixSocketIdx(ids), 0);
    EXPECT_EQ(cfg.getTransportShmKey(keys), 0);
    cap.stop();
    EXPECT_EQ(ddsLines(cap.out()), Lines{});
    EXPECT_EQ(ports, (std::vector<int>{42, 6003, 6002, 6000}));
    EXPECT_EQ(ids, (std::vector<int>{9, 1, 0}));
    EXPECT_EQ(keys, (std::vector<int>{9, 7}));
}

TEST_F(DdsConfigNsTest, BadExclusionsKeepTheRangeMinusEarlierExclusions)
{
    struct Case {
        const char* exclude;
        std::vector<int> ports;
        const char* what;
    } cases[] = {
        {R"([6001, "6002", 6003])",
         {6003, 6002, 6000},
         "[json.exception.type_error.302] type must be number, but is string"},
        {"[6001, 6002.5]", {6003, 6002, 6000}, "number 6002.5 is not an integer"},
        {"6001", {6003, 6002, 6001, 6000}, "type must be array, but is number"},
        {R"({"a": 6001})", {6003, 6002, 6001, 6000}, "type must be array, but is object"},
    };
    for (const Case& c : cases) {
        CDDSConfig cfg(
            write(std::string(R"({"transport": {"portRange": "6000-6004", "excludePort": )") + c.exclude + "}}"));
        std::vector<int> ports;
        zqtest::OutputCapture cap;
        EXPECT_EQ(cfg.getTransportSocketPorts(ports), -1) << c.exclude;
        cap.stop();
        EXPECT_EQ(ports, c.ports) << c.exclude;
        EXPECT_EQ(ddsLines(cap.out()), Lines{parseFailed(c.what)}) << c.exclude;
    }
}

} // namespace

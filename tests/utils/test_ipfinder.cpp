// Interface address lookup, run in the test's own network namespace: only `lo` is there until a
// test adds a veth pair (a dummy link is not available everywhere; a veth end is just as good
// as an interface of our own).
#include "utils/dds_common.h"
#include "utils/ipfinder.h"

#include "support/zqtest.h"

#include <algorithm>
#include <cstring>

namespace {

using IPInfo = CIPFinder::IPInfo_t;
using MacInfo = CIPFinder::MacInfo_t;

class IPFinderNsTest : public zqtest::NsTest {
protected:
    static void ip(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{"ip"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        ASSERT_EQ(zqtest::runCommand(argv, 10000, &out), 0) << out;
    }

    // A veth pair `a`/`b`, both ends in this namespace, down and without any address.
    static void addPair(const std::string& a, const std::string& b)
    {
        ip({"link", "add", a, "type", "veth", "peer", "name", b});
    }

    static MacInfo mac(uint8_t last)
    {
        MacInfo m;
        const uint8_t bytes[6] = {0x02, 0x00, 0x5a, 0x51, 0x00, last};
        memcpy(m.m_u8Mac, bytes, sizeof(bytes));
        return m;
    }
};

TEST_F(IPFinderNsTest, LoopbackGivesItsIPv4AddressFirst)
{
    EXPECT_EQ(CIPFinder::getIPAddr("lo"), "127.0.0.1");
    EXPECT_TRUE(isValidIPv4(CIPFinder::getIPAddr("lo")));
}

TEST_F(IPFinderNsTest, GetIPsAppendsEveryAddressWithItsFamily)
{
    std::vector<IPInfo> list(1);
    list[0].m_strIp = "kept";
    ASSERT_TRUE(CIPFinder::getIPs(list, false));
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0].m_strIp, "kept");
    const size_t once = list.size() - 1;
    bool sawLoopbackV4 = false;
    for (size_t i = 1; i < list.size(); ++i) {
        const IPInfo& info = list[i];
        EXPECT_EQ(info.m_strName, "lo");
        if (info.m_iIpType == 0) {
            EXPECT_TRUE(isValidIPv4(info.m_strIp)) << info.m_strIp;
            sawLoopbackV4 = sawLoopbackV4 || info.m_strIp == "127.0.0.1";
        } else {
            EXPECT_EQ(info.m_iIpType, 1);
            EXPECT_EQ(info.m_strIp, "::1");
        }
    }
    EXPECT_TRUE(sawLoopbackV4);

    // The flag selects nothing, and a second call lists everything again.
    ASSERT_TRUE(CIPFinder::getIPs(list, true));
    ASSERT_EQ(list.size(), 1 + 2 * once);
    for (size_t i = 0; i < once; ++i) {
        EXPECT_EQ(list[1 + i].m_strIp, list[1 + once + i].m_strIp);
        EXPECT_EQ(list[1 + i].m_strName, list[1 + once + i].m_strName);
        EXPECT_EQ(list[1 + i].m_iIpType, list[1 + once + i].m_iIpType);
    }
}

TEST_F(IPFinderNsTest, InterfaceAddressDependsOnWhatTheInterfaceCarries)
{
    addPair("zqv4", "zqv6");
    ip({"addr", "add", "198.18.41.7/24", "dev", "zqv4"});
    ip({"addr", "add", "198.18.41.8/24", "dev", "zqv4"});
    ip({"-6", "addr", "add", "fd00:5a51::7/64", "dev", "zqv6", "nodad"});
    addPair("zqbare0", "zqbare1");

    struct Case {
        const char* ifName;
        const char* address;
        bool ipv4;
    };
    const Case cases[] = {
        {"zqv4", "198.18.41.7", true},   // the first of its addresses
        {"zqv6", "fd00:5a51::7", false}, // IPv6 only: the participant's check refuses it
        {"zqbare0", "", false},          // no address at all
        {"zqnosuch0", "", false},        // no such interface
        {"LO", "", false},               // names compare case-sensitively
        {"", "", false},
    };
    for (const Case& c : cases) {
        const std::string address = CIPFinder::getIPAddr(c.ifName);
        EXPECT_EQ(address, c.address) << c.ifName;
        EXPECT_EQ(isValidIPv4(address), c.ipv4) << c.ifName;
    }
}

TEST_F(IPFinderNsTest, HostWithOnlyLoopbackAddressedHasNoHardwareAddress)
{
    addPair("zqbare0", "zqbare1"); // Ethernet, but without an address
    std::vector<MacInfo> list;
    EXPECT_TRUE(CIPFinder::getAllMACAddress(list));
    EXPECT_TRUE(list.empty());
}

TEST_F(IPFinderNsTest, HardwareAddressesOfAddressedInterfacesCollapse)
{
    // zqm0 and zqm1 share one address and zqm0 carries two IPs; zqm2 has its own address;
    // zqm3 has no IP and is not queried.
    addPair("zqm0", "zqm1");
    addPair("zqm2", "zqm3");
    ip({"link", "set", "zqm0", "address", "02:00:5a:51:00:01"});
    ip({"link", "set", "zqm1", "address", "02:00:5a:51:00:01"});
    ip({"link", "set", "zqm2", "address", "02:00:5a:51:00:02"});
    ip({"link", "set", "zqm3", "address", "02:00:5a:51:00:03"});
    ip({"addr", "add", "198.18.42.1/24", "dev", "zqm0"});
    ip({"addr", "add", "198.18.42.2/24", "dev", "zqm0"});
    ip({"addr", "add", "198.18.43.1/24", "dev", "zqm1"});
    ip({"addr", "add", "198.18.44.1/24", "dev", "zqm2"});

    std::vector<MacInfo> fresh;
    ASSERT_TRUE(CIPFinder::getAllMACAddress(fresh));
    ASSERT_EQ(fresh.size(), 2u);
    EXPECT_NE(std::find(fresh.begin(), fresh.end(), mac(1)), fresh.end());
    EXPECT_NE(std::find(fresh.begin(), fresh.end(), mac(2)), fresh.end());

    // Appends, and skips what the list already holds.
    std::vector<MacInfo> held{mac(2)};
    ASSERT_TRUE(CIPFinder::getAllMACAddress(held));
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0], mac(2));
    EXPECT_EQ(held[1], mac(1));
}

TEST_F(IPFinderNsTest, NameLookupsPerFamily)
{
    struct Case {
        const char* host;
        std::string (*lookup)(const std::string&);
        const char* expected;
    };
    const Case cases[] = {
        {"127.0.0.1", &CIPFinder::getIPv4Address, "127.0.0.1"},
        {"localhost", &CIPFinder::getIPv4Address, "127.0.0.1"},
        {"198.18.45.9", &CIPFinder::getIPv4Address, "198.18.45.9"},
        {"::1", &CIPFinder::getIPv6Address, "::1"},
        {"fd00:5a51::0009", &CIPFinder::getIPv6Address, "fd00:5a51::9"},
        {"::1", &CIPFinder::getIPv4Address, ""},
        {"127.0.0.1", &CIPFinder::getIPv6Address, ""},
        // Only lo exists here, so the name server cannot be asked.
        {"zq-no-such-host.invalid", &CIPFinder::getIPv4Address, ""},
        {"zq-no-such-host.invalid", &CIPFinder::getIPv6Address, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.lookup(c.host), c.expected) << c.host;
    }
}

TEST(IPFinderRecordTest, RecordsStartEmptyAndCompareByBytes)
{
    IPInfo info;
    EXPECT_EQ(info.m_iIpType, 0);
    EXPECT_TRUE(info.m_strIp.empty());
    EXPECT_TRUE(info.m_strName.empty());

    info.m_iIpType = 1;
    info.m_strIp = "::1";
    info.m_strName = "lo";
    IPInfo copy(info);
    EXPECT_EQ(copy.m_iIpType, 1);
    EXPECT_EQ(copy.m_strIp, "::1");
    EXPECT_EQ(copy.m_strName, "lo");
    IPInfo moved(std::move(copy));
    EXPECT_EQ(moved.m_iIpType, 1);
    EXPECT_EQ(moved.m_strIp, "::1");
    EXPECT_EQ(moved.m_strName, "lo");

    MacInfo a;
    MacInfo b;
    EXPECT_EQ(a, b);
    for (int i = 0; i < 6; ++i) {
        b = a;
        b.m_u8Mac[i] = 0x80;
        EXPECT_NE(a, b) << "byte " << i;
    }
}

} // namespace

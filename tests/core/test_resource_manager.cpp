// The process-wide pools of ports, Unix-socket indices and key numbers, and the host address.
#include "core/resource_manager.h"
#include "support/zqtest.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Test names of the parameter tables: each case's own name.
template <typename Case> std::string caseName(const ::testing::TestParamInfo<Case>& param)
{
    return param.param.name;
}

CResourceManager* rm()
{
    return CResourceManager::getInstance();
}

// One of the three pools, seen through its put and take operations.
struct Pool {
    const char* name;
    std::function<void(int)> put;
    std::function<int()> take;
    int offset; // what a take adds to the number put
    const char* emptyLine;
    std::function<void(int)> setAside;
};

const Pool POOLS[] = {
    {"ports", [](int n) { rm()->putSocketPort(n); }, [] { return rm()->getSocketPort(); }, 0,
     "Error: socket port container is empty!", [](int n) { rm()->setAsideSocketPort(n); }},
    {"unixIds", [](int n) { rm()->putUnixSocketId(n); }, [] { return rm()->getUnixSocketId(); }, 0,
     "Error: unix socket id container is empty!", [](int n) { rm()->setAsideUnixSocketId(n); }},
    {"shmKeys", [](int n) { rm()->putShmKey(n); }, [] { return rm()->getShmKey(); }, SHM_KEY_OFFSET,
     "Error: share memory key container is empty!", [](int n) { rm()->setAsideShmKey(n); }},
};

// Takes until the pool reports itself empty, so every test starts from empty pools even when the
// cases share one process.
void drain(const Pool& pool)
{
    for (;;) {
        zqtest::OutputCapture cap;
        int got = pool.take();
        cap.stop();
        if (got == -1 && zqtest::hasDdsLine(cap.out(), "31", pool.emptyLine)) {
            return;
        }
    }
}

class ResourceManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const Pool& pool : POOLS) {
            drain(pool);
        }
    }
};

TEST_F(ResourceManagerTest, OneInstanceWithEmptyHostUntilSet)
{
    ASSERT_EQ(CResourceManager::getInstance(), CResourceManager::getInstance());
    EXPECT_EQ(rm()->getHostIp(), "");
    EXPECT_EQ(rm()->getHostEthName(), "");

    rm()->setHostEthIp("lo", "127.0.0.1");
    EXPECT_EQ(rm()->getHostIp(), "127.0.0.1");
    EXPECT_EQ(rm()->getHostEthName(), "lo");
    rm()->setHostEthIp("veth1", "198.18.0.2");
    EXPECT_EQ(rm()->getHostIp(), "198.18.0.2");
    EXPECT_EQ(rm()->getHostEthName(), "veth1");
}

TEST_F(ResourceManagerTest, PortsLeaveInAscendingOrderAndComeBack)
{
    rm()->putSocketPort(6001);
    rm()->putSocketPort(6000);
    zqtest::OutputCapture cap;
    EXPECT_EQ(rm()->getSocketPort(), 6000);
    EXPECT_EQ(rm()->getSocketPort(), 6001);
    EXPECT_EQ(rm()->getSocketPort(), -1);
    cap.stop();
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "31", "Error: socket port container is empty!"), 1) << cap.out();

    rm()->putSocketPort(6000);
    EXPECT_EQ(rm()->getSocketPort(), 6000);
}

void PrintTo(const Pool& pool, std::ostream* os)
{
    *os << pool.name;
}

class ResourcePoolTest : public ResourceManagerTest, public ::testing::WithParamInterface<Pool> {};

TEST_P(ResourcePoolTest, OrderedSetWithDuplicatesHeldOnceAndAnEmptyLine)
{
    const Pool& pool = GetParam();
    for (int n : {30, 10, 20, 10, 30}) {
        pool.put(n);
    }
    zqtest::OutputCapture cap;
    std::vector<int> got;
    for (int i = 0; i < 4; ++i) {
        got.push_back(pool.take());
    }
    cap.stop();
    EXPECT_EQ(got, (std::vector<int>{10 + pool.offset, 20 + pool.offset, 30 + pool.offset, -1}));
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "31", pool.emptyLine), 1) << cap.out();
}

TEST_P(ResourcePoolTest, MinusOneIsAcceptedLikeAnyNumber)
{
    // A caller that gives back a failed take's -1 puts an ordinary number: it is the smallest then.
    const Pool& pool = GetParam();
    pool.put(5);
    pool.put(-1);
    zqtest::OutputCapture cap;
    EXPECT_EQ(pool.take(), -1 + pool.offset);
    EXPECT_EQ(pool.take(), 5 + pool.offset);
    cap.stop();
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "31", pool.emptyLine), 0) << cap.out();
}

TEST_P(ResourcePoolTest, NumbersSetAsideComeLastOldestFirst)
{
    const Pool& pool = GetParam();
    for (int n : {10, 20, 30}) {
        pool.put(n);
    }
    const int first = pool.take(); // 10, handed out and then set aside
    EXPECT_EQ(first, 10 + pool.offset);
    pool.setAside(10);
    pool.setAside(20); // free, and set aside too
    pool.setAside(10); // held once
    pool.put(40);
    zqtest::OutputCapture cap;
    std::vector<int> got;
    for (int i = 0; i < 5; ++i) {
        got.push_back(pool.take());
    }
    cap.stop();
    EXPECT_EQ(got, (std::vector<int>{30 + pool.offset, 40 + pool.offset, 10 + pool.offset, 20 + pool.offset, -1}));
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "31", pool.emptyLine), 1) << cap.out();
    // Given back the ordinary way, a number set aside is in order again.
    pool.setAside(50);
    pool.put(60);
    pool.put(50);
    EXPECT_EQ(pool.take(), 50 + pool.offset);
    EXPECT_EQ(pool.take(), 60 + pool.offset);
}

INSTANTIATE_TEST_SUITE_P(AllPools, ResourcePoolTest, ::testing::ValuesIn(POOLS), caseName<Pool>);

TEST_F(ResourceManagerTest, ShmKeyIsTheNumberPlusTheOffsetAndEmptyGivesPlainMinusOne)
{
    rm()->putShmKey(100);
    int key = rm()->getShmKey();
    EXPECT_EQ(key, 100 + 0x123456);
    rm()->putShmKey(key - SHM_KEY_OFFSET);
    EXPECT_EQ(rm()->getShmKey(), key);

    zqtest::OutputCapture cap;
    EXPECT_EQ(rm()->getShmKey(), -1);
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: share memory key container is empty!")) << cap.out();
}

TEST_F(ResourceManagerTest, ShmKeyOfLargeNumbersWrapsInsteadOfOverflowing)
{
    // Built with UBSan in CI: a signed addition here would abort the test.
    rm()->putShmKey(INT_MAX - SHM_KEY_OFFSET);
    rm()->putShmKey(INT_MAX);
    EXPECT_EQ(rm()->getShmKey(), INT_MAX);
    EXPECT_EQ(rm()->getShmKey(), static_cast<int>(static_cast<uint32_t>(INT_MAX) + 0x123456u));
}

TEST_F(ResourceManagerTest, KeyNumbersGivingReservedNegativeOrWrappedKeysAreUnusable)
{
    struct Case {
        int number;
        bool usable;
    } cases[] = {
        {0, true},
        {-1, true},
        {-SHM_KEY_OFFSET + 1, true},
        {-SHM_KEY_OFFSET, false},     // key 0: IPC_PRIVATE
        {-SHM_KEY_OFFSET - 1, false}, // key -1: "no key"
        {-SHM_KEY_OFFSET - 2, false}, // negative keys read as "no key" too
        {INT_MAX - SHM_KEY_OFFSET, true},
        {INT_MAX - SHM_KEY_OFFSET + 1, false},
        {INT_MIN, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CResourceManager::isUsableShmKeyNumber(c.number), c.usable) << c.number;
    }
    EXPECT_EQ(CResourceManager::shmKeyOf(-SHM_KEY_OFFSET), 0);
    EXPECT_EQ(CResourceManager::shmKeyOf(-SHM_KEY_OFFSET - 1), -1);
}

TEST_F(ResourceManagerTest, ConcurrentTakersNeverShareANumber)
{
    constexpr int kNumbers = 16;
    constexpr int kThreads = 6;
    constexpr int kRounds = 2000;
    for (int n = 0; n < kNumbers; ++n) {
        rm()->putSocketPort(n);
        rm()->putShmKey(n);
    }
    std::atomic<bool> held[2][kNumbers] = {};
    std::atomic<int> clashes{0};
    std::atomic<int> misses{0};

    auto worker = [&](int id) {
        for (int round = 0; round < kRounds; ++round) {
            int port = rm()->getSocketPort();
            int key = rm()->getShmKey();
            int keyNumber = key == -1 ? -1 : key - SHM_KEY_OFFSET;
            for (int side = 0; side < 2; ++side) {
                int n = side == 0 ? port : keyNumber;
                if (n < 0) {
                    // Fewer takers than numbers: a pool can never run dry here.
                    misses.fetch_add(1);
                } else if (held[side][n].exchange(true)) {
                    clashes.fetch_add(1);
                }
            }
            if (id == 0 && round % 100 == 0) {
                rm()->setHostEthIp("lo", "127.0.0." + std::to_string(round % 250 + 1));
            } else {
                EXPECT_FALSE(rm()->getHostIp().empty());
            }
            if (port >= 0) {
                held[0][port].store(false);
                rm()->putSocketPort(port);
            }
            if (keyNumber >= 0) {
                held[1][keyNumber].store(false);
                rm()->putShmKey(keyNumber);
            }
        }
    };

    rm()->setHostEthIp("lo", "127.0.0.1");
    {
        zqtest::OutputCapture cap;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back(worker, t);
        }
        for (std::thread& t : threads) {
            t.join();
        }
    }
    EXPECT_EQ(clashes.load(), 0);
    EXPECT_EQ(misses.load(), 0);

    std::vector<int> ports;
    for (int n = 0; n < kNumbers; ++n) {
        ports.push_back(rm()->getSocketPort());
    }
    std::vector<int> expected;
    for (int n = 0; n < kNumbers; ++n) {
        expected.push_back(n);
    }
    EXPECT_EQ(ports, expected);
}

} // namespace

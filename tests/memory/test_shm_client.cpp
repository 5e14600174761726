// Shared-memory client and FIFO against a pool segment and a writer-side queue made by the test:
// dispatch and returns, refused layouts and packages, the pending list for a full return ring,
// and a mapping that outlives its client while packages are held.
#include "memory/datacenter.h"
#include "memory/held_pkg.h"
#include "memory/normal_mem_pool.h"
#include "memory/pool_mapping.h"
#include "memory/shm_client.h"
#include "memory/shm_datafifo.h"
#include "memory/shm_queue.h"
#include "memory/shm_test_util.h"
#include "support/zqtest.h"

#include <climits>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Capacity of a package registered in a pool mapping of this process, by its layout; -1 when it
// lies in none.
int registeredCapacity(const DataPackage_t* pkg)
{
    std::shared_ptr<CPoolMapping> mapping = CPoolMapping::findMapping(pkg);
    int id = mapping ? mapping->idOf(pkg) : -1;
    return id < 0 ? -1 : mapping->capacity(id);
}

// Keys of this file: 0x47030000 + n.
constexpr int kKeyBase = 0x47030000;

using shmtest::Collector;
using shmtest::RawSegment;

MemPoolLayout_t layoutOf(std::initializer_list<MemGroup_t> groups)
{
    MemPoolLayout_t layout{};
    for (const MemGroup_t& g : groups) {
        layout.m_stGroup[layout.m_iGroupCount++] = g;
    }
    return layout;
}

// A pool segment laid out as the writer's pool lays it out: numbers 1..N in walk order, every
// package flagged as shared, its capacity the group's chunk size and 34 + n bytes in use.
class FakePool {
public:
    FakePool(int key, const MemPoolLayout_t& layout, size_t extra = 0) : m_layout(layout)
    {
        size_t size = 0;
        for (int g = 0; g < layout.m_iGroupCount; ++g) {
            size += static_cast<size_t>(layout.m_stGroup[g].m_iChunkSize + 96) * layout.m_stGroup[g].m_iChunkCount;
        }
        m_seg = std::make_unique<RawSegment>(key, size + extra);
        if (!m_seg->ok()) {
            return;
        }
        size_t off = 0;
        int id = 1;
        for (int g = 0; g < layout.m_iGroupCount; ++g) {
            for (int c = 0; c < layout.m_stGroup[g].m_iChunkCount; ++c) {
                auto* pkg = reinterpret_cast<DataPackage_t*>(m_seg->base() + off + 48);
                pkg->m_iPkgId = id;
                pkg->m_bShm = true;
                pkg->m_iSize = layout.m_stGroup[g].m_iChunkSize;
                pkg->m_iLen = 34 + id;
                m_pkgs.push_back(pkg);
                ++id;
                off += static_cast<size_t>(layout.m_stGroup[g].m_iChunkSize) + 96;
            }
        }
    }
    bool ok() const { return m_seg->ok(); }
    DataPackage_t* pkg(int id) const { return m_pkgs[static_cast<size_t>(id - 1)]; }
    RawSegment& seg() { return *m_seg; }
    const MemPoolLayout_t& layout() const { return m_layout; }

private:
    MemPoolLayout_t m_layout;
    std::unique_ptr<RawSegment> m_seg;
    std::vector<DataPackage_t*> m_pkgs;
};

// A data callback of the handle kind that keeps every package handed out to it.
class HandleKeeper {
public:
    CShmClient::HeldCallBack_t callback()
    {
        return [this](int, CHeldPkg& held) {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_vecHeld.push_back(std::move(held));
        };
    }
    bool waitCount(size_t n)
    {
        return zqtest::waitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(m_mtx);
                return m_vecHeld.size() == n;
            },
            5000);
    }
    std::vector<CHeldPkg> take()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return std::move(m_vecHeld);
    }

private:
    std::mutex m_mtx;
    std::vector<CHeldPkg> m_vecHeld;
};

class ShmClientNsTest : public zqtest::NsTest {
protected:
    void TearDown() override { shmtest::removeAllSegments(); }

    // The writer's end of the channel: the test posts numbers and collects what comes back.
    bool startWriter(int queueKey)
    {
        return m_writer.init(queueKey, 0, [this](int, int id) { m_returns.add(id); }) &&
               (m_writer.setEnable(true), true);
    }

    // Declared first: the writer's thread adds to it until the writer is destroyed.
    Collector m_returns;
    CShmQueque m_writer;
};

// Lets a stalled callback go on however the test ends.
class Release {
public:
    explicit Release(std::promise<void>& p) : m_p(p) {}
    ~Release()
    {
        if (!m_done) {
            m_p.set_value();
        }
    }
    void now()
    {
        m_done = true;
        m_p.set_value();
    }

private:
    std::promise<void>& m_p;
    bool m_done{false};
};

MemPoolLayout_t smallLayout()
{
    return layoutOf({{0, 256, 4}, {1, 1024, 2}});
}

TEST_F(ShmClientNsTest, ReturnsFollowTheLastHolder)
{
    const int poolKey = kKeyBase + 1;
    const int queueKey = kKeyBase + 2;
    FakePool pool(poolKey, smallLayout());
    ASSERT_TRUE(pool.ok());
    ASSERT_TRUE(startWriter(queueKey));
    CShmClient client;
    ASSERT_TRUE(client.init(queueKey, poolKey, pool.layout()));
    EXPECT_FALSE(client.init(queueKey, poolKey, pool.layout()));
    EXPECT_EQ(pool.seg().attachCount(), 2u);

    // Nobody holds it: back right after the dispatch.
    ASSERT_TRUE(m_writer.post(3, 0));
    ASSERT_TRUE(m_returns.waitCount(1, 5000));

    // Two callbacks keep number 1 (and only that one); a third refuses everything.
    std::mutex mtx;
    std::vector<std::pair<int, DataPackage_t*>> seen;
    auto keeper = [&](int cbId, DataPackage_t* pkg) {
        std::lock_guard<std::mutex> lock(mtx);
        seen.emplace_back(cbId, pkg);
        return pkg->m_iPkgId == 1 ? 0 : -1;
    };
    EXPECT_EQ(client.registerCallBack(keeper), 1);
    EXPECT_EQ(client.registerCallBack(keeper), 2);
    EXPECT_EQ(client.registerCallBack([](int, DataPackage_t*) { return -1; }), 3);
    EXPECT_EQ(client.registerCallBack(nullptr), -1);

    ASSERT_TRUE(m_writer.post(1, 0));
    ASSERT_TRUE(m_writer.post(2, 0));
    // Number 2 coming back proves the dispatch of number 1 is over (one thread, in order).
    ASSERT_TRUE(m_returns.waitCount(2, 5000));
    EXPECT_EQ(m_returns.values(), (std::vector<int>{3, 2}));
    DataPackage_t* held = nullptr;
    {
        std::lock_guard<std::mutex> lock(mtx);
        ASSERT_EQ(seen.size(), 4u);
        EXPECT_EQ(seen[0].first, 1);
        EXPECT_EQ(seen[1].first, 2);
        EXPECT_EQ(seen[0].second, seen[1].second);
        // The client's own mapping lies elsewhere than the test's.
        EXPECT_NE(seen[0].second, pool.pkg(1));
        EXPECT_EQ(seen[0].second->m_iLen, 35);
        held = seen[0].second;
    }
    EXPECT_EQ(client.getDataPkgById(1), held);
    client.putEmptyDataPkg(held);
    ASSERT_TRUE(m_writer.post(4, 0));
    ASSERT_TRUE(m_returns.waitCount(3, 5000));
    EXPECT_EQ(m_returns.values(), (std::vector<int>{3, 2, 4}));
    client.putEmptyDataPkg(held);
    ASSERT_TRUE(m_returns.waitCount(4, 5000));
    EXPECT_EQ(m_returns.values(), (std::vector<int>{3, 2, 4, 1}));

    // Ids are never reused; an unknown id is ignored.
    client.unregisterCallBack(1);
    client.unregisterCallBack(99);
    EXPECT_EQ(client.registerCallBack(keeper), 4);

    // A process-memory package changes nothing.
    DataPackage_t local{};
    local.m_iPkgId = 1;
    client.putEmptyDataPkg(&local);
    EXPECT_FALSE(CHeldPkg::releaseByAddress(&local, nullptr));
    client.putEmptyDataPkg(nullptr);

    zqtest::OutputCapture cap;
    EXPECT_EQ(client.getDataPkgById(0), nullptr);
    EXPECT_EQ(client.getDataPkgById(7), nullptr);
    cap.stop();
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "32", "Can't find pkg 0 !!!"), 1);
    EXPECT_EQ(zqtest::countDdsLines(cap.out(), "32", "Can't find pkg 7 !!!"), 1);
    EXPECT_GE(client.getFps(), 0);

    client.deinit();
    EXPECT_FALSE(client.isInit());
    EXPECT_EQ(client.getFps(), -1);
    EXPECT_EQ(pool.seg().attachCount(), 1u);
    EXPECT_TRUE(shmtest::keyExists(poolKey));
    EXPECT_TRUE(shmtest::keyExists(queueKey));
}

TEST_F(ShmClientNsTest, UnmappableNumbersAreNeitherDeliveredNorReturned)
{
    const int poolKey = kKeyBase + 3;
    const int queueKey = kKeyBase + 4;
    FakePool pool(poolKey, smallLayout());
    ASSERT_TRUE(pool.ok());
    ASSERT_TRUE(startWriter(queueKey));
    // Declared before the client: its thread may call the callback until the client is gone.
    Collector delivered;
    CShmClient client;
    client.registerCallBack([&](int, DataPackage_t* pkg) {
        delivered.add(pkg->m_iPkgId);
        return -1;
    });
    ASSERT_TRUE(client.init(queueKey, poolKey, pool.layout()));
    RawSegment ring(queueKey);
    ASSERT_TRUE(ring.ok());
    zqtest::OutputCapture cap;
    for (int id : {0, 7, -1, INT_MAX, 5}) {
        ASSERT_TRUE(m_writer.post(id, 0));
        // The ring holds two: let the reader keep up.
        ASSERT_TRUE(zqtest::waitUntil([&] { return ring.intAt(4) == 0; }, 5000));
    }
    ASSERT_TRUE(m_returns.waitCount(1, 5000));
    cap.stop();
    EXPECT_EQ(delivered.values(), (std::vector<int>{5}));
    EXPECT_EQ(m_returns.values(), (std::vector<int>{5}));
    for (int id : {0, 7, -1, INT_MAX}) {
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "32", "Can't find pkg " + std::to_string(id) + " !!!")) << id;
    }
}

struct BadPackage {
    const char* name;
    int len;
    int size;
    int key;
};

void PrintTo(const BadPackage& b, std::ostream* os)
{
    *os << b.name;
}

class ShmClientBadPackageNsTest : public ShmClientNsTest, public ::testing::WithParamInterface<BadPackage> {};

TEST_P(ShmClientBadPackageNsTest, PackagesWithInsaneLengthsGoStraightBack)
{
    const BadPackage& b = GetParam();
    const int poolKey = b.key;
    const int queueKey = poolKey + 1;
    FakePool pool(poolKey, smallLayout());
    ASSERT_TRUE(pool.ok());
    pool.pkg(2)->m_iLen = b.len;
    pool.pkg(2)->m_iSize = b.size;
    ASSERT_TRUE(startWriter(queueKey));
    // Declared before the client: its thread may call the callback until the client is gone.
    Collector delivered;
    CShmClient client;
    client.registerCallBack([&](int, DataPackage_t* pkg) {
        delivered.add(pkg->m_iPkgId);
        return 0;
    });
    ASSERT_TRUE(client.init(queueKey, poolKey, pool.layout()));
    zqtest::OutputCapture cap;
    ASSERT_TRUE(m_writer.post(2, 0));
    ASSERT_TRUE(m_returns.waitCount(1, 5000));
    ASSERT_TRUE(m_writer.post(1, 0));
    ASSERT_TRUE(delivered.waitCount(1, 5000));
    cap.stop();
    EXPECT_EQ(m_returns.values(), (std::vector<int>{2}));
    EXPECT_EQ(delivered.values(), (std::vector<int>{1}));
    char text[96];
    snprintf(text, sizeof(text), "Warning: Drop pkg 2, len: %d, size: %d, capacity: 256", b.len, b.size);
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "33", text)) << cap.out();
}

INSTANTIATE_TEST_SUITE_P(Lengths, ShmClientBadPackageNsTest,
                         ::testing::Values(BadPackage{"shorterThanHeader", 33, 256, kKeyBase + 0x100},
                                           BadPackage{"negative", -1, 256, kKeyBase + 0x102},
                                           BadPackage{"longerThanSize", 200, 100, kKeyBase + 0x104},
                                           BadPackage{"sizeBeyondChunk", 300, 257, kKeyBase + 0x106},
                                           BadPackage{"hugeSize", 1000, INT_MAX, kKeyBase + 0x108},
                                           BadPackage{"negativeSize", 34, -40, kKeyBase + 0x10a}),
                         [](const ::testing::TestParamInfo<BadPackage>& p) { return std::string(p.param.name); });

struct BadInit {
    const char* name;
    int poolKeyOffset;      // 0: the pool made below; anything else: a key without a segment
    MemPoolLayout_t layout; // given to init
    int segmentExtra;       // bytes by which the segment is smaller (negative) than the real layout
    int forgedId;           // written into package 2 when not 0
    bool queueMissing;
    const char* line; // expected red line (prefix before " @")
};

void PrintTo(const BadInit& b, std::ostream* os)
{
    *os << b.name;
}

class ShmClientBadInitNsTest : public ShmClientNsTest, public ::testing::WithParamInterface<BadInit> {};

TEST_P(ShmClientBadInitNsTest, RefusedInitLeavesNothingAttached)
{
    const BadInit& b = GetParam();
    const int poolKey = kKeyBase + 0x200 + 2 * (b.name[0] - 'a');
    const int queueKey = poolKey + 1;
    MemPoolLayout_t real = smallLayout();
    uint64_t realSize = 4 * (256 + 96) + 2 * (1024 + 96);
    // A segment of the real pool, possibly shorter than the layout says.
    std::unique_ptr<FakePool> pool;
    std::unique_ptr<RawSegment> shortSeg;
    if (b.segmentExtra < 0) {
        shortSeg =
            std::make_unique<RawSegment>(poolKey, static_cast<size_t>(static_cast<int64_t>(realSize) + b.segmentExtra));
        ASSERT_TRUE(shortSeg->ok());
    } else {
        pool = std::make_unique<FakePool>(poolKey, real);
        ASSERT_TRUE(pool->ok());
        if (b.forgedId != 0) {
            pool->pkg(2)->m_iPkgId = b.forgedId;
        }
    }
    if (!b.queueMissing) {
        ASSERT_TRUE(startWriter(queueKey));
    }
    RawSegment& seg = pool ? pool->seg() : *shortSeg;
    // Declared before the client: its thread may call the callback until the client is gone.
    Collector delivered;
    CShmClient client;
    client.registerCallBack([&](int, DataPackage_t* pkg) {
        delivered.add(pkg->m_iPkgId);
        return -1;
    });
    zqtest::OutputCapture cap;
    EXPECT_FALSE(client.init(queueKey, poolKey + b.poolKeyOffset, b.layout));
    cap.stop();
    EXPECT_FALSE(client.isInit());
    EXPECT_EQ(client.getFps(), -1);
    EXPECT_EQ(seg.attachCount(), 1u);
    if (b.line != nullptr) {
        char text[160];
        snprintf(text, sizeof(text), b.line, static_cast<unsigned>(poolKey + b.poolKeyOffset));
        EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", text)) << cap.out();
    }
    // The client still works once given what it needs.
    if (b.forgedId == 0 && b.segmentExtra >= 0 && !b.queueMissing) {
        ASSERT_TRUE(client.init(queueKey, poolKey, real));
        ASSERT_TRUE(m_writer.post(6, 0));
        ASSERT_TRUE(delivered.waitCount(1, 5000));
        EXPECT_EQ(delivered.values(), (std::vector<int>{6}));
    }
}

MemPoolLayout_t withCount(MemPoolLayout_t l, int count)
{
    l.m_iGroupCount = count;
    return l;
}

MemPoolLayout_t withGroup(MemPoolLayout_t l, int g, int size, int count)
{
    l.m_stGroup[g].m_iChunkSize = size;
    l.m_stGroup[g].m_iChunkCount = count;
    return l;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShmClientBadInitNsTest,
    ::testing::Values(
        BadInit{"aNoSegment", 0x7000, smallLayout(), 0, 0, false, "Error: openShm() failed! m_iKey: %#x, size: 3648"},
        BadInit{"bLayoutLargerThanSegment", 0, withGroup(smallLayout(), 1, 1024, 3), 0, 0, false,
                "Error: share memory is smaller than its layout! m_iKey: %#x, size: 3648, layout size: 4768"},
        BadInit{"cSegmentShort", 0, smallLayout(), -1, 0, false,
                "Error: share memory is smaller than its layout! m_iKey: %#x, size: 3647, layout size: 3648"},
        BadInit{"dGroupCount17", 0, withCount(smallLayout(), 17), 0, 0, false,
                "Error: invalid mem pool layout! m_iKey: %#x, group count: 17"},
        BadInit{"eGroupCountNegative", 0, withCount(smallLayout(), -1), 0, 0, false,
                "Error: invalid mem pool layout! m_iKey: %#x, group count: -1"},
        BadInit{"fNegativeChunkSize", 0, withGroup(smallLayout(), 0, -200, 4), 0, 0, false,
                "Error: invalid mem pool layout! m_iKey: %#x, group count: 2"},
        BadInit{"gNegativeChunkCount", 0, withGroup(smallLayout(), 1, 1024, -2), 0, 0, false,
                "Error: invalid mem pool layout! m_iKey: %#x, group count: 2"},
        BadInit{"hTooManyPackages", 0, withGroup(smallLayout(), 1, INT_MAX - 7, INT_MAX), 0, 0, false,
                "Error: invalid mem pool layout! m_iKey: %#x, group count: 2"},
        BadInit{"iDuplicateNumber", 0, smallLayout(), 0, 1, false,
                "Error: invalid package numbers in share memory! m_iKey: %#x"},
        BadInit{"jNumberPastN", 0, smallLayout(), 0, 7, false,
                "Error: invalid package numbers in share memory! m_iKey: %#x"},
        BadInit{"kNumberZero", 0, smallLayout(), 0, -9, false,
                "Error: invalid package numbers in share memory! m_iKey: %#x"},
        BadInit{"lQueueMissing", 0, smallLayout(), 0, 0, true, "Error: openShm failed!"},
        BadInit{"mUnalignedChunk", 0, withGroup(smallLayout(), 0, 252, 4), 0, 0, false,
                "Error: invalid mem pool layout! m_iKey: %#x, group count: 2"}),
    [](const ::testing::TestParamInfo<BadInit>& p) { return std::string(p.param.name); });

TEST_F(ShmClientNsTest, ReturnsRefusedByAFullRingAreRetriedFromThePendingList)
{
    const int poolKey = kKeyBase + 5;
    const int queueKey = kKeyBase + 6;
    FakePool pool(poolKey, layoutOf({{0, 128, 6}}));
    ASSERT_TRUE(pool.ok());
    // A writer whose return thread stalls on the first number it takes.
    std::promise<void> stalled;
    std::promise<void> resume;
    std::shared_future<void> resumed = resume.get_future().share();
    Collector returns;
    bool first = true;
    CShmQueque writer;
    Release release(resume);
    ASSERT_TRUE(writer.init(queueKey, 0, [&](int, int id) {
        returns.add(id);
        if (first) {
            first = false;
            stalled.set_value();
            resumed.wait();
        }
    }));
    writer.setEnable(true);

    std::mutex mtx;
    std::vector<DataPackage_t*> kept;
    CShmClient client;
    client.registerCallBack([&](int, DataPackage_t* pkg) {
        std::lock_guard<std::mutex> lock(mtx);
        kept.push_back(pkg);
        return 0;
    });
    ASSERT_TRUE(client.init(queueKey, poolKey, pool.layout()));
    for (int id = 1; id <= 5; ++id) {
        ASSERT_TRUE(writer.post(id, 0));
        ASSERT_TRUE(zqtest::waitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(mtx);
                return kept.size() == static_cast<size_t>(id);
            },
            5000));
    }
    zqtest::OutputCapture cap;
    client.putEmptyDataPkg(kept[0]);
    stalled.get_future().wait();
    // The writer takes nothing now: two fill the ring, the rest must wait in the pending list.
    for (size_t i = 1; i < kept.size(); ++i) {
        client.putEmptyDataPkg(kept[i]);
    }
    cap.stop();
    EXPECT_GE(zqtest::countDdsLines(cap.out(), "33", "Warning: Queue 0x47030006 post 4 failed!") +
                  zqtest::countDdsLines(cap.out(), "33", "Warning: Queue 0x47030006 post 5 failed!"),
              1)
        << cap.out();
    release.now();
    ASSERT_TRUE(returns.waitCount(5, 10000));
    std::vector<int> got = returns.values();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3, 4, 5}));
    client.deinit();
    writer.deinit();
    EXPECT_EQ(returns.size(), 5u);
}

TEST_F(ShmClientNsTest, MappingOutlivesTheClientWhilePackagesAreHeld)
{
    const int poolKey = kKeyBase + 7;
    const int queueKey = kKeyBase + 8;
    FakePool pool(poolKey, smallLayout());
    ASSERT_TRUE(pool.ok());
    std::memcpy(pkgData(pool.pkg(5)) + 34, "payload", 8);
    ASSERT_TRUE(startWriter(queueKey));
    Collector delivered;
    std::vector<DataPackage_t*> kept;
    std::mutex mtx;
    auto client = std::make_unique<CShmClient>();
    client->registerCallBack([&](int, DataPackage_t* pkg) {
        {
            std::lock_guard<std::mutex> lock(mtx);
            kept.push_back(pkg);
        }
        delivered.add(pkg->m_iPkgId);
        return 0;
    });
    ASSERT_TRUE(client->init(queueKey, poolKey, pool.layout()));
    ASSERT_TRUE(m_writer.post(5, 0));
    ASSERT_TRUE(m_writer.post(6, 0));
    ASSERT_TRUE(delivered.waitCount(2, 5000));
    DataPackage_t* five = kept[0];
    DataPackage_t* six = kept[1];

    client->deinit();
    EXPECT_EQ(pool.seg().attachCount(), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pkgData(five)) + 34), "payload");
    EXPECT_EQ(registeredCapacity(six), 1024);
    client.reset();
    EXPECT_EQ(pool.seg().attachCount(), 2u);

    // The release path needs no client: the first keeps the mapping, the last lets it go.
    EXPECT_TRUE(CHeldPkg::releaseByAddress(five, nullptr));
    EXPECT_EQ(pool.seg().attachCount(), 2u);
    EXPECT_TRUE(CHeldPkg::releaseByAddress(six, nullptr));
    EXPECT_EQ(pool.seg().attachCount(), 1u);
    EXPECT_FALSE(CHeldPkg::releaseByAddress(six, nullptr));
    EXPECT_EQ(registeredCapacity(six), -1);
    // The channel was gone: nothing could be posted back, the writer takes them back itself.
    EXPECT_EQ(m_returns.size(), 0u);
}

// A consumer of the handle kind gets the package's origin with it: its number, the capacity of
// its chunk by the layout and the length read once; the handle alone gives the package back, and
// the segment stays attached while one lives, also once the client is gone.
TEST_F(ShmClientNsTest, EachHandOverCarriesItsOriginToAReleaseThatOutlivesTheClient)
{
    const int poolKey = kKeyBase + 15;
    const int queueKey = kKeyBase + 16;
    FakePool pool(poolKey, smallLayout());
    ASSERT_TRUE(pool.ok());
    pool.pkg(5)->m_iSize = 64; // the segment's field is not what the reader trusts
    ASSERT_TRUE(startWriter(queueKey));
    HandleKeeper keeper;
    auto client = std::make_unique<CShmClient>();
    EXPECT_EQ(client->registerHeldCallBack(nullptr), -1);
    EXPECT_EQ(client->registerHeldCallBack(keeper.callback()), 1);
    ASSERT_TRUE(client->init(queueKey, poolKey, pool.layout()));
    ASSERT_TRUE(m_writer.post(5, 0));
    ASSERT_TRUE(m_writer.post(2, 0));
    ASSERT_TRUE(keeper.waitCount(2));
    std::vector<CHeldPkg> held = keeper.take();
    ASSERT_EQ(held.size(), 2u);
    const struct {
        int id;
        int capacity;
    } want[] = {{5, 1024}, {2, 256}};
    for (size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(held[i].id(), want[i].id);
        EXPECT_EQ(held[i].capacity(), want[i].capacity);
        EXPECT_EQ(held[i].len(), 34 + want[i].id);
        EXPECT_NE(held[i].mapping(), nullptr);
        EXPECT_EQ(client->getDataPkgById(want[i].id), held[i].pkg());
    }

    DataPackage_t* five = held[0].pkg();
    CHeldPkg::countLookups(true);
    const unsigned long lookups = CHeldPkg::addressLookups();
    client->deinit();
    client.reset();
    EXPECT_EQ(pool.seg().attachCount(), 2u);
    EXPECT_EQ(registeredCapacity(five), 1024);
    held[0].release();
    EXPECT_EQ(pool.seg().attachCount(), 2u) << "number 2 is still held";
    held[0].release(); // empty now: nothing
    EXPECT_EQ(pool.seg().attachCount(), 2u);
    held.clear();
    EXPECT_EQ(pool.seg().attachCount(), 1u) << "the last holder lets the mapping go";
    EXPECT_EQ(registeredCapacity(five), -1);
    EXPECT_EQ(CHeldPkg::addressLookups(), lookups) << "a handle searched for its mapping";
    EXPECT_EQ(m_returns.size(), 0u);
}

// Both ways back send each package where it came from: a package of a mapping goes back to it, by
// the handle it came in or found by its address, and never to the data buffer given beside it; a
// package of this process's memory goes to its buffer either way; an address inside a segment
// that starts no package goes nowhere.
TEST_F(ShmClientNsTest, TheWaysBackSendEachPackageWhereItCameFrom)
{
    const int poolKey = kKeyBase + 19;
    const int queueKey = kKeyBase + 20;
    FakePool pool(poolKey, smallLayout());
    ASSERT_TRUE(pool.ok());
    ASSERT_TRUE(startWriter(queueKey));
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = 0x100000;
    cfg.m_stGroup[0] = MemGroup_t{0, 512, 8};
    cfg.m_iGroupCount = 1;
    CNormalMemPool ownPool;
    ASSERT_TRUE(ownPool.init(cfg));
    CDataManager own;
    own.setMemPool(&ownPool);
    DataPackage_t* local[2] = {own.getEmptyDataPkg(100, 0), own.getEmptyDataPkg(100, 0)};
    ASSERT_NE(local[0], nullptr);
    ASSERT_NE(local[1], nullptr);
    own.referDataPkg(local[0]);
    own.referDataPkg(local[1]);
    const size_t localInUse = ownPool.getUsedSize();
    ASSERT_GT(localInUse, 0u);

    HandleKeeper keeper;
    CShmClient client;
    client.registerHeldCallBack(keeper.callback());
    ASSERT_TRUE(client.init(queueKey, poolKey, pool.layout()));
    ASSERT_TRUE(m_writer.post(3, 0));
    ASSERT_TRUE(m_writer.post(5, 0));
    ASSERT_TRUE(keeper.waitCount(2));
    std::vector<CHeldPkg> got = keeper.take();
    ASSERT_EQ(got.size(), 2u);

    got[0].release();
    ASSERT_TRUE(m_returns.waitCount(1, 5000));
    DataPackage_t* five = got[1].disown();
    auto* inside = reinterpret_cast<DataPackage_t*>(reinterpret_cast<uint8_t*>(five) + 8);
    {
        zqtest::OutputCapture cap;
        EXPECT_FALSE(CHeldPkg::releaseByAddress(inside, own.getDataCenter()));
        cap.stop();
        EXPECT_EQ(cap.out(), "") << "an address inside a mapping reached the data buffer";
    }
    EXPECT_TRUE(CHeldPkg::releaseByAddress(five, own.getDataCenter()));
    ASSERT_TRUE(m_returns.waitCount(2, 5000));
    EXPECT_EQ(m_returns.values(), (std::vector<int>{3, 5}));
    EXPECT_EQ(ownPool.getUsedSize(), localInUse) << "a mapping's package reached the data buffer";

    CHeldPkg::ofBuffer(own.getDataCenter(), -1, local[0], local[0]->m_iSize, 0).release();
    EXPECT_FALSE(CHeldPkg::releaseByAddress(local[1], own.getDataCenter()));
    EXPECT_EQ(ownPool.getUsedSize(), 0u);
    client.deinit();
    EXPECT_EQ(m_returns.size(), 2u);
}

TEST_F(ShmClientNsTest, ShmFifoDropsRefusesAndGivesBackThroughTheClient)
{
    const int poolKey = kKeyBase + 9;
    const int queueKey = kKeyBase + 10;
    FakePool pool(poolKey, smallLayout());
    ASSERT_TRUE(pool.ok());
    ASSERT_TRUE(startWriter(queueKey));
    Collector delivered;
    CShmClient client;
    ASSERT_TRUE(client.init(queueKey, poolKey, pool.layout()));
    auto dropOldest = std::make_unique<CShmDataFifo>(&client, FIFO_POLICY_DROP_OLDEST, 2);
    auto rejectNew = std::make_unique<CShmDataFifo>(&client, FIFO_POLICY_REJECT_NEW, 2);
    EXPECT_EQ(dropOldest->getShmClient(), &client);
    EXPECT_EQ(client.attachFifo(dropOldest.get()), -1);
    EXPECT_EQ(client.attachFifo(nullptr), -1);
    EXPECT_EQ(client.detachFifo(nullptr), -1);

    client.registerCallBack([&](int, DataPackage_t* pkg) {
        delivered.add(pkg->m_iPkgId);
        return -1;
    });
    for (int id = 1; id <= 3; ++id) {
        ASSERT_TRUE(m_writer.post(id, 0));
        ASSERT_TRUE(delivered.waitCount(static_cast<size_t>(id), 5000));
    }
    // Dropping FIFO: 2, 3 (1 dropped). Refusing FIFO: 1, 2 (3 refused). Nothing is free yet.
    EXPECT_EQ(dropOldest->getCount(), 2u);
    EXPECT_EQ(rejectNew->getCount(), 2u);
    DataPackage_t* one = rejectNew->getDataPackage(0);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->m_iPkgId, 1);
    rejectNew->releaseDataPackage(one);
    ASSERT_TRUE(m_returns.waitCount(1, 5000));
    EXPECT_EQ(m_returns.values(), (std::vector<int>{1}));
    DataPackage_t* two = dropOldest->getDataPackage(0);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->m_iPkgId, 2);
    dropOldest->releaseDataPackage(two);
    // The refusing FIFO still holds 2; destroying it gives that back.
    rejectNew.reset();
    ASSERT_TRUE(m_returns.waitCount(2, 5000));
    EXPECT_EQ(m_returns.values(), (std::vector<int>{1, 2}));
    DataPackage_t* three = dropOldest->getDataPackage(0);
    ASSERT_NE(three, nullptr);
    EXPECT_EQ(three->m_iPkgId, 3);
    EXPECT_EQ(dropOldest->getDataPackage(0), nullptr);
    // Taken out before the FIFO went, given back after: still reaches the writer.
    dropOldest.reset();
    client.putEmptyDataPkg(three);
    ASSERT_TRUE(m_returns.waitCount(3, 5000));
    EXPECT_EQ(m_returns.values(), (std::vector<int>{1, 2, 3}));
}

TEST_F(ShmClientNsTest, ConcurrentHoldersAndDeinitLoseNoMapping)
{
    const int poolKey = kKeyBase + 11;
    const int queueKey = kKeyBase + 12;
    FakePool pool(poolKey, layoutOf({{0, 64, 8}}));
    ASSERT_TRUE(pool.ok());
    // The writer posts every number again as soon as it comes back, two at a time.
    std::mutex mtx;
    std::condition_variable cv;
    std::deque<int> idle = {1, 2, 3, 4, 5, 6, 7, 8};
    int returned = 0;
    CShmQueque writer;
    ASSERT_TRUE(writer.init(queueKey, 0, [&](int, int id) {
        std::lock_guard<std::mutex> lock(mtx);
        idle.push_back(id);
        ++returned;
        cv.notify_all();
    }));
    writer.setEnable(true);

    // Holders on four threads give packages back in whatever order they come.
    std::mutex holdMtx;
    std::condition_variable holdCv;
    std::deque<DataPackage_t*> held;
    bool stop = false;
    auto client = std::make_unique<CShmClient>();
    client->registerCallBack([&](int, DataPackage_t* pkg) {
        std::lock_guard<std::mutex> lock(holdMtx);
        held.push_back(pkg);
        holdCv.notify_one();
        return 0;
    });
    std::vector<std::thread> holders;
    auto stopHolders = [&] {
        {
            std::lock_guard<std::mutex> lock(holdMtx);
            stop = true;
            holdCv.notify_all();
        }
        for (std::thread& t : holders) {
            t.join();
        }
        holders.clear();
    };
    std::shared_ptr<void> joinOnExit(nullptr, [&](void*) { stopHolders(); });
    for (int t = 0; t < 4; ++t) {
        holders.emplace_back([&] {
            for (;;) {
                std::unique_lock<std::mutex> lock(holdMtx);
                holdCv.wait(lock, [&] { return stop || !held.empty(); });
                if (held.empty()) {
                    return;
                }
                DataPackage_t* pkg = held.front();
                held.pop_front();
                lock.unlock();
                if (!CHeldPkg::releaseByAddress(pkg, nullptr)) {
                    ADD_FAILURE() << "package not in any mapping";
                }
            }
        });
    }
    ASSERT_TRUE(client->init(queueKey, poolKey, pool.layout()));
    const int rounds = 3000;
    int posted = 0;
    while (posted < rounds) {
        std::unique_lock<std::mutex> lock(mtx);
        ASSERT_TRUE(
            cv.wait_for(lock, std::chrono::seconds(20), [&] { return !idle.empty() && posted - returned < 2; }));
        int id = idle.front();
        idle.pop_front();
        lock.unlock();
        ASSERT_TRUE(writer.post(id, 0));
        ++posted;
    }
    // Tear the channel down while holders still work on packages.
    client->deinit();
    client.reset();
    stopHolders();
    EXPECT_EQ(pool.seg().attachCount(), 1u);
    writer.deinit();
    EXPECT_LE(returned, posted);
}

// The writer's process is stopped (SIGSTOP) while the reader holds 12 of its packages: every
// release tries one post and lists what the full ring refuses, none waits for the writer, and the
// client's shut-down waits a few milliseconds at most, leaving the rest to the writer (which,
// continued, takes exactly the two returns that found room).
TEST_F(ShmClientNsTest, NoReleaseWaitsForAStoppedWriter)
{
    const int poolKey = kKeyBase + 17;
    const int queueKey = kKeyBase + 18;
    FakePool pool(poolKey, layoutOf({{0, 128, 12}}));
    ASSERT_TRUE(pool.ok());
    std::string error;
    auto writer = zqtest::ChildProcess::spawn({zqtest::helperPath("shmq_writer"), std::to_string(queueKey)}, &error);
    ASSERT_NE(writer, nullptr) << error;
    ASSERT_TRUE(writer->waitForLine("shmq_writer: ready", 10000)) << writer->output();
    // Declared before the client: its thread adds to it until the client is gone.
    Collector ids;
    std::vector<DataPackage_t*> kept(13, nullptr);
    CShmClient client;
    client.registerCallBack([&](int, DataPackage_t* pkg) {
        kept[static_cast<size_t>(pkg->m_iPkgId)] = pkg;
        ids.add(pkg->m_iPkgId);
        return 0;
    });
    ASSERT_TRUE(client.init(queueKey, poolKey, pool.layout()));
    ASSERT_TRUE(writer->writeInput("post 12\n"));
    ASSERT_TRUE(writer->waitForLine("posted 12", 20000)) << writer->output();
    ASSERT_TRUE(ids.waitCount(12, 10000));
    kept.erase(kept.begin());
    std::shared_ptr<CPoolMapping> mapping = CPoolMapping::findMapping(kept[0]);
    ASSERT_NE(mapping, nullptr);
    // Every number came once.
    std::vector<int> got = ids.values();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));

    writer->signal(SIGSTOP);
    const std::string stat = "/proc/" + std::to_string(writer->pid()) + "/stat";
    auto stopped = [&] {
        std::ifstream in(stat);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t paren = text.rfind(')');
        return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'T';
    };
    ASSERT_TRUE(zqtest::waitUntil(stopped, 10000));
    const unsigned postsBefore = mapping->m_uReleasePosts.load();
    {
        zqtest::OutputCapture quiet;
        for (DataPackage_t* pkg : kept) {
            client.putEmptyDataPkg(pkg);
        }
        client.deinit();
    }
    EXPECT_EQ(mapping->m_uReleasePosts.load() - postsBefore, 12u) << "a release retried the full ring";
    EXPECT_LE(mapping->m_uFlushWaits.load(), 4u) << "the shut-down waited for the writer";
    mapping.reset();
    EXPECT_EQ(pool.seg().attachCount(), 1u) << "the mapping went with the client";

    writer->signal(SIGCONT);
    auto returnsAre = [&](const std::string& want) {
        return zqtest::waitUntil(
            [&] {
                std::string line;
                return writer->writeInput("returns\n") && writer->waitForLine("returns ", 10000, &line) &&
                       line.find(want) != std::string::npos;
            },
            10000);
    };
    EXPECT_TRUE(returnsAre("returns 2")) << writer->output();
    ASSERT_TRUE(writer->writeInput("quit\n"));
    EXPECT_GE(writer->wait(10000), 0);
    EXPECT_EQ(writer->exitCode(), 0);
}

} // namespace

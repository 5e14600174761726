// The held-package handle: one reference, moved and never copied, given back exactly once where
// it came from (a pool mapping by its number, a process-memory buffer, or a buffer over a
// shared-memory pool by that pool's number), and a bare pointer given back by address.
#include "memory/databuffer.h"
#include "memory/datacenter.h"
#include "memory/held_pkg.h"
#include "memory/normal_mem_pool.h"
#include "memory/pool_mapping.h"
#include "memory/shm_layout.h"
#include "memory/shm_mem_pool.h"
#include "memory/shm_test_util.h"
#include "support/zqtest.h"
#include "utils/system_utils.h"

#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

namespace {

static_assert(!std::is_copy_constructible<CHeldPkg>::value && !std::is_copy_assignable<CHeldPkg>::value,
              "one reference, one holder");
static_assert(std::is_nothrow_move_constructible<CHeldPkg>::value && std::is_nothrow_move_assignable<CHeldPkg>::value,
              "a handle moves through queues without throwing");

// Keys of this file: 0x47090000 + n.
constexpr int kKeyBase = 0x47090000;
constexpr size_t kSegSize = 4096;

// What a case does with the handle it is given (which holds one reference of a package another
// holder holds too), and the references left once all its handles are gone.
struct Case {
    const char* name;
    std::function<void(CHeldPkg made, const std::function<int()>& count)> act;
    int left;
};

const Case kCases[] = {
    {"destroyed", [](CHeldPkg, const std::function<int()>&) {}, 1},
    {"released, then released and destroyed empty",
     [](CHeldPkg made, const std::function<int()>& count) {
         made.release();
         EXPECT_FALSE(made);
         EXPECT_EQ(count(), 1);
         made.release();
     },
     1},
    {"moved twice: the moved-from ones give back nothing",
     [](CHeldPkg made, const std::function<int()>& count) {
         const int len = made.len();
         CHeldPkg second(std::move(made));
         CHeldPkg third;
         third = std::move(second);
         EXPECT_FALSE(made);
         EXPECT_FALSE(second);
         ASSERT_TRUE(third);
         EXPECT_EQ(third.len(), len);
         made.release();
         second.release();
         EXPECT_EQ(count(), 2);
     },
     1},
    {"moved onto a holding handle: its own goes back first",
     [](CHeldPkg made, const std::function<int()>& count) {
         CHeldPkg other = made.share();
         EXPECT_EQ(count(), 3);
         other = std::move(made);
         EXPECT_EQ(count(), 2);
     },
     1},
    {"shared: each handle gives back its own",
     [](CHeldPkg made, const std::function<int()>& count) {
         CHeldPkg other = made.share();
         EXPECT_EQ(other.pkg(), made.pkg());
         EXPECT_EQ(other.capacity(), made.capacity());
         EXPECT_EQ(count(), 3);
         other.release();
         EXPECT_EQ(count(), 2);
     },
     1},
    {"disowned: the bare pointer keeps the reference",
     [](CHeldPkg made, const std::function<int()>& count) {
         EXPECT_NE(made.disown(), nullptr);
         EXPECT_FALSE(made);
         EXPECT_EQ(count(), 2);
     },
     2},
};

class HeldPkgNsTest : public zqtest::NsTest {
protected:
    void TearDown() override { shmtest::removeAllSegments(); }

    // A mapping of its own attachment of a fresh segment, registered as the client registers it.
    std::shared_ptr<CPoolMapping> makeMapping(int key, std::unique_ptr<shmtest::RawSegment>* seg)
    {
        return shmtest::makeRegisteredMapping(key, kSegSize, {{48, 256, 0}, {400, 1024, 1}}, seg);
    }
};

TEST_F(HeldPkgNsTest, AProcessPackageGoesBackToItsBufferExactlyOnce)
{
    MemConfig_t cfg{};
    cfg.m_iKey = -1;
    cfg.m_u32MaxPoolSize = 0x100000;
    cfg.m_stGroup[0] = MemGroup_t{0, 512, 4};
    cfg.m_iGroupCount = 1;
    CNormalMemPool pool;
    ASSERT_TRUE(pool.init(cfg));
    CDataBuffer buffer;
    buffer.setMemPool(&pool);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        DataPackage_t* pkg = buffer.createPackage(100);
        ASSERT_NE(pkg, nullptr);
        MemChunk_t* chunk = getChunkAddr(pkg);
        auto count = [chunk] { return chunk->m_iRefCount.load(); };
        buffer.referPackage(pkg); // the other holder's
        buffer.referPackage(pkg); // the handle's
        CHeldPkg::countLookups(true);
        const unsigned long lookups = CHeldPkg::addressLookups();
        c.act(CHeldPkg::ofBuffer(&buffer, -1, pkg, pkg->m_iSize, 40), count);
        EXPECT_EQ(count(), c.left);
        EXPECT_EQ(CHeldPkg::addressLookups(), lookups) << "a handle searched the mappings";
        while (count() > 0) {
            EXPECT_FALSE(CHeldPkg::releaseByAddress(pkg, &buffer)) << "not in a mapping";
        }
        EXPECT_EQ(pool.getUsedSize(), 0u);
    }
}

// A package of the writing side's shared-memory pool: the handle carries the number the pool's
// own lookup gave, and its references move by it without looking the package up again.
TEST_F(HeldPkgNsTest, AShmPoolPackageOfABufferMovesByItsNumber)
{
    MemConfig_t cfg{};
    cfg.m_iKey = kKeyBase + 20;
    cfg.m_u32MaxPoolSize = 0x100000;
    cfg.m_stGroup[0] = MemGroup_t{0, 512, 3};
    cfg.m_iGroupCount = 1;
    CShmMemPool pool;
    ASSERT_TRUE(pool.init(cfg));
    CDataBuffer buffer;
    buffer.setMemPool(&pool);
    CShmPkgTable::countLookups(true);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        DataPackage_t* pkg = buffer.createPackage(100);
        ASSERT_NE(pkg, nullptr);
        MemChunk_t* chunk = getChunkAddr(pkg);
        // Each look at the count is a lookup of its own, told apart from the handle's.
        uint64_t looks = 0;
        auto count = [&pool, chunk, &looks] {
            ++looks;
            return pool.chunkRefCount(chunk);
        };
        buffer.referPackage(pkg); // the other holder's
        const int id = buffer.referNumbered(pkg);
        ASSERT_GE(id, 1);
        ASSERT_EQ(pool.pkgTable()->pkg(id), pkg);
        const uint64_t lookups = CShmPkgTable::lookups();
        CHeldPkg made = CHeldPkg::ofBuffer(&buffer, id, pkg, pkg->m_iSize, 40);
        EXPECT_EQ(made.id(), id);
        c.act(std::move(made), count);
        EXPECT_EQ(CShmPkgTable::lookups() - lookups, looks) << "a handle looked its package up";
        EXPECT_EQ(count(), c.left);
        while (count() > 0) {
            buffer.releasePackage(pkg);
        }
        EXPECT_EQ(pool.getUsedSize(), 0u);
    }
    CShmPkgTable::countLookups(false);
    // A number outside the pool's table moves nothing.
    DataPackage_t* pkg = buffer.createPackage(100);
    ASSERT_NE(pkg, nullptr);
    const int id = buffer.referNumbered(pkg);
    for (int bad : {0, -1, 4, 1 << 30}) {
        buffer.referPkgId(bad);
        buffer.releasePkgId(bad);
    }
    EXPECT_EQ(pool.chunkRefCount(getChunkAddr(pkg)), 1);
    buffer.releasePkgId(id);
    EXPECT_EQ(pool.getUsedSize(), 0u);
}

// The lengths a consumer of the writing side gets are the pool's, whatever the segment says: a
// forged size and length in the package's header reach nobody.
TEST_F(HeldPkgNsTest, AWritersHandleCarriesThePoolsLengthsNotTheSegments)
{
    MemConfig_t cfg{};
    cfg.m_iKey = kKeyBase + 21;
    cfg.m_u32MaxPoolSize = 0x100000;
    cfg.m_stGroup[0] = MemGroup_t{0, 512, 2};
    cfg.m_iGroupCount = 1;
    CShmMemPool pool;
    ASSERT_TRUE(pool.init(cfg));
    CDataManager manager;
    manager.setMemPool(&pool);
    int seenCapacity = -1;
    int seenLen = -1;
    const int cb = manager.registerHeldCallBack([&](int, CHeldPkg& held) {
        seenCapacity = held.capacity();
        seenLen = held.len();
    });
    ASSERT_GE(cb, 1);
    struct LenCase {
        const char* name;
        bool published; // through putFullDataPkg (else the center's pushPackage alone)
        int len;
        int wantLen;
    };
    const LenCase cases[] = {{"published", true, 40, 40},
                             {"published past the capacity", true, 5000, 512},
                             {"pushed with its noted length", false, 40, 40}};
    for (const LenCase& c : cases) {
        SCOPED_TRACE(c.name);
        DataPackage_t* pkg = manager.getEmptyDataPkg(100, 0);
        ASSERT_NE(pkg, nullptr);
        // Another process writes the header's size and length.
        pkg->m_iSize = 1 << 30;
        pkg->m_iLen = 1 << 29;
        seenCapacity = seenLen = -1;
        if (c.published) {
            manager.putFullDataPkg(pkg, c.len);
        } else {
            pool.notePublished(getChunkAddr(pkg), c.len);
            pkg->m_iLen = 1 << 29;
            manager.getDataCenter()->pushPackage(pkg);
        }
        EXPECT_EQ(seenCapacity, 512);
        EXPECT_EQ(seenLen, c.wantLen);
        manager.putEmptyDataPkg(pkg);
        EXPECT_EQ(pool.getUsedSize(), 0u);
    }
    manager.unregisterCallBack(cb);
}

TEST_F(HeldPkgNsTest, AMappingPackageGoesBackToItsMappingExactlyOnce)
{
    std::unique_ptr<shmtest::RawSegment> seg;
    std::shared_ptr<CPoolMapping> mapping = makeMapping(kKeyBase + 1, &seg);
    ASSERT_NE(mapping, nullptr);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const int id = 2;
        DataPackage_t* pkg = mapping->record(id)->m_pPkg;
        auto count = [&] { return mapping->record(id)->m_iRefCount.load(); };
        mapping->refer(id); // the other holder's
        mapping->refer(id); // the handle's
        CHeldPkg::countLookups(true);
        const unsigned long lookups = CHeldPkg::addressLookups();
        c.act(CHeldPkg::ofMapping(mapping.get(), id, pkg, mapping->capacity(id), 40), count);
        EXPECT_EQ(count(), c.left);
        EXPECT_EQ(CHeldPkg::addressLookups(), lookups) << "a handle searched the mappings";
        while (count() > 0) {
            EXPECT_TRUE(CHeldPkg::releaseByAddress(pkg, nullptr));
        }
    }
    CPoolMapping::unregisterMapping(mapping.get());
}

// The mapping's client has let go: a live handle keeps the mapping registered and its segment
// attached, and its release is the mapping's last.
TEST_F(HeldPkgNsTest, AHandleKeepsItsLetGoMappingUntilItEnds)
{
    std::unique_ptr<shmtest::RawSegment> seg;
    std::shared_ptr<CPoolMapping> mapping = makeMapping(kKeyBase + 2, &seg);
    ASSERT_NE(mapping, nullptr);
    DataPackage_t* pkg = mapping->record(1)->m_pPkg;
    mapping->refer(1);
    CHeldPkg held = CHeldPkg::ofMapping(mapping.get(), 1, pkg, mapping->capacity(1), 40);
    std::weak_ptr<CPoolMapping> watch = mapping;
    mapping->letGo();
    mapping.reset();
    ASSERT_FALSE(watch.expired()) << "the registry keeps it";
    EXPECT_EQ(CPoolMapping::findMapping(pkg).get(), watch.lock().get());
    EXPECT_EQ(seg->attachCount(), 2u);
    CHeldPkg moved = std::move(held);
    held.release();
    EXPECT_EQ(seg->attachCount(), 2u) << "the moved-from handle let the mapping go";
    moved.release();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(seg->attachCount(), 1u);
}

// A bare pointer: found in whichever mapping holds it; an address inside a segment that starts no
// package goes nowhere; anything else goes to the buffer given (none: nowhere).
TEST_F(HeldPkgNsTest, ABarePointerIsFoundByAddress)
{
    std::unique_ptr<shmtest::RawSegment> seg;
    std::shared_ptr<CPoolMapping> mapping = makeMapping(kKeyBase + 3, &seg);
    ASSERT_NE(mapping, nullptr);
    DataPackage_t* pkg = mapping->record(1)->m_pPkg;
    mapping->refer(1);
    mapping->refer(1);
    CHeldPkg::countLookups(true);
    const unsigned long lookups = CHeldPkg::addressLookups();
    auto* inside = reinterpret_cast<DataPackage_t*>(reinterpret_cast<uint8_t*>(pkg) + 8);
    EXPECT_FALSE(CHeldPkg::releaseByAddress(inside, nullptr));
    EXPECT_EQ(mapping->record(1)->m_iRefCount.load(), 2);
    EXPECT_TRUE(CHeldPkg::releaseByAddress(pkg, nullptr));
    EXPECT_EQ(mapping->record(1)->m_iRefCount.load(), 1);
    EXPECT_FALSE(CHeldPkg::releaseByAddress(nullptr, nullptr));
    DataPackage_t local{};
    EXPECT_FALSE(CHeldPkg::releaseByAddress(&local, nullptr));
    EXPECT_EQ(CHeldPkg::addressLookups(), lookups + 3) << "null is not looked up";
    mapping->release(1);
    CPoolMapping::unregisterMapping(mapping.get());
}

} // namespace

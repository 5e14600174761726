// The reading side's pool mapping on its own: a package is found only by the exact start the
// table gives it, and an orphaned mapping stays registered exactly while a package of it is held.
#include "memory/pool_mapping.h"
#include "memory/shm_test_util.h"
#include "support/zqtest.h"
#include "utils/system_utils.h"

#include <memory>
#include <vector>

namespace {

// Keys of this file: 0x47060000 + n.
constexpr int kKeyBase = 0x47060000;
constexpr size_t kSegSize = 4096;

class PoolMappingNsTest : public zqtest::NsTest {
protected:
    void TearDown() override { shmtest::removeAllSegments(); }

    // A mapping of its own attachment of a fresh segment, registered as the client registers it.
    std::shared_ptr<CPoolMapping> makeMapping(int key, std::unique_ptr<shmtest::RawSegment>* seg)
    {
        *seg = std::make_unique<shmtest::RawSegment>(key, kSegSize);
        if (!(*seg)->ok()) {
            return nullptr;
        }
        auto* base = static_cast<uint8_t*>(CSystemUtils::attachShm((*seg)->id()));
        if (base == nullptr) {
            return nullptr;
        }
        std::vector<ShmPkgSlot_t> slots = {{48, 256, 0}, {400, 256, 0}, {1000, 1024, 1}};
        auto mapping = std::make_shared<CPoolMapping>(key, base, kSegSize, slots);
        CPoolMapping::registerMapping(mapping);
        return mapping;
    }
};

TEST_F(PoolMappingNsTest, APackageIsFoundOnlyAtItsExactStart)
{
    std::unique_ptr<shmtest::RawSegment> seg;
    std::shared_ptr<CPoolMapping> mapping = makeMapping(kKeyBase + 1, &seg);
    ASSERT_NE(mapping, nullptr);
    const uint8_t* base = mapping->m_pBase;
    struct Case {
        size_t offset;
        int id;
    };
    const Case cases[] = {{48, 1},  {400, 2},  {1000, 3},  {0, -1},           {47, -1},
                          {49, -1}, {399, -1}, {1001, -1}, {kSegSize - 1, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        auto* p = reinterpret_cast<const DataPackage_t*>(base + c.offset);
        EXPECT_EQ(mapping->idOf(p), c.id);
        EXPECT_EQ(CPoolMapping::findMapping(p).get(), mapping.get()) << "inside the segment";
    }
    EXPECT_EQ(mapping->idOf(reinterpret_cast<const DataPackage_t*>(base + kSegSize)), -1);
    EXPECT_EQ(CPoolMapping::findMapping(base + kSegSize).get(), nullptr);
    EXPECT_EQ(CPoolMapping::findMapping(base - 1).get(), nullptr);
    EXPECT_EQ(mapping->record(0), nullptr);
    EXPECT_EQ(mapping->record(4), nullptr);
    ASSERT_NE(mapping->record(3), nullptr);
    EXPECT_EQ(mapping->record(3)->m_pPkg, reinterpret_cast<const DataPackage_t*>(base + 1000));
    EXPECT_EQ(mapping->capacity(3), 1024);
    CPoolMapping::unregisterMapping(mapping.get());
    EXPECT_EQ(CPoolMapping::findMapping(base + 48).get(), nullptr);
}

TEST_F(PoolMappingNsTest, AnOrphanStaysRegisteredWhileAPackageIsHeldAndDetachesWithItsLastOwner)
{
    std::unique_ptr<shmtest::RawSegment> seg;
    std::shared_ptr<CPoolMapping> mapping = makeMapping(kKeyBase + 2, &seg);
    ASSERT_NE(mapping, nullptr);
    const uint8_t* one = mapping->m_pBase + 48;
    mapping->refer(1);
    mapping->refer(1);
    mapping->refer(2);
    mapping->letGo();
    mapping->letGo(); // a second time changes nothing
    EXPECT_EQ(CPoolMapping::findMapping(one).get(), mapping.get()) << "packages are held";
    mapping->release(1);
    mapping->release(1);
    EXPECT_EQ(CPoolMapping::findMapping(one).get(), mapping.get()) << "number 2 is still held";
    // A release nobody is holding for changes nothing, above all not the held count.
    mapping->release(1);
    EXPECT_EQ(mapping->record(1)->m_iRefCount.load(), 0);
    EXPECT_EQ(CPoolMapping::findMapping(one).get(), mapping.get()) << "number 2 is still held";
    mapping->release(2);
    EXPECT_EQ(CPoolMapping::findMapping(one).get(), nullptr) << "last holder gone";
    EXPECT_EQ(mapping->m_lHeld.load(), 0);
    EXPECT_EQ(seg->attachCount(), 2u);
    mapping.reset();
    EXPECT_EQ(seg->attachCount(), 1u) << "the mapping detached its own attachment";
}

} // namespace

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/transport/control/trans_factory.h"

namespace {

TEST(TransFactoryTest, MakesBothSides)
{
    std::unique_ptr<CTransport> writer(CTransFactory::createTransport(true));
    std::unique_ptr<CTransport> reader(CTransFactory::createTransport(false));
    ASSERT_TRUE(writer && reader);
    EXPECT_EQ(writer->getClientCount(), 0);
    EXPECT_EQ(reader->getClientCount(), -1);
    EXPECT_EQ(writer->registerEventCallBack([](int, int) {}), -1);
    EXPECT_EQ(writer->registerDataCallBack([](int, DataPackage_t*) { return 1; }), -1);
    EXPECT_EQ(writer->getLostPkgCount(), 0u);
    std::vector<int> fps{5};
    EXPECT_EQ(writer->getFps(fps), 0);
    EXPECT_TRUE(fps.empty());
}

} // namespace

// Policy and depth a FIFO takes from its constructor.
#include "memory/datafifo.h"

#include "support/zqtest.h"

namespace {

class CBareFifo : public CDataFifo {
public:
    using CDataFifo::CDataFifo;
    void clear() override {}
    int pushDataPackage(DataPackage_t*) override { return -1; }
    DataPackage_t* getDataPackage(int) override { return nullptr; }
    void releaseDataPackage(DataPackage_t*) override {}
};

TEST(DataFifoTest, NegativeValuesTakeTheDefaults)
{
    struct Case {
        int policy, depth, wantPolicy, wantDepth;
    } cases[] = {{-1, -1, FIFO_POLICY_REJECT_NEW, 8},
                 {2, 0, 2, 0},
                 {1, 3, 1, 3},
                 {0, 5, 0, 5},
                 {7, -5, 7, 8},
                 {-9, 100, 2, 100}};
    for (const Case& c : cases) {
        CBareFifo fifo(c.policy, c.depth);
        EXPECT_EQ(fifo.getPolicy(), c.wantPolicy) << c.policy << "," << c.depth;
        EXPECT_EQ(fifo.getDepth(), c.wantDepth) << c.policy << "," << c.depth;
        EXPECT_TRUE(fifo.isEnable());
        EXPECT_EQ(fifo.getCount(), 0u);
    }
}

} // namespace

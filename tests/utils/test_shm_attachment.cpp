// The attachment holder: exactly one detach per attachment, by whoever holds it last.
#include "utils/shm_attachment.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <utility>

#include "support/zqtest.h"

namespace {

// Attachments of the segment, as the system counts them.
int attachCount(int shmid)
{
    shmid_ds ds{};
    return shmctl(shmid, IPC_STAT, &ds) == 0 ? static_cast<int>(ds.shm_nattch) : -1;
}

class ShmAttachmentNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_iShmId = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
        ASSERT_GE(m_iShmId, 0);
    }
    void TearDown() override
    {
        if (m_iShmId >= 0) {
            shmctl(m_iShmId, IPC_RMID, nullptr);
        }
    }
    void* attach() { return CSystemUtils::attachShm(m_iShmId); }

    int m_iShmId{-1};
};

TEST_F(ShmAttachmentNsTest, DetachesWhatItHoldsWhenItGoes)
{
    {
        CShmAttachment holder(attach());
        ASSERT_TRUE(holder.valid());
        EXPECT_EQ(attachCount(m_iShmId), 1);
    }
    EXPECT_EQ(attachCount(m_iShmId), 0);
    CShmAttachment empty;
    EXPECT_FALSE(empty);
    EXPECT_EQ(empty.get(), nullptr);
}

TEST_F(ShmAttachmentNsTest, ReleaseHandsTheAddressOnWithoutDetaching)
{
    void* taken = nullptr;
    {
        CShmAttachment holder(attach());
        ASSERT_TRUE(holder.valid());
        taken = holder.release();
        EXPECT_FALSE(holder.valid());
    }
    EXPECT_EQ(attachCount(m_iShmId), 1);
    EXPECT_EQ(CSystemUtils::detachShm(taken), 0);
}

TEST_F(ShmAttachmentNsTest, MovesLeaveOneOwnerAndAssignmentDetachesTheOldOne)
{
    CShmAttachment target(attach());
    ASSERT_TRUE(target.valid());
    void* kept = nullptr;
    {
        CShmAttachment source(attach());
        ASSERT_TRUE(source.valid());
        kept = source.get();
        CShmAttachment moved(std::move(source));
        EXPECT_FALSE(source.valid()); // NOLINT(bugprone-use-after-move): the moved-from state is the point
        EXPECT_EQ(attachCount(m_iShmId), 2);
        target = std::move(moved);
        EXPECT_EQ(attachCount(m_iShmId), 1); // the one held before is detached at once
    }
    EXPECT_EQ(target.get(), kept);
    EXPECT_EQ(attachCount(m_iShmId), 1);
    CShmAttachment& same = target;
    target = std::move(same); // must not detach what it holds
    EXPECT_EQ(attachCount(m_iShmId), 1);
}

TEST_F(ShmAttachmentNsTest, ResetDetachesTheOldAddressUnlessItIsTheSame)
{
    CShmAttachment holder(attach());
    ASSERT_TRUE(holder.valid());
    holder.reset(holder.get());
    EXPECT_EQ(attachCount(m_iShmId), 1);
    holder.reset();
    EXPECT_FALSE(holder.valid());
    EXPECT_EQ(attachCount(m_iShmId), 0);
}

} // namespace

// The descriptor holder: exactly one close per descriptor, by whoever holds it last.
#include "utils/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "support/zqtest.h"

namespace {

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

class UniqueFdTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::pipe2(m_fds, O_CLOEXEC), 0); }
    void TearDown() override
    {
        for (int fd : m_fds) {
            if (fd >= 0 && isOpen(fd)) {
                ::close(fd);
            }
        }
    }
    int m_fds[2]{-1, -1};
};

TEST_F(UniqueFdTest, ClosesWhatItHoldsWhenItGoes)
{
    {
        CUniqueFd holder(m_fds[0]);
        EXPECT_TRUE(holder.valid());
        EXPECT_EQ(holder.get(), m_fds[0]);
        EXPECT_TRUE(isOpen(m_fds[0]));
    }
    EXPECT_FALSE(isOpen(m_fds[0]));
    CUniqueFd empty;
    EXPECT_FALSE(empty);
    EXPECT_EQ(empty.get(), -1);
}

TEST_F(UniqueFdTest, ReleaseHandsTheNumberOnWithoutClosing)
{
    int taken = -1;
    {
        CUniqueFd holder(m_fds[0]);
        taken = holder.release();
        EXPECT_FALSE(holder.valid());
    }
    EXPECT_EQ(taken, m_fds[0]);
    EXPECT_TRUE(isOpen(m_fds[0]));
}

TEST_F(UniqueFdTest, MovesLeaveOneOwnerAndAssignmentClosesTheOldOne)
{
    CUniqueFd target(m_fds[1]);
    {
        CUniqueFd source(m_fds[0]);
        CUniqueFd moved(std::move(source));
        EXPECT_FALSE(source.valid()); // NOLINT(bugprone-use-after-move): the moved-from state is the point
        target = std::move(moved);
        // The one held before is closed at once; the moved one stays open after both sources go.
        EXPECT_FALSE(isOpen(m_fds[1]));
    }
    EXPECT_EQ(target.get(), m_fds[0]);
    EXPECT_TRUE(isOpen(m_fds[0]));
    CUniqueFd& same = target;
    target = std::move(same); // must not close what it holds
    EXPECT_TRUE(isOpen(m_fds[0]));
}

TEST_F(UniqueFdTest, ResetClosesTheOldNumberUnlessItIsTheSame)
{
    CUniqueFd holder(m_fds[0]);
    holder.reset(m_fds[0]);
    EXPECT_TRUE(isOpen(m_fds[0]));
    holder.reset(m_fds[1]);
    EXPECT_FALSE(isOpen(m_fds[0]));
    EXPECT_TRUE(isOpen(m_fds[1]));
    holder.reset();
    EXPECT_FALSE(isOpen(m_fds[1]));
    EXPECT_FALSE(holder.valid());
}

} // namespace

#include <gtest/gtest.h>

#include <string>

#include "core/topic_impl.h"
#include "zqdds/topic.h"

namespace {

bool isLowerHex16(const std::string& text)
{
    if (text.size() != 16) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

class TopicTest : public ::testing::Test {
protected:
    // A topic as the participant builds it: the implementation first, then its handle.
    void SetUp() override
    {
        m_impl = new CTopicImpl(nullptr);
        m_topic = new CTopic("h8_topic", m_impl);
        m_impl->setTopic(m_topic);
    }
    void TearDown() override { delete m_impl; }

    CTopicImpl* m_impl{nullptr};
    CTopic* m_topic{nullptr};
};

TEST_F(TopicTest, HandleReachesItsImplementationAndName)
{
    EXPECT_EQ(m_topic->getTopicDescImpl(), m_impl);
    EXPECT_EQ(m_topic->getName(), "h8_topic");
    EXPECT_EQ(&m_topic->getTopicName(), &m_topic->getName());
    EXPECT_EQ(&m_impl->getTopicName(), &m_topic->getName());
    EXPECT_EQ(m_impl->getTopic(), m_topic);
}

TEST_F(TopicTest, UseCountCountsWritersAndReadersAndDereferenceGivesThePreviousCount)
{
    CTopicDescImpl* desc = m_topic->getTopicDescImpl();
    EXPECT_EQ(desc->getReference(), 0);
    desc->reference(); // a writer
    desc->reference(); // a reader
    EXPECT_EQ(desc->getReference(), 2);
    EXPECT_EQ(desc->dereference(), 2);
    EXPECT_EQ(desc->dereference(), 1); // the last user sees 1
    EXPECT_EQ(desc->getReference(), 0);
}

TEST_F(TopicTest, IdentifierIsSixteenLowercaseHexDigitsAndStable)
{
    m_impl->generateUUID();
    std::string id = m_impl->getUUIDString();
    EXPECT_TRUE(isLowerHex16(id)) << id;
    EXPECT_EQ(m_impl->getUUIDString(), id);
}

TEST_F(TopicTest, TwoTopicsGetDifferentIdentifiers)
{
    CTopicImpl other(nullptr);
    other.generateUUID();
    m_impl->generateUUID();
    EXPECT_NE(other.getUUIDString(), m_impl->getUUIDString());
}

TEST(TopicLifetimeTest, DeletingTheImplementationDeletesItsHandle)
{
    auto* impl = new CTopicImpl(nullptr);
    auto* topic = new CTopic("h8_gone", impl);
    impl->setTopic(topic);
    std::string name;
    ASSERT_TRUE(copyLiveTopicName(topic, name));
    EXPECT_EQ(name, "h8_gone");

    delete impl;
    // The handle was freed with its implementation (ASan would report a leak otherwise); only its
    // address is looked up here.
    EXPECT_FALSE(copyLiveTopicName(topic, name));
}

TEST(TopicLifetimeTest, ImplementationWithoutHandleDeletesNothing)
{
    auto* impl = new CTopicImpl(nullptr);
    EXPECT_EQ(impl->getTopic(), nullptr);
    delete impl;
}

} // namespace

// The media rows: one per type code, in code order, each making its own medium's sender and
// receiver through both factories, with the control-channel traits the channel relies on.
#include "core/transport/medium.h"

#include <set>
#include <string>
#include <typeindex>
#include <typeinfo>

#include "core/transport/media/pcie_receiver.h"
#include "core/transport/media/pcie_sender.h"
#include "core/transport/media/share_memory_receiver.h"
#include "core/transport/media/share_memory_sender.h"
#include "core/transport/media/tcp_receiver.h"
#include "core/transport/media/tcp_sender.h"
#include "core/transport/media/udp_receiver.h"
#include "core/transport/media/udp_sender.h"
#include "core/transport/media/unix_socket_receiver.h"
#include "core/transport/media/unix_socket_sender.h"
#include "core/transport/receiver_factory.h"
#include "core/transport/sender_factory.h"
#include "support/zqtest.h"

namespace {

TEST(MediumTest, EveryCodeHasOneRowThatMakesItsOwnClasses)
{
    const struct {
        int type;
        std::type_index sender;
        std::type_index receiver;
        bool resource; // the writing side hands one out
        bool offered;  // the writing side may offer a channel of it
        bool hostOnly; // the reading side takes it only from a writer on its host
    } cases[] = {
        {TRANS_TYPE_TCP, typeid(CTcpSender), typeid(CTcpReceiver), true, false, false},
        {TRANS_TYPE_UDP, typeid(CUdpSender), typeid(CUdpReceiver), true, true, false},
        {TRANS_TYPE_UNIX_SOCKET, typeid(CUnixSocketSender), typeid(CUnixSocketReceiver), true, true, true},
        {TRANS_TYPE_SHARE_MEMORY, typeid(CShareMemorySender), typeid(CShareMemoryReceiver), true, true, true},
        {TRANS_TYPE_PCIE, typeid(CPCIeSender), typeid(CPCIeReceiver), false, false, false},
    };
    ASSERT_EQ(transMediaCount(), sizeof(cases) / sizeof(cases[0]));
    std::set<int> codes;
    std::set<std::string> names;
    for (size_t i = 0; i < transMediaCount(); ++i) {
        ASSERT_NE(transMedia()[i], nullptr) << i;
        codes.insert(transMedia()[i]->m_iType);
        names.insert(transMedia()[i]->m_szName);
    }
    EXPECT_EQ(codes.size(), transMediaCount()) << "no code has two rows";
    EXPECT_EQ(names.size(), transMediaCount()) << "no name is used twice";
    for (const auto& c : cases) {
        const TransMedium_t* row = transMedium(c.type);
        ASSERT_NE(row, nullptr) << c.type;
        EXPECT_EQ(row->m_iType, c.type);
        EXPECT_NE(std::string(row->m_szName), "") << c.type;
        std::shared_ptr<CDataSender> sender = CSenderFactory::createSender(c.type, nullptr);
        ASSERT_NE(sender, nullptr) << row->m_szName;
        EXPECT_EQ(std::type_index(typeid(*sender)), c.sender) << row->m_szName;
        EXPECT_FALSE(sender->isInit()) << row->m_szName;
        std::unique_ptr<CDataReceiver> receiver = CReceiverFactory::createReceiver(c.type, "m31_row", nullptr);
        ASSERT_NE(receiver, nullptr) << row->m_szName;
        EXPECT_EQ(std::type_index(typeid(*receiver)), c.receiver) << row->m_szName;
        EXPECT_EQ(receiver->getTopicName(), "m31_row");
        EXPECT_EQ(row->hasResource(), c.resource) << row->m_szName;
        if (row->hasResource()) {
            EXPECT_NE(row->m_fnGiveBack, nullptr) << row->m_szName;
            EXPECT_NE(row->m_fnSetAside, nullptr) << row->m_szName;
            EXPECT_NE(row->m_fnNumberOf, nullptr) << row->m_szName;
        }
        EXPECT_EQ(row->m_fnOffer != nullptr, c.offered) << row->m_szName;
        EXPECT_EQ(row->m_bHostOnly, c.hostOnly) << row->m_szName;
    }
}

TEST(MediumTest, UnknownCodesHaveNoRowAndMakeNothing)
{
    for (int type : {-1, TRANS_TYPE_PCIE + 1, 100}) {
        EXPECT_EQ(transMedium(type), nullptr) << type;
        EXPECT_EQ(CSenderFactory::createSender(type, nullptr), nullptr) << type;
        EXPECT_EQ(CReceiverFactory::createReceiver(type, "m31_row", nullptr), nullptr) << type;
    }
}

} // namespace

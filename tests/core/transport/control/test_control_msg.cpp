#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/transport/control/control_msg.h"

namespace {

using Bytes = std::vector<uint8_t>;

int ctrlType(const Bytes& msg)
{
    return readDdsHeader(msg.data()).m_u8Type;
}

uint32_t ctrlDataLen(const Bytes& msg)
{
    uint32_t len = readDdsHeader(msg.data()).m_u32DataLen;
    return len;
}

Bytes request(const std::string& ip, const std::string& topic)
{
    uint8_t msg[CTRL_REQUEST_MSG_LEN];
    buildRequestMsg(msg, ip, topic);
    return Bytes(msg, msg + sizeof(msg));
}

Bytes heartbeat(uint8_t type, const std::string& topic)
{
    uint8_t msg[CTRL_HEARTBEAT_MSG_LEN];
    buildHeartbeatMsg(msg, type, "127.0.0.1", topic);
    return Bytes(msg, msg + sizeof(msg));
}

TransParam_t unixParam(const std::string& topic, int index)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_UNIX_SOCKET;
    param.m_unixSocketParam.m_iId = index;
    makeUnixSocketPath(topic, index, param.m_unixSocketParam.m_szPath);
    return param;
}

TransParam_t tcpParam()
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_TCP;
    std::strcpy(param.m_tcpParam.m_szIp, "127.0.0.1");
    param.m_tcpParam.m_iPort = 49999;
    return param;
}

TransParam_t pcieParam()
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_PCIE;
    return param;
}

TransParam_t shmParam(int groups)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = TRANS_TYPE_SHARE_MEMORY;
    param.m_shmParam.m_iQueueKey = 0x123500;
    param.m_shmParam.m_iMemPoolKey = 0x123501;
    param.m_shmParam.m_layout.m_iGroupCount = groups;
    for (int g = 0; g < groups; ++g) {
        param.m_shmParam.m_layout.m_stGroup[g] = MemGroup_t{g, 1024, 4};
    }
    return param;
}

Bytes ack(const TransParam_t& param)
{
    uint8_t msg[CTRL_REQUEST_ACK_MSG_LEN];
    buildRequestAckMsg(msg, "127.0.0.1", "h9_ctl", param);
    return Bytes(msg, msg + sizeof(msg));
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Feeds `stream` in pieces of `piece` bytes and collects the lengths of the messages that come out
// (-1 for each run of bytes dropped).
std::vector<int> frame(const Bytes& stream, size_t piece)
{
    CCtrlMsgBuffer buffer;
    std::vector<int> out;
    for (size_t at = 0; at < stream.size(); at += piece) {
        size_t n = std::min(piece, stream.size() - at);
        EXPECT_TRUE(buffer.append(stream.data() + at, n));
        const uint8_t* msg = nullptr;
        size_t len = 0;
        int got = 0;
        while ((got = buffer.next(&msg, &len)) != 0) {
            out.push_back(got < 0 ? -1 : static_cast<int>(len));
        }
    }
    return out;
}

TEST(ControlMsgTest, MessagesHaveTheirWireLayout)
{
    Bytes req = request("127.0.0.1", "h9_ctl");
    ASSERT_EQ(req.size(), 182u);
    EXPECT_EQ(0, std::memcmp(req.data(), "ZQMW", 4));
    DDSHeader_t header = readDdsHeader(req.data());
    // Packed fields are copied out before the macros bind references to them.
    const int type = header.m_u8Type;
    const uint32_t dataLen = header.m_u32DataLen;
    const uint32_t seqNo = header.m_u32SeqNo;
    const uint64_t timeStamp = header.m_u64TimeStamp;
    EXPECT_EQ(type, MSG_TYPE_REQUEST_DATA_CHAN);
    EXPECT_EQ(dataLen, 148u);
    EXPECT_EQ(seqNo, 0u);
    EXPECT_EQ(timeStamp, 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(req.data() + 38), "127.0.0.1");
    EXPECT_STREQ(reinterpret_cast<const char*>(req.data() + 54), "h9_ctl");
    EXPECT_EQ(Bytes(req.begin() + 34, req.begin() + 38), Bytes(4, 0));

    Bytes hb = heartbeat(MSG_TYPE_HEARTBEAT_ACK, "h9_ctl");
    ASSERT_EQ(hb.size(), 178u);
    EXPECT_EQ(ctrlType(hb), MSG_TYPE_HEARTBEAT_ACK);
    EXPECT_EQ(ctrlDataLen(hb), 144u);
    EXPECT_STREQ(reinterpret_cast<const char*>(hb.data() + 50), "h9_ctl");

    TransParam_t param = unixParam("h9_ctl", 4901);
    Bytes answer = ack(param);
    ASSERT_EQ(answer.size(), 402u);
    EXPECT_EQ(ctrlDataLen(answer), 368u);
    EXPECT_EQ(0, std::memcmp(answer.data() + 178, &param, sizeof(param)));
}

TEST(ControlMsgTest, LongTextsAreCutInsideTheirFields)
{
    Bytes req = request(std::string(40, '1'), std::string(300, 't'));
    CtrlRequest_t decoded;
    ASSERT_TRUE(decodeRequestMsg(req.data(), req.size(), &decoded));
    EXPECT_EQ(decoded.m_strIp, std::string(15, '1'));
    EXPECT_EQ(decoded.m_strTopic, std::string(127, 't'));
}

TEST(ControlMsgTest, FramesSplitAndCoalescedStreams)
{
    const Bytes stream = concat(
        {request("127.0.0.1", "h9_ctl"), heartbeat(MSG_TYPE_HEARTBEAT, "h9_ctl"), ack(unixParam("h9_ctl", 4902))});
    const std::vector<int> expected = {182, 178, 402};
    for (size_t piece : {size_t{1}, size_t{3}, size_t{33}, size_t{34}, size_t{35}, size_t{181}, size_t{182},
                         size_t{500}, size_t{2048}}) {
        EXPECT_EQ(frame(stream, piece), expected) << "pieces of " << piece;
    }
}

TEST(ControlMsgTest, DropsGarbageAndFindsTheNextMessage)
{
    Bytes oversize = heartbeat(MSG_TYPE_HEARTBEAT, "h9_ctl");
    DDSHeader_t header = readDdsHeader(oversize.data());
    header.m_u32DataLen = 5000;
    writeDdsHeader(oversize.data(), header);
    const Bytes good = heartbeat(MSG_TYPE_HEARTBEAT, "h9_ctl");
    const struct {
        const char* name;
        Bytes garbage;
    } cases[] = {
        {"no magic at all", Bytes(60, 'x')},
        {"a magic prefix that breaks off", Bytes{'Z', 'Q', 'x', 'x'}},
        {"a length above the limit", oversize},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) {
            std::vector<int> lengths = frame(concat({c.garbage, good}), piece);
            ASSERT_FALSE(lengths.empty()) << c.name;
            EXPECT_EQ(lengths.back(), 178) << c.name << ", pieces of " << piece;
            for (size_t i = 0; i + 1 < lengths.size(); ++i) {
                EXPECT_EQ(lengths[i], -1) << c.name;
            }
        }
    }
}

TEST(ControlMsgTest, ShortMessagesAreFramedButNotDecoded)
{
    Bytes shortRequest = request("127.0.0.1", "h9_ctl");
    DDSHeader_t header = readDdsHeader(shortRequest.data());
    header.m_u32DataLen = 100;
    writeDdsHeader(shortRequest.data(), header);
    shortRequest.resize(134);
    EXPECT_EQ(controlMessageLength(shortRequest.data(), shortRequest.size()), 134);
    CtrlRequest_t decoded;
    EXPECT_FALSE(decodeRequestMsg(shortRequest.data(), shortRequest.size(), &decoded));

    Bytes hb = heartbeat(MSG_TYPE_HEARTBEAT, "h9_ctl");
    std::string topic;
    EXPECT_FALSE(decodeHeartbeatMsg(hb.data(), 177, MSG_TYPE_HEARTBEAT, &topic));
    EXPECT_FALSE(decodeHeartbeatMsg(hb.data(), hb.size(), MSG_TYPE_HEARTBEAT_ACK, &topic));
    EXPECT_TRUE(decodeHeartbeatMsg(hb.data(), hb.size(), MSG_TYPE_HEARTBEAT, &topic));
    EXPECT_EQ(topic, "h9_ctl");
}

TEST(ControlMsgTest, TextsWithoutTheirNulAreRefused)
{
    Bytes req = request("127.0.0.1", "h9_ctl");
    Bytes noIp = req;
    std::memset(noIp.data() + 38, '1', 16);
    Bytes noTopic = req;
    std::memset(noTopic.data() + 54, 't', 128);
    CtrlRequest_t decoded;
    EXPECT_FALSE(decodeRequestMsg(noIp.data(), noIp.size(), &decoded));
    EXPECT_FALSE(decodeRequestMsg(noTopic.data(), noTopic.size(), &decoded));

    Bytes hb = heartbeat(MSG_TYPE_HEARTBEAT, "h9_ctl");
    std::memset(hb.data() + 50, 't', 128);
    std::string topic;
    EXPECT_FALSE(decodeHeartbeatMsg(hb.data(), hb.size(), MSG_TYPE_HEARTBEAT, &topic));
}

TEST(ControlMsgTest, AcknowledgementChecks)
{
    const Bytes good = ack(unixParam("h9_ctl", 4903));
    CtrlRequestAck_t decoded;
    ASSERT_TRUE(decodeRequestAckMsg(good.data(), good.size(), &decoded));
    EXPECT_EQ(decoded.m_strTopic, "h9_ctl");
    EXPECT_EQ(decoded.m_strIp, "127.0.0.1");
    EXPECT_EQ(decoded.m_param.m_iType, TRANS_TYPE_UNIX_SOCKET);
    EXPECT_EQ(decoded.m_param.m_unixSocketParam.m_iId, 4903);

    auto withHeader = [&](void (*edit)(DDSHeader_t&)) {
        Bytes bytes = good;
        DDSHeader_t header = readDdsHeader(bytes.data());
        edit(header);
        writeDdsHeader(bytes.data(), header);
        return bytes;
    };
    auto withBytes = [&](size_t at, const Bytes& patch) {
        Bytes bytes = good;
        std::copy(patch.begin(), patch.end(), bytes.begin() + static_cast<long>(at));
        return bytes;
    };
    int32_t badType = 7;
    Bytes typeBytes(reinterpret_cast<uint8_t*>(&badType), reinterpret_cast<uint8_t*>(&badType) + 4);
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"short", Bytes(good.begin(), good.end() - 1)},
        {"long", concat({good, Bytes(1, 0)})},
        {"data length", withHeader([](DDSHeader_t& h) { h.m_u32DataLen = 367; })},
        {"type", withHeader([](DDSHeader_t& h) { h.m_u8Type = MSG_TYPE_HEARTBEAT_ACK; })},
        {"magic", withBytes(0, Bytes{'Z', 'Q', 'M', 'X'})},
        {"address without NUL", withBytes(34, Bytes(16, '1'))},
        {"topic without NUL", withBytes(50, Bytes(128, 't'))},
        {"path without NUL", withBytes(178 + 8, Bytes(64, 'p'))},
        {"unknown medium", withBytes(178, typeBytes)},
        {"TCP, never offered", ack(tcpParam())},
        {"PCIe, never offered", ack(pcieParam())},
        {"shared memory without a group", ack(shmParam(0))},
    };
    ASSERT_TRUE(decodeRequestAckMsg(ack(shmParam(1)).data(), CTRL_REQUEST_ACK_MSG_LEN, &decoded));
    EXPECT_EQ(decoded.m_param.m_shmParam.m_layout.m_iGroupCount, 1);
    for (const auto& c : cases) {
        CtrlRequestAck_t out;
        out.m_strTopic = "untouched";
        EXPECT_FALSE(decodeRequestAckMsg(c.bytes.data(), c.bytes.size(), &out)) << c.name;
        EXPECT_EQ(out.m_strTopic, "untouched") << c.name;
    }
}

TEST(ControlMsgTest, ChannelListsKeepATopicOnceItHadAChannel)
{
    auto channel = [](int fd, int port) {
        ConnParam_t conn;
        std::memset(&conn, 0, sizeof(conn));
        conn.m_iFd = fd;
        conn.m_param.m_udpParam.m_iPort = port;
        return conn;
    };
    CConnParamLists lists;
    std::vector<ConnParam_t> out{channel(9, 9)};
    EXPECT_EQ(lists.get("t1", &out), -1);
    EXPECT_EQ(out.size(), 1u); // untouched
    lists.add("t1", channel(5, 1));
    lists.add("t1", channel(6, 2));
    lists.add("t1", channel(5, 3));
    lists.add("t2", channel(5, 4));
    EXPECT_TRUE(lists.hasFd(6));
    EXPECT_FALSE(lists.hasFd(7));
    EXPECT_EQ(lists.get("t1", nullptr), 0);

    // The first channel of the connection leaves every list; the order of the rest stays.
    lists.removeFd(5);
    ASSERT_EQ(lists.get("t1", &out), 0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].m_param.m_udpParam.m_iPort, 2);
    EXPECT_EQ(out[1].m_param.m_udpParam.m_iPort, 3);
    ASSERT_EQ(lists.get("t2", &out), 0);
    EXPECT_TRUE(out.empty());

    lists.clear();
    EXPECT_FALSE(lists.hasFd(5));
    ASSERT_EQ(lists.get("t1", &out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(lists.get("t3", &out), -1);
}

} // namespace

// Package header and channel records: wire layouts byte by byte, the record decoder's checks,
// and the Unix-socket path both sides build.
#include "core/transport/transport.h"

#include <cstring>
#include <string>
#include <vector>

#include "support/zqtest.h"

namespace {

std::vector<uint8_t> bytesOf(const void* data, size_t len)
{
    const auto* p = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(p, p + len);
}

TransParam_t zeroParam(int type)
{
    TransParam_t param;
    std::memset(&param, 0, sizeof(param));
    param.m_iType = type;
    return param;
}

TEST(TransportTest, HeaderGoldenBytes)
{
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_LAST, MSG_TYPE_DATA);
    header.m_u32SeqNo = 0x04030201u;
    header.m_u64TimeStamp = 0x1817161514131211ull;
    header.m_u32DataLen = 0x24232221u;
    header.m_u32TotalLen = 0x34333231u;
    header.m_u32PktCount = 0x44434241u;
    uint8_t wire[40];
    std::memset(wire, 0xEE, sizeof(wire));
    writeDdsHeader(wire, header);

    const std::vector<uint8_t> golden = {
        'Z',  'Q',  'M',  'W',                          // magic
        0x02,                                           // flag
        0x64,                                           // type 100 ('d')
        0x01, 0x02, 0x03, 0x04,                         // fragment number
        0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, // time stamp
        0x21, 0x22, 0x23, 0x24,                         // payload bytes here
        0x31, 0x32, 0x33, 0x34,                         // frame length
        0x41, 0x42, 0x43, 0x44,                         // fragment count
        0x00, 0x00, 0x00, 0x00,                         // reserved
    };
    EXPECT_EQ(bytesOf(wire, 34), golden);
    EXPECT_EQ(wire[34], 0xEE) << "exactly 34 bytes are written";

    DDSHeader_t back = readDdsHeader(wire);
    EXPECT_EQ(std::memcmp(&back, &header, sizeof(header)), 0);
    EXPECT_TRUE(hasDdsMagic(wire, 34));
    EXPECT_FALSE(hasDdsMagic(wire, 3));
    wire[3] = 'X';
    EXPECT_FALSE(hasDdsMagic(wire, 34));
}

TEST(TransportTest, HeaderReadsFromUnalignedBytes)
{
    uint8_t wire[64] = {};
    DDSHeader_t header = makeDdsHeader(PKT_FLAG_MIDDLE, MSG_TYPE_HEARTBEAT);
    header.m_u64TimeStamp = 0x0102030405060708ull;
    header.m_u32DataLen = 144;
    writeDdsHeader(wire + 3, header);
    DDSHeader_t back = readDdsHeader(wire + 3);
    EXPECT_EQ(+back.m_u64TimeStamp, 0x0102030405060708ull);
    EXPECT_EQ(+back.m_u32DataLen, 144u);
    EXPECT_EQ(back.m_u8Type, MSG_TYPE_HEARTBEAT);
    EXPECT_EQ(back.m_u8Flag, PKT_FLAG_MIDDLE);
}

TEST(TransportTest, EnumCodes)
{
    EXPECT_EQ(PKT_FLAG_FIRST, 0);
    EXPECT_EQ(PKT_FLAG_MIDDLE, 1);
    EXPECT_EQ(PKT_FLAG_LAST, 2);
    EXPECT_EQ(MSG_TYPE_HEARTBEAT, 10);
    EXPECT_EQ(MSG_TYPE_HEARTBEAT_ACK, 11);
    EXPECT_EQ(MSG_TYPE_DISCOVERY, 12);
    EXPECT_EQ(MSG_TYPE_DISCOVERY_ACK, 13);
    EXPECT_EQ(MSG_TYPE_REQUEST_DATA_CHAN, 14);
    EXPECT_EQ(MSG_TYPE_REQUEST_DATA_CHAN_ACK, 15);
    EXPECT_EQ(MSG_TYPE_DATA, 'd');
    EXPECT_EQ(TRANS_TYPE_TCP, 0);
    EXPECT_EQ(TRANS_TYPE_UDP, 1);
    EXPECT_EQ(TRANS_TYPE_UNIX_SOCKET, 2);
    EXPECT_EQ(TRANS_TYPE_SHARE_MEMORY, 3);
    EXPECT_EQ(TRANS_TYPE_PCIE, 4);
    EXPECT_EQ(EVENT_DATA_TRANS_START, 1);
    EXPECT_EQ(EVENT_DATA_TRANS_STOP, 2);
}

TEST(TransportTest, TransParamWireOffsets)
{
    TransParam_t udp = zeroParam(TRANS_TYPE_UDP);
    std::strcpy(udp.m_udpParam.m_szIp, "10.1.2.3");
    udp.m_udpParam.m_iPort = 0x00001F90; // 8080
    std::vector<uint8_t> b = bytesOf(&udp, sizeof(udp));
    ASSERT_EQ(b.size(), 224u);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[8])), "10.1.2.3");
    EXPECT_EQ(b[24], 0x90);
    EXPECT_EQ(b[25], 0x1F);

    TransParam_t unixParam = zeroParam(TRANS_TYPE_UNIX_SOCKET);
    std::strcpy(unixParam.m_unixSocketParam.m_szPath, "/tmp/h6_t-7");
    unixParam.m_unixSocketParam.m_iId = 7;
    b = bytesOf(&unixParam, sizeof(unixParam));
    EXPECT_EQ(b[0], 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[8])), "/tmp/h6_t-7");
    EXPECT_EQ(b[72], 7);

    TransParam_t shm = zeroParam(TRANS_TYPE_SHARE_MEMORY);
    shm.m_shmParam.m_iQueueKey = 0x01020304;
    shm.m_shmParam.m_iMemPoolKey = 0x05060708;
    shm.m_shmParam.m_layout.m_iGroupCount = 2;
    shm.m_shmParam.m_layout.m_stGroup[0] = MemGroup_t{9, 4096, 3};
    shm.m_shmParam.m_layout.m_stGroup[15] = MemGroup_t{0x11, 0x22, 0x33};
    b = bytesOf(&shm, sizeof(shm));
    EXPECT_EQ(b[0], 3);
    EXPECT_EQ(b[8], 0x04);
    EXPECT_EQ(b[12], 0x08);
    EXPECT_EQ(b[24], 2);    // group count
    EXPECT_EQ(b[28], 9);    // group 0 number
    EXPECT_EQ(b[32], 0x00); // group 0 chunk size 4096 = 00 10 00 00
    EXPECT_EQ(b[33], 0x10);
    EXPECT_EQ(b[36], 3); // group 0 count
    EXPECT_EQ(b[28 + 15 * 12], 0x11);
    EXPECT_EQ(b[216], 0x33); // last group's count ends the layout at 220
    for (size_t i : {4u, 5u, 6u, 7u, 16u, 17u, 18u, 19u, 20u, 21u, 22u, 23u, 220u, 221u, 222u, 223u}) {
        EXPECT_EQ(b[i], 0) << "byte " << i;
    }
}

TEST(TransportTest, ConnParamHoldsDescriptorAndChannel)
{
    ConnParam_t conn;
    std::memset(&conn, 0, sizeof(conn));
    conn.m_iFd = -1;
    conn.m_param = zeroParam(TRANS_TYPE_UNIX_SOCKET);
    conn.m_param.m_unixSocketParam.m_iId = 3;
    ConnParam_t copy = conn;
    EXPECT_EQ(copy.m_iFd, -1);
    EXPECT_EQ(copy.m_param.m_iType, TRANS_TYPE_UNIX_SOCKET);
    EXPECT_EQ(copy.m_param.m_unixSocketParam.m_iId, 3);
}

TEST(TransportTest, DecodeTransParamChecksEveryField)
{
    struct Case {
        const char* name;
        TransParam_t param;
        bool ok;
    };
    std::vector<Case> cases;
    TransParam_t p = zeroParam(TRANS_TYPE_TCP);
    std::strcpy(p.m_tcpParam.m_szIp, "127.0.0.1");
    cases.push_back({"tcp", p, true});
    std::memset(p.m_tcpParam.m_szIp, 'A', sizeof(p.m_tcpParam.m_szIp));
    cases.push_back({"tcp address without NUL", p, false});

    p = zeroParam(TRANS_TYPE_UDP);
    std::memset(p.m_udpParam.m_szIp, '1', sizeof(p.m_udpParam.m_szIp));
    cases.push_back({"udp address without NUL", p, false});
    p.m_udpParam.m_szIp[15] = '\0';
    cases.push_back({"udp address of 15 characters", p, true});

    p = zeroParam(TRANS_TYPE_UNIX_SOCKET);
    std::memset(p.m_unixSocketParam.m_szPath, 'x', sizeof(p.m_unixSocketParam.m_szPath));
    cases.push_back({"path without NUL", p, false});
    std::strcpy(p.m_unixSocketParam.m_szPath, "/tmp/a-1");
    cases.push_back({"path", p, true});

    p = zeroParam(TRANS_TYPE_SHARE_MEMORY);
    p.m_shmParam.m_layout.m_iGroupCount = 16;
    cases.push_back({"16 groups", p, true});
    p.m_shmParam.m_layout.m_iGroupCount = 17;
    cases.push_back({"17 groups", p, false});
    p.m_shmParam.m_layout.m_iGroupCount = -1;
    cases.push_back({"negative group count", p, false});
    p.m_shmParam.m_layout.m_iGroupCount = 2;
    p.m_shmParam.m_layout.m_stGroup[1].m_iChunkSize = -5;
    cases.push_back({"negative chunk size", p, false});
    p.m_shmParam.m_layout.m_stGroup[1].m_iChunkSize = 5;
    p.m_shmParam.m_layout.m_stGroup[1].m_iChunkCount = -1;
    cases.push_back({"negative chunk count", p, false});
    p.m_shmParam.m_layout.m_iGroupCount = 1; // the bad entry is past the groups in use
    cases.push_back({"unused entries are not looked at", p, true});

    cases.push_back({"pcie", zeroParam(TRANS_TYPE_PCIE), true});
    cases.push_back({"type 5", zeroParam(5), false});
    cases.push_back({"type -1", zeroParam(-1), false});

    for (const Case& c : cases) {
        TransParam_t out = zeroParam(99);
        bool ok = decodeTransParam(reinterpret_cast<const uint8_t*>(&c.param), sizeof(c.param), &out);
        EXPECT_EQ(ok, c.ok) << c.name;
        if (ok) {
            EXPECT_EQ(std::memcmp(&out, &c.param, sizeof(out)), 0) << c.name;
        } else {
            EXPECT_EQ(out.m_iType, 99) << c.name << ": untouched";
        }
    }
    TransParam_t good = zeroParam(TRANS_TYPE_PCIE);
    TransParam_t out;
    EXPECT_FALSE(decodeTransParam(reinterpret_cast<const uint8_t*>(&good), sizeof(good) - 1, &out)) << "short";
    EXPECT_FALSE(decodeTransParam(nullptr, sizeof(good), &out));
}

TEST(TransportTest, UnixSocketPathMustFitAndStayInTmp)
{
    struct Case {
        std::string topic;
        int index;
        bool ok;
        const char* path;
    } cases[] = {
        {"h6_topic", 1, true, "/tmp/h6_topic-1"},
        {"h6_t", 2147483647, true, "/tmp/h6_t-2147483647"},
        {std::string(51, 'a'), 7, true, nullptr},  // 5 + 51 + 2 = 58 characters
        {std::string(56, 'a'), 7, true, nullptr},  // 63 characters: the most that fits
        {std::string(57, 'a'), 7, false, nullptr}, // 64 characters would lose the NUL
        {std::string(57, 'a'), 10, false, nullptr},
        {"", 1, false, nullptr},
        {"a/b", 1, false, nullptr},
        {"../etc", 1, false, nullptr},
        {std::string("a\0b", 3), 1, false, nullptr},
        {"h6_t", -1, false, nullptr},
    };
    for (const Case& c : cases) {
        char out[DDS_PATH_TEXT_SIZE];
        std::memset(out, 0x7F, sizeof(out));
        bool ok = makeUnixSocketPath(c.topic, c.index, out);
        EXPECT_EQ(ok, c.ok) << c.topic.size() << " " << c.index;
        if (ok) {
            std::string expected = "/tmp/" + c.topic + "-" + std::to_string(c.index);
            EXPECT_EQ(std::string(out), expected);
            if (c.path != nullptr) {
                EXPECT_STREQ(out, c.path);
            }
            EXPECT_EQ(out[DDS_PATH_TEXT_SIZE - 1], '\0') << "zero-filled to the end";
        } else {
            EXPECT_EQ(out[0], 0x7F) << "untouched";
        }
    }
    // Two long names sharing a prefix never collapse to one path.
    char a[DDS_PATH_TEXT_SIZE];
    char b[DDS_PATH_TEXT_SIZE];
    EXPECT_FALSE(makeUnixSocketPath(std::string(70, 'p') + "A", 1, a) &&
                 makeUnixSocketPath(std::string(70, 'p') + "B", 1, b));
}

TEST(TransportTest, TextFieldTermination)
{
    char field[4] = {'a', 'b', 'c', 'd'};
    EXPECT_FALSE(isTextTerminated(field, sizeof(field)));
    field[3] = '\0';
    EXPECT_TRUE(isTextTerminated(field, sizeof(field)));
    EXPECT_FALSE(isTextTerminated(field, 3));
    EXPECT_FALSE(isTextTerminated(nullptr, 4));
}

} // namespace

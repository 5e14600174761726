// The shared-memory data sender over a real pool segment: init on the right pool only, the
// connection table with its queue segments, no connection before init, no control descriptor
// closed, and numbers in flight coming back on delConn and deinit.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "core/transport/media/shm_medium_fixture.h"
#include "memory/normal_mem_pool.h"
#include "memory/shm_client.h"

namespace {

// Keys of this file: 0x53310000 + n.
constexpr int kKeyBase = 0x53310000;

using shmmedium::Holder;
using shmmedium::Writer;

class ShareMemorySenderNsTest : public zqtest::NsTest {
protected:
    void TearDown() override { shmtest::removeAllSegments(); }
};

std::string addQueueFailed(int key)
{
    char text[64];
    std::snprintf(text, sizeof(text), "Add queue %#x failed!", static_cast<unsigned>(key));
    return text;
}

TEST_F(ShareMemorySenderNsTest, StartsOnlyOnASharedMemoryPoolAndRefusesConnectionsUntilThen)
{
    CNormalMemPool local;
    MemConfig_t cfg{};
    CMemPool::getDefaultCfg(cfg);
    ASSERT_TRUE(local.init(cfg));
    CShmMemPool broken; // its segment was never made
    const struct {
        const char* name;
        CMemPool* pool;
        const char* line;
    } cases[] = {
        {"process-memory pool", &local, "Init share memory sender failed! It is not share mem pool!"},
        {"pool without a segment", &broken, "Init share memory server failed! mem pool addr: (nil)"},
        {"no pool", nullptr, "Init share memory sender failed! It is not share mem pool!"},
    };
    const int threads = zqtest::baselineThreads();
    for (const auto& c : cases) {
        CDataManager dm;
        if (c.pool != nullptr) {
            dm.setMemPool(c.pool);
        }
        CShareMemorySender sender(&dm);
        zqtest::OutputCapture capture;
        EXPECT_FALSE(sender.init()) << c.name;
        capture.stop();
        EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", c.line)) << c.name << capture.out();
        EXPECT_FALSE(sender.isInit()) << c.name;

        // A reader told of this channel would find no pool behind it.
        TransParam_t param;
        std::memset(&param, 0, sizeof(param));
        param.m_iType = TRANS_TYPE_SHARE_MEMORY;
        param.m_shmParam.m_iQueueKey = kKeyBase + 1;
        EXPECT_FALSE(sender.addConn(5, param)) << c.name;
        EXPECT_FALSE(shmtest::keyExists(kKeyBase + 1)) << c.name;
        EXPECT_FALSE(sender.isConnExist(5)) << c.name;
        EXPECT_EQ(sender.getClientCount(), 0) << c.name;
        EXPECT_EQ(sender.getFps(), -1) << c.name;
    }
    EXPECT_EQ(zqtest::threadsSettleAt(threads), threads);
    EXPECT_EQ(shmtest::segmentCount(), 0);
}

TEST_F(ShareMemorySenderNsTest, ConnectionTableAndQueueSegments)
{
    Writer w(kKeyBase + 10);
    ASSERT_TRUE(w.ok());
    CShareMemorySender& sender = w.sender();
    ASSERT_TRUE(sender.init());
    EXPECT_TRUE(sender.isInit());
    EXPECT_FALSE(sender.init()) << "initialised already";
    EXPECT_EQ(sender.getFps(), -1) << "no connection";

    const int keyA = kKeyBase + 11;
    const int keyB = kKeyBase + 12;
    TransParam_t a = w.param(keyA);
    TransParam_t b = w.param(keyB);
    a.m_shmParam.m_u64Reserved = 0x1122334455667788ULL;
    ASSERT_TRUE(sender.addConn(7, a));
    EXPECT_EQ(shmmedium::segmentSize(keyA), 160u);
    // The same id again: refused, the first queue stays.
    EXPECT_FALSE(sender.addConn(7, b));
    EXPECT_FALSE(shmtest::keyExists(keyB));
    EXPECT_TRUE(shmtest::keyExists(keyA));
    ASSERT_TRUE(sender.addConn(8, b));
    EXPECT_TRUE(sender.isConnExist(7));
    EXPECT_TRUE(sender.isConnExist(8));
    EXPECT_FALSE(sender.isConnExist(9));
    EXPECT_EQ(sender.getClientCount(), 2);
    // The queue key the reader's acknowledgement carries at offset 8.
    int atOffset8 = 0;
    std::memcpy(&atOffset8, reinterpret_cast<const uint8_t*>(&b) + 8, sizeof(atOffset8));
    EXPECT_EQ(sender.getPort(8), atOffset8);
    EXPECT_EQ(sender.getPort(7), keyA);
    EXPECT_EQ(sender.getPort(9), -1);
    EXPECT_GE(sender.getFps(), 0);

    // Refused: another type, an empty key pool's -1, a key already served.
    TransParam_t unix = b;
    unix.m_iType = TRANS_TYPE_UNIX_SOCKET;
    EXPECT_FALSE(sender.addConn(20, unix));
    zqtest::OutputCapture capture;
    TransParam_t noKey = w.param(-1);
    EXPECT_FALSE(sender.addConn(21, noKey));
    EXPECT_FALSE(sender.addConn(22, a));
    capture.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", addQueueFailed(-1))) << capture.out();
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "32", addQueueFailed(keyA))) << capture.out();
    EXPECT_EQ(sender.getClientCount(), 2);
    EXPECT_EQ(sender.getPort(21), -1);

    zqtest::OutputCapture detach;
    EXPECT_FALSE(sender.delConn(9));
    EXPECT_TRUE(sender.delConn(7));
    EXPECT_FALSE(sender.delConn(7));
    detach.stop();
    char line[64];
    std::snprintf(line, sizeof(line), "Detach share memory queue %#x", static_cast<unsigned>(keyA));
    EXPECT_EQ(zqtest::countDdsLines(detach.out(), "32", line), 1);
    EXPECT_FALSE(shmtest::keyExists(keyA));
    EXPECT_FALSE(sender.isConnExist(7));
    EXPECT_EQ(sender.getPort(7), -1);
    EXPECT_EQ(sender.getClientCount(), 1);
    EXPECT_GE(sender.getFps(), 0);
    EXPECT_TRUE(sender.delConn(8));
    EXPECT_EQ(sender.getClientCount(), 0);
    EXPECT_EQ(sender.getFps(), -1);
    EXPECT_EQ(shmtest::segmentCount(), 1) << "only the pool's segment is left";
}

TEST_F(ShareMemorySenderNsTest, ControlDescriptorsStayOpen)
{
    Writer w(kKeyBase + 20);
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.sender().init());
    // The connection ids are the control channel's descriptors, which it closes itself.
    int fdA = eventfd(0, EFD_CLOEXEC);
    int fdB = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(fdA, 0);
    ASSERT_GE(fdB, 0);
    TransParam_t a = w.param(kKeyBase + 21);
    TransParam_t b = w.param(kKeyBase + 22);
    ASSERT_TRUE(w.sender().addConn(fdA, a));
    ASSERT_TRUE(w.sender().addConn(fdB, b));
    const int fds = zqtest::countOpenFds();
    EXPECT_TRUE(w.sender().delConn(fdA));
    EXPECT_NE(fcntl(fdA, F_GETFD), -1);
    {
        zqtest::OutputCapture quiet;
        w.sender().deinit();
    }
    EXPECT_NE(fcntl(fdB, F_GETFD), -1);
    EXPECT_EQ(zqtest::countOpenFds(), fds);
    close(fdA);
    close(fdB);
}

// A reader's ring count forged outside its range ends that connection: its control socket is
// shut (the control channel then drops it and the reader negotiates anew); the descriptor stays
// open for the control channel to close, and the other connection is untouched.
TEST_F(ShareMemorySenderNsTest, ACorruptRingShutsThatConnectionsControlSocket)
{
    Writer w(kKeyBase + 60);
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.sender().init());
    int broken[2];
    int healthy[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, broken), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, healthy), 0);
    TransParam_t a = w.param(kKeyBase + 61);
    TransParam_t b = w.param(kKeyBase + 62);
    ASSERT_TRUE(w.sender().addConn(broken[0], a));
    ASSERT_TRUE(w.sender().addConn(healthy[0], b));
    shmtest::RawSegment ring(kKeyBase + 61);
    ASSERT_TRUE(ring.ok());
    zqtest::OutputCapture cap;
    // Ring 1, which the writer's thread reads.
    ring.setInt(80 + 4, -77);
    pollfd pfd{broken[1], POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 10000), 1);
    char byte = 0;
    EXPECT_EQ(read(broken[1], &byte, 1), 0) << "the peer sees the connection end";
    EXPECT_NE(fcntl(broken[0], F_GETFD), -1);
    pollfd other{healthy[1], POLLIN, 0};
    EXPECT_EQ(poll(&other, 1, 0), 0);
    EXPECT_TRUE(w.sender().delConn(broken[0]));
    {
        zqtest::OutputCapture quiet;
        w.sender().deinit();
    }
    cap.stop();
    char text[96];
    std::snprintf(text, sizeof(text), "Error: Queue %#x is corrupt, dropping connection %d!",
                  static_cast<unsigned>(kKeyBase + 61), broken[0]);
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", text)) << cap.out();
    for (int fd : {broken[0], broken[1], healthy[0], healthy[1]}) {
        close(fd);
    }
}

TEST_F(ShareMemorySenderNsTest, NumbersInFlightComeBackOnDelConnAndDeinit)
{
    Writer w(kKeyBase + 30);
    ASSERT_TRUE(w.ok());
    CShareMemorySender& sender = w.sender();
    ASSERT_TRUE(sender.init());
    const int keyA = kKeyBase + 31;
    const int keyB = kKeyBase + 32;
    TransParam_t a = w.param(keyA);
    TransParam_t b = w.param(keyB);
    ASSERT_TRUE(sender.addConn(1, a));
    ASSERT_TRUE(sender.addConn(2, b));
    // Two readers that keep everything.
    Holder heldA;
    Holder heldB;
    CShmClient readerA;
    CShmClient readerB;
    readerA.registerCallBack([&](int, DataPackage_t* pkg) { return heldA.keep(pkg); });
    readerB.registerCallBack([&](int, DataPackage_t* pkg) { return heldB.keep(pkg); });
    ASSERT_TRUE(readerA.init(keyA, w.pool().getMemKey(), w.pool().getMemLayout()));
    ASSERT_TRUE(readerB.init(keyB, w.pool().getMemKey(), w.pool().getMemLayout()));

    // One at a time: each notification ring holds two numbers.
    ASSERT_NE(w.publish("one"), nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return heldA.count() == 1 && heldB.count() == 1; }, 10000));
    ASSERT_NE(w.publish("two"), nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return heldA.count() == 2 && heldB.count() == 2; }, 10000));
    EXPECT_STREQ(reinterpret_cast<const char*>(pkgData(heldA.pkgs[0]) + 34), "one");
    EXPECT_STREQ(reinterpret_cast<const char*>(pkgData(heldB.pkgs[1]) + 34), "two");
    EXPECT_EQ(sender.getInFlightCount(1), 2u);
    EXPECT_EQ(sender.getInFlightCount(2), 2u);
    EXPECT_EQ(w.freeChunks(1), 2);

    // Reader A gives one back: B still holds it, so the chunk stays out.
    readerA.putEmptyDataPkg(heldA.pkgs[0]);
    ASSERT_TRUE(zqtest::waitUntil([&] { return sender.getInFlightCount(1) == 1; }, 10000));
    EXPECT_EQ(w.freeChunks(1), 2);

    // A's connection goes while it holds "two": the writer takes its reference back.
    zqtest::OutputCapture capture;
    EXPECT_TRUE(sender.delConn(1));
    capture.stop();
    char line[80];
    std::snprintf(line, sizeof(line), "Warning: Queue %#x left 1 mem blocks!!!", static_cast<unsigned>(keyA));
    EXPECT_TRUE(zqtest::hasDdsLine(capture.out(), "33", line)) << capture.out();
    EXPECT_EQ(w.freeChunks(1), 2) << "B holds both";

    // The writing side goes down with B still holding both.
    zqtest::OutputCapture down;
    sender.deinit();
    down.stop();
    std::snprintf(line, sizeof(line), "Warning: Queue %#x left 2 mem blocks!!!", static_cast<unsigned>(keyB));
    EXPECT_TRUE(zqtest::hasDdsLine(down.out(), "33", line)) << down.out();
    EXPECT_FALSE(sender.isInit());
    EXPECT_EQ(sender.getClientCount(), 0);
    EXPECT_FALSE(shmtest::keyExists(keyB));
    EXPECT_TRUE(w.full());
    // Not initialised any more: no connection is taken.
    EXPECT_FALSE(sender.addConn(3, a));

    zqtest::OutputCapture quiet;
    readerA.deinit();
    readerB.deinit();
}

TEST_F(ShareMemorySenderNsTest, StartsAgainWithANewServerAfterDeinit)
{
    Writer w(kKeyBase + 40);
    ASSERT_TRUE(w.ok());
    const int threads = zqtest::baselineThreads();
    ASSERT_TRUE(w.sender().init());
    w.sender().deinit();
    w.sender().deinit(); // idempotent
    EXPECT_EQ(zqtest::threadsSettleAt(threads), threads);
    ASSERT_TRUE(w.sender().init());
    TransParam_t a = w.param(kKeyBase + 41);
    EXPECT_TRUE(w.sender().addConn(1, a));
    Holder held;
    CShmClient reader;
    reader.registerCallBack([&](int, DataPackage_t* pkg) { return held.keep(pkg); });
    ASSERT_TRUE(reader.init(kKeyBase + 41, w.pool().getMemKey(), w.pool().getMemLayout()));
    ASSERT_NE(w.publish("again"), nullptr);
    ASSERT_TRUE(zqtest::waitUntil([&] { return held.count() == 1; }, 10000));
    reader.putEmptyDataPkg(held.pkgs[0]);
    EXPECT_TRUE(w.full());
    reader.deinit();
    // Deleted while initialised and with a connection: thread, queue and references all go.
    w.dropSender();
    EXPECT_FALSE(shmtest::keyExists(kKeyBase + 41));
    EXPECT_EQ(zqtest::threadsSettleAt(threads), threads);
    EXPECT_TRUE(w.full());
}

TEST_F(ShareMemorySenderNsTest, ASenderNeverStartedReleasesItsServer)
{
    Writer w(kKeyBase + 50);
    ASSERT_TRUE(w.ok());
    const int threads = zqtest::baselineThreads();
    w.sender().sendTask(); // returns at once
    w.dropSender();
    EXPECT_EQ(zqtest::threadsSettleAt(threads), threads);
    EXPECT_EQ(shmtest::segmentCount(), 1);
}

} // namespace

// Churn and crash soak: participants, topics, writers and readers created and deleted in every
// order while messages flow, and peer processes killed with SIGKILL at random points and started
// again, on every medium. Afterwards descriptors, threads, System V segments, socket files and
// pool chunks are back where they started, the surviving readers still receive, and no message
// that arrived was anything but whole.
//
// Short by default. The long run: ZQ_SOAK_CYCLES=<n> (kills; churn runs twice as many cycles),
// and ZQ_SOAK_SEED=<seed> repeats a run (the seed is printed).
#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/pubsub_support.h"
#include "soak/soak_support.h"
#include "support/zqtest.h"
#include "zqdds/data_reader.h"
#include "zqdds/data_writer.h"
#include "zqdds/participant.h"
#include "zqdds/publisher.h"
#include "zqdds/subscriber.h"

namespace {

int envInt(const char* name, int fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

unsigned soakSeed()
{
    int seed = envInt("ZQ_SOAK_SEED", 0);
    if (seed != 0) {
        return static_cast<unsigned>(seed);
    }
    return static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() & 0x7FFFFFFF) | 1u;
}

int countLines(std::istream& in)
{
    int lines = 0;
    std::string line;
    while (std::getline(in, line)) {
        ++lines;
    }
    return lines;
}

// Segments of this IPC namespace (the first line of the table is its heading).
int sysvSegments()
{
    std::ifstream table("/proc/sysvipc/shm");
    return table ? countLines(table) - 1 : -1;
}

int tmpEntries()
{
    DIR* dir = opendir("/tmp");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        count += name != "." && name != ".." ? 1 : 0;
    }
    closedir(dir);
    return count;
}

struct Counts {
    int fds;
    int threads;
    int segments;
    int tmp;
};

Counts snapshot()
{
    return Counts{zqtest::countOpenFds(), zqtest::countThreads(), sysvSegments(), tmpEntries()};
}

// The counts to come back to. The process-wide timer thread starts with the first participant and
// lives as long as the process, so one participant comes and goes first.
Counts startCounts(const std::string& ethName)
{
    {
        zqtest::OutputCapture quiet;
        _DomainConfigParam_t param = soak::record(ethName, 560, 47600, 5600, 0x5600);
        CParticipant warmUp(param);
    }
    Counts start = snapshot();
    std::printf("[soak] start counts: %d descriptors, %d threads, %d segments, %d files in /tmp\n", start.fds,
                start.threads, start.segments, start.tmp);
    return start;
}

// Waits for the counts to come back to `start`; the ones that did not are reported.
void expectBackTo(const Counts& start)
{
    Counts now = snapshot();
    zqtest::waitUntil(
        [&] {
            now = snapshot();
            return now.fds == start.fds && now.threads == start.threads && now.segments == start.segments &&
                   now.tmp == start.tmp;
        },
        10000);
    EXPECT_EQ(now.fds, start.fds) << "descriptors";
    EXPECT_EQ(now.threads, start.threads) << "threads";
    EXPECT_EQ(now.segments, start.segments) << "System V segments";
    EXPECT_EQ(now.tmp, start.tmp) << "files in /tmp";
    if (now.threads != start.threads) {
        DIR* dir = opendir("/proc/self/task");
        while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            if (std::getline(comm, name)) {
                std::printf("[soak] thread %s: %s\n", entry->d_name, name.c_str());
            }
        }
        if (dir != nullptr) {
            closedir(dir);
        }
    }
    std::printf("[soak] end counts: %d descriptors, %d threads, %d segments, %d files in /tmp\n", now.fds, now.threads,
                now.segments, now.tmp);
}

bool hasSanitizerReport(const std::string& output)
{
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "runtime error:", "WARNING: ThreadSanitizer", "ERROR: ThreadSanitizer"}) {
        if (output.find(mark) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A reader that counts whole and broken messages.
struct CountingReader {
    CSubscriber* subscriber{nullptr};
    CDataReader* reader{nullptr};
    std::atomic<long> good{0};
    std::atomic<long> bad{0};

    bool open(CParticipant* participant, CTopic* topic, int depth)
    {
        subscriber = participant->createSubscriber();
        reader = subscriber != nullptr ? subscriber->createDataReader(topic, depth) : nullptr;
        if (reader == nullptr) {
            return false;
        }
        reader->registerUserDataCallBack([this](void* data, int len, _ExtraDataInfo_t*) {
            (soak::isSoakMessage(static_cast<const uint8_t*>(data), len) ? good : bad).fetch_add(1);
            return 0;
        });
        return true;
    }
    // Deletes the reader and then the subscriber; 0 when both went.
    int close(CParticipant* participant)
    {
        int rc = 0;
        if (reader != nullptr) {
            rc |= subscriber->deleteDataReader(reader);
            reader = nullptr;
        }
        if (subscriber != nullptr) {
            rc |= participant->deleteSubscriber(subscriber);
            subscriber = nullptr;
        }
        return rc;
    }
    bool receives(long more, int timeoutMs)
    {
        const long from = good.load();
        return zqtest::waitUntil([&] { return good.load() >= from + more; }, timeoutMs);
    }
};

// Writes soak messages from its own thread until stopped.
struct FlowingWriter {
    CPublisher* publisher{nullptr};
    CDataWriter* writer{nullptr};
    std::atomic<bool> stop{false};
    std::thread flow;

    bool open(CParticipant* participant, CTopic* topic)
    {
        publisher = participant->createPublisher();
        return publisher != nullptr && start(topic);
    }
    // Makes the writer of the publisher and starts the flow.
    bool start(CTopic* topic)
    {
        writer = publisher->createDataWriter(topic);
        if (writer == nullptr) {
            return false;
        }
        stop = false;
        flow = std::thread([this] {
            std::vector<uint8_t> data;
            for (uint32_t seq = 1; !stop.load(); ++seq) {
                const int len = soak::messageLength(seq);
                data.resize(static_cast<size_t>(len));
                pubsub::fillPattern(data.data(), len, seq);
                writer->write(data.data(), len);
                struct timespec pace {
                    0, 2000000
                }; // a steady stream, not a flood
                nanosleep(&pace, nullptr);
            }
        });
        return true;
    }
    // Stops the flow and deletes the writer.
    int finish()
    {
        stop = true;
        if (flow.joinable()) {
            flow.join();
        }
        int rc = 0;
        if (writer != nullptr) {
            rc |= publisher->deleteDataWriter(writer);
            writer = nullptr;
        }
        return rc;
    }
    int close(CParticipant* participant)
    {
        int rc = finish();
        if (publisher != nullptr) {
            rc |= participant->deletePublisher(publisher);
            publisher = nullptr;
        }
        return rc;
    }
};

constexpr int PORT_BASE = 47610;       // this process
constexpr int CHURN_PORT_BASE = 47620; // the churned participants of this process
constexpr int UNIX_BASE = 5610;
constexpr int KEY_BASE = 0x5610;

class SoakNsTest : public zqtest::NsTest {
protected:
    void SetUp() override
    {
        zqtest::NsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_seed = soakSeed();
        m_rng.seed(m_seed);
        std::printf("[soak] seed %u (ZQ_SOAK_SEED=%u repeats this run)\n", m_seed, m_seed);
    }

    unsigned pick(unsigned n) { return static_cast<unsigned>(m_rng() % n); }

    unsigned m_seed{0};
    std::mt19937 m_rng;
};

// One churned participant: the entities it can have and the order they come and go in.
enum Entity { TOPIC, PUBLISHER, SUBSCRIBER, WRITER, READER, ENTITY_COUNT };

TEST_F(SoakNsTest, ChurnInOneProcessWhileMessagesFlow)
{
    const int cycles = 2 * envInt("ZQ_SOAK_CYCLES", 6);
    const std::string name = "s5_churn";
    const Counts start = startCounts("lo");
    _DomainConfigParam_t param = soak::record("lo", soak::DOMAIN_ID, PORT_BASE, UNIX_BASE, KEY_BASE);
    auto steady = std::make_unique<CParticipant>(param);
    CTopic* topic = steady->createTopic(name);
    ASSERT_NE(topic, nullptr);
    FlowingWriter writer;
    CountingReader reader;
    ASSERT_TRUE(writer.open(steady.get(), topic));
    ASSERT_TRUE(reader.open(steady.get(), topic, 4));
    ASSERT_TRUE(reader.receives(5, 20000));

    long churnGood = 0;
    long churnBad = 0;
    int waited = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        // Creation in an order the dependencies allow: a writer needs its topic and publisher,
        // a reader its topic and subscriber.
        std::vector<Entity> left{TOPIC, PUBLISHER, SUBSCRIBER, WRITER, READER};
        const bool withWriter = pick(2) == 0;
        if (!withWriter) {
            left.erase(std::find(left.begin(), left.end(), WRITER));
        }
        _DomainConfigParam_t churnParam =
            soak::record("lo", soak::DOMAIN_ID, CHURN_PORT_BASE, UNIX_BASE + 10, KEY_BASE + 10);
        auto churned = std::make_unique<CParticipant>(churnParam);
        CTopic* ctopic = nullptr;
        CPublisher* cpub = nullptr;
        CSubscriber* csub = nullptr;
        FlowingWriter cwriter;
        CountingReader creader;
        // On a way out mid-cycle: the flow joined and the participant gone (with the reader whose
        // callback counts into creader) before these locals.
        zqtest::ScopeExit cycleCleanup([&] {
            cwriter.stop = true;
            if (cwriter.flow.joinable()) {
                cwriter.flow.join();
            }
            churned.reset();
        });
        std::vector<Entity> made;
        while (!left.empty()) {
            std::vector<Entity> ready;
            for (Entity e : left) {
                bool ok = e == TOPIC || e == PUBLISHER || e == SUBSCRIBER ||
                          (e == WRITER && ctopic != nullptr && cpub != nullptr) ||
                          (e == READER && ctopic != nullptr && csub != nullptr);
                if (ok) {
                    ready.push_back(e);
                }
            }
            Entity e = ready[pick(static_cast<unsigned>(ready.size()))];
            left.erase(std::find(left.begin(), left.end(), e));
            switch (e) {
            case TOPIC:
                ctopic = churned->createTopic(name);
                ASSERT_NE(ctopic, nullptr);
                break;
            case PUBLISHER:
                cpub = churned->createPublisher();
                ASSERT_NE(cpub, nullptr);
                break;
            case SUBSCRIBER:
                csub = churned->createSubscriber();
                ASSERT_NE(csub, nullptr);
                break;
            case WRITER:
                // It writes as long as it lives: a reader may have taken its endpoint.
                cwriter.publisher = cpub;
                ASSERT_TRUE(cwriter.start(ctopic));
                break;
            case READER:
                creader.subscriber = csub;
                creader.reader = csub->createDataReader(ctopic, 1 + static_cast<int>(pick(4)));
                ASSERT_NE(creader.reader, nullptr);
                creader.reader->registerUserDataCallBack([&creader](void* data, int len, _ExtraDataInfo_t*) {
                    (soak::isSoakMessage(static_cast<const uint8_t*>(data), len) ? creader.good : creader.bad)
                        .fetch_add(1);
                    return 0;
                });
                break;
            default:
                break;
            }
            made.push_back(e);
        }
        // Sometimes the churned reader gets messages before it goes, sometimes it goes at once.
        if (pick(2) == 0) {
            EXPECT_TRUE(creader.receives(1 + static_cast<long>(pick(20)), 20000)) << "cycle " << cycle;
            ++waited;
        }
        // Deletion in an order the rules allow: children before parents.
        std::vector<Entity> alive = made;
        while (!alive.empty()) {
            std::vector<Entity> ready;
            auto has = [&alive](Entity x) { return std::find(alive.begin(), alive.end(), x) != alive.end(); };
            for (Entity e : alive) {
                bool ok = e == WRITER || e == READER || (e == PUBLISHER && !has(WRITER)) ||
                          (e == SUBSCRIBER && !has(READER)) || (e == TOPIC && !has(WRITER) && !has(READER));
                if (ok) {
                    ready.push_back(e);
                }
            }
            Entity e = ready[pick(static_cast<unsigned>(ready.size()))];
            alive.erase(std::find(alive.begin(), alive.end(), e));
            switch (e) {
            case TOPIC:
                EXPECT_EQ(churned->deleteTopic(ctopic), 0);
                break;
            case PUBLISHER:
                EXPECT_EQ(churned->deletePublisher(cpub), 0);
                break;
            case SUBSCRIBER:
                EXPECT_EQ(churned->deleteSubscriber(csub), 0);
                break;
            case WRITER:
                EXPECT_EQ(cwriter.finish(), 0);
                break;
            case READER:
                EXPECT_EQ(csub->deleteDataReader(creader.reader), 0);
                creader.reader = nullptr;
                break;
            default:
                break;
            }
        }
        churnGood += creader.good.load();
        churnBad += creader.bad.load();
        churned.reset();
        // The steady side is not disturbed for long by any of it.
        ASSERT_TRUE(reader.receives(3, 20000)) << "cycle " << cycle;
    }
    std::printf("[soak] churn: %d cycles (%d waited for messages), churned readers got %ld whole and %ld broken, "
                "steady reader %ld whole and %ld broken\n",
                cycles, waited, churnGood, churnBad, reader.good.load(), reader.bad.load());
    EXPECT_EQ(churnBad, 0);
    EXPECT_EQ(reader.bad.load(), 0);

    CParticipantImpl* impl = pubsub::participantOf(topic);
    EXPECT_EQ(writer.close(steady.get()), 0);
    EXPECT_EQ(reader.close(steady.get()), 0);
    EXPECT_TRUE(zqtest::waitUntil([&] { return impl->getMemPool()->getUsedSize() == 0; }, 10000))
        << impl->getMemPool()->getUsedSize() << " pool bytes still in use";
    EXPECT_EQ(steady->deleteTopic(topic), 0);
    steady.reset();
    expectBackTo(start);
}

// Where the peers of a medium run and how their topic is made.
struct Medium {
    const char* name;
    bool otherHost; // the peers run in a second host, so the data goes over UDP
    bool shm;       // the topic has a shared-memory pool
    int transType;  // the data channel it takes
};
const Medium kMedia[] = {
    {"unix", false, false, TRANS_TYPE_UNIX_SOCKET},
    {"udp", true, false, TRANS_TYPE_UDP},
    {"shm", false, true, TRANS_TYPE_SHARE_MEMORY},
};

// Whether every data channel of the topic on that side is of the type, and there is one.
bool channelsAre(CParticipant* participant, const std::string& topic, int kind, int type)
{
    _DdsInfo_t info{};
    if (participant->getDdsInfo(topic, kind, info) != 0 || info.m_vecDataChnInfo.empty()) {
        return false;
    }
    for (const auto& chn : info.m_vecDataChnInfo) {
        if (chn.m_iTransType != type) {
            return false;
        }
    }
    return true;
}

enum Role { PEER_WRITER, PEER_READER };

// Peer port ranges, per medium and role.
int peerPortBase(size_t medium, Role role)
{
    return 47630 + static_cast<int>(medium) * 20 + (role == PEER_WRITER ? 0 : 10);
}

class KillSoakNsTest : public SoakNsTest {
protected:
    void SetUp() override
    {
        SoakNsTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        std::string error;
        m_host = zqtest::NetHost::create(&error);
        ASSERT_NE(m_host, nullptr) << error;
        ASSERT_TRUE(zqtest::joinHosts(nullptr, "s5a", "198.18.61.1/24", m_host.get(), "s5b", "198.18.61.2/24", &error))
            << error;
    }

    std::string topicOf(size_t medium, Role role) const
    {
        // The peers write to the readers of this process on "..._in", read its writer on "..._out".
        return std::string("s5_") + kMedia[medium].name + (role == PEER_WRITER ? "_in" : "_out");
    }

    std::unique_ptr<zqtest::ChildProcess> startPeer(size_t medium, Role role)
    {
        const Medium& m = kMedia[medium];
        const int base = peerPortBase(medium, role);
        std::vector<std::string> argv = {zqtest::helperPath("soak_peer"),
                                         role == PEER_WRITER ? "writer" : "reader",
                                         m.otherHost ? "s5b" : "s5a",
                                         topicOf(medium, role),
                                         m.shm ? "shm" : "plain",
                                         std::to_string(soak::DOMAIN_ID),
                                         std::to_string(base),
                                         std::to_string(UNIX_BASE + 20 + static_cast<int>(medium) * 10),
                                         std::to_string(KEY_BASE + 20 + static_cast<int>(medium) * 10)};
        std::string error;
        auto peer = m.otherHost ? m_host->spawn(argv, &error) : zqtest::ChildProcess::spawn(argv, &error);
        EXPECT_NE(peer, nullptr) << error;
        return peer;
    }

    // Whole messages a reading peer has had (-1 when it does not answer); `bad` gets the broken ones.
    static long peerCount(zqtest::ChildProcess* peer, long* bad)
    {
        std::string line;
        if (!peer->writeInput("count\n") || !peer->waitForLine("@@ count ", 10000, &line)) {
            return -1;
        }
        std::istringstream in(line.substr(line.find("@@ count ") + 9));
        long good = -1;
        in >> good >> *bad;
        return good;
    }

    static bool peerReceives(zqtest::ChildProcess* peer, long atLeast, long* bad, int timeoutMs)
    {
        long good = -1;
        return zqtest::waitUntil([&] { return (good = peerCount(peer, bad)) >= atLeast || good < 0; }, timeoutMs) &&
               good >= atLeast;
    }

    int hostEntries(const std::string& command)
    {
        std::string out;
        if (m_host->run({"sh", "-c", command}, 10000, &out) != 0) {
            return -1;
        }
        return std::atoi(out.c_str());
    }

    std::unique_ptr<zqtest::NetHost> m_host;
};

TEST_F(KillSoakNsTest, KilledPeersAreReplacedOnEveryMedium)
{
    const int kills = envInt("ZQ_SOAK_CYCLES", 6);
    constexpr size_t MEDIA = sizeof(kMedia) / sizeof(kMedia[0]);
    const Counts start = startCounts("s5a");
    const int hostTmp = hostEntries("ls -A /tmp | wc -l");
    const int hostSegments = hostEntries("tail -n +2 /proc/sysvipc/shm | wc -l");

    _DomainConfigParam_t param = soak::record("s5a", soak::DOMAIN_ID, PORT_BASE, UNIX_BASE, KEY_BASE);
    auto local = std::make_unique<CParticipant>(param);
    // Per medium: a topic this process reads (peers write it) and one it writes (peers read it).
    struct Slot {
        CTopic* inTopic{nullptr};
        CTopic* outTopic{nullptr};
        CountingReader reader;
        FlowingWriter writer;
        std::unique_ptr<zqtest::ChildProcess> peer[2];
    };
    std::vector<std::unique_ptr<Slot>> slots;
    for (size_t m = 0; m < MEDIA; ++m) {
        auto slot = std::make_unique<Slot>();
        ShmConfig_t shm{};
        slot->inTopic = local->createTopic(topicOf(m, PEER_WRITER), kMedia[m].shm ? &shm : nullptr);
        slot->outTopic = local->createTopic(topicOf(m, PEER_READER), kMedia[m].shm ? &shm : nullptr);
        ASSERT_NE(slot->inTopic, nullptr);
        ASSERT_NE(slot->outTopic, nullptr);
        ASSERT_TRUE(slot->reader.open(local.get(), slot->inTopic, 4));
        ASSERT_TRUE(slot->writer.open(local.get(), slot->outTopic));
        slots.push_back(std::move(slot));
    }
    std::string killedOutput;
    long peerBad = 0;
    // Every peer up and every direction flowing.
    auto bringUp = [&](size_t m, Role role) {
        Slot& s = *slots[m];
        s.peer[role] = startPeer(m, role);
        ASSERT_NE(s.peer[role], nullptr);
        ASSERT_TRUE(s.peer[role]->waitForLine("@@ ready", 20000)) << s.peer[role]->output();
        if (role == PEER_WRITER) {
            ASSERT_TRUE(zqtest::waitUntil([&] { return s.reader.reader->isConnect(); }, 30000))
                << kMedia[m].name << ": the reader never took the new writer";
            ASSERT_TRUE(s.reader.receives(3, 20000)) << kMedia[m].name;
            EXPECT_TRUE(channelsAre(local.get(), topicOf(m, role), DDS_INFO_SUB, kMedia[m].transType))
                << kMedia[m].name;
        } else {
            long bad = 0;
            ASSERT_TRUE(peerReceives(s.peer[role].get(), 3, &bad, 30000))
                << kMedia[m].name << ": " << s.peer[role]->output();
            peerBad += bad;
            EXPECT_TRUE(channelsAre(local.get(), topicOf(m, role), DDS_INFO_PUB, kMedia[m].transType))
                << kMedia[m].name;
        }
    };
    for (size_t m = 0; m < MEDIA; ++m) {
        for (Role role : {PEER_WRITER, PEER_READER}) {
            bringUp(m, role);
            if (HasFatalFailure()) {
                return;
            }
        }
    }

    // Each cycle kills one peer at a random point and starts it again.
    int killCount[MEDIA][2] = {};
    const char* pointNames[] = {"at start", "once ready", "while it flows"};
    int pointCount[3] = {};
    for (int cycle = 0; cycle < kills; ++cycle) {
        const size_t m = pick(MEDIA);
        const Role role = pick(2) == 0 ? PEER_WRITER : PEER_READER;
        Slot& s = *slots[m];
        const unsigned point = pick(3);
        if (point < 2) {
            // A fresh peer, killed before or right after it is set up.
            s.peer[role].reset();
            s.peer[role] = startPeer(m, role);
            ASSERT_NE(s.peer[role], nullptr);
            if (point == 1) {
                ASSERT_TRUE(s.peer[role]->waitForLine("@@ ready", 20000)) << s.peer[role]->output();
            }
        } else if (role == PEER_WRITER) {
            s.reader.receives(static_cast<long>(pick(40)), 20000);
        } else {
            long bad = 0;
            peerReceives(s.peer[role].get(), static_cast<long>(pick(40)), &bad, 20000);
            peerBad += bad;
        }
        s.peer[role]->signal(SIGKILL);
        EXPECT_NE(s.peer[role]->wait(10000), -1);
        killedOutput += s.peer[role]->output();
        s.peer[role].reset();
        ++killCount[m][role];
        ++pointCount[point];
        if (role == PEER_WRITER) {
            // The reader sees its writer go, and takes the next one.
            EXPECT_TRUE(zqtest::waitUntil([&] { return !s.reader.reader->isConnect(); }, 20000))
                << kMedia[m].name << " cycle " << cycle;
        }
        bringUp(m, role);
        if (HasFatalFailure()) {
            return;
        }
    }

    // The surviving readers and writers still work; then every peer leaves in order.
    for (size_t m = 0; m < MEDIA; ++m) {
        Slot& s = *slots[m];
        EXPECT_TRUE(s.reader.receives(3, 20000)) << kMedia[m].name;
        long bad = 0;
        EXPECT_TRUE(peerReceives(s.peer[PEER_READER].get(), 3, &bad, 20000)) << kMedia[m].name;
        peerBad += bad;
        for (Role role : {PEER_WRITER, PEER_READER}) {
            zqtest::ChildProcess* peer = s.peer[role].get();
            EXPECT_TRUE(peer->writeInput("quit\n"));
            EXPECT_TRUE(peer->waitForLine("@@ pool 0", 20000)) << kMedia[m].name << ": " << peer->output();
            EXPECT_TRUE(peer->waitForLine("@@ bye", 20000)) << peer->output();
            EXPECT_NE(peer->wait(10000), -1);
            EXPECT_EQ(peer->exitCode(), 0);
            EXPECT_FALSE(hasSanitizerReport(peer->output())) << peer->output();
            s.peer[role].reset();
        }
    }
    EXPECT_FALSE(hasSanitizerReport(killedOutput)) << killedOutput;
    long localGood = 0;
    long localBad = 0;
    for (auto& s : slots) {
        localGood += s->reader.good.load();
        localBad += s->reader.bad.load();
    }
    std::printf("[soak] kills: %d cycles", kills);
    for (size_t m = 0; m < MEDIA; ++m) {
        std::printf(", %s %d writers %d readers", kMedia[m].name, killCount[m][PEER_WRITER], killCount[m][PEER_READER]);
    }
    std::printf("; killed %d %s, %d %s, %d %s; readers here got %ld whole and %ld broken, peers %ld broken\n",
                pointCount[0], pointNames[0], pointCount[1], pointNames[1], pointCount[2], pointNames[2], localGood,
                localBad, peerBad);
    EXPECT_EQ(localBad, 0);
    EXPECT_EQ(peerBad, 0);

    CParticipantImpl* impl = pubsub::participantOf(slots[0]->inTopic);
    for (auto& s : slots) {
        EXPECT_EQ(s->writer.close(local.get()), 0);
        EXPECT_EQ(s->reader.close(local.get()), 0);
    }
    EXPECT_TRUE(zqtest::waitUntil([&] { return impl->getMemPool()->getUsedSize() == 0; }, 10000))
        << impl->getMemPool()->getUsedSize() << " pool bytes still in use";
    for (auto& s : slots) {
        EXPECT_EQ(local->deleteTopic(s->inTopic), 0);
        EXPECT_EQ(local->deleteTopic(s->outTopic), 0);
    }
    local.reset();
    expectBackTo(start);
    EXPECT_EQ(hostEntries("ls -A /tmp | wc -l"), hostTmp) << "files in the other host's /tmp";
    EXPECT_EQ(hostEntries("tail -n +2 /proc/sysvipc/shm | wc -l"), hostSegments) << "segments of the other host";
}

} // namespace

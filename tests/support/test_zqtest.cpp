// The test support itself: isolation, capture, child processes and extra hosts.
#include "support/zqtest.h"
#include "utils/dds_common.h"

#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <linux/magic.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <thread>
#include <unistd.h>

namespace {

class SupportNsTest : public zqtest::NsTest {};

std::string nsLink(const std::string& path)
{
    char target[64] = {};
    return readlink(path.c_str(), target, sizeof(target) - 1) > 0 ? std::string(target) : std::string();
}

TEST_F(SupportNsTest, OwnNamespacesOwnTmpAndLoopbackWithMulticastRoute)
{
    // Network, IPC and mount namespaces other than those of the process that started this one.
    for (const char* ns : {"net", "ipc", "mnt"}) {
        const std::string mine = nsLink(std::string("/proc/self/ns/") + ns);
        const std::string parent = nsLink("/proc/" + std::to_string(getppid()) + "/ns/" + ns);
        ASSERT_FALSE(mine.empty()) << ns;
        ASSERT_FALSE(parent.empty()) << ns;
        EXPECT_NE(mine, parent) << ns;
    }

    // /tmp is a tmpfs of this process's own.
    struct statfs fs {};
    ASSERT_EQ(statfs("/tmp", &fs), 0);
    EXPECT_EQ(fs.f_type, static_cast<decltype(fs.f_type)>(TMPFS_MAGIC));
    std::ifstream mounts("/proc/self/mounts");
    std::string mount;
    bool ownTmp = false;
    while (std::getline(mounts, mount)) {
        ownTmp = ownTmp || mount.rfind("zqtest /tmp tmpfs ", 0) == 0;
    }
    EXPECT_TRUE(ownTmp);
    std::ofstream("/tmp/zqtest-probe") << "x";
    EXPECT_EQ(access("/tmp/zqtest-probe", F_OK), 0);

    std::string out;
    ASSERT_EQ(zqtest::runCommand({"ip", "-o", "link", "show"}, 10000, &out), 0) << out;
    // Only loopback exists here: nothing can reach the machine's real interfaces.
    EXPECT_EQ(out.find("eth0"), std::string::npos) << out;
    EXPECT_NE(out.find("lo:"), std::string::npos);
    EXPECT_NE(out.find("MULTICAST"), std::string::npos);
    EXPECT_NE(out.find("UP"), std::string::npos);
    ASSERT_EQ(zqtest::runCommand({"ip", "route", "show", "224.0.0.0/4"}, 10000, &out), 0);
    EXPECT_NE(out.find("dev lo"), std::string::npos) << out;
}

TEST_F(SupportNsTest, MulticastLoopsBackOnLo)
{
    int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(rx, 0);
    ASSERT_GE(tx, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(47001);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = inet_addr("224.5.6.7");
    mreq.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(setsockopt(rx, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)), 0);
    addr.sin_addr.s_addr = inet_addr("224.5.6.7");
    ASSERT_EQ(sendto(tx, "hi", 2, 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 2);
    pollfd pfd{rx, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    char buf[8];
    EXPECT_EQ(recv(rx, buf, sizeof(buf), 0), 2);
    close(rx);
    close(tx);
}

TEST_F(SupportNsTest, TreesUnderTmpStayReachableBehindAFreshTmp)
{
    // A checkout under /tmp, as this process's /tmp shows it: a tree to keep (with a build tree
    // inside it) and a sibling that the fresh /tmp is to hide.
    char tmpl[] = "/tmp/zqkeep.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string root = tmpl;
    const std::string tree = root + "/src";
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((tree + "/build").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/other").c_str(), 0755), 0);
    std::ofstream(tree + "/build/marker") << "built";

    // A thread of its own gets a mount namespace of its own; the test's /tmp stays as it is.
    std::string error;
    bool mounted = false;
    bool markerSeen = false;
    bool siblingHidden = false;
    bool probeHidden = false;
    std::ofstream("/tmp/zqkeep-probe") << "x";
    std::thread([&] {
        if (unshare(CLONE_NEWNS) != 0) {
            error = std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
            return;
        }
        mounted = zqtest::mountPrivateTmp({tree + "/build", tree, "/usr", "/tmp/zqkeep-missing"}, &error);
        std::ifstream marker(tree + "/build/marker");
        std::string text;
        markerSeen = static_cast<bool>(std::getline(marker, text)) && text == "built";
        siblingHidden = access((root + "/other").c_str(), F_OK) != 0;
        probeHidden = access("/tmp/zqkeep-probe", F_OK) != 0;
        // Written through the bind: the same tree, not a copy.
        std::ofstream(tree + "/written") << "y";
    }).join();
    ASSERT_TRUE(mounted) << error;
    EXPECT_TRUE(markerSeen);
    EXPECT_TRUE(siblingHidden);
    EXPECT_TRUE(probeHidden);
    EXPECT_EQ(access((tree + "/written").c_str(), F_OK), 0);
    EXPECT_EQ(zqtest::runCommand({"rm", "-rf", root, "/tmp/zqkeep-probe"}), 0);
}

TEST(SupportCaptureTest, CapturesDiagnosticLinesAndPerror)
{
    zqtest::OutputCapture cap;
    DDS_RED("Error: socket port container is empty!");
    DDS_YELLOW("Warning: %d left", 3);
    errno = ENOENT;
    perror("shmget");
    cap.stop();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "31", "Error: socket port container is empty!")) << cap.out();
    EXPECT_TRUE(zqtest::hasDdsLine(cap.out(), "33", "Warning: 3 left"));
    EXPECT_FALSE(zqtest::hasDdsLine(cap.out(), "32", "Warning: 3 left"));
    EXPECT_EQ(cap.err(), "shmget: No such file or directory\n");
    // The exact format: ESC[31m[DDS] text ESC[0m @function,line
    EXPECT_EQ(cap.out().rfind("\033[31m[DDS] Error: socket port container is empty!\033[0m @TestBody,", 0), 0u)
        << cap.out();
}

TEST(SupportProcessTest, SpawnWaitAndExitCode)
{
    auto child = zqtest::ChildProcess::spawn({"sh", "-c", "echo hello; read x; echo got $x; exit 3"});
    ASSERT_TRUE(child);
    EXPECT_TRUE(child->waitForLine("hello", 5000));
    child->writeInput("abc\n");
    std::string line;
    EXPECT_TRUE(child->waitForLine("got", 5000, &line));
    EXPECT_EQ(line, "got abc");
    EXPECT_NE(child->wait(5000), -1);
    EXPECT_EQ(child->exitCode(), 3);
}

class SupportHostNsTest : public zqtest::NsTest {};

TEST_F(SupportHostNsTest, VethJoinsTestProcessToExtraHost)
{
    std::string error;
    auto host = zqtest::NetHost::create(&error);
    ASSERT_TRUE(host) << error;
    ASSERT_TRUE(zqtest::joinHosts(nullptr, "zqa0", "198.18.7.1/24", host.get(), "zqb0", "198.18.7.2/24", &error))
        << error;
    auto echo = host->spawn({zqtest::helperPath("udpecho"), "47002"});
    ASSERT_TRUE(echo);
    ASSERT_TRUE(echo->waitForLine("udpecho: ready", 5000)) << echo->output();

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(47002);
    to.sin_addr.s_addr = inet_addr("198.18.7.2");
    ASSERT_EQ(sendto(fd, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 4);
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    char buf[8];
    EXPECT_EQ(recv(fd, buf, sizeof(buf), 0), 4);
    EXPECT_TRUE(echo->waitForLine("echoed 4 from 198.18.7.1", 5000)) << echo->output();
    close(fd);

    // The host has its own /tmp and IPC namespace.
    EXPECT_EQ(host->run({"sh", "-c", "touch /tmp/zq-host-only"}), 0);
    EXPECT_NE(access("/tmp/zq-host-only", F_OK), 0);

    // The pair vanishes with the host.
    host.reset();
    std::string out;
    EXPECT_TRUE(zqtest::waitUntil(
        [&] {
            zqtest::runCommand({"ip", "-o", "link", "show"}, 10000, &out);
            return out.find("zqa0") == std::string::npos;
        },
        5000))
        << out;
}

} // namespace

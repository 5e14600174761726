#include "support/zqtest.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zqtest {

namespace {

struct IsolationState {
    bool isolated{false};
    std::string error{"namespaces were not set up"};
};

IsolationState& state()
{
    static IsolationState s;
    return s;
}

std::string errnoText(const char* what)
{
    int err = errno;
    return std::string(what) + ": " + strerror(err);
}

bool addMulticastRoute(int sock, const std::string& ifName, std::string* error)
{
    struct rtentry rt;
    memset(&rt, 0, sizeof(rt));
    auto* dst = reinterpret_cast<sockaddr_in*>(&rt.rt_dst);
    dst->sin_family = AF_INET;
    dst->sin_addr.s_addr = inet_addr("224.0.0.0");
    auto* mask = reinterpret_cast<sockaddr_in*>(&rt.rt_genmask);
    mask->sin_family = AF_INET;
    mask->sin_addr.s_addr = inet_addr("240.0.0.0");
    rt.rt_flags = RTF_UP;
    std::string dev = ifName;
    rt.rt_dev = dev.data();
    if (ioctl(sock, SIOCADDRT, &rt) < 0 && errno != EEXIST) {
        *error = errnoText("SIOCADDRT 224.0.0.0/4");
        return false;
    }
    return true;
}

} // namespace

bool isolated() { return state().isolated; }

const std::string& isolationError() { return state().error; }

bool bringUp(const std::string& ifName, bool multicastRoute, std::string* error)
{
    std::string dummy;
    if (!error) {
        error = &dummy;
    }
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        *error = errnoText("socket");
        return false;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, ifName.c_str(), IFNAMSIZ - 1);
    bool ok = true;
    if (ioctl(sock, SIOCGIFFLAGS, &ifr) < 0) {
        *error = errnoText("SIOCGIFFLAGS");
        ok = false;
    } else {
        ifr.ifr_flags |= IFF_UP | IFF_MULTICAST;
        if (ioctl(sock, SIOCSIFFLAGS, &ifr) < 0) {
            *error = errnoText("SIOCSIFFLAGS");
            ok = false;
        }
    }
    if (ok && multicastRoute) {
        ok = addMulticastRoute(sock, ifName, error);
    }
    close(sock);
    return ok;
}

bool enterPrivateNamespaces(std::string* error)
{
    if (unshare(CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWNS) != 0) {
        *error = errnoText("unshare(CLONE_NEWNET|CLONE_NEWIPC|CLONE_NEWNS)");
        return false;
    }
    // Keep our mounts to ourselves, then give this process its own /tmp.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *error = errnoText("mount --make-rprivate /");
        return false;
    }
    if (mount("zqtest", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=256m") != 0) {
        *error = errnoText("mount tmpfs /tmp");
        return false;
    }
    if (!bringUp("lo", true, error)) {
        return false;
    }
    state().isolated = true;
    state().error.clear();
    return true;
}

int countOpenFds()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) {
        return -1;
    }
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count - 1; // the directory's own descriptor
}

int countThreads()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) {
        return -1;
    }
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

// Called once from zqtest_main before anything else runs.
void initIsolation()
{
    std::string error;
    if (!enterPrivateNamespaces(&error)) {
        state().error = error;
    }
}

} // namespace zqtest

#include "support/zqtest.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

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

bool isolated()
{
    return state().isolated;
}

const std::string& isolationError()
{
    return state().error;
}

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

bool mountPrivateTmp(const std::vector<std::string>& keep, std::string* error)
{
    // What lies under /tmp now vanishes behind the new tmpfs: hold each tree open first, then bind
    // it back at its own path. A tree inside another one kept comes along with it.
    std::vector<std::string> trees;
    for (const std::string& path : keep) {
        char real[PATH_MAX];
        if (realpath(path.c_str(), real) == nullptr) {
            continue;
        }
        std::string tree(real);
        if (tree.rfind("/tmp/", 0) == 0) {
            trees.push_back(tree);
        }
    }
    std::sort(trees.begin(), trees.end());
    std::vector<std::string> outer;
    for (const std::string& tree : trees) {
        if (outer.empty() || tree.rfind(outer.back() + "/", 0) != 0) {
            if (outer.empty() || tree != outer.back()) {
                outer.push_back(tree);
            }
        }
    }
    std::vector<int> fds;
    auto closeAll = [&fds] {
        for (int fd : fds) {
            close(fd);
        }
    };
    for (const std::string& tree : outer) {
        int fd = open(tree.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            *error = errnoText(("open " + tree).c_str());
            closeAll();
            return false;
        }
        fds.push_back(fd);
    }
    if (mount("zqtest", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=256m") != 0) {
        *error = errnoText("mount tmpfs /tmp");
        closeAll();
        return false;
    }
    bool ok = true;
    for (size_t i = 0; ok && i < outer.size(); ++i) {
        // mkdir -p of the tree's path inside the fresh /tmp.
        for (size_t slash = outer[i].find('/', 5); ok; slash = outer[i].find('/', slash + 1)) {
            const std::string dir = outer[i].substr(0, slash);
            if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
                *error = errnoText(("mkdir " + dir).c_str());
                ok = false;
            }
            if (slash == std::string::npos) {
                break;
            }
        }
        const std::string source = "/proc/self/fd/" + std::to_string(fds[i]);
        if (ok && mount(source.c_str(), outer[i].c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            *error = errnoText(("bind " + outer[i]).c_str());
            ok = false;
        }
    }
    closeAll();
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
    // A checkout under /tmp stays reachable: sources, build tree (helpers, install manifest) and
    // the directory of this very program.
    std::vector<std::string> keep = {ZQTEST_SOURCE_DIR, ZQTEST_BINARY_DIR};
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string exe(self);
        keep.push_back(exe.substr(0, exe.rfind('/')));
    }
    if (!mountPrivateTmp(keep, error)) {
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

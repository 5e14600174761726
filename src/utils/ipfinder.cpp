#include "utils/ipfinder.h"

#include "utils/dds_common.h"
#include "utils/unique_fd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Resolves `host` in one family and gives the numeric text of the first result.
std::string resolveFirst(const std::string& host, int family)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = family;
    struct addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) {
        return std::string();
    }
    std::string text;
    if (result && result->ai_addr && result->ai_family == family) {
        char buf[INET6_ADDRSTRLEN] = {};
        const void* src = nullptr;
        socklen_t size = 0;
        if (family == AF_INET) {
            src = &reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
            size = INET_ADDRSTRLEN;
        } else {
            src = &reinterpret_cast<const sockaddr_in6*>(result->ai_addr)->sin6_addr;
            size = INET6_ADDRSTRLEN;
        }
        if (inet_ntop(family, src, buf, size)) {
            text = buf;
        }
    }
    freeaddrinfo(result);
    return text;
}

} // namespace

bool CIPFinder::MacInfo_t::operator==(const MacInfo_t& other) const
{
    return memcmp(m_u8Mac, other.m_u8Mac, sizeof(m_u8Mac)) == 0;
}

bool CIPFinder::getIPs(std::vector<IPInfo_t>& list, bool /*reserved*/)
{
    struct ifaddrs* ifList = nullptr;
    if (getifaddrs(&ifList) != 0) {
        ddsPerror("getifaddrs");
        return false;
    }
    for (struct ifaddrs* ifa = ifList; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr) {
            continue;
        }
        int family = ifa->ifa_addr->sa_family;
        socklen_t addrLen = 0;
        if (family == AF_INET) {
            addrLen = sizeof(struct sockaddr_in);
        } else if (family == AF_INET6) {
            addrLen = sizeof(struct sockaddr_in6);
        } else {
            continue;
        }
        char host[NI_MAXHOST];
        if (getnameinfo(ifa->ifa_addr, addrLen, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0) {
            continue;
        }
        IPInfo_t info;
        info.m_iIpType = family == AF_INET ? 0 : 1;
        info.m_strIp = host;
        info.m_strName = ifa->ifa_name ? ifa->ifa_name : "";
        list.push_back(std::move(info));
    }
    freeifaddrs(ifList);
    return true;
}

std::string CIPFinder::getIPAddr(const std::string& ifName)
{
    std::vector<IPInfo_t> list;
    if (!getIPs(list, false)) {
        return std::string();
    }
    for (const IPInfo_t& info : list) {
        if (info.m_strName == ifName) {
            return info.m_strIp;
        }
    }
    return std::string();
}

std::string CIPFinder::getIPv4Address(const std::string& host)
{
    return resolveFirst(host, AF_INET);
}

std::string CIPFinder::getIPv6Address(const std::string& host)
{
    return resolveFirst(host, AF_INET6);
}

bool CIPFinder::getAllMACAddress(std::vector<MacInfo_t>& list)
{
    std::vector<IPInfo_t> ips;
    if (!getIPs(ips, false)) {
        return false;
    }
    for (const IPInfo_t& info : ips) {
        CUniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!sock) {
            return false;
        }
        struct ifreq ifr;
        memset(&ifr, 0, sizeof(ifr));
        strncpy(ifr.ifr_name, info.m_strName.c_str(), IFNAMSIZ - 1);
        int rc = ioctl(sock.get(), SIOCGIFHWADDR, &ifr);
        if (rc != 0) {
            return false;
        }
        if (ifr.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
            continue;
        }
        MacInfo_t mac;
        memcpy(mac.m_u8Mac, ifr.ifr_hwaddr.sa_data, sizeof(mac.m_u8Mac));
        if (std::find(list.begin(), list.end(), mac) == list.end()) {
            list.push_back(mac);
        }
    }
    return true;
}

// Host network interface addresses: the address of a named interface, name lookups per family,
// the hardware addresses. Stateless; every operation may run on any thread at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CIPFinder {
public:
    // One address of one interface.
    struct IPInfo_t {
        int m_iIpType{0};      // 0 IPv4, 1 IPv6
        std::string m_strIp;   // numeric text
        std::string m_strName; // interface carrying the address

        IPInfo_t() = default;
        IPInfo_t(const IPInfo_t&) = default;
        IPInfo_t(IPInfo_t&&) noexcept = default;
        IPInfo_t& operator=(const IPInfo_t&) = default;
        IPInfo_t& operator=(IPInfo_t&&) noexcept = default;
    };

    // One Ethernet hardware address, bytes in the order the system reports them.
    struct MacInfo_t {
        uint8_t m_u8Mac[6]{};

        bool operator==(const MacInfo_t& other) const;
        bool operator!=(const MacInfo_t& other) const { return !(*this == other); }
    };

    CIPFinder() = default;
    ~CIPFinder() = default;

    // Appends every IPv4 and IPv6 address of every interface, in the system's order; the vector
    // is not cleared. The flag is reserved and selects nothing. False only when the interface
    // list cannot be read.
    static bool getIPs(std::vector<IPInfo_t>& list, bool reserved);
    // The first address (either family) that getIPs lists for `ifName`; "" when there is none.
    static std::string getIPAddr(const std::string& ifName);
    // The first IPv4 / IPv6 address that a host name or address text resolves to; "" on failure.
    static std::string getIPv4Address(const std::string& host);
    static std::string getIPv6Address(const std::string& host);
    // Appends the distinct Ethernet hardware addresses of the interfaces that carry an address;
    // false at the first failed query (what was appended before stays).
    static bool getAllMACAddress(std::vector<MacInfo_t>& list);
};

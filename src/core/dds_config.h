// Reads a participant's configuration from a JSON file, one item per getter.
//
// Threads: the participant calls it on its constructing thread only; it keeps no state but the path.
#pragma once

#include <string>
#include <vector>

class CDDSConfig {
public:
    // Stores the path; the file is opened and parsed anew by every getter.
    explicit CDDSConfig(const std::string& path);

    // Reads the file once and reports, for the whole start-up, what the getters cannot: a red line
    // naming the path when it cannot be read (-1), a yellow line for every member that no getter
    // reads (0). A malformed file gives 0 here; each getter reports it.
    int checkFile();

    // Each gives 0 when it delivered its value and -1 when it did not (file not open, malformed
    // JSON, missing key, wrong type, out-of-range value); on -1 the output is left alone, except
    // where a getter says otherwise.

    int getDomainId(int& id);
    // Stores the group before it reads the port, so a bad port leaves the new group in place.
    int getMulticastInfo(std::string& ip, int& port);
    int getDiscoverPeriod(int& period);
    int getEthDevName(std::string& name);
    // The range getters append (never clear) the numbers of a "lo-hi" text, hi - 1 down to lo; a
    // range that is empty or does not scan appends nothing and gives 0, after a red line. Ports
    // lie in 1..65535; index and key ranges hold at most 65536 numbers.
    // Ports of `transport.portRange`, then every number of `transport.excludePort` erased from the list.
    int getTransportSocketPorts(std::vector<int>& ports);
    int getTransportUnixSocketIdx(std::vector<int>& ids);
    // Key numbers without SHM_KEY_OFFSET; numbers that would give a key of 0 or below are skipped
    // with a warning.
    int getTransportShmKey(std::vector<int>& keys);
    int getMaxMemPoolSize(int& size);

private:
    std::string m_strPath;
};

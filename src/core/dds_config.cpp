#include "core/dds_config.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/resource_manager.h"
#include "utils/dds_common.h"

namespace {

using Json = nlohmann::json;

// A value that the JSON library would convert silently (true to 1, 6.9 to 6, wrapping big numbers).
class ConfigValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

int toInt(const Json& value)
{
    if (value.is_boolean()) {
        throw ConfigValueError("type must be number, but is boolean");
    }
    if (value.is_number_float()) {
        throw ConfigValueError("number " + value.dump() + " is not an integer");
    }
    if (value.is_number_unsigned()) {
        if (value.get<uint64_t>() > static_cast<uint64_t>(INT_MAX)) {
            throw ConfigValueError("number " + value.dump() + " does not fit in int");
        }
    } else if (value.is_number_integer()) {
        int64_t number = value.get<int64_t>();
        if (number < INT_MIN || number > INT_MAX) {
            throw ConfigValueError("number " + value.dump() + " does not fit in int");
        }
    }
    // Every other type gets the library's own type error here.
    return value.get<int>();
}

// Opens and parses the whole file, then runs `read` on the document. The parse takes the whole
// stream, so bytes after the value are a syntax error.
template <typename Read> int withDocument(const std::string& path, Read read)
{
    std::ifstream in(path);
    if (!in.is_open()) {
        DDS_GREEN("%s is not open!", path.c_str());
        return -1;
    }
    try {
        Json doc = Json::parse(in);
        return read(doc);
    } catch (const std::exception& e) {
        DDS_RED("Error: parse failed! %s", e.what());
        return -1;
    }
}

// Which range texts are accepted; computed in 64 bits so no bound can overflow.
struct RangeRule {
    long long minLo;
    long long maxHi; // the excluded upper bound
    long long maxCount;
};

constexpr RangeRule PORT_RANGE{1, 65536, 65535};
constexpr RangeRule INDEX_RANGE{INT_MIN, INT_MAX + 1LL, 65536};
// Numbers above INT_MAX - SHM_KEY_OFFSET give no key that fits in an int.
constexpr RangeRule KEY_RANGE{INT_MIN, INT_MAX - SHM_KEY_OFFSET + 1LL, 65536};

// Appends hi - 1 down to lo of the "lo-hi" text `value`. An empty, reversed or unscannable range
// gives a red line, appends nothing and gives 0; a range beyond `rule` gives a red line, appends
// nothing and gives -1.
int appendRange(const Json& value, const char* key, const RangeRule& rule, bool shmKeys, std::vector<int>& out)
{
    std::string text = value.get<std::string>();
    long long lo = 0;
    long long hi = 0;
    // Whatever the scan leaves unfilled stays 0.
    int scanned = sscanf(text.c_str(), "%lld-%lld", &lo, &hi);
    if (scanned != 2 || hi <= lo) {
        // Said here: the empty pool would otherwise show only when a writer is made.
        DDS_RED("Error: %s %s is not a range lo-hi with lo below hi!", key, text.c_str());
        return 0;
    }
    if (lo < rule.minLo || hi > rule.maxHi || hi - lo > rule.maxCount) {
        DDS_RED("Error: %s %s is out of range!", key, text.c_str());
        return -1;
    }
    out.reserve(out.size() + static_cast<size_t>(hi - lo));
    for (long long n = hi - 1; n >= lo; --n) {
        int number = static_cast<int>(n);
        if (shmKeys && !CResourceManager::isUsableShmKeyNumber(number)) {
            DDS_YELLOW("Warning: share memory key number %d would give the reserved key %d, skipped.", number,
                       CResourceManager::shmKeyOf(number));
            continue;
        }
        out.push_back(number);
    }
    return 0;
}

// The members each object of the file may hold; nothing else is read.
const std::map<std::string, std::set<std::string>>& knownKeys()
{
    static const std::map<std::string, std::set<std::string>> keys = {
        {"domain", {"id", "multicastIp", "multicastPort", "period"}},
        {"network", {"ethName"}},
        {"transport", {"portRange", "excludePort", "domainSockRange", "shmKeyRange"}},
        {"mempool", {"maxSize"}},
    };
    return keys;
}

} // namespace

int CDDSConfig::checkFile()
{
    std::FILE* file = std::fopen(m_strPath.c_str(), "r");
    if (file == nullptr) {
        int err = errno;
        DDS_RED("Error: config file %s cannot be read: %s!", m_strPath.c_str(), std::strerror(err));
        return -1;
    }
    std::string text;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof(buf), file)) > 0) {
        text.append(buf, n);
    }
    int err = std::ferror(file) != 0 ? errno : 0;
    std::fclose(file);
    if (err != 0) {
        // A directory opens, and fails only here.
        DDS_RED("Error: config file %s cannot be read: %s!", m_strPath.c_str(), std::strerror(err));
        return -1;
    }
    Json doc = Json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        return 0; // every getter says why
    }
    // A misspelt key would otherwise leave its default in place without a word.
    for (const auto& member : doc.items()) {
        auto known = knownKeys().find(member.key());
        if (known == knownKeys().end()) {
            DDS_YELLOW("Warning: unknown key %s in %s, ignored.", member.key().c_str(), m_strPath.c_str());
            continue;
        }
        if (!member.value().is_object()) {
            continue; // its getters report the type
        }
        for (const auto& item : member.value().items()) {
            if (known->second.count(item.key()) == 0) {
                DDS_YELLOW("Warning: unknown key %s.%s in %s, ignored.", member.key().c_str(), item.key().c_str(),
                           m_strPath.c_str());
            }
        }
    }
    return 0;
}

CDDSConfig::CDDSConfig(const std::string& path) : m_strPath(path) {}

int CDDSConfig::getDomainId(int& id)
{
    return withDocument(m_strPath, [&id](Json& doc) {
        id = toInt(doc["domain"]["id"]);
        return 0;
    });
}

int CDDSConfig::getMulticastInfo(std::string& ip, int& port)
{
    return withDocument(m_strPath, [&ip, &port](Json& doc) {
        ip = doc["domain"]["multicastIp"].get<std::string>();
        port = toInt(doc["domain"]["multicastPort"]);
        return 0;
    });
}

int CDDSConfig::getDiscoverPeriod(int& period)
{
    return withDocument(m_strPath, [&period](Json& doc) {
        period = toInt(doc["domain"]["period"]);
        return 0;
    });
}

int CDDSConfig::getEthDevName(std::string& name)
{
    return withDocument(m_strPath, [&name](Json& doc) {
        name = doc["network"]["ethName"].get<std::string>();
        return 0;
    });
}

int CDDSConfig::getTransportSocketPorts(std::vector<int>& ports)
{
    return withDocument(m_strPath, [&ports](Json& doc) {
        Json& transport = doc["transport"];
        if (appendRange(transport["portRange"], "portRange", PORT_RANGE, false, ports) != 0) {
            return -1;
        }
        const Json& exclude = transport["excludePort"];
        if (exclude.is_null()) {
            return 0;
        }
        if (!exclude.is_array()) {
            throw ConfigValueError(std::string("type must be array, but is ") + exclude.type_name());
        }
        for (const Json& element : exclude) {
            int port = toInt(element);
            ports.erase(std::remove(ports.begin(), ports.end(), port), ports.end());
        }
        return 0;
    });
}

int CDDSConfig::getTransportUnixSocketIdx(std::vector<int>& ids)
{
    return withDocument(m_strPath, [&ids](Json& doc) {
        return appendRange(doc["transport"]["domainSockRange"], "domainSockRange", INDEX_RANGE, false, ids);
    });
}

int CDDSConfig::getTransportShmKey(std::vector<int>& keys)
{
    return withDocument(m_strPath, [&keys](Json& doc) {
        return appendRange(doc["transport"]["shmKeyRange"], "shmKeyRange", KEY_RANGE, true, keys);
    });
}

int CDDSConfig::getMaxMemPoolSize(int& size)
{
    return withDocument(m_strPath, [&size](Json& doc) {
        size = toInt(doc["mempool"]["maxSize"]);
        return 0;
    });
}

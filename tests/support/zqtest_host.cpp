#include "support/zqtest.h"

#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace zqtest {

namespace {

std::vector<std::string> inHost(const NetHost* host, const std::vector<std::string>& argv)
{
    if (!host) {
        return argv;
    }
    std::vector<std::string> full = {"nsenter", "-t", std::to_string(host->pid()), "-n", "-i", "-m", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

bool step(const NetHost* host, const std::vector<std::string>& argv, std::string* error)
{
    std::string out;
    int rc = runCommand(inHost(host, argv), 10000, &out);
    if (rc != 0) {
        if (error) {
            std::string cmd;
            for (const auto& a : argv) {
                cmd += a + " ";
            }
            *error = cmd + "failed (" + std::to_string(rc) + "): " + out;
        }
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<NetHost> NetHost::create(std::string* error)
{
    std::unique_ptr<NetHost> host(new NetHost());
    host->m_holder = ChildProcess::spawn({helperPath("nshost")}, error);
    if (!host->m_holder) {
        return nullptr;
    }
    std::string line;
    if (!host->m_holder->waitForLine("nshost:", 10000, &line) || line != "nshost: ready") {
        if (error) {
            *error = "host did not start: " + host->m_holder->output();
        }
        return nullptr;
    }
    return host;
}

NetHost::~NetHost()
{
    // Closing its stdin ends the holder; the destructor of the child kills it if it lingers.
    if (m_holder) {
        m_holder->closeInput();
        m_holder->wait(2000);
    }
}

std::unique_ptr<ChildProcess> NetHost::spawn(const std::vector<std::string>& argv, std::string* error)
{
    return ChildProcess::spawn(inHost(this, argv), error);
}

int NetHost::run(const std::vector<std::string>& argv, int timeoutMs, std::string* output)
{
    return runCommand(inHost(this, argv), timeoutMs, output);
}

bool joinHosts(NetHost* a, const std::string& ifA, const std::string& cidrA, NetHost* b, const std::string& ifB,
               const std::string& cidrB, std::string* error)
{
    // The pair is made in this process's namespace before its ends move: never in the machine's.
    if (!isolated()) {
        if (error) {
            *error = "joinHosts: this process does not run in private namespaces";
        }
        return false;
    }
    if (!step(nullptr, {"ip", "link", "add", ifA, "type", "veth", "peer", "name", ifB}, error)) {
        return false;
    }
    if (a && !step(nullptr, {"ip", "link", "set", ifA, "netns", std::to_string(a->pid())}, error)) {
        step(nullptr, {"ip", "link", "del", ifA}, nullptr);
        return false;
    }
    if (b && !step(nullptr, {"ip", "link", "set", ifB, "netns", std::to_string(b->pid())}, error)) {
        if (!a) {
            step(nullptr, {"ip", "link", "del", ifA}, nullptr);
        }
        return false;
    }
    const struct {
        NetHost* host;
        const std::string& ifName;
        const std::string& cidr;
    } ends[] = {{a, ifA, cidrA}, {b, ifB, cidrB}};
    for (const auto& end : ends) {
        if (!step(end.host, {"ip", "addr", "add", end.cidr, "dev", end.ifName}, error) ||
            !step(end.host, {"ip", "link", "set", end.ifName, "multicast", "on", "up"}, error) ||
            !step(end.host, {"ip", "route", "replace", "224.0.0.0/4", "dev", end.ifName}, error)) {
            return false;
        }
    }
    return true;
}

bool joinedOn(const std::string& ifName, const std::string& group)
{
    char hex[16];
    snprintf(hex, sizeof(hex), "%08X", inet_addr(group.c_str()));
    std::ifstream in("/proc/net/igmp");
    std::string line;
    std::string device;
    while (std::getline(in, line)) {
        if (line.empty() || line.rfind("Idx", 0) == 0) {
            continue;
        }
        std::istringstream fields(line);
        if (line[0] != '\t') {
            std::string index;
            fields >> index >> device;
        } else {
            std::string value;
            fields >> value;
            if (device == ifName && value == hex) {
                return true;
            }
        }
    }
    return false;
}

std::string routeDevice(const std::string& addr)
{
    std::string out;
    if (runCommand({"ip", "-o", "route", "get", addr}, 10000, &out) != 0) {
        return "";
    }
    std::istringstream words(out);
    std::string word;
    while (words >> word) {
        if (word == "dev" && words >> word) {
            return word;
        }
    }
    return "";
}

} // namespace zqtest

// A discovery engine in a process (and host) of its own, over hooks that publish one topic and
// wait for another. It prints "ready" once running and "taken <topic> <ip> <port>" when an answer
// for the topic it waits for arrives; on "quit" or end of input it stops and prints "bye".
//
// Usage: zqh_discovery_peer <host ip> <group> <port> <domain> <period s>
//                           <published topic> <control port> <awaited topic>
#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "core/discovery.h"
#include "core/resource_manager.h"

namespace {

class PeerHooks : public CDiscoveryHooks {
public:
    PeerHooks(int domain, std::string published, const TransParam_t& control, std::string awaited)
        : m_domain(domain), m_published(std::move(published)), m_control(control), m_awaited(std::move(awaited))
    {
    }
    int getDomainId() override { return m_domain; }
    int getUnsubscribedTopic(std::vector<std::string>& out) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (!m_taken) {
            out.push_back(m_awaited);
        }
        return static_cast<int>(out.size());
    }
    int getPubTopicMsgTransParam(const std::string& name, TransParam_t* out) override
    {
        if (name != m_published) {
            return -1;
        }
        *out = m_control;
        return 0;
    }
    int setSubTopicMsgTransParam(const std::string& name, TransParam_t& param) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (m_taken || name != m_awaited) {
            return -1;
        }
        m_taken = true;
        std::printf("taken %s %s %d\n", name.c_str(), param.m_tcpParam.m_szIp, param.m_tcpParam.m_iPort);
        std::fflush(stdout);
        return 0;
    }

private:
    int m_domain;
    std::string m_published;
    TransParam_t m_control;
    std::string m_awaited;
    std::mutex m_mtx;
    bool m_taken{false};
};

} // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 9) {
        std::fprintf(stderr,
                     "usage: %s <host ip> <group> <port> <domain> <period s> <published topic> "
                     "<control port> <awaited topic>\n",
                     argv[0]);
        return 2;
    }
    CResourceManager::getInstance()->setHostEthIp("peer", argv[1]);
    TransParam_t control;
    std::memset(&control, 0, sizeof(control));
    control.m_iType = TRANS_TYPE_TCP;
    std::strncpy(control.m_tcpParam.m_szIp, argv[1], sizeof(control.m_tcpParam.m_szIp) - 1);
    control.m_tcpParam.m_iPort = std::atoi(argv[7]);
    PeerHooks hooks(std::atoi(argv[4]), argv[6], control, argv[8]);
    {
        CDiscovery discovery(&hooks, argv[2], std::atoi(argv[3]), std::atoi(argv[5]));
        discovery.run();
        std::printf("ready\n");
        std::fflush(stdout);
        discovery.trigger(argv[8]);
        std::string line;
        while (std::getline(std::cin, line) && line != "quit") {
        }
        discovery.stop();
    }
    std::printf("bye\n");
    std::fflush(stdout);
    return 0;
}

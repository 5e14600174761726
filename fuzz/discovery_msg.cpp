// Fuzzes the discovery decoders: no input is read beyond its length, and whatever decodes
// encodes back to a message that decodes to the same fields.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/discovery.h"

namespace {

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    (void)discoveryMsgType(data, size);

    DiscoveryMsg_t msg;
    if (decodeDiscoveryMsg(data, size, &msg)) {
        check(isValidTopicName(msg.m_strTopicName));
        uint8_t buf[DISCOVERY_MSG_SIZE];
        check(encodeDiscoveryMsg(msg, buf, sizeof(buf)) == DISCOVERY_MSG_SIZE);
        DiscoveryMsg_t back;
        check(decodeDiscoveryMsg(buf, sizeof(buf), &back));
        check(back.m_strHostIp == msg.m_strHostIp && back.m_strTopicName == msg.m_strTopicName &&
              back.m_iDomainId == msg.m_iDomainId && back.m_u64TimeStamp == msg.m_u64TimeStamp);
    }

    DiscoveryAckMsg_t ack;
    if (decodeDiscoveryAckMsg(data, size, &ack)) {
        check(isValidControlEndpoint(ack.m_stTransParam) && isValidTopicName(ack.m_strTopicName));
        uint8_t buf[DISCOVERY_ACK_MSG_SIZE];
        check(encodeDiscoveryAckMsg(ack, buf, sizeof(buf)) == DISCOVERY_ACK_MSG_SIZE);
        DiscoveryAckMsg_t back;
        check(decodeDiscoveryAckMsg(buf, sizeof(buf), &back));
        check(back.m_strHostIp == ack.m_strHostIp && back.m_strTopicName == ack.m_strTopicName &&
              back.m_iDomainId == ack.m_iDomainId &&
              std::memcmp(&back.m_stTransParam, &ack.m_stTransParam, sizeof(TransParam_t)) == 0);
    }
    return 0;
}

#ifndef ZQ_LIBFUZZER
#include "seeds.h"

// Without libFuzzer: the seeds, every truncation of them and every single-byte change, each in a
// buffer of exactly its length so that a sanitizer sees any read past the end; then the corpus.
int main(int argc, char** argv)
{
    std::vector<std::vector<uint8_t>> seeds;
    DiscoveryMsg_t msg;
    msg.m_strHostIp = "198.18.50.1";
    msg.m_strTopicName = "h10_fuzz";
    msg.m_iDomainId = 50;
    msg.m_u64TimeStamp = 1700000000123456ULL;
    seeds.emplace_back(DISCOVERY_MSG_SIZE);
    encodeDiscoveryMsg(msg, seeds.back().data(), seeds.back().size());
    DiscoveryAckMsg_t ack;
    ack.m_strHostIp = "198.18.50.2";
    ack.m_stTransParam.m_iType = TRANS_TYPE_TCP;
    std::strcpy(ack.m_stTransParam.m_tcpParam.m_szIp, "198.18.50.2");
    ack.m_stTransParam.m_tcpParam.m_iPort = 50500;
    ack.m_strTopicName = std::string(127, 'q');
    ack.m_iDomainId = 50;
    seeds.emplace_back(DISCOVERY_ACK_MSG_SIZE);
    encodeDiscoveryAckMsg(ack, seeds.back().data(), seeds.back().size());

    return zqfuzz::seedMain(argc, argv, seeds, [](const std::vector<zqfuzz::Seed>& built) {
        long runs = 0;
        auto run = [&runs](const std::vector<uint8_t>& input) {
            std::vector<uint8_t> exact(input); // heap copy of exactly its size
            LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
            ++runs;
        };
        for (const auto& seed : built) {
            for (size_t len = 0; len <= seed.size(); ++len) {
                run(std::vector<uint8_t>(seed.begin(), seed.begin() + static_cast<long>(len)));
            }
            for (size_t at = 0; at < seed.size(); ++at) {
                for (uint8_t value : {uint8_t(0), uint8_t(0xFF), uint8_t(seed[at] ^ 0x01)}) {
                    std::vector<uint8_t> changed = seed;
                    changed[at] = value;
                    run(changed);
                }
            }
        }
        return runs;
    });
}
#endif

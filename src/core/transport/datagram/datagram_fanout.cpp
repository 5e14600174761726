#include "core/transport/datagram/datagram_fanout.h"

#include "core/transport/datagram/fragment_gather.h"
#include "core/transport/transport.h"

bool CDatagramFanout::send(std::vector<uint8_t>& scratch, const uint8_t* pkg, int len,
                           const std::vector<DatagramTarget_t>& targets)
{
    bool built = false;
    return send(scratch, 1, &pkg, &len, targets, &built) == 1;
}

size_t CDatagramFanout::send(std::vector<uint8_t>& scratch, size_t count, const uint8_t* const* pkgs, const int* lens,
                             const std::vector<DatagramTarget_t>& targets, bool* built)
{
    m_gathered.clear();
    size_t cut = 0;
    for (size_t i = 0; i < count; ++i) {
        built[i] = !targets.empty() && pkgs[i] != nullptr && lens[i] >= static_cast<int>(DDS_HEADER_SIZE) &&
                   appendFragments(pkgs[i], static_cast<size_t>(lens[i]), m_u32FragPayload, scratch, m_gathered);
        cut += built[i] ? 1 : 0;
    }
    if (cut == 0) {
        return 0;
    }
    auto job = [&targets, this](size_t index) { sendToTarget(targets[index], m_gathered); };
    m_workers.run(targets.size(), job);
    return cut;
}

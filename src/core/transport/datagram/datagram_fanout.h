// One package's datagrams to every destination of a datagram sender.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/transport/datagram/datagram_target.h"
#include "core/transport/datagram/send_workers.h"

// Cuts each package once and sends the same datagrams to every target, the targets in parallel
// when there are several (CSendWorkers), so one slow reader delays no other. Used by one send
// thread only; its lists and workers are kept between packages.
class CDatagramFanout {
public:
    explicit CDatagramFanout(uint32_t fragPayload) : m_u32FragPayload(fragPayload) {}

    // Sends one package to every target without copying the payload: the fragment headers are
    // written in the caller's `scratch` (grown to the largest package's, DDS_HEADER_SIZE bytes a
    // fragment) and each datagram is gathered from its header and its slice of `pkg`. False for
    // no target, a malformed package, or a scratch that cannot grow.
    bool send(std::vector<uint8_t>& scratch, const uint8_t* pkg, int len, const std::vector<DatagramTarget_t>& targets);
    // The same for `count` packages at once: their frames go to each target in this order, batched
    // across packages. `built[i]` tells whether package i was cut (false for a malformed one, or
    // all false for no target or a scratch that cannot grow); the number cut.
    size_t send(std::vector<uint8_t>& scratch, size_t count, const uint8_t* const* pkgs, const int* lens,
                const std::vector<DatagramTarget_t>& targets, bool* built);
    // Stops the workers (the owner's stop, once the send thread is joined).
    void stop() { m_workers.stop(); }

    uint32_t getFragPayload() const { return m_u32FragPayload; }

private:
    uint32_t m_u32FragPayload;
    GatheredList_t m_gathered;
    CSendWorkers m_workers;
};

// Placeholder receiver of the PCIe type code: it touches no device and delivers nothing; once
// started, its thread only waits to be stopped.
//
// Threads: the reading side's control thread calls init, deinit and the destructor
// (m_mutexState serialises them); application threads call the forwarding operations and getFps.
// m_mutexStop guards the wake-up of the thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include "core/transport/receiver.h"

class CPCIeReceiver : public CDataReceiver {
public:
    CPCIeReceiver(const std::string& topicName, CDataManager* dataManager);
    explicit CPCIeReceiver(CDataManager* dataManager);
    ~CPCIeReceiver() override;

    bool init(TransParam_t& param) override;
    void deinit() override;
    int getFps() override;
    void recvTask() override;

private:
    std::mutex m_mutexState;
    std::mutex m_mutexStop;
    std::condition_variable m_cvStop;
};

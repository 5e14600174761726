// Placeholder sender of the PCIe type code: it touches no device, accepts no connection and
// carries nothing; once started, its thread only waits to be stopped.
//
// Threads: whoever owns the sender calls every operation; the thread waits on m_cvStop.
// m_mutexState serialises init and deinit; m_mutexStop guards the wake-up of the thread.
#pragma once

#include <condition_variable>
#include <mutex>

#include "core/transport/sender.h"

class CPCIeSender : public CDataSender {
public:
    explicit CPCIeSender(CDataManager* dataManager);
    ~CPCIeSender() override;

    bool init() override;
    bool isInit() override;
    void deinit() override;
    bool addConn(int connId, TransParam_t& param) override;
    bool delConn(int connId) override;
    bool isConnExist(int connId) override;
    int getClientCount() override;
    int getPort(int connId) override;
    int getFps() override;
    void sendTask() override;

private:
    std::mutex m_mutexState;
    std::mutex m_mutexStop;
    std::condition_variable m_cvStop;
};

// The in-process package FIFO of a data center.
//
// Threads: the center's fan-out pushes (with the center's FIFO-list mutex held); one reader
// takes, gives back, and creates and destroys the FIFO itself. Lock order: the center's
// m_mtxFifo, then m_mtxQueue, then the pool's locks.
#pragma once

#include "memory/datafifo.h"

class CDataCenter;

class CNormalDataFifo : public CDataFifo {
public:
    // Attaches itself to `center` when it is not null. A FIFO without a center refuses every
    // package, since it could not give one back.
    CNormalDataFifo(CDataCenter* center, int policy, int depth);
    // Detaches first (which waits for a running fan-out), then disables, wakes the reader and
    // releases what is queued. Runs on the reading thread.
    ~CNormalDataFifo() override;

    void clear() override;
    int pushDataPackage(DataPackage_t* pkg) override;
    DataPackage_t* getDataPackage(int timeoutMs) override;
    void releaseDataPackage(DataPackage_t* pkg) override;

    CDataCenter* getDataCenter() const { return m_pDataCenter; }

private:
    CDataCenter* m_pDataCenter;
};

// The package FIFO whose packages belong to a shared-memory client: every package it drops,
// clears or gives back goes back to its pool mapping, found by address (no client needed).
//
// Threads: the client's dispatch pushes (with the client's FIFO-list mutex held); one reader
// takes, gives back, and creates and destroys the FIFO itself. Lock order: the client's FIFO-list
// mutex, then m_mtxQueue; packages are given back after m_mtxQueue is released.
#pragma once

#include "memory/datafifo.h"

class CShmClient;

class CShmDataFifo : public CDataFifo {
public:
    // Attaches itself to `client` when it is not null.
    CShmDataFifo(CShmClient* client, int policy, int depth);
    // Detaches first (which waits for a running dispatch), then disables, wakes the reader and
    // gives back what is queued.
    ~CShmDataFifo() override;

    void clear() override;
    int pushDataPackage(DataPackage_t* pkg) override;
    DataPackage_t* getDataPackage(int timeoutMs) override;
    // Gives the package back to its mapping, also once the FIFO is disabled.
    void releaseDataPackage(DataPackage_t* pkg) override;

    CShmClient* getShmClient() const { return m_pClient; }

private:
    void giveBack(DataPackage_t* pkg);

    CShmClient* m_pClient;
};

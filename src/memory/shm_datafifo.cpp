#include "memory/shm_datafifo.h"

#include "memory/held_pkg.h"
#include "memory/shm_client.h"

CShmDataFifo::CShmDataFifo(CShmClient* client, int policy, int depth) : CDataFifo(policy, depth), m_pClient(client)
{
    if (m_pClient != nullptr) {
        m_pClient->attachFifo(this);
    }
}

CShmDataFifo::~CShmDataFifo()
{
    // Detaching takes the client's FIFO-list mutex, so no dispatch is inside a push once it
    // returns and none can start one; only then is the queue emptied for good.
    if (m_pClient != nullptr) {
        m_pClient->detachFifo(this);
    }
    disable();
    CShmDataFifo::clear();
}

void CShmDataFifo::giveBack(DataPackage_t* pkg)
{
    // Needs no client: the package's mapping outlives it while held.
    CHeldPkg::releaseByAddress(pkg, nullptr);
}

void CShmDataFifo::clear()
{
    std::queue<DataPackage_t*> pkgs;
    {
        std::lock_guard<std::mutex> lock(m_mtxQueue);
        drainLocked(pkgs);
    }
    while (!pkgs.empty()) {
        giveBack(pkgs.front());
        pkgs.pop();
    }
}

int CShmDataFifo::pushDataPackage(DataPackage_t* pkg)
{
    if (pkg == nullptr) {
        return -1;
    }
    DataPackage_t* dropped = nullptr;
    if (enqueue(pkg, &dropped) != 0) {
        return -1;
    }
    giveBack(dropped);
    return 0;
}

DataPackage_t* CShmDataFifo::getDataPackage(int timeoutMs)
{
    return dequeue(timeoutMs);
}

void CShmDataFifo::releaseDataPackage(DataPackage_t* pkg)
{
    giveBack(pkg);
}

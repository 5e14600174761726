#include "memory/datafifo.h"

CDataFifo::CDataFifo(int policy, int depth)
    : m_iDepth(depth < 0 ? FIFO_DEFAULT_DEPTH : depth), m_iPolicy(policy < 0 ? FIFO_POLICY_REJECT_NEW : policy)
{
}

CDataFifo::~CDataFifo() = default;

size_t CDataFifo::getCount()
{
    std::lock_guard<std::mutex> lock(m_mtxQueue);
    return m_quePkgs.size();
}

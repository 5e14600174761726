// What the receivers of the datagram media share: start and stop, the receive loop that reads the
// socket in batches (coalesced reads cut back into datagrams) and feeds the reassembler, which
// publishes through the data manager. A medium adds its numbers, how it opens and closes its
// socket, which datagrams it hands on, its pause after a failed read and its exit line.
//
// Threads: the receive thread runs recvTask (and every data callback); the control thread calls
// init, deinit and the destructor (m_mutexState serialises them); application threads call the
// forwarding operations and getFps. m_iFd is atomic because getFps reads it; m_fd owns the close.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/transport/datagram/fragment_reassembler.h"
#include "core/transport/receiver.h"
#include "utils/unique_fd.h"

// A medium's numbers.
struct DatagramReceiverMedium_t {
    int m_iType;         // transport type code of its channels
    int m_iPriority;     // real-time priority of the receive thread, 0 for the default policy
    size_t m_batchSlots; // datagrams taken per read
    int m_iSlotSize;     // receive buffer of one datagram
    uint32_t m_u32FragPayload;
    ReassemblyStyle_e m_eStyle;
    int m_iFirstPauseUs; // after a failed read
    // Coalesced reads (UDP_GRO) where the socket allows them: slots per read and slot size; 0
    // slots for none.
    size_t m_groSlots;
    int m_iGroSlotSize;
};

class CDatagramReceiver : public CDataReceiver {
public:
    bool init(TransParam_t& param) override;
    void deinit() override;
    int getFps() override;
    void recvTask() override;

protected:
    CDatagramReceiver(const std::string& topicName, CDataManager* dataManager, const DatagramReceiverMedium_t& medium);

    // The medium's open step for the channel `param` describes (its type already checked): the
    // socket held by holdSocket; 0, or -1 with nothing left open.
    virtual int openChannel(TransParam_t& param) = 0;
    // Closes the socket (and what the medium keeps with it).
    virtual void closeChannel() = 0;
    // Takes over an opened socket: its number in m_iFd, its close in m_fd.
    void holdSocket(CUniqueFd fd);
    // Closes the socket held; only once the receive thread is joined (or never ran).
    void closeSocket();
    // Whether a datagram of `len` bytes goes to the reassembler; one that does not has had its line.
    virtual bool keepDatagram(size_t len) = 0;
    // The pause after a failed read that followed a pause of `pauseUs`.
    virtual int pauseAfter(int pauseUs) = 0;
    // The line of a receive thread that ends.
    virtual void logExit() = 0;

    std::atomic<int> m_iFd{-1};
    CUniqueFd m_fd; // control thread only

private:
    // The receive loop on `fd` until m_bRunning clears; false, after its red line, when the batch
    // could not be allocated.
    bool receive(int fd);

    DatagramReceiverMedium_t m_medium;
    std::mutex m_mutexState;
};

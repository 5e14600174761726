// Base of every medium's data sender.
//
// Threads: a sender's send thread runs sendTask; the control channel's reactor thread calls
// addConn, delConn, isConnExist, getPort and init; the transport's teardown calls delConn and
// deinit; status threads call getClientCount and getFps. m_mutexSendState serialises the start
// and stop of the send thread; the rest of the base is atomics (running flag, sent flag,
// frame-rate fields) and the fifo, which only the send thread reads while it runs. Each medium
// guards its own connection table.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

#include "core/transport/transport.h"
#include "utils/frame_rate.h"
#include "utils/worker_thread.h"

class CDataFifo;
class CDataManager;

// Depth of a sender's fifo (drop the oldest beyond it), and so the most packages one pass of the
// send loop takes.
constexpr int SEND_FIFO_DEPTH = 8;

class CDataSender {
public:
    explicit CDataSender(CDataManager* dataManager);
    // Each medium's destructor runs its deinit first, so no thread outlives the members.
    virtual ~CDataSender();
    CDataSender(const CDataSender&) = delete;
    CDataSender& operator=(const CDataSender&) = delete;

    virtual bool init() = 0;
    virtual bool isInit() = 0;
    virtual void deinit() = 0;
    virtual bool addConn(int connId, TransParam_t& param) = 0;
    virtual bool delConn(int connId) = 0;
    virtual bool isConnExist(int connId) = 0;
    virtual int getClientCount() = 0;
    virtual int getPort(int connId) = 0;
    virtual int getFps() = 0;
    virtual void sendTask() = 0;

    // Counts one package sent to the connections (once however many connections it went to).
    void calculateFrameRate();
    void resetFrameRate();

protected:
    // Step 2 of the getter rule: the last rate, zeroed after the read when nothing was sent in
    // the current pass of the send loop.
    int readFps();
    // getFps of a medium with `connections` connections: -1 without any, else readFps.
    int readFps(int connections);
    // Marks the current pass as sent and counts the package.
    void countSent();

    // init of the socket media: attaches the fifo (drop-oldest, depth 8) before the send thread
    // starts, so every package published after init is queued, then starts sendTask, at
    // real-time priority `priority` where the system allows it (0: the default policy). False
    // when running already or without a thread, with nothing left attached.
    bool startSending(int priority);
    // deinit of the socket media: stops and joins the send thread, detaches the fifo, then calls
    // stopped() (still serialised with startSending). Nothing when not running.
    void stopSending();
    // The medium's part of stopSending: drops its connections and the send thread's buffers.
    virtual void stopped() {}
    // The packages of one pass of a send loop, in fifo order: each one's data from its header and
    // its length.
    struct SendPass_t {
        size_t m_count{0};
        DataPackage_t* m_pkgs[SEND_FIFO_DEPTH];
        unsigned char* m_data[SEND_FIFO_DEPTH];
        int m_length[SEND_FIFO_DEPTH];
    };
    // sendTask of the socket media: waits up to 100 ms for a package, then takes every other one
    // already queued without waiting (at most the fifo's depth), hands them to `send`, which sends
    // and counts them, and releases them all; a package-less pass clears the sent flag.
    template <typename Send> void sendLoop(Send&& send)
    {
        CDataFifo* fifo = m_pSendFifo;
        if (fifo == nullptr) {
            return; // no data manager: nothing will ever be published to this sender
        }
        SendPass_t pass;
        while (m_bRunning.load()) {
            m_bSent.store(false);
            if (takePackages(*fifo, pass) == 0) {
                continue;
            }
            send(static_cast<const SendPass_t&>(pass));
            releasePackages(*fifo, pass);
        }
    }

    CWorkerThread m_thread;
    std::atomic<bool> m_bRunning{false};
    CDataManager* m_pDataManager; // borrowed from the owning transport
    std::atomic<bool> m_bSent{false};
    CFrameRate m_frameRate;
    std::mutex m_mutexSendState;
    CDataFifo* m_pSendFifo{nullptr}; // created by startSending, destroyed by stopSending

private:
    // A pass's packages: the first waited for (up to 100 ms), whatever queued up meanwhile taken
    // with it, so that its datagrams share system calls. Their number, 0 when none came.
    size_t takePackages(CDataFifo& fifo, SendPass_t& pass);
    void releasePackages(CDataFifo& fifo, SendPass_t& pass);
};

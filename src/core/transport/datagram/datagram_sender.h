// What the senders of the datagram media share: the connection table, the send thread and the
// fan-out of every package to every connection. A medium adds its numbers (how it counts what it
// sent among them), how it opens a connection's socket and the line it logs when one goes.
//
// Threads: the send thread runs sendTask; the reactor thread calls addConn, init, isConnExist,
// getPort and delConn; the transport's teardown calls delConn and deinit; status threads call
// getClientCount and getFps. The connection table (CDatagramConns) guards itself and is never
// locked across a send; init and deinit are serialised by the base.
//
// The fragment headers are written in a buffer of the sender's own, never in the topic's pool (a
// shared-memory pool serves only its group sizes, and its chunks belong to the writers); each
// datagram is gathered from its header and its slice of the package.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/transport/datagram/datagram_conns.h"
#include "core/transport/datagram/datagram_fanout.h"
#include "core/transport/sender.h"

// A medium's numbers.
template <typename Record> struct DatagramSenderMedium_t {
    int m_iType;                 // transport type code of its channels
    uint32_t m_u32FragPayload;   // fragment payload
    int m_iPriority;             // real-time priority of the send thread, 0 for the default policy
    bool m_bConnectFirst;        // connections' sockets connected at their first send
    int Record::*m_pNumberField; // what getPort reports (port or socket index)
    // A package counts as sent whether or not a reader took it (else only one that was cut and
    // still has a reader listed once its datagrams went: a reader that left meanwhile is not fed).
    bool m_bCountEvery;
};

template <typename Record> class CDatagramSender : public CDataSender {
public:
    ~CDatagramSender() override { CDatagramSender::deinit(); }

    bool init() override { return startSending(m_medium.m_iPriority); }
    bool isInit() override { return m_bRunning.load(); }
    void deinit() override { stopSending(); }
    bool addConn(int connId, TransParam_t& param) override
    {
        if (param.m_iType != m_medium.m_iType) {
            return false;
        }
        Record record;
        bool segment = false;
        if (!openConn(param, &record, &segment)) {
            return false;
        }
        return m_conns.add(connId, record, segment);
    }
    bool delConn(int connId) override
    {
        return m_conns.remove(connId, [this, connId](const Record& record) {
            connDeleted(connId, record);
            resetFrameRate();
        });
    }
    bool isConnExist(int connId) override { return m_conns.exists(connId); }
    int getClientCount() override { return m_conns.count(); }
    int getPort(int connId) override { return m_conns.number(connId, m_medium.m_pNumberField); }
    int getFps() override { return readFps(m_conns.count()); }
    // The send thread, straight through: a pass's packages are cut into frames once, the frames go
    // to every reader (fanOut), and the packages are counted by the medium's rule.
    void sendTask() override
    {
        sendLoop([this](const SendPass_t& pass) { sendAndCount(pass.m_count, pass.m_data, pass.m_length); });
    }

protected:
    CDatagramSender(CDataManager* dataManager, const DatagramSenderMedium_t<Record>& medium)
        : CDataSender(dataManager), m_medium(medium), m_conns(medium.m_bConnectFirst), m_fanout(medium.m_u32FragPayload)
    {
    }

    // The medium's open step: the connection's socket and record for `param`; `segment` tells
    // whether its sends may be segmented. False when it cannot be opened.
    virtual bool openConn(TransParam_t& param, Record* out, bool* segment) = 0;
    // The medium's line for a connection that goes (under the table's lock).
    virtual void connDeleted(int connId, const Record& record) = 0;

    // Sends `count` packages to every connection, their datagrams batched across packages;
    // `built[i]` tells whether package i was cut (a malformed one, or one whose headers find no
    // room, is dropped for every connection). The number cut, 0 without connections.
    size_t fanOut(size_t count, unsigned char* const* data, const int* length, bool* built)
    {
        for (size_t i = 0; i < count; ++i) {
            built[i] = false;
        }
        if (count == 0 || count > SEND_FIFO_DEPTH || !m_conns.snapshot(m_vecSnapshot, m_vecTargets)) {
            return 0;
        }
        // Gathered from the packages themselves: no scratch package, no copy of the payload.
        const size_t cut = m_fanout.send(m_vecHeaders, count, data, length, m_vecTargets, built);
        m_vecTargets.clear();
        m_vecSnapshot.clear();
        return cut;
    }
    // fanOut, then each package counted that the medium counts.
    void sendAndCount(size_t count, unsigned char* const* data, const int* length)
    {
        if (count > SEND_FIFO_DEPTH) {
            return; // a pass never has more
        }
        bool built[SEND_FIFO_DEPTH];
        const size_t cut = fanOut(count, data, length, built);
        const bool fed = m_medium.m_bCountEvery || (cut > 0 && m_conns.count() > 0);
        for (size_t i = 0; i < count; ++i) {
            if (m_medium.m_bCountEvery || (fed && built[i])) {
                countSent();
            }
        }
    }

private:
    void stopped() override
    {
        m_fanout.stop();
        m_conns.clear();
        std::vector<uint8_t>().swap(m_vecHeaders);
        // The sockets close here; the control descriptors belong to the control channel.
    }

    DatagramSenderMedium_t<Record> m_medium;
    CDatagramConns<Record> m_conns;
    CDatagramFanout m_fanout;
    // Send thread only, kept between packages: the connection snapshot, and the fragment headers
    // (grown to the largest package's, freed by deinit).
    std::vector<typename CDatagramConns<Record>::ConnPtr> m_vecSnapshot;
    std::vector<DatagramTarget_t> m_vecTargets;
    std::vector<uint8_t> m_vecHeaders;
};

// Rebuilds packages from the fragments of a datagram medium, and where it takes and hands them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/transport/transport.h"

class CDataManager;

// Where the reassembler takes packages from and hands complete frames to.
class IFramePkgSink {
public:
    virtual ~IFramePkgSink() = default;
    // A fresh package (reference count 0) of at least `size` data bytes, or null.
    virtual DataPackage_t* getFramePkg(int size) = 0;
    // Gives back a fresh package that was never published.
    virtual void discardFramePkg(DataPackage_t* pkg) = 0;
    // Publishes a complete frame; the sink keeps no reference for the reassembler.
    virtual void publishFramePkg(DataPackage_t* pkg) = 0;
};

// The sink of a receiver: its data manager.
class CDataManagerSink : public IFramePkgSink {
public:
    explicit CDataManagerSink(CDataManager* dataManager) : m_pDataManager(dataManager) {}
    DataPackage_t* getFramePkg(int size) override;
    void discardFramePkg(DataPackage_t* pkg) override;
    void publishFramePkg(DataPackage_t* pkg) override;

private:
    CDataManager* m_pDataManager;
};

// The two socket media reassemble alike and differ in the fragment size and in what they log
// and count.
enum ReassemblyStyle_e {
    REASSEMBLY_STYLE_UNIX = 0, // logs every lost fragment
    REASSEMBLY_STYLE_UDP = 1,  // counts lost frames, logs those instead
};

// Rebuilds packages from datagram fragments. A plain state machine over received bytes: the
// receive thread feeds it one datagram at a time; it needs no socket.
//
// Every datagram is checked before it touches the frame being rebuilt: the magic, type
// MSG_TYPE_DATA, the fragment's length against the datagram, at most `fragPayload` payload bytes,
// a frame of at most DDS_MAX_FRAME_PAYLOAD, a fragment count and a fragment number, flag and
// length that agree with the frame's length. A datagram that fails is dropped and counted as a
// lost fragment, and the frame being rebuilt is left as it was.
class CFragmentReassembler {
public:
    // `lostCounter` (may be null) is the receiver's lost-packet counter.
    CFragmentReassembler(uint32_t fragPayload, ReassemblyStyle_e style, const std::string& topicName,
                         IFramePkgSink* sink, std::atomic<uint64_t>* lostCounter);
    // Gives back a frame still open.
    ~CFragmentReassembler();
    CFragmentReassembler(const CFragmentReassembler&) = delete;
    CFragmentReassembler& operator=(const CFragmentReassembler&) = delete;

    // Takes one datagram; true when it completed a frame, which has then been published.
    bool onDatagram(const uint8_t* data, size_t len);
    // Gives back the open package, if any, and forgets the frame.
    void reset();

    bool hasOpenPackage() const { return m_pPkg != nullptr; }
    uint32_t getLostFrameCount() const { return m_u32LostFrameCount; }
    uint32_t getFragPayload() const { return m_u32FragPayload; }

    // Whether a datagram is a well-formed fragment for this fragment size (see above).
    static bool isValidFragment(const DDSHeader_t& header, size_t len, uint32_t fragPayload);

private:
    bool onFirst(const DDSHeader_t& header, const uint8_t* data, size_t len);
    bool onFollowing(const DDSHeader_t& header, const uint8_t* data, size_t len);
    bool complete();
    void countLost();

    uint32_t m_u32FragPayload;
    ReassemblyStyle_e m_eStyle;
    std::string m_strTopicName;
    IFramePkgSink* m_pSink;
    std::atomic<uint64_t>* m_pLostCounter;

    DataPackage_t* m_pPkg{nullptr}; // the frame being rebuilt
    bool m_bLost{false};
    uint32_t m_u32LastSeqNo{0};
    uint64_t m_u64LastTimestamp{0};
    uint32_t m_u32FrameTotalLen{0}; // of the open frame
    uint32_t m_u32FramePktCount{0}; // of the open frame
    int m_iFragCounter{0};          // fragments seen since the last delivered frame
    uint32_t m_u32LostFrameCount{0};
};

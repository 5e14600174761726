// Data receiver over a TCP stream: connects to the sender's listening socket, finds the frames in
// the byte stream by the header's magic and payload length, and publishes each frame as one
// package of its transport's pool.
//
// Threads: the receive thread runs recvTask (and with it the frame parser and every data
// callback); the control thread calls init, deinit and the destructor (m_mutexState serialises
// them); application threads call the forwarding operations and getFps. m_iFd is atomic because
// getFps reads it while the receive thread reconnects; m_fd owns the close and is touched by the
// receive thread while it runs, by the control thread otherwise.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/transport/datagram/fragment_reassembler.h"
#include "core/transport/receiver.h"
#include "utils/unique_fd.h"

// Stream buffer of the receiver.
constexpr int TCP_STREAM_BUF_SIZE = 32768;
// Receive buffer of the receiver's socket (logged as 256 KB).
constexpr int TCP_SOCK_BUF_SIZE = 262144;
// Connect attempts per open, and the bound on each (a host that drops SYNs costs this, not the
// system's minutes of retries).
constexpr int TCP_CONNECT_ATTEMPTS = 5;
constexpr int TCP_CONNECT_TIMEOUT_MS = 200;

// Offset of the first DDS_HEADER_MAGIC in `data`, or -1 (also for fewer than four bytes).
int findMagicNumber(const unsigned char* data, int length);

// Whether a header opens a frame of this medium: the magic, and the fields the sender stamps on
// every frame (flag 0, fragment 1 of 1, total length = header + payload) with a payload of at most
// DDS_MAX_FRAME_PAYLOAD. A header that fails is a false magic.
bool isValidTcpFrameHeader(const DDSHeader_t& header);

// Cuts a TCP byte stream into frames. A plain state machine over received bytes; it needs no
// socket. The receive thread reads straight into writeArea() and then calls commit(); tests and
// the fuzzer call feed().
//
// After every commit it works through the buffer until no complete frame is left in it:
// - searching: bytes before the first magic are dropped (yellow "iOffset" line); a magic whose
//   header fails isValidTcpFrameHeader is false: one byte is dropped and the search goes on;
// - a valid header: a package of at least 34 + payload bytes is taken from the sink (the spare
//   one kept from earlier when it is large enough) and the frame is copied into it as its bytes
//   come; a complete frame is published at once;
// - no package from the sink: the frame's bytes are skipped, and the search starts after them.
// A buffer that fills up without a magic keeps only its last three bytes (which may start one).
class CTcpFrameParser {
public:
    CTcpFrameParser(IFramePkgSink* sink, const std::string& topicName);
    // Gives back the open and the spare package.
    ~CTcpFrameParser();
    CTcpFrameParser(const CTcpFrameParser&) = delete;
    CTcpFrameParser& operator=(const CTcpFrameParser&) = delete;

    // Room for the next read; never empty after a commit.
    unsigned char* writeArea(size_t* room);
    // Takes `len` bytes written into writeArea(); the number of frames published.
    int commit(size_t len);
    // Copies bytes in, as many commits as the buffer needs; the number of frames published.
    int feed(const uint8_t* data, size_t len);
    // A new stream (after a reconnect): the buffered bytes and the frame in progress are dropped,
    // its package kept as the spare.
    void resetStream();
    // Gives back the open and the spare package and empties the buffer.
    void reset();

    size_t bufferedBytes() const { return m_tail - m_head; }
    bool inFrame() const { return m_pPkg != nullptr; }
    bool holdsPackage() const { return m_pPkg != nullptr || m_pSpare != nullptr; }
    // Counters of what the stream held besides frames.
    uint64_t droppedBytes() const { return m_u64DroppedBytes; }
    uint64_t falseMagics() const { return m_u64FalseMagics; }
    uint64_t skippedFrames() const { return m_u64SkippedFrames; }

private:
    // One step over the buffer; false when it needs more bytes.
    bool step(int* frames);
    void drop(size_t count);
    void discardPackage(DataPackage_t*& pkg);

    IFramePkgSink* m_pSink;
    std::string m_strTopicName;
    unsigned char m_buffer[TCP_STREAM_BUF_SIZE];
    size_t m_head{0};                 // first buffered byte
    size_t m_tail{0};                 // one past the last
    size_t m_scanned{0};              // buffered bytes from m_head known not to start a magic
    DataPackage_t* m_pPkg{nullptr};   // the frame being assembled
    DataPackage_t* m_pSpare{nullptr}; // kept for the next frame
    size_t m_frameLen{0};             // of the frame being assembled, header included
    size_t m_discard{0};              // bytes of a frame without a package still to skip
    uint64_t m_u64DroppedBytes{0};
    uint64_t m_u64FalseMagics{0};
    uint64_t m_u64SkippedFrames{0};
};

class CTcpReceiver : public CDataReceiver {
public:
    CTcpReceiver(const std::string& topicName, CDataManager* dataManager);
    explicit CTcpReceiver(CDataManager* dataManager);
    ~CTcpReceiver() override;

    bool init(TransParam_t& param) override;
    void deinit() override;
    int getFps() override;
    void recvTask() override;

    // Connects a new socket to the sender; 0, or -1 with nothing left open.
    int open(const TcpParam_t& param);
    // One more connect of the current socket to m_addr; nothing in the library calls it.
    bool connect();
    // Closes the socket and opens a new one.
    bool reconnect();
    // How the receive loop reacts to a negative read result.
    void handleError(int result, bool& reconnectFlag);

private:
    // A socket with this medium's options; none held when none can be opened.
    CUniqueFd openSocket(bool logBufSize);
    void closeSocket();

    sockaddr_in m_addr;
    std::atomic<int> m_iFd{-1};
    CUniqueFd m_fd;
    std::mutex m_mutexState;
};

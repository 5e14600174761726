// Thin wrapper over BSD socket descriptors: open, bind, connect, close, options, multicast
// membership, one read with a timeout, and sends.
//
// Stateless; any thread may call any operation. Descriptors belong to the caller: no operation
// closes or retries on its own. Every socket is opened close-on-exec.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <string>

// Highest TCP and UDP port number.
constexpr int MAX_PORT = 65535;

// Results of CSocketUtils::readData, shared by every reader of a socket in the library.
enum SocketRet_e : int {
    SOCK_RET_OK = 0,              // data read; the count is in the caller's length
    SOCK_RET_FAIL = -1,           // bad arguments, or ready without readable data
    SOCK_RET_ERROR = -201,        // any other poll or read failure
    SOCK_RET_DISCONNECTED = -202, // the peer closed (read gave 0) or reset the connection
    SOCK_RET_TIMEOUT = -203,      // nothing readable within the timeout
    SOCK_RET_TRY_AGAIN = -204,    // interrupted or would block
};

class CSocketUtils {
public:
    static constexpr int CONNECT_SLICE_MS = 100;

    enum SocketType_e : int {
        SOCKET_TYPE_TCP = 0,  // AF_INET, SOCK_STREAM
        SOCKET_TYPE_UDP = 1,  // AF_INET, SOCK_DGRAM
        SOCKET_TYPE_UNIX = 2, // AF_UNIX, SOCK_DGRAM
    };

    virtual ~CSocketUtils() = default;

    // The new descriptor; -1 for an unknown type (silently), the negative result when refused.
    static int openSocket(SocketType_e type);
    // Closes `fd` when it is 0 or more; always 0.
    static int closeSocket(int fd);
    static int bindSocket(int fd, sockaddr* addr, int len);
    // One connect call, blocking or not as the socket is.
    static int connectSocket(int fd, sockaddr* addr, int len);
    // A connect that gives up after `timeoutMs`, and sooner once `running` (when given) turns
    // false, which it looks at every CONNECT_SLICE_MS; the socket is blocking again afterwards.
    // 0, or the errno of the failure (ETIMEDOUT when the time ran out). Prints nothing: the
    // caller says what failed, as often as it wants to.
    static int connectTimed(int fd, const sockaddr* addr, int len, int timeoutMs,
                            const std::atomic<bool>* running = nullptr);
    // Clears O_NONBLOCK when `block`, sets it otherwise.
    static int setBlock(int fd, bool block);

    // Option setters: 0, or -1 after "Error: setsockopt().". Timeouts in ms; a negative value
    // is refused without a call and 0 means no limit.
    static int setRecvTimeOut(int fd, int ms);
    static int setSendTimeOut(int fd, int ms);
    static int setSendBufSize(int fd, int bytes);
    static int setRecvBufSize(int fd, int bytes);
    // Asks for a send (`send`) or receive buffer of `bytes`. Where the system's cap grants less,
    // the privileged option that passes the cap is tried; without the privilege the capped size
    // stays, silently.
    static void askBufSize(int fd, bool send, int bytes);
    static int setLinger(int fd, bool on, int seconds);
    static bool setNodelay(int fd, bool on);
    static int setAddrReuse(int fd, bool on);
    static int setKeepAlive(int fd, bool on);
    static int setKeepIdle(int fd, int seconds);
    static int setKeepInterval(int fd, int seconds);
    static int setKeepCnt(int fd, int count);
    // Hands value/1000 to TCP_USER_TIMEOUT.
    static int setUserTimeOut(int fd, int value);
    static int setMulticastTTL(int fd, int ttl);
    static int setMulticastLoop(int fd, bool on);
    // Outgoing interface of multicast datagrams, by its IPv4 address text; empty (or
    // "0.0.0.0") leaves the choice to the routing table.
    static int setMulticastIf(int fd, const std::string& interfaceIp);
    // Membership of `group` on the interface with address `interfaceIp`; empty means
    // INADDR_ANY, which lets the routing table pick the interface. Texts are read with
    // parseIPv4; one it cannot read becomes 255.255.255.255, which the system refuses.
    static int addMulticastMembership(int fd, const std::string& group, const std::string& interfaceIp = std::string());
    static int delMulticastMembership(int fd, const std::string& group, const std::string& interfaceIp = std::string());
    // The same for a group already read.
    static int addMulticastMembership(int fd, const in_addr& group, const std::string& interfaceIp = std::string());
    static int delMulticastMembership(int fd, const in_addr& group, const std::string& interfaceIp = std::string());
    // The same two without a line, for a refusal the caller expects: 0, or the errno (a join
    // gives EADDRINUSE when the socket is already a member on the interface it resolves to).
    static int joinMulticastQuietly(int fd, const in_addr& group, const std::string& interfaceIp = std::string());
    static int leaveMulticastQuietly(int fd, const in_addr& group, const std::string& interfaceIp = std::string());

    // Getters: 0 with `bytes` set, or -1 after "Error: getsockopt()." with `bytes` untouched.
    static int getSendBufSize(int fd, int& bytes);
    static int getRecvBufSize(int fd, int& bytes);

    // Waits up to `timeoutMs` (negative: for ever) for `fd` to become readable and reads once,
    // at most `size` bytes; a SocketRet_e.
    static int readData(int fd, unsigned char* buf, int size, int* len, int timeoutMs);
    // Sends the whole buffer in at most 10 send calls; the number of bytes sent.
    static int writeData(int fd, unsigned char* buf, int len);
    // Sets the send timeout (it stays on the socket) and sends once; the bytes sent (possibly
    // fewer than `len`) or -1.
    static int writeData(int fd, unsigned char* buf, int len, int timeoutMs);
};

// The optional poll loop of the writing side, which the library's own flow never starts: it
// serves the endpoint beside the reactor, and only the connections it accepted itself.
#include <poll.h>

#include <mutex>
#include <set>
#include <vector>

#include "core/transport/control/trans_sender.h"

namespace {

constexpr int kLoopWaitMs = 200;

} // namespace

void CTransSender::startMsgTask()
{
    if (!m_bRunning.exchange(true) && !m_thread.start(&CTransSender::procMsgTask, this)) {
        m_bRunning.store(false);
    }
}

void CTransSender::stopMsgTask()
{
    if (m_bRunning.exchange(false)) {
        m_thread.join();
    }
}

int CTransSender::acceptOwn(int listenFd)
{
    CUniqueFd fd = acceptConn(listenFd);
    if (!fd) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutexFds);
    if (m_bClosing) {
        return -1;
    }
    return listConn(std::move(fd));
}

void CTransSender::procMsgTask()
{
    // Only this thread serves these, and only it closes them: a number leaves the set before it
    // can name another connection.
    std::set<int> own;
    std::vector<pollfd> entries;
    while (m_bRunning.load()) {
        int listenFd = -1;
        {
            std::lock_guard<std::mutex> lock(m_mutexFds);
            listenFd = m_iListenFd.get();
        }
        entries.clear();
        if (listenFd >= 0) {
            entries.push_back(pollfd{listenFd, POLLIN, 0});
        }
        for (int fd : own) {
            entries.push_back(pollfd{fd, POLLIN, 0});
        }
        // poll, not select: descriptors above FD_SETSIZE would overflow an fd_set.
        int ready = ::poll(entries.data(), entries.size(), kLoopWaitMs);
        if (ready <= 0) {
            continue;
        }
        for (const pollfd& entry : entries) {
            if (entry.revents == 0) {
                continue;
            }
            if (entry.fd == listenFd) {
                int fd = acceptOwn(listenFd);
                if (fd >= 0) {
                    own.insert(fd);
                }
            } else if (!onReadable(entry.fd)) {
                own.erase(entry.fd);
            }
        }
    }
}

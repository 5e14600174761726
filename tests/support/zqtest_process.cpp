#include "support/zqtest.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zqtest {

namespace {

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::string helperPath(const std::string& name)
{
    return std::string(ZQTEST_HELPER_DIR) + "/zqh_" + name;
}

std::unique_ptr<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv, std::string* error)
{
    if (argv.empty()) {
        if (error) {
            *error = "empty command";
        }
        return nullptr;
    }
    int outPipe[2];
    int inPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        if (error) {
            *error = std::string("pipe2: ") + strerror(errno);
        }
        return nullptr;
    }
    if (pipe2(inPipe, O_CLOEXEC) != 0) {
        if (error) {
            *error = std::string("pipe2: ") + strerror(errno);
        }
        close(outPipe[0]);
        close(outPipe[1]);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDERR_FILENO);

    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(inPipe[0]);
    if (rc != 0) {
        if (error) {
            *error = "posix_spawn " + argv[0] + ": " + strerror(rc);
        }
        close(outPipe[0]);
        close(inPipe[1]);
        return nullptr;
    }
    std::unique_ptr<ChildProcess> child(new ChildProcess());
    child->m_pid = pid;
    child->m_outFd = outPipe[0];
    child->m_inFd = inPipe[1];
    return child;
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && !m_exited) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &m_status, 0);
    }
    if (m_outFd >= 0) {
        close(m_outFd);
    }
    if (m_inFd >= 0) {
        close(m_inFd);
    }
}

bool ChildProcess::pump(int timeoutMs)
{
    if (m_outFd < 0) {
        return false;
    }
    struct pollfd pfd {
        m_outFd, POLLIN, 0
    };
    int rc = poll(&pfd, 1, timeoutMs);
    if (rc <= 0) {
        return false;
    }
    char buf[4096];
    ssize_t n = read(m_outFd, buf, sizeof(buf));
    if (n <= 0) {
        close(m_outFd);
        m_outFd = -1;
        return false;
    }
    m_output.append(buf, static_cast<size_t>(n));
    return true;
}

bool ChildProcess::waitForLine(const std::string& text, int timeoutMs, std::string* line)
{
    int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        size_t pos = m_output.find(text, m_scanPos);
        if (pos != std::string::npos) {
            size_t end = m_output.find('\n', pos);
            if (end != std::string::npos || m_outFd < 0) {
                size_t start = m_output.rfind('\n', pos);
                start = (start == std::string::npos) ? 0 : start + 1;
                if (end == std::string::npos) {
                    end = m_output.size();
                }
                if (line) {
                    *line = m_output.substr(start, end - start);
                }
                m_scanPos = end;
                return true;
            }
        }
        int64_t left = deadline - nowMs();
        if (left <= 0 || m_outFd < 0) {
            return false;
        }
        pump(static_cast<int>(left));
    }
}

const std::string& ChildProcess::output()
{
    while (pump(0)) {
    }
    return m_output;
}

bool ChildProcess::writeInput(const std::string& data)
{
    if (m_inFd < 0) {
        return false;
    }
    return write(m_inFd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

void ChildProcess::closeInput()
{
    if (m_inFd >= 0) {
        close(m_inFd);
        m_inFd = -1;
    }
}

void ChildProcess::signal(int sig)
{
    if (m_pid > 0 && !m_exited) {
        kill(m_pid, sig);
    }
}

int ChildProcess::wait(int timeoutMs)
{
    if (m_exited) {
        return m_status;
    }
    int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        pid_t r = waitpid(m_pid, &m_status, WNOHANG);
        if (r == m_pid) {
            m_exited = true;
            output();
            return m_status;
        }
        int64_t left = deadline - nowMs();
        if (left <= 0) {
            return -1;
        }
        // Reading the pipe keeps a chatty child from blocking on a full pipe.
        if (!pump(static_cast<int>(left < 10 ? left : 10))) {
            struct timespec ts {
                0, 2000000
            };
            nanosleep(&ts, nullptr);
        }
    }
}

int ChildProcess::exitCode() const
{
    if (!m_exited || !WIFEXITED(m_status)) {
        return -1;
    }
    return WEXITSTATUS(m_status);
}

int runCommand(const std::vector<std::string>& argv, int timeoutMs, std::string* output)
{
    auto child = ChildProcess::spawn(argv, output);
    if (!child) {
        return -1;
    }
    child->closeInput();
    if (child->wait(timeoutMs) == -1) {
        if (output) {
            *output = child->output();
        }
        return -1;
    }
    if (output) {
        *output = child->output();
    }
    return child->exitCode();
}

} // namespace zqtest

#include "support/zqtest.h"

#include "utils/dds_common.h"

#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace zqtest {

namespace {

int openScratch()
{
    FILE* f = tmpfile();
    if (!f) {
        return -1;
    }
    int fd = dup(fileno(f));
    fclose(f);
    return fd;
}

std::string readAll(int fd)
{
    std::string text;
    if (fd < 0) {
        return text;
    }
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

} // namespace

OutputCapture::OutputCapture()
{
    // The library's lines printed before belong to the old output, those after to the capture.
    ddsLogFlush(10000);
    std::cout.flush();
    std::cerr.flush();
    fflush(stdout);
    fflush(stderr);
    m_fileOut = openScratch();
    m_fileErr = openScratch();
    if (m_fileOut < 0 || m_fileErr < 0) {
        return;
    }
    m_savedOut = dup(STDOUT_FILENO);
    m_savedErr = dup(STDERR_FILENO);
    dup2(m_fileOut, STDOUT_FILENO);
    dup2(m_fileErr, STDERR_FILENO);
    m_active = true;
}

OutputCapture::~OutputCapture()
{
    stop();
}

void OutputCapture::stop()
{
    if (m_active) {
        ddsLogFlush(10000);
        std::cout.flush();
        std::cerr.flush();
        fflush(stdout);
        fflush(stderr);
        dup2(m_savedOut, STDOUT_FILENO);
        dup2(m_savedErr, STDERR_FILENO);
        close(m_savedOut);
        close(m_savedErr);
        m_active = false;
        m_out = readAll(m_fileOut);
        m_err = readAll(m_fileErr);
    }
    if (m_fileOut >= 0) {
        close(m_fileOut);
        m_fileOut = -1;
    }
    if (m_fileErr >= 0) {
        close(m_fileErr);
        m_fileErr = -1;
    }
}

std::string ddsLine(const std::string& color, const std::string& text)
{
    return "\033[" + color + "m[DDS] " + text + "\033[0m";
}

int countDdsLines(const std::string& output, const std::string& color, const std::string& text)
{
    const std::string needle = ddsLine(color, text) + " @";
    int count = 0;
    size_t pos = 0;
    while ((pos = output.find(needle, pos)) != std::string::npos) {
        if (pos == 0 || output[pos - 1] == '\n') {
            ++count;
        }
        pos += needle.size();
    }
    return count;
}

bool hasDdsLine(const std::string& output, const std::string& color, const std::string& text)
{
    return countDdsLines(output, color, text) > 0;
}

} // namespace zqtest

#include "zqdds/data_writer.h"

#include "core/data_writer_impl.h"

int CDataWriter::write(void* data, int iLen)
{
    return m_pImpl->write(data, iLen);
}

_DataBuffer_t* CDataWriter::getEmptyDataBuffer(int size, int timeoutMs)
{
    return m_pImpl->getEmptyDataBuffer(size, timeoutMs);
}

int CDataWriter::putFullDataBuffer(_DataBuffer_t* buffer)
{
    return m_pImpl->putFullDataBuffer(buffer);
}

bool CDataWriter::isConnect()
{
    return m_pImpl->isConnect();
}

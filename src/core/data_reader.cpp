#include "zqdds/data_reader.h"

#include "core/data_reader_impl.h"

int CDataReader::read(void* pBuf, int size, int timeoutMs, _ExtraDataInfo_t* info)
{
    return m_pImpl->read(pBuf, size, timeoutMs, info);
}

_DataBuffer_t* CDataReader::getDataBuffer(int timeoutMs, _ExtraDataInfo_t* info)
{
    return m_pImpl->getDataBuffer(timeoutMs, info);
}

void CDataReader::releaseDataBuffer(_DataBuffer_t* buffer)
{
    m_pImpl->releaseDataBuffer(buffer);
}

int CDataReader::getBufferCount()
{
    return m_pImpl->getBufferCount();
}

void CDataReader::registerUserDataCallBack(UserDataCallBack_t callback)
{
    m_pImpl->registerUserDataCallBack(std::move(callback));
}

bool CDataReader::isConnect()
{
    return m_pImpl->isConnect();
}

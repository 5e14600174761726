// What a medium is, in one row: its type code, its sender and receiver, its resource and what the
// control channel does with it on either side. Each medium's own file fills its row (tcp_medium.cpp,
// udp_medium.cpp, unix_socket_medium.cpp, share_memory_medium.cpp, pcie_medium.cpp); the factories
// and both sides of the control channel read the row instead of naming media. Adding a medium is
// one such file and one line in the table (medium.cpp).
//
// Threads: the rows are constant and read by any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/transport/transport.h"

class CDataManager;
class CDataReceiver;
class CDataSender;
class CResourceManager;

struct TransMedium_t {
    int m_iType;          // TransType_e
    const char* m_szName; // its name for people (the lines print the type code)
    // An unstarted sender and receiver of the medium.
    std::shared_ptr<CDataSender> (*m_fnMakeSender)(CDataManager* dataManager);
    std::unique_ptr<CDataReceiver> (*m_fnMakeReceiver)(const std::string& topicName, CDataManager* dataManager);

    // Writing side. Takes a resource into `param` (type, number and how the reader finds it): 0, or
    // -1 with any line printed and nothing written; null for a medium without a resource.
    int (*m_fnTake)(int type, const std::string& topic, TransParam_t* param);
    // Back to its pool in order, or to the back of it so that the next request gets another; the
    // pool holds the resource's number less m_iPoolOffset.
    void (CResourceManager::*m_fnGiveBack)(int number);
    void (CResourceManager::*m_fnSetAside)(int number);
    int m_iPoolOffset;
    // The resource's number in a channel description.
    int (*m_fnNumberOf)(const TransParam_t& param);
    // Completes the reader's (`ack`) and the sender's (`conn`, a copy of the taken one)
    // descriptions; null for a medium that is never offered.
    void (*m_fnOffer)(CDataManager& data, const std::string& requesterIp, TransParam_t& ack, TransParam_t& conn);
    // Its send thread must run before the connection is added (else only after).
    bool m_bStartFirst;
    // The reader attaches the topic's own pool: the pool needs its segment before an offer.
    bool m_bSharesPool;

    // Reading side. The channel names objects of the writer's host: only a writer on this host may
    // offer it.
    bool m_bHostOnly;
    // Whether an offered channel is one this topic may take; null when the decoder's checks suffice.
    bool (*m_fnAcceptable)(const std::string& topic, const TransParam_t& param);

    bool hasResource() const { return m_fnTake != nullptr; }
    int poolNumber(int value) const
    {
        return static_cast<int>(static_cast<uint32_t>(value) - static_cast<uint32_t>(m_iPoolOffset));
    }
};

// The row of a type code; null for a code no medium has.
const TransMedium_t* transMedium(int type);
// The rows in type-code order, and their number.
const TransMedium_t* const* transMedia();
size_t transMediaCount();

// The rows, each defined in its medium's file.
extern const TransMedium_t TCP_MEDIUM;
extern const TransMedium_t UDP_MEDIUM;
extern const TransMedium_t UNIX_SOCKET_MEDIUM;
extern const TransMedium_t SHARE_MEMORY_MEDIUM;
extern const TransMedium_t PCIE_MEDIUM;

// What the rows share: a text in a zero-filled field of `width` bytes, cut so that the NUL stays
// inside; and a host port taken for a channel (TCP and UDP share one record layout).
void copyMediumText(char* field, size_t width, const std::string& text);
int takeMediumPort(int type, const std::string& topic, TransParam_t* param);
int mediumPortOf(const TransParam_t& param);

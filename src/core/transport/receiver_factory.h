// Makes the data receiver of a transport type code, as the medium's row (medium.h) says.
#pragma once

#include <memory>
#include <string>

#include "core/transport/receiver.h"

class CDataManager;

class CReceiverFactory {
public:
    // A new, unstarted receiver of `type` constructed with the topic name and `dataManager`;
    // empty for a code whose medium this build does not have, and for any other code.
    static std::unique_ptr<CDataReceiver> createReceiver(int type, const std::string& topicName,
                                                         CDataManager* dataManager);
};

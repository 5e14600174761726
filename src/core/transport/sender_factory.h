// Makes the data sender of a transport type code, as the medium's row (medium.h) says.
#pragma once

#include <memory>

#include "core/transport/sender.h"

class CDataManager;

class CSenderFactory {
public:
    // A new, unstarted sender of `type` constructed with `dataManager`; empty for a code whose
    // medium this build does not have, and for any other code.
    static std::shared_ptr<CDataSender> createSender(int type, CDataManager* dataManager);
};

// Makes the control-channel transport of a topic: the writing side for a publisher, the reading
// side for a subscriber. The caller owns the object and deletes it through CTransport.
#pragma once

#include "core/transport/transport.h"

class CTransFactory {
public:
    // A new CTransSender when `isSender`, else a new CTransReceiver; null only when out of memory.
    static CTransport* createTransport(bool isSender);
};

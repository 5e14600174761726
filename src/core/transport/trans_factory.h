// Makes the control-channel transport of a topic: the writing side for a publisher, the reading
// side for a subscriber. The caller owns the object and deletes it through CTransport.
#pragma once

#include "core/transport/transport.h"

class CTransFactory {
public:
    // Null while this build has no control channel of the asked side.
    static CTransport* createTransport(bool isSender);
};

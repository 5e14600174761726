#include "core/transport/control/trans_factory.h"

#include <new>

#include "core/transport/control/trans_receiver.h"
#include "core/transport/control/trans_sender.h"

CTransport* CTransFactory::createTransport(bool isSender)
{
    if (isSender) {
        return new (std::nothrow) CTransSender();
    }
    return new (std::nothrow) CTransReceiver();
}

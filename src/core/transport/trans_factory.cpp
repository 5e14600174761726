#include "core/transport/trans_factory.h"

CTransport* CTransFactory::createTransport(bool isSender)
{
    // The control channel's two sides (writing and reading) are built separately and plug in
    // here; until then there is nothing to make.
    (void)isSender;
    return nullptr;
}

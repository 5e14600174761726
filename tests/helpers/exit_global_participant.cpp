// An application that keeps its participant in a namespace-scope unique_ptr and returns from
// main without deleting it (nor its topic): the participant goes among the static objects, after
// every function-local static of the library. Exits 0 when all of that went well.
//
// Usage: zqh_exit_global_participant <domain> <portBase> <unixBase> <keyBase>
#include <memory>

#include "helpers/exit_process.h"

namespace {

std::unique_ptr<CParticipant> g_participant;

} // namespace

int main(int argc, char** argv)
{
    _DomainConfigParam_t param;
    if (!exitproc::parseRecord(argc, argv, &param)) {
        return 2;
    }
    g_participant = std::make_unique<CParticipant>(param);
    return exitproc::use(*g_participant) ? 0 : 3;
}

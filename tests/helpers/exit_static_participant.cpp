// An application that keeps its participant in a function-local static (the usual singleton)
// and returns from main with a topic left undeleted: the participant goes among the static
// objects, after those the library made after it. Exits 0 when all of that went well.
//
// Usage: zqh_exit_static_participant <domain> <portBase> <unixBase> <keyBase>
#include "helpers/exit_process.h"

namespace {

CParticipant& participant(_DomainConfigParam_t& param)
{
    static CParticipant instance(param);
    return instance;
}

} // namespace

int main(int argc, char** argv)
{
    _DomainConfigParam_t param;
    if (!exitproc::parseRecord(argc, argv, &param)) {
        return 2;
    }
    return exitproc::use(participant(param)) ? 0 : 3;
}

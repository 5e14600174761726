// The PCIe medium's row: placeholders with no resource, never offered.
#include "core/transport/media/pcie_receiver.h"
#include "core/transport/media/pcie_sender.h"
#include "core/transport/medium.h"

namespace {

std::shared_ptr<CDataSender> makeSender(CDataManager* dataManager)
{
    return std::make_shared<CPCIeSender>(dataManager);
}

std::unique_ptr<CDataReceiver> makeReceiver(const std::string& topicName, CDataManager* dataManager)
{
    return std::make_unique<CPCIeReceiver>(topicName, dataManager);
}

} // namespace

const TransMedium_t PCIE_MEDIUM = {
    TRANS_TYPE_PCIE,
    "pcie",
    makeSender,
    makeReceiver,
    nullptr, // no resource
    nullptr, // nothing to give back
    nullptr, // nor to set aside
    0,       // no pool
    nullptr, // no number
    nullptr, // never offered
    false,   // never started by the control channel
    false,   // the reader attaches no pool
    false,   // any host
    nullptr, // nothing more to check
};

#pragma once
// The path from a command sink to the process's transport.

#include <cstdint>
#include <memory>
#include <optional>

#include "DeliveryGate.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/wirelink/CSCenter.h"

namespace Aux {
namespace CSCenter {
namespace Detail {

// The command's sequence number, or nothing when no transport is set up or
// it refused the command.
std::optional<uint64_t> SendCommand(IXData* command, const std::shared_ptr<DeliveryGate>& gate, CSCenterSink* sink);

}  // namespace Detail
}  // namespace CSCenter
}  // namespace Aux

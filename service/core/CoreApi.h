#pragma once
// Aux::Core: what concerns the library as a whole.

#include "pelbo/core/ServiceExport.h"

namespace Aux {
namespace Core {

// Ends the API families in their teardown order when the client shuts
// down. The QR-code family and the network monitor are ended by the client
// itself, or by a ShutdownGuard (ShutdownGuard.h), which runs the whole
// order. Calling it again does no harm.
SERVICE_API void DoExit();

}  // namespace Core
}  // namespace Aux

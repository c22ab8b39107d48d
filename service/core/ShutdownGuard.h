#pragma once
// Aux::Core::ShutdownGuard: ends the library when it goes out of scope, in
// the order the families depend on each other. A client declares one at the
// top of main (or of whatever owns the library's use), before its windows
// and sinks, so it runs after them:
//
//   int main() {
//       Aux::Core::ShutdownGuard shutdown;
//       ... sign in, meet, upload ...
//   }   // network monitor, QR codes, every family, the HTTPS service
//
// The destructor closes the network monitor (registered controls are not
// called again), ends the QR-code family, runs Aux::Core::DoExit and then
// stops the HTTPS service's thread and its pooled connections
// (Util::HttpsRequest::Shutdown). Each step may also have run before;
// running them again does no harm. Not copyable: one scope owns the end.

#include "pelbo/core/ServiceExport.h"

namespace Aux {
namespace Core {

class SERVICE_API ShutdownGuard {
public:
    ShutdownGuard() = default;
    ~ShutdownGuard();
    ShutdownGuard(const ShutdownGuard&) = delete;
    ShutdownGuard& operator=(const ShutdownGuard&) = delete;
};

}  // namespace Core
}  // namespace Aux

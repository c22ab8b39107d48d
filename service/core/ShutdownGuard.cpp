#include "pelbo/core/ShutdownGuard.h"

#include "pelbo/core/CoreApi.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "pelbo/session/AuxNetMon.h"
#include "pelbo/transfers/QRCodeApi.h"

namespace Aux {
namespace Core {

ShutdownGuard::~ShutdownGuard()
{
    // The monitor first, so no network state reaches the client's controls
    // while the session below is taken down; the HTTPS service last, since
    // the families' exits may still hand it their final requests to cancel.
    Aux::AuxNetMon::Exit();
    QRCodeApi::DoExit();
    DoExit();
    Util::HttpsRequest::Shutdown();
}

}  // namespace Core
}  // namespace Aux

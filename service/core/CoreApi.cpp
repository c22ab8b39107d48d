#include "core/CoreApi.h"

#include "account/LoginApi.h"
#include "core/ExportGuard.h"

namespace Aux {
namespace Core {

void DoExit()
{
    Frame::GuardExport(L"Aux::Core::DoExit", [] {
        // One line per family, in this order: picture downloads, image
        // conversion, login, materials, meetings, document uploads, log
        // uploads, user cache, websocket session, the websocket library,
        // image conversion once more (it may have been restarted by the
        // session's teardown), version check. Downloads and conversions stop
        // first because they report into the families that follow.
        LoginApi::DoExit();
    });
}

}  // namespace Core
}  // namespace Aux

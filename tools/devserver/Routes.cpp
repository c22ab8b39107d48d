#include "devserver/Routes.h"

namespace DevServer {

void RegisterAllRoutes(Server& server)
{
    RegisterDevRoutes(server);
    RegisterAccountRoutes(server);
    RegisterMeetingsRoutes(server);
    RegisterMaterialsRoutes(server);
    RegisterDownloadsRoutes(server);
    RegisterUploadRoutes(server);
    RegisterVersionRoutes(server);
}

}  // namespace DevServer

#include "devserver/Routes.h"

namespace DevServer {

void RegisterAllRoutes(Server& server)
{
    RegisterDevRoutes(server);
    RegisterAccountRoutes(server);
}

}  // namespace DevServer

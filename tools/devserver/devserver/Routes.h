#pragma once
// The route families of the local server. Each family lives in its own
// Routes<Family>.cpp and registers its routes on a server; the Server
// constructor calls RegisterAllRoutes, so a new family adds its function
// here and one line to Routes.cpp.

#include "devserver/DevServer.h"

namespace DevServer {

// Result codes ("code" member) the routes answer besides 0 for success.
namespace ResultCode {
constexpr int Ok = 0;
constexpr int BadRequest = 400;   // the body is not the JSON the route needs
constexpr int TokenInvalid = 1002;
}  // namespace ResultCode

void RegisterAllRoutes(Server& server);

// "/_dev/...": fault switches and test tokens for the standalone program.
void RegisterDevRoutes(Server& server);
// "/v1/account/...".
void RegisterAccountRoutes(Server& server);

}  // namespace DevServer

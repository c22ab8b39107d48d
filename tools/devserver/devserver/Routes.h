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
// Account family (see docs/devserver.md).
constexpr int UnknownUser = 1003;      // no account for the phone or token's user
constexpr int WrongPassword = 1004;
constexpr int WrongCode = 1005;        // verification code wrong, used or expired
constexpr int PhoneRegistered = 1006;  // the phone already has an account
constexpr int SecretInvalid = 1007;    // phone-change secret wrong or expired
constexpr int WeChatNotBound = 1008;
constexpr int GuestNotAllowed = 1009;  // the operation needs a registered user
// Meetings and materials.
constexpr int RoomNotFound = 2001;      // no room with the code (or it was deleted)
constexpr int NotRoomCreator = 2002;    // only the room's creator may change or delete it
constexpr int MaterialNotFound = 2101;  // no material with the id
}  // namespace ResultCode

void RegisterAllRoutes(Server& server);

// "/_dev/...": fault switches and test tokens for the standalone program.
void RegisterDevRoutes(Server& server);
// "/v1/account/...".
void RegisterAccountRoutes(Server& server);
// "/v1/conference/room...": meeting rooms.
void RegisterMeetingsRoutes(Server& server);
// "/v1/account/material...": materials.
void RegisterMaterialsRoutes(Server& server);
// "/download/...": installer and file downloads.
void RegisterDownloadsRoutes(Server& server);
// "/v1/account/ramupload", "/v1/account/uploadlog" and the object storage.
void RegisterUploadRoutes(Server& server);
// Serves bytes at "/pictures/<name>" (a route of its own, so its faults
// are its own); returns that path.
std::string PublishPicture(Server& server, const std::string& name, std::string bytes);
// "/upgrade/...": the version manifest.
void RegisterVersionRoutes(Server& server);

}  // namespace DevServer

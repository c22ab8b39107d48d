#pragma once
// WebsocketApi: the command session with the conference server. Every
// function creates the family's manager on first use; DoExit destroys it.
// Outcomes arrive through ServiceEvent::ConnectResult and DisConnect:
//   0         "connect" answered with success
//   1004      the account is signed in elsewhere (the server's own code)
//   10000000  "connect" timed out
//   10000001  "connect" refused, or the transport reported an unknown state
//   10000002  "reconnect" refused
//   10000003  "reconnect" answered with success
//   10000004  "reconnect" timed out
//   10000005  the connection was lost while logging in with "reconnect"
//   10000006  the transport could not connect

#include <string>

#include "pelbo/core/ServiceExport.h"

namespace WebsocketApi {

// Sets the transport up once, for the signed-in user; 0 when already done or
// nobody is signed in (then it stays undone until DoExit).
SERVICE_API int Init();
// Opens the session (the first argument is not used); force is the "Force"
// of the log-in. 0 when the transport is already logged in: then "connect"
// is sent on the open session.
SERVICE_API int StartConn(int unused, int force);
// 1 while logged in, else 0.
SERVICE_API int GetConnSate();
// 1: the next connection logs in with "connect"; 0: with "reconnect".
SERVICE_API void SetLoginPre(int loginPre);
// This installation's GUID: 32 lower-case hex digits and "guid".
SERVICE_API std::string GetGUID();
SERVICE_API int Connect(int force);
SERVICE_API int DisConnect();
SERVICE_API void DoExit();

}  // namespace WebsocketApi

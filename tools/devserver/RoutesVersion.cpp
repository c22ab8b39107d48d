// "/upgrade/...": the version manifest of the client's update check.
//
//   GET /upgrade/pelbo-version.json       the manifest
//   GET /upgrade/pelbo-version.json.sig   its signature (base64 Ed25519)
//   POST /_dev/release?kind=K             what kind of release is announced
//
// The manifest announces release 1.0.0.9 with the shelf's installer (its
// address on this server, size, SHA-256 and MD5), signed with the server's
// throw-away release key; a file named "pelbo-version.json" on the download
// shelf is served instead, as it is, and signed all the same. The kinds of
// the release desk (devserver/ReleaseDesk.h) make it unsigned, signed by
// another key, older, expired, short of the installer's size or naming
// another installer.

#include "devserver/JsonHelpers.h"
#include "devserver/Routes.h"
#include "devserver/State.h"

namespace DevServer {
namespace {

HttpResponse Manifest(Server& server, const Server::State& state)
{
    HttpResponse response;
    response.body = state.release.Manifest(state.downloads, server.BaseUrl() + "/download/installer");
    return response;
}

HttpResponse ManifestSignature(Server& server, const Server::State& state)
{
    const std::string signature =
        state.release.Signature(state.release.Manifest(state.downloads, server.BaseUrl() + "/download/installer"));
    HttpResponse response;
    response.contentType = "text/plain";
    if (signature.empty()) {
        response.status = 404;
        response.body = "no signature\n";
        return response;
    }
    response.body = signature + "\n";
    return response;
}

HttpResponse SetRelease(ReleaseDesk& desk, const HttpRequest& request)
{
    const auto kind = request.query.find("kind");
    ReleaseDesk::Kind chosen = ReleaseDesk::Kind::Signed;
    if (kind == request.query.end() || !ReleaseDesk::KindFromName(kind->second, chosen))
        return JsonError(400, ResultCode::BadRequest,
                         "\"kind\" is one of signed, unsigned, wrong_key, older, expired, oversized, swapped");
    desk.SetKind(chosen);
    Json::Value answer(Json::objectValue);
    answer["code"] = ResultCode::Ok;
    return JsonResponse(answer);
}

}  // namespace

void RegisterVersionRoutes(Server& server)
{
    Server::State& state = server.GetState();
    server.Route("GET", "/upgrade/pelbo-version.json",
                 [&server, &state](const HttpRequest&) { return Manifest(server, state); });
    server.Route("GET", "/upgrade/pelbo-version.json.sig",
                 [&server, &state](const HttpRequest&) { return ManifestSignature(server, state); });
    server.Route("POST", "/_dev/release",
                 [&state](const HttpRequest& request) { return SetRelease(state.release, request); });
}

}  // namespace DevServer

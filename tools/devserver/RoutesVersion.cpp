// "/upgrade/...": the version manifest of the client's update check.
//
//   GET /upgrade/pelbo-version.json   the manifest
//
// Unless a file named "pelbo-version.json" is on the download shelf (which
// is then served as it is, so tests can hand out any text), the manifest
// announces release 1.0.0.9 with the shelf's installer: its address on this
// server and its MD5 digest.

#include "devserver/JsonHelpers.h"
#include "devserver/Routes.h"
#include "devserver/State.h"

namespace DevServer {
namespace {

const char kManifestFile[] = "pelbo-version.json";
const char kAnnouncedVersion[] = "1.0.0.9";

HttpResponse Manifest(Server& server, const DownloadShelf& shelf)
{
    if (const auto stored = shelf.Get(kManifestFile)) {
        HttpResponse response;
        response.body = *stored;
        return response;
    }
    Json::Value manifest(Json::objectValue);
    manifest["version"] = kAnnouncedVersion;
    manifest["downloadUrl"] = server.BaseUrl() + "/download/installer";
    manifest["md5"] = shelf.Md5(DownloadShelf::kInstaller);
    Json::Value notes(Json::arrayValue);
    notes.append("Faster joining of meetings");
    notes.append("\xE7\x99\xBD\xE6\x9D\xBF\xE6\x9B\xB4\xE6\xB5\x81\xE7\x95\x85");  // smoother whiteboard
    manifest["updateMsg"] = notes;
    return JsonResponse(manifest);
}

}  // namespace

void RegisterVersionRoutes(Server& server)
{
    DownloadShelf& shelf = server.GetState().downloads;
    server.Route("GET", "/upgrade/pelbo-version.json",
                 [&server, &shelf](const HttpRequest&) { return Manifest(server, shelf); });
}

}  // namespace DevServer

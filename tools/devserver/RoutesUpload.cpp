// Upload tickets and the object storage they are for.
//
//   POST /v1/account/ramupload   document ticket ("token" header of a signed-in
//                                user; body "name", "size", "ext", "type",
//                                "user_id"); credentials under
//                                "assume_role_response"/"Credentials"
//   POST /v1/account/uploadlog   log ticket (no token; body "name", "ext");
//                                credentials under "credential"
//   any request for a bucket     the S3-compatible storage (ObjectStore.h)
//
// A ticket names the endpoint "oss-local"; clients put their configured
// domain suffix after it (".localhost:<port>" reaches this server, since
// libcurl resolves every name under "localhost" to the loopback address).

#include <string>

#include "devserver/JsonHelpers.h"
#include "devserver/ObjectStore.h"
#include "devserver/Routes.h"
#include "devserver/SigV4.h"
#include "devserver/State.h"

namespace DevServer {
namespace {

std::string Header(const HttpRequest& request, const char* name)
{
    auto it = request.headers.find(name);
    return it == request.headers.end() ? std::string() : it->second;
}

// ":<port>" of the Host the client reached us by; empty without one.
std::string PortSuffix(const HttpRequest& request)
{
    const std::string host = Header(request, "host");
    const size_t colon = host.rfind(':');
    if (colon == std::string::npos || host.find(']', colon) != std::string::npos)
        return std::string();
    return host.substr(colon);
}

// A name that is safe as one segment of an object key.
std::string KeySegment(const std::string& text)
{
    std::string out;
    for (const char c : text)
        out.push_back(c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 ? '_' : c);
    return out.empty() ? std::string("file") : out;
}

Json::Value TicketBase(const Server& server, const HttpRequest& request, const std::string& bucket,
                       const std::string& key, uint64_t fileId)
{
    Json::Value ticket(Json::objectValue);
    ticket["code"] = 0;
    ticket["file_id"] = Json::UInt64(fileId);
    ticket["end_point"] = ObjectStore::kEndPoint;
    ticket["bucket"] = bucket;
    ticket["path"] = key;
    // The storage shares the server's port and so its scheme: a server that
    // speaks TLS answers nothing at an http address.
    const std::string base = server.BaseUrl();
    const std::string scheme = base.substr(0, base.find("://") + 3);
    ticket["file_url"] = scheme + ObjectStore::kEndPoint + ".localhost" + PortSuffix(request) + "/" + bucket + "/" +
                         SigV4::UriEncode(key, true);
    return ticket;
}

HttpResponse DocumentTicket(Server& server, const HttpRequest& request)
{
    Server::State& state = server.GetState();
    const auto user = state.UserOfToken(Header(request, "token"));
    if (!user)
        return JsonError(200, ResultCode::TokenInvalid, "token invalid or expired");
    Json::Value body;
    if (!ParseJsonObject(request.body, &body) || !body["name"].isString() || body["name"].asString().empty())
        return JsonError(200, ResultCode::BadRequest, "need \"name\"");
    ObjectStore& store = state.storage;
    const uint64_t fileId = store.NextFileId();
    const std::string key =
        "docs/" + std::to_string(*user) + "/" + std::to_string(fileId) + "/" + KeySegment(body["name"].asString());
    const ObjectStore::Credentials issued = store.Issue(ObjectStore::kDocsBucket, key);
    Json::Value ticket = TicketBase(server, request, ObjectStore::kDocsBucket, key, fileId);
    Json::Value credentials(Json::objectValue);
    credentials["AccessKeyId"] = issued.accessKeyId;
    credentials["AccessKeySecret"] = issued.secret;
    credentials["SecurityToken"] = issued.token;
    credentials["Expiration"] = issued.expiration;
    ticket["assume_role_response"]["Credentials"] = credentials;
    server.Note("ramupload: file " + std::to_string(fileId) + " -> " + key);
    return JsonResponse(ticket);
}

HttpResponse LogTicket(Server& server, const HttpRequest& request)
{
    Json::Value body;
    if (!ParseJsonObject(request.body, &body) || !body["name"].isString())
        return JsonError(200, ResultCode::BadRequest, "need \"name\"");
    const std::string ext = body["ext"].isString() ? body["ext"].asString() : std::string();
    ObjectStore& store = server.GetState().storage;
    const uint64_t fileId = store.NextFileId();
    const std::string name = KeySegment(body["name"].asString()) + (ext.empty() ? "" : "." + KeySegment(ext));
    const std::string key = "logs/" + std::to_string(fileId) + "/" + name;
    const ObjectStore::Credentials issued = store.Issue(ObjectStore::kLogsBucket, key);
    Json::Value ticket = TicketBase(server, request, ObjectStore::kLogsBucket, key, fileId);
    Json::Value credential(Json::objectValue);
    credential["access_key_id"] = issued.accessKeyId;
    credential["access_key_secret"] = issued.secret;
    credential["security_token"] = issued.token;
    credential["expiration"] = issued.expiration;
    ticket["credential"] = credential;
    server.Note("uploadlog: file " + std::to_string(fileId) + " -> " + key);
    return JsonResponse(ticket);
}

}  // namespace

void RegisterUploadRoutes(Server& server)
{
    server.Route("POST", "/v1/account/ramupload",
                 [&server](const HttpRequest& request) { return DocumentTicket(server, request); });
    server.Route("POST", "/v1/account/uploadlog",
                 [&server](const HttpRequest& request) { return LogTicket(server, request); });
    server.RouteFallback([&server](const HttpRequest& request) {
        ObjectStore& store = server.GetState().storage;
        if (!store.IsStorageRequest(request))
            return JsonError(404, 404, "no route for " + request.method + " " + request.path);
        return store.Handle(request);
    });
}

}  // namespace DevServer

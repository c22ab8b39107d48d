#include "devserver/JsonHelpers.h"
#include "devserver/Routes.h"
#include "devserver/State.h"

namespace DevServer {
namespace {

HttpResponse RefreshToken(Server::State& state, const HttpRequest& request)
{
    Json::Value body;
    if (!ParseJsonObject(request.body, &body) || !body["token"].isString())
        return JsonError(400, ResultCode::BadRequest, "body must be a JSON object with a string \"token\"");
    const auto issued = state.RefreshToken(body["token"].asString());
    if (!issued)
        return JsonError(200, ResultCode::TokenInvalid, "token invalid");
    Json::Value answer(Json::objectValue);
    answer["code"] = ResultCode::Ok;
    answer["token"] = issued->token;
    answer["expire"] = static_cast<Json::Int64>(issued->lifetime.count());
    return JsonResponse(answer);
}

}  // namespace

void RegisterAccountRoutes(Server& server)
{
    Server::State& state = server.GetState();
    server.Route("POST", "/v1/account/refreshtoken",
                 [&state](const HttpRequest& request) { return RefreshToken(state, request); });
}

}  // namespace DevServer

#include <chrono>

#include "devserver/JsonHelpers.h"
#include "devserver/Routes.h"
#include "devserver/State.h"

namespace DevServer {
namespace {

constexpr unsigned kMaxDelayMs = 10 * 60 * 1000;

// Reads an optional member; false when it is present with the wrong type.
bool ReadBool(const Json::Value& body, const char* name, bool* out)
{
    const Json::Value& value = body[name];
    if (value.isNull())
        return true;
    if (!value.isBool())
        return false;
    *out = value.asBool();
    return true;
}

bool ReadInt(const Json::Value& body, const char* name, int* out)
{
    const Json::Value& value = body[name];
    if (value.isNull())
        return true;
    if (!value.isInt())
        return false;
    *out = value.asInt();
    return true;
}

bool ReadInt64(const Json::Value& body, const char* name, long long* out)
{
    const Json::Value& value = body[name];
    if (value.isNull())
        return true;
    if (!value.isInt64())
        return false;
    *out = value.asInt64();
    return true;
}

HttpResponse Ok()
{
    Json::Value answer(Json::objectValue);
    answer["code"] = ResultCode::Ok;
    return JsonResponse(answer);
}

// {"method":"POST","path":"/v1/...","delay_ms":N,"close":b,"close_mid_response":b,
//  "cut_after_bytes":N,"ignore_range":b,"garbage":b,"empty":b,"status":N,"redirect":"URL","count":N}
HttpResponse SetFault(Server& server, const HttpRequest& request)
{
    Json::Value body;
    if (!ParseJsonObject(request.body, &body) || !body["method"].isString() || !body["path"].isString())
        return JsonError(400, ResultCode::BadRequest, "need \"method\" and \"path\" strings");
    Fault fault;
    int delayMs = 0;
    bool ok = ReadInt(body, "delay_ms", &delayMs) && ReadBool(body, "close", &fault.closeWithoutAnswer) &&
              ReadBool(body, "close_mid_response", &fault.closeMidResponse) &&
              ReadBool(body, "garbage", &fault.garbageBody) && ReadBool(body, "empty", &fault.emptyBody) &&
              ReadInt(body, "status", &fault.httpStatus) && ReadInt(body, "count", &fault.remaining) &&
              ReadInt64(body, "cut_after_bytes", &fault.cutAfterBytes) &&
              ReadBool(body, "ignore_range", &fault.ignoreRange);
    const bool cutValid = body["cut_after_bytes"].isNull() || fault.cutAfterBytes >= 0;
    if (!ok || !cutValid || delayMs < 0 || static_cast<unsigned>(delayMs) > kMaxDelayMs || fault.remaining < -1)
        return JsonError(400, ResultCode::BadRequest, "a fault member has a wrong type or value");
    const Json::Value& redirect = body["redirect"];
    if (!redirect.isNull()) {
        // The address becomes a header line: no line break may forge another.
        if (!redirect.isString() || redirect.asString().empty() ||
            redirect.asString().find_first_of("\r\n") != std::string::npos)
            return JsonError(400, ResultCode::BadRequest, "\"redirect\" must be an address on one line");
        fault.redirectTo = redirect.asString();
    }
    fault.delayMs = static_cast<unsigned>(delayMs);
    if (!server.SetFault(body["method"].asString(), body["path"].asString(), fault))
        return JsonError(400, ResultCode::BadRequest, "\"status\" must be within 100..599");
    return Ok();
}

// {"user_id":N[,"lifetime":seconds]} -> {"code":0,"token":"...","expire":seconds}
HttpResponse IssueToken(Server::State& state, const HttpRequest& request)
{
    Json::Value body;
    if (!ParseJsonObject(request.body, &body) || !body["user_id"].isUInt())
        return JsonError(400, ResultCode::BadRequest, "need an unsigned \"user_id\"");
    const Json::Value& lifetime = body["lifetime"];
    if (!lifetime.isNull() && !lifetime.isUInt())
        return JsonError(400, ResultCode::BadRequest, "\"lifetime\" must be unsigned seconds");
    const auto issued = lifetime.isNull()
                            ? state.IssueToken(body["user_id"].asUInt())
                            : state.IssueToken(body["user_id"].asUInt(), std::chrono::seconds(lifetime.asUInt()));
    Json::Value answer(Json::objectValue);
    answer["code"] = ResultCode::Ok;
    answer["token"] = issued.token;
    answer["expire"] = static_cast<Json::Int64>(issued.lifetime.count());
    return JsonResponse(answer);
}

bool ReadText(const Json::Value& body, const char* name, std::string* out)
{
    const Json::Value& value = body[name];
    if (value.isNull())
        return true;
    if (!value.isString())
        return false;
    *out = value.asString();
    return true;
}

// {"command":"ping","drop":b,"delay_ms":N,"count":N}: the websocket fault of
// one command ("command" absent or empty: of any command).
HttpResponse SetWsFault(WsHub& hub, const HttpRequest& request)
{
    Json::Value body;
    if (!ParseJsonObject(request.body, &body))
        return JsonError(400, ResultCode::BadRequest, "need a JSON object");
    WsFault fault;
    int delayMs = 0;
    const bool ok = ReadText(body, "command", &fault.command) && ReadBool(body, "drop", &fault.dropConnection) &&
                    ReadInt(body, "delay_ms", &delayMs) && ReadInt(body, "count", &fault.remaining);
    if (!ok || delayMs < 0 || static_cast<unsigned>(delayMs) > kMaxDelayMs || fault.remaining < -1)
        return JsonError(400, ResultCode::BadRequest, "a fault member has a wrong type or value");
    fault.delayMs = static_cast<unsigned>(delayMs);
    hub.SetFault(fault);
    return Ok();
}

// {"refuse":b}
HttpResponse SetWsRefusal(WsHub& hub, const HttpRequest& request)
{
    Json::Value body;
    if (!ParseJsonObject(request.body, &body) || !body["refuse"].isBool())
        return JsonError(400, ResultCode::BadRequest, "need a boolean \"refuse\"");
    hub.SetRefuseConnections(body["refuse"].asBool());
    return Ok();
}

// {"event":"room.notify","seq":"next"|"skip"|"repeat"} -> {"code":0,"seq":S}
// (S 0: nobody was logged in, nothing was sent)
HttpResponse WsPush(WsHub& hub, const HttpRequest& request)
{
    Json::Value body;
    std::string event = "room.notify";
    std::string mode = "next";
    if (!ParseJsonObject(request.body, &body) || !ReadText(body, "event", &event) || !ReadText(body, "seq", &mode) ||
        event.empty())
        return JsonError(400, ResultCode::BadRequest, "\"event\" and \"seq\" must be texts");
    PushSeq seq = PushSeq::Next;
    if (mode == "skip")
        seq = PushSeq::Skip;
    else if (mode == "repeat")
        seq = PushSeq::Repeat;
    else if (mode != "next")
        return JsonError(400, ResultCode::BadRequest, "\"seq\" is one of next, skip, repeat");
    Json::Value answer(Json::objectValue);
    answer["code"] = ResultCode::Ok;
    answer["seq"] = static_cast<Json::UInt64>(hub.Push(event, seq));
    return JsonResponse(answer);
}

}  // namespace

void RegisterDevRoutes(Server& server)
{
    Server::State& state = server.GetState();
    server.Route("POST", "/_dev/fault", [&server](const HttpRequest& request) { return SetFault(server, request); });
    server.Route("POST", "/_dev/faults/clear", [&server, &state](const HttpRequest&) {
        server.ClearFaults();
        state.ws.ClearFaults();
        return Ok();
    });
    server.Route("POST", "/_dev/token", [&state](const HttpRequest& request) { return IssueToken(state, request); });
    server.Route("GET", "/_dev/proxy", [&server](const HttpRequest&) {
        Json::Value answer(Json::objectValue);
        answer["code"] = ResultCode::Ok;
        answer["port"] = server.ProxyPort();
        answer["tunnels"] = static_cast<Json::UInt64>(server.ProxyTunnelCount());
        answer["refused"] = static_cast<Json::UInt64>(server.ProxyRefusalCount());
        return JsonResponse(answer);
    });

    WsHub& hub = state.ws;
    server.Route("POST", "/_dev/ws/fault", [&hub](const HttpRequest& request) { return SetWsFault(hub, request); });
    server.Route("POST", "/_dev/ws/refuse", [&hub](const HttpRequest& request) { return SetWsRefusal(hub, request); });
    server.Route("POST", "/_dev/ws/push", [&hub](const HttpRequest& request) { return WsPush(hub, request); });
    server.Route("POST", "/_dev/ws/drop", [&hub](const HttpRequest&) {
        Json::Value answer(Json::objectValue);
        answer["code"] = ResultCode::Ok;
        answer["dropped"] = hub.DropAll();
        return JsonResponse(answer);
    });
    server.Route("POST", "/_dev/ws/forget", [&hub](const HttpRequest&) {
        hub.ForgetSessions();
        return Ok();
    });
}

}  // namespace DevServer

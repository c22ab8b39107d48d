// "/v1/conference/room...": meeting rooms. A room's own addresses
// ("/v1/conference/room/<code>" and ".../summary") are routed when the room
// is made, as the router matches exact paths. Answers carry "code" 0 or one
// of the ResultCode values; see docs/api-meetings.md.

#include <cstdlib>
#include <optional>
#include <string>

#include "devserver/JsonHelpers.h"
#include "devserver/Routes.h"
#include "devserver/State.h"

namespace DevServer {
namespace {

constexpr const char* kRoomPath = "/v1/conference/room";
constexpr uint32_t kMaxLimit = 100;
constexpr uint32_t kMaxDays = 3660;

HttpResponse BadRequest(const char* what) { return JsonError(400, ResultCode::BadRequest, what); }

// A refusal is an answer, not a failed exchange: HTTP 200 with the code.
HttpResponse Refused(int code, const char* message) { return JsonError(200, code, message); }

HttpResponse Ok(Json::Value answer = Json::Value(Json::objectValue))
{
    answer["code"] = ResultCode::Ok;
    return JsonResponse(answer);
}

std::optional<uint32_t> Caller(Server::State& state, const HttpRequest& request)
{
    const auto header = request.headers.find("token");
    if (header == request.headers.end() || header->second.empty())
        return std::nullopt;
    return state.UserOfToken(header->second);
}

// Optional members of a room body: absent reads as 0, false or empty.
bool ReadUnsigned(const Json::Value& body, const char* name, uint32_t* out)
{
    const Json::Value& value = body[name];
    if (value.isNull())
        return true;
    if (!value.isUInt())
        return false;
    *out = value.asUInt();
    return true;
}

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

// The members create and modify share.
bool ReadRoomBody(const Json::Value& body, Room* room)
{
    return ReadText(body, "title", &room->title) && ReadText(body, "start_time", &room->startTime) &&
           ReadUnsigned(body, "duration", &room->duration) &&
           ReadBool(body, "is_close_host_video", &room->closeHostVideo) &&
           ReadBool(body, "is_close_member_video", &room->closeMemberVideo) &&
           ReadBool(body, "is_close_member_audio", &room->closeMemberAudio);
}

// A decimal query parameter within [low, high].
bool QueryNumber(const HttpRequest& request, const char* name, uint32_t low, uint32_t high, uint32_t* out)
{
    const auto it = request.query.find(name);
    if (it == request.query.end() || it->second.empty() || it->second.size() > 10 ||
        it->second.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long value = std::strtoull(it->second.c_str(), nullptr, 10);
    if (value < low || value > high)
        return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

Json::Value RoomJson(const Room& room)
{
    Json::Value value(Json::objectValue);
    value["room_code"] = room.code;
    value["corp_id"] = room.corpId;
    value["type"] = room.pcType;
    value["title"] = room.title;
    value["start_time"] = room.startTime;
    value["duration"] = room.duration;
    value["is_close_host_video"] = room.closeHostVideo;
    value["is_close_member_video"] = room.closeMemberVideo;
    value["is_close_member_audio"] = room.closeMemberAudio;
    value["creator_id"] = room.creatorId;
    value["room_url"] = room.url;
    value["is_example"] = room.example;
    return value;
}

HttpResponse PageAnswer(const RoomPage& page)
{
    Json::Value answer(Json::objectValue);
    answer["total_page"] = page.totalPages;
    answer["room_list"] = Json::Value(Json::arrayValue);
    for (const Room& room : page.rooms)
        answer["room_list"].append(RoomJson(room));
    return Ok(answer);
}

std::string UrlPrefix(Server& server) { return server.BaseUrl() + "/room/"; }

std::string Nick(Server::State& state, uint32_t userId)
{
    const auto user = state.accounts.User(userId);
    if (user && !user->name.empty())
        return user->name;
    return "user " + std::to_string(userId);
}

HttpResponse Info(Server::State& state, const std::string& code, const HttpRequest& request)
{
    if (!Caller(state, request))
        return Refused(ResultCode::TokenInvalid, "token invalid or expired");
    const auto room = state.rooms.Find(code);
    if (!room)
        return Refused(ResultCode::RoomNotFound, "no such room");
    return Ok(RoomJson(*room));
}

HttpResponse Summary(Server::State& state, const std::string& code)
{
    const auto room = state.rooms.Find(code);
    if (!room)
        return Refused(ResultCode::RoomNotFound, "no such room");
    Json::Value answer(Json::objectValue);
    answer["room_code"] = room->code;
    answer["title"] = room->title;
    answer["start_time"] = room->startTime;
    answer["duration"] = room->duration;
    answer["room_url"] = room->url;
    answer["creator_nick"] = room->creatorNick;
    return Ok(answer);
}

// The room as the caller may change it: found, and the caller made it.
std::optional<HttpResponse> CheckCreator(Server::State& state, const std::string& code, const HttpRequest& request)
{
    const auto caller = Caller(state, request);
    if (!caller)
        return Refused(ResultCode::TokenInvalid, "token invalid or expired");
    const auto room = state.rooms.Find(code);
    if (!room)
        return Refused(ResultCode::RoomNotFound, "no such room");
    if (room->example || room->creatorId != *caller)
        return Refused(ResultCode::NotRoomCreator, "only the room's creator may do that");
    return std::nullopt;
}

HttpResponse Modify(Server::State& state, const std::string& code, const HttpRequest& request)
{
    if (auto refused = CheckCreator(state, code, request))
        return *refused;
    Json::Value body;
    Room change;
    std::string bodyCode;
    if (!ParseJsonObject(request.body, &body) || !ReadRoomBody(body, &change) ||
        !ReadText(body, "room_code", &bodyCode))
        return BadRequest("need a room body: texts, an unsigned \"duration\" and boolean switches");
    if (!bodyCode.empty() && bodyCode != code)
        return BadRequest("\"room_code\" differs from the room addressed");
    const auto room = state.rooms.Modify(code, change);
    if (!room)
        return Refused(ResultCode::RoomNotFound, "no such room");
    return Ok(RoomJson(*room));
}

HttpResponse Delete(Server::State& state, const std::string& code, const HttpRequest& request)
{
    if (auto refused = CheckCreator(state, code, request))
        return *refused;
    if (!state.rooms.Remove(code))
        return Refused(ResultCode::RoomNotFound, "no such room");
    return Ok();
}

// Routes a room's own addresses. Registering again replaces the handlers
// with equal ones, so this may run for a room more than once.
void RouteRoom(Server& server, const std::string& code)
{
    const std::string path = std::string(kRoomPath) + "/" + code;
    Server::State& state = server.GetState();
    server.Route("GET", path, [&state, code](const HttpRequest& request) { return Info(state, code, request); });
    server.Route("PUT", path, [&state, code](const HttpRequest& request) { return Modify(state, code, request); });
    server.Route("DELETE", path,
                 [&state, code](const HttpRequest& request) { return Delete(state, code, request); });
    server.Route("GET", path + "/summary", [&state, code](const HttpRequest&) { return Summary(state, code); });
}

HttpResponse Create(Server& server, const HttpRequest& request)
{
    Server::State& state = server.GetState();
    const auto caller = Caller(state, request);
    if (!caller)
        return Refused(ResultCode::TokenInvalid, "token invalid or expired");
    Json::Value body;
    Room room;
    uint32_t type = 0;
    if (!ParseJsonObject(request.body, &body) || !ReadRoomBody(body, &room) ||
        !ReadUnsigned(body, "corp_id", &room.corpId) || !ReadUnsigned(body, "pc_type", &room.pcType) ||
        !ReadUnsigned(body, "type", &type))
        return BadRequest("need a room body: texts, unsigned numbers and boolean switches");
    if (room.corpId == 0 || room.title.empty())
        return BadRequest("need a \"corp_id\" and a \"title\"");
    room.creatorId = *caller;
    room.creatorNick = Nick(state, *caller);
    const Room stored = state.rooms.Create(room, UrlPrefix(server));
    RouteRoom(server, stored.code);
    return Ok(RoomJson(stored));
}

HttpResponse List(Server::State& state, const HttpRequest& request)
{
    if (!Caller(state, request))
        return Refused(ResultCode::TokenInvalid, "token invalid or expired");
    uint32_t corpId = 0, page = 0, limit = 0;
    if (!QueryNumber(request, "corp_id", 0, UINT32_MAX, &corpId) || !QueryNumber(request, "page", 1, UINT32_MAX, &page) ||
        !QueryNumber(request, "limit", 1, kMaxLimit, &limit))
        return BadRequest("need \"corp_id\", \"page\" from 1 and \"limit\" from 1 to 100");
    const auto from = request.query.find("from_time");
    return PageAnswer(state.rooms.List(corpId, from != request.query.end() ? from->second : "", page, limit));
}

// History (the last days, latest first) or arrangement (the coming days,
// soonest first, after the example room).
HttpResponse Window(Server& server, const HttpRequest& request, bool history)
{
    Server::State& state = server.GetState();
    if (!Caller(state, request))
        return Refused(ResultCode::TokenInvalid, "token invalid or expired");
    uint32_t corpId = 0, days = 0, page = 0, limit = 0;
    if (!QueryNumber(request, "corp_id", 0, UINT32_MAX, &corpId) || !QueryNumber(request, "days", 1, kMaxDays, &days) ||
        !QueryNumber(request, "page", 1, UINT32_MAX, &page) || !QueryNumber(request, "limit", 1, kMaxLimit, &limit))
        return BadRequest("need \"corp_id\", \"days\" from 1, \"page\" from 1 and \"limit\" from 1 to 100");
    const long long span = static_cast<long long>(days) * 86400;
    if (history)
        return PageAnswer(state.rooms.Between(corpId, RoomBook::TimeText(-span), RoomBook::TimeText(0), true, false,
                                              page, limit));
    RouteRoom(server, state.rooms.Example(UrlPrefix(server)).code);
    return PageAnswer(
        state.rooms.Between(corpId, RoomBook::TimeText(0), RoomBook::TimeText(span), false, true, page, limit));
}

}  // namespace

void RegisterMeetingsRoutes(Server& server)
{
    server.Route("POST", kRoomPath, [&server](const HttpRequest& request) { return Create(server, request); });
    server.Route("GET", kRoomPath,
                 [&server](const HttpRequest& request) { return List(server.GetState(), request); });
    server.Route("GET", std::string(kRoomPath) + "/history",
                 [&server](const HttpRequest& request) { return Window(server, request, true); });
    server.Route("GET", std::string(kRoomPath) + "/arrangement",
                 [&server](const HttpRequest& request) { return Window(server, request, false); });
}

}  // namespace DevServer

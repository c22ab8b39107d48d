// "/v1/account/material...": a corporation's materials. A new material is
// "converting" until the book's conversion time has passed, then "done"
// with its page images. Answers carry "code" 0 or one of the ResultCode
// values; see docs/api-meetings.md.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "devserver/JsonHelpers.h"
#include "devserver/Routes.h"
#include "devserver/State.h"

namespace DevServer {
namespace {

constexpr uint32_t kMaxPageSize = 100;

HttpResponse BadRequest(const char* what) { return JsonError(400, ResultCode::BadRequest, what); }

HttpResponse Refused(int code, const char* message) { return JsonError(200, code, message); }

HttpResponse Ok(Json::Value answer = Json::Value(Json::objectValue))
{
    answer["code"] = ResultCode::Ok;
    return JsonResponse(answer);
}

HttpResponse TokenRefused() { return Refused(ResultCode::TokenInvalid, "token invalid or expired"); }

std::optional<uint32_t> Caller(Server::State& state, const HttpRequest& request)
{
    const auto header = request.headers.find("token");
    if (header == request.headers.end() || header->second.empty())
        return std::nullopt;
    return state.UserOfToken(header->second);
}

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

bool ReadId(const Json::Value& value, int64_t* out)
{
    if (!value.isInt64())
        return false;
    *out = value.asInt64();
    return true;
}

Json::Value MaterialJson(const Material& material)
{
    Json::Value value(Json::objectValue);
    value["id"] = static_cast<Json::Int64>(material.id);
    value["user_id"] = material.userId;
    value["corp_id"] = material.corpId;
    value["title"] = material.title;
    value["file_id"] = material.fileId;
    value["file_url"] = material.fileUrl;
    value["add_time"] = static_cast<Json::UInt64>(material.addTime);
    value["file_size"] = material.fileSize;
    value["convert_flag"] = material.convertFlag;
    return value;
}

HttpResponse List(Server::State& state, const HttpRequest& request)
{
    if (!Caller(state, request))
        return TokenRefused();
    Json::Value body;
    uint32_t corpId = 0, page = 0, pageSize = 0;
    if (!ParseJsonObject(request.body, &body) || !ReadUnsigned(body, "corp_id", &corpId) ||
        !ReadUnsigned(body, "page", &page) || !ReadUnsigned(body, "page_size", &pageSize) || page == 0 ||
        pageSize == 0 || pageSize > kMaxPageSize)
        return BadRequest("need \"corp_id\", \"page\" from 1 and \"page_size\" from 1 to 100");
    uint32_t count = 0;
    const auto materials = state.materials.Page(corpId, page, pageSize, &count);
    Json::Value answer(Json::objectValue);
    answer["count"] = count;
    answer["data"] = Json::Value(Json::arrayValue);
    for (const Material& material : materials)
        answer["data"].append(MaterialJson(material));
    return Ok(answer);
}

HttpResponse Add(Server& server, const HttpRequest& request)
{
    Server::State& state = server.GetState();
    const auto caller = Caller(state, request);
    if (!caller)
        return TokenRefused();
    Json::Value body;
    Material material;
    uint32_t type = 0;
    std::string path;
    if (!ParseJsonObject(request.body, &body) || !ReadUnsigned(body, "corp_id", &material.corpId) ||
        !ReadText(body, "title", &material.title) || !ReadUnsigned(body, "file_id", &material.fileId) ||
        !ReadUnsigned(body, "type", &type) || !ReadText(body, "pc_file_path", &path) ||
        !ReadText(body, "room_code", &material.roomCode))
        return BadRequest("need \"corp_id\", \"title\", \"file_id\" and optional \"type\", texts");
    if (material.corpId == 0 || material.title.empty())
        return BadRequest("need a \"corp_id\" and a \"title\"");
    material.userId = *caller;
    const Material stored = state.materials.Add(material, server.BaseUrl() + "/files/");
    const auto wait = state.materials.ConversionTime().count();
    Json::Value answer(Json::objectValue);
    answer["material_id"] = static_cast<Json::Int64>(stored.id);
    answer["predict_time"] = static_cast<Json::UInt>((wait + 999) / 1000);
    return Ok(answer);
}

HttpResponse Delete(Server::State& state, const HttpRequest& request)
{
    if (!Caller(state, request))
        return TokenRefused();
    Json::Value body;
    if (!ParseJsonObject(request.body, &body) || !body["material_id"].isArray() || body["material_id"].empty())
        return BadRequest("need a non-empty \"material_id\" array");
    std::vector<int64_t> ids;
    for (const Json::Value& value : body["material_id"]) {
        int64_t id = 0;
        if (!ReadId(value, &id))
            return BadRequest("\"material_id\" holds integers");
        ids.push_back(id);
    }
    if (!state.materials.Remove(ids))
        return Refused(ResultCode::MaterialNotFound, "no such material");
    return Ok();
}

HttpResponse Detail(Server::State& state, const HttpRequest& request)
{
    if (!Caller(state, request))
        return TokenRefused();
    Json::Value body;
    int64_t id = 0;
    uint32_t typePc = 0;
    if (!ParseJsonObject(request.body, &body) || !ReadId(body["material_id"], &id) ||
        !ReadUnsigned(body, "type_pc", &typePc))
        return BadRequest("need an integer \"material_id\"");
    const auto material = state.materials.Find(id);
    if (!material)
        return Refused(ResultCode::MaterialNotFound, "no such material");
    Json::Value answer = MaterialJson(*material);
    answer["images"] = Json::Value(Json::arrayValue);
    if (material->convertFlag == ConvertFlag::Done) {
        for (uint32_t page = 1; page <= material->pages; ++page) {
            Json::Value image(Json::objectValue);
            image["file_id"] = material->fileId;
            image["file_url"] = material->fileUrl + "/page-" + std::to_string(page) + ".png";
            image["width"] = 1280;
            image["height"] = 720;
            answer["images"].append(image);
        }
    }
    return Ok(answer);
}

HttpResponse Rename(Server::State& state, const HttpRequest& request)
{
    if (!Caller(state, request))
        return TokenRefused();
    Json::Value body;
    int64_t id = 0;
    std::string title;
    if (!ParseJsonObject(request.body, &body) || !ReadId(body["material_id"], &id) ||
        !ReadText(body, "title", &title) || title.empty())
        return BadRequest("need an integer \"material_id\" and a non-empty \"title\"");
    if (!state.materials.Rename(id, title))
        return Refused(ResultCode::MaterialNotFound, "no such material");
    return Ok();
}

}  // namespace

void RegisterMaterialsRoutes(Server& server)
{
    Server::State& state = server.GetState();
    server.Route("POST", "/v1/account/material/list",
                 [&state](const HttpRequest& request) { return List(state, request); });
    server.Route("POST", "/v1/account/material/add",
                 [&server](const HttpRequest& request) { return Add(server, request); });
    server.Route("POST", "/v1/account/material/del",
                 [&state](const HttpRequest& request) { return Delete(state, request); });
    server.Route("POST", "/v1/account/material/detail",
                 [&state](const HttpRequest& request) { return Detail(state, request); });
    server.Route("PUT", "/v1/account/material",
                 [&state](const HttpRequest& request) { return Rename(state, request); });
}

}  // namespace DevServer

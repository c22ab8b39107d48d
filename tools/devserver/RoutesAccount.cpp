// "/v1/account/...": registration, sign-in (password, code, guest),
// verification codes, corporations, profile, phone, password, WeChat and
// tokens. Answers carry "code" 0 or one of the ResultCode values; see
// docs/devserver.md.

#include <cstdlib>
#include <string>
#include <vector>

#include "devserver/JsonHelpers.h"
#include "devserver/PictureMaker.h"
#include "devserver/Routes.h"
#include "devserver/State.h"

namespace DevServer {
namespace {

HttpResponse BadBody(const char* what) { return JsonError(400, ResultCode::BadRequest, what); }

HttpResponse Refused(int code)
{
    const char* message = "refused";
    switch (code) {
    case ResultCode::BadRequest: message = "bad request"; break;
    case ResultCode::TokenInvalid: message = "token invalid"; break;
    case ResultCode::UnknownUser: message = "unknown user"; break;
    case ResultCode::WrongPassword: message = "wrong password"; break;
    case ResultCode::WrongCode: message = "wrong or expired verification code"; break;
    case ResultCode::PhoneRegistered: message = "phone already registered"; break;
    case ResultCode::SecretInvalid: message = "secret invalid or expired"; break;
    case ResultCode::WeChatNotBound: message = "no WeChat account bound"; break;
    case ResultCode::GuestNotAllowed: message = "not for guests"; break;
    default: break;
    }
    return JsonError(200, code, message);
}

HttpResponse Ok(Json::Value answer = Json::Value(Json::objectValue))
{
    answer["code"] = ResultCode::Ok;
    return JsonResponse(answer);
}

// Optional string member: true when absent (empty) or a string.
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

// Verification codes arrive as numbers; a digit string is taken as well.
bool ReadCode(const Json::Value& body, int* code)
{
    const Json::Value& value = body["code"];
    if (value.isInt()) {
        *code = value.asInt();
        return true;
    }
    if (value.isString() && !value.asString().empty() &&
        value.asString().find_first_not_of("0123456789") == std::string::npos && value.asString().size() < 10) {
        *code = std::atoi(value.asString().c_str());
        return true;
    }
    return false;
}

// The user the request's "token" header belongs to.
std::optional<uint32_t> Caller(Server::State& state, const HttpRequest& request)
{
    const auto header = request.headers.find("token");
    if (header == request.headers.end() || header->second.empty())
        return std::nullopt;
    return state.UserOfToken(header->second);
}

HttpResponse SignedIn(Server::State& state, const AccountUser& user)
{
    const auto issued = state.IssueToken(user.id);
    Json::Value answer(Json::objectValue);
    answer["user_id"] = user.id;
    answer["name"] = user.name;
    answer["token"] = issued.token;
    answer["expire"] = static_cast<Json::Int64>(issued.lifetime.count());
    answer["corp_id"] = user.corpId;
    answer["corp_name"] = user.corpName;
    answer["avatar"] = user.avatar;
    answer["phone"] = user.phone;
    answer["guest"] = user.guest;
    answer["wechat_nick"] = user.wechatNick;
    answer["wechat_union_id"] = user.wechatUnionId;
    return Ok(answer);
}

HttpResponse RefreshToken(Server::State& state, const HttpRequest& request)
{
    Json::Value body;
    if (!ParseJsonObject(request.body, &body) || !body["token"].isString())
        return BadBody("body must be a JSON object with a string \"token\"");
    const auto issued = state.RefreshToken(body["token"].asString());
    if (!issued)
        return Refused(ResultCode::TokenInvalid);
    Json::Value answer(Json::objectValue);
    answer["token"] = issued->token;
    answer["expire"] = static_cast<Json::Int64>(issued->lifetime.count());
    return Ok(answer);
}

// {"phone","type"} -> a code for the phone, told to the developer through
// the request log and "/_dev/scode" (there is no SMS here).
HttpResponse Pauth(Server& server, const HttpRequest& request)
{
    Json::Value body;
    std::string phone;
    if (!ParseJsonObject(request.body, &body) || !ReadText(body, "phone", &phone) || !body["type"].isInt())
        return BadBody("need \"phone\" and an integer \"type\"");
    std::string code;
    const int type = body["type"].asInt();
    const int result = server.GetState().accounts.IssueCode(phone, type, &code);
    if (result != ResultCode::Ok)
        return Refused(result);
    server.Note("pauth: verification code " + code + " for phone " + phone + " (type " + std::to_string(type) +
                ")");
    return Ok();
}

HttpResponse Register(Server::State& state, const HttpRequest& request)
{
    Json::Value body;
    std::string phone, password, name, corpName, accessToken;
    int code = 0;
    if (!ParseJsonObject(request.body, &body) || !ReadText(body, "phone", &phone) ||
        !ReadText(body, "password", &password) || !ReadText(body, "name", &name) ||
        !ReadText(body, "corp_name", &corpName) || !ReadText(body, "access_token", &accessToken) ||
        !ReadCode(body, &code))
        return BadBody("need \"phone\", \"password\", \"code\" and optional texts");
    AccountUser user;
    const int result = state.accounts.Register(phone, password, code, name, corpName, accessToken, &user);
    return result == ResultCode::Ok ? SignedIn(state, user) : Refused(result);
}

// One path for both sign-ins: a "password" member means by password,
// otherwise by verification code.
HttpResponse Login(Server::State& state, const HttpRequest& request)
{
    Json::Value body;
    std::string phone, password, accessToken;
    if (!ParseJsonObject(request.body, &body) || !ReadText(body, "phone", &phone) ||
        !ReadText(body, "password", &password) || !ReadText(body, "access_token", &accessToken))
        return BadBody("need \"phone\" with \"password\" or \"code\"");
    AccountUser user;
    int result = ResultCode::BadRequest;
    if (body.isMember("password")) {
        result = state.accounts.LoginByPassword(phone, password, &user);
    } else {
        int code = 0;
        if (!ReadCode(body, &code))
            return BadBody("need \"phone\" with \"password\" or \"code\"");
        result = state.accounts.LoginByCode(phone, code, accessToken, &user);
    }
    return result == ResultCode::Ok ? SignedIn(state, user) : Refused(result);
}

HttpResponse Guest(Server::State& state, const HttpRequest& request)
{
    Json::Value body;
    std::string guid, name;
    if (!ParseJsonObject(request.body, &body) || !ReadText(body, "guid", &guid) || !ReadText(body, "name", &name) ||
        guid.empty())
        return BadBody("need a non-empty \"guid\"");
    return SignedIn(state, state.accounts.Guest(guid, name));
}

// Refusals carry an empty "data" array as well: the client drops any list
// answer without one, and would then never hear why it got no list.
HttpResponse CorpListRefused(int code)
{
    Json::Value answer(Json::objectValue);
    answer["code"] = code;
    answer["message"] = code == ResultCode::TokenInvalid ? "token invalid" : "unknown user";
    answer["data"] = Json::Value(Json::arrayValue);
    return JsonResponse(answer);
}

HttpResponse CorpList(Server::State& state, const HttpRequest& request)
{
    const auto caller = Caller(state, request);
    if (!caller)
        return CorpListRefused(ResultCode::TokenInvalid);
    std::vector<AccountCorp> corps;
    const int result = state.accounts.Corporations(*caller, &corps);
    if (result != ResultCode::Ok)
        return CorpListRefused(result);
    Json::Value answer(Json::objectValue);
    answer["data"] = Json::Value(Json::arrayValue);
    for (const AccountCorp& corp : corps) {
        Json::Value item(Json::objectValue);
        item["corp_id"] = corp.id;
        item["corp_name"] = corp.name;
        answer["data"].append(item);
    }
    return Ok(answer);
}

HttpResponse CorpCreate(Server::State& state, const HttpRequest& request)
{
    const auto caller = Caller(state, request);
    if (!caller)
        return Refused(ResultCode::TokenInvalid);
    Json::Value body;
    std::string name;
    if (!ParseJsonObject(request.body, &body) || !ReadText(body, "name", &name))
        return BadBody("need a string \"name\"");
    AccountCorp corp;
    const int result = state.accounts.CreateCorporation(*caller, name, &corp);
    if (result != ResultCode::Ok)
        return Refused(result);
    Json::Value answer(Json::objectValue);
    answer["corp_id"] = corp.id;
    answer["corp_name"] = corp.name;
    return Ok(answer);
}

// A picture id becomes a head picture the server draws and serves, so the
// "avatar" a sign-in reports is an absolute address that answers.
HttpResponse Profile(Server& server, const HttpRequest& request)
{
    Server::State& state = server.GetState();
    const auto caller = Caller(state, request);
    if (!caller)
        return Refused(ResultCode::TokenInvalid);
    Json::Value body;
    std::string nick;
    if (!ParseJsonObject(request.body, &body) || !ReadText(body, "nick", &nick))
        return BadBody("need a string \"nick\"");
    const Json::Value& picture = body["picture_id"];
    if (!picture.isNull() && !picture.isUInt64())
        return BadBody("\"picture_id\" must be an unsigned number");
    std::optional<AccountBook::Picture> avatar;
    if (!picture.isNull()) {
        const uint64_t id = picture.asUInt64();
        const std::string path =
            PublishPicture(server, "avatar-" + std::to_string(id) + ".png", MakeHeadPng(96, 96, static_cast<uint32_t>(id)));
        avatar = AccountBook::Picture{id, server.BaseUrl() + path};
    }
    const int result = state.accounts.SetProfile(*caller, nick, avatar);
    return result == ResultCode::Ok ? Ok() : Refused(result);
}

HttpResponse Phone(Server::State& state, const HttpRequest& request)
{
    const auto caller = Caller(state, request);
    if (!caller)
        return Refused(ResultCode::TokenInvalid);
    Json::Value body;
    std::string phone, secret;
    int code = 0;
    if (!ParseJsonObject(request.body, &body) || !ReadText(body, "phone", &phone) ||
        !ReadText(body, "secret", &secret) || !ReadCode(body, &code) || !body["step"].isUInt())
        return BadBody("need \"phone\", \"code\", \"step\" and, for step 2, \"secret\"");
    const unsigned step = body["step"].asUInt();
    if (step == 1) {
        std::string issued;
        const int result = state.accounts.VerifyOldPhone(*caller, phone, code, &issued);
        if (result != ResultCode::Ok)
            return Refused(result);
        Json::Value answer(Json::objectValue);
        answer["secret"] = issued;
        return Ok(answer);
    }
    if (step == 2) {
        const int result = state.accounts.MoveToNewPhone(*caller, phone, code, secret);
        return result == ResultCode::Ok ? Ok() : Refused(result);
    }
    return BadBody("\"step\" must be 1 or 2");
}

HttpResponse Password(Server::State& state, const HttpRequest& request)
{
    const auto caller = Caller(state, request);
    if (!caller)
        return Refused(ResultCode::TokenInvalid);
    Json::Value body;
    std::string phone, password;
    int code = 0;
    if (!ParseJsonObject(request.body, &body) || !ReadText(body, "phone", &phone) ||
        !ReadText(body, "password", &password) || !ReadCode(body, &code))
        return BadBody("need \"phone\", \"code\" and \"password\"");
    const int result = state.accounts.SetPassword(*caller, phone, code, password);
    return result == ResultCode::Ok ? Ok() : Refused(result);
}

HttpResponse WeChatBind(Server::State& state, const HttpRequest& request)
{
    const auto caller = Caller(state, request);
    if (!caller)
        return Refused(ResultCode::TokenInvalid);
    Json::Value body;
    std::string accessToken;
    if (!ParseJsonObject(request.body, &body) || !ReadText(body, "access_token", &accessToken))
        return BadBody("need a string \"access_token\"");
    const int result = state.accounts.BindWeChat(*caller, accessToken);
    return result == ResultCode::Ok ? Ok() : Refused(result);
}

HttpResponse WeChatUnbind(Server::State& state, const HttpRequest& request)
{
    const auto caller = Caller(state, request);
    if (!caller)
        return Refused(ResultCode::TokenInvalid);
    const int result = state.accounts.UnbindWeChat(*caller);
    return result == ResultCode::Ok ? Ok() : Refused(result);
}

// Development only: the code last sent to a phone, "?phone=...[&type=N]".
HttpResponse PeekScode(Server::State& state, const HttpRequest& request)
{
    const auto phone = request.query.find("phone");
    if (phone == request.query.end() || phone->second.empty())
        return BadBody("need ?phone=");
    int type = 0;
    const auto typeParam = request.query.find("type");
    if (typeParam != request.query.end())
        type = std::atoi(typeParam->second.c_str());
    const auto code = state.accounts.PeekCode(phone->second, type);
    if (!code)
        return JsonError(404, ResultCode::WrongCode, "no live code for this phone");
    Json::Value answer(Json::objectValue);
    answer["scode"] = *code;
    return Ok(answer);
}

}  // namespace

void RegisterAccountRoutes(Server& server)
{
    Server::State& state = server.GetState();
    const auto route = [&server, &state](const char* method, const char* path,
                                         HttpResponse (*handler)(Server::State&, const HttpRequest&)) {
        server.Route(method, path, [&state, handler](const HttpRequest& request) { return handler(state, request); });
    };
    route("POST", "/v1/account/refreshtoken", RefreshToken);
    route("POST", "/v1/account/login", Login);
    // The client's path ends in a space (sent as "%20"); others send none.
    route("POST", "/v1/account/register ", Register);
    route("POST", "/v1/account/register", Register);
    route("POST", "/v1/account/guest", Guest);
    route("GET", "/v1/account/corplist", CorpList);
    route("POST", "/v1/account/corp/create", CorpCreate);
    server.Route("PUT", "/v1/account/profile", [&server](const HttpRequest& request) { return Profile(server, request); });
    route("PUT", "/v1/account/phone", Phone);
    route("PUT", "/v1/account/password", Password);
    route("POST", "/v1/account/wechat/bind", WeChatBind);
    route("PUT", "/v1/account/wechat/unbind", WeChatUnbind);
    server.Route("POST", "/v1/account/pauth", [&server](const HttpRequest& request) { return Pauth(server, request); });
    route("GET", "/_dev/scode", PeekScode);
    route("POST", "/_dev/scode", PeekScode);
}

}  // namespace DevServer

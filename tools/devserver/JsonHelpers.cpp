#include "devserver/JsonHelpers.h"

#include <memory>

#include <json/reader.h>
#include <json/writer.h>

namespace DevServer {

HttpResponse JsonResponse(const Json::Value& value, int status)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    HttpResponse response;
    response.status = status;
    response.body = Json::writeString(builder, value);
    return response;
}

HttpResponse JsonError(int status, int code, const std::string& message)
{
    Json::Value value(Json::objectValue);
    value["code"] = code;
    value["message"] = message;
    return JsonResponse(value, status);
}

bool ParseJsonObject(const std::string& body, Json::Value* out)
{
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(body.data(), body.data() + body.size(), &value, &errors) || !value.isObject())
        return false;
    *out = std::move(value);
    return true;
}

}  // namespace DevServer

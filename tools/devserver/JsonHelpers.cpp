#include "devserver/JsonHelpers.h"

#include <exception>
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

namespace DevServer {
namespace {

// Far deeper than any request or command frame; the limit keeps hostile
// nesting from running the reader's recursion down the stack.
constexpr int kMaxJsonDepth = 128;

}  // namespace

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
    builder["stackLimit"] = kMaxJsonDepth;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    // The reader throws, rather than fails, on nesting past its limit.
    try {
        if (!reader->parse(body.data(), body.data() + body.size(), &value, &errors) || !value.isObject())
            return false;
    } catch (const std::exception&) {
        return false;
    }
    *out = std::move(value);
    return true;
}

}  // namespace DevServer

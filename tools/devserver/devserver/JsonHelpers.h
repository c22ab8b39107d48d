#pragma once
// JSON helpers shared by the route families.

#include <string>

#include <json/value.h>

#include "devserver/DevServer.h"

namespace DevServer {

// A response with the value written compactly as its body.
HttpResponse JsonResponse(const Json::Value& value, int status = 200);
// {"code": code, "message": message} with the given HTTP status.
HttpResponse JsonError(int status, int code, const std::string& message);
// Parses a request body that must be one JSON object (no trailing text,
// no duplicate members, nested at most 128 levels deep). False on anything
// else; it never throws.
bool ParseJsonObject(const std::string& body, Json::Value* out);

}  // namespace DevServer

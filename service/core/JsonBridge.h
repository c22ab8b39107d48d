#pragma once
// The rules between response text and JSON values, shared by every result
// handler. Internal to the library (it exposes jsoncpp types).

#include <json/json.h>

#include "pelbo/compat/StringW.h"

// Accepts text framed by braces (after trimming white space) that jsoncpp
// parses as a document, comments allowed; logs the reason under
// "CppJsonHelp" and returns false otherwise. Never throws.
bool JsonParse(CStringW text, Json::Value& root);

// Text form of a scalar: strings as wide text, integers in decimal, booleans
// as "1"/"0"; empty for null, fractional numbers, arrays and objects.
CStringW JsonToText(Json::Value value);

// Request body text: the value written by Json::StyledWriter, as wide text.
CStringW JsonToStyledText(const Json::Value& value);

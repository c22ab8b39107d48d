#pragma once
// Reading the members of a REST answer into record values, shared by the
// meeting and material managers. Every reader accepts any JSON value: a
// member of something that is not an object reads as missing, so an odd
// answer ("room_list" holding numbers, a string where an object belongs)
// yields empty text and zeros instead of an exception on the delivery
// thread. Numbers go through their text form (numbers, numeric strings and
// booleans alike), as the service's answers are not consistent in type.

#include <cstdint>
#include <string>

#include <json/json.h>

#include "pelbo/compat/StringW.h"
#include "pelbo/corekit/XData.h"

namespace ResultFields {

// The member, or a null value when `object` is not an object or lacks it.
const Json::Value& Member(const Json::Value& object, const char* name);

CStringW Text(const Json::Value& object, const char* name);
uint32_t U32(const Json::Value& object, const char* name);
int64_t I64(const Json::Value& object, const char* name);
uint64_t U64(const Json::Value& object, const char* name);

// The answer's "code": empty or missing text counts as 0.
int Code(const Json::Value& root);

// Parses text (a request body as sent, or an answer) into an object.
bool ParseObject(const std::wstring& text, Json::Value& root);

bool NewRecord(XDataPtr<IXData>& record);
bool NewArray(XDataPtr<IXDataArray>& array);

}  // namespace ResultFields

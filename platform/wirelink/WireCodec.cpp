#include "WireCodec.h"

#include <memory>
#include <sstream>

#include <json/json.h>

#include "pelbo/corekit/Text.h"

namespace Wirelink {
namespace {

const char* TypeName(FrameType type)
{
    switch (type) {
    case FrameType::Command:
        return "cmd";
    case FrameType::Reply:
        return "reply";
    case FrameType::Push:
        return "push";
    }
    return "cmd";
}

Json::Value Typed(const char* type, Json::Value value)
{
    Json::Value typed(Json::objectValue);
    typed["t"] = type;
    typed["v"] = std::move(value);
    return typed;
}

bool RecordToJson(IXData* record, int depth, Json::Value* out);

bool ValueToJson(IXData* record, const wchar_t* key, int depth, Json::Value* out)
{
    switch (record->GetType(key)) {
    case XDATA_STR: {
        CStringW text;
        record->GetIXDataStr(key, text);
        *out = Typed("str", Util::Convert::W_2_Utf8(text.GetString()));
        return true;
    }
    case XDATA_I32: {
        int32_t v = 0;
        record->GetIXDataI32(key, v);
        *out = Typed("i32", Json::Value(v));
        return true;
    }
    case XDATA_U32: {
        uint32_t v = 0;
        record->GetIXDataU32(key, v);
        *out = Typed("u32", Json::Value(v));
        return true;
    }
    case XDATA_I64: {
        int64_t v = 0;
        record->GetIXDataI64(key, v);
        *out = Typed("i64", Json::Value(static_cast<Json::Int64>(v)));
        return true;
    }
    case XDATA_U64: {
        uint64_t v = 0;
        record->GetIXDataU64(key, v);
        *out = Typed("u64", Json::Value(static_cast<Json::UInt64>(v)));
        return true;
    }
    case XDATA_BOOL: {
        bool v = false;
        record->GetIXDataBool(key, v);
        *out = Typed("bool", Json::Value(v));
        return true;
    }
    case XDATA_ARRAY: {
        if (depth >= kMaxNesting)
            return false;
        XDataPtr<IXDataArray> array;
        if (!record->GetArray(key, array.Receive()))
            return false;
        Json::Value items(Json::arrayValue);
        for (unsigned i = 0; i < array->GetCount(); ++i) {
            XDataPtr<IXData> item;
            Json::Value encoded;
            if (!array->GetAt(i, item.Receive()) || !RecordToJson(item.get(), depth + 1, &encoded))
                return false;
            items.append(std::move(encoded));
        }
        *out = Typed("arr", std::move(items));
        return true;
    }
    case XDATA_NONE:
        break;
    }
    return false;
}

bool RecordToJson(IXData* record, int depth, Json::Value* out)
{
    Json::Value object(Json::objectValue);
    const unsigned count = record->GetCount();
    for (unsigned i = 0; i < count; ++i) {
        CStringW key;
        if (!record->GetKeyAt(i, key))
            continue;  // removed by another thread meanwhile
        Json::Value value;
        if (!ValueToJson(record, key.GetString(), depth, &value))
            return false;
        object[Util::Convert::W_2_Utf8(key.GetString())] = std::move(value);
    }
    *out = std::move(object);
    return true;
}

bool IsInteger(const Json::Value& v)
{
    return v.type() == Json::intValue || v.type() == Json::uintValue;
}

bool JsonToRecord(const Json::Value& object, int depth, IXData* record, std::string* error);

bool JsonToValue(const std::string& name, const Json::Value& typed, int depth, IXData* record, std::string* error)
{
    if (!typed.isObject() || !typed["t"].isString() || !typed.isMember("v")) {
        *error = "member \"" + name + "\" is not a typed value";
        return false;
    }
    const std::string type = typed["t"].asString();
    const Json::Value& v = typed["v"];
    const std::wstring key = Util::Convert::Utf8_2_W(name);
    bool ok = false;
    if (type == "str" && v.isString()) {
        ok = record->SetIXDataStr(key.c_str(), Util::Convert::Utf8_2_W(v.asString()).c_str()) != 0;
    } else if (type == "i32" && IsInteger(v) && v.isInt()) {
        ok = record->SetIXDataI32(key.c_str(), v.asInt()) != 0;
    } else if (type == "u32" && IsInteger(v) && v.isUInt()) {
        ok = record->SetIXDataU32(key.c_str(), v.asUInt()) != 0;
    } else if (type == "i64" && IsInteger(v) && v.isInt64()) {
        ok = record->SetIXDataI64(key.c_str(), v.asInt64()) != 0;
    } else if (type == "u64" && IsInteger(v) && v.isUInt64()) {
        ok = record->SetIXDataU64(key.c_str(), v.asUInt64()) != 0;
    } else if (type == "bool" && v.isBool()) {
        ok = record->SetIXDataBool(key.c_str(), v.asBool()) != 0;
    } else if (type == "arr" && v.isArray()) {
        if (depth >= kMaxNesting) {
            *error = "arrays nested too deep";
            return false;
        }
        XDataPtr<IXDataArray> array;
        if (!CreateIXDataArray(array.Receive(), 0)) {
            *error = "no memory for an array";
            return false;
        }
        for (const Json::Value& element : v) {
            XDataPtr<IXData> item;
            if (!CreateIXData(item.Receive(), 0)) {
                *error = "no memory for a record";
                return false;
            }
            if (!JsonToRecord(element, depth + 1, item.get(), error))
                return false;
            array->Append(item.get());
        }
        ok = record->SetArray(key.c_str(), array.get()) != 0;
    }
    if (!ok)
        *error = "member \"" + name + "\" has a bad \"" + type + "\" value";
    return ok;
}

bool JsonToRecord(const Json::Value& object, int depth, IXData* record, std::string* error)
{
    if (!object.isObject()) {
        *error = "a record is not an object";
        return false;
    }
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!JsonToValue(it.name(), *it, depth, record, error))
            return false;
    }
    return true;
}

}  // namespace

std::string EncodeFrame(FrameType type, uint64_t seq, IXData* record)
{
    Json::Value data(Json::objectValue);
    if (record != nullptr && !RecordToJson(record, 0, &data))
        return std::string();
    Json::Value frame(Json::objectValue);
    frame["seq"] = static_cast<Json::UInt64>(seq);
    frame["type"] = TypeName(type);
    frame["data"] = std::move(data);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, frame);
}

bool DecodeFrame(const std::string& text, Frame* frame, std::string* error)
{
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["allowComments"] = false;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    // Deep nesting in hostile input must not exhaust the stack of the parser.
    builder["stackLimit"] = 4 * kMaxNesting + 8;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string parseError;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &parseError);
    } catch (const std::exception& e) {
        parseError = e.what();
    }
    if (!parsed) {
        *error = "not JSON: " + parseError;
        return false;
    }
    if (!root.isObject() || !IsInteger(root["seq"]) || !root["seq"].isUInt64() || !root["type"].isString()) {
        *error = "no \"seq\" number or \"type\" text";
        return false;
    }
    const std::string type = root["type"].asString();
    if (type == "cmd")
        frame->type = FrameType::Command;
    else if (type == "reply")
        frame->type = FrameType::Reply;
    else if (type == "push")
        frame->type = FrameType::Push;
    else {
        *error = "unknown frame type \"" + type + "\"";
        return false;
    }
    frame->seq = root["seq"].asUInt64();
    const Json::Value& data = root["data"];
    if (!frame->data && !CreateIXData(frame->data.Receive(), 0)) {
        *error = "no memory for a record";
        return false;
    }
    if (data.isNull())
        return true;
    return JsonToRecord(data, 0, frame->data.get(), error);
}

}  // namespace Wirelink
